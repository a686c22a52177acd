// The slotted block: geometry, slot states and messages, growth in place,
// by move and by compaction, a model of random traffic checked with
// VerifyBlock after every step, and damaged blocks.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

class BlockHeapTest : public TableTest {
 public:
  void make(std::uint32_t aBlockSize = 4096, std::uint16_t aHeaderSize = 16, std::int32_t aVersion = 47005) {
    engine_.reset(platform::create<TnxNonfragmentingBlockHeapEngine>(nullptr, aBlockSize, aHeaderSize, aVersion));
    block_.assign(aBlockSize, 0xCC);
    engine_->InitBlock(block_.data());
  }
  TnxNonfragmentingBlockHeapEngine* heap() { return engine_.get(); }
  PnxBlock b() { return block_.data(); }
  std::uint32_t B() const { return static_cast<std::uint32_t>(block_.size()); }
  std::uint16_t word(std::uint32_t aOffset) { return nxseGetU16(b() + aOffset); }
  std::uint32_t dirLow() { return B() - 8 - 2 * word(B() - 2); }
  TnxSegmentRef alloc(std::uint16_t aSize, std::uint8_t aFill) {
    TnxSegmentRef ref = 0;
    std::uint8_t* p = heap()->AllocSegment(b(), aSize, ref);
    EXPECT_NE(p, nullptr) << "alloc " << aSize;
    if (p) std::memset(p, aFill, aSize);
    return ref;
  }
  std::vector<std::uint8_t> read(TnxSegmentRef aRef) {
    std::uint16_t size = 0;
    std::uint8_t* p = heap()->GetSegment(b(), aRef, size);
    return std::vector<std::uint8_t>(p, p + size);
  }

  TnxOwned<TnxNonfragmentingBlockHeapEngine> engine_;
  std::vector<std::uint8_t> block_;
};

TEST_F(BlockHeapTest, GeometryOfEmptyBlocks) {
  make(4096, 16);
  EXPECT_EQ(heap()->bheHeaderSize, 20);
  EXPECT_EQ(heap()->MaxSegmentSize(), 4064);
  EXPECT_EQ(word(4096 - 8), 20);    // free area offset
  EXPECT_EQ(word(20), 4064);        // its size
  EXPECT_EQ(word(4096 - 2), 0);     // no slots
  EXPECT_EQ(heap()->GetFreespace(b()), 4064);
  heap()->VerifyBlock(b(), false);
  make(4092, 16);
  EXPECT_EQ(heap()->MaxSegmentSize(), 4060);
  // A record heap's 24-byte header: H = 28.
  make(4092, 24);
  EXPECT_EQ(heap()->bheHeaderSize, 28);
  EXPECT_EQ(heap()->MaxSegmentSize(), 4052);
}

TEST_F(BlockHeapTest, TheFamilyCreatesByNameAndRefusesUnknownNames) {
  TnxOwned<TnxBaseBlockHeapDescriptor> descriptor(platform::create<TnxBaseBlockHeapDescriptor>(nullptr));
  TnxOwned<TnxBaseBlockHeapEngine> made(TnxBaseBlockHeapEngine::CreateEngine(descriptor.get(), 4092, 16, 47005));
  ASSERT_TRUE(made);
  EXPECT_TRUE(made->is<TnxNonfragmentingBlockHeapEngine>());
  EXPECT_EQ(made->SegmentRefMask(), 0xFFFFu);
  EXPECT_EQ(TnxBaseBlockHeapEngine::CreateEngine(nullptr, 4092, 16, 47005), nullptr);
  descriptor->SetBlockHeapEngine(u"Fragmenting");
  expectFailsWith(15503, "Unknown BlockHeap engine: \"Fragmenting\"",
                  [&] { TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(descriptor.get()); });
}

TEST_F(BlockHeapTest, TheLargestSegmentFillsTheBlockAndFreeingItCountsAllButTheDirectoryWord) {
  make();
  const TnxSegmentRef s = alloc(4064, 1);
  EXPECT_EQ(s, 1u);
  EXPECT_EQ(word(dirLow()), 0);  // no free area left
  TnxSegmentRef other = 99;
  EXPECT_EQ(heap()->AllocSegment(b(), 1, other), nullptr);
  EXPECT_EQ(other, 0u);
  heap()->VerifyBlock(b(), false);
  heap()->FreeSegment(b(), s);
  EXPECT_EQ(word(B() - 6), 4064);  // footprint 4068 less 4: it reached past the directory
  heap()->VerifyBlock(b(), false);
  EXPECT_EQ(heap()->AllocSegment(b(), 4065, other), nullptr);
}

TEST_F(BlockHeapTest, DeletedAndInvalidSlotsAnswerTheirMessages) {
  make();
  const TnxSegmentRef s = alloc(10, 1);
  std::uint16_t size = 0;
  heap()->FreeSegment(b(), s);
  expectCode([&] { heap()->GetSegment(b(), s, size); }, 15493, u"segment deleted (1)");
  expectCode([&] { heap()->ReAllocSegment(b(), 20, s); }, 15493, u"segment deleted (1)");
  expectCode([&] { heap()->FreeSegment(b(), s); }, 15493, u"segment already deleted (1)");
  expectCode([&] { heap()->GetSegment(b(), 2, size); }, 15492, u"invalid segment number (2)");
  expectCode([&] { heap()->GetSegment(b(), 0, size); }, 15492, u"invalid segment number (0)");
  // A deleted slot is not reused before a compaction.
  EXPECT_EQ(alloc(10, 2), 2u);
}

TEST_F(BlockHeapTest, CompactionKeepsSlotNumbersAndReusesFreedSlots) {
  make();
  const TnxSegmentRef s1 = alloc(30, 1), s2 = alloc(50, 2), s3 = alloc(70, 3);
  heap()->FreeSegment(b(), s2);
  heap()->CompactBlock(b(), 0, 0);
  heap()->VerifyBlock(b(), false);
  EXPECT_EQ(word(B() - 4), 2);                   // slot 2 heads the free-slot chain
  EXPECT_EQ(word(B() - 6 - 2 * 2), 2);           // and ends it
  EXPECT_EQ(read(s1), std::vector<std::uint8_t>(30, 1));
  EXPECT_EQ(read(s3), std::vector<std::uint8_t>(70, 3));
  EXPECT_EQ(alloc(5, 4), 2u);
  EXPECT_EQ(word(B() - 4), 0);
  EXPECT_EQ(read(s3), std::vector<std::uint8_t>(70, 3));
  heap()->VerifyBlock(b(), false);
  // Freeing the highest slot shrinks the directory; freeing all empties the block.
  heap()->FreeSegment(b(), s3);
  heap()->CompactBlock(b(), 0, 0);
  EXPECT_EQ(word(B() - 2), 2);
  heap()->FreeSegment(b(), s1);
  heap()->FreeSegment(b(), 2);
  heap()->CompactBlock(b(), 0, 0);
  EXPECT_EQ(word(B() - 2), 0);
  EXPECT_EQ(word(B() - 8), 20);
  EXPECT_EQ(heap()->GetFreespace(b()), 4064);
}

TEST_F(BlockHeapTest, GrowingBeforeTheFreeAreaStaysAndElsewhereMoves) {
  make();
  const TnxSegmentRef s1 = alloc(10, 1), s2 = alloc(10, 2);
  const std::uint32_t at2 = word(B() - 6 - 4);
  std::uint8_t* p = heap()->ReAllocSegment(b(), 100, s2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(word(B() - 6 - 4), at2);  // stayed
  EXPECT_EQ(std::vector<std::uint8_t>(p, p + 10), std::vector<std::uint8_t>(10, 2));
  heap()->VerifyBlock(b(), false);
  const std::uint32_t at1 = word(B() - 6 - 2);
  p = heap()->ReAllocSegment(b(), 40, s1);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(word(B() - 6 - 2), at1);  // moved into the free area
  EXPECT_EQ(word(B() - 6), 12);        // its old footprint is recoverable
  EXPECT_EQ(std::vector<std::uint8_t>(p, p + 10), std::vector<std::uint8_t>(10, 1));
  heap()->VerifyBlock(b(), false);
  // Shrinking leaves the rest recoverable.
  ASSERT_NE(heap()->ReAllocSegment(b(), 8, s2), nullptr);
  EXPECT_EQ(word(B() - 6), 12 + 104 - 12);
  heap()->VerifyBlock(b(), false);
}

TEST_F(BlockHeapTest, GrowingWithoutRoomCompactsOrRefuses) {
  make();
  std::vector<TnxSegmentRef> refs;
  for (int i = 0; i < 8; ++i) refs.push_back(alloc(500, static_cast<std::uint8_t>(i)));
  for (int i = 0; i < 8; i += 2) heap()->FreeSegment(b(), refs[i]);
  // Not next to the free area and no free area big enough: compaction.
  std::uint8_t* p = heap()->ReAllocSegment(b(), 1500, refs[1]);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::vector<std::uint8_t>(p, p + 500), std::vector<std::uint8_t>(500, 1));
  EXPECT_EQ(std::vector<std::uint8_t>(p + 500, p + 1500), std::vector<std::uint8_t>(1000, 0));
  heap()->VerifyBlock(b(), false);
  for (int i = 3; i < 8; i += 2) EXPECT_EQ(read(refs[i]), std::vector<std::uint8_t>(500, static_cast<std::uint8_t>(i)));
  EXPECT_EQ(heap()->ReAllocSegment(b(), 4000, refs[3]), nullptr);
  EXPECT_EQ(read(refs[3]), std::vector<std::uint8_t>(500, 3));
}

TEST_F(BlockHeapTest, FreeSpaceLeavesEightRecoverableBytesOut) {
  make();
  alloc(4064, 1);
  nxsePutU16(b() + B() - 6, 6);
  EXPECT_EQ(heap()->GetFreespace(b()), 0);
  nxsePutU16(b() + B() - 6, 20);
  EXPECT_EQ(heap()->GetFreespace(b()), 12);
}

TEST_F(BlockHeapTest, ChangesAreReportedWithTheRecoverableSpaceLessEight) {
  make();
  struct Seen {
    std::uint16_t count = 0, free = 0, recoverable = 0;
    int calls = 0;
  } seen;
  heap()->bbheOnChanged = {[](void* aObject, PnxBlock, std::uint16_t aCount, std::uint16_t aFree,
                              std::uint16_t aRecoverable) {
                             auto* s = static_cast<Seen*>(aObject);
                             *s = {aCount, aFree, aRecoverable, s->calls + 1};
                           },
                           &seen};
  const TnxSegmentRef s1 = alloc(30, 1);
  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(seen.free, 4064 - 32 - 2);
  alloc(30, 2);
  heap()->FreeSegment(b(), s1);
  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(seen.recoverable, 32 - 8);
  EXPECT_EQ(seen.free + seen.recoverable, heap()->GetFreespace(b()));
  EXPECT_EQ(seen.calls, 3);
}

TEST_F(BlockHeapTest, SegmentReferenceCountersFromVersion47005) {
  make(4096, 16, 47005);
  TnxSegmentRef ref = 3;
  heap()->IncSegmentRef(ref);
  EXPECT_EQ(ref, 0x10003u);
  EXPECT_EQ(ref & heap()->SegmentRefMask(), 3u);
  ref = 0xFFFF0003u;
  heap()->IncSegmentRef(ref);
  EXPECT_EQ(ref, 3u);  // the counter wraps within 16 bits
  make(4096, 16, 47004);
  ref = 3;
  heap()->IncSegmentRef(ref);
  EXPECT_EQ(ref, 3u);
  EXPECT_EQ(heap()->SegmentRefMask(), 0xFFFFFFFFu);
}

// Random allocation, resizing, freeing and compaction against a map of
// slot to contents; VerifyBlock and every live segment after each step.
class BlockHeapModelTest : public BlockHeapTest,
                           public ::testing::WithParamInterface<std::pair<std::uint32_t, std::uint16_t>> {};

TEST_P(BlockHeapModelTest, RandomTrafficMatchesTheModel) {
  make(GetParam().first, GetParam().second);
  std::mt19937 rng(20261210);
  std::map<TnxSegmentRef, std::vector<std::uint8_t>> model;
  std::set<TnxSegmentRef> deleted;
  auto sizeOf = [&] {
    switch (rng() % 4) {
      case 0: return static_cast<std::uint16_t>(1 + rng() % 8);
      case 1: return static_cast<std::uint16_t>(1 + rng() % 64);
      case 2: return static_cast<std::uint16_t>(1 + rng() % 400);
      default: return static_cast<std::uint16_t>(1 + rng() % 1500);
    }
  };
  int refused = 0;
  for (int step = 0; step < 6000; ++step) {
    const unsigned op = rng() % 10;
    if (op < 4 || model.empty()) {
      const std::uint16_t size = sizeOf();
      const std::uint16_t before = heap()->GetFreespace(b());
      TnxSegmentRef ref = 0;
      std::uint8_t* p = heap()->AllocSegment(b(), size, ref);
      if (!p) {
        EXPECT_LT(before, size + 8) << "refused although GetFreespace promised room";
        ++refused;
      } else {
        ASSERT_EQ(model.count(ref), 0u);
        std::vector<std::uint8_t> v(size);
        for (auto& x : v) x = static_cast<std::uint8_t>(rng());
        std::memcpy(p, v.data(), size);
        model[ref] = v;
      }
    } else if (op < 7) {
      auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
      const std::uint16_t size = sizeOf();
      std::uint8_t* p = heap()->ReAllocSegment(b(), size, it->first);
      if (p) {
        std::vector<std::uint8_t>& v = it->second;
        const std::size_t keep = std::min<std::size_t>(v.size(), size);
        ASSERT_EQ(std::memcmp(p, v.data(), keep), 0) << "resize lost bytes";
        v.resize(size);
        for (std::size_t i = keep; i < size; ++i) v[i] = static_cast<std::uint8_t>(rng());
        std::memcpy(p, v.data(), size);
      }
    } else if (op < 9) {
      auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
      heap()->FreeSegment(b(), it->first);
      deleted.insert(it->first);
      model.erase(it);
    } else {
      heap()->CompactBlock(b(), 0, 0);
      deleted.clear();
    }
    // Deleted slots stay deleted until a compaction, which frees them all
    // (allocation and growth may compact on their own).
    std::size_t stillDeleted = 0;
    for (TnxSegmentRef ref : deleted)
      if (ref <= word(B() - 2) && (word(B() - 6 - 2 * ref) & 3) == 1) ++stillDeleted;
    ASSERT_TRUE(stillDeleted == deleted.size() || stillDeleted == 0) << "step " << step;
    if (stillDeleted == 0) deleted.clear();
    heap()->VerifyBlock(b(), false);
    ASSERT_LE(word(B() - 2) * 2u + 8 + heap()->bheHeaderSize, B());
    for (const auto& [ref, bytes] : model) ASSERT_EQ(read(ref), bytes) << "step " << step << " slot " << ref;
    TnxSegmentRef walk = 0;
    std::uint16_t size = 0;
    std::size_t live = 0;
    while (heap()->GetNextSegment(b(), walk, size)) ++live;
    ASSERT_EQ(live, model.size());
  }
  EXPECT_GT(refused, 0);  // the block was full at times
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockHeapModelTest,
                         ::testing::Values(std::make_pair(4096u, std::uint16_t{16}),
                                           std::make_pair(4092u, std::uint16_t{24}),
                                           std::make_pair(8188u, std::uint16_t{16})));

TEST_F(BlockHeapTest, WalksVisitLiveSlotsInBothDirections) {
  make();
  const TnxSegmentRef s1 = alloc(3, 1), s2 = alloc(3, 2), s3 = alloc(3, 3);
  heap()->FreeSegment(b(), s2);
  std::vector<TnxSegmentRef> forward, backward;
  TnxSegmentRef ref = 0;
  std::uint16_t size = 0;
  while (heap()->GetNextSegment(b(), ref, size)) forward.push_back(ref);
  ref = 0xFFFF;
  while (heap()->GetPrevSegment(b(), ref, size)) backward.push_back(ref);
  EXPECT_EQ(forward, (std::vector<TnxSegmentRef>{s1, s3}));
  EXPECT_EQ(backward, (std::vector<TnxSegmentRef>{s3, s1}));
}

// Each field read from the block, damaged: the operation that trusts it
// answers 8962 instead of addressing outside the block.
TEST_F(BlockHeapTest, DamagedFieldsAreRefusedBeforeUse) {
  struct Case {
    const char* what;
    std::function<void(BlockHeapTest&)> damage;
  };
  const std::uint32_t B = 4096;
  const std::vector<Case> cases = {
      {"directory size", [&](BlockHeapTest& t) { nxsePutU16(t.b() + B - 2, 2100); }},
      {"free area offset below H", [&](BlockHeapTest& t) { nxsePutU16(t.b() + t.dirLow(), 8); }},
      {"free area offset unaligned", [&](BlockHeapTest& t) { nxsePutU16(t.b() + t.dirLow(), t.word(t.dirLow()) + 2); }},
      {"free area offset in the directory", [&](BlockHeapTest& t) { nxsePutU16(t.b() + t.dirLow(), B - 4); }},
      {"free area size", [&](BlockHeapTest& t) { nxsePutU16(t.b() + t.word(t.dirLow()), 60000); }},
      {"chain head", [&](BlockHeapTest& t) { nxsePutU16(t.b() + B - 4, 9); }},
      {"live count", [&](BlockHeapTest& t) { nxsePutU16(t.b() + 16, 9); }},
      {"slot below H", [&](BlockHeapTest& t) { nxsePutU16(t.b() + B - 6 - 2, 4); }},
      {"slot in the directory", [&](BlockHeapTest& t) { nxsePutU16(t.b() + B - 6 - 2, B - 12); }},
      {"segment length", [&](BlockHeapTest& t) { nxsePutU16(t.b() + 20, 5000); }},
  };
  for (const Case& c : cases) {
    make();
    alloc(10, 1);
    alloc(20, 2);
    c.damage(*this);
    std::uint16_t size = 0;
    TnxSegmentRef ref = 0;
    std::vector<std::function<void()>> ops = {
        [&] { heap()->GetSegment(b(), 1, size); },
        [&] { heap()->ReAllocSegment(b(), 3000, 1); },
        [&] { heap()->FreeSegment(b(), 1); },
        [&] { heap()->CompactBlock(b(), 0, 0); },
        [&] { heap()->AllocSegment(b(), 3000, ref); },
        [&] {
          TnxSegmentRef walk = 0;
          while (heap()->GetNextSegment(b(), walk, size)) {
          }
        },
    };
    int refused = 0;
    for (auto& op : ops) {
      const std::vector<std::uint8_t> saved = block_;
      try {
        op();
      } catch (const EnxBaseException& e) {
        EXPECT_EQ(e.ErrorCode(), 8962) << c.what << ": " << platform::toUtf8(e.Message());
        ++refused;
      }
      block_ = saved;
    }
    EXPECT_GE(refused, 1) << c.what;
  }
}

TEST_F(BlockHeapTest, OverlappingSegmentsAreRefusedByCompaction) {
  make();
  alloc(100, 1);
  alloc(100, 2);
  // Slot 2 points into slot 1 and claims most of the block: packed, the
  // live segments would not fit.
  nxsePutU16(b() + B() - 6 - 4, 40);
  nxsePutU16(b() + 40, 4000);
  expectCode([&] { heap()->CompactBlock(b(), 0, 0); }, 8962);
}

// Random bytes of a used block damaged: every operation ends in an answer
// or an engine error, never outside the block (the sanitizer build watches).
TEST_F(BlockHeapTest, RandomDamageNeverEscapesTheBlock) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    make();
    for (int i = 0; i < 12; ++i) alloc(static_cast<std::uint16_t>(1 + rng() % 300), static_cast<std::uint8_t>(i));
    heap()->FreeSegment(b(), 3);
    heap()->FreeSegment(b(), 7);
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t at = rng() % 2 ? 16 + rng() % 400 : B() - 1 - rng() % 40;
      block_[at] = static_cast<std::uint8_t>(rng());
    }
    std::uint16_t size = 0;
    TnxSegmentRef ref = 0;
    for (int op = 0; op < 8; ++op) {
      try {
        switch (op) {
          case 0: heap()->GetSegment(b(), 1 + rng() % 14, size); break;
          case 1: heap()->ReAllocSegment(b(), static_cast<std::uint16_t>(rng() % 2000), 1 + rng() % 12); break;
          case 2: heap()->FreeSegment(b(), 1 + rng() % 12); break;
          case 3: heap()->AllocSegment(b(), static_cast<std::uint16_t>(1 + rng() % 3000), ref); break;
          case 4: heap()->GetFreespace(b()); break;
          case 5: {
            TnxSegmentRef walk = 0;
            while (heap()->GetNextSegment(b(), walk, size)) {
            }
            break;
          }
          case 6: heap()->CompactBlock(b(), 0, 0); break;
          default: heap()->ReAllocSegment(b(), 2500, 2); break;
        }
      } catch (const EnxBaseException& e) {
        EXPECT_TRUE(e.ErrorCode() == 8962 || e.ErrorCode() == 15492 || e.ErrorCode() == 15493) << e.ErrorCode();
      }
    }
  }
}

}  // namespace

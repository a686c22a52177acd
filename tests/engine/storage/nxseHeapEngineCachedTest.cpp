// The heap: data and management blocks, placement, split allocation,
// freeing blocks and trailing management blocks, the directory against the
// data blocks under random traffic, reload after a rollback, and damaged
// management chains.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

// A BLOB-style handler: data blocks are not chained; the first management
// block sits in a 4-byte "Blob" section (which the file checker reads).
class TestHeapHandler : public TnxHeapHeaderHandler {
 public:
  using TnxHeapHeaderHandler::TnxHeapHeaderHandler;
  void LinkDataBlock(TnxBaseTransaction*, TnxBaseFileHeaderAccess*, PnxBlock aBlock) override {
    if (failLink) throw EnxBaseHeapEngineException(12289, u"link refused", {});
    ++linked;
    (void)aBlock;
  }
  void UnlinkDataBlock(TnxBaseTransaction*, TnxBaseFileHeaderAccess*, PnxBlock) override { ++unlinked; }
  TnxBlockNumber GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) override {
    return nxseGetU32(aHeader->Header + hhhHeaderSection);
  }
  void SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader, TnxBlockNumber aBlockNumber) override {
    nxsePutU32(aHeader->Header + hhhHeaderSection, aBlockNumber);
  }
  int linked = 0, unlinked = 0;
  bool failLink = false;
};

class HeapTest : public TableTest {
 public:
  void SetUp() override {
    TableTest::SetUp();
    descriptor_.reset(platform::create<TnxBaseHeapDescriptor>(nullptr));
    descriptor_->SetID(6);
    descriptor_->AddBlockHeapDescriptor()->SetID(7);
    TnxOwned<TestTransaction> trans(newTransaction());
    file_ = newFile(trans.get());
    file_->SetMaxID(100);
    main_.reset(platform::create<TnxBlockAccess>(file_, nullptr, u"t", 0));
    access_.reset(platform::create<TnxBlockAccess>(file_, main_.get(), u"t", 5));
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
      section_ = header->RegisterHeaderSection(u"Blob", 4, true, false);
      nxsePutU32(header->Header + section_, 0);
    }
    trans->Commit();
    open();
    // The "Blob" section holds raw heap segments, no BLOB roots: the tests
    // run the checker themselves where the file is meant to be whole.
    uncheckedFiles_.insert("/db/t.nx1");
  }
  void TearDown() override {
    heap_.reset();
    access_.reset();
    main_.reset();
    descriptor_.reset();
    TableTest::TearDown();
  }
  void open() {
    handler_ = platform::create<TestHeapHandler>(section_);
    heap_.reset(platform::objectAs<TnxCachedHeapEngine>(
        TnxBaseHeapEngine::CreateEngine(descriptor_.get(), access_.get(), handler_)));
  }
  TnxCachedHeapEngine* heap() { return heap_.get(); }
  TnxNonfragmentingBlockHeapEngine* blockHeap() {
    return platform::objectAs<TnxNonfragmentingBlockHeapEngine>(heap()->bheBlockHeapEngine.get());
  }

  // Segments look like BLOB data roots (tag 4), as the file checker reads
  // the segments of a "Blob" heap as BLOB trees.
  static std::vector<std::uint8_t> pattern(std::uint32_t aSize, std::uint8_t aFill) {
    std::vector<std::uint8_t> bytes(aSize, aFill);
    if (aSize) bytes[0] = 4;
    return bytes;
  }
  TnxHeapRef alloc(TnxBaseTransaction* aTrans, std::uint32_t aSize, std::uint8_t aFill) {
    std::vector<std::uint8_t> bytes = pattern(aSize, aFill);
    const TnxHeapPiece pieces[] = {{bytes.data(), aSize}};
    return heap()->AllocSegment(aTrans, pieces);
  }
  std::vector<std::uint8_t> read(TnxBaseTransaction* aTrans, TnxHeapRef aRef) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p = nxGetPinnedSegment(*heap(), aTrans, aRef, false, size, pin);
    std::vector<std::uint8_t> result(p, p + size);
    pin.Release();
    return result;
  }
  void free(TnxBaseTransaction* aTrans, TnxHeapRef aRef) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    nxGetPinnedSegment(*heap(), aTrans, aRef, true, size, pin);
    heap()->bheBlockHeapEngine->FreeSegment(pin.Block(), nxHeapRefSegment(aRef) & 0xFFFF);
    pin.Release();
  }
  TnxBlockNumber firstManagement(TnxBaseTransaction* aTrans) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(aTrans, false));
    return nxseGetU32(header->Header + section_);
  }
  // Every management entry against its data block, and the in-memory copy
  // against the blocks.
  void expectDirectoryMatchesBlocks(TnxBaseTransaction* aTrans) {
    TnxBlockNumber m = firstManagement(aTrans);
    std::map<TnxBlockNumber, std::uint16_t> listed;
    std::size_t index = 0;
    while (m != 0) {
      PnxBlock block = nullptr;
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) {
        return access_->GetBlock(aTrans, m, false, r, heap()->bseID);
      });
      block = blockPin.Block();
      ASSERT_EQ(std::memcmp(block, "NXHM", 4), 0);
      const std::uint32_t count = nxseGetU16(block + 20);
      ASSERT_LT(index, heap()->heManagmentBlocks.size());
      EXPECT_EQ(heap()->heManagmentBlocks[index].hmpiBlockNumber, m);
      EXPECT_EQ(heap()->heManagmentBlocks[index].hmpiBlockInfos.size(), count);
      for (std::uint32_t i = 0; i < count; ++i) listed[nxseGetU32(block + 22 + 6 * i)] = nxseGetU16(block + 26 + 6 * i);
      const TnxBlockNumber next = nxseGetU32(block + 16);
      blockPin.Release();
      m = next;
      ++index;
    }
    EXPECT_EQ(index, heap()->heManagmentBlocks.size());
    EXPECT_EQ(listed.size(), heap()->heByBlockNumber.size());
    EXPECT_EQ(listed.size(), heap()->heByFreeSpace.size());
    // Every data block of the heap: listed exactly when it has room.
    const std::uint32_t used = file_->UsedBlocksFor(aTrans);
    std::size_t dataBlocks = 0;
    for (TnxBlockNumber n = 1; n < used; ++n) {
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file_, aTrans, n, false, r); });
      PnxBlock block = blockPin.Block();
      if (std::memcmp(block, "NXHD", 4) == 0) {
        ++dataBlocks;
        blockHeap()->VerifyBlock(block, false);
        const std::uint16_t free = blockHeap()->GetFreespace(block);
        const std::uint16_t live = nxseGetU16(block + 16);
        EXPECT_GT(live, 0) << "empty data block " << n;
        if (free >= 40) {
          EXPECT_EQ(listed.count(n), 1u) << "block " << n << " with " << free << " free is not listed";
          if (listed.count(n)) {
            EXPECT_EQ(listed[n], free) << "block " << n;
          }
        } else {
          EXPECT_EQ(listed.count(n), 0u) << "block " << n;
        }
      }
      blockPin.Release();
    }
    EXPECT_LE(listed.size(), dataBlocks);
  }

  TnxOwned<TnxBaseHeapDescriptor> descriptor_;
  TnxBaseFile* file_ = nullptr;
  TnxOwned<TnxBlockAccess> main_;
  TnxOwned<TnxBlockAccess> access_;
  std::uint16_t section_ = 0;
  TestHeapHandler* handler_ = nullptr;  // owned by the heap
  TnxOwned<TnxCachedHeapEngine> heap_;
};

TEST_F(HeapTest, GeometryFollowsTheUsableBlockSize) {
  EXPECT_EQ(heap()->heMaxEntries, 678);  // 4092 usable bytes
  EXPECT_EQ(heap()->bheBlockHeapEngine->MaxSegmentSize(), 4060);
  EXPECT_EQ(heap()->bheHeapRefMask, 0xFFFFFFFF0000FFFFull);
  // 4096 usable bytes (a version 1 file without encryption).
  TnxOwned<TnxBaseFile> other(TnxBaseFile::Alloc(true, u"/db/other.nx1", manager_));
  other->SetBlockSizeBytes(4096);
  other->SetVadurVersion(47004);
  TnxOwned<TnxBlockAccess> access(platform::create<TnxBlockAccess>(other.get(), nullptr, u"o", 0));
  TnxOwned<TnxCachedHeapEngine> wide(platform::objectAs<TnxCachedHeapEngine>(TnxBaseHeapEngine::CreateEngine(
      descriptor_.get(), access.get(), platform::create<TestHeapHandler>(std::uint16_t{0}))));
  EXPECT_EQ(wide->heMaxEntries, 679);
  EXPECT_EQ(wide->bheBlockHeapEngine->MaxSegmentSize(), 4064);
  EXPECT_EQ(wide->bheHeapRefMask, ~TnxHeapRef{0});
}

TEST_F(HeapTest, DescriptorsAndNamesAreChecked) {
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(descriptor_.get());
  descriptor_->SetHeapEngine(u"Mystery");
  expectCode([&] { TnxBaseHeapEngine::CheckValidBaseFromDescriptor(descriptor_.get()); }, 15503,
             u"Unknown Heap engine: \"Mystery\"");
  expectCode(
      [&] {
        TnxBaseHeapEngine::CreateEngine(descriptor_.get(), access_.get(),
                                        platform::create<TestHeapHandler>(std::uint16_t{0}));
      },
      15503);
  descriptor_->SetHeapEngine(u"nx1xDefault");
  descriptor_->RemoveBlockHeapDescriptor();
  expectCode([&] { TnxBaseHeapEngine::CheckValidBaseFromDescriptor(descriptor_.get()); }, 10004,
             u"A block heap descriptor is required");
}

TEST_F(HeapTest, TheFirstSegmentMakesADataBlockAndListsIt) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef ref = alloc(trans.get(), 100, 7);
  ASSERT_NE(ref, 0u);
  EXPECT_EQ(nxHeapRefSegment(ref), 1u);
  EXPECT_EQ(handler_->linked, 1);
  const TnxBlockNumber management = firstManagement(trans.get());
  ASSERT_NE(management, 0u);
  ASSERT_EQ(heap()->heManagmentBlocks.size(), 1u);
  ASSERT_EQ(heap()->heManagmentBlocks[0].hmpiBlockInfos.size(), 1u);
  EXPECT_EQ(heap()->heManagmentBlocks[0].hmpiBlockInfos[0].hdbiBlockNumber, nxHeapRefBlock(ref));
  EXPECT_EQ(read(trans.get(), ref), pattern(100, 7));
  // The next small segment goes to the same block.
  EXPECT_EQ(nxHeapRefBlock(alloc(trans.get(), 50, 8)), nxHeapRefBlock(ref));
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  const std::vector<std::uint8_t> d = disk();
  const std::uint8_t* data = d.data() + std::size_t{nxHeapRefBlock(ref)} * 4096;
  EXPECT_EQ(std::memcmp(data, "NXHD", 4), 0);
  EXPECT_EQ(nxseGetI32(data + 4092), 6);  // the heap's ID
  const std::uint8_t* m = d.data() + std::size_t{management} * 4096;
  EXPECT_EQ(std::memcmp(m, "NXHM", 4), 0);
  EXPECT_EQ(nxseGetU16(m + 20), 1);
  EXPECT_EQ(nxseGetU32(m + 22), nxHeapRefBlock(ref));
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, AFirstSegmentThatLeavesLittleRoomMakesNoManagementBlock) {
  TnxOwned<TestTransaction> trans(newTransaction());
  ASSERT_NE(alloc(trans.get(), 4060 - 30, 1), 0u);
  EXPECT_EQ(firstManagement(trans.get()), 0u);
  EXPECT_TRUE(heap()->heManagmentBlocks.empty());
  // Too big for any segment.
  EXPECT_EQ(alloc(trans.get(), 4061, 1), 0u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, FreeingTheLastSegmentFreesTheBlockAndTheEmptyManagementBlock) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef a = alloc(trans.get(), 300, 1);
  const TnxHeapRef b = alloc(trans.get(), 300, 2);
  trans->Commit();
  trans.reset(newTransaction());
  free(trans.get(), a);
  EXPECT_EQ(handler_->unlinked, 0);
  free(trans.get(), b);
  EXPECT_EQ(handler_->unlinked, 1);
  EXPECT_EQ(firstManagement(trans.get()), 0u);
  EXPECT_TRUE(heap()->heManagmentBlocks.empty());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  // Freed blocks are reused.
  trans.reset(newTransaction());
  const std::uint32_t used = file_->UsedBlocks();
  alloc(trans.get(), 10, 3);
  EXPECT_EQ(file_->TransUsedBlocks(), used);
  trans->Commit();
}

TEST_F(HeapTest, SplitAllocationTakesTheRoomThereIsUnlessNotAllowed) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef first = alloc(trans.get(), 3000, 1);
  const std::uint16_t room = heap()->heManagmentBlocks[0].hmpiBlockInfos[0].hdbiFreeSpace;
  std::vector<std::uint8_t> data(2000, 9);
  const TnxHeapPiece pieces[] = {{"\x04", 1}, {data.data(), 2000}};
  std::uint16_t size = 0;
  const TnxHeapRef split = heap()->AllocSegmentEx(trans.get(), pieces, 2, size, 0, 1, false);
  EXPECT_EQ(nxHeapRefBlock(split), nxHeapRefBlock(first));
  EXPECT_EQ(size, room);
  std::vector<std::uint8_t> expected(room, 9);
  expected[0] = 4;
  EXPECT_EQ(read(trans.get(), split), expected);
  // Items: a whole number of 12-byte items after a 1-byte header, in a new
  // block when not allowed to split.
  std::vector<std::uint8_t> items(12 * 400, 5);
  const TnxHeapPiece list[] = {{"\x04", 1}, {items.data(), 12 * 400}};
  const TnxHeapRef whole = heap()->AllocSegmentEx(trans.get(), list, 13, size, 1, 12, true);
  EXPECT_NE(nxHeapRefBlock(whole), nxHeapRefBlock(first));
  EXPECT_EQ(size, 1 + 12 * 338);  // as many items as an empty block holds
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, ResizingGrowsInPlaceOrMovesKeepingTheBytes) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef a = alloc(trans.get(), 100, 1);
  const TnxHeapRef b = alloc(trans.get(), 3000, 2);
  std::uint16_t size = 0, got = 0;
  TnxPinnedBlock pin;
  nxGetPinnedSegment(*heap(), trans.get(), a, true, size, pin);
  std::vector<std::uint8_t> more(2000, 3);
  const TnxHeapPiece pieces[] = {{nullptr, 100}, {more.data(), 2000}};
  const TnxHeapRef moved =
      heap()->ReAllocSegmentEx(trans.get(), pin.Block(), nxHeapRefSegment(a), pieces, 100, got, 0, 1, false);
  pin.Release();
  EXPECT_EQ(got, 2100);
  EXPECT_NE(nxHeapRefBlock(moved), nxHeapRefBlock(a));
  std::vector<std::uint8_t> expected(2100, 3);
  std::fill(expected.begin(), expected.begin() + 100, std::uint8_t{1});
  expected[0] = 4;
  EXPECT_EQ(read(trans.get(), moved), expected);
  expectCode([&] { read(trans.get(), a); }, 15493);
  EXPECT_EQ(read(trans.get(), b), pattern(3000, 2));
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, ManyListedBlocksFillAManagementBlockAndStartAnother) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxHeapRef> refs;
  // 2100 bytes leave about 1950 free: every segment needs a block of its own.
  for (int i = 0; i < 679; ++i) refs.push_back(alloc(trans.get(), 2100, static_cast<std::uint8_t>(i)));
  ASSERT_EQ(heap()->heManagmentBlocks.size(), 2u);
  EXPECT_EQ(heap()->heManagmentBlocks[0].hmpiBlockInfos.size(), 678u);
  EXPECT_EQ(heap()->heManagmentBlocks[1].hmpiBlockInfos.size(), 1u);
  EXPECT_EQ(heap()->heFirstNonFullIndex, 1);
  // An entry leaves the first block: it is filled again first.
  free(trans.get(), refs[5]);
  EXPECT_EQ(heap()->heFirstNonFullIndex, 0);
  alloc(trans.get(), 2100, 1);
  EXPECT_EQ(heap()->heManagmentBlocks[0].hmpiBlockInfos.size(), 678u);
  EXPECT_EQ(heap()->heManagmentBlocks[1].hmpiBlockInfos.size(), 1u);
  // The last block's only entry goes: the second management block is dropped.
  free(trans.get(), refs[678]);
  EXPECT_EQ(heap()->heManagmentBlocks.size(), 1u);
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, RollbackDropsTheCopyAndTheNextCallReloadsIt) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef kept = alloc(trans.get(), 200, 1);
  trans->Commit();
  trans.reset(newTransaction());
  for (int i = 0; i < 5; ++i) alloc(trans.get(), 2500, 2);
  EXPECT_GE(heap()->heByBlockNumber.size(), 5u);
  trans->Rollback();
  heap()->Rollback(trans.get());
  EXPECT_FALSE(heap()->heManagmentBlocksLoaded);
  trans.reset(newTransaction());
  const TnxHeapRef next = alloc(trans.get(), 100, 3);
  EXPECT_EQ(nxHeapRefBlock(next), nxHeapRefBlock(kept));
  EXPECT_EQ(heap()->heByBlockNumber.size(), 1u);
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, ALinkThatFailsGivesTheNewBlockBack) {
  TnxOwned<TestTransaction> trans(newTransaction());
  alloc(trans.get(), 100, 1);
  const std::uint32_t used = file_->TransUsedBlocks();
  handler_->failLink = true;
  expectCode([&] { alloc(trans.get(), 4000, 1); }, 12289);
  handler_->failLink = false;
  alloc(trans.get(), 4000, 1);
  EXPECT_EQ(file_->TransUsedBlocks(), used + 1);  // the block freed above was reused
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(HeapTest, IncHeapRefAdvancesTheCounterAndNamesTheSameSegment) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxHeapRef ref = alloc(trans.get(), 20, 4);
  TnxHeapRef next = ref;
  heap()->IncHeapRef(next);
  EXPECT_EQ(next, ref + 65536);
  EXPECT_EQ(next & heap()->bheHeapRefMask, ref);
  EXPECT_EQ(read(trans.get(), next), read(trans.get(), ref));
  trans->Commit();
}

// Random allocation, resizing and freeing over many blocks against a map of
// reference to contents; afterwards every "NXHM" entry equals its data
// block's free space, across commits and a rollback.
TEST_F(HeapTest, RandomTrafficKeepsTheDirectoryEqualToTheBlocks) {
  std::mt19937 rng(424242);
  std::map<TnxHeapRef, std::vector<std::uint8_t>> model;
  auto sizeOf = [&] {
    switch (rng() % 3) {
      case 0:
        return static_cast<std::uint32_t>(13 + rng() % 40);
      case 1:
        return static_cast<std::uint32_t>(13 + rng() % 600);
      default:
        return static_cast<std::uint32_t>(13 + rng() % 3990);
    }
  };
  for (int round = 0; round < 12; ++round) {
    TnxOwned<TestTransaction> trans(newTransaction());
    const auto before = model;
    for (int step = 0; step < 150; ++step) {
      const unsigned op = rng() % 10;
      if (op < 5 || model.empty()) {
        std::vector<std::uint8_t> v(sizeOf());
        for (auto& x : v) x = static_cast<std::uint8_t>(rng());
        v[0] = 4;
        const TnxHeapPiece pieces[] = {{v.data(), static_cast<std::uint32_t>(v.size())}};
        const TnxHeapRef ref = heap()->AllocSegment(trans.get(), pieces);
        ASSERT_NE(ref, 0u);
        ASSERT_EQ(model.count(ref), 0u);
        model[ref] = v;
      } else if (op < 8) {
        auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        std::vector<std::uint8_t> v = it->second;
        const std::uint32_t size = sizeOf();
        std::uint16_t got = 0, oldSize = 0;
        TnxPinnedBlock pin;
        nxGetPinnedSegment(*heap(), trans.get(), it->first, true, oldSize, pin);
        std::vector<std::uint8_t> tail;
        for (std::uint32_t i = static_cast<std::uint32_t>(v.size()); i < size; ++i)
          tail.push_back(static_cast<std::uint8_t>(rng()));
        const std::uint32_t keep = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(v.size()));
        const TnxHeapPiece pieces[] = {{nullptr, keep}, {tail.data(), static_cast<std::uint32_t>(tail.size())}};
        const TnxHeapRef moved =
            heap()->ReAllocSegmentEx(trans.get(), pin.Block(), nxHeapRefSegment(it->first), pieces, 1, got, 0, 1, true);
        pin.Release();
        ASSERT_NE(moved, 0u);
        ASSERT_EQ(got, size);
        v.resize(keep);
        v.insert(v.end(), tail.begin(), tail.end());
        model.erase(it);
        ASSERT_EQ(model.count(moved), 0u);
        model[moved] = v;
      } else {
        auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        free(trans.get(), it->first);
        model.erase(it);
      }
    }
    for (const auto& [ref, bytes] : model) ASSERT_EQ(read(trans.get(), ref), bytes);
    expectDirectoryMatchesBlocks(trans.get());
    if (round % 4 == 3) {
      trans->Rollback();
      heap()->Rollback(trans.get());
      model = before;
    } else {
      trans->Commit();
    }
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  for (const auto& [ref, bytes] : model) ASSERT_EQ(read(trans.get(), ref), bytes);
  heap()->heCurrentTrans = trans.get();  // reads alone do not load the directory
  heap()->LoadManagementBlocks();
  expectDirectoryMatchesBlocks(trans.get());
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  // A fresh heap over the same file reads the same directory.
  heap_.reset();
  open();
  heap()->LoadManagementBlocks();
  expectDirectoryMatchesBlocks(nullptr);
}

// ---- Damaged blocks ------------------------------------------------------------------------------

class HeapDamageTest : public HeapTest {
 public:
  // A committed heap with a few blocks; answers the first management block.
  TnxBlockNumber populate() {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (int i = 0; i < 4; ++i) refs_.push_back(alloc(trans.get(), 2500, static_cast<std::uint8_t>(i)));
    trans->Commit();
    return firstManagement(nullptr);
  }
  void patch(TnxBlockNumber aBlock, std::uint32_t aOffset, std::uint32_t aValue, int aWidth) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) {
      return manager_->GetBlock(file_, trans.get(), aBlock, true, r);
    });
    PnxBlock block = blockPin.Block();
    if (aWidth == 2)
      nxsePutU16(block + aOffset, static_cast<std::uint16_t>(aValue));
    else
      nxsePutU32(block + aOffset, aValue);
    blockPin.Release();
    trans->Commit();
    heap_.reset();
    open();
  }
  std::vector<TnxHeapRef> refs_;
};

TEST_F(HeapDamageTest, ManagementCountBeyondMaxEntries) {
  const TnxBlockNumber m = populate();
  patch(m, 20, 679, 2);
  TnxOwned<TestTransaction> trans(newTransaction());
  expectCode([&] { alloc(trans.get(), 10, 1); }, 8962);
  EXPECT_FALSE(heap()->heManagmentBlocksLoaded);
  trans->Rollback();
}

TEST_F(HeapDamageTest, ManagementChainLoop) {
  const TnxBlockNumber m = populate();
  patch(m, 16, m, 4);
  TnxOwned<TestTransaction> trans(newTransaction());
  expectCode([&] { alloc(trans.get(), 10, 1); }, 8962);
  trans->Rollback();
}

TEST_F(HeapDamageTest, ManagementEntryOutsideTheFile) {
  const TnxBlockNumber m = populate();
  patch(m, 22, 100000, 4);
  TnxOwned<TestTransaction> trans(newTransaction());
  expectCode([&] { alloc(trans.get(), 10, 1); }, 8962);
  trans->Rollback();
}

TEST_F(HeapDamageTest, ListedFreeSpaceThatIsNotThere) {
  const TnxBlockNumber m = populate();
  patch(m, 26, 4000, 2);
  TnxOwned<TestTransaction> trans(newTransaction());
  expectCode([&] { alloc(trans.get(), 3000, 1); }, 8962);
  trans->Rollback();
}

TEST_F(HeapDamageTest, TheCheckerFindsAnEntryThatDiffersFromItsBlock) {
  const TnxBlockNumber m = populate();
  EXPECT_EQ(checkFile(), "");
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file_, trans.get(), m, true, r); });
  PnxBlock block = blockPin.Block();
  nxsePutU16(block + 26, static_cast<std::uint16_t>(nxseGetU16(block + 26) + 4));
  blockPin.Release();
  trans->Commit();
  EXPECT_NE(checkFile().find("listed with"), std::string::npos);
}

TEST_F(HeapDamageTest, DataBlockChecks) {
  populate();
  TnxOwned<TestTransaction> trans(newTransaction());
  expectCode([&] { read(trans.get(), nxMakeHeapRef(90000, 1)); }, 15409, u"Block number is either < 0");
  const TnxBlockNumber m = firstManagement(trans.get());
  expectCode([&] { read(trans.get(), nxMakeHeapRef(m, 1)); }, 15416, u"is not a valid heap block");
  expectCode([&] { read(trans.get(), refs_[0] + 5); }, 15492);
  // A slot entry pointing into the directory.
  trans->Commit();
  patch(nxHeapRefBlock(refs_[1]), 4092 - 8, 4092 - 8, 2);
  trans.reset(newTransaction());
  expectCode([&] { read(trans.get(), refs_[1]); }, 8962);
  trans->Rollback();
}

}  // namespace

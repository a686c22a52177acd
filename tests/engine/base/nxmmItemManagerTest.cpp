#include "nxmmItemManager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nxTestWatchdog.h"
#include "plErrors.h"

using namespace nxmm;

namespace {

std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

struct ItemManagerTest : ::testing::Test {
  TnxChunkManager chunks{32};
  TnxItemManager items{chunks};
};

}  // namespace

TEST_F(ItemManagerTest, SizeChoosesPoolOrLargeBlock) {
  struct Case {
    std::size_t size;
    std::uint32_t itemSize;  // 0: a large block
  } cases[] = {{1, 4},    {3, 4},      {4, 8},        {8, 16},     {16, 32},   {32, 48},  {63, 64},
               {64, 96},  {65, 96},    {1024, 1024},  {1025, 1280}, {3841, 4064}, {32735, 32736},
               {32736, 0}, {100000, 0}};
  for (const Case& c : cases) {
    void* p = items.getMem(c.size);
    ASSERT_NE(p, nullptr) << c.size;
    std::memset(p, 0xEE, c.size);
    TnxMemoryPool* pool = items.poolOfItem(p);
    if (c.itemSize) {
      ASSERT_NE(pool, nullptr) << c.size;
      EXPECT_EQ(pool->itemSize(), c.itemSize) << c.size;
      EXPECT_NE(addr(p) % 65536, 0u);
    } else {
      EXPECT_EQ(pool, nullptr);
      EXPECT_EQ(addr(p) % 65536, 0u) << c.size;
      ASSERT_NE(items.largeBlock(p), nullptr);
      EXPECT_EQ(items.largeBlock(p)->lbSize, c.size);
    }
    EXPECT_EQ(items.freeMem(p), 0);
  }
  EXPECT_EQ(items.statistics().isInUse, 0);
}

TEST_F(ItemManagerTest, ItemsOfEightBytesOrMoreAreAlignedTo16) {
  // Objects holding 16-byte list heads rely on it.
  for (std::size_t size = 8; size <= nxMaxItemSize; size += size < 300 ? 1 : 97) {
    void* p = items.getMem(size);
    void* q = items.getMem(size);
    EXPECT_EQ(addr(p) % 16, 0u) << size;
    EXPECT_EQ(addr(q) % 16, 0u) << size;
    items.freeMem(p);
    items.freeMem(q);
  }
}

TEST_F(ItemManagerTest, PageGeometryLeavesRoomForTheBitmap) {
  for (int i = 0; i < nxPoolCount; ++i) {
    TnxMemoryPool* p = items.pool(i);
    EXPECT_EQ(p->blockHeaderSize() % 16, 0u);
    EXPECT_GE(p->blockHeaderSize(), 40 + (p->itemsPerBlock() + 31) / 32 * 4) << "bitmap words end before item 0";
    EXPECT_LT(p->blockHeaderSize() + std::size_t(p->itemsPerBlock()) * p->slotSize(), nxPageSize);
  }
  EXPECT_EQ(items.pool(nxPoolCount - 1)->itemsPerBlock(), 2u);
  EXPECT_EQ(items.pool(47)->itemsPerBlock(), 16u);  // 4064
}

TEST_F(ItemManagerTest, BadFreesAreRefusedWithoutReadingForeignMemory) {
  char* p = static_cast<char*>(items.getMem(100));
  int local = 0;
  void* heap = std::malloc(64);
  EXPECT_EQ(items.freeMem(&local), 1);
  EXPECT_EQ(items.freeMem(heap), 1);
  EXPECT_EQ(items.freeMem(reinterpret_cast<void*>(std::uintptr_t(0x10))), 1);
  EXPECT_EQ(items.freeMem(reinterpret_cast<void*>(std::uintptr_t(0x7f0000010000))), 1) << "64 KB aligned, no block";
  std::free(heap);
  void* block = chunks.blockAlloc(chunks.blockManager(nxbs4k));
  EXPECT_EQ(items.freeMem(static_cast<char*>(block) + 64), 1) << "a committed block that is no page";
  EXPECT_THROW(items.freeMem(p + 8), platform::InvalidPointer) << "inside an item";
  EXPECT_EQ(items.freeMem(p), 0);
  EXPECT_THROW(items.freeMem(p), platform::InvalidPointer) << "double free";
  void* big = items.getMem(50000);
  EXPECT_EQ(items.freeMem(static_cast<char*>(big) + 65536), 1);
  EXPECT_EQ(items.freeMem(big), 0);
  EXPECT_EQ(items.freeMem(big), 1) << "large block freed twice";
}

TEST_F(ItemManagerTest, ReallocOfItemsFollowsTheGrowthPolicy) {
  struct Case {
    std::size_t from, to;
    bool inPlace;
    std::uint32_t newItemSize;
  } cases[] = {{1024, 40, true, 1024}, {1024, 32, false, 48}, {12, 20, false, 160},
               {12, 10, true, 16},     {100, 100, true, 128}, {2000, 3000, false, 6528},
               {9000, 9500, false, 10912 /*no factor above 8192*/}};
  for (const Case& c : cases) {
    auto* p = static_cast<unsigned char*>(items.getMem(c.from));
    for (std::size_t i = 0; i < c.from; ++i) p[i] = static_cast<unsigned char>(i * 13 + 1);
    auto* q = static_cast<unsigned char*>(items.reallocMem(p, c.to));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q == p, c.inPlace) << c.from << "->" << c.to;
    if (TnxMemoryPool* pool = items.poolOfItem(q)) {
      EXPECT_EQ(pool->itemSize(), c.newItemSize) << c.from << "->" << c.to;
    }
    const std::size_t keep = c.from < c.to ? c.from : c.to;
    for (std::size_t i = 0; i < keep; ++i) ASSERT_EQ(q[i], static_cast<unsigned char>(i * 13 + 1)) << i;
    EXPECT_EQ(items.freeMem(q), 0);
  }
}

TEST_F(ItemManagerTest, LargeBlockGrowsWithoutLosingContents) {
  std::size_t size = 20000;
  auto* p = static_cast<std::uint32_t*>(items.getMem(size));
  for (std::size_t i = 0; i < size / 4; ++i) p[i] = std::uint32_t(i);
  int stayed = 0;
  for (int step = 0; step < 24; ++step) {
    const std::size_t grown = size + size / 3 + 5000;
    auto* q = static_cast<std::uint32_t*>(items.reallocMem(p, grown));
    ASSERT_NE(q, nullptr);
    for (std::size_t i = 0; i < size / 4; i += 101) ASSERT_EQ(q[i], std::uint32_t(i)) << step;
    for (std::size_t i = size / 4; i < grown / 4; ++i) q[i] = std::uint32_t(i);
    if (q == p) ++stayed;
    p = q;
    size = grown;
    if (const TnxLargeBlockTrailer* t = items.largeBlock(p)) {
      if (step > 1) {
        EXPECT_EQ(t->lbGrowable, 1u);
      }
      EXPECT_LE(t->lbGranulesMapped, t->lbGranulesReserved);
    }
  }
  EXPECT_GT(stayed, 5) << "growth inside the reservation keeps the address";
  // Shrinking far below a growable block moves it into a fresh block.
  auto* small = static_cast<std::uint32_t*>(items.reallocMem(p, 4000));
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(small[i], std::uint32_t(i));
  EXPECT_NE(items.poolOfItem(small), nullptr);
  EXPECT_EQ(items.freeMem(small), 0);
}

TEST_F(ItemManagerTest, PlainLargeBlockResizesInPlaceWithinItsPages) {
  void* p = items.getMem(40000);
  EXPECT_EQ(items.reallocMem(p, 40100), p);
  EXPECT_EQ(items.largeBlock(p)->lbSize, 40100u);
  EXPECT_EQ(items.largeBlock(p)->lbGrowable, 0u);
  void* q = items.reallocMem(p, 200000);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(items.largeBlock(q)->lbGrowable, 1u);
  EXPECT_EQ(items.largeBlock(q)->lbGrowthCount, 1u);
  EXPECT_EQ(items.largeBlock(q)->lbGranulesReserved, 2 * nxLargeBlockGranules(200000));
  EXPECT_EQ(items.freeMem(q), 0);
}

TEST_F(ItemManagerTest, FreedLargeBlockIsReusedUntilTheCleanup) {
  auto* p = static_cast<char*>(items.getMem(200000));
  p[199999] = 1;
  EXPECT_EQ(items.freeMem(p), 0);
  EXPECT_EQ(items.largeBlock(p), nullptr);
  auto* q = static_cast<char*>(items.getMem(150000));
  EXPECT_EQ(q, p) << "the freed reservation serves the next block of a near size";
  q[149999] = 2;
  EXPECT_EQ(items.freeMem(q), 0);
  EXPECT_EQ(items.freeMem(q), 1) << "freed once";
  items.cleanup();
  EXPECT_EQ(items.statistics().isInUse, 0);
}

TEST_F(ItemManagerTest, FreedPageReturnsWithinTwoCleanups) {
  std::vector<void*> got;
  for (int i = 0; i < 100; ++i) got.push_back(items.getMem(200));
  EXPECT_EQ(items.statistics().isAddressSpace, std::int64_t(nxPageSize));
  for (void* p : got) items.freeMem(p);
  items.cleanup();
  items.cleanup();
  EXPECT_EQ(items.statistics().isAddressSpace, 0);
  EXPECT_EQ(items.statistics().isHeaders, 0);
  chunks.blockManagerCleanup();
  EXPECT_TRUE(chunks.blockManager(nxbs64k)->bmChunksWithFree.isEmpty());
}

TEST(ItemManager, ExhaustionAnswersNil) {
  TnxChunkManager chunks(8);  // 2 usable chunks, 5 in reserve
  TnxItemManager items(chunks);
  // What the cleanup thread does on request: give cached pages back.
  chunks.setOutOfAddressSpaceCallback(
      [](void* aItems) {
        auto* im = static_cast<TnxItemManager*>(aItems);
        im->cleanup();
        im->cleanup();
        im->chunks().blockManagerCleanup();
        im->chunks().chunkTrim();
      },
      &items);
  std::vector<void*> got;
  for (;;) {
    void* p = items.getMem(30000);
    if (!p) break;
    got.push_back(p);
    ASSERT_LT(got.size(), 1000u);
  }
  EXPECT_TRUE(chunks.isMemoryEmergency());
  EXPECT_EQ(got.size(), 7u * 64 * 2);
  void* keep = got.back();
  EXPECT_EQ(items.reallocMem(keep, 32000), keep) << "in place needs nothing new";
  EXPECT_EQ(items.reallocMem(got.front(), 100), nullptr) << "no page for the new size";
  for (void* p : got) EXPECT_EQ(items.freeMem(p), 0);
  EXPECT_NE(items.getMem(100), nullptr) << "the callback released the idle pages";
}

TEST_F(ItemManagerTest, AppendBufferBuiltAgainReusesItsReservations) {
  // Grown by an eighth up to 1 MB, twice: the large block moves once (plain to
  // growable), grows inside its 2 MB of address space without moving after
  // that, and the second time finds the reservations the first time left.
  std::vector<void*> seen[2];
  for (auto& addresses : seen) {
    std::size_t size = 16;
    auto* p = static_cast<unsigned char*>(items.getMem(size));
    p[0] = 7;
    p[size - 1] = static_cast<unsigned char>(size);
    while (size < (1u << 20)) {
      const std::size_t next = size + size / 8 + 16;
      const TnxLargeBlockTrailer* before = items.largeBlock(p);
      const bool roomLeft = before && before->lbGrowable && nxLargeBlockGranules(next) <= before->lbGranulesReserved;
      auto* q = static_cast<unsigned char*>(items.reallocMem(p, next));
      ASSERT_NE(q, nullptr);
      if (roomLeft) {
        EXPECT_EQ(q, p) << next;
      }
      ASSERT_EQ(q[0], 7) << next;
      ASSERT_EQ(q[size - 1], static_cast<unsigned char>(size)) << next;
      q[next - 1] = static_cast<unsigned char>(next);
      if (items.largeBlock(q) && q != p) addresses.push_back(q);
      p = q;
      size = next;
    }
    EXPECT_EQ(items.freeMem(p), 0);
  }
  ASSERT_GE(seen[0].size(), 1u);
  EXPECT_LE(seen[0].size(), 2u) << "a growable block below 2 MB moved";
  for (void* p : seen[1])
    EXPECT_NE(std::find(seen[0].begin(), seen[0].end(), p), seen[0].end()) << "a fresh reservation";
  EXPECT_EQ(items.statistics().isInUse, 0);
}

TEST_F(ItemManagerTest, PlainLargeBlockShrinkingMovesOnlyWhatFits) {
  // Its pages differ, so it moves into a reservation sized for the new size.
  auto* p = static_cast<std::uint32_t*>(items.getMem(1000000));
  for (std::size_t i = 0; i < 1000000 / 4; ++i) p[i] = std::uint32_t(i * 2654435761u);
  auto* q = static_cast<std::uint32_t*>(items.reallocMem(p, 100000));
  ASSERT_NE(q, nullptr);
  for (std::size_t i = 0; i < 100000 / 4; ++i) ASSERT_EQ(q[i], std::uint32_t(i * 2654435761u)) << i;
  EXPECT_EQ(items.largeBlock(q)->lbGrowable, 1u);
  EXPECT_EQ(items.largeBlock(q)->lbGranulesReserved, 2 * nxLargeBlockGranules(100000));
  EXPECT_EQ(items.freeMem(q), 0);
}

namespace {

// A manager with the per-thread item cache, as the process uses it.
struct CachedItemsTest : ::testing::Test {
  TnxChunkManager chunks{32};
  TnxItemManager items{chunks, true};
};

// Frees its block when the thread ends; made before the thread's item cache,
// so it is destroyed after it.
struct LateFree {
  TnxItemManager* items = nullptr;
  void* block = nullptr;
  ~LateFree() {
    if (block) items->freeMem(block);
  }
};

}  // namespace

TEST_F(CachedItemsTest, FreesAfterTheThreadCacheIsGoneReachThePages) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "FreesAfterTheThreadCacheIsGoneReachThePages");
  for (int t = 0; t < 200; ++t)
    std::thread([this] {
      thread_local LateFree late;
      late.items = &items;
      items.freeMem(items.getMem(100));  // the cache starts here, after `late`
      late.block = items.getMem(128);
    }).join();
  items.flushThreadCache();
  EXPECT_EQ(items.statistics().isInUse, 0) << "blocks freed at thread exit were lost";
}

// Whether a block is handed out is the allocator's knowledge, not the block's:
// a valid free succeeds whatever the block holds, and a second free is refused
// whatever was written into the block after the first.
TEST_F(CachedItemsTest, DoubleFreeIsDecidedByMetadataNotByTheBlocksBytes) {
  struct Case {
    const char* what;
    std::size_t size;
    int extraFrees;  // other frees between the two, to push the item out of the cache
  } cases[] = {
      {"cached 16-byte pool item", 12, 0},
      {"cached 128-byte item", 120, 0},
      {"item pushed out of a full cache", 120, 80},
      {"8-byte pool item", 4, 0},
      {"large pool item", 20000, 10},
  };
  for (const Case& c : cases) {
    // Bytes a cached item holds, copied into a live block: still a valid free.
    void* cachedOne = items.getMem(c.size);
    void* live = items.getMem(c.size);
    ASSERT_EQ(items.freeMem(cachedOne), 0) << c.what;
    std::memcpy(live, cachedOne, std::min<std::size_t>(c.size, 16));
    for (unsigned char fill : {0x00, 0xFF, 0xA5}) std::memset(static_cast<char*>(live) + 16, fill, c.size > 16 ? c.size - 16 : 0);
    EXPECT_EQ(items.freeMem(live), 0) << c.what << ": a valid free was refused";

    void* p = items.getMem(c.size);
    std::vector<void*> others;
    for (int i = 0; i < c.extraFrees; ++i) others.push_back(items.getMem(c.size));
    ASSERT_EQ(items.freeMem(p), 0) << c.what;
    for (void* o : others) ASSERT_EQ(items.freeMem(o), 0);
    // Written after its free, past the link word (bytes 8-15 held the old mark).
    if (c.size > 8) std::memset(static_cast<char*>(p) + 8, 0x3C, c.size - 8);
    EXPECT_THROW(items.freeMem(p), platform::InvalidPointer) << c.what << ": double free accepted";
    // Never handed out twice.
    std::vector<void*> again;
    for (int i = 0; i < 100; ++i) again.push_back(items.getMem(c.size));
    std::sort(again.begin(), again.end());
    EXPECT_EQ(std::adjacent_find(again.begin(), again.end()), again.end()) << c.what;
    for (void* a : again) ASSERT_EQ(items.freeMem(a), 0);
  }
  items.flushThreadCache();
  EXPECT_EQ(items.statistics().isInUse, 0);
}

// Threads free each other's blocks whatever they hold, and refuse their own
// second frees; no block is ever held by two threads.
TEST_F(CachedItemsTest, DoubleFreesAreRefusedOnEightThreadsWhateverTheBlocksHold) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "DoubleFreesAreRefusedOnEightThreads");
  constexpr int kThreads = 8;
  std::atomic<int> refusedValid{0}, acceptedDouble{0}, shared{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::uint32_t rng = 88172645u + std::uint32_t(t) * 7919u;
      auto next = [&] {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        return rng;
      };
      std::vector<std::pair<std::uint64_t*, std::size_t>> held;
      for (int round = 0; round < 20000; ++round) {
        if (held.size() < 64 && (next() & 1)) {
          const std::size_t words = 2 + next() % 40;
          auto* p = static_cast<std::uint64_t*>(items.getMem(words * 8));
          for (std::size_t i = 0; i < words; ++i) p[i] = (std::uint64_t(t) << 56) | std::uint32_t(round);
          // Sometimes the bytes of a free block: links and whatever follows.
          if (!held.empty() && (next() & 3) == 0) p[1] = held.front().first[1];
          held.emplace_back(p, words);
        } else if (!held.empty()) {
          const std::size_t k = next() % held.size();
          auto [p, words] = held[k];
          held[k] = held.back();
          held.pop_back();
          for (std::size_t i = 2; i < words; ++i)
            if ((p[i] >> 56) != std::uint64_t(t)) shared.fetch_add(1);
          try {
            if (items.freeMem(p) != 0) refusedValid.fetch_add(1);
          } catch (const platform::InvalidPointer&) {
            refusedValid.fetch_add(1);
          }
          if ((round & 63) == 0) {
            p[1] = next();
            try {
              items.freeMem(p);
              acceptedDouble.fetch_add(1);
            } catch (const platform::InvalidPointer&) {
            }
          }
        }
      }
      for (auto [p, words] : held) items.freeMem(p);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(refusedValid.load(), 0);
  EXPECT_EQ(acceptedDouble.load(), 0);
  EXPECT_EQ(shared.load(), 0);
}

// Misplaced pointers into live pages take the cached path first: each is
// refused, and the item next to it is neither freed nor handed out twice.
TEST_F(CachedItemsTest, MisplacedFreesIntoPagesAreRefused) {
  for (std::size_t size : {16u, 120u, 1000u, 20000u}) {
    TnxMemoryPool* pool = items.poolForSize(size);
    char* p = static_cast<char*>(items.getMem(size));
    ASSERT_EQ(items.poolOfItem(p), pool);
    char* page = reinterpret_cast<char*>(addr(p) & ~std::uintptr_t(nxPageSize - 1));
    const std::uint32_t slot = pool->slotSize();
    std::vector<std::pair<const char*, char*>> bad = {
        {"inside the item", p + 8},
        {"half an item on", p + slot / 2},
        {"in the page header", page + 8},
        {"on the last header byte", page + pool->blockHeaderSize() - 8},
    };
    const std::size_t pastLast = pool->blockHeaderSize() + std::size_t(pool->itemsPerBlock()) * slot;
    if (pastLast + 16 <= nxPageSize) bad.push_back({"past the last item", page + pastLast});
    for (auto [what, q] : bad) {
      bool refused = false;
      try {
        refused = items.freeMem(q) != 0;
      } catch (const platform::InvalidPointer&) {
        refused = true;
      }
      EXPECT_TRUE(refused) << size << ": " << what;
    }
    std::vector<void*> got;
    for (int i = 0; i < 100; ++i) got.push_back(items.getMem(size));
    EXPECT_EQ(std::count(got.begin(), got.end(), static_cast<void*>(p)), 0) << size << ": a live item handed out";
    EXPECT_EQ(items.freeMem(p), 0) << size;
    for (void* g : got) ASSERT_EQ(items.freeMem(g), 0);
  }
  items.flushThreadCache();
  EXPECT_EQ(items.statistics().isInUse, 0);
}

// An ended thread's cached items wait for the next thread: they are counted
// as free meanwhile, a second free of one is refused, and the cleanup gives
// their pages back.
TEST_F(CachedItemsTest, ItemsOfAnEndedThreadServeTheNextOne) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "ItemsOfAnEndedThreadServeTheNextOne");
  std::vector<void*> freedByFirst, gotBySecond;
  std::thread([&] {
    for (int i = 0; i < 10; ++i) freedByFirst.push_back(items.getMem(100));
    for (void* p : freedByFirst) ASSERT_EQ(items.freeMem(p), 0);
  }).join();
  EXPECT_EQ(items.statistics().isInUse, 0);
  EXPECT_THROW(items.freeMem(freedByFirst[3]), platform::InvalidPointer) << "double free of a parked item";
  std::thread([&] {
    for (int i = 0; i < 10; ++i) gotBySecond.push_back(items.getMem(100));
  }).join();
  std::sort(freedByFirst.begin(), freedByFirst.end());
  std::sort(gotBySecond.begin(), gotBySecond.end());
  EXPECT_EQ(gotBySecond, freedByFirst) << "the second thread did not find the first one's items";
  EXPECT_EQ(items.statistics().isInUse, 10 * std::int64_t(items.poolForSize(100)->itemSize()));
  for (void* p : gotBySecond) EXPECT_EQ(items.freeMem(p), 0);
  items.flushThreadCache();
  // Parked by a third thread, then given back by the cleanup alone.
  std::thread([&] { items.freeMem(items.getMem(5000)); }).join();
  items.cleanup();
  items.cleanup();
  EXPECT_EQ(items.statistics().isCommitted, 0) << "pages pinned by parked items";
  // The periodic cleanup gives them back too, after a few ticks.
  std::thread([&] { items.freeMem(items.getMem(300)); }).join();
  for (int tick = 0; tick < 6; ++tick) items.cleanupTick();
  EXPECT_EQ(items.statistics().isCommitted, 0) << "parked items kept past their ticks";
}

// Waves of more threads than there are parking places: every thread's items
// are its own, double frees are refused, and nothing is lost.
TEST_F(CachedItemsTest, WavesOfShortLivedThreadsShareNoItem) {
  nxtest::Watchdog watchdog(std::chrono::seconds(120), "WavesOfShortLivedThreadsShareNoItem");
  constexpr int kThreads = 24;
  std::atomic<int> shared{0}, acceptedDouble{0};
  for (int wave = 0; wave < 6; ++wave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        const std::uint64_t me = std::uint64_t(wave * kThreads + t + 1);
        std::vector<std::pair<std::uint64_t*, std::size_t>> held;
        for (int round = 0; round < 300; ++round) {
          for (int k = 0; k < 16; ++k) {
            const std::size_t words = 2 + (round * 7 + k * 13 + t) % 60;
            auto* p = static_cast<std::uint64_t*>(items.getMem(words * 8));
            for (std::size_t i = 0; i < words; ++i) p[i] = me;
            held.emplace_back(p, words);
          }
          for (auto [p, words] : held) {
            for (std::size_t i = 1; i < words; ++i)
              if (p[i] != me) shared.fetch_add(1);
            items.freeMem(p);
          }
          try {
            items.freeMem(held[round % held.size()].first);
            acceptedDouble.fetch_add(1);
          } catch (const platform::InvalidPointer&) {
          }
          held.clear();
        }
        // Some items stay cached when the thread ends.
        items.freeMem(items.getMem(64 + t));
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(items.statistics().isInUse, 0) << "wave " << wave;
  }
  EXPECT_EQ(shared.load(), 0);
  EXPECT_EQ(acceptedDouble.load(), 0);
  items.flushThreadCache();
  items.cleanup();
  items.cleanup();
  EXPECT_EQ(items.statistics().isCommitted, 0);
}

namespace {
// The process's address space in bytes (first figure of /proc/self/statm).
std::size_t processAddressSpace() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * 4096;
}
}  // namespace

// With the arena full, a large request needs a map node it cannot get: the
// answer is nil, nothing stays reserved, and a block that fails to grow keeps
// its place, its registration and its contents.
TEST(ItemManager, ExhaustedArenaUndoesEveryStepOfALargeRequest) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "ExhaustedArenaUndoesEveryStepOfALargeRequest");
  TnxChunkManager chunks(8);
  TnxItemManager items(chunks);
  constexpr std::size_t kKept = 100000, kHuge = std::size_t(64) << 20;
  auto* kept = static_cast<std::uint32_t*>(items.getMem(kKept));
  ASSERT_NE(kept, nullptr);
  for (std::size_t i = 0; i < kKept / 4; ++i) kept[i] = std::uint32_t(i * 2654435761u);
  std::vector<void*> filler;
  for (std::size_t size : {30000, 2048})  // pages, then the last items of the map nodes' pool
    while (void* p = items.getMem(size)) {
      filler.push_back(p);
      ASSERT_LT(filler.size(), 100000u);
    }
  std::atomic<int> answered{0}, raised{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) try {
          if (items.getMem(kHuge)) answered.fetch_add(1);
        } catch (...) {
          raised.fetch_add(1);
        }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(answered.load(), 0);
  EXPECT_EQ(raised.load(), 0) << "exhaustion answers nil";
  // Measured after the threads: their stacks and heaps are not ours.
  const std::size_t before = processAddressSpace();
  for (int i = 0; i < 20; ++i) {
    void* p = nullptr;
    EXPECT_NO_THROW(p = items.getMem(kHuge));
    EXPECT_EQ(p, nullptr);
    EXPECT_NO_THROW(p = items.reallocMem(kept, kHuge));
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_LT(processAddressSpace(), before + kHuge) << "failed requests kept their reservations";
  ASSERT_NE(items.largeBlock(kept), nullptr) << "the block that failed to grow is still registered";
  EXPECT_EQ(items.largeBlock(kept)->lbSize, kKept);
  for (std::size_t i = 0; i < kKept / 4; ++i) ASSERT_EQ(kept[i], std::uint32_t(i * 2654435761u)) << i;
  for (void* p : filler) ASSERT_EQ(items.freeMem(p), 0);
  // With room again, the same growth succeeds and keeps the contents.
  auto* grown = static_cast<std::uint32_t*>(items.reallocMem(kept, 4 * kKept));
  ASSERT_NE(grown, nullptr);
  for (std::size_t i = 0; i < kKept / 4; i += 97) ASSERT_EQ(grown[i], std::uint32_t(i * 2654435761u)) << i;
  EXPECT_EQ(items.freeMem(grown), 0);
}

#include "nxmmChunkManager.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nxTestWatchdog.h"

using namespace nxmm;

namespace {
std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
}  // namespace

TEST(Bitmap1024, TakeLastReportsEmptyAndSetReportsWasEmpty) {
  TnxBitmap1024 b;
  bool wasEmpty = false;
  EXPECT_TRUE(b.set(5, &wasEmpty));
  EXPECT_TRUE(wasEmpty);
  EXPECT_TRUE(b.set(700, &wasEmpty));
  EXPECT_FALSE(wasEmpty);
  EXPECT_FALSE(b.set(700)) << "already set";
  EXPECT_EQ(b.findLast(), 700);
  EXPECT_EQ(b.findLast(700), 5);
  bool becameEmpty = true;
  EXPECT_EQ(b.takeLast(&becameEmpty), 700);
  EXPECT_FALSE(becameEmpty);
  EXPECT_EQ(b.takeLast(&becameEmpty), 5);
  EXPECT_TRUE(becameEmpty);
  EXPECT_EQ(b.takeLast(), -1);
  EXPECT_FALSE(b.toggle(1023));
  EXPECT_TRUE(b.toggle(1023));
  EXPECT_TRUE(b.isEmpty());
}

TEST(Bitmap1024, ConcurrentSetAndTakeLoseNothing) {
  nxtest::Watchdog watchdog;
  TnxBitmap1024 b;
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        for (int i = t; i < 1024; i += 64) b.set(i);
        for (int k = 0; k < 16; ++k) {
          if (b.takeLast() >= 0) taken.fetch_add(1);
        }
      }
    });
  for (auto& th : threads) th.join();
  while (b.takeLast() >= 0) taken.fetch_add(1);
  EXPECT_TRUE(b.isEmpty());
  EXPECT_EQ(b.bmNonEmpty.load(), 0u) << "summary agrees with the words once all changes landed";
  EXPECT_GT(taken.load(), 0);
}

TEST(ChunkManager, FirstBlocksComeFromTheTopOfTheHighestFreeChunk) {
  TnxChunkManager cm(16);  // chunks 11..15 form the reserve
  EXPECT_EQ(cm.reserveCount(), 5);
  void* b1 = cm.blockAlloc(cm.blockManager(nxbs4k));
  void* b2 = cm.blockAlloc(cm.blockManager(nxbs4k));
  ASSERT_TRUE(b1 && b2);
  EXPECT_EQ(cm.chunkIndex(b1), 10u);
  EXPECT_EQ(addr(b1), addr(cm.chunkAddress(10)) + nxChunkSize - 4096);
  EXPECT_EQ(addr(b2), addr(b1) - 4096);
  std::memset(b1, 0xAB, 4096);
  void* b3 = cm.blockAlloc(cm.blockManager(nxbs64k));
  EXPECT_EQ(cm.chunkIndex(b3), 9u) << "another size class takes its own chunk";
  EXPECT_EQ(addr(b3) % 65536, 0u);
}

TEST(ChunkManager, WholeChunkGoesToFreeCommittedAndComesBack) {
  TnxChunkManager cm(16);
  TnxBlockManager* m4 = cm.blockManager(nxbs4M);
  void* c = cm.blockAlloc(m4);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ((addr(c) - addr(cm.chunkAddress(0))) % nxChunkSize, 0u);
  EXPECT_TRUE(cm.blockDispose(m4, c));
  EXPECT_TRUE(cm.cmFreeCommitted.test(int(cm.chunkIndex(c))));
  EXPECT_FALSE(cm.blockDispose(m4, c)) << "double dispose";
  EXPECT_EQ(cm.blockAlloc(m4), c);
}

TEST(ChunkManager, DisposeRefusesWhatItDidNotHandOut) {
  TnxChunkManager cm(16);
  TnxBlockManager* m8 = cm.blockManager(nxbs8k);
  TnxBlockManager* m16 = cm.blockManager(nxbs16k);
  void* a = cm.blockAlloc(m8);
  void* other = cm.blockAlloc(m16);
  int local = 0;
  struct Case {
    const char* what;
    TnxBlockManager* manager;
    void* block;
  } cases[] = {
      {"inside a block", m8, static_cast<char*>(a) + 4096},
      {"another manager's chunk", m8, other},
      {"the wrong manager", m16, a},
      {"outside the arena", m8, &local},
      {"no manager", nullptr, a},
      {"a free block", m8, static_cast<char*>(a) - 8192},
  };
  for (const Case& c : cases) EXPECT_FALSE(cm.blockDispose(c.manager, c.block)) << c.what;
  EXPECT_TRUE(cm.blockDispose(m8, a));
  EXPECT_FALSE(cm.blockDispose(m8, a)) << "double free";
  EXPECT_FALSE(cm.mapableBlockFree(static_cast<char*>(other) + 100));
  EXPECT_TRUE(cm.mapableBlockFree(other));
}

TEST(ChunkManager, ExhaustionCallsBackThenDrawsTheReserve) {
  TnxChunkManager cm(16);
  static int calls;
  calls = 0;
  cm.setOutOfAddressSpaceCallback([](void*) { ++calls; }, nullptr);
  TnxBlockManager* m4 = cm.blockManager(nxbs4M);
  std::vector<void*> got;
  for (int i = 0; i < 10; ++i) got.push_back(cm.blockAlloc(m4));
  for (void* p : got) ASSERT_NE(p, nullptr);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(cm.isMemoryEmergency());
  void* drawn = cm.blockAlloc(m4);
  ASSERT_NE(drawn, nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(cm.isMemoryEmergency());
  EXPECT_EQ(cm.reserveCount(), 4);
  std::memset(drawn, 1, nxChunkSize);  // a drawn chunk is committed
  for (int i = 0; i < 4; ++i) ASSERT_NE(cm.blockAlloc(m4), nullptr);
  EXPECT_EQ(cm.blockAlloc(m4), nullptr) << "reserve exhausted";
  EXPECT_EQ(calls, 6);
  // Released chunks refill the reserve; the emergency lasts until it is full.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(cm.blockDispose(m4, got[std::size_t(i)]));
  EXPECT_TRUE(cm.isMemoryEmergency());
  EXPECT_EQ(cm.reserveCount(), 4);
  ASSERT_TRUE(cm.blockDispose(m4, got[4]));
  EXPECT_FALSE(cm.isMemoryEmergency());
  ASSERT_TRUE(cm.blockDispose(m4, got[5]));
  EXPECT_TRUE(cm.cmFreeCommitted.test(int(cm.chunkIndex(got[5]))));
}

TEST(ChunkManager, FailedChunksAreRetriedBeforeTheCallback) {
  TnxChunkManager cm(16);
  static int calls;
  calls = 0;
  cm.setOutOfAddressSpaceCallback([](void*) { ++calls; }, nullptr);
  cm.cmAvailable.moveAllTo(cm.cmFailed);
  EXPECT_TRUE(cm.cmAvailable.isEmpty());
  EXPECT_NE(cm.chunkGetCommitted(), nullptr);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(cm.isMemoryEmergency());
}

TEST(ChunkManager, CleanupReleasesAFullyFreeChunk) {
  TnxChunkManager cm(16);
  TnxBlockManager* m = cm.blockManager(nxbs32k);
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(cm.blockAlloc(m));
  const std::uint32_t c = cm.chunkIndex(blocks[0]);
  for (std::size_t i = 1; i < blocks.size(); ++i) cm.blockDispose(m, blocks[i]);
  cm.blockManagerCleanup();
  EXPECT_EQ(cm.chunkRecord(c).crOwner.load(), m) << "a chunk with a used block stays";
  cm.blockDispose(m, blocks[0]);
  cm.blockManagerCleanup();
  EXPECT_EQ(cm.chunkRecord(c).crOwner.load(), nullptr);
  EXPECT_TRUE(cm.cmFreeCommitted.test(int(c)));
  EXPECT_FALSE(m->bmChunksWithFree.test(int(c)));
  cm.chunkTrim();
  EXPECT_TRUE(cm.cmAvailable.test(int(c)));
  // The chunk serves again after the trim.
  void* again = cm.blockAlloc(cm.blockManager(nxbs4k));
  EXPECT_EQ(cm.chunkIndex(again), c);
  std::memset(again, 0x5A, 4096);
}

TEST(ChunkManager, ConcurrentBlocksAreExclusiveWhileTheCleanupRuns) {
  nxtest::Watchdog watchdog;
  TnxChunkManager cm(64);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread cleaner([&] {
    while (!stop.load()) {
      cm.blockManagerCleanup();
      cm.chunkTrim();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      TnxBlockManager* m = cm.blockManager(TnxBlockSizeAll(t % 3));
      std::vector<std::uint64_t*> mine;
      for (int round = 0; round < 3000; ++round) {
        auto* b = static_cast<std::uint64_t*>(cm.blockAlloc(m));
        if (!b) continue;
        b[0] = std::uint64_t(t) << 32 | std::uint32_t(round);
        mine.push_back(b);
        if (mine.size() > 40 || round % 7 == 0) {
          std::uint64_t* old = mine.front();
          mine.erase(mine.begin());
          if ((old[0] >> 32) != std::uint64_t(t)) bad.fetch_add(1);
          if (!cm.blockDispose(m, old)) bad.fetch_add(1);
        }
      }
      for (auto* b : mine)
        if (!cm.blockDispose(m, b)) bad.fetch_add(1);
    });
  for (auto& th : threads) th.join();
  stop = true;
  cleaner.join();
  EXPECT_EQ(bad.load(), 0);
  cm.blockManagerCleanup();
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(cm.blockManager(TnxBlockSizeAll(c))->bmChunksWithFree.isEmpty());
}

// Blocks of one size allocated and disposed on many threads with a bounded
// number live, while a cleaner runs: a chunk that drops out of its manager's
// set of chunks with free blocks is never used again, so the arena fills up.
// Afterwards every chunk is either a member with free blocks or released.
TEST(ChunkManager, ChunksWithFreeBlocksSurviveEightThreads) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "ChunksWithFreeBlocksSurviveEightThreads");
  constexpr int kThreads = 8;
  constexpr std::size_t kLivePerThread = 64;  // 8 x 64 x 64 KB = 32 MB live at most
  for (TnxBlockSizeAll cls : {nxbs64k, nxbs4k}) {
    TnxChunkManager cm(64);
    TnxBlockManager* m = cm.blockManager(cls);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, exhausted{0};
    std::thread cleaner([&] {
      while (!stop.load()) {
        cm.blockManagerCleanup();
        cm.chunkTrim();
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> threads;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        std::vector<void*> live;
        std::uint32_t rng = 2463534242u + std::uint32_t(t);
        while (std::chrono::steady_clock::now() < end && exhausted.load() == 0) {
          for (int i = 0; i < 256; ++i) {
            rng ^= rng << 13;
            rng ^= rng >> 17;
            rng ^= rng << 5;
            if (live.size() < kLivePerThread && (rng & 1)) {
              void* b = cm.blockAlloc(m);
              if (!b) {
                exhausted.fetch_add(1);
                break;
              }
              live.push_back(b);
            } else if (!live.empty()) {
              const std::size_t k = rng % live.size();
              if (!cm.blockDispose(m, live[k])) failures.fetch_add(1);
              live[k] = live.back();
              live.pop_back();
            }
          }
        }
        for (void* b : live)
          if (!cm.blockDispose(m, b)) failures.fetch_add(1);
      });
    for (auto& th : threads) th.join();
    stop = true;
    cleaner.join();
    EXPECT_EQ(exhausted.load(), 0) << "class " << int(cls) << ": the arena ran out with 32 MB live";
    EXPECT_EQ(failures.load(), 0);
    cm.blockManagerCleanup();
    int owned = 0;
    for (std::uint32_t c = 1; c < cm.chunkCount(); ++c) {
      const bool member = m->bmChunksWithFree.test(int(c));
      if (cm.chunkRecord(c).crOwner.load() == m) {
        ++owned;
        EXPECT_TRUE(member) << "chunk " << c << " owned but not in the set";
      } else {
        EXPECT_FALSE(member) << "chunk " << c << " in the set but not owned";
      }
    }
    EXPECT_EQ(owned, 0) << "every block was freed, so the cleanup released every chunk";
  }
}

#include "nxllMemoryManager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plErrors.h"
#include "plOs.h"
#include "nxTestWatchdog.h"

namespace {
std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
}  // namespace

TEST(MemoryManagerSection, NameCarriesTheProcessIdLeastSignificantByteFirst) {
  EXPECT_EQ(nxMemoryManagerSectionName(0x12345678), "__VadurMM6__78563412");
  EXPECT_EQ(nxMemoryManagerSectionName(0x00001A2B), "__VadurMM6__2B1A0000");
  EXPECT_NE(nxMemoryManagerSectionName(platform::currentProcessId()), nxMemoryManagerSectionName(platform::currentProcessId() + 1));
}

TEST(MemoryManagerSection, ModulesOfOneProcessShareOneTable) {
  TnxMemoryManagerModule first, second;
  first.attach(platform::currentProcessId());
  second.attach(platform::currentProcessId());
  EXPECT_EQ(first.table().GetMem, second.table().GetMem);
  EXPECT_EQ(first.table().CommittedBlockPools[nxbs4k], second.table().CommittedBlockPools[nxbs4k]);
  void* p = first.table().GetMem(100);
  EXPECT_EQ(second.table().FreeMem(p), 0) << "one allocator behind both";
  second.detach();
  first.detach();
}

TEST(MemoryManagerSection, JoinerWaitsForTheReadyFlag) {
  nxtest::Watchdog watchdog;
  const std::uint32_t fakePid = 0x7FFF1234;
  const std::string name = nxMemoryManagerSectionName(fakePid);
  bool created = false;
  TnxMemoryManagerSection* section = nxOpenMemoryManagerSection(name, created);
  ASSERT_TRUE(created);
  static TnxMemoryManagerTable published{};
  published.GetPool = [](std::size_t aSize) -> TnxMemoryPoolHandle { return aSize + 1; };
  std::thread creator([section] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    section->msTable.store(&published);
    section->msReady.exchange(1);
  });
  TnxMemoryManagerModule joiner;
  const auto start = std::chrono::steady_clock::now();
  joiner.attach(fakePid);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_EQ(joiner.table().GetPool(7), 8u) << "the complete table";
  creator.join();
  joiner.detach();
  nxCloseMemoryManagerSection(name);
}

TEST(MemoryEntryPoints, ZeroSizesAndNilsDoNothing) {
  EXPECT_EQ(nxGetMem(0), nullptr);
  void* p = reinterpret_cast<void*>(1);
  nxGetMem(p, 0);
  EXPECT_EQ(p, nullptr);
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);
  nxReallocMem(p, 10);
  ASSERT_NE(p, nullptr);
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr) << "reallocating to 0 frees";
  nxFreeMem(nullptr);
  nxFreeMemAndNil(p);
  nxGetPool(24).DisposeDirect(nullptr);
}

TEST(MemoryEntryPoints, AllocMemZeroesEverySize) {
  for (std::size_t size : {std::size_t(1), std::size_t(3), std::size_t(5), std::size_t(63), std::size_t(1001),
                           std::size_t(32735), std::size_t(70001)}) {
    auto* dirty = static_cast<unsigned char*>(nxGetMem(size));
    std::memset(dirty, 0xFF, size);
    nxFreeMem(dirty);
    auto* p = static_cast<unsigned char*>(nxAllocMem(size));
    for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << size << " at " << i;
    nxFreeMem(p);
  }
}

TEST(MemoryEntryPoints, ReallocKeepsContentsAcrossKinds) {
  void* p = nxGetMem(10);
  std::memcpy(p, "abcdefghi", 10);
  for (std::size_t size : {std::size_t(100), std::size_t(5000), std::size_t(100000), std::size_t(3000000), std::size_t(20)}) {
    nxReallocMem(p, size);
    ASSERT_EQ(std::memcmp(p, "abcdefghi", 10), 0) << size;
  }
  nxFreeMemAndNil(p);
  EXPECT_EQ(p, nullptr);
}

TEST(MemoryEntryPoints, PoolsAndBlocks) {
  TnxMemoryPool pool = nxGetPool(21);
  EXPECT_EQ(pool.mpHandle, 24u);
  void* item = pool.Alloc();
  std::memset(item, 1, 21);
  pool.Dispose(item);
  EXPECT_EQ(item, nullptr);
  for (int c = 0; c < 6; ++c) {
    const std::size_t size = c == 5 ? (4u << 20) : (4096u << c);
    void* block = nxBlockPoolCommittedAlloc(nxCommittedBlockPools(TnxBlockSizeAll(c)));
    EXPECT_EQ(addr(block) % size, 0u) << c;
    std::memset(block, 0x33, size);
    nxBlockPoolCommittedDispose(nxCommittedBlockPools(TnxBlockSizeAll(c)), block);
    EXPECT_EQ(block, nullptr);
  }
  const TnxMapableBlockHandle h = nxMapableBlockAlloc(nxbs8k);
  void* view = nxMapableBlockMap(h);
  EXPECT_EQ(addr(view), h);
  std::memset(view, 2, 8192);
  nxMapableBlockUnmap(h, view);
  nxMapableBlockFree(h);
  static TnxMapableBlockHandle batch[256];
  nxMapableBlockAllocBatch(nxbs4k, batch);
  for (TnxMapableBlockHandle b : batch) {
    ASSERT_NE(b, 0u);
    nxMapableBlockFree(b);
  }
  EXPECT_FALSE(nxIsAweAvailable());
  EXPECT_FALSE(nxIsAweActive());
  EXPECT_FALSE(nxGetForceAllocated());
  EXPECT_FALSE(nxIsMemoryEmergency());
  EXPECT_THROW(nxMapableBlockMapBatch(batch), platform::OutOfMemory) << "the standard allocator has no batch view";
  auto* zeros = static_cast<const unsigned char*>(nxZeroBlock());
  for (std::size_t i = 0; i < 65536; i += 511) ASSERT_EQ(zeros[i], 0);
  nxRequestMemoryCleanup();
}

#if !NX_SYSTEM_HEAP
TEST(MemoryEntryPoints, ForeignAndDoubleFreesRaiseInvalidPointer) {
  int local = 0;
  EXPECT_THROW(nxFreeMem(&local), platform::InvalidPointer);
  void* p = nxGetMem(40);
  void* copy = p;
  nxFreeMemAndNil(p);
  EXPECT_THROW(nxFreeMem(copy), platform::InvalidPointer) << "a second free of a cached item";
  void* tiny = nxGetMem(3);
  nxFreeMem(tiny);
  EXPECT_THROW(nxFreeMem(tiny), platform::InvalidPointer) << "the same for a 4-byte item";
  void* mid = nxGetMem(100);
  EXPECT_THROW(nxFreeMem(static_cast<char*>(mid) + 16), platform::InvalidPointer) << "inside an item";
  nxFreeMem(mid);
  void* block = nxBlockPoolCommittedAlloc(nxCommittedBlockPools(nxbs16k));
  void* wrong = block;
  EXPECT_THROW(nxBlockPoolCommittedDispose(nxCommittedBlockPools(nxbs8k), wrong), platform::InvalidPointer);
  EXPECT_EQ(wrong, nullptr) << "the variable is cleared first";
  nxBlockPoolCommittedDispose(nxCommittedBlockPools(nxbs16k), block);
  EXPECT_THROW(nxMapableBlockFree(TnxMapableBlockHandle(12345)), platform::InvalidPointer);
  EXPECT_THROW(nxMapableBlockUnmap(TnxMapableBlockHandle(4096), &local), platform::InvalidPointer);
}

TEST(MemoryEntryPoints, SecondFreeOfAnItemBackInItsPageRaisesInvalidPointer) {
  nxRequestMemoryCleanup();  // this thread's cache starts empty
  // More items than the cache holds: the later frees go straight to the pages.
  std::vector<char*> keep, freed;
  std::vector<std::uintptr_t> pages;
  for (int i = 0; i < 60; ++i) {
    auto* p = static_cast<char*>(nxGetMem(3000));
    std::memset(p, 0x5A, 3000);
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(p) >> 16;
    if (std::find(pages.begin(), pages.end(), page) == pages.end()) {
      pages.push_back(page);
      keep.push_back(p);  // keeps its page from being given back
    } else {
      freed.push_back(p);
    }
  }
  for (char* p : freed) nxFreeMem(p);
  nxRequestMemoryCleanup();  // the cached ones go back to their pages too
  for (char* p : freed) EXPECT_THROW(nxFreeMem(p), platform::InvalidPointer);
  // None was taken in twice: every item is handed out once.
  std::vector<void*> again;
  for (std::size_t i = 0; i < freed.size(); ++i) again.push_back(nxGetMem(3000));
  std::sort(again.begin(), again.end());
  EXPECT_EQ(std::unique(again.begin(), again.end()), again.end());
  for (void* p : again) nxFreeMem(p);
  for (char* p : keep) nxFreeMem(p);
}
#endif

#if !NX_SYSTEM_HEAP
// In a fresh process: the last detach shuts the allocator down and joins its
// cleanup thread.
TEST(MemoryManagerLifecycleDeathTest, LastDetachShutsDownTheAllocator) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nxMemoryManagerAttach();
        TnxMemoryManagerImpl* mm = nxStandardMemoryManager();
        if (!mm || !mm->cleanupThreadRunning()) std::exit(2);
        nxFreeMem(nxGetMem(10));
        TnxMemoryManagerModule other;
        other.attach(platform::currentProcessId());
        nxMemoryManagerDetach();
        if (nxStandardMemoryManager() != mm) std::exit(3);  // another module still uses it
        other.detach();
        std::exit(nxStandardMemoryManager() == nullptr ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

// Eight threads allocate random sizes, hand blocks to each other to free,
// reallocate and check fill patterns; at the end nothing is in use.
TEST(MemoryStress, EightThreadsRandomSizesCrossThreadFrees) {
  nxtest::Watchdog watchdog;
#if !NX_SYSTEM_HEAP
  nxMemoryManagerAttach();
  nxRequestMemoryCleanup();  // empties this thread's cache
  TnxMemoryStatistics before{};
  nxStandardMemoryManager()->statistics(before);
#endif
  constexpr int kThreads = 8;
  struct Box {
    std::mutex lock;
    std::vector<std::pair<unsigned char*, std::size_t>> items;
  };
  Box boxes[kThreads];
  std::atomic<int> corrupt{0};
  const auto start = std::chrono::steady_clock::now();
  auto fill = [](unsigned char* p, std::size_t n) {
    const unsigned char tag = static_cast<unsigned char>(n * 31 + 7);
    p[0] = tag;
    p[n - 1] = tag;
    for (std::size_t i = 1; i < n - 1; i += 4093) p[i] = tag;
  };
  auto check = [](const unsigned char* p, std::size_t n) {
    const unsigned char tag = static_cast<unsigned char>(n * 31 + 7);
    if (p[0] != tag || p[n - 1] != tag) return false;
    for (std::size_t i = 1; i < n - 1; i += 4093)
      if (p[i] != tag) return false;
    return true;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937_64 rng{std::uint64_t(t) * 7919 + 1};
      std::vector<std::pair<unsigned char*, std::size_t>> mine;
      auto randomSize = [&] {
        // Mostly small, some up to 1 MB.
        const unsigned r = unsigned(rng() % 100);
        if (r < 70) return std::size_t(1 + rng() % 256);
        if (r < 95) return std::size_t(1 + rng() % 32768);
        return std::size_t(1 + rng() % (1u << 20));
      };
      while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500)) {
        const unsigned op = unsigned(rng() % 10);
        if (op < 5 || mine.empty()) {
          const std::size_t n = randomSize();
          auto* p = static_cast<unsigned char*>(nxGetMem(n));
          fill(p, n);
          mine.emplace_back(p, n);
        } else if (op < 7) {
          auto& e = mine[rng() % mine.size()];
          if (!check(e.first, e.second)) corrupt.fetch_add(1);
          const std::size_t n = randomSize();
          void* p = e.first;
          nxReallocMem(p, n);
          auto* q = static_cast<unsigned char*>(p);
          const std::size_t keep = std::min(n, e.second);
          if (q[0] != static_cast<unsigned char>(e.second * 31 + 7) || (keep == e.second && !check(q, keep)))
            corrupt.fetch_add(1);
          fill(q, n);
          e = {q, n};
        } else {
          // Hand one to another thread, which frees it.
          const std::size_t k = rng() % mine.size();
          Box& box = boxes[(t + 1 + int(rng() % (kThreads - 1))) % kThreads];
          std::lock_guard<std::mutex> guard(box.lock);
          box.items.push_back(mine[k]);
          mine[k] = mine.back();
          mine.pop_back();
        }
        if (mine.size() > 64) {
          auto e = mine.back();
          mine.pop_back();
          if (!check(e.first, e.second)) corrupt.fetch_add(1);
          nxFreeMem(e.first);
        }
        std::vector<std::pair<unsigned char*, std::size_t>> given;
        {
          std::lock_guard<std::mutex> guard(boxes[t].lock);
          given.swap(boxes[t].items);
        }
        for (auto& e : given) {
          if (!check(e.first, e.second)) corrupt.fetch_add(1);
          nxFreeMem(e.first);
        }
      }
      for (auto& e : mine) {
        if (!check(e.first, e.second)) corrupt.fetch_add(1);
        nxFreeMem(e.first);
      }
    });
  for (auto& th : threads) th.join();
  for (Box& box : boxes)
    for (auto& e : box.items) {
      if (!check(e.first, e.second)) corrupt.fetch_add(1);
      nxFreeMem(e.first);
    }
  EXPECT_EQ(corrupt.load(), 0);
#if !NX_SYSTEM_HEAP
  nxRequestMemoryCleanup();
  TnxMemoryStatistics after{};
  nxStandardMemoryManager()->statistics(after);
  EXPECT_EQ(after.msInUse, before.msInUse) << "nothing leaked";
  EXPECT_LE(after.msAddressSpace, before.msAddressSpace + (1 << 20)) << "the cleanup gave the pages back";
#endif
}

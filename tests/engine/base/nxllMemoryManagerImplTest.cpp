#include "nxllMemoryManagerImpl.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nxTestWatchdog.h"
#include "plSync.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point aStart) {
  return std::chrono::duration<double>(Clock::now() - aStart).count();
}

}  // namespace

TEST(CleanupThread, TicksReleaseIdlePagesAndStopJoins) {
  TnxMemoryManagerImpl mm(32);
  std::vector<void*> got;
  for (int i = 0; i < 500; ++i) got.push_back(mm.getMem(500));
  for (void* p : got) mm.freeMem(p);
  EXPECT_GT(mm.items().statistics().isAddressSpace, 0);
  mm.startCleanupThread(1);
  const auto start = Clock::now();
  while (mm.items().statistics().isAddressSpace != 0 && secondsSince(start) < 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(mm.items().statistics().isAddressSpace, 0);
  EXPECT_TRUE(mm.cleanupThreadRunning());
  mm.stopCleanupThread();
  EXPECT_FALSE(mm.cleanupThreadRunning());
  const auto before = Clock::now();
  mm.requestCleanup();
  EXPECT_LT(secondsSince(before), 1.0) << "no thread: no wait";
}

namespace {

// A clock the test advances: every tick() lets the thread run one tick.
class ManualClock : public TnxCleanupClock {
 public:
  void waitTick(platform::Event& aWake, std::uint32_t) override {
    mcWake.store(&aWake);
    aWake.wait();
  }
  // Runs one tick and waits until the thread has finished it.
  void tick(const TnxMemoryManagerImpl& aManager) {
    const auto start = Clock::now();
    while (!mcWake.load() && secondsSince(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint32_t before = aManager.cleanupTicks();
    mcWake.load()->set();
    while (aManager.cleanupTicks() == before && secondsSince(start) < 5)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

 private:
  std::atomic<platform::Event*> mcWake{nullptr};
};

}  // namespace

// Pools every tick; block managers on the second and fourth of each round of
// five; the trim on the fifth.
TEST(CleanupThread, ADrivenClockShowsTheStageRotation) {
  nxtest::Watchdog watchdog(std::chrono::seconds(30), "ADrivenClockShowsTheStageRotation");
  ManualClock clock;
  TnxMemoryManagerImpl mm(32);
  mm.startCleanupThread(60000, &clock);
  void* block = mm.blockPoolCommittedAlloc(mm.committedBlockPool(nxbs16k));
  const int chunk = int(mm.chunks().chunkIndex(block));
  ASSERT_TRUE(mm.blockPoolCommittedDispose(mm.committedBlockPool(nxbs16k), block));
  struct Expect {
    bool owned, idle, trimmed;
  } after[] = {
      {true, false, false},   // stage 0: pools only
      {false, true, false},   // 1: block managers: the chunk is idle
      {false, true, false},   // 2
      {false, true, false},   // 3
      {false, true, false},   // 4
      {false, false, true},   // 5: the trim
  };
  for (const Expect& e : after) {
    clock.tick(mm);
    const std::uint32_t tick = mm.cleanupTicks();
    EXPECT_EQ(mm.chunks().chunkRecord(std::uint32_t(chunk)).crOwner.load() != nullptr, e.owned) << "tick " << tick;
    EXPECT_EQ(mm.chunks().cmFreeCommitted.test(chunk), e.idle) << "tick " << tick;
    EXPECT_EQ(mm.chunks().cmAvailable.test(chunk), e.trimmed) << "tick " << tick;
  }
  EXPECT_EQ(mm.cleanupTicks(), 6u);
  mm.stopCleanupThread();
  EXPECT_FALSE(mm.cleanupThreadRunning());
}

// A child of fork() has no cleanup thread of its parent: it starts its own on
// first need, its requests are served by it, and its shutdown does not hang
// on a lock the parent's thread held at the fork.
TEST(CleanupThread, ForkedChildRunsItsOwnThreadAndShutsDown) {
#if NX_SANITIZE
  // This compiler's sanitizer runtime does not hold its own allocator's locks
  // across fork(): a thread the child starts may wait forever on one that a
  // parent thread held (seen as a hang inside the sanitizer's allocator).
  GTEST_SKIP() << "fork with threads in the child is not safe under the sanitizer runtime";
#endif
  nxtest::Watchdog watchdog(std::chrono::seconds(60), "ForkedChildRunsItsOwnThreadAndShutsDown");
  for (int round = 0; round < 8; ++round) {
    auto* mm = new TnxMemoryManagerImpl(32);
    mm->startCleanupThread(1);  // busy, so its lock and events are in use at the fork
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int code = 0;
      if (mm->cleanupThreadRunning()) code = 10;  // the parent's thread is not here
      void* chunk = mm->blockPoolCommittedAlloc(mm->committedBlockPool(nxbs4M));
      if (!chunk) code = 11;
      if (!mm->cleanupThreadRunning()) code = 12;  // started when the chunk was taken
      mm->blockPoolCommittedDispose(mm->committedBlockPool(nxbs4M), chunk);
      const auto start = Clock::now();
      mm->requestCleanup();
      if (secondsSince(start) > 5) code = 13;
      if (!mm->chunks().cmFreeCommitted.isEmpty()) code = 14;  // trimmed by the child's thread
      delete mm;
      _exit(code);
    }
    int status = 0;
    const auto start = Clock::now();
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && secondsSince(start) < 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "round " << round << ": the child hung";
    } else {
      ASSERT_TRUE(WIFEXITED(status)) << "round " << round;
      EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
    }
    mm->requestCleanup();
    EXPECT_TRUE(mm->cleanupThreadRunning()) << "the parent keeps its thread";
    delete mm;
  }
}

TEST(CleanupThread, RequestRunsTheFullCascadeAndWaitsForIt) {
  TnxMemoryManagerImpl mm(32);
  mm.startCleanupThread(60000);  // no tick during the test
  void* block = mm.blockPoolCommittedAlloc(mm.committedBlockPool(nxbs16k));
  const std::uint32_t chunk = mm.chunks().chunkIndex(block);
  ASSERT_TRUE(mm.blockPoolCommittedDispose(mm.committedBlockPool(nxbs16k), block));
  mm.requestCleanup();
  EXPECT_TRUE(mm.chunks().cmAvailable.test(int(chunk))) << "released and trimmed";
  EXPECT_GE(mm.cleanupTicks(), 1u);
}

TEST(CleanupThread, EleventhFailureEndsTheThreadAndRequestsStillReturn) {
  TnxMemoryManagerImpl mm(16);
  mm.setTickProbe([](void*) { throw std::runtime_error("probe"); }, nullptr);
  mm.startCleanupThread(1);
  const auto start = Clock::now();
  while (mm.cleanupThreadRunning() && secondsSince(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(mm.cleanupThreadRunning());
  EXPECT_EQ(mm.cleanupErrors(), 11u);
  const auto before = Clock::now();
  mm.requestCleanup();
  EXPECT_LT(secondsSince(before), 1.0);
  EXPECT_NE(mm.getMem(100), nullptr) << "allocation works without the thread";
  mm.stopCleanupThread();
}

// Threads keep the small arena near exhaustion while the cleanup thread gives
// memory back every millisecond: every allocation must answer (a block or nil)
// and no block may be handed out twice.
TEST(CleanupThread, AllocationsNeverWaitForeverOnMemoryInTransit) {
  nxtest::Watchdog watchdog;
  TnxMemoryManagerImpl mm(24);
  mm.freeMem(mm.getMem(1u << 20));  // the large-block map's nodes stay
  const nxmm::TnxItemStatistics baseline = mm.items().statistics();
  mm.startCleanupThread(1);
  std::atomic<int> corrupt{0};
  std::atomic<long> answered{0}, refused{0};
  const auto start = Clock::now();
  struct Held {
    std::uint32_t* p;
    std::size_t size;
    int kind;  // 0 item or large block, 1 64 KB block, 2 whole chunk
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng{unsigned(t)};
      std::vector<Held> mine;
      while (secondsSince(start) < 1.5) {
        const std::size_t sizes[] = {24, 3000, 30000, 200000, 65536, 4u << 20};
        const int pick = int(rng() % 6);
        Held h{nullptr, sizes[pick], pick == 4 ? 1 : pick == 5 ? 2 : 0};
        if (h.kind == 0)
          h.p = static_cast<std::uint32_t*>(mm.getMem(h.size));
        else
          h.p = static_cast<std::uint32_t*>(mm.blockPoolCommittedAlloc(mm.committedBlockPool(h.kind == 1 ? nxbs64k : nxbs4M)));
        answered.fetch_add(1);
        if (h.p) {
          h.p[0] = std::uint32_t(t);
          h.p[h.size / 4 - 1] = std::uint32_t(h.size);
          mine.push_back(h);
        } else {
          refused.fetch_add(1);
        }
        if (mine.size() > 12 || (!h.p && !mine.empty())) {
          const std::size_t k = rng() % mine.size();
          const Held q = mine[k];
          if (q.p[0] != std::uint32_t(t) || q.p[q.size / 4 - 1] != std::uint32_t(q.size)) corrupt.fetch_add(1);
          const bool ok = q.kind == 0 ? mm.freeMem(q.p) == 0
                                      : mm.blockPoolCommittedDispose(mm.committedBlockPool(q.kind == 1 ? nxbs64k : nxbs4M), q.p);
          if (!ok) corrupt.fetch_add(1);
          mine.erase(mine.begin() + std::ptrdiff_t(k));
        }
      }
      for (const Held& q : mine) {
        if (q.kind == 0)
          mm.freeMem(q.p);
        else
          mm.blockPoolCommittedDispose(mm.committedBlockPool(q.kind == 1 ? nxbs64k : nxbs4M), q.p);
      }
    });
  for (auto& th : threads) th.join();
  mm.stopCleanupThread();
  EXPECT_EQ(corrupt.load(), 0);
  EXPECT_GT(answered.load(), 1000);
  EXPECT_GT(refused.load(), 0) << "the arena was exhausted at times";
  mm.items().cleanup();
  mm.items().cleanup();
  EXPECT_EQ(mm.items().statistics().isAddressSpace, baseline.isAddressSpace) << "every page and large block came back";
  EXPECT_EQ(mm.items().statistics().isInUse, 0);
  mm.cleanupCascade();
  EXPECT_EQ(mm.chunks().cmAvailable.count() + mm.chunks().reserveCount() + mm.chunks().cmFreeCommitted.count(), 22)
      << "every chunk is back but the one holding the map's page";
}

// ---------------------------------------------------------------- hook

namespace {

std::vector<std::size_t> gAsked;
void* fakeGetMem(std::size_t aSize) {
  gAsked.push_back(aSize);
  static char buffer[256];
  return buffer;
}
std::int32_t fakeFreeMem(void*) { return 0; }

void doubleSize(std::size_t* aSize) { *aSize *= 2; }
void noop1(void*) {}
template <class... A>
void noop(A...) {}

void* lookupIn(void* aMap, const char* aName) {
  auto& m = *static_cast<std::map<std::string, void*>*>(aMap);
  auto it = m.find(aName);
  return it == m.end() ? nullptr : it->second;
}

std::map<std::string, void*> fullHook() {
  std::map<std::string, void*> m;
  for (const char* name : nxMemoryManagerHookExports) m[name] = reinterpret_cast<void*>(&noop1);
  m["BeforeGetMem"] = reinterpret_cast<void*>(&doubleSize);
  m["AfterGetMem"] = reinterpret_cast<void*>(&noop<std::size_t, void**>);
  m["BeforeFreeMem"] = reinterpret_cast<void*>(&noop<void**>);
  return m;
}

}  // namespace

TEST(MemoryManagerHook, WrapsGetMemWhenAllSixteenExportsExist) {
  auto exports = fullHook();
  TnxMemoryManagerHook hook{};
  ASSERT_TRUE(nxResolveMemoryManagerHook(lookupIn, &exports, hook));
  TnxMemoryManagerTable table{};
  table.GetMem = fakeGetMem;
  table.FreeMem = fakeFreeMem;
  nxApplyMemoryManagerHook(table, hook);
  gAsked.clear();
  EXPECT_NE(table.GetMem(10), nullptr);
  ASSERT_EQ(gAsked.size(), 1u);
  EXPECT_EQ(gAsked[0], 20u);
  EXPECT_EQ(table.WipeOnFree, nullptr);

  exports.erase("BeforeMemoryPoolDispose");
  TnxMemoryManagerHook partial{};
  EXPECT_FALSE(nxResolveMemoryManagerHook(lookupIn, &exports, partial)) << "15 of 16 exports: no hook";
  EXPECT_EQ(partial.BeforeGetMem, nullptr);
}

TEST(MemoryManagerHook, AbsentModuleMeansNoHook) {
  TnxMemoryManagerHook hook{};
  EXPECT_FALSE(nxFindMemoryManagerHook(hook));
  EXPECT_EQ(nxSafeLoadLibrary("/nonexistent/x_VadurMM5Hook.so", 0x8000), nullptr);
}

#include "plSync.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using platform::CriticalSection;
using platform::Event;
using platform::WaitResult;

namespace {

// Bounded wait until aCondition holds (2 s at most).
template <class F>
bool eventually(F aCondition) {
  for (int i = 0; i < 2000; ++i) {
    if (aCondition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aCondition();
}

}  // namespace

TEST(PlatformSync, CriticalSectionIsReentrantAndExclusive) {
  nxtest::Watchdog watchdog;
  for (std::uint32_t spin : {0u, 4000u}) {
    CriticalSection cs(spin);
    cs.enter();
    ASSERT_TRUE(cs.tryEnter());  // re-entry by the owner
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = cs.tryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
    cs.leave();
    std::thread([&] { otherGotIt = cs.tryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);  // still held once
    cs.leave();
    std::thread([&] {
      otherGotIt = cs.tryEnter();
      if (otherGotIt) cs.leave();
    }).join();
    EXPECT_TRUE(otherGotIt);
  }
}

TEST(PlatformSync, CriticalSectionCountsUnderContention) {
  nxtest::Watchdog watchdog;
  CriticalSection cs(100);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard guard(cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(PlatformSync, AutoResetEventKeepsOneSignalForTheNextWaiter) {
  Event e(Event::Kind::autoReset);
  EXPECT_EQ(e.wait(0), WaitResult::timeout);
  e.set();
  e.set();  // already set: still one signal
  EXPECT_EQ(e.wait(0), WaitResult::signaled);
  EXPECT_EQ(e.wait(0), WaitResult::timeout);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(e.wait(30), WaitResult::timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(29));
}

TEST(PlatformSync, AutoResetEventReleasesOneWaiterPerSet) {
  nxtest::Watchdog watchdog;
  Event e(Event::Kind::autoReset);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      if (e.wait(5000) == WaitResult::signaled) ++released;
    });
  ASSERT_TRUE(eventually([&] { return e.waitingThreads() == 3; }));
  e.set();
  e.set();  // back to back: two waiters, neither has run yet
  ASSERT_TRUE(eventually([&] { return released == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(e.isSet());
  e.set();
  for (auto& t : threads) t.join();
  EXPECT_EQ(released, 3);
  EXPECT_FALSE(e.isSet());  // consumed by the last waiter
}

TEST(PlatformSync, ManualResetEventReleasesEveryWaiterEvenWhenResetAtOnce) {
  nxtest::Watchdog watchdog;
  Event e(Event::Kind::manualReset);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      if (e.wait(5000) == WaitResult::signaled) ++released;
    });
  ASSERT_TRUE(eventually([&] { return e.waitingThreads() == 4; }));
  e.set();
  e.reset();
  for (auto& t : threads) t.join();
  EXPECT_EQ(released, 4);
  EXPECT_EQ(e.wait(0), WaitResult::timeout);
  e.set();
  EXPECT_EQ(e.wait(0), WaitResult::signaled);
  EXPECT_EQ(e.wait(0), WaitResult::signaled);  // stays set
}

#include "plOs.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

TEST(PlatformOs, ThreadIdsDifferAcrossLiveThreads) {
  nxtest::Watchdog watchdog;
  std::vector<std::uint32_t> ids(4);
  std::vector<std::thread> threads;
  for (auto& id : ids) threads.emplace_back([&id] { id = platform::currentThreadId(); });
  for (auto& t : threads) t.join();
  std::set<std::uint32_t> distinct(ids.begin(), ids.end());
  distinct.insert(platform::currentThreadId());
  EXPECT_EQ(distinct.size(), 5u);
}

TEST(PlatformOs, OnlyTheFirstThreadIsTheMainThread) {
  nxtest::Watchdog watchdog;
  EXPECT_TRUE(platform::isMainThread());
  bool otherIsMain = true;
  std::thread([&otherIsMain] { otherIsMain = platform::isMainThread(); }).join();
  EXPECT_FALSE(otherIsMain);
}

TEST(PlatformOs, TicksAdvanceWithSleep) {
  const auto t0 = platform::tickCount64();
  const auto c0 = platform::performanceCounter();
  platform::sleepMs(20);
  EXPECT_GE(platform::tickCount64() - t0, 19u);
  EXPECT_GE(platform::performanceCounter() - c0, platform::performanceFrequency() / 1000 * 19);
}

// Watchdog for tests that run threads: a test that hangs (deadlock, lost
// wake-up) ends the process with the test's name at once instead of blocking
// the suite until CTest's time-out.
//
//   TEST(Foo, ManyThreads) {
//     nxtest::Watchdog watchdog;                    // the whole test body
//     nxtest::runThreads(8, [&](int aIndex) { ... });  // threads joined, failures rethrown
//   }
//
// Limits are generous (the sanitizer build is slow): they catch hangs, not
// slowness.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nxtest {

inline constexpr std::chrono::milliseconds kWatchdogLimit{60000};

// Ends the process (exit code 3) when its scope is not left within the limit.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::milliseconds aLimit = kWatchdogLimit, std::string aWhat = currentTestName())
      : wdWhat(std::move(aWhat)), wdThread([this, aLimit] { watch(aLimit); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(wdMutex);
      wdDone = true;
    }
    wdCond.notify_all();
    wdThread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  static std::string currentTestName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("a test");
  }

 private:
  void watch(std::chrono::milliseconds aLimit) {
    std::unique_lock<std::mutex> lock(wdMutex);
    if (wdCond.wait_for(lock, aLimit, [this] { return wdDone; })) return;
    std::fprintf(stderr, "watchdog: %s still running after %lld ms (deadlock or lost wake-up?)\n", wdWhat.c_str(),
                 static_cast<long long>(aLimit.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }

  std::string wdWhat;
  std::mutex wdMutex;
  std::condition_variable wdCond;
  bool wdDone = false;
  std::thread wdThread;  // last: starts once the rest is ready
};

// Runs aBody(index) on aCount threads and waits for all of them under a
// watchdog; the first exception a body threw is rethrown here.
inline void runThreads(int aCount, const std::function<void(int)>& aBody,
                       std::chrono::milliseconds aLimit = kWatchdogLimit) {
  Watchdog watchdog(aLimit);
  std::vector<std::future<void>> done;
  done.reserve(static_cast<std::size_t>(aCount));
  for (int i = 0; i < aCount; ++i) done.push_back(std::async(std::launch::async, aBody, i));
  for (auto& f : done) f.wait();
  for (auto& f : done) f.get();
}

}  // namespace nxtest

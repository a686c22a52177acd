// A watchdog for the memory manager's threaded tests: a test that overruns its
// limit (a hang, a livelock) ends the run at once with a message instead of
// waiting for CTest's time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace nxmmtest {

class Watchdog {
 public:
  Watchdog(std::chrono::milliseconds aLimit, std::string aWhat) : wWhat(std::move(aWhat)) {
    wThread = std::thread([this, aLimit] {
      std::unique_lock<std::mutex> lock(wLock);
      if (!wDone.wait_for(lock, aLimit, [this] { return wFinished; })) {
        std::fprintf(stderr, "watchdog: %s did not finish in time\n", wWhat.c_str());
        std::fflush(stderr);
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(wLock);
      wFinished = true;
    }
    wDone.notify_all();
    wThread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::string wWhat;
  std::mutex wLock;
  std::condition_variable wDone;
  bool wFinished = false;
  std::thread wThread;
};

}  // namespace nxmmtest

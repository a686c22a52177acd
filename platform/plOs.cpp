#include "plOs.h"

#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

namespace platform {

namespace {
std::uint64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}
}  // namespace

std::uint32_t currentThreadId() {
  thread_local const std::uint32_t id = std::uint32_t(syscall(SYS_gettid));
  return id;
}

std::uint32_t currentProcessId() { return std::uint32_t(getpid()); }

std::uint64_t tickCount64() { return monotonicNs() / 1000000u; }

std::uint32_t tickCount32() { return std::uint32_t(tickCount64()); }

std::int64_t performanceCounter() { return std::int64_t(monotonicNs()); }

std::int64_t performanceFrequency() { return 1000000000; }

void sleepMs(std::uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace platform

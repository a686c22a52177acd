#include "plOs.h"

#include <sched.h>
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

// The kernel gives a process's first thread the process's id.
bool isMainThread() { return currentThreadId() == currentProcessId(); }

std::uint64_t tickCount64() { return monotonicNs() / 1000000u; }

std::uint64_t coarseTickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
}

std::uint32_t tickCount32() { return std::uint32_t(tickCount64()); }

std::int64_t performanceCounter() { return std::int64_t(monotonicNs()); }

std::int64_t performanceFrequency() { return 1000000000; }

std::uint64_t threadCpuTimeNs() {
  timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

std::uint64_t threadCpuTimeNs(std::uint32_t aThreadId) {
  if (aThreadId == 0) return 0;
  // The kernel's per-thread CPU clock id: ~tid << 3 | CPUCLOCK_SCHED (2),
  // with the per-thread bit (4) set.
  const clockid_t clock = clockid_t((~clockid_t(aThreadId) << 3) | 4 | 2);
  timespec ts;
  if (clock_gettime(clock, &ts) != 0) return 0;
  return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

void sleepMs(std::uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void yieldThread() { sched_yield(); }

}  // namespace platform

#include "plCpu.h"

#include <sched.h>

#include <cstring>

namespace platform {

std::vector<int> threadProcessors() {
  std::vector<int> result;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return result;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &mask)) result.push_back(cpu);
  return result;
}

bool pinThreadToProcessor(int aProcessor) {
  if (aProcessor < 0 || aProcessor >= CPU_SETSIZE) return false;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  CPU_SET(aProcessor, &mask);
  // The kernel migrates the calling thread before the call returns.
  return sched_setaffinity(0, sizeof mask, &mask) == 0;
}

int currentProcessor() { return sched_getcpu(); }

static_assert(sizeof(cpu_set_t) == sizeof(std::array<std::uint64_t, 16>), "the guard stores a cpu_set_t");

ThreadAffinityGuard::ThreadAffinityGuard() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  saved_ = sched_getaffinity(0, sizeof mask, &mask) == 0;
  std::memcpy(mask_.data(), &mask, sizeof mask);
}

ThreadAffinityGuard::~ThreadAffinityGuard() {
  if (!saved_) return;
  cpu_set_t mask;
  std::memcpy(&mask, mask_.data(), sizeof mask);
  sched_setaffinity(0, sizeof mask, &mask);
}

}  // namespace platform

#include "plCpu.h"

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

ThreadAffinityGuard::ThreadAffinityGuard() {
  CPU_ZERO(&mask_);
  saved_ = sched_getaffinity(0, sizeof mask_, &mask_) == 0;
}

ThreadAffinityGuard::~ThreadAffinityGuard() {
  if (saved_) sched_setaffinity(0, sizeof mask_, &mask_);
}

}  // namespace platform

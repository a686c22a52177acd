// Processor affinity of the calling thread.
//
// Linux sets affinity per thread; these functions act on the calling thread
// only, so pinning never disturbs other threads of the process.
// Thread safety: every function may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace platform {

// Processor numbers the calling thread may run on, ascending; empty when the
// affinity cannot be read.
std::vector<int> threadProcessors();

// Restricts the calling thread to aProcessor; false when refused. On success
// the thread already runs there when the call returns.
bool pinThreadToProcessor(int aProcessor);

// Processor the calling thread runs on at this moment; -1 when unknown.
int currentProcessor();

// Saves the calling thread's affinity and restores it on destruction, also
// when an exception leaves the scope. Use on one thread only.
class ThreadAffinityGuard {
 public:
  ThreadAffinityGuard();
  ~ThreadAffinityGuard();
  ThreadAffinityGuard(const ThreadAffinityGuard&) = delete;
  ThreadAffinityGuard& operator=(const ThreadAffinityGuard&) = delete;

  bool saved() const { return saved_; }

 private:
  std::array<std::uint64_t, 16> mask_;  // the system's processor set, 1024 bits
  bool saved_;
};

}  // namespace platform

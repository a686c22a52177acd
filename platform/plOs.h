// Operating-system basics the engine asks for: thread and process ids, tick
// counters and a monotonic high-resolution counter.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

// Kernel id of the calling thread; unique among the live threads of the system.
std::uint32_t currentThreadId();
std::uint32_t currentProcessId();
// True in the thread that started the process.
bool isMainThread();

// Milliseconds since an arbitrary start; the 32-bit form wraps after ~49.7 days.
std::uint32_t tickCount32();
std::uint64_t tickCount64();
// The same clock read at the system tick's resolution (a few ms, as the
// tick counts of other systems), much cheaper than tickCount64.
std::uint64_t coarseTickCount64();

// Monotonic counter and its frequency in counts per second.
std::int64_t performanceCounter();
std::int64_t performanceFrequency();

// CPU time the calling thread has used so far, in nanoseconds (the thread's
// cycle count where the engine asks for one).
std::uint64_t threadCpuTimeNs();
// The same for another live thread of this process, by its id; 0 when it
// cannot be read.
std::uint64_t threadCpuTimeNs(std::uint32_t aThreadId);

void sleepMs(std::uint32_t ms);
// Gives the rest of the calling thread's time slice to another ready thread.
void yieldThread();

}  // namespace platform

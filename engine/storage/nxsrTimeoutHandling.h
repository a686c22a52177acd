// Per-thread deadlines of engine operations, the thread's cancel flag,
// deadline nesting and priority reduction.
//
// Every public server operation sets the calling thread's deadline from its
// object's time-out; long loops anywhere below call nxCheckTimeout, which
// raises EnxServerException 15461 once the deadline has (nearly) passed or
// the thread was cancelled, and calls the thread's callback at most once a
// second. Nested public calls run between nxEnterTimeoutNesting and
// nxLeaveTimeoutNesting so that they keep the outer deadline.
//
// Times are milliseconds of a monotonic clock (nxSetTickSource lets tests
// replace it). Deadline values: nxNoDeadline = none; 0 = never set (the
// first check fails at once).
// Thread safety: all state is the calling thread's own, except the cancel
// flag, which other threads set through the address nxThreadCancelledFlag
// hands out.
// Start-up: nxsrTimeoutHandlingInitialize installs these routines in the
// time-out hooks of the engine interfaces; finalisation restores their
// defaults.
#pragma once

#include <atomic>
#include <cstdint>

#include "nxsrTypes.h"

inline constexpr std::int64_t nxNoDeadline = 0x7FFFFFFFFFFFFFFF;

// Sets the deadline to now + aTimeout (0 or 0xFFFFFFFF: none) when aForce or
// no nesting scope is open; answers whether no nesting scope is open.
bool nxSetTimeout(TnxWord32 aTimeout, bool aForce);
void nxCheckTimeout();
// 1 when cancelled; 0 without a deadline, when never set, passed or at most
// 1 ms left; else the time left (at most 2147483647).
std::int32_t nxRemainingTimeout();
std::int64_t nxGetThreadDeadline();
std::atomic<bool>* nxThreadCancelledFlag();
void nxEnterTimeoutNesting();
void nxLeaveTimeoutNesting();
void nxBeginPriorityReduction(std::uint32_t aTimeout);
void nxEndPriorityReduction();

// The monotonic millisecond clock; nullptr restores the system's.
using TnxTickSource = std::uint64_t (*)();
TnxTickSource nxSetTickSource(TnxTickSource aSource);
std::uint64_t nxTickCount64();

void nxsrTimeoutHandlingInitialize();
void nxsrTimeoutHandlingFinalize();

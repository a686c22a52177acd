// Interlocked operations and lock-free LIFO list heads.
//
// Thread safety: every operation may run concurrently from any thread and is
// a full barrier.
// List heads: {first, sequence} change together in one compare-and-exchange;
// the sequence changes on every push and pop so a stale read cannot succeed
// (ABA). On x86-64 the pair is 16 bytes and uses cmpxchg16b, which keeps the
// head lock-free with full 64-bit pointers, so entries may live anywhere.
// REQUIRES: an entry popped by one thread stays readable memory while the
// list exists (a concurrent pop may still read its leNext).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "nxllTypes.h"

// Module start-up and finalisation, counted (see nxUseCountEnter/Leave). The
// operations below need no start-up; it only verifies that the processor has
// cmpxchg16b (throws platform::RuntimeError otherwise).
void nxllLockedFuncsInitialize();
void nxllLockedFuncsFinalize();

// Interlocked use counter of a module's start-up routine. Enter counts a
// start-up and answers true for the first one (0 -> 1), which must run it;
// Leave counts a finalisation and answers true for the last one (1 -> 0),
// which must undo it. Leave on a count of 0 does nothing, so an unmatched
// finalisation cannot keep the module from starting again.
// REQUIRES: start-up and finalisation run before/after other threads use the
// module (a second caller does not wait for the first one to finish).
using TnxUseCount = std::atomic<std::int32_t>;
bool nxUseCountEnter(TnxUseCount& aCount);
bool nxUseCountLeave(TnxUseCount& aCount);

// Counts a module's start-up for the scope of its body: false when the
// module already runs (nothing to do); a body that raises undoes the count,
// so a later start-up tries again.
//   TnxCountedStart started(gUseCount);
//   if (!started) return;
class TnxCountedStart {
 public:
  explicit TnxCountedStart(TnxUseCount& aCount)
      : csCount(aCount), csFirst(nxUseCountEnter(aCount)), csUncaught(std::uncaught_exceptions()) {}
  ~TnxCountedStart() {
    if (csFirst && std::uncaught_exceptions() > csUncaught) nxUseCountLeave(csCount);
  }
  TnxCountedStart(const TnxCountedStart&) = delete;
  TnxCountedStart& operator=(const TnxCountedStart&) = delete;
  explicit operator bool() const { return csFirst; }

 private:
  TnxUseCount& csCount;
  bool csFirst;
  int csUncaught;
};

// A module this one starts before itself and finalises after itself; a
// table of them, in start-up order, is a library's list of modules.
struct TnxModuleDependency {
  void (*mdStart)();
  void (*mdFinish)();
};

// Starts aModules in order; a failure finalises those already started, in
// reverse, before it propagates.
template <std::size_t N>
void nxStartModules(const TnxModuleDependency (&aModules)[N]) {
  std::size_t started = 0;
  try {
    for (; started < N; ++started) aModules[started].mdStart();
  } catch (...) {
    while (started > 0) aModules[--started].mdFinish();
    throw;
  }
}
// Finalises aModules in reverse order.
template <std::size_t N>
void nxFinishModules(const TnxModuleDependency (&aModules)[N]) {
  for (std::size_t i = N; i > 0; --i) aModules[i - 1].mdFinish();
}

// Counted start-up: the first caller starts the dependencies in order, then
// runs aBody. A failure finalises the dependencies already started, in
// reverse, and undoes the count before it propagates.
template <class Body, std::size_t N>
void nxUseCountStart(TnxUseCount& aCount, const TnxModuleDependency (&aDeps)[N], Body aBody) {
  if (!nxUseCountEnter(aCount)) return;
  try {
    nxStartModules(aDeps);
    try {
      aBody();
    } catch (...) {
      nxFinishModules(aDeps);
      throw;
    }
  } catch (...) {
    nxUseCountLeave(aCount);
    throw;
  }
}
// Counted finalisation: the last caller runs aBody, then finalises the
// dependencies in reverse.
template <class Body, std::size_t N>
void nxUseCountFinish(TnxUseCount& aCount, const TnxModuleDependency (&aDeps)[N], Body aBody) {
  if (!nxUseCountLeave(aCount)) return;
  aBody();
  nxFinishModules(aDeps);
}

std::int32_t nxLockedCompareExchange(std::atomic<std::int32_t>& aTarget, std::int32_t aNewValue,
                                     std::int32_t aComparand);
void* nxLockedCompareExchangePointer(std::atomic<void*>& aTarget, void* aNewValue, void* aComparand);
std::int32_t nxLockedExchange(std::atomic<std::int32_t>& aTarget, std::int32_t aValue);
void* nxLockedExchangePointer(std::atomic<void*>& aTarget, void* aValue);
std::int32_t nxLockedExchangeAdd(std::atomic<std::int32_t>& aTarget, std::int32_t aValue);
std::int32_t nxLockedAdd(std::atomic<std::int32_t>& aTarget, std::int32_t aValue);
std::int32_t nxLockedSub(std::atomic<std::int32_t>& aTarget, std::int32_t aValue);
std::int32_t nxLockedIncrement(std::atomic<std::int32_t>& aTarget);
std::int32_t nxLockedDecrement(std::atomic<std::int32_t>& aTarget);

// Typed form of the pointer exchange for object references.
template <class T>
T* nxLockedCompareExchangeObject(std::atomic<T*>& aTarget, T* aNewValue, T* aComparand) {
  aTarget.compare_exchange_strong(aComparand, aNewValue);
  return aComparand;
}
template <class T>
T* nxLockedExchangeObject(std::atomic<T*>& aTarget, T* aValue) {
  return aTarget.exchange(aValue);
}

struct TnxListEntry {
  TnxListEntry* leNext;
};

// In a depth-limited head the high 16 bits of lhSequence are the depth and
// the low 16 bits the change counter (wrapping within 16 bits). A head is used
// either plainly or depth-limited, never both. lhReserved pads the pair to the
// 16 bytes of one cmpxchg16b and is always written as 0.
struct alignas(16) TnxListHead {
  TnxListEntry* lhFirst;
  std::uint32_t lhSequence;
  std::uint32_t lhReserved;
};

void nxListHeadInit(TnxListHead& aHead);
void nxListHeadPush(TnxListHead& aHead, TnxListEntry* aEntry);
void nxListHeadPushChain(TnxListHead& aHead, TnxListEntry* aFirst, TnxListEntry* aLast);
TnxListEntry* nxListHeadPop(TnxListHead& aHead);
TnxListEntry* nxListHeadFlush(TnxListHead& aHead);
TnxListEntry* nxListHeadPopLimited(TnxListHead& aHead, std::uint16_t aMinDepth);
std::uint16_t nxListHeadPushLimited(TnxListHead& aHead, TnxListEntry* aEntry, std::uint16_t aMaxDepth);

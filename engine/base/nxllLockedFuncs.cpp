#include "nxllLockedFuncs.h"

#include <cpuid.h>

#include "plErrors.h"

static_assert(sizeof(TnxListHead) == 16, "list head must fit one cmpxchg16b");

std::int32_t nxLockedCompareExchange(std::atomic<std::int32_t>& aTarget, std::int32_t aNewValue,
                                     std::int32_t aComparand) {
  aTarget.compare_exchange_strong(aComparand, aNewValue);
  return aComparand;
}

void* nxLockedCompareExchangePointer(std::atomic<void*>& aTarget, void* aNewValue, void* aComparand) {
  aTarget.compare_exchange_strong(aComparand, aNewValue);
  return aComparand;
}

std::int32_t nxLockedExchange(std::atomic<std::int32_t>& aTarget, std::int32_t aValue) {
  return aTarget.exchange(aValue);
}

void* nxLockedExchangePointer(std::atomic<void*>& aTarget, void* aValue) {
  return aTarget.exchange(aValue);
}

std::int32_t nxLockedExchangeAdd(std::atomic<std::int32_t>& aTarget, std::int32_t aValue) {
  return aTarget.fetch_add(aValue);
}

std::int32_t nxLockedAdd(std::atomic<std::int32_t>& aTarget, std::int32_t aValue) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(aTarget.fetch_add(aValue)) + static_cast<std::uint32_t>(aValue));
}

std::int32_t nxLockedSub(std::atomic<std::int32_t>& aTarget, std::int32_t aValue) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(aTarget.fetch_sub(aValue)) - static_cast<std::uint32_t>(aValue));
}

std::int32_t nxLockedIncrement(std::atomic<std::int32_t>& aTarget) { return nxLockedAdd(aTarget, 1); }

std::int32_t nxLockedDecrement(std::atomic<std::int32_t>& aTarget) { return nxLockedSub(aTarget, 1); }

namespace {
TnxUseCount gLockedFuncsUseCount{0};
}  // namespace

bool nxUseCountEnter(TnxUseCount& aCount) { return ++aCount == 1; }

bool nxUseCountLeave(TnxUseCount& aCount) {
  std::int32_t cur = aCount.load();
  for (;;) {
    if (cur <= 0) return false;
    if (aCount.compare_exchange_weak(cur, cur - 1)) return cur == 1;
  }
}

void nxllLockedFuncsInitialize() {
  if (!nxUseCountEnter(gLockedFuncsUseCount)) return;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_CMPXCHG16B)) {
    nxUseCountLeave(gLockedFuncsUseCount);
    throw platform::RuntimeError("processor lacks cmpxchg16b, required by the lock-free lists");
  }
}

void nxllLockedFuncsFinalize() { nxUseCountLeave(gLockedFuncsUseCount); }

namespace {

union HeadValue {
  struct {
    TnxListEntry* first;
    std::uint32_t sequence;
    std::uint32_t reserved;
  } f;
  unsigned __int128 raw;
};

// The two halves may tear in this read; the compare-and-exchange then fails
// and the caller retries with the value it returns.
HeadValue readHead(TnxListHead& aHead) {
  HeadValue v;
  v.f.first = __atomic_load_n(&aHead.lhFirst, __ATOMIC_ACQUIRE);
  v.f.sequence = __atomic_load_n(&aHead.lhSequence, __ATOMIC_ACQUIRE);
  v.f.reserved = 0;
  return v;
}

bool casHead(TnxListHead& aHead, HeadValue& aExpected, const HeadValue& aDesired) {
  auto* target = reinterpret_cast<unsigned __int128*>(&aHead);
  const unsigned __int128 prev = __sync_val_compare_and_swap(target, aExpected.raw, aDesired.raw);
  if (prev == aExpected.raw) return true;
  aExpected.raw = prev;
  return false;
}

HeadValue makeHead(TnxListEntry* aFirst, std::uint32_t aSequence) {
  HeadValue v;
  v.f.first = aFirst;
  v.f.sequence = aSequence;
  v.f.reserved = 0;
  return v;
}

}  // namespace

void nxListHeadInit(TnxListHead& aHead) {
  aHead.lhFirst = nullptr;
  aHead.lhSequence = 0;
  aHead.lhReserved = 0;
}

void nxListHeadPush(TnxListHead& aHead, TnxListEntry* aEntry) { nxListHeadPushChain(aHead, aEntry, aEntry); }

void nxListHeadPushChain(TnxListHead& aHead, TnxListEntry* aFirst, TnxListEntry* aLast) {
  HeadValue cur = readHead(aHead);
  for (;;) {
    // Atomic: a popper that lost a race may read this field concurrently.
    __atomic_store_n(&aLast->leNext, cur.f.first, __ATOMIC_RELAXED);
    if (casHead(aHead, cur, makeHead(aFirst, cur.f.sequence + 1))) return;
  }
}

TnxListEntry* nxListHeadPop(TnxListHead& aHead) {
  HeadValue cur = readHead(aHead);
  for (;;) {
    TnxListEntry* first = cur.f.first;
    if (!first) return nullptr;
    TnxListEntry* next = __atomic_load_n(&first->leNext, __ATOMIC_ACQUIRE);
    if (casHead(aHead, cur, makeHead(next, cur.f.sequence + 1))) return first;
  }
}

TnxListEntry* nxListHeadFlush(TnxListHead& aHead) {
  HeadValue cur = readHead(aHead);
  for (;;) {
    if (!cur.f.first) return nullptr;
    if (casHead(aHead, cur, makeHead(nullptr, cur.f.sequence))) return cur.f.first;
  }
}

TnxListEntry* nxListHeadPopLimited(TnxListHead& aHead, std::uint16_t aMinDepth) {
  HeadValue cur = readHead(aHead);
  for (;;) {
    TnxListEntry* first = cur.f.first;
    const std::uint32_t depth = cur.f.sequence >> 16;
    if (!first || depth == 0 || depth - 1 < aMinDepth) return nullptr;
    TnxListEntry* next = __atomic_load_n(&first->leNext, __ATOMIC_ACQUIRE);
    const std::uint32_t seq = ((depth - 1) << 16) | ((cur.f.sequence + 1) & 0xFFFF);
    if (casHead(aHead, cur, makeHead(next, seq))) return first;
  }
}

std::uint16_t nxListHeadPushLimited(TnxListHead& aHead, TnxListEntry* aEntry, std::uint16_t aMaxDepth) {
  HeadValue cur = readHead(aHead);
  for (;;) {
    const std::uint32_t depth = cur.f.sequence >> 16;
    if (depth + 1 > aMaxDepth) return 0;
    __atomic_store_n(&aEntry->leNext, cur.f.first, __ATOMIC_RELAXED);
    const std::uint32_t seq = ((depth + 1) << 16) | ((cur.f.sequence + 1) & 0xFFFF);
    if (casHead(aHead, cur, makeHead(aEntry, seq))) return std::uint16_t(depth + 1);
  }
}

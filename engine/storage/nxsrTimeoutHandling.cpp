#include "nxsrTimeoutHandling.h"

#include <climits>

#include "nxllSync.h"
#include "plOs.h"
#include "plThreadPriority.h"

namespace {

constexpr std::int32_t kNoSavedPriority = INT32_MIN;  // hex 80000000

struct ThreadTimeoutState {
  std::int64_t deadline = 0;
  std::int32_t nesting = 0;
  std::int64_t lastCallback = 0;
  std::atomic<bool> cancelled{false};
  std::int32_t reductionCount = 0;
  bool reductionArmed = false;
  std::int64_t reductionDeadline = 0;
  std::int32_t savedPriority = kNoSavedPriority;
  std::int32_t reducedPriority = 0;  // THREAD_PRIORITY_NORMAL
};

thread_local ThreadTimeoutState tState;

std::uint64_t systemTicks() { return platform::tickCount64(); }
std::atomic<TnxTickSource> gTickSource{&systemTicks};

std::int64_t now() { return static_cast<std::int64_t>(gTickSource.load(std::memory_order_relaxed)()); }

void applyDueReduction(ThreadTimeoutState& s, std::int64_t aNow) {
  if (s.reductionArmed && s.reductionDeadline < aNow) {
    s.reductionArmed = false;
    s.savedPriority = platform::currentThreadPriority();
    platform::setCurrentThreadPriority(s.reducedPriority);
  }
}

}  // namespace

TnxTickSource nxSetTickSource(TnxTickSource aSource) {
  return gTickSource.exchange(aSource ? aSource : &systemTicks);
}

std::uint64_t nxTickCount64() { return static_cast<std::uint64_t>(now()); }

bool nxSetTimeout(TnxWord32 aTimeout, bool aForce) {
  ThreadTimeoutState& s = tState;
  const bool outer = s.nesting <= 0;
  if (aForce || outer)
    s.deadline = aTimeout == 0 || aTimeout == 0xFFFFFFFFu ? nxNoDeadline : now() + aTimeout;
  return outer;
}

void nxCheckTimeout() {
  ThreadTimeoutState& s = tState;
  const std::int64_t t = now();
  if (s.lastCallback + 1000 < t) {
    nxCallThreadCallback();
    s.lastCallback = now();
  } else if (s.lastCallback > t) {
    s.lastCallback = t;
  }
  if (s.cancelled.load(std::memory_order_relaxed)) throw EnxServerException(nxErrTimeout, u"Processing cancelled");
  // A deadline of 0 (never set) fails here at once.
  if (s.deadline < t || s.deadline - t < 10) throw EnxServerException(nxErrTimeout);
  applyDueReduction(s, t);
}

std::int32_t nxRemainingTimeout() {
  ThreadTimeoutState& s = tState;
  if (s.cancelled.load(std::memory_order_relaxed)) return 1;
  if (s.deadline == nxNoDeadline || s.deadline == 0) return 0;
  const std::int64_t t = now();
  if (s.deadline - t <= 1) return 0;
  applyDueReduction(s, t);
  const std::int64_t left = s.deadline - t;
  return left > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(left);
}

std::int64_t nxGetThreadDeadline() { return tState.deadline; }

std::atomic<bool>* nxThreadCancelledFlag() { return &tState.cancelled; }

void nxEnterTimeoutNesting() { ++tState.nesting; }

void nxLeaveTimeoutNesting() {
  nxAssert(tState.nesting > 0, "Timeout nesting count below 0");
  --tState.nesting;
}

void nxBeginPriorityReduction(std::uint32_t aTimeout) {
  ThreadTimeoutState& s = tState;
  if (++s.reductionCount != 1) return;
  s.savedPriority = kNoSavedPriority;
  if (aTimeout > 0 && aTimeout != 0xFFFFFFFFu) {
    s.reductionArmed = true;
    s.reductionDeadline = now() + aTimeout;
  } else {
    s.reductionArmed = false;
    s.reductionDeadline = 0;
    s.reducedPriority = 0;
  }
}

void nxEndPriorityReduction() {
  ThreadTimeoutState& s = tState;
  if (--s.reductionCount > 0) return;
  if (!s.reductionArmed && s.savedPriority != kNoSavedPriority) platform::setCurrentThreadPriority(s.savedPriority);
  s.reductionCount = 0;
  s.reductionArmed = false;
  s.reductionDeadline = 0;
  s.savedPriority = kNoSavedPriority;
  s.reducedPriority = 0;
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gTimeoutHandlingModuleStarts{0};
}  // namespace

void nxsrTimeoutHandlingInitialize() {
  TnxCountedStart started(gTimeoutHandlingModuleStarts);
  if (!started) return;
  nxSetTimeoutHook.store(&nxSetTimeout);
  nxEnterTimeoutNestingHook.store(&nxEnterTimeoutNesting);
  nxLeaveTimeoutNestingHook.store(&nxLeaveTimeoutNesting);
  nxGetThreadCancelFlagHook.store(&nxThreadCancelledFlag);
}

void nxsrTimeoutHandlingFinalize() {
  if (!nxUseCountLeave(gTimeoutHandlingModuleStarts)) return;
  nxResetTimeoutHooks();
}

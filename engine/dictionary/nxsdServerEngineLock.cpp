#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

#include "nxllConvertException.h"
#include "plOs.h"

using namespace nxsd_server_engine_int;

PL_CLASS_INFO_IMPL(TnxSimpleLock, TnxInterfacedObject, "TnxSimpleLock", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractTimeoutObject, TnxExtendableServerObject, "TnxAbstractTimeoutObject", nullptr)

// ---- Time-out hooks ---------------------------------------------------------------

bool nxDefaultSetTimeoutHook(TnxWord32, bool) { return false; }
void nxDefaultTimeoutNestingHook() {}
std::atomic<bool>* nxDefaultGetThreadCancelFlagHook() { return nullptr; }

std::atomic<TnxSetTimeoutHookProc> nxSetTimeoutHook{&nxDefaultSetTimeoutHook};
std::atomic<TnxTimeoutNestingHookProc> nxEnterTimeoutNestingHook{&nxDefaultTimeoutNestingHook};
std::atomic<TnxTimeoutNestingHookProc> nxLeaveTimeoutNestingHook{&nxDefaultTimeoutNestingHook};
std::atomic<TnxGetThreadCancelFlagHookProc> nxGetThreadCancelFlagHook{&nxDefaultGetThreadCancelFlagHook};

std::atomic<bool> nxFatalError{false};

void nxResetTimeoutHooks() {
  nxSetTimeoutHook.store(&nxDefaultSetTimeoutHook, std::memory_order_release);
  nxEnterTimeoutNestingHook.store(&nxDefaultTimeoutNestingHook, std::memory_order_release);
  nxLeaveTimeoutNestingHook.store(&nxDefaultTimeoutNestingHook, std::memory_order_release);
  nxGetThreadCancelFlagHook.store(&nxDefaultGetThreadCancelFlagHook, std::memory_order_release);
}

// ---- Session lock -----------------------------------------------------------------

namespace {

const char16_t kFatalText[] =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception "
    u"log at server for further information";
const char16_t kPermanentText[] = u"This session has been marked as permanently failed";
const char16_t kCancelledText[] = u"Processing cancelled";
const char16_t kCancelledWhileRunningText[] = u"Processing cancelled. Operation may have partially or fully succeeded";

constexpr std::uint32_t kCleanupWaitMs = 60000;

}  // namespace

TnxSimpleLock::TnxSimpleLock(TnxFailedCleanupEvent aFailedCleanup, TnxSessionStats* aStats)
    : slStats(aStats), slFailedCleanup(aFailedCleanup) {
  slExceptionHookInfoLock = platform::create<TnxPadlock>();
}

TnxSimpleLock::~TnxSimpleLock() { platform::TObject::free(std::exchange(slExceptionHookInfoLock, nullptr)); }

const TnxInterfaceEntry* TnxSimpleLock::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxSimpleLock::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxSimpleLock*>(static_cast<TnxSimpleLock*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

void TnxSimpleLock::beforeDestruction() {
  if (TnxSessionStats* stats = std::exchange(slStats, nullptr)) stats->SessionClosed();
  slFailedCleanupDone.set();
  TnxInterfacedObject::beforeDestruction();
}

void TnxSimpleLock::acquireSpin() {
  std::uint32_t expected = 0;
  while (!slFailedSpinlock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    platform::sleepMs(1);
  }
}

bool TnxSimpleLock::releaseSpin() { return slFailedSpinlock.exchange(0, std::memory_order_release) == 1; }

void TnxSimpleLock::callCleanup() noexcept {
  if (!slFailedCleanup) return;
  try {
    slFailedCleanup(this);
  } catch (...) {
    // The session is failed for good either way; nobody waits for an answer.
  }
}

void TnxSimpleLock::runCleanupIfDue() {
  bool run = false;
  acquireSpin();
  if (slFailedPermanent.load(std::memory_order_acquire) && !slFailedCleanedup) {
    slFailedCleanedup = true;
    run = true;
  }
  releaseSpin();
  if (run) callCleanup();
}

void TnxSimpleLock::raiseReentered() {
  // The owner's context, copied: the owner may change it meanwhile.
  TnxExceptionHookInfo info = ExceptionHookInfo();
  const PnxExceptionHookInfo previous = nxGetThreadExceptionHookInfo();
  nxSetThreadExceptionHookInfo(&info);
  EnxBaseException e(nxErrReentered);
  nxSetThreadExceptionHookInfo(previous);
  throw e;
}

void TnxSimpleLock::giveBack(std::uint32_t aThreadID) {
  acquireSpin();
  if (slFailedFlag) slFailedFlag->store(slFailedOrg, std::memory_order_relaxed);
  slFailedFlag = nullptr;
  slLockCount.store(0, std::memory_order_release);
  releaseSpin();
  std::uint32_t expected = aThreadID;
  slLockingThread.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

void TnxSimpleLock::Lock() {
  if (nxFatalError.load(std::memory_order_acquire)) throw EnxBaseException(nxErrTransactionCorrupt, kFatalText);
  if (slFailedPermanent.load(std::memory_order_acquire)) throw EnxBaseException(nxErrInvalidHandle, kPermanentText);
  if (slFailed.load(std::memory_order_acquire) && slFailed.exchange(false, std::memory_order_acq_rel))
    throw EnxBaseException(nxErrTimeout, kCancelledText);

  const std::uint32_t me = platform::currentThreadId();
  std::uint32_t owner = 0;
  if (!slLockingThread.compare_exchange_strong(owner, me, std::memory_order_acq_rel)) {
    if (owner != me) raiseReentered();
    nxAssert(slLockCount.load(std::memory_order_relaxed) >= 1, "Session lock: re-entry without a hold");
  } else if (slLockCount.load(std::memory_order_relaxed) != 0) {
    slLockingThread.store(0, std::memory_order_release);
    nxAssert(false, "Session lock: a free lock with a hold count");
  }
  if (slLockCount.fetch_add(1, std::memory_order_acq_rel) > 0) {
    nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
    return;
  }

  // First entry: hand the thread's cancel flag to Failed.
  acquireSpin();
  std::atomic<bool>* flag = nxGetThreadCancelFlagHook.load(std::memory_order_acquire)();
  if (flag) {
    slFailedOrg = flag->load(std::memory_order_relaxed);
    flag->store(slFailed.load(std::memory_order_acquire), std::memory_order_relaxed);
  }
  slFailedFlag = flag;
  if (!releaseSpin()) {
    giveBack(me);
    raiseReentered();
  }

  // Failed on another thread between the first checks and now.
  if (slFailedPermanent.load(std::memory_order_acquire)) {
    giveBack(me);
    runCleanupIfDue();
    throw EnxBaseException(nxErrInvalidHandle, kPermanentText);
  }
  if (slFailed.load(std::memory_order_acquire) && slFailed.exchange(false, std::memory_order_acq_rel)) {
    giveBack(me);
    throw EnxBaseException(nxErrTimeout, kCancelledText);
  }
  if (slStats) {
    try {
      slStats->CallStarted();
    } catch (...) {
      giveBack(me);
      throw;
    }
  }
  slPreviousHookInfo = nxGetThreadExceptionHookInfo();
  nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
}

void TnxSimpleLock::Unlock(TnxResult& aResult) {
  const std::uint32_t me = platform::currentThreadId();
  if (slLockingThread.load(std::memory_order_acquire) != me) raiseReentered();
  if (slLockCount.fetch_sub(1, std::memory_order_acq_rel) > 1) return;

  if (slStats) slStats->CallEnded();
  bool runCleanup = false;
  acquireSpin();
  if (slFailedFlag) slFailedFlag->store(slFailedOrg, std::memory_order_relaxed);
  slFailedFlag = nullptr;
  if (slFailedPermanent.load(std::memory_order_acquire)) {
    if (!slFailedCleanedup) {
      slFailedCleanedup = true;
      runCleanup = true;
    }
  } else if (slFailed.load(std::memory_order_acquire)) {
    slFailed.store(false, std::memory_order_release);
    if (aResult == 0) aResult = EnxBaseException::nxSetMessage(nxErrTimeout, kCancelledWhileRunningText);
  }
  const bool spinHeld = releaseSpin();
  // Still the owner: no other call can start while the cleanup runs.
  if (runCleanup) callCleanup();
  slLastLocked.store(platform::coarseTickCount64(), std::memory_order_release);
  std::uint32_t owner = me;
  const bool owned = slLockingThread.compare_exchange_strong(owner, 0, std::memory_order_acq_rel);
  nxSetThreadExceptionHookInfo(std::exchange(slPreviousHookInfo, nullptr));
  if (!spinHeld || !owned) raiseReentered();
}

void TnxSimpleLock::Failed(bool aPermanent, bool aWait) {
  if (aPermanent) slFailedPermanent.store(true, std::memory_order_release);
  bool run = false;
  if (!slFailed.load(std::memory_order_acquire) || aPermanent) {
    acquireSpin();
    slFailed.store(true, std::memory_order_release);
    // The running call stops at its next time-out check.
    if (slFailedFlag) slFailedFlag->store(true, std::memory_order_relaxed);
    if (aPermanent && !slFailedCleanedup && slLockCount.load(std::memory_order_acquire) == 0) {
      slFailedCleanedup = true;
      run = true;
    }
    if (!releaseSpin()) raiseReentered();
  }
  if (run) callCleanup();
  if (aPermanent && aWait) slFailedCleanupDone.wait(kCleanupWaitMs);
}

void TnxSimpleLock::SetFailedCleanupDone() { slFailedCleanupDone.set(); }

std::uint64_t TnxSimpleLock::LastLocked() {
  if (slLockingThread.load(std::memory_order_acquire) != 0) return platform::coarseTickCount64();
  return slLastLocked.load(std::memory_order_acquire);
}

std::int32_t TnxSimpleLock::LockCountOfCurrentThread() const {
  if (slLockingThread.load(std::memory_order_acquire) != platform::currentThreadId()) return 0;
  return slLockCount.load(std::memory_order_acquire);
}

void TnxSimpleLock::SetExceptionHookInfo(const TnxExceptionHookInfo& aInfo) {
  TnxPadlockGuard guard(*slExceptionHookInfoLock);
  slExceptionHookInfo = aInfo;
}

void TnxSimpleLock::SetExceptionHookClient(const nxString& aClient) {
  TnxPadlockGuard guard(*slExceptionHookInfoLock);
  slExceptionHookInfo.ehiClient = aClient;
}

TnxExceptionHookInfo TnxSimpleLock::ExceptionHookInfo() const {
  TnxPadlockGuard guard(*slExceptionHookInfoLock);
  return slExceptionHookInfo;
}

// ---- Time-out objects -------------------------------------------------------------

TnxAbstractTimeoutObject::TnxAbstractTimeoutObject(TnxExtendableServerObject* aParent, InxSimpleLock* aLock,
                                                   TnxWord32 aTimeout)
    : TnxExtendableServerObject(aParent), atoLock(aLock), atoTimeout(aTimeout) {}

// Nothing joins the session's time-out batch list in process: batches are a
// transport's affair.
TnxAbstractTimeoutObject::~TnxAbstractTimeoutObject() = default;

namespace {

TnxAbstractTimeoutObject* timeoutSession(TnxAbstractServerObject* aObject) {
  TnxAbstractSession* session = aObject->Session();
  if (session && session->inheritsFrom(TnxAbstractTimeoutObject::staticClassInfo()))
    return static_cast<TnxAbstractTimeoutObject*>(static_cast<TnxAbstractServerObject*>(session));
  return nullptr;
}

TnxResult convertWithEngine(TnxBaseServerEngine* aEngine, std::exception_ptr aException) {
  if (aEngine) return aEngine->ConvertException(aException, nullptr);
  return nxConvertException(aException, nullptr, nullptr, kInProcessVersion);
}

}  // namespace

std::int32_t TnxAbstractTimeoutObject::atoSessionRequest(std::int32_t aArg) {
  TnxAbstractTimeoutObject* session = timeoutSession(this);
  return session ? session->atoSessionRequest(aArg) : 0;
}

std::int32_t TnxAbstractTimeoutObject::BeginTimeoutBatch() {
  TnxAbstractTimeoutObject* session = timeoutSession(this);
  return session ? session->BeginTimeoutBatch() : -1;
}

std::int32_t TnxAbstractTimeoutObject::EndTimeoutBatch() {
  TnxAbstractTimeoutObject* session = timeoutSession(this);
  return session ? session->EndTimeoutBatch() : -1;
}

void TnxAbstractTimeoutObject::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                            bool aIncludeChildren) {
  TnxExtendableServerObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddInteger(u"Timeout", Timeout());
}

TnxResult TnxAbstractTimeoutObject::OptionClear(const nxString& aName) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionClear(aName));
}

TnxResult TnxAbstractTimeoutObject::OptionSet(const nxString& aName, const nxString& aValue) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionSet(aName, aValue));
}

TnxResult TnxAbstractTimeoutObject::OptionGet(const nxString& aName, nxString& aValue) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionGet(aName, aValue));
}

TnxResult TnxAbstractTimeoutObject::OptionGetEffective(const nxString& aName, nxString& aValue) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionGetEffective(aName, aValue));
}

TnxResult TnxAbstractTimeoutObject::OptionList(platform::TStringList& aList) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionList(aList));
}

TnxResult TnxAbstractTimeoutObject::OptionListEffective(platform::TStringList& aList) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  return call.Finish(TnxExtendableServerObject::OptionListEffective(aList));
}

std::uint64_t TnxAbstractTimeoutObject::LastLocked() { return atoLock ? atoLock->LastLocked() : 0; }

TnxResult TnxAbstractTimeoutObject::asoClose() {
  TnxBaseServerEngine* engine = GetServerEngine();
  TnxIntfPtr<InxSimpleLock> lock = atoLock;
  if (lock && lock->IsFailedPermanent()) lock.reset();
  if (lock) {
    try {
      lock->Lock();
    } catch (...) {
      return convertWithEngine(engine, std::current_exception());
    }
  }
  TnxResult result = 0;
  try {
    if (lock && inheritsFrom(TnxAbstractSession::staticClassInfo())) {
      // The session's children go with the failed-session cleanup, run by
      // the unlock; then the session itself.
      lock->Failed(true, false);
      TnxResult unlocked = 0;
      lock->Unlock(unlocked);
      lock.reset();
    }
    Free(this);
  } catch (...) {
    result = convertWithEngine(engine, std::current_exception());
  }
  if (lock) {
    try {
      lock->Unlock(result);
    } catch (...) {
      result = convertWithEngine(engine, std::current_exception());
    }
  }
  return result;
}

// ---- The guarded call -----------------------------------------------------------

TnxGuardedCall::TnxGuardedCall(TnxAbstractTimeoutObject& aObject)
    : gcCall(&aObject), gcLock(aObject.atoLock.get()), gcNesting(true) {
  nxSetTimeoutHook.load(std::memory_order_acquire)(aObject.Timeout(), false);
  if (gcLock) gcLock->Lock();
  nxEnterTimeoutNestingHook.load(std::memory_order_acquire)();
}

TnxGuardedCall::TnxGuardedCall(TnxAbstractTimeoutObject& aObject, LockOnly)
    : gcCall(&aObject), gcLock(aObject.atoLock.get()), gcNesting(false) {
  if (gcLock) gcLock->Lock();
}

TnxGuardedCall::~TnxGuardedCall() {
  if (gcFinished) return;
  if (gcNesting) nxLeaveTimeoutNestingHook.load(std::memory_order_acquire)();
  if (gcLock) {
    try {
      TnxResult ignored = 0;
      gcLock->Unlock(ignored);
    } catch (...) {
      // Already leaving with an exception; the lost lock cannot be mended.
    }
  }
}

TnxResult TnxGuardedCall::Finish(TnxResult aResult) {
  gcFinished = true;
  if (gcNesting) nxLeaveTimeoutNestingHook.load(std::memory_order_acquire)();
  if (gcLock) gcLock->Unlock(aResult);
  return aResult;
}

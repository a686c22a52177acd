// Lock family of the server-engine module: the time-out hooks, the fatal
// error latch, the session lock, the time-out object and the guarded call.
// Include nxsdServerEngine.h, not this header.
//
// Contracts:
// - The four hooks are process-wide routine references: the storage layer
//   installs its deadline routines at start-up and puts the defaults back at
//   shutdown (nxResetTimeoutHooks). Until then a call sets no deadline and no
//   cancel flag is consulted. The cancel flag a hook hands out belongs to the
//   calling thread; other threads only store into it.
// - nxFatalError is set by the storage layer when committed changes cannot be
//   written; nothing clears it. Every session lock refuses entry from then on.
// - TnxSimpleLock: one per session, shared by every object of the session. A
//   second thread is refused with 8455 at once, never kept waiting; the owner
//   re-enters without limit. Failed and SetFailedCleanupDone may be called
//   from any thread. Ownership and depth change by interlocked operations,
//   the failed state under a spin lock. The failed cleanup runs exactly once,
//   outside the spin lock, when nobody holds the lock (or by the owner at its
//   final release), and must not take the lock itself.
// - Lock either returns holding the lock or raises without holding it: the
//   guarded call takes it before its exception guard, so a refusal (8455,
//   9990, 15443, 15461) reaches the caller as an exception.
// - Every public operation of a time-out object runs inside a TnxGuardedCall
//   (or nxGuardedCall): the unlock runs on every path and may turn a 0 result
//   into 15461 when the call was cancelled meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <utility>

#include "plSync.h"
#include "nxsdServerEngineEngine.h"

// ---- Time-out hooks ---------------------------------------------------------------

// Sets the calling thread's deadline to now + aTimeout ms (0 or all ones: no
// deadline) unless a nesting scope is open and aForce is False. The answer
// (whether the call was an outer one) is not used here.
using TnxSetTimeoutHookProc = bool (*)(TnxWord32 aTimeout, bool aForce);
using TnxTimeoutNestingHookProc = void (*)();
// The calling thread's cancel flag, or nil.
using TnxGetThreadCancelFlagHookProc = std::atomic<bool>* (*)();

bool nxDefaultSetTimeoutHook(TnxWord32 aTimeout, bool aForce);
void nxDefaultTimeoutNestingHook();
std::atomic<bool>* nxDefaultGetThreadCancelFlagHook();

extern std::atomic<TnxSetTimeoutHookProc> nxSetTimeoutHook;
extern std::atomic<TnxTimeoutNestingHookProc> nxEnterTimeoutNestingHook;
extern std::atomic<TnxTimeoutNestingHookProc> nxLeaveTimeoutNestingHook;
extern std::atomic<TnxGetThreadCancelFlagHookProc> nxGetThreadCancelFlagHook;

// Puts the four do-nothing defaults back.
void nxResetTimeoutHooks();

// The fatal-error latch: once set, every session lock refuses entry with
// 15443. Set by the storage layer; never cleared.
extern std::atomic<bool> nxFatalError;

// ---- Session lock -----------------------------------------------------------------

// Cleanup of a permanently failed session; the sender is the lock.
using TnxFailedCleanupEvent = TnxMethod<platform::TObject*>;

class TnxSimpleLock : public TnxInterfacedObject, public InxSimpleLock {
  PL_CLASS_INFO_DECL()
 public:
  // aStats (may be nil) hears of the first entry and last release of every
  // call and of the lock's end; it is not owned (the statistics list keeps
  // it).
  TnxSimpleLock(TnxFailedCleanupEvent aFailedCleanup, TnxSessionStats* aStats);
  ~TnxSimpleLock() override;
  TnxSimpleLock(const TnxSimpleLock&) = delete;
  TnxSimpleLock& operator=(const TnxSimpleLock&) = delete;
  NX_INTERFACED_OBJECT_BASICS()

  // 15443 after the fatal latch, 9990 when permanently failed, 15461 once
  // when cancelled, 8455 when another thread holds the lock.
  void Lock() override;
  // REQUIRES: the calling thread holds the lock (else 8455). The final
  // release turns a 0 aResult into 15461 when the call was cancelled.
  void Unlock(TnxResult& aResult) override;
  // Cancels the running (or the next) call; aPermanent fails the session for
  // good and runs its cleanup once; aWait then waits up to 60 s for
  // SetFailedCleanupDone.
  void Failed(bool aPermanent, bool aWait) override;
  void SetFailedCleanupDone() override;
  bool IsFailedPermanent() override { return slFailedPermanent.load(std::memory_order_acquire); }
  // The current tick while held, else the tick of the last full release
  // (milliseconds at the system tick's resolution).
  std::uint64_t LastLocked() override;

  // The depth of the calling thread's hold, 0 when it does not hold it.
  std::int32_t LockCountOfCurrentThread() const;
  // The exception context installed while the lock is held. The owner
  // thread changes it through SetExceptionHookClient only.
  void SetExceptionHookInfo(const TnxExceptionHookInfo& aInfo);
  void SetExceptionHookClient(const nxString& aClient);
  TnxExceptionHookInfo ExceptionHookInfo() const;

 protected:
  // Tells the statistics that the session is closed; signals the event.
  // REQUIRES: nobody holds the lock.
  void beforeDestruction() override;
  const TnxInterfaceEntry* interfaceTable() const override;

 private:
  void acquireSpin();
  // False when the spin lock was not held (a broken expectation).
  bool releaseSpin();
  // Step back out of a first entry refused after ownership was taken.
  void giveBack(std::uint32_t aThreadID);
  // Runs the cleanup when it is due and has not started; outside the spin
  // lock.
  void runCleanupIfDue();
  void callCleanup() noexcept;
  [[noreturn]] void raiseReentered();

  TnxSessionStats* slStats = nullptr;
  std::atomic<std::uint32_t> slLockingThread{0};
  std::atomic<std::int32_t> slLockCount{0};
  std::atomic<std::uint32_t> slFailedSpinlock{0};
  std::atomic<bool>* slFailedFlag = nullptr;  // under the spin lock
  bool slFailedOrg = false;                   // under the spin lock
  std::atomic<bool> slFailed{false};
  std::atomic<bool> slFailedPermanent{false};
  TnxFailedCleanupEvent slFailedCleanup;
  bool slFailedCleanedup = false;  // under the spin lock
  platform::Event slFailedCleanupDone{platform::Event::Kind::manualReset};
  std::atomic<std::uint64_t> slLastLocked{0};
  TnxPadlock* slExceptionHookInfoLock = nullptr;
  TnxExceptionHookInfo slExceptionHookInfo;
  // The owner thread's context before its first entry, put back at the end.
  PnxExceptionHookInfo slPreviousHookInfo = nullptr;
};

// ---- Time-out objects -------------------------------------------------------------

// The base of sessions, databases, transaction contexts, cursors and
// statements: the object's time-out and the session's lock.
class TnxAbstractTimeoutObject : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxGuardedCall;

 public:
  // aLock: the session's lock (a session passes its own).
  TnxAbstractTimeoutObject(TnxExtendableServerObject* aParent, InxSimpleLock* aLock, TnxWord32 aTimeout);
  ~TnxAbstractTimeoutObject() override;

  virtual void SetTimeout(TnxWord32 aValue) { atoTimeout.store(aValue, std::memory_order_relaxed); }
  // The session's; 0 without a session.
  virtual std::int32_t atoSessionRequest(std::int32_t aArg);
  // The session's; -1 without a session.
  virtual std::int32_t BeginTimeoutBatch();
  virtual std::int32_t EndTimeoutBatch();

  // Inherited, then "Timeout".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // Under the session lock (no deadline, no conversion).
  TnxResult OptionClear(const nxString& aName) override;
  TnxResult OptionSet(const nxString& aName, const nxString& aValue) override;
  TnxResult OptionGet(const nxString& aName, nxString& aValue) override;
  TnxResult OptionGetEffective(const nxString& aName, nxString& aValue) override;
  TnxResult OptionList(platform::TStringList& aList) override;
  TnxResult OptionListEffective(platform::TStringList& aList) override;

  TnxWord32 Timeout() const { return atoTimeout.load(std::memory_order_relaxed); }
  InxSimpleLock* SessionLock() const { return atoLock.get(); }
  // The lock's LastLocked; 0 without a lock.
  std::uint64_t LastLocked();

 protected:
  // Under the session lock: frees the object (a session first fails its lock
  // for good and lets go of it); a failure of the destruction becomes the
  // result through the engine.
  TnxResult asoClose() override;

  TnxAbstractTimeoutObject* atoTimeoutBatchPrev = nullptr;
  TnxAbstractTimeoutObject* atoTimeoutBatchNext = nullptr;
  TnxIntfPtr<InxSimpleLock> atoLock;
  std::atomic<TnxWord32> atoTimeout{0};
};

// ---- The guarded call -----------------------------------------------------------

// One public operation of a time-out object: sets the thread's deadline from
// the object's time-out, takes the session lock (a refusal raises, nothing
// held) and enters the deadline nesting. Finish (or the destructor, on an
// exception) leaves the nesting and unlocks. An object closed during the
// call is released after the unlock.
class TnxGuardedCall {
 public:
  explicit TnxGuardedCall(TnxAbstractTimeoutObject& aObject);
  // A lock-only call (the option operations): no deadline, no nesting.
  struct LockOnly {};
  TnxGuardedCall(TnxAbstractTimeoutObject& aObject, LockOnly);
  ~TnxGuardedCall();
  TnxGuardedCall(const TnxGuardedCall&) = delete;
  TnxGuardedCall& operator=(const TnxGuardedCall&) = delete;

  // Leaves the nesting and unlocks; answers aResult or, for a call cancelled
  // meanwhile, 15461. Raises 8455 when the lock was lost.
  TnxResult Finish(TnxResult aResult);
  // The work released the session lock itself (exactly once, through its
  // own Unlock): the end of the call does not release it again.
  void LockGivenUp() { gcLock = nullptr; }

 private:
  // The object stays in memory (and with it its reference to the lock) until
  // the call ends; a close during the call releases it after the unlock.
  TnxServerObjectCall gcCall;
  InxSimpleLock* gcLock;
  bool gcNesting;
  bool gcFinished = false;
};

// Runs aWork (answering a TnxResult) as one guarded call of aObject; an
// exception of the work becomes the result through the object's conversion.
// A refusal of the lock raises.
template <class Work>
TnxResult nxGuardedCall(TnxAbstractTimeoutObject& aObject, Work&& aWork) {
  TnxGuardedCall call(aObject);
  TnxResult result;
  try {
    result = std::forward<Work>(aWork)();
  } catch (...) {
    result = aObject.asoConvertException(std::current_exception());
  }
  return call.Finish(result);
}

// Module start-up and finalisation; finalisation frees every statistics
// entry and the list's padlock.
// REQUIRES (finalisation): no session, lock or statistics reader is left.
void nxsdServerEngineInitialize();
void nxsdServerEngineFinalize();

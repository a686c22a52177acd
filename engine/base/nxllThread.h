// Engine threads: the thread base with its exception handling, the init
// thread whose creator waits for its start-up step, the wait thread that parks
// after its work until it is freed, and the timer threads. Also the
// TnxThreadPriority identifiers used in streams and configuration texts.
//
// Contracts:
// - Instances come from the engine allocator (zero-filled, like TnxObject's);
//   create them with platform::create<T>(...) and free them with
//   platform::TObject::free / nxFreeAndNil from the owner's thread, never from
//   their own thread.
// - Exceptions of the family (anything derived from std::exception: engine
//   and runtime failures) that escape DoExecute, InnerExecute or a timer call
//   go to DoHandleException, which drops them unless overridden; any other
//   thrown object ends the thread and is kept as fatalException().
// - Init and wait threads start during construction. A successful
//   construction guarantees that DoBeforeExecute has completed; when it
//   raised, construction raises the very same exception object in the creator
//   and InnerExecute never runs.
// - A wait thread parks after InnerExecute (and DoAfterExecute) until it is
//   freed; an init thread ends right after its work.
// - Timer threads call DoTimer one interval after construction and then one
//   interval after the end of each call (calls never overlap); interval 0
//   means no call at all. Freeing one stops it at once unless a call runs,
//   which completes first; no call starts after the stop.
// - Waits that may block the main thread (the creator's start-up wait,
//   WaitForEx there) and a parked wait thread (in every thread) go through
//   platform::messageAwareWait, so a GUI layer's hook can deliver messages
//   sent to the waiting thread meanwhile. Without a hook they are plain waits.
// - Thread safety: the owner creates and frees; the thread runs Execute. The
//   terminated flag, the timer event and the two handshake semaphores are the
//   only shared state.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllSync.h"
#include "nxllTypes.h"
#include "plObject.h"
#include "plSync.h"
#include "plThread.h"

// ---------------------------------------------------------------------------
// Thread priorities

// TnxThreadPriority (nxllTypes.h): the operating system's thread priority
// values, -15 to 15.
inline constexpr TnxThreadPriority nxThreadPriorityMin = -15;
inline constexpr TnxThreadPriority nxThreadPriorityMax = 15;

// The identifier of a value ("IDLE", "LOWEST", "BELOW_NORMAL", "NORMAL",
// "ABOVE_NORMAL", "HIGHEST", "TIME_CRITICAL"); false for a value without one.
bool nxThreadPriorityToIdent(TnxThreadPriority aValue, nxString& aIdent);
// Identifiers compare without regard to letter case; false for an unknown one.
bool nxIdentToThreadPriority(platform::UnicodeStringView aIdent, TnxThreadPriority& aValue);
// The identifier, or the decimal number for a value without one.
nxString nxThreadPriorityToString(TnxThreadPriority aValue);
// An identifier or a decimal number; platform::ConvertError for other text,
// platform::RangeError for a number outside -15 .. 15.
TnxThreadPriority nxStringToThreadPriority(platform::UnicodeStringView aText);

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxThread, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxInternalInitThread, EnxThread)
NX_DECLARE_EXCEPTION(EnxInternalWaitThread, EnxInternalInitThread)
NX_DECLARE_EXCEPTION(EnxInitThread, EnxInternalWaitThread)

// ---------------------------------------------------------------------------
// Threads

class TnxThread : public platform::TThread {
  PL_CLASS_INFO_DECL()
 public:
  TnxThread(bool aCreateSuspended, platform::ThreadPriority aThreadPriority);

  static void* operator new(std::size_t aSize) { return TnxObject::operator new(aSize); }
  static void operator delete(void* aPointer) noexcept { TnxObject::operator delete(aPointer); }
  static void* operator new(std::size_t aSize, std::align_val_t aAlign) {
    return TnxObject::operator new(aSize, aAlign);
  }
  static void operator delete(void* aPointer, std::align_val_t aAlign) noexcept {
    TnxObject::operator delete(aPointer, aAlign);
  }

  // Names the thread after its class unless a subclass constructor named it.
  void afterConstruction() override;

  // The exception class of this thread class.
  virtual const platform::ClassInfo& ExceptionClass() const;

  // Waits until the thread has ended or aTimeout ms passed (-1: no limit);
  // message-aware in the main thread, plain elsewhere.
  void WaitForEx(std::int32_t aTimeout);

  const nxString& Name() const { return nxtName; }

 protected:
  // DoExecute inside the exception frame, then the pending message cleared.
  // (onTerminate already runs directly in the ending thread: the platform
  // thread does not hand it to the main thread.)
  void execute() override;

  virtual void DoExecute() {}
  virtual void DoHandleException(const std::exception& aException) { (void)aException; }

  nxString nxtName;
};

class TnxInternalInitThread : public TnxThread {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxInternalInitThread(platform::ThreadPriority aThreadPriority);

  // Starts the thread and waits until its start-up step is over.
  void afterConstruction() override;
  const platform::ClassInfo& ExceptionClass() const override;

 protected:
  void DoExecute() override;
  // The start-up step; its exception fails the construction.
  virtual void DoBeforeExecute() {}
  // Runs after InnerExecute, also when it raised.
  virtual void DoAfterExecute() {}
  virtual void InnerExecute() {}

 private:
  std::unique_ptr<platform::Event> itInitSemaphore;  // auto-reset: a semaphore of maximum 1
  std::exception_ptr itInitException;
};

class TnxInternalWaitThread : public TnxInternalInitThread {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxInternalWaitThread(platform::ThreadPriority aThreadPriority);

  const platform::ClassInfo& ExceptionClass() const override;
  // True once the thread parked after its work.
  bool Waiting() const { return wtWaiting.load(std::memory_order_acquire); }

 protected:
  // Parks until the object is freed.
  void DoAfterExecute() override;
  // Ends the park, then terminates and waits.
  void shutdownThread() override;
  // Lets the thread end without parking (or end the park now).
  void ReleaseWait() { wtWaitSemaphore.set(); }

 private:
  std::atomic<bool> wtWaiting{false};
  platform::Event wtWaitSemaphore{platform::Event::Kind::autoReset};
};

class TnxInitThread : public TnxInternalWaitThread {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxInitThread(platform::ThreadPriority aThreadPriority);

  // After the start-up wait, releases the park in advance: the thread ends
  // as soon as its work is done.
  void afterConstruction() override;
  const platform::ClassInfo& ExceptionClass() const override;
};

class TnxTimerThread : public TnxInitThread {
  PL_CLASS_INFO_DECL()
 public:
  TnxTimerThread(std::int32_t aInterval, platform::ThreadPriority aThreadPriority);
  ~TnxTimerThread() override;

  std::int32_t Interval() const { return ttTimerInterval; }

 protected:
  // The timer loop.
  void InnerExecute() override;
  // Marks terminated and signals the timer event before the inherited stop.
  void shutdownThread() override;
  // The timer call.
  virtual void DoTimer() = 0;

 private:
  TnxEvent* ttTimerEvent;  // owned
  std::int32_t ttTimerInterval;
};

// Notify event of a thread: the sender is the thread.
using TnxThreadNotifyEvent = TnxMethod<platform::TObject*>;

class TnxSimpleTimerThread : public TnxTimerThread {
  PL_CLASS_INFO_DECL()
 public:
  TnxSimpleTimerThread(std::int32_t aInterval, platform::ThreadPriority aThreadPriority,
                       TnxThreadNotifyEvent aCallback);

 protected:
  void DoTimer() override;

 private:
  TnxThreadNotifyEvent sttCallback;
};

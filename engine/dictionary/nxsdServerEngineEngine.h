// Engine family of the server-engine module: the base server engine, its
// monitors and the per-session call statistics. Include nxsdServerEngine.h,
// not this header.
//
// Contracts:
// - TnxBaseServerEngine owns its sessions: they link themselves into its
//   list (under bseSessionsPadlock) and stopping the engine frees them,
//   newest first. The object counters change by interlocked steps only.
// - Monitors attach as dependents of the engine; the monitor list is read
//   under the portal's read lock at every object creation and destruction
//   and written only when a monitor attaches or detaches. Only started
//   monitors hear of objects.
// - An extender joins its monitor's list, then its object's; whoever frees
//   it first (the object dying, the monitor stopping) claims it, so neither
//   side ever frees it twice or under the other.
// - TnxSessionStats: one per session when the engine asks for statistics;
//   every entry stays in a process-wide list until module finalisation. Each
//   object has its own padlock, taken by the thread inside the call and by
//   readers (Update). The statistics of the call the current thread runs are
//   a per-thread value (Current). Times are performance-counter ticks
//   (CLOCK_MONOTONIC nanoseconds); cycles are the thread's CPU time in
//   nanoseconds; the thread inside a call is kept by its id.
#pragma once

#include <atomic>
#include <cstdint>

#include "nxllList.h"
#include "nxllSyncPortal.h"
#include "plDateTime.h"
#include "nxsdServerEngineObjects.h"

class TnxAbstractDatabase;
class TnxAbstractTransContext;
class TnxAbstractCursor;
class TnxAbstractStatement;

// The server engine: opens sessions and owns them, tells its monitors of
// every extendable object, and converts exceptions for its objects.
class TnxBaseServerEngine : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractSession;
  friend class TnxAbstractDatabase;
  friend class TnxAbstractTransContext;
  friend class TnxAbstractCursor;
  friend class TnxAbstractStatement;

 public:
  explicit TnxBaseServerEngine(TnxComponent* aOwner = nullptr);
  ~TnxBaseServerEngine() override;

  // Inherited; with children a "Sessions" list read under the session
  // padlock.
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // A monitor also joins (leaves) the monitor list.
  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;
  // Inherited, then the five object counters.
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  bool UIUptimeVisible() const override { return true; }

  // The engine's exception conversion for aObject's peer version (47501
  // without an object); logs to the engine's event log.
  virtual TnxResult ConvertException(std::exception_ptr aException, TnxAbstractServerObject* aObject);
  // The class of the exceptions the engine raises for server objects.
  virtual const platform::ClassInfo& EngineExceptionClass() = 0;
  // Raises an exception of EngineExceptionClass with aCode.
  [[noreturn]] virtual void RaiseEngineException(TnxResult aCode) = 0;
  // Every started monitor's ExtendableObjectCreated (Destroyed).
  virtual void NotifyObjectCreated(TnxExtendableServerObject* aObject);
  virtual void NotifyObjectDestroyed(TnxExtendableServerObject* aObject);
  virtual platform::Guid GetServerGuid() = 0;
  virtual nxString GetServerName() = 0;
  // The end of the name-addressed lookup: "<ServerEngine>" answers the
  // engine's own instance creation; otherwise each dependent component named
  // aName (every one for an empty name) is asked until one succeeds; the
  // last answer, nxE_NOINTERFACE when none was asked.
  virtual std::int32_t CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                         const platform::Guid& aClassID, InxInterface* aOuter,
                                         const platform::Guid& aInterfaceID, void** aInterface);
  // Called when the last session leaves.
  virtual void CleanupInactive() {}
  // Sessions get statistics only when this answers True.
  virtual bool StatsEnabled() { return false; }
  virtual bool IsSecureServer() { return false; }
  // SessionOpenEx with the in-process client version 47501.
  TnxResult SessionOpen(TnxAbstractSession*& aSession, const nxString& aUserName, const nxString& aPassword,
                        const nxString& aConnectedFrom, TnxWord32 aTimeout);
  // Logs a user in and answers a new session.
  virtual TnxResult SessionOpenEx(TnxAbstractSession*& aSession, const nxString& aUserName,
                                  const nxString& aPassword, const nxString& aConnectedFrom, TnxWord32 aTimeout,
                                  std::int32_t aClientVersion) = 0;

  std::int32_t SessionCount() const { return bseSessionCount.load(std::memory_order_acquire); }
  std::int32_t DatabaseCount() const { return bseDatabaseCount.load(std::memory_order_acquire); }
  std::int32_t TransContextCount() const { return bseTransContextCount.load(std::memory_order_acquire); }
  std::int32_t CursorCount() const { return bseCursorCount.load(std::memory_order_acquire); }
  std::int32_t StatementCount() const { return bseStatementCount.load(std::memory_order_acquire); }
  platform::Guid ServerGuid() { return GetServerGuid(); }
  nxString ServerName() { return GetServerName(); }

 protected:
  // Inherited, then frees the sessions, newest first.
  void scStopping() override;

  TnxPadlock* bseSessionsPadlock = nullptr;
  TnxAbstractSession* bseSessionsHead = nullptr;
  TnxAbstractSession* bseSessionsTail = nullptr;
  TnxListPortal* bseMonitors = nullptr;
  std::atomic<std::int32_t> bseSessionCount{0};
  std::atomic<std::int32_t> bseDatabaseCount{0};
  std::atomic<std::int32_t> bseTransContextCount{0};
  std::atomic<std::int32_t> bseCursorCount{0};
  std::atomic<std::int32_t> bseStatementCount{0};

 private:
  void notifyMonitors(TnxExtendableServerObject* aObject, bool aCreated);
};

// A component watching one engine; its ExtendableObjectCreated attaches
// extenders to new objects. It depends on its engine, so it follows the
// engine's state; stopping it frees every extender it created.
class TnxBaseEngineMonitor : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
  friend class TnxBaseEngineExtender;

 public:
  explicit TnxBaseEngineMonitor(TnxComponent* aOwner = nullptr);
  ~TnxBaseEngineMonitor() override;

  // The engine announcing that it goes away clears the engine.
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;
  // EngineStopping before the engine's stopping step, EngineStarted after
  // its starting step.
  void FollowStateChange(TnxStateComponent* aComponent, bool aChanging, TnxState aOldState,
                         TnxState aNewState) override;
  bool DependsOn(TnxStateComponent* aComponent) const override;

  // Nothing when unchanged; otherwise the monitor must be inactive.
  virtual void SetServerEngine(TnxBaseServerEngine* aEngine);
  virtual void EngineStarted() {}
  virtual void EngineStopping() {}
  virtual void ExtendableObjectCreated(TnxExtendableServerObject*) {}
  virtual void ExtendableObjectDestroyed(TnxExtendableServerObject*) {}

  TnxBaseServerEngine* ServerEngine() const { return bemServerEngine; }
  std::int32_t ExtenderCount();

 protected:
  // Inherited, then frees the extenders this monitor created.
  void scStopping() override;
  // Frees every extender of this monitor, head first; waits for those that
  // their dying objects are freeing at the same time.
  void freeExtenders();

  TnxBaseServerEngine* bemServerEngine = nullptr;
  TnxPadlock* bemExtendersLock = nullptr;
  TnxBaseEngineExtender* bemExtendersHead = nullptr;
  TnxBaseEngineExtender* bemExtendersTail = nullptr;
};

// The call statistics of one session.
class TnxSessionStats : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxSessionStats(const nxString& aUserName, const nxString& aConnectedFrom);
  ~TnxSessionStats() override;
  TnxSessionStats(const TnxSessionStats&) = delete;
  TnxSessionStats& operator=(const TnxSessionStats&) = delete;

  // The statistics of the call the calling thread runs, or nil.
  static TnxSessionStats* Current();
  // The newest entry of the process-wide list.
  static TnxSessionStats* Head();
  // Adds aCount to Current's counter; nothing outside a call.
  static void Count(TnxSessionStatsCounter aCounter, std::int64_t aCount);

  // The counters as of now (a running call's time so far included, its
  // measurement restarted); sscTime in milliseconds.
  TnxSessionStatsCounters Update();

  // The session lock's first entry: starts measuring the call.
  // REQUIRES: no call of this object is running (asserted).
  virtual void CallStarted();
  // The session lock's last release: adds the call's time and cycles.
  virtual void CallEnded();
  // The session lock's destruction: ends a running call, stamps the close.
  virtual void SessionClosed();

  TnxSessionStats* Next() const { return assNext; }
  std::int32_t SessionNumber() const { return assSessionNumber; }
  platform::DateTime Started() const { return assStarted; }
  platform::DateTime Closed();
  const nxString& UserName() const { return assUserName; }
  const nxString& ConnectedFrom() const { return assConnectedFrom; }
  // The thread inside a call, 0 when none.
  std::uint32_t CurrentThread();
  platform::DateTime ExtClosed();
  TnxSessionStatsCounters ExtCounters();

 protected:
  // REQUIRES: assLock held.
  void assEndCall();
  void assAddElapsed();

  TnxPadlock* assLock = nullptr;
  TnxSessionStats* assNext = nullptr;
  std::int32_t assSessionNumber = 0;
  platform::DateTime assStarted = 0;
  platform::DateTime assClosed = 0;
  nxString assUserName;
  nxString assConnectedFrom;
  std::uint32_t assCurrentThread = 0;
  std::int64_t assEnterTime = 0;
  std::uint64_t assEnterThreadCycle = 0;
  TnxSessionStatsCounters assCounters{};
  platform::DateTime assExtClosed = 0;
  TnxSessionStatsCounters assExtCounters{};
};

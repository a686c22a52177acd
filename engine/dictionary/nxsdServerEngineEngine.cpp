#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

#include "nxllConvertException.h"
#include "plOs.h"

using namespace nxsd_server_engine_int;

PL_CLASS_INFO_IMPL(TnxBaseServerEngine, TnxStateComponent, "TnxBaseServerEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseEngineMonitor, TnxStateComponent, "TnxBaseEngineMonitor", nullptr)
PL_CLASS_INFO_IMPL(TnxSessionStats, TnxObject, "TnxSessionStats", nullptr)

// ---- Server engine ---------------------------------------------------------------

TnxBaseServerEngine::TnxBaseServerEngine(TnxComponent* aOwner) : TnxStateComponent(aOwner) {
  bseMonitors = platform::create<TnxListPortal>(platform::create<TnxSortedList>());
  bseSessionsPadlock = platform::create<TnxPadlock>();
}

TnxBaseServerEngine::~TnxBaseServerEngine() {
  platform::TObject::free(std::exchange(bseSessionsPadlock, nullptr));
  platform::TObject::free(std::exchange(bseMonitors, nullptr));
}

void TnxBaseServerEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                       bool aIncludeChildren) {
  TnxStateComponent::AddDebugInfo(aContainer, aIncludeChildren);
  if (!aIncludeChildren) return;
  TnxIntfPtr<InxExceptionDataContainer> sessions = aContainer->AddContainer(u"Sessions");
  TnxPadlockGuard guard(*bseSessionsPadlock);
  int i = 0;
  for (TnxAbstractSession* session = bseSessionsHead; session; session = session->asServerEngineNext, ++i)
    sessions->AddObject(platform::format(u"[%d]", {i}), session, aIncludeChildren);
}

void TnxBaseServerEngine::AddDependent(TnxComponent* aComponent) {
  TnxStateComponent::AddDependent(aComponent);
  if (aComponent && aComponent->inheritsFrom(TnxBaseEngineMonitor::staticClassInfo())) {
    TnxListSyncAccess::WriteGuard list(*bseMonitors);
    if (list->IndexOf(aComponent) < 0) list->Add(aComponent);
  }
}

void TnxBaseServerEngine::RemoveDependent(TnxComponent* aComponent) {
  TnxStateComponent::RemoveDependent(aComponent);
  if (aComponent && aComponent->inheritsFrom(TnxBaseEngineMonitor::staticClassInfo()) && bseMonitors) {
    TnxListSyncAccess::WriteGuard list(*bseMonitors);
    list->Remove(aComponent);
  }
}

void TnxBaseServerEngine::GetStatsCaptions(platform::TStringList& aList) const {
  TnxStateComponent::GetStatsCaptions(aList);
  aList.add(u"Sessions");
  aList.add(u"Databases");
  aList.add(u"Transaction Contexts");
  aList.add(u"Cursors");
  aList.add(u"Statements");
}

void TnxBaseServerEngine::GetStatsValues(platform::TStringList& aList) const {
  TnxStateComponent::GetStatsValues(aList);
  aList.add(nxFormatInt64(SessionCount()));
  aList.add(nxFormatInt64(DatabaseCount()));
  aList.add(nxFormatInt64(TransContextCount()));
  aList.add(nxFormatInt64(CursorCount()));
  aList.add(nxFormatInt64(StatementCount()));
}

void TnxBaseServerEngine::scStopping() {
  TnxStateComponent::scStopping();
  TnxPadlockGuard guard(*bseSessionsPadlock);
  for (;;) {
    // A session already on its way out (released by a call still running
    // on it) unlinks itself when it goes.
    TnxAbstractSession* session = bseSessionsTail;
    while (session && session->Destroying()) session = session->asServerEnginePrev;
    if (!session) break;
    TnxAbstractServerObject::Free(session);
  }
}

TnxResult TnxBaseServerEngine::ConvertException(std::exception_ptr aException, TnxAbstractServerObject* aObject) {
  return nxConvertException(aException, EventLog(), aObject, aObject ? aObject->MinVersion() : kInProcessVersion);
}

void TnxBaseServerEngine::notifyMonitors(TnxExtendableServerObject* aObject, bool aCreated) {
  TnxListSyncAccess::ReadGuard list(*bseMonitors);
  for (std::int32_t i = 0; i < list->Count(); ++i) {
    auto* monitor = static_cast<TnxBaseEngineMonitor*>(list->Items(i));
    if (monitor->State() != nxsStarted) continue;
    if (aCreated)
      monitor->ExtendableObjectCreated(aObject);
    else
      monitor->ExtendableObjectDestroyed(aObject);
  }
}

void TnxBaseServerEngine::NotifyObjectCreated(TnxExtendableServerObject* aObject) { notifyMonitors(aObject, true); }

void TnxBaseServerEngine::NotifyObjectDestroyed(TnxExtendableServerObject* aObject) {
  notifyMonitors(aObject, false);
}

std::int32_t TnxBaseServerEngine::CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                                    const platform::Guid& aClassID, InxInterface* aOuter,
                                                    const platform::Guid& aInterfaceID, void** aInterface) {
  clearOut(aInterface);
  InxInterface* session = aSession ? static_cast<InxAbstractServerObject41100*>(aSession) : nullptr;
  if (platform::sameTextAscii(aName, u"<ServerEngine>"))
    return nxcCreateInstance(session, aClassID, aOuter, aInterfaceID, aInterface);
  std::int32_t result = nxE_NOINTERFACE;
  TnxIterationListPtr components = IterateDependents();
  for (std::int32_t i = 0; i < components->Count(); ++i) {
    TnxComponent* component = components->Items(i);
    if (component == this) continue;
    if (!aName.empty() && !platform::sameTextAscii(component->Name(), aName)) continue;
    result = component->nxcCreateInstance(session, aClassID, aOuter, aInterfaceID, aInterface);
    if (result == nxS_OK) break;
  }
  return result;
}

TnxResult TnxBaseServerEngine::SessionOpen(TnxAbstractSession*& aSession, const nxString& aUserName,
                                           const nxString& aPassword, const nxString& aConnectedFrom,
                                           TnxWord32 aTimeout) {
  return SessionOpenEx(aSession, aUserName, aPassword, aConnectedFrom, aTimeout, kInProcessVersion);
}

// ---- Monitors --------------------------------------------------------------------

TnxBaseEngineMonitor::TnxBaseEngineMonitor(TnxComponent* aOwner) : TnxStateComponent(aOwner) {
  bemExtendersLock = platform::create<TnxPadlock>();
}

TnxBaseEngineMonitor::~TnxBaseEngineMonitor() {
  freeExtenders();
  platform::TObject::free(std::exchange(bemExtendersLock, nullptr));
}

void TnxBaseEngineMonitor::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxStateComponent::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == bemServerEngine) bemServerEngine = nullptr;
}

void TnxBaseEngineMonitor::FollowStateChange(TnxStateComponent* aComponent, bool aChanging, TnxState aOldState,
                                             TnxState aNewState) {
  const bool ours = aComponent && aComponent == bemServerEngine && aOldState <= nxsStarted &&
                    aNewState <= nxsStarted;
  const TnxStateTransition transition = ours ? nxStateTransitions[aOldState][aNewState] : nxstNone;
  if (transition == nxstStopping && aChanging) EngineStopping();
  TnxStateComponent::FollowStateChange(aComponent, aChanging, aOldState, aNewState);
  if (transition == nxstStarting && !aChanging) EngineStarted();
}

bool TnxBaseEngineMonitor::DependsOn(TnxStateComponent* aComponent) const {
  if (aComponent && aComponent == bemServerEngine) return true;
  return TnxStateComponent::DependsOn(aComponent);
}

void TnxBaseEngineMonitor::SetServerEngine(TnxBaseServerEngine* aEngine) {
  if (aEngine == bemServerEngine) return;
  CheckInactive();
  if (bemServerEngine) UnlinkDependent(bemServerEngine);
  bemServerEngine = nullptr;
  if (aEngine) {
    LinkDependent(aEngine);
    bemServerEngine = aEngine;
  }
}

std::int32_t TnxBaseEngineMonitor::ExtenderCount() {
  TnxPadlockGuard guard(*bemExtendersLock);
  std::int32_t count = 0;
  for (TnxBaseEngineExtender* extender = bemExtendersHead; extender; extender = extender->beeMonitorNext) ++count;
  return count;
}

void TnxBaseEngineMonitor::scStopping() {
  TnxStateComponent::scStopping();
  freeExtenders();
}

void TnxBaseEngineMonitor::freeExtenders() {
  if (!bemExtendersLock) return;
  for (;;) {
    TnxBaseEngineExtender* extender = nullptr;
    bool othersLeft = false;
    {
      TnxPadlockGuard guard(*bemExtendersLock);
      for (TnxBaseEngineExtender* e = bemExtendersHead; e; e = e->beeMonitorNext) {
        if (e->beeClaim()) {
          extender = e;
          break;
        }
        othersLeft = true;
      }
      if (extender) extender->beeUnlinkFromMonitor();
    }
    if (extender) {
      extender->beeDetachFromObject();
      platform::TObject::free(extender);
      continue;
    }
    // The rest is being freed by its dying objects; they unlink from this
    // monitor's list under its lock, which must outlive them.
    if (!othersLeft) return;
    platform::sleepMs(1);
  }
}

// ---- Session statistics ---------------------------------------------------------

namespace {

thread_local TnxSessionStats* tCurrentStats = nullptr;

std::atomic<TnxPadlock*> gStatsListLock{nullptr};
TnxSessionStats* gStatsHead = nullptr;  // under gStatsListLock
std::int32_t gNextSessionNumber = 0;    // under gStatsListLock

std::int64_t ticksToMs(std::int64_t aTicks) {
  const std::int64_t perMs = platform::performanceFrequency() / 1000;
  return perMs > 0 ? aTicks / perMs : aTicks;
}

}  // namespace

TnxSessionStats::TnxSessionStats(const nxString& aUserName, const nxString& aConnectedFrom)
    : assStarted(platform::now()), assUserName(aUserName), assConnectedFrom(aConnectedFrom) {
  assLock = platform::create<TnxPadlock>();
  TnxPadlockGuard guard(TnxPadlock::CreateAndLock(gStatsListLock), std::adopt_lock);
  assSessionNumber = gNextSessionNumber++;
  assNext = gStatsHead;
  gStatsHead = this;
}

TnxSessionStats::~TnxSessionStats() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
  platform::TObject::free(std::exchange(assLock, nullptr));
}

TnxSessionStats* TnxSessionStats::Current() { return tCurrentStats; }

TnxSessionStats* TnxSessionStats::Head() {
  TnxPadlockGuard guard(TnxPadlock::CreateAndLock(gStatsListLock), std::adopt_lock);
  return gStatsHead;
}

void TnxSessionStats::Count(TnxSessionStatsCounter aCounter, std::int64_t aCount) {
  TnxSessionStats* stats = tCurrentStats;
  if (!stats || static_cast<int>(aCounter) >= nxSessionStatsCounterCount) return;
  TnxPadlockGuard guard(*stats->assLock);
  stats->assCounters[aCounter] += aCount;
}

void TnxSessionStats::assAddElapsed() {
  const std::int64_t now = platform::performanceCounter();
  const std::uint64_t cycles = platform::threadCpuTimeNs(assCurrentThread);
  assCounters[sscTime] += now - assEnterTime;
  if (cycles >= assEnterThreadCycle) assCounters[sscCycles] += static_cast<std::int64_t>(cycles - assEnterThreadCycle);
  assEnterTime = now;
  assEnterThreadCycle = cycles;
}

void TnxSessionStats::assEndCall() {
  if (assCurrentThread == 0) return;
  assAddElapsed();
  assEnterTime = 0;
  assEnterThreadCycle = 0;
  assCurrentThread = 0;
}

void TnxSessionStats::CallStarted() {
  TnxPadlockGuard guard(*assLock);
  if (assClosed != 0) return;
  nxAssert(assCurrentThread == 0, "Session statistics: a call is already running");
  assCurrentThread = platform::currentThreadId();
  assEnterThreadCycle = platform::threadCpuTimeNs(assCurrentThread);
  assEnterTime = platform::performanceCounter();
  ++assCounters[sscCalls];
  tCurrentStats = this;
}

void TnxSessionStats::CallEnded() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
  TnxPadlockGuard guard(*assLock);
  if (assClosed != 0) return;
  assEndCall();
}

void TnxSessionStats::SessionClosed() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
  TnxPadlockGuard guard(*assLock);
  if (assClosed != 0) return;
  assEndCall();
  assClosed = platform::now();
}

TnxSessionStatsCounters TnxSessionStats::Update() {
  TnxPadlockGuard guard(*assLock);
  if (assCurrentThread != 0) assAddElapsed();
  assExtClosed = assClosed;
  TnxSessionStatsCounters result = assCounters;
  result[sscTime] = ticksToMs(result[sscTime]);
  assExtCounters = result;
  return result;
}

platform::DateTime TnxSessionStats::Closed() {
  TnxPadlockGuard guard(*assLock);
  return assClosed;
}

std::uint32_t TnxSessionStats::CurrentThread() {
  TnxPadlockGuard guard(*assLock);
  return assCurrentThread;
}

platform::DateTime TnxSessionStats::ExtClosed() {
  TnxPadlockGuard guard(*assLock);
  return assExtClosed;
}

TnxSessionStatsCounters TnxSessionStats::ExtCounters() {
  TnxPadlockGuard guard(*assLock);
  return assExtCounters;
}

void nxsdSessionStatsFreeAll() {
  TnxPadlock* lock = gStatsListLock.exchange(nullptr);
  TnxSessionStats* stats = std::exchange(gStatsHead, nullptr);
  while (stats) platform::TObject::free(std::exchange(stats, stats->Next()));
  platform::TObject::free(lock);
}

#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

using namespace nxsd_server_engine_int;

#include "nxllBde.h"
#include "nxllConvertException.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxAbstractServerObject, TnxLifetimeTrackedPersistent, "TnxAbstractServerObject", nullptr)
PL_CLASS_INFO_IMPL(TnxExtendableServerObject, TnxAbstractServerObject, "TnxExtendableServerObject", nullptr)
PL_CLASS_INFO_IMPL(TnxLockedOptionsExtendableServerObject, TnxExtendableServerObject,
                   "TnxLockedOptionsExtendableServerObject", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseEngineExtender, TnxLifetimeTrackedPersistent, "TnxBaseEngineExtender", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractTaskInfo, TnxExtendableServerObject, "TnxAbstractTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxSqlAbstractTaskInfo, TnxAbstractTaskInfo, "TnxSqlAbstractTaskInfo", nullptr)

namespace {

// Kind tag of server object handles in the process's handle table.
const char kServerObjectHandleKind = 0;

}  // namespace


TnxAbstractServerObject::TnxAbstractServerObject(TnxAbstractSession* aSession) : asoSession(aSession) {
  asoHandle = nxHandleTable().Add(this, &kServerObjectHandleKind);
}

TnxAbstractServerObject::~TnxAbstractServerObject() {
  // Also reached without beforeDestruction when construction failed.
  if (asoHandle) nxHandleTable().Remove(std::exchange(asoHandle, 0), &kServerObjectHandleKind);
  asoSession = nullptr;
}

std::int32_t TnxAbstractServerObject::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxAbstractServerObject41100::IID) {
    *aObj = static_cast<InxAbstractServerObject41100*>(this);
    return nxS_OK;
  }
  return TnxLifetimeTrackedPersistent::QueryInterface(aIID, aObj);
}

void TnxAbstractServerObject::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                           bool aIncludeChildren) {
  TnxLifetimeTrackedPersistent::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddBoolean(u"Destroying", Destroying());
}

TnxBaseID TnxAbstractServerObject::GetRemoteID() { return asoHandle; }

std::int32_t TnxAbstractServerObject::GetMinVersion() {
  if (asoSession) return asoSession->GetMinVersion();
  return nxGetThreadVersion();
}

std::int32_t TnxAbstractServerObject::CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface*,
                                                              const platform::Guid& aInterfaceID,
                                                              void** aInterface) {
  clearOut(aInterface);
  if (aClassID == nxServerObjectSelfClassID) return QueryInterface(aInterfaceID, aInterface);
  return nxE_NOINTERFACE;
}

TnxResult TnxAbstractServerObject::asoConvertException(std::exception_ptr aException) {
  if (TnxBaseServerEngine* engine = GetServerEngine()) return engine->ConvertException(aException, this);
  return nxConvertException(aException, nullptr, this, 0);
}

TnxAbstractSession* TnxAbstractServerObject::asoSessionOrSelf() {
  if (asoSession) return asoSession;
  if (inheritsFrom(TnxAbstractSession::staticClassInfo())) return static_cast<TnxAbstractSession*>(this);
  return nullptr;
}

std::int32_t TnxAbstractServerObject::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                        InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                        void** aInterface) {
  clearOut(aInterface);
  nxString head, rest;
  splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, kSelf)) {
    if (platform::sameTextAscii(rest, kSelf))
      return CreateInstanceByClassID(aClassID, aOuter, aInterfaceID, aInterface);
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  if (platform::sameTextAscii(head, u"<Session>")) {
    TnxAbstractSession* session = asoSessionOrSelf();
    if (!session) return nxE_NOINTERFACE;
    return session->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  TnxBaseServerEngine* engine = GetServerEngine();
  if (!engine) return nxE_NOINTERFACE;
  return engine->CreateInstanceFor(asoSessionOrSelf(), aName, aClassID, aOuter, aInterfaceID, aInterface);
}

TnxResult TnxAbstractServerObject::LookupByID(const platform::ClassInfo& aClass, TnxSessionID aSessionID,
                                              TnxBaseID aBaseID, TnxServerObjectCall& aCall,
                                              TnxAbstractServerObject*& aBase) {
  aBase = nullptr;
  aCall = TnxServerObjectCall();
  // One step under the table's lock: a Free on another thread removes the
  // handle under the same lock before it looks at the calls, so it either
  // comes first (not found) or sees this call and leaves the release to it.
  TnxAbstractServerObject* object = nullptr;
  if (!nxHandleTable().LookupAndTake(aBaseID, &kServerObjectHandleKind, [&](void* aObject) {
        object = static_cast<TnxAbstractServerObject*>(aObject);
        object->asoCallState.fetch_add(kCallUnit);
        return true;
      }))
    return nxErrInvalidHandle;
  TnxServerObjectCall call(object, TnxServerObjectCall::AlreadyCounted{});
  if (!object->inheritsFrom(aClass) || object->Destroying()) return nxErrInvalidHandle;
  const TnxSessionID sessionID = object->asoSession ? object->asoSession->GetRemoteID() : 0;
  if (sessionID != aSessionID) return nxErrInvalidHandle;
  aCall = std::move(call);
  aBase = object;
  return 0;
}

TnxResult TnxAbstractServerObject::Close(TnxAbstractServerObject* aObject) {
  if (!aObject) return 0;
  if (aObject->Destroying()) return nxErrReentered;
  return aObject->asoClose();
}

TnxResult TnxAbstractServerObject::asoClose() {
  TnxBaseServerEngine* engine = GetServerEngine();
  try {
    Free(this);
  } catch (...) {
    if (engine) return engine->ConvertException(std::current_exception(), nullptr);
    return nxConvertException(std::current_exception(), nullptr, nullptr, kInProcessVersion);
  }
  return 0;
}

void TnxAbstractServerObject::Free(TnxAbstractServerObject* aObject) {
  if (!aObject) return;
  // One releaser only, however many ask at once.
  if (aObject->asoDestroying.exchange(true, std::memory_order_acq_rel)) return;
  aObject->asoMarkDestroying();
  std::uint32_t state = aObject->asoCallState.load();
  while (state >= kCallUnit) {
    // Calls on the object are still running: the last one releases it.
    if (aObject->asoCallState.compare_exchange_weak(state, state | kFreePending)) return;
  }
  platform::TObject::free(aObject);
}

void TnxAbstractServerObject::asoMarkDestroying() {
  asoDestroying.store(true, std::memory_order_release);
  if (asoDestroyFlag) *asoDestroyFlag = true;
  // From now on a client's id no longer reaches the object.
  if (asoHandle) nxHandleTable().Remove(std::exchange(asoHandle, 0), &kServerObjectHandleKind);
}

void TnxAbstractServerObject::beforeDestruction() {
  asoMarkDestroying();
  // The destruction steps call out; the object must not be released under
  // them even when someone frees it from inside.
  {
    TnxServerObjectCall call(this);
    asoDestroyStarted();
    PrepareDestroy();
  }
  TnxLifetimeTrackedPersistent::beforeDestruction();
}

nxString TnxAbstractServerObject::GetEncodedExceptionData(bool aIncludeChildren) {
  TnxDynObjectArray related;
  if (TnxBaseServerEngine* engine = GetServerEngine()) related.push_back(engine);
  auto container = nxCreateExceptionDataContainer(u"ExceptionData", this, related);
  AddDebugInfo(container, aIncludeChildren);
  return container->ToTransportString(nxGetThreadMinVersion());
}

TnxServerObjectCall::TnxServerObjectCall(TnxAbstractServerObject* aObject) : object_(aObject) {
  object_->asoCallState.fetch_add(TnxAbstractServerObject::kCallUnit);
}

void TnxServerObjectCall::End() noexcept {
  TnxAbstractServerObject* object = std::exchange(object_, nullptr);
  if (!object) return;
  std::uint32_t state = object->asoCallState.fetch_sub(TnxAbstractServerObject::kCallUnit) -
                        TnxAbstractServerObject::kCallUnit;
  if (state == TnxAbstractServerObject::kFreePending &&
      object->asoCallState.compare_exchange_strong(state, 0)) {
    try {
      platform::TObject::free(object);
    } catch (...) {
      // The close that asked for this already answered its caller; nobody is
      // left to hear of the failure.
    }
  }
}

// ---- Extendable server objects ------------------------------------------------

namespace {

TnxAbstractSession* sessionOfParent(TnxExtendableServerObject* aParent) {
  if (!aParent) return nullptr;
  if (aParent->inheritsFrom(TnxAbstractSession::staticClassInfo())) return static_cast<TnxAbstractSession*>(aParent);
  return aParent->Session();
}

}  // namespace

TnxExtendableServerObject::TnxExtendableServerObject(TnxExtendableServerObject* aParent)
    : TnxAbstractServerObject(sessionOfParent(aParent)), esoParent(aParent) {}

TnxExtendableServerObject::~TnxExtendableServerObject() {
  // The padlock itself goes with the object.
  if (TnxPadlock* lock = esoExtendersLock.Peek()) {
    for (;;) {
      TnxBaseEngineExtender* extender = nullptr;
      bool othersLeft = false;
      {
        TnxPadlockGuard guard(*lock);
        for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
          if (e->beeClaim()) {
            extender = e;
            break;
          }
          othersLeft = true;
        }
        if (extender) extender->beeUnlinkFromObject();
      }
      if (extender) {
        extender->beeDetachFromMonitor();
        platform::TObject::free(extender);
        continue;
      }
      // The rest is being freed by its stopping monitor, which unlinks it
      // from this object under the lock that must outlive it.
      if (!othersLeft) break;
      platform::sleepMs(1);
    }
  }
  if (TnxBaseServerEngine* engine = std::exchange(esoAnnouncedTo, nullptr)) engine->NotifyObjectDestroyed(this);
  platform::TObject::free(std::exchange(esoOptions, nullptr));
}

void TnxExtendableServerObject::afterConstruction() {
  TnxAbstractServerObject::afterConstruction();
  TnxBaseServerEngine* engine = GetServerEngine();
  TnxResult result = 0;
  bool closed;
  {
    // Monitors and extenders may close the new object from their callbacks;
    // it must not go away under the constructor's caller.
    TnxServerObjectCall call(this);
    if (engine && esoAnnounceToMonitors()) {
      esoAnnouncedTo = engine;
      engine->NotifyObjectCreated(this);
    }
    if (esoParent) {
      const platform::FormatArg args[] = {static_cast<const void*>(this)};
      result = esoParent->NotifyExtenders(eaChildCreate, false, args);
    }
    if (result == 0) result = NotifyExtenders(eaCreate, false, {});
    closed = call.ObjectClosed();
    // Construction fails below; the failed construction disposes of the
    // object, not the deferred close.
    asoCallState.fetch_and(~kFreePending);
  }
  if (result == 0 && closed) result = nxErrReentered;
  if (result != 0) {
    if (engine) engine->RaiseEngineException(result);
    throw EnxBaseException(result);
  }
}

void TnxExtendableServerObject::asoDestroyStarted() {
  NotifyExtenders(eaDestroy, true, {});
  if (esoParent) {
    const platform::FormatArg args[] = {static_cast<const void*>(this)};
    esoParent->NotifyExtenders(eaChildDestroy, true, args);
  }
}

void TnxExtendableServerObject::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                             bool aIncludeChildren) {
  TnxAbstractServerObject::AddDebugInfo(aContainer, aIncludeChildren);
  platform::TStringList options;
  esoOptionList(options);  // under the options padlock where there is one
  aContainer->AddObject(u"Options", &options, aIncludeChildren);
}

void TnxExtendableServerObject::PrepareDestroy() {
  TnxAbstractServerObject::PrepareDestroy();
  TnxPadlock* lock = esoExtendersLock.Peek();
  if (!lock) return;
  TnxPadlockGuard guard(*lock);
  for (TnxBaseEngineExtender* extender = esoExtendersHead; extender; extender = extender->beeExtendableObjectNext) {
    try {
      extender->PrepareDestroy();
    } catch (...) {
      asoConvertException(std::current_exception());
    }
  }
}

std::int32_t TnxExtendableServerObject::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                          InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                          void** aInterface) {
  if (platform::sameTextAscii(aName, u"<Extenders>")) {
    clearOut(aInterface);
    return esoCreateInstanceByExtenders(aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TnxAbstractServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

TnxBaseServerEngine* TnxExtendableServerObject::GetServerEngine() {
  return esoParent ? esoParent->GetServerEngine() : nullptr;
}

TnxResult TnxExtendableServerObject::esoOptionClear(const nxString& aName) {
  const int index = esoOptions ? esoOptions->indexOfName(aName) : -1;
  if (index < 0) return nxErrObjectNotFound;
  esoOptions->deleteAt(index);
  if (esoOptions->empty()) platform::TObject::free(std::exchange(esoOptions, nullptr));
  esoOptionChanged(aName, nxString());
  return 0;
}

TnxResult TnxExtendableServerObject::esoOptionSet(const nxString& aName, const nxString& aValue) {
  if (!esoOptions) esoOptions = platform::create<platform::TStringList>();
  esoOptions->setValue(aName, aValue);
  esoOptionChanged(aName, aValue);
  return 0;
}

void TnxExtendableServerObject::esoOptionChanged(const nxString&, const nxString&) {}

TnxResult TnxExtendableServerObject::esoOptionGet(const nxString& aName, nxString& aValue) {
  const int index = esoOptions ? esoOptions->indexOfName(aName) : -1;
  if (index < 0) return nxErrObjectNotFound;
  aValue = esoOptions->valueFromIndex(index);
  return 0;
}

TnxResult TnxExtendableServerObject::esoOptionGetParent(const nxString& aName, nxString& aValue) {
  TnxExtendableServerObject* parent = esoGetParent();
  if (!parent) return nxErrObjectNotFound;
  return parent->esoOptionGetEffective(aName, aValue);
}

TnxResult TnxExtendableServerObject::esoOptionGetEffective(const nxString& aName, nxString& aValue) {
  const TnxResult result = esoOptionGet(aName, aValue);
  if (result != nxErrObjectNotFound) return result;
  return esoOptionGetParent(aName, aValue);
}

TnxResult TnxExtendableServerObject::esoOptionList(platform::TStringList& aList) {
  aList.clear();
  if (esoOptions)
    for (int i = 0; i < esoOptions->count(); ++i) aList.add(esoOptions->strings(i));
  return 0;
}

TnxResult TnxExtendableServerObject::esoOptionListParent(platform::TStringList& aList) {
  TnxExtendableServerObject* parent = esoGetParent();
  if (!parent) return 0;
  return parent->esoOptionList(aList);
}

TnxResult TnxExtendableServerObject::esoOptionListEffective(platform::TStringList& aList) {
  TnxResult result = esoOptionList(aList);
  if (result != 0) return result;
  platform::TStringList parentList;
  result = esoOptionListParent(parentList);
  if (result != 0) return result;
  return esoOptionListMerge(aList, parentList);
}

TnxResult TnxExtendableServerObject::esoOptionListMerge(platform::TStringList& aTarget,
                                                        const platform::TStringList& aSource) {
  for (int i = 0; i < aSource.count(); ++i) {
    const nxString value = aSource.valueFromIndex(i);
    if (value.empty()) continue;
    const nxString name = aSource.names(i);
    if (aTarget.indexOfName(name) < 0) aTarget.add(name + u"=" + value);
  }
  return 0;
}

std::int32_t TnxExtendableServerObject::esoCreateInstanceByExtenders(const platform::Guid& aClassID,
                                                                     InxInterface* aOuter,
                                                                     const platform::Guid& aInterfaceID,
                                                                     void** aInterface) {
  clearOut(aInterface);
  TnxPadlock* lock = esoExtendersLock.Peek();
  if (!lock) return nxE_NOINTERFACE;
  TnxPadlockGuard guard(*lock);
  for (TnxBaseEngineExtender* extender = esoExtendersHead; extender; extender = extender->beeExtendableObjectNext)
    if (extender->CreateInstanceByClassID(aClassID, aOuter, aInterfaceID, aInterface) == nxS_OK) return nxS_OK;
  return nxE_NOINTERFACE;
}

TnxResult TnxExtendableServerObject::callExtender(TnxBaseEngineExtender* aExtender, TnxEngineAction aAction,
                                                  bool aBefore, TnxEngineArgs aArgs) {
  try {
    return aExtender->Notify(aAction, aBefore, aArgs);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxExtendableServerObject::NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  if (static_cast<int>(aAction) > nxEngineActionMax || !esoExtendersActions.contains(aAction)) return 0;
  TnxPadlock* lock = esoExtendersLock.Peek();
  if (!lock || !esoExtendersHead) return 0;
  // An extender may close this object; it stays in memory until the walk and
  // the unlock are done.
  TnxServerObjectCall call(this);
  TnxResult result = 0;
  try {
    TnxPadlockGuard guard(*lock);
    for (TnxBaseEngineExtender* extender = esoExtendersHead; extender && result == 0;
         extender = extender->beeExtendableObjectNext)
      if (extender->beeActions.contains(aAction)) result = callExtender(extender, aAction, aBefore, aArgs);
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  return result;
}

TnxResult TnxExtendableServerObject::OptionGet(const nxString& aName, nxString& aValue) {
  aValue.clear();
  return esoOptionGet(aName, aValue);
}

TnxResult TnxExtendableServerObject::OptionGetEffective(const nxString& aName, nxString& aValue) {
  aValue.clear();
  return esoOptionGetEffective(aName, aValue);
}

void TnxExtendableServerObject::BeginIgnoreSecurity() { esoIgnoreSecurity.fetch_add(1, std::memory_order_acq_rel); }

void TnxExtendableServerObject::EndIgnoreSecurity() { esoIgnoreSecurity.fetch_sub(1, std::memory_order_acq_rel); }

bool TnxExtendableServerObject::IgnoreSecurity() {
  if (esoIgnoreSecurity.load(std::memory_order_acquire) >= 1) return true;
  TnxExtendableServerObject* parent = esoGetParent();
  return parent && parent->IgnoreSecurity();
}

TnxResult TnxExtendableServerObject::notifyThunk(void* aTarget, TnxEngineAction aAction, bool aBefore,
                                                 TnxEngineArgs aArgs) {
  return static_cast<TnxExtendableServerObject*>(aTarget)->NotifyExtenders(aAction, aBefore, aArgs);
}

namespace {

TnxResult extenderNotifyThunk(void* aTarget, TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  return static_cast<TnxBaseEngineExtender*>(aTarget)->Notify(aAction, aBefore, aArgs);
}

}  // namespace

TnxEngineNotify TnxExtendableServerObject::GetNotifyFor(TnxEngineAction aAction) {
  if (static_cast<int>(aAction) > nxEngineActionMax || !esoExtendersActions.contains(aAction)) return {};
  TnxPadlock* lock = esoExtendersLock.Peek();
  if (!lock) return {};
  TnxPadlockGuard guard(*lock);
  TnxBaseEngineExtender* found = nullptr;
  for (TnxBaseEngineExtender* extender = esoExtendersHead; extender; extender = extender->beeExtendableObjectNext) {
    if (!extender->beeActions.contains(aAction)) continue;
    if (found) return TnxEngineNotify(this, &notifyThunk);
    found = extender;
  }
  if (!found) return {};
  return TnxEngineNotify(found, &extenderNotifyThunk);
}

TnxBaseEngineExtender* TnxExtendableServerObject::GetExtenderOfType(const platform::ClassInfo& aClass) {
  TnxPadlock* lock = esoExtendersLock.Peek();
  if (!lock) return nullptr;
  TnxPadlockGuard guard(*lock);
  for (TnxBaseEngineExtender* extender = esoExtendersHead; extender; extender = extender->beeExtendableObjectNext)
    if (extender->inheritsFrom(aClass)) return extender;
  return nullptr;
}

// ---- Locked options -------------------------------------------------------------

// The options padlock goes with the object.
TnxLockedOptionsExtendableServerObject::~TnxLockedOptionsExtendableServerObject() = default;

TnxResult TnxLockedOptionsExtendableServerObject::esoOptionClear(const nxString& aName) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionClear(aName);
}

TnxResult TnxLockedOptionsExtendableServerObject::esoOptionSet(const nxString& aName, const nxString& aValue) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionSet(aName, aValue);
}

TnxResult TnxLockedOptionsExtendableServerObject::esoOptionGet(const nxString& aName, nxString& aValue) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionGet(aName, aValue);
}

TnxResult TnxLockedOptionsExtendableServerObject::esoOptionList(platform::TStringList& aList) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionList(aList);
}

// ---- Extenders -------------------------------------------------------------------

TnxBaseEngineExtender::TnxBaseEngineExtender(TnxBaseEngineMonitor* aMonitor,
                                             TnxExtendableServerObject* aExtendableObject, TnxEngineActions aActions)
    : beeMonitor(aMonitor), beeExtendableObject(aExtendableObject), beeActions(aActions) {
  if (beeActions.empty()) beeActions = allActionsButFulltext();
  // The monitor's list first, then the object's.
  if (beeMonitor) {
    TnxPadlockGuard guard(*beeMonitor->bemExtendersLock);
    beeMonitorPrev = beeMonitor->bemExtendersTail;
    if (beeMonitorPrev)
      beeMonitorPrev->beeMonitorNext = this;
    else
      beeMonitor->bemExtendersHead = this;
    beeMonitor->bemExtendersTail = this;
  }
  if (!beeExtendableObject) return;
  TnxPadlockGuard guard(beeExtendableObject->esoExtendersLock);
  beeExtendableObjectPrev = beeExtendableObject->esoExtendersTail;
  if (beeExtendableObjectPrev)
    beeExtendableObjectPrev->beeExtendableObjectNext = this;
  else
    beeExtendableObject->esoExtendersHead = this;
  beeExtendableObject->esoExtendersTail = this;
  for (int a = 0; a < nxEngineActionCount; ++a)
    if (beeActions.contains(static_cast<TnxEngineAction>(a)))
      beeExtendableObject->esoExtendersActions.include(static_cast<TnxEngineAction>(a));
}

// An extender freed by its own caller (neither its object nor its monitor
// freeing it) leaves both lists here.
TnxBaseEngineExtender::~TnxBaseEngineExtender() {
  beeDetachFromObject();
  beeDetachFromMonitor();
}

void TnxBaseEngineExtender::beeUnlinkFromObject() {
  TnxExtendableServerObject* object = std::exchange(beeExtendableObject, nullptr);
  if (!object) return;
  if (beeExtendableObjectPrev)
    beeExtendableObjectPrev->beeExtendableObjectNext = beeExtendableObjectNext;
  else
    object->esoExtendersHead = beeExtendableObjectNext;
  if (beeExtendableObjectNext)
    beeExtendableObjectNext->beeExtendableObjectPrev = beeExtendableObjectPrev;
  else
    object->esoExtendersTail = beeExtendableObjectPrev;
  beeExtendableObjectPrev = beeExtendableObjectNext = nullptr;
}

void TnxBaseEngineExtender::beeDetachFromMonitor() {
  if (!beeMonitor || !beeMonitor->bemExtendersLock) return;
  TnxPadlockGuard guard(*beeMonitor->bemExtendersLock);
  beeUnlinkFromMonitor();
}

void TnxBaseEngineExtender::beeDetachFromObject() {
  if (!beeExtendableObject) return;
  TnxPadlock* lock = beeExtendableObject->esoExtendersLock.Peek();
  if (!lock) return;
  TnxPadlockGuard guard(*lock);
  beeUnlinkFromObject();
}

void TnxBaseEngineExtender::beeUnlinkFromMonitor() {
  TnxBaseEngineMonitor* monitor = std::exchange(beeMonitor, nullptr);
  if (!monitor) return;
  if (beeMonitorPrev)
    beeMonitorPrev->beeMonitorNext = beeMonitorNext;
  else
    monitor->bemExtendersHead = beeMonitorNext;
  if (beeMonitorNext)
    beeMonitorNext->beeMonitorPrev = beeMonitorPrev;
  else
    monitor->bemExtendersTail = beeMonitorPrev;
  beeMonitorPrev = beeMonitorNext = nullptr;
}

void TnxBaseEngineExtender::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                         bool aIncludeChildren) {
  TnxLifetimeTrackedPersistent::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Monitor", beeMonitor, aIncludeChildren);
  aContainer->AddObject(u"ExtendableObject", beeExtendableObject, aIncludeChildren);
}

std::int32_t TnxBaseEngineExtender::CreateInstanceByClassID(const platform::Guid&, InxInterface*,
                                                            const platform::Guid&, void** aInterface) {
  clearOut(aInterface);
  return nxE_NOINTERFACE;
}

// ---- Task handles ----------------------------------------------------------------

TnxAbstractTaskInfo::TnxAbstractTaskInfo(TnxAbstractSession* aSession) : TnxExtendableServerObject(aSession) {
  if (!aSession) return;
  TnxPadlockGuard guard(*aSession->asTaskInfosPadlock);
  atiSessionPrev = aSession->asTaskInfosTail;
  if (atiSessionPrev)
    atiSessionPrev->atiSessionNext = this;
  else
    aSession->asTaskInfosHead = this;
  aSession->asTaskInfosTail = this;
}

TnxAbstractTaskInfo::~TnxAbstractTaskInfo() {
  TnxAbstractSession* session = Session();
  if (!session) return;
  TnxPadlockGuard guard(*session->asTaskInfosPadlock);
  if (atiSessionPrev)
    atiSessionPrev->atiSessionNext = atiSessionNext;
  else
    session->asTaskInfosHead = atiSessionNext;
  if (atiSessionNext)
    atiSessionNext->atiSessionPrev = atiSessionPrev;
  else
    session->asTaskInfosTail = atiSessionPrev;
  atiSessionPrev = atiSessionNext = nullptr;
}

void TnxAbstractTaskInfo::PrepareDestroy() {
  Cancel();
  TnxExtendableServerObject::PrepareDestroy();
}

std::int32_t TnxAbstractTaskInfo::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                    InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                    void** aInterface) {
  nxString head, rest;
  splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, u"<TaskInfo>")) {
    clearOut(aInterface);
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TnxExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractTaskInfo::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                       bool aIncludeChildren) {
  TnxExtendableServerObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Session", Session(), aIncludeChildren);
}

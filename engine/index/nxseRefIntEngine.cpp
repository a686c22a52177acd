#include "nxseRefIntEngine.h"

#include <cstring>
#include <string>
#include <utility>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plErrors.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxReferenceEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTargetCursorEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseSourceEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseActionEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseDeleteActionEngineException, EnxBaseActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseModifyActionEngineException, EnxBaseActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxClearDeleteActionEngineException, EnxBaseDeleteActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxSetDefaultDeleteActionEngineException, EnxBaseDeleteActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxCascadeModifyActionEngineException, EnxBaseModifyActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxClearModifyActionEngineException, EnxBaseModifyActionEngineException)
NX_IMPLEMENT_EXCEPTION(EnxSetDefaultModifyActionEngineException, EnxBaseModifyActionEngineException)

using TnxReferenceFuncs = TnxRefIntClassFuncs<TnxRefIntegrityEngine, TnxReferenceDescriptor, TnxReferenceEngine>;
using TnxTargetCursorFuncs =
    TnxRefIntClassFuncs<TnxReferenceEngine, TnxBaseTargetCursorDescriptor, TnxBaseTargetCursorEngine>;
using TnxSourceFuncs = TnxRefIntClassFuncs<TnxReferenceEngine, TnxBaseSourceDescriptor, TnxBaseSourceEngine>;
using TnxActionFuncs = TnxRefIntClassFuncs<TnxReferenceEngine, TnxBaseActionDescriptor, TnxBaseActionEngine>;

#define NX_TARGET_TABLE(T) \
  platform::bindClassTable(nxRefIntFuncs<T, TnxReferenceEngine, TnxBaseTargetCursorDescriptor, TnxBaseTargetCursorEngine>)
#define NX_ACTION_TABLE(T) \
  platform::bindClassTable(nxRefIntFuncs<T, TnxReferenceEngine, TnxBaseActionDescriptor, TnxBaseActionEngine>)

PL_CLASS_INFO_IMPL(TnxRefIntegrityEngine, TnxBaseRegisterableEngine, "TnxRefIntegrityEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxReferenceEngine, TnxBaseRegisterableEngine, "TnxReferenceEngine", nullptr,
                         platform::bindClassTable(nxRefIntFuncs<TnxReferenceEngine, TnxRefIntegrityEngine,
                                                                TnxReferenceDescriptor, TnxReferenceEngine>))
PL_CLASS_INFO_IMPL(TnxBaseTargetCursorEngine, TnxBaseRegisterableEngine, "TnxBaseTargetCursorEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxCloneTargetCursorEngine, TnxBaseTargetCursorEngine, "TnxCloneTargetCursorEngine",
                         nullptr, NX_TARGET_TABLE(TnxCloneTargetCursorEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxTableTargetCursorEngine, TnxBaseTargetCursorEngine, "TnxTableTargetCursorEngine",
                         nullptr, NX_TARGET_TABLE(TnxTableTargetCursorEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxRelativeTargetCursorEngine, TnxBaseTargetCursorEngine, "TnxRelativeTargetCursorEngine",
                         nullptr, NX_TARGET_TABLE(TnxRelativeTargetCursorEngine))
PL_CLASS_INFO_IMPL(TnxBaseSourceEngine, TnxBaseRegisterableEngine, "TnxBaseSourceEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFieldSourceEngine, TnxBaseSourceEngine, "TnxFieldSourceEngine", nullptr,
                         platform::bindClassTable(nxRefIntFuncs<TnxFieldSourceEngine, TnxReferenceEngine,
                                                                TnxBaseSourceDescriptor, TnxBaseSourceEngine>))
PL_CLASS_INFO_IMPL(TnxBaseActionEngine, TnxBaseRegisterableEngine, "TnxBaseActionEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseModifyLoopActionEngine, TnxBaseActionEngine, "TnxBaseModifyLoopActionEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxCascadeDeleteActionEngine, TnxBaseActionEngine, "TnxCascadeDeleteActionEngine", nullptr,
                         NX_ACTION_TABLE(TnxCascadeDeleteActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxClearDeleteActionEngine, TnxBaseModifyLoopActionEngine, "TnxClearDeleteActionEngine",
                         nullptr, NX_ACTION_TABLE(TnxClearDeleteActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxSetDefaultDeleteActionEngine, TnxBaseModifyLoopActionEngine,
                         "TnxSetDefaultDeleteActionEngine", nullptr, NX_ACTION_TABLE(TnxSetDefaultDeleteActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxBlockDeleteActionEngine, TnxBaseActionEngine, "TnxBlockDeleteActionEngine", nullptr,
                         NX_ACTION_TABLE(TnxBlockDeleteActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxCascadeModifyActionEngine, TnxBaseModifyLoopActionEngine, "TnxCascadeModifyActionEngine",
                         nullptr, NX_ACTION_TABLE(TnxCascadeModifyActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxClearModifyActionEngine, TnxBaseModifyLoopActionEngine, "TnxClearModifyActionEngine",
                         nullptr, NX_ACTION_TABLE(TnxClearModifyActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxSetDefaultModifyActionEngine, TnxBaseModifyLoopActionEngine,
                         "TnxSetDefaultModifyActionEngine", nullptr, NX_ACTION_TABLE(TnxSetDefaultModifyActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxBlockModifyActionEngine, TnxBaseActionEngine, "TnxBlockModifyActionEngine", nullptr,
                         NX_ACTION_TABLE(TnxBlockModifyActionEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxTargetRequiredActionEngine, TnxBaseActionEngine, "TnxTargetRequiredActionEngine",
                         nullptr, NX_ACTION_TABLE(TnxTargetRequiredActionEngine))

namespace {

TnxClassList gRefIntegrityClasses = nullptr;
TnxClassList gReferenceClasses = nullptr;
TnxClassList gTargetCursorClasses = nullptr;
TnxClassList gSourceClasses = nullptr;
TnxClassList gActionClasses = nullptr;

// The engine class of a descriptor through its family, cached in the
// descriptor. Unknown: the family's exception, 15503.
template <class Exception, class Funcs, class Descriptor>
const Funcs& engineFuncs(TnxClassList& aList, Descriptor* aDescriptor, const char16_t* aFamily) {
  const platform::ClassInfo* cls = aDescriptor->CachedEngineClass();
  if (!cls) {
    const std::string name = nxDescriptorToEngineName(aDescriptor->classInfo().name);
    cls = nxFindClassIn(aList, name);
    if (!cls || !cls->template table<Funcs>())
      throw Exception(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                      {nxString(aFamily), platform::fromUtf8(name)});
    aDescriptor->SetCachedEngineClass(cls);
  }
  const Funcs* funcs = cls->template table<Funcs>();
  if (!funcs)
    throw Exception(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                    {nxString(aFamily), platform::fromUtf8(cls->name)});
  return *funcs;
}

TnxEngineActions actionsOf(std::initializer_list<TnxEngineAction> aActions) { return TnxEngineActions(aActions); }

// Internal consistency: an action runs only for its own action and phase.
void checkCall(bool aCondition, int aLine) {
  if (!aCondition)
    throw platform::AssertionFailed("Assertion failed (nxseRefIntEngine, line " + std::to_string(aLine) + ")");
}
#define NX_REFINT_ASSERT(c) checkCall((c), __LINE__)

}  // namespace

// ===========================================================================
// TnxRefIntegrityEngine

TnxRefIntegrityEngine::TnxRefIntegrityEngine(TnxRefIntegrityDescriptor* aDescriptor, TnxAbstractCursor* aCursor)
    : rieDescriptor(aDescriptor), rieCursor(aCursor) {
  for (std::int32_t i = 0; i < aDescriptor->ReferenceCount(); ++i)
    rieReferences.emplace_back(TnxReferenceEngine::CreateFor(this, aDescriptor->References_(i)));
}

TnxRefIntegrityEngine::~TnxRefIntegrityEngine() {
  // Last first, as they are notified.
  while (!rieReferences.empty()) rieReferences.pop_back();
}

TnxClassList& TnxRefIntegrityEngine::GetList() { return gRefIntegrityClasses; }

TnxResult TnxRefIntegrityEngine::Notify(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs) {
  if (!Actions(aBefore).contains(aAction)) return 0;
  for (std::size_t i = rieReferences.size(); i-- > 0;) {
    const TnxResult result = rieReferences[i]->Notify(aAction, aBefore, aArgs);
    if (result != 0) return result;
  }
  return 0;
}

// ===========================================================================
// TnxReferenceEngine

TnxReferenceEngine::TnxReferenceEngine(TnxRefIntegrityEngine* aParent, TnxReferenceDescriptor* aDescriptor)
    : reParent(aParent), reDescriptor(aDescriptor) {
  TnxBaseTargetCursorDescriptor* target = aDescriptor->TargetCursor();
  if (!target) throw EnxReferenceEngineException(nxErrInvalidParam);
  reTargetCursor.reset(engineFuncs<EnxBaseTargetCursorEngineException, TnxTargetCursorFuncs>(
                           gTargetCursorClasses, target, u"TargetCursor")
                           .create(this, target));
  for (std::int32_t i = 0; i < aDescriptor->SourceCount(); ++i) {
    TnxBaseSourceDescriptor* source = aDescriptor->Sources(i);
    reSources.emplace_back(
        engineFuncs<EnxBaseSourceEngineException, TnxSourceFuncs>(gSourceClasses, source, u"Source")
            .create(this, source));
  }
  for (std::int32_t i = 0; i < aDescriptor->ActionCount(); ++i) {
    TnxBaseActionDescriptor* action = aDescriptor->Actions(i);
    reActions.emplace_back(
        engineFuncs<EnxBaseActionEngineException, TnxActionFuncs>(gActionClasses, action, u"Action")
            .create(this, action));
  }
  BuildActionMapping();
}

TnxReferenceEngine::~TnxReferenceEngine() {
  reActions.clear();
  reSources.clear();
  // The target cursor engine unprepares this reference as it goes.
  reTargetCursor.reset();
}

TnxClassList& TnxReferenceEngine::GetList() { return gReferenceClasses; }

TnxReferenceEngine* TnxReferenceEngine::CreateFor(TnxRefIntegrityEngine* aParent, TnxReferenceDescriptor* aDescriptor) {
  return engineFuncs<EnxReferenceEngineException, TnxReferenceFuncs>(gReferenceClasses, aDescriptor, u"Reference")
      .create(aParent, aDescriptor);
}

void TnxReferenceEngine::BuildActionMapping() {
  for (auto& action : reActions) {
    MapActions(action.get(), action->RequiredBeforeActions(), true);
    MapActions(action.get(), action->RequiredAfterActions(), false);
  }
}

void TnxReferenceEngine::MapActions(TnxBaseActionEngine* aAction, TnxEngineActions aActions, bool aBefore) {
  if (aActions.empty()) return;
  for (int a = 0; a < nxEngineActionCount; ++a) {
    const auto action = static_cast<TnxEngineAction>(a);
    if (!aActions.contains(action)) continue;
    reParent->Actions(aBefore).include(action);
    reActionMapping[aBefore ? 1 : 0][static_cast<std::size_t>(a)].push_back(aAction);
  }
}

void TnxReferenceEngine::PrepareTarget() {
  TnxAbstractCursor* cursor = reTargetCursor->GetCursor();
  TnxBaseTableDescriptor* table = cursor->GetTableDescriptor();
  reFieldsDescriptor = table->FieldsDescriptor();
  if (reTargetRecordLength == 0) {
    reTargetRecordLength = reFieldsDescriptor->RecordLength();
    reTargetRecordBuffer1.assign(static_cast<std::size_t>(reTargetRecordLength), 0);
    reTargetRecordBuffer2.assign(static_cast<std::size_t>(reTargetRecordLength), 0);
  }
  if (!reTargetKeyDescriptor) {
    TnxMainIndicesDescriptor* indices = table->IndicesDescriptor();
    const std::int32_t index = indices ? indices->GetIndexFromName(reDescriptor->TargetIndex()) : -1;
    if (index < 0) throw EnxReferenceEngineException(nxErrNoSuchIndex, u"Index does not exist.");
    auto* key = platform::objectAs<TnxCompKeyDescriptor>(indices->Indices(index)->KeyDescriptor());
    if (!key) throw EnxReferenceEngineException(nxErrInvalidIndexDesc, u"A composite index is required");
    if (key->KeyFieldCount() < static_cast<std::int32_t>(reSources.size()))
      throw EnxReferenceEngineException(nxErrInvalidDesc,
                                        u"The reference descriptor has more fields than the target index.");
    reTargetKeyDescriptor = key;
  }
  for (std::size_t i = 0; i < reSources.size(); ++i)
    reSources[i]->Initialize(reTargetKeyDescriptor->KeyFields(static_cast<std::int32_t>(i))->FieldNumber(), cursor);
  reTargetCursorPrepared = true;
}

void TnxReferenceEngine::UnprepareTarget() {
  reTargetRecordBuffer1.clear();
  reTargetRecordBuffer2.clear();
  reTargetRecordLength = 0;
  reTargetKeyDescriptor = nullptr;
  reTargetCursorPrepared = false;
}

bool TnxReferenceEngine::SetTargetRange(const void* aRecord, bool* aHasNull) {
  if (!reTargetCursorPrepared) PrepareTarget();
  reFieldsDescriptor->InitRecord(TargetRecordBuffer1());
  reFieldsDescriptor->InitRecord(TargetRecordBuffer2());
  bool localHasNull = false;
  bool& hasNull = aHasNull ? *aHasNull : localHasNull;
  hasNull = false;
  for (auto& source : reSources) {
    for (const TnxValueUseType use : {vutRangeStart, vutRangeEnd}) {
      bool scratch = false;
      bool& isNull = hasNull ? scratch : hasNull;
      const TnxResult result =
          source->SetValueTo(use, use == vutRangeStart ? TargetRecordBuffer1() : TargetRecordBuffer2(), aRecord, &isNull);
      if (result != 0) throw EnxReferenceEngineException(result);
      if (isNull && source->Descriptor()->SkipOnNull()) return false;
    }
  }
  const auto n = static_cast<std::int32_t>(reSources.size());
  const TnxResult result =
      reTargetCursor->GetCursor()->RangeSet(n, 0, false, TargetRecordBuffer1(), true, n, 0, false,
                                            TargetRecordBuffer2(), true);
  if (result != 0) throw EnxReferenceEngineException(result);
  return true;
}

bool TnxReferenceEngine::KeyChanged(const void* aNewRecord, const void* aOldRecord) {
  if (!reTargetCursorPrepared) PrepareTarget();
  reFieldsDescriptor->InitRecord(TargetRecordBuffer1());
  reFieldsDescriptor->InitRecord(TargetRecordBuffer2());
  for (auto& source : reSources) {
    TnxResult result = source->SetValueTo(vutCompare, TargetRecordBuffer1(), aNewRecord, nullptr);
    if (result == 0) result = source->SetValueTo(vutCompare, TargetRecordBuffer2(), aOldRecord, nullptr);
    if (result != 0) throw EnxReferenceEngineException(result);
  }
  std::int32_t compare = 0;
  const TnxResult result = reTargetCursor->GetCursor()->CompareKeys(
      static_cast<std::int32_t>(reSources.size()), 0, false, TargetRecordBuffer1(), false, TargetRecordBuffer2(),
      compare);
  if (result != 0) throw EnxReferenceEngineException(result);
  return compare != 0;
}

TnxResult TnxReferenceEngine::Notify(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs) {
  const auto& list = reActionMapping[aBefore ? 1 : 0][static_cast<std::size_t>(aAction)];
  if (list.empty()) return 0;
  reTargetCursor->BeginUse();
  struct EndUse {
    TnxBaseTargetCursorEngine* engine;
    ~EndUse() { engine->EndUse(); }
  } endUse{reTargetCursor.get()};

  bool useNew = false;
  bool hasNull = false;
  switch (aAction) {
    case eaRecordInsert:
      if (!SetTargetRange(nxNotifyArgRecord(aArgs, 1), &hasNull)) return 0;
      break;
    case eaRecordDelete:
      if (!SetTargetRange(nxNotifyArgRecord(aArgs, 0), &hasNull)) return 0;
      break;
    case eaRecordModify:
      if (aBefore) {
        if (!SetTargetRange(nxNotifyArgRecord(aArgs, 0), &hasNull)) return 0;
      } else {
        // Nothing the reference depends on changed.
        if (!KeyChanged(nxNotifyArgRecord(aArgs, 0), nxNotifyArgRecord(aArgs, 1))) return 0;
        useNew = list.front()->WantsNewOnAfterModify();
        if (!SetTargetRange(nxNotifyArgRecord(aArgs, useNew ? 0 : 1), &hasNull)) return 0;
      }
      break;
    default:
      return EnxBaseException::nxSetMessage(nxErrNotSupported, u"Action not supported");
  }

  for (TnxBaseActionEngine* action : list) {
    if (hasNull && action->Descriptor()->SkipOnNull()) continue;
    if (aAction == eaRecordModify && action->WantsNewOnAfterModify() != useNew) {
      useNew = !useNew;
      if (!SetTargetRange(nxNotifyArgRecord(aArgs, useNew ? 0 : 1), &hasNull)) return 0;
    }
    const TnxResult result = action->Execute(aAction, aBefore, aArgs);
    if (result != 0) return AnnotateViolation(result);
  }
  return 0;
}

TnxResult TnxReferenceEngine::AnnotateViolation(TnxResult aErrorCode) {
  TnxResult code = 0;
  nxString pending;
  EnxBaseException::GetLastConvertedException(code, pending);
  if (code != aErrorCode || pending.empty()) pending = nxGetOrgPlaceholder();
  auto joined = [&](bool aSource) {
    nxString text;
    for (std::size_t i = 0; i < reSources.size(); ++i) {
      if (i) text += u", ";
      text += aSource ? reSources[i]->GetSourceName() : reSources[i]->GetTargetName();
    }
    return text;
  };
  const nxString message = u"Referential Integrity Violation. " + nxEscapeMarkers(reParent->Cursor()->FullName()) +
                           u"(" + nxEscapeMarkers(joined(true)) + u") -> " +
                           nxEscapeMarkers(reDescriptor->TargetCursor()->ReferencedTableName()) + u"(" +
                           nxEscapeMarkers(joined(false)) + u"): " + pending;
  EnxBaseException::SetLastConvertedException(aErrorCode, message);
  return aErrorCode;
}

// ===========================================================================
// Target cursors

TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine(TnxReferenceEngine* aParent,
                                                     TnxBaseTargetCursorDescriptor* aDescriptor)
    : btceParent(aParent), btceDescriptor(aDescriptor) {}

TnxBaseTargetCursorEngine::~TnxBaseTargetCursorEngine() {
  if (btceRequestClose) {
    void* intf = nullptr;
    if (btceRequestClose->QueryInterface(InxRequestCloseHandlerEvent::IID, &intf) == 0 && intf) {
      TnxIntfPtr<InxRequestCloseHandlerEvent> event(static_cast<InxRequestCloseHandlerEvent*>(intf), false);
      event->Disconnect();
    }
  }
  TnxAbstractCursor* cursor = nullptr;
  {
    TnxPadlockGuard guard(btcePadlock);
    // A close request arriving from now on is refused.
    btceInUse.fetch_add(1);
    cursor = std::exchange(btceCursor, nullptr);
  }
  // Freed outside the padlock: a close request in flight holds the cursor's
  // own lock while it waits for ours.
  btceParent->UnprepareTarget();
  FreeCursor(cursor);
}

TnxClassList& TnxBaseTargetCursorEngine::GetList() { return gTargetCursorClasses; }

void TnxBaseTargetCursorEngine::FreeCursor(TnxAbstractCursor* aCursor) noexcept {
  if (!aCursor) return;
  try {
    TnxAbstractServerObject::Free(aCursor);
  } catch (...) {
    // A cursor that fails to close is the server's to report.
  }
}

TnxAbstractCursor* TnxBaseTargetCursorEngine::GetCursor() {
  if (!btceCursor) {
    TnxAbstractCursor* cursor = nullptr;
    const TnxResult opened = OpenCursor(btceParent->Parent()->Cursor(), cursor);
    if (opened != 0) throw EnxBaseTargetCursorEngineException(btceParent->AnnotateViolation(opened));
    const TnxResult switched = cursor->SwitchToIndex(btceParent->Descriptor()->TargetIndex(), -1, porFalse);
    if (switched != 0) {
      TnxAbstractServerObject::Free(cursor);
      throw EnxBaseTargetCursorEngineException(switched);
    }
    btceCursor = cursor;
    if (TnxSqlAbstractCursor* server = platform::objectAs<TnxSqlAbstractCursor>(cursor)) {
      if (!btceRequestClose)
        btceRequestClose = nxCreateRequestCloseHandler([this](platform::TObject*) { RequestClose(); });
      server->SetOnRequestClose(btceRequestClose);
    }
  }
  return btceCursor;
}

void TnxBaseTargetCursorEngine::BeginUse() {
  {
    TnxPadlockGuard guard(btcePadlock);
    btceInUse.fetch_add(1);
  }
  nxEnterTimeoutNestingHook.load()();
}

void TnxBaseTargetCursorEngine::EndUse() {
  nxLeaveTimeoutNestingHook.load()();
  TnxPadlockGuard guard(btcePadlock);
  btceInUse.fetch_sub(1);
}

void TnxBaseTargetCursorEngine::RequestClose() {
  TnxPadlockGuard guard(btcePadlock);
  if (btceInUse.load() != 0) return;
  // Called by the cursor itself, which stays in memory until its call ends.
  btceParent->UnprepareTarget();
  FreeCursor(std::exchange(btceCursor, nullptr));
}

TnxResult TnxBaseTargetCursorEngine::OpenTable(TnxAbstractCursor* aSourceCursor, const nxString& aTableName,
                                               const nxString& aPassword, bool aAllowSystem,
                                               TnxAbstractCursor*& aCursor) {
  TnxAbstractDatabase* database = aSourceCursor->Database();
  if (!database) return nxErrInvalidParam;
  return database->CursorOpen(aCursor, aTableName, aPassword, omReadWrite, smShared, aSourceCursor->Timeout(),
                              nxString(), -1, aAllowSystem, {}, 500, nullptr);
}

TnxResult TnxCloneTargetCursorEngine::OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) {
  return aSourceCursor->Duplicate(omReadWrite, aCursor);
}

TnxResult TnxTableTargetCursorEngine::OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) {
  auto* descriptor = static_cast<TnxTableTargetCursorDescriptor*>(btceDescriptor);
  return OpenTable(aSourceCursor, descriptor->TableName(), descriptor->Password(), false, aCursor);
}

TnxResult TnxRelativeTargetCursorEngine::OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) {
  auto* descriptor = static_cast<TnxRelativeTargetCursorDescriptor*>(btceDescriptor);
  TnxServerBaseCursor* source = nxAsServerCursor(aSourceCursor);
  const nxString& relative = descriptor->TableName();
  const nxString fullName = source->FullName();
  const nxString name = !relative.empty() && relative[0] == u'.' ? fullName + u":" + relative
                                                                 : source->RootName() + u":" + relative;
  return OpenTable(aSourceCursor, name, source->sbcExtractPassword(), !fullName.empty() && fullName[0] == u'$',
                   aCursor);
}

// ===========================================================================
// Sources

TnxBaseSourceEngine::TnxBaseSourceEngine(TnxReferenceEngine* aParent, TnxBaseSourceDescriptor* aDescriptor)
    : bseParent(aParent), bseDescriptor(aDescriptor) {
  TnxBaseTableDescriptor* own = aParent->Parent()->Cursor()->GetTableDescriptor();
  bseSourceFields = own ? own->FieldsDescriptor() : nullptr;
}

TnxClassList& TnxBaseSourceEngine::GetList() { return gSourceClasses; }

void TnxBaseSourceEngine::Initialize(std::int32_t aTargetField, TnxAbstractCursor* aTargetCursor) {
  bseTargetFields = aTargetCursor->GetTableDescriptor()->FieldsDescriptor();
  if (aTargetField < 0 || aTargetField >= bseTargetFields->FieldCount())
    throw EnxBaseSourceEngineException(nxErrInvalidFieldName);
  bseTargetField = aTargetField;
  bseTargetOffset = bseTargetFields->Fields(aTargetField)->fdOffset;
}

TnxResult TnxBaseSourceEngine::ClearField(TnxValueUseType /*aType*/, void* aTargetBuffer) {
  bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
  return 0;
}

TnxResult TnxBaseSourceEngine::SetFieldToDefault(TnxValueUseType aType, TnxAbstractCursor* aTargetCursor,
                                                 void* aTargetBuffer) {
  TnxServerBaseCursor* server = nxTryServerCursor(aTargetCursor);
  if (TnxDefaultValueHandler* handler = server ? server->sbcDefaultValueHandler() : nullptr) {
    handler->SetDefaultValue(aTargetBuffer, bseTargetField);
    return 0;
  }
  return ClearField(aType, aTargetBuffer);
}

TnxFieldSourceEngine::TnxFieldSourceEngine(TnxReferenceEngine* aParent, TnxBaseSourceDescriptor* aDescriptor)
    : TnxBaseSourceEngine(aParent, aDescriptor) {
  // Known before the target opens, so a failing open names it.
  const std::int32_t own = static_cast<TnxFieldSourceDescriptor*>(aDescriptor)->FieldNumber();
  if (bseSourceFields && own >= 0 && own < bseSourceFields->FieldCount())
    fseSourceName = bseSourceFields->Fields(own)->fdName;
}

void TnxFieldSourceEngine::Initialize(std::int32_t aTargetField, TnxAbstractCursor* aTargetCursor) {
  TnxBaseSourceEngine::Initialize(aTargetField, aTargetCursor);
  auto* descriptor = static_cast<TnxFieldSourceDescriptor*>(bseDescriptor);
  const std::int32_t own = descriptor->FieldNumber();
  if (!bseSourceFields || own < 0 || own >= bseSourceFields->FieldCount())
    throw EnxBaseSourceEngineException(nxErrInvalidFieldName);
  TnxFieldDescriptor* sourceField = bseSourceFields->Fields(own);
  TnxFieldDescriptor* targetField = bseTargetFields->Fields(aTargetField);
  fseSourceOffset = sourceField->fdOffset;
  fseSourceName = sourceField->fdName;
  fseTargetName = targetField->fdName;
  fseMapperInst.reset();
  fseMapper.Clear();
  fseMapperInst.reset(TnxBaseFieldMapper::CreateMapper(*sourceField, bseParent->Parent()->Cursor(), *targetField,
                                                       aTargetCursor, nullptr, fseMapper));
}

TnxResult TnxFieldSourceEngine::SetValueTo(TnxValueUseType /*aType*/, void* aTargetBuffer, const void* aSourceBuffer,
                                           bool* aSourceIsNull) {
  auto* descriptor = static_cast<TnxFieldSourceDescriptor*>(bseDescriptor);
  const bool isNull = bseSourceFields->IsRecordFieldNull(descriptor->FieldNumber(), aSourceBuffer);
  if (aSourceIsNull) *aSourceIsNull = isNull;
  if (!isNull) {
    bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, false);
    if (!fseMapper.Assigned()) return nxErrInvalidFieldXform;
    const TnxResult result = fseMapper(static_cast<const std::uint8_t*>(aSourceBuffer) + fseSourceOffset,
                                       static_cast<std::uint8_t*>(aTargetBuffer) + bseTargetOffset);
    if (result != nxMapNoValue) return result;
  }
  bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
  return 0;
}

// ===========================================================================
// Actions

TnxBaseActionEngine::TnxBaseActionEngine(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor)
    : baeParent(aParent), baeDescriptor(aDescriptor) {}

TnxClassList& TnxBaseActionEngine::GetList() { return gActionClasses; }

TnxResult TnxBaseActionEngine::Execute(TnxEngineAction, bool, TnxNotifyArgs) { return 0; }

TnxAbstractCursor* TnxBaseActionEngine::Target() { return baeParent->TargetCursor()->GetCursor(); }

void TnxBaseActionEngine::CorruptTransaction() {
  if (TnxAbstractDatabase* database = Target()->Database()) database->TransactionCorrupted();
}

namespace {

// All but block delete change the target inside the own change and need
// nested transactions of the own cursor.
void requestNested(TnxReferenceEngine* aParent) { aParent->Parent()->Cursor()->RequestNestedTransactions(); }

// Whether the range holds a record; 0 yes, 8706 no, else the error.
TnxResult probeRange(TnxAbstractCursor* aCursor) {
  const TnxResult result = aCursor->SetToBegin();
  if (result != 0) return result;
  return aCursor->RecordGetNext(nxltNoLock, nullptr);
}

}  // namespace

TnxBaseModifyLoopActionEngine::TnxBaseModifyLoopActionEngine(TnxReferenceEngine* aParent,
                                                             TnxBaseActionDescriptor* aDescriptor)
    : TnxBaseActionEngine(aParent, aDescriptor) {
  requestNested(aParent);
}

TnxResult TnxBaseModifyLoopActionEngine::ModifyLoop(TnxNotifyArgs aArgs) {
  TnxAbstractCursor* cursor = Target();
  std::uint8_t* buffer = baeParent->TargetRecordBuffer1();
  TnxResult result = cursor->SetToBegin();
  if (result == 0) result = cursor->RecordGetNext(nxltWriteLock, buffer);
  while (result == 0) {
    for (std::int32_t i = 0; i < baeParent->SourceCount(); ++i) {
      const TnxResult changed = ChangeRecord(baeParent->Sources(i), buffer, aArgs);
      if (changed != 0) RaiseAction(changed);
    }
    result = cursor->RecordModify(buffer, true, nullptr);
    if (result != 0) {
      cursor->RecordLockRelease(false, false);
      break;
    }
    result = cursor->RecordGetNext(nxltWriteLock, buffer);
  }
  if (result != nxErrEOF) return result;
  // Every changed record has left the range.
  NX_REFINT_ASSERT(cursor->SetToBegin() == 0 && cursor->RecordGetNext(nxltNoLock, nullptr) == nxErrEOF);
  return 0;
}

// ---- Cascade delete

TnxCascadeDeleteActionEngine::TnxCascadeDeleteActionEngine(TnxReferenceEngine* aParent,
                                                           TnxBaseActionDescriptor* aDescriptor)
    : TnxBaseActionEngine(aParent, aDescriptor) {
  requestNested(aParent);
}
TnxEngineActions TnxCascadeDeleteActionEngine::RequiredBeforeActions() { return {}; }
TnxEngineActions TnxCascadeDeleteActionEngine::RequiredAfterActions() { return actionsOf({eaRecordDelete}); }
bool TnxCascadeDeleteActionEngine::WantsNewOnAfterModify() { return false; }
TnxResult TnxCascadeDeleteActionEngine::Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs) {
  NX_REFINT_ASSERT(aAction == eaRecordDelete && !aBefore);
  const TnxResult result = Target()->DeleteRecords();
  if (result != 0) CorruptTransaction();
  return result;
}

// ---- Block delete (before the delete; needs no nested transaction)

TnxBlockDeleteActionEngine::TnxBlockDeleteActionEngine(TnxReferenceEngine* aParent,
                                                       TnxBaseActionDescriptor* aDescriptor)
    : TnxBaseActionEngine(aParent, aDescriptor) {}
TnxEngineActions TnxBlockDeleteActionEngine::RequiredBeforeActions() { return actionsOf({eaRecordDelete}); }
TnxEngineActions TnxBlockDeleteActionEngine::RequiredAfterActions() { return {}; }
bool TnxBlockDeleteActionEngine::WantsNewOnAfterModify() { return false; }
TnxResult TnxBlockDeleteActionEngine::Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs) {
  NX_REFINT_ASSERT(aAction == eaRecordDelete && aBefore);
  const TnxResult result = probeRange(Target());
  if (result == 0) return nxErrMasterHasDetails;
  return result == nxErrEOF ? 0 : result;
}

// ---- Block modify

TnxBlockModifyActionEngine::TnxBlockModifyActionEngine(TnxReferenceEngine* aParent,
                                                       TnxBaseActionDescriptor* aDescriptor)
    : TnxBaseActionEngine(aParent, aDescriptor) {
  requestNested(aParent);
}
TnxEngineActions TnxBlockModifyActionEngine::RequiredBeforeActions() { return {}; }
TnxEngineActions TnxBlockModifyActionEngine::RequiredAfterActions() { return actionsOf({eaRecordModify}); }
bool TnxBlockModifyActionEngine::WantsNewOnAfterModify() { return false; }
TnxResult TnxBlockModifyActionEngine::Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs) {
  NX_REFINT_ASSERT(aAction == eaRecordModify && !aBefore);
  const TnxResult result = probeRange(Target());
  if (result == 0) {
    CorruptTransaction();
    return nxErrMasterHasDetails;
  }
  return result == nxErrEOF ? 0 : result;
}

// ---- Target required

TnxTargetRequiredActionEngine::TnxTargetRequiredActionEngine(TnxReferenceEngine* aParent,
                                                             TnxBaseActionDescriptor* aDescriptor)
    : TnxBaseActionEngine(aParent, aDescriptor) {
  requestNested(aParent);
}
TnxEngineActions TnxTargetRequiredActionEngine::RequiredBeforeActions() { return {}; }
TnxEngineActions TnxTargetRequiredActionEngine::RequiredAfterActions() {
  return actionsOf({eaRecordInsert, eaRecordModify});
}
bool TnxTargetRequiredActionEngine::WantsNewOnAfterModify() { return true; }
TnxResult TnxTargetRequiredActionEngine::Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs) {
  NX_REFINT_ASSERT((aAction == eaRecordInsert || aAction == eaRecordModify) && !aBefore);
  TnxAbstractCursor* cursor = Target();
  TnxResult result = cursor->SetToBegin();
  if (result != 0) return result;
  result = cursor->RecordGetNext(nxltNoLock, nullptr);
  if (result == 0) return 0;
  CorruptTransaction();
  return nxErrMasterMissing;
}

// ---- The modify loops

#define NX_REFINT_LOOP(Cls, Action, Exception, Change)                                                  \
  Tnx##Cls::Tnx##Cls(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor)                 \
      : TnxBaseModifyLoopActionEngine(aParent, aDescriptor) {}                                          \
  TnxEngineActions Tnx##Cls::RequiredAfterActions() { return actionsOf({Action}); }                     \
  TnxResult Tnx##Cls::Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs) {             \
    NX_REFINT_ASSERT(aAction == Action && !aBefore);                                                    \
    return ModifyLoop(aArgs);                                                                           \
  }                                                                                                     \
  void Tnx##Cls::RaiseAction(TnxResult aCode) { throw Exception(aCode); }                               \
  TnxResult Tnx##Cls::ChangeRecord(TnxBaseSourceEngine* aSource, void* aRecord, TnxNotifyArgs aArgs) {  \
    (void)aArgs;                                                                                        \
    return Change;                                                                                      \
  }

NX_REFINT_LOOP(ClearDeleteActionEngine, eaRecordDelete, EnxClearDeleteActionEngineException,
               aSource->ClearField(vutRecordDelete, aRecord))
NX_REFINT_LOOP(SetDefaultDeleteActionEngine, eaRecordDelete, EnxSetDefaultDeleteActionEngineException,
               aSource->SetFieldToDefault(vutRecordDelete, Target(), aRecord))
NX_REFINT_LOOP(CascadeModifyActionEngine, eaRecordModify, EnxCascadeModifyActionEngineException,
               aSource->SetValueTo(vutRecordModify, aRecord, nxNotifyArgRecord(aArgs, 0), nullptr))
NX_REFINT_LOOP(ClearModifyActionEngine, eaRecordModify, EnxClearModifyActionEngineException,
               aSource->ClearField(vutRecordModify, aRecord))
NX_REFINT_LOOP(SetDefaultModifyActionEngine, eaRecordModify, EnxSetDefaultModifyActionEngineException,
               aSource->SetFieldToDefault(vutRecordModify, Target(), aRecord))
#undef NX_REFINT_LOOP

// ===========================================================================
// Start-up

namespace {

TnxUseCount gRefIntEngineUseCount{0};

constexpr TnxModuleDependency kDependencies[] = {
    {nxsrFieldMapperInitialize, nxsrFieldMapperFinalize},
};

template <class T>
void registerRefIntEngine(TnxClassList& aList) {
  nxRegisterClassIn(aList, T::staticClassInfo());
}

void unregisterAllRefIntEngine() {
  nxUnregisterClassIn(gRefIntegrityClasses, TnxRefIntegrityEngine::staticClassInfo());
  nxFreeClassList(gReferenceClasses);
  nxFreeClassList(gTargetCursorClasses);
  nxFreeClassList(gSourceClasses);
  nxFreeClassList(gActionClasses);
}

}  // namespace

void nxseRefIntEngineInitialize() {
  nxUseCountStart(gRefIntEngineUseCount, kDependencies, [] {
    try {
      registerRefIntEngine<TnxRefIntegrityEngine>(gRefIntegrityClasses);
      registerRefIntEngine<TnxReferenceEngine>(gReferenceClasses);
      registerRefIntEngine<TnxCloneTargetCursorEngine>(gTargetCursorClasses);
      registerRefIntEngine<TnxTableTargetCursorEngine>(gTargetCursorClasses);
      registerRefIntEngine<TnxRelativeTargetCursorEngine>(gTargetCursorClasses);
      registerRefIntEngine<TnxFieldSourceEngine>(gSourceClasses);
      registerRefIntEngine<TnxCascadeDeleteActionEngine>(gActionClasses);
      registerRefIntEngine<TnxClearDeleteActionEngine>(gActionClasses);
      registerRefIntEngine<TnxSetDefaultDeleteActionEngine>(gActionClasses);
      registerRefIntEngine<TnxBlockDeleteActionEngine>(gActionClasses);
      registerRefIntEngine<TnxCascadeModifyActionEngine>(gActionClasses);
      registerRefIntEngine<TnxClearModifyActionEngine>(gActionClasses);
      registerRefIntEngine<TnxSetDefaultModifyActionEngine>(gActionClasses);
      registerRefIntEngine<TnxBlockModifyActionEngine>(gActionClasses);
      registerRefIntEngine<TnxTargetRequiredActionEngine>(gActionClasses);
    } catch (...) {
      unregisterAllRefIntEngine();
      throw;
    }
  });
}

void nxseRefIntEngineFinalize() {
  nxUseCountFinish(gRefIntEngineUseCount, kDependencies, [] { unregisterAllRefIntEngine(); });
}

#include "nxllComponent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "nxllBdeStrings.h"
#include "nxllConfigSettings.h"
#include "nxllConvertException.h"
#include "nxllBde.h"
#include "nxllSync.h"
#include "nxllUtils.h"
#include "plCollation.h"
#include "plFormat.h"
#include "plLocale.h"
#include "plString.h"

namespace {

// Kind tag of component ids in the handle table.
constexpr char kComponentHandleKind = 0;

std::vector<std::string> sortedClassNames(std::span<const std::string_view> aNames) {
  std::vector<std::string> result(aNames.begin(), aNames.end());
  std::sort(result.begin(), result.end(),
            [](const std::string& a, const std::string& b) { return platform::compareClassNames(a, b) < 0; });
  return result;
}

TnxIterationListPtr newIterationList(const platform::ClassInfo* aClass) {
  if (!aClass) return TnxIterationListPtr(platform::create<TnxIterationList>());
  platform::TObject* obj = aClass->construct();
  auto* list = platform::objectAs<TnxIterationList>(obj);
  if (!list) {
    platform::TObject::free(obj);
    throw platform::RuntimeError("Iteration list class expected");
  }
  return TnxIterationListPtr(list);
}

platform::ClassRegistry* gComponentClasses = nullptr;  // nil while empty

}  // namespace

// ---------------------------------------------------------------------------
// Persistent objects

PL_CLASS_INFO_IMPL(TnxPersistent, TnxObject, "TnxPersistent", nullptr)
PL_CLASS_INFO_IMPL(TnxLifetimeTrackedPersistent, TnxPersistent, "TnxLifetimeTrackedPersistent", nullptr)

namespace {
// Interface queries of objects whose owner frees them (no reference count).
std::int32_t queryUncounted(void* aSelf, InxExceptionData* aData, const platform::Guid& aIID, void** aObj) {
  if (aIID == nxObjectCastGUID) {
    *aObj = aSelf;
    return nxS_OK;
  }
  if (aIID == TnxInterfacedObject::IID || aIID == InxExceptionData::IID) {
    *aObj = aData;
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}
}  // namespace

std::int32_t TnxPersistent::QueryInterface(const platform::Guid& aIID, void** aObj) {
  return queryUncounted(this, this, aIID, aObj);
}

std::int32_t TnxComponent::QueryInterface(const platform::Guid& aIID, void** aObj) {
  return queryUncounted(this, this, aIID, aObj);
}

void TnxPersistent::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool) {
  // The full address: a 32-bit cut of a 64-bit address would name nothing.
  aContainer->AddInt64(u"SelfPtr", static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(this)));
  aContainer->AddString(u"ClassName", platform::fromUtf8(className()));
}

void TnxPersistent::Assign(TnxPersistent* aSource) {
  const nxString source = aSource ? platform::fromUtf8(aSource->className()) : nxString(u"nil");
  throw platform::ConvertError(
      platform::toUtf8(platform::format(u"Cannot assign a %s to a %s", {source, platform::fromUtf8(className())})));
}

TnxResult TnxPersistent::NotSupported(const nxString& aMethodName) const {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"%s not supported by %s",
                                        {aMethodName.empty() ? nxString(u"Method") : aMethodName,
                                         platform::fromUtf8(className())});
}

TnxIntfPtr<InxLifetimeMonitorRef> TnxLifetimeTrackedPersistent::GetLifetimeMonitor() {
  return nxSupports<InxLifetimeMonitorRef>(ltpLifetimeMonitor.getOrCreate(nxNewLifetimeMonitor));
}

void TnxLifetimeTrackedPersistent::beforeDestruction() {
  if (InxLifetimeMonitorObject* monitor = ltpLifetimeMonitor.get()) monitor->Dead();
  TnxPersistent::beforeDestruction();
}

TnxLifetimeTrackedPersistent::~TnxLifetimeTrackedPersistent() = default;  // the monitor's reference goes with the member

// ---------------------------------------------------------------------------
// Exceptions

PL_CLASS_INFO_IMPL(EnxComponentException, EnxBaseException, "EnxComponentException", nullptr)
NX_IMPLEMENT_EXCEPTION(EnxRegisterableComponentException, EnxComponentException)
NX_IMPLEMENT_EXCEPTION(EnxBaseLogException, EnxRegisterableComponentException)
NX_IMPLEMENT_EXCEPTION(EnxLoggableComponentException, EnxRegisterableComponentException)
NX_IMPLEMENT_EXCEPTION(EnxStateComponentException, EnxLoggableComponentException)

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode)
    : EnxBaseException(aErrorCode) {
  BuildComponentMessage(aComponent, true);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode,
                                             platform::UnicodeStringView aAltMsg)
    : EnxBaseException(aErrorCode, aAltMsg) {
  BuildComponentMessage(aComponent, true);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode,
                                             platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs)
    : EnxBaseException(aErrorCode, aAltMsg, aArgs) {
  BuildComponentMessage(aComponent, true);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, platform::UnicodeStringView aMsg)
    : EnxBaseException(aMsg) {
  BuildComponentMessage(aComponent, false);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, platform::UnicodeStringView aMsg,
                                             TnxFormatArgs aArgs)
    : EnxBaseException(aMsg, aArgs) {
  BuildComponentMessage(aComponent, false);
}

void EnxComponentException::BuildComponentMessage(const TnxComponent* aComponent, bool aHasCode) {
  const TnxResult code = ErrorCode();
  if (aHasCode)
    ecMessage = platform::format(u"DazavAV: %s: %s [$%x/%d]",
                                 {ComponentDescription(aComponent), ProcessedErrorString(), code, code});
  else
    ecMessage = platform::format(u"DazavAV: %s: %s [no error code]",
                                 {ComponentDescription(aComponent), ProcessedErrorString()});
  ecWhat = platform::toUtf8(ecMessage);
}

const char* EnxComponentException::what() const noexcept {
  return ecMessage.empty() ? EnxBaseException::what() : ecWhat.c_str();
}

const nxString& EnxComponentException::Message() const {
  return ecMessage.empty() ? EnxBaseException::Message() : ecMessage;
}

nxString EnxComponentException::ComponentDescription(const TnxComponent* aComponent) {
  if (!aComponent) return u"<nil pointer>";
  if (!aComponent->Name().empty()) return aComponent->Name();
  return platform::format(u"<unnamed %s instance>", {platform::fromUtf8(aComponent->className())});
}

namespace {
// Throws the exception class of aClass built from aArgs.
template <class... A>
[[noreturn]] void raiseOfClass(TnxComponentExceptionClass aClass, const A&... aArgs) {
  switch (aClass) {
    case TnxComponentExceptionClass::registerable: throw EnxRegisterableComponentException(aArgs...);
    case TnxComponentExceptionClass::baseLog: throw EnxBaseLogException(aArgs...);
    case TnxComponentExceptionClass::loggable: throw EnxLoggableComponentException(aArgs...);
    case TnxComponentExceptionClass::state: throw EnxStateComponentException(aArgs...);
    case TnxComponentExceptionClass::component: break;
  }
  throw EnxComponentException(aArgs...);
}
}  // namespace

void nxRaiseComponentError(TnxComponentExceptionClass aClass, bool aComponentForm, const TnxComponent* aComponent,
                           TnxResult aCode, const nxString& aText) {
  const platform::UnicodeStringView text(aText);
  if (!aComponentForm) {
    if (aCode == 0) raiseOfClass(aClass, text);
    if (aText.empty()) raiseOfClass(aClass, static_cast<std::int64_t>(aCode));
    raiseOfClass(aClass, static_cast<std::int64_t>(aCode), text);
  }
  if (aCode == 0) raiseOfClass(aClass, aComponent, text);
  if (aText.empty()) raiseOfClass(aClass, aComponent, aCode);
  raiseOfClass(aClass, aComponent, aCode, text);
}

nxString nxFormatInt64(std::int64_t aValue) {
  return platform::format(u"%.0n", {static_cast<long double>(aValue)});
}

// ---------------------------------------------------------------------------
// Iteration list

PL_CLASS_INFO_IMPL(TnxIterationList, TnxSortedList, "TnxIterationList", &platform::factoryFor<TnxIterationList>)

bool TnxIterationList::AcceptItem(TnxComponent*) { return true; }

std::int8_t TnxIterationList::Compare(void* aItem1, void* aItem2) {
  const auto* a = static_cast<const TnxComponent*>(aItem1);
  const auto* b = static_cast<const TnxComponent*>(aItem2);
  const int r = platform::compareString(platform::systemDefaultLocale(), platform::NORM_IGNORECASE,
                                        a->DisplayName(), b->DisplayName());
  if (r != 0) return r < 0 ? -1 : 1;
  return TnxSortedList::Compare(aItem1, aItem2);
}

std::int32_t TnxIterationList::Add(void* aItem) {
  if (!AcceptItem(static_cast<TnxComponent*>(aItem))) return -1;
  return TnxSortedList::Add(aItem);
}

namespace {
[[noreturn]] void incompatibleStream() {
  nxRaiseComponentError(TnxComponentExceptionClass::component, false, nullptr, nxErrIncompatibleStream, nxString());
}
}  // namespace

void TnxIterationList::SaveSettingsToStream(TnxWriter& aWriter) {
  aWriter.WriteInteger(std::int32_t{2});
  aWriter.WriteListBegin();
  for (std::int32_t i = 0; i < Count(); ++i) {
    TnxComponent* c = Items(i);
    if (c->Name().empty()) continue;
    aWriter.WriteString(c->Name());
    TnxMemoryStream block;
    {
      TnxWriter blockWriter(block);
      c->SaveSettingsToStream(blockWriter);
      blockWriter.FlushBuffer();
    }
    const auto size = static_cast<std::int32_t>(block.Size());
    aWriter.WriteInteger(std::int64_t{size});
    aWriter.Write(block.Memory(), size);
  }
  aWriter.WriteListEnd();
}

void TnxIterationList::LoadSetttingsFromStream(TnxReader& aReader) {
  const std::int32_t version = aReader.ReadInteger();
  if (version == 2) {
    platform::TStringList byName;  // case ignored
    for (std::int32_t i = 0; i < Count(); ++i) byName.addObject(Items(i)->Name(), Items(i));
    byName.sort();
    aReader.ReadListBegin();
    while (!aReader.EndOfList()) {
      const nxString name = aReader.ReadString();
      const std::int64_t size = aReader.ReadInt64();
      if (size < 0 || size > INT32_MAX) incompatibleStream();
      int index;
      if (byName.find(name, index)) {
        // Copied in pieces: a length beyond the stream fails on the missing
        // bytes before much memory is taken.
        TnxMemoryStream block;
        std::uint8_t piece[4096];
        for (std::int64_t left = size; left > 0;) {
          const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, sizeof piece));
          aReader.Read(piece, n);
          block.WriteBuffer(piece, n);
          left -= n;
        }
        block.SetPosition(0);
        TnxReader blockReader(block);
        static_cast<TnxComponent*>(byName.objects(index))->LoadSettingsFromStream(blockReader);
      } else {
        aReader.SetPosition(aReader.Position() + size);  // a component that no longer exists
      }
    }
    aReader.ReadListEnd();
  } else if (version == 1) {
    platform::TStringList names;
    names.setText(aReader.ReadString());
    for (int i = 0; i < names.count(); ++i) {
      TnxComponent* found = nullptr;
      for (std::int32_t j = 0; j < Count() && !found; ++j)
        if (Items(j)->Name() == names.strings(i)) found = Items(j);
      if (!found) incompatibleStream();
      found->LoadSettingsFromStream(aReader);
    }
  } else {
    incompatibleStream();
  }
}

bool TnxIterationData::Ignores(std::string_view aClassName) const {
  return std::binary_search(
      IgnoreIterateClasses.begin(), IgnoreIterateClasses.end(), aClassName,
      [](std::string_view a, std::string_view b) { return platform::compareClassNames(a, b) < 0; });
}

// ---------------------------------------------------------------------------
// TnxComponent

PL_CLASS_INFO_IMPL(TnxComponent, platform::TComponent, "TnxComponent", nullptr)

TnxComponent::TnxComponent(platform::TComponent* aOwner)
    : platform::TComponent(aOwner), nxcDependentLock(nxCreateOwned<TnxPadlock>()) {
  componentID_ = nxHandleTable().Add(this, &kComponentHandleKind);
}

TnxComponent::~TnxComponent() {
  releaseComponentID();
  // Normally empty here (beforeDestruction freed them); not so when
  // construction failed after owned components were made.
  while (ComponentCount() > 0) {
    platform::TComponent* child = platform::TComponent::Components(ComponentCount() - 1);
    try {
      platform::TObject::free(child);
    } catch (...) {
      platform::TObject::discard(child);  // it must go with its owner
    }
  }
  // Links left behind when beforeDestruction did not run.
  for (TnxComponent* d : Dependents()) d->RemoveDependent(this);
  // An info object a monitor still holds must not reach this component.
  if (TnxIntfPtr<InxInterface> info = nxcComponentInfo.exchange(nullptr))
    if (TnxIntfPtr<InxComponentInfoDisconnect> disconnect = nxSupports<InxComponentInfoDisconnect>(info.get()))
      disconnect->Disconnect();
  nxcLifetimeMonitor.reset();
  // The class library's component leaves its owner's list.
  nxcDependentLock.reset();
}

void TnxComponent::releaseComponentID() {
  if (componentID_ != 0) {
    nxHandleTable().Remove(componentID_, &kComponentHandleKind);
    componentID_ = 0;
  }
}

void TnxComponent::startDestroying() {
  SetDestroying();
  releaseComponentID();
}

void TnxComponent::beforeDestruction() {
  // The id goes first: nobody may look up a component that is going away.
  releaseComponentID();
  NotifyDependents(nxnDestroying, nullptr, nullptr);
  if (InxLifetimeMonitorObject* monitor = nxcLifetimeMonitor.get()) monitor->Dead();
  startDestroying();
  // Free-notification partners, owned components (last first), the owner's list.
  platform::TComponent::beforeDestruction();
}

nxString TnxComponent::Version() const {
  const nxString v = platform::format(u"%0.4f", {4.7501});
  return u"4." + v.substr(v.size() - 4);
}

nxString TnxComponent::DisplayName() const {
  if (!nxcDisplayName.empty()) return nxcDisplayName;
  if (!Name().empty()) return Name();
  return platform::fromUtf8(className());
}

bool TnxComponent::DisplayNameStored() const {
  return !nxcDisplayName.empty() && !platform::sameTextAscii(nxcDisplayName, Name()) &&
         !platform::sameTextAscii(nxcDisplayName, platform::fromUtf8(className()));
}

void TnxComponent::CheckError(TnxResult aErrorCode) const {
  if (aErrorCode != 0) RaiseError(aErrorCode);
}

void TnxComponent::RaiseError(TnxResult aErrorCode) const { raiseComponentError(aErrorCode, nxString()); }

void TnxComponent::RaiseError(const nxString& aMsg) const { raiseComponentError(0, aMsg); }

void TnxComponent::RaiseError(TnxResult aErrorCode, const nxString& aAltMsg) const {
  raiseComponentError(aErrorCode, aAltMsg);
}

void TnxComponent::RaiseError(const nxString& aMsg, TnxFormatArgs aArgs) const {
  raiseComponentError(0, nxFormatMarkerSafe(aMsg, std::span(aArgs.begin(), aArgs.size())));
}

void TnxComponent::RaiseError(TnxResult aErrorCode, const nxString& aAltMsg, TnxFormatArgs aArgs) const {
  raiseComponentError(aErrorCode, nxFormatMarkerSafe(aAltMsg, std::span(aArgs.begin(), aArgs.size())));
}

void TnxComponent::RaiseComponentError(TnxResult aErrorCode, const nxString& aText) const {
  nxRaiseComponentError(ExceptionClass(), true, this, aErrorCode, aText);
}

void TnxComponent::raiseComponentError(TnxResult aErrorCode, const nxString& aText) const {
  RaiseComponentError(aErrorCode, aText);
  // An override must raise; one that returned gets the base form.
  nxRaiseComponentError(ExceptionClass(), true, this, aErrorCode, aText);
}

void TnxComponent::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool) {
  aContainer->AddInt64(u"SelfPtr", static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(this)));
  aContainer->AddString(u"ClassName", platform::fromUtf8(className()));
  if (DisplayNameStored()) aContainer->AddString(u"DisplayName", nxcDisplayName);
  if (!nxcDisplayCategory.empty()) aContainer->AddString(u"DisplayCategory", nxcDisplayCategory);
  TnxIntfPtr<InxExceptionDataContainer> stats = aContainer->AddContainer(u"Stats");
  platform::TStringList captions;
  GetStatsCaptions(captions);
  if (captions.count() == 0) return;
  platform::TStringList values;
  GetStatsValues(values);
  for (int i = 0; i < captions.count() && i < values.count(); ++i)
    stats->AddString(captions.strings(i), values.strings(i));
}

void TnxComponent::GetConfigSettings(TnxBaseSettings&) {}
void TnxComponent::LoadConfig(TnxBaseComponentConfiguration&) {}
void TnxComponent::SaveConfig(TnxBaseComponentConfiguration&) {}

void TnxComponent::DoLoadConfig(TnxBaseComponentConfiguration& aConfig) {
  LoadConfig(aConfig);
  if (nxcOnSettingsLoaded) nxcOnSettingsLoaded(this);
}

TnxIntfPtr<InxInterface> TnxComponent::CreateComponentInfo() {
  return TnxIntfPtr<InxInterface>(static_cast<InxComponentInfo31000*>(platform::create<TnxComponentInfo>(this)));
}

TnxIntfPtr<InxInterface> TnxComponent::GetComponentInfo() {
  return TnxIntfPtr<InxInterface>(nxcComponentInfo.getOrCreate([this] { return CreateComponentInfo(); }));
}

std::int32_t TnxComponent::nxcCreateInstance(InxInterface*, const platform::Guid& aClassID, InxInterface* aOuter,
                                             const platform::Guid& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  if (aClassID != nxComponentInfoClassID || aOuter) return nxE_NOTIMPL;
  return GetComponentInfo()->QueryInterface(aInterfaceID, aInterface);
}

TnxIntfPtr<InxLifetimeMonitorRef> TnxComponent::GetLifetimeMonitor() {
  return nxSupports<InxLifetimeMonitorRef>(nxcLifetimeMonitor.getOrCreate(nxNewLifetimeMonitor));
}

void TnxComponent::AddDependent(TnxComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  TnxPadlockGuard lock(*nxcDependentLock);
  auto pos = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent,
                              std::less<TnxComponent*>());
  if (pos != nxcDependentList.end() && *pos == aComponent) return;
  nxcDependentList.insert(pos, aComponent);
  ++nxcDependentGeneration;
}

void TnxComponent::RemoveDependent(TnxComponent* aComponent) {
  if (!aComponent) return;
  TnxPadlockGuard lock(*nxcDependentLock);
  auto pos = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent,
                              std::less<TnxComponent*>());
  if (pos == nxcDependentList.end() || *pos != aComponent) return;
  nxcDependentList.erase(pos);
  ++nxcDependentGeneration;
}

std::vector<TnxComponent*> TnxComponent::Dependents() const {
  TnxPadlockGuard lock(*nxcDependentLock);
  return nxcDependentList;
}

void TnxComponent::LinkDependent(TnxComponent* aComponent) {
  if (!aComponent || aComponent->nxcDestroying || nxcDestroying) return;
  aComponent->AddDependent(this);
  AddDependent(aComponent);
}

void TnxComponent::UnlinkDependent(TnxComponent* aComponent) {
  if (!aComponent) return;
  aComponent->RemoveDependent(this);
  RemoveDependent(aComponent);
}

void TnxComponent::NotifyDependents(TnxNotifyOp aOp, void* aParam, TnxComponent* aExclude) {
  TnxPadlockGuard lock(*nxcDependentLock);
  if (nxcDestroying && aOp == nxnDestroying) return;  // going away is told once
  nxcDestroying = aOp == nxnDestroying;
  std::vector<TnxComponent*> notified;  // sorted by address
  for (;;) {
    const std::uint32_t generation = nxcDependentGeneration;
    for (std::size_t i = nxcDependentList.size(); i-- > 0;) {
      if (generation != nxcDependentGeneration) break;
      TnxComponent* c = nxcDependentList[i];
      if (c == aExclude) continue;
      if (notified.capacity() == 0) notified.reserve(nxcDependentList.size());
      auto pos = std::lower_bound(notified.begin(), notified.end(), c, std::less<TnxComponent*>());
      if (pos != notified.end() && *pos == c) continue;
      notified.insert(pos, c);
      c->ProcessNotification(this, aOp, aParam);
    }
    if (generation == nxcDependentGeneration) break;
  }
}

void TnxComponent::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  switch (aOp) {
    case nxnDestroying:
      UnlinkDependent(aSender);
      break;
    case nxnIterate:
    case nxnBroadcast: {
      auto* data = static_cast<TnxIterationData*>(aParam);
      if (!data) break;
      if (data->IteratonList->IndexOf(this) >= 0) break;
      if (data->Ignores(className())) break;
      if (data->IteratonList->Add(this) < 0) break;
      NotifyDependents(aOp, aParam, nullptr);
      if (aOp == nxnBroadcast) {
        auto* bd = static_cast<TnxBroadcastData*>(data);
        ProcessNotification(bd->bdSender, bd->bdNotifyOp, bd->bdParam);
      }
      break;
    }
    default:
      break;
  }
}

TnxIterationListPtr TnxComponent::IterateDependents(const platform::ClassInfo* aIterationListClass) {
  return IterateDependentsEx({}, aIterationListClass);
}

TnxIterationListPtr TnxComponent::IterateDependentsEx(std::span<const std::string_view> aIgnoreClasses,
                                                      const platform::ClassInfo* aIterationListClass) {
  TnxIterationListPtr list = newIterationList(aIterationListClass);
  TnxIterationData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = sortedClassNames(aIgnoreClasses);
  ProcessNotification(nullptr, nxnIterate, &data);
  return list;
}

void TnxComponent::BroadcastNotification(TnxNotifyOp aOp, void* aParam, std::span<const std::string_view> aIgnoreClasses) {
  TnxIterationListPtr list = newIterationList(nullptr);
  TnxBroadcastData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = sortedClassNames(aIgnoreClasses);
  data.bdSender = this;
  data.bdNotifyOp = aOp;
  data.bdParam = aParam;
  ProcessNotification(nullptr, nxnBroadcast, &data);
}

const platform::ClassInfo* TnxComponent::FindClassRecursive(std::string_view aSuffix) const {
  for (const platform::ClassInfo* c = &classInfo(); c; c = c->parent) {
    std::string name(c->name);
    name += aSuffix;
    if (const platform::ClassInfo* found = platform::getClass(name)) return found;
  }
  return nullptr;
}

bool TnxComponent::UIStatsVisible() const {
  platform::TStringList captions;
  GetStatsCaptions(captions);
  return captions.count() > 0;
}

void TnxComponent::GetStatsCaptions(platform::TStringList&) const {}
void TnxComponent::GetStatsValues(platform::TStringList&) const {}

nxString TnxComponent::GetDisplayOnlyValue(const nxString&) const { return u"(not implemented)"; }

void TnxComponent::SaveSettingsToStream(TnxWriter& aWriter) {
  nxAssert(!Name().empty(), "Settings of a component without Name");
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(Name());
}

void TnxComponent::LoadSettingsFromStream(TnxReader& aReader) {
  nxAssert(!Name().empty(), "Settings of a component without Name");
  if (aReader.ReadInteger() != 1)
    nxRaiseComponentError(TnxComponentExceptionClass::component, false, this, nxErrIncompatibleStream, nxString());
  const nxString name = aReader.ReadString();
  nxAssert(name == Name(), "Settings written for another component");
}

TnxComponent* TnxComponent::LookupByComponentID(TnxBaseID aID) {
  auto* c = static_cast<TnxComponent*>(nxHandleTable().Lookup(aID, &kComponentHandleKind));
  if (!c || (c->ComponentState() & csDestroying)) throw platform::RuntimeError("Invalid ComponentID");
  return c;
}

// ---------------------------------------------------------------------------
// TnxRegisterableComponent

PL_CLASS_INFO_IMPL(TnxRegisterableComponent, TnxComponent, "TnxRegisterableComponent", nullptr)

void TnxRegisterableComponent::Register(const platform::ClassInfo& aClass) {
  if (!gComponentClasses) gComponentClasses = new platform::ClassRegistry;
  if (gComponentClasses->add(aClass)) return;
  // The exception class of the registering class, known here from its
  // ancestry alone (there is no instance to ask).
  const TnxComponentExceptionClass kind =
      aClass.inheritsFrom(TnxStateComponent::staticClassInfo())      ? TnxComponentExceptionClass::state
      : aClass.inheritsFrom(TnxLoggableComponent::staticClassInfo()) ? TnxComponentExceptionClass::loggable
      : aClass.inheritsFrom(TnxBaseLog::staticClassInfo())           ? TnxComponentExceptionClass::baseLog
                                                                     : TnxComponentExceptionClass::registerable;
  nxRaiseComponentError(kind, true, nullptr, 0,
                        platform::format(u"The class \"%s\" is already registered", {platform::fromUtf8(aClass.name)}));
}

void TnxRegisterableComponent::Unregister(const platform::ClassInfo& aClass) {
  if (!gComponentClasses) return;
  gComponentClasses->removeClass(aClass);
  if (gComponentClasses->empty()) {
    delete gComponentClasses;
    gComponentClasses = nullptr;
  }
}

const platform::ClassInfo* TnxRegisterableComponent::FindRegisteredClass(std::string_view aClassName) {
  return gComponentClasses ? gComponentClasses->find(aClassName) : nullptr;
}

std::vector<platform::ClassRegistry::Entry> TnxRegisterableComponent::GetRegisteredClasses(
    const platform::ClassInfo& aOf) {
  std::vector<platform::ClassRegistry::Entry> result;
  if (!gComponentClasses) return result;
  for (auto& e : gComponentClasses->entries())
    if (e.classInfo->inheritsFrom(aOf)) result.push_back(std::move(e));
  return result;
}

// ---------------------------------------------------------------------------
// Logging

PL_CLASS_INFO_IMPL(TnxBaseLog, TnxRegisterableComponent, "TnxBaseLog", nullptr)
PL_CLASS_INFO_IMPL(TnxLoggableComponent, TnxRegisterableComponent, "TnxLoggableComponent", nullptr)

bool TnxBaseLog::Enabled() const {
  TnxPadlockGuard lock(dependentLock());
  return blEnabled;
}

void TnxBaseLog::SetEnabled(bool aValue) {
  TnxPadlockGuard lock(dependentLock());
  blEnabled = aValue;
}

void TnxLoggableComponent::SetEventLog(TnxBaseLog* aLog) {
  if (aLog == lcEventLog) return;
  UnlinkDependent(lcEventLog);
  lcEventLog = aLog;
  LinkDependent(aLog);
}

void TnxLoggableComponent::lcLog(const nxString& aMsg, TnxWord32 aMsgNumber, TnxLogPriority aPriority,
                                 const nxString& aCategory, platform::DateTime aWhen, std::int32_t aWhenBias) {
  if (TnxBaseLog* log = activeLog()) log->WriteString(aMsg, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TnxLoggableComponent::lcLog(const nxString& aMsg, std::span<const platform::FormatArg> aArgs,
                                 TnxWord32 aMsgNumber, TnxLogPriority aPriority, const nxString& aCategory,
                                 platform::DateTime aWhen, std::int32_t aWhenBias) {
  if (TnxBaseLog* log = activeLog())
    log->WriteString(aMsg, aArgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TnxLoggableComponent::lcLog(const nxString& aMsg, const void* aData, std::int32_t aDataLen,
                                 TnxWord32 aMsgNumber, TnxLogPriority aPriority, const nxString& aCategory,
                                 platform::DateTime aWhen, std::int32_t aWhenBias) {
  if (TnxBaseLog* log = activeLog())
    log->WriteBlock(aMsg, aData, aDataLen, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TnxLoggableComponent::lcLogs(std::span<const nxString> aMsgs, TnxWord32 aMsgNumber, TnxLogPriority aPriority,
                                  const nxString& aCategory, platform::DateTime aWhen, std::int32_t aWhenBias) {
  if (TnxBaseLog* log = activeLog()) log->WriteStrings(aMsgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TnxLoggableComponent::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxRegisterableComponent::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == lcEventLog) lcEventLog = nullptr;
}

TnxIntfPtr<InxInterface> TnxLoggableComponent::CreateComponentInfo() {
  return TnxIntfPtr<InxInterface>(
      static_cast<InxComponentInfo31000*>(platform::create<TnxLoggableComponentInfo>(this)));
}

// ---------------------------------------------------------------------------
// Component-info objects

PL_CLASS_INFO_IMPL(TnxComponentInfo, TnxInterfacedObject, "TnxComponentInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxLoggableComponentInfo, TnxComponentInfo, "TnxLoggableComponentInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxStateComponentInfo, TnxLoggableComponentInfo, "TnxStateComponentInfo", nullptr)

namespace {
TnxUnicodeStrings statsLines(const TnxComponent* aComponent, bool aValues) {
  TnxUnicodeStrings result;
  if (!aComponent) return result;
  platform::TStringList lines;
  if (aValues)
    aComponent->GetStatsValues(lines);
  else
    aComponent->GetStatsCaptions(lines);
  nxStringsToArray(lines, result);
  return result;
}

template <class Cls, class I>
InxInterface* interfaceOf(TnxInterfacedObject* aObject) {
  return static_cast<I*>(static_cast<Cls*>(aObject));
}
}  // namespace

nxString TnxComponentInfo::GetClassName() {
  return ciComponent ? platform::fromUtf8(ciComponent->className()) : nxString();
}
nxString TnxComponentInfo::GetName() { return ciComponent ? ciComponent->Name() : nxString(); }
nxString TnxComponentInfo::GetDisplayName() { return ciComponent ? ciComponent->DisplayName() : nxString(); }
nxString TnxComponentInfo::GetDisplayCategory() {
  return ciComponent ? ciComponent->DisplayCategory() : nxString();
}
TnxUnicodeStrings TnxComponentInfo::GetStatsCaptions() { return statsLines(ciComponent, false); }
TnxUnicodeStrings TnxComponentInfo::GetStatsValues() { return statsLines(ciComponent, true); }

const TnxInterfaceEntry* TnxComponentInfo::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxComponentInfo31000::IID, &interfaceOf<TnxComponentInfo, InxComponentInfo31000>},
      {&InxComponentInfoDisconnect::IID, &interfaceOf<TnxComponentInfo, InxComponentInfoDisconnect>},
      {nullptr, nullptr},
  };
  return table;
}

bool TnxLoggableComponentInfo::GetLogEnabled() {
  auto* c = platform::objectAs<TnxLoggableComponent>(ciComponent);
  return c && c->EventLogEnabled();
}

TnxIntfPtr<InxComponentInfo31000> TnxLoggableComponentInfo::GetEventLogInfo() {
  auto* c = platform::objectAs<TnxLoggableComponent>(ciComponent);
  if (!c || !c->EventLog()) return {};
  void* intf = nullptr;
  if (c->EventLog()->nxcCreateInstance(nullptr, nxComponentInfoClassID, nullptr, InxComponentInfo31000::IID, &intf) !=
      nxS_OK)
    return {};
  return TnxIntfPtr<InxComponentInfo31000>(static_cast<InxComponentInfo31000*>(intf), false);
}

const TnxInterfaceEntry* TnxLoggableComponentInfo::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxComponentInfo31000::IID, &interfaceOf<TnxLoggableComponentInfo, InxComponentInfo31000>},
      {&InxComponentInfoDisconnect::IID, &interfaceOf<TnxLoggableComponentInfo, InxComponentInfoDisconnect>},
      {&InxLoggableComponentInfo31000::IID, &interfaceOf<TnxLoggableComponentInfo, InxLoggableComponentInfo31000>},
      {nullptr, nullptr},
  };
  return table;
}

TnxState TnxStateComponentInfo::GetState() {
  auto* c = platform::objectAs<TnxStateComponent>(ciComponent);
  return c ? c->State() : nxsInactive;
}

const TnxInterfaceEntry* TnxStateComponentInfo::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxComponentInfo31000::IID, &interfaceOf<TnxStateComponentInfo, InxComponentInfo31000>},
      {&InxComponentInfoDisconnect::IID, &interfaceOf<TnxStateComponentInfo, InxComponentInfoDisconnect>},
      {&InxLoggableComponentInfo31000::IID, &interfaceOf<TnxStateComponentInfo, InxLoggableComponentInfo31000>},
      {&InxStateComponentInfo31000::IID, &interfaceOf<TnxStateComponentInfo, InxStateComponentInfo31000>},
      {nullptr, nullptr},
  };
  return table;
}

// ---------------------------------------------------------------------------
// State machine tables

const TnxState nxNextState[4][4] = {
    /* Inactive    */ {nxsInactive, nxsUnsupported, nxsStopped, nxsStopped},
    /* Unsupported */ {nxsUnsupported, nxsUnsupported, nxsUnsupported, nxsUnsupported},
    /* Stopped     */ {nxsInactive, nxsInactive, nxsStopped, nxsStarted},
    /* Started     */ {nxsStopped, nxsStopped, nxsStopped, nxsStarted},
};

const TnxStateTransition nxStateTransitions[4][4] = {
    /* Inactive    */ {nxstNone, nxstNone, nxstInitializing, nxstInvalid},
    /* Unsupported */ {nxstInvalid, nxstNone, nxstInvalid, nxstInvalid},
    /* Stopped     */ {nxstDeactivating, nxstInvalid, nxstNone, nxstStarting},
    /* Started     */ {nxstInvalid, nxstInvalid, nxstStopping, nxstNone},
};

const bool nxStateTransitionUpward[6] = {false, true, false, true, false, false};

nxString nxStateDisplayName(TnxState aState) {
  static const char16_t* const names[] = {u"Inactive", u"Unsupported", u"Stopped", u"Started"};
  return aState < 4 ? names[aState] : u"";
}

nxString nxStateTransitionDisplayName(TnxStateTransition aTransition) {
  static const char16_t* const names[] = {u"None", u"Initializing", u"Deactivating",
                                          u"Starting", u"Stopping", u"Invalid"};
  const unsigned v = aTransition & 0x7F;
  return v < 6 ? names[v] : u"";
}

// ---------------------------------------------------------------------------
// TnxStateComponent

PL_CLASS_INFO_IMPL(TnxStateComponent, TnxLoggableComponent, "TnxStateComponent", nullptr)

namespace {
// Holds a forced deactivation for one scope.
class ForceInactive {
 public:
  explicit ForceInactive(int& aCounter) : counter_(aCounter) { ++counter_; }
  ~ForceInactive() { --counter_; }
  ForceInactive(const ForceInactive&) = delete;
  ForceInactive& operator=(const ForceInactive&) = delete;

 private:
  int& counter_;
};
}  // namespace

TnxStateComponent::TnxStateComponent(TnxComponent* aOwner) : TnxLoggableComponent(aOwner) {}

TnxStateComponent::~TnxStateComponent() = default;

void TnxStateComponent::beforeDestruction() {
  {
    // Inactive before the dependents hear that it goes away, whatever they
    // say about the steps down.
    ForceInactive force(scForceInactive);
    Close();
  }
  TnxLoggableComponent::beforeDestruction();
}

void TnxStateComponent::SetEnabled(bool aValue) {
  if (aValue == scEnabled) return;
  if (!aValue) SetActive(false);
  scEnabled = aValue;
}

bool TnxStateComponent::GetActive() const { return scState == nxsStopped || scState == nxsStarted; }

void TnxStateComponent::SetActive(bool aValue) {
  if (aValue)
    SetState(nxsStarted);
  else if (scState != nxsUnsupported)
    SetState(nxsInactive);
}

void TnxStateComponent::SetActiveDesigntime(bool aValue) {
  scActiveDesigntime = aValue;
  if ((ComponentState() & csDesigning) && !(ComponentState() & csLoading)) {
    try {
      SetActive(aValue);
    } catch (...) {
      scActiveDesigntime = GetActive();
      throw;
    }
    scActiveDesigntime = GetActive();
  }
}

void TnxStateComponent::SetActiveRuntime(bool aValue) {
  scActiveRuntime = aValue;
  if (!(ComponentState() & (csDesigning | csLoading))) {
    try {
      SetActive(aValue);
    } catch (...) {
      scActiveRuntime = GetActive();
      throw;
    }
    scActiveRuntime = GetActive();
  }
}

void TnxStateComponent::setTransition(TnxStateTransition aTransition) {
  scStateTransition = aTransition;
  StateTransitionChanged(aTransition);
}

void TnxStateComponent::SetState(TnxState aTarget) {
  if (aTarget == nxsStarted && scState != aTarget) scLastStartError.clear();
  TnxState old = scState;
  TnxState next = scState;
  try {
    while (scState != aTarget) {
      old = scState;
      next = nxNextState[old][aTarget];
      const TnxStateTransition saved = scStateTransition;
      bool leave = false;
      try {
        try {
          setTransition(nxStateTransitions[old][next]);
          if (next == old) {
            leave = true;
          } else if (!StateChanging(old, next) && !(aTarget == nxsInactive && scForceInactive > 0)) {
            leave = true;  // a refused step ends the whole request quietly
          } else {
            nxAssert(saved == nxstNone, "State change from inside a transition");
            switch (scStateTransition) {
              case nxstDeactivating:
                scDeactivating();
                break;
              case nxstStopping:
                scStopping();
                break;
              case nxstInvalid:
                RaiseError(u"Invalid state transition.");
              case nxstInitializing:
              case nxstStarting:
                if (!scEnabled) RaiseError(u"The Component is disabled.");
                if (scStateTransition == nxstInitializing) {
                  try {
                    scInitializing();
                  } catch (...) {
                    scDeactivating();
                    throw;
                  }
                } else {
                  try {
                    scStarting();
                  } catch (...) {
                    scStopping();
                    throw;
                  }
                }
                break;
              case nxstNone:
                break;
            }
            nxAssert(scState == old, "State changed by a transition hook");
            scState = next;
            StateChanged(old, next);
            if (next == nxsStopped) scStopped();
            if (next == nxsStarted) scStarted();
          }
        } catch (...) {
          setTransition(saved);
          throw;
        }
        setTransition(saved);
      } catch (...) {
        if (aTarget != nxsInactive) throw;
        // A step that leads nowhere (unsupported) cannot be forced: forcing
        // it would repeat the same failing step for ever.
        if (next == old) return;
        scState = next;  // deactivation always completes
        scStartTime = 0;  // a forced step skips StateChanged: no uptime for a component that is down
        continue;
      }
      if (leave) return;
    }
  } catch (const std::exception& e) {
    const nxString message = nxExceptionMessage(e);
    if (aTarget == nxsStarted) scLastStartError = message;
    try {
      const TnxResult code = nxConvertException(e, nullptr, this, 0);
      lcLog(u"Error while changing state (%s -> %s): %s: %s",
            std::initializer_list<platform::FormatArg>{nxStateDisplayName(old), nxStateDisplayName(next),
                                                       platform::fromUtf8(nxExceptionClassName(e)), message},
            code, lpError, u"default", 0, nxLogNoWhenBias);
    } catch (...) {
      // A failing log must neither hide the start error nor stop the rollback.
    }
    try {
      ForceInactive force(scForceInactive);
      SetState(nxsInactive);
    } catch (...) {
    }
    throw;
  }
}

bool TnxStateComponent::StateChanging(TnxState aCurrent, TnxState aNext) {
  std::uint8_t states[2] = {aCurrent, aNext};
  try {
    NotifyDependents(nxnStateChanging, states, nullptr);
  } catch (const EnxAbortStateChange&) {
    return false;
  }
  return true;
}

void TnxStateComponent::StateChanged(TnxState aOld, TnxState aNew) {
  if (ComponentState() & csDesigning)
    scActiveDesigntime = aNew == nxsStarted;
  else
    scActiveRuntime = aNew == nxsStarted;
  std::uint8_t states[2] = {aOld, aNew};
  NotifyDependents(nxnStateChanged, states, nullptr);
  if (scOnStateChanged) scOnStateChanged(this);
  scStartTime = aNew == nxsStarted && aNew != aOld ? platform::now() : 0;
}

void TnxStateComponent::StateTransitionChanged(TnxStateTransition) {
  if (scOnStateTransChanged) scOnStateTransChanged(this);
}

void TnxStateComponent::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxLoggableComponent::ProcessNotification(aSender, aOp, aParam);
  if ((aOp == nxnStateChanging || aOp == nxnStateChanged) && aParam) {
    auto* sender = platform::objectAs<TnxStateComponent>(aSender);
    if (!sender) return;
    const auto* states = static_cast<const std::uint8_t*>(aParam);
    FollowStateChange(sender, aOp == nxnStateChanging, static_cast<TnxState>(states[0]),
                      static_cast<TnxState>(states[1]));
  }
}

void TnxStateComponent::FollowStateChange(TnxStateComponent* aComponent, bool aChanging, TnxState aOldState,
                                          TnxState aNewState) {
  if (scStateTransition != nxstNone) return;
  if (aOldState > nxsStarted || aNewState > nxsStarted) return;
  const TnxStateTransition t = nxStateTransitions[aOldState][aNewState];
  if (t == nxstNone || t == nxstInvalid) return;
  if (ShouldFollowStateChange(aComponent, aChanging, t, aNewState)) SetState(aNewState);
}

bool TnxStateComponent::ShouldFollowStateChange(TnxStateComponent* aComponent, bool aChanging,
                                                TnxStateTransition aTransition, TnxState aNewState) {
  if (!aChanging) return false;
  const TnxStateTransition own = nxStateTransitions[scState][nxNextState[scState][aNewState]];
  if (nxStateTransitionUpward[aTransition]) return nxStateTransitionUpward[own] && aComponent->DependsOn(this);
  return !nxStateTransitionUpward[own] && DependsOn(aComponent);
}

bool TnxStateComponent::DependsOn(TnxStateComponent*) const { return false; }

void TnxStateComponent::CheckInactive() {
  if (scState == nxsInactive || scState == nxsUnsupported) return;
  if (ComponentState() & (csDesigning | csUpdating))
    SetActive(false);
  else
    RaiseError(u"This component must be inactive when performing this operation.");
}

void TnxStateComponent::CheckInactiveOrStopped() {
  if (scState == nxsInactive || scState == nxsUnsupported || scState == nxsStopped) return;
  if (ComponentState() & (csDesigning | csUpdating))
    SetState(nxsStopped);
  else
    RaiseError(u"This component must be inactive or stopped when performing this operation.");
}

void TnxStateComponent::CheckStarted() {
  if (scState != nxsStarted && (ComponentState() & (csDesigning | csUpdating))) SetActive(true);
  if (scState != nxsStarted) RaiseError(u"This component must be started when performing this operation.");
}

void TnxStateComponent::SwitchToSavedActive() {
  if (scSavedActive != 0) SetActive(true);
  scSavedActive = 0;
}

void TnxStateComponent::GetStatsCaptions(platform::TStringList& aList) const {
  if (UIUptimeVisible()) aList.add(u"Uptime");
  if (UILastStartErrorVisible()) aList.add(u"Last Start Error");
  TnxLoggableComponent::GetStatsCaptions(aList);
}

void TnxStateComponent::GetStatsValues(platform::TStringList& aList) const {
  if (UIUptimeVisible()) {
    if (scStartTime == 0) {
      aList.add(u"");
    } else {
      const auto secs = static_cast<std::int64_t>(std::floor((platform::now() - scStartTime) * 86400.0 + 0.5));
      const std::int64_t days = secs / 86400, rest = secs % 86400;
      char text[48];
      std::snprintf(text, sizeof text, "%lld.%02d:%02d:%02d", static_cast<long long>(days),
                    static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
      aList.add(platform::fromUtf8(text));
    }
  }
  if (UILastStartErrorVisible()) aList.add(scLastStartError);
  TnxLoggableComponent::GetStatsValues(aList);
}

void TnxStateComponent::Loaded() {
  TnxLoggableComponent::Loaded();
  if (GetActive()) return;
  if (ComponentState() & csDesigning) {
    try {
      SetActive(scActiveDesigntime);
    } catch (const std::exception&) {
      // No application exception handler in the engine: dropped.
    }
  } else {
    SetActive(scActiveRuntime);
  }
}

void TnxStateComponent::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxLoggableComponent::AddDebugInfo(aContainer, aFlag);
  aContainer->AddString(u"State", nxStateDisplayName(scState));
  aContainer->AddString(u"StateTransition", nxStateTransitionDisplayName(scStateTransition));
}

TnxIntfPtr<InxInterface> TnxStateComponent::CreateComponentInfo() {
  return TnxIntfPtr<InxInterface>(static_cast<InxComponentInfo31000*>(platform::create<TnxStateComponentInfo>(this)));
}

void TnxStateComponent::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxLoggableComponent::GetConfigSettings(aSettings);
  for (const char16_t* name : {u"Active", u"EventLogEnabled"}) {
    TnxBaseSetting* setting = aSettings.AddSetting(platform::create<TnxBaseSetting>());
    setting->SetName(name);
    setting->SetDefaultValue(platform::Variant(u"false"));
    setting->SetSettingType(nxstBoolean);
    setting->SetPropertyName(name);
  }
}

void TnxStateComponent::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxLoggableComponent::LoadConfig(aConfig);
  SetEventLogEnabled(aConfig.GetValue(u"EventLogEnabled", platform::Variant(EventLogEnabled())).toBoolean());
  // As a flag: a store that keeps texts answers "true"/"false", which a
  // numeric conversion would refuse.
  scSavedActive = aConfig.GetValue(u"Active", platform::Variant(scSavedActive != 0)).toBoolean() ? 1 : 0;
}

void TnxStateComponent::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxLoggableComponent::SaveConfig(aConfig);
  aConfig.SetValue(u"EventLogEnabled", platform::Variant(EventLogEnabled()));
  aConfig.SetValue(u"Active", platform::Variant(Active()));
}

void TnxStateComponent::LoadSettingsFromStream(TnxReader& aReader) {
  TnxLoggableComponent::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) incompatibleStream();
  SetEventLogEnabled(aReader.ReadBoolean());
  scSavedActive = aReader.ReadBoolean() ? 1 : 0;
}

void TnxStateComponent::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxLoggableComponent::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(EventLogEnabled());
  aWriter.WriteBoolean(Active());
}

#include "nxllComponent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "nxllBde.h"
#include "nxllBdeStrings.h"
#include "plCollation.h"
#include "plFormat.h"
#include "plLocale.h"
#include "plString.h"

namespace {

// Kind tag of component ids in the handle table.
constexpr char kComponentHandleKind = 0;

[[noreturn]] void assertionFailed(const char* aText, int aLine) {
  throw platform::RuntimeError(std::string(aText) + " (nxllComponent, line " + std::to_string(aLine) + ")");
}
#define NX_COMPONENT_ASSERT(cond, text) \
  do {                                  \
    if (!(cond)) assertionFailed(text, __LINE__); \
  } while (0)

bool sameTextAscii(const nxString& a, const nxString& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

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
// Exceptions

nxString EnxComponentException::ComponentDescription(const TnxComponent* aComponent) {
  if (!aComponent) return u"<nil pointer>";
  if (!aComponent->Name().empty()) return aComponent->Name();
  return platform::format(u"<unnamed %s instance>", {platform::fromUtf8(aComponent->className())});
}

void nxRaiseComponentError(TnxComponentExceptionClass aClass, bool aComponentForm, const TnxComponent* aComponent,
                           TnxResult aCode, const nxString& aText) {
  const nxString text = aText.empty() && aCode != 0 ? nxGetErrorString(aCode) : aText;
  nxString msg;
  if (!aComponentForm)
    msg = platform::format(u"DazavAV: %s [$%x/%d]", {text, aCode, aCode});
  else if (aCode != 0)
    msg = platform::format(u"DazavAV: %s: %s [$%x/%d]",
                           {EnxComponentException::ComponentDescription(aComponent), text, aCode, aCode});
  else
    msg = platform::format(u"DazavAV: %s: %s [no error code]",
                           {EnxComponentException::ComponentDescription(aComponent), text});
  const std::string m = platform::toUtf8(msg);
  switch (aClass) {
    case TnxComponentExceptionClass::component: throw EnxComponentException(m, aCode);
    case TnxComponentExceptionClass::registerable: throw EnxRegisterableComponentException(m, aCode);
    case TnxComponentExceptionClass::baseLog: throw EnxBaseLogException(m, aCode);
    case TnxComponentExceptionClass::loggable: throw EnxLoggableComponentException(m, aCode);
    case TnxComponentExceptionClass::state: throw EnxStateComponentException(m, aCode);
  }
  throw EnxComponentException(m, aCode);
}

nxString nxFormatInt64(std::int64_t aValue) {
  return platform::format(u"%.0n", {static_cast<long double>(aValue)});
}

// ---------------------------------------------------------------------------
// Iteration list

PL_CLASS_INFO_IMPL(TnxIterationList, platform::TObject, "TnxIterationList", &platform::factoryFor<TnxIterationList>)

bool TnxIterationList::AcceptItem(TnxComponent*) const { return true; }

int TnxIterationList::Compare(const TnxComponent* a, const TnxComponent* b) const {
  const int r = platform::compareString(platform::systemDefaultLocale(), platform::NORM_IGNORECASE,
                                        a->DisplayName(), b->DisplayName());
  if (r != 0) return r;
  if (a == b) return 0;
  return std::less<const TnxComponent*>()(a, b) ? -1 : 1;
}

int TnxIterationList::Add(TnxComponent* aItem) {
  if (!AcceptItem(aItem)) return -1;
  auto pos = std::upper_bound(items_.begin(), items_.end(), aItem,
                              [this](TnxComponent* x, TnxComponent* y) { return Compare(x, y) < 0; });
  const auto inserted = items_.insert(pos, aItem);  // may reallocate: take begin() after it
  return static_cast<int>(inserted - items_.begin());
}

int TnxIterationList::IndexOf(const TnxComponent* aItem) const {
  auto it = std::find(items_.begin(), items_.end(), aItem);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TnxIterationList::SaveSettingsToStream(TnxSettingsWriter& aWriter) {
  aWriter.WriteInteger(2);
  aWriter.WriteListBegin();
  for (TnxComponent* c : items_) {
    if (c->Name().empty()) continue;
    aWriter.WriteString(c->Name());
    std::unique_ptr<TnxSettingsBlockWriter> block = aWriter.NewBlockWriter();
    c->SaveSettingsToStream(*block);
    const std::vector<std::uint8_t> bytes = block->Bytes();
    aWriter.WriteInt64(static_cast<std::int64_t>(bytes.size()));
    aWriter.WriteRaw(bytes);
  }
  aWriter.WriteListEnd();
}

void TnxIterationList::LoadSetttingsFromStream(TnxSettingsReader& aReader) {
  auto incompatible = [] {
    nxRaiseComponentError(TnxComponentExceptionClass::component, false, nullptr, nxErrIncompatibleStream, nxString());
  };
  const std::int32_t version = aReader.ReadInteger();
  if (version == 2) {
    platform::TStringList byName;  // case ignored
    for (TnxComponent* c : items_) byName.addObject(c->Name(), c);
    byName.sort();
    aReader.ReadListBegin();
    while (!aReader.EndOfList()) {
      const nxString name = aReader.ReadString();
      const std::int64_t size = aReader.ReadInt64();
      if (size < 0) incompatible();
      int index;
      if (byName.find(name, index)) {
        std::unique_ptr<TnxSettingsReader> block =
            aReader.NewBlockReader(aReader.ReadRaw(static_cast<std::size_t>(size)));
        static_cast<TnxComponent*>(byName.objects(index))->LoadSettingsFromStream(*block);
      } else {
        aReader.SkipRaw(static_cast<std::size_t>(size));  // a component that no longer exists
      }
    }
    aReader.ReadListEnd();
  } else if (version == 1) {
    platform::TStringList names;
    names.setText(aReader.ReadString());
    for (int i = 0; i < names.count(); ++i) {
      auto it = std::find_if(items_.begin(), items_.end(),
                             [&](TnxComponent* c) { return c->Name() == names.strings(i); });
      if (it == items_.end()) incompatible();
      (*it)->LoadSettingsFromStream(aReader);
    }
  } else {
    incompatible();
  }
}

bool TnxIterationData::Ignores(std::string_view aClassName) const {
  return std::binary_search(
      IgnoreIterateClasses.begin(), IgnoreIterateClasses.end(), aClassName,
      [](std::string_view a, std::string_view b) { return platform::compareClassNames(a, b) < 0; });
}

// ---------------------------------------------------------------------------
// TnxComponent

PL_CLASS_INFO_IMPL(TnxComponent, platform::TObject, "TnxComponent", nullptr)

TnxComponent::TnxComponent(TnxComponent* aOwner) : owner_(aOwner) {
  componentID_ = nxHandleTable().Add(this, &kComponentHandleKind);
  if (owner_) {
    try {
      owner_->components_.push_back(this);
    } catch (...) {
      releaseComponentID();
      throw;
    }
    if (owner_->componentState_ & csDesigning) componentState_ |= csDesigning;
  }
}

TnxComponent::~TnxComponent() {
  releaseComponentID();
  // Normally empty here (beforeDestruction freed them); not so when
  // construction failed after owned components were made.
  while (!components_.empty()) {
    TnxComponent* child = components_.back();
    try {
      platform::TObject::free(child);
    } catch (...) {
      delete child;
    }
  }
  // Links left behind when beforeDestruction did not run.
  for (TnxComponent* d : Dependents()) d->RemoveDependent(this);
  if (owner_) {
    auto& siblings = owner_->components_;
    auto it = std::find(siblings.begin(), siblings.end(), this);
    if (it != siblings.end()) siblings.erase(it);
  }
}

void TnxComponent::releaseComponentID() {
  if (componentID_ != 0) {
    nxHandleTable().Remove(componentID_, &kComponentHandleKind);
    componentID_ = 0;
  }
}

void TnxComponent::startDestroying() {
  componentState_ |= csDestroying;
  releaseComponentID();
}

void TnxComponent::beforeDestruction() {
  // The id goes first: nobody may look up a component that is going away.
  releaseComponentID();
  NotifyDependents(nxnDestroying, nullptr, nullptr);
  startDestroying();
  DestroyComponents();
  platform::TObject::beforeDestruction();
}

void TnxComponent::DestroyComponents() {
  while (!components_.empty()) platform::TObject::free(components_.back());  // leaves the list in its destructor
}

void TnxComponent::SetDesigning(bool aValue) {
  if (aValue)
    componentState_ |= csDesigning;
  else
    componentState_ &= static_cast<std::uint8_t>(~csDesigning);
  for (TnxComponent* c : components_) c->SetDesigning(aValue);
}

void TnxComponent::EndLoading() {
  componentState_ &= static_cast<std::uint8_t>(~csLoading);
  Loaded();
}

nxString TnxComponent::Version() const {
  const nxString v = platform::format(u"%0.4f", {4.7501});
  return u"4." + v.substr(v.size() - 4);
}

nxString TnxComponent::DisplayName() const {
  if (!nxcDisplayName.empty()) return nxcDisplayName;
  if (!name_.empty()) return name_;
  return platform::fromUtf8(className());
}

bool TnxComponent::DisplayNameStored() const {
  return !nxcDisplayName.empty() && !sameTextAscii(nxcDisplayName, name_) &&
         !sameTextAscii(nxcDisplayName, platform::fromUtf8(className()));
}

void TnxComponent::CheckError(TnxResult aErrorCode) const {
  if (aErrorCode != 0) RaiseError(aErrorCode);
}

void TnxComponent::RaiseError(TnxResult aErrorCode) const {
  nxRaiseComponentError(ExceptionClass(), true, this, aErrorCode, nxString());
}

void TnxComponent::RaiseError(const nxString& aMsg) const {
  nxRaiseComponentError(ExceptionClass(), true, this, 0, aMsg);
}

void TnxComponent::RaiseError(TnxResult aErrorCode, const nxString& aAltMsg) const {
  nxRaiseComponentError(ExceptionClass(), true, this, aErrorCode, aAltMsg);
}

void TnxComponent::AddDependent(TnxComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  std::lock_guard<platform::CriticalSection> lock(nxcDependentLock);
  auto pos = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent,
                              std::less<TnxComponent*>());
  if (pos != nxcDependentList.end() && *pos == aComponent) return;
  nxcDependentList.insert(pos, aComponent);
  ++nxcDependentGeneration;
}

void TnxComponent::RemoveDependent(TnxComponent* aComponent) {
  if (!aComponent) return;
  std::lock_guard<platform::CriticalSection> lock(nxcDependentLock);
  auto pos = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent,
                              std::less<TnxComponent*>());
  if (pos == nxcDependentList.end() || *pos != aComponent) return;
  nxcDependentList.erase(pos);
  ++nxcDependentGeneration;
}

std::vector<TnxComponent*> TnxComponent::Dependents() const {
  std::lock_guard<platform::CriticalSection> lock(nxcDependentLock);
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
  std::lock_guard<platform::CriticalSection> lock(nxcDependentLock);
  if (nxcDestroying && aOp == nxnDestroying) return;  // going away is told once
  nxcDestroying = aOp == nxnDestroying;
  std::vector<TnxComponent*> notified;  // sorted by address
  for (;;) {
    const std::uint64_t generation = nxcDependentGeneration;
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

void TnxComponent::SaveSettingsToStream(TnxSettingsWriter& aWriter) {
  NX_COMPONENT_ASSERT(!name_.empty(), "Settings of a component without Name");
  aWriter.WriteInteger(1);
  aWriter.WriteString(name_);
}

void TnxComponent::LoadSettingsFromStream(TnxSettingsReader& aReader) {
  NX_COMPONENT_ASSERT(!name_.empty(), "Settings of a component without Name");
  if (aReader.ReadInteger() != 1)
    nxRaiseComponentError(TnxComponentExceptionClass::component, false, this, nxErrIncompatibleStream, nxString());
  const nxString name = aReader.ReadString();
  NX_COMPONENT_ASSERT(name == name_, "Settings written for another component");
}

TnxComponent* TnxComponent::LookupByComponentID(TnxBaseID aID) {
  auto* c = static_cast<TnxComponent*>(nxHandleTable().Lookup(aID, &kComponentHandleKind));
  if (!c || (c->componentState_ & csDestroying)) throw platform::RuntimeError("Invalid ComponentID");
  return c;
}

// ---------------------------------------------------------------------------
// TnxRegisterableComponent

PL_CLASS_INFO_IMPL(TnxRegisterableComponent, TnxComponent, "TnxRegisterableComponent", nullptr)

void TnxRegisterableComponent::Register(const platform::ClassInfo& aClass) {
  if (!gComponentClasses) gComponentClasses = new platform::ClassRegistry;
  if (gComponentClasses->add(aClass)) return;
  const TnxComponentExceptionClass kind = aClass.inheritsFrom(TnxStateComponent::staticClassInfo())
                                              ? TnxComponentExceptionClass::state
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

PL_CLASS_INFO_IMPL(TnxStateComponent, TnxRegisterableComponent, "TnxStateComponent", nullptr)

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

TnxStateComponent::TnxStateComponent(TnxComponent* aOwner) : TnxRegisterableComponent(aOwner) {}

TnxStateComponent::~TnxStateComponent() = default;

void TnxStateComponent::beforeDestruction() {
  {
    // Inactive before the dependents hear that it goes away, whatever they
    // say about the steps down.
    ForceInactive force(scForceInactive);
    Close();
  }
  TnxRegisterableComponent::beforeDestruction();
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
            NX_COMPONENT_ASSERT(saved == nxstNone, "State change from inside a transition");
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
            NX_COMPONENT_ASSERT(scState == old, "State changed by a transition hook");
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
        scState = next;  // deactivation always completes
        continue;
      }
      if (leave) return;
    }
  } catch (const std::exception& e) {
    if (aTarget == nxsStarted) scLastStartError = platform::fromUtf8(e.what());
    // TODO(integration): nxConvertException(e, nil, this, 0) for the code and
    // lcLog "Error while changing state (%s -> %s): %s: %s" with
    // nxStateDisplayName(old), nxStateDisplayName(next), once the component
    // is loggable and exception conversion exists.
    (void)old;
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
  TnxRegisterableComponent::ProcessNotification(aSender, aOp, aParam);
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
  TnxRegisterableComponent::GetStatsCaptions(aList);
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
  TnxRegisterableComponent::GetStatsValues(aList);
}

void TnxStateComponent::Loaded() {
  TnxRegisterableComponent::Loaded();
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

// Engine components: persistent roots, ownership, dependents and
// notifications, the component class registry, event logging, component
// configuration and info objects, and state components with their
// table-driven state machine.
//
// Allocation: TnxPersistent and TnxComponent instances come from the engine
// allocator (TnxObject's; TnxComponent derives from the class library's
// platform::TComponent and takes the allocator over); create with
// platform::create<T>(...), destroy with platform::TObject::free. TnxPersistent answers interface queries without
// reference counting: its owner frees it.
//
// Ownership: a component created with an owner (any platform::TComponent,
// a dataset too) is owned by it; freeing the owner frees its owned
// components, last created first, after the owner has told its dependents
// and its free-notification partners that it goes away. A component freed on
// its own leaves its owner's list.
//
// Dependents: linked components, not owned, each in the other's list (links
// are symmetric). Notifications run synchronously in the calling thread.
// The dependents list is guarded by the component's re-entrant padlock, which
// NotifyDependents holds during the whole walk, handlers included, so a
// handler on the same thread may link or unlink (the walk restarts and nobody
// is told twice). A log's Enabled flag is kept under the same padlock.
//
// Exceptions: the component exceptions are engine exceptions
// (EnxBaseException) whose Message/what() name the component; catch them by
// reference and take the text with nxExceptionMessage when the static type
// is a base class.
//
// Component ids: GetComponentID answers a handle of the process-wide handle
// table (nxllHandleTable), not an address. The handle is dropped as soon as
// the component starts to be destroyed, so LookupByComponentID refuses ids of
// dying and freed components, also when a new component reuses the address.
// Info objects (nxcCreateInstance) are reference counted and may outlive
// their component: it disconnects them when it is destroyed.
//
// State components move only through SetState, one step at a time through
// the next-state and transition tables; each step is announced to the
// linked components before and after it, and linked state components follow
// according to DependsOn. No lock: a state component is driven by one thread
// at a time. Deactivation always completes, and a component being destroyed
// (or rolled back after a failed start) ends inactive even when a dependent
// refuses the step. A failed start is converted (nxConvertException: code and
// the thread's pending message) and logged to the event log, if any.
//
// Registries (component classes) are changed only by explicit module
// start-up and finalisation calls, in the main thread; reads take no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nxllBase.h"
#include "nxllException.h"
#include "nxllHandleTable.h"
#include "nxllList.h"
#include "nxllStreams.h"
#include "nxllTypes.h"
#include "nxllUtils.h"
#include "plComponent.h"
#include "plDateTime.h"
#include "plErrors.h"
#include "plFormat.h"
#include "plObject.h"
#include "plStringList.h"

class TnxComponent;
class TnxStateComponent;
class TnxBaseLog;
class TnxPadlock;
class TnxBaseSettings;
class TnxBaseComponentConfiguration;

// ---------------------------------------------------------------------------
// Delegates

// A method pointer bound to its object: one object pointer and one thunk, so
// testing for nil and calling cost no allocation and no type erasure.
template <class... Args>
class TnxMethod {
 public:
  constexpr TnxMethod() = default;

  // TnxMethod<...>::Of<&C::Handler>(obj)
  template <auto Method, class C>
  static TnxMethod Of(C* aObject) {
    return TnxMethod(aObject, [](void* aSelf, Args... aArgs) { (static_cast<C*>(aSelf)->*Method)(aArgs...); });
  }

  explicit operator bool() const { return thunk_ != nullptr; }
  void operator()(Args... aArgs) const { thunk_(object_, aArgs...); }
  void* Object() const { return object_; }
  friend bool operator==(const TnxMethod&, const TnxMethod&) = default;

 private:
  using Thunk = void (*)(void*, Args...);
  TnxMethod(void* aObject, Thunk aThunk) : object_(aObject), thunk_(aThunk) {}
  void* object_ = nullptr;
  Thunk thunk_ = nullptr;
};

// Notify event: the sender.
using TnxNotifyEvent = TnxMethod<TnxComponent*>;

// ---------------------------------------------------------------------------
// Notifications

using TnxNotifyOp = std::uint8_t;
inline constexpr TnxNotifyOp nxnDestroying = 1;
inline constexpr TnxNotifyOp nxnStateChanging = 4;  // param: two bytes, current and next state
inline constexpr TnxNotifyOp nxnStateChanged = 5;   // param: two bytes, old and new state
inline constexpr TnxNotifyOp nxnIterate = 6;        // param: TnxIterationData
inline constexpr TnxNotifyOp nxnBroadcast = 9;      // param: TnxBroadcastData

// ---------------------------------------------------------------------------
// Persistent objects

// The identifier with which an interface is turned back into its object.
inline constexpr platform::Guid nxObjectCastGUID{
    0xCEDF24DE, 0x80A4, 0x447D, {0x8C, 0x75, 0xEB, 0x87, 0x1D, 0xC1, 0x21, 0xFD}};

// Assignable, describable objects from the engine allocator. Interface
// queries answer without reference counting: AddRef and Release do nothing,
// the owner frees the object (platform::TObject::free / nxFreeAndNil).
class TnxPersistent : public TnxObject, public InxExceptionData {
  PL_CLASS_INFO_DECL()
 public:
  // nxObjectCastGUID answers the TnxPersistent itself, the basic interface
  // this as InxInterface; anything else nxE_NOINTERFACE.
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  // "SelfPtr" and "ClassName".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;
  // Copies aSource into this object; the base accepts nothing and raises
  // platform::ConvertError "Cannot assign a <source> to a <this>".
  virtual void Assign(TnxPersistent* aSource);
  // Sets the pending message "%s not supported by %s" for 12289 and answers
  // 12289.
  TnxResult NotSupported(const nxString& aMethodName) const;
};

class TnxLifetimeTrackedPersistent : public TnxPersistent {
  PL_CLASS_INFO_DECL()
 public:
  // Created on first request; two threads asking at once get the same one.
  TnxIntfPtr<InxLifetimeMonitorRef> GetLifetimeMonitor();
  void beforeDestruction() override;
  ~TnxLifetimeTrackedPersistent() override;

 private:
  TnxAtomicIntfPtr<InxLifetimeMonitorObject> ltpLifetimeMonitor;  // installed on first request
};

// ---------------------------------------------------------------------------
// Exceptions

// Which exception class a component raises (its ExceptionClass).
enum class TnxComponentExceptionClass : std::uint8_t { component, registerable, baseLog, loggable, state };

// Engine exception naming the component that raised it. The component forms
// build "DazavAV: <component>: <text> [$<hex>/<code>]" (or "[no error
// code]"); ErrorString, CustomInfos and the transport form are those of the
// plain engine form, so only Message()/what() carry the component. The
// inherited constructors give the plain engine form.
class EnxComponentException : public EnxBaseException {
 public:
  using EnxBaseException::EnxBaseException;
  EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode);
  EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode, platform::UnicodeStringView aAltMsg);
  EnxComponentException(const TnxComponent* aComponent, TnxResult aErrorCode, platform::UnicodeStringView aAltMsg,
                        TnxFormatArgs aArgs);
  EnxComponentException(const TnxComponent* aComponent, platform::UnicodeStringView aMsg);
  EnxComponentException(const TnxComponent* aComponent, platform::UnicodeStringView aMsg, TnxFormatArgs aArgs);

  static const platform::ClassInfo& staticClassInfo();
  const platform::ClassInfo& classInfo() const override { return staticClassInfo(); }
  const char* what() const noexcept override;
  // Hides EnxBaseException::Message: the component form when there is one.
  const nxString& Message() const;
  const nxString& DisplayMessage() const override { return Message(); }

  // aComponent's Name, "<unnamed %s instance>" or "<nil pointer>".
  static nxString ComponentDescription(const TnxComponent* aComponent);

 private:
  void BuildComponentMessage(const TnxComponent* aComponent, bool aHasCode);

  nxString ecMessage;  // empty: the plain engine form
  std::string ecWhat;
};
NX_DECLARE_EXCEPTION(EnxRegisterableComponentException, EnxComponentException)
NX_DECLARE_EXCEPTION(EnxBaseLogException, EnxRegisterableComponentException)
NX_DECLARE_EXCEPTION(EnxLoggableComponentException, EnxRegisterableComponentException)
NX_DECLARE_EXCEPTION(EnxStateComponentException, EnxLoggableComponentException)

// The silent abort: raised by a handler of nxnStateChanging to refuse the
// step; the state machine consumes it and ends the request quietly.
class EnxAbortStateChange : public platform::RuntimeError {
 public:
  EnxAbortStateChange() : platform::RuntimeError("Operation aborted") {}
};

// The component's exception of aClass. With aComponentForm the component
// forms (nxcCreate); otherwise the plain engine form. aText empty with a
// code: the code form (pending message or standard text).
[[noreturn]] void nxRaiseComponentError(TnxComponentExceptionClass aClass, bool aComponentForm,
                                        const TnxComponent* aComponent, TnxResult aCode, const nxString& aText);

// ---------------------------------------------------------------------------
// Iteration

// A sorted list of components (display name ignoring case in the system
// default locale, then address). Not owning.
class TnxIterationList : public TnxSortedList {
  PL_CLASS_INFO_DECL()
 public:
  // The index, or -1 when AcceptItem refuses aItem.
  std::int32_t Add(void* aItem) override;
  std::int8_t Compare(void* aItem1, void* aItem2) override;
  virtual bool AcceptItem(TnxComponent* aItem);

  // Settings of the listed components (version 2: one block per named
  // component, so unknown names can be skipped; version 1 is read too).
  virtual void LoadSetttingsFromStream(TnxReader& aReader);
  virtual void SaveSettingsToStream(TnxWriter& aWriter);

  TnxComponent* Items(std::int32_t aIndex) const { return static_cast<TnxComponent*>(blGet(aIndex)); }
};

using TnxIterationListPtr = TnxOwned<TnxIterationList>;

struct TnxIterationData {
  TnxIterationList* IteratonList = nullptr;  // not owned
  // Sorted, ASCII case ignored; empty = nothing ignored. Owned by the data.
  std::vector<std::string> IgnoreIterateClasses;

  bool Ignores(std::string_view aClassName) const;
};

struct TnxBroadcastData : TnxIterationData {
  TnxComponent* bdSender = nullptr;
  TnxNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

// ---------------------------------------------------------------------------
// Components

// Component state flags of the class library's component.
using platform::csDesigning;
using platform::csDestroying;
using platform::csLoading;
using platform::csUpdating;

// Value with thousands separators and no decimals ("%.0n").
nxString nxFormatInt64(std::int64_t aValue);

// Component-info interfaces: what a monitor reads of a component. The info
// object refers to its component without holding it; the component
// disconnects its cached info when it is destroyed, after which the info
// answers empty values.
class InxComponentInfo31000 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x62C02ED7, 0x4544, 0x43EC, {0xA7, 0x17, 0x8E, 0x8D, 0xB1, 0x3A, 0x00, 0x62}};
  virtual nxString GetClassName() = 0;
  virtual nxString GetName() = 0;
  virtual nxString GetDisplayName() = 0;
  virtual nxString GetDisplayCategory() = 0;
  virtual TnxUnicodeStrings GetStatsCaptions() = 0;
  virtual TnxUnicodeStrings GetStatsValues() = 0;

 protected:
  ~InxComponentInfo31000() = default;
};

class InxComponentInfoDisconnect : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xFC7190C6, 0x1D67, 0x4DB0, {0x84, 0xD2, 0x3E, 0xD4, 0xF2, 0x2D, 0x8D, 0xEA}};
  virtual void Disconnect() = 0;

 protected:
  ~InxComponentInfoDisconnect() = default;
};

// Class id of the component-info objects (nxcCreateInstance).
inline constexpr platform::Guid nxComponentInfoClassID{
    0x9A00537F, 0x49C8, 0x456A, {0x87, 0x70, 0xE2, 0x14, 0x37, 0x49, 0xD2, 0xFC}};

// The engine's component shares the class library's component (owner,
// name, free notification, loading and designing flags), so engine
// components and datasets own and notify one another; its instances still
// come from the engine allocator.
class TnxComponent : public platform::TComponent, public InxExceptionData {
  PL_CLASS_INFO_DECL()
 public:
  static void* operator new(std::size_t aSize) { return TnxObject::operator new(aSize); }
  static void operator delete(void* aPointer) noexcept { TnxObject::operator delete(aPointer); }
  static void* operator new(std::size_t aSize, std::align_val_t aAlign) {
    return TnxObject::operator new(aSize, aAlign);
  }
  static void operator delete(void* aPointer, std::align_val_t aAlign) noexcept {
    TnxObject::operator delete(aPointer, aAlign);
  }

  // Answers like TnxPersistent: the owner frees a component, references
  // are not counted.
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  explicit TnxComponent(platform::TComponent* aOwner = nullptr);
  ~TnxComponent() override;
  void beforeDestruction() override;

  // --- class library component part (name, loading and designing flags
  // are the class library's); owner and owned components that are engine
  // components, null for others.
  TnxComponent* Owner() const { return platform::objectAs<TnxComponent>(platform::TComponent::Owner()); }
  TnxComponent* Components(int aIndex) const {
    return platform::objectAs<TnxComponent>(platform::TComponent::Components(aIndex));
  }

  // --- properties
  nxString Version() const;
  nxString DisplayName() const;
  void SetDisplayName(const nxString& aValue) { nxcDisplayName = aValue; }
  // Whether the display name is stored in the form data.
  bool DisplayNameStored() const;
  const nxString& DisplayCategory() const { return nxcDisplayCategory; }
  void SetDisplayCategory(const nxString& aValue) { nxcDisplayCategory = aValue; }
  TnxNotifyEvent OnSettingsLoaded() const { return nxcOnSettingsLoaded; }
  void SetOnSettingsLoaded(TnxNotifyEvent aEvent) { nxcOnSettingsLoaded = aEvent; }
  bool Destroying() const { return nxcDestroying; }

  // --- exception data: "SelfPtr", "ClassName", the stored "DisplayName",
  // "DisplayCategory" when set, and a "Stats" container of caption = value.
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  // --- errors (the component forms of ExceptionClass)
  virtual TnxComponentExceptionClass ExceptionClass() const { return TnxComponentExceptionClass::component; }
  void CheckError(TnxResult aErrorCode) const;
  [[noreturn]] void RaiseError(TnxResult aErrorCode) const;
  [[noreturn]] void RaiseError(const nxString& aMsg) const;
  [[noreturn]] void RaiseError(const nxString& aMsg, TnxFormatArgs aArgs) const;
  [[noreturn]] void RaiseError(TnxResult aErrorCode, const nxString& aAltMsg) const;
  [[noreturn]] void RaiseError(TnxResult aErrorCode, const nxString& aAltMsg, TnxFormatArgs aArgs) const;
  // Every CheckError and RaiseError (the state machine's refusals too) ends
  // here, with the arguments already formatted: aErrorCode 0 is no code, an
  // empty aText with a code the code's pending or standard text. The base
  // raises the component form of ExceptionClass; a layer with its own
  // exception class (the client components) overrides it.
  [[noreturn]] virtual void RaiseComponentError(TnxResult aErrorCode, const nxString& aText) const;

  // --- dependents
  virtual void AddDependent(TnxComponent* aComponent);
  virtual void RemoveDependent(TnxComponent* aComponent);
  virtual void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam);
  virtual void NotifyDependents(TnxNotifyOp aOp, void* aParam, TnxComponent* aExclude);
  virtual void BroadcastNotification(TnxNotifyOp aOp, void* aParam, std::span<const std::string_view> aIgnoreClasses = {});
  void LinkDependent(TnxComponent* aComponent);
  void UnlinkDependent(TnxComponent* aComponent);
  // Snapshot of the dependents list, in its order (address).
  std::vector<TnxComponent*> Dependents() const;
  // aIterationListClass: a subclass of TnxIterationList with a factory, or
  // null for TnxIterationList. The list holds this component and every one
  // reachable through links, each once.
  TnxIterationListPtr IterateDependents(const platform::ClassInfo* aIterationListClass = nullptr);
  // As IterateDependents, leaving out components whose class name (ASCII case
  // ignored) is in aIgnoreClasses, and what is reachable only through them.
  TnxIterationListPtr IterateDependentsEx(std::span<const std::string_view> aIgnoreClasses,
                                          const platform::ClassInfo* aIterationListClass = nullptr);

  // --- configuration
  // Adds the component's setting descriptions; none here.
  virtual void GetConfigSettings(TnxBaseSettings& aSettings);
  virtual void LoadConfig(TnxBaseComponentConfiguration& aConfig);
  virtual void SaveConfig(TnxBaseComponentConfiguration& aConfig);
  // LoadConfig, then OnSettingsLoaded.
  void DoLoadConfig(TnxBaseComponentConfiguration& aConfig);

  // --- misc
  virtual bool Supported() const { return true; }
  // The class registered with the class library under the name of this
  // class, then of each ancestor, followed by aSuffix; null when none.
  virtual const platform::ClassInfo* FindClassRecursive(std::string_view aSuffix) const;
  virtual bool UISettingsVisible() const { return true; }
  virtual bool UIStatsVisible() const;
  virtual void GetStatsCaptions(platform::TStringList& aList) const;
  virtual void GetStatsValues(platform::TStringList& aList) const;
  virtual void ClearStats() {}
  virtual nxString GetDisplayOnlyValue(const nxString& aValueName) const;
  virtual void LoadSettingsFromStream(TnxReader& aReader);
  virtual void SaveSettingsToStream(TnxWriter& aWriter);

  // --- component info
  // The cached info object (created on first request, one per component).
  TnxIntfPtr<InxInterface> GetComponentInfo();
  // aClassID nxComponentInfoClassID without aOuter: the info object queried
  // for aInterfaceID; otherwise nxE_NOTIMPL. aInterface is cleared first.
  virtual std::int32_t nxcCreateInstance(InxInterface* aSession, const platform::Guid& aClassID,
                                         InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                         void** aInterface);
  TnxIntfPtr<InxLifetimeMonitorRef> GetLifetimeMonitor();

  // --- ids
  TnxBaseID GetComponentID() const { return componentID_; }
  // The live component of aID; a stale or foreign id raises
  // platform::RuntimeError "Invalid ComponentID".
  static TnxComponent* LookupByComponentID(TnxBaseID aID);

 protected:
  // A new info object for this component, one reference counted.
  virtual TnxIntfPtr<InxInterface> CreateComponentInfo();
  // The padlock of the dependents list (re-entrant).
  TnxPadlock& dependentLock() const { return *nxcDependentLock; }

 private:
  void startDestroying();
  void releaseComponentID();
  [[noreturn]] void raiseComponentError(TnxResult aErrorCode, const nxString& aText) const;

  TnxBaseID componentID_ = 0;

  TnxAtomicIntfPtr<InxLifetimeMonitorObject> nxcLifetimeMonitor;  // installed on first request
  TnxAtomicIntfPtr<InxInterface> nxcComponentInfo;                 // installed on first request
  TnxNotifyEvent nxcOnSettingsLoaded;
  TnxOwned<TnxPadlock> nxcDependentLock;
  std::vector<TnxComponent*> nxcDependentList;  // sorted by address, not owned
  std::uint32_t nxcDependentGeneration = 0;     // bumped by every change
  bool nxcDestroying = false;
  nxString nxcDisplayName;
  nxString nxcDisplayCategory;
};

// The info object of TnxComponent: InxComponentInfo31000 and
// InxComponentInfoDisconnect.
class TnxComponentInfo : public TnxInterfacedObject,
                         public InxComponentInfo31000,
                         public InxComponentInfoDisconnect {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxComponentInfo(TnxComponent* aComponent) : ciComponent(aComponent) {}
  NX_INTERFACED_OBJECT_BASICS()

  nxString GetClassName() override;
  nxString GetName() override;
  nxString GetDisplayName() override;
  nxString GetDisplayCategory() override;
  TnxUnicodeStrings GetStatsCaptions() override;
  TnxUnicodeStrings GetStatsValues() override;
  void Disconnect() override { ciComponent = nullptr; }

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
  TnxComponent* ciComponent;  // not held; nil once disconnected
};

// A component whose class can be registered by name. One process-wide
// registry (names ignore ASCII case, duplicates refused); it exists while at
// least one class is registered.
class TnxRegisterableComponent : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxComponent::TnxComponent;
  TnxComponentExceptionClass ExceptionClass() const override { return TnxComponentExceptionClass::registerable; }

  // A duplicate name raises the registering class's component exception
  // "The class "%s" is already registered" naming "<nil pointer>".
  static void Register(const platform::ClassInfo& aClass);
  static void Unregister(const platform::ClassInfo& aClass);
  static const platform::ClassInfo* FindRegisteredClass(std::string_view aClassName);
  // The registered classes inheriting from aOf, in name order.
  static std::vector<platform::ClassRegistry::Entry> GetRegisteredClasses(const platform::ClassInfo& aOf);
};

// ---------------------------------------------------------------------------
// Logging

enum TnxLogPriority : std::uint8_t { lpDebug, lpInfo, lpWarn, lpError, lpFatal };

inline constexpr std::int32_t nxLogNoWhenBias = 0x0FFFFFFF;  // aWhenBias not given

// A log entry's data in a form of the concrete log's choosing.
class InxLogData : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x3E76A588, 0x1E49, 0x403A, {0x97, 0x08, 0x86, 0xDF, 0x07, 0x66, 0x5D, 0x44}};

 protected:
  ~InxLogData() = default;
};

// The event log. Every entry carries after its own values: aMsgNumber (the
// engine code of an error), aPriority, aCategory ("default" when the caller
// has none), aWhen (0 = not given) and aWhenBias (nxLogNoWhenBias = not
// given). Writes run in the caller's thread; a concrete log that is written
// from several threads guards its store itself. Enabled is read and written
// under the dependents padlock.
class TnxBaseLog : public TnxRegisterableComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxRegisterableComponent::TnxRegisterableComponent;
  TnxComponentExceptionClass ExceptionClass() const override { return TnxComponentExceptionClass::baseLog; }

  bool Enabled() const;
  virtual void SetEnabled(bool aValue);
  virtual void Clear() {}
  virtual void Flush() {}
  virtual void WriteBlock(const nxString& S, const void* aBuf, std::int32_t aBufLen, TnxWord32 aMsgNumber,
                          TnxLogPriority aPriority, const nxString& aCategory, platform::DateTime aWhen,
                          std::int32_t aWhenBias) = 0;
  virtual void WriteString(const nxString& aMsg, TnxWord32 aMsgNumber, TnxLogPriority aPriority,
                           const nxString& aCategory, platform::DateTime aWhen, std::int32_t aWhenBias) = 0;
  virtual void WriteString(const nxString& aMsg, std::span<const platform::FormatArg> aArgs, TnxWord32 aMsgNumber,
                           TnxLogPriority aPriority, const nxString& aCategory, platform::DateTime aWhen,
                           std::int32_t aWhenBias) = 0;
  virtual void WriteStrings(std::span<const nxString> aMsgs, TnxWord32 aMsgNumber, TnxLogPriority aPriority,
                            const nxString& aCategory, platform::DateTime aWhen, std::int32_t aWhenBias) = 0;
  virtual void WriteLogData(InxLogData* aLogData) = 0;

 private:
  bool blEnabled = false;
};

// A component that writes to an optional event log. The log calls do
// nothing unless EventLogEnabled is set and a log is assigned; the log is
// linked, so its destruction clears EventLog.
class TnxLoggableComponent : public TnxRegisterableComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxRegisterableComponent::TnxRegisterableComponent;

  TnxBaseLog* EventLog() const { return lcEventLog; }
  virtual bool GetEventLogEnabled() const { return lcLogEnabled; }
  bool EventLogEnabled() const { return GetEventLogEnabled(); }
  virtual void SetEventLog(TnxBaseLog* aLog);
  virtual void SetEventLogEnabled(bool aValue) { lcLogEnabled = aValue; }

  virtual void lcLog(const nxString& aMsg, TnxWord32 aMsgNumber = 0, TnxLogPriority aPriority = lpInfo,
                     const nxString& aCategory = u"default", platform::DateTime aWhen = 0,
                     std::int32_t aWhenBias = nxLogNoWhenBias);
  virtual void lcLog(const nxString& aMsg, std::span<const platform::FormatArg> aArgs, TnxWord32 aMsgNumber = 0,
                     TnxLogPriority aPriority = lpInfo, const nxString& aCategory = u"default",
                     platform::DateTime aWhen = 0, std::int32_t aWhenBias = nxLogNoWhenBias);
  virtual void lcLog(const nxString& aMsg, const void* aData, std::int32_t aDataLen, TnxWord32 aMsgNumber = 0,
                     TnxLogPriority aPriority = lpInfo, const nxString& aCategory = u"default",
                     platform::DateTime aWhen = 0, std::int32_t aWhenBias = nxLogNoWhenBias);
  virtual void lcLogs(std::span<const nxString> aMsgs, TnxWord32 aMsgNumber = 0, TnxLogPriority aPriority = lpInfo,
                      const nxString& aCategory = u"default", platform::DateTime aWhen = 0,
                      std::int32_t aWhenBias = nxLogNoWhenBias);

  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;
  TnxComponentExceptionClass ExceptionClass() const override { return TnxComponentExceptionClass::loggable; }

 protected:
  TnxIntfPtr<InxInterface> CreateComponentInfo() override;

 private:
  // The assigned log when logging is on, else null.
  TnxBaseLog* activeLog() const { return lcLogEnabled ? lcEventLog : nullptr; }

  TnxBaseLog* lcEventLog = nullptr;  // not owned
  bool lcLogEnabled = false;
};

class InxLoggableComponentInfo31000 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xA777D270, 0x3FF8, 0x4CF2, {0x92, 0x9A, 0x65, 0x9C, 0xDB, 0xA2, 0xC0, 0x2C}};
  virtual bool GetLogEnabled() = 0;
  // The event log's own info; empty without a log.
  virtual TnxIntfPtr<InxComponentInfo31000> GetEventLogInfo() = 0;

 protected:
  ~InxLoggableComponentInfo31000() = default;
};

class TnxLoggableComponentInfo : public TnxComponentInfo, public InxLoggableComponentInfo31000 {
  PL_CLASS_INFO_DECL()
 public:
  using TnxComponentInfo::TnxComponentInfo;
  NX_INTERFACED_OBJECT_BASICS()
  bool GetLogEnabled() override;
  TnxIntfPtr<InxComponentInfo31000> GetEventLogInfo() override;

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
};

// ---------------------------------------------------------------------------
// State components

enum TnxState : std::uint8_t { nxsInactive, nxsUnsupported, nxsStopped, nxsStarted };
enum TnxStateTransition : std::uint8_t {
  nxstNone,
  nxstInitializing,
  nxstDeactivating,
  nxstStarting,
  nxstStopping,
  nxstInvalid
};

extern const TnxState nxNextState[4][4];                 // [current][target]
extern const TnxStateTransition nxStateTransitions[4][4];  // [current][next]
extern const bool nxStateTransitionUpward[6];

// "Inactive" ... "Started"; empty for other values.
nxString nxStateDisplayName(TnxState aState);
// "None" ... "Invalid" (low seven bits); empty for other values.
nxString nxStateTransitionDisplayName(TnxStateTransition aTransition);

class TnxStateComponent : public TnxLoggableComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxStateComponent(TnxComponent* aOwner = nullptr);
  ~TnxStateComponent() override;
  void beforeDestruction() override;

  // --- properties
  bool Enabled() const { return scEnabled; }
  virtual void SetEnabled(bool aValue);
  virtual bool GetActive() const;
  virtual void SetActive(bool aValue);
  bool Active() const { return GetActive(); }
  bool ActiveRuntime() const { return scActiveRuntime; }
  virtual void SetActiveRuntime(bool aValue);
  bool ActiveDesigntime() const { return scActiveDesigntime; }
  virtual void SetActiveDesigntime(bool aValue);
  TnxState State() const { return scState; }
  virtual void SetState(TnxState aTarget);
  TnxStateTransition StateTransition() const { return scStateTransition; }
  const nxString& LastStartError() const { return scLastStartError; }
  platform::DateTime StartTime() const { return scStartTime; }
  std::uint8_t SavedActive() const { return scSavedActive; }
  void SetSavedActive(std::uint8_t aValue) { scSavedActive = aValue; }
  TnxNotifyEvent OnStateChanged() const { return scOnStateChanged; }
  void SetOnStateChanged(TnxNotifyEvent aEvent) { scOnStateChanged = aEvent; }
  TnxNotifyEvent OnStateTransChanged() const { return scOnStateTransChanged; }
  void SetOnStateTransChanged(TnxNotifyEvent aEvent) { scOnStateTransChanged = aEvent; }

  void Open() { SetActive(true); }
  void Connect() { SetActive(true); }
  void Close() { SetActive(false); }

  // --- following
  virtual void FollowStateChange(TnxStateComponent* aComponent, bool aChanging, TnxState aOldState,
                                 TnxState aNewState);
  virtual bool ShouldFollowStateChange(TnxStateComponent* aComponent, bool aChanging,
                                       TnxStateTransition aTransition, TnxState aNewState);
  // True when this component needs aComponent.
  virtual bool DependsOn(TnxStateComponent* aComponent) const;

  virtual void CheckInactive();
  virtual void CheckInactiveOrStopped();
  virtual void CheckStarted();
  virtual void SwitchToSavedActive();

  // --- overrides
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;
  TnxComponentExceptionClass ExceptionClass() const override { return TnxComponentExceptionClass::state; }
  // The inherited values, then "State" and "StateTransition" by name.
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;
  // "Active" and "EventLogEnabled", both Boolean with default "false".
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  // EventLogEnabled and the saved active flag (applied by
  // SwitchToSavedActive, not here).
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  void Loaded() override;

  virtual bool UIUptimeVisible() const { return false; }
  virtual bool UILastStartErrorVisible() const { return false; }
  virtual bool UIStateVisible() const { return true; }

 protected:
  TnxIntfPtr<InxInterface> CreateComponentInfo() override;
  // Transition hooks.
  virtual void scInitializing() {}
  virtual void scDeactivating() {}
  virtual void scStarting() {}
  virtual void scStopping() {}
  virtual void scStarted() {}
  virtual void scStopped() {}
  // False when a dependent refused the step (EnxAbortStateChange).
  virtual bool StateChanging(TnxState aCurrent, TnxState aNext);
  virtual void StateChanged(TnxState aOld, TnxState aNew);
  virtual void StateTransitionChanged(TnxStateTransition aTransition);

 private:
  void setTransition(TnxStateTransition aTransition);

  platform::DateTime scStartTime = 0;
  std::uint8_t scSavedActive = 0;
  bool scEnabled = true;
  bool scActiveRuntime = false;
  bool scActiveDesigntime = false;
  TnxState scState = nxsInactive;
  TnxStateTransition scStateTransition = nxstNone;
  TnxNotifyEvent scOnStateChanged;
  TnxNotifyEvent scOnStateTransChanged;
  nxString scLastStartError;
  // > 0 while a deactivation must complete whatever the dependents say
  // (destruction, rollback of a failed start).
  int scForceInactive = 0;
};

class InxStateComponentInfo31000 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xD3AFD042, 0x0815, 0x48BA, {0xA3, 0x74, 0x25, 0x9D, 0x67, 0x88, 0x49, 0x63}};
  virtual TnxState GetState() = 0;

 protected:
  ~InxStateComponentInfo31000() = default;
};

class TnxStateComponentInfo : public TnxLoggableComponentInfo, public InxStateComponentInfo31000 {
  PL_CLASS_INFO_DECL()
 public:
  using TnxLoggableComponentInfo::TnxLoggableComponentInfo;
  NX_INTERFACED_OBJECT_BASICS()
  // nxsInactive once disconnected.
  TnxState GetState() override;

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
};

// Engine components: ownership, dependents and notifications, the component
// class registry, and state components with their table-driven state machine.
//
// Ownership: a component created with an owner is owned by it; freeing the
// owner (platform::TObject::free) frees its owned components, last created
// first, after the owner has told its dependents that it goes away. A
// component freed on its own leaves its owner's list.
//
// Dependents: linked components, not owned, each in the other's list (links
// are symmetric). Notifications run synchronously in the calling thread.
// The dependents list is guarded by a re-entrant lock that NotifyDependents
// holds during the whole walk, handlers included, so a handler on the same
// thread may link or unlink (the walk restarts and nobody is told twice).
//
// Component ids: GetComponentID answers a handle of the process-wide handle
// table (nxllHandleTable), not an address. The handle is dropped as soon as
// the component starts to be destroyed, so LookupByComponentID refuses ids of
// dying and freed components, also when a new component reuses the address.
//
// State components move only through SetState, one step at a time through
// the next-state and transition tables; each step is announced to the
// linked components before and after it, and linked state components follow
// according to DependsOn. No lock: a state component is driven by one thread
// at a time. Deactivation always completes, and a component being destroyed
// (or rolled back after a failed start) ends inactive even when a dependent
// refuses the step.
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

#include "nxllHandleTable.h"
#include "nxllTypes.h"
#include "plDateTime.h"
#include "plErrors.h"
#include "plObject.h"
#include "plStringList.h"
#include "plSync.h"

class TnxComponent;
class TnxStateComponent;

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
// Exceptions

// Which exception class a component raises (its ExceptionClass).
enum class TnxComponentExceptionClass : std::uint8_t { component, registerable, baseLog, loggable, state };

class EnxComponentException : public platform::RuntimeError {
 public:
  EnxComponentException(const std::string& aMessage, TnxResult aErrorCode)
      : platform::RuntimeError(aMessage), errorCode_(aErrorCode) {}
  // 0 for the forms without code.
  TnxResult ErrorCode() const { return errorCode_; }
  // aComponent's Name, "<unnamed %s instance>" or "<nil pointer>".
  static nxString ComponentDescription(const TnxComponent* aComponent);

 private:
  TnxResult errorCode_;
};
class EnxRegisterableComponentException : public EnxComponentException {
  using EnxComponentException::EnxComponentException;
};
class EnxBaseLogException : public EnxRegisterableComponentException {
  using EnxRegisterableComponentException::EnxRegisterableComponentException;
};
class EnxLoggableComponentException : public EnxRegisterableComponentException {
  using EnxRegisterableComponentException::EnxRegisterableComponentException;
};
class EnxStateComponentException : public EnxLoggableComponentException {
  using EnxLoggableComponentException::EnxLoggableComponentException;
};

// Raised by a handler of nxnStateChanging to refuse the step; the state
// machine consumes it and ends the request quietly.
class EnxAbortStateChange : public platform::RuntimeError {
 public:
  EnxAbortStateChange() : platform::RuntimeError("Operation aborted") {}
};

// The component's exception of aClass. Message forms: with aComponentForm
// "DazavAV: <component>: <text> [$<hex>/<code>]" (or "[no error code]" for
// code 0); otherwise the plain engine form "DazavAV: <text> [$<hex>/<code>]".
// An empty aText with a code takes the code's standard text.
[[noreturn]] void nxRaiseComponentError(TnxComponentExceptionClass aClass, bool aComponentForm,
                                        const TnxComponent* aComponent, TnxResult aCode, const nxString& aText);

// ---------------------------------------------------------------------------
// Settings streams: the operations of the tagged writer and reader (value
// encoding, list markers, raw bytes, nested memory blocks) that the component
// settings use. Readers raise their own errors on a value of another kind.

class TnxSettingsBlockWriter;

class TnxSettingsWriter {
 public:
  virtual ~TnxSettingsWriter() = default;
  virtual void WriteInteger(std::int32_t aValue) = 0;
  virtual void WriteInt64(std::int64_t aValue) = 0;
  virtual void WriteBoolean(bool aValue) = 0;
  virtual void WriteString(const nxString& aValue) = 0;
  virtual void WriteListBegin() = 0;
  virtual void WriteListEnd() = 0;
  // Bytes as they are, without a tag.
  virtual void WriteRaw(std::span<const std::uint8_t> aBytes) = 0;
  // A writer of the same encoding over a new, empty memory block.
  virtual std::unique_ptr<TnxSettingsBlockWriter> NewBlockWriter() = 0;
};

class TnxSettingsBlockWriter : public TnxSettingsWriter {
 public:
  virtual std::vector<std::uint8_t> Bytes() const = 0;
};

class TnxSettingsReader {
 public:
  virtual ~TnxSettingsReader() = default;
  virtual std::int32_t ReadInteger() = 0;
  // Any integer value, however wide it was written.
  virtual std::int64_t ReadInt64() = 0;
  virtual bool ReadBoolean() = 0;
  virtual nxString ReadString() = 0;
  virtual void ReadListBegin() = 0;
  virtual void ReadListEnd() = 0;
  // True when the next value is the list-end marker.
  virtual bool EndOfList() = 0;
  virtual std::vector<std::uint8_t> ReadRaw(std::size_t aCount) = 0;
  // Moves the position past aCount raw bytes.
  virtual void SkipRaw(std::size_t aCount) = 0;
  // A reader of the same encoding over aBytes.
  virtual std::unique_ptr<TnxSettingsReader> NewBlockReader(std::vector<std::uint8_t> aBytes) = 0;
};

// ---------------------------------------------------------------------------
// Iteration

// A sorted list of components (display name ignoring case in the system
// default locale, then address). Not owning.
class TnxIterationList : public platform::TObject {
  PL_CLASS_INFO_DECL()
 public:
  // The index, or -1 when AcceptItem refuses aItem.
  virtual int Add(TnxComponent* aItem);
  virtual int Compare(const TnxComponent* a, const TnxComponent* b) const;
  virtual bool AcceptItem(TnxComponent* aItem) const;

  // Settings of the listed components (version 2: one block per named
  // component, so unknown names can be skipped; version 1 is read too).
  virtual void LoadSetttingsFromStream(TnxSettingsReader& aReader);
  virtual void SaveSettingsToStream(TnxSettingsWriter& aWriter);

  int IndexOf(const TnxComponent* aItem) const;
  int Count() const { return static_cast<int>(items_.size()); }
  TnxComponent* Items(int aIndex) const { return items_.at(static_cast<std::size_t>(aIndex)); }

 private:
  std::vector<TnxComponent*> items_;
};

struct TnxFreeObject {
  void operator()(platform::TObject* aObject) const { platform::TObject::free(aObject); }
};
using TnxIterationListPtr = std::unique_ptr<TnxIterationList, TnxFreeObject>;

struct TnxIterationData {
  TnxIterationList* IteratonList = nullptr;  // not owned
  // Sorted, ASCII case ignored; empty = nothing ignored.
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
inline constexpr std::uint8_t csLoading = 0x01;
inline constexpr std::uint8_t csDesigning = 0x02;
inline constexpr std::uint8_t csDestroying = 0x04;
inline constexpr std::uint8_t csUpdating = 0x08;

// Value with thousands separators and no decimals ("%.0n").
nxString nxFormatInt64(std::int64_t aValue);

class TnxComponent : public platform::TObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxComponent(TnxComponent* aOwner = nullptr);
  ~TnxComponent() override;
  void beforeDestruction() override;

  // --- class library component part
  TnxComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TnxComponent* Components(int aIndex) const { return components_.at(static_cast<std::size_t>(aIndex)); }
  const nxString& Name() const { return name_; }
  void SetName(const nxString& aName) { name_ = aName; }
  std::uint8_t ComponentState() const { return componentState_; }
  void SetDesigning(bool aValue);
  // Loading bracket: Loaded() runs at its end.
  void BeginLoading() { componentState_ |= csLoading; }
  void EndLoading();
  virtual void Loaded() {}
  void Updating() { componentState_ |= csUpdating; }
  void Updated() { componentState_ &= static_cast<std::uint8_t>(~csUpdating); }

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

  // --- errors
  virtual TnxComponentExceptionClass ExceptionClass() const { return TnxComponentExceptionClass::component; }
  void CheckError(TnxResult aErrorCode) const;
  [[noreturn]] void RaiseError(TnxResult aErrorCode) const;
  [[noreturn]] void RaiseError(const nxString& aMsg) const;
  [[noreturn]] void RaiseError(TnxResult aErrorCode, const nxString& aAltMsg) const;

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
  virtual void LoadSettingsFromStream(TnxSettingsReader& aReader);
  virtual void SaveSettingsToStream(TnxSettingsWriter& aWriter);

  // --- ids
  TnxBaseID GetComponentID() const { return componentID_; }
  // The live component of aID; a stale or foreign id raises
  // platform::RuntimeError "Invalid ComponentID".
  static TnxComponent* LookupByComponentID(TnxBaseID aID);

 protected:
  // Runs the owned components' destruction; called at the end of
  // beforeDestruction, while this object is still whole.
  void DestroyComponents();

 private:
  void startDestroying();
  void releaseComponentID();

  TnxComponent* owner_;
  std::vector<TnxComponent*> components_;  // owned, creation order
  nxString name_;
  std::uint8_t componentState_ = 0;
  TnxBaseID componentID_ = 0;

  TnxNotifyEvent nxcOnSettingsLoaded;
  mutable platform::CriticalSection nxcDependentLock;
  std::vector<TnxComponent*> nxcDependentList;  // sorted by address, not owned
  std::uint64_t nxcDependentGeneration = 0;     // bumped by every change
  bool nxcDestroying = false;
  nxString nxcDisplayName;
  nxString nxcDisplayCategory;
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

class TnxStateComponent : public TnxRegisterableComponent {
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
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  void Loaded() override;

  virtual bool UIUptimeVisible() const { return false; }
  virtual bool UILastStartErrorVisible() const { return false; }
  virtual bool UIStateVisible() const { return true; }

 protected:
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

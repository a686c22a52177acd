// Objects family of the server-engine module: the destroy-safe server
// object, options, extenders and task handles. Include nxsdServerEngine.h,
// not this header.
#pragma once

#include "nxllOwners.h"
#include "nxsdServerEngineNames.h"

// ---- Abstract server objects ----------------------------------------------------
//
// Every object a client holds (session, database, transaction context, cursor,
// statement, task) derives from TnxAbstractServerObject.
//
// Destroy protocol:
// - Dispose of a server object with TnxAbstractServerObject::Close (a client)
//   or ::Free (an owner), never with platform::TObject::free/nxFreeAndNil:
//   only those two know about calls in progress.
// - Code that calls out (to extenders, monitors, handlers) while it holds an
//   object keeps a TnxServerObjectCall on it. When the object is closed or
//   freed meanwhile (from inside the callback, or from another object's
//   callback), it is marked destroying at once and every caller's flag is
//   set, but its memory is released only when the outermost call ends; the
//   caller checks ObjectClosed() and then leaves without touching it again.
// - asoDestroying never goes back to False; Free of a destroying object does
//   nothing, Close answers 8455.
// - An object's remote identity (GetRemoteID) is a handle of the process's
//   handle table, removed as destruction starts: LookupByID refuses a stale,
//   foreign-class, dying or other-session id with 9990 and never reads memory
//   through a client's number. It answers the object with a call held on it,
//   taken under the handle table's lock in the same step as the lookup, so a
//   Close on another thread cannot release the object under the caller.
//
// Thread safety: calls of one session are serialised by the session lock
// (held by callers); the extender list of an object is guarded by its
// extenders padlock and the options of a locked-options object by its
// options padlock. Extenders must not attach or detach extenders of the same
// object from inside Notify.

class TnxAbstractServerObject;
class TnxServerObjectCall;
class TnxExtendableServerObject;
class TnxAbstractSession;
class TnxAbstractTaskInfo;
class TnxBaseServerEngine;
class TnxBaseEngineExtender;
class TnxBaseEngineMonitor;

using TnxSessionID = TnxBaseID;

// Arguments of an engine action, in the order of the operation's arguments;
// objects travel as pointers.
using TnxEngineArgs = std::span<const platform::FormatArg>;

// The class id under which a server object answers its own interfaces.
inline constexpr platform::Guid nxServerObjectSelfClassID{
    0x762A2DA1, 0x44B8, 0x447A, {0x8C, 0xCA, 0x74, 0xEB, 0xEA, 0xA4, 0xE9, 0xF1}};

// Highest engine action number a set can hold.
inline constexpr int nxEngineActionMax = 47;

// The routine that delivers one action: an extender's Notify or an object's
// NotifyExtenders, bound to its object. Empty when nobody wants the action.
class TnxEngineNotify {
 public:
  using Thunk = TnxResult (*)(void* aTarget, TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);
  TnxEngineNotify() = default;
  TnxEngineNotify(void* aTarget, Thunk aThunk) : target_(aTarget), thunk_(aThunk) {}
  explicit operator bool() const { return thunk_ != nullptr; }
  TnxResult operator()(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) const {
    return thunk_(target_, aAction, aBefore, aArgs);
  }
  void* Target() const { return target_; }
  Thunk Routine() const { return thunk_; }

 private:
  void* target_ = nullptr;
  Thunk thunk_ = nullptr;
};

class TnxAbstractServerObject : public TnxLifetimeTrackedPersistent, public InxAbstractServerObject41100 {
  PL_CLASS_INFO_DECL()
  friend class TnxServerObjectCall;
  friend class TnxAbstractSession;

 public:
  explicit TnxAbstractServerObject(TnxAbstractSession* aSession);
  ~TnxAbstractServerObject() override;
  TnxAbstractServerObject(const TnxAbstractServerObject&) = delete;
  TnxAbstractServerObject& operator=(const TnxAbstractServerObject&) = delete;

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }

  // Inherited, then "Destroying".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  virtual TnxBaseID GetRemoteID();
  virtual bool GetIsRemote() { return false; }
  virtual TnxThreadPriority GetRemoteThreadPriority() { return 0; }
  virtual void SetRemoteThreadPriority(TnxThreadPriority) {}
  // The session's; without a session the thread's protocol version.
  virtual std::int32_t GetMinVersion();
  // nxServerObjectSelfClassID: the object's own interface aInterfaceID;
  // otherwise nxE_NOINTERFACE. *aInterface is cleared first.
  virtual std::int32_t CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface* aOuter,
                                               const platform::Guid& aInterfaceID, void** aInterface);
  virtual TnxBaseServerEngine* GetServerEngine() { return nullptr; }
  // The engine's conversion with this object (the runtime's without engine).
  virtual TnxResult asoConvertException(std::exception_ptr aException);
  // Last chance to release what refers back to the object; runs while the
  // object is still whole, after asoDestroying is set.
  virtual void PrepareDestroy() {}
  // Name-addressed lookup: '.'-separated parts, ASCII case ignored; a name
  // without '.' is name.<Self>. Heads: "<Self>", "<Session>", anything else
  // goes to the engine with the whole name. *aInterface is cleared first.
  virtual std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                         InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                         void** aInterface);

  // aBase: the live object of aBaseID if it is of aClass (or a subclass), not
  // destroying and of the session aSessionID (0: outside sessions), with
  // aCall held on it (the object stays in memory while aCall lives; check
  // aCall.ObjectClosed() after calling out); else nil, no call, and 9990.
  static TnxResult LookupByID(const platform::ClassInfo& aClass, TnxSessionID aSessionID, TnxBaseID aBaseID,
                              TnxServerObjectCall& aCall, TnxAbstractServerObject*& aBase);
  template <class T>
  static TnxResult LookupByID(TnxSessionID aSessionID, TnxBaseID aBaseID, TnxServerObjectCall& aCall, T*& aBase) {
    TnxAbstractServerObject* base = nullptr;
    const TnxResult result = LookupByID(T::staticClassInfo(), aSessionID, aBaseID, aCall, base);
    aBase = static_cast<T*>(base);
    return result;
  }

  // nil: 0; destroying: 8455; else frees the object, converting a failure of
  // its destruction through the engine (looked up before) into the result.
  static TnxResult Close(TnxAbstractServerObject* aObject);
  // Nothing for nil or a destroying object; deferred while calls are in
  // progress on it (see the header comment).
  static void Free(TnxAbstractServerObject* aObject);

  // Exception data named "ExceptionData" describing this object, encoded for
  // the thread's minimum peer version.
  nxString GetEncodedExceptionData(bool aIncludeChildren) override;

  TnxAbstractSession* Session() const { return asoSession; }
  bool Destroying() const { return asoDestroying.load(std::memory_order_acquire); }
  TnxBaseID RemoteID() { return GetRemoteID(); }
  bool IsRemote() { return GetIsRemote(); }
  std::int32_t MinVersion() { return GetMinVersion(); }

  void beforeDestruction() override;

 protected:
  // Runs first in destruction, right after the destroying mark.
  virtual void asoDestroyStarted() {}
  // Close of a live object: frees it, converting a failure of its
  // destruction through the engine (looked up before).
  virtual TnxResult asoClose();
  // The session this object belongs to, or the object itself when it is one.
  TnxAbstractSession* asoSessionOrSelf();

  std::atomic<bool> asoDestroying{false};
  bool* asoDestroyFlag = nullptr;
  TnxAbstractSession* asoSession = nullptr;

  // Bit 0: released while calls were in progress; the rest: twice the
  // number of TnxServerObjectCall in progress. Interlocked, since objects
  // shared between sessions (folders, tables) see calls from several threads.
  static constexpr std::uint32_t kFreePending = 1;
  static constexpr std::uint32_t kCallUnit = 2;
  std::atomic<std::uint32_t> asoCallState{0};

 private:
  void asoMarkDestroying();

  TnxHandle asoHandle = 0;
};

// A call in progress on a server object (see the destroy protocol above):
// while one exists, closing the object only marks it; the last one to end
// releases it. The caller must hold the object alive when it starts one
// (LookupByID gives one that is taken safely). Movable; an empty call (made
// by the default constructor or moved from) holds nothing.
class TnxServerObjectCall {
 public:
  TnxServerObjectCall() = default;
  explicit TnxServerObjectCall(TnxAbstractServerObject* aObject);
  ~TnxServerObjectCall() { End(); }
  TnxServerObjectCall(TnxServerObjectCall&& aOther) noexcept : object_(std::exchange(aOther.object_, nullptr)) {}
  TnxServerObjectCall& operator=(TnxServerObjectCall&& aOther) noexcept {
    if (this != &aOther) {
      End();
      object_ = std::exchange(aOther.object_, nullptr);
    }
    return *this;
  }
  TnxServerObjectCall(const TnxServerObjectCall&) = delete;
  TnxServerObjectCall& operator=(const TnxServerObjectCall&) = delete;

  TnxAbstractServerObject* Object() const { return object_; }
  // The object was closed or freed (or is being destroyed): do not act on
  // it again; it stays in memory until this call ends. True when empty.
  bool ObjectClosed() const { return !object_ || object_->Destroying(); }

 private:
  friend class TnxAbstractServerObject;
  struct AlreadyCounted {};
  TnxServerObjectCall(TnxAbstractServerObject* aObject, AlreadyCounted) : object_(aObject) {}
  // Ends the call; the last call of a closed object releases it.
  void End() noexcept;

  TnxAbstractServerObject* object_ = nullptr;
};

class TnxExtendableServerObject : public TnxAbstractServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxBaseEngineExtender;

 public:
  explicit TnxExtendableServerObject(TnxExtendableServerObject* aParent);
  ~TnxExtendableServerObject() override;

  // Announces the object to the engine's monitors, then sends eaChildCreate
  // (from the parent) and eaCreate; a non-zero answer raises the engine's
  // exception with that code.
  void afterConstruction() override;

  // Inherited, then "Options".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // Inherited, then every extender's PrepareDestroy (failures converted and
  // passed over).
  void PrepareDestroy() override;
  // "<Extenders>" (the whole name): the extenders' instance creation.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // The parent's engine.
  TnxBaseServerEngine* GetServerEngine() override;

  virtual bool esoAnnounceToMonitors() { return true; }
  virtual TnxExtendableServerObject* esoGetParent() { return esoParent; }
  // 8712 when absent; the list is freed when it becomes empty.
  virtual TnxResult esoOptionClear(const nxString& aName);
  // An empty value removes the line (the list stays). Always 0.
  virtual TnxResult esoOptionSet(const nxString& aName, const nxString& aValue);
  // Hook after every set and clear (empty value for a clear).
  virtual void esoOptionChanged(const nxString& aName, const nxString& aValue);
  virtual TnxResult esoOptionGet(const nxString& aName, nxString& aValue);
  virtual TnxResult esoOptionGetParent(const nxString& aName, nxString& aValue);
  // Own value, else (exactly 8712) the whole chain of parents.
  virtual TnxResult esoOptionGetEffective(const nxString& aName, nxString& aValue);
  virtual TnxResult esoOptionList(platform::TStringList& aList);
  // The parent's own lines (one level); 0 and nothing without a parent.
  virtual TnxResult esoOptionListParent(platform::TStringList& aList);
  virtual TnxResult esoOptionListEffective(platform::TStringList& aList);
  // Adds each name of aSource that aTarget lacks; lines without a value
  // add nothing.
  virtual TnxResult esoOptionListMerge(platform::TStringList& aTarget, const platform::TStringList& aSource);
  // The first extender (list order) answering 0; else nxE_NOINTERFACE.
  virtual std::int32_t esoCreateInstanceByExtenders(const platform::Guid& aClassID, InxInterface* aOuter,
                                                    const platform::Guid& aInterfaceID, void** aInterface);
  // Delivers aAction to every extender that wants it, head to tail, under
  // the extenders lock; the first non-zero answer stops and is the result.
  // Actions above 47 or never wanted are not delivered.
  virtual TnxResult NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);

  // The public forms (out values cleared first).
  virtual TnxResult OptionClear(const nxString& aName) { return esoOptionClear(aName); }
  virtual TnxResult OptionSet(const nxString& aName, const nxString& aValue) { return esoOptionSet(aName, aValue); }
  virtual TnxResult OptionGet(const nxString& aName, nxString& aValue);
  virtual TnxResult OptionGetEffective(const nxString& aName, nxString& aValue);
  virtual TnxResult OptionList(platform::TStringList& aList) { return esoOptionList(aList); }
  virtual TnxResult OptionListEffective(platform::TStringList& aList) { return esoOptionListEffective(aList); }

  void BeginIgnoreSecurity();
  void EndIgnoreSecurity();
  // This object's count is at least 1, or a parent's IgnoreSecurity.
  bool IgnoreSecurity();

  // Empty when no extender wants aAction; the extender's Notify when exactly
  // one does; this object's NotifyExtenders when several do.
  TnxEngineNotify GetNotifyFor(TnxEngineAction aAction);
  // The first extender of aClass (or a subclass); nil if none.
  TnxBaseEngineExtender* GetExtenderOfType(const platform::ClassInfo& aClass);

  TnxExtendableServerObject* Parent() const { return esoParent; }
  TnxEngineActions ExtendersActions() const { return esoExtendersActions; }
  bool HasOptions() const { return esoOptions != nullptr; }

 protected:
  // eaDestroy, then the parent's eaChildDestroy (answers ignored).
  void asoDestroyStarted() override;

  TnxExtendableServerObject* esoParent = nullptr;
  TnxLazyPadlock esoExtendersLock;
  TnxBaseEngineExtender* esoExtendersHead = nullptr;
  TnxBaseEngineExtender* esoExtendersTail = nullptr;
  TnxEngineActions esoExtendersActions{};
  platform::TStringList* esoOptions = nullptr;
  std::atomic<std::int32_t> esoIgnoreSecurity{0};

 private:
  static TnxResult notifyThunk(void* aTarget, TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);
  TnxResult callExtender(TnxBaseEngineExtender* aExtender, TnxEngineAction aAction, bool aBefore,
                         TnxEngineArgs aArgs);
  TnxBaseServerEngine* esoAnnouncedTo = nullptr;  // engine told of the object
};

// Options read and written by several sessions at once (folders, tables).
class TnxLockedOptionsExtendableServerObject : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
 public:
  using TnxExtendableServerObject::TnxExtendableServerObject;
  ~TnxLockedOptionsExtendableServerObject() override;

  TnxResult esoOptionClear(const nxString& aName) override;
  TnxResult esoOptionSet(const nxString& aName, const nxString& aValue) override;
  TnxResult esoOptionGet(const nxString& aName, nxString& aValue) override;
  TnxResult esoOptionList(platform::TStringList& aList) override;

 protected:
  TnxLazyPadlock loesoOptionsLock;
};

// Attached to one server object; told of the actions in its set.
// Construction appends it to the object's list (and adds its actions to the
// object's set, which never shrinks); destruction unlinks it.
class TnxBaseEngineExtender : public TnxLifetimeTrackedPersistent {
  PL_CLASS_INFO_DECL()
  friend class TnxExtendableServerObject;
  friend class TnxBaseEngineMonitor;

 public:
  // An empty aActions means every action except eaRecordFulltextUpdate.
  TnxBaseEngineExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aExtendableObject,
                        TnxEngineActions aActions = {});
  ~TnxBaseEngineExtender() override;
  TnxBaseEngineExtender(const TnxBaseEngineExtender&) = delete;
  TnxBaseEngineExtender& operator=(const TnxBaseEngineExtender&) = delete;

  // Inherited, then "Monitor" and "ExtendableObject".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  virtual std::int32_t CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface* aOuter,
                                               const platform::Guid& aInterfaceID, void** aInterface);
  // Non-zero stops the action.
  virtual TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) = 0;
  virtual void PrepareDestroy() {}

  TnxBaseEngineMonitor* Monitor() const { return beeMonitor; }
  TnxExtendableServerObject* ExtendableObject() const { return beeExtendableObject; }
  TnxEngineActions Actions() const { return beeActions; }

 protected:
  TnxBaseEngineMonitor* beeMonitor = nullptr;
  TnxBaseEngineExtender* beeMonitorNext = nullptr;
  TnxBaseEngineExtender* beeMonitorPrev = nullptr;
  TnxExtendableServerObject* beeExtendableObject = nullptr;
  TnxBaseEngineExtender* beeExtendableObjectNext = nullptr;
  TnxBaseEngineExtender* beeExtendableObjectPrev = nullptr;
  TnxEngineActions beeActions{};

 private:
  // The first of the object and the monitor to free the extender claims it.
  bool beeClaim() { return !beeClaimed.exchange(true, std::memory_order_acq_rel); }
  // REQUIRES: the monitor's extenders lock held.
  void beeUnlinkFromMonitor();
  // REQUIRES: the object's extenders lock held.
  void beeUnlinkFromObject();
  // The same, taking the lock. Before a claimed extender is freed it leaves
  // both lists, so nobody calls it while it is destroyed.
  void beeDetachFromMonitor();
  void beeDetachFromObject();
  std::atomic<bool> beeClaimed{false};
};

class TnxAbstractSession;  // nxsdServerEngineSession.h

// The handle of a background task, linked into its session's task list
// from construction to destruction; destruction cancels the task first.
class TnxAbstractTaskInfo : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractSession;

 public:
  explicit TnxAbstractTaskInfo(TnxAbstractSession* aSession);
  ~TnxAbstractTaskInfo() override;

  virtual TnxResult GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) = 0;
  virtual TnxResult Cancel() = 0;
  // True while a thread still works on the task; a session that goes waits
  // for such tasks before it frees them.
  virtual bool IsRunning() { return false; }
  // The cursor this task works on goes: the task stops and lets go of it,
  // but stays with its owner (client or session), who frees it.
  virtual void atiCursorGoes() { Cancel(); }

  // Cancel, then inherited.
  void PrepareDestroy() override;
  // "<TaskInfo>" as first part: the rest on this object.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // Inherited, then "Session".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

 protected:
  TnxAbstractTaskInfo* atiSessionPrev = nullptr;
  TnxAbstractTaskInfo* atiSessionNext = nullptr;
};

class TnxSqlAbstractTaskInfo : public TnxAbstractTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractTaskInfo::TnxAbstractTaskInfo;
  // The body of the task.
  virtual void Execute() = 0;
};

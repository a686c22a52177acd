// Definitions shared by the abstract server objects (engine, session,
// database, transaction context, cursor, statement): the enumerations and
// sets passed through their operations, a few plain records and interfaces,
// the alias entry of alias lists, and the checks that decide whether a text
// is an acceptable table, alias or object name and which kind of table a
// name denotes.
//
// Contracts:
// - Enumerations are numbered from 0 in declaration order; a set holds bit n
//   (byte n div 8, bit n mod 8) for value n and has the width given at its
//   declaration (static_asserts below).
// - Table names: root[:child[:child...]]; the root may be "<name>" or
//   "###name" (in-memory), "##name" (temporary table of the database) or
//   "#name" (temporary table of the SQL layer). The kind tests look only at
//   code units ('<' 60, '>' 62, '#' 35) of the text as given.
// - The name checks never raise: 0 is success, otherwise an error code; the
//   reason is left as the calling thread's pending message for the code the
//   identifier check (or the child-separator rule) returned. When an empty
//   name is turned into a "not found" code, that pending message stays as it
//   was (for the identifier check's code).
// - No state, no locks: the definitions and name checks may be called from
//   any thread. The server object classes at the end of this header have
//   their own contracts, given there.
// - TnxAliasDescriptor is plain data owned by whoever holds it (an alias
//   list owns its entries).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllHandleTable.h"
#include "nxllSync.h"
#include "nxllTypes.h"
#include "plFormat.h"
#include "plStringList.h"
#include "nxsdTypes.h"
#include "plGuid.h"
#include "plString.h"

// ---- Sets wider than one byte -----------------------------------------------

// A set of enumeration E in NBytes bytes: bit n of byte n div 8 for value n.
template <class E, std::size_t NBytes>
struct TnxEnumSet {
  std::array<std::uint8_t, NBytes> Bytes{};

  constexpr TnxEnumSet() = default;
  constexpr TnxEnumSet(std::initializer_list<E> aList) {
    for (E e : aList) include(e);
  }
  // A value beyond the set's width (a cast from a foreign number) is never a
  // member and is not stored.
  constexpr void include(E e) {
    if (index(e) < NBytes * 8)
      Bytes[index(e) / 8] = static_cast<std::uint8_t>(Bytes[index(e) / 8] | (1u << (index(e) % 8)));
  }
  constexpr void exclude(E e) {
    if (index(e) < NBytes * 8)
      Bytes[index(e) / 8] = static_cast<std::uint8_t>(Bytes[index(e) / 8] & ~(1u << (index(e) % 8)));
  }
  constexpr bool contains(E e) const {
    return index(e) < NBytes * 8 && ((Bytes[index(e) / 8] >> (index(e) % 8)) & 1u) != 0;
  }
  constexpr bool empty() const {
    for (auto b : Bytes)
      if (b) return false;
    return true;
  }
  constexpr bool operator==(const TnxEnumSet&) const = default;

 private:
  static constexpr std::size_t index(E e) { return static_cast<std::size_t>(e); }
};

// ---- Enumerations -------------------------------------------------------------

// Client hints recorded on a cursor; "acoXFollowedByY" announces that the
// client follows operation X by operation Y.
enum TnxAbstractCursorOption : std::uint8_t {
  acoChainedRecordGetUsesWriteLock,
  acoFailClientFilterFast,
  acoFilterActionFollowedByFirst,
  acoFilterActionFollowedBySync,
  acoFlipOrder,
  acoLockReleaseFollowedByRecordGet,
  acoPreCacheMarkedBlobs,
  acoRangeResetFollowedBySync,
  acoRangeSetFollowedByRecordGetNext,
  acoRangeSetFollowedBySetToBegin,
  acoRecNoSetFollowedBySync,
  acoRecordDeleteFollowedBySync,
  acoRecordGetFollowedByGetBookmark,
  acoRecordGetForKeyFollowedByRecordGet,
  acoRecordInsertFollowedByRecordGet,
  acoRecordModifyFollowedBySync,
  acoSetToBeginFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByNothing,
  acoSetToBookmarkFollowedByRecordGet,
  acoSetToBookmarkFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByRecordGetPrior,
  acoSetToBookmarkFollowedBySync,
  acoSetToCursorFollowedBySyncExact,
  acoSetToEndFollowedByRecordGetPrior,
  acoSetToKeyFollowedBySync,
  acoSkipReadingBlobDataForBatch,
};
inline constexpr int nxAbstractCursorOptionCount = 26;
using TnxAbstractCursorOptions = TnxEnumSet<TnxAbstractCursorOption, 4>;

enum TnxAbstractCursorCapability : std::uint8_t { accCancelBlobs, accCaching };
using TnxAbstractCursorCapabilities = TnxSmallSet<TnxAbstractCursorCapability>;

enum TnxAbstractCursorState : std::uint8_t { acsAutoFreeDatabase, acsLockedIncDone, acsIsCacheable, acsIsCache };
using TnxAbstractCursorStates = TnxSmallSet<TnxAbstractCursorState>;

enum TnxCursorOpenOption : std::uint8_t { cooRequestMultipartRecordGet, cooRecordGetFollowedByGetBookmark, cooFlipOrder };
using TnxCursorOpenOptions = TnxSmallSet<TnxCursorOpenOption>;

// What an extender of a server object can be told about.
enum TnxEngineAction : std::uint8_t {
  eaCreate,
  eaDestroy,
  eaChildCreate,
  eaChildDestroy,
  eaAliasAdd,
  eaAliasDelete,
  eaAliasModify,
  eaAliasGetList,
  eaAliasGetPath,
  eaCloseInactiveFolders,
  eaCloseInactiveTables,
  eaBuildPasswords,
  eaGetRegisteredClassList,
  eaTransactionStart,
  eaTransactionCommit,
  eaTransactionRollback,
  eaTableBuild,
  eaTablePack,
  eaTableBackup,
  eaTableRebuildIndex,
  eaTableRestructure,
  eaTableAddField,
  eaTableAddIndex,
  eaTableDropIndex,
  eaTableRename,
  eaTableRecover,
  eaTableVerifyChecksum,
  eaTableDelete,
  eaTableEmpty,
  eaTableExists,
  eaTableGetDictionary,
  eaTableGetList,
  eaGetChangedTables,
  eaOpenFile,
  eaOpenFiles,
  eaRecordGet,
  eaRecordInsert,
  eaRecordModify,
  eaRecordDelete,
  eaRecordFulltextUpdate,
  eaStatementPrepare,
  eaStatementExec,
  eaStatementSetParams,
  eaStatementGetParams,
};
inline constexpr int nxEngineActionCount = 44;
// 48 bits; bits 44..47 are never set.
using TnxEngineActions = TnxEnumSet<TnxEngineAction, 6>;

enum TnxSessionStatsCounter : std::uint8_t {
  sscCalls,
  sscStatements,
  sscTime,
  sscCycles,
  sscBlocksRead,
  sscBlocksWritten,
  sscTransCommit,
  sscTransRollback,
  sscTransNestedCommit,
  sscTransNestedRollback,
  sscTransDeadlock,
  sscTransCorrupted,
};
inline constexpr int nxSessionStatsCounterCount = 12;
using TnxSessionStatsCounters = std::array<std::int64_t, nxSessionStatsCounterCount>;

// The step a direct statement execution reached.
enum TnxStatementExecDirectPhase : std::uint8_t { sedAlloc, sedPrepare, sedSetParams, sedExec, sedGetParams, sedFree };

enum TnxTableScope : std::uint8_t { tsPersistent, tsTempGlobal, tsTempDatabase, tsTempUnnamed };

// Whether an index switch stays on the current record.
enum TnxPosnOnRec : std::uint8_t { porFalse, porTrue, porTry };

static_assert(sizeof(TnxAbstractCursorOptions) == 4);
static_assert(sizeof(TnxAbstractCursorCapabilities) == 1);
static_assert(sizeof(TnxAbstractCursorStates) == 1);
static_assert(sizeof(TnxCursorOpenOptions) == 1);
static_assert(sizeof(TnxEngineActions) == 6);
static_assert(acoSkipReadingBlobDataForBatch + 1 == nxAbstractCursorOptionCount);
static_assert(eaStatementGetParams + 1 == nxEngineActionCount);
static_assert(sscTransCorrupted + 1 == nxSessionStatsCounterCount);

// ---- Records --------------------------------------------------------------------

struct TnxRecordDiffBlobBatch {
  TnxBlobBatchRequest* rdbbRequest;
  TnxBlobBatchReply* rdbbReply;
};

struct TnxRecordDiff {
  // Bitmap of the present 32-bit words, then those words.
  const std::uint8_t* rdDiff;
  // The full new record image.
  const std::uint8_t* rdFull;
  TnxRecordDiffBlobBatch rdBlobBatch;
};
using PnxRecordDiff = TnxRecordDiff*;

// One search key buffer per element.
using TnxDataSetKeyBufferArray = std::vector<PnxKeyBuffer>;

// ---- Alias entry ----------------------------------------------------------------

class TnxAliasDescriptor : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxAliasDescriptor() = default;
  TnxAliasDescriptor(nxString aAlias, nxString aPath) : adAlias(std::move(aAlias)), adPath(std::move(aPath)) {}
  TnxAliasDescriptor(const TnxAliasDescriptor&) = delete;
  TnxAliasDescriptor& operator=(const TnxAliasDescriptor&) = delete;

  nxString adAlias;  // the alias name
  nxString adPath;   // the folder it stands for
};

// ---- Interfaces -----------------------------------------------------------------

// Implemented by every server object.
class InxAbstractServerObject41100 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x65C25198, 0x5DDF, 0x4807, {0x91, 0x96, 0x6A, 0x76, 0xBB, 0xFE, 0x67, 0x68}};
  virtual nxString GetEncodedExceptionData(bool aIncludeChildren) = 0;

 protected:
  ~InxAbstractServerObject41100() = default;
};

// The lock that serialises every call of one session.
class InxSimpleLock : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xD2727E91, 0xE0DC, 0x4558, {0xB8, 0x57, 0x2F, 0xC0, 0xED, 0xE8, 0x8E, 0xD9}};
  virtual void Lock() = 0;
  virtual void Unlock(TnxResult& aResult) = 0;
  virtual void Failed(bool aPermanent, bool aWait) = 0;
  virtual void SetFailedCleanupDone() = 0;
  virtual bool IsFailedPermanent() = 0;
  virtual std::uint64_t LastLocked() = 0;

 protected:
  ~InxSimpleLock() = default;
};

class InxRequestCloseHandler : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xB1155737, 0x8151, 0x4804, {0xAB, 0x73, 0xE5, 0xE3, 0xCA, 0x28, 0x0B, 0x0D}};
  virtual void RequestClose(platform::TObject* aSender) = 0;

 protected:
  ~InxRequestCloseHandler() = default;
};

class InxRequestCloseHandlerEvent : public InxRequestCloseHandler {
 public:
  static constexpr platform::Guid IID{0xAF7BF7A2, 0xEAF3, 0x49C7, {0xB8, 0x30, 0xD9, 0x14, 0x07, 0xF7, 0x15, 0xC5}};
  virtual void Disconnect() = 0;

 protected:
  ~InxRequestCloseHandlerEvent() = default;
};

// The operations of the next three are the implementing server engine's:
// it derives its own interface and answers these identities for it.
class InxDatabaseCursorSource : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xE46D44BF, 0xAE7D, 0x435D, {0x94, 0x20, 0xCE, 0x19, 0x22, 0xDB, 0x38, 0x19}};

 protected:
  ~InxDatabaseCursorSource() = default;
};

class InxDatabaseCursorSourceControl : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x3DBBA72D, 0xF8D2, 0x4AF9, {0x94, 0x00, 0x2E, 0xE5, 0x6A, 0xD4, 0x99, 0xDF}};

 protected:
  ~InxDatabaseCursorSourceControl() = default;
};

class InxRemoteTaskInfoCreator : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x17B64C3F, 0x3929, 0x498A, {0xB0, 0xFB, 0x79, 0x82, 0xF7, 0xD6, 0xBC, 0x6E}};

 protected:
  ~InxRemoteTaskInfoCreator() = default;
};

// ---- Table, alias and object names ---------------------------------------------

// "<x>" (3 characters or more) or "###x" with x not '#'.
bool nxIsInMemoryTableName(platform::UnicodeStringView aName);
// "##x" with x not '#'.
bool nxIsGlobalTempTableName(platform::UnicodeStringView aName);
// "#x" with x not '#'.
bool nxIsLocalTempTableName(platform::UnicodeStringView aName);

// One table name without child parts ("<x>" checks x). Reserved ("$")
// identifiers only with aAllowSystem. Empty with aEmptyIsNotFound: 10024,
// otherwise failures answer 10039.
TnxResult nxCheckTableName(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem);
// root[:child...]: the root as nxCheckTableName, the rest as
// nxCheckChildTableNames.
TnxResult nxCheckTableNameWithChild(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem);
// The parts after the root: each "." or ".." or an identifier (reserved
// allowed); 10039 on the first bad part.
TnxResult nxCheckChildTableNames(const nxString& aChildPath);
// 10067, or 10014 for an empty alias with aEmptyIsNotFound.
TnxResult nxCheckAliasName(const nxString& aAlias, bool aEmptyIsNotFound);
// Stored procedure or function names: 10068, or 8712 for an empty name with
// aEmptyIsNotFound.
TnxResult nxCheckObjectName(const nxString& aName, bool aEmptyIsNotFound);


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
//   through a client's number.
//
// Thread safety: calls of one session are serialised by the session lock
// (held by callers); the extender list of an object is guarded by its
// extenders padlock and the options of a locked-options object by its
// options padlock. Extenders must not attach or detach extenders of the same
// object from inside Notify.

class TnxAbstractServerObject;
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
  // destroying and of the session aSessionID (0: outside sessions); else nil
  // and 9990.
  static TnxResult LookupByID(const platform::ClassInfo& aClass, TnxSessionID aSessionID, TnxBaseID aBaseID,
                              TnxAbstractServerObject*& aBase);
  template <class T>
  static TnxResult LookupByID(TnxSessionID aSessionID, TnxBaseID aBaseID, T*& aBase) {
    TnxAbstractServerObject* base = nullptr;
    const TnxResult result = LookupByID(T::staticClassInfo(), aSessionID, aBaseID, base);
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
// releases it. The caller must hold the object alive when it starts one.
class TnxServerObjectCall {
 public:
  explicit TnxServerObjectCall(TnxAbstractServerObject* aObject);
  ~TnxServerObjectCall();
  TnxServerObjectCall(const TnxServerObjectCall&) = delete;
  TnxServerObjectCall& operator=(const TnxServerObjectCall&) = delete;

  // The object was closed or freed (or is being destroyed): do not act on
  // it again; it stays in memory until this call ends.
  bool ObjectClosed() const { return object_->Destroying(); }

 private:
  TnxAbstractServerObject* object_;
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

  TnxResult OptionClear(const nxString& aName) { return esoOptionClear(aName); }
  TnxResult OptionSet(const nxString& aName, const nxString& aValue) { return esoOptionSet(aName, aValue); }
  TnxResult OptionGet(const nxString& aName, nxString& aValue);
  TnxResult OptionGetEffective(const nxString& aName, nxString& aValue);
  TnxResult OptionList(platform::TStringList& aList) { return esoOptionList(aList); }
  TnxResult OptionListEffective(platform::TStringList& aList) { return esoOptionListEffective(aList); }

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

// The server engine as these objects see it; the engine component fills in
// the rest.
class TnxBaseServerEngine : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStateComponent::TnxStateComponent;

  // The engine's exception conversion for aObject's peer version (47501
  // without an object).
  virtual TnxResult ConvertException(std::exception_ptr aException, TnxAbstractServerObject* aObject);
  // Raises the engine's exception class with aCode.
  [[noreturn]] virtual void RaiseEngineException(TnxResult aCode) = 0;
  virtual void NotifyObjectCreated(TnxExtendableServerObject* aObject);
  virtual void NotifyObjectDestroyed(TnxExtendableServerObject* aObject);
  // The end of the name-addressed lookup: "<ServerEngine>" answers the
  // engine's own instance creation; nxE_NOINTERFACE otherwise.
  virtual std::int32_t CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                         const platform::Guid& aClassID, InxInterface* aOuter,
                                         const platform::Guid& aInterfaceID, void** aInterface);
};

// Attached to one server object; told of the actions in its set.
// Construction appends it to the object's list (and adds its actions to the
// object's set, which never shrinks); destruction unlinks it.
class TnxBaseEngineExtender : public TnxLifetimeTrackedPersistent {
  PL_CLASS_INFO_DECL()
  friend class TnxExtendableServerObject;

 public:
  // An empty aActions means every action except eaRecordFulltextUpdate.
  TnxBaseEngineExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aExtendableObject,
                        TnxEngineActions aActions = {});
  ~TnxBaseEngineExtender() override;
  TnxBaseEngineExtender(const TnxBaseEngineExtender&) = delete;
  TnxBaseEngineExtender& operator=(const TnxBaseEngineExtender&) = delete;

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
};

// The session as these objects see it: its engine and its task list.
class TnxAbstractSession : public TnxLockedOptionsExtendableServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractTaskInfo;

 public:
  explicit TnxAbstractSession(TnxBaseServerEngine* aServerEngine);
  ~TnxAbstractSession() override;

  TnxBaseServerEngine* GetServerEngine() override { return asServerEngine; }
  // Inherited, then frees the remaining task handles (newest first).
  void PrepareDestroy() override;

  // A session identity (outside sessions).
  static TnxResult LookupByID(TnxBaseID aBaseID, TnxAbstractSession*& aSession) {
    return TnxAbstractServerObject::LookupByID<TnxAbstractSession>(0, aBaseID, aSession);
  }

  std::int32_t TaskInfoCount();

 protected:
  TnxBaseServerEngine* asServerEngine = nullptr;
  TnxPadlock* asTaskInfosPadlock = nullptr;
  TnxAbstractTaskInfo* asTaskInfosHead = nullptr;
  TnxAbstractTaskInfo* asTaskInfosTail = nullptr;
};

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

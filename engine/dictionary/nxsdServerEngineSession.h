// The abstract session: one logged-in user on one engine. Part of
// nxsdServerEngine: include nxsdServerEngine.h, not this header.
//
// Contracts:
// - The session owns its lock (TnxSimpleLock), shared by every object of
//   the session; it owns its databases, transaction contexts and task
//   handles, each in an intrusive list under its own padlock.
// - Failing the session for good (Failed(True), PrepareDestroy, Close) runs
//   the failed cleanup exactly once, through the lock: tasks (cancelled,
//   given about 2 s), then databases, then contexts are freed, each list
//   from its tail; afterwards every call answers 9990.
// - The engine's session list holds the session from construction to
//   destruction; the last session to leave calls the engine's
//   CleanupInactive under the engine's session padlock.
// Thread safety: the list padlocks are taken one at a time. Failed may be
// called from any thread; everything else from the thread holding the
// session lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

class TnxAbstractDatabase;
class TnxAbstractTransContext;
class TnxLocaleDescriptor;
class TnxSessionNotifications;
class InxSessionNotifications;

class TnxAbstractSession : public TnxAbstractTimeoutObject {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractTaskInfo;
  friend class TnxBaseServerEngine;
  friend class TnxAbstractDatabase;
  friend class TnxAbstractTransContext;

 public:
  TnxAbstractSession(TnxBaseServerEngine* aServerEngine, TnxWord32 aTimeout = 0, const nxString& aUserName = {},
                     const nxString& aPassword = {}, const nxString& aConnectedFrom = {});
  ~TnxAbstractSession() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  TnxBaseServerEngine* GetServerEngine() override { return asServerEngine; }
  // The smaller of the client and server versions.
  std::int32_t GetMinVersion() override;
  // The permanent failure (waiting for its cleanup), then inherited.
  void PrepareDestroy() override;
  // The guarded write, then "_CurrentClientInfo" into the lock's exception
  // context.
  TnxResult OptionSet(const nxString& aName, const nxString& aValue) override;

  // A session identity (outside sessions), with a call held on the session.
  static TnxResult LookupByID(TnxBaseID aBaseID, TnxServerObjectCall& aCall, TnxAbstractSession*& aSession) {
    return TnxAbstractServerObject::LookupByID<TnxAbstractSession>(0, aBaseID, aCall, aSession);
  }

  virtual std::int32_t GetClientVersion();
  virtual std::int32_t GetServerVersion();
  // Nil in the base; the engine answers the client's default locale.
  virtual TnxLocaleDescriptor* GetClientDefaultLocale() { return nullptr; }
  // Leaves the engine's session list; the last one calls CleanupInactive.
  virtual void asUnlinkFromEngine();
  virtual void asDoFailed(bool aPermanent, bool aWait);
  // Frees the session's tasks, databases and contexts; run once by the lock.
  virtual void asFailedCleanup(platform::TObject* aSender);
  virtual TnxSessionStats* asCreateStats();
  virtual TnxResult AliasAdd(const nxString& aAlias, const nxString& aPath, bool aEnforce) = 0;
  virtual TnxResult AliasDelete(const nxString& aAlias) = 0;
  virtual TnxResult AliasModify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                                bool aEnforce) = 0;
  // Appends one TnxAliasDescriptor per alias; the list owns them.
  virtual TnxResult AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) = 0;
  virtual TnxResult AliasGetPath(const nxString& aAlias, nxString& aPath) = 0;
  virtual TnxResult PasswordAdd(const nxString& aPassword) = 0;
  virtual TnxResult PasswordRemove(const nxString& aPassword) = 0;
  virtual TnxResult PasswordRemoveAll() = 0;
  virtual TnxResult CloseInactiveFolders() = 0;
  virtual TnxResult CloseInactiveTables() = 0;
  // aAliasType "Name": an alias; "Path": a folder. aTransContext nil gives
  // the database a context of its own.
  virtual TnxResult DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType, const nxString& aAlias,
                                 TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode,
                                 TnxShareMode aShareMode, TnxWord32 aTimeout) = 0;
  virtual TnxResult DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType,
                                      const nxString& aAlias, TnxAbstractTransContext* aTransContext,
                                      TnxOpenMode aOpenMode, TnxShareMode aShareMode, TnxWord32 aTimeout);
  // Guarded conveniences through a temporary database opened by alias
  // name; the first non-zero code is the answer.
  virtual TnxResult TableStreamRead(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword,
                                    const nxString& aStreamName, TStream& aStream);
  virtual TnxResult TableStreamWrite(const nxString& aAliasName, const nxString& aTableName,
                                     const nxString& aPassword, const nxString& aStreamName, TStream& aStream);
  // aExists False first.
  virtual TnxResult TableExists(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword,
                                bool& aExists, bool aAllowSystem);
  // A transaction context of this session.
  virtual TnxResult TransContextCreate(TnxAbstractTransContext*& aTransContext, TnxWord32 aTimeout) = 0;
  virtual TnxResult GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) = 0;
  // Appends the session's description lines with their markers.
  virtual void GetUserInfo(platform::TStringList& aStrings);

  // asDoFailed without waiting; nothing for nil or a destroying session.
  static void Failed(TnxAbstractSession* aSession, bool aPermanent);
  void Failed(bool aPermanent) { Failed(this, aPermanent); }

  std::int32_t TaskInfoCount();
  std::int32_t DatabaseCount();
  std::int32_t TransContextCount();
  TnxBaseServerEngine* ServerEngine() const { return asServerEngine; }
  const nxString& UserName() const { return asUserName; }
  const nxString& Password() const { return asPassword; }
  const nxString& ConnectedFrom() const { return asConnectedFrom; }
  bool Authenticated() const { return asAuthenticated; }
  bool MustBeAuthenticated() const { return asMustBeAuthenticated; }
  bool CleanedUp() const { return asCleanedUp.load(std::memory_order_acquire); }
  std::int32_t ClientVersion() { return GetClientVersion(); }
  std::int32_t ServerVersion() { return GetServerVersion(); }
  TnxLocaleDescriptor* ClientDefaultLocale() { return GetClientDefaultLocale(); }
  // Created on first request.
  InxSessionNotifications* SessionNotifications();

 protected:
  TnxSimpleLock* asLock = nullptr;  // atoLock holds its reference
  std::atomic<TnxSessionNotifications*> asSessionNotifications{nullptr};
  std::atomic<bool> asCleanedUp{false};
  TnxBaseServerEngine* asServerEngine = nullptr;
  // Links in the engine's session list (under its sessions padlock).
  TnxAbstractSession* asServerEnginePrev = nullptr;
  TnxAbstractSession* asServerEngineNext = nullptr;
  TnxPadlock asDatabasesPadlock;
  TnxAbstractDatabase* asDatabasesHead = nullptr;
  TnxAbstractDatabase* asDatabasesTail = nullptr;
  TnxPadlock asTransContextsPadlock;
  TnxAbstractTransContext* asTransContextsHead = nullptr;
  TnxAbstractTransContext* asTransContextsTail = nullptr;
  TnxPadlock* asTaskInfosPadlock = nullptr;
  TnxAbstractTaskInfo* asTaskInfosHead = nullptr;
  TnxAbstractTaskInfo* asTaskInfosTail = nullptr;
  TnxPadlock asTimeoutBatchPadlock;
  TnxAbstractTimeoutObject* asTimeoutBatchHead = nullptr;
  TnxAbstractTimeoutObject* asTimeoutBatchTail = nullptr;
  platform::DateTime asConnectedSince = 0;
  bool asLockedIncDone = false;
  nxString asUserName;
  nxString asPassword;
  bool asAuthenticated = false;
  bool asMustBeAuthenticated = false;
  nxString asConnectedFrom;

 private:
  bool asLinked = false;
};

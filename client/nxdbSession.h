// The session component: logs in to a server engine and holds one engine
// session while started. Part of nxdb: include nxdb.h, not this header.
//
// Contracts:
// - Start: the engine's SessionOpen with UserName and Password (or the
//   module defaults), retried while the engine answers 10036 and fewer than
//   PasswordRetries retries ran, each retry after a beep (BeepOnLoginError)
//   and new credentials from OnLogin or the module login hook (main thread
//   only); no credentials end the retries. A failed start leaves no engine
//   session.
// - Forwarding: an operation whose name ends in Ex answers the engine code;
//   its plain twin raises it as EnxDatabaseError naming the session.
// - Implicit databases: OpenDatabase and the alias operations create one
//   TnxDatabase per alias name (letter case ignored), owned by the session.
// - Default sessions: each thread has at most one default session, kept in
//   a process-wide registry keyed by thread id under a padlock (never in
//   another thread's storage). A thread's entry goes when the thread ends
//   and every entry of a session goes with the session. Default read in a
//   thread other than the one that made the session default raises 8455.
// Thread safety: a session component is driven by the thread that owns it;
// only the default-session registry and the installation of the
// notifications object may be reached from other threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "nxdbComponent.h"
#include "nxllSessionNotifications.h"
#include "nxsdServerEngine.h"

class TnxDatabase;
class TnxTransContext;
class TnxBaseSession;

// (sender, var user name, var password, var result).
using TnxLoginEvent = TnxMethod<TnxBaseSession*, nxString&, nxString&, bool&>;
// The module login hook: new credentials, or False.
using TnxLoginHook = bool (*)(nxString& aUserName, nxString& aPassword);
// Installs the login hook (nil: none) and answers the previous one.
TnxLoginHook nxSetLoginHook(TnxLoginHook aHook);

class TnxBaseSession : public TnxDataAccessStateComponent, public InxSessionNotifier {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseSession(TnxComponent* aOwner = nullptr);
  ~TnxBaseSession() override;
  void beforeDestruction() override;

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  // InxSessionNotifier: the engine session is disconnected.
  void Disconnected() override;

  // --- properties
  virtual TnxBaseServerEngine* GetServerEngine() const = 0;
  TnxBaseServerEngine* ServerEngine() const { return GetServerEngine(); }
  TnxAbstractSession* AbstractSession() const { return bsAbstractSession; }
  // The engine session's server version (the session must be started).
  std::int32_t ServerVersion();
  const nxString& UserName() const { return bsUserName; }
  void SetUserName(const nxString& aValue);
  const nxString& Password() const { return bsPassword; }
  void SetPassword(const nxString& aValue);
  const nxString& CurrentUserName() const { return bsCurrentUserName; }
  std::int32_t PasswordRetries() const { return bsPasswordRetries; }
  void SetPasswordRetries(std::int32_t aValue) { bsPasswordRetries = aValue; }
  bool BeepOnLoginError() const { return bsBeepOnLoginError; }
  void SetBeepOnLoginError(bool aValue) { bsBeepOnLoginError = aValue; }
  std::int32_t Timeout() const { return bsTimeout; }
  void SetTimeout(std::int32_t aValue);
  bool ClientLocaleAsDefault() const { return bsClientLocaleAsDefault; }
  void SetClientLocaleAsDefault(bool aValue);
  TnxLoginEvent OnLogin() const { return bsOnLogin; }
  void SetOnLogin(TnxLoginEvent aEvent) { bsOnLogin = aEvent; }
  // Whether this session is the calling thread's default; 8455 when it was
  // made default in another thread.
  bool Default() const;
  void SetDefault(bool aValue);
  // The calling thread's default session, or nil.
  static TnxBaseSession* DefaultSession();
  TnxDatabase* DefaultDatabase() const { return bsDefaultDatabase; }
  TnxTransContext* DefaultTransContext() const { return bsDefaultTransContext; }
  // The notifications registry, created on first use.
  InxSessionNotifications* SessionNotifications();

  std::int32_t DatabaseCount() const { return static_cast<std::int32_t>(bsDatabases.size()); }
  TnxDatabase* Databases(std::int32_t aIndex) const { return bsDatabases.at(static_cast<std::size_t>(aIndex)); }
  std::int32_t TransContextCount() const { return static_cast<std::int32_t>(bsTransContexts.size()); }
  TnxTransContext* TransContexts(std::int32_t aIndex) const {
    return bsTransContexts.at(static_cast<std::size_t>(aIndex));
  }
  bool IsConnected() const { return Active(); }

  // Timeout when 0 or more, else 10000 ms.
  virtual std::int32_t bsEffectiveTimeout() const;
  // The server engine, or 15465 raised.
  virtual TnxBaseServerEngine* bsCheckServerEngine() const;
  // Pushes the effective time-out to the engine session and every linked
  // database and transaction context, as one batch.
  virtual void bsApplyTimeout();
  // The implicit database of aAlias (created when needed), opened.
  virtual TnxDatabase* OpenDatabase(const nxString& aAlias);
  // The implicit database of aAlias, or nil.
  virtual TnxDatabase* FindDatabase(const nxString& aAlias);

  // --- forwarding
  TnxResult AddAliasEx(const nxString& aName, const nxString& aPath, bool aEnforce);
  void AddAlias(const nxString& aName, const nxString& aPath, bool aEnforce);
  TnxResult DeleteAliasEx(const nxString& aName);
  void DeleteAlias(const nxString& aName);
  TnxResult ModifyAliasEx(const nxString& aName, const nxString& aNewName, const nxString& aNewPath, bool aEnforce);
  void ModifyAlias(const nxString& aName, const nxString& aNewName, const nxString& aNewPath, bool aEnforce);
  TnxResult GetAliasPathEx(const nxString& aName, nxString& aPath);
  void GetAliasPath(const nxString& aName, nxString& aPath);
  // Appends the alias names not yet in aList (cleared first when
  // aEmptyList); nil list 9986.
  TnxResult GetAliasNamesEx(platform::TStringList* aList, bool aEmptyList);
  void GetAliasNames(platform::TStringList* aList);
  bool IsAlias(const nxString& aName);
  TnxResult TableStreamReadEx(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword,
                              const nxString& aStreamName, TStream& aStream);
  TnxResult TableStreamWriteEx(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword,
                               const nxString& aStreamName, TStream& aStream);
  // A new stream the caller owns.
  TnxOwned<TnxMemoryStream> TableStreamRead(const nxString& aAliasName, const nxString& aTableName,
                                            const nxString& aPassword, const nxString& aStreamName);
  void PasswordAdd(const nxString& aPassword);
  void PasswordRemove(const nxString& aPassword);
  void PasswordRemoveAll();
  void CloseInactiveTables();
  void CloseInactiveFolders();
  // Closes the active implicit databases none of whose datasets is active.
  void CloseInactiveLocalDatabases();
  void GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList* aList);
  void CancelProcessing();
  void GetTableNames(const nxString& aAliasName, platform::TStringList* aList);
  void GetChangedTables(const nxString& aAliasName, platform::TStringList* aList);
  bool TableExists(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword);

  // --- overrides
  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;

 protected:
  void scInitializing() override;
  void scStarting() override;
  void scStopping() override;
  // New credentials from OnLogin, else from the login hook on the main
  // thread; False when there are none.
  virtual bool bsDoLogin(nxString& aUserName, nxString& aPassword);
  // The implicit database of aAlias; created when aCreate, else nil.
  TnxDatabase* bsFindOrCreateDatabase(const nxString& aAlias, bool aCreate);

 private:
  friend class TnxDatabase;
  friend class TnxDataset;
  friend class TnxTransContext;
  void bsRegisterNotifier();
  void bsRemoveTempDatabase(TnxDatabase* aDatabase);

  TnxAbstractSession* bsAbstractSession = nullptr;  // owned while started
  std::vector<TnxDatabase*> bsDatabases;            // linked, not owned
  std::vector<std::pair<nxString, TnxDatabase*>> bsTempDatabases;  // alias -> implicit database
  TnxDatabase* bsDefaultDatabase = nullptr;
  std::vector<TnxTransContext*> bsTransContexts;
  TnxTransContext* bsDefaultTransContext = nullptr;
  nxString bsUserName;
  nxString bsCurrentUserName;
  nxString bsPassword;
  std::int32_t bsPasswordRetries = 3;
  bool bsBeepOnLoginError = true;
  std::int32_t bsTimeout = -1;
  TnxLoginEvent bsOnLogin;
  std::atomic<TnxSessionNotifications*> bsSessionNotifications{nullptr};  // owned
  bool bsClientLocaleAsDefault = false;
};

class TnxSession : public TnxBaseSession {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSession::TnxBaseSession;
  void beforeDestruction() override;

  TnxBaseServerEngine* GetServerEngine() const override { return sesServerEngine; }
  // A new engine needs an inactive session; relinks.
  virtual void SetServerEngine(TnxBaseServerEngine* aValue);
  bool DependsOn(TnxStateComponent* aComponent) const override;
  // The engine going away makes the session inactive without an engine.
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;

 private:
  TnxBaseServerEngine* sesServerEngine = nullptr;  // not owned
};

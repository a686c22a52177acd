#include <string>

#include "nxdbInt.h"
#include "nxllBde.h"
#include "nxllUtils.h"
#include "plBeep.h"
#include "plLocale.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxBaseSession, TnxDataAccessStateComponent, "TnxBaseSession", nullptr)
PL_CLASS_INFO_IMPL(TnxSession, TnxBaseSession, "TnxSession", nullptr)

namespace {

constexpr TnxResult kErrUnknownUser = 10036;
constexpr TnxResult kErrDefaultSessionThread = 8455;
constexpr TnxResult kErrNoServerEngine = 15465;

std::atomic<TnxLoginHook> gLoginHook{nullptr};

// The default sessions of all threads: thread id -> session. A session
// records the thread that made it default last (dsThreads keeps that too),
// so only code holding the padlock touches another thread's entry, and no
// thread ever writes into another thread's storage.
struct TnxDefaultSessions {
  TnxPadlock lock;
  std::vector<std::pair<std::uint32_t, TnxBaseSession*>> entries;
  std::vector<std::pair<const TnxBaseSession*, std::uint32_t>> owners;  // session -> thread of bsDefaultRef

  TnxBaseSession* Find(std::uint32_t aThread) const {
    for (const auto& e : entries)
      if (e.first == aThread) return e.second;
    return nullptr;
  }
  std::uint32_t OwnerOf(const TnxBaseSession* aSession) const {
    for (const auto& o : owners)
      if (o.first == aSession) return o.second;
    return 0;
  }
  void SetOwner(const TnxBaseSession* aSession, std::uint32_t aThread) {
    std::erase_if(owners, [&](const auto& o) { return o.first == aSession; });
    if (aThread != 0) owners.emplace_back(aSession, aThread);
  }
  void SetEntry(std::uint32_t aThread, TnxBaseSession* aSession) {
    std::erase_if(entries, [&](const auto& e) { return e.first == aThread; });
    if (aSession) entries.emplace_back(aThread, aSession);
  }
};

TnxDefaultSessions& defaultSessions() {
  static TnxDefaultSessions sessions;
  return sessions;
}

// Drops the calling thread's entry when the thread ends.
struct TnxThreadDefaultSessionGuard {
  bool armed = false;
  ~TnxThreadDefaultSessionGuard() {
    if (!armed) return;
    TnxDefaultSessions& ds = defaultSessions();
    const std::uint32_t me = platform::currentThreadId();
    TnxPadlockGuard guard(ds.lock);
    if (TnxBaseSession* session = ds.Find(me); session && ds.OwnerOf(session) == me) ds.SetOwner(session, 0);
    ds.SetEntry(me, nullptr);
  }
};
thread_local TnxThreadDefaultSessionGuard tlsDefaultSessionGuard;

nxString decimalText(std::uint32_t aValue) {
  const std::string s = std::to_string(aValue);
  return nxString(s.begin(), s.end());
}

}  // namespace

TnxLoginHook nxSetLoginHook(TnxLoginHook aHook) { return gLoginHook.exchange(aHook); }

// ------------------------------------------------------------ construction

TnxBaseSession::TnxBaseSession(TnxComponent* aOwner) : TnxDataAccessStateComponent(aOwner) {}

TnxBaseSession::~TnxBaseSession() {
  if (TnxSessionNotifications* n = bsSessionNotifications.exchange(nullptr)) platform::TObject::free(n);
}

void TnxBaseSession::beforeDestruction() {
  {
    TnxDefaultSessions& ds = defaultSessions();
    TnxPadlockGuard guard(ds.lock);
    std::erase_if(ds.entries, [this](const auto& e) { return e.second == this; });
    ds.SetOwner(this, 0);
  }
  TnxDataAccessStateComponent::beforeDestruction();
}

void TnxSession::beforeDestruction() {
  // Down first: leaving the engine needs an inactive session.
  nxdb_int::ignoringErrors([this] { Close(); });
  UnlinkDependent(std::exchange(sesServerEngine, nullptr));
  TnxBaseSession::beforeDestruction();
}

std::int32_t TnxBaseSession::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxSessionNotifier::IID) {
    *aObj = static_cast<InxSessionNotifier*>(this);
    return nxS_OK;
  }
  return TnxDataAccessStateComponent::QueryInterface(aIID, aObj);
}

void TnxBaseSession::Disconnected() {
  if (TnxSessionNotifications* n = bsSessionNotifications.load()) n->Disconnected();
}

// -------------------------------------------------------------- properties

std::int32_t TnxBaseSession::ServerVersion() {
  CheckStarted();
  return bsAbstractSession->ServerVersion();
}

void TnxBaseSession::SetUserName(const nxString& aValue) {
  if (aValue == bsUserName) return;
  CheckInactive();
  bsUserName = aValue;
}

void TnxBaseSession::SetPassword(const nxString& aValue) {
  if (aValue == bsPassword) return;
  CheckInactive();
  bsPassword = aValue;
}

void TnxBaseSession::SetClientLocaleAsDefault(bool aValue) {
  CheckInactive();
  bsClientLocaleAsDefault = aValue;
}

void TnxBaseSession::SetTimeout(std::int32_t aValue) {
  if (aValue == bsTimeout) return;
  bsTimeout = aValue;
  bsApplyTimeout();
}

bool TnxBaseSession::Default() const {
  const std::uint32_t me = platform::currentThreadId();
  TnxBaseSession* current;
  std::uint32_t owner;
  {
    TnxDefaultSessions& ds = defaultSessions();
    TnxPadlockGuard guard(ds.lock);
    current = ds.Find(me);
    owner = ds.OwnerOf(this);
  }
  if (current == this ? owner != me : owner != 0)
    RaiseError(kErrDefaultSessionThread, nxString(u"Default session has been used in another thread"));
  return current == this;
}

void TnxBaseSession::SetDefault(bool aValue) {
  if (aValue == Default()) return;
  const std::uint32_t me = platform::currentThreadId();
  TnxDefaultSessions& ds = defaultSessions();
  if (aValue) {
    TnxBaseSession* previous;
    {
      TnxPadlockGuard guard(ds.lock);
      previous = ds.Find(me);
    }
    if (previous) previous->SetDefault(false);
    tlsDefaultSessionGuard.armed = true;
    TnxPadlockGuard guard(ds.lock);
    ds.SetEntry(me, this);
    ds.SetOwner(this, me);
  } else {
    TnxPadlockGuard guard(ds.lock);
    ds.SetEntry(me, nullptr);
    ds.SetOwner(this, 0);
  }
}

TnxBaseSession* TnxBaseSession::DefaultSession() {
  TnxDefaultSessions& ds = defaultSessions();
  TnxPadlockGuard guard(ds.lock);
  return ds.Find(platform::currentThreadId());
}

InxSessionNotifications* TnxBaseSession::SessionNotifications() {
  TnxSessionNotifications* n = bsSessionNotifications.load();
  if (!n) {
    TnxSessionNotifications* created = platform::create<TnxSessionNotifications>(nullptr);
    TnxSessionNotifications* expected = nullptr;
    if (bsSessionNotifications.compare_exchange_strong(expected, created)) {
      n = created;
      bsRegisterNotifier();
    } else {
      platform::TObject::free(created);
      n = expected;
    }
  }
  return n;
}

void TnxBaseSession::bsRegisterNotifier() {
  if (!bsAbstractSession || !bsSessionNotifications.load()) return;
  if (InxSessionNotifications* engine = bsAbstractSession->SessionNotifications()) {
    TnxNotifierHandle handle;
    engine->RegisterNotifier(TnxIntfPtr<InxSessionNotifier>(static_cast<InxSessionNotifier*>(this)), handle);
  }
}

std::int32_t TnxBaseSession::bsEffectiveTimeout() const {
  return bsTimeout >= 0 ? bsTimeout : nxDefaultClientTimeout;
}

TnxBaseServerEngine* TnxBaseSession::bsCheckServerEngine() const {
  TnxBaseServerEngine* engine = GetServerEngine();
  if (!engine) RaiseError(kErrNoServerEngine);
  return engine;
}

void TnxBaseSession::bsApplyTimeout() {
  if (!bsAbstractSession) return;
  bsAbstractSession->BeginTimeoutBatch();
  try {
    bsAbstractSession->SetTimeout(static_cast<TnxWord32>(bsEffectiveTimeout()));
    for (TnxDatabase* db : std::vector<TnxDatabase*>(bsDatabases)) db->soApplyTimeout();
    for (TnxTransContext* tc : std::vector<TnxTransContext*>(bsTransContexts)) tc->soApplyTimeout();
  } catch (...) {
    bsAbstractSession->EndTimeoutBatch();
    throw;
  }
  bsAbstractSession->EndTimeoutBatch();
}

// --------------------------------------------------------------- dependents

void TnxBaseSession::AddDependent(TnxComponent* aComponent) {
  TnxDataAccessStateComponent::AddDependent(aComponent);
  if (auto* db = platform::objectAs<TnxDatabase>(aComponent))
    nxdb_int::addOnce(bsDatabases, db);
  else if (auto* tc = platform::objectAs<TnxTransContext>(aComponent))
    nxdb_int::addOnce(bsTransContexts, tc);
}

void TnxBaseSession::RemoveDependent(TnxComponent* aComponent) {
  TnxDataAccessStateComponent::RemoveDependent(aComponent);
  if (auto* db = platform::objectAs<TnxDatabase>(aComponent)) {
    nxdb_int::removeItem(bsDatabases, db);
    if (bsDefaultDatabase == db) bsDefaultDatabase = nullptr;
    bsRemoveTempDatabase(db);
  } else if (auto* tc = platform::objectAs<TnxTransContext>(aComponent)) {
    nxdb_int::removeItem(bsTransContexts, tc);
    if (bsDefaultTransContext == tc) bsDefaultTransContext = nullptr;
  }
}

void TnxBaseSession::bsRemoveTempDatabase(TnxDatabase* aDatabase) {
  std::erase_if(bsTempDatabases, [aDatabase](const auto& e) { return e.second == aDatabase; });
}

// ------------------------------------------------------------ start and stop

void TnxBaseSession::scInitializing() {
  TnxDataAccessStateComponent::scInitializing();
  bsCheckServerEngine();
}

void TnxBaseSession::scStarting() {
  TnxDataAccessStateComponent::scStarting();
  nxAssert(!bsAbstractSession, "The session is open already");
  nxString userName = bsUserName.empty() ? nxDefaultUserName() : bsUserName;
  nxString password = bsPassword.empty() ? nxDefaultPassword() : bsPassword;
  try {
    TnxResult result = bsCheckServerEngine()->SessionOpen(bsAbstractSession, userName, password, u"direct",
                                                          static_cast<TnxWord32>(bsEffectiveTimeout()));
    for (std::int32_t retries = 0; retries < bsPasswordRetries && result == kErrUnknownUser; ++retries) {
      if (bsBeepOnLoginError) platform::messageBeep(0);
      if (!bsDoLogin(userName, password)) break;
      result = bsCheckServerEngine()->SessionOpen(bsAbstractSession, userName, password, u"direct",
                                                  static_cast<TnxWord32>(bsEffectiveTimeout()));
    }
    CheckError(result);
    bsRegisterNotifier();
    if (bsClientLocaleAsDefault)
      bsAbstractSession->OptionSet(u"SQL_DEFAULT_LOCALE", decimalText(platform::userDefaultLocale()));
  } catch (...) {
    TnxAbstractServerObject::Free(std::exchange(bsAbstractSession, nullptr));
    throw;
  }
  bsCurrentUserName = userName;
}

void TnxBaseSession::scStopping() {
  if (TnxSessionNotifications* n = bsSessionNotifications.load()) n->Disconnected();
  bsCurrentUserName.clear();
  TnxDataAccessStateComponent::scStopping();
  TnxAbstractServerObject::Free(std::exchange(bsAbstractSession, nullptr));
}

bool TnxBaseSession::bsDoLogin(nxString& aUserName, nxString& aPassword) {
  if (bsOnLogin) {
    bool result = false;
    bsOnLogin(this, aUserName, aPassword, result);
    return result;
  }
  const TnxLoginHook hook = gLoginHook.load();
  if (hook && nxIsMainThread()) return hook(aUserName, aPassword);
  return false;
}

// ------------------------------------------------------- implicit databases

TnxDatabase* TnxBaseSession::bsFindOrCreateDatabase(const nxString& aAlias, bool aCreate) {
  CheckError(nxCheckAliasName(aAlias, true));
  for (const auto& e : bsTempDatabases)
    if (platform::sameTextAscii(e.first, aAlias)) return e.second;
  if (!aCreate) return nullptr;
  TnxDatabase* db = platform::create<TnxDatabase>(this);
  try {
    bsTempDatabases.emplace_back(aAlias, db);
    db->SetSession(this);
    db->SetAliasName(aAlias);
    db->bdbImplicit = true;
  } catch (...) {
    bsRemoveTempDatabase(db);
    platform::TObject::free(db);
    throw;
  }
  return db;
}

TnxDatabase* TnxBaseSession::FindDatabase(const nxString& aAlias) { return bsFindOrCreateDatabase(aAlias, false); }

TnxDatabase* TnxBaseSession::OpenDatabase(const nxString& aAlias) {
  TnxDatabase* db = bsFindOrCreateDatabase(aAlias, true);
  db->Open();
  return db;
}

// --------------------------------------------------------------- forwarding

TnxResult TnxBaseSession::AddAliasEx(const nxString& aName, const nxString& aPath, bool aEnforce) {
  if (const TnxResult r = nxCheckAliasName(aName, false)) return r;
  if (aPath.empty()) return nxErrInvalidParam;
  CheckStarted();
  return bsAbstractSession->AliasAdd(aName, aPath, aEnforce);
}

void TnxBaseSession::AddAlias(const nxString& aName, const nxString& aPath, bool aEnforce) {
  CheckError(AddAliasEx(aName, aPath, aEnforce));
}

TnxResult TnxBaseSession::DeleteAliasEx(const nxString& aName) {
  if (const TnxResult r = nxCheckAliasName(aName, true)) return r;
  CheckStarted();
  return bsAbstractSession->AliasDelete(aName);
}

void TnxBaseSession::DeleteAlias(const nxString& aName) { CheckError(DeleteAliasEx(aName)); }

TnxResult TnxBaseSession::ModifyAliasEx(const nxString& aName, const nxString& aNewName, const nxString& aNewPath,
                                        bool aEnforce) {
  if (const TnxResult r = nxCheckAliasName(aName, true)) return r;
  if (aNewName.empty() && aNewPath.empty()) return nxErrInvalidParam;
  CheckStarted();
  return bsAbstractSession->AliasModify(aName, aNewName, aNewPath, aEnforce);
}

void TnxBaseSession::ModifyAlias(const nxString& aName, const nxString& aNewName, const nxString& aNewPath,
                                 bool aEnforce) {
  CheckError(ModifyAliasEx(aName, aNewName, aNewPath, aEnforce));
}

TnxResult TnxBaseSession::GetAliasPathEx(const nxString& aName, nxString& aPath) {
  aPath.clear();
  if (const TnxResult r = nxCheckAliasName(aName, true)) return r;
  CheckStarted();
  return bsAbstractSession->AliasGetPath(aName, aPath);
}

void TnxBaseSession::GetAliasPath(const nxString& aName, nxString& aPath) {
  aPath.clear();
  CheckError(GetAliasPathEx(aName, aPath));
}

TnxResult TnxBaseSession::GetAliasNamesEx(platform::TStringList* aList, bool aEmptyList) {
  if (!aList) return nxErrInvalidParam;
  CheckStarted();
  std::vector<TnxOwned<TnxAliasDescriptor>> aliases;
  const TnxResult result = bsAbstractSession->AliasGetList(aliases);
  if (aEmptyList) aList->clear();
  if (result != 0) return result;
  for (const auto& alias : aliases)
    if (aList->indexOf(alias->adAlias) < 0) aList->add(alias->adAlias);
  return 0;
}

void TnxBaseSession::GetAliasNames(platform::TStringList* aList) { CheckError(GetAliasNamesEx(aList, true)); }

bool TnxBaseSession::IsAlias(const nxString& aName) {
  nxString path;
  return GetAliasPathEx(aName, path) == 0 && !path.empty();
}

TnxResult TnxBaseSession::TableStreamReadEx(const nxString& aAliasName, const nxString& aTableName,
                                            const nxString& aPassword, const nxString& aStreamName,
                                            TStream& aStream) {
  CheckStarted();
  if (const TnxResult r = nxCheckAliasName(aAliasName, true)) return r;
  if (const TnxResult r = nxCheckTableNameWithChild(aTableName, true, false)) return r;
  return bsAbstractSession->TableStreamRead(aAliasName, aTableName, aPassword, aStreamName, aStream);
}

TnxResult TnxBaseSession::TableStreamWriteEx(const nxString& aAliasName, const nxString& aTableName,
                                             const nxString& aPassword, const nxString& aStreamName,
                                             TStream& aStream) {
  CheckStarted();
  if (const TnxResult r = nxCheckAliasName(aAliasName, true)) return r;
  if (const TnxResult r = nxCheckTableNameWithChild(aTableName, true, false)) return r;
  return bsAbstractSession->TableStreamWrite(aAliasName, aTableName, aPassword, aStreamName, aStream);
}

TnxOwned<TnxMemoryStream> TnxBaseSession::TableStreamRead(const nxString& aAliasName, const nxString& aTableName,
                                                          const nxString& aPassword, const nxString& aStreamName) {
  CheckStarted();
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  CheckError(TableStreamReadEx(aAliasName, aTableName, aPassword, aStreamName, *stream));
  return stream;
}

void TnxBaseSession::PasswordAdd(const nxString& aPassword) {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordAdd(aPassword));
}

void TnxBaseSession::PasswordRemove(const nxString& aPassword) {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordRemove(aPassword));
}

void TnxBaseSession::PasswordRemoveAll() {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordRemoveAll());
}

void TnxBaseSession::CloseInactiveTables() {
  CheckStarted();
  CheckError(bsAbstractSession->CloseInactiveTables());
}

void TnxBaseSession::CloseInactiveFolders() {
  CheckStarted();
  CloseInactiveLocalDatabases();
  CheckError(bsAbstractSession->CloseInactiveFolders());
}

void TnxBaseSession::CloseInactiveLocalDatabases() {
  CheckStarted();
  for (std::size_t i = bsTempDatabases.size(); i-- > 0;) {
    if (i >= bsTempDatabases.size()) continue;
    TnxDatabase* db = bsTempDatabases[i].second;
    if (!db->Implicit() || !db->Active()) continue;
    bool inUse = false;
    for (std::int32_t d = 0; d < db->DataSetCount() && !inUse; ++d) inUse = db->DataSets(d)->Active();
    if (!inUse) db->Close();
  }
}

void TnxBaseSession::GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList* aList) {
  if (!aList) return;
  aList->clear();
  if (GetServerEngine() && bsAbstractSession) bsAbstractSession->GetRegisteredClassList(aClassListType, *aList);
}

void TnxBaseSession::CancelProcessing() {
  if (bsAbstractSession) TnxAbstractSession::Failed(bsAbstractSession, false);
}

namespace {
// Opens aDatabase for aWork and puts its Active back afterwards.
template <class Work>
void withDatabaseOpen(TnxDatabase* aDatabase, Work&& aWork) {
  const bool wasActive = aDatabase->Active();
  try {
    aDatabase->Open();
    aWork();
  } catch (...) {
    nxdb_int::ignoringErrors([&] { aDatabase->SetActive(wasActive); });
    throw;
  }
  aDatabase->SetActive(wasActive);
}
}  // namespace

void TnxBaseSession::GetTableNames(const nxString& aAliasName, platform::TStringList* aList) {
  CheckError(nxCheckAliasName(aAliasName, true));
  if (!aList) RaiseError(nxErrInvalidParam);
  aList->clear();
  if (aAliasName.empty()) return;
  TnxDatabase* db = bsFindOrCreateDatabase(aAliasName, true);
  withDatabaseOpen(db, [&] { db->GetTableNames(aList); });
}

void TnxBaseSession::GetChangedTables(const nxString& aAliasName, platform::TStringList* aList) {
  CheckError(nxCheckAliasName(aAliasName, true));
  if (!aList) RaiseError(nxErrInvalidParam);
  aList->clear();
  if (aAliasName.empty()) return;
  TnxDatabase* db = bsFindOrCreateDatabase(aAliasName, true);
  if (db->Active()) db->GetChangedTables(aList);
}

bool TnxBaseSession::TableExists(const nxString& aAliasName, const nxString& aTableName, const nxString& aPassword) {
  CheckStarted();
  CheckError(nxCheckAliasName(aAliasName, true));
  CheckError(nxCheckTableNameWithChild(aTableName, true, false));
  // Client message reduction is on in this system: an alias without an open
  // database is asked through the engine session, creating no component.
  constexpr bool kClientMessageReduction = true;
  TnxDatabase* db = bsFindOrCreateDatabase(aAliasName, !kClientMessageReduction);
  if (!db || (kClientMessageReduction && !db->Active())) {
    bool exists = false;
    if (bsAbstractSession->TableExists(aAliasName, aTableName, aPassword, exists, false) != 0) return false;
    return exists;
  }
  bool exists = false;
  withDatabaseOpen(db, [&] { exists = db->TableExists(aTableName, aPassword); });
  return exists;
}

// --------------------------------------------------------------- TnxSession

void TnxSession::SetServerEngine(TnxBaseServerEngine* aValue) {
  if (aValue == sesServerEngine) return;
  CheckInactive();
  UnlinkDependent(sesServerEngine);
  sesServerEngine = aValue;
  LinkDependent(sesServerEngine);
}

bool TnxSession::DependsOn(TnxStateComponent* aComponent) const {
  return (aComponent && aComponent == sesServerEngine) || TnxBaseSession::DependsOn(aComponent);
}

void TnxSession::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxBaseSession::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == sesServerEngine) {
    SetActive(false);
    sesServerEngine = nullptr;
  }
}

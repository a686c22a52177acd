#include "nxdbInt.h"
#include "nxllBde.h"
#include "nxllUtils.h"

PL_CLASS_INFO_IMPL(TnxBaseDatabase, TnxSessionOwnedDataAccessStateComponent, "TnxBaseDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxDatabase, TnxBaseDatabase, "TnxDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxCacheDatabase, TnxDatabase, "TnxCacheDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxTransContext, TnxSessionOwnedDataAccessStateComponent, "TnxTransContext", nullptr)

namespace {

constexpr TnxResult kErrTableNotFound = 10024;
constexpr TnxResult kErrInvalidTableName = 10039;
constexpr TnxResult kErrNoTransaction = 10257;
constexpr TnxResult kErrOtherSession = 10760;
constexpr TnxResult kErrSameDatabase = 15508;
constexpr TnxResult kErrNotSupported = 12289;

nxString trimmedAlias(const nxString& aValue) {
  std::size_t b = 0, e = aValue.size();
  while (b < e && aValue[b] <= u' ') ++b;
  while (e > b && aValue[e - 1] <= u' ') --e;
  return aValue.substr(b, e - b);
}

// The table name without a file extension ("qbnk.nx1" -> "qbnk"); nested
// parts and the "." and ".." names stay as they are.
nxString withoutExtension(const nxString& aTableName) {
  const std::size_t dot = aTableName.rfind(u'.');
  if (dot == nxString::npos || dot == 0 || dot + 1 == aTableName.size()) return aTableName;
  const std::size_t sep = aTableName.find_last_of(u":/");
  if (sep != nxString::npos && sep > dot) return aTableName;
  if (aTableName[dot - 1] == u'.' || aTableName[dot - 1] == u':') return aTableName;
  return aTableName.substr(0, dot);
}

// Clears a list inside its own update bracket (the list has none here).
void clearList(platform::TStringList& aList) { aList.clear(); }

}  // namespace

// =================================================================== base

void TnxBaseDatabase::beforeDestruction() {
  // Down before the links go: the engine database is freed by the stop.
  nxdb_int::ignoringErrors([this] { Close(); });
  TnxSessionOwnedDataAccessStateComponent::beforeDestruction();
}

void TnxBaseDatabase::bdbSetAlias(nxString& aField, nxString& aOther, const nxString& aValue) {
  if (platform::sameTextAscii(aValue, aField)) {
    aField = aValue;
    return;
  }
  if (bdbImplicit) RaiseError(nxString(u"AliasName can't be changed for an implicit database"));
  CheckInactive();
  aField = aValue;
  if (!aValue.empty()) aOther.clear();
}

void TnxBaseDatabase::SetAliasPath(const nxString& aValue) {
  nxString path = trimmedAlias(aValue);
  // One delimiter goes; the root stays the root (an empty path would open a
  // memory folder).
  if (path.size() > 1 && path.back() == u'/') path.pop_back();
  bdbSetAlias(bdbAliasPath, bdbAliasName, path);
}

void TnxBaseDatabase::SetAliasName(const nxString& aValue) {
  bdbSetAlias(bdbAliasName, bdbAliasPath, trimmedAlias(aValue));
}

void TnxBaseDatabase::SetExclusive(bool aValue) {
  if (aValue == bdbExclusive) return;
  CheckInactive();
  bdbExclusive = aValue;
}

void TnxBaseDatabase::SetReadOnly(bool aValue) {
  if (aValue == bdbReadOnly) return;
  CheckInactive();
  bdbReadOnly = aValue;
}

void TnxBaseDatabase::SetTransContext(TnxTransContext* aValue) {
  if (aValue == bdbTransContext) return;
  CheckInactive();
  UnlinkDependent(bdbTransContext);
  bdbTransContext = aValue;
  LinkDependent(bdbTransContext);
  if (bdbTransContext && bdbTransContext->Session()) SetSession(bdbTransContext->Session());
}

void TnxBaseDatabase::SetSession(TnxBaseSession* aValue) {
  if (bdbImplicit) return;
  TnxSessionOwnedDataAccessStateComponent::SetSession(aValue);
  if (soSession && (!bdbTransContext || bdbTransContext->Session() != soSession))
    SetTransContext(soSession->DefaultTransContext());
}

void TnxBaseDatabase::soBindDefaultSession() {
  TnxSessionOwnedDataAccessStateComponent::soBindDefaultSession();
  if (soSession && !bdbTransContext) SetTransContext(soSession->DefaultTransContext());
}

bool TnxBaseDatabase::DependsOn(TnxStateComponent* aComponent) const {
  return (aComponent && aComponent == bdbTransContext) ||
         TnxSessionOwnedDataAccessStateComponent::DependsOn(aComponent);
}

void TnxBaseDatabase::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxSessionOwnedDataAccessStateComponent::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == bdbTransContext) {
    SetActive(false);
    bdbTransContext = nullptr;
  }
}

void TnxBaseDatabase::bdbCheckAlias() const {
  if (bdbAliasName.empty() && bdbAliasPath.empty())
    RaiseError(nxString(u"AliasName or AliasPath must be specified"));
}

void TnxBaseDatabase::scInitializing() {
  TnxSessionOwnedDataAccessStateComponent::scInitializing();
  soCheckSession();
  bdbCheckAlias();
}

void TnxBaseDatabase::scStarting() {
  TnxSessionOwnedDataAccessStateComponent::scStarting();
  TnxAbstractTransContext* tc = bdbTransContext ? bdbTransContext->AbstractTransContext() : nullptr;
  const bool byName = !bdbAliasName.empty();
  TnxAbstractSession* session = soSession->AbstractSession();
  if (!session) soSession->CheckStarted();
  const TnxOpenMode openMode = bdbReadOnly ? omReadOnly : omReadWrite;
  const TnxShareMode shareMode = bdbExclusive ? smExclusive : smShared;
  const auto timeout = static_cast<TnxWord32>(soEffectiveTimeout());
  const nxString type = byName ? u"Name" : u"Path";
  const nxString& alias = byName ? bdbAliasName : bdbAliasPath;
  const TnxResult result =
      bdbOpensCache() ? session->DatabaseCacheOpen(bdbAbstractDatabase, type, alias, tc, openMode, shareMode, timeout)
                      : session->DatabaseOpen(bdbAbstractDatabase, type, alias, tc, openMode, shareMode, timeout);
  if (result != 0) bdbAbstractDatabase = nullptr;
  CheckError(result);
}

void TnxBaseDatabase::scStopping() {
  nxdb_int::ignoringErrors([this] { TnxSessionOwnedDataAccessStateComponent::scStopping(); });
  bdbAbstractDatabase31000 = nullptr;
  bdbAbstractDatabase31000Asked = false;
  nxdb_int::ignoringErrors(
      [this] { TnxAbstractServerObject::Free(std::exchange(bdbAbstractDatabase, nullptr)); });
}

nxString TnxBaseDatabase::Path() {
  if (bdbAbstractDatabase) {
    nxString path;
    if (bdbAbstractDatabase->GetPath(path) == 0) return path;
  }
  if (!bdbAliasPath.empty()) return bdbAliasPath;
  if (!soSession) {
    CheckStarted();
    return {};
  }
  nxString path;
  soSession->GetAliasPath(bdbAliasName, path);
  return path;
}

nxString TnxBaseDatabase::GetPath() {
  CheckStarted();
  nxString path;
  CheckError(bdbAbstractDatabase->GetPath(path));
  return path;
}

TnxResult TnxBaseDatabase::GetFreeDiskSpaceEx(std::int64_t& aFreeSpace) {
  CheckStarted();
  return bdbAbstractDatabase->GetFreespace(aFreeSpace);
}

std::int64_t TnxBaseDatabase::GetFreeDiskSpace() {
  std::int64_t value = 0;
  CheckError(GetFreeDiskSpaceEx(value));
  return value;
}

bool TnxBaseDatabase::Exists() {
  if (Active()) return true;
  if (!soSession) return false;
  if (!bdbAliasName.empty()) return soSession->IsAlias(bdbAliasName);
  if (bdbAliasPath.empty()) return false;
  try {
    Open();
    Close();
    return true;
  } catch (const std::exception&) {
    nxdb_int::ignoringErrors([this] { Close(); });
    return false;
  }
}

// =============================================================== TnxDatabase

void TnxDatabase::Loaded() {
  TnxBaseDatabase::Loaded();
  if (dbLoadedDefault) SetDefault(true);
}

bool TnxDatabase::Default() const { return soSession && soSession->bsDefaultDatabase == this; }

void TnxDatabase::SetDefault(bool aValue) {
  if (ComponentState() & csLoading) {
    dbLoadedDefault = aValue;
    return;
  }
  if (aValue == Default() || !soSession) return;
  soSession->bsDefaultDatabase = aValue ? this : nullptr;
}

void TnxDatabase::SetCacheDatabase(TnxCacheDatabase* aValue) {
  if (aValue == dbCacheDatabase) return;
  CheckInactive();
  UnlinkDependent(dbCacheDatabase);
  dbCacheDatabase = aValue;
  LinkDependent(dbCacheDatabase);
}

TnxDataset* TnxDatabase::DataSets(std::int32_t aIndex) const {
  return dbDataSets.at(static_cast<std::size_t>(aIndex))->DataSet();
}
TnxDataset* TnxDatabase::Tables(std::int32_t aIndex) const {
  return dbTables.at(static_cast<std::size_t>(aIndex))->DataSet();
}
TnxDataset* TnxDatabase::Queries(std::int32_t aIndex) const {
  return dbQueries.at(static_cast<std::size_t>(aIndex))->DataSet();
}

bool TnxDatabase::DependsOn(TnxStateComponent* aComponent) const {
  return (aComponent && aComponent == dbCacheDatabase) || TnxBaseDatabase::DependsOn(aComponent);
}

void TnxDatabase::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxBaseDatabase::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == dbCacheDatabase) {
    SetActive(false);
    dbCacheDatabase = nullptr;
  }
}

void TnxDatabase::AddDependent(TnxComponent* aComponent) {
  TnxBaseDatabase::AddDependent(aComponent);
  auto* cursor = platform::objectAs<TnxCursor>(aComponent);
  if (!cursor) return;
  nxdb_int::addOnce(dbDataSets, cursor);
  if (TnxDataset* ds = cursor->DataSet()) {
    if (nxdb_int::classNamed(*ds, "TnxTable"))
      nxdb_int::addOnce(dbTables, cursor);
    else if (nxdb_int::classNamed(*ds, "TnxStatementDataSet"))
      nxdb_int::addOnce(dbQueries, cursor);
  }
}

void TnxDatabase::RemoveDependent(TnxComponent* aComponent) {
  TnxBaseDatabase::RemoveDependent(aComponent);
  auto* cursor = platform::objectAs<TnxCursor>(aComponent);
  if (!cursor) return;
  nxdb_int::removeItem(dbDataSets, cursor);
  nxdb_int::removeItem(dbTables, cursor);
  nxdb_int::removeItem(dbQueries, cursor);
}

void TnxDatabase::scStarting() {
  TnxBaseDatabase::scStarting();
  if (dbCacheDatabase && dbCacheDatabase->AbstractDatabase())
    bdbAbstractDatabase->SetCacheDatabase(dbCacheDatabase->AbstractDatabase());
}

void TnxDatabase::scStopping() {
  // Prepared statements live in the engine database that goes now.
  for (TnxCursor* cursor : std::vector<TnxCursor*>(dbQueries))
    if (auto* query = platform::objectAs<TnxStatementDataSet>(cursor->DataSet()))
      nxdb_int::ignoringErrors([query] { query->Unprepare(); });
  TnxBaseDatabase::scStopping();
}

void TnxDatabase::soApplyTimeout() {
  if (!bdbAbstractDatabase) return;
  bdbAbstractDatabase->BeginTimeoutBatch();
  try {
    bdbAbstractDatabase->SetTimeout(static_cast<TnxWord32>(soEffectiveTimeout()));
    for (TnxCursor* cursor : std::vector<TnxCursor*>(dbDataSets))
      if (TnxDataset* ds = cursor->DataSet()) ds->dsApplyTimeout();
  } catch (...) {
    bdbAbstractDatabase->EndTimeoutBatch();
    throw;
  }
  bdbAbstractDatabase->EndTimeoutBatch();
}

InxAbstractDatabase31000* TnxDatabase::dbAbstractDatabase31000() {
  CheckStarted();
  if (!bdbAbstractDatabase31000Asked) {
    bdbAbstractDatabase31000Asked = true;
    void* intf = nullptr;
    if (bdbAbstractDatabase->CreateInstanceFor(u"<Self>", nxAbstractDatabase31000ClassID, nullptr,
                                               InxAbstractDatabase31000::IID, &intf) != nxS_OK)
      intf = nullptr;
    bdbAbstractDatabase31000 = static_cast<InxAbstractDatabase31000*>(intf);
  }
  return bdbAbstractDatabase31000;
}

bool TnxDatabase::dbAllowSystem() { return bdbAbstractDatabase->ExplicitAllowSystem(); }

// ------------------------------------------------------------- transactions

void TnxDatabase::StartTransaction(bool aSnapShot) {
  CheckStarted();
  CheckError(bdbAbstractDatabase->TransactionStart(bdbFailSafe, aSnapShot));
}

void TnxDatabase::Commit() {
  CheckStarted();
  CheckError(bdbAbstractDatabase->TransactionCommit());
}

void TnxDatabase::Rollback() {
  CheckStarted();
  CheckError(bdbAbstractDatabase->TransactionRollback());
}

void TnxDatabase::TransactionCorrupted() {
  CheckStarted();
  CheckError(bdbAbstractDatabase->TransactionCorrupted());
}

bool TnxDatabase::InTransaction() {
  if (!Active() || !bdbAbstractDatabase) return false;
  std::int32_t level = -1;
  const TnxResult result = bdbAbstractDatabase->TransactionGetLevel(level);
  if (result == kErrNoTransaction) return false;
  CheckError(result);
  return level >= 0;
}

bool TnxDatabase::TryStartTransaction(bool aSnapShot) {
  if (InTransaction()) return false;
  StartTransaction(aSnapShot);
  return true;
}

// ---------------------------------------------------------- table operations

TnxResult TnxDatabase::AddFieldToTable(const nxString& aTableName, const nxString& aPassword,
                                       TnxFieldDescriptor* aFieldDesc) {
  if (aTableName.empty()) return kErrInvalidTableName;
  if (!aFieldDesc) return nxErrInvalidParam;
  CheckStarted();
  return bdbAbstractDatabase->TableAddField(aTableName, aPassword, aFieldDesc);
}

TnxResult TnxDatabase::BackupTableEx(const nxString& aTableName, const nxString& aPassword, TnxDatabase* aTarget,
                                     TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.empty()) return kErrInvalidTableName;
  if (!aTarget) return nxErrInvalidParam;
  if (aTarget->Session() != Session()) return kErrOtherSession;
  if (aTarget->AliasName() == AliasName() && aTarget->AliasPath() == AliasPath()) return kErrSameDatabase;
  CheckStarted();
  return bdbAbstractDatabase->TableBackup(aTableName, aPassword, aTarget->AbstractDatabase(), aTaskInfo);
}

TnxAbstractTaskInfo* TnxDatabase::BackupTable(const nxString& aTableName, const nxString& aPassword,
                                              TnxDatabase* aTarget) {
  TnxAbstractTaskInfo* task = nullptr;
  CheckError(BackupTableEx(aTableName, aPassword, aTarget, task));
  return task;
}

TnxResult TnxDatabase::ChangePasswordEx(const nxString& aTableName, const nxString& aOldPassword,
                                        const nxString& aNewPassword) {
  CheckStarted();
  return bdbAbstractDatabase->TableChangePassword(aTableName, aOldPassword, aNewPassword);
}

void TnxDatabase::ChangePassword(const nxString& aTableName, const nxString& aOldPassword,
                                 const nxString& aNewPassword) {
  CheckStarted();
  CheckError(ChangePasswordEx(aTableName, aOldPassword, aNewPassword));
}

TnxResult TnxDatabase::CreateTableEx(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                                     TnxDataDictionary* aDictionary, TnxTableScope aTableScope) {
  if (!aDictionary) return nxErrInvalidParam;
  if (aTableName.empty()) return kErrInvalidTableName;
  CheckStarted();
  return bdbAbstractDatabase->TableBuild(aOverWrite, aTableName, aPassword, aDictionary, aTableScope,
                                         dbAllowSystem());
}

void TnxDatabase::CreateTable(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                              TnxDataDictionary* aDictionary, TnxTableScope aTableScope) {
  CheckError(CreateTableEx(aOverWrite, aTableName, aPassword, aDictionary, aTableScope));
}

void TnxDatabase::DeleteTable(const nxString& aTableName, const nxString& aPassword) {
  if (aTableName.empty()) return;
  CheckStarted();
  const TnxResult result = bdbAbstractDatabase->TableDelete(aTableName, aPassword);
  if (result != kErrTableNotFound) CheckError(result);
}

void TnxDatabase::EmptyTable(const nxString& aTableName, const nxString& aPassword) {
  if (aTableName.empty()) RaiseError(kErrInvalidTableName);
  CheckStarted();
  CheckError(bdbAbstractDatabase->TableEmpty(aTableName, aPassword));
}

std::uint32_t TnxDatabase::GetAutoIncValue(const nxString& aTableName, const nxString& aPassword) {
  CheckStarted();
  std::uint32_t value = 0;
  CheckError(bdbAbstractDatabase->TableAutoIncGet(aTableName, aPassword, value));
  return value;
}

void TnxDatabase::GetChangedTables(platform::TStringList* aList) {
  if (!aList) RaiseError(nxErrInvalidParam);
  CheckStarted();
  clearList(*aList);
  CheckError(bdbAbstractDatabase->GetChangedTables(*aList));
}

TnxResult TnxDatabase::GetDataDictionaryEx(const nxString& aTableName, const nxString& aPassword,
                                           TnxDataDictionary* aDictionary) {
  if (aTableName.empty()) return kErrInvalidTableName;
  if (!aDictionary) return nxErrInvalidParam;
  CheckStarted();
  return bdbAbstractDatabase->TableGetDictionary(withoutExtension(aTableName), aPassword, aDictionary);
}

void TnxDatabase::GetDataDictionary(const nxString& aTableName, const nxString& aPassword,
                                    TnxDataDictionary* aDictionary) {
  CheckError(GetDataDictionaryEx(aTableName, aPassword, aDictionary));
}

void TnxDatabase::GetTableNames(platform::TStringList* aList) {
  if (!aList) RaiseError(nxErrInvalidParam);
  CheckStarted();
  clearList(*aList);
  CheckError(bdbAbstractDatabase->TableGetList(*aList));
}

void TnxDatabase::GetTablesNeedingPack(platform::TStringList* aList) {
  InxAbstractDatabase31000* extension = dbAbstractDatabase31000();
  if (!extension) RaiseError(kErrNotSupported);
  if (aList) nxUnicodeStringsToStrings(extension->GetTablesNeedingPack(), *aList);
}

TnxResult TnxDatabase::PackTableEx(const nxString& aTableName, const nxString& aPassword,
                                   TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.empty()) return kErrInvalidTableName;
  CheckStarted();
  return bdbAbstractDatabase->TablePack(aTableName, aPassword, aTaskInfo);
}

TnxAbstractTaskInfo* TnxDatabase::PackTable(const nxString& aTableName, const nxString& aPassword) {
  TnxAbstractTaskInfo* task = nullptr;
  CheckError(PackTableEx(aTableName, aPassword, task));
  return task;
}

TnxResult TnxDatabase::RecoverTableEx(const nxString& aTableName, const nxString& aPassword,
                                      TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const TnxResult r = nxCheckTableName(aTableName, true, false)) return r;
  CheckStarted();
  return bdbAbstractDatabase->TableRecover(aTableName, aPassword, aTaskInfo);
}

TnxResult TnxDatabase::ReIndexTableEx(const nxString& aTableName, const nxString& aPassword,
                                      const nxString& aIndexName, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.empty()) return kErrInvalidTableName;
  CheckStarted();
  return bdbAbstractDatabase->TableRebuildIndex(aTableName, aPassword, aIndexName, -1, aTaskInfo);
}

TnxResult TnxDatabase::ReIndexTableEx(const nxString& aTableName, const nxString& aPassword,
                                      std::int32_t aIndexNum, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.empty()) return kErrInvalidTableName;
  CheckStarted();
  return bdbAbstractDatabase->TableRebuildIndex(aTableName, aPassword, nxString(), aIndexNum, aTaskInfo);
}

void TnxDatabase::RenameTable(const nxString& aOldName, const nxString& aNewName, const nxString& aPassword) {
  if (aOldName.empty() || aNewName.empty()) RaiseError(kErrInvalidTableName);
  CheckStarted();
  CheckError(bdbAbstractDatabase->TableRename(aOldName, aNewName, aPassword));
}

TnxResult TnxDatabase::RestructureTableEx(const nxString& aTableName, const nxString& aPassword,
                                          TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                          TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.empty()) return kErrInvalidTableName;
  if (!aDictionary) return nxErrInvalidParam;
  CheckStarted();
  return bdbAbstractDatabase->TableRestructure(aTableName, aPassword, aDictionary, aMapperDesc, dbAllowSystem(),
                                               aTaskInfo);
}

bool TnxDatabase::TableExists(const nxString& aTableName, const nxString& aPassword) {
  if (aTableName.empty()) return false;
  CheckStarted();
  const bool allowSystem = dbAllowSystem();
  CheckError(nxCheckTableNameWithChild(aTableName, true, allowSystem));
  bool exists = false;
  CheckError(bdbAbstractDatabase->TableExists(aTableName, aPassword, exists, allowSystem));
  return exists;
}

TnxResult TnxDatabase::TableStreamReadEx(const nxString& aTableName, const nxString& aPassword,
                                         const nxString& aStreamName, TStream& aStream) {
  CheckStarted();
  if (const TnxResult r = nxCheckTableNameWithChild(aTableName, true, dbAllowSystem())) return r;
  return bdbAbstractDatabase->TableStreamRead(aTableName, aPassword, aStreamName, aStream);
}

TnxResult TnxDatabase::TableStreamWriteEx(const nxString& aTableName, const nxString& aPassword,
                                          const nxString& aStreamName, TStream& aStream) {
  CheckStarted();
  if (const TnxResult r = nxCheckTableNameWithChild(aTableName, true, dbAllowSystem())) return r;
  return bdbAbstractDatabase->TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
}

TnxOwned<TnxMemoryStream> TnxDatabase::TableStreamRead(const nxString& aTableName, const nxString& aPassword,
                                                       const nxString& aStreamName) {
  CheckStarted();
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  CheckError(TableStreamReadEx(aTableName, aPassword, aStreamName, *stream));
  return stream;
}

TnxResult TnxDatabase::VerifyChecksumTableEx(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                             bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const TnxResult r = nxCheckTableName(aTableName, true, false)) return r;
  CheckStarted();
  return bdbAbstractDatabase->TableVerifyChecksum(aTableName, aPassword, aRaw, aForceRecheck, aTaskInfo);
}

// ========================================================== TnxTransContext

void TnxTransContext::Loaded() {
  TnxSessionOwnedDataAccessStateComponent::Loaded();
  if (tcLoadedDefault) SetDefault(true);
}

bool TnxTransContext::Default() const { return soSession && soSession->bsDefaultTransContext == this; }

void TnxTransContext::SetDefault(bool aValue) {
  if (ComponentState() & csLoading) {
    tcLoadedDefault = aValue;
    return;
  }
  if (aValue == Default() || !soSession) return;
  soSession->bsDefaultTransContext = aValue ? this : nullptr;
}

void TnxTransContext::AddDependent(TnxComponent* aComponent) {
  TnxSessionOwnedDataAccessStateComponent::AddDependent(aComponent);
  if (auto* db = platform::objectAs<TnxDatabase>(aComponent)) nxdb_int::addOnce(tcDatabases, db);
}

void TnxTransContext::RemoveDependent(TnxComponent* aComponent) {
  TnxSessionOwnedDataAccessStateComponent::RemoveDependent(aComponent);
  if (auto* db = platform::objectAs<TnxDatabase>(aComponent)) nxdb_int::removeItem(tcDatabases, db);
}

void TnxTransContext::scInitializing() {
  TnxSessionOwnedDataAccessStateComponent::scInitializing();
  soCheckSession();
}

void TnxTransContext::scStarting() {
  TnxSessionOwnedDataAccessStateComponent::scStarting();
  TnxAbstractSession* session = soSession->AbstractSession();
  if (!session) soSession->CheckStarted();
  const TnxResult result =
      session->TransContextCreate(tcAbstractTransContext, static_cast<TnxWord32>(soEffectiveTimeout()));
  if (result != 0) tcAbstractTransContext = nullptr;
  CheckError(result);
}

void TnxTransContext::scStopping() {
  nxdb_int::ignoringErrors([this] { TnxSessionOwnedDataAccessStateComponent::scStopping(); });
  nxdb_int::ignoringErrors(
      [this] { TnxAbstractServerObject::Free(std::exchange(tcAbstractTransContext, nullptr)); });
}

void TnxTransContext::soApplyTimeout() {
  if (tcAbstractTransContext) tcAbstractTransContext->SetTimeout(static_cast<TnxWord32>(soEffectiveTimeout()));
}

void TnxTransContext::StartTransaction(bool aSnapShot) {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionStart(tcFailSafe, aSnapShot));
}

void TnxTransContext::Commit() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionCommit());
}

void TnxTransContext::Rollback() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionRollback());
}

void TnxTransContext::TransactionCorrupted() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionCorrupted());
}

bool TnxTransContext::InTransaction() {
  CheckStarted();
  std::int32_t level = -1;
  const TnxResult result = tcAbstractTransContext->TransactionGetLevel(level);
  if (result == kErrNoTransaction) return false;
  CheckError(result);
  return level >= 0;
}

bool TnxTransContext::TryStartTransaction(bool aSnapShot) {
  if (InTransaction()) return false;
  StartTransaction(aSnapShot);
  return true;
}

// The database and transaction-context components. Part of nxdb: include
// nxdb.h, not this header.
//
// Contracts:
// - A database opens one engine database on a folder, by AliasPath ("Path")
//   or AliasName ("Name"); at most one of the two is set. It depends on its
//   session and its transaction context, so opening it starts the session,
//   then the context, then the database; stopping the session stops the
//   database first.
// - AliasPath is trimmed and loses one trailing "/"; "/" itself stays, as an
//   empty path would open a memory folder. The same path in other letter
//   case only changes the stored case; another path needs an inactive
//   database.
// - Table operations: an Ex operation answers the engine code (a task info
//   through an out parameter, set to nil first); its plain twin raises it.
//   Every check of an operation runs before any engine call.
// - SQL routines (nxdbDatabaseSql.cpp) run a query or stored procedure of
//   their own with the arguments in order; stopping the database first
//   unprepares the statement datasets that use it.
// - A transaction context holds one engine transaction context that several
//   databases share, so one transaction spans them.
// Thread safety: driven by the thread that owns the session.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "nxdbComponent.h"
#include "nxsdServerEngine.h"
#include "plDbParams.h"

class TnxBaseSession;
class TnxTransContext;
class TnxCursor;
class TnxDataset;
class TnxQuery;
class TnxStoredProc;
class TStream;

// One argument of the SQL routines, of one of the kinds an argument list
// may hold; nxSetParamFromArg assigns it by its kind.
struct TnxConstArg {
  enum TnxConstArgKind : std::uint8_t {
    cakInteger, cakBoolean, cakChar, cakExtended, cakString, cakPointer, cakObject, cakWideString,
    cakCurrency, cakVariant, cakInt64, cakClass, cakWideChar, cakInterface
  };
  TnxConstArg(std::int32_t aValue) : kind(cakInteger), int64(aValue) {}
  TnxConstArg(bool aValue) : kind(cakBoolean), boolean(aValue) {}
  TnxConstArg(char aValue) : kind(cakChar), text(1, aValue) {}
  TnxConstArg(long double aValue) : kind(cakExtended), extended(aValue) {}
  TnxConstArg(double aValue) : kind(cakExtended), extended(aValue) {}
  // 8-bit text (ANSI code page).
  TnxConstArg(const char* aValue) : kind(cakString), text(aValue ? aValue : "") {}
  TnxConstArg(const std::string& aValue) : kind(cakString), text(aValue) {}
  TnxConstArg(std::nullptr_t) : kind(cakPointer) {}
  TnxConstArg(const void* aValue) : kind(cakPointer), pointer(aValue) {}
  TnxConstArg(platform::TObject* aValue) : kind(cakObject), object(aValue) {}
  TnxConstArg(const char16_t* aValue) : kind(cakWideString), wide(aValue ? aValue : u"") {}
  TnxConstArg(const std::u16string& aValue) : kind(cakWideString), wide(aValue) {}
  TnxConstArg(platform::Currency aValue) : kind(cakCurrency), currency(aValue) {}
  TnxConstArg(const platform::Variant& aValue) : kind(cakVariant), variant(aValue) {}
  TnxConstArg(std::int64_t aValue) : kind(cakInt64), int64(aValue) {}
  TnxConstArg(long long aValue) : kind(cakInt64), int64(aValue) {}
  TnxConstArg(const platform::ClassInfo* aValue) : kind(cakClass), pointer(aValue) {}
  TnxConstArg(char16_t aValue) : kind(cakWideChar), wide(1, aValue) {}
  TnxConstArg(InxInterface* aValue) : kind(cakInterface), pointer(aValue) {}

  TnxConstArgKind kind;
  std::int64_t int64 = 0;
  bool boolean = false;
  long double extended = 0;
  std::string text;
  std::u16string wide;
  platform::Currency currency{};
  platform::Variant variant;
  const void* pointer = nullptr;
  platform::TObject* object = nullptr;
};
using TnxConstArgs = std::span<const TnxConstArg>;

// The arguments in order to the parameters that take input (kinds unknown,
// input, input/output); more arguments than such parameters raise the
// parameter list's index error.
void nxSetParamsFromArgs(platform::TParams& aParams, TnxConstArgs aArgs);
// One argument by its kind; a kind the parameter cannot take raises
// "Invalid value for param '<name>'" (aIndex names an unnamed parameter).
void nxSetParamFromArg(platform::TParam& aParam, int aIndex, const TnxConstArg& aArg);
// The values of the output, input/output and result parameters, in order.
TnxDynVariantArray nxGetOutputParamValues(const platform::TParams& aParams);

class TnxBaseDatabase : public TnxSessionOwnedDataAccessStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSessionOwnedDataAccessStateComponent::TnxSessionOwnedDataAccessStateComponent;
  void beforeDestruction() override;

  // --- properties
  const nxString& AliasName() const { return bdbAliasName; }
  void SetAliasName(const nxString& aValue);
  const nxString& AliasPath() const { return bdbAliasPath; }
  void SetAliasPath(const nxString& aValue);
  bool Exclusive() const { return bdbExclusive; }
  void SetExclusive(bool aValue);
  bool ReadOnly() const { return bdbReadOnly; }
  void SetReadOnly(bool aValue);
  bool FailSafe() const { return bdbFailSafe; }
  void SetFailSafe(bool aValue) { bdbFailSafe = aValue; }
  TnxTransContext* TransContext() const { return bdbTransContext; }
  void SetTransContext(TnxTransContext* aValue);
  // Ignored on an implicit database; picks the session's default context
  // when there is none or it belongs to another session.
  void SetSession(TnxBaseSession* aValue) override;
  TnxAbstractDatabase* AbstractDatabase() const { return bdbAbstractDatabase; }
  bool Implicit() const { return bdbImplicit; }

  // The open engine database's path; else AliasPath; else the session's
  // path of AliasName.
  nxString Path();
  nxString GetPath();
  TnxResult GetFreeDiskSpaceEx(std::int64_t& aFreeSpace);
  std::int64_t GetFreeDiskSpace();
  // Active; else whether the alias or the path opens (a failure: False).
  bool Exists();

  bool DependsOn(TnxStateComponent* aComponent) const override;
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;

 protected:
  friend class TnxBaseSession;
  void soBindDefaultSession() override;
  void scInitializing() override;
  void scStarting() override;
  void scStopping() override;
  // DatabaseOpen, or DatabaseCacheOpen for a cache database.
  virtual bool bdbOpensCache() const { return false; }
  void bdbCheckAlias() const;
  // Stores a value of AliasName or AliasPath under the rules of both.
  void bdbSetAlias(nxString& aField, nxString& aOther, const nxString& aValue);

  TnxTransContext* bdbTransContext = nullptr;  // not owned
  nxString bdbAliasName;
  nxString bdbAliasPath;
  TnxAbstractDatabase* bdbAbstractDatabase = nullptr;  // owned while started
  InxAbstractDatabase31000* bdbAbstractDatabase31000 = nullptr;
  bool bdbAbstractDatabase31000Asked = false;
  bool bdbExclusive = false;
  bool bdbReadOnly = false;
  bool bdbFailSafe = false;
  bool bdbImplicit = false;
};

class TnxCacheDatabase;

class TnxDatabase : public TnxBaseDatabase {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDatabase::TnxBaseDatabase;
  void Loaded() override;

  bool Default() const;
  void SetDefault(bool aValue);
  TnxCacheDatabase* CacheDatabase() const { return dbCacheDatabase; }
  void SetCacheDatabase(TnxCacheDatabase* aValue);
  std::int32_t DataSetCount() const { return static_cast<std::int32_t>(dbDataSets.size()); }
  TnxDataset* DataSets(std::int32_t aIndex) const;
  std::int32_t TableCount() const { return static_cast<std::int32_t>(dbTables.size()); }
  TnxDataset* Tables(std::int32_t aIndex) const;
  std::int32_t QueryCount() const { return static_cast<std::int32_t>(dbQueries.size()); }
  TnxDataset* Queries(std::int32_t aIndex) const;

  // --- transactions
  void StartTransaction(bool aSnapShot = false);
  void Commit();
  void Rollback();
  void TransactionCorrupted();
  // False when inactive; 10257 from the engine answers False.
  bool InTransaction();
  bool TryStartTransaction(bool aSnapShot = false);

  // --- table operations
  TnxResult AddFieldToTable(const nxString& aTableName, const nxString& aPassword, TnxFieldDescriptor* aFieldDesc);
  TnxResult BackupTableEx(const nxString& aTableName, const nxString& aPassword, TnxDatabase* aTarget,
                          TnxAbstractTaskInfo*& aTaskInfo);
  TnxAbstractTaskInfo* BackupTable(const nxString& aTableName, const nxString& aPassword, TnxDatabase* aTarget);
  TnxResult ChangePasswordEx(const nxString& aTableName, const nxString& aOldPassword,
                             const nxString& aNewPassword);
  void ChangePassword(const nxString& aTableName, const nxString& aOldPassword, const nxString& aNewPassword);
  TnxResult CreateTableEx(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                          TnxDataDictionary* aDictionary, TnxTableScope aTableScope = tsPersistent);
  void CreateTable(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                   TnxDataDictionary* aDictionary, TnxTableScope aTableScope = tsPersistent);
  // A missing table is no error; an empty name does nothing.
  void DeleteTable(const nxString& aTableName, const nxString& aPassword);
  void EmptyTable(const nxString& aTableName, const nxString& aPassword);
  std::uint32_t GetAutoIncValue(const nxString& aTableName, const nxString& aPassword);
  void GetChangedTables(platform::TStringList* aList);
  TnxResult GetDataDictionaryEx(const nxString& aTableName, const nxString& aPassword,
                                TnxDataDictionary* aDictionary);
  void GetDataDictionary(const nxString& aTableName, const nxString& aPassword, TnxDataDictionary* aDictionary);
  void GetTableNames(platform::TStringList* aList);
  // Through the engine database's extension; 12289 without it.
  void GetTablesNeedingPack(platform::TStringList* aList);
  TnxResult PackTableEx(const nxString& aTableName, const nxString& aPassword, TnxAbstractTaskInfo*& aTaskInfo);
  TnxAbstractTaskInfo* PackTable(const nxString& aTableName, const nxString& aPassword);
  TnxResult RecoverTableEx(const nxString& aTableName, const nxString& aPassword, TnxAbstractTaskInfo*& aTaskInfo);
  TnxResult ReIndexTableEx(const nxString& aTableName, const nxString& aPassword, const nxString& aIndexName,
                           TnxAbstractTaskInfo*& aTaskInfo);
  TnxResult ReIndexTableEx(const nxString& aTableName, const nxString& aPassword, std::int32_t aIndexNum,
                           TnxAbstractTaskInfo*& aTaskInfo);
  void RenameTable(const nxString& aOldName, const nxString& aNewName, const nxString& aPassword);
  TnxResult RestructureTableEx(const nxString& aTableName, const nxString& aPassword,
                               TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                               TnxAbstractTaskInfo*& aTaskInfo);
  // An empty name answers False.
  bool TableExists(const nxString& aTableName, const nxString& aPassword = u"");
  TnxResult TableStreamReadEx(const nxString& aTableName, const nxString& aPassword, const nxString& aStreamName,
                              TStream& aStream);
  TnxResult TableStreamWriteEx(const nxString& aTableName, const nxString& aPassword, const nxString& aStreamName,
                               TStream& aStream);
  TnxOwned<TnxMemoryStream> TableStreamRead(const nxString& aTableName, const nxString& aPassword,
                                            const nxString& aStreamName);
  TnxResult VerifyChecksumTableEx(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                  bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo);

  // --- SQL routines (the datasets they make have no owner; an Open... one
  // goes to the caller, who frees it; every other is freed, also on failure)
  TnxDynVariantArray ExecQuery(const nxString& aQuery, TnxConstArgs aParams = {});
  // The file through the platform's file layer; its text in the ANSI code
  // page unless it starts with a UTF-8 or UTF-16 byte-order mark.
  TnxDynVariantArray ExecQueryFromFile(const nxString& aFileName, TnxConstArgs aParams = {});
  TnxDynVariantArray ExecQueryFromStream(TStream& aStream, TnxConstArgs aParams = {});
  TnxDynVariantArray ExecStoredProc(const nxString& aStoredProcName, TnxConstArgs aParams = {});
  TnxQuery* OpenQuery(const nxString& aQuery, TnxConstArgs aParams = {}, std::int32_t aBlockReadSize = 0,
                      bool aRequestLive = false);
  TnxStoredProc* OpenStoredProc(const nxString& aStoredProcName, TnxConstArgs aParams = {},
                                std::int32_t aBlockReadSize = 0);
  // Names and parameters of stored routines, from the engine's catalogue.
  void GetStoredProcNames(platform::TStringList* aList);
  void GetStoredFuncNames(platform::TStringList* aList);
  TnxStoredProcParamList GetStoredProcParams(const nxString& aStoredProcName);
  TnxStoredProcParamList GetStoredFuncParams(const nxString& aStoredFuncName);

  bool DependsOn(TnxStateComponent* aComponent) const override;
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;
  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;
  void soApplyTimeout() override;

 protected:
  void scStarting() override;
  void scStopping() override;
  // The engine database's extension, asked for once per open database.
  InxAbstractDatabase31000* dbAbstractDatabase31000();
  bool dbAllowSystem();
  void dbGetRoutineNames(platform::TStringList* aList, const char16_t* aQuery, const char16_t* aField);
  TnxStoredProcParamList dbGetRoutineParams(const nxString& aName, bool aFunction);
  template <class Body>
  TnxDynVariantArray dbExecQueryWith(Body&& aLoadText, TnxConstArgs aParams);

 private:
  bool dbLoadedDefault = false;
  TnxCacheDatabase* dbCacheDatabase = nullptr;  // not owned
  std::vector<TnxCursor*> dbDataSets;
  std::vector<TnxCursor*> dbTables;
  std::vector<TnxCursor*> dbQueries;
};

// Opens its engine database through the engine's cache open.
class TnxCacheDatabase : public TnxDatabase {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDatabase::TnxDatabase;

 protected:
  bool bdbOpensCache() const override { return true; }
};

class TnxTransContext : public TnxSessionOwnedDataAccessStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSessionOwnedDataAccessStateComponent::TnxSessionOwnedDataAccessStateComponent;
  void Loaded() override;

  TnxAbstractTransContext* AbstractTransContext() const { return tcAbstractTransContext; }
  bool FailSafe() const { return tcFailSafe; }
  void SetFailSafe(bool aValue) { tcFailSafe = aValue; }
  bool Default() const;
  void SetDefault(bool aValue);
  std::int32_t DatabaseCount() const { return static_cast<std::int32_t>(tcDatabases.size()); }
  TnxDatabase* Databases(std::int32_t aIndex) const { return tcDatabases.at(static_cast<std::size_t>(aIndex)); }

  void StartTransaction(bool aSnapShot = false);
  void Commit();
  void Rollback();
  void TransactionCorrupted();
  // The context must be started; 10257 from the engine answers False.
  bool InTransaction();
  bool TryStartTransaction(bool aSnapShot = false);

  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;
  void soApplyTimeout() override;

 protected:
  void scInitializing() override;
  void scStarting() override;
  void scStopping() override;

 private:
  TnxAbstractTransContext* tcAbstractTransContext = nullptr;  // owned while started
  std::vector<TnxDatabase*> tcDatabases;
  bool tcFailSafe = false;
  bool tcLoadedDefault = false;
};

// The abstract database and transaction context: a folder of tables opened
// in a session, and the transactions that one or several databases share.
// Part of nxsdServerEngine: include nxsdServerEngine.h, not this header.
//
// Ownership and lists:
// - A session owns its databases and transaction contexts; a context keeps
//   the list of the databases attached to it; a database owns its cursors
//   and statements. Every list is intrusive and doubly linked (prev/next in
//   the member, head/tail in the owner) under a padlock of the owner;
//   members append themselves at construction and unlink at destruction.
// - A database opened without a context creates one through the session
//   (its owned context) and frees it with itself. Destroying a shared
//   context never destroys its databases: each moves to a fresh owned one.
// - Transactions of a database are its context's; options are inherited
//   from the context, which inherits from the session.
// Thread safety: all objects of a session share the session lock; the
// padlocks guard the lists against the failure cleanup, which may run on the
// thread that fails an idle session. At most one list padlock is held at a
// time.
#pragma once

#include <cstdint>
#include <span>

#include "nxsdDataDictionary.h"

class TnxAbstractCursor;
class TnxAbstractStatement;
class TnxAbstractTransContext;
class TnxBaseTableMapperDescriptor;
class TnxMemoryStream;

// The database extension that names the tables a pack would shrink; asked
// for through CreateInstanceFor("<Self>", nxAbstractDatabase31000ClassID).
class InxAbstractDatabase31000 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x41BDEED6, 0x5BC3, 0x4599, {0x92, 0x12, 0x15, 0xDE, 0xDB, 0xCD, 0x55, 0xC0}};
  virtual TnxUnicodeStrings GetTablesNeedingPack() = 0;

 protected:
  ~InxAbstractDatabase31000() = default;
};
inline constexpr platform::Guid nxAbstractDatabase31000ClassID{
    0x5C00AAC9, 0xF6CE, 0x4ECB, {0xBE, 0x82, 0xFB, 0xED, 0x01, 0xC2, 0xCC, 0xE6}};

// The seven transaction operations.
class TnxBaseTransContext : public TnxAbstractTimeoutObject {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractTimeoutObject::TnxAbstractTimeoutObject;

  // Nested when one is open; a snapshot transaction reads a consistent state.
  virtual TnxResult TransactionStart(bool aFailSafe, bool aSnapShot) = 0;
  virtual TnxResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                         std::span<TnxAbstractCursor* const> aCursors) = 0;
  virtual TnxResult TransactionCommit() = 0;
  virtual TnxResult TransactionRollback() = 0;
  virtual TnxResult TransactionCorrupted() = 0;
  virtual TnxResult TransactionGetLevel(std::int32_t& aTransLevel) = 0;
  virtual TnxResult TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) = 0;
};

class TnxAbstractDatabase : public TnxBaseTransContext {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractCursor;
  friend class TnxAbstractStatement;
  friend class TnxAbstractTransContext;
  friend class TnxAbstractSession;

 public:
  // aTransContext nil: the database creates a context of its own through
  // the session's TransContextCreate (a failure raises its code).
  TnxAbstractDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, std::uint32_t aTimeout);
  ~TnxAbstractDatabase() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  // Forwarded to the context.
  TnxResult TransactionStart(bool aFailSafe, bool aSnapShot) override;
  TnxResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                 std::span<TnxAbstractCursor* const> aCursors) override;
  TnxResult TransactionCommit() override;
  TnxResult TransactionRollback() override;
  TnxResult TransactionCorrupted() override;
  TnxResult TransactionGetLevel(std::int32_t& aTransLevel) override;
  // The record is cleared before forwarding.
  TnxResult TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;

  // Only the database's own "ALLOWSYSTEMTABLEACCESS" counts.
  virtual bool GetExplicitAllowSystem();
  virtual bool GetIsCache() { return false; }
  virtual TnxResult SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase);
  virtual TnxResult RegisterCursorSource(InxDatabaseCursorSource* aSource,
                                         TnxIntfPtr<InxDatabaseCursorSourceControl>& aControl);
  virtual TnxResult TableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                               TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) = 0;
  virtual TnxResult TablePack(const nxString& aTableName, const nxString& aPassword,
                              TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableBackup(const nxString& aTableName, const nxString& aPassword,
                                TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableRebuildIndex(const nxString& aTableName, const nxString& aPassword,
                                      const nxString& aIndexName, std::int32_t aIndexID,
                                      TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableRestructure(const nxString& aTableName, const nxString& aPassword,
                                     TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                     bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableAddField(const nxString& aTableName, const nxString& aPassword,
                                  TnxFieldDescriptor* aFieldDesc) = 0;
  virtual TnxResult TableAddIndex(const nxString& aTableName, const nxString& aPassword,
                                  TnxIndexDescriptor* aIndexDesc, bool aNewDefault) = 0;
  virtual TnxResult TableDropIndex(const nxString& aTableName, const nxString& aPassword,
                                   const nxString& aIndexName, std::int32_t aIndexID) = 0;
  virtual TnxResult TableRename(const nxString& aOldName, const nxString& aNewName, const nxString& aPassword) = 0;
  virtual TnxResult TableRecover(const nxString& aTableName, const nxString& aPassword,
                                 TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableVerifyChecksum(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                        bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult TableDelete(const nxString& aTableName, const nxString& aPassword) = 0;
  virtual TnxResult TableEmpty(const nxString& aTableName, const nxString& aPassword) = 0;
  virtual TnxResult TableChangePassword(const nxString& aTableName, const nxString& aOldPassword,
                                        const nxString& aNewPassword) = 0;
  virtual TnxResult TableExists(const nxString& aTableName, const nxString& aPassword, bool& aExists,
                                bool aAllowSystem) = 0;
  virtual TnxResult TableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                                       TnxDataDictionary* aDictionary) = 0;
  virtual TnxResult TableGetList(platform::TStringList& aList) = 0;
  virtual TnxResult TableAutoIncGet(const nxString& aTableName, const nxString& aPassword,
                                    std::uint32_t& aValue) = 0;
  virtual TnxResult GetChangedTables(platform::TStringList& aTables) = 0;
  // Guarded, through a temporary cursor that is freed in any case.
  virtual TnxResult TableStreamRead(const nxString& aTableName, const nxString& aPassword,
                                    const nxString& aStreamName, TStream& aStream);
  virtual TnxResult TableStreamWrite(const nxString& aTableName, const nxString& aPassword,
                                     const nxString& aStreamName, TStream& aStream);
  virtual TnxResult CursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                               TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                               const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                               TnxCursorOpenOptions aOpenOptions, std::uint32_t aFilterTimeout,
                               const platform::TStringList* aMarkedBlobs) = 0;
  virtual TnxResult CursorCacheOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                    const nxString& aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                    std::uint32_t aTimeout, const nxString& aIndexName, std::int32_t aIndexID,
                                    bool aAllowSystem, TnxCursorOpenOptions aOpenOptions,
                                    std::uint32_t aFilterTimeout);
  virtual TnxResult StatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) = 0;
  virtual TnxResult StatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType,
                                        const nxString& aQueryText, TStream* aPrepareStream,
                                        TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                        TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aExecStream,
                                        TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) = 0;
  virtual TnxResult GetFreespace(std::int64_t& aFreeSpace) = 0;
  virtual TnxResult GetPath(nxString& aPath) = 0;
  virtual TnxResult GetAlias(nxString& aAlias) = 0;

  // "<Database>" with the rest on itself, "<TransContext>" with the rest on
  // the context; others inherited.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // The transaction context: options come from there.
  TnxExtendableServerObject* esoGetParent() override;
  // Also the owned context's.
  void SetTimeout(std::uint32_t aValue) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // Inherited, then the owned context's, every cursor's and statement's.
  void PrepareDestroy() override;

  TnxAbstractTransContext* TransContext() const { return adTransContext; }
  TnxAbstractTransContext* OwnedTransContext() const { return adOwnedTransContext; }
  bool IsCacheDatabase() { return GetIsCache(); }
  bool ExplicitAllowSystem() { return GetExplicitAllowSystem(); }
  // Free the database when its last cursor goes.
  void SetCursorAutoFree(bool aValue) { adCursorAutoFree = aValue; }
  bool CursorAutoFree() const { return adCursorAutoFree; }
  std::int32_t CursorCount();
  std::int32_t StatementCount();
  TnxAbstractDatabase* SessionNext() const { return adSessionNext; }

 protected:

  TnxAbstractDatabase* adSessionPrev = nullptr;
  TnxAbstractDatabase* adSessionNext = nullptr;
  TnxAbstractTransContext* adTransContext = nullptr;
  TnxAbstractTransContext* adOwnedTransContext = nullptr;
  TnxAbstractDatabase* adTransContextPrev = nullptr;
  TnxAbstractDatabase* adTransContextNext = nullptr;
  TnxPadlock adCursorsPadlock;
  TnxAbstractCursor* adCursorsHead = nullptr;
  TnxAbstractCursor* adCursorsTail = nullptr;
  bool adCursorAutoFree = false;
  TnxPadlock adStatementsPadlock;
  TnxAbstractStatement* adStatementsHead = nullptr;
  TnxAbstractStatement* adStatementsTail = nullptr;
  bool adLockedIncDone = false;

 private:
  void adAttachTo(TnxAbstractTransContext* aContext);
  void adDetach();
  bool adInSession = false;
};

class TnxAbstractTransContext : public TnxBaseTransContext {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractDatabase;
  friend class TnxAbstractSession;

 public:
  TnxAbstractTransContext(TnxAbstractSession* aSession, std::uint32_t aTimeout);
  ~TnxAbstractTransContext() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  // Rolls back whatever is open; nothing in the base.
  virtual void atcForceRollback() {}
  // atcFailed, then atcForceRollback.
  virtual void Failed();
  virtual TnxResult SetCacheTransContext(TnxBaseTransContext* aCacheTransContext);

  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // Inherited, then "Session", "AttachedDatabases" and with children
  // "Databases".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // Inherited, then Failed.
  void PrepareDestroy() override;

  // "None", "One" or "Multiple".
  nxString AttachedDatabases();
  std::int32_t DatabaseCount();
  bool IsFailed() const { return atcFailed; }
  TnxAbstractTransContext* SessionPrev() const { return atcSessionPrev; }
  TnxAbstractTransContext* SessionNext() const { return atcSessionNext; }

 protected:
  bool atcFailed = false;
  bool atcLockedIncDone = false;
  TnxAbstractTransContext* atcSessionPrev = nullptr;
  TnxAbstractTransContext* atcSessionNext = nullptr;
  TnxPadlock atcDatabasesPadlock;
  TnxAbstractDatabase* atcDatabasesHead = nullptr;
  TnxAbstractDatabase* atcDatabasesTail = nullptr;

 private:
  bool atcInSession = false;
};

// The server database: one session's view of one folder, with its table
// map, cursor sources and statements; and the server statement that the
// SQL engine's statements extend. Part of nxsrServerEngine: include
// nxsrServerEngine.h, not this header.
//
// Contracts:
// - A database is in its folder's database list (under sfDatabasesPadlock)
//   from construction to destruction; the folder's inactive state is
//   updated on both ends.
// - The table map is shared (intrusively counted) with the private
//   databases of background operations; it owns the root tables it maps.
// - Table lookup: the map first, then the folder's open tables, then the
//   table file. A root table opened by a failed lookup is freed at once.
// - StatementExecDirect frees its statement on every path; an exception is
//   converted only when an execution stream is given.
// Lock order: the session lock, the folder's sfTablesPadlock, the table
// map's padlock.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "nxllSync.h"
#include "nxsdServerEngine.h"
#include "plStringList.h"

class TnxServerFolder;
class TnxServerSession;
class TnxServerEngine;
class TnxServerTransContext;
class TnxServerBaseTable;
class TnxServerRootTable;
class TnxBlobLinkHandler;
class TnxServerDataDict;
class TnxServerTaskInfo;

class InxTableMapper : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x6C1E3B52, 0x91A4, 0x4F0D, {0x8E, 0x27, 0x3B, 0x5D, 0xA0, 0x44, 0x7C, 0x19}};
  // Takes the map's padlock and answers the list (objects: root tables).
  virtual platform::TStringList& LockMappings() = 0;
  virtual void UnlockMappings() = 0;
  virtual bool IsMapped(const nxString& aTableName) = 0;
  // The list, without locking.
  virtual platform::TStringList& Mappings() = 0;

 protected:
  ~InxTableMapper() = default;
};

class TnxTableMapper : public TnxInterfacedObject, public InxTableMapper {
  PL_CLASS_INFO_DECL()
 public:
  TnxTableMapper();
  ~TnxTableMapper() override;
  TnxTableMapper(const TnxTableMapper&) = delete;
  TnxTableMapper& operator=(const TnxTableMapper&) = delete;
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }

  platform::TStringList& LockMappings() override;
  void UnlockMappings() override;
  bool IsMapped(const nxString& aTableName) override;
  platform::TStringList& Mappings() override { return *tmMappings; }

 private:
  platform::TStringList* tmMappings = nullptr;  // owned, with the root tables
  TnxPadlock* tmPadlock = nullptr;              // owned
};

class TnxServerDatabaseCursorSourceContainer;

// What a registrant of a cursor source implements: a cursor for a table
// name the database's folder lacks. A source that has no such table answers
// a non-zero result or leaves aCursor nil.
class InxServerDatabaseCursorSource : public InxDatabaseCursorSource {
 public:
  static constexpr platform::Guid IID{0x2B7F0E64, 0x5D13, 0x4C8A, {0x9F, 0x41, 0x6A, 0x0C, 0xE2, 0x7B, 0x35, 0xD8}};
  virtual TnxResult CursorOpen(TnxServerDatabase* aDatabase, TnxAbstractCursor*& aCursor,
                               const nxString& aTableName, const nxString& aPassword, TnxOpenMode aOpenMode,
                               TnxShareMode aShareMode, std::uint32_t aTimeout, const nxString& aIndexName,
                               std::int32_t aIndexID) = 0;

 protected:
  ~InxServerDatabaseCursorSource() = default;
};

// Handed to the registrant; releasing the last reference unregisters too.
class InxServerDatabaseCursorSourceControl : public InxDatabaseCursorSourceControl {
 public:
  static constexpr platform::Guid IID{0x8E3A5C17, 0x2F64, 0x4B09, {0xA7, 0x5D, 0x13, 0xC8, 0x9E, 0x60, 0x4F, 0x2B}};
  // After the database's end there is nothing left to do: 0.
  virtual TnxResult Unregister() = 0;

 protected:
  ~InxServerDatabaseCursorSourceControl() = default;
};

// The class id under which a server database answers its own interfaces.
inline constexpr platform::Guid nxServerDatabaseSelfClassID{
    0x5C00AAC9, 0xF6CE, 0x4ECB, {0xBE, 0x82, 0xFB, 0xED, 0x01, 0xC2, 0xCC, 0xE6}};

class TnxServerDatabase : public TnxSqlAbstractDatabase, public InxAbstractDatabase31000 {
  PL_CLASS_INFO_DECL()
  friend class TnxServerFolder;
  friend class TnxServerDatabaseCursorSourceContainer;

 public:
  // Links into aFolder's list and runs the folder's journal check for the
  // first writable database of a folder with files.
  TnxServerDatabase(TnxServerSession* aSession, TnxServerTransContext* aTransContext, const nxString& aAlias,
                    TnxServerFolder* aFolder, std::uint32_t aTimeout, TnxOpenMode aOpenMode,
                    TnxShareMode aShareMode);
  ~TnxServerDatabase() override;
  void beforeDestruction() override;

  // "Alias", "Folder", "OpenMode" and "ShareMode" after the inherited values.
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // "<Folder>[.rest]" goes to the folder (with "<Self>" when no rest).
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // nxServerDatabaseSelfClassID: any interface of the database itself.
  std::int32_t CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface* aOuter,
                                       const platform::Guid& aInterfaceID, void** aInterface) override;
  TnxResult esoOptionGetParent(const nxString& aName, nxString& aValue) override;
  TnxResult esoOptionListParent(platform::TStringList& aList) override;
  bool GetIsCache() override { return sdIsCache; }
  // aSource must answer InxServerDatabaseCursorSource (else 12289).
  TnxResult RegisterCursorSource(InxDatabaseCursorSource* aSource,
                                 TnxIntfPtr<InxDatabaseCursorSourceControl>& aControl) override;

  // The maintenance operations come with their own work: 12289 until then.
  TnxResult TablePack(const nxString&, const nxString&, TnxAbstractTaskInfo*&) override;
  TnxResult TableBackup(const nxString&, const nxString&, TnxAbstractDatabase*, TnxAbstractTaskInfo*&) override;
  TnxResult TableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                              TnxAbstractTaskInfo*&) override;
  TnxResult TableRestructure(const nxString&, const nxString&, TnxDataDictionary*, TnxBaseTableMapperDescriptor*,
                             bool, TnxAbstractTaskInfo*&) override;
  // Schema changes through an exclusive table cursor
  // (nxsrServerEngineDatabaseSchema.cpp). Adding a field refuses (10253)
  // while another cursor is open in the root's tree and closes the root
  // afterwards, so that the next open reads the new dictionary.
  TnxResult TableAddField(const nxString& aTableName, const nxString& aPassword,
                          TnxFieldDescriptor* aFieldDesc) override;
  TnxResult TableAddIndex(const nxString& aTableName, const nxString& aPassword, TnxIndexDescriptor* aIndexDesc,
                          bool aNewDefault) override;
  TnxResult TableDropIndex(const nxString& aTableName, const nxString& aPassword, const nxString& aIndexName,
                           std::int32_t aIndexID) override;
  TnxResult TableRecover(const nxString&, const nxString&, TnxAbstractTaskInfo*&) override;
  TnxResult TableVerifyChecksum(const nxString&, const nxString&, bool, bool, TnxAbstractTaskInfo*&) override;
  TnxResult sdTableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                                TnxAbstractTaskInfo*&) override;
  TnxResult sdTableRestructure(const nxString&, const nxString&, TnxDataDictionary*, TnxBaseTableMapperDescriptor*,
                               TnxAbstractTaskInfo*&) override;
  // ---- Table maintenance (nxsrServerEngineDatabaseTables.cpp). The public
  // operations check the names, then run as guarded calls; the sd...
  // primitives take the folder's tables padlock and the table map's lock
  // themselves (both re-entrant) and may be called with them held.
  TnxResult TableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                       TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) override;
  TnxResult TableRename(const nxString& aOldName, const nxString& aNewName, const nxString& aPassword) override;
  TnxResult TableDelete(const nxString& aTableName, const nxString& aPassword) override;
  // A database table is replaced by a new empty one of the same dictionary,
  // password and scope; the old one is freed once, after the new one exists.
  TnxResult TableEmpty(const nxString& aTableName, const nxString& aPassword) override;
  TnxResult TableChangePassword(const nxString& aTableName, const nxString& aOldPassword,
                                const nxString& aNewPassword) override;
  // An empty name: aExists false and 0.
  TnxResult TableExists(const nxString& aTableName, const nxString& aPassword, bool& aExists,
                        bool aAllowSystem) override;
  TnxResult TableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                               TnxDataDictionary* aDictionary) override;
  TnxResult TableGetList(platform::TStringList& aList) override;
  TnxResult TableAutoIncGet(const nxString& aTableName, const nxString& aPassword, std::uint32_t& aValue) override;
  // Names beginning with exactly two "#" are this database's own tables in
  // every folder; other memory names and in-memory folders give folder-wide
  // temporary tables.
  TnxResult sdTableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                         TnxServerDataDict* aDictionary, TnxTableScope aTableScope);
  TnxResult sdTableDelete(const nxString& aTableName, const nxString& aPassword);
  TnxResult sdTableEmpty(const nxString& aTableName, const nxString& aPassword);
  // 0 when the table exists, 8712 when not; other codes are failures.
  TnxResult sdTableExists(const nxString& aTableName, const nxString& aPassword, bool aForServer);
  TnxResult sdTableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                                 TnxDataDictionary* aDictionary);
  // The folder's tables and this database's own, sorted, without names the
  // table-name rules refuse (reserved "$" names only with aAllowSystem).
  TnxResult sdTableGetList(platform::TStringList& aList, bool aAllowSystem);
  // After the rename the table's "$TableName" stream holds the new name.
  TnxResult sdTableRename(const nxString& aOldName, const nxString& aNewName, const nxString& aPassword);
  // aIterator once with every listed table's dictionary (an open table's
  // own, else one read from its file); a table whose dictionary cannot be
  // read raises unless aIgnoreError (then it is skipped).
  TnxIteratorResult sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                          bool aIgnoreError, void* aCookie) override;
  // The names of the tables whose dictionary requires a pack.
  TnxUnicodeStrings GetTablesNeedingPack() override;
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return TnxSqlAbstractDatabase::AddRef(); }
  std::int32_t Release() override { return TnxSqlAbstractDatabase::Release(); }

  // ---- Index rebuild and checksum verification (nxsrServerEngineDatabaseChecks.cpp):
  // the task, not started; the caller holds the session lock.
  TnxResult sdTableVerifyChecksum(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                  bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo);
  // A second database on the folder for a task: same alias, time-out and
  // modes, share rules ignored, this database's table map; aTransContext
  // nil: a transaction context of its own. Raises.
  TnxServerDatabase* sdOpenTaskDatabase(TnxAbstractTransContext* aTransContext = nullptr);
  // The name rules, the cache-mode rule, then sdCursorOpen under the lock;
  // aFilterTimeout other than 500 becomes the cursor's filter time-out.
  TnxResult CursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                       TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                       const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                       TnxCursorOpenOptions aOpenOptions, std::uint32_t aFilterTimeout,
                       const platform::TStringList* aMarkedBlobs) override;
  TnxResult CursorCacheOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                            TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                            const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                            TnxCursorOpenOptions aOpenOptions, std::uint32_t aFilterTimeout) override;
  TnxSqlAbstractCursor* sadCreateResultSet(TnxDataDictionary* aDictionary, std::uint32_t aTimeout) override;
  // A table cursor on aTableName: the share rules of the table's open
  // cursors (one request to close idle ones), 10501 on a read-only
  // database, 10763 on a read-only root. A failure leaves no cursor.
  TnxResult sdCursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                         bool aForServer, TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aIgnoreExcl,
                         std::uint32_t aTimeout, const nxString& aIndexName, std::int32_t aIndexID, bool aInternal,
                         bool aIsCache);

  TnxResult GetChangedTables(platform::TStringList& aTables) override;
  TnxResult StatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) override;
  TnxResult StatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType, const nxString& aQueryText,
                                TStream* aPrepareStream, TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aExecStream,
                                TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) override;
  // In KB; 11047 when the volume does not answer.
  TnxResult GetFreespace(std::int64_t& aFreeSpace) override;
  TnxResult GetPath(nxString& aPath) override;
  TnxResult GetAlias(nxString& aAlias) override;
  nxString sadGetAlias() override { return sdAlias; }
  void sadLockTables() override;
  void sadUnlockTables() override;

  // The table named aTableName ("root[:child...]"); 10024 when the root is
  // missing, 9221 for a table of the other cache mode. aIsReadOnly: the
  // table is open for reading only (file or passwords).
  TnxResult sdGetTable(TnxServerBaseTable*& aTable, const nxString& aTableName, const nxString& aPassword,
                       bool aForServer, bool& aIsReadOnly, bool aInternal, bool aIsCache);
  TnxResult sdStatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout);
  TnxResult sdStatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType,
                                  const nxString& aQueryText, TStream* aPrepareStream, TnxSqlParamList& aParams,
                                  TStream* aSetParamsStream, TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                  TStream* aExecStream, TStream* aGetParamsStream,
                                  TnxStatementExecDirectPhase& aPhase);
  TnxResult sdGetChangedTables(platform::TStringList& aTables);
  // Offers aTableName to the registered sources in order of registration;
  // true with the cursor of the first that answers one. For a name the
  // folder lacks; the caller holds the object lock.
  bool sdCursorSourcesOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                           TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                           const nxString& aIndexName, std::int32_t aIndexID);
  std::int32_t CursorSourceCount() const;
  std::vector<nxString> sdBuildPasswords(const nxString& aTableName, const nxString& aPassword);
  // A schema change made through this database (aFolderToo: seen by all).
  void sdStructureChanged(bool aFolderToo);
  // Rises when the folder's tables change shape elsewhere.
  std::int32_t StructureGeneration();

  // ---- Background table operations (nxsrServerEngineDatabaseTasks.cpp).
  // The recovery's work: the source opened in recovery mode, the tables
  // "<name>_Recovered" and "<name>_Failed" (numbered when the name is
  // taken), the task.
  TnxResult sdTableRecover(const nxString& aTableName, const nxString& aPassword, TnxAbstractTaskInfo*& aTaskInfo);

  TnxServerFolder* Folder() const { return sdFolder; }
  TnxBlobLinkHandler* BlobLinkHandler() const { return sdBlobLinkHandler; }
  const nxString& AliasName() const { return sdAlias; }
  InxTableMapper* Tables() const { return sdTables.get(); }
  TnxServerEngine* ServerEngine() const;
  TnxServerDatabase* FolderNext() const { return sdFolderNext; }
  TnxLSN LastCheckLSN() const { return sdLastCheckLSN; }

 private:
  TnxResult sdCursorOpenChecked(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                                TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                                const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                                std::uint32_t aFilterTimeout, bool aIsCache);
  TnxResult sdTablePack(const nxString& aTableName, const nxString& aPassword, TnxServerTaskInfo*& aTaskInfo);
  TnxResult sdTableBackup(const nxString& aTableName, const nxString& aPassword, TnxServerDatabase* aTargetDatabase,
                          TnxServerTaskInfo*& aTaskInfo);
  // The frame of the task operations: the name check's result, aWork under
  // the session lock, then the task's thread once the lock is released. A
  // task whose work failed or that cannot start is freed: the caller gets
  // a task only with 0.
  TnxResult sdTaskFrame(TnxResult aNameCheck, TnxAbstractTaskInfo*& aTaskInfo,
                        const std::function<TnxResult(TnxAbstractTaskInfo*&)>& aWork);
  void sdLinkIntoFolder();
  void sdUnlinkFromFolder();
  // The database's end: every source is dropped and asked no more.
  void sdDropCursorSources();
  // Closes the map table aTable through the idle-close sequence; true when
  // it was freed (the caller then changes the map). aBeforeFree runs just
  // before the table goes.
  // REQUIRES: the folder's tables padlock and the table map's lock.
  bool sdCloseMapTable(TnxServerRootTable* aTable, const std::function<void(TnxServerRootTable&)>& aBeforeFree = {});
  // The map table of aTableName, nil when none. REQUIRES: the map's lock.
  TnxServerRootTable* sdMapTable(const nxString& aTableName, int* aIndex = nullptr);
  // A build, delete or rename of tables whose names do not begin with a
  // blank is a schema change seen through this database.
  void sdNoteStructureChange(const nxString& aName1, const nxString& aName2 = nxString());

  nxString sdAlias;
  TnxServerFolder* sdFolder = nullptr;
  TnxIntfPtr<InxTableMapper> sdTables;
  bool sdIsCache = false;
  TnxServerDatabase* sdFolderPrev = nullptr;
  TnxServerDatabase* sdFolderNext = nullptr;
  bool sdInFolder = false;
  TnxServerDatabaseCursorSourceContainer* sdCursorSourceHead = nullptr;
  TnxServerDatabaseCursorSourceContainer* sdCursorSourceTail = nullptr;
  TnxBlobLinkHandler* sdBlobLinkHandler = nullptr;  // owned
  TnxLSN sdLastCheckLSN = 0;
  std::int32_t sdStructureGeneration = 0;
  std::int32_t sdFolderStructureGeneration = 0;
};

// One registered cursor source in its database's list (not counted by the
// list: the registrant's reference keeps it). Linked and unlinked under the
// session lock.
class TnxServerDatabaseCursorSourceContainer : public TnxInterfacedObject,
                                                public InxServerDatabaseCursorSourceControl {
  PL_CLASS_INFO_DECL()
  friend class TnxServerDatabase;

 public:
  TnxServerDatabaseCursorSourceContainer(TnxServerDatabase* aDatabase,
                                         const TnxIntfPtr<InxServerDatabaseCursorSource>& aSource);
  ~TnxServerDatabaseCursorSourceContainer() override;
  TnxServerDatabaseCursorSourceContainer(const TnxServerDatabaseCursorSourceContainer&) = delete;
  TnxServerDatabaseCursorSourceContainer& operator=(const TnxServerDatabaseCursorSourceContainer&) = delete;
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }

  TnxResult Unregister() override;

 private:
  // Out of the database's list; drops the source and the lock.
  void cscUnlink();

  TnxIntfPtr<InxSimpleLock> cscLock;
  TnxServerDatabase* cscDatabase = nullptr;
  TnxServerDatabaseCursorSourceContainer* cscDatabasePrev = nullptr;
  TnxServerDatabaseCursorSourceContainer* cscDatabaseNext = nullptr;
  TnxIntfPtr<InxServerDatabaseCursorSource> cscSource;
};

// The base of the SQL engine's statements: the public operations as
// guarded calls around the primitives.
class TnxServerStatement : public TnxAbstractStatement {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerStatement(TnxServerDatabase* aDatabase, std::uint32_t aTimeout);

  TnxResult Prepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) override;
  // Clears asExecDirect; counts the statement while ssExec runs.
  TnxResult Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) override;
  TnxResult SetParams(const TnxSqlParamList& aParams, TStream* aStream) override;
  TnxResult GetParams(TnxSqlParamList& aParams, TStream* aStream) override;

  virtual TnxResult ssPrepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) = 0;
  virtual TnxResult ssExec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) = 0;
  virtual TnxResult ssSetParams(const TnxSqlParamList& aParams, TStream* aStream) = 0;
  virtual TnxResult ssGetParams(TnxSqlParamList& aParams, TStream* aStream) = 0;

  // ssExec with the engine's executing counter raised around it, then the
  // executed counter raised.
  TnxResult ssCountedExec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream);
};

// The server objects of the fake engine (nxFakeServerEngine.h): a small
// in-memory engine behind the abstract server objects, for tests of the
// abstract classes and of their clients until the server engine exists.
//
// - Folders are paths the test adds; a folder holds tables by name (case
//   ignored). A table keeps its dictionary, its records in insertion order
//   (each with a reference number), its BLOBs by number and its named
//   streams. Aliases map names to folder paths.
// - Sessions open databases by "Path" or "Name"; a context counts its
//   transactions (starts, snapshot starts, commits, rollbacks, forced
//   rollbacks).
// - Cursors read in insertion order, or in the order of an index's key
//   engine; filters are kept by the owner protocol of the filter hubs;
//   BLOBs live in the table (RenumberBlob makes reads of the old number
//   answer 13058 with the new one); RecordGetBatch fills batch streams with
//   bookmarks (the 8-byte reference number) and embedded BLOBs.
// - Statements answer canned results: Exec of a text the engine knows opens
//   a cursor on the table it names, and writes the rows affected (u32).
// Everything runs on the test's thread; no locking beyond the objects' own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nxsdDataDictionary.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdKeyEngineBase.h"
#include "nxsdServerBaseCursor.h"
#include "nxsdServerEngine.h"

class TnxFakeSession;
class TnxFakeServerEngine;

// Where a table's records live when not only in memory: a real table
// file of the storage engines. The cursor writes through it and reads
// every record back from it in the order of the index it is on.
class TnxFakeTableStorage {
 public:
  virtual ~TnxFakeTableStorage() = default;
  // The new record's reference number.
  virtual TnxRefNr Insert(PnxRecordBuffer aData) = 0;
  virtual void Update(TnxRefNr aRefNr, PnxRecordBuffer aNew, PnxRecordBuffer aOld) = 0;
  virtual void Delete(TnxRefNr aRefNr, PnxRecordBuffer aData) = 0;
  // Every record in the order of the named index, True; in record order
  // for none or an index the storage does not keep (a RefNr key), False.
  virtual bool Scan(const nxString& aIndex,
                    const std::function<void(TnxRefNr aRefNr, const std::uint8_t* aData)>& aVisit) = 0;
};

struct TnxFakeTable {
  struct Row {
    TnxRefNr refNr;
    std::vector<std::uint8_t> data;
    bool deleted = false;
  };
  nxString name;
  TnxOwned<TnxDataDictionary> dictionary;
  std::vector<Row> rows;
  std::map<TnxBlobNr, std::vector<std::uint8_t>> blobs;
  std::map<nxString, std::vector<std::uint8_t>> streams;  // by upper-case name
  std::map<TnxBlobNr, TnxBlobNr> renumbered;              // old number -> new
  TnxRefNr nextRefNr = 1;
  TnxBlobNr nextBlobNr = 1;
  TnxLSN lsn = 0;
  std::uint32_t autoInc = 0;
  // BLOB operations of the cursors on this table; a non-zero failBlobWrite
  // is the result of every BLOB write.
  int blobCalls = 0;
  TnxResult failBlobWrite = 0;
  // Set: the records live in this storage; rows mirror what it answered
  // last (a row's position never changes, so cursors keep their order).
  std::unique_ptr<TnxFakeTableStorage> storage;

  // Moves a BLOB to a new number; reads of the old one answer 13058.
  TnxBlobNr RenumberBlob(TnxBlobNr aOld);
  Row* FindRow(TnxRefNr aRefNr);
};

struct TnxFakeFolder {
  std::map<nxString, std::unique_ptr<TnxFakeTable>> tables;  // by upper-case name
  // Result sets are tables named "~ResultSet<n>" that go with their cursor.
  std::int32_t resultSetsMade = 0;
  // Not 0: every insert into a result set answers it.
  TnxResult failResultSetInsert = 0;
  TnxFakeTable* Find(const nxString& aName);
};

class TnxFakeSession;
class TnxFakeServerEngine;

// What the fake counts, across all its objects.
struct TnxFakeCounters {
  int transContextsCreated = 0;
  int transactionStarts = 0;
  int snapshotStarts = 0;
  int commits = 0;
  int rollbacks = 0;
  int forcedRollbacks = 0;
  int databasesFreed = 0;
  int transContextsFreed = 0;
  int tasksFreed = 0;
  int transactionsCorrupted = 0;
  std::vector<std::string> statementCalls;
  std::vector<std::string> sessionsFreed;  // user names, in order
};

// The fake engine's data: folders of tables, aliases and canned statements.
class TnxFakeStore {
 public:
  TnxFakeFolder& AddFolder(const nxString& aPath);
  TnxFakeFolder* FindFolder(const nxString& aPath);
  // A table built from a copy of aDictionary.
  TnxFakeTable& AddTable(const nxString& aPath, const nxString& aName, TnxDataDictionary& aDictionary);

  std::map<nxString, nxString> aliases;        // upper-case alias -> path
  std::map<std::u16string, nxString> canned;   // statement text -> table of its result cursor
  TnxFakeCounters counters;
  // Answered by the sessions' TransContextCreate while not 0.
  TnxResult failTransContextCreate = 0;

 private:
  std::map<nxString, std::unique_ptr<TnxFakeFolder>> folders_;
};

class TnxFakeTransContext : public TnxAbstractTransContext {
  PL_CLASS_INFO_DECL()
 public:
  TnxFakeTransContext(TnxFakeSession* aSession, std::uint32_t aTimeout);
  ~TnxFakeTransContext() override;

  TnxResult TransactionStart(bool aFailSafe, bool aSnapShot) override;
  TnxResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                 std::span<TnxAbstractCursor* const> aCursors) override;
  TnxResult TransactionCommit() override;
  TnxResult TransactionRollback() override;
  TnxResult TransactionCorrupted() override {
    ++counters().transactionsCorrupted;
    return 0;
  }
  TnxResult TransactionGetLevel(std::int32_t& aTransLevel) override;
  TnxResult TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;
  void atcForceRollback() override;

  std::int32_t level = 0;
  // Answered by the next TransactionRollback instead of its work.
  TnxResult failNextRollback = 0;

 private:
  TnxFakeCounters& counters();
};

class TnxFakeTask : public TnxAbstractTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFakeTask(TnxFakeSession* aSession);
  ~TnxFakeTask() override;
  TnxResult GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override;
  TnxResult Cancel() override;
  // Never finishes: a session that goes waits its full rounds for it.
  bool IsRunning() override { return running; }
  bool running = true;
  int cancels = 0;
  std::function<void()> onCancel;
};

class TnxFakeDatabase : public TnxSqlAbstractDatabase {
  PL_CLASS_INFO_DECL()
 public:
  TnxFakeDatabase(TnxFakeSession* aSession, TnxAbstractTransContext* aTransContext, std::uint32_t aTimeout,
               const nxString& aPath, TnxFakeFolder* aFolder);
  ~TnxFakeDatabase() override;

  TnxResult TableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                       TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) override;
  TnxResult TablePack(const nxString&, const nxString&, TnxAbstractTaskInfo*&) override;
  TnxResult TableBackup(const nxString&, const nxString&, TnxAbstractDatabase*, TnxAbstractTaskInfo*&) override;
  TnxResult TableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                              TnxAbstractTaskInfo*&) override;
  TnxResult TableRestructure(const nxString&, const nxString&, TnxDataDictionary*, TnxBaseTableMapperDescriptor*,
                             bool, TnxAbstractTaskInfo*&) override;
  TnxResult TableAddField(const nxString&, const nxString&, TnxFieldDescriptor*) override;
  TnxResult TableAddIndex(const nxString&, const nxString&, TnxIndexDescriptor*, bool) override;
  TnxResult TableDropIndex(const nxString&, const nxString&, const nxString&, std::int32_t) override;
  TnxResult TableRename(const nxString&, const nxString&, const nxString&) override;
  TnxResult TableRecover(const nxString&, const nxString&, TnxAbstractTaskInfo*&) override;
  TnxResult TableVerifyChecksum(const nxString&, const nxString&, bool, bool, TnxAbstractTaskInfo*&) override;
  TnxResult TableDelete(const nxString&, const nxString&) override;
  TnxResult TableEmpty(const nxString&, const nxString&) override;
  TnxResult TableChangePassword(const nxString&, const nxString&, const nxString&) override;
  TnxResult TableExists(const nxString& aTableName, const nxString& aPassword, bool& aExists,
                        bool aAllowSystem) override;
  TnxResult TableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                               TnxDataDictionary* aDictionary) override;
  TnxResult TableGetList(platform::TStringList& aList) override;
  TnxResult TableAutoIncGet(const nxString&, const nxString&, std::uint32_t&) override;
  TnxResult GetChangedTables(platform::TStringList&) override;
  TnxResult CursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                       TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                       const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                       TnxCursorOpenOptions aOpenOptions, std::uint32_t aFilterTimeout,
                       const platform::TStringList* aMarkedBlobs) override;
  TnxResult StatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) override;
  TnxResult StatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType, const nxString& aQueryText,
                                TStream* aPrepareStream, TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aExecStream,
                                TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) override;
  TnxResult GetFreespace(std::int64_t& aFreeSpace) override;
  TnxResult GetPath(nxString& aPath) override;
  TnxResult GetAlias(nxString& aAlias) override;

  TnxResult sdTableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                                TnxAbstractTaskInfo*&) override;
  TnxResult sdTableRestructure(const nxString&, const nxString&, TnxDataDictionary*, TnxBaseTableMapperDescriptor*,
                               TnxAbstractTaskInfo*&) override;
  // A new table of the folder, dropped with the cursor.
  TnxSqlAbstractCursor* sadCreateResultSet(TnxDataDictionary* aDictionary, std::uint32_t aTimeout) override;
  TnxIteratorResult sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool, bool, void* aCookie) override;
  void sadLockTables() override {}
  void sadUnlockTables() override {}

  TnxFakeFolder* Folder() const { return folder_; }
  TnxFakeServerEngine* Engine() const;
  TnxFakeStore& Store() const;

 private:
  nxString path_;
  TnxFakeFolder* folder_;
};

class TnxFakeCursor : public TnxServerBaseCursor {
  PL_CLASS_INFO_DECL()
 public:
  // aIndexID -1 and no name: insertion order.
  TnxFakeCursor(TnxFakeDatabase* aDatabase, TnxFakeTable* aTable, std::uint32_t aTimeout, std::int32_t aIndexID);
  ~TnxFakeCursor() override;

  TnxDataDictionary* Get_Dictionary() override { return table_->dictionary.get(); }
  TnxBaseTableDescriptor* GetTableDescriptor() override { return table_->dictionary.get(); }
  nxString acGetFullName() override { return table_->name; }

  TnxResult SetToBegin() override;
  TnxResult SetToCursor(TnxAbstractCursor* aCursor) override;
  TnxResult SetToEnd() override;
  TnxResult SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter, bool aForward) override;
  TnxResult sbcGetBookmarkSize(std::int32_t& aSize) override;
  TnxResult GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                             TnxCompareResult& aCompResult) override;
  TnxResult SetToBookmark(const void* aBookmark, std::int32_t aSize) override;
  // The abstract cursor's answers (the fake has no cache bookmarks).
  TnxResult GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override {
    return TnxAbstractCursor::GetBookmarkCache(aBookmark, aSize);
  }
  TnxResult SetToCacheBookmark(const void* aBookmark, std::int32_t aSize) override {
    return TnxAbstractCursor::SetToCacheBookmark(aBookmark, aSize);
  }
  TnxResult BookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant) override;
  TnxResult RecNoSupported() override { return 0; }
  TnxResult RecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) override;
  TnxResult RecNoSet(std::uint32_t aRecNo, bool aFlipOrder) override;
  TnxResult RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, std::int64_t* aAutoInc) override;
  TnxResult RecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) override;
  TnxResult RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  TnxResult RecordIsLocked(TnxLockType, TnxLockPresent& aLockPresent) override;
  TnxResult RecordLockRelease(bool, bool) override { return 0; }
  TnxResult AutoIncGet(std::uint32_t& aValue, bool aAllowCached) override;
  TnxResult AutoIncSet(std::uint32_t aValue) override;
  TnxResult FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) override;
  TnxResult FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                                bool aIgnoreDropError) override;
  TnxResult FilterSetTimeout(std::uint32_t) override { return 0; }
  TnxResult FilterActivate(TnxFilterID aFilterID) override;
  TnxResult FilterDeactivate(TnxFilterID aFilterID) override;
  TnxResult FilterRemove(TnxFilterID aFilterID) override;
  TnxResult SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  TnxResult GetIndexID(std::int32_t& aIndexID) override;
  TnxResult SetToKey(TnxSearchKeyAction, std::int32_t, std::int32_t, bool, const void*) override;
  TnxResult RecordGetForKey(std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer, bool, bool) override;
  TnxResult RecordGetForKeyBatch(std::int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
                                 const TnxDataSetKeyBufferArray&, bool, bool) override;
  TnxResult RangeReset() override;
  TnxResult RangeSet(std::int32_t, std::int32_t, bool, const void*, bool, std::int32_t, std::int32_t, bool,
                     const void*, bool) override;
  TnxResult CompareKeys(std::int32_t, std::int32_t, bool, const void*, bool, const void*, std::int32_t&) override;
  TnxResult KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) override;
  TnxResult KeyFilterActivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterRemove(TnxKeyFilterID aKeyFilterID) override;
  TnxResult RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                           TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override;
  TnxResult RecordInsertBatch(TnxMemoryStream*) override;
  TnxResult CopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t) override;
  TnxResult CopyRecordsEx(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t, bool) override;
  TnxResult DeleteRecords() override;
  TnxResult BlobsCancel(TnxRefNr) override { return 0; }
  TnxResult BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateFile(const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr&) override;
  TnxResult BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult BlobFree(const TnxRecID&, std::int32_t, TnxBlobNr) override { return 0; }
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                        std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                      std::uint32_t aLen, const void* aBlob) override;
  TnxResult BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                         std::uint32_t aBlobLength) override;
  TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                             std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult BlobModified(const TnxRecID&, std::int32_t, TnxBlobNr, bool& aModified) override;
  TnxResult TableStreamGetList(platform::TStringList& aStreams) override;
  TnxResult TableStreamWrite(const nxString& aName, TStream& aStream) override;
  TnxResult TableStreamRead(const nxString& aName, TStream& aStream) override;
  TnxResult TableStreamDelete(const nxString& aName) override;
  TnxResult TableIsLocked(TnxLockType, TnxLockPresent& aLockPresent) override;
  TnxResult TableLockAcquire(TnxLockType) override { return 0; }
  TnxResult TableLockRelease(TnxLockType, bool) override { return 0; }
  TnxResult Duplicate(TnxOpenMode, TnxAbstractCursor*& aNewCursor) override;
  TnxResult ChangePassword(const nxString&) override;
  TnxResult GetRecordCount(std::uint32_t& aRecCount, bool aEstimate) override;
  TnxResult GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) override;
  TnxResult GetRecordCountEx(TnxRecordCountOption, std::uint32_t& aRecCount, bool aEstimate) override;
  TnxResult GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*& aTaskInfo) override;
  TnxResult ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override;
  TnxResult ascGetBlobCacheInfos(const TnxRecID&, TnxBlobCacheInfos& aBCIs) override;
  TnxResult ascSetBlobCacheFlushed(const TnxRecID&, std::int32_t, TnxBlobNr, TnxBlobNr*) override;

  // SQL primitives.
  void sbcMarkReadonly() override {}
  nxString sbcGetRootName() override { return table_->name.substr(0, table_->name.find(u':')); }
  TnxIndexPathPosition sbcGetPosition() override;
  TnxResult sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override {
    return SwitchToIndex(aIndexName, aIndexID, aPosnOnRec);
  }
  TnxResult sbcGetIndexID(std::int32_t& aIndexID) override { return GetIndexID(aIndexID); }
  TnxResult sbcRangeReset() override { return RangeReset(); }
  TnxResult sbcRangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                        bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2,
                        const void* aKeyData2, bool aKeyIncl2) override {
    return RangeSet(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, aFieldCount2, aPartialLen2,
                    aDirectKey2, aKeyData2, aKeyIncl2);
  }
  TnxResult sbcSetToBegin() override { return SetToBegin(); }
  TnxResult sbcSetToEnd() override { return SetToEnd(); }
  TnxResult sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                              TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override {
    return RecordGetBatch(aCutoffSize, aOptions, aAccess, aMaxRecords, aForward);
  }
  TnxResult sbcRecordInsertBatch(TnxMemoryStream* aStream) override { return RecordInsertBatch(aStream); }
  TnxResult sbcCopyRecords(TnxAbstractCursor* aDest, TnxBlobCopyMode aMode, std::uint32_t aMax, bool aCheck) override {
    return CopyRecordsEx(aDest, aMode, aMax, aCheck);
  }
  TnxResult sbcDeleteRecords() override { return DeleteRecords(); }
  TnxResult sbcBlobCreateLink(const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr, TnxBlobNr&) override;
  TnxResult sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override {
    return BlobDelete(aRecID, aFieldNo, aBlobNr);
  }
  TnxResult sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            std::uint32_t aBlobLength) override {
    return BlobTruncate(aRecID, aFieldNo, aBlobNr, aBlobLength);
  }
  TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                         std::uint32_t aLen, const void* aBlob) override {
    return BlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  }
  TnxResult sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                           const void* aBlob) override {
    return TnxAbstractCursor::BlobReplace(aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  }
  bool sbcBlobIsLink(const TnxRecID&, std::int32_t, TnxBlobNr, nxString&, TnxBlobNr&) override { return false; }
  TnxResult sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override { return RecordGet(aLockType, aData); }
  TnxResult sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override {
    return RecordGetNext(aLockType, aData);
  }
  TnxResult sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override {
    return RecordGetPrior(aLockType, aData);
  }
  TnxResult sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions, PnxRecordBuffer aData,
                            std::int64_t* aAutoInc) override {
    return RecordInsert(aLockType, aData, aAutoInc);
  }
  TnxResult sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) override {
    return RecordModify(aData, aReleaseLock, aDataDiff);
  }
  TnxResult sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override { return RecordDelete(aData, aLSN); }
  TnxResult sbcAutoIncGet(std::uint32_t& aValue) override { return AutoIncGet(aValue, false); }
  TnxResult sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) override {
    return GetRecordCountEx(aOption, aRecCount, aEstimate);
  }
  TnxResult sbcChangePassword(const nxString& aNewPassword) override { return ChangePassword(aNewPassword); }
  TnxResult sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool) override {
    return Duplicate(aOpenMode, aNewCursor);
  }
  TnxResult sbcIterate(PPnxRecordBuffer, const TnxKeyIterator&, const TnxRecordIterator&, bool, void*, bool) override;
  bool sacHasKey(std::int32_t, platform::Variant&) override { return false; }
  TnxRefNr sacGetRefNr() override;
  void sacSetRefNr(TnxRefNr aRefNr) override;
  void sacSetDefault(PnxRecordBuffer, std::int32_t) override {}
  void sacSetDefaultsInsert(PnxRecordBuffer) override {}
  TnxResult sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) override;

  // The server cursor's own operations. BLOB copies move whole BLOBs (or
  // their first aMaxLength bytes); the default-value handler is made on
  // first use for the server side.
  void RequestNestedTransactions() override;
  // The snapshot BLOB read of the abstract cursor (through the database's
  // transactions), not the server cursor's.
  bool acSnapshotRequiredForBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                     bool aReadOrg) override {
    return TnxAbstractCursor::acSnapshotRequiredForBlobRead(aRecID, aFieldNo, aBlobNr, aReadOrg);
  }
  TnxResult acTransactionStartForBlobReadSnapshoted() override {
    return TnxAbstractCursor::acTransactionStartForBlobReadSnapshoted();
  }
  TnxResult acTransactionRollbackForBlobReadSnapshoted() override {
    return TnxAbstractCursor::acTransactionRollbackForBlobReadSnapshoted();
  }
  void sbcAutoIncSetDirect(std::uint32_t aValue) override { table_->autoInc = aValue; }
  TnxResult sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override {
    return BlobCreate(aRecID, aFieldNo, aBlobNr);
  }
  TnxResult sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                            std::int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) override;
  nxString sbcExtractPassword() override { return password_; }
  TnxDefaultValueHandler* sbcDefaultValueHandler() override;

  // Test access.
  TnxFakeTable* Table() const { return table_; }
  void SetPassword(const nxString& aPassword) { password_ = aPassword; }
  // RequestNestedTransactions is refused (as by the base) until set.
  bool feNestedTransactions = false;
  int feNestedRequests = 0;
  // The default-value handler answers nil while set.
  bool feNoDefaultHandler = false;
  TnxBaseFilterEngine* FilterVariable() const { return filter_; }
  // Asks the user to close the cursor; True when it was closed.
  bool AskToClose() { return sbcRequestClose(); }
  // Points the destroy protocol's flag at a caller's variable.
  void SetDestroyFlag(bool* aFlag) { asoDestroyFlag = aFlag; }
  // The cursor's table leaves aFolder when the cursor is destroyed.
  void DropTableWithCursor(TnxFakeFolder* aFolder) { dropFrom_ = aFolder; }

 private:
  void RebuildOrder();
  bool Passes(const TnxFakeTable::Row& aRow);
  void Stamp(std::vector<std::uint8_t>& aData, bool aInsert);
  TnxResult AddFilterEngine(TnxBaseFilterDescriptor* aDescriptor, TnxBaseFilterEngine*& aVariable,
                            std::map<std::uint32_t, TnxBaseFilterEngine*>& aIds, std::uint32_t& aID, bool aActivated);
  TnxResult RemoveFilterEngine(std::uint32_t aID, TnxBaseFilterEngine*& aVariable,
                               std::map<std::uint32_t, TnxBaseFilterEngine*>& aIds);
  TnxFakeTable::Row* Current();
  TnxIntfPtr<InxFieldsSource> Source();

  TnxFakeTable* table_;
  TnxFakeFolder* dropFrom_ = nullptr;
  std::int32_t indexID_ = -1;
  TnxBaseKeyEngine* keyEngine_ = nullptr;  // owned
  std::vector<std::size_t> order_;         // row positions in cursor order
  std::int64_t pos_ = -1;                  // -1 before the first, order_.size() after the last
  TnxRefNr currentRef_ = 0;
  TnxBaseFilterEngine* filter_ = nullptr;     // owned, owner protocol
  TnxBaseFilterEngine* keyFilter_ = nullptr;  // owned, owner protocol
  std::map<std::uint32_t, TnxBaseFilterEngine*> filterIds_;
  std::map<std::uint32_t, TnxBaseFilterEngine*> keyFilterIds_;
  std::uint32_t nextFilterId_ = 0;
  // The range over the current index: keys of its ends and their fields.
  bool hasRange_ = false;
  std::vector<std::uint8_t> rangeLow_, rangeHigh_;
  std::int32_t rangeFields1_ = 0, rangeFields2_ = 0, rangePartial1_ = 0, rangePartial2_ = 0;
  bool rangeIncl1_ = true, rangeIncl2_ = true;
  nxString password_;
  TnxDefaultValueHandler* defaultHandler_ = nullptr;  // owned
  bool defaultHandlerMade_ = false;
};

class TnxFakeStatement : public TnxAbstractStatement {
  PL_CLASS_INFO_DECL()
 public:
  TnxFakeStatement(TnxFakeDatabase* aDatabase, std::uint32_t aTimeout);
  TnxResult Prepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) override;
  TnxResult Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) override;
  TnxResult SetParams(const TnxSqlParamList& aParams, TStream* aStream) override;
  TnxResult GetParams(TnxSqlParamList& aParams, TStream* aStream) override;

 private:
  TnxFakeCounters& counters();
  nxString text_;
  TnxSqlParamList params_;
  bool prepared_ = false;
};

// A nested table name root:child:... with its "." parts dropped and each
// ".." taking back the part before it.
nxString resolveTablePath(const nxString& aName);

// Upper-case key of a name (ASCII letters).
nxString upperName(const nxString& aName);


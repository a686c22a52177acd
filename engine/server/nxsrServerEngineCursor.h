// The table cursor: the server cursor on one open (root or nested) table.
// Part of nxsrServerEngine: include nxsrServerEngine.h, not this header.
//
// Contracts:
// - Construction attaches the cursor to its table's cursor chain (under
//   sbtCursorsPadlock; the root hears srtCursorOpened); destruction detaches
//   it and frees an unnamed result-set table with its last cursor (under
//   the folder's sfTablesPadlock, after the table padlock is released; the
//   usage counter keeps the table alive in between). A construction that
//   fails leaves nothing attached.
// - stcSelfRefNr = ($7FFFFFFF << 32) + the cursor's handle-table id: unique
//   among open cursors and never a record's reference.
// - stcIndexPath is never nil after construction: an index path of the
//   active index, or a standalone path in record order.
// - stcInUseCount must be 0 at destruction (an assertion).
// - stcBlobHandler is never nil after construction (the null handler for a
//   table without BLOB fields); it goes with the cursor.
// - Schema changes, stream writes and password changes
//   (nxsrServerEngineCursorSchema.cpp) run in a transaction level of their
//   own under the exclusive content lock; a failed schema change leaves the
//   dictionary as it was.
// - BLOB primitives (nxsrServerEngineCursorBlob.cpp): a write runs in an
//   implicit transaction level of its own under an exclusive content lock
//   and, in shared mode, a record lock on stcSelfRefNr that conflicts with
//   other cursors' table locks; a read under a shared content lock. Both
//   check that a named BLOB number still belongs to the named record.
// - Changes take the record lock before the exclusive content lock and the
//   pseudo-reference lock before the transaction.
// Lock order: the session lock, the folder's sfTablesPadlock, the table's
// sbtCursorsPadlock (the root's inside it for a nested table).
#pragma once

#include <atomic>
#include <cstdint>

#include "nxsdServerBaseCursor.h"
#include "nxsrServerEngineTable.h"
#include "nxsrServerEngineTransaction.h"
#include "nxsrTableLockContainer.h"

class TnxServerDatabase;
class TnxBaseBlobHandler;
class TnxBaseFulltextCursorEngine;
class TnxRefIntegrityEngine;
class TnxImplicitTransaction;
class TnxSavedPath;

// One end of a key range.
struct TnxRangeInfoEnd {
  PnxKeyBuffer riKey = nullptr;
  std::int32_t riFieldCount = 0;
  std::int32_t riPartitial = 0;
  bool riExclusive = false;
  bool riValid = false;
};

// Called before each read of a BLOB copy with its offset and length (tests).
extern std::atomic<void (*)(std::uint32_t aOffset, std::uint32_t aLen)> nxsrBlobCopyReadTestHook;
class TnxServerTableCursor;

// The key fields of the owner's active index at the moment of each call
// (nothing without an active index); what key filters read through.
class TnxKeyFieldsSource : public TnxInterfacedObject, public InxFieldsSource {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxKeyFieldsSource(TnxServerTableCursor* aOwner) : kfsOwner(aOwner) {}
  NX_INTERFACED_OBJECT_BASICS()
  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue, std::uint16_t& aCodePage) override;
  platform::Variant GetFieldAsVariant(const void* aRecordBuffer, std::int32_t aIndex) override;
  bool BlobsSupported() override;
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override;
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  platform::TObject* GetCursor() override;
  std::int32_t GetFieldsOffset() override;

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;

 private:
  InxFieldsSource* Target() const;
  TnxServerTableCursor* kfsOwner;  // not owned
};

class TnxServerTableCursor : public TnxServerBaseCursor, public TnxServerTransLinkCursor {
  PL_CLASS_INFO_DECL()
  friend class TnxServerBaseTable;
  friend class TnxServerGetRecCountTaskInfo;

 public:
  // A cursor on an open table; raises 10756 for a cache cursor on a table
  // that is not cacheable. An index that cannot be activated falls back to
  // the default index, then to record order.
  TnxServerTableCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable, std::uint32_t aTimeout,
                       TnxOpenMode aOpenMode, TnxShareMode aShareMode, const nxString& aIndexName,
                       std::int32_t aIndexID, bool aBlobCache, bool aInternal);
  ~TnxServerTableCursor() override;
  TnxServerTableCursor(const TnxServerTableCursor&) = delete;
  TnxServerTableCursor& operator=(const TnxServerTableCursor&) = delete;

  // A cursor on a new unnamed temporary table of aDictionary (its files'
  // block sizes become automatic: the caller's dictionary changes); raises
  // the folder's code when the table cannot be made.
  static TnxServerTableCursor* CreateResultSet(TnxServerDatabase* aDatabase, TnxDataDictionary* aDictionary,
                                               std::uint32_t aTimeout);

  void PrepareDestroy() override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // "<Table>[.rest]" goes to the table; anything else to the abstract cursor.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // The table's effective value first, then the database's.
  TnxResult esoOptionGetParent(const nxString& aName, nxString& aValue) override;
  TnxResult esoOptionListParent(platform::TStringList& aList) override;
  // The referential-integrity engine first (its refusal is the answer),
  // then the extenders.
  TnxResult NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override;

  TnxDataDictionary* Get_Dictionary() override;
  TnxBaseTableDescriptor* GetTableDescriptor() override;
  nxString acGetFullName() override;
  nxString acGetAliasName() override;

  TnxResult SavePath() override;
  TnxResult RestorePath() override;
  TnxResult BuildKey(const void* aRecord, PnxKeyBuffer aKey, bool aIgnoreFilter) override;
  TnxResult KeyToRecord(const void* aKey, PnxRecordBuffer aRecord) override;
  bool GetNextLSN(TnxLSN& aLSN) override;
  TnxResult ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override;
  TnxResult GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, std::int32_t aMaxCount,
                              TnxLSN* aCurrentLSN) override;

  // ---- Primitives of this work.
  nxString sbcGetRootName() override;
  TnxIndexPathPosition sbcGetPosition() override;
  // A failed switch leaves index, path, key buffer and range as they were.
  TnxResult sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  // ---- Positioning and reading (nxsrServerEngineCursorRead.cpp).
  TnxResult sbcSetToBookmark(const void* aBookmark, std::int32_t aSize, bool aIsCache) override;
  TnxResult sbcSetToCursor(TnxAbstractCursor* aCursor) override;
  TnxResult sbcSetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                        bool aDirectKey, const void* aKeyData) override;
  TnxResult sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey,
                               const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                               bool aFirstCall) override;
  TnxResult sbcRecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) override;
  TnxResult sbcRecNoSet(std::uint32_t aRecNo, bool aFlipOrder) override;
  TnxResult sbcRangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                        bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2,
                        const void* aKeyData2, bool aKeyIncl2) override;
  TnxResult sbcRangeReset() override;
  TnxResult sbcCompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                           const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                           std::int32_t& aResult) override;
  TnxResult sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                TnxCompareResult& aCompResult) override;
  TnxResult sbcBookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant) override;
  TnxResult sbcGetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult sbcGetBookmarkSize(std::int32_t& aSize) override;
  // ---- Filters (nxsrServerEngineCursorFilter.cpp).
  InxFieldsSource* sbcGetKeyFieldsSource() override;
  TnxResult sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aForward) override;
  std::uint64_t sbcTickCount() override;
  std::int64_t sbcThreadDeadline() override;
  // ---- Batch reads, iteration, counts (nxsrServerEngineCursorBatch.cpp).
  TnxResult sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                              TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override;
  TnxResult sbcRecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                    TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys,
                                    bool aMatchFirst, bool aFirstCall) override;
  // A content lock that fails is the result; an iterator's exception passes.
  TnxResult sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                       const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                       bool aKeepPosition) override;
  TnxResult sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) override;
  // A finished task when the count is known at once; else a background
  // count that takes over the session lock (released here exactly once).
  // The content lock ends on every path.
  TnxResult GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) override;
  // The record iterator of the batch read; aCookie is its batch state.
  TnxRecordIteratorResult stcRecordGetBatchIterator(void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord);
  // ---- Record and table locks, duplication (nxsrServerEngineCursorLock.cpp).
  TnxResult sbcRecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  TnxResult sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  TnxLockPresent sbcTableIsLocked(TnxLockType aLockType) override;
  TnxResult sbcTableLockAcquire(TnxLockType aLockType) override;
  TnxResult sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks) override;
  TnxResult sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool aForceWrite) override;
  TnxResult sbcGetIndexID(std::int32_t& aIndexID) override;
  TnxResult sbcSetToBegin() override;
  TnxResult sbcSetToEnd() override;
  TnxResult sbcAutoIncGet(std::uint32_t& aValue) override;
  TnxResult sbcAutoIncSet(std::uint32_t aValue) override;
  void sbcAutoIncSetDirect(std::uint32_t aValue) override;
  bool sacHasKey(std::int32_t aIndex, platform::Variant& aValue) override;
  TnxRefNr sacGetRefNr() override;
  void sacSetRefNr(TnxRefNr aRefNr) override;
  TnxResult sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) override;
  // ---- BLOBs (nxsrServerEngineCursorBlob.cpp).
  TnxResult sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                              TnxBlobNr& aBlobNr) override;
  // Inside the caller's transaction only (10257 without one).
  TnxResult sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aTableName,
                              TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  // 15493 for a number the record no longer holds; 13058 after a success
  // that deleted the (empty) BLOB.
  TnxResult sbcBlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                         std::uint32_t aLen, const void* aBlob) override;
  TnxResult sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            std::uint32_t aBlobLength) override;
  TnxResult sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                           const void* aBlob) override;
  TnxResult sbcBlobsCancel(TnxRefNr aRefNr) override;
  TnxResult sbcBlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aLen,
                              const void* aBlob) override;
  // A stale number whose record now holds another BLOB reads that BLOB when
  // aNewBlobNr is given (nbnSet tells); without it 13058.
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                        std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                  std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                                  std::uint32_t* aBlobLen, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t& aLength,
                             bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            bool& aModified) override;
  bool sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                     TnxBlobNr& aSrcTableBlobNr) override;
  // No lock and no transaction of their own: the callers hold them. The
  // source is read in its cursor's transaction, the copy written in this
  // cursor's.
  TnxResult sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                            std::int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) override;
  TnxResult sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                   std::int32_t aDestFieldNo, TnxBlobNr aDestBlobNr,
                                   std::int64_t aMaxLength) override;
  // Without deadline and lock: the cache table's owner holds them.
  TnxResult ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) override;
  TnxResult ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   TnxBlobNr* aNewBlobNr) override;
  // All entries in one transaction level; aReply->bbrpCount tells how many
  // succeeded (a failure rolls all back). aReply holds an entry per request
  // entry.
  TnxResult BlobBatchProcess(const TnxBlobBatchRequest& aRequest, PnxBlobBatchReply& aReply) override;
  TnxResult GetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs) override;
  TnxResult stcGetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs);
  // Under the table's cursor padlock.
  void sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) override;
  nxString sbcExtractPassword() override;
  // Shared: a read on the root's content portal outside a transaction;
  // inside one (and for every exclusive request) the transaction's link.
  TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override;
  void sbcEndContentLock() override;
  TnxResult sbcCheckTransactionState() override;
  // ---- Inserting, changing and deleting records (nxsrServerEngineCursorWrite.cpp).
  TnxResult sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                            std::int64_t* aAutoInc) override;
  TnxResult sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) override;
  TnxResult sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  // The stream is checked whole before anything is inserted (9986).
  TnxResult sbcRecordInsertBatch(TnxMemoryStream* aStream) override;
  // The graveyard of deleted references (0 for tables without one); 15443
  // with its message when an index refuses.
  virtual TnxResult stcRecordBury(TnxRefNr aRefNr, PnxRecordBuffer aData);
  virtual TnxResult stcRecordResurrect(TnxRefNr aRefNr, PnxRecordBuffer aData);
  // The recovery's record copy (aCookie: its TnxRecoverCookie): the record
  // into the target, or, when it cannot be stored whole, into the failed
  // table with the BLOBs that fail set NULL; rirStop once an error remains.
  TnxRecordIteratorResult stcRecoverRecordCopy(void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord);
  // Replaces the cursor's full-text engine (owned from now on; nil: none).
  void SetFulltextEngine(TnxBaseFulltextCursorEngine* aEngine);
  // ---- Schema, stream and bulk operations (nxsrServerEngineCursorSchema.cpp).
  TnxResult stcAddField(TnxFieldDescriptor* aFieldDesc);
  TnxResult stcAddIndex(TnxIndexDescriptor* aIndexDesc, bool aIsNewDefault);
  // An empty aIndexName takes aIndexID. 10253 while another cursor of the
  // table stands on the index (its engine goes with the index).
  TnxResult stcDropIndex(const nxString& aIndexName, std::int32_t aIndexID);
  // Only on an unnamed table whose only cursor is this one.
  TnxResult sbcRenameField(std::int32_t aFieldNo, const nxString& aNewName) override;
  // Reorders the records physically by aIndexDesc and rebuilds every index,
  // all in one transaction level under one exclusive content lock; 12289
  // for a table with full-text indices. REQUIRES: no active index.
  TnxResult stcSortRecords(TnxIndexDescriptor* aIndexDesc);
  TnxResult sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize,
                           bool aCheckValFields) override;
  TnxResult sbcDeleteRecords() override;
  TnxResult sbcTableStreamGetList(platform::TStringList& aStreams, bool aInternal) override;
  TnxResult sbcTableStreamWrite(const nxString& aName, TStream& aStream, bool aInternal) override;
  TnxResult sbcTableStreamRead(const nxString& aName, TStream& aStream, bool aInternal) override;
  TnxResult sbcTableStreamDelete(const nxString& aName, bool aInternal) override;
  TnxResult sbcChangePassword(const nxString& aNewPassword) override;
  // Nil and 0 without an indices engine; the builder runs in the cursor's
  // transaction.
  TnxResult stcCreateBulkBuilder(TnxBaseBulkBuilder*& aBulkBuilder);
  // The LSN queries of table caches.
  virtual TnxResult stcContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr);
  virtual TnxResult stcGetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, std::int32_t aMaxCount,
                                         TnxLSN* aCurrentLSN);
  // aCookie: the answer being collected.
  TnxKeyIteratorResult stcGetDeletedRecordsKeyIterator(void* aCookie, TnxRefNr aRefNr, PnxKeyBuffer aKey);
  TnxLSN stcGetCurrentLSN();

  // ---- The server layer's part of the base.
  TnxAbstractTransContext* sbcTransContext() override { return sbcTransContextObject; }
  TnxBaseTransaction* GetActiveTrans() override;
  TnxResult sbcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aNoMoreNested,
                                bool aForceNested, bool aOverrideSecurity) override;
  TnxResult sbcTransactionCommit() override;
  TnxResult sbcTransactionRollback() override;
  TnxTransactionStates sbcActiveTransStates() override;
  void sbcMarkActiveTransForBlobRead() override;
  bool sbcInRecoveryMode() override { return nxsrInRecoveryMode(); }

  TnxServerBaseTable* Table() const { return stcTable; }
  TnxServerDatabase* ServerDatabase() const;
  TnxShareMode ShareMode() const { return stcShareMode; }
  TnxRefNr SelfRefNr() const { return stcSelfRefNr; }
  TnxBaseIndexEngine* IndexEngine() const { return stcIndexEngine; }
  TnxBaseIndexPath* IndexPath() const { return stcIndexPath; }
  TnxRefIntegrityEngine* RefIntEngine() const { return stcRefIntEngine; }
  TnxBaseFulltextCursorEngine* FulltextEngine() const { return stcFulltextEngine; }
  TnxBaseBlobHandler* BlobHandler() const { return stcBlobHandler; }
  PnxCacheableInfo CacheableInfo() const { return acCacheableInfo; }
  TnxServerTableCursor* TableNext() const { return stcTableNext; }
  TnxLockCursor LockCursor();
  std::int32_t stcInUseCount = 0;

 private:
  static TnxOpenMode stcOpenModeFor(TnxServerBaseTable* aTable, TnxOpenMode aOpenMode);
  // The handler a new cursor gets (step 8 of construction).
  void stcCreateBlobHandler(bool aBlobCache);
  void stcFreeBlobHandler() noexcept;
  // The BLOB frames: aWork runs between them; aVerify checks the number
  // first (aNewBlobNr: a read's redirect, aFree: sbcBlobFree's 15493).
  template <class Work>
  TnxResult stcBlobWriteFrame(bool aVerify, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                              bool aFree, Work&& aWork);
  template <class Work>
  TnxResult stcBlobReadFrame(bool aVerify, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                             PnxNewBlobNr aNewBlobNr, Work&& aWork);
  TnxResult stcBlobVerifyNr(const TnxRecID& aRecID, std::int32_t aFieldNo, PnxNewBlobNr aNewBlobNr,
                            TnxBlobNr aBlobNr);
  // Reads the named record into sbcRecordBuffer2; aRead tells whether it did.
  TnxResult stcBlobVerifyRecID(const TnxRecID& aRecID, bool& aRead);
  TnxResult stcBlobVerifyNrInner(const TnxRecID& aRecID, std::int32_t aFieldNo, PnxNewBlobNr aNewBlobNr,
                                 TnxBlobNr aBlobNr, bool aRecordRead);
  TnxResult stcBlobBatchProcess(const TnxBlobBatchRequest& aRequest, TnxBlobBatchReply& aReply);
  TnxResult stcBlobBatchProcessEntry(const TnxRecID& aRecID, const TnxBlobBatchRequestEntry& aEntry,
                                     TnxBlobBatchReplyEntry& aReply, bool aRecordRead);
  // The copy loop of both copy primitives; aWritten: bytes copied.
  TnxResult stcBlobCopyLoop(TnxServerTableCursor* aSource, TnxBlobNr aBlobNr, TnxBlobNr aDestBlobNr,
                            std::uint32_t aSourceLength, std::uint32_t aLimit, std::uint32_t& aWritten);
  // sbcIterate with aFilter (nil: none) as the record filter.
  TnxResult stcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                       const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie, bool aKeepPosition,
                       TnxBaseFilterEngine* aFilter);
  TnxResult stcCountByWalking(TnxRecordCountOption aOption, std::uint32_t& aRecCount);
  // The sequential, LSN and RefNr index paths from the indices engine as it
  // is now (after an index was added or dropped).
  void stcResetSpecialIndexPaths();
  // The key argument rule: a key copied, or built from a record.
  TnxResult stcKeyFromArgument(bool aDirectKey, const void* aKeyData, PnxKeyBuffer aKey);
  // -1 below the range, +1 above it, 0 inside (always 0 without index).
  std::int32_t stcRangeTest(const void* aKey);
  // A valid key outside the range moves the path to the beginning or end.
  void stcMoveIntoRange();
  // Re-finds the path's key, applies the range; the path's state.
  TnxResult stcCheckPosition(TnxBaseTransaction* aTrans);
  // A record lock in the table's container; 10241 with its message.
  TnxResult stcLockRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxLockResult& aLock);
  static TnxRangeInfo stcRangeInfo(const TnxRangeInfoEnd& aEnd);
  TnxResult stcNotifyRecordGet(TnxLockType aLockType, PnxRecordBuffer aData);
  TnxResult stcRecordGetStep(TnxLockType aLockType, PnxRecordBuffer aData, bool aForward);
  // Helpers of the changes.
  TnxResult stcVisible(PnxRecordBuffer aData, bool aInsertTexts);
  bool stcRecordFilterAccepts(const void* aRecord);
  bool stcKeyFilterAccepts(const void* aKey);
  void stcCorrectPathAfterChange(PnxRecordBuffer aData, const TnxSavedPath& aSaved);
  void stcMarkCorrupted() noexcept;
  TnxResult stcInsertWrite(TnxBaseTransaction* aTrans, PnxRecordBuffer aData, bool aImplicit, TnxSavedPath& aSaved,
                           bool aAutoIncAssigned, std::uint32_t aPreviousAutoInc);
  TnxResult stcInsertOrChange(TnxLockType aLockType, TnxInsertOptions& aInsertOptions, PnxRecordBuffer aData,
                              TnxImplicitTransaction& aImplicit, bool& aHandled);
  TnxResult stcUpdateWrite(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aStored,
                           PnxRecordBuffer aData, bool aImplicit, bool aValidateAfterWrite, TnxSavedPath& aSaved);
  TnxResult stcApplyDiff(PnxRecordBuffer aStored, PnxRecordBuffer aData, const TnxRecordDiff& aDiff,
                         bool aReleaseLock);
  TnxResult stcCheckBatchStream(const std::uint8_t* aBase, std::uint64_t aSize, std::int32_t& aCount);
  void stcAttachToTable();
  void stcDetachFromTable() noexcept;
  // The key buffer and the range keys of the active index.
  void stcAllocKeys();
  void stcFreeKeys() noexcept;
  // Everything construction made, for a failed construction and the
  // destructor.
  void stcFreeEngines() noexcept;
  void stcFreePaths() noexcept;

  TnxServerBaseTable* stcTable = nullptr;
  TnxServerTableCursor* stcTablePrev = nullptr;
  TnxServerTableCursor* stcTableNext = nullptr;
  bool stcAttached = false;
  TnxShareMode stcShareMode = smShared;
  TnxRefNr stcSelfRefNr = 0;
  TnxBaseIndexEngine* stcIndexEngine = nullptr;
  TnxBaseIndexPath* stcIndexPath = nullptr;  // owned
  TnxBaseIndexPath* stcSavePath = nullptr;   // owned
  TnxBaseIndexPath* stcTempPath = nullptr;   // owned
  TnxBaseIndexEngine* stcSeqAccessIndexEngine = nullptr;
  TnxBaseIndexPath* stcSeqAccessIndexPath = nullptr;  // owned
  TnxBaseIndexEngine* stcLSNIndexEngine = nullptr;
  TnxBaseIndexPath* stcLSNIndexPath = nullptr;  // owned
  TnxBaseIndexEngine* stcRefNrIndexEngine = nullptr;
  TnxBaseIndexPath* stcRefNrIndexPath = nullptr;  // owned
  TnxBaseIndexEngine* stcGraveyardLSNIndexEngine = nullptr;
  TnxBaseIndexPath* stcGraveyardLSNIndexPath = nullptr;  // owned
  TnxBaseIndexEngine* stcGraveyardRefNrIndexEngine = nullptr;
  TnxBaseIndexPath* stcGraveyardRefNrIndexPath = nullptr;  // owned
  TnxBaseFulltextCursorEngine* stcFulltextEngine = nullptr;  // owned
  TnxRefIntegrityEngine* stcRefIntEngine = nullptr;      // owned
  TnxBaseBlobHandler* stcBlobHandler = nullptr;          // owned
  PnxKeyBuffer stcKeyBuffer = nullptr;
  TnxRangeInfoEnd stcRangeStart;
  TnxRangeInfoEnd stcRangeEnd;
  // A shared content lock taken as a portal read (outside a transaction).
  std::int32_t stcPortalReads = 0;
};

// The server cursor: the common base of the server engine's table and
// mapping cursors. Every public cursor operation runs one protocol around a
// protected primitive (the sbc... operations):
//   1. refusals that need no lock (read-only, write-only);
//   2. the thread's deadline from the cursor's time-out;
//   3. the session lock; an exception of taking it reaches the caller;
//   4. the primitive; a converting operation turns a std::exception into
//      its code, the others let their primitive decide;
//   5. the unlock, which turns a 0 result into 15461 after a cancel.
// Primitives that later work brings answer 12289 ("%s is not supported by
// %s") here until a concrete cursor supplies them.
//
// The server layer is reached only through virtual operations (the
// transaction context, the running transaction, the recovery flag): the
// engine folders link downward, and this class lives with the dictionary.
//
// Callers receive cursors as TnxAbstractCursor and narrow them with
// nxAsServerCursor (class metadata, no RTTI); a cursor of another kind
// fails with platform::ConvertError "Invalid class typecast".
//
// Life: two-phase. PrepareDestroy (may raise) frees the task information,
// the filters and the handlers while the object is whole; the destructor
// does not raise.
// Thread safety: every public operation holds the session lock for its
// whole primitive; FilterSetTimeout only the lock. sbcRequestClose takes
// the request-close padlock only.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsdServerEngine.h"
#include "plStringList.h"

class TnxDefaultValueHandler;
class TnxValidationsHandler;
class TnxBaseFilterEngine;
class TnxBaseTransaction;

// Why a lock failed: lines filled by the lock containers, and whether the
// conflicting lock belongs to the same session.
class TnxLockFailureReason : public platform::TStringList {
  PL_CLASS_INFO_DECL()
 public:
  bool SameSession = false;
  void Clear() {
    clear();
    SameSession = false;
  }
};

class TnxServerBaseCursor : public TnxSqlAbstractCursor {
  PL_CLASS_INFO_DECL()
  friend struct TnxServerBaseCursorFilterAccess;

 public:
  // aTransContext: the database's transaction context (nil for cursors
  // that have none, as the fake engine's).
  TnxServerBaseCursor(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout, TnxOpenMode aOpenMode = omReadWrite,
                      TnxAbstractTransContext* aTransContext = nullptr);
  ~TnxServerBaseCursor() override;

  // Inherited, then the outdated-dictionary rule, then sbcSetToBegin.
  void afterConstruction() override;
  void PrepareDestroy() override;
  // Inherited, then "OpenMode", "IsReadOnly", "IsWriteOnly", "IsResultSet",
  // "IsUnnamed", "UseNestedTransaction", "Filter" and "KeyFilter".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;
  // Monitors hear of cursors, except those made while recovering a table.
  bool esoAnnounceToMonitors() override { return !sbcInRecoveryMode(); }
  // The INSERT_OPTIONS_... options switch the insert options.
  void esoOptionChanged(const nxString& aName, const nxString& aValue) override;
  void RequestNestedTransactions() override { sbcUseNestedTransaction = true; }
  // The abstract clearing, then the client-side defaults (handler made once).
  void RecordBufferClear(PnxRecordBuffer aBuffer) override;

  // The snapshot transaction for BLOB reads.
  bool acSnapshotRequiredForBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                     bool aReadOrg) override;
  TnxResult acTransactionStartForBlobReadSnapshoted() override;
  TnxResult acTransactionRollbackForBlobReadSnapshoted() override;

  // ---- The public operations (the protocol above).
  TnxResult SetToBegin() override;
  TnxResult SetToCursor(TnxAbstractCursor* aCursor) override;
  TnxResult SetToEnd() override;
  TnxResult SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                        bool aForward) override;
  TnxResult sbcGetBookmarkSize(std::int32_t& aSize) override;
  TnxResult GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                             TnxCompareResult& aCompResult) override;
  TnxResult SetToBookmark(const void* aBookmark, std::int32_t aSize) override;
  TnxResult SetToCacheBookmark(const void* aBookmark, std::int32_t aSize) override;
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
  TnxResult RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  TnxResult RecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  TnxResult AutoIncGet(std::uint32_t& aValue, bool aAllowCached) override;
  TnxResult AutoIncSet(std::uint32_t aValue) override;
  TnxResult FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) override;
  TnxResult FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                                bool aIgnoreDropError) override;
  // Under the lock, without a deadline.
  TnxResult FilterSetTimeout(std::uint32_t aTimeout) override;
  TnxResult FilterActivate(TnxFilterID aFilterID) override;
  TnxResult FilterDeactivate(TnxFilterID aFilterID) override;
  TnxResult FilterRemove(TnxFilterID aFilterID) override;
  TnxResult SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  TnxResult GetIndexID(std::int32_t& aIndexID) override;
  TnxResult SetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                     bool aDirectKey, const void* aKeyData) override;
  TnxResult RecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData,
                            PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) override;
  TnxResult RecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                 TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys,
                                 bool aMatchFirst, bool aFirstCall) override;
  TnxResult RangeReset() override;
  TnxResult RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                     bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2,
                     const void* aKeyData2, bool aKeyIncl2) override;
  TnxResult CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1,
                        bool aDirectKey2, const void* aKeyData2, std::int32_t& aResult) override;
  TnxResult KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) override;
  TnxResult KeyFilterActivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterRemove(TnxKeyFilterID aKeyFilterID) override;
  TnxResult RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                           TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override;
  TnxResult RecordInsertBatch(TnxMemoryStream* aStream) override;
  TnxResult CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                        std::uint32_t aMaxTransSize) override;
  TnxResult CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize,
                          bool aCheckValFields) override;
  TnxResult DeleteRecords() override;
  TnxResult BlobsCancel(TnxRefNr aRefNr) override;
  TnxResult BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                           TnxBlobNr& aBlobNr) override;
  TnxResult BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult BlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                      std::uint32_t aLen, const void* aBlob) override;
  TnxResult BlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                        const void* aBlob) override;
  TnxResult BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                         std::uint32_t aBlobLength) override;
  TnxResult BlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, bool& aModified) override;
  TnxResult BlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aLen,
                           const void* aBlob) override;
  TnxResult TableStreamGetList(platform::TStringList& aStreams) override;
  TnxResult TableStreamWrite(const nxString& aName, TStream& aStream) override;
  TnxResult TableStreamRead(const nxString& aName, TStream& aStream) override;
  TnxResult TableStreamDelete(const nxString& aName) override;
  TnxResult TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  TnxResult TableLockAcquire(TnxLockType aLockType) override;
  TnxResult TableLockRelease(TnxLockType aLockType, bool aAllLocks) override;
  TnxResult Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) override;
  TnxResult ChangePassword(const nxString& aNewPassword) override;
  TnxResult GetRecordCount(std::uint32_t& aRecCount, bool aEstimate) override;
  TnxResult GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) override;
  TnxResult GetRecordCountEx(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) override;
  // The asynchronous count comes with the background tasks: 12289.
  TnxResult GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) override;

  // ---- Primitives of the abstract SQL cursor supplied here.
  void sbcMarkReadonly() override { sbcIsReadOnly = true; }
  TnxOpenMode sacGetOpenMode() override { return sbcOpenMode; }
  // Through the server defaults; nothing without a handler.
  void sacSetDefault(PnxRecordBuffer aRecordBuffer, std::int32_t aIndex) override;
  void sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) override;

  // The primitives of the abstract SQL cursor that the concrete cursors
  // bring with later work: 12289 until then.
  nxString sbcGetRootName() override { return nxString(); }
  TnxIndexPathPosition sbcGetPosition() override { return ippUnknown; }
  TnxResult sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  TnxResult sbcGetIndexID(std::int32_t& aIndexID) override;
  TnxResult sbcRangeReset() override;
  TnxResult sbcRangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                        bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2,
                        const void* aKeyData2, bool aKeyIncl2) override;
  TnxResult sbcSetToBegin() override;
  TnxResult sbcSetToEnd() override;
  TnxResult sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                              TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override;
  TnxResult sbcRecordInsertBatch(TnxMemoryStream* aStream) override;
  TnxResult sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize,
                           bool aCheckValFields) override;
  TnxResult sbcDeleteRecords() override;
  TnxResult sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aTableName,
                              TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            std::uint32_t aBlobLength) override;
  TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                         std::uint32_t aLen, const void* aBlob) override;
  TnxResult sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                           const void* aBlob) override;
  bool sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                     TnxBlobNr& aSrcTableBlobNr) override;
  TnxResult sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                            std::int64_t* aAutoInc) override;
  TnxResult sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) override;
  TnxResult sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  TnxResult sbcAutoIncGet(std::uint32_t& aValue) override;
  TnxResult sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) override;
  TnxResult sbcChangePassword(const nxString& aNewPassword) override;
  TnxResult sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool aForceWrite) override;
  TnxResult sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                       const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                       bool aKeepPosition) override;
  bool sacHasKey(std::int32_t aIndex, platform::Variant& aValue) override;
  TnxRefNr sacGetRefNr() override { return 0; }
  void sacSetRefNr(TnxRefNr aRefNr) override;
  TnxResult sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) override;
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                        std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                             std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) override;
  TnxResult ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   TnxBlobNr* aNewBlobNr) override;

  // ---- The primitives this class adds, in slot order.
  virtual void sbcBeginReadOrgOverride() { ++sbcReadOrgOverride; }
  virtual void sbcEndReadOrgOverride() { --sbcReadOrgOverride; }
  virtual TnxResult sbcRenameField(std::int32_t aFieldNo, const nxString& aNewName);
  // The content lock of the table cursor; the base has none to give.
  virtual TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal);
  virtual void sbcEndContentLock() {}
  // The running transaction's state; 0 without a transaction.
  virtual TnxResult sbcCheckTransactionState();
  virtual TnxResult sbcSetToCursor(TnxAbstractCursor* aCursor);
  // The filter engines are the primitive's for the call.
  virtual TnxResult sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aForward);
  virtual TnxResult sbcGetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize);
  // 12289 with the code's standard text.
  virtual TnxResult sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize);
  virtual TnxResult sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                        TnxCompareResult& aCompResult);
  virtual TnxResult sbcSetToBookmark(const void* aBookmark, std::int32_t aSize, bool aIsCache);
  virtual TnxResult sbcBookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant);
  virtual TnxResult sbcRecNoGet(std::uint32_t& aRecNo, bool aFlipOrder);
  virtual TnxResult sbcRecNoSet(std::uint32_t aRecNo, bool aFlipOrder);
  virtual TnxResult sbcRecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent);
  virtual TnxResult sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs);
  virtual TnxResult sbcAutoIncSet(std::uint32_t aValue);
  // Sets the table's auto-increment counter to aValue inside the cursor's
  // transaction: no lock, no check that it grows; nothing without an
  // auto-increment engine.
  virtual void sbcAutoIncSetDirect(std::uint32_t aValue) = 0;
  // An InxFieldsSource over the key fields (nil: none).
  virtual InxFieldsSource* sbcGetKeyFieldsSource() { return nullptr; }
  virtual TnxResult sbcKeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID);
  // ---- Filter chains and the filter time-out (nxsdServerBaseCursorFilter.cpp).
  // Append aFilter to the record (key) chain and answer its ID. The chain
  // owns the engine only on success; the key filter is not activated.
  TnxResult sbcFilterAddCustom(TnxBaseFilterEngine* aFilter, TnxFilterID& aFilterID, bool aActivated);
  TnxResult sbcKeyFilterAddCustomEngine(TnxBaseFilterEngine* aKeyFilter, TnxKeyFilterID& aKeyFilterID);
  // Brackets a filtered search; aResult (may be nil) receives the code when
  // the key filter's scan stops on the time-out.
  void sbcFilterBeginTimeout(TnxResult* aResult);
  // True (stop) with 15444 or 15461 in aResult; false leaves it alone.
  bool sbcFilterCheckTimeout(TnxResult& aResult);
  void sbcFilterEndTimeout();
  void sbcDisableFilterTimeout() { ++sbcFilterTimeoutLock; }
  void sbcEnableFilterTimeout() { --sbcFilterTimeoutLock; }
  // Appends the BLOB blocks of the record at aOffset of aStream (at its
  // end); aSize grows by what was appended. A BLOB that cannot be read
  // becomes an error block ($80000004, code).
  TnxResult sbcCopyBlobsToBatchStream(std::int32_t& aSize, std::int64_t aOffset, TnxMemoryStream* aStream,
                                      bool aAddBlobNr, bool aOnlyMarked);
  // The clock and the thread's deadline of the filter time-out (ms ticks);
  // the server layer supplies its own.
  virtual std::uint64_t sbcTickCount();
  virtual std::int64_t sbcThreadDeadline();
  virtual TnxResult sbcSetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                                bool aDirectKey, const void* aKeyData);
  virtual TnxResult sbcRecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey,
                                       const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                       bool aFirstCall);
  virtual TnxResult sbcRecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                            TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys,
                                            bool aMatchFirst, bool aFirstCall);
  virtual TnxResult sbcCompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                                   const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                   std::int32_t& aResult);
  virtual TnxResult sbcBlobsCancel(TnxRefNr aRefNr);
  // An empty BLOB for the field, in a nested transaction of its own
  // (committed on success, rolled back on failure). aBlobNr is set only
  // when the result is 0.
  virtual TnxResult sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult sbcBlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                                      TnxBlobNr& aBlobNr);
  virtual TnxResult sbcBlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr);
  // 12289 "%s not supported by %s".
  virtual TnxResult sbcBlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                      std::uint32_t aLen, const void* aBlob);
  virtual TnxResult sbcBlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                    bool& aModified);
  // A new BLOB in this cursor's table holding a copy of BLOB aBlobNr of
  // aSrcCursor's table. An outside-file BLOB: a new reference to the same
  // file for aMaxLength -1, an empty BLOB for 0, 10502 for any other limit.
  // Otherwise at most aMaxLength bytes (-1: all), moved in pieces of at
  // most 1 MB; the result is 0 or the first error of the BLOB engines.
  virtual TnxResult sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                    std::int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) = 0;
  virtual TnxResult sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo,
                                           TnxBlobNr aBlobNr, std::int32_t aDestFieldNo, TnxBlobNr aDestBlobNr,
                                           std::int64_t aMaxLength);
  virtual TnxResult sbcTableStreamGetList(platform::TStringList& aStreams, bool aInternal);
  virtual TnxResult sbcTableStreamWrite(const nxString& aName, TStream& aStream, bool aInternal);
  virtual TnxResult sbcTableStreamRead(const nxString& aName, TStream& aStream, bool aInternal);
  virtual TnxResult sbcTableStreamDelete(const nxString& aName, bool aInternal);
  // lpNotAtAll unless a concrete cursor knows better.
  virtual TnxLockPresent sbcTableIsLocked(TnxLockType aLockType);
  virtual TnxResult sbcTableLockAcquire(TnxLockType aLockType);
  virtual TnxResult sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks);
  // The root table's password as given at open.
  virtual nxString sbcExtractPassword() = 0;
  virtual TnxAbstractCursor* sbcRegisterInResultSetCache() { return nullptr; }

  // ---- What the server layer fills in.
  // The handler of the table's defaults made with the cursor; nil when none.
  virtual TnxDefaultValueHandler* sbcDefaultValueHandler() { return sbcServerDefaults; }
  // The transaction context of the cursor's database (nil: none).
  virtual TnxAbstractTransContext* sbcTransContext() { return sbcTransContextObject; }
  // The transaction running on the context; nil when none.
  virtual TnxBaseTransaction* GetActiveTrans() { return nullptr; }
  // Starts a transaction (or level) on the context; 12289 without one.
  virtual TnxResult sbcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                        bool aNoMoreNested, bool aForceNested, bool aOverrideSecurity);
  virtual TnxResult sbcTransactionCommit();
  virtual TnxResult sbcTransactionRollback();
  // The running transaction's state set (empty without one).
  virtual TnxTransactionStates sbcActiveTransStates() { return {}; }
  virtual void sbcMarkActiveTransForBlobRead() {}
  // The calling thread is recovering a table: no handlers, no monitors.
  virtual bool sbcInRecoveryMode() { return false; }

  // ---- Support of the primitives.
  // Stores the replacement text (if any) as the pending message; answers
  // the read-only (write-only) code.
  TnxResult sbcReadOnlyError();
  TnxResult sbcWriteOnlyError();
  // The message of a failed record or table lock: the code's text, the
  // reason's lines, the table name; 10254 for a conflict within the
  // session. The reason is cleared.
  TnxResult sbcLockFailureError(TnxResult aErrorCode);
  // Asks the owner to close the cursor; True when the handler closed it.
  bool RequestClose() { return sbcRequestClose(); }
  // Makes the cursor read-only with aResult and, when given, aMessage in
  // place of the code's text.
  void sbcMarkReadonlyWith(TnxResult aResult, const nxString& aMessage);

  TnxValidationsHandler* ValidationsHandler() const { return sbcValidationsHandler; }
  bool IsSystemTable();
  bool IsReadOnly() const { return sbcIsReadOnly; }
  bool IsWriteOnly() const { return sbcIsWriteOnly; }
  TnxResult ReadOnlyResult() const { return sbcReadOnlyResult; }
  TnxInsertOptions InsertOptions() const { return sbcInsertOptions; }
  std::uint32_t FilterTimeout() const { return sbcFilterTimeout; }
  void SetFilterTimeout(std::uint32_t aValue) { sbcFilterTimeout = aValue; }
  std::int32_t ReadOrgOverride() const { return sbcReadOrgOverride; }
  TnxLockFailureReason* LockFailureReason() const { return sbcLockFailureReason; }
  TnxAbstractTaskInfo* TaskInfo() const { return sbcTaskInfo; }
  void SetTaskInfo(TnxAbstractTaskInfo* aTaskInfo) { sbcTaskInfo = aTaskInfo; }
  TnxBaseFilterEngine* Filter() const { return sbcFilter; }
  TnxBaseFilterEngine* KeyFilter() const { return sbcKeyFilter; }

 protected:
  // 12289 with "%s is not supported by %s" naming aOperation and the class.
  TnxResult sbcNotSupported(const char16_t* aOperation) const;
  // Steps 2 to 5 of the protocol around aWork; aConverts: std::exception
  // becomes the result.
  template <class Work>
  TnxResult sbcGuarded(bool aConverts, Work&& aWork);
  // The same inside a shared content lock.
  template <class Work>
  TnxResult sbcGuardedContent(Work&& aWork);
  // Construction steps 5 to 7 once the table is known: the server-side
  // default-value and validation handlers, the field set-up and the
  // BLOB-cancel capability.
  void sbcSetUpHandlers();
  // Frees the task information, the filters and the server handlers.
  void sbcFreeOwned() noexcept;

  TnxAbstractTransContext* sbcTransContextObject = nullptr;
  TnxOpenMode sbcOpenMode = omReadWrite;
  bool sbcIsReadOnly = false;
  TnxResult sbcReadOnlyResult = 10763;
  nxString sbcReadOnlyResultMessage;  // empty: the code's standard text
  bool sbcIsWriteOnly = false;
  TnxResult sbcWriteOnlyResult = 0;
  nxString sbcWriteOnlyResultMessage;
  TnxLockFailureReason* sbcLockFailureReason = nullptr;  // owned
  TnxInsertOptions sbcInsertOptions{ioSetDefault, ioSetAutoInc, ioValidate};
  std::int32_t sbcReadOrgOverride = 0;
  TnxDefaultValueHandler* sbcServerDefaults = nullptr;  // owned; apply-at aaServer
  bool sbcDefaultValueHandlerClientCreated = false;
  TnxDefaultValueHandler* sbcClientDefaults = nullptr;  // owned; apply-at aaClient
  TnxValidationsHandler* sbcValidationsHandler = nullptr;  // owned
  PnxRecordBuffer sbcRecordBuffer = nullptr;
  PnxRecordBuffer sbcRecordBuffer2 = nullptr;
  TnxAbstractTaskInfo* sbcTaskInfo = nullptr;  // not owned: stopped and detached when the cursor goes
  TnxBaseFilterEngine* sbcFilter = nullptr;    // owned
  std::uint32_t sbcFilterTimeout = 500;
  std::uint64_t sbcFilterUntil = 0;
  std::int32_t sbcFilterTimeoutLock = 0;
  TnxBaseFilterEngine* sbcKeyFilter = nullptr;  // owned

  // Filter IDs handed out: handles of the process's handle table, mapped
  // here to the engines of each chain.
  struct TnxFilterIDEntry {
    TnxFilterID id;
    TnxBaseFilterEngine* engine;
  };
  // 0 answers nil; an unknown ID answers false.
  bool sbcFilterFromID(TnxFilterID aID, bool aKey, TnxBaseFilterEngine*& aEngine) const;
  // Forgets the ID of aEngine (nil: every ID of the chain).
  void sbcFilterIDsDrop(bool aKey, TnxBaseFilterEngine* aEngine) noexcept;
  // Frees a whole chain with its IDs.
  void sbcFilterChainFree(bool aKey) noexcept;
  std::vector<TnxFilterIDEntry> sbcFilterIDs;
  std::vector<TnxFilterIDEntry> sbcKeyFilterIDs;
};

template <class Work>
TnxResult TnxServerBaseCursor::sbcGuarded(bool aConverts, Work&& aWork) {
  TnxGuardedCall call(*this);
  TnxResult result = 0;
  if (aConverts) {
    try {
      result = aWork();
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
  } else {
    result = aWork();
  }
  return call.Finish(result);
}

template <class Work>
TnxResult TnxServerBaseCursor::sbcGuardedContent(Work&& aWork) {
  return sbcGuarded(true, [&]() -> TnxResult {
    const TnxResult begun = sbcBeginContentLock(false, false, false);
    if (begun != 0) return begun;
    struct End {
      TnxServerBaseCursor* cursor;
      ~End() { cursor->sbcEndContentLock(); }
    } end{this};
    return aWork();
  });
}

// Pieces in which sbcBlobCopyPrim moves BLOB content.
inline constexpr std::uint32_t nxBlobCopyPieceSize = 1024 * 1024;

// aCursor as a server cursor; nil stays nil; another kind of cursor raises
// platform::ConvertError "Invalid class typecast".
TnxServerBaseCursor* nxAsServerCursor(TnxAbstractCursor* aCursor);
// aCursor as a server cursor, or nil when it is of another kind.
TnxServerBaseCursor* nxTryServerCursor(TnxAbstractCursor* aCursor);

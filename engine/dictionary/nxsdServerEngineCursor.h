// The abstract cursor: an open table or result set of a database through
// which clients read and change records, BLOBs and named streams. Part of
// nxsdServerEngine: include nxsdServerEngine.h, not this header.
//
// Contracts:
// - Abstract operations are the implementing engine's; each public one runs
//   in the guarded call around the engine's own primitive.
// - The base does itself: record buffers, cursor options, the filter
//   conveniences that build descriptors, the snapshot BLOB read (following
//   renumbered BLOBs), BlobReplace, BLOB batch replies, the BLOB marking,
//   GetBlobs and variant access to fields including BLOB fields.
// - Life: the cursor is in its database's cursor list (under the database's
//   cursor padlock) from construction to destruction and counted by the
//   engine in between. When its destruction leaves an auto-free database
//   without cursors, the database goes with it.
// - Thread safety: a cursor shares its session's lock; calls of one session
//   are serialised by it. BlobRead and BlobGetLength take the lock without
//   the nesting hooks, so they may run inside another guarded call of the
//   same thread.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineBase.h"

class TnxAbstractDatabase;
class TnxAbstractCursor;
class TnxAbstractRemoteCursor;
class TnxBatchStreamAccess;
class TnxMemoryStream;
class TnxAbstractTaskInfo;

// Writes field values through a fields source (filters that set values).
class InxFieldsAccess : public InxFieldsSource {
 public:
  static constexpr platform::Guid IID{0x3E0C5B7A, 0x9A41, 0x4D2E, {0x8F, 0x17, 0x2B, 0x6C, 0x4E, 0x90, 0xD3, 0x51}};
  virtual void SetFieldAsVariant(void* aRecordBuffer, std::int32_t aIndex, const platform::Variant& aValue) = 0;

 protected:
  ~InxFieldsAccess() = default;
};

enum TnxCompareResult : std::int8_t { crLess = -1, crEqual = 0, crGreater = 1 };

class TnxAbstractCursor : public TnxAbstractTimeoutObject, public InxFieldsAccess {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractDatabase;

 public:
  // Shares the database's session lock and joins its cursor list.
  TnxAbstractCursor(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout);
  ~TnxAbstractCursor() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  // InxFieldsSource / InxFieldsAccess (not counted: the cursor's owner
  // decides its life).
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue, std::uint16_t& aCodePage) override;
  platform::Variant GetFieldAsVariant(const void* aRecordBuffer, std::int32_t aIndex) override {
    return GetFieldAsVariantSelf(aRecordBuffer, aIndex);
  }
  bool BlobsSupported() override { return true; }
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override;
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  platform::TObject* GetCursor() override { return this; }
  std::int32_t GetFieldsOffset() override { return 0; }
  void SetFieldAsVariant(void* aRecordBuffer, std::int32_t aIndex, const platform::Variant& aValue) override {
    SetFieldAsVariantSelf(aRecordBuffer, aIndex, aValue);
  }

  // "<Cursor>" with the rest on itself, "<Database>" with the rest on the
  // database; others inherited.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  // Inherited, then "Database".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  // ---- Table access and record buffers
  virtual TnxDataDictionary* Get_Dictionary() = 0;
  virtual TnxBaseTableDescriptor* GetTableDescriptor() = 0;
  virtual nxString acGetFullName() = 0;
  virtual nxString acGetAliasName() { return nxString(); }
  // Raises on a value the field cannot take or a failing BLOB operation.
  virtual void SetFieldAsVariantSelf(void* aBuffer, std::int32_t aField, const platform::Variant& aValue);
  virtual bool acSnapshotRequiredForBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                             bool aReadOrg);
  virtual TnxResult acTransactionStartForBlobReadSnapshoted();
  virtual TnxResult acTransactionRollbackForBlobReadSnapshoted();
  // Layout records from the table descriptor.
  virtual void acInitFieldsInfo();
  virtual TnxResult SavePath();
  virtual TnxResult RestorePath();
  // The base raises 12289; a cursor that can nest transactions returns.
  virtual void RequestNestedTransactions();
  // RL + 4 bytes of engine memory, cleared as a record.
  virtual PnxRecordBuffer RecordBufferAlloc();
  virtual void RecordBufferFree(PnxRecordBuffer aBuffer);
  virtual void RecordBufferClear(PnxRecordBuffer aBuffer);

  // ---- Positioning, bookmarks, record numbers
  virtual TnxResult SetToBegin() = 0;
  virtual TnxResult SetToCursor(TnxAbstractCursor* aCursor) = 0;
  virtual TnxResult SetToEnd() = 0;
  virtual TnxResult SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                                bool aForward) = 0;
  virtual TnxResult sbcGetBookmarkSize(std::int32_t& aSize) = 0;
  virtual TnxResult GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) = 0;
  virtual TnxResult GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize);
  virtual TnxResult CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                     TnxCompareResult& aCompResult) = 0;
  virtual TnxResult SetToBookmark(const void* aBookmark, std::int32_t aSize) = 0;
  virtual TnxResult SetToCacheBookmark(const void* aBookmark, std::int32_t aSize);
  virtual TnxResult BookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant) = 0;
  virtual TnxResult BookmarkCheckLocal(const void* aBookmark, std::int32_t aSize);
  virtual TnxResult RecNoSupported() = 0;
  virtual TnxResult RecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual TnxResult RecNoSet(std::uint32_t aRecNo, bool aFlipOrder) = 0;

  // ---- Records and auto-increment
  virtual TnxResult RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, std::int64_t* aAutoInc) = 0;
  virtual TnxResult RecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) = 0;
  virtual TnxResult RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) = 0;
  virtual TnxResult RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) = 0;
  virtual TnxResult RecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  virtual TnxResult AutoIncGet(std::uint32_t& aValue, bool aAllowCached) = 0;
  virtual TnxResult AutoIncSet(std::uint32_t aValue) = 0;

  // ---- Record filters
  // A simple-expression descriptor over the thread's ANSI code page, handed
  // to FilterAddCustom.
  virtual TnxResult FilterAddExpression(const void* aExpression, TnxFilterID& aFilterID, bool aActivated);
  virtual TnxResult FilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxFilterID& aFilterID,
                                      bool aActivated);
  // The descriptor stays the caller's; the cursor keeps what it needs.
  virtual TnxResult FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) = 0;
  virtual TnxResult FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                                        bool aIgnoreDropError) = 0;
  virtual TnxResult FilterSetTimeout(std::uint32_t aTimeout) = 0;
  virtual TnxResult FilterActivate(TnxFilterID aFilterID) = 0;
  virtual TnxResult FilterDeactivate(TnxFilterID aFilterID) = 0;
  virtual TnxResult FilterRemove(TnxFilterID aFilterID) = 0;
  virtual bool HasActiveLocalFilter() { return false; }
  virtual void FilterBeginTimeout() {}
  virtual bool FilterMatchesBuffer(const void* /*aBuffer*/) { return true; }

  // ---- Indexes, keys, ranges and key filters
  virtual TnxResult SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) = 0;
  virtual TnxResult GetIndexID(std::int32_t& aIndexID) = 0;
  virtual TnxResult SetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                             bool aDirectKey, const void* aKeyData) = 0;
  virtual TnxResult RecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey,
                                    const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                    bool aFirstCall) = 0;
  virtual TnxResult RecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                         TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys,
                                         bool aMatchFirst, bool aFirstCall) = 0;
  virtual TnxResult RangeReset() = 0;
  virtual TnxResult RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1,
                             const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2,
                             std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                             bool aKeyIncl2) = 0;
  virtual TnxResult CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                                const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                std::int32_t& aResult) = 0;
  virtual TnxResult BuildKey(const void* aRecord, PnxKeyBuffer aKey, bool aIgnoreFilter);
  virtual TnxResult KeyToRecord(const void* aKey, PnxRecordBuffer aRecord);
  virtual TnxResult KeyFilterAddExpression(const void* aExpression, TnxKeyFilterID& aKeyFilterID);
  virtual TnxResult KeyFilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxKeyFilterID& aKeyFilterID);
  virtual TnxResult KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) = 0;
  virtual TnxResult KeyFilterActivate(TnxKeyFilterID aKeyFilterID) = 0;
  virtual TnxResult KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) = 0;
  virtual TnxResult KeyFilterRemove(TnxKeyFilterID aKeyFilterID) = 0;

  // ---- Batches and bulk operations
  // aAccess is created when nil.
  virtual TnxResult RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                   TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) = 0;
  virtual TnxResult RecordInsertBatch(TnxMemoryStream* aStream) = 0;
  virtual TnxResult CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                std::uint32_t aMaxTransSize) = 0;
  virtual TnxResult CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                  std::uint32_t aMaxTransSize, bool aCheckValFields) = 0;
  virtual TnxResult DeleteRecords() = 0;

  // ---- BLOBs
  virtual TnxResult BlobsCancel(TnxRefNr aRefNr) = 0;
  virtual TnxResult BlobBatchProcess(const TnxBlobBatchRequest& aRequest, PnxBlobBatchReply& aReply);
  // One entry per reply entry; the last non-zero entry result.
  virtual TnxResult BlobBatchApply(PnxRecordBuffer aData, const TnxBlobBatchRequest& aRequest,
                                   const TnxBlobBatchReply* aReply);
  virtual TnxResult BlobBatchEntryApply(PnxRecordBuffer aData, const TnxRecID& aRecID,
                                        const TnxBlobBatchRequestEntry& aRequest,
                                        const TnxBlobBatchReplyEntry& aReply);
  virtual TnxResult BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult BlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                                   TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual TnxResult BlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  // The session lock around sbcBlobRead (no nesting hooks, no conversion).
  virtual TnxResult BlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                             std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                             PnxNewBlobNr aNewBlobNr);
  // 13058 with aNewBlobNr set: retry with the new number.
  virtual TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                                PnxNewBlobNr aNewBlobNr) = 0;
  // One consistent version over several calls: brssRequestStart may start
  // a snapshot transaction that the call reaching the end rolls back. A
  // failed or closed state answers 9986.
  virtual TnxResult BlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                       std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                                       TnxBlobReadSnapshotState& aSnapshot, std::uint32_t* aBlobLen,
                                       PnxNewBlobNr aNewBlobNr);
  // Follows renumbered BLOBs (13058 with a different new number).
  virtual TnxResult sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                                          bool aReadOrg, std::uint32_t* aBlobLen, PnxNewBlobNr aNewBlobNr);
  virtual TnxResult BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                              std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) = 0;
  // Guarded: aLen > 0 truncates (or creates) then writes; 0 truncates.
  virtual TnxResult BlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                std::uint32_t aLen, const void* aBlob);
  virtual TnxResult BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                 std::uint32_t aBlobLength) = 0;
  virtual TnxResult BlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                  std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr);
  virtual TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                     std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) = 0;
  virtual TnxResult BlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                 bool& aModified) = 0;
  virtual TnxResult BlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   std::uint32_t aLen, const void* aBlob);
  // 9986 for a non-empty array too short for the BLOB fields; an array
  // without a set bit clears the marking.
  virtual TnxResult BlobsSetMarked(const TnxMarkedBlobsByBlobIdx& aMarkedBlobs);

  // ---- Table streams, locks, duplicates, counts, caches
  virtual TnxResult TableStreamGetList(platform::TStringList& aStreams) = 0;
  virtual TnxResult TableStreamWrite(const nxString& aName, TStream& aStream) = 0;
  virtual TnxResult TableStreamRead(const nxString& aName, TStream& aStream) = 0;
  virtual TnxResult TableStreamDelete(const nxString& aName) = 0;
  virtual TnxResult TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) = 0;
  virtual TnxResult TableLockAcquire(TnxLockType aLockType) = 0;
  virtual TnxResult TableLockRelease(TnxLockType aLockType, bool aAllLocks) = 0;
  virtual TnxResult Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) = 0;
  virtual TnxResult ChangePassword(const nxString& aNewPassword) = 0;
  virtual TnxResult GetRecordCount(std::uint32_t& aRecCount, bool aEstimate) = 0;
  virtual TnxResult GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult GetRecordCountEx(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) = 0;
  virtual TnxResult GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual bool GetNextLSN(TnxLSN& /*aLSN*/) { return false; }
  // aBlobCount: capacity in, numbers stored out; 9985 past the capacity.
  virtual TnxResult GetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs);
  // 8709 when both are 0; else not supported.
  virtual TnxResult ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr);
  virtual TnxResult GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, std::int32_t aMaxCount,
                                      TnxLSN* aCurrentLSN);

  // ---- Non-virtual
  bool AddCursorOption(TnxAbstractCursorOption aOption);
  bool RemoveCursorOption(TnxAbstractCursorOption aOption);
  bool AddCursorOptions(TnxAbstractCursorOptions aOptions);
  bool RemoveCursorOptions(TnxAbstractCursorOptions aOptions);
  bool HasAnyCursorOptions(TnxAbstractCursorOptions aOptions) const;
  bool HasAllCursorOptions(TnxAbstractCursorOptions aOptions) const;
  // From the reference-number and insert-LSN fields; zeros for nil or a
  // layout without them.
  TnxRecID acGetRecID(const void* aBuffer);
  TnxResult ExtractCacheInfo(const void* aData, TnxRecordCacheInfo& aCacheInfo);
  TnxResult ContainsCacheInfo(const TnxRecordCacheInfo& aCacheInfo);
  // Empty on failure.
  TnxResult GetBlobs(const void* aData, bool aMarkedOnly, TnxBlobNrs& aBlobNrs);
  // aStream nil: a new one; the access owns it either way.
  TnxBatchStreamAccess* CreateBatchStreamAccess(TnxMemoryStream* aStream, TnxRecordGetBatchExOptions aOptions);
  // Reads inside the nesting hooks; BLOB fields through the BLOB reads.
  platform::Variant GetFieldAsVariantSelf(const void* aBuffer, std::int32_t aField);

  // Key-or-record forms.
  TnxResult SetToKeyWithKey(TnxSearchKeyAction aAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                            const void* aKey) {
    return SetToKey(aAction, aFieldCount, aPartialLen, true, aKey);
  }
  TnxResult SetToKeyWithRecord(TnxSearchKeyAction aAction, std::int32_t aFieldCount, std::int32_t aPartialLen,
                               const void* aRecord) {
    return SetToKey(aAction, aFieldCount, aPartialLen, false, aRecord);
  }
  TnxResult RecordGetForKeyWithKey(std::int32_t aFieldCount, std::int32_t aPartialLen, const void* aKey,
                                   PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, true, aKey, aData, aMatchFirst, aFirstCall);
  }
  TnxResult RecordGetForKeyWithRecord(std::int32_t aFieldCount, std::int32_t aPartialLen, const void* aRecord,
                                      PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, false, aRecord, aData, aMatchFirst, aFirstCall);
  }
  TnxResult RangeSetKeyKey(std::int32_t aFieldCount1, std::int32_t aPartialLen1, const void* aKey1, bool aKeyIncl1,
                           std::int32_t aFieldCount2, std::int32_t aPartialLen2, const void* aKey2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, true, aKey1, aKeyIncl1, aFieldCount2, aPartialLen2, true, aKey2,
                    aKeyIncl2);
  }
  TnxResult RangeSetRecordRecord(std::int32_t aFieldCount1, std::int32_t aPartialLen1, const void* aRecord1,
                                 bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2,
                                 const void* aRecord2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, false, aRecord1, aKeyIncl1, aFieldCount2, aPartialLen2, false,
                    aRecord2, aKeyIncl2);
  }
  TnxResult RangeSetKeyRecord(std::int32_t aFieldCount1, std::int32_t aPartialLen1, const void* aKey1, bool aKeyIncl1,
                              std::int32_t aFieldCount2, std::int32_t aPartialLen2, const void* aRecord2,
                              bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, true, aKey1, aKeyIncl1, aFieldCount2, aPartialLen2, false, aRecord2,
                    aKeyIncl2);
  }
  TnxResult RangeSetRecordKey(std::int32_t aFieldCount1, std::int32_t aPartialLen1, const void* aRecord1,
                              bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, const void* aKey2,
                              bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, false, aRecord1, aKeyIncl1, aFieldCount2, aPartialLen2, true, aKey2,
                    aKeyIncl2);
  }

  TnxFieldsDescriptor* FieldsDescriptor();
  TnxSpecialFieldsInfo* SFI() const { return acSFI; }
  TnxDiffCompressorInfo* DCI();
  TnxAbstractDatabase* Database() const { return acDatabase; }
  TnxAbstractCursor* DatabasePrev() const { return acDatabasePrev; }
  TnxAbstractCursor* DatabaseNext() const { return acDatabaseNext; }
  TnxAbstractCursorOptions CursorOptions() const { return acOptions; }
  void SetCursorOptions(TnxAbstractCursorOptions aValue) { acOptions = aValue; }
  TnxAbstractCursorCapabilities Capabilities() const { return acCapabilities; }
  TnxAbstractCursorStates States() const { return acStates; }
  bool IsCache() const { return acStates.contains(acsIsCache); }
  const TnxMarkedBlobsByBlobIdx& MarkedBlobs() const { return acMarkedBlobs; }
  std::uint32_t RecordLength() const { return acRecordLength; }
  nxString FullName() { return acGetFullName(); }
  nxString AliasName() { return acGetAliasName(); }

  bool IsResultSet = false;
  bool IsUnnamed = false;

 protected:

  TnxAbstractDatabase* acDatabase = nullptr;
  TnxAbstractCursor* acDatabasePrev = nullptr;
  TnxAbstractCursor* acDatabaseNext = nullptr;
  TnxFieldsDescriptor* acFieldsDescriptor = nullptr;
  PnxCacheableInfo acCacheableInfo = nullptr;  // counted
  PnxSpecialFieldsInfo acSFI = nullptr;        // counted
  PnxDiffCompressorInfo acDCI = nullptr;       // counted
  TnxMarkedBlobsByBlobIdx acMarkedBlobs;
  std::uint32_t acRecordLength = 0;
  TnxAbstractCursorOptions acOptions{};
  TnxAbstractCursorCapabilities acCapabilities{};
  TnxAbstractCursorStates acStates{};

 private:
  bool acLinked = false;
};

// A cursor that may stand behind a remote (caching) cursor.
class TnxAbstractServerCursor : public TnxAbstractCursor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractCursor::TnxAbstractCursor;
  virtual TnxResult ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) = 0;
  virtual TnxResult ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           TnxBlobNr* aNewBlobNr) = 0;
  // The remote cursor's rcCacheBlob; 12289 without one.
  TnxResult ascBlobRequestCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr);

 protected:
  TnxAbstractRemoteCursor* ascRemoteCursor = nullptr;
};

// The client side of a caching transport; nothing here implements it.
class TnxAbstractRemoteCursor : public TnxAbstractCursor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractCursor::TnxAbstractCursor;
  virtual TnxResult rcCacheBlob(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                PnxNewBlobNr aNewBlobNr) = 0;
};

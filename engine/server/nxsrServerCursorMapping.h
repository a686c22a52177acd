// The mapping cursor: another server cursor (the inner cursor, normally a
// table cursor) presented under a different record layout (the outer one).
// Records read are translated out, records written are translated in, by a
// mapping handler that the SQL layer supplies for live query results.
//
// Ownership: the mapping cursor owns its handler and, unless smcKeepCursor,
// its inner cursor.
// Thread safety: both cursors belong to one database and share its session
// lock; the public wrapper of the mapping cursor holds it, so the inner
// primitives are called directly, without deadline or lock of their own.
// smcRecordBufferInner / smcRecordBufferOuter are used only under that lock.
// Index: construction chooses one inner index; the outer layout then has
// exactly that index as number 0 and bookmarks carry index ID 0.
#pragma once

#include <cstdint>

#include "nxsdFilterEngineBase.h"
#include "nxsdServerBaseCursor.h"
#include "nxsrSubEngineBase.h"

class TnxServerMappingCursor;

// The translation between the outer layout (bmhDictionary,
// bmhTableDescriptor) and the inner cursor's layout.
class TnxBaseMappingHandler : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Takes ownership of aDictionary; the table descriptor is the dictionary.
  explicit TnxBaseMappingHandler(TnxDataDictionary* aDictionary);
  ~TnxBaseMappingHandler() override;
  TnxBaseMappingHandler(const TnxBaseMappingHandler&) = delete;
  TnxBaseMappingHandler& operator=(const TnxBaseMappingHandler&) = delete;

  virtual void Initialize(TnxServerMappingCursor* aMappingCursor) { bmhMappingCursor = aMappingCursor; }
  // Negative when the field has no counterpart.
  virtual std::int32_t MapFieldNoIn(std::int32_t aFieldNo) = 0;
  virtual std::int32_t MapFieldNoOut(std::int32_t aFieldNo) = 0;
  // Writes only the mapped fields of the inner record aTarget.
  virtual TnxResult MapRecordIn(const void* aSource, void* aTarget) = 0;
  virtual TnxResult MapRecordOut(const void* aSource, void* aTarget) = 0;

  TnxDataDictionary* bmhDictionary;           // owned
  TnxBaseTableDescriptor* bmhTableDescriptor;  // the dictionary
  TnxServerMappingCursor* bmhMappingCursor = nullptr;
};

NX_DECLARE_EXCEPTION(EnxMappingFilterEngine, EnxBaseFilterEngineException)

// Lets the inner cursor apply a filter written for the outer layout: each
// inner record is translated out and handed to the outer filter engine
// found at mfFilter (for example the mapping cursor's own record filter).
// It lives in the inner cursor's record filter chain.
class TnxMappingFilterEngine : public TnxBaseFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxMappingFilterEngine(TnxServerMappingCursor* aMappingCursor, TnxBaseFilterEngine** aFilter);
  ~TnxMappingFilterEngine() override;
  TnxMappingFilterEngine(const TnxMappingFilterEngine&) = delete;
  TnxMappingFilterEngine& operator=(const TnxMappingFilterEngine&) = delete;

  // As the outer filter answers; false without one.
  bool GetActive() override;
  bool IsEvalLocal() override;
  bool IsEvalRemote() override;
  // True without an active outer filter.
  bool MatchesBuffer(const void* aBuffer) override;
  TnxBaseFilterEngine* Duplicate(const TnxIntfPtr<InxFieldsSource>&) override { return nullptr; }
  // Raises 12289: no descriptor describes a translation.
  TnxBaseFilterDescriptor* CreateDescriptor() override;
  // The mapping cursor goes while the inner cursor stays: every record
  // passes from now on.
  void Detach() noexcept {
    mfMappingCursor = nullptr;
    mfFilter = nullptr;
  }

 private:
  TnxBaseFilterEngine* OuterFilter() const { return mfFilter ? *mfFilter : nullptr; }

  TnxServerMappingCursor* mfMappingCursor;
  TnxBaseFilterEngine** mfFilter;
  PnxRecordBuffer mfTempRecord = nullptr;  // owned; outer record length + 4
};

class TnxServerMappingCursor : public TnxServerBaseCursor {
  PL_CLASS_INFO_DECL()
 public:
  // Takes ownership of both.
  TnxServerMappingCursor(TnxServerBaseCursor* aCursor, TnxBaseMappingHandler* aMapper);
  ~TnxServerMappingCursor() override;
  TnxServerMappingCursor(const TnxServerMappingCursor&) = delete;
  TnxServerMappingCursor& operator=(const TnxServerMappingCursor&) = delete;

  void PrepareDestroy() override;

  TnxDataDictionary* Get_Dictionary() override { return smcMappingHandler->bmhDictionary; }
  TnxBaseTableDescriptor* GetTableDescriptor() override { return smcMappingHandler->bmhTableDescriptor; }
  nxString acGetFullName() override { return smcCursor->acGetFullName(); }
  nxString sbcGetRootName() override { return smcCursor->sbcGetRootName(); }
  TnxIndexPathPosition sbcGetPosition() override { return smcCursor->sbcGetPosition(); }

  // ---- Records, translated.
  TnxResult sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  TnxResult sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                            std::int64_t* aAutoInc) override;
  // A record difference is refused (9986).
  TnxResult sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) override;
  TnxResult sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  TnxResult sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) override;

  // ---- Bookmarks: the inner ones with the index ID exchanged.
  TnxResult sbcGetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult sbcSetToBookmark(const void* aBookmark, std::int32_t aSize, bool aIsCache) override;
  TnxResult sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                TnxCompareResult& aCompResult) override;

  // ---- The index and the layout.
  TnxResult sbcGetIndexID(std::int32_t& aIndexID) override;
  // 0 for an empty name or number -1; anything else 12289.
  TnxResult sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  TnxResult sbcRangeReset() override { return 0; }
  // The filter wrapped in a mapping filter for the call.
  TnxResult sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aForward) override;
  // The inner walk; each record goes to aRecIterator translated out into
  // the record *aData points at (smcRecordBufferOuter when nil).
  TnxResult sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                       const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                       bool aKeepPosition) override;
  void sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) override;
  // The outer field only: 9999 for a bad number, 10009 for a taken name.
  TnxResult sbcRenameField(std::int32_t aFieldNo, const nxString& aNewName) override;
  bool sacHasKey(std::int32_t, platform::Variant&) override { return false; }

  // ---- Refused: 12289.
  TnxResult sbcCompareKeys(std::int32_t, std::int32_t, bool, const void*, bool, const void*,
                           std::int32_t&) override;
  TnxResult sbcCopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t, bool) override;
  TnxResult sbcDuplicate(TnxOpenMode, TnxAbstractCursor*&, bool) override;
  TnxResult sbcRangeSet(std::int32_t, std::int32_t, bool, const void*, bool, std::int32_t, std::int32_t, bool,
                        const void*, bool) override;
  TnxResult sbcRecordGetForKey(std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer, bool, bool) override;
  TnxResult sbcRecordGetForKeyBatch(std::int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
                                    const TnxDataSetKeyBufferArray&, bool, bool) override;
  TnxResult sbcRecordInsertBatch(TnxMemoryStream*) override;
  TnxResult sbcSetToKey(TnxSearchKeyAction, std::int32_t, std::int32_t, bool, const void*) override;
  TnxResult GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*&) override;

  // ---- The inner cursor's, unchanged.
  TnxResult sbcSetToBegin() override { return smcCursor->sbcSetToBegin(); }
  TnxResult sbcSetToEnd() override { return smcCursor->sbcSetToEnd(); }
  TnxResult sbcGetBookmarkSize(std::int32_t& aSize) override { return smcCursor->sbcGetBookmarkSize(aSize); }
  TnxResult sbcRecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) override {
    return smcCursor->sbcRecNoGet(aRecNo, aFlipOrder);
  }
  TnxResult sbcRecNoSet(std::uint32_t aRecNo, bool aFlipOrder) override {
    return smcCursor->sbcRecNoSet(aRecNo, aFlipOrder);
  }
  TnxResult sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) override {
    return smcCursor->sbcGetRecordCount(aOption, aRecCount, aEstimate);
  }
  TnxResult sbcRecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override {
    return smcCursor->sbcRecordIsLocked(aLockType, aLockPresent);
  }
  TnxResult sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) override {
    return smcCursor->sbcRecordLockRelease(aAllLocks, aCancelBlobs);
  }
  TnxLockPresent sbcTableIsLocked(TnxLockType aLockType) override { return smcCursor->sbcTableIsLocked(aLockType); }
  TnxResult sbcTableLockAcquire(TnxLockType aLockType) override { return smcCursor->sbcTableLockAcquire(aLockType); }
  TnxResult sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks) override {
    return smcCursor->sbcTableLockRelease(aLockType, aAllLocks);
  }
  TnxResult sbcAutoIncGet(std::uint32_t& aValue) override { return smcCursor->sbcAutoIncGet(aValue); }
  TnxResult sbcAutoIncSet(std::uint32_t aValue) override { return smcCursor->sbcAutoIncSet(aValue); }
  void sbcAutoIncSetDirect(std::uint32_t aValue) override { smcCursor->sbcAutoIncSetDirect(aValue); }
  TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override {
    return smcCursor->sbcBeginContentLock(aExclusive, aConditional, aInternal);
  }
  void sbcEndContentLock() override { smcCursor->sbcEndContentLock(); }
  TnxResult sbcCheckTransactionState() override { return smcCursor->sbcCheckTransactionState(); }
  TnxResult sbcChangePassword(const nxString& aNewPassword) override {
    return smcCursor->sbcChangePassword(aNewPassword);
  }
  nxString sbcExtractPassword() override { return smcCursor->sbcExtractPassword(); }
  TnxResult sbcSetToCursor(TnxAbstractCursor* aCursor) override { return smcCursor->sbcSetToCursor(aCursor); }
  TnxResult sbcDeleteRecords() override { return smcCursor->sbcDeleteRecords(); }
  TnxRefNr sacGetRefNr() override { return smcCursor->sacGetRefNr(); }
  void sacSetRefNr(TnxRefNr aRefNr) override { smcCursor->sacSetRefNr(aRefNr); }
  void sbcBeginReadOrgOverride() override;
  void sbcEndReadOrgOverride() override;

  // ---- BLOBs: the outer field number translated.
  TnxResult sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                              TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aTableName,
                              TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  TnxResult sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult sbcBlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                             std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  // The name output is emptied first.
  bool sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                     TnxBlobNr& aSrcTableBlobNr) override;
  TnxResult sbcBlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            bool& aModified) override;
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                        std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                  std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                                  std::uint32_t* aBlobLen, PnxNewBlobNr aNewBlobNr) override;
  TnxResult sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                           const void* aBlob) override;
  TnxResult sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                            std::uint32_t aBlobLength) override;
  TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                         std::uint32_t aLen, const void* aBlob) override;
  TnxResult sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                   std::int32_t aDestFieldNo, TnxBlobNr aDestBlobNr,
                                   std::int64_t aMaxLength) override;
  TnxResult ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   TnxBlobNr* aNewBlobNr) override;
  // The output is emptied first.
  TnxResult ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) override;
  TnxResult sbcBlobsCancel(TnxRefNr aRefNr) override { return smcCursor->sbcBlobsCancel(aRefNr); }
  // From the inner cursor itself: the same BLOB number, nothing copied.
  TnxResult sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                            std::int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) override;

  TnxServerBaseCursor* InnerCursor() const { return smcCursor; }
  TnxBaseMappingHandler* MappingHandler() const { return smcMappingHandler; }
  std::int32_t InnerIndexID() const { return smcInnerIndexID; }
  bool smcKeepCursor = false;

 private:
  void smcChooseIndex();
  bool smcTryIndex(std::int32_t aIndex);
  bool smcQualifies(TnxIndexDescriptor* aIndex);
  void smcBuildOuterDescriptor();
  // A translated read: the inner primitive into smcRecordBufferInner, then
  // out into aData.
  template <class Read>
  TnxResult smcReadOut(PnxRecordBuffer aData, Read&& aRead);
  void smcFreeOwned() noexcept;
  // Whether the inner record filter chain still holds smcFilterEngine.
  bool smcFilterEngineInChain(TnxBaseFilterEngine* aChain) const;

  TnxPadlock* smcPadLock = nullptr;  // owned
  TnxServerBaseCursor* smcCursor;
  TnxBaseMappingHandler* smcMappingHandler;
  PnxRecordBuffer smcRecordBufferInner = nullptr;
  PnxRecordBuffer smcRecordBufferOuter = nullptr;
  std::int32_t smcInnerIndexID = -1;
  std::int32_t smcOuterIndexID = -1;
  TnxBaseKeyEngine* smcKeyEngine = nullptr;                // owned
  TnxBookmarkHandler* smcBookmarkHandler = nullptr;        // owned
  std::uint8_t* smcBookmarkBuffer = nullptr;               // owned
  // In the inner cursor's record filter chain, which owns it.
  TnxMappingFilterEngine* smcFilterEngine = nullptr;
};

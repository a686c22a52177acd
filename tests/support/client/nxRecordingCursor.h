// A test wrapper around an engine cursor: every call is forwarded to the
// wrapped cursor and logged with its result and the cursor options in force
// at the call; changes of the options (the dataset's hints) are logged before
// the call that follows them. A result code can be injected in place of the
// next calls of one operation.
// Thread safety: one thread uses a wrapper at a time (as its dataset).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "nxsdServerEngine.h"

struct TnxRecordedCall {
  std::string name;
  TnxAbstractCursorOptions options;
  TnxResult result = 0;
  bool injected = false;
};

class TnxRecordingCursor : public TnxAbstractCursor {
  PL_CLASS_INFO_DECL()
 public:
  // Owns aInner; joins aInner's database.
  explicit TnxRecordingCursor(TnxAbstractCursor* aInner);
  TnxRecordingCursor(const TnxRecordingCursor&) = delete;
  TnxRecordingCursor& operator=(const TnxRecordingCursor&) = delete;
  void afterConstruction() override;
  void beforeDestruction() override;

  TnxAbstractCursor* Inner() const { return rcInner; }
  // Calls ("RecordGetNext") and option changes ("+acoFlipOrder",
  // "-acoFlipOrder") in order, option changes made since the last call
  // included.
  std::vector<std::string> Log();
  // The calls only, with their options and results.
  const std::vector<TnxRecordedCall>& Calls() const { return rcCalls; }
  void ClearLog();
  // How often aName was called since the log was cleared.
  int CountOf(const std::string& aName) const;
  // The next aCount calls of aName answer aResult without reaching the
  // wrapped cursor.
  void Inject(const std::string& aName, TnxResult aResult, int aCount = 1);

  void SetTimeout(TnxWord32 aValue) override;

  TnxDataDictionary* Get_Dictionary() override;
  TnxBaseTableDescriptor* GetTableDescriptor() override;
  nxString acGetFullName() override;
  TnxResult SetToBegin() override;
  TnxResult SetToCursor(TnxAbstractCursor* aCursor) override;
  TnxResult SetToEnd() override;
  TnxResult SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter, bool aForward) override;
  TnxResult sbcGetBookmarkSize(std::int32_t& aSize) override;
  TnxResult GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize, TnxCompareResult& aCompResult) override;
  TnxResult SetToBookmark(const void* aBookmark, std::int32_t aSize) override;
  TnxResult BookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant) override;
  TnxResult RecNoSupported() override;
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
  TnxResult FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated, bool aIgnoreDropError) override;
  TnxResult FilterSetTimeout(std::uint32_t aTimeout) override;
  TnxResult FilterActivate(TnxFilterID aFilterID) override;
  TnxResult FilterDeactivate(TnxFilterID aFilterID) override;
  TnxResult FilterRemove(TnxFilterID aFilterID) override;
  TnxResult SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  TnxResult GetIndexID(std::int32_t& aIndexID) override;
  TnxResult SetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData) override;
  TnxResult RecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) override;
  TnxResult RecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst, bool aFirstCall) override;
  TnxResult RangeReset() override;
  TnxResult RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2, bool aKeyIncl2) override;
  TnxResult CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1, bool aDirectKey2, const void* aKeyData2, std::int32_t& aResult) override;
  TnxResult KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) override;
  TnxResult KeyFilterActivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) override;
  TnxResult KeyFilterRemove(TnxKeyFilterID aKeyFilterID) override;
  TnxResult RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) override;
  TnxResult RecordInsertBatch(TnxMemoryStream* aStream) override;
  TnxResult CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize) override;
  TnxResult CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize, bool aCheckValFields) override;
  TnxResult DeleteRecords() override;
  TnxResult BlobsCancel(TnxRefNr aRefNr) override;
  TnxResult BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName, TnxBlobNr& aBlobNr) override;
  TnxResult BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult BlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) override;
  TnxResult BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aBlobLength) override;
  TnxResult sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override;
  TnxResult BlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, bool& aModified) override;
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
  TnxResult GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) override;
  TnxResult GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) override;
  TnxResult SetToCacheBookmark(const void* aBookmark, std::int32_t aSize) override;
  TnxResult BookmarkCheckLocal(const void* aBookmark, std::int32_t aSize) override;
  TnxResult BuildKey(const void* aRecord, PnxKeyBuffer aKey, bool aIgnoreFilter) override;
  TnxResult KeyToRecord(const void* aKey, PnxRecordBuffer aRecord) override;
  TnxResult BlobsSetMarked(const TnxMarkedBlobsByBlobIdx& aMarkedBlobs) override;
  TnxResult ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override;
  TnxResult SavePath() override;
  TnxResult RestorePath() override;
  nxString acGetAliasName() override;
  bool GetNextLSN(TnxLSN& aLSN) override;

 private:
  // Logs the call (and pending option changes); True when a result is
  // injected for it (then in aInjected).
  bool rcEnter(const char* aName, TnxResult& aInjected);
  TnxResult rcLeave(TnxResult aResult);
  void rcNoteOptions();
  static TnxAbstractCursor* unwrapped(TnxAbstractCursor* aCursor);

  TnxAbstractCursor* rcInner;  // owned
  std::vector<TnxRecordedCall> rcCalls;
  std::vector<std::string> rcLog;
  TnxAbstractCursorOptions rcLoggedOptions;
  std::map<std::string, std::pair<TnxResult, int>> rcInjections;
};

// The name of a cursor option ("acoFlipOrder").
const char* nxCursorOptionName(TnxAbstractCursorOption aOption);

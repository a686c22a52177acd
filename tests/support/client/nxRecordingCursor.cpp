#include "nxRecordingCursor.h"

#include <algorithm>

PL_CLASS_INFO_IMPL(TnxRecordingCursor, TnxAbstractCursor, "TnxRecordingCursor", nullptr)

const char* nxCursorOptionName(TnxAbstractCursorOption aOption) {
  static const char* const names[nxAbstractCursorOptionCount] = {
      "acoChainedRecordGetUsesWriteLock",        "acoFailClientFilterFast",
      "acoFilterActionFollowedByFirst",          "acoFilterActionFollowedBySync",
      "acoFlipOrder",                            "acoLockReleaseFollowedByRecordGet",
      "acoPreCacheMarkedBlobs",                  "acoRangeResetFollowedBySync",
      "acoRangeSetFollowedByRecordGetNext",      "acoRangeSetFollowedBySetToBegin",
      "acoRecNoSetFollowedBySync",               "acoRecordDeleteFollowedBySync",
      "acoRecordGetFollowedByGetBookmark",       "acoRecordGetForKeyFollowedByRecordGet",
      "acoRecordInsertFollowedByRecordGet",      "acoRecordModifyFollowedBySync",
      "acoSetToBeginFollowedByRecordGetNext",    "acoSetToBookmarkFollowedByNothing",
      "acoSetToBookmarkFollowedByRecordGet",     "acoSetToBookmarkFollowedByRecordGetNext",
      "acoSetToBookmarkFollowedByRecordGetPrior", "acoSetToBookmarkFollowedBySync",
      "acoSetToCursorFollowedBySyncExact",       "acoSetToEndFollowedByRecordGetPrior",
      "acoSetToKeyFollowedBySync",               "acoSkipReadingBlobDataForBatch"};
  const auto i = static_cast<std::size_t>(aOption);
  return i < std::size(names) ? names[i] : "?";
}

TnxRecordingCursor::TnxRecordingCursor(TnxAbstractCursor* aInner)
    : TnxAbstractCursor(aInner->Database(), aInner->Timeout()), rcInner(aInner) {}

void TnxRecordingCursor::afterConstruction() {
  TnxAbstractCursor::afterConstruction();
  acInitFieldsInfo();
  acCapabilities = rcInner->Capabilities();
  acOptions = rcInner->CursorOptions();
  rcLoggedOptions = acOptions;
  IsResultSet = rcInner->IsResultSet;
  IsUnnamed = rcInner->IsUnnamed;
}

void TnxRecordingCursor::beforeDestruction() {
  TObject::free(std::exchange(rcInner, nullptr));
  TnxAbstractCursor::beforeDestruction();
}

TnxAbstractCursor* TnxRecordingCursor::unwrapped(TnxAbstractCursor* aCursor) {
  if (auto* r = platform::objectAs<TnxRecordingCursor>(aCursor)) return r->rcInner;
  return aCursor;
}

void TnxRecordingCursor::rcNoteOptions() {
  for (int i = 0; i < nxAbstractCursorOptionCount; ++i) {
    const auto o = static_cast<TnxAbstractCursorOption>(i);
    if (acOptions.contains(o) == rcLoggedOptions.contains(o)) continue;
    rcLog.push_back(std::string(acOptions.contains(o) ? "+" : "-") + nxCursorOptionName(o));
  }
  rcLoggedOptions = acOptions;
}

std::vector<std::string> TnxRecordingCursor::Log() {
  rcNoteOptions();
  return rcLog;
}

void TnxRecordingCursor::ClearLog() {
  rcNoteOptions();
  rcLog.clear();
  rcCalls.clear();
}

int TnxRecordingCursor::CountOf(const std::string& aName) const {
  return static_cast<int>(std::count_if(rcCalls.begin(), rcCalls.end(),
                                        [&](const TnxRecordedCall& c) { return c.name == aName; }));
}

void TnxRecordingCursor::Inject(const std::string& aName, TnxResult aResult, int aCount) {
  rcInjections[aName] = {aResult, aCount};
}

bool TnxRecordingCursor::rcEnter(const char* aName, TnxResult& aInjected) {
  rcNoteOptions();
  rcInner->SetCursorOptions(acOptions);
  rcLog.emplace_back(aName);
  rcCalls.push_back({aName, acOptions, 0, false});
  const auto it = rcInjections.find(aName);
  if (it == rcInjections.end() || it->second.second <= 0) return false;
  aInjected = it->second.first;
  rcCalls.back().injected = true;
  if (--it->second.second == 0) rcInjections.erase(it);
  return true;
}

TnxResult TnxRecordingCursor::rcLeave(TnxResult aResult) {
  if (!rcCalls.empty()) rcCalls.back().result = aResult;
  return aResult;
}

void TnxRecordingCursor::SetTimeout(TnxWord32 aValue) {
  TnxAbstractCursor::SetTimeout(aValue);
  if (rcInner) rcInner->SetTimeout(aValue);
}

TnxDataDictionary* TnxRecordingCursor::Get_Dictionary() {
  return rcInner->Get_Dictionary();
}

TnxBaseTableDescriptor* TnxRecordingCursor::GetTableDescriptor() {
  return rcInner->GetTableDescriptor();
}

nxString TnxRecordingCursor::acGetFullName() {
  return rcInner->acGetFullName();
}

TnxResult TnxRecordingCursor::SetToBegin() {
  TnxResult injected = 0;
  if (rcEnter("SetToBegin", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToBegin());
}

TnxResult TnxRecordingCursor::SetToCursor(TnxAbstractCursor* aCursor) {
  TnxResult injected = 0;
  if (rcEnter("SetToCursor", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToCursor(unwrapped(aCursor)));
}

TnxResult TnxRecordingCursor::SetToEnd() {
  TnxResult injected = 0;
  if (rcEnter("SetToEnd", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToEnd());
}

TnxResult TnxRecordingCursor::SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter, bool aForward) {
  TnxResult injected = 0;
  if (rcEnter("SetToFilter", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToFilter(aFilter, aKeyFilter, aForward));
}

TnxResult TnxRecordingCursor::sbcGetBookmarkSize(std::int32_t& aSize) {
  TnxResult injected = 0;
  if (rcEnter("sbcGetBookmarkSize", injected)) return rcLeave(injected);
  return rcLeave(rcInner->sbcGetBookmarkSize(aSize));
}

TnxResult TnxRecordingCursor::GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  TnxResult injected = 0;
  if (rcEnter("GetBookmark", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetBookmark(aBookmark, aSize));
}

TnxResult TnxRecordingCursor::CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize, TnxCompareResult& aCompResult) {
  TnxResult injected = 0;
  if (rcEnter("CompareBookmarks", injected)) return rcLeave(injected);
  return rcLeave(rcInner->CompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult));
}

TnxResult TnxRecordingCursor::SetToBookmark(const void* aBookmark, std::int32_t aSize) {
  TnxResult injected = 0;
  if (rcEnter("SetToBookmark", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToBookmark(aBookmark, aSize));
}

TnxResult TnxRecordingCursor::BookmarkAsVariant(const void* aBookmark, std::int32_t aSize, platform::Variant& aVariant) {
  TnxResult injected = 0;
  if (rcEnter("BookmarkAsVariant", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BookmarkAsVariant(aBookmark, aSize, aVariant));
}

TnxResult TnxRecordingCursor::RecNoSupported() {
  TnxResult injected = 0;
  if (rcEnter("RecNoSupported", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecNoSupported());
}

TnxResult TnxRecordingCursor::RecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) {
  TnxResult injected = 0;
  if (rcEnter("RecNoGet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecNoGet(aRecNo, aFlipOrder));
}

TnxResult TnxRecordingCursor::RecNoSet(std::uint32_t aRecNo, bool aFlipOrder) {
  TnxResult injected = 0;
  if (rcEnter("RecNoSet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecNoSet(aRecNo, aFlipOrder));
}

TnxResult TnxRecordingCursor::RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  TnxResult injected = 0;
  if (rcEnter("RecordGet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGet(aLockType, aData));
}

TnxResult TnxRecordingCursor::RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  TnxResult injected = 0;
  if (rcEnter("RecordGetNext", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGetNext(aLockType, aData));
}

TnxResult TnxRecordingCursor::RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  TnxResult injected = 0;
  if (rcEnter("RecordGetPrior", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGetPrior(aLockType, aData));
}

TnxResult TnxRecordingCursor::RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, std::int64_t* aAutoInc) {
  TnxResult injected = 0;
  if (rcEnter("RecordInsert", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordInsert(aLockType, aData, aAutoInc));
}

TnxResult TnxRecordingCursor::RecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) {
  TnxResult injected = 0;
  if (rcEnter("RecordModify", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordModify(aData, aReleaseLock, aDataDiff));
}

TnxResult TnxRecordingCursor::RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  TnxResult injected = 0;
  if (rcEnter("RecordDelete", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordDelete(aData, aLSN));
}

TnxResult TnxRecordingCursor::RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  TnxResult injected = 0;
  if (rcEnter("RecordIsLocked", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordIsLocked(aLockType, aLockPresent));
}

TnxResult TnxRecordingCursor::RecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  TnxResult injected = 0;
  if (rcEnter("RecordLockRelease", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordLockRelease(aAllLocks, aCancelBlobs));
}

TnxResult TnxRecordingCursor::AutoIncGet(std::uint32_t& aValue, bool aAllowCached) {
  TnxResult injected = 0;
  if (rcEnter("AutoIncGet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->AutoIncGet(aValue, aAllowCached));
}

TnxResult TnxRecordingCursor::AutoIncSet(std::uint32_t aValue) {
  TnxResult injected = 0;
  if (rcEnter("AutoIncSet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->AutoIncSet(aValue));
}

TnxResult TnxRecordingCursor::FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) {
  TnxResult injected = 0;
  if (rcEnter("FilterAddCustom", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterAddCustom(aFilter, aFilterID, aActivated));
}

TnxResult TnxRecordingCursor::FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated, bool aIgnoreDropError) {
  TnxResult injected = 0;
  if (rcEnter("FilterReplaceCustom", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterReplaceCustom(aFilter, aFilterID, aActivated, aIgnoreDropError));
}

TnxResult TnxRecordingCursor::FilterSetTimeout(std::uint32_t aTimeout) {
  TnxResult injected = 0;
  if (rcEnter("FilterSetTimeout", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterSetTimeout(aTimeout));
}

TnxResult TnxRecordingCursor::FilterActivate(TnxFilterID aFilterID) {
  TnxResult injected = 0;
  if (rcEnter("FilterActivate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterActivate(aFilterID));
}

TnxResult TnxRecordingCursor::FilterDeactivate(TnxFilterID aFilterID) {
  TnxResult injected = 0;
  if (rcEnter("FilterDeactivate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterDeactivate(aFilterID));
}

TnxResult TnxRecordingCursor::FilterRemove(TnxFilterID aFilterID) {
  TnxResult injected = 0;
  if (rcEnter("FilterRemove", injected)) return rcLeave(injected);
  return rcLeave(rcInner->FilterRemove(aFilterID));
}

TnxResult TnxRecordingCursor::SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) {
  TnxResult injected = 0;
  if (rcEnter("SwitchToIndex", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SwitchToIndex(aIndexName, aIndexID, aPosnOnRec));
}

TnxResult TnxRecordingCursor::GetIndexID(std::int32_t& aIndexID) {
  TnxResult injected = 0;
  if (rcEnter("GetIndexID", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetIndexID(aIndexID));
}

TnxResult TnxRecordingCursor::SetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData) {
  TnxResult injected = 0;
  if (rcEnter("SetToKey", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToKey(aSearchAction, aFieldCount, aPartialLen, aDirectKey, aKeyData));
}

TnxResult TnxRecordingCursor::RecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
  TnxResult injected = 0;
  if (rcEnter("RecordGetForKey", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGetForKey(aFieldCount, aPartialLen, aDirectKey, aKeyData, aData, aMatchFirst, aFirstCall));
}

TnxResult TnxRecordingCursor::RecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess, const TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst, bool aFirstCall) {
  TnxResult injected = 0;
  if (rcEnter("RecordGetForKeyBatch", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGetForKeyBatch(aCutoffSize, aOptions, aAccess, aKeys, aMatchFirst, aFirstCall));
}

TnxResult TnxRecordingCursor::RangeReset() {
  TnxResult injected = 0;
  if (rcEnter("RangeReset", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RangeReset());
}

TnxResult TnxRecordingCursor::RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2, std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2, bool aKeyIncl2) {
  TnxResult injected = 0;
  if (rcEnter("RangeSet", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RangeSet(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, aFieldCount2, aPartialLen2, aDirectKey2, aKeyData2, aKeyIncl2));
}

TnxResult TnxRecordingCursor::CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1, bool aDirectKey2, const void* aKeyData2, std::int32_t& aResult) {
  TnxResult injected = 0;
  if (rcEnter("CompareKeys", injected)) return rcLeave(injected);
  return rcLeave(rcInner->CompareKeys(aFieldCount, aPartialLen, aDirectKey1, aKeyData1, aDirectKey2, aKeyData2, aResult));
}

TnxResult TnxRecordingCursor::KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) {
  TnxResult injected = 0;
  if (rcEnter("KeyFilterAddCustom", injected)) return rcLeave(injected);
  return rcLeave(rcInner->KeyFilterAddCustom(aKeyFilter, aKeyFilterID));
}

TnxResult TnxRecordingCursor::KeyFilterActivate(TnxKeyFilterID aKeyFilterID) {
  TnxResult injected = 0;
  if (rcEnter("KeyFilterActivate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->KeyFilterActivate(aKeyFilterID));
}

TnxResult TnxRecordingCursor::KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) {
  TnxResult injected = 0;
  if (rcEnter("KeyFilterDeactivate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->KeyFilterDeactivate(aKeyFilterID));
}

TnxResult TnxRecordingCursor::KeyFilterRemove(TnxKeyFilterID aKeyFilterID) {
  TnxResult injected = 0;
  if (rcEnter("KeyFilterRemove", injected)) return rcLeave(injected);
  return rcLeave(rcInner->KeyFilterRemove(aKeyFilterID));
}

TnxResult TnxRecordingCursor::RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) {
  TnxResult injected = 0;
  if (rcEnter("RecordGetBatch", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordGetBatch(aCutoffSize, aOptions, aAccess, aMaxRecords, aForward));
}

TnxResult TnxRecordingCursor::RecordInsertBatch(TnxMemoryStream* aStream) {
  TnxResult injected = 0;
  if (rcEnter("RecordInsertBatch", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RecordInsertBatch(aStream));
}

TnxResult TnxRecordingCursor::CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize) {
  TnxResult injected = 0;
  if (rcEnter("CopyRecords", injected)) return rcLeave(injected);
  return rcLeave(rcInner->CopyRecords(unwrapped(aDestCursor), aBlobCopyMode, aMaxTransSize));
}

TnxResult TnxRecordingCursor::CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, std::uint32_t aMaxTransSize, bool aCheckValFields) {
  TnxResult injected = 0;
  if (rcEnter("CopyRecordsEx", injected)) return rcLeave(injected);
  return rcLeave(rcInner->CopyRecordsEx(unwrapped(aDestCursor), aBlobCopyMode, aMaxTransSize, aCheckValFields));
}

TnxResult TnxRecordingCursor::DeleteRecords() {
  TnxResult injected = 0;
  if (rcEnter("DeleteRecords", injected)) return rcLeave(injected);
  return rcLeave(rcInner->DeleteRecords());
}

TnxResult TnxRecordingCursor::BlobsCancel(TnxRefNr aRefNr) {
  TnxResult injected = 0;
  if (rcEnter("BlobsCancel", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobsCancel(aRefNr));
}

TnxResult TnxRecordingCursor::BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("BlobCreate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobCreate(aRecID, aFieldNo, aBlobNr));
}

TnxResult TnxRecordingCursor::BlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName, TnxBlobNr& aBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("BlobCreateFile", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobCreateFile(aRecID, aFieldNo, aFileName, aBlobNr));
}

TnxResult TnxRecordingCursor::BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("BlobDelete", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobDelete(aRecID, aFieldNo, aBlobNr));
}

TnxResult TnxRecordingCursor::BlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("BlobFree", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobFree(aRecID, aFieldNo, aBlobNr));
}

TnxResult TnxRecordingCursor::sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("sbcBlobRead", injected)) return rcLeave(injected);
  return rcLeave(rcInner->sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr));
}

TnxResult TnxRecordingCursor::BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) {
  TnxResult injected = 0;
  if (rcEnter("BlobWrite", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob));
}

TnxResult TnxRecordingCursor::BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aBlobLength) {
  TnxResult injected = 0;
  if (rcEnter("BlobTruncate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobTruncate(aRecID, aFieldNo, aBlobNr, aBlobLength));
}

TnxResult TnxRecordingCursor::sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  TnxResult injected = 0;
  if (rcEnter("sbcBlobGetLength", injected)) return rcLeave(injected);
  return rcLeave(rcInner->sbcBlobGetLength(aRecID, aFieldNo, aBlobNr, aLength, aReadOrg, aNewBlobNr));
}

TnxResult TnxRecordingCursor::BlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, bool& aModified) {
  TnxResult injected = 0;
  if (rcEnter("BlobModified", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobModified(aRecID, aFieldNo, aBlobNr, aModified));
}

TnxResult TnxRecordingCursor::TableStreamGetList(platform::TStringList& aStreams) {
  TnxResult injected = 0;
  if (rcEnter("TableStreamGetList", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableStreamGetList(aStreams));
}

TnxResult TnxRecordingCursor::TableStreamWrite(const nxString& aName, TStream& aStream) {
  TnxResult injected = 0;
  if (rcEnter("TableStreamWrite", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableStreamWrite(aName, aStream));
}

TnxResult TnxRecordingCursor::TableStreamRead(const nxString& aName, TStream& aStream) {
  TnxResult injected = 0;
  if (rcEnter("TableStreamRead", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableStreamRead(aName, aStream));
}

TnxResult TnxRecordingCursor::TableStreamDelete(const nxString& aName) {
  TnxResult injected = 0;
  if (rcEnter("TableStreamDelete", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableStreamDelete(aName));
}

TnxResult TnxRecordingCursor::TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  TnxResult injected = 0;
  if (rcEnter("TableIsLocked", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableIsLocked(aLockType, aLockPresent));
}

TnxResult TnxRecordingCursor::TableLockAcquire(TnxLockType aLockType) {
  TnxResult injected = 0;
  if (rcEnter("TableLockAcquire", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableLockAcquire(aLockType));
}

TnxResult TnxRecordingCursor::TableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  TnxResult injected = 0;
  if (rcEnter("TableLockRelease", injected)) return rcLeave(injected);
  return rcLeave(rcInner->TableLockRelease(aLockType, aAllLocks));
}

TnxResult TnxRecordingCursor::Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) {
  TnxResult injected = 0;
  if (rcEnter("Duplicate", injected)) return rcLeave(injected);
  return rcLeave(rcInner->Duplicate(aOpenMode, aNewCursor));
}

TnxResult TnxRecordingCursor::ChangePassword(const nxString& aNewPassword) {
  TnxResult injected = 0;
  if (rcEnter("ChangePassword", injected)) return rcLeave(injected);
  return rcLeave(rcInner->ChangePassword(aNewPassword));
}

TnxResult TnxRecordingCursor::GetRecordCount(std::uint32_t& aRecCount, bool aEstimate) {
  TnxResult injected = 0;
  if (rcEnter("GetRecordCount", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetRecordCount(aRecCount, aEstimate));
}

TnxResult TnxRecordingCursor::GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  TnxResult injected = 0;
  if (rcEnter("GetRecordCountAsync", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetRecordCountAsync(aTaskInfo));
}

TnxResult TnxRecordingCursor::GetRecordCountEx(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) {
  TnxResult injected = 0;
  if (rcEnter("GetRecordCountEx", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetRecordCountEx(aOption, aRecCount, aEstimate));
}

TnxResult TnxRecordingCursor::GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) {
  TnxResult injected = 0;
  if (rcEnter("GetRecordCountExAsync", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetRecordCountExAsync(aOption, aTaskInfo));
}

TnxResult TnxRecordingCursor::GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  TnxResult injected = 0;
  if (rcEnter("GetBookmarkCache", injected)) return rcLeave(injected);
  return rcLeave(rcInner->GetBookmarkCache(aBookmark, aSize));
}

TnxResult TnxRecordingCursor::SetToCacheBookmark(const void* aBookmark, std::int32_t aSize) {
  TnxResult injected = 0;
  if (rcEnter("SetToCacheBookmark", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SetToCacheBookmark(aBookmark, aSize));
}

TnxResult TnxRecordingCursor::BookmarkCheckLocal(const void* aBookmark, std::int32_t aSize) {
  TnxResult injected = 0;
  if (rcEnter("BookmarkCheckLocal", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BookmarkCheckLocal(aBookmark, aSize));
}

TnxResult TnxRecordingCursor::BuildKey(const void* aRecord, PnxKeyBuffer aKey, bool aIgnoreFilter) {
  TnxResult injected = 0;
  if (rcEnter("BuildKey", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BuildKey(aRecord, aKey, aIgnoreFilter));
}

TnxResult TnxRecordingCursor::KeyToRecord(const void* aKey, PnxRecordBuffer aRecord) {
  TnxResult injected = 0;
  if (rcEnter("KeyToRecord", injected)) return rcLeave(injected);
  return rcLeave(rcInner->KeyToRecord(aKey, aRecord));
}

TnxResult TnxRecordingCursor::BlobsSetMarked(const TnxMarkedBlobsByBlobIdx& aMarkedBlobs) {
  TnxResult injected = 0;
  if (rcEnter("BlobsSetMarked", injected)) return rcLeave(injected);
  return rcLeave(rcInner->BlobsSetMarked(aMarkedBlobs));
}

TnxResult TnxRecordingCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  TnxResult injected = 0;
  if (rcEnter("ContainsLSNRefNr", injected)) return rcLeave(injected);
  return rcLeave(rcInner->ContainsLSNRefNr(aLSN, aRefNr));
}

TnxResult TnxRecordingCursor::SavePath() {
  TnxResult injected = 0;
  if (rcEnter("SavePath", injected)) return rcLeave(injected);
  return rcLeave(rcInner->SavePath());
}

TnxResult TnxRecordingCursor::RestorePath() {
  TnxResult injected = 0;
  if (rcEnter("RestorePath", injected)) return rcLeave(injected);
  return rcLeave(rcInner->RestorePath());
}

nxString TnxRecordingCursor::acGetAliasName() {
  return rcInner->acGetAliasName();
}

bool TnxRecordingCursor::GetNextLSN(TnxLSN& aLSN) {
  return rcInner->GetNextLSN(aLSN);
}

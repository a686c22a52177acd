#include "nxsdServerBaseCursor.h"

#include "nxsdDefaultValueEngine.h"
#include "nxsdFilterEngineBase.h"
#include "nxsdValidationEngine.h"
#include "plErrors.h"

PL_CLASS_INFO_IMPL(TnxLockFailureReason, platform::TStringList, "TnxLockFailureReason", nullptr)
PL_CLASS_INFO_IMPL(TnxServerBaseCursor, TnxSqlAbstractCursor, "TnxServerBaseCursor", nullptr)

namespace {

const char16_t* const kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};

// The insert option a cursor option name stands for; false for other names.
bool insertOptionFor(const nxString& aName, TnxInsertOption& aOption) {
  static const struct {
    const char16_t* name;
    TnxInsertOption option;
  } kNames[] = {{u"INSERT_OPTIONS_SETDEFAULT", ioSetDefault},
                {u"INSERT_OPTIONS_SETAUTOINC", ioSetAutoInc},
                {u"INSERT_OPTIONS_VALIDATE", ioValidate},
                {u"INSERT_OPTIONS_MODIFYIFFOUND", ioModifyIfFound}};
  for (const auto& entry : kNames)
    if (platform::sameTextAscii(aName, entry.name)) {
      aOption = entry.option;
      return true;
    }
  return false;
}

}  // namespace

// ---- Life ----------------------------------------------------------------------------

TnxServerBaseCursor::TnxServerBaseCursor(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout, TnxOpenMode aOpenMode,
                                         TnxAbstractTransContext* aTransContext)
    : TnxSqlAbstractCursor(aDatabase, aTimeout),
      sbcTransContextObject(aTransContext),
      sbcOpenMode(aOpenMode),
      sbcIsReadOnly(aOpenMode == omReadOnly) {
  sbcLockFailureReason = platform::create<TnxLockFailureReason>();
}

TnxServerBaseCursor::~TnxServerBaseCursor() {
  sbcFreeOwned();
  nxFreeAndNil(sbcClientDefaults);
  nxFreeAndNil(sbcLockFailureReason);
}

void TnxServerBaseCursor::sbcSetUpHandlers() {
  TnxBaseTableDescriptor* table = GetTableDescriptor();
  TnxFieldsDescriptor* fields = table ? table->FieldsDescriptor() : nullptr;
  if (fields && !sbcInRecoveryMode() && !IsCache()) {
    sbcServerDefaults = TnxDefaultValueHandler::CreateFor(fields, aaServer, this);
    sbcValidationsHandler = TnxValidationsHandler::CreateFor(fields, aaServer, this);
  }
  if (!acSFI) acInitFieldsInfo();
  if (acSFI && !acSFI->sfiBlobFields.empty()) acCapabilities.include(accCancelBlobs);
}

void TnxServerBaseCursor::afterConstruction() {
  TnxSqlAbstractCursor::afterConstruction();
  if (!sbcIsReadOnly)
    if (TnxDataDictionary* dictionary = Get_Dictionary(); dictionary && dictionary->Version() < 2)
      sbcMarkReadonlyWith(nxErrHigherTableLevel,
                          u"Table format outdated. Table must be packed to enable write access");
  sbcSetToBegin();
}

void TnxServerBaseCursor::sbcFreeOwned() noexcept {
  // The task belongs to its owner, who frees it once; the cursor only
  // stops it and detaches it.
  if (TnxAbstractTaskInfo* task = std::exchange(sbcTaskInfo, nullptr)) {
    try {
      task->atiCursorGoes();
    } catch (...) {
      // A task that fails to stop must not keep the cursor alive.
    }
  }
  sbcFilterChainFree(false);
  sbcFilterChainFree(true);
  nxFreeAndNil(sbcServerDefaults);
  nxFreeAndNil(sbcValidationsHandler);
}

void TnxServerBaseCursor::PrepareDestroy() {
  sbcFreeOwned();
  TnxSqlAbstractCursor::PrepareDestroy();
}

void TnxServerBaseCursor::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                       bool aIncludeChildren) {
  TnxSqlAbstractCursor::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddString(u"OpenMode", kOpenModeNames[sbcOpenMode]);
  aContainer->AddBoolean(u"IsReadOnly", sbcIsReadOnly);
  aContainer->AddBoolean(u"IsWriteOnly", sbcIsWriteOnly);
  aContainer->AddBoolean(u"IsResultSet", IsResultSet);
  aContainer->AddBoolean(u"IsUnnamed", IsUnnamed);
  aContainer->AddBoolean(u"UseNestedTransaction", sbcUseNestedTransaction);
  aContainer->AddObject(u"Filter", sbcFilter, aIncludeChildren);
  aContainer->AddObject(u"KeyFilter", sbcKeyFilter, aIncludeChildren);
}

void TnxServerBaseCursor::esoOptionChanged(const nxString& aName, const nxString& aValue) {
  TnxSqlAbstractCursor::esoOptionChanged(aName, aValue);
  TnxInsertOption option;
  if (!insertOptionFor(aName, option)) return;
  if (platform::sameTextAscii(aValue, u"True"))
    sbcInsertOptions.include(option);
  else
    sbcInsertOptions.exclude(option);
}

void TnxServerBaseCursor::RecordBufferClear(PnxRecordBuffer aBuffer) {
  TnxSqlAbstractCursor::RecordBufferClear(aBuffer);
  if (!sbcDefaultValueHandlerClientCreated) {
    sbcDefaultValueHandlerClientCreated = true;
    if (TnxFieldsDescriptor* fields = FieldsDescriptor())
      sbcClientDefaults = TnxDefaultValueHandler::CreateFor(fields, aaClient, this);
  }
  if (sbcClientDefaults && aBuffer) sbcClientDefaults->SetDefaultValuesInsert(aBuffer);
}

void TnxServerBaseCursor::sacSetDefault(PnxRecordBuffer aRecordBuffer, std::int32_t aIndex) {
  if (TnxDefaultValueHandler* handler = sbcDefaultValueHandler()) handler->SetDefaultValue(aRecordBuffer, aIndex);
}

void TnxServerBaseCursor::sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) {
  if (TnxDefaultValueHandler* handler = sbcDefaultValueHandler()) handler->SetDefaultValuesInsert(aRecordBuffer);
}

bool TnxServerBaseCursor::IsSystemTable() {
  const nxString name = acGetFullName();
  return !name.empty() && name.front() == u'$';
}

// ---- Support -------------------------------------------------------------------------

TnxResult TnxServerBaseCursor::sbcNotSupported(const char16_t* aOperation) const {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"%s is not supported by %s",
                                        {nxString(aOperation), platform::fromUtf8(className())});
}

void TnxServerBaseCursor::sbcMarkReadonlyWith(TnxResult aResult, const nxString& aMessage) {
  sbcMarkReadonly();
  sbcIsReadOnly = true;
  sbcReadOnlyResult = aResult;
  sbcReadOnlyResultMessage = aMessage;
}

TnxResult TnxServerBaseCursor::sbcReadOnlyError() {
  if (!sbcReadOnlyResultMessage.empty())
    return EnxBaseException::nxSetMessage(sbcReadOnlyResult, sbcReadOnlyResultMessage);
  return sbcReadOnlyResult;
}

TnxResult TnxServerBaseCursor::sbcWriteOnlyError() {
  if (!sbcWriteOnlyResultMessage.empty())
    return EnxBaseException::nxSetMessage(sbcWriteOnlyResult, sbcWriteOnlyResultMessage);
  return sbcWriteOnlyResult;
}

TnxResult TnxServerBaseCursor::sbcLockFailureError(TnxResult aErrorCode) {
  nxString message = nxGetOrgPlaceholder();
  if (sbcLockFailureReason && sbcLockFailureReason->count() > 0) {
    if (sbcLockFailureReason->SameSession) aErrorCode = nxErrLockConflict;
    message += u"\r\r";
    for (int i = 0; i < sbcLockFailureReason->count(); ++i) {
      if (i > 0) message += u"\r\n";
      message += sbcLockFailureReason->strings(i);
    }
    sbcLockFailureReason->Clear();
  }
  const nxString name = acGetFullName();
  message += u"\r\rTableName: ";
  message += name;
  message += nxEncodeCustomInfo(u"TableName", name);
  return EnxBaseException::nxSetMessage(aErrorCode, message);
}

// ---- The snapshot transaction for BLOB reads -------------------------------------------

bool TnxServerBaseCursor::acSnapshotRequiredForBlobRead(const TnxRecID&, std::int32_t, TnxBlobNr, bool) {
  return GetActiveTrans() == nullptr;
}

TnxResult TnxServerBaseCursor::acTransactionStartForBlobReadSnapshoted() {
  const TnxResult result = sbcTransactionStart(false, true, false, false, false, false);
  if (result != 0) return result;
  nxAssert(sbcActiveTransStates().contains(tsSnapshot), "nxsdServerBaseCursor: BLOB read without snapshot");
  sbcMarkActiveTransForBlobRead();
  return 0;
}

TnxResult TnxServerBaseCursor::acTransactionRollbackForBlobReadSnapshoted() {
  const TnxTransactionStates states = sbcActiveTransStates();
  if (states.contains(tsSnapshot) && states.contains(tsForBlobRead)) return sbcTransactionRollback();
  return nxErrNoTransaction;
}

TnxResult TnxServerBaseCursor::sbcTransactionStart(bool, bool, bool, bool, bool, bool) {
  return sbcNotSupported(u"sbcTransactionStart");
}
TnxResult TnxServerBaseCursor::sbcTransactionCommit() { return sbcNotSupported(u"sbcTransactionCommit"); }
TnxResult TnxServerBaseCursor::sbcTransactionRollback() { return sbcNotSupported(u"sbcTransactionRollback"); }

// ---- Public operations -----------------------------------------------------------------

TnxResult TnxServerBaseCursor::SetToBegin() {
  return sbcGuarded(true, [&] {
    sbcSetToBegin();
    return TnxResult(0);
  });
}

TnxResult TnxServerBaseCursor::SetToCursor(TnxAbstractCursor* aCursor) {
  if (aCursor == this) return 0;
  return sbcGuarded(true, [&] { return sbcSetToCursor(aCursor); });
}

TnxResult TnxServerBaseCursor::SetToEnd() {
  return sbcGuarded(true, [&] {
    sbcSetToEnd();
    return TnxResult(0);
  });
}

TnxResult TnxServerBaseCursor::sbcGetBookmarkSize(std::int32_t& aSize) {
  aSize = 0;
  return sbcNotSupported(u"sbcGetBookmarkSize");
}

TnxResult TnxServerBaseCursor::GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  return sbcGuarded(true, [&] { return sbcGetBookmark(aBookmark, aSize); });
}

TnxResult TnxServerBaseCursor::GetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  return sbcGuarded(true, [&] { return sbcGetBookmarkCache(aBookmark, aSize); });
}

TnxResult TnxServerBaseCursor::CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                                TnxCompareResult& aCompResult) {
  return sbcGuarded(true, [&] { return sbcCompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult); });
}

TnxResult TnxServerBaseCursor::SetToBookmark(const void* aBookmark, std::int32_t aSize) {
  return sbcGuarded(true, [&] { return sbcSetToBookmark(aBookmark, aSize, false); });
}

TnxResult TnxServerBaseCursor::SetToCacheBookmark(const void* aBookmark, std::int32_t aSize) {
  return sbcGuarded(true, [&] { return sbcSetToBookmark(aBookmark, aSize, true); });
}

TnxResult TnxServerBaseCursor::BookmarkAsVariant(const void* aBookmark, std::int32_t aSize,
                                                 platform::Variant& aVariant) {
  aVariant = platform::Variant();
  return sbcGuarded(true, [&] { return sbcBookmarkAsVariant(aBookmark, aSize, aVariant); });
}

TnxResult TnxServerBaseCursor::RecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) {
  return sbcGuardedContent([&] { return sbcRecNoGet(aRecNo, aFlipOrder); });
}

TnxResult TnxServerBaseCursor::RecNoSet(std::uint32_t aRecNo, bool aFlipOrder) {
  return sbcGuardedContent([&] { return sbcRecNoSet(aRecNo, aFlipOrder); });
}

TnxResult TnxServerBaseCursor::RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  return sbcGuarded(false, [&] { return sbcRecordGet(aLockType, aData); });
}

TnxResult TnxServerBaseCursor::RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return sbcGuarded(false, [&] { return sbcRecordGetNext(aLockType, aData); });
}

TnxResult TnxServerBaseCursor::RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return sbcGuarded(false, [&] { return sbcRecordGetPrior(aLockType, aData); });
}

TnxResult TnxServerBaseCursor::RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, std::int64_t* aAutoInc) {
  return sbcGuarded(false, [&] { return sbcRecordInsert(aLockType, sbcInsertOptions, aData, aAutoInc); });
}

TnxResult TnxServerBaseCursor::RecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) {
  return sbcGuarded(false, [&] { return sbcRecordModify(aData, aReleaseLock, aDataDiff); });
}

TnxResult TnxServerBaseCursor::RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  return sbcGuarded(false, [&] { return sbcRecordDelete(aData, aLSN); });
}

TnxResult TnxServerBaseCursor::RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return sbcGuarded(true, [&] { return sbcRecordIsLocked(aLockType, aLockPresent); });
}

TnxResult TnxServerBaseCursor::RecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  return sbcGuarded(true, [&] { return sbcRecordLockRelease(aAllLocks, aCancelBlobs); });
}

TnxResult TnxServerBaseCursor::AutoIncGet(std::uint32_t& aValue, bool) {
  return sbcGuardedContent([&] { return sbcAutoIncGet(aValue); });
}

TnxResult TnxServerBaseCursor::AutoIncSet(std::uint32_t aValue) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcAutoIncSet(aValue); });
}

TnxResult TnxServerBaseCursor::SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID,
                                             TnxPosnOnRec aPosnOnRec) {
  return sbcGuarded(false, [&] { return sbcSwitchToIndex(aIndexName, aIndexID, aPosnOnRec); });
}

TnxResult TnxServerBaseCursor::GetIndexID(std::int32_t& aIndexID) {
  return sbcGuarded(true, [&] { return sbcGetIndexID(aIndexID); });
}

TnxResult TnxServerBaseCursor::SetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount,
                                        std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData) {
  return sbcGuarded(true, [&] { return sbcSetToKey(aSearchAction, aFieldCount, aPartialLen, aDirectKey, aKeyData); });
}

TnxResult TnxServerBaseCursor::RecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey,
                                               const void* aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                               bool aFirstCall) {
  // A write-only result of 0 is no answer: the primitive gives its not-found code.
  if (sbcIsWriteOnly)
    if (const TnxResult refused = sbcWriteOnlyError()) return refused;
  return sbcGuarded(true, [&] {
    return sbcRecordGetForKey(aFieldCount, aPartialLen, aDirectKey, aKeyData, aData, aMatchFirst, aFirstCall);
  });
}

TnxResult TnxServerBaseCursor::RecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                    TnxBatchStreamAccess*& aAccess,
                                                    const TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst,
                                                    bool aFirstCall) {
  // A write-only result of 0 is no answer: the primitive gives its not-found code.
  if (sbcIsWriteOnly)
    if (const TnxResult refused = sbcWriteOnlyError()) return refused;
  return sbcGuarded(true, [&] {
    return sbcRecordGetForKeyBatch(aCutoffSize, aOptions, aAccess, aKeys, aMatchFirst, aFirstCall);
  });
}

TnxResult TnxServerBaseCursor::RangeReset() {
  return sbcGuarded(true, [&] {
    sbcRangeReset();
    return TnxResult(0);
  });
}

TnxResult TnxServerBaseCursor::RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1,
                                        const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2,
                                        std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                                        bool aKeyIncl2) {
  return sbcGuarded(true, [&] {
    TnxResult result = 0;
    try {
      result = sbcRangeSet(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, aFieldCount2, aPartialLen2,
                           aDirectKey2, aKeyData2, aKeyIncl2);
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
    // A failed range leaves none behind, before the lock goes.
    if (result != 0) sbcRangeReset();
    return result;
  });
}

TnxResult TnxServerBaseCursor::CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                                           const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                           std::int32_t& aResult) {
  return sbcGuarded(true, [&] {
    return sbcCompareKeys(aFieldCount, aPartialLen, aDirectKey1, aKeyData1, aDirectKey2, aKeyData2, aResult);
  });
}

TnxResult TnxServerBaseCursor::RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                              TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords,
                                              bool aForward) {
  return sbcGuarded(false, [&] { return sbcRecordGetBatch(aCutoffSize, aOptions, aAccess, aMaxRecords, aForward); });
}

TnxResult TnxServerBaseCursor::RecordInsertBatch(TnxMemoryStream* aStream) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(false, [&] { return sbcRecordInsertBatch(aStream); });
}

TnxResult TnxServerBaseCursor::CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                           std::uint32_t aMaxTransSize) {
  return sbcGuarded(true, [&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, true); });
}

TnxResult TnxServerBaseCursor::CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                             std::uint32_t aMaxTransSize, bool aCheckValFields) {
  return sbcGuarded(true,
                    [&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, aCheckValFields); });
}

TnxResult TnxServerBaseCursor::DeleteRecords() {
  return sbcGuarded(true, [&] { return sbcDeleteRecords(); });
}

TnxResult TnxServerBaseCursor::BlobsCancel(TnxRefNr aRefNr) {
  if (sbcIsReadOnly || !acSFI || acSFI->sfiBlobFields.empty()) return 0;
  if (!acCapabilities.contains(accCancelBlobs)) return nxErrNotSupported;
  return sbcGuarded(true, [&] { return sbcBlobsCancel(aRefNr); });
}

TnxResult TnxServerBaseCursor::BlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobCreate(aRecID, aFieldNo, aBlobNr); });
}

TnxResult TnxServerBaseCursor::BlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                                              TnxBlobNr& aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobCreateFile(aRecID, aFieldNo, aFileName, aBlobNr); });
}

TnxResult TnxServerBaseCursor::BlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobDelete(aRecID, aFieldNo, aBlobNr); });
}

TnxResult TnxServerBaseCursor::BlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobFree(aRecID, aFieldNo, aBlobNr); });
}

TnxResult TnxServerBaseCursor::BlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                         std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob); });
}

TnxResult TnxServerBaseCursor::BlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                           std::uint32_t aLen, const void* aBlob) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobReplace(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

TnxResult TnxServerBaseCursor::BlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                            std::uint32_t aBlobLength) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobTruncate(aRecID, aFieldNo, aBlobNr, aBlobLength); });
}

TnxResult TnxServerBaseCursor::BlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                            bool& aModified) {
  return sbcGuarded(false, [&] { return sbcBlobModified(aRecID, aFieldNo, aBlobNr, aModified); });
}

TnxResult TnxServerBaseCursor::BlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                              std::uint32_t aLen, const void* aBlob) {
  const bool validRecID = nxRecIDIsValid(aRecID);
  if (!acStates.contains(acsIsCache) || !validRecID || aFieldNo < 0 || aBlobNr == 0 || aLen == 0)
    return TnxSqlAbstractCursor::BlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(true, [&] { return sbcBlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

TnxResult TnxServerBaseCursor::TableStreamGetList(platform::TStringList& aStreams) {
  return sbcGuarded(false, [&] { return sbcTableStreamGetList(aStreams, false); });
}

TnxResult TnxServerBaseCursor::TableStreamWrite(const nxString& aName, TStream& aStream) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(false, [&] { return sbcTableStreamWrite(aName, aStream, false); });
}

TnxResult TnxServerBaseCursor::TableStreamRead(const nxString& aName, TStream& aStream) {
  return sbcGuarded(false, [&] { return sbcTableStreamRead(aName, aStream, false); });
}

TnxResult TnxServerBaseCursor::TableStreamDelete(const nxString& aName) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(false, [&] { return sbcTableStreamDelete(aName, false); });
}

TnxResult TnxServerBaseCursor::TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return sbcGuarded(true, [&] {
    aLockPresent = sbcTableIsLocked(aLockType);
    return TnxResult(0);
  });
}

TnxResult TnxServerBaseCursor::TableLockAcquire(TnxLockType aLockType) {
  return sbcGuarded(false, [&] { return sbcTableLockAcquire(aLockType); });
}

TnxResult TnxServerBaseCursor::TableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  return sbcGuarded(false, [&] { return sbcTableLockRelease(aLockType, aAllLocks); });
}

TnxResult TnxServerBaseCursor::Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) {
  return sbcGuarded(false, [&] { return sbcDuplicate(aOpenMode, aNewCursor, false); });
}

TnxResult TnxServerBaseCursor::ChangePassword(const nxString& aNewPassword) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return sbcGuarded(false, [&] { return sbcChangePassword(aNewPassword); });
}

TnxResult TnxServerBaseCursor::GetRecordCount(std::uint32_t& aRecCount, bool aEstimate) {
  return sbcGuarded(true, [&] { return sbcGetRecordCount(rcoClientFilteredKeyCount, aRecCount, aEstimate); });
}

TnxResult TnxServerBaseCursor::GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  return GetRecordCountExAsync(rcoClientFilteredKeyCount, aTaskInfo);
}

TnxResult TnxServerBaseCursor::GetRecordCountEx(TnxRecordCountOption aOption, std::uint32_t& aRecCount,
                                                bool aEstimate) {
  return sbcGuarded(true, [&] { return sbcGetRecordCount(aOption, aRecCount, aEstimate); });
}

TnxResult TnxServerBaseCursor::GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return sbcNotSupported(u"GetRecordCountExAsync");
}

// ---- Base answers of the primitives -----------------------------------------------------

TnxResult TnxServerBaseCursor::sbcRenameField(std::int32_t, const nxString&) {
  return sbcNotSupported(u"sbcRenameField");
}
TnxResult TnxServerBaseCursor::sbcBeginContentLock(bool, bool, bool) {
  return sbcNotSupported(u"sbcBeginContentLock");
}
TnxResult TnxServerBaseCursor::sbcCheckTransactionState() { return 0; }
TnxResult TnxServerBaseCursor::sbcGetBookmarkCache(PnxBookmarkBuffer, std::int32_t) { return nxErrNotSupported; }
TnxResult TnxServerBaseCursor::sbcBlobAddToCache(const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t,
                                                 const void*) {
  return NotSupported(u"sbcBlobAddToCache");
}
TnxLockPresent TnxServerBaseCursor::sbcTableIsLocked(TnxLockType) { return lpNotAtAll; }

#define NX_SBC_LATER(Name, ...)                                  \
  TnxResult TnxServerBaseCursor::Name(__VA_ARGS__) { return sbcNotSupported(u## #Name); }

NX_SBC_LATER(sbcSetToCursor, TnxAbstractCursor*)
NX_SBC_LATER(sbcSetToFilter, TnxBaseFilterEngine*, TnxBaseFilterEngine*, bool)
NX_SBC_LATER(sbcGetBookmark, PnxBookmarkBuffer, std::int32_t)
NX_SBC_LATER(sbcCompareBookmarks, const void*, const void*, std::int32_t, TnxCompareResult&)
NX_SBC_LATER(sbcSetToBookmark, const void*, std::int32_t, bool)
NX_SBC_LATER(sbcBookmarkAsVariant, const void*, std::int32_t, platform::Variant&)
NX_SBC_LATER(sbcRecNoGet, std::uint32_t&, bool)
NX_SBC_LATER(sbcRecNoSet, std::uint32_t, bool)
NX_SBC_LATER(sbcRecordIsLocked, TnxLockType, TnxLockPresent&)
NX_SBC_LATER(sbcRecordLockRelease, bool, bool)
NX_SBC_LATER(sbcAutoIncSet, std::uint32_t)
NX_SBC_LATER(sbcSetToKey, TnxSearchKeyAction, std::int32_t, std::int32_t, bool, const void*)
NX_SBC_LATER(sbcRecordGetForKey, std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer, bool, bool)
NX_SBC_LATER(sbcRecordGetForKeyBatch, std::int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
             const TnxDataSetKeyBufferArray&, bool, bool)
NX_SBC_LATER(sbcCompareKeys, std::int32_t, std::int32_t, bool, const void*, bool, const void*, std::int32_t&)
NX_SBC_LATER(sbcBlobsCancel, TnxRefNr)
NX_SBC_LATER(sbcBlobCreateFile, const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr&)
NX_SBC_LATER(sbcBlobFree, const TnxRecID&, std::int32_t, TnxBlobNr)
NX_SBC_LATER(sbcBlobModified, const TnxRecID&, std::int32_t, TnxBlobNr, bool&)
NX_SBC_LATER(sbcBlobCopyContentPrim, TnxServerBaseCursor*, std::int32_t, TnxBlobNr, std::int32_t, TnxBlobNr,
             std::int64_t)
NX_SBC_LATER(sbcTableStreamGetList, platform::TStringList&, bool)
NX_SBC_LATER(sbcTableStreamWrite, const nxString&, TStream&, bool)
NX_SBC_LATER(sbcTableStreamRead, const nxString&, TStream&, bool)
NX_SBC_LATER(sbcTableStreamDelete, const nxString&, bool)
NX_SBC_LATER(sbcTableLockAcquire, TnxLockType)
NX_SBC_LATER(sbcTableLockRelease, TnxLockType, bool)
NX_SBC_LATER(sbcSwitchToIndex, const nxString&, std::int32_t, TnxPosnOnRec)
NX_SBC_LATER(sbcGetIndexID, std::int32_t&)
NX_SBC_LATER(sbcRangeReset)
NX_SBC_LATER(sbcRangeSet, std::int32_t, std::int32_t, bool, const void*, bool, std::int32_t, std::int32_t, bool,
             const void*, bool)
NX_SBC_LATER(sbcSetToBegin)
NX_SBC_LATER(sbcSetToEnd)
NX_SBC_LATER(sbcRecordInsertBatch, TnxMemoryStream*)
NX_SBC_LATER(sbcCopyRecords, TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t, bool)
NX_SBC_LATER(sbcDeleteRecords)
NX_SBC_LATER(sbcBlobCreateLink, const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr, TnxBlobNr&)
NX_SBC_LATER(sbcBlobDelete, const TnxRecID&, std::int32_t, TnxBlobNr)
NX_SBC_LATER(sbcBlobTruncate, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t)
NX_SBC_LATER(sbcBlobWrite, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t, std::uint32_t, const void*)
NX_SBC_LATER(sbcBlobReplace, const TnxRecID&, std::int32_t, TnxBlobNr&, std::uint32_t, const void*)
NX_SBC_LATER(sbcRecordGet, TnxLockType, PnxRecordBuffer)
NX_SBC_LATER(sbcRecordGetNext, TnxLockType, PnxRecordBuffer)
NX_SBC_LATER(sbcRecordGetPrior, TnxLockType, PnxRecordBuffer)
NX_SBC_LATER(sbcRecordInsert, TnxLockType, TnxInsertOptions, PnxRecordBuffer, std::int64_t*)
NX_SBC_LATER(sbcRecordModify, PnxRecordBuffer, bool, PnxRecordDiff)
NX_SBC_LATER(sbcRecordDelete, PnxRecordBuffer, TnxLSN)
NX_SBC_LATER(sbcAutoIncGet, std::uint32_t&)
NX_SBC_LATER(sbcGetRecordCount, TnxRecordCountOption, std::uint32_t&, bool)
NX_SBC_LATER(sbcChangePassword, const nxString&)
NX_SBC_LATER(sbcDuplicate, TnxOpenMode, TnxAbstractCursor*&, bool)
NX_SBC_LATER(sbcIterate, PPnxRecordBuffer, const TnxKeyIterator&, const TnxRecordIterator&, bool, void*, bool)
NX_SBC_LATER(sacGetRecordByID, TnxRefNr, PnxRecordBuffer)
NX_SBC_LATER(sbcBlobRead, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t, std::uint32_t, TStream&, bool,
             PnxNewBlobNr)
NX_SBC_LATER(sbcBlobGetLength, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t&, bool, PnxNewBlobNr)
NX_SBC_LATER(ascGetBlobCacheInfos, const TnxRecID&, TnxBlobCacheInfos&)
NX_SBC_LATER(ascSetBlobCacheFlushed, const TnxRecID&, std::int32_t, TnxBlobNr, TnxBlobNr*)

#undef NX_SBC_LATER

bool TnxServerBaseCursor::sbcBlobIsLink(const TnxRecID&, std::int32_t, TnxBlobNr, nxString&, TnxBlobNr&) {
  return false;
}
bool TnxServerBaseCursor::sacHasKey(std::int32_t, platform::Variant&) { return false; }
void TnxServerBaseCursor::sacSetRefNr(TnxRefNr) {}

// ---- Narrowing -------------------------------------------------------------------------

TnxServerBaseCursor* nxAsServerCursor(TnxAbstractCursor* aCursor) {
  if (!aCursor) return nullptr;
  TnxServerBaseCursor* cursor = platform::objectAs<TnxServerBaseCursor>(aCursor);
  if (!cursor) throw platform::ConvertError("Invalid class typecast");
  return cursor;
}

TnxServerBaseCursor* nxTryServerCursor(TnxAbstractCursor* aCursor) {
  return platform::objectAs<TnxServerBaseCursor>(aCursor);
}

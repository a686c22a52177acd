#include "nxsdServerEngineInt.h"

#include <algorithm>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllMemoryManager.h"
#include "nxllUtils.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineSimpleExpression.h"
#include "plCodePage.h"

PL_CLASS_INFO_IMPL(TnxAbstractCursor, TnxAbstractTimeoutObject, "TnxAbstractCursor", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractServerCursor, TnxAbstractCursor, "TnxAbstractServerCursor", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractRemoteCursor, TnxAbstractCursor, "TnxAbstractRemoteCursor", nullptr)

namespace {

std::int32_t blobFieldCountOf(TnxFieldsDescriptor* aFields) {
  std::int32_t count = 0;
  if (aFields)
    for (std::int32_t i = 0; i < aFields->FieldCount(); ++i)
      if (nxFieldTypeIn(aFields->Fields(i)->fdType, nxBlobFieldTypes)) ++count;
  return count;
}

bool blobMarked(const TnxMarkedBlobsByBlobIdx& aMarked, std::int32_t aBlobIndex) {
  if (aBlobIndex < 0) return false;
  const std::size_t word = static_cast<std::size_t>(aBlobIndex) / 32;
  return word < aMarked.size() && ((aMarked[word] >> (aBlobIndex % 32)) & 1u) != 0;
}

[[noreturn]] void raiseCode(TnxResult aCode) { throw EnxBaseException(aCode); }

// The deadline nesting around a block.
class NestingScope {
 public:
  NestingScope() { nxEnterTimeoutNestingHook.load()(); }
  ~NestingScope() { nxLeaveTimeoutNestingHook.load()(); }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
};

// Deadline and session lock only: no nesting, no conversion (an exception
// of the work passes through after the unlock).
template <class Work>
TnxResult lockedCall(TnxAbstractTimeoutObject& aObject, InxSimpleLock* aLock, Work&& aWork) {
  nxSetTimeoutHook.load()(aObject.Timeout(), false);
  if (!aLock) return aWork();
  aLock->Lock();
  TnxResult result = 0;
  try {
    result = aWork();
  } catch (...) {
    TnxResult ignored = 0;
    aLock->Unlock(ignored);
    throw;
  }
  aLock->Unlock(result);
  return result;
}

}  // namespace

TnxAbstractCursor::TnxAbstractCursor(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout)
    : TnxAbstractTimeoutObject(aDatabase, aDatabase ? aDatabase->SessionLock() : nullptr, aTimeout),
      acDatabase(aDatabase) {
  if (!aDatabase) return;
  TnxPadlockGuard guard(aDatabase->adCursorsPadlock);
  acDatabasePrev = aDatabase->adCursorsTail;
  if (acDatabasePrev)
    acDatabasePrev->acDatabaseNext = this;
  else
    aDatabase->adCursorsHead = this;
  aDatabase->adCursorsTail = this;
  acLinked = true;
}

TnxAbstractCursor::~TnxAbstractCursor() {
  bool freeDatabase = false;
  if (acLinked) {
    TnxPadlockGuard guard(acDatabase->adCursorsPadlock);
    if (acDatabasePrev)
      acDatabasePrev->acDatabaseNext = acDatabaseNext;
    else
      acDatabase->adCursorsHead = acDatabaseNext;
    if (acDatabaseNext)
      acDatabaseNext->acDatabasePrev = acDatabasePrev;
    else
      acDatabase->adCursorsTail = acDatabasePrev;
    acDatabasePrev = acDatabaseNext = nullptr;
    acLinked = false;
    freeDatabase = !acDatabase->adCursorsHead && !acDatabase->Destroying() && acDatabase->adCursorAutoFree;
  }
  if (freeDatabase) acStates.include(acsAutoFreeDatabase);
  nxReleaseCacheableInfo(acCacheableInfo);
  nxReleaseSpecialFieldsInfo(acSFI);
  nxReleaseDiffCompressorInfo(acDCI);
  // The bases below release nothing that leads back to the database.
  if (freeDatabase) TnxAbstractServerObject::Free(acDatabase);
}

void TnxAbstractCursor::afterConstruction() {
  TnxAbstractTimeoutObject::afterConstruction();
  if (TnxBaseServerEngine* engine = GetServerEngine()) {
    engine->bseCursorCount.fetch_add(1, std::memory_order_acq_rel);
    acStates.include(acsLockedIncDone);
  }
}

void TnxAbstractCursor::beforeDestruction() {
  TnxAbstractTimeoutObject::beforeDestruction();
  if (acStates.contains(acsLockedIncDone)) {
    acStates.exclude(acsLockedIncDone);
    if (TnxBaseServerEngine* engine = GetServerEngine()) engine->bseCursorCount.fetch_sub(1, std::memory_order_acq_rel);
  }
}

std::int32_t TnxAbstractCursor::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldsAccess::IID) {
    *aObj = static_cast<InxFieldsAccess*>(this);
    return nxS_OK;
  }
  if (aIID == InxFieldsSource::IID) {
    *aObj = static_cast<InxFieldsSource*>(static_cast<InxFieldsAccess*>(this));
    return nxS_OK;
  }
  return TnxAbstractTimeoutObject::QueryInterface(aIID, aObj);
}

bool TnxAbstractCursor::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                          std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                          const void*& aValue, std::uint16_t& aCodePage) {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  if (!fields) return false;
  return fields->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

std::int32_t TnxAbstractCursor::GetFieldFromName(const nxString& aFieldName) {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  return fields ? fields->GetFieldFromName(aFieldName) : -1;
}

std::int32_t TnxAbstractCursor::GetFieldCount() {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  return fields ? fields->FieldCount() : 0;
}

InxFieldDescriptor* TnxAbstractCursor::GetFieldDescriptor(std::int32_t aIndex) {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  return fields ? fields->GetFieldDescriptor(aIndex) : nullptr;
}

std::int32_t TnxAbstractCursor::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                  InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                  void** aInterface) {
  nxString head, rest;
  nxsd_server_engine_int::splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, u"<Cursor>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::sameTextAscii(head, u"<Database>") && acDatabase)
    return acDatabase->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractCursor::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                     bool aIncludeChildren) {
  TnxAbstractTimeoutObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Database", acDatabase, aIncludeChildren);
}

TnxFieldsDescriptor* TnxAbstractCursor::FieldsDescriptor() {
  if (acFieldsDescriptor) return acFieldsDescriptor;
  TnxBaseTableDescriptor* table = GetTableDescriptor();
  return table ? table->FieldsDescriptor() : nullptr;
}

TnxDiffCompressorInfo* TnxAbstractCursor::DCI() {
  if (TnxFieldsDescriptor* fields = FieldsDescriptor()) fields->GetDiffCompressionInfo(acDCI);
  return acDCI;
}

// ---- Table access and record buffers

bool TnxAbstractCursor::acSnapshotRequiredForBlobRead(const TnxRecID&, std::int32_t, TnxBlobNr, bool) { return true; }

TnxResult TnxAbstractCursor::acTransactionStartForBlobReadSnapshoted() {
  return acDatabase ? acDatabase->TransactionStart(false, true) : nxErrInvalidParam;
}

TnxResult TnxAbstractCursor::acTransactionRollbackForBlobReadSnapshoted() {
  return acDatabase ? acDatabase->TransactionRollback() : nxErrInvalidParam;
}

void TnxAbstractCursor::acInitFieldsInfo() {
  TnxBaseTableDescriptor* table = GetTableDescriptor();
  acFieldsDescriptor = table ? table->FieldsDescriptor() : nullptr;
  if (!acFieldsDescriptor) return;
  acRecordLength = static_cast<std::uint32_t>(acFieldsDescriptor->RecordLength());
  acFieldsDescriptor->GetSpecialFieldsInfo(acSFI);
}

TnxResult TnxAbstractCursor::SavePath() { return NotSupported(u"SavePath"); }

TnxResult TnxAbstractCursor::RestorePath() { return NotSupported(u"RestorePath"); }

void TnxAbstractCursor::RequestNestedTransactions() {
  EnxBaseException::nxSetMessage(nxErrNotSupported, u"RequestNestedTransactions is not supported by %s",
                                 {platform::fromUtf8(className())});
  if (TnxBaseServerEngine* engine = GetServerEngine()) engine->RaiseEngineException(nxErrNotSupported);
  raiseCode(nxErrNotSupported);
}

PnxRecordBuffer TnxAbstractCursor::RecordBufferAlloc() {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  const std::size_t length = fields ? static_cast<std::size_t>(fields->RecordLength()) : acRecordLength;
  auto* buffer = static_cast<PnxRecordBuffer>(nxGetMem(length + 4));
  std::fill_n(buffer, length + 4, std::uint8_t{0});
  RecordBufferClear(buffer);
  return buffer;
}

void TnxAbstractCursor::RecordBufferFree(PnxRecordBuffer aBuffer) {
  if (aBuffer) nxFreeMem(aBuffer);
}

void TnxAbstractCursor::RecordBufferClear(PnxRecordBuffer aBuffer) {
  if (!aBuffer) return;
  if (TnxFieldsDescriptor* fields = FieldsDescriptor()) fields->InitRecord(aBuffer);
}

// ---- Not supported in the base

TnxResult TnxAbstractCursor::GetBookmarkCache(PnxBookmarkBuffer, std::int32_t) {
  return NotSupported(u"GetBookmarkCache");
}
TnxResult TnxAbstractCursor::SetToCacheBookmark(const void*, std::int32_t) {
  return NotSupported(u"SetToCacheBookmark");
}
TnxResult TnxAbstractCursor::BookmarkCheckLocal(const void*, std::int32_t) {
  return NotSupported(u"BookmarkCheckLocal");
}
TnxResult TnxAbstractCursor::BuildKey(const void*, PnxKeyBuffer, bool) { return NotSupported(u"BuildKey"); }
TnxResult TnxAbstractCursor::KeyToRecord(const void*, PnxRecordBuffer) { return NotSupported(u"KeyToRecord"); }
TnxResult TnxAbstractCursor::BlobBatchProcess(const TnxBlobBatchRequest&, PnxBlobBatchReply&) {
  return NotSupported(u"BlobBatchProcess");
}
TnxResult TnxAbstractCursor::BlobAddToCache(const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t, const void*) {
  return NotSupported(u"BlobAddToCache");
}

TnxResult TnxAbstractCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return nxErrNoCurrentRecord;
  return NotSupported(u"ContainsLSNRefNr");
}

TnxResult TnxAbstractCursor::GetDeletedRecords(TnxLSN, TnxRecordCacheInfos& aCacheInfos, std::int32_t,
                                               TnxLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  return NotSupported(u"GetDeletedRecords");
}

// ---- Filters

TnxResult TnxAbstractCursor::FilterAddExpression(const void* aExpression, TnxFilterID& aFilterID, bool aActivated) {
  aFilterID = 0;
  try {
    TnxOwned<TnxSimpleExpressionFilterDescriptor> filter(
        platform::create<TnxSimpleExpressionFilterDescriptor>(aExpression, nxGetThreadAnsiCodePage()));
    return FilterAddCustom(filter.get(), aFilterID, aActivated);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxAbstractCursor::FilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxFilterID& aFilterID,
                                               bool aActivated) {
  aFilterID = 0;
  try {
    TnxOwned<TnxCallbackFilterDescriptor> filter(platform::create<TnxCallbackFilterDescriptor>(aCookie, aCallback));
    return FilterAddCustom(filter.get(), aFilterID, aActivated);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxAbstractCursor::KeyFilterAddExpression(const void* aExpression, TnxKeyFilterID& aKeyFilterID) {
  aKeyFilterID = 0;
  try {
    TnxOwned<TnxSimpleExpressionFilterDescriptor> filter(
        platform::create<TnxSimpleExpressionFilterDescriptor>(aExpression, nxGetThreadAnsiCodePage()));
    return KeyFilterAddCustom(filter.get(), aKeyFilterID);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxAbstractCursor::KeyFilterAddCallback(void* aCookie, TnxFilterCallback aCallback,
                                                  TnxKeyFilterID& aKeyFilterID) {
  aKeyFilterID = 0;
  try {
    TnxOwned<TnxCallbackFilterDescriptor> filter(platform::create<TnxCallbackFilterDescriptor>(aCookie, aCallback));
    return KeyFilterAddCustom(filter.get(), aKeyFilterID);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

// ---- BLOBs

TnxResult TnxAbstractCursor::BlobBatchApply(PnxRecordBuffer aData, const TnxBlobBatchRequest& aRequest,
                                            const TnxBlobBatchReply* aReply) {
  if (!aReply) return 0;
  TnxResult result = 0;
  // A reply longer than its request has nothing to apply its extra entries to.
  const std::size_t count = std::min<std::size_t>(aReply->bbrpCount, aRequest.bbrqEntries.size());
  for (std::size_t i = 0; i < count; ++i) {
    const TnxResult entry = BlobBatchEntryApply(aData, aRequest.bbrqRecID, aRequest.bbrqEntries[i], aReply->bbrpEntries[i]);
    if (entry != 0) result = entry;
  }
  return result;
}

TnxResult TnxAbstractCursor::BlobBatchEntryApply(PnxRecordBuffer aData, const TnxRecID&,
                                                 const TnxBlobBatchRequestEntry& aRequest,
                                                 const TnxBlobBatchReplyEntry& aReply) {
  if (!aData) return 0;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  if (aReply.bbrpeBlobNr == 0)
    fields->SetRecordFieldNull(aRequest.bbrqeFieldNo, aData, true);
  else
    fields->SetRecordField(aRequest.bbrqeFieldNo, aData, &aReply.bbrpeBlobNr);
  return 0;
}

TnxResult TnxAbstractCursor::BlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                      std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream, bool aReadOrg,
                                      PnxNewBlobNr aNewBlobNr) {
  return lockedCall(*this, SessionLock(), [&] { return sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr); });
}

TnxResult TnxAbstractCursor::BlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  return lockedCall(*this, SessionLock(), [&] { return sbcBlobGetLength(aRecID, aFieldNo, aBlobNr, aLength, aReadOrg, aNewBlobNr); });
}

TnxResult TnxAbstractCursor::BlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                                                bool aReadOrg, TnxBlobReadSnapshotState& aSnapshot,
                                                std::uint32_t* aBlobLen, PnxNewBlobNr aNewBlobNr) {
  if (aSnapshot == brssFailedToStart || aSnapshot == brssFailedToClose || aSnapshot == brssClosed)
    return nxErrInvalidParam;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    const TnxBlobReadSnapshotState entry = aSnapshot;
    if (entry == brssRequestStart) {
      if (!acSnapshotRequiredForBlobRead(aRecID, aFieldNo, aBlobNr, aReadOrg)) {
        aSnapshot = brssUnneccesary;
      } else {
        const TnxResult started = acTransactionStartForBlobReadSnapshoted();
        if (started != 0) {
          aSnapshot = brssFailedToStart;
          return started;
        }
        aSnapshot = brssStarted;
      }
    }
    const std::int64_t before = aStream.Position();
    std::uint32_t localLen = 0;
    std::uint32_t* blobLen = aBlobLen ? aBlobLen : &localLen;
    TnxResult result = sbcBlobReadSnapshoted(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, blobLen,
                                              aNewBlobNr);
    const std::uint64_t n = static_cast<std::uint64_t>(std::max<std::int64_t>(aStream.Position() - before, 0));
    if (aSnapshot == brssRequestClose ||
        (aSnapshot == brssStarted && (n < aLen || static_cast<std::uint64_t>(aOffset) + n == *blobLen))) {
      const TnxResult closed = acTransactionRollbackForBlobReadSnapshoted();
      if (closed != 0) {
        aSnapshot = brssFailedToClose;
        result = closed;
      } else {
        aSnapshot = entry == brssRequestStart ? brssUnneccesary : brssClosed;
      }
    }
    return result;
  });
}

TnxResult TnxAbstractCursor::sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                   std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                                                   bool aReadOrg, std::uint32_t* aBlobLen, PnxNewBlobNr aNewBlobNr) {
  TnxBlobNr current = aBlobNr;
  // A renumbered BLOB answers 13058 with its new number: follow it until
  // the number stops changing.
  auto follow = [&](auto&& aCall) {
    TnxResult result;
    for (;;) {
      if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{current, false};
      result = aCall();
      if (result != nxErrBlobModified || !aNewBlobNr || !aNewBlobNr->nbnSet || aNewBlobNr->nbnBlobNr == current) break;
      current = aNewBlobNr->nbnBlobNr;
    }
    if (aNewBlobNr && aNewBlobNr->nbnSet) current = aNewBlobNr->nbnBlobNr;
    return result;
  };
  TnxResult result = 0;
  if (aBlobLen)
    result = follow([&] { return sbcBlobGetLength(aRecID, aFieldNo, current, *aBlobLen, aReadOrg, aNewBlobNr); });
  if (result == 0)
    result = follow([&] { return sbcBlobRead(aRecID, aFieldNo, current, aOffset, aLen, aStream, aReadOrg, aNewBlobNr); });
  if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{current, current != aBlobNr};
  return result;
}

TnxResult TnxAbstractCursor::BlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                         std::uint32_t aLen, const void* aBlob) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxResult result = 0;
    if (aLen > 0) {
      if (aBlobNr != 0)
        result = BlobTruncate(aRecID, aFieldNo, aBlobNr, 0);
      else
        result = BlobCreate(aRecID, aFieldNo, aBlobNr);
      if (result == 0) result = BlobWrite(aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
    } else if (aBlobNr != 0) {
      result = BlobTruncate(aRecID, aFieldNo, aBlobNr, 0);
    }
    return result;
  });
}

TnxResult TnxAbstractCursor::BlobsSetMarked(const TnxMarkedBlobsByBlobIdx& aMarkedBlobs) {
  const std::int32_t blobs = blobFieldCountOf(FieldsDescriptor());
  const std::size_t needed = blobs == 0 ? 0 : static_cast<std::size_t>((blobs - 1) / 32 + 1);
  if (!aMarkedBlobs.empty() && aMarkedBlobs.size() < needed) return nxErrInvalidParam;
  acMarkedBlobs = aMarkedBlobs;
  if (std::all_of(acMarkedBlobs.begin(), acMarkedBlobs.end(), [](std::uint32_t w) { return w == 0; }))
    acMarkedBlobs.clear();
  return 0;
}

TnxResult TnxAbstractCursor::GetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount,
                                      TnxBlobNr* aBlobNrs) {
  const std::uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  if ((aMarkedOnly && acMarkedBlobs.empty()) || blobFieldCountOf(fields) == 0) return 0;
  if (!aData) return nxErrInvalidParam;
  for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
    TnxFieldDescriptor* field = fields->Fields(i);
    if (!nxFieldTypeIn(field->fdType, nxBlobFieldTypes)) continue;
    if (aMarkedOnly && !blobMarked(acMarkedBlobs, field->fdBlobIndex)) continue;
    if (fields->IsRecordFieldNull(i, aData)) continue;
    TnxBlobNr value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(aData) + field->fdOffset, sizeof(value));
    if (value == 0) continue;
    if (!aBlobNrs || aBlobCount >= capacity) return nxErrOutOfRange;
    aBlobNrs[aBlobCount++] = value;
  }
  return 0;
}

TnxResult TnxAbstractCursor::GetBlobs(const void* aData, bool aMarkedOnly, TnxBlobNrs& aBlobNrs) {
  const std::int32_t blobs = std::min<std::int32_t>(blobFieldCountOf(FieldsDescriptor()), 65535);
  aBlobNrs.assign(static_cast<std::size_t>(blobs), 0);
  auto count = static_cast<std::uint16_t>(blobs);
  const TnxResult result = GetBlobs(aData, aMarkedOnly, count, aBlobNrs.data());
  aBlobNrs.resize(result == 0 ? count : 0);
  return result;
}

// ---- Options and identities

bool TnxAbstractCursor::AddCursorOption(TnxAbstractCursorOption aOption) {
  const bool was = acOptions.contains(aOption);
  acOptions.include(aOption);
  return !was;
}

bool TnxAbstractCursor::RemoveCursorOption(TnxAbstractCursorOption aOption) {
  const bool was = acOptions.contains(aOption);
  acOptions.exclude(aOption);
  return was;
}

bool TnxAbstractCursor::AddCursorOptions(TnxAbstractCursorOptions aOptions) {
  const TnxAbstractCursorOptions before = acOptions;
  for (std::size_t i = 0; i < before.Bytes.size(); ++i)
    acOptions.Bytes[i] = static_cast<std::uint8_t>(acOptions.Bytes[i] | aOptions.Bytes[i]);
  return !(before == acOptions);
}

bool TnxAbstractCursor::RemoveCursorOptions(TnxAbstractCursorOptions aOptions) {
  const TnxAbstractCursorOptions before = acOptions;
  for (std::size_t i = 0; i < before.Bytes.size(); ++i)
    acOptions.Bytes[i] = static_cast<std::uint8_t>(acOptions.Bytes[i] & ~aOptions.Bytes[i]);
  return !(before == acOptions);
}

bool TnxAbstractCursor::HasAnyCursorOptions(TnxAbstractCursorOptions aOptions) const {
  for (std::size_t i = 0; i < aOptions.Bytes.size(); ++i)
    if (acOptions.Bytes[i] & aOptions.Bytes[i]) return true;
  return false;
}

bool TnxAbstractCursor::HasAllCursorOptions(TnxAbstractCursorOptions aOptions) const {
  for (std::size_t i = 0; i < aOptions.Bytes.size(); ++i)
    if ((acOptions.Bytes[i] & aOptions.Bytes[i]) != aOptions.Bytes[i]) return false;
  return true;
}

TnxRecID TnxAbstractCursor::acGetRecID(const void* aBuffer) {
  TnxRecID id{0, 0};
  if (!aBuffer) return id;
  if (!acSFI)
    if (TnxFieldsDescriptor* fields = FieldsDescriptor()) fields->GetSpecialFieldsInfo(acSFI);
  if (!acSFI) return id;
  const auto* data = static_cast<const std::uint8_t*>(aBuffer);
  if (acSFI->sfiOffsets[sftRefNr] >= 0) std::memcpy(&id.ridRefNr, data + acSFI->sfiOffsets[sftRefNr], 8);
  if (acSFI->sfiOffsets[sftInsertLSN] >= 0) std::memcpy(&id.ridInsertLSN, data + acSFI->sfiOffsets[sftInsertLSN], 8);
  return id;
}

TnxResult TnxAbstractCursor::ExtractCacheInfo(const void* aData, TnxRecordCacheInfo& aCacheInfo) {
  nxRecordCacheInfoClear(aCacheInfo);
  if (!acStates.contains(acsIsCacheable)) return nxErrNotSupported;
  if (!aData) return nxErrNoCurrentRecord;
  const TnxSpecialFieldsInfo* sfi = acCacheableInfo && acCacheableInfo->ciSFI ? acCacheableInfo->ciSFI : acSFI;
  if (!sfi || sfi->sfiOffsets[sftModifyLSN] < 0 || sfi->sfiOffsets[sftRefNr] < 0) return nxErrNoCurrentRecord;
  const auto* data = static_cast<const std::uint8_t*>(aData);
  std::memcpy(&aCacheInfo.rciModifyLSN, data + sfi->sfiOffsets[sftModifyLSN], 8);
  std::memcpy(&aCacheInfo.rciRefNr, data + sfi->sfiOffsets[sftRefNr], 8);
  if (aCacheInfo.rciModifyLSN == 0 || aCacheInfo.rciRefNr == 0) return nxErrNoCurrentRecord;
  return 0;
}

TnxResult TnxAbstractCursor::ContainsCacheInfo(const TnxRecordCacheInfo& aCacheInfo) {
  if (nxRecordCacheInfoIsEmpty(aCacheInfo)) return nxErrNoCurrentRecord;
  TnxLSN lsn = aCacheInfo.rciModifyLSN;
  TnxRefNr refNr = aCacheInfo.rciRefNr;
  return ContainsLSNRefNr(lsn, refNr);
}

TnxBatchStreamAccess* TnxAbstractCursor::CreateBatchStreamAccess(TnxMemoryStream* aStream,
                                                                 TnxRecordGetBatchExOptions aOptions) {
  return platform::create<TnxBatchStreamAccess>(this, aOptions, aStream);
}

// ---- Variant access

platform::Variant TnxAbstractCursor::GetFieldAsVariantSelf(const void* aBuffer, std::int32_t aField) {
  [[maybe_unused]] NestingScope nesting;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  if (!fields) raiseCode(nxErrInvalidParam);
  if (aField < 0 || aField >= fields->FieldCount()) raiseCode(nxErrInvalidDescNumber);
  TnxFieldDescriptor* field = fields->Fields(aField);
  if (!nxFieldTypeIn(field->fdType, nxBlobFieldTypes)) return fields->fsdGetFieldByIndexAsVariant(aBuffer, aField);
  if (!aBuffer || fields->IsRecordFieldNull(aField, aBuffer)) return platform::Variant::null();
  TnxBlobNr blobNr;
  std::memcpy(&blobNr, static_cast<const std::uint8_t*>(aBuffer) + field->fdOffset, sizeof(blobNr));
  const TnxRecID recID = acGetRecID(aBuffer);
  std::uint32_t length = 0;
  TnxResult result = BlobGetLength(recID, aField, blobNr, length, false, nullptr);
  if (result != 0) raiseCode(result);
  if (length == 0) return platform::Variant::null();
  TnxMemoryStream stream;
  result = BlobRead(recID, aField, blobNr, 0, length, stream, false, nullptr);
  if (result != 0) raiseCode(result);
  const auto* bytes = static_cast<const std::uint8_t*>(stream.Memory());
  const std::size_t size = static_cast<std::size_t>(std::min<std::int64_t>(stream.Size(), length));
  switch (field->fdType) {
    case nxtBlobWideMemo: {
      nxString text(size / 2, u'\0');
      std::memcpy(text.data(), bytes, text.size() * 2);
      return platform::Variant(std::move(text));
    }
    case nxtBlobMemo:
      return platform::Variant(platform::decodeText(
          std::string_view(reinterpret_cast<const char*>(bytes), size), field->UsedStorageCodePage()));
    default:
      return platform::Variant::byteArray(std::span<const std::uint8_t>(bytes, size));
  }
}

void TnxAbstractCursor::SetFieldAsVariantSelf(void* aBuffer, std::int32_t aField, const platform::Variant& aValue) {
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  if (!fields) raiseCode(nxErrInvalidParam);
  if (aField < 0 || aField >= fields->FieldCount()) raiseCode(nxErrInvalidDescNumber);
  TnxFieldDescriptor* field = fields->Fields(aField);
  if (!nxFieldTypeIn(field->fdType, nxBlobFieldTypes)) {
    fields->fsdSetFieldByIndexAsVariant(aBuffer, aField, aValue);
    return;
  }
  std::vector<std::uint8_t> contents;
  if (!aValue.isNullOrEmpty()) {
    if (field->fdType == nxtBlobWideMemo) {
      const nxString text = aValue.toString();
      contents.resize(text.size() * 2);
      std::memcpy(contents.data(), text.data(), contents.size());
    } else if (field->fdType == nxtBlobMemo) {
      const std::string text = platform::encodeText(aValue.toString(), field->UsedStorageCodePage());
      contents.assign(text.begin(), text.end());
    } else if (aValue.isByteArray()) {
      const auto bytes = aValue.bytes();
      contents.assign(bytes.begin(), bytes.end());
    } else {
      const nxString text = aValue.toString();
      contents.resize(text.size() * 2);
      std::memcpy(contents.data(), text.data(), contents.size());
    }
  }
  auto* data = static_cast<std::uint8_t*>(aBuffer);
  const TnxRecID recID = acGetRecID(aBuffer);
  const bool isNull = fields->IsRecordFieldNull(aField, aBuffer);
  TnxBlobNr blobNr = 0;
  if (!isNull) std::memcpy(&blobNr, data + field->fdOffset, sizeof(blobNr));
  if (!contents.empty()) {
    if (isNull) {
      TnxResult result = BlobCreate(recID, aField, blobNr);
      if (result != 0) raiseCode(result);
      fields->SetRecordField(aField, aBuffer, &blobNr);
    }
    const auto length = static_cast<std::uint32_t>(contents.size());
    TnxResult result = BlobWrite(recID, aField, blobNr, 0, length, contents.data());
    if (result == 0) result = BlobTruncate(recID, aField, blobNr, length);
    if (result != 0) raiseCode(result);
  } else if (!isNull) {
    const TnxResult result = BlobDelete(recID, aField, blobNr);
    if (result != 0) raiseCode(result);
    const TnxBlobNr zero = 0;
    std::memcpy(data + field->fdOffset, &zero, sizeof(zero));
    fields->SetRecordFieldNull(aField, aBuffer, true);
  }
}

// ---- Server and remote cursors

TnxResult TnxAbstractServerCursor::ascBlobRequestCache(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                       TnxBlobNr aBlobNr) {
  if (!ascRemoteCursor) return NotSupported(u"ascBlobRequestCache");
  return ascRemoteCursor->rcCacheBlob(aRecID, aFieldNo, aBlobNr, nullptr);
}

#include "nxsrBlobHandlerCaching.h"

#include <cstring>
#include <vector>

#include "nxllException.h"
#include "nxllSync.h"
#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxCachingBlobHandler, TnxBaseBlobHandler, "TnxCachingBlobHandler", nullptr)

namespace {

// Fields of the BLOB cache.
constexpr std::int32_t kBlobNr = 0;
constexpr std::int32_t kUnmaskedBlobNr = 1;
constexpr std::int32_t kBlobStateInfo = 2;
constexpr std::int32_t kCachedBlob = 3;
constexpr std::int32_t kFieldNo = 4;
constexpr std::int32_t kRefNr = 5;
constexpr std::int32_t kInsertLSN = 6;

constexpr std::uint8_t kCreated = 0;
constexpr std::uint8_t kDeletePending = 1;
constexpr std::uint8_t kChanged = 2;

TnxPadlock gCacheDictionaryLock;
std::atomic<TnxServerDataDict*> gCacheDictionary{nullptr};

TnxServerDataDict* cacheDictionary() {
  if (TnxServerDataDict* dict = gCacheDictionary.load(std::memory_order_acquire)) return dict;
  TnxPadlockGuard guard(gCacheDictionaryLock);
  if (TnxServerDataDict* dict = gCacheDictionary.load(std::memory_order_acquire)) return dict;
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->AddField(u"BlobNr", u"", nxtInt64, 0, 0, true);
  fields->AddField(u"UnmaskedBlobNr", u"", nxtInt64, 0, 0, true);
  fields->AddField(u"BlobStateInfo", u"", nxtByte, 0, 0, true);
  fields->AddField(u"CachedBlob", u"", nxtBlob, 0, 0, false);
  fields->AddField(u"FieldNo", u"", nxtInt32, 0, 0, false);
  fields->AddField(u"RefNr", u"", nxtInt64, 0, 0, false);
  fields->AddField(u"InsertLSN", u"", nxtInt64, 0, 0, false);
  auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
  blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  TnxIndexDescriptor* index = indices->AddIndex(u"Default", 0, idNone, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(kBlobNr);
  gCacheDictionary.store(dict.release(), std::memory_order_release);
  return gCacheDictionary.load();
}

// Keeps the caller's deadline for the public operations on the cache.
struct TimeoutNesting {
  TimeoutNesting() { nxEnterTimeoutNesting(); }
  ~TimeoutNesting() { nxLeaveTimeoutNesting(); }
  TimeoutNesting(const TimeoutNesting&) = delete;
  TimeoutNesting& operator=(const TimeoutNesting&) = delete;
};

std::int64_t readInt64(TnxFieldsDescriptor* aFields, std::int32_t aField, const void* aRecord, bool& aIsNull) {
  std::int64_t value = 0;
  aFields->GetRecordField(aField, aRecord, aIsNull, &value);
  return aIsNull ? 0 : value;
}

void writeOrNull(TnxFieldsDescriptor* aFields, std::int32_t aField, void* aRecord, const void* aValue, bool aNull) {
  if (aNull)
    aFields->SetRecordFieldNull(aField, aRecord, true);
  else
    aFields->SetRecordField(aField, aRecord, aValue);
}

}  // namespace

void nxsrBlobHandlerCachingFinalize() {
  TnxPadlockGuard guard(gCacheDictionaryLock);
  TnxServerDataDict* dict = gCacheDictionary.exchange(nullptr);
  nxFreeAndNil(dict);
}

// ---- Life --------------------------------------------------------------------------------

TnxCachingBlobHandler::TnxCachingBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                                             TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                             TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aOwner),
      cbhOwner(aOwner),
      cbhBlobEngine(aBlobEngine),
      cbhBlobLinkHandler(aBlobLinkHandler),
      cbhFieldsDescriptor(aFieldsDescriptor),
      cbhBlobNrMask(aBlobEngine->bbeBlobNrMask) {
  cacheDictionary();
  cbhFieldsDescriptor->HasBlobFields(cbhBlobFields);
  const PnxCacheableInfo info = aOwner->CacheableInfo();
  // The counter index is one of the table's internal indices.
  TnxBaseIndicesEngine* internal = aOwner->Table()->InternalIndicesEngine();
  if (cbhBlobNrMask != ~TnxBlobNr{0} && info && info->ciBlobNrCounterIndex >= 0 && internal &&
      info->ciBlobNrCounterIndex < internal->IndexCount()) {
    cbhBlobNrCounterIndexEngine = internal->biseGetIndex(info->ciBlobNrCounterIndex);
    if (cbhBlobNrCounterIndexEngine) cbhBlobNrCounterIndexPath = cbhBlobNrCounterIndexEngine->CreateIndexPath();
  }
}

TnxCachingBlobHandler::~TnxCachingBlobHandler() {
  // Reached without PrepareDestroy only when construction failed.
  nxFreeAndNil(cbhBlobNrCounterIndexPath);
}

void TnxCachingBlobHandler::PrepareDestroy() {
  nxCloseBlobHandlerCache(cbhCache, cbhCacheRecord, cbhCacheRecordAsKey);
  nxFreeAndNil(cbhBlobNrCounterIndexPath);
  TnxBaseBlobHandler::PrepareDestroy();
}

// ---- The BLOB cache ----------------------------------------------------------------------

TnxResult TnxCachingBlobHandler::EnsureCache() {
  if (cbhCache) return 0;
  return nxOpenBlobHandlerCache(cbhOwner, cacheDictionary(), cbhCache, cbhCacheRecord, cbhCacheRecordAsKey);
}

bool TnxCachingBlobHandler::FindCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aMasked,
                                           Entry& aEntry) {
  // An empty cache answers without a key search.
  if (!NeedNested()) return false;
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  fields->InitRecord(cbhCacheRecordAsKey);
  const auto key = static_cast<std::int64_t>(aMasked);
  fields->SetRecordField(kBlobNr, cbhCacheRecordAsKey, &key);
  if (cbhCache->RecordGetForKey(1, 0, false, cbhCacheRecordAsKey, cbhCacheRecord, true, true) != 0) return false;
  bool isNull = false;
  std::uint8_t state = 0;
  fields->GetRecordField(kBlobStateInfo, cbhCacheRecord, isNull, &state);
  aEntry.state = state;
  aEntry.cachedBlob = static_cast<TnxBlobNr>(readInt64(fields, kCachedBlob, cbhCacheRecord, isNull));
  aEntry.unmasked = static_cast<TnxBlobNr>(readInt64(fields, kUnmaskedBlobNr, cbhCacheRecord, isNull));
  std::int32_t fieldNo = 0;
  fields->GetRecordField(kFieldNo, cbhCacheRecord, isNull, &fieldNo);
  nxAssert(aFieldNo == -1 || isNull || fieldNo == aFieldNo, "BLOB cache entry of another field");
  const std::int64_t refNr = readInt64(fields, kRefNr, cbhCacheRecord, isNull);
  nxAssert(aRecID.ridRefNr == 0 || isNull || static_cast<TnxRefNr>(refNr) == aRecID.ridRefNr,
           "BLOB cache entry of another record");
  const std::int64_t insertLSN = readInt64(fields, kInsertLSN, cbhCacheRecord, isNull);
  nxAssert(aRecID.ridInsertLSN == 0 || isNull || insertLSN == aRecID.ridInsertLSN,
           "BLOB cache entry of another record version");
  return true;
}

TnxResult TnxCachingBlobHandler::AddCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aCachedBlob,
                                               std::uint8_t aState, TnxBlobNr aFull, TnxBlobNr aMasked) {
  if (const TnxResult made = EnsureCache()) return made;
  nxAssert((aMasked & ~cbhBlobNrMask) == 0 && aMasked == Masked(aFull), "BLOB number outside the mask");
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  fields->InitRecord(cbhCacheRecord);
  const auto masked = static_cast<std::int64_t>(aMasked);
  const auto full = static_cast<std::int64_t>(aFull);
  const auto cached = static_cast<std::int64_t>(aCachedBlob);
  const std::int64_t refNr = static_cast<std::int64_t>(aRecID.ridRefNr);
  const std::int64_t insertLSN = aRecID.ridInsertLSN;
  fields->SetRecordField(kBlobNr, cbhCacheRecord, &masked);
  fields->SetRecordField(kUnmaskedBlobNr, cbhCacheRecord, &full);
  fields->SetRecordField(kBlobStateInfo, cbhCacheRecord, &aState);
  writeOrNull(fields, kCachedBlob, cbhCacheRecord, &cached, aCachedBlob == 0);
  writeOrNull(fields, kFieldNo, cbhCacheRecord, &aFieldNo, aFieldNo == -1);
  writeOrNull(fields, kRefNr, cbhCacheRecord, &refNr, refNr == 0);
  writeOrNull(fields, kInsertLSN, cbhCacheRecord, &insertLSN, insertLSN == 0);
  return cbhCache->RecordInsert(nxltNoLock, cbhCacheRecord, nullptr);
}

TnxResult TnxCachingBlobHandler::DeleteFoundEntry() { return cbhCache->RecordDelete(cbhCacheRecord, 0); }

void TnxCachingBlobHandler::TakeBlobNrCounter(TnxBaseTransaction* aTrans, TnxBlobNr& aFull, TnxBlobNr& aMasked) {
  aMasked = Masked(aFull);
  if (!cbhBlobNrCounterIndexPath) return;
  const auto key = static_cast<std::int64_t>(aMasked);
  if (!cbhBlobNrCounterIndexEngine->FindKey(aTrans, &key, 0, 0, 0, cbhBlobNrCounterIndexPath, skaEqualFirst,
                                            nullptr))
    return;
  const TnxBlobNr last = cbhBlobNrCounterIndexPath->RefNr;
  nxAssert(Masked(last) == aMasked, "BLOB number counter of another location");
  cbhBlobNrCounterIndexEngine->DeleteKey(aTrans, &key, last, 0, cbhBlobNrCounterIndexPath);
  aFull = last;
  cbhBlobEngine->IncBlobNr(aFull);
}

void TnxCachingBlobHandler::StoreBlobNrCounter(TnxBaseTransaction* aTrans, TnxBlobNr aFull, TnxBlobNr aMasked) {
  nxAssert((aMasked & ~cbhBlobNrMask) == 0 && aMasked == Masked(aFull), "BLOB number outside the mask");
  if (!cbhBlobNrCounterIndexPath) return;
  const auto key = static_cast<std::int64_t>(aMasked);
  if (cbhBlobNrCounterIndexEngine->InsertKey(aTrans, &key, aFull, 0, cbhBlobNrCounterIndexPath)) return;
  // A counter of the location exists: the newer number replaces it.
  if (cbhBlobNrCounterIndexEngine->FindKey(aTrans, &key, 0, 0, 0, cbhBlobNrCounterIndexPath, skaEqualFirst,
                                           nullptr))
    cbhBlobNrCounterIndexEngine->DeleteKey(aTrans, &key, cbhBlobNrCounterIndexPath->RefNr, 0,
                                           cbhBlobNrCounterIndexPath);
  cbhBlobNrCounterIndexEngine->InsertKey(aTrans, &key, aFull, 0, cbhBlobNrCounterIndexPath);
}

bool TnxCachingBlobHandler::NeedNested() {
  if (!cbhCache) return false;
  std::uint32_t count = 0;
  cbhCache->Table()->RecordEngine()->GetRecordCount(cbhCache->GetActiveTrans(), count);
  return count > 0;
}

// ---- Operations --------------------------------------------------------------------------

TnxResult TnxCachingBlobHandler::Created(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                         TnxBlobNr& aBlobNr) {
  TnxBlobNr masked = 0;
  TakeBlobNrCounter(aTrans, aBlobNr, masked);
  return AddCacheEntry(aRecID, aFieldNo, 0, kCreated, aBlobNr, masked);
}

TnxResult TnxCachingBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  TimeoutNesting nesting;
  cbhBlobEngine->AddBlob(aTrans, aBlobNr);
  return Created(aTrans, aRecID, aFieldNo, aBlobNr);
}

TnxResult TnxCachingBlobHandler::BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                std::int32_t aFieldNo, const nxString& aFileName,
                                                TnxBlobNr& aBlobNr) {
  TimeoutNesting nesting;
  cbhBlobEngine->AddFileBlob(aTrans, aFileName, aBlobNr);
  return Created(aTrans, aRecID, aFieldNo, aBlobNr);
}

TnxResult TnxCachingBlobHandler::BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                std::int32_t aFieldNo, const nxString& aTableName,
                                                TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) {
  TimeoutNesting nesting;
  cbhBlobEngine->AddBlobLink(aTrans, aTableName, aTableBlobNr, aBlobNr);
  return Created(aTrans, aRecID, aFieldNo, aBlobNr);
}

TnxResult TnxCachingBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  TimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (!FindCacheEntry(aRecID, aFieldNo, masked, entry))
    return AddCacheEntry(aRecID, aFieldNo, 0, kDeletePending, aBlobNr, masked);
  switch (entry.state) {
    case kCreated:
      cbhBlobEngine->DeleteBlob(aTrans, masked);
      StoreBlobNrCounter(aTrans, aBlobNr, masked);
      return DeleteFoundEntry();
    case kChanged: {
      const TnxResult deleted = DeleteFoundEntry();
      if (deleted != 0) return deleted;
      return AddCacheEntry(aRecID, aFieldNo, 0, kDeletePending, aBlobNr, masked);
    }
    default:
      return nxErrBlobGeneral;
  }
}

TnxResult TnxCachingBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                          TnxBlobNr aBlobNr, bool& aBlobDeleted) {
  TimeoutNesting nesting;
  aBlobDeleted = false;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (!FindCacheEntry(aRecID, aFieldNo, masked, entry)) return 0;
  if (entry.state == kCreated) {
    cbhBlobEngine->DeleteBlob(aTrans, masked);
    StoreBlobNrCounter(aTrans, aBlobNr, masked);
  }
  return DeleteFoundEntry();
}

TnxResult TnxCachingBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                           std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                           std::uint32_t aLen, const void* aBlob) {
  TimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kCreated) {
      cbhBlobEngine->Write(aTrans, masked, aOffset, aLen, aBlob);
      return 0;
    }
    if (entry.state == kChanged)
      return cbhCache->sbcBlobWrite(nxNullRecID, kCachedBlob, entry.cachedBlob, aOffset, aLen, aBlob);
    return nxErrBlobGeneral;
  }
  // The first change of a stored BLOB: a working copy takes it.
  if (const TnxResult made = EnsureCache()) return made;
  if (const TnxResult locked = cbhCache->sbcBeginContentLock(true, false, false)) return locked;
  TnxBlobNr copy = 0;
  TnxResult result = cbhCache->sbcBlobCopyPrim(cbhOwner, aFieldNo, masked, kCachedBlob, copy, -1);
  if (result == 0) result = AddCacheEntry(aRecID, aFieldNo, copy, kChanged, aBlobNr, masked);
  if (result == 0) result = cbhCache->sbcBlobWrite(nxNullRecID, kCachedBlob, copy, aOffset, aLen, aBlob);
  return result;
}

TnxResult TnxCachingBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                              std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aBlobLength) {
  TimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kCreated) {
      cbhBlobEngine->Truncate(aTrans, masked, aBlobLength);
      return 0;
    }
    if (entry.state == kChanged)
      return cbhCache->sbcBlobTruncate(nxNullRecID, kCachedBlob, entry.cachedBlob, aBlobLength);
    return nxErrBlobGeneral;
  }
  if (const TnxResult made = EnsureCache()) return made;
  if (const TnxResult locked = cbhCache->sbcBeginContentLock(true, false, false)) return locked;
  TnxBlobNr copy = 0;
  TnxResult result = cbhCache->sbcBlobCopyPrim(cbhOwner, aFieldNo, masked, kCachedBlob, copy, aBlobLength);
  if (result == 0) result = AddCacheEntry(aRecID, aFieldNo, copy, kChanged, aBlobNr, masked);
  return result;
}

TnxResult TnxCachingBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                             std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                                             const void* aBlob) {
  TimeoutNesting nesting;
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  if (aBlobNr == 0) {
    cbhBlobEngine->AddBlob(aTrans, aBlobNr);
    const TnxResult result = Created(aTrans, aRecID, aFieldNo, aBlobNr);
    cbhBlobEngine->Write(aTrans, Masked(aBlobNr), 0, aLen, aBlob);
    return result;
  }
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kCreated) {
      cbhBlobEngine->Write(aTrans, masked, 0, aLen, aBlob);
      cbhBlobEngine->Truncate(aTrans, masked, aLen);
      return 0;
    }
    if (entry.state == kChanged) {
      TnxResult result = cbhCache->sbcBlobWrite(nxNullRecID, kCachedBlob, entry.cachedBlob, 0, aLen, aBlob);
      if (result == 0) result = cbhCache->sbcBlobTruncate(nxNullRecID, kCachedBlob, entry.cachedBlob, aLen);
      return result;
    }
    return nxErrBlobGeneral;
  }
  // A replacement needs no copy of the old content.
  if (const TnxResult made = EnsureCache()) return made;
  TnxBlobNr copy = 0;
  TnxResult result = cbhCache->sbcBlobCreate(nxNullRecID, kCachedBlob, copy);
  if (result == 0) result = AddCacheEntry(aRecID, aFieldNo, copy, kChanged, aBlobNr, masked);
  if (result != 0) return result;
  result = cbhCache->sbcBlobWrite(nxNullRecID, kCachedBlob, copy, 0, aLen, aBlob);
  if (result != 0 && FindCacheEntry(aRecID, aFieldNo, masked, entry)) DeleteFoundEntry();
  return result;
}

TnxResult TnxCachingBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                               std::int32_t aFieldNo, bool aReadOld, TnxBlobNr aBlobNr,
                                               std::uint32_t& aLength) {
  TimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (!aReadOld && FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kChanged)
      return cbhCache->sbcBlobGetLength(nxNullRecID, kCachedBlob, entry.cachedBlob, aLength, false, nullptr);
    if (entry.state != kCreated) return nxErrBlobGeneral;
  }
  return static_cast<TnxResult>(
      cbhBlobEngine->GetBlobLength(aTrans, masked, nxBlobLinkLengthOf(cbhBlobLinkHandler), aLength));
}

bool TnxCachingBlobHandler::BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                       TnxBlobNr aBlobNr, nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  TimeoutNesting nesting;
  aSrcTableName.clear();
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kChanged)
      return cbhCache->sbcBlobIsLink(nxNullRecID, kCachedBlob, entry.cachedBlob, aSrcTableName, aSrcTableBlobNr);
    if (entry.state != kCreated) return false;
  }
  return cbhBlobEngine->IsBlobLink(aTrans, masked, aSrcTableName, aSrcTableBlobNr);
}

TnxResult TnxCachingBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                          bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                          std::uint32_t aLen, TStream& aStream, std::uint32_t* aBlobLen) {
  TimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  Entry entry;
  if (!aReadOld && FindCacheEntry(aRecID, aFieldNo, masked, entry)) {
    if (entry.state == kChanged) {
      if (aBlobLen) {
        const TnxResult length =
            cbhCache->sbcBlobGetLength(nxNullRecID, kCachedBlob, entry.cachedBlob, *aBlobLen, false, nullptr);
        if (length != 0) return length;
      }
      return cbhCache->sbcBlobRead(nxNullRecID, kCachedBlob, entry.cachedBlob, aOffset, aLen, aStream, false,
                                   nullptr);
    }
    if (entry.state != kCreated) return nxErrBlobGeneral;
  }
  if (aBlobLen) {
    const auto length = static_cast<TnxResult>(
        cbhBlobEngine->GetBlobLength(aTrans, masked, nxBlobLinkLengthOf(cbhBlobLinkHandler), *aBlobLen));
    if (length != 0) return length;
  }
  return static_cast<TnxResult>(
      cbhBlobEngine->Read(aTrans, masked, aOffset, aLen, nxBlobLinkReadOf(cbhBlobLinkHandler), aStream));
}

bool TnxCachingBlobHandler::BlobVerifyNr(TnxBaseTransaction*, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                         TnxBlobNr aBlobNr) {
  TimeoutNesting nesting;
  Entry entry;
  return FindCacheEntry(aRecID, aFieldNo, Masked(aBlobNr), entry) && entry.state != kDeletePending;
}

TnxResult TnxCachingBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                              TnxBlobNr aBlobNr, bool& aChanged) {
  TimeoutNesting nesting;
  Entry entry;
  aChanged = FindCacheEntry(aRecID, aFieldNo, Masked(aBlobNr), entry);
  return 0;
}

TnxResult TnxCachingBlobHandler::BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  TimeoutNesting nesting;
  if (!NeedNested()) return 0;
  // The walk deletes: first the keys of the entries present now, then each
  // one visited once.
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  std::vector<TnxBlobNr> keys;
  TnxResult result = cbhCache->SetToBegin();
  while (result == 0 && cbhCache->RecordGetNext(nxltNoLock, cbhCacheRecord) == 0) {
    bool isNull = false;
    const std::int64_t refNr = readInt64(fields, kRefNr, cbhCacheRecord, isNull);
    if (aRefNr != 0 && !isNull && static_cast<TnxRefNr>(refNr) != aRefNr) continue;
    keys.push_back(static_cast<TnxBlobNr>(readInt64(fields, kBlobNr, cbhCacheRecord, isNull)));
  }
  for (const TnxBlobNr masked : keys) {
    Entry entry;
    if (!FindCacheEntry(nxNullRecID, -1, masked, entry)) continue;
    if (entry.state == kCreated && masked != 0) {
      cbhBlobEngine->DeleteBlob(aTrans, masked);
      StoreBlobNrCounter(aTrans, entry.unmasked, masked);
    }
    const TnxResult deleted = DeleteFoundEntry();
    if (deleted != 0) return deleted;
  }
  return 0;
}

// ---- Hooks -------------------------------------------------------------------------------

template <class Body>
TnxResult TnxCachingBlobHandler::Hook(TnxBaseTransaction* aTrans, Body&& aBody) {
  TnxResult result = 0;
  try {
    TimeoutNesting nesting;
    result = aBody();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0 && aTrans) aTrans->MarkCorrupted();
  return result;
}

TnxResult TnxCachingBlobHandler::BeforeInsert(TnxBaseTransaction* aTrans, void* aRecord) {
  if (!NeedNested()) return 0;
  return Hook(aTrans, [&]() -> TnxResult {
    for (const std::int32_t field : cbhBlobFields) {
      if (cbhFieldsDescriptor->IsRecordFieldNull(field, aRecord)) continue;
      const TnxBlobNr masked = Masked(FieldBlobNr(cbhFieldsDescriptor, field, aRecord));
      if (masked == 0) {
        cbhFieldsDescriptor->SetRecordFieldNull(field, aRecord, true);
        continue;
      }
      Entry entry;
      const bool found = FindCacheEntry(nxNullRecID, field, masked, entry);
      if (found && entry.state != kCreated) return nxErrBlobGeneral;
      if (cbhBlobEngine->FreeBlob(aTrans, masked)) cbhFieldsDescriptor->SetRecordFieldNull(field, aRecord, true);
      // The record owns the BLOB now.
      if (found && DeleteFoundEntry() != 0) return nxErrBlobGeneral;
    }
    return 0;
  });
}

TnxResult TnxCachingBlobHandler::BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                              const void* aOldRecord, void* aNewRecord) {
  if (!NeedNested()) return 0;
  return Hook(aTrans, [&]() -> TnxResult {
    for (const std::int32_t field : cbhBlobFields) {
      if (cbhFieldsDescriptor->IsRecordFieldNull(field, aNewRecord)) continue;
      TnxBlobNr value = FieldBlobNr(cbhFieldsDescriptor, field, aNewRecord);
      const TnxBlobNr masked = Masked(value);
      const TnxBlobNr old = FieldBlobNr(cbhFieldsDescriptor, field, aOldRecord);
      if (masked == 0) {
        cbhFieldsDescriptor->SetRecordFieldNull(field, aNewRecord, true);
        continue;
      }
      Entry entry;
      if (!FindCacheEntry(aRecID, field, masked, entry)) {
        if (cbhBlobEngine->FreeBlob(aTrans, masked)) cbhFieldsDescriptor->SetRecordFieldNull(field, aNewRecord, true);
        continue;
      }
      switch (entry.state) {
        case kCreated:
          if (cbhBlobEngine->FreeBlob(aTrans, masked)) {
            if (DeleteFoundEntry() != 0) return nxErrBlobGeneral;
            cbhFieldsDescriptor->SetRecordFieldNull(field, aNewRecord, true);
          }
          break;
        case kChanged: {
          std::uint32_t length = 0;
          const TnxResult got =
              cbhCache->sbcBlobGetLength(nxNullRecID, kCachedBlob, entry.cachedBlob, length, false, nullptr);
          if (got != 0) return got;
          if (length == 0) {
            // The stored BLOB goes once the record no longer names it.
            if (DeleteFoundEntry() != 0) return nxErrBlobGeneral;
            const TnxResult added = AddCacheEntry(aRecID, field, 0, kDeletePending, value, masked);
            if (added != 0) return added;
            cbhFieldsDescriptor->SetRecordFieldNull(field, aNewRecord, true);
          } else if (old == value) {
            // Readers holding the old number learn that the BLOB changed.
            cbhBlobEngine->IncBlobNr(value);
            cbhFieldsDescriptor->SetRecordField(field, aNewRecord, &value);
          }
          break;
        }
        default:
          return nxErrBlobGeneral;
      }
    }
    return 0;
  });
}

TnxResult TnxCachingBlobHandler::AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                             const void* aOldRecord, const void* aNewRecord) {
  if (!NeedNested()) return 0;
  return Hook(aTrans, [&]() -> TnxResult {
    for (const std::int32_t field : cbhBlobFields) {
      const TnxBlobNr oldFull = FieldBlobNr(cbhFieldsDescriptor, field, aOldRecord);
      const TnxBlobNr om = Masked(oldFull);
      const TnxBlobNr nm = Masked(FieldBlobNr(cbhFieldsDescriptor, field, aNewRecord));
      Entry entry;
      // The new BLOB must be one created here; the record owns it now.
      auto takeNew = [&]() -> TnxResult {
        if (!FindCacheEntry(aRecID, field, nm, entry) || entry.state != kCreated) return nxErrBlobGeneral;
        return DeleteFoundEntry() == 0 ? 0 : nxErrBlobGeneral;
      };
      auto dropOld = [&]() -> TnxResult {
        cbhBlobEngine->DeleteBlob(aTrans, om);
        StoreBlobNrCounter(aTrans, oldFull, om);
        return 0;
      };
      if (om == 0 && nm == 0) continue;
      if (om == 0) {
        if (const TnxResult taken = takeNew()) return taken;
      } else if (nm == 0) {
        if (!FindCacheEntry(aRecID, field, om, entry)) continue;
        if (entry.state != kDeletePending) return nxErrBlobGeneral;
        dropOld();
        if (DeleteFoundEntry() != 0) return nxErrBlobGeneral;
      } else if (om == nm) {
        if (!FindCacheEntry(aRecID, field, om, entry)) continue;
        if (entry.state != kChanged) return nxErrBlobGeneral;
        if (const TnxResult locked = cbhCache->sbcBeginContentLock(false, false, false)) return locked;
        const TnxResult copied = cbhOwner->sbcBlobCopyContentPrim(cbhCache, kCachedBlob, entry.cachedBlob, field,
                                                                  nm, -1);
        cbhCache->sbcEndContentLock();
        if (copied != 0) return copied;
        if (!FindCacheEntry(aRecID, field, om, entry) || DeleteFoundEntry() != 0) return nxErrBlobGeneral;
      } else {
        nxString fileName;
        if (FindCacheEntry(aRecID, field, om, entry) && entry.state == kDeletePending) {
          dropOld();
          if (DeleteFoundEntry() != 0) return nxErrBlobGeneral;
        } else if (cbhBlobEngine->IsFileBlob(aTrans, om, fileName)) {
          dropOld();
        } else {
          return nxErrBlobGeneral;
        }
        if (const TnxResult taken = takeNew()) return taken;
      }
    }
    return 0;
  });
}

TnxResult TnxCachingBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                             const void* aRecord) {
  return Hook(aTrans, [&]() -> TnxResult {
    for (const std::int32_t field : cbhBlobFields) {
      const TnxBlobNr full = FieldBlobNr(cbhFieldsDescriptor, field, aRecord);
      const TnxBlobNr masked = Masked(full);
      if (masked == 0) continue;
      Entry entry;
      if (FindCacheEntry(aRecID, field, masked, entry))
        if (const TnxResult deleted = DeleteFoundEntry()) return deleted;
      cbhBlobEngine->DeleteBlob(aTrans, masked);
      StoreBlobNrCounter(aTrans, full, masked);
    }
    return 0;
  });
}

#include "nxsrBlobHandlerCached.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllSync.h"
#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxCachedBlobHandler, TnxBaseBlobHandler, "TnxCachedBlobHandler", nullptr)

namespace {

// Fields of the cache-info table.
constexpr std::int32_t kCiRefNr = 0;
constexpr std::int32_t kCiInsertLSN = 1;
constexpr std::int32_t kCiFieldNo = 2;
constexpr std::int32_t kCiBlobNr = 3;
constexpr std::int32_t kCiState = 4;
constexpr std::int32_t kCiCacheBlobNr = 5;
constexpr std::int32_t kCiCacheFileName = 6;
constexpr std::int32_t kCiFlushed = 7;
constexpr std::int32_t kCiEverFlushed = 8;

constexpr TnxResult kCiCacheInvalid = 3;
constexpr auto kCiTemporaryHigh = static_cast<TnxBlobNr>(0xFFFFFFFF00000000ull);

TnxPadlock gInfoDictionaryLock;
std::atomic<TnxServerDataDict*> gInfoDictionary{nullptr};

TnxServerDataDict* infoDictionary() {
  if (TnxServerDataDict* dict = gInfoDictionary.load(std::memory_order_acquire)) return dict;
  TnxPadlockGuard guard(gInfoDictionaryLock);
  if (TnxServerDataDict* dict = gInfoDictionary.load(std::memory_order_acquire)) return dict;
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->AddField(u"RefNr", u"", nxtInt64, 0, 0, true);
  fields->AddField(u"InsertLSN", u"", nxtInt64, 0, 0, true);
  fields->AddField(u"FieldNo", u"", nxtInt32, 0, 0, true);
  fields->AddField(u"BlobNr", u"", nxtInt64, 0, 0, true);
  fields->AddField(u"BlobStateInfo", u"", nxtByte, 0, 0, true);
  fields->AddField(u"CacheBlobNr", u"", nxtInt64, 0, 0, false);
  fields->AddField(u"CacheFileName", u"", nxtWideString, 260, 0, false);
  fields->AddField(u"Flushed", u"", nxtBoolean, 0, 0, false);
  fields->AddField(u"EverFlushed", u"", nxtBoolean, 0, 0, false);
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  TnxIndexDescriptor* index =
      indices->AddIndex(u"Default", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::staticClassInfo());
  auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
  for (std::int32_t field : {kCiRefNr, kCiInsertLSN, kCiFieldNo, kCiBlobNr}) key->Add(field);
  gInfoDictionary.store(dict.release(), std::memory_order_release);
  return gInfoDictionary.load();
}

struct CachedTimeoutNesting {
  CachedTimeoutNesting() { nxEnterTimeoutNesting(); }
  ~CachedTimeoutNesting() { nxLeaveTimeoutNesting(); }
  CachedTimeoutNesting(const CachedTimeoutNesting&) = delete;
  CachedTimeoutNesting& operator=(const CachedTimeoutNesting&) = delete;
};

template <class T>
T cachedFieldOr(TnxFieldsDescriptor* aFields, std::int32_t aField, const void* aRecord, T aDefault) {
  bool isNull = false;
  T value{};
  aFields->GetRecordField(aField, aRecord, isNull, &value);
  return isNull ? aDefault : value;
}

// The 28-byte "$CachedBlobs" key.
struct CachedBlobsKey {
  std::uint8_t bytes[28];
  CachedBlobsKey(TnxBlobNr aBlobNr, std::int32_t aFieldNo, const TnxRecID& aRecID) {
    const auto refNr = static_cast<std::int64_t>(aRecID.ridRefNr);
    const std::int64_t insertLSN = aRecID.ridInsertLSN;
    std::memcpy(bytes, &aBlobNr, 8);
    std::memcpy(bytes + 8, &aFieldNo, 4);
    std::memcpy(bytes + 12, &refNr, 8);
    std::memcpy(bytes + 20, &insertLSN, 8);
  }
};

}  // namespace

void nxsrBlobHandlerCachedFinalize() {
  TnxPadlockGuard guard(gInfoDictionaryLock);
  TnxServerDataDict* dict = gInfoDictionary.exchange(nullptr);
  nxFreeAndNil(dict);
}

// ---- Life --------------------------------------------------------------------------------

TnxCachedBlobHandler::TnxCachedBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                                           TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                           TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aOwner),
      cbhOwner(aOwner),
      cbhBlobEngine(aBlobEngine),
      cbhBlobLinkHandler(aBlobLinkHandler),
      cbhFieldsDescriptor(aFieldsDescriptor) {
  infoDictionary();
  cbhFieldsDescriptor->HasBlobFields(cbhBlobFields);
  // "$CachedBlobs" is one of the table's internal indices.
  const PnxCacheableInfo info = aOwner->CacheableInfo();
  TnxBaseIndicesEngine* internal = aOwner->Table()->InternalIndicesEngine();
  if (info && info->ciCachedBlobsIndex >= 0 && internal && info->ciCachedBlobsIndex < internal->IndexCount()) {
    cbhCachedBlobsIndexEngine = internal->biseGetIndex(info->ciCachedBlobsIndex);
    if (cbhCachedBlobsIndexEngine) cbhCachedBlobsIndexPath = cbhCachedBlobsIndexEngine->CreateIndexPath();
  }
}

TnxCachedBlobHandler::~TnxCachedBlobHandler() { nxFreeAndNil(cbhCachedBlobsIndexPath); }

void TnxCachedBlobHandler::PrepareDestroy() {
  nxCloseBlobHandlerCache(cbhCache, cbhCacheRecord, cbhCacheRecordAsKey);
  nxFreeAndNil(cbhCachedBlobsIndexPath);
  TnxBaseBlobHandler::PrepareDestroy();
}

// ---- The cache-info table ----------------------------------------------------------------

TnxResult TnxCachedBlobHandler::EnsureCache() {
  if (cbhCache) return 0;
  return nxOpenBlobHandlerCache(cbhOwner, infoDictionary(), cbhCache, cbhCacheRecord, cbhCacheRecordAsKey);
}

void TnxCachedBlobHandler::SetKeyFields(PnxRecordBuffer aRecord, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                        TnxBlobNr aBlobNr) {
  // A record copy not stored yet keys as zero: the fields hold 0, never NULL.
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  const auto refNr = static_cast<std::int64_t>(aRecID.ridRefNr);
  const std::int64_t insertLSN = aRecID.ridInsertLSN;
  const auto blobNr = static_cast<std::int64_t>(aBlobNr);
  fields->SetRecordField(kCiRefNr, aRecord, &refNr);
  fields->SetRecordField(kCiInsertLSN, aRecord, &insertLSN);
  fields->SetRecordField(kCiFieldNo, aRecord, &aFieldNo);
  fields->SetRecordField(kCiBlobNr, aRecord, &blobNr);
}

bool TnxCachedBlobHandler::FindCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          Entry& aEntry) {
  if (!cbhCache) return false;
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  fields->InitRecord(cbhCacheRecordAsKey);
  SetKeyFields(cbhCacheRecordAsKey, aRecID, aFieldNo, aBlobNr);
  if (cbhCache->RecordGetForKey(4, 0, false, cbhCacheRecordAsKey, cbhCacheRecord, true, true) != 0) return false;
  aEntry.state = static_cast<TnxCachedBlobStateInfo>(cachedFieldOr<std::uint8_t>(fields, kCiState, cbhCacheRecord, 0));
  aEntry.cacheBlobNr = static_cast<TnxBlobNr>(cachedFieldOr<std::int64_t>(fields, kCiCacheBlobNr, cbhCacheRecord, 0));
  aEntry.flushed = cachedFieldOr<bool>(fields, kCiFlushed, cbhCacheRecord, false);
  aEntry.everFlushed = cachedFieldOr<bool>(fields, kCiEverFlushed, cbhCacheRecord, false);
  return true;
}

TnxResult TnxCachedBlobHandler::AddCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                              const nxString& aFileName, TnxBlobNr aCacheBlobNr,
                                              TnxCachedBlobStateInfo aState, TnxBlobNr aBlobNr) {
  if (const TnxResult made = EnsureCache()) return made;
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  fields->InitRecord(cbhCacheRecord);
  SetKeyFields(cbhCacheRecord, aRecID, aFieldNo, aBlobNr);
  const auto state = static_cast<std::uint8_t>(aState);
  fields->SetRecordField(kCiState, cbhCacheRecord, &state);
  if (!aFileName.empty())
    fields->fsdSetFieldByIndexAsVariant(cbhCacheRecord, kCiCacheFileName, platform::Variant(aFileName));
  if (aCacheBlobNr != 0) {
    const auto cached = static_cast<std::int64_t>(aCacheBlobNr);
    fields->SetRecordField(kCiCacheBlobNr, cbhCacheRecord, &cached);
  }
  return cbhCache->RecordInsert(nxltNoLock, cbhCacheRecord, nullptr);
}

TnxResult TnxCachedBlobHandler::RewriteFoundEntry() {
  return cbhCache->RecordModify(cbhCacheRecord, true, nullptr) == 0 ? 0 : nxErrBlobGeneral;
}

TnxResult TnxCachedBlobHandler::DeleteFoundEntry() {
  return cbhCache->RecordDelete(cbhCacheRecord, 0) == 0 ? 0 : nxErrBlobGeneral;
}

TnxResult TnxCachedBlobHandler::Unflush(const Entry& aEntry) {
  if (!aEntry.flushed) return 0;
  cbhCache->FieldsDescriptor()->SetRecordFieldNull(kCiFlushed, cbhCacheRecord, true);
  return RewriteFoundEntry();
}

bool TnxCachedBlobHandler::NeedNested() {
  if (!cbhCache) return false;
  std::uint32_t count = 0;
  cbhCache->Table()->RecordEngine()->GetRecordCount(cbhCache->GetActiveTrans(), count);
  return count > 0;
}

TnxBlobNr TnxCachedBlobHandler::NextTemporaryBlobNr() {
  return kCiTemporaryHigh | (cbhCreatedBlobsCounter.fetch_add(1, std::memory_order_acq_rel) + 1);
}

bool TnxCachedBlobHandler::IndexLookup(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::int32_t aFieldNo,
                                       const TnxRecID& aRecID, TnxBlobNr& aLocalBlobNr) {
  if (!cbhCachedBlobsIndexPath) return false;
  const CachedBlobsKey key(aBlobNr, aFieldNo, aRecID);
  if (!cbhCachedBlobsIndexEngine->FindKey(aTrans, key.bytes, 0, 0, 0, cbhCachedBlobsIndexPath, skaEqualFirst,
                                          nullptr))
    return false;
  aLocalBlobNr = cbhCachedBlobsIndexPath->RefNr;
  return true;
}

TnxBlobNr TnxCachedBlobHandler::CopyLocal(TnxBaseTransaction* aTrans, TnxBlobNr aSource, std::uint32_t aMaxLength) {
  TnxOwned<TnxMemoryStream> content(platform::create<TnxMemoryStream>());
  std::uint32_t length = 0;
  cbhBlobEngine->GetBlobLength(aTrans, aSource, nxBlobLinkLengthOf(cbhBlobLinkHandler), length);
  length = std::min(length, aMaxLength);
  if (length > 0) cbhBlobEngine->Read(aTrans, aSource, 0, length, nxBlobLinkReadOf(cbhBlobLinkHandler), *content);
  TnxBlobNr copy = 0;
  cbhBlobEngine->AddBlob(aTrans, copy);
  const auto stored = static_cast<std::uint32_t>(content->Size());
  if (stored > 0) cbhBlobEngine->Write(aTrans, copy, 0, stored, content->Memory());
  return copy;
}

// ---- Creating ----------------------------------------------------------------------------

TnxResult TnxCachedBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                           std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  CachedTimeoutNesting nesting;
  aBlobNr = NextTemporaryBlobNr();
  TnxBlobNr local = 0;
  cbhBlobEngine->AddBlob(aTrans, local);
  return AddCacheEntry(aRecID, aFieldNo, nxString(), local, cbsiCreated, aBlobNr);
}

TnxResult TnxCachedBlobHandler::BlobCreateFile(TnxBaseTransaction*, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                               const nxString& aFileName, TnxBlobNr& aBlobNr) {
  CachedTimeoutNesting nesting;
  aBlobNr = NextTemporaryBlobNr();
  return AddCacheEntry(aRecID, aFieldNo, aFileName, 0, cbsiCreatedFile, aBlobNr);
}

TnxResult TnxCachedBlobHandler::BlobCreateLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, const nxString&,
                                               TnxBlobNr, TnxBlobNr&) {
  return NotSupported(u"BlobCreateLink");
}

// ---- Reading -----------------------------------------------------------------------------

TnxResult TnxCachedBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                         bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                                         TStream& aStream, std::uint32_t* aBlobLen) {
  CachedTimeoutNesting nesting;
  TnxBlobNr local = 0;
  Entry entry;
  if (!aReadOld && FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) {
    if (entry.state != cbsiCreated && entry.state != cbsiModified) return nxErrBlobGeneral;
    local = entry.cacheBlobNr;
  } else if (!cbhCachedBlobsIndexPath) {
    return NotSupported(u"BlobRead");
  } else if (!IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) {
    return kCiCacheInvalid;
  }
  if (aBlobLen) {
    const auto length = static_cast<TnxResult>(
        cbhBlobEngine->GetBlobLength(aTrans, local, nxBlobLinkLengthOf(cbhBlobLinkHandler), *aBlobLen));
    if (length != 0) return length;
  }
  return static_cast<TnxResult>(
      cbhBlobEngine->Read(aTrans, local, aOffset, aLen, nxBlobLinkReadOf(cbhBlobLinkHandler), aStream));
}

TnxResult TnxCachedBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                              std::int32_t aFieldNo, bool aReadOld, TnxBlobNr aBlobNr,
                                              std::uint32_t& aLength) {
  CachedTimeoutNesting nesting;
  TnxBlobNr local = 0;
  Entry entry;
  if (!aReadOld && FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) {
    if (entry.state != cbsiCreated && entry.state != cbsiModified) return nxErrBlobGeneral;
    local = entry.cacheBlobNr;
  } else if (!cbhCachedBlobsIndexPath) {
    return NotSupported(u"BlobGetLength");
  } else if (!IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) {
    return kCiCacheInvalid;
  }
  return static_cast<TnxResult>(
      cbhBlobEngine->GetBlobLength(aTrans, local, nxBlobLinkLengthOf(cbhBlobLinkHandler), aLength));
}

bool TnxCachedBlobHandler::BlobIsLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                      nxString& aSrcTableName, TnxBlobNr&) {
  aSrcTableName.clear();
  return false;
}

TnxResult TnxCachedBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                             bool& aChanged) {
  aChanged = false;
  return NotSupported(u"BlobModified");
}

bool TnxCachedBlobHandler::BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                        TnxBlobNr aBlobNr) {
  CachedTimeoutNesting nesting;
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry))
    return entry.state == cbsiCreated || entry.state == cbsiModified;
  TnxBlobNr local = 0;
  return IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local);
}

// ---- Changing ----------------------------------------------------------------------------

TnxResult TnxCachedBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                          TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                                          const void* aBlob) {
  CachedTimeoutNesting nesting;
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) {
    if (entry.state != cbsiCreated && entry.state != cbsiModified) return nxErrBlobGeneral;
    cbhBlobEngine->Write(aTrans, entry.cacheBlobNr, aOffset, aLen, aBlob);
    return Unflush(entry);
  }
  if (const TnxResult made = EnsureCache()) return made;
  if (const TnxResult cached = BlobEnsureCached(aTrans, aRecID, aFieldNo, aBlobNr)) return cached;
  TnxBlobNr local = 0;
  if (!IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) return kCiCacheInvalid;
  const TnxBlobNr copy = CopyLocal(aTrans, local, ~std::uint32_t{0});
  if (const TnxResult added = AddCacheEntry(aRecID, aFieldNo, nxString(), copy, cbsiModified, aBlobNr))
    return added;
  cbhBlobEngine->Write(aTrans, copy, aOffset, aLen, aBlob);
  return 0;
}

TnxResult TnxCachedBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                             std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aBlobLength) {
  CachedTimeoutNesting nesting;
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) {
    if (entry.state != cbsiCreated && entry.state != cbsiModified) return nxErrBlobGeneral;
    cbhBlobEngine->Truncate(aTrans, entry.cacheBlobNr, aBlobLength);
    return Unflush(entry);
  }
  if (const TnxResult made = EnsureCache()) return made;
  TnxBlobNr copy = 0;
  if (aBlobLength > 0) {
    if (const TnxResult cached = BlobEnsureCached(aTrans, aRecID, aFieldNo, aBlobNr)) return cached;
    TnxBlobNr local = 0;
    if (!IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) return kCiCacheInvalid;
    copy = CopyLocal(aTrans, local, aBlobLength);
  } else {
    cbhBlobEngine->AddBlob(aTrans, copy);
  }
  return AddCacheEntry(aRecID, aFieldNo, nxString(), copy, cbsiModified, aBlobNr);
}

TnxResult TnxCachedBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                                            const void* aBlob) {
  CachedTimeoutNesting nesting;
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  if (aBlobNr == 0) {
    if (const TnxResult created = BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr)) return created;
    Entry entry;
    if (!FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) return nxErrBlobGeneral;
    cbhBlobEngine->Write(aTrans, entry.cacheBlobNr, 0, aLen, aBlob);
    return 0;
  }
  Entry entry;
  if (FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) {
    if (entry.state != cbsiCreated && entry.state != cbsiModified) return nxErrBlobGeneral;
    cbhBlobEngine->Write(aTrans, entry.cacheBlobNr, 0, aLen, aBlob);
    cbhBlobEngine->Truncate(aTrans, entry.cacheBlobNr, aLen);
    return Unflush(entry);
  }
  if (const TnxResult made = EnsureCache()) return made;
  TnxBlobNr copy = 0;
  cbhBlobEngine->AddBlob(aTrans, copy);
  cbhBlobEngine->Write(aTrans, copy, 0, aLen, aBlob);
  return AddCacheEntry(aRecID, aFieldNo, nxString(), copy, cbsiModified, aBlobNr);
}

TnxResult TnxCachedBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                           std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  CachedTimeoutNesting nesting;
  Entry entry;
  if (!FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry))
    return AddCacheEntry(aRecID, aFieldNo, nxString(), 0, cbsiDeleted, aBlobNr);
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  // The other side has the BLOB once a change was flushed: it must hear of
  // the deletion.
  auto becomeDeleted = [&](bool aClearFileName) {
    const auto state = static_cast<std::uint8_t>(cbsiDeleted);
    fields->SetRecordField(kCiState, cbhCacheRecord, &state);
    fields->SetRecordFieldNull(kCiCacheBlobNr, cbhCacheRecord, true);
    fields->SetRecordFieldNull(kCiFlushed, cbhCacheRecord, true);
    if (aClearFileName) fields->SetRecordFieldNull(kCiCacheFileName, cbhCacheRecord, true);
    return RewriteFoundEntry();
  };
  switch (entry.state) {
    case cbsiCreated:
      if (entry.cacheBlobNr != 0) cbhBlobEngine->DeleteBlob(aTrans, entry.cacheBlobNr);
      return entry.flushed ? becomeDeleted(false) : DeleteFoundEntry();
    case cbsiCreatedFile:
      return entry.flushed ? becomeDeleted(true) : DeleteFoundEntry();
    case cbsiModified:
      if (entry.cacheBlobNr != 0) cbhBlobEngine->DeleteBlob(aTrans, entry.cacheBlobNr);
      return becomeDeleted(false);
    default:
      return nxErrBlobGeneral;
  }
}

TnxResult TnxCachedBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                         TnxBlobNr aBlobNr, bool& aBlobDeleted) {
  CachedTimeoutNesting nesting;
  aBlobDeleted = false;
  Entry entry;
  if (!FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) return 0;
  if ((entry.state == cbsiCreated || entry.state == cbsiModified) && entry.cacheBlobNr != 0)
    cbhBlobEngine->DeleteBlob(aTrans, entry.cacheBlobNr);
  return DeleteFoundEntry();
}

// ---- Local copies ------------------------------------------------------------------------

TnxResult TnxCachedBlobHandler::BlobEnsureCached(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                 std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  TnxBlobNr local = 0;
  if (IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) return 0;
  return cbhOwner->ascBlobRequestCache(aRecID, aFieldNo, aBlobNr);
}

TnxResult TnxCachedBlobHandler::BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                               std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aLen,
                                               const void* aBlob) {
  if (!cbhCachedBlobsIndexPath) return NotSupported(u"BlobAddToCache");
  TnxBlobNr local = 0;
  if (IndexLookup(aTrans, aBlobNr, aFieldNo, aRecID, local)) return nxErrKeyViolation;
  cbhBlobEngine->AddBlob(aTrans, local);
  if (aLen > 0) cbhBlobEngine->Write(aTrans, local, 0, aLen, aBlob);
  const CachedBlobsKey key(aBlobNr, aFieldNo, aRecID);
  if (!cbhCachedBlobsIndexEngine->InsertKey(aTrans, key.bytes, local, 0, cbhCachedBlobsIndexPath)) {
    cbhBlobEngine->DeleteBlob(aTrans, local);
    return nxErrKeyViolation;
  }
  return 0;
}

// ---- Cache infos -------------------------------------------------------------------------

TnxResult TnxCachedBlobHandler::RangeRecord(const TnxRecID& aRecID) {
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  fields->InitRecord(cbhCacheRecordAsKey);
  SetKeyFields(cbhCacheRecordAsKey, aRecID, 0, 0);
  const std::int32_t count = aRecID.ridInsertLSN != 0 ? 2 : 1;
  return cbhCache->RangeSet(count, 0, false, cbhCacheRecordAsKey, true, count, 0, false, cbhCacheRecordAsKey, true);
}

TnxResult TnxCachedBlobHandler::GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                  TnxBlobCacheInfos& aBCIs) {
  CachedTimeoutNesting nesting;
  aBCIs.clear();
  if (!cbhCache) return 0;
  TnxResult result = RangeRecord(aRecID);
  if (result == 0) result = cbhCache->SetToBegin();
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  while (result == 0) {
    result = cbhCache->RecordGetNext(nxltNoLock, cbhCacheRecord);
    if (result != 0) break;
    TnxBlobCacheInfo info{};
    info.bciFieldNo = cachedFieldOr<std::int32_t>(fields, kCiFieldNo, cbhCacheRecord, -1);
    info.bciBlobNr = static_cast<TnxBlobNr>(cachedFieldOr<std::int64_t>(fields, kCiBlobNr, cbhCacheRecord, 0));
    info.bciBlobNrInternal = IsTemporaryBlobNr(info.bciBlobNr);
    info.bciState = static_cast<TnxCachedBlobStateInfo>(cachedFieldOr<std::uint8_t>(fields, kCiState, cbhCacheRecord, 0));
    info.bciCacheBlobNr = static_cast<TnxBlobNr>(cachedFieldOr<std::int64_t>(fields, kCiCacheBlobNr, cbhCacheRecord, 0));
    const platform::Variant fileName = fields->fsdGetFieldByIndexAsVariant(cbhCacheRecord, kCiCacheFileName);
    if (!fileName.isNullOrEmpty()) info.bciCacheFileName = fileName.toString();
    info.bciFlushed = cachedFieldOr<bool>(fields, kCiFlushed, cbhCacheRecord, false);
    info.bciEverFlushed = cachedFieldOr<bool>(fields, kCiEverFlushed, cbhCacheRecord, false);
    if ((info.bciState == cbsiCreated || info.bciState == cbsiModified) && info.bciCacheBlobNr != 0)
      cbhBlobEngine->GetBlobLength(aTrans, info.bciCacheBlobNr, nxBlobLinkLengthOf(cbhBlobLinkHandler),
                                   info.bciLength);
    aBCIs.push_back(std::move(info));
  }
  if (result == nxErrEOF) result = 0;
  cbhCache->RangeReset();
  if (result != 0) aBCIs.clear();
  return result;
}

TnxResult TnxCachedBlobHandler::BlobCacheFlushed(TnxBaseTransaction*, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                 TnxBlobNr aBlobNr, TnxBlobNr* aNewBlobNr) {
  CachedTimeoutNesting nesting;
  Entry entry;
  if (!FindCacheEntry(aRecID, aFieldNo, aBlobNr, entry)) return nxErrBlobGeneral;
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  const bool yes = true;
  fields->SetRecordField(kCiFlushed, cbhCacheRecord, &yes);
  fields->SetRecordField(kCiEverFlushed, cbhCacheRecord, &yes);
  if (aNewBlobNr && *aNewBlobNr != aBlobNr) {
    const auto renumbered = static_cast<std::int64_t>(*aNewBlobNr);
    fields->SetRecordField(kCiBlobNr, cbhCacheRecord, &renumbered);
  }
  return cbhCache->RecordModify(cbhCacheRecord, true, nullptr);
}

TnxResult TnxCachedBlobHandler::GetBlobs(TnxBaseTransaction* aTrans, const void* aData,
                                         const TnxMarkedBlobsByBlobIdx* aMarkedBlobs, std::uint16_t& aBlobCount,
                                         TnxBlobNr* aBlobNrs) {
  if (!aData) return nxErrInvalidParam;
  const std::uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if (!cbhCachedBlobsIndexPath) return 0;
  const TnxRecID recID = cbhOwner->acGetRecID(aData);
  for (std::size_t i = 0; i < cbhBlobFields.size(); ++i) {
    if (aMarkedBlobs) {
      const std::size_t word = i / 32;
      if (word >= aMarkedBlobs->size() || (((*aMarkedBlobs)[word] >> (i % 32)) & 1u) == 0) continue;
    }
    const std::int32_t field = cbhBlobFields[i];
    const TnxBlobNr number = FieldBlobNr(cbhFieldsDescriptor, field, aData);
    if (number == 0) continue;
    TnxBlobNr local = 0;
    if (!IndexLookup(aTrans, number, field, recID, local)) continue;
    if (!aBlobNrs || aBlobCount >= capacity) return nxErrOutOfRange;
    aBlobNrs[aBlobCount++] = number;
  }
  return 0;
}

TnxResult TnxCachedBlobHandler::BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  CachedTimeoutNesting nesting;
  if (!cbhCache) return 0;
  struct Key {
    TnxRecID recID;
    std::int32_t fieldNo;
    TnxBlobNr blobNr;
  };
  // The keys first: the walk must not run over the rows it deletes.
  std::vector<Key> keys;
  TnxFieldsDescriptor* fields = cbhCache->FieldsDescriptor();
  TnxResult result = cbhCache->SetToBegin();
  while (result == 0 && cbhCache->RecordGetNext(nxltNoLock, cbhCacheRecord) == 0) {
    Key key{};
    key.recID.ridRefNr = static_cast<TnxRefNr>(cachedFieldOr<std::int64_t>(fields, kCiRefNr, cbhCacheRecord, 0));
    key.recID.ridInsertLSN = cachedFieldOr<std::int64_t>(fields, kCiInsertLSN, cbhCacheRecord, 0);
    if (aRefNr != 0 && key.recID.ridRefNr != aRefNr) continue;
    key.fieldNo = cachedFieldOr<std::int32_t>(fields, kCiFieldNo, cbhCacheRecord, -1);
    key.blobNr = static_cast<TnxBlobNr>(cachedFieldOr<std::int64_t>(fields, kCiBlobNr, cbhCacheRecord, 0));
    keys.push_back(key);
  }
  for (const Key& key : keys) {
    Entry entry;
    if (!FindCacheEntry(key.recID, key.fieldNo, key.blobNr, entry)) continue;
    if ((entry.state == cbsiCreated || entry.state == cbsiModified) && entry.cacheBlobNr != 0)
      cbhBlobEngine->DeleteBlob(aTrans, entry.cacheBlobNr);
    if (const TnxResult deleted = DeleteFoundEntry()) return deleted;
  }
  return 0;
}

// ---- Hooks -------------------------------------------------------------------------------

template <class Body>
TnxResult TnxCachedBlobHandler::Hook(TnxBaseTransaction* aTrans, Body&& aBody) {
  TnxResult result = 0;
  try {
    CachedTimeoutNesting nesting;
    result = aBody();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0 && aTrans) aTrans->MarkCorrupted();
  return result;
}

TnxResult TnxCachedBlobHandler::AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            const void* aOldRecord, const void* aNewRecord) {
  if (!cbhCachedBlobsIndexPath || !aOldRecord || !aNewRecord) return 0;
  return Hook(aTrans, [&]() -> TnxResult {
    TnxResult result = 0;
    TnxBlobCacheInfos infos;
    if (GetBlobCacheInfos(aTrans, aRecID, infos) == 0) {
      for (const TnxBlobCacheInfo& info : infos) {
        if ((info.bciState != cbsiCreated && info.bciState != cbsiModified) || info.bciCacheBlobNr == 0) continue;
        bool kept = false;
        const TnxBlobNr before = FieldBlobNr(cbhFieldsDescriptor, info.bciFieldNo, aOldRecord);
        const TnxBlobNr value = FieldBlobNr(cbhFieldsDescriptor, info.bciFieldNo, aNewRecord);
        if (info.bciFlushed && value != 0 && value != before) {
          TnxBlobNr advanced = info.bciBlobNr;
          cbhBlobEngine->IncBlobNr(advanced);
          if (value == info.bciBlobNr || value == advanced) {
            // The flushed content is the other side's BLOB now: keep it as
            // its local copy.
            const CachedBlobsKey key(value, info.bciFieldNo, aRecID);
            const bool inserted =
                cbhCachedBlobsIndexEngine->InsertKey(aTrans, key.bytes, info.bciCacheBlobNr, 0,
                                                     cbhCachedBlobsIndexPath);
            nxAssert(inserted, "nxsrBlobHandlerCached: local copy of a flushed BLOB exists already");
            kept = true;
          }
        }
        if (!kept) cbhBlobEngine->DeleteBlob(aTrans, info.bciCacheBlobNr);
      }
      // Every entry of the record goes.
      for (const TnxBlobCacheInfo& info : infos) {
        Entry entry;
        if (!FindCacheEntry(aRecID, info.bciFieldNo, info.bciBlobNr, entry)) continue;
        result = DeleteFoundEntry();
        if (result != 0) break;
      }
    }
    // Local copies of BLOBs the record no longer names go.
    for (const std::int32_t field : cbhBlobFields) {
      const TnxBlobNr before = FieldBlobNr(cbhFieldsDescriptor, field, aOldRecord);
      const TnxBlobNr value = FieldBlobNr(cbhFieldsDescriptor, field, aNewRecord);
      if (before == 0 || before == value) continue;
      TnxBlobNr local = 0;
      if (!IndexLookup(aTrans, before, field, aRecID, local)) continue;
      const CachedBlobsKey key(before, field, aRecID);
      if (cbhCachedBlobsIndexEngine->DeleteKey(aTrans, key.bytes, local, 0, cbhCachedBlobsIndexPath))
        cbhBlobEngine->DeleteBlob(aTrans, local);
    }
    return result;
  });
}

TnxResult TnxCachedBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            const void* aRecord) {
  return Hook(aTrans, [&]() -> TnxResult {
    if (const TnxResult cancelled = BlobsCancel(aTrans, aRecID.ridRefNr)) return cancelled;
    if (!cbhCachedBlobsIndexPath || !aRecord) return 0;
    for (const std::int32_t field : cbhBlobFields) {
      const TnxBlobNr number = FieldBlobNr(cbhFieldsDescriptor, field, aRecord);
      if (number == 0) continue;
      TnxBlobNr local = 0;
      if (!IndexLookup(aTrans, number, field, aRecID, local)) continue;
      const CachedBlobsKey key(number, field, aRecID);
      if (cbhCachedBlobsIndexEngine->DeleteKey(aTrans, key.bytes, local, 0, cbhCachedBlobsIndexPath))
        cbhBlobEngine->DeleteBlob(aTrans, local);
    }
    return 0;
  });
}

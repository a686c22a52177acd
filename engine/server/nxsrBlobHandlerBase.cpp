#include "nxsrBlobHandlerBase.h"

#include <cstring>

#include "nxllException.h"
#include "nxsdServerBaseCursor.h"
#include "nxsrServerEngine.h"

PL_CLASS_INFO_IMPL(TnxBaseBlobLinkHandler, TnxExtendableServerObject, "TnxBaseBlobLinkHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseBlobHandler, TnxExtendableServerObject, "TnxBaseBlobHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxNullBlobHandler, TnxBaseBlobHandler, "TnxNullBlobHandler", nullptr)

// ---- Link handler base -------------------------------------------------------------------

TnxBlobLinkRead TnxBaseBlobLinkHandler::ReadMethod() {
  return [this](const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                TStream& aStream) { return BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream); };
}

TnxBlobLinkGetLength TnxBaseBlobLinkHandler::LengthMethod() {
  return [this](const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t& aLength) {
    return BlobLinkGetLength(aTableName, aBlobNr, aLength);
  };
}

TnxBlobLinkRead nxBlobLinkReadOf(TnxBaseBlobLinkHandler* aHandler) {
  return aHandler ? aHandler->ReadMethod() : TnxBlobLinkRead();
}

TnxBlobLinkGetLength nxBlobLinkLengthOf(TnxBaseBlobLinkHandler* aHandler) {
  return aHandler ? aHandler->LengthMethod() : TnxBlobLinkGetLength();
}

// ---- Handler base ------------------------------------------------------------------------

TnxBaseBlobHandler::TnxBaseBlobHandler(TnxServerBaseCursor* aOwner)
    : TnxExtendableServerObject(aOwner), bbhOwner(aOwner) {}

TnxResult TnxBaseBlobHandler::GetBlobs(TnxBaseTransaction*, const void* aData,
                                       const TnxMarkedBlobsByBlobIdx* aMarkedBlobs, std::uint16_t& aBlobCount,
                                       TnxBlobNr* aBlobNrs) {
  const std::uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if (!aData) return nxErrInvalidParam;
  TnxSpecialFieldsInfo* sfi = bbhOwner->SFI();
  TnxFieldsDescriptor* fields = bbhOwner->FieldsDescriptor();
  if (!sfi || !fields) return 0;
  for (std::size_t i = 0; i < sfi->sfiBlobFields.size(); ++i) {
    if (aMarkedBlobs) {
      const std::size_t word = i / 32;
      if (word >= aMarkedBlobs->size() || (((*aMarkedBlobs)[word] >> (i % 32)) & 1u) == 0) continue;
    }
    const TnxBlobNr number = FieldBlobNr(fields, sfi->sfiBlobFields[i], aData);
    if (number == 0) continue;
    if (!aBlobNrs || aBlobCount >= capacity) return nxErrOutOfRange;
    aBlobNrs[aBlobCount++] = number;
  }
  return 0;
}

TnxResult TnxBaseBlobHandler::BlobsCancel(TnxBaseTransaction*, TnxRefNr) { return 0; }

TnxResult TnxBaseBlobHandler::GetBlobCacheInfos(TnxBaseTransaction*, const TnxRecID&, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  return NotSupported(u"GetBlobCacheInfos");
}

TnxResult TnxBaseBlobHandler::BlobCacheFlushed(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                               TnxBlobNr*) {
  return NotSupported(u"BlobCacheFlushed");
}

TnxResult TnxBaseBlobHandler::BlobAddToCache(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                             std::uint32_t, const void*) {
  return NotSupported(u"BlobAddToCache");
}

TnxResult TnxBaseBlobHandler::ReadOldNotSupported(const char16_t* aOperation) const {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"%s with aReadOld = True is not supported by %s",
                                        {nxString(aOperation), platform::fromUtf8(className())});
}

TnxBlobNr TnxBaseBlobHandler::FieldBlobNr(TnxFieldsDescriptor* aFields, std::int32_t aFieldNo, const void* aRecord) {
  if (!aRecord || aFields->IsRecordFieldNull(aFieldNo, aRecord)) return 0;
  TnxBlobNr number = 0;
  std::memcpy(&number, static_cast<const std::uint8_t*>(aRecord) + aFields->Fields(aFieldNo)->fdOffset,
              sizeof(number));
  return number;
}

// ---- Null handler ------------------------------------------------------------------------

TnxResult TnxNullBlobHandler::GetBlobs(TnxBaseTransaction*, const void*, const TnxMarkedBlobsByBlobIdx*,
                                       std::uint16_t& aBlobCount, TnxBlobNr*) {
  aBlobCount = 0;
  return 0;
}

TnxResult TnxNullBlobHandler::BlobCreate(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr&) {
  return NotSupported(u"BlobCreate");
}

TnxResult TnxNullBlobHandler::BlobCreateFile(TnxBaseTransaction*, const TnxRecID&, std::int32_t, const nxString&,
                                             TnxBlobNr&) {
  return NotSupported(u"BlobCreateFile");
}

TnxResult TnxNullBlobHandler::BlobCreateLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, const nxString&,
                                             TnxBlobNr, TnxBlobNr&) {
  return NotSupported(u"BlobCreateLink");
}

TnxResult TnxNullBlobHandler::BlobDelete(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr) {
  return NotSupported(u"BlobDelete");
}

TnxResult TnxNullBlobHandler::BlobFree(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, bool&) {
  return NotSupported(u"BlobFree");
}

TnxResult TnxNullBlobHandler::BlobTruncate(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                           std::uint32_t) {
  return NotSupported(u"BlobTruncate");
}

TnxResult TnxNullBlobHandler::BlobWrite(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t,
                                        std::uint32_t, const void*) {
  return NotSupported(u"BlobWrite");
}

TnxResult TnxNullBlobHandler::BlobReplace(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr&,
                                          std::uint32_t, const void*) {
  return NotSupported(u"BlobReplace");
}

TnxResult TnxNullBlobHandler::BlobGetLength(TnxBaseTransaction*, const TnxRecID&, std::int32_t, bool, TnxBlobNr,
                                            std::uint32_t&) {
  return NotSupported(u"BlobGetLength");
}

bool TnxNullBlobHandler::BlobIsLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                    nxString& aSrcTableName, TnxBlobNr&) {
  aSrcTableName.clear();
  return false;
}

TnxResult TnxNullBlobHandler::BlobRead(TnxBaseTransaction*, const TnxRecID&, std::int32_t, bool, TnxBlobNr,
                                       std::uint32_t, std::uint32_t, TStream&, std::uint32_t*) {
  return NotSupported(u"BlobRead");
}

TnxResult TnxNullBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, bool&) {
  return NotSupported(u"BlobModified");
}

TnxResult nxOpenBlobHandlerCache(TnxServerTableCursor* aOwner, TnxServerDataDict* aDictionary,
                                 TnxServerTableCursor*& aCache, PnxRecordBuffer& aRecord,
                                 PnxRecordBuffer& aRecordAsKey) {
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->Assign(aDictionary);
  TnxServerTableCursor* cache =
      TnxServerTableCursor::CreateResultSet(aOwner->ServerDatabase(), dict.get(), aOwner->Timeout());
  const TnxResult switched = cache->SwitchToIndex(nxString(), 0, porFalse);
  if (switched != 0) {
    TnxAbstractServerObject::Free(cache);
    return switched;
  }
  aCache = cache;
  aRecord = static_cast<PnxRecordBuffer>(cache->Table()->RecordAllocator().Alloc());
  aRecordAsKey = static_cast<PnxRecordBuffer>(cache->Table()->RecordAllocator().Alloc());
  return 0;
}

void nxCloseBlobHandlerCache(TnxServerTableCursor*& aCache, PnxRecordBuffer& aRecord, PnxRecordBuffer& aRecordAsKey) {
  if (!aCache) return;
  if (aRecord) aCache->Table()->RecordAllocator().DisposeDirect(aRecord);
  if (aRecordAsKey) aCache->Table()->RecordAllocator().DisposeDirect(aRecordAsKey);
  aRecord = aRecordAsKey = nullptr;
  TnxAbstractServerObject::Free(std::exchange(aCache, nullptr));
}

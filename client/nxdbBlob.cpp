// BLOB streams, the dataset's BLOB operations (stream choice, whole-BLOB
// copies, files, marking) and the dataset's field classes.
#include "nxdbBlob.h"

#include <algorithm>
#include <cstring>

#include "nxdbInt.h"
#include "nxllBde.h"
#include "nxllList.h"
#include "plCodePage.h"

using namespace platform;

namespace {

constexpr char16_t kBlobNotEditing[] = u"DataSet not in editing mode";
constexpr char16_t kBlobNoActiveBuffer[] = u"Could not retrieve the active buffer";
constexpr char16_t kBlobStreamsOpen[] = u"All BLOB streams must be freed before executing this operation";
constexpr char16_t kBlobFiltering[] = u"No access to field whilst DataSet is being filtered";
constexpr char16_t kBlobReadOnlyReadWrite[] =
    u"The field is readonly but BLOB stream is being opened for read/write access";
constexpr char16_t kBlobNotEdited[] =
    u"The BLOB stream is being opened for read/write access but the DataSet is not being edited";
constexpr char16_t kBlobNoFieldBuffer[] = u"No access to field buffer";

constexpr std::int32_t kBlobChunk = 524288;

bool blobIsGoneCode(TnxResult aResult) { return aResult == nxErrKeyOrRecDeleted || aResult == nxErrNoCurrentRecord; }

// Codes after which a read-mode stream looks for a moved BLOB.
bool blobIsRetryCode(TnxResult aResult) {
  switch (aResult) {
    case nxErrBlobModified:
    case nxErrInvalidBlockNumber:
    case nxErrNotAHeapBlock:
    case nxErrInvalidSegment:
    case nxErrSegmentDeleted:
      return true;
    default:
      return ((aResult >> 8) & 0xFF) == nxCatCorruption;
  }
}

bool blobIsEngineBlobType(TnxFieldType aType) {
  return aType == nxtBlob || aType == nxtBlobMemo || aType == nxtBlobGraphic || aType == nxtBlobWideMemo;
}

struct blobFreeObject {
  void operator()(TObject* aObject) const { TObject::free(aObject); }
};

}  // namespace

// ---------------------------------------------------------------------------
// TnxBaseBlobStream

PL_CLASS_INFO_IMPL(TnxBaseBlobStream, TStream, "TnxBaseBlobStream", nullptr)

TnxBaseBlobStream::TnxBaseBlobStream(TBlobField* aField, TBlobStreamMode aMode)
    : bbsField(aField), bbsMode(aMode) {
  bbsDataset = objectAs<TnxDataset>(aField->DataSet());
  bbsFieldNo = static_cast<std::uint32_t>(aField->FieldNo() - 1);
  if (bbsDataset) bbsDataset->dsLinkBlobStream(this);
}

TnxBaseBlobStream::~TnxBaseBlobStream() { bbsUnlink(); }

void TnxBaseBlobStream::bbsUnlink() {
  if (bbsDataset) bbsDataset->dsUnlinkBlobStream(this);
  bbsDataset = nullptr;
}

void TnxBaseBlobStream::DetachFromDataset() { bbsUnlink(); }

void TnxBaseBlobStream::bbsRaise(TnxResult aResult) const { throw EnxDatabaseError(bbsField, aResult); }

void TnxBaseBlobStream::bbsRaiseMessage(const nxString& aMessage) const {
  throw EnxDatabaseError(bbsField, aMessage);
}

// ---------------------------------------------------------------------------
// TnxBlobStream

PL_CLASS_INFO_IMPL(TnxBlobStream, TnxBaseBlobStream, "TnxBlobStream", nullptr)

TnxBlobStream::TnxBlobStream(TBlobField* aField, bool aCached, bool aReadOrg, TBlobStreamMode aMode)
    : TnxBaseBlobStream(aField, aMode), bsReadOrg(aReadOrg) {
  TnxDataset* ds = bbsDataset;
  if (ds->State() == dsFilter) bbsRaiseMessage(kBlobFiltering);
  const bool writing = aMode != bmRead;
  if (writing) {
    if ((aField->ReadOnly() && ds->dsIgnoreReadOnly <= 0) || aReadOrg) bbsRaiseMessage(kBlobReadOnlyReadWrite);
    if (ds->State() != dsEdit && ds->State() != dsInsert) bbsRaiseMessage(kBlobNotEdited);
  }
  bsOpened = ds->dsGetActiveRecBuf(bsBuffer);
  if (!bsOpened) {
    bsBuffer = nullptr;
    if (writing) bbsRaiseMessage(kBlobNoFieldBuffer);
  }
  if (aCached && bsOpened) {
    bsCache = create<TnxMemoryStream>();
    if (aMode == bmWrite) {
      bsCacheStatus = 0;
      bsModified = true;
    }
  } else if (!aCached && aMode == bmWrite) {
    bsNeedsTruncate0 = true;
  }
}

TnxBlobStream::~TnxBlobStream() { TObject::free(std::exchange(bsCache, nullptr)); }

void TnxBlobStream::beforeDestruction() {
  // Flush may raise; the destructor still unlinks and frees the cache.
  Flush();
}

void TnxBlobStream::DetachFromDataset() {
  bsOpened = false;
  TObject::free(std::exchange(bsCache, nullptr));
  bsBuffer = nullptr;
  TnxBaseBlobStream::DetachFromDataset();
}

void TnxBlobStream::bsDoTruncate0() {
  if (!bsNeedsTruncate0) return;
  bsNeedsTruncate0 = false;
  bbsCheck(bbsDataset->dsBlobTruncate(bsBuffer, bbsField, 0));
  bsModified = true;
}

void TnxBlobStream::bsTakeNewBlobNr(const TnxNewBlobNr& aNewBlobNr, TnxBlobNr& aBlobNr) {
  if (!aNewBlobNr.nbnSet || aNewBlobNr.nbnBlobNr == aBlobNr) return;
  aBlobNr = aNewBlobNr.nbnBlobNr;
  bbsDataset->dsSetBlobNr(bsBuffer, bbsField, aBlobNr);
}

bool TnxBlobStream::bsShouldRetry(TnxResult& aResult, TnxBlobNr& aBlobNr, const TnxNewBlobNr& aNewBlobNr) {
  if (bbsMode != bmRead || !blobIsRetryCode(aResult)) return false;
  TnxDataset* ds = bbsDataset;
  nxString message;
  TnxResult code = 0;
  EnxBaseException::GetLastConvertedException(code, message);
  const TnxBlobNr before = aBlobNr;
  if (aNewBlobNr.nbnSet) {
    bsTakeNewBlobNr(aNewBlobNr, aBlobNr);
  } else {
    ds->UpdateCursorPos();
    std::vector<std::uint8_t> fresh(static_cast<std::size_t>(ds->dsRecordLength));
    const TnxResult got = ds->dsAbstractCursor->RecordGet(nxltNoLock, fresh.data());
    if (blobIsGoneCode(got)) {
      ds->dsSetBlobNr(bsBuffer, bbsField, 0);
      aBlobNr = 0;
      aResult = got;
      return true;
    }
    if (got == 0) {
      bool isNull = false;
      TnxBlobNr freshNr = 0;
      ds->dsFieldsDescriptor->GetRecordField(static_cast<std::int32_t>(bbsFieldNo), fresh.data(), isNull, &freshNr);
      if (isNull) freshNr = 0;
      aBlobNr = freshNr;
      ds->dsSetBlobNr(bsBuffer, bbsField, freshNr);
    }
  }
  if (aBlobNr != before) return true;
  EnxBaseException::SetLastConvertedException(code, message);
  return false;
}

std::int32_t TnxBlobStream::Read(void* aBuffer, std::int32_t aCount) {
  if (aCount <= 0 || !bsOpened) return 0;
  if (bsCache) {
    bsLoadCache();
    return bsCache->Read(aBuffer, aCount);
  }
  bsDoTruncate0();
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  bbsDataset->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
  TnxStaticMemoryStream dest(aBuffer, aCount);
  for (;;) {
    if (blobNr == 0) return 0;
    TnxNewBlobNr newNr{0, false};
    TnxResult result =
        bbsDataset->dsAbstractCursor->BlobRead(recID, static_cast<std::int32_t>(bbsFieldNo), blobNr,
                                               static_cast<std::uint32_t>(bsPosition),
                                               static_cast<std::uint32_t>(aCount), dest, bsReadOrg, &newNr);
    if (result == 0) {
      bsTakeNewBlobNr(newNr, blobNr);
      const auto delivered = static_cast<std::int32_t>(dest.Position());
      bsPosition += delivered;
      return delivered;
    }
    if (bsShouldRetry(result, blobNr, newNr)) {
      dest.SetPosition(0);
      continue;
    }
    if (blobIsGoneCode(result) || result == nxErrInvalidBlobOffset) return 0;
    bbsRaise(result);
  }
}

std::int64_t TnxBlobStream::bsGetBlobLength() {
  if (bsNeedsTruncate0) return 0;
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  bbsDataset->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
  for (;;) {
    if (blobNr == 0) return 0;
    TnxNewBlobNr newNr{0, false};
    std::uint32_t length = 0;
    TnxResult result = bbsDataset->dsAbstractCursor->BlobGetLength(
        recID, static_cast<std::int32_t>(bbsFieldNo), blobNr, length, bsReadOrg, &newNr);
    if (result == 0) {
      bsTakeNewBlobNr(newNr, blobNr);
      return length;
    }
    if (bsShouldRetry(result, blobNr, newNr)) continue;
    if (bbsMode == bmRead && blobIsGoneCode(result)) {
      bsOpened = false;
      return 0;
    }
    bbsRaise(result);
  }
}

std::int64_t TnxBlobStream::Size() {
  if (!bsOpened) return 0;
  if (bsCache) {
    bsLoadCache();
    return bsCache->Size();
  }
  return bsGetBlobLength();
}

std::int64_t TnxBlobStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  if (bsCache) {
    bsLoadCache();
    return bsCache->Seek(aOffset, aOrigin);
  }
  switch (aOrigin) {
    case soBeginning: bsPosition = aOffset; break;
    case soCurrent: bsPosition += aOffset; break;
    case soEnd: bsPosition = (bsOpened ? bsGetBlobLength() : 0) + aOffset; break;
  }
  return bsPosition;
}

std::int32_t TnxBlobStream::Write(const void* aBuffer, std::int32_t aCount) {
  if (aCount <= 0 || !bsOpened || bbsMode == bmRead) return 0;
  if (bsCache) {
    bsLoadCache();
    const std::int32_t written = bsCache->Write(aBuffer, aCount);
    bsModified = true;
    return written;
  }
  TnxDataset* ds = bbsDataset;
  const auto fieldNo = static_cast<std::int32_t>(bbsFieldNo);
  if (bsNeedsTruncate0 && bsPosition == 0) {
    // A new BLOB from the start is one replace instead of truncate and write.
    TnxRecID recID;
    TnxBlobNr blobNr = 0;
    ds->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
    bbsCheck(ds->dsAbstractCursor->BlobReplace(recID, fieldNo, blobNr, static_cast<std::uint32_t>(aCount), aBuffer));
    ds->dsSetBlobNr(bsBuffer, bbsField, blobNr);
    bsNeedsTruncate0 = false;
  } else {
    bsDoTruncate0();
    bbsCheck(ds->dsBlobCreateIfNull(bsBuffer, bbsField));
    TnxRecID recID;
    TnxBlobNr blobNr = 0;
    ds->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
    bbsCheck(ds->dsAbstractCursor->BlobWrite(recID, fieldNo, blobNr, static_cast<std::uint32_t>(bsPosition),
                                             static_cast<std::uint32_t>(aCount), aBuffer));
  }
  bsPosition += aCount;
  bsModified = true;
  return aCount;
}

void TnxBlobStream::SetSize(std::int64_t aNewSize) {
  if (bbsMode == bmRead) bbsRaise(nxErrReadOnlyField);
  if (!bsOpened) return;
  bsDoTruncate0();
  if (bsCache) {
    if (aNewSize != 0) {
      bsLoadCache();
    } else {
      bsCacheStatus = 0;
    }
    bsCache->SetSize(aNewSize);
  } else {
    bbsCheck(bbsDataset->dsBlobTruncate(bsBuffer, bbsField, static_cast<std::uint32_t>(aNewSize)));
  }
  bsModified = true;
}

void TnxBlobStream::Truncate() {
  if (bbsMode == bmRead) bbsRaise(nxErrReadOnlyField);
  if (!bsOpened) return;
  bsDoTruncate0();
  if (bsCache) {
    if (bsCacheStatus != 0) {
      bsCache->Clear();
      bsCacheStatus = 0;
    } else {
      bsCache->SetSize(bsCache->Position());
    }
  } else {
    bbsCheck(bbsDataset->dsBlobTruncate(bsBuffer, bbsField, static_cast<std::uint32_t>(bsPosition)));
  }
  bsModified = true;
}

void TnxBlobStream::bsLoadCache() {
  while (bsCacheStatus != 0) {
    bsCache->Clear();
    TnxRecID recID;
    TnxBlobNr blobNr = 0;
    bbsDataset->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
    TnxResult result = 0;
    for (;;) {
      if (blobNr == 0) break;
      TnxNewBlobNr newNr{0, false};
      result = bbsDataset->dsAbstractCursor->BlobRead(recID, static_cast<std::int32_t>(bbsFieldNo), blobNr, 0,
                                                      ~std::uint32_t{0}, *bsCache, bsReadOrg, &newNr);
      if (result == 0) {
        bsTakeNewBlobNr(newNr, blobNr);
        break;
      }
      if (!bsShouldRetry(result, blobNr, newNr)) break;
      bsCache->Clear();
      result = 0;
    }
    if (result != 0 && !blobIsGoneCode(result)) {
      bsCache->Clear();
      bbsRaise(result);
    }
    if (result != 0) bsCache->Clear();
    bsCacheStatus = 0;
    bsCache->SetPosition(0);
  }
}

void TnxBlobStream::bsWriteCache() {
  if (bsCacheStatus != 0) return;
  TnxDataset* ds = bbsDataset;
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  ds->dsGetBlobNr(bsBuffer, bbsField, recID, blobNr);
  const auto fieldNo = static_cast<std::int32_t>(bbsFieldNo);
  if (bsCache->Size() > 0) {
    bbsCheck(ds->dsAbstractCursor->BlobReplace(recID, fieldNo, blobNr, static_cast<std::uint32_t>(bsCache->Size()),
                                               bsCache->Memory()));
    ds->dsSetBlobNr(bsBuffer, bbsField, blobNr);
  } else if (blobNr != 0) {
    bbsCheck(ds->dsAbstractCursor->BlobTruncate(recID, fieldNo, blobNr, 0));
  }
}

void TnxBlobStream::Flush() {
  if (!bsOpened) return;
  bsDoTruncate0();
  if (!bsModified) return;
  if (bsCache && bbsMode != bmRead) bsWriteCache();
  bbsField->SetModified(true);
  bbsDataset->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(bbsField));
  bsModified = false;
}

// ---------------------------------------------------------------------------
// Dataset: stream list

void TnxDataset::dsLinkBlobStream(TnxBaseBlobStream* aStream) {
  aStream->bbsDataSetPrev = dsBlobStreamsTail;
  aStream->bbsDataSetNext = nullptr;
  if (dsBlobStreamsTail)
    dsBlobStreamsTail->bbsDataSetNext = aStream;
  else
    dsBlobStreamsHead = aStream;
  dsBlobStreamsTail = aStream;
}

void TnxDataset::dsUnlinkBlobStream(TnxBaseBlobStream* aStream) {
  if (aStream->bbsDataSetPrev)
    aStream->bbsDataSetPrev->bbsDataSetNext = aStream->bbsDataSetNext;
  else
    dsBlobStreamsHead = aStream->bbsDataSetNext;
  if (aStream->bbsDataSetNext)
    aStream->bbsDataSetNext->bbsDataSetPrev = aStream->bbsDataSetPrev;
  else
    dsBlobStreamsTail = aStream->bbsDataSetPrev;
  aStream->bbsDataSetPrev = aStream->bbsDataSetNext = nullptr;
}

void TnxDataset::dsCheckBlobStreamsFreed(bool aFreeThem) {
  if (!dsBlobStreamsHead) return;
  if (!aFreeThem) dsRaiseMessage(kBlobStreamsOpen);
  while (dsBlobStreamsHead) dsBlobStreamsHead->DetachFromDataset();
}

// ---------------------------------------------------------------------------
// Dataset: record-level operations

bool TnxDataset::dsIsEngineBlobField(TField* aField) const {
  if (!aField || !aField->IsDataField() || !objectAs<TBlobField>(aField)) return false;
  const int no = aField->FieldNo();
  if (!dsFieldsDescriptor || no < 1 || no > dsFieldsDescriptor->FieldCount()) return false;
  return blobIsEngineBlobType(dsFieldsDescriptor->Fields(no - 1)->GetFieldType());
}

TnxResult TnxDataset::dsGetBlobNr(TRecordBuffer aBuffer, TField* aField, TnxRecID& aRecID, TnxBlobNr& aBlobNr) {
  aRecID = dsGetRecID(aBuffer);
  bool isNull = true;
  aBlobNr = 0;
  dsFieldsDescriptor->GetRecordField(aField->FieldNo() - 1, aBuffer, isNull, &aBlobNr);
  if (isNull) aBlobNr = 0;
  return 0;
}

TnxResult TnxDataset::dsBlobCreateIfNull(TRecordBuffer aBuffer, TField* aField) {
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  dsGetBlobNr(aBuffer, aField, recID, blobNr);
  if (blobNr != 0) return 0;
  const TnxResult result = dsAbstractCursor->BlobCreate(recID, aField->FieldNo() - 1, blobNr);
  if (result == 0) dsSetBlobNr(aBuffer, aField, blobNr);
  return result;
}

TnxResult TnxDataset::dsBlobFree(TRecordBuffer aBuffer, TField* aField) {
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  dsGetBlobNr(aBuffer, aField, recID, blobNr);
  if (blobNr == 0) return 0;
  TnxResult result = dsAbstractCursor->BlobFree(recID, aField->FieldNo() - 1, blobNr);
  if (result == nxErrBlobModified) {
    dsSetBlobNr(aBuffer, aField, 0);
    result = 0;
  }
  return result;
}

void TnxDataset::dsSetBlobNr(TRecordBuffer aBuffer, TField* aField, TnxBlobNr aBlobNr) {
  const std::int32_t index = aField->FieldNo() - 1;
  if (aBlobNr == 0) {
    dsFieldsDescriptor->SetRecordFieldNull(index, aBuffer, true);
  } else {
    dsFieldsDescriptor->SetRecordField(index, aBuffer, &aBlobNr);
  }
}

TnxResult TnxDataset::dsBlobTruncate(TRecordBuffer aBuffer, TField* aField, std::uint32_t aNewLength) {
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  dsGetBlobNr(aBuffer, aField, recID, blobNr);
  if (blobNr == 0) return aNewLength == 0 ? 0 : nxErrInvalidBlobOffset;
  return dsAbstractCursor->BlobTruncate(recID, aField->FieldNo() - 1, blobNr, aNewLength);
}

// ---------------------------------------------------------------------------
// Dataset: streams, copies and files

TStream* TnxDataset::CreateBlobStream(TField* aField, TBlobStreamMode aMode) {
  CheckActive();
  if (!aField) dsRaise(nxErrInvalidParam);
  if (!dsIsEngineBlobField(aField)) throw EnxDatabaseError(aField, nxErrNotABlob);
  auto* blob = static_cast<TBlobField*>(aField);
  TStream* stream = create<TnxBlobStream>(blob, dsOptions.contains(dsoCachedBlobStreams), State() == dsOldValue,
                                          aMode);
  if (dsOptions.contains(dsoAutoMarkBlobsOnReadAccess) && aMode != bmWrite) dsSetBlobMarked(aField, true);
  return stream;
}

void TnxDataset::CloseBlob(TField* aField) {
  TRecordBuffer buffer = nullptr;
  if (!dsAbstractCursor || !dsIsEngineBlobField(aField) || !dsGetActiveRecBuf(buffer)) return;
  const TnxResult result = dsBlobFree(buffer, aField);
  if (result != 0) throw EnxDatabaseError(aField, result);
}

void TnxDataset::FreeFieldBuffers() {
  if (dsAbstractCursor) {
    const auto caps = dsAbstractCursor->Capabilities();
    if (caps.contains(accCancelBlobs) && (caps.contains(accCaching) || !dsMessageReductionOff())) {
      std::vector<TBlobField*> modified;
      for (TField* f : dsBlobFields)
        if (auto* blob = objectAs<TBlobField>(f); blob && blob->Modified()) modified.push_back(blob);
      TRecordBuffer buffer = nullptr;
      if (!modified.empty() && dsGetActiveRecBuf(buffer)) {
        TnxRefNr refNr = ~TnxRefNr{0};
        if (GetBookmarkFlag(buffer) == bfCurrent && BookmarkSize() >= 20)
          std::memcpy(&refNr, buffer + dsOffsetBookmark + 12, sizeof refNr);
        TnxResult result = dsAbstractCursor->BlobsCancel(refNr);
        if (dsOptions.contains(dsoOptimisticLocks) && blobIsGoneCode(result)) result = 0;
        if (result != 0 && !dsDeactivating) dsRaise(result);
      }
      for (TBlobField* blob : modified) blob->SetModified(false);
    }
  }
  TDataSet::FreeFieldBuffers();
}

TnxResult TnxDataset::ReadBlobIntoStreamEx(TField* aField, TStream* aStream, bool aSnapshot, bool aReadOrg) {
  if (!aField || !aStream) return nxErrInvalidParam;
  if (!Active() || !dsAbstractCursor) {
    EnxBaseException::nxSetMessage(nxErrInvalidHandle, u"Invalid handle to the function.");
    return nxErrInvalidHandle;
  }
  TRecordBuffer buffer = nullptr;
  if (!dsGetActiveRecBuf(buffer)) dsRaiseMessage(kBlobNoActiveBuffer);
  if (!dsIsEngineBlobField(aField)) return nxErrNotABlob;
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  dsGetBlobNr(buffer, aField, recID, blobNr);
  if (blobNr == 0) return 0;
  const std::int32_t fieldNo = aField->FieldNo() - 1;
  TnxBlobReadSnapshotState snapshot =
      aSnapshot && State() != dsEdit && State() != dsInsert ? brssRequestStart : brssNone;
  const bool memoryDest = objectAs<TnxMemoryStream>(aStream) != nullptr;
  std::uint32_t blobLen = 0;
  const std::int64_t start = aStream->Position();
  TnxResult result = 0;
  for (;;) {
    TnxNewBlobNr newNr{0, false};
    const std::int64_t before = aStream->Position();
    result = dsAbstractCursor->BlobReadSnapshoted(recID, fieldNo, blobNr, 0, kBlobChunk, *aStream, aReadOrg, snapshot,
                                                   memoryDest ? &blobLen : nullptr, &newNr);
    if (result == nxErrBlobModified && newNr.nbnSet && newNr.nbnBlobNr != blobNr) {
      blobNr = newNr.nbnBlobNr;
      dsSetBlobNr(buffer, aField, blobNr);
      aStream->SetPosition(start);
      continue;
    }
    if (result != 0) break;
    std::int64_t got = aStream->Position() - before;
    if (got >= kBlobChunk) {
      if (memoryDest && blobLen > 0) {
        auto* mem = static_cast<TnxMemoryStream*>(aStream);
        if (mem->Capacity() < start + blobLen) mem->SetCapacity(start + blobLen);
      }
      std::uint32_t offset = static_cast<std::uint32_t>(got);
      while (got >= kBlobChunk) {
        const std::int64_t at = aStream->Position();
        result = dsAbstractCursor->BlobReadSnapshoted(recID, fieldNo, blobNr, offset, kBlobChunk, *aStream, aReadOrg,
                                                       snapshot, nullptr, &newNr);
        if (result != 0) break;
        got = aStream->Position() - at;
        offset += static_cast<std::uint32_t>(got);
      }
    }
    break;
  }
  // A snapshot transaction the cursor left open ends here in every case.
  if (snapshot == brssStarted || snapshot == brssRequestClose) {
    if (dsAbstractCursor->acTransactionRollbackForBlobReadSnapshoted() == 0) snapshot = brssClosed;
  }
  if (snapshot == brssStarted || snapshot == brssRequestClose || snapshot == brssFailedToClose)
    return result != 0 ? result : nxErrInvalidParam;
  return result;
}

void TnxDataset::ReadBlobIntoStream(TField* aField, TStream* aStream, bool aSnapshot, bool aReadOrg) {
  dsCheck(ReadBlobIntoStreamEx(aField, aStream, aSnapshot, aReadOrg));
}

TnxMemoryStream* TnxDataset::ReadBlobAsStream(TField* aField, bool aSnapshot, bool aReadOrg) {
  std::unique_ptr<TnxMemoryStream, blobFreeObject> stream(create<TnxMemoryStream>());
  ReadBlobIntoStream(aField, stream.get(), aSnapshot, aReadOrg);
  stream->SetPosition(0);
  return stream.release();
}

TnxResult TnxDataset::AddFileBlobEx(TField* aField, const nxString& aFileName) {
  if (aFileName.empty()) dsRaise(nxErrInvalidParam);
  CheckActive();
  if (State() != dsEdit && State() != dsInsert) dsRaiseMessage(kBlobNotEditing);
  TRecordBuffer buffer = nullptr;
  if (!dsGetActiveRecBuf(buffer)) dsRaiseMessage(kBlobNoActiveBuffer);
  if (!dsIsEngineBlobField(aField)) return nxErrNotABlob;
  TnxRecID recID;
  TnxBlobNr blobNr = 0;
  dsGetBlobNr(buffer, aField, recID, blobNr);
  if (blobNr != 0) {
    if (TnxResult r = dsBlobTruncate(buffer, aField, 0); r != 0) return r;
    if (TnxResult r = dsBlobFree(buffer, aField); r != 0) return r;
    dsSetBlobNr(buffer, aField, 0);
  }
  blobNr = 0;
  const TnxResult result = dsAbstractCursor->BlobCreateFile(recID, aField->FieldNo() - 1, aFileName, blobNr);
  if (result != 0) return result;
  dsSetBlobNr(buffer, aField, blobNr);
  static_cast<TBlobField*>(aField)->SetModified(true);
  DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(aField));
  return 0;
}

void TnxDataset::AddFileBlob(TField* aField, const nxString& aFileName) { dsCheck(AddFileBlobEx(aField, aFileName)); }

// ---------------------------------------------------------------------------
// Dataset: marking

namespace {

bool blobMarkableField(TField* aField) { return objectAs<TBlobField>(aField) && !aField->FieldName().empty(); }

std::vector<nxString>::iterator blobFindName(std::vector<nxString>& aList, const nxString& aName, bool& aFound) {
  auto it = std::lower_bound(aList.begin(), aList.end(), aName,
                             [](const nxString& a, const nxString& b) { return nxCompareText(a, b) < 0; });
  aFound = it != aList.end() && nxCompareText(*it, aName) == 0;
  return it;
}

}  // namespace

std::int32_t TnxDataset::dsBlobIndexOf(TField* aField) const {
  if (!dsSFI || !aField) return -1;
  const int no = aField->FieldNo();
  const auto& map = dsSFI->sfiFieldsToBlobFields;
  if (no < 1 || static_cast<std::size_t>(no) > map.size()) return -1;
  return map[static_cast<std::size_t>(no - 1)];
}

void TnxDataset::dsApplyMarkedBlobs() {
  if (dsAbstractCursor) dsAbstractCursor->BlobsSetMarked(dsMarkedBlobsByBlobIdx);
}

bool TnxDataset::dsGetBlobMarked(TField* aField) {
  if (!aField || !blobMarkableField(aField) || !dsMarkedBlobsByFieldName) return false;
  if (!dsAbstractCursor) {
    bool found = false;
    blobFindName(*dsMarkedBlobsByFieldName, aField->FieldName(), found);
    return found;
  }
  const std::int32_t index = dsBlobIndexOf(aField);
  if (index < 0 || dsMarkedBlobsByBlobIdx.empty()) return false;
  const auto word = static_cast<std::size_t>(index / 32);
  return word < dsMarkedBlobsByBlobIdx.size() && (dsMarkedBlobsByBlobIdx[word] >> (index % 32) & 1u) != 0;
}

void TnxDataset::dsSetBlobMarked(TField* aField, bool aValue) {
  if (!aField) return;
  const std::int32_t index = dsBlobIndexOf(aField);
  if (dsAbstractCursor && index < 0) return;
  if (!blobMarkableField(aField) || dsGetBlobMarked(aField) == aValue) return;
  if (aValue) {
    if (!dsMarkedBlobsByFieldName) dsMarkedBlobsByFieldName = std::make_unique<std::vector<nxString>>();
    bool found = false;
    auto it = blobFindName(*dsMarkedBlobsByFieldName, aField->FieldName(), found);
    if (!found) dsMarkedBlobsByFieldName->insert(it, aField->FieldName());
  } else if (dsMarkedBlobsByFieldName) {
    bool found = false;
    auto it = blobFindName(*dsMarkedBlobsByFieldName, aField->FieldName(), found);
    if (found) dsMarkedBlobsByFieldName->erase(it);
    if (dsMarkedBlobsByFieldName->empty()) {
      dsMarkedBlobsByFieldName.reset();
      dsMarkedBlobsByBlobIdx.clear();
    }
  }
  if (index >= 0 && dsSFI) {
    const std::size_t words = (dsSFI->sfiBlobFields.size() + 31) / 32;
    if (aValue) {
      if (words == 0) return;
      if (dsMarkedBlobsByBlobIdx.empty()) dsMarkedBlobsByBlobIdx.assign(words, 0);
      dsMarkedBlobsByBlobIdx[static_cast<std::size_t>(index / 32)] |= 1u << (index % 32);
    } else if (!dsMarkedBlobsByBlobIdx.empty()) {
      dsMarkedBlobsByBlobIdx[static_cast<std::size_t>(index / 32)] &= ~(1u << (index % 32));
    }
  }
  dsApplyMarkedBlobs();
}

void TnxDataset::MarkAllBlobs() {
  const std::size_t blobCount = dsSFI ? dsSFI->sfiBlobFields.size() : 0;
  if (dsSFI && blobCount == 0) {
    dsMarkedBlobsByFieldName.reset();
    return;
  }
  dsMarkedBlobsByBlobIdx.assign((blobCount + 31) / 32, 0);
  if (dsMarkedBlobsByFieldName)
    dsMarkedBlobsByFieldName->clear();
  else
    dsMarkedBlobsByFieldName = std::make_unique<std::vector<nxString>>();
  bool any = false;
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* f = Fields().Fields(i);
    if (!blobMarkableField(f)) continue;
    bool found = false;
    auto it = blobFindName(*dsMarkedBlobsByFieldName, f->FieldName(), found);
    if (!found) dsMarkedBlobsByFieldName->insert(it, f->FieldName());
    any = true;
    if (const std::int32_t index = dsBlobIndexOf(f); index >= 0 && !dsMarkedBlobsByBlobIdx.empty())
      dsMarkedBlobsByBlobIdx[static_cast<std::size_t>(index / 32)] |= 1u << (index % 32);
  }
  if (!any) {
    dsMarkedBlobsByFieldName.reset();
    dsMarkedBlobsByBlobIdx.clear();
  }
  dsApplyMarkedBlobs();
}

void TnxDataset::ClearMarkedBlobs() {
  dsMarkedBlobsByFieldName.reset();
  dsMarkedBlobsByBlobIdx.clear();
  dsApplyMarkedBlobs();
}

void TnxDataset::dsCollectBlobFields() {
  for (int i = 0; i < Fields().Count(); ++i)
    if (TField* f = Fields().Fields(i); f->IsBlob() && f->FieldNo() > 0) dsBlobFields.push_back(f);
}

void TnxDataset::dsBuildBlobFieldList(bool aBinding) {
  const bool hadMarks = !dsMarkedBlobsByBlobIdx.empty();
  dsMarkedBlobsByBlobIdx.clear();
  dsBlobFields.clear();
  if (aBinding) {
    dsCollectBlobFields();
    const std::size_t words = dsSFI ? (dsSFI->sfiBlobFields.size() + 31) / 32 : 0;
    bool any = false;
    if (words > 0 && dsMarkedBlobsByFieldName) {
      dsMarkedBlobsByBlobIdx.assign(words, 0);
      for (TField* f : dsBlobFields) {
        bool found = false;
        blobFindName(*dsMarkedBlobsByFieldName, f->FieldName(), found);
        const std::int32_t index = dsBlobIndexOf(f);
        if (!found || index < 0) continue;
        dsMarkedBlobsByBlobIdx[static_cast<std::size_t>(index / 32)] |= 1u << (index % 32);
        any = true;
      }
    }
    if (!any) dsMarkedBlobsByBlobIdx.clear();
  }
  // A cursor starts with nothing marked: tell it only about a change.
  if (hadMarks || !dsMarkedBlobsByBlobIdx.empty()) dsApplyMarkedBlobs();
}

// ---------------------------------------------------------------------------
// Field classes

namespace {

TnxDataset* blobDatasetOf(const TField* aField) { return objectAs<TnxDataset>(aField->DataSet()); }

template <class F>
bool blobMarkedOf(const F* aField, bool aLoaded) {
  if (aField->Loading()) return aLoaded;
  TnxDataset* ds = blobDatasetOf(aField);
  return ds && ds->BlobMarked(const_cast<F*>(aField));
}

template <class F>
void blobSetMarkedOf(F* aField, bool& aLoaded, bool aValue) {
  if (aField->Loading()) {
    aLoaded = aValue;
    return;
  }
  if (TnxDataset* ds = blobDatasetOf(aField)) ds->SetBlobMarked(aField, aValue);
}

struct blobFreeStream {
  void operator()(TStream* aStream) const { TObject::free(aStream); }
};
using blobStreamPtr = std::unique_ptr<TStream, blobFreeStream>;

std::string blobReadWhole(TField* aField) {
  blobStreamPtr stream(aField->DataSet()->CreateBlobStream(aField, bmRead));
  std::string bytes;
  char chunk[65536];
  for (;;) {
    const std::int32_t n = stream->Read(chunk, static_cast<std::int32_t>(sizeof chunk));
    if (n <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  return bytes;
}

void blobWriteWhole(TField* aField, const void* aData, std::size_t aSize) {
  blobStreamPtr stream(aField->DataSet()->CreateBlobStream(aField, bmWrite));
  if (aSize > 0) stream->WriteBuffer(aData, static_cast<std::int32_t>(aSize));
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxBlobField, TBlobField, "TnxBlobField", &factoryFor<TnxBlobField>)
bool TnxBlobField::Marked() const { return blobMarkedOf(this, bfLoadedMarked); }
void TnxBlobField::SetMarked(bool aValue) { blobSetMarkedOf(this, bfLoadedMarked, aValue); }

PL_CLASS_INFO_IMPL(TnxWideMemoField, TWideMemoField, "TnxWideMemoField", &factoryFor<TnxWideMemoField>)
bool TnxWideMemoField::Marked() const { return blobMarkedOf(this, wmfLoadedMarked); }
void TnxWideMemoField::SetMarked(bool aValue) { blobSetMarkedOf(this, wmfLoadedMarked, aValue); }

PL_CLASS_INFO_IMPL(TnxGraphicField, TGraphicField, "TnxGraphicField", &factoryFor<TnxGraphicField>)
bool TnxGraphicField::Marked() const { return blobMarkedOf(this, gfLoadedMarked); }
void TnxGraphicField::SetMarked(bool aValue) { blobSetMarkedOf(this, gfLoadedMarked, aValue); }

PL_CLASS_INFO_IMPL(TnxMemoField, TMemoField, "TnxMemoField", &factoryFor<TnxMemoField>)
bool TnxMemoField::Marked() const { return blobMarkedOf(this, mfLoadedMarked); }
void TnxMemoField::SetMarked(bool aValue) { blobSetMarkedOf(this, mfLoadedMarked, aValue); }

UnicodeString TnxMemoField::AsString() const {
  auto* self = const_cast<TnxMemoField*>(this);
  if (!DataSet()) return TMemoField::AsString();
  const std::string bytes = blobReadWhole(self);
  if (mfIsWide) {
    UnicodeString text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
  }
  return decodeText(bytes, mfCodePage);
}

void TnxMemoField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty()) {
    Clear();
    return;
  }
  if (mfIsWide) {
    blobWriteWhole(this, aValue.data(), aValue.size() * 2);
  } else {
    const std::string bytes = encodeText(aValue, mfCodePage);
    blobWriteWhole(this, bytes.data(), bytes.size());
  }
}

Variant TnxMemoField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsString()); }

void TnxMemoField::SetAsVariant(const Variant& aValue) {
  if (aValue.isNullOrEmpty()) {
    Clear();
    return;
  }
  if (aValue.isString()) {
    SetAsString(aValue.toString());
    return;
  }
  TMemoField::SetAsVariant(aValue);
}

PL_CLASS_INFO_IMPL(TnxLargeintField, TLargeintField, "TnxLargeintField", &factoryFor<TnxLargeintField>)
FmtBcd TnxLargeintField::AsBCD() const { return strToBcd(AsString()); }
void TnxLargeintField::SetAsBCD(const FmtBcd& aValue) { SetAsLargeInt(Variant(bcdToStr(aValue)).toInt64()); }

PL_CLASS_INFO_IMPL(TnxKeyAsVariantField, TVariantField, "TnxKeyAsVariantField", &factoryFor<TnxKeyAsVariantField>)

TnxKeyAsVariantField::TnxKeyAsVariantField(TComponent* aOwner) : TVariantField(aOwner) {
  SetFieldKind(fkCalculated);
}

Variant TnxKeyAsVariantField::AsVariant() const {
  TnxDataset* ds = blobDatasetOf(this);
  return ds ? ds->KeyAsVariant() : Variant::null();
}

UnicodeString TnxKeyAsVariantField::AsString() const {
  const Variant value = AsVariant();
  if (!value.isArray()) return value.isNullOrEmpty() ? UnicodeString() : value.toString();
  UnicodeString text;
  for (std::int32_t i = value.arrayLowBound(); i <= value.arrayHighBound(); ++i) {
    if (i > value.arrayLowBound()) text += u", ";
    text += value.arrayGet(i).toString();
  }
  return text;
}

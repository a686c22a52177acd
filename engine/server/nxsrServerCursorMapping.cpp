#include "nxsrServerCursorMapping.h"

#include <cstring>
#include <utility>

#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "nxllSync.h"
#include "nxllUtils.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdKeyEngineBase.h"
#include "nxsdValidationEngine.h"

PL_CLASS_INFO_IMPL(TnxBaseMappingHandler, TnxObject, "TnxBaseMappingHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxServerMappingCursor, TnxServerBaseCursor, "TnxServerMappingCursor", nullptr)
PL_CLASS_INFO_IMPL(TnxMappingFilterEngine, TnxBaseFilterEngine, "TnxMappingFilterEngine", nullptr)
NX_IMPLEMENT_EXCEPTION(EnxMappingFilterEngine, EnxBaseFilterEngineException)

namespace {

constexpr std::size_t kBookmarkIndexAt = 4;
constexpr std::size_t kBookmarkKeyLengthAt = 20;

void setIndexID(std::uint8_t* aBookmark, std::int32_t aIndexID) {
  std::memcpy(aBookmark + kBookmarkIndexAt, &aIndexID, 4);
  TnxBookmarkHandler::SetChecksum(aBookmark);
}

PnxRecordBuffer recordBuffer(TnxFieldsDescriptor* aFields) {
  return static_cast<PnxRecordBuffer>(nxGetMem(static_cast<std::size_t>(aFields->RecordLength()) + 4));
}

}  // namespace

// ---- Handler --------------------------------------------------------------------------------

TnxBaseMappingHandler::TnxBaseMappingHandler(TnxDataDictionary* aDictionary)
    : bmhDictionary(aDictionary), bmhTableDescriptor(aDictionary) {}

TnxBaseMappingHandler::~TnxBaseMappingHandler() { platform::TObject::free(bmhDictionary); }

// ---- Life -----------------------------------------------------------------------------------

TnxServerMappingCursor::TnxServerMappingCursor(TnxServerBaseCursor* aCursor, TnxBaseMappingHandler* aMapper)
    : TnxServerBaseCursor(aCursor->Database(), aCursor->Timeout(), aCursor->sacGetOpenMode(),
                          aCursor->sbcTransContext()),
      smcCursor(aCursor),
      smcMappingHandler(aMapper) {
  try {
    smcPadLock = platform::create<TnxPadlock>();
    smcChooseIndex();
    smcBuildOuterDescriptor();
    smcRecordBufferInner = recordBuffer(smcCursor->FieldsDescriptor());
    smcRecordBufferOuter = recordBuffer(smcMappingHandler->bmhTableDescriptor->FieldsDescriptor());
    // Defaults and validations over the outer fields.
    sbcSetUpHandlers();
    // The inner navigation applies the mapping cursor's record filter.
    TnxOwned<TnxMappingFilterEngine> filter(platform::create<TnxMappingFilterEngine>(this, &sbcFilter));
    TnxFilterID filterID = 0;
    smcCursor->sbcFilterAddCustom(filter.get(), filterID, false);
    smcFilterEngine = filter.release();
    smcMappingHandler->Initialize(this);
  } catch (...) {
    smcFreeOwned();
    throw;
  }
}

TnxServerMappingCursor::~TnxServerMappingCursor() { smcFreeOwned(); }

void TnxServerMappingCursor::PrepareDestroy() {
  if (smcKeepCursor && smcCursor && smcFilterEngineInChain(smcCursor->Filter())) smcFilterEngine->Detach();
  smcFilterEngine = nullptr;
  TnxServerBaseCursor::PrepareDestroy();
  platform::TObject::free(std::exchange(smcMappingHandler, nullptr));
  if (!smcKeepCursor) TnxAbstractServerObject::Free(std::exchange(smcCursor, nullptr));
}

bool TnxServerMappingCursor::smcFilterEngineInChain(TnxBaseFilterEngine* aChain) const {
  if (!smcFilterEngine || !aChain) return false;
  if (aChain == smcFilterEngine) return true;
  if (auto* hub = platform::objectAs<TnxFilterEngineHub>(aChain))
    for (std::int32_t i = 0; i < hub->FilterCount(); ++i)
      if (smcFilterEngineInChain(hub->fehGetFilter(i))) return true;
  return false;
}

void TnxServerMappingCursor::smcFreeOwned() noexcept {
  // A kept inner cursor outlives this cursor and its filter location.
  if (smcKeepCursor && smcCursor && smcFilterEngineInChain(smcCursor->Filter())) smcFilterEngine->Detach();
  smcFilterEngine = nullptr;
  nxFreeMem(std::exchange(smcRecordBufferInner, nullptr));
  nxFreeMem(std::exchange(smcRecordBufferOuter, nullptr));
  platform::TObject::free(std::exchange(smcBookmarkHandler, nullptr));
  platform::TObject::free(std::exchange(smcKeyEngine, nullptr));
  nxFreeMem(std::exchange(smcBookmarkBuffer, nullptr));
  platform::TObject::free(std::exchange(smcMappingHandler, nullptr));
  if (!smcKeepCursor) TnxAbstractServerObject::Free(std::exchange(smcCursor, nullptr));
  platform::TObject::free(std::exchange(smcPadLock, nullptr));
}

// ---- Construction ---------------------------------------------------------------------------

bool TnxServerMappingCursor::smcQualifies(TnxIndexDescriptor* aIndex) {
  auto* key = platform::objectAs<TnxCompKeyDescriptor>(aIndex->KeyDescriptor());
  if (!key || key->Filter() || key->KeyFieldCount() == 0) return false;
  for (std::int32_t i = 0; i < key->KeyFieldCount(); ++i)
    if (smcMappingHandler->MapFieldNoOut(key->KeyFields(i)->FieldNumber()) < 0) return false;
  return true;
}

bool TnxServerMappingCursor::smcTryIndex(std::int32_t aIndex) {
  if (smcCursor->sbcSwitchToIndex(nxString(), aIndex, porFalse) != 0) return false;
  return smcCursor->sbcGetIndexID(smcInnerIndexID) == 0 && smcInnerIndexID >= 0;
}

void TnxServerMappingCursor::smcChooseIndex() {
  if (smcCursor->sbcGetIndexID(smcInnerIndexID) != 0) smcInnerIndexID = -1;
  if (smcInnerIndexID >= 0) return;
  TnxBaseTableDescriptor* inner = smcCursor->GetTableDescriptor();
  TnxMainIndicesDescriptor* indices = inner ? inner->IndicesDescriptor() : nullptr;
  if (!indices || indices->IndexCount() == 0) return;
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i) {
    TnxBaseKeyDescriptor* key = indices->Indices(i)->KeyDescriptor();
    if (platform::objectAs<TnxRefKeyDescriptor>(key) && !key->Filter() && smcTryIndex(i)) return;
  }
  const std::int32_t preferred = indices->DefaultIndex();
  if (preferred >= 0 && preferred < indices->IndexCount() && smcQualifies(indices->Indices(preferred)) &&
      smcTryIndex(preferred))
    return;
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i)
    if (smcQualifies(indices->Indices(i)) && smcTryIndex(i)) return;
  smcInnerIndexID = -1;
}

void TnxServerMappingCursor::smcBuildOuterDescriptor() {
  smcOuterIndexID = smcInnerIndexID;
  TnxBaseTableDescriptor* outer = smcMappingHandler->bmhTableDescriptor;
  if (TnxBaseRecordDescriptor* records = outer->RecordDescriptor()) records->SetFileNumber(0);
  if (TnxBaseAutoIncDescriptor* autoInc = outer->AutoIncDescriptor()) autoInc->SetFileNumber(0);
  if (TnxBaseBlobDescriptor* blobs = outer->BlobDescriptor()) blobs->SetFileNumber(0);
  outer->RemoveIndicesDescriptor();
  if (smcInnerIndexID < 0) return;
  TnxMainIndicesDescriptor* innerIndices = smcCursor->GetTableDescriptor()->IndicesDescriptor();
  TnxMainIndicesDescriptor* indices = outer->AddIndicesDescriptor(&innerIndices->classInfo());
  indices->Assign(innerIndices);
  for (std::int32_t i = indices->IndexCount() - 1; i >= 0; --i)
    if (i != smcInnerIndexID) indices->RemoveIndex(i);
  TnxIndexDescriptor* index = indices->Indices(0);
  const std::uint32_t innerKeyLength = innerIndices->Indices(smcInnerIndexID)->KeyDescriptor()->KeyLen();
  if (auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor()))
    for (std::int32_t i = 0; i < key->KeyFieldCount(); ++i)
      key->KeyFields(i)->SetFieldNumber(smcMappingHandler->MapFieldNoOut(key->KeyFields(i)->FieldNumber()));
  nxAssert(index->KeyDescriptor()->KeyLen() == innerKeyLength, "The outer key differs from the inner one");
  index->SetFileNumber(0);
  smcKeyEngine = TnxBaseKeyEngine::CreateFor(index->KeyDescriptor());
  smcBookmarkHandler = platform::create<TnxBookmarkHandler>(0, smcKeyEngine);
  smcBookmarkBuffer = static_cast<std::uint8_t*>(nxGetMem(static_cast<std::size_t>(smcBookmarkHandler->BookmarkSize())));
  smcOuterIndexID = 0;
}

// ---- Records --------------------------------------------------------------------------------

template <class Read>
TnxResult TnxServerMappingCursor::smcReadOut(PnxRecordBuffer aData, Read&& aRead) {
  try {
    TnxResult result = aRead(aData ? smcRecordBufferInner : nullptr);
    if (result == 0 && aData) result = smcMappingHandler->MapRecordOut(smcRecordBufferInner, aData);
    return result;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerMappingCursor::sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  return smcReadOut(aData, [&](PnxRecordBuffer aInner) { return smcCursor->sbcRecordGet(aLockType, aInner); });
}

TnxResult TnxServerMappingCursor::sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return smcReadOut(aData, [&](PnxRecordBuffer aInner) { return smcCursor->sbcRecordGetNext(aLockType, aInner); });
}

TnxResult TnxServerMappingCursor::sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return smcReadOut(aData, [&](PnxRecordBuffer aInner) { return smcCursor->sbcRecordGetPrior(aLockType, aInner); });
}

TnxResult TnxServerMappingCursor::sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  return smcReadOut(aData, [&](PnxRecordBuffer aInner) { return smcCursor->sbcRecordDelete(aInner, aLSN); });
}

TnxResult TnxServerMappingCursor::sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) {
  return smcReadOut(aRecordBuffer,
                    [&](PnxRecordBuffer aInner) { return smcCursor->sacGetRecordByID(aRefNr, aInner); });
}

TnxResult TnxServerMappingCursor::sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions,
                                                  PnxRecordBuffer aData, std::int64_t* aAutoInc) {
  try {
    if (aInsertOptions.contains(ioSetDefault))
      if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesInsert(aData);
    if (aInsertOptions.contains(ioValidate) && sbcValidationsHandler)
      sbcValidationsHandler->ValidateRecord(nullptr, aData);
    smcCursor->FieldsDescriptor()->InitRecord(smcRecordBufferInner);
    if (const TnxResult result = smcMappingHandler->MapRecordIn(aData, smcRecordBufferInner); result != 0)
      return result;
    return smcCursor->sbcRecordInsert(aLockType, aInsertOptions, smcRecordBufferInner, aAutoInc);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerMappingCursor::sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) {
  try {
    if (aDataDiff) return nxErrInvalidParam;
    if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesModify(aData);
    if (sbcValidationsHandler) {
      // The old record as last committed, in the outer layout.
      sbcBeginReadOrgOverride();
      TnxResult result;
      try {
        result = sbcRecordGet(nxltNoLock, smcRecordBufferOuter);
      } catch (...) {
        sbcEndReadOrgOverride();
        throw;
      }
      sbcEndReadOrgOverride();
      if (result != 0) return result;
      sbcValidationsHandler->ValidateRecord(smcRecordBufferOuter, aData);
    }
    TnxResult result = smcCursor->sbcRecordGet(nxltNoLock, smcRecordBufferInner);
    // Unmapped inner fields keep their current values.
    if (result == 0) result = smcMappingHandler->MapRecordIn(aData, smcRecordBufferInner);
    if (result != 0) return result;
    return smcCursor->sbcRecordModify(smcRecordBufferInner, aReleaseLock, nullptr);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerMappingCursor::sbcBeginReadOrgOverride() {
  TnxServerBaseCursor::sbcBeginReadOrgOverride();
  smcCursor->sbcBeginReadOrgOverride();
}

void TnxServerMappingCursor::sbcEndReadOrgOverride() {
  TnxServerBaseCursor::sbcEndReadOrgOverride();
  smcCursor->sbcEndReadOrgOverride();
}

// ---- Bookmarks ------------------------------------------------------------------------------

TnxResult TnxServerMappingCursor::sbcGetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  const TnxResult result = smcCursor->sbcGetBookmark(aBookmark, aSize);
  if (result == 0 && smcBookmarkHandler) setIndexID(static_cast<std::uint8_t*>(aBookmark), smcOuterIndexID);
  return result;
}

TnxResult TnxServerMappingCursor::sbcSetToBookmark(const void* aBookmark, std::int32_t aSize, bool aIsCache) {
  if (!smcBookmarkHandler ||
      smcBookmarkHandler->CheckBookmark(static_cast<const std::uint8_t*>(aBookmark), aSize) != 0)
    return smcCursor->sbcSetToBookmark(aBookmark, aSize, aIsCache);
  const std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(aSize),
                                                 static_cast<std::size_t>(smcBookmarkHandler->BookmarkSize()));
  std::memcpy(smcBookmarkBuffer, aBookmark, size);
  setIndexID(smcBookmarkBuffer, smcInnerIndexID);
  return smcCursor->sbcSetToBookmark(smcBookmarkBuffer, static_cast<std::int32_t>(size), aIsCache);
}

TnxResult TnxServerMappingCursor::sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2,
                                                      std::int32_t aSize, TnxCompareResult& aCompResult) {
  if (!smcBookmarkHandler) return smcCursor->sbcCompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult);
  std::int32_t result = 0;
  const TnxResult code =
      smcBookmarkHandler->CompareBookmarks(static_cast<const std::uint8_t*>(aBookmark1),
                                           static_cast<const std::uint8_t*>(aBookmark2), aSize, result);
  aCompResult = static_cast<TnxCompareResult>(result);
  return code;
}

// ---- Index and layout -----------------------------------------------------------------------

TnxResult TnxServerMappingCursor::sbcGetIndexID(std::int32_t& aIndexID) {
  aIndexID = smcOuterIndexID;
  return 0;
}

TnxResult TnxServerMappingCursor::sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID,
                                                   TnxPosnOnRec) {
  if (aIndexName.empty() || aIndexID == -1) return 0;
  return sbcNotSupported(u"sbcSwitchToIndex");
}

TnxResult TnxServerMappingCursor::sbcRenameField(std::int32_t aFieldNo, const nxString& aNewName) {
  TnxFieldsDescriptor* fields = smcMappingHandler->bmhTableDescriptor->FieldsDescriptor();
  if (aFieldNo < 0 || aFieldNo >= fields->FieldCount()) return nxErrInvalidDescNumber;
  if (fields->GetFieldFromName(aNewName) >= 0) return nxErrNameNotUnique;
  fields->Fields(aFieldNo)->ChangeName(aNewName);
  return 0;
}

void TnxServerMappingCursor::sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) {
  TnxPadlockGuard guard(*smcPadLock);
  TnxServerBaseCursor::sbcSetOnRequestClose(aHandler);
}

// ---- Filters and iteration ------------------------------------------------------------------

TnxResult TnxServerMappingCursor::sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                 bool aForward) {
  try {
    TnxBaseFilterEngine* filter = aFilter;
    TnxOwned<TnxMappingFilterEngine> wrapped(platform::create<TnxMappingFilterEngine>(this, &filter));
    return smcCursor->sbcSetToFilter(wrapped.get(), aKeyFilter, aForward);
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerMappingCursor::sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                             const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                             bool aKeepPosition) {
  PnxRecordBuffer own = nullptr;
  PPnxRecordBuffer data = aData ? aData : &own;
  struct Reset {
    PPnxRecordBuffer data;
    bool pointed;
    ~Reset() {
      if (pointed) *data = nullptr;
    }
  } reset{data, *data == nullptr};
  if (reset.pointed) *data = smcRecordBufferOuter;
  PnxRecordBuffer inner = smcRecordBufferInner;
  TnxResult mapFailure = 0;
  // The caller's key iterator keeps the caller's cookie.
  const TnxRecordIterator onRecord = [&](void* aRecCookie, TnxRefNr aRefNr,
                                         PnxRecordBuffer aRecord) -> TnxRecordIteratorResult {
    if (!aRecIterator) return rirContinue;
    mapFailure = smcMappingHandler->MapRecordOut(aRecord, *data);
    if (mapFailure != 0) return rirStop;
    return aRecIterator(aRecCookie, aRefNr, *data);
  };
  const TnxResult result = smcCursor->sbcIterate(&inner, aKeyIterator, onRecord, aBackward, aCookie, aKeepPosition);
  return result != 0 ? result : mapFailure;
}

// ---- Refused --------------------------------------------------------------------------------

TnxResult TnxServerMappingCursor::sbcCompareKeys(std::int32_t, std::int32_t, bool, const void*, bool, const void*,
                                                 std::int32_t&) {
  return sbcNotSupported(u"sbcCompareKeys");
}
TnxResult TnxServerMappingCursor::sbcCopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t, bool) {
  return sbcNotSupported(u"sbcCopyRecords");
}
TnxResult TnxServerMappingCursor::sbcDuplicate(TnxOpenMode, TnxAbstractCursor*&, bool) {
  return sbcNotSupported(u"sbcDuplicate");
}
TnxResult TnxServerMappingCursor::sbcRangeSet(std::int32_t, std::int32_t, bool, const void*, bool, std::int32_t,
                                              std::int32_t, bool, const void*, bool) {
  return sbcNotSupported(u"sbcRangeSet");
}
TnxResult TnxServerMappingCursor::sbcRecordGetForKey(std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer,
                                                     bool, bool) {
  return sbcNotSupported(u"sbcRecordGetForKey");
}
TnxResult TnxServerMappingCursor::sbcRecordGetForKeyBatch(std::int32_t, TnxRecordGetBatchExOptions,
                                                          TnxBatchStreamAccess*&, const TnxDataSetKeyBufferArray&,
                                                          bool, bool) {
  return sbcNotSupported(u"sbcRecordGetForKeyBatch");
}
TnxResult TnxServerMappingCursor::sbcRecordInsertBatch(TnxMemoryStream*) {
  return sbcNotSupported(u"sbcRecordInsertBatch");
}
TnxResult TnxServerMappingCursor::sbcSetToKey(TnxSearchKeyAction, std::int32_t, std::int32_t, bool, const void*) {
  return sbcNotSupported(u"sbcSetToKey");
}
TnxResult TnxServerMappingCursor::GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*&) {
  return sbcNotSupported(u"GetRecordCountExAsync");
}

// ---- BLOBs ----------------------------------------------------------------------------------

TnxResult TnxServerMappingCursor::sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  return smcCursor->sbcBlobCreate(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo,
                                                  TnxBlobNr aBlobNr, std::int32_t aDestFieldNo,
                                                  TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) {
  if (aSrcCursor == smcCursor) {
    aDestBlobNr = aBlobNr;
    return 0;
  }
  return smcCursor->sbcBlobCopyPrim(aSrcCursor, aSrcFieldNo, aBlobNr, smcMappingHandler->MapFieldNoIn(aDestFieldNo),
                                    aDestBlobNr, aMaxLength);
}

TnxResult TnxServerMappingCursor::sbcBlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                    const nxString& aFileName, TnxBlobNr& aBlobNr) {
  return smcCursor->sbcBlobCreateFile(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aFileName, aBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                    const nxString& aTableName, TnxBlobNr aTableBlobNr,
                                                    TnxBlobNr& aBlobNr) {
  return smcCursor->sbcBlobCreateLink(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aTableName, aTableBlobNr,
                                      aBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return smcCursor->sbcBlobDelete(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return smcCursor->sbcBlobFree(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                   std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  return smcCursor->sbcBlobGetLength(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aLength, aReadOrg,
                                     aNewBlobNr);
}

bool TnxServerMappingCursor::sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  return smcCursor->sbcBlobIsLink(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aSrcTableName,
                                  aSrcTableBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                  bool& aModified) {
  return smcCursor->sbcBlobModified(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aModified);
}

TnxResult TnxServerMappingCursor::sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                              std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                                              bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  return smcCursor->sbcBlobRead(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aOffset, aLen, aStream,
                                aReadOrg, aNewBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                        TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                                                        TStream& aStream, bool aReadOrg, std::uint32_t* aBlobLen,
                                                        PnxNewBlobNr aNewBlobNr) {
  return smcCursor->sbcBlobReadSnapshoted(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aOffset, aLen,
                                          aStream, aReadOrg, aBlobLen, aNewBlobNr);
}

TnxResult TnxServerMappingCursor::sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                                 std::uint32_t aLen, const void* aBlob) {
  return smcCursor->sbcBlobReplace(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aLen, aBlob);
}

TnxResult TnxServerMappingCursor::sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                  std::uint32_t aBlobLength) {
  return smcCursor->sbcBlobTruncate(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aBlobLength);
}

TnxResult TnxServerMappingCursor::sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) {
  return smcCursor->sbcBlobWrite(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aOffset, aLen, aBlob);
}

TnxResult TnxServerMappingCursor::sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo,
                                                         TnxBlobNr aBlobNr, std::int32_t aDestFieldNo,
                                                         TnxBlobNr aDestBlobNr, std::int64_t aMaxLength) {
  return smcCursor->sbcBlobCopyContentPrim(aSrcCursor, aSrcFieldNo, aBlobNr,
                                           smcMappingHandler->MapFieldNoIn(aDestFieldNo), aDestBlobNr, aMaxLength);
}

TnxResult TnxServerMappingCursor::ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                         TnxBlobNr aBlobNr, TnxBlobNr* aNewBlobNr) {
  return smcCursor->ascSetBlobCacheFlushed(aRecID, smcMappingHandler->MapFieldNoIn(aFieldNo), aBlobNr, aNewBlobNr);
}

TnxResult TnxServerMappingCursor::ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  return smcCursor->ascGetBlobCacheInfos(aRecID, aBCIs);
}

// ---- Mapping filter engine ------------------------------------------------------------------

TnxMappingFilterEngine::TnxMappingFilterEngine(TnxServerMappingCursor* aMappingCursor, TnxBaseFilterEngine** aFilter)
    : TnxBaseFilterEngine(nullptr,
                          TnxIntfPtr<InxFieldsSource>(aMappingCursor->InnerCursor()->FieldsDescriptor())),
      mfMappingCursor(aMappingCursor),
      mfFilter(aFilter) {
  mfTempRecord = recordBuffer(aMappingCursor->MappingHandler()->bmhTableDescriptor->FieldsDescriptor());
}

TnxMappingFilterEngine::~TnxMappingFilterEngine() { nxFreeMem(mfTempRecord); }

bool TnxMappingFilterEngine::GetActive() {
  TnxBaseFilterEngine* outer = OuterFilter();
  return outer && outer->GetActive();
}

bool TnxMappingFilterEngine::IsEvalLocal() {
  TnxBaseFilterEngine* outer = OuterFilter();
  return outer && outer->IsEvalLocal();
}

bool TnxMappingFilterEngine::IsEvalRemote() {
  TnxBaseFilterEngine* outer = OuterFilter();
  return outer && outer->IsEvalRemote();
}

bool TnxMappingFilterEngine::MatchesBuffer(const void* aBuffer) {
  TnxBaseFilterEngine* outer = OuterFilter();
  if (!outer || !outer->GetActive() || !mfMappingCursor) return true;
  if (mfMappingCursor->MappingHandler()->MapRecordOut(aBuffer, mfTempRecord) != 0) return false;
  return outer->MatchesBuffer(mfTempRecord);
}

TnxBaseFilterDescriptor* TnxMappingFilterEngine::CreateDescriptor() {
  throw EnxMappingFilterEngine(nxErrNotSupported, u"%s is not supported by %s",
                               {nxString(u"CreateDescriptor"), platform::fromUtf8(className())});
}

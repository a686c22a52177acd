// Full-text cursor engines: the token indices.
#include <cstring>

#include "nxsdDataDictionaryKeys.h"
#include "nxsdFilterEngineBase.h"
#include "nxseFulltextEngineCursorInt.h"

using namespace nxFulltextCursor;

namespace {
template <class T>
constexpr TnxTokenIndexCursorClassFuncs kTokenIndexFuncs{
    [](TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
       TnxBaseTokenIndexTableEngine* aTableEngine, TnxBaseTokenSourceCursorEngine* aOld,
       TnxBaseTokenSourceCursorEngine* aNew) -> TnxBaseTokenIndexCursorEngine* {
      return platform::create<T>(aIndex, aParent, aTableEngine, aOld, aNew);
    }};

constexpr std::uint32_t nxNORM_IGNORECASE = 1;
}  // namespace

PL_CLASS_INFO_IMPL(TnxBaseTokenIndexCursorEngine, TnxBaseRegisterableEngine, "TnxBaseTokenIndexCursorEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxTokenIndexHubCursorEngine, TnxBaseTokenIndexCursorEngine, "TnxTokenIndexHubCursorEngine",
                         nullptr, platform::bindClassTable(kTokenIndexFuncs<TnxTokenIndexHubCursorEngine>))
PL_CLASS_INFO_IMPL(TnxBaseProcessingTokenIndexCursorEngine, TnxBaseTokenIndexCursorEngine,
                   "TnxBaseProcessingTokenIndexCursorEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBitArrayTokenIndexCursorEngine, TnxBaseProcessingTokenIndexCursorEngine,
                         "TnxBitArrayTokenIndexCursorEngine", nullptr,
                         platform::bindClassTable(kTokenIndexFuncs<TnxBitArrayTokenIndexCursorEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxMainIndexTokenIndexCursorEngine, TnxBaseProcessingTokenIndexCursorEngine,
                         "TnxMainIndexTokenIndexCursorEngine", nullptr,
                         platform::bindClassTable(kTokenIndexFuncs<TnxMainIndexTokenIndexCursorEngine>))

namespace {

// The table's field holding the record location of a full-text index: the
// first key field of its location index; -1 when there is none.
std::int32_t locationField(TnxFulltextIndexTableEngine* aIndex) {
  TnxIndexDescriptor* index = aIndex->fiteFulltextIndexDescriptor->LocationIndex();
  auto* key = platform::objectAs<TnxCompKeyDescriptor>(index ? index->KeyDescriptor() : nullptr);
  if (!key || key->KeyFieldCount() == 0) return -1;
  return key->KeyFields(0)->FieldNumber();
}

TnxFieldsDescriptor* fieldsOf(TnxFulltextIndexTableEngine* aIndex) {
  return static_cast<TnxFieldsDescriptor*>(aIndex->fiteFulltextIndexDescriptor->GetRelatedDescriptorOfType(
      TnxFieldsDescriptor::staticClassInfo()));
}

// The 32-bit location of a record; false without a record or for NULL.
bool readLocation(TnxFieldsDescriptor* aFields, std::int32_t aField, PnxRecordBuffer aRecord,
                  std::uint32_t& aLocation) {
  aLocation = 0;
  if (!aRecord || aField < 0 || aFields->IsRecordFieldNull(aField, aRecord)) return false;
  std::memcpy(&aLocation, aRecord + aFields->Fields(aField)->fdOffset, sizeof aLocation);
  return true;
}

TnxBaseIndexPath* newPath(TnxBaseIndexEngine* aEngine) { return aEngine ? aEngine->CreateIndexPath() : nullptr; }

}  // namespace

// ===========================================================================
// TnxBaseTokenIndexCursorEngine

TnxBaseTokenIndexCursorEngine::TnxBaseTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                             TnxTokenIndexHubCursorEngine* aParent,
                                                             TnxBaseTokenIndexTableEngine* aTableEngine,
                                                             TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                             TnxBaseTokenSourceCursorEngine* aTokenSourceNew)
    : bticeParentFulltextIndexCursorEngine(aIndex),
      bticeParentTokenIndexHubCursorEngine(aParent),
      bticeTokenIndexTableEngine(aTableEngine),
      bticeTokenSourceOld(aTokenSourceOld),
      bticeTokenSourceNew(aTokenSourceNew) {
  if (TnxTokenFilterHubTableEngine* hub = aTableEngine->btiteTokenFilterHub) {
    bticeTokenFilterHubOld = TnxTokenFilterHubCursorEngine::CreateHub(aIndex, aTokenSourceOld, hub);
    try {
      bticeTokenFilterHubNew = TnxTokenFilterHubCursorEngine::CreateHub(aIndex, aTokenSourceNew, hub);
    } catch (...) {
      nxFreeAndNil(bticeTokenFilterHubOld);
      throw;
    }
    bticeTokenSourceOld = bticeTokenFilterHubOld;
    bticeTokenSourceNew = bticeTokenFilterHubNew;
  }
}

TnxBaseTokenIndexCursorEngine::~TnxBaseTokenIndexCursorEngine() {
  nxFreeAndNil(bticeTokenFilterHubNew);
  nxFreeAndNil(bticeTokenFilterHubOld);
}

TnxClassList& TnxBaseTokenIndexCursorEngine::GetList() { return TokenIndexClasses(); }

TnxBaseTokenIndexCursorEngine* TnxBaseTokenIndexCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
    TnxBaseTokenIndexTableEngine* aTableEngine, TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
    TnxBaseTokenSourceCursorEngine* aTokenSourceNew) {
  return EngineFuncs<EnxBaseTokenIndexCursorEngineException, TnxTokenIndexCursorClassFuncs>(
             TokenIndexClasses(), aTableEngine->classInfo(), u"TokenIndex")
      .create(aIndex, aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew);
}

TnxResult TnxBaseTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction*, PnxRecordBuffer, const TnxRecID&,
                                                          PnxRecordBuffer, const TnxRecID&) {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"bticeUpdateIndex is not supported by %s",
                                        {platform::fromUtf8(classInfo().name)});
}

TnxBaseTokenSourceCursorEngine* TnxBaseTokenIndexCursorEngine::TokenFilterOld(std::int32_t aIndex) const {
  return bticeTokenFilterHubOld ? bticeTokenFilterHubOld->tfhceGetTokenFilter(aIndex) : nullptr;
}
TnxBaseTokenSourceCursorEngine* TnxBaseTokenIndexCursorEngine::TokenFilterNew(std::int32_t aIndex) const {
  return bticeTokenFilterHubNew ? bticeTokenFilterHubNew->tfhceGetTokenFilter(aIndex) : nullptr;
}
std::int32_t TnxBaseTokenIndexCursorEngine::TokenFilterOldCount() const {
  return bticeTokenFilterHubOld ? bticeTokenFilterHubOld->TokenFilterCount() : 0;
}
std::int32_t TnxBaseTokenIndexCursorEngine::TokenFilterNewCount() const {
  return bticeTokenFilterHubNew ? bticeTokenFilterHubNew->TokenFilterCount() : 0;
}

// ===========================================================================
// TnxTokenIndexHubCursorEngine

TnxTokenIndexHubCursorEngine::TnxTokenIndexHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                           TnxTokenIndexHubCursorEngine* aParent,
                                                           TnxBaseTokenIndexTableEngine* aTableEngine,
                                                           TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                           TnxBaseTokenSourceCursorEngine* aTokenSourceNew)
    : TnxBaseTokenIndexCursorEngine(aIndex, aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew),
      tihceTokenIndexHubTableEngine(CastOrRaise<TnxTokenIndexHubTableEngine>(aTableEngine)) {
  try {
    CreateChildEngines();
  } catch (...) {
    FreeAll(tihceTokenIndexs);
    throw;
  }
}

TnxTokenIndexHubCursorEngine::~TnxTokenIndexHubCursorEngine() { FreeAll(tihceTokenIndexs); }

void TnxTokenIndexHubCursorEngine::CreateChildEngines() {
  for (TnxBaseTokenIndexTableEngine* child : tihceTokenIndexHubTableEngine->tihteTokenIndexs) {
    tihceTokenIndexs.push_back(nullptr);
    tihceTokenIndexs.back() = TnxBaseTokenIndexCursorEngine::CreateFor(
        bticeParentFulltextIndexCursorEngine, this, child, bticeTokenSourceOld, bticeTokenSourceNew);
  }
}

TnxBaseTokenIndexCursorEngine* TnxTokenIndexHubCursorEngine::tihceGetTokenIndex(std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenIndexHubCursorEngine*>(this);
  return tihceTokenIndexs.at(static_cast<std::size_t>(aIndex));
}

TnxResult TnxTokenIndexHubCursorEngine::bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                                         const TnxRecID& aOldRecID, PnxRecordBuffer aNewRecord,
                                                         const TnxRecID& aNewRecID) {
  for (TnxBaseTokenIndexCursorEngine* child : tihceTokenIndexs) {
    const TnxResult result = child->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID);
    if (result != 0) return result;
  }
  return 0;
}

// ===========================================================================
// TnxBaseProcessingTokenIndexCursorEngine

void TnxBaseProcessingTokenIndexCursorEngine::SetupProcessing() {
  const std::int32_t maxTokenSize = GetMaxTokenSize();
  if (TnxLocaleDescriptor* locale = bticeTokenIndexTableEngine->btiteTokenIndexDescriptor->UsedLocaleDescriptor()) {
    bpticeComparer = nxNewWideStringComparer<TnxWideStringCompareStringWComparer>(
        locale->Locale(), static_cast<std::uint32_t>(GetCompareFlags()) | locale->Flags());
    bpticeTransformer = nxNewWideStringTransformer<TnxWideStringTruncateTransformer>(maxTokenSize);
  } else {
    bpticeComparer = nxNewWideStringComparer<TnxWideStringByteComparer>();
    const TnxWideStringTransformerPtr parts[] = {
        nxNewWideStringTransformer<TnxWideStringPreComposeTransformer>(),
        nxNewWideStringTransformer<TnxWideStringTruncateTransformer>(maxTokenSize)};
    bpticeTransformer = nxNewWideStringTransformer<TnxWideStringTransformerHub>(
        std::span<const TnxWideStringTransformerPtr>(parts));
  }
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessList(TnxBaseTransaction* aTrans, const TnxWideStringList* aList,
                                                          bool aAdd, const TnxTokenLocation& aLocation,
                                                          std::int16_t aField) {
  if (!aList) return;
  for (std::int32_t i = 0; i < aList->Count(); ++i) ProcessToken(aTrans, aList->StringRef(i), aAdd, aLocation, aField);
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessAllTokens(TnxBaseTransaction* aTrans,
                                                               const TnxUniqueTokenContainer& aContainer, bool aAdd,
                                                               const TnxTokenLocation& aLocation) {
  ProcessList(aTrans, aContainer.Combined(), aAdd, aLocation, -1);
  for (std::int32_t i = 0; i < aContainer.PerFieldCount(); ++i)
    ProcessList(aTrans, aContainer.PerField(i), aAdd, aLocation, static_cast<std::int16_t>(i));
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessListChanges(TnxBaseTransaction* aTrans,
                                                                 const TnxWideStringList* aOld,
                                                                 const TnxTokenLocation& aLocation,
                                                                 std::int16_t aField, const TnxWideStringList* aNew) {
  if (!aOld || !aNew) {
    ProcessList(aTrans, aOld, false, aLocation, aField);
    ProcessList(aTrans, aNew, true, aLocation, aField);
    return;
  }
  std::int32_t o = 0, n = 0;
  while (o < aOld->Count() && n < aNew->Count()) {
    const TnxWideString& a = aOld->StringRef(o);
    const TnxWideString& b = aNew->StringRef(n);
    const std::int8_t c = bpticeComparer->Compare(a, b);
    if (c < 0) {
      ProcessToken(aTrans, a, false, aLocation, aField);
      ++o;
    } else if (c == 0) {
      ++o;
      ++n;
    } else {
      ProcessToken(aTrans, b, true, aLocation, aField);
      ++n;
    }
  }
  for (; o < aOld->Count(); ++o) ProcessToken(aTrans, aOld->StringRef(o), false, aLocation, aField);
  for (; n < aNew->Count(); ++n) ProcessToken(aTrans, aNew->StringRef(n), true, aLocation, aField);
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessTokenChanges(TnxBaseTransaction* aTrans,
                                                                  const TnxUniqueTokenContainer& aOld,
                                                                  const TnxTokenLocation& aLocation,
                                                                  const TnxUniqueTokenContainer& aNew) {
  ProcessListChanges(aTrans, aOld.Combined(), aLocation, -1, aNew.Combined());
  const std::int32_t common = std::min(aOld.PerFieldCount(), aNew.PerFieldCount());
  for (std::int32_t i = 0; i < common; ++i)
    ProcessListChanges(aTrans, aOld.PerField(i), aLocation, static_cast<std::int16_t>(i), aNew.PerField(i));
  for (std::int32_t i = common; i < aOld.PerFieldCount(); ++i)
    ProcessList(aTrans, aOld.PerField(i), false, aLocation, static_cast<std::int16_t>(i));
  for (std::int32_t i = common; i < aNew.PerFieldCount(); ++i)
    ProcessList(aTrans, aNew.PerField(i), true, aLocation, static_cast<std::int16_t>(i));
}

// ===========================================================================
// TnxBitArrayTokenIndexCursorEngine

TnxBitArrayTokenIndexCursorEngine::TnxBitArrayTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                                     TnxTokenIndexHubCursorEngine* aParent,
                                                                     TnxBaseTokenIndexTableEngine* aTableEngine,
                                                                     TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                                     TnxBaseTokenSourceCursorEngine* aTokenSourceNew)
    : TnxBaseProcessingTokenIndexCursorEngine(aIndex, aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew),
      baticeBitArrayTokenIndexTableEngine(CastOrRaise<TnxBitArrayTokenIndexTableEngine>(aTableEngine)) {
  TnxBitArrayTokenIndexDescriptor* descriptor = baticeBitArrayTokenIndexTableEngine->batiteBitArrayTokenIndexDescriptor;
  TnxFulltextIndexTableEngine* index = aIndex->ficeFulltextIndexTableEngine;
  baticeFieldsDescriptor = fieldsOf(index);
  baticeLocationField = locationField(index);
  baticePerFieldIndex = descriptor->PerFieldIndex();
  baticePerLocationIndex = descriptor->PerLocationIndex();
  baticeSegmentIndex = descriptor->SegmentIndex();
  try {
    if (baticePerFieldIndex || baticePerLocationIndex) {
      baticeIndexEngine = baticeBitArrayTokenIndexTableEngine->batiteIndexEngine;
      baticeReverseIndexEngine = baticeBitArrayTokenIndexTableEngine->batiteReverseIndexEngine;
      if (baticeIndexEngine || baticeReverseIndexEngine)
        baticeBitArrayStorageHandlerTableEngine =
            baticeBitArrayTokenIndexTableEngine->batiteBitArrayStorageHandlerTableEngine;
    }
    if (baticeIndexEngine) {
      baticeKeyEngine = CastOrRaise<TnxBitArrayTokenKeyEngine>(baticeIndexEngine->bieKeyEngine.get());
      baticeIndexPath = newPath(baticeIndexEngine);
      baticeKeyBuffer = baticeKeyEngine->AllocKey();
    }
    if (baticeReverseIndexEngine) {
      baticeReverseKeyEngine = CastOrRaise<TnxBitArrayTokenKeyEngine>(baticeReverseIndexEngine->bieKeyEngine.get());
      baticeReverseIndexPath = newPath(baticeReverseIndexEngine);
      baticeReverseKeyBuffer = baticeReverseKeyEngine->AllocKey();
    }
    SetupProcessing();
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxBitArrayTokenIndexCursorEngine::~TnxBitArrayTokenIndexCursorEngine() { FreeParts(); }

void TnxBitArrayTokenIndexCursorEngine::FreeParts() noexcept {
  if (baticeKeyBuffer) baticeKeyEngine->FreeKey(baticeKeyBuffer);
  if (baticeReverseKeyBuffer) baticeReverseKeyEngine->FreeKey(baticeReverseKeyBuffer);
  nxFreeAndNil(baticeIndexPath);
  nxFreeAndNil(baticeReverseIndexPath);
}

std::int32_t TnxBitArrayTokenIndexCursorEngine::GetMaxTokenSize() {
  if (baticeKeyEngine) return baticeKeyEngine->MaxTokenSize();
  if (baticeReverseKeyEngine) return baticeReverseKeyEngine->MaxTokenSize();
  return 0;
}

TnxResult TnxBitArrayTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                                              const TnxRecID& aOldRecID, PnxRecordBuffer aNewRecord,
                                                              const TnxRecID& aNewRecID) {
  if (!baticeBitArrayStorageHandlerTableEngine) return 0;
  TnxTokenLocation oldLoc, newLoc;
  oldLoc.tlRecID = aOldRecID;
  newLoc.tlRecID = aNewRecID;
  const bool hasOld = readLocation(baticeFieldsDescriptor, baticeLocationField, aOldRecord, oldLoc.tlLocation);
  const bool hasNew = readLocation(baticeFieldsDescriptor, baticeLocationField, aNewRecord, newLoc.tlLocation);
  TnxOwned<TnxUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld)
    oldTokens.reset(platform::create<TnxUniqueTokenContainer>(bticeTokenSourceOld, bpticeComparer, bpticeTransformer,
                                                              baticePerLocationIndex, baticePerFieldIndex));
  if (hasNew)
    newTokens.reset(platform::create<TnxUniqueTokenContainer>(bticeTokenSourceNew, bpticeComparer, bpticeTransformer,
                                                              baticePerLocationIndex, baticePerFieldIndex));
  if (hasOld && hasNew && oldLoc.tlLocation == newLoc.tlLocation) {
    ProcessTokenChanges(aTrans, *oldTokens, oldLoc, *newTokens);
  } else {
    if (hasOld) ProcessAllTokens(aTrans, *oldTokens, false, oldLoc);
    if (hasNew) ProcessAllTokens(aTrans, *newTokens, true, newLoc);
  }
  return 0;
}

void TnxBitArrayTokenIndexCursorEngine::ProcessToken(TnxBaseTransaction* aTrans, const TnxWideString& aToken,
                                                     bool aAdd, const TnxTokenLocation& aLocation,
                                                     std::int16_t aField) {
  ProcessSegment(aTrans, aToken, aAdd, static_cast<std::uint16_t>(aLocation.tlLocation >> 19),
                 aLocation.tlLocation & 0x7FFFF, aField);
}

void TnxBitArrayTokenIndexCursorEngine::ProcessSegment(TnxBaseTransaction* aTrans, const TnxWideString& aToken,
                                                       bool aAdd, std::uint16_t aSegment, std::uint32_t aBit,
                                                       std::int16_t aField) {
  const auto violation = [] { throw EnxBitArrayTokenIndexCursorEngineException(nxErrKeyViolation); };
  const bool forward = baticeIndexEngine != nullptr;
  TnxBaseIndexEngine* e = forward ? baticeIndexEngine : baticeReverseIndexEngine;
  TnxBitArrayTokenKeyEngine* keys = forward ? baticeKeyEngine : baticeReverseKeyEngine;
  PnxKeyBuffer key = forward ? baticeKeyBuffer : baticeReverseKeyBuffer;
  TnxBaseIndexPath* path = forward ? baticeIndexPath : baticeReverseIndexPath;
  const bool withReverse = forward && baticeReverseIndexEngine != nullptr;
  const auto buildReverse = [&] {
    baticeReverseKeyEngine->ClearKey(baticeReverseKeyBuffer);
    baticeReverseKeyEngine->InternalBuildKey(aSegment, aToken, aField, baticeReverseKeyBuffer);
  };

  keys->ClearKey(key);
  keys->InternalBuildKey(aSegment, aToken, aField, key);
  const bool found = e->FindKey(aTrans, key, 0, 0, 0, path, skaEqualFirst, nullptr) && path->IsOnKey();
  bool segmentChanged = false;
  if (!found) {
    if (!aAdd) violation();
    const TnxBlobNr ref = baticeBitArrayStorageHandlerTableEngine->CreateNew(aTrans, aBit);
    if (!e->InsertKey(aTrans, key, static_cast<TnxRefNr>(ref), 0, path)) violation();
    if (withReverse) {
      buildReverse();
      if (!baticeReverseIndexEngine->InsertKey(aTrans, baticeReverseKeyBuffer, static_cast<TnxRefNr>(ref), 0,
                                               baticeReverseIndexPath))
        violation();
    }
    segmentChanged = true;
  } else {
    const TnxRefNr ref = path->RefNr;
    if (aAdd) {
      baticeBitArrayStorageHandlerTableEngine->SetBit(aTrans, aBit, static_cast<TnxBlobNr>(ref));
    } else if (baticeBitArrayStorageHandlerTableEngine->ClearBit(aTrans, aBit, static_cast<TnxBlobNr>(ref))) {
      if (!e->DeleteKey(aTrans, key, ref, 0, path)) violation();
      if (withReverse) {
        buildReverse();
        if (!baticeReverseIndexEngine->FindKey(aTrans, baticeReverseKeyBuffer, 0, 0, 0, baticeReverseIndexPath,
                                               skaEqualFirst, nullptr) ||
            !baticeReverseIndexPath->IsOnKey())
          violation();
        if (!baticeReverseIndexEngine->DeleteKey(aTrans, baticeReverseKeyBuffer, baticeReverseIndexPath->RefNr, 0,
                                                 baticeReverseIndexPath))
          violation();
      }
      segmentChanged = true;
    }
  }
  // The segment index keeps per word the segments it occurs in.
  if (segmentChanged && baticeSegmentIndex && aSegment != nxFulltextSegmentIndexSegment)
    ProcessSegment(aTrans, aToken, aAdd, nxFulltextSegmentIndexSegment, aSegment, aField);
}

// ===========================================================================
// TnxMainIndexTokenIndexCursorEngine

TnxMainIndexTokenIndexCursorEngine::TnxMainIndexTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                                       TnxTokenIndexHubCursorEngine* aParent,
                                                                       TnxBaseTokenIndexTableEngine* aTableEngine,
                                                                       TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                                       TnxBaseTokenSourceCursorEngine* aTokenSourceNew)
    : TnxBaseProcessingTokenIndexCursorEngine(aIndex, aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew),
      miticeMainIndexTokenIndexTableEngine(CastOrRaise<TnxMainIndexTokenIndexTableEngine>(aTableEngine)),
      miticeIndexEngine(miticeMainIndexTokenIndexTableEngine->mititeMainIndexEngine),
      miticeKeyEngine(nullptr) {
  if (!miticeIndexEngine) throw EnxMainIndexTokenIndexCursorEngineException(nxErrNoSuchIndex);
  try {
    miticeKeyEngine = CastOrRaise<TnxMainIndexTokenKeyEngine>(miticeIndexEngine->bieKeyEngine.get());
    miticeIndexPath = newPath(miticeIndexEngine);
    miticeKeyBuffer = miticeKeyEngine->AllocKey();
    if (miticeKeyEngine->IncludeLocation()) {
      miticeFieldsDescriptor = fieldsOf(aIndex->ficeFulltextIndexTableEngine);
      miticeLocationField = locationField(aIndex->ficeFulltextIndexTableEngine);
    }
    if (TnxAbstractCursor* cursor = aIndex->ficeParentFulltextCursorEngine->ftceFulltextCursor)
      miticeNotify = cursor->GetNotifyFor(eaRecordFulltextUpdate);
    SetupProcessing();
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxMainIndexTokenIndexCursorEngine::~TnxMainIndexTokenIndexCursorEngine() { FreeParts(); }

void TnxMainIndexTokenIndexCursorEngine::FreeParts() noexcept {
  if (miticeKeyBuffer) miticeKeyEngine->FreeKey(miticeKeyBuffer);
  nxFreeAndNil(miticeIndexPath);
}

std::int32_t TnxMainIndexTokenIndexCursorEngine::GetCompareFlags() {
  return miticeMainIndexTokenIndexTableEngine->mititeMainIndexTokenIndexDescriptor->IgnoreCase()
             ? static_cast<std::int32_t>(nxNORM_IGNORECASE)
             : 0;
}

std::int32_t TnxMainIndexTokenIndexCursorEngine::GetMaxTokenSize() { return miticeKeyEngine->MaxTokenSize(); }

TnxResult TnxMainIndexTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                                               const TnxRecID& aOldRecID, PnxRecordBuffer aNewRecord,
                                                               const TnxRecID& aNewRecID) {
  bool hasOld = aOldRecID.ridRefNr != 0, hasNew = aNewRecID.ridRefNr != 0;
  if (TnxBaseFilterEngine* filter = miticeKeyEngine->Filter(); filter && filter->GetActive()) {
    if (hasOld && !filter->MatchesBuffer(aOldRecord)) hasOld = false;
    if (hasNew && !filter->MatchesBuffer(aNewRecord)) hasNew = false;
  }
  TnxTokenLocation oldLoc, newLoc;
  oldLoc.tlRecID = aOldRecID;
  newLoc.tlRecID = aNewRecID;
  if (miticeKeyEngine->IncludeLocation()) {
    if (hasOld) readLocation(miticeFieldsDescriptor, miticeLocationField, aOldRecord, oldLoc.tlLocation);
    if (hasNew) readLocation(miticeFieldsDescriptor, miticeLocationField, aNewRecord, newLoc.tlLocation);
  }
  TnxOwned<TnxUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld)
    oldTokens.reset(platform::create<TnxUniqueTokenContainer>(bticeTokenSourceOld, bpticeComparer, bpticeTransformer,
                                                              true, false));
  if (hasNew)
    newTokens.reset(platform::create<TnxUniqueTokenContainer>(bticeTokenSourceNew, bpticeComparer, bpticeTransformer,
                                                              true, false));
  if (hasOld && hasNew && aOldRecID.ridRefNr == aNewRecID.ridRefNr && oldLoc.tlLocation == newLoc.tlLocation) {
    ProcessTokenChanges(aTrans, *oldTokens, oldLoc, *newTokens);
  } else {
    if (hasOld) ProcessAllTokens(aTrans, *oldTokens, false, oldLoc);
    if (hasNew) ProcessAllTokens(aTrans, *newTokens, true, newLoc);
  }
  return 0;
}

void TnxMainIndexTokenIndexCursorEngine::ProcessToken(TnxBaseTransaction* aTrans, const TnxWideString& aToken,
                                                      bool aAdd, const TnxTokenLocation& aLocation, std::int16_t) {
  miticeKeyEngine->ClearKey(miticeKeyBuffer);
  miticeKeyEngine->InternalBuildKey(aToken, aLocation.tlLocation, miticeKeyBuffer);
  if (miticeNotify) {
    const platform::FormatArg args[] = {
        platform::FormatArg(miticeMainIndexTokenIndexTableEngine->mititeMainIndexTokenIndexDescriptor->MainIndexNumber()),
        platform::FormatArg(static_cast<const void*>(&aToken)),
        platform::FormatArg(static_cast<const void*>(&aLocation.tlRecID)),
        platform::FormatArg(static_cast<long long>(aLocation.tlLocation)),
        platform::FormatArg(aAdd ? 1 : 0)};
    miticeNotify(eaRecordFulltextUpdate, true, args);
  }
  const bool done = aAdd ? miticeIndexEngine->InsertKey(aTrans, miticeKeyBuffer, aLocation.tlRecID.ridRefNr, 0,
                                                        miticeIndexPath)
                         : miticeIndexEngine->DeleteKey(aTrans, miticeKeyBuffer, aLocation.tlRecID.ridRefNr, 0,
                                                        miticeIndexPath);
  if (!done) throw EnxMainIndexTokenIndexCursorEngineException(nxErrKeyViolation);
}

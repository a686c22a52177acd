// Full-text cursor engines: the roots, tokens, the unique token container
// and start-up.
#include <utility>

#include "nxllLockedFuncs.h"
#include "nxseFulltextEngineCursorInt.h"

using namespace nxFulltextCursor;

NX_IMPLEMENT_EXCEPTION(EnxFulltextCursorEngineException, EnxBaseFulltextCursorEngineException)
NX_IMPLEMENT_EXCEPTION(EnxFulltextIndexCursorEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenSourceCursorEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenExtractorCursorEngineException, EnxBaseTokenSourceCursorEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenFilterCursorEngineException, EnxBaseTokenSourceCursorEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenIndexCursorEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBitArrayTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException)
NX_IMPLEMENT_EXCEPTION(EnxMainIndexTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException)

PL_CLASS_INFO_IMPL(TnxToken, TnxInterfacedObject, "TnxToken", nullptr)
PL_CLASS_INFO_IMPL(TnxUniqueTokenContainer, TnxObject, "TnxUniqueTokenContainer", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFulltextCursorEngine, TnxBaseFulltextCursorEngine, "TnxFulltextCursorEngine", nullptr,
                         platform::bindClassTable(nxFulltextCursorEngineFuncs<TnxFulltextCursorEngine>))
namespace {
constexpr TnxFulltextIndexCursorClassFuncs kIndexFuncs{
    [](TnxFulltextCursorEngine* aParent, TnxFulltextIndexTableEngine* aTableEngine) -> TnxFulltextIndexCursorEngine* {
      return platform::create<TnxFulltextIndexCursorEngine>(aParent, aTableEngine);
    }};
}  // namespace
PL_CLASS_INFO_IMPL_TABLE(TnxFulltextIndexCursorEngine, TnxBaseRegisterableEngine, "TnxFulltextIndexCursorEngine",
                         nullptr, platform::bindClassTable(kIndexFuncs))

namespace {
TnxClassList gIndexClasses = nullptr;
TnxClassList gExtractorClasses = nullptr;
TnxClassList gFilterClasses = nullptr;
TnxClassList gTokenIndexCursorClasses = nullptr;
}  // namespace

TnxClassList& nxFulltextCursor::IndexClasses() { return gIndexClasses; }
TnxClassList& nxFulltextCursor::ExtractorClasses() { return gExtractorClasses; }
TnxClassList& nxFulltextCursor::FilterClasses() { return gFilterClasses; }
TnxClassList& nxFulltextCursor::TokenIndexClasses() { return gTokenIndexCursorClasses; }

// ===========================================================================
// TnxToken

const TnxInterfaceEntry* TnxToken::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxToken::IID,
       [](TnxInterfacedObject* o) -> InxInterface* { return static_cast<InxToken*>(static_cast<TnxToken*>(o)); }},
      {nullptr, nullptr},
  };
  return table;
}

TnxTokenPtr TnxToken::Make(TnxWideString aToken, std::int32_t aDistance, std::int16_t aField) {
  return TnxTokenPtr(platform::create<TnxToken>(std::move(aToken), aDistance, aField));
}

// ===========================================================================
// TnxUniqueTokenContainer

TnxUniqueTokenContainer::TnxUniqueTokenContainer(TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                 TnxWideStringComparerPtr aComparer,
                                                 TnxWideStringTransformerPtr aTransformer, bool aCombined,
                                                 bool aPerField)
    : utcComparer(std::move(aComparer)), utcTransformer(std::move(aTransformer)) {
  try {
    if (aCombined) utcCombined = NewList();
    aTokenSource->Reset();
    while (TnxTokenPtr token = aTokenSource->NextToken()) {
      if (aPerField) {
        // A negative field cannot index the array; such tokens count as
        // field 0's.
        const std::size_t field = static_cast<std::size_t>(std::max<std::int16_t>(token->GetField(), 0));
        if (utcPerField.size() <= field) utcPerField.resize(field + 1, nullptr);
        if (!utcPerField[field]) utcPerField[field] = NewList();
        utcPerField[field]->Add(token->GetToken());
      } else if (utcCombined) {
        utcCombined->Add(token->GetToken());
      }
    }
    if (aCombined && aPerField)
      for (TnxWideStringList* list : utcPerField)
        if (list)
          for (std::int32_t i = 0; i < list->Count(); ++i) utcCombined->Add(list->StringRef(i));
  } catch (...) {
    FreeLists();
    throw;
  }
}

TnxUniqueTokenContainer::~TnxUniqueTokenContainer() { FreeLists(); }

void TnxUniqueTokenContainer::FreeLists() noexcept {
  nxFreeAndNil(utcCombined);
  FreeAll(utcPerField);
}

TnxWideStringList* TnxUniqueTokenContainer::NewList() {
  TnxWideStringList* list = platform::create<TnxWideStringList>(utcComparer, utcTransformer);
  list->SetDuplicates(platform::Duplicates::ignore);
  list->SetSorted(true);
  return list;
}

TnxWideStringList* TnxUniqueTokenContainer::PerField(std::int32_t aField) const {
  if (aField < 0 || aField >= PerFieldCount()) return nullptr;
  return utcPerField[static_cast<std::size_t>(aField)];
}

// ===========================================================================
// TnxFulltextIndexCursorEngine

TnxFulltextIndexCursorEngine::TnxFulltextIndexCursorEngine(TnxFulltextCursorEngine* aParent,
                                                           TnxFulltextIndexTableEngine* aTableEngine)
    : ficeParentFulltextCursorEngine(aParent), ficeFulltextIndexTableEngine(aTableEngine) {
  try {
    auto hubOf = [&](TnxBaseTokenExtractorTableEngine* aHub) {
      return CastOrRaise<TnxTokenExtractorHubCursorEngine>(
          TnxBaseTokenExtractorCursorEngine::CreateFor(this, nullptr, aHub));
    };
    if (aTableEngine->fiteTokenExtractorHub) {
      ficeTokenExtractorHubOld = hubOf(aTableEngine->fiteTokenExtractorHub);
      ficeTokenExtractorHubNew = hubOf(aTableEngine->fiteTokenExtractorHub);
    }
    if (aTableEngine->fiteTokenFilterHub) {
      ficeTokenFilterHubOld =
          TnxTokenFilterHubCursorEngine::CreateHub(this, ficeTokenExtractorHubOld, aTableEngine->fiteTokenFilterHub);
      ficeTokenFilterHubNew =
          TnxTokenFilterHubCursorEngine::CreateHub(this, ficeTokenExtractorHubNew, aTableEngine->fiteTokenFilterHub);
    }
    if (aTableEngine->fiteTokenIndexHub) {
      TnxBaseTokenSourceCursorEngine* old = ficeTokenFilterHubOld;
      TnxBaseTokenSourceCursorEngine* now = ficeTokenFilterHubNew;
      if (!old) old = ficeTokenExtractorHubOld;
      if (!now) now = ficeTokenExtractorHubNew;
      ficeTokenIndexHub = CastOrRaise<TnxTokenIndexHubCursorEngine>(
          TnxBaseTokenIndexCursorEngine::CreateFor(this, nullptr, aTableEngine->fiteTokenIndexHub, old, now));
    }
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxFulltextIndexCursorEngine::~TnxFulltextIndexCursorEngine() { FreeParts(); }

void TnxFulltextIndexCursorEngine::FreeParts() noexcept {
  nxFreeAndNil(ficeTokenIndexHub);
  nxFreeAndNil(ficeTokenFilterHubNew);
  nxFreeAndNil(ficeTokenFilterHubOld);
  nxFreeAndNil(ficeTokenExtractorHubNew);
  nxFreeAndNil(ficeTokenExtractorHubOld);
}

TnxClassList& TnxFulltextIndexCursorEngine::GetList() { return gIndexClasses; }

TnxFulltextIndexCursorEngine* TnxFulltextIndexCursorEngine::CreateFor(TnxFulltextCursorEngine* aParent,
                                                                      TnxFulltextIndexTableEngine* aTableEngine) {
  return EngineFuncs<EnxFulltextIndexCursorEngineException, TnxFulltextIndexCursorClassFuncs>(
             gIndexClasses, aTableEngine->classInfo(), u"FulltextIndex")
      .create(aParent, aTableEngine);
}

TnxResult TnxFulltextIndexCursorEngine::ficeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                                        const TnxRecID& aOldRecID, PnxRecordBuffer aNewRecord,
                                                        const TnxRecID& aNewRecID) {
  if (ficeTokenExtractorHubOld) ficeTokenExtractorHubOld->Initialize(aOldRecord, aOldRecID, true);
  if (ficeTokenExtractorHubNew) ficeTokenExtractorHubNew->Initialize(aNewRecord, aNewRecID, false);
  if (!ficeTokenIndexHub) return 0;
  return ficeTokenIndexHub->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID);
}

TnxBaseTokenExtractorCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenExtractorOld(std::int32_t aIndex) const {
  if (aIndex == -1 || !ficeTokenExtractorHubOld) return ficeTokenExtractorHubOld;
  return ficeTokenExtractorHubOld->tehceGetTokenExtractor(aIndex);
}
TnxBaseTokenExtractorCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenExtractorNew(std::int32_t aIndex) const {
  if (aIndex == -1 || !ficeTokenExtractorHubNew) return ficeTokenExtractorHubNew;
  return ficeTokenExtractorHubNew->tehceGetTokenExtractor(aIndex);
}
TnxBaseTokenSourceCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenFilterOld(std::int32_t aIndex) const {
  if (!ficeTokenFilterHubOld) return nullptr;
  return ficeTokenFilterHubOld->tfhceGetTokenFilter(aIndex);
}
TnxBaseTokenSourceCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenFilterNew(std::int32_t aIndex) const {
  if (!ficeTokenFilterHubNew) return nullptr;
  return ficeTokenFilterHubNew->tfhceGetTokenFilter(aIndex);
}
TnxBaseTokenIndexCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenIndex(std::int32_t aIndex) const {
  if (aIndex == -1 || !ficeTokenIndexHub) return ficeTokenIndexHub;
  return ficeTokenIndexHub->tihceGetTokenIndex(aIndex);
}
std::int32_t TnxFulltextIndexCursorEngine::TokenExtractorCount() const {
  return ficeTokenExtractorHubNew ? ficeTokenExtractorHubNew->TokenExtractorCount() : 0;
}
std::int32_t TnxFulltextIndexCursorEngine::TokenFilterCount() const {
  return ficeTokenFilterHubNew ? ficeTokenFilterHubNew->TokenFilterCount() : 0;
}
std::int32_t TnxFulltextIndexCursorEngine::TokenIndexCount() const {
  return ficeTokenIndexHub ? ficeTokenIndexHub->TokenIndexCount() : 0;
}

// ===========================================================================
// TnxFulltextCursorEngine

TnxFulltextCursorEngine::TnxFulltextCursorEngine(TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor)
    : TnxBaseFulltextCursorEngine(aTableEngine, aCursor),
      ftceFulltextTableEngine(CastOrRaise<TnxFulltextTableEngine>(aTableEngine)),
      ftceFulltextCursor(aCursor) {
  try {
    CreateChildEngines();
  } catch (...) {
    FreeAll(ftceFulltextIndices);
    throw;
  }
}

TnxFulltextCursorEngine::~TnxFulltextCursorEngine() {
  FreeAll(ftceFulltextIndices);
  FreeUpdateHelpers();
}

void TnxFulltextCursorEngine::CreateChildEngines() {
  for (TnxFulltextIndexTableEngine* index : ftceFulltextTableEngine->ftteFulltextIndices) {
    ftceFulltextIndices.push_back(nullptr);
    ftceFulltextIndices.back() = TnxFulltextIndexCursorEngine::CreateFor(this, index);
  }
}

TnxResult TnxFulltextCursorEngine::UpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                               TnxRefNr aOldRefNr, PnxRecordBuffer aNewRecord, TnxRefNr aNewRefNr) {
  struct FreeHelpers {
    TnxFulltextCursorEngine* e;
    ~FreeHelpers() { e->FreeUpdateHelpers(); }
  } freeHelpers{this};
  TnxRecID oldID{0, 0}, newID{0, 0};
  if (ftceFulltextCursor) {
    oldID = ftceFulltextCursor->acGetRecID(aOldRecord);
    newID = ftceFulltextCursor->acGetRecID(aNewRecord);
  }
  oldID.ridRefNr = aOldRefNr;
  newID.ridRefNr = aNewRefNr;
  for (std::size_t i = ftceFulltextIndices.size(); i-- > 0;) {
    const TnxResult result = ftceFulltextIndices[i]->ficeUpdateIndex(aTrans, aOldRecord, oldID, aNewRecord, newID);
    if (result != 0) return result;
  }
  return 0;
}

platform::TObject* TnxFulltextCursorEngine::ftceGetTempUpdateHelper(const nxString& aName) const {
  if (!ftceUpdateHelpers) return nullptr;
  auto it = ftceUpdateHelpers->find(aName);
  return it == ftceUpdateHelpers->end() ? nullptr : it->second;
}

void TnxFulltextCursorEngine::ftceSetTempUpdateHelper(const nxString& aName, platform::TObject* aObject) {
  if (!aObject) {
    if (!ftceUpdateHelpers) return;
    auto it = ftceUpdateHelpers->find(aName);
    if (it == ftceUpdateHelpers->end()) return;
    platform::TObject* old = it->second;
    ftceUpdateHelpers->erase(it);
    platform::TObject::free(old);
    return;
  }
  if (!ftceUpdateHelpers) ftceUpdateHelpers = std::make_unique<std::map<nxString, platform::TObject*>>();
  platform::TObject*& slot = (*ftceUpdateHelpers)[aName];
  if (slot == aObject) return;
  platform::TObject* old = std::exchange(slot, aObject);
  platform::TObject::free(old);
}

void TnxFulltextCursorEngine::FreeUpdateHelpers() noexcept {
  if (!ftceUpdateHelpers) return;
  for (auto& [name, object] : *ftceUpdateHelpers) platform::TObject::free(object);
  ftceUpdateHelpers.reset();
}

// ===========================================================================
// Start-up

namespace {

TnxUseCount gFulltextEngineCursorUseCount{0};

template <class T>
void registerCursorEngine(TnxClassList& aList) {
  nxRegisterClassIn(aList, T::staticClassInfo());
}

void unregisterAllFulltextEngineCursor() noexcept {
  nxUnregisterClassIn(TnxBaseFulltextCursorEngine::GetList(), TnxFulltextCursorEngine::staticClassInfo());
  nxFreeClassList(gIndexClasses);
  nxFreeClassList(gExtractorClasses);
  nxFreeClassList(gFilterClasses);
  nxFreeClassList(gTokenIndexCursorClasses);
}

}  // namespace

void nxseFulltextEngineCursorInitialize() {
  if (!nxUseCountEnter(gFulltextEngineCursorUseCount)) return;
  try {
    registerCursorEngine<TnxFulltextCursorEngine>(TnxBaseFulltextCursorEngine::GetList());
    registerCursorEngine<TnxFulltextIndexCursorEngine>(gIndexClasses);
    registerCursorEngine<TnxTokenExtractorHubCursorEngine>(gExtractorClasses);
    registerCursorEngine<TnxFieldTokenExtractorCursorEngine>(gExtractorClasses);
    registerCursorEngine<TnxTokenFilterHubCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxWideCharSeparatorTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxCategorySeparatorTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxLowercaseLocaleMappingTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxUppercaseLocaleMappingTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxCustomLocaleMappingTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxPreComposeFoldStringTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxDecomposeFoldStringTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxCustomFoldStringTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxStringReplaceTokenFilterCursorEngine>(gFilterClasses);
    registerCursorEngine<TnxTokenIndexHubCursorEngine>(gTokenIndexCursorClasses);
    registerCursorEngine<TnxBitArrayTokenIndexCursorEngine>(gTokenIndexCursorClasses);
    registerCursorEngine<TnxMainIndexTokenIndexCursorEngine>(gTokenIndexCursorClasses);
  } catch (...) {
    unregisterAllFulltextEngineCursor();
    nxUseCountLeave(gFulltextEngineCursorUseCount);
    throw;
  }
}

void nxseFulltextEngineCursorFinalize() {
  if (nxUseCountLeave(gFulltextEngineCursorUseCount)) unregisterAllFulltextEngineCursor();
}

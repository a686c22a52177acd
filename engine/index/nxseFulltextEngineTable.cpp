#include "nxseFulltextEngineTable.h"

#include <cstring>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plErrors.h"

NX_IMPLEMENT_EXCEPTION(EnxFulltextTableEngineException, EnxBaseFulltextTableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxFulltextIndexTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenExtractorTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenFilterTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTokenIndexTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseBitArrayStorageHandlerTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxSimpleBitArrayStorageHandlerTableEngineException,
                       EnxBaseBitArrayStorageHandlerTableEngineException)

using TnxIndexFuncs =
    TnxFulltextTableClassFuncs<TnxFulltextIndexTableEngine, TnxFulltextTableEngine, TnxFulltextIndexDescriptor>;
using TnxExtractorFuncs = TnxFulltextTableClassFuncs<TnxBaseTokenExtractorTableEngine, TnxTokenExtractorHubTableEngine,
                                                     TnxBaseTokenExtractorDescriptor>;
using TnxFilterFuncs = TnxFulltextTableClassFuncs<TnxBaseTokenFilterTableEngine, TnxTokenFilterHubTableEngine,
                                                  TnxBaseTokenFilterDescriptor>;
using TnxTokenIndexFuncs = TnxFulltextTableClassFuncs<TnxBaseTokenIndexTableEngine, TnxTokenIndexHubTableEngine,
                                                      TnxBaseTokenIndexDescriptor>;
using TnxStorageFuncs =
    TnxFulltextTableClassFuncs<TnxBaseBitArrayStorageHandlerTableEngine, TnxBitArrayTokenIndexTableEngine,
                               TnxBaseBitArrayStorageHandlerDescriptor>;

#define NX_EXTRACTOR_TABLE(T)                                                                          \
  platform::bindClassTable(nxFulltextTableFuncs<T, TnxBaseTokenExtractorTableEngine,                   \
                                                TnxTokenExtractorHubTableEngine, TnxBaseTokenExtractorDescriptor>)
#define NX_FILTER_TABLE(T)                                                                                      \
  platform::bindClassTable(nxFulltextTableFuncs<T, TnxBaseTokenFilterTableEngine, TnxTokenFilterHubTableEngine, \
                                                TnxBaseTokenFilterDescriptor>)
#define NX_TOKEN_INDEX_TABLE(T)                                                                                 \
  platform::bindClassTable(nxFulltextTableFuncs<T, TnxBaseTokenIndexTableEngine, TnxTokenIndexHubTableEngine, \
                                                TnxBaseTokenIndexDescriptor>)

PL_CLASS_INFO_IMPL_TABLE(TnxFulltextTableEngine, TnxBaseFulltextTableEngine, "TnxFulltextTableEngine", nullptr,
                         platform::bindClassTable(nxFulltextTableEngineFuncs<TnxFulltextTableEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxFulltextIndexTableEngine, TnxBaseRegisterableEngine, "TnxFulltextIndexTableEngine",
                         nullptr,
                         platform::bindClassTable(nxFulltextTableFuncs<TnxFulltextIndexTableEngine,
                                                                       TnxFulltextIndexTableEngine,
                                                                       TnxFulltextTableEngine,
                                                                       TnxFulltextIndexDescriptor>))
PL_CLASS_INFO_IMPL(TnxBaseTokenSourceTableEngine, TnxBaseRegisterableEngine, "TnxBaseTokenSourceTableEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseTokenExtractorTableEngine, TnxBaseTokenSourceTableEngine,
                   "TnxBaseTokenExtractorTableEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxTokenExtractorHubTableEngine, TnxBaseTokenExtractorTableEngine,
                         "TnxTokenExtractorHubTableEngine", nullptr,
                         NX_EXTRACTOR_TABLE(TnxTokenExtractorHubTableEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldTokenExtractorTableEngine, TnxBaseTokenExtractorTableEngine,
                         "TnxFieldTokenExtractorTableEngine", nullptr,
                         NX_EXTRACTOR_TABLE(TnxFieldTokenExtractorTableEngine))
PL_CLASS_INFO_IMPL(TnxBaseTokenFilterTableEngine, TnxBaseTokenSourceTableEngine, "TnxBaseTokenFilterTableEngine",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxTokenFilterHubTableEngine, TnxBaseTokenFilterTableEngine, "TnxTokenFilterHubTableEngine",
                         nullptr, NX_FILTER_TABLE(TnxTokenFilterHubTableEngine))
PL_CLASS_INFO_IMPL(TnxBaseSeparatorTokenFilterTableEngine, TnxBaseTokenFilterTableEngine,
                   "TnxBaseSeparatorTokenFilterTableEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseLocaleMappingTokenFilterTableEngine, TnxBaseTokenFilterTableEngine,
                   "TnxBaseLocaleMappingTokenFilterTableEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFoldStringTokenFilterTableEngine, TnxBaseTokenFilterTableEngine,
                   "TnxBaseFoldStringTokenFilterTableEngine", nullptr)
#define NX_FILTER_CLASS(Cls, Base) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Base, #Cls, nullptr, NX_FILTER_TABLE(Cls))
NX_FILTER_CLASS(TnxWideCharSeparatorTokenFilterTableEngine, TnxBaseSeparatorTokenFilterTableEngine)
NX_FILTER_CLASS(TnxCategorySeparatorTokenFilterTableEngine, TnxBaseSeparatorTokenFilterTableEngine)
NX_FILTER_CLASS(TnxLowercaseLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FILTER_CLASS(TnxUppercaseLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FILTER_CLASS(TnxCustomLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FILTER_CLASS(TnxPreComposeFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FILTER_CLASS(TnxDecomposeFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FILTER_CLASS(TnxCustomFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FILTER_CLASS(TnxStringReplaceTokenFilterTableEngine, TnxBaseTokenFilterTableEngine)
#undef NX_FILTER_CLASS
PL_CLASS_INFO_IMPL(TnxBaseTokenIndexTableEngine, TnxBaseRegisterableEngine, "TnxBaseTokenIndexTableEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxTokenIndexHubTableEngine, TnxBaseTokenIndexTableEngine, "TnxTokenIndexHubTableEngine",
                         nullptr, NX_TOKEN_INDEX_TABLE(TnxTokenIndexHubTableEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxBitArrayTokenIndexTableEngine, TnxBaseTokenIndexTableEngine,
                         "TnxBitArrayTokenIndexTableEngine", nullptr,
                         NX_TOKEN_INDEX_TABLE(TnxBitArrayTokenIndexTableEngine))
PL_CLASS_INFO_IMPL_TABLE(TnxMainIndexTokenIndexTableEngine, TnxBaseTokenIndexTableEngine,
                         "TnxMainIndexTokenIndexTableEngine", nullptr,
                         NX_TOKEN_INDEX_TABLE(TnxMainIndexTokenIndexTableEngine))
PL_CLASS_INFO_IMPL(TnxBaseBitArrayStorageHandlerTableEngine, TnxBaseRegisterableEngine,
                   "TnxBaseBitArrayStorageHandlerTableEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSimpleBitArrayStorageHandlerTableEngine, TnxBaseBitArrayStorageHandlerTableEngine,
                         "TnxSimpleBitArrayStorageHandlerTableEngine", nullptr,
                         platform::bindClassTable(nxFulltextTableFuncs<TnxSimpleBitArrayStorageHandlerTableEngine,
                                                                       TnxBaseBitArrayStorageHandlerTableEngine,
                                                                       TnxBitArrayTokenIndexTableEngine,
                                                                       TnxBaseBitArrayStorageHandlerDescriptor>))
PL_CLASS_INFO_IMPL(TnxCountStream, TStream, "TnxCountStream", nullptr)
PL_CLASS_INFO_IMPL(TnxCurrentByteStream, TStream, "TnxCurrentByteStream", nullptr)

namespace {

TnxClassList gFulltextIndexClasses = nullptr;
TnxClassList gTokenExtractorClasses = nullptr;
TnxClassList gTokenFilterClasses = nullptr;
TnxClassList gTokenIndexTableClasses = nullptr;
TnxClassList gStorageHandlerClasses = nullptr;

// The engine of a descriptor by name in a family; none: the family's
// exception, 15503.
template <class Exception, class Funcs>
const Funcs& engineFuncs(TnxClassList& aList, const platform::ClassInfo& aDescriptorClass, const char16_t* aFamily) {
  const std::string name = nxDescriptorToEngineName(aDescriptorClass.name, "TableEngine");
  const platform::ClassInfo* cls = nxFindClassIn(aList, name);
  const Funcs* funcs = cls ? cls->template table<Funcs>() : nullptr;
  if (!funcs)
    throw Exception(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                    {nxString(aFamily), platform::fromUtf8(name)});
  return *funcs;
}

template <class T>
T* castOrRaise(platform::TObject* aObject) {
  if (!aObject) return nullptr;
  auto* result = platform::objectAs<T>(aObject);
  if (!result) throw platform::ConvertError("Invalid class typecast");
  return result;
}

// Frees an engine made by a hub's or parent's CreateFor and not yet kept.
template <class T>
struct Owned {
  T* h = nullptr;
  ~Owned() { platform::TObject::free(h); }
  T* release() { return std::exchange(h, nullptr); }
};

// Accesses to the files of aFiles for the engine of descriptor ID aID.
TnxBlockAccessArray accessesFor(const TnxBlockAccessArray& aFiles, std::int32_t aID,
                                std::vector<TnxOwned<TnxBlockAccess>>& aOwned) {
  TnxBlockAccessArray result;
  for (TnxBlockAccess* file : aFiles) {
    if (!file) {
      result.push_back(nullptr);
      continue;
    }
    TnxBlockAccess* main = file->baMain ? file->baMain : file;
    aOwned.emplace_back(platform::create<TnxBlockAccess>(file->baFile, main, file->baBaseName, aID));
    result.push_back(aOwned.back().get());
  }
  return result;
}

}  // namespace

// ===========================================================================
// TnxFulltextTableEngine

TnxFulltextTableEngine::TnxFulltextTableEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                               TnxBaseIndicesEngine* aMainIndicesEngine,
                                               const TnxBlockAccessArray& aFiles)
    : TnxBaseFulltextTableEngine(aDescriptor, aTrans, aMainIndicesEngine, aFiles),
      ftteFulltextDescriptor(castOrRaise<TnxFulltextDescriptor>(aDescriptor)),
      ftteFiles(aFiles),
      ftteMainIndicesEngine(aMainIndicesEngine) {
  try {
    if (TnxTokenIndicesDescriptor* indices = ftteFulltextDescriptor->IndicesDescriptor())
      ftteIndicesEngine = TnxBaseIndicesEngine::CreateEngine(
          indices, accessesFor(aFiles, indices->ID(), ftteIndicesFiles), aTrans, false);
    if (TnxBaseBlobDescriptor* blob = ftteFulltextDescriptor->BlobDescriptor()) {
      const platform::ClassInfo& cls = TnxBaseSubEngine::FindSubEngineClassOrRaise(
          TnxBaseBlobEngine::staticClassInfo(), blob->BlobEngine(), u"BLOB");
      ftteBlobEngine = static_cast<TnxBaseBlobEngine*>(
          TnxBaseSubEngine::Funcs(cls).create(blob, aTrans, accessesFor(aFiles, blob->ID(), ftteBlobFiles)));
    }
    for (std::int32_t i = 0; i < ftteFulltextDescriptor->FulltextIndexCount(); ++i) {
      ftteFulltextIndices.push_back(nullptr);
      ftteFulltextIndices.back() =
          TnxFulltextIndexTableEngine::CreateFor(this, ftteFulltextDescriptor->FulltextIndex(i), aTrans);
    }
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxFulltextTableEngine::~TnxFulltextTableEngine() { FreeParts(); }

void TnxFulltextTableEngine::FreeParts() noexcept {
  for (TnxFulltextIndexTableEngine*& index : ftteFulltextIndices) nxFreeAndNil(index);
  ftteFulltextIndices.clear();
  nxFreeAndNil(ftteIndicesEngine);
  nxFreeAndNil(ftteBlobEngine);
  ftteIndicesFiles.clear();
  ftteBlobFiles.clear();
}

// ===========================================================================
// TnxFulltextIndexTableEngine

TnxFulltextIndexTableEngine::TnxFulltextIndexTableEngine(TnxFulltextIndexTableEngine*,
                                                         TnxFulltextTableEngine* aParent,
                                                         TnxFulltextIndexDescriptor* aDescriptor,
                                                         TnxBaseTransaction* aTrans)
    : fiteParentFulltextTableEngine(aParent), fiteFulltextIndexDescriptor(aDescriptor) {
  try {
    fiteTokenExtractorHub = TnxTokenExtractorHubTableEngine::CreateFor(this, aDescriptor->TokenExtractorHub(), aTrans);
    fiteTokenFilterHub = TnxTokenFilterHubTableEngine::CreateFor(this, aDescriptor->TokenFilterHub(), aTrans);
    fiteTokenIndexHub = TnxTokenIndexHubTableEngine::CreateFor(this, aDescriptor->TokenIndexHub(), aTrans);
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxFulltextIndexTableEngine::~TnxFulltextIndexTableEngine() { FreeParts(); }

void TnxFulltextIndexTableEngine::FreeParts() noexcept {
  nxFreeAndNil(fiteTokenIndexHub);
  nxFreeAndNil(fiteTokenFilterHub);
  nxFreeAndNil(fiteTokenExtractorHub);
}

TnxClassList& TnxFulltextIndexTableEngine::GetList() { return gFulltextIndexClasses; }

TnxFulltextIndexTableEngine* TnxFulltextIndexTableEngine::CreateFor(TnxFulltextTableEngine* aParent,
                                                                    TnxFulltextIndexDescriptor* aDescriptor,
                                                                    TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxFulltextIndexTableEngineException, TnxIndexFuncs>(
      gFulltextIndexClasses, aDescriptor->classInfo(), u"FulltextIndex");
  return funcs.create(nullptr, aParent, aDescriptor, aTrans);
}

TnxBaseTokenExtractorTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenExtractor(std::int32_t aIndex) const {
  if (aIndex == -1 || !fiteTokenExtractorHub) return fiteTokenExtractorHub;
  return fiteTokenExtractorHub->tehteGetTokenExtractor(aIndex);
}
TnxBaseTokenFilterTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1 || !fiteTokenFilterHub) return fiteTokenFilterHub;
  return fiteTokenFilterHub->tfhteGetTokenFilter(aIndex);
}
TnxBaseTokenIndexTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenIndex(std::int32_t aIndex) const {
  if (aIndex == -1 || !fiteTokenIndexHub) return fiteTokenIndexHub;
  return fiteTokenIndexHub->tihteGetTokenIndex(aIndex);
}
std::int32_t TnxFulltextIndexTableEngine::TokenExtractorCount() const {
  return fiteTokenExtractorHub ? fiteTokenExtractorHub->TokenExtractorCount() : 0;
}
std::int32_t TnxFulltextIndexTableEngine::TokenFilterCount() const {
  return fiteTokenFilterHub ? fiteTokenFilterHub->TokenFilterCount() : 0;
}
std::int32_t TnxFulltextIndexTableEngine::TokenIndexCount() const {
  return fiteTokenIndexHub ? fiteTokenIndexHub->TokenIndexCount() : 0;
}

// ===========================================================================
// Token extractors

namespace {
// A filter hub for an extractor's or token index's own filters; nil when
// the hub descriptor holds none.
TnxTokenFilterHubTableEngine* ownFilterHub(TnxFulltextIndexTableEngine* aIndex, TnxTokenFilterHubDescriptor* aHub,
                                           TnxBaseTransaction* aTrans) {
  if (!aHub || aHub->TokenFilterCount() == 0) return nullptr;
  return TnxTokenFilterHubTableEngine::CreateFor(aIndex, aHub, aTrans);
}
}  // namespace

TnxBaseTokenExtractorTableEngine::TnxBaseTokenExtractorTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                                   TnxTokenExtractorHubTableEngine* aParent,
                                                                   TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                                   TnxBaseTransaction* aTrans)
    : TnxBaseTokenSourceTableEngine(aIndex), bteteParent(aParent), bteteTokenExtractorDescriptor(aDescriptor) {
  bteteTokenFilterHub = ownFilterHub(aIndex, aDescriptor->TokenFilterHub(), aTrans);
}

TnxBaseTokenExtractorTableEngine::~TnxBaseTokenExtractorTableEngine() { nxFreeAndNil(bteteTokenFilterHub); }

TnxClassList& TnxBaseTokenExtractorTableEngine::GetList() { return gTokenExtractorClasses; }

TnxBaseTokenExtractorTableEngine* TnxBaseTokenExtractorTableEngine::CreateFor(
    TnxFulltextIndexTableEngine* aIndex, TnxBaseTokenExtractorDescriptor* aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenExtractorTableEngineException, TnxExtractorFuncs>(
      gTokenExtractorClasses, aDescriptor->classInfo(), u"TokenExtractor");
  return funcs.create(aIndex, nullptr, aDescriptor, aTrans);
}

TnxBaseTokenExtractorTableEngine* TnxBaseTokenExtractorTableEngine::CreateFor(
    TnxTokenExtractorHubTableEngine* aParent, TnxBaseTokenExtractorDescriptor* aDescriptor,
    TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenExtractorTableEngineException, TnxExtractorFuncs>(
      gTokenExtractorClasses, aDescriptor->classInfo(), u"TokenExtractor");
  return funcs.create(aParent->btsteParentFulltextIndex, aParent, aDescriptor, aTrans);
}

TnxBaseTokenFilterTableEngine* TnxBaseTokenExtractorTableEngine::bteteGetTokenFilter(std::int32_t aIndex) const {
  if (!bteteTokenFilterHub || aIndex == -1) return bteteTokenFilterHub;
  return bteteTokenFilterHub->tfhteGetTokenFilter(aIndex);
}
std::int32_t TnxBaseTokenExtractorTableEngine::TokenFilterCount() const {
  return bteteTokenFilterHub ? bteteTokenFilterHub->TokenFilterCount() : 0;
}

TnxTokenExtractorHubTableEngine::TnxTokenExtractorHubTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                                 TnxTokenExtractorHubTableEngine* aParent,
                                                                 TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                                 TnxBaseTransaction* aTrans)
    : TnxBaseTokenExtractorTableEngine(aIndex, aParent, aDescriptor, aTrans),
      tehteTokenExtractorHubDescriptor(castOrRaise<TnxTokenExtractorHubDescriptor>(aDescriptor)) {
  try {
    for (std::int32_t i = 0; i < tehteTokenExtractorHubDescriptor->TokenExtractorCount(); ++i) {
      Owned<TnxBaseTokenExtractorTableEngine> child{
          TnxBaseTokenExtractorTableEngine::CreateFor(this, tehteTokenExtractorHubDescriptor->tehdGetTokenExtractor(i),
                                                      aTrans)};
      tehteTokenExtractors.push_back(child.h);
      child.release();
    }
  } catch (...) {
    for (auto*& e : tehteTokenExtractors) nxFreeAndNil(e);
    throw;
  }
}

TnxTokenExtractorHubTableEngine::~TnxTokenExtractorHubTableEngine() {
  for (auto*& e : tehteTokenExtractors) nxFreeAndNil(e);
}

TnxTokenExtractorHubTableEngine* TnxTokenExtractorHubTableEngine::CreateFor(
    TnxFulltextIndexTableEngine* aIndex, TnxBaseTokenExtractorDescriptor* aDescriptor, TnxBaseTransaction* aTrans) {
  Owned<TnxBaseTokenExtractorTableEngine> engine{TnxBaseTokenExtractorTableEngine::CreateFor(aIndex, aDescriptor, aTrans)};
  auto* hub = castOrRaise<TnxTokenExtractorHubTableEngine>(engine.h);
  engine.release();
  return hub;
}

TnxBaseTokenExtractorTableEngine* TnxTokenExtractorHubTableEngine::tehteGetTokenExtractor(std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenExtractorHubTableEngine*>(this);
  return tehteTokenExtractors.at(static_cast<std::size_t>(aIndex));
}

TnxFieldTokenExtractorTableEngine::TnxFieldTokenExtractorTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                                     TnxTokenExtractorHubTableEngine* aParent,
                                                                     TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                                     TnxBaseTransaction* aTrans)
    : TnxBaseTokenExtractorTableEngine(aIndex, aParent, aDescriptor, aTrans),
      fteteFieldTokenExtractorDescriptor(castOrRaise<TnxFieldTokenExtractorDescriptor>(aDescriptor)) {}

// ===========================================================================
// Token filters

TnxBaseTokenFilterTableEngine::TnxBaseTokenFilterTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                             TnxTokenFilterHubTableEngine* aParent,
                                                             TnxBaseTokenFilterDescriptor* aDescriptor,
                                                             TnxBaseTransaction*)
    : TnxBaseTokenSourceTableEngine(aIndex), btfteParent(aParent), btfteTokenFilterDescriptor(aDescriptor) {}

TnxClassList& TnxBaseTokenFilterTableEngine::GetList() { return gTokenFilterClasses; }

TnxBaseTokenFilterTableEngine* TnxBaseTokenFilterTableEngine::CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                                        TnxBaseTokenFilterDescriptor* aDescriptor,
                                                                        TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenFilterTableEngineException, TnxFilterFuncs>(
      gTokenFilterClasses, aDescriptor->classInfo(), u"TokenFilter");
  return funcs.create(aIndex, nullptr, aDescriptor, aTrans);
}

TnxBaseTokenFilterTableEngine* TnxBaseTokenFilterTableEngine::CreateFor(TnxTokenFilterHubTableEngine* aParent,
                                                                        TnxBaseTokenFilterDescriptor* aDescriptor,
                                                                        TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenFilterTableEngineException, TnxFilterFuncs>(
      gTokenFilterClasses, aDescriptor->classInfo(), u"TokenFilter");
  return funcs.create(aParent->btsteParentFulltextIndex, aParent, aDescriptor, aTrans);
}

TnxTokenFilterHubTableEngine::TnxTokenFilterHubTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                           TnxTokenFilterHubTableEngine* aParent,
                                                           TnxBaseTokenFilterDescriptor* aDescriptor,
                                                           TnxBaseTransaction* aTrans)
    : TnxBaseTokenFilterTableEngine(aIndex, aParent, aDescriptor, aTrans),
      tfhteTokenFilterHubDescriptor(castOrRaise<TnxTokenFilterHubDescriptor>(aDescriptor)) {
  try {
    for (std::int32_t i = 0; i < tfhteTokenFilterHubDescriptor->TokenFilterCount(); ++i) {
      Owned<TnxBaseTokenFilterTableEngine> child{
          TnxBaseTokenFilterTableEngine::CreateFor(this, tfhteTokenFilterHubDescriptor->tfhdGetTokenFilter(i), aTrans)};
      tfhteTokenFilters.push_back(child.h);
      child.release();
    }
  } catch (...) {
    for (auto*& f : tfhteTokenFilters) nxFreeAndNil(f);
    throw;
  }
}

TnxTokenFilterHubTableEngine::~TnxTokenFilterHubTableEngine() {
  for (auto*& f : tfhteTokenFilters) nxFreeAndNil(f);
}

TnxTokenFilterHubTableEngine* TnxTokenFilterHubTableEngine::CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                                      TnxBaseTokenFilterDescriptor* aDescriptor,
                                                                      TnxBaseTransaction* aTrans) {
  Owned<TnxBaseTokenFilterTableEngine> engine{TnxBaseTokenFilterTableEngine::CreateFor(aIndex, aDescriptor, aTrans)};
  auto* hub = castOrRaise<TnxTokenFilterHubTableEngine>(engine.h);
  engine.release();
  return hub;
}

TnxBaseTokenFilterTableEngine* TnxTokenFilterHubTableEngine::tfhteGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenFilterHubTableEngine*>(this);
  return tfhteTokenFilters.at(static_cast<std::size_t>(aIndex));
}

// ===========================================================================
// Token indices

TnxBaseTokenIndexTableEngine::TnxBaseTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                           TnxTokenIndexHubTableEngine* aParent,
                                                           TnxBaseTokenIndexDescriptor* aDescriptor,
                                                           TnxBaseTransaction* aTrans)
    : btiteParentFulltextIndex(aIndex), btiteParent(aParent), btiteTokenIndexDescriptor(aDescriptor) {
  btiteTokenFilterHub = ownFilterHub(aIndex, aDescriptor->TokenFilterHub(), aTrans);
}

TnxBaseTokenIndexTableEngine::~TnxBaseTokenIndexTableEngine() { nxFreeAndNil(btiteTokenFilterHub); }

TnxClassList& TnxBaseTokenIndexTableEngine::GetList() { return gTokenIndexTableClasses; }

TnxBaseTokenIndexTableEngine* TnxBaseTokenIndexTableEngine::CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                                      TnxBaseTokenIndexDescriptor* aDescriptor,
                                                                      TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenIndexTableEngineException, TnxTokenIndexFuncs>(
      gTokenIndexTableClasses, aDescriptor->classInfo(), u"TokenIndex");
  return funcs.create(aIndex, nullptr, aDescriptor, aTrans);
}

TnxBaseTokenIndexTableEngine* TnxBaseTokenIndexTableEngine::CreateFor(TnxTokenIndexHubTableEngine* aParent,
                                                                      TnxBaseTokenIndexDescriptor* aDescriptor,
                                                                      TnxBaseTransaction* aTrans) {
  const auto& funcs = engineFuncs<EnxBaseTokenIndexTableEngineException, TnxTokenIndexFuncs>(
      gTokenIndexTableClasses, aDescriptor->classInfo(), u"TokenIndex");
  return funcs.create(aParent->btiteParentFulltextIndex, aParent, aDescriptor, aTrans);
}

TnxBaseTokenFilterTableEngine* TnxBaseTokenIndexTableEngine::btiteGetTokenFilter(std::int32_t aIndex) const {
  if (!btiteTokenFilterHub || aIndex == -1) return btiteTokenFilterHub;
  return btiteTokenFilterHub->tfhteGetTokenFilter(aIndex);
}
std::int32_t TnxBaseTokenIndexTableEngine::TokenFilterCount() const {
  return btiteTokenFilterHub ? btiteTokenFilterHub->TokenFilterCount() : 0;
}

TnxTokenIndexHubTableEngine::TnxTokenIndexHubTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                         TnxTokenIndexHubTableEngine* aParent,
                                                         TnxBaseTokenIndexDescriptor* aDescriptor,
                                                         TnxBaseTransaction* aTrans)
    : TnxBaseTokenIndexTableEngine(aIndex, aParent, aDescriptor, aTrans),
      tihteTokenIndexHubDescriptor(castOrRaise<TnxTokenIndexHubDescriptor>(aDescriptor)) {
  try {
    for (std::int32_t i = 0; i < tihteTokenIndexHubDescriptor->TokenIndexCount(); ++i) {
      Owned<TnxBaseTokenIndexTableEngine> child{
          TnxBaseTokenIndexTableEngine::CreateFor(this, tihteTokenIndexHubDescriptor->tihdGetTokenIndex(i), aTrans)};
      tihteTokenIndexs.push_back(child.h);
      child.release();
    }
  } catch (...) {
    for (auto*& t : tihteTokenIndexs) nxFreeAndNil(t);
    throw;
  }
}

TnxTokenIndexHubTableEngine::~TnxTokenIndexHubTableEngine() {
  for (auto*& t : tihteTokenIndexs) nxFreeAndNil(t);
}

TnxTokenIndexHubTableEngine* TnxTokenIndexHubTableEngine::CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                                    TnxBaseTokenIndexDescriptor* aDescriptor,
                                                                    TnxBaseTransaction* aTrans) {
  Owned<TnxBaseTokenIndexTableEngine> engine{TnxBaseTokenIndexTableEngine::CreateFor(aIndex, aDescriptor, aTrans)};
  auto* hub = castOrRaise<TnxTokenIndexHubTableEngine>(engine.h);
  engine.release();
  return hub;
}

TnxBaseTokenIndexTableEngine* TnxTokenIndexHubTableEngine::tihteGetTokenIndex(std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenIndexHubTableEngine*>(this);
  return tihteTokenIndexs.at(static_cast<std::size_t>(aIndex));
}

namespace {
// The index of the full-text's indices engine numbered as aDescriptor; nil
// when there is none.
TnxBaseIndexEngine* tokenIndexEngine(TnxFulltextIndexTableEngine* aIndex, TnxIndexDescriptor* aDescriptor) {
  if (!aDescriptor) return nullptr;
  TnxBaseIndicesEngine* indices = aIndex->fiteParentFulltextTableEngine->ftteIndicesEngine;
  const std::int32_t number = aDescriptor->Number();
  if (!indices || number < 0 || number >= indices->IndexCount()) return nullptr;
  return indices->biseGetIndex(number);
}
}  // namespace

TnxBitArrayTokenIndexTableEngine::TnxBitArrayTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                                   TnxTokenIndexHubTableEngine* aParent,
                                                                   TnxBaseTokenIndexDescriptor* aDescriptor,
                                                                   TnxBaseTransaction* aTrans)
    : TnxBaseTokenIndexTableEngine(aIndex, aParent, aDescriptor, aTrans),
      batiteBitArrayTokenIndexDescriptor(castOrRaise<TnxBitArrayTokenIndexDescriptor>(aDescriptor)) {
  batiteBitArrayStorageHandlerTableEngine = TnxBaseBitArrayStorageHandlerTableEngine::CreateFor(
      this, batiteBitArrayTokenIndexDescriptor->BitArrayStorageHandler(), aTrans);
  batiteIndexEngine = tokenIndexEngine(aIndex, batiteBitArrayTokenIndexDescriptor->IndexDescriptor());
  batiteReverseIndexEngine = tokenIndexEngine(aIndex, batiteBitArrayTokenIndexDescriptor->ReverseIndexDescriptor());
}

TnxBitArrayTokenIndexTableEngine::~TnxBitArrayTokenIndexTableEngine() {
  nxFreeAndNil(batiteBitArrayStorageHandlerTableEngine);
}

TnxMainIndexTokenIndexTableEngine::TnxMainIndexTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                                                     TnxTokenIndexHubTableEngine* aParent,
                                                                     TnxBaseTokenIndexDescriptor* aDescriptor,
                                                                     TnxBaseTransaction* aTrans)
    : TnxBaseTokenIndexTableEngine(aIndex, aParent, aDescriptor, aTrans),
      mititeMainIndexTokenIndexDescriptor(castOrRaise<TnxMainIndexTokenIndexDescriptor>(aDescriptor)),
      mititeMainIndexEngine(nullptr) {
  TnxBaseIndicesEngine* main = aIndex->fiteParentFulltextTableEngine->ftteMainIndicesEngine;
  const std::int32_t number = mititeMainIndexTokenIndexDescriptor->MainIndexNumber();
  if (main && number >= 0 && number < main->IndexCount()) mititeMainIndexEngine = main->biseGetIndex(number);
}

// ===========================================================================
// Bit-array storage

TnxBaseBitArrayStorageHandlerTableEngine::TnxBaseBitArrayStorageHandlerTableEngine(
    TnxFulltextIndexTableEngine*, TnxBitArrayTokenIndexTableEngine* aParent,
    TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor, TnxBaseTransaction*)
    : bbashBitArrayStorageHandlerDescriptor(aDescriptor), bbashParentBitArrayTokenIndexTableEngine(aParent) {}

TnxClassList& TnxBaseBitArrayStorageHandlerTableEngine::GetList() { return gStorageHandlerClasses; }

TnxBaseBitArrayStorageHandlerTableEngine* TnxBaseBitArrayStorageHandlerTableEngine::CreateFor(
    TnxBitArrayTokenIndexTableEngine* aParent, TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
    TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const auto& funcs = engineFuncs<EnxBaseBitArrayStorageHandlerTableEngineException, TnxStorageFuncs>(
      gStorageHandlerClasses, aDescriptor->classInfo(), u"BitArrayStorageHandler");
  return funcs.create(aParent->btiteParentFulltextIndex, aParent, aDescriptor, aTrans);
}

TnxSimpleBitArrayStorageHandlerTableEngine::TnxSimpleBitArrayStorageHandlerTableEngine(
    TnxFulltextIndexTableEngine* aIndex, TnxBitArrayTokenIndexTableEngine* aParent,
    TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor, TnxBaseTransaction* aTrans)
    : TnxBaseBitArrayStorageHandlerTableEngine(aIndex, aParent, aDescriptor, aTrans),
      sbashBlobEngine(aIndex->fiteParentFulltextTableEngine->ftteBlobEngine) {}

void TnxSimpleBitArrayStorageHandlerTableEngine::KeyViolation() {
  throw EnxSimpleBitArrayStorageHandlerTableEngineException(nxErrKeyViolation);
}

namespace {
// The set-bit count in the array's first 4 bytes (little-endian).
std::uint32_t bitArrayCount(TnxBlobBytes& aBytes) {
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < 4; ++i) count |= static_cast<std::uint32_t>(aBytes.At(i)) << (8 * i);
  return count;
}
void putBitArrayCount(TnxBlobBytes& aBytes, std::uint32_t aCount) {
  for (std::uint32_t i = 0; i < 4; ++i) aBytes.At(i) = static_cast<std::uint8_t>(aCount >> (8 * i));
}
}  // namespace

void TnxSimpleBitArrayStorageHandlerTableEngine::Modify(TnxBaseTransaction* aTrans, TnxBlobNr aRef,
                                                        const TnxBlobChange& aChange) {
  if (!sbashBlobEngine) KeyViolation();
  try {
    sbashBlobEngine->Modify(aTrans, aRef, aChange);
  } catch (const EnxBaseBlobEngineException& e) {
    if (e.ErrorCode() == nxErrBlobGeneral) KeyViolation();
    throw;
  }
}

TnxBlobNr TnxSimpleBitArrayStorageHandlerTableEngine::CreateNew(TnxBaseTransaction* aTrans, std::uint32_t aBit) {
  if (!sbashBlobEngine) KeyViolation();
  // The count 1, zero bytes up to the bit's byte, the bit.
  std::vector<std::uint8_t> bytes(4 + (aBit >> 3) + 1, 0);
  bytes[0] = 1;
  bytes.back() = static_cast<std::uint8_t>(1u << (aBit & 7));
  TnxBlobNr ref = 0;
  sbashBlobEngine->AddBlob(aTrans, ref);
  try {
    sbashBlobEngine->Write(aTrans, ref, 0, static_cast<std::uint32_t>(bytes.size()), bytes.data());
  } catch (...) {
    sbashBlobEngine->DeleteBlob(aTrans, ref);
    throw;
  }
  return ref;
}

void TnxSimpleBitArrayStorageHandlerTableEngine::SetBit(TnxBaseTransaction* aTrans, std::uint32_t aBit,
                                                        TnxBlobNr aBitArrayRef) {
  const std::uint32_t byte = 4 + (aBit >> 3);
  const auto mask = static_cast<std::uint8_t>(1u << (aBit & 7));
  Modify(aTrans, aBitArrayRef, [&](TnxBlobBytes& aBytes) {
    // A BLOB too short for its count is damaged.
    if (aBytes.Length() < 4) KeyViolation();
    if (byte < aBytes.Length() && (aBytes.At(byte) & mask)) KeyViolation();
    const std::uint32_t count = bitArrayCount(aBytes);
    // The bitmap grows up to the byte.
    aBytes.Grow(byte + 1);
    aBytes.At(byte) |= mask;
    putBitArrayCount(aBytes, count + 1);
  });
}

bool TnxSimpleBitArrayStorageHandlerTableEngine::ClearBit(TnxBaseTransaction* aTrans, std::uint32_t aBit,
                                                          TnxBlobNr aBitArrayRef) {
  const std::uint32_t byte = 4 + (aBit >> 3);
  const auto mask = static_cast<std::uint8_t>(1u << (aBit & 7));
  bool last = false;
  Modify(aTrans, aBitArrayRef, [&](TnxBlobBytes& aBytes) {
    if (byte >= aBytes.Length()) KeyViolation();
    const std::uint32_t count = bitArrayCount(aBytes);
    // A count of 0 would wrap: the array is damaged.
    if (count == 0) KeyViolation();
    // The bit is checked before the last one goes too: clearing a clear bit
    // must not delete the array of the one bit that is set.
    if (!(aBytes.At(byte) & mask)) KeyViolation();
    last = count == 1;
    if (last) return;
    putBitArrayCount(aBytes, count - 1);
    aBytes.At(byte) &= static_cast<std::uint8_t>(~mask);
  });
  if (last) sbashBlobEngine->DeleteBlob(aTrans, aBitArrayRef);
  return last;
}

// ===========================================================================
// Stream sinks

std::int32_t TnxCountStream::Read(void*, std::int32_t) { return 0; }
std::int64_t TnxCountStream::Seek(std::int64_t, TSeekOrigin) { return 0; }
std::int32_t TnxCountStream::Write(const void* aBuffer, std::int32_t aCount) {
  nxAssert(aCount == 4, "TnxCountStream takes exactly 4 bytes");
  std::memcpy(&csCount, aBuffer, 4);
  return aCount;
}

std::int32_t TnxCurrentByteStream::Read(void*, std::int32_t) { return 0; }
std::int64_t TnxCurrentByteStream::Seek(std::int64_t, TSeekOrigin) { return 0; }
std::int32_t TnxCurrentByteStream::Write(const void* aBuffer, std::int32_t aCount) {
  nxAssert(aCount == 1, "TnxCurrentByteStream takes exactly 1 byte");
  cbsCurrentByte = *static_cast<const std::uint8_t*>(aBuffer);
  return aCount;
}

// ===========================================================================
// Start-up

namespace {

TnxUseCount gFulltextEngineTableUseCount{0};

template <class T>
void registerTableEngine(TnxClassList& aList) {
  nxRegisterClassIn(aList, T::staticClassInfo());
}

void unregisterAllFulltextEngineTable() noexcept {
  nxUnregisterClassIn(TnxBaseFulltextTableEngine::GetList(), TnxFulltextTableEngine::staticClassInfo());
  nxFreeClassList(gFulltextIndexClasses);
  nxFreeClassList(gTokenExtractorClasses);
  nxFreeClassList(gTokenFilterClasses);
  nxFreeClassList(gTokenIndexTableClasses);
  nxFreeClassList(gStorageHandlerClasses);
}

}  // namespace

void nxseFulltextEngineTableInitialize() {
  if (!nxUseCountEnter(gFulltextEngineTableUseCount)) return;
  try {
    registerTableEngine<TnxFulltextTableEngine>(TnxBaseFulltextTableEngine::GetList());
    registerTableEngine<TnxFulltextIndexTableEngine>(gFulltextIndexClasses);
    registerTableEngine<TnxTokenExtractorHubTableEngine>(gTokenExtractorClasses);
    registerTableEngine<TnxFieldTokenExtractorTableEngine>(gTokenExtractorClasses);
    registerTableEngine<TnxTokenFilterHubTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxWideCharSeparatorTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxCategorySeparatorTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxLowercaseLocaleMappingTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxUppercaseLocaleMappingTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxCustomLocaleMappingTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxPreComposeFoldStringTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxDecomposeFoldStringTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxCustomFoldStringTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxStringReplaceTokenFilterTableEngine>(gTokenFilterClasses);
    registerTableEngine<TnxTokenIndexHubTableEngine>(gTokenIndexTableClasses);
    registerTableEngine<TnxSimpleBitArrayStorageHandlerTableEngine>(gStorageHandlerClasses);
    registerTableEngine<TnxBitArrayTokenIndexTableEngine>(gTokenIndexTableClasses);
    registerTableEngine<TnxMainIndexTokenIndexTableEngine>(gTokenIndexTableClasses);
  } catch (...) {
    unregisterAllFulltextEngineTable();
    nxUseCountLeave(gFulltextEngineTableUseCount);
    throw;
  }
}

void nxseFulltextEngineTableFinalize() {
  if (nxUseCountLeave(gFulltextEngineTableUseCount)) unregisterAllFulltextEngineTable();
}

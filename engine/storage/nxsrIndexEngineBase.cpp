#include "nxsrIndexEngineBase.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "nxllUtils.h"
#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseIndicesEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseIndexEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseBulkBuilder, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxBaseIndexBulkBuilder, EnxBaseBulkBuilder)

namespace {

template <class T>
inline constexpr TnxSubEngineClassFuncs nxAbstractSubEngineFuncs{&T::GetList, &T::CheckDictionary,
                                                                 &T::CheckEngineDescriptor, nullptr};

TnxClassList gIndicesEngines = nullptr;
TnxClassList gIndexEngines = nullptr;
std::unique_ptr<std::vector<std::pair<const platform::ClassInfo*, TnxIndicesEngineClassFuncs>>> gIndicesCreators;
std::unique_ptr<std::vector<std::pair<const platform::ClassInfo*, TnxIndexEngineClassFuncs>>> gIndexCreators;

template <class V>
const typename V::value_type::second_type* findCreator(const std::unique_ptr<V>& aList,
                                                       const platform::ClassInfo& aClass) {
  if (aList)
    for (const auto& entry : *aList)
      if (entry.first == &aClass) return &entry.second;
  return nullptr;
}

TnxBaseTableDescriptor* tableOf(TnxDictionaryItem* aItem) {
  for (TnxDictionaryItem* item = aItem ? aItem->ParentItem() : nullptr; item; item = item->ParentItem())
    if (auto* table = platform::objectAs<TnxBaseTableDescriptor>(item)) return table;
  return nullptr;
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxBaseIndexHeaderAccess, TnxObject, "TnxBaseIndexHeaderAccess", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseBulkBuilder, TnxObject, "TnxBaseBulkBuilder", nullptr)
PL_CLASS_INFO_IMPL(TnxBulkBuilderHub, TnxBaseBulkBuilder, "TnxBulkBuilderHub", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseIndexBulkBuilder, TnxBaseBulkBuilder, "TnxBaseIndexBulkBuilder", nullptr)
PL_CLASS_INFO_IMPL(TnxDefaultIndexBulkBuilder, TnxBaseIndexBulkBuilder, "TnxDefaultIndexBulkBuilder", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBaseIndexEngine, TnxBaseSubEngine, "TnxBaseIndexEngine", nullptr,
                         platform::bindClassTable(nxAbstractSubEngineFuncs<TnxBaseIndexEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseIndicesEngine, TnxBaseSubEngine, "TnxBaseIndicesEngine", nullptr,
                         platform::bindClassTable(nxAbstractSubEngineFuncs<TnxBaseIndicesEngine>))
PL_CLASS_INFO_IMPL(TnxBaseIndexPath, TnxPersistent, "TnxBaseIndexPath", nullptr)

// ---- Index blocks ------------------------------------------------------------------------

namespace {
PnxBlock readIndexBlockChecked(bool aValid, TnxBaseTransaction* aTrans, TnxBlockAccess* aAccess, std::int32_t aID,
                               bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aRelease) {
  if (!aValid)
    throw EnxBaseIndexEngineException(nxErrInvalidBlockNumber,
                                      u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                      {aAccess->fiName(), static_cast<std::int64_t>(aBlockNumber)});
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return aAccess->GetBlock(aTrans, aBlockNumber, aMarkDirty, r, aID); });
  PnxBlock block = pin.Block();
  if (!nxseHasSignature(block, "NXIH") || nxseThisBlock(block) != aBlockNumber)
    throw EnxBaseIndexEngineException(nxErrNotAnIndexBlock, u"Block just read from file is not a valid index block [%s, block %d]",
                                      {aAccess->fiName(), static_cast<std::int64_t>(aBlockNumber)});
  if (aMarkDirty) nxsePutU64(block + nxIdx::Ident, nxseGetU64(block + nxIdx::Ident) + 1);
  return pin.HandOver(aRelease);
}
}  // namespace

PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBlockAccess* aAccess, TnxBaseFileHeaderAccess* aHeader,
                          std::int32_t aID, bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aRelease) {
  const bool valid = aHeader ? aAccess->ValidBlock(aBlockNumber, aHeader) : aAccess->ValidBlock(aBlockNumber, aTrans);
  return readIndexBlockChecked(valid, aTrans, aAccess, aID, aMarkDirty, aBlockNumber, aRelease);
}

PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBlockAccess* aAccess, std::uint32_t aUsedBlocks,
                          std::int32_t aID, bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aRelease) {
  const bool valid = aBlockNumber != 0 && aBlockNumber < aUsedBlocks;
  return readIndexBlockChecked(valid, aTrans, aAccess, aID, aMarkDirty, aBlockNumber, aRelease);
}

// ---- Header access -----------------------------------------------------------------------

TnxBaseIndexHeaderAccess::TnxBaseIndexHeaderAccess(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndex,
                                                   bool aFileMarkDirty, bool aIndexMarkDirty,
                                                   std::int32_t aFieldCount, std::int32_t aPartialLen)
    : bhaTrans(aTrans),
      bhaFileMarkDirty(aFileMarkDirty),
      bhaIndexMarkDirty(aIndexMarkDirty),
      bhaID(aIndex->bieIndicesEngine->bseID),
      bhaIndex(aIndex),
      bhaFieldCount(aFieldCount),
      bhaPartialLen(aPartialLen) {
  if (aIndexMarkDirty && aTrans) {
    aTrans->BeginHeaderChange();
    bhaChanging = true;
  }
}

TnxBaseIndexHeaderAccess::~TnxBaseIndexHeaderAccess() {
  if (bhaFileHeader) platform::TObject::free(bhaFileHeader);
  if (bhaChanging) bhaTrans->EndHeaderChange();
}

TnxBaseFileHeaderAccess* TnxBaseIndexHeaderAccess::FileHeader() {
  if (!bhaFileHeader) bhaFileHeader = bhaIndex->bieIndexFile->HeaderAccess(bhaTrans, bhaFileMarkDirty);
  return bhaFileHeader;
}

// ---- Bulk builders -----------------------------------------------------------------------

TnxBulkBuilderHub::TnxBulkBuilderHub(TnxBaseTransaction* aTrans, TnxBaseIndicesEngine* aEngine) {
  try {
    for (TnxBaseIndexEngine* index : aEngine->biseIndices) bbhBulkBuilders.push_back(index->CreateBulkBuilder(aTrans));
  } catch (...) {
    for (auto* b : bbhBulkBuilders) platform::TObject::free(b);
    bbhBulkBuilders.clear();
    throw;
  }
}

TnxBulkBuilderHub::~TnxBulkBuilderHub() {
  for (auto it = bbhBulkBuilders.rbegin(); it != bbhBulkBuilders.rend(); ++it) platform::TObject::free(*it);
}

TnxResult TnxBulkBuilderHub::InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord, TnxBaseTransaction* aTrans) {
  for (auto* b : bbhBulkBuilders)
    if (TnxResult r = b->InsertKey(aRefNr, aRecord, aTrans)) return r;
  return 0;
}

TnxResult TnxBulkBuilderHub::Finalize(TnxBaseTransaction* aTrans) {
  for (auto* b : bbhBulkBuilders)
    if (TnxResult r = b->Finalize(aTrans)) return r;
  return 0;
}

TnxBaseIndexBulkBuilder::TnxBaseIndexBulkBuilder(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndexEngine)
    : bibbIndexEngine(aIndexEngine),
      bibbKeyEngine(aIndexEngine->bieKeyEngine.get()),
      bibbRefNrOffest(aIndexEngine->bieRefNrOffset) {
  TnxOwned<TnxBaseIndexHeaderAccess> header(aIndexEngine->CreateHeaderAccess(aTrans, false, true, 0, 0));
  if (header->GetIndexRoot() != nxIdx::NoBlock || header->GetIndexPageCount() > 0 || header->GetIndexKeyCount() > 0)
    throw EnxBaseIndexBulkBuilder(nxErrIndexNotEmpty);
}

TnxDefaultIndexBulkBuilder::TnxDefaultIndexBulkBuilder(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndexEngine)
    : TnxBaseIndexBulkBuilder(aTrans, aIndexEngine) {
  dibbKey = bibbKeyEngine->AllocKey();
}

TnxDefaultIndexBulkBuilder::~TnxDefaultIndexBulkBuilder() {
  if (dibbKey) bibbKeyEngine->FreeKey(dibbKey);
}

TnxResult TnxDefaultIndexBulkBuilder::InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord,
                                                TnxBaseTransaction* aTrans) {
  const TnxResult built = bibbKeyEngine->BuildKey(aRecord, dibbKey, *aRefNr, false);
  if (built == 1) return 0;
  if (built != 0) return built;
  TnxRefNr cacheRefNr = 0;
  if (bibbRefNrOffest >= 0) std::memcpy(&cacheRefNr, aRecord + bibbRefNrOffest, 8);
  if (bibbIndexEngine->InsertKey(aTrans, dibbKey, *aRefNr, cacheRefNr, nullptr)) return 0;
  const TnxResult error = bibbIndexEngine->GetKeyError(etInsert, dibbKey, *aRefNr);
  aTrans->MarkCorrupted();
  return error;
}

// ---- Index engine base -------------------------------------------------------------------

TnxBaseIndexEngine::TnxBaseIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                       TnxBaseKeyEngine* aKeyEngine)
    : TnxBaseSubEngine(aDescriptor->ID(), aIndicesEngine->bseTableVersion),
      bieIndicesEngine(aIndicesEngine),
      bieKeyEngine(aKeyEngine),
      bieDescriptor(aDescriptor),
      bieIndexNumber(aDescriptor->Number()),
      bieIndexName(aDescriptor->Name()) {
  bieBookmarkHandler.reset(platform::create<TnxBookmarkHandler>(bieIndexNumber, aKeyEngine));
  const std::int32_t file = aDescriptor->FileNumber();
  if (file < 0 || file >= aIndicesEngine->FileCount())
    throw EnxBaseIndexEngineException(nxErrIndexOutOfRange, u"Index number passed to routine is out of range [%d]",
                                      {static_cast<std::int64_t>(bieIndexNumber)});
  bieIndexFile = aIndicesEngine->biseGetFile(file);
  TnxBaseKeyDescriptor* key = aDescriptor->KeyDescriptor();
  bieKeysAreRefs = platform::objectAs<TnxRefKeyDescriptor>(key) != nullptr;
  bieDups = aDescriptor->Dups() != idNone;
  bieDupsNullOnly = aDescriptor->Dups() == idNull;
  if (bieDupsNullOnly && !(key && key->CanContainNulls())) bieDups = bieDupsNullOnly = false;
  bieMaxFieldCount = aKeyEngine->MaxFieldCount();
  bieRefNrOffset = aIndicesEngine->biseRefNrOffset;
}

TnxBaseIndexEngine::~TnxBaseIndexEngine() = default;

TnxClassList& TnxBaseIndexEngine::GetList() { return gIndexEngines; }

void TnxBaseIndexEngine::CheckEngineDescriptor(TnxDictionaryItem* aDescriptor) {
  auto* index = platform::objectAs<TnxIndexDescriptor>(aDescriptor);
  if (index && index->ParentItem()) TnxBaseKeyEngine::CheckValidBaseFromDescriptor(index->KeyDescriptor());
}

void TnxBaseIndexEngine::CheckValidBaseFromDescriptor(TnxIndexDescriptor* aDescriptor) {
  const platform::ClassInfo& cls = FindSubEngineClassOrRaise(staticClassInfo(), aDescriptor->IndexEngine(), u"index");
  Funcs(cls).checkEngineDescriptor(aDescriptor);
}

TnxBaseIndexEngine* TnxBaseIndexEngine::CreateEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                     TnxBaseKeyEngine* aKeyEngine, TnxIndexDescriptor* aDescriptor) {
  const platform::ClassInfo& cls = FindSubEngineClassOrRaise(staticClassInfo(), aDescriptor->IndexEngine(), u"index");
  const TnxIndexEngineClassFuncs* funcs = findCreator(gIndexCreators, cls);
  nxAssert(funcs != nullptr, "Index engine class without a constructor");
  return funcs->create(aIndicesEngine, aDescriptor, aKeyEngine);
}

void TnxBaseIndexEngine::RegisterIndexEngine(const platform::ClassInfo& aClass, std::string_view aShortName,
                                             const TnxIndexEngineClassFuncs& aFuncs) {
  RegisterSubEngine(aClass, aShortName);
  if (!gIndexCreators) gIndexCreators = std::make_unique<decltype(gIndexCreators)::element_type>();
  if (!findCreator(gIndexCreators, aClass)) gIndexCreators->emplace_back(&aClass, aFuncs);
}

void TnxBaseIndexEngine::UnregisterIndexEngine(const platform::ClassInfo& aClass) {
  UnregisterSubEngine(aClass);
  if (gIndexCreators) std::erase_if(*gIndexCreators, [&](const auto& e) { return e.first == &aClass; });
}

TnxBaseIndexHeaderAccess* TnxBaseIndexEngine::CreateHeaderAccess(TnxBaseTransaction* aTrans, bool aFileMarkDirty,
                                                                 bool aIndexMarkDirty, std::int32_t aFieldCount,
                                                                 std::int32_t aPartialLen) {
  return bieIndicesEngine->HeaderAccessClass()(aTrans, this, aFileMarkDirty, aIndexMarkDirty, aFieldCount,
                                               aPartialLen);
}

bool TnxBaseIndexEngine::ReadHeaderValues(TnxBaseTransaction* aTrans, HeaderValues& aValues) {
  if (!aTrans) {
    // The epoch is taken before the header is read: a commit that changes it
    // meanwhile raises the epoch after, so these values are not used again.
    const std::uint64_t epoch = bieIndexFile->baFile->BufMgr()->HeaderEpoch();
    {
      TnxPadlockGuard guard(bieKeptPadlock);
      if (bieKeptEpoch == epoch) {
        aValues = bieKept;
        return true;
      }
    }
    TnxOwned<TnxBaseIndexHeaderAccess> header(CreateHeaderAccess(nullptr, false, false, 0, 0));
    aValues = {header->GetIndexRoot(), header->GetIndexPageCount(), header->GetIndexKeyCount(),
               header->FileHeader()->UsedBlocks()};
    TnxPadlockGuard guard(bieKeptPadlock);
    bieKeptEpoch = epoch;
    bieKept = aValues;
    return true;
  }
  if (aTrans->ChangingHeader()) return false;
  // The values belong to the file, the indices engine and the index number.
  const void* owner = bieIndexFile->baFile;
  const std::int64_t key =
      (static_cast<std::int64_t>(bieIndicesEngine->bseID) << 32) | static_cast<std::uint32_t>(bieIndexNumber);
  const TnxBaseTransaction::HeaderStamp stamp = aTrans->CurrentHeaderStamp();
  TnxBaseTransaction::HeaderValues kept;
  if (!aTrans->FindHeaderValues(owner, key, stamp, kept)) {
    TnxOwned<TnxBaseIndexHeaderAccess> header(CreateHeaderAccess(aTrans, false, false, 0, 0));
    kept.hvValue[0] = header->GetIndexRoot();
    kept.hvValue[1] = header->GetIndexPageCount();
    kept.hvValue[2] = header->GetIndexKeyCount();
    kept.hvValue[3] = header->FileHeader()->UsedBlocks();
    aTrans->KeepHeaderValues(owner, key, stamp, kept);
  }
  aValues = {kept.hvValue[0], kept.hvValue[1], kept.hvValue[2], kept.hvValue[3]};
  return true;
}

TnxBaseBulkBuilder* TnxBaseIndexEngine::CreateBulkBuilder(TnxBaseTransaction* aTrans) {
  return platform::create<TnxDefaultIndexBulkBuilder>(aTrans, this);
}

TnxResult TnxBaseIndexEngine::GetKeyError(TnxKeyErrorType aErrorType, const void* aKey, TnxRefNr aRefNr) {
  static const char16_t* const names[] = {u"Insert", u"Delete", u"Modify/Delete", u"Modify/Insert", u"BulkCreate"};
  const nxString operation = names[aErrorType];
  const nxString file = bieIndexFile ? bieIndexFile->fiName() : nxString();
  const nxString key = aKey ? bieKeyEngine->KeyAsString(aKey) : nxString();
  const nxString refNr = platform::fromUtf8(std::to_string(aRefNr));
  nxString message = nxGetOrgPlaceholder();
  auto line = [&](const char16_t* aLabel, const nxString& aText, const char16_t* aName, const nxString& aValue) {
    message += u"\r\n";
    message += aLabel;
    message += aText;
    message += nxEncodeCustomInfo(aName, aValue);
  };
  line(u"Operation: ", operation, u"Operation", operation);
  line(u"File: ", u"\"" + file + u"\"", u"File", file);
  line(u"Index: ", u"\"" + bieIndexName + u"\"", u"Index", bieIndexName);
  line(u"Key: ", key, u"Key", key);
  line(u"RefNr: ", refNr, u"RefNr", refNr);
  EnxBaseException::nxSetMessage(9729, message);
  return 9729;
}

// ---- Indices engine base -----------------------------------------------------------------

TnxBaseIndicesEngine::TnxBaseIndicesEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                           TnxBaseRecordEngine* aRecordEngine)
    : TnxBaseSubEngine(aDescriptor->ID(), aFiles.empty() || !aFiles[0] ? 0 : aFiles[0]->baFile->VadurVersion()),
      biseDescriptor(aDescriptor),
      biseFiles(aFiles),
      biseRecordEngine(aRecordEngine) {
  if (TnxBaseTableDescriptor* table = tableOf(aDescriptor)) {
    biseIsCache = table->CachingState() == tcsIsCache;
    std::int32_t field = -1;
    if (biseIsCache && table->FieldsDescriptor() && table->FieldsDescriptor()->HasRefNrField(field))
      biseRefNrOffset = table->FieldsDescriptor()->Fields(field)->fdOffset;
  }
}

TnxBaseIndicesEngine::~TnxBaseIndicesEngine() {
  FreeKeys();
  for (auto it = biseIndices.rbegin(); it != biseIndices.rend(); ++it) platform::TObject::free(*it);
}

TnxClassList& TnxBaseIndicesEngine::GetList() { return gIndicesEngines; }

void TnxBaseIndicesEngine::CheckDictionary(TnxBaseTableDescriptor* aTable) {
  if (aTable && aTable->IndicesDescriptor()) CheckValidBaseFromDescriptor(aTable->IndicesDescriptor());
}

void TnxBaseIndicesEngine::CheckEngineDescriptor(TnxDictionaryItem* aDescriptor) {
  auto* indices = platform::objectAs<TnxBaseIndicesDescriptor>(aDescriptor);
  if (!indices) return;
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i)
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(indices->Indices(i));
}

void TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor* aDescriptor) {
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), aDescriptor->IndicesEngine(), u"indices");
  Funcs(cls).checkEngineDescriptor(aDescriptor);
}

TnxBaseIndicesEngine* TnxBaseIndicesEngine::CreateEngine(TnxBaseIndicesDescriptor* aDescriptor,
                                                         const TnxBlockAccessArray& aFiles,
                                                         TnxBaseRecordEngine* aRecordEngine,
                                                         TnxBaseTransaction* aTrans, bool aAddToExisting) {
  if (!aDescriptor) return nullptr;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), aDescriptor->IndicesEngine(), u"indices");
  const TnxIndicesEngineClassFuncs* funcs = findCreator(gIndicesCreators, cls);
  nxAssert(funcs != nullptr, "Indices engine class without a constructor");
  return funcs->create(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

TnxBaseIndicesEngine* TnxBaseIndicesEngine::CreateEngine(TnxBaseTableDescriptor* aDescriptor,
                                                         const TnxBlockAccessArray& aFiles,
                                                         TnxBaseRecordEngine* aRecordEngine,
                                                         TnxBaseTransaction* aTrans, bool aAddToExisting) {
  return CreateEngine(aDescriptor ? aDescriptor->IndicesDescriptor() : nullptr, aFiles, aRecordEngine, aTrans,
                      aAddToExisting);
}

TnxBaseIndicesEngine* TnxBaseIndicesEngine::CreateEngine(TnxBaseIndicesDescriptor* aDescriptor,
                                                         const TnxBlockAccessArray& aFiles,
                                                         TnxBaseTransaction* aTrans, bool aAddToExisting) {
  return CreateEngine(aDescriptor, aFiles, nullptr, aTrans, aAddToExisting);
}

void TnxBaseIndicesEngine::RegisterIndicesEngine(const platform::ClassInfo& aClass, std::string_view aShortName,
                                                 const TnxIndicesEngineClassFuncs& aFuncs) {
  RegisterSubEngine(aClass, aShortName);
  if (!gIndicesCreators) gIndicesCreators = std::make_unique<decltype(gIndicesCreators)::element_type>();
  if (!findCreator(gIndicesCreators, aClass)) gIndicesCreators->emplace_back(&aClass, aFuncs);
}

void TnxBaseIndicesEngine::UnregisterIndicesEngine(const platform::ClassInfo& aClass) {
  UnregisterSubEngine(aClass);
  if (gIndicesCreators) std::erase_if(*gIndicesCreators, [&](const auto& e) { return e.first == &aClass; });
}

void TnxBaseIndicesEngine::CreateIndexEngines() {
  for (std::int32_t i = 0; i < biseDescriptor->IndexCount(); ++i) AddIndexEngine(biseDescriptor->Indices(i));
  AllocKeys();
}

void TnxBaseIndicesEngine::AddIndexEngine(TnxIndexDescriptor* aDescriptor) {
  nxAssert(aDescriptor->Number() == IndexCount(), "Index number out of order");
  // The engine owns the key engine from its construction on.
  (void)TnxBaseSubEngine::FindSubEngineClassOrRaise(TnxBaseIndexEngine::staticClassInfo(),
                                                    aDescriptor->IndexEngine(), u"index");
  TnxBaseIndexEngine* index =
      TnxBaseIndexEngine::CreateEngine(this, TnxBaseKeyEngine::CreateFor(aDescriptor->KeyDescriptor()), aDescriptor);
  TnxBaseKeyEngine* key = index->bieKeyEngine.get();
  biseNLSVersionChanged = biseNLSVersionChanged || key->NLSVersionChanged();
  if (platform::sameTextAscii(aDescriptor->Name(), u"Sequential Access Index")) biseSeqIndexEngine = index;
  biseIndices.push_back(index);
}

void TnxBaseIndicesEngine::AllocKeys() {
  FreeKeys();
  const std::size_t n = biseIndices.size();
  biseNewKeys.assign(n, nullptr);
  biseOldKeys.assign(n, nullptr);
  biseKeysAllocated = true;
  for (std::size_t i = 0; i < n; ++i) {
    biseNewKeys[i] = biseIndices[i]->bieKeyEngine->AllocKey();
    biseOldKeys[i] = biseIndices[i]->bieKeyEngine->AllocKey();
  }
  biseNewKeysValid.assign(n, false);
  biseOldKeysValid.assign(n, false);
  biseComp.assign(n, 0);
}

void TnxBaseIndicesEngine::FreeKeys() noexcept {
  if (!biseKeysAllocated) return;
  for (std::size_t i = 0; i < biseNewKeys.size() && i < biseIndices.size(); ++i) {
    if (biseNewKeys[i]) biseIndices[i]->bieKeyEngine->FreeKey(biseNewKeys[i]);
    if (biseOldKeys[i]) biseIndices[i]->bieKeyEngine->FreeKey(biseOldKeys[i]);
  }
  biseNewKeys.clear();
  biseOldKeys.clear();
  biseKeysAllocated = false;
}

TnxRefNr TnxBaseIndicesEngine::CacheRefNrOf(PnxRecordBuffer aRecord) const {
  TnxRefNr value = 0;
  if (biseRefNrOffset >= 0 && aRecord) std::memcpy(&value, aRecord + biseRefNrOffset, 8);
  return value;
}

void TnxBaseIndicesEngine::ResetCurrent() noexcept {
  biseCurrentTrans = nullptr;
  biseCurrentRefNr = nxNoRefNr;
  biseCurrentCacheRefNr = nxNoRefNr;
  biseCurrentKey = nullptr;
}

namespace {
struct CurrentReset {
  std::function<void()> fn;
  ~CurrentReset() { fn(); }
};
}  // namespace

TnxResult TnxBaseIndicesEngine::InsertKeys(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecord,
                                           TnxBaseIndexPath* aPath) {
  CurrentReset reset{[this] { ResetCurrent(); }};
  biseCurrentTrans = aTrans;
  const TnxRefNr cacheRefNr = CacheRefNrOf(aRecord);
  const std::size_t n = biseIndices.size();
  for (std::size_t i = 0; i < n; ++i) biseNewKeysValid[i] = false;
  for (std::size_t i = 0; i < n; ++i) {
    TnxBaseIndexEngine* index = biseIndices[i];
    const TnxResult built = index->bieKeyEngine->BuildKey(aRecord, biseNewKeys[i], aRefNr, false);
    TnxResult failure = 0;
    if (built == 1) continue;
    if (built != 0) {
      failure = built;
    } else {
      SetCurrent(aRefNr, cacheRefNr, biseNewKeys[i]);
      if (index->InsertKey(aTrans, biseNewKeys[i], aRefNr, cacheRefNr, aPath))
        biseNewKeysValid[i] = true;
      else
        failure = index->GetKeyError(etInsert, biseNewKeys[i], aRefNr);
    }
    if (failure) {
      // Undo the indices that received the key, last first.
      for (std::size_t j = i; j-- > 0;) {
        if (!biseNewKeysValid[j]) continue;
        SetCurrent(aRefNr, cacheRefNr, biseNewKeys[j]);
        if (!biseIndices[j]->DeleteKey(aTrans, biseNewKeys[j], aRefNr, cacheRefNr, aPath)) {
          aTrans->MarkCorrupted();
          break;
        }
      }
      return failure;
    }
  }
  return 0;
}

TnxResult TnxBaseIndicesEngine::DeleteKeys(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecord,
                                           TnxBaseIndexPath* aPath) {
  CurrentReset reset{[this] { ResetCurrent(); }};
  biseCurrentTrans = aTrans;
  const TnxRefNr cacheRefNr = CacheRefNrOf(aRecord);
  for (std::size_t i = 0; i < biseIndices.size(); ++i) {
    TnxBaseIndexEngine* index = biseIndices[i];
    const TnxResult built = index->bieKeyEngine->BuildKey(aRecord, biseOldKeys[i], aRefNr, false);
    if (built == 1) continue;
    TnxResult failure = built;
    if (built == 0) {
      SetCurrent(aRefNr, cacheRefNr, biseOldKeys[i]);
      if (!index->DeleteKey(aTrans, biseOldKeys[i], aRefNr, cacheRefNr, aPath))
        failure = index->GetKeyError(etDelete, biseOldKeys[i], aRefNr);
    }
    if (failure) {
      aTrans->MarkCorrupted();
      return failure;
    }
  }
  return 0;
}

TnxResult TnxBaseIndicesEngine::UpdateKeys(TnxBaseTransaction* aTrans, TnxRefNr aOldRefNr, PnxRecordBuffer aOldRecord,
                                           TnxRefNr aNewRefNr, PnxRecordBuffer aNewRecord, TnxBaseIndexPath* aPath) {
  CurrentReset reset{[this] { ResetCurrent(); }};
  biseCurrentTrans = aTrans;
  const TnxRefNr oldCache = CacheRefNrOf(aOldRecord), newCache = CacheRefNrOf(aNewRecord);
  const std::size_t n = biseIndices.size();
  for (std::size_t i = 0; i < n; ++i) {
    biseComp[i] = 0;
    biseOldKeysValid[i] = biseNewKeysValid[i] = false;
  }
  auto undo = [&](std::size_t aFailed) {
    for (std::size_t j = aFailed + 1; j-- > 0;) {
      if (!biseComp[j]) continue;
      TnxBaseIndexEngine* index = biseIndices[j];
      if (j != aFailed && biseNewKeysValid[j]) {
        SetCurrent(aNewRefNr, newCache, biseNewKeys[j]);
        if (!index->DeleteKey(aTrans, biseNewKeys[j], aNewRefNr, newCache, aPath)) {
          aTrans->MarkCorrupted();
          return;
        }
      }
      if (biseOldKeysValid[j]) {
        SetCurrent(aOldRefNr, oldCache, biseOldKeys[j]);
        if (!index->InsertKey(aTrans, biseOldKeys[j], aOldRefNr, oldCache, aPath)) {
          aTrans->MarkCorrupted();
          return;
        }
      }
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    TnxBaseIndexEngine* index = biseIndices[i];
    TnxBaseKeyEngine* keys = index->bieKeyEngine.get();
    TnxResult built = keys->BuildKey(aOldRecord, biseOldKeys[i], aOldRefNr, false);
    if (built == 0) biseOldKeysValid[i] = true;
    if (built == 0 || built == 1) {
      built = keys->BuildKey(aNewRecord, biseNewKeys[i], aNewRefNr, false);
      if (built == 0) biseNewKeysValid[i] = true;
    }
    if (built != 0 && built != 1) {
      biseNewKeysValid[i] = false;
      biseComp[i] = 0;
      undo(i);
      return built;
    }
    std::int32_t comp;
    if (biseOldKeysValid[i] != biseNewKeysValid[i])
      comp = 1;
    else if (biseOldKeysValid[i])
      comp = keys->CompareKey(biseOldKeys[i], biseNewKeys[i], 0, 0);
    else
      comp = 0;
    if (comp == 0 && (biseOldKeysValid[i] || biseNewKeysValid[i]))
      comp = aOldRefNr < aNewRefNr ? -1 : aOldRefNr > aNewRefNr ? 1 : 0;
    biseComp[i] = comp;
    if (!comp) continue;
    if (biseOldKeysValid[i]) {
      SetCurrent(aOldRefNr, oldCache, biseOldKeys[i]);
      if (!index->DeleteKey(aTrans, biseOldKeys[i], aOldRefNr, oldCache, aPath)) {
        const TnxResult error = index->GetKeyError(etModifyDelete, biseOldKeys[i], aOldRefNr);
        aTrans->MarkCorrupted();
        return error;
      }
    }
    if (biseNewKeysValid[i]) {
      SetCurrent(aNewRefNr, newCache, biseNewKeys[i]);
      if (!index->InsertKey(aTrans, biseNewKeys[i], aNewRefNr, newCache, aPath)) {
        const TnxResult error = index->GetKeyError(etModifyInsert, biseNewKeys[i], aNewRefNr);
        undo(i);
        return error;
      }
    }
  }
  return 0;
}

void TnxBaseIndicesEngine::AddIndex(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
  if (biseDescriptor->IndexCount() != aIndex + 1 || IndexCount() != aIndex)
    throw EnxBaseIndicesEngineException(nxErrIndexOutOfRange, u"Index number passed to routine is out of range [%d]",
                                        {static_cast<std::int64_t>(aIndex)});
  FreeKeys();
  AddIndexEngine(biseDescriptor->Indices(aIndex));
  InitIndexHeader(aTrans, aIndex);
  AllocKeys();
}

void TnxBaseIndicesEngine::RemoveIndex(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= IndexCount() || biseDescriptor->IndexCount() != IndexCount() - 1)
    throw EnxBaseIndicesEngineException(nxErrIndexOutOfRange, u"Index number passed to routine is out of range [%d]",
                                        {static_cast<std::int64_t>(aIndex)});
  TnxBaseIndexEngine* index = biseIndices[static_cast<std::size_t>(aIndex)];
  index->DeleteAllKeys(aTrans);
  RemoveIndexHeader(aTrans, aIndex);
  FreeKeys();
  if (biseSeqIndexEngine == index) biseSeqIndexEngine = nullptr;
  biseIndices.erase(biseIndices.begin() + aIndex);
  platform::TObject::free(index);
  for (std::size_t i = static_cast<std::size_t>(aIndex); i < biseIndices.size(); ++i) {
    --biseIndices[i]->bieIndexNumber;
    --biseIndices[i]->bieBookmarkHandler->bmhIndexID;
    biseIndices[i]->IndexNumberChanged(aTrans);
  }
  AllocKeys();
}

TnxBaseBulkBuilder* TnxBaseIndicesEngine::CreateBulkBuilder(TnxBaseTransaction* aTrans) {
  if (biseIndices.empty()) return nullptr;
  if (biseIndices.size() == 1) return biseIndices[0]->CreateBulkBuilder(aTrans);
  return platform::create<TnxBulkBuilderHub>(aTrans, this);
}

// ---- Index paths -------------------------------------------------------------------------

TnxBaseIndexPath::TnxBaseIndexPath(TnxBaseIndexEngine* aIndexEngine)
    : bipIndexEngine(aIndexEngine),
      bipBookmarkHandler(aIndexEngine ? aIndexEngine->bieBookmarkHandler.get() : nxNoIndexBookmarkHandler()) {
  if (aIndexEngine) Key = aIndexEngine->bieKeyEngine->AllocKey();
}

TnxBaseIndexPath::~TnxBaseIndexPath() {
  if (Key && bipIndexEngine) bipIndexEngine->bieKeyEngine->FreeKey(Key);
}

TnxBaseIndexPath* TnxBaseIndexPath::CreateStandalone() { return platform::create<TnxBaseIndexPath>(nullptr); }

TnxBaseIndexPath* TnxBaseIndexPath::NewOfSameClass() { return platform::create<TnxBaseIndexPath>(bipIndexEngine); }

TnxBaseIndexPath* TnxBaseIndexPath::Duplicate() {
  TnxBaseIndexPath* copy = NewOfSameClass();
  copy->Assign(this);
  return copy;
}

void TnxBaseIndexPath::Assign(TnxPersistent* aSource) {
  if (aSource == this) return;
  auto* source = platform::objectAs<TnxBaseIndexPath>(aSource);
  if (!source || source->bipIndexEngine != bipIndexEngine) {
    TnxPersistent::Assign(aSource);
    return;
  }
  TnxBaseIndexPath::Clear();
  RefNr = source->RefNr;
  CacheRefNr = source->CacheRefNr;
  Position = source->Position;
  KeyValid = source->KeyValid;
  if (KeyValid && bipIndexEngine) bipIndexEngine->bieKeyEngine->CopyKey(source->Key, Key);
  Deleted = source->Deleted;
}

void TnxBaseIndexPath::Clear() {
  RefNr = 0;
  CacheRefNr = 0;
  KeyValid = false;
  Position = ippUnknown;
  Deleted = false;
}

void TnxBaseIndexPath::SetToEof() {
  Clear();
  Position = ippEof;
}

void TnxBaseIndexPath::SetToBof() {
  Clear();
  Position = ippBof;
}

void TnxBaseIndexPath::SetToCrackBefore() {
  if (Position == ippOnCrackBefore || Position == ippOnCrackAfter || Position == ippOnKey) {
    Position = ippOnCrackBefore;
    Deleted = false;
  }
}

void TnxBaseIndexPath::SetToCrackAfter() {
  if (Position == ippOnCrackBefore || Position == ippOnCrackAfter || Position == ippOnKey) {
    Position = ippOnCrackAfter;
    Deleted = false;
  }
}

void TnxBaseIndexPath::SetToDeleted() {
  if (Position == ippOnKey) {
    Position = ippOnCrackBefore;
    Deleted = true;
  }
}

TnxResult TnxBaseIndexPath::SetToRecord(PnxRecordBuffer aRecord, TnxRefNr aRefNr) {
  Clear();
  if (bipIndexEngine) {
    const TnxResult built = bipIndexEngine->bieKeyEngine->BuildKey(aRecord, Key, aRefNr, true);
    KeyValid = built == 0;
    if (built != 0 && built != 9986) return built;
    if (aRecord && bipIndexEngine->bieRefNrOffset >= 0)
      std::memcpy(&CacheRefNr, aRecord + bipIndexEngine->bieRefNrOffset, 8);
  }
  RefNr = aRefNr;
  Position = ippOnKey;
  return 0;
}

TnxResult TnxBaseIndexPath::CheckCurrentState() const {
  if (Deleted) return 8708;
  switch (Position) {
    case ippBof:
      return 8705;
    case ippOnKey:
      return 0;
    case ippEof:
      return 8706;
    default:
      return 8709;
  }
}

TnxResult TnxBaseIndexPath::GetBookmark(std::uint8_t* aBookmark, std::int32_t aSize, bool aIsCache) {
  const std::int32_t keyLength = bipIndexEngine ? bipIndexEngine->bieKeyEngine->KeyLength() : 0;
  if (!aBookmark || aSize < 24 + keyLength) return 9986;
  std::memset(aBookmark, 0, 24);
  const std::int32_t index = bipIndexEngine ? bipIndexEngine->bieIndexNumber : -1;
  std::memcpy(aBookmark + 4, &index, 4);
  aBookmark[8] = Position;
  aBookmark[9] = KeyValid;
  aBookmark[10] = Deleted;
  const TnxRefNr refNr = aIsCache ? CacheRefNr : RefNr;
  std::memcpy(aBookmark + 12, &refNr, 8);
  std::memcpy(aBookmark + 20, &keyLength, 4);
  if (bipIndexEngine) {
    if (KeyValid)
      bipIndexEngine->bieKeyEngine->CopyKey(Key, aBookmark + 24);
    else
      bipIndexEngine->bieKeyEngine->ClearKey(aBookmark + 24);
  }
  TnxBookmarkHandler::SetChecksum(aBookmark);
  return 0;
}

TnxResult TnxBaseIndexPath::CheckBookmark(const std::uint8_t* aBookmark, std::int32_t aSize) {
  return bipBookmarkHandler->CheckBookmark(aBookmark, aSize);
}

TnxResult TnxBaseIndexPath::CompareBookmarks(const std::uint8_t* aBookmark1, const std::uint8_t* aBookmark2,
                                             std::int32_t aSize, std::int32_t& aCompResult) {
  return bipBookmarkHandler->CompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult);
}

TnxResult TnxBaseIndexPath::BookmarkAsVariant(const std::uint8_t* aBookmark, std::int32_t aSize,
                                              platform::Variant& aVariant) {
  aVariant = platform::Variant();
  return bipBookmarkHandler->BookmarkAsVariant(aBookmark, aSize, aVariant);
}

TnxResult TnxBaseIndexPath::SetToBookmark(const std::uint8_t* aBookmark, std::int32_t aSize, bool aIsCache) {
  if (TnxResult r = CheckBookmark(aBookmark, aSize)) return r;
  const auto position = static_cast<TnxIndexPathPosition>(aBookmark[8]);
  const bool keyValid = aBookmark[9] != 0, deleted = aBookmark[10] != 0;
  TnxRefNr refNr;
  std::memcpy(&refNr, aBookmark + 12, 8);
  const std::uint8_t* key = aBookmark + 24;
  if (bipIndexEngine && Position == position && (aIsCache ? CacheRefNr : RefNr) == refNr && Deleted == deleted) {
    TnxBaseKeyEngine* keys = bipIndexEngine->bieKeyEngine.get();
    if (!KeyValid) {
      if (keyValid) {
        keys->CopyKey(key, Key);
        KeyValid = true;
      }
      return 0;
    }
    if (!keyValid || keys->CompareKey(Key, key) == 0) return 0;
  }
  Clear();
  Position = position;
  Deleted = deleted;
  KeyValid = keyValid;
  if (aIsCache)
    CacheRefNr = refNr;
  else
    RefNr = refNr;
  if (bipIndexEngine) {
    if (keyValid)
      bipIndexEngine->bieKeyEngine->CopyKey(key, Key);
    else
      bipIndexEngine->bieKeyEngine->ClearKey(Key);
  }
  return 0;
}

// ---- Module ------------------------------------------------------------------------------

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gIndexEngineBaseModuleStarts{0};
}  // namespace

void nxsrIndexEngineBaseInitialize() {
  TnxCountedStart started(gIndexEngineBaseModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngineBase(TnxBaseIndicesEngine::staticClassInfo());
}

void nxsrIndexEngineBaseFinalize() {
  if (!nxUseCountLeave(gIndexEngineBaseModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngineBase(TnxBaseIndicesEngine::staticClassInfo());
}

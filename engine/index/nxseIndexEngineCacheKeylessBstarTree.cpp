#include "nxseIndexEngineCacheKeylessBstarTree.h"

#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

NX_IMPLEMENT_EXCEPTION(EnxCacheKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException)

namespace {

inline constexpr TnxSubEngineClassFuncs kCacheKeylessFuncs{&TnxCacheKeylessBstarTreeIndexEngine::GetList,
                                                    &TnxCacheKeylessBstarTreeIndexEngine::CheckDictionary,
                                                    &TnxCacheKeylessBstarTreeIndexEngine::CheckEngineDescriptor,
                                                    nullptr};

TnxBaseTableDescriptor* tableOf(TnxDictionaryItem* aItem) {
  for (TnxDictionaryItem* item = aItem ? aItem->ParentItem() : nullptr; item; item = item->ParentItem())
    if (auto* table = platform::objectAs<TnxBaseTableDescriptor>(item)) return table;
  return nullptr;
}

nxString classNameOf(const platform::TObject* aObject) {
  return aObject ? platform::fromUtf8(std::string(aObject->className())) : nxString();
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxCacheKeylessBstarTreeIndexPath, TnxKeylessBstarTreeIndexPath,
                   "TnxCacheKeylessBstarTreeIndexPath", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxCacheKeylessBstarTreeIndexEngine, TnxKeylessBstarTreeIndexEngine,
                         "TnxCacheKeylessBstarTreeIndexEngine", nullptr, platform::bindClassTable(kCacheKeylessFuncs))

TnxCacheKeylessBstarTreeIndexPath::TnxCacheKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine)
    : TnxKeylessBstarTreeIndexPath(aIndexEngine) {
  auto* engine = platform::objectAs<TnxCacheKeylessBstarTreeIndexEngine>(aIndexEngine);
  bpipRefNrOffset = engine->ieRefNrOffset;
  bpipSeqAccessPath.reset(engine->ieSeqIndexEngine->CreateIndexPath());
}

TnxBaseIndexPath* TnxCacheKeylessBstarTreeIndexPath::NewOfSameClass() {
  return platform::create<TnxCacheKeylessBstarTreeIndexPath>(bipIndexEngine);
}

TnxCacheKeylessBstarTreeIndexEngine::TnxCacheKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                                         TnxIndexDescriptor* aDescriptor,
                                                                         TnxBaseKeyEngine* aKeyEngine)
    : TnxKeylessBstarTreeIndexEngine(aIndicesEngine, aDescriptor, aKeyEngine, TnxBstarTreeLayout::CacheRefs) {
  TnxBaseTableDescriptor* table = tableOf(aDescriptor);
  if (!table || table->CachingState() != tcsIsCache)
    throw EnxCacheKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s is only supported for cache tables",
                                                       {classNameOf(table)});
  std::int32_t field = -1;
  if (!table->FieldsDescriptor() || !table->FieldsDescriptor()->HasRefNrField(field))
    throw EnxCacheKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RefNr field", {classNameOf(table)});
  ieRefNrOffset = table->FieldsDescriptor()->Fields(field)->fdOffset;
  ieSeqIndexEngine = aIndicesEngine->biseSeqIndexEngine;
  if (!ieSeqIndexEngine)
    throw EnxCacheKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a Sequential Access Index Engine",
                                                       {nxString(u"TnxCacheKeylessBstarTreeIndexEngine")});
  if (!ieRecordEngine)
    throw EnxCacheKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RecordEngine",
                                                       {nxString(u"TnxCacheKeylessBstarTreeIndexEngine")});
  std::uint32_t usable = bieIndexFile->fiBlockSizeBytes();
  if (TnxFileDescriptor* file = aDescriptor->IndexFile())
    usable = std::min(usable, static_cast<std::uint32_t>(file->UsableBlockSize()));
  Geometry(usable);
}

TnxBaseIndexPath* TnxCacheKeylessBstarTreeIndexEngine::CreateIndexPath() {
  return platform::create<TnxCacheKeylessBstarTreeIndexPath>(this);
}

TnxBaseBulkBuilder* TnxCacheKeylessBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction* aTrans) {
  return TnxBaseIndexEngine::CreateBulkBuilder(aTrans);
}

TnxRefNr TnxCacheKeylessBstarTreeIndexEngine::ResolveCacheRef(Op& aOp, TnxBaseIndexPath* aPath) {
  auto* path = platform::objectAs<TnxCacheKeylessBstarTreeIndexPath>(aPath);
  return static_cast<TnxRefNr>(ieSeqIndexEngine->SeqAccessLookup(
      aOp.trans, aPath->CacheRefNr, path ? path->bpipSeqAccessPath.get() : nullptr));
}

namespace {
TnxBaseIndexEngine* createCacheKeyless(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine) {
  return platform::create<TnxCacheKeylessBstarTreeIndexEngine>(aIndicesEngine, aDescriptor, aKeyEngine);
}
}  // namespace

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gIndexEngineCacheKeylessBstarTreeModuleStarts{0};
}  // namespace

void nxseIndexEngineCacheKeylessBstarTreeInitialize() {
  TnxCountedStart started(gIndexEngineCacheKeylessBstarTreeModuleStarts);
  if (!started) return;
  TnxBaseIndexEngine::RegisterIndexEngine(TnxCacheKeylessBstarTreeIndexEngine::staticClassInfo(),
                                          "CacheKeylessBstarTree", {&createCacheKeyless});
}

void nxseIndexEngineCacheKeylessBstarTreeFinalize() {
  if (!nxUseCountLeave(gIndexEngineCacheKeylessBstarTreeModuleStarts)) return;
  TnxBaseIndexEngine::UnregisterIndexEngine(TnxCacheKeylessBstarTreeIndexEngine::staticClassInfo());
}

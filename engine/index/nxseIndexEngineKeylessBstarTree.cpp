#include "nxseIndexEngineKeylessBstarTree.h"

#include <cstring>

#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

NX_IMPLEMENT_EXCEPTION(EnxKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException)

namespace {

inline constexpr TnxSubEngineClassFuncs kKeylessFuncs{&TnxKeylessBstarTreeIndexEngine::GetList,
                                                    &TnxKeylessBstarTreeIndexEngine::CheckDictionary,
                                                    &TnxKeylessBstarTreeIndexEngine::CheckEngineDescriptor, nullptr};

// The node pool shared by every key cache, obtained at module start-up.
TnxMemoryPool gNodePool;
std::atomic<std::int64_t> gNodesInUse{0};
std::atomic<std::int64_t> gPeakNodes{0};

TnxCacheNode* newNode(TnxRefNr aRefNr) {
  nxAssert(gNodePool.mpHandle != 0, "Key cache node pool not started");
  auto* node = static_cast<TnxCacheNode*>(gNodePool.Alloc());
  *node = TnxCacheNode{aRefNr, 0, nullptr, nullptr, nullptr, nullptr, false};
  const std::int64_t now = gNodesInUse.fetch_add(1, std::memory_order_relaxed) + 1;
  std::int64_t peak = gPeakNodes.load(std::memory_order_relaxed);
  while (now > peak && !gPeakNodes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return node;
}

void disposeNode(TnxCacheNode* aNode) {
  nxAssert(aNode != nullptr, "Freeing a nil cache node");
  gNodePool.DisposeDirect(aNode);
  gNodesInUse.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxKeylessBstarTreeIndexKeyCache, TnxObject, "TnxKeylessBstarTreeIndexKeyCache", nullptr)
PL_CLASS_INFO_IMPL(TnxKeylessBstarTreeIndexPath, TnxStaticKeyBstarTreeIndexPath, "TnxKeylessBstarTreeIndexPath",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxKeylessBstarTreeIndexEngine, TnxStaticKeyBstarTreeIndexEngine,
                         "TnxKeylessBstarTreeIndexEngine", nullptr, platform::bindClassTable(kKeylessFuncs))
PL_CLASS_INFO_IMPL(TnxKeylessBstarTreeIndexBulkBuilder, TnxStaticKeyBstarTreeIndexBulkBuilder,
                   "TnxKeylessBstarTreeIndexBulkBuilder", nullptr)

// ---- Key cache ---------------------------------------------------------------------------------

TnxKeylessBstarTreeIndexKeyCache::~TnxKeylessBstarTreeIndexKeyCache() { Clear(); }

std::int64_t TnxKeylessBstarTreeIndexKeyCache::NodesInUse() { return gNodesInUse.load(); }
std::int64_t TnxKeylessBstarTreeIndexKeyCache::PeakNodesInUse() { return gPeakNodes.load(); }
void TnxKeylessBstarTreeIndexKeyCache::ResetPeak() { gPeakNodes.store(gNodesInUse.load()); }

void TnxKeylessBstarTreeIndexKeyCache::Clear() noexcept {
  // Children before parents, without recursion.
  TnxCacheNode* node = kcRoot;
  while (node) {
    if (node->cnLeft) {
      node = node->cnLeft;
    } else if (node->cnRight) {
      node = node->cnRight;
    } else {
      TnxCacheNode* parent = node->cnParent;
      if (parent) (parent->cnLeft == node ? parent->cnLeft : parent->cnRight) = nullptr;
      if (node->cnKey) kcPath->bpipKeyEngine->FreeKey(node->cnKey);
      disposeNode(node);
      node = parent;
    }
  }
  kcRoot = nullptr;
  kcCount = 0;
}

void TnxKeylessBstarTreeIndexKeyCache::Rotate(TnxCacheNode* aNode, bool aLeft) {
  TnxCacheNode* pivot = aLeft ? aNode->cnRight : aNode->cnLeft;
  TnxCacheNode* inner = aLeft ? pivot->cnLeft : pivot->cnRight;
  (aLeft ? aNode->cnRight : aNode->cnLeft) = inner;
  if (inner) inner->cnParent = aNode;
  pivot->cnParent = aNode->cnParent;
  if (!aNode->cnParent)
    kcRoot = pivot;
  else if (aNode->cnParent->cnLeft == aNode)
    aNode->cnParent->cnLeft = pivot;
  else
    aNode->cnParent->cnRight = pivot;
  (aLeft ? pivot->cnLeft : pivot->cnRight) = aNode;
  aNode->cnParent = pivot;
}

TnxCacheNode* TnxKeylessBstarTreeIndexKeyCache::GetNodeForRef(TnxRefNr aRefNr, bool aDontCreate) {
  TnxCacheNode* parent = nullptr;
  for (TnxCacheNode* node = kcRoot; node;) {
    if (aRefNr == node->cnKeyRef) return node;
    parent = node;
    node = aRefNr < node->cnKeyRef ? node->cnLeft : node->cnRight;
  }
  if (aDontCreate) return nullptr;
  if (kcCount >= KeyCacheLimit) {
    // Full: the keys held so far are built again when needed.
    Clear();
    parent = nullptr;
    for (TnxCacheNode* node = kcRoot; node;) {
      parent = node;
      node = aRefNr < node->cnKeyRef ? node->cnLeft : node->cnRight;
    }
  }
  TnxCacheNode* n = newNode(aRefNr);
  ++kcCount;
  n->cnParent = parent;
  if (!parent)
    kcRoot = n;
  else if (aRefNr < parent->cnKeyRef)
    parent->cnLeft = n;
  else
    parent->cnRight = n;
  TnxCacheNode* result = n;
  while (n != kcRoot && !n->cnParent->cnIsBlack) {
    TnxCacheNode* p = n->cnParent;
    TnxCacheNode* g = p->cnParent;
    const bool pLeft = g->cnLeft == p;
    TnxCacheNode* u = pLeft ? g->cnRight : g->cnLeft;
    if (u && !u->cnIsBlack) {
      p->cnIsBlack = u->cnIsBlack = true;
      g->cnIsBlack = false;
      n = g;
      continue;
    }
    if (n == (pLeft ? p->cnRight : p->cnLeft)) {
      Rotate(p, pLeft);
      n = p;
      p = n->cnParent;
    }
    p->cnIsBlack = true;
    g->cnIsBlack = false;
    Rotate(g, !pLeft);
  }
  kcRoot->cnIsBlack = true;
  return result;
}

// ---- Path --------------------------------------------------------------------------------------

TnxKeylessBstarTreeIndexPath::TnxKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine)
    : TnxStaticKeyBstarTreeIndexPath(aIndexEngine),
      bpipKeyEngine(aIndexEngine->bieKeyEngine.get()),
      bpipRecordEngine(aIndexEngine->bieIndicesEngine->biseRecordEngine),
      bpipRefNrOffset(aIndexEngine->bieRefNrOffset) {
  nxAssert(bpipKeyEngine != nullptr, "Keyless path without a key engine");
  bpipTempKey = bpipKeyEngine->AllocKey();
}

TnxKeylessBstarTreeIndexPath::~TnxKeylessBstarTreeIndexPath() {
  bpipCache.reset();
  bpipKeyEngine->FreeKey(bpipTempKey);
}

TnxBaseIndexPath* TnxKeylessBstarTreeIndexPath::NewOfSameClass() {
  return platform::create<TnxKeylessBstarTreeIndexPath>(bipIndexEngine);
}

void TnxKeylessBstarTreeIndexPath::BeginUse(TnxBaseTransaction* aTrans) {
  nxAssert(bpipCacheCount >= 0, "Negative key cache use count");
  if (bpipCacheCount == 0) {
    nxAssert(bpipTrans == nullptr, "Key cache bound without use");
    bpipTrans = aTrans;
  } else {
    nxAssert(bpipTrans == aTrans, "Key cache in use by another transaction");
  }
  ++bpipCacheCount;
  if (!bpipCache) bpipCache.reset(platform::create<TnxKeylessBstarTreeIndexKeyCache>(this));
}

void TnxKeylessBstarTreeIndexPath::EndUse() noexcept {
  if (bpipCacheCount <= 0) return;
  if (--bpipCacheCount == 0) {
    bpipTrans = nullptr;
    if (bpipCache) bpipCache->Clear();
  }
}

void TnxKeylessBstarTreeIndexPath::AssertInUse() const {
  nxAssert(bpipCacheCount > 0 && bpipCache, "Key cache used outside BeginUse");
}

TnxRefNr TnxKeylessBstarTreeIndexPath::ReadCacheRef(PnxRecordBuffer aRecord) const {
  TnxRefNr value = 0;
  if (bpipRefNrOffset >= 0) std::memcpy(&value, aRecord + bpipRefNrOffset, 8);
  return value;
}

void TnxKeylessBstarTreeIndexPath::BuildEntryKey(PnxKeyBuffer& aKey, TnxRefNr aRefNr, TnxRefNr& aCacheRefNr) {
  AssertInUse();
  if (!aKey) aKey = bpipKeyEngine->AllocKey();
  PnxKeyBuffer key = aKey;
  const TnxRecordIteratorResult r = bpipRecordEngine->ReadRecordForIterate(
      bpipTrans, aRefNr, nullptr,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aRecord) {
        if (bpipKeyEngine->BuildKey(aRecord, key, aRef, true) != 0) return rirStop;
        aCacheRefNr = ReadCacheRef(aRecord);
        return rirContinue;
      },
      nullptr, nullptr);
  ++bpipKeysBuilt;
  if (r == rirStop) nxCheckErrorCode(15520);
}

const void* TnxKeylessBstarTreeIndexPath::GetEntryKey(TnxRefNr aRefNr, bool aDontCreate, TnxRefNr& aCacheRefNr) {
  AssertInUse();
  if (TnxCacheNode* node = bpipCache->GetNodeForRef(aRefNr, aDontCreate)) {
    if (!node->cnKey) BuildEntryKey(node->cnKey, aRefNr, node->cnCacheKeyRef);
    aCacheRefNr = node->cnCacheKeyRef;
    return node->cnKey;
  }
  BuildEntryKey(bpipTempKey, aRefNr, aCacheRefNr);
  return bpipTempKey;
}

void TnxKeylessBstarTreeIndexPath::LoadEntryKey(TnxRefNr aRefNr, void* aTarget, TnxRefNr& aCacheRefNr) {
  const void* key = GetEntryKey(aRefNr, false, aCacheRefNr);
  bpipKeyEngine->CopyKey(key, aTarget);
}

std::int32_t TnxKeylessBstarTreeIndexPath::CompareEntryPartial(const void* aKey, TnxRefNr aRefNr,
                                                               std::int32_t aFieldCount, std::int32_t aPartialLen,
                                                               TnxRefNr& aCacheRefNr) {
  AssertInUse();
  if (TnxCacheNode* node = bpipCache->GetNodeForRef(aRefNr, true)) {
    if (!node->cnKey) BuildEntryKey(node->cnKey, aRefNr, node->cnCacheKeyRef);
    aCacheRefNr = node->cnCacheKeyRef;
    return bpipKeyEngine->CompareKey(aKey, node->cnKey, aFieldCount, aPartialLen);
  }
  // No node: compare against the record without keeping a key.
  std::int32_t result = 0;
  const TnxRecordIteratorResult r = bpipRecordEngine->ReadRecordForIterate(
      bpipTrans, aRefNr, nullptr,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aRecord) {
        result = bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRef, aFieldCount, aPartialLen);
        aCacheRefNr = ReadCacheRef(aRecord);
        return rirContinue;
      },
      nullptr, nullptr);
  if (r == rirStop) nxCheckErrorCode(15520);
  return result;
}

// ---- Engine ------------------------------------------------------------------------------------

TnxKeylessBstarTreeIndexEngine::TnxKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                               TnxIndexDescriptor* aDescriptor,
                                                               TnxBaseKeyEngine* aKeyEngine,
                                                               TnxBstarTreeLayout aLayout)
    : TnxStaticKeyBstarTreeIndexEngine(aIndicesEngine, aDescriptor, aKeyEngine, aLayout) {}

TnxKeylessBstarTreeIndexEngine::TnxKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                               TnxIndexDescriptor* aDescriptor,
                                                               TnxBaseKeyEngine* aKeyEngine)
    : TnxKeylessBstarTreeIndexEngine(aIndicesEngine, aDescriptor, aKeyEngine, TnxBstarTreeLayout::Refs) {
  if (!ieRecordEngine)
    throw EnxKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RecordEngine",
                                                  {nxString(u"TnxKeylessBstarTreeIndexEngine")});
  if (aIndicesEngine->biseIsCache) {
    nxString tableClass;
    for (TnxDictionaryItem* item = aDescriptor->ParentItem(); item; item = item->ParentItem())
      if (platform::objectAs<TnxBaseTableDescriptor>(item)) {
        tableClass = platform::fromUtf8(std::string(item->className()));
        break;
      }
    throw EnxKeylessBstarTreeIndexEngineException(nxErrNotSupported, u"%s is not supported for cache tables", {tableClass});
  }
  std::uint32_t usable = bieIndexFile->fiBlockSizeBytes();
  if (TnxFileDescriptor* file = aDescriptor->IndexFile())
    usable = std::min(usable, static_cast<std::uint32_t>(file->UsableBlockSize()));
  Geometry(usable);
}

void TnxKeylessBstarTreeIndexEngine::CheckEngineDescriptor(TnxDictionaryItem* aDescriptor) {
  TnxBaseIndexEngine::CheckEngineDescriptor(aDescriptor);
}

TnxBaseIndexPath* TnxKeylessBstarTreeIndexEngine::CreateIndexPath() {
  return platform::create<TnxKeylessBstarTreeIndexPath>(this);
}

TnxBaseBulkBuilder* TnxKeylessBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction* aTrans) {
  return platform::create<TnxKeylessBstarTreeIndexBulkBuilder>(aTrans, this);
}

void TnxKeylessBstarTreeIndexEngine::OpBegin(Op& aOp, TnxBaseIndexPath* aPath) {
  auto* path = platform::objectAs<TnxKeylessBstarTreeIndexPath>(aPath);
  if (!path || path->bipIndexEngine != this) return;  // made on first need
  path->BeginUse(aOp.trans);
  aOp.keys = path;
}

void TnxKeylessBstarTreeIndexEngine::OpEnd(Op& aOp) noexcept {
  if (aOp.keys) static_cast<TnxKeylessBstarTreeIndexPath*>(aOp.keys)->EndUse();
  aOp.keys = nullptr;
}

TnxKeylessBstarTreeIndexPath* TnxKeylessBstarTreeIndexEngine::KeyPath(Op& aOp) {
  if (!aOp.keys) {
    aOp.ownKeys.reset(CreateIndexPath());
    auto* path = static_cast<TnxKeylessBstarTreeIndexPath*>(aOp.ownKeys.get());
    path->BeginUse(aOp.trans);
    aOp.keys = path;
  }
  return static_cast<TnxKeylessBstarTreeIndexPath*>(aOp.keys);
}

bool TnxKeylessBstarTreeIndexEngine::IsCurrent(Op& aOp, TnxRefNr aEntry) const {
  const TnxBaseIndicesEngine* indices = bieIndicesEngine;
  return indices->biseCurrentKey && indices->biseCurrentTrans == aOp.trans && indices->biseCurrentRefNr == aEntry;
}

std::int32_t TnxKeylessBstarTreeIndexEngine::CompareRefEntry(Op& aOp, const void* aKey, TnxRefNr aEntry,
                                                             std::int32_t aFC, std::int32_t aPL, TnxRefNr& aTie) {
  if (IsCurrent(aOp, aEntry)) {
    aTie = Tie(aEntry, bieIndicesEngine->biseCurrentCacheRefNr);
    return bieKeyEngine->CompareKey(aKey, bieIndicesEngine->biseCurrentKey, aFC, aPL);
  }
  TnxRefNr cacheRefNr = 0;
  const std::int32_t c = KeyPath(aOp)->CompareEntryPartial(aKey, aEntry, aFC, aPL, cacheRefNr);
  aTie = Tie(aEntry, cacheRefNr);
  return c;
}

void TnxKeylessBstarTreeIndexEngine::LoadRefEntry(Op& aOp, TnxRefNr aEntry, TnxBaseIndexPath* aTarget) {
  TnxRefNr cacheRefNr;
  if (IsCurrent(aOp, aEntry)) {
    bieKeyEngine->CopyKey(bieIndicesEngine->biseCurrentKey, aTarget->Key);
    cacheRefNr = bieIndicesEngine->biseCurrentCacheRefNr;
  } else {
    KeyPath(aOp)->LoadEntryKey(aEntry, aTarget->Key, cacheRefNr);
  }
  if (ieLayout == TnxBstarTreeLayout::CacheRefs) aTarget->CacheRefNr = cacheRefNr;
}

void TnxKeylessBstarTreeIndexEngine::CopyRefEntryKey(Op& aOp, TnxRefNr aEntry, std::vector<std::uint8_t>& aKey,
                                                     TnxRefNr& aTie) {
  const auto* key = static_cast<const std::uint8_t*>(bieIndicesEngine->biseCurrentKey);
  TnxRefNr cacheRefNr = bieIndicesEngine->biseCurrentCacheRefNr;
  if (!IsCurrent(aOp, aEntry)) key = static_cast<const std::uint8_t*>(KeyPath(aOp)->GetEntryKey(aEntry, false, cacheRefNr));
  aKey.assign(key, key + bieKeyEngine->KeyLength());
  aTie = Tie(aEntry, cacheRefNr);
}

// ---- Module ------------------------------------------------------------------------------------

namespace {
TnxBaseIndexEngine* createKeyless(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine) {
  return platform::create<TnxKeylessBstarTreeIndexEngine>(aIndicesEngine, aDescriptor, aKeyEngine);
}
}  // namespace

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gIndexEngineKeylessBstarTreeModuleStarts{0};
}  // namespace

void nxseIndexEngineKeylessBstarTreeInitialize() {
  TnxCountedStart started(gIndexEngineKeylessBstarTreeModuleStarts);
  if (!started) return;
  gNodePool = nxGetPool(sizeof(TnxCacheNode));
  TnxBaseIndexEngine::RegisterIndexEngine(TnxKeylessBstarTreeIndexEngine::staticClassInfo(), "KeylessBStarTree",
                                          {&createKeyless});
}

void nxseIndexEngineKeylessBstarTreeFinalize() {
  if (!nxUseCountLeave(gIndexEngineKeylessBstarTreeModuleStarts)) return;
  TnxBaseIndexEngine::UnregisterIndexEngine(TnxKeylessBstarTreeIndexEngine::staticClassInfo());
}

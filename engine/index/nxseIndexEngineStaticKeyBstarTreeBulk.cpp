#include "nxseIndexEngineStaticKeyBstarTreeBulk.h"

#include <algorithm>
#include <cstring>

#include "nxseHeaderAccess.h"
#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

PL_CLASS_INFO_IMPL(TnxStaticKeyBstarTreeIndexBulkBuilder, TnxBaseIndexBulkBuilder,
                   "TnxStaticKeyBstarTreeIndexBulkBuilder", nullptr)
PL_CLASS_INFO_IMPL(TnxKeyContainer, TnxObject, "TnxKeyContainer", nullptr)
PL_CLASS_INFO_IMPL(TnxPreSortedKeyContainer, TnxKeyContainer, "TnxPreSortedKeyContainer", nullptr)
PL_CLASS_INFO_IMPL(TnxTreeBuilder, TnxObject, "TnxTreeBuilder", nullptr)

namespace {
constexpr std::int32_t kContainerBytes = 4194304;
}

// ---- Builder -----------------------------------------------------------------------------------

TnxStaticKeyBstarTreeIndexBulkBuilder::TnxStaticKeyBstarTreeIndexBulkBuilder(
    TnxBaseTransaction* aTrans, TnxStaticKeyBstarTreeIndexEngine* aIndexEngine)
    : TnxBaseIndexBulkBuilder(aTrans, aIndexEngine),
      bsibbBufferManager(aTrans->btBufferManager),
      bsibbIndexEngine(aIndexEngine),
      bsibbKeyLength(static_cast<std::int32_t>((aIndexEngine->bieKeyEngine->KeyLength() + 23u) & ~15u)),
      bsibbKeysPerContainer(kContainerBytes / bsibbKeyLength) {}

TnxStaticKeyBstarTreeIndexBulkBuilder::~TnxStaticKeyBstarTreeIndexBulkBuilder() { FreeAll(); }

void TnxStaticKeyBstarTreeIndexBulkBuilder::FreeAll() noexcept {
  if (bsibbTreeBuilder) {
    platform::TObject::free(bsibbTreeBuilder);
    bsibbTreeBuilder = nullptr;
  }
  while (!bsibbLive.empty()) platform::TObject::free(bsibbLive.back());  // unlinks itself
  bsibbDefaultHead = {};
}

TnxRefNr TnxStaticKeyBstarTreeIndexBulkBuilder::ItemRefNr(const std::uint8_t* aItem, std::int32_t aItemLength) {
  return static_cast<TnxRefNr>(nxseGetU64(aItem + aItemLength - 8));
}

std::int32_t TnxStaticKeyBstarTreeIndexBulkBuilder::CompareItems(const std::uint8_t* aA, const std::uint8_t* aB) {
  if (aA == aB) return 0;
  TnxBaseKeyEngine* keys = bibbKeyEngine;
  const std::int32_t c = keys->CompareKey(aA, aB);
  if (c != 0) return c;
  TnxStaticKeyBstarTreeIndexEngine* e = bsibbIndexEngine;
  const TnxRefNr ra = ItemRefNr(aA, bsibbKeyLength), rb = ItemRefNr(aB, bsibbKeyLength);
  const bool forbidden = !e->bieDups || (e->bieDupsNullOnly && !keys->KeyContainsNulls(aA) && !keys->KeyContainsNulls(aB)) ||
                         ra == rb;
  if (forbidden) throw EnxBaseBulkBuilder(e->GetKeyError(etBulkCreate, aA, ra));
  return ra < rb ? -1 : 1;
}

TnxResult TnxStaticKeyBstarTreeIndexBulkBuilder::InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord,
                                                           TnxBaseTransaction*) {
  if (!bsibbDefaultHead.bsibbhCurrentContainer) platform::create<TnxKeyContainer>(this, &bsibbDefaultHead);
  return bsibbDefaultHead.bsibbhCurrentContainer->InsertKey(aRefNr, aRecord);
}

// The head's chain as an array in creation order; the head is left empty.
TnxStaticKeyBstarTreeIndexBulkBuilder::Run TnxStaticKeyBstarTreeIndexBulkBuilder::TakeChain() {
  Run run;
  for (TnxKeyContainer* c = bsibbDefaultHead.bsibbhCurrentContainer; c; c = c->kcNext) run.push_back(c);
  std::reverse(run.begin(), run.end());
  for (TnxKeyContainer* c : run) c->kcNext = nullptr;
  bsibbDefaultHead = {};
  return run;
}

std::int32_t TnxStaticKeyBstarTreeIndexBulkBuilder::CompareRuns(const Run& aA, const Run& aB) {
  if (aA.size() != aB.size()) return aA.size() > aB.size() ? -1 : 1;
  return CompareItems(aA.front()->kcFirstKey.data(), aB.front()->kcFirstKey.data());
}

TnxResult TnxStaticKeyBstarTreeIndexBulkBuilder::Finalize(TnxBaseTransaction* aTrans) {
  bsibbRunCount = bsibbMergeCount = 0;
  if (!bsibbDefaultHead.bsibbhCurrentContainer) return 0;
  try {
    bsibbDefaultHead.bsibbhCurrentContainer->Close();
    if (!bsibbDefaultHead.bsibbhCurrentContainer) return 0;
    Run all = TakeChain();
    // Stable insertion sort by first item: a comparison may raise, and the
    // array must stay a permutation (the builder frees from its own list).
    for (std::size_t i = 1; i < all.size(); ++i) {
      TnxKeyContainer* x = all[i];
      std::size_t j = i;
      while (j > 0 && CompareItems(all[j - 1]->kcFirstKey.data(), x->kcFirstKey.data()) > 0) {
        all[j] = all[j - 1];
        --j;
      }
      all[j] = x;
    }
    // Runs: containers whose items continue the run's ascending order.
    std::vector<Run> runs;
    while (!all.empty()) {
      Run run{all.front()};
      Run rest;
      for (std::size_t i = 1; i < all.size(); ++i) {
        if (CompareItems(run.back()->kcLastKey.data(), all[i]->kcFirstKey.data()) <= 0)
          run.push_back(all[i]);
        else
          rest.push_back(all[i]);
      }
      runs.push_back(std::move(run));
      all = std::move(rest);
    }
    bsibbRunCount = static_cast<std::int32_t>(runs.size());
    std::stable_sort(runs.begin(), runs.end(), [&](const Run& a, const Run& b) { return CompareRuns(a, b) < 0; });
    auto chain = [](const Run& aRun) {
      for (std::size_t i = 0; i + 1 < aRun.size(); ++i) aRun[i]->kcNext = aRun[i + 1];
      if (!aRun.empty()) aRun.back()->kcNext = nullptr;
      return aRun.empty() ? nullptr : aRun.front();
    };
    while (runs.size() > 2) {
      Run b = std::move(runs.back());
      runs.pop_back();
      Run a = std::move(runs.back());
      runs.pop_back();
      MergeRuns(chain(a), chain(b));
      ++bsibbMergeCount;
      Run merged = TakeChain();
      auto at = runs.begin();
      while (at != runs.end() && CompareRuns(*at, merged) <= 0) ++at;
      runs.insert(at, std::move(merged));
    }
    bsibbTreeBuilder = platform::create<TnxTreeBuilder>(this, aTrans);
    MergeRuns(chain(runs[0]), runs.size() > 1 ? chain(runs[1]) : nullptr);
    bsibbTreeBuilder->Finalize();
    platform::TObject::free(bsibbTreeBuilder);
    bsibbTreeBuilder = nullptr;
  } catch (...) {
    FreeAll();
    throw;
  }
  return 0;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::EmitKey(const std::uint8_t* aItem) {
  if (bsibbTreeBuilder) {
    bsibbTreeBuilder->InsertKey(aItem);
    return;
  }
  TnxKeyContainer* out = bsibbDefaultHead.bsibbhCurrentContainer;
  if (!out) out = platform::create<TnxPreSortedKeyContainer>(this, &bsibbDefaultHead);
  out->InsertMergedKey(aItem);
}

// Merges the chains aA and aB (aB may be nil); equal order favours aA.
void TnxStaticKeyBstarTreeIndexBulkBuilder::MergeRuns(TnxKeyContainer* aA, TnxKeyContainer* aB) {
  const std::int32_t length = bsibbKeyLength;
  // Takes the current item of *aC and moves on; an exhausted container is
  // freed after the next one of its chain is locked.
  auto consume = [&](TnxKeyContainer*& aC) {
    EmitKey(aC->kcCurrentPointer);
    aC->kcCurrentPointer += length;
    if (--aC->kcKeyCount > 0) return;
    TnxKeyContainer* done = aC;
    aC = done->kcNext;
    if (aC) aC->Lock();
    platform::TObject::free(done);
  };
  if (aA) aA->Lock();
  if (aB) aB->Lock();
  while (aA && aB) {
    if (CompareItems(aA->kcCurrentPointer, aB->kcCurrentPointer) > 0)
      consume(aB);
    else
      consume(aA);
  }
  while (aA) consume(aA);
  while (aB) consume(aB);
  if (!bsibbTreeBuilder && bsibbDefaultHead.bsibbhCurrentContainer) bsibbDefaultHead.bsibbhCurrentContainer->Close();
}

// ---- Key containers ----------------------------------------------------------------------------

TnxKeyContainer::TnxKeyContainer(TnxStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer,
                                 TnxStaticKeyBstarTreeIndexBulkBuilderHead* aHead)
    : kcBulkIndexer(aBulkIndexer), kcHead(aHead) {
  nxAssert(!aHead->bsibbhCurrentContainer || !aHead->bsibbhCurrentContainer->Locked(),
           "The current container must be closed first");
  aBulkIndexer->bsibbLive.push_back(this);
  kcNext = aHead->bsibbhCurrentContainer;
  aHead->bsibbhCurrentContainer = this;
  ++aHead->bsibbhContainerCount;
  kcScratchHandle = aBulkIndexer->bsibbBufferManager->CreateScratchBlock(nxbs4M);
  kcHasScratch = true;
  Lock();
}

TnxKeyContainer::~TnxKeyContainer() {
  if (kcHead && kcHead->bsibbhCurrentContainer == this) {
    kcHead->bsibbhCurrentContainer = kcNext;
    --kcHead->bsibbhContainerCount;
  }
  if (kcHasScratch) {
    if (Locked()) Unlock();
    kcBulkIndexer->bsibbBufferManager->FreeScratchBlock(kcScratchHandle);
  }
  auto& live = kcBulkIndexer->bsibbLive;
  live.erase(std::find(live.begin(), live.end(), this));
}

TnxKeyContainer* TnxKeyContainer::NewOfSameClass() {
  return platform::create<TnxKeyContainer>(kcBulkIndexer, kcHead);
}

TnxKeyContainer* TnxPreSortedKeyContainer::NewOfSameClass() {
  return platform::create<TnxPreSortedKeyContainer>(kcBulkIndexer, kcHead);
}

void TnxKeyContainer::Lock() {
  nxAssert(!Locked(), "Key container locked twice");
  kcScratchPointer = kcBulkIndexer->bsibbBufferManager->LockScratchBlock(kcScratchHandle);
  kcCurrentPointer = static_cast<std::uint8_t*>(kcScratchPointer);
}

void TnxKeyContainer::Unlock() {
  kcBulkIndexer->bsibbBufferManager->UnlockScratchBlock(kcScratchHandle, kcScratchPointer);
  kcScratchPointer = nullptr;
  kcCurrentPointer = nullptr;
}

TnxResult TnxKeyContainer::InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord) {
  TnxStaticKeyBstarTreeIndexBulkBuilder* b = kcBulkIndexer;
  if (kcKeyCount >= b->bsibbKeysPerContainer) {
    Close();
    return NewOfSameClass()->InsertKey(aRefNr, aRecord);
  }
  const TnxResult built = b->bibbKeyEngine->BuildKey(aRecord, kcCurrentPointer, *aRefNr, false);
  if (built == 1) return 0;  // outside the index's filter
  if (built != 0) return built;
  nxsePutU64(kcCurrentPointer + Length() - 8, static_cast<std::uint64_t>(*aRefNr));
  kcCurrentPointer += Length();
  ++kcKeyCount;
  ++b->bsibbTotalKeyCount;
  return 0;
}

void TnxKeyContainer::InsertMergedKey(const std::uint8_t* aItem) {
  if (kcKeyCount >= kcBulkIndexer->bsibbKeysPerContainer) {
    Close();
    NewOfSameClass()->InsertMergedKey(aItem);
    return;
  }
  std::memcpy(kcCurrentPointer, aItem, static_cast<std::size_t>(Length()));
  kcCurrentPointer += Length();
  ++kcKeyCount;
}

bool TnxKeyContainer::Close() {
  if (kcKeyCount == 0) {
    platform::TObject::free(this);  // unlinks itself from the head
    return false;
  }
  try {
    kcFirstKey.assign(static_cast<std::size_t>(Length()), 0);
    kcLastKey.assign(static_cast<std::size_t>(Length()), 0);
    if (NeedsSort() && kcKeyCount > 1) Sort();
    std::memcpy(kcFirstKey.data(), kcGetKey(0), kcFirstKey.size());
    std::memcpy(kcLastKey.data(), kcGetKey(kcKeyCount - 1), kcLastKey.size());
  } catch (...) {
    Unlock();
    throw;
  }
  Unlock();
  // Once closed the container belongs to its runs; the head only lists it.
  return true;
}

void TnxKeyContainer::Swap(std::int32_t aI, std::int32_t aJ) {
  const auto n = static_cast<std::size_t>(Length());
  std::uint8_t* a = kcGetKey(aI);
  std::uint8_t* b = kcGetKey(aJ);
  std::memcpy(kcFirstKey.data(), a, n);
  std::memcpy(a, b, n);
  std::memcpy(b, kcFirstKey.data(), n);
}

// In-place quicksort, median of three above 15 items, with an explicit
// stack: the larger part is pushed, the smaller continued, so 32 entries
// cover any container.
void TnxKeyContainer::Sort() {
  TnxStaticKeyBstarTreeIndexBulkBuilder* b = kcBulkIndexer;
  auto less = [&](std::int32_t x, std::int32_t y) { return b->CompareItems(kcGetKey(x), kcGetKey(y)) < 0; };
  struct Range {
    std::int32_t l, r;
  };
  Range stack[32];
  std::int32_t top = 0;
  stack[top++] = {0, kcKeyCount - 1};
  while (top > 0) {
    auto [l, r] = stack[--top];
    while (l < r) {
      const std::int32_t m = l + ((r - l + 1) >> 1);
      std::int32_t pivot, i, j;
      if (r - l + 1 > 15) {
        if (less(m, l)) Swap(m, l);
        if (less(r, l)) Swap(r, l);
        if (less(r, m)) Swap(r, m);
        Swap(m, r - 1);
        pivot = r - 1;
        i = l + 1;
        j = r - 2;
      } else {
        pivot = m;
        i = l;
        j = r;
      }
      for (;;) {
        while (less(i, pivot)) ++i;
        while (less(pivot, j)) --j;
        if (i < j) {
          Swap(i, j);
          if (pivot == i)
            pivot = j;
          else if (pivot == j)
            pivot = i;
          ++i;
          --j;
        } else if (i == j) {
          ++i;
          --j;
        }
        if (j < i) break;
      }
      // [l, j] and [i, r]: push the larger, go on with the smaller.
      if (j - l < r - i) {
        if (r - i >= 1) {
          nxAssert(top < 32, "Sort stack overflow");
          stack[top++] = {i, r};
        }
        r = j;
      } else {
        if (j - l >= 1) {
          nxAssert(top < 32, "Sort stack overflow");
          stack[top++] = {l, j};
        }
        l = i;
      }
    }
  }
}

// ---- Tree builder ------------------------------------------------------------------------------

namespace {
std::uint16_t fillTarget(std::uint16_t aMax) {
  const std::int32_t t = (4 * aMax) / 5;
  return static_cast<std::uint16_t>(std::clamp(t, (aMax >> 1) + 1, aMax - 1));
}
}  // namespace

TnxTreeBuilder::TnxTreeBuilder(TnxStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TnxBaseTransaction* aTrans)
    : tbBulkIndexer(aBulkIndexer), tbIndexEngine(aBulkIndexer->bsibbIndexEngine), tbTrans(aTrans) {
  tbIndexHeaderAccess.reset(tbIndexEngine->CreateHeaderAccess(aTrans, true, true, 0, 0));
  const std::uint16_t maxI = tbIndexEngine->ieMaxInternalNodeKeyCount, maxL = tbIndexEngine->ieMaxLeafNodeKeyCount;
  tbInternalNodeKeyCount = fillTarget(maxI);
  tbLeafNodeKeyCount = fillTarget(maxL);
  tbInternalNodeFirstKey = 0;
  tbLeafNodeFirstKey = static_cast<std::uint16_t>((maxL - tbLeafNodeKeyCount) >> 1);
  const std::uint32_t n = aBulkIndexer->bsibbTotalKeyCount;
  tbTotalLeafNodes = (n + tbLeafNodeKeyCount - 1) / tbLeafNodeKeyCount;
  tbTotalLeafKeysPerPage = tbTotalLeafNodes ? static_cast<double>(n) / tbTotalLeafNodes : 0;
  if (tbTotalLeafNodes > 1) PlanLevels(tbTotalLeafNodes);
}

TnxTreeBuilder::~TnxTreeBuilder() { ReleaseAll(); }

void TnxTreeBuilder::ReleaseAll() noexcept {
  tbCurrentLeafNode.Release();
  for (Level& l : tbCurrentInternal) l.tbciNode.Release();
}

void TnxTreeBuilder::PlanLevels(std::uint32_t aBelow) {
  for (std::uint32_t a = aBelow;;) {
    Level level;
    const std::uint32_t k = tbInternalNodeKeyCount;
    level.tbciTotalNodes = (a + k) / (k + 1);
    level.tbciTotalKeys = a - level.tbciTotalNodes;
    level.tbciTotalKeysPerPage = static_cast<double>(level.tbciTotalKeys) / level.tbciTotalNodes;
    tbCurrentInternal.push_back(std::move(level));
    if (level.tbciTotalNodes < 2) return;
    a = level.tbciTotalNodes;
  }
}

void TnxTreeBuilder::InsertKey(const std::uint8_t* aItem) {
  TnxStaticKeyBstarTreeIndexEngine* e = tbIndexEngine;
  TnxPinnedBlock closedPin;  // the leaf this key closes, released on every exit
  if (tbCurrentLeafNode && (nxseGetU16(tbCurrentLeafNode.Block() + nxIdx::Count) >= tbLeafNodeKeyCount ||
                            tbCurrentLeafKeysPerPage >= tbTotalLeafKeysPerPage))
    closedPin = std::move(tbCurrentLeafNode);
  const PnxBlock closed = closedPin.Block();
  if (!tbCurrentLeafNode) {
    tbCurrentLeafNode.Pin(
        [&](TnxReleaseMethod& r) { return e->NewNodeBlock(tbIndexHeaderAccess.get(), tbTrans, true, r); });
    nxsePutU16(tbCurrentLeafNode.Block() + nxIdx::First, tbLeafNodeFirstKey);
    ++tbCurrentLeafNodes;
    if (closed) {
      nxsePutU32(tbCurrentLeafNode.Block() + nxIdx::PrevLeaf, nxseThisBlock(closed));
      nxsePutU32(closed + nxIdx::NextLeaf, nxseThisBlock(tbCurrentLeafNode.Block()));
    }
  }
  const PnxBlock leaf = tbCurrentLeafNode.Block();
  const std::uint16_t first = nxseGetU16(leaf + nxIdx::First);
  const std::uint16_t count = nxseGetU16(leaf + nxIdx::Count);
  nxAssert(first + count < e->ieMaxLeafNodeKeyCount, "Bulk leaf beyond its capacity");
  e->WriteLeafEntry(leaf, first + count, aItem,
                    TnxStaticKeyBstarTreeIndexBulkBuilder::ItemRefNr(aItem, tbBulkIndexer->bsibbKeyLength));
  nxsePutU16(leaf + nxIdx::Count, static_cast<std::uint16_t>(count + 1));
  ++tbCurrentLeafKeys;
  tbCurrentLeafKeysPerPage = static_cast<double>(tbCurrentLeafKeys) / tbCurrentLeafNodes;
  if (closed) {
    const std::int32_t last = nxseGetU16(closed + nxIdx::First) + nxseGetU16(closed + nxIdx::Count) - 1;
    const std::vector<std::uint8_t> separator(e->LeafKey(closed, last), e->LeafKey(closed, last) + e->ieNodeKeyLength);
    AddSeparator(0, nxseThisBlock(closed), nxseThisBlock(leaf), separator.data());
  }
}

void TnxTreeBuilder::AddSeparator(std::size_t aLevel, TnxBlockNumber aLeft, TnxBlockNumber aRight,
                                  const std::uint8_t* aKey) {
  TnxStaticKeyBstarTreeIndexEngine* e = tbIndexEngine;
  nxAssert(aLevel < tbCurrentInternal.size(), "Bulk tree above its planned levels");
  Level& level = tbCurrentInternal[aLevel];
  TnxPinnedBlock closedPin;  // the node this separator closes, released on every exit
  if (level.tbciNode && (nxseGetU16(level.tbciNode.Block() + nxIdx::Count) == tbInternalNodeKeyCount ||
                         level.tbciKeysPerPage > level.tbciTotalKeysPerPage)) {
    closedPin = std::move(level.tbciNode);
    e->SetChild(closedPin.Block(), nxseGetU16(closedPin.Block() + nxIdx::Count), aLeft);
  }
  const PnxBlock closed = closedPin.Block();
  if (!level.tbciNode) {
    level.tbciNode.Pin(
        [&](TnxReleaseMethod& r) { return e->NewNodeBlock(tbIndexHeaderAccess.get(), tbTrans, false, r); });
    ++level.tbciNodes;
  }
  PnxBlock node = level.tbciNode.Block();
  if (closed) {
    e->SetChild(node, 0, aRight);
    AddSeparator(aLevel + 1, nxseThisBlock(closed), nxseThisBlock(node), aKey);
  } else {
    const std::uint16_t count = nxseGetU16(node + nxIdx::Count);
    nxAssert(count < e->ieMaxInternalNodeKeyCount, "Bulk node beyond its capacity");
    if (count == 0) e->SetChild(node, 0, aLeft);
    std::memcpy(e->NodeKey(node, count), aKey, e->ieNodeKeyLength);
    e->SetChild(node, count + 1, aRight);
    nxsePutU16(node + nxIdx::Count, static_cast<std::uint16_t>(count + 1));
    ++level.tbciKeys;
  }
  level.tbciKeysPerPage = static_cast<double>(level.tbciKeys) / level.tbciNodes;
}

void TnxTreeBuilder::Finalize() {
  nxAssert(tbCurrentLeafNodes == tbTotalLeafNodes && tbCurrentLeafKeys == tbBulkIndexer->bsibbTotalKeyCount,
           "Bulk leaves differ from their plan");
  for (const Level& l : tbCurrentInternal)
    nxAssert(l.tbciNodes == l.tbciTotalNodes && l.tbciKeys == l.tbciTotalKeys, "Bulk level differs from its plan");
  TnxBaseIndexHeaderAccess* header = tbIndexHeaderAccess.get();
  header->SetIndexKeyCount(tbCurrentLeafKeys);
  if (!tbCurrentLeafNode) return;
  TnxBlockNumber root = nxseThisBlock(tbCurrentLeafNode.Block());
  tbCurrentLeafNode.Release();
  for (Level& l : tbCurrentInternal) {
    root = nxseThisBlock(l.tbciNode.Block());
    l.tbciNode.Release();
  }
  header->SetIndexRoot(root);
}

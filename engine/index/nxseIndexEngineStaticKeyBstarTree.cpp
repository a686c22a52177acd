#include "nxseIndexEngineStaticKeyBstarTreeInt.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include "nxseHeaderAccess.h"
#include "nxseIndexEngineStaticKeyBstarTreeBulk.h"
#include "nxsrTimeoutHandling.h"

NX_IMPLEMENT_EXCEPTION(EnxStaticKeyBstarTreeIndexEngineException, EnxBaseIndexEngineException)

namespace {

inline constexpr TnxSubEngineClassFuncs kEngineFuncs{&TnxStaticKeyBstarTreeIndexEngine::GetList,
                                                    &TnxStaticKeyBstarTreeIndexEngine::CheckDictionary,
                                                    &TnxStaticKeyBstarTreeIndexEngine::CheckEngineDescriptor, nullptr};

// The upper half of a new node's ident counter: a generator of our own,
// seeded once per process, so a reused block never looks like the old node.
std::uint16_t nextNodeSalt() {
  static std::atomic<std::uint64_t> state{
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) | 1};
  std::uint64_t x = state.load(std::memory_order_relaxed), next;
  do {
    next = x;
    next ^= next << 13;
    next ^= next >> 7;
    next ^= next << 17;
  } while (!state.compare_exchange_weak(x, next, std::memory_order_relaxed));
  return static_cast<std::uint16_t>(next % 65535);
}

std::int32_t cmpRef(TnxRefNr a, TnxRefNr b) { return a < b ? -1 : a > b ? 1 : 0; }

bool firstKind(TnxSearchKeyAction a) { return a == skaEqualFirst || a == skaGreaterEqual || a == skaGreater; }
bool lastKind(TnxSearchKeyAction a) { return a == skaEqualLast || a == skaSmallerEqual || a == skaSmaller; }
bool greaterKind(TnxSearchKeyAction a) {
  return a == skaGreaterEqual || a == skaGreater || a == skaAnyGreaterEqual || a == skaAnyGreater;
}
bool smallerKind(TnxSearchKeyAction a) {
  return a == skaSmallerEqual || a == skaSmaller || a == skaAnySmallerEqual || a == skaAnySmaller;
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxStaticKeyBstarTreeIndexPath, TnxBaseIndexPath, "TnxStaticKeyBstarTreeIndexPath", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxStaticKeyBstarTreeIndexEngine, TnxBaseIndexEngine, "TnxStaticKeyBstarTreeIndexEngine",
                         nullptr, platform::bindClassTable(kEngineFuncs))

// ---- Path --------------------------------------------------------------------------------

void TnxStaticKeyBstarTreeIndexPath::Clear() {
  TnxBaseIndexPath::Clear();
  bpipPage = 0;
  bpipItem = 0;
  bpipIdentCounter = 0;
  bpipLSN = 0;
}

void TnxStaticKeyBstarTreeIndexPath::Assign(TnxPersistent* aSource) {
  TnxBaseIndexPath::Assign(aSource);
  if (auto* source = platform::objectAs<TnxStaticKeyBstarTreeIndexPath>(aSource);
      source && source != this && source->bipIndexEngine == bipIndexEngine) {
    bpipPage = source->bpipPage;
    bpipItem = source->bpipItem;
    bpipIdentCounter = source->bpipIdentCounter;
    bpipLSN = source->bpipLSN;
  }
}

TnxBaseIndexPath* TnxStaticKeyBstarTreeIndexPath::NewOfSameClass() {
  return platform::create<TnxStaticKeyBstarTreeIndexPath>(bipIndexEngine);
}

// ---- Construction and descriptor check ---------------------------------------------------

namespace {
std::uint32_t descKeyLength(std::uint32_t aKeyLen) { return aKeyLen > 32 ? (aKeyLen + 3) & ~3u : aKeyLen; }
}  // namespace

TnxStaticKeyBstarTreeIndexEngine::TnxStaticKeyBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                                   TnxIndexDescriptor* aDescriptor,
                                                                   TnxBaseKeyEngine* aKeyEngine,
                                                                   TnxBstarTreeLayout aLayout)
    : TnxBaseIndexEngine(aIndicesEngine, aDescriptor, aKeyEngine), ieLayout(aLayout) {
  ieReleaseList.reset(platform::create<TnxReleaseList>());
  ieRecordEngine = aIndicesEngine->biseRecordEngine;
}

TnxStaticKeyBstarTreeIndexEngine::TnxStaticKeyBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine,
                                                                   TnxIndexDescriptor* aDescriptor,
                                                                   TnxBaseKeyEngine* aKeyEngine)
    : TnxStaticKeyBstarTreeIndexEngine(aIndicesEngine, aDescriptor, aKeyEngine, TnxBstarTreeLayout::Keys) {
  if (aIndicesEngine->biseIsCache) {
    if (platform::sameTextAscii(bieIndexName, u"Sequential Access Index"))
      ieIsCacheSeqAccess = true;
    else if (platform::objectAs<TnxMainIndicesDescriptor>(aIndicesEngine->biseDescriptor))
      throw EnxStaticKeyBstarTreeIndexEngineException(12289, u"%s is not supported for cache tables",
                                                      {nxString(u"TnxStaticKeyBstarTreeIndexEngine")});
  }
  std::uint32_t usable = bieIndexFile->fiBlockSizeBytes();
  if (TnxFileDescriptor* file = aDescriptor->IndexFile())
    usable = std::min(usable, static_cast<std::uint32_t>(file->UsableBlockSize()));
  Geometry(usable);
}

void TnxStaticKeyBstarTreeIndexEngine::Geometry(std::uint32_t aUsable) {
  const std::uint32_t usable = aUsable;
  if (Keyless()) {
    // Entries and separators are 8-byte references at the key's place.
    ieDescKeyLength = 0;
    ieAddKeyRefsToKeys = bieDups;
    ieNodeKeyLength = 8;
    ieSizeOfInternalNodeKeyPair = 12;
    ieSizeOfLeafNodeKeyPair = 8;
    ieMaxInternalNodeKeyCount = static_cast<std::uint16_t>((usable - 44) / 12);
    ieMaxLeafNodeKeyCount = static_cast<std::uint16_t>((usable - 40) / 8);
    ieTempInsertKey.assign(8, 0);
    return;
  }
  ieDescKeyLength = static_cast<std::uint16_t>(descKeyLength(bieKeyEngine->KeyLength()));
  ieAddKeyRefsToKeys = bieDups && !bieKeysAreRefs;
  ieNodeKeyLength = static_cast<std::uint16_t>(ieDescKeyLength + (ieAddKeyRefsToKeys ? 8 : 0));
  ieSizeOfInternalNodeKeyPair = static_cast<std::uint16_t>(ieNodeKeyLength + 4);
  ieSizeOfLeafNodeKeyPair = static_cast<std::uint16_t>(ieDescKeyLength + (bieKeysAreRefs ? 0 : 8));
  ieMaxInternalNodeKeyCount = static_cast<std::uint16_t>((usable - 44) / ieSizeOfInternalNodeKeyPair);
  ieMaxLeafNodeKeyCount = static_cast<std::uint16_t>((usable - 40) / ieSizeOfLeafNodeKeyPair);
  if (ieMaxInternalNodeKeyCount < 4 || ieMaxLeafNodeKeyCount < 3)
    throw EnxStaticKeyBstarTreeIndexEngineException(15494, u"Maximum key size has been exceeded. Index: #%d %s",
                                                    {static_cast<std::int64_t>(bieIndexNumber), bieIndexName});
  ieTempInsertKey.assign(ieNodeKeyLength, 0);
}

TnxStaticKeyBstarTreeIndexEngine::~TnxStaticKeyBstarTreeIndexEngine() = default;

void TnxStaticKeyBstarTreeIndexEngine::CheckEngineDescriptor(TnxDictionaryItem* aDescriptor) {
  TnxBaseIndexEngine::CheckEngineDescriptor(aDescriptor);
  auto* index = platform::objectAs<TnxIndexDescriptor>(aDescriptor);
  if (!index || !index->KeyDescriptor()) return;
  TnxBaseKeyDescriptor* key = index->KeyDescriptor();
  const bool refKey = platform::objectAs<TnxRefKeyDescriptor>(key) != nullptr;
  bool refs = index->Dups() != idNone && !refKey;
  if (index->Dups() == idNull && !key->CanContainNulls()) refs = false;
  const std::uint32_t l = descKeyLength(key->KeyLen());
  const std::uint32_t need = std::max(4 * l + 32 * (refs ? 1 : 0) + 60, 3 * (l + (refKey ? 0 : 8)) + 40);
  TnxFileDescriptor* file = index->IndexFile();
  if (!file) return;
  for (int code = file->BlockSize(); code <= nxbs64k; ++code) {
    file->SetBlockSize(static_cast<TnxBlockSize>(code));
    if (static_cast<std::uint32_t>(file->UsableBlockSize()) >= need) return;
  }
  throw EnxStaticKeyBstarTreeIndexEngineException(15494, u"Maximum key size has been exceeded. Index: #%d %s",
                                                  {static_cast<std::int64_t>(index->Number()), index->Name()});
}

TnxBaseIndexPath* TnxStaticKeyBstarTreeIndexEngine::CreateIndexPath() {
  return platform::create<TnxStaticKeyBstarTreeIndexPath>(this);
}

TnxBaseBulkBuilder* TnxStaticKeyBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction* aTrans) {
  return platform::create<TnxStaticKeyBstarTreeIndexBulkBuilder>(aTrans, this);
}

// ---- Key supply of reference-only entries --------------------------------------------------

// A tree with keys in its nodes never asks for these.
void TnxStaticKeyBstarTreeIndexEngine::OpBegin(Op&, TnxBaseIndexPath*) {}
void TnxStaticKeyBstarTreeIndexEngine::OpEnd(Op&) noexcept {}

std::int32_t TnxStaticKeyBstarTreeIndexEngine::CompareRefEntry(Op&, const void*, TnxRefNr, std::int32_t,
                                                               std::int32_t, TnxRefNr&) {
  nxAssert(false, "Key supply of a tree with keys");
  return 0;
}

void TnxStaticKeyBstarTreeIndexEngine::LoadRefEntry(Op&, TnxRefNr, TnxBaseIndexPath*) {
  nxAssert(false, "Key supply of a tree with keys");
}

void TnxStaticKeyBstarTreeIndexEngine::CopyRefEntryKey(Op&, TnxRefNr, std::vector<std::uint8_t>&, TnxRefNr&) {
  nxAssert(false, "Key supply of a tree with keys");
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::ResolveCacheRef(Op& aOp, TnxBaseIndexPath* aPath) {
  return static_cast<TnxRefNr>(SeqAccessLookup(aOp.trans, aPath->CacheRefNr, nullptr));
}

// ---- Node access -------------------------------------------------------------------------

void TnxStaticKeyBstarTreeIndexEngine::RaiseCorrupt(TnxBlockNumber aBlock) {
  throw EnxStaticKeyBstarTreeIndexEngineException(8962, u"Index block is damaged [%s, block %d]",
                                                  {bieIndexFile->fiName(), static_cast<std::int64_t>(aBlock)});
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::Fetch(Op& aOp, TnxBlockNumber aBlock, bool aMarkDirty) {
  TnxReleaseMethod release;
  PnxBlock node =
      nxReadIndexBlock(aOp.trans, bieIndexFile, aOp.header->FileHeader(), bseID, aMarkDirty, aBlock, release);
  aOp.release->Add(node, release);
  const std::uint8_t kind = node[nxIdx::Kind];
  const std::uint32_t first = nxseGetU16(node + nxIdx::First), count = nxseGetU16(node + nxIdx::Count);
  bool ok = node[nxIdx::IndexNumber] == static_cast<std::uint8_t>(bieIndexNumber);
  if (kind == nxIdx::KindLeaf)
    ok = ok && first + count <= ieMaxLeafNodeKeyCount;
  else if (kind == nxIdx::KindInternal)
    ok = ok && first == 0 && count >= 1 && count <= ieMaxInternalNodeKeyCount;
  else
    ok = false;
  if (!ok) RaiseCorrupt(aBlock);
  return node;
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::LeafRef(PnxBlock aNode, std::int32_t aSlot) const {
  const std::uint8_t* p = LeafKey(aNode, aSlot);
  return static_cast<TnxRefNr>(nxseGetU64(bieKeysAreRefs || Keyless() ? p : p + ieDescKeyLength));
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::NodeRef(PnxBlock aNode, std::int32_t aIndex) const {
  return ieAddKeyRefsToKeys ? static_cast<TnxRefNr>(nxseGetU64(NodeKey(aNode, aIndex) + ieDescKeyLength)) : 0;
}

TnxBlockNumber TnxStaticKeyBstarTreeIndexEngine::Child(PnxBlock aNode, std::int32_t aIndex) const {
  return nxseGetU32(aNode + nxIdx::Entries + static_cast<std::uint32_t>(aIndex) * ieSizeOfInternalNodeKeyPair);
}

void TnxStaticKeyBstarTreeIndexEngine::SetChild(PnxBlock aNode, std::int32_t aIndex, TnxBlockNumber aBlock) const {
  nxsePutU32(aNode + nxIdx::Entries + static_cast<std::uint32_t>(aIndex) * ieSizeOfInternalNodeKeyPair, aBlock);
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::NewNode(Op& aOp, bool aLeaf) {
  TnxReleaseMethod release;
  PnxBlock node = NewNodeBlock(aOp.header.get(), aOp.trans, aLeaf, release);
  aOp.release->Add(node, release);
  return node;
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::NewNodeBlock(TnxBaseIndexHeaderAccess* aHeader, TnxBaseTransaction* aTrans,
                                                        bool aLeaf, TnxReleaseMethod& aRelease) {
  PnxBlock node = aHeader->FileHeader()->GetNewBlock(aTrans, bseID, aRelease);
  nxseSetSignature(node, "NXIH");
  const std::uint64_t ident = (static_cast<std::uint64_t>(nextNodeSalt()) << 48) |
                              (static_cast<std::uint64_t>(static_cast<std::uint16_t>(aTrans->btLSN)) << 32);
  nxsePutU64(node + nxIdx::Ident, ident);
  nxsePutU32(node + nxIdx::PrevLeaf, nxIdx::NoBlock);
  nxsePutU32(node + nxIdx::NextLeaf, nxIdx::NoBlock);
  nxsePutU16(node + nxIdx::First, 0);
  nxsePutU16(node + nxIdx::Count, 0);
  node[nxIdx::Kind] = aLeaf ? nxIdx::KindLeaf : nxIdx::KindInternal;
  node[nxIdx::IndexNumber] = static_cast<std::uint8_t>(bieIndexNumber);
  node[38] = node[39] = 0;
  aHeader->SetIndexPageCount(aHeader->GetIndexPageCount() + 1);
  return node;
}

void TnxStaticKeyBstarTreeIndexEngine::FreeNode(Op& aOp, TnxBlockNumber aBlock) {
  // An emptied node is freed: no field checks here.
  TnxReleaseMethod release;
  PnxBlock node =
      nxReadIndexBlock(aOp.trans, bieIndexFile, aOp.header->FileHeader(), bseID, true, aBlock, release);
  aOp.release->Add(node, release);
  aOp.header->FileHeader()->DeleteBlock(aOp.trans, node);
  const std::uint32_t pages = aOp.header->GetIndexPageCount();
  aOp.header->SetIndexPageCount(pages ? pages - 1 : 0);
}

// ---- Node searches -----------------------------------------------------------------------

bool TnxStaticKeyBstarTreeIndexEngine::SearchNode(Op& aOp, PnxBlock aNode, Mode aMode, const void* aKey, TnxRefNr aRefNr,
                                                  TnxSearchKeyAction aAction, std::int32_t aFC, std::int32_t aPL,
                                                  std::int32_t& aPos) {
  const bool leaf = aNode[nxIdx::Kind] == nxIdx::KindLeaf;
  const std::int32_t first = nxseGetU16(aNode + nxIdx::First), count = nxseGetU16(aNode + nxIdx::Count);
  std::int32_t lo = leaf ? first : 0, hi = lo + count - 1, remembered = -1;
  TnxBaseKeyEngine* keys = bieKeyEngine.get();
  while (lo <= hi) {
    const std::int32_t mid = (lo + hi) >> 1;
    const std::uint8_t* entry = leaf ? LeafKey(aNode, mid) : NodeKey(aNode, mid);
    std::int32_t c;
    if (Keyless()) {
      // The key of the entry comes from its record; aTie orders equal keys.
      const auto ref = static_cast<TnxRefNr>(nxseGetU64(entry));
      TnxRefNr tie = 0;
      const bool partial = aMode == Mode::Partial || aMode == Mode::Action;
      c = CompareRefEntry(aOp, aKey, ref, partial ? aFC : 0, partial ? aPL : 0, tie);
      if (c == 0 && (aMode == Mode::KeyRef || (aMode == Mode::NullDups && keys->KeyContainsNulls(aKey))))
        c = cmpRef(aRefNr, tie);
      if (c == 0 && aMode == Mode::Action) {
        remembered = mid;
        if (firstKind(aAction))
          c = -1;
        else if (lastKind(aAction))
          c = 1;
      }
    } else switch (aMode) {
      case Mode::Key:
        c = keys->CompareKey(aKey, entry, 0, 0);
        break;
      case Mode::KeyRef:
        c = keys->CompareKey(aKey, entry, 0, 0);
        if (c == 0) c = cmpRef(aRefNr, leaf ? LeafRef(aNode, mid) : NodeRef(aNode, mid));
        break;
      case Mode::NullDups:
        c = keys->CompareKey(aKey, entry, 0, 0);
        if (c == 0 && keys->KeyContainsNulls(aKey))
          c = cmpRef(aRefNr, leaf ? LeafRef(aNode, mid) : NodeRef(aNode, mid));
        break;
      default:
        c = keys->CompareKey(aKey, entry, aFC, aPL);
        if (c == 0 && aMode == Mode::Action) {
          remembered = mid;
          if (firstKind(aAction))
            c = -1;
          else if (lastKind(aAction))
            c = 1;
        }
        break;
    }
    if (c == 0) {
      aPos = mid;
      return true;
    }
    if (c < 0)
      hi = mid - 1;
    else
      lo = mid + 1;
  }
  if (remembered >= 0) {
    aPos = remembered;
    return true;
  }
  aPos = lo;
  return false;
}

TnxBlockNumber TnxStaticKeyBstarTreeIndexEngine::DescendToLeaf(Op& aOp, Mode aMode, const void* aKey,
                                                               TnxRefNr aRefNr, TnxSearchKeyAction aAction,
                                                               std::vector<Level>* aLevels) {
  TnxBlockNumber block = aOp.Root();
  const std::uint32_t limit = aOp.Limit();
  for (std::uint32_t depth = 0;; ++depth) {
    if (depth > limit) RaiseCorrupt(block);
    PnxBlock node = Fetch(aOp, block, false);
    if (node[nxIdx::Kind] == nxIdx::KindLeaf) return block;
    std::int32_t pos;
    SearchNode(aOp, node, aMode, aKey, aRefNr, aAction, aOp.FC(), aOp.PL(), pos);
    if (aLevels) aLevels->push_back({block, pos});
    block = Child(node, pos);
  }
}

// ---- Path placement and stepping -----------------------------------------------------------

void TnxStaticKeyBstarTreeIndexEngine::TakeEntry(Op& aOp, Path* aPath, PnxBlock aLeaf, TnxBlockNumber aBlock,
                                                 std::int32_t aSlot, const void* aKnownKey) {
  aPath->bpipPage = aBlock;
  aPath->bpipItem = aSlot;
  aPath->bpipIdentCounter = static_cast<std::int64_t>(nxseGetU64(aLeaf + nxIdx::Ident));
  aPath->bpipLSN = static_cast<TnxLSN>(nxseGetU64(aLeaf + 8));
  aPath->RefNr = LeafRef(aLeaf, aSlot);
  if (Keyless()) {
    if (aKnownKey) {
      bieKeyEngine->CopyKey(aKnownKey, aPath->Key);
      aPath->CacheRefNr = 0;
    } else {
      LoadRefEntry(aOp, aPath->RefNr, aPath);
    }
    aPath->KeyValid = true;
    return;
  }
  bieKeyEngine->CopyKey(LeafKey(aLeaf, aSlot), aPath->Key);
  aPath->KeyValid = true;
  if (ieIsCacheSeqAccess) aPath->CacheRefNr = static_cast<TnxRefNr>(nxseGetU64(LeafKey(aLeaf, aSlot)));
}

bool TnxStaticKeyBstarTreeIndexEngine::Accept(TnxBaseFilterEngine* aKeyFilter, const void* aKey) {
  if (!aKeyFilter || aKeyFilter->MatchesKey(aKey)) return true;
  if (aKeyFilter->kfCheckTimeOut) {
    TnxResult dummy = 0;
    return aKeyFilter->kfCheckTimeOut(aKeyFilter->kfResult ? *aKeyFilter->kfResult : dummy);
  }
  return false;
}

bool TnxStaticKeyBstarTreeIndexEngine::StepNext(Op& aOp, Path* aPath, TnxBaseFilterEngine* aKeyFilter) {
  if (aPath->Position == ippEof) return false;
  TnxBlockNumber block;
  PnxBlock leaf;
  const std::uint32_t limit = aOp.Limit();
  if (aPath->Position == ippBof) {
    block = aOp.Root();
    if (block == nxIdx::NoBlock) return false;
    for (std::uint32_t depth = 0;; ++depth) {
      if (depth > limit) RaiseCorrupt(block);
      leaf = Fetch(aOp, block, false);
      if (leaf[nxIdx::Kind] == nxIdx::KindLeaf) break;
      block = Child(leaf, 0);
    }
    if (nxseGetU16(leaf + nxIdx::Count) == 0) RaiseCorrupt(block);
    aPath->Position = ippOnCrackBefore;
    aPath->bpipPage = block;
    aPath->bpipItem = nxseGetU16(leaf + nxIdx::First);
  } else {
    nxAssert(aPath->Position == ippOnKey || aPath->IsOnCrack(), "StepNext from an unknown position");
    block = aPath->bpipPage;
    leaf = Fetch(aOp, block, false);
    if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
  }
  std::uint32_t leaves = 0;
  std::int32_t slot = aPath->bpipItem;
  bool advance = !(aPath->Position == ippOnCrackBefore && slot >= nxseGetU16(leaf + nxIdx::First) &&
                   slot < nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count));
  for (;;) {
    if (advance) {
      ++slot;
      if (slot >= nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count)) {
        const TnxBlockNumber next = nxseGetU32(leaf + nxIdx::NextLeaf);
        if (next == nxIdx::NoBlock) {
          aPath->SetToEof();
          return false;
        }
        if (++leaves > limit) RaiseCorrupt(next);
        leaf = Fetch(aOp, next, false);
        if (leaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(leaf + nxIdx::Count) == 0 ||
            nxseGetU32(leaf + nxIdx::PrevLeaf) != block)
          RaiseCorrupt(next);
        block = next;
        slot = nxseGetU16(leaf + nxIdx::First);
      }
    }
    advance = true;
    TakeEntry(aOp, aPath, leaf, block, slot);
    aPath->Deleted = false;
    aPath->Position = ippOnKey;
    if (Accept(aKeyFilter, aPath->Key)) return true;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::StepPrior(Op& aOp, Path* aPath, TnxBaseFilterEngine* aKeyFilter) {
  if (aPath->Position == ippBof) return false;
  TnxBlockNumber block;
  PnxBlock leaf;
  const std::uint32_t limit = aOp.Limit();
  if (aPath->Position == ippEof) {
    block = aOp.Root();
    if (block == nxIdx::NoBlock) return false;
    for (std::uint32_t depth = 0;; ++depth) {
      if (depth > limit) RaiseCorrupt(block);
      leaf = Fetch(aOp, block, false);
      if (leaf[nxIdx::Kind] == nxIdx::KindLeaf) break;
      block = Child(leaf, nxseGetU16(leaf + nxIdx::Count));
    }
    if (nxseGetU16(leaf + nxIdx::Count) == 0) RaiseCorrupt(block);
    aPath->Position = ippOnCrackAfter;
    aPath->bpipPage = block;
    aPath->bpipItem = nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count) - 1;
  } else {
    nxAssert(aPath->Position == ippOnKey || aPath->IsOnCrack(), "StepPrior from an unknown position");
    block = aPath->bpipPage;
    leaf = Fetch(aOp, block, false);
    if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
  }
  std::uint32_t leaves = 0;
  std::int32_t slot = aPath->bpipItem;
  bool advance = !(aPath->Position == ippOnCrackAfter && slot >= nxseGetU16(leaf + nxIdx::First) &&
                   slot < nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count));
  for (;;) {
    if (advance) {
      --slot;
      if (slot < nxseGetU16(leaf + nxIdx::First)) {
        const TnxBlockNumber prev = nxseGetU32(leaf + nxIdx::PrevLeaf);
        if (prev == nxIdx::NoBlock) {
          aPath->SetToBof();
          return false;
        }
        if (++leaves > limit) RaiseCorrupt(prev);
        leaf = Fetch(aOp, prev, false);
        if (leaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(leaf + nxIdx::Count) == 0 ||
            nxseGetU32(leaf + nxIdx::NextLeaf) != block)
          RaiseCorrupt(prev);
        block = prev;
        slot = nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count) - 1;
      }
    }
    advance = true;
    TakeEntry(aOp, aPath, leaf, block, slot);
    aPath->Deleted = false;
    aPath->Position = ippOnKey;
    if (Accept(aKeyFilter, aPath->Key)) return true;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::InternalFindKey(Op& aOp, TnxBaseFilterEngine* aKeyFilter,
                                                       TnxSearchKeyAction aAction, Path* aPath, TnxRefNr aRefNr,
                                                       const void* aKey) {
  const std::int32_t fc = aOp.FC(), pl = aOp.PL();
  Mode mode;
  if (ieAddKeyRefsToKeys && aRefNr != 0 && fc == 0 && pl == 0)
    mode = Mode::KeyRef;
  else if (bieDups || pl != 0 || (fc != 0 && fc != bieMaxFieldCount))
    mode = Mode::Action;
  else
    mode = Mode::Partial;
  aPath->Clear();
  if (aOp.Root() == nxIdx::NoBlock) return false;
  const TnxBlockNumber block = DescendToLeaf(aOp, mode, aKey, aRefNr, aAction, nullptr);
  PnxBlock leaf = Fetch(aOp, block, false);
  const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
  if (count == 0) RaiseCorrupt(block);
  std::int32_t pos;
  const bool found = SearchNode(aOp, leaf, mode, aKey, aRefNr, aAction, fc, pl, pos);
  TnxBaseKeyEngine* keys = bieKeyEngine.get();
  auto equal = [&] { return keys->CompareKey(aKey, aPath->Key, fc, pl) == 0; };
  bool result;
  if (found) {
    TakeEntry(aOp, aPath, leaf, block, pos);
    aPath->Position = ippOnKey;
    const bool any = aAction == skaAnyEqual || aAction == skaAnyGreaterEqual || aAction == skaAnySmallerEqual;
    // The strict actions, "Any" ones included, never end on an equal key.
    const bool strict = aAction == skaGreater || aAction == skaSmaller || aAction == skaAnyGreater ||
                        aAction == skaAnySmaller;
    if ((strict || (bieDups && mode != Mode::KeyRef) || fc != 0 || pl != 0) && !any) {
      const bool backward = aAction == skaEqualFirst || aAction == skaGreaterEqual || aAction == skaSmaller ||
                            aAction == skaAnySmaller;
      for (;;) {
        const bool stepped = backward ? StepPrior(aOp, aPath, nullptr) : StepNext(aOp, aPath, nullptr);
        if (!stepped || !equal()) break;
      }
      if (aAction == skaEqualFirst || aAction == skaGreaterEqual)
        StepNext(aOp, aPath, aKeyFilter);
      else if (aAction == skaEqualLast || aAction == skaSmallerEqual)
        StepPrior(aOp, aPath, aKeyFilter);
    }
    result = aPath->Position == ippOnKey;
  } else {
    if (pos < first + count) {
      TakeEntry(aOp, aPath, leaf, block, pos);
      aPath->Position = ippOnCrackBefore;
    } else {
      TakeEntry(aOp, aPath, leaf, block, first + count - 1);
      aPath->Position = ippOnCrackAfter;
    }
    if (greaterKind(aAction))
      result = StepNext(aOp, aPath, aKeyFilter);
    else if (smallerKind(aAction))
      result = StepPrior(aOp, aPath, aKeyFilter);
    else
      result = false;
  }
  if (aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual) {
    if (aPath->Position == ippOnKey && !equal()) {
      aPath->Position = aAction == skaEqualLast ? ippOnCrackAfter : ippOnCrackBefore;
      result = false;
    } else if (aPath->Position != ippOnKey) {
      result = false;
    }
  }
  return result;
}

TnxStaticKeyBstarTreeIndexEngine::Path* TnxStaticKeyBstarTreeIndexEngine::AsPath(TnxBaseIndexPath* aPath) const {
  auto* path = platform::objectAs<Path>(aPath);
  nxAssert(path != nullptr && path->bipIndexEngine == this, "Index path of another engine");
  return path;
}

TnxBaseFilterEngine* TnxStaticKeyBstarTreeIndexEngine::ActiveOrNil(TnxBaseFilterEngine* aFilter) const {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

bool TnxStaticKeyBstarTreeIndexEngine::FindKey(TnxBaseTransaction* aTrans, const void* aKey,
                                               std::int32_t aFieldCount, std::int32_t aPartialLen, TnxRefNr aRefNr,
                                               TnxBaseIndexPath* aPath, TnxSearchKeyAction aAction,
                                               TnxBaseFilterEngine* aKeyFilter) {
  Path* path = AsPath(aPath);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  // Equal keys of a cache-ordered tree go by cache reference, which a
  // search does not have.
  if (ieLayout == TnxBstarTreeLayout::CacheRefs) aRefNr = 0;
  Op op(this, aTrans, false, aFieldCount, aPartialLen, nullptr, path);
  if (op.Root() == nxIdx::NoBlock) {
    if (greaterKind(aAction)) {
      path->SetToEof();
      return true;
    }
    if (smallerKind(aAction)) {
      path->SetToBof();
      return true;
    }
    return false;
  }
  try {
    return InternalFindKey(op, aKeyFilter, aAction, path, aRefNr, aKey);
  } catch (...) {
    if (aAction == skaGreaterEqual || aAction == skaGreater || aAction == skaEqualLast ||
        aAction == skaAnyGreaterEqual || aAction == skaAnyGreater)
      path->SetToEof();
    else
      path->SetToBof();
    throw;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                               TnxBaseFilterEngine* aKeyFilter) {
  Path* path = AsPath(aPath);
  if (path->Position == ippEof) return false;
  aKeyFilter = ActiveOrNil(aKeyFilter);
  try {
    Op op(this, aTrans, false, 0, 0, nullptr, path);
    if (path->Position == ippUnknown)
      path->SetToBof();
    else
      Validate(op, path);
    if (!StepNext(op, path, aKeyFilter)) {
      path->SetToEof();
      return false;
    }
    return true;
  } catch (...) {
    path->SetToEof();
    throw;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                               TnxBaseFilterEngine* aKeyFilter) {
  Path* path = AsPath(aPath);
  if (path->Position == ippBof) return false;
  aKeyFilter = ActiveOrNil(aKeyFilter);
  try {
    Op op(this, aTrans, false, 0, 0, nullptr, path);
    if (path->Position == ippUnknown)
      path->SetToEof();
    else
      Validate(op, path);
    if (!StepPrior(op, path, aKeyFilter)) {
      path->SetToBof();
      return false;
    }
    return true;
  } catch (...) {
    path->SetToBof();
    throw;
  }
}

void TnxStaticKeyBstarTreeIndexEngine::GetKeyCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) {
  Op op(this, aTrans, false, 0, 0, nullptr);
  aCount = op.header->GetIndexKeyCount();
}

// ---- Stale paths ---------------------------------------------------------------------------

void TnxStaticKeyBstarTreeIndexEngine::ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath) {
  Path* path = AsPath(aPath);
  Op op(this, aTrans, false, 0, 0, nullptr, path);
  Validate(op, path);
}

// The value that orders the path's entry among equal keys.
TnxRefNr TnxStaticKeyBstarTreeIndexEngine::EntryTie(Op&, Path* aPath) {
  return ieLayout == TnxBstarTreeLayout::CacheRefs ? aPath->CacheRefNr : aPath->RefNr;
}

// Rebuilds the path's key (and cache reference) from its record.
void TnxStaticKeyBstarTreeIndexEngine::ReadPathKey(Op& aOp, Path* aPath) {
  bool rebuilt = false;
  const bool wantKey = !aPath->KeyValid;
  const TnxRecordIteratorResult r = ieRecordEngine->ReadRecordForIterate(
      aOp.trans, aPath->RefNr, nullptr,
      [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        if (wantKey || !Keyless()) {
          const TnxResult built = bieKeyEngine->BuildKey(aRecord, aPath->Key, aRefNr, true);
          if (built != 0) throw EnxStaticKeyBstarTreeIndexEngineException(built);
          rebuilt = true;
        }
        if (aPath->CacheRefNr == 0 && bieRefNrOffset >= 0) std::memcpy(&aPath->CacheRefNr, aRecord + bieRefNrOffset, 8);
        return rirContinue;
      },
      nullptr, nullptr);
  if (r != rirStop && rebuilt) aPath->KeyValid = true;
}

void TnxStaticKeyBstarTreeIndexEngine::Validate(Op& aOp, Path* aPath) {
  if (aPath->Position != ippOnKey && !aPath->IsOnCrack()) return;
  const bool cacheOrdered = ieLayout == TnxBstarTreeLayout::CacheRefs;
  if (aPath->RefNr == 0 && aPath->CacheRefNr != 0) aPath->RefNr = ResolveCacheRef(aOp, aPath);
  if (Keyless()) {
    // Keyless paths rebuild their key from the record, deleted or not.
    if (aPath->RefNr != 0 && (!aPath->KeyValid || (cacheOrdered && aPath->CacheRefNr == 0))) ReadPathKey(aOp, aPath);
  } else if (ieRecordEngine && !aPath->Deleted && aPath->RefNr != 0 &&
             (!aPath->KeyValid || (ieIsCacheSeqAccess && aPath->CacheRefNr == 0))) {
    ReadPathKey(aOp, aPath);
  }
  // Fast check: the remembered leaf alone.
  if (aPath->bpipPage != 0 && bieIndexFile->ValidBlock(aPath->bpipPage, aOp.header->FileHeader())) {
    TnxReleaseMethod release;
    PnxBlock leaf = nullptr;
    try {
      leaf = bieIndexFile->GetBlock(aOp.trans, aPath->bpipPage, false, release, bseID);
    } catch (const EnxBaseException&) {
      // Freed or taken over by another owner: only the search can tell.
    }
    if (leaf) aOp.release->Add(leaf, release);
    const std::uint32_t first = leaf ? nxseGetU16(leaf + nxIdx::First) : 0;
    const std::uint32_t count = leaf ? nxseGetU16(leaf + nxIdx::Count) : 0;
    if (leaf && nxseHasSignature(leaf, "NXIH") && nxseThisBlock(leaf) == aPath->bpipPage &&
        leaf[nxIdx::Kind] == nxIdx::KindLeaf && leaf[nxIdx::IndexNumber] == static_cast<std::uint8_t>(bieIndexNumber) &&
        first + count <= ieMaxLeafNodeKeyCount && count > 0) {
      const std::uint64_t ident = nxseGetU64(leaf + nxIdx::Ident);
      const auto lsn = static_cast<TnxLSN>(nxseGetU64(leaf + 8));
      const auto pathIdent = static_cast<std::uint64_t>(aPath->bpipIdentCounter);
      if (ident == pathIdent && lsn == aPath->bpipLSN) return;
      if (aPath->KeyValid && (ident >> 32) == (pathIdent >> 32) &&
          static_cast<std::uint32_t>(ident) > static_cast<std::uint32_t>(pathIdent)) {
        std::int32_t pos;
        const bool found = SearchNode(aOp, leaf, ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key,
                                      aPath->Key, EntryTie(aOp, aPath), skaEqualFirst, 0, 0, pos);
        if (found || (pos > static_cast<std::int32_t>(first) && pos < static_cast<std::int32_t>(first + count) - 1)) {
          aPath->bpipItem = pos;
          aPath->bpipIdentCounter = static_cast<std::int64_t>(ident);
          aPath->bpipLSN = lsn;
          if (found) {
            const bool wasDeleted = aPath->Deleted;
            const TnxIndexPathPosition position = aPath->Position;
            TakeEntry(aOp, aPath, leaf, aPath->bpipPage, pos);
            aPath->Deleted = wasDeleted;
            aPath->Position = position;
          } else {
            aPath->Deleted = true;
            if (aPath->Position == ippOnCrackAfter)
              aPath->bpipItem = pos - 1;
            else
              aPath->Position = ippOnCrackBefore;
          }
          ++ieFastRepairs;
          return;
        }
      }
    }
  }
  // Slow path: search the tree for the path's key.
  if (aOp.Root() == nxIdx::NoBlock) {
    aPath->SetToBof();
    return;
  }
  if (!aPath->KeyValid) {
    aPath->Clear();
    return;
  }
  const TnxIndexPathPosition position = aPath->Position;
  const bool deleted = aPath->Deleted;
  const TnxRefNr refNr = aPath->RefNr, cacheRefNr = aPath->CacheRefNr;
  std::vector<std::uint8_t> key(aPath->Key, aPath->Key + bieKeyEngine->KeyLength());
  bool nowDeleted = deleted;
  if (InternalFindKey(aOp, nullptr, skaEqualFirst, aPath, EntryTie(aOp, aPath), key.data()) &&
      aPath->RefNr == refNr) {
    aPath->Position = position;
  } else {
    // The same key under another RefNr is a neighbour, not the entry.
    if (aPath->Position == ippOnKey) aPath->Position = ippOnCrackBefore;
    if (position == ippOnCrackBefore && aPath->Position == ippOnCrackAfter) {
      if (StepNext(aOp, aPath, nullptr)) aPath->Position = ippOnCrackBefore;
    } else if (position == ippOnCrackAfter && aPath->Position == ippOnCrackBefore) {
      if (StepPrior(aOp, aPath, nullptr)) aPath->Position = ippOnCrackAfter;
    }
    nowDeleted = true;
  }
  ++ieSlowRepairs;
  if (nowDeleted) {
    aPath->Deleted = aPath->Position != ippBof && aPath->Position != ippEof;
    aPath->RefNr = refNr;
    bieKeyEngine->CopyKey(key.data(), aPath->Key);
    aPath->KeyValid = true;
    if (ieIsCacheSeqAccess || cacheOrdered) aPath->CacheRefNr = cacheRefNr;
  }
}

// ---- Insert ----------------------------------------------------------------------------------

void TnxStaticKeyBstarTreeIndexEngine::MoveLeafEntries(PnxBlock aLeaf, std::int32_t aFrom, std::int32_t aCount,
                                                       std::int32_t aTo) const {
  if (aCount > 0 && aFrom != aTo)
    std::memmove(LeafKey(aLeaf, aTo), LeafKey(aLeaf, aFrom), static_cast<std::size_t>(aCount) * ieSizeOfLeafNodeKeyPair);
}

void TnxStaticKeyBstarTreeIndexEngine::WriteLeafEntry(PnxBlock aLeaf, std::int32_t aSlot, const void* aKey,
                                                      TnxRefNr aRefNr) const {
  std::uint8_t* p = LeafKey(aLeaf, aSlot);
  if (Keyless()) {
    nxsePutU64(p, static_cast<std::uint64_t>(aRefNr));
    return;
  }
  std::memcpy(p, aKey, bieKeyEngine->KeyLength());
  if (ieDescKeyLength > bieKeyEngine->KeyLength())
    std::memset(p + bieKeyEngine->KeyLength(), 0, ieDescKeyLength - bieKeyEngine->KeyLength());
  if (!bieKeysAreRefs) nxsePutU64(p + ieDescKeyLength, static_cast<std::uint64_t>(aRefNr));
}

void TnxStaticKeyBstarTreeIndexEngine::InsertIntoLeaf(Op& aOp, PnxBlock aLeaf, TnxBlockNumber aBlock, std::int32_t aPos,
                                                      const void* aKey, TnxRefNr aRefNr, Path* aPath) {
  const std::int32_t a = nxseGetU16(aLeaf + nxIdx::First), b = nxseGetU16(aLeaf + nxIdx::Count);
  const std::int32_t max = ieMaxLeafNodeKeyCount;
  std::int32_t target, first = a;
  if (aPos <= a + (b >> 1)) {
    if (a > 0) {
      MoveLeafEntries(aLeaf, a, aPos - a, a - 1);
      target = aPos - 1;
      first = a - 1;
    } else {
      const std::int32_t c = (max - b - 1) >> 1;
      MoveLeafEntries(aLeaf, aPos, b - aPos, aPos + c + 1);
      MoveLeafEntries(aLeaf, 0, aPos, c);
      target = aPos + c;
      first = c;
    }
  } else if (a + b >= max) {
    const std::int32_t c = (max - b - 1) >> 1;
    MoveLeafEntries(aLeaf, a, aPos - a, c);
    MoveLeafEntries(aLeaf, aPos, a + b - aPos, aPos - a + c + 1);
    target = aPos + c - a;
    first = c;
  } else {
    MoveLeafEntries(aLeaf, aPos, a + b - aPos, aPos + 1);
    target = aPos;
  }
  WriteLeafEntry(aLeaf, target, aKey, aRefNr);
  nxsePutU16(aLeaf + nxIdx::First, static_cast<std::uint16_t>(first));
  nxsePutU16(aLeaf + nxIdx::Count, static_cast<std::uint16_t>(b + 1));
  if (aPath) {
    TakeEntry(aOp, aPath, aLeaf, aBlock, target, aKey);
    aPath->Position = ippOnKey;
    aPath->Deleted = false;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::InsertKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr,
                                                 TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  Path* path = platform::objectAs<Path>(aPath);
  if (path && path->bipIndexEngine != this) path = nullptr;
  if (path) path->Clear();
  Op op(this, aTrans, true, 0, 0, ieReleaseList.get(), path);
  // Equal keys are ordered by this value.
  const TnxRefNr tie = ieLayout == TnxBstarTreeLayout::CacheRefs ? aCacheRefNr : aRefNr;
  TnxBaseKeyEngine* keys = bieKeyEngine.get();
  if (op.Root() == nxIdx::NoBlock) {
    PnxBlock leaf = NewNode(op, true);
    const TnxBlockNumber block = nxseThisBlock(leaf);
    op.header->SetIndexRoot(block);
    const std::int32_t s = ieMaxLeafNodeKeyCount >> 1;
    // The first entry sits in the middle so the leaf can grow both ways.
    WriteLeafEntry(leaf, s, aKey, aRefNr);
    nxsePutU16(leaf + nxIdx::First, static_cast<std::uint16_t>(s));
    nxsePutU16(leaf + nxIdx::Count, 1);
    if (path) {
      TakeEntry(op, path, leaf, block, s, aKey);
      path->Position = ippOnKey;
    }
    op.header->SetIndexKeyCount(1);
    return true;
  }
  std::vector<Level> levels;
  const Mode descent = ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key;
  TnxBlockNumber leafBlock = DescendToLeaf(op, descent, aKey, tie, skaEqualFirst, &levels);
  PnxBlock leaf = Fetch(op, leafBlock, false);
  std::int32_t pos;
  bool duplicate;
  if (Keyless() && !(bieDups && !bieDupsNullOnly)) {
    // The reference-ordered descent can end beside the leaf with an equal key.
    const Mode mode = bieDupsNullOnly ? Mode::NullDups : Mode::Key;
    duplicate = SearchNode(op, leaf, mode, aKey, tie, skaEqualFirst, 0, 0, pos);
    const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
    if (!duplicate && !(bieDupsNullOnly && keys->KeyContainsNulls(aKey))) {
      const TnxBlockNumber neighbour = pos == first           ? nxseGetU32(leaf + nxIdx::PrevLeaf)
                                       : pos == first + count ? nxseGetU32(leaf + nxIdx::NextLeaf)
                                                              : nxIdx::NoBlock;
      if (neighbour != nxIdx::NoBlock) {
        std::int32_t other;
        PnxBlock next = Fetch(op, neighbour, false);
        if (next[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(neighbour);
        duplicate = SearchNode(op, next, mode, aKey, tie, skaEqualFirst, 0, 0, other);
      }
    }
  } else if (ieAddKeyRefsToKeys && bieDupsNullOnly) {
    duplicate = SearchNode(op, leaf, Mode::NullDups, aKey, aRefNr, skaEqualFirst, 0, 0, pos);
    const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
    if (!duplicate && !keys->KeyContainsNulls(aKey)) {
      const TnxBlockNumber neighbour = pos == first           ? nxseGetU32(leaf + nxIdx::PrevLeaf)
                                       : pos == first + count ? nxseGetU32(leaf + nxIdx::NextLeaf)
                                                              : nxIdx::NoBlock;
      if (neighbour != nxIdx::NoBlock) {
        std::int32_t other;
        PnxBlock next = Fetch(op, neighbour, false);
        if (next[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(neighbour);
        duplicate = SearchNode(op, next, Mode::NullDups, aKey, aRefNr, skaEqualFirst, 0, 0, other);
      }
    }
  } else {
    duplicate = SearchNode(op, leaf, ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key, aKey, tie,
                           skaEqualFirst, 0, 0, pos);
  }
  if (duplicate) return false;

  leaf = Fetch(op, leafBlock, true);
  const std::int32_t max = ieMaxLeafNodeKeyCount;
  if (nxseGetU16(leaf + nxIdx::Count) < max) {
    InsertIntoLeaf(op, leaf, leafBlock, pos, aKey, aRefNr, path);
    op.header->SetIndexKeyCount(op.header->GetIndexKeyCount() + 1);
    return true;
  }
  if (nxseGetU16(leaf + nxIdx::First) != 0) RaiseCorrupt(leafBlock);
  // Split the full leaf: the right half goes to a new leaf, centred.
  PnxBlock right = NewNode(op, true);
  TnxBlockNumber rightBlock = nxseThisBlock(right);
  std::int32_t s = max >> 1;
  if (pos > s && (max & 1)) ++s;
  std::memcpy(LeafKey(right, s >> 1), LeafKey(leaf, s), static_cast<std::size_t>(max - s) * ieSizeOfLeafNodeKeyPair);
  nxsePutU16(right + nxIdx::First, static_cast<std::uint16_t>(s >> 1));
  nxsePutU16(right + nxIdx::Count, static_cast<std::uint16_t>(max - s));
  nxsePutU16(leaf + nxIdx::Count, static_cast<std::uint16_t>(s));
  const TnxBlockNumber oldNext = nxseGetU32(leaf + nxIdx::NextLeaf);
  nxsePutU32(right + nxIdx::NextLeaf, oldNext);
  nxsePutU32(right + nxIdx::PrevLeaf, leafBlock);
  nxsePutU32(leaf + nxIdx::NextLeaf, rightBlock);
  if (oldNext != nxIdx::NoBlock) {
    PnxBlock next = Fetch(op, oldNext, true);
    if (next[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(oldNext);
    nxsePutU32(next + nxIdx::PrevLeaf, rightBlock);
  }
  if (pos > s)
    InsertIntoLeaf(op, right, rightBlock, pos - s + (s >> 1), aKey, aRefNr, path);
  else if (pos < s)
    InsertIntoLeaf(op, leaf, leafBlock, pos, aKey, aRefNr, path);
  else if (s >= max - s)
    InsertIntoLeaf(op, right, rightBlock, s >> 1, aKey, aRefNr, path);
  else
    InsertIntoLeaf(op, leaf, leafBlock, s, aKey, aRefNr, path);
  std::memcpy(ieTempInsertKey.data(),
              LeafKey(leaf, nxseGetU16(leaf + nxIdx::First) + nxseGetU16(leaf + nxIdx::Count) - 1), ieNodeKeyLength);
  ieTempInsertBlock = leafBlock;

  // Carry the separator up.
  const std::uint32_t pair = ieSizeOfInternalNodeKeyPair;
  const std::int32_t maxI = ieMaxInternalNodeKeyCount;
  bool placed = false;
  for (std::size_t l = levels.size(); l-- > 0;) {
    PnxBlock parent = Fetch(op, levels[l].block, true);
    const std::int32_t idx = levels[l].index, count = nxseGetU16(parent + nxIdx::Count);
    if (idx > count || Child(parent, idx) != (l + 1 < levels.size() ? levels[l + 1].block : leafBlock))
      RaiseCorrupt(levels[l].block);
    if (count < maxI) {
      std::memmove(NodeKey(parent, idx + 1), NodeKey(parent, idx), static_cast<std::size_t>(count - idx) * pair);
      std::memcpy(NodeKey(parent, idx), ieTempInsertKey.data(), ieNodeKeyLength);
      SetChild(parent, idx + 1, rightBlock);
      nxsePutU16(parent + nxIdx::Count, static_cast<std::uint16_t>(count + 1));
      placed = true;
      break;
    }
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(maxI + 2) * pair + 4, 0);
    std::memcpy(scratch.data(), parent + nxIdx::Entries, static_cast<std::size_t>(count) * pair + 4);
    std::memmove(scratch.data() + 4 + static_cast<std::size_t>(idx + 1) * pair,
                 scratch.data() + 4 + static_cast<std::size_t>(idx) * pair, static_cast<std::size_t>(count - idx) * pair);
    std::memcpy(scratch.data() + 4 + static_cast<std::size_t>(idx) * pair, ieTempInsertKey.data(), ieNodeKeyLength);
    nxsePutU32(scratch.data() + static_cast<std::size_t>(idx + 1) * pair, rightBlock);
    const std::int32_t half = maxI >> 1;
    PnxBlock added = NewNode(op, false);
    std::memcpy(parent + nxIdx::Entries, scratch.data(), static_cast<std::size_t>(half) * pair + 4);
    nxsePutU16(parent + nxIdx::Count, static_cast<std::uint16_t>(half));
    std::memcpy(added + nxIdx::Entries, scratch.data() + static_cast<std::size_t>(half + 1) * pair,
                static_cast<std::size_t>(maxI - half) * pair + 4);
    nxsePutU16(added + nxIdx::Count, static_cast<std::uint16_t>(maxI - half));
    std::memcpy(ieTempInsertKey.data(), scratch.data() + 4 + static_cast<std::size_t>(half) * pair, ieNodeKeyLength);
    ieTempInsertBlock = levels[l].block;
    rightBlock = nxseThisBlock(added);
  }
  if (!placed) {
    PnxBlock root = NewNode(op, false);
    SetChild(root, 0, ieTempInsertBlock);
    std::memcpy(NodeKey(root, 0), ieTempInsertKey.data(), ieNodeKeyLength);
    SetChild(root, 1, rightBlock);
    nxsePutU16(root + nxIdx::Count, 1);
    op.header->SetIndexRoot(nxseThisBlock(root));
  }
  op.header->SetIndexKeyCount(op.header->GetIndexKeyCount() + 1);
  return true;
}

// ---- Delete ----------------------------------------------------------------------------------

std::vector<TnxStaticKeyBstarTreeIndexEngine::Level> TnxStaticKeyBstarTreeIndexEngine::FindParents(
    Op& aOp, const std::uint8_t* aEntry, bool aLeaf, TnxBlockNumber aTarget) {
  // The parents of aTarget are found by its entry aEntry (a leaf entry or a
  // separator): its key, and what orders it among equal keys.
  std::vector<std::uint8_t> keyless;
  const void* aKey = aEntry;
  TnxRefNr aRefNr;
  if (Keyless()) {
    CopyRefEntryKey(aOp, static_cast<TnxRefNr>(nxseGetU64(aEntry)), keyless, aRefNr);
    aKey = keyless.data();
  } else if (aLeaf) {
    aRefNr = static_cast<TnxRefNr>(nxseGetU64(bieKeysAreRefs ? aEntry : aEntry + ieDescKeyLength));
  } else {
    aRefNr = ieAddKeyRefsToKeys ? static_cast<TnxRefNr>(nxseGetU64(aEntry + ieDescKeyLength)) : 0;
  }
  std::vector<Level> levels;
  TnxBlockNumber block = aOp.Root();
  const std::uint32_t limit = aOp.Limit();
  const Mode mode = ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key;
  while (block != aTarget) {
    if (levels.size() > limit) RaiseCorrupt(block);
    PnxBlock node = Fetch(aOp, block, false);
    if (node[nxIdx::Kind] != nxIdx::KindInternal) RaiseCorrupt(aTarget);
    std::int32_t pos;
    SearchNode(aOp, node, mode, aKey, aRefNr, skaEqualFirst, 0, 0, pos);
    levels.push_back({block, pos});
    block = Child(node, pos);
  }
  return levels;
}

bool TnxStaticKeyBstarTreeIndexEngine::DeleteKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr,
                                                 TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  Path* given = platform::objectAs<Path>(aPath);
  if (given && given->bipIndexEngine != this) given = nullptr;
  Op op(this, aTrans, true, 0, 0, ieReleaseList.get(), given);
  const bool cacheOrdered = ieLayout == TnxBstarTreeLayout::CacheRefs;
  if (op.Root() == nxIdx::NoBlock) return false;
  TnxOwned<Path> temp;
  Path* path = given;
  if (!path) {
    temp.reset(platform::create<Path>(this));
    path = temp.get();
  }
  bool found;
  if (given && given->Position == ippOnKey && !given->Deleted && given->RefNr == aRefNr && given->KeyValid &&
      (!cacheOrdered || given->CacheRefNr == aCacheRefNr) && bieKeyEngine->CompareKey(aKey, given->Key) == 0) {
    Validate(op, path);
    found = path->Position == ippOnKey && !path->Deleted;
  } else {
    found = InternalFindKey(op, nullptr, skaEqualFirst, path, cacheOrdered ? aCacheRefNr : aRefNr, aKey) &&
            path->RefNr == aRefNr;
  }
  if (!found) return false;
  DeleteFromNode(op, path, path->bpipItem, path->bpipPage);
  const std::uint32_t keys = op.header->GetIndexKeyCount();
  op.header->SetIndexKeyCount(keys ? keys - 1 : 0);
  return true;
}

void TnxStaticKeyBstarTreeIndexEngine::DeleteFromNode(Op& aOp, Path* aPath, std::int32_t aIndex,
                                                      TnxBlockNumber aBlock) {
  PnxBlock node = Fetch(aOp, aBlock, true);
  const bool leaf = node[nxIdx::Kind] == nxIdx::KindLeaf;
  const bool isRoot = aBlock == aOp.Root();
  const std::int32_t a = nxseGetU16(node + nxIdx::First), n = nxseGetU16(node + nxIdx::Count);
  if (leaf ? (aIndex < a || aIndex >= a + n) : (aIndex < 0 || aIndex >= n)) RaiseCorrupt(aBlock);
  const std::uint32_t pair = ieSizeOfInternalNodeKeyPair, lpair = ieSizeOfLeafNodeKeyPair;
  std::vector<std::uint8_t> removed;
  if (leaf) removed.assign(LeafKey(node, aIndex), LeafKey(node, aIndex) + lpair);
  const bool wasLast = leaf ? aIndex == a + n - 1 : aIndex == n - 1;
  std::int32_t first = a;
  if (leaf) {
    if (!wasLast) {
      if (aIndex < a + (n >> 1)) {
        MoveLeafEntries(node, a, aIndex - a, a + 1);
        first = a + 1;
        if (aPath) ++aPath->bpipItem;
      } else {
        MoveLeafEntries(node, aIndex + 1, a + n - 1 - aIndex, aIndex);
      }
    }
  } else if (!wasLast) {
    std::memmove(NodeKey(node, aIndex), NodeKey(node, aIndex + 1), static_cast<std::size_t>(n - 1 - aIndex) * pair);
  }
  std::int32_t count = n - 1;
  nxsePutU16(node + nxIdx::First, static_cast<std::uint16_t>(first));
  nxsePutU16(node + nxIdx::Count, static_cast<std::uint16_t>(count));

  // The separator equal to a leaf's removed last entry becomes its new last.
  if (leaf && !isRoot && wasLast && count > 0) {
    const std::vector<Level> levels = FindParents(aOp, removed.data(), true, aBlock);
    const std::uint8_t* newLast = LeafKey(node, first + count - 1);
    std::size_t j = levels.size() - 1;
    PnxBlock p = Fetch(aOp, levels[j].block, false);
    if (levels[j].index < nxseGetU16(p + nxIdx::Count)) {
      p = Fetch(aOp, levels[j].block, true);
      std::memcpy(NodeKey(p, levels[j].index), newLast, ieNodeKeyLength);
    } else {
      while (j > 0 && levels[j].index == nxseGetU16(Fetch(aOp, levels[j].block, false) + nxIdx::Count)) --j;
      p = Fetch(aOp, levels[j].block, false);
      if (levels[j].index < nxseGetU16(p + nxIdx::Count) &&
          (Keyless() ? std::memcmp(NodeKey(p, levels[j].index), removed.data(), 8) == 0
                     : bieKeyEngine->CompareKey(NodeKey(p, levels[j].index), removed.data()) == 0)) {
        p = Fetch(aOp, levels[j].block, true);
        std::memcpy(NodeKey(p, levels[j].index), newLast, ieNodeKeyLength);
      }
    }
  }
  auto syncPath = [&](PnxBlock aLeaf, TnxBlockNumber aLeafBlock) {
    if (!aPath) return;
    aPath->bpipPage = aLeafBlock;
    aPath->bpipIdentCounter = static_cast<std::int64_t>(nxseGetU64(aLeaf + nxIdx::Ident));
    aPath->bpipLSN = static_cast<TnxLSN>(nxseGetU64(aLeaf + 8));
  };
  if (aPath && count > 0) {
    if (aPath->bpipItem == first + count) {
      --aPath->bpipItem;
      aPath->Position = ippOnCrackAfter;
    } else {
      aPath->Position = ippOnCrackBefore;
    }
    aPath->Deleted = true;
    syncPath(node, aBlock);
  }

  if (isRoot) {
    if (count > 0) return;
    if (leaf) {
      FreeNode(aOp, aBlock);
      aOp.header->SetIndexRoot(nxIdx::NoBlock);
      aOp.header->SetIndexPageCount(0);
      if (aPath) aPath->SetToBof();
    } else {
      const TnxBlockNumber child = Child(node, 0);
      FreeNode(aOp, aBlock);
      aOp.header->SetIndexRoot(child);
      PnxBlock root = Fetch(aOp, child, true);
      nxsePutU32(root + nxIdx::PrevLeaf, nxIdx::NoBlock);
      nxsePutU32(root + nxIdx::NextLeaf, nxIdx::NoBlock);
    }
    return;
  }
  const std::int32_t capacity = leaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  if (count >= ((capacity + 1) >> 1)) return;
  if (count == 0) RaiseCorrupt(aBlock);

  // Underfull: borrow from a sibling or merge with it.
  std::vector<std::uint8_t> last(leaf ? LeafKey(node, first + count - 1) : NodeKey(node, count - 1),
                                 (leaf ? LeafKey(node, first + count - 1) : NodeKey(node, count - 1)) +
                                     (leaf ? lpair : ieNodeKeyLength));
  const std::vector<Level> levels = FindParents(aOp, last.data(), leaf, aBlock);
  if (levels.empty()) RaiseCorrupt(aBlock);
  const TnxBlockNumber parentBlock = levels.back().block;
  std::int32_t out = levels.back().index;
  PnxBlock parent = Fetch(aOp, parentBlock, true);
  const std::int32_t pc = nxseGetU16(parent + nxIdx::Count);
  if (Child(parent, out) != aBlock) RaiseCorrupt(parentBlock);
  const bool left = out > 0;
  if (!left && out + 1 > pc) RaiseCorrupt(parentBlock);
  const TnxBlockNumber sibBlock = Child(parent, left ? out - 1 : out + 1);
  PnxBlock sib = Fetch(aOp, sibBlock, true);
  if (sib[nxIdx::Kind] != node[nxIdx::Kind]) RaiseCorrupt(sibBlock);
  const std::int32_t sf = nxseGetU16(sib + nxIdx::First), sc = nxseGetU16(sib + nxIdx::Count);
  const bool pathHere = aPath && aPath->bpipPage == aBlock && count > 0;

  if (leaf) {
    const std::int32_t max = ieMaxLeafNodeKeyCount;
    if (sc > ((max + 1) >> 1)) {
      const std::int32_t m = ((sc + count) >> 1) - count;
      if (left) {
        if (first < m) {
          MoveLeafEntries(node, first, count, m);
          if (pathHere) aPath->bpipItem += m - first;
          first = m;
        }
        std::memcpy(LeafKey(node, first - m), LeafKey(sib, sf + sc - m), static_cast<std::size_t>(m) * lpair);
        first -= m;
        count += m;
        nxsePutU16(sib + nxIdx::Count, static_cast<std::uint16_t>(sc - m));
        std::memcpy(NodeKey(parent, out - 1), LeafKey(sib, sf + sc - m - 1), ieNodeKeyLength);
      } else {
        if (max - (first + count) < m) {
          const std::int32_t c = (max - m - count) >> 1;
          MoveLeafEntries(node, first, count, c);
          if (pathHere) aPath->bpipItem += c - first;
          first = c;
        }
        std::memcpy(LeafKey(node, first + count), LeafKey(sib, sf), static_cast<std::size_t>(m) * lpair);
        count += m;
        std::memcpy(NodeKey(parent, out), LeafKey(node, first + count - 1), ieNodeKeyLength);
        nxsePutU16(sib + nxIdx::First, static_cast<std::uint16_t>(sf + m));
        nxsePutU16(sib + nxIdx::Count, static_cast<std::uint16_t>(sc - m));
      }
      nxsePutU16(node + nxIdx::First, static_cast<std::uint16_t>(first));
      nxsePutU16(node + nxIdx::Count, static_cast<std::uint16_t>(count));
      return;
    }
    PnxBlock receiver = left ? sib : node, donor = left ? node : sib;
    const TnxBlockNumber receiverBlock = left ? sibBlock : aBlock, donorBlock = left ? aBlock : sibBlock;
    if (!left) ++out;
    std::int32_t rf = nxseGetU16(receiver + nxIdx::First);
    const std::int32_t rc = nxseGetU16(receiver + nxIdx::Count);
    const std::int32_t df = nxseGetU16(donor + nxIdx::First), dc = nxseGetU16(donor + nxIdx::Count);
    if (rc + dc > max) return;
    if (max - (rf + rc) < dc) {
      const std::int32_t c = (max - dc - rc) >> 1;
      MoveLeafEntries(receiver, rf, rc, c);
      if (pathHere && !left) aPath->bpipItem += c - rf;
      rf = c;
    }
    if (pathHere && left) aPath->bpipItem = aPath->bpipItem - df + rf + rc;
    std::memcpy(LeafKey(receiver, rf + rc), LeafKey(donor, df), static_cast<std::size_t>(dc) * lpair);
    nxsePutU16(receiver + nxIdx::First, static_cast<std::uint16_t>(rf));
    nxsePutU16(receiver + nxIdx::Count, static_cast<std::uint16_t>(rc + dc));
    const TnxBlockNumber after = nxseGetU32(donor + nxIdx::NextLeaf);
    nxsePutU32(receiver + nxIdx::NextLeaf, after);
    if (after != nxIdx::NoBlock) {
      PnxBlock next = Fetch(aOp, after, true);
      if (next[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(after);
      nxsePutU32(next + nxIdx::PrevLeaf, receiverBlock);
    }
    if (pathHere) syncPath(receiver, receiverBlock);
    DeleteFromNode(aOp, nullptr, out - 1, parentBlock);
    FreeNode(aOp, donorBlock);
    return;
  }

  const std::int32_t maxI = ieMaxInternalNodeKeyCount;
  if (sc > ((maxI + 1) >> 1)) {
    if (left) {
      std::memmove(node + nxIdx::Entries + pair, node + nxIdx::Entries, static_cast<std::size_t>(count) * pair + 4);
      SetChild(node, 0, Child(sib, sc));
      std::memcpy(NodeKey(node, 0), NodeKey(parent, out - 1), ieNodeKeyLength);
      std::memcpy(NodeKey(parent, out - 1), NodeKey(sib, sc - 1), ieNodeKeyLength);
    } else {
      SetChild(node, count + 1, Child(sib, 0));
      std::memcpy(NodeKey(node, count), NodeKey(parent, out), ieNodeKeyLength);
      std::memcpy(NodeKey(parent, out), NodeKey(sib, 0), ieNodeKeyLength);
      std::memmove(sib + nxIdx::Entries, sib + nxIdx::Entries + pair, static_cast<std::size_t>(sc - 1) * pair + 4);
    }
    nxsePutU16(node + nxIdx::Count, static_cast<std::uint16_t>(count + 1));
    nxsePutU16(sib + nxIdx::Count, static_cast<std::uint16_t>(sc - 1));
    return;
  }
  PnxBlock receiver = left ? sib : node, donor = left ? node : sib;
  const TnxBlockNumber donorBlock = left ? aBlock : sibBlock;
  if (!left) ++out;
  const std::int32_t rc = nxseGetU16(receiver + nxIdx::Count), dc = nxseGetU16(donor + nxIdx::Count);
  if (rc + dc + 1 > maxI) return;
  std::memcpy(NodeKey(receiver, rc), NodeKey(parent, out - 1), ieNodeKeyLength);
  std::memcpy(receiver + nxIdx::Entries + static_cast<std::size_t>(rc + 1) * pair, donor + nxIdx::Entries,
              static_cast<std::size_t>(dc) * pair + 4);
  nxsePutU16(receiver + nxIdx::Count, static_cast<std::uint16_t>(rc + dc + 1));
  DeleteFromNode(aOp, nullptr, out - 1, parentBlock);
  FreeNode(aOp, donorBlock);
}

void TnxStaticKeyBstarTreeIndexEngine::IndexNumberChanged(TnxBaseTransaction* aTrans) {
  Op op(this, aTrans, true, 0, 0, ieReleaseList.get());
  const TnxBlockNumber root = op.Root();
  if (root == nxIdx::NoBlock) return;
  const std::uint32_t limit = op.Limit();
  std::uint32_t visited = 0;
  std::function<void(TnxBlockNumber, std::uint32_t)> renumber = [&](TnxBlockNumber aBlock, std::uint32_t aDepth) {
    if (++visited > limit || aDepth > limit) RaiseCorrupt(aBlock);
    TnxReleaseMethod release;
    PnxBlock node = nxReadIndexBlock(op.trans, bieIndexFile, op.header->FileHeader(), bseID, true, aBlock, release);
    op.release->Add(node, release);
    node[nxIdx::IndexNumber] = static_cast<std::uint8_t>(bieIndexNumber);
    if (node[nxIdx::Kind] != nxIdx::KindInternal) return;
    const std::int32_t count = nxseGetU16(node + nxIdx::Count);
    if (count > ieMaxInternalNodeKeyCount) RaiseCorrupt(aBlock);
    for (std::int32_t i = 0; i <= count; ++i) renumber(Child(node, i), aDepth + 1);
  };
  renumber(root, 0);
}

void TnxStaticKeyBstarTreeIndexEngine::FreeSubtree(Op& aOp, TnxBlockNumber aBlock, std::uint32_t aDepth) {
  PnxBlock node = Fetch(aOp, aBlock, true);
  if (node[nxIdx::Kind] == nxIdx::KindInternal) {
    if (aDepth > 64) RaiseCorrupt(aBlock);
    const std::int32_t count = nxseGetU16(node + nxIdx::Count);
    for (std::int32_t i = 0; i <= count; ++i) FreeSubtree(aOp, Child(node, i), aDepth + 1);
  }
  aOp.header->FileHeader()->DeleteBlock(aOp.trans, node);
}

void TnxStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TnxBaseTransaction* aTrans) {
  Op op(this, aTrans, true, 0, 0, ieReleaseList.get());
  const TnxBlockNumber root = op.Root();
  op.header->SetIndexRoot(nxIdx::NoBlock);
  op.header->SetIndexPageCount(0);
  op.header->SetIndexKeyCount(0);
  if (root != nxIdx::NoBlock) FreeSubtree(op, root, 0);
}

// ---- Ranges ----------------------------------------------------------------------------------

std::int32_t TnxStaticKeyBstarTreeIndexEngine::CompareRange(const TnxRangeInfo& aRange, const void* aKey) {
  return bieKeyEngine->CompareKey(aRange.riKey, aKey, aRange.riFieldCount, aRange.riPartitial);
}

// Places aPath for a range end: a start on the crack before its first key,
// an end on the crack after its last. False when the range has no key there.
bool TnxStaticKeyBstarTreeIndexEngine::PlaceRange(Op& aOp, const TnxRangeInfo& aRange, bool aStart, Path* aPath,
                                                  TnxBaseFilterEngine* aKeyFilter) {
  aOp.header->SetCompareDate(aRange.riFieldCount, aRange.riPartitial);
  const TnxSearchKeyAction action = aStart ? (aRange.riExclusive ? skaGreater : skaGreaterEqual)
                                           : (aRange.riExclusive ? skaSmaller : skaSmallerEqual);
  bool found;
  try {
    found = InternalFindKey(aOp, aKeyFilter, action, aPath, 0, aRange.riKey);
  } catch (...) {
    aOp.header->SetCompareDate(0, 0);
    throw;
  }
  aOp.header->SetCompareDate(0, 0);
  return found && aPath->Position == ippOnKey;
}

bool TnxStaticKeyBstarTreeIndexEngine::RecordPasses(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                    TnxBaseFilterEngine* aFilter) {
  if (!aFilter) return true;
  bool passed = false;
  ieRecordEngine->ReadRecordForIterate(
      aTrans, aRefNr, nullptr,
      [&](void*, TnxRefNr, PnxRecordBuffer) {
        passed = true;
        return rirContinue;
      },
      nullptr, aFilter);
  return passed;
}

void TnxStaticKeyBstarTreeIndexEngine::Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                               PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                               const TnxRecordIterator& aRecIterator, void* aCookie,
                                               const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                               TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                               bool aKeepPosition) {
  IterateDirection(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
                   aKeyFilter, aKeepPosition, false);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                       PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                                       const TnxRecordIterator& aRecIterator, void* aCookie,
                                                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                       TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                       bool aKeepPosition) {
  IterateDirection(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
                   aKeyFilter, aKeepPosition, true);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateDirection(
    TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
    const TnxRecordIterator& aRecIterator, void* aCookie, const TnxRangeInfo& aRangeStart,
    const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition,
    bool aBackward) {
  Path* path = AsPath(aPath);
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  if (aKeyFilter) aKeyFilter->kfCheckTimeOut = {};
  if (!ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(12289, u"%s requires a RecordEngine", {nxString(u"Iterate")});
  aTrans->Lock();
  struct Unlock {
    TnxBaseTransaction* trans;
    ~Unlock() { trans->Unlock(); }
  } unlock{aTrans};
  Op op(this, aTrans, false, 0, 0, nullptr, path);
  const TnxIndexPathPosition done = aBackward ? ippBof : ippEof;
  auto finish = [&] {
    if (aBackward)
      path->SetToBof();
    else
      path->SetToEof();
  };
  if (op.Root() == nxIdx::NoBlock) {
    finish();
    return;
  }
  // Forward: the range start is where the walk begins, the end the stop
  // mark; backward the other way round.
  const TnxRangeInfo& from = aBackward ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& to = aBackward ? aRangeStart : aRangeEnd;
  bool keep = aKeepPosition;
  if (keep) {
    if (path->Position == ippUnknown || path->Position == done) {
      finish();
      return;
    }
    if (path->Position == (aBackward ? ippEof : ippBof)) {
      keep = false;
    } else {
      Validate(op, path);
      if (!path->KeyValid) keep = false;
    }
  }
  TnxOwned<Path> stop;
  if (to.riValid) {
    stop.reset(platform::create<Path>(this));
    if (!PlaceRange(op, to, aBackward, stop.get(), aKeyFilter)) {
      finish();
      return;
    }
  }
  // Sign of "a comes before b" in walking order.
  auto before = [&](std::int32_t aCompare) { return aBackward ? aCompare > 0 : aCompare < 0; };
  if (from.riValid) {
    if (keep) {
      const std::int32_t c = CompareRange(from, path->Key);
      if (before(-c) || (c == 0 && from.riExclusive)) {
        // The kept position lies before the range: start from its beginning.
        keep = false;
      }
    }
    if (!keep) {
      if (!PlaceRange(op, from, !aBackward, path, aKeyFilter)) {
        finish();
        return;
      }
      if (to.riValid) {
        const std::int32_t c = CompareRange(to, path->Key);
        if (before(c) || (c == 0 && to.riExclusive)) {
          finish();
          return;
        }
      }
      path->Position = aBackward ? ippOnCrackAfter : ippOnCrackBefore;
    }
  } else if (!keep) {
    if (aBackward)
      path->SetToEof();
    else
      path->SetToBof();
  }
  auto onStop = [&] {
    return stop && path->bpipPage == stop->bpipPage && path->bpipItem == stop->bpipItem &&
           (path->Position == ippOnKey || path->Position == (aBackward ? ippOnCrackBefore : ippOnCrackAfter));
  };
  if (path->Position == done || onStop()) {
    finish();
    return;
  }
  TnxBlockNumber leafSeen = path->bpipPage;
  for (;;) {
    const bool stepped = aBackward ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr);
    if (!stepped) {
      finish();
      return;
    }
    if (path->bpipPage != leafSeen) {
      leafSeen = path->bpipPage;
      op.release->Release();
      nxCheckTimeout();
    }
    const bool atStop = onStop();
    if (!aKeyFilter || aKeyFilter->MatchesKey(path->Key)) {
      TnxKeyIteratorResult keyResult = kirContinue;
      if (aKeyIterator) keyResult = aKeyIterator(aCookie, path->RefNr, path->Key);
      if (keyResult == kirStop) return;
      if (keyResult == kirContinue && aRecIterator) {
        if (aData) {
          ieRecordEngine->ReadRecord(aTrans, path->RefNr, aData);
          if ((!aFilter || aFilter->MatchesBuffer(aData)) && aRecIterator(aCookie, path->RefNr, aData) == rirStop)
            return;
        } else if (ieRecordEngine->ReadRecordForIterate(aTrans, path->RefNr, nullptr, aRecIterator, aCookie,
                                                        aFilter) == rirStop) {
          return;
        }
      }
    }
    if (atStop) {
      finish();
      return;
    }
  }
}

// Orders two paths on keys by their entries.
std::int32_t TnxStaticKeyBstarTreeIndexEngine::ComparePaths(Path* aA, Path* aB) {
  std::int32_t c = bieKeyEngine->CompareKey(aA->Key, aB->Key);
  if (c == 0 && ieLayout == TnxBstarTreeLayout::CacheRefs) return cmpRef(aA->CacheRefNr, aB->CacheRefNr);
  if (c == 0 && ieAddKeyRefsToKeys) c = cmpRef(aA->RefNr, aB->RefNr);
  return c;
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                     const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                     TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                     std::uint32_t& aRecNo, bool aFlipOrder) {
  aRecNo = 0;
  Path* path = AsPath(aPath);
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  if (aFilter && !ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(12289, u"%s requires a RecordEngine if a filter is active",
                                                    {nxString(u"RecNoGet")});
  const bool back = aFlipOrder;
  Op op(this, aTrans, false, 0, 0, nullptr, path);
  Validate(op, path);
  if (TnxResult state = path->CheckCurrentState()) return state;
  if (!path->KeyValid) return 8709;
  const TnxRangeInfo& from = back ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& to = back ? aRangeStart : aRangeEnd;
  auto before = [&](std::int32_t aCompare) { return back ? aCompare > 0 : aCompare < 0; };
  if (from.riValid) {
    const std::int32_t c = CompareRange(from, path->Key);
    if (before(-c) || (c == 0 && from.riExclusive)) return 8705;
  }
  if (to.riValid) {
    const std::int32_t c = CompareRange(to, path->Key);
    if (before(c) || (c == 0 && to.riExclusive)) return 8706;
  }
  TnxOwned<Path> walker(platform::create<Path>(this));
  if (from.riValid) {
    if (!PlaceRange(op, from, !back, walker.get(), aKeyFilter)) return 8706;
    walker->Position = back ? ippOnCrackAfter : ippOnCrackBefore;
  } else if (back) {
    walker->SetToEof();
  } else {
    walker->SetToBof();
  }
  std::uint32_t counted = 0;
  const std::uint32_t limit = op.Limit();
  if (!aFilter && !aKeyFilter) {
    // Whole leaves: each leaf adds its entries from the walking slot on.
    if (!(back ? StepPrior(op, walker.get(), nullptr) : StepNext(op, walker.get(), nullptr))) return 8706;
    TnxBlockNumber block = walker->bpipPage;
    std::int32_t slot = walker->bpipItem;
    for (std::uint32_t leaves = 0;; ++leaves) {
      if (leaves > limit) RaiseCorrupt(block);
      PnxBlock leaf = Fetch(op, block, false);
      if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
      const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
      if (block == path->bpipPage) {
        const std::int32_t n = back ? slot - path->bpipItem + 1 : path->bpipItem - slot + 1;
        if (n <= 0) return 8706;
        aRecNo = counted + static_cast<std::uint32_t>(n);
        return 0;
      }
      counted += static_cast<std::uint32_t>(back ? slot - first + 1 : first + count - slot);
      const TnxBlockNumber next = nxseGetU32(leaf + (back ? nxIdx::PrevLeaf : nxIdx::NextLeaf));
      if (next == nxIdx::NoBlock) return 8706;
      op.release->Release();
      PnxBlock nextLeaf = Fetch(op, next, false);
      if (nextLeaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(nextLeaf + nxIdx::Count) == 0) RaiseCorrupt(next);
      block = next;
      slot = back ? nxseGetU16(nextLeaf + nxIdx::First) + nxseGetU16(nextLeaf + nxIdx::Count) - 1
                  : nxseGetU16(nextLeaf + nxIdx::First);
    }
  }
  for (;;) {
    if (!(back ? StepPrior(op, walker.get(), nullptr) : StepNext(op, walker.get(), nullptr))) return 8706;
    if ((!aKeyFilter || aKeyFilter->MatchesKey(walker->Key)) && RecordPasses(aTrans, walker->RefNr, aFilter))
      ++counted;
    if (walker->bpipPage == path->bpipPage && walker->bpipItem == path->bpipItem) {
      aRecNo = counted;
      return 0;
    }
  }
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo,
                                                     TnxBaseIndexPath* aPath, const TnxRangeInfo& aRangeStart,
                                                     const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                     TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  Path* path = AsPath(aPath);
  const bool back = aFlipOrder;
  auto toStart = [&] {
    if (back)
      path->SetToEof();
    else
      path->SetToBof();
  };
  auto toEnd = [&] {
    if (back)
      path->SetToBof();
    else
      path->SetToEof();
  };
  if (aRecNo == 0) {
    toStart();
    return back ? 8706 : 8705;
  }
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  try {
    Op op(this, aTrans, false, 0, 0, nullptr, path);
    if (op.Root() == nxIdx::NoBlock) {
      toEnd();
      return back ? 8705 : 8706;
    }
    if (aFilter && !ieRecordEngine)
      throw EnxStaticKeyBstarTreeIndexEngineException(12289, u"%s requires a RecordEngine if a filter is active",
                                                      {nxString(u"RecNoSet")});
    const TnxRangeInfo& from = back ? aRangeEnd : aRangeStart;
    const TnxRangeInfo& to = back ? aRangeStart : aRangeEnd;
    TnxOwned<Path> stop;
    if (to.riValid) {
      stop.reset(platform::create<Path>(this));
      if (!PlaceRange(op, to, back, stop.get(), aKeyFilter)) {
        toEnd();
        return path->CheckCurrentState();
      }
    }
    toStart();
    if (from.riValid) {
      if (!PlaceRange(op, from, !back, path, aKeyFilter)) {
        toEnd();
        return path->CheckCurrentState();
      }
      path->Position = back ? ippOnCrackAfter : ippOnCrackBefore;
    }
    auto atStop = [&] { return stop && path->bpipPage == stop->bpipPage && path->bpipItem == stop->bpipItem; };
    std::uint32_t remaining = aRecNo;
    if (!aFilter && !aKeyFilter) {
      if (!(back ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr))) return path->CheckCurrentState();
      TnxBlockNumber block = path->bpipPage;
      std::int32_t slot = path->bpipItem;
      const std::uint32_t limit = op.Limit();
      for (std::uint32_t leaves = 0;; ++leaves) {
        if (leaves > limit) RaiseCorrupt(block);
        PnxBlock leaf = Fetch(op, block, false);
        if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
        const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
        std::int32_t avail = back ? slot - first + 1 : first + count - slot;
        const bool stopHere = stop && stop->bpipPage == block;
        if (stopHere) avail = std::max(0, back ? slot - stop->bpipItem + 1 : stop->bpipItem - slot + 1);
        if (remaining <= static_cast<std::uint32_t>(avail)) {
          const std::int32_t target =
              back ? slot - static_cast<std::int32_t>(remaining - 1) : slot + static_cast<std::int32_t>(remaining - 1);
          TakeEntry(op, path, leaf, block, target);
          path->Position = ippOnKey;
          path->Deleted = false;
          return 0;
        }
        remaining -= static_cast<std::uint32_t>(avail);
        const TnxBlockNumber next = nxseGetU32(leaf + (back ? nxIdx::PrevLeaf : nxIdx::NextLeaf));
        if (stopHere || next == nxIdx::NoBlock) {
          toEnd();
          return path->CheckCurrentState();
        }
        op.release->Release();
        PnxBlock nextLeaf = Fetch(op, next, false);
        if (nextLeaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(nextLeaf + nxIdx::Count) == 0) RaiseCorrupt(next);
        block = next;
        slot = back ? nxseGetU16(nextLeaf + nxIdx::First) + nxseGetU16(nextLeaf + nxIdx::Count) - 1
                    : nxseGetU16(nextLeaf + nxIdx::First);
      }
    }
    for (;;) {
      if (!(back ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr))) return path->CheckCurrentState();
      if ((!aKeyFilter || aKeyFilter->MatchesKey(path->Key)) && RecordPasses(aTrans, path->RefNr, aFilter) &&
          --remaining == 0)
        return path->CheckCurrentState();
      if (atStop()) {
        toEnd();
        return path->CheckCurrentState();
      }
    }
  } catch (...) {
    path->SetToBof();
    throw;
  }
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TnxBaseTransaction* aTrans,
                                                                const TnxRangeInfo& aRangeStart,
                                                                const TnxRangeInfo& aRangeEnd,
                                                                std::uint32_t& aRecordCount, bool aFlipOrder) {
  aRecordCount = 0;
  const TnxRangeInfo& start = aFlipOrder ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& end = aFlipOrder ? aRangeStart : aRangeEnd;
  Op op(this, aTrans, false, 0, 0, nullptr);
  if (op.Root() == nxIdx::NoBlock) return 0;
  TnxOwned<Path> lo(platform::create<Path>(this)), hi(platform::create<Path>(this));
  if (start.riValid) {
    if (PlaceRange(op, start, true, lo.get(), nullptr))
      lo->Position = ippOnCrackBefore;
    else
      lo->SetToEof();
  } else {
    lo->SetToBof();
  }
  if (end.riValid) {
    if (PlaceRange(op, end, false, hi.get(), nullptr))
      hi->Position = ippOnCrackAfter;
    else
      hi->SetToBof();
  } else {
    hi->SetToEof();
  }
  if (!StepNext(op, lo.get(), nullptr) || !StepPrior(op, hi.get(), nullptr)) return 0;
  if (lo->bpipPage == hi->bpipPage) {
    aRecordCount = static_cast<std::uint32_t>(std::max(0, hi->bpipItem - lo->bpipItem + 1));
    return 0;
  }
  if (ComparePaths(lo.get(), hi.get()) > 0) return 0;
  struct Step {
    std::int32_t first, count, slot;
  };
  auto descent = [&](Path* aPath) {
    std::vector<Level> levels;
    const Mode mode = ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key;
    DescendToLeaf(op, mode, aPath->Key, EntryTie(op, aPath), skaEqualFirst, &levels);
    std::vector<Step> steps;
    for (const Level& l : levels) {
      PnxBlock node = Fetch(op, l.block, false);
      steps.push_back({0, nxseGetU16(node + nxIdx::Count), l.index});
    }
    PnxBlock leaf = Fetch(op, aPath->bpipPage, false);
    steps.push_back({nxseGetU16(leaf + nxIdx::First), nxseGetU16(leaf + nxIdx::Count), aPath->bpipItem});
    std::vector<TnxBlockNumber> blocks;
    for (const Level& l : levels) blocks.push_back(l.block);
    blocks.push_back(aPath->bpipPage);
    return std::make_pair(steps, blocks);
  };
  const auto [xs, xb] = descent(lo.get());
  const auto [ys, yb] = descent(hi.get());
  if (xs.size() != ys.size()) return 0;
  const double n = op.header->GetIndexKeyCount(), p = op.header->GetIndexPageCount();
  const double lmax = ieMaxLeafNodeKeyCount, imax = ieMaxInternalNodeKeyCount;
  const std::size_t d = xs.size() - 1;
  const double a = xs[0].count + 1.0;
  double r;
  if (d == 0) {
    r = n / lmax;
  } else if (d == 1) {
    r = p > 1 ? n / ((p - 1) * lmax) : 1;
  } else if (d == 2) {
    r = p - 1 - a > 0 ? n / ((p - 1 - a) * lmax) : 1;
  } else {
    // Fixed-point estimate of the fill ratio, bounded in rounds.
    double c = 0.5, g = 0, result = 1;
    for (int round = 0; round < 100; ++round) {
      g = a + 1;
      double f = g;
      for (std::size_t i = 0; i + 2 < d; ++i) {
        g = (imax + 1) * c * g;
        f += g;
      }
      const double base = (p - f) / a;
      if (base <= 0) break;
      const double m = std::pow(base, 1.0 / static_cast<double>(d - 1)) / (imax + 1);
      result = n / (lmax * g * m * (imax + 1));
      if (std::fabs(c - m) < 0.0001) break;
      c = m;
    }
    r = result;
  }
  double between = 0, outside = 0, w = 1;
  for (std::size_t level = d + 1; level-- > 0;) {
    const Step& x = xs[level];
    const Step& y = ys[level];
    const double extra = level == d ? 0 : 1;
    if (xb[level] != yb[level]) {
      between += w * (x.first + x.count - x.slot) + w * (y.slot - y.first + extra);
    } else if (y.slot > x.slot) {
      between += w * (y.slot - x.slot);
    }
    outside += w * (x.slot - x.first + extra) + w * (y.first + y.count - y.slot);
    w = level == d ? lmax * r : w * imax * r;
  }
  if (between + outside > 0) aRecordCount = static_cast<std::uint32_t>(std::trunc(between * n / (between + outside)));
  return 0;
}

std::int64_t TnxStaticKeyBstarTreeIndexEngine::SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr,
                                                               TnxBaseIndexPath* aPath) {
  if (!ieIsCacheSeqAccess) return 0;
  Path* given = platform::objectAs<Path>(aPath);
  TnxOwned<Path> temp;
  if (!given || given->bipIndexEngine != this) {
    temp.reset(platform::create<Path>(this));
    given = temp.get();
  }
  std::vector<std::uint8_t> key(bieKeyEngine->KeyLength(), 0);
  std::memcpy(key.data(), &aCacheRefNr, std::min<std::size_t>(8, key.size()));
  Op op(this, aTrans, false, 0, 0, nullptr);
  return InternalFindKey(op, nullptr, skaAnyEqual, given, 0, key.data()) ? given->RefNr : 0;
}

// ---- Module ----------------------------------------------------------------------------------

namespace {
TnxBaseIndexEngine* createEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine) {
  return platform::create<TnxStaticKeyBstarTreeIndexEngine>(aIndicesEngine, aDescriptor, aKeyEngine);
}
}  // namespace

void nxseIndexEngineStaticKeyBstarTreeInitialize() {
  TnxBaseIndexEngine::RegisterIndexEngine(TnxStaticKeyBstarTreeIndexEngine::staticClassInfo(), "nx1xDefault",
                                          {&createEngine});
}

void nxseIndexEngineStaticKeyBstarTreeFinalize() {
  TnxBaseIndexEngine::UnregisterIndexEngine(TnxStaticKeyBstarTreeIndexEngine::staticClassInfo());
}

#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "nxseHeaderAccess.h"
#include "nxseIndexEngineStaticKeyBstarTreeBulk.h"
#include "nxsrTimeoutHandling.h"
#include "plRandom.h"

NX_IMPLEMENT_EXCEPTION(EnxStaticKeyBstarTreeIndexEngineException, EnxBaseIndexEngineException)

namespace {

inline constexpr TnxSubEngineClassFuncs kStaticKeyFuncs{&TnxStaticKeyBstarTreeIndexEngine::GetList,
                                                    &TnxStaticKeyBstarTreeIndexEngine::CheckDictionary,
                                                    &TnxStaticKeyBstarTreeIndexEngine::CheckEngineDescriptor, nullptr};

// The upper half of a new node's ident counter: random, so a reused block
// never looks like the old node.
std::uint16_t nextNodeSalt() {
  std::uint32_t value = 0;
  platform::randomBytes(&value, sizeof value);
  return static_cast<std::uint16_t>(value % 65535);
}

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
                         nullptr, platform::bindClassTable(kStaticKeyFuncs))

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
      throw EnxStaticKeyBstarTreeIndexEngineException(nxErrNotSupported, u"%s is not supported for cache tables",
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
    throw EnxStaticKeyBstarTreeIndexEngineException(nxErrKeyTooLarge, u"Maximum key size has been exceeded. Index: #%d %s",
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
  throw EnxStaticKeyBstarTreeIndexEngineException(nxErrKeyTooLarge, u"Maximum key size has been exceeded. Index: #%d %s",
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
  throw EnxStaticKeyBstarTreeIndexEngineException(nxErrCorruptFile, u"Index block is damaged [%s, block %d]",
                                                  {bieIndexFile->fiName(), static_cast<std::int64_t>(aBlock)});
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::Fetch(Op& aOp, TnxBlockNumber aBlock, bool aMarkDirty) {
  if (!aMarkDirty)
    if (PnxBlock node = aOp.ReadNode(aBlock)) return node;
  aOp.lastNode = nullptr;
  TnxReleaseMethod release;
  PnxBlock node =
      aOp.ReadIndexBlock(aMarkDirty, aBlock, release);
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
  if (!aMarkDirty) aOp.RememberReadNode(aBlock, node);
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
  PnxBlock node = NewNodeBlock(aOp.Header(), aOp.trans, aLeaf, release);
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
      nxReadIndexBlock(aOp.trans, bieIndexFile, aOp.Header()->FileHeader(), bseID, true, aBlock, release);
  aOp.release->Add(node, release);
  aOp.Header()->FileHeader()->DeleteBlock(aOp.trans, node);
  const std::uint32_t pages = aOp.Header()->GetIndexPageCount();
  aOp.Header()->SetIndexPageCount(pages ? pages - 1 : 0);
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
        c = nxIdxTree::cmpRef(aRefNr, tie);
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
        if (c == 0) c = nxIdxTree::cmpRef(aRefNr, leaf ? LeafRef(aNode, mid) : NodeRef(aNode, mid));
        break;
      case Mode::NullDups:
        c = keys->CompareKey(aKey, entry, 0, 0);
        if (c == 0 && keys->KeyContainsNulls(aKey))
          c = nxIdxTree::cmpRef(aRefNr, leaf ? LeafRef(aNode, mid) : NodeRef(aNode, mid));
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
    // The leaf search ends on the leaf's first equal entry; past the leaf's
    // first slot, the entry before it differs, so the path is already on the
    // first equal entry and only the filter is left to apply.
    const bool firstInLeaf = mode == Mode::Action && pos > first &&
                             (aAction == skaEqualFirst || aAction == skaGreaterEqual);
    if (firstInLeaf) {
      if (aKeyFilter && !Accept(aKeyFilter, aPath->Key)) StepNext(aOp, aPath, aKeyFilter);
    } else if ((strict || (bieDups && mode != Mode::KeyRef) || fc != 0 || pl != 0) && !any) {
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
  aCount = op.KeyCount();
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
  if (aPath->bpipPage != 0 && aOp.ValidBlock(aPath->bpipPage)) {
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
      if (ident == pathIdent && lsn == aPath->bpipLSN) {
        // Checked as a fetch checks it: the step that follows takes it again.
        aOp.RememberReadNode(aPath->bpipPage, leaf);
        return;
      }
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

// ---- Module ----------------------------------------------------------------------------------

namespace {
TnxBaseIndexEngine* createStaticKey(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine) {
  return platform::create<TnxStaticKeyBstarTreeIndexEngine>(aIndicesEngine, aDescriptor, aKeyEngine);
}
}  // namespace

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gIndexEngineStaticKeyBstarTreeModuleStarts{0};
}  // namespace

void nxseIndexEngineStaticKeyBstarTreeInitialize() {
  TnxCountedStart started(gIndexEngineStaticKeyBstarTreeModuleStarts);
  if (!started) return;
  TnxBaseIndexEngine::RegisterIndexEngine(TnxStaticKeyBstarTreeIndexEngine::staticClassInfo(), "nx1xDefault",
                                          {&createStaticKey});
}

void nxseIndexEngineStaticKeyBstarTreeFinalize() {
  if (!nxUseCountLeave(gIndexEngineStaticKeyBstarTreeModuleStarts)) return;
  TnxBaseIndexEngine::UnregisterIndexEngine(TnxStaticKeyBstarTreeIndexEngine::staticClassInfo());
}

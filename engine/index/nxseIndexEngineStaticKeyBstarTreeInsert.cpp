// The static-key B*-tree: inserting an entry, splitting full nodes.
#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

#include <cstring>
#include <vector>

#include "nxseHeaderAccess.h"

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
    op.Header()->SetIndexRoot(block);
    const std::int32_t s = ieMaxLeafNodeKeyCount >> 1;
    // The first entry sits in the middle so the leaf can grow both ways.
    WriteLeafEntry(leaf, s, aKey, aRefNr);
    nxsePutU16(leaf + nxIdx::First, static_cast<std::uint16_t>(s));
    nxsePutU16(leaf + nxIdx::Count, 1);
    if (path) {
      TakeEntry(op, path, leaf, block, s, aKey);
      path->Position = ippOnKey;
    }
    op.Header()->SetIndexKeyCount(1);
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
    op.Header()->SetIndexKeyCount(op.Header()->GetIndexKeyCount() + 1);
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
    op.Header()->SetIndexRoot(nxseThisBlock(root));
  }
  op.Header()->SetIndexKeyCount(op.Header()->GetIndexKeyCount() + 1);
  return true;
}

// The static-key B*-tree: deleting an entry, refilling and merging nodes,
// dropping the whole tree.
#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

#include <cstring>
#include <functional>
#include <vector>

#include "nxseHeaderAccess.h"

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
  const std::uint32_t keys = op.Header()->GetIndexKeyCount();
  op.Header()->SetIndexKeyCount(keys ? keys - 1 : 0);
  return true;
}

void TnxStaticKeyBstarTreeIndexEngine::DeleteFromNode(Op& aOp, Path* aPath, std::int32_t aIndex,
                                                      TnxBlockNumber aBlock) {
  PnxBlock node = Fetch(aOp, aBlock, true);
  const bool leaf = node[nxIdx::Kind] == nxIdx::KindLeaf;
  const bool isRoot = aBlock == aOp.Root();
  Removal r = RemoveEntry(aPath, node, aBlock, aIndex);
  if (leaf && !isRoot && r.wasLast && r.count > 0)
    ReplaceSeparator(aOp, aBlock, r.removed.data(), LeafKey(node, r.first + r.count - 1));
  if (aPath && r.count > 0) PlacePathAtCrack(aPath, node, aBlock, r.first + r.count);

  if (isRoot) {
    if (r.count == 0) ShrinkRoot(aOp, aPath, node, aBlock, leaf);
    return;
  }
  const std::int32_t capacity = leaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  if (r.count >= ((capacity + 1) >> 1)) return;
  if (r.count == 0) RaiseCorrupt(aBlock);

  // Underfull: borrow from a sibling or merge with it.
  Underfull nodes = FindSibling(aOp, aPath, node, aBlock, leaf, r.first, r.count);
  if (leaf) {
    if (nodes.sc > ((ieMaxLeafNodeKeyCount + 1) >> 1))
      BorrowLeafEntries(aPath, nodes);
    else
      MergeLeaves(aOp, aPath, nodes);
  } else if (nodes.sc > ((ieMaxInternalNodeKeyCount + 1) >> 1)) {
    BorrowInternalEntry(nodes);
  } else {
    MergeInternalNodes(aOp, nodes);
  }
}

TnxStaticKeyBstarTreeIndexEngine::Removal TnxStaticKeyBstarTreeIndexEngine::RemoveEntry(Path* aPath, PnxBlock aNode,
                                                                                        TnxBlockNumber aBlock,
                                                                                        std::int32_t aIndex) {
  const bool leaf = aNode[nxIdx::Kind] == nxIdx::KindLeaf;
  const std::int32_t a = nxseGetU16(aNode + nxIdx::First), n = nxseGetU16(aNode + nxIdx::Count);
  if (leaf ? (aIndex < a || aIndex >= a + n) : (aIndex < 0 || aIndex >= n)) RaiseCorrupt(aBlock);
  const std::uint32_t pair = ieSizeOfInternalNodeKeyPair, lpair = ieSizeOfLeafNodeKeyPair;
  Removal r;
  if (leaf) r.removed.assign(LeafKey(aNode, aIndex), LeafKey(aNode, aIndex) + lpair);
  r.wasLast = leaf ? aIndex == a + n - 1 : aIndex == n - 1;
  r.first = a;
  if (leaf) {
    if (!r.wasLast) {
      // Close the gap from the nearer end.
      if (aIndex < a + (n >> 1)) {
        MoveLeafEntries(aNode, a, aIndex - a, a + 1);
        r.first = a + 1;
        if (aPath) ++aPath->bpipItem;
      } else {
        MoveLeafEntries(aNode, aIndex + 1, a + n - 1 - aIndex, aIndex);
      }
    }
  } else if (!r.wasLast) {
    std::memmove(NodeKey(aNode, aIndex), NodeKey(aNode, aIndex + 1), static_cast<std::size_t>(n - 1 - aIndex) * pair);
  }
  r.count = n - 1;
  nxsePutU16(aNode + nxIdx::First, static_cast<std::uint16_t>(r.first));
  nxsePutU16(aNode + nxIdx::Count, static_cast<std::uint16_t>(r.count));
  return r;
}

// The separator equal to a leaf's removed last entry becomes its new last.
void TnxStaticKeyBstarTreeIndexEngine::ReplaceSeparator(Op& aOp, TnxBlockNumber aLeafBlock,
                                                        const std::uint8_t* aRemoved, const std::uint8_t* aNewLast) {
  const std::vector<Level> levels = FindParents(aOp, aRemoved, true, aLeafBlock);
  std::size_t j = levels.size() - 1;
  PnxBlock p = Fetch(aOp, levels[j].block, false);
  if (levels[j].index < nxseGetU16(p + nxIdx::Count)) {
    p = Fetch(aOp, levels[j].block, true);
    std::memcpy(NodeKey(p, levels[j].index), aNewLast, ieNodeKeyLength);
    return;
  }
  while (j > 0 && levels[j].index == nxseGetU16(Fetch(aOp, levels[j].block, false) + nxIdx::Count)) --j;
  p = Fetch(aOp, levels[j].block, false);
  if (levels[j].index < nxseGetU16(p + nxIdx::Count) &&
      (Keyless() ? std::memcmp(NodeKey(p, levels[j].index), aRemoved, 8) == 0
                 : bieKeyEngine->CompareKey(NodeKey(p, levels[j].index), aRemoved) == 0)) {
    p = Fetch(aOp, levels[j].block, true);
    std::memcpy(NodeKey(p, levels[j].index), aNewLast, ieNodeKeyLength);
  }
}

void TnxStaticKeyBstarTreeIndexEngine::SyncPathToLeaf(Path* aPath, PnxBlock aLeaf, TnxBlockNumber aLeafBlock) {
  if (!aPath) return;
  aPath->bpipPage = aLeafBlock;
  aPath->bpipIdentCounter = static_cast<std::int64_t>(nxseGetU64(aLeaf + nxIdx::Ident));
  aPath->bpipLSN = static_cast<TnxLSN>(nxseGetU64(aLeaf + 8));
}

// The path stays on the crack the removed entry left: before the entry now
// in its slot, or after the new last one.
void TnxStaticKeyBstarTreeIndexEngine::PlacePathAtCrack(Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock,
                                                        std::int32_t aEnd) {
  if (aPath->bpipItem == aEnd) {
    --aPath->bpipItem;
    aPath->Position = ippOnCrackAfter;
  } else {
    aPath->Position = ippOnCrackBefore;
  }
  aPath->Deleted = true;
  SyncPathToLeaf(aPath, aNode, aBlock);
}

// An emptied root: an empty tree, or its only child becomes the root.
void TnxStaticKeyBstarTreeIndexEngine::ShrinkRoot(Op& aOp, Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock,
                                                  bool aLeaf) {
  if (aLeaf) {
    FreeNode(aOp, aBlock);
    aOp.Header()->SetIndexRoot(nxIdx::NoBlock);
    aOp.Header()->SetIndexPageCount(0);
    if (aPath) aPath->SetToBof();
    return;
  }
  const TnxBlockNumber child = Child(aNode, 0);
  FreeNode(aOp, aBlock);
  aOp.Header()->SetIndexRoot(child);
  PnxBlock root = Fetch(aOp, child, true);
  nxsePutU32(root + nxIdx::PrevLeaf, nxIdx::NoBlock);
  nxsePutU32(root + nxIdx::NextLeaf, nxIdx::NoBlock);
}

// The parent of an underfull node and its left sibling (its right one when
// it is the first child).
TnxStaticKeyBstarTreeIndexEngine::Underfull TnxStaticKeyBstarTreeIndexEngine::FindSibling(
    Op& aOp, Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock, bool aLeaf, std::int32_t aFirst, std::int32_t aCount) {
  const std::uint8_t* lastEntry = aLeaf ? LeafKey(aNode, aFirst + aCount - 1) : NodeKey(aNode, aCount - 1);
  const std::vector<std::uint8_t> last(lastEntry, lastEntry + (aLeaf ? ieSizeOfLeafNodeKeyPair : ieNodeKeyLength));
  const std::vector<Level> levels = FindParents(aOp, last.data(), aLeaf, aBlock);
  if (levels.empty()) RaiseCorrupt(aBlock);
  Underfull nodes;
  nodes.node = aNode;
  nodes.block = aBlock;
  nodes.first = aFirst;
  nodes.count = aCount;
  nodes.parentBlock = levels.back().block;
  nodes.out = levels.back().index;
  nodes.parent = Fetch(aOp, nodes.parentBlock, true);
  const std::int32_t pc = nxseGetU16(nodes.parent + nxIdx::Count);
  if (Child(nodes.parent, nodes.out) != aBlock) RaiseCorrupt(nodes.parentBlock);
  nodes.left = nodes.out > 0;
  if (!nodes.left && nodes.out + 1 > pc) RaiseCorrupt(nodes.parentBlock);
  nodes.sibBlock = Child(nodes.parent, nodes.left ? nodes.out - 1 : nodes.out + 1);
  nodes.sib = Fetch(aOp, nodes.sibBlock, true);
  if (nodes.sib[nxIdx::Kind] != aNode[nxIdx::Kind]) RaiseCorrupt(nodes.sibBlock);
  nodes.sf = nxseGetU16(nodes.sib + nxIdx::First);
  nodes.sc = nxseGetU16(nodes.sib + nxIdx::Count);
  nodes.pathHere = aPath && aPath->bpipPage == aBlock && aCount > 0;
  return nodes;
}

// Moves entries from a leaf sibling with more than half so both hold about
// the same, and updates the separator between them.
void TnxStaticKeyBstarTreeIndexEngine::BorrowLeafEntries(Path* aPath, Underfull& aNodes) {
  const std::uint32_t lpair = ieSizeOfLeafNodeKeyPair;
  const std::int32_t max = ieMaxLeafNodeKeyCount;
  const std::int32_t m = ((aNodes.sc + aNodes.count) >> 1) - aNodes.count;
  if (aNodes.left) {
    if (aNodes.first < m) {
      MoveLeafEntries(aNodes.node, aNodes.first, aNodes.count, m);
      if (aNodes.pathHere) aPath->bpipItem += m - aNodes.first;
      aNodes.first = m;
    }
    std::memcpy(LeafKey(aNodes.node, aNodes.first - m), LeafKey(aNodes.sib, aNodes.sf + aNodes.sc - m), static_cast<std::size_t>(m) * lpair);
    aNodes.first -= m;
    aNodes.count += m;
    nxsePutU16(aNodes.sib + nxIdx::Count, static_cast<std::uint16_t>(aNodes.sc - m));
    std::memcpy(NodeKey(aNodes.parent, aNodes.out - 1), LeafKey(aNodes.sib, aNodes.sf + aNodes.sc - m - 1), ieNodeKeyLength);
  } else {
    if (max - (aNodes.first + aNodes.count) < m) {
      const std::int32_t c = (max - m - aNodes.count) >> 1;
      MoveLeafEntries(aNodes.node, aNodes.first, aNodes.count, c);
      if (aNodes.pathHere) aPath->bpipItem += c - aNodes.first;
      aNodes.first = c;
    }
    std::memcpy(LeafKey(aNodes.node, aNodes.first + aNodes.count), LeafKey(aNodes.sib, aNodes.sf), static_cast<std::size_t>(m) * lpair);
    aNodes.count += m;
    std::memcpy(NodeKey(aNodes.parent, aNodes.out), LeafKey(aNodes.node, aNodes.first + aNodes.count - 1), ieNodeKeyLength);
    nxsePutU16(aNodes.sib + nxIdx::First, static_cast<std::uint16_t>(aNodes.sf + m));
    nxsePutU16(aNodes.sib + nxIdx::Count, static_cast<std::uint16_t>(aNodes.sc - m));
  }
  nxsePutU16(aNodes.node + nxIdx::First, static_cast<std::uint16_t>(aNodes.first));
  nxsePutU16(aNodes.node + nxIdx::Count, static_cast<std::uint16_t>(aNodes.count));
}

// Appends the right leaf of the pair to the left one, relinks the leaf
// chain, drops the separator from the parent and frees the emptied leaf.
void TnxStaticKeyBstarTreeIndexEngine::MergeLeaves(Op& aOp, Path* aPath, Underfull& aNodes) {
  const std::uint32_t lpair = ieSizeOfLeafNodeKeyPair;
  const std::int32_t max = ieMaxLeafNodeKeyCount;
  PnxBlock receiver = aNodes.left ? aNodes.sib : aNodes.node, donor = aNodes.left ? aNodes.node : aNodes.sib;
  const TnxBlockNumber receiverBlock = aNodes.left ? aNodes.sibBlock : aNodes.block, donorBlock = aNodes.left ? aNodes.block : aNodes.sibBlock;
  if (!aNodes.left) ++aNodes.out;
  std::int32_t rf = nxseGetU16(receiver + nxIdx::First);
  const std::int32_t rc = nxseGetU16(receiver + nxIdx::Count);
  const std::int32_t df = nxseGetU16(donor + nxIdx::First), dc = nxseGetU16(donor + nxIdx::Count);
  if (rc + dc > max) return;
  if (max - (rf + rc) < dc) {
    const std::int32_t c = (max - dc - rc) >> 1;
    MoveLeafEntries(receiver, rf, rc, c);
    if (aNodes.pathHere && !aNodes.left) aPath->bpipItem += c - rf;
    rf = c;
  }
  if (aNodes.pathHere && aNodes.left) aPath->bpipItem = aPath->bpipItem - df + rf + rc;
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
  if (aNodes.pathHere) SyncPathToLeaf(aPath, receiver, receiverBlock);
  DeleteFromNode(aOp, nullptr, aNodes.out - 1, aNodes.parentBlock);
  FreeNode(aOp, donorBlock);
}

// Rotates one entry from an internal sibling with more than half through
// the parent's separator.
void TnxStaticKeyBstarTreeIndexEngine::BorrowInternalEntry(Underfull& aNodes) {
  const std::uint32_t pair = ieSizeOfInternalNodeKeyPair;
  if (aNodes.left) {
    std::memmove(aNodes.node + nxIdx::Entries + pair, aNodes.node + nxIdx::Entries,
                 static_cast<std::size_t>(aNodes.count) * pair + 4);
    SetChild(aNodes.node, 0, Child(aNodes.sib, aNodes.sc));
    std::memcpy(NodeKey(aNodes.node, 0), NodeKey(aNodes.parent, aNodes.out - 1), ieNodeKeyLength);
    std::memcpy(NodeKey(aNodes.parent, aNodes.out - 1), NodeKey(aNodes.sib, aNodes.sc - 1), ieNodeKeyLength);
  } else {
    SetChild(aNodes.node, aNodes.count + 1, Child(aNodes.sib, 0));
    std::memcpy(NodeKey(aNodes.node, aNodes.count), NodeKey(aNodes.parent, aNodes.out), ieNodeKeyLength);
    std::memcpy(NodeKey(aNodes.parent, aNodes.out), NodeKey(aNodes.sib, 0), ieNodeKeyLength);
    std::memmove(aNodes.sib + nxIdx::Entries, aNodes.sib + nxIdx::Entries + pair, static_cast<std::size_t>(aNodes.sc - 1) * pair + 4);
  }
  nxsePutU16(aNodes.node + nxIdx::Count, static_cast<std::uint16_t>(aNodes.count + 1));
  nxsePutU16(aNodes.sib + nxIdx::Count, static_cast<std::uint16_t>(aNodes.sc - 1));
}

// Appends the parent's separator and the right node of the pair to the left
// one, drops the separator from the parent and frees the emptied node.
void TnxStaticKeyBstarTreeIndexEngine::MergeInternalNodes(Op& aOp, Underfull& aNodes) {
  const std::uint32_t pair = ieSizeOfInternalNodeKeyPair;
  const std::int32_t maxI = ieMaxInternalNodeKeyCount;
  PnxBlock receiver = aNodes.left ? aNodes.sib : aNodes.node, donor = aNodes.left ? aNodes.node : aNodes.sib;
  const TnxBlockNumber donorBlock = aNodes.left ? aNodes.block : aNodes.sibBlock;
  if (!aNodes.left) ++aNodes.out;
  const std::int32_t rc = nxseGetU16(receiver + nxIdx::Count), dc = nxseGetU16(donor + nxIdx::Count);
  if (rc + dc + 1 > maxI) return;
  std::memcpy(NodeKey(receiver, rc), NodeKey(aNodes.parent, aNodes.out - 1), ieNodeKeyLength);
  std::memcpy(receiver + nxIdx::Entries + static_cast<std::size_t>(rc + 1) * pair, donor + nxIdx::Entries,
              static_cast<std::size_t>(dc) * pair + 4);
  nxsePutU16(receiver + nxIdx::Count, static_cast<std::uint16_t>(rc + dc + 1));
  DeleteFromNode(aOp, nullptr, aNodes.out - 1, aNodes.parentBlock);
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
    PnxBlock node = nxReadIndexBlock(op.trans, bieIndexFile, op.Header()->FileHeader(), bseID, true, aBlock, release);
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
  aOp.Header()->FileHeader()->DeleteBlock(aOp.trans, node);
}

void TnxStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TnxBaseTransaction* aTrans) {
  Op op(this, aTrans, true, 0, 0, ieReleaseList.get());
  const TnxBlockNumber root = op.Root();
  op.Header()->SetIndexRoot(nxIdx::NoBlock);
  op.Header()->SetIndexPageCount(0);
  op.Header()->SetIndexKeyCount(0);
  if (root != nxIdx::NoBlock) FreeSubtree(op, root, 0);
}

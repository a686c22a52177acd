// The static-key B*-tree index engine ("nx1xDefault" in the index family)
// and its index path.
//
// Nodes are "NXIH" blocks (layout in nxsrIndexEngineBase.h) owned by the
// index. Internal node: P0 at 40, then per separator i the key Ki (the node
// key length) at 44 + i * pair followed by Pi+1; Ki is the largest entry of
// the subtree under Pi. Leaf: slot i at 40 + i * pair holds the key and,
// unless the keys are record references, the RefNr; the entries fill the
// window first .. first + count - 1 so a leaf grows both ways. Leaves form a
// doubly linked chain in key order. With duplicates (and keys that are not
// references) separators carry the RefNr, which orders equal keys.
//
// Every node field read from the file is checked before use (8962); a
// descent deeper than the page count and a leaf-chain walk longer than it
// are refused the same way.
//
// The keyless engines (nxseIndexEngineKeylessBstarTree) share this tree
// code: their entries hold only record references, so the geometry is that
// of 8-byte entries and every key of an entry comes through the key-supply
// hooks below instead of from the node.
//
// Writers are serialised per table (the scratch state below is per engine);
// readers use their own paths and locals.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nxsrIndexEngineBase.h"

NX_DECLARE_EXCEPTION(EnxStaticKeyBstarTreeIndexEngineException, EnxBaseIndexEngineException)

class TnxStaticKeyBstarTreeIndexEngine;
class TnxStaticKeyBstarTreeIndexBulkBuilder;

// What a leaf entry holds: a key and its RefNr, only a record reference
// (keyless), or a record reference ordered by the record's cache reference.
enum class TnxBstarTreeLayout : std::uint8_t { Keys, Refs, CacheRefs };

class TnxStaticKeyBstarTreeIndexPath : public TnxBaseIndexPath {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseIndexPath::TnxBaseIndexPath;

  void Clear() override;
  void Assign(TnxPersistent* aSource) override;

  TnxBlockNumber bpipPage = 0;
  std::int32_t bpipItem = 0;
  std::int64_t bpipIdentCounter = 0;
  TnxLSN bpipLSN = 0;

 protected:
  TnxBaseIndexPath* NewOfSameClass() override;
};

class TnxStaticKeyBstarTreeIndexEngine : public TnxBaseIndexEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxStaticKeyBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                   TnxBaseKeyEngine* aKeyEngine);
  ~TnxStaticKeyBstarTreeIndexEngine() override;

  // Raises the index file's block size until four separators and three
  // leaf entries fit; 15494 beyond 64 KB.
  static void CheckEngineDescriptor(TnxDictionaryItem* aDescriptor);

  TnxBaseIndexPath* CreateIndexPath() override;
  TnxBaseBulkBuilder* CreateBulkBuilder(TnxBaseTransaction* aTrans) override;
  void ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath) override;
  void DeleteAllKeys(TnxBaseTransaction* aTrans) override;
  void IndexNumberChanged(TnxBaseTransaction* aTrans) override;
  bool DeleteKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  bool InsertKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  bool FindKey(TnxBaseTransaction* aTrans, const void* aKey, std::int32_t aFieldCount, std::int32_t aPartialLen,
               TnxRefNr aRefNr, TnxBaseIndexPath* aPath, TnxSearchKeyAction aAction,
               TnxBaseFilterEngine* aKeyFilter) override;
  bool NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, TnxBaseFilterEngine* aKeyFilter) override;
  bool PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, TnxBaseFilterEngine* aKeyFilter) override;
  void GetKeyCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) override;
  void Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData,
               const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator, void* aCookie,
               const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
               TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData,
                       const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator, void* aCookie,
                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                       TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  TnxResult RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, const TnxRangeInfo& aRangeStart,
                     const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                     std::uint32_t& aRecNo, bool aFlipOrder) override;
  TnxResult RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxBaseIndexPath* aPath,
                     const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                     TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) override;
  TnxResult EstimateRecordCount(TnxBaseTransaction* aTrans, const TnxRangeInfo& aRangeStart,
                                const TnxRangeInfo& aRangeEnd, std::uint32_t& aRecordCount, bool aFlipOrder) override;
  std::int64_t SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) override;

  // Geometry.
  std::uint16_t ieDescKeyLength = 0;
  bool ieAddKeyRefsToKeys = false;
  std::uint16_t ieNodeKeyLength = 0;
  std::uint16_t ieSizeOfInternalNodeKeyPair = 0;
  std::uint16_t ieMaxInternalNodeKeyCount = 0;
  std::uint16_t ieSizeOfLeafNodeKeyPair = 0;
  std::uint16_t ieMaxLeafNodeKeyCount = 0;
  TnxBaseRecordEngine* ieRecordEngine = nullptr;
  bool ieIsCacheSeqAccess = false;
  std::vector<std::uint8_t> ieTempInsertKey;
  TnxBlockNumber ieTempInsertBlock = 0;
  TnxOwned<TnxReleaseList> ieReleaseList;
  // Statistics: stale paths repaired within their leaf and by a search.
  std::atomic<std::uint64_t> ieFastRepairs{0};
  std::atomic<std::uint64_t> ieSlowRepairs{0};
  TnxBstarTreeLayout ieLayout = TnxBstarTreeLayout::Keys;

  struct Op;

 protected:
  using Path = TnxStaticKeyBstarTreeIndexPath;
  friend class TnxStaticKeyBstarTreeIndexBulkBuilder;
  friend class TnxTreeBuilder;

  // The keyless engines: geometry of 8-byte entries, no cache-table rule and
  // no key-size limit.
  TnxStaticKeyBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                   TnxBaseKeyEngine* aKeyEngine, TnxBstarTreeLayout aLayout);
  bool Keyless() const { return ieLayout != TnxBstarTreeLayout::Keys; }
  // Capacities and entry sizes for the usable block size.
  void Geometry(std::uint32_t aUsable);

  // Key supply of reference-only entries. OpBegin binds the operation to
  // aPath (or a path of its own) for keys; OpEnd undoes it.
  virtual void OpBegin(Op& aOp, TnxBaseIndexPath* aPath);
  virtual void OpEnd(Op& aOp) noexcept;
  // Compares aKey with the key of the record aEntry; aTie receives the value
  // that orders equal keys (the reference or the record's cache reference).
  virtual std::int32_t CompareRefEntry(Op& aOp, const void* aKey, TnxRefNr aEntry, std::int32_t aFC,
                                       std::int32_t aPL, TnxRefNr& aTie);
  // The key of aEntry into aTarget's key (and its cache reference).
  virtual void LoadRefEntry(Op& aOp, TnxRefNr aEntry, TnxBaseIndexPath* aTarget);
  // The key of aEntry copied into aKey; aTie as above.
  virtual void CopyRefEntryKey(Op& aOp, TnxRefNr aEntry, std::vector<std::uint8_t>& aKey, TnxRefNr& aTie);
  // The cache reference a path known only by it stands for: its record.
  virtual TnxRefNr ResolveCacheRef(Op& aOp, TnxBaseIndexPath* aPath);

 private:
  enum class Mode : std::uint8_t { Key, KeyRef, NullDups, Partial, Action };
  struct Level {
    TnxBlockNumber block;
    std::int32_t index;
  };

  // Node access.
  PnxBlock Fetch(Op& aOp, TnxBlockNumber aBlock, bool aMarkDirty);
  [[noreturn]] void RaiseCorrupt(TnxBlockNumber aBlock);
  std::uint8_t* LeafKey(PnxBlock aNode, std::int32_t aSlot) const {
    return aNode + nxIdx::Entries + static_cast<std::uint32_t>(aSlot) * ieSizeOfLeafNodeKeyPair;
  }
  TnxRefNr LeafRef(PnxBlock aNode, std::int32_t aSlot) const;
  std::uint8_t* NodeKey(PnxBlock aNode, std::int32_t aIndex) const {
    return aNode + 44 + static_cast<std::uint32_t>(aIndex) * ieSizeOfInternalNodeKeyPair;
  }
  TnxRefNr NodeRef(PnxBlock aNode, std::int32_t aIndex) const;
  TnxBlockNumber Child(PnxBlock aNode, std::int32_t aIndex) const;
  void SetChild(PnxBlock aNode, std::int32_t aIndex, TnxBlockNumber aBlock) const;
  PnxBlock NewNode(Op& aOp, bool aLeaf);
  PnxBlock NewNodeBlock(TnxBaseIndexHeaderAccess* aHeader, TnxBaseTransaction* aTrans, bool aLeaf,
                        TnxReleaseMethod& aRelease);
  void FreeNode(Op& aOp, TnxBlockNumber aBlock);

  // Searches.
  bool SearchNode(Op& aOp, PnxBlock aNode, Mode aMode, const void* aKey, TnxRefNr aRefNr, TnxSearchKeyAction aAction,
                  std::int32_t aFC, std::int32_t aPL, std::int32_t& aPos);
  TnxBlockNumber DescendToLeaf(Op& aOp, Mode aMode, const void* aKey, TnxRefNr aRefNr, TnxSearchKeyAction aAction,
                               std::vector<Level>* aLevels);
  bool InternalFindKey(Op& aOp, TnxBaseFilterEngine* aKeyFilter, TnxSearchKeyAction aAction, Path* aPath,
                       TnxRefNr aRefNr, const void* aKey);
  void TakeEntry(Op& aOp, Path* aPath, PnxBlock aLeaf, TnxBlockNumber aBlock, std::int32_t aSlot,
                 const void* aKnownKey = nullptr);
  TnxRefNr EntryTie(Op& aOp, Path* aPath);
  void ReadPathKey(Op& aOp, Path* aPath);
  bool StepNext(Op& aOp, Path* aPath, TnxBaseFilterEngine* aKeyFilter);
  bool StepPrior(Op& aOp, Path* aPath, TnxBaseFilterEngine* aKeyFilter);
  bool Accept(TnxBaseFilterEngine* aKeyFilter, const void* aKey);
  void Validate(Op& aOp, Path* aPath);

  // Changes.
  void WriteLeafEntry(PnxBlock aLeaf, std::int32_t aSlot, const void* aKey, TnxRefNr aRefNr) const;
  void InsertIntoLeaf(Op& aOp, PnxBlock aLeaf, TnxBlockNumber aBlock, std::int32_t aPos, const void* aKey, TnxRefNr aRefNr,
                      Path* aPath);
  std::vector<Level> FindParents(Op& aOp, const std::uint8_t* aEntry, bool aLeaf, TnxBlockNumber aTarget);

  // Deletion from a node, step by step: remove the entry, keep the parent's
  // separator and the path right, shrink an emptied root, and refill a node
  // left below half full from a sibling or merge the two.
  struct Removal {
    std::int32_t first = 0, count = 0;  // the node's entries after the removal
    bool wasLast = false;
    std::vector<std::uint8_t> removed;  // a leaf's removed entry
  };
  // An underfull node, its parent (out: the node's index in it) and the
  // sibling (sf, sc: its first entry and count) it borrows from or merges with.
  struct Underfull {
    PnxBlock node = nullptr;
    TnxBlockNumber block = 0;
    std::int32_t first = 0, count = 0;
    PnxBlock parent = nullptr;
    TnxBlockNumber parentBlock = 0;
    std::int32_t out = 0;
    PnxBlock sib = nullptr;
    TnxBlockNumber sibBlock = 0;
    std::int32_t sf = 0, sc = 0;
    bool left = false;      // the sibling is the left one
    bool pathHere = false;  // the path stands in the node
  };
  void DeleteFromNode(Op& aOp, Path* aPath, std::int32_t aIndex, TnxBlockNumber aBlock);
  Removal RemoveEntry(Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock, std::int32_t aIndex);
  void ReplaceSeparator(Op& aOp, TnxBlockNumber aLeafBlock, const std::uint8_t* aRemoved, const std::uint8_t* aNewLast);
  static void SyncPathToLeaf(Path* aPath, PnxBlock aLeaf, TnxBlockNumber aLeafBlock);
  static void PlacePathAtCrack(Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock, std::int32_t aEnd);
  void ShrinkRoot(Op& aOp, Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock, bool aLeaf);
  Underfull FindSibling(Op& aOp, Path* aPath, PnxBlock aNode, TnxBlockNumber aBlock, bool aLeaf, std::int32_t aFirst,
                        std::int32_t aCount);
  void BorrowLeafEntries(Path* aPath, Underfull& aNodes);
  void MergeLeaves(Op& aOp, Path* aPath, Underfull& aNodes);
  void BorrowInternalEntry(Underfull& aNodes);
  void MergeInternalNodes(Op& aOp, Underfull& aNodes);
  void MoveLeafEntries(PnxBlock aLeaf, std::int32_t aFrom, std::int32_t aCount, std::int32_t aTo) const;
  void FreeSubtree(Op& aOp, TnxBlockNumber aBlock, std::uint32_t aDepth);

  // Ranges.
  Path* AsPath(TnxBaseIndexPath* aPath) const;
  TnxBaseFilterEngine* ActiveOrNil(TnxBaseFilterEngine* aFilter) const;
  bool PlaceRange(Op& aOp, const TnxRangeInfo& aRange, bool aStart, Path* aPath, TnxBaseFilterEngine* aKeyFilter);
  std::int32_t CompareRange(const TnxRangeInfo& aRange, const void* aKey);
  void IterateDirection(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData,
                        const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator, void* aCookie,
                        const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                        TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition, bool aBackward);
  bool RecordPasses(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter);
  std::int32_t ComparePaths(Path* aA, Path* aB);
};

void nxseIndexEngineStaticKeyBstarTreeInitialize();
void nxseIndexEngineStaticKeyBstarTreeFinalize();

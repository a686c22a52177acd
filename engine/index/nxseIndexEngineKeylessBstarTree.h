// The keyless B*-tree index engine ("KeylessBStarTree" in the index family),
// its index path and the path's key cache.
//
// Nodes are the "NXIH" nodes of the static-key tree with 8-byte entries: a
// leaf slot holds a record reference, a separator the reference of a record
// with an entry in the index. Capacities follow from the block size alone:
// (usable - 40) div 8 leaf entries, (usable - 44) div 12 separators. The
// tree code is the static-key engine's; only the key supply differs: the key
// of an entry is the key the indices engine holds for the record under
// change (same transaction and reference), or else built from the record
// through the operation's path, which keeps it in its key cache.
//
// Key cache: a red-black tree ordered by reference (signed 64-bit), nodes
// from one process-wide pool. It lives from the outermost BeginUse to the
// matching EndUse of its path, and holds at most KeyCacheLimit nodes: a
// creation beyond that empties it first (the keys are built again when asked
// for). A key pointer handed out stays valid until the next call that may
// create a node.
//
// A path, its cache and its binding belong to one thread and one
// transaction at a time; BeginUse asserts this.
#pragma once

#include <atomic>
#include <cstdint>

#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndexEngineStaticKeyBstarTreeBulk.h"

NX_DECLARE_EXCEPTION(EnxKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException)

class TnxKeylessBstarTreeIndexPath;

struct TnxCacheNode {
  TnxRefNr cnKeyRef;
  TnxRefNr cnCacheKeyRef;  // the record's cache reference; 0 until the key is built
  PnxKeyBuffer cnKey;
  TnxCacheNode* cnParent;
  TnxCacheNode* cnLeft;
  TnxCacheNode* cnRight;
  bool cnIsBlack;
};

class TnxKeylessBstarTreeIndexKeyCache : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::int32_t KeyCacheLimit = 4096;

  explicit TnxKeylessBstarTreeIndexKeyCache(TnxKeylessBstarTreeIndexPath* aPath) : kcPath(aPath) {}
  ~TnxKeylessBstarTreeIndexKeyCache() override;
  TnxKeylessBstarTreeIndexKeyCache(const TnxKeylessBstarTreeIndexKeyCache&) = delete;
  TnxKeylessBstarTreeIndexKeyCache& operator=(const TnxKeylessBstarTreeIndexKeyCache&) = delete;

  // The node of aRefNr; nil when there is none and aDontCreate.
  TnxCacheNode* GetNodeForRef(TnxRefNr aRefNr, bool aDontCreate);
  void Clear() noexcept;
  std::int32_t Count() const { return kcCount; }

  // Live nodes of all caches and their peak (the node pool's statistics).
  static std::int64_t NodesInUse();
  static std::int64_t PeakNodesInUse();
  static void ResetPeak();

  TnxKeylessBstarTreeIndexPath* kcPath;
  TnxCacheNode* kcRoot = nullptr;

 private:
  void Rotate(TnxCacheNode* aNode, bool aLeft);
  std::int32_t kcCount = 0;
};

class TnxKeylessBstarTreeIndexPath : public TnxStaticKeyBstarTreeIndexPath {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine);
  ~TnxKeylessBstarTreeIndexPath() override;

  void BeginUse(TnxBaseTransaction* aTrans);
  void EndUse() noexcept;
  // Builds the key of record aRefNr into aKey (allocated when nil); 15520
  // when the key cannot be built; aCacheRefNr receives the record's cache
  // reference (0 without one).
  void BuildEntryKey(PnxKeyBuffer& aKey, TnxRefNr aRefNr, TnxRefNr& aCacheRefNr);
  // The key of aRefNr from the cache; without a node (aDontCreate) built
  // into the temporary key, which the next such call overwrites.
  const void* GetEntryKey(TnxRefNr aRefNr, bool aDontCreate, TnxRefNr& aCacheRefNr);
  void LoadEntryKey(TnxRefNr aRefNr, void* aTarget, TnxRefNr& aCacheRefNr);
  std::int32_t CompareEntry(const void* aKey, TnxRefNr aRefNr, TnxRefNr& aCacheRefNr) {
    return CompareEntryPartial(aKey, aRefNr, 0, 0, aCacheRefNr);
  }
  std::int32_t CompareEntryPartial(const void* aKey, TnxRefNr aRefNr, std::int32_t aFieldCount,
                                   std::int32_t aPartialLen, TnxRefNr& aCacheRefNr);

  PnxKeyBuffer bpipTempKey = nullptr;
  std::int32_t bpipCacheCount = 0;
  TnxOwned<TnxKeylessBstarTreeIndexKeyCache> bpipCache;
  TnxBaseTransaction* bpipTrans = nullptr;
  TnxBaseKeyEngine* bpipKeyEngine;
  TnxBaseRecordEngine* bpipRecordEngine;
  std::int32_t bpipRefNrOffset = -1;  // the record's cache reference field, -1 without one
  // Statistics: keys built from records.
  std::uint64_t bpipKeysBuilt = 0;

 protected:
  TnxBaseIndexPath* NewOfSameClass() override;

 private:
  void AssertInUse() const;
  TnxRefNr ReadCacheRef(PnxRecordBuffer aRecord) const;
};

class TnxKeylessBstarTreeIndexEngine : public TnxStaticKeyBstarTreeIndexEngine {
  PL_CLASS_INFO_DECL()
 public:
  // 12289 without a record engine or for a cache table.
  TnxKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine);
  // Neither raises the block size nor limits the key length.
  static void CheckEngineDescriptor(TnxDictionaryItem* aDescriptor);

  TnxBaseIndexPath* CreateIndexPath() override;
  TnxBaseBulkBuilder* CreateBulkBuilder(TnxBaseTransaction* aTrans) override;
  std::int64_t SeqAccessLookup(TnxBaseTransaction*, TnxRefNr, TnxBaseIndexPath*) override { return 0; }

 protected:
  TnxKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                 TnxBaseKeyEngine* aKeyEngine, TnxBstarTreeLayout aLayout);
  void OpBegin(Op& aOp, TnxBaseIndexPath* aPath) override;
  void OpEnd(Op& aOp) noexcept override;
  std::int32_t CompareRefEntry(Op& aOp, const void* aKey, TnxRefNr aEntry, std::int32_t aFC, std::int32_t aPL,
                               TnxRefNr& aTie) override;
  void LoadRefEntry(Op& aOp, TnxRefNr aEntry, TnxBaseIndexPath* aTarget) override;
  void CopyRefEntryKey(Op& aOp, TnxRefNr aEntry, std::vector<std::uint8_t>& aKey, TnxRefNr& aTie) override;

  TnxKeylessBstarTreeIndexPath* KeyPath(Op& aOp);
  // The record under change: its key stands for it while it is not stored.
  bool IsCurrent(Op& aOp, TnxRefNr aEntry) const;
  TnxRefNr Tie(TnxRefNr aEntry, TnxRefNr aCacheRefNr) const {
    return ieLayout == TnxBstarTreeLayout::CacheRefs ? aCacheRefNr : aEntry;
  }
};

class TnxKeylessBstarTreeIndexBulkBuilder : public TnxStaticKeyBstarTreeIndexBulkBuilder {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStaticKeyBstarTreeIndexBulkBuilder::TnxStaticKeyBstarTreeIndexBulkBuilder;
};

void nxseIndexEngineKeylessBstarTreeInitialize();
void nxseIndexEngineKeylessBstarTreeFinalize();

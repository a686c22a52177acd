// Bulk building of an empty B*-tree index from all records of a table.
//
// Keys are collected as items in 4 MB scratch blocks of the buffer manager
// (containers); an item is the key at byte 0 and the RefNr (signed 64-bit,
// little-endian) in its last 8 bytes, key length + 8 rounded up to 16
// bytes. A full container is sorted in place and unlocked, so the cache may
// move it to the temporary storage. Finalize groups the sorted containers
// into runs of ascending items, merges the two shortest runs until two are
// left and streams the last merge into the tree builder, which writes the
// leaves and the internal levels bottom-up, each filled to about 80 %, with
// no splits. Every forbidden duplicate is met by a comparison on the way and
// fails the build with 9729 ("BulkCreate").
//
// Ownership: the builder owns every container it made (also those only
// reachable through runs while merging) and frees what is left when it is
// destroyed or a step fails. At most three containers are locked at a time
// while merging. A builder belongs to one transaction and one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "nxseIndexEngineStaticKeyBstarTree.h"

class TnxKeyContainer;
class TnxTreeBuilder;

struct TnxStaticKeyBstarTreeIndexBulkBuilderHead {
  TnxKeyContainer* bsibbhCurrentContainer = nullptr;  // newest; kcNext leads to older ones
  std::int32_t bsibbhContainerCount = 0;
};

class TnxStaticKeyBstarTreeIndexBulkBuilder : public TnxBaseIndexBulkBuilder {
  PL_CLASS_INFO_DECL()
 public:
  // 15511 for an index that is not empty.
  TnxStaticKeyBstarTreeIndexBulkBuilder(TnxBaseTransaction* aTrans, TnxStaticKeyBstarTreeIndexEngine* aIndexEngine);
  ~TnxStaticKeyBstarTreeIndexBulkBuilder() override;

  TnxResult InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord, TnxBaseTransaction* aTrans) override;
  TnxResult Finalize(TnxBaseTransaction* aTrans) override;

  // Item order: key, then RefNr where duplicates are allowed; a forbidden
  // duplicate raises EnxBaseBulkBuilder with 9729.
  std::int32_t CompareItems(const std::uint8_t* aA, const std::uint8_t* aB);
  static TnxRefNr ItemRefNr(const std::uint8_t* aItem, std::int32_t aItemLength);

  TnxBufferManager* bsibbBufferManager;
  TnxStaticKeyBstarTreeIndexEngine* bsibbIndexEngine;
  TnxStaticKeyBstarTreeIndexBulkBuilderHead bsibbDefaultHead;
  std::int32_t bsibbKeyLength;
  std::int32_t bsibbKeysPerContainer;
  std::uint32_t bsibbTotalKeyCount = 0;
  TnxTreeBuilder* bsibbTreeBuilder = nullptr;
  // Statistics of the last Finalize: runs formed and intermediate merges.
  std::int32_t bsibbRunCount = 0;
  std::int32_t bsibbMergeCount = 0;

 private:
  friend class TnxKeyContainer;
  using Run = std::vector<TnxKeyContainer*>;
  Run TakeChain();
  void MergeRuns(TnxKeyContainer* aA, TnxKeyContainer* aB);
  void EmitKey(const std::uint8_t* aItem);
  std::int32_t CompareRuns(const Run& aA, const Run& aB);
  void FreeAll() noexcept;

  std::vector<TnxKeyContainer*> bsibbLive;  // every container not yet freed
};

// One scratch block of items.
class TnxKeyContainer : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Links itself at aHead (whose current container must be closed) and
  // creates and locks its scratch block.
  TnxKeyContainer(TnxStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TnxStaticKeyBstarTreeIndexBulkBuilderHead* aHead);
  ~TnxKeyContainer() override;
  TnxKeyContainer(const TnxKeyContainer&) = delete;
  TnxKeyContainer& operator=(const TnxKeyContainer&) = delete;

  virtual bool NeedsSort() const { return true; }
  virtual TnxKeyContainer* NewOfSameClass();

  TnxResult InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord);
  void InsertMergedKey(const std::uint8_t* aItem);
  void Lock();
  void Unlock();
  // Empty: unlinked and freed (false). Otherwise sorted when needed, first
  // and last item copied, unlocked (true).
  bool Close();
  bool Locked() const { return kcScratchPointer != nullptr; }

  // REQUIRES: locked and 0 <= aIndex < kcKeyCount.
  std::uint8_t* kcGetKey(std::int32_t aIndex) {
    return static_cast<std::uint8_t*>(kcScratchPointer) + static_cast<std::size_t>(aIndex) * Length();
  }
  TnxRefNr kcGetRefNr(std::int32_t aIndex) {
    return TnxStaticKeyBstarTreeIndexBulkBuilder::ItemRefNr(kcGetKey(aIndex), Length());
  }

  TnxKeyContainer* kcNext = nullptr;
  TnxStaticKeyBstarTreeIndexBulkBuilder* kcBulkIndexer;
  TnxStaticKeyBstarTreeIndexBulkBuilderHead* kcHead;
  TnxScratchBlockHandle kcScratchHandle = 0;
  void* kcScratchPointer = nullptr;
  std::uint8_t* kcCurrentPointer = nullptr;
  std::int32_t kcKeyCount = 0;
  std::vector<std::uint8_t> kcFirstKey, kcLastKey;  // empty until closed

 private:
  std::int32_t Length() const { return kcBulkIndexer->bsibbKeyLength; }
  void Sort();
  void Swap(std::int32_t aI, std::int32_t aJ);
  bool kcHasScratch = false;
};

// Receives items in ascending order from a merge.
class TnxPreSortedKeyContainer : public TnxKeyContainer {
  PL_CLASS_INFO_DECL()
 public:
  using TnxKeyContainer::TnxKeyContainer;
  bool NeedsSort() const override { return false; }
  TnxKeyContainer* NewOfSameClass() override;
};

// Writes the tree bottom-up from items in ascending order.
class TnxTreeBuilder : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxTreeBuilder(TnxStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TnxBaseTransaction* aTrans);
  ~TnxTreeBuilder() override;
  TnxTreeBuilder(const TnxTreeBuilder&) = delete;
  TnxTreeBuilder& operator=(const TnxTreeBuilder&) = delete;

  void InsertKey(const std::uint8_t* aItem);
  void Finalize();

  struct Level {
    TnxPinnedBlock tbciNode;
    std::uint32_t tbciTotalNodes = 0;
    std::uint32_t tbciTotalKeys = 0;
    double tbciTotalKeysPerPage = 0;
    std::uint32_t tbciNodes = 0;
    std::uint32_t tbciKeys = 0;
    double tbciKeysPerPage = 0;
  };

  TnxStaticKeyBstarTreeIndexBulkBuilder* tbBulkIndexer;
  TnxStaticKeyBstarTreeIndexEngine* tbIndexEngine;
  TnxBaseTransaction* tbTrans;
  TnxOwned<TnxBaseIndexHeaderAccess> tbIndexHeaderAccess;
  std::uint16_t tbInternalNodeKeyCount = 0;
  std::uint16_t tbLeafNodeKeyCount = 0;
  std::uint16_t tbInternalNodeFirstKey = 0;
  std::uint16_t tbLeafNodeFirstKey = 0;
  TnxPinnedBlock tbCurrentLeafNode;
  std::uint32_t tbTotalLeafNodes = 0;
  double tbTotalLeafKeysPerPage = 0;
  std::uint32_t tbCurrentLeafNodes = 0;
  std::uint32_t tbCurrentLeafKeys = 0;
  double tbCurrentLeafKeysPerPage = 0;
  std::vector<Level> tbCurrentInternal;

 private:
  void PlanLevels(std::uint32_t aBelow);
  void AddSeparator(std::size_t aLevel, TnxBlockNumber aLeft, TnxBlockNumber aRight, const std::uint8_t* aKey);
  void ReleaseAll() noexcept;
};

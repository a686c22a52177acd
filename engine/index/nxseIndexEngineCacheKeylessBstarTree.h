// The cache-keyless B*-tree index engine ("CacheKeylessBstarTree" in the
// index family): the keyless tree for cache tables. Leaves hold the cache
// table's record references; equal keys are ordered by the record's cache
// reference (its nxtRefNr field as stored), not by the record reference. A
// path known only by its cache reference finds its record through the
// table's "Sequential Access Index", which must come before this index.
#pragma once

#include "nxseIndexEngineKeylessBstarTree.h"

NX_DECLARE_EXCEPTION(EnxCacheKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException)

class TnxCacheKeylessBstarTreeIndexPath : public TnxKeylessBstarTreeIndexPath {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxCacheKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine);

  TnxOwned<TnxBaseIndexPath> bpipSeqAccessPath;

 protected:
  TnxBaseIndexPath* NewOfSameClass() override;
};

class TnxCacheKeylessBstarTreeIndexEngine : public TnxKeylessBstarTreeIndexEngine {
  PL_CLASS_INFO_DECL()
 public:
  // 12289 for a table that is no cache table, one without an nxtRefNr field,
  // without a sequential access index or without a record engine.
  TnxCacheKeylessBstarTreeIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                      TnxBaseKeyEngine* aKeyEngine);

  TnxBaseIndexPath* CreateIndexPath() override;
  // Key by key through InsertKey.
  TnxBaseBulkBuilder* CreateBulkBuilder(TnxBaseTransaction* aTrans) override;

  TnxBaseIndexEngine* ieSeqIndexEngine = nullptr;
  std::int32_t ieRefNrOffset = -1;

 protected:
  TnxRefNr ResolveCacheRef(Op& aOp, TnxBaseIndexPath* aPath) override;
};

void nxseIndexEngineCacheKeylessBstarTreeInitialize();
void nxseIndexEngineCacheKeylessBstarTreeFinalize();

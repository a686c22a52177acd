// The simple indices engine ("nx1xDefault" in the indices family): per file
// of the table a 4-byte header section (named by the indices descriptor:
// "Indices", "InternalIndices", "Fulltext$Indices") holding the block number
// of that file's index header block, -1 while the file has none. The header
// block keeps, by table-wide index number, the key length, key count, root
// and page count of every index (layout in nxsrIndexEngineBase.h).
#pragma once

#include <cstdint>
#include <vector>

#include "nxsrIndexEngineBase.h"

NX_DECLARE_EXCEPTION(EnxSimpleIndicesEngineException, EnxBaseIndicesEngineException)

class TnxSimpleIndicesEngine : public TnxBaseIndicesEngine {
  PL_CLASS_INFO_DECL()
 public:
  // With aTrans the index structures are created; without, an existing
  // table is opened and every index header is verified (8961).
  TnxSimpleIndicesEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                         TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans, bool aAddToExisting);

  void InitIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) override;
  void RemoveIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) override;
  TnxIndexHeaderAccessCreate HeaderAccessClass() override;
  void VerifyIndexHeader(std::int32_t aIndex);

  std::vector<std::uint16_t> ineHeaderSection;
};

class TnxSimpleIndicesHeaderAccess : public TnxBaseIndexHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  TnxSimpleIndicesHeaderAccess(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndex, bool aFileMarkDirty,
                               bool aIndexMarkDirty, std::int32_t aFieldCount, std::int32_t aPartialLen);
  ~TnxSimpleIndicesHeaderAccess() override;

  TnxBlockNumber GetIndexRoot() override;
  void SetIndexRoot(TnxBlockNumber aValue) override;
  std::uint32_t GetIndexPageCount() override;
  void SetIndexPageCount(std::uint32_t aValue) override;
  std::uint32_t GetIndexKeyCount() override;
  void SetIndexKeyCount(std::uint32_t aValue) override;
  TnxLSN GetIndexLSN() override;

  std::uint16_t haHeaderSection;
  TnxPinnedBlock haInxBlock;

 private:
  std::uint8_t* Entry(std::uint32_t aArray, std::uint32_t aWidth);
};

void nxseIndicesEngineSimpleInitialize();
void nxseIndicesEngineSimpleFinalize();

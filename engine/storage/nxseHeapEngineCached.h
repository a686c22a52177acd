// The heap ("nx1xDefault" in the Heap family) with an in-memory copy of its
// directory of data blocks.
//
// Data block "NXHD": the block common header, the owner's fields (the
// header handler's GetDataBlockHeaderSize - 16 bytes), then the slotted area
// of the block heap engine. Every data block carries the heap's ID.
// Management block "NXHM" (LE): 16 u32 next management block (0 ends the
// chain), 20 u16 entry count, 22 entries of {u32 data block, u16 free
// space}, unused entries zero. The chain starts at the owner's header
// section (GetFirstManagementBlock); blocks are appended at its end.
// A data block is listed exactly while it holds segments and its free space
// (the block heap's GetFreespace) is at least heCutoffSize; the listed value
// equals that free space after every change (BlockHeapChanged).
//
// Placement looks only at the listed block with the most free space, else
// makes a new data block. Trailing empty management blocks are dropped.
//
// The in-memory copy (heManagmentBlocks and the two sorted position lists)
// is loaded on first use and dropped by Rollback of the transaction that
// changed it. Counts, links and entries read from management blocks are
// checked against heMaxEntries and the file before use (8962); the chain
// walk stops after as many steps as the file has blocks.
// No locks: one transaction at a time changes a heap.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "nxsrHeapEngineBase.h"

NX_DECLARE_EXCEPTION(EnxCachedHeapEngineException, EnxBaseHeapEngineException)

struct TnxHeapDataBlockInfo {
  std::uint32_t hdbiBlockNumber;
  std::uint16_t hdbiFreeSpace;
};

struct TnxHeapManagmentBlockInfo {
  std::uint32_t hmpiBlockNumber;
  std::vector<TnxHeapDataBlockInfo> hmpiBlockInfos;
};

using TnxHeapManagmentBlockInfos = std::vector<TnxHeapManagmentBlockInfo>;

// A position names one entry: (management block index shl 16) or entry
// index. The lists order positions by what the entries hold.
struct TnxHeapBlockKey {
  std::uint32_t hbkBlockNumber;
};

class TnxHeapBlockBlockNumberOrder {
 public:
  using is_transparent = void;
  explicit TnxHeapBlockBlockNumberOrder(const TnxHeapManagmentBlockInfos* aInfos) : hblInfos(aInfos) {}
  bool operator()(std::uint32_t aLeft, std::uint32_t aRight) const { return Block(aLeft) < Block(aRight); }
  bool operator()(std::uint32_t aLeft, TnxHeapBlockKey aRight) const { return Block(aLeft) < aRight.hbkBlockNumber; }
  bool operator()(TnxHeapBlockKey aLeft, std::uint32_t aRight) const { return aLeft.hbkBlockNumber < Block(aRight); }

 private:
  std::uint32_t Block(std::uint32_t aPosition) const {
    return (*hblInfos)[aPosition >> 16].hmpiBlockInfos[aPosition & 0xFFFF].hdbiBlockNumber;
  }
  const TnxHeapManagmentBlockInfos* hblInfos;
};

class TnxHeapBlockFreeSpaceOrder {
 public:
  explicit TnxHeapBlockFreeSpaceOrder(const TnxHeapManagmentBlockInfos* aInfos) : hblInfos(aInfos) {}
  bool operator()(std::uint32_t aLeft, std::uint32_t aRight) const {
    const TnxHeapDataBlockInfo& l = Info(aLeft);
    const TnxHeapDataBlockInfo& r = Info(aRight);
    return l.hdbiFreeSpace != r.hdbiFreeSpace ? l.hdbiFreeSpace < r.hdbiFreeSpace
                                              : l.hdbiBlockNumber < r.hdbiBlockNumber;
  }

 private:
  const TnxHeapDataBlockInfo& Info(std::uint32_t aPosition) const {
    return (*hblInfos)[aPosition >> 16].hmpiBlockInfos[aPosition & 0xFFFF];
  }
  const TnxHeapManagmentBlockInfos* hblInfos;
};

class TnxCachedHeapEngine : public TnxBaseHeapEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxCachedHeapEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                      TnxHeapHeaderHandler* aHeaderHandler);

  void BlockHeapChanged(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                        std::uint16_t aRecoverableSpace) override;
  TnxHeapRef AllocSegment(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces) override;
  TnxHeapRef AllocSegmentEx(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces, std::uint16_t aMinSize,
                            std::uint16_t& aSize, std::uint16_t aHeaderSize, std::uint16_t aItemSize,
                            bool aNoSplit) override;
  TnxHeapRef ReAllocSegmentEx(TnxBaseTransaction* aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                              std::span<const TnxHeapPiece> aPieces, std::uint16_t aMinSize, std::uint16_t& aSize,
                              std::uint16_t aHeaderSize, std::uint16_t aItemSize, bool aNoSplit) override;
  std::uint8_t* GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty,
                           std::uint16_t& aSegmentSize, PnxBlock& aBlock, TnxReleaseMethod& aReleaseMethod) override;
  PnxBlock ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                         TnxReleaseMethod& aReleaseMethod) override;
  void Rollback(TnxBaseTransaction* aTrans) override;
  void IncHeapRef(TnxHeapRef& aHeapRef) override;
  const char* SigDataBlock() override { return "NXHD"; }

  // Loads the in-memory copy of the management chain when needed.
  void LoadManagementBlocks();

  std::uint16_t heMaxEntries;
  std::uint16_t heCutoffSize = 40;
  bool heManagmentBlocksLoaded = false;
  TnxHeapManagmentBlockInfos heManagmentBlocks;
  std::uint16_t heFirstNonFullIndex = 0xFFFF;
  std::set<std::uint32_t, TnxHeapBlockBlockNumberOrder> heByBlockNumber;
  std::set<std::uint32_t, TnxHeapBlockFreeSpaceOrder> heByFreeSpace;
  TnxBaseTransaction* heCurrentTrans = nullptr;

 private:
  PnxBlock ReadHeapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, const char (&aSig)[5],
                         bool aMarkDirty, TnxReleaseMethod& aReleaseMethod);
  void NewDataBlock(TnxBaseTransaction* aTrans, TnxPinnedBlock& aPin);
  void FreeDataBlock(PnxBlock aBlock);
  std::uint32_t NewManagementBlock();
  void DropEmptyManagementBlocks();
  void ClearCache();
  void RecomputeFirstNonFull();
  // The largest listed block that can take a segment between aMinSize and
  // aTotal bytes (aTotal shrinks to its free space unless aNoSplit), or 0.
  TnxBlockNumber PickListedBlock(std::uint32_t& aTotal, std::uint32_t aMinSize, bool aNoSplit, TnxBlockNumber aExclude);
  [[noreturn]] void RaiseCorrupt(TnxBlockNumber aBlock, const char16_t* aWhat);
};

// Registers the heap under "nx1xDefault" in the Heap family (module
// start-up; the block heap module registers its own engine).
void nxseHeapEngineCachedInitialize();
void nxseHeapEngineCachedFinalize();

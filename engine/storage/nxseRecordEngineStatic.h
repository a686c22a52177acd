// The static record engine ("nx1xDefault" and "Static" in the record
// family): records of one length in fixed slots of data blocks, addressed by
// RefNr = (data block number << 32) | slot (slots count from 1).
//
// Header section (20 bytes): record count, first and last data block,
// free slots in the blocks of the free-slot list, first block of that list
// (0 = none); the free-slot count is 0 exactly when the list is empty.
// Data block "NXDH" (little-endian): 16 next data block, 20 previous, 24
// next block of the free-slot list, 28 u16 first free slot (0 = full), 30
// u16 slots in use, 32 in-use bitmap (slot n = bit n-1), slots at the end of
// the usable area. A free slot's first 4 bytes hold the next free slot of
// its block. Data blocks are never returned to the file.
// Counts, slot numbers and links read from a block are checked against the
// geometry and the file before use (8962); a chain longer than the file is a
// cycle. The engine runs within one transaction of one table at a time.
#pragma once

#include <cstdint>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxStaticRecordEngineException, EnxBaseRecordEngineException)

class TnxStaticRecordEngine : public TnxBaseRecordEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxStaticRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);

  // The smallest block size whose usable size holds a record and 33 bytes;
  // 15495 when none does. Raises the record file's block size to it.
  static void CheckEngineDescriptor(TnxDictionaryItem* aTable);

  void AddRecord(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) override;
  void DeleteRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
  void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) override;
  void UpdateRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                    PnxRecordBuffer aOldRecord) override;
  void GetRecordCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) override;
  void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData, const TnxRecordIterator& aIterator,
               void* aCookie, TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                       const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  TnxResult RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo,
                     bool aFlipOrder) override;
  TnxResult RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter,
                     bool aFlipOrder) override;
  TnxResult RecNoGetBackward(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                             std::uint32_t& aRecNo);
  TnxResult RecNoSetBackward(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                             TnxBaseFilterEngine* aFilter);
  std::int32_t GetRecoverID() override;
  TnxRecordIteratorResult RecoverIterate(PnxBlock aBlock, TnxBlockNumber aBlockNumber, PPnxRecordBuffer aData,
                                         const TnxRecordIterator& aIterator, void* aCookie) override;
  TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PPnxRecordBuffer aData,
                                               const TnxRecordIterator& aIterator, void* aCookie,
                                               TnxBaseFilterEngine* aFilter) override;
  void ReplaceAllRecords(TnxBaseTransaction* aTrans, const TnxGetRecordCallback& aCallback) override;

  std::uint16_t reHeaderSection = 0;
  bool reDeleteBlocks = false;
  std::uint16_t reRecsPerBlock = 0;
  std::uint16_t reInUseArraySize = 0;
  std::uint16_t reRecordLength = 0;
  std::uint16_t reFirstRecordOffset = 0;
  bool reFileIsV1 = false;

 private:
  struct Block;
  void ValidateRefNr(TnxBaseTransaction* aTrans, TnxRefNr aRefNr);
  // aInRange: the caller has just checked aBlock against the used blocks.
  void FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty, Block& aResult,
                  bool aInRange = false);
  std::uint32_t UsedBlocks(TnxBaseTransaction* aTrans);
  std::uint8_t* Slot(PnxBlock aBlock, std::uint32_t aSlot) const {
    return aBlock + reFirstRecordOffset + (aSlot - 1) * reRecordLength;
  }
  TnxBlockNumber Link(TnxBaseTransaction* aTrans, PnxBlock aBlock, std::uint32_t aOffset);
  void NewDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess, std::uint8_t* aSection,
                    Block& aResult);
  [[noreturn]] void RaiseDeleted(TnxRefNr aRefNr);
  [[noreturn]] void RaiseBlock(TnxBlockNumber aBlock);
  void CheckFreeSlots(std::uint8_t* aSection);
  void Walk(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData, const TnxRecordIterator& aIterator,
            void* aCookie, TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst, bool aBackward);
  TnxResult RecNoGetPrim(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                         std::uint32_t& aRecNo, bool aBackward);
  TnxResult RecNoSetPrim(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                         TnxBaseFilterEngine* aFilter, bool aBackward);
  void ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr, PnxRecordBuffer aRecData,
                     bool aBackward);
};

// Registers the engine under "nx1xDefault" and "Static" (module start-up).
void nxseRecordEngineStaticInitialize();
void nxseRecordEngineStaticFinalize();

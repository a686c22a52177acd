// Fixed-length records in slots of "NXDH" blocks.
#include "nxseRecordEngineStatic.h"

#include <cstring>

#include "nxsdFilterEngineBase.h"
#include "nxseHeaderAccess.h"
#include "nxsrTimeoutHandling.h"

NX_IMPLEMENT_EXCEPTION(EnxStaticRecordEngineException, EnxBaseRecordEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxStaticRecordEngine, TnxBaseRecordEngine, "TnxStaticRecordEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxStaticRecordEngine>))

namespace {

// Header section fields.
constexpr std::uint32_t kStaticCount = 0, kStaticFirst = 4, kStaticLast = 8, kFreeSlots = 12, kFreeList = 16;
// Data block fields.
constexpr std::uint32_t kStaticNext = 16, kStaticPrev = 20, kNextFree = 24, kFirstFree = 28, kInUse = 30, kBitmap = 32;

TnxRefNr makeStaticRefNr(TnxBlockNumber aBlock, std::uint32_t aSlot) {
  return static_cast<TnxRefNr>((static_cast<std::uint64_t>(aBlock) << 32) | aSlot);
}
TnxBlockNumber blockOf(TnxRefNr aRefNr) { return static_cast<TnxBlockNumber>(static_cast<std::uint64_t>(aRefNr) >> 32); }
std::uint32_t slotOf(TnxRefNr aRefNr) { return static_cast<std::uint32_t>(aRefNr); }

bool inUse(const std::uint8_t* aBlock, std::uint32_t aSlot) {
  return (aBlock[kBitmap + (aSlot - 1) / 8] >> ((aSlot - 1) % 8)) & 1;
}
void setInUse(std::uint8_t* aBlock, std::uint32_t aSlot, bool aValue) {
  std::uint8_t& byte = aBlock[kBitmap + (aSlot - 1) / 8];
  const auto bit = static_cast<std::uint8_t>(1u << ((aSlot - 1) % 8));
  byte = aValue ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
}

TnxBaseFilterEngine* staticActiveFilter(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

}  // namespace

struct TnxStaticRecordEngine::Block {
  TnxPinnedBlock pin;
  TnxBlockNumber number = 0;
  PnxBlock Data() const { return pin.Block(); }
  void Release() { pin.Release(); }
};

TnxStaticRecordEngine::TnxStaticRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                             const TnxBlockAccessArray& aFiles)
    : TnxBaseRecordEngine(aDescriptor, aTrans, aFiles) {
  reFileIsV1 = breDataFile->baFile->HeaderSignature() == TnxBlockSignature{'N', 'X', '!', '1'};
  const std::uint32_t usable = breDataFile->fiBlockSizeBytes();
  const std::uint32_t length = breRecordLength;
  if (length == 0 || usable < length + 33) throw EnxStaticRecordEngineException(nxErrRecordTooLarge);
  reRecsPerBlock = static_cast<std::uint16_t>((usable - 32) * 8 / (8 * length + 1));
  reInUseArraySize = static_cast<std::uint16_t>((reRecsPerBlock + 7) / 8);
  std::uint16_t slot = static_cast<std::uint16_t>((usable - reInUseArraySize - 32) / reRecsPerBlock);
  for (int bit = 0; bit < 16; ++bit) {
    const auto cleared = static_cast<std::uint16_t>(slot & ~(1u << bit));
    if (cleared < length) break;
    slot = cleared;
  }
  reRecordLength = slot;
  reFirstRecordOffset = static_cast<std::uint16_t>(usable - static_cast<std::uint32_t>(reRecordLength) * reRecsPerBlock);
  nxAssert(reFirstRecordOffset >= reInUseArraySize + 32, "Record slots overlap the block header");

  auto* descriptor = platform::objectAs<TnxBaseRecordDescriptor>(aDescriptor);
  const nxString section = platform::fromUtf8(descriptor->HeaderSection());
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  if (aTrans) {
    reHeaderSection = access->RegisterHeaderSection(section, 20, true, false);
    std::memset(access->Header + reHeaderSection, 0, 20);
  } else {
    reHeaderSection = access->RegisterHeaderSection(section, 20, false, false);
  }
}

void TnxStaticRecordEngine::CheckEngineDescriptor(TnxDictionaryItem* aTable) {
  auto* table = platform::objectAs<TnxBaseTableDescriptor>(aTable);
  nxAssert(table != nullptr, "Record engine check without a table");
  const std::int32_t length = table->FieldsDescriptor()->RecordLength();
  int code = -1;
  for (int k = nxbs4k; k <= nxbs64k; ++k)
    if (table->DictionaryUsableBlockSize(static_cast<TnxBlockSize>(k)) >= length + 33) {
      code = k;
      break;
    }
  if (code < 0) throw EnxStaticRecordEngineException(nxErrRecordTooLarge);
  TnxDictionaryItem* root = table;
  while (root && !root->IsDataDictionary()) root = root->ParentItem();
  auto* dictionary = platform::objectAs<TnxDataDictionary>(root);
  if (!dictionary || !dictionary->FilesDescriptor() || !table->RecordDescriptor()) return;
  const std::int32_t number = table->RecordDescriptor()->FileNumber();
  if (number < 0 || number >= dictionary->FilesDescriptor()->FileCount()) return;
  TnxFileDescriptor* file = dictionary->FilesDescriptor()->Files(number);
  if (file->BlockSize() < code) file->SetBlockSize(static_cast<TnxBlockSize>(code));
}

// ---- Helpers -----------------------------------------------------------------------------------

void TnxStaticRecordEngine::RaiseDeleted(TnxRefNr aRefNr) {
  throw EnxStaticRecordEngineException(nxErrKeyOrRecDeleted, u"Record has been deleted, cannot read/delete/update it [%s, ref %d]",
                                       {breDataFile->baFile->FileName(), static_cast<std::int64_t>(aRefNr)});
}

void TnxStaticRecordEngine::RaiseBlock(TnxBlockNumber aBlock) {
  throw EnxStaticRecordEngineException(nxErrCorruptFile, u"Data block %d in file \"%s\" is corrupt",
                                       {static_cast<std::int64_t>(aBlock), breDataFile->baFile->FileName()});
}

std::uint32_t TnxStaticRecordEngine::UsedBlocks(TnxBaseTransaction* aTrans) {
  TnxBaseFile* file = breDataFile->baFile;
  return file->UsedBlocksFor(aTrans);
}

void TnxStaticRecordEngine::ValidateRefNr(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  const TnxBlockNumber block = blockOf(aRefNr);
  if (aRefNr < 0 || !breDataFile->ValidBlock(block, aTrans))
    throw EnxStaticRecordEngineException(nxErrInvalidBlockNumber,
                                         u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                         {breDataFile->baFile->FileName(), static_cast<std::int64_t>(static_cast<std::int32_t>(block))});
  const std::uint32_t slot = slotOf(aRefNr);
  if (slot < 1 || slot > reRecsPerBlock)
    throw EnxStaticRecordEngineException(nxErrInvalidRefNr, u"Number is not a valid DazavAV record reference number [%s, ref %d]",
                                         {breDataFile->baFile->FileName(), static_cast<std::int64_t>(aRefNr)});
}

void TnxStaticRecordEngine::FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty,
                                       Block& aResult, bool aInRange) {
  aResult.Release();
  if (!aInRange && !breDataFile->ValidBlock(aBlock, aTrans)) RaiseBlock(aBlock);
  aResult.pin.Pin([&](TnxReleaseMethod& r) { return breDataFile->GetBlock(aTrans, aBlock, aMarkDirty, r, bseID); });
  aResult.number = aBlock;
  if (!nxseHasSignature(aResult.Data(), "NXDH") || nxseThisBlock(aResult.Data()) != aBlock) {
    aResult.Release();
    throw EnxStaticRecordEngineException(nxErrNotADataBlock, u"Block just read from file is not a valid data block [%s, block %d]",
                                         {breDataFile->baFile->FileName(), static_cast<std::int64_t>(aBlock)});
  }
  if (nxseGetU16(aResult.Data() + kFirstFree) > reRecsPerBlock || nxseGetU16(aResult.Data() + kInUse) > reRecsPerBlock)
    RaiseBlock(aBlock);
}

// A block link (next, previous, next free): 0 or a block of the file.
TnxBlockNumber TnxStaticRecordEngine::Link(TnxBaseTransaction* aTrans, PnxBlock aBlock, std::uint32_t aOffset) {
  const TnxBlockNumber link = nxseGetU32(aBlock + aOffset);
  if (link != 0 && !breDataFile->ValidBlock(link, aTrans)) RaiseBlock(nxseThisBlock(aBlock));
  return link;
}

void TnxStaticRecordEngine::CheckFreeSlots(std::uint8_t* aSection) {
  if ((nxseGetU32(aSection + kFreeSlots) == 0) != (nxseGetU32(aSection + kFreeList) == 0))
    throw EnxStaticRecordEngineException(nxErrCorruptHeader);
}

void TnxStaticRecordEngine::NewDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess,
                                         std::uint8_t* aSection, Block& aResult) {
  nxAssert(nxseGetU32(aSection + kFreeList) == 0, "New data block while the free-slot list is not empty");
  const std::uint32_t usable = breDataFile->fiBlockSizeBytes();
  aResult.Release();
  aResult.pin.Pin([&](TnxReleaseMethod& r) { return aAccess.GetNewBlock(aTrans, bseID, r); });
  PnxBlock b = aResult.Data();
  aResult.number = nxseThisBlock(b);
  std::memset(b + 16, 0, usable - 16);
  nxseSetSignature(b, "NXDH");
  const TnxBlockNumber last = nxseGetU32(aSection + kStaticLast);
  nxsePutU32(b + kStaticPrev, last);
  nxsePutU32(aSection + kStaticLast, aResult.number);
  if (last != 0) {
    Block previous;
    FetchBlock(aTrans, last, true, previous);
    if (nxseGetU32(previous.Data() + kStaticNext) != 0) RaiseBlock(last);
    nxsePutU32(previous.Data() + kStaticNext, aResult.number);
  } else {
    if (nxseGetU32(aSection + kStaticFirst) != 0) throw EnxStaticRecordEngineException(nxErrCorruptHeader);
    nxsePutU32(aSection + kStaticFirst, aResult.number);
  }
  nxsePutU32(aSection + kFreeList, aResult.number);
  nxsePutU16(b + kFirstFree, 1);
  for (std::uint32_t n = 1; n <= reRecsPerBlock; ++n) nxsePutU32(Slot(b, n), n < reRecsPerBlock ? n + 1 : 0);
  nxsePutU32(aSection + kFreeSlots, nxseGetU32(aSection + kFreeSlots) + reRecsPerBlock);
}

// ---- Changes ------------------------------------------------------------------------------------

void TnxStaticRecordEngine::AddRecord(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) {
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, true));
  std::uint8_t* section = access->Header + reHeaderSection;
  CheckFreeSlots(section);
  Block block;
  const TnxBlockNumber freeList = nxseGetU32(section + kFreeList);
  if (freeList == 0)
    NewDataBlock(aTrans, *access, section, block);
  else
    FetchBlock(aTrans, freeList, true, block);
  PnxBlock b = block.Data();
  const std::uint32_t slot = nxseGetU16(b + kFirstFree);
  const std::uint32_t count = nxseGetU16(b + kInUse);
  if (slot == 0 || inUse(b, slot) || count >= reRecsPerBlock) RaiseBlock(block.number);
  const std::uint32_t link = nxseGetU16(Slot(b, slot));
  if (link > reRecsPerBlock) RaiseBlock(block.number);
  const std::uint32_t freeBefore = nxseGetU32(section + kFreeSlots);
  nxsePutU16(b + kFirstFree, static_cast<std::uint16_t>(link));
  if (link == 0) {
    nxsePutU32(section + kFreeList, Link(aTrans, b, kNextFree));
    nxsePutU32(b + kNextFree, 0);
  }
  aRefNr = makeStaticRefNr(block.number, slot);
  SetRecordRefNr(aRecData, aRefNr);
  std::memcpy(Slot(b, slot), aRecData, breRecordLength);
  setInUse(b, slot, true);
  nxsePutU16(b + kInUse, static_cast<std::uint16_t>(count + 1));
  nxsePutU32(section + kStaticCount, nxseGetU32(section + kStaticCount) + 1);
  nxsePutU32(section + kFreeSlots, freeBefore - 1);
  if ((freeBefore == 1) != (nxseGetU32(section + kFreeList) == 0)) throw EnxStaticRecordEngineException(nxErrCorruptHeader);
}

void TnxStaticRecordEngine::DeleteRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  ValidateRefNr(aTrans, aRefNr);
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, true));
  std::uint8_t* section = access->Header + reHeaderSection;
  CheckFreeSlots(section);
  Block block;
  FetchBlock(aTrans, blockOf(aRefNr), true, block);
  PnxBlock b = block.Data();
  const std::uint32_t slot = slotOf(aRefNr);
  if (!inUse(b, slot)) RaiseDeleted(aRefNr);
  const std::uint32_t count = nxseGetU16(b + kInUse);
  if (count == 0) RaiseBlock(block.number);
  const std::uint32_t firstFree = nxseGetU16(b + kFirstFree);
  if (firstFree == 0) {
    if (nxseGetU32(b + kNextFree) != 0) RaiseBlock(block.number);
    nxsePutU32(b + kNextFree, nxseGetU32(section + kFreeList));
    nxsePutU32(section + kFreeList, block.number);
  }
  nxsePutU32(Slot(b, slot), firstFree);
  nxsePutU16(b + kFirstFree, static_cast<std::uint16_t>(slot));
  nxsePutU16(b + kInUse, static_cast<std::uint16_t>(count - 1));
  setInUse(b, slot, false);
  nxsePutU32(section + kFreeSlots, nxseGetU32(section + kFreeSlots) + 1);
  nxsePutU32(section + kStaticCount, nxseGetU32(section + kStaticCount) - 1);
  CheckFreeSlots(section);
}

void TnxStaticRecordEngine::ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) {
  ValidateRefNr(aTrans, aRefNr);
  Block block;
  FetchBlock(aTrans, blockOf(aRefNr), false, block, true);
  if (!inUse(block.Data(), slotOf(aRefNr))) RaiseDeleted(aRefNr);
  if (aRecData) {
    std::memcpy(aRecData, Slot(block.Data(), slotOf(aRefNr)), breRecordLength);
    SetRecordRefNr(aRecData, aRefNr);
  }
}

void TnxStaticRecordEngine::UpdateRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                                         PnxRecordBuffer aOldRecord) {
  ValidateRefNr(aTrans, aRefNr);
  Block block;
  FetchBlock(aTrans, blockOf(aRefNr), true, block);
  std::uint8_t* slot = Slot(block.Data(), slotOf(aRefNr));
  if (!inUse(block.Data(), slotOf(aRefNr))) RaiseDeleted(aRefNr);
  if (aOldRecord) {
    std::memcpy(aOldRecord, slot, breRecordLength);
    SetRecordRefNr(aOldRecord, aRefNr);
  }
  SetRecordRefNr(aNewRecord, aRefNr);
  std::memcpy(slot, aNewRecord, breRecordLength);
}

void TnxStaticRecordEngine::GetRecordCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) {
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
  aCount = nxseGetU32(access->Header + reHeaderSection + kStaticCount);
}

// ---- Walks ---------------------------------------------------------------------------------------

void TnxStaticRecordEngine::ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                          PnxRecordBuffer aRecData, bool aBackward) {
  aRefNr = 0;
  TnxBlockNumber current;
  std::uint32_t slot;
  bool inRange = aFromRefNr != 0;
  if (inRange) {
    ValidateRefNr(aTrans, aFromRefNr);
    current = blockOf(aFromRefNr);
    slot = slotOf(aFromRefNr);
  } else {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    current = nxseGetU32(access->Header + reHeaderSection + (aBackward ? kStaticLast : kStaticFirst));
    slot = aBackward ? reRecsPerBlock + 1u : 0u;
  }
  const std::uint32_t limit = UsedBlocks(aTrans);
  Block block;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    FetchBlock(aTrans, current, false, block, inRange);
    inRange = false;
    if (aBackward) {
      for (std::uint32_t s = slot - 1; s >= 1; --s)
        if (inUse(block.Data(), s)) {
          aRefNr = makeStaticRefNr(current, s);
          break;
        }
    } else {
      for (std::uint32_t s = slot + 1; s <= reRecsPerBlock; ++s)
        if (inUse(block.Data(), s)) {
          aRefNr = makeStaticRefNr(current, s);
          break;
        }
    }
    if (aRefNr != 0) {
      if (aRecData) {
        std::memcpy(aRecData, Slot(block.Data(), slotOf(aRefNr)), breRecordLength);
        SetRecordRefNr(aRecData, aRefNr);
      }
      return;
    }
    current = Link(aTrans, block.Data(), aBackward ? kStaticPrev : kStaticNext);
    slot = aBackward ? reRecsPerBlock + 1u : 0u;
  }
}

void TnxStaticRecordEngine::ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                           PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TnxStaticRecordEngine::ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                           PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

void TnxStaticRecordEngine::Walk(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                 const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                                 bool aKeepPosition, bool aSkipFirst, bool aBackward) {
  TnxBaseFilterEngine* filter = staticActiveFilter(aFilter);
  const TnxRefNr start = aRefNr;
  TnxBlockNumber current;
  std::uint32_t startSlot;
  std::uint32_t headerCount;
  // A walk from one end of the chain must meet every record the header
  // counts: a damaged link would otherwise hide blocks without an error.
  bool fromEnd = true;
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    const std::uint8_t* section = access->Header + reHeaderSection;
    headerCount = nxseGetU32(section + kStaticCount);
    if (nxseGetU32(section + kStaticFirst) == 0) {
      if (nxseGetU32(section + kStaticCount) != 0) throw EnxStaticRecordEngineException(nxErrCorruptHeader);
      aRefNr = 0;
      return;
    }
    if (aKeepPosition && aRefNr != 0) {
      ValidateRefNr(aTrans, aRefNr);
      current = blockOf(aRefNr);
      startSlot = slotOf(aRefNr);
      fromEnd = false;
    } else {
      aRefNr = 0;
      current = nxseGetU32(section + (aBackward ? kStaticLast : kStaticFirst));
      startSlot = aBackward ? reRecsPerBlock + 1u : 0u;
    }
  }
  const std::uint32_t limit = UsedBlocks(aTrans);
  std::uint64_t chainCount = 0;
  Block block;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    if (steps > 0) nxCheckTimeout();
    FetchBlock(aTrans, current, false, block);
    const std::uint32_t count = nxseGetU16(block.Data() + kInUse);
    chainCount += count;
    std::uint32_t seen = 0;
    for (std::uint32_t i = 1; i <= reRecsPerBlock && seen < count; ++i) {
      const std::uint32_t s = aBackward ? reRecsPerBlock + 1u - i : i;
      if (s % 1000 == 2) nxCheckTimeout();
      if (!inUse(block.Data(), s)) continue;
      ++seen;
      if (aBackward ? s >= startSlot : s <= startSlot) continue;
      aRefNr = makeStaticRefNr(current, s);
      const std::uint8_t* stored = Slot(block.Data(), s);
      if (filter && !filter->MatchesBuffer(stored)) continue;
      // The caller gets a copy with its RefNr field set; the cached image
      // stays as committed.
      std::memcpy(TempRecBuf, stored, breRecordLength);
      SetRecordRefNr(TempRecBuf, aRefNr);
      if (aData) {
        if (*aData)
          std::memcpy(*aData, TempRecBuf, breRecordLength);
        else
          *aData = TempRecBuf;
      }
      if (aSkipFirst && aRefNr == start) continue;
      if (aIterator(aCookie, aRefNr, TempRecBuf) == rirStop) return;
    }
    current = Link(aTrans, block.Data(), aBackward ? kStaticPrev : kStaticNext);
    startSlot = aBackward ? reRecsPerBlock + 1u : 0u;
  }
  if (fromEnd && chainCount < headerCount)
    throw EnxStaticRecordEngineException(
        8962, u"The data block chain of file \"%s\" holds %d records, its header counts %d",
        {breDataFile->baFile->FileName(), static_cast<std::int64_t>(chainCount),
         static_cast<std::int64_t>(headerCount)});
  aRefNr = 0;
}

void TnxStaticRecordEngine::Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                    const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                                    bool aKeepPosition, bool aSkipFirst) {
  Walk(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, false);
}

void TnxStaticRecordEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                            const TnxRecordIterator& aIterator, void* aCookie,
                                            TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  Walk(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, true);
}

TnxResult TnxStaticRecordEngine::RecNoGetPrim(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                              TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo, bool aBackward) {
  aRecNo = 0;
  TnxBaseFilterEngine* filter = staticActiveFilter(aFilter);
  TnxBlockNumber current;
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    current = nxseGetU32(access->Header + reHeaderSection + (aBackward ? kStaticLast : kStaticFirst));
  }
  const TnxBlockNumber target = blockOf(aRefNr);
  const std::uint32_t targetSlot = slotOf(aRefNr);
  const std::uint32_t limit = UsedBlocks(aTrans);
  Block block;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    if (steps > 0) nxCheckTimeout();
    FetchBlock(aTrans, current, false, block);
    if (current == target || filter) {
      for (std::uint32_t i = 1; i <= reRecsPerBlock; ++i) {
        const std::uint32_t s = aBackward ? reRecsPerBlock + 1u - i : i;
        if (s % 1000 == 2) nxCheckTimeout();
        if (!inUse(block.Data(), s)) continue;
        const bool accepted = !filter || filter->MatchesBuffer(Slot(block.Data(), s));
        if (accepted) ++aRecNo;
        if (current == target && s == targetSlot) return accepted ? 0 : 8709;
      }
      if (current == target) return 8709;
    } else {
      aRecNo += nxseGetU16(block.Data() + kInUse);
    }
    current = Link(aTrans, block.Data(), aBackward ? kStaticPrev : kStaticNext);
  }
  return 8706;
}

TnxResult TnxStaticRecordEngine::RecNoSetPrim(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                                              TnxBaseFilterEngine* aFilter, bool aBackward) {
  aRefNr = 0;
  TnxBaseFilterEngine* filter = staticActiveFilter(aFilter);
  TnxBlockNumber current;
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    current = nxseGetU32(access->Header + reHeaderSection + (aBackward ? kStaticLast : kStaticFirst));
  }
  std::uint32_t remaining = aRecNo;
  if (remaining == 0) return 8706;
  const std::uint32_t limit = UsedBlocks(aTrans);
  Block block;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    if (steps > 0) nxCheckTimeout();
    FetchBlock(aTrans, current, false, block);
    const std::uint32_t count = nxseGetU16(block.Data() + kInUse);
    if (!filter && count < remaining) {
      remaining -= count;
    } else {
      for (std::uint32_t i = 1; i <= reRecsPerBlock; ++i) {
        const std::uint32_t s = aBackward ? reRecsPerBlock + 1u - i : i;
        if (s % 1000 == 2) nxCheckTimeout();
        if (!inUse(block.Data(), s)) continue;
        if (filter && !filter->MatchesBuffer(Slot(block.Data(), s))) continue;
        if (--remaining == 0) {
          aRefNr = makeStaticRefNr(current, s);
          return 0;
        }
      }
    }
    current = Link(aTrans, block.Data(), aBackward ? kStaticPrev : kStaticNext);
  }
  return 8706;
}

TnxResult TnxStaticRecordEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                                          std::uint32_t& aRecNo, bool aFlipOrder) {
  if (aFlipOrder) return RecNoGetBackward(aTrans, aRefNr, aFilter, aRecNo);
  return RecNoGetPrim(aTrans, aRefNr, aFilter, aRecNo, false);
}

TnxResult TnxStaticRecordEngine::RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                                          TnxBaseFilterEngine* aFilter, bool aFlipOrder) {
  if (aFlipOrder) return RecNoSetBackward(aTrans, aRecNo, aRefNr, aFilter);
  return RecNoSetPrim(aTrans, aRecNo, aRefNr, aFilter, false);
}

TnxResult TnxStaticRecordEngine::RecNoGetBackward(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                  TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo) {
  return RecNoGetPrim(aTrans, aRefNr, aFilter, aRecNo, true);
}

TnxResult TnxStaticRecordEngine::RecNoSetBackward(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                                                  TnxBaseFilterEngine* aFilter) {
  return RecNoSetPrim(aTrans, aRecNo, aRefNr, aFilter, true);
}

std::int32_t TnxStaticRecordEngine::GetRecoverID() { return reFileIsV1 ? 0 : bseID; }

TnxRecordIteratorResult TnxStaticRecordEngine::RecoverIterate(PnxBlock aBlock, TnxBlockNumber aBlockNumber,
                                                              PPnxRecordBuffer aData,
                                                              const TnxRecordIterator& aIterator, void* aCookie) {
  if (!aBlock || !nxseHasSignature(aBlock, "NXDH") || nxseThisBlock(aBlock) != aBlockNumber) return rirContinue;
  const std::uint32_t count = nxseGetU16(aBlock + kInUse);
  if (count == 0 || count > reRecsPerBlock) return rirContinue;
  TnxRecordIteratorResult result = rirContinue;
  for (std::uint32_t s = 1; s <= reRecsPerBlock; ++s) {
    if (!inUse(aBlock, s)) continue;
    PnxRecordBuffer record = Slot(aBlock, s);
    if (aData) {
      if (*aData) {
        std::memcpy(*aData, record, breRecordLength);
        record = *aData;
      } else {
        *aData = record;
      }
    }
    result = aIterator(aCookie, 0, record);
    if (result == rirStop) break;
  }
  return result;
}

TnxRecordIteratorResult TnxStaticRecordEngine::ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                                    PPnxRecordBuffer aData,
                                                                    const TnxRecordIterator& aIterator, void* aCookie,
                                                                    TnxBaseFilterEngine* aFilter) {
  nxAssert(!aFilter || aFilter->GetActive(), "ReadRecordForIterate with an inactive filter");
  ValidateRefNr(aTrans, aRefNr);
  Block block;
  FetchBlock(aTrans, blockOf(aRefNr), false, block);
  if (!inUse(block.Data(), slotOf(aRefNr))) RaiseDeleted(aRefNr);
  const std::uint8_t* stored = Slot(block.Data(), slotOf(aRefNr));
  if (aFilter && !aFilter->MatchesBuffer(stored)) return rirContinue;
  std::memcpy(TempRecBuf, stored, breRecordLength);
  SetRecordRefNr(TempRecBuf, aRefNr);
  PnxRecordBuffer saved = nullptr;
  if (aData) {
    saved = *aData;
    *aData = TempRecBuf;
  }
  const TnxRecordIteratorResult result = aIterator(aCookie, aRefNr, TempRecBuf);
  if (aData) *aData = saved;
  return result;
}

void TnxStaticRecordEngine::ReplaceAllRecords(TnxBaseTransaction* aTrans, const TnxGetRecordCallback& aCallback) {
  TnxBlockNumber current;
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    current = nxseGetU32(access->Header + reHeaderSection + kStaticFirst);
  }
  const std::uint32_t limit = UsedBlocks(aTrans);
  Block block;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    FetchBlock(aTrans, current, true, block);
    for (std::uint32_t s = 1; s <= reRecsPerBlock; ++s) {
      if (!inUse(block.Data(), s)) continue;
      PnxRecordBuffer record = Slot(block.Data(), s);
      const TnxRefNr refNr = makeStaticRefNr(current, s);
      SetRecordRefNr(record, refNr);
      if (const TnxResult result = aCallback(record)) throw EnxStaticRecordEngineException(result);
      SetRecordRefNr(record, refNr);
    }
    current = Link(aTrans, block.Data(), kStaticNext);
  }
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordEngineStaticModuleStarts{0};
}  // namespace

void nxseRecordEngineStaticInitialize() {
  TnxCountedStart started(gRecordEngineStaticModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxStaticRecordEngine::staticClassInfo(), "nx1xDefault");
  TnxBaseSubEngine::RegisterSubEngine(TnxStaticRecordEngine::staticClassInfo(), "Static");
}

void nxseRecordEngineStaticFinalize() {
  if (!nxUseCountLeave(gRecordEngineStaticModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxStaticRecordEngine::staticClassInfo());
}

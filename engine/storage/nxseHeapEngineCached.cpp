// The heap with its cached management chain.
#include "nxseHeapEngineCached.h"

#include <algorithm>
#include <cstring>

#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxCachedHeapEngineException, EnxBaseHeapEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxCachedHeapEngine, TnxBaseHeapEngine, "TnxCachedHeapEngine", nullptr,
                         platform::bindClassTable(nxHeapEngineFuncs<TnxCachedHeapEngine>))

namespace {

// Management block fields.
constexpr std::uint32_t kHeapNext = 16, kHeapCount = 20, kEntries = 22, kEntrySize = 6;

std::uint32_t position(std::uint32_t aBlockIndex, std::uint32_t aEntry) { return (aBlockIndex << 16) | aEntry; }

std::uint64_t totalOf(std::span<const TnxHeapPiece> aPieces) {
  std::uint64_t total = 0;
  for (const TnxHeapPiece& p : aPieces) total += p.hpSize;
  return total;
}

// Copies the pieces into aTarget (aSize bytes), each as far as room is left;
// nil pieces are taken from aOld (aOldSize bytes) at the same place, when
// given.
void copyPieces(std::uint8_t* aTarget, std::uint32_t aSize, std::span<const TnxHeapPiece> aPieces,
                const std::uint8_t* aOld, std::uint32_t aOldSize) {
  std::uint32_t at = 0;
  for (const TnxHeapPiece& p : aPieces) {
    if (at >= aSize) break;
    const std::uint32_t n = std::min(p.hpSize, aSize - at);
    if (p.hpData)
      std::memmove(aTarget + at, p.hpData, n);
    else if (aOld && at < aOldSize)
      std::memcpy(aTarget + at, aOld + at, std::min(n, aOldSize - at));
    at += n;
  }
}

}  // namespace

TnxCachedHeapEngine::TnxCachedHeapEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                                         TnxHeapHeaderHandler* aHeaderHandler)
    : TnxBaseHeapEngine(aDescriptor, aDataFile, aHeaderHandler),
      heMaxEntries(static_cast<std::uint16_t>((aDataFile->fiBlockSizeBytes() - kEntries) / kEntrySize)),
      heByBlockNumber(TnxHeapBlockBlockNumberOrder(&heManagmentBlocks)),
      heByFreeSpace(TnxHeapBlockFreeSpaceOrder(&heManagmentBlocks)) {
  if (bseTableVersion >= 47005) bheHeapRefMask = 0xFFFFFFFF00000000ull | bheBlockHeapEngine->SegmentRefMask();
}

void TnxCachedHeapEngine::RaiseCorrupt(TnxBlockNumber aBlock, const char16_t* aWhat) {
  throw EnxCachedHeapEngineException(
      nxErrCorruptFile, u"Heap block %d in file \"%s\" is corrupt: %s",
      {static_cast<std::int64_t>(aBlock), bheDataFile->baFile->FileName(), nxString(aWhat)});
}

PnxBlock TnxCachedHeapEngine::ReadHeapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                            const char (&aSig)[5], bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  if (!bheDataFile->ValidBlock(aBlockNumber, aTrans))
    throw EnxCachedHeapEngineException(
        nxErrInvalidBlockNumber, u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
        {bheDataFile->baFile->FileName(), static_cast<std::int64_t>(static_cast<std::int32_t>(aBlockNumber))});
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
    return bheDataFile->GetBlock(aTrans, aBlockNumber, aMarkDirty, r, bseID);
  });
  if (!nxseHasSignature(pin.Block(), aSig) || nxseThisBlock(pin.Block()) != aBlockNumber)
    throw EnxCachedHeapEngineException(nxErrNotAHeapBlock, u"Block just read from file is not a valid heap block [%s, block %d]",
                                       {bheDataFile->baFile->FileName(), static_cast<std::int64_t>(aBlockNumber)});
  return pin.HandOver(aReleaseMethod);
}

PnxBlock TnxCachedHeapEngine::ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                                            TnxReleaseMethod& aReleaseMethod) {
  return ReadHeapBlock(aTrans, aBlockNumber, "NXHD", aMarkDirty, aReleaseMethod);
}

// ---- The in-memory copy ------------------------------------------------------------------------

void TnxCachedHeapEngine::ClearCache() {
  heByBlockNumber.clear();
  heByFreeSpace.clear();
  heManagmentBlocks.clear();
  heFirstNonFullIndex = 0xFFFF;
  heManagmentBlocksLoaded = false;
}

void TnxCachedHeapEngine::RecomputeFirstNonFull() {
  heFirstNonFullIndex = 0xFFFF;
  for (std::size_t i = 0; i < heManagmentBlocks.size(); ++i)
    if (heManagmentBlocks[i].hmpiBlockInfos.size() < heMaxEntries) {
      heFirstNonFullIndex = static_cast<std::uint16_t>(i);
      return;
    }
}

void TnxCachedHeapEngine::LoadManagementBlocks() {
  if (heManagmentBlocksLoaded) return;
  ClearCache();
  TnxBaseTransaction* trans = heCurrentTrans;
  try {
    TnxBlockNumber next;
    {
      TnxOwned<TnxBaseFileHeaderAccess> access(bheDataFile->HeaderAccess(trans, false));
      next = GetFirstManagementBlock(access.get());
    }
    const TnxBaseFile* file = bheDataFile->baFile;
    const std::uint32_t limit = file->UsedBlocksFor(trans);
    const std::uint16_t maxFree = bheBlockHeapEngine->MaxSegmentSize();
    for (std::uint32_t steps = 0; next != 0; ++steps) {
      if (steps >= limit || heManagmentBlocks.size() >= 0xFFFF) RaiseCorrupt(next, u"management chain loops");
      TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return ReadHeapBlock(trans, next, "NXHM", false, r); });
      const std::uint32_t count = nxseGetU16(pin.Block() + kHeapCount);
      if (count > heMaxEntries) RaiseCorrupt(next, u"management entry count");
      const auto index = static_cast<std::uint32_t>(heManagmentBlocks.size());
      heManagmentBlocks.push_back({next, {}});
      auto& infos = heManagmentBlocks.back().hmpiBlockInfos;
      infos.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = pin.Block() + kEntries + kEntrySize * i;
        const TnxBlockNumber data = nxseGetU32(e);
        const std::uint16_t free = nxseGetU16(e + 4);
        if (!bheDataFile->ValidBlock(data, trans) || free > maxFree) RaiseCorrupt(next, u"management entry");
        infos.push_back({data, free});
        if (!heByBlockNumber.insert(position(index, i)).second) RaiseCorrupt(next, u"data block listed twice");
        heByFreeSpace.insert(position(index, i));
      }
      next = nxseGetU32(pin.Block() + kHeapNext);
    }
  } catch (...) {
    ClearCache();
    throw;
  }
  RecomputeFirstNonFull();
  heManagmentBlocksLoaded = true;
}

void TnxCachedHeapEngine::Rollback(TnxBaseTransaction* aTrans) {
  if (aTrans == heCurrentTrans) ClearCache();
}

// ---- Blocks ---------------------------------------------------------------------------------------

void TnxCachedHeapEngine::NewDataBlock(TnxBaseTransaction* aTrans, TnxPinnedBlock& aPin) {
  TnxOwned<TnxBaseFileHeaderAccess> access(bheDataFile->HeaderAccess(aTrans, true));
  aPin.Pin([&](TnxReleaseMethod& r) { return access->GetNewBlock(aTrans, bseID, r); });
  std::memset(aPin.Block() + 16, 0, bheDataFile->fiBlockSizeBytes() - 16);
  nxseSetSignature(aPin.Block(), "NXHD");
  bheBlockHeapEngine->InitBlock(aPin.Block());
  try {
    LinkDataBlock(aTrans, access.get(), aPin.Block());
  } catch (...) {
    access->DeleteBlock(aTrans, aPin.Block());
    aPin.Release();
    throw;
  }
}

void TnxCachedHeapEngine::FreeDataBlock(PnxBlock aBlock) {
  TnxOwned<TnxBaseFileHeaderAccess> access(bheDataFile->HeaderAccess(heCurrentTrans, true));
  UnlinkDataBlock(heCurrentTrans, access.get(), aBlock);
  access->DeleteBlock(heCurrentTrans, aBlock);
}

std::uint32_t TnxCachedHeapEngine::NewManagementBlock() {
  TnxBaseTransaction* trans = heCurrentTrans;
  TnxOwned<TnxBaseFileHeaderAccess> access(bheDataFile->HeaderAccess(trans, true));
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return access->GetNewBlock(trans, bseID, r); });
  std::memset(pin.Block() + 16, 0, bheDataFile->fiBlockSizeBytes() - 16);
  nxseSetSignature(pin.Block(), "NXHM");
  const TnxBlockNumber number = nxseThisBlock(pin.Block());
  if (!heManagmentBlocks.empty()) {
    const TnxBlockNumber lastNumber = heManagmentBlocks.back().hmpiBlockNumber;
    TnxPinnedBlock last([&](TnxReleaseMethod& r) { return ReadHeapBlock(trans, lastNumber, "NXHM", true, r); });
    if (nxseGetU32(last.Block() + kHeapNext) != 0) RaiseCorrupt(lastNumber, u"management chain does not end");
    nxsePutU32(last.Block() + kHeapNext, number);
  } else {
    if (GetFirstManagementBlock(access.get()) != 0) RaiseCorrupt(0, u"management chain head");
    SetFirstManagementBlock(access.get(), number);
  }
  const auto index = static_cast<std::uint32_t>(heManagmentBlocks.size());
  nxAssert(index < 0xFFFF, "Too many management blocks");
  heManagmentBlocks.push_back({number, {}});
  if (heFirstNonFullIndex == 0xFFFF || index < heFirstNonFullIndex)
    heFirstNonFullIndex = static_cast<std::uint16_t>(index);
  return index;
}

void TnxCachedHeapEngine::DropEmptyManagementBlocks() {
  TnxBaseTransaction* trans = heCurrentTrans;
  bool dropped = false;
  TnxOwned<TnxBaseFileHeaderAccess> access;
  while (!heManagmentBlocks.empty() && heManagmentBlocks.back().hmpiBlockInfos.empty()) {
    if (!access) access.reset(bheDataFile->HeaderAccess(trans, true));
    TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
      return ReadHeapBlock(trans, heManagmentBlocks.back().hmpiBlockNumber, "NXHM", true, r);
    });
    access->DeleteBlock(trans, pin.Block());
    heManagmentBlocks.pop_back();
    dropped = true;
  }
  if (!dropped) return;
  if (!heManagmentBlocks.empty()) {
    const TnxBlockNumber lastNumber = heManagmentBlocks.back().hmpiBlockNumber;
    TnxPinnedBlock last([&](TnxReleaseMethod& r) { return ReadHeapBlock(trans, lastNumber, "NXHM", true, r); });
    if (nxseGetU32(last.Block() + kHeapNext) == 0) RaiseCorrupt(lastNumber, u"management chain ends early");
    nxsePutU32(last.Block() + kHeapNext, 0);
  } else {
    if (GetFirstManagementBlock(access.get()) == 0) RaiseCorrupt(0, u"management chain head");
    SetFirstManagementBlock(access.get(), 0);
  }
  if (heFirstNonFullIndex != 0xFFFF && heFirstNonFullIndex >= heManagmentBlocks.size()) heFirstNonFullIndex = 0xFFFF;
}

void TnxCachedHeapEngine::BlockHeapChanged(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                                           std::uint16_t aRecoverableSpace) {
  const std::uint32_t f = std::uint32_t{aFreeSpaceSize} + aRecoverableSpace;
  nxAssert(f == bheBlockHeapEngine->GetFreespace(aBlock), "Reported free space differs from the block's");
  LoadManagementBlocks();
  TnxBaseTransaction* trans = heCurrentTrans;
  const TnxBlockNumber blockNumber = nxseThisBlock(aBlock);
  const auto found = heByBlockNumber.find(TnxHeapBlockKey{blockNumber});
  if (found == heByBlockNumber.end()) {
    if (aSegmentCount == 0) {
      FreeDataBlock(aBlock);
      return;
    }
    if (f < heCutoffSize) return;
    const std::uint32_t index = heFirstNonFullIndex == 0xFFFF ? NewManagementBlock() : heFirstNonFullIndex;
    TnxHeapManagmentBlockInfo& info = heManagmentBlocks[index];
    TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
      return ReadHeapBlock(trans, info.hmpiBlockNumber, "NXHM", true, r);
    });
    const std::uint32_t count = nxseGetU16(pin.Block() + kHeapCount);
    nxAssert(count == info.hmpiBlockInfos.size() && count < heMaxEntries, "Management block differs from its copy");
    std::uint8_t* e = pin.Block() + kEntries + kEntrySize * count;
    nxsePutU32(e, blockNumber);
    nxsePutU16(e + 4, static_cast<std::uint16_t>(f));
    nxsePutU16(pin.Block() + kHeapCount, static_cast<std::uint16_t>(count + 1));
    info.hmpiBlockInfos.push_back({blockNumber, static_cast<std::uint16_t>(f)});
    heByBlockNumber.insert(position(index, count));
    heByFreeSpace.insert(position(index, count));
    if (count + 1 == heMaxEntries) RecomputeFirstNonFull();
    return;
  }
  const std::uint32_t pos = *found;
  const std::uint32_t index = pos >> 16, entry = pos & 0xFFFF;
  TnxHeapManagmentBlockInfo& info = heManagmentBlocks[index];
  nxAssert(info.hmpiBlockInfos[entry].hdbiBlockNumber == blockNumber, "Heap position names another block");
  if (f == info.hmpiBlockInfos[entry].hdbiFreeSpace) return;
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return ReadHeapBlock(trans, info.hmpiBlockNumber, "NXHM", true, r); });
  const std::uint32_t count = nxseGetU16(pin.Block() + kHeapCount);
  nxAssert(count == info.hmpiBlockInfos.size(), "Management block differs from its copy");
  if (aSegmentCount > 0 && f >= heCutoffSize) {
    heByFreeSpace.erase(pos);
    info.hmpiBlockInfos[entry].hdbiFreeSpace = static_cast<std::uint16_t>(f);
    nxsePutU16(pin.Block() + kEntries + kEntrySize * entry + 4, static_cast<std::uint16_t>(f));
    heByFreeSpace.insert(pos);
    return;
  }
  // Remove the entry: the last one of the block moves into its place.
  heByBlockNumber.erase(pos);
  heByFreeSpace.erase(pos);
  const std::uint32_t last = count - 1;
  if (entry != last) {
    const std::uint32_t lastPos = position(index, last);
    heByBlockNumber.erase(lastPos);
    heByFreeSpace.erase(lastPos);
    info.hmpiBlockInfos[entry] = info.hmpiBlockInfos[last];
    std::memcpy(pin.Block() + kEntries + kEntrySize * entry, pin.Block() + kEntries + kEntrySize * last, kEntrySize);
    heByBlockNumber.insert(pos);
    heByFreeSpace.insert(pos);
  }
  std::memset(pin.Block() + kEntries + kEntrySize * last, 0, kEntrySize);
  info.hmpiBlockInfos.pop_back();
  nxsePutU16(pin.Block() + kHeapCount, static_cast<std::uint16_t>(last));
  pin.Release();
  if (aSegmentCount == 0) FreeDataBlock(aBlock);
  if (last > 0 || index + 1 < heManagmentBlocks.size()) {
    // Entries remain, or an empty block in the middle of the chain: reused.
    if (index < heFirstNonFullIndex) heFirstNonFullIndex = static_cast<std::uint16_t>(index);
  } else {
    DropEmptyManagementBlocks();
  }
}

// ---- Segments ----------------------------------------------------------------------------------

TnxBlockNumber TnxCachedHeapEngine::PickListedBlock(std::uint32_t& aTotal, std::uint32_t aMinSize, bool aNoSplit,
                                                    TnxBlockNumber aExclude) {
  if (aTotal > bheBlockHeapEngine->MaxSegmentSize() || heByFreeSpace.empty()) return 0;
  const TnxHeapDataBlockInfo& best =
      heManagmentBlocks[*heByFreeSpace.rbegin() >> 16].hmpiBlockInfos[*heByFreeSpace.rbegin() & 0xFFFF];
  if (best.hdbiBlockNumber == aExclude || best.hdbiFreeSpace < aMinSize) return 0;
  if (best.hdbiFreeSpace >= aTotal) return best.hdbiBlockNumber;
  if (aNoSplit) return 0;
  aTotal = best.hdbiFreeSpace;
  return best.hdbiBlockNumber;
}

TnxHeapRef TnxCachedHeapEngine::AllocSegment(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces) {
  const std::uint64_t total = totalOf(aPieces);
  if (total == 0 || total > bheBlockHeapEngine->MaxSegmentSize()) return 0;
  heCurrentTrans = aTrans;
  LoadManagementBlocks();
  std::uint32_t size = static_cast<std::uint32_t>(total);
  TnxPinnedBlock pin;
  const TnxBlockNumber listed = PickListedBlock(size, size, true, 0);
  if (listed != 0)
    pin.Pin([&](TnxReleaseMethod& r) { return ReadBlockHeap(aTrans, listed, true, r); });
  else
    NewDataBlock(aTrans, pin);
  TnxSegmentRef segment = 0;
  std::uint8_t* payload = bheBlockHeapEngine->AllocSegment(pin.Block(), static_cast<std::uint16_t>(size), segment);
  if (!payload) RaiseCorrupt(nxseThisBlock(pin.Block()), u"listed free space is not there");
  copyPieces(payload, size, aPieces, nullptr, 0);
  return nxMakeHeapRef(nxseThisBlock(pin.Block()), segment);
}

TnxHeapRef TnxCachedHeapEngine::AllocSegmentEx(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces,
                                               std::uint16_t aMinSize, std::uint16_t& aSize, std::uint16_t aHeaderSize,
                                               std::uint16_t aItemSize, bool aNoSplit) {
  nxAssert(aItemSize > 0 && aMinSize >= aHeaderSize + aItemSize, "Segment minimum below one item");
  aSize = 0;
  std::uint64_t total = std::max<std::uint64_t>(totalOf(aPieces), aMinSize);
  heCurrentTrans = aTrans;
  LoadManagementBlocks();
  const std::uint32_t maxSize = bheBlockHeapEngine->MaxSegmentSize();
  std::uint32_t size = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
  TnxPinnedBlock pin;
  const TnxBlockNumber listed = PickListedBlock(size, aMinSize, aNoSplit, 0);
  if (listed != 0) {
    pin.Pin([&](TnxReleaseMethod& r) { return ReadBlockHeap(aTrans, listed, true, r); });
  } else {
    if (maxSize < aMinSize) return 0;
    NewDataBlock(aTrans, pin);
    size = std::min(size, maxSize);
  }
  const std::uint32_t chosen = aHeaderSize + aItemSize * ((size - aHeaderSize) / aItemSize);
  if (bheBlockHeapEngine->GetFreespace(pin.Block()) < chosen)
    RaiseCorrupt(nxseThisBlock(pin.Block()), u"listed free space is not there");
  TnxSegmentRef segment = 0;
  std::uint8_t* payload = bheBlockHeapEngine->AllocSegment(pin.Block(), static_cast<std::uint16_t>(chosen), segment);
  if (!payload) RaiseCorrupt(nxseThisBlock(pin.Block()), u"listed free space is not there");
  copyPieces(payload, chosen, aPieces, nullptr, 0);
  aSize = static_cast<std::uint16_t>(chosen);
  return nxMakeHeapRef(nxseThisBlock(pin.Block()), segment);
}

TnxHeapRef TnxCachedHeapEngine::ReAllocSegmentEx(TnxBaseTransaction* aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                                                 std::span<const TnxHeapPiece> aPieces, std::uint16_t aMinSize,
                                                 std::uint16_t& aSize, std::uint16_t aHeaderSize,
                                                 std::uint16_t aItemSize, bool aNoSplit) {
  nxAssert(aItemSize > 0 && aMinSize >= aHeaderSize + aItemSize, "Segment minimum below one item");
  aSize = 0;
  const std::uint64_t total = std::max<std::uint64_t>(totalOf(aPieces), aMinSize);
  nxAssert((total - aHeaderSize) % aItemSize == 0, "Segment size is not a whole number of items");
  heCurrentTrans = aTrans;
  LoadManagementBlocks();
  const std::uint32_t maxSize = bheBlockHeapEngine->MaxSegmentSize();
  const TnxSegmentRef slot = aSegment & bheBlockHeapEngine->SegmentRefMask();
  const TnxBlockNumber home = nxseThisBlock(aBlock);
  // In place first, at the largest whole size the block heap allows.
  std::uint32_t size = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, maxSize));
  std::uint32_t chosen = aHeaderSize + aItemSize * ((size - aHeaderSize) / aItemSize);
  if (std::uint8_t* payload = bheBlockHeapEngine->ReAllocSegment(aBlock, static_cast<std::uint16_t>(chosen), slot)) {
    copyPieces(payload, chosen, aPieces, nullptr, 0);
    aSize = static_cast<std::uint16_t>(chosen);
    return nxMakeHeapRef(home, aSegment);
  }
  size = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
  TnxPinnedBlock pin;
  const TnxBlockNumber listed = PickListedBlock(size, aMinSize, aNoSplit, home);
  if (listed != 0) {
    pin.Pin([&](TnxReleaseMethod& r) { return ReadBlockHeap(aTrans, listed, true, r); });
  } else {
    if (maxSize < aMinSize) return 0;
    NewDataBlock(aTrans, pin);
    size = std::min(size, maxSize);
  }
  chosen = aHeaderSize + aItemSize * ((size - aHeaderSize) / aItemSize);
  if (bheBlockHeapEngine->GetFreespace(pin.Block()) < chosen)
    RaiseCorrupt(nxseThisBlock(pin.Block()), u"listed free space is not there");
  TnxSegmentRef segment = 0;
  std::uint8_t* payload = bheBlockHeapEngine->AllocSegment(pin.Block(), static_cast<std::uint16_t>(chosen), segment);
  if (!payload) RaiseCorrupt(nxseThisBlock(pin.Block()), u"listed free space is not there");
  std::uint16_t oldSize = 0;
  const std::uint8_t* old = bheBlockHeapEngine->GetSegment(aBlock, slot, oldSize);
  copyPieces(payload, chosen, aPieces, old, oldSize);
  aSize = static_cast<std::uint16_t>(chosen);
  const TnxHeapRef result = nxMakeHeapRef(nxseThisBlock(pin.Block()), segment);
  bheBlockHeapEngine->FreeSegment(aBlock, slot);
  return result;
}

std::uint8_t* TnxCachedHeapEngine::GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty,
                                              std::uint16_t& aSegmentSize, PnxBlock& aBlock,
                                              TnxReleaseMethod& aReleaseMethod) {
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
    return ReadBlockHeap(aTrans, nxHeapRefBlock(aHeapRef), aMarkDirty, r);
  });
  if (aMarkDirty) heCurrentTrans = aTrans;
  std::uint8_t* segment = bheBlockHeapEngine->GetSegment(
      pin.Block(), nxHeapRefSegment(aHeapRef) & bheBlockHeapEngine->SegmentRefMask(), aSegmentSize);
  aBlock = pin.HandOver(aReleaseMethod);
  return segment;
}

void TnxCachedHeapEngine::IncHeapRef(TnxHeapRef& aHeapRef) {
  if (bseTableVersion < 47005) return;
  TnxSegmentRef segment = nxHeapRefSegment(aHeapRef);
  bheBlockHeapEngine->IncSegmentRef(segment);
  aHeapRef = nxMakeHeapRef(nxHeapRefBlock(aHeapRef), segment);
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gHeapEngineCachedModuleStarts{0};
}  // namespace

void nxseHeapEngineCachedInitialize() {
  TnxCountedStart started(gHeapEngineCachedModuleStarts);
  if (!started) return;
  TnxBaseHeapEngine::RegisterEngine(TnxCachedHeapEngine::staticClassInfo(), "nx1xDefault");
}

void nxseHeapEngineCachedFinalize() {
  if (!nxUseCountLeave(gHeapEngineCachedModuleStarts)) return;
  TnxBaseHeapEngine::UnregisterEngine(TnxCachedHeapEngine::staticClassInfo());
}

// The cache budget, the trim, scratch blocks and the statistics rows.
#include <algorithm>
#include <memory>

#include "nxsrBufferManagerInt.h"
#include "nxsrTimeoutHandling.h"
#include "plMemoryStatus.h"

PL_CLASS_INFO_IMPL(TnxScratchBlock, TnxBlockObject, "TnxScratchBlock", nullptr)

namespace {

// The kind tag of scratch block handles.
const char kScratchKind = 0;

// Address space of a 64-bit process: far above every cap.
constexpr std::int64_t kVirtualMB = std::int64_t{1} << 27;

}  // namespace

// ---- Budget -----------------------------------------------------------------------------

void TnxBufferManager::SetMaxRAM(std::int32_t aValue) {
  TnxPadlockGuard guard(*bmPadlock);
  std::int64_t maxRAM = std::min<std::int64_t>(std::max<std::int32_t>(aValue, 0), 1536);
  platform::MemoryFigures figures;
  if (platform::systemMemoryFigures(figures))
    maxRAM = std::min<std::int64_t>(maxRAM, static_cast<std::int64_t>(figures.totalPhysical >> 20) * 8 / 10);
  const std::int64_t limit = std::clamp<std::int64_t>(kVirtualMB - 1024, 16, 1536);
  const std::int64_t mapped = std::min(maxRAM, limit);
  bmMaxRAM = static_cast<std::int32_t>(maxRAM);
  // Each of the two mapped lists gets half; the allocated tier never activates.
  bmMaxPages[cbsMapped][0] = bmMaxPages[cbsMapped][1] = static_cast<std::int32_t>(mapped << 7);
  bmMaxPages[cbsAllocated][0] = bmMaxPages[cbsAllocated][1] = 0;
  bmCacheIsColdCheckState = cbsMapped;
}

std::int64_t TnxBufferManager::AvailableRAM() {
  TnxPadlockGuard guard(*bmPadlock);
  platform::MemoryFigures figures;
  if (!platform::systemMemoryFigures(figures)) return 0;
  const std::int64_t freeBudget = std::max<std::int64_t>(0, MappedBudget() - ResidentPages(cbsMapped)) * 4096;
  const std::int64_t virtualBytes = std::max<std::int64_t>(0, (kVirtualMB << 20) - freeBudget - 268435456);
  const std::int64_t physical =
      std::max<std::int64_t>(0, static_cast<std::int64_t>(figures.availablePhysical) - freeBudget - 33554432);
  return std::min(virtualBytes, physical);
}

// ---- Trim ---------------------------------------------------------------------------------

void TnxBufferManager::bmRemoveExcessBlocks(bool aForceMapped, bool) {
  // The common case on every block fetch: within budget, nothing to do; no
  // clock read, no list walk.
  if (!aForceMapped && ResidentPages(cbsMapped) <= MappedBudget() &&
      bmBlockListCount[cbsMapped][0][0] <= bmMaxPages[cbsMapped][1] &&
      bmBlockListCount[cbsMapped][1][0] <= bmMaxPages[cbsMapped][0] && !nxGetForceAllocated() &&
      !nxIsMemoryEmergency())
    return;
  if (aForceMapped && nxIsMemoryEmergency()) bmChunkEmergency = nxTickCount64();
  // Without the allocated tier only the mapped pass has a budget.
  bmRemoveExcessUsedBlocks(cbsMapped, aForceMapped);
  // Ghosts are kept only as far as the other list's budget reaches.
  for (const bool freq : {false, true}) {
    while (bmBlockListHead[cbsMapped][freq][0] &&
           bmBlockListCount[cbsMapped][freq][0] > bmMaxPages[cbsMapped][!freq]) {
      TnxBlockObject* ghost = bmBlockListHead[cbsMapped][freq][0];
      bmListUnlink(ghost, cbsMapped, freq, false);
      bmBlockListCount[cbsMapped][freq][0] -= nxBlockPages(ghost->boBlockSize);
      ghost->boBlockTracked &= static_cast<std::uint8_t>(~(1u << cbsMapped));
      ghost->boBlockTrackedFreq &= static_cast<std::uint8_t>(~(1u << cbsMapped));
      ghost->boBlockCacheHit[cbsMapped] = 0;
    }
  }
}

void TnxBufferManager::TrimAfterFlush() {
  TnxPadlockGuard guard(*bmPadlock);
  bmLastCheckFailed[cbsMapped] = 0;
  bmRemoveExcessBlocks(false, false);
}

void TnxBufferManager::bmRemoveExcessUsedBlocks(TnxCacheBlockState aState, bool aForce) {
  const std::uint64_t now = nxTickCount64();
  if (!aForce && bmLastCheckFailed[aState] != 0 && now <= bmLastCheckFailed[aState] + 1000) return;
  // A memory emergency counts as over; every 64th such answer asks the
  // memory manager for a full cleanup.
  auto emergency = [this, aState] {
    if (!(nxGetForceAllocated() || (aState == cbsMapped && nxIsMemoryEmergency()))) return false;
    if (--bmEmergencyCountdown <= 0) {
      nxRequestMemoryCleanup();
      bmEmergencyCountdown = 64;
    }
    return true;
  };
  auto overBudget = [&] {
    return ResidentPages(aState) > std::int64_t{bmMaxPages[aState][0]} + bmMaxPages[aState][1] || emergency();
  };
  auto overTarget = [&](bool aFreq) {
    return bmBlockListCount[aState][aFreq][1] > bmMaxPages[aState][aFreq] || emergency();
  };
  if (!overBudget()) return;
  const std::uint64_t start = now;
  for (;;) {
    // A pass that maps out nothing ends the trim: an eviction that reports
    // success without freeing pages must not spin here forever.
    const std::int64_t before = ResidentPages(aState);
    bmLastCheckFailed[aState] = start;
    for (const bool freq : {false, true}) {
      for (TnxBlockObject* object = bmBlockListHead[aState][freq][1]; object && overTarget(freq);) {
        TnxBlockObject* next = object->boBlockNext[aState];
        const TnxEvictResult result = object->CheckedEvict(aForce);  // the object may be gone
        if (result == erThis) {
          bmLastCheckFailed[aState] = 0;
          if (!aForce && nxTickCount64() - 150 > start) return;
          if (!overBudget()) return;
        } else if (result == erMany) {
          bmLastCheckFailed[aState] = 0;
          if (!aForce) return;
          break;
        }
        object = next;
      }
    }
    if (!overBudget() || bmLastCheckFailed[aState] != 0 || ResidentPages(aState) >= before) return;
  }
}

// ---- Scratch blocks --------------------------------------------------------------------------

TnxScratchBlock::TnxScratchBlock(TnxBufferManager* aBufferManager, TnxBlockSizeAll aSize)
    : TnxBlockObject(aBufferManager) {
  boBlockSize = aSize;
}

TnxEvictResult TnxScratchBlock::CheckedEvict(bool) {
  if (sbRefCount > 0) return erNone;
  return Evict() ? erThis : erNone;
}

TnxScratchBlock* TnxBufferManager::ScratchBlock(TnxScratchBlockHandle aHandle) {
  void* object = bmScratchHandles ? bmScratchHandles->Lookup(aHandle, &kScratchKind) : nullptr;
  nxAssert(object != nullptr, "Not a live scratch block handle");
  return static_cast<TnxScratchBlock*>(object);
}

TnxScratchBlockHandle TnxBufferManager::CreateScratchBlock(TnxBlockSizeAll aSize) {
  TnxPadlockGuard guard(*bmPadlock);
  bmRemoveExcessBlocks(nxIsMemoryEmergency(), false);
  if (!bmScratchHandles) bmScratchHandles = std::make_unique<TnxHandleTable>();
  TnxOwned<TnxScratchBlock> scratch(platform::create<TnxScratchBlock>(this, aSize));
  scratch->SetCacheBlock(platform::create<TnxCacheBlock>(aSize, bmTempStore, true));
  const TnxScratchBlockHandle handle = bmScratchHandles->Add(scratch.get(), &kScratchKind);
  bmScratchList.push_back(scratch.release());
  return handle;
}

void* TnxBufferManager::LockScratchBlock(TnxScratchBlockHandle aHandle) {
  TnxPadlockGuard guard(*bmPadlock);
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, false);
  TnxScratchBlock* scratch = ScratchBlock(aHandle);
  scratch->boCacheBlock->cbWriteProtected = false;
  void* address = scratch->boCacheBlock->Block();
  scratch->CountAccess();
  ++scratch->sbRefCount;
  return address;
}

void TnxBufferManager::UnlockScratchBlock(TnxScratchBlockHandle aHandle, void* aPointer) {
  TnxPadlockGuard guard(*bmPadlock);
  TnxScratchBlock* scratch = ScratchBlock(aHandle);
  nxAssert(scratch->sbRefCount > 0, "Scratch block unlocked more often than locked");
  nxAssert(scratch->boCacheBlock->cbState == cbsMapped && scratch->boCacheBlock->cbBlock == aPointer,
           "Scratch block unlocked with another address");
  if (--scratch->sbRefCount == 0) scratch->boCacheBlock->cbWriteProtected = true;
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, false);
}

void TnxBufferManager::FreeScratchBlock(TnxScratchBlockHandle aHandle) {
  TnxPadlockGuard guard(*bmPadlock);
  TnxScratchBlock* scratch = ScratchBlock(aHandle);
  nxAssert(scratch->sbRefCount == 0, "A locked scratch block must not be freed");
  bmScratchHandles->Remove(aHandle, &kScratchKind);
  bmScratchList.erase(std::find(bmScratchList.begin(), bmScratchList.end(), scratch));
  platform::TObject::free(scratch);
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, false);
}

void TnxBufferManager::bmFreeScratchBlocks() {
  for (TnxScratchBlock* scratch : bmScratchList) platform::TObject::free(scratch);
  bmScratchList.clear();
  bmScratchHandles.reset();
}

// ---- Statistics ---------------------------------------------------------------------------------

void TnxBufferManager::GetStatsCaptions(platform::TStringList& aList) {
  for (const char16_t* caption :
       {u"AWE Edition", u"Block Cache Available", u"Block Cache Used", u"Block Cache Miss", u"Block Cache Hit",
        u"Block Cache Eviction", u"Transactions Commited", u"Transactions Commited Nested",
        u"Transactions Rolledback", u"Transactions Rolledback Nested", u"Transactions Deadlocked",
        u"Transactions Corrupted", u"Blocks Read", u"Blocks Written"})
    aList.add(caption);
  TnxPadlockGuard guard(*bmPadlock);
  bmTempStore->GetStatsCaptions(aList);
}

void TnxBufferManager::GetStatsValues(platform::TStringList& aList) {
  TnxPadlockGuard guard(*bmPadlock);
  const bool emergency = bmChunkEmergency != 0 && nxTickCount64() - bmChunkEmergency < 5000;
  aList.add(u"No");
  aList.add(nxFormatInt64(MappedBudget() * 4) + u" kbyte");
  aList.add(nxFormatInt64(ResidentPages(cbsMapped) * 4) + u" kbyte" +
            (emergency ? u" <address space limit reached>" : u""));
  aList.add(nxFormatInt64(bmBlockCacheHit[cbsStored][0][0]));
  aList.add(nxFormatInt64(bmBlockCacheHit[cbsMapped][0][0]));
  aList.add(nxFormatInt64(bmBlockCacheEvict[cbsMapped][0][0]));
  for (std::int64_t v : {bmTransCommitCount, bmTransNestedCommitCount, bmTransRollbackCount,
                         bmTransNestedRollbackCount, bmTransDeadlockCount, bmTransCorruptedCount,
                         bmBlocksRead.load(), bmBlocksWritten.load()})
    aList.add(nxFormatInt64(v));
  bmTempStore->GetStatsValues(aList);
}

void TnxBufferManager::GetStatsValuesStatic(platform::TStringList& aList) {
  aList.add(u"No");
  aList.add(u"0 kbyte");
  aList.add(u"0 kbyte");
  for (int i = 0; i < 11; ++i) aList.add(u"0");
  if (const platform::ClassInfo* cls = TnxBaseTempStorage::RegisteredClass()) {
    const auto* funcs = cls->table<TnxTempStorageClassFuncs>();
    funcs->getStatsValuesStatic(aList);
  } else {
    TnxBaseTempStorage::GetStatsValuesStatic(aList);
  }
}

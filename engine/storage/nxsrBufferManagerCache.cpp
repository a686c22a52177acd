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

// Whether the block or one of its copies still holds a mapped image.
bool hasMappedImage(TnxReadOnlyBlock* aBlock) {
  if (aBlock->boCacheBlock && aBlock->boCacheBlock->cbState == cbsMapped) return true;
  for (TnxModifiedBlock* copy = aBlock->robBlockListTail; copy; copy = copy->mbPrev)
    if (copy->boCacheBlock && copy->boCacheBlock->cbState == cbsMapped) return true;
  return false;
}

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
  bmMaxPages = static_cast<std::int32_t>(mapped << 7);
  bmCacheIsColdCheckState = cbsMapped;
}

std::int64_t TnxBufferManager::AvailableRAM() {
  TnxPadlockGuard guard(*bmPadlock);
  platform::MemoryFigures figures;
  if (!platform::systemMemoryFigures(figures)) return 0;
  const std::int64_t freeBudget = std::max<std::int64_t>(0, 2 * std::int64_t{bmMaxPages} - MappedPages()) * 4096;
  const std::int64_t virtualBytes = std::max<std::int64_t>(0, (kVirtualMB << 20) - freeBudget - 268435456);
  const std::int64_t physical =
      std::max<std::int64_t>(0, static_cast<std::int64_t>(figures.availablePhysical) - freeBudget - 33554432);
  return std::min(virtualBytes, physical);
}

// ---- Trim ---------------------------------------------------------------------------------

void TnxBufferManager::bmRemoveExcessBlocks(bool aForceMapped, bool) {
  if (aForceMapped && nxIsMemoryEmergency()) bmChunkEmergency = nxTickCount64();
  bmRemoveExcessUsedBlocks(aForceMapped);
}

void TnxBufferManager::bmRemoveExcessUsedBlocks(bool aForce) {
  const std::uint64_t now = nxTickCount64();
  if (!aForce && bmLastCheckFailed != 0 && now <= bmLastCheckFailed + 1000) return;
  auto over = [this] { return MappedPages() > 2 * std::int64_t{bmMaxPages}; };
  if (!over()) return;
  const std::uint64_t start = now;
  for (;;) {
    // A pass that maps out nothing ends the trim: an eviction that reports
    // success without freeing pages must not spin here forever.
    const std::int64_t before = MappedPages();
    bmLastCheckFailed = start;
    // Oldest first: read-only blocks in recency order, then the scratch
    // blocks and transaction copies they own.
    // Blocks with nothing to give move to the tail: one pass visits each
    // block once, up to the tail it started with.
    TnxReadOnlyBlock* const lastAtStart = bmInUseListTail;
    for (TnxReadOnlyBlock* block = bmInUseListHead; block && over();) {
      TnxReadOnlyBlock* next = block->robInUseNext;
      if (block == lastAtStart) next = nullptr;
      const TnxEvictResult own = block->CheckedEvict(aForce);  // erThis: the block may be gone
      TnxEvictResult result = own;
      for (TnxModifiedBlock* copy = own == erNone ? block->robBlockListTail : nullptr;
           copy && result == erNone && over(); copy = copy->mbPrev)
        result = copy->CheckedEvict(aForce);
      if (own == erNone && bmInUseListTail != block && !hasMappedImage(block)) {
        // Nothing left here to give up: later passes need not walk past it.
        block->CountAccess();
      }
      if (result != erNone) {
        ++bmBlockCacheEvict;
        bmLastCheckFailed = 0;
        if (!over()) return;
        if (!aForce && nxTickCount64() - 150 > start) return;
      }
      block = next;
    }
    if (bmScratchHandles && over()) {
      // Scratch blocks are few: a linear pass over the live handles.
      for (TnxScratchBlock* scratch : bmScratchList) {
        if (!over()) break;
        if (scratch->CheckedEvict(aForce) == erThis) bmLastCheckFailed = 0;
      }
    }
    if (!over() || bmLastCheckFailed != 0 || MappedPages() >= before) return;
  }
}

// ---- Scratch blocks --------------------------------------------------------------------------

TnxScratchBlock::TnxScratchBlock(TnxBufferManager* aBufferManager, TnxBlockSizeAll aSize)
    : TnxBlockObject(aBufferManager) {
  boBlockSize = aSize;
}

TnxEvictResult TnxScratchBlock::CheckedEvict(bool) {
  if (sbRefCount > 0) return erNone;
  return boCacheBlock && boCacheBlock->Evict() ? erThis : erNone;
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
  aList.add(nxFormatInt64(2 * std::int64_t{bmMaxPages} * 4) + u" kbyte");
  aList.add(nxFormatInt64(MappedPages() * 4) + u" kbyte" + (emergency ? u" <address space limit reached>" : u""));
  aList.add(nxFormatInt64(bmBlockCacheMiss));
  aList.add(nxFormatInt64(bmBlockCacheHit));
  aList.add(nxFormatInt64(bmBlockCacheEvict));
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

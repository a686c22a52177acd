#include "nxsrBufferManager.h"

#include <cstring>
#include <exception>
#include <mutex>

#include <algorithm>

#include "nxsrBufferManagerInt.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFileException, EnxServerOSException)
NX_IMPLEMENT_EXCEPTION(EnxFileHeaderAccessException, EnxServerException)
NX_IMPLEMENT_EXCEPTION(EnxBaseJournalEngineException, EnxBaseException)

PL_CLASS_INFO_IMPL(TnxReleaseList, TnxList, "TnxReleaseList", nullptr)
PL_CLASS_INFO_IMPL(TnxCacheBlock, TnxObject, "TnxCacheBlock", nullptr)
PL_CLASS_INFO_IMPL(TnxBlockObject, TnxObject, "TnxBlockObject", nullptr)
PL_CLASS_INFO_IMPL(TnxReadOnlyBlock, TnxBlockObject, "TnxReadOnlyBlock", nullptr)
PL_CLASS_INFO_IMPL(TnxModifiedBlock, TnxBlockObject, "TnxModifiedBlock", nullptr)
PL_CLASS_INFO_IMPL(TnxBlockAccess, TnxObject, "TnxBlockAccess", nullptr)
PL_CLASS_INFO_IMPL(TnxBufferManager, TnxObject, "TnxBufferManager", nullptr)

namespace {

TnxMemoryPool gContainerPool;
std::once_flag gPoolsOnce;

void makePools() {
  gContainerPool = nxGetPool(sizeof(TnxBlockContainer));
}

}  // namespace

TnxMemoryPool& nxsrContainerPool() {
  std::call_once(gPoolsOnce, makePools);
  return gContainerPool;
}

std::uint32_t nxsrUsedBlocksOf(TnxBaseFile* aFile, const std::uint8_t* aHeader) {
  nxAssert(aFile->fiHeaderAccessFactory != nullptr, "File without header access factory");
  return aFile->fiHeaderAccessFactory->GetUsedBlocks(aHeader);
}

// ---- Release list -----------------------------------------------------------------

TnxReleaseList::~TnxReleaseList() {
  try {
    Release();
  } catch (...) {
  }
}

void TnxReleaseList::Add(PnxBlock aBlock, const TnxReleaseMethod& aMethod) {
  if (rlCount < kInline) {
    rlInline[rlCount++] = Item{aBlock, aMethod};
    return;
  }
  try {
    rlMore.push_back(Item{aBlock, aMethod});
  } catch (...) {
    // The caller handed the pin over: it must not outlive a failed add.
    TnxReleaseMethod method = aMethod;
    nxReleaseBlock(method, aBlock);
    throw;
  }
}

void TnxReleaseList::Release() {
  // Cleared before the calls, so a throwing release never runs twice.
  const std::size_t count = rlCount;
  rlCount = 0;
  ++rlGeneration;
  std::exception_ptr first;
  auto release = [&first](Item& aItem) {
    try {
      nxReleaseBlock(aItem.method, aItem.block);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  for (std::size_t i = 0; i < count; ++i) release(rlInline[i]);
  std::vector<Item> more;
  more.swap(rlMore);
  for (Item& item : more) release(item);
  more.clear();
  if (rlMore.empty()) rlMore.swap(more);  // keeps the room
  if (first) std::rethrow_exception(first);
}

// ---- Cache blocks -------------------------------------------------------------------

TnxCacheBlock::TnxCacheBlock(TnxBlockSizeAll aSize, TnxBaseTempStorage* aTempStore, bool aZero)
    : cbTempStore(aTempStore), cbSize(aSize) {
  cbHandle = nxMapableBlockAlloc(aSize);
  cbBlock = static_cast<PnxBlock>(nxMapableBlockMap(cbHandle));
  cbState = cbsMapped;
  cbWriteProtected = true;
  if (aZero) std::memset(cbBlock, 0, nxBlockBytes(aSize));
}

TnxCacheBlock::TnxCacheBlock(TnxCacheBlock& aSource) : TnxCacheBlock(aSource.cbSize, aSource.cbTempStore, false) {
  std::memcpy(cbBlock, aSource.Block(), nxBlockBytes(cbSize));
}

TnxCacheBlock::~TnxCacheBlock() {
  if (cbState == cbsMapped) {
    nxMapableBlockUnmap(cbHandle, cbBlock);
    nxMapableBlockFree(cbHandle);
    if (cbPages) cbPages->fetch_sub(nxBlockPages(cbSize), std::memory_order_relaxed);
  } else if (cbTempNum != -1 && cbTempStore) {
    try {
      cbTempStore->ReleaseBlock(cbTempNum, cbSize);
    } catch (...) {
      // The slot stays taken; the storage file goes with the storage.
    }
  }
}

void TnxCacheBlock::Dispose(TnxCacheBlock* aImage) {
  if (!aImage) return;
  if (aImage->cbPins.load(std::memory_order_acquire) > 0) {
    aImage->cbOwner = nullptr;
    aImage->cbRetired = true;
    return;
  }
  platform::TObject::free(aImage);
}

void TnxCacheBlock::SetPageCounter(std::atomic<std::int64_t>* aPages) {
  if (aPages == cbPages) return;
  if (cbState == cbsMapped) {
    if (cbPages) cbPages->fetch_sub(nxBlockPages(cbSize), std::memory_order_relaxed);
    if (aPages) aPages->fetch_add(nxBlockPages(cbSize), std::memory_order_relaxed);
  }
  cbPages = aPages;
}

void TnxCacheBlock::MapBack() {
  nxAssert(cbState == cbsStored && cbTempNum != -1, "Cache block without an image");
  TnxMapableBlockHandle handle = nxMapableBlockAlloc(cbSize);
  auto* block = static_cast<PnxBlock>(nxMapableBlockMap(handle));
  try {
    cbTempStore->ReadBlock(cbTempNum, cbSize, block);
  } catch (...) {
    nxMapableBlockUnmap(handle, block);
    nxMapableBlockFree(handle);
    throw;
  }
  cbHandle = handle;
  cbBlock = block;
  cbTempNum = -1;
  cbState = cbsMapped;
  cbChecked = false;
  if (cbPages) cbPages->fetch_add(nxBlockPages(cbSize), std::memory_order_relaxed);
  if (cbOwner) cbOwner->UpdateBlockList(false);
}

bool TnxCacheBlock::Evict() {
  if (cbState != cbsMapped || !cbTempStore || !cbTempStore->HasSpaceFor(cbSize)) return false;
  cbTempNum = cbTempStore->WriteBlock(cbBlock, cbSize);
  nxMapableBlockUnmap(cbHandle, cbBlock);
  nxMapableBlockFree(cbHandle);
  cbHandle = 0;
  cbBlock = nullptr;
  cbState = cbsStored;
  if (cbPages) cbPages->fetch_sub(nxBlockPages(cbSize), std::memory_order_relaxed);
  return true;
}

// ---- Block objects --------------------------------------------------------------------

TnxBlockObject::~TnxBlockObject() {
  UnlinkFromLists();
  TnxCacheBlock::Dispose(boCacheBlock);
}

void TnxBlockObject::Validate(PnxBlock) {}
void TnxBlockObject::CacheBlockNeeded() {}

void TnxBlockObject::SetCacheBlock(TnxCacheBlock* aCacheBlock, bool aCountIt) {
  if (aCacheBlock == boCacheBlock) return;
  TnxCacheBlock::Dispose(boCacheBlock);
  boCacheBlock = aCacheBlock;
  if (aCacheBlock) {
    boBlockSize = aCacheBlock->cbSize;
    aCacheBlock->SetPageCounter(&boBufferManager->bmMappedPages);
    aCacheBlock->cbTempStore = boBufferManager->bmTempStore;
    aCacheBlock->cbOwner = this;
  }
  UpdateBlockList(aCountIt);
}

TnxCacheBlock* TnxBlockObject::ReleaseCacheBlock(bool aCountIt) {
  TnxCacheBlock* image = std::exchange(boCacheBlock, nullptr);
  if (image) image->cbOwner = nullptr;
  UpdateBlockList(aCountIt);
  return image;
}

void TnxBlockObject::CopyFrom(TnxBlockObject& aSource) {
  SetCacheBlock(nullptr);
  if (!aSource.boCacheBlock) aSource.CacheBlockNeeded();
  if (aSource.boCacheBlock) {
    SetCacheBlock(platform::create<TnxCacheBlock>(*aSource.boCacheBlock));
    aSource.CountAccess();
  }
}

void TnxBlockObject::MoveFrom(TnxBlockObject& aSource) {
  if (!aSource.boCacheBlock) aSource.CacheBlockNeeded();
  SetCacheBlock(aSource.ReleaseCacheBlock());
}

bool TnxBlockObject::Evict() {
  if (!boCacheBlock || !boCacheBlock->Evict()) return false;
  UpdateBlockList(true);
  return true;
}

namespace {
constexpr std::uint32_t kHitCeiling = 4294967295u;
std::int64_t pagesOf(TnxBlockSizeAll aSize) { return nxBlockPages(aSize); }
}  // namespace

void TnxBufferManager::bmListAppend(TnxBlockObject* aObject, TnxCacheBlockState aState, bool aFrequency,
                                    bool aResident) {
  TnxBlockObject*& tail = bmBlockListTail[aState][aFrequency][aResident];
  aObject->boBlockPrev[aState] = tail;
  aObject->boBlockNext[aState] = nullptr;
  if (tail)
    tail->boBlockNext[aState] = aObject;
  else
    bmBlockListHead[aState][aFrequency][aResident] = aObject;
  tail = aObject;
}

void TnxBufferManager::bmListUnlink(TnxBlockObject* aObject, TnxCacheBlockState aState, bool aFrequency,
                                    bool aResident) {
  TnxBlockObject* prev = aObject->boBlockPrev[aState];
  TnxBlockObject* next = aObject->boBlockNext[aState];
  if (prev)
    prev->boBlockNext[aState] = next;
  else
    bmBlockListHead[aState][aFrequency][aResident] = next;
  if (next)
    next->boBlockPrev[aState] = prev;
  else
    bmBlockListTail[aState][aFrequency][aResident] = prev;
  aObject->boBlockPrev[aState] = aObject->boBlockNext[aState] = nullptr;
}

void TnxBlockObject::UpdateBlockList(bool aCountIt) {
  TnxBufferManager* m = boBufferManager;
  // (The states are three; the clamps tell the compiler so.)
  const auto s2 = static_cast<TnxCacheBlockState>(std::min<int>(boCacheBlock ? boCacheBlock->cbState : cbsStored, cbsMapped));
  const std::uint32_t h = boBlockCacheHit[s2];
  const bool f2 = h >= kHitCeiling - 1;  // the frequency lists: only at the counter's ceiling
  const bool g = h == kHitCeiling;
  const auto s = static_cast<TnxCacheBlockState>(std::min<int>(boBlockState, cbsMapped));
  const bool f = boBlockFreqUse;
  if (s2 == s && f2 == f && s != cbsStored && m->bmBlockListTail[s][f][1] == this) return;
  if (s != cbsStored) m->bmListUnlink(this, s, f, true);
  const std::uint8_t bit2 = static_cast<std::uint8_t>(1u << s2);
  if (boBlockTracked & bit2) {
    const bool tf = (boBlockTrackedFreq & bit2) != 0;
    m->bmListUnlink(this, s2, tf, false);
    m->bmBlockListCount[s2][tf][0] -= pagesOf(boBlockSize);
    boBlockTracked &= static_cast<std::uint8_t>(~bit2);
    boBlockTrackedFreq &= static_cast<std::uint8_t>(~bit2);
  }
  if (s2 != s || f2 != f) {
    if (s != cbsStored) m->bmBlockListCount[s][f][1] -= pagesOf(boBlockSize);
    if (s2 != cbsStored) {
      boBlockSize = boCacheBlock->cbSize;
      m->bmBlockListCount[s2][f2][1] += pagesOf(boBlockSize);
    }
  }
  if (aCountIt) {
    const bool bulk = boWasBulkLoaded == wblYes;
    if (s2 > s) {
      // The image came up: budget moves towards the list it returns to.
      std::int32_t& from = m->bmMaxPages[s2][!g];
      const std::int32_t a = from / 500;
      if (a < from) {
        from -= a;
        m->bmMaxPages[s2][g] += a;
      }
    }
    if (s2 == cbsMapped) {
      if (boBlockCacheHit[s] != kHitCeiling) ++boBlockCacheHit[s];
      if (boWasBulkLoaded != wblYesTrigger) ++m->bmBlockCacheHit[s][f][bulk];
      boWasBulkLoaded = wblNo;
    } else if (s2 < s) {
      if (boBlockCacheEvict[s] != kHitCeiling) ++boBlockCacheEvict[s];
      if (boWasBulkLoaded != wblYesTrigger) ++m->bmBlockCacheEvict[s][f][bulk];
      boWasBulkLoaded = wblNo;
    }
  }
  if (s2 < s && boBlockCacheHit[s] > 0) {
    // A ghost of the state it left.
    const bool tf = boBlockCacheHit[s] == kHitCeiling;
    m->bmListAppend(this, s, tf, false);
    m->bmBlockListCount[s][tf][0] += pagesOf(boBlockSize);
    boBlockTracked |= static_cast<std::uint8_t>(1u << s);
    if (tf) boBlockTrackedFreq |= static_cast<std::uint8_t>(1u << s);
  }
  boBlockState = s2;
  boBlockFreqUse = f2;
  if (s2 != cbsStored) m->bmListAppend(this, s2, f2, true);
}

void TnxBlockObject::UnlinkFromLists() {
  TnxBufferManager* m = boBufferManager;
  if (boBlockState != cbsStored) {
    m->bmListUnlink(this, boBlockState, boBlockFreqUse, true);
    m->bmBlockListCount[boBlockState][boBlockFreqUse][1] -= pagesOf(boBlockSize);
    boBlockState = cbsStored;
  }
  for (std::uint8_t t = 0; t < 3; ++t) {
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << t);
    if (!(boBlockTracked & bit)) continue;
    const bool tf = (boBlockTrackedFreq & bit) != 0;
    m->bmListUnlink(this, static_cast<TnxCacheBlockState>(t), tf, false);
    m->bmBlockListCount[t][tf][0] -= pagesOf(boBlockSize);
  }
  boBlockTracked = boBlockTrackedFreq = 0;
}

// ---- Read-only blocks -------------------------------------------------------------------

TnxReadOnlyBlock::TnxReadOnlyBlock(TnxBufferManager* aBufferManager, TnxBaseFile* aFile, TnxBlockNumber aBlockNum,
                                   bool aNew)
    : TnxBlockObject(aBufferManager), robFile(aFile), robBlockNum(aBlockNum), robNew(aNew) {
  boBlockSize = aFile->fiBlockSize;
}

TnxReadOnlyBlock::~TnxReadOnlyBlock() = default;

void TnxReadOnlyBlock::Validate(PnxBlock aBlock) {
  if (robFile->fiHeaderAccessFactory) robFile->fiHeaderAccessFactory->ValidateBlock(aBlock, robBlockNum);
}

TnxEvictResult TnxReadOnlyBlock::CheckedEvict(bool) {
  if (robRefCount.load(std::memory_order_acquire) > 0 || robLoading || robWaiting > 0 ||
      robUnwritten.load(std::memory_order_acquire))
    return erNone;
  if (robFile->IsTemporary() || robNew) {
    // Not on disk: the image can only be parked.
    return Evict() ? erThis : erNone;
  }
  if (robTrans || robBlockListTail || robBlockNum == 0 || HasSnapShots()) {
    // The object stays (copies, snapshots or the file's block 0 refer to it); the
    // committed image is read again when needed.
    if (!boCacheBlock) return erNone;
    platform::TObject::free(ReleaseCacheBlock(true));
    return erThis;
  }
  platform::TObject::free(ReleaseCacheBlock(true));
  nxsrDropBlock(boBufferManager, this);
  return erThis;
}

void TnxReadOnlyBlock::CacheBlockNeeded() {
  // Another thread's load is waited for, never run twice at once.
  while (robLoading) WaitForLoad();
  if (boCacheBlock || robNew) return;
  // Counted as a load (a miss), which also moves budget when it was a ghost.
  SetCacheBlock(platform::create<TnxCacheBlock>(robFile->fiBlockSize, robFile->fiTempStore, false), true);
  InxManualEventRef event = nxGetManualEvent();
  robLoading = event;
  try {
    TnxPadlockUnlockGuard unlocked(boBufferManager->Padlock());
    robFile->ReadBlock(this);
    nxCheckStoredLSN(nxBlockHeader(boCacheBlock->Block())->bchLSN, robBlockNum, robFile->FileName());
  } catch (...) {
    // Nothing half-loaded stays: waiters wake up and the next request reads
    // again.
    SetCacheBlock(nullptr);
    robLoading.reset();
    event->Signal();
    throw;
  }
  robLoading.reset();
  robLastLSN = boCacheBlock ? nxBlockHeader(boCacheBlock->Block())->bchLSN : 0;
  event->Signal();
}

void TnxReadOnlyBlock::WaitForLoad() {
  InxManualEventRef event = robLoading;
  if (!event) return;
  // The pin keeps eviction away while the padlock is free; the count says
  // that somebody waits.
  Pin();
  ++robWaiting;
  {
    TnxPadlockUnlockGuard unlocked(boBufferManager->Padlock());
    event->WaitFor();
  }
  --robWaiting;
  const bool freed = UnpinLocked();
  nxAssert(!freed, "Block dropped while a thread waited for its load");
}

bool TnxReadOnlyBlock::UnpinLocked() {
  if (robRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1 || !robOrphaned.load(std::memory_order_acquire))
    return false;
  FreeIfOrphanDone();
  return true;
}

PnxBlock TnxReadOnlyBlock::Block(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  PnxBlock image = nullptr;
  TnxCacheBlock* source = nullptr;  // the object of the image, none for the zero block
  const std::int32_t snapshot = aTrans && aTrans->IsSnapshot() ? aTrans->btSnapshotID : -1;
  // Every wait and load frees the padlock, and a commit in that window may
  // change which image aTrans must see: the choice is made again after it.
  while (!image) {
    if (aTrans && robTrans == aTrans) {
      image = robBlockListTail->mbGetBlock(aMarkDirty);
      source = robBlockListTail->boCacheBlock;
    } else if (snapshot >= 0 && static_cast<std::size_t>(snapshot) < robSnapShotLinks.size() &&
               robSnapShotLinks[static_cast<std::size_t>(snapshot)]) {
      // The image this snapshot reader saw before later commits.
      TnxBlockSnapShot* past = robSnapShotLinks[static_cast<std::size_t>(snapshot)]->bsslBlockSnapShot;
      image = past->Block();
      source = past->boCacheBlock;
    } else {
      if (snapshot >= 0 && !robFile->HasSnapShotFlag(snapshot)) {
        // The first look of this snapshot reader at the file.
        const auto bytes = static_cast<std::size_t>(snapshot) / 8 + 1;
        if (robFile->fiSnapShotFlags.size() < bytes) robFile->fiSnapShotFlags.resize(bytes, 0);
        platform::create<TnxFileSnapShotLink>(robFile, aTrans);
      }
      if (robLoading) {
        WaitForLoad();
      } else if (boCacheBlock) {
        image = boCacheBlock->Block();
        source = boCacheBlock;
        CountAccess();
      } else if (robNew) {
        image = static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock()));
      } else {
        CacheBlockNeeded();
      }
    }
  }
  Pin();
  if (source && image == source->cbBlock) {
    if (!source->cbPinBlock) source->cbPinBlock = this;
    nxAssert(source->cbPinBlock == this, "Image pinned on another block");
    source->cbPins.fetch_add(1, std::memory_order_acq_rel);
    aReleaseMethod = {&TnxReadOnlyBlock::ReleaseImage, source};
  } else {
    aReleaseMethod = ReleaseMethod();
  }
  return image;
}

void TnxReadOnlyBlock::Release(void* aObject, PnxBlock& aBlock) {
  aBlock = nullptr;
  auto* self = static_cast<TnxReadOnlyBlock*>(aObject);
  // Any pin but the last goes without the padlock; the last one and the
  // decision to free an orphan are taken together under it, so that no
  // eviction frees the block in between.
  std::int32_t count = self->robRefCount.load(std::memory_order_acquire);
  while (count > 1)
    if (self->robRefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) return;
  TnxPadlockGuard guard(self->boBufferManager->Padlock());
  self->UnpinLocked();
}

void TnxReadOnlyBlock::ReleaseImage(void* aObject, PnxBlock& aBlock) {
  auto* image = static_cast<TnxCacheBlock*>(aObject);
  TnxReadOnlyBlock* self = image->cbPinBlock;
  // As for the block's pins: only the last pin of the image is dropped
  // under the padlock, together with the decision to free a retired image.
  std::int32_t count = image->cbPins.load(std::memory_order_acquire);
  while (count > 1)
    if (image->cbPins.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
      Release(self, aBlock);
      return;
    }
  aBlock = nullptr;
  TnxPadlockGuard guard(self->boBufferManager->Padlock());
  if (image->cbPins.fetch_sub(1, std::memory_order_acq_rel) == 1 && image->cbRetired) platform::TObject::free(image);
  self->UnpinLocked();
}

void TnxReadOnlyBlock::FreeIfOrphanDone() {
  // The last release and the orphaning may race: one of them frees.
  if (!robFreeClaimed.exchange(true, std::memory_order_acq_rel)) platform::TObject::free(this);
}

void TnxReadOnlyBlock::UnlinkFromTransaction() {
  TnxBaseTransaction* trans = robTrans;
  if (!trans) return;
  if (robTransPrev)
    robTransPrev->robTransNext = robTransNext;
  else
    trans->btTransBlockListHead = robTransNext;
  if (robTransNext)
    robTransNext->robTransPrev = robTransPrev;
  else
    trans->btTransBlockListTail = robTransPrev;
  robTransNext = robTransPrev = nullptr;
  --trans->btBlockCount;
  robTrans = nullptr;
}

void TnxReadOnlyBlock::MakeDirty(TnxBaseTransaction* aTrans) {
  nxAssert(aTrans != nullptr, "Must have a transaction in order to modify a Block.");
  nxAssert(robTrans == nullptr || robTrans == aTrans, "Block is modified by another transaction");
  TnxBaseTransactionLevel* level = aTrans->btTransLevelsTail;
  nxAssert(level != nullptr, "Transaction without a level");
  if (robBlockListTail) {
    if (robBlockListTail->mbTransLevel->Level() < level->Level()) platform::create<TnxModifiedBlock>(this, level);
    return;
  }
  // The copy needs the committed image: load it before anything is linked
  // (loading releases the padlock).
  if (!robNew && !boCacheBlock) {
    TnxReleaseMethod release;
    PnxBlock image = Block(nullptr, false, release);
    nxReleaseBlock(release, image);
  }
  TnxBaseFile* file = robFile;
  if (file->fiTrans != aTrans) {
    nxAssert(file->fiTrans == nullptr, "File is modified by another transaction");
    file->fiTransLevel = level;
    file->fiTrans = aTrans;
    file->fiTransPrev = aTrans->btTransFileListTail;
    file->fiTransNext = nullptr;
    if (aTrans->btTransFileListTail)
      aTrans->btTransFileListTail->fiTransNext = file;
    else
      aTrans->btTransFileListHead = file;
    aTrans->btTransFileListTail = file;
    file->fiTransUsedBlocks = file->fiUsedBlocks;
  }
  TnxModifiedBlock* copy = platform::create<TnxModifiedBlock>(this, level);
  robTrans = aTrans;
  robTransPrev = aTrans->btTransBlockListTail;
  robTransNext = nullptr;
  if (aTrans->btTransBlockListTail)
    aTrans->btTransBlockListTail->robTransNext = this;
  else
    aTrans->btTransBlockListHead = this;
  aTrans->btTransBlockListTail = this;
  ++aTrans->btBlockCount;
  if (copy->boCacheBlock) nxBlockHeader(copy->boCacheBlock->Block())->bchLSN = aTrans->btLSN;
}

namespace {

// aImage becomes the committed image. The one it replaces is never written
// over: readers that pin it keep it, unchanged, until they release it.
void takeImage(TnxReadOnlyBlock& aBlock, TnxCacheBlock* aImage) {
  aBlock.SetCacheBlock(aImage);
  aBlock.boCacheBlock->cbWriteProtected = true;
}

}  // namespace

bool TnxReadOnlyBlock::Commit(bool aForce, bool aIsWTCommit) {
  nxAssert(robTrans != nullptr && robBlockListTail != nullptr, "Commit of a block that is not dirty");
  TnxModifiedBlock* newest = robBlockListTail;
  TnxBaseTransaction* trans = robTrans;
  if (!aForce && newest->mbTransLevel != trans->btTransLevelsTail) return false;
  if (newest->mbTransLevel->tlLevel > 0) {
    TnxBaseTransactionLevel* parent = newest->mbTransLevel->tlPrev;
    TnxModifiedBlock* older = newest->mbPrev;
    if (older && older->mbTransLevel == parent) {
      older->mbDiscarded = newest->mbDiscarded;
      older->SetCacheBlock(newest->ReleaseCacheBlock());
      robBlockListTail = older;
      platform::TObject::free(newest);
    } else {
      newest->DecreaseTransLevel();
    }
    return false;
  }
  // A reader may be filling the committed image from disk right now: that
  // load ends before the image is handed to snapshots or replaced.
  while (robLoading) WaitForLoad();
  // The committed image about to be replaced stays for the snapshot
  // readers that need it.
  nxsrSnapShotBeforeCommit(this);
  const bool discarded = newest->mbDiscarded;
  const bool temporary = robFile->IsTemporary();
  if (aIsWTCommit && robRefCount.load(std::memory_order_acquire) > 0) {
    if (discarded) {
      SetCacheBlock(nullptr);
      robNew = true;
    } else {
      if (newest->NeedsCheck()) Validate(newest->boCacheBlock->Block());
      takeImage(*this, platform::create<TnxCacheBlock>(*newest->boCacheBlock));
    }
    if (!temporary) robFile->WriteBlock(this);
  } else {
    // Validated before anything changes, so a refused image leaves the
    // block dirty and the transaction able to roll back.
    if (newest->NeedsCheck()) Validate(newest->boCacheBlock->Block());
    TnxCacheBlock* image = newest->ReleaseCacheBlock();
    if (discarded) {
      TnxCacheBlock::Dispose(image);
      // Readers still holding the old image keep it until they release.
      SetCacheBlock(nullptr);
      robNew = true;
    } else {
      takeImage(*this, image);
    }
    if (!temporary) robFile->WriteBlock(this);
    robBlockListTail = nullptr;
    platform::TObject::free(newest);
    UnlinkFromTransaction();
  }
  if (!discarded) robNew = false;
  // A parked image stays parked: the flush maps it back under the padlock
  // when it writes it.
  if (robBlockNum == 0 && boCacheBlock && !discarded) {
    robFile->fiUsedBlocks = nxsrUsedBlocksOf(robFile, boCacheBlock->Block());
    robLastLSN = nxBlockHeader(boCacheBlock->Block())->bchLSN;
  }
  return true;
}

void TnxReadOnlyBlock::Rollback() {
  if (robTrans) RollbackTransLevel(robTrans->btTransLevelsTail);
}

void TnxReadOnlyBlock::RollbackTransLevel(TnxBaseTransactionLevel* aLevel) {
  TnxModifiedBlock* newest = robBlockListTail;
  if (!newest || newest->mbTransLevel != aLevel) return;
  TnxBaseTransaction* trans = robTrans;
  robBlockListTail = newest->mbPrev;
  platform::TObject::free(newest);
  if (!robBlockListTail) {
    UnlinkFromTransaction();
    if (robNew && !HasSnapShots()) {  // snapshot readers still name the object
      nxsrDropBlock(boBufferManager, this);
      return;
    }
  }
  if (robBlockNum == 0 && robTrans == trans && trans) {
    TnxReleaseMethod release;
    PnxBlock image = Block(trans, false, release);
    robFile->fiTransUsedBlocks = nxsrUsedBlocksOf(robFile, image);
    nxReleaseBlock(release, image);
  }
}

void TnxReadOnlyBlock::RollbackUnwritten() {
  robUnwritten = false;
  if (robTrans || HasSnapShots()) {
    // Still owned (a write-through commit) or named by snapshot readers:
    // only the committed image goes (readers pinning it keep it).
    SetCacheBlock(nullptr);
    robNew = false;
    return;
  }
  nxsrDropBlock(boBufferManager, this);
}

void nxsrDropBlock(TnxBufferManager* aManager, TnxReadOnlyBlock* aBlock) {
  aManager->bmRemoveBlockFromFile(aBlock);
  if (aBlock->robRefCount.load(std::memory_order_acquire) == 0 && !aBlock->robLoading) {
    aBlock->robFreeClaimed.store(true);
    platform::TObject::free(aBlock);
    return;
  }
  aBlock->robOrphaned.store(true, std::memory_order_release);
  if (aBlock->robRefCount.load(std::memory_order_acquire) == 0) aBlock->FreeIfOrphanDone();
}

// ---- Modified blocks ------------------------------------------------------------------

TnxModifiedBlock::TnxModifiedBlock(TnxReadOnlyBlock* aReadOnlyBlock, TnxBaseTransactionLevel* aTransLevel)
    : TnxBlockObject(aReadOnlyBlock->boBufferManager),
      mbReadOnlyBlock(aReadOnlyBlock),
      mbPrev(aReadOnlyBlock->robBlockListTail) {
  boBlockSize = aReadOnlyBlock->boBlockSize;
  if (mbPrev) {
    mbDiscarded = mbPrev->mbDiscarded;
    if (!mbDiscarded) CopyFrom(*mbPrev);
  } else {
    mbDiscarded = aReadOnlyBlock->robNew;
    if (!mbDiscarded) {
      const TnxFileAttributes attrs = aReadOnlyBlock->robFile->fiAttributes;
      const bool moveOnly = attrs.contains(nxfaTransWriteThrough) && !attrs.contains(nxfaTemporary) &&
                            !attrs.contains(nxfaMemTable);
      if (moveOnly && aReadOnlyBlock->robRefCount.load() == 0)
        MoveFrom(*aReadOnlyBlock);
      else
        CopyFrom(*aReadOnlyBlock);
    }
  }
  if (boCacheBlock) boCacheBlock->cbWriteProtected = false;
  aReadOnlyBlock->robBlockListTail = this;
  LinkToLevel(aTransLevel);
}

TnxModifiedBlock::~TnxModifiedBlock() { UnlinkFromLevel(); }

TnxEvictResult TnxModifiedBlock::CheckedEvict(bool) {
  if (mbReadOnlyBlock->robRefCount.load(std::memory_order_acquire) > 0) return erNone;
  if (!boCacheBlock || boCacheBlock->cbState != cbsMapped) return erNone;
  // Checked while still in memory, so that the commit's checks need not
  // read the parked image back.
  bool checked = false;
  if (!mbDiscarded) {
    try {
      mbReadOnlyBlock->Validate(boCacheBlock->Block());
      checked = true;
    } catch (const EnxBaseException&) {
      // Left to the commit, which refuses it.
    }
  }
  if (!Evict()) return erNone;
  boCacheBlock->cbChecked = checked;
  return erThis;
}

bool TnxModifiedBlock::NeedsCheck() const {
  return !mbDiscarded && boCacheBlock && !(boCacheBlock->cbState == cbsStored && boCacheBlock->cbChecked);
}

void TnxModifiedBlock::LinkToLevel(TnxBaseTransactionLevel* aLevel) {
  mbTransLevel = aLevel;
  mbTransLevelPrev = aLevel->tlModifiedBlocksTail;
  mbTransLevelNext = nullptr;
  if (aLevel->tlModifiedBlocksTail)
    aLevel->tlModifiedBlocksTail->mbTransLevelNext = this;
  else
    aLevel->tlModifiedBlocksHead = this;
  aLevel->tlModifiedBlocksTail = this;
  ++aLevel->tlBlockCount;
}

void TnxModifiedBlock::UnlinkFromLevel() {
  TnxBaseTransactionLevel* level = mbTransLevel;
  if (!level) return;
  if (mbTransLevelPrev)
    mbTransLevelPrev->mbTransLevelNext = mbTransLevelNext;
  else
    level->tlModifiedBlocksHead = mbTransLevelNext;
  if (mbTransLevelNext)
    mbTransLevelNext->mbTransLevelPrev = mbTransLevelPrev;
  else
    level->tlModifiedBlocksTail = mbTransLevelPrev;
  mbTransLevelPrev = mbTransLevelNext = nullptr;
  --level->tlBlockCount;
  mbTransLevel = nullptr;
}

PnxBlock TnxModifiedBlock::mbGetBlock(bool aMarkDirty) {
  if (mbDiscarded) {
    if (!aMarkDirty) return static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock()));
    mbDiscarded = false;
    TnxBaseFile* file = mbReadOnlyBlock->robFile;
    SetCacheBlock(platform::create<TnxCacheBlock>(file->fiBlockSize, file->fiTempStore, true));
    boCacheBlock->cbWriteProtected = false;
    if (TnxBaseTransaction* trans = mbReadOnlyBlock->robTrans)
      nxBlockHeader(boCacheBlock->Block())->bchLSN = trans->btLSN;
    return boCacheBlock->Block();
  }
  boCacheBlock->cbWriteProtected = false;
  PnxBlock image = boCacheBlock->Block();
  CountAccess();
  return image;
}

void TnxModifiedBlock::Discard() {
  if (mbDiscarded) return;
  mbDiscarded = true;
  if (mbReadOnlyBlock->robFile->IsTemporary() && mbReadOnlyBlock->robRefCount.load() == 0) SetCacheBlock(nullptr);
}

void TnxModifiedBlock::DecreaseTransLevel() {
  TnxBaseTransactionLevel* parent = mbTransLevel ? mbTransLevel->tlPrev : nullptr;
  nxAssert(parent != nullptr, "No parent transaction level");
  UnlinkFromLevel();
  LinkToLevel(parent);
}

// ---- Block access -----------------------------------------------------------------------

TnxBlockAccess::TnxBlockAccess(TnxBaseFile* aFile, TnxBlockAccess* aMain, const nxString& aBaseName,
                               std::int32_t aID)
    : baFile(aFile), baID(aID), baMain(aMain), baBaseName(aBaseName) {}

PnxBlock TnxBlockAccess::GetBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                                  TnxReleaseMethod& aReleaseMethod, std::int32_t aID) {
  PnxBlock image = baFile->fiBufMgr->GetBlock(baFile, aTrans, aBlockNumber, aMarkDirty, aReleaseMethod);
  if (!image) return nullptr;
  try {
    baFile->fiHeaderAccessFactory->VerifyID(image, aBlockNumber, aID);
    // An engine's block is checked as a whole when read, so that a damaged
    // one fails here and not at the next commit.
    if (aID != 0) baFile->fiHeaderAccessFactory->ValidateBlock(image, aBlockNumber);
  } catch (...) {
    nxReleaseBlock(aReleaseMethod, image);
    throw;
  }
  return image;
}

void TnxBlockAccess::DirtyBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans, PnxBlock& aModifiableBlock) {
  baFile->fiBufMgr->DirtyBlock(baFile, aBlockNumber, aTrans, aModifiableBlock);
}

TnxBaseFileHeaderAccess* TnxBlockAccess::HeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty) {
  return baFile->fiHeaderAccessFactory->CreateFileHeaderAccess(aTrans, aMarkDirty, this);
}

bool TnxBlockAccess::ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans) {
  if (aBlockNumber == 0) return false;
  // The file's owner and its counts change with other threads' commits.
  TnxPadlockGuard guard(baFile->fiBufMgr->Padlock());
  if (aTrans && baFile->fiTrans == aTrans) return aBlockNumber < baFile->fiTransUsedBlocks;
  if (aTrans && aTrans->IsSnapshot()) {
    const auto id = static_cast<std::size_t>(aTrans->btSnapshotID);
    if (id < baFile->fiSnapShotLinks.size() && baFile->fiSnapShotLinks[id])
      return aBlockNumber < baFile->fiSnapShotLinks[id]->fsslUsedBlocks;
  }
  return aBlockNumber < baFile->fiUsedBlocks;
}

bool TnxBlockAccess::ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseFileHeaderAccess* aHeaderAccess) {
  if (aBlockNumber == 0) return false;
  if (!aHeaderAccess) {
    TnxPadlockGuard guard(baFile->fiBufMgr->Padlock());
    return aBlockNumber < baFile->fiUsedBlocks;
  }
  return aBlockNumber < aHeaderAccess->UsedBlocks();
}

void TnxBlockAccess::ChangePassword(TnxBaseTransaction* aTrans, const nxString& aNewPassword) {
  if (baID != 0) throw EnxBaseFileException(nxErrNotSupported, u"ChangePassword is only allowed for the root table");
  if (!baFile->fiEncryptionEngine)
    throw EnxBaseFileException(nxErrNotSupported, u"ChangePassword is only supported for tables with an encryption engine");
  TnxOwned<TnxBaseFileHeaderAccess> access(HeaderAccess(aTrans, true));
  access->ChangePassword(aNewPassword);
}

TnxLSN TnxBlockAccess::baGetCurrentLSN(TnxBaseTransaction* aTrans) {
  if (aTrans) {
    TnxOwned<TnxBaseFileHeaderAccess> access(HeaderAccess(aTrans, false));
    return access->CurrentLSN();
  }
  TnxPadlockGuard guard(baFile->fiBufMgr->Padlock());
  return baFile->fiBlockZero ? baFile->fiBlockZero->robLastLSN : 0;
}

nxString TnxBlockAccess::fiName() const { return baFile->fiName; }
std::uint32_t TnxBlockAccess::fiBlockSizeBytes() const { return baFile->fiBlockSizeBytes; }

// ---- Buffer manager -----------------------------------------------------------------------

TnxBufferManager::TnxBufferManager(const nxString& aTempDir, bool aDefaultTempStore)
    : bmPadlock(platform::create<TnxPadlock>(true)), bmTempDir(aTempDir) {
  // Without settings a transaction larger than the cache parks its copies in
  // the registered storage, so memory follows the budget; the server engine
  // sets its configured size afterwards (0: none).
  const platform::ClassInfo* cls = aDefaultTempStore ? TnxBaseTempStorage::RegisteredClass() : nullptr;
  if (cls) {
    try {
      bmTempStore = TnxBaseTempStorage::CreateOf(*cls, aTempDir);
    } catch (const std::exception&) {
      bmTempStore = nullptr;  // no scratch file here: copies stay in memory
    }
  }
  if (!bmTempStore) bmTempStore = platform::create<TnxNullTempStorage>(aTempDir);
}

void TnxBufferManager::beforeDestruction() {
  nxAssert(bmInUseListHead == nullptr, "Blocks left in the buffer manager");
}

TnxBufferManager::~TnxBufferManager() {
  bmFreeScratchBlocks();
  platform::TObject::free(bmReplicationLog);
  platform::TObject::free(bmTempStore);
  platform::TObject::free(bmPadlock);
}

std::int32_t TnxBufferManager::InUseCount() {
  TnxPadlockGuard guard(*bmPadlock);
  std::int32_t n = 0;
  for (TnxReadOnlyBlock* b = bmInUseListHead; b; b = b->robInUseNext) ++n;
  return n;
}

TnxLSN TnxBufferManager::NextLSN() {
  TnxPadlockGuard guard(*bmPadlock);
  if (bmCurrentLSN >= nxLSNLimit - 1)
    throw EnxServerException(nxErrCorruptFile, u"The log sequence number has reached its limit");
  return ++bmCurrentLSN;
}

void TnxBufferManager::SetNextLSN(TnxLSN aValue) {
  if (aValue >= nxLSNLimit) throw EnxServerException(nxErrCorruptFile, u"The log sequence number has reached its limit");
  TnxPadlockGuard guard(*bmPadlock);
  if (aValue > bmCurrentLSN) bmCurrentLSN = aValue;
}

TnxLSN TnxBufferManager::CurrentLSN() {
  TnxPadlockGuard guard(*bmPadlock);
  return bmCurrentLSN;
}

std::int32_t TnxBufferManager::MaxRAM() {
  TnxPadlockGuard guard(*bmPadlock);
  return bmMaxRAM;
}


std::int64_t TnxBufferManager::TempStoreSize() {
  TnxPadlockGuard guard(*bmPadlock);
  return bmTempStore->Size() / 1048576;
}

void TnxBufferManager::SetTempStoreSize(std::int64_t aMegabytes) {
  TnxPadlockGuard guard(*bmPadlock);
  // Images refer to the storage they may be parked in.
  if (bmInUseListHead || bmTempStore->InUse() > 0)
    throw EnxServerException(nxErrNotSupported, u"The temporary storage cannot change while blocks are cached");
  platform::TObject::free(std::exchange(bmTempStore, nullptr));
  const platform::ClassInfo* cls = TnxBaseTempStorage::RegisteredClass();
  if (aMegabytes > 0 && cls) {
    try {
      bmTempStore = TnxBaseTempStorage::CreateOf(*cls, bmTempDir);
    } catch (...) {
      bmTempStore = platform::create<TnxNullTempStorage>(bmTempDir);
      throw;
    }
  } else {
    bmTempStore = platform::create<TnxNullTempStorage>(bmTempDir);
  }
}


TnxReadOnlyBlock* TnxBufferManager::bmFindBlockNoWait(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber) {
  if (aBlockNumber == 0) return aFile->fiBlockZero;
  TnxBlockContainer* c2 = aFile->fiBlocks[aBlockNumber >> 24];
  if (!c2) return nullptr;
  auto* c3 = static_cast<TnxBlockContainer*>(c2->bcBlocks[(aBlockNumber >> 16) & 255]);
  if (!c3) return nullptr;
  auto* leaf = static_cast<TnxBlockContainer*>(c3->bcBlocks[(aBlockNumber >> 8) & 255]);
  if (!leaf) return nullptr;
  return static_cast<TnxReadOnlyBlock*>(leaf->bcBlocks[aBlockNumber & 255]);
}

TnxReadOnlyBlock* TnxBufferManager::bmFindBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber) {
  for (;;) {
    TnxReadOnlyBlock* block = bmFindBlockNoWait(aFile, aBlockNumber);
    if (!block || !block->robLoading) return block;
    // Another thread reads it: wait, then look again. The waiter's pin
    // keeps eviction from freeing the block while the padlock is free.
    block->WaitForLoad();
  }
}

TnxBlockContainer* TnxBaseFile::NewContainer() {
  auto* c = static_cast<TnxBlockContainer*>(nxsrContainerPool().Alloc());
  std::memset(c, 0, sizeof *c);
  c->bcNext = fiBlockContainerList;
  if (c->bcNext) c->bcNext->bcPrev = c;
  fiBlockContainerList = c;
  return c;
}

void TnxBaseFile::FreeContainer(TnxBlockContainer* aContainer) {
  if (aContainer->bcPrev)
    aContainer->bcPrev->bcNext = aContainer->bcNext;
  else
    fiBlockContainerList = aContainer->bcNext;
  if (aContainer->bcNext) aContainer->bcNext->bcPrev = aContainer->bcPrev;
  nxsrContainerPool().DisposeDirect(aContainer);
}

void TnxBufferManager::InsertIntoFile(TnxReadOnlyBlock* aBlock) {
  TnxBaseFile* file = aBlock->robFile;
  const TnxBlockNumber n = aBlock->robBlockNum;
  if (n == 0) {
    nxAssert(file->fiBlockZero == nullptr, "Block 0 is already cached");
    file->fiBlockZero = aBlock;
  } else {
    TnxBlockContainer*& c2 = file->fiBlocks[n >> 24];
    if (!c2) c2 = file->NewContainer();
    void*& e3 = c2->bcBlocks[(n >> 16) & 255];
    if (!e3) {
      e3 = file->NewContainer();
      ++c2->bcCount;
    }
    auto* c3 = static_cast<TnxBlockContainer*>(e3);
    void*& e4 = c3->bcBlocks[(n >> 8) & 255];
    if (!e4) {
      e4 = file->NewContainer();
      ++c3->bcCount;
    }
    auto* leaf = static_cast<TnxBlockContainer*>(e4);
    nxAssert(leaf->bcBlocks[n & 255] == nullptr, "Block is already cached");
    leaf->bcBlocks[n & 255] = aBlock;
    ++leaf->bcCount;
  }
  aBlock->robFilePrev = file->fiBlockListTail;
  aBlock->robFileNext = nullptr;
  if (file->fiBlockListTail)
    file->fiBlockListTail->robFileNext = aBlock;
  else
    file->fiBlockListHead = aBlock;
  file->fiBlockListTail = aBlock;
}

void TnxBufferManager::bmRemoveBlockFromFile(TnxReadOnlyBlock* aBlock) {
  TnxBaseFile* file = aBlock->robFile;
  const TnxBlockNumber n = aBlock->robBlockNum;
  if (n == 0) {
    if (file->fiBlockZero == aBlock) file->fiBlockZero = nullptr;
  } else if (TnxBlockContainer*& c2 = file->fiBlocks[n >> 24]) {
    auto* c3 = static_cast<TnxBlockContainer*>(c2->bcBlocks[(n >> 16) & 255]);
    auto* leaf = c3 ? static_cast<TnxBlockContainer*>(c3->bcBlocks[(n >> 8) & 255]) : nullptr;
    if (leaf && leaf->bcBlocks[n & 255] == aBlock) {
      leaf->bcBlocks[n & 255] = nullptr;
      if (--leaf->bcCount == 0) {
        file->FreeContainer(leaf);
        c3->bcBlocks[(n >> 8) & 255] = nullptr;
        if (--c3->bcCount == 0) {
          file->FreeContainer(c3);
          c2->bcBlocks[(n >> 16) & 255] = nullptr;
          if (--c2->bcCount == 0) {
            file->FreeContainer(c2);
            c2 = nullptr;
          }
        }
      }
    }
  }
  if (aBlock->robFilePrev)
    aBlock->robFilePrev->robFileNext = aBlock->robFileNext;
  else if (file->fiBlockListHead == aBlock)
    file->fiBlockListHead = aBlock->robFileNext;
  if (aBlock->robFileNext)
    aBlock->robFileNext->robFilePrev = aBlock->robFilePrev;
  else if (file->fiBlockListTail == aBlock)
    file->fiBlockListTail = aBlock->robFilePrev;
  aBlock->robFileNext = aBlock->robFilePrev = nullptr;
  if (aBlock->robInUsePrev)
    aBlock->robInUsePrev->robInUseNext = aBlock->robInUseNext;
  else if (bmInUseListHead == aBlock)
    bmInUseListHead = aBlock->robInUseNext;
  if (aBlock->robInUseNext)
    aBlock->robInUseNext->robInUsePrev = aBlock->robInUsePrev;
  else if (bmInUseListTail == aBlock)
    bmInUseListTail = aBlock->robInUsePrev;
  aBlock->robInUseNext = aBlock->robInUsePrev = nullptr;
}

void TnxBufferManager::bmFreeBlock(TnxReadOnlyBlock* aBlock) {
  bmRemoveBlockFromFile(aBlock);
  platform::TObject::free(aBlock);
}

TnxReadOnlyBlock* TnxBufferManager::bmCreateReadOnlyBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber,
                                                          bool aNew) {
  bmRemoveExcessBlocks(nxIsMemoryEmergency(), nxGetForceAllocated());
  auto* block = platform::create<TnxReadOnlyBlock>(this, aFile, aBlockNumber, aNew);
  block->robInUsePrev = bmInUseListTail;
  if (bmInUseListTail)
    bmInUseListTail->robInUseNext = block;
  else
    bmInUseListHead = block;
  bmInUseListTail = block;
  InsertIntoFile(block);
  return block;
}

TnxResult TnxBufferManager::AddFile(TnxBaseFile* aFile, TnxBaseTransaction* aTrans,
                                    const TnxUnicodeStrings& aPasswords, bool aMarkHeaderDirty,
                                    TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly) {
  aIsReadOnly = false;
  aReleaseMethod.Clear();
  aBlock = nullptr;
  TnxPadlockGuard guard(*bmPadlock);
  TnxHeadersChangedOnExit changed{*this};
  if (!aFile->fiTempStore) aFile->fiTempStore = bmTempStore;
  TnxResult result = 0;
  if (aFile->fiBlockZero) {
    if (aFile->fiEncryptionEngine) {
      result = aFile->fiEncryptionEngine->AuthenticatePassword(aPasswords);
      if (result == 10763) {
        aIsReadOnly = true;
        result = 0;
      }
    }
  } else if (aFile->IsTemporary()) {
    bmCreateReadOnlyBlock(aFile, 0, true);
  } else {
    result = aFile->ReadHeader(aPasswords, aIsReadOnly);
    if (result == 0) {
      TnxReadOnlyBlock* block = bmCreateReadOnlyBlock(aFile, 0, false);
      try {
        block->CacheBlockNeeded();
      } catch (...) {
        nxsrDropBlock(this, block);
        throw;
      }
    }
  }
  if (aFile->fiOpenMode == omReadOnly) aIsReadOnly = true;
  if (result != 0) return result;
  TnxReadOnlyBlock* zero = aFile->fiBlockZero;
  if (aMarkHeaderDirty) zero->MakeDirty(aTrans);
  aBlock = zero->Block(aTrans, aMarkHeaderDirty, aReleaseMethod);
  if (zero->boCacheBlock) {
    const TnxLSN lsn = nxBlockHeader(zero->boCacheBlock->Block())->bchLSN;
    if (lsn > bmCurrentLSN) bmCurrentLSN = lsn;
  }
  return 0;
}

void TnxBufferManager::RemoveFile(TnxBaseFile* aFile) {
  TnxPadlockGuard guard(*bmPadlock);
  TnxHeadersChangedOnExit changed{*this};
  aFile->FreeSnapShotLinks();
  for (TnxReadOnlyBlock* block = aFile->fiBlockListHead; block;) {
    TnxReadOnlyBlock* next = block->robFileNext;
    while (block->robBlockListTail) {
      TnxModifiedBlock* copy = block->robBlockListTail;
      block->robBlockListTail = copy->mbPrev;
      platform::TObject::free(copy);
    }
    block->UnlinkFromTransaction();
    nxsrDropBlock(this, block);
    block = next;
  }
  aFile->fiBlockListHead = aFile->fiBlockListTail = nullptr;
  nxDetachFileFromTransaction(aFile);
  while (TnxBlockContainer* c = aFile->fiBlockContainerList) aFile->FreeContainer(c);
  for (auto& entry : aFile->fiBlocks) entry = nullptr;
  aFile->fiBlockZero = nullptr;
}

PnxBlock TnxBufferManager::GetBlock(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                    bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  TnxPadlockGuard guard(*bmPadlock);
  if (aMarkDirty && nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, nxGetForceAllocated());
  TnxReadOnlyBlock* block = bmFindBlock(aFile, aBlockNumber);
  if (!block) block = bmCreateReadOnlyBlock(aFile, aBlockNumber, aFile->IsTemporary());
  if (aMarkDirty) block->MakeDirty(aTrans);
  PnxBlock image = block->Block(aTrans, aMarkDirty, aReleaseMethod);
  // A trim that fails (the temporary storage cannot take an image) fails
  // the call: the pin goes with it, or nothing would ever release it.
  try {
    bmRemoveExcessBlocks(nxIsMemoryEmergency(), nxGetForceAllocated());
  } catch (...) {
    nxReleaseBlock(aReleaseMethod, image);
    throw;
  }
  return image;
}

PnxBlock TnxBufferManager::AddBlock(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                    TnxReleaseMethod& aReleaseMethod) {
  TnxPadlockGuard guard(*bmPadlock);
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, nxGetForceAllocated());
  TnxReadOnlyBlock* block = bmFindBlock(aFile, aBlockNumber);
  if (!block) block = bmCreateReadOnlyBlock(aFile, aBlockNumber, true);
  if (aTrans) {
    if (!aFile->fiTempStore) aFile->fiTempStore = bmTempStore;
    block->MakeDirty(aTrans);
  }
  return block->Block(aTrans, aTrans != nullptr, aReleaseMethod);
}

void TnxBufferManager::DirtyBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans,
                                  PnxBlock& aModifiableBlock) {
  TnxPadlockGuard guard(*bmPadlock);
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, nxGetForceAllocated());
  TnxReadOnlyBlock* block = bmFindBlock(aFile, aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  TnxReleaseMethod release;
  PnxBlock image = block->Block(aTrans, true, release);
  aModifiableBlock = image;
  nxReleaseBlock(release, image);
}

void TnxBufferManager::DiscardBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans) {
  TnxPadlockGuard guard(*bmPadlock);
  TnxReadOnlyBlock* block = bmFindBlock(aFile, aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  block->robBlockListTail->Discard();
}

TnxUseCount gBufferManagerStarts{0};

void nxsrBufferManagerInitialize() {
  TnxCountedStart started(gBufferManagerStarts);
  if (!started) return;
  (void)nxsrContainerPool();
}

#include "nxmmItemManager.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>

#include "plErrors.h"
#include "plVirtualMemory.h"

namespace nxmm {

void nxInvalidPointer() { throw platform::InvalidPointer(); }

namespace {

constexpr std::uint32_t kProvisionalHeader = 40;
static_assert(offsetof(TnxPageHeader, phBitmap) == kProvisionalHeader);
constexpr std::size_t kGranule = 65536;
constexpr std::size_t kPage = 4096;
constexpr std::uint32_t kMaxReserve = 32767;
// Address space behind every growable block: it grows into it by committing
// pages, without moving, up to at least this size.
constexpr std::uint32_t kMinGrowableGranules = 32;  // 2 MB

[[noreturn]] void invalidPointer() { nxInvalidPointer(); }

inline TnxPageHeader* pageOf(const void* aItem) {
  return reinterpret_cast<TnxPageHeader*>(reinterpret_cast<std::uintptr_t>(aItem) & ~std::uintptr_t(nxPageSize - 1));
}

std::atomic<int> gCounterSlots{0};

std::atomic<TnxItemManager*> gCacheOwner{nullptr};
std::atomic<std::uint64_t> gCacheEpoch{0};

std::uint32_t cacheCapacity(std::uint32_t aSlot) {
  if (aSlot <= 1024) return 64;
  if (aSlot <= 8192) return 16;
  return 4;
}

}  // namespace

// ---------------------------------------------------------------- counters

void TnxCounter::add(std::int64_t aDelta) {
  thread_local const int slot = gCounterSlots.fetch_add(1, std::memory_order_relaxed) & 15;
  cSlots[slot].v.fetch_add(aDelta, std::memory_order_relaxed);
}

std::int64_t TnxCounter::value() const {
  std::int64_t sum = 0;
  for (const auto& s : cSlots) sum += s.v.load(std::memory_order_relaxed);
  return sum;
}

// ---------------------------------------------------------------- thread cache

namespace {
// Set once this thread's cache was destroyed: later frees on this thread (from
// other thread-local destructors) go straight to the pages.
constinit thread_local bool tCacheGone = false;
}  // namespace

namespace {
// What tnxThreadCache names while the thread has no cache; never written.
constinit TnxThreadCache gNoThreadCache;
}  // namespace

TnxOwnedThreadCache::~TnxOwnedThreadCache() {
  tnxThreadCache = &gNoThreadCache;
  tCacheGone = true;
  // Only while the manager that filled it is still the live one.
  if (tcOwner && gCacheOwner.load() == tcOwner && gCacheEpoch.load() == tcEpoch) tcOwner->parkCache(*this);
  tcOwner = nullptr;
}

namespace {
thread_local TnxOwnedThreadCache tCache;
}
// The same object once this thread used it: no initialisation check needed.
constinit thread_local TnxThreadCache* tnxThreadCache [[gnu::tls_model("initial-exec")]] = &gNoThreadCache;

TnxThreadCache* TnxItemManager::myCache() {
  if (tCacheGone) return nullptr;
  TnxThreadCache& c = tCache;
  tnxThreadCache = &c;
  if (c.tcOwner != this || c.tcEpoch != iCacheEpoch) {
    // A cache of a manager that is gone: its items went with it.
    for (int i = 0; i < nxPoolCount; ++i) {
      const TnxMemoryPool& pool = iPools[i];
      TnxThreadCache::Bin& b = c.tcBins[i];
      b = {};
      b.fastCapacity = pool.mpStateOffset ? pool.mpCacheCapacity : 0;
      b.reciprocal = pool.mpReciprocal;
      b.stateOffset = std::uint16_t(pool.mpStateOffset);
      b.headerSize = std::uint16_t(pool.mpBlockHeaderSize);
      b.slotSize = std::uint16_t(pool.mpSlotSize);
      b.itemsPerBlock = std::uint16_t(pool.mpItemsPerBlock);
    }
    c.tcOwner = this;
    c.tcEpoch = iCacheEpoch;
    adoptParked(c);
  }
  return &c;
}

void* TnxItemManager::cacheAlloc(TnxMemoryPool* aPool) {
  TnxThreadCache* cache = myCache();
  if (!cache) return nullptr;
  TnxThreadCache::Bin& bin = cache->tcBins[aPool->mpIndex];
  void* item = bin.head;
  if (!item) return nullptr;
  bin.head = *static_cast<void**>(item);
  --bin.count;
  if (aPool->mpStateOffset) {
    TnxPageHeader* page = pageOf(item);
    __atomic_store_n(TnxMemoryPool::stateOf(page, aPool->mpStateOffset, aPool->itemIndex(page, item)), std::uint8_t(1),
                     __ATOMIC_RELAXED);
  } else {
    aPool->claimItem(pageOf(item), item);
    iInUse.add(aPool->mpItemSize);
  }
  return item;
}

bool TnxItemManager::cachePut(TnxMemoryPool* aPool, void* aItem) {
  TnxThreadCache* cache = myCache();
  if (!cache) return false;
  TnxThreadCache::Bin& bin = cache->tcBins[aPool->mpIndex];
  if (bin.count >= aPool->mpCacheCapacity) return false;
  *static_cast<void**>(aItem) = bin.head;
  bin.head = aItem;
  ++bin.count;
  return true;
}

void TnxItemManager::returnChain(int aPool, void* aChain, bool aCounted) {
  TnxMemoryPool& pool = iPools[aPool];
  std::int64_t released = 0;
  while (aChain) {
    void* next = *static_cast<void**>(aChain);
    TnxPageHeader* page = pageOf(aChain);
    if (pool.mpStateOffset) {
      const int idx = pool.itemIndex(page, aChain);
      __atomic_fetch_and(&page->phBitmap[idx >> 5], ~(1u << (idx & 31)), __ATOMIC_ACQ_REL);
      released += pool.mpItemSize;
    }
    pool.returnToPage(page, aChain);
    aChain = next;
  }
  if (aCounted && released) iInUse.add(-released);
}

void TnxItemManager::flushCache(TnxThreadCache& aCache) {
  for (int i = 0; i < nxPoolCount; ++i) {
    TnxThreadCache::Bin& bin = aCache.tcBins[i];
    void* item = bin.head;
    bin.head = nullptr;
    bin.count = 0;
    returnChain(i, item, true);
  }
}

void TnxItemManager::parkCache(TnxThreadCache& aCache) {
  std::int64_t held = 0, stateful = 0;
  for (int i = 0; i < nxPoolCount; ++i) {
    held += aCache.tcBins[i].count;
    if (iPools[i].mpStateOffset) stateful += std::int64_t(aCache.tcBins[i].count) * iPools[i].mpItemSize;
  }
  if (held == 0) return;
  for (Parked& slot : iParked) {
    int empty = 0;
    if (slot.pState.load(std::memory_order_relaxed) != 0 ||
        !slot.pState.compare_exchange_strong(empty, 1, std::memory_order_acquire))
      continue;
    for (int i = 0; i < nxPoolCount; ++i) {
      TnxThreadCache::Bin& bin = aCache.tcBins[i];
      slot.pBins[i] = {bin.head, bin.count};
      bin.head = nullptr;
      bin.count = 0;
    }
    slot.pAge.store(0, std::memory_order_relaxed);
    // Parked items are nobody's: the figure in use leaves them out.
    if (stateful) iInUse.add(-stateful);
    slot.pState.store(2, std::memory_order_release);
    return;
  }
  flushCache(aCache);
}

void TnxItemManager::adoptParked(TnxThreadCache& aCache) {
  for (Parked& slot : iParked) {
    int full = 2;
    if (slot.pState.load(std::memory_order_relaxed) != 2 ||
        !slot.pState.compare_exchange_strong(full, 1, std::memory_order_acquire))
      continue;
    std::int64_t stateful = 0;
    for (int i = 0; i < nxPoolCount; ++i) {
      aCache.tcBins[i].head = slot.pBins[i].head;
      aCache.tcBins[i].count = slot.pBins[i].count;
      if (iPools[i].mpStateOffset) stateful += std::int64_t(slot.pBins[i].count) * iPools[i].mpItemSize;
      slot.pBins[i] = {nullptr, 0};
    }
    if (stateful) iInUse.add(stateful);
    slot.pState.store(0, std::memory_order_release);
    return;
  }
}

void TnxItemManager::releaseParked(bool aAll) {
  // Items parked this many ticks go back to their pages.
  constexpr std::uint32_t kParkedTicks = 2;
  for (Parked& slot : iParked) {
    if (slot.pState.load(std::memory_order_relaxed) != 2) continue;
    if (!aAll && slot.pAge.fetch_add(1, std::memory_order_relaxed) + 1 <= kParkedTicks) continue;
    int full = 2;
    if (!slot.pState.compare_exchange_strong(full, 1, std::memory_order_acquire)) continue;
    for (int i = 0; i < nxPoolCount; ++i) {
      void* chain = slot.pBins[i].head;
      slot.pBins[i] = {nullptr, 0};
      returnChain(i, chain, false);
    }
    slot.pState.store(0, std::memory_order_release);
  }
}

void TnxItemManager::flushThreadCache() {
  if (!iThreadCache) return;
  if (TnxThreadCache* cache = myCache()) flushCache(*cache);
}

// ---------------------------------------------------------------- pools

TnxMemoryPool::TnxMemoryPool(TnxItemManager* aManager, std::uint32_t aItemSize, int aIndex)
    : mpManager(aManager), mpIndex(aIndex) {
  nxListHeadInit(mpPartialFreeBlockHead1);
  nxListHeadInit(mpPartialFreeBlockHead2);
  nxListHeadInit(mpFreeBlockHead);
  mpItemSize = (aItemSize == 4 || aItemSize == 8) ? aItemSize : (aItemSize + 7) & ~7u;
  mpSlotSize = mpItemSize < 8 ? 8 : mpItemSize;
  std::uint32_t n = (nxPageSize - kProvisionalHeader - 1) / mpSlotSize;
  const bool states = mpSlotSize >= 16;
  // Bitmap words, then (with states) one byte per item; sized for the
  // provisional count, which the final one never exceeds.
  const std::uint32_t bitmapBytes = (n + 31) / 32 * 4;
  mpBlockHeaderSize = (kProvisionalHeader + bitmapBytes + (states ? n : 0) + 15) & ~15u;
  mpItemsPerBlock = (nxPageSize - mpBlockHeaderSize - 1) / mpSlotSize;
  if (states) mpStateOffset = kProvisionalHeader + bitmapBytes;
  if (mpItemsPerBlock == 0) invalidPointer();
  mpReciprocal = std::uint32_t(((std::uint64_t(1) << 32) + mpSlotSize - 1) / mpSlotSize);
  mpCacheCapacity = cacheCapacity(mpSlotSize);
}

void TnxMemoryPool::claimItem(TnxPageHeader* aPage, void* aItem) {
  const int idx = itemIndex(aPage, aItem);
  if (idx < 0) invalidPointer();
  const std::uint32_t bit = 1u << (idx & 31);
  if (__atomic_fetch_or(&aPage->phBitmap[idx >> 5], bit, __ATOMIC_ACQ_REL) & bit) invalidPointer();
}

TnxPageHeader* TnxMemoryPool::newPage() {
  void* block = mpManager->iChunks.blockAlloc(mpManager->iPageManager);
  if (!block) return nullptr;
  auto* page = static_cast<TnxPageHeader*>(block);
  std::memset(page, 0, mpBlockHeaderSize);
  char* first = static_cast<char*>(block) + mpBlockHeaderSize;
  for (std::uint32_t i = 0; i < mpItemsPerBlock; ++i) {
    auto* words = reinterpret_cast<std::uint64_t*>(first + std::size_t(i) * mpSlotSize);
    words[0] = i + 1 < mpItemsPerBlock ? reinterpret_cast<std::uintptr_t>(words) + mpSlotSize : 0;
  }
  nxListHeadInit(page->phFreeItems);
  page->phFreeItems.lhFirst = reinterpret_cast<TnxListEntry*>(first);
  __atomic_store_n(&page->phOwner, this, __ATOMIC_RELEASE);
  mpManager->iAddressSpace.add(nxPageSize);
  mpManager->iCommitted.add(nxPageSize);
  mpManager->iHeaders.add(mpBlockHeaderSize);
  return page;
}

void TnxMemoryPool::releasePage(TnxPageHeader* aPage) {
  __atomic_store_n(&aPage->phOwner, nullptr, __ATOMIC_RELEASE);
  mpManager->iAddressSpace.add(-std::int64_t(nxPageSize));
  mpManager->iCommitted.add(-std::int64_t(nxPageSize));
  mpManager->iHeaders.add(-std::int64_t(mpBlockHeaderSize));
  mpManager->iChunks.blockDispose(mpManager->iPageManager, aPage);
}

int TnxMemoryPool::allocFromPages(void** aOut, int aWant) {
  for (;;) {
    TnxListHead& current = currentList();
    auto* page = reinterpret_cast<TnxPageHeader*>(nxListHeadPop(current));
    if (page) {
      if (__atomic_load_n(&page->phUsed, __ATOMIC_ACQUIRE) == 0) {
        // Entirely free pages are used last, so the cleanup can give them back.
        nxListHeadPush(mpFreeBlockHead, &page->phLink);
        continue;
      }
    } else {
      page = reinterpret_cast<TnxPageHeader*>(nxListHeadPop(otherList()));
      if (!page) page = reinterpret_cast<TnxPageHeader*>(nxListHeadPop(mpFreeBlockHead));
      if (!page) page = newPage();
      if (!page) return 0;
    }
    void* item = nxListHeadPop(page->phFreeItems);
    if (!item) {
      std::int32_t expected = 0;
      if (!__atomic_compare_exchange_n(&page->phOffList, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        invalidPointer();
      if (!__atomic_load_n(&page->phFreeItems.lhFirst, __ATOMIC_ACQUIRE)) continue;
      expected = 1;
      if (__atomic_compare_exchange_n(&page->phOffList, &expected, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        nxListHeadPush(currentList(), &page->phLink);
      continue;
    }
    // Neighbouring items of one page go to one thread, so threads do not
    // share cache lines of items.
    int taken = 1;
    aOut[0] = item;
    while (taken < aWant) {
      void* more = nxListHeadPop(page->phFreeItems);
      if (!more) break;
      aOut[taken++] = more;
    }
    __atomic_add_fetch(&page->phUsed, taken, __ATOMIC_ACQ_REL);
    if (__atomic_load_n(&page->phFreeItems.lhFirst, __ATOMIC_ACQUIRE)) {
      nxListHeadPush(currentList(), &page->phLink);
    } else {
      std::int32_t expected = 0;
      if (!__atomic_compare_exchange_n(&page->phOffList, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        invalidPointer();
      expected = 1;
      if (__atomic_load_n(&page->phFreeItems.lhFirst, __ATOMIC_ACQUIRE) &&
          __atomic_compare_exchange_n(&page->phOffList, &expected, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        nxListHeadPush(currentList(), &page->phLink);
    }
    for (int i = 0; i < taken; ++i) claimItem(page, aOut[i]);
    return taken;
  }
}

void* TnxMemoryPool::alloc() {
  void* got[64];
  int want = 1;
  if (mpManager->iThreadCache) {
    if (void* item = mpManager->cacheAlloc(this)) return item;
    // An empty cache is refilled with a run of items from one page.
    // A full line of state bytes (64 items) per run where the cache holds
    // that many, so threads do not write the same line on every free.
    if (mpStateOffset) want = int(mpCacheCapacity > 64 ? 64 : mpCacheCapacity);
    if (want < 1) want = 1;
  }
  const int n = allocFromPages(got, want);
  if (n == 0) return nullptr;
  mpManager->iInUse.add(std::int64_t(mpItemSize) * n);
  // Handed out last, the lowest address first next time.
  for (int i = n - 1; i >= 1; --i)
    if (!mpManager->cachePut(this, got[i])) {
      markHandedOut(got[i]);
      disposeDirect(got[i]);
    }
  markHandedOut(got[0]);
  return got[0];
}

void TnxMemoryPool::markHandedOut(void* aItem) {
  if (!mpStateOffset) return;
  TnxPageHeader* page = pageOf(aItem);
  __atomic_store_n(stateOf(page, mpStateOffset, itemIndex(page, aItem)), std::uint8_t(1), __ATOMIC_RELAXED);
}

void TnxMemoryPool::returnToPage(TnxPageHeader* aPage, void* aItem) {
  nxListHeadPush(aPage->phFreeItems, static_cast<TnxListEntry*>(aItem));
  std::int32_t expected = 1;
  if (__atomic_load_n(&aPage->phOffList, __ATOMIC_ACQUIRE) == 1 &&
      __atomic_compare_exchange_n(&aPage->phOffList, &expected, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    nxListHeadPush(currentList(), &aPage->phLink);
  // Last touch of the page: once the count is 0 the cleanup may release it.
  if (__atomic_sub_fetch(&aPage->phUsed, 1, __ATOMIC_ACQ_REL) == 0 && mpNeedCleanup.load(std::memory_order_relaxed) != 1)
    mpNeedCleanup.store(1);
}

std::int32_t TnxMemoryPool::disposeDirect(void* aItem) {
  if (!aItem) return 0;
  TnxPageHeader* page = pageOf(aItem);
  if (__atomic_load_n(&page->phOwner, __ATOMIC_ACQUIRE) != this) invalidPointer();
  const int idx = itemIndex(page, aItem);
  if (idx < 0) invalidPointer();
  const std::uint32_t bit = 1u << (idx & 31);
  std::uint32_t* word = &page->phBitmap[idx >> 5];
  const bool cached = mpManager->iThreadCache;
  if (mpStateOffset) {
    // Free in its page, or already waiting in some thread's cache.
    if (!release(stateOf(page, mpStateOffset, idx))) invalidPointer();
    if (cached && mpManager->cachePut(this, aItem)) return 0;
  }
  if (!(__atomic_fetch_and(word, ~bit, __ATOMIC_ACQ_REL) & bit)) invalidPointer();
  mpManager->iInUse.add(-std::int64_t(mpItemSize));
  if (cached && !mpStateOffset && mpManager->cachePut(this, aItem)) return 0;
  returnToPage(page, aItem);
  return 0;
}

std::int32_t TnxMemoryPool::dispose(void*& aItem) {
  void* item = __atomic_exchange_n(&aItem, nullptr, __ATOMIC_ACQ_REL);
  return disposeDirect(item);
}

void TnxMemoryPool::releaseFreePages() {
  if (mpNeedCleanup.exchange(0) == 1) {
    TnxListHead& current = currentList();
    TnxListHead& other = otherList();
    // Pages pushed onto the other list while the last cleanup switched lists.
    while (auto* page = nxListHeadPop(other)) nxListHeadPush(current, page);
    while (auto* page = reinterpret_cast<TnxPageHeader*>(nxListHeadPop(current))) {
      if (__atomic_load_n(&page->phUsed, __ATOMIC_ACQUIRE) == 0)
        releasePage(page);
      else
        nxListHeadPush(other, &page->phLink);
    }
    mpPartialFreeBlockBool.store(!mpPartialFreeBlockBool.load());
  }
  while (auto* page = reinterpret_cast<TnxPageHeader*>(nxListHeadPop(mpFreeBlockHead))) {
    if (__atomic_load_n(&page->phUsed, __ATOMIC_ACQUIRE) != 0) {
      // Cannot happen by construction; keep the page rather than lose items.
      nxListHeadPush(currentList(), &page->phLink);
      break;
    }
    releasePage(page);
  }
}

// ---------------------------------------------------------------- manager

namespace {
constexpr std::uint32_t kPoolSizes[nxPoolCount] = {
    4,    8,    16,   32,   48,   64,   96,   128,  160,  192,  224,  256,  288,  320,  352,  384,
    416,  448,  480,  512,  544,  576,  608,  640,  672,  704,  736,  768,  800,  832,  864,  896,
    928,  960,  992,  1024, 1280, 1536, 1792, 2048, 2304, 2560, 2816, 3072, 3328, 3584, 3840, 4064,
    4352, 4672, 5024, 5440, 5952, 6528, 7264, 8160, 9344, 10912, 13088, 16352, 21824, 32736};
constexpr std::size_t kUnpagedArea = 65536;
static_assert(sizeof(TnxMemoryPool) * nxPoolCount <= kUnpagedArea);
static_assert(sizeof(TnxMemoryPool) == 256);
}  // namespace

struct TnxItemManager::Node {
  std::atomic<void*> nEntries[256];
};

TnxItemManager::TnxItemManager(TnxChunkManager& aChunks, bool aThreadCache)
    : iChunks(aChunks), iPageManager(aChunks.blockManager(nxbs64k)), iThreadCache(aThreadCache) {
  iArenaBase = reinterpret_cast<std::uintptr_t>(aChunks.chunkAddress(0));
  iArenaLow = iArenaBase + nxChunkSize;
  iArenaSize = std::uintptr_t(aChunks.chunkCount() - 1) * nxChunkSize;
  iRecords = &aChunks.chunkRecord(0);
  // Pool headers live in one locked area so they are never paged out.
  iUnpagedArea = platform::vmReserve(kUnpagedArea);
  if (!iUnpagedArea || !platform::vmCommit(iUnpagedArea, kUnpagedArea)) throw std::bad_alloc();
  platform::vmLock(iUnpagedArea, kUnpagedArea);
  iPools = static_cast<TnxMemoryPool*>(iUnpagedArea);
  for (int i = 0; i < nxPoolCount; ++i) new (&iPools[i]) TnxMemoryPool(this, kPoolSizes[i], i);
  auto smallest = [this](std::size_t aSize) {
    for (int i = 0; i < nxPoolCount; ++i)
      if (iPools[i].mpItemSize >= aSize) return std::uint8_t(i);
    return std::uint8_t(nxPoolCount - 1);
  };
  for (int i = 0; i < 17; ++i) iClassSmall[i] = smallest(std::size_t(i + 1) * 4);
  for (int i = 0; i < 1023; ++i) iClassLarge[i] = smallest(std::size_t(i + 1) * 32);
  // One radix level per significant byte of the highest granule index.
  for (std::uint64_t top = ((std::uint64_t(1) << 47) - 1) >> 16; top; top >>= 8) ++iLevels;
  if (iThreadCache) {
    iCacheEpoch = gCacheEpoch.fetch_add(1) + 1;
    gCacheOwner.store(this);
  }
}

TnxItemManager::~TnxItemManager() {
  if (iThreadCache) {
    TnxItemManager* self = this;
    gCacheOwner.compare_exchange_strong(self, nullptr);
    gCacheEpoch.fetch_add(1);
  }
  // Large blocks still held are released; pool pages and map nodes go with
  // the arena.
  struct Walk {
    static void run(void* aNode, int aLevel) {
      if (!aNode) return;
      for (auto& e : static_cast<Node*>(aNode)->nEntries) {
        void* v = e.load();
        if (!v) continue;
        if (aLevel > 0) {
          run(v, aLevel - 1);
        } else {
          auto* t = static_cast<TnxLargeBlockTrailer*>(v);
          platform::vmRelease(t->lbBase, std::size_t(t->lbSpaceGranules) * kGranule);
        }
      }
    }
  };
  Walk::run(iRoot.load(), iLevels - 1);
  releaseSpares(true);
  platform::vmRelease(iUnpagedArea, kUnpagedArea);
}

void* TnxItemManager::getMemSlow(std::size_t aSize) {
  if (aSize - 1 < nxMaxItemSize) return poolForSize(aSize)->alloc();
  if (aSize == 0 || aSize >= (std::size_t(1) << 31)) return nullptr;
  return largeAllocPlain(aSize, 0);
}

std::int32_t TnxItemManager::freeMemSlow(void* aPointer) {
  if ((reinterpret_cast<std::uintptr_t>(aPointer) & (nxPageSize - 1)) == 0) return largeFree(aPointer);
  TnxMemoryPool* pool = poolOfItem(aPointer);
  if (!pool) return 1;
  return pool->disposeDirect(aPointer);
}

void* TnxItemManager::reallocMem(void* aPointer, std::size_t aNewSize) {
  if (aNewSize == 0 || aNewSize >= (std::size_t(1) << 31)) return nullptr;
  if ((reinterpret_cast<std::uintptr_t>(aPointer) & (nxPageSize - 1)) == 0) {
    TnxLargeBlockTrailer* t = lookup(aPointer);
    if (!t || t->lbBase != aPointer) invalidPointer();
    return largeRealloc(t, aNewSize);
  }
  TnxMemoryPool* pool = poolOfItem(aPointer);
  if (!pool) invalidPointer();
  const std::size_t s = pool->mpItemSize;
  std::size_t copy, ask;
  if (aNewSize == s) return aPointer;
  if (aNewSize < s) {
    if (aNewSize * 32 > s) return aPointer;  // shrinks in place down to 1/32
    copy = ask = aNewSize;
  } else {
    copy = s;
    ask = aNewSize <= 64 ? aNewSize * 8 : aNewSize <= 1024 ? aNewSize * 4 : aNewSize <= 8192 ? aNewSize * 2 : aNewSize;
  }
  // An item outgrowing the pools becomes a plain large block with room to
  // grow: a growing buffer is not copied again when it turns growable.
  void* fresh = ask > nxMaxItemSize ? largeAllocPlain(ask, kMinGrowableGranules) : getMem(ask);
  if (!fresh) return nullptr;
  std::memcpy(fresh, aPointer, copy);
  pool->disposeDirect(aPointer);
  return fresh;
}

void TnxItemManager::cleanup() {
  releaseParked(true);
  for (int i = 0; i < nxPoolCount; ++i) iPools[i].releaseFreePages();
  releaseSpares(true);
}

void TnxItemManager::cleanupTick() {
  releaseParked(false);
  for (int i = 0; i < nxPoolCount; ++i) iPools[i].releaseFreePages();
  releaseSpares(false);
}

TnxItemStatistics TnxItemManager::statistics() const {
  return {iAddressSpace.value(), iCommitted.value(), iInUse.value(), iHeaders.value()};
}

// ---------------------------------------------------------------- large blocks

std::uint32_t nxLargeBlockPages(std::size_t aSize) {
  return std::uint32_t((aSize + sizeof(TnxLargeBlockTrailer) + kPage - 1) / kPage);
}
std::uint32_t nxLargeBlockGranules(std::size_t aSize) {
  return std::uint32_t((aSize + sizeof(TnxLargeBlockTrailer) + kGranule - 1) / kGranule);
}

namespace {
// The reserve of the growth policy (kept in the trailer as bookkeeping).
std::uint32_t reserveFor(std::uint32_t aGrowth, std::uint32_t aGranules) {
  const std::uint64_t factor = aGrowth <= 4 ? 2 : aGrowth <= 16 ? 4 : 8;
  std::uint64_t r = std::uint64_t(aGranules) * factor;
  if (r > kMaxReserve) r = kMaxReserve;
  if (r < aGranules) r = aGranules;
  return std::uint32_t(r);
}
// The address space a growable block with that reserve really gets.
std::uint32_t spaceFor(std::uint32_t aReserved) { return std::max(aReserved, kMinGrowableGranules); }
}  // namespace

TnxLargeBlockTrailer* TnxItemManager::lookup(const void* aBase) const {
  const std::uint64_t g = reinterpret_cast<std::uintptr_t>(aBase) >> 16;
  if (iLevels < 8 && (g >> (8 * iLevels))) return nullptr;
  void* node = iRoot.load(std::memory_order_acquire);
  for (int level = iLevels - 1; level > 0 && node; --level)
    node = static_cast<Node*>(node)->nEntries[(g >> (8 * level)) & 255].load(std::memory_order_acquire);
  if (!node) return nullptr;
  return static_cast<TnxLargeBlockTrailer*>(static_cast<Node*>(node)->nEntries[g & 255].load(std::memory_order_acquire));
}

std::atomic<void*>* TnxItemManager::slotFor(const void* aBase) {
  const std::uint64_t g = reinterpret_cast<std::uintptr_t>(aBase) >> 16;
  std::atomic<void*>* slot = &iRoot;
  for (int level = iLevels - 1; level >= 0; --level) {
    void* node = slot->load(std::memory_order_acquire);
    if (!node) {
      void* fresh = getMem(sizeof(Node));
      if (!fresh) return nullptr;
      std::memset(fresh, 0, sizeof(Node));
      // Map nodes are the manager's own: not counted as memory in use.
      iInUse.add(-std::int64_t(sizeof(Node)));
      if (slot->compare_exchange_strong(node, fresh)) {
        node = fresh;
      } else {
        iInUse.add(std::int64_t(sizeof(Node)));
        freeMem(fresh);  // another thread installed one first
      }
    }
    slot = &static_cast<Node*>(node)->nEntries[(g >> (8 * level)) & 255];
  }
  return slot;
}

void TnxItemManager::registerBlock(void* aBase, TnxLargeBlockTrailer* aTrailer) {
  if (aTrailer) {
    // REQUIRES: slotFor(aBase) succeeded before; nodes are never removed.
    slotFor(aBase)->store(aTrailer, std::memory_order_release);
    return;
  }
  const std::uint64_t g = reinterpret_cast<std::uintptr_t>(aBase) >> 16;
  std::atomic<void*>* slot = &iRoot;
  for (int level = iLevels - 1; level >= 0; --level) {
    void* node = slot->load(std::memory_order_acquire);
    if (!node) return;
    slot = &static_cast<Node*>(node)->nEntries[(g >> (8 * level)) & 255];
  }
  slot->store(nullptr, std::memory_order_release);
}

void TnxItemManager::accountChange(const TnxLargeBlockTrailer& aOld, const TnxLargeBlockTrailer& aNew) {
  // One counter operation per figure that changed: growth in place changes
  // only the size and perhaps the committed pages.
  if (aOld.lbSpaceGranules != aNew.lbSpaceGranules)
    iAddressSpace.add((std::int64_t(aNew.lbSpaceGranules) - std::int64_t(aOld.lbSpaceGranules)) * std::int64_t(kGranule));
  if (aOld.lbPagesCommitted != aNew.lbPagesCommitted)
    iCommitted.add((std::int64_t(aNew.lbPagesCommitted) - std::int64_t(aOld.lbPagesCommitted)) * std::int64_t(kPage));
  if (aOld.lbSize != aNew.lbSize) iInUse.add(std::int64_t(aNew.lbSize) - std::int64_t(aOld.lbSize));
}

void TnxItemManager::account(const TnxLargeBlockTrailer& aTrailer, int aSign) {
  iAddressSpace.add(aSign * std::int64_t(aTrailer.lbSpaceGranules) * std::int64_t(kGranule));
  iCommitted.add(aSign * std::int64_t(aTrailer.lbPagesCommitted) * std::int64_t(kPage));
  iInUse.add(aSign * std::int64_t(aTrailer.lbSize));
}

TnxLargeBlockTrailer* TnxItemManager::placeTrailer(const TnxLargeBlockTrailer& aTrailer) {
  auto* at = reinterpret_cast<TnxLargeBlockTrailer*>(static_cast<char*>(aTrailer.lbBase) +
                                                     std::size_t(aTrailer.lbPagesUsed) * kPage -
                                                     sizeof(TnxLargeBlockTrailer));
  std::memcpy(static_cast<void*>(at), &aTrailer, sizeof aTrailer);
  return at;
}

namespace {
struct SpareHead {
  std::uint32_t granules;
  std::uint32_t accessiblePages;
};
constexpr std::uint32_t kMaxSpareGranules = 256;
}  // namespace

char* TnxItemManager::takeSpare(std::uint32_t aMin, std::uint32_t aMax, std::uint32_t& aGranules,
                                std::uint32_t& aAccessiblePages) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int best = -1;
    std::uint32_t bestGranules = 0;
    for (int i = 0; i < int(std::size(iSpares)); ++i) {
      if (!iSpares[i].load(std::memory_order_relaxed)) continue;
      const std::uint32_t g = iSpareGranules[i].load(std::memory_order_relaxed);
      if (g >= aMin && g <= aMax && (best < 0 || g < bestGranules)) {
        best = i;
        bestGranules = g;
      }
    }
    if (best < 0) return nullptr;
    void* p = iSpares[best].exchange(nullptr, std::memory_order_acq_rel);
    if (!p) continue;  // another thread took it
    SpareHead h;
    std::memcpy(&h, p, sizeof h);
    if (h.granules >= aMin && h.granules <= aMax) {
      aGranules = h.granules;
      aAccessiblePages = h.accessiblePages;
      return static_cast<char*>(p);
    }
    // The hint was stale: the slot was refilled meanwhile.
    if (!putSpare(p, h.granules, h.accessiblePages)) platform::vmRelease(p, std::size_t(h.granules) * kGranule);
  }
  return nullptr;
}

bool TnxItemManager::putSpare(void* aBase, std::uint32_t aGranules, std::uint32_t aAccessiblePages) {
  if (aGranules > kMaxSpareGranules || aAccessiblePages == 0) return false;
  const SpareHead h{aGranules, aAccessiblePages};
  std::memcpy(aBase, &h, sizeof h);
  for (int i = 0; i < int(std::size(iSpares)); ++i) {
    void* empty = nullptr;
    if (iSpares[i].load(std::memory_order_relaxed)) continue;
    if (iSpares[i].compare_exchange_strong(empty, aBase, std::memory_order_acq_rel)) {
      iSpareGranules[i].store(aGranules, std::memory_order_relaxed);
      iSpareAge[i].store(0, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void TnxItemManager::retire(const TnxLargeBlockTrailer& aT) {
  const std::uint32_t accessible = aT.lbAccessible ? aT.lbSpaceGranules * 16 : aT.lbPagesCommitted;
  if (!putSpare(aT.lbBase, aT.lbSpaceGranules, accessible))
    platform::vmRelease(aT.lbBase, std::size_t(aT.lbSpaceGranules) * kGranule);
}

void TnxItemManager::releaseSpares(bool aAll) {
  // A spare unused for this many ticks goes back to the system.
  constexpr std::uint32_t kSpareTicks = 4;
  for (int i = 0; i < int(std::size(iSpares)); ++i) {
    auto& slot = iSpares[i];
    if (!slot.load(std::memory_order_relaxed)) continue;
    if (!aAll && iSpareAge[i].fetch_add(1, std::memory_order_relaxed) + 1 <= kSpareTicks) continue;
    if (void* p = slot.exchange(nullptr)) {
      SpareHead h;
      std::memcpy(&h, p, sizeof h);
      platform::vmRelease(p, std::size_t(h.granules) * kGranule);
    }
  }
}

void* TnxItemManager::largeAllocPlain(std::size_t aSize, std::uint32_t aMinSpace) {
  const std::uint32_t granules = nxLargeBlockGranules(aSize), pages = nxLargeBlockPages(aSize);
  const std::uint32_t want = std::max(granules, aMinSpace);
  // With room to grow, all of it is made usable: pages get memory only when
  // touched, and growth into them needs no system call.
  const std::uint32_t usable = aMinSpace ? want * 16 : pages;
  std::uint32_t reserved = want, accessible = 0;
  char* base = takeSpare(want, want * 4, reserved, accessible);
  if (!base) {
    base = static_cast<char*>(platform::vmReserve(std::size_t(want) * kGranule, kGranule));
    if (!base) return nullptr;
  }
  const std::uint32_t target = aMinSpace ? reserved * 16 : usable;
  if (accessible < target &&
      !platform::vmCommit(base + std::size_t(accessible) * kPage, std::size_t(target - accessible) * kPage)) {
    platform::vmRelease(base, std::size_t(reserved) * kGranule);
    return nullptr;
  }
  accessible = std::max(accessible, target);
  if (!slotFor(base)) {
    // No map node: the arena is exhausted, and the answer is nil.
    if (!putSpare(base, reserved, accessible)) platform::vmRelease(base, std::size_t(reserved) * kGranule);
    return nullptr;
  }
  TnxLargeBlockTrailer t{aSize, 0, base, granules, granules, pages, pages, 0, accessible >= reserved * 16 ? 1u : 0u,
                         reserved};
  registerBlock(base, placeTrailer(t));
  account(t, 1);
  return base;
}

void* TnxItemManager::largeAllocGrowable(std::size_t aSize, std::uint32_t aGrowth) {
  const std::uint32_t granules = nxLargeBlockGranules(aSize), pages = nxLargeBlockPages(aSize);
  const std::uint32_t reserved = reserveFor(aGrowth, granules), space = spaceFor(reserved);
  std::uint32_t mapped = granules, used = pages;
  if (aGrowth > 16) {
    mapped = std::min<std::uint32_t>(granules * 3 / 2, reserved);
    used = std::min<std::uint32_t>(pages * 3 / 2, mapped * 16);
  }
  std::uint32_t have = space, accessible = 0;
  char* base = takeSpare(space, space * 2, have, accessible);
  if (!base) {
    base = static_cast<char*>(platform::vmReserve(std::size_t(space) * kGranule, kGranule));
    if (!base) return nullptr;
  }
  // Pages get memory only when touched, so the whole reservation is made
  // usable at once and growth inside it needs no system call.
  if (accessible < have * 16 &&
      !platform::vmCommit(base + std::size_t(accessible) * kPage, std::size_t(have * 16 - accessible) * kPage)) {
    platform::vmRelease(base, std::size_t(have) * kGranule);
    return nullptr;
  }
  if (!slotFor(base)) {
    if (!putSpare(base, have, have * 16)) platform::vmRelease(base, std::size_t(have) * kGranule);
    return nullptr;
  }
  TnxLargeBlockTrailer t{aSize, 1, base, mapped, reserved, used, used, aGrowth, 1, have};
  registerBlock(base, placeTrailer(t));
  account(t, 1);
  return base;
}

std::int32_t TnxItemManager::largeFree(void* aPointer) {
  TnxLargeBlockTrailer* t = lookup(aPointer);
  if (!t || t->lbBase != aPointer) return 1;
  const TnxLargeBlockTrailer copy = *t;
  account(copy, -1);
  registerBlock(aPointer, nullptr);
  retire(copy);
  return 0;
}

// Gives the block a new reservation of aReserved granules, usable up to
// aCommitTo pages, and the block's first aCopy bytes. A block of up to
// kCopyLimit bytes is copied and its old reservation, pages still in memory,
// becomes a spare: an append buffer built again and again then finds warm
// spares for every step, touches no fresh page and makes no system call.
// A larger block's pages move instead, without copying.
bool TnxItemManager::moveReservation(TnxLargeBlockTrailer& aT, std::uint32_t aReserved, std::uint32_t aCommitTo,
                                     std::size_t aCopy) {
  constexpr std::size_t kCopyLimit = std::size_t(1) << 20;
  aCopy = std::min(aCopy, aT.lbSize);  // a plain block may also shrink into its new reservation
  const std::uint32_t keep = std::min(aT.lbPagesCommitted, aCommitTo);
  std::uint32_t space = spaceFor(aReserved), accessible = 0;
  char* fresh = takeSpare(space, space * 2, space, accessible);
  const bool copy = aCopy <= kCopyLimit;
  if (!fresh) fresh = static_cast<char*>(platform::vmReserve(std::size_t(space) * kGranule, kGranule));
  if (!fresh) return false;
  const std::size_t whole = std::size_t(space) * kGranule;
  const std::uint32_t from = copy ? accessible : std::max(keep, accessible);
  if (from < space * 16 && !platform::vmCommit(fresh + std::size_t(from) * kPage, whole - std::size_t(from) * kPage)) {
    platform::vmRelease(fresh, whole);
    return false;
  }
  // The new place's map entry must be possible before the old block is
  // touched: a failure from here on would lose it.
  if (!slotFor(fresh)) {
    if (!putSpare(fresh, space, space * 16)) platform::vmRelease(fresh, whole);
    return false;
  }
  char* old = static_cast<char*>(aT.lbBase);
  // Unregistered before its range is reused or unmapped: once it is, another
  // thread may get the same address and register it.
  TnxLargeBlockTrailer* oldTrailer = lookup(old);
  const TnxLargeBlockTrailer before = *oldTrailer;
  registerBlock(old, nullptr);
  if (copy) {
    std::memcpy(fresh, old, aCopy);
    retire(before);
  } else {
    if (!platform::vmMovePages(old, fresh, std::size_t(keep) * kPage)) {
      registerBlock(old, oldTrailer);
      platform::vmRelease(fresh, whole);
      return false;
    }
    const std::size_t rest = std::size_t(aT.lbSpaceGranules) * kGranule - std::size_t(keep) * kPage;
    if (rest) platform::vmRelease(old + std::size_t(keep) * kPage, rest);
  }
  aT.lbBase = fresh;
  aT.lbGranulesReserved = aReserved;
  aT.lbSpaceGranules = space;
  aT.lbPagesCommitted = aCommitTo;
  aT.lbAccessible = 1;
  return true;
}

void* TnxItemManager::largeRealloc(TnxLargeBlockTrailer* aTrailer, std::size_t aNewSize) {
  TnxLargeBlockTrailer t = *aTrailer;
  const std::uint32_t pages = nxLargeBlockPages(aNewSize), granules = nxLargeBlockGranules(aNewSize);
  auto moveToNew = [&](std::size_t aCopy) -> void* {
    void* fresh = getMem(aNewSize);
    if (!fresh) return nullptr;
    std::memcpy(fresh, t.lbBase, aCopy);
    largeFree(t.lbBase);
    return fresh;
  };
  auto finish = [&](const TnxLargeBlockTrailer& aNew) -> void* {
    registerBlock(aNew.lbBase, placeTrailer(aNew));
    accountChange(t, aNew);
    return aNew.lbBase;
  };

  if (!t.lbGrowable) {
    if (pages == t.lbPagesCommitted) {
      aTrailer->lbSize = aNewSize;
      iInUse.add(std::int64_t(aNewSize) - std::int64_t(t.lbSize));
      return t.lbBase;
    }
    const std::uint32_t growth = t.lbGrowthCount + 1;
    if (aNewSize <= nxMaxItemSize) return moveToNew(aNewSize < t.lbSize ? aNewSize : t.lbSize);
    // Becomes a growable block: a larger reservation, same pages.
    TnxLargeBlockTrailer n = t;
    n.lbGrowable = 1;
    n.lbGrowthCount = growth;
    n.lbSize = aNewSize;
    const std::uint32_t reserved = reserveFor(growth, granules);
    n.lbGranulesMapped = granules;
    n.lbPagesUsed = pages;
    if (growth > 16) {
      n.lbGranulesMapped = std::min<std::uint32_t>(granules * 3 / 2, reserved);
      n.lbPagesUsed = std::min<std::uint32_t>(pages * 3 / 2, n.lbGranulesMapped * 16);
    }
    if (aNewSize > t.lbSize && t.lbAccessible && reserved <= t.lbSpaceGranules) {
      // Its address space already holds the new reserve: it stays.
      n.lbGranulesReserved = reserved;
      n.lbPagesCommitted = std::max(n.lbPagesUsed, t.lbPagesCommitted);
      return finish(n);
    }
    if (!moveReservation(n, reserved, n.lbPagesUsed, t.lbSize)) return nullptr;
    return finish(n);
  }

  if (granules > t.lbGranulesMapped) {
    TnxLargeBlockTrailer n = t;
    n.lbGrowthCount = t.lbGrowthCount + 1;
    n.lbSize = aNewSize;
    std::uint32_t reserved = t.lbGranulesReserved;
    if (granules > reserved) reserved = reserveFor(n.lbGrowthCount, granules);
    n.lbGranulesMapped = granules;
    n.lbPagesUsed = pages;
    if (n.lbGrowthCount > 16) {
      n.lbGranulesMapped = std::min<std::uint32_t>(granules * 3 / 2, reserved);
      n.lbPagesUsed = std::min<std::uint32_t>(pages * 3 / 2, n.lbGranulesMapped * 16);
    }
    // The policy's reserve may grow while the block stays: its address space
    // already holds the new reserve, so the move the policy asks for is moot.
    n.lbGranulesReserved = reserved;
    if (reserved > t.lbSpaceGranules) {
      if (!moveReservation(n, reserved, std::max(n.lbPagesUsed, t.lbPagesCommitted), t.lbSize)) return nullptr;
    } else if (n.lbPagesUsed > t.lbPagesCommitted) {
      // Grows in place inside its reservation.
      if (!t.lbAccessible && !platform::vmCommit(static_cast<char*>(t.lbBase) + std::size_t(t.lbPagesCommitted) * kPage,
                              std::size_t(n.lbPagesUsed - t.lbPagesCommitted) * kPage))
        return nullptr;
      n.lbPagesCommitted = n.lbPagesUsed;
    }
    return finish(n);
  }

  if (std::uint64_t(pages) * 8 < t.lbPagesCommitted) return moveToNew(aNewSize < t.lbSize ? aNewSize : t.lbSize);
  TnxLargeBlockTrailer n = t;
  n.lbSize = aNewSize;
  if (aNewSize < t.lbSize && granules < t.lbGranulesMapped && pages < t.lbPagesUsed) {
    // Shrinks: the pages past the new end may be discarded.
    platform::vmReset(static_cast<char*>(t.lbBase) + std::size_t(pages) * kPage,
                      std::size_t(t.lbPagesCommitted - pages) * kPage);
    n.lbGranulesMapped = granules;
    n.lbPagesUsed = pages;
    return finish(n);
  }
  std::uint32_t used = pages;
  if (t.lbGrowthCount > 16) used = std::min<std::uint32_t>(pages * 3 / 2, t.lbGranulesMapped * 16);
  if (used < pages) used = pages;
  if (used > t.lbPagesCommitted) {
    if (!t.lbAccessible && !platform::vmCommit(static_cast<char*>(t.lbBase) + std::size_t(t.lbPagesCommitted) * kPage,
                            std::size_t(used - t.lbPagesCommitted) * kPage))
      return nullptr;
    n.lbPagesCommitted = used;
  }
  n.lbPagesUsed = used;
  return finish(n);
}

const TnxLargeBlockTrailer* TnxItemManager::largeBlock(const void* aPointer) const {
  const TnxLargeBlockTrailer* t = lookup(aPointer);
  return t && t->lbBase == aPointer ? t : nullptr;
}

}  // namespace nxmm

// The layer of the memory manager that serves ordinary allocations: 62
// lock-free pools of fixed-size items carved from 64 KB pages of the 64 KB
// block manager, and large blocks (above 32735 bytes) reserved directly from
// the system, which grow in place inside their reservation or move to a
// larger one (blocks above 1 MB without copying: their pages move). A
// growable block reserves at least 2 MB, so growth up to there only commits
// pages. Freed reservations are kept as spares for a few cleanup ticks.
//
// Pointer kinds: a large block starts on a 64 KB boundary; a pool item never
// does (every page starts with its header). Freeing first checks that an item
// lies in a used 64 KB block of this manager's arena, and a large block that it
// is registered, so a foreign pointer is refused without reading its memory.
//
// Page header (64 KB page, aligned to 64 KB): link (0), owning pool (8),
// free-item list head (16), used count (32), off-list flag (36), then the
// allocation bitmap at 40, one bit per item (set = not on the page's free
// list), then, in pools of 16-byte items and more, one state byte per item
// (1 = handed out to a caller), then the items. A free item's first 8 bytes
// link to the next free item, so an item slot is at least 8 bytes even in the
// 4-byte pool.
//
// Thread safety: everything lock-free, any thread, concurrently with the
// cleanup. A page is only returned to the block manager by the cleanup while
// its used count is 0; a freeing thread touches the page header only before it
// decrements the used count. A large block is reallocated by its owner only.
//
// Thread cache (optional, one manager per process at a time): a few freed
// items per size are kept per thread and handed out again without any atomic
// operation. Whether an item is handed out is decided by the allocator's own
// metadata, never by the item's bytes: in pools of 16 bytes and more by the
// item's state byte (plain byte stores: an item's byte is written only by the
// thread that holds the item or frees it, so a free that follows another free
// of the same item is refused); a cached item stays marked in its page's
// bitmap. 4- and 8-byte items are unmarked in the bitmap (atomically) when
// cached. Cached items keep their page in use until the cache is flushed (at
// thread exit or by flushThreadCache). Memory freed on a thread after its
// cache was torn down (by another thread-local object's destructor) goes
// straight to the pages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "nxllLockedFuncs.h"
#include "nxmmChunkManager.h"

namespace nxmm {

constexpr std::size_t nxMaxItemSize = 32735;
constexpr std::size_t nxPageSize = 65536;
constexpr int nxPoolCount = 62;

struct TnxPageHeader {
  TnxListEntry phLink;
  class TnxMemoryPool* phOwner;
  TnxListHead phFreeItems;
  std::int32_t phUsed;
  std::int32_t phOffList;
  std::uint32_t phBitmap[1];
};

// A sum spread over cache lines so hot counters do not bounce between cores.
class TnxCounter {
 public:
  void add(std::int64_t aDelta);
  std::int64_t value() const;

 private:
  struct alignas(64) Slot {
    std::atomic<std::int64_t> v{0};
  };
  Slot cSlots[16];
};

struct TnxItemStatistics {
  std::int64_t isAddressSpace;  // pages count 64 KB, large blocks their reservation
  std::int64_t isCommitted;     // pages count 64 KB, large blocks their committed pages
  std::int64_t isInUse;         // item sizes of used items, requested sizes of large blocks
  std::int64_t isHeaders;       // bytes of page headers
};

class TnxItemManager;

// A thread's cached items, one list per pool (items linked through their
// first word).
struct TnxThreadCache {
  struct Bin {
    void* head = nullptr;
    std::uint32_t count = 0;
  };
  TnxItemManager* tcOwner = nullptr;
  std::uint64_t tcEpoch = 0;
  Bin tcBins[nxPoolCount];
  ~TnxThreadCache();
};
// The calling thread's cache once it has one, else nullptr.
extern constinit thread_local TnxThreadCache* tnxThreadCache;

[[noreturn]] void nxInvalidPointer();

class alignas(64) TnxMemoryPool {
 public:
  TnxMemoryPool(TnxItemManager* aManager, std::uint32_t aItemSize, int aIndex);
  TnxMemoryPool(const TnxMemoryPool&) = delete;
  TnxMemoryPool& operator=(const TnxMemoryPool&) = delete;

  // An item, or nullptr when no page can be had.
  void* alloc();
  // Takes the item out of the variable first; 0 on success. Misuse (foreign,
  // misaligned or already free item) raises platform::InvalidPointer.
  std::int32_t dispose(void*& aItem);
  std::int32_t disposeDirect(void* aItem);
  // Gives pages without used items back to the block manager.
  void releaseFreePages();

  std::uint32_t itemSize() const { return mpItemSize; }
  std::uint32_t slotSize() const { return mpSlotSize; }
  std::uint32_t itemsPerBlock() const { return mpItemsPerBlock; }
  std::uint32_t blockHeaderSize() const { return mpBlockHeaderSize; }
  int index() const { return mpIndex; }

  std::atomic<bool> mpPartialFreeBlockBool{false};
  TnxListHead mpPartialFreeBlockHead1;
  TnxListHead mpPartialFreeBlockHead2;
  TnxListHead mpFreeBlockHead;
  // Lines of their own: the fields below are read by every allocation and
  // free, and must not share a line with this flag or the list heads, which
  // other threads write.
  alignas(64) std::atomic<std::int32_t> mpNeedCleanup{0};
  alignas(64) std::uint32_t mpBlockHeaderSize = 0;
  std::uint32_t mpItemSize = 0;
  std::uint32_t mpItemsPerBlock = 0;
  // Offset of the items' state bytes in a page; 0 in the 4- and 8-byte pools.
  std::uint32_t mpStateOffset = 0;

 private:
  friend class TnxItemManager;
  // The state byte of item aIndex of aPage (pools with state bytes only).
  static std::uint8_t* stateOf(TnxPageHeader* aPage, std::uint32_t aOffset, int aIndex) {
    return reinterpret_cast<std::uint8_t*>(aPage) + aOffset + aIndex;
  }
  // Marks a handed-out item free in its state byte; false when it was not
  // handed out (a double free).
  static bool release(std::uint8_t* aState) {
    if (__atomic_load_n(aState, __ATOMIC_RELAXED) != 1) return false;
    __atomic_store_n(aState, std::uint8_t(0), __ATOMIC_RELAXED);
    return true;
  }
  TnxListHead& currentList() { return mpPartialFreeBlockBool.load() ? mpPartialFreeBlockHead2 : mpPartialFreeBlockHead1; }
  TnxListHead& otherList() { return mpPartialFreeBlockBool.load() ? mpPartialFreeBlockHead1 : mpPartialFreeBlockHead2; }
  TnxPageHeader* newPage();
  void releasePage(TnxPageHeader* aPage);
  // Index of a valid item position, or -1.
  inline int itemIndex(TnxPageHeader* aPage, void* aItem) const;
  // Marks a free item used (its bit must be clear).
  void claimItem(TnxPageHeader* aPage, void* aItem);
  // Sets the item's state byte: handed out to a caller.
  void markHandedOut(void* aItem);
  // Second half of a free: the bit is already clear.
  void returnToPage(TnxPageHeader* aPage, void* aItem);
  // Up to aWant items of one page; 0 when no page can be had.
  int allocFromPages(void** aOut, int aWant);

  TnxItemManager* mpManager;
  std::uint32_t mpSlotSize = 0;
  std::uint32_t mpReciprocal = 0;
  std::uint32_t mpCacheCapacity = 0;
  int mpIndex = 0;
};

// Kept at the end of a large block's used pages.
struct TnxLargeBlockTrailer {
  std::size_t lbSize;               // requested size
  std::size_t lbGrowable;           // 0 for a plain block
  void* lbBase;
  std::uint32_t lbGranulesMapped;   // 64 KB units in use
  std::uint32_t lbGranulesReserved; // the reserve of the growth policy, in 64 KB units
  std::uint32_t lbPagesUsed;        // 4 KB units, trailer included
  std::uint32_t lbPagesCommitted;
  std::uint32_t lbGrowthCount;
  std::uint32_t lbAccessible;       // 1: the whole reservation is usable memory
  std::uint32_t lbSpaceGranules;    // the address space really reserved (at least 2 MB when growable)
};

class TnxItemManager {
 public:
  TnxItemManager(TnxChunkManager& aChunks, bool aThreadCache = false);
  ~TnxItemManager();
  TnxItemManager(const TnxItemManager&) = delete;
  TnxItemManager& operator=(const TnxItemManager&) = delete;

  // aSize 1 .. 2 GB; nullptr when exhausted.
  inline void* getMem(std::size_t aSize);
  // 0 on success, 1 for an address this manager did not hand out; a double
  // free or misaligned item raises platform::InvalidPointer.
  inline std::int32_t freeMem(void* aPointer);
  // nullptr (and aPointer untouched) when exhausted.
  void* reallocMem(void* aPointer, std::size_t aNewSize);
  // Runs releaseFreePages on every pool and gives the reservations of freed
  // large blocks back to the system.
  void cleanup();
  // The periodic form: as cleanup, but a freed large block's reservation is
  // kept until it went unused for a few ticks.
  void cleanupTick();
  // Empties the calling thread's cache into the pages.
  void flushThreadCache();

  TnxMemoryPool* poolForSize(std::size_t aSize) const {
    return aSize <= 64 ? iSmall[aSize >> 2] : iLarge[(aSize - 1) >> 5];
  }
  TnxMemoryPool* pool(int aIndex) const { return &iPools[aIndex]; }
  // The pool owning a live item, nullptr when aPointer is not one.
  inline TnxMemoryPool* poolOfItem(const void* aPointer);
  const TnxLargeBlockTrailer* largeBlock(const void* aPointer) const;
  TnxItemStatistics statistics() const;
  TnxChunkManager& chunks() { return iChunks; }
  int mapLevels() const { return iLevels; }

 private:
  friend class TnxMemoryPool;
  struct Node;
  friend struct TnxThreadCache;

  void* getMemSlow(std::size_t aSize);
  std::int32_t freeMemSlow(void* aPointer);
  void* cacheAlloc(TnxMemoryPool* aPool);
  bool cachePut(TnxMemoryPool* aPool, void* aItem);
  TnxThreadCache* myCache();
  void flushCache(TnxThreadCache& aCache);

  // aMinSpace: address space (granules) to reserve at least, all usable, so
  // the block can later grow without moving; 0 for a tight block.
  void* largeAllocPlain(std::size_t aSize, std::uint32_t aMinSpace);
  void* largeAllocGrowable(std::size_t aSize, std::uint32_t aGrowth);
  std::int32_t largeFree(void* aPointer);
  void* largeRealloc(TnxLargeBlockTrailer* aTrailer, std::size_t aNewSize);
  TnxLargeBlockTrailer* lookup(const void* aBase) const;
  // The map slot of a block at aBase, its nodes made on the way; nullptr when
  // a node cannot be had (then nothing was changed).
  std::atomic<void*>* slotFor(const void* aBase);
  // Enters aTrailer (slotFor(aBase) must have succeeded) or, with nullptr,
  // removes the entry.
  void registerBlock(void* aBase, TnxLargeBlockTrailer* aTrailer);
  void account(const TnxLargeBlockTrailer& aTrailer, int aSign);
  void accountChange(const TnxLargeBlockTrailer& aOld, const TnxLargeBlockTrailer& aNew);
  TnxLargeBlockTrailer* placeTrailer(const TnxLargeBlockTrailer& aTrailer);
  bool moveReservation(TnxLargeBlockTrailer& aTrailer, std::uint32_t aNewReserved, std::uint32_t aPagesToKeep,
                       std::size_t aCopy);
  // Reservations of freed large blocks, kept for reuse until the next
  // cleanup so that a block freed and asked for again costs no system call
  // and its pages need not be faulted in again. The smallest one that fits
  // is taken.
  char* takeSpare(std::uint32_t aMinGranules, std::uint32_t aMaxGranules, std::uint32_t& aGranules,
                  std::uint32_t& aAccessiblePages);
  bool putSpare(void* aBase, std::uint32_t aGranules, std::uint32_t aAccessiblePages);
  // Keeps an unregistered block's reservation as a spare, else releases it.
  void retire(const TnxLargeBlockTrailer& aTrailer);
  void releaseSpares(bool aAll);

  TnxChunkManager& iChunks;
  TnxBlockManager* iPageManager;
  // Copies of the arena's bounds for the free path.
  std::uintptr_t iArenaBase = 0;
  std::uintptr_t iArenaLow = 0;
  std::uintptr_t iArenaSize = 0;
  TnxChunkRecord* iRecords = nullptr;
  TnxMemoryPool* iPools = nullptr;
  void* iUnpagedArea = nullptr;
  TnxMemoryPool* iSmall[17] = {};
  TnxMemoryPool* iLarge[1023] = {};
  std::atomic<void*> iRoot{nullptr};
  std::atomic<void*> iSpares[8] = {};
  // Granules of the spare in the same slot; a hint, checked after taking it.
  std::atomic<std::uint32_t> iSpareGranules[8] = {};
  // Cleanup ticks since the spare in the same slot was put there.
  std::atomic<std::uint32_t> iSpareAge[8] = {};
  int iLevels = 0;
  bool iThreadCache = false;
  std::uint64_t iCacheEpoch = 0;

 public:
  TnxCounter iAddressSpace;
  TnxCounter iCommitted;
  TnxCounter iInUse;
  TnxCounter iHeaders;
};

// The common cases inline: an item from or into the thread's cache, without a
// call or an atomic operation.
inline void* TnxItemManager::getMem(std::size_t aSize) {
  if (aSize - 1 < nxMaxItemSize && iThreadCache) {
    TnxMemoryPool* pool = poolForSize(aSize);
    TnxThreadCache* c = tnxThreadCache;
    if (c && c->tcOwner == this && c->tcEpoch == iCacheEpoch && pool->mpStateOffset) {
      TnxThreadCache::Bin& bin = c->tcBins[pool->mpIndex];
      if (void* item = bin.head) {
        bin.head = *static_cast<void**>(item);
        --bin.count;
        auto* page = reinterpret_cast<TnxPageHeader*>(reinterpret_cast<std::uintptr_t>(item) & ~std::uintptr_t(nxPageSize - 1));
        __atomic_store_n(TnxMemoryPool::stateOf(page, pool->mpStateOffset, pool->itemIndex(page, item)), std::uint8_t(1),
                         __ATOMIC_RELAXED);
        return item;
      }
    }
  }
  return getMemSlow(aSize);
}

inline std::int32_t TnxItemManager::freeMem(void* aPointer) {
  TnxThreadCache* c = tnxThreadCache;
  if (!iThreadCache || !c || c->tcOwner != this || c->tcEpoch != iCacheEpoch) return freeMemSlow(aPointer);
  TnxMemoryPool* pool = poolOfItem(aPointer);
  if (!pool || !pool->mpStateOffset) return freeMemSlow(aPointer);
  TnxThreadCache::Bin& bin = c->tcBins[pool->mpIndex];
  if (bin.count >= pool->mpCacheCapacity) return freeMemSlow(aPointer);
  auto* page = reinterpret_cast<TnxPageHeader*>(reinterpret_cast<std::uintptr_t>(aPointer) & ~std::uintptr_t(nxPageSize - 1));
  const int index = pool->itemIndex(page, aPointer);
  // Misplaced, free in its page, or already waiting in some thread's cache.
  if (index < 0 || !TnxMemoryPool::release(TnxMemoryPool::stateOf(page, pool->mpStateOffset, index)))
    nxInvalidPointer();
  *static_cast<void**>(aPointer) = bin.head;
  bin.head = aPointer;
  ++bin.count;
  return 0;
}

inline TnxMemoryPool* TnxItemManager::poolOfItem(const void* aPointer) {
  const auto a = reinterpret_cast<std::uintptr_t>(aPointer);
  if ((a & (nxPageSize - 1)) == 0 || a - iArenaLow >= iArenaSize) return nullptr;
  // The chunk of a 64 KB block is committed while the block manager owns it,
  // so the page header can be read; whatever it holds must name a pool.
  if (iRecords[(a - iArenaBase) >> nxChunkShift].crOwner.load(std::memory_order_acquire) != iPageManager)
    return nullptr;
  TnxMemoryPool* pool =
      __atomic_load_n(&reinterpret_cast<TnxPageHeader*>(a & ~std::uintptr_t(nxPageSize - 1))->phOwner, __ATOMIC_ACQUIRE);
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(pool) - reinterpret_cast<std::uintptr_t>(iPools);
  if (offset >= sizeof(TnxMemoryPool) * nxPoolCount || offset % sizeof(TnxMemoryPool)) return nullptr;
  return pool;
}

inline int TnxMemoryPool::itemIndex(TnxPageHeader* aPage, void* aItem) const {
  const std::uint32_t offset =
      std::uint32_t(reinterpret_cast<std::uintptr_t>(aItem) - reinterpret_cast<std::uintptr_t>(aPage));
  if (offset < mpBlockHeaderSize) return -1;
  const std::uint32_t rel = offset - mpBlockHeaderSize;
  const std::uint32_t idx = std::uint32_t((std::uint64_t(rel) * mpReciprocal) >> 32);
  if (idx * mpSlotSize != rel || idx >= mpItemsPerBlock) return -1;
  return int(idx);
}

// Pages and granules of a large block of aSize bytes.
std::uint32_t nxLargeBlockPages(std::size_t aSize);
std::uint32_t nxLargeBlockGranules(std::size_t aSize);

}  // namespace nxmm

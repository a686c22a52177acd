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
// operation, by inline paths that read only the thread's bin, the item and
// its page (a pool is 256 bytes, so a page's owner names it by a shift).
// Whether an item is handed out is decided by the allocator's own metadata,
// never by the item's bytes: in pools of 16 bytes and more by the item's
// state byte (plain byte stores: an item's byte is written only by the thread
// that holds the item or frees it, so a free that follows another free of the
// same item is refused); a cached item stays marked in its page's bitmap. 4-
// and 8-byte items are unmarked in the bitmap (atomically) when cached.
// Cached items keep their page in use until they go back to it. A thread that
// ends parks its cached items in one of a few slots, where the next thread to
// start takes them over: short-lived threads start warm and do not interleave
// their item states on the lines of other live threads. Parked items count as
// free; the periodic cleanup gives back those parked for a few ticks,
// cleanup() all of them, and with every slot taken an ending thread gives its
// items straight back. flushThreadCache empties the calling thread's cache.
// Memory freed on a thread after its cache was torn down (by another
// thread-local object's destructor) goes straight to the pages.
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
  // A pool's cached items and, copied from the pool when the cache is set up,
  // what the inline paths need to find an item's state byte, so that they read
  // only this line, the item and its page.
  struct Bin {
    void* head = nullptr;
    std::uint32_t count = 0;
    // The pool's capacity where the inline paths may serve it, else 0.
    std::uint32_t fastCapacity = 0;
    std::uint32_t reciprocal = 0;
    std::uint16_t stateOffset = 0;
    std::uint16_t headerSize = 0;
    std::uint16_t slotSize = 0;
    std::uint16_t itemsPerBlock = 0;
    std::uint32_t spare = 0;
  };
  TnxItemManager* tcOwner = nullptr;
  // 0 until the cache is set up for a manager: no manager's epoch.
  std::uint64_t tcEpoch = 0;
  Bin tcBins[nxPoolCount];
};
// The thread-local one, which gives its items back when the thread ends.
struct TnxOwnedThreadCache : TnxThreadCache {
  ~TnxOwnedThreadCache();
};
// The calling thread's cache once it has one, else an empty cache of epoch 0,
// so the inline paths need no null check. Initial-exec: read straight from
// the thread pointer, without a call that would give the inline paths a frame.
extern constinit thread_local TnxThreadCache* tnxThreadCache [[gnu::tls_model("initial-exec")]];

[[noreturn]] void nxInvalidPointer();

// 256 bytes each, so that a page's owner names its pool by a shift.
class alignas(256) TnxMemoryPool {
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

  // REQUIRES: 1 <= aSize <= nxMaxItemSize.
  int classOf(std::size_t aSize) const { return aSize <= 64 ? iClassSmall[aSize >> 2] : iClassLarge[(aSize - 1) >> 5]; }
  TnxMemoryPool* poolForSize(std::size_t aSize) const { return &iPools[classOf(aSize)]; }
  TnxMemoryPool* pool(int aIndex) const { return &iPools[aIndex]; }
  // The pool owning a live item, nullptr when aPointer is not one.
  TnxMemoryPool* poolOfItem(const void* aPointer) {
    const int k = classOfItem(aPointer);
    return k < 0 ? nullptr : &iPools[k];
  }
  // The index of the pool owning a live item, -1 when aPointer is not one.
  inline int classOfItem(const void* aPointer) const;
  // The inline halves of getMem and freeMem: an item from or into the
  // calling thread's cache, nullptr / false when the slow path must serve.
  inline void* cachedGetMem(std::size_t aSize);
  inline bool cachedFreeMem(void* aPointer);
  const TnxLargeBlockTrailer* largeBlock(const void* aPointer) const;
  TnxItemStatistics statistics() const;
  TnxChunkManager& chunks() { return iChunks; }
  int mapLevels() const { return iLevels; }

 private:
  friend class TnxMemoryPool;
  struct Node;
  friend struct TnxOwnedThreadCache;

  void* getMemSlow(std::size_t aSize);
  std::int32_t freeMemSlow(void* aPointer);
  void* cacheAlloc(TnxMemoryPool* aPool);
  bool cachePut(TnxMemoryPool* aPool, void* aItem);
  TnxThreadCache* myCache();
  void flushCache(TnxThreadCache& aCache);
  // Gives aCount items chained from aChain back to pool aPool's pages;
  // aCounted: their sizes are still counted in use.
  void returnChain(int aPool, void* aChain, bool aCounted);
  // A thread's cached items, kept when it ends for the next thread that
  // starts, so that short-lived threads find warm items whose state bytes
  // no other live thread writes.
  struct Parked {
    std::atomic<int> pState{0};  // 0 empty, 1 being changed, 2 holds items
    std::atomic<std::uint32_t> pAge{0};
    struct {
      void* head;
      std::uint32_t count;
    } pBins[nxPoolCount] = {};
  };
  // The ending thread's items into a free slot, else back to the pages.
  void parkCache(TnxThreadCache& aCache);
  // REQUIRES: aCache is empty. Takes the items of a parked cache, if any.
  void adoptParked(TnxThreadCache& aCache);
  // Gives parked items back to the pages: all, or those parked for a few ticks.
  void releaseParked(bool aAll);

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
  // Pool indexes by size: up to 64 bytes by fours, then by 32s.
  std::uint8_t iClassSmall[17] = {};
  std::uint8_t iClassLarge[1023] = {};
  std::atomic<void*> iRoot{nullptr};
  Parked iParked[16];
  std::atomic<void*> iSpares[8] = {};
  // Granules of the spare in the same slot; a hint, checked after taking it.
  std::atomic<std::uint32_t> iSpareGranules[8] = {};
  // Cleanup ticks since the spare in the same slot was put there.
  std::atomic<std::uint32_t> iSpareAge[8] = {};
  int iLevels = 0;
  bool iThreadCache = false;
  // Unique per manager with a thread cache; one that has none keeps a value
  // no cache carries, so the inline paths need only this comparison.
  std::uint64_t iCacheEpoch = ~std::uint64_t(0);

 public:
  TnxCounter iAddressSpace;
  TnxCounter iCommitted;
  TnxCounter iInUse;
  TnxCounter iHeaders;
};

inline int TnxItemManager::classOfItem(const void* aPointer) const {
  const auto a = reinterpret_cast<std::uintptr_t>(aPointer);
  if ((a & (nxPageSize - 1)) == 0 || a - iArenaLow >= iArenaSize) return -1;
  // The chunk of a 64 KB block is committed while the block manager owns it,
  // so the page header can be read; whatever it holds must name a pool.
  if (iRecords[(a - iArenaBase) >> nxChunkShift].crOwner.load(std::memory_order_acquire) != iPageManager) return -1;
  TnxMemoryPool* pool =
      __atomic_load_n(&reinterpret_cast<TnxPageHeader*>(a & ~std::uintptr_t(nxPageSize - 1))->phOwner, __ATOMIC_ACQUIRE);
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(pool) - reinterpret_cast<std::uintptr_t>(iPools);
  if (offset >= sizeof(TnxMemoryPool) * nxPoolCount || offset % sizeof(TnxMemoryPool)) return -1;
  return int(offset / sizeof(TnxMemoryPool));
}

// Sizes from 8 bytes on: the pools below keep no state bytes and are served
// by the slow path.
inline void* TnxItemManager::cachedGetMem(std::size_t aSize) {
  TnxThreadCache* c = tnxThreadCache;
  if (aSize - 8 > nxMaxItemSize - 8 || c->tcEpoch != iCacheEpoch) return nullptr;
  TnxThreadCache::Bin& bin = c->tcBins[classOf(aSize)];
  void* item = bin.head;
  if (!item) return nullptr;
  bin.head = *static_cast<void**>(item);
  --bin.count;
  const auto a = reinterpret_cast<std::uintptr_t>(item);
  const std::uintptr_t page = a & ~std::uintptr_t(nxPageSize - 1);
  // A cached item lies on an item boundary, so no check is needed here.
  const std::uint32_t index = std::uint32_t((std::uint64_t(a - page - bin.headerSize) * bin.reciprocal) >> 32);
  __atomic_store_n(reinterpret_cast<std::uint8_t*>(page) + bin.stateOffset + index, std::uint8_t(1), __ATOMIC_RELAXED);
  return item;
}

inline bool TnxItemManager::cachedFreeMem(void* aPointer) {
  TnxThreadCache* c = tnxThreadCache;
  if (c->tcEpoch != iCacheEpoch) return false;
  const int k = classOfItem(aPointer);
  if (k < 0) return false;
  TnxThreadCache::Bin& bin = c->tcBins[k];
  if (bin.count >= bin.fastCapacity) return false;
  const auto a = reinterpret_cast<std::uintptr_t>(aPointer);
  const std::uintptr_t page = a & ~std::uintptr_t(nxPageSize - 1);
  const std::uint32_t rel = std::uint32_t(a - page) - bin.headerSize;
  const std::uint32_t index = std::uint32_t((std::uint64_t(rel) * bin.reciprocal) >> 32);
  // Misplaced (an offset inside the header wraps to an index past the
  // page's items), free in its page, or already waiting in some thread's
  // cache: the slow path refuses it.
  if (index * bin.slotSize != rel || index >= bin.itemsPerBlock ||
      !TnxMemoryPool::release(reinterpret_cast<std::uint8_t*>(page + bin.stateOffset + index)))
    return false;
  *static_cast<void**>(aPointer) = bin.head;
  bin.head = aPointer;
  ++bin.count;
  return true;
}

inline void* TnxItemManager::getMem(std::size_t aSize) {
  if (void* item = cachedGetMem(aSize)) return item;
  return getMemSlow(aSize);
}

inline std::int32_t TnxItemManager::freeMem(void* aPointer) {
  if (cachedFreeMem(aPointer)) return 0;
  return freeMemSlow(aPointer);
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

// Entry points through which engine code allocates: raw memory, item pools,
// committed blocks and cache blocks, and the attachment of this module to the
// process's allocator.
//
// Failures: an allocator that answers nothing raises platform::OutOfMemory;
// freeing what the allocator does not recognise raises
// platform::InvalidPointer. Never an error code.
// Variables passed by reference are cleared by one atomic exchange before what
// they held is freed, so two threads racing to free one field free it once.
// Thread safety: every entry point may be called from any thread.
//
// The module attaches at nxMemoryManagerAttach (or on first use, which counts
// as that call) and detaches when nxMemoryManagerDetach has been called as often
// as attach; the last detach of the process's last module shuts the allocator
// down and joins its cleanup thread. REQUIRES: no engine allocation runs
// concurrently with that last detach, and none of its blocks is used after it.
// nxGetMem and nxFreeMem call the standard item layer directly while the table
// holds the standard operations (no hook): the same operations, one call less.
// With NX_SYSTEM_HEAP the entry points
// use malloc/realloc/free (aligned_alloc for blocks) so that memory checkers
// see engine allocations; the manager's classes stay usable directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "nxllMemoryManagerImpl.h"
#include "nxllTypes.h"

// Item pool handle: the item size rounded up to 8.
struct TnxMemoryPool {
  TnxMemoryPoolHandle mpHandle = 0;

  void* Alloc() const;
  // Takes the item out of aItem first.
  void Dispose(void*& aItem) const;
  void DisposeDirect(void* aItem) const;
};

void nxGetMem(void*& aPointer, std::size_t aSize);
void* nxGetMem(std::size_t aSize);
void nxAllocMem(void*& aPointer, std::size_t aSize);
void* nxAllocMem(std::size_t aSize);
void nxReallocMem(void*& aPointer, std::size_t aNewSize);
void nxFreeMem(void* aPointer);
void nxFreeMemAndNil(void*& aPointer);
TnxMemoryPool nxGetPool(std::size_t aItemSize);

// Typed conveniences over the untyped forms.
template <class T>
void nxGetMem(T*& aPointer, std::size_t aSize) {
  aPointer = static_cast<T*>(nxGetMem(aSize));
}
template <class T>
void nxReallocMem(T*& aPointer, std::size_t aNewSize) {
  void* p = aPointer;
  nxReallocMem(p, aNewSize);
  aPointer = static_cast<T*>(p);
}
template <class T>
void nxFreeMemAndNil(T*& aPointer) {
  void* p = __atomic_exchange_n(&aPointer, nullptr, __ATOMIC_ACQ_REL);
  nxFreeMem(p);
}

// Committed block pools, indexed by size class.
TnxBlockPoolHandle nxCommittedBlockPools(TnxBlockSizeAll aClass);
void* nxBlockPoolCommittedAlloc(TnxBlockPoolHandle aPool);
void nxBlockPoolCommittedDispose(TnxBlockPoolHandle aPool, void*& aBlock);

TnxMapableBlockHandle nxMapableBlockAlloc(TnxBlockSizeAll aClass);
// All 256 or none: on a failure the handles taken are freed, last first.
void nxMapableBlockAllocBatch(TnxBlockSizeAll aClass, TnxMapableBlockHandle (&aHandles)[256]);
void nxMapableBlockFree(TnxMapableBlockHandle aHandle);
void* nxMapableBlockMap(TnxMapableBlockHandle aHandle);
void nxMapableBlockUnmap(TnxMapableBlockHandle aHandle, void* aAddress);
// Only for allocators that report nxIsAweActive; the standard one does not.
void* nxMapableBlockMapBatch(const TnxMapableBlockHandle (&aHandles)[256]);
void nxMapableBlockUnmapBatch(void* aView);

bool nxIsAweAvailable();
bool nxIsAweActive();
bool nxGetForceAllocated();
bool nxIsMemoryEmergency();
void nxRequestMemoryCleanup();
// 64 KB of read-only zeros.
const void* nxZeroBlock();

void nxMemoryManagerAttach();
void nxMemoryManagerDetach();

// "__VadurMM6__" and the process id's four bytes, least significant first,
// two upper-case hex digits each.
std::string nxMemoryManagerSectionName(std::uint32_t aProcessId);

// The published state of a process's allocator: ready flag, then the table.
struct TnxMemoryManagerSection {
  std::atomic<std::int32_t> msReady{0};
  std::atomic<const TnxMemoryManagerTable*> msTable{nullptr};
};
// Opens the section of that name in this process, creating it when absent
// (aCreated tells which); every open is matched by one close.
TnxMemoryManagerSection* nxOpenMemoryManagerSection(const std::string& aName, bool& aCreated);
void nxCloseMemoryManagerSection(const std::string& aName);

// One module's view of the allocator: attach finds or creates the process's
// allocator through its section and keeps copies of the table's slots.
class TnxMemoryManagerModule {
 public:
  TnxMemoryManagerModule() = default;
  ~TnxMemoryManagerModule() { detach(); }
  TnxMemoryManagerModule(const TnxMemoryManagerModule&) = delete;
  TnxMemoryManagerModule& operator=(const TnxMemoryManagerModule&) = delete;

  void attach(std::uint32_t aProcessId);
  void detach();
  bool attached() const { return mmAttached; }
  const TnxMemoryManagerTable& table() const { return mmTable; }

 private:
  TnxMemoryManagerTable mmTable{};
  std::string mmSectionName;
  bool mmKeepsSection = false;
  bool mmAttached = false;
};

#include "nxllMemoryManager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "plErrors.h"
#include "plOs.h"

namespace {

[[noreturn]] void outOfMemory() { throw platform::OutOfMemory(); }
[[noreturn]] void invalidPointer() { throw platform::InvalidPointer(); }

#if NX_SYSTEM_HEAP

// The system heap behind the same table, so memory checkers see every block.
alignas(65536) const unsigned char kZeros[65536] = {};

std::size_t classSize(TnxBlockSizeAll aClass) {
  static constexpr std::size_t sizes[6] = {4096, 8192, 16384, 32768, 65536, 4194304};
  return sizes[aClass];
}
TnxBlockPoolHandle classHandle(TnxBlockSizeAll aClass) {
  return reinterpret_cast<TnxBlockPoolHandle>(std::uintptr_t(aClass) + 1);
}
bool handleClass(TnxBlockPoolHandle aPool, TnxBlockSizeAll& aClass) {
  const auto v = reinterpret_cast<std::uintptr_t>(aPool);
  if (v < 1 || v > 6) return false;
  aClass = TnxBlockSizeAll(v - 1);
  return true;
}

void* sysGetMem(std::size_t aSize) { return std::malloc(aSize); }
std::int32_t sysFreeMem(void* aPointer) {
  std::free(aPointer);
  return 0;
}
void* sysReallocMem(void* aPointer, std::size_t aSize) { return std::realloc(aPointer, aSize); }
TnxMemoryPoolHandle sysGetPool(std::size_t aItemSize) { return (aItemSize + 7) & ~std::size_t(7); }
std::size_t sysGetAllocSize(void*) { return 0; }
void sysGetStatistics(TnxMemoryStatistics& aStatistics) { aStatistics = {}; }
void* sysBlockAlloc(TnxBlockPoolHandle aPool) {
  TnxBlockSizeAll c;
  if (!handleClass(aPool, c)) return nullptr;
  return std::aligned_alloc(classSize(c), classSize(c));
}
bool sysBlockDispose(TnxBlockPoolHandle aPool, void* aBlock) {
  TnxBlockSizeAll c;
  if (!handleClass(aPool, c)) return false;
  std::free(aBlock);
  return true;
}
void* sysPoolAlloc(TnxMemoryPoolHandle aPool) { return std::malloc(aPool ? aPool : 1); }
std::int32_t sysPoolDispose(TnxMemoryPoolHandle, void* aItem) { return sysFreeMem(aItem); }
TnxMapableBlockHandle sysMapableAlloc(TnxBlockSizeAll aClass) {
  if (aClass > nxbs4M) return 0;
  return reinterpret_cast<TnxMapableBlockHandle>(std::aligned_alloc(classSize(aClass), classSize(aClass)));
}
bool sysMapableFree(TnxMapableBlockHandle aHandle) {
  if (aHandle & 4095) return false;
  std::free(reinterpret_cast<void*>(aHandle));
  return true;
}
void* sysMapableMap(TnxMapableBlockHandle aHandle) { return reinterpret_cast<void*>(aHandle); }
bool sysMapableUnmap(TnxMapableBlockHandle aHandle, void* aAddress) {
  return reinterpret_cast<void*>(aHandle) == aAddress;
}
const std::uintptr_t kNoEmergency = 0;

TnxMemoryManagerTable makeSystemTable() {
  TnxMemoryManagerTable t{};
  t.GetMem = sysGetMem;
  t.FreeMem = sysFreeMem;
  t.ReallocMem = sysReallocMem;
  t.GetPool = sysGetPool;
  t.GetAllocSize = sysGetAllocSize;
  t.GetStatistics = sysGetStatistics;
  for (int c = 0; c < 6; ++c) t.CommittedBlockPools[c] = classHandle(TnxBlockSizeAll(c));
  t.ZeroBlock = kZeros;
  t.BlockPoolCommittedAlloc = sysBlockAlloc;
  t.BlockPoolCommittedDispose = sysBlockDispose;
  t.MemoryPoolAlloc = sysPoolAlloc;
  t.MemoryPoolDispose = sysPoolDispose;
  t.MapableBlockAlloc = sysMapableAlloc;
  t.MapableBlockFree = sysMapableFree;
  t.MapableBlockMap = sysMapableMap;
  t.MapableBlockUnmap = sysMapableUnmap;
  t.EmergencyCommitted = &kNoEmergency;
  return t;
}

const TnxMemoryManagerTable gSystemTable = makeSystemTable();

inline const TnxMemoryManagerTable& table() { return gSystemTable; }

#else

std::atomic<bool> gReady{false};
int gUses = 0;  // attach/detach use count, under initLock()

std::mutex& initLock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: engine memory may still be freed during static destruction.
TnxMemoryManagerModule& mainModule() {
  static TnxMemoryManagerModule* module = new TnxMemoryManagerModule();
  return *module;
}

std::atomic<const TnxMemoryManagerTable*> gTable{nullptr};
// Set while the table's GetMem and FreeMem are the standard ones: the hot
// entry points then skip one indirection.
std::atomic<nxmm::TnxItemManager*> gItems{nullptr};

inline const TnxMemoryManagerTable& table() {
  const TnxMemoryManagerTable* t = gTable.load(std::memory_order_acquire);
  if (__builtin_expect(t != nullptr, 1)) return *t;
  {
    // First use before the module's start-up attached it: attach now.
    std::lock_guard<std::mutex> guard(initLock());
    if (gReady.load()) return mainModule().table();
  }
  nxMemoryManagerAttach();
  return mainModule().table();
}

#endif

}  // namespace

void nxMemoryManagerAttach() {
#if !NX_SYSTEM_HEAP
  std::lock_guard<std::mutex> guard(initLock());
  if (gUses++ > 0) return;
  mainModule().attach(platform::currentProcessId());
  gItems.store(nxStandardItemsOf(mainModule().table()), std::memory_order_release);
  gTable.store(&mainModule().table(), std::memory_order_release);
  gReady.store(true, std::memory_order_release);
#endif
}

void nxMemoryManagerDetach() {
#if !NX_SYSTEM_HEAP
  std::lock_guard<std::mutex> guard(initLock());
  if (gUses == 0 || --gUses > 0) return;
  gReady.store(false);
  gTable.store(nullptr);
  gItems.store(nullptr);
  mainModule().detach();
#endif
}

// ---------------------------------------------------------------- entry points

void nxGetMem(void*& aPointer, std::size_t aSize) { aPointer = nxGetMem(aSize); }

namespace {
// The entry points' slow halves, out of line so the cached paths stay leaf
// functions without a frame.
[[gnu::noinline, gnu::cold]] void* getMemSlow(std::size_t aSize) {
  if (aSize == 0) return nullptr;
#if !NX_SYSTEM_HEAP
  nxmm::TnxItemManager* items = gItems.load(std::memory_order_acquire);
  void* p = items ? items->getMem(aSize) : table().GetMem(aSize);
#else
  void* p = table().GetMem(aSize);
#endif
  if (!p) outOfMemory();
  return p;
}

[[gnu::noinline, gnu::cold]] void freeMemSlow(void* aPointer) {
#if !NX_SYSTEM_HEAP
  nxmm::TnxItemManager* items = gItems.load(std::memory_order_acquire);
  if ((items ? items->freeMem(aPointer) : table().FreeMem(aPointer)) != 0) invalidPointer();
#else
  if (table().FreeMem(aPointer) != 0) invalidPointer();
#endif
}
}  // namespace

void* nxGetMem(std::size_t aSize) {
#if !NX_SYSTEM_HEAP
  if (nxmm::TnxItemManager* items = gItems.load(std::memory_order_acquire))
    if (void* p = items->cachedGetMem(aSize)) return p;
#endif
  return getMemSlow(aSize);
}

void nxAllocMem(void*& aPointer, std::size_t aSize) { aPointer = nxAllocMem(aSize); }

void* nxAllocMem(std::size_t aSize) {
  void* p = nxGetMem(aSize);
  if (p) std::memset(p, 0, aSize);
  return p;
}

void nxReallocMem(void*& aPointer, std::size_t aNewSize) {
  if (!aPointer) {
    if (aNewSize) aPointer = nxGetMem(aNewSize);
    return;
  }
  if (aNewSize == 0) {
    void* old = aPointer;
    aPointer = nullptr;
    if (table().FreeMem(old) != 0) invalidPointer();
    return;
  }
  void* p = table().ReallocMem(aPointer, aNewSize);
  if (!p) outOfMemory();
  aPointer = p;
}

void nxFreeMem(void* aPointer) {
  if (!aPointer) return;
#if !NX_SYSTEM_HEAP
  if (nxmm::TnxItemManager* items = gItems.load(std::memory_order_acquire))
    if (items->cachedFreeMem(aPointer)) return;
#endif
  freeMemSlow(aPointer);
}

void nxFreeMemAndNil(void*& aPointer) { nxFreeMem(__atomic_exchange_n(&aPointer, nullptr, __ATOMIC_ACQ_REL)); }

TnxMemoryPool nxGetPool(std::size_t aItemSize) { return TnxMemoryPool{table().GetPool(aItemSize)}; }

void* TnxMemoryPool::Alloc() const {
  void* p = table().MemoryPoolAlloc(mpHandle);
  if (!p) outOfMemory();
  return p;
}

void TnxMemoryPool::Dispose(void*& aItem) const { DisposeDirect(__atomic_exchange_n(&aItem, nullptr, __ATOMIC_ACQ_REL)); }

void TnxMemoryPool::DisposeDirect(void* aItem) const {
  if (aItem && table().MemoryPoolDispose(mpHandle, aItem) != 0) invalidPointer();
}

TnxBlockPoolHandle nxCommittedBlockPools(TnxBlockSizeAll aClass) { return table().CommittedBlockPools[aClass]; }

void* nxBlockPoolCommittedAlloc(TnxBlockPoolHandle aPool) {
  void* p = table().BlockPoolCommittedAlloc(aPool);
  if (!p) outOfMemory();
  return p;
}

void nxBlockPoolCommittedDispose(TnxBlockPoolHandle aPool, void*& aBlock) {
  void* block = __atomic_exchange_n(&aBlock, nullptr, __ATOMIC_ACQ_REL);
  if (block && !table().BlockPoolCommittedDispose(aPool, block)) invalidPointer();
}

TnxMapableBlockHandle nxMapableBlockAlloc(TnxBlockSizeAll aClass) {
  const TnxMapableBlockHandle h = table().MapableBlockAlloc(aClass);
  if (!h) outOfMemory();
  return h;
}

void nxMapableBlockAllocBatch(TnxBlockSizeAll aClass, TnxMapableBlockHandle (&aHandles)[256]) {
  int taken = 0;
  try {
    for (; taken < 256; ++taken) aHandles[taken] = nxMapableBlockAlloc(aClass);
  } catch (...) {
    while (taken > 0) {
      --taken;
      try {
        nxMapableBlockFree(aHandles[taken]);
      } catch (...) {
      }
      aHandles[taken] = 0;
    }
    throw;
  }
}

void nxMapableBlockFree(TnxMapableBlockHandle aHandle) {
  if (!table().MapableBlockFree(aHandle)) invalidPointer();
}

void* nxMapableBlockMap(TnxMapableBlockHandle aHandle) {
  void* p = table().MapableBlockMap(aHandle);
  if (!p) outOfMemory();
  return p;
}

void nxMapableBlockUnmap(TnxMapableBlockHandle aHandle, void* aAddress) {
  if (!table().MapableBlockUnmap(aHandle, aAddress)) invalidPointer();
}

void* nxMapableBlockMapBatch(const TnxMapableBlockHandle (&aHandles)[256]) {
  auto map = table().MapableBlockMapBatch;
  void* p = map ? map(aHandles) : nullptr;
  if (!p) outOfMemory();
  return p;
}

void nxMapableBlockUnmapBatch(void* aView) {
  auto unmap = table().MapableBlockUnmapBatch;
  if (!unmap || !unmap(aView)) invalidPointer();
}

bool nxIsAweAvailable() { return table().PhysicalAvailable != 0; }
bool nxIsAweActive() { return table().PhysicalActive != 0; }

bool nxGetForceAllocated() {
  auto get = table().GetForceAllocated;
  return get ? get() : false;
}

bool nxIsMemoryEmergency() {
  const TnxMemoryManagerTable& t = table();
  auto drawn = [](const void* aWord) {
    return aWord && __atomic_load_n(static_cast<void* const*>(aWord), __ATOMIC_ACQUIRE) != nullptr;
  };
  return drawn(t.EmergencyCommitted) || drawn(t.EmergencyPhysical);
}

void nxRequestMemoryCleanup() {
  const TnxMemoryManagerTable& t = table();
#if !NX_SYSTEM_HEAP
  // The caller's cached items go back first so their pages can be released.
  if (TnxMemoryManagerImpl* impl = nxStandardMemoryManager()) impl->items().flushThreadCache();
#endif
  if (t.RequestCleanup) t.RequestCleanup();
}

const void* nxZeroBlock() { return table().ZeroBlock; }

// ---------------------------------------------------------------- section

std::string nxMemoryManagerSectionName(std::uint32_t aProcessId) {
  char digits[9];
  for (int i = 0; i < 4; ++i) std::snprintf(digits + 2 * i, 3, "%02X", unsigned((aProcessId >> (8 * i)) & 0xFF));
  return std::string("__VadurMM6__") + digits;
}

namespace {
struct SectionEntry {
  TnxMemoryManagerSection* section;
  int opens;
};
std::mutex gSectionLock;
std::map<std::string, SectionEntry>& sections() {
  static auto* map = new std::map<std::string, SectionEntry>();
  return *map;
}
}  // namespace

TnxMemoryManagerSection* nxOpenMemoryManagerSection(const std::string& aName, bool& aCreated) {
  std::lock_guard<std::mutex> guard(gSectionLock);
  auto& map = sections();
  auto it = map.find(aName);
  aCreated = it == map.end();
  if (aCreated) it = map.emplace(aName, SectionEntry{new TnxMemoryManagerSection(), 0}).first;
  ++it->second.opens;
  return it->second.section;
}

void nxCloseMemoryManagerSection(const std::string& aName) {
  std::lock_guard<std::mutex> guard(gSectionLock);
  auto& map = sections();
  auto it = map.find(aName);
  if (it == map.end()) invalidPointer();
  if (--it->second.opens == 0) {
    delete it->second.section;
    map.erase(it);
  }
}

void TnxMemoryManagerModule::attach(std::uint32_t aProcessId) {
  if (mmAttached) return;
  // An optional module that, when present, publishes the allocator as it loads.
  nxSafeLoadLibrary("vazivi.so", 0x8000);
  mmSectionName = nxMemoryManagerSectionName(aProcessId);
  bool created = false;
  TnxMemoryManagerSection* section = nxOpenMemoryManagerSection(mmSectionName, created);
  const TnxMemoryManagerTable* published;
  if (created) {
    published = &nxMemoryManagerStart();
    section->msTable.store(published, std::memory_order_release);
    section->msReady.exchange(1);
    mmKeepsSection = true;
  } else {
    std::int32_t expected = 1;
    while (!section->msReady.compare_exchange_strong(expected, 1)) {
      expected = 1;
      platform::sleepMs(10);
    }
    published = section->msTable.load(std::memory_order_acquire);
    nxCloseMemoryManagerSection(mmSectionName);
  }
  mmTable = *published;
  for (auto& r : mmTable.Reserved) r = nullptr;
  if (mmTable.ManagerAddRef) mmTable.ManagerAddRef();
  // The creator's start reference: every attached module holds exactly one.
  if (created && mmTable.ManagerRelease) mmTable.ManagerRelease();
  mmAttached = true;
}

void TnxMemoryManagerModule::detach() {
  if (!mmAttached) return;
  mmAttached = false;
  if (mmTable.ManagerRelease) mmTable.ManagerRelease();
  if (mmKeepsSection) {
    mmKeepsSection = false;
    nxCloseMemoryManagerSection(mmSectionName);
  }
}

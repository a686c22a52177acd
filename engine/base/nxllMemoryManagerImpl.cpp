#include "nxllMemoryManagerImpl.h"

#include <cfenv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include "plVirtualMemory.h"

// ---------------------------------------------------------------- allocator

TnxMemoryManagerImpl::TnxMemoryManagerImpl(std::uint32_t aChunkCount, bool aThreadCache)
    : mmChunks(aChunkCount), mmItems(mmChunks, aThreadCache) {
  mmZeroBlock = platform::vmReserve(65536);
  if (!mmZeroBlock || !platform::vmCommit(mmZeroBlock, 65536)) throw std::bad_alloc();
  platform::vmProtectReadOnly(mmZeroBlock, 65536);
  mmChunks.setOutOfAddressSpaceCallback([](void* aSelf) { static_cast<TnxMemoryManagerImpl*>(aSelf)->requestCleanup(); },
                                        this);
}

TnxMemoryManagerImpl::~TnxMemoryManagerImpl() {
  stopCleanupThread();
  mmChunks.setOutOfAddressSpaceCallback(nullptr, nullptr);
  platform::vmRelease(mmZeroBlock, 65536);
}

void* TnxMemoryManagerImpl::blockPoolCommittedAlloc(TnxBlockPoolHandle aPool) {
  for (int c = 0; c < 6; ++c)
    if (aPool == mmChunks.blockManager(TnxBlockSizeAll(c))) return mmChunks.blockAlloc(static_cast<nxmm::TnxBlockManager*>(aPool));
  return nullptr;
}

bool TnxMemoryManagerImpl::blockPoolCommittedDispose(TnxBlockPoolHandle aPool, void* aBlock) {
  for (int c = 0; c < 6; ++c)
    if (aPool == mmChunks.blockManager(TnxBlockSizeAll(c)))
      return mmChunks.blockDispose(static_cast<nxmm::TnxBlockManager*>(aPool), aBlock);
  return false;
}

TnxMapableBlockHandle TnxMemoryManagerImpl::mapableBlockAlloc(TnxBlockSizeAll aClass) {
  if (aClass > nxbs4M) return 0;
  return reinterpret_cast<TnxMapableBlockHandle>(mmChunks.mapableBlockAlloc(aClass));
}

bool TnxMemoryManagerImpl::mapableBlockFree(TnxMapableBlockHandle aHandle) {
  return mmChunks.mapableBlockFree(reinterpret_cast<void*>(aHandle));
}

void TnxMemoryManagerImpl::statistics(TnxMemoryStatistics& aStatistics) const {
  const nxmm::TnxItemStatistics s = mmItems.statistics();
  aStatistics = {};
  aStatistics.msAddressSpace = s.isAddressSpace;
  aStatistics.msUncommitted = s.isAddressSpace > s.isCommitted ? s.isAddressSpace - s.isCommitted : 0;
  aStatistics.msCommitted = s.isCommitted;
  aStatistics.msInUse = s.isInUse;
  aStatistics.msHeaders = s.isHeaders;
}

void TnxMemoryManagerImpl::cleanupTick(int aStage) {
  mmItems.cleanupTick();
  if (aStage == 1 || aStage == 3) mmChunks.blockManagerCleanup();
  if (aStage == 5) mmChunks.chunkTrim();
}

void TnxMemoryManagerImpl::cleanupCascade() {
  mmItems.cleanup();
  mmChunks.blockManagerCleanup();
  mmChunks.chunkTrim();
}

void TnxMemoryManagerImpl::startCleanupThread(std::uint32_t aTickMs) {
  std::lock_guard<std::mutex> guard(mmLock);
  if (mmThread.joinable()) return;
  mmTerminate = false;
  mmRequest = false;
  mmEnded = false;
  mmErrors = 0;
  mmThreadRunning = true;
  mmThread = std::thread([this, aTickMs] { threadMain(aTickMs); });
  mmThreadId = mmThread.get_id();
}

void TnxMemoryManagerImpl::stopCleanupThread() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(mmLock);
    if (!mmThread.joinable()) return;
    mmTerminate = true;
    thread = std::move(mmThread);
  }
  mmWake.notify_all();
  thread.join();
  std::lock_guard<std::mutex> guard(mmLock);
  mmThreadId = {};
}

void TnxMemoryManagerImpl::requestCleanup() {
  std::unique_lock<std::mutex> lock(mmLock);
  // The thread itself (or an allocation it makes) must not wait for itself.
  if (mmEnded || std::this_thread::get_id() == mmThreadId) return;
  mmCascadeFinished = false;
  mmRequest = true;
  mmWake.notify_all();
  mmDone.wait_for(lock, std::chrono::seconds(10), [this] { return mmCascadeFinished || mmEnded; });
}

void TnxMemoryManagerImpl::threadMain(std::uint32_t aTickMs) {
  // As urgent as the system lets an unprivileged thread be; refused is fine.
  setpriority(PRIO_PROCESS, 0, -20);
  std::unique_lock<std::mutex> lock(mmLock);
  int stage = 0;
  for (;;) {
    mmWake.wait_for(lock, std::chrono::milliseconds(aTickMs), [this] { return mmTerminate || mmRequest; });
    if (mmTerminate) break;
    const bool request = mmRequest;
    mmRequest = false;
    lock.unlock();
    bool failed = false;
    try {
      if (auto probe = mmProbe.load()) probe(mmProbeContext);
      if (request) {
        mmItems.cleanup();
        cleanupCascade();
        cleanupCascade();
      } else {
        cleanupTick(stage);
        if (stage == 5) stage = 0;
        ++stage;
      }
    } catch (...) {
      failed = true;
    }
    lock.lock();
    ++mmTicks;
    if (request) {
      // Also after a failed cascade: the requester must not wait for nothing.
      mmCascadeFinished = true;
      stage = 0;
      mmDone.notify_all();
    }
    if (failed && ++mmErrors > 10) break;
  }
  mmEnded = true;
  mmThreadRunning = false;
  mmDone.notify_all();
}

// ---------------------------------------------------------------- hook

const char* const nxMemoryManagerHookExports[16] = {
    "BeforeGetMem",
    "AfterGetMem",
    "BeforeFreeMem",
    "BeforeReallocMem",
    "AfterReallocMem",
    "BeforeGetAllocSize",
    "AfterGetAllocSize",
    "AfterBlockPoolCommittedAlloc",
    "BeforeBlockPoolCommittedDispose",
    "AfterBlockPoolCommittedLargeAlloc",
    "BeforeBlockPoolCommittedLargeDispose",
    "AfterBlockPoolPhysicalAlloc",
    "BeforeBlockPoolPhysicalDispose",
    "BeforeGetPool",
    "AfterMemoryPoolAlloc",
    "BeforeMemoryPoolDispose",
};

bool nxResolveMemoryManagerHook(void* (*aLookup)(void*, const char*), void* aContext, TnxMemoryManagerHook& aHook) {
  static_assert(sizeof(TnxMemoryManagerHook) == 16 * sizeof(void*));
  void* found[16];
  for (int i = 0; i < 16; ++i)
    if (!(found[i] = aLookup(aContext, nxMemoryManagerHookExports[i]))) return false;
  std::memcpy(static_cast<void*>(&aHook), found, sizeof found);
  return true;
}

namespace {

TnxMemoryManagerHook gHook;
TnxMemoryManagerTable gInner;

void* hookGetMem(std::size_t aSize) {
  gHook.BeforeGetMem(&aSize);
  void* result = gInner.GetMem(aSize);
  gHook.AfterGetMem(aSize, &result);
  return result;
}
std::int32_t hookFreeMem(void* aPointer) {
  gHook.BeforeFreeMem(&aPointer);
  return gInner.FreeMem(aPointer);
}
void* hookReallocMem(void* aPointer, std::size_t aSize) {
  gHook.BeforeReallocMem(&aPointer, &aSize);
  void* result = gInner.ReallocMem(aPointer, aSize);
  gHook.AfterReallocMem(aSize, &result);
  return result;
}
TnxMemoryPoolHandle hookGetPool(std::size_t aItemSize) {
  gHook.BeforeGetPool(&aItemSize);
  return gInner.GetPool(aItemSize);
}
std::size_t hookGetAllocSize(void* aPointer) {
  gHook.BeforeGetAllocSize(&aPointer);
  std::size_t result = gInner.GetAllocSize(aPointer);
  gHook.AfterGetAllocSize(aPointer, &result);
  return result;
}
void* hookBlockAlloc(TnxBlockPoolHandle aPool) {
  void* result = gInner.BlockPoolCommittedAlloc(aPool);
  gHook.AfterBlockPoolCommittedAlloc(result);
  return result;
}
bool hookBlockDispose(TnxBlockPoolHandle aPool, void* aBlock) {
  if (aBlock) gHook.BeforeBlockPoolCommittedDispose(aBlock);
  return gInner.BlockPoolCommittedDispose(aPool, aBlock);
}
void* hookPoolAlloc(TnxMemoryPoolHandle aPool) {
  void* result = gInner.MemoryPoolAlloc(aPool);
  gHook.AfterMemoryPoolAlloc(aPool, &result);
  return result;
}
std::int32_t hookPoolDispose(TnxMemoryPoolHandle aPool, void* aItem) {
  if (aItem) gHook.BeforeMemoryPoolDispose(&aItem);
  return gInner.MemoryPoolDispose(aPool, aItem);
}

void* dlLookup(void* aHandle, const char* aName) { return dlsym(aHandle, aName); }

// The program's (or a module's) path with its extension replaced.
std::string besidePath(const std::string& aPath) {
  const std::size_t slash = aPath.rfind('/');
  const std::size_t dot = aPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string result = aPath.substr(0, dot) + "_VadurMM5Hook.so";
  return result.size() < 260 ? result : std::string();
}

}  // namespace

void nxApplyMemoryManagerHook(TnxMemoryManagerTable& aTable, const TnxMemoryManagerHook& aHook) {
  gHook = aHook;
  gInner = aTable;
  aTable.GetMem = hookGetMem;
  aTable.FreeMem = hookFreeMem;
  aTable.ReallocMem = hookReallocMem;
  aTable.GetPool = hookGetPool;
  aTable.GetAllocSize = hookGetAllocSize;
  aTable.BlockPoolCommittedAlloc = hookBlockAlloc;
  aTable.BlockPoolCommittedDispose = hookBlockDispose;
  aTable.MemoryPoolAlloc = hookPoolAlloc;
  aTable.MemoryPoolDispose = hookPoolDispose;
  aTable.WipeOnFree = nullptr;
}

void* nxSafeLoadLibrary(const std::string& aPath, std::uint32_t /*aErrorMode*/) {
  if (aPath.empty()) return nullptr;
  std::fenv_t env;
  std::fegetenv(&env);
  void* handle = dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::feclearexcept(FE_ALL_EXCEPT);
  std::fesetenv(&env);
  return handle;
}

bool nxFindMemoryManagerHook(TnxMemoryManagerHook& aHook) {
  constexpr std::uint32_t kNoOpenFileErrorBox = 0x8000;
  void* handle = dlopen("VadurMM5Hook.so", RTLD_NOW | RTLD_NOLOAD);
  if (!handle) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) handle = nxSafeLoadLibrary(besidePath(std::string(exe, std::size_t(n))), kNoOpenFileErrorBox);
  }
  if (!handle) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&nxFindMemoryManagerHook), &info) && info.dli_fname)
      handle = nxSafeLoadLibrary(besidePath(info.dli_fname), kNoOpenFileErrorBox);
  }
  if (!handle) {
    const char* env = std::getenv("VadurMM5Hook");
    if (env && std::strlen(env) < 260) handle = nxSafeLoadLibrary(env, kNoOpenFileErrorBox);
  }
  return handle && nxResolveMemoryManagerHook(dlLookup, handle, aHook);
}

// ---------------------------------------------------------------- process allocator

namespace {

std::mutex gStartLock;
int gUseCount = 0;
TnxMemoryManagerImpl* gImpl = nullptr;
TnxMemoryManagerTable gTable;
bool gWipeOnFree = false;

void* stdGetMem(std::size_t aSize) { return gImpl->getMem(aSize); }
std::int32_t stdFreeMem(void* aPointer) { return gImpl->freeMem(aPointer); }
void* stdReallocMem(void* aPointer, std::size_t aSize) { return gImpl->reallocMem(aPointer, aSize); }
TnxMemoryPoolHandle stdGetPool(std::size_t aItemSize) { return (aItemSize + 7) & ~std::size_t(7); }
std::size_t stdGetAllocSize(void*) { return 0; }
void stdGetStatistics(TnxMemoryStatistics& aStatistics) { gImpl->statistics(aStatistics); }
void* stdBlockAlloc(TnxBlockPoolHandle aPool) { return gImpl->blockPoolCommittedAlloc(aPool); }
bool stdBlockDispose(TnxBlockPoolHandle aPool, void* aBlock) { return gImpl->blockPoolCommittedDispose(aPool, aBlock); }
void* stdPoolAlloc(TnxMemoryPoolHandle aPool) { return gImpl->getMem(aPool); }
std::int32_t stdPoolDispose(TnxMemoryPoolHandle, void* aItem) { return gImpl->freeMem(aItem); }
TnxMapableBlockHandle stdMapableAlloc(TnxBlockSizeAll aClass) { return gImpl->mapableBlockAlloc(aClass); }
bool stdMapableFree(TnxMapableBlockHandle aHandle) { return gImpl->mapableBlockFree(aHandle); }
void* stdMapableMap(TnxMapableBlockHandle aHandle) { return reinterpret_cast<void*>(aHandle); }
bool stdMapableUnmap(TnxMapableBlockHandle aHandle, void* aAddress) {
  return reinterpret_cast<void*>(aHandle) == aAddress;
}
void stdRequestCleanup() {
  if (TnxMemoryManagerImpl* impl = gImpl) impl->requestCleanup();
}

void stdAddRef() {
  std::lock_guard<std::mutex> guard(gStartLock);
  if (gUseCount++ > 0) return;
  gImpl = new TnxMemoryManagerImpl(nxmm::nxMaxChunks, true);
  TnxMemoryManagerTable t{};
  t.GetMem = stdGetMem;
  t.FreeMem = stdFreeMem;
  t.ReallocMem = stdReallocMem;
  t.GetPool = stdGetPool;
  t.GetAllocSize = stdGetAllocSize;
  t.GetStatistics = stdGetStatistics;
  for (int c = 0; c < 6; ++c) t.CommittedBlockPools[c] = gImpl->committedBlockPool(TnxBlockSizeAll(c));
  t.ZeroBlock = gImpl->zeroBlock();
  t.BlockPoolCommittedAlloc = stdBlockAlloc;
  t.BlockPoolCommittedDispose = stdBlockDispose;
  t.MemoryPoolAlloc = stdPoolAlloc;
  t.MemoryPoolDispose = stdPoolDispose;
  t.MapableBlockAlloc = stdMapableAlloc;
  t.MapableBlockFree = stdMapableFree;
  t.MapableBlockMap = stdMapableMap;
  t.MapableBlockUnmap = stdMapableUnmap;
  t.ManagerAddRef = stdAddRef;
  t.ManagerRelease = nxMemoryManagerShutdown;
  t.RequestCleanup = stdRequestCleanup;
  t.EmergencyCommitted = gImpl->chunks().emergencyWord();
  t.WipeOnFree = &gWipeOnFree;
  TnxMemoryManagerHook hook;
  if (nxFindMemoryManagerHook(hook)) nxApplyMemoryManagerHook(t, hook);
  gTable = t;
  gImpl->startCleanupThread(500);
}

}  // namespace

const TnxMemoryManagerTable& nxMemoryManagerStart() {
  stdAddRef();
  return gTable;
}

void nxMemoryManagerShutdown() {
  TnxMemoryManagerImpl* impl;
  {
    std::lock_guard<std::mutex> guard(gStartLock);
    if (gUseCount == 0 || --gUseCount > 0) return;
    impl = gImpl;
    gImpl = nullptr;
  }
  delete impl;
}

nxmm::TnxItemManager* nxStandardItemsOf(const TnxMemoryManagerTable& aTable) {
  std::lock_guard<std::mutex> guard(gStartLock);
  if (!gImpl || aTable.GetMem != stdGetMem || aTable.FreeMem != stdFreeMem) return nullptr;
  return &gImpl->items();
}

TnxMemoryManagerImpl* nxStandardMemoryManager() {
  std::lock_guard<std::mutex> guard(gStartLock);
  return gImpl;
}

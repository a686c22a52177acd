#include "nxllMemoryManagerImpl.h"

#include <cfenv>
#include <cstring>
#include <new>

#include "plModule.h"
#include "plOs.h"
#include "plSync.h"
#include "plThread.h"
#include "plVirtualMemory.h"

// ---------------------------------------------------------------- cleanup thread

struct TnxMemoryManagerImpl::Control {
  platform::Event wake{platform::Event::Kind::autoReset};
  platform::Event done{platform::Event::Kind::manualReset};
  std::atomic<bool> request{false};
  std::atomic<bool> ended{true};
  std::atomic<std::uint32_t> threadId{0};
};

class TnxCleanupThread : public platform::TThread {
 public:
  TnxCleanupThread(TnxMemoryManagerImpl& aOwner, TnxMemoryManagerImpl::Control& aControl, std::uint32_t aTickMs,
                   TnxCleanupClock& aClock)
      : TThread(false), ctOwner(aOwner), ctControl(aControl), ctTickMs(aTickMs), ctClock(aClock) {}

 protected:
  void execute() override {
    // As urgent as the system lets an unprivileged thread be; refused is fine.
    setPriority(platform::ThreadPriority::timeCritical);
    ctOwner.threadMain(ctControl, ctTickMs, ctClock, *this);
  }
  void shutdownThread() override {
    terminate();
    ctControl.wake.set();
    TThread::shutdownThread();
  }

 private:
  TnxMemoryManagerImpl& ctOwner;
  TnxMemoryManagerImpl::Control& ctControl;
  std::uint32_t ctTickMs;
  TnxCleanupClock& ctClock;

  friend class TnxMemoryManagerImpl;
};

namespace {
class SystemCleanupClock : public TnxCleanupClock {
 public:
  void waitTick(platform::Event& aWake, std::uint32_t aTickMs) override { aWake.wait(aTickMs); }
};
}  // namespace

TnxCleanupClock& nxSystemCleanupClock() {
  static SystemCleanupClock clock;
  return clock;
}

// ---------------------------------------------------------------- fork

namespace {
std::mutex gStartLock;  // the process allocator's start and shutdown
}  // namespace

// Every live manager, so the fork handlers can take and release their locks.
struct TnxMemoryManagerForks {
  static std::mutex& lock() {
    static std::mutex* m = new std::mutex();  // never destroyed: forks may come late
    return *m;
  }
  static TnxMemoryManagerImpl*& first() {
    static TnxMemoryManagerImpl* head = nullptr;
    return head;
  }
  static void prepare() {
    gStartLock.lock();
    lock().lock();
    for (TnxMemoryManagerImpl* m = first(); m; m = m->mmNextLive) m->mmLock.lock();
  }
  static void parent() {
    for (TnxMemoryManagerImpl* m = first(); m; m = m->mmNextLive) m->mmLock.unlock();
    lock().unlock();
    gStartLock.unlock();
  }
  static void child() {
    for (TnxMemoryManagerImpl* m = first(); m; m = m->mmNextLive) m->forkedChild();
    lock().unlock();
    gStartLock.unlock();
  }
  static void add(TnxMemoryManagerImpl* aImpl) {
    static std::once_flag registered;
    std::call_once(registered, [] { platform::atFork(prepare, parent, child); });
    std::lock_guard<std::mutex> guard(lock());
    aImpl->mmNextLive = first();
    first() = aImpl;
  }
  static void remove(TnxMemoryManagerImpl* aImpl) {
    std::lock_guard<std::mutex> guard(lock());
    for (TnxMemoryManagerImpl** at = &first(); *at; at = &(*at)->mmNextLive)
      if (*at == aImpl) {
        *at = aImpl->mmNextLive;
        return;
      }
  }
};

// ---------------------------------------------------------------- allocator

TnxMemoryManagerImpl::TnxMemoryManagerImpl(std::uint32_t aChunkCount, bool aThreadCache)
    : mmChunks(aChunkCount), mmItems(mmChunks, aThreadCache) {
  mmZeroBlock = platform::vmReserve(65536);
  if (!mmZeroBlock || !platform::vmCommit(mmZeroBlock, 65536)) {
    if (mmZeroBlock) platform::vmRelease(mmZeroBlock, 65536);
    throw std::bad_alloc();
  }
  platform::vmProtectReadOnly(mmZeroBlock, 65536);
  mmControl.store(new Control());
  mmChunks.setOutOfAddressSpaceCallback([](void* aSelf) { static_cast<TnxMemoryManagerImpl*>(aSelf)->requestCleanup(); },
                                        this);
  TnxMemoryManagerForks::add(this);
}

TnxMemoryManagerImpl::~TnxMemoryManagerImpl() {
  stopCleanupThread();
  TnxMemoryManagerForks::remove(this);
  mmChunks.setOutOfAddressSpaceCallback(nullptr, nullptr);
  mmChunks.setChunkTakenCallback(nullptr, nullptr);
  delete mmControl.load();
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

void TnxMemoryManagerImpl::startCleanupThread(std::uint32_t aTickMs, TnxCleanupClock* aClock) {
  std::lock_guard<std::mutex> guard(mmLock);
  startLocked(aTickMs, aClock);
}

void TnxMemoryManagerImpl::startLocked(std::uint32_t aTickMs, TnxCleanupClock* aClock) {
  mmRespawn = false;
  if (mmThread) return;
  Control& c = *mmControl.load();
  mmTickMs = aTickMs;
  mmClock = aClock;
  c.request = false;
  c.ended = false;
  c.done.reset();
  mmErrors = 0;
  mmThreadRunning = true;
  try {
    mmThread = platform::create<TnxCleanupThread>(*this, c, aTickMs, aClock ? *aClock : nxSystemCleanupClock());
  } catch (...) {
    c.ended = true;
    mmThreadRunning = false;
    throw;
  }
}

void TnxMemoryManagerImpl::startPendingThread() {
  if (!mmRespawn.load()) return;
  std::lock_guard<std::mutex> guard(mmLock);
  if (mmRespawn.load()) startLocked(mmTickMs, mmClock);
}

void TnxMemoryManagerImpl::stopCleanupThread() {
  TnxCleanupThread* thread;
  {
    std::lock_guard<std::mutex> guard(mmLock);
    mmRespawn = false;
    thread = mmThread;
    mmThread = nullptr;
  }
  if (thread) platform::TObject::free(thread);  // terminates, wakes and joins it
}

void TnxMemoryManagerImpl::forkedChild() {
  // The parent's thread does not exist here; its object and its control are
  // abandoned (their locks may be held by threads the child does not have).
  if (mmThread) {
    mmThread = nullptr;
    mmControl.store(new Control());
    mmThreadRunning = false;
    mmRespawn = true;
    mmChunks.setChunkTakenCallback([](void* aSelf) { static_cast<TnxMemoryManagerImpl*>(aSelf)->startPendingThread(); },
                                   this);
  }
  mmLock.unlock();
}

void TnxMemoryManagerImpl::requestCleanup() {
  startPendingThread();
  Control* c;
  {
    std::lock_guard<std::mutex> guard(mmLock);
    c = mmControl.load();
    // The thread itself (or an allocation it makes) must not wait for itself.
    if (!mmThread || c->ended.load() || platform::currentThreadId() == c->threadId.load()) return;
    c->done.reset();
    c->request = true;
    c->wake.set();
  }
  // The control lives as long as the manager; stopping the thread or its end
  // sets the event.
  c->done.wait(10000);
}

void TnxMemoryManagerImpl::threadMain(Control& aControl, std::uint32_t aTickMs, TnxCleanupClock& aClock,
                                      const platform::TThread& aSelf) {
  aControl.threadId = platform::currentThreadId();
  mmChunks.setChunkTakenCallback(nullptr, nullptr);
  int stage = 0;
  for (;;) {
    aClock.waitTick(aControl.wake, aTickMs);
    if (aSelf.terminated()) break;
    const bool request = aControl.request.exchange(false);
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
    ++mmTicks;
    if (request) {
      // Also after a failed cascade: the requester must not wait for nothing.
      stage = 0;
      aControl.done.set();
    }
    if (failed && ++mmErrors > 10) break;
  }
  aControl.ended = true;
  mmThreadRunning = false;
  aControl.done.set();
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

void* moduleLookup(void* aHandle, const char* aName) { return platform::moduleSymbol(aHandle, aName); }

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
  void* handle = platform::loadModule(aPath);
  std::feclearexcept(FE_ALL_EXCEPT);
  std::fesetenv(&env);
  return handle;
}

bool nxFindMemoryManagerHook(TnxMemoryManagerHook& aHook) {
  constexpr std::uint32_t kNoOpenFileErrorBox = 0x8000;
  void* handle = platform::findLoadedModule("VadurMM5Hook.so");
  if (!handle) handle = nxSafeLoadLibrary(besidePath(platform::programPath()), kNoOpenFileErrorBox);
  if (!handle)
    handle = nxSafeLoadLibrary(besidePath(platform::modulePathOf(reinterpret_cast<const void*>(&nxFindMemoryManagerHook))),
                               kNoOpenFileErrorBox);
  if (!handle) {
    std::string path;
    if (platform::environmentVariable("VadurMM5Hook", path) && path.size() < 260)
      handle = nxSafeLoadLibrary(path, kNoOpenFileErrorBox);
  }
  return handle && nxResolveMemoryManagerHook(moduleLookup, handle, aHook);
}

// ---------------------------------------------------------------- process allocator

namespace {

int gMemoryManagerImplUseCount = 0;
TnxMemoryManagerImpl* gImpl = nullptr;
TnxMemoryManagerTable gManagerTable;
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
  if (gMemoryManagerImplUseCount++ > 0) return;
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
  gManagerTable = t;
  gImpl->startCleanupThread(500);
}

}  // namespace

const TnxMemoryManagerTable& nxMemoryManagerStart() {
  stdAddRef();
  return gManagerTable;
}

void nxMemoryManagerShutdown() {
  TnxMemoryManagerImpl* impl;
  {
    std::lock_guard<std::mutex> guard(gStartLock);
    if (gMemoryManagerImplUseCount == 0 || --gMemoryManagerImplUseCount > 0) return;
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

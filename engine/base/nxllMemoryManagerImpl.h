// The standard allocator of the engine and the process-wide function table
// through which every engine module reaches it; the optional hook module that
// wraps its main operations; the cleanup thread that gives cached memory back.
//
// TnxMemoryManagerImpl is one complete allocator (arena, block managers, item
// pools, large blocks, cleanup thread). The process uses one of them, started
// by nxMemoryManagerStart and published through TnxMemoryManagerTable; tests
// may build more with a small arena to provoke exhaustion.
//
// Thread safety: allocation operations are lock-free and may run on any thread
// concurrently with the cleanup thread. start/stopCleanupThread and the
// process-wide start/shutdown are not concurrent with each other.
// The cleanup thread never blocks allocations; requestCleanup waits for it at
// most 10 s and returns at once when called on the cleanup thread itself or
// when no thread runs.
//
// fork(): every manager's lock (and the process allocator's start lock) is
// taken before a fork and released after it on both sides, so the child never
// inherits a lock held by a thread it does not have. The child has none of the
// parent's threads: its managers forget the parent's cleanup thread and start
// their own when they first need one (a request, or the first chunk taken
// from the system).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "nxllTypes.h"
#include "nxmmChunkManager.h"
#include "nxmmItemManager.h"

using TnxMapableBlockHandle = std::uintptr_t;  // the block's own address
using TnxBlockPoolHandle = void*;              // a block manager
using TnxMemoryPoolHandle = std::uintptr_t;    // the item size rounded up to 8

// Ten words of the statistics entry.
struct TnxMemoryStatistics {
  std::int64_t msAddressSpace;
  std::int64_t msUncommitted;
  std::int64_t msCommitted;
  std::int64_t msInUse;
  std::int64_t msZero[4];
  std::int64_t msHeaders;
  std::int64_t msZero2;
};

// The slots of the process-wide table, in their fixed order.
struct TnxMemoryManagerTable {
  void* (*GetMem)(std::size_t aSize);
  std::int32_t (*FreeMem)(void* aPointer);
  void* (*ReallocMem)(void* aPointer, std::size_t aSize);
  TnxMemoryPoolHandle (*GetPool)(std::size_t aItemSize);
  std::size_t (*GetAllocSize)(void* aPointer);
  void (*GetStatistics)(TnxMemoryStatistics& aStatistics);
  TnxBlockPoolHandle CommittedBlockPools[6];
  const void* ZeroBlock;
  void* PhysicalBlockPools[6];
  void* (*BlockPoolCommittedAlloc)(TnxBlockPoolHandle aPool);
  bool (*BlockPoolCommittedDispose)(TnxBlockPoolHandle aPool, void* aBlock);
  void* PhysicalAlloc;
  void* PhysicalDispose;
  void* (*MemoryPoolAlloc)(TnxMemoryPoolHandle aPool);
  std::int32_t (*MemoryPoolDispose)(TnxMemoryPoolHandle aPool, void* aItem);
  std::int32_t PhysicalAvailable;
  std::int32_t PhysicalActive;
  TnxMapableBlockHandle (*MapableBlockAlloc)(TnxBlockSizeAll aClass);
  bool (*MapableBlockFree)(TnxMapableBlockHandle aHandle);
  void* (*MapableBlockMap)(TnxMapableBlockHandle aHandle);
  bool (*MapableBlockUnmap)(TnxMapableBlockHandle aHandle, void* aAddress);
  void* Reserved[4];
  void (*ManagerAddRef)();
  void (*ManagerRelease)();
  void* (*MapableBlockMapBatch)(const TnxMapableBlockHandle* aHandles);
  bool (*MapableBlockUnmapBatch)(void* aView);
  void (*RequestCleanup)();
  const void* EmergencyCommitted;  // non-zero word while the committed reserve is drawn on
  const void* EmergencyPhysical;
  bool (*GetForceAllocated)();
  bool* WipeOnFree;
  void* Unused[3];
};

// Exports of the hook module; the hook is used only when all 16 exist.
struct TnxMemoryManagerHook {
  void (*BeforeGetMem)(std::size_t* aSize);
  void (*AfterGetMem)(std::size_t aSize, void** aResult);
  void (*BeforeFreeMem)(void** aPointer);
  void (*BeforeReallocMem)(void** aPointer, std::size_t* aNewSize);
  void (*AfterReallocMem)(std::size_t aNewSize, void** aResult);
  void (*BeforeGetAllocSize)(void** aPointer);
  void (*AfterGetAllocSize)(void* aPointer, std::size_t* aResult);
  void (*AfterBlockPoolCommittedAlloc)(void* aBlock);
  void (*BeforeBlockPoolCommittedDispose)(void* aBlock);
  void (*AfterBlockPoolCommittedLargeAlloc)(void* aBlock);
  void (*BeforeBlockPoolCommittedLargeDispose)(void* aBlock);
  void (*AfterBlockPoolPhysicalAlloc)(void* aBlock);
  void (*BeforeBlockPoolPhysicalDispose)(void* aBlock);
  void (*BeforeGetPool)(std::size_t* aItemSize);
  void (*AfterMemoryPoolAlloc)(TnxMemoryPoolHandle aPool, void** aResult);
  void (*BeforeMemoryPoolDispose)(void** aItem);
};
extern const char* const nxMemoryManagerHookExports[16];

// Fills aHook from aLookup (name -> address); false, and aHook untouched,
// unless all 16 exports are found.
bool nxResolveMemoryManagerHook(void* (*aLookup)(void* aContext, const char* aName), void* aContext,
                                TnxMemoryManagerHook& aHook);
// Replaces the wrapped slots of aTable by wrappers that call aHook around the
// operations aTable held. One hook per process.
void nxApplyMemoryManagerHook(TnxMemoryManagerTable& aTable, const TnxMemoryManagerHook& aHook);
// Looks for the hook module (already loaded, beside the program, beside this
// module, or named by the environment variable "VadurMM5Hook").
bool nxFindMemoryManagerHook(TnxMemoryManagerHook& aHook);
// Loads a shared object keeping the floating-point state; nullptr when absent.
void* nxSafeLoadLibrary(const std::string& aPath, std::uint32_t aErrorMode);

namespace platform {
class Event;
class TThread;
}  // namespace platform
class TnxCleanupThread;

// Paces the cleanup thread: waitTick returns when the next tick is due or
// aWake was set, whichever comes first. Tests drive the thread with their own.
class TnxCleanupClock {
 public:
  virtual ~TnxCleanupClock() = default;
  virtual void waitTick(platform::Event& aWake, std::uint32_t aTickMs) = 0;
};
// The system's clock: waits on aWake for aTickMs.
TnxCleanupClock& nxSystemCleanupClock();

class TnxMemoryManagerImpl {
 public:
  // aChunkCount limits the arena (in 4 MB chunks); aThreadCache enables the
  // per-thread item cache (one manager of the process at a time).
  explicit TnxMemoryManagerImpl(std::uint32_t aChunkCount = nxmm::nxMaxChunks, bool aThreadCache = false);
  ~TnxMemoryManagerImpl();
  TnxMemoryManagerImpl(const TnxMemoryManagerImpl&) = delete;
  TnxMemoryManagerImpl& operator=(const TnxMemoryManagerImpl&) = delete;

  void* getMem(std::size_t aSize) { return mmItems.getMem(aSize); }
  std::int32_t freeMem(void* aPointer) { return mmItems.freeMem(aPointer); }
  void* reallocMem(void* aPointer, std::size_t aSize) { return mmItems.reallocMem(aPointer, aSize); }
  void* blockPoolCommittedAlloc(TnxBlockPoolHandle aPool);
  bool blockPoolCommittedDispose(TnxBlockPoolHandle aPool, void* aBlock);
  TnxBlockPoolHandle committedBlockPool(TnxBlockSizeAll aClass) { return mmChunks.blockManager(aClass); }
  TnxMapableBlockHandle mapableBlockAlloc(TnxBlockSizeAll aClass);
  bool mapableBlockFree(TnxMapableBlockHandle aHandle);
  void statistics(TnxMemoryStatistics& aStatistics) const;
  const void* zeroBlock() const { return mmZeroBlock; }
  bool isMemoryEmergency() const { return mmChunks.isMemoryEmergency(); }

  // One cleanup step as the thread runs it on a tick, by stage (0 .. 5).
  void cleanupTick(int aStage);
  // The full cascade: pools, block managers, chunk trim.
  void cleanupCascade();

  // Starts the thread with a tick of aTickMs (500 in the process) paced by
  // aClock (the system's when nullptr; it must outlive the thread).
  void startCleanupThread(std::uint32_t aTickMs = 500, TnxCleanupClock* aClock = nullptr);
  // Stops and joins the thread; nothing when none runs.
  void stopCleanupThread();
  // Wakes the thread for two full cascades and waits up to 10 s for them.
  void requestCleanup();
  bool cleanupThreadRunning() const { return mmThreadRunning.load(); }
  // True while a cleanup thread is to be started on first need (after a fork).
  bool cleanupThreadPending() const { return mmRespawn.load(); }
  std::uint32_t cleanupTicks() const { return mmTicks.load(); }
  std::uint32_t cleanupErrors() const { return mmErrors.load(); }
  // Test hook: runs inside every tick before the cleanup (may throw).
  void setTickProbe(void (*aProbe)(void*), void* aContext) {
    mmProbeContext = aContext;
    mmProbe.store(aProbe);
  }

  nxmm::TnxChunkManager& chunks() { return mmChunks; }
  nxmm::TnxItemManager& items() { return mmItems; }

 private:
  struct Control;
  friend class TnxCleanupThread;
  friend struct TnxMemoryManagerForks;

  void threadMain(Control& aControl, std::uint32_t aTickMs, TnxCleanupClock& aClock, const platform::TThread& aSelf);
  // REQUIRES: mmLock held.
  void startLocked(std::uint32_t aTickMs, TnxCleanupClock* aClock);
  // Starts the thread a forked child still lacks; nothing otherwise.
  void startPendingThread();
  // In a forked child: forget the parent's thread, release the lock.
  void forkedChild();

  nxmm::TnxChunkManager mmChunks;
  nxmm::TnxItemManager mmItems;
  void* mmZeroBlock = nullptr;

  // Guards the thread's start and stop and the control's replacement.
  std::mutex mmLock;
  // The thread's events and flags; replaced (the old one abandoned) in a
  // forked child, whose copy may hold locks of threads it does not have.
  std::atomic<Control*> mmControl{nullptr};
  TnxCleanupThread* mmThread = nullptr;
  std::uint32_t mmTickMs = 500;
  TnxCleanupClock* mmClock = nullptr;
  std::atomic<bool> mmRespawn{false};
  std::atomic<bool> mmThreadRunning{false};
  std::atomic<std::uint32_t> mmTicks{0};
  std::atomic<std::uint32_t> mmErrors{0};
  std::atomic<void (*)(void*)> mmProbe{nullptr};
  void* mmProbeContext = nullptr;
  // The live managers, for the fork handlers.
  TnxMemoryManagerImpl* mmNextLive = nullptr;
};

// The process's standard allocator, use-counted by the table's ManagerAddRef
// and ManagerRelease: the first reference starts it, the last shuts it down.
// Returns its table (hook wrappers included when a hook was found).
const TnxMemoryManagerTable& nxMemoryManagerStart();
void nxMemoryManagerShutdown();
// The process's allocator, nullptr while none runs.
TnxMemoryManagerImpl* nxStandardMemoryManager();
// The item layer behind aTable's GetMem and FreeMem when those are the
// standard operations themselves (no hook), else nullptr: callers may then
// call it directly and save the table's indirection.
nxmm::TnxItemManager* nxStandardItemsOf(const TnxMemoryManagerTable& aTable);

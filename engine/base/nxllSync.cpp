#include "nxllSync.h"

#include <new>
#include <utility>

#include "nxllBde.h"
#include "nxllMemoryManager.h"

NX_IMPLEMENT_EXCEPTION(EnxSyncException, EnxBaseException)
PL_CLASS_INFO_IMPL(TnxPadlock, TnxObject, "TnxPadlock", nullptr)
PL_CLASS_INFO_IMPL(TnxThreadSafeStack, TnxObject, "TnxThreadSafeStack",
                   &platform::factoryFor<TnxThreadSafeStack>)
PL_CLASS_INFO_IMPL(TnxEventPool, TnxObject, "TnxEventPool", nullptr)
PL_CLASS_INFO_IMPL(TnxEvent, TnxObject, "TnxEvent", &platform::factoryFor<TnxEvent>)
PL_CLASS_INFO_IMPL(TnxManualEvent, TnxObject, "TnxManualEvent", nullptr)

namespace {

constexpr std::uint32_t kFastLockSpinCount = 4000;
constexpr std::int32_t kPoolInitialCount = 250;
constexpr std::int32_t kPoolRetainCount = 2500;

TnxListHead gManualEventCache;
std::atomic<bool> gManualEventCacheActive{false};

platform::Event* newAutoResetEvent() { return new platform::Event(platform::Event::Kind::autoReset); }

TnxBlockPoolHandle stackPagePool() { return nxCommittedBlockPools(nxbs8k); }

std::uint32_t platformTimeout(TnxWord32 aTimeOut) { return aTimeOut == 0 ? platform::kInfinite : aTimeOut; }

}  // namespace

TnxEventPool* nxEventPool = nullptr;

// ---- TnxPadlock -------------------------------------------------------------

TnxPadlock::TnxPadlock(bool aFastLock) : plCritSect(aFastLock ? kFastLockSpinCount : 0) {}

TnxPadlock& TnxPadlock::CreateAndLock(std::atomic<TnxPadlock*>& aPadlock, bool aFastLock) {
  TnxPadlock* existing = aPadlock.load(std::memory_order_acquire);
  if (!existing) {
    TnxPadlock* mine = platform::create<TnxPadlock>(aFastLock);
    mine->Lock();
    if (aPadlock.compare_exchange_strong(existing, mine, std::memory_order_acq_rel, std::memory_order_acquire))
      return *mine;  // installed, and held once
    mine->Unlock();
    platform::TObject::free(mine);
  }
  existing->Lock();
  return *existing;
}

// ---- TnxThreadSafeStack -----------------------------------------------------

TnxThreadSafeStack::TnxThreadSafeStack() {
  nxListHeadInit(tssPagesHead);
  nxListHeadInit(tssFreeHead);
  nxListHeadInit(tssStackHead);
  CarvePage();
}

TnxThreadSafeStack::~TnxThreadSafeStack() {
  nxListHeadFlush(tssStackHead);
  nxListHeadFlush(tssFreeHead);
  TnxListEntry* page = nxListHeadFlush(tssPagesHead);
  while (page) {
    TnxListEntry* next = page->leNext;
    void* block = page;
    nxBlockPoolCommittedDispose(stackPagePool(), block);
    page = next;
  }
}

void TnxThreadSafeStack::CarvePage() {
  static_assert(PageBytes == 8192, "a stack page is one 8 KB committed block");
  void* memory = nxBlockPoolCommittedAlloc(stackPagePool());
  Node* nodes = static_cast<Node*>(memory);
  for (int i = 0; i <= NodesPerPage; ++i) new (&nodes[i]) Node{{nullptr}, nullptr};
  // Slot 0 links the page; the rest become free nodes, chained in order.
  for (int i = 1; i < NodesPerPage; ++i) nodes[i].link.leNext = &nodes[i + 1].link;
  nxListHeadPush(tssPagesHead, &nodes[0].link);
  ++tssPageCount;
  nxListHeadPushChain(tssFreeHead, &nodes[1].link, &nodes[NodesPerPage].link);
}

void TnxThreadSafeStack::Push(void* aPointer) {
  TnxListEntry* entry;
  while (!(entry = nxListHeadPop(tssFreeHead))) CarvePage();
  Node* node = reinterpret_cast<Node*>(entry);
  node->pointer = aPointer;
  nxListHeadPush(tssStackHead, entry);
  ++tssCount;
}

void* TnxThreadSafeStack::Pop() {
  TnxListEntry* entry = nxListHeadPop(tssStackHead);
  if (!entry) return nullptr;
  Node* node = reinterpret_cast<Node*>(entry);
  void* result = node->pointer;
  nxListHeadPush(tssFreeHead, entry);
  --tssCount;
  return result;
}

// ---- TnxEventPool -----------------------------------------------------------

TnxEventPool::TnxEventPool(std::int32_t aInitialCount, std::int32_t aRetainCount)
    : epList(platform::create<TnxThreadSafeStack>()), epRetainCount(aRetainCount) {
  for (std::int32_t i = 0; i < aInitialCount; ++i) epList->Push(newAutoResetEvent());
}

TnxEventPool::~TnxEventPool() {
  epRetainCount = 0;
  Flush();
  platform::TObject::free(epList);
}

platform::Event* TnxEventPool::Get() {
  if (void* p = epList->Pop()) return static_cast<platform::Event*>(p);
  return newAutoResetEvent();
}

void TnxEventPool::Put(platform::Event* aHandle) { epList->Push(aHandle); }

void TnxEventPool::Flush() {
  while (epList->Count() > epRetainCount) {
    void* p = epList->Pop();
    if (!p) break;
    delete static_cast<platform::Event*>(p);
  }
}

// ---- TnxEvent ---------------------------------------------------------------

TnxEvent::TnxEvent() {
  if (nxEventPool) {
    nxeEvent = nxEventPool->Get();
    nxeEvent->reset();
  } else {
    nxeEvent = newAutoResetEvent();
  }
}

TnxEvent::~TnxEvent() {
  if (nxEventPool)
    nxEventPool->Put(nxeEvent);
  else
    delete nxeEvent;
}

TnxWord32 TnxEvent::WaitForQuietly(TnxWord32 aTimeOut) {
  return nxeEvent->wait(platformTimeout(aTimeOut)) == platform::WaitResult::signaled ? nxWaitSignaled
                                                                                       : nxWaitTimeout;
}

void TnxEvent::WaitFor(TnxWord32 aTimeOut) {
  // The platform wait has no failure result besides the time-out, so the
  // operating-system error (11047) cannot arise here.
  if (WaitForQuietly(aTimeOut) == nxWaitTimeout)
    throw EnxSyncException(nxErrTimeout);
}

// ---- Manual events ----------------------------------------------------------

void TnxManualEvent::afterConstruction() { --meRefCount; }

void TnxManualEvent::beforeDestruction() {
  if (meRefCount.load() != 0) throw platform::InvalidPointer();
}

std::int32_t TnxManualEvent::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxManualEvent::IID || aIID == TnxInterfacedObject::IID) {
    AddRef();
    *aObj = static_cast<InxManualEvent*>(this);
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}

std::int32_t TnxManualEvent::AddRef() { return ++meRefCount; }

std::int32_t TnxManualEvent::Release() {
  const std::int32_t count = --meRefCount;
  std::int32_t uncached = 0;
  if (count == 0 && meCached.compare_exchange_strong(uncached, 1)) {
    if (!gManualEventCacheActive.load() ||
        nxListHeadPushLimited(gManualEventCache, &meNext.entry, nxManualEventCacheLimit) == 0)
      platform::TObject::free(this);
  }
  return count;
}

void TnxManualEvent::WaitFor() {
  InxManualEventRef self(this);  // kept alive while waiting
  meEvent.wait(platform::kInfinite);
}

InxManualEventRef nxGetManualEvent() {
  if (TnxListEntry* entry = nxListHeadPopLimited(gManualEventCache, 0)) {
    TnxManualEvent* event = reinterpret_cast<TnxManualEvent::CacheLink*>(entry)->owner;
    event->meEvent.reset();
    event->meCached.exchange(0);
    return InxManualEventRef(event);
  }
  return InxManualEventRef(platform::create<TnxManualEvent>());
}

std::uint16_t nxManualEventCacheDepth() {
  return static_cast<std::uint16_t>(__atomic_load_n(&gManualEventCache.lhSequence, __ATOMIC_ACQUIRE) >> 16);
}

// ---- Thread callback ----------------------------------------------------------

TnxThreadCallback& nxThreadCallback() {
  thread_local TnxThreadCallback callback;
  return callback;
}

void nxCallThreadCallback() {
  const TnxThreadCallback& cb = nxThreadCallback();
  if (cb.Object && cb.Code) cb.Code(cb.Object);
}

// ---- Module -----------------------------------------------------------------

namespace {
TnxUseCount gSyncUseCount{0};
constexpr TnxModuleDependency kSyncDeps[] = {{nxllLockedFuncsInitialize, nxllLockedFuncsFinalize}};
}  // namespace

void nxllSyncInitialize() {
  nxUseCountStart(gSyncUseCount, kSyncDeps, [] {
    nxListHeadInit(gManualEventCache);
    gManualEventCacheActive.store(true);
    if (!nxEventPool) nxEventPool = platform::create<TnxEventPool>(kPoolInitialCount, kPoolRetainCount);
  });
}

void nxllSyncFinalize() {
  nxUseCountFinish(gSyncUseCount, kSyncDeps, [] {
    gManualEventCacheActive.store(false);
    TnxListEntry* entry = nxListHeadFlush(gManualEventCache);
    nxListHeadInit(gManualEventCache);  // a flush keeps the depth bits
    while (entry) {
      TnxListEntry* next = entry->leNext;
      platform::TObject::free(reinterpret_cast<TnxManualEvent::CacheLink*>(entry)->owner);
      entry = next;
    }
    platform::TObject::free(std::exchange(nxEventPool, nullptr));
  });
}

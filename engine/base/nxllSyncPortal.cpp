#include "nxllSyncPortal.h"

#include <new>
#include <thread>

#include "nxllException.h"
#include "nxllMemoryManager.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxThreadStates, TnxObject, "TnxThreadStates", &platform::factoryFor<TnxThreadStates>)
PL_CLASS_INFO_IMPL(TnxInternalReadWritePortal, TnxObject, "TnxInternalReadWritePortal",
                   &platform::factoryFor<TnxInternalReadWritePortal>)

namespace {

constexpr std::int32_t kFree = 0xFFFF;

int bucketOf(std::uint32_t aThreadID) {
  return static_cast<int>((aThreadID ^ (aThreadID >> 8) ^ (aThreadID >> 16) ^ (aThreadID >> 24)) & 15);
}

// The pool of thread records, taken once on first use.
const TnxMemoryPool& statePool() {
  static const TnxMemoryPool pool = nxGetPool(sizeof(TnxThreadState));
  return pool;
}

TnxThreadState* loadHead(TnxThreadState* const& aHead) { return __atomic_load_n(&aHead, __ATOMIC_ACQUIRE); }

}  // namespace

// ---- TnxThreadStates --------------------------------------------------------

TnxThreadStates::TnxThreadStates() {
  for (auto& head : tlcHashTable) head = nullptr;
}

TnxThreadStates::~TnxThreadStates() {
  for (auto& head : tlcHashTable) {
    TnxThreadState* r = head;
    while (r) {
      TnxThreadState* next = r->tsNext;
      statePool().DisposeDirect(r);
      r = next;
    }
  }
}

TnxThreadState* TnxThreadStates::Acquire(std::uint32_t aThreadID) {
  const auto id = static_cast<std::int32_t>(aThreadID);
  TnxThreadState*& head = tlcHashTable[bucketOf(aThreadID)];
  for (TnxThreadState* r = loadHead(head); r; r = r->tsNext)
    if (__atomic_load_n(&r->tsID, __ATOMIC_ACQUIRE) == id) return r;

  TnxThreadState* record = nullptr;
  for (TnxThreadState* r = loadHead(head); r && !record; r = r->tsNext)
    if (nxLockedExchange(r->tsInUse, -1) != -1) record = r;
  if (!record) {
    record = new (statePool().Alloc()) TnxThreadState{nullptr, -1, 0, 0, false};
    // Linked before it is published, so a thread walking the bucket never
    // sees it cut off from the records behind it (and never misses its own).
    TnxThreadState* first = loadHead(head);
    do {
      record->tsNext = first;
    } while (!__atomic_compare_exchange_n(&head, &first, record, false, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE));
  }
  nxLockedCompareExchange(record->tsID, id, 0);
  return record;
}

void TnxThreadStates::Release(TnxThreadState* aState) {
  aState->tsCount = 0;
  aState->tsCounted = false;
  nxLockedExchange(aState->tsID, 0);
  nxLockedExchange(aState->tsInUse, 0);
}

// ---- TnxInternalReadWritePortal -----------------------------------------------

TnxInternalReadWritePortal::TnxInternalReadWritePortal() : rwpThreadStates(platform::create<TnxThreadStates>()) {}

TnxInternalReadWritePortal::~TnxInternalReadWritePortal() {
  BeginWrite();  // waits until every other reader and writer has left
  platform::TObject::free(rwpThreadStates);
}

void TnxInternalReadWritePortal::BeginRead() {
  const std::uint32_t tid = platform::currentThreadId();
  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  if (++state->tsCount >= 2 || WriterID() == tid) return;  // re-entry never waits

  rwpReadEvent.wait();
  for (;;) {
    if (nxLockedDecrement(rwpPortal) > 0) {
      state->tsCounted = true;
      return;
    }
    // A writer is inside or entering: step back, and wake it when stepping
    // back freed the portal.
    if (nxLockedIncrement(rwpPortal) == kFree) rwpWriteEvent.set();
    std::this_thread::yield();
    rwpReadEvent.wait();
  }
}

void TnxInternalReadWritePortal::EndRead() {
  const std::uint32_t tid = platform::currentThreadId();
  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  if (state->tsCount <= 0) {
    rwpThreadStates->Release(state);
    nxAssertionFailed("TnxInternalReadWritePortal.EndRead without BeginRead", nxModuleOfPath(__FILE__), __LINE__);
  }
  if (--state->tsCount > 0) return;
  const bool counted = state->tsCounted;
  rwpThreadStates->Release(state);
  if (!counted) return;  // a read begun by the writer never took a slot
  const std::int32_t r = nxLockedIncrement(rwpPortal);
  // Free with nobody waiting, or the last reader left while a writer tries.
  if (r == kFree || (r <= 0 && r % kFree == 0)) rwpWriteEvent.set();
}

bool TnxInternalReadWritePortal::BeginWrite() {
  const std::uint32_t tid = platform::currentThreadId();
  if (WriterID() == tid) {
    ++rwpWriterCount;
    return true;
  }
  rwpReadEvent.reset();  // new first-level readers wait from now on
  const std::int32_t generation = __atomic_load_n(&rwpGeneration, __ATOMIC_ACQUIRE);

  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  const bool holdsRead = state->tsCount > 0;
  if (holdsRead) nxLockedIncrement(rwpPortal);  // give the read slot back while waiting (upgrade)

  for (;;) {
    if (nxLockedExchangeAdd(rwpPortal, -kFree) == kFree) break;
    // Readers inside: undo and wait for the last one, unless it left just now.
    if (nxLockedExchangeAdd(rwpPortal, kFree) != 0) rwpWriteEvent.wait();
  }

  rwpReadEvent.reset();
  if (holdsRead) nxLockedDecrement(rwpPortal);  // the read slot counts while writing
  __atomic_store_n(&rwpWriterID, tid, __ATOMIC_RELEASE);
  const std::int32_t newGeneration = nxLockedIncrement(rwpGeneration);
  ++rwpWriterCount;
  return newGeneration == generation + 1;
}

void TnxInternalReadWritePortal::EndWrite() {
  const std::uint32_t tid = platform::currentThreadId();
  nxAssert(WriterID() == tid, "TnxInternalReadWritePortal.EndWrite by a thread that is not the writer");
  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  if (--rwpWriterCount == 0) {
    __atomic_store_n(&rwpWriterID, 0u, __ATOMIC_RELEASE);
    std::int32_t release = kFree;
    if (state->tsCount > 0 && !state->tsCounted) {
      // A read begun while writing outlives the write: from now on it is an
      // ordinary read and holds a slot (taken in the same step, so no other
      // writer can slip in between).
      state->tsCounted = true;
      release = kFree - 1;
    }
    nxLockedExchangeAdd(rwpPortal, release);
    rwpWriteEvent.set();
    rwpReadEvent.set();
  }
  if (state->tsCount == 0) rwpThreadStates->Release(state);
}

void TnxInternalReadWritePortal::CreateAndRead(TnxInternalReadWritePortal* volatile& aPortal) {
  TnxInternalReadWritePortal* existing = __atomic_load_n(&aPortal, __ATOMIC_ACQUIRE);
  if (!existing) {
    auto* mine = platform::create<TnxInternalReadWritePortal>();
    mine->BeginRead();
    existing = nxLockedCompareExchangeObject(aPortal, mine, static_cast<TnxInternalReadWritePortal*>(nullptr));
    if (!existing) return;
    mine->EndRead();
    platform::TObject::free(mine);
  }
  existing->BeginRead();
}

void TnxInternalReadWritePortal::CreateAndWrite(TnxInternalReadWritePortal* volatile& aPortal) {
  TnxInternalReadWritePortal* existing = __atomic_load_n(&aPortal, __ATOMIC_ACQUIRE);
  if (!existing) {
    auto* mine = platform::create<TnxInternalReadWritePortal>();
    mine->BeginWrite();
    existing = nxLockedCompareExchangeObject(aPortal, mine, static_cast<TnxInternalReadWritePortal*>(nullptr));
    if (!existing) return;
    mine->EndWrite();
    platform::TObject::free(mine);
  }
  existing->BeginWrite();
}

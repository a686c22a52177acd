#include "nxllSyncPortal.h"

#include <new>

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

}  // namespace

// ---- TnxThreadStates --------------------------------------------------------

TnxThreadStates::TnxThreadStates() {
  for (auto& head : tlcHashTable) head.store(nullptr, std::memory_order_relaxed);
}

TnxThreadStates::~TnxThreadStates() {
  for (auto& head : tlcHashTable) {
    TnxThreadState* r = head.load();
    while (r) {
      TnxThreadState* next = r->tsNext;
      statePool().DisposeDirect(r);
      r = next;
    }
  }
}

TnxThreadState* TnxThreadStates::Acquire(std::uint32_t aThreadID) {
  const auto id = static_cast<std::int32_t>(aThreadID);
  std::atomic<TnxThreadState*>& head = tlcHashTable[bucketOf(aThreadID)];
  for (TnxThreadState* r = head.load(); r; r = r->tsNext)
    if (r->tsID.load() == id) return r;

  TnxThreadState* record = nullptr;
  for (TnxThreadState* r = head.load(); r && !record; r = r->tsNext)
    if (r->tsInUse.exchange(-1) != -1) record = r;
  if (!record) {
    record = new (statePool().Alloc()) TnxThreadState{nullptr, -1, 0, 0, false};
    // Linked before it is published, so a thread walking the bucket never
    // sees it cut off from the records behind it (and never misses its own).
    TnxThreadState* first = head.load();
    do {
      record->tsNext = first;
    } while (!head.compare_exchange_weak(first, record));
  }
  std::int32_t unowned = 0;
  record->tsID.compare_exchange_strong(unowned, id);
  return record;
}

void TnxThreadStates::Release(TnxThreadState* aState) {
  aState->tsCount = 0;
  aState->tsCounted = false;
  aState->tsID.exchange(0);
  aState->tsInUse.exchange(0);
}

// ---- TnxInternalReadWritePortal -----------------------------------------------

TnxInternalReadWritePortal::TnxInternalReadWritePortal() : rwpThreadStates(nxCreateOwned<TnxThreadStates>()) {}

TnxInternalReadWritePortal::~TnxInternalReadWritePortal() {
  BeginWrite();  // waits until every other reader and writer has left
}

void TnxInternalReadWritePortal::BeginRead() {
  const std::uint32_t tid = platform::currentThreadId();
  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  if (++state->tsCount >= 2 || WriterID() == tid) return;  // re-entry never waits

  rwpReadEvent.wait();
  for (;;) {
    if (--rwpPortal > 0) {
      state->tsCounted = true;
      return;
    }
    // A writer is inside or entering: step back, and wake it when stepping
    // back freed the portal.
    if (++rwpPortal == kFree) rwpWriteEvent.set();
    platform::yieldThread();
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
  const std::int32_t r = ++rwpPortal;
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
  const std::int32_t generation = rwpGeneration.load();

  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  const bool holdsRead = state->tsCount > 0;
  if (holdsRead) ++rwpPortal;  // give the read slot back while waiting (upgrade)

  for (;;) {
    if (rwpPortal.fetch_sub(kFree) == kFree) break;
    // Readers inside: undo and wait for the last one, unless it left just now.
    if (rwpPortal.fetch_add(kFree) != 0) rwpWriteEvent.wait();
  }

  rwpReadEvent.reset();
  if (holdsRead) --rwpPortal;  // the read slot counts while writing
  rwpWriterID.store(tid);
  const std::int32_t newGeneration = ++rwpGeneration;
  ++rwpWriterCount;
  return newGeneration == generation + 1;
}

void TnxInternalReadWritePortal::EndWrite() {
  const std::uint32_t tid = platform::currentThreadId();
  nxAssert(WriterID() == tid, "TnxInternalReadWritePortal.EndWrite by a thread that is not the writer");
  TnxThreadState* state = rwpThreadStates->Acquire(tid);
  if (--rwpWriterCount == 0) {
    rwpWriterID.store(0);
    std::int32_t release = kFree;
    if (state->tsCount > 0 && !state->tsCounted) {
      // A read begun while writing outlives the write: from now on it is an
      // ordinary read and holds a slot (taken in the same step, so no other
      // writer can slip in between).
      state->tsCounted = true;
      release = kFree - 1;
    }
    rwpPortal.fetch_add(release);
    rwpWriteEvent.set();
    rwpReadEvent.set();
  }
  if (state->tsCount == 0) rwpThreadStates->Release(state);
}

namespace {

// Installs a new portal in aPortal unless one is there, and enters the one
// installed with aEnter; a loser leaves and frees its own first.
template <class Enter, class Leave>
void createAndEnter(std::atomic<TnxInternalReadWritePortal*>& aPortal, Enter aEnter, Leave aLeave) {
  TnxInternalReadWritePortal* existing = aPortal.load();
  if (!existing) {
    TnxOwned<TnxInternalReadWritePortal> mine = nxCreateOwned<TnxInternalReadWritePortal>();
    aEnter(*mine);
    if (aPortal.compare_exchange_strong(existing, mine.get())) {
      mine.release();  // installed, and entered once
      return;
    }
    aLeave(*mine);
  }
  aEnter(*existing);
}

}  // namespace

void TnxInternalReadWritePortal::CreateAndRead(std::atomic<TnxInternalReadWritePortal*>& aPortal) {
  createAndEnter(
      aPortal, [](TnxInternalReadWritePortal& p) { p.BeginRead(); }, [](TnxInternalReadWritePortal& p) { p.EndRead(); });
}

void TnxInternalReadWritePortal::CreateAndWrite(std::atomic<TnxInternalReadWritePortal*>& aPortal) {
  createAndEnter(
      aPortal, [](TnxInternalReadWritePortal& p) { p.BeginWrite(); },
      [](TnxInternalReadWritePortal& p) { p.EndWrite(); });
}

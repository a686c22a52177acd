// Padlocks, pooled auto-reset events, cached manual-reset events and the
// lock-free pointer stack.
//
// Thread safety: every operation may be called from any thread unless noted.
// - TnxPadlock: a re-entrant critical section; Unlock by the owning thread,
//   as often as it locked.
// - TnxThreadSafeStack, the event pool and the manual-event cache are
//   lock-free. Their nodes (stack pages, cached manual events) must stay
//   readable memory while a concurrent pop may still read a link: stack pages
//   live as long as the stack; a manual event is freed only when the cache is
//   full or at module end.
// Module life: nxllSyncInitialize() (start-up, main thread) creates
// nxEventPool and the manual-event cache; nxllSyncFinalize() frees them.
// Without them TnxEvent creates and closes its own events and released manual
// events are freed instead of cached.
// Every class here is a TnxObject: instances come from the engine allocator.
// Locks: every padlock is held through a TnxPadlockGuard (also for padlocks
// created on first use, TnxLazyPadlock); no volatile for synchronisation;
// see nxllOwners.h for the ownership rules.
// Stack pages are 8 KB committed blocks of 511 nodes and one header node (a
// node is two pointers, 16 bytes, on x86-64).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>  // std::adopt_lock_t
#include <string>

#include "nxllBase.h"
#include "nxllBde.h"
#include "nxllException.h"
#include "nxllLockedFuncs.h"
#include "nxllTypes.h"
#include "plErrors.h"
#include "plObject.h"
#include "plSync.h"

// Results of TnxEvent::WaitForQuietly.
constexpr TnxWord32 nxWaitSignaled = 0;
constexpr TnxWord32 nxWaitTimeout = 258;

// The failure class of this module (time-outs, failed waits).
NX_DECLARE_EXCEPTION(EnxSyncException, EnxBaseException)

// A critical section; a fast padlock spins 4000 times before it blocks.
class TnxPadlock : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxPadlock(bool aFastLock = false);

  void Lock() { plCritSect.enter(); }
  void Unlock() { plCritSect.leave(); }
  bool TryLock() { return plCritSect.tryEnter(); }

  // Lazily creates the padlock in aPadlock (one creator wins the race, the
  // losers free theirs) and locks it. On return the caller holds the
  // installed padlock once and answers it. Prefer TnxLazyPadlock with a
  // TnxPadlockGuard.
  static TnxPadlock& CreateAndLock(std::atomic<TnxPadlock*>& aPadlock, bool aFastLock = false);

 private:
  platform::CriticalSection plCritSect;
};

// A padlock created by its first user. The owner frees it; nobody may use it
// then.
class TnxLazyPadlock {
 public:
  explicit TnxLazyPadlock(bool aFastLock = false) : lpFastLock(aFastLock) {}
  ~TnxLazyPadlock() { Reset(); }
  TnxLazyPadlock(const TnxLazyPadlock&) = delete;
  TnxLazyPadlock& operator=(const TnxLazyPadlock&) = delete;

  // The padlock, nil before first use.
  TnxPadlock* Peek() const { return lpPadlock.load(std::memory_order_acquire); }
  // Creates it when needed and locks it; the caller holds it once.
  TnxPadlock& CreateAndLock() { return TnxPadlock::CreateAndLock(lpPadlock, lpFastLock); }
  // Frees the padlock; the next user creates a new one.
  // REQUIRES: no thread holds or waits for it.
  void Reset() { platform::TObject::free(lpPadlock.exchange(nullptr)); }

 private:
  std::atomic<TnxPadlock*> lpPadlock{nullptr};
  bool lpFastLock;
};

// Holds a padlock from construction to destruction.
class TnxPadlockGuard {
 public:
  explicit TnxPadlockGuard(TnxPadlock& aPadlock) : padlock_(aPadlock) { padlock_.Lock(); }
  // Creates the padlock on first use.
  explicit TnxPadlockGuard(TnxLazyPadlock& aPadlock) : padlock_(aPadlock.CreateAndLock()) {}
  // Takes over a padlock the caller has already locked once.
  TnxPadlockGuard(TnxPadlock& aPadlock, std::adopt_lock_t) : padlock_(aPadlock) {}
  ~TnxPadlockGuard() { padlock_.Unlock(); }
  TnxPadlockGuard(const TnxPadlockGuard&) = delete;
  TnxPadlockGuard& operator=(const TnxPadlockGuard&) = delete;

 private:
  TnxPadlock& padlock_;
};

// Lets go of a padlock the caller holds once, for a wait or a read that must
// not block others, and takes it again on scope exit (also on a throw).
class TnxPadlockUnlockGuard {
 public:
  explicit TnxPadlockUnlockGuard(TnxPadlock& aPadlock) : padlock_(aPadlock) { padlock_.Unlock(); }
  ~TnxPadlockUnlockGuard() { padlock_.Lock(); }
  TnxPadlockUnlockGuard(const TnxPadlockUnlockGuard&) = delete;
  TnxPadlockUnlockGuard& operator=(const TnxPadlockUnlockGuard&) = delete;

 private:
  TnxPadlock& padlock_;
};

// Lock-free LIFO of pointers. Nodes are carved from pages that the stack
// keeps until it is destroyed; a page holds 511 nodes.
class TnxThreadSafeStack : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxThreadSafeStack();
  ~TnxThreadSafeStack() override;

  void Push(void* aPointer);
  void* Pop();  // nil when empty
  std::int32_t Count() const { return tssCount.load(std::memory_order_relaxed); }
  std::int32_t PageCount() const { return tssPageCount.load(std::memory_order_relaxed); }

  static constexpr int NodesPerPage = 511;

 private:
  struct Node {
    TnxListEntry link;  // first member: an entry is its node
    void* pointer;
  };
  static constexpr std::size_t PageBytes = (NodesPerPage + 1) * sizeof(Node);

  void CarvePage();

  std::atomic<std::int32_t> tssCount{0};
  std::atomic<std::int32_t> tssPageCount{0};
  TnxListHead tssPagesHead;
  TnxListHead tssFreeHead;
  TnxListHead tssStackHead;
};

// Pool of auto-reset event handles.
class TnxEventPool : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxEventPool(std::int32_t aInitialCount, std::int32_t aRetainCount);
  ~TnxEventPool() override;

  platform::Event* Get();           // a pooled handle, or a new one when empty
  void Put(platform::Event* aHandle);  // never closes
  void Flush();                     // closes handles beyond the retain count
  std::int32_t Count() const { return epList->Count(); }

 private:
  TnxThreadSafeStack* epList;
  std::int32_t epRetainCount;
};

// The process-wide pool; nil outside nxllSyncInitialize/nxllSyncFinalize.
extern TnxEventPool* nxEventPool;

// An auto-reset event whose handle comes from nxEventPool.
class TnxEvent : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxEvent();
  ~TnxEvent() override;

  // aTimeOut in ms; 0 means no limit. A time-out raises EnxSyncException 15461.
  void WaitFor(TnxWord32 aTimeOut);
  // nxWaitSignaled or nxWaitTimeout; 0 means no limit; never raises.
  TnxWord32 WaitForQuietly(TnxWord32 aTimeOut);
  void SignalEvent() { nxeEvent->set(); }
  platform::Event* Handle() const { return nxeEvent; }

 private:
  platform::Event* nxeEvent;
};

// A reference-counted manual-reset event.
class InxManualEvent : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x3FB47BF4, 0xFC5B, 0x40ED, {0x8E, 0x35, 0x18, 0x82, 0x30, 0xEA, 0x8B, 0x49}};
  virtual void Signal() = 0;
  virtual void WaitFor() = 0;  // without limit
  virtual platform::Event* Handle() = 0;

 protected:
  ~InxManualEvent() = default;
};

// An interface reference holding one reference while it points at an event.
using InxManualEventRef = TnxIntfPtr<InxManualEvent>;

// Counted like TnxInterfacedObject (1 while constructing, 0 after
// afterConstruction) except at zero, where it goes to the cache.
class TnxManualEvent : public TnxObject, public InxManualEvent {
  PL_CLASS_INFO_DECL()
 public:
  TnxManualEvent() = default;

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override;
  // At zero the object goes to the manual-event cache, or is freed when the
  // cache is full or gone.
  std::int32_t Release() override;
  void Signal() override { meEvent.set(); }
  void WaitFor() override;
  platform::Event* Handle() override { return &meEvent; }

  std::int32_t RefCount() const { return meRefCount.load(std::memory_order_relaxed); }

  void afterConstruction() override;
  // A still-referenced event raises platform::InvalidPointer.
  void beforeDestruction() override;

 private:
  friend InxManualEventRef nxGetManualEvent();
  friend void nxllSyncFinalize();
  struct CacheLink {
    TnxListEntry entry;  // first member: an entry is its link
    TnxManualEvent* owner;
  };

  CacheLink meNext{{nullptr}, this};
  std::atomic<std::int32_t> meRefCount{1};  // 1 while constructing
  std::atomic<std::int32_t> meCached{0};
  platform::Event meEvent{platform::Event::Kind::manualReset};
};

// A reset manual event, from the cache when possible.
InxManualEventRef nxGetManualEvent();
// Manual events in the cache (for statistics and tests).
std::uint16_t nxManualEventCacheDepth();
constexpr std::uint16_t nxManualEventCacheLimit = 128;

// The calling thread's check method; engine code leaves it unset.
struct TnxThreadCallback {
  void (*Code)(void* aObject) = nullptr;
  void* Object = nullptr;
};
// The calling thread's own callback variable.
TnxThreadCallback& nxThreadCallback();
// Calls the calling thread's callback when its object part is set.
void nxCallThreadCallback();

// Module start and end (main thread, in module order), counted.
void nxllSyncInitialize();
void nxllSyncFinalize();

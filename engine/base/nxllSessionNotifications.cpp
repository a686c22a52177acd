#include "nxllSessionNotifications.h"

#include <atomic>

#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxSessionNotifierItem, TnxObject, "TnxSessionNotifierItem", nullptr)
PL_CLASS_INFO_IMPL(TnxSessionNotifications, TnxObject, "TnxSessionNotifications", nullptr)

namespace {

std::uint32_t nextRegistryId() {
  static std::atomic<std::uint32_t> counter{0};
  std::uint32_t id;
  do {
    id = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  } while (id == 0);
  return id;
}

}  // namespace

TnxSessionNotifications::TnxSessionNotifications(InxInterface* aController)
    : snController(aController), snId(nextRegistryId()) {}

TnxSessionNotifications::~TnxSessionNotifications() { Disconnected(); }  // the padlock goes with its member

std::int32_t TnxSessionNotifications::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (snController) return snController->QueryInterface(aIID, aObj);
  if (aIID == InxSessionNotifications::IID || aIID == TnxInterfacedObject::IID) {
    *aObj = static_cast<InxSessionNotifications*>(this);
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}

std::int32_t TnxSessionNotifications::AddRef() { return snController ? snController->AddRef() : -1; }

std::int32_t TnxSessionNotifications::Release() { return snController ? snController->Release() : -1; }

void TnxSessionNotifications::RegisterNotifier(const TnxIntfPtr<InxSessionNotifier>& aNotifier,
                                               TnxNotifierHandle& aHandle) {
  aHandle = {};
  if (!aNotifier) return;
  TnxSessionNotifierItem* item = platform::create<TnxSessionNotifierItem>();
  // 0 marks an item being removed, so a live one never carries it.
  item->sniTickCount = platform::tickCount32() | 1;
  item->sniParent = this;
  item->sniNotifier = aNotifier;
  {
    TnxPadlockGuard guard(snPadlock);
    try {
      item->sniHandle = nxHandleTable().Add(item, this);
    } catch (...) {
      freeItem(item);
      throw;
    }
    item->sniPrev = snTail;
    if (snTail)
      snTail->sniNext = item;
    else
      snHead = item;
    snTail = item;
  }
  aHandle.nhRegistry = snId;
  aHandle.nhHandle = item->sniHandle;
  aHandle.nhTickCount = item->sniTickCount;
  aHandle.nhCheck = aHandle.nhRegistry ^ aHandle.nhHandle ^ aHandle.nhTickCount;
}

void TnxSessionNotifications::unlinkLocked(TnxSessionNotifierItem* aItem) {
  aItem->sniTickCount = 0;
  if (aItem->sniPrev)
    aItem->sniPrev->sniNext = aItem->sniNext;
  else
    snHead = aItem->sniNext;
  if (aItem->sniNext)
    aItem->sniNext->sniPrev = aItem->sniPrev;
  else
    snTail = aItem->sniPrev;
  aItem->sniPrev = aItem->sniNext = nullptr;
  nxHandleTable().Remove(aItem->sniHandle, this);  // every handle of it is stale from now on
}

void TnxSessionNotifications::freeItem(TnxSessionNotifierItem* aItem) {
  try {
    aItem->sniNotifier.reset();
  } catch (...) {
    // A notifier's clean-up must not stop the session's.
  }
  platform::TObject::free(aItem);
}

void TnxSessionNotifications::UnregisterNotifier(const TnxNotifierHandle& aHandle) {
  if (aHandle.nhRegistry != snId || (aHandle.nhRegistry ^ aHandle.nhHandle ^ aHandle.nhTickCount) != aHandle.nhCheck)
    return;
  TnxPadlock* padlock = snPadlock.Peek();
  if (!padlock) return;  // nothing was ever registered
  TnxSessionNotifierItem* item;
  {
    TnxPadlockGuard guard(*padlock);
    // Items of this registry are removed from the table only under this
    // padlock, so what the table answers is alive while it is held.
    item = static_cast<TnxSessionNotifierItem*>(nxHandleTable().Lookup(aHandle.nhHandle, this));
    if (!item || item->sniTickCount != aHandle.nhTickCount) return;
    unlinkLocked(item);
  }
  freeItem(item);
}

void TnxSessionNotifications::Disconnected() {
  TnxPadlock* padlock = snPadlock.Peek();
  if (!padlock) return;
  for (;;) {
    TnxSessionNotifierItem* item;
    {
      TnxPadlockGuard guard(*padlock);
      item = snHead;
      if (!item) return;
      unlinkLocked(item);
    }
    try {
      item->sniNotifier->Disconnected();
    } catch (...) {
      // One failing notifier must not keep the others from being told.
    }
    freeItem(item);
  }
}

#include "nxllSessionNotifications.h"

#include <atomic>
#include <mutex>
#include <utility>

PL_CLASS_INFO_IMPL(TnxSessionNotifications, platform::TObject, "TnxSessionNotifications", nullptr)

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

TnxSessionNotifications::TnxSessionNotifications() : snId(nextRegistryId()) {}

TnxSessionNotifications::~TnxSessionNotifications() { Disconnected(); }

void TnxSessionNotifications::releaseQuietly(std::shared_ptr<InxSessionNotifier>& aNotifier) {
  try {
    aNotifier.reset();
  } catch (...) {
    // A notifier's destructor must not stop the session's clean-up.
  }
}

void TnxSessionNotifications::RegisterNotifier(std::shared_ptr<InxSessionNotifier> aNotifier,
                                               TnxNotifierHandle& aHandle) {
  aHandle = {};
  if (!aNotifier) return;
  std::lock_guard guard(snLock);
  std::uint32_t slot;
  if (snFree != kNone) {
    slot = snFree;
    snFree = snSlots[slot].next;
  } else {
    slot = static_cast<std::uint32_t>(snSlots.size());
    snSlots.emplace_back();
  }
  Slot& s = snSlots[slot];
  ++s.generation;
  s.notifier = std::move(aNotifier);
  s.prev = snTail;
  s.next = kNone;
  if (snTail != kNone)
    snSlots[snTail].next = slot;
  else
    snHead = slot;
  snTail = slot;
  aHandle.nhRegistry = snId;
  aHandle.nhSlot = slot;
  aHandle.nhGeneration = s.generation;
  aHandle.nhCheck = snId ^ slot ^ s.generation;
}

std::shared_ptr<InxSessionNotifier> TnxSessionNotifications::unlinkLocked(std::uint32_t aSlot) {
  Slot& s = snSlots[aSlot];
  if (s.prev != kNone)
    snSlots[s.prev].next = s.next;
  else
    snHead = s.next;
  if (s.next != kNone)
    snSlots[s.next].prev = s.prev;
  else
    snTail = s.prev;
  ++s.generation;  // every handle of this registration is stale from now on
  s.prev = kNone;
  s.next = snFree;
  snFree = aSlot;
  return std::exchange(s.notifier, nullptr);
}

void TnxSessionNotifications::UnregisterNotifier(const TnxNotifierHandle& aHandle) {
  if (aHandle.nhRegistry != snId || (aHandle.nhRegistry ^ aHandle.nhSlot ^ aHandle.nhGeneration) != aHandle.nhCheck)
    return;
  std::shared_ptr<InxSessionNotifier> notifier;
  {
    std::lock_guard guard(snLock);
    if (aHandle.nhSlot >= snSlots.size()) return;
    const Slot& s = snSlots[aHandle.nhSlot];
    if (s.generation != aHandle.nhGeneration || !s.notifier) return;
    notifier = unlinkLocked(aHandle.nhSlot);
  }
  releaseQuietly(notifier);
}

void TnxSessionNotifications::Disconnected() {
  for (;;) {
    std::shared_ptr<InxSessionNotifier> notifier;
    {
      std::lock_guard guard(snLock);
      if (snHead == kNone) return;
      notifier = unlinkLocked(snHead);
    }
    try {
      notifier->Disconnected();
    } catch (...) {
      // One failing notifier must not keep the others from being told.
    }
    releaseQuietly(notifier);
  }
}

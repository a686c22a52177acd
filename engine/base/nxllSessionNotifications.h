// Session notifications: objects register with a session to be told once
// when it is disconnected.
//
// Handles: a registration answers a 16-byte handle {registry id, slot,
// generation, check = the three xor-ed}; the all-zero handle means "none".
// A handle is checked against the registry's own slot table, never
// dereferenced, so a stale, foreign or forged handle is refused: the
// registry id names the registry (a process-wide serial, never an address),
// and a slot's generation changes whenever its registration ends.
//
// Ownership: the registry holds a reference to each registered notifier
// until the registration ends (unregistered, or called by Disconnected).
//
// Thread safety: RegisterNotifier, UnregisterNotifier and Disconnected may
// run concurrently from any threads. Every list change happens under the
// registry's lock; notifiers are called and released outside it, so a
// notifier may register or unregister (itself or others) from its call. A
// registration ends exactly once: either Disconnected calls its notifier or
// UnregisterNotifier ends it, never both.
//
// Interim: the registry derives from platform::TObject (to become the
// aggregated engine object) and locks a platform::CriticalSection (to become
// the engine padlock); notifier references are std::shared_ptr until the
// engine's reference-counted interfaces are in.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nxllTypes.h"
#include "plGuid.h"
#include "plObject.h"
#include "plSync.h"

inline constexpr platform::Guid IID_InxSessionNotifier{
    0x62A6E9AD, 0x95E2, 0x44E7, {0x94, 0x53, 0x52, 0x1A, 0xAA, 0x32, 0x25, 0xDC}};
inline constexpr platform::Guid IID_InxSessionNotifications{
    0x71FF0375, 0x69C1, 0x44DF, {0xB2, 0x4A, 0xD4, 0x22, 0x86, 0x19, 0xDE, 0x5A}};
inline constexpr platform::Guid IID_InxSessionRequests{
    0x46D1D328, 0xF233, 0x4A87, {0xA3, 0xE1, 0xA1, 0x74, 0x19, 0x6E, 0xB2, 0x60}};

// Told when the session it registered with is disconnected.
class InxSessionNotifier {
 public:
  virtual ~InxSessionNotifier() = default;
  virtual void Disconnected() = 0;
};

// Requests a client session sends to its engine session; the session layer
// declares the operations.
class InxSessionRequests;

struct TnxNotifierHandle {
  std::uint32_t nhRegistry = 0;
  std::uint32_t nhSlot = 0;
  std::uint32_t nhGeneration = 0;
  std::uint32_t nhCheck = 0;

  bool IsNil() const { return nhRegistry == 0 && nhSlot == 0 && nhGeneration == 0 && nhCheck == 0; }
  bool operator==(const TnxNotifierHandle&) const = default;
};
static_assert(sizeof(TnxNotifierHandle) == 16);

class InxSessionNotifications {
 public:
  // A nil notifier registers nothing and answers the all-zero handle.
  virtual void RegisterNotifier(std::shared_ptr<InxSessionNotifier> aNotifier, TnxNotifierHandle& aHandle) = 0;
  // Ends the registration of a valid handle; anything else is ignored.
  virtual void UnregisterNotifier(const TnxNotifierHandle& aHandle) = 0;

 protected:
  ~InxSessionNotifications() = default;
};

class TnxSessionNotifications : public platform::TObject, public InxSessionNotifications {
  PL_CLASS_INFO_DECL()
 public:
  TnxSessionNotifications();
  // Calls Disconnected for what is still registered.
  ~TnxSessionNotifications() override;

  void RegisterNotifier(std::shared_ptr<InxSessionNotifier> aNotifier, TnxNotifierHandle& aHandle) override;
  void UnregisterNotifier(const TnxNotifierHandle& aHandle) override;
  // Calls every registered notifier once, in registration order, ending each
  // registration before its call; exceptions of notifiers are consumed.
  // Registrations made meanwhile are called too; the list ends empty.
  void Disconnected();

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  struct Slot {
    std::uint32_t generation = 1;  // odd while free, even while registered
    std::uint32_t prev = kNone;
    std::uint32_t next = kNone;  // also links the free slots
    std::shared_ptr<InxSessionNotifier> notifier;
  };

  // Under snLock: unlinks a registered slot, ends its generation, frees it and
  // answers its notifier.
  std::shared_ptr<InxSessionNotifier> unlinkLocked(std::uint32_t aSlot);
  static void releaseQuietly(std::shared_ptr<InxSessionNotifier>& aNotifier);

  const std::uint32_t snId;
  platform::CriticalSection snLock;
  std::vector<Slot> snSlots;
  std::uint32_t snHead = kNone;
  std::uint32_t snTail = kNone;
  std::uint32_t snFree = kNone;
};

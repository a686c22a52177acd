// Session notifications: objects register with a session to be told once
// when it is disconnected.
//
// Handles: a registration answers a 16-byte handle {registry id, table
// handle, tick count, check = the three xor-ed}; the all-zero handle means
// "none". The table handle comes from the process-wide handle table with the
// registry itself as kind tag, so a handle is resolved through the table and
// never dereferenced: a stale handle (its slot's generation moved on), a
// foreign one (another registry's kind or id) or a forged one (wrong check,
// no live entry, other tick count) is refused. The registry id is a
// process-wide serial, never an address.
//
// Ownership: the registry holds one reference (TnxIntfPtr) to each
// registered notifier until the registration ends (unregistered, or called by
// Disconnected). The registry is aggregated into its session: AddRef,
// Release and QueryInterface go to the controller given at construction;
// without one it is not counted, and its owner frees it.
//
// Thread safety: RegisterNotifier, UnregisterNotifier and Disconnected may
// run concurrently from any threads. Every list change happens under the
// registry's padlock (created on first registration); notifiers are called
// and released outside it, so a notifier may register or unregister (itself
// or others) from its call. A registration ends exactly once: either
// Disconnected calls its notifier or UnregisterNotifier ends it, never both.
//
// The three interfaces stay here rather than in nxllTypes.h: they derive from
// InxInterface (nxllBase.h), which nxllTypes.h must not include.
#pragma once

#include <cstdint>

#include "nxllBase.h"
#include "nxllHandleTable.h"
#include "nxllSync.h"
#include "nxllTypes.h"
#include "plGuid.h"

// Told when the session it registered with is disconnected.
class InxSessionNotifier : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x62A6E9AD, 0x95E2, 0x44E7, {0x94, 0x53, 0x52, 0x1A, 0xAA, 0x32, 0x25, 0xDC}};
  virtual void Disconnected() = 0;

 protected:
  ~InxSessionNotifier() = default;
};

// Requests a client session sends to its engine session; the session layer
// adds the operations.
class InxSessionRequests : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x46D1D328, 0xF233, 0x4A87, {0xA3, 0xE1, 0xA1, 0x74, 0x19, 0x6E, 0xB2, 0x60}};

 protected:
  ~InxSessionRequests() = default;
};

inline constexpr platform::Guid IID_InxSessionNotifier = InxSessionNotifier::IID;
inline constexpr platform::Guid IID_InxSessionRequests = InxSessionRequests::IID;

struct TnxNotifierHandle {
  std::uint32_t nhRegistry = 0;
  std::uint32_t nhHandle = 0;
  std::uint32_t nhTickCount = 0;
  std::uint32_t nhCheck = 0;

  bool IsNil() const { return nhRegistry == 0 && nhHandle == 0 && nhTickCount == 0 && nhCheck == 0; }
  bool operator==(const TnxNotifierHandle&) const = default;
};
static_assert(sizeof(TnxNotifierHandle) == 16);

class InxSessionNotifications : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x71FF0375, 0x69C1, 0x44DF, {0xB2, 0x4A, 0xD4, 0x22, 0x86, 0x19, 0xDE, 0x5A}};
  // A nil notifier registers nothing and answers the all-zero handle.
  virtual void RegisterNotifier(const TnxIntfPtr<InxSessionNotifier>& aNotifier, TnxNotifierHandle& aHandle) = 0;
  // Ends the registration of a valid handle; anything else is ignored.
  virtual void UnregisterNotifier(const TnxNotifierHandle& aHandle) = 0;

 protected:
  ~InxSessionNotifications() = default;
};

inline constexpr platform::Guid IID_InxSessionNotifications = InxSessionNotifications::IID;

class TnxSessionNotifications;

// One registration, in the registry's doubly linked list.
class TnxSessionNotifierItem : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxSessionNotifierItem() = default;

 private:
  friend class TnxSessionNotifications;
  std::uint32_t sniTickCount = 0;  // 0 once the item is being removed
  TnxSessionNotifications* sniParent = nullptr;
  TnxSessionNotifierItem* sniNext = nullptr;
  TnxSessionNotifierItem* sniPrev = nullptr;
  TnxIntfPtr<InxSessionNotifier> sniNotifier;
  TnxHandle sniHandle = 0;
};

class TnxSessionNotifications : public TnxObject, public InxSessionNotifications {
  PL_CLASS_INFO_DECL()
 public:
  // aController: the session that aggregates this registry (not counted).
  explicit TnxSessionNotifications(InxInterface* aController = nullptr);
  // Calls Disconnected for what is still registered, then frees the padlock.
  ~TnxSessionNotifications() override;
  TnxSessionNotifications(const TnxSessionNotifications&) = delete;
  TnxSessionNotifications& operator=(const TnxSessionNotifications&) = delete;

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override;
  std::int32_t Release() override;

  void RegisterNotifier(const TnxIntfPtr<InxSessionNotifier>& aNotifier, TnxNotifierHandle& aHandle) override;
  void UnregisterNotifier(const TnxNotifierHandle& aHandle) override;
  // Calls every registered notifier once, in registration order, ending each
  // registration before its call; exceptions of notifiers are consumed.
  // Registrations made meanwhile are called too; the list ends empty.
  void Disconnected();

 private:
  // Padlock held: takes the item out of the list and the handle table.
  void unlinkLocked(TnxSessionNotifierItem* aItem);
  // Releases the notifier (an exception is consumed) and frees the item.
  static void freeItem(TnxSessionNotifierItem* aItem);

  InxInterface* snController;
  const std::uint32_t snId;
  TnxLazyPadlock snPadlock;  // created by the first registration
  TnxSessionNotifierItem* snHead = nullptr;
  TnxSessionNotifierItem* snTail = nullptr;
};

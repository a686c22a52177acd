// The class library's component: an owner that frees what it owns, a name,
// free notification between components that refer to each other, and the
// loading and designing flags.
//
// Ownership: a component created with an owner is in the owner's list; the
// owner frees its components (last inserted first) when it is freed. A
// component freed on its own leaves its owner's list.
//
// Free notification: FreeNotification(a) links this component and a both
// ways; when either is freed, the other's Notification(freed, opRemove) runs
// before the freed component's destructor, so references to it can be
// dropped. An owner also tells its other components about each insertion
// (once the new component is constructed) and removal (opInsert / opRemove).
//
// Nothing here sets the designing flag (there is no form designer); a
// component that has it passes it to what it owns.
// Thread safety: none; a component and its owner are used by one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "plObject.h"
#include "plString.h"

namespace platform {

enum TOperation : std::uint8_t { opInsert, opRemove };

// Component state flags.
inline constexpr std::uint8_t csLoading = 0x01;
inline constexpr std::uint8_t csDesigning = 0x02;
inline constexpr std::uint8_t csDestroying = 0x04;
inline constexpr std::uint8_t csUpdating = 0x08;

class TComponent : public TObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TComponent(TComponent* aOwner = nullptr);
  ~TComponent() override;
  // Tells the owner's other components of the new one (opInsert).
  void afterConstruction() override;
  // Marks the component as destroying, tells the free-notification partners
  // and frees the owned components.
  void beforeDestruction() override;

  TComponent* Owner() const { return cpOwner; }
  int ComponentCount() const { return static_cast<int>(cpComponents.size()); }
  TComponent* Components(int aIndex) const { return cpComponents.at(static_cast<std::size_t>(aIndex)); }
  // Null when the owner has no component of that name (ASCII case ignored).
  TComponent* FindComponent(UnicodeStringView aName) const;
  void InsertComponent(TComponent* aComponent);
  void RemoveComponent(TComponent* aComponent);

  const UnicodeString& Name() const { return cpName; }
  virtual void SetName(const UnicodeString& aName);

  std::uint8_t ComponentState() const { return cpState; }
  bool Loading() const { return (cpState & csLoading) != 0; }
  bool Designing() const { return (cpState & csDesigning) != 0; }
  bool Destroying() const { return (cpState & csDestroying) != 0; }
  // Loading bracket: Loaded() runs at its end.
  void BeginLoading() { cpState |= csLoading; }
  void EndLoading();
  virtual void Loaded() {}
  void Updating() { cpState |= csUpdating; }
  void Updated() { cpState &= static_cast<std::uint8_t>(~csUpdating); }
  // Sets or clears the flag here and in every owned component.
  void SetDesigning(bool aValue);

  void FreeNotification(TComponent* aComponent);
  void RemoveFreeNotification(TComponent* aComponent);

 protected:
  // aComponent is inserted or removed (opRemove: also when it is freed).
  virtual void Notification(TComponent* aComponent, TOperation aOperation);
  void SetDestroying() { cpState |= csDestroying; }
  // Frees the owned components, last inserted first.
  void DestroyComponents();

 private:
  void NotifyInsert(TComponent* aComponent);
  void RemoveNotification(TComponent* aComponent);

  TComponent* cpOwner = nullptr;
  std::vector<TComponent*> cpComponents;     // owned, insertion order
  std::vector<TComponent*> cpFreeNotifies;   // not owned, both ways
  UnicodeString cpName;
  std::uint8_t cpState = 0;
};

}  // namespace platform

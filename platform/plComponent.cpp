#include "plComponent.h"

#include <algorithm>

namespace platform {

PL_CLASS_INFO_IMPL(TComponent, TObject, "TComponent", nullptr)

TComponent::TComponent(TComponent* aOwner) {
  // Owned from the start; the others hear of it once it is whole.
  if (aOwner) {
    aOwner->cpComponents.push_back(this);
    cpOwner = aOwner;
    if (aOwner->Designing()) cpState |= csDesigning;
  }
}

void TComponent::SetDesigning(bool aValue) {
  if (aValue)
    cpState |= csDesigning;
  else
    cpState &= static_cast<std::uint8_t>(~csDesigning);
  for (TComponent* c : cpComponents) c->SetDesigning(aValue);
}

void TComponent::afterConstruction() {
  TObject::afterConstruction();
  if (cpOwner) cpOwner->NotifyInsert(this);
}

void TComponent::NotifyInsert(TComponent* aComponent) {
  for (TComponent* c : std::vector<TComponent*>(cpComponents))
    if (c != aComponent) c->Notification(aComponent, opInsert);
}

TComponent::~TComponent() {
  // Reached without beforeDestruction only when construction failed.
  if (cpOwner) cpOwner->RemoveComponent(this);
  for (TComponent* c : cpFreeNotifies) c->RemoveNotification(this);
}

void TComponent::beforeDestruction() {
  cpState |= csDestroying;
  // A partner may drop its link while it is told, so walk a copy.
  while (!cpFreeNotifies.empty()) {
    TComponent* partner = cpFreeNotifies.back();
    cpFreeNotifies.pop_back();
    partner->RemoveNotification(this);
    partner->Notification(this, opRemove);
  }
  DestroyComponents();
  if (cpOwner) cpOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents() {
  while (!cpComponents.empty()) {
    TComponent* c = cpComponents.back();
    // Leaves the list itself through RemoveComponent.
    TObject::free(c);
    if (!cpComponents.empty() && cpComponents.back() == c) cpComponents.pop_back();
  }
}

TComponent* TComponent::FindComponent(UnicodeStringView aName) const {
  if (aName.empty()) return nullptr;
  for (TComponent* c : cpComponents)
    if (sameTextAscii(c->Name(), aName)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* aComponent) {
  if (!aComponent || aComponent->cpOwner == this) return;
  if (aComponent->cpOwner) aComponent->cpOwner->RemoveComponent(aComponent);
  cpComponents.push_back(aComponent);
  aComponent->cpOwner = this;
  NotifyInsert(aComponent);
}

void TComponent::RemoveComponent(TComponent* aComponent) {
  auto it = std::find(cpComponents.begin(), cpComponents.end(), aComponent);
  if (it == cpComponents.end()) return;
  cpComponents.erase(it);
  aComponent->cpOwner = nullptr;
  if (!Destroying())
    for (TComponent* c : std::vector<TComponent*>(cpComponents)) c->Notification(aComponent, opRemove);
}

void TComponent::SetName(const UnicodeString& aName) { cpName = aName; }

void TComponent::EndLoading() {
  cpState &= static_cast<std::uint8_t>(~csLoading);
  Loaded();
}

void TComponent::FreeNotification(TComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  if (std::find(cpFreeNotifies.begin(), cpFreeNotifies.end(), aComponent) == cpFreeNotifies.end())
    cpFreeNotifies.push_back(aComponent);
  if (std::find(aComponent->cpFreeNotifies.begin(), aComponent->cpFreeNotifies.end(), this) ==
      aComponent->cpFreeNotifies.end())
    aComponent->cpFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* aComponent) {
  if (!aComponent) return;
  RemoveNotification(aComponent);
  aComponent->RemoveNotification(this);
}

void TComponent::RemoveNotification(TComponent* aComponent) {
  auto it = std::find(cpFreeNotifies.begin(), cpFreeNotifies.end(), aComponent);
  if (it != cpFreeNotifies.end()) cpFreeNotifies.erase(it);
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace platform

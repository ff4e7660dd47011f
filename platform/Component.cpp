#include "platform/Component.h"

#include <algorithm>

#include "platform/Exception.h"

namespace tunevert {

void TPersistent::Assign(const TPersistent* Source) {
  if (Source != nullptr) {
    Source->AssignTo(this);
    return;
  }
  AssignTo(nullptr);
}

void TPersistent::AssignTo(TPersistent* Dest) const {
  const std::string source = ClassName();
  const std::string target = Dest != nullptr ? Dest->ClassName() : "nil";
  throw Exception("Cannot assign a " + source + " to a " + target);
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  NotifyRemoval();  // only reached here by a component not destroyed through Free
  DestroyComponents();
  if (FOwner != nullptr) {
    std::erase(FOwner->FComponents, this);
    FOwner = nullptr;
  }
}

void TComponent::Free(TComponent* Component) {
  if (Component == nullptr) return;
  Component->Destroying();
  delete Component;
}

void TComponent::NotifyRemoval() {
  if (FRemovalNotified) return;
  FRemovalNotified = true;
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->RemoveNotificationLink(this);
    other->Notification(this, TOperation::opRemove);
  }
  if (FOwner != nullptr) FOwner->Notification(this, TOperation::opRemove);
}

void TComponent::Destroying() {
  if (FBeforeDestructionDone) return;
  FBeforeDestructionDone = true;
  FDestroying = true;
  // Whoever refers to us lets go before anything winds down, while we are still whole: a
  // worker may be reading from us.
  NotifyRemoval();
  // Owned components wind down first: they may run threads that call back into us.
  for (size_t i = FComponents.size(); i-- > 0;) FComponents[i]->Destroying();
  BeforeDestruction();
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::DestroyComponents() {
  // Reverse order of creation: later components may refer to earlier ones.
  while (!FComponents.empty()) Free(FComponents.back());
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(AComponent);
    AComponent->FFreeNotifies.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
  RemoveNotificationLink(AComponent);
  AComponent->RemoveNotificationLink(this);
}

void TComponent::RemoveNotificationLink(TComponent* AComponent) {
  std::erase(FFreeNotifies, AComponent);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation != TOperation::opRemove || AComponent == nullptr) return;
  RemoveFreeNotification(AComponent);
  // An owner passes the removal on to everything it owns.
  for (size_t i = FComponents.size(); i-- > 0;) {
    if (i < FComponents.size() && FComponents[i] != AComponent)
      FComponents[i]->Notification(AComponent, Operation);
  }
}

}  // namespace tunevert

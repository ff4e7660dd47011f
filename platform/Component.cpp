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
  // Tell everyone linked to us, then drop the links so nobody calls back into us.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->RemoveNotificationLink(this);
    other->Notification(this, TOperation::opRemove);
  }
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::Free(TComponent* Component) {
  if (Component == nullptr) return;
  Component->Destroying();
  delete Component;
}

void TComponent::Destroying() {
  if (FBeforeDestructionDone) return;
  FBeforeDestructionDone = true;
  FDestroying = true;
  // Owned components wind down first: they may run threads that call back into us.
  for (size_t i = FComponents.size(); i-- > 0;) FComponents[i]->Destroying();
  BeforeDestruction();
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  std::erase(FComponents, AComponent);
  AComponent->FOwner = nullptr;
  Notification(AComponent, TOperation::opRemove);
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

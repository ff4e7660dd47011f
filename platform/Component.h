#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tunevert {

// An object that can copy itself into another object of a compatible class.
class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // Copies Source into this object; raises Exception "Cannot assign a %s to a %s" when
  // neither side knows how.
  virtual void Assign(const TPersistent* Source);
  // The class name used in assignment errors.
  virtual std::string ClassName() const { return "TPersistent"; }

 protected:
  virtual void AssignTo(TPersistent* Dest) const;
};

enum class TOperation { opInsert, opRemove };

// A component has an owner that destroys it, a name, and learns when components it refers
// to are destroyed. Destroy components through Free (or an owner, or TComponentPtr) so that
// BeforeDestruction runs while the whole object is still alive.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  ~TComponent() override;

  // Removal notification, BeforeDestruction, then delete. Accepts nullptr.
  static void Free(TComponent* Component);

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(Index); }
  std::string ClassName() const override { return "TComponent"; }

  // Asks to be told (through Notification) when AComponent is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

 protected:
  // Runs once, while the most derived object is still intact and after every owned
  // component's own BeforeDestruction: the place to stop threads that call into the
  // derived class.
  virtual void BeforeDestruction() {}
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  bool IsDestroying() const { return FDestroying; }

 private:
  void InsertComponent(TComponent* AComponent);
  void DestroyComponents();
  void RemoveNotificationLink(TComponent* AComponent);
  void Destroying();
  void NotifyRemoval();

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents;    // owned, in creation order
  std::vector<TComponent*> FFreeNotifies;  // both directions of every link
  bool FDestroying = false;
  bool FBeforeDestructionDone = false;
  bool FRemovalNotified = false;
};

struct TComponentDeleter {
  void operator()(TComponent* Component) const { TComponent::Free(Component); }
};

// Sole ownership of a component without an owner.
template <class T>
using TComponentPtr = std::unique_ptr<T, TComponentDeleter>;

template <class T, class... Args>
TComponentPtr<T> MakeComponent(Args&&... args) {
  return TComponentPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace tunevert

// The small component model the library's components live in.
//
// A component has an owner; the owner destroys what it owns (owned components
// are created with CreateComponent, or new, and never deleted by anyone else). Components can be in
// a "loading" state (properties being read from a stored layout: setters only
// store) and a "designing" state. When a component is inserted into or removed
// from an owner, every component of that owner hears of it through
// Notification (CreateComponent announces the insertion once the component is
// fully built, so receivers may look at its type); components in other owners can ask to hear of a removal with
// FreeNotification. A component being removed is announced before its own
// destructor body has finished: receivers only compare the pointer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zav {

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return owned_; }

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // Every library component reports the same version text, never stored.
  virtual std::string Version() const { return "v3.04"; }

  bool Loading() const { return loading_; }
  bool Designing() const { return designing_; }
  // Sets or clears the designing state here and in every owned component.
  void SetDesigning(bool on);

  // Loading a stored layout: BeginLoad marks this component and everything it
  // owns as loading; EndLoad clears the mark and calls Loaded on each, owned
  // components first in creation order, this one last.
  void BeginLoad();
  void EndLoad();

  // Announces `component` leaving to everything that asked; components call it
  // first thing in their destructor so receivers never meet a half-destroyed
  // object. Idempotent; the base destructor calls it too.
  void AnnounceRemoval();

  // Tells the owner's components that this one has arrived. Idempotent;
  // CreateComponent calls it.
  void AnnounceInsertion();

  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  virtual void Loaded();
  // Default: passes the notification on to every owned component.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);

  TComponent* owner_;
  std::vector<TComponent*> owned_;
  std::vector<TComponent*> freeNotifies_;
  std::string name_;
  bool loading_ = false;
  bool designing_ = false;
  bool inserted_ = false;
  bool removed_ = false;
};

template <class T, class... Args>
T* CreateComponent(TComponent* owner, Args&&... args) {
  T* c = new T(owner, std::forward<Args>(args)...);
  c->AnnounceInsertion();
  return c;
}

}  // namespace zav

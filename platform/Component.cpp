#include "platform/Component.h"

#include <algorithm>

namespace zav {
namespace {

void Erase(std::vector<TComponent*>& v, TComponent* c) { v.erase(std::remove(v.begin(), v.end(), c), v.end()); }

}  // namespace

TComponent::TComponent(TComponent* owner) : owner_(nullptr) {
  if (owner) {
    designing_ = owner->designing_;
    owner->InsertComponent(this);
  }
}

TComponent::~TComponent() {
  AnnounceRemoval();
  // Owned components go first, newest first.
  while (!owned_.empty()) {
    TComponent* c = owned_.back();
    delete c;  // its destructor removes it from owned_
  }
}

void TComponent::AnnounceRemoval() {
  if (removed_) return;
  removed_ = true;
  for (TComponent* other : std::vector<TComponent*>(freeNotifies_)) {
    other->Notification(this, TOperation::opRemove);
    Erase(other->freeNotifies_, this);
  }
  freeNotifies_.clear();
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
  owned_.push_back(c);
  c->owner_ = this;
}

void TComponent::AnnounceInsertion() {
  if (inserted_ || !owner_) return;
  inserted_ = true;
  owner_->Notification(this, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
  Notification(c, TOperation::opRemove);
  Erase(owned_, c);
  c->owner_ = nullptr;
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  // A copy: a receiver may destroy components while it is told.
  for (TComponent* c : std::vector<TComponent*>(owned_)) {
    if (std::find(owned_.begin(), owned_.end(), c) != owned_.end()) c->Notification(component, operation);
  }
}

void TComponent::SetDesigning(bool on) {
  designing_ = on;
  for (TComponent* c : owned_) c->SetDesigning(on);
}

void TComponent::BeginLoad() {
  loading_ = true;
  for (TComponent* c : owned_) c->BeginLoad();
}

void TComponent::EndLoad() {
  for (TComponent* c : std::vector<TComponent*>(owned_)) c->EndLoad();
  Loaded();
}

void TComponent::Loaded() { loading_ = false; }

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  // Components of one owner hear of each other through the owner already.
  if (owner_ && other->owner_ == owner_) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end()) {
    freeNotifies_.push_back(other);
    other->freeNotifies_.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  Erase(freeNotifies_, other);
  if (other) Erase(other->freeNotifies_, this);
}

}  // namespace zav

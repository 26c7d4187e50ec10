#include "host/classes/component.h"

#include <algorithm>

#include "host/classes/prop_table.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace host {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Those that asked hear of its going. Each link is dropped before the
  // news, so a handler that frees components finds no link to them here.
  while (!free_notifies_.empty()) {
    TComponent* c = free_notifies_.back();
    free_notifies_.pop_back();
    std::erase(c->notifiers_, this);
    c->Notification(this, opRemove);
  }
  for (TComponent* c : notifiers_) std::erase(c->free_notifies_, this);
  notifiers_.clear();
  DestroyComponents();
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& newName) {
  if (name_ == newName) return;
  if (!newName.empty() && !IsValidIdent(newName))
    throw EComponentError("'" + newName + "' is not a valid component name");
  if (owner_)
    owner_->ValidateRename(this, name_, newName);
  else
    ValidateRename(nullptr, name_, newName);
  name_ = newName;
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameText(c->name_, name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  TAV_ASSERT(component != nullptr, "InsertComponent: no component");
  if (component->owner_ == this) return;
  // A component owning one of its owners would be freed twice.
  for (const TComponent* p = this; p; p = p->owner_)
    TAV_ASSERT(p != component, "InsertComponent: a component cannot own itself or its owner");
  // Names stay unique among siblings however a component arrives.
  ValidateRename(component, "", component->name_);
  if (component->owner_) component->owner_->RemoveComponent(component);
  Insert(component);
  // What joins a component being designed is designed with it.
  if (state_ & csDesigning) component->SetDesigning(true);
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  TAV_ASSERT(component != nullptr && component->owner_ == this,
             "RemoveComponent: not a component of this owner");
  Notification(component, opRemove);
  Remove(component);
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* instance = components_.back();
    Remove(instance);
    delete instance;
  }
}

void TComponent::Destroying() {
  if (state_ & csDestroying) return;
  state_ |= csDestroying;
  for (TComponent* c : components_) c->Destroying();
}

const TPropertyTable& TComponent::ClassProperties() {
  // Name is streamed in the object line, not as a property.
  static const TPropertyTable table =
      PublishClass<TComponent>("TComponent", nullptr, [](TPublisher<TComponent>&) {});
  return table;
}

void TComponent::SetDesigning(bool value) {
  if (value)
    state_ |= csDesigning;
  else
    state_ &= ~static_cast<TComponentState>(csDesigning);
  for (TComponent* c : components_) c->SetDesigning(value);
}

void TComponent::FreeNotification(TComponent* component) {
  TAV_ASSERT(component != nullptr && component != this, "FreeNotification: no other component");
  if (std::find(free_notifies_.begin(), free_notifies_.end(), component) != free_notifies_.end())
    return;
  free_notifies_.push_back(component);
  component->notifiers_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  std::erase(free_notifies_, component);
  std::erase(component->notifiers_, this);
}

void TComponent::Unlink(TComponent* component) {
  RemoveFreeNotification(component);
  component->RemoveFreeNotification(this);
}

void TComponent::Loaded() { state_ &= ~static_cast<TComponentState>(csLoading); }

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component && component != this) Unlink(component);
  // Backwards and re-checked each step: a handler may free components.
  int i = ComponentCount() - 1;
  while (i >= 0) {
    components_[static_cast<size_t>(i)]->Notification(component, operation);
    --i;
    if (i >= ComponentCount()) i = ComponentCount() - 1;
  }
}

void TComponent::ValidateRename(TComponent* component, std::string_view curName,
                                std::string_view newName) {
  if (component && !SameText(curName, newName) && FindComponent(newName) != nullptr)
    throw EComponentError("A component named " + std::string(newName) + " already exists");
}

void TComponent::Insert(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
}

void TComponent::Remove(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it != components_.end()) components_.erase(it);
  component->owner_ = nullptr;
}

void TComponent::GetChildren(std::vector<TComponent*>& children, const TComponent* root) const {
  (void)root;
  for (TComponent* c : components_)
    if (c->GetParentComponent() == nullptr) children.push_back(c);
}

}  // namespace host

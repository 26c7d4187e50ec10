// TComponent: the root of every named, owned object of the host library.
// A component made with an owner belongs to it: the owner frees its components
// when it is freed (the last made first), and a component freed on its own
// leaves its owner's list. A component without an owner belongs to whoever made
// it (hold it in a unique_ptr). Names are identifiers or empty, unique among
// the components of one owner regardless of case.
//
// Owners hear about their components through Notification, which a component
// passes on to every component it owns: opInsert when one joins, opRemove when
// one leaves (by RemoveComponent or by being freed). When a component joins
// from its own constructor, the constructors of its derived classes have not
// run yet, so an opInsert handler sees only the TComponent part.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/object.h"

namespace host {

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : unsigned { csLoading = 1, csDestroying = 2 };
using TComponentState = unsigned;  // a set of TComponentStateFlag

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  // Raises EComponentError "'<name>' is not a valid component name" for a
  // non-identifier, "A component named <name> already exists" for a clash
  // with a sibling.
  virtual void SetName(const std::string& newName);
  TComponentState ComponentState() const { return state_; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // Raises EListError "List index out of bounds (<index>)".
  TComponent* Components(int index) const;
  // The owned component of that name (any case); nullptr for none or "".
  TComponent* FindComponent(std::string_view name) const;

  // Takes component over from its owner, if it has one. A name clash raises
  // and leaves it where it was.
  void InsertComponent(TComponent* component);
  // Gives up a component this one owns; the caller owns it afterwards.
  void RemoveComponent(TComponent* component);
  // Frees every owned component, the last first, without notifications.
  void DestroyComponents();
  // Marks this component and all it owns csDestroying. ~TComponent does it
  // after the destructors of derived classes have run; a derived destructor
  // that wants its components marked earlier calls it first.
  void Destroying();

 protected:
  virtual void Notification(TComponent* component, TOperation operation);
  // Raises when component, owned by or joining this one, may not go from
  // curName to newName: the default refuses a name a sibling has.
  virtual void ValidateRename(TComponent* component, std::string_view curName,
                              std::string_view newName);

 private:
  void Insert(TComponent* component);
  void Remove(TComponent* component);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;  // owned
  TComponentState state_ = 0;
};

}  // namespace host

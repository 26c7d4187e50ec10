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
//
// A component that keeps a pointer to one it does not own (a dataset to its
// database, a link to its data source) asks to hear of its going:
// target->FreeNotification(holder). When the target is freed the holder hears
// Notification(target, opRemove); when the holder is freed first, the target
// forgets it. Each direction is a link of its own, so two components that
// point at each other drop their pointers independently. A handler must drop
// its pointer there; it may hear the same opRemove twice (once as a linked
// component, once from a shared owner) and must only compare the pointer,
// since the component is half destroyed.
//
// Reading a component tree from text (component_text.h) marks each component
// csLoading and, while its own properties are read, csReading; once the whole
// tree is read, Loaded runs on each component read, in reading order.
//
// An object nested in the text of another belongs to the owner that the
// outer one names (GetChildOwner: itself by default; controls name the root,
// so that every control of a form belongs to the form) and is given the
// outer one as its parent (SetParentComponent: nothing by default; a control
// goes into the window it sits in). The writer nests in a component what its
// GetChildren lists.
//
// A component made by its class (the registry's factory, or New<T>) runs
// AfterConstruction once its constructors have all run: a form reads its
// form text there.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/rtl/object.h"

namespace host {

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : unsigned {
  csLoading = 1,
  csDestroying = 2,
  csReading = 4,
  csDesigning = 8,
};
using TComponentState = unsigned;  // a set of TComponentStateFlag

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  ~TComponent() override;

  // Runs once the constructors of the most derived class have run, when the
  // component is made through its class's factory or New; the default does
  // nothing.
  virtual void AfterConstruction() {}

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  // Raises EComponentError "'<name>' is not a valid component name" for a
  // non-identifier, "A component named <name> already exists" for a clash
  // with a sibling.
  virtual void SetName(const std::string& newName);
  TComponentState ComponentState() const { return state_; }
  // Sets or clears csDesigning here and on every owned component. A
  // component that joins a designing owner is designing too.
  void SetDesigning(bool value);

  // Component hears Notification(this, opRemove) when this one is freed
  // (asking again changes nothing).
  void FreeNotification(TComponent* component);
  // Component no longer hears of this one's going.
  void RemoveFreeNotification(TComponent* component);

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

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
  // Text streaming (see the head of this file). GetChildOwner: the owner of
  // objects nested in this one's text, null for the root of the text.
  virtual TComponent* GetChildOwner() { return this; }
  virtual void SetParentComponent(TComponent* parent) { (void)parent; }
  virtual TComponent* GetParentComponent() const { return nullptr; }
  // What the writer nests in this component, in order, when `root` is the
  // root of the text. The default: owned components without a parent.
  virtual void GetChildren(std::vector<TComponent*>& children, const TComponent* root) const;

  // Frees every owned component, the last first, without notifications.
  void DestroyComponents();
  // Marks this component and all it owns csDestroying. ~TComponent does it
  // after the destructors of derived classes have run; a derived destructor
  // that wants its components marked earlier calls it first.
  void Destroying();

 protected:
  // Runs once on each component read from text, after the whole tree is
  // read. The default ends csLoading; an override calls it first.
  virtual void Loaded();
  // The default drops a free-notification link with a component that goes
  // and passes the news to every owned component.
  virtual void Notification(TComponent* component, TOperation operation);
  // Raises when component, owned by or joining this one, may not go from
  // curName to newName: the default refuses a name a sibling has.
  virtual void ValidateRename(TComponent* component, std::string_view curName,
                              std::string_view newName);

 private:
  friend class TComponentTextReader;
  void Insert(TComponent* component);
  // Drops every link between this component and `component`.
  void Unlink(TComponent* component);
  void Remove(TComponent* component);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;  // owned
  TComponentState state_ = 0;
  // Borrowed: those that hear of this one's going, and those this one
  // hears of. Each link is in the lists of both its ends.
  std::vector<TComponent*> free_notifies_;
  std::vector<TComponent*> notifiers_;
};

// Makes a T and runs its AfterConstruction; it belongs to `owner` (or to the
// caller when owner is null).
template <class T, class... A>
T* New(A&&... args) {
  T* c = new T(std::forward<A>(args)...);
  try {
    c->AfterConstruction();
  } catch (...) {
    delete c;
    throw;
  }
  return c;
}

}  // namespace host

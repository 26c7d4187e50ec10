#include "host/classes/component.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/rtl/exceptions.h"

namespace host {
namespace {

// Records what happens to it in a shared log.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::string tag, std::vector<std::string>* log)
      : TComponent(owner), tag_(std::move(tag)), log_(log) {}
  ~TProbe() override {
    log_->push_back("free " + tag_ + ((ComponentState() & csDestroying) ? "" : " (not marked)"));
  }

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    log_->push_back(tag_ + (operation == opInsert ? " +" : " -") + component->Name());
    TComponent::Notification(component, operation);
  }

 private:
  std::string tag_;
  std::vector<std::string>* log_;
};

template <class F>
std::string ComponentErrorOf(F op) {
  try {
    op();
  } catch (const EComponentError& e) {
    return e.what();
  }
  return "no error";
}

TEST(ComponentTest, OwnerFreesItsComponentsLastFirst) {
  std::vector<std::string> log;
  {
    TProbe owner(nullptr, "owner", &log);
    auto* a = new TProbe(&owner, "a", &log);
    new TProbe(&owner, "b", &log);
    new TProbe(a, "a1", &log);
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(owner.Components(0), a);
    EXPECT_EQ(a->Owner(), &owner);
    log.clear();
  }
  // The owner's own destructor body runs before TComponent marks the family;
  // the components are marked before they go, and no notifications fly.
  EXPECT_EQ(log, (std::vector<std::string>{"free owner (not marked)", "free b", "free a", "free a1"}));
}

TEST(ComponentTest, FreeingAComponentLeavesItsOwnerAndTellsTheFamily) {
  std::vector<std::string> log;
  TProbe owner(nullptr, "owner", &log);
  auto* a = new TProbe(&owner, "a", &log);
  auto* b = new TProbe(&owner, "b", &log);
  new TProbe(b, "b1", &log);
  a->SetName("Victim");
  log.clear();
  delete a;
  EXPECT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0), b);
  // The owner tells its components, which pass it on to theirs.
  EXPECT_EQ(log, (std::vector<std::string>{"free a (not marked)", "owner -Victim", "b -Victim",
                                           "b1 -Victim"}));
}

TEST(ComponentTest, NamesMustBeIdentifiersAndUniqueAmongSiblings) {
  TComponent owner(nullptr);
  auto* a = new TComponent(&owner);
  auto* b = new TComponent(&owner);
  a->SetName("Table1");
  EXPECT_EQ(ComponentErrorOf([&] { b->SetName("TABLE1"); }), "A component named TABLE1 already exists");
  EXPECT_EQ(b->Name(), "");
  EXPECT_EQ(ComponentErrorOf([&] { b->SetName("1st"); }), "'1st' is not a valid component name");
  EXPECT_EQ(ComponentErrorOf([&] { b->SetName("a b"); }), "'a b' is not a valid component name");
  a->SetName("TABLE1");  // its own name in another case
  EXPECT_EQ(a->Name(), "TABLE1");
  b->SetName("Table2");
  b->SetName("");  // any number of unnamed components
  a->SetName("");
  TComponent other(nullptr);
  auto* c = new TComponent(&other);
  c->SetName("Table1");  // other owners have their own names
  TComponent lonely(nullptr);
  lonely.SetName("Table1");
}

TEST(ComponentTest, FindComponent) {
  TComponent owner(nullptr);
  auto* a = new TComponent(&owner);
  a->SetName("Query1");
  new TComponent(&owner);
  EXPECT_EQ(owner.FindComponent("query1"), a);
  EXPECT_EQ(owner.FindComponent("Query2"), nullptr);
  EXPECT_EQ(owner.FindComponent(""), nullptr);  // unnamed ones are not found
  auto* grandChild = new TComponent(a);
  grandChild->SetName("Deep");
  EXPECT_EQ(owner.FindComponent("Deep"), nullptr);  // only direct components
}

TEST(ComponentTest, InsertComponentMovesOwnership) {
  std::vector<std::string> log;
  TProbe from(nullptr, "from", &log);
  TProbe to(nullptr, "to", &log);
  auto* x = new TProbe(&from, "x", &log);
  x->SetName("X");
  log.clear();
  to.InsertComponent(x);
  EXPECT_EQ(x->Owner(), &to);
  EXPECT_EQ(from.ComponentCount(), 0);
  EXPECT_EQ(to.ComponentCount(), 1);
  EXPECT_EQ(log, (std::vector<std::string>{"from -X", "x -X", "to +X", "x +X"}));
  to.InsertComponent(x);  // already there: nothing happens
  EXPECT_EQ(to.ComponentCount(), 1);

  auto* clash = new TComponent(&from);
  clash->SetName("x");
  EXPECT_EQ(ComponentErrorOf([&] { to.InsertComponent(clash); }), "A component named x already exists");
  EXPECT_EQ(clash->Owner(), &from);  // left where it was
  EXPECT_EQ(from.ComponentCount(), 1);
}

TEST(ComponentTest, RemoveComponentHandsOverOwnership) {
  TComponent owner(nullptr);
  std::unique_ptr<TComponent> kept(new TComponent(&owner));
  owner.RemoveComponent(kept.get());
  EXPECT_EQ(kept->Owner(), nullptr);
  EXPECT_EQ(owner.ComponentCount(), 0);
  TComponent stranger(nullptr);
  EXPECT_THROW(owner.RemoveComponent(&stranger), EAssertionFailed);
}

TEST(ComponentTest, OwnershipCyclesAreRefused) {
  TComponent root(nullptr);
  auto* child = new TComponent(&root);
  auto* grandChild = new TComponent(child);
  EXPECT_THROW(grandChild->InsertComponent(&root), EAssertionFailed);
  EXPECT_THROW(grandChild->InsertComponent(child), EAssertionFailed);
  EXPECT_THROW(child->InsertComponent(child), EAssertionFailed);
  EXPECT_EQ(child->Owner(), &root);
  EXPECT_EQ(grandChild->Owner(), child);
}

TEST(ComponentTest, ComponentsIndexIsChecked) {
  TComponent owner(nullptr);
  EXPECT_THROW(owner.Components(0), EListError);
  new TComponent(&owner);
  EXPECT_THROW(owner.Components(-1), EListError);
  EXPECT_EQ(owner.ClassName(), "TComponent");
}

}  // namespace
}  // namespace host

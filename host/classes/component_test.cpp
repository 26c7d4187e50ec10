#include "host/classes/component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
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

// Holds a pointer to a component it does not own, as a dataset holds its
// database, and keeps a register of the linkers alive.
class TLinker : public TComponent {
 public:
  TLinker(TComponent* owner, std::set<const TComponent*>* alive) : TComponent(owner), alive_(alive) {
    alive_->insert(this);
  }
  ~TLinker() override { alive_->erase(this); }

  TComponent* Target() const { return target_; }
  void SetTarget(TComponent* value) {
    if (target_) target_->RemoveFreeNotification(this);
    target_ = value;
    if (target_) target_->FreeNotification(this);
  }
  int Heard() const { return heard_; }

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == target_) {
      target_ = nullptr;
      ++heard_;
    }
  }

 private:
  std::set<const TComponent*>* alive_;
  TComponent* target_ = nullptr;
  int heard_ = 0;
};

TEST(ComponentTest, FreeNotificationReachesANonOwnerEitherWay) {
  std::set<const TComponent*> alive;
  TComponent form1(nullptr), form2(nullptr);
  auto* database = new TLinker(&form1, &alive);
  auto* dataset = new TLinker(&form2, &alive);
  dataset->SetTarget(database);
  dataset->SetTarget(database);  // once per pair
  delete database;
  EXPECT_EQ(dataset->Target(), nullptr);
  EXPECT_EQ(dataset->Heard(), 1);

  // The other way round: the one that goes first takes its link along, so
  // freeing the other later touches nothing freed (AddressSanitizer).
  database = new TLinker(&form1, &alive);
  dataset->SetTarget(database);
  database->SetTarget(dataset);
  delete dataset;
  EXPECT_EQ(database->Target(), nullptr);
  form1.DestroyComponents();

  // Dropped links are not heard; a freed owner takes its components' links.
  database = new TLinker(&form1, &alive);
  dataset = new TLinker(&form2, &alive);
  dataset->SetTarget(database);
  dataset->SetTarget(nullptr);
  delete database;
  EXPECT_EQ(dataset->Heard(), 0);
  auto owner = std::make_unique<TComponent>(nullptr);
  database = new TLinker(owner.get(), &alive);
  dataset->SetTarget(database);
  owner.reset();
  EXPECT_EQ(dataset->Target(), nullptr);
  EXPECT_EQ(dataset->Heard(), 1);

  // Two that point at each other drop their links independently.
  auto* x = new TLinker(&form1, &alive);
  auto* y = new TLinker(&form2, &alive);
  x->SetTarget(y);
  y->SetTarget(x);
  y->SetTarget(nullptr);
  delete y;
  EXPECT_EQ(x->Target(), nullptr);
}

TEST(ComponentTest, FreeNotificationModelLeavesNoDanglingPointer) {
  // Random trees of linkers, random links and frees; after every step each
  // live linker points at a live component or at none.
  std::mt19937 rng(4711);
  for (int round = 0; round < 40; ++round) {
    std::set<const TComponent*> alive;
    std::vector<std::unique_ptr<TLinker>> roots;
    std::vector<TLinker*> all;
    for (int i = 0; i < 30; ++i) {
      auto live = [&] {
        std::erase_if(all, [&](TLinker* l) { return !alive.count(l); });
      };
      live();
      if (all.empty() || rng() % 4 == 0) {
        roots.push_back(std::make_unique<TLinker>(nullptr, &alive));
        all.push_back(roots.back().get());
      } else {
        all.push_back(new TLinker(all[rng() % all.size()], &alive));
      }
      for (int step = 0; step < 5; ++step) {
        live();
        if (all.size() < 2) break;
        TLinker* a = all[rng() % all.size()];
        TLinker* b = all[rng() % all.size()];
        switch (rng() % 4) {
          case 0:
          case 1:
            if (a != b) a->SetTarget(b);
            break;
          case 2:
            a->SetTarget(nullptr);
            break;
          default: {
            auto it = std::find_if(roots.begin(), roots.end(), [&](auto& r) { return r.get() == a; });
            if (it != roots.end())
              roots.erase(it);
            else
              delete a;
            break;
          }
        }
        for (const TComponent* c : alive) {
          const TComponent* t = static_cast<const TLinker*>(c)->Target();
          ASSERT_TRUE(t == nullptr || alive.count(t)) << "round " << round;
        }
      }
    }
  }
}

TEST(ComponentTest, DesigningMarksTheFamily) {
  TComponent root(nullptr);
  auto* child = new TComponent(&root);
  auto* grandChild = new TComponent(child);
  root.SetDesigning(true);
  EXPECT_TRUE(grandChild->ComponentState() & csDesigning);
  child->SetDesigning(false);
  EXPECT_TRUE(root.ComponentState() & csDesigning);
  EXPECT_FALSE(grandChild->ComponentState() & csDesigning);
  // A newcomer to a designing owner is designed too.
  auto* late = new TComponent(&root);
  EXPECT_TRUE(late->ComponentState() & csDesigning);
  TComponent loose(nullptr);
  auto* moved = new TComponent(&loose);
  root.InsertComponent(moved);
  EXPECT_TRUE(moved->ComponentState() & csDesigning);
}

}  // namespace
}  // namespace host

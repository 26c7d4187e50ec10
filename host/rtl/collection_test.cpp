#include "host/rtl/collection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/rtl/exceptions.h"
#include "host/rtl/streams.h"

namespace host {
namespace {

class TNamedItem : public TCollectionItem {
 public:
  std::string Name;
  void Assign(const TPersistent& source) override {
    if (auto* s = dynamic_cast<const TNamedItem*>(&source)) {
      Name = s->Name;
      return;
    }
    TCollectionItem::Assign(source);
  }
};

using TNamedItems = TTypedCollection<TNamedItem>;

TEST(CollectionTest, IdsRiseAndAreNeverReused) {
  TNamedItems c;
  for (int i = 0; i < 5; ++i) c.Add()->Name = "n" + std::to_string(i);
  c.Delete(4);
  EXPECT_EQ(c.Add()->ID(), 5);
  EXPECT_EQ(c.FindItemID(4), nullptr);
  EXPECT_EQ(c.FindItemID(2)->Name, "n2");
  delete c.Items(0);  // freeing an item takes it out of its collection
  EXPECT_EQ(c.Count(), 4);
  EXPECT_EQ(c.Items(0)->Name, "n1");
  EXPECT_EQ(c.Items(0)->Index(), 0);
}

// Items that came, went and moved between collections before anyone asked
// by ID are found by it afterwards exactly where they are, and the answers
// follow every later change.
TEST(CollectionTest, FindItemIDFollowsItemsMovedBeforeAndAfterTheFirstAsk) {
  TNamedItems a, b;
  std::vector<TNamedItem*> made;
  for (int i = 0; i < 6; ++i) {
    made.push_back(a.Add());
    made.back()->Name = "a" + std::to_string(i);
  }
  made[1]->SetCollection(&b);  // leaves a, joins b under b's next ID
  a.Delete(a.Count() - 1);    // a5 goes
  TCollectionItem* loose = made[2];
  loose->SetCollection(nullptr);
  EXPECT_EQ(a.FindItemID(1), nullptr);
  EXPECT_EQ(a.FindItemID(2), nullptr) << "an item out of its collection";
  EXPECT_EQ(a.FindItemID(5), nullptr) << "a deleted item";
  EXPECT_EQ(a.FindItemID(3), made[3]);
  EXPECT_EQ(b.FindItemID(made[1]->ID()), made[1]);
  loose->SetCollection(&a);  // back, under a new ID
  EXPECT_EQ(a.FindItemID(loose->ID()), loose);
  EXPECT_NE(loose->ID(), 2);
  EXPECT_EQ(a.FindItemID(2), nullptr);
  made[3]->SetCollection(&b);
  EXPECT_EQ(a.FindItemID(3), nullptr);
  EXPECT_EQ(b.FindItemID(made[3]->ID()), made[3]);
  const int looseID = loose->ID();
  a.Clear();
  EXPECT_EQ(a.FindItemID(0), nullptr);
  EXPECT_EQ(a.FindItemID(looseID), nullptr);
}

TEST(CollectionTest, SetIndexAndInsertKeepOrder) {
  TNamedItems c;
  for (int i = 0; i < 4; ++i) c.Add()->Name = std::string(1, static_cast<char>('a' + i));
  c.Items(3)->SetIndex(0);
  c.Insert(2)->Name = "x";
  std::string order;
  for (int i = 0; i < c.Count(); ++i) order += c.Items(i)->Name;
  EXPECT_EQ(order, "daxbc");
  EXPECT_THROW(c.Items(5), EListError);
  EXPECT_THROW(c.Items(-1), EListError);
}

// An item taken out from the end is the caller's, alive and unlisted: the
// collection forgets it by ID (asked before and after), tells of the change,
// and takes it back later (SetCollection) under a new ID.
TEST(CollectionTest, ExtractLastHandsItemsOverUnfreed) {
  class TCounting : public TNamedItems {
   public:
    int changes = 0;

   protected:
    void Changed() override { ++changes; }
  };
  TCounting c;
  for (int i = 0; i < 3; ++i) c.Add()->Name = "n" + std::to_string(i);
  EXPECT_EQ(c.FindItemID(2)->Name, "n2");  // the ID index is built
  c.changes = 0;
  std::unique_ptr<TCollectionItem> last(c.ExtractLast());
  EXPECT_EQ(static_cast<TNamedItem*>(last.get())->Name, "n2");
  EXPECT_EQ(last->Collection(), nullptr);
  EXPECT_EQ(last->Index(), -1);
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(c.FindItemID(2), nullptr);
  EXPECT_EQ(c.FindItemID(1)->Name, "n1");
  EXPECT_EQ(c.changes, 1);
  {
    TCollectionUpdate update(c);
    delete c.ExtractLast();  // unlisted already: freeing it touches nothing
    EXPECT_EQ(c.changes, 1);
  }
  EXPECT_EQ(c.changes, 2);
  EXPECT_EQ(c.Count(), 1);
  last->SetCollection(&c);
  EXPECT_EQ(c.changes, 3);
  EXPECT_EQ(c.Items(1), last.get());
  EXPECT_EQ(last->Collection(), &c);
  EXPECT_EQ(last->Index(), 1);
  EXPECT_EQ(last->ID(), 3);
  EXPECT_EQ(c.FindItemID(3), last.get());
  last.release();
  // An item of another collection moves.
  TNamedItems other;
  TNamedItem* moved = other.Add();
  moved->SetCollection(&c);
  EXPECT_EQ(other.Count(), 0);
  EXPECT_EQ(c.Items(2), moved);
  EXPECT_EQ(c.FindItemID(4), moved);
  delete c.ExtractLast();
  delete c.ExtractLast();
  delete c.ExtractLast();
  EXPECT_EQ(c.Count(), 0);
  EXPECT_THROW(c.ExtractLast(), EListError);
}

TEST(CollectionTest, AssignCopiesThroughItems) {
  TNamedItems a, b;
  a.Add()->Name = "one";
  a.Add()->Name = "two";
  b.Add()->Name = "old";
  b.Assign(a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(b.Items(1)->Name, "two");
  EXPECT_THROW(b.Assign(*a.Items(0)), EConvertError);
}

TEST(StreamTest, MemoryStreamReadWriteSeek) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  m.Seek(-2, soEnd);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 2);
  EXPECT_STREQ(buf, "lo");
  m.SetPosition(10);
  m.WriteBuffer("!", 1);  // writing past the end grows the stream with zeros
  EXPECT_EQ(m.Size(), 11);
  EXPECT_EQ(m.Memory()[7], 0);
  m.SetPosition(9);
  EXPECT_THROW(m.ReadBuffer(buf, 5), EReadError);
}

}  // namespace
}  // namespace host

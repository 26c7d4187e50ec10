// A collection's items by ID, asked after the items were copied in from
// another collection, exchanged, moved in and out during an update and
// freed: each ID answers with its item as long as the item is in the
// collection, and with nothing once it left or was freed, however the ask
// and the changes interleave.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/rtl/collection.h"

namespace host {
namespace {

class TTaggedItem : public TCollectionItem {
 public:
  std::string Tag;
  void Assign(const TPersistent& source) override {
    if (auto* s = dynamic_cast<const TTaggedItem*>(&source)) {
      Tag = s->Tag;
      return;
    }
    TCollectionItem::Assign(source);
  }
};

using TTaggedItems = TTypedCollection<TTaggedItem>;

// Every ID up to the collection's highest answers exactly with the item of
// that ID in it; "" when all agree.
std::string Agree(const TTaggedItems& c, int upTo) {
  std::map<int, const TCollectionItem*> in;
  for (int i = 0; i < c.Count(); ++i) in[c.Items(i)->ID()] = c.Items(i);
  for (int id = -1; id <= upTo; ++id) {
    const auto it = in.find(id);
    const TCollectionItem* want = it == in.end() ? nullptr : it->second;
    if (c.FindItemID(id) != want) return "ID " + std::to_string(id);
  }
  return "";
}

TEST(CollectionIds, FindItemIDAgreesWithTheItemsThroughEveryKindOfChange) {
  TTaggedItems a, b;
  for (int i = 0; i < 8; ++i) a.Add()->Tag = "a" + std::to_string(i);
  for (int i = 0; i < 3; ++i) b.Add()->Tag = "b" + std::to_string(i);
  // Asked once, then copied over: the old items are freed, the new ones
  // take new IDs.
  ASSERT_EQ(Agree(b, 20), "");
  b.Assign(a);
  EXPECT_EQ(b.Count(), 8);
  EXPECT_EQ(Agree(b, 20), "");
  EXPECT_EQ(b.FindItemID(0), nullptr) << "an ID of a freed item";
  // Exchanged and moved within: IDs stay with their items.
  const int id2 = b.Items(2)->ID();
  b.Exchange(2, 6);
  b.Items(0)->SetIndex(5);
  EXPECT_EQ(b.FindItemID(id2), b.Items(6));
  EXPECT_EQ(Agree(b, 20), "");
  // Items leave and join during an update, one of them asked for between.
  TTaggedItem* moving = b.Items(3);
  const int movingOld = moving->ID();
  {
    TCollectionUpdate update(b);
    moving->SetCollection(&a);
    EXPECT_EQ(b.FindItemID(movingOld), nullptr);
    b.Delete(0);
    b.Insert(1)->Tag = "new";
    moving->SetCollection(&b);
  }
  EXPECT_NE(moving->ID(), movingOld);
  EXPECT_EQ(b.FindItemID(moving->ID()), moving);
  EXPECT_EQ(Agree(a, 30), "");
  EXPECT_EQ(Agree(b, 30), "");
  // An item taken out, kept by the caller and freed there.
  TTaggedItem* loose = b.Items(1);
  const int looseId = loose->ID();
  loose->SetCollection(nullptr);
  EXPECT_EQ(b.FindItemID(looseId), nullptr);
  delete loose;
  EXPECT_EQ(Agree(b, 30), "");
  b.Clear();
  EXPECT_EQ(Agree(b, 30), "");
  b.Add();
  EXPECT_EQ(Agree(b, 40), "");
}

}  // namespace
}  // namespace host

#include "host/rtl/collection.h"

#include <gtest/gtest.h>

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

#include "host/db/field_defs.h"

#include <gtest/gtest.h>

#include <functional>

#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"

namespace host {
namespace {

std::string DatabaseErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "<no exception>";
}

TEST(FieldDefsTest, AddFindAndNumbering) {
  TFieldDefs defs;
  defs.Add("ID", ftAutoInc, 0, true);
  defs.Add("Name", ftString, 40);
  TFieldDef* name = defs.Find("NAME");
  EXPECT_EQ(name->Name(), "Name");
  EXPECT_EQ(name->DataType(), ftString);
  EXPECT_EQ(name->Size(), 40);
  EXPECT_FALSE(name->Required());
  EXPECT_TRUE(defs.Items(0)->Required());
  EXPECT_EQ(name->FieldNo(), 2);
  name->SetIndex(0);
  EXPECT_EQ(name->FieldNo(), 1);  // follows the position unless set
  name->SetFieldNo(7);
  EXPECT_EQ(name->FieldNo(), 7);
  EXPECT_EQ(defs.IndexOf("id"), 1);
  EXPECT_EQ(defs.IndexOf("missing"), -1);
  EXPECT_EQ(DatabaseErrorOf([&] { defs.Find("Missing"); }), "Field 'Missing' not found");
}

TEST(FieldDefsTest, NamesStayUnique) {
  TFieldDefs defs;
  defs.Add("Price", ftCurrency);
  EXPECT_EQ(DatabaseErrorOf([&] { defs.Add("PRICE", ftFloat); }),
            "Duplicate name 'PRICE' in TFieldDefs");
  EXPECT_EQ(defs.Count(), 1);  // the refused definition is not left behind
  EXPECT_EQ(DatabaseErrorOf([&] { defs.Add("", ftFloat); }), "Field name missing");
  TFieldDef* other = defs.Add("Other", ftFloat);
  EXPECT_THROW(other->SetName("price"), EDatabaseError);
  other->SetName("OTHER");  // its own name in other letters is no clash
  EXPECT_EQ(other->Name(), "OTHER");
  // Accented letters match their capitals too.
  defs.Add("\xE9t\xE9", ftString, 10);
  EXPECT_EQ(defs.IndexOf("\xC9T\xC9"), 2);
}

TEST(FieldDefsTest, AssignCopiesDefinitions) {
  TFieldDefs a, b;
  a.Add("A", ftInteger, 0, true);
  a.Add("B", ftBCD, 8)->SetPrecision(4);
  b.Add("X", ftString, 5);
  b.Assign(a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(b.Items(1)->Name(), "B");
  EXPECT_EQ(b.Items(1)->DataType(), ftBCD);
  EXPECT_EQ(b.Items(1)->Size(), 8);
  EXPECT_EQ(b.Items(1)->Precision(), 4);
  EXPECT_TRUE(b.Items(0)->Required());
  TIndexDefs wrong;
  wrong.Add("I", "A", {});
  EXPECT_THROW(b.Assign(wrong), EConvertError);
}

TEST(IndexDefsTest, FieldsAndExpressionShareOneSlot) {
  TIndexDefs defs;
  TIndexDef* d = defs.Add("ByName", "Last;First", {ixCaseInsensitive});
  EXPECT_EQ(d->Fields(), "Last;First");
  EXPECT_EQ(d->Expression(), "");
  d->SetExpression("UPPER(Last)");
  EXPECT_TRUE(d->Options().Contains(ixExpression));
  EXPECT_EQ(d->Fields(), "");
  EXPECT_EQ(d->Expression(), "UPPER(Last)");
  d->SetFields("Last");
  EXPECT_FALSE(d->Options().Contains(ixExpression));
  EXPECT_TRUE(d->Options().Contains(ixCaseInsensitive));
  EXPECT_EQ(DatabaseErrorOf([&] { defs.Find("None"); }), "Index 'None' not found");
  EXPECT_EQ(defs.Find("BYNAME"), d);
  EXPECT_THROW(defs.Add("byname", "X", {}), EDatabaseError);
  EXPECT_EQ(defs.Count(), 1);
}

TEST(IndexDefsTest, GetIndexForFieldsPrefersExactThenWholeNamePrefix) {
  TIndexDefs defs;
  defs.Add("Desc", "ID", {ixDescending});
  defs.Add("Wide", "ID;Name", {});
  defs.Add("Exact", "ID", {});
  defs.Add("IDX", "IDX", {});
  defs.Add("CI", "Name;ID", {ixCaseInsensitive});
  EXPECT_EQ(defs.GetIndexForFields("id", false)->Name(), "Exact");
  EXPECT_EQ(defs.GetIndexForFields("Name", false)->Name(), "CI");
  EXPECT_EQ(defs.GetIndexForFields("ID;NAME", false)->Name(), "Wide");
  EXPECT_EQ(defs.GetIndexForFields("ID", true), nullptr);
  EXPECT_EQ(defs.GetIndexForFields("Name", true)->Name(), "CI");
  EXPECT_EQ(defs.GetIndexForFields("I", false), nullptr);  // "I" is no whole name of "IDX"
  defs.Delete(2);
  EXPECT_EQ(defs.GetIndexForFields("ID", false)->Name(), "Wide");
}

}  // namespace
}  // namespace host

#include "engine/expr/table_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/expr/testing/expr_test_support.h"

namespace tav {
namespace {

using testing::AddTestTable;

TEST(TableListTest, LookUpsIgnoreCaseAndTheLastReferenceWins) {
  TTableList list;
  EXPECT_EQ(list.Last(), nullptr);
  EXPECT_EQ(list.FindTable(""), nullptr);
  TTableNameItem* orders = AddTestTable(list, "Orders", "o", {{"ID", host::ftInteger}});
  // One table: an empty name finds it, whatever its alias.
  EXPECT_EQ(list.FindTable(""), orders);
  EXPECT_EQ(list.FindTableAndCorrelationName("", "zzz"), orders);

  TTableNameItem* customers = AddTestTable(list, "Customers", "c", {{"Name", host::ftString}});
  TTableNameItem* inner =
      AddTestTable(list, "ORDERS", "O2", {{"ID", host::ftInteger}, {"Total", host::ftCurrency}});
  EXPECT_EQ(list.Last(), inner);
  // Two or more tables, all aliased: an empty name finds none.
  EXPECT_EQ(list.FindTable(""), nullptr);
  EXPECT_EQ(list.FindTableAndCorrelationName("", ""), nullptr);

  const struct {
    std::string name;
    TTableNameItem* table;
    TTableNameItem* byTableName;
  } cases[] = {
      {"orders", inner, inner},  // both are Orders: the later reference
      {"O", orders, nullptr},    {"o2", inner, nullptr},        {"CUSTOMERS", customers, customers},
      {"C", customers, nullptr}, {"nothing", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.FindTable(c.name), c.table) << c.name;
    EXPECT_EQ(list.FindTableName(c.name), c.byTableName) << c.name;
  }
  EXPECT_EQ(list.FindTableAndCorrelationName("orders", "o"), orders);
  EXPECT_EQ(list.FindTableAndCorrelationName("ORDERS", "o2"), inner);
  EXPECT_EQ(list.FindTableAndCorrelationName("Customers", "o"), nullptr);
  EXPECT_EQ(list.FindTableForField("id"), inner);
  EXPECT_EQ(list.FindTableForField("NAME"), customers);
  EXPECT_EQ(list.FindTableForField("missing"), nullptr);

  // An empty name finds the last table without an alias.
  TTableNameItem* plain = AddTestTable(list, "Items", "");
  AddTestTable(list, "Parts", "p");
  EXPECT_EQ(list.FindTable(""), plain);
}

TEST(TableListTest, AnAliasOutranksTheTableNameOfALaterReference) {
  TTableList list;
  TTableNameItem* t = AddTestTable(list, "T", "t", {{"A", host::ftInteger}});
  TTableNameItem* x = AddTestTable(list, "T", "x", {{"A", host::ftInteger}});
  EXPECT_EQ(list.FindTable("t"), t);
  EXPECT_EQ(list.FindTable("X"), x);
  // The bare table name still finds the later reference.
  TTableList plain;
  AddTestTable(plain, "U", "", {{"A", host::ftInteger}});
  TTableNameItem* u2 = AddTestTable(plain, "U", "v", {{"A", host::ftInteger}});
  EXPECT_EQ(plain.FindTable("u"), plain.Items(0));
  EXPECT_EQ(plain.FindTable("v"), u2);
}

TEST(TableListTest, ColumnsGiveTypeAndWriteableSize) {
  TTableList list;
  TTableNameItem* t = AddTestTable(list, "T", "", {{"Name", host::ftString}, {"N", host::ftInteger}});
  EXPECT_EQ(t->GetFieldType("name"), host::ftString);
  EXPECT_EQ(t->GetFieldSize("NAME"), 20);  // variable: room for the terminating zero left out
  EXPECT_EQ(t->GetFieldType("n"), host::ftInteger);
  EXPECT_EQ(t->GetFieldSize("N"), 4);
  EXPECT_EQ(t->GetFieldType("x"), host::ftUnknown);
  EXPECT_EQ(t->GetFieldSize("x"), 0);
  t->SetTableFields(nullptr);
  EXPECT_EQ(t->TableFields().Count(), 0);
}

TEST(TableListTest, AssignAndMergeCopyItems) {
  TTableList a;
  TTableNameItem* first = AddTestTable(a, "Orders", "o", {{"ID", host::ftInteger}});
  first->SetMemory(true);
  first->SetMemorySpecified(true);
  first->SetInCorrelatedSubquery(true);
  first->SetCorrelatedSubqueryID(7);
  AddTestTable(a, "Customers", "c");

  TTableList copy;
  AddTestTable(copy, "Stale", "s");
  copy.Assign(a);
  ASSERT_EQ(copy.Count(), 2);
  const TTableNameItem* c0 = copy.Items(0);
  EXPECT_NE(c0, first);
  EXPECT_EQ(c0->TableName(), "Orders");
  EXPECT_EQ(c0->CorrelationName(), "o");
  EXPECT_TRUE(c0->Memory());
  EXPECT_TRUE(c0->MemorySpecified());
  EXPECT_TRUE(c0->InCorrelatedSubquery());
  EXPECT_EQ(c0->CorrelatedSubqueryID(), 7);
  EXPECT_EQ(c0->GetFieldType("ID"), host::ftInteger);
  copy.SetItems(1, *first);
  EXPECT_EQ(copy.Items(1)->TableName(), "Orders");

  TTableList b;
  AddTestTable(b, "ORDERS", "O");   // the same pair, written otherwise
  AddTestTable(b, "Orders", "o2");  // the same table under another alias
  AddTestTable(b, "Parts", "p");
  AddTestTable(b, "Parts", "p");  // twice in the second list: once in the merge

  TTableList merged;
  merged.MergeLists(&a, &b);
  std::vector<std::string> names;
  for (int i = 0; i < merged.Count(); ++i)
    names.push_back(merged.Items(i)->TableName() + " " + merged.Items(i)->CorrelationName());
  EXPECT_EQ(names, (std::vector<std::string>{"Orders o", "Customers c", "Orders o2", "Parts p"}));

  // Either source may be the list itself; a missing first list counts as empty.
  a.MergeLists(&a, &b);
  EXPECT_EQ(a.Count(), 4);
  TTableList fromNothing;
  fromNothing.MergeLists(nullptr, &b);
  EXPECT_EQ(fromNothing.Count(), 3);
  fromNothing.MergeLists(&fromNothing, nullptr);
  EXPECT_EQ(fromNothing.Count(), 3);
}

}  // namespace
}  // namespace tav

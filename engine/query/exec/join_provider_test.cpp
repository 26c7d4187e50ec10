#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_provider.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// A parsed condition over one leaf's fields, as the analyser hands a leaf
// its selection: the parser (and its tokens) outlive the tree's use.
struct TCondition {
  TTavPreParser PreParser;
  TTavExprParser Parser;
  TTableList Tables;
};

std::unique_ptr<TCondition> Parse(TTavNonJoinDataProvider& leaf, const std::string& text) {
  auto c = std::make_unique<TCondition>();
  TTableNameItem* item = c->Tables.Add();
  item->SetTableName(leaf.ProviderName());
  item->SetTableFields(leaf.GetProviderFields());
  c->PreParser.SetText(text);
  c->PreParser.SetParseAsExprOnly(true);
  c->PreParser.PreParseTokens();
  c->Parser.SetTableList(&c->Tables);
  EXPECT_TRUE(c->Parser.Execute(TTavParserOptions{tpoExtSyntax}, c->PreParser.GetSection(tstWhere, nullptr)))
      << text << ": " << c->Parser.GetErrorMsgNoLine();
  return c;
}

// A memory table "T" (K integer with an index, S string, W word, M smallint
// with an index, N memo) read through a bridge by a leaf named "T", correlation "x".
class LeafProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTavBaseTable t(nullptr);
    test::ConnectMemory(db_, t, "T");
    host::TFieldDefs& f = t.FieldDefs();
    f.Add("K", host::ftInteger);
    f.Add("S", host::ftString, 10);
    f.Add("W", host::ftWord);
    f.Add("M", host::ftSmallint);
    f.Add("N", host::ftMemo);
    t.IndexDefs().Add("byK", "K", host::TIndexOptions{});
    t.IndexDefs().Add("bySK", "S;K", host::TIndexOptions{});
    t.IndexDefs().Add("byM", "M", host::TIndexOptions{});
    t.CreateTable();
    t.Open();
    struct R { int k; const char* s; int w; int m; const char* n; };
    const R rows[] = {{3, "c", 65535, -1, "third"}, {1, "a", 1, 1, ""}, {2, "b", 2, 2, "two"},
                      {2, nullptr, 4, -4, "dup"}};
    for (const R& r : rows) {
      t.Append();
      t.FieldByName("K")->SetAsInteger(r.k);
      if (r.s) t.FieldByName("S")->SetAsString(r.s);
      t.FieldByName("W")->SetAsInteger(r.w);
      t.FieldByName("M")->SetAsInteger(r.m);
      if (*r.n) t.FieldByName("N")->SetAsString(r.n);
      t.Post();
    }
    t.Close();
    bridge_ = std::make_unique<TTavDatasetBridge>(nullptr);
    test::ConnectMemory(db_, *bridge_, "T");
    leaf_.SetDataBridge(bridge_.get());
    leaf_.SetProviderName("T");
    leaf_.CorrelationName = "x";
  }

  // K of every row the leaf walks.
  std::vector<int> Keys() {
    std::vector<int> out;
    const int k = leaf_.GetProviderFields()->FindField("K")->FieldNo();
    for (bool ok = leaf_.FirstProviderRecord(); ok; ok = leaf_.NextProviderRecord())
      out.push_back(leaf_.GetDataAsVariant(k).AsInteger());
    return out;
  }

  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavDatasetBridge> bridge_;
  TTavNonJoinDataProvider leaf_;
};

TEST_F(LeafProviderTest, SelectionsAreFiltersOfTheirOwnAndOutliveTheTreeTheyCameFrom) {
  leaf_.OpenProvider();
  EXPECT_EQ(Keys().size(), 4u);
  {
    auto c = Parse(leaf_, "K >= 2 AND M < 2");
    leaf_.SetJoinSelectExprRoot(c->Parser.Root);
  }  // the parsed tree is gone; the leaf runs its own copy
  // Rows come in address order (the order they were added): K 3, 1, 2, 2.
  EXPECT_EQ(Keys(), (std::vector<int>{3, 2}));
  {
    auto c = Parse(leaf_, "W = 4");
    leaf_.SetExtraSelectExpRoot(c->Parser.Root);
  }
  EXPECT_EQ(Keys(), (std::vector<int>{2}));
  leaf_.SetExtraSelectExpRoot(nullptr);
  EXPECT_EQ(Keys(), (std::vector<int>{3, 2}));
  leaf_.SetJoinSelectExprRoot(nullptr);
  EXPECT_EQ(Keys().size(), 4u);
}

TEST_F(LeafProviderTest, SelectionGivenBeforeOpenIsAppliedByOpenAndNullsDoNotPass) {
  auto c = Parse(leaf_, "S <> 'a'");
  leaf_.SetJoinSelectExprRoot(c->Parser.Root);
  EXPECT_FALSE(bridge_->Active());
  leaf_.OpenProvider();
  // The row whose S is Null passes neither S <> 'a' nor its negation.
  EXPECT_EQ(Keys(), (std::vector<int>{3, 2}));
}

TEST_F(LeafProviderTest, ValuesRawDataAndRecordIds) {
  leaf_.OpenProvider();
  TInternalFields& fields = *leaf_.GetProviderFields();
  const int s = fields.FindField("S")->FieldNo();
  const int n = fields.FindField("N")->FieldNo();
  const int w = fields.FindField("W")->FieldNo();
  ASSERT_TRUE(leaf_.FirstProviderRecord());
  const std::string id = leaf_.CurrentRecordIDAsString();
  EXPECT_EQ(id, std::to_string(bridge_->GetRecAddr()));
  EXPECT_NE(id, "");

  TDataHolder holder;
  leaf_.GetRawFieldData(s, holder);
  EXPECT_FALSE(holder.UsesStream);
  // By reference into the bridge's record, not a copy.
  EXPECT_GE(holder.Data, bridge_->RecordBuffer());
  EXPECT_LT(holder.Data, bridge_->RecordBuffer() + bridge_->RecordBufferSize());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(holder.Data), static_cast<size_t>(holder.Length)),
            leaf_.GetDataAsVariant(s).AsString());

  // Memos come as streams, rewound, and as text through the variant.
  bool sawMemo = false;
  for (bool ok = leaf_.FirstProviderRecord(); ok; ok = leaf_.NextProviderRecord()) {
    leaf_.GetRawFieldData(n, holder);
    const host::Variant v = leaf_.GetDataAsVariant(n);
    ASSERT_TRUE(holder.UsesStream);
    EXPECT_EQ(holder.Stream().Position(), 0);
    if (v.IsNull()) continue;
    sawMemo = true;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(holder.Stream().Memory()),
                          static_cast<size_t>(holder.Length)),
              v.AsString());
  }
  EXPECT_TRUE(sawMemo);
  // At the end the leaf has no current row.
  EXPECT_EQ(leaf_.CurrentRecordIDAsString(), "");

  // The missing side of an outer join's row: Null everywhere, no id.
  ASSERT_TRUE(leaf_.FirstProviderRecord());
  leaf_.ForceToNullValues = true;
  EXPECT_TRUE(leaf_.GetDataAsVariant(w).IsNull());
  leaf_.GetRawFieldData(w, holder);
  EXPECT_TRUE(holder.IsNull);
  EXPECT_EQ(leaf_.CurrentRecordIDAsString(), "");
}

TEST_F(LeafProviderTest, MovingByAddressAndCountingAClosedLeaf) {
  EXPECT_EQ(leaf_.GetRecordCount(), 4);
  EXPECT_FALSE(bridge_->Active());  // a closed leaf stays closed
  leaf_.OpenProvider();
  std::vector<uint32_t> addresses;
  for (bool ok = leaf_.FirstProviderRecord(); ok; ok = leaf_.NextProviderRecord())
    addresses.push_back(bridge_->GetRecAddr());
  const int k = leaf_.GetProviderFields()->FindField("K")->FieldNo();
  ASSERT_TRUE(leaf_.MoveToRecord(addresses[2]));
  EXPECT_EQ(leaf_.CurrentRecordIDAsString(), std::to_string(addresses[2]));
  EXPECT_FALSE(leaf_.GetDataAsVariant(k).IsNull());
  EXPECT_FALSE(leaf_.MoveToRecord(0xFFFFFF));
  EXPECT_EQ(leaf_.CurrentRecordIDAsString(), "");
  EXPECT_EQ(leaf_.GetRecordCount(), 4);
  EXPECT_TRUE(bridge_->Active());
}

TEST_F(LeafProviderTest, JoinFilterTexts) {
  leaf_.OpenProvider();
  auto raw = [](const void* p, int32_t n) {
    auto h = std::make_unique<TDataHolder>();
    h->IsNull = false;
    h->Data = static_cast<const uint8_t*>(p);
    h->Length = n;
    return h;
  };
  const int32_t seven = 7;
  auto h7 = raw(&seven, 4);
  leaf_.PrepareJoin({"K"});
  EXPECT_EQ(bridge_->IndexName(), "byK");
  leaf_.SetJoinValues(teoEQ, {"K"}, {h7.get()});
  EXPECT_EQ(bridge_->Filter(), "[K] = 7");
  EXPECT_TRUE(bridge_->Filtered());
  EXPECT_TRUE(Keys().empty());

  TDataHolder nullValue;
  leaf_.SetJoinValues(teoEQ, {"S"}, {&nullValue});
  EXPECT_EQ(bridge_->Filter(), "[S] IS NULL");
  EXPECT_EQ(Keys(), (std::vector<int>{2}));

  const int16_t minusOne = -1;
  const uint16_t top = 65535;
  const char p[] = "p";
  auto hm = raw(&minusOne, 2), hw = raw(&top, 2), hp = raw(p, 1);
  EXPECT_EQ(bridge_->BuildJoinFilterText(teoLE, {"M", "W", "S"}, {hm.get(), hw.get(), hp.get()}),
            "[M] <= -1 AND [W] <= 65535 AND [S] <= 'p'");

  // A base filter held when the join is prepared leads every text.
  bridge_->SetFiltered(false);
  bridge_->SetFilterText("K > 1");
  leaf_.PrepareJoin({"S", "K"});
  EXPECT_EQ(bridge_->IndexName(), "bySK");
  const int32_t two = 2;
  auto h2 = raw(&two, 4);
  EXPECT_EQ(bridge_->BuildJoinFilterText(teoEQ, {"S", "K"}, {hp.get(), h2.get()}),
            "K > 1 AND [S] = 'p' AND [K] = 2");

  // A quote inside a text value has no escape in the filter language: the
  // value is refused rather than turned into another condition.
  const char quoted[] = "a' OR 'b";
  auto hq = raw(quoted, 8);
  EXPECT_EQ(ErrorCodeOf([&] { leaf_.SetJoinValues(teoEQ, {"S"}, {hq.get()}); }), 10000);
  // The memo has no literal form.
  EXPECT_EQ(ErrorCodeOf([&] { (void)GetStringFromData(host::ftMemo, nullptr, 0); }), 10000);
}

TEST_F(LeafProviderTest, StatisticsAndHashLoadsFollowTheSelection) {
  leaf_.OpenProvider();
  TJoinStatistics stats;
  leaf_.AssessJoin({"K"}, stats);
  EXPECT_TRUE(stats.Indexed);
  leaf_.AssessJoin({"S"}, stats);
  EXPECT_TRUE(stats.Indexed);  // led by S
  leaf_.AssessJoin({"W"}, stats);
  EXPECT_FALSE(stats.Indexed);

  TTavBaseHash hash(16, 4, 16);
  hash.SetSourceFieldName("K");
  TCompoundList list;
  bool filterActive = true;
  bridge_->LoadHashTable(hash, list, filterActive);
  EXPECT_FALSE(filterActive);
  EXPECT_EQ(hash.KeyCount(), 4);

  auto c = Parse(leaf_, "K = 2");
  leaf_.SetJoinSelectExprRoot(c->Parser.Root);
  TTavBaseHash filtered(16, 4, 16);
  filtered.SetSourceFieldName("K");
  bridge_->LoadHashTable(filtered, list, filterActive);
  EXPECT_TRUE(filterActive);
  EXPECT_EQ(list.Count(), 2);
}

TEST_F(LeafProviderTest, KeyLookupsFindEachValuesRecordsAndLeaveTheWalkWhole) {
  leaf_.OpenProvider();
  TInternalFields& fields = *leaf_.GetProviderFields();
  const int k = fields.FindField("K")->FieldNo();
  // Integer fields that lead an index only.
  EXPECT_TRUE(leaf_.CanLookUpKey(k));
  EXPECT_FALSE(leaf_.CanLookUpKey(fields.FindField("S")->FieldNo()));
  EXPECT_FALSE(leaf_.CanLookUpKey(fields.FindField("W")->FieldNo()));
  EXPECT_FALSE(leaf_.CanLookUpKey(-1));
  ASSERT_TRUE(leaf_.PrepareKeyLookup(k));
  auto lookUp = [&](int32_t value) {
    std::vector<int> found;
    for (bool ok = leaf_.FirstKeyRecord(reinterpret_cast<const uint8_t*>(&value), 4); ok;
         ok = leaf_.NextKeyRecord())
      found.push_back(leaf_.GetDataAsVariant(fields.FindField("W")->FieldNo()).AsInteger());
    return found;
  };
  EXPECT_EQ(lookUp(2), (std::vector<int>{2, 4}));  // both records of the key
  EXPECT_EQ(lookUp(3), (std::vector<int>{65535}));
  EXPECT_TRUE(lookUp(5).empty());
  EXPECT_TRUE(lookUp(0).empty());
  EXPECT_TRUE(leaf_.CurrentRecordIDAsString().empty());
  // Opened again, the leaf walks every row (in the index's order or not).
  leaf_.OpenProvider();
  std::vector<int> keys = Keys();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<int>{1, 2, 2, 3}));
  EXPECT_EQ(leaf_.GetRecordCount(), 4);
  // A lookup after the walk finds its records again; lifted, the walk is whole.
  EXPECT_EQ(lookUp(1), (std::vector<int>{1}));
  bridge_->EndKeyLookup();
  EXPECT_EQ(Keys().size(), 4u);
  // A leaf with a selection is filtered, never looked up.
  auto c = Parse(leaf_, "K > 1");
  leaf_.SetJoinSelectExprRoot(c->Parser.Root);
  EXPECT_FALSE(leaf_.CanLookUpKey(k));
  EXPECT_FALSE(leaf_.PrepareKeyLookup(k));
}

TEST_F(LeafProviderTest, KeyRangesSetAgainFollowEachNewCondition) {
  leaf_.SetKeyRangesAllowed(true);
  leaf_.OpenProvider();
  // The values as a planned statement holds them: integers.
  std::function<void(TTavExprNode*)> integers = [&](TTavExprNode* node) {
    if (node == nullptr) return;
    if (node->Kind == enkConst) node->Data = host::Variant(node->Data.AsInteger());
    integers(node->Left);
    integers(node->Right);
  };
  auto select = [&](const char* text) {
    auto c = Parse(leaf_, text);
    integers(c->Parser.Root);
    leaf_.SetJoinSelectExprRoot(c->Parser.Root);
    std::vector<int> keys = Keys();
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  EXPECT_EQ(select("K = 2"), (std::vector<int>{2, 2}));
  EXPECT_TRUE(bridge_->KeyRangeSelected());
  // New values on the same field, one after another.
  EXPECT_EQ(select("K = 3"), (std::vector<int>{3}));
  EXPECT_EQ(select("K >= 2"), (std::vector<int>{2, 2, 3}));
  EXPECT_TRUE(select("K = 7").empty());
  EXPECT_EQ(select("K <= 1 AND K >= 0"), (std::vector<int>{1}));
  // Another field while the first one's range is in force: its own index.
  EXPECT_EQ(select("M = 2"), (std::vector<int>{2}));
  EXPECT_TRUE(bridge_->KeyRangeSelected());
  EXPECT_EQ(select("M >= 1"), (std::vector<int>{1, 2}));
  EXPECT_EQ(select("K = 2"), (std::vector<int>{2, 2}));
  // Another index made current under the range: the next range goes back
  // to the field's own.
  bridge_->PrepareJoin({"S"});
  EXPECT_EQ(select("K = 1"), (std::vector<int>{1}));
  // A filter in between, then a range again.
  EXPECT_EQ(select("W = 4"), (std::vector<int>{2}));
  EXPECT_FALSE(bridge_->KeyRangeSelected());
  EXPECT_EQ(select("K = 3"), (std::vector<int>{3}));
  // Closed and opened again: the range is found afresh.
  bridge_->Close();
  leaf_.OpenProvider();
  EXPECT_EQ(select("K = 2"), (std::vector<int>{2, 2}));
  EXPECT_EQ(select("K = 1"), (std::vector<int>{1}));
}

TEST_F(LeafProviderTest, AUniqueKeyReadsItsRecordAndCountsItsNumberOnlyWhenAsked) {
  {
    TTavBaseTable t(nullptr);
    test::ConnectMemory(db_, t, "U");
    t.FieldDefs().Add("ID", host::ftInteger);
    t.IndexDefs().Add("byID", "ID", host::TIndexOptions{host::ixUnique});
    t.CreateTable();
    t.Open();
    for (int id : {40, 10, 30, 20, 50}) {
      t.Append();
      t.FieldByName("ID")->SetAsInteger(id);
      t.Post();
    }
    t.Close();
  }
  TTavDatasetBridge bridge(nullptr);
  test::ConnectMemory(db_, bridge, "U");
  TTavNonJoinDataProvider leaf;
  leaf.SetDataBridge(&bridge);
  leaf.SetProviderName("U");
  leaf.SetKeyRangesAllowed(true);
  leaf.OpenProvider();
  const int id = leaf.GetProviderFields()->FindField("ID")->FieldNo();
  // The values as a planned statement holds them: integers.
  std::function<void(TTavExprNode*)> integers = [&](TTavExprNode* node) {
    if (node == nullptr) return;
    if (node->Kind == enkConst) node->Data = host::Variant(node->Data.AsInteger());
    integers(node->Left);
    integers(node->Right);
  };
  std::unique_ptr<TCondition> c;
  auto lookUp = [&](int value) {
    c = Parse(leaf, "ID = " + std::to_string(value));
    integers(c->Parser.Root);
    leaf.SetJoinSelectExprRoot(c->Parser.Root);
    EXPECT_TRUE(bridge.KeyRangeSelected());
    return leaf.FirstProviderRecord();
  };
  ASSERT_TRUE(lookUp(30));
  EXPECT_EQ(leaf.GetDataAsVariant(id).AsInteger(), 30);
  // The first of its range, and third in the index.
  EXPECT_EQ(bridge.DataSetGetRecordNo(), 1);
  EXPECT_EQ(bridge.GetRangeEndRecNo(rmRangeStart), 3);
  EXPECT_FALSE(leaf.NextProviderRecord());

  // Counted after the index was moved elsewhere: found again by its key.
  ASSERT_TRUE(lookUp(50));
  EXPECT_EQ(bridge.GetRangeEndRecNo(rmRangeEnd), 5);
  EXPECT_EQ(bridge.DataSetGetRecordNo(), 1);
  EXPECT_EQ(bridge.GetRangeEndRecNo(rmRangeStart), 5);
  EXPECT_FALSE(lookUp(35));

  // A range of several keys is stepped as before.
  c = Parse(leaf, "ID >= 20 AND ID <= 40");
  integers(c->Parser.Root);
  leaf.SetJoinSelectExprRoot(c->Parser.Root);
  std::vector<int> seen;
  for (bool ok = leaf.FirstProviderRecord(); ok; ok = leaf.NextProviderRecord()) {
    seen.push_back(static_cast<int>(leaf.GetDataAsVariant(id).AsInteger()));
    EXPECT_EQ(bridge.DataSetGetRecordNo(), static_cast<int>(seen.size()));
  }
  EXPECT_EQ(seen, (std::vector<int>{20, 30, 40}));
}

TEST(JoinProviderTree, NamesAndTheBaseRefusingJoinValues) {
  TTavBaseJoinDataProvider join, left, right;
  join.SetProviderName("J");
  left.SetProviderName("A");
  right.SetProviderName("B");
  join.OuterProvider = &left;
  join.InnerProvider = &right;
  EXPECT_EQ(join.FindJoinProvider("b"), &right);
  EXPECT_EQ(join.FindProvider("A"), &left);
  EXPECT_EQ(join.FindJoinProvider("j"), &join);
  EXPECT_EQ(join.FindJoinProvider("C"), nullptr);
  EXPECT_EQ(join.GetRecordCount(), -1);
  EXPECT_EQ(join.CurrentRecordIDAsString(), "");
  EXPECT_THROW(join.SetJoinValues(teoEQ, {"K"}, {}), host::Exception);

  host::TStringList lines;
  join.DebugDumpProviderNames("-", lines);
  EXPECT_EQ(lines.Text(), "-outer ->\r\n--A\r\n-J\r\n-inner ->\r\n--B\r\n");
}

TEST(JoinFields, ItemsCarryTheirSourceAndEvaluateOnTheirProvider) {
  TJoinFields fields;
  TTavBaseJoinDataProvider provider;
  TJoinFieldItem* item = fields.Add();
  item->SetFieldName("K");
  item->SetDataType(host::ftInteger);
  item->SourceFieldNo = 3;
  item->DataProvider = &provider;
  TJoinFields copy;
  copy.Assign(fields);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy.Items(0)->SourceFieldNo, 3);
  EXPECT_EQ(copy.Items(0)->DataProvider, &provider);
  EXPECT_EQ(copy.Items(0)->FieldName(), "K");

  TJoinFieldItem orphan;
  EXPECT_THROW(orphan.PrepareJoinExprEvaluator(nullptr), host::EAssertionFailed);
}

}  // namespace
}  // namespace tav

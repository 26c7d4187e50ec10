#include "engine/components/tav_filter_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/components/tav_data_set.h"
#include "engine/components/testing/filter_test_support.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

using host::TIndexOptions;
using test::ErrorCodeOf;
using test::kFilterTexts;
using test::TFilterMaker;
using test::TParsedFilter;

// A cursor whose OnFilterRecord verdict is a test's predicate on the record.
class TFilteredCursor : public TTavDataSet {
 public:
  using TTavDataSet::TTavDataSet;
  bool RecordProcFilter(const uint8_t* record) override {
    ++Asked;
    return !Refuse || !Refuse(record);
  }
  std::function<bool(const uint8_t*)> Refuse;
  int Asked = 0;
};

struct TItem : test::TFilterRow {
  uint32_t Address = 0;
  int32_t ID = 0;
};

// A memory table "Items": ID (unique), Name (case-insensitive index), Code,
// Grp (descending index), Grp;Name, Amount and a memo without index.
class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.SetDataBaseName("MEMORY");
    db_.Open();
    ds_.SetDataBase(&db_);
    ds_.SetMemory(true);
    ds_.SetTableName("Items");
    host::TFieldDefs fields;
    fields.Add("ID", host::ftInteger, 0, true);
    fields.Add("Name", host::ftString, 12);
    fields.Add("Code", host::ftString, 6);
    fields.Add("Grp", host::ftInteger);
    fields.Add("Amount", host::ftFloat);
    fields.Add("Note", host::ftMemo);
    host::TIndexDefs indexes;
    indexes.Add("pk", "ID", TIndexOptions{host::ixPrimary, host::ixUnique});
    indexes.Add("byName", "Name", TIndexOptions{host::ixCaseInsensitive});
    indexes.Add("byCode", "Code", TIndexOptions{});
    indexes.Add("byGrpDesc", "Grp", TIndexOptions{host::ixDescending});
    indexes.Add("byGrpName", "Grp;Name", TIndexOptions{});
    ds_.SetTableDef(true, fields, indexes);
    ds_.InternalCreateTable();
    conn_ = std::make_unique<test::TTableConnection>(db_.MemoryTableMgr(), ds_.TableDef());
  }
  void TearDown() override {
    ds_.DataSetClose();
    conn_.reset();
  }

  uint32_t Insert(TItem& item) {
    std::vector<uint8_t> rec = conn_->NewRecord();
    conn_->SetInteger(rec, "ID", item.ID);
    if (item.Name) conn_->SetString(rec, "Name", *item.Name);
    if (item.Code) conn_->SetString(rec, "Code", *item.Code);
    if (item.Grp) conn_->SetInteger(rec, "Grp", *item.Grp);
    if (item.Amount) {
      const TInternalFieldItem& f = conn_->Field("Amount");
      rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
      std::memcpy(rec.data() + f.DataOffset(), &*item.Amount, 8);
    }
    std::map<std::string, std::string> blobs;
    if (!item.Note.empty()) blobs["Note"] = item.Note;
    item.Address = conn_->Insert(rec, blobs);
    return item.Address;
  }

  void Fill(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) {
      TItem item;
      static_cast<test::TFilterRow&>(item) = test::RandomFilterRow(rng);
      item.ID = i * 2 + 1;  // gaps for searches between keys
      Insert(item);
      rows_[item.Address] = item;
    }
  }

  int32_t IdOf(const uint8_t* record) const { return conn_->GetInteger(record, "ID"); }

  std::vector<uint32_t> WalkForward() { return test::WalkAddresses(ds_, true); }
  std::vector<uint32_t> WalkBackward() { return test::WalkAddresses(ds_, false); }

  // The master list: the current index inside the range, with record numbers.
  void MasterList(std::vector<uint32_t>& addresses, std::vector<int32_t>& recNos) {
    TCompoundList list;
    ds_.InternalPrepareMasterRecordList(list);
    addresses = list.List1();
    recNos.assign(list.List2().begin(), list.List2().end());
  }

  // The record numbers the cursor shows (from the range start), by address.
  std::map<uint32_t, int32_t> CursorRecNos(const std::vector<uint32_t>& master,
                                           const std::vector<int32_t>& nos) {
    std::map<uint32_t, int32_t> recNo;
    for (size_t i = 0; i < master.size(); ++i)
      recNo[master[i]] = ds_.RangeOn() ? nos[i] - nos[0] + 1 : nos[i];
    return recNo;
  }

  std::vector<uint32_t> Oracle(const std::string& text, host::TFilterOptions options) {
    return test::FilterOracle(ds_, text, options);
  }

  // Sets a range on the current index from two record images.
  void SetRange(const std::function<void(std::vector<uint8_t>&)>& lo,
                const std::function<void(std::vector<uint8_t>&)>& hi) {
    ds_.InitializeRangeBuffers(rmRangeStart);
    ds_.InitializeRangeBuffers(rmRangeEnd);
    for (TRangeMode m : {rmRangeStart, rmRangeEnd}) {
      std::vector<uint8_t> rec(ds_.GetRangeRecBuf(m), ds_.GetRangeRecBuf(m) + ds_.RecordSize());
      (m == rmRangeStart ? lo : hi)(rec);
      std::memcpy(ds_.GetRangeRecBuf(m), rec.data(), rec.size());
    }
    ds_.SetRangeOn(true);
  }

  bool FindId(int32_t id, TIndexSearchType type) {
    std::vector<uint8_t> buf(static_cast<size_t>(ds_.RecordBufferSize()));
    ds_.InitializeNewRecord(buf.data(), false);
    std::vector<uint8_t> rec(buf.begin(), buf.begin() + ds_.RecordSize());
    conn_->SetInteger(rec, "ID", id);
    std::copy(rec.begin(), rec.end(), buf.begin());
    return ds_.FindBuf(buf.data(), type, "pk", nullptr, false);
  }

  TTavDataBase db_{nullptr};
  TFilteredCursor ds_{nullptr};
  std::unique_ptr<test::TTableConnection> conn_;
  std::map<uint32_t, TItem> rows_;
};

// The model test: for random filters over every index, with and without a
// range and an OnFilterRecord handler that refuses some rows, every way of
// moving through the dataset gives exactly the rows, order, numbers and
// counts that evaluating every row gives.
TEST_F(FilterTest, NavigationGivesWhatEvaluatingEveryRowGives) {
  Fill(260, 7);
  ds_.SetOnFilterRecord([](host::TDataSet*, bool&) {});
  ds_.DataSetOpen();
  TFilterMaker maker(3);
  const char* indexes[] = {"pk", "byName", "byCode", "byGrpDesc", "byGrpName"};
  std::mt19937 rng(99);
  auto pick = [&](int k) { return static_cast<int>(rng() % static_cast<uint32_t>(k)); };
  int nonEmpty = 0, ranged = 0, served = 0;
  for (int round = 0; round < 120; ++round) {
    const std::string text = maker.Make(round % 3);
    host::TFilterOptions options;
    if (pick(3) == 0) options.Include(host::foCaseInsensitive);
    if (pick(4) == 0) options.Include(host::foNoPartialCompare);
    const std::string index = indexes[pick(5)];
    const bool handler = pick(2) == 0;
    SCOPED_TRACE(text + " on " + index + (handler ? " with handler" : ""));
    ds_.InternalSetIndexName(index);
    ds_.SetRangeOn(false);
    const bool range = (index == "pk" || index == "byGrpName") && pick(2) == 0;
    if (range && index == "pk") {
      const int32_t lo = pick(300), hi = pick(400);
      SetRange([&](auto& r) { conn_->SetInteger(r, "ID", lo); },
               [&](auto& r) { conn_->SetInteger(r, "ID", hi); });
    } else if (range) {
      const int32_t lo = pick(5) - 3, hi = lo + pick(3);
      SetRange([&](auto& r) { conn_->SetInteger(r, "Grp", lo); },
               [&](auto& r) { conn_->SetInteger(r, "Grp", hi); });
    }
    ds_.Refuse = nullptr;
    if (handler) ds_.Refuse = [&](const uint8_t* rec) { return IdOf(rec) % 3 == 0; };
    ds_.InternalSetFilter(text, options);
    ASSERT_TRUE(ds_.FilterActive());
    EXPECT_FALSE(ds_.IsSequenced());
    served += ds_.FilterMgr().Evaluator()->GetOptimisationLevel() != olNone;

    std::vector<uint32_t> master;
    std::vector<int32_t> masterNos;
    MasterList(master, masterNos);
    std::vector<uint32_t> expected;
    for (uint32_t a : Oracle(text, options))
      if (!handler || rows_.at(a).ID % 3 != 0) expected.push_back(a);
    nonEmpty += !expected.empty();
    ranged += ds_.RangeOn();

    // Counted before any walk puts the records in order, and after.
    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(WalkForward(), expected);
    EXPECT_EQ(WalkBackward(), expected);
    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
    // Record numbers count in the unfiltered order, from the range start.
    const std::map<uint32_t, int32_t> recNo = CursorRecNos(master, masterNos);
    size_t i = 0;
    for (bool ok = ds_.DataSetFirst(); ok && i < expected.size(); ok = ds_.DataSetNext(), ++i)
      ASSERT_EQ(ds_.DataSetGetRecordNo(), recNo.at(expected[i]));

    if (index != "pk") continue;
    // Key searches stay inside the filter (and the range).
    std::vector<int32_t> ids;
    for (uint32_t a : expected) ids.push_back(rows_.at(a).ID);
    for (int probe = 0; probe < 6; ++probe) {
      const int32_t key = pick(540) - 10;
      struct TCase {
        TIndexSearchType Type;
        std::optional<int32_t> Want;
      };
      auto lower = std::lower_bound(ids.begin(), ids.end(), key);
      auto upper = std::upper_bound(ids.begin(), ids.end(), key);
      std::vector<TCase> cases = {
          {stGE, lower != ids.end() ? std::optional(*lower) : std::nullopt},
          {stGT, upper != ids.end() ? std::optional(*upper) : std::nullopt},
          {stLE, upper != ids.begin() ? std::optional(*(upper - 1)) : std::nullopt},
          {stLT, lower != ids.begin() ? std::optional(*(lower - 1)) : std::nullopt},
          {stEQ, lower != ids.end() && *lower == key ? std::optional(key) : std::nullopt}};
      for (const TCase& c : cases) {
        SCOPED_TRACE("key " + std::to_string(key) + " search " + std::to_string(c.Type));
        const bool found = FindId(key, c.Type);
        ASSERT_EQ(found, c.Want.has_value());
        if (found) {
          EXPECT_EQ(rows_.at(ds_.DatasetGetRecAddr()).ID, *c.Want);
        }
      }
    }
  }
  EXPECT_GT(nonEmpty, 60);
  EXPECT_GT(ranged, 10);
  EXPECT_GT(served, 30);  // answered through the indexes
  EXPECT_FALSE(ds_.ReadLocked());
}

// Equality over values with hundreds of duplicates (runs across several
// leaves), filtered on the index in use (ascending, descending, ignoring
// case) and on another one, with and without a range, and a filter most
// records pass: counts, record numbers, steps of several records and the
// nearest passing record of one outside agree with evaluating every row.
TEST_F(FilterTest, EqualityOverDuplicatesAcrossLeavesKeepsNumbersAndSteps) {
  Fill(2400, 23);
  ds_.DataSetOpen();
  struct TCase {
    const char* Index;
    const char* Text;
    bool CaseInsensitive;
    bool Range;
    bool Run;  // answered by one walk of the index in use
  };
  const TCase cases[] = {
      {"byGrpDesc", "Grp = 1", false, false, true},
      {"byGrpDesc", "Grp = -3", false, false, true},
      {"byGrpDesc", "Grp BETWEEN -1 AND 2", false, false, true},
      {"byCode", "Code = 'anna'", false, false, true},
      {"byName", "Name = 'anna'", true, false, true},
      {"byName", "Name > 'bob'", true, false, true},
      {"byGrpName", "Grp = 2", false, false, false},
      {"byGrpName", "Grp = 2", false, true, false},
      {"pk", "Grp = 0", false, false, false},
      {"pk", "Grp >= -2", false, false, false},
      {"pk", "Grp >= -2", false, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Text) + " on " + c.Index + (c.Range ? " in a range" : ""));
    ds_.InternalSetIndexName(c.Index);
    ds_.SetRangeOn(false);
    if (c.Range && std::string(c.Index) == "pk") {
      SetRange([&](auto& r) { conn_->SetInteger(r, "ID", 700); },
               [&](auto& r) { conn_->SetInteger(r, "ID", 3900); });
    } else if (c.Range) {
      SetRange([&](auto& r) { conn_->SetInteger(r, "Grp", 1); },
               [&](auto& r) { conn_->SetInteger(r, "Grp", 2); });
    }
    host::TFilterOptions options;
    if (c.CaseInsensitive) options.Include(host::foCaseInsensitive);
    ds_.InternalSetFilter(c.Text, options);
    TFilterMgr& mgr = ds_.FilterMgr();
    EXPECT_EQ(mgr.Evaluator()->RunTree == &ds_.IndexManager().CurrentIndex()->Tree(), c.Run);
    std::vector<uint32_t> master;
    std::vector<int32_t> masterNos;
    MasterList(master, masterNos);
    const std::map<uint32_t, int32_t> recNo = CursorRecNos(master, masterNos);
    const std::vector<uint32_t> expected = Oracle(c.Text, options);
    ASSERT_GT(expected.size(), 150u);

    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(WalkForward(), expected);
    EXPECT_EQ(WalkBackward(), expected);
    size_t i = 0;
    for (bool ok = ds_.DataSetFirst(); ok && i < expected.size(); ok = ds_.DataSetNext(), ++i)
      ASSERT_EQ(ds_.DataSetGetRecordNo(), recNo.at(expected[i]));
    EXPECT_EQ(i, expected.size());

    ds_.ReadLockTable();
    const int n = static_cast<int>(expected.size());
    for (const int from : {0, n / 3, n - 1})
      for (const int by : {1, 97, -5, n, -n}) {
        const int to = from + by;
        EXPECT_EQ(mgr.MoveBy(expected[static_cast<size_t>(from)], by),
                  to >= 0 && to < n ? expected[static_cast<size_t>(to)] : 0u)
            << from << " by " << by;
      }
    // The nearest passing records of one that does not pass, either way.
    std::vector<size_t> at(master.size());
    for (size_t m = 0, f = 0; m < master.size(); ++m) {
      while (f < expected.size() && recNo.at(expected[f]) <= recNo.at(master[m])) ++f;
      at[m] = f;  // the first passing record after master[m]
    }
    int outside = 0;
    for (size_t m = 0; m < master.size() && outside < 40; ++m) {
      if (mgr.CheckRecordInFilter(master[m])) continue;
      ++outside;
      const uint32_t next = at[m] < expected.size() ? expected[at[m]] : 0;
      const uint32_t prior = at[m] > 0 ? expected[at[m] - 1] : 0;
      EXPECT_EQ(mgr.FindFilterRecord(master[m], stGT), next);
      EXPECT_EQ(mgr.FindFilterRecord(master[m], stLE), prior);
      EXPECT_EQ(mgr.FindFilterRecord(master[m], stLEG), next ? next : prior);
      EXPECT_EQ(mgr.GetRecNo(master[m]), masterNos[m]);
    }
    ds_.UnlockTable();
  }
}

// A filter just opened answers First and Last (with their record numbers)
// before its records are put in the index's order: from the passing records'
// keys when few pass, by a short walk of the index when many do, and by the
// keys again when the walk finds none soon. Each end agrees with evaluating
// every row, on every index, with and without a range.
TEST_F(FilterTest, EndsOfAFreshFilterAgreeWithEvaluatingEveryRow) {
  Fill(260, 11);
  ds_.DataSetOpen();
  TFilterMaker maker(5);
  const char* indexes[] = {"pk", "byName", "byCode", "byGrpDesc", "byGrpName"};
  std::mt19937 rng(3);
  auto pick = [&](int k) { return static_cast<int>(rng() % static_cast<uint32_t>(k)); };
  // Few, many, and many of them at the far end of the primary index.
  std::vector<std::string> texts = {"ID > 499", "ID < 21", "ID = 101", "Grp = 2", "ID > 300"};
  for (int i = 0; i < 60; ++i) texts.push_back(maker.Make(i % 2));
  int few = 0, many = 0;
  for (size_t round = 0; round < texts.size() * 2; ++round) {
    const std::string& text = texts[round / 2];
    const std::string index = round < 10 ? "pk" : indexes[pick(5)];
    SCOPED_TRACE(text + " on " + index);
    ds_.InternalSetIndexName(index);
    ds_.SetRangeOn(false);
    if (round % 2 == 1 && index == "pk") {
      const int32_t lo = pick(300), hi = lo + pick(300);
      SetRange([&](auto& r) { conn_->SetInteger(r, "ID", lo); },
               [&](auto& r) { conn_->SetInteger(r, "ID", hi); });
    } else if (round % 2 == 1 && index == "byGrpName") {
      const int32_t lo = pick(5) - 3, hi = lo + pick(3);
      SetRange([&](auto& r) { conn_->SetInteger(r, "Grp", lo); },
               [&](auto& r) { conn_->SetInteger(r, "Grp", hi); });
    }
    std::vector<uint32_t> master;
    std::vector<int32_t> masterNos;
    MasterList(master, masterNos);
    const std::map<uint32_t, int32_t> recNo = CursorRecNos(master, masterNos);
    const std::vector<uint32_t> expected = Oracle(text, host::TFilterOptions{});
    (expected.size() * expected.size() * 4 > master.size() ? many : few) += 1;
    for (bool first : {true, false}) {
      ds_.InternalSetFilter(text, host::TFilterOptions{});
      EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
      const bool found = first ? ds_.DataSetFirst() : ds_.DataSetLast();
      ASSERT_EQ(found, !expected.empty());
      if (!found) continue;
      const uint32_t want = first ? expected.front() : expected.back();
      EXPECT_EQ(ds_.DatasetGetRecAddr(), want);
      EXPECT_EQ(ds_.DataSetGetRecordNo(), recNo.at(want));
      // And a step on from there goes where the placed filter says.
      const bool moved = first ? ds_.DataSetNext() : ds_.DataSetPrior();
      ASSERT_EQ(moved, expected.size() > 1);
      if (moved) {
        EXPECT_EQ(ds_.DatasetGetRecAddr(), first ? expected[1] : expected[expected.size() - 2]);
      }
    }
  }
  EXPECT_GT(few, 10);
  EXPECT_GT(many, 10);
  EXPECT_FALSE(ds_.ReadLocked());
}

// Filters whose rows a plain predicate over the stored values gives: the
// provider reads every column type, Nulls, text BLOBs and the options.
TEST_F(FilterTest, ValuesReachTheEvaluatorAsStored) {
  Fill(150, 11);
  ds_.DataSetOpen();
  auto text = [](const std::optional<std::string>& s) { return s.value_or(""); };
  auto same = [](const std::string& a, const std::string& b, bool ci) {
    return DBANSICompareStrings(a.data(), b.data(), static_cast<int>(a.size()),
                                static_cast<int>(b.size()), ci, false) == 0;
  };
  struct TCase {
    std::string Text;
    bool CaseInsensitive;
    std::function<bool(const TItem&)> Want;
  };
  const std::vector<TCase> cases = {
      {"Grp = 2", false, [](const TItem& r) { return r.Grp == 2; }},
      {"Grp IS NULL", false, [](const TItem& r) { return !r.Grp; }},
      {"Amount >= 0.5", false, [](const TItem& r) { return r.Amount && *r.Amount >= 0.5; }},
      {"Name = 'anna'", false, [&](const TItem& r) { return same(text(r.Name), "anna", false); }},
      {"Name = 'anna'", true, [&](const TItem& r) { return same(text(r.Name), "anna", true); }},
      {"Code = '\xC9T\xC9'", true, [&](const TItem& r) { return same(text(r.Code), "\xC9T\xC9", true); }},
      // Null is the empty text in the host's filters.
      {"Name = ''", false, [&](const TItem& r) { return text(r.Name).empty(); }},
      {"Note LIKE 'hello'", false, [](const TItem& r) { return r.Note == "hello"; }},
      {"Note LIKE '%lo%'", false,
       [](const TItem& r) { return r.Note.find("lo") != std::string::npos; }},
      {"Note IS NULL", false, [](const TItem& r) { return r.Note.empty(); }},
      {"ID < 21 AND Grp <> 0", false,
       [](const TItem& r) { return r.ID < 21 && (!r.Grp || *r.Grp != 0); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text + (c.CaseInsensitive ? " (case-insensitive)" : ""));
    host::TFilterOptions options;
    if (c.CaseInsensitive) options.Include(host::foCaseInsensitive);
    ds_.InternalSetFilter(c.Text, options);
    std::vector<uint32_t> expected;
    for (const auto& [address, row] : rows_)
      if (c.Want(row)) expected.push_back(address);
    std::vector<uint32_t> got = WalkForward();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
  }
}

// Bad texts raise 10051 with the parser's message and leave the filter that
// was active; an empty text filters nothing out.
TEST_F(FilterTest, BadTextsRaiseAndKeepTheFilterThatWasActive) {
  Fill(80, 5);
  ds_.DataSetOpen();
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "(";
  deep += "Grp = 1";
  for (int i = 0; i < 3000; ++i) deep += ")";
  const std::vector<std::string> bad = {"Grp =",          "Nope = 1",       "Grp = 1 AND",
                                        "Name = 'abc",    "Grp = 1 2",      "(Grp = 1",
                                        "Grp = 1; ID = 2", "Items.Nope = 3", deep};
  // Without an active filter a failure leaves none.
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 40));
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { ds_.InternalSetFilter(text, {}); }, &message), 10051);
    EXPECT_NE(message.find("Character"), std::string::npos) << message;
    EXPECT_FALSE(ds_.FilterActive());
    EXPECT_TRUE(ds_.IsSequenced());
  }
  ds_.InternalSetFilter("Grp = 1", {});
  const std::vector<uint32_t> before = WalkForward();
  ASSERT_FALSE(before.empty());
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 40));
    EXPECT_EQ(ErrorCodeOf([&] { ds_.InternalSetFilter(text, {}); }), 10051);
    ASSERT_TRUE(ds_.FilterActive());
    EXPECT_EQ(ds_.FilterMgr().FilterText(), "Grp = 1");
    EXPECT_EQ(WalkForward(), before);
    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(before.size()));
  }
  EXPECT_FALSE(ds_.ReadLocked());
  ds_.InternalSetFilter("", {});
  EXPECT_EQ(ds_.GetCurrentRecordCount(), 80);
  EXPECT_EQ(WalkForward().size(), 80u);
  ds_.InternalClearFilter();
  EXPECT_TRUE(ds_.IsSequenced());
  EXPECT_EQ(WalkForward().size(), 80u);
}

// Another connection's writes show at the next lock: new passing rows
// appear and deleted ones go, also when the deleted row is the current one.
TEST_F(FilterTest, OtherWritersChangesShowAtTheNextLock) {
  Fill(60, 9);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ds_.InternalSetFilter("Grp = 1", {});
  auto model = [&] {
    std::vector<uint32_t> out;
    std::vector<std::pair<int32_t, uint32_t>> byId;
    for (const auto& [a, r] : rows_)
      if (r.Grp == 1) byId.emplace_back(r.ID, a);
    std::sort(byId.begin(), byId.end());
    for (const auto& p : byId) out.push_back(p.second);
    return out;
  };
  ASSERT_EQ(WalkForward(), model());
  TItem added;
  added.ID = 1000;
  added.Grp = 1;
  Insert(added);
  rows_[added.Address] = added;
  TItem other;
  other.ID = 1001;
  other.Grp = 2;
  Insert(other);
  rows_[other.Address] = other;
  EXPECT_EQ(WalkForward(), model());
  EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(model().size()));

  // The current row is deleted under the cursor: the next step goes on from
  // where it stood.
  const std::vector<uint32_t> passing = model();
  ASSERT_GE(passing.size(), 4u);
  ASSERT_TRUE(ds_.DataSetFirst());
  ASSERT_TRUE(ds_.DataSetNext());
  const uint32_t doomed = ds_.DatasetGetRecAddr();
  ASSERT_EQ(doomed, passing[1]);
  conn_->Delete(doomed);
  rows_.erase(doomed);
  ASSERT_TRUE(ds_.DataSetNext());
  EXPECT_EQ(ds_.DatasetGetRecAddr(), passing[2]);
  conn_->Delete(passing[2]);
  rows_.erase(passing[2]);
  ASSERT_TRUE(ds_.DataSetPrior());
  EXPECT_EQ(ds_.DatasetGetRecAddr(), passing[0]);
  EXPECT_EQ(WalkForward(), model());
  EXPECT_FALSE(ds_.ReadLocked());
}

// The manager's own rules, on the lists of an open filter.
TEST_F(FilterTest, ManagerAnswersFromItsLists) {
  Fill(40, 13);
  ds_.SetOnFilterRecord([](host::TDataSet*, bool&) {});
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ds_.InternalSetFilter("Grp >= 0", {});
  TFilterMgr& mgr = ds_.FilterMgr();
  const std::vector<uint32_t> list = *mgr.GetCurrentFilterList();
  ASSERT_GE(list.size(), 6u);
  std::vector<uint32_t> master;
  std::vector<int32_t> nos;
  MasterList(master, nos);
  uint32_t outside = 0;
  for (uint32_t a : master)
    if (std::find(list.begin(), list.end(), a) == list.end()) outside = a;
  ASSERT_NE(outside, 0u);
  ds_.ReadLockTable();
  EXPECT_EQ(mgr.MoveBy(list[2], 0), list[2]);
  EXPECT_EQ(mgr.MoveBy(list[2], 3), list[5]);
  EXPECT_EQ(mgr.MoveBy(list[2], -2), list[0]);
  EXPECT_EQ(mgr.MoveBy(list[2], -3), 0u);
  EXPECT_EQ(mgr.MoveBy(outside, 1), 0u);
  EXPECT_EQ(mgr.FindFilterRecord(outside, stEQ), 0u);
  EXPECT_EQ(mgr.FindFilterRecord(0, stGE), 0u);
  const auto at = std::find(master.begin(), master.end(), outside) - master.begin();
  uint32_t next = 0, prior = 0;
  for (auto i = at + 1; i < static_cast<long>(master.size()) && !next; ++i)
    if (std::find(list.begin(), list.end(), master[static_cast<size_t>(i)]) != list.end())
      next = master[static_cast<size_t>(i)];
  for (auto i = at - 1; i >= 0 && !prior; --i)
    if (std::find(list.begin(), list.end(), master[static_cast<size_t>(i)]) != list.end())
      prior = master[static_cast<size_t>(i)];
  EXPECT_EQ(mgr.FindFilterRecord(outside, stLEG), next ? next : prior);
  EXPECT_EQ(mgr.FindFilterRecord(outside, stLE), prior);
  EXPECT_EQ(mgr.FindFilterRecord(outside, stGT), next);
  EXPECT_EQ(mgr.GetRecNo(master[3]), nos[3]);
  // A handler that refuses the first two rows of the list: skipped by the
  // ends, by steps and by the count.
  ds_.Refuse = [&](const uint8_t* rec) {
    const int32_t id = IdOf(rec);
    return id == rows_.at(list[0]).ID || id == rows_.at(list[1]).ID;
  };
  mgr.RefreshDataProvider();
  EXPECT_EQ(mgr.MoveToEnd(true), list[2]);
  EXPECT_EQ(mgr.MoveBy(list[3], -1), list[2]);
  EXPECT_EQ(mgr.MoveBy(list[3], -2), 0u);
  EXPECT_EQ(mgr.GetFilterRecordCount(), static_cast<int>(list.size()) - 2);
  EXPECT_FALSE(mgr.CheckRecordInFilter(list[1]));
  EXPECT_TRUE(mgr.CheckRecordInFilter(list[2]));
  ds_.UnlockTable();
  // In an active query a record number is the address, and a neighbour
  // search is refused.
  mgr.SetQueryActive(true);
  EXPECT_EQ(mgr.GetRecNo(list[4]), static_cast<int32_t>(list[4]));
  mgr.SetQueryActive(false);

}

// A condition parsed elsewhere (as the query engine hands it over), alone
// or joined to the one held, and evaluated again after another writer's
// change; and the SQL null rules when asked for.
TEST_F(FilterTest, AssignedConditionsAndNullRules) {
  Fill(90, 19);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  auto parsed = [&](const std::string& text) {
    auto p = std::make_unique<TParsedFilter>();
    p->Provider.Initialize(&ds_);
    TTableNameItem* item = p->Tables.Add();
    item->SetTableName("Items");
    item->SetTableFields(&p->Provider.ProviderFields);
    p->Evaluator.SetTables(&p->Tables);
    p->Evaluator.SetFilterText(text);
    EXPECT_TRUE(p->Evaluator.Parse());
    return p;
  };
  auto sorted = [](std::vector<uint32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  std::unique_ptr<TParsedFilter> grp = parsed("Grp = 1");
  ds_.InternalAssignFilterExpr(grp->Evaluator.GetFilterExpr(true), true);
  EXPECT_EQ(WalkForward(), Oracle("Grp = 1", {}));
  std::unique_ptr<TParsedFilter> low = parsed("ID < 91");
  ds_.InternalAssignFilterExpr(low->Evaluator.GetFilterExpr(true), false);
  EXPECT_EQ(WalkForward(), Oracle("Grp = 1 AND ID < 91", {}));
  TItem added;
  added.ID = 8;  // between the odd keys
  added.Grp = 1;
  Insert(added);
  rows_[added.Address] = added;
  const std::vector<uint32_t> after = WalkForward();
  EXPECT_EQ(after, Oracle("Grp = 1 AND ID < 91", {}));
  EXPECT_NE(std::find(after.begin(), after.end(), added.Address), after.end());

  // Nulls: the host's rules let a Null name differ from 'anna'; the SQL
  // rules do not.
  ds_.InternalSetFilter("Name <> 'anna'", {});
  std::vector<uint32_t> withNulls = WalkForward();
  ds_.FilterMgr().SetExcludeRelopNulls(true);
  ds_.InternalSetFilter("Name <> 'anna'", {});
  std::vector<uint32_t> withoutNulls = WalkForward();
  ds_.FilterMgr().SetExcludeRelopNulls(false);
  std::vector<uint32_t> nulls;
  for (const auto& [a, r] : rows_)
    if (!r.Name) nulls.push_back(a);
  ASSERT_FALSE(nulls.empty());
  std::vector<uint32_t> joined = withoutNulls;
  joined.insert(joined.end(), nulls.begin(), nulls.end());
  EXPECT_EQ(sorted(withNulls), sorted(joined));
}

// A closed dataset drops its filter; the navigation calls never reach the
// manager's assertions in any state of the filter, and each leaves the
// cursor where the rows the filter lets through say.
TEST_F(FilterTest, EveryFilterStateIsSafeToNavigate) {
  Fill(30, 17);
  ds_.DataSetOpen();
  // `visible`: the rows the filter lets through, in the current index's order.
  auto everything = [&](const std::vector<uint32_t>& visible, const char* state) {
    SCOPED_TRACE(state);
    const size_t n = visible.size();
    EXPECT_EQ(ds_.DataSetFirst(), n > 0);
    if (n > 0) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), visible.front());
    }
    EXPECT_EQ(ds_.DataSetNext(), n > 1);
    if (n > 1) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), visible[1]);
    }
    EXPECT_EQ(ds_.DataSetLast(), n > 0);
    if (n > 0) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), visible.back());
    }
    EXPECT_EQ(ds_.DataSetPrior(), n > 1);
    if (n > 1) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), visible[n - 2]);
    }
    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(n));
    ds_.DataSetGetRecordNo();
    ds_.DataSetSetRecordNo(2);
    // Without a range a record number counts along the index, filter or not.
    if (n > 1 && !ds_.FilterActive()) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), visible[1]);
      EXPECT_EQ(ds_.DataSetGetRecordNo(), 2);
    }
    auto idAt = [&](uint32_t a) { return rows_.at(a).ID; };
    const auto atLeast9 = std::find_if(visible.begin(), visible.end(),
                                       [&](uint32_t a) { return idAt(a) >= 9; });
    EXPECT_EQ(FindId(9, stGE), atLeast9 != visible.end());
    if (atLeast9 != visible.end()) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), *atLeast9);
    }
    const bool has9 = atLeast9 != visible.end() && idAt(*atLeast9) == 9;
    EXPECT_EQ(FindId(9, stEQ), has9);
    if (has9) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), *atLeast9);
    }
  };
  std::vector<uint32_t> all;
  std::vector<int32_t> nos;
  MasterList(all, nos);
  ASSERT_EQ(all.size(), 30u);
  everything(all, "never filtered");
  ds_.InternalSetFilter("Grp = 99", {});
  everything({}, "filtered to nothing");
  EXPECT_FALSE(ds_.DataSetFirst());
  EXPECT_EQ(ds_.GetCurrentRecordCount(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { ds_.InternalSetFilter("Grp =", {}); }), 10051);
  everything({}, "after a failed filter: the one before holds");
  ds_.InternalClearFilter();
  everything(all, "cleared");
  ds_.InternalSetFilter("Grp = 1", {});
  everything(Oracle("Grp = 1", {}), "filtered to some");
  ds_.DataSetClose();
  EXPECT_FALSE(ds_.FilterActive());
  ds_.DataSetOpen();
  everything(all, "reopened: the filter went with the close");
  EXPECT_EQ(ds_.GetCurrentRecordCount(), 30);
}

}  // namespace
}  // namespace tav

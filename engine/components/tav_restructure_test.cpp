#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

#include "engine/components/tav_data_set.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/streams.h"
#include "host/rtl/string_list.h"
#include "os/file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// One row as read back: logical number, N (auto-increment), K, S, blob.
using TRow = std::tuple<uint32_t, int32_t, int32_t, std::string, std::string>;

// The new layout of a table, built from its host definitions and validated
// against them as the table component does.
struct TPlan {
  TRestructureFieldDefs Fields;
  TRestructureIndexDefs Indexes;
  host::TFieldDefs DestFields;
  host::TIndexDefs DestIndexes;
  TRestructureDetails Details;

  TPlan(const host::TFieldDefs& fields, const host::TIndexDefs& indexes) {
    Fields.Assign(fields);
    Indexes.Assign(indexes);
    Indexes.SetMaximumKeySize(500);
    Indexes.SetMaximumKeyFieldCount(32);
  }
  TRestructureDetails& Validate(const host::TFieldDefs& fields, const host::TIndexDefs& indexes) {
    Fields.ValidateAgainstOriginalDefs(&fields);
    Indexes.ValidateAgainstOriginalDefs(&indexes, Fields);
    Details.NewFieldDefs = &Fields;
    Details.NewIndexDefs = &Indexes;
    Details.DestFieldDefs = &DestFields;
    Details.DestIndexDefs = &DestIndexes;
    return Details;
  }
};

// A disk database with table "T": N auto-increment, K integer (unique index
// "ixK"), S string(20) (index "ixS"), B BLOB; 250 rows, rows 10 to 19
// deleted, so logical numbers have a gap.
class RestructureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    fields_.Add("N", host::ftAutoInc);
    fields_.Add("K", host::ftInteger);
    fields_.Add("S", host::ftString, 20);
    fields_.Add("B", host::ftBlob);
    indexes_.Add("ixK", "K", host::TIndexOptions{host::ixUnique});
    indexes_.Add("ixS", "S", host::TIndexOptions{});
    {
      auto creator = NewDataBase();
      creator->CreateDatabase();
    }
    db_ = NewDataBase();
    db_->SetExclusive(true);
    db_->Open();
    TTavDataSet ds(nullptr);
    Bind(ds);
    ds.SetTableDef(false, fields_, indexes_);
    ds.InternalCreateTable();
    ds.DataSetOpen();
    for (int k = 0; k < 250; ++k) Add(ds, k, "name" + std::to_string(k), k % 3 ? "blob" + std::to_string(k) : "");
    for (int k = 10; k < 20; ++k) {
      ASSERT_TRUE(FindK(ds, k));
      ASSERT_EQ(ds.DeleteRecord(nullptr), 0);
    }
    ds.DataSetClose();
    before_ = Rows();
  }

  std::string Path() const { return dir_ / "r.tav"; }
  std::string Backup() const { return dir_ / "r.tvx"; }

  std::unique_ptr<TTavDataBase> NewDataBase(const std::string& path = "") {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(path.empty() ? Path() : path);
    db->SetLockRetryMaximum(2);
    db->SetLockRetryInterval(1);
    return db;
  }
  void Bind(TTavDataSet& ds, TTavDataBase* db = nullptr) {
    ds.SetDataBase(db ? db : db_.get());
    ds.SetTableName("T");
  }
  static void Add(TTavDataSet& ds, int32_t k, const std::string& s, const std::string& blob) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataAsVariant(ds.GetFieldNo("K"), k);
    ds.DataSetSetFieldDataAsVariant(ds.GetFieldNo("S"), s);
    if (!blob.empty()) {
      host::TMemoryStream stream;
      stream.Write(blob.data(), static_cast<int64_t>(blob.size()));
      stream.SetPosition(0);
      ds.DataSetSetFieldStream(ds.GetFieldNo("B"), false, stream);
    }
    ds.AddRecord(true);
  }
  static bool FindK(TTavDataSet& ds, int32_t k) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataToRecBufAsVariant(ds.GetFieldNo("K"), ds.RecordBuffer(), k);
    return ds.Find(stEQ, "ixK");
  }
  // Every row of T through index `index`, ordered by K.
  std::vector<TRow> Rows(TTavDataBase* db = nullptr, const std::string& sName = "S",
                         const std::string& index = "ixK") {
    TTavDataSet ds(nullptr);
    Bind(ds, db);
    ds.DataSetOpen();
    ds.InternalSetIndexName(index);
    std::vector<TRow> out;
    const int sNo = ds.GetFieldNo(sName);
    const int bNo = ds.GetFieldNo("B");
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext()) {
      std::string blob;
      if (bNo >= 0) {
        host::TMemoryStream stream;
        bool isNull = false;
        ds.DataSetGetFieldStream(bNo, isNull, stream);
        blob.resize(static_cast<size_t>(stream.Size()));
        stream.SetPosition(0);
        if (!blob.empty()) stream.Read(blob.data(), static_cast<int64_t>(blob.size()));
      }
      out.emplace_back(host::GetU32(ds.RecordBuffer() + kRecLogicalNoOffset),
                       ds.DataSetGetFieldDataAsVariant(ds.GetFieldNo("N")).AsInteger(),
                       ds.DataSetGetFieldDataAsVariant(ds.GetFieldNo("K")).AsInteger(),
                       ds.DataSetGetFieldDataAsVariant(sNo).AsString(), blob);
    }
    std::sort(out.begin(), out.end(),
              [](const TRow& a, const TRow& b) { return std::get<2>(a) < std::get<2>(b); });
    return out;
  }
  uint32_t AutoIncValue() {
    TTavDataSet ds(nullptr);
    Bind(ds);
    ds.DataSetOpen();
    return ds.TableDef().TableHeader()->GetRecordAutoIncVal();
  }
  void Restructure(const TRestructureDetails& details) {
    TTavDataSet ds(nullptr);
    Bind(ds);
    ds.SetOnUpdateProgress(progress_);
    ds.InternalRestructureTable(details);
    EXPECT_FALSE(ds.InternalActive());
  }

  os::test::TTempDir dir_;
  host::TFieldDefs fields_;
  host::TIndexDefs indexes_;
  std::unique_ptr<TTavDataBase> db_;
  std::vector<TRow> before_;
  TUpdateProgressEvent progress_;
};

TEST_F(RestructureTest, DataCopyAddsDropsAndRetypesKeepingRowsNumbersAndCounters) {
  ASSERT_EQ(before_.size(), 240u);
  const uint32_t counter = AutoIncValue();
  TPlan plan(fields_, indexes_);
  plan.Fields.Find("S")->SetSize(5);  // loss: longer names are cut
  TRestructureFieldDef* x = plan.Fields.AddAndSetFieldDef("X", host::ftInteger, 0);
  (void)x;
  std::vector<int> percents;
  progress_ = [&](int p, bool&) { percents.push_back(p); };
  Restructure(plan.Validate(fields_, indexes_));
  EXPECT_EQ(plan.Fields.ChangeStatus(), dcDataLoss);
  EXPECT_TRUE(os::FileExists(Backup()));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);

  const std::vector<TRow> after = Rows();
  ASSERT_EQ(after.size(), before_.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(std::get<0>(after[i]), std::get<0>(before_[i]));
    EXPECT_EQ(std::get<1>(after[i]), std::get<1>(before_[i]));
    EXPECT_EQ(std::get<3>(after[i]), std::get<3>(before_[i]).substr(0, 5));
    EXPECT_EQ(std::get<4>(after[i]), std::get<4>(before_[i]));
  }
  EXPECT_EQ(AutoIncValue(), counter);
  // The new field is there and empty; the unique index still refuses.
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.DataSetOpen();
  ASSERT_GE(ds.GetFieldNo("X"), 0);
  ASSERT_TRUE(FindK(ds, 42));
  EXPECT_TRUE(ds.DataSetGetFieldDataAsVariant(ds.GetFieldNo("X")).IsNull());
  EXPECT_EQ(ErrorCodeOf([&] { Add(ds, 42, "again", ""); }), 9729);
  Add(ds, 1000, "new", "");
  EXPECT_EQ(ds.DataSetGetFieldDataAsVariant(ds.GetFieldNo("N")).AsInteger(), static_cast<int>(counter) + 1);
  ds.DataSetClose();

  // The backup still holds the old layout with every row.
  auto old = NewDataBase(Backup());
  old->Open();
  EXPECT_EQ(Rows(old.get()), before_);
}

TEST_F(RestructureTest, DroppedFieldBlobSizeAndSortOrderChange) {
  TPlan plan(fields_, indexes_);
  plan.Fields.DeleteItem(plan.Fields.Find("B")->Index());
  TRestructureDetails& details = plan.Validate(fields_, indexes_);
  details.ChangeBlobBlockSize = true;
  details.NewBlobBlockSize = 256;
  details.ChangeSortOrder = true;
  details.NewSortOrder = soASCII;
  Restructure(details);
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.DataSetOpen();
  EXPECT_EQ(ds.GetFieldNo("B"), -1);
  EXPECT_EQ(ds.TableDef().DefaultBlobSize(), 256);
  EXPECT_EQ(ds.TableDef().SortOrder(), soASCII);
  EXPECT_EQ(ds.GetTotalRecordCount(), 240);
  ds.DataSetClose();
}

TEST_F(RestructureTest, RenameOnlyTouchesNoRecordAndIndexesOnly) {
  {
    TPlan plan(fields_, indexes_);
    plan.Fields.Find("S")->SetName("Title");
    plan.Indexes.Find("ixS")->SetName("ixTitle");
    plan.Indexes.ReplaceFieldName("S", "Title");
    Restructure(plan.Validate(fields_, indexes_));
    EXPECT_EQ(plan.Fields.ChangeStatus(), dcDefOnlyChange);
    EXPECT_EQ(Rows(nullptr, "Title", "ixTitle"), before_);
  }
  // Indexes only: a new index over the renamed field, made from the records.
  host::TFieldDefs fields;
  fields.Assign(fields_);
  fields.Items(2)->SetName("Title");
  host::TIndexDefs indexes;
  indexes.Add("ixK", "K", host::TIndexOptions{host::ixUnique});
  indexes.Add("ixTitle", "Title", host::TIndexOptions{});
  TPlan plan(fields, indexes);
  plan.Indexes.AddAndSetIndexDef("ixDesc", "K", host::TIndexOptions{host::ixDescending});
  Restructure(plan.Validate(fields, indexes));
  EXPECT_EQ(plan.Fields.ChangeStatus(), dcNoChange);
  EXPECT_EQ(Rows(nullptr, "Title", "ixDesc"), before_);
  EXPECT_EQ(Rows(nullptr, "Title", "ixTitle"), before_);
}

TEST_F(RestructureTest, ReIndexIgnoresDuplicatesAndReportsProgress) {
  // S made unique while 25 rows share their first character "n"... all do:
  // only the first record of each S value keeps its keys.
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.DataSetOpen();
  Add(ds, 500, "name42", "");
  std::vector<int> seen;
  ds.SetOnUpdateProgress([&](int p, bool& abort) {
    seen.push_back(p);
    abort = p >= 50;
  });
  ds.InternalReIndex(true);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 50);
  ds.SetOnUpdateProgress(nullptr);
  ds.InternalReIndex(false);
  ds.DataSetClose();
  EXPECT_EQ(Rows().size(), 241u);
  EXPECT_EQ(Rows(nullptr, "S", "ixS").size(), 241u);
}

// Records whose keys already rise in record order build their trees without
// sorting, and a key that falls or repeats after a long rising run is caught
// as in any other order: a repeated unique key stops the build (or loses its
// keys when duplicates are ignored), the falling key goes where it belongs,
// and a descending index over the same rising values comes out reversed.
TEST_F(RestructureTest, ReIndexOfKeysAlreadyInOrderKeepsEveryRule) {
  host::TFieldDefs fields;
  fields.Add("K", host::ftInteger);
  host::TIndexDefs indexes;
  indexes.Add("ixUp", "K", host::TIndexOptions{host::ixUnique});
  indexes.Add("ixDown", "K", host::TIndexOptions{host::ixDescending});
  TTavDataSet ds(nullptr);
  ds.SetDataBase(db_.get());
  ds.SetTableName("Q");
  ds.SetTableDef(false, fields, indexes);
  ds.InternalCreateTable();
  ds.DataSetOpen();
  auto addUnkeyed = [&](int32_t k) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataAsVariant(0, k);
    ds.AddRecordUnkeyed();
  };
  auto walk = [&](const char* index) {
    ds.InternalSetIndexName(index);
    std::vector<int64_t> out;
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext())
      out.push_back(ds.DataSetGetFieldDataAsVariant(0).AsInteger());
    return out;
  };
  std::vector<int64_t> up(300);
  std::iota(up.begin(), up.end(), 1);
  for (int64_t k : up) addUnkeyed(static_cast<int32_t>(k));
  ds.EndUnkeyedRun();
  EXPECT_EQ(walk("ixUp"), up);
  EXPECT_EQ(walk("ixDown"), std::vector<int64_t>(up.rbegin(), up.rend()));

  // The last key again, then one below every other.
  addUnkeyed(300);
  addUnkeyed(0);
  EXPECT_EQ(ErrorCodeOf([&] { ds.EndUnkeyedRun(); }), 9729);
  ds.InternalReIndex(true);
  up.insert(up.begin(), 0);
  EXPECT_EQ(walk("ixUp"), up);
  // The repeated record has no keys at all, not even where repeats are allowed.
  EXPECT_EQ(walk("ixDown"), std::vector<int64_t>(up.rbegin(), up.rend()));
  for (int32_t k : {0, 1, 150, 300}) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataToRecBufAsVariant(0, ds.RecordBuffer(), k);
    EXPECT_TRUE(ds.Find(stEQ, "ixUp")) << k;
  }
  ds.DataSetClose();
}

// A run of unkeyed inserts gathers its keys as the records go in: its end
// must leave every index as a re-index from the records would, on disk and
// in memory, with and without indexes of the table's own (the hidden index
// by logical record number), whether the table held keyed records when the
// run began, and when the run is cut by a delete, a keyed insert or closing
// the table, after which the records already added still get their keys.
TEST_F(RestructureTest, AnUnkeyedRunEndsWithTheIndexesAReIndexBuilds) {
  TTavDataBase memory(nullptr);
  memory.SetDataBaseName(kMemoryDataBaseName);
  memory.Open();
  enum TCut { kNoCut, kDelete, kKeyedAdd, kClose };
  int table = 0;
  for (TTavDataBase* db : {db_.get(), &memory}) {
    for (const bool ownIndexes : {true, false}) {
      for (const TCut cut : {kNoCut, kDelete, kKeyedAdd, kClose}) {
        SCOPED_TRACE(testing::Message() << (db == &memory ? "memory" : "disk") << " indexes " << ownIndexes
                                        << " cut " << static_cast<int>(cut));
        host::TFieldDefs fields;
        fields.Add("K", host::ftInteger);
        fields.Add("S", host::ftString, 10);
        host::TIndexDefs indexes;
        std::vector<std::string> names{""};
        if (ownIndexes) {
          indexes.Add("ixK", "K", host::TIndexOptions{host::ixUnique});
          indexes.Add("ixS", "S", host::TIndexOptions{});
          names = {"ixK", "ixS"};
        }
        TTavDataSet ds(nullptr);
        ds.SetDataBase(db);
        ds.SetMemory(db == &memory);
        ds.SetTableName("U" + std::to_string(table++));
        ds.SetTableDef(db == &memory, fields, indexes);
        ds.InternalCreateTable();
        ds.DataSetOpen();
        int32_t next = 0;
        auto fill = [&](int32_t k) {
          ds.InitializeNewRecord(ds.RecordBuffer(), false);
          ds.DataSetSetFieldDataAsVariant(0, k);
          // Few distinct texts: ixS holds many equal values.
          ds.DataSetSetFieldDataAsVariant(1, "s" + std::to_string(k % 7));
        };
        auto addUnkeyed = [&](int n) {
          for (int i = 0; i < n; ++i) {
            fill(next++);
            ds.AddRecordUnkeyed();
          }
        };
        // Every index's walk: the addresses in order.
        auto walkEvery = [&] {
          std::vector<std::vector<uint32_t>> out;
          for (const std::string& name : names) {
            if (!name.empty()) ds.InternalSetIndexName(name);
            out.push_back(test::WalkAddresses(ds, true));
          }
          return out;
        };
        for (int i = 0; i < 5; ++i) {
          fill(next++);
          ds.AddRecord(false);
        }
        addUnkeyed(30);
        int expected = 5 + 30;
        switch (cut) {
          case kNoCut: break;
          case kDelete:
            // A record keyed before the run: the first along the index.
            ASSERT_TRUE(ds.DataSetFirst());
            ASSERT_EQ(ds.DeleteRecord(nullptr), 0);
            --expected;
            break;
          case kKeyedAdd:
            fill(next++);
            ds.AddRecord(false);
            ++expected;
            break;
          case kClose:
            ds.DataSetClose();
            ds.DataSetOpen();
            break;
        }
        addUnkeyed(40);
        expected += 40;
        ds.EndUnkeyedRun();
        const std::vector<std::vector<uint32_t>> ended = walkEvery();
        for (const auto& walk : ended) EXPECT_EQ(walk.size(), static_cast<size_t>(expected));
        ds.InternalReIndex(false);
        EXPECT_EQ(ended, walkEvery());
        // The records are found by their keys.
        for (const int32_t k : {0, 4, 5, 34, next - 1}) {
          if (!ownIndexes) break;
          ds.InitializeNewRecord(ds.RecordBuffer(), false);
          ds.DataSetSetFieldDataToRecBufAsVariant(0, ds.RecordBuffer(), k);
          EXPECT_EQ(ds.Find(stEQ, "ixK"), !(cut == kDelete && k == 0)) << k;
        }
        ds.DataSetClose();
      }
    }
  }
}

// Re-indexing builds each tree from its sorted keys. Two tables get the same
// random rows: "KK" with every index from the start (keys inserted one by
// one, a row refused by its unique case-insensitive key left out), "RI"
// without that index, which a restructure then adds by re-indexing with
// duplicates ignored. Every walk and every search of every index (unique,
// duplicate, descending, case-insensitive, two fields; accents and case
// tying at their levels, Null in A) answers alike.
TEST_F(RestructureTest, ReIndexAnswersAsKeyByKeyInserts) {
  host::TFieldDefs fields;
  fields.Add("ID", host::ftInteger);
  fields.Add("A", host::ftInteger);
  fields.Add("S", host::ftString, 12);
  host::TIndexDefs indexes;
  indexes.Add("ixId", "ID", host::TIndexOptions{host::ixUnique});
  indexes.Add("ixS", "S", host::TIndexOptions{host::ixCaseInsensitive});
  indexes.Add("ixDesc", "A", host::TIndexOptions{host::ixDescending});
  indexes.Add("ixMulti", "S;A", host::TIndexOptions{});
  indexes.Add("ixDescCI", "S;A", host::TIndexOptions{host::ixDescending, host::ixCaseInsensitive});
  host::TIndexDefs all;
  all.Assign(indexes);
  all.Add("ixUS", "S", host::TIndexOptions{host::ixUnique, host::ixCaseInsensitive});

  std::mt19937 random(44);
  struct TValues {
    int32_t Id, A;
    std::string S;
  };
  std::vector<TValues> rows;
  std::vector<int32_t> ids(3000);
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), random);
  // a, A, a acute, A acute, b, B, c, C.
  const char letters[] = "aA\xE1\xC1" "bBcC";
  const int32_t kNull = INT32_MIN;
  for (int32_t id : ids) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += letters[random() % 8];
    const int32_t a = static_cast<int32_t>(random() % 50) - 25;
    rows.push_back({id, a == 0 ? kNull : a, s});
  }
  auto create = [&](const char* name, const host::TIndexDefs& defs, bool refusing) {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(db_.get());
    ds.SetTableName(name);
    ds.SetTableDef(false, fields, defs);
    ds.InternalCreateTable();
    ds.DataSetOpen();
    int refused = 0;
    for (const TValues& r : rows) {
      ds.InitializeNewRecord(ds.RecordBuffer(), false);
      ds.DataSetSetFieldDataAsVariant(0, r.Id);
      ds.DataSetSetFieldDataAsVariant(1, r.A == kNull ? host::Null() : host::Variant(r.A));
      ds.DataSetSetFieldDataAsVariant(2, r.S);
      if (!refusing) {
        ds.AddRecord(false);
        continue;
      }
      if (ErrorCodeOf([&] { ds.AddRecord(false); }) == 9729) ++refused;
    }
    ds.DataSetClose();
    return refused;
  };
  EXPECT_GT(create("KK", all, true), 100);
  create("RI", indexes, false);

  // Each index walked (ID and record number of every row), then probed with
  // every search type.
  auto answers = [&](const char* name,
                     std::vector<const char*> list = {"ixId", "ixS", "ixDesc", "ixMulti", "ixDescCI", "ixUS"}) {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(db_.get());
    ds.SetTableName(name);
    ds.DataSetOpen();
    std::vector<int64_t> out;
    std::mt19937 probes(7);
    for (const char* index : list) {
      ds.InternalSetIndexName(index);
      for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext())
        out.push_back(ds.DataSetGetFieldDataAsVariant(0).AsInteger() * 100000LL + ds.DataSetGetRecordNo());
      out.push_back(-1);
      for (int n = 0; n < 60; ++n) {
        const int32_t id = static_cast<int32_t>(probes() % 3100);
        const int32_t a = static_cast<int32_t>(probes() % 60) - 30;
        std::string s;
        for (int i = 0; i < 4; ++i) s += letters[probes() % 8];
        for (TIndexSearchType type : {stLT, stLE, stEQ, stGE, stGT, stLEG}) {
          ds.InitializeNewRecord(ds.RecordBuffer(), false);
          ds.DataSetSetFieldDataToRecBufAsVariant(0, ds.RecordBuffer(), id);
          ds.DataSetSetFieldDataToRecBufAsVariant(1, ds.RecordBuffer(), a);
          ds.DataSetSetFieldDataToRecBufAsVariant(2, ds.RecordBuffer(), s);
          out.push_back(ds.Find(type, index) ? ds.DataSetGetFieldDataAsVariant(0).AsInteger() : 0);
        }
      }
    }
    ds.DataSetClose();
    return out;
  };
  const std::vector<int64_t> expected = answers("KK");

  TPlan plan(fields, indexes);
  plan.Indexes.AddAndSetIndexDef("ixUS", "S", host::TIndexOptions{host::ixUnique, host::ixCaseInsensitive});
  TTavDataSet ri(nullptr);
  ri.SetDataBase(db_.get());
  ri.SetTableName("RI");
  ri.InternalRestructureTable(plan.Validate(fields, indexes));
  EXPECT_EQ(answers("RI"), expected);

  // Without ignoring duplicates the first duplicate stops the re-index; with
  // it the same trees come back. On the table without duplicates nothing
  // changes.
  ri.DataSetOpen();
  EXPECT_EQ(ErrorCodeOf([&] { ri.InternalReIndex(false); }), 9729);
  ri.InternalReIndex(true);
  ri.DataSetClose();
  EXPECT_EQ(answers("RI"), expected);
  TTavDataSet kk(nullptr);
  kk.SetDataBase(db_.get());
  kk.SetTableName("KK");
  kk.DataSetOpen();
  kk.InternalReIndex(false);
  kk.DataSetClose();
  EXPECT_EQ(answers("KK"), expected);

  // A rebuild copies the records without keys and builds the indexes at
  // the end: the same answers again, and a duplicate refused as before.
  kk.InternalRebuildTable();
  EXPECT_EQ(answers("KK"), expected);
  EXPECT_EQ(ErrorCodeOf([&] { ri.InternalRebuildTable(); }), 9729);

  // The rows added without keys in the order of the unique case-insensitive
  // index (each key above the one before only as that index compares, not
  // as bytes), then indexed at once: that index, built from keys taken as
  // they come, and the ID index, built from sorted keys, answer as KK's.
  // The same rows the other way round into a descending index of S.
  std::vector<int32_t> byUS;
  kk.DataSetOpen();
  kk.InternalSetIndexName("ixUS");
  for (bool ok = kk.DataSetFirst(); ok; ok = kk.DataSetNext())
    byUS.push_back(static_cast<int32_t>(kk.DataSetGetFieldDataAsVariant(0).AsInteger()));
  kk.DataSetClose();
  std::map<int32_t, const TValues*> rowOf;
  for (const TValues& r : rows) rowOf[r.Id] = &r;
  host::TIndexDefs inOrder;
  inOrder.Add("ixId", "ID", host::TIndexOptions{host::ixUnique});
  inOrder.Add("ixUS", "S", host::TIndexOptions{host::ixUnique, host::ixCaseInsensitive});
  inOrder.Add("ixUSD", "S", host::TIndexOptions{host::ixUnique, host::ixCaseInsensitive, host::ixDescending});
  auto fillUnkeyed = [&](const char* name, bool reversed) {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(db_.get());
    ds.SetTableName(name);
    ds.SetTableDef(false, fields, inOrder);
    ds.InternalCreateTable();
    ds.DataSetOpen();
    for (size_t i = 0; i < byUS.size(); ++i) {
      const TValues& r = *rowOf.at(byUS[reversed ? byUS.size() - 1 - i : i]);
      ds.InitializeNewRecord(ds.RecordBuffer(), false);
      ds.DataSetSetFieldDataAsVariant(0, r.Id);
      ds.DataSetSetFieldDataAsVariant(1, r.A == kNull ? host::Null() : host::Variant(r.A));
      ds.DataSetSetFieldDataAsVariant(2, r.S);
      ds.AddRecordUnkeyed();
    }
    ds.EndUnkeyedRun();
    ds.DataSetClose();
  };
  const std::vector<int64_t> expectedUnique = answers("KK", {"ixId", "ixUS"});
  for (const bool reversed : {false, true}) {
    const char* name = reversed ? "IOD" : "IO";
    fillUnkeyed(name, reversed);
    EXPECT_EQ(answers(name, {"ixId", "ixUS"}), expectedUnique) << name;
    TTavDataSet ds(nullptr);
    ds.SetDataBase(db_.get());
    ds.SetTableName(name);
    ds.DataSetOpen();
    ds.InternalSetIndexName("ixUSD");
    std::vector<int32_t> down;
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext())
      down.push_back(static_cast<int32_t>(ds.DataSetGetFieldDataAsVariant(0).AsInteger()));
    EXPECT_EQ(down, std::vector<int32_t>(byUS.rbegin(), byUS.rend())) << name;
    ds.DataSetClose();
  }
}

// A rebuild copies each value into a field of the same type and size: the
// stored bytes come back the same for every type: Null, the longest string
// a field takes, both zeros of a real, the extremes.
TEST_F(RestructureTest, RebuildKeepsEveryStoredValueByteForByte) {
  host::TFieldDefs fields;
  const host::TFieldType types[] = {host::ftString, host::ftSmallint, host::ftWord,
                                    host::ftInteger, host::ftBoolean, host::ftFloat, host::ftCurrency,
                                    host::ftDate, host::ftTime, host::ftDateTime};
  for (size_t i = 0; i < std::size(types); ++i)
    fields.Add("F" + std::to_string(i), types[i], types[i] == host::ftString ? 8 : 0);
  host::TIndexDefs indexes;
  indexes.Add("ixI", "F4", host::TIndexOptions{});
  TTavDataSet ds(nullptr);
  ds.SetDataBase(db_.get());
  ds.SetTableName("VALS");
  ds.SetTableDef(false, fields, indexes);
  ds.InternalCreateTable();
  ds.DataSetOpen();
  const double reals[] = {0.0, -0.0, 1e308, -4.9e-324, 12345.6789};
  for (int row = 0; row < 15; ++row) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    for (int f = 0; f < static_cast<int>(std::size(types)); ++f) {
      if ((row + f) % 5 == 0) continue;  // Null
      const double real = reals[(row + f) % 5];
      host::Variant v;
      switch (types[f]) {
        case host::ftString: v = std::string(static_cast<size_t>(row % 8), static_cast<char>('a' + row)); break;
        case host::ftSmallint: v = static_cast<short>(row % 2 ? -32768 : 32767 - row); break;
        case host::ftWord: v = row % 2 ? 65535 : row; break;
        case host::ftInteger: v = row % 2 ? INT32_MIN + row : INT32_MAX - row; break;
        case host::ftBoolean: v = row % 2 == 0; break;
        default: v = real; break;
      }
      ds.DataSetSetFieldDataAsVariant(f, v);
    }
    ds.AddRecord(true);
  }
  ds.DataSetClose();

  // Each row's logical number, then per field its null flag and bytes.
  auto stored = [&] {
    TTavDataSet reader(nullptr);
    reader.SetDataBase(db_.get());
    reader.SetTableName("VALS");
    reader.DataSetOpen();
    std::map<uint32_t, std::string> out;
    for (bool ok = reader.DataSetFirst(); ok; ok = reader.DataSetNext()) {
      std::string bytes;
      for (int f = 0; f < static_cast<int>(std::size(types)); ++f) {
        int32_t length;
        const uint8_t* data;
        bool isNull;
        reader.DataSetGetFieldDataByReferenceFromRecBuf(reader.RecordBuffer(), f, length, data, isNull);
        bytes += isNull ? "N" : "V" + std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
      }
      out[host::GetU32(reader.RecordBuffer() + kRecLogicalNoOffset)] = bytes;
    }
    reader.DataSetClose();
    return out;
  };
  const auto before = stored();
  ASSERT_EQ(before.size(), 15u);
  ds.InternalRebuildTable();
  EXPECT_EQ(stored(), before);
}

TEST_F(RestructureTest, RebuildKeepsRowsAndIsRefusedInATransactionOrWhileInUse) {
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.InternalRebuildTable();
  EXPECT_EQ(Rows(), before_);
  EXPECT_TRUE(os::FileExists(Backup()));

  db_->StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { ds.InternalRebuildTable(); }), 10122);
  EXPECT_EQ(ErrorCodeOf([&] { db_->RebuildTable("T", Backup(), nullptr); }), 10122);
  db_->Rollback();

  TTavDataSet other(nullptr);
  Bind(other);
  other.DataSetOpen();
  EXPECT_EQ(ErrorCodeOf([&] { db_->RebuildTable("T", Backup(), nullptr); }), 10031);
  other.DataSetClose();
  db_->RebuildTable("T", Backup(), nullptr);
  EXPECT_EQ(Rows(), before_);
}

TEST_F(RestructureTest, FailuresLeaveTheBackupAndNothingHeld) {
  // A copy that fails halfway: S cut to one character under a unique index.
  TPlan plan(fields_, indexes_);
  plan.Fields.Find("S")->SetSize(1);
  plan.Indexes.Find("ixS")->SetOptions(host::TIndexOptions{host::ixUnique});
  TTavDataSet ds(nullptr);
  Bind(ds);
  EXPECT_EQ(ErrorCodeOf([&] { ds.InternalRestructureTable(plan.Validate(fields_, indexes_)); }), 9729);
  EXPECT_FALSE(ds.InternalActive());
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_TRUE(os::FileExists(Backup()));
  auto old = NewDataBase(Backup());
  old->Open();
  EXPECT_EQ(Rows(old.get()), before_);
  old->Close();
  // The table is usable and lockable again.
  ds.DataSetOpen();
  EXPECT_FALSE(ds.WriteLocked());
  EXPECT_TRUE(ds.LockTable());
  EXPECT_TRUE(ds.UnlockTable());
  ds.DataSetClose();

  // A backup that cannot be written stops before anything changes.
  const std::vector<TRow> now = Rows(nullptr, "S", "ixK");
  ASSERT_TRUE(os::DeleteFile(Backup()));
  ASSERT_EQ(mkdir(Backup().c_str(), 0700), 0);
  TPlan again(fields_, indexes_);
  again.Fields.Find("S")->SetSize(5);
  EXPECT_NE(ErrorCodeOf([&] { ds.InternalRestructureTable(again.Validate(fields_, indexes_)); }), 0);
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_EQ(Rows(), now);
}

TEST_F(RestructureTest, CopyRawTableDataUnlocksAndRollsBackItsOwnTransactionOnFailure) {
  // Dest: a disk table whose unique index refuses the 151st record.
  TTavDataSet dest(nullptr);
  dest.SetDataBase(db_.get());
  dest.SetTableName("D");
  host::TFieldDefs fields;
  fields.Add("K", host::ftInteger);
  host::TIndexDefs indexes;
  indexes.Add("ixK", "K", host::TIndexOptions{host::ixUnique});
  dest.SetTableDef(false, fields, indexes);
  dest.InternalCreateTable();
  dest.DataSetOpen();
  dest.InitializeNewRecord(dest.RecordBuffer(), false);
  dest.DataSetSetFieldDataAsVariant(0, 200);
  dest.AddRecord(true);
  dest.GetInternalFields().Items(0)->SetSourceField("K");

  TTavDataSet source(nullptr);
  Bind(source);
  source.DataSetOpen();
  EXPECT_EQ(ErrorCodeOf([&] { source.CopyRawTableData(&dest); }), 9729);
  EXPECT_FALSE(dest.WriteLocked());
  EXPECT_FALSE(source.WriteLocked());
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_FALSE(db_->TableLockExists(dest.TableDef(), kTableWriteLock));
  // The batches committed before the failure stay (two batches of 100
  // blocks, ten of them deleted records); the failed one is gone.
  EXPECT_EQ(dest.GetTotalRecordCount(), 191);
  source.DataSetClose();
  dest.DataSetClose();
}

// A retyped field whose stored number the new type cannot hold is left
// without a value, as a cut text loses its tail: never a wrapped number,
// and the rest of the row and the other rows come across whole.
TEST_F(RestructureTest, ANumberTheNewTypeCannotHoldIsLeftEmpty) {
  host::TFieldDefs fields;
  fields.Add("I", host::ftInteger);
  fields.Add("F", host::ftFloat);
  fields.Add("W", host::ftInteger);
  fields.Add("G", host::ftWord);
  fields.Add("S", host::ftString, 10);
  host::TIndexDefs indexes;
  using V = host::Variant;
  const std::vector<std::vector<V>> rows = {{V(5), V(2.5), V(7), V(40000), V("a")},
                                            {V(40000), V(1e30), V(-1), V(65535), V("b")},
                                            {V(-40000), V(-3e9), V(70000), V(1), V("c")},
                                            {V(-32768), V(-2147483648.0), V(65535), V(32767), V("d")}};
  {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(db_.get());
    ds.SetTableName("U");
    ds.SetTableDef(false, fields, indexes);
    ds.InternalCreateTable();
    ds.DataSetOpen();
    for (const auto& row : rows) {
      ds.InitializeNewRecord(ds.RecordBuffer(), false);
      for (int i = 0; i < static_cast<int>(row.size()); ++i) ds.DataSetSetFieldDataAsVariant(i, row[static_cast<size_t>(i)]);
      ds.AddRecord(true);
    }
    ds.DataSetClose();
  }
  TPlan plan(fields, indexes);
  plan.Fields.Find("I")->SetDataType(host::ftSmallint);
  plan.Fields.Find("F")->SetDataType(host::ftInteger);
  plan.Fields.Find("W")->SetDataType(host::ftWord);
  plan.Fields.Find("G")->SetDataType(host::ftSmallint);
  TTavDataSet ds(nullptr);
  ds.SetDataBase(db_.get());
  ds.SetTableName("U");
  ds.InternalRestructureTable(plan.Validate(fields, indexes));
  ds.DataSetOpen();
  std::vector<std::string> got;
  for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext()) {
    std::string line;
    for (int i = 0; i < 5; ++i) {
      const V v = ds.DataSetGetFieldDataAsVariant(i);
      line += (i ? "|" : "") + (v.IsNull() ? std::string("null") : v.AsString());
    }
    got.push_back(line);
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"-32768|-2147483648|65535|32767|d", "5|2|7|null|a",
                                           "null|null|null|1|c", "null|null|null|null|b"}));
  ds.DataSetClose();
}

TEST_F(RestructureTest, AProcessKilledMidRestructureLeavesAnOpenableDatabaseAndTheBackup) {
  db_->Close();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto db = NewDataBase();
    db->SetExclusive(true);
    db->Open();
    TPlan plan(fields_, indexes_);
    plan.Fields.AddAndSetFieldDef("X", host::ftInteger, 0);
    TTavDataSet ds(nullptr);
    Bind(ds, db.get());
    ds.SetOnUpdateProgress([](int p, bool&) {
      if (p >= 60) kill(getpid(), SIGKILL);
    });
    ds.InternalRestructureTable(plan.Validate(fields_, indexes_));
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  auto db = NewDataBase();
  db->Open();
  TTavDataSet ds(nullptr);
  Bind(ds, db.get());
  ds.DataSetOpen();
  EXPECT_LE(ds.GetTotalRecordCount(), 240);
  ds.DataSetClose();
  auto old = NewDataBase(Backup());
  old->Open();
  EXPECT_EQ(Rows(old.get()), before_);
}

TEST_F(RestructureTest, DeleteCopyAndDumpTables) {
  host::TStringList names;
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.DataSetOpen();
  EXPECT_EQ(ErrorCodeOf([&] { db_->DeleteTable("T", false); }), 10053);
  ds.DataSetClose();
  EXPECT_EQ(ErrorCodeOf([&] { db_->DeleteTable("Nope", false); }), 10024);

  // Copies: refusals first, then a copy that opens with every row.
  const std::string copy = dir_ / "c.tav";
  EXPECT_EQ(ErrorCodeOf([&] { db_->CopyDatabase(Path(), true); }), 9344);
  db_->CopyDatabase(copy, false);
  EXPECT_EQ(ErrorCodeOf([&] { db_->CopyDatabase(copy, false); }), 1);
  db_->CopyDatabase(copy, true);
  {
    auto c = NewDataBase(copy);
    c->Open();
    EXPECT_EQ(Rows(c.get()), before_);
  }
  auto missing = NewDataBase(dir_ / "none.tav");
  EXPECT_EQ(ErrorCodeOf([&] { missing->CopyDatabase(copy, true); }), 9988);

  // The dump holds the table without its rows.
  db_->DumpTableDefinitions();
  {
    auto d = NewDataBase(dir_ / "r.tvd");
    d->Open();
    d->GetTableNames(names, false);
    EXPECT_EQ(names.Count(), 1);
    EXPECT_TRUE(Rows(d.get()).empty());
  }

  db_->DeleteTable("T", false);
  names.Clear();
  db_->GetTableNames(names, false);
  EXPECT_EQ(names.Count(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { ds.DataSetOpen(); }), 10024);
  // The name is free again.
  ds.SetTableDef(false, fields_, indexes_);
  ds.InternalCreateTable();
  EXPECT_TRUE(Rows().empty());

  db_->Close();
  db_->SetExclusive(false);
  db_->Open();
  EXPECT_EQ(ErrorCodeOf([&] { db_->DeleteTable("T", false); }), 10121);
}

TEST_F(RestructureTest, TransferRecordBuffersReadsEveryBlockOfAClosedFile) {
  TTavDataSet ds(nullptr);
  Bind(ds);
  ds.DataSetOpen();
  const int32_t id = ds.TableDef().TableID();
  const int32_t size = ds.RecordSize();
  ds.DataSetClose();
  EXPECT_EQ(ErrorCodeOf([&] { db_->TransferRecordBuffers(id, size, nullptr); }), 10120);
  db_->Close();
  int inUse = 0;
  int calls = 0;
  db_->TransferRecordBuffers(id, size, [&](const uint8_t* buf, int32_t, uint32_t, bool&) {
    ++calls;
    inUse += buf[kRecInUseOffset] == 1;
  });
  EXPECT_EQ(inUse, 240);
  EXPECT_GE(calls, 250);
  calls = 0;
  db_->TransferRecordBuffers(id, size, [&](const uint8_t*, int32_t, uint32_t, bool& go) {
    go = ++calls < 3;
  });
  EXPECT_EQ(calls, 3);
}

TEST_F(RestructureTest, RebuildDatabaseRestoresTheConnectionOnEveryExit) {
  db_->Close();
  db_->SetExclusive(false);
  TavEngineStartup();
  auto logger = GDBLogger();
  ASSERT_TRUE(logger);
  const int maxItems = logger->MaxLogItemCount();

  db_->RebuildDatabase();
  EXPECT_FALSE(db_->Connected());
  EXPECT_FALSE(db_->Exclusive());
  EXPECT_EQ(db_->TempPrivilegeStatus(), 0);
  EXPECT_EQ(logger->MaxLogItemCount(), maxItems);
  EXPECT_EQ(db_->RebuildFailedTables().Count(), 0);
  EXPECT_TRUE(os::FileExists(dir_ / "dblog.txt"));
  db_->Open();
  EXPECT_EQ(Rows(), before_);
  db_->Close();

  // A table whose copy fails is left empty and listed; no raise.
  db_->SetOnUpdateProgress([](int p, bool&) {
    if (p == 50) throw std::runtime_error("disk on fire");  // only T passes 50
  });
  db_->RebuildDatabase();
  db_->SetOnUpdateProgress(nullptr);
  ASSERT_EQ(db_->RebuildFailedTables().Count(), 1);
  EXPECT_EQ(db_->RebuildFailedTables().Strings(0), "T");
  db_->Open();
  EXPECT_TRUE(Rows().empty());
  db_->Close();

  // A file another connection holds cannot be recreated: the raise leaves
  // everything as it was.
  auto holder = NewDataBase();
  holder->Open();
  EXPECT_NE(ErrorCodeOf([&] { db_->RebuildDatabase(); }), 0);
  EXPECT_FALSE(db_->Connected());
  EXPECT_FALSE(db_->Exclusive());
  EXPECT_EQ(db_->TempPrivilegeStatus(), 0);
  EXPECT_EQ(logger->MaxLogItemCount(), maxItems);
}

// ---------------------------------------------------------------------------
// Memory tables

TEST(TransferRecordTest, AppendsOnlyWhenEverySameNamedValueSurvives) {
  TTavDataBase db(nullptr);
  TTavDataSet wide(nullptr);
  test::ConnectMemory(db, wide, "Wide");
  host::TFieldDefs fields;
  fields.Add("K", host::ftInteger);
  fields.Add("S", host::ftString, 20);
  fields.Add("Gone", host::ftInteger);
  wide.SetTableDef(true, fields, host::TIndexDefs());
  wide.InternalCreateTable();
  wide.DataSetOpen();

  TTavDataSet narrow(nullptr);
  test::ConnectMemory(db, narrow, "Narrow");
  host::TFieldDefs small;
  small.Add("S", host::ftString, 5);
  small.Add("K", host::ftInteger);
  narrow.SetTableDef(true, small, host::TIndexDefs());
  narrow.InternalCreateTable();
  narrow.DataSetOpen();

  struct TCase {
    int32_t K;
    std::string S;
    bool Appended;
  };
  const TCase cases[] = {{1, "abc", true}, {2, "abcdefgh", false}, {3, "", true}, {4, "12345", true}};
  for (const TCase& c : cases) {
    wide.InitializeNewRecord(wide.RecordBuffer(), false);
    wide.DataSetSetFieldDataAsVariant(0, c.K);
    if (!c.S.empty()) wide.DataSetSetFieldDataAsVariant(1, c.S);
    wide.DataSetSetFieldDataAsVariant(2, 99);
    wide.AddRecord(true);
    bool done = false;
    EXPECT_EQ(narrow.TransferRecord(wide.RecordBuffer(), wide.GetInternalFields(), done), c.Appended) << c.K;
    EXPECT_TRUE(done);
  }
  bool done = false;
  EXPECT_FALSE(narrow.TransferRecord(nullptr, wide.GetInternalFields(), done));
  EXPECT_FALSE(done);

  // Transferred records are indexed by the re-index that follows.
  narrow.FinalizeRebuild();
  std::vector<std::pair<int, std::string>> got;
  for (bool ok = narrow.DataSetFirst(); ok; ok = narrow.DataSetNext()) {
    const host::Variant s = narrow.DataSetGetFieldDataAsVariant(0);
    got.emplace_back(narrow.DataSetGetFieldDataAsVariant(1).AsInteger(), s.IsNull() ? "" : s.AsString());
  }
  const std::vector<std::pair<int, std::string>> want{{1, "abc"}, {3, ""}, {4, "12345"}};
  EXPECT_EQ(got, want);
  narrow.InitializeRebuild();
  narrow.FinalizeRebuild();
  EXPECT_FALSE(narrow.DataSetFirst());
}

}  // namespace
}  // namespace tav

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/data_source.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/date_time.h"
#include "host/rtl/streams.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "engine/components/tav_blob_stream.h"
#include "engine/components/testing/memory_table_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// What the model holds of one record.
struct TModelRow {
  std::string Name;
  int32_t Grp = 0;
  std::string Memo;
  std::string Data;
};

int MemoryBlocks(TBaseIOInterface* io) {
  auto* memory = dynamic_cast<TMemoryIOInterface*>(io);
  return memory ? memory->BlockCount() : -1;
}

// A memory table "T": ID integer (unique), Name string(20) with a
// case-insensitive index, Grp integer (descending index), Memo a text BLOB,
// dates and times, Data a binary BLOB.
class BaseTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = MakeTable();
    a_->FieldDefs().Add("ID", host::ftInteger, 0, true);
    a_->FieldDefs().Add("Name", host::ftString, 20);
    a_->FieldDefs().Add("Grp", host::ftInteger);
    a_->FieldDefs().Add("Memo", host::ftMemo);
    a_->FieldDefs().Add("When", host::ftDateTime);
    a_->FieldDefs().Add("Day", host::ftDate);
    a_->FieldDefs().Add("At", host::ftTime);
    a_->FieldDefs().Add("Data", host::ftBlob);
    a_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    a_->IndexDefs().Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
    a_->IndexDefs().Add("byGrp", "Grp", host::TIndexOptions{host::ixDescending});
    a_->CreateTable();
    a_->Open();
  }

  std::unique_ptr<TTavBaseTable> MakeTable() {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    test::ConnectMemory(db_, *t, "T");
    return t;
  }

  host::TField* F(TTavBaseTable& t, const char* name) { return t.FieldByName(name); }

  // Appends, or with `at` inserts before the record the cursor stands on.
  void Insert(TTavBaseTable& t, int id, const std::string& name, int grp, const std::string& memo,
              const std::string& data = "", bool at = false) {
    if (at)
      t.Insert();
    else
      t.Append();
    F(t, "ID")->SetAsInteger(id);
    F(t, "Name")->SetAsString(name);
    F(t, "Grp")->SetAsInteger(grp);
    if (!memo.empty()) F(t, "Memo")->SetAsString(memo);
    if (!data.empty()) F(t, "Data")->SetAsString(data);
    t.Post();
  }

  // Every index's tree holds its rules and exactly the table's records,
  // the model's records are what a walk reads, and the BLOB blocks are
  // exactly those the values need.
  void CheckAgainstModel(const std::map<int, TModelRow>& model) {
    TTavBaseTable& t = *a_;
    std::set<uint32_t> addresses;
    for (int i = 0; i < t.IndexManager().Count(); ++i) {
      TIndexItem& item = *t.IndexManager().Items(i);
      const test::TTreeCheckResult r = test::CheckTree(item.Tree(), item.Unique() || item.Primary());
      ASSERT_TRUE(r.Ok()) << item.IndexName() << ": " << r.Error;
      ASSERT_EQ(r.Addresses.size(), model.size()) << item.IndexName();
      std::set<uint32_t> here(r.Addresses.begin(), r.Addresses.end());
      if (i == 0) addresses = here;
      ASSERT_EQ(here, addresses) << item.IndexName();
    }
    ASSERT_EQ(MemoryBlocks(t.TableDef().RecordInterface()), static_cast<int>(model.size()));
    std::map<int, TModelRow> seen;
    int blobBlocks = 0;
    const uint32_t capacity = t.TableDef().DefaultBlobSize() - 8;
    for (t.First(); !t.Eof(); t.Next()) {
      TModelRow row{F(t, "Name")->AsString(), F(t, "Grp")->AsInteger(), F(t, "Memo")->AsString(),
                    F(t, "Data")->AsString()};
      EXPECT_EQ(F(t, "Memo")->IsNull(), row.Memo.empty());
      EXPECT_EQ(F(t, "Data")->IsNull(), row.Data.empty());
      seen[F(t, "ID")->AsInteger()] = row;
      blobBlocks += static_cast<int>((row.Memo.size() + capacity - 1) / capacity);
      blobBlocks += static_cast<int>((row.Data.size() + capacity - 1) / capacity);
    }
    ASSERT_EQ(seen.size(), model.size());
    for (const auto& [id, row] : model) {
      ASSERT_TRUE(seen.count(id)) << id;
      EXPECT_EQ(seen[id].Name, row.Name) << id;
      EXPECT_EQ(seen[id].Grp, row.Grp) << id;
      EXPECT_EQ(seen[id].Memo, row.Memo) << id;
      EXPECT_EQ(seen[id].Data, row.Data) << id;
    }
    EXPECT_EQ(MemoryBlocks(t.TableDef().BlobInterface()), blobBlocks);
    EXPECT_FALSE(t.ReadLocked());
    EXPECT_FALSE(t.WriteLocked());
  }

  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavBaseTable> a_;
};

// Random inserts (appended, or inserted before any record), edits, cancels
// and deletes through the host dataset, with text and binary BLOBs of every
// size class, and a second dataset changing BLOBs the first has read;
// checked after every step against a model and a full scan of each index.
TEST_F(BaseTableTest, RandomWritesKeepEveryIndexEqualToTheRecords) {
  std::mt19937 rng(24);
  std::map<int, TModelRow> model;
  TTavBaseTable& t = *a_;
  auto b = MakeTable();
  b->Open();
  const uint32_t capacity = t.TableDef().DefaultBlobSize() - 8;
  const char* names[] = {"anna", "Anna", "bob", "BOB", "carl", "dora", "eve"};
  // Empty, one byte, one short of a block, a block, one over, several.
  auto blob = [&](char c) -> std::string {
    switch (rng() % 7) {
      case 0: return "";
      case 1: return std::string(1, c);
      case 2: return std::string(capacity - 1, c);
      case 3: return std::string(capacity, c);
      case 4: return std::string(capacity + 1, c);
      case 5: return std::string(rng() % (3 * capacity), c);
      default: return std::string(1 + rng() % 40, static_cast<char>(c + 1));
    }
  };
  // Stands the cursor on a random record (or on none).
  auto standSomewhere = [&] {
    if (model.empty()) return;
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    ASSERT_TRUE(t.Locate("ID", it->first, {}));
  };
  for (int step = 0; step < 400; ++step) {
    const int op = static_cast<int>(rng() % 11);
    const int id = static_cast<int>(rng() % 40);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
    if (op < 4) {
      TModelRow row{names[rng() % 7], static_cast<int32_t>(rng() % 5), blob('m'), blob('d')};
      const bool at = op % 2 == 1;
      if (at) standSomewhere();
      const int code = ErrorCodeOf([&] { Insert(t, id, row.Name, row.Grp, row.Memo, row.Data, at); });
      if (model.count(id)) {
        EXPECT_EQ(code, 9729);
        t.Cancel();
      } else {
        EXPECT_EQ(code, 0);
        model[id] = row;
      }
    } else if (!model.empty() && op < 8) {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      ASSERT_TRUE(t.Locate("ID", it->first, {}));
      t.Edit();
      TModelRow row = it->second;
      int newId = it->first;
      if (rng() % 2) row.Name = names[rng() % 7];
      if (rng() % 2) row.Grp = static_cast<int32_t>(rng() % 5);
      if (rng() % 2) row.Memo = blob('e');
      if (rng() % 2) row.Data = blob('f');
      if (rng() % 4 == 0) newId = id;
      F(t, "ID")->SetAsInteger(newId);
      F(t, "Name")->SetAsString(row.Name);
      F(t, "Grp")->SetAsInteger(row.Grp);
      if (row.Memo != it->second.Memo) F(t, "Memo")->SetAsString(row.Memo);
      if (row.Data != it->second.Data) F(t, "Data")->SetAsString(row.Data);
      if (op == 7) {
        t.Cancel();
      } else {
        const int code = ErrorCodeOf([&] { t.Post(); });
        if (newId != it->first && model.count(newId)) {
          EXPECT_EQ(code, 9729);
          t.Cancel();
        } else {
          ASSERT_EQ(code, 0);
          model.erase(it);
          model[newId] = row;
        }
      }
    } else if (!model.empty() && op < 10) {
      // The other dataset changes the BLOBs of a record this one has read.
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      ASSERT_TRUE(t.Locate("ID", it->first, {}));
      ASSERT_EQ(F(t, "Memo")->AsString(), it->second.Memo);
      ASSERT_EQ(F(t, "Data")->AsString(), it->second.Data);
      ASSERT_TRUE(b->Locate("ID", it->first, {}));
      b->Edit();
      it->second.Memo = blob('o');
      it->second.Data = blob('p');
      F(*b, "Memo")->SetAsString(it->second.Memo);
      F(*b, "Data")->SetAsString(it->second.Data);
      b->Post();
      if (op == 8) {
        t.Next();
        t.Prior();
      }
      ASSERT_TRUE(t.Locate("ID", it->first, {}));
      EXPECT_EQ(F(t, "Memo")->AsString(), it->second.Memo);
      EXPECT_EQ(F(t, "Data")->AsString(), it->second.Data);
    } else if (!model.empty()) {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      ASSERT_TRUE(t.Locate("ID", it->first, {}));
      t.Delete();
      model.erase(it);
    }
    CheckAgainstModel(model);
    if (HasFatalFailure()) return;
  }
}

TEST_F(BaseTableTest, LargeBlobsAndTheThreeStreamModes) {
  TTavBaseTable& t = *a_;
  const std::string big(3 * 1024 * 1024 + 17, 'q');
  Insert(t, 1, "a", 0, big);
  EXPECT_EQ(F(t, "Memo")->AsString(), big);
  // bmWrite freed without writing stores an empty, null BLOB.
  t.Edit();
  t.CreateBlobStream(F(t, "Memo"), host::bmWrite).reset();
  t.Post();
  EXPECT_TRUE(F(t, "Memo")->IsNull());
  EXPECT_EQ(MemoryBlocks(t.TableDef().BlobInterface()), 0);
  // bmReadWrite starts from the stored value and keeps what is written.
  t.Edit();
  F(t, "Memo")->SetAsString("hello");
  t.Post();
  t.Edit();
  {
    std::unique_ptr<host::TStream> s = t.CreateBlobStream(F(t, "Memo"), host::bmReadWrite);
    EXPECT_EQ(s->Size(), 5);
    s->Seek(0, host::soEnd);
    s->WriteBuffer(" world", 6);
  }
  t.Post();
  EXPECT_EQ(F(t, "Memo")->AsString(), "hello world");
  // bmRead serves the second read from the cache.
  std::unique_ptr<host::TStream> r1 = t.CreateBlobStream(F(t, "Memo"), host::bmRead);
  std::unique_ptr<host::TStream> r2 = t.CreateBlobStream(F(t, "Memo"), host::bmRead);
  EXPECT_TRUE(dynamic_cast<TBlobStream&>(*r2).Cached());
  EXPECT_EQ(r2->Size(), 11);
  // Writing needs edit or insert.
  EXPECT_THROW(t.CreateBlobStream(F(t, "Memo"), host::bmWrite), host::EDatabaseError);
  // Emptying the field frees its blocks and makes it null.
  t.Edit();
  F(t, "Memo")->Clear();
  t.Post();
  EXPECT_TRUE(F(t, "Memo")->IsNull());
  EXPECT_EQ(MemoryBlocks(t.TableDef().BlobInterface()), 0);
}

// Each refused write: its numbered error, nothing written and no lock flag.
TEST_F(BaseTableTest, RefusedWritesLeaveNothingBehind) {
  TTavBaseTable& t = *a_;
  Insert(t, 1, "a", 1, "one");
  Insert(t, 2, "b", 2, "two");
  auto b = MakeTable();
  b->Open();
  TTableHeader& header = *t.TableDef().TableHeader();
  struct TCase {
    const char* What;
    int Code;
    std::function<void()> Run;
  };
  const int32_t all = t.TableDef().PrivilegeFlags();
  std::vector<TCase> cases = {
      {"duplicate on insert", 9729, [&] { Insert(t, 2, "c", 3, "three"); }},
      {"duplicate on update", 9729,
       [&] {
         t.Locate("ID", 1, {});
         t.Edit();
         F(t, "ID")->SetAsInteger(2);
         F(t, "Memo")->SetAsString("changed");
         t.Post();
       }},
      {"stale copy on post", 8708,
       [&] {
         t.Locate("ID", 1, {});
         t.Edit();
         F(t, "Memo")->SetAsString("mine");
         b->Locate("ID", 1, {});
         b->Edit();
         F(*b, "Grp")->SetAsInteger(7);
         b->Post();
         t.Post();
       }},
      {"stale copy on delete", 8708,
       [&] {
         t.Locate("ID", 2, {});
         b->Locate("ID", 2, {});
         b->Edit();
         F(*b, "Grp")->SetAsInteger(9);
         b->Post();
         t.Delete();
       }},
      {"no insert privilege", 10624,
       [&] {
         t.TableDef().SetPrivilegeFlags(all & ~256);
         Insert(t, 5, "e", 5, "five");
       }},
      {"no update privilege", 10624,
       [&] {
         t.TableDef().SetPrivilegeFlags(all & ~4096);
         t.Locate("ID", 1, {});
         t.Edit();
         F(t, "Grp")->SetAsInteger(42);
         t.Post();
       }},
      {"no delete privilege", 10624,
       [&] {
         t.TableDef().SetPrivilegeFlags(all & ~1024);
         t.Locate("ID", 1, {});
         t.Delete();
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    const int records = MemoryBlocks(t.TableDef().RecordInterface());
    const int blobs = MemoryBlocks(t.TableDef().BlobInterface());
    const int nodes = MemoryBlocks(t.TableDef().IndexInterface());
    const uint32_t logical = header.GetLogicalRecordNo();
    t.Refresh();
    std::map<int, int> grp;
    for (t.First(); !t.Eof(); t.Next()) grp[F(t, "ID")->AsInteger()] = F(t, "Grp")->AsInteger();
    EXPECT_EQ(ErrorCodeOf(c.Run), c.Code);
    t.Cancel();
    t.TableDef().SetPrivilegeFlags(all);
    EXPECT_EQ(MemoryBlocks(t.TableDef().RecordInterface()), records);
    EXPECT_EQ(MemoryBlocks(t.TableDef().BlobInterface()), blobs);
    EXPECT_EQ(MemoryBlocks(t.TableDef().IndexInterface()), nodes);
    EXPECT_EQ(header.GetLogicalRecordNo(), logical);
    EXPECT_FALSE(t.ReadLocked() || t.WriteLocked());
    EXPECT_FALSE(b->ReadLocked() || b->WriteLocked());
    // Only the other dataset's own post changed anything.
    t.Refresh();
    for (t.First(); !t.Eof(); t.Next()) {
      const int id = F(t, "ID")->AsInteger();
      ASSERT_TRUE(grp.count(id));
      if (grp[id] != F(t, "Grp")->AsInteger()) {
        EXPECT_NE(std::string(c.What).find("stale"), std::string::npos);
      }
    }
  }
}

TEST_F(BaseTableTest, TwoDatasetsSeeEachOthersWrites) {
  TTavBaseTable& t = *a_;
  auto b = MakeTable();
  b->Open();
  Insert(t, 1, "a", 1, "");
  b->Refresh();
  ASSERT_TRUE(b->Locate("ID", 1, {}));
  EXPECT_EQ(F(*b, "Name")->AsString(), "a");
  b->Edit();
  F(*b, "Name")->SetAsString("from b");
  b->Post();
  t.Refresh();
  EXPECT_EQ(F(t, "Name")->AsString(), "from b");
  // A record the other deleted cannot be edited.
  t.Delete();
  EXPECT_EQ(ErrorCodeOf([&] { b->Edit(); }), 8708);
  EXPECT_EQ(b->State(), host::dsBrowse);
}

TEST_F(BaseTableTest, StringsDatesAndTimesRoundTrip) {
  TTavBaseTable& t = *a_;
  struct TCase {
    std::string In, Out;
  } strings[] = {{std::string(20, 's'), std::string(20, 's')},
                 {std::string(21, 'o'), std::string(20, 'o')},
                 {"", ""}};
  int id = 0;
  for (const TCase& c : strings) {
    t.Append();
    F(t, "ID")->SetAsInteger(++id);
    F(t, "Name")->SetAsString(c.In);
    const host::TDateTime when = host::EncodeDate(2026, 12, 9) + host::EncodeTime(10, 39, 33, 123);
    F(t, "When")->SetAsDateTime(when);
    F(t, "Day")->SetAsDateTime(host::EncodeDate(1899, 12, 30 - id));
    F(t, "At")->SetAsDateTime(host::EncodeTime(23, 59, 59, 999));
    t.Post();
    ASSERT_TRUE(t.Locate("ID", id, {}));
    EXPECT_EQ(F(t, "Name")->AsString(), c.Out);
    EXPECT_EQ(F(t, "Name")->IsNull(), false);
    EXPECT_DOUBLE_EQ(F(t, "When")->AsDateTime(), when);
    EXPECT_DOUBLE_EQ(F(t, "Day")->AsDateTime(), host::EncodeDate(1899, 12, 30 - id));
    EXPECT_NEAR(F(t, "At")->AsDateTime(), host::EncodeTime(23, 59, 59, 999), 1e-9);
  }
}

// The index a locate uses: the one whose leading fields match the most
// located fields in order (an exact match wins a tie), a case-insensitive
// locate of a text field counting only on an index that ignores case for
// it, and an index naming a field the dataset lacks ending its list there.
TEST_F(BaseTableTest, ALocateChoosesTheIndexOfTheLongestLeadingMatch) {
  TTavBaseTable& t = *a_;
  host::TIndexDefs defs;
  defs.Add("grpName", " Grp ; Name ;", host::TIndexOptions{});
  defs.Add("grp", "Grp", host::TIndexOptions{});
  defs.Add("nameCi", "Name;ID", host::TIndexOptions{host::ixCaseInsensitive});
  host::TIndexDef* listed = defs.Add("nameListed", "Name", host::TIndexOptions{});
  listed->SetCaseInsFields(" ; name");
  defs.Add("grpNopeId", "Grp;Nope;ID", host::TIndexOptions{});
  defs.Add("idName", "ID;Name", host::TIndexOptions{});
  struct TCase {
    const char* Fields;
    bool CaseInsensitive;
    const char* Index;
    int IndexFields, Matched;
  } cases[] = {
      {"Grp", false, "grpNopeId", 1, 1},         // the last exact one: Nope ends its list
      {"Grp;Name", false, "grpName", 2, 2},      // blanks and empty names skipped
      {"Grp;Name", true, "grpName", 2, 1},       // Name not case-insensitive there
      {"Name", false, "nameListed", 1, 1},       // the last exact one of equal length
      {"Name", true, "nameListed", 1, 1},        // listed by name, any case
      {"Name;ID", true, "nameCi", 2, 2},         // the whole index ignores case
      {"ID", false, "idName", 2, 1},             // a prefix of the index
      {"Grp;ID", false, "grpName", 2, 1},        // the first of the longest partial matches
      {"At", false, "", 0, 0},                   // none: the current index stays
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Fields) + (c.CaseInsensitive ? " ci" : ""));
    std::vector<host::TField*> fields;
    t.GetFieldList(fields, c.Fields);
    host::TLocateOptions options;
    if (c.CaseInsensitive) options.Include(host::loCaseInsensitive);
    std::string index;
    int indexFields = 0, matched = 0;
    EXPECT_EQ(t.MapFieldsToIndex(fields, defs, options, index, indexFields, matched), c.Matched > 0);
    EXPECT_EQ(index, c.Matched > 0 ? std::string(c.Index) : t.IndexName());
    EXPECT_EQ(matched, c.Matched);
    if (c.Matched > 0) {
      EXPECT_EQ(indexFields, c.IndexFields);
    }
  }
}

TEST_F(BaseTableTest, LocateAndLookupAgreeWithAModel) {
  TTavBaseTable& t = *a_;
  const char* names[] = {"Anna", "anna", "Annabel", "bob", "BOBBY", "carl", "Zed"};
  std::vector<std::pair<int, std::string>> rows;
  for (int i = 0; i < 40; ++i) {
    const std::string name = names[(i * 5) % 7];
    Insert(t, 100 - i, name, i % 4, "");
    rows.emplace_back(100 - i, name);
  }
  auto matches = [&](const std::string& value, bool ci, bool partial, const std::string& name) {
    const int n = partial ? static_cast<int>(value.size()) : static_cast<int>(name.size());
    if (partial && name.size() < value.size()) return false;
    return DBANSICompareStrings(name.data(), value.data(), n, static_cast<int>(value.size()), ci, false) == 0;
  };
  for (const char* value : {"anna", "ANNA", "Ann", "bob", "Bob", "Zed", "x", ""}) {
    for (int opt = 0; opt < 4; ++opt) {
      host::TLocateOptions options;
      const bool ci = opt & 1, partial = opt & 2;
      if (ci) options.Include(host::loCaseInsensitive);
      if (partial) options.Include(host::loPartialKey);
      bool any = false;
      for (const auto& r : rows) any = any || matches(value, ci, partial, r.second);
      SCOPED_TRACE(std::string(value) + " options " + std::to_string(opt));
      // Through the name index, and sequentially (Grp;Name has no index).
      ASSERT_EQ(t.Locate("Name", std::string(value), options), any);
      if (any) {
        EXPECT_TRUE(matches(value, ci, partial, F(t, "Name")->AsString()));
      }
      bool anyInGroup = false;
      for (const auto& r : rows) anyInGroup = anyInGroup || ((100 - r.first) % 4 == 1 && matches(value, ci, partial, r.second));
      ASSERT_EQ(t.Locate("Grp;Name", host::VarArrayOf({1, std::string(value)}), options), anyInGroup);
      if (anyInGroup) {
        EXPECT_EQ(F(t, "Grp")->AsInteger(), 1);
        EXPECT_TRUE(matches(value, ci, partial, F(t, "Name")->AsString()));
      }
    }
  }
  // Lookup reads without moving.
  ASSERT_TRUE(t.Locate("ID", 70, {}));
  EXPECT_EQ(t.Lookup("ID", 61, "Name").AsString(), rows[39].second);
  EXPECT_TRUE(t.Lookup("ID", 5, "Name").IsNull());
  EXPECT_EQ(F(t, "ID")->AsInteger(), 70);
}

TEST_F(BaseTableTest, EmptyTableReturnsEveryBlock) {
  TTavBaseTable& t = *a_;
  const int nodes = MemoryBlocks(t.TableDef().IndexInterface());
  for (int i = 0; i < 600; ++i) Insert(t, i, "name" + std::to_string(i), i % 3, i % 2 ? "memo" : "");
  EXPECT_GT(MemoryBlocks(t.TableDef().IndexInterface()), nodes);
  t.EmptyTable();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(MemoryBlocks(t.TableDef().RecordInterface()), 0);
  EXPECT_EQ(MemoryBlocks(t.TableDef().BlobInterface()), 0);
  EXPECT_EQ(MemoryBlocks(t.TableDef().IndexInterface()), nodes);
  Insert(t, 1, "again", 0, "x");
  CheckAgainstModel({{1, {"again", 0, "x", ""}}});
}

TEST_F(BaseTableTest, BookmarksAndPositions) {
  TTavBaseTable& t = *a_;
  for (int i = 1; i <= 5; ++i) Insert(t, i, "n", i, "");
  t.First();
  EXPECT_EQ(F(t, "ID")->AsInteger(), 1);
  t.Next();
  const host::TBookmark mark = t.GetBookmark();
  t.Last();
  EXPECT_EQ(t.RecNo(), 5);
  t.GotoBookmark(mark);
  EXPECT_EQ(F(t, "ID")->AsInteger(), 2);
  t.Delete();
  EXPECT_FALSE(t.BookmarkValid(mark));
  EXPECT_EQ(ErrorCodeOf([&] { t.GotoBookmark(mark); }), 10021);
  t.Last();
  const host::TBookmark other = t.GetBookmark();
  EXPECT_EQ(t.CompareBookmarks(mark, other), 1);
  EXPECT_EQ(t.CompareBookmarks(other, mark), 1);
  EXPECT_EQ(t.RecordCount(), 4);
}

// Fields read the active record's values wherever it stands in a ring of
// several buffers, walking either way; a text reads as its bytes and zeros
// after them, a null value as nothing, and a field with no buffer only says
// whether a value is there.
TEST_F(BaseTableTest, FieldReadsFollowTheActiveRecordAcrossAWideRing) {
  TTavBaseTable& t = *a_;
  const auto nameOf = [](int id) { return std::string(static_cast<size_t>(id), static_cast<char>('a' + id)); };
  for (int i = 1; i <= 9; ++i) Insert(t, i, nameOf(i), 10 * i, "");
  // A record whose name is null rather than empty.
  ASSERT_TRUE(t.Locate("ID", host::Variant(3), {}));
  t.Edit();
  F(t, "Name")->Clear();
  t.Post();
  host::TDataSource source(nullptr);
  source.SetDataSet(&t);
  host::TDataLink link;
  link.SetBufferCount(4);
  link.SetDataSource(&source);
  const auto check = [&](int id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(F(t, "ID")->AsInteger(), id);
    EXPECT_EQ(F(t, "Grp")->AsInteger(), 10 * id);
    host::TField* name = F(t, "Name");
    std::vector<char> raw(static_cast<size_t>(name->DataSize()), 'x');
    const bool present = name->GetData(raw.data());
    EXPECT_EQ(name->IsNull(), !present);
    const std::string expected = id == 3 ? "" : nameOf(id);
    EXPECT_EQ(present, id != 3);
    // The value's bytes, then zeros to the end of the field's buffer.
    if (present) {
      EXPECT_EQ(std::string(raw.data(), expected.size()), expected);
      EXPECT_TRUE(std::all_of(raw.begin() + static_cast<long>(expected.size()), raw.end(), [](char c) { return c == 0; }));
    } else {
      EXPECT_TRUE(std::all_of(raw.begin(), raw.end(), [](char c) { return c == 0; }));
    }
    EXPECT_EQ(name->AsString(), expected);
  };
  int id = 1;
  for (t.First(); !t.Eof(); t.Next()) check(id++);
  EXPECT_EQ(id, 10);
  for (t.Last(); !t.BOF(); t.Prior()) check(--id);
  EXPECT_EQ(id, 1);
  // Moving several records at once inside the ring, and out of it.
  t.First();
  t.MoveBy(2);
  check(3);
  t.MoveBy(5);
  check(8);
  t.MoveBy(-6);
  check(2);
  link.SetDataSource(nullptr);
}

TEST_F(BaseTableTest, FieldsFromTheTableAndTheirPrivileges) {
  // Closed, the definitions come from a cursor opened for the call.
  auto b = MakeTable();
  b->FieldDefs().Update();
  ASSERT_EQ(b->FieldDefs().Count(), 8);
  EXPECT_EQ(b->FieldDefs().Items(1)->Name(), "Name");
  EXPECT_EQ(b->FieldDefs().Items(1)->Size(), 20);
  EXPECT_FALSE(b->Active());
  EXPECT_FALSE(b->InternalActive());
  // Open, a field without the read privilege is hidden and one without the
  // update privilege read-only.
  b->Open();
  b->GetInternalFields().Items(1)->SetPrivilegeFlags(0x7FFFFFFF & ~2048);
  b->GetInternalFields().Items(2)->SetPrivilegeFlags(0x7FFFFFFF & ~4096);
  b->DataSetSetFieldPrivileges();
  EXPECT_FALSE(F(*b, "Name")->Visible());
  EXPECT_TRUE(F(*b, "Grp")->ReadOnly());
  EXPECT_FALSE(F(*b, "ID")->ReadOnly());
  EXPECT_EQ(b->IndexDefs().Count(), 3);
}

TEST_F(BaseTableTest, ClosesWhenItsDatabaseGoes) {
  auto db = std::make_unique<TTavDataBase>(nullptr);
  TTavBaseTable t(nullptr);
  test::ConnectMemory(*db, t, "X");
  t.FieldDefs().Add("A", host::ftInteger);
  t.CreateTable();
  t.Open();
  t.Append();
  F(t, "A")->SetAsInteger(1);
  t.Post();
  db.reset();
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(t.DataBase(), nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }), 10112);
}

TEST_F(BaseTableTest, LockedHoldsTheTableLockAcrossWrites) {
  TTavBaseTable& t = *a_;
  t.SetLocked(true);
  EXPECT_TRUE(t.Locked());
  Insert(t, 1, "a", 1, "");
  EXPECT_EQ(ErrorCodeOf([&] { Insert(t, 1, "b", 1, ""); }), 9729);
  t.Cancel();
  EXPECT_TRUE(t.WriteLocked());
  t.SetLocked(false);
  EXPECT_FALSE(t.Locked());
  // Flush posts a pending insert.
  t.Append();
  F(t, "ID")->SetAsInteger(2);
  t.Flush();
  EXPECT_EQ(t.State(), host::dsBrowse);
  EXPECT_EQ(t.RecordCount(), 2);
}

}  // namespace
}  // namespace tav


namespace tav {
namespace {

// A field the user may not read selects nothing: reading it, asking whether
// it is null, locating or looking up by it and key searches on an index over
// it each raise 10624; posting a record still works.
TEST_F(BaseTableTest, AFieldTheUserMayNotReadSelectsNothing) {
  TTavTable t(nullptr);
  test::ConnectMemory(db_, t, "T");
  t.Open();
  t.Append();
  F(t, "ID")->SetAsInteger(1);
  F(t, "Name")->SetAsString("secret");
  t.Post();
  t.GetInternalFields().Items(t.GetFieldNo("Name"))->SetPrivilegeFlags(0x7FFFFFFF & ~2048);
  EXPECT_EQ(ErrorCodeOf([&] { F(t, "Name")->AsString(); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { F(t, "Name")->IsNull(); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.Locate("Name", "secret", {}); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.Locate("ID;Name", host::VarArrayOf({1, "secret"}), {}); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.Lookup("Name", "secret", "ID"); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.Lookup("ID", 1, "Name"); }), 10624);
  t.SetIndexName("byName");
  EXPECT_EQ(ErrorCodeOf([&] { t.FindKey({"secret"}); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.FindNearest({"s"}); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t.SetRange({"a"}, {"z"}); }), 10624);
  t.SetIndexName("pk");
  // The other fields read, and a new record posts.
  EXPECT_TRUE(t.Locate("ID", 1, {}));
  t.Append();
  F(t, "ID")->SetAsInteger(2);
  t.Post();
  EXPECT_EQ(t.RecordCount(), 2);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// A table "M" on memory or on disk: ID primary, Grp with duplicates (one
// ascending, one descending index), Name case-insensitive, Grp;Name two
// fields. Two host datasets on it keep the index named by the test current.
class TwoDatasetWritesTest : public ::testing::TestWithParam<std::tuple<bool, const char*>> {
 protected:
  struct TRow {
    int32_t Id;
    int32_t Grp;
    std::string Name;
    int64_t Seq;  // insertion order: ties of a non-unique index go by it
  };

  void SetUp() override {
    const auto [disk, index] = GetParam();
    index_ = index;
    if (disk) {
      ASSERT_TRUE(dir_.Ok());
      db_.SetDataBaseName(dir_ / "writes.tav");
      db_.CreateDatabase();
      db_.Open();
    } else {
      db_.SetDataBaseName(kMemoryDataBaseName);
      db_.Open();
    }
    a_ = Make(!disk);
    a_->FieldDefs().Add("ID", host::ftInteger, 0, true);
    a_->FieldDefs().Add("Grp", host::ftInteger);
    a_->FieldDefs().Add("Name", host::ftString, 12);
    a_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    a_->IndexDefs().Add("byGrp", "Grp", host::TIndexOptions{});
    a_->IndexDefs().Add("byGrpDesc", "Grp", host::TIndexOptions{host::ixDescending});
    a_->IndexDefs().Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
    a_->IndexDefs().Add("byGrpName", "Grp;Name", host::TIndexOptions{});
    a_->CreateTable();
    b_ = Make(!disk);
    for (TTavTable* t : {a_.get(), b_.get()}) {
      t->SetIndexName(index_);
      t->Open();
    }
  }
  void TearDown() override {
    b_.reset();
    a_.reset();
    db_.Close();
  }

  std::unique_ptr<TTavTable> Make(bool memory) {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetMemory(memory);
    t->SetTableName("M");
    return t;
  }

  static int CompareNames(const std::string& x, const std::string& y, bool ci) {
    return DBANSICompareStrings(x.data(), y.data(), static_cast<int>(x.size()), static_cast<int>(y.size()), ci,
                                false);
  }
  // The model's order under the current index.
  bool Before(const TRow& x, const TRow& y) const {
    const std::string index = index_;
    int c = 0;
    if (index == "pk") return x.Id < y.Id;
    if (index == "byGrp") c = (x.Grp > y.Grp) - (x.Grp < y.Grp);
    if (index == "byGrpDesc") c = (x.Grp < y.Grp) - (x.Grp > y.Grp);
    if (index == "byName") c = CompareNames(x.Name, y.Name, true);
    if (index == "byGrpName") {
      c = (x.Grp > y.Grp) - (x.Grp < y.Grp);
      if (c == 0) c = CompareNames(x.Name, y.Name, false);
    }
    if (c != 0) return c < 0;
    // The hidden record number ending a non-unique key turns with it.
    return index == "byGrpDesc" ? x.Seq > y.Seq : x.Seq < y.Seq;
  }
  // The 1-based place of `id` in the current index's order; 0 when absent.
  int Place(int32_t id) const {
    std::vector<TRow> rows;
    for (const auto& [key, row] : model_) rows.push_back(row);
    std::sort(rows.begin(), rows.end(), [&](const TRow& x, const TRow& y) { return Before(x, y); });
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].Id == id) return static_cast<int>(i) + 1;
    return 0;
  }

  static int32_t Id(TTavTable& t) { return t.FieldByName("ID")->AsInteger(); }
  // The dataset stands on a record of the model, with its values and its
  // place in the current index as its record number.
  void ExpectStandsOn(TTavTable& t, int32_t id, const std::string& what) {
    SCOPED_TRACE(what + " on " + std::to_string(id));
    ASSERT_EQ(Id(t), id);
    ASSERT_TRUE(model_.count(id));
    EXPECT_EQ(t.FieldByName("Grp")->AsInteger(), model_[id].Grp);
    EXPECT_EQ(t.FieldByName("Name")->AsString(), model_[id].Name);
    EXPECT_EQ(t.RecNo(), Place(id));
  }

  void Set(TTavTable& t, const TRow& row) {
    t.FieldByName("ID")->SetAsInteger(row.Id);
    t.FieldByName("Grp")->SetAsInteger(row.Grp);
    t.FieldByName("Name")->SetAsString(row.Name);
  }

  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavTable> a_, b_;
  const char* index_ = "";
  std::map<int32_t, TRow> model_;
};

// Random inserts, edits and deletes through either of two datasets: after
// each, the writer stands on its record at the record number the model
// gives, the other sees the change at its refresh and still stands on its
// own record at its new number, both count the model's records, and
// Locate finds (or misses) what the model holds, at the model's number.
TEST_P(TwoDatasetWritesTest, RecordNumbersAndLocatesFollowAModel) {
  const char* names[] = {"anna", "Anna", "ANNABEL", "bob", "Bobby", "carl", "Carl", "zed"};
  std::mt19937 rng(44);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto anyId = [&] {
    auto it = model_.begin();
    std::advance(it, pick(static_cast<int>(model_.size())));
    return it->first;
  };
  int64_t seq = 0;
  for (int step = 0; step < 160; ++step) {
    TTavTable& w = pick(2) == 0 ? *a_ : *b_;
    TTavTable& o = &w == a_.get() ? *b_ : *a_;
    const int32_t otherId = o.IsEmpty() ? -1 : Id(o);
    const int kind = model_.size() < 8 ? 0 : pick(5);
    std::string what;
    int32_t expectId = -1;
    if (kind <= 2) {
      TRow row{0, pick(4), names[pick(8)], ++seq};
      do row.Id = pick(400); while (model_.count(row.Id));
      if (pick(2) == 0) w.Append(); else w.Insert();
      Set(w, row);
      w.Post();
      model_[row.Id] = row;
      expectId = row.Id;
      what = "insert";
    } else if (kind == 3) {
      const int32_t id = anyId();
      ASSERT_TRUE(w.Locate("ID", id, {}));
      TRow row = model_[id];
      row.Grp = pick(4);
      row.Name = names[pick(8)];
      if (pick(3) == 0) do row.Id = pick(400); while (model_.count(row.Id));
      w.Edit();
      Set(w, row);
      w.Post();
      model_.erase(id);
      model_[row.Id] = row;
      expectId = row.Id;
      what = "edit";
    } else {
      const int32_t id = anyId();
      ASSERT_TRUE(w.Locate("ID", id, {}));
      w.Delete();
      model_.erase(id);
      what = "delete";
    }
    SCOPED_TRACE("step " + std::to_string(step) + " " + what);
    if (expectId >= 0)
      ExpectStandsOn(w, expectId, "writer");
    else if (!model_.empty())
      ExpectStandsOn(w, Id(w), "writer after delete");
    o.Refresh();
    if (model_.count(otherId)) ExpectStandsOn(o, otherId, "other");
    for (TTavTable* t : {a_.get(), b_.get()}) {
      EXPECT_EQ(t->RecordCount(), static_cast<int>(model_.size()));
      int32_t missing;
      do missing = pick(400); while (model_.count(missing));
      EXPECT_FALSE(t->Locate("ID", missing, {}));
      if (model_.empty()) continue;
      const int32_t id = anyId();
      ASSERT_TRUE(t->Locate("ID", id, {}));
      ExpectStandsOn(*t, id, "locate by ID");
      const std::string name = model_[id].Name;
      ASSERT_TRUE(t->Locate("Name", name, host::TLocateOptions{host::loCaseInsensitive}));
      EXPECT_EQ(CompareNames(t->FieldByName("Name")->AsString(), name, true), 0);
      ExpectStandsOn(*t, Id(*t), "locate by Name");
      ASSERT_TRUE(t->Locate("Grp;Name", host::VarArrayOf({model_[id].Grp, name}), {}));
      ExpectStandsOn(*t, Id(*t), "locate by Grp;Name");
      EXPECT_EQ(t->FieldByName("Grp")->AsInteger(), model_[id].Grp);
    }
    if (step % 16 == 0) {
      // The model's order is the index's: a walk reads the records in it.
      std::vector<int32_t> walked, expected(model_.size());
      for (o.First(); !o.Eof(); o.Next()) walked.push_back(Id(o));
      for (const auto& [id, row] : model_) expected[static_cast<size_t>(Place(id) - 1)] = id;
      EXPECT_EQ(walked, expected);
    }
    if (HasFatalFailure() || HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryIndexKind, TwoDatasetWritesTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values("pk", "byGrp", "byGrpDesc", "byName", "byGrpName")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Disk_" : "Memory_") +
                                  std::get<1>(info.param);
                         });

}  // namespace
}  // namespace tav

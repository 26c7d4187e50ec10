// Whole tables in a database file and in memory: created, filled, opened by
// several connections (in this process and in another), restructured and
// deleted, with every index checked against the records after each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

std::string Blob(int i) {
  // Sizes across several 512-byte blocks, some empty.
  std::string s(static_cast<size_t>((i * 97) % 1500), '\0');
  for (size_t k = 0; k < s.size(); ++k) s[k] = static_cast<char>('a' + (i + k) % 26);
  return s;
}

// The pages of table `id` of one kind, as the file's map says.
int PagesOwned(const std::string& path, int32_t id, uint16_t kind) {
  const TMapImage map = ReadMapImage(path, 4096);
  EXPECT_EQ(map.error, "");
  int n = 0;
  for (uint16_t e : map.entry)
    if (e == static_cast<uint16_t>(id * 16 + kind)) ++n;
  return n;
}

// The blocks on a free chain, run by run.
uint32_t FreeBlockCount(TBaseIOInterface& io, uint32_t head) {
  uint32_t n = 0;
  uint8_t b[16];
  for (int guard = 0; head != 0 && guard < 100000; ++guard) {
    io.ReadBlockHeader(head, 16, b);
    uint32_t next, count;
    std::memcpy(&next, b + 8, 4);
    std::memcpy(&count, b + 12, 4);
    n += count;
    head = next;
  }
  return n;
}

int PagesOfTable(const std::string& path, int32_t id) {
  const TMapImage map = ReadMapImage(path, 4096);
  EXPECT_EQ(map.error, "");
  int n = 0;
  for (uint16_t e : map.entry)
    if (e != 0 && (e & 0x8000) == 0 && (e >> 4) == id) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// The sequence a benchmark runs: a file, a table with an integer, a string
// and a BLOB, a unique index and a case-insensitive one; insert, look up by
// either index, walk in order, delete.

TEST(TableRoundtrip, CreateFillLookUpWalkDelete) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TTestDatabaseFile db(dir / "bench.tav", /*create=*/true);

  TTableDef def(nullptr);
  BuildTableDef(def, "PEOPLE", /*memory=*/false,
                {{"ID", host::ftInteger}, {"NAME", host::ftString, 40}, {"DATA", host::ftBlob}},
                {{"ById", "ID", /*unique=*/true},
                 {"ByName", "NAME", false, false, /*caseInsensitive=*/true}});
  ASSERT_EQ(db.Tables().CreateTableDef("PEOPLE", def), 0);
  EXPECT_EQ(def.TableID(), 1);

  TTableConnection people(db.Tables(), def);
  std::map<int32_t, uint32_t> byId;
  const int n = 400;
  for (int i = 0; i < n; ++i) {
    const int32_t id = (i * 7919) % 1000;  // not in insert order
    std::vector<uint8_t> rec = people.NewRecord();
    people.SetInteger(rec, "ID", id);
    people.SetString(rec, "NAME", (i % 2 ? "name " : "NAME ") + std::to_string(id % 50));
    byId[id] = people.Insert(rec, {{"DATA", Blob(id)}});
  }
  EXPECT_EQ(CheckIndexesAgree(people), "");

  // Point lookups by the unique index, record and BLOB back.
  for (const auto& [id, address] : byId) {
    const std::vector<uint32_t> hit = people.Find("ById", host::Variant(id));
    ASSERT_EQ(hit.size(), 1u);
    ASSERT_EQ(hit[0], address);
    const std::vector<uint8_t> rec = people.Read(address);
    ASSERT_EQ(people.GetInteger(rec.data(), "ID"), id);
    ASSERT_EQ(people.ReadBlob(rec.data(), "DATA"), Blob(id));
  }
  EXPECT_TRUE(people.Find("ById", host::Variant(1000)).empty());
  // A unique key is refused a second time, before anything is stored.
  std::vector<uint8_t> dup = people.NewRecord();
  people.SetInteger(dup, "ID", byId.begin()->first);
  people.SetString(dup, "NAME", "dup");
  EXPECT_EQ(ErrorCodeOf([&] { people.Insert(dup); }), 9729);

  // The string index ignores case and keeps equal names in insert order.
  size_t expected = 0;
  for (const auto& entry : byId) expected += entry.first % 50 == 7 ? 1 : 0;
  ASSERT_GT(expected, 1u);
  const std::vector<uint32_t> sevens = people.Find("ByName", host::Variant("nAmE 7"));
  EXPECT_EQ(sevens.size(), expected);
  uint32_t lastNo = 0;
  for (uint32_t a : sevens) {
    const std::vector<uint8_t> rec = people.Read(a);
    EXPECT_EQ(host::UpperCase(people.GetString(rec.data(), "NAME")), "NAME 7");
    EXPECT_GT(people.LogicalRecNo(rec.data()), lastNo);
    lastNo = people.LogicalRecNo(rec.data());
  }

  // Walking the unique index gives the ids in order.
  std::vector<int32_t> ids;
  for (uint32_t a : people.Walk("ById")) ids.push_back(people.GetInteger(people.Read(a).data(), "ID"));
  ASSERT_EQ(ids.size(), byId.size());
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));

  // Deleting takes the record, its keys and its BLOB.
  int deleted = 0;
  for (const auto& [id, address] : byId) {
    if (id % 3 != 0) continue;
    people.Delete(address);
    ++deleted;
    EXPECT_TRUE(people.Find("ById", host::Variant(id)).empty());
  }
  EXPECT_EQ(people.LiveRecords().size(), byId.size() - static_cast<size_t>(deleted));
  EXPECT_EQ(CheckIndexesAgree(people), "");
  for (const auto& [id, address] : byId)
    if (id % 3 != 0) people.Delete(address);
  EXPECT_TRUE(people.LiveRecords().empty());
  EXPECT_TRUE(people.Walk("ById").empty());
  EXPECT_TRUE(people.Walk("ByName").empty());
  EXPECT_EQ(CheckIndexesAgree(people), "");
  // Every BLOB block is free again.
  TBaseIOInterface& blobs = *people.Def().BlobInterface();
  host::TList blocks;
  blobs.ListBlocks(blocks);
  EXPECT_GT(blocks.Count(), 0);
  EXPECT_EQ(FreeBlockCount(blobs, people.Header().GetBlobFirstEmpty()),
            static_cast<uint32_t>(blocks.Count()));
}

// ---------------------------------------------------------------------------
// A disk table through its whole life.

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"AMOUNT", host::ftInteger},
    {"DATA", host::ftBlob}};
const std::vector<TTableIndexDesc> kIndexes = {
    {"ById", "ID", true},
    {"ByName", "NAME", false, false, true},
    {"ByAmount", "AMOUNT", false, false, false, /*descending=*/true}};

void Fill(TTableConnection& c, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", i);
    c.SetString(rec, "NAME", "Customer " + std::to_string(i % 37));
    if (i % 11 == 0) {
      c.SetNull(rec, "AMOUNT");
    } else {
      c.SetInteger(rec, "AMOUNT", (i * 31) % 200 - 100);
    }
    c.Insert(rec, {{"DATA", Blob(i)}});
  }
}

std::set<int32_t> Ids(TTableConnection& c) {
  std::set<int32_t> ids;
  for (uint32_t a : c.LiveRecords()) ids.insert(c.GetInteger(c.Read(a).data(), "ID"));
  return ids;
}

TEST(TableLifecycle, DiskTableWithSeveralUsersRestructuredAndDeleted) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "life.tav";
  TTestDatabaseFile db(path, true);
  TTableDef def(nullptr);
  BuildTableDef(def, "ORDERS", false, kFields, kIndexes);
  ASSERT_EQ(db.Tables().CreateTableDef("ORDERS", def), 0);
  const int32_t id = def.TableID();

  {
    TTableConnection first(db.Tables(), def);
    Fill(first, 0, 300);
    ASSERT_EQ(CheckIndexesAgree(first), "");

    // A second connection in this process shares the header and the blocks.
    TTableConnection second(db.Tables(), def);
    EXPECT_EQ(second.Def().TableHeader(), first.Def().TableHeader());
    EXPECT_EQ(second.Def().RecordInterface(), first.Def().RecordInterface());
    EXPECT_EQ(db.Tables().CheckTableUserCount("ORDERS"), 2);
    EXPECT_EQ(db.Tables().OwnHeaderMgr()->FindHdrItemByID(id)->UserCount(), 1);
    Fill(second, 300, 50);
    for (uint32_t a : second.Find("ById", host::Variant(10))) second.Delete(a);
    // The first connection's trees hold nodes the second has changed.
    ASSERT_EQ(CheckIndexesAgree(first), "");
    EXPECT_EQ(first.Find("ById", host::Variant(10)).size(), 0u);
    EXPECT_EQ(first.Find("ById", host::Variant(349)).size(), 1u);

    // Another process opens the file, checks, adds and deletes, and leaves.
    const int child = os::test::RunInChild([&] {
      TTestDatabaseFile other(path, false);
      auto table = OpenStoredTable(other.Tables(), "ORDERS", id, kFields, kIndexes);
      TTableConnection& c = *table;
      if (!CheckIndexesAgree(c).empty()) return 1;
      if (c.LiveRecords().size() != 349) return 2;
      Fill(c, 1000, 60);
      for (int k = 20; k < 30; ++k)
        for (uint32_t a : c.Find("ById", host::Variant(k))) c.Delete(a);
      if (!CheckIndexesAgree(c).empty()) return 3;
      c.Close();
      return 0;
    });
    ASSERT_EQ(child, 0);
    // This process sees the other's work at its next look at the header.
    ASSERT_EQ(CheckIndexesAgree(first), "");
    EXPECT_EQ(first.LiveRecords().size(), 349u + 60u - 10u);
    EXPECT_EQ(second.Find("ById", host::Variant(1059)).size(), 1u);
    EXPECT_EQ(second.Find("ById", host::Variant(25)).size(), 0u);

    // Deleting the table while others use it is refused, and the refusal
    // leaves the count alone.
    EXPECT_EQ(ErrorCodeOf([&] { db.Tables().DeleteTableDef("ORDERS", first.Def()); }), 8578);
    EXPECT_EQ(db.Tables().CheckTableUserCount("ORDERS"), 2);
    EXPECT_EQ(ErrorCodeOf([&] { db.Tables().DeleteTableDef("ORDERS", def); }), 8578);
    EXPECT_EQ(db.Tables().CheckTableUserCount("ORDERS"), 2);
    second.Close();
    EXPECT_EQ(db.Tables().CheckTableUserCount("ORDERS"), 1);
    ASSERT_EQ(CheckIndexesAgree(first), "");
    // Restructuring an open table is refused too.
    TRestructureFieldDefs nf;
    TRestructureIndexDefs ni;
    TRestructureDetails details;
    details.NewFieldDefs = &nf;
    details.NewIndexDefs = &ni;
    EXPECT_EQ(ErrorCodeOf([&] { db.Tables().RestructureTableDef(def, details); }), 8578);
  }
  // The last connection gave the header back.
  EXPECT_EQ(db.Tables().CheckTableUserCount("ORDERS"), 0);
  EXPECT_EQ(db.Tables().OwnHeaderMgr()->FindHdrItemByID(id), nullptr);
  const std::set<int32_t> idsBefore = [&] {
    TTableConnection c(db.Tables(), def);
    return Ids(c);
  }();

  // Index change only: ByAmount dropped, ByNameId added. The old trees'
  // pages are freed; the records stay and are indexed again.
  const int indexPagesBefore = PagesOwned(path, id, kUsageIndex);
  ASSERT_GT(indexPagesBefore, 3);
  TTableDef indexChanged(nullptr);
  BuildTableDef(indexChanged, "ORDERS", false, kFields,
                {kIndexes[0], kIndexes[1], {"ByNameId", "NAME;ID", true}});
  indexChanged.SetTableID(id);
  {
    TRestructureFieldDefs nf;
    TRestructureIndexDefs ni;
    ni.SetChangeStatus(dcDataChange);
    TRestructureDetails details;
    details.NewFieldDefs = &nf;
    details.NewIndexDefs = &ni;
    db.Tables().RestructureTableDef(indexChanged, details);
  }
  EXPECT_EQ(PagesOwned(path, id, kUsageIndex), 3);
  {
    TTableConnection c(db.Tables(), indexChanged);
    EXPECT_EQ(c.Header().GetIndexCount(), 3);
    EXPECT_EQ(c.Indexes().FindIndex("ByAmount"), nullptr);
    // Re-index: every record's keys into the new empty trees.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> recs;
    for (uint32_t a : c.LiveRecords()) recs.emplace_back(a, c.Read(a));
    c.Begin();
    for (const auto& [a, rec] : recs) {
      for (int i = 0; i < c.Indexes().Count(); ++i) {
        c.Indexes().Items(i)->CreateKeyBuffer(rec.data());
        ASSERT_EQ(c.Indexes().Items(i)->InsertKey(a), 0);
      }
    }
    c.End();
    ASSERT_EQ(CheckIndexesAgree(c), "");
    EXPECT_EQ(Ids(c), idsBefore);
    EXPECT_EQ(c.Find("ByNameId", host::VarArrayOf({host::Variant("Customer 5"), host::Variant(5)}))
                  .size(),
              1u);
  }

  // A field added: the records go and come back in the new layout.
  std::vector<std::pair<std::vector<uint8_t>, std::string>> saved;
  {
    TTableConnection c(db.Tables(), indexChanged);
    for (uint32_t a : c.LiveRecords()) {
      std::vector<uint8_t> rec = c.Read(a);
      saved.emplace_back(rec, c.ReadBlob(rec.data(), "DATA"));
    }
  }
  std::vector<TTableFieldDesc> moreFields = kFields;
  moreFields.insert(moreFields.begin() + 2, {"NOTE", host::ftString, 12});
  TTableDef fieldAdded(nullptr);
  BuildTableDef(fieldAdded, "ORDERS", false, moreFields, {kIndexes[0], kIndexes[1], kIndexes[2]});
  fieldAdded.SetTableID(id);
  {
    TRestructureFieldDefs nf;
    nf.SetChangeStatus(dcAdded);
    TRestructureIndexDefs ni;
    ni.SetChangeStatus(dcDataChange);
    TRestructureDetails details;
    details.NewFieldDefs = &nf;
    details.NewIndexDefs = &ni;
    details.ResetGenerator1 = true;
    details.Generator1Value = 77;
    db.Tables().RestructureTableDef(fieldAdded, details);
  }
  // Only the new empty roots are left of the table.
  EXPECT_EQ(PagesOfTable(path, id), 3);
  {
    TTableConnection c(db.Tables(), fieldAdded);
    EXPECT_TRUE(c.LiveRecords().empty());
    EXPECT_EQ(c.Header().GetGenerator1(), 77u);
    EXPECT_EQ(c.Header().GetLogicalRecordNo(), 0u);
    TTableDef oldLayout(nullptr);
    BuildTableDef(oldLayout, "x", false, kFields, {});
    for (const auto& [old, blob] : saved) {
      std::vector<uint8_t> rec = c.NewRecord();
      for (const TTableFieldDesc& f : kFields) {
        const TInternalFieldItem& from = *oldLayout.InternalFields().FindField(f.Name);
        if (old[from.NullFlagOffset()] == 0 || f.Type == host::ftBlob) continue;
        if (f.Type == host::ftString) {
          uint16_t len;
          std::memcpy(&len, old.data() + from.SizeMarkerOffset(), 2);
          c.SetString(rec, f.Name,
                      std::string(reinterpret_cast<const char*>(old.data() + from.DataOffset()), len));
        } else {
          int32_t v;
          std::memcpy(&v, old.data() + from.DataOffset(), 4);
          c.SetInteger(rec, f.Name, v);
        }
      }
      c.SetString(rec, "NOTE", "moved");
      c.Insert(rec, {{"DATA", blob}});
    }
    ASSERT_EQ(CheckIndexesAgree(c), "");
    EXPECT_EQ(Ids(c), idsBefore);
    for (uint32_t a : c.Find("ById", host::Variant(1059))) {
      const std::vector<uint8_t> rec = c.Read(a);
      EXPECT_EQ(c.GetString(rec.data(), "NOTE"), "moved");
      EXPECT_EQ(c.ReadBlob(rec.data(), "DATA"), Blob(1059));
    }
  }

  // Deleted: every page of the table goes with it.
  EXPECT_EQ(db.Tables().DeleteTableDef("ORDERS", fieldAdded), 0);
  EXPECT_EQ(fieldAdded.TableID(), 0);
  EXPECT_EQ(PagesOfTable(path, id), 0);
  EXPECT_EQ(ErrorCodeOf([&] { TTableConnection c(db.Tables(), def); }), 8581);
}

// A deleted table's id goes to the next new table, which must start from a
// header of its own: no free-chain heads, counters or index roots of the
// table before it.
TEST(TableLifecycle, ReusedTableIdStartsClean) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "reuse.tav";
  TTestDatabaseFile db(path, true);
  TTableDef first(nullptr);
  BuildTableDef(first, "FIRST", false, kFields, kIndexes);
  ASSERT_EQ(db.Tables().CreateTableDef("FIRST", first), 0);
  {
    TTableConnection c(db.Tables(), first);
    Fill(c, 0, 120);
    for (int k = 0; k < 40; ++k)
      for (uint32_t a : c.Find("ById", host::Variant(k))) c.Delete(a);
    EXPECT_NE(c.Header().GetRecordFirstEmpty(), 0u);
    // Deleting through the connection's own definition is allowed: its one
    // use is the caller's.
    EXPECT_EQ(db.Tables().DeleteTableDef("FIRST", c.Def()), 0);
    EXPECT_EQ(c.Def().TableHeader(), nullptr);
    EXPECT_EQ(db.Tables().CheckTableUserCount("FIRST"), 0);
  }
  EXPECT_EQ(db.Tables().OwnHeaderMgr()->FindHdrItemByID(1), nullptr);

  TTableDef next(nullptr);
  BuildTableDef(next, "NEXT", false, {{"K", host::ftInteger}, {"DATA", host::ftBlob}},
                {{"ByK", "K", true}});
  ASSERT_EQ(db.Tables().CreateTableDef("NEXT", next), 0);
  ASSERT_EQ(next.TableID(), 1);
  TTableConnection c(db.Tables(), next);
  TTableHeader& h = c.Header();
  EXPECT_EQ(h.GetIndexCount(), 1);
  EXPECT_EQ(h.GetRecordFirstEmpty(), 0u);
  EXPECT_EQ(h.GetBlobFirstEmpty(), 0u);
  EXPECT_EQ(h.GetLogicalRecordNo(), 0u);
  EXPECT_TRUE(c.LiveRecords().empty());
  EXPECT_EQ(PagesOfTable(path, 1), 1);  // its one root
  for (int i = 0; i < 50; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "K", i);
    c.Insert(rec, {{"DATA", Blob(i)}});
  }
  EXPECT_EQ(CheckIndexesAgree(c), "");
  EXPECT_EQ(c.LiveRecords().size(), 50u);
}

// ---------------------------------------------------------------------------
// Memory tables.

TEST(TableLifecycle, MemoryTableWithSeveralUsersEmptiedAndRefilled) {
  TMemoryTableDefMgr mgr;
  mgr.Open();
  TTableDef def(nullptr);
  BuildTableDef(def, "SCRATCH", /*memory=*/true, kFields, kIndexes);
  ASSERT_EQ(mgr.CreateTableDef("SCRATCH", def), 0);
  EXPECT_EQ(def.TableID(), 1);

  TTableConnection first(mgr, def);
  Fill(first, 0, 250);
  ASSERT_EQ(CheckIndexesAgree(first), "");
  TTableConnection second(mgr, def);
  EXPECT_EQ(second.Def().IndexInterface(), first.Def().IndexInterface());
  EXPECT_EQ(second.LiveRecords().size(), 250u);
  for (int k = 0; k < 250; k += 5)
    for (uint32_t a : second.Find("ById", host::Variant(k))) second.Delete(a);
  ASSERT_EQ(CheckIndexesAgree(first), "");
  EXPECT_EQ(first.LiveRecords().size(), 200u);

  // Emptied through one connection and refilled through the other: only the
  // new rows, in every index, for both.
  first.Empty();
  EXPECT_TRUE(second.LiveRecords().empty());
  EXPECT_TRUE(second.Walk("ByName").empty());
  Fill(second, 5000, 80);
  ASSERT_EQ(CheckIndexesAgree(first), "");
  ASSERT_EQ(CheckIndexesAgree(second), "");
  const std::set<int32_t> ids = Ids(first);
  EXPECT_EQ(ids.size(), 80u);
  EXPECT_EQ(*ids.begin(), 5000);
  EXPECT_EQ(first.Find("ById", host::Variant(3)).size(), 0u);
  EXPECT_EQ(first.Walk("ByAmount").size(), 80u);

  // The table stays while unused, and is deleted only when no other user has it.
  second.Close();
  EXPECT_EQ(mgr.CheckTableUserCount("SCRATCH"), 1);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.DeleteTableDef("SCRATCH", def); }), 8578);
  EXPECT_EQ(mgr.CheckTableUserCount("SCRATCH"), 1);
  first.Close();
  EXPECT_EQ(mgr.CheckTableUserCount("SCRATCH"), 0);
  {
    TTableConnection again(mgr, def);
    EXPECT_EQ(again.LiveRecords().size(), 80u);
    ASSERT_EQ(CheckIndexesAgree(again), "");
  }
  EXPECT_EQ(ErrorCodeOf([&] { mgr.RestructureTableDef(def, TRestructureDetails{}); }), 10766);
  EXPECT_EQ(mgr.DeleteTableDef("SCRATCH", def), 0);
  EXPECT_EQ(mgr.MasterCount(), 0);

  TTableDef next(nullptr);
  BuildTableDef(next, "NEXT", true, {{"K", host::ftInteger}}, {});
  ASSERT_EQ(mgr.CreateTableDef("NEXT", next), 0);
  EXPECT_EQ(next.TableID(), 1);
  TTableConnection c(mgr, next);
  EXPECT_TRUE(c.LiveRecords().empty());
  EXPECT_EQ(c.Header().GetLogicalRecordNo(), 0u);
  for (int i = 0; i < 30; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "K", 30 - i);
    c.Insert(rec);
  }
  EXPECT_EQ(CheckIndexesAgree(c), "");
  EXPECT_EQ(c.Walk(kLogicalRecNoIndex).size(), 30u);
}

}  // namespace
}  // namespace tav::test

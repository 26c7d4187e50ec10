#include "engine/storage/table/table_def_mgr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/string_list.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::TTableConnection;
using test::TTestDatabaseFile;

void Sample(TTableDef& def, const std::string& name, bool memory) {
  test::BuildTableDef(def, name, memory, {{"ID", host::ftInteger}, {"NAME", host::ftString, 10}},
                      {{"ById", "ID", true}, {"ByName", "NAME"}});
}

void Add(TTableConnection& c, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", i);
    c.SetString(rec, "NAME", "n" + std::to_string(i % 5));
    c.Insert(rec);
  }
}

class DiskTableDefMgrTest : public ::testing::Test {
 protected:
  DiskTableDefMgrTest() : db_(dir_ / "t.tav", true) {}
  TDiskTableDefMgr& Tables() { return db_.Tables(); }
  TTableHeaderMgr& Headers() { return *db_.Tables().OwnHeaderMgr(); }
  int PagesOf(int32_t id) {
    const test::TMapImage map = test::ReadMapImage(db_.DiskMgr().FileName(), 4096);
    EXPECT_EQ(map.error, "");
    int n = 0;
    for (uint16_t e : map.entry)
      if (e != 0 && (e & 0x8000) == 0 && (e >> 4) == id) ++n;
    return n;
  }

  os::test::TTempDir dir_;
  TTestDatabaseFile db_;
};

TEST_F(DiskTableDefMgrTest, OpenNeedsTheDirectoryInterfaceAndAddress) {
  TDiskTableDefMgr m;
  m.SetDiskMgr(&db_.DiskMgr());
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }), 8579);
  TDiskIOInterface sysHeaders;
  sysHeaders.SetDiskMgr(&db_.DiskMgr());
  sysHeaders.SetUsage(kUsageTableHeader);
  sysHeaders.SetBlockSize(kTableHeaderBlockSize);
  sysHeaders.SetGlobalFirstEmptyOffset(kHdrSystemHeadersFirstEmpty);
  sysHeaders.Open();
  m.SetHdrDiskInterface(&sysHeaders);
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }), 8576);
  // The system tables' directory, with its own ids.
  m.SetBaseDefMgrAddress(4096);
  m.SetSystemTableMgr(true);
  m.Open();
  TTableDef def(nullptr);
  Sample(def, "$SYS", false);
  ASSERT_EQ(m.CreateTableDef("$SYS", def), 0);
  EXPECT_EQ(def.TableID(), 1024);
  m.Close();
}

TEST_F(DiskTableDefMgrTest, CreateRefusesWhatCannotBeATableAndLeavesNothing) {
  TTableDef memory(nullptr);
  Sample(memory, "M", true);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CreateTableDef("M", memory); }), 8577);

  TTableDef def(nullptr);
  Sample(def, "A", false);
  ASSERT_EQ(Tables().CreateTableDef("A", def), 0);
  EXPECT_EQ(def.TableID(), 1);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CreateTableDef("a", def); }), 8580);

  // Definitions read back from storage may say anything.
  TTableDef bad(nullptr);
  Sample(bad, "B", false);
  bad.InternalIndexDefs().Items(1)->SetIndexSequence(5);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CreateTableDef("B", bad); }), 8581);
  bad.InternalIndexDefs().Items(1)->SetIndexSequence(1);
  bad.InternalIndexDefs().Items(1)->SetIndexPageSize(100000);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CreateTableDef("B", bad); }), 8581);
  for (int i = 0; i < 34; ++i) {
    TInternalIndexDef* d = bad.InternalIndexDefs().Add();
    d->SetIndexSequence(i + 2);
    d->SetIndexPageSize(kIndexPageSize);
  }
  bad.InternalIndexDefs().Items(1)->SetIndexPageSize(kIndexPageSize);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CreateTableDef("B", bad); }), 8581);  // 36 slots
  EXPECT_EQ(Headers().Directory().Count(), 1);
  EXPECT_EQ(Tables().MasterCount(), 1);
  EXPECT_EQ(PagesOf(2), 0);

  // A table without index definitions has an index interface and no roots.
  TTableDef bare(nullptr);
  Sample(bare, "C", false);
  bare.InternalIndexDefs().Clear();
  bare.KeyFields().Clear();
  ASSERT_EQ(Tables().CreateTableDef("C", bare), 0);
  EXPECT_EQ(bare.TableID(), 2);
  TTableDef conn(nullptr);
  conn.Assign(bare);
  Tables().OpenTableDefConnection("C", conn);
  EXPECT_EQ(conn.IndexInterface()->BlockSize(), 4096u);
  EXPECT_EQ(conn.TableHeader()->GetIndexCount(), 0);
  EXPECT_EQ(PagesOf(2), 0);
  Tables().CloseTableDefConnection(2);
}

TEST_F(DiskTableDefMgrTest, ConnectionsShareOneMasterAndOneHeaderUse) {
  TTableDef def(nullptr);
  Sample(def, "T", false);
  ASSERT_EQ(Tables().CreateTableDef("T", def), 0);
  const int32_t id = def.TableID();
  // Made, not yet opened: no header held.
  EXPECT_EQ(Tables().CheckTableUserCount("T"), 0);
  EXPECT_EQ(Headers().FindHdrItemByID(id), nullptr);

  TTableDef a(nullptr), b(nullptr);
  a.Assign(def);
  b.Assign(def);
  Tables().OpenTableDefConnection("T", a);
  Tables().OpenTableDefConnection("t", b);
  EXPECT_EQ(a.TableHeader(), b.TableHeader());
  EXPECT_EQ(a.IndexInterface(), b.IndexInterface());
  EXPECT_EQ(a.BlobInterface(), b.BlobInterface());
  EXPECT_EQ(a.RecordInterface(), b.RecordInterface());
  EXPECT_EQ(Tables().CheckTableUserCount("T"), 2);
  ASSERT_NE(Headers().FindHdrItemByID(id), nullptr);
  EXPECT_EQ(Headers().FindHdrItemByID(id)->UserCount(), 1);
  host::TStringList names;
  Tables().GetCurrentTableNames(names);
  EXPECT_EQ(names.CommaText(), "T");

  // The same table under another name still has one master.
  TTableDef renamed(nullptr);
  renamed.Assign(def);
  renamed.SetTableName("Renamed");
  Tables().OpenTableDefConnection("Renamed", renamed);
  EXPECT_EQ(renamed.RecordInterface(), a.RecordInterface());
  EXPECT_EQ(Tables().CheckTableUserCount("T"), 3);
  Tables().CloseTableDefConnection(id);

  Tables().CloseTableDefConnection(id);
  EXPECT_EQ(Tables().CheckTableUserCount("T"), 1);
  EXPECT_NE(Headers().FindHdrItemByID(id), nullptr);
  Tables().CloseTableDefConnection(id);
  EXPECT_EQ(Tables().IndexOfTableDef(id), -1);
  EXPECT_EQ(Headers().FindHdrItemByID(id), nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().CloseTableDefConnection(id); }), 8579);

  // Opened again from scratch: one header use again.
  Tables().OpenTableDefConnection("T", a);
  EXPECT_EQ(Headers().FindHdrItemByID(id)->UserCount(), 1);
  Tables().CloseTableDefConnection(id);
  EXPECT_EQ(Headers().FindHdrItemByID(id), nullptr);

  TTableDef unknown(nullptr);
  Sample(unknown, "U", false);
  unknown.SetTableID(77);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().OpenTableDefConnection("U", unknown); }), 8581);
  EXPECT_EQ(Tables().MasterCount(), 0);
}

TEST_F(DiskTableDefMgrTest, DeleteRefusesWhileOthersHoldTheTable) {
  TTableDef def(nullptr);
  Sample(def, "T", false);
  ASSERT_EQ(Tables().CreateTableDef("T", def), 0);
  const int32_t id = def.TableID();
  {
    TTableConnection a(Tables(), def);
    TTableConnection b(Tables(), def);
    Add(a, 0, 50);
    EXPECT_EQ(ErrorCodeOf([&] { Tables().DeleteTableDef("T", a.Def()); }), 8578);
    EXPECT_EQ(Tables().CheckTableUserCount("T"), 2);
    b.Close();
    // The refused delete left the count right: the table is still there for a.
    EXPECT_EQ(Tables().CheckTableUserCount("T"), 1);
    EXPECT_EQ(test::CheckIndexesAgree(a), "");
    // A definition not connected to it cannot take a's use.
    EXPECT_EQ(ErrorCodeOf([&] { Tables().DeleteTableDef("T", def); }), 8578);
  }
  // A header of the table held outside its master.
  TTableHeader* held = Headers().OpenTable(id);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().DeleteTableDef("T", def); }), 8578);
  Headers().CloseTable(held);
  ASSERT_GT(PagesOf(id), 0);
  EXPECT_EQ(Tables().DeleteTableDef("T", def), 0);
  EXPECT_EQ(def.TableID(), 0);
  EXPECT_EQ(PagesOf(id), 0);
  EXPECT_EQ(Headers().Directory().Count(), 0);
  TTableDef again(nullptr);
  Sample(again, "T", false);
  again.SetTableID(id);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().DeleteTableDef("T", again); }), 8579);
}

TEST_F(DiskTableDefMgrTest, RestructureWithoutDataChangesKeepsTheTable) {
  TTableDef def(nullptr);
  Sample(def, "T", false);
  ASSERT_EQ(Tables().CreateTableDef("T", def), 0);
  uint32_t roots[2];
  uint32_t flag;
  {
    TTableConnection c(Tables(), def);
    Add(c, 0, 200);
    c.Header().SetRecordAutoIncVal(500);
    c.Header().SetGenerator1(11);
    c.Header().SetGenerator2(22);
    c.End();
    roots[0] = c.Header().GetIndexRoot(0);
    roots[1] = c.Header().GetIndexRoot(1);
    flag = c.Header().GetModifiedFlag();
  }
  TRestructureFieldDefs nf;
  TRestructureIndexDefs ni;
  nf.SetChangeStatus(dcDefOnlyChange);
  TRestructureDetails details;
  EXPECT_EQ(ErrorCodeOf([&] { Tables().RestructureTableDef(def, details); }), 8576);
  details.NewFieldDefs = &nf;
  EXPECT_EQ(ErrorCodeOf([&] { Tables().RestructureTableDef(def, details); }), 8576);
  details.NewIndexDefs = &ni;
  details.ResetGenerator2 = true;
  details.Generator2Value = 99;
  Tables().RestructureTableDef(def, details);
  {
    TTableConnection c(Tables(), def);
    EXPECT_EQ(c.Header().GetModifiedFlag(), flag + 1);
    EXPECT_EQ(c.Header().GetRecordAutoIncVal(), 500u);
    EXPECT_EQ(c.Header().GetGenerator1(), 11u);
    EXPECT_EQ(c.Header().GetGenerator2(), 99u);
    EXPECT_EQ(c.Header().GetIndexRoot(0), roots[0]);
    EXPECT_EQ(c.Header().GetIndexRoot(1), roots[1]);
    EXPECT_EQ(c.LiveRecords().size(), 200u);
    EXPECT_EQ(test::CheckIndexesAgree(c), "");
  }
  // A new auto-increment start, asked for by the field definitions.
  nf.SetResetAutoIncValue(true);
  nf.SetAutoIncResetValue(5);
  Tables().RestructureTableDef(def, details);
  {
    TTableConnection c(Tables(), def);
    EXPECT_EQ(c.Header().GetRecordAutoIncVal(), 5u);
  }
  // More indexes than a header holds: refused before anything changes.
  TTableDef wide(nullptr);
  Sample(wide, "T", false);
  wide.SetTableID(def.TableID());
  for (int i = 2; i < 35; ++i) {
    TInternalIndexDef* d = wide.InternalIndexDefs().Add();
    d->SetIndexName("X" + std::to_string(i));
    d->SetIndexSequence(i);
    d->SetIndexPageSize(kIndexPageSize);
  }
  ni.SetChangeStatus(dcAdded);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().RestructureTableDef(wide, details); }), 8581);
  {
    TTableConnection c(Tables(), def);
    EXPECT_EQ(c.LiveRecords().size(), 200u);
    EXPECT_EQ(test::CheckIndexesAgree(c), "");
  }
  TTableDef memory(nullptr);
  Sample(memory, "T", true);
  EXPECT_EQ(ErrorCodeOf([&] { Tables().RestructureTableDef(memory, details); }), 8577);
}

// With pages larger than an index block, freed index blocks of every table
// share one free chain inside the tables' pages. Restructuring and deleting
// a table must give its trees back through that chain, not free its pages
// under it.
TEST(DiskTableDefMgr, LargePagesKeepTheSharedIndexChainSound) {
  os::test::TTempDir dir;
  const std::string path = dir / "big.tav";
  TTestDatabaseFile db(path, true, 8192);
  TTableDef a(nullptr), b(nullptr);
  Sample(a, "A", false);
  Sample(b, "B", false);
  ASSERT_EQ(db.Tables().CreateTableDef("A", a), 0);
  ASSERT_EQ(db.Tables().CreateTableDef("B", b), 0);
  {
    TTableConnection ca(db.Tables(), a), cb(db.Tables(), b);
    Add(ca, 0, 2500);
    Add(cb, 0, 2500);
    // Merged nodes put A's blocks on the shared chain.
    for (int i = 0; i < 2500; i += 2)
      for (uint32_t x : ca.Find("ById", host::Variant(i))) ca.Delete(x);
    ASSERT_EQ(test::CheckIndexesAgree(ca), "");
  }
  TRestructureFieldDefs nf;
  TRestructureIndexDefs ni;
  ni.SetChangeStatus(dcDataChange);
  TRestructureDetails details;
  details.NewFieldDefs = &nf;
  details.NewIndexDefs = &ni;
  db.Tables().RestructureTableDef(a, details);
  {
    TTableConnection ca(db.Tables(), a), cb(db.Tables(), b);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> recs;
    for (uint32_t x : ca.LiveRecords()) recs.emplace_back(x, ca.Read(x));
    ca.Begin();
    for (const auto& [x, rec] : recs)
      for (int k = 0; k < ca.Indexes().Count(); ++k) {
        ca.Indexes().Items(k)->CreateKeyBuffer(rec.data());
        ASSERT_EQ(ca.Indexes().Items(k)->InsertKey(x), 0);
      }
    ca.End();
    Add(cb, 2500, 2500);
    EXPECT_EQ(test::CheckIndexesAgree(ca), "");
    EXPECT_EQ(test::CheckIndexesAgree(cb), "");
  }
  EXPECT_EQ(db.Tables().DeleteTableDef("A", a), 0);
  {
    TTableConnection cb(db.Tables(), b);
    Add(cb, 5000, 2000);
    EXPECT_EQ(test::CheckIndexesAgree(cb), "");
    EXPECT_EQ(cb.LiveRecords().size(), 7000u);
  }
  EXPECT_EQ(test::ReadMapImage(path, 8192).error, "");
}

// A delete failing at any write, outside a transaction: either the table is
// still there and a second delete goes through, or it left the directory,
// and then a new table given its id holds none of its records.
TEST(DiskTableDefMgr, AFailedDeleteLeavesTheTableOrAClearId) {
  os::test::TTempDir dir;
  const std::string path = dir / "t.tav";
  os::test::TMemFile data;
  std::string before;
  int32_t id = 0;
  {
    TTestDatabaseFile db(path, true, 4096, &data);
    TTableDef def(nullptr);
    Sample(def, "T", false);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    id = def.TableID();
    TTableConnection c(db.Tables(), def);
    Add(c, 0, 300);
  }
  before = data.Contents();
  uint64_t writes = 0;
  {
    TTestDatabaseFile db(path, false, 4096, &data);
    data.ResetCounters();
    TTableDef def(nullptr);
    Sample(def, "T", false);
    def.SetTableID(id);
    ASSERT_EQ(db.Tables().DeleteTableDef("T", def), 0);
    writes = data.Writes();
  }
  int kept = 0, gone = 0;
  for (uint64_t n = 1; n <= writes; ++n) {
    SCOPED_TRACE("write error at " + std::to_string(n));
    data.SetContents(before);
    TTestDatabaseFile db(path, false, 4096, &data);
    data.Inject(os::test::fkWriteError, n);
    TTableDef def(nullptr);
    Sample(def, "T", false);
    def.SetTableID(id);
    EXPECT_NE(ErrorCodeOf([&] { db.Tables().DeleteTableDef("T", def); }), 0);
    data.Heal();
    TTableDef again(nullptr);
    Sample(again, "T", false);
    again.SetTableID(id);
    const int code = ErrorCodeOf([&] { db.Tables().DeleteTableDef("T", again); });
    if (code == 0) {
      ++kept;
      continue;
    }
    EXPECT_EQ(code, 8579);
    ++gone;
    TTableDef fresh(nullptr);
    Sample(fresh, "U", false);
    ASSERT_EQ(db.Tables().CreateTableDef("U", fresh), 0);
    ASSERT_EQ(fresh.TableID(), id);
    TTableConnection c(db.Tables(), fresh);
    EXPECT_TRUE(c.LiveRecords().empty());
    EXPECT_EQ(test::CheckIndexesAgree(c), "");
  }
  EXPECT_GT(kept, 0);
  EXPECT_GT(gone, 0);
}

TEST(MemoryTableDefMgr, TablesLiveUntilDeletedOrTheManagerCloses) {
  TMemoryTableDefMgr m;
  m.Open();
  TTableDef disk(nullptr);
  Sample(disk, "D", false);
  EXPECT_EQ(ErrorCodeOf([&] { m.CreateTableDef("D", disk); }), 8577);
  TTableDef def(nullptr);
  Sample(def, "Mem", true);
  ASSERT_EQ(m.CreateTableDef("Mem", def), 0);
  EXPECT_EQ(def.TableID(), 1);
  EXPECT_EQ(ErrorCodeOf([&] { m.CreateTableDef("MEM", def); }), 8580);
  std::string text;
  TTableDef conn(nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { m.OpenTableDefConnection("Other", conn); }, &text), 8579);
  EXPECT_NE(text.find("Other"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { m.CloseTableDefConnection(9); }), 8579);

  {
    TTableConnection c(m, def);
    // The connection's definition is a full copy of the master.
    EXPECT_EQ(c.Def().TableID(), 1);
    EXPECT_EQ(c.Def().OwnerFlag(), 1u << 4);
    EXPECT_EQ(c.Def().InternalIndexDefs().Count(), 2);
    Add(c, 0, 40);
  }
  EXPECT_EQ(m.CheckTableUserCount("Mem"), 0);
  // Closing more often than opening changes nothing.
  m.CloseTableDefConnection(def.TableID());
  EXPECT_EQ(m.CheckTableUserCount("Mem"), 0);
  {
    TTableConnection c(m, def);
    EXPECT_EQ(c.LiveRecords().size(), 40u);
    EXPECT_EQ(test::CheckIndexesAgree(c), "");
  }
  EXPECT_EQ(m.IndexOfTableName("mem"), 0);

  // Closing the manager frees its tables; opening it again starts empty.
  m.Close();
  EXPECT_EQ(m.MasterCount(), 0);
  m.Open();
  EXPECT_EQ(ErrorCodeOf([&] { m.OpenTableDefConnection("Mem", conn); }), 8579);
  TTableDef next(nullptr);
  Sample(next, "Next", true);
  ASSERT_EQ(m.CreateTableDef("Next", next), 0);
  EXPECT_EQ(next.TableID(), 1);
  TTableConnection c(m, next);
  EXPECT_TRUE(c.LiveRecords().empty());
}

}  // namespace
}  // namespace tav

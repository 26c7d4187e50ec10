#include "engine/storage/record/record_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "os/file.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// Integer, String(20), Boolean, Memo: a 52-byte image.
void AddFields(TInternalFields& f) {
  struct {
    const char* name;
    host::TFieldType type;
    int32_t size;
  } defs[] = {{"ID", host::ftInteger, 0},
              {"Name", host::ftString, 20},
              {"Flag", host::ftBoolean, 0},
              {"Notes", host::ftMemo, 0}};
  int index = 0;
  for (auto& d : defs) {
    TInternalFieldItem* item = f.Add();
    item->SetFieldName(d.name);
    item->SetDataType(d.type);
    if (d.size) item->SetFieldSize(d.size);
    item->SetFieldIndex(index);
    item->SetFieldNo(index + 1);
    ++index;
  }
  f.SetDefaultOffsets();
}

// The Name field's length marker in that image.
constexpr int kNameMarker = 14 + 4 + 4;

std::vector<uint8_t> Record(int32_t size, int seed) {
  std::vector<uint8_t> r(static_cast<size_t>(size));
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 3 + seed * 11 + 1);
  r[kNameMarker] = static_cast<uint8_t>(seed % 21);
  r[kNameMarker + 1] = 0;
  return r;
}

class RecordMgrTest : public ::testing::TestWithParam<test::TBackendKind> {
 protected:
  void SetUp() override {
    AddFields(mgr.Fields());
    size = mgr.Fields().RecordSize();
    backend = test::MakeBackend(GetParam(), kUsageRecord, static_cast<uint32_t>(size));
    mgr.SetRecordSize(size);
    mgr.Open(&backend->IO());
  }

  TRecordMgr mgr;
  int32_t size = 0;
  std::unique_ptr<test::TBackend> backend;
};

TEST_P(RecordMgrTest, OpenMakesOneInvalidStreamPerBlobFieldAndTheFieldMap) {
  EXPECT_EQ(size, 14 + 4 + 4 + 22 + 1 + 8);
  EXPECT_EQ(mgr.Fields().GetField(1)->SizeMarkerOffset(), kNameMarker);
  ASSERT_EQ(mgr.BlobMgr().Count(), 1);
  EXPECT_EQ(mgr.BlobMgr().Items(0)->FieldNo(), 3);
  EXPECT_EQ(mgr.BlobMgr().Items(0)->State(), bsInvalid);
  EXPECT_EQ(mgr.Fields().GetField(2)->FieldName(), "Flag");
  EXPECT_TRUE(mgr.Fields().UsesBlobs());
  // Opening again keeps one stream per field.
  mgr.Open(&backend->IO());
  EXPECT_EQ(mgr.BlobMgr().Count(), 1);
}

TEST_P(RecordMgrTest, RecordsRoundTripAndTheInternalCopyFollows) {
  std::vector<uint32_t> a;
  for (int i = 0; i < 50; ++i) a.push_back(mgr.AddRecord(Record(size, i).data()));
  std::vector<uint8_t> copy(size);
  mgr.RestoreBufferFromInternalBuffer(copy.data());
  EXPECT_EQ(copy, Record(size, 49));

  for (int i = 0; i < 50; ++i) {
    std::vector<uint8_t> got(size);
    mgr.ReadRecord(a[i], got.data(), false);
    EXPECT_EQ(got, Record(size, i));
  }
  mgr.RestoreBufferFromInternalBuffer(copy.data());
  EXPECT_EQ(copy, Record(size, 49)) << "a read without copy leaves the copy alone";

  mgr.BlobMgr().Items(0)->SetState(bsValid);
  std::vector<uint8_t> got(size);
  mgr.ReadRecord(a[7], got.data(), true);
  mgr.RestoreBufferFromInternalBuffer(copy.data());
  EXPECT_EQ(copy, Record(size, 7));
  EXPECT_EQ(mgr.BlobMgr().Items(0)->State(), bsInvalid);

  mgr.UpdateRecord(a[7], Record(size, 100).data());
  mgr.RestoreBufferFromInternalBuffer(copy.data());
  EXPECT_EQ(copy, Record(size, 100));
  mgr.ReadRecord(a[7], got.data(), false);
  EXPECT_EQ(got, Record(size, 100));
  mgr.ReadRecord(a[8], got.data(), false);
  EXPECT_EQ(got, Record(size, 8));
}

TEST_P(RecordMgrTest, ByReferenceReadsShowTheRecordInPlace) {
  const uint32_t a = mgr.AddRecord(Record(size, 1).data());
  const uint32_t b = mgr.AddRecord(Record(size, 2).data());
  const uint8_t* p = mgr.ReadRecordByRef(a);
  EXPECT_EQ(std::memcmp(p, Record(size, 1).data(), size), 0);
  // The rule: the pointer is taken again after any other call.
  p = mgr.ReadRecordByRef(b);
  EXPECT_EQ(std::memcmp(p, Record(size, 2).data(), size), 0);
}

TEST_P(RecordMgrTest, FreedRecordBlocksAreReusedFirst) {
  std::vector<uint32_t> a;
  for (int i = 0; i < 20; ++i) a.push_back(mgr.AddRecord(Record(size, i).data()));
  const uint32_t liveBefore = backend->LiveBlocks();
  mgr.BlobMgr().Items(0)->SetState(bsValid);
  mgr.DeleteRecord(a[5]);
  mgr.DeleteRecord(a[12]);
  EXPECT_EQ(mgr.BlobMgr().Items(0)->State(), bsInvalid);
  EXPECT_EQ(backend->LiveBlocks(), liveBefore - 2);
  const uint32_t x = mgr.AddRecord(Record(size, 50).data());
  const uint32_t y = mgr.AddRecord(Record(size, 51).data());
  EXPECT_EQ(backend->LiveBlocks(), liveBefore);
  if (GetParam() == test::TBackendKind::Disk) {
    EXPECT_EQ(x, a[12]);  // the last freed is first in the chain
    EXPECT_EQ(y, a[5]);
  }
  std::vector<uint8_t> got(size);
  mgr.ReadRecord(x, got.data(), false);
  EXPECT_EQ(got, Record(size, 50));
  mgr.ReadRecord(a[6], got.data(), false);
  EXPECT_EQ(got, Record(size, 6));
}

TEST_P(RecordMgrTest, CloseForgetsTheLayoutAndTheStreams) {
  mgr.Close();
  EXPECT_FALSE(mgr.Active());
  EXPECT_EQ(mgr.Fields().Count(), 0);
  EXPECT_EQ(mgr.BlobMgr().Count(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.AddRecord(Record(size, 1).data()); }), 8576);
  mgr.SetRecordSize(10);  // allowed again once closed
}

TEST_P(RecordMgrTest, AStringLengthBeyondItsFieldIsDamage) {
  std::vector<uint8_t> r = Record(size, 1);
  const int32_t marker = kNameMarker;
  r[marker] = 20;  // the whole field: fine
  r[marker + 1] = 0;
  const uint32_t a = mgr.AddRecord(r.data());
  r[marker] = 21;
  const uint32_t b = mgr.AddRecord(r.data());
  std::vector<uint8_t> got(size);
  mgr.ReadRecord(a, got.data(), true);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { mgr.ReadRecord(b, got.data(), true); }, &text), 8581);
  EXPECT_NE(text.find("Invalid string length 21 in field Name"), std::string::npos) << text;
  EXPECT_EQ(ErrorCodeOf([&] { mgr.ReadRecordByRef(b); }), 8581);
  std::vector<uint8_t> copy(size);
  mgr.RestoreBufferFromInternalBuffer(copy.data());
  r[marker] = 20;
  EXPECT_EQ(copy, r) << "a refused record never becomes the internal copy";
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordMgrTest, test::AllBackends(), test::BackendName);

TEST(RecordMgr, OpenWantsARecordSizeAndAnInterface) {
  TRecordMgr mgr;
  TMemoryIOInterface io;
  EXPECT_EQ(ErrorCodeOf([&] { mgr.Open(&io); }), 8576);
  mgr.SetRecordSize(20);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.Open(nullptr); }), 8576);
  EXPECT_FALSE(mgr.Active());
  mgr.Open(&io);
  EXPECT_TRUE(mgr.Active());
  EXPECT_THROW(mgr.SetRecordSize(30), host::EAssertionFailed);
}

TEST(RecordMgr, ABrokenFieldListLeavesTheManagerClosed) {
  TRecordMgr mgr;
  AddFields(mgr.Fields());
  mgr.Fields().Items(1)->SetFieldIndex(0);
  mgr.SetRecordSize(mgr.Fields().RecordSize());
  TMemoryIOInterface io;
  EXPECT_THROW(mgr.Open(&io), host::EAssertionFailed);
  EXPECT_FALSE(mgr.Active());
}

TEST(RecordMgr, FieldsOutsideTheRecordAreRefused) {
  TRecordMgr mgr;
  AddFields(mgr.Fields());
  mgr.SetRecordSize(mgr.Fields().RecordSize() - 1);  // the memo's last byte is cut off
  TMemoryIOInterface io;
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { mgr.Open(&io); }, &text), 8581);
  EXPECT_NE(text.find("Field Notes lies outside the record"), std::string::npos) << text;
  EXPECT_FALSE(mgr.Active());
}

TEST(RecordMgr, EmptyingAMemoryTableDropsItsRecords) {
  TRecordMgr mgr;
  AddFields(mgr.Fields());
  mgr.SetRecordSize(mgr.Fields().RecordSize());
  TMemoryIOInterface io;
  mgr.Open(&io);
  const std::vector<uint8_t> r(static_cast<size_t>(mgr.RecordSize()), 7);
  const uint32_t a = mgr.AddRecord(r.data());
  mgr.AddRecord(r.data());
  io.Empty(false);
  EXPECT_EQ(io.GetNextMemoryBlockAddress(0), 0u);
  std::vector<uint8_t> got(r.size());
  EXPECT_EQ(ErrorCodeOf([&] { mgr.ReadRecord(a, got.data(), false); }), 8581);
}

TEST(RecordMgrFile, RecordsSurviveCloseAndReopenAndFreedBlocksComeBackFirst) {
  test::TTestDatabase db;
  auto open = [&](TRecordMgr& mgr, TDiskIOInterface& io, uint32_t head) {
    AddFields(mgr.Fields());
    mgr.SetRecordSize(mgr.Fields().RecordSize());
    test::SetUpTableInterface(io, db.Mgr(), kUsageRecord,
                              static_cast<uint32_t>(mgr.RecordSize()), head);
    mgr.Open(&io);
  };
  std::vector<uint32_t> a;
  uint32_t head = 0;
  int32_t size = 0;
  {
    TRecordMgr mgr;
    TDiskIOInterface io;
    open(mgr, io, 0);
    size = mgr.RecordSize();
    for (int i = 0; i < 300; ++i) a.push_back(mgr.AddRecord(Record(size, i).data()));
    mgr.DeleteRecord(a[10]);
    mgr.DeleteRecord(a[250]);
    head = io.FirstEmpty();
    mgr.Close();
  }
  db.Reopen();
  TRecordMgr mgr;
  TDiskIOInterface io;
  open(mgr, io, head);
  std::vector<uint8_t> got(size);
  for (int i = 0; i < 300; ++i) {
    if (i == 10 || i == 250) continue;
    mgr.ReadRecord(a[i], got.data(), false);
    EXPECT_EQ(got, Record(size, i)) << i;
  }
  EXPECT_EQ(mgr.AddRecord(Record(size, 400).data()), a[250]);
  EXPECT_EQ(mgr.AddRecord(Record(size, 401).data()), a[10]);
  const uint32_t fresh = mgr.AddRecord(Record(size, 402).data());
  EXPECT_EQ(std::count(a.begin(), a.end(), fresh), 0);
  mgr.ReadRecord(a[10], got.data(), false);
  EXPECT_EQ(got, Record(size, 401));
}

std::string FileBytes(const std::string& path) {
  auto f = os::TOSFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
  std::string s(static_cast<size_t>(f->Size()), '\0');
  f->Read(0, s.data(), s.size());
  return s;
}

// Addresses that an index leaf or a bookmark may name once damaged: none
// lies in table 5's record pages, and each is refused before anything is
// read, written or freed.
TEST(RecordMgrFile, AnAddressOutsideTheTablesRecordPagesIsRefusedAndNothingChanges) {
  test::TTestDatabase db;
  TRecordMgr mine, theirs;
  TDiskIOInterface myRecords, theirRecords, myIndex;
  AddFields(mine.Fields());
  AddFields(theirs.Fields());
  const int32_t size = mine.Fields().RecordSize();
  mine.SetRecordSize(size);
  theirs.SetRecordSize(size);
  test::SetUpTableInterface(myRecords, db.Mgr(), kUsageRecord, static_cast<uint32_t>(size));
  test::SetUpTableInterface(myIndex, db.Mgr(), kUsageIndex, 4096);
  theirRecords.SetDiskMgr(&db.Mgr());
  theirRecords.SetTableID(6);
  theirRecords.SetUsage(kUsageRecord);
  theirRecords.SetBlockSize(static_cast<uint32_t>(size));
  theirRecords.SetAccessFlags(kAccessCached);
  theirRecords.SetFirstEmptyValid(true);
  theirRecords.Open();
  mine.Open(&myRecords);
  theirs.Open(&theirRecords);

  std::vector<uint32_t> a, b;
  for (int i = 0; i < 40; ++i) {
    a.push_back(mine.AddRecord(Record(size, i).data()));
    b.push_back(theirs.AddRecord(Record(size, 100 + i).data()));
  }
  const std::vector<uint8_t> zeros(4096, 0);
  const uint32_t node = myIndex.AllocateNewAddress(4096, zeros.data());
  const uint32_t freed = db.Mgr().WriteNewPages(7, kUsageRecord, zeros.data(), 1, 0);
  db.Mgr().ReleasePages(freed, 1);
  const uint32_t end = static_cast<uint32_t>(db.Mgr().GetFileSize());

  const struct {
    const char* What;
    uint32_t Address;
  } kCases[] = {{"another table's record", b[7]},
                {"a free page", freed},
                {"inside a free page", freed + static_cast<uint32_t>(size)},
                {"this table's index node", node},
                {"address 0", 0},
                {"the global header", 1024},
                {"the first map page", 5 * 4096},
                {"past the end of file", end + 4096},
                {"the last bytes a file may hold", 0x7FFFFFF0u}};
  const uint32_t head = myRecords.FirstEmpty();
  const std::string before = FileBytes(db.Path());
  std::vector<uint8_t> buf(static_cast<size_t>(size));
  for (const auto& c : kCases) {
    EXPECT_EQ(ErrorCodeOf([&] { mine.DeleteRecord(c.Address); }), 8581) << c.What;
    EXPECT_EQ(ErrorCodeOf([&] { mine.UpdateRecord(c.Address, Record(size, 1).data()); }), 8581)
        << c.What;
    EXPECT_EQ(ErrorCodeOf([&] { mine.ReadRecord(c.Address, buf.data(), false); }), 8581)
        << c.What;
    EXPECT_EQ(ErrorCodeOf([&] { mine.ReadRecordByRef(c.Address); }), 8581) << c.What;
  }
  EXPECT_EQ(myRecords.FirstEmpty(), head) << "nothing joined this table's free chain";
  EXPECT_EQ(FileBytes(db.Path()), before) << "nothing was written";
  for (int i = 0; i < 40; ++i) {
    theirs.ReadRecord(b[static_cast<size_t>(i)], buf.data(), false);
    EXPECT_EQ(buf, Record(size, 100 + i)) << i;
  }
  // The table's own records still pass, freed and reused alike.
  mine.DeleteRecord(a[3]);
  EXPECT_EQ(mine.AddRecord(Record(size, 77).data()), a[3]);
  mine.ReadRecord(a[3], buf.data(), false);
  EXPECT_EQ(buf, Record(size, 77));
}

// Creates tables "A" and "B" alike in `db`; returns their ids.
std::pair<int32_t, int32_t> CreateTwoTables(test::TTestDatabaseFile& db,
                                            const std::vector<test::TTableFieldDesc>& fields,
                                            const std::vector<test::TTableIndexDesc>& indexes) {
  TTableDef defA(nullptr), defB(nullptr);
  test::BuildTableDef(defA, "A", false, fields, indexes);
  test::BuildTableDef(defB, "B", false, fields, indexes);
  EXPECT_EQ(db.Tables().CreateTableDef("A", defA), 0);
  EXPECT_EQ(db.Tables().CreateTableDef("B", defB), 0);
  return {defA.TableID(), defB.TableID()};
}

// A leaf of table A's index damaged to name a record of table B: finding
// the key hands out B's address, and reading or deleting through it is
// refused with nothing freed; B is untouched.
TEST(RecordMgrFile, ADamagedLeafNamingAnotherTablesRecordFreesNothing) {
  using namespace test;
  const std::vector<TTableFieldDesc> fields = {{"ID", host::ftInteger}, {"NAME", host::ftString, 10}};
  const std::vector<TTableIndexDesc> indexes = {{"ById", "ID", true}};
  os::test::TTempDir dir;
  const std::string path = dir / "two.tav";
  int32_t idA = 0, idB = 0;
  uint32_t victim = 0, target = 0;
  {
    TTestDatabaseFile db(path, true);
    std::tie(idA, idB) = CreateTwoTables(db, fields, indexes);
    auto a = OpenStoredTable(db.Tables(), "A", idA, fields, indexes);
    auto b = OpenStoredTable(db.Tables(), "B", idB, fields, indexes);
    for (int i = 0; i < 20; ++i) {
      for (TTableConnection* c : {a.get(), b.get()}) {
        std::vector<uint8_t> rec = c->NewRecord();
        c->SetInteger(rec, "ID", i);
        c->SetString(rec, "NAME", "n" + std::to_string(i));
        const uint32_t at = c->Insert(rec);
        if (i == 5) (c == a.get() ? victim : target) = at;
      }
    }
  }
  // Every copy of the victim's address in A's index pages becomes B's.
  std::vector<uint32_t> indexPages;
  {
    TTestDatabaseFile db(path, false);
    const uint32_t pages = static_cast<uint32_t>(db.DiskMgr().GetFileSize() / 4096);
    for (uint32_t p = 6; p < pages; ++p)
      if (db.DiskMgr().GetPageOwnerCode(p * 4096) == idA * 16 + kUsageIndex)
        indexPages.push_back(p);
  }
  ASSERT_FALSE(indexPages.empty());
  std::string bytes = FileBytes(path);
  int patched = 0;
  for (uint32_t p : indexPages) {
    for (size_t at = p * 4096; at + 4 <= (p + 1) * size_t{4096}; ++at) {
      if (GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + at) != victim) continue;
      PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + at, target);
      ++patched;
    }
  }
  ASSERT_GT(patched, 0);
  {
    auto f = os::TOSFile::Open(path, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    f->Write(0, bytes.data(), bytes.size());
  }
  {
    TTestDatabaseFile db(path, false);
    auto a = OpenStoredTable(db.Tables(), "A", idA, fields, indexes);
    const std::vector<uint32_t> found = a->Find("ById", host::Variant(5));
    ASSERT_EQ(found, std::vector<uint32_t>{target});
    EXPECT_EQ(ErrorCodeOf([&] { a->Read(target); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().DeleteRecord(target); }), 8581);
  }
  EXPECT_EQ(FileBytes(path), bytes) << "nothing was freed or written";
  TTestDatabaseFile db(path, false);
  auto b = OpenStoredTable(db.Tables(), "B", idB, fields, indexes);
  EXPECT_EQ(CheckIndexesAgree(*b), "");
  EXPECT_EQ(b->Read(target)[kRecLogicalNo], 6);
}

// Empties table A, through `db` or (`elsewhere`) through a second
// connection to `path`, then has table B add `count` records; returns their
// addresses.
std::vector<uint32_t> EmptyAThenFillB(test::TTestDatabaseFile& db, const std::string& path,
                                      bool elsewhere, test::TTableConnection& a, int32_t idA,
                                      int32_t idB, const std::vector<test::TTableFieldDesc>& fields,
                                      const std::vector<test::TTableIndexDesc>& indexes, int count) {
  std::unique_ptr<test::TTestDatabaseFile> other;
  test::TTestDatabaseFile* where = &db;
  if (elsewhere) {
    other = std::make_unique<test::TTestDatabaseFile>(path, false);
    where = other.get();
  }
  auto a2 = elsewhere ? test::OpenStoredTable(where->Tables(), "A", idA, fields, indexes) : nullptr;
  (elsewhere ? *a2 : a).Empty();
  auto b = test::OpenStoredTable(where->Tables(), "B", idB, fields, indexes);
  std::vector<uint8_t> brec = b->NewRecord();
  std::vector<uint32_t> added;
  for (int i = 0; i < count; ++i) {
    b->SetInteger(brec, "ID", i);
    added.push_back(b->Insert(brec));
  }
  return added;
}

// Table A's record page, once checked, is remembered as A's. When A is
// emptied (here or by another connection) and table B is given the page, an
// address in it is refused for A again.
TEST(RecordMgrFile, APageGivenToAnotherTableIsNoLongerTakenAsTheOldOwners) {
  using namespace test;
  const std::vector<TTableFieldDesc> fields = {{"ID", host::ftInteger}};
  const std::vector<TTableIndexDesc> indexes = {{"ById", "ID", true}};
  for (const bool elsewhere : {false, true}) {
    os::test::TTempDir dir;
    const std::string path = dir / "reuse.tav";
    TTestDatabaseFile db(path, true);
    const auto [idA, idB] = CreateTwoTables(db, fields, indexes);
    auto a = OpenStoredTable(db.Tables(), "A", idA, fields, indexes);
    std::vector<uint8_t> rec = a->NewRecord();
    a->SetInteger(rec, "ID", 1);
    const uint32_t old = a->Insert(rec);
    a->Read(old);  // A's page is now known as A's
    ASSERT_EQ(EmptyAThenFillB(db, path, elsewhere, *a, idA, idB, fields, indexes, 1).front(), old)
        << "B is given A's freed page";
    a->Begin();
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().ReadRecord(old, rec.data(), false); }), 8581)
        << (elsewhere ? "another connection" : "this connection");
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().DeleteRecord(old); }), 8581);
  }
}

// The same for A's other pages: reading one record of A answers for every
// page of A on the same map page, and each of those pages, emptied and given
// to B (here or by another connection), is refused for A again.
TEST(RecordMgrFile, EveryPageOfATableGivenToAnotherIsNoLongerTakenAsTheOldOwners) {
  using namespace test;
  const std::vector<TTableFieldDesc> fields = {{"ID", host::ftInteger}, {"S", host::ftString, 200}};
  const std::vector<TTableIndexDesc> indexes = {{"ById", "ID", true}};
  const int rows = 200;
  for (const bool elsewhere : {false, true}) {
    os::test::TTempDir dir;
    const std::string path = dir / "reuse_all.tav";
    TTestDatabaseFile db(path, true);
    const auto [idA, idB] = CreateTwoTables(db, fields, indexes);
    auto a = OpenStoredTable(db.Tables(), "A", idA, fields, indexes);
    std::vector<uint8_t> rec = a->NewRecord();
    std::vector<uint32_t> addresses;
    for (int i = 0; i < rows; ++i) {
      a->SetInteger(rec, "ID", i);
      addresses.push_back(a->Insert(rec));
    }
    ASSERT_GT(addresses.back() / 4096, addresses.front() / 4096 + 4) << "A spans several pages";
    a->Read(addresses.front());
    std::set<uint32_t> pagesOfB;
    for (const uint32_t at : EmptyAThenFillB(db, path, elsewhere, *a, idA, idB, fields, indexes, rows))
      pagesOfB.insert(at / 4096);
    for (const uint32_t at : addresses)
      ASSERT_TRUE(pagesOfB.count(at / 4096)) << "B is given A's freed pages";
    a->Begin();
    for (const uint32_t at : {addresses[rows / 2], addresses.back()}) {
      EXPECT_EQ(ErrorCodeOf([&] { a->Records().ReadRecord(at, rec.data(), false); }), 8581)
          << (elsewhere ? "another connection" : "this connection");
      EXPECT_EQ(ErrorCodeOf([&] { a->Records().DeleteRecord(at); }), 8581);
    }
  }
}

// Pages a transaction gave a table, and read there (so that their owner is
// remembered), are the table's no longer once the transaction is taken
// back: an address in them is refused for the table, before and after
// another table is given them. Pages a taken-back transaction freed from
// a table and gave to another are the first table's again: its records
// read as before, and the other table's addresses there are refused.
TEST(RecordMgrFile, PagesOfATransactionTakenBackAreNoLongerTakenAsTheirOwnersOfThen) {
  using namespace test;
  const std::vector<TTableFieldDesc> fields = {{"ID", host::ftInteger}, {"S", host::ftString, 200}};
  const std::vector<TTableIndexDesc> indexes = {{"ById", "ID", true}};
  const int rows = 200;
  os::test::TTempDir dir;
  const std::string path = dir / "rollback_owner.tav";
  TTestDatabaseFile db(path, true);
  const auto [idA, idB] = CreateTwoTables(db, fields, indexes);
  auto a = OpenStoredTable(db.Tables(), "A", idA, fields, indexes);
  std::vector<uint8_t> rec = a->NewRecord();
  std::vector<uint32_t> kept;
  for (int i = 0; i < rows; ++i) {
    a->SetInteger(rec, "ID", i);
    kept.push_back(a->Insert(rec));
  }
  std::vector<uint32_t> gone;
  {
    TDiskTransaction transaction(db.DiskMgr());
    for (int i = 0; i < rows; ++i) {
      a->SetInteger(rec, "ID", rows + i);
      gone.push_back(a->Insert(rec));
    }
    a->Read(gone.front());
    a->Read(gone.back());
    transaction.Rollback();
  }
  ASSERT_GT(gone.back() / 4096, kept.back() / 4096 + 4) << "the transaction added pages";
  a->Begin();
  for (const uint32_t at : {gone[rows / 2], gone.back()})
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().ReadRecord(at, rec.data(), false); }), 8581)
        << "a page taken back";
  auto b = OpenStoredTable(db.Tables(), "B", idB, fields, indexes);
  std::vector<uint8_t> brec = b->NewRecord();
  std::set<uint32_t> pagesOfB;
  for (int i = 0; i < rows; ++i) {
    b->SetInteger(brec, "ID", i);
    pagesOfB.insert(b->Insert(brec) / 4096);
  }
  ASSERT_TRUE(std::any_of(gone.begin(), gone.end(),
                          [&](uint32_t at) { return pagesOfB.count(at / 4096) != 0; }))
      << "B is given pages taken back";
  std::set<uint32_t> pagesOfA;
  for (const uint32_t at : kept) pagesOfA.insert(at / 4096);
  a->Begin();
  for (size_t i = 0; i < gone.size(); i += 7) {
    if (pagesOfA.count(gone[i] / 4096)) continue;  // A's own page, kept
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().ReadRecord(gone[i], rec.data(), false); }), 8581)
        << (pagesOfB.count(gone[i] / 4096) ? "a page of B" : "a free page");
    EXPECT_EQ(ErrorCodeOf([&] { a->Records().DeleteRecord(gone[i]); }), 8581);
  }

  // Emptied and given to B inside a transaction taken back: A's again.
  b->Empty();
  a->Read(kept.front());
  uint32_t lent = 0;  // an address B was given on a page of A
  {
    TDiskTransaction transaction(db.DiskMgr());
    for (const uint32_t at : EmptyAThenFillB(db, path, false, *a, idA, idB, fields, indexes, rows))
      if (lent == 0 && pagesOfA.count(at / 4096)) lent = at;
    ASSERT_NE(lent, 0u) << "B is given A's pages";
    b->Read(lent);
    transaction.Rollback();
  }
  a->Begin();
  for (int i : {0, rows / 2, rows - 1})
    EXPECT_EQ(a->GetInteger(a->Read(kept[static_cast<size_t>(i)]).data(), "ID"), i);
  b->Begin();
  EXPECT_EQ(ErrorCodeOf([&] { b->Records().ReadRecord(lent, brec.data(), false); }), 8581)
      << "A's page again";
}

// A table with a unique integer index, a case-insensitive string index and
// BLOBs, taken through inserts that split, deletes that trade entries with a
// neighbour and merge, single writes outside a transaction, and a shrink to
// few levels. Returns the stored file's bytes.
// With `runs`, each transaction's work runs as a statement's run of writes
// does: the records' interface keeps the free block it hands out next and
// the indexes keep their inner nodes' changes until the run ends. With
// `interleave`, the last transaction adds rows between its deletes.
std::string StoredTableAfterMixedWork(const std::string& path, bool exclusive, bool runs = false,
                                      bool interleave = false) {
  using namespace test;
  const std::vector<TTableFieldDesc> fields = {
      {"ID", host::ftInteger}, {"NAME", host::ftString, 40}, {"DATA", host::ftBlob}};
  const std::vector<TTableIndexDesc> indexes = {{"ById", "ID", true},
                                                {"ByName", "NAME", false, false, true}};
  const int rows = 3000;
  auto name = [](int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Row-%06d-%s-%08d", i * 7919 % 3000, (i % 2) ? "ABC" : "abc",
                  i);
    return std::string(buf);
  };
  auto blob = [](int i) {
    return std::string(i % 50 == 0 ? 5000 : 40 + i % 64, static_cast<char>('a' + i % 26));
  };
  {
    TTestDatabaseFile db(path, true, 4096, nullptr, nullptr,
                         fmOpenReadWrite | (exclusive ? fmShareExclusive : fmShareDenyNone));
    TTableDef def(nullptr);
    BuildTableDef(def, "T", false, fields, indexes);
    db.Tables().CreateTableDef("T", def);
    TTableConnection table(db.Tables(), def);
    std::vector<uint8_t> rec = table.NewRecord();
    auto insert = [&](int i) {
      std::fill(rec.begin(), rec.end(), 0);
      table.SetInteger(rec, "ID", i);
      table.SetString(rec, "NAME", name(i));
      table.Insert(rec, {{"DATA", blob(i)}});
    };
    auto erase = [&](int id) {
      const uint32_t at = table.FindFirst("ById", host::Variant(id));
      EXPECT_NE(at, 0u) << "id " << id;
      if (at != 0) table.Delete(at);
    };
    auto run = [&](bool on) {
      if (!runs) return;
      table.Records().IOInterface()->SetKeepRunHead(on);
      table.Indexes().SetDeferInnerWrites(on);
    };
    {
      TDiskTransaction transaction(db.DiskMgr());
      run(true);
      for (int k = 0; k < rows; ++k) insert(k * 1237 % rows);
      run(false);
      transaction.Commit();
    }
    {
      TDiskTransaction transaction(db.DiskMgr());
      run(true);
      for (int id = 0; id < rows; id += 2) erase(id);
      run(false);
      transaction.Commit();
    }
    for (int id = 1; id < 400; id += 6) erase(id);
    {
      TDiskTransaction transaction(db.DiskMgr());
      run(true);
      for (int id = rows - 1; id >= 700; --id) {
        if (id % 2 == 1) erase(id);
        // Inserts between the deletes: deletes meet the inserts' kept
        // nodes and take the blocks the inserts' runs would have.
        if (interleave && id % 9 == 0 && id < 1600) insert(rows + (id / 9) * 7 % 300);
      }
      for (int k = 0; k < 300; ++k) {
        const int id = rows + k * 7 % 300;
        if (!interleave || table.FindFirst("ById", host::Variant(id)) == 0) insert(id);
      }
      run(false);
      transaction.Commit();
    }
  }
  return FileBytes(path);
}

uint64_t Fnv1a(const std::string& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (const char c : bytes) {
    h ^= static_cast<uint8_t>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// The file is the stored format: the same work must leave the same bytes,
// whichever way the index, record and BLOB writes reach the page cache. The
// size and digest are those of the file as this engine has always written it
// for this work.
TEST(RecordMgrFile, MixedWorkOnATableLeavesTheStoredBytesAsTheyWere) {
  os::test::TTempDir dir;
  for (const bool exclusive : {false, true}) {
    const std::string bytes =
        StoredTableAfterMixedWork(dir / (exclusive ? "x.tav" : "s.tav"), exclusive);
    EXPECT_EQ(bytes.size(), 2400256u) << "exclusive " << exclusive;
    EXPECT_EQ(Fnv1a(bytes), 0xd9a813d5d8bdcad4ull) << "exclusive " << exclusive;
  }
}

// Runs of writes that keep the next free block and the inner nodes' changes
// in memory store what the same work stores without them, byte for byte.
TEST(RecordMgrFile, WriteRunsLeaveTheStoredBytesOfTheSameWork) {
  os::test::TTempDir dir;
  for (const bool interleave : {false, true}) {
    const std::string plain = StoredTableAfterMixedWork(dir / "plain.tav", false, false, interleave);
    EXPECT_TRUE(StoredTableAfterMixedWork(dir / "runs.tav", false, true, interleave) == plain)
        << "interleave " << interleave;
    std::filesystem::remove(dir / "plain.tav");
    std::filesystem::remove(dir / "runs.tav");
  }
}

}  // namespace
}  // namespace tav

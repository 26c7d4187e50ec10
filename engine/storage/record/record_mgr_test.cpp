#include "engine/storage/record/record_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/testing/storage_test_support.h"
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
    backend = test::MakeBackend(GetParam(), TAV_USAGE_RECORD, static_cast<uint32_t>(size));
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
    test::SetUpTableInterface(io, db.Mgr(), TAV_USAGE_RECORD,
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

}  // namespace
}  // namespace tav

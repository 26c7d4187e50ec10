// The storage engine under file faults: every operation below runs inside a
// transaction while the database's bytes live in the in-memory twin, once
// for each fault (a short write, a full disk, an I/O error on a read, a
// write or a flush, a crash after a write) at each call it can strike. See
// engine/storage/testing/fault_test_support.h for what each case checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/map_page_mgr.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/fault_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "os/testing/mem_file.h"

namespace tav {
namespace {

using os::test::TFileFaultKind;
using test::TFaultOperation;
using test::TFaultWorld;

constexpr uint32_t kPage = 4096;
constexpr uint32_t kOwner = 7;
constexpr uint32_t kKind = 2;

const std::vector<test::TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 10}, {"NOTES", host::ftBlob}};
const std::vector<test::TTableIndexDesc> kIndexes = {{"ById", "ID", true}, {"ByName", "NAME"}};

std::string Pattern(uint32_t pages, uint32_t seed) {
  return test::PagePattern(pages * kPage, seed);
}

// The map as the bytes say, and the owner's pages in it.
std::string CheckMap(TFaultWorld& world) {
  world.Close();
  const test::TMapImage map = test::MapImageOf(world.Data().Contents(), kPage);
  world.Open();
  return map.error;
}

// ---- pages of the disk manager ----

void SetupPages(TFaultWorld& world) {
  world.Create();
  world.Addresses.clear();
  for (uint32_t i = 0; i < 4; ++i) {
    const std::string page = Pattern(1, i);
    world.Addresses.push_back(
        world.Disk().WriteNewPages(kOwner, kKind, page.data(), 1, kAccessCached));
  }
}

std::string CheckPages(TFaultWorld& world) {
  return CheckMap(world);
}

void WriteCachedPages(TFaultWorld& world) {
  const std::string pages = Pattern(2, 40);
  std::string seen(kPage, '\0');
  world.Disk().ReadPages(world.Addresses[3], 1, seen.data(), kOwner, kAccessCached);
  world.Disk().WritePages(world.Addresses[0], 1, pages.data(), kOwner, kAccessCached);
  world.Disk().WritePages(world.Addresses[2], 1, pages.data() + kPage, kOwner, kAccessCached);
}

void WriteRawBytes(TFaultWorld& world) {
  const std::string bytes = Pattern(1, 41).substr(0, 300);
  world.Disk().WriteCustomSize(world.Addresses[1] + 100, 300, bytes.data(), kOwner, 0);
  world.Disk().WriteCustomSize(world.Addresses[3] + 4000, 96, bytes.data(), kOwner, 0);
}

void WriteNewPages(TFaultWorld& world) {
  const std::string pages = Pattern(3, 42);
  world.Disk().WriteNewPages(kOwner, kKind, pages.data(), 3, kAccessCached);
  world.Disk().WriteNewPages(kOwner + 1, kKind, pages.data(), 1, 0);
}

void ReleasePages(TFaultWorld& world) {
  world.Disk().ReleasePages(world.Addresses[1], 2);
}

void DeleteOwnedPages(TFaultWorld& world) {
  world.Disk().DeleteOwnedPages(kOwner, kKind, true);
}

// ---- tables ----

void BuildDef(TTableDef& def, const std::string& name, int32_t id) {
  test::BuildTableDef(def, name, false, kFields, kIndexes);
  def.SetTableID(id);
}

void AddRecords(test::TTableConnection& c, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", i);
    c.SetString(rec, "NAME", "n" + std::to_string(i % 7));
    std::map<std::string, std::string> blobs;
    if (i % 3 == 0) blobs["NOTES"] = std::string(300 + i, static_cast<char>('a' + i % 26));
    c.Insert(rec, blobs);
  }
}

void SetupTable(TFaultWorld& world) {
  world.Create();
  TTableDef def(nullptr);
  BuildDef(def, "T", 0);
  ASSERT_EQ(world.Tables().CreateTableDef("T", def), 0);
  world.TableID = def.TableID();
  test::TTableConnection c(world.Tables(), def);
  AddRecords(c, 0, 150);
}

std::string CheckTable(TFaultWorld& world) {
  std::string error = CheckMap(world);
  if (!error.empty()) return "map: " + error;
  if (world.Tables().OwnHeaderMgr()->Directory().Count() == 0) return std::string();
  auto c = test::OpenStoredTable(world.Tables(), "T", world.TableID, kFields, kIndexes);
  error = test::CheckIndexesAgree(*c);
  for (uint32_t x : c->LiveRecords()) {
    const std::vector<uint8_t> rec = c->Read(x);
    const int32_t id = c->GetInteger(rec.data(), "ID");
    if (id % 3 == 0 && c->ReadBlob(rec.data(), "NOTES").size() != static_cast<size_t>(300 + id))
      return "record " + std::to_string(id) + " lost its BLOB";
  }
  return error;
}

void InsertRecords(TFaultWorld& world) {
  auto c = test::OpenStoredTable(world.Tables(), "T", world.TableID, kFields, kIndexes);
  // Enough to split leaves of both indexes. What a failed run stored is
  // not stored again.
  for (int id = 1000; id < 1250; ++id)
    if (c->Find("ById", host::Variant(id)).empty()) AddRecords(*c, id, 1);
}

void DeleteRecords(TFaultWorld& world) {
  auto c = test::OpenStoredTable(world.Tables(), "T", world.TableID, kFields, kIndexes);
  for (int id = 0; id < 150; id += 2)
    for (uint32_t x : c->Find("ById", host::Variant(id))) c->Delete(x);
}

void CreateTable(TFaultWorld& world) {
  TTableDef def(nullptr);
  BuildDef(def, "U", 0);
  ASSERT_EQ(world.Tables().CreateTableDef("U", def), 0);
}

void RestructureTable(TFaultWorld& world) {
  TTableDef def(nullptr);
  BuildDef(def, "T", world.TableID);
  TRestructureFieldDefs fields;
  TRestructureIndexDefs indexes;
  fields.SetChangeStatus(dcDataChange);
  indexes.SetChangeStatus(dcDataChange);
  TRestructureDetails details;
  details.NewFieldDefs = &fields;
  details.NewIndexDefs = &indexes;
  world.Tables().RestructureTableDef(def, details);
}

void DeleteTable(TFaultWorld& world) {
  TTableDef def(nullptr);
  BuildDef(def, "T", world.TableID);
  ASSERT_EQ(world.Tables().DeleteTableDef("T", def), 0);
}

// Name, setup, operation, check, sound without a transaction.
const TFaultOperation kOperations[] = {
    {"PageCacheWrite", SetupPages, WriteCachedPages, CheckPages, true},
    {"FileRawWrite", SetupPages, WriteRawBytes, CheckPages, true},
    {"DiskWriteNewPages", SetupPages, WriteNewPages, CheckPages, true},
    {"DiskReleasePages", SetupPages, ReleasePages, CheckPages, true},
    {"DiskDeleteOwnedPages", SetupPages, DeleteOwnedPages, CheckPages, true},
    {"RecordAndIndexInsert", SetupTable, InsertRecords, CheckTable, false},
    {"RecordAndIndexDelete", SetupTable, DeleteRecords, CheckTable, false},
    {"TableCreate", SetupTable, CreateTable, CheckTable, true},
    {"TableRestructure", SetupTable, RestructureTable, CheckTable, false},
    {"TableDelete", SetupTable, DeleteTable, CheckTable, false},
};

// A commit does not flush; flush faults are tried where the engine flushes
// (ForceToDisk, below).
const TFileFaultKind kFaults[] = {os::test::fkShortWrite, os::test::fkDiskFull,
                                  os::test::fkReadError, os::test::fkWriteError, os::test::fkCrash};

struct TMatrixCase {
  int Operation;
  TFileFaultKind Fault;
};

class StorageFaults : public ::testing::TestWithParam<TMatrixCase> {};

TEST_P(StorageFaults, RaiseRollBackOrRetryAndLeaveTheCommittedState) {
  const TFaultOperation& op = kOperations[GetParam().Operation];
  const TFileFaultKind fault = GetParam().Fault;
  TFaultWorld world;
  const test::TFaultReference ref = test::MakeFaultReference(world, op);
  ASSERT_FALSE(HasFailure());
  ASSERT_NE(ref.Before, ref.After) << "the operation changes nothing";
  uint64_t count = ref.Writes;
  if (fault == os::test::fkReadError) count = ref.Reads;
  if (fault == os::test::fkFlushError) count = ref.Flushes;
  // A crash is tried after every write of the commit; the other faults at
  // up to 40 calls spread over the run.
  std::vector<uint64_t> points =
      test::FaultPoints(count, fault == os::test::fkCrash ? std::max<uint64_t>(count, 1) : 40);
  if (fault == os::test::fkCrash) points.insert(points.begin(), 0);
  // One past the last call: the fault never strikes and all goes as usual.
  points.push_back(count + 1);
  test::TFaultTally tally;
  for (uint64_t n : points) {
    test::RunFaultCase(world, op, ref, fault, n, tally);
    if (HasFailure()) break;
  }
  RecordProperty("cases", tally.Cases);
  RecordProperty("rolled_back", tally.RolledBack);
  RecordProperty("commit_retried", tally.CommitRetried);
  RecordProperty("restored_after_crash", tally.RestoredAfterCrash);
  RecordProperty("reads", static_cast<int>(ref.Reads));
  RecordProperty("writes", static_cast<int>(ref.Writes));
}

std::vector<TMatrixCase> AllCases() {
  std::vector<TMatrixCase> all;
  for (int op = 0; op < static_cast<int>(std::size(kOperations)); ++op)
    for (TFileFaultKind fault : kFaults) all.push_back({op, fault});
  return all;
}

std::string CaseName(const ::testing::TestParamInfo<TMatrixCase>& info) {
  std::string fault = os::test::FileFaultName(info.param.Fault);
  for (char& ch : fault)
    if (ch == ' ') ch = '_';
  return std::string(kOperations[info.param.Operation].Name) + "_" + fault;
}

INSTANTIATE_TEST_SUITE_P(Matrix, StorageFaults, ::testing::ValuesIn(AllCases()), CaseName);

// The same operations without a transaction.
class StorageFaultsDirect : public ::testing::TestWithParam<TMatrixCase> {};

TEST_P(StorageFaultsDirect, RaiseHoldNothingAndLeaveAFileThatOpens) {
  const TFaultOperation& op = kOperations[GetParam().Operation];
  const TFileFaultKind fault = GetParam().Fault;
  TFaultWorld world;
  const test::TFaultReference ref = test::MakeFaultReference(world, op, false);
  ASSERT_FALSE(HasFailure());
  const uint64_t count = fault == os::test::fkReadError ? ref.Reads : ref.Writes;
  for (uint64_t n : test::FaultPoints(count)) {
    test::RunDirectFaultCase(world, op, ref, fault, n);
    if (HasFailure()) break;
  }
}

std::vector<TMatrixCase> DirectCases() {
  std::vector<TMatrixCase> all;
  for (int op = 0; op < static_cast<int>(std::size(kOperations)); ++op)
    for (TFileFaultKind fault : {os::test::fkShortWrite, os::test::fkDiskFull,
                                 os::test::fkReadError, os::test::fkWriteError})
      all.push_back({op, fault});
  return all;
}

INSTANTIATE_TEST_SUITE_P(Matrix, StorageFaultsDirect, ::testing::ValuesIn(DirectCases()), CaseName);

// A failed commit that is rolled back rather than committed again.
class StorageFailedCommitRollback : public ::testing::TestWithParam<int> {};

TEST_P(StorageFailedCommitRollback, TakesBackWhatTheCommitWroteAndHoldsNothing) {
  const TFaultOperation& op = kOperations[GetParam()];
  TFaultWorld world;
  const test::TFaultReference ref = test::MakeFaultReference(world, op);
  ASSERT_FALSE(HasFailure());
  for (uint64_t n : test::FaultPoints(ref.Writes, 5)) {
    test::RunRollbackAfterFailedCommit(world, op, ref, n);
    if (HasFailure()) break;
  }
}

std::string OperationName(const ::testing::TestParamInfo<int>& info) {
  return std::string(kOperations[info.param].Name);
}

INSTANTIATE_TEST_SUITE_P(Matrix, StorageFailedCommitRollback,
                         ::testing::Range(0, static_cast<int>(std::size(kOperations))),
                         OperationName);

// ForceToDisk under a power loss after each write of the machine.
class StoragePowerLoss : public ::testing::TestWithParam<int> {};

TEST_P(StoragePowerLoss, ADurableCommitIsThereWholeOrNotAtAll) {
  const TFaultOperation& op = kOperations[GetParam()];
  TFaultWorld world;
  // The reference run counts the machine's writes of a durable commit.
  test::TFaultReference ref;
  world.Create();
  op.Setup(world);
  world.Close();
  ref.Before = world.Data().Contents();
  world.SetPowerLossMode(true);
  world.Open();
  world.Power().Writes = 0;
  {
    TDiskTransaction tx(world.Disk());
    op.Run(world);
    world.Disk().ForceToDisk();
    tx.Commit();
  }
  const uint64_t writes = world.Power().Writes;
  world.Close();
  world.SetPowerLossMode(false);
  ref.After = world.Data().Contents();
  ASSERT_NE(ref.Before, ref.After);
  int before = 0, after = 0;
  for (uint64_t k : test::FaultPoints(writes + 1, 25)) {
    for (uint32_t seed = 1; seed <= 3; ++seed)
      test::RunPowerLossCase(world, op, ref, k - 1, seed, before, after);
    if (HasFailure()) break;
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
  RecordProperty("before", before);
  RecordProperty("after", after);
}

INSTANTIATE_TEST_SUITE_P(Matrix, StoragePowerLoss,
                         ::testing::Range(0, static_cast<int>(std::size(kOperations))),
                         OperationName);

}  // namespace
}  // namespace tav

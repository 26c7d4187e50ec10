// A process killed in the middle of its work leaves the database as the last
// commit left it: the file transaction keeps every change in memory until
// commit, the operating system drops the dead process's locks, and the next
// connection sweeps its lock-file entry.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/string_list.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"DATA", host::ftBlob}};
const std::vector<TTableIndexDesc> kIndexes = {{"ById", "ID", true},
                                               {"ByName", "NAME", false, false, true}};

void Fill(TTableConnection& c, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", i);
    c.SetString(rec, "NAME", "Name " + std::to_string(i % 53));
    c.Insert(rec, {{"DATA", std::string(static_cast<size_t>(i % 900), 'x')}});
  }
}

std::set<int32_t> Ids(TTableConnection& c) {
  std::set<int32_t> ids;
  for (uint32_t a : c.LiveRecords()) ids.insert(c.GetInteger(c.Read(a).data(), "ID"));
  return ids;
}

// Forks a child that runs `body` and then kills itself with SIGKILL, as a
// crash or an operator would; waits for it and says whether it died so.
bool RunAndKillChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    try {
      body();
    } catch (...) {
      _exit(3);
    }
    raise(SIGKILL);
    _exit(4);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(KilledWriter, UncommittedWorkVanishesAndTheDatabaseStaysSound) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "crash.tav";
  int32_t id = 0;
  {
    TTestDatabaseFile db(path, true);
    TTableDef def(nullptr);
    BuildTableDef(def, "T", false, kFields, kIndexes);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    id = def.TableID();
    TTableConnection c(db.Tables(), def);
    Fill(c, 0, 200);
  }
  auto openTable = [&](TTestDatabaseFile& db) {
    return OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
  };

  // The writer adds, changes and deletes inside a transaction, and dies
  // before it commits.
  ASSERT_TRUE(RunAndKillChild([&] {
    TTestDatabaseFile db(path, false);
    auto c = openTable(db);
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 1000, 1500);
    for (int k = 0; k < 100; ++k)
      for (uint32_t a : c->Find("ById", host::Variant(k))) c->Delete(a);
  }));

  TTestDatabaseFile db(path, false);
  host::TStringList users;
  db.DiskMgr().GetCurrentUsers(users);
  EXPECT_EQ(users.Count(), 1) << "the dead writer's entry is swept";
  auto c = openTable(db);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  std::set<int32_t> expected;
  for (int i = 0; i < 200; ++i) expected.insert(i);
  EXPECT_EQ(Ids(*c), expected);
  EXPECT_EQ(c->Find("ById", host::Variant(1000)).size(), 0u);
  // Its locks died with it: this connection writes at once.
  EXPECT_EQ(db.DiskMgr().SetTableLock(static_cast<uint32_t>(id), 4), 4);
  db.DiskMgr().ReleaseTableLock(static_cast<uint32_t>(id));
  Fill(*c, 200, 50);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  EXPECT_EQ(Ids(*c).size(), 250u);
}

TEST(KilledWriter, ACommittedTransactionSurvivesTheWritersDeath) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "commit.tav";
  int32_t id = 0;
  {
    TTestDatabaseFile db(path, true);
    TTableDef def(nullptr);
    BuildTableDef(def, "T", false, kFields, kIndexes);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    id = def.TableID();
  }
  ASSERT_TRUE(RunAndKillChild([&] {
    TTestDatabaseFile db(path, false);
    auto c = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 0, 800);
    db.DiskMgr().DiskCommit();
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 800, 100);  // lost with the writer
  }));
  TTestDatabaseFile db(path, false);
  auto c = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  EXPECT_EQ(Ids(*c).size(), 800u);
  EXPECT_EQ(c->Find("ByName", host::Variant("NAME 7")).size(), 800u / 53 + (7 < 800 % 53));
}

}  // namespace
}  // namespace tav::test

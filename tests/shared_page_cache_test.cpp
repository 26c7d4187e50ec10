// A connection to a shared database keeps the pages it read from one
// statement to the next. What another process commits in between must
// still reach the next statement (rows it added, changed and deleted, pages
// it freed and handed to another table), and a commit it was killed in the
// middle of must leave no trace there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/fields.h"
#include "host/db/params.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

constexpr int kRows = 300;

std::string Num(int64_t v) {
  return std::to_string(v);
}

// "A" and "B" (ID primary key, K, S), A with kRows rows, B empty.
std::string CreateDatabase(const os::test::TTempDir& dir) {
  const std::string path = dir / "shared.tav";
  CreateDatabaseFile(path);
  TSession s(path);
  for (const char* t : {"A", "B"})
    s.Exec(std::string("CREATE TABLE ") + t +
           " (ID INT NOT NULL, K INT, S VARCHAR(24), PRIMARY KEY (ID))");
  s.Exec("INSERT INTO A (ID, K, S) VALUES (0, 0, 's0')");
  for (int n = 1; n < kRows; n *= 2)
    s.Exec("INSERT INTO A (ID, K, S) SELECT ID + " + Num(n) + ", K + " + Num(n) +
           ", 's' || CAST(ID + " + Num(n) + " AS VARCHAR(12)) FROM A WHERE ID + " + Num(n) + " < " +
           Num(kRows));
  return path;
}

// A point SELECT prepared once and re-run by Refresh, as an application
// runs one.
struct TPointSelect {
  TTavQuery Q{nullptr};
  TPointSelect(TTavDataBase& db, const std::string& table) {
    Q.SetDataBase(&db);
    Q.SetSQLText("SELECT ID, K, S FROM " + table + " WHERE ID = :p");
    Q.Prepare();
  }
  std::string Run(int id) {
    Q.ParamByName("p")->SetAsInteger(id);
    if (Q.Active())
      Q.Refresh();
    else
      Q.Open();
    return Rows(Q);
  }
};

std::string Row(int id, int64_t k, const std::string& s) {
  return Num(id) + "|" + Num(k) + "|" + s;
}

int64_t FileSize(const std::string& path) {
  return static_cast<int64_t>(std::filesystem::file_size(path));
}

TEST(SharedPageCache, APreparedSelectSeesWhatAnotherProcessCommittedBetweenRuns) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  constexpr int kRounds = 6;
  TChild writer([&](TChildSide& side) {
    TSession s(path, 200);
    side.Send(0);
    for (int r = 1; r <= kRounds; ++r) {
      if (!side.WaitGo()) return 2;
      // A change in a page the reader has cached, a row in a new page, a
      // row gone.
      s.Exec("UPDATE A SET K = K + 1000 WHERE ID = " + Num(r));
      s.Exec("INSERT INTO A (ID, K, S) VALUES (" + Num(1000 + r) + ", " + Num(r) + ", 'new')");
      s.Exec("DELETE FROM A WHERE ID = " + Num(100 + r));
      side.Send(static_cast<uint64_t>(r));
    }
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  uint64_t got = 0;
  ASSERT_TRUE(writer.Receive(got));

  TSession s(path, 200);
  TPointSelect point(s.Db, "A");
  TTavQuery range(nullptr);
  range.SetDataBase(&s.Db);
  range.SetSQLText("SELECT COUNT(*), SUM(K) FROM A WHERE ID BETWEEN :lo AND :hi");
  range.Prepare();
  auto rangeRun = [&](int lo, int hi) {
    range.ParamByName("lo")->SetAsInteger(lo);
    range.ParamByName("hi")->SetAsInteger(hi);
    if (range.Active())
      range.Refresh();
    else
      range.Open();
    return Rows(range);
  };
  int64_t sum = int64_t{kRows} * (kRows - 1) / 2;
  int count = kRows;
  // Every page of the table read once, so that all of it is cached.
  EXPECT_EQ(rangeRun(0, 5000), Num(count) + "|" + Num(sum));
  for (int r = 1; r <= kRounds; ++r) {
    EXPECT_EQ(point.Run(r), Row(r, r, "s" + Num(r)));
    EXPECT_EQ(point.Run(1000 + r), "");
    EXPECT_EQ(point.Run(100 + r), Row(100 + r, 100 + r, "s" + Num(100 + r)));
    writer.Go();
    ASSERT_TRUE(writer.Receive(got));
    ASSERT_EQ(got, static_cast<uint64_t>(r));
    EXPECT_EQ(point.Run(r), Row(r, r + 1000, "s" + Num(r))) << "round " << r;
    EXPECT_EQ(point.Run(1000 + r), Row(1000 + r, r, "new")) << "round " << r;
    EXPECT_EQ(point.Run(100 + r), "") << "round " << r;
    sum += 1000 + r - (100 + r);
    EXPECT_EQ(rangeRun(0, 5000), Num(count) + "|" + Num(sum)) << "round " << r;
  }
  EXPECT_EQ(writer.Wait(), 0);
}

TEST(SharedPageCache, PagesAnotherProcessFreedAndHandedToAnotherTableAreReadAgain) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TChild writer([&](TChildSide& side) {
    TSession s(path, 200);
    side.Send(0);
    if (!side.WaitGo()) return 2;
    // A's pages go back to the file; B takes them.
    {
      TTavTable a(nullptr);
      a.SetDataBase(&s.Db);
      a.SetTableName("A");
      a.Open();
      a.EmptyTable();
      a.Close();
    }
    s.Exec("INSERT INTO B (ID, K, S) VALUES (0, -1, 'b')");
    for (int n = 1; n < kRows; n *= 2)
      s.Exec("INSERT INTO B (ID, K, S) SELECT ID + " + Num(n) + ", K - " + Num(n) +
             ", 'b' FROM B WHERE ID + " + Num(n) + " < " + Num(kRows));
    side.Send(1);
    if (!side.WaitGo()) return 3;
    // And back: B's pages to A, which now holds other values.
    {
      TTavTable b(nullptr);
      b.SetDataBase(&s.Db);
      b.SetTableName("B");
      b.Open();
      b.EmptyTable();
      b.Close();
    }
    s.Exec("INSERT INTO A (ID, K, S) VALUES (0, 7, 'again')");
    for (int n = 1; n < kRows; n *= 2)
      s.Exec("INSERT INTO A (ID, K, S) SELECT ID + " + Num(n) + ", K + " + Num(7 * n) +
             ", 'again' FROM A WHERE ID + " + Num(n) + " < " + Num(kRows));
    side.Send(2);
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  uint64_t got = 0;
  ASSERT_TRUE(writer.Receive(got));

  TSession s(path, 200);
  TPointSelect a(s.Db, "A");
  TPointSelect b(s.Db, "B");
  for (int id = 0; id < kRows; ++id) ASSERT_EQ(a.Run(id), Row(id, id, "s" + Num(id)));
  EXPECT_EQ(b.Run(5), "");
  a.Q.Close();
  b.Q.Close();
  const int64_t before = FileSize(path);

  writer.Go();
  ASSERT_TRUE(writer.Receive(got));
  // B grew into A's pages rather than the end of the file.
  ASSERT_LE(FileSize(path), before);
  for (int id = 0; id < kRows; ++id) {
    ASSERT_EQ(a.Run(id), "") << id;
    ASSERT_EQ(b.Run(id), Row(id, -1 - id, "b")) << id;
  }

  writer.Go();
  ASSERT_TRUE(writer.Receive(got));
  ASSERT_LE(FileSize(path), before);
  for (int id = 0; id < kRows; ++id) {
    ASSERT_EQ(a.Run(id), Row(id, 7 * (id + 1), "again")) << id;
    ASSERT_EQ(b.Run(id), "") << id;
  }
  EXPECT_EQ(writer.Wait(), 0);
}

TEST(SharedPageCache, AWriterKilledBetweenRunsLeavesTheReaderSeeingTheTableAsItWas) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "shared.tav";
  CreateDatabaseFile(path);
  constexpr int kBig = 10 << 11;
  {
    // Big enough that the UPDATE takes far longer than the kill needs.
    TSession s(path);
    s.Exec("CREATE TABLE A (ID INT NOT NULL, K INT, S VARCHAR(24), PRIMARY KEY (ID))");
    s.Exec("INSERT INTO A (ID, K, S) VALUES (0, 0, 'x')");
    for (int n = 1; n < kBig; n *= 2)
      s.Exec("INSERT INTO A (ID, K, S) SELECT ID + " + Num(n) + ", 0, 'x' FROM A WHERE ID + " +
             Num(n) + " < " + Num(kBig));
  }
  TSession s(path, 200);
  TPointSelect point(s.Db, "A");
  for (int id = 0; id < kBig; id += 97) ASSERT_EQ(point.Run(id), Row(id, 0, "x"));

  ASSERT_NO_FATAL_FAILURE(
      KillDuringStatement(path, "UPDATE A SET K = K + 1", 200, std::chrono::milliseconds(30)));

  for (int id = 0; id < kBig; id += 97) ASSERT_EQ(point.Run(id), Row(id, 0, "x")) << id;
  EXPECT_EQ(s.Value("SELECT COUNT(*), SUM(K) FROM A"), Num(kBig) + "|0");
  // And the next writer's commit is seen as it should be.
  TChild writer([&](TChildSide&) {
    TSession w(path, 200);
    w.Exec("UPDATE A SET K = ID WHERE ID < 1000");
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  EXPECT_EQ(writer.Wait(), 0);
  for (int id = 0; id < kBig; id += 97)
    ASSERT_EQ(point.Run(id), Row(id, id < 1000 ? id : 0, "x")) << id;
}

}  // namespace
}  // namespace tav::test

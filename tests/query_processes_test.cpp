// SQL statements of several processes on one database file, through the
// query component: each data change runs in a transaction of its own, so
// concurrent increments lose nothing, a reader sees another's INSERT ...
// SELECT batches whole, a process killed in the middle of an UPDATE leaves
// the table as it was, and a schema statement that cannot have the database
// to itself fails leaving its connection as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/lock/lock_file.h"
#include "engine/storage/lock/lock_mgr.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/fields.h"
#include "host/rtl/string_list.h"
#include "os/file.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// Runs `q`'s prepared statement until it succeeds, at most `tries` times;
// the refusals it met, or -1 when it never succeeded. Only a refusal by
// another process's lock is tried again: any other error is a fault and
// goes to the caller.
int ExecRetrying(TTavQuery& q, int tries) {
  for (int refused = 0; refused < tries; ++refused) {
    try {
      q.ExecSQL();
      return refused;
    } catch (const ETavDatabaseError& e) {
      // Refused: the statement changed nothing.
      if (e.ErrorCode() != kRequestedLockNotObtained) throw;
    }
  }
  return -1;
}

// The database: "C" (ID primary key, N) with five rows at N = 0, "Src"
// (V = 1 .. 10) and an empty "Dst" (V).
std::string CreateDatabase(const os::test::TTempDir& dir) {
  const std::string path = dir / "shared.tav";
  CreateDatabaseFile(path);
  TSession s(path);
  s.Exec("CREATE TABLE C (ID INT NOT NULL, N INT, PRIMARY KEY (ID))");
  for (int id = 1; id <= 5; ++id) s.Exec("INSERT INTO C (ID, N) VALUES (" + std::to_string(id) + ", 0)");
  s.Exec("CREATE TABLE Src (V INT)");
  for (int v = 1; v <= 10; ++v) s.Exec("INSERT INTO Src (V) VALUES (" + std::to_string(v) + ")");
  s.Exec("CREATE TABLE Dst (V INT)");
  return path;
}

TEST(QueryProcesses, ConcurrentIncrementsLoseNothing) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  constexpr int kEach = 150;
  auto body = [&](TChildSide& side) {
    TSession s(path);
    s.Q.SetSQLText("UPDATE C SET N = N + 1");
    side.Send(1);  // connected, statement prepared
    side.WaitGo();
    uint64_t refused = 0;
    for (int done = 0; done < kEach; ++done) {
      const int r = ExecRetrying(s.Q, 1000);
      if (r < 0) return 1;
      refused += static_cast<uint64_t>(r);
    }
    side.Send(refused);
    return 0;
  };
  TChild a(body), b(body);
  ASSERT_TRUE(a.Started() && b.Started());
  // Both connected before either writes: an opening that meets the other's
  // commits may be refused, and that is not what is tested here.
  uint64_t ready = 0;
  ASSERT_TRUE(a.Receive(ready) && b.Receive(ready));
  a.Go();
  b.Go();
  uint64_t refusedA = 0, refusedB = 0;
  EXPECT_TRUE(a.Receive(refusedA));
  EXPECT_TRUE(b.Receive(refusedB));
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  TSession s(path);
  // Every row counted exactly the successful statements of both.
  EXPECT_EQ(s.Value("SELECT COUNT(*), MIN(N), MAX(N) FROM C"), "5|300|300");
  RecordProperty("refused", std::to_string(refusedA + refusedB));
}

TEST(QueryProcesses, AReaderSeesInsertSelectBatchesWhole) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  constexpr int kBatches = 40;
  TChild writer([&](TChildSide& side) {
    TSession s(path);
    s.Q.SetSQLText("INSERT INTO Dst SELECT V FROM Src");
    side.Send(1);  // connected, statement prepared
    side.WaitGo();
    for (int i = 0; i < kBatches; ++i)
      if (ExecRetrying(s.Q, 1000) < 0) return 1;
    return 0;
  });
  TChild reader([&](TChildSide& side) {
    TSession s(path);
    side.Send(1);  // connected
    side.WaitGo();
    uint64_t torn = 0, reads = 0;
    for (int i = 0; i < 150; ++i) {
      std::string row;
      try {
        row = s.Value("SELECT COUNT(*), SUM(V) FROM Dst");
      } catch (const ETavDatabaseError& e) {
        if (e.ErrorCode() != kRequestedLockNotObtained) throw;
        continue;  // refused by the writer's lock
      }
      ++reads;
      const size_t bar = row.find('|');
      const int count = std::stoi(row.substr(0, bar));
      const std::string sum = row.substr(bar + 1);
      // Each batch adds ten rows summing to 55.
      if (count % 10 != 0 || (count > 0 && std::stoi(sum) != count / 10 * 55)) ++torn;
    }
    side.Send(torn);
    side.Send(reads);
    return 0;
  });
  ASSERT_TRUE(writer.Started() && reader.Started());
  // Both connected before the writer starts: an opening that meets its
  // commits may be refused, which is not what is tested here.
  uint64_t ready = 0;
  ASSERT_TRUE(writer.Receive(ready) && reader.Receive(ready));
  writer.Go();
  reader.Go();
  uint64_t torn = 1, reads = 0;
  EXPECT_TRUE(reader.Receive(torn));
  EXPECT_TRUE(reader.Receive(reads));
  EXPECT_EQ(torn, 0u);
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(reader.Wait(), 0);
  TSession s(path);
  EXPECT_EQ(s.Value("SELECT COUNT(*), SUM(V) FROM Dst"), std::to_string(kBatches * 10) + "|" +
                                                             std::to_string(kBatches * 55));
}

// A GROUP BY prepared once and run again by Refresh reads each run's table
// as it is then: rows another process added, changed and deleted between
// the runs (a whole group gone, NULLs in an aggregated column).
TEST(QueryProcesses, GroupByRunAgainSeesAnotherProcessesChanges) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  {
    TSession s(path);
    s.Exec("CREATE TABLE G (K INT, V INT, F FLOAT)");
    for (int i = 1; i <= 40; ++i)
      s.Exec("INSERT INTO G (K, V, F) VALUES (" + std::to_string(i % 3) + ", " + std::to_string(i) + ", " +
             std::to_string(i) + ".5)");
  }
  TChild writer([&](TChildSide& side) {
    TSession s(path);
    side.Send(1);  // connected
    side.WaitGo();
    s.Exec("DELETE FROM G WHERE K = 2");
    s.Exec("UPDATE G SET V = V * 100 WHERE V = 39");
    s.Exec("INSERT INTO G (K, V, F) VALUES (0, -5, NULL)");
    s.Exec("INSERT INTO G (K, V, F) VALUES (7, NULL, 0.25)");
    side.Send(1);
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  // Connected before this side reads: the commit of a read may refuse an
  // opening.
  uint64_t done = 0;
  ASSERT_TRUE(writer.Receive(done));
  TSession s(path);
  s.Q.SetSQLText("SELECT K, COUNT(*), COUNT(V), SUM(F), MIN(V), MAX(V), AVG(F) FROM G GROUP BY K ORDER BY K");
  s.Q.Prepare();
  s.Q.Open();
  EXPECT_EQ(Rows(s.Q), "0|13|13|279.5|3|39|21.5;1|14|14|294|1|40|21;2|13|13|266.5|2|38|20.5");
  writer.Go();
  EXPECT_TRUE(writer.Receive(done));
  EXPECT_EQ(writer.Wait(), 0);
  s.Q.Refresh();
  EXPECT_EQ(Rows(s.Q), "0|14|14|279.5|-5|3900|21.5;1|14|14|294|1|40|21;7|1|0|0.25|0|0|0.25");
  s.Q.Close();
}

TEST(QueryProcesses, AProcessKilledMidUpdateLeavesTheTableAsItWas) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  {
    // Big enough that the UPDATE takes far longer than the kill needs:
    // 10 rows doubled eleven times.
    TSession s(path);
    s.Exec("CREATE TABLE Big (V INT, N INT)");
    s.Exec("INSERT INTO Big SELECT V, 0 FROM Src");
    for (int i = 0; i < 11; ++i) s.Exec("INSERT INTO Big SELECT V, N FROM Big");
    ASSERT_EQ(s.Value("SELECT COUNT(*), SUM(N) FROM Big"), "20480|0");
  }
  ASSERT_NO_FATAL_FAILURE(
      KillDuringStatement(path, "UPDATE Big SET N = N + 1", 3, std::chrono::milliseconds(20)));

  // The other process goes on: the dead one's locks went with it.
  TSession s(path, 50);
  EXPECT_EQ(s.Value("SELECT COUNT(*), SUM(N) FROM Big"), "20480|0");
  s.Exec("UPDATE Big SET N = N + 1 WHERE V = 1");
  EXPECT_EQ(s.Value("SELECT COUNT(*), SUM(N) FROM Big"), "20480|2048");
}

TEST(QueryProcesses, ASchemaStatementWhileAnotherHoldsTheDatabaseFailsCleanly) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TChild holder([&](TChildSide& side) {
    TSession s(path);
    s.Q.SetSQLText("SELECT * FROM C");
    s.Q.Open();
    side.Send(1);
    side.WaitGo();
    return 0;
  });
  ASSERT_TRUE(holder.Started());
  uint64_t ready = 0;
  ASSERT_TRUE(holder.Receive(ready));

  TSession s(path);
  // A temporary table of this connection would not survive the reconnect:
  // refused before anything is closed.
  s.Exec("CREATE TABLE TEMPORARY Scratch (A INT)");
  s.Exec("INSERT INTO Scratch (A) VALUES (7)");
  EXPECT_EQ(ErrorCodeOf([&] { s.Exec("ALTER TABLE C ADD X INT"); }), kCannotOperateWithoutExclusiveAccess);
  EXPECT_TRUE(s.Db.Connected());
  EXPECT_EQ(s.Value("SELECT A FROM Scratch"), "7");
  s.Exec("DROP TABLE TEMPORARY Scratch");

  // Nothing of its own to lose: it tries, the other process holds the file,
  // and it is connected again as before, shared.
  EXPECT_NE(ErrorCodeOf([&] { s.Exec("ALTER TABLE C ADD X INT"); }), 0);
  EXPECT_TRUE(s.Db.Connected());
  EXPECT_FALSE(s.Db.Exclusive());
  EXPECT_EQ(s.Value("SELECT COUNT(*) FROM C"), "5");

  holder.Go();
  EXPECT_EQ(holder.Wait(), 0);
  s.Exec("ALTER TABLE C ADD X INT");
  EXPECT_EQ(s.Value("SELECT COUNT(*), COUNT(X) FROM C"), "5|0");
  EXPECT_FALSE(s.Db.Exclusive());
}

TEST(QueryProcesses, APreparedSelectSeesWhatAnotherProcessCommittedAtItsNextRun) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  // The other process runs one statement per go, then says it is done.
  TChild other([&](TChildSide& side) {
    TSession s(path, 1000);
    for (const char* sql : {"INSERT INTO C (ID, N) VALUES (6, 60)", "UPDATE C SET N = 20 WHERE ID = 2",
                            "DELETE FROM C WHERE ID = 3", "INSERT INTO C (ID, N) VALUES (0, 1)"}) {
      if (!side.WaitGo()) return 1;
      s.Exec(sql);
      side.Send(1);
    }
    // Restructured while this side has the database to itself.
    if (!side.WaitGo()) return 1;
    s.Exec("ALTER TABLE C ADD X INT");
    s.Exec("UPDATE C SET X = ID * 10");
    side.Send(1);
    return 0;
  });
  ASSERT_TRUE(other.Started());
  TSession s(path, 1000);
  s.Q.SetSQLText("SELECT * FROM C WHERE ID BETWEEN :lo AND :hi ORDER BY ID");
  s.Q.Prepare();
  s.Q.ParamByName("lo")->SetAsInteger(1);
  s.Q.ParamByName("hi")->SetAsInteger(9);
  s.Q.Open();
  EXPECT_EQ(Rows(s.Q), "1|0;2|0;3|0;4|0;5|0");
  uint64_t done = 0;
  const char* expected[] = {"1|0;2|0;3|0;4|0;5|0;6|60", "1|0;2|20;3|0;4|0;5|0;6|60", "1|0;2|20;4|0;5|0;6|60"};
  for (const char* rows : expected) {
    other.Go();
    ASSERT_TRUE(other.Receive(done));
    s.Q.Refresh();
    EXPECT_EQ(Rows(s.Q), rows);
  }
  // New values for the same plan.
  other.Go();
  ASSERT_TRUE(other.Receive(done));
  s.Q.ParamByName("lo")->SetAsInteger(0);
  s.Q.ParamByName("hi")->SetAsInteger(2);
  s.Q.Refresh();
  EXPECT_EQ(Rows(s.Q), "0|1;1|0;2|20");
  // The other process can restructure only while this one is away.
  s.Db.Close();
  EXPECT_FALSE(s.Q.Active());
  other.Go();
  ASSERT_TRUE(other.Receive(done));
  EXPECT_EQ(other.Wait(), 0);
  s.Db.Open();
  s.Q.Open();
  EXPECT_EQ(Rows(s.Q), "0|1|0;1|0|10;2|20|20");
}

// A statement whose assignment another process's lock refused is set up
// whole when it is assigned again or prepared: its parameters are there.
TEST(QueryProcesses, AStatementRefusedByAnotherProcessesLockGetsItsParametersLater) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  // The other process holds the database header's lock for writing (as
  // a committing writer does) until it is told to let go.
  auto holder = [&](TChildSide& side) {
    auto lockFile = os::TOSFile::Open(GetLockFileName(path), os::TFileAccess::ReadWrite,
                                      os::TFileShare::DenyNone);
    if (!lockFile || !lockFile->LockRange(kTableLockBase, kTableLockRegion)) return 1;
    side.Send(1);
    side.WaitGo();
    return 0;
  };
  const std::string sql = "SELECT ID, N FROM C WHERE ID >= :lo ORDER BY ID";
  uint64_t held = 0;
  {
    TSession s(path);
    TChild other(holder);
    ASSERT_TRUE(other.Started());
    ASSERT_TRUE(other.Receive(held));
    EXPECT_EQ(ErrorCodeOf([&] { s.Q.SetSQLText(sql); }), kRequestedLockNotObtained);
    other.Go();
    ASSERT_EQ(other.Wait(), 0);
    // Assigned again, the same text.
    s.Q.SetSQLText(sql);
    ASSERT_EQ(s.Q.ParamCount(), 1);
    s.Q.ParamByName("lo")->SetAsInteger(4);
    s.Q.Open();
    EXPECT_EQ(Rows(s.Q), "4|0;5|0");
    s.Q.Close();
  }
  {
    TSession s(path);
    TChild other(holder);
    ASSERT_TRUE(other.Started());
    ASSERT_TRUE(other.Receive(held));
    EXPECT_EQ(ErrorCodeOf([&] { s.Q.SetSQLText(sql); }), kRequestedLockNotObtained);
    other.Go();
    ASSERT_EQ(other.Wait(), 0);
    // Prepared without another assignment.
    s.Q.Prepare();
    ASSERT_EQ(s.Q.ParamCount(), 1);
    s.Q.ParamByName("lo")->SetAsInteger(5);
    s.Q.Open();
    EXPECT_EQ(Rows(s.Q), "5|0");
    s.Q.Close();
  }
}


// Statements of a connection that ran on a table before another process
// changed the table's columns (renamed, added; then the table dropped and
// made again) run on the table as it is now.
TEST(QueryProcesses, StatementsAfterAnotherProcessChangesATableSeeItsNewColumns) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TSession s(path);
  s.Exec("UPDATE C SET N = N + 1");
  s.Exec("DELETE FROM C WHERE ID = 5");
  auto inOtherProcess = [&](const std::vector<std::string>& statements) {
    // A schema change needs the database to itself.
    s.Db.Close();
    TChild other([&](TChildSide& side) {
      TSession o(path);
      for (const std::string& sql : statements) o.Exec(sql);
      side.Send(1);
      return 0;
    });
    ASSERT_TRUE(other.Started());
    uint64_t done = 0;
    EXPECT_TRUE(other.Receive(done));
    EXPECT_EQ(other.Wait(), 0);
    s.Db.Open();
  };
  inOtherProcess({"ALTER TABLE C ALTER N TO Total, ADD Extra INT"});
  s.Exec("UPDATE C SET Total = Total + 10, Extra = ID WHERE ID > 2");
  s.Exec("DELETE FROM C WHERE Extra = 3");
  EXPECT_EQ(ErrorCodeOf([&] { s.Exec("UPDATE C SET N = 0"); }), kSqlError);
  EXPECT_EQ(ErrorCodeOf([&] { s.Exec("DELETE FROM C WHERE N = 1"); }), kSqlError);
  EXPECT_EQ(s.Value("SELECT COUNT(*), SUM(Total), SUM(Extra) FROM C"), "3|13|4");

  inOtherProcess({"DROP TABLE C", "CREATE TABLE C (ID INT, Word VARCHAR(10))",
                  "INSERT INTO C (ID, Word) VALUES (1, 'one')", "INSERT INTO C (ID, Word) VALUES (2, 'two')"});
  s.Exec("UPDATE C SET Word = 'uno' WHERE ID = 1");
  s.Exec("DELETE FROM C WHERE Word = 'two'");
  EXPECT_EQ(ErrorCodeOf([&] { s.Exec("UPDATE C SET Total = 0"); }), kSqlError);
  EXPECT_EQ(s.Value("SELECT COUNT(*), MIN(Word) FROM C"), "1|uno");
}

// Statements that look one key up (a parameter on the primary key, a join
// on it) prepared once and run again after each change another process
// makes: each run finds the rows as they are then, also where a key was
// taken away and put back, and a first row after a refresh is the one the
// refresh read.
TEST(QueryProcesses, KeyLookupsRunAgainFindEachKeyAsAnotherProcessLeftIt) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  {
    TSession s(path);
    s.Exec("CREATE TABLE P (PID INT, CID INT)");
    for (int i = 1; i <= 8; ++i)
      s.Exec("INSERT INTO P (PID, CID) VALUES (" + std::to_string(i) + ", " + std::to_string(9 - i) + ")");
    // Enough rows that the key index has inner nodes.
    for (int id = 100; id < 1600; ++id)
      s.Exec("INSERT INTO C (ID, N) VALUES (" + std::to_string(id) + ", " + std::to_string(id) + ")");
  }
  // One batch of statements per go.
  const std::vector<std::vector<std::string>> batches = {
      {"UPDATE C SET N = ID * 10 WHERE ID <= 5", "INSERT INTO C (ID, N) VALUES (6, 66)",
       "DELETE FROM C WHERE ID = 3"},
      {"DELETE FROM C WHERE ID >= 100 AND ID < 1000", "INSERT INTO C (ID, N) VALUES (3, 333)",
       "INSERT INTO C (ID, N) VALUES (8, 888)"},
      {"DELETE FROM C", "INSERT INTO C (ID, N) VALUES (7, 7000)", "INSERT INTO C (ID, N) VALUES (1, 1000)"},
  };
  TChild other([&](TChildSide& side) {
    TSession s(path, 1000);
    for (const auto& batch : batches) {
      if (!side.WaitGo()) return 1;
      for (const std::string& sql : batch) s.Exec(sql);
      side.Send(1);
    }
    return 0;
  });
  ASSERT_TRUE(other.Started());

  TSession s(path, 1000);
  TTavQuery byKey(nullptr);
  byKey.SetDataBase(&s.Db);
  byKey.SetSQLText("SELECT ID, N FROM C WHERE ID = :id");
  byKey.Prepare();
  // Keys 0 .. 9 each looked up, joined by '/', "-" for none.
  const auto lookUpAll = [&] {
    std::string out;
    for (int id = 0; id <= 9; ++id) {
      byKey.ParamByName("id")->SetAsInteger(id);
      byKey.Open();
      out += (id ? "/" : "") + (byKey.Eof() ? std::string("-") : Rows(byKey));
      byKey.Close();
    }
    return out;
  };
  TTavQuery join(nullptr);
  join.SetDataBase(&s.Db);
  join.SetSQLText("SELECT P.PID, C.N FROM P JOIN C ON C.ID = P.CID ORDER BY P.PID");
  join.Prepare();
  join.Open();
  s.Q.SetSQLText("SELECT ID, N FROM C WHERE ID < 10 ORDER BY ID");
  s.Q.Prepare();
  s.Q.Open();

  EXPECT_EQ(lookUpAll(), "-/1|0/2|0/3|0/4|0/5|0/-/-/-/-");
  EXPECT_EQ(Rows(join), "4|0;5|0;6|0;7|0;8|0");
  const char* lookups[] = {"-/1|10/2|20/-/4|40/5|50/6|66/-/-/-", "-/1|10/2|20/3|333/4|40/5|50/6|66/-/8|888/-",
                           "-/1|1000/-/-/-/-/-/7|7000/-/-"};
  const char* joined[] = {"3|66;4|50;5|40;7|20;8|10", "1|888;3|66;4|50;5|40;6|333;7|20;8|10", "2|7000;8|1000"};
  const char* listed[] = {"1|10;2|20;4|40;5|50;6|66", "1|10;2|20;3|333;4|40;5|50;6|66;8|888", "1|1000;7|7000"};
  uint64_t done = 0;
  for (size_t step = 0; step < batches.size(); ++step) {
    // Refreshed before the change: a First after the change shows what the
    // refresh read, the next refresh what the change left.
    const std::string before = Rows(s.Q);
    s.Q.Refresh();
    other.Go();
    ASSERT_TRUE(other.Receive(done));
    s.Q.First();
    std::string firstRows;
    for (; !s.Q.Eof(); s.Q.Next()) firstRows += (firstRows.empty() ? "" : ";") + s.Q.Fields(0)->AsString() + "|" +
                                                s.Q.Fields(1)->AsString();
    EXPECT_EQ(firstRows, before) << "step " << step;
    s.Q.Refresh();
    EXPECT_EQ(Rows(s.Q), listed[step]) << "step " << step;
    EXPECT_EQ(lookUpAll(), lookups[step]) << "step " << step;
    join.Refresh();
    EXPECT_EQ(Rows(join), joined[step]) << "step " << step;
  }
  EXPECT_EQ(other.Wait(), 0);
}
}  // namespace
}  // namespace tav::test

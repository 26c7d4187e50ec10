#include "engine/query/exec/tav_query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/expr/pre_parser.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/classes/component_text.h"
#include "host/db/data_source.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// A disk database with "Emp" (ID primary key, Name, Dept, Salary; five
// rows) and "Dept" (ID, Title; two rows); the connection is shared and
// connected.
class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    TavEngineStartup();
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(dir_ / "q.tav");
      creator.CreateDatabase();
    }
    db_.SetDataBaseName(dir_ / "q.tav");
    db_.SetLockRetryMaximum(2);
    db_.SetLockRetryInterval(1);
    db_.Open();
    auto emp = Table("Emp");
    emp->FieldDefs().Add("ID", host::ftInteger, 0, true);
    emp->FieldDefs().Add("Name", host::ftString, 20);
    emp->FieldDefs().Add("Dept", host::ftInteger);
    emp->FieldDefs().Add("Salary", host::ftInteger);
    emp->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    emp->CreateTable();
    emp->Open();
    const std::vector<std::vector<host::Variant>> rows = {
        {1, "Ann", 10, 100}, {2, "Bob", 10, 200}, {3, "Cid", 20, 300}, {4, "Dee", 20, 400}, {5, "Eve", 30, 500}};
    for (const auto& r : rows) emp->AppendRecord(r);
    auto dept = Table("Dept");
    dept->FieldDefs().Add("ID", host::ftInteger);
    dept->FieldDefs().Add("Title", host::ftString, 20);
    dept->CreateTable();
    dept->Open();
    dept->AppendRecord({10, "Sales"});
    dept->AppendRecord({20, "Works"});
  }

  std::unique_ptr<TTavTable> Table(const std::string& name, bool memory = false) {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetTableName(name);
    t->SetMemory(memory);
    return t;
  }

  std::unique_ptr<TTavQuery> Query(const std::string& sql) {
    auto q = std::make_unique<TTavQuery>(nullptr);
    q->SetDataBase(&db_);
    q->SetSQLText(sql);
    return q;
  }

  // Every row of the open query: its fields' texts joined by '|', rows by
  // ';'.
  static std::string Rows(TTavQuery& q) {
    std::string out;
    for (q.First(); !q.Eof(); q.Next()) {
      if (!out.empty()) out += ';';
      for (int i = 0; i < q.FieldCount(); ++i) out += (i ? "|" : "") + q.Fields(i)->AsString();
    }
    return out;
  }

  std::string Select(const std::string& sql) {
    auto q = Query(sql);
    q->Open();
    return Rows(*q);
  }

  // The 9645 message of running `f`, or "" when it raised nothing else.
  static std::string SqlError(const std::function<void()>& f) {
    std::string text;
    const int code = ErrorCodeOf(f, &text);
    return code == kSqlError ? text : "code " + std::to_string(code);
  }

  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
};

TEST_F(QueryTest, SelectsJoinsAndGroups) {
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE Salary > 250 ORDER BY Name"), "Cid;Dee;Eve");
  EXPECT_EQ(Select("SELECT e.Name, d.Title FROM Emp e INNER JOIN Dept d ON e.Dept = d.ID ORDER BY e.Name"),
            "Ann|Sales;Bob|Sales;Cid|Works;Dee|Works");
  EXPECT_EQ(Select("SELECT Dept, COUNT(*), SUM(Salary) FROM Emp GROUP BY Dept ORDER BY Dept"),
            "10|2|300;20|2|700;30|1|500");
}

TEST_F(QueryTest, OpenAndExecSQLEachRefuseTheOtherKind) {
  auto q = Query("INSERT INTO Emp (ID, Name) VALUES (9, 'Zed')");
  EXPECT_NE(SqlError([&] { q->Open(); }).find("SQL statement cannot be opened (execute by ExecSQL)"),
            std::string::npos);
  EXPECT_FALSE(q->Active());
  auto s = Query("SELECT * FROM Emp");
  EXPECT_NE(SqlError([&] { s->ExecSQL(); }).find("SQL statement cannot be executed by ExecSQL"),
            std::string::npos);
  auto bad = Query("SELECT * FROM Nowhere");
  EXPECT_NE(SqlError([&] { bad->Open(); }).find("Table not found - Nowhere"), std::string::npos);
  TTavQuery none(nullptr);
  none.SetSQLText("SELECT * FROM Emp");
  EXPECT_EQ(ErrorCodeOf([&] { none.Open(); }), kNoConnectionToDatabaseEngine);
  EXPECT_EQ(ErrorCodeOf([&] { none.ExecSQL(); }), kNoConnectionToDatabaseEngine);
}

TEST_F(QueryTest, RowsAffectedPerKind) {
  auto q = Query("SELECT * FROM Emp WHERE Dept = 10");
  q->Open();
  EXPECT_EQ(q->RowsAffected(), 2);
  q = Query("UPDATE Emp SET Salary = Salary + 1 WHERE Dept = 20");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 2);
  q = Query("INSERT INTO Emp (ID, Name) VALUES (6, 'Fay')");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 1);
  q = Query("CREATE INDEX byName ON Emp (Name)");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 0);
  q = Query("DELETE FROM Emp");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 6);
}

TEST_F(QueryTest, ParametersRebuiltKeptSetAfterPrepareAndFromTheMaster) {
  auto q = Query("SELECT Name FROM Emp WHERE Dept = :d AND Salary > :s ORDER BY Name");
  ASSERT_EQ(q->ParamCount(), 2);
  EXPECT_EQ(q->Params().Items(0)->Name(), "d");
  q->ParamByName("d")->SetAsInteger(10);
  q->ParamByName("s")->SetAsInteger(0);
  q->Prepare();
  // Set after Prepare: the run plans with the value it finds.
  q->ParamByName("d")->SetAsInteger(20);
  q->Open();
  EXPECT_EQ(Rows(*q), "Cid;Dee");
  q->ParamByName("s")->SetAsInteger(350);
  q->Refresh();
  EXPECT_EQ(Rows(*q), "Dee");

  // The same text changes nothing; with ParamCheck off a new text leaves
  // the parameters as they are; with it on they are rebuilt.
  q->SetSQLText("SELECT Name FROM Emp WHERE Dept = :d AND Salary > :s ORDER BY Name");
  EXPECT_TRUE(q->Active());
  EXPECT_EQ(q->ParamByName("s")->AsInteger(), 350);
  q->SetParamCheck(false);
  q->SetSQLText("SELECT Name FROM Emp WHERE ID = :x");
  EXPECT_FALSE(q->Active());
  EXPECT_EQ(q->ParamCount(), 2);
  q->SetParamCheck(true);
  q->SetSQLText("SELECT Name FROM Emp WHERE ID = :x");
  EXPECT_EQ(q->ParamCount(), 2) << "the same text again rebuilds nothing";
  q->SetSQLText("SELECT Name FROM Emp WHERE ID = :x ");
  ASSERT_EQ(q->ParamCount(), 1);
  EXPECT_EQ(q->Params().Items(0)->Name(), "x");

  // A detail query follows its master's current record.
  auto master = Table("Dept");
  host::TDataSource source(nullptr);
  source.SetDataSet(master.get());
  auto detail = Query("SELECT Name FROM Emp WHERE Dept = :ID ORDER BY Name");
  detail->SetDataSource(&source);
  master->Open();
  detail->Open();
  EXPECT_EQ(Rows(*detail), "Ann;Bob");
  master->Next();
  EXPECT_EQ(Rows(*detail), "Cid;Dee");
  EXPECT_FALSE(detail->ParamByName("ID")->Bound());
  host::TDataSource itself(nullptr);
  itself.SetDataSet(detail.get());
  EXPECT_ANY_THROW(detail->SetDataSource(&itself));
  detail->Close();
  detail->SetDataSource(nullptr);
}

TEST_F(QueryTest, AFailingDataChangeOnDiskChangesNothing) {
  // Rows 6 to 9 go in before row 10 collides with the unique key: the
  // statement's own transaction takes them back.
  Query("INSERT INTO Emp (ID, Name) VALUES (10, 'Ten')")->ExecSQL();
  auto q = Query("INSERT INTO Emp (ID, Name) SELECT ID + 5, Name FROM Emp WHERE ID <= 5");
  EXPECT_NE(ErrorCodeOf([&] { q->ExecSQL(); }), 0);
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_EQ(Select("SELECT ID FROM Emp ORDER BY ID"), "1;2;3;4;5;10");
  // Inside the application's transaction the statement joins it.
  db_.StartTransaction();
  Query("UPDATE Emp SET Salary = 0 WHERE ID = 1")->ExecSQL();
  EXPECT_TRUE(db_.InTransaction());
  db_.Rollback();
  EXPECT_EQ(Select("SELECT Salary FROM Emp WHERE ID = 1"), "100");
}

TEST_F(QueryTest, InsertSelectCopiesPlainColumnsAndNeverReadsItsOwnRows) {
  auto log = Table("Log");
  log->FieldDefs().Add("ID", host::ftInteger);
  log->FieldDefs().Add("Name", host::ftString, 20);
  log->FieldDefs().Add("Pay", host::ftFloat);
  log->CreateTable();
  // Same types copied as they are; Salary into a float through its value.
  auto q = Query("INSERT INTO Log (ID, Name, Pay) SELECT ID, Name, Salary FROM Emp WHERE Dept = 10");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 2);
  EXPECT_EQ(Select("SELECT ID, Name, Pay * 2 FROM Log ORDER BY ID"), "1|Ann|200;2|Bob|400");
  // The target read by the statement itself: only the rows it held before.
  auto twice = Query("INSERT INTO Log (ID, Name, Pay) SELECT ID, Name, Pay FROM Log");
  twice->ExecSQL();
  EXPECT_EQ(twice->RowsAffected(), 2);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Log"), "4");
  auto missing = Query("INSERT INTO Log (ID, Name, Pay) SELECT ID, Name, Salary FROM Emp WHERE ID NOT IN (SELECT ID FROM Log)");
  missing->ExecSQL();
  EXPECT_EQ(missing->RowsAffected(), 3);
  EXPECT_EQ(Select("SELECT ID FROM Log ORDER BY ID"), "1;1;2;2;3;4;5");
  // A float into an integer, a text too long for its field: as through values.
  Query("INSERT INTO Emp (ID, Name, Salary) SELECT Pay, Name, ID FROM Log WHERE ID = 3")->ExecSQL();
  EXPECT_EQ(Select("SELECT Name, Salary FROM Emp WHERE ID = 300"), "Cid|3");
  auto narrow = Table("Narrow");
  narrow->FieldDefs().Add("Name", host::ftString, 2);
  narrow->CreateTable();
  EXPECT_NE(ErrorCodeOf([&] { Query("INSERT INTO Narrow (Name) SELECT Name FROM Emp")->ExecSQL(); }), 0);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Narrow"), "0");
}

// Columns whose fields are laid out alike on both sides go in as their
// stored bytes: every such type, NULLs, empty and full-length texts, and
// columns listed in another order than the target's, read back and found
// by the target's index as their values.
TEST_F(QueryTest, InsertSelectCopiesLikeFieldsAsTheyAreStored) {
  const auto define = [&](const std::string& name) {
    auto t = Table(name);
    t->FieldDefs().Add("SI", host::ftSmallint);
    t->FieldDefs().Add("I", host::ftInteger);
    t->FieldDefs().Add("W", host::ftWord);
    t->FieldDefs().Add("F", host::ftFloat);
    t->FieldDefs().Add("S", host::ftString, 6);
    t->IndexDefs().Add(name + "_S", "S", host::TIndexOptions{});
    t->CreateTable();
    return t;
  };
  auto src = define("Src");
  define("Dup");
  src->Open();
  src->AppendRecord({-7, -123456, 65535, -2.5, "abcde"});
  src->AppendRecord({host::Null(), host::Null(), host::Null(), host::Null(), host::Null()});
  src->AppendRecord({32767, 7, 0, 0.125, ""});
  src->AppendRecord({1, 2, 3, 4.0, "z"});
  src->Close();
  const std::string columns = "SI, I, W, F, S";
  auto q = Query("INSERT INTO Dup (" + columns + ") SELECT " + columns + " FROM Src");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 4);
  const std::string all = "SELECT " + columns + " FROM Dup ORDER BY I";
  EXPECT_EQ(Select(all), Select("SELECT " + columns + " FROM Src ORDER BY I"));
  EXPECT_EQ(Select("SELECT COUNT(*), COUNT(SI), COUNT(I), COUNT(W), COUNT(F), COUNT(S) FROM Dup"),
            "4|3|3|3|3|3");
  EXPECT_EQ(Select("SELECT I FROM Dup WHERE S = 'abcde'"), "-123456");
  EXPECT_EQ(Select("SELECT I FROM Dup WHERE S = ''"), "7");
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Dup WHERE S IS NULL"), "1");
  // Into other columns of the same types: each value lands where it is listed.
  Query("DELETE FROM Dup")->ExecSQL();
  Query("INSERT INTO Dup (I, SI, S) SELECT I, SI, S FROM Src WHERE SI = 1")->ExecSQL();
  Query("INSERT INTO Dup (SI, I) SELECT W, W FROM Src WHERE SI = 1")->ExecSQL();
  EXPECT_EQ(Select("SELECT SI, I, W, S FROM Dup ORDER BY S"), "3|3||;1|2||z");
}

// A text whose stored length runs past its field (a damaged record) is
// refused, into a field laid out alike or a wider one: no bytes from past
// the field go in, and the target keeps none of the statement's rows.
TEST_F(QueryTest, InsertSelectRefusesAStoredTextLengthPastItsField) {
  auto src = Table("Src");
  src->FieldDefs().Add("S", host::ftString, 5);
  src->CreateTable();
  src->Open();
  src->AppendRecord({"ok"});
  const int no = src->GetFieldNo("S");
  // Every byte of the field taken, no closing zero, and a length of 300.
  src->ClearRecord(nullptr);
  src->DataSetSetFieldDataToRecBuf(no, 3, src->RecordBuffer(), "abc", false);
  const TInternalFieldItem& field = src->GetFieldDef(no);
  std::memset(src->RecordBuffer() + field.DataOffset(), 'x', static_cast<size_t>(field.FieldSize()));
  host::PutU16(src->RecordBuffer() + field.SizeMarkerOffset(), 300);
  src->AddRecord(false);
  src->Close();
  for (const int width : {5, 200}) {
    const std::string name = "Dst" + std::to_string(width);
    auto dst = Table(name);
    dst->FieldDefs().Add("S", host::ftString, width);
    dst->CreateTable();
    EXPECT_EQ(ErrorCodeOf([&] { Query("INSERT INTO " + name + " (S) SELECT S FROM Src")->ExecSQL(); }),
              kUnexpectedInternalError)
        << width;
    EXPECT_EQ(Select("SELECT COUNT(*) FROM " + name), "0") << width;
  }
}

// Another dataset of the connection, open on the target before the
// statement, finds every row and key the statement put in and adds its
// own after them, inside the application's transaction and past its commit.
TEST_F(QueryTest, InsertSelectRowsReachTheConnectionsOtherDatasets) {
  auto dst = Table("Dst");
  dst->FieldDefs().Add("ID", host::ftInteger);
  dst->FieldDefs().Add("Name", host::ftString, 20);
  dst->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  dst->CreateTable();
  dst->Open();
  dst->AppendRecord({0, "Zero"});
  db_.StartTransaction();
  auto q = Query("INSERT INTO Dst (ID, Name) SELECT ID, Name FROM Emp WHERE ID > 1");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 4);
  dst->Refresh();
  EXPECT_EQ(dst->RecordCount(), 5);
  dst->AppendRecord({1, "One"});
  EXPECT_EQ(ErrorCodeOf([&] { dst->AppendRecord({4, "Four"}); }), kKeyViolation);
  dst->Cancel();
  EXPECT_EQ(Select("SELECT ID, Name FROM Dst WHERE ID BETWEEN 1 AND 3 ORDER BY ID"), "1|One;2|Bob;3|Cid");
  db_.Commit();
  Query("INSERT INTO Dst (ID, Name) SELECT ID + 10, Name FROM Emp WHERE ID = 5")->ExecSQL();
  dst->Refresh();
  EXPECT_EQ(dst->RecordCount(), 7);
  dst->AppendRecord({6, "Six"});
  EXPECT_EQ(Select("SELECT ID FROM Dst ORDER BY ID"), "0;1;2;3;4;5;6;15");
}

TEST_F(QueryTest, InsertSelectFailingMidwayLeavesTheTargetAsItWas) {
  // Rows 1 and 2 go in before 3 collides; the statement's transaction
  // takes them back (a memory database: MemoryDatabaseRunsWithoutTransactions).
  auto dst = Table("Dst");
  dst->FieldDefs().Add("ID", host::ftInteger);
  dst->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  dst->CreateTable();
  Query("INSERT INTO Dst (ID) VALUES (3)")->ExecSQL();
  EXPECT_EQ(ErrorCodeOf([&] { Query("INSERT INTO Dst (ID) SELECT ID FROM Emp")->ExecSQL(); }), kKeyViolation);
  EXPECT_EQ(Select("SELECT ID FROM Dst"), "3");
}

// Inside the application's transaction the statement holds the tables'
// locks for its run: a failing source takes its rows back, a key violation
// leaves what went in to the application's rollback, and the transaction
// goes on either way.
TEST_F(QueryTest, InsertSelectFailingMidwayInsideAnApplicationTransaction) {
  auto dst = Table("Dst");
  dst->FieldDefs().Add("ID", host::ftInteger);
  dst->FieldDefs().Add("Name", host::ftString, 20);
  dst->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  dst->CreateTable();
  Query("INSERT INTO Dst (ID, Name) VALUES (3, 'Three')")->ExecSQL();
  db_.StartTransaction();
  // The division by zero comes on the row of ID 4, after three went in.
  EXPECT_EQ(ErrorCodeOf([&] {
              Query("INSERT INTO Dst (ID, Name) SELECT ID + 10, Name FROM Emp WHERE 10 / (ID - 4) <> 0")->ExecSQL();
            }),
            kSqlError);
  EXPECT_TRUE(db_.InTransaction());
  EXPECT_EQ(Select("SELECT ID FROM Dst ORDER BY ID"), "3");
  EXPECT_EQ(ErrorCodeOf([&] { Query("INSERT INTO Dst (ID, Name) SELECT ID, Name FROM Emp")->ExecSQL(); }),
            kKeyViolation);
  EXPECT_TRUE(db_.InTransaction());
  db_.Rollback();
  EXPECT_EQ(Select("SELECT ID, Name FROM Dst ORDER BY ID"), "3|Three");
  // A statement that succeeds inside the transaction is kept by its commit.
  db_.StartTransaction();
  auto q = Query("INSERT INTO Dst (ID, Name) SELECT ID + 10, Name FROM Emp WHERE Dept = 20");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 2);
  db_.Commit();
  EXPECT_EQ(Select("SELECT ID, Name FROM Dst ORDER BY ID"), "3|Three;13|Cid;14|Dee");
  dst->Open();
  EXPECT_EQ(dst->RecordCount(), 3);
}

// Hundreds of rows in scattered key order into a table whose long keys make
// deep indexes, inside the application's transaction: one statement that
// succeeds and one that stops at a key violation, keeping what went in
// before. After the commit and a reopen, every index holds each record
// once, in order, with the record numbers its counts give.
TEST_F(QueryTest, InsertSelectOfManyRowsLeavesEveryIndexWhole) {
  auto src = Table("Src");
  src->FieldDefs().Add("ID", host::ftInteger);
  src->FieldDefs().Add("S", host::ftString, 200);
  src->FieldDefs().Add("N", host::ftInteger);
  src->CreateTable();
  src->Open();
  constexpr int kRows = 600;
  auto keyOf = [](int id) {
    std::string s = std::to_string(10000 + id);
    return s + std::string(190, static_cast<char>('a' + id % 26));
  };
  for (int i = 0; i < kRows; ++i) {
    const int id = (i * 7919) % 1000;  // scattered, no repeats
    src->AppendRecord({id, keyOf(id), id % 7});
  }
  src->Close();
  auto dst = Table("Dst");
  dst->FieldDefs().Assign(src->FieldDefs());
  dst->IndexDefs().Add("s", "S", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  dst->IndexDefs().Add("n", "N", host::TIndexOptions{});
  dst->CreateTable();
  db_.StartTransaction();
  auto first = Query("INSERT INTO Dst (ID, S, N) SELECT ID, S, N FROM Src WHERE ID < 800");
  first->ExecSQL();
  const int firstRows = first->RowsAffected();
  EXPECT_GT(firstRows, 400);
  EXPECT_EQ(ErrorCodeOf([&] { Query("INSERT INTO Dst (ID, S, N) SELECT ID, S, N FROM Src WHERE ID >= 700")->ExecSQL(); }),
            kKeyViolation);
  db_.Commit();
  db_.Close();
  db_.Open();

  auto rows = Query("SELECT ID FROM Dst");
  rows->Open();
  std::vector<int> ids;
  for (rows->First(); !rows->Eof(); rows->Next()) ids.push_back(rows->Fields(0)->AsInteger());
  rows->Close();
  ASSERT_GE(static_cast<int>(ids.size()), firstRows);
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());

  dst->Open();
  ASSERT_EQ(dst->RecordCount(), static_cast<int>(ids.size()));
  // By the unique key: every record in key order, numbered by position.
  dst->SetIndexName("s");
  int at = 0;
  for (dst->First(); !dst->Eof(); dst->Next(), ++at) {
    ASSERT_LT(at, static_cast<int>(ids.size()));
    ASSERT_EQ(dst->FieldByName("ID")->AsInteger(), ids[static_cast<size_t>(at)]);
    ASSERT_EQ(dst->RecNo(), at + 1);
  }
  EXPECT_EQ(at, static_cast<int>(ids.size()));
  for (size_t k = 0; k < ids.size(); k += 5) {
    ASSERT_TRUE(dst->FindKey({keyOf(ids[k])})) << ids[k];
    EXPECT_EQ(dst->RecNo(), static_cast<int>(k + 1)) << ids[k];
  }
  // By the other key: N rising, each record once.
  dst->SetIndexName("n");
  std::vector<int> seen;
  int lastN = -1;
  at = 0;
  for (dst->First(); !dst->Eof(); dst->Next(), ++at) {
    const int n = dst->FieldByName("N")->AsInteger();
    ASSERT_GE(n, lastN);
    lastN = n;
    ASSERT_EQ(dst->RecNo(), at + 1);
    seen.push_back(dst->FieldByName("ID")->AsInteger());
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, ids);
}

// Copied as stored: NULLs stay NULL, and so does every column of an outer
// join's missing side.
TEST_F(QueryTest, InsertSelectCopiesNullsAndTheMissingSideOfAnOuterJoin) {
  auto l = Table("L");
  l->FieldDefs().Add("ID", host::ftInteger);
  l->FieldDefs().Add("Title", host::ftString, 20);
  l->FieldDefs().Add("Pay", host::ftInteger);
  l->CreateTable();
  Query("INSERT INTO Emp (ID, Name) VALUES (6, 'Nil')")->ExecSQL();
  auto q = Query("INSERT INTO L (ID, Title, Pay) SELECT Emp.ID, Dept.Title, Emp.Salary FROM Emp LEFT JOIN Dept ON Dept.ID = Emp.Dept");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 6);
  EXPECT_EQ(Select("SELECT ID, Title, Pay FROM L ORDER BY ID"), "1|Sales|100;2|Sales|200;3|Works|300;4|Works|400;5||500;6||");
  EXPECT_EQ(Select("SELECT COUNT(*), COUNT(Title), COUNT(Pay) FROM L"), "6|4|5");
}

// The inner table's key holds duplicates and NULLs: each outer row meets
// every inner row of its key, and a NULL key meets nothing, whichever side
// the join looks up.
TEST_F(QueryTest, AJoinOverDuplicateAndNullKeys) {
  auto k = Table("K");
  k->FieldDefs().Add("Dept", host::ftInteger);
  k->FieldDefs().Add("Tag", host::ftString, 10);
  k->IndexDefs().Add("byDept", "Dept", host::TIndexOptions{});
  k->CreateTable();
  k->Open();
  for (const auto& r : std::vector<std::vector<host::Variant>>{
           {10, "a"}, {10, "b"}, {host::Null(), "n1"}, {20, "c"}, {host::Null(), "n2"}, {10, "d"}, {40, "e"}})
    k->AppendRecord(r);
  k->Close();
  Query("INSERT INTO Emp (ID, Name) VALUES (6, 'Nil')")->ExecSQL();
  const std::string want = "1|a;1|b;1|d;2|a;2|b;2|d;3|c;4|c";
  EXPECT_EQ(Select("SELECT Emp.ID, K.Tag FROM Emp INNER JOIN K ON K.Dept = Emp.Dept ORDER BY Emp.ID, K.Tag"),
            want);
  EXPECT_EQ(Select("SELECT Emp.ID, K.Tag FROM K INNER JOIN Emp ON Emp.Dept = K.Dept ORDER BY Emp.ID, K.Tag"),
            want);
  // Fewer rows on the indexed side than on the other, the other way round.
  Query("DELETE FROM K WHERE Tag IN ('b', 'e', 'n1')")->ExecSQL();
  EXPECT_EQ(Select("SELECT Emp.ID, K.Tag FROM Emp, K WHERE K.Dept = Emp.Dept ORDER BY Emp.ID, K.Tag"),
            "1|a;1|d;2|a;2|d;3|c;4|c");
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Emp INNER JOIN K ON K.Dept = Emp.Dept WHERE K.Dept IS NULL"), "0");
}

TEST_F(QueryTest, GroupByOverADiskTableInAnyRowOrder) {
  // Rows stored in the reverse of the index's order, with more of them than
  // the groups: every group's values as over the rows in key order.
  auto t = Table("G");
  t->FieldDefs().Add("ID", host::ftInteger);
  t->FieldDefs().Add("K", host::ftInteger);
  t->FieldDefs().Add("F", host::ftFloat);
  t->FieldDefs().Add("S", host::ftString, 10);
  t->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  t->CreateTable();
  t->Open();
  db_.StartTransaction();
  for (int id = 300; id >= 1; --id)
    t->AppendRecord({id, id % 3, (id % 4) * 0.25, std::string(1, static_cast<char>('a' + id % 2))});
  db_.Commit();
  t->Close();
  Query("DELETE FROM G WHERE ID BETWEEN 100 AND 199")->ExecSQL();
  EXPECT_EQ(Select("SELECT K, COUNT(*), SUM(F), MIN(ID), MAX(ID), AVG(F) FROM G GROUP BY K ORDER BY K"),
            "0|67|25|3|300|0.373134328358209;1|66|24.75|1|298|0.375;2|67|25.25|2|299|0.376865671641791");
  EXPECT_EQ(Select("SELECT COUNT(*), MIN(S), MAX(S) FROM G WHERE ID < 50"), "49|a|b");
  EXPECT_EQ(Select("SELECT S, COUNT(*) FROM G WHERE K = 0 GROUP BY S ORDER BY S"), "a|33;b|34");
  EXPECT_EQ(Select("SELECT K, MAX(F) FROM G WHERE ID BETWEEN 200 AND 210 GROUP BY K ORDER BY K"),
            "0|0.75;1|0.5;2|0.75");
}

TEST_F(QueryTest, SchemaStatementsNeverRunInATransaction) {
  // An Open leaves no transaction behind for the ExecSQL that follows.
  auto q = Query("SELECT * FROM Emp");
  q->Open();
  q->SetSQLText("ALTER TABLE Emp ADD Note VARCHAR(10)");
  q->ExecSQL();
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Emp"), "5");
  db_.StartTransaction();
  auto create = Query("CREATE TABLE Other (A INT)");
  EXPECT_EQ(ErrorCodeOf([&] { create->ExecSQL(); }), kCannotOperateWhileTransactionActive);
  EXPECT_TRUE(db_.InTransaction());
  db_.Rollback();

  // Each connected and exclusive state is found and left as it was.
  for (bool exclusive : {false, true}) {
    for (bool connected : {false, true}) {
      SCOPED_TRACE(std::to_string(exclusive) + "/" + std::to_string(connected));
      // Setting the text connects the database to read the parameters.
      auto create = Query("CREATE INDEX bySalary ON Emp (Salary)");
      auto drop = Query("DROP INDEX Emp.bySalary");
      db_.Close();
      db_.SetExclusive(exclusive);
      if (connected) db_.Open();
      create->ExecSQL();
      EXPECT_EQ(db_.Connected(), connected);
      EXPECT_EQ(db_.Exclusive(), exclusive);
      drop->ExecSQL();
      EXPECT_EQ(db_.Connected(), connected);
      EXPECT_EQ(db_.Exclusive(), exclusive);
    }
  }
  db_.Close();
  db_.SetExclusive(false);
  db_.Open();

  // A temporary table of the user's stops a reconnect; its own changes
  // pass on the table component's refusal.
  auto t = Query("CREATE TABLE TEMPORARY Scratch (A INT)");
  t->ExecSQL();
  Query("INSERT INTO Scratch (A) VALUES (1)")->ExecSQL();
  EXPECT_EQ(ErrorCodeOf([&] { Query("DROP TABLE Dept")->ExecSQL(); }), kCannotOperateWithoutExclusiveAccess);
  EXPECT_EQ(ErrorCodeOf([&] { Query("ALTER TABLE TEMPORARY Scratch ADD B INT")->ExecSQL(); }),
            kCannotOperateOnThisTableType);
  EXPECT_EQ(Select("SELECT A FROM Scratch"), "1");
  Query("DROP TABLE TEMPORARY Scratch")->ExecSQL();
  Query("DROP TABLE Dept")->ExecSQL();
  EXPECT_NE(SqlError([&] { Query("DROP TABLE Dept")->ExecSQL(); }).find("Table not found: Dept"),
            std::string::npos);
}

TEST_F(QueryTest, MemoryDatabaseRunsWithoutTransactions) {
  TTavDataBase mem(nullptr);
  mem.SetDataBaseName(kMemoryDataBaseName);
  mem.Open();
  TTavQuery q(nullptr);
  q.SetDataBase(&mem);
  for (const char* sql : {"CREATE TABLE TEMPORARY M (A INT)", "CREATE UNIQUE INDEX byA ON TEMPORARY M (A)",
                          "INSERT INTO M (A) VALUES (4)"}) {
    q.SetSQLText(sql);
    EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), sql[7] == 'U' ? kCannotOperateOnThisTableType : 0) << sql;
  }
  q.SetSQLText("SELECT A FROM M");
  q.Open();
  EXPECT_EQ(Rows(q), "4");
  EXPECT_FALSE(mem.InTransaction());
  // No transaction: a change failing midway keeps what it did. The rows of
  // M go into K in order: 5 goes in, then 3 collides with K's key.
  q.SetSQLText("CREATE TABLE TEMPORARY K (A INT, PRIMARY KEY (A))");
  q.ExecSQL();
  for (const char* sql : {"INSERT INTO K (A) VALUES (3)", "DELETE FROM M", "INSERT INTO M (A) VALUES (5)",
                          "INSERT INTO M (A) VALUES (3)"}) {
    q.SetSQLText(sql);
    q.ExecSQL();
  }
  q.SetSQLText("INSERT INTO K (A) SELECT A FROM M");
  EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), kKeyViolation);
  q.SetSQLText("SELECT A FROM K ORDER BY A");
  q.Open();
  EXPECT_EQ(Rows(q), "3;5");
  q.Close();
  // A failing source inserts nothing, as though read whole first: the
  // division by zero comes on the second joined row.
  for (const char* sql : {"DELETE FROM K", "CREATE TABLE TEMPORARY N (B INT)", "INSERT INTO N (B) VALUES (3)"}) {
    q.SetSQLText(sql);
    q.ExecSQL();
  }
  q.SetSQLText("INSERT INTO K (A) SELECT M.A FROM M, N WHERE 10 / (M.A - N.B) > 0");
  EXPECT_NE(ErrorCodeOf([&] { q.ExecSQL(); }), 0);
  q.SetSQLText("SELECT COUNT(*) FROM K");
  q.Open();
  EXPECT_EQ(Rows(q), "0");
  q.Close();
  q.SetSQLText("INSERT INTO K (A) SELECT M.A FROM M, N WHERE M.A > N.B");
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);
}

TEST_F(QueryTest, LiveResultsWriteBackAndRefuseStaleRows) {
  auto q = Query("SELECT ID, Name, Salary * 2 AS Twice FROM Emp WHERE Dept = 10");
  q->SetRequestLive(true);
  q->Open();
  EXPECT_TRUE(q->CanModify());
  EXPECT_TRUE(q->FieldByName("Twice")->ReadOnly());
  EXPECT_FALSE(q->FieldByName("Name")->ReadOnly());
  q->First();
  q->Edit();
  q->FieldByName("Name")->SetAsString("Anne");
  q->Post();
  // The same row again: the row carries the base record as written.
  q->Edit();
  q->FieldByName("Name")->SetAsString("Annie");
  q->Post();
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 1"), "Annie");

  q->Append();
  q->FieldByName("ID")->SetAsInteger(7);
  q->FieldByName("Name")->SetAsString("Gil");
  q->Post();
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 7"), "Gil");
  // Deleting the inserted row finds its base record.
  q->Delete();
  EXPECT_EQ(Select("SELECT COUNT(*) FROM Emp WHERE ID = 7"), "0");

  // Another writer changes Bob meanwhile: the edit is refused.
  q->Locate("ID", host::Variant(2), {});
  Query("UPDATE Emp SET Salary = 1 WHERE ID = 2")->ExecSQL();
  q->Edit();
  q->FieldByName("Name")->SetAsString("Robert");
  EXPECT_NE(ErrorCodeOf([&] { q->Post(); }), 0);
  q->Cancel();
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 2"), "Bob");

  // Aggregates are not live.
  auto g = Query("SELECT Dept, COUNT(*) FROM Emp GROUP BY Dept");
  g->SetRequestLive(true);
  g->Open();
  EXPECT_FALSE(g->CanModify());
}

TEST_F(QueryTest, ARunBesideALockedTableLeavesNoStaleLockFlag) {
  auto locked = Table("Dept");
  locked->Open();
  locked->SetLocked(true);
  ASSERT_TRUE(locked->Locked());
  // The query's own transaction commits; the commit gave back every lock.
  Query("UPDATE Emp SET Salary = Salary + 1 WHERE ID = 1")->ExecSQL();
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_FALSE(locked->Locked());
  locked->SetLocked(true);
  EXPECT_TRUE(locked->Locked());
  locked->SetLocked(false);
}

TEST_F(QueryTest, RefreshRunsAgainAndAFailedOneClosesTheQuery) {
  // The application's rollback refreshes the open query, which reads the
  // rows as they are again.
  auto r = Query("SELECT Name FROM Emp WHERE ID = 1");
  r->Open();
  db_.StartTransaction();
  Query("UPDATE Emp SET Name = 'X' WHERE ID = 1")->ExecSQL();
  r->Refresh();
  EXPECT_EQ(Rows(*r), "X");
  db_.Rollback();
  EXPECT_EQ(Rows(*r), "Ann");
  // A refresh that fails rolls its own run back once and closes the query.
  auto q = Query("SELECT Dept, COUNT(*) FROM Emp GROUP BY Dept");
  q->Open();
  q->SetMaxRecords(1);
  EXPECT_EQ(ErrorCodeOf([&] { q->Refresh(); }), kSqlError);
  EXPECT_FALSE(q->Active());
  EXPECT_FALSE(db_.InTransaction());
}

TEST_F(QueryTest, APreparedSelectRunsAgainWithNewValuesOverChangedTables) {
  // Re-runs keep the tables open between them: what each run reads is the
  // table as it is then, with the parameters' values as they are then.
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID BETWEEN :lo AND :hi");
  q->Prepare();
  q->ParamByName("lo")->SetAsInteger(2);
  q->ParamByName("hi")->SetAsInteger(3);
  q->Open();
  EXPECT_EQ(Rows(*q), "2|Bob;3|Cid");
  q->ParamByName("lo")->SetAsInteger(4);
  q->ParamByName("hi")->SetAsInteger(9);
  q->Refresh();
  EXPECT_EQ(Rows(*q), "4|Dee;5|Eve");
  Query("INSERT INTO Emp (ID, Name) VALUES (6, 'Fay')")->ExecSQL();
  Query("UPDATE Emp SET Name = 'Del' WHERE ID = 4")->ExecSQL();
  Query("DELETE FROM Emp WHERE ID = 5")->ExecSQL();
  q->Refresh();
  EXPECT_EQ(Rows(*q), "4|Del;6|Fay");
  // A join re-run reads both tables again.
  auto j = Query("SELECT Emp.Name, Dept.Title FROM Emp INNER JOIN Dept ON Dept.ID = Emp.Dept WHERE Emp.ID < :id");
  j->ParamByName("id")->SetAsInteger(3);
  j->Open();
  EXPECT_EQ(Rows(*j), "Ann|Sales;Bob|Sales");
  Query("UPDATE Dept SET Title = 'Shop' WHERE ID = 10")->ExecSQL();
  j->Refresh();
  EXPECT_EQ(Rows(*j), "Ann|Shop;Bob|Shop");

  // ALTER reconnects the shared database, which closes the query; opened
  // again it plans afresh over the new columns.
  Query("ALTER TABLE Emp ADD Bonus INT")->ExecSQL();
  EXPECT_FALSE(q->Active());
  q->SetSQLText("SELECT * FROM Emp WHERE ID BETWEEN :lo AND :hi");
  q->ParamByName("lo")->SetAsInteger(6);
  q->ParamByName("hi")->SetAsInteger(6);
  q->Open();
  EXPECT_EQ(q->FieldCount(), 5);
  EXPECT_EQ(Rows(*q), "6|Fay|||");
  Query("DROP TABLE Emp")->ExecSQL();
  EXPECT_NE(ErrorCodeOf([&] { q->Open(); }), 0);
  EXPECT_FALSE(q->Active());
}

TEST_F(QueryTest, ReRunsHoldExactlyTheirOwnRowsWhateverTheLastRunHeld) {
  // Each run empties the result table the last run filled, from hundreds of
  // rows down to one or none and back, and fills it again.
  auto big = Table("Big");
  big->FieldDefs().Add("ID", host::ftInteger);
  big->FieldDefs().Add("Name", host::ftString, 12);
  big->IndexDefs().Add("ById", "ID", host::TIndexOptions{host::ixUnique});
  big->CreateTable();
  db_.StartTransaction();
  big->Open();
  for (int i = 1; i <= 1000; ++i)
    big->AppendRecord({i, i % 7 == 0 ? host::Null() : host::Variant("n" + std::to_string(i))});
  big->Close();
  db_.Commit();
  const std::string select = "SELECT ID, Name, ID * 2 AS Twice FROM Big WHERE ID BETWEEN ";
  for (const char* order : {"", " ORDER BY ID DESC"}) {
    SCOPED_TRACE(order);
    auto q = Query(select + ":lo AND :hi" + order);
    q->Prepare();
    const std::pair<int, int> runs[] = {{1, 1000}, {5, 5},  {7, 7},   {9, 8},    {300, 700}, {1000, 1000},
                                         {0, 0},    {1, 8},  {1, 9},   {3, 12},   {2, 999}};
    for (const auto& [lo, hi] : runs) {
      q->ParamByName("lo")->SetAsInteger(lo);
      q->ParamByName("hi")->SetAsInteger(hi);
      if (q->Active())
        q->Refresh();
      else
        q->Open();
      const int count = std::max(0, std::min(hi, 1000) - std::max(lo, 1) + 1);
      EXPECT_EQ(q->RecordCount(), count) << lo << ".." << hi;
      EXPECT_EQ(q->RowsAffected(), count);
      // Against the same statement run once, by a query of its own.
      EXPECT_EQ(Rows(*q), Select(select + std::to_string(lo) + " AND " + std::to_string(hi) + order));
      if (count == 0) continue;
      q->Last();
      EXPECT_EQ(q->RecNo(), count);
      EXPECT_EQ(q->FieldByName("ID")->AsInteger(), *order ? std::max(lo, 1) : std::min(hi, 1000));
    }
    // Stored values and NULLs as the table holds them.
    q->ParamByName("lo")->SetAsInteger(6);
    q->ParamByName("hi")->SetAsInteger(7);
    q->Refresh();
    EXPECT_EQ(Rows(*q), *order ? "7||14;6|n6|12" : "6|n6|12;7||14");
    EXPECT_TRUE(q->FieldByName("Name")->IsNull() != (q->FieldByName("ID")->AsInteger() == 6));
    // A limit set between runs counts at the next.
    q->SetMaxRecords(3);
    q->ParamByName("lo")->SetAsInteger(1);
    q->ParamByName("hi")->SetAsInteger(1000);
    q->Refresh();
    EXPECT_EQ(q->RecordCount(), 3);
    auto once = Query(select + "1 AND 1000" + order);
    once->SetMaxRecords(3);
    once->Open();
    EXPECT_EQ(Rows(*q), Rows(*once));
  }
  // A fill failing after many rows raises its own error, and the same query
  // runs whole afterwards.
  auto failing = Query("SELECT ID, 10 / (ID - 100) FROM Big WHERE ID BETWEEN 1 AND 600 ORDER BY ID DESC");
  EXPECT_EQ(ErrorCodeOf([&] { failing->Open(); }), kSqlError);
  EXPECT_FALSE(failing->Active());
  Query("DELETE FROM Big WHERE ID = 100")->ExecSQL();
  failing->Open();
  EXPECT_EQ(failing->RecordCount(), 599);
  EXPECT_EQ(failing->FieldByName("ID")->AsInteger(), 600);
  failing->Last();
  EXPECT_EQ(failing->FieldByName("ID")->AsInteger(), 1);
}

TEST_F(QueryTest, ARefreshStandsOnTheNewFirstRowWhereverTheCursorWas) {
  // Read without First: the refresh itself puts the cursor on the first row
  // of the new run, whatever row of the last one it stood on.
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID BETWEEN :lo AND :hi");
  q->SetRequestLive(true);
  q->ParamByName("lo")->SetAsInteger(1);
  q->ParamByName("hi")->SetAsInteger(5);
  int before = 0;
  int after = 0;
  q->BeforeRefresh = [&](host::TDataSet*) { ++before; };
  q->AfterRefresh = [&](host::TDataSet*) {
    ++after;
    // The rows are there when the handler runs.
    if (!q->IsEmpty()) {
      EXPECT_EQ(q->FieldByName("ID")->AsInteger(), q->ParamByName("lo")->AsInteger());
    }
  };
  q->Open();
  q->Last();
  EXPECT_EQ(q->RecNo(), 5);
  q->ParamByName("lo")->SetAsInteger(3);
  q->ParamByName("hi")->SetAsInteger(4);
  q->Refresh();
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  EXPECT_FALSE(q->Eof());
  EXPECT_EQ(q->RecNo(), 1);
  EXPECT_EQ(q->RecordCount(), 2);
  EXPECT_EQ(q->FieldByName("Name")->AsString(), "Cid");
  q->Next();
  EXPECT_EQ(q->FieldByName("Name")->AsString(), "Dee");
  q->Next();
  EXPECT_TRUE(q->Eof());

  // An edit pending at the refresh is posted first; the row edited after it
  // is the new first row's base record.
  q->Last();
  q->Edit();
  q->FieldByName("Name")->SetAsString("Dora");
  q->ParamByName("lo")->SetAsInteger(2);
  q->Refresh();
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 4"), "Dora");
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  q->Edit();
  q->FieldByName("Name")->SetAsString("Bo");
  q->Post();
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 2"), "Bo");
  EXPECT_EQ(Rows(*q), "2|Bo;3|Cid;4|Dora");

  // A run with no rows, and one with rows again.
  q->Last();
  q->ParamByName("lo")->SetAsInteger(9);
  q->ParamByName("hi")->SetAsInteger(9);
  q->Refresh();
  EXPECT_TRUE(q->BOF());
  EXPECT_TRUE(q->Eof());
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_TRUE(q->FieldByName("ID")->IsNull());
  q->ParamByName("lo")->SetAsInteger(5);
  q->ParamByName("hi")->SetAsInteger(4);
  q->Refresh();
  EXPECT_EQ(q->RecordCount(), 0);
  q->ParamByName("hi")->SetAsInteger(5);
  q->Refresh();
  EXPECT_FALSE(q->Eof());
  EXPECT_EQ(q->FieldByName("Name")->AsString(), "Eve");
  EXPECT_EQ(before, 5);
  EXPECT_EQ(after, 5);
}

// What changes the rows a cursor shows between a refresh and the First
// after it (a filter set, lifted or given another test, a row deleted or
// added through the live result) is what First shows; the rows of the
// refresh come back with the next one.
TEST_F(QueryTest, AFirstAfterARefreshShowsWhatChangedTheRowsSince) {
  auto q = Query("SELECT ID, Name FROM Emp");
  q->SetRequestLive(true);
  q->Open();
  q->Refresh();
  q->SetFilterText("ID > 3");
  q->SetFiltered(true);
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 4);
  EXPECT_EQ(Rows(*q), "4|Dee;5|Eve");

  q->Refresh();
  q->SetFilterText("ID < 3");
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 1);
  EXPECT_EQ(Rows(*q), "1|Ann;2|Bob");

  q->Refresh();
  q->SetFiltered(false);
  q->First();
  EXPECT_EQ(Rows(*q), "1|Ann;2|Bob;3|Cid;4|Dee;5|Eve");

  q->Refresh();
  q->SetFilterText("");
  q->SetOnFilterRecord([](host::TDataSet* ds, bool& accept) { accept = ds->FieldByName("ID")->AsInteger() % 2 == 0; });
  q->SetFiltered(true);
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  EXPECT_EQ(Rows(*q), "2|Bob;4|Dee");
  q->SetFiltered(false);
  q->SetOnFilterRecord(nullptr);

  q->Refresh();
  q->Delete();
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  EXPECT_EQ(Rows(*q), "2|Bob;3|Cid;4|Dee;5|Eve");

  q->Refresh();
  q->Insert();
  q->FieldByName("ID")->SetAsInteger(0);
  q->FieldByName("Name")->SetAsString("Abe");
  q->Post();
  q->First();
  EXPECT_EQ(Rows(*q), "2|Bob;3|Cid;4|Dee;5|Eve;0|Abe");
  q->Refresh();
  q->First();
  EXPECT_EQ(Rows(*q), "0|Abe;2|Bob;3|Cid;4|Dee;5|Eve");
}

// A live result of one key of the primary index: rows another dataset of
// the connection adds before it and takes away around it between the run
// and the edit move its place in the index; the edit and the delete still
// reach that row and no other.
TEST_F(QueryTest, ALiveResultOfOneKeyEditsItsRowAfterOthersMovedIt) {
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID = :id");
  q->SetRequestLive(true);
  q->ParamByName("id")->SetAsInteger(3);
  q->Open();
  EXPECT_EQ(Rows(*q), "3|Cid");
  auto emp = Table("Emp");
  emp->Open();
  emp->AppendRecord({-1, "Neg", 10, 1});
  emp->AppendRecord({0, "Nil", 10, 1});
  ASSERT_TRUE(emp->FindKey({host::Variant(2)}));
  emp->Delete();
  q->First();
  q->Edit();
  q->FieldByName("Name")->SetAsString("Cyd");
  q->Post();
  EXPECT_EQ(Select("SELECT ID, Name FROM Emp ORDER BY ID"), "-1|Neg;0|Nil;1|Ann;3|Cyd;4|Dee;5|Eve");
  emp->AppendRecord({-2, "Two", 10, 1});
  ASSERT_TRUE(emp->FindKey({host::Variant(4)}));
  emp->Delete();
  q->Delete();
  EXPECT_EQ(Select("SELECT ID, Name FROM Emp ORDER BY ID"), "-2|Two;-1|Neg;0|Nil;1|Ann;5|Eve");
  // Run again for another key: its row, however the index moved.
  q->ParamByName("id")->SetAsInteger(5);
  q->Refresh();
  EXPECT_EQ(Rows(*q), "5|Eve");
  q->Edit();
  q->FieldByName("Name")->SetAsString("Eva");
  q->Post();
  EXPECT_EQ(Select("SELECT ID, Name FROM Emp WHERE ID >= 1 ORDER BY ID"), "1|Ann;5|Eva");
}

TEST_F(QueryTest, AFirstAfterARefreshStandsOnTheFirstRowAndTellsItsWatchers) {
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID BETWEEN :lo AND :hi");
  q->SetRequestLive(true);
  q->ParamByName("lo")->SetAsInteger(1);
  q->ParamByName("hi")->SetAsInteger(5);
  int before = 0;
  int after = 0;
  q->BeforeScroll = [&](host::TDataSet*) { ++before; };
  q->AfterScroll = [&](host::TDataSet*) { ++after; };
  q->Open();
  q->Last();
  q->ParamByName("lo")->SetAsInteger(2);
  q->ParamByName("hi")->SetAsInteger(4);
  q->Refresh();
  before = after = 0;
  q->First();
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(q->BOF());
  EXPECT_FALSE(q->Eof());
  EXPECT_EQ(q->RecNo(), 1);
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  EXPECT_EQ(Rows(*q), "2|Bob;3|Cid;4|Dee");

  // Moved after the refresh: First goes back.
  q->Refresh();
  q->Next();
  q->Next();
  q->First();
  EXPECT_TRUE(q->BOF());
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  q->Next();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 3);

  // A handler that moves before the scroll.
  q->Refresh();
  bool moving = false;
  q->BeforeScroll = [&](host::TDataSet*) {
    if (moving) return;
    moving = true;
    q->Last();
    moving = false;
  };
  q->First();
  EXPECT_TRUE(q->BOF());
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  q->BeforeScroll = nullptr;

  // An edit posted after the refresh is what First shows.
  q->Refresh();
  q->Edit();
  q->FieldByName("Name")->SetAsString("Bo");
  q->Post();
  q->First();
  EXPECT_EQ(q->FieldByName("Name")->AsString(), "Bo");
  EXPECT_EQ(Select("SELECT Name FROM Emp WHERE ID = 2"), "Bo");

  // First twice, and a run with no rows.
  q->Refresh();
  q->First();
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 2);
  q->ParamByName("lo")->SetAsInteger(9);
  q->ParamByName("hi")->SetAsInteger(9);
  q->Refresh();
  q->First();
  EXPECT_TRUE(q->BOF());
  EXPECT_TRUE(q->Eof());
  EXPECT_TRUE(q->FieldByName("ID")->IsNull());
}

// Re-runs that leave one row: the cursor stands on it as on any first row,
// and a step from it finds the rows written since by the cursor itself or
// by another dataset of the connection, and none otherwise.
TEST_F(QueryTest, AOneRowReRunStandsOnItsRowAndStepsOnToRowsAddedSince) {
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID = :id");
  q->SetRequestLive(true);
  q->ParamByName("id")->SetAsInteger(1);
  q->Open();
  for (int id : {3, 2, 5}) {
    q->ParamByName("id")->SetAsInteger(id);
    q->Refresh();
    EXPECT_FALSE(q->Eof());
    EXPECT_EQ(q->RecNo(), 1);
    EXPECT_EQ(q->RecordCount(), 1);
    EXPECT_EQ(q->FieldByName("ID")->AsInteger(), id);
    q->Next();
    EXPECT_TRUE(q->Eof());
    EXPECT_EQ(q->FieldByName("ID")->AsInteger(), id);
    q->Next();
    EXPECT_TRUE(q->Eof());
  }
  // A bookmark of the row leads back to it.
  q->First();
  const host::TBookmark mark = q->GetBookmark();
  q->Next();
  q->GotoBookmark(mark);
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 5);

  // A row added through the result itself.
  q->ParamByName("id")->SetAsInteger(4);
  q->Refresh();
  q->Insert();
  q->FieldByName("ID")->SetAsInteger(7);
  q->FieldByName("Name")->SetAsString("Gus");
  q->Post();
  q->First();
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 4);
  q->Next();
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->FieldByName("ID")->AsInteger(), 7);
  EXPECT_EQ(Rows(*q), "4|Dee;7|Gus");

  // A row another cursor on the result's table adds while this one stands
  // on the only row.
  q->ParamByName("id")->SetAsInteger(3);
  q->Refresh();
  ASSERT_EQ(q->FieldByName("ID")->AsInteger(), 3);
  auto other = Table(q->TableName(), true);
  other->Open();
  EXPECT_EQ(other->RecordCount(), 1);
  other->AppendRecord({8, "Hal"});
  q->Next();
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->FieldByName("Name")->AsString(), "Hal");
  EXPECT_EQ(Rows(*q), "3|Cid;8|Hal");
  other->Close();

  // The only row deleted through the result leaves none.
  q->ParamByName("id")->SetAsInteger(2);
  q->Refresh();
  q->Delete();
  EXPECT_TRUE(q->Eof());
  q->First();
  EXPECT_TRUE(q->Eof());
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_EQ(Select("SELECT ID FROM Emp WHERE ID = 2"), "");
}

// A filter on the result judges the one row a re-run leaves.
TEST_F(QueryTest, AFilterOnTheResultJudgesTheOneRowOfAReRun) {
  auto q = Query("SELECT ID, Name FROM Emp WHERE ID = :id ORDER BY Name");
  q->ParamByName("id")->SetAsInteger(1);
  q->SetFilterText("ID > 3");
  q->SetFiltered(true);
  q->Open();
  EXPECT_TRUE(q->Eof());
  q->ParamByName("id")->SetAsInteger(4);
  q->Refresh();
  EXPECT_FALSE(q->Eof());
  EXPECT_EQ(Rows(*q), "4|Dee");
  q->ParamByName("id")->SetAsInteger(3);
  q->Refresh();
  EXPECT_TRUE(q->Eof());
  EXPECT_EQ(Rows(*q), "");
  q->SetFiltered(false);
  EXPECT_EQ(Rows(*q), "3|Cid");
  q->ParamByName("id")->SetAsInteger(5);
  q->Refresh();
  EXPECT_EQ(Rows(*q), "5|Eve");
}

TEST_F(QueryTest, CloseLetsTheTablesAKeptPlanHeldGo) {
  // Exclusive, a schema statement needs no reconnect: it must find the
  // tables a closed query read free, and the query plans afresh over them.
  db_.Close();
  db_.SetExclusive(true);
  db_.Open();
  auto q = Query("SELECT * FROM Emp WHERE Name = :name");
  q->ParamByName("name")->SetAsString("Bob");
  q->Open();
  EXPECT_EQ(Rows(*q), "2|Bob|10|200");
  q->Close();
  Query("CREATE INDEX ByName ON Emp (Name)")->ExecSQL();
  Query("UPDATE Emp SET Salary = 210 WHERE ID = 2")->ExecSQL();
  q->Open();
  EXPECT_EQ(Rows(*q), "2|Bob|10|210");
  q->ParamByName("name")->SetAsString("Eve");
  q->Refresh();
  EXPECT_EQ(Rows(*q), "5|Eve|30|500");
  q->Close();
  Query("DROP INDEX Emp.ByName")->ExecSQL();
  Query("ALTER TABLE Emp ADD Bonus INT")->ExecSQL();
  Query("UPDATE Emp SET Bonus = 7 WHERE ID = 5")->ExecSQL();
  q->Open();
  EXPECT_EQ(Rows(*q), "5|Eve|30|500|7");
  q->Close();
  Query("DROP TABLE Emp")->ExecSQL();
  EXPECT_NE(ErrorCodeOf([&] { q->Open(); }), 0);
}

// A division by zero, in the select list, in WHERE or in a data change, is
// the statement's SQL error; the run is rolled back and the same query runs
// its next statement.
TEST_F(QueryTest, DivisionByZeroIsAnSqlErrorAndTheQueryRunsOn) {
  auto q = Query("SELECT ID FROM Emp");
  for (const char* sql :
       {"SELECT ID / 0 FROM Emp", "SELECT Salary / 0.0 FROM Emp WHERE ID = 1",
        "SELECT ID FROM Emp WHERE Salary / (Dept - 20) > 1",
        "SELECT Dept, SUM(Salary / (ID - 3)) FROM Emp GROUP BY Dept",
        "SELECT Title FROM Dept WHERE ID IN (SELECT Dept / (ID - 2) FROM Emp)",
        "UPDATE Emp SET Salary = Salary / (ID - 3)", "DELETE FROM Emp WHERE Salary / (ID - 4) > 0",
        "INSERT INTO Emp (ID, Name) VALUES (6 / 0, 'Six')",
        "INSERT INTO Emp (ID, Name) SELECT ID + 10 / (ID - 4), Name FROM Emp"}) {
    q->Close();
    q->SetSQLText(sql);
    const bool select = std::string(sql).rfind("SELECT", 0) == 0;
    const std::string text = SqlError([&] { select ? q->Open() : q->ExecSQL(); });
    EXPECT_NE(text.find("Floating point division by zero"), std::string::npos) << sql << ": " << text;
    EXPECT_FALSE(q->Active()) << sql;
    EXPECT_FALSE(db_.InTransaction()) << sql;
    EXPECT_FALSE(db_.QueryActive()) << sql;
    q->SetSQLText("SELECT ID, Salary FROM Emp ORDER BY ID");
    q->Open();
    EXPECT_EQ(Rows(*q), "1|100;2|200;3|300;4|400;5|500") << sql;
  }
  // The same statement runs again once its data allow it.
  q->Close();
  q->SetSQLText("SELECT ID FROM Emp WHERE Salary / (Dept - 20) > 1");
  EXPECT_EQ(ErrorCodeOf([&] { q->Open(); }), kSqlError);
  Query("UPDATE Emp SET Dept = 40 WHERE Dept = 20")->ExecSQL();
  q->Open();
  EXPECT_EQ(Rows(*q), "3;4;5");
}

// A table read twice, once under an alias: the alias names its own
// reference, the bare table name the reference without an alias, in every
// clause the expression evaluator reads.
TEST_F(QueryTest, ATableNameQualifierMeansTheReferenceWithoutAlias) {
  for (const char* from : {"Emp x, Emp", "Emp, Emp x", "Emp JOIN Emp x ON x.Dept = Emp.Dept",
                           "Emp x JOIN Emp ON x.Dept = Emp.Dept"}) {
    const std::string tail = std::string(" FROM ") + from + " WHERE x.ID = 1 AND ";
    EXPECT_EQ(Select("SELECT x.ID, Emp.ID" + tail + "Emp.ID = 2"), "1|2") << from;
    EXPECT_EQ(Select("SELECT x.ID, Emp.ID + 0, x.Salary + Emp.Salary" + tail + "Emp.ID = 2"), "1|2|300") << from;
    // A condition over both references stays for the evaluator to apply to
    // each joined row.
    EXPECT_EQ(Select("SELECT x.Name, Emp.Name" + tail + "(Emp.ID = 2 OR x.ID = 5)"), "Ann|Bob") << from;
    EXPECT_EQ(Select("SELECT Emp.ID" + tail + "Emp.Salary > x.Salary + 100 ORDER BY Emp.ID"),
              std::string(from).find("JOIN") != std::string::npos ? "" : "3;4;5")
        << from;
  }
  // A table read only under an alias still answers to its name.
  EXPECT_EQ(Select("SELECT Emp.Name FROM Emp e WHERE Emp.ID + 0 = 3"), "Cid");
}

// A value the statement cannot convert (a text that is not a number, a
// number outside an integer's range), in the select list, a condition, a
// subquery, an aggregate or a data change, is the statement's SQL error
// with the host's text; the run is rolled back, the data stay as they were
// and the same query runs its next statement.
TEST_F(QueryTest, ConversionErrorsAreSqlErrorsAndTheQueryRunsOn) {
  auto q = Query("SELECT ID FROM Emp");
  const char* notANumber = "Could not convert variant of type (String)";
  const char* tooLarge = "Overflow while converting variant";
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"SELECT CAST(Name AS INTEGER) FROM Emp", notANumber},
      {"SELECT CAST(Name AS FLOAT) FROM Emp WHERE ID = 2", notANumber},
      {"SELECT ID FROM Emp WHERE CAST(Name AS INTEGER) > 1", notANumber},
      {"SELECT ID FROM Emp WHERE Dept = 'abc'", notANumber},
      {"SELECT Dept, SUM(CAST(Name AS INTEGER)) FROM Emp GROUP BY Dept", notANumber},
      {"SELECT Title FROM Dept WHERE ID IN (SELECT CAST(Name AS INTEGER) FROM Emp)", notANumber},
      {"UPDATE Emp SET Dept = Name WHERE ID > 2", notANumber},
      {"UPDATE Emp SET Salary = 99999999999", tooLarge},
      {"UPDATE Emp SET Salary = Salary * 99999999 WHERE ID >= 3", tooLarge},
      // Rows before the last take their values; the failure undoes them.
      {"UPDATE Emp SET Salary = Salary * 5000000", tooLarge},
      {"INSERT INTO Emp (ID, Dept) SELECT ID + 10, Salary * 5000000 FROM Emp", tooLarge},
      {"DELETE FROM Emp WHERE CAST(Name AS INTEGER) = 1", notANumber},
      {"INSERT INTO Emp (ID, Dept) VALUES (7, 'x')", notANumber},
      {"INSERT INTO Emp (ID, Dept) VALUES (99999999999, 1)", tooLarge},
      {"INSERT INTO Emp (ID, Dept) SELECT ID + 10, Name FROM Emp", notANumber}};
  for (const auto& [sql, message] : cases) {
    q->Close();
    q->SetSQLText(sql);
    const bool select = std::string(sql).rfind("SELECT", 0) == 0;
    const std::string text = SqlError([&] { select ? q->Open() : q->ExecSQL(); });
    EXPECT_NE(text.find(message), std::string::npos) << sql << ": " << text;
    EXPECT_FALSE(q->Active()) << sql;
    EXPECT_FALSE(db_.InTransaction()) << sql;
    EXPECT_FALSE(db_.QueryActive()) << sql;
    q->SetSQLText("SELECT ID, Dept, Salary FROM Emp ORDER BY ID");
    q->Open();
    EXPECT_EQ(Rows(*q), "1|10|100;2|10|200;3|20|300;4|20|400;5|30|500") << sql;
  }
}

TEST_F(QueryTest, ResultTablesAreReplacedAndDropped) {
  host::TStringList names;
  auto count = [&] {
    names.Clear();
    db_.GetTableNames(names, true);
    return names.Count();
  };
  auto q = Query("SELECT * FROM Emp");
  q->Open();
  EXPECT_EQ(count(), 1);
  q->SetSQLText("SELECT * FROM Dept");
  q->Open();
  EXPECT_EQ(count(), 1) << "the last statement's table went at the next Open";
  q.reset();
  EXPECT_EQ(count(), 0);
}

TEST_F(QueryTest, ParamsStreamAsParamData) {
  auto q = Query("SELECT * FROM Emp WHERE ID = :id");
  q->SetName("Q1");
  q->ParamByName("id")->SetDataType(host::ftInteger);
  q->ParamByName("id")->SetParamType(host::ptInput);
  const std::string text = host::WriteComponent(*q);
  EXPECT_NE(text.find("ParamData = <"), std::string::npos) << text;
  EXPECT_NE(text.find("Name = 'id'"), std::string::npos) << text;
  TTavQuery read(nullptr);
  host::ReadComponent(text, read);
  ASSERT_EQ(read.ParamCount(), 1);
  EXPECT_EQ(read.Params().Items(0)->DataType(), host::ftInteger);
  EXPECT_EQ(read.SQL().Text(), q->SQL().Text());
}

// A value a narrow column cannot hold is the statement's SQL error, as an
// INTEGER column's is: never stored cut to the column's bytes. Nothing of
// the failed statement stays.
TEST_F(QueryTest, NarrowColumnsRefuseValuesTheyCannotHold) {
  for (const char* sql : {"CREATE TABLE S (A SMALLINT, I INTEGER, F FLOAT)", "INSERT INTO S (A, I, F) VALUES (1, 1, 1)"})
    Query(sql)->ExecSQL();
  const char* tooLarge = "Overflow while converting variant";
  for (const char* sql :
       {"INSERT INTO S (A) VALUES (40000)", "INSERT INTO S (A) VALUES (-32769)", "INSERT INTO S (A) VALUES (32768)",
        "INSERT INTO S (A) VALUES (70000.0)", "UPDATE S SET A = 40000", "UPDATE S SET A = A + 32767",
        "UPDATE S SET A = A - 32770", "INSERT INTO S (A) SELECT I * 65537 FROM S",
        "UPDATE S SET F = 1000000000.0 * 1000000000.0 * 1000000000.0 * 1000.0", "UPDATE S SET I = F * 1000000000.0 * 1000000000.0"}) {
    const std::string text = SqlError([&] { Query(sql)->ExecSQL(); });
    if (std::string(sql).find("SET F") != std::string::npos) {
      // The float itself fits; the next statement puts it in an INTEGER.
      EXPECT_EQ(text, "code 0") << sql;
      continue;
    }
    EXPECT_NE(text.find(tooLarge), std::string::npos) << sql << ": " << text;
  }
  EXPECT_NE(SqlError([&] { Query("UPDATE S SET I = F")->ExecSQL(); }).find(tooLarge), std::string::npos);
  EXPECT_EQ(Select("SELECT A, I FROM S"), "1|1");
  // The edges themselves go in whole.
  Query("INSERT INTO S (A) VALUES (32767)")->ExecSQL();
  Query("INSERT INTO S (A) VALUES (-32768)")->ExecSQL();
  EXPECT_EQ(Select("SELECT A FROM S ORDER BY A"), "-32768;1;32767");
}

// Bounds beyond what a SMALLINT holds compare as numbers: every row is
// below 40000 and none above it, indexed or not, on disk or in memory.
TEST_F(QueryTest, SmallintConditionsBeyondTheTypesRange) {
  for (const bool memory : {false, true}) {
    for (const bool indexed : {false, true}) {
      const std::string table = std::string(memory ? "M" : "D") + (indexed ? "X" : "N");
      if (memory) {
        auto t = Table(table, true);
        t->FieldDefs().Add("A", host::ftSmallint);
        t->FieldDefs().Add("B", host::ftInteger);
        if (indexed) t->IndexDefs().Add("byA", "A", host::TIndexOptions{});
        t->CreateTable();
      } else {
        Query("CREATE TABLE " + table + " (A SMALLINT, B INTEGER)")->ExecSQL();
        if (indexed) Query("CREATE INDEX byA ON " + table + " (A)")->ExecSQL();
      }
      for (const char* v : {"-32768", "-5", "0", "7", "32767"})
        Query("INSERT INTO " + table + " (A, B) VALUES (" + v + ", 1)")->ExecSQL();
      Query("INSERT INTO " + table + " (B) VALUES (2)")->ExecSQL();
      const std::string all = "-32768;-5;0;7;32767";
      const std::vector<std::pair<std::string, std::string>> cases = {
          {"A < 40000", all},       {"A <= 40000", all},      {"A > 40000", ""},        {"A >= 40000", ""},
          {"A > -40000", all},      {"A < -40000", ""},       {"A = 40000", ""},        {"A = -25536", ""},
          {"A <> 40000", all},      {"A BETWEEN -40000 AND 40000", all},                {"A < 32768", all},
          {"A >= 32767", "32767"},  {"A > -32769", all},      {"A <= -32768", "-32768"}, {"A < 70000.5", all},
          {"40000 > A", all},       {"A > 40000 OR A = 7", "7"}};
      for (const auto& [where, rows] : cases)
        EXPECT_EQ(Select("SELECT A FROM " + table + " WHERE " + where + " ORDER BY A"), rows)
            << table << " WHERE " << where;
    }
  }
}

// A kept plan's next run with values that are refused leaves nothing of
// them behind: the run after it, with good values, reads its own rows.
TEST_F(QueryTest, ARefusedReRunLeavesTheKeptPlanAsItWas) {
  const auto text = [](const char* name) {
    return [name](TTavQuery& q, int v) { q.ParamByName(name)->SetAsString(std::to_string(v)); };
  };
  const auto notANumber = [](TTavQuery& q) { q.ParamByName("a")->SetAsString("abc"); };
  struct TCase {
    const char* Sql;
    std::function<void(TTavQuery&, int)> Good;
    std::function<void(TTavQuery&)> Bad;
    int Refused;
  };
  const std::vector<TCase> cases = {
      {"SELECT ID FROM Emp WHERE ID = :a", text("a"), notANumber, kSqlError},
      {"SELECT ID FROM Emp WHERE ID >= :a AND ID <= :a", text("a"), notANumber, kSqlError},
      {"SELECT ID FROM Emp WHERE Salary = :a * 100", text("a"), notANumber, kSqlError},
      {"SELECT ID FROM Emp WHERE ID + 0 = :a", [](TTavQuery& q, int v) { q.ParamByName("a")->SetAsInteger(v); },
       notANumber, kSqlError},
      // Not refused: a value no row can equal.
      {"SELECT ID FROM Emp WHERE ID = :a", [](TTavQuery& q, int v) { q.ParamByName("a")->SetAsFloat(v); },
       [](TTavQuery& q) { q.ParamByName("a")->SetAsFloat(1e30); }, 0},
  };
  for (const TCase& c : cases) {
    auto q = Query(c.Sql);
    q->Prepare();
    c.Good(*q, 2);
    q->Open();
    EXPECT_EQ(Rows(*q), "2") << c.Sql;
    c.Bad(*q);
    EXPECT_EQ(ErrorCodeOf([&] { q->Refresh(); }), c.Refused) << c.Sql;
    for (const int v : {4, 3}) {
      c.Good(*q, v);
      if (q->Active())
        q->Refresh();
      else
        q->Open();
      EXPECT_EQ(Rows(*q), std::to_string(v)) << c.Sql;
    }
  }
}

// A key range a prepared statement sets again on each run holds the
// field's own values at both ends of every integer type's range.
TEST_F(QueryTest, KeyRangesOfEachIntegerTypeAcrossReRuns) {
  auto t = Table("Ints");
  t->FieldDefs().Add("S", host::ftSmallint);
  t->FieldDefs().Add("W", host::ftWord);
  t->FieldDefs().Add("I", host::ftInteger);
  t->IndexDefs().Add("byS", "S", host::TIndexOptions{});
  t->IndexDefs().Add("byW", "W", host::TIndexOptions{});
  t->IndexDefs().Add("byI", "I", host::TIndexOptions{});
  t->CreateTable();
  t->Open();
  const std::vector<std::vector<int64_t>> values = {
      {-32768, 0, INT32_MIN}, {-1, 1, -1}, {0, 255, 0}, {1, 256, 1}, {255, 32768, 65536}, {32767, 65535, INT32_MAX}};
  for (const auto& v : values)
    t->AppendRecord({static_cast<int16_t>(v[0]), static_cast<int32_t>(v[1]), static_cast<int32_t>(v[2])});
  t->Close();
  for (int field = 0; field < 3; ++field) {
    const std::string name = std::string(1, "SWI"[field]);
    SCOPED_TRACE(name);
    auto q = Query("SELECT " + name + " FROM Ints WHERE " + name + " BETWEEN :lo AND :hi");
    q->Prepare();
    for (const auto& [lo, hi] : std::vector<std::pair<int64_t, int64_t>>{
             {values[0][field], values[0][field]},
             {values[5][field], values[5][field]},
             {values[1][field], values[4][field]},
             {values[0][field], values[5][field]},
             {values[2][field], values[2][field]},
             {values[3][field], values[1][field]}}) {
      q->ParamByName("lo")->SetAsInteger(static_cast<int32_t>(lo));
      q->ParamByName("hi")->SetAsInteger(static_cast<int32_t>(hi));
      if (q->Active())
        q->Refresh();
      else
        q->Open();
      std::string expected;
      int count = 0;
      for (const auto& v : values) {
        if (v[field] < lo || v[field] > hi) continue;
        expected += (expected.empty() ? "" : ";") + std::to_string(v[field]);
        ++count;
      }
      EXPECT_EQ(Rows(*q), expected) << lo << ".." << hi;
      EXPECT_EQ(q->RecordCount(), count) << lo << ".." << hi;
    }
  }
}

// What a re-run reads of the tables' records is read afresh after anything
// that may have closed or reopened them: the connection's transactions, a
// DISTINCT's refused duplicates, a limit.
TEST_F(QueryTest, ReRunsReadTheirColumnsAfterTransactionsAndCountOnlyTheRowsKept) {
  auto q = Query("SELECT Name, ID * 2 AS Twice, ID, Dept FROM Emp WHERE ID = :id");
  q->Prepare();
  const auto run = [&](int id) {
    q->ParamByName("id")->SetAsInteger(id);
    if (q->Active())
      q->Refresh();
    else
      q->Open();
    return Rows(*q);
  };
  EXPECT_EQ(run(2), "Bob|4|2|10");
  db_.StartTransaction();
  Query("UPDATE Emp SET Name = 'Bea' WHERE ID = 2")->ExecSQL();
  EXPECT_EQ(run(2), "Bea|4|2|10");
  db_.Rollback();
  EXPECT_EQ(run(2), "Bob|4|2|10");
  db_.StartTransaction();
  Query("INSERT INTO Emp (ID, Name, Dept) VALUES (7, 'Gus', 40)")->ExecSQL();
  db_.Commit();
  EXPECT_EQ(run(7), "Gus|14|7|40");
  EXPECT_EQ(q->RecordCount(), 1);
  EXPECT_EQ(run(6), "");
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_EQ(run(1), "Ann|2|1|10");

  auto d = Query("SELECT DISTINCT Dept FROM Emp WHERE ID BETWEEN :lo AND :hi");
  d->Prepare();
  for (const auto& [lo, hi, rows] : std::vector<std::tuple<int, int, std::string>>{
           {1, 5, "10;20;30"}, {1, 2, "10"}, {2, 4, "10;20"}, {6, 6, ""}, {1, 7, "10;20;30;40"}}) {
    d->ParamByName("lo")->SetAsInteger(lo);
    d->ParamByName("hi")->SetAsInteger(hi);
    if (d->Active())
      d->Refresh();
    else
      d->Open();
    EXPECT_EQ(Rows(*d), rows) << lo << ".." << hi;
    EXPECT_EQ(d->RecordCount(), static_cast<int>(std::count(rows.begin(), rows.end(), ';')) + (rows.empty() ? 0 : 1));
    EXPECT_EQ(d->RowsAffected(), d->RecordCount());
  }
  d->SetMaxRecords(2);
  d->Refresh();
  EXPECT_EQ(Rows(*d), "10;20");
  EXPECT_EQ(d->RecordCount(), 2);
}

}  // namespace
}  // namespace tav

// What the cross-layer SQL tests share: an empty database file made at a
// path, and a connection with the query it runs its statements through.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/fields.h"

namespace tav::test {

// Makes an empty database file at `path`; the connection that made it is
// closed again.
inline void CreateDatabaseFile(const std::string& path) {
  TTavDataBase creator(nullptr);
  creator.SetDataBaseName(path);
  creator.CreateDatabase();
}

// One connection and the query it runs its statements with; a refused lock
// is tried again up to `lockRetries` times.
struct TSession {
  TTavDataBase Db{nullptr};
  TTavQuery Q{nullptr};

  explicit TSession(const std::string& path, int lockRetries = 3) {
    Db.SetDataBaseName(path);
    Db.SetLockRetryMaximum(lockRetries);
    Db.SetLockRetryInterval(1);
    Db.Open();
    Q.SetDataBase(&Db);
  }

  void Exec(const std::string& sql) {
    Q.SetSQLText(sql);
    Q.ExecSQL();
  }

  // The first row's values of a SELECT, joined by '|'.
  std::string Value(const std::string& sql) {
    Q.SetSQLText(sql);
    Q.Open();
    std::string row;
    for (int i = 0; i < Q.FieldCount(); ++i) row += (i ? "|" : "") + Q.Fields(i)->AsString();
    Q.Close();
    return row;
  }
};

// Every row of the open query: fields joined by '|', rows by ';'.
inline std::string Rows(TTavQuery& q) {
  std::string out;
  for (q.First(); !q.Eof(); q.Next()) {
    if (!out.empty()) out += ';';
    for (int i = 0; i < q.FieldCount(); ++i) out += (i ? "|" : "") + q.Fields(i)->AsString();
  }
  return out;
}

// Runs `sql` in a child process on a connection of its own and kills the
// child `delay` after the statement started; the statement must still have
// been running when the kill came.
inline void KillDuringStatement(const std::string& path, const std::string& sql, int lockRetries,
                                std::chrono::milliseconds delay) {
  TChild victim([&](TChildSide& side) {
    TSession v(path, lockRetries);
    v.Q.SetSQLText(sql);
    v.Q.Prepare();
    side.Send(1);
    v.Q.ExecSQL();
    side.Send(2);
    return 0;
  });
  ASSERT_TRUE(victim.Started());
  uint64_t stage = 0;
  ASSERT_TRUE(victim.Receive(stage));
  std::this_thread::sleep_for(delay);
  victim.Kill();
  EXPECT_EQ(victim.Wait(), -1);
  EXPECT_FALSE(victim.Receive(stage)) << "the statement ended before the kill";
}

// "" when every index tree of the table is sound; else the first damaged
// one's name and fault. Checked under the table's read lock.
inline std::string DamagedIndex(TTavTable& t) {
  t.ReadLockTable();
  std::string fault;
  for (int i = 0; i < t.IndexManager().Count() && fault.empty(); ++i) {
    TIndexItem& item = *t.IndexManager().Items(i);
    const TTreeCheckResult r = CheckTree(item.Tree(), item.Unique() || item.Primary());
    if (!r.Ok()) fault = item.IndexName() + " damaged: " + r.Error;
  }
  t.UnlockTable();
  return fault;
}

}  // namespace tav::test

// What the cross-layer SQL tests share: an empty database file made at a
// path, and a connection with the query it runs its statements through.
#pragma once

#include <string>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
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

}  // namespace tav::test

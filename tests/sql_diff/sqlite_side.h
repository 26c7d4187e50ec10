// SQLite as the yardstick of the differential harness: an in-memory
// database loaded with the random tables, LIKE made case-sensitive as ours
// is.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "sql_side.h"

namespace tav::sqldiff {

class TSqliteSide : public TSqlSide {
 public:
  TSqliteSide();
  ~TSqliteSide() override;
  TSqliteSide(const TSqliteSide&) = delete;
  TSqliteSide& operator=(const TSqliteSide&) = delete;

  // Creates the schema's tables and indexes and inserts its rows.
  void Load(const TRandomSchema& schema);

  TDialect Dialect() const override { return TDialect::Sqlite; }
  std::string Name() const override { return "SQLite"; }
  TSqlResult Run(const std::string& sql) override;
  std::vector<TSqlRow> ReadTable(const TTableSpec& table) override;

  sqlite3* Handle() const { return db_; }

 private:
  // Runs a statement that must succeed (set-up); throws std::runtime_error.
  void Exec(const std::string& sql);
  TSqlResult Execute(const std::string& sql);

  sqlite3* db_ = nullptr;
};

// A new SQLite side loaded with `schema`: the reference of a differential
// run (a TSideFactory).
std::unique_ptr<TSqlSide> LoadedSqlite(const TRandomSchema& schema);

}  // namespace tav::sqldiff

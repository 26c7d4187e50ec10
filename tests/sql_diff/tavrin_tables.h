// The random tables in our engine, through the table component: a disk
// database in ASCII sort order (the order in which SQLite's byte order and
// ours agree for the harness's texts) or the in-memory database "MEMORY".
//
// Callers must keep: the object outlives every dataset opened on Connection().
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "random_tables.h"
#include "sql_value.h"

namespace tav::sqldiff {

class TTavrinTables {
 public:
  // `path` empty: "MEMORY"; otherwise a new database file there, created in
  // ASCII sort order.
  explicit TTavrinTables(const std::string& path);
  ~TTavrinTables();
  TTavrinTables(const TTavrinTables&) = delete;
  TTavrinTables& operator=(const TTavrinTables&) = delete;

  // Creates every table with its fields and indexes and appends its rows.
  void Load(const TRandomSchema& schema);
  std::vector<TSqlRow> ReadTable(const TTableSpec& table);

  TTavDataBase& Connection() { return *db_; }
  bool IsMemory() const { return db_->IsMemory(); }

 private:
  std::unique_ptr<TTavDataBase> db_;
};

}  // namespace tav::sqldiff

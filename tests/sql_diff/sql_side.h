// One engine under comparison, as the differential driver sees it: it runs
// a statement of its own dialect and gives back the rows or the count of
// rows changed, and it reads a table back whole.
//
// SQLite implements it in sqlite_side.h, our engine in tavrin_side.h (a
// TTavQuery per statement on the connection TTavrinTables loaded).
#pragma once

#include <string>
#include <vector>

#include "random_tables.h"
#include "sql_value.h"

namespace tav::sqldiff {

// Which of a generated statement's two texts a side runs.
enum class TDialect { Tavrin, Sqlite };

class TSqlSide {
 public:
  virtual ~TSqlSide() = default;
  virtual TDialect Dialect() const = 0;
  virtual std::string Name() const = 0;
  // Runs one statement. A failure is a result (Failed, Error), not an
  // exception.
  virtual TSqlResult Run(const std::string& sql) = 0;
  // The table's rows, its columns in the order `table` lists them.
  virtual std::vector<TSqlRow> ReadTable(const TTableSpec& table) = 0;
};

}  // namespace tav::sqldiff

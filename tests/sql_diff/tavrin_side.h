// Our engine as a side of the differential run: statements go through the
// query component as an application runs them. Each statement is a fresh
// TTavQuery on the connection TTavrinTables loaded: Open for a SELECT and its
// rows read through the fields, ExecSQL for a data change and its
// RowsAffected. An engine error is a failed result carrying its code and
// message.
#pragma once

#include <string>
#include <vector>

#include "sql_side.h"
#include "tavrin_tables.h"

namespace tav::sqldiff {

class TTavrinSide : public TSqlSide {
 public:
  // `path` empty: "MEMORY"; otherwise a new disk database there.
  explicit TTavrinSide(const std::string& path) : tables_(path) {}

  void Load(const TRandomSchema& schema) { tables_.Load(schema); }

  TDialect Dialect() const override { return TDialect::Tavrin; }
  std::string Name() const override { return tables_.IsMemory() ? "ours (MEMORY)" : "ours (disk)"; }
  TSqlResult Run(const std::string& sql) override;
  std::vector<TSqlRow> ReadTable(const TTableSpec& table) override { return tables_.ReadTable(table); }

  TTavrinTables& Tables() { return tables_; }

 private:
  TTavrinTables tables_;
};

}  // namespace tav::sqldiff

#include "sqlite_side.h"

#include <stdexcept>

namespace tav::sqldiff {

TSqliteSide::TSqliteSide() {
  if (sqlite3_open(":memory:", &db_) != SQLITE_OK) throw std::runtime_error("sqlite3_open failed");
  Exec("PRAGMA case_sensitive_like = ON");
}

TSqliteSide::~TSqliteSide() { sqlite3_close(db_); }

void TSqliteSide::Exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "?";
    sqlite3_free(message);
    throw std::runtime_error(text + " in: " + sql);
  }
}

void TSqliteSide::Load(const TRandomSchema& schema) {
  Exec("BEGIN");
  for (const TTableSpec& t : schema.Tables) {
    std::string create = "CREATE TABLE " + t.Name + " (";
    std::string insert = "INSERT INTO " + t.Name + " VALUES (";
    for (size_t i = 0; i < t.Columns.size(); ++i) {
      const TColumnSpec& c = t.Columns[i];
      create += (i ? ", " : "") + c.Name + " " +
                (c.Type == ctInteger ? "INTEGER" : c.Type == ctFloat ? "REAL" : "TEXT");
      insert += i ? ", ?" : "?";
    }
    Exec(create + ")");
    for (const TIndexSpec& ix : t.Indexes) {
      std::string sql = std::string("CREATE ") + (ix.Unique ? "UNIQUE " : "") + "INDEX " + ix.Name +
                        " ON " + t.Name + " (";
      for (size_t i = 0; i < ix.Columns.size(); ++i)
        sql += (i ? ", " : "") + ix.Columns[i] + (ix.Descending ? " DESC" : "");
      Exec(sql + ")");
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, (insert + ")").c_str(), -1, &stmt, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_));
    for (const TSqlRow& row : t.Rows) {
      sqlite3_reset(stmt);
      for (size_t i = 0; i < row.size(); ++i) {
        const int k = static_cast<int>(i) + 1;
        const TSqlValue& v = row[i];
        switch (v.Kind) {
          case TSqlValue::kNull: sqlite3_bind_null(stmt, k); break;
          case TSqlValue::kInteger: sqlite3_bind_int64(stmt, k, v.Int); break;
          case TSqlValue::kFloat: sqlite3_bind_double(stmt, k, v.Float); break;
          case TSqlValue::kText:
            sqlite3_bind_text(stmt, k, v.Text.data(), static_cast<int>(v.Text.size()), SQLITE_TRANSIENT);
            break;
        }
      }
      if (sqlite3_step(stmt) != SQLITE_DONE) {
        const std::string text = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt);
        throw std::runtime_error(text);
      }
    }
    sqlite3_finalize(stmt);
  }
  Exec("COMMIT");
}

TSqlResult TSqliteSide::Run(const std::string& sql) { return Execute(sql); }

TSqlResult TSqliteSide::Execute(const std::string& sql) {
  TSqlResult result;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    result.Failed = true;
    result.Error = sqlite3_errmsg(db_);
    return result;
  }
  result.IsQuery = sqlite3_stmt_readonly(stmt) != 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    TSqlRow row;
    for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_NULL: row.push_back(TSqlValue::Null()); break;
        case SQLITE_INTEGER: row.push_back(TSqlValue::Integer(sqlite3_column_int64(stmt, i))); break;
        case SQLITE_FLOAT: row.push_back(TSqlValue::Real(sqlite3_column_double(stmt, i))); break;
        default:
          row.push_back(TSqlValue::String(std::string(
              reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
              static_cast<size_t>(sqlite3_column_bytes(stmt, i)))));
      }
    }
    result.Rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    result.Failed = true;
    result.Error = sqlite3_errmsg(db_);
  }
  if (!result.IsQuery) result.RowsAffected = sqlite3_changes(db_);
  sqlite3_finalize(stmt);
  return result;
}

std::vector<TSqlRow> TSqliteSide::ReadTable(const TTableSpec& table) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < table.Columns.size(); ++i) sql += (i ? ", " : "") + table.Columns[i].Name;
  TSqlResult r = Execute(sql + " FROM " + table.Name);
  if (r.Failed) throw std::runtime_error(r.Error);
  return std::move(r.Rows);
}

std::unique_ptr<TSqlSide> LoadedSqlite(const TRandomSchema& schema) {
  auto side = std::make_unique<TSqliteSide>();
  side->Load(schema);
  return side;
}

}  // namespace tav::sqldiff

#include "tavrin_side.h"

#include <cctype>

#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_errors.h"
#include "host/db/fields.h"

namespace tav::sqldiff {

namespace {

bool IsSelect(const std::string& sql) {
  size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
  return word == "SELECT";
}

TSqlValue ValueOf(const host::TField& f) {
  if (f.IsNull()) return TSqlValue::Null();
  switch (f.DataType()) {
    case host::ftSmallint:
    case host::ftInteger:
    case host::ftWord:
    case host::ftAutoInc:
    case host::ftLargeint: return TSqlValue::Integer(f.AsLargeInt());
    case host::ftBoolean: return TSqlValue::Integer(f.AsBoolean() ? 1 : 0);
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftBCD: return TSqlValue::Real(f.AsFloat());
    default: return TSqlValue::String(f.AsString());
  }
}

}  // namespace

TSqlResult TTavrinSide::Run(const std::string& sql) {
  TSqlResult result;
  TTavQuery q(nullptr);
  q.SetDataBase(&tables_.Connection());
  q.SetSQLText(sql);
  try {
    if (IsSelect(sql)) {
      q.Open();
      const int n = q.FieldCount();
      for (q.First(); !q.Eof(); q.Next()) {
        TSqlRow row;
        row.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) row.push_back(ValueOf(*q.Fields(i)));
        result.Rows.push_back(std::move(row));
      }
      q.Close();
    } else {
      result.IsQuery = false;
      q.ExecSQL();
      result.RowsAffected = q.RowsAffected();
    }
  } catch (const ETavDatabaseError& e) {
    result.Failed = true;
    result.Error = std::to_string(e.ErrorCode()) + ": " + e.Message();
  } catch (const std::exception& e) {
    result.Failed = true;
    result.Error = e.what();
  }
  return result;
}

}  // namespace tav::sqldiff

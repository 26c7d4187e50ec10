// Test support: SQL scripts run through the query provider. A script is a
// plain text file of statements, each followed by what it must give:
//
//   # a comment; blank lines are ignored
//   table T (K integer, S string 10, N float, M memo, D date)
//   index byK unique K            (indexes of the table above, each on a
//   index byS S;K                  line of its own right after it)
//   param P 5                     (an integer, a 'text', a float or NULL;
//                                  applied to the statements that follow)
//   maxrecords 2                  (the provider's MaxRecords from now on)
//   SELECT K FROM T WHERE K > 1   (a statement: one line)
//   = 2                           (a row: the columns' values joined by '|',
//   = 3                            NULL for a Null; rows compare in order
//                                  when the statement has ORDER BY, else
//                                  sorted)
//   = (none)                      (no rows)
//   ! text                        (the statement fails with an error whose
//                                  text contains `text`)
//   affected 2                    (the rows an INSERT, UPDATE or DELETE
//                                  changed)
//   rerun                         (the last statement again, planned with
//                                  the parameters' current values, without
//                                  parsing it again)
//
// A statement without '=' or '!' lines must succeed; a SELECT without them
// must give no rows only when "= (none)" says so (otherwise its rows are
// not checked). Every SELECT result is built twice: both builds must give
// the same rows.
//
// Header-only, so that nothing of it enters the library.
#pragma once

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/query/exec/query_provider.h"
#include "engine/storage/base/tav_errors.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/db/params.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav::testing {

class TSqlScriptRunner {
 public:
  // `memory`: tables are made in memory; otherwise on the database's disk.
  TSqlScriptRunner(TTavDataBase& db, bool memory) : db_(db), memory_(memory) {
    provider_.SetDatabase(&db_);
    provider_.SetParams(&params_);
  }
  virtual ~TSqlScriptRunner() {
    try {
      DropResult();
    } catch (...) {
    }
  }

  // Runs the script; every failed expectation is one line of the result,
  // with the script line's number.
  std::vector<std::string> Run(const std::string& text) {
    lines_.clear();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines_.push_back(host::Trim(line));
    failures_.clear();
    for (at_ = 0; at_ < lines_.size();) Step();
    return failures_;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  TTavQueryProvider& Provider() { return provider_; }

 protected:
  struct TOutcome {
    std::string Error;  // empty on success
    std::vector<std::string> Rows;
    int Affected = -1;
  };

  static bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
  }

  void Failure(size_t line, const std::string& text) {
    failures_.push_back("line " + std::to_string(line + 1) + ": " + text);
  }

  void Step() {
    const size_t here = at_;
    const std::string line = lines_[at_++];
    if (line.empty() || line[0] == '#') return;
    if (StartsWith(line, "table ")) return Guard(here, [&] { MakeTable(line.substr(6)); });
    if (StartsWith(line, "param ")) return SetParam(line.substr(6));
    if (StartsWith(line, "maxrecords ")) {
      provider_.SetMaxRecords(std::stoi(line.substr(11)));
      return;
    }
    if (line == "rerun") return Check(here, Execute(last_sql_, false));
    last_sql_ = line;
    Check(here, Execute(line, true));
  }

  template <class F>
  void Guard(size_t line, F&& f) {
    try {
      f();
    } catch (const std::exception& e) {
      Failure(line, std::string("set-up failed: ") + e.what());
    }
  }

  // "T (K integer, S string 10, ...)"
  void MakeTable(const std::string& spec) {
    const size_t open = spec.find('(');
    const std::string name = host::Trim(spec.substr(0, open));
    TTavBaseTable t(nullptr);
    t.SetDataBase(&db_);
    t.SetMemory(memory_);
    t.SetTableName(name);
    std::string body = spec.substr(open + 1, spec.rfind(')') - open - 1);
    std::istringstream columns(body);
    for (std::string column; std::getline(columns, column, ',');) {
      std::istringstream words(column);
      std::string field, type;
      int size = 0;
      words >> field >> type >> size;
      type = host::AnsiLowerCase(type);
      host::TFieldType ft = host::ftInteger;
      if (type == "string") ft = host::ftString;
      else if (type == "float") ft = host::ftFloat;
      else if (type == "memo") ft = host::ftMemo;
      else if (type == "date") ft = host::ftDate;
      else if (type == "boolean") ft = host::ftBoolean;
      t.FieldDefs().Add(field, ft, ft == host::ftString ? size : 0, false);
    }
    // "index name [unique] F1;F2"
    for (; at_ < lines_.size() && StartsWith(lines_[at_], "index "); ++at_) {
      std::istringstream words(lines_[at_].substr(6));
      std::string index, fields;
      words >> index >> fields;
      host::TIndexOptions options{};
      if (fields == "unique") {
        options = host::TIndexOptions{host::ixUnique};
        words >> fields;
      }
      t.IndexDefs().Add(index, fields, options);
    }
    t.CreateTable();
  }

  void SetParam(const std::string& spec) {
    const size_t space = spec.find(' ');
    params_values_.push_back({spec.substr(0, space), host::Trim(spec.substr(space + 1))});
  }

  void ApplyParams() {
    for (const auto& [name, text] : params_values_) {
      host::TParam* p = params_.FindParam(name);
      if (p == nullptr) continue;
      if (host::AnsiUpperCase(text) == "NULL") {
        p->SetDataType(host::ftInteger);
        p->Clear();
      } else if (!text.empty() && text[0] == '\'') {
        p->SetAsString(text.substr(1, text.size() - 2));
      } else if (text.find('.') != std::string::npos) {
        p->SetAsFloat(std::stod(text));
      } else {
        p->SetAsInteger(std::stoi(text));
      }
    }
  }

  void DropResult() {
    TTavQueryDataset* rows = provider_.GetResultSet();
    if (rows == nullptr || rows->TableName().empty() || !rows->Memory()) return;
    if (provider_.GetSQLStatementType() != tsSQLSelect) return;
    if (rows->Active()) rows->Close();
    if (rows->DataBase() != nullptr && rows->TableName() != std::string()) {
      host::TStringList names;
      db_.GetTableNames(names, true);
      if (names.IndexOf(rows->TableName()) >= 0) db_.DeleteTable(rows->TableName(), true);
    }
  }

  std::vector<std::string> ReadRows() {
    std::vector<std::string> out;
    TTavQueryDataset& rows = *provider_.GetResultSet();
    const int n = provider_.Items(0)->ResultColumns().Count();
    for (rows.First(); !rows.Eof(); rows.Next()) {
      std::string row;
      for (int i = 0; i < n; ++i) {
        const host::Variant v = rows.GetFieldData(i);
        if (i > 0) row += '|';
        row += v.IsNull() || v.IsEmpty() ? "NULL" : host::VarToStr(v);
      }
      out.push_back(row);
    }
    return out;
  }

  virtual TOutcome Execute(const std::string& sql, bool parse) {
    TOutcome outcome;
    try {
      if (parse) {
        DropResult();
        provider_.SetSQL(sql);
        if (!provider_.ValidateSQL()) {
          outcome.Error = provider_.GetErrorsAsText();
          return outcome;
        }
      }
      ApplyParams();
      if (!provider_.PreparePlan()) {
        outcome.Error = provider_.GetErrorsAsText();
        return outcome;
      }
      if (provider_.GetSQLStatementType() == tsSQLSelect) {
        if (!provider_.CreateResultSet()) {
          outcome.Error = provider_.GetErrorsAsText();
          return outcome;
        }
        outcome.Rows = ReadRows();
        // Built again from the same plan: the same rows.
        if (!provider_.CreateResultSet()) {
          outcome.Error = "second build: " + provider_.GetErrorsAsText();
          return outcome;
        }
        if (ReadRows() != outcome.Rows) outcome.Error = "second build gave other rows";
        return outcome;
      }
      if (!provider_.ExecSQL()) {
        outcome.Error = provider_.GetErrorsAsText();
        return outcome;
      }
      outcome.Affected = provider_.GetRowsAffected();
    } catch (const ETavDatabaseError& e) {
      outcome.Error = std::to_string(e.ErrorCode()) + " " + e.what();
    } catch (const std::exception& e) {
      outcome.Error = e.what();
    }
    return outcome;
  }

  void Check(size_t here, const TOutcome& outcome) {
    std::vector<std::string> expected;
    std::string error;
    int affected = -1;
    bool rowsGiven = false;
    while (at_ < lines_.size()) {
      const std::string& line = lines_[at_];
      if (StartsWith(line, "= ") || line == "=") {
        rowsGiven = true;
        const std::string row = line.size() > 2 ? line.substr(2) : std::string();
        if (row != "(none)") expected.push_back(row);
      } else if (StartsWith(line, "! ")) {
        error = line.substr(2);
      } else if (StartsWith(line, "affected ")) {
        affected = std::stoi(line.substr(9));
      } else {
        break;
      }
      ++at_;
    }
    if (!error.empty()) {
      if (outcome.Error.find(error) == std::string::npos)
        Failure(here, "expected error '" + error + "', got '" + outcome.Error + "'");
      return;
    }
    if (!outcome.Error.empty()) return Failure(here, "error: " + outcome.Error);
    if (affected >= 0 && affected != outcome.Affected)
      Failure(here, "affected " + std::to_string(outcome.Affected) + ", expected " + std::to_string(affected));
    if (!rowsGiven) return;
    std::vector<std::string> got = outcome.Rows;
    const std::string upper = host::AnsiUpperCase(lines_[here] == "rerun" ? last_sql_ : lines_[here]);
    if (upper.find("ORDER BY") == std::string::npos) {
      std::sort(got.begin(), got.end());
      std::sort(expected.begin(), expected.end());
    }
    if (got == expected) return;
    std::string text = "rows differ; got:";
    for (const std::string& r : got) text += " [" + r + "]";
    text += " expected:";
    for (const std::string& r : expected) text += " [" + r + "]";
    Failure(here, text);
  }

  TTavDataBase& db_;
  bool memory_;
  TTavQueryProvider provider_;
  host::TParams params_;
  std::vector<std::pair<std::string, std::string>> params_values_;
  std::vector<std::string> lines_;
  std::vector<std::string> failures_;
  std::string last_sql_;
  size_t at_ = 0;
};

}  // namespace tav::testing

// The SQL scripts of engine/query/testdata run again through the query
// component, on the memory database and on disk: each SELECT opened (and
// refreshed, which must give the same rows), every other statement run by
// ExecSQL, the parameters set on the query. A statement that fails raises
// 9645 whose text is exactly the provider's error text for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/query/testing/sql_script.h"
#include "host/db/fields.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

class TQueryScriptRunner : public testing::TSqlScriptRunner {
 public:
  TQueryScriptRunner(TTavDataBase& db, bool memory) : TSqlScriptRunner(db, memory), query_(nullptr) {
    query_.SetDataBase(&db);
  }
  ~TQueryScriptRunner() override { query_.Close(); }

 protected:
  TOutcome Execute(const std::string& sql, bool parse) override {
    TOutcome outcome;
    try {
      if (parse) query_.SetSQLText(sql);
      query_.SetMaxRecords(provider_.MaxRecords());
      // The script's values, for the parameters the statement names.
      params_.Assign(query_.Params());
      ApplyParams();
      query_.Params().AssignValues(params_);
      if (!query_.Prepared()) query_.Prepare();
      if (query_.GetSQLStatementType() == tsSQLSelect) {
        if (query_.Active())
          query_.Refresh();
        else
          query_.Open();
        outcome.Rows = Rows();
        query_.Refresh();
        if (Rows() != outcome.Rows) outcome.Error = "refresh gave other rows";
        return outcome;
      }
      query_.ExecSQL();
      outcome.Affected = query_.RowsAffected();
    } catch (const ETavDatabaseError& e) {
      outcome.Error = std::to_string(e.ErrorCode()) + " " + e.what();
      if (e.ErrorCode() == kSqlError) CheckSqlErrorText(sql, e);
    } catch (const std::exception& e) {
      outcome.Error = e.what();
    }
    return outcome;
  }

 private:
  std::vector<std::string> Rows() {
    std::vector<std::string> out;
    for (query_.First(); !query_.Eof(); query_.Next()) {
      std::string row;
      for (int i = 0; i < query_.FieldCount(); ++i) {
        const host::Variant v = query_.Fields(i)->Value();
        if (i > 0) row += '|';
        row += v.IsNull() || v.IsEmpty() ? "NULL" : host::VarToStr(v);
      }
      out.push_back(row);
    }
    return out;
  }

  // The provider alone on the same statement (which failed, so changed
  // nothing): its error text is the one the component raised.
  void CheckSqlErrorText(const std::string& sql, const ETavDatabaseError& raised) {
    const TOutcome direct = TSqlScriptRunner::Execute(sql, true);
    // An error the provider raised (rather than listed) passes as it was.
    const std::string passed = std::to_string(kSqlError) + " ";
    if (direct.Error.compare(0, passed.size(), passed) == 0) {
      EXPECT_EQ(raised.what(), direct.Error.substr(passed.size())) << sql;
      return;
    }
    const ETavDatabaseError expected(kSqlError, raised.TableMessage(), direct.Error, nullptr);
    EXPECT_STREQ(raised.what(), expected.what()) << sql;
  }

  TTavQuery query_;
};

TEST(QueryScripts, EveryScriptRunsThroughTheComponent) {
  const std::filesystem::path folder = TAV_QUERY_SCRIPTS;
  std::vector<std::filesystem::path> scripts;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".sql") scripts.push_back(entry.path());
  std::sort(scripts.begin(), scripts.end());
  ASSERT_FALSE(scripts.empty());
  for (const auto& script : scripts) {
    const std::string text = testing::TSqlScriptRunner::ReadFile(script.string());
    for (bool memory : {true, false}) {
      SCOPED_TRACE(script.stem().string() + (memory ? " in memory" : " on disk"));
      os::test::TTempDir dir;
      ASSERT_TRUE(dir.Ok());
      TTavDataBase db(nullptr);
      db.SetDataBaseName(memory ? std::string(kMemoryDataBaseName) : dir / "db");
      if (!memory) db.CreateDatabase();
      db.Open();
      std::vector<std::string> failures;
      {
        TQueryScriptRunner runner(db, memory);
        failures = runner.Run(text);
      }
      for (const std::string& f : failures) ADD_FAILURE() << f;
      db.Close();
    }
  }
}

}  // namespace
}  // namespace tav

// Every script of engine/query/testdata run through the query provider, once
// on the memory database and once on a database on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/testing/sql_script.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

std::filesystem::path ScriptFolder() { return TAV_QUERY_SCRIPTS; }

std::vector<std::string> ScriptNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(ScriptFolder()))
    if (entry.path().extension() == ".sql") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct TPlace {
  std::string Script;
  bool Memory;
};

class SqlScriptTest : public ::testing::TestWithParam<TPlace> {};

TEST_P(SqlScriptTest, Runs) {
  const TPlace& place = GetParam();
  const std::string text = testing::TSqlScriptRunner::ReadFile((ScriptFolder() / (place.Script + ".sql")).string());
  ASSERT_FALSE(text.empty());
  os::test::TTempDir dir;
  TTavDataBase db(nullptr);
  if (place.Memory) {
    db.SetDataBaseName(kMemoryDataBaseName);
  } else {
    ASSERT_TRUE(dir.Ok());
    db.SetDataBaseName(dir / "db");
    db.CreateDatabase();
  }
  db.Open();
  std::vector<std::string> failures;
  {
    testing::TSqlScriptRunner runner(db, place.Memory);
    failures = runner.Run(text);
  }
  for (const std::string& f : failures) ADD_FAILURE() << place.Script << ": " << f;
  db.Close();
}

std::vector<TPlace> Places() {
  std::vector<TPlace> out;
  for (const std::string& name : ScriptNames()) {
    out.push_back({name, true});
    out.push_back({name, false});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(Places()),
                         [](const ::testing::TestParamInfo<TPlace>& info) {
                           return info.param.Script + (info.param.Memory ? "_memory" : "_disk");
                         });

}  // namespace
}  // namespace tav

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/components/tav_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// A disk database with table "P": N auto-increment, Name string(20)
// (index "byName"), Qty integer; 30 rows.
class TableMaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    TavEngineStartup();
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(dir_ / "m.tav");
      creator.CreateDatabase();
    }
    db_.SetDataBaseName(dir_ / "m.tav");
    db_.SetExclusive(true);
    db_.SetLockRetryMaximum(2);
    db_.SetLockRetryInterval(1);
    db_.Open();
    auto t = NewTable();
    t->FieldDefs().Add("N", host::ftAutoInc);
    t->FieldDefs().Add("Name", host::ftString, 20);
    t->FieldDefs().Add("Qty", host::ftInteger);
    t->IndexDefs().Add("byName", "Name", {});
    t->CreateTable();
    t->Open();
    for (int i = 1; i <= 30; ++i) t->AppendRecord({host::Variant(), "item" + std::to_string(i), i * 10});
    t->Close();
  }

  std::unique_ptr<TTavTable> NewTable(const std::string& name = "P") {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetTableName(name);
    return t;
  }

  // "Name=Qty" of every row, sorted.
  std::vector<std::string> Rows(const std::string& qty = "Qty") {
    auto t = NewTable();
    t->Open();
    std::vector<std::string> out;
    for (t->First(); !t->Eof(); t->Next())
      out.push_back(t->FieldByName("Name")->AsString() + "=" + t->FieldByName(qty)->AsString());
    std::sort(out.begin(), out.end());
    return out;
  }

  static std::vector<std::string> LogSince(size_t from) {
    std::vector<std::string> lines = GDBLogger()->LogItems();
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
  }
  static bool Logged(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
};

TEST_F(TableMaintenanceTest, RestructureThroughTheComponent) {
  const std::vector<std::string> before = Rows();
  auto t = NewTable();
  TRestructureFieldDefs& fields = t->GetRestructureFieldDefs();
  ASSERT_EQ(fields.Count(), 3);
  fields.Find("Qty")->SetName("Amount");
  fields.AddAndSetFieldDef("Note", host::ftString, 10);

  TRestructureRecord record;
  record.ChangeBlobBlockSize = true;
  record.BlobBlockSize = 63;
  EXPECT_EQ(ErrorCodeOf([&] { t->RestructureTable(record); }), 10029);
  record.BlobBlockSize = 1024;
  record.ResetAutoIncValue = true;
  record.AutoIncResetValue = 1000;
  // A restructure needs the definitions again: the refused one kept them.
  TRestructureFieldDefs& again = t->GetRestructureFieldDefs();
  if (!again.Find("Note")) {
    again.Find("Qty")->SetName("Amount");
    again.AddAndSetFieldDef("Note", host::ftString, 10);
  }
  EXPECT_TRUE(t->RestructureTable(record));
  EXPECT_TRUE(os::FileExists(dir_ / "m.tvx"));
  EXPECT_EQ(Rows("Amount"), before);
  t->Open();
  EXPECT_EQ(t->NextAutoIncValue(), 1001u);
  t->AppendRecord({host::Variant(), "new", 1, "note"});
  EXPECT_EQ(t->FieldByName("N")->AsInteger(), 1001);
  // Re-index on the open table, rebuild on the closed one.
  EXPECT_TRUE(t->ReIndex(false));
  EXPECT_EQ(t->RecordCount(), 31);
  // An active filter holds over a re-index.
  t->SetFilterText("N = 1001");
  t->SetFiltered(true);
  EXPECT_TRUE(t->ReIndex(false));
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->FieldByName("N")->AsInteger(), 1001);
  t->SetFiltered(false);
  EXPECT_ANY_THROW(t->RebuildTable());
  t->Close();
  EXPECT_TRUE(t->RebuildTable());
  t->Open();
  EXPECT_EQ(t->RecordCount(), 31);
  t->Close();

  db_.StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { t->RestructureTable(TRestructureRecord()); }), 10122);
  db_.Rollback();

  TTavDataBase memory(nullptr);
  TTavTable m(nullptr);
  test::ConnectMemory(memory, m, "M");
  m.FieldDefs().Add("A", host::ftInteger);
  m.CreateTable();
  EXPECT_EQ(ErrorCodeOf([&] { m.RestructureTable(TRestructureRecord()); }), 10766);
  EXPECT_EQ(ErrorCodeOf([&] { m.RebuildTable(); }), 10766);
}

TEST_F(TableMaintenanceTest, ImportMapsCountsConversionFailuresAndLogsOnce) {
  // The source: a memory table with a text column that is not always a
  // number.
  TTavDataBase memory(nullptr);
  TTavTable source(nullptr);
  test::ConnectMemory(memory, source, "Src");
  source.FieldDefs().Add("Label", host::ftString, 20);
  source.FieldDefs().Add("Count", host::ftString, 10);
  source.CreateTable();
  source.Open();
  for (int i = 0; i < 40; ++i)
    source.AppendRecord({"in" + std::to_string(i), i == 7 ? std::string("lots") : std::to_string(i)});

  auto t = NewTable();
  t->Open();
  EXPECT_EQ(ErrorCodeOf([&] { t->ImportData(source); }), 8576);
  TRestructureFieldDefs& map = t->GetRestructureFieldDefs();
  map.Items(0)->SetSourceFieldName("Label");  // N is auto-increment: skipped
  map.Items(1)->SetSourceFieldName("Label");
  map.Items(2)->SetSourceFieldName("Count");
  std::vector<int> percents;
  t->SetOnUpdateProgress([&](int p, bool&) { percents.push_back(p); });
  // The log keeps a bounded number of lines, dropping the oldest: start from an empty one so
  // that positions taken below stay put whatever earlier tests logged.
  GDBLogger()->Clear();
  const size_t from = GDBLogger()->LogItems().size();
  t->ImportData(source);
  EXPECT_EQ(t->RecordCount(), 70);
  ASSERT_EQ(percents.size(), 20u);
  EXPECT_EQ(percents.back(), 100);

  const std::vector<std::string> log = LogSince(from);
  EXPECT_TRUE(Logged(log, "Source field [Count] mapped to Field [Qty]"));
  EXPECT_TRUE(Logged(log, "   Record 7  Source field \"Count     \" could not be converted to Destination "
                          "field \"Qty       \". Source value \"lots\"   Error: "));
  const auto count = [&](const std::string& text) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_EQ(count("Errors detected = 1"), 1);
  EXPECT_EQ(count("Records inserted = 40"), 1);
  EXPECT_EQ(count("Starting import"), 40);

  // A failure after the step to the next source record (here the progress
  // event) passes no further record: every source record still arrives.
  int before = t->RecordCount();
  bool thrown = false;
  t->SetOnUpdateProgress([&](int p, bool&) {
    if (p == 50 && !thrown) {
      thrown = true;
      throw std::runtime_error("progress failed");
    }
  });
  const size_t mark = GDBLogger()->LogItems().size();
  t->ImportData(source);
  EXPECT_TRUE(thrown);
  EXPECT_EQ(t->RecordCount(), before + 40);
  EXPECT_TRUE(Logged(LogSince(mark), "Record 20 could not be added. Error: progress failed"));
  t->Close();

  // Abort from the progress event stops after that step.
  t->Open();
  t->GetRestructureFieldDefs().Items(1)->SetSourceFieldName("Label");
  t->SetOnUpdateProgress([](int p, bool& abort) { abort = p >= 25; });
  const int had = t->RecordCount();
  t->ImportData(source);
  EXPECT_EQ(t->RecordCount(), had + 10);
}

}  // namespace
}  // namespace tav

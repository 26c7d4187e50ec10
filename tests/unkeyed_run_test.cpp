// A run of inserts made without keys gathers the keys as the records go in
// and builds every index from them at its end. Another dataset of the same
// table (a user's memory table, or a disk table of the same connection) may
// add, change or delete records between the run's inserts: the run's end
// must leave every index holding exactly the table's records, as a re-index
// from the records does.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_database.h"
#include "engine/components/testing/memory_table_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

class UnkeyedRunBesideAnotherDataset : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    fields_.Add("K", host::ftInteger);
    fields_.Add("S", host::ftString, 10);
    indexes_.Add("ixK", "K", host::TIndexOptions{host::ixUnique});
    indexes_.Add("ixS", "S", host::TIndexOptions{});
  }

  void Bind(TTavDataBase& db, TTavDataSet& ds, bool memory, const std::string& name) {
    ds.SetDataBase(&db);
    ds.SetMemory(memory);
    ds.SetTableName(name);
  }

  static void Fill(TTavDataSet& ds, int32_t k) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataAsVariant(0, k);
    ds.DataSetSetFieldDataAsVariant(1, "s" + std::to_string(k % 7));
  }

  static bool FindK(TTavDataSet& ds, int32_t k) {
    ds.InitializeNewRecord(ds.RecordBuffer(), false);
    ds.DataSetSetFieldDataToRecBufAsVariant(0, ds.RecordBuffer(), k);
    return ds.Find(stEQ, "ixK");
  }

  // Every index's walk, in each index's order.
  static std::vector<std::vector<uint32_t>> Walks(TTavDataSet& ds) {
    std::vector<std::vector<uint32_t>> out;
    for (const char* name : {"ixK", "ixS"}) {
      ds.InternalSetIndexName(name);
      out.push_back(WalkAddresses(ds, true));
    }
    return out;
  }

  os::test::TTempDir dir_;
  host::TFieldDefs fields_;
  host::TIndexDefs indexes_;
};

TEST_F(UnkeyedRunBesideAnotherDataset, TheRunsEndIndexesWhatTheOtherDatasetAddedAndLeavesOutWhatItDeleted) {
  TTavDataBase memory(nullptr);
  memory.SetDataBaseName(kMemoryDataBaseName);
  memory.Open();
  {
    TTavDataBase creator(nullptr);
    creator.SetDataBaseName(dir_ / "unkeyed.tav");
    creator.CreateDatabase();
  }
  TTavDataBase disk(nullptr);
  disk.SetDataBaseName(dir_ / "unkeyed.tav");
  disk.SetExclusive(true);
  disk.Open();
  enum TOther { kKeyedAdd, kDeleteOld, kUpdateOld };
  int table = 0;
  for (TTavDataBase* db : {&memory, &disk}) {
    for (const TOther other : {kKeyedAdd, kDeleteOld, kUpdateOld}) {
      SCOPED_TRACE(testing::Message() << (db == &memory ? "memory" : "disk") << " other " << static_cast<int>(other));
      const std::string name = "R" + std::to_string(table++);
      const bool isMemory = db == &memory;
      TTavDataSet a(nullptr), b(nullptr);
      Bind(*db, a, isMemory, name);
      a.SetTableDef(isMemory, fields_, indexes_);
      a.InternalCreateTable();
      a.DataSetOpen();
      for (int k = 0; k < 5; ++k) {
        Fill(a, k);
        a.AddRecord(false);
      }
      Bind(*db, b, isMemory, name);
      b.DataSetOpen();
      int32_t next = 100;
      for (int i = 0; i < 20; ++i) {
        Fill(a, next++);
        a.AddRecordUnkeyed();
      }
      int expected = 25;
      switch (other) {
        case kKeyedAdd:
          Fill(b, 9999);
          b.AddRecord(false);
          ++expected;
          break;
        case kDeleteOld:
          ASSERT_TRUE(FindK(b, 2));
          ASSERT_EQ(b.DeleteRecord(nullptr), 0);
          --expected;
          break;
        case kUpdateOld:
          ASSERT_TRUE(FindK(b, 3));
          b.DataSetSetFieldDataAsVariant(0, 7777);
          b.UpdateRecord();
          break;
      }
      for (int i = 0; i < 20; ++i) {
        Fill(a, next++);
        a.AddRecordUnkeyed();
      }
      expected += 20;
      a.EndUnkeyedRun();
      const std::vector<std::vector<uint32_t>> ended = Walks(a);
      for (const auto& walk : ended) EXPECT_EQ(walk.size(), static_cast<size_t>(expected));
      EXPECT_EQ(FindK(a, 9999), other == kKeyedAdd);
      EXPECT_EQ(FindK(a, 2), other != kDeleteOld);
      EXPECT_EQ(FindK(a, 3), other != kUpdateOld);
      EXPECT_EQ(FindK(a, 7777), other == kUpdateOld);
      EXPECT_TRUE(FindK(a, next - 1));
      a.InternalReIndex(false);
      EXPECT_EQ(ended, Walks(a));
      b.DataSetClose();
      a.DataSetClose();
    }
  }
}

}  // namespace
}  // namespace tav::test

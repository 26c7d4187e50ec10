// Test support for the data-access components: a dataset bound to the
// in-memory database, its connection opened first; the records a walk
// reaches.
//
// Callers must keep: the connection outlives the dataset's open cursor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/components/tav_data_set.h"

namespace tav::test {

// Connects `db` to "MEMORY" (when it is not connected) and binds `ds` to it
// for memory table `tableName` (left as it is when empty).
inline void ConnectMemory(TTavDataBase& db, TTavDataSet& ds, const std::string& tableName = "") {
  if (!db.Connected()) {
    db.SetDataBaseName(kMemoryDataBaseName);
    db.Open();
  }
  ds.SetDataBase(&db);
  ds.SetMemory(true);
  if (!tableName.empty()) ds.SetTableName(tableName);
}

// The addresses the cursor reaches from first to last, or from last to
// first (given in first-to-last order).
inline std::vector<uint32_t> WalkAddresses(TTavDataSet& ds, bool forward) {
  std::vector<uint32_t> out;
  if (forward) {
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext()) out.push_back(ds.DatasetGetRecAddr());
  } else {
    for (bool ok = ds.DataSetLast(); ok; ok = ds.DataSetPrior()) out.push_back(ds.DatasetGetRecAddr());
    std::reverse(out.begin(), out.end());
  }
  return out;
}

}  // namespace tav::test

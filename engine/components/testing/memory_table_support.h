// Test support for the data-access components: a dataset bound to the
// in-memory database, its connection opened first.
//
// Callers must keep: the connection outlives the dataset's open cursor.
#pragma once

#include <string>

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

}  // namespace tav::test

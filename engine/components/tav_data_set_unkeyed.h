// TUnkeyedRun: the keys of a run of inserts made without them
// (TTavDataSet::AddRecordUnkeyed), gathered as each record goes in, so that
// the run's end builds every index without reading the records back.
//
// The keys are those a build from the records would gather: the records the
// table held when the run began, in address order, then each record added,
// as long as every added record lies past all those before it. Once one
// does not, the gathered keys are dropped and the run's end reads the
// records as a re-index does.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/index/index_bulk_load.h"

namespace tav {

struct TUnkeyedRun {
  // One per index, in the index manager's order.
  std::vector<std::unique_ptr<TIndexBulkLoad>> Loads;
  // Per load: the index is ordered by the logical record number alone,
  // which each added record takes above every number before it.
  std::vector<bool> ByNumber;
  uint32_t LastAddress = 0;  // the highest address gathered
  bool InAddressOrder = true;
  // The table header's write count and change count after the run's last
  // step: another dataset that wrote the table since (a record the run
  // gathered changed or deleted, or one added with its keys) leaves the
  // gathered keys short of the table.
  uint64_t Writes = 0;
  uint32_t Changes = 0;

  // The run's end then reads the records back.
  void Drop() {
    InAddressOrder = false;
    Loads.clear();
  }
};

}  // namespace tav

// The table component's whole-table operations: re-index, rebuild and
// restructure through the cursor (tav_restructure.cpp), the restructure
// definitions the caller edits, and importing the records of another
// dataset.

#include <memory>
#include <vector>

#include "engine/components/tav_table.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/table/restructure_defs.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"

namespace tav {

namespace {

// The greatest BLOB block size a restructure accepts, and the least.
constexpr int32_t kMinBlobBlockSize = 64;
constexpr int32_t kMaxBlobBlockSize = 65536;

void LogLine(const std::string& source, const std::string& text) {
  if (auto logger = GDBLogger()) logger->LogItem(source, text);
}

// The source field each field of the table takes its value from (none where the
// restructure definition names no source field, or the source lacks it), logged.
std::vector<host::TField*> MatchImportFields(TTavTable& table, const TRestructureFieldDefs& defs,
                                             host::TDataSet& source, const std::string& me) {
  LogLine(me, "Matching fields");
  std::vector<host::TField*> map(static_cast<size_t>(table.FieldCount()), nullptr);
  for (int i = 0; i < table.FieldCount() && i < defs.Count(); ++i) {
    const TRestructureFieldDef& def = *defs.Items(i);
    host::TField* from = def.SourceFieldName().empty() ? nullptr : source.FindField(def.SourceFieldName());
    map[static_cast<size_t>(i)] = from;
    if (from)
      LogLine(me, host::Format("Source field [%s] mapped to Field [%s]", {from->FieldName(), def.Name()}));
    else
      LogLine(me, host::Format("No Source field set for Field [%s]", {def.Name()}));
  }
  return map;
}

// Copies the mapped source fields into the record being inserted; a value that does not
// convert is logged and counted, and the rest still go in.
int CopyImportFields(TTavTable& table, const std::vector<host::TField*>& map, int recordNo,
                     const std::string& me) {
  int errors = 0;
  for (size_t i = 0; i < map.size(); ++i) {
    host::TField* from = map[i];
    host::TField* to = table.Fields(static_cast<int>(i));
    if (!from || to->DataType() == host::ftAutoInc || to->ReadOnly()) continue;
    try {
      to->SetValue(from->Value());
    } catch (const std::exception& e) {
      LogLine(me, host::Format("   Record %d  Source field \"%-10s\" could not be converted to "
                               "Destination field \"%-10s\". Source value \"%s\"   Error: %s",
                               {recordNo, from->FieldName(), to->FieldName(), from->AsString(), e.what()}));
      ++errors;
    }
  }
  return errors;
}

}  // namespace

void TTavTable::FreeRestructureDefs() {
  restructure_field_defs_.reset();
  restructure_index_defs_.reset();
}

TRestructureFieldDefs& TTavTable::GetRestructureFieldDefs() {
  if (!restructure_field_defs_) {
    if (FieldDefs().Count() == 0 && DataBase()) InitFieldDefs();
    restructure_field_defs_ = std::make_unique<TRestructureFieldDefs>();
    restructure_field_defs_->Assign(FieldDefs());
  }
  return *restructure_field_defs_;
}

TRestructureIndexDefs& TTavTable::GetRestructureIndexDefs() {
  if (!restructure_index_defs_) {
    if (IndexDefs().Count() == 0 && DataBase()) UpdateIndexDefs();
    restructure_index_defs_ = std::make_unique<TRestructureIndexDefs>();
    restructure_index_defs_->Assign(IndexDefs());
  }
  return *restructure_index_defs_;
}

bool TTavTable::ReIndex(bool ignoreDuplicates) {
  const char* caller = "TTavTable.ReIndex";
  if (!DataBase()) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  DataBase()->QueryOpenStatus(true, true);
  DataBase()->CheckConnected(false);
  CheckActive();
  CheckBrowseMode();
  InternalReIndex(ignoreDuplicates);
  // The filter's records are listed again over the new trees.
  InternalResetFilter();
  First();
  return true;
}

bool TTavTable::RebuildTable() {
  const char* caller = "TTavTable.RebuildTable";
  CheckInactive();
  if (Memory()) TavDatabaseError(kCannotOperateOnThisTableType, caller, "", this);
  InternalRebuildTable();
  return true;
}

bool TTavTable::RestructureTable(const TRestructureRecord& record) {
  const char* caller = "TTavTable.RestructureTable";
  CheckInactive();
  if (Memory()) TavDatabaseError(kCannotOperateOnThisTableType, caller, "", this);
  if (!DataBase()) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  if (DataBase()->InTransaction())
    TavDatabaseError(kCannotOperateWhileTransactionActive, caller, "", this);
  SetMemory(false);
  // Copies: the caller's definitions stay as they were edited.
  TRestructureFieldDefs fields;
  fields.Assign(GetRestructureFieldDefs());
  TRestructureIndexDefs indexes;
  indexes.Assign(GetRestructureIndexDefs());
  host::TStringList changeLog;
  fields.SetChangeLog(&changeLog);
  indexes.SetChangeLog(&changeLog);
  fields.ValidateAgainstOriginalDefs(&FieldDefs());
  indexes.ValidateAgainstOriginalDefs(&IndexDefs(), fields);
  for (int i = 0; i < changeLog.Count(); ++i) LogLine(TableName(), changeLog.Strings(i));
  if (record.ChangeBlobBlockSize &&
      (record.BlobBlockSize < kMinBlobBlockSize || record.BlobBlockSize > kMaxBlobBlockSize))
    TavDatabaseErrorFmt(
        kInvalidBlobLength, caller,
        "%s is not a valid value (min. length %d, max. length %d) bytes",
        {std::to_string(record.BlobBlockSize), kMinBlobBlockSize, kMaxBlobBlockSize}, this);
  if (record.ResetAutoIncValue || record.ChangeBlobBlockSize || record.ChangeSortOrder)
    fields.SetChangeStatus(dcDataChange);
  fields.SetResetAutoIncValue(record.ResetAutoIncValue);
  fields.SetAutoIncResetValue(record.AutoIncResetValue);
  TRestructureDetails details;
  details.NewFieldDefs = &fields;
  details.NewIndexDefs = &indexes;
  details.DestFieldDefs = &FieldDefs();
  details.DestIndexDefs = &IndexDefs();
  details.ChangeBlobBlockSize = record.ChangeBlobBlockSize;
  details.NewBlobBlockSize = record.BlobBlockSize;
  details.ChangeSortOrder = record.ChangeSortOrder;
  details.NewSortOrder = record.SortOrder;
  // The definitions the caller edited now describe the table.
  FreeRestructureDefs();
  InternalRestructureTable(details);
  return true;
}

void TTavTable::ImportData(host::TDataSet& source) {
  const char* caller = "TTavTable.ImportData";
  const std::string me = TableName() + ".DataImport";
  CheckActive();
  source.CheckBrowseMode();
  if (!restructure_field_defs_)
    TavDatabaseError(kSystemObjectIsNotInitialized, caller, "FRestructureFieldDefs", this);

  const std::vector<host::TField*> map = MatchImportFields(*this, *restructure_field_defs_, source, me);

  int errors = 0;
  int recordNo = 0;
  int inserted = 0;
  int64_t progressSum = 0;
  const int total = source.RecordCount();
  const int step = total / 20;
  bool abort = false;
  source.First();
  while (!source.Eof() && !abort) {
    // Each source record is passed exactly once, whatever fails.
    bool advanced = false;
    try {
      LogLine(me, "Starting import");
      Insert();
      errors += CopyImportFields(*this, map, recordNo, me);
      Post();
      source.Next();
      advanced = true;
      ++inserted;
      ++recordNo;
      progressSum += 100;
      if (OnUpdateProgress() && step != 0 && recordNo % step == 0)
        OnUpdateProgress()(static_cast<int>(progressSum / total), abort);
    } catch (const std::exception& e) {
      LogLine(me, host::Format("Record %d could not be added. Error: %s", {recordNo, e.what()}));
      try {
        Cancel();
      } catch (...) {
        // The insert is gone either way.
      }
      if (!advanced) {
        source.Next();
        ++recordNo;
      }
      ++errors;
    }
  }
  LogLine(me, "Errors detected = " + std::to_string(errors));
  LogLine(me, "Records inserted = " + std::to_string(inserted));
}

}  // namespace tav

// Whole-table operations of TTavDataSet: re-indexing, rebuilding and
// restructuring a table, copying raw table data between two datasets and
// transferring record images of another layout.
//
// Rebuild and restructure first copy the database file to the ".tvx"
// backup beside it, then refill the table from that copy through
// TTavDataBase::RebuildTable, which calls CopyRawTableData. A failure after
// the backup leaves the backup in place and the dataset closed.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_data_set_unkeyed.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/index/index_bulk_load.h"
#include "engine/storage/table/privileges.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_header.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/list.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {

using host::GetU16;
using host::GetU32;
using host::PutU16;
using host::PutU32;

constexpr int kTransferHeaderSize = 14;
constexpr int kCopyCommitInterval = 100;

void LogLine(const std::string& source, const std::string& text) {
  if (auto logger = GDBLogger()) logger->LogItem(source, text);
}

// Every allocated record block of the dataset's record file.
std::vector<uint32_t> ListRecordAddresses(TTableDef& def) {
  host::TList list;
  def.RecordInterface()->ListBlocks(list);
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) out.push_back(static_cast<uint32_t>(list.Items(i)));
  return out;
}

// One bulk load per index, in the index manager's order.
std::vector<std::unique_ptr<TIndexBulkLoad>> NewIndexLoads(TIndexManager& indexes) {
  std::vector<std::unique_ptr<TIndexBulkLoad>> loads;
  for (int i = 0; i < indexes.Count(); ++i) loads.push_back(std::make_unique<TIndexBulkLoad>(*indexes.Items(i)));
  return loads;
}

// Reads the record at `address` into `record` and, when it is in use, adds
// its keys to every load.
void LoadRecordKeys(TRecordMgr& records, uint32_t address, std::vector<uint8_t>& record,
                    const std::vector<std::unique_ptr<TIndexBulkLoad>>& loads) {
  records.ReadRecord(address, record.data(), false);
  if (record[kRecInUseOffset] == 1)
    for (auto& load : loads) load->Add(record.data(), address);
}

// Reports the rounded percentage when it changed; True asks to stop.
class TProgress {
 public:
  TProgress(const TUpdateProgressEvent& event, size_t total) : event_(event), total_(total) {}
  bool Step(size_t done) {
    if (!event_ || total_ == 0) return false;
    const int percent = static_cast<int>((done * 100 + total_ / 2) / total_);
    if (percent == last_) return false;
    last_ = percent;
    bool abort = false;
    event_(percent, abort);
    return abort;
  }

 private:
  const TUpdateProgressEvent& event_;
  size_t total_;
  int last_ = -1;
};

// A transaction of the copy's own: rolled back unless committed.
class TOwnTransaction {
 public:
  explicit TOwnTransaction(TTavDataBase& db) : db_(db) {
    if (db_.InTransaction()) return;
    db_.StartTransaction();
    own_ = db_.InTransaction();
  }
  ~TOwnTransaction() {
    if (!own_) return;
    try {
      db_.Rollback();
    } catch (...) {
      // The first failure is the one reported.
    }
  }
  TOwnTransaction(const TOwnTransaction&) = delete;
  TOwnTransaction& operator=(const TOwnTransaction&) = delete;
  bool Own() const { return own_; }
  void Commit() {
    if (!own_) return;
    db_.Commit();
    own_ = false;
  }
  void Restart() {
    Commit();
    db_.StartTransaction();
    own_ = db_.InTransaction();
  }

 private:
  TTavDataBase& db_;
  bool own_ = false;
};

// Closes the dataset on every exit.
class TCloseGuard {
 public:
  explicit TCloseGuard(TTavDataSet& ds) : ds_(ds) {}
  ~TCloseGuard() {
    try {
      ds_.DataSetClose();
    } catch (...) {
      // The first failure is the one reported.
    }
  }
  TCloseGuard(const TCloseGuard&) = delete;
  TCloseGuard& operator=(const TCloseGuard&) = delete;

 private:
  TTavDataSet& ds_;
};

// Bytes a field's value takes in a record: the length word's for a
// variable field, else its size.
int32_t StoredLength(const TInternalFieldItem& f, const uint8_t* record) {
  return f.SizeMarkerOffset() ? GetU16(record + f.SizeMarkerOffset()) : f.FieldSize();
}

}  // namespace

std::string TTavDataSet::BackupFileName() const {
  return host::ChangeFileExt(data_base_->Directory() + data_base_->DataBaseName(), ".tvx");
}

// ---------------------------------------------------------------------------
// Re-indexing

namespace {

// Which records (numbered in address order) get keys. A record whose key a
// unique or primary index already holds from an earlier record gets none
// at all; without ignoreDuplicates the first such record ends the
// re-index, the records before it indexed, and `violated` names its index.
std::vector<bool> RecordsToIndex(TIndexManager& indexes,
                                 const std::vector<std::unique_ptr<TIndexBulkLoad>>& loads,
                                 size_t records, bool ignoreDuplicates, const TIndexItem*& violated) {
  const int indexCount = indexes.Count();
  std::vector<bool> keep(records, true);
  size_t indexed = records;
  std::vector<std::vector<uint32_t>> runs(static_cast<size_t>(indexCount));
  std::vector<std::vector<bool>> taken(static_cast<size_t>(indexCount));
  for (int i = 0; i < indexCount; ++i) {
    const TIndexItem& item = *indexes.Items(i);
    if (!item.Unique() && !item.Primary()) continue;
    runs[static_cast<size_t>(i)] = loads[static_cast<size_t>(i)]->EqualKeyRuns();
    taken[static_cast<size_t>(i)].assign(records, false);
  }
  for (size_t r = 0; r < records && !violated; ++r) {
    for (int i = 0; i < indexCount && keep[r]; ++i) {
      const auto& run = runs[static_cast<size_t>(i)];
      if (run.empty() || !taken[static_cast<size_t>(i)][run[r]]) continue;
      keep[r] = false;
      if (!ignoreDuplicates) {
        violated = indexes.Items(i);
        indexed = r;
      }
    }
    if (!keep[r]) continue;
    for (int i = 0; i < indexCount; ++i)
      if (!runs[static_cast<size_t>(i)].empty()) taken[static_cast<size_t>(i)][runs[static_cast<size_t>(i)][r]] = true;
  }
  for (size_t r = indexed; r < records; ++r) keep[r] = false;
  return keep;
}

}  // namespace

void TTavDataSet::InternalReIndex(bool ignoreDuplicates) { BuildIndexesFromRecords(ignoreDuplicates, true); }

void TTavDataSet::BuildIndexesFromRecords(bool ignoreDuplicates, bool reportProgress) {
  CheckInternalActive();
  unkeyed_run_.reset();
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  header.SetDirty(true);
  const std::vector<uint32_t> addresses = ListRecordAddresses(*table_def_);

  // Every index's keys of the records in use, in address order; the trees
  // are then built from them sorted, each in one pass.
  std::vector<std::unique_ptr<TIndexBulkLoad>> loads = NewIndexLoads(*index_mgr_);
  std::vector<uint8_t> record(static_cast<size_t>(record_size_));
  const TUpdateProgressEvent noProgress;
  TProgress progress(reportProgress ? on_update_progress_ : noProgress, addresses.size());
  for (size_t n = 0; n < addresses.size(); ++n) {
    LoadRecordKeys(*record_mgr_, addresses[n], record, loads);
    if (progress.Step(n + 1)) break;
  }
  BuildIndexesFromLoads(loads, ignoreDuplicates);
  lock.Release();
}

void TTavDataSet::BuildIndexesFromLoads(std::vector<std::unique_ptr<TIndexBulkLoad>>& loads, bool ignoreDuplicates) {
  const char* caller = "TTavDataSet.InternalReIndex";
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  range_end_located_ = {false, false};
  index_on_buffer_ = false;
  const size_t records = loads.empty() ? 0 : loads.front()->Count();
  for (auto& load : loads) load->Sort();

  const TIndexItem* violated = nullptr;
  // Without a unique or primary index every record is indexed.
  bool anyUnique = false;
  for (int i = 0; i < index_mgr_->Count(); ++i)
    anyUnique = anyUnique || index_mgr_->Items(i)->Unique() || index_mgr_->Items(i)->Primary();
  std::vector<bool> keep;
  if (anyUnique) keep = RecordsToIndex(*index_mgr_, loads, records, ignoreDuplicates, violated);
  for (auto& load : loads) load->Build(*index_mgr_, anyUnique ? &keep : nullptr);
  if (violated)
    TavDatabaseErrorFmt(kKeyViolation, caller, "Index %s", {violated->IndexName()}, this);
}

// ---------------------------------------------------------------------------
// Unkeyed runs

namespace {

void NoteUnkeyedStep(TUnkeyedRun& run, const TTableHeader* header) {
  if (header == nullptr) return;
  run.Writes = header->WriteCount();
  run.Changes = header->GetModifiedFlag();
}

bool OthersWroteSince(const TUnkeyedRun& run, const TTableHeader* header) {
  return header == nullptr || header->WriteCount() != run.Writes || header->GetModifiedFlag() != run.Changes;
}

}  // namespace

void TTavDataSet::StartUnkeyedRun() {
  auto run = std::make_unique<TUnkeyedRun>();
  run->Loads = NewIndexLoads(*index_mgr_);
  for (int i = 0; i < index_mgr_->Count(); ++i) {
    // The hidden index of a table without indexes orders by the logical
    // record number alone.
    const TKeyFormat& format = index_mgr_->Items(i)->Tree().KeyFormat();
    run->ByNumber.push_back(format.KeyFieldCount() == 1 && format.Field(0).RecBufOffset == kRecLogicalNoOffset &&
                            format.Field(0).DataType == host::ftInteger && !format.Field(0).Descending);
  }
  TWriteLockGuard lock(*this);
  try {
    std::vector<uint8_t> record(static_cast<size_t>(record_size_));
    for (const uint32_t address : ListRecordAddresses(*table_def_)) {
      if (address <= run->LastAddress) {
        run->InAddressOrder = false;
        break;
      }
      run->LastAddress = address;
      LoadRecordKeys(*record_mgr_, address, record, run->Loads);
    }
  } catch (const ETavDatabaseError&) {
    // A record that cannot be read or keyed is reported by the run's end,
    // which reads every record.
    run->InAddressOrder = false;
  }
  if (!run->InAddressOrder) run->Drop();
  unkeyed_run_ = std::move(run);
  lock.Release();
  NoteUnkeyedStep(*unkeyed_run_, table_def_->TableHeader());
}

void TTavDataSet::GatherUnkeyed(const uint8_t* buf, uint32_t address) {
  TUnkeyedRun& run = *unkeyed_run_;
  if (!run.InAddressOrder) return;
  if (address <= run.LastAddress) {
    run.Drop();
    return;
  }
  run.LastAddress = address;
  // A new record's number is above every number the table gave out; the
  // key compares it as a signed number.
  const bool numberAbove = GetU32(buf + kRecLogicalNoOffset) <= static_cast<uint32_t>(INT32_MAX);
  try {
    for (size_t i = 0; i < run.Loads.size(); ++i) {
      if (numberAbove && run.ByNumber[i])
        run.Loads[i]->AddAbove(buf, address);
      else
        run.Loads[i]->Add(buf, address);
    }
  } catch (const ETavDatabaseError&) {
    // The record is stored: the run's end reads it back, and a key it
    // cannot make is reported there.
    run.Drop();
  }
}

void TTavDataSet::AddRecordUnkeyed() {
  CheckInternalActive();
  if (!unkeyed_run_)
    StartUnkeyedRun();
  else if (unkeyed_run_->InAddressOrder && OthersWroteSince(*unkeyed_run_, table_def_->TableHeader()))
    unkeyed_run_->Drop();
  try {
    AddRecordKeepingNumber(false, false, true, false);
  } catch (...) {
    // What went in is not known: the run's end reads the records.
    if (unkeyed_run_) unkeyed_run_->Drop();
    throw;
  }
  if (unkeyed_run_) NoteUnkeyedStep(*unkeyed_run_, table_def_->TableHeader());
}

void TTavDataSet::EndUnkeyedRun() {
  std::unique_ptr<TUnkeyedRun> run = std::move(unkeyed_run_);
  if (run && run->InAddressOrder && OthersWroteSince(*run, table_def_->TableHeader())) run.reset();
  if (!run || !run->InAddressOrder) {
    BuildIndexesFromRecords(false, false);
    return;
  }
  CheckInternalActive();
  TWriteLockGuard lock(*this);
  // Under the lock the header is as the table holds it: a write another
  // connection made since the run's last step shows now.
  if (OthersWroteSince(*run, table_def_->TableHeader())) {
    lock.Release();
    BuildIndexesFromRecords(false, false);
    return;
  }
  table_def_->TableHeader()->SetDirty(true);
  BuildIndexesFromLoads(run->Loads, false);
  lock.Release();
}

void TTavDataSet::InitializeRebuild() {
  CheckInternalActive();
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  header.SetDirty(true);
  TBaseIOInterface* io = table_def_->RecordInterface();
  io->Empty(true);
  io->SetFirstEmpty(0);
  io->SetFirstEmptyValid(true);
  header.SetRecordFirstEmpty(0);
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  InitializeNewRecord(record_buffer_.data(), false);
  lock.Release();
}

void TTavDataSet::FinalizeRebuild() { InternalReIndex(true); }

// ---------------------------------------------------------------------------
// Rebuild and restructure

void TTavDataSet::BackupDataBase() {
  // The copy is of the file: what the cache holds goes there first.
  data_base_->FlushBuffers();
  data_base_->DiskMgr()->CopyCurrentFile(BackupFileName());
}

void TTavDataSet::RebuildFromBackup(const std::function<void()>& prepare) {
  DataSetOpen();
  TCloseGuard close(*this);
  if (prepare) prepare();
  data_base_->RebuildTable(table_name_, BackupFileName(), this);
}

void TTavDataSet::CheckRebuildable(const char* caller) {
  if (!data_base_) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  data_base_->QueryOpenStatus(true, true);
  data_base_->CheckConnected(false);
  if (data_base_->InTransaction())
    TavDatabaseError(kCannotOperateWhileTransactionActive, caller, "", this);
  CheckInternalInactive();
}

void TTavDataSet::InternalRebuildTable() {
  const char* caller = "TTavDataSet.InternalRebuildTable";
  CheckRebuildable(caller);
  BackupDataBase();
  RebuildFromBackup([this] {
    DataSetEmptyTable();
    // Every field comes from the field of its own name.
    TInternalFields& fields = GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetSourceField(fields.Items(i)->FieldName());
  });
}

namespace {

void CheckRestructureDetails(const TRestructureDetails& record, const char* caller,
                             const host::TObject* sender) {
  if (!record.NewFieldDefs || !record.NewIndexDefs)
    TavDatabaseErrorFmt(kSystemObjectIsNotInitialized, caller,
                        "%s has not been set or is out of range",
                        {"RestructureDetails.NewFieldDefs"}, sender);
  if (!record.DestFieldDefs || !record.DestIndexDefs)
    TavDatabaseErrorFmt(kSystemObjectIsNotInitialized, caller,
                        "%s has not been set or is out of range",
                        {"RestructureDetails.DestFieldDefs"}, sender);
}

// The new definition stands under the old table's identity, its auto-
// increment fields keeping their generators (matched by name).
void KeepTableIdentity(TTableDef& def, const TTableDef& old) {
  std::map<std::string, int32_t> generators;
  for (int i = 0; i < old.InternalFields().Count(); ++i) {
    const TInternalFieldItem& f = *old.InternalFields().Items(i);
    if (f.DataType() == host::ftAutoInc) generators[host::UpperCase(f.FieldName())] = f.FieldGeneratorID();
  }
  def.SetTableID(old.TableID());
  def.SetCreationDate(old.CreationDate());
  def.SetCreatedBy(old.CreatedBy());
  TInternalFields& fields = def.InternalFields();
  for (int i = 0; i < fields.Count(); ++i) {
    auto it = generators.find(host::UpperCase(fields.Items(i)->FieldName()));
    if (it != generators.end()) fields.Items(i)->SetFieldGeneratorID(it->second);
  }
}

// Each new index's source name (empty for a new index), read before
// assigning gives the items new sources.
std::vector<std::string> SourceIndexNames(const TRestructureDetails& record) {
  std::vector<std::string> names;
  for (int i = 0; i < record.NewIndexDefs->Count(); ++i) {
    const host::TIndexDef* source = record.NewIndexDefs->Items(i)->SourceIndexDef();
    names.push_back(source ? source->Name() : std::string());
  }
  return names;
}

// Names, positions and Required flags only: the stored definition `def`
// takes them, no record or index block changes. oldIndexNames holds each
// new index's source name (empty for a new index).
void ApplyDefinitionOnlyChanges(TTableDef& def, const TRestructureDetails& record,
                                const std::vector<std::string>& oldIndexNames) {
  TInternalFields& fields = def.InternalFields();
  TAV_ASSERT(fields.Count() == record.NewFieldDefs->Count(),
             "Unexpected mismatch in restructure field defs count and table defs count");
  TInternalIndexDefs& indexDefs = def.InternalIndexDefs();
  TKeyFields& keyFields = def.KeyFields();
  for (int i = 0; i < record.NewFieldDefs->Count(); ++i) {
    const TRestructureFieldDef& item = *record.NewFieldDefs->Items(i);
    if (item.ChangeStatus() != dcDefOnlyChange) continue;
    TInternalFieldItem* field = fields.FindField(item.SourceFieldName());
    TAV_ASSERT(field != nullptr, "Field def not found for updating");
    if (field->FieldName() != item.Name()) {
      for (int k = 0; k < keyFields.Count(); ++k)
        if (host::AnsiSameText(keyFields.Items(k)->FieldName(), field->FieldName()))
          keyFields.Items(k)->SetFieldName(item.Name());
      field->SetFieldName(item.Name());
    }
    field->SetRequired(item.Required());
    field->SetFieldNo(i);
    field->SetIndex(i);
  }
  for (int i = 0; i < record.NewIndexDefs->Count(); ++i) {
    const TRestructureIndexDef& item = *record.NewIndexDefs->Items(i);
    const std::string& oldName = oldIndexNames[static_cast<size_t>(i)];
    if (item.ChangeStatus() != dcDefOnlyChange || oldName.empty()) continue;
    TInternalIndexDef* indexDef = indexDefs.FindIndexDef(oldName);
    if (!indexDef) continue;
    indexDef->SetIndexName(item.Name());
    for (int k = 0; k < keyFields.Count(); ++k)
      if (host::AnsiSameText(keyFields.Items(k)->IndexName(), oldName)) keyFields.Items(k)->SetIndexName(item.Name());
  }
}

}  // namespace

void TTavDataSet::InternalRestructureTable(const TRestructureDetails& record) {
  const char* caller = "TTavDataSet.InternalRestructureTable";
  CheckRebuildable(caller);
  data_base_->CheckTableObjectPrivilege(table_name_, opAlterObj, caller);
  CheckRestructureDetails(record, caller, this);
  const TDefChangeType fieldChange = record.NewFieldDefs->ChangeStatus();
  const TDefChangeType indexChange = record.NewIndexDefs->ChangeStatus();
  if (fieldChange == dcNoChange && indexChange == dcNoChange) return;

  const std::vector<std::string> oldIndexNames = SourceIndexNames(record);
  record.NewFieldDefs->AssignTo(*record.DestFieldDefs);
  record.NewIndexDefs->AssignTo(*record.DestIndexDefs);
  memory_ = false;

  TTableDef old(nullptr);
  data_base_->QueryTableDef(table_name_, false, old);
  auto buildNew = [&] {
    SetTableDef(false, *record.DestFieldDefs, *record.DestIndexDefs);
    KeepTableIdentity(*table_def_, old);
  };

  BackupDataBase();
  if (DefChangeNeedsData(fieldChange)) {
    const TSortOrder keepSort = sort_order_;
    const int32_t keepBlob = blob_block_size_;
    sort_order_ = record.ChangeSortOrder ? record.NewSortOrder : old.SortOrder();
    blob_block_size_ = record.ChangeBlobBlockSize ? record.NewBlobBlockSize : old.DefaultBlobSize();
    try {
      buildNew();
    } catch (...) {
      sort_order_ = keepSort;
      blob_block_size_ = keepBlob;
      throw;
    }
    data_base_->UpdateTableDef(*table_def_, record);
    RebuildFromBackup([&] {
      // Old fields map to new ones by name; a new field comes from nothing.
      TInternalFields& fields = GetInternalFields();
      for (int i = 0; i < fields.Count() && i < record.NewFieldDefs->Count(); ++i)
        fields.Items(i)->SetSourceField(record.NewFieldDefs->Items(i)->SourceFieldName());
    });
    return;
  }
  if (DefChangeNeedsData(indexChange)) {
    sort_order_ = old.SortOrder();
    blob_block_size_ = old.DefaultBlobSize();
    buildNew();
    data_base_->UpdateTableDef(*table_def_, record);
    DataSetOpen();
    TCloseGuard close(*this);
    InternalReIndex(true);
    return;
  }
  ApplyDefinitionOnlyChanges(old, record, oldIndexNames);
  data_base_->UpdateTableDef(old, record);
}

// ---------------------------------------------------------------------------
// Copying table data

namespace {

// A field of the copy's destination and the source field it is filled from.
struct TCopiedField {
  const TInternalFieldItem* Dest;
  const TInternalFieldItem* Source;
  bool Blob;
  int32_t CutTo;  // characters a string value keeps, -1 for other types
  bool Bytes;     // copied as the record's bytes: both fields store values alike
};

// Whether a value of `source` goes into `dest` as its bytes with nothing
// lost or changed: the same type and size, neither a BLOB (its bytes name
// blocks of the source) nor a Boolean (its byte is made 0 or 1 on the way).
bool CopiedAsBytes(const TInternalFieldItem& dest, const TInternalFieldItem& source) {
  const host::TFieldType type = dest.DataType();
  return type == source.DataType() && dest.FieldSize() == source.FieldSize() && IsRecordFieldType(type) &&
         !IsBlobFieldType(type) && type != host::ftBoolean;
}

// Dest field -> source field, by Dest's source names; a BLOB field pairs
// only with a BLOB field. Each pairing is logged.
std::vector<TCopiedField> MapCopiedFields(TTavDataSet& from, TTavDataSet& dest, const std::string& logSource) {
  std::vector<TCopiedField> map;
  TInternalFields& destFields = dest.GetInternalFields();
  TInternalFields& sourceFields = from.GetInternalFields();
  for (int i = 0; i < destFields.Count(); ++i) {
    const TInternalFieldItem* d = destFields.Items(i);
    const TInternalFieldItem* s = d->SourceField().empty() ? nullptr : sourceFields.FindField(d->SourceField());
    LogLine(logSource, (s ? s->FieldName() : std::string()) + " -> " + d->FieldName());
    if (!s) continue;
    const bool destBlob = dest.IsFieldBlob(d->FieldNo());
    const bool sourceBlob = from.IsFieldBlob(s->FieldNo());
    if (destBlob != sourceBlob) continue;  // mixed pairs are not copied
    const bool text = d->DataType() == host::ftString || d->DataType() == host::ftWideString;
    map.push_back({d, s, destBlob, text ? d->GetWriteableFieldSize() : -1, !destBlob && CopiedAsBytes(*d, *s)});
  }
  return map;
}

// Fills Dest's engine buffer from a source record (`record`, in use) through
// the field map; the record keeps its logical number, which is returned.
uint32_t CopyIntoNewRecord(TTavDataSet& from, const uint8_t* record, TTavDataSet& dest,
                           const std::vector<TCopiedField>& map, host::TMemoryStream& blob) {
  uint8_t* out = dest.RecordBuffer();
  dest.InitializeNewRecord(out, false);
  const uint32_t logicalNo = GetU32(record + kRecLogicalNoOffset);
  PutU32(out + kRecLogicalNoOffset, logicalNo);
  for (const TCopiedField& m : map) {
    if (m.Blob) {
      bool isNull = false;
      blob.Clear();
      from.DataSetGetFieldStreamFromRecBuf(record, m.Source->FieldNo(), isNull, blob);
      blob.SetPosition(0);
      dest.DataSetSetFieldStreamFromRecBuf(m.Dest->FieldNo(), isNull || blob.Size() == 0, blob, out);
    } else if (m.Bytes) {
      int32_t length;
      const uint8_t* data;
      bool isNull;
      from.DataSetGetFieldDataByReferenceFromRecBuf(record, m.Source->FieldNo(), length, data, isNull);
      if (m.CutTo >= 0 && length > m.CutTo) length = m.CutTo;
      dest.DataSetSetFieldDataToRecBuf(m.Dest->FieldNo(), length, out, data, isNull);
    } else {
      host::Variant value = from.DataSetGetFieldDataFromRecBufAsVariant(record, m.Source->FieldNo());
      // A narrower string field keeps what fits: the loss the new layout
      // was validated with.
      if (m.CutTo >= 0 && !value.IsNull()) {
        std::string text = value.AsString();
        if (static_cast<int32_t>(text.size()) > m.CutTo) value = text.substr(0, static_cast<size_t>(m.CutTo));
      }
      try {
        dest.DataSetSetFieldDataToRecBufAsVariant(m.Dest->FieldNo(), out, value);
      } catch (const host::EVariantOverflowError&) {
        // A number the new type cannot hold is lost as a cut text is: the
        // field is left without a value rather than given a wrapped one.
        dest.DataSetSetFieldDataToRecBuf(m.Dest->FieldNo(), 0, out, nullptr, true);
      }
    }
  }
  return logicalNo;
}

// Numbers of deleted records are not handed out again: the copy's header
// counts from the source's highest.
void RaiseLogicalRecordNo(TTableHeader& header, uint32_t sourceLogicalNo) {
  if (header.GetLogicalRecordNo() >= sourceLogicalNo) return;
  header.SetLogicalRecordNo(sourceLogicalNo);
  header.SetDirty(true);
}

// The trace of a copy goes to "dblog.txt" in the database's folder (none for
// a database without one).
void SaveCopyLog(const std::string& directory) {
  if (auto logger = GDBLogger(); logger && !directory.empty()) logger->SaveLogToFile(directory + "dblog.txt");
}

}  // namespace

void TTavDataSet::CopyRawTableData(TTavDataSet* dest) {
  const char* caller = "TTavDataSet.CopyRawTableData";
  TAV_ASSERT(dest != nullptr, "Dest table not assigned in CopyRawTableData");
  CheckInternalActive();
  dest->CheckInternalActive();
  const std::string source = data_base_ ? data_base_->DataBaseName() : std::string(caller);
  LogLine(source, "Copying record data - Starting");
  TTavDataBase& destDb = *dest->DataBase();
  // Declared first, so that the locks below are given back before the
  // transaction is rolled back.
  TOwnTransaction transaction(destDb);
  int copied = 0;
  {
  TWriteLockGuard destLock(*dest);
  TWriteLockGuard sourceLock(*this);
  // A commit gives back every lock of its connection and drops the flags:
  // they are taken again (with the header, which others may have changed).
  auto relock = [&] {
    for (TTavDataSet* ds : {dest, this})
      if (!ds->WriteLocked()) ds->InternalSetWriteLock();
  };

  const std::vector<uint32_t> addresses = ListRecordAddresses(*table_def_);
  LogLine(source, host::Format("Found %d records (including unallocated and deleted records)",
                               {static_cast<int>(addresses.size())}));
  LogLine(source, "Importing data - field mapping...");

  const std::vector<TCopiedField> map = MapCopiedFields(*this, *dest, source);

  // Into an empty table of a database held exclusively the records go in
  // without keys, and each index is built from them at the end.
  const bool withoutKeys =
      destDb.Exclusive() && dest->IndexManager().Count() > 0 && dest->GetTotalRecordCount() == 0;
  uint32_t sourceLogicalNo = table_def_->TableHeader()->GetLogicalRecordNo();
  host::TMemoryStream blob;
  TProgress progress(dest->OnUpdateProgress(), addresses.size());
  for (size_t n = 0; n < addresses.size(); ++n) {
    ReadRecordBuffer(addresses[n], record_buffer_.data());
    if (record_buffer_[kRecInUseOffset] == 1) {
      const uint32_t logicalNo = CopyIntoNewRecord(*this, record_buffer_.data(), *dest, map, blob);
      sourceLogicalNo = std::max(sourceLogicalNo, logicalNo);
      dest->AddRecordKeepingNumber(false, true, withoutKeys);
      ++copied;
    }
    if (progress.Step(n + 1)) break;
    if ((n + 1) % kCopyCommitInterval == 0 && transaction.Own()) {
      dest->WriteTableHeader();
      transaction.Restart();
      relock();
    }
  }
  RaiseLogicalRecordNo(*dest->TableDef().TableHeader(), sourceLogicalNo);
  if (withoutKeys) dest->BuildIndexesFromRecords(false, false);
  LogLine(source, "Records Copied " + std::to_string(copied));
  sourceLock.Release();
  destLock.Release();
  }
  transaction.Commit();
  LogLine(source, "Copying record data - Done");
  SaveCopyLog(destDb.Directory().empty() && data_base_ ? data_base_->Directory() : destDb.Directory());
}

// ---------------------------------------------------------------------------
// Transferring record images of another layout

bool TTavDataSet::InternalTransferRecord(const uint8_t* sourceRecord, const TInternalFields& sourceFields,
                                         bool compare) {
  uint8_t* buf = record_buffer_.data();
  std::memset(buf, 0, static_cast<size_t>(record_size_));
  std::memcpy(buf, sourceRecord, kTransferHeaderSize);
  // The record belongs to this table now.
  PutU32(buf + kRecIdentityOffset, table_lock_id_);
  bool survived = true;
  const TInternalFields& fields = GetInternalFields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    const TInternalFieldItem* s = sourceFields.FindField(f.FieldName());
    if (!s || sourceRecord[s->NullFlagOffset()] == 0) continue;  // null stays null
    buf[f.NullFlagOffset()] = 1;
    const int32_t have = StoredLength(*s, sourceRecord);
    const int32_t room = f.SizeMarkerOffset() ? f.GetWriteableFieldSize() : f.FieldSize();
    // A length word from the record is bounded by the source field's room.
    const int32_t length = std::min({have, room, s->FieldSize()});
    std::memcpy(buf + f.DataOffset(), sourceRecord + s->DataOffset(), static_cast<size_t>(std::max(length, 0)));
    if (f.SizeMarkerOffset()) PutU16(buf + f.SizeMarkerOffset(), static_cast<uint16_t>(std::max(length, 0)));
    // The value survived when it arrived whole in a field of its own type.
    if (compare && (f.DataType() != s->DataType() || length != have ||
                    (!f.SizeMarkerOffset() && f.FieldSize() != s->FieldSize())))
      survived = false;
  }
  return survived;
}

bool TTavDataSet::TransferRecord(const uint8_t* sourceRecord, const TInternalFields& sourceFields, bool& done) {
  CheckInternalActive();
  if (!sourceRecord) return false;
  done = true;
  if (sourceRecord[kRecInUseOffset] != 1) return false;
  if (!InternalTransferRecord(sourceRecord, sourceFields, true)) return false;
  TWriteLockGuard lock(*this);
  ReadTableHeader();
  TTableHeader& header = *table_def_->TableHeader();
  const uint32_t address = record_mgr_->AddRecord(record_buffer_.data());
  TAV_ASSERT(address != 0, "Transfer record. RecAddr = 0");
  const uint32_t logicalNo = GetU32(record_buffer_.data() + kRecLogicalNoOffset);
  if (logicalNo > header.GetLogicalRecordNo()) header.SetLogicalRecordNo(logicalNo);
  header.SetDirty(true);
  WriteTableHeader();
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  lock.Release();
  return true;
}

}  // namespace tav

#include "engine/components/tav_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_header.h"
#include "host/classes/prop_table.h"
#include "host/db/data_source.h"
#include "host/db/db_common.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"

namespace tav {

// Holds the set-key state of a search or range for its length: the key mode
// it edits with and the key-editing flag. On every exit the state before it
// returns, the key mode becomes `after` and the flag is cleared, so that a
// value that fails to convert leaves the table browsing.
class TKeyStateGuard {
 public:
  TKeyStateGuard(TTavTable& table, TKeyMode mode, TKeyMode after)
      : table_(table), after_(after), range_mode_(table.RangeMode()),
        state_(table.SetTempState(host::dsSetKey)) {
    table_.SetKeyMode(mode);
    table_.key_editing_ = true;
  }
  ~TKeyStateGuard() {
    table_.RestoreState(state_);
    table_.SetKeyMode(after_);
    table_.SetRangeMode(range_mode_);
    table_.key_editing_ = false;
  }
  TKeyStateGuard(const TKeyStateGuard&) = delete;
  TKeyStateGuard& operator=(const TKeyStateGuard&) = delete;

 private:
  TTavTable& table_;
  TKeyMode after_;
  TRangeMode range_mode_;
  host::TDataSetState state_;
};

namespace {

// Counts a definition refill the table makes itself, which is no change of
// the program's definitions.
class TFillingDefs {
 public:
  explicit TFillingDefs(int& count) : count_(count) { ++count_; }
  ~TFillingDefs() { --count_; }
  TFillingDefs(const TFillingDefs&) = delete;
  TFillingDefs& operator=(const TFillingDefs&) = delete;

 private:
  int& count_;
};

}  // namespace

TTavTable::TTavTable(host::TComponent* owner)
    : TTavBaseTable(owner), master_link_(std::make_unique<host::TMasterDataLink>(this)) {
  master_link_->OnMasterChange = [this](host::TMasterDataLink*) { MasterChanged(); };
  master_link_->OnMasterDisable = [this](host::TMasterDataLink*) { MasterDisabled(); };
}

TTavTable::~TTavTable() {
  try {
    Destroying();
    Close();
  } catch (...) {
    // A destructor cannot report; the cursor closes with the base.
  }
  master_link_.reset();
}

const host::TPropertyTable& TTavTable::ClassProperties() {
  using T = TTavTable;
  static const host::TPropertyTable table = host::PublishClass<T>(
      "TTavTable", &host::TDataSet::ClassProperties(), [](host::TPublisher<T>& p) {
        // The definitions go with the component only when asked to and
        // there are some.
        p.Collection("FieldDefs", [](T& t) -> host::TFieldDefs& { return t.FieldDefs(); })
            .StoredWhen<T>([](const T& t) {
              return t.StoreDefs() && const_cast<T&>(t).FieldDefs().Count() > 0;
            });
        p.Collection("IndexDefs", [](T& t) -> host::TIndexDefs& { return t.IndexDefs(); })
            .StoredWhen<T>([](const T& t) {
              return t.StoreDefs() && const_cast<T&>(t).IndexDefs().Count() > 0;
            });
        p.Boolean("StoreDefs", &T::StoreDefs, &T::SetStoreDefs).Default(0);
        p.Boolean("Memory", &T::Memory, &T::SetMemory).Default(0);
        p.String("TableName", &T::TableName, &T::SetTableName).DefaultString("");
        p.String("IndexName", &T::IndexName, &T::SetIndexName).DefaultString("");
        p.String("IndexFieldNames", &T::IndexFieldNames, &T::SetIndexFieldNames).DefaultString("");
        p.String("MasterFields", &T::MasterFields, &T::SetMasterFields).DefaultString("");
        p.Reference<host::TDataSource>("MasterSource", &T::MasterSource, &T::SetMasterSource);
        p.String(
             "Version", [](const T& t) { return t.Version(); }, [](T&, const std::string&) {})
            .DefaultString(kTavBaseTableVersion);
      });
  return table;
}

// ---------------------------------------------------------------------------
// Definitions

void TTavTable::DefChanged(host::TObject*) {
  if (filling_defs_ == 0) store_defs_ = true;
}

void TTavTable::UpdateIndexDefs() {
  TFillingDefs filling(filling_defs_);
  TTavBaseTable::UpdateIndexDefs();
}

void TTavTable::InternalInitFieldDefs() {
  TFillingDefs filling(filling_defs_);
  TTavBaseTable::InternalInitFieldDefs();
}

// ---------------------------------------------------------------------------
// Opening and loading

void TTavTable::InternalOpen() {
  const char* caller = "TTavTable.InternalOpen";
  TTavBaseTable::InternalOpen();
  UpdateIndexDefs();
  FreeRestructureDefs();
  // The cursor opened on its default index; the name given while closed
  // must name a definition.
  if (IndexDefs().Count() > 0 && !index_name_.empty() &&
      !host::AnsiSameText(index_name_, TTavDataSet::IndexName())) {
    if (IndexDefs().IndexOf(index_name_) < 0)
      TavDatabaseErrorFmt(kIndexDoesNotExist, caller, "Index %s", {index_name_}, this);
    InternalSetIndexName(index_name_);
  }
  if (!pending_index_field_names_.empty()) {
    const std::string name = FindIndexForFields(pending_index_field_names_);
    if (!host::AnsiSameText(name, TTavDataSet::IndexName())) InternalSetIndexName(name);
    pending_index_field_names_.clear();
  }
}

void TTavTable::Loaded() {
  TTavBaseTable::Loaded();
  if (!Active()) return;
  if (MasterSource() && MasterSource()->DataSet() && !MasterFields().empty()) CheckMasterRange();
  if (IndexName().empty() && !pending_index_field_names_.empty()) {
    const std::string fields = pending_index_field_names_;
    SetIndexFieldNames(fields);
  }
}

// ---------------------------------------------------------------------------
// Index choice

std::string TTavTable::IndexName() const {
  const std::string& name = InternalActive() ? TTavDataSet::IndexName() : index_name_;
  return name == kLogicalRecNoIndexName ? std::string() : name;
}

void TTavTable::SetIndexName(const std::string& value) {
  const char* caller = "TTavTable.SetIndexName";
  if (value == IndexName()) return;
  if (!Active()) {
    index_name_ = value;
    pending_index_field_names_.clear();
    return;
  }
  CheckBrowseMode();
  if (!value.empty()) {
    CheckIndexesPresent();
    if (IndexDefs().IndexOf(value) < 0)
      TavDatabaseErrorFmt(kIndexDoesNotExist, caller, "Index %s", {value}, this);
  }
  // No name: the table's own default index, as on open.
  std::string target = value;
  if (target.empty())
    target = IndexDefs().Count() > 0 ? IndexDefs().Items(0)->Name() : std::string(kLogicalRecNoIndexName);
  index_name_ = value;
  pending_index_field_names_.clear();
  InternalSetIndexName(target);
  DataSetClearRange();
  First();
  CheckMasterRange();
}

std::string TTavTable::IndexFieldNames() const {
  if (!InternalActive()) return pending_index_field_names_;
  auto& defs = const_cast<TTavTable*>(this)->IndexDefs();
  const int i = defs.IndexOf(TTavDataSet::IndexName());
  return i < 0 ? std::string() : defs.Items(i)->Fields();
}

void TTavTable::SetIndexFieldNames(const std::string& value) {
  if (Active() && !value.empty()) {
    SetIndexName(FindIndexForFields(value));
  } else {
    SetIndexName("");
  }
  pending_index_field_names_ = value;
}

int TTavTable::GetIndexCount() {
  CheckActive();
  return IndexDefs().Count();
}

int TTavTable::IndexFieldCount() const { return InternalActive() ? GetIndexFieldCount() : 0; }

void TTavTable::GetIndexFieldList(std::vector<host::TField*>& list) {
  const char* caller = "TTavTable.GetIndexField";
  if (IndexDefs().Count() == 0) TavDatabaseError(kIndexDoesNotExist, caller, "", this);
  const std::string& name = TTavDataSet::IndexName();
  const int i = IndexDefs().IndexOf(name);
  if (i < 0) TavDatabaseErrorFmt(kIndexDoesNotExist, caller, "Index %s", {name}, this);
  GetFieldList(list, IndexDefs().Items(i)->Fields());
}

host::TField* TTavTable::GetIndexField(int index) {
  std::vector<host::TField*> fields;
  GetIndexFieldList(fields);
  if (index < 0 || index >= static_cast<int>(fields.size())) host::DatabaseError(host::SFieldIndexError, this);
  return fields[static_cast<size_t>(index)];
}

// ---------------------------------------------------------------------------
// Key searches

host::TRecordBuffer TTavTable::FindKeyBuffer() {
  const TKeyMode saved = KeyMode();
  SetKeyMode(kmFind);
  host::TTempStateGuard temp(*this, host::dsSetKey);
  host::TRecordBuffer buffer = GetActiveRecBuf();
  SetKeyMode(saved);
  return buffer;
}

void TTavTable::BeginKeyEdit(bool range, TRangeMode mode, bool clear) {
  CheckBrowseMode();
  if (range) {
    SetRangeMode(mode);
    if (clear) InitializeRangeBuffers(mode);
  } else if (clear) {
    InitializeNewRecord(FindKeyBuffer(), false);
  }
  SetKeyMode(range ? kmRange : kmFind);
  SetState(host::dsSetKey);
  key_editing_ = true;
  DataEvent(host::deDataSetChange, 0);
}

void TTavTable::SetKey() {
  BeginKeyEdit(false, rmRangeStart, true);
  key_field_count_ = 0;
}

void TTavTable::EditKey() { BeginKeyEdit(false, rmRangeStart, false); }

void TTavTable::SetState(host::TDataSetState value) {
  if (value != host::dsSetKey) key_editing_ = false;
  TTavBaseTable::SetState(value);
}

void TTavTable::CancelKey() {
  if (State() != host::dsSetKey) return;
  SetState(host::dsBrowse);
  DataEvent(host::deDataSetChange, 0);
}

void TTavTable::SetKeyFieldCount(int value) {
  if (State() != host::dsSetKey) host::DatabaseError(host::SNotEditing, this);
  // A negative count is as far out of range as one past the index.
  if (value < 0 || value > IndexFieldCount())
    TavDatabaseError(kNumberOutOfRange, "TTavTable.SetKeyFieldCount",
                     "The specified index field count is out of range", this);
  key_field_count_ = value;
}

bool TTavTable::SearchKey(TIndexSearchType searchType, int includedCount, bool nearest) {
  CheckIndexReadPrivilege(TTavDataSet::IndexName());
  // The search overwrites the engine buffer: whatever happens, the next move
  // starts again from the active record.
  CursorPosChanged();
  TSearchModifier modifier;
  modifier.SetLimitedSearch(true);
  modifier.SetIncludedKeyFieldCount(includedCount);
  const host::TRecordBuffer key = FindKeyBuffer();
  bool found;
  if (nearest) {
    // Among equal keys the nearest is the first: the record-number part
    // of the key sorts before every record, also in a descending index.
    host::PutU32(key + RecordSize() + 8, kKeyFlagBOF);
    TReadLockGuard lock(*this);
    found = FindBuf(key, stLEG, TTavDataSet::IndexName(), &modifier, false);
  } else {
    found = FindBuf(key, searchType, TTavDataSet::IndexName(), &modifier, false);
  }
  if (!found) return false;
  DoBeforeScroll();
  if (nearest) SetReadAheadMode(raReadAheadActive);
  Resync({host::rmExact, host::rmCenter});
  DoAfterScroll();
  return true;
}

bool TTavTable::ApplyKey(bool exact) {
  // The key being edited is taken (browsing again ends the key editing).
  CheckBrowseMode();
  const int included = key_field_count_ != 0 ? key_field_count_ : IndexFieldCount();
  return SearchKey(exact ? stEQ : stLEG, included, !exact);
}

int TTavTable::SetKeyFields(const std::vector<host::Variant>& values) {
  std::vector<host::TField*> fields;
  GetIndexFieldList(fields);
  const size_t n = std::min(values.size(), fields.size());
  for (size_t i = 0; i < n; ++i) fields[i]->AssignValue(values[i]);
  return static_cast<int>(n);
}

bool TTavTable::SearchValues(const std::vector<host::Variant>& values, bool nearest) {
  CheckBrowseMode();
  int included;
  {
    TKeyStateGuard keyState(*this, kmFind, KeyMode());
    // For the nearest record, index fields without a value sort before
    // every value.
    InitializeNewRecord(GetActiveRecBuf(), nearest);
    included = SetKeyFields(values);
  }
  return SearchKey(nearest ? stLEG : stEQ, included, nearest);
}

bool TTavTable::FindKey(const std::vector<host::Variant>& values) { return SearchValues(values, false); }

void TTavTable::FindNearest(const std::vector<host::Variant>& values) { SearchValues(values, true); }

// ---------------------------------------------------------------------------
// Ranges

void TTavTable::SetRangeStart() { BeginKeyEdit(true, rmRangeStart, true); }
void TTavTable::SetRangeEnd() { BeginKeyEdit(true, rmRangeEnd, true); }
void TTavTable::EditRangeStart() { BeginKeyEdit(true, rmRangeStart, false); }
void TTavTable::EditRangeEnd() { BeginKeyEdit(true, rmRangeEnd, false); }

void TTavTable::ApplyRange() {
  CheckBrowseMode();
  CheckIndexesPresent();
  CheckIndexReadPrivilege(TTavDataSet::IndexName());
  SetRangeOn(true);
  First();
}

void TTavTable::CancelRange() {
  CheckBrowseMode();
  DataSetClearRange();
  First();
}

void TTavTable::SetRange(const std::vector<host::Variant>& startValues,
                         const std::vector<host::Variant>& endValues) {
  CheckBrowseMode();
  CheckIndexesPresent();
  CheckIndexReadPrivilege(TTavDataSet::IndexName());
  // A value that cannot be set leaves the range (and the record) as they
  // were: the old range's ends are kept to be put back.
  const bool wasOn = RangeOn();
  const size_t size = static_cast<size_t>(RecordBufferSize());
  std::vector<uint8_t> oldStart(GetRangeRecBuf(rmRangeStart), GetRangeRecBuf(rmRangeStart) + size);
  std::vector<uint8_t> oldEnd(GetRangeRecBuf(rmRangeEnd), GetRangeRecBuf(rmRangeEnd) + size);
  try {
    TKeyStateGuard keyState(*this, kmRange, kmNone);
    DataSetClearRange();
    SetRangeMode(rmRangeStart);
    SetKeyFields(startValues);
    SetRangeMode(rmRangeEnd);
    SetKeyFields(endValues);
    SetRangeOn(true);
  } catch (...) {
    std::memcpy(GetRangeRecBuf(rmRangeStart), oldStart.data(), size);
    std::memcpy(GetRangeRecBuf(rmRangeEnd), oldEnd.data(), size);
    if (wasOn) SetRangeOn(true);
    throw;
  }
  First();
}

// ---------------------------------------------------------------------------
// Master-detail

const std::string& TTavTable::MasterFields() const { return master_link_->FieldNames(); }

void TTavTable::SetMasterFields(const std::string& value) { master_link_->SetFieldNames(value); }

host::TDataSource* TTavTable::MasterSource() const { return master_link_->DataSource(); }

void TTavTable::SetMasterSource(host::TDataSource* value) {
  if (value && IsLinkedTo(value)) host::DatabaseError(host::SCircularDataLink, this);
  master_link_->SetDataSource(value);
}

host::TDataSource* TTavTable::GetDataSource() { return master_link_->DataSource(); }

void TTavTable::GetDetailLinkFields(std::vector<host::TField*>& masterFields,
                                    std::vector<host::TField*>& detailFields) {
  masterFields.clear();
  detailFields.clear();
  if (MasterSource() && MasterSource()->DataSet() && !MasterFields().empty())
    MasterSource()->DataSet()->GetFieldList(masterFields, MasterFields());
  UpdateIndexDefs();
  GetFieldList(detailFields, IndexFieldNames());
}

void TTavTable::SetDetailLinkRange(const std::vector<host::TField*>& masterFields) {
  const bool opening = Opening();
  if (!opening) CheckBrowseMode();
  {
    TKeyStateGuard keyState(*this, kmRange, kmNone);
    DataSetClearRange();
    std::vector<host::TField*> indexFields;
    GetIndexFieldList(indexFields);
    // Master fields past the index's own have no field to range on: the
    // range follows the ones that have, and a new record names the first
    // missing one (DoOnNewRecord).
    const size_t n = std::min(masterFields.size(), indexFields.size());
    for (TRangeMode mode : {rmRangeStart, rmRangeEnd}) {
      SetRangeMode(mode);
      for (size_t i = 0; i < n; ++i) indexFields[i]->AssignValue(masterFields[i]->Value());
    }
    SetRangeOn(true);
  }
  if (!opening) First();
}

void TTavTable::CheckMasterRange() {
  if (master_link_->Active() && !master_link_->Fields().empty()) SetDetailLinkRange(master_link_->Fields());
}

void TTavTable::InternalCheckMasterRange() {
  // Called by the first fetch after open, which reads from the range.
  if (Opening()) CheckMasterRange();
}

void TTavTable::MasterChanged() {
  CheckBrowseMode();
  SetDetailLinkRange(master_link_->Fields());
}

void TTavTable::MasterDisabled() { CancelRange(); }

void TTavTable::DoOnNewRecord() {
  if (master_link_->Active() && !master_link_->Fields().empty()) {
    std::vector<host::TField*> detail;
    GetFieldList(detail, IndexFieldNames());
    const std::vector<host::TField*>& master = master_link_->Fields();
    for (size_t i = 0; i < master.size(); ++i) {
      if (i >= detail.size())
        host::DatabaseError("Master-detail error" + master[i]->FieldName() +
                            " is not a valid index field for this index");
      detail[i]->AssignValue(master[i]->Value());
    }
  }
  TTavBaseTable::DoOnNewRecord();
}

// ---------------------------------------------------------------------------

uint32_t TTavTable::NextAutoIncValue() {
  CheckActive();
  TReadLockGuard lock(*this);
  ReadTableHeader();
  return TableDef().TableHeader()->GetRecordAutoIncVal() + 1;
}

}  // namespace tav

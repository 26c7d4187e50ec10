#include "engine/query/exec/query_dataset.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>

#include "engine/components/tav_database.h"
#include "engine/expr/expr_evaluator.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/func_result.h"
#include "engine/query/exec/join_provider.h"
#include "engine/query/parse/exec_parsers.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/table/privileges.h"
#include "host/db/fields.h"
#include "host/rtl/date_time.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"

namespace tav {

// Where a plain column of a fill reads its bytes: straight from its leaf's
// current record, as the leaf's raw read would hand them over.
struct TStoredColumn {
  const TTavNonJoinDataProvider* Leaf = nullptr;  // nullptr: through the provider
  const TTavDatasetBridge* Bridge = nullptr;
  const TInternalFieldItem* Stored = nullptr;
};

namespace {

const char kClassName[] = "TTavQueryDataset";

bool IsAggregateColumn(const TResultSetField& c) {
  return c.SelectField != nullptr && c.SelectField->HasAggregateFunction;
}

// COUNT(*) alone: the one aggregate a table's record count answers.
bool IsLoneCountStar(const TResultSetFields& columns) {
  if (columns.Count() != 1 || !IsAggregateColumn(*columns.Items(0))) return false;
  const TSelectFieldItem& s = *columns.Items(0)->SelectField;
  return s.AggFunc == tafCount && !s.DistinctQuantifier && s.AggExprRoot == nullptr &&
         s.ExprRoot != nullptr && s.ExprRoot->ParserToken.Token == tstAggFunc;
}

// Whether a value of `type` compares equal to another only when its bytes
// are equal: numbers, dates and flags; texts only under the byte order.
bool ComparesByBytes(host::TFieldType type, TDBStringCompare compare) {
  switch (type) {
    case host::ftSmallint:
    case host::ftInteger:
    case host::ftWord:
    case host::ftBoolean:
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftDate:
    case host::ftTime:
    case host::ftDateTime:
    case host::ftAutoInc:
    case host::ftLargeint: return true;
    case host::ftString:
    case host::ftFixedChar: return compare == DBASCIICompareStrings;
    default: return false;
  }
}

// Whether an aggregate result is the same whatever order its rows come in:
// a group shows the values of its first row, and MIN and MAX keep the first
// of equal values, so neither may be a value that compares equal to other
// bytes.
bool RowOrderFree(const TResultSetFields& columns, TDBStringCompare compare) {
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField& c = *columns.Items(i);
    if (!IsAggregateColumn(c)) {
      if (!ComparesByBytes(c.DataType(), compare)) return false;
      continue;
    }
    const TSelectFieldItem& s = *c.SelectField;
    if (s.AggFunc != tafMin && s.AggFunc != tafMax) continue;
    const host::TFieldType argument = s.ExprRoot != nullptr ? s.ExprRoot->DataType : host::ftUnknown;
    if (!ComparesByBytes(argument, compare) || !ComparesByBytes(c.DataType(), compare)) return false;
  }
  return true;
}

// Whether a field of type `from` goes into one of type `to` as its bytes,
// exactly as its value would: the same number type, or text into text.
bool CopiesRaw(host::TFieldType from, host::TFieldType to) {
  if (from != to) return false;
  switch (from) {
    case host::ftString:
    case host::ftSmallint:
    case host::ftInteger:
    case host::ftWord:
    case host::ftFloat:
    case host::ftLargeint: return true;
    default: return false;
  }
}

// The evaluator's root when it reads one column as it stands, else nullptr.
const TExprEvaluatorNode* BareField(const TExprEvaluator& evaluator) {
  const TExprEvaluatorNode* root = evaluator.Root;
  if (root == nullptr || root->ExprNode == nullptr || root->ExprNode->Kind != enkField ||
      root->ExprNode->CaseInsensitiveMatch || root->Left != nullptr || root->Right != nullptr ||
      !root->Args.empty() || root->DataProvider == nullptr || root->FieldRef == nullptr)
    return nullptr;
  return root;
}

// Field `fieldNo` of `provider` read straight from its table's record: a
// leaf of an open table and a field that is no BLOB; else Leaf stays
// nullptr (read through the provider).
TStoredColumn StoredColumnOfLeaf(const TTavNonJoinDataProvider* leaf, int32_t fieldNo) {
  const TTavDatasetBridge* bridge = leaf != nullptr ? leaf->DataBridge() : nullptr;
  if (bridge == nullptr || !bridge->InternalActive() || fieldNo < 0 || fieldNo >= bridge->GetInternalFieldCount() ||
      bridge->IsFieldBlob(fieldNo))
    return {};
  return {leaf, bridge, &bridge->GetFieldDef(fieldNo)};
}

TStoredColumn StoredColumnOf(const TTavBaseJoinDataProvider* provider, int32_t fieldNo) {
  return StoredColumnOfLeaf(dynamic_cast<const TTavNonJoinDataProvider*>(provider), fieldNo);
}

// The column's bytes in its leaf's current record; nullptr for NULL (a
// zero flag byte, or no current record). `record` receives the record.
const uint8_t* StoredBytes(const TStoredColumn& column, const uint8_t*& record) {
  record = column.Leaf->CurrentRecordBytes();
  if (record == nullptr || record[column.Stored->NullFlagOffset()] == 0) return nullptr;
  return record + column.Stored->DataOffset();
}

// The column from its leaf's current record into `holder`, as the leaf's
// raw read would hand it over.
void ReadStored(const TStoredColumn& column, TDataHolder& holder) {
  const uint8_t* record = nullptr;
  holder.Data = StoredBytes(column, record);
  holder.IsNull = holder.Data == nullptr;
  holder.Length = holder.IsNull ? 0 : column.Bridge->InternalGetFieldLength(*column.Stored, record);
}

// Where a field stands in a source record and in a target record laid out
// alike: offsets, 0 for no length word.
struct TByteCopy {
  int32_t FromNull = 0, FromData = 0, FromLength = 0;
  int32_t ToNull = 0, ToData = 0, ToLength = 0;
  int32_t Size = 0;
  bool CutAtZero = false;  // a text ends at its first zero, as its value does
};

// Whether `from` and `to` are laid out alike, so that a value goes from
// record to record as its bytes: one type and size, either of a fixed size
// (no text) or texts with their length words; `out` then says where.
bool SameLayout(const TInternalFieldItem& from, const TInternalFieldItem& to, TByteCopy& out) {
  if (from.DataType() != to.DataType() || from.FieldSize() != to.FieldSize() || to.FieldSize() <= 0 ||
      from.IsVariable() != to.IsVariable())
    return false;
  const host::TFieldType type = to.DataType();
  const bool text = type == host::ftString || type == host::ftWideString;
  if (text != to.IsVariable()) return false;
  if (text && (type != host::ftString || from.SizeMarkerOffset() == 0 || to.SizeMarkerOffset() == 0)) return false;
  out = {from.NullFlagOffset(), from.DataOffset(), text ? from.SizeMarkerOffset() : 0,
         to.NullFlagOffset(),   to.DataOffset(),   text ? to.SizeMarkerOffset() : 0,
         to.FieldSize(),        false};
  return true;
}

// The field from `record` (its leaf's current record, nullptr for none)
// into `out`: its NULL flag, length word and bytes. False, with `out`
// untouched, for a length word no text of the field can have.
bool CopyStoredBytes(const TByteCopy& c, const uint8_t* record, uint8_t* out) {
  uint8_t* dest = out + c.ToData;
  const auto size = static_cast<size_t>(c.Size);
  if (record == nullptr || record[c.FromNull] == 0) {
    out[c.ToNull] = 0;
    std::memset(dest, 0, size);
    if (c.ToLength != 0) host::PutU16(out + c.ToLength, 0);
    return true;
  }
  const uint8_t* data = record + c.FromData;
  if (c.FromLength == 0) {
    out[c.ToNull] = 1;
    std::memcpy(dest, data, size);
    return true;
  }
  int32_t length = host::GetU16(record + c.FromLength);
  // Never past the field's bytes, and room for the closing zero.
  if (length > c.Size - 1) return false;
  if (c.CutAtZero)
    length = static_cast<int32_t>(strnlen(reinterpret_cast<const char*>(data), static_cast<size_t>(length)));
  host::PutU16(out + c.ToLength, static_cast<uint16_t>(length));
  out[c.ToNull] = 1;
  std::memcpy(dest, data, static_cast<size_t>(length));
  std::memset(dest + length, 0, size - static_cast<size_t>(length));
  return true;
}

// How one aggregate column's argument reaches its accumulators on each row.
struct TAggregateFeed {
  enum TKind {
    kRow,           // COUNT(*): every row counts
    kStoredNumber,  // one number column, read as the record stores it
    kField,         // one column, read as its evaluator would read it
    kExpression,    // anything else, evaluated
  };
  TKind Kind = kExpression;
  int Column = 0;
  TTavExprDataProvider* Source = nullptr;
  TTavBaseJoinDataProvider* Provider = nullptr;  // kStoredNumber
  // kStoredNumber straight from a table's record (Stored.Leaf set).
  TStoredColumn Stored;
  int32_t FieldNo = -1;
  host::TFieldType Type = host::ftUnknown;
  TExprEvaluator* Evaluator = nullptr;
};

std::vector<TAggregateFeed> AggregateFeeds(const TResultSetFields& columns) {
  std::vector<TAggregateFeed> feeds;
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField& c = *columns.Items(i);
    if (!IsAggregateColumn(c)) continue;
    const TSelectFieldItem& s = *c.SelectField;
    TAggregateFeed feed;
    feed.Column = i;
    if (!c.IsComputed()) {
      feed.Kind = TAggregateFeed::kField;
      feed.Source = c.DataProvider;
      feed.FieldNo = c.SourceFieldNo;
      feeds.push_back(feed);
      continue;
    }
    // COUNT(*) has no argument: its call stands for it, and every row hands
    // in Unassigned.
    const TTavExprNode* argument = s.ExprRoot;
    if (s.AggFunc == tafCount && !s.DistinctQuantifier && argument != nullptr &&
        argument->ParserToken.Token == tstAggFunc && argument->Args.empty()) {
      feed.Kind = TAggregateFeed::kRow;
      feeds.push_back(feed);
      continue;
    }
    feed.Evaluator = c.Evaluator();
    if (const TExprEvaluatorNode* field = BareField(*c.Evaluator())) {
      feed.Kind = TAggregateFeed::kField;
      feed.Source = field->DataProvider;
      feed.FieldNo = field->FieldRef->FieldNo();
      feed.Type = field->FieldRef->DataType();
      feed.Provider = dynamic_cast<TTavBaseJoinDataProvider*>(field->DataProvider);
      if (feed.Provider != nullptr && !s.DistinctQuantifier && TFuncResultItem::TakesStoredNumber(feed.Type)) {
        feed.Kind = TAggregateFeed::kStoredNumber;
        const TStoredColumn stored = StoredColumnOf(feed.Provider, feed.FieldNo);
        if (stored.Leaf != nullptr && stored.Stored->DataType() == feed.Type) feed.Stored = stored;
      }
    }
    feeds.push_back(feed);
  }
  return feeds;
}

std::vector<TStoredColumn> StoredColumns(const TResultSetFields& columns, const TTavDataSet& target) {
  std::vector<TStoredColumn> out(static_cast<size_t>(columns.Count()));
  // The columns of one table follow each other: its provider is asked what
  // it is once.
  const TTavBaseJoinDataProvider* provider = nullptr;
  const TTavNonJoinDataProvider* leaf = nullptr;
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField& c = *columns.Items(i);
    if (c.IsComputed() || i >= target.GetInternalFieldCount() || target.IsFieldBlob(i)) continue;
    if (c.DataProvider != provider) {
      provider = c.DataProvider;
      leaf = dynamic_cast<const TTavNonJoinDataProvider*>(provider);
    }
    out[static_cast<size_t>(i)] = StoredColumnOfLeaf(leaf, c.SourceFieldNo);
  }
  return out;
}

// A plain column of a fill copied from its leaf's record into the
// result record as bytes: the two fields of one type and size, either of a
// fixed size (no text) or variable texts with their length words.
struct TRawColumn {
  const TResultSetField* Column = nullptr;
  int To = 0;
  const TTavNonJoinDataProvider* Leaf = nullptr;
  TByteCopy Copy;
};

std::vector<TRawColumn> RawColumns(const TResultSetFields& columns, const std::vector<TStoredColumn>& stored,
                                   const TTavDataSet& target) {
  std::vector<TRawColumn> out;
  for (int i = 0; i < columns.Count(); ++i) {
    const TStoredColumn& from = stored[static_cast<size_t>(i)];
    if (from.Leaf == nullptr) continue;
    TRawColumn raw;
    if (!SameLayout(*from.Stored, target.GetFieldDef(i), raw.Copy)) continue;
    raw.Column = columns.Items(i);
    raw.To = i;
    raw.Leaf = from.Leaf;
    out.push_back(raw);
  }
  return out;
}

// Column `r` of the source's current row, `record` (its leaf's current
// record), into the record `to` of `target`.
void CopyRawColumn(const TRawColumn& r, const uint8_t* record, uint8_t* to, TTavDataSet& target) {
  if (CopyStoredBytes(r.Copy, record, to)) return;
  // A length no text of the field can have is refused as the general write
  // refuses it.
  target.DataSetSetFieldDataToRecBuf(r.To, host::GetU16(record + r.Copy.FromLength), to, record + r.Copy.FromData,
                                     false);
}

// A leaf bridge walking in address order while it lives.
class TAddressOrderWalk {
 public:
  explicit TAddressOrderWalk(TTavDatasetBridge* bridge) : bridge_(bridge) {
    if (bridge_ != nullptr) bridge_->SetAddressOrderWalk(true);
  }
  ~TAddressOrderWalk() {
    if (bridge_ != nullptr) bridge_->SetAddressOrderWalk(false);
  }
  TAddressOrderWalk(const TAddressOrderWalk&) = delete;
  TAddressOrderWalk& operator=(const TAddressOrderWalk&) = delete;

 private:
  TTavDatasetBridge* bridge_;
};

// While the rows of one statement go in under the target's write lock:
// its indexes keep the changes of their upper nodes in memory
// (TIndexManager::SetDeferInnerWrites) and its records' interface keeps the
// free block it will hand out next (TBaseIOInterface::SetKeepRunHead).
// Finish ends both and writes what the indexes kept, reporting a failure;
// an exit without Finish does so quietly (the statement's own error is the
// one reported).
class TInsertRun {
 public:
  TInsertRun(TIndexManager& indexes, TBaseIOInterface* records, bool take)
      : indexes_(take ? &indexes : nullptr), records_(take ? records : nullptr) {
    if (records_ != nullptr) records_->SetKeepRunHead(true);
    if (indexes_ != nullptr) indexes_->SetDeferInnerWrites(true);
  }
  ~TInsertRun() {
    try {
      Finish();
    } catch (...) {
    }
  }
  TInsertRun(const TInsertRun&) = delete;
  TInsertRun& operator=(const TInsertRun&) = delete;

  void Finish() {
    if (records_ != nullptr) records_->SetKeepRunHead(false);
    records_ = nullptr;
    TIndexManager* indexes = indexes_;
    indexes_ = nullptr;
    if (indexes != nullptr) indexes->SetDeferInnerWrites(false);
  }

 private:
  TIndexManager* indexes_;
  TBaseIOInterface* records_;
};

// A disk table's write lock for a whole statement inside a transaction,
// where a table lock lasts until the commit anyway: each write then finds
// it held and reads the table header no more. Release gives it back and
// reports a failure; an exit without Release gives it back quietly.
// With `writeRun`, no other dataset of the connection reads the table
// while the lock is held (LockTableForWriteRun).
class TStatementWriteLock {
 public:
  TStatementWriteLock(TTavDataSet& ds, bool take, bool writeRun = false) : ds_(ds) {
    if (!take || ds_.ReadLocked() || ds_.WriteLocked()) return;
    if (writeRun)
      ds_.LockTableForWriteRun();
    else
      ds_.LockTable();
    took_ = true;
  }
  ~TStatementWriteLock() {
    try {
      Release();
    } catch (...) {
      // The statement's own error is the one reported.
    }
  }
  TStatementWriteLock(const TStatementWriteLock&) = delete;
  TStatementWriteLock& operator=(const TStatementWriteLock&) = delete;

  void Release() {
    if (!took_) return;
    took_ = false;
    // A commit or rollback since forgot the lock already.
    if (ds_.WriteLocked()) ds_.UnlockTable();
  }

 private:
  TTavDataSet& ds_;
  bool took_ = false;
};

// Closes a dataset it opened itself, on every exit.
class TOpenedHere {
 public:
  explicit TOpenedHere(host::TDataSet& ds) : ds_(ds), opened_(!ds.Active()) {
    if (opened_) ds_.Open();
  }
  ~TOpenedHere() {
    if (!opened_) return;
    try {
      ds_.Close();
    } catch (...) {
      // The operation's own error, if any, is the one to report.
    }
  }
  TOpenedHere(const TOpenedHere&) = delete;
  TOpenedHere& operator=(const TOpenedHere&) = delete;

 private:
  host::TDataSet& ds_;
  bool opened_;
};

}  // namespace

// How a fill reads its columns: which come straight from a leaf's record,
// which of those are copied as bytes, and whether the rows are joined. What
// it names was read under the open counts it keeps.
struct TFillColumnMaps {
  const TResultSetFields* Columns = nullptr;
  uint64_t TargetOpen = 0;
  std::vector<std::pair<const TTavDatasetBridge*, uint64_t>> Bridges;
  std::vector<TStoredColumn> Stored;
  std::vector<TRawColumn> Raw;
  bool Join = false;
};

// ---------------------------------------------------------------------------
// TTavRootRowSource

bool TTavRootRowSource::FirstProviderRecord() { return root_ != nullptr && root_->FirstProviderRecord(); }

bool TTavRootRowSource::NextProviderRecord() {
  TAV_ASSERT(root_ != nullptr, "Root provider is not assigned");
  return root_->NextProviderRecord();
}

// ---------------------------------------------------------------------------
// TTavQueryDataset: fields and the table

TTavQueryDataset::TTavQueryDataset(host::TComponent* owner) : TTavBaseTable(owner) {}

TTavQueryDataset::~TTavQueryDataset() = default;

void TTavQueryDataset::InternalOpen() {
  ++open_count_;
  TTavBaseTable::InternalOpen();
}

const TFillColumnMaps& TTavQueryDataset::ColumnMaps(TResultSetFields& columns) {
  const bool keep = keep_column_maps_;
  keep_column_maps_ = false;
  if (keep && column_maps_ && column_maps_->Columns == &columns && column_maps_->TargetOpen == open_count_ &&
      column_maps_->Stored.size() == static_cast<size_t>(columns.Count())) {
    bool current = true;
    for (const auto& [bridge, opened] : column_maps_->Bridges)
      current = current && bridge->InternalActive() && bridge->OpenCount() == opened;
    if (current) return *column_maps_;
  }
  auto maps = std::make_unique<TFillColumnMaps>();
  maps->Columns = &columns;
  maps->TargetOpen = open_count_;
  maps->Stored = StoredColumns(columns, *this);
  for (const TStoredColumn& s : maps->Stored) {
    if (s.Bridge == nullptr) continue;
    bool listed = false;
    for (const auto& b : maps->Bridges) listed = listed || b.first == s.Bridge;
    if (!listed) maps->Bridges.emplace_back(s.Bridge, s.Bridge->OpenCount());
  }
  maps->Raw = RawColumns(columns, maps->Stored, *this);
  maps->Join = dynamic_cast<TTavNonJoinDataProvider*>(&Root()) == nullptr;
  column_maps_ = std::move(maps);
  return *column_maps_;
}

TTavBaseJoinDataProvider& TTavQueryDataset::Root() const {
  TAV_ASSERT(provider_mgr_ != nullptr && provider_mgr_->RootProvider() != nullptr,
             "Root provider is not assigned");
  return *provider_mgr_->RootProvider();
}

host::Variant TTavQueryDataset::GetFieldData(int fieldIndex) { return GetDataSetFieldAsVariant(*this, fieldIndex); }

void TTavQueryDataset::GetRawFieldData(int fieldIndex, TDataHolder& holder) {
  GetDataSetRawFieldData(*this, fieldIndex, holder);
}

void TTavQueryDataset::PrepareEmptyResultSet(bool defsPrepared, bool emptyInFill) {
  TAV_ASSERT(FieldDefs().Count() > 0, "Field defs are not prepared in TTavQueryDataset.CreateResultSet");
  empty_in_fill_ = false;
  only_row_ = 0;
  if (!Memory()) {
    if (Active()) Close();
    SetMemory(true);
  }
  if (TableName().empty()) {
    SetTableName(kDefaultResultTableName);
    CreateResultSetTable();
    return;
  }
  if (!defsPrepared) {
    CreateResultSetTable();
    return;
  }
  if (!Active()) Open();
  CheckBrowseMode();
  if (emptyInFill) {
    empty_in_fill_ = true;
    return;
  }
  EmptyBeneathTheCursor();
}

void TTavQueryDataset::EmptyBeneathTheCursor() {
  // Emptied beneath the cursor: the fill that follows adds through the
  // engine buffer and moves the cursor to the first row when it is done.
  DataSetEmptyTable();
  InternalResetFilter();
}

void TTavQueryDataset::CreateResultSetTable() {
  if (Active()) Close();
  InternalPrepareTableDef();
  if (create_live_result_) {
    TInternalFields& fields = TableDef().InternalFields();
    for (const char* name : {kResultRecAddrField, kResultRecModFlagField})
      if (TInternalFieldItem* f = fields.FindField(name)) f->SetHidden(true);
  }
  // The statement's own table: a user who may read what it reads may run
  // it without the right to create tables.
  CheckConnected();
  DataBase()->CreateWorkTable(TableDef());
}

bool TTavQueryDataset::HasIndexDef(const std::string& name) { return IndexDefs().IndexOf(name) >= 0; }

void TTavQueryDataset::Reopen() {
  if (Active()) Close();
  Open();
  row_.assign(static_cast<size_t>(RecordBufferSize()), 0);
}

void TTavQueryDataset::SetRowsAffectedToCount(int32_t count) {
  rows_affected_ = count;
  if (first_after_fill_) {
    First();
    return;
  }
  // No row of an earlier fill stays readable through this cursor.
  ClearBuffers();
  InternalFirst();
  DataEvent(host::deDataSetChange, 0);
}

std::vector<uint32_t> TTavQueryDataset::CollectAddresses() {
  std::vector<uint32_t> out;
  for (bool ok = DataSetFirst(); ok; ok = DataSetNext()) out.push_back(DatasetGetRecAddr());
  return out;
}

uint32_t TTavQueryDataset::AddRow() {
  SetRecordBuffer(row_.data());
  // Nothing reads the row back through the cursor's position: the fill
  // goes on with the next row, and the table is walked from its first.
  AddRecordUnpositioned(false);
  return DatasetGetRecAddr();
}

void TTavQueryDataset::WriteFieldValue(int fieldNo, const host::Variant& value, bool checkUpdate) {
  if (fieldNo >= 0 && fieldNo < GetInternalFieldCount() && IsFieldBlob(fieldNo)) {
    host::TMemoryStream stream;
    const bool isNull = value.IsNull() || value.IsEmpty();
    if (!isNull) {
      const std::string text = host::VarToStr(value);
      stream.Write(text.data(), static_cast<int64_t>(text.size()));
    }
    DataSetSetFieldStream(fieldNo, isNull, stream);
  } else if (checkUpdate) {
    DataSetSetFieldDataAsVariant(fieldNo, value);
  } else {
    DataSetSetFieldDataToRecBufAsVariant(fieldNo, RecordBuffer(), value);
  }
}

void TTavQueryDataset::SetResultSetFieldFromVariant(int fieldIndex, const host::Variant& value) {
  WriteFieldValue(fieldIndex, value, true);
}

template <class Wanted>
void TTavQueryDataset::FillRow(TResultSetFields& columns, Wanted wanted, const std::vector<TStoredColumn>* stored) {
  ClearRecord(row_.data());
  if (!holder_) holder_ = std::make_unique<TDataHolder>();
  TDataHolder& holder = *holder_;
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField& c = *columns.Items(i);
    if (!wanted(c)) continue;
    if (stored != nullptr && (*stored)[static_cast<size_t>(i)].Leaf != nullptr) {
      ReadStored((*stored)[static_cast<size_t>(i)], holder);
      DataSetSetFieldDataToRecBuf(i, holder.Length, row_.data(), holder.Data, holder.IsNull);
      continue;
    }
    if (c.IsComputed()) {
      TExprEvaluator& e = *c.Evaluator();
      e.Reset();
      const host::Variant value = e.EvaluateValueExpr();
      if (IsFieldBlob(i)) {
        WriteFieldValue(i, value, false);
      } else {
        DataSetSetFieldDataToRecBufAsVariant(i, row_.data(), value);
      }
      continue;
    }
    c.DataProvider->GetRawFieldData(c.SourceFieldNo, holder);
    if (holder.UsesStream) {
      DataSetSetFieldStream(i, holder.IsNull, holder.Stream());
    } else {
      DataSetSetFieldDataToRecBuf(i, holder.Length, row_.data(), holder.Data, holder.IsNull);
    }
  }
}

// ---------------------------------------------------------------------------
// Filling

void TTavQueryDataset::PopulateResultSet(TResultSetFields& columns, bool distinct) {
  // The table was just opened and emptied for this result: its rows go in
  // through that cursor (a reopen would cost an open of every index).
  if (Active())
    row_.assign(static_cast<size_t>(RecordBufferSize()), 0);
  else
    Reopen();
  TTavDatasetBridge* bridge = nullptr;
  if (create_live_result_) {
    auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(&Root());
    TAV_ASSERT(leaf != nullptr, "CreateLiveResult request is invalid");
    bridge = leaf->DataBridge();
  }
  const int n = columns.Count();
  int32_t added = 0;
  only_row_ = 0;
  uint32_t firstAdded = 0;
  const TFillColumnMaps& maps = ColumnMaps(columns);
  const std::vector<TStoredColumn>& stored = maps.Stored;
  // One write lock for the whole fill (and the emptying before it): each
  // row's add finds it held.
  TStatementWriteLock lock(*this, true);
  bool emptied = false;
  if (empty_in_fill_) {
    empty_in_fill_ = false;
    EmptyBeneathTheCursor();
    emptied = true;
  }
  // The rows the table holds before the fill: none when it was just emptied.
  const int32_t before = emptied ? 0 : GetTotalRecordCount();
  const bool join = maps.Join;
  // Rows go into the empty table without their keys, and each index is
  // then built once from the sorted keys, where nothing looks a row up while
  // the table fills (DISTINCT does) and no unique key refuses a row (GROUP
  // BY's does). A join's rows do so from the first; a single table's past
  // its first kKeyedRows rows, since building the indexes costs more than
  // keying a few rows one by one.
  const bool grouped = HasIndexDef(kIdxGroupBy);
  const bool mayGoUnkeyed = !distinct && !grouped && bridge == nullptr && !HasIndexDef(kIdxDistinct) &&
                            before == 0;
  constexpr int32_t kKeyedRows = 8;
  bool unkeyed = mayGoUnkeyed && join;
  // Plain columns of the same type and size are copied as their records
  // hold them.
  const std::vector<TRawColumn>& raw = maps.Raw;
  const auto general = [&raw](const TResultSetField& c) {
    for (const TRawColumn& r : raw)
      if (r.Column == &c) return false;
    return true;
  };
  const bool allRaw = raw.size() == static_cast<size_t>(n);
  try {
    for (bool ok = provider_mgr_->FirstProviderRecord(); ok; ok = provider_mgr_->NextProviderRecord()) {
      if (allRaw)
        ClearRecord(row_.data());
      else
        FillRow(columns, general, &stored);
      // The columns of one leaf follow each other: its record is asked for
      // once.
      const TTavNonJoinDataProvider* leaf = nullptr;
      const uint8_t* record = nullptr;
      for (const TRawColumn& r : raw) {
        if (r.Leaf != leaf) {
          leaf = r.Leaf;
          record = leaf->CurrentRecordBytes();
        }
        CopyRawColumn(r, record, row_.data(), *this);
      }
      if (bridge != nullptr) {
        const uint32_t live[2] = {bridge->GetRecAddr(), bridge->GetRecModFlag()};
        for (int k = 0; k < 2; ++k) {
          uint8_t raw[4];
          std::memcpy(raw, &live[k], 4);
          DataSetSetFieldDataToRecBuf(n + k, 4, row_.data(), raw, false);
        }
      }
      // Equal as the unique index compares them: the row is there already.
      if (distinct && FindBuf(row_.data(), stEQ, kIdxDistinct, nullptr, false)) continue;
      // A grouped row without aggregates: its group has its row already.
      if (grouped && FindBuf(row_.data(), stEQ, kIdxGroupBy, nullptr, false)) continue;
      if (!unkeyed && mayGoUnkeyed && added >= kKeyedRows) unkeyed = true;
      if (unkeyed) {
        SetRecordBuffer(row_.data());
        AddRecordUnkeyed();
      } else {
        const uint32_t address = AddRow();
        if (added == 0) firstAdded = address;
      }
      ++added;
      if (max_records_ > 0 && added >= max_records_) break;
    }
  } catch (...) {
    // The rows added so far stay readable through the indexes.
    if (unkeyed && added > 0) {
      try {
        EndUnkeyedRun();
      } catch (...) {
        // The fill's own error is the one reported.
      }
    }
    throw;
  }
  if (unkeyed && added > 0) EndUnkeyedRun();
  // Every row the fill added is in the table (a refused one throws).
  const int32_t count = before + added;
  if (count == 1 && added == 1) only_row_ = firstAdded;
  lock.Release();
  SetRowsAffectedToCount(count);
}

void TTavQueryDataset::PopulateSimpleCountResultSet() {
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(&Root());
  TAV_ASSERT(leaf != nullptr, "FProviderMgr.RootProvider is incorrect data type");
  if (!Active()) Open();
  row_.assign(static_cast<size_t>(RecordBufferSize()), 0);
  DataSetSetFieldDataToRecBufAsVariant(0, row_.data(), host::Variant(leaf->GetRecordCount()));
  AddRow();
  rows_affected_ = 1;
  First();
}

int TTavQueryDataset::GroupedColumnOf(const TResultSetFields& columns, const TTavExprNode& node) const {
  const std::string name = host::VarToStr(node.Data);
  const std::string table = node.TokenArgs.empty() || node.TokenArgs.front() == nullptr ? std::string()
                                                                                       : node.TokenArgs.front()->Text;
  for (int i = 0; i < columns.Count(); ++i) {
    const TSelectFieldItem* s = columns.Items(i)->SelectField;
    if (s == nullptr || !s->IsGrouped || s->SourceTableItem == nullptr || !host::AnsiSameText(s->SourceFieldName, name))
      continue;
    if (table.empty() || host::AnsiSameText(s->SourceTableItem->TableName(), table) ||
        host::AnsiSameText(s->SourceTableItem->CorrelationName(), table))
      return i;
  }
  return -1;
}

host::Variant TTavQueryDataset::FinalAggregateValue(const TResultSetFields& columns, const TResultSetField& column,
                                                    const host::Variant& result) {
  const TTavExprNode* around = column.SelectField != nullptr ? column.SelectField->AggExprRoot : nullptr;
  if (around == nullptr) return result;
  // The aggregate call becomes its value; the expression around it is
  // evaluated on that.
  TTavExpr clone;
  clone.CloneFromTree(around);
  clone.ResetSpecifiedNodes(tstAggFunc, tstValue, enkConst, teoCONST2, result);
  // A grouped column has the group's value, which the row holds; the
  // providers stand past their last row by now.
  for (TTavExprNode* node = clone.Root(); node != nullptr; node = node->Next()) {
    if (node->Kind != enkField) continue;
    const int at = GroupedColumnOf(columns, *node);
    if (at < 0) continue;
    node->Kind = enkConst;
    node->Operator = teoCONST2;
    node->Data = GetFieldData(at);
    node->TokenArgs.clear();
  }
  TExprEvaluator evaluator;
  evaluator.SetExcludeRelopNulls(true);
  evaluator.SetDBStringCompare(DBStringCompare());
  evaluator.Prepare(&Root(), clone.Root());
  TAV_ASSERT(evaluator.IsPrepared(), "AggFunc final evaluator is not prepared");
  evaluator.Reset();
  return evaluator.EvaluateValueExpr();
}

void TTavQueryDataset::PopulateAggregateResultSet(TResultSetFields& columns, bool grouped) {
  Reopen();
  // The count of a single table's cursor answers COUNT(*) only when that
  // table's selection is the whole condition.
  if (!grouped && IsLoneCountStar(columns) && dynamic_cast<TTavNonJoinDataProvider*>(&Root()) != nullptr &&
      !provider_mgr_->HasResidualCondition()) {
    PopulateSimpleCountResultSet();
    return;
  }
  TFuncResultList accumulators(DBStringCompare());
  const std::string keyIndex = HasIndexDef(kIdxGroupBy) ? std::string(kIdxGroupBy) : IndexName();
  // A group's row address and its accumulators, by column.
  struct TGroup {
    uint32_t Address = 0;
    std::vector<TFuncResultItem*> Items;
  };
  std::vector<TGroup> groups;
  const auto addGroup = [&](uint32_t address) {
    TGroup group;
    group.Address = address;
    group.Items.assign(static_cast<size_t>(columns.Count()), nullptr);
    for (int i = 0; i < columns.Count(); ++i) {
      const TResultSetField& c = *columns.Items(i);
      if (!IsAggregateColumn(c)) continue;
      const TSelectFieldItem& s = *c.SelectField;
      // DISTINCT values are kept with the argument's own type: COUNT of
      // texts is an Integer column over texts.
      host::TFieldType type = c.DataType();
      int32_t size = c.FieldSize();
      if (s.ExprRoot != nullptr && s.ExprRoot->DataType != host::ftUnknown &&
          s.ExprRoot->ParserToken.Token != tstAggFunc) {
        type = s.ExprRoot->DataType;
        size = s.ExprRoot->DataSize > 0 ? s.ExprRoot->DataSize : 255;
      }
      group.Items[static_cast<size_t>(i)] = accumulators.AddNewResultItem(
          host::Trim(s.RawColumnName), address, s.DistinctQuantifier, s.AggFunc, type, size, i);
    }
    groups.push_back(std::move(group));
    return groups.size() - 1;
  };
  // The groups met so far by the bytes of their row (the grouped columns'
  // values; the rest cleared) and by their row's address. Equal bytes are
  // one group; a row whose bytes are new is looked up by the group index,
  // whose compare may take other bytes for the same group (texts under
  // the database's collation, say).
  std::unordered_map<std::string, size_t> byBytes;
  std::unordered_map<uint32_t, size_t> byAddress;
  // Rows may come in any order when no value the result shows depends on
  // which row of a group came first: then the leaf reads its records in
  // address order, each page once.
  const bool anyOrder = RowOrderFree(columns, DBStringCompare());
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(&Root());
  TAddressOrderWalk walk(leaf != nullptr && anyOrder ? leaf->DataBridge() : nullptr);
  const std::vector<TAggregateFeed> feeds = AggregateFeeds(columns);
  static const host::Variant kUnassigned;
  if (!holder_) holder_ = std::make_unique<TDataHolder>();
  TDataHolder& holder = *holder_;
  int32_t rows = 0;
  size_t current = 0;
  // The current row's bytes: one buffer for every row, copied only into a
  // new group's entry.
  std::string bytes;
  if (!grouped) {
    ClearRecord(row_.data());
    current = addGroup(AddRow());
    ++rows;
  }
  for (bool ok = provider_mgr_->FirstProviderRecord(); ok; ok = provider_mgr_->NextProviderRecord()) {
    if (grouped) {
      FillRow(columns, [](const TResultSetField& c) { return !IsAggregateColumn(c); });
      bytes.assign(row_.begin(), row_.end());
      const auto known = byBytes.find(bytes);
      if (known != byBytes.end()) {
        current = known->second;
      } else {
        if (FindBuf(row_.data(), stEQ, keyIndex, nullptr, false)) {
          current = byAddress.at(DatasetGetRecAddr());
        } else {
          const uint32_t address = AddRow();
          ++rows;
          current = addGroup(address);
          byAddress.emplace(address, current);
        }
        byBytes.emplace(bytes, current);
      }
    }
    const TGroup& group = groups[current];
    for (const TAggregateFeed& feed : feeds) {
      TFuncResultItem& item = *group.Items[static_cast<size_t>(feed.Column)];
      switch (feed.Kind) {
        case TAggregateFeed::kRow: item.SetNewValue(kUnassigned); break;
        case TAggregateFeed::kStoredNumber:
          if (feed.Stored.Leaf != nullptr) {
            const uint8_t* record = nullptr;
            item.SetNewStoredNumber(feed.Type, StoredBytes(feed.Stored, record));
            break;
          }
          feed.Provider->GetRawFieldData(feed.FieldNo, holder);
          item.SetNewStoredNumber(feed.Type, holder.IsNull ? nullptr : holder.Data);
          break;
        case TAggregateFeed::kField: item.SetNewValue(feed.Source->GetDataAsVariant(feed.FieldNo)); break;
        case TAggregateFeed::kExpression:
          feed.Evaluator->Reset();
          item.SetNewValue(feed.Evaluator->EvaluateValueExpr());
          break;
      }
    }
    // Checked on every row, the last one too.
    if (max_records_ > 0 && rows > max_records_)
      TavDatabaseErrorFmt(kSqlError, kClassName, "Result set limit of %d has been exceeded", {max_records_}, this);
  }
  if (grouped && HasIndexDef(kIdxGroupBy)) InternalSetIndexName(kIdxGroupBy);
  // Listed first: writing a result can move its row along an index.
  for (const uint32_t at : CollectAddresses()) {
    DataSetSetToUnorderedRecord(at);
    for (int i = 0; i < columns.Count(); ++i) {
      const TResultSetField& c = *columns.Items(i);
      if (!IsAggregateColumn(c)) continue;
      WriteFieldValue(i, FinalAggregateValue(columns, c, accumulators.GetFuncResult(at, i)), false);
    }
    UpdateRecord();
  }
  if (HasIndexDef(kIdxOrderBy)) InternalSetIndexName(kIdxOrderBy);
  SetRowsAffectedToCount();
}

void TTavQueryDataset::ProcessHavingClause(const TTavExprNode* root) {
  if (root == nullptr) return;
  TTavExprDBDataProvider provider;
  provider.Initialize(this);
  TExprEvaluator evaluator;
  evaluator.SetExcludeRelopNulls(true);
  evaluator.SetDBStringCompare(DBStringCompare());
  evaluator.Prepare(&provider, root);
  for (const uint32_t at : CollectAddresses()) {
    provider.MoveToRecord(at);
    evaluator.Reset();
    if (evaluator.Evaluate()) continue;
    DataSetSetToUnorderedRecord(at);
    DeleteRecord(nullptr);
  }
  SetRowsAffectedToCount();
}

void TTavQueryDataset::PopulateResultSetAddrList(std::vector<uint32_t>& list) {
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(&Root());
  TAV_ASSERT(leaf != nullptr, "RootProvider type is incorrect");
  list.clear();
  // Through the source: a condition the leaf cannot answer is applied too.
  for (bool ok = provider_mgr_->FirstProviderRecord(); ok; ok = provider_mgr_->NextProviderRecord())
    list.push_back(leaf->DataBridge()->GetRecAddr());
}

void TTavQueryDataset::SetReadOnlyResultFields(const TResultSetFields& columns) {
  for (int i = 0; i < columns.Count(); ++i)
    if (host::TField* f = FindField(columns.Items(i)->FieldName())) f->SetReadOnly(columns.Items(i)->IsComputed());
}

// ---------------------------------------------------------------------------
// Data operations on a target table

void TTavQueryDataset::InsertData(TResultSetFields& columns) {
  TOpenedHere open(*this);
  rows_affected_ = 0;
  for (int i = 0; i < columns.Count(); ++i) columns.Items(i)->SourceFieldNo = GetFieldNo(columns.Items(i)->FieldName());
  ClearRecord(nullptr);
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField& c = *columns.Items(i);
    WriteFieldValue(c.SourceFieldNo, c.DataValue, false);
  }
  AddRecord(true);
  rows_affected_ = 1;
}

void TTavQueryDataset::InsertDataFromDataset(TResultSetFields& columns, host::TDataSet& source) {
  TOpenedHere open(*this);
  rows_affected_ = 0;
  for (int i = 0; i < columns.Count(); ++i) columns.Items(i)->SourceFieldNo = GetFieldNo(columns.Items(i)->FieldName());
  const int n = std::min(columns.Count(), source.FieldCount());
  for (source.First(); !source.Eof(); source.Next()) {
    ClearRecord(nullptr);
    for (int i = 0; i < n; ++i) WriteFieldValue(columns.Items(i)->SourceFieldNo, source.Fields(i)->Value(), false);
    AddRecord(true);
    ++rows_affected_;
  }
  if (State() == host::dsEdit || State() == host::dsInsert) Cancel();
}

void TTavQueryDataset::InsertDataFromRows(TResultSetFields& columns, const TResultSetFields& source,
                                          TTavQueryRowSource& rows) {
  TOpenedHere open(*this);
  rows_affected_ = 0;
  for (int i = 0; i < columns.Count(); ++i) columns.Items(i)->SourceFieldNo = GetFieldNo(columns.Items(i)->FieldName());
  const int n = std::min(columns.Count(), source.Count());
  // Per column: the bytes copied as they are (from a table's record where
  // the column is one), or the value converted.
  struct TColumnCopy {
    const TResultSetField* From = nullptr;
    int To = -1;
    bool Raw = false;
    bool Text = false;
    TStoredColumn Stored;  // Leaf set: read straight from the record
    // Set when the stored field and the target's are laid out alike: the
    // bytes go from record to record as they are.
    bool Bytes = false;
    TByteCopy Layout;
  };
  std::vector<TColumnCopy> copies(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    TColumnCopy& copy = copies[static_cast<size_t>(i)];
    copy.From = source.Items(i);
    copy.To = columns.Items(i)->SourceFieldNo;
    if (copy.To < 0 || copy.To >= GetInternalFieldCount() || IsFieldBlob(copy.To)) continue;
    copy.Raw = CopiesRaw(copy.From->DataType(), GetFieldDef(copy.To).DataType());
    copy.Text = GetFieldDef(copy.To).DataType() == host::ftString;
    if (!copy.Raw) continue;
    const TStoredColumn stored = StoredColumnOf(copy.From->DataProvider, copy.From->SourceFieldNo);
    if (stored.Leaf != nullptr && stored.Stored->DataType() == copy.From->DataType()) copy.Stored = stored;
    if (copy.Stored.Leaf != nullptr && SameLayout(*copy.Stored.Stored, GetFieldDef(copy.To), copy.Layout)) {
      copy.Bytes = true;
      copy.Layout.CutAtZero = copy.Text;
    }
  }
  if (!holder_) holder_ = std::make_unique<TDataHolder>();
  TDataHolder& holder = *holder_;
  // The rows may go in in any order when the target's own order is a
  // unique key's and a failure midway takes back the rows before it (a
  // disk table inside a transaction): then a one-table source reads its
  // records in address order, each page once.
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(rows.RootProvider());
  TIndexItem* order = IndexManager().CurrentIndex();
  const bool inTransaction = !Memory() && DataBase() != nullptr && DataBase()->InTransaction();
  const bool anyOrder = order != nullptr && order->Unique() && inTransaction;
  TAddressOrderWalk walk(leaf != nullptr && anyOrder ? leaf->DataBridge() : nullptr);
  // Nothing else of the statement reads the target (SourceRowsGoStraightIn).
  TStatementWriteLock lock(*this, inTransaction, true);
  // Under that lock no one else reads or writes the target until the
  // statement ends; a transaction takes back whatever a failure leaves.
  TInsertRun run(IndexManager(), RecordMgr().IOInterface(), inTransaction && WriteLocked());
  std::vector<uint32_t> added;
  // What the source raises takes back the rows added so far, as though the
  // source had been read whole first; what the insert raises (a value that
  // does not fit, a key) keeps them.
  const auto undo = [&] {
    if (State() == host::dsEdit || State() == host::dsInsert) Cancel();
    try {
      run.Finish();
    } catch (...) {
      // As below: the source's error is the one reported.
    }
    for (auto it = added.rbegin(); it != added.rend(); ++it) {
      try {
        DataSetSetToUnorderedRecord(*it);
        DeleteRecord(nullptr);
      } catch (...) {
        // The source's error is the one reported; a transaction around the
        // statement takes back what is left.
      }
    }
    rows_affected_ = 0;
  };
  const auto fromSource = [&](auto read) {
    try {
      return read();
    } catch (...) {
      undo();
      throw;
    }
  };
  for (bool ok = fromSource([&] { return rows.FirstProviderRecord(); }); ok;
       ok = fromSource([&] { return rows.NextProviderRecord(); })) {
    ClearRecord(nullptr);
    // The current record of the leaf read last: columns of one table look
    // it up once per row.
    const TTavNonJoinDataProvider* recordLeaf = nullptr;
    const uint8_t* record = nullptr;
    uint8_t* out = RecordBuffer();
    for (const TColumnCopy& copy : copies) {
      const TResultSetField& from = *copy.From;
      if (copy.Bytes) {
        if (copy.Stored.Leaf != recordLeaf) {
          recordLeaf = copy.Stored.Leaf;
          record = recordLeaf->CurrentRecordBytes();
        }
        if (CopyStoredBytes(copy.Layout, record, out)) continue;
        // A stored length the target cannot take: refused as the value
        // would be, below.
      }
      if (!copy.Raw) {
        WriteFieldValue(copy.To,
                        fromSource([&] { return from.DataProvider->GetDataAsVariant(from.SourceFieldNo); }), false);
        continue;
      }
      if (copy.Stored.Leaf != nullptr) {
        ReadStored(copy.Stored, holder);
      } else {
        fromSource([&] { from.DataProvider->GetRawFieldData(from.SourceFieldNo, holder); });
      }
      int32_t length = holder.Length;
      // A text is its characters up to the first zero, as its value.
      if (!holder.IsNull && holder.Data != nullptr && copy.Text)
        length = static_cast<int32_t>(strnlen(reinterpret_cast<const char*>(holder.Data), static_cast<size_t>(length)));
      DataSetSetFieldDataToRecBuf(copy.To, length, RecordBuffer(), holder.Data, holder.IsNull);
    }
    AddRecordUnpositioned(true);
    added.push_back(DatasetGetRecAddr());
    ++rows_affected_;
  }
  if (State() == host::dsEdit || State() == host::dsInsert) Cancel();
  run.Finish();
  lock.Release();
}

void TTavQueryDataset::DeleteData(bool allRows, const std::vector<uint32_t>& list) {
  if (!Active()) Open();
  if (allRows) {
    // Emptying deletes every row: the user must be allowed to delete.
    CheckPrivilegePresent(TableDef().PrivilegeFlags(), MapObjectPrivTypeToConst(opDeleteData));
    rows_affected_ = GetTotalRecordCount();
    EmptyTable();
    return;
  }
  rows_affected_ = 0;
  for (const uint32_t at : list) {
    DataSetSetToUnorderedRecord(at);
    DeleteRecord(nullptr);
    ++rows_affected_;
  }
}

void TTavQueryDataset::PrepareUpdateValues(TTavUpdateRowConstructor& setList) {
  if (!Active()) Open();
  for (int i = 0; i < setList.Count(); ++i) {
    TTavUpdateRowConstructorElement& e = *setList.Items(i);
    e.TargetColumnIndex = GetFieldNo(e.TargetColumnName);
  }
  update_provider_ = std::make_unique<TTavExprDBDataProvider>();
  update_provider_->Initialize(this);
  setList.Prepare(update_provider_.get());
  prepared_set_list_ = &setList;
}

void TTavQueryDataset::UpdateData(bool allRows, const std::vector<uint32_t>& list,
                                  TTavUpdateRowConstructor& setList) {
  rows_affected_ = 0;
  PrepareUpdateValues(setList);
  // Listed before any row changes: a changed key moves its row along the
  // index, where a walk would meet it again.
  std::vector<uint32_t> pending = allRows ? CollectAddresses() : list;
  // Each changed row with its assigned fields' values as they were, in the
  // order of the changes.
  std::vector<std::pair<uint32_t, std::vector<host::Variant>>> changed;
  try {
    // A unique key is checked against the statement's end state: a row whose
    // new key another row of the statement still holds waits until that row
    // has moved (SET K = K + 1). Only a pass that changes no row at all
    // proves a real violation.
    while (!pending.empty()) {
      std::vector<uint32_t> waiting;
      std::exception_ptr violation;
      for (const uint32_t at : pending) {
        DataSetSetToUnorderedRecord(at);
        std::vector<host::Variant> before(static_cast<size_t>(setList.Count()));
        for (int i = 0; i < setList.Count(); ++i)
          before[static_cast<size_t>(i)] = GetFieldData(setList.Items(i)->TargetColumnIndex);
        try {
          UpdateCurrentRecord(setList);
        } catch (const ETavDatabaseError& e) {
          if (e.ErrorCode() != kKeyViolation) throw;
          if (!violation) violation = std::current_exception();
          waiting.push_back(at);
          continue;
        }
        changed.emplace_back(at, std::move(before));
        ++rows_affected_;
      }
      if (waiting.size() == pending.size()) std::rethrow_exception(violation);
      pending.swap(waiting);
    }
  } catch (...) {
    RestoreUpdatedRows(setList, changed);
    rows_affected_ = 0;
    throw;
  }
}

void TTavQueryDataset::RestoreUpdatedRows(
    const TTavUpdateRowConstructor& setList,
    const std::vector<std::pair<uint32_t, std::vector<host::Variant>>>& changed) {
  // Undone from the last change back: each step returns to a state that
  // held, so no key collides on the way.
  for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
    try {
      DataSetSetToUnorderedRecord(it->first);
      for (int i = 0; i < setList.Count(); ++i)
        WriteFieldValue(setList.Items(i)->TargetColumnIndex, it->second[static_cast<size_t>(i)], true);
      UpdateRecord();
    } catch (...) {
      // The statement's own error is the one reported; the caller's
      // transaction takes back what cannot be restored here.
    }
  }
}

void TTavQueryDataset::UpdateCurrentRecord(TTavUpdateRowConstructor& setList) {
  const bool wasOpen = Active();
  TOpenedHere open(*this);
  // A provider made on an earlier opening reads nothing now.
  if (!wasOpen || prepared_set_list_ != &setList || !update_provider_) PrepareUpdateValues(setList);
  // Every value reads the record as stored, before any is assigned.
  update_provider_->MoveToRecord(DatasetGetRecAddr());
  std::vector<host::Variant> values(static_cast<size_t>(setList.Count()));
  for (int i = 0; i < setList.Count(); ++i) setList.Items(i)->GetRowData(values[static_cast<size_t>(i)]);
  for (int i = 0; i < setList.Count(); ++i)
    WriteFieldValue(setList.Items(i)->TargetColumnIndex, values[static_cast<size_t>(i)], true);
  UpdateRecord();
}

}  // namespace tav

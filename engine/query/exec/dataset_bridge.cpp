#include "engine/query/exec/dataset_bridge.h"

#include <algorithm>
#include <cstring>

#include "engine/components/tav_database.h"
#include "engine/query/exec/join_fields.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/index/index_mgr.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/table/privileges.h"
#include "host/db/field_types.h"
#include "host/rtl/date_time.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {

const char* OperatorText(TTavExprOperator op) {
  switch (op) {
    case teoNE: return " <> ";
    case teoGT: return " > ";
    case teoLT: return " < ";
    case teoGE: return " >= ";
    case teoLE: return " <= ";
    default: return " = ";
  }
}

template <class T>
T ReadRaw(const uint8_t* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

}  // namespace

std::string GetStringFromData(host::TFieldType type, const uint8_t* data, int32_t length) {
  const char* caller = "GetStringFromData";
  switch (type) {
    case host::ftString: {
      const std::string text(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
      // The filter language has no escape for a quote inside a literal: a
      // text made anyway would select other rows than the value's.
      if (text.find('\'') != std::string::npos)
        TavDatabaseError(kInvalidFieldType, caller, host::FieldTypeName(type));
      return "'" + text + "'";
    }
    case host::ftSmallint: return std::to_string(ReadRaw<int16_t>(data));
    case host::ftWord: return std::to_string(ReadRaw<uint16_t>(data));
    case host::ftInteger:
    case host::ftAutoInc: return std::to_string(ReadRaw<int32_t>(data));
    case host::ftBoolean: return data[0] != 0 ? "True" : "False";
    case host::ftFloat:
    case host::ftCurrency: return host::FloatToStr(ReadRaw<double>(data));
    case host::ftDate:
    case host::ftDateTime: return "'" + host::DateTimeToStr(ReadRaw<double>(data)) + "'";
    default:
      TavDatabaseError(kInvalidFieldType, caller, host::FieldTypeName(type));
  }
}

namespace {

// The one record of a unique key is read without counting its place in the
// index: nothing steps from it, and its number is counted if asked.
bool FirstOfKey(TTavDatasetBridge& bridge, bool singleKey) {
  if (!singleKey || bridge.FilterActive()) return bridge.DataSetFirst();
  bridge.SetDeferRangeRecNo(true);
  bool found = false;
  try {
    found = bridge.DataSetFirst();
  } catch (...) {
    bridge.SetDeferRangeRecNo(false);
    throw;
  }
  bridge.SetDeferRangeRecNo(false);
  return found;
}

}  // namespace

bool TTavDatasetBridge::FirstBridgeRecord() {
  walking_list_ = address_order_ && !Memory() && !FilterActive();
  if (!walking_list_) return FirstOfKey(*this, single_key_);
  TCompoundList list;
  InternalPrepareMasterRecordList(list);
  walk_list_ = list.List1();
  std::sort(walk_list_.begin(), walk_list_.end());
  walk_at_ = 0;
  return NextListedRecord();
}

bool TTavDatasetBridge::NextBridgeRecord() {
  if (walking_list_) return NextListedRecord();
  return single_key_ ? false : DataSetNext();
}

bool TTavDatasetBridge::NextListedRecord() {
  while (walk_at_ < walk_list_.size()) {
    const uint32_t address = walk_list_[walk_at_++];
    // Deleted by another connection since the listing: no longer this
    // table's block, or no longer in use.
    if (MoveToRecAddr(address) && InternalCheckRecordValid(RecordBuffer())) return true;
  }
  // At the end the walk stays there until the next First.
  walk_list_.clear();
  walk_list_.shrink_to_fit();
  walk_at_ = 0;
  return false;
}

host::Variant GetDataSetFieldAsVariant(TTavDataSet& ds, int fieldNo) {
  const host::TFieldType type = ds.GetFieldDef(fieldNo).DataType();
  if (type == host::ftMemo || type == host::ftFmtMemo) {
    host::TMemoryStream stream;
    bool isNull = false;
    ds.DataSetGetFieldStream(fieldNo, isNull, stream);
    if (isNull) return host::Null();
    return host::Variant(std::string(reinterpret_cast<const char*>(stream.Memory()),
                                     static_cast<size_t>(stream.Size())));
  }
  host::Variant value = ds.DataSetGetFieldDataAsVariant(fieldNo);
  // Stored as days since 1899-12-30; compared as dates.
  if ((type == host::ftDate || type == host::ftTime || type == host::ftDateTime) && !value.IsNull())
    return host::VarFromDateTime(value.AsDouble());
  return value;
}

void GetDataSetRawFieldData(TTavDataSet& ds, int fieldNo, TDataHolder& holder) {
  if (ds.IsFieldBlob(fieldNo)) {
    host::TMemoryStream& stream = holder.Stream();
    stream.Clear();
    bool isNull = false;
    ds.DataSetGetFieldStream(fieldNo, isNull, stream);
    stream.Seek(0, host::soBeginning);
    holder.IsNull = isNull;
    holder.Length = static_cast<int32_t>(stream.Size());
    holder.Data = nullptr;
    holder.UsesStream = true;
    return;
  }
  int32_t length = 0;
  const uint8_t* data = nullptr;
  bool isNull = true;
  ds.DataSetGetFieldDataByReference(fieldNo, length, data, isNull);
  holder.IsNull = isNull;
  holder.Length = length;
  holder.Data = data;
  holder.UsesStream = false;
}

host::Variant TTavDatasetBridge::GetFieldDataAsVariant(int fieldNo) {
  return GetDataSetFieldAsVariant(*this, fieldNo);
}

void TTavDatasetBridge::GetRawFieldData(int fieldNo, TDataHolder& holder) {
  GetDataSetRawFieldData(*this, fieldNo, holder);
}

uint32_t TTavDatasetBridge::GetRecAddr() const {
  return InternalActive() ? DatasetGetRecAddr() : 0;
}

uint32_t TTavDatasetBridge::GetRecModFlag() const { return DataSetGetRecordModFlag(); }

int32_t TTavDatasetBridge::GetTotalBridgeRecordCount() { return GetTotalRecordCount(); }

bool TTavDatasetBridge::MoveToRecAddr(uint32_t address) {
  try {
    DataSetSetToUnorderedRecord(address);
  } catch (const ETavDatabaseError&) {
    return false;
  }
  return true;
}

void TTavDatasetBridge::MoveToRecAddrAndValidate(uint32_t address, uint32_t flags) {
  DataSetSetToFlags(address, flags);
}

namespace {

bool IsIntegerField(host::TFieldType type) {
  return type == host::ftSmallint || type == host::ftInteger || type == host::ftWord || type == host::ftAutoInc;
}

// The smallest and largest value a field of integer `type` holds.
std::pair<int64_t, int64_t> IntegerFieldBounds(host::TFieldType type) {
  switch (type) {
    case host::ftSmallint: return {INT16_MIN, INT16_MAX};
    case host::ftWord: return {0, UINT16_MAX};
    default: return {INT32_MIN, INT32_MAX};
  }
}

bool IsIntegerConstant(const TTavExprNode* node, int64_t& value) {
  if (node == nullptr || node->Kind != enkConst) return false;
  const host::TVarType type = node->Data.VType();
  if (type != host::varSmallint && type != host::varInteger && type != host::varInt64) return false;
  value = node->Data.AsInt64();
  return true;
}

// What a condition asks of one field: its name and the key range, both ends
// included; `low` is set only when some comparison bounds it from below.
struct TKeyCondition {
  std::string Field;
  bool HasLow = false;
  int64_t Low = INT64_MIN;
  int64_t High = INT64_MAX;
};

// Folds one comparison of a field with an integer value into `out`; false
// when it is anything else, or another field's.
bool ReadKeyComparison(const TTavExprNode* c, TKeyCondition& out) {
  if (c->Kind != enkRelOperator) return false;
  TTavExprOperator op = c->Operator;
  const TTavExprNode* field = c->Left;
  int64_t value = 0;
  if (!IsIntegerConstant(c->Right, value)) {
    // The value on the left: the comparison turned round.
    field = c->Right;
    if (!IsIntegerConstant(c->Left, value)) return false;
    switch (op) {
      case teoGT: op = teoLT; break;
      case teoLT: op = teoGT; break;
      case teoGE: op = teoLE; break;
      case teoLE: op = teoGE; break;
      default: break;
    }
  }
  if (field == nullptr || field->Kind != enkField || field->CaseInsensitiveMatch || !field->Args.empty())
    return false;
  // A field node names its field in a string; the text is read in place.
  std::string converted;
  const std::string& name = field->Data.VType() == host::varString
                                ? field->Data.StrRef()
                                : (converted = host::VarToStr(field->Data));
  if (out.Field.empty())
    out.Field = name;
  else if (!host::SameText(out.Field, name))
    return false;
  // Values beyond the 64-bit range do not come from integer constants.
  switch (op) {
    case teoEQ:
      out.HasLow = true;
      out.Low = std::max(out.Low, value);
      out.High = std::min(out.High, value);
      break;
    case teoGE:
      out.HasLow = true;
      out.Low = std::max(out.Low, value);
      break;
    case teoGT:
      if (value == INT64_MAX) return false;
      out.HasLow = true;
      out.Low = std::max(out.Low, value + 1);
      break;
    case teoLE: out.High = std::min(out.High, value); break;
    case teoLT:
      if (value == INT64_MIN) return false;
      out.High = std::min(out.High, value - 1);
      break;
    default: return false;
  }
  return true;
}

// Every conjunct of the tree under `node` (AND nodes taken apart) folded
// into `out`; false at the first that is not a comparison it takes.
bool ReadKeyConjuncts(const TTavExprNode* node, TKeyCondition& out, int depth = 0) {
  if (node == nullptr || depth > MaxExprTreeDepth) return false;
  if (node->Kind == enkLogicalOperator && node->Operator == teoAND)
    return ReadKeyConjuncts(node->Left, out, depth + 1) && ReadKeyConjuncts(node->Right, out, depth + 1);
  return ReadKeyComparison(node, out);
}

// Whether the tree is an AND of comparisons of one field with integer
// values, and which range they leave.
bool ReadKeyCondition(const TTavExprNode* root, TKeyCondition& out) {
  return ReadKeyConjuncts(root, out) && !out.Field.empty() && out.HasLow;
}

}  // namespace

bool TTavDatasetBridge::KeyedOn(const TIndexItem& index, const TInternalFieldItem& field,
                                bool internal, uint32_t readFlag) {
  const TKeyFields& keys = index.KeyFields();
  if (keys.Count() == 0) return false;
  const TKeyFieldItem& first = *keys.Items(0);
  if (first.Hidden() || first.Descending() || !host::SameText(first.FieldName(), field.FieldName()))
    return false;
  for (int k = 0; k < keys.Count() && !internal; ++k) {
    const TKeyFieldItem& key = *keys.Items(k);
    if (key.Hidden()) continue;
    const int no = GetFieldNo(key.FieldName());
    if (no < 0 || (GetInternalFields().Items(no)->PrivilegeFlags() & readFlag) == 0) return false;
  }
  return true;
}

bool TTavDatasetBridge::SelectByKeyRange(const TTavExpr* expr) {
  if (expr == nullptr || expr->Root() == nullptr || !InternalActive()) return false;
  TKeyCondition condition;
  if (!ReadKeyCondition(expr->Root(), condition)) return false;
  // A range on the same field again (a prepared statement's next run): the
  // field and its index were checked when it was set, and neither changes
  // while the bridge stays open; only the values are new.
  const bool same = key_range_ && !lookup_range_ && range_field_no_ >= 0 && RangeOn() &&
                    (condition.Field == range_field_name_ || host::SameText(condition.Field, range_field_name_)) &&
                    IndexName() == range_index_name_;
  const int fieldNo = same ? range_field_no_ : GetFieldNo(condition.Field);
  if (fieldNo < 0) return false;
  const TInternalFieldItem& field = *GetInternalFields().Items(fieldNo);
  if (!IsIntegerField(field.DataType())) return false;
  const bool internal = TableDef().InternalTable();
  const uint32_t readFlag = MapObjectPrivTypeToConst(opReadData);
  // A field the user may not read is refused by the filter, as before.
  if (!same && !internal && (field.PrivilegeFlags() & readFlag) == 0) return false;
  const auto [lowest, highest] = IntegerFieldBounds(field.DataType());
  const int64_t low = std::max(condition.Low, lowest);
  const int64_t high = std::min(condition.High, highest);
  // Nothing passes: the filter says so as cheaply.
  if (low > high) return false;
  // The index: led by the field, ascending (NULL keys before every value),
  // every key field readable; the one the bridge opened on first.
  TIndexItem* chosen = nullptr;
  if (same) {
    chosen = IndexManager().CurrentIndex();
  } else {
    TIndexManager& indexes = IndexManager();
    for (int i = 0; i < indexes.Count(); ++i) {
      TIndexItem* index = indexes.Items(i);
      if (!KeyedOn(*index, field, internal, readFlag)) continue;
      if (chosen == nullptr || host::SameText(index->IndexName(), opened_index_name_)) chosen = index;
    }
  }
  if (chosen == nullptr) return false;
  LiftFilters();
  if (IndexName() != chosen->IndexName()) InternalSetIndexName(chosen->IndexName());
  // Both ends lie within the field's bounds: stored as the field holds them.
  const int32_t size = CalculateCoreDataSize(field.DataType());
  // A field of exactly that size, without a length word, takes the bytes
  // and its NULL flag in place.
  const bool inPlace = field.FieldSize() == size && field.SizeMarkerOffset() == 0;
  for (TRangeMode mode : {rmRangeStart, rmRangeEnd}) {
    InitializeRangeBuffers(mode);
    const int64_t value = mode == rmRangeStart ? low : high;
    uint8_t raw[4];
    if (size == 2)
      host::PutU16(raw, static_cast<uint16_t>(value));
    else
      host::PutU32(raw, static_cast<uint32_t>(value));
    uint8_t* buffer = GetRangeRecBuf(mode);
    if (inPlace) {
      buffer[field.NullFlagOffset()] = 1;
      std::memcpy(buffer + field.DataOffset(), raw, static_cast<size_t>(size));
    } else {
      DataSetSetFieldDataToRecBuf(fieldNo, size, buffer, raw, false);
    }
  }
  // The ends differ only in the leading field, low before high; the other
  // key fields lie open at both ends.
  SetRangeOn(true, true);
  key_range_ = true;
  if (!same) {
    range_field_no_ = fieldNo;
    range_field_name_ = condition.Field;
    range_index_name_ = IndexName();
  }
  // One value of a unique index of that field alone: at most one record,
  // and nothing to step to after it.
  single_key_ = low == high && chosen->Unique() && chosen->KeyFields().Count() == 1;
  return true;
}

void TTavDatasetBridge::ClearKeyRange() {
  lookup_index_current_ = false;
  lookup_range_ = false;
  if (!key_range_) return;
  key_range_ = false;
  single_key_ = false;
  range_field_no_ = -1;
  if (RangeOn()) DataSetClearRange();
  if (!opened_index_name_.empty() && IndexName() != opened_index_name_) InternalSetIndexName(opened_index_name_);
}

TIndexItem* TTavDatasetBridge::KeyLookupIndex(int fieldNo) {
  if (fieldNo < 0 || !InternalActive() || FilterActive()) return nullptr;
  const TInternalFieldItem& field = *GetInternalFields().Items(fieldNo);
  if (!IsIntegerField(field.DataType()) && field.DataType() != host::ftLargeint) return nullptr;
  const bool internal = TableDef().InternalTable();
  const uint32_t readFlag = MapObjectPrivTypeToConst(opReadData);
  if (!internal && (field.PrivilegeFlags() & readFlag) == 0) return nullptr;
  // Led by the field, ascending, every key field readable; among several,
  // a unique one on the field alone (one record per value), else the first.
  TIndexItem* chosen = nullptr;
  TIndexManager& indexes = IndexManager();
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem* index = indexes.Items(i);
    if (!KeyedOn(*index, field, internal, readFlag)) continue;
    if (index->Unique() && index->KeyFields().Count() == 1) return index;
    if (chosen == nullptr) chosen = index;
  }
  return chosen;
}

bool TTavDatasetBridge::CanLookUpKey(const std::string& fieldName) {
  return KeyLookupIndex(GetFieldNo(fieldName)) != nullptr;
}

bool TTavDatasetBridge::PrepareKeyLookup(const std::string& fieldName) {
  const int fieldNo = GetFieldNo(fieldName);
  TIndexItem* index = KeyLookupIndex(fieldNo);
  if (index == nullptr) return false;
  ClearKeyRange();
  lookup_field_no_ = fieldNo;
  lookup_index_name_ = index->IndexName();
  lookup_unique_ = index->Unique() && index->KeyFields().Count() == 1;
  return true;
}

bool TTavDatasetBridge::FirstKeyRecord(const uint8_t* data, int32_t length) {
  TAV_ASSERT(lookup_field_no_ >= 0, "The key lookup is not prepared");
  if (!lookup_index_current_) {
    // A selection or reset since went back to the opened index.
    if (IndexName() != lookup_index_name_) InternalSetIndexName(lookup_index_name_);
    lookup_index_current_ = true;
  }
  // The range from the value to the value, as SelectByKeyRange sets it.
  for (TRangeMode mode : {rmRangeStart, rmRangeEnd}) {
    InitializeRangeBuffers(mode);
    DataSetSetFieldDataToRecBuf(lookup_field_no_, length, GetRangeRecBuf(mode), data, false);
  }
  // One value at both ends, the other key fields open.
  SetRangeOn(true, true);
  key_range_ = true;
  lookup_range_ = true;
  single_key_ = lookup_unique_;
  walking_list_ = false;
  return FirstOfKey(*this, single_key_);
}

bool TTavDatasetBridge::NextKeyRecord() { return single_key_ ? false : DataSetNext(); }

void TTavDatasetBridge::EndKeyLookup() {
  // A range SelectByKeyRange set stays.
  if (lookup_range_) ClearKeyRange();
}

void TTavDatasetBridge::SetJoinSelectExprRoot(const TTavExpr* expr) {
  ClearKeyRange();
  if (expr && expr->Root()) {
    AssignFilterExpr(expr, true, true);
  } else {
    InternalClearFilter();
    DataSetFirst();
  }
}

void TTavDatasetBridge::InternalOpen() {
  key_range_ = false;
  single_key_ = false;
  range_field_no_ = -1;
  opened_schema_changes_ = DataBase() != nullptr ? DataBase()->SchemaChanges() : 0;
  ++open_count_;
  TTavBaseTable::InternalOpen();
  opened_index_name_ = IndexName();
}

bool TTavDatasetBridge::OpenAndCurrent() const {
  return Active() && DataBase() != nullptr &&
         DataBase()->SchemaChanges() == opened_schema_changes_;
}

void TTavDatasetBridge::ResetSelection() {
  ClearKeyRange();
  address_order_ = false;
  LiftFilters();
  if (!opened_index_name_.empty() && IndexName() != opened_index_name_) InternalSetIndexName(opened_index_name_);
}

void TTavDatasetBridge::LiftFilters() {
  base_filter_text_.clear();
  if (Filtered()) SetFiltered(false);
  if (!Filter().empty()) SetFilterText("");
  InternalClearFilter();
}

void TTavDatasetBridge::LoadHashTable(TTavBaseHash& hash, TCompoundList& list, bool& filterActive) {
  filterActive = FilterActive();
  LoadHashListOfRecords(hash, filterActive ? &list : nullptr);
}

TIndexItem* TTavDatasetBridge::JoinIndex(const std::vector<std::string>& fieldNames) const {
  if (fieldNames.empty()) return nullptr;
  host::TStringList names;
  for (const std::string& n : fieldNames) names.Add(n);
  return const_cast<TTavDatasetBridge*>(this)->IndexManager().FindIndexForFields(names, false);
}

void TTavDatasetBridge::AssessJoin(const std::vector<std::string>& fieldNames,
                                   TJoinStatistics& statistics) {
  statistics.Indexed = JoinIndex(fieldNames) != nullptr;
}

void TTavDatasetBridge::PrepareJoin(const std::vector<std::string>& fieldNames) {
  if (TIndexItem* index = JoinIndex(fieldNames)) InternalSetIndexName(index->IndexName());
  base_filter_text_ = Filter();
}

std::string TTavDatasetBridge::BuildJoinFilterText(TTavExprOperator op,
                                                   const std::vector<std::string>& fieldNames,
                                                   const std::vector<TDataHolder*>& values) const {
  TAV_ASSERT(values.size() >= fieldNames.size(), "Join values missing");
  std::string text = base_filter_text_;
  TInternalFields& fields = const_cast<TTavDatasetBridge*>(this)->GetInternalFields();
  for (size_t i = 0; i < fieldNames.size(); ++i) {
    const TInternalFieldItem* field = fields.FindField(fieldNames[i]);
    TAV_ASSERT(field != nullptr, "Join field can not be found");
    if (!text.empty()) text += " AND ";
    text += "[" + fieldNames[i] + "]";
    const TDataHolder& value = *values[i];
    if (value.IsNull) {
      text += " IS NULL";
      continue;
    }
    text += OperatorText(op);
    text += GetStringFromData(field->DataType(), value.Data, value.Length);
  }
  return text;
}

void TTavDatasetBridge::SetJoinValues(TTavExprOperator op, const std::vector<std::string>& fieldNames,
                                      const std::vector<TDataHolder*>& values) {
  const std::string text = BuildJoinFilterText(op, fieldNames, values);
  if (text.empty()) {
    SetFiltered(false);
    SetFilterText(text);
  } else {
    SetFilterText(text);
    SetFiltered(true);
  }
}

}  // namespace tav

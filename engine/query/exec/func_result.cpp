#include "engine/query/exec/func_result.h"

#include <cstring>
#include <exception>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/record/internal_fields.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/variant_ops.h"

namespace tav {

namespace {

const char kQueryDatasetClass[] = "TTavQueryDataset";

[[noreturn]] void ConversionError(const std::exception& e) {
  TavDatabaseError(kSqlError, kQueryDatasetClass,
                   std::string("Aggregate column data conversion error") + " : " + e.what());
}

// A value as a number for SUM and AVG; the conversion's failure is the
// query's error.
double AsNumber(const host::Variant& value) {
  try {
    return value.AsDouble();
  } catch (const ETavDatabaseError&) {
    throw;
  } catch (const std::exception& e) {
    ConversionError(e);
  }
}

bool GathersDistinctValues(TTavSQLAggFunc f, bool distinct) {
  return distinct && (f == tafCount || f == tafSum || f == tafAvg);
}

}  // namespace

// ---------------------------------------------------------------------------
// TFuncResultItem

TFuncResultItem::~TFuncResultItem() = default;

void TFuncResultItem::Initialize(int32_t columnNo, TTavSQLAggFunc aggFunc, bool distinct,
                                 TTavDataBase* database, const std::string& tableName,
                                 const std::string& fieldName, host::TFieldType dataType,
                                 int32_t size, TDBStringCompare compare) {
  column_no_ = columnNo;
  agg_func_ = aggFunc;
  distinct_ = distinct;
  compare_ = compare;
  if (!GathersDistinctValues(aggFunc, distinct)) return;
  TAV_ASSERT(database != nullptr, "Aggregate value table has no database");
  auto table = std::make_unique<TTavTable>(nullptr);
  table->SetDataBase(database);
  table->SetMemory(true);
  table->SetTableName(tableName);
  const bool sized = dataType == host::ftString || dataType == host::ftWideString;
  table->FieldDefs().Add(fieldName, dataType, sized ? size : 0, false);
  table->IndexDefs().Add("", fieldName, host::TIndexOptions{host::ixPrimary, host::ixUnique});
  table->CreateTable();
  table->Open();
  values_ = std::move(table);
}

void TFuncResultItem::SetNewValue(const host::Variant& value) {
  if (GathersDistinctValues(agg_func_, distinct_)) {
    AddDistinctValue(value);
    return;
  }
  // COUNT(*) hands in Unassigned for every row: it counts. Any other
  // aggregate has an argument, whose missing value is Null.
  if (value.IsNull() || (value.IsEmpty() && agg_func_ != tafCount)) return;
  switch (agg_func_) {
    case tafSum:
    case tafAvg: total_ += AsNumber(value); break;
    case tafMax:
    case tafMin:
      if (value_count_ == 0 || Replaces(value)) {
        kept_ = value;
        kept_stored_ = false;
      }
      break;
    default: break;
  }
  ++value_count_;
}

bool TFuncResultItem::TakesStoredNumber(host::TFieldType type) {
  switch (type) {
    case host::ftSmallint:
    case host::ftWord:
    case host::ftInteger:
    case host::ftAutoInc:
    case host::ftFloat: return true;
    default: return false;
  }
}

void TFuncResultItem::SetNewStoredNumber(host::TFieldType type, const uint8_t* data) {
  TAV_ASSERT(!GathersDistinctValues(agg_func_, distinct_) && TakesStoredNumber(type),
             "Stored number handed to an item that cannot take it");
  if (data == nullptr) return;
  if (agg_func_ != tafCount) {
    // Every value of these types is exact as a double.
    double number = 0;
    int32_t whole = 0;
    if (type == host::ftFloat)
      number = StoredFloat(data);
    else
      whole = StoredWholeNumber(type, data);
    const bool isFloat = type == host::ftFloat;
    if (!isFloat) number = whole;
    switch (agg_func_) {
      case tafSum:
      case tafAvg: total_ += number; break;
      case tafMax:
      case tafMin: {
        bool replaces = value_count_ == 0;
        if (!replaces && kept_stored_)
          replaces = agg_func_ == tafMax ? number > kept_number_ : number < kept_number_;
        else if (!replaces)
          replaces = Replaces(isFloat ? host::Variant(number) : host::Variant(whole));
        if (replaces) {
          kept_ = isFloat ? host::Variant(number) : host::Variant(whole);
          kept_number_ = number;
          kept_stored_ = true;
        }
        break;
      }
      default: break;
    }
  }
  ++value_count_;
}

bool TFuncResultItem::Replaces(const host::Variant& value) const {
  int order = 0;
  if (value.VType() == host::varString && kept_.VType() == host::varString && compare_ != nullptr) {
    // As the result table's indexes order texts, not as the host collates.
    const std::string& a = value.StrRef();
    const std::string& b = kept_.StrRef();
    order = compare_(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()),
                     false, false);
  } else {
    try {
      order = host::VarCompare(value, kept_);
    } catch (const ETavDatabaseError&) {
      throw;
    } catch (const std::exception& e) {
      ConversionError(e);
    }
  }
  return agg_func_ == tafMax ? order > 0 : order < 0;
}

void TFuncResultItem::AddDistinctValue(const host::Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return;
  TTavTable& t = *values_;
  std::vector<uint8_t> key(static_cast<size_t>(t.RecordBufferSize()), 0);
  t.ClearRecord(key.data());
  try {
    t.DataSetSetFieldDataToRecBufAsVariant(0, key.data(), value);
  } catch (const ETavDatabaseError&) {
    throw;
  } catch (const std::exception& e) {
    ConversionError(e);
  }
  if (t.FindBuf(key.data(), stEQ, t.IndexName(), nullptr, false)) return;
  t.SetRecordBuffer(key.data());
  t.AddRecord(false);
  ++value_count_;
}

host::Variant TFuncResultItem::DistinctResult() {
  TTavTable& t = *values_;
  const int32_t rows = t.GetTotalRecordCount();
  if (agg_func_ == tafCount) return host::Variant(rows);
  double total = 0;
  try {
    for (bool ok = t.DataSetFirst(); ok; ok = t.DataSetNext()) total += t.DataSetGetFieldDataAsVariant(0).AsDouble();
  } catch (const ETavDatabaseError&) {
    throw;
  } catch (const std::exception& e) {
    ConversionError(e);
  }
  if (agg_func_ == tafAvg && rows > 0) total /= rows;
  return host::Variant(total);
}

host::Variant TFuncResultItem::CalculateNumericFuncResult() {
  if (GathersDistinctValues(agg_func_, distinct_)) return DistinctResult();
  if (agg_func_ == tafCount) return host::Variant(value_count_);
  // An aggregate over no values is 0.
  if (value_count_ == 0) return host::Variant(0.0);
  switch (agg_func_) {
    case tafAvg: return host::Variant(total_ / value_count_);
    case tafSum: return host::Variant(total_);
    case tafMax:
    case tafMin: return kept_;
    default: return host::Variant(0.0);
  }
}

// ---------------------------------------------------------------------------
// TFuncResultHolder

TFuncResultHolder::TFuncResultHolder(TFuncResultList& list, uint32_t recordAddress)
    : list_(list), record_address_(recordAddress), base_name_(std::to_string(recordAddress)) {}

TFuncResultItem* TFuncResultHolder::AddNewResultItem(const std::string& columnText, bool distinct,
                                                     TTavSQLAggFunc aggFunc,
                                                     host::TFieldType dataType, int32_t size,
                                                     int32_t columnNo) {
  TFuncResultItem* item = Add();
  const bool gathers = GathersDistinctValues(aggFunc, distinct);
  item->Initialize(columnNo, aggFunc, distinct, gathers ? &GetHolderDatabase() : nullptr,
                   base_name_ + "_" + std::to_string(columnNo), columnText.empty() ? "fld1" : columnText,
                   dataType, size, list_.Compare());
  return item;
}

TFuncResultItem* TFuncResultHolder::FindFuncResultItem(int32_t columnNo) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->ColumnNo() == columnNo) return Items(i);
  return nullptr;
}

TTavDataBase& TFuncResultHolder::GetHolderDatabase() { return list_.Database(); }

// ---------------------------------------------------------------------------
// TFuncResultList

TFuncResultList::TFuncResultList(TDBStringCompare compare) : compare_(compare) {}

TFuncResultList::~TFuncResultList() {
  // The value tables close before their connection goes.
  holders_.clear();
}

TTavDataBase& TFuncResultList::Database() {
  if (databases_.empty() || tables_on_last_ >= kTablesPerConnection) {
    // Private connections serve every row: memory tables belong to their
    // connection, so these names meet no other query's.
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(kMemoryDataBaseName);
    db->Open();
    databases_.push_back(std::move(db));
    tables_on_last_ = 0;
  }
  ++tables_on_last_;
  return *databases_.back();
}

TFuncResultHolder* TFuncResultList::GetHolder(uint32_t recordAddress) const {
  const auto it = holders_.find(recordAddress);
  return it == holders_.end() ? nullptr : it->second.get();
}

TFuncResultHolder* TFuncResultList::AddHolder(uint32_t recordAddress) {
  auto& slot = holders_[recordAddress];
  if (!slot) slot = std::make_unique<TFuncResultHolder>(*this, recordAddress);
  return slot.get();
}

TFuncResultItem* TFuncResultList::AddNewResultItem(const std::string& columnText,
                                                   uint32_t recordAddress, bool distinct,
                                                   TTavSQLAggFunc aggFunc,
                                                   host::TFieldType dataType, int32_t size,
                                                   int32_t columnNo) {
  return AddHolder(recordAddress)->AddNewResultItem(columnText, distinct, aggFunc, dataType, size, columnNo);
}

TFuncResultItem* TFuncResultList::FindFuncResultItem(uint32_t recordAddress, int32_t columnNo) const {
  const TFuncResultHolder* holder = GetHolder(recordAddress);
  return holder != nullptr ? holder->FindFuncResultItem(columnNo) : nullptr;
}

TFuncResultItem& TFuncResultList::RequireItem(uint32_t recordAddress, int32_t columnNo) const {
  TFuncResultItem* item = FindFuncResultItem(recordAddress, columnNo);
  TAV_ASSERT(item != nullptr, "FindFuncResultItem failed");
  return *item;
}

void TFuncResultList::SetNewValue(uint32_t recordAddress, int32_t columnNo, const host::Variant& value) {
  RequireItem(recordAddress, columnNo).SetNewValue(value);
}

host::Variant TFuncResultList::GetFuncResult(uint32_t recordAddress, int32_t columnNo) {
  return RequireItem(recordAddress, columnNo).CalculateNumericFuncResult();
}

}  // namespace tav

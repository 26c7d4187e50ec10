#include "engine/query/parse/select_fields.h"

#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

bool TableMatches(const TTableNameItem* table, const std::string& name) {
  return table != nullptr && (host::AnsiSameText(table->CorrelationName(), name) ||
                              host::AnsiSameText(table->TableName(), name));
}

}  // namespace

void TSelectFieldItem::Assign(const host::TPersistent& source) {
  TInternalFieldItem::Assign(source);
  const auto* src = dynamic_cast<const TSelectFieldItem*>(&source);
  if (src == nullptr) return;
  SourceTableItem = src->SourceTableItem;
  HasAggregateFunction = src->HasAggregateFunction;
  ExprRoot = src->ExprRoot;
  SourceFieldName = src->SourceFieldName;
  RawColumnName = src->RawColumnName;
  DistinctQuantifier = src->DistinctQuantifier;
  IsGrouped = src->IsGrouped;
  AggFunc = src->AggFunc;
  CustomQualifier = src->CustomQualifier;
  AggExprRoot = src->AggExprRoot;
}

void TSelectFields::Assign(const host::TPersistent& source) {
  const auto* src = dynamic_cast<const TSelectFields*>(&source);
  if (src == nullptr) {
    TInternalFields::Assign(source);
    return;
  }
  if (src == this) return;
  Clear();
  for (int i = 0; i < src->Count(); ++i) Add()->Assign(*src->Items(i));
}

TSelectFieldItem* TSelectFields::AddSelectField(const std::string& name, const std::string& sourceName,
                                                const TInternalFieldItem& fieldItem,
                                                const TTableNameItem* tableItem) {
  TSelectFieldItem* item = Add();
  item->TInternalFieldItem::Assign(fieldItem);
  item->SourceTableItem = tableItem;
  item->SetFieldName(host::Trim(name));
  item->SourceFieldName = host::Trim(sourceName);
  if (fieldItem.IsVariable()) item->SetFieldSize(fieldItem.GetWriteableFieldSize());
  return item;
}

TSelectFieldItem* TSelectFields::FindField(const std::string& name) const {
  if (auto* item = static_cast<TSelectFieldItem*>(TInternalFields::FindField(name))) return item;
  const std::string trimmed = host::Trim(name);
  for (int i = 0; i < Count(); ++i) {
    if (host::AnsiSameText(host::Trim(Items(i)->RawColumnName), trimmed)) return Items(i);
  }
  return nullptr;
}

TSelectFieldItem* TSelectFields::FindColumn(const std::string& tableName,
                                            const std::string& columnName) const {
  const bool qualified = !tableName.empty();
  const auto reads = [&](const TSelectFieldItem* item) {
    return host::AnsiSameText(item->SourceFieldName, columnName) &&
           (!qualified || TableMatches(item->SourceTableItem, tableName));
  };
  // Two columns may share a name (a self-join's k and k): the qualified
  // reference tells them apart.
  if (qualified) {
    for (int i = 0; i < Count(); ++i)
      if (Items(i)->SourceTableItem != nullptr && reads(Items(i))) return Items(i);
  }
  if (TSelectFieldItem* item = FindField(columnName)) {
    if (!qualified || item->SourceTableItem == nullptr ||
        TableMatches(item->SourceTableItem, tableName))
      return item;
  }
  for (int i = 0; i < Count(); ++i)
    if (reads(Items(i))) return Items(i);
  return nullptr;
}

bool TSelectFields::ContainsAggregateColumns() const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->HasAggregateFunction) return true;
  return false;
}

bool TSelectFields::ContainsGroupedOutput() const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->IsGrouped) return true;
  return false;
}

}  // namespace tav

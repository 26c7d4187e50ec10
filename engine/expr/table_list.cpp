#include "engine/expr/table_list.h"

#include "host/rtl/sys_utils.h"

namespace tav {

void TTableNameItem::SetTableFields(const TInternalFields* fields) {
  table_fields_.reset();
  if (fields == nullptr) return;
  auto copy = std::make_shared<TInternalFields>();
  copy->Assign(*fields);
  table_fields_ = std::move(copy);
}

const TInternalFields& TTableNameItem::NoFields() {
  static const TInternalFields none;
  return none;
}

host::TFieldType TTableNameItem::GetFieldType(const std::string& fieldName) const {
  const TInternalFieldItem* field = TableFields().FindField(fieldName);
  return field != nullptr ? field->DataType() : host::ftUnknown;
}

int32_t TTableNameItem::GetFieldSize(const std::string& fieldName) const {
  const TInternalFieldItem* field = TableFields().FindField(fieldName);
  if (field == nullptr) return 0;
  return field->IsVariable() ? field->GetWriteableFieldSize() : field->FieldSize();
}

void TTableNameItem::Assign(const host::TPersistent& source) {
  const auto* item = dynamic_cast<const TTableNameItem*>(&source);
  if (item == nullptr) {
    host::TCollectionItem::Assign(source);
    return;
  }
  if (item == this) return;
  table_name_ = item->table_name_;
  correlation_name_ = item->correlation_name_;
  table_fields_ = item->table_fields_;
  memory_ = item->memory_;
  memory_specified_ = item->memory_specified_;
  in_correlated_subquery_ = item->in_correlated_subquery_;
  correlated_subquery_id_ = item->correlated_subquery_id_;
}

TTableNameItem* TTableList::FindTable(const std::string& name) const {
  if (name.empty() && Count() == 1) return Items(0);
  // An alias outranks a table name: in "FROM T t, T x", t names the first reference even though
  // the later one is also table T.
  for (int i = Count() - 1; i >= 0; --i)
    if (host::AnsiSameText(Items(i)->CorrelationName(), name)) return Items(i);
  // Then a reference without an alias, then any reference of that table.
  for (int i = Count() - 1; i >= 0; --i)
    if (Items(i)->CorrelationName().empty() && host::AnsiSameText(Items(i)->TableName(), name))
      return Items(i);
  return FindTableName(name);
}

TTableNameItem* TTableList::FindTableName(const std::string& name) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (host::AnsiSameText(Items(i)->TableName(), name)) return Items(i);
  return nullptr;
}

TTableNameItem* TTableList::FindTableAndCorrelationName(const std::string& tableName,
                                                        const std::string& correlationName) const {
  if (tableName.empty() && Count() == 1) return Items(0);
  for (int i = Count() - 1; i >= 0; --i) {
    TTableNameItem* item = Items(i);
    if (host::AnsiSameText(item->TableName(), tableName) &&
        host::AnsiSameText(item->CorrelationName(), correlationName))
      return item;
  }
  return nullptr;
}

TTableNameItem* TTableList::FindTableForField(const std::string& fieldName) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (Items(i)->TableFields().FindField(fieldName) != nullptr) return Items(i);
  return nullptr;
}

void TTableList::MergeLists(const TTableList* list1, const TTableList* list2) {
  // Build aside, so that either source may be this list.
  TTableList merged;
  if (list1 != nullptr) merged.Assign(*list1);
  if (list2 != nullptr) {
    for (int i = 0; i < list2->Count(); ++i) {
      const TTableNameItem* item = list2->Items(i);
      bool held = false;
      for (int j = 0; j < merged.Count() && !held; ++j)
        held = host::AnsiSameText(merged.Items(j)->TableName(), item->TableName()) &&
               host::AnsiSameText(merged.Items(j)->CorrelationName(), item->CorrelationName());
      if (!held) merged.Add()->Assign(*item);
    }
  }
  Assign(merged);
}

}  // namespace tav

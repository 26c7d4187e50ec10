// The table references of a statement. Each TTableNameItem is one reference
// in a FROM clause (or the target of INSERT, UPDATE, DELETE and the schema
// statements): the table's name, the alias it goes by, a copy of its columns
// and where it lives. The expression parser resolves column names through a
// TTableList, field nodes carry a copy of the reference they belong to, and the
// query engine merges the lists of subtrees to see which tables a condition
// joins.
//
// Every look-up ignores case and searches from the last item to the first, so
// that the most recently added reference wins (an inner query's table shadows
// an outer one of the same name).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/storage/record/internal_fields.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"

namespace tav {

class TTableNameItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  const std::string& CorrelationName() const { return correlation_name_; }
  void SetCorrelationName(const std::string& value) { correlation_name_ = value; }
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& value) { table_name_ = value; }
  const TInternalFields& TableFields() const { return table_fields_ ? *table_fields_ : NoFields(); }
  // Replaces the columns by copies of `fields`; nullptr leaves none. Items
  // copied from this one share the copy (the columns never change after).
  void SetTableFields(const TInternalFields* fields);
  bool Memory() const { return memory_; }
  void SetMemory(bool value) { memory_ = value; }
  // The statement said explicitly whether the table is in memory.
  bool MemorySpecified() const { return memory_specified_; }
  void SetMemorySpecified(bool value) { memory_specified_ = value; }
  bool InCorrelatedSubquery() const { return in_correlated_subquery_; }
  void SetInCorrelatedSubquery(bool value) { in_correlated_subquery_ = value; }
  int32_t CorrelatedSubqueryID() const { return correlated_subquery_id_; }
  void SetCorrelatedSubqueryID(int32_t value) { correlated_subquery_id_ = value; }

  // The column's type; ftUnknown when the table has no such column.
  host::TFieldType GetFieldType(const std::string& fieldName) const;
  // The column's size, or the characters a variable-size column may hold; 0
  // when the table has no such column.
  int32_t GetFieldSize(const std::string& fieldName) const;

  // From another TTableNameItem: every field, the columns shared.
  void Assign(const host::TPersistent& source) override;

 private:
  std::string correlation_name_;
  std::string table_name_;
  static const TInternalFields& NoFields();

  std::shared_ptr<const TInternalFields> table_fields_;
  bool memory_ = false;
  bool memory_specified_ = false;
  bool in_correlated_subquery_ = false;
  int32_t correlated_subquery_id_ = 0;
};

class TTableList : public host::TCollection {
 public:
  TTableNameItem* Add() { return static_cast<TTableNameItem*>(host::TCollection::Add()); }
  TTableNameItem* Items(int index) const {
    return static_cast<TTableNameItem*>(host::TCollection::Items(index));
  }
  // Assigns `item` to the item at `index`.
  void SetItems(int index, const TTableNameItem& item) { Items(index)->Assign(item); }
  // The last item; nullptr when the list is empty.
  TTableNameItem* Last() const { return Count() > 0 ? Items(Count() - 1) : nullptr; }

  // With an empty name and exactly one item, that item; otherwise the last item
  // whose CorrelationName or TableName is `name` (so an empty name finds the
  // last table without an alias).
  TTableNameItem* FindTable(const std::string& name) const;
  // The last item whose TableName is `name`.
  TTableNameItem* FindTableName(const std::string& name) const;
  // With an empty table name and exactly one item, that item; otherwise the
  // last item matching both names.
  TTableNameItem* FindTableAndCorrelationName(const std::string& tableName,
                                              const std::string& correlationName) const;
  // The last item whose table has a column named `fieldName`.
  TTableNameItem* FindTableForField(const std::string& fieldName) const;
  // Becomes a copy of list1 (empty for nullptr) plus a copy of each item of
  // list2 whose table and correlation name pair is not held yet. Either list
  // may be this one.
  void MergeLists(const TTableList* list1, const TTableList* list2);

 protected:
  host::TCollectionItem* NewItem() override { return new TTableNameItem(); }
};

}  // namespace tav

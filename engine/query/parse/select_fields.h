// The result columns of a SELECT: TSelectFields, a TInternalFields whose
// items (TSelectFieldItem) describe each column (FieldName, DataType,
// FieldSize) and where its value comes from: a plain column of a table
// (SourceTableItem, SourceFieldName), an expression (ExprRoot) or an
// aggregate (AggFunc over ExprRoot, inside AggExprRoot when the call is
// wrapped in a larger expression).
//
// Callers must keep:
//  - SourceTableItem points into the statement's table list, ExprRoot and
//    AggExprRoot into the select parser's expressions: both must outlive the
//    columns' use (a new parse or Clear ends them).
//  - Lookups ignore case.
#pragma once

#include <string>

#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "engine/storage/record/internal_fields.h"

namespace tav {

class TSelectFieldItem : public TInternalFieldItem {
 public:
  using TInternalFieldItem::TInternalFieldItem;

  const TTableNameItem* SourceTableItem = nullptr;  // a plain column's table (borrowed)
  bool HasAggregateFunction = false;
  // What a row evaluates: the expression, the aggregate's argument (the
  // aggregate call itself for COUNT(*)), or nullptr for a plain column.
  const TTavExprNode* ExprRoot = nullptr;
  std::string SourceFieldName;  // the field a plain column reads
  std::string RawColumnName;
  bool DistinctQuantifier = false;  // aggregate written with DISTINCT
  bool IsGrouped = false;           // named in GROUP BY
  TTavSQLAggFunc AggFunc = tafUnknown;
  std::string CustomQualifier;
  // The whole expression around an aggregate call that is not the root.
  const TTavExprNode* AggExprRoot = nullptr;

  // From another TSelectFieldItem: every field; otherwise the base assign.
  void Assign(const host::TPersistent& source) override;
};

class TSelectFields : public TInternalFields {
 public:
  TSelectFieldItem* Add() { return static_cast<TSelectFieldItem*>(TInternalFields::Add()); }
  TSelectFieldItem* Items(int index) const {
    return static_cast<TSelectFieldItem*>(TInternalFields::Items(index));
  }

  // A copy of each item of another TSelectFields; otherwise the base assign.
  void Assign(const host::TPersistent& source) override;
  // A column named `name` reading field `fieldItem` of `tableItem`.
  TSelectFieldItem* AddSelectField(const std::string& name, const std::string& sourceName,
                                   const TInternalFieldItem& fieldItem,
                                   const TTableNameItem* tableItem);
  // The column whose FieldName is `name`, else the first whose trimmed
  // RawColumnName is the trimmed `name`; nullptr when none.
  TSelectFieldItem* FindField(const std::string& name) const;
  // A column a reference names. With a table name, the plain column reading
  // that field of that table (by correlation or table name) comes first;
  // otherwise FindField, then the first plain column reading that field. A
  // plain column of another table never matches a qualified reference.
  TSelectFieldItem* FindColumn(const std::string& tableName, const std::string& columnName) const;
  bool ContainsAggregateColumns() const;
  bool ContainsGroupedOutput() const;

 protected:
  host::TCollectionItem* NewItem() override { return new TSelectFieldItem(); }
};

}  // namespace tav

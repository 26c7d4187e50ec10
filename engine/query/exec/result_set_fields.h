// The columns of a SELECT's result table (TResultSetFields). Each column
// (TResultSetField) comes from one select column: a plain column reads its
// field raw from the provider of its table; any other column (an expression,
// an aggregate's argument) is evaluated over the root of the provider tree.
// A column also carries the value a data-change statement writes to it
// (DataValue).
//
// The free routines here decide what the result table looks like before it
// exists, from the select columns alone, so that the same answers serve the
// statement's validation and the building of the table: the output name of
// each column, the field an ORDER BY key names, and the result table's
// indexes ("idxorderby", "idxgroupby", "idxdistinct").
//
// Output names: the alias; else a plain column's bare field name ("x.c"
// gives "c"); else the column's trimmed text; a name already taken (without
// regard to case) gets "_1", "_2", ... appended.
//
// Callers must keep:
//  - The select columns (and the trees and table list they point into), the
//    providers and the string compare routine outlive the columns' use.
#pragma once

#include <string>
#include <vector>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_tree.h"
#include "engine/query/exec/join_fields.h"
#include "engine/query/parse/select_fields.h"
#include "engine/storage/base/tav_compare.h"
#include "host/rtl/variant.h"

namespace host {
class TFieldDefs;
class TIndexDefs;
}  // namespace host

namespace tav {

inline constexpr char kIdxOrderBy[] = "idxorderby";
inline constexpr char kIdxGroupBy[] = "idxgroupby";
inline constexpr char kIdxDistinct[] = "idxdistinct";

// A select column that is one field of one table, read raw from its
// provider; any other column is evaluated.
bool IsPlainColumn(const TSelectFieldItem& c);

class TResultSetField : public TJoinFieldItem {
 public:
  using TJoinFieldItem::TJoinFieldItem;

  // The select column the field was made from (borrowed; nullptr for a
  // column of a data-change statement).
  const TSelectFieldItem* SelectField = nullptr;
  // What an INSERT writes to the field.
  host::Variant DataValue;

  // The column is evaluated rather than read from a table's field.
  bool IsComputed() const { return Evaluator() != nullptr && Evaluator()->IsPrepared(); }
};

class TResultSetFields : public TJoinFields {
 public:
  TResultSetField* Add() { return static_cast<TResultSetField*>(TJoinFields::Add()); }
  TResultSetField* Items(int index) const {
    return static_cast<TResultSetField*>(TJoinFields::Items(index));
  }

  // The first column named `name`; else the first whose select column's
  // source field, name or trimmed text is `name`; nullptr when none. Case
  // is ignored.
  TResultSetField* FindResultSetField(const std::string& name) const;

  // Replaces the columns by one per select column, in order, named by
  // MakeResultColumnNames. A plain column reads field SourceFieldNo of its
  // table's provider in the tree under `root` (found by correlation name,
  // then table name); any other column is evaluated over `root`, with
  // `compare` for texts and the SQL null rules.
  void BuildFromSelectFields(const TSelectFields& columns, TTavBaseJoinDataProvider* root,
                             TDBStringCompare compare);
  // One field definition per column: its name, type and size, not required.
  void AddFieldDefs(host::TFieldDefs& defs) const;
  // Points every column HAVING reads at its result field (name, type and
  // size); a name that is no result column raises 9645 ("Column name in
  // having clause not found: %s").
  void PrepareHavingExpr(TTavExprNode* root) const;

 protected:
  host::TCollectionItem* NewItem() override { return new TResultSetField(); }
};

// The output name of each select column, in order.
std::vector<std::string> MakeResultColumnNames(const TSelectFields& columns);

// The output name an ORDER BY key names: an output name itself; else a key
// "[table.]field" names the first plain column reading that field (of that
// table, by table or correlation name, when one is given). Empty when none.
std::string GetResultSetFieldNameFromSortKey(const TSelectFields& columns,
                                             const std::vector<std::string>& names,
                                             const std::string& key);

// The error line of the first ORDER BY item that names no result column (a
// key that names none, a position past the last column): "The result set
// field could not be found: " and the item's text. Empty when every item
// names one.
std::string CheckOrderByItems(const TSelectFields& columns, const TOrderByItems& items);

// The result table's indexes: "idxorderby" over the ORDER BY items (those
// sorted descending listed as its descending fields), with `grouped`
// "idxgroupby" (unique) over the columns that are not aggregates, with
// `distinct` "idxdistinct" (unique) over every column. An index without
// fields is left out. An ORDER BY item naming no column raises 9645 with
// CheckOrderByItems' line.
void PrepareResultIndexDefs(host::TIndexDefs& defs, const TSelectFields& columns,
                            const TOrderByItems* orderBy, bool grouped, bool distinct);

}  // namespace tav

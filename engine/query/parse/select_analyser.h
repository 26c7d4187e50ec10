// TTavSelectAnalyser turns a parsed select list, with the statement's table
// list, into the result columns (TSelectFields) and checks the rules a
// SELECT must keep: the DISTINCT limits, GROUP BY coverage and the HAVING
// condition's references, which it rewrites to read the result row.
//
// Callers must keep:
//  - Each check returns false with Message set (empty Message = no error);
//    the message is the analyser's own text, without a token.
//  - The select nodes, their expressions and the table list are borrowed:
//    SelectFields refers into them (see select_fields.h).
//  - CheckHavingExpr changes the HAVING tree in place (aggregate calls and
//    columns become references to result columns): run it once, after
//    CheckSelect, on a tree nothing else evaluates yet.
#pragma once

#include <string>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "engine/query/parse/select_fields.h"
#include "engine/query/parse/select_parser.h"
#include "host/rtl/object.h"

namespace tav {

// The most result columns a DISTINCT query may have.
inline constexpr int kMaxDistinctColumns = 32;

class TTavSelectAnalyser : public host::TObject {
 public:
  // Builds the result columns from the list starting at `firstNode`; false
  // (with an empty message) when either argument is missing.
  bool CheckSelect(const TTavSelectNode* firstNode, const TTableList* tableList);
  // Marks the grouped columns and checks that every column is grouped or
  // aggregated; true without a list.
  bool CheckGroupedColumns(TGroupByItems* groupByItems);
  // Points HAVING's aggregate calls and columns at the result columns.
  bool CheckHavingExpr(TTavExpr* havingExpr);

  void SetIsDistinct(bool value) { IsDistinct = value; }
  void SetSelectFields(const TSelectFields& fields) { SelectFields.Assign(fields); }
  // Every readable field of every table, in list order.
  void PrepareAllFields();
  // Every readable field of one table, named apart from the columns before.
  void AddFieldsForTable(const std::string& tableName, const TTableNameItem* tableItem);
  void AnalyseColumnNode(const TTavSelectNode* node);

  TSelectFields SelectFields;
  const TTavSelectNode* FirstNode = nullptr;
  const TTableList* TableList = nullptr;
  std::string Message;
  bool IsDistinct = false;

 private:
  void CheckDistinct();
};

}  // namespace tav

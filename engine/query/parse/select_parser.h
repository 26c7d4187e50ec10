// The select list of a SELECT statement. TTavSelectParser reads the
// quantifier (DISTINCT or ALL), `*`, `t.*` and value columns with their
// aliases into a list of TTavSelectNode; each value column's expression is
// parsed (and typed against the statement's table list) by the expression
// parser. The select analyser (select_analyser.h) turns the list into the
// result columns.
//
// Callers must keep:
//  - Errors are recorded (first one wins, at its token), never raised.
//  - Clear frees every node and its expression; First and every node
//    reference die then, and with them the result columns' ExprRoot and
//    AggExprRoot pointers.
//  - The table list given with SetTableList is borrowed and must outlive the
//    parse; the tokens (Token, ErrorToken, the expressions' TokenArgs) are
//    the pre-parser's, which must outlive the nodes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "host/rtl/object.h"

namespace host {
class TStrings;
}

namespace tav {

enum TSelectNodeType : uint8_t { snSingleColumn, snGroupColumn, snAggFunc };

class TTavSelectNode : public host::TObject {
 public:
  TTavSelectNode() = default;
  TTavSelectNode(const TTavSelectNode&) = delete;
  TTavSelectNode& operator=(const TTavSelectNode&) = delete;

  // The column's expression (value and aggregate columns); nullptr for `*`
  // and `t.*`. Owned.
  std::unique_ptr<TTavExpr> Expr;
  TTavSelectNode* Left = nullptr;   // not set by the parser
  TTavSelectNode* Next = nullptr;   // the next column of the list
  TTavSelectNode* Right = nullptr;  // not set by the parser
  std::string Qualifier;            // the table of `t.*`; empty for `*`
  const TParserToken* Token = nullptr;  // where the column starts (borrowed)
  std::string RawColumnName;            // the column as written
  TSelectNodeType SelectNodeType = snSingleColumn;
  std::string OutputColumnName;  // the alias, when one was given
};

class TTavSelectParser : public TBaseParser {
 public:
  TTavSelectParser();
  ~TTavSelectParser() override;

  // The base clear, then every node freed.
  void Clear() override;
  // Reads the select list from the stack's current position (a leading
  // SELECT is passed); true when no error was recorded.
  bool Execute(TTavParserOptions options, TParserStack* stack) override;

  // A node at the end of the list.
  TTavSelectNode* NewSelectNode(TSelectNodeType type, const TParserToken* token);
  void SetTableList(TTableList* list) { TableList = list; }
  void SetIsDistinct(bool value) { IsDistinct = value; }
  void DebugDisplay(host::TStrings& lines) const;

  // The first column (list head and root alike); nullptr before a parse.
  TTavSelectNode* First() const { return nodes_.empty() ? nullptr : nodes_.front().get(); }

  TTableList* TableList = nullptr;  // borrowed
  bool IsDistinct = false;

 private:
  void ParseValueColumn();

  std::vector<std::unique_ptr<TTavSelectNode>> nodes_;
};

}  // namespace tav

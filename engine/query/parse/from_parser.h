// The FROM clause of a SELECT statement. TTavFromParser reads the clause into
// two results: the table list (every table the clause names, with its
// correlation name and whether TEMPORARY was written) and a tree of
// TTavTableRefNode holding the explicit joins with their kinds, their ON
// conditions and their USING columns. Comma-separated references only add to
// the table list; the planner joins those itself.
//
// Callers must keep:
//  - Errors are recorded (first one wins, at its token), never raised; read
//    them with GetErrorMsg. A reference that starts with SELECT is refused:
//    subqueries in FROM are not supported.
//  - Clear frees every node (and with them their ON expressions); node
//    pointers, Root and the trees die then. The table list is kept until the
//    next run fills it again.
//  - ON conditions are parsed without a table list: their columns are
//    untyped until TJoinPostProcessor (join_post_processor.h) resolves them
//    against the statement's tables. Nothing may evaluate an ON condition
//    before that has succeeded.
//  - The tokens (ErrorToken, the nodes' TokenArgs, the USING list's objects)
//    belong to the pre-parser, which must outlive the parser's results.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "host/rtl/object.h"
#include "host/rtl/string_list.h"

namespace host {
class TStrings;
}

namespace tav {

enum TTavTableRefType : uint8_t {
  trUnknown, trCrossJoin, trUnionJoin, trInnerJoin, trLeftOuterJoin, trRightOuterJoin,
  trFullOuterJoin, trSubQuery, trTableName
};

// The display names of the kinds, by value.
extern const char* const CStrTableRefType[trTableName + 1];

constexpr bool IsJoinRefType(TTavTableRefType t) { return t >= trCrossJoin && t <= trFullOuterJoin; }

class TTavTableRefNode : public host::TObject {
 public:
  TTavTableRefNode();
  ~TTavTableRefNode() override;
  TTavTableRefNode(const TTavTableRefNode&) = delete;
  TTavTableRefNode& operator=(const TTavTableRefNode&) = delete;

  // The join condition of a join node (empty otherwise); owned.
  TTavExpr& OnExpr() { return *on_expr_; }
  const TTavExpr& OnExpr() const { return *on_expr_; }
  TTavTableRefType JoinType = trUnknown;
  std::string InnerTable;  // the right operand's table name (display only)
  std::string OuterTable;  // the left operand's table name (display only)
  TTavTableRefNode* Next = nullptr;  // the root current when the node was made
  TTavTableRefNode* Left = nullptr;  // the outer side of a join
  TTavTableRefNode* Right = nullptr;  // the inner side of a join
  std::string Text;  // a table node's table name as written
  bool IsNaturalJoin = false;
  std::string CorrelationName;  // a table node's alias

  // The USING columns; each one's object is its token (borrowed).
  host::TStringList& UsingColumnList() { return *using_column_list_; }
  const host::TStringList& UsingColumnList() const { return *using_column_list_; }

  void SetCorrelationName(const std::string& value) { CorrelationName = value; }
  void SetInnerTable(const std::string& value) { InnerTable = value; }
  void SetIsNaturalJoin(bool value) { IsNaturalJoin = value; }
  void SetJoinType(TTavTableRefType value) { JoinType = value; }
  void SetLeft(TTavTableRefNode* node) { Left = node; }
  void SetNext(TTavTableRefNode* node) { Next = node; }
  void SetOuterTable(const std::string& value) { OuterTable = value; }
  void SetRight(TTavTableRefNode* node) { Right = node; }
  void SetText(const std::string& value) { Text = value; }
  // Replaces the list; the node owns the new one.
  void SetUsingColumnList(std::unique_ptr<host::TStringList> list);

  // A token the node keeps for a tree node made after parsing (the
  // qualifiers of a USING condition), living as long as the node.
  TParserToken* NewOwnedToken(TTavSQLToken kind, const std::string& text);

  // The subtree: left (indent + two blanks), the node's line and its ON
  // condition, right (indent + two blanks).
  void DisplayTree(const std::string& indent, host::TStrings& lines) const;

 private:
  std::unique_ptr<TTavExpr> on_expr_;
  std::unique_ptr<host::TStringList> using_column_list_;
  std::deque<TParserToken> owned_tokens_;  // a deque: addresses never move
};

class TTavFromParser : public TBaseParser {
 public:
  TTavFromParser();
  ~TTavFromParser() override;

  // The base clear, then every node freed; the table list stays.
  void Clear() override;
  // Parses the FROM clause from the stack's current position; true when no
  // error was recorded.
  bool Execute(TTavParserOptions options, TParserStack* stack) override;

  // A node of that kind whose Next is the present root, kept in the node list.
  TTavTableRefNode* NewTableRefNode(TTavTableRefType kind);
  // The join nodes whose ON condition holds something.
  int GetExprCount() const;
  void DebugDisplay(host::TStrings& lines) const;

  TTableList& TableList() { return table_list_; }
  const TTableList& TableList() const { return table_list_; }
  // The last join built; nullptr when the clause has no explicit join.
  TTavTableRefNode* Root() const { return root_; }
  int NodeCount() const { return static_cast<int>(nodes_.size()); }
  TTavTableRefNode* Nodes(int i) const { return nodes_.at(static_cast<size_t>(i)).get(); }

 private:
  void ParseFromClause();
  // A primary reference and the joins after it; the top node or nullptr.
  TTavTableRefNode* ParseTableRefSequence();
  TTavTableRefNode* ParsePrimaryReference();
  // A join node of that kind over `left` and the reference after JOIN (the
  // current token); nullptr after an error.
  TTavTableRefNode* NewJoin(TTavTableRefType kind, TTavTableRefNode* left, bool natural);
  bool ParseOnCondition(TTavTableRefNode* join);
  bool ParseUsingList(TTavTableRefNode* join);
  bool IsJoinSpecifier(TTavSQLToken t) const;

  TTableList table_list_;
  std::vector<std::unique_ptr<TTavTableRefNode>> nodes_;
  TTavTableRefNode* root_ = nullptr;
  int nesting_ = 0;
};

}  // namespace tav

// TTavExprParser: the recursive-descent parser of conditions and value
// expressions (filter texts, WHERE, HAVING and ON conditions, SELECT items,
// SET and VALUES values). It reads one token stack of the pre-parser and
// builds a TTavExpr tree bottom-up, typing the nodes from the columns of the
// statement's TTableList as it goes.
//
// Callers must keep:
//  - Errors are recorded, never raised: the first one wins (SetError), its
//    message and token are read with GetErrorMsg, and the expression is
//    flagged at the same time, so that no node is made after an error.
//  - Every tree the parser returns is at most MaxExprTreeDepth deep and a
//    full walk of it (shared subtrees counted each time they are reached)
//    visits at most MaxExprTreeWalk nodes; deeper or larger text is the
//    error "Expression is too complex" at the token where the bound was
//    passed. The parser's own recursion has the same bound (each condition
//    and each primary nests once, so a parenthesis counts twice).
//  - Root and Expr stay valid until the next execute or the parser's end;
//    the tokens (node TokenArgs, ErrorToken) belong to the pre-parser, which
//    must outlive both.
//  - OnParserNotify is raised for a subquery (pntSubquery: the handler reads
//    the subquery's tokens from the same stack and leaves the parser's
//    CurrentToken at the token after it, appending the raw texts it read to
//    ParsedText, as ResumeAfter does) and, in a subquery, for a qualified
//    column of an unknown table (pntFindTableRef: the handler fills the
//    node's TableList and sets the value to True for an outer reference). A
//    handler reports a failure with the parser's SetError.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "engine/expr/base_parser.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"

namespace tav {

// The most nodes a full walk of a parsed tree may visit. Only the BETWEEN
// rewrite shares a subtree (its two comparisons read the same operand), so
// nested BETWEENs would otherwise double the work of every walker per level.
inline constexpr int32_t MaxExprTreeWalk = 1 << 20;

// The operator a token's text names ("<" teoLT ... "||" teoADD), for
// operator tokens only; teoNOTDEFINED for anything else or no token.
TTavExprOperator GetExprOperator(const TParserToken* token);
TTavExprNodeKind GetExprNodeKind(TTavExprOperator op);

class TTavExprParser : public TBaseParser {
 public:
  TTavExprParser();
  ~TTavExprParser() override;

  bool Execute(TTavParserOptions options, TParserStack* stack) override;
  // Parses a condition into `expr`, which stays the caller's.
  bool ExecuteExternalExpr(TTavExpr& expr, TTavParserOptions options, TParserStack* stack);
  // Parses a value expression into `expr`; on success the expression's
  // parsed text is ParsedText without the token that ended the value.
  bool ExecuteExternalValueExpr(TTavExpr& expr, TTavParserOptions options, TParserStack* stack);
  // With `replace`, Root becomes a clone of `expr`'s tree; otherwise the
  // clone and the old Root are joined by teoAND or teoOR (any other
  // operator fails an assertion). A join that would pass the bounds records
  // "Expression is too complex" and leaves Root as it was.
  void CloneFromExpr(const TTavExpr& expr, bool replace, TTavExprOperator op);

  void SetError(const TParserToken* token, std::string_view message) override;
  void ClearError() override;
  // Also clears the expression's error flag, which would refuse every node
  // the next clone or join makes.
  void Clear() override;

  void SetValidEndTokens(const TTavSQLTokens& tokens) { ValidEndTokens = tokens; }
  void SetTableList(TTableList* list) { TableList = list; }
  void SetCaseInsensitiveMatch(bool value) { CaseInsensitiveMatch = value; }
  void SetPartialStringComparison(bool value) { PartialStringComparison = value; }
  void SetIgnoreTypeChecks(bool value) { IgnoreTypeChecks = value; }
  void SetValidateFields(bool value) { ValidateFields = value; }
  // How deep the parse already stands when it starts: a subquery read by a
  // nested parser counts the nesting of the condition around it, so that
  // the whole statement keeps to MaxExprTreeDepth.
  void SetNestingBase(int value) { nesting_base_ = value; }
  int Nesting() const { return nesting_; }

  // The expression being filled: the parser's own, or the caller's during an
  // external execute; nullptr after one.
  TTavExpr* Expr = nullptr;
  TTavExprNode* Root = nullptr;
  TTavSQLTokens ValidEndTokens{tstEnd};
  TTableList* TableList = nullptr;  // borrowed
  bool CaseInsensitiveMatch = false;
  bool PartialStringComparison = false;
  bool IgnoreTypeChecks = false;
  bool ValidateFields = false;

 private:
  // What the parser knows of each node it made: the tree's height under it
  // and the nodes a full walk from it visits.
  struct TNodeSize {
    int32_t Height = 1;
    int32_t Walk = 1;
  };

  void BeginParse(TTavExpr& expr, TTavParserOptions options, TParserStack* stack);
  bool ExecuteExternal(TTavExpr& expr, TTavParserOptions options, TParserStack* stack,
                       bool valueExpr);

  // The grammar, loosest level first.
  TTavExprNode* ParseCondition();
  TTavExprNode* ParseAnd();
  // Operands of `next` joined by the `joiner` token into `op` nodes.
  TTavExprNode* ParseLogicalChain(TTavSQLToken joiner, TTavExprOperator op,
                                  TTavExprNode* (TTavExprParser::*next)());
  TTavExprNode* ParseNot();
  TTavExprNode* ParsePredicate();
  TTavExprNode* ParseBetween(TTavExprNode* left);
  TTavExprNode* ParseIn(TTavExprNode* left);
  TTavExprNode* ParseLike(TTavExprNode* left);
  TTavExprNode* ParseComparison(TTavExprNode* left);
  TTavExprNode* ParseAdditive();
  TTavExprNode* ParseMultiplicative();
  // The operators of a level after its first operand `left`: "+" and "-",
  // "*" and "/", or, in a character value, "+" and "||" only.
  enum class TArithLevel { Additive, Multiplicative, Character };
  TTavExprNode* ParseArithChain(TTavExprNode* left, TArithLevel level);
  TTavExprNode* ParsePrimary();
  TTavExprNode* ParsePrimaryToken();
  TTavExprNode* ParseNumber();
  // A constant of the current token, which it passes.
  TTavExprNode* ParseConstant(TTavExprOperator op, const host::Variant& value,
                              host::TFieldType type);
  TTavExprNode* ParseField();
  // The table of the list that has an unqualified column; nullptr with the
  // error recorded when none or several of several tables have it.
  const TTableNameItem* FindColumnHolder(const TParserToken* token);
  TTavExprNode* ParseQualifiedField();
  TTavExprNode* ParseParameter();
  TTavExprNode* ParseSubquery();
  TTavExprNode* ParseQuantifiedSubquery();
  TTavExprNode* ParseAggregate();
  TTavExprNode* ParseStringFunction();
  TTavExprNode* ParseTrim(const TParserToken* fn);
  TTavExprNode* ParseSubstring(const TParserToken* fn);
  TTavExprNode* ParseCast();
  TTavExprNode* ParseExtract();
  TTavExprNode* ParseValueExpr();
  TTavExprNode* ParseSetFunctionExpr(bool& distinct);
  TTavExprNode* ParseGeneralValue(bool aggregate, bool* distinct);
  TTavExprNode* ParseCharacterValueExpr();
  // Passes an optional "(" before a value (an immediate ")" is "Expression
  // is empty"); whether there was one.
  bool OpenValueParen();

  // The column's type and size (ftUnknown and -1 when unknown); records the
  // look-up error at `token`.
  void LookUpColumn(const std::string& table, const std::string& column,
                    const TParserToken* token, host::TFieldType& type, int32_t& size);
  void TypeCheckArithOp(TTavExprNode* node, const TParserToken* token);
  static int32_t ArithResultSize(const TTavExprNode* node);
  void ApplyScope(TTavExprNode* node);
  // Whether the option is given; records `message` at the current token if not.
  bool RequireOption(TTavParserOption option, const char* message);

  // Every node is made here: the expression's factory, after the bounds are
  // checked (nullptr, with the error recorded, past them).
  TTavExprNode* MakeNode(TTavExprNodeKind kind, TTavExprOperator op, const host::Variant& value,
                         TTavExprNode* left, TTavExprNode* right, const TParserToken* token,
                         const std::vector<TTavExprNode*>& args = {});
  // Appends an argument to a node not yet linked into a parent.
  bool AddArg(TTavExprNode* node, TTavExprNode* arg, const TParserToken* token);
  TNodeSize SizeOf(const TTavExprNode* node) const;
  bool WithinBounds(const TNodeSize& size, const TParserToken* token);
  // Brings the root to the head of the expression's node list, where
  // TTavExpr looks for it.
  void FinishTree();

  std::unique_ptr<TTavExpr> own_expr_;
  std::unordered_map<const TTavExprNode*, TNodeSize> sizes_;
  int nesting_ = 0;
  int nesting_base_ = 0;
};

}  // namespace tav

// The expression tree. Every parsed condition or value (filters, WHERE, ON,
// HAVING, SELECT items, SET values, DEFAULT expressions) is a tree of
// TTavExprNode built bottom-up through the node factory of one TTavExpr, which
// owns every node it made or cloned. The evaluator and the optimizer walk the
// tree; the query engine clones, searches and rewrites parts of it.
//
// Callers must keep:
//  - Nodes belong to their expression and are freed only all together (Clear
//    or the expression's end); every node reference held elsewhere dies then.
//    A node's Left, Right and Args are borrowed references into the same
//    expression; a node owns only its ParserToken, TableList and its lists.
//  - Trees are at most MaxExprTreeDepth nodes deep, counted along Left, Right
//    and Args. The expression parser refuses deeper text; cloning, dumping and
//    comparing a deeper tree fail a TAV_ASSERT instead of running the stack
//    out.
//  - TokenArgs and ExprNodeDataProvider are borrowed: the pre-parser that made
//    the tokens and the provider must outlive the tree's use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/pre_parser.h"
#include "engine/expr/sql_tokens.h"
#include "engine/expr/table_list.h"
#include "host/db/field_types.h"
#include "host/rtl/object.h"
#include "host/rtl/variant.h"

namespace host {
class TStrings;
}

namespace tav {

// The deepest tree any routine here walks (the root is at depth 1), and the
// deepest nesting the expression parser recurses to. At this bound parsing,
// cloning, dumping and comparing fit in 4 MiB of stack in the sanitizer build
// (a test runs them on a thread of that size; about 2.5 MiB are used); every
// walker added later must fit the same.
inline constexpr int MaxExprTreeDepth = 1000;

// clang-format off
enum TTavExprNodeKind : uint8_t {
  enkUnknown, enkField, enkConst, enkParam, enkRelOperator, enkArithOperator,
  enkLogicalOperator, enkFunc, enkNonRelPredicate, enkSubquery
};

// The relational operators are the range teoISBLANK..teoLE; several parts of
// the engine test that range, so the ordinals are fixed.
enum TTavExprOperator : uint8_t {
  teoNOTDEFINED, teoISBLANK, teoNOTBLANK, teoEQ, teoNE, teoGT, teoLT, teoGE, teoLE, teoNOT,
  teoAND, teoOR, teoTUPLE2, teoFIELD2, teoCONST2, teoMINUS, teoADD, teoSUB, teoMUL, teoDIV,
  teoMOD, teoREM, teoSUM, teoCOUNT, teoMIN, teoMAX, teoAVG, teoCONT, teoUDF2, teoCONTINUE2,
  teoLIKE, teoIN, teoLIST2, teoUPPER, teoLOWER, teoFUNC2, teoLISTELEM2, teoASSIGN,
  teoSUBQUERY, teoOUTERFIELD, teoPARAMETER
};
inline constexpr int TTavExprOperatorCount = teoPARAMETER + 1;
static_assert(TTavExprOperatorCount == 41);

constexpr bool IsRelOperator(TTavExprOperator op) {
  return op >= teoISBLANK && op <= teoLE;
}

enum TTavExprScopeKind : uint8_t { tskField, tskAgg, tskConst };

enum TTavSQLAggFunc : uint8_t { tafUnknown, tafCount, tafAvg, tafSum, tafMax, tafMin };

enum TTavSQLStrFunc : uint8_t {
  tsfUnknown, tsfSubstring, tsfUpper, tsfLower, tsfTrim, tsfTrimLeading, tsfTrimTrailing,
  tsfTrimBoth
};

enum TTavSubqueryType : uint8_t { tsqUnspecified, tsqAnyOrSome, tsqAll, tsqExists };
// clang-format on

// The names the tree dump shows: the token kind's own name ("tstFieldName"),
// the node kind's ("enkRelOperator", with "enField" and "enConst" as the dump
// has always spelt them) and the operator's ("coEQ"; "teoSUBQUERY" for the
// last three). Values out of range give an empty name.
std::string_view SQLTokenName(TTavSQLToken token);
std::string_view ExprNodeKindName(TTavExprNodeKind kind);
std::string_view ExprOperatorName(TTavExprOperator op);

// The rows of a subquery as the evaluator reads them: a forward cursor over
// the result set. The query engine implements it over its result table.
class TTavExprRowSource {
 public:
  virtual ~TTavExprRowSource() = default;
  // Past the last row (an empty result is at its end at once).
  virtual bool Eof() const = 0;
  virtual void Next() = 0;
  virtual int FieldCount() const = 0;
  // The current row's value of column `index` (0-based, below FieldCount).
  virtual host::Variant FieldValue(int index) const = 0;
};

// The data source of a subquery or function node. PrepareAndOpen makes the
// rows ready (running or re-running the subquery) and leaves ProviderDataset
// on its first row; it says False when there are no rows to read, as this
// base always does.
class TCustomExprNodeDataProvider : public host::TObject {
 public:
  virtual bool PrepareAndOpen() { return false; }

  TTavExprRowSource* ProviderDataset = nullptr;  // borrowed
};

class TTavExpr;

class TTavExprNode : public host::TObject {
 public:
  TTavExprNode() = default;
  TTavExprNode(const TTavExprNode&) = delete;
  TTavExprNode& operator=(const TTavExprNode&) = delete;

  int32_t DataSize = -1;  // string length for strings; -1 until known
  TTavExprNode* Left = nullptr;
  TTavExprNode* Right = nullptr;
  TTavExprOperator Operator = teoNOTDEFINED;
  TTavExprNodeKind Kind = enkUnknown;
  TTavExprScopeKind ScopeKind = tskField;
  host::TFieldType DataType = host::ftUnknown;
  // Function arguments, IN-list elements, aggregate arguments.
  std::vector<TTavExprNode*> Args;
  // Tokens carried with the node, such as a column's table qualifier.
  std::vector<TParserToken*> TokenArgs;
  // A copy of the token the node was made from (its raw text left out).
  TParserToken ParserToken;
  host::Variant Data;
  bool CaseInsensitiveMatch = false;
  bool PartialMatch = false;
  int32_t PartialLength = -1;
  // The table a field node belongs to, or the tables of a subquery.
  TTableList TableList;
  TCustomExprNodeDataProvider* ExprNodeDataProvider = nullptr;

  // The next node in the owning expression's node list (not a tree link).
  TTavExprNode* Next() const { return next_; }

  void SetDataSize(int32_t value) { DataSize = value; }
  void SetLeft(TTavExprNode* node) { Left = node; }
  void SetRight(TTavExprNode* node) { Right = node; }
  void SetOperator(TTavExprOperator value) { Operator = value; }
  void SetKind(TTavExprNodeKind value) { Kind = value; }
  void SetScopeKind(TTavExprScopeKind value) { ScopeKind = value; }
  void SetDataType(host::TFieldType value) { DataType = value; }
  // Copies the fields of a non-nil token (not its raw text).
  void SetParserToken(const TParserToken* token);
  void SetData(const host::Variant& value) { Data = value; }
  void SetCaseInsensitiveMatch(bool value) { CaseInsensitiveMatch = value; }
  void SetPartialMatch(bool value) { PartialMatch = value; }
  void SetPartialLength(int32_t value) { PartialLength = value; }
  // Copies the items of `list` (nullptr empties the node's list).
  void SetTableList(const TTableList* list);
  void SetExprNodeDataProvider(TCustomExprNodeDataProvider* provider) {
    ExprNodeDataProvider = provider;
  }

  // Copies every field but Args and the node-list link: the children and the
  // token arguments as references, the token, the value and the table list
  // as copies.
  void AssignNode(const TTavExprNode& source);
  // A copy of this node owned by `owner`, its argument subtrees cloned whole
  // into `owner`; Left and Right stay references to this node's children.
  TTavExprNode* CloneNode(TTavExpr& owner) const;

  // Converts Data (unless Null) to the variant form of `type`, then sets
  // DataType: ftString to text (DataSize := its length), ftSmallint and
  // ftInteger to an Integer, ftBoolean, ftFloat, ftCurrency, ftDate and
  // ftDateTime to theirs; other types leave Data as it is. A value that does
  // not convert raises the host's conversion error.
  void SetAndConvertDataType(host::TFieldType type);

  // The node's own fields, its token kind, its table names and token kinds,
  // and its argument subtrees; not Left and Right.
  bool AreNodesEquivalent(const TTavExprNode* other) const;

  // The node's dump line, followed by its arguments between "Start Args" and
  // "End Args".
  void Display(const std::string& indent, host::TStrings& lines) const;
  // The subtree in order: left (indent + " "), node, right (indent + " ").
  static void DisplayExprTree(const std::string& indent, const TTavExprNode* node,
                              host::TStrings& lines);

 private:
  friend class TTavExpr;
  bool EquivalentAt(const TTavExprNode* other, int depth) const;
  void DisplayAt(const std::string& indent, host::TStrings& lines, int depth) const;
  static void DisplayTreeAt(const std::string& indent, const TTavExprNode* node,
                            host::TStrings& lines, int depth);

  TTavExprNode* next_ = nullptr;
};

class TTavExpr : public host::TObject {
 public:
  TTavExpr() = default;
  TTavExpr(const TTavExpr&) = delete;
  TTavExpr& operator=(const TTavExpr&) = delete;
  ~TTavExpr() override { Clear(); }

  // Frees every node.
  void Clear();

  // A new node at the head of the node list (so the newest node is the root),
  // with the expression's match flags, DataType ftUnknown, DataSize -1 and a
  // copy of `token` (which may be nil). nullptr while ErrorMsg is set: parsers
  // stop building on that.
  TTavExprNode* NewNode(TTavExprNodeKind kind, TTavExprOperator op, const host::Variant& value,
                        TTavExprNode* left, TTavExprNode* right, const TParserToken* token);
  // NewNode, then DataType and DataSize.
  TTavExprNode* NewFieldNode(TTavExprNodeKind kind, TTavExprOperator op, const host::Variant& value,
                             TTavExprNode* left, TTavExprNode* right, const TParserToken* token,
                             host::TFieldType fieldType, int32_t size);

  const std::string& ErrorMsg() const { return error_msg_; }
  void SetErrorMsg(const std::string& text) { error_msg_ = text; }
  bool CaseInsensitiveMatch() const { return case_insensitive_match_; }
  void SetCaseInsensitiveMatch(bool flag) { case_insensitive_match_ = flag; }
  bool PartialStringComparisons() const { return partial_string_comparisons_; }
  void SetPartialStringComparisons(bool flag) { partial_string_comparisons_ = flag; }
  // The source text of a value expression.
  const std::string& ParsedText() const { return parsed_text_; }
  void SetParsedText(const std::string& text) { parsed_text_ = text; }

  // The head of the node list: the tree's root.
  TTavExprNode* Root() const { return head_; }
  int GetNodeCount() const { return node_count_; }

  // A deep copy of the subtree under `node` (which may belong to another
  // expression), owned by this one; nullptr for nullptr. The copy's root is not
  // made the head: CloneFromTree does that.
  TTavExprNode* CloneSubTree(const TTavExprNode* node);
  // CloneSubTree, and the copy's root becomes this expression's root.
  TTavExprNode* CloneFromTree(const TTavExprNode* node);
  // Moves a node of this expression to the head; nothing for nullptr, the head
  // or a node of another expression.
  void SetAsFirstNode(TTavExprNode* node);

  bool ExprContainsToken(TTavSQLToken token) const { return FindNodeWithToken(token) != nullptr; }
  // The first node from the head whose ParserToken is of that kind.
  TTavExprNode* FindNodeWithToken(TTavSQLToken token) const;
  // Gives every node whose token is of kind `token` the token kind `newToken`,
  // the node kind, the operator and Data := value (turning parameters into
  // constants, say). The two token kinds must differ.
  void ResetSpecifiedNodes(TTavSQLToken token, TTavSQLToken newToken, TTavExprNodeKind kind,
                           TTavExprOperator op, const host::Variant& value);

  // The dump of the whole tree from the root; nothing for an empty tree.
  void Display(host::TStrings& lines) const;

 private:
  friend class TTavExprNode;
  // Puts a node made for this expression at the head of the list.
  TTavExprNode* Adopt(TTavExprNode* node);
  TTavExprNode* CloneNodeAt(const TTavExprNode& source, int depth);
  TTavExprNode* CloneSubTreeAt(const TTavExprNode* node, int depth);

  TTavExprNode* head_ = nullptr;
  int node_count_ = 0;
  std::string error_msg_;
  bool case_insensitive_match_ = false;
  bool partial_string_comparisons_ = false;
  std::string parsed_text_;
};

}  // namespace tav

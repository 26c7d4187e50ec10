// Evaluating expression trees against rows. A TTavExprDataProvider is a
// source of rows with columns (a table behind a filter, one side of a join);
// a TExprEvaluator binds a tree's columns to a provider once (Prepare) and
// then gives the tree's value for the provider's current row as often as
// asked (Reset, then Evaluate or EvaluateValueExpr). TExprResultListGenerator
// runs an evaluator over a list of record addresses and keeps those whose
// row passes.
//
// Callers must keep:
//  - The provider, every provider FindProvider hands out, the expression
//    tree, its subquery data sources and the string compare routine outlive
//    the evaluator's use; the evaluator borrows them all.
//  - Reset before each row: per-row results must not leak into the next.
//  - Trees are at most MaxExprTreeDepth deep (as the parser makes them);
//    Prepare fails a TAV_ASSERT on a deeper one.
//  - Aggregates and outer references evaluate to Unassigned: the query engine
//    supplies their values (and counts COUNT(*) by that).
//
// Null rules. With ExcludeRelopNulls (SQL conditions) a Null or Empty operand
// of a comparison, LIKE or NOT LIKE gives Empty or False; without it (the
// host's filters) Null compares as the empty text in string comparisons and
// below every value elsewhere (TTavOpEvaluator).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_tree.h"
#include "engine/expr/op_evaluator.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/record/internal_fields.h"
#include "host/rtl/object.h"
#include "host/rtl/variant.h"

namespace tav {

// The rows an expression reads. The base serves one table whose columns are
// ProviderFields; the dataset filters and the joins derive from it.
class TTavExprDataProvider : public host::TObject {
 public:
  TTavExprDataProvider() = default;
  TTavExprDataProvider(const TTavExprDataProvider&) = delete;
  TTavExprDataProvider& operator=(const TTavExprDataProvider&) = delete;

  virtual TInternalFields* GetProviderFields() { return &ProviderFields; }
  // The current row's value of the field whose FieldNo is `fieldNo`.
  virtual host::Variant GetDataAsVariant(int32_t fieldNo);
  // Fills `list` with the addresses of all rows in the provider's base order.
  virtual void GetDefaultRecordList(TCompoundList& list);
  virtual void Open() {}
  virtual void Refresh() {}
  // Makes the row at `address` current.
  virtual bool MoveToRecord(uint32_t address);
  // The column `name` (without regard to case), or nullptr; `token` is the
  // table qualifier's token when there is one.
  virtual TInternalFieldItem* FindField(const TParserToken* token, const std::string& name);
  // The provider serving the table `tableName` (this one in the base).
  virtual TTavExprDataProvider* FindProvider(const std::string& tableName);
  // The host's filter event for the row at `address`.
  virtual bool PassFilterEvent(uint32_t address);
  // Whether GetStoredField serves the current row's stored bytes.
  virtual bool KeepsStoredRecords() const { return false; }
  // The current row's stored bytes of the numeric or text column whose
  // FieldNo is `fieldNo`, as the record holds them (a text's length within
  // the field's size); `data` is nullptr for a Null. False when they cannot
  // be had: the general evaluator reads the value instead.
  virtual bool GetStoredField(int32_t fieldNo, const uint8_t*& data, int32_t& length);

  void SetDBStringCompare(TDBStringCompare routine) { DBStringCompare = routine; }
  void SetHasPassFilterEvent(bool value) { HasPassFilterEvent = value; }
  void SetBaseRecNo(int32_t value) { BaseRecNo = value; }

  TInternalFields ProviderFields;
  TDBStringCompare DBStringCompare = nullptr;
  bool HasPassFilterEvent = false;
  int32_t BaseRecNo = 0;
};

// One node of the evaluator's tree, standing for one expression node.
class TExprEvaluatorNode {
 public:
  TExprEvaluatorNode* Left = nullptr;
  TExprEvaluatorNode* Next = nullptr;  // the evaluator's node list
  TExprEvaluatorNode* Right = nullptr;
  const TTavExprNode* ExprNode = nullptr;
  TInternalFieldItem* FieldRef = nullptr;  // a column node's bound field
  host::Variant NodeResult;
  bool ConstantSet = false;  // a constant's NodeResult holds its value
  std::vector<TExprEvaluatorNode*> Args;
  TTavExprDataProvider* DataProvider = nullptr;  // where a column is read
};

class TExprEvaluator : public host::TObject {
 public:
  TExprEvaluator() = default;
  TExprEvaluator(const TExprEvaluator&) = delete;
  TExprEvaluator& operator=(const TExprEvaluator&) = delete;

  // Builds the evaluator tree for `root` and binds its columns to `provider`
  // (a missing table or column raises 10024 or 10116 with its name). CURRENT_DATE,
  // CURRENT_TIME and CURRENT_TIMESTAMP without a value take the clock's
  // instant now, the same for every row. Call Clear before preparing again.
  void Prepare(TTavExprDataProvider* provider, const TTavExprNode* root);
  // The same with the instant the clock values take, for callers that share
  // one reading between several evaluators (the values of one row).
  void Prepare(TTavExprDataProvider* provider, const TTavExprNode* root, double now);
  // The value CURRENT_DATE (CURRENT_TIME, CURRENT_TIMESTAMP: the token) has
  // at `now`; Unassigned for any other token.
  static host::Variant ClockValueAt(TTavSQLToken token, double now);
  void Clear();
  bool IsPrepared() const { return Root != nullptr; }
  // Sets every node's result to Null; call before each row.
  void Reset();
  // True only when the value equals True (Null, Empty and False are not).
  bool Evaluate();
  host::Variant EvaluateValueExpr();

  void SetDBStringCompare(TDBStringCompare routine) { DBStringCompare = routine; }
  void SetExcludeRelopNulls(bool flag) { ExcludeRelopNulls = flag; }

  TExprEvaluatorNode* Root = nullptr;
  TTavExprDataProvider* DataProvider = nullptr;
  TDBStringCompare DBStringCompare = nullptr;
  bool ExcludeRelopNulls = false;

 private:
  TExprEvaluatorNode* Build(const TTavExprNode* node, bool listed, int depth);
  // The node's value, as kept in its NodeResult.
  const host::Variant& EvaluateNode(TExprEvaluatorNode* node);
  host::Variant EvaluateRelop(TExprEvaluatorNode* node, const host::Variant& left,
                              const host::Variant& right);
  host::Variant CompareStrings(const TTavExprNode* node, const host::Variant& left,
                               const host::Variant& right);
  // Binds a column node to its provider and field; a missing table or
  // column raises 10024 or 10116 with its name.
  void BindField(TExprEvaluatorNode& result, const TTavExprNode& node);
  host::Variant EvaluateFunction(TExprEvaluatorNode* node, const host::Variant& left,
                                 const host::Variant& right);
  host::Variant EvaluateStringFunction(TExprEvaluatorNode* node, const host::Variant& left,
                                       const host::Variant& right);
  static host::Variant EvaluateCast(const TTavExprNode& expr, const host::Variant& right);
  static host::Variant EvaluateExtract(const TTavExprNode& expr, const host::Variant& right);
  host::Variant EvaluateSubstring(TExprEvaluatorNode* node, const host::Variant& source,
                                  const host::Variant& start);
  host::Variant EvaluatePredicate(TExprEvaluatorNode* node, const host::Variant& left,
                                  const host::Variant& right);
  bool EvaluateIn(TExprEvaluatorNode* node, const host::Variant& value);
  host::Variant EvaluateSubquery(const TTavExprNode* node);
  // column op subquery (`subqueryLeft` false) or subquery op value.
  host::Variant EvaluateQuantified(const TTavExprNode* node, const TTavExprNode* subquery,
                                   const host::Variant& value, bool subqueryLeft);
  host::Variant EvaluateDualSubqueries(const TTavExprNode* node);
  host::Variant ClockValue(TTavSQLToken token) const;

  // Every node made by Prepare; the node list (Next) links the ones built
  // for the root and its Left/Right spine.
  std::vector<std::unique_ptr<TExprEvaluatorNode>> nodes_;
  TExprEvaluatorNode* list_head_ = nullptr;
  TTavOpEvaluator op_evaluator_;
  double now_ = 0;
};

class TExprResultListGenerator : public host::TObject {
 public:
  // Copies into `destination` (emptied first) the pairs of `source` whose
  // row passes `root`; without `root`, every pair. The provider must have a
  // string compare routine (else error 10065).
  static void CreateResultList(TTavExprDataProvider* provider, const TTavExprNode* root,
                               const TCompoundList& source, TCompoundList& destination,
                               bool excludeRelopNulls);
  // The addresses whose row passes `root`, in the order given (every one
  // without `root`).
  static void SelectPassing(TTavExprDataProvider* provider, const TTavExprNode* root,
                            const std::vector<uint32_t>& addresses, std::vector<uint32_t>& passing,
                            bool excludeRelopNulls);
};

}  // namespace tav

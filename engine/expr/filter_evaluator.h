// TTavBaseFilterEvaluator turns a filter text (or a condition parsed
// elsewhere, AssignExpr) into the record addresses of a data provider that
// satisfy it: the text is parsed as a WHERE condition, the optimizer answers
// what the indexes can answer, the remaining candidates go through the row
// evaluator, and the result comes in address order (QueryActive) or in the
// provider's base order.
//
// Callers must keep:
//  - The provider and the table list outlive the evaluator's use; the
//    provider's owner fills IndexQueryMgr with the table's usable indexes
//    and keeps them unchanged while Open or AssignExpr runs.
//  - Close (or a new Open/AssignExpr) after the data or the filter change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/filter_optimizer.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
#include "engine/storage/base/tav_lists.h"
#include "host/db/data_set.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/object.h"

namespace tav {

// A host error of a value the evaluation could not compute: arithmetic (a
// division by zero, an overflow) or conversion (a text that is not a
// number, a number outside the target type's range). A statement reports
// it as its own SQL error.
bool IsValueComputationError(const host::Exception& e);

class TTavBaseFilterEvaluator : public host::TObject {
 public:
  TTavBaseFilterEvaluator();
  TTavBaseFilterEvaluator(const TTavBaseFilterEvaluator&) = delete;
  TTavBaseFilterEvaluator& operator=(const TTavBaseFilterEvaluator&) = delete;

  void SetDataProvider(TTavExprDataProvider* value) { DataProvider = value; }
  void SetExcludeRelopNulls(bool value) { ExcludeRelopNulls = value; }
  void SetFilterOptions(host::TFilterOptions value) { FilterOptions = value; }
  void SetFilterText(const std::string& value) { FilterText = value; }
  void SetTables(TTableList* value) { Tables = value; }
  void SetActive(bool value) { Active = value; }
  void SetQueryActive(bool value) { QueryActive = value; }
  void SetSortedOutput(bool value) { SortedOutput = value; }
  // The owner puts the result in the base order itself: when the indexes
  // answer (no list of every row is needed), the result stays in address
  // order and BaseListed is false.
  void SetDeferBaseOrder(bool value) { DeferBaseOrder = value; }

  // Close, the provider's Open, Prepare and Evaluate; false on a parse error.
  // An error of the values while the condition is folded or evaluated (a
  // text read as a number, a division by zero) raises 10051 with its text.
  bool Open();
  bool Prepare();
  bool Parse();
  void Optimize();
  void Evaluate();
  // Takes a copy of `expr` as the condition (replace), or joins it to the
  // condition held so far with `op` (teoAND or teoOR); then optimises and
  // evaluates. Nothing for nullptr. A join past the bounds of a tree, and
  // the value errors Open raises, raise 10051 with their text; under
  // QueryActive a value computation error (IsValueComputationError) passes
  // as the host's, for the statement to report as its own.
  void AssignExpr(const TTavExpr* expr, bool replace, TTavExprOperator op);
  void Close();

  std::string GetErrors() const { return FilterParser.GetErrorMsgNoLine(); }
  TTavExpr* GetFilterExpr(bool makeRootFirst);
  int GetRecordCount() const { return static_cast<int>(Result.size()); }
  int32_t GetBaseRecNo() const { return DataProvider ? DataProvider->BaseRecNo : 0; }
  TOptimisationLevel GetOptimisationLevel() const { return Optimizer.GetBaseOptimisationLevel(); }

  TCompoundList BaseList;
  TTavPreParser PreParser;
  TTavExprParser FilterParser;
  TIndexQueryMgr IndexQueryMgr;
  TFilterOptimizer Optimizer{&IndexQueryMgr};
  TTavExprDataProvider* DataProvider = nullptr;
  TTavExprParser CombinedParser;
  TTavExpr CombinedExpr;
  bool ExcludeRelopNulls = false;
  bool Active = false;
  std::string FilterText;
  host::TFilterOptions FilterOptions;
  TTableList* Tables = nullptr;
  std::vector<uint32_t> Result;      // the passing addresses
  std::vector<uint32_t> Candidates;  // addresses still to be evaluated
  std::vector<uint32_t> Sorted;      // passing addresses, ascending
  bool SortedOutput = false;
  bool QueryActive = false;
  bool DeferBaseOrder = false;
  // BaseList holds every row in base order, and Result (unless QueryActive)
  // follows it; otherwise Result is in address order.
  bool BaseListed = false;
  // When one walk of one index answered the whole condition (and the base
  // order was deferred): that index, and the passing addresses in its order.
  const TBTree* RunTree = nullptr;
  std::vector<uint32_t> RunOrder;

 private:
  void SetupFilterParser();
  void MergeRecordLists();
  TTavExpr filter_expr_;
};

// The entries of `list` found in `members` (ascending), in the order of
// `list`, into `kept`.
void KeepMembers(const std::vector<uint32_t>& list, const std::vector<uint32_t>& members,
                 std::vector<uint32_t>& kept);
// The positions in `list` of its entries found in `members` (ascending), in
// the order of `list`, into `at`.
void MemberPositions(const std::vector<uint32_t>& list, const std::vector<uint32_t>& members,
                     std::vector<size_t>& at);
// Puts record addresses in ascending order.
void SortAddresses(std::vector<uint32_t>& addresses);

}  // namespace tav

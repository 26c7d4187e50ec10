// The filter optimizer: before a condition is evaluated row by row, decides
// which of its comparisons one of the table's B+-tree indexes can answer,
// fetches the matching record addresses from those indexes and combines the
// lists along AND and OR. The result is the final answer (olFull), a list of
// candidates the row evaluator still checks (olPartial), or nothing (olNone).
// It also folds constant sub-expressions and turns date strings into dates.
//
// Rows of an olFull answer are never checked again, so every index list is
// exactly the set of rows that row-by-row evaluation accepts, in the null mode
// in use. A comparison is served only where that holds: a column against a
// constant the key holds exactly (no fraction or out-of-range number for an
// integer key, no text for a number key, no number for a text key); a LIKE
// pattern with a literal head, 'text*' and IN lists of texts over an
// ascending string key, whose walked candidates are each checked by the row
// test itself; everything else is left to the row evaluator.
//
// Callers must keep:
//  - The index query manager, its trees and key fields, and the expression
//    outlive the optimizer's use of them; the optimizer borrows them.
//  - The trees are open and stay unchanged between PrepareResultLists and
//    the use of the lists (the owner holds its lock).
//  - Per filter: SetExprRoot, AnalyzeExpr, then PrepareResultLists and
//    CombineResultLists for each evaluation; Clear before the next filter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/date_converter.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/op_evaluator.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/index/btree.h"
#include "engine/storage/index/key_fields.h"
#include "host/rtl/object.h"
#include "host/rtl/variant.h"

namespace tav {

enum TOptimisationLevel : uint8_t { olNone, olPartial, olFull };
// What an optimizer node answers from an index, decided once when the node
// is built; Prepare fetches its list by it.
enum TPredicateShape : uint8_t {
  psNone,        // no list of its own: AND/OR combine their children's
  psComparison,  // column = <> < <= > >= constant
  psBetween,     // an AND of >= and <= one index serves: one range
  psPrefix,      // column = 'text*'
  psLikeHead,    // column LIKE a pattern with a literal head
  psInList,      // column IN (constants)
};
enum TNodeResultType : uint8_t { nrNone, nrFixedFalse, nrFixedTrue, nrDynamic };

// Fetches record lists from one index. Only the first key field is searched:
// indexes may have more fields, and non-unique ones end with a hidden record
// number.
class TIndexDataInterface : public host::TObject {
 public:
  explicit TIndexDataInterface(TBTree* tree) : Tree(tree) {}

  // Whether the first key field holds `value` exactly, so that comparisons
  // with it can be answered from the keys.
  bool CanServeConstant(const host::Variant& value) const;
  // Appends the records whose first key field satisfies `op` (teoEQ, teoNE,
  // teoGT, teoLT, teoGE, teoLE) against `value`. For teoNE the list holds the
  // records that do not satisfy it (the equal ones, and the Nulls when Nulls
  // are excluded): it is complemented against the base list later.
  void GetRecordList(TTavExprOperator op, const host::Variant& value, TCompoundList& list);
  // Appends the records with low <= key <= high.
  void GetBetweenRecordList(const host::Variant& low, const host::Variant& high,
                            TCompoundList& list);
  // Whether the first key field can list the keys that begin with a text:
  // an ascending 8-bit string field in one of the engine's two orders. With
  // `upperCased`, also for texts compared upper-cased: only when upper case
  // keeps every character's first-level weight.
  bool CanServePrefix(bool upperCased) const;
  // Appends the records whose first key field passes `test` (given the key's
  // text), where `test` passes only texts that agree with `prefix` (not
  // empty) at the order's first level. Walks the run of keys that agree
  // with the prefix at that level: they are the candidates, and one run,
  // whatever the accents and case of the keys. Keys shorter than the prefix,
  // '' and Nulls are never candidates.
  void GetPrefixRecordList(const std::string& prefix,
                           const std::function<bool(std::string_view)>& test,
                           TCompoundList& list);

  void SetExcludeRelopNulls(bool value) { ExcludeRelopNulls = value; }

  TBTree* Tree;
  bool ExcludeRelopNulls = false;

 private:
  struct TBound {
    TTavExprOperator Op;
    std::vector<uint8_t> Probe;
    int NullOrder;  // the order of a Null key against the probe (nulls off)
  };
  TBound MakeBound(TTavExprOperator op, const host::Variant& value);
  // Walks the index in key order; `accept(entry order against each bound)`.
  template <class Accept>
  void Walk(std::vector<TBound>& bounds, bool listNulls, Accept accept, TCompoundList& list);
};

class TIndexQueryItem : public host::TObject {
 public:
  TKeyFields* KeyFields = nullptr;  // not owned
  std::string IndexName;
  std::unique_ptr<TIndexDataInterface> IndexInterface;
  void CreateIndexInterface(TBTree* tree) {
    IndexInterface = std::make_unique<TIndexDataInterface>(tree);
  }
};

// The usable indexes of one table, filled by the table's owner.
class TIndexQueryMgr : public host::TObject {
 public:
  TIndexQueryItem* Add(const std::string& name, TBTree* tree);
  int Count() const { return static_cast<int>(items_.size()); }
  TIndexQueryItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
  void Clear() { items_.clear(); }
  // The first index whose leading key fields carry `names` in that order
  // (without regard to case) and whose matched string key fields have the
  // requested case-insensitive setting; nullptr if none.
  TIndexQueryItem* FindIndexForFields(const std::vector<std::string>& names, bool caseInsensitive) const;

 private:
  std::vector<std::unique_ptr<TIndexQueryItem>> items_;
};

class TExprOptimizerNode {
 public:
  TExprOptimizerNode* Left = nullptr;
  TExprOptimizerNode* Right = nullptr;
  TTavExprNode* ExprNode = nullptr;
  TIndexDataInterface* IndexInterface = nullptr;
  TNodeResultType NodeResultType = nrDynamic;
  TOptimisationLevel OptimisationLevel = olNone;
  std::unique_ptr<TCompoundList> RecordList = std::make_unique<TCompoundList>();
  bool BaseResultInverted = false;
  // Set only where an index serves the node.
  TPredicateShape Shape = psNone;
};

class TExprOptimizerMgr : public host::TObject {
 public:
  // Folds constants, converts date strings, upper-cases case-insensitive
  // constants and turns a trailing "*" into a partial length (post-order).
  void OptimizeExprTree(TTavExprNode* node);
  void CreateOptimizerTree(TTavExprNode* node);
  void PrepareRecordLists();
  void CombineRecordLists();
  bool HasInvertedLists() const;
  void ResetInvertedLists(const TCompoundList& baseList);
  void SetIndexQueryMgr(TIndexQueryMgr* value) { IndexQueryMgr = value; }
  void SetExcludeRelopNulls(bool value) { ExcludeRelopNulls = value; }
  void Clear();

  TExprOptimizerNode* Root = nullptr;
  TIndexQueryMgr* IndexQueryMgr = nullptr;
  bool ExcludeRelopNulls = false;

 private:
  host::Variant ConvertStrToDateTime(const std::string& text, host::TFieldType fieldType);
  void Rewrite(TTavExprNode* node, int depth);
  // A text constant of a comparison that ends in '*' becomes the prefix
  // before the star (its PartialLength), when partial compares are on.
  static void MakePrefix(TTavExprNode* node);
  TExprOptimizerNode* Build(TTavExprNode* node, int depth);
  void BuildJunction(TExprOptimizerNode* opt, int depth);
  static TPredicateShape ShapeOf(const TTavExprNode* node);
  // The index that serves `node` of that shape, nullptr when none does.
  TIndexDataInterface* IndexFor(TPredicateShape shape, const TTavExprNode* node) const;
  TIndexDataInterface* MatchFieldsToIndex(const TTavExprNode* column, bool caseInsensitive) const;
  // An index whose first key field can list the keys that begin with a text.
  TIndexDataInterface* MatchPrefixIndex(const TTavExprNode* column) const;
  void Prepare(TExprOptimizerNode* node, int depth);
  static void PrepareComparison(TExprOptimizerNode& node);
  static void PrepareBetween(TExprOptimizerNode& node);
  static void PreparePrefix(TExprOptimizerNode& node);
  static void PrepareLikeHead(TExprOptimizerNode& node);
  static void PrepareInList(TExprOptimizerNode& node);
  void Combine(TExprOptimizerNode* node, int depth);

  std::vector<std::unique_ptr<TExprOptimizerNode>> nodes_;
  TTavOpEvaluator op_evaluator_;
  TTavStrToDateTimeConverter converter_;
};

class TFilterOptimizer : public host::TObject {
 public:
  explicit TFilterOptimizer(TIndexQueryMgr* indexQueryMgr) : IndexQueryMgr(indexQueryMgr) {}
  void SetExprRoot(TTavExprNode* node) { ExprRoot = node; }
  void SetExcludeRelopNulls(bool value) { Mgr.SetExcludeRelopNulls(value); }
  void AnalyzeExpr();
  TOptimisationLevel GetBaseOptimisationLevel() const {
    return Mgr.Root ? Mgr.Root->OptimisationLevel : olNone;
  }
  // Whether some list holds the rows a comparison rejects (a '<>' lists its
  // equal rows): PrepareResultLists then needs the base list to complement it.
  bool HasInvertedLists() const { return Mgr.HasInvertedLists(); }
  // Fetches the index lists; `baseList` (every row in base order) is needed
  // only when HasInvertedLists.
  void PrepareResultLists(const TCompoundList* baseList);
  void CombineResultLists() { Mgr.CombineRecordLists(); }
  const TCompoundList* GetResultSetList() const {
    return Mgr.Root ? Mgr.Root->RecordList.get() : nullptr;
  }
  // The index whose order the result list follows when one walk of one
  // index answers the whole condition (a comparison other than '<>', or a
  // BETWEEN): the list is then a run of that index's entries. nullptr
  // otherwise.
  const TBTree* GetSingleRunTree() const;
  void Clear();

  TIndexQueryMgr* IndexQueryMgr;
  TTavExprNode* ExprRoot = nullptr;

 private:
  TExprOptimizerMgr Mgr;
};

}  // namespace tav

// TTavQueryAnalyser splits a SELECT's WHERE condition into per-table
// selections (conditions that read one table only) and join conditions
// (relational comparisons between tables), so that each table can be
// filtered through its own leaf and pairs of tables joined by their
// condition. A condition that cannot be split whole (an OR across tables, a
// condition on no table) is not pushed down at all: every table stays
// unfiltered and the whole condition is evaluated on the joined rows.
//
// The WHERE tree is never changed: selections and join conditions are
// clones, owned by their items.
//
// Callers must keep:
//  - The joins and selects collections and the statement's table list
//    outlive the analyser's use; Prepare refills both collections.
//  - The WHERE tree stays unchanged while the analyser holds nodes on it
//    (until Clear or the next Prepare). The clones borrow the tokens of the
//    parser that made the tree, which must outlive the items.
#pragma once

#include <memory>
#include <string>

#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "host/rtl/collection.h"

namespace tav {

// A new AND node of `expr` over two of its nodes, shaped as the parser
// makes one; it becomes the expression's root.
TTavExprNode* MakeAndNode(TTavExpr& expr, TTavExprNode* left, TTavExprNode* right);

class TQueryAnalyserNode : public host::TObject {
 public:
  // The tables referenced at or below the node.
  TTableList& TableList() { return table_list_; }
  TQueryAnalyserNode* Left = nullptr;
  TQueryAnalyserNode* Right = nullptr;
  const TTavExprNode* ExprNode() const { return expr_node_; }
  // A field node's table list becomes the node's; so do the tables of the
  // node's argument subtrees (IN lists, function arguments), which the
  // analyser tree does not mirror.
  void SetExprNode(const TTavExprNode* node);
  TQueryAnalyserNode* Next = nullptr;  // the analysis's chain, for freeing
  // Fully accounted for by selections and join conditions.
  bool SplitOK = false;

 private:
  TTableList table_list_;
  const TTavExprNode* expr_node_ = nullptr;
};

class TTavJoinItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  // The join condition; nullptr when none.
  TTavExprNode* JoinExprRoot() const { return root_; }
  TTavExpr* Expr() const { return expr_.get(); }
  // The tables the condition joins.
  TTableList& TableList() { return table_list_; }
  const TTableList& TableList() const { return table_list_; }
  // Clones the subtree under `node` into the item's expression; a condition
  // already held is AND-ed with it.
  void SetJoinExprRoot(const TTavExprNode* node);

 private:
  TTavExprNode* root_ = nullptr;
  std::unique_ptr<TTavExpr> expr_;
  TTableList table_list_;
};

class TTavJoins : public host::TCollection {
 public:
  TTavJoinItem* Add() { return static_cast<TTavJoinItem*>(host::TCollection::Add()); }
  TTavJoinItem* GetItems(int index) const {
    return static_cast<TTavJoinItem*>(host::TCollection::Items(index));
  }
  // The first item joining exactly the tables of `tableList`; otherwise a
  // new item.
  TTavJoinItem* GetJoinItem(const TTableList& tableList);

 protected:
  host::TCollectionItem* NewItem() override { return new TTavJoinItem(); }
};

class TTavSelectItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  TTavExpr* Expr() const { return expr_.get(); }
  // The table's selection; nullptr when none.
  TTavExprNode* SelectExprRoot() const { return root_; }
  // Clones the subtree under `node` into the item's expression; a selection
  // already held is AND-ed with it.
  void SetSelectExprRoot(const TTavExprNode* node);
  std::string CorrelationName;
  std::string TableName;

 private:
  std::unique_ptr<TTavExpr> expr_;
  TTavExprNode* root_ = nullptr;
};

class TTavSelects : public host::TCollection {
 public:
  TTavSelectItem* Add() { return static_cast<TTavSelectItem*>(host::TCollection::Add()); }
  TTavSelectItem* GetItems(int index) const {
    return static_cast<TTavSelectItem*>(host::TCollection::Items(index));
  }
  // The first item of that table and correlation name (without regard to
  // case); otherwise a new one with those names.
  TTavSelectItem* GetSelectItem(const std::string& tableName, const std::string& correlationName);

 protected:
  host::TCollectionItem* NewItem() override { return new TTavSelectItem(); }
};

class TTavQueryAnalyser : public host::TObject {
 public:
  TTavQueryAnalyser() = default;
  TTavQueryAnalyser(const TTavQueryAnalyser&) = delete;
  TTavQueryAnalyser& operator=(const TTavQueryAnalyser&) = delete;
  ~TTavQueryAnalyser() override { Clear(); }

  // Splits the condition under `whereRoot` (nullptr: none) over the tables
  // of `tableList`: one select item per table, with its selection when the
  // split is complete, and one join item per set of tables joined.
  void Prepare(TTavJoins* joins, TTavSelects* selects, const TTavExprNode* whereRoot,
               TTableList* tableList);
  // True without a condition, else whether the condition was split whole.
  bool CheckAnalysisComplete();
  void Clear();

 private:
  TQueryAnalyserNode* Mirror(const TTavExprNode* node);
  void CreateSelectList();
  void ParseTableLists(TQueryAnalyserNode* node);
  void ParseSelects(TQueryAnalyserNode* node);
  void ParseJoins(TQueryAnalyserNode* node);
  bool CheckNodeSplitStatus(TQueryAnalyserNode* node);
  // The single table a node references as a select item; nullptr unless
  // exactly one.
  TTavSelectItem* SelectItemOf(TQueryAnalyserNode* node);

  TTavJoins* joins_ = nullptr;
  TTavSelects* selects_ = nullptr;
  TTableList* table_list_ = nullptr;
  TQueryAnalyserNode* root_ = nullptr;
  TQueryAnalyserNode* chain_ = nullptr;
};

}  // namespace tav

#include "engine/query/plan/query_analyser.h"

#include <algorithm>

#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// The tables of the field nodes in the subtree under `node` (Left, Right and
// Args), merged into `into`.
void CollectTables(const TTavExprNode* node, TTableList& into, int depth) {
  if (node == nullptr || depth > MaxExprTreeDepth) return;
  if (node->Kind == enkField) into.MergeLists(&into, &node->TableList);
  CollectTables(node->Left, into, depth + 1);
  CollectTables(node->Right, into, depth + 1);
  for (const TTavExprNode* arg : node->Args) CollectTables(arg, into, depth + 1);
}

int TreeDepth(const TTavExprNode* node, int depth) {
  if (node == nullptr || depth > MaxExprTreeDepth) return depth - 1;
  int deepest = std::max(TreeDepth(node->Left, depth + 1), TreeDepth(node->Right, depth + 1));
  for (const TTavExprNode* arg : node->Args) deepest = std::max(deepest, TreeDepth(arg, depth + 1));
  return deepest;
}

// Clones `node` into `expr` (made on first use); a root already held is
// AND-ed with the clone. Returns the new root.
TTavExprNode* AndClone(std::unique_ptr<TTavExpr>& expr, TTavExprNode* root, const TTavExprNode* node) {
  if (!expr) expr = std::make_unique<TTavExpr>();
  TTavExprNode* clone = expr->CloneSubTree(node);
  if (root == nullptr) {
    expr->SetAsFirstNode(clone);
    return clone;
  }
  return MakeAndNode(*expr, clone, root);
}

}  // namespace

TTavExprNode* MakeAndNode(TTavExpr& expr, TTavExprNode* left, TTavExprNode* right) {
  // Shaped as the parser makes an AND.
  TParserToken token;
  token.Token = tstAnd;
  token.Text = "AND";
  TTavExprNode* both = expr.NewNode(enkLogicalOperator, teoAND, host::Variant(), left, right, &token);
  both->SetDataType(host::ftBoolean);
  return both;
}

// ---------------------------------------------------------------------------
// Nodes and items

void TQueryAnalyserNode::SetExprNode(const TTavExprNode* node) {
  expr_node_ = node;
  if (node == nullptr) return;
  if (node->Kind == enkField) table_list_.MergeLists(&node->TableList, nullptr);
  for (const TTavExprNode* arg : node->Args) CollectTables(arg, table_list_, 1);
}

void TTavJoinItem::SetJoinExprRoot(const TTavExprNode* node) { root_ = AndClone(expr_, root_, node); }

TTavJoinItem* TTavJoins::GetJoinItem(const TTableList& tableList) {
  for (int i = 0; i < Count(); ++i) {
    TTavJoinItem* item = GetItems(i);
    TTableList merged;
    merged.MergeLists(&item->TableList(), &tableList);
    if (merged.Count() > 0 && merged.Count() == item->TableList().Count() &&
        merged.Count() == tableList.Count())
      return item;
  }
  return Add();
}

void TTavSelectItem::SetSelectExprRoot(const TTavExprNode* node) { root_ = AndClone(expr_, root_, node); }

TTavSelectItem* TTavSelects::GetSelectItem(const std::string& tableName,
                                           const std::string& correlationName) {
  for (int i = 0; i < Count(); ++i) {
    TTavSelectItem* item = GetItems(i);
    if (host::AnsiCompareText(item->TableName, tableName) == 0 &&
        host::AnsiCompareText(item->CorrelationName, correlationName) == 0)
      return item;
  }
  TTavSelectItem* item = Add();
  item->TableName = tableName;
  item->CorrelationName = correlationName;
  return item;
}

// ---------------------------------------------------------------------------
// TTavQueryAnalyser

void TTavQueryAnalyser::Clear() {
  while (chain_) {
    TQueryAnalyserNode* next = chain_->Next;
    delete chain_;
    chain_ = next;
  }
  root_ = nullptr;
}

TQueryAnalyserNode* TTavQueryAnalyser::Mirror(const TTavExprNode* node) {
  if (node == nullptr) return nullptr;
  auto* mirrored = new TQueryAnalyserNode();
  mirrored->Next = chain_;
  chain_ = mirrored;
  mirrored->SetExprNode(node);
  mirrored->Left = Mirror(node->Left);
  mirrored->Right = Mirror(node->Right);
  return mirrored;
}

void TTavQueryAnalyser::CreateSelectList() {
  for (int i = 0; i < table_list_->Count(); ++i) {
    const TTableNameItem* table = table_list_->Items(i);
    selects_->GetSelectItem(table->TableName(), table->CorrelationName());
  }
}

void TTavQueryAnalyser::Prepare(TTavJoins* joins, TTavSelects* selects, const TTavExprNode* whereRoot,
                                TTableList* tableList) {
  Clear();
  joins_ = joins;
  selects_ = selects;
  table_list_ = tableList;
  joins_->Clear();
  selects_->Clear();
  root_ = Mirror(whereRoot);
  CreateSelectList();
  if (root_) {
    ParseTableLists(root_);
    ParseSelects(root_);
    ParseJoins(root_);
    CheckNodeSplitStatus(root_);
  }
  // A split item deeper than a tree may be (many conditions AND-ed onto one
  // table) is not pushed down: the whole condition runs on the joined rows.
  bool withinBound = true;
  for (int i = 0; withinBound && i < selects_->Count(); ++i)
    withinBound = TreeDepth(selects_->GetItems(i)->SelectExprRoot(), 1) <= MaxExprTreeDepth;
  for (int i = 0; withinBound && i < joins_->Count(); ++i)
    withinBound = TreeDepth(joins_->GetItems(i)->JoinExprRoot(), 1) <= MaxExprTreeDepth;
  if (root_ && (!root_->SplitOK || !withinBound)) {
    if (!withinBound) root_->SplitOK = false;
    joins_->Clear();
    selects_->Clear();
    CreateSelectList();
  }
}

bool TTavQueryAnalyser::CheckAnalysisComplete() {
  return root_ == nullptr || CheckNodeSplitStatus(root_);
}

void TTavQueryAnalyser::ParseTableLists(TQueryAnalyserNode* node) {
  if (node == nullptr || node->SplitOK) return;
  ParseTableLists(node->Left);
  ParseTableLists(node->Right);
  // Field leaves keep their own list; other nodes add their operands' tables
  // to what their arguments gave them.
  if (node->Left || node->Right) {
    TTableList& own = node->TableList();
    if (node->Left) own.MergeLists(&own, &node->Left->TableList());
    if (node->Right) own.MergeLists(&own, &node->Right->TableList());
  }
}

TTavSelectItem* TTavQueryAnalyser::SelectItemOf(TQueryAnalyserNode* node) {
  if (node->TableList().Count() != 1) return nullptr;
  const TTableNameItem* table = node->TableList().Items(0);
  return selects_->GetSelectItem(table->TableName(), table->CorrelationName());
}

void TTavQueryAnalyser::ParseSelects(TQueryAnalyserNode* node) {
  if (node == nullptr || node->SplitOK) return;
  ParseSelects(node->Left);
  ParseSelects(node->Right);
  if (node == root_) {
    if (TTavSelectItem* item = SelectItemOf(node)) {
      item->SetSelectExprRoot(node->ExprNode());
      node->SplitOK = true;
      return;
    }
  }
  if (node->Left && node->Right && node->ExprNode()->Operator == teoAND &&
      node->TableList().Count() > 1) {
    for (TQueryAnalyserNode* operand : {node->Left, node->Right}) {
      if (operand->SplitOK) continue;
      if (TTavSelectItem* item = SelectItemOf(operand)) {
        item->SetSelectExprRoot(operand->ExprNode());
        operand->SplitOK = true;
      }
    }
    node->SplitOK = node->Left->SplitOK && node->Right->SplitOK;
  }
}

void TTavQueryAnalyser::ParseJoins(TQueryAnalyserNode* node) {
  if (node == nullptr) return;
  ParseJoins(node->Left);
  ParseJoins(node->Right);
  if (node->SplitOK || !node->Left || !node->Right || node->ExprNode()->Kind != enkRelOperator)
    return;
  if (node->TableList().Count() < 2) return;
  TTavJoinItem* item = joins_->GetJoinItem(node->TableList());
  item->SetJoinExprRoot(node->ExprNode());
  item->TableList().MergeLists(&item->TableList(), &node->TableList());
  node->SplitOK = true;
}

bool TTavQueryAnalyser::CheckNodeSplitStatus(TQueryAnalyserNode* node) {
  if (node == nullptr) return true;
  if (CheckNodeSplitStatus(node->Left) && CheckNodeSplitStatus(node->Right) && !node->SplitOK)
    node->SplitOK = node->ExprNode()->Operator == teoAND;
  return node->SplitOK;
}

}  // namespace tav

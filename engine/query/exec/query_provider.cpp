#include "engine/query/exec/query_provider.h"

#include <cstdio>
#include <random>
#include <set>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/expr/filter_evaluator.h"
#include "engine/query/exec/schema_statements.h"
#include "engine/query/parse/join_post_processor.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_resstrings.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

using host::Variant;

namespace {

// Eight hexadecimal digits of a number below FFFFFF hex.
std::string RandomTableSuffix() {
  thread_local std::mt19937 source{std::random_device{}()};
  std::uniform_int_distribution<uint32_t> below(0, 0xFFFFFE);
  char text[9];
  std::snprintf(text, sizeof text, "%08X", below(source));
  return text;
}

// Two values of an outer row are the same when they have the same type
// and, unless missing, the same value.
bool SameOuterValue(const Variant& a, const Variant& b) {
  if (a.VType() != b.VType()) return false;
  if (a.IsNull() || a.IsEmpty()) return true;
  if (host::VarIsStr(a)) return host::VarToStr(a) == host::VarToStr(b);
  return host::VarToStr(a) == host::VarToStr(b) && a.AsDouble() == b.AsDouble();
}

bool SameOuterValues(const std::vector<Variant>& a, const std::vector<Variant>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!SameOuterValue(a[i], b[i])) return false;
  return true;
}

// The operands of the top-level ANDs of a condition.
void CollectConjuncts(TTavExprNode* node, std::vector<TTavExprNode*>& out) {
  if (node == nullptr) return;
  if (node->Kind == enkLogicalOperator && node->Operator == teoAND && node->Left && node->Right) {
    CollectConjuncts(node->Left, out);
    CollectConjuncts(node->Right, out);
    return;
  }
  out.push_back(node);
}

// The subquery item a node reads; nullptr when it reads none.
TTavQueryProviderItem* SubqueryItemOf(const TTavExprNode* node) {
  auto* source = dynamic_cast<TQueryExprNodeDataProvider*>(node->ExprNodeDataProvider);
  return source != nullptr ? source->QueryProviderItem() : nullptr;
}

// Calls `visit` on every node of the tree under `node` (Left, Right, Args).
template <class Visit>
void WalkTree(const TTavExprNode* node, Visit&& visit, int depth = 0) {
  if (node == nullptr || depth > MaxExprTreeDepth) return;
  visit(node);
  WalkTree(node->Left, visit, depth + 1);
  WalkTree(node->Right, visit, depth + 1);
  for (const TTavExprNode* arg : node->Args) WalkTree(arg, visit, depth + 1);
}

// The condition reads a subquery whose rows depend on the outer row: it
// must be evaluated on the joined row, never inside a table's filter
// (which would read the outer values of another record).
bool DependsOnOuterRow(const TTavExprNode* node) {
  bool found = false;
  WalkTree(node, [&](const TTavExprNode* n) {
    if (TTavQueryProviderItem* item = SubqueryItemOf(n)) found = found || item->IsCorrelated();
  });
  return found;
}

std::string OuterTableName(const TTableNameItem* table) {
  if (table == nullptr) return {};
  return table->CorrelationName().empty() ? table->TableName() : table->CorrelationName();
}

}  // namespace

// ---------------------------------------------------------------------------
// TQueryExprNodeDataProvider

bool TQueryExprNodeDataProvider::PrepareAndOpen() {
  if (item_ == nullptr || item_->ResultSet() == nullptr) return false;
  TTavQueryDataset& rows = *item_->ResultSet();
  if (item_->IsCorrelated()) {
    std::vector<Variant> values = item_->OuterValues();
    if (!built_ || !SameOuterValues(values, last_outer_values_)) built_ = false;
    last_outer_values_ = std::move(values);
  }
  if (!built_ || !rows.Active()) {
    built_ = false;
    if (!item_->CreateResultSet()) {
      std::string text;
      for (int i = 0; i < item_->Errors().Count(); ++i)
        if (!item_->Errors().Strings(i).empty()) text += item_->Errors().Strings(i) + ". ";
      TavDatabaseError(kSqlError, "TQueryExprNodeDataProvider.PrepareAndOpen", text);
    }
    if (!rows.Active()) rows.Open();
    built_ = true;
  }
  rows.First();
  return true;
}

bool TQueryExprNodeDataProvider::Eof() const { return item_->ResultSet()->Eof(); }

void TQueryExprNodeDataProvider::Next() { item_->ResultSet()->Next(); }

int TQueryExprNodeDataProvider::FieldCount() const { return item_->ResultColumns().Count(); }

Variant TQueryExprNodeDataProvider::FieldValue(int index) const {
  return item_->ResultSet()->GetFieldData(index);
}

// ---------------------------------------------------------------------------
// TTavQueryProviderItem: the object set

TTavQueryProviderItem::TTavQueryProviderItem() { CreateObjectSet(std::make_unique<TTavParserEngine>(), nullptr); }

TTavQueryProviderItem::~TTavQueryProviderItem() {
  try {
    DestroyObjectSet();
  } catch (...) {
    // An item ends quietly: the table it leaves behind is a memory table.
  }
}

void TTavQueryProviderItem::CreateObjectSet(std::unique_ptr<TTavParserEngine> ownEngine,
                                            TTavParserEngine* engine) {
  own_engine_ = std::move(ownEngine);
  engine_ = own_engine_ ? own_engine_.get() : engine;
  analyser_ = std::make_unique<TTavQueryAnalyser>();
  joins_ = std::make_unique<TTavJoins>();
  selects_ = std::make_unique<TTavSelects>();
  result_columns_ = std::make_unique<TResultSetFields>();
  provider_mgr_ = std::make_unique<TTavJoinDataProviderMgr>();
  plan_ = std::make_unique<TTavPlan>();
  plan_->SetJoins(joins_.get());
  plan_->SetSelects(selects_.get());
  plan_->SetTableList(&engine_->TableList());
  plan_->SetProviderMgr(provider_mgr_.get());
  select_analyser_ = std::make_unique<TTavSelectAnalyser>();
  subqueries_.clear();
  result_set_ = std::make_unique<TTavQueryDataset>(nullptr);
  expr_node_provider_ = std::make_unique<TQueryExprNodeDataProvider>();
  expr_node_provider_->SetQueryProviderItem(this);
  expr_node_provider_->ProviderDataset = expr_node_provider_.get();
  result_set_prepared_ = false;
  AttachNotify();
}

void TTavQueryProviderItem::DestroyObjectSet() {
  if (result_set_ && parent_ != nullptr && result_set_prepared_ && result_set_->DataBase() != nullptr) {
    if (result_set_->Active()) result_set_->Close();
    result_set_->DataBase()->DeleteTable(result_set_->TableName(), true);
  }
  result_set_prepared_ = false;
  expr_node_provider_.reset();
  result_set_.reset();
  provider_mgr_.reset();
  plan_.reset();
  analysed_where_.reset();
  where_clone_.reset();
  analyser_.reset();
  joins_.reset();
  selects_.reset();
  result_columns_.reset();
  select_analyser_.reset();
  subqueries_.clear();
  own_engine_.reset();
  engine_ = nullptr;
}

void TTavQueryProviderItem::AttachNotify() {
  engine_->SetParserEngineNotifyEvent(
      [this](TParserNotifyType type, TTavParserEngine* engine, TTavExprNode* node, Variant& value) {
        ParserCallback(type, engine, node, value);
      });
}

TTavQueryProvider* TTavQueryProviderItem::GetProviderParent() const {
  return static_cast<TTavQueryProvider*>(Collection());
}

TTavQueryProviderItem* TTavQueryProviderItem::ItemByID(int id) const {
  return static_cast<TTavQueryProviderItem*>(GetProviderParent()->FindItemID(id));
}

TTavSQLStatementType TTavQueryProviderItem::GetSQLStatementType() const {
  return where_only_ ? tsSQLSelect : engine_->GetSQLStatementType();
}

bool TTavQueryProviderItem::Fail(const std::string& line) {
  errors_.Add(line);
  return false;
}

// ---------------------------------------------------------------------------
// Parsing

bool TTavQueryProviderItem::ValidateSQL() {
  errors_.Clear();
  const std::string text = sql_.Text();
  if (text.empty()) return Fail(kSqlEmptyMessage);
  subqueries_.clear();
  engine_->PreParseSQL(text);
  const bool ok = ParseByType();
  if (ok && subqueries_.empty() && !engine_->CheckNoTokensRemain())
    return Fail(std::string(kSqlTrailingTokens) + ": " + engine_->GetCurrentPreParserTokenAsErrorFmt());
  valid_ = ok;
  return ok;
}

bool TTavQueryProviderItem::ParseByType() {
  switch (engine_->GetSQLStatementType()) {
    case tsSQLSelect: return ParseSelect();
    case tsSQLInsert: return ParseInsert();
    case tsSQLDelete: return ParseDelete();
    case tsSQLUpdate: return ParseUpdate();
    case tsSchemaManipulation: return ParseSchema();
    default:
      return Fail(std::string(kSqlUnrecognisedType) + " " + engine_->GetCurrentPreParserTokenAsErrorFmt());
  }
}

void TTavQueryProviderItem::SetUpTableLists(TTableList& tables) {
  for (int i = 0; i < tables.Count(); ++i) {
    TTableNameItem& table = *tables.Items(i);
    TInternalFields fields;
    GetProviderParent()->GetFieldsForTable(table.TableName(), fields, table.Memory());
    table.SetTableFields(&fields);
  }
}

bool TTavQueryProviderItem::CheckAndSetParserTableList(TTableList& tables) {
  if (!GetProviderParent()->CheckTableList(tables, true)) return false;
  SetUpTableLists(tables);
  return true;
}

bool TTavQueryProviderItem::ParseSelect() {
  TTavParserEngine& e = *engine_;
  if (!e.ParseFromClause()) return Fail(e.ErrorText());
  // A query reads at least one table: the planner builds on them.
  if (e.TableList().Count() == 0) return Fail(StavMissingTableReference);
  if (!CheckAndSetParserTableList(e.TableList())) return false;
  if (!(e.ParseSelectClause() && e.ParseWhereClause() && e.ParseGroupByClause() && e.ParseHavingClause()))
    return Fail(e.ErrorText());
  // USING and NATURAL become conditions, and every ON column is checked,
  // on the FROM tree as the clauses left it.
  TJoinPostProcessor post(e.TableList());
  if (!post.Execute(e.FromParser().Root())) return Fail(post.GetErrorMsg());
  TTavSelectAnalyser& a = *select_analyser_;
  a.SetIsDistinct(e.SelectParser().IsDistinct);
  if (!a.CheckSelect(e.SelectParser().First(), &e.TableList()) || !a.CheckGroupedColumns(&e.GroupByItems()) ||
      !a.CheckHavingExpr(e.HavingExpr()))
    return Fail(a.Message);
  if (!e.ParseOrderByClause()) return Fail(e.ErrorText());
  // An ORDER BY key naming no result column is refused here, not when the
  // result is built.
  const std::string order = CheckOrderByItems(a.SelectFields, e.OrderByItems());
  if (!order.empty()) return Fail(order);
  return true;
}

bool TTavQueryProviderItem::ParseWhereQuery() {
  TTavParserEngine& e = *engine_;
  if (!CheckAndSetParserTableList(e.TableList())) return false;
  if (!e.ParseWhereClause() || !e.ParseOrderByClause()) return Fail(e.ErrorText());
  if (!e.CheckParseDone()) return Fail(kSqlTrailingTokens);
  return true;
}

bool TTavQueryProviderItem::ParseInsert() {
  TTavParserEngine& e = *engine_;
  if (!e.ParseInsertStatement()) return Fail(e.ErrorText());
  if (!CheckAndSetParserTableList(e.TableList())) return false;
  TTavInsertParser& insert = e.InsertParser();
  const TInternalFields& target = e.TableList().Items(0)->TableFields();
  if (insert.HasSelectClause) {
    TAV_ASSERT(subqueries_.size() == 1, "Insert select count is incorrect");
    if (!insert.ValidateSelectColumns(subqueries_[0]->GetSelectResultSetFields(), target))
      return Fail(insert.GetErrorMsg());
  } else if (!insert.ValidateValueColumns(target)) {
    return Fail(insert.GetErrorMsg());
  }
  return true;
}

bool TTavQueryProviderItem::ParseDelete() {
  TTavParserEngine& e = *engine_;
  if (!e.ParseDeleteStatement()) return Fail(e.ErrorText());
  return CheckAndSetParserTableList(e.TableList());
}

bool TTavQueryProviderItem::ParseUpdate() {
  TTavParserEngine& e = *engine_;
  // The target's fields are known before SET is read.
  e.UpdateParser().SetTableListValidateEvent(
      [this](TTableList& tables) { return CheckAndSetParserTableList(tables); });
  if (!e.ParseUpdateStatement()) return Fail(e.ErrorText());
  TTavUpdateParser& update = e.UpdateParser();
  if (e.TableList().Count() > 0 && !update.ValidateValueColumns(e.TableList().Items(0)->TableFields()))
    return Fail(update.GetErrorMsg());
  return true;
}

bool TTavQueryProviderItem::ParseSchema() {
  TTavParserEngine& e = *engine_;
  if (!e.ParseSchemaManipulationStatement()) return Fail(e.ErrorText());
  TTableList& tables = e.TableList();
  const bool found = GetProviderParent()->CheckTableList(tables, false);
  const std::string name = tables.Count() > 0 ? tables.Items(0)->TableName() : std::string();
  if (e.SchemaParser().Operation == ddCreateTable) {
    if (found) return Fail(std::string(kSqlTableExists) + ": " + name);
  } else if (!found) {
    return Fail(std::string(kSqlTableNotFound) + ": " + name);
  }
  if (found) SetUpTableLists(tables);
  return true;
}

void TTavQueryProviderItem::ParserCallback(TParserNotifyType type, TTavParserEngine* engine,
                                           TTavExprNode* node, Variant& value) {
  if (type == pntSubquery) {
    TTavQueryProviderItem* sub = GetProviderParent()->Add();
    sub->SetParentQuery(this);
    subqueries_.push_back(sub);
    // The WHERE of an UPDATE or DELETE is a query of its own over the
    // target; any other subquery is a SELECT.
    const TTavSQLStatementType kind = engine_->GetSQLStatementType();
    const bool whereOnly = node->ParserToken.Token == tstWhere && (kind == tsSQLUpdate || kind == tsSQLDelete);
    std::string table;
    if (whereOnly) {
      TAV_ASSERT(engine_->TableList().Count() == 1, "Parser engine table count is incorrect");
      table = engine_->TableList().Items(0)->TableName();
    } else {
      engine->SetIsSubquery(true);
    }
    sub->AssignExternalParserEngine(whereOnly, table, engine);
    // Made with the object set the adoption built.
    node->SetExprNodeDataProvider(&sub->ExprNodeDataProvider());
    return;
  }
  if (type != pntFindTableRef) return;
  TTavQueryProviderItem* owner = nullptr;
  const TTableNameItem* found = FindTable(host::VarToStr(value), &owner);
  if (found == nullptr) {
    value = Variant(false);
    return;
  }
  // Every statement between the reference and the table's own depends on
  // the outer row.
  for (TTavQueryProviderItem* item = this; item != nullptr && item != owner; item = item->parent_)
    item->is_correlated_ = true;
  TTableNameItem* copy = node->TableList.Add();
  copy->Assign(*found);
  copy->SetInCorrelatedSubquery(true);
  copy->SetCorrelatedSubqueryID(owner->ID());
  value = Variant(true);
}

bool TTavQueryProviderItem::AssignExternalParserEngine(bool whereOnly, const std::string& tableName,
                                                       TTavParserEngine* engine) {
  TTavQueryProviderItem* parent = parent_;
  DestroyObjectSet();
  parent_ = parent;
  CreateObjectSet(nullptr, engine);
  where_only_ = whereOnly;
  if (whereOnly && !tableName.empty()) engine_->TableList().Add()->SetTableName(tableName);
  errors_.Clear();
  const bool ok = whereOnly ? ParseWhereQuery() : ParseByType();
  if (ok) return true;
  // The outer statement reports the failure through the nested engine.
  std::string text = errors_.Count() > 0 ? errors_.Strings(0) : std::string();
  host::TStringList& own = GetProviderParent()->own_errors_;
  if (text.empty() && own.Count() > 0) {
    text = own.Strings(own.Count() - 1);
    own.Delete(own.Count() - 1);
  }
  errors_.Clear();
  engine_->SetErrorText(text.empty() ? std::string("SQL Error") : text);
  return false;
}

const TTableNameItem* TTavQueryProviderItem::FindTable(const std::string& name, TTavQueryProviderItem** owner) {
  for (TTavQueryProviderItem* item = this; item != nullptr; item = item->parent_) {
    if (const TTableNameItem* found = item->engine_->TableList().FindTable(name)) {
      if (owner != nullptr) *owner = item;
      return found;
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Preparing

bool TTavQueryProviderItem::Prepare() {
  bool ok = false;
  switch (GetSQLStatementType()) {
    case tsSQLSelect: ok = PreparePlan(); break;
    case tsSQLInsert: {
      TTavRowConstructor& values = engine_->InsertParser().Values;
      values.BindParams(GetProviderParent()->Params());
      values.Prepare(nullptr);
      ok = true;
      break;
    }
    case tsSQLDelete:
    case tsSQLUpdate:
    case tsSchemaManipulation: ok = true; break;
    default: return Fail(kSqlUnrecognisedType);
  }
  for (TTavQueryProviderItem* sub : subqueries_) {
    if (!ok) break;
    ok = sub->Prepare();
  }
  return ok;
}

void TTavQueryProviderItem::BindParams(TTavExpr& expr, bool record) {
  const host::TParams* params = GetProviderParent()->Params();
  if (params == nullptr) return;
  for (TTavExprNode* node = expr.Root(); node != nullptr; node = node->Next()) {
    if (node->Operator != teoPARAMETER) continue;
    const std::string name = host::VarToStr(node->Data);
    const host::TParam* param = params->ParamByName(name);
    node->Data = param->Value();
    node->DataType = param->DataType();
    node->Kind = enkConst;
    node->Operator = teoCONST2;
    if (record)
      bound_.push_back({node->ParserToken.LineNo, node->ParserToken.LineOffset, name, node->DataType,
                        node->Data.VType()});
  }
}

size_t TTavQueryProviderItem::RebindConstants(TTavExpr& expr, bool found) {
  const host::TParams* params = GetProviderParent()->Params();
  size_t count = 0;
  for (TTavExprNode* node = expr.Root(); node != nullptr; node = node->Next()) {
    if (node->Kind != enkConst || node->Operator != teoCONST2) continue;
    for (const TBoundConstant& b : bound_) {
      if (b.LineNo != node->ParserToken.LineNo || b.LineOffset != node->ParserToken.LineOffset) continue;
      node->Data = (found ? b.Found : params->ParamByName(b.Name))->Value();
      ++count;
      break;
    }
  }
  return count;
}

bool TTavQueryProviderItem::RebindKeptPlan() {
  TTavNonJoinDataProvider* leaf = kept_leaf_;
  kept_leaf_ = nullptr;
  if (leaf == nullptr || provider_mgr_->RootProvider() != leaf) return false;
  TTavQueryProvider& provider = *GetProviderParent();
  TTavDatasetBridge* bridge = leaf->DataBridge();
  // A schema change, a reconnect or another database: planned anew.
  if (bridge == nullptr || bridge->DataBase() != provider.Database() || !bridge->OpenAndCurrent()) return false;
  const host::TParams* params = provider.Params();
  if (!bound_.empty() && params == nullptr) return false;
  // A value of another type (or NULL for a value, or the reverse) may plan
  // otherwise.
  for (TBoundConstant& b : bound_) {
    const host::TParam* param = params->FindParam(b.Name);
    if (param == nullptr || param->DataType() != b.DataType || param->Value().VType() != b.ValueType) return false;
    b.Found = param;
  }
  if (leaf->JoinSelection() != nullptr) {
    if (RebindConstants(*leaf->JoinSelection(), true) != kept_constants_) return false;
  } else if (kept_constants_ != 0) {
    return false;
  }
  // The plan's copy of the whole condition served its analysis only: the
  // leaf's selection, rebound above, is what the run reads.
  kept_leaf_ = leaf;
  reapply_selection_ = true;
  return true;
}

void TTavQueryProviderItem::KeepPlan(bool complete) {
  kept_leaf_ = nullptr;
  // Only a top statement's SELECT over one table whose condition its
  // selection holds whole: nothing else of the plan reads the values.
  if (!complete || parent_ != nullptr || where_only_ || GetSQLStatementType() != tsSQLSelect ||
      !subqueries_.empty() || joins_->Count() != 0 || provider_mgr_->HasResidualCondition())
    return;
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(provider_mgr_->RootProvider());
  if (leaf == nullptr) return;
  kept_constants_ = leaf->JoinSelection() != nullptr ? RebindConstants(*leaf->JoinSelection()) : 0;
  kept_leaf_ = leaf;
}

void TTavQueryProviderItem::ReplaceOuterFields(TTavExpr& expr) {
  for (TTavExprNode* node = expr.Root(); node != nullptr; node = node->Next()) {
    if (node->Operator != teoOUTERFIELD) continue;
    const TTableNameItem* table = node->TableList.Count() > 0 ? node->TableList.Items(0) : nullptr;
    TTavQueryProviderItem* source =
        table != nullptr && table->InCorrelatedSubquery() ? ItemByID(table->CorrelatedSubqueryID()) : parent_;
    node->Data = source != nullptr ? source->GetFieldData(OuterTableName(table), host::VarToStr(node->Data))
                                   : Variant();
    node->Kind = enkConst;
    node->Operator = teoCONST2;
  }
}

std::vector<Variant> TTavQueryProviderItem::OuterValues() {
  // The items of this subtree: a reference to one of them is no outer
  // value of this item.
  std::set<int> inside;
  std::vector<TTavQueryProviderItem*> pending{this};
  while (!pending.empty()) {
    TTavQueryProviderItem* item = pending.back();
    pending.pop_back();
    inside.insert(item->ID());
    for (TTavQueryProviderItem* sub : item->subqueries_) pending.push_back(sub);
  }
  std::vector<Variant> values;
  std::vector<TTavQueryProviderItem*> order{this};
  for (size_t i = 0; i < order.size(); ++i) {
    TTavQueryProviderItem* item = order[i];
    WalkTree(item->engine_->WhereRoot(), [&](const TTavExprNode* node) {
      if (node->Operator != teoOUTERFIELD || node->TableList.Count() == 0) return;
      const TTableNameItem* table = node->TableList.Items(0);
      if (inside.count(table->CorrelatedSubqueryID()) != 0) return;
      TTavQueryProviderItem* source = ItemByID(table->CorrelatedSubqueryID());
      values.push_back(source != nullptr ? source->GetFieldData(OuterTableName(table), host::VarToStr(node->Data))
                                         : Variant());
    });
    for (TTavQueryProviderItem* sub : item->subqueries_) order.push_back(sub);
  }
  return values;
}

bool TTavQueryProviderItem::PreparePlan() {
  if (RebindKeptPlan()) return true;
  reapply_selection_ = false;
  // A new plan has new providers: the result columns point at them afresh.
  columns_planned_ = false;
  TTavQueryProvider& provider = *GetProviderParent();
  // The parsed tree is never changed: the plan works on a copy with the
  // parameters' and the outer row's values in place.
  where_clone_ = std::make_unique<TTavExpr>();
  if (engine_->WhereRoot() != nullptr) where_clone_->CloneFromTree(engine_->WhereRoot());
  ReplaceOuterFields(*where_clone_);
  bound_.clear();
  BindParams(*where_clone_, true);
  // A condition that runs a correlated subquery is kept from the tables'
  // filters: it is checked on each joined row.
  std::vector<TTavExprNode*> conjuncts;
  CollectConjuncts(where_clone_->Root(), conjuncts);
  std::vector<TTavExprNode*> held;
  TTavExprNode* analysed = where_clone_->Root();
  analysed_where_.reset();
  for (TTavExprNode* c : conjuncts)
    if (DependsOnOuterRow(c)) held.push_back(c);
  if (!held.empty()) {
    analysed_where_ = std::make_unique<TTavExpr>();
    analysed = nullptr;
    for (TTavExprNode* c : conjuncts) {
      if (DependsOnOuterRow(c)) continue;
      TTavExprNode* copy = analysed_where_->CloneSubTree(c);
      analysed = analysed == nullptr ? copy : MakeAndNode(*analysed_where_, analysed, copy);
    }
    analysed_where_->SetAsFirstNode(analysed);
  }
  provider_mgr_->SetDatabase(provider.Database());
  analyser_->Prepare(joins_.get(), selects_.get(), analysed, &engine_->TableList());
  plan_->SetTableList(&engine_->TableList());
  plan_->SetFromRoot(engine_->FromParser().Root());
  TTavQueryPlanner::CreatePlan(plan_.get());
  // A plan of one table: its selection may be answered by a key range.
  if (auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(provider_mgr_->RootProvider()))
    leaf->SetKeyRangesAllowed(true);
  for (TTavExprNode* c : held) provider_mgr_->AddResidualExprRoot(c);
  // What the analysis could not split is checked on the joined rows.
  const bool complete = analyser_->CheckAnalysisComplete();
  if (!complete) provider_mgr_->PrepareJoinExprEvaluator(analysed);
  KeepPlan(complete && held.empty());
  return true;
}

// ---------------------------------------------------------------------------
// The result

std::string TTavQueryProviderItem::GetResultSetFieldNameFromSortKey(const std::string& key) const {
  const TSelectFields& columns = select_analyser_->SelectFields;
  return tav::GetResultSetFieldNameFromSortKey(columns, MakeResultColumnNames(columns), key);
}

void TTavQueryProviderItem::SetTableFieldDefs(host::TFieldDefs& defs, const TInternalFields& fields) {
  defs.Clear();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    defs.Add(f.FieldName(), f.DataType(), f.FieldSize(), f.Required());
  }
}

const std::string& TTavQueryProviderItem::ResultTableName() {
  if (result_table_name_.empty()) {
    char id[5];
    std::snprintf(id, sizeof id, "%04X", static_cast<unsigned>(ID()) & 0xFFFFu);
    result_table_name_ = std::string("$Q") + id + RandomTableSuffix();
  }
  return result_table_name_;
}

void TTavQueryProviderItem::PrepareResultColumns() {
  TTavQueryDataset& rows = *result_set_;
  const TSelectFields& columns = select_analyser_->SelectFields;
  // A kept plan keeps its providers, and the columns that read them.
  if (!columns_planned_ || result_columns_->Count() != columns.Count()) {
    result_columns_->BuildFromSelectFields(columns, provider_mgr_->RootProvider(), rows.GetDBStringCompare());
    columns_planned_ = true;
    columns_aggregate_ = columns.ContainsAggregateColumns();
  }
  if (result_set_prepared_) return;
  rows.FieldDefs().Clear();
  result_columns_->AddFieldDefs(rows.FieldDefs());
  rows.IndexDefs().Clear();
  PrepareResultIndexDefs(rows.IndexDefs(), columns, &engine_->OrderByItems(), columns.ContainsGroupedOutput(),
                         select_analyser_->IsDistinct);
}

bool TTavQueryProviderItem::CreateResultSet() {
  TAV_ASSERT(result_set_ != nullptr, "Result set is not assigned");
  TTavQueryProvider& provider = *GetProviderParent();
  // Planned again on every run: the parameters' values and the outer row
  // may have changed.
  if (!PreparePlan()) return false;
  // A kept plan keeps its providers, and with them the result columns.
  const bool planKept = reapply_selection_;
  ++build_count_;
  TTavQueryDataset& rows = *result_set_;
  // A re-run empties the table the last run filled through the cursor still
  // open on it; anything else (a closed connection, another database)
  // opens it afresh.
  const bool keepOpen = result_set_prepared_ && rows.Active() && rows.Memory() &&
                        rows.DataBase() == provider.Database() && rows.TableName() == ResultTableName();
  if (!keepOpen) {
    if (rows.Active()) rows.Close();
    rows.SetDataBase(provider.Database());
    rows.SetTableName(ResultTableName());
  }
  rows.SetProviderMgr(provider_mgr_.get());
  TBridgeReadLockGuard locks(*provider_mgr_);
  TTavBaseJoinDataProvider* root = &OpenPlanTables(&locks);
  provider_mgr_->SetDBStringCompare(rows.GetDBStringCompare());
  const bool columnsKept =
      planKept && keepOpen && columns_planned_ && result_columns_->Count() == select_analyser_->SelectFields.Count();
  PrepareResultColumns();
  const TSelectFields& columns = select_analyser_->SelectFields;
  const bool aggregated = columns_aggregate_;
  result_is_live_ = request_live_ && dynamic_cast<TTavNonJoinDataProvider*>(root) != nullptr && !aggregated &&
                    !select_analyser_->IsDistinct;
  if (result_is_live_ && !result_set_prepared_) {
    rows.FieldDefs().Add(kResultRecAddrField, host::ftInteger, 0, false);
    rows.FieldDefs().Add(kResultRecModFlagField, host::ftInteger, 0, false);
  }
  rows.SetCreateLiveResult(result_is_live_);
  rows.PrepareEmptyResultSet(result_set_prepared_, !aggregated);
  result_set_prepared_ = true;
  // The limit is the statement's: a subquery's rows are never cut.
  rows.SetMaxRecords(parent_ == nullptr ? provider.MaxRecords() : 0);
  if (aggregated) {
    rows.PopulateAggregateResultSet(*result_columns_, columns.ContainsGroupedOutput());
    TTavExprNode* having = engine_->HavingExpr() != nullptr ? engine_->HavingExpr()->Root() : nullptr;
    result_columns_->PrepareHavingExpr(having);
    rows.ProcessHavingClause(having);
  } else {
    // The fill before this one read the same columns through the same
    // providers.
    if (columnsKept) rows.KeepColumnMaps();
    rows.PopulateResultSet(*result_columns_, select_analyser_->IsDistinct);
  }
  if (result_is_live_) rows.SetReadOnlyResultFields(*result_columns_);
  return true;
}

bool TTavQueryProviderItem::CreateResultList(std::vector<uint32_t>& list) {
  TAV_ASSERT(result_set_ != nullptr, "Result set is not assigned");
  if (!PreparePlan()) return false;
  result_set_->SetProviderMgr(provider_mgr_.get());
  TBridgeReadLockGuard locks(*provider_mgr_);
  OpenPlanTables(&locks);
  // A condition the tables cannot answer is applied by the manager to each
  // row it yields.
  result_set_->PopulateResultSetAddrList(list);
  return true;
}

// ---------------------------------------------------------------------------
// Outer references

Variant TTavQueryProviderItem::GetFieldData(const std::string& tableName, const std::string& fieldName) {
  if (!where_only_ && engine_->GetSQLStatementType() == tsSQLUpdate && result_set_ && result_set_->Active() &&
      host::AnsiSameText(tableName, result_set_->TableName())) {
    const int no = result_set_->GetFieldNo(fieldName);
    if (no >= 0) return result_set_->GetFieldData(no);
  }
  if (TTavBaseJoinDataProvider* root = provider_mgr_->RootProvider()) {
    if (TTavBaseJoinDataProvider* p = root->FindJoinProvider(tableName)) {
      TInternalFieldItem* f = p->FindField(nullptr, fieldName);
      return f != nullptr ? p->GetDataAsVariant(f->FieldNo()) : Variant();
    }
  }
  return parent_ != nullptr ? parent_->GetFieldData(tableName, fieldName) : Variant();
}

void TTavQueryProviderItem::CreateParamList() {
  host::TParams* params = GetProviderParent()->Params();
  if (params == nullptr) return;
  params->Clear();
  host::TStringList names;
  engine_->GetParamList(&names);
  for (int i = 0; i < names.Count(); ++i) params->CreateParam(host::ftUnknown, names.Strings(i), host::ptInput);
}

// ---------------------------------------------------------------------------
// Execution

void TTavQueryProviderItem::InvalidateSubqueries() {
  for (TTavQueryProviderItem* sub : subqueries_) {
    sub->expr_node_provider_->Invalidate();
    sub->InvalidateSubqueries();
  }
}

bool TTavQueryProviderItem::ExecSQL() {
  errors_.Clear();
  InvalidateSubqueries();
  // The one place that decides how each kind of statement runs.
  switch (GetSQLStatementType()) {
    case tsSQLInsert: return ExecInsert();
    case tsSQLUpdate: return ExecUpdate();
    case tsSQLDelete: return ExecDelete();
    case tsSchemaManipulation: return ExecSchemaStatement();
    default: return Fail(kSqlNotExecutable);
  }
}

void TTavQueryProviderItem::OpenTarget() {
  TAV_ASSERT(result_set_ != nullptr, "Result set is not assigned");
  TTavQueryDataset& target = *result_set_;
  if (target.Active()) target.Close();
  const TTableNameItem& table = *engine_->TableList().Items(0);
  target.SetDataBase(GetProviderParent()->Database());
  target.SetTableName(table.TableName());
  target.SetMemory(table.Memory());
  target.Open();
}

bool TTavQueryProviderItem::ExecInsert() {
  TTavInsertParser& insert = engine_->InsertParser();
  insert.Values.BindParams(GetProviderParent()->Params());
  OpenTarget();
  result_columns_->Clear();
  for (int i = 0; i < insert.Columns.Count(); ++i) result_columns_->Add()->SetFieldName(insert.Columns.Strings(i));
  if (insert.HasSelectClause) {
    TAV_ASSERT(subqueries_.size() == 1, "Insert select count is incorrect");
    TTavQueryProviderItem& source = *subqueries_[0];
    if (SourceRowsGoStraightIn(source)) {
      // The source's read locks for the whole walk (inside a transaction).
      TBridgeReadLockGuard locks(*source.provider_mgr_);
      if (!source.PrepareRowWalk(locks)) return false;
      result_set_->InsertDataFromRows(*result_columns_, *source.result_columns_, *source.provider_mgr_);
      return true;
    }
    if (!source.CreateResultSet()) return false;
    result_set_->InsertDataFromDataset(*result_columns_, *source.ResultSet());
    return true;
  }
  insert.Values.Prepare(nullptr);
  for (int i = 0; i < result_columns_->Count(); ++i) {
    Variant value = host::Null();
    if (i < insert.Values.Count()) insert.Values.Items(i)->GetRowData(value);
    result_columns_->Items(i)->DataValue = value;
  }
  result_set_->InsertData(*result_columns_);
  return true;
}

bool TTavQueryProviderItem::SourceRowsGoStraightIn(TTavQueryProviderItem& source) const {
  // Rows in the order of the source's walk, each a plain column: a result
  // table would hold them only to be read back in the same order.
  const TSelectFields& columns = source.select_analyser_->SelectFields;
  if (columns.ContainsAggregateColumns() || columns.ContainsGroupedOutput() || source.select_analyser_->IsDistinct ||
      source.engine_->OrderByItems().Count() > 0)
    return false;
  for (int i = 0; i < columns.Count(); ++i)
    if (!IsPlainColumn(*columns.Items(i))) return false;
  // Rows the statement inserts must not be read back by it: no item may
  // read the target.
  const std::string& target = engine_->TableList().Items(0)->TableName();
  TTavQueryProvider& provider = *GetProviderParent();
  for (int i = 0; i < provider.Count(); ++i) {
    const TTavQueryProviderItem* item = provider.Items(i);
    if (item == this) continue;
    TTableList& tables = item->engine_->TableList();
    for (int t = 0; t < tables.Count(); ++t)
      if (host::AnsiSameText(tables.Items(t)->TableName(), target)) return false;
  }
  return true;
}

bool TTavQueryProviderItem::PrepareRowWalk(TBridgeReadLockGuard& locks) {
  TAV_ASSERT(result_set_ != nullptr, "Result set is not assigned");
  if (!PreparePlan()) return false;
  ++build_count_;
  TTavQueryDataset& rows = *result_set_;
  if (rows.Active()) rows.Close();
  rows.SetDataBase(GetProviderParent()->Database());
  rows.SetProviderMgr(provider_mgr_.get());
  TTavBaseJoinDataProvider& root = OpenPlanTables(&locks);
  provider_mgr_->SetDBStringCompare(rows.GetDBStringCompare());
  result_columns_->BuildFromSelectFields(select_analyser_->SelectFields, &root, rows.GetDBStringCompare());
  return true;
}

TTavBaseJoinDataProvider& TTavQueryProviderItem::OpenPlanTables(TBridgeReadLockGuard* locks) {
  TTavBaseJoinDataProvider* root = provider_mgr_->RootProvider();
  TAV_ASSERT(root != nullptr, "Root provider is not assigned");
  // The kept bridges' locks now, the new ones' as soon as they are open.
  if (locks != nullptr) locks->Hold();
  if (!root->IsOpen) {
    root->OpenProvider();
    if (locks != nullptr) locks->Hold();
  } else if (reapply_selection_ && root == kept_leaf_) {
    // A kept plan: its leaf filters by the new values, under the locks.
    kept_leaf_->ReapplySelection();
  }
  reapply_selection_ = false;
  return *root;
}

bool TTavQueryProviderItem::ExecDelete() {
  OpenTarget();
  std::vector<uint32_t> list;
  const bool hasWhere = engine_->DeleteParser().HasWhereClause;
  if (hasWhere) {
    TAV_ASSERT(subqueries_.size() == 1, "Insert select count is incorrect");
    if (!subqueries_[0]->CreateResultList(list)) return false;
    subqueries_[0]->provider_mgr_->Clear();
  }
  result_set_->DeleteData(!hasWhere, list);
  return true;
}

bool TTavQueryProviderItem::ExecUpdate() {
  TTavUpdateParser& update = engine_->UpdateParser();
  update.Values.BindParams(GetProviderParent()->Params());
  OpenTarget();
  result_columns_->Clear();
  std::vector<uint32_t> list;
  if (update.HasWhereClause) {
    TAV_ASSERT(!subqueries_.empty(), "Insert select count is incorrect");
    // The WHERE item is the last: the SET list's subqueries come before it.
    TTavQueryProviderItem& where = *subqueries_.back();
    if (!where.CreateResultList(list)) return false;
    where.provider_mgr_->Clear();
  }
  result_set_->UpdateData(!update.HasWhereClause, list, update.Values);
  return true;
}

// Schema statements (CREATE, ALTER and DROP of tables and indexes) are
// executed here.
bool TTavQueryProviderItem::ExecSchemaStatement() {
  return ExecuteSchemaStatement(*GetProviderParent()->Database(), *engine_, errors_);
}

// ---------------------------------------------------------------------------
// TTavQueryProvider

TTavQueryProvider::TTavQueryProvider() = default;

TTavQueryProvider::~TTavQueryProvider() { ClearItems(); }

void TTavQueryProvider::ClearItems() {
  while (Count() > 0) Delete(Count() - 1);
}

void TTavQueryProvider::ClearPlans() {
  for (int i = Count() - 1; i >= 0; --i) {
    TTavQueryProviderItem& item = *Items(i);
    // The result table's cursor stays open between runs of a prepared
    // statement: its table may be dropped once the plan is gone.
    if (item.result_set_ && item.result_set_->Active()) item.result_set_->Close();
    item.kept_leaf_ = nullptr;
    item.reapply_selection_ = false;
    item.columns_planned_ = false;
    if (item.provider_mgr_) item.provider_mgr_->Clear();
  }
}

void TTavQueryProvider::SetSQL(const host::TStrings& text) {
  sql_.Assign(text);
  ClearItems();
}

void TTavQueryProvider::SetSQL(const std::string& text) {
  host::TStringList lines;
  lines.SetText(text);
  SetSQL(lines);
}

bool TTavQueryProvider::ValidateSQLOnly() {
  ClearItems();
  errors_.Clear();
  own_errors_.Clear();
  TTavQueryProviderItem* item = Add();
  item->SetSQL(sql_);
  return item->ValidateSQL();
}

bool TTavQueryProvider::ValidateSQL() {
  const bool ok = ValidateSQLOnly();
  if (ok && params_ != nullptr) Items(0)->CreateParamList();
  return ok;
}

void TTavQueryProvider::ResetParams() {
  if (params_ == nullptr || database_ == nullptr) return;
  if (!ValidateSQL() && Count() > 0) Items(0)->CreateParamList();
}

bool TTavQueryProvider::PreparePlan() { return Count() > 0 && Items(0)->valid_ && Items(0)->Prepare(); }

// A value the statement cannot compute (a division by zero, an overflow, a
// text that is not a number, a number too large for its column), in
// whatever clause or subquery, fails the run as an SQL error of the
// statement: a line of its error list, like every other failure of a run.
bool TTavQueryProvider::RunStatement(bool (TTavQueryProviderItem::*step)()) {
  TTavQueryProviderItem& item = *Items(0);
  try {
    return (item.*step)();
  } catch (const host::Exception& e) {
    if (!IsValueComputationError(e)) throw;
    return item.Fail(e.Message());
  }
}

bool TTavQueryProvider::CreateResultSet() {
  // A statement that failed its validation is never run.
  if (Count() == 0 || !Items(0)->valid_) return false;
  TTavQueryProviderItem& item = *Items(0);
  item.SetRequestLive(request_live_);
  item.errors_.Clear();
  // Subqueries build again on their first use in this run: the parameters
  // may have new values.
  item.InvalidateSubqueries();
  return RunStatement(&TTavQueryProviderItem::CreateResultSet);
}

bool TTavQueryProvider::ExecSQL() {
  return Count() > 0 && Items(0)->valid_ && RunStatement(&TTavQueryProviderItem::ExecSQL);
}

bool TTavQueryProvider::CheckTableList(TTableList& tables, bool reportErrors) {
  TAV_ASSERT(database_ != nullptr, "The database has not been assigned");
  host::TStringList disk;
  host::TStringList memory;
  if (!database_->IsMemory()) database_->GetTableNames(disk, false);
  database_->GetTableNames(memory, true);
  const auto holds = [](const host::TStringList& list, const std::string& upper) {
    for (int i = 0; i < list.Count(); ++i)
      if (host::AnsiUpperCase(list.Strings(i)) == upper) return true;
    return false;
  };
  bool all = true;
  for (int i = 0; i < tables.Count(); ++i) {
    TTableNameItem& table = *tables.Items(i);
    const std::string upper = host::AnsiUpperCase(table.TableName());
    bool found = false;
    if (!table.MemorySpecified() && holds(disk, upper)) {
      table.SetMemory(false);
      found = true;
    }
    if (!found && holds(memory, upper)) {
      table.SetMemory(true);
      found = true;
    }
    if (!found && reportErrors) own_errors_.Add(std::string(kSqlTableNotFound) + " - " + table.TableName());
    all = all && found;
  }
  return all;
}

void TTavQueryProvider::GetFieldsForTable(const std::string& tableName, TInternalFields& fields, bool memory) {
  TTavBaseTable table(nullptr);
  table.SetDataBase(database_);
  table.SetMemory(memory);
  table.SetTableName(tableName);
  table.Open();
  fields.Assign(table.GetInternalFields());
  table.Close();
}

host::TStringList& TTavQueryProvider::GetErrors() {
  errors_.Clear();
  const auto addFrom = [this](const host::TStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i)
      if (!lines.Strings(i).empty()) errors_.Add(lines.Strings(i));
  };
  addFrom(own_errors_);
  for (int i = 0; i < Count(); ++i) addFrom(Items(i)->Errors());
  return errors_;
}

std::string TTavQueryProvider::GetErrorsAsText() {
  std::string text;
  host::TStringList& lines = GetErrors();
  for (int i = 0; i < lines.Count(); ++i) text += lines.Strings(i) + ". ";
  return text;
}

bool TTavQueryProvider::GetIsLiveRequest() const { return Count() > 0 && Items(0)->ResultIsLive(); }

TTavQueryDataset* TTavQueryProvider::GetResultSet() const { return Count() > 0 ? Items(0)->ResultSet() : nullptr; }

int32_t TTavQueryProvider::GetRowsAffected() const {
  if (Count() == 0) return 0;
  TTavQueryProviderItem& item = *Items(0);
  TTavQueryDataset* rows = item.ResultSet();
  switch (item.GetSQLStatementType()) {
    case tsSQLSelect: return rows != nullptr && rows->Active() ? rows->RecordCount() : 0;
    case tsSchemaManipulation: return 0;
    default: return rows != nullptr ? rows->GetRowsAffected() : 0;
  }
}

TTavSQLStatementType TTavQueryProvider::GetSQLStatementType() const {
  return Count() > 0 ? Items(0)->GetSQLStatementType() : tsSQLUnknown;
}

}  // namespace tav

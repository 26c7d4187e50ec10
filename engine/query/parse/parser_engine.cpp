#include "engine/query/parse/parser_engine.h"

#include <algorithm>

#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"

namespace tav {

namespace {

const TTavParserOptions kClauseOptions{tpoExtSyntax};
const TTavParserOptions kWhereOptions{tpoExtSyntax, tpoParameters, tpoSubqueries};
const TTavParserOptions kHavingOptions{tpoExtSyntax, tpoExtractAggFuncExprText, tpoSubqueries};

// The first aggregate call in the tree; nullptr when there is none.
const TTavExprNode* FindAggregate(const TTavExprNode* node, int depth = 1) {
  if (node == nullptr || depth > MaxExprTreeDepth) return nullptr;
  if (node->Kind == enkFunc && node->ParserToken.Token == tstAggFunc) return node;
  if (const TTavExprNode* found = FindAggregate(node->Left, depth + 1)) return found;
  if (const TTavExprNode* found = FindAggregate(node->Right, depth + 1)) return found;
  for (const TTavExprNode* arg : node->Args)
    if (const TTavExprNode* found = FindAggregate(arg, depth + 1)) return found;
  return nullptr;
}

// An aggregate has no value outside a select list or HAVING: a condition
// or a value naming one is refused at the call.
bool RefuseAggregate(TBaseParser& parser, const TTavExprNode* root) {
  const TTavExprNode* aggregate = FindAggregate(root);
  if (aggregate == nullptr) return true;
  parser.SetError(&aggregate->ParserToken, "Invalid token");
  return false;
}

bool RefuseAggregates(TBaseParser& parser, TTavRowConstructor& values) {
  for (int i = 0; i < values.Count(); ++i) {
    TTavRowConstructorElement* element = values.Items(i);
    if (element->HasExpr() && !RefuseAggregate(parser, element->GetExpr().Root())) return false;
  }
  return true;
}

int StackCount(const TTavPreParser& pre) {
  const TParserStack* stack = pre.GetSingleStack();
  return stack != nullptr ? stack->Count() : 0;
}

}  // namespace

TTavParserEngine::TTavParserEngine() {
  auto callback = [this](TParserNotifyType type, TBaseParser* parser, TParserStack* stack,
                         TTavExprNode* node, host::Variant& value) {
    ParserCallback(type, parser, stack, node, value);
  };
  // Only these five read subqueries: one in a select list or a FROM clause
  // is refused by its own parser.
  where_parser_.SetParserNotifyEvent(callback);
  having_parser_.SetParserNotifyEvent(callback);
  insert_parser_.SetParserNotifyEvent(callback);
  delete_parser_.SetParserNotifyEvent(callback);
  update_parser_.SetParserNotifyEvent(callback);
}

TTavParserEngine::~TTavParserEngine() = default;

bool TTavParserEngine::PreParseSQL(const std::string& text) {
  error_text_.clear();
  for (TTavPreParser* pre : {&main_, &from_pre_}) {
    pre->Clear();
    pre->SetText(text);
    pre->SetParseSingleStack(true);
    pre->PreParseTokens();
  }
  // The engine serves one statement after another: nothing of the last one
  // may reach this one's table list.
  table_list_.Clear();
  from_parser_.Clear();
  where_parser_.Clear();
  select_parser_.Clear();
  order_by_parser_.Clear();
  group_by_parser_.Clear();
  // Each keeps its handler; none may start on the last statement's token.
  having_parser_.Clear();
  insert_parser_.Clear();
  delete_parser_.Clear();
  update_parser_.Clear();
  schema_parser_.Clear();
  last_parser_ = nullptr;
  subquery_closed_ = false;
  where_parsed_ = false;
  having_parsed_ = false;
  nested_.clear();
  return true;
}

bool TTavParserEngine::ParseFromClause() {
  table_list_.Clear();
  if (!is_subquery_) select_parser_.Clear();
  select_parser_.SetTableList(&table_list_);
  // This pass only moves the FROM pre-parse past the select list.
  select_parser_.Execute(kClauseOptions, from_pre_.GetSection(tstSelect, select_parser_.CurrentToken));
  from_parser_.Clear();
  from_parser_.SetIsSubquery(is_subquery_);
  const bool ok =
      from_parser_.Execute(kClauseOptions, from_pre_.GetSection(tstFrom, select_parser_.CurrentToken));
  select_parser_.Clear();
  TakeError(from_parser_);
  last_parser_ = &from_parser_;
  if (is_subquery_ && from_parser_.CurrentTokenType() == tstRParen) subquery_closed_ = true;
  if (ok) table_list_.Assign(from_parser_.TableList());
  return ok;
}

bool TTavParserEngine::ParseSelectClause() {
  if (!is_subquery_) select_parser_.Clear();
  select_parser_.SetTableList(&table_list_);
  TParserToken marker;
  marker.Token = tstSelect;
  TParserStack* section = main_.GetSection(tstSelect, is_subquery_ ? &marker : nullptr);
  const bool ok = select_parser_.Execute(kClauseOptions, section);
  // Moves the main pre-parse past the FROM clause; the FROM pass has
  // already judged it.
  from_parser_.Clear();
  from_parser_.SetIsSubquery(is_subquery_);
  if (ok) from_parser_.Execute(kClauseOptions, main_.GetSection(tstFrom, select_parser_.CurrentToken));
  TakeError(select_parser_);
  return ok;
}

bool TTavParserEngine::ParseWhereClause() {
  if (subquery_closed_) return true;
  if (from_parser_.CurrentTokenType() != tstWhere) {
    where_parser_.SyncCurrToken(from_parser_);
    return true;
  }
  where_parser_.Clear();
  where_parser_.SetValidateFields(true);
  where_parser_.SetIsSubquery(is_subquery_);
  where_parser_.SetTableList(&table_list_);
  where_parser_.SetValidEndTokens({tstGroupBy, tstHaving, tstOrderBy, tstEnd});
  where_parser_.SetNestingBase(nesting_base_);
  const bool ok =
      where_parser_.Execute(kWhereOptions, main_.GetSection(tstWhere, from_parser_.CurrentToken)) &&
      RefuseAggregate(where_parser_, where_parser_.Root);
  where_parsed_ = ok;
  last_parser_ = &where_parser_;
  if (is_subquery_ && where_parser_.CurrentTokenType() == tstRParen) subquery_closed_ = true;
  TakeError(where_parser_);
  return ok;
}

bool TTavParserEngine::ParseItemListClause(TBaseParser& parser, TTavSQLToken clause,
                                           const std::function<bool(TParserStack*)>& run) {
  bool ok = true;
  if (!subquery_closed_ && where_parser_.CurrentTokenType() == clause) {
    parser.SetIsSubquery(is_subquery_);
    ok = run(main_.GetSection(clause, where_parser_.CurrentToken));
    where_parser_.SyncCurrToken(parser);
    last_parser_ = &parser;
  }
  TakeError(parser);
  return ok;
}

bool TTavParserEngine::ParseGroupByClause() {
  group_by_parser_.Clear();
  group_by_items_.Clear();
  return ParseItemListClause(group_by_parser_, tstGroupBy, [this](TParserStack* stack) {
    return group_by_parser_.ExecuteGroupBy(group_by_items_, stack);
  });
}

bool TTavParserEngine::ParseOrderByClause() {
  order_by_parser_.Clear();
  order_by_items_.Clear();
  return ParseItemListClause(order_by_parser_, tstOrderBy, [this](TParserStack* stack) {
    return order_by_parser_.ExecuteOrderBy(order_by_items_, stack);
  });
}

bool TTavParserEngine::ParseHavingClause() {
  having_parser_.Clear();
  if (subquery_closed_ || where_parser_.CurrentTokenType() != tstHaving) return true;
  if (group_by_items_.Count() == 0) {
    error_text_ = "No group by clause was specified";
    return false;
  }
  having_parser_.SetIsSubquery(is_subquery_);
  having_parser_.SetValidEndTokens({tstOrderBy, tstEnd});
  having_parser_.SetNestingBase(nesting_base_);
  const bool ok =
      having_parser_.Execute(kHavingOptions, main_.GetSection(tstHaving, where_parser_.CurrentToken));
  where_parser_.SyncCurrToken(having_parser_);
  TakeError(having_parser_);
  last_parser_ = &having_parser_;
  having_parsed_ = ok && having_parser_.Expr != nullptr;
  if (having_parsed_) having_parser_.Expr->SetAsFirstNode(having_parser_.Root);
  return ok;
}

bool TTavParserEngine::ParseInsertStatement() {
  const bool ok = insert_parser_.Execute({}, main_.GetSection(tstInsert, nullptr)) &&
                  RefuseAggregates(insert_parser_, insert_parser_.Values);
  if (ok) table_list_.Add()->SetTableName(insert_parser_.TableName);
  last_parser_ = &insert_parser_;
  TakeError(insert_parser_);
  return ok;
}

bool TTavParserEngine::ParseDeleteStatement() {
  delete_parser_.SetTables(&table_list_);
  const bool ok = delete_parser_.Execute({}, main_.GetSection(tstDelete, nullptr));
  last_parser_ = &delete_parser_;
  TakeError(delete_parser_);
  return ok;
}

bool TTavParserEngine::ParseUpdateStatement() {
  update_parser_.SetTables(&table_list_);
  const bool ok = update_parser_.Execute({}, main_.GetSection(tstUpdate, nullptr)) &&
                  RefuseAggregates(update_parser_, update_parser_.Values);
  last_parser_ = &update_parser_;
  TakeError(update_parser_);
  return ok && update_parser_.ErrorMsg.empty();
}

bool TTavParserEngine::ParseSchemaManipulationStatement() {
  const bool ok = schema_parser_.Execute({}, main_.GetSingleStack());
  if (ok) {
    TTableNameItem* item = table_list_.Add();
    item->SetTableName(schema_parser_.TableName);
    item->SetMemorySpecified(schema_parser_.TemporaryTable);
    item->SetMemory(schema_parser_.TemporaryTable);
  }
  last_parser_ = &schema_parser_;
  TakeError(schema_parser_);
  return ok;
}

bool TTavParserEngine::CheckParseDone() const {
  const TParserStack* stack = main_.GetSingleStack();
  return stack == nullptr || stack->Count() == 0 || where_parser_.CurrentTokenType() == tstEnd;
}

std::string TTavParserEngine::GetCurrentPreParserTokenAsErrorFmt() const {
  const TParserStack* stack = main_.GetSingleStack();
  const TParserToken* top = stack != nullptr ? stack->Peek() : nullptr;
  return top != nullptr ? TokenPositionText(*top) : std::string();
}

void TTavParserEngine::GetParamList(host::TStrings* list) {
  TAV_ASSERT(list != nullptr, "GetParamList needs a list");
  list->Clear();
  const std::string text = main_.Text();
  main_.Clear();
  main_.SetText(text);
  main_.SetParseSingleStack(true);
  main_.PreParseTokens();
  main_.GetParamList(*list);
}

// ---- subqueries ----

void TTavParserEngine::ParserCallback(TParserNotifyType type, TBaseParser* parser, TParserStack*,
                                      TTavExprNode* node, host::Variant& value) {
  switch (type) {
    case pntSubquery: ParseSubquery(parser, node, value); break;
    case pntFindTableRef:
      if (notify_) notify_(pntFindTableRef, nullptr, node, value);
      break;
    default: parser->SetError(parser->CurrentToken, "Invalid token"); break;
  }
}

void TTavParserEngine::ParseSubquery(TBaseParser* parser, TTavExprNode* node, host::Variant& value) {
  // A subquery stands inside the condition that meets it: the whole
  // statement keeps to the bound of one expression tree, so nesting cannot
  // run the stack out.
  const auto* condition = dynamic_cast<const TTavExprParser*>(parser);
  const int base = std::max(nesting_base_, condition != nullptr ? condition->Nesting() : 0) + 1;
  if (base > MaxExprTreeDepth) {
    parser->SetError(parser->CurrentToken, "Expression is too complex");
    return;
  }
  auto owned = std::make_unique<TTavParserEngine>();
  TTavParserEngine& nested = *owned;
  nested_.push_back(std::move(owned));
  nested.nesting_base_ = base;
  const TTavPreParser& fewer = StackCount(from_pre_) < StackCount(main_) ? from_pre_ : main_;
  for (TTavPreParser* pre : {&nested.main_, &nested.from_pre_}) {
    pre->SetSQLStatementType(tsSQLSelect);
    pre->SetParseSingleStack(true);
    pre->AssignStacks(fewer);
  }
  nested.select_parser_.SyncCurrToken(*parser);
  nested.from_parser_.SyncCurrToken(*parser);
  if (notify_) notify_(pntSubquery, &nested, node, value);
  if (!nested.error_text_.empty()) {
    parser->SetError(nullptr, nested.error_text_);
    return;
  }
  // The tokens the nested engine consumed leave both outer pre-parses; the
  // calling parser goes on from the last of them, with their text.
  const TTavPreParser& consumed =
      StackCount(nested.main_) <= StackCount(nested.from_pre_) ? nested.main_ : nested.from_pre_;
  if (nested.last_parser_ != nullptr && parser->Stack != nullptr &&
      parser->Stack == main_.GetSingleStack()) {
    TBaseParser reader;
    reader.Stack = parser->Stack;
    for (int n = parser->Stack->Count() - StackCount(consumed); n > 0; --n) reader.NextToken();
    parser->ResumeAfter(reader, 0);
  } else {
    main_.TrimStacks(consumed);
  }
  from_pre_.TrimStacks(consumed);
}

}  // namespace tav

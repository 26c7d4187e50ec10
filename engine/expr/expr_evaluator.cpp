#include "engine/expr/expr_evaluator.h"

#include <algorithm>
#include <cmath>

#include "engine/expr/typed_condition.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/date_time.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant_ops.h"

namespace tav {

using host::Variant;

namespace {

bool IsMissing(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

bool IsStringType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

bool IsSubquery(const TTavExprNode* node) { return node != nullptr && node->Kind == enkSubquery; }

TTavSubqueryType QuantifierOf(const TTavExprNode* subquery) {
  return static_cast<TTavSubqueryType>(subquery->ParserToken.CustomOrdinal);
}

// The rows of a subquery node, ready to read from the first; nullptr when
// its data source has none to give.
TTavExprRowSource* OpenSubquery(const TTavExprNode* subquery, const char* missingMessage) {
  TCustomExprNodeDataProvider* source = subquery->ExprNodeDataProvider;
  TAV_ASSERT(source != nullptr, missingMessage);
  if (!source->PrepareAndOpen()) return nullptr;
  return source->ProviderDataset;
}

// The single value of a subquery that may yield at most one row: Unassigned
// for none, error 9650 for more.
Variant SingleRowValue(TTavExprRowSource* rows, const char* caller) {
  if (rows == nullptr || rows->Eof()) return Variant();
  Variant value = rows->FieldValue(0);
  rows->Next();
  if (!rows->Eof()) TavDatabaseError(kSingleRowResultHasMultipleRows, caller);
  return value;
}

constexpr const char* kSubqueryValueCaller = "TExprEvaluator.EvaluateSubqueryValue";

}  // namespace

// ---- the data provider ----

Variant TTavExprDataProvider::GetDataAsVariant(int32_t) { return Variant(); }

void TTavExprDataProvider::GetDefaultRecordList(TCompoundList&) {}

bool TTavExprDataProvider::MoveToRecord(uint32_t) { return false; }

TInternalFieldItem* TTavExprDataProvider::FindField(const TParserToken*, const std::string& name) {
  return GetProviderFields()->FindField(name);
}

TTavExprDataProvider* TTavExprDataProvider::FindProvider(const std::string&) { return this; }

bool TTavExprDataProvider::PassFilterEvent(uint32_t) { return false; }

bool TTavExprDataProvider::GetStoredField(int32_t, const uint8_t*& data, int32_t& length) {
  data = nullptr;
  length = 0;
  return false;
}

// ---- preparing ----

void TExprEvaluator::Prepare(TTavExprDataProvider* provider, const TTavExprNode* root) {
  // One instant for the whole run: every row sees the same CURRENT_DATE.
  Prepare(provider, root, host::Now());
}

void TExprEvaluator::Prepare(TTavExprDataProvider* provider, const TTavExprNode* root, double now) {
  DataProvider = provider;
  now_ = now;
  Root = Build(root, true, 1);
}

void TExprEvaluator::Clear() {
  Root = nullptr;
  list_head_ = nullptr;
  nodes_.clear();
}

TExprEvaluatorNode* TExprEvaluator::Build(const TTavExprNode* node, bool listed, int depth) {
  if (node == nullptr) return nullptr;
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Expression tree too deep in TExprEvaluator");
  TExprEvaluatorNode* result = nodes_.emplace_back(std::make_unique<TExprEvaluatorNode>()).get();
  result->ExprNode = node;
  result->NodeResult = host::Null();
  if (listed) {
    result->Next = list_head_;
    list_head_ = result;
  }
  if (node->Kind == enkField) BindField(*result, *node);
  result->Left = Build(node->Left, listed, depth + 1);
  result->Right = Build(node->Right, listed, depth + 1);
  result->Args.reserve(node->Args.size());
  for (const TTavExprNode* arg : node->Args) {
    if (TExprEvaluatorNode* built = Build(arg, false, depth + 1)) result->Args.push_back(built);
  }
  return result;
}

void TExprEvaluator::BindField(TExprEvaluatorNode& result, const TTavExprNode& node) {
  TAV_ASSERT(DataProvider != nullptr, "The Data provider is not assigned");
  constexpr const char* kCaller = "TExprEvaluator.Prepare";
  const std::string column = host::VarToStr(node.Data);
  const TParserToken* qualifier = node.TokenArgs.empty() ? nullptr : node.TokenArgs.front();
  // A condition may name a table or column its providers lack (a text
  // parsed against other tables): the engine's error, with the name.
  if (qualifier == nullptr) {
    result.DataProvider = DataProvider;
  } else {
    result.DataProvider = DataProvider->FindProvider(qualifier->Text);
    if (result.DataProvider == nullptr) TavDatabaseError(kNoSuchTable, kCaller, qualifier->Text);
  }
  result.FieldRef = result.DataProvider->FindField(qualifier, column);
  if (result.FieldRef == nullptr)
    TavDatabaseError(kNoSuchField, kCaller,
                     qualifier == nullptr ? column : qualifier->Text + "." + column);
}

void TExprEvaluator::Reset() {
  for (TExprEvaluatorNode* node = list_head_; node != nullptr; node = node->Next)
    node->NodeResult = host::Null();
  for (const auto& node : nodes_) node->ConstantSet = false;
}

bool TExprEvaluator::Evaluate() {
  if (Root == nullptr) return false;
  return IsTrueValue(EvaluateNode(Root));
}

Variant TExprEvaluator::EvaluateValueExpr() {
  return Root != nullptr ? EvaluateNode(Root) : Variant();
}

Variant TExprEvaluator::ClockValue(TTavSQLToken token) const { return ClockValueAt(token, now_); }

Variant TExprEvaluator::ClockValueAt(TTavSQLToken token, double now) {
  switch (token) {
    case tstCurrentDate: return Variant::FromDate(std::trunc(now));
    case tstCurrentTime: return Variant::FromDate(std::fabs(now - std::trunc(now)));
    case tstCurrentTimestamp: return Variant::FromDate(now);
    default: return Variant();
  }
}

// ---- evaluating ----

// Kept small: it recurses once per tree level, and the rarer rules live in
// their own functions so that their locals do not weigh on every level. The
// value is kept in the node, and the callers read it there.
const Variant& TExprEvaluator::EvaluateNode(TExprEvaluatorNode* node) {
  static const Variant kNull = host::Null();
  const Variant& left = node->Left != nullptr ? EvaluateNode(node->Left) : kNull;
  const Variant& right = node->Right != nullptr ? EvaluateNode(node->Right) : kNull;
  const TTavExprNode* expr = node->ExprNode;
  Variant& result = node->NodeResult;
  switch (expr->Kind) {
    case enkConst:
      // Set once until the next Reset. CURRENT_DATE and its kin carry no
      // value until the optimizer gives them one.
      if (!node->ConstantSet) {
        if (expr->Data.IsEmpty())
          result = ClockValue(expr->ParserToken.Token);
        else
          result = expr->Data;
        node->ConstantSet = true;
      }
      break;
    case enkParam: result = expr->Data; break;
    case enkField:
      result = node->DataProvider->GetDataAsVariant(node->FieldRef->FieldNo());
      if (expr->CaseInsensitiveMatch && IsStringType(node->FieldRef->DataType()) &&
          host::VarIsStr(result))
        result = Variant(host::AnsiUpperCase(host::VarToStr(result)));
      break;
    case enkRelOperator: result = EvaluateRelop(node, left, right); break;
    case enkLogicalOperator:
      result = op_evaluator_.EvaluateLogicalExprAsVar(expr->Operator, left, right);
      break;
    case enkArithOperator:
      result = op_evaluator_.EvaluateArithExprValues(expr->Operator, left, right);
      break;
    case enkFunc: result = EvaluateFunction(node, left, right); break;
    case enkNonRelPredicate: result = EvaluatePredicate(node, left, right); break;
    case enkSubquery: result = EvaluateSubquery(expr); break;
    default: result = Variant(); break;
  }
  return result;
}

Variant TExprEvaluator::EvaluateRelop(TExprEvaluatorNode* node, const Variant& left,
                                      const Variant& right) {
  const TTavExprNode* expr = node->ExprNode;
  const TTavExprNode* l = expr->Left;
  const TTavExprNode* r = expr->Right;
  if (l == nullptr || r == nullptr)
    return op_evaluator_.EvaluateRelopExprAsVar(expr->Operator, left, right, ExcludeRelopNulls);
  if (IsSubquery(l) && IsSubquery(r)) return EvaluateDualSubqueries(expr);
  if (IsSubquery(l)) return EvaluateQuantified(expr, l, right, true);
  if (IsSubquery(r)) return EvaluateQuantified(expr, r, left, false);
  if (IsStringType(l->DataType) && IsStringType(r->DataType))
    return CompareStrings(expr, left, right);
  return op_evaluator_.EvaluateRelopExprAsVar(expr->Operator, left, right, ExcludeRelopNulls);
}

Variant TExprEvaluator::CompareStrings(const TTavExprNode* node, const Variant& left,
                                       const Variant& right) {
  // In SQL a missing text is no text: it matches nothing, not even ''.
  if (ExcludeRelopNulls && (IsMissing(left) || IsMissing(right))) return Variant();
  TAV_ASSERT(DBStringCompare != nullptr, "String Comparison method is not assigned");
  const TTavExprNode* l = node->Left;
  const TTavExprNode* r = node->Right;
  const bool partial = l->PartialLength > 0 || r->PartialLength > 0;
  const std::string leftText = host::VarToStr(left);
  const std::string rightText = host::VarToStr(right);
  // A partial length never reaches past the text it measures.
  const auto lengthOf = [](const TTavExprNode* n, const std::string& text) {
    const int size = static_cast<int>(std::min<size_t>(text.size(), INT32_MAX));
    return n->PartialLength > 0 ? std::min(n->PartialLength, size) : size;
  };
  int leftLength = lengthOf(l, leftText);
  int rightLength = lengthOf(r, rightText);
  // A column is compared over as much as the prefix it is matched against,
  // and only in a partial comparison: otherwise 'ab' = 'abc' would hold. A
  // text shorter than the prefix does not begin with it: it is compared whole,
  // so that its end sorts before the prefix's next character (a partial
  // compare would take only the characters both texts hold).
  if (partial) {
    if (l->Kind == enkField)
      leftLength = std::min(rightLength, static_cast<int>(leftText.size()));
    else if (r->Kind == enkField)
      rightLength = std::min(leftLength, static_cast<int>(rightText.size()));
  }
  const int compared = DBStringCompare(leftText.data(), rightText.data(), leftLength, rightLength,
                                       node->CaseInsensitiveMatch,
                                       partial && leftLength == rightLength);
  return op_evaluator_.EvaluateRelopExprAsVar(node->Operator, Variant(compared), Variant(0),
                                              ExcludeRelopNulls);
}

// ---- functions ----

Variant TExprEvaluator::EvaluateFunction(TExprEvaluatorNode* node, const Variant& left,
                                         const Variant& right) {
  const TTavExprNode* expr = node->ExprNode;
  switch (expr->ParserToken.Token) {
    case tstStrFunc: return EvaluateStringFunction(node, left, right);
    case tstCast: return EvaluateCast(*expr, right);
    case tstExtract: return EvaluateExtract(*expr, right);
    default:
      // Aggregates and outer references: the query engine supplies them.
      return Variant();
  }
}

Variant TExprEvaluator::EvaluateStringFunction(TExprEvaluatorNode* node, const Variant& left,
                                               const Variant& right) {
  const int kind = node->ExprNode->ParserToken.CustomOrdinal;
  switch (kind) {
    case tsfSubstring: return EvaluateSubstring(node, left, right);
    case tsfUpper:
    case tsfLower:
      // UPPER(NULL) is Null, not ''.
      if (IsMissing(right)) return Variant();
      return Variant(kind == tsfUpper ? host::UpperCase(host::VarToStr(right))
                                      : host::LowerCase(host::VarToStr(right)));
    case tsfTrim:
    case tsfTrimBoth:
    case tsfTrimLeading:
    case tsfTrimTrailing: {
      const std::string trimText = right.IsNull() ? std::string(" ") : host::VarToStr(right);
      if (trimText.empty() || IsMissing(left)) return Variant();
      const char c = trimText.front();
      const std::string source = host::VarToStr(left);
      size_t first = 0;
      size_t last = source.size();
      if (kind != tsfTrimTrailing)
        while (first < last && source[first] == c) ++first;
      if (kind != tsfTrimLeading)
        while (last > first && source[last - 1] == c) --last;
      return Variant(source.substr(first, last - first));
    }
    default: return Variant();
  }
}

Variant TExprEvaluator::EvaluateCast(const TTavExprNode& expr, const Variant& right) {
  if (IsMissing(right)) return Variant();
  switch (expr.DataType) {
    case host::ftString:
    case host::ftWideString: {
      std::string text = host::VarToStr(right);
      if (expr.DataSize >= 0 && text.size() > static_cast<size_t>(expr.DataSize))
        text.resize(static_cast<size_t>(expr.DataSize));
      return Variant(std::move(text));
    }
    case host::ftSmallint: return host::VarAsType(right, host::varSmallint);
    case host::ftInteger: return host::VarAsType(right, host::varInteger);
    case host::ftBoolean: return host::VarAsType(right, host::varBoolean);
    case host::ftFloat: return host::VarAsType(right, host::varDouble);
    case host::ftCurrency: return host::VarAsType(right, host::varCurrency);
    case host::ftDate: return Variant::FromDate(std::trunc(right.AsDateTime()));
    case host::ftTime: {
      const double value = right.AsDateTime();
      return Variant::FromDate(std::fabs(value - std::trunc(value)));
    }
    case host::ftDateTime:
    case host::ftTimeStamp: return Variant::FromDate(right.AsDateTime());
    case host::ftMemo:
    case host::ftFmtMemo: return Variant(host::VarToStr(right));
    default:
      TavDatabaseError(kInvalidFieldType, "TExprEvaluator.EvaluateCastExpr",
                       host::FieldTypeName(expr.DataType));
  }
}

Variant TExprEvaluator::EvaluateExtract(const TTavExprNode& expr, const Variant& right) {
  if (IsMissing(right)) return Variant();
  const int field = expr.ParserToken.CustomOrdinal;
  int a = 0, b = 0, c = 0, msec = 0;
  switch (field) {
    case tstYear:
    case tstMonth:
    case tstDay:
      host::DecodeDate(right.AsDateTime(), a, b, c);
      return Variant(static_cast<short>(field == tstYear ? a : field == tstMonth ? b : c));
    case tstHour:
    case tstMinute:
    case tstSecond:
      host::DecodeTime(right.AsDateTime(), a, b, c, msec);
      if (field == tstSecond) return Variant(c + msec / 1000.0);
      return Variant(static_cast<short>(field == tstHour ? a : b));
    default:
      TavDatabaseError(kInvalidFieldType, "TExprEvaluator.EvaluateExtractExpr",
                       "Invalid extract field in EXTRACT expression");
  }
}

Variant TExprEvaluator::EvaluateSubstring(TExprEvaluatorNode* node, const Variant& source,
                                          const Variant& start) {
  if (IsMissing(source) || IsMissing(start)) return Variant();
  const std::string text = host::VarToStr(source);
  int64_t length = static_cast<int64_t>(text.size());
  if (!node->Args.empty()) {
    const Variant given = EvaluateNode(node->Args.front());
    if (IsMissing(given)) return Variant();
    length = given.AsInt64();
  }
  const int64_t from = std::max<int64_t>(start.AsInt64(), 1);
  if (length <= 0 || from > static_cast<int64_t>(text.size())) return Variant(std::string());
  const size_t offset = static_cast<size_t>(from - 1);
  return Variant(text.substr(offset, static_cast<size_t>(
                                         std::min<int64_t>(length, static_cast<int64_t>(text.size() - offset)))));
}

// ---- LIKE and IN ----

Variant TExprEvaluator::EvaluatePredicate(TExprEvaluatorNode* node, const Variant& left,
                                          const Variant& right) {
  switch (node->ExprNode->ParserToken.Token) {
    case tstLike:
    case tstNotLike: {
      // Under SQL's rules neither LIKE nor NOT LIKE holds for a missing value.
      if (ExcludeRelopNulls && (IsMissing(left) || IsMissing(right))) return Variant(false);
      const bool match =
          MatchPatternedStrings(host::VarToStr(left), host::VarToStr(right), '\0', '\0');
      return Variant(node->ExprNode->ParserToken.Token == tstLike ? match : !match);
    }
    case tstIn:
    case tstNotIn: {
      // Neither IN nor NOT IN holds for a missing value, as with LIKE.
      if (ExcludeRelopNulls && IsMissing(left)) return Variant(false);
      const bool in = EvaluateIn(node, left);
      return Variant(node->ExprNode->ParserToken.Token == tstIn ? in : !in);
    }
    default: return Variant();
  }
}

bool TExprEvaluator::EvaluateIn(TExprEvaluatorNode* node, const Variant& value) {
  const TTavExprNode* expr = node->ExprNode;
  if (expr->Args.size() == 1 && expr->Args.front() != nullptr &&
      expr->Args.front()->ParserToken.Token == tstSelect) {
    TTavExprRowSource* rows = OpenSubquery(expr->Args.front(), "ExprNodeDataProvider is not assigned");
    if (rows == nullptr) return false;
    // Compared as the list is: a Null operand or row matches nothing in SQL.
    for (; !rows->Eof(); rows->Next()) {
      if (op_evaluator_.EvaluateRelopExprAsBoolean(teoEQ, value, rows->FieldValue(0),
                                                   ExcludeRelopNulls))
        return true;
    }
    return false;
  }
  for (TExprEvaluatorNode* arg : node->Args) {
    if (op_evaluator_.EvaluateRelopExprAsBoolean(teoEQ, value, EvaluateNode(arg),
                                                 ExcludeRelopNulls))
      return true;
  }
  return false;
}

// ---- subqueries ----

Variant TExprEvaluator::EvaluateSubquery(const TTavExprNode* node) {
  switch (QuantifierOf(node)) {
    case tsqExists: {
      TTavExprRowSource* rows = OpenSubquery(node, "ExprNodeDataProvider is not assigned");
      if (rows == nullptr) return Variant();
      return Variant(!rows->Eof());
    }
    case tsqUnspecified: {
      TTavExprRowSource* rows = OpenSubquery(node, "ExprNodeDataProvider is not assigned");
      if (rows == nullptr) return Variant();
      const int columns = rows->Eof() ? 0 : rows->FieldCount();
      Variant value = SingleRowValue(rows, kSubqueryValueCaller);
      if (columns > 1) TavDatabaseError(kSubqueryResultHasMultipleColumns, kSubqueryValueCaller);
      return value;
    }
    default:
      // ANY and ALL are read by the comparison they stand in.
      return Variant();
  }
}

Variant TExprEvaluator::EvaluateQuantified(const TTavExprNode* node, const TTavExprNode* subquery,
                                           const Variant& value, bool subqueryLeft) {
  TTavExprRowSource* rows = OpenSubquery(subquery, "ExprNodeDataProvider is not assigned");
  if (rows == nullptr) return Variant();
  const auto holds = [&](const Variant& row) {
    return subqueryLeft ? op_evaluator_.EvaluateRelopExprAsBoolean(node->Operator, row, value,
                                                                   ExcludeRelopNulls)
                        : op_evaluator_.EvaluateRelopExprAsBoolean(node->Operator, value, row,
                                                                   ExcludeRelopNulls);
  };
  switch (QuantifierOf(subquery)) {
    case tsqAnyOrSome:
      for (; !rows->Eof(); rows->Next()) {
        if (holds(rows->FieldValue(0))) return Variant(true);
      }
      return Variant(false);
    case tsqAll:
      for (; !rows->Eof(); rows->Next()) {
        if (!holds(rows->FieldValue(0))) return Variant(false);
      }
      return Variant(true);
    default: {
      if (rows->Eof()) return Variant();
      const Variant row = SingleRowValue(rows, kSubqueryValueCaller);
      return subqueryLeft
                 ? op_evaluator_.EvaluateRelopExprAsVar(node->Operator, row, value, ExcludeRelopNulls)
                 : op_evaluator_.EvaluateRelopExprAsVar(node->Operator, value, row, ExcludeRelopNulls);
    }
  }
}

Variant TExprEvaluator::EvaluateDualSubqueries(const TTavExprNode* node) {
  constexpr const char* kCaller = "TExprEvaluator.EvaluateDualSubqueries";
  TTavExprRowSource* leftRows = OpenSubquery(node->Left, "Left ExprNodeDataProvider is not assigned");
  if (leftRows == nullptr) return Variant();
  const Variant leftValue = SingleRowValue(leftRows, kCaller);
  TTavExprRowSource* rightRows =
      OpenSubquery(node->Right, "Right ExprNodeDataProvider is not assigned");
  if (rightRows == nullptr) return Variant();
  const Variant rightValue = SingleRowValue(rightRows, kCaller);
  return op_evaluator_.EvaluateRelopExprAsVar(node->Operator, leftValue, rightValue,
                                              ExcludeRelopNulls);
}

// ---- result lists ----

void TExprResultListGenerator::CreateResultList(TTavExprDataProvider* provider,
                                                const TTavExprNode* root,
                                                const TCompoundList& source,
                                                TCompoundList& destination,
                                                bool excludeRelopNulls) {
  TAV_ASSERT(provider != nullptr, "The Data provider is not assigned");
  if (provider->DBStringCompare == nullptr)
    TavDatabaseError(kInvalidProcedureName, "TExprResultListGenerator.CreateResultList");
  TExprEvaluator evaluator;
  evaluator.SetDBStringCompare(provider->DBStringCompare);
  evaluator.SetExcludeRelopNulls(excludeRelopNulls);
  destination.Clear();
  const std::vector<uint32_t>& addresses = source.List1();
  const std::vector<uint32_t>& partners = source.List2();
  if (root == nullptr) {
    for (size_t i = 0; i < addresses.size(); ++i) destination.Add(addresses[i], partners[i]);
    return;
  }
  evaluator.Prepare(provider, root);
  for (size_t i = 0; i < addresses.size(); ++i) {
    provider->MoveToRecord(addresses[i]);
    // Evaluate sets the result of every node it visits: no Reset between
    // rows.
    if (evaluator.Evaluate()) destination.Add(addresses[i], partners[i]);
  }
}

void TExprResultListGenerator::SelectPassing(TTavExprDataProvider* provider, const TTavExprNode* root,
                                             const std::vector<uint32_t>& addresses,
                                             std::vector<uint32_t>& passing, bool excludeRelopNulls) {
  TAV_ASSERT(provider != nullptr, "The Data provider is not assigned");
  if (provider->DBStringCompare == nullptr)
    TavDatabaseError(kInvalidProcedureName, "TExprResultListGenerator.SelectPassing");
  passing.clear();
  if (root == nullptr) {
    passing = addresses;
    return;
  }
  TExprEvaluator evaluator;
  evaluator.SetDBStringCompare(provider->DBStringCompare);
  evaluator.SetExcludeRelopNulls(excludeRelopNulls);
  evaluator.Prepare(provider, root);
  // Simple conditions read the stored values themselves; a row they cannot
  // answer alike goes to the general evaluator.
  TTypedCondition typed;
  if (typed.Compile(evaluator.Root, provider, excludeRelopNulls, provider->DBStringCompare)) {
    for (uint32_t address : addresses) {
      provider->MoveToRecord(address);
      const TTypedCondition::TOutcome outcome = typed.Test();
      if (outcome == TTypedCondition::toTrue ||
          (outcome == TTypedCondition::toUnsure && evaluator.Evaluate()))
        passing.push_back(address);
    }
    return;
  }
  for (uint32_t address : addresses) {
    provider->MoveToRecord(address);
    if (evaluator.Evaluate()) passing.push_back(address);
  }
}

}  // namespace tav

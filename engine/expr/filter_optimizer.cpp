#include "engine/expr/filter_optimizer.h"

#include <algorithm>
#include <cmath>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_compare.h"
#include "host/rtl/collation.h"
#include "host/rtl/format_settings.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"

namespace tav {

using host::Variant;

namespace {

bool IsStringType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

bool IsIntegerKey(host::TFieldType t) {
  return t == host::ftSmallint || t == host::ftInteger || t == host::ftWord ||
         t == host::ftAutoInc || t == host::ftLargeint;
}

bool IsRealKey(host::TFieldType t) { return t == host::ftFloat || t == host::ftCurrency; }

bool IsDateKey(host::TFieldType t) {
  return t == host::ftDate || t == host::ftTime || t == host::ftDateTime;
}

bool IsNumberValue(const Variant& v) {
  switch (v.VType()) {
    case host::varSmallint:
    case host::varInteger:
    case host::varInt64:
    case host::varDouble:
    case host::varCurrency: return true;
    default: return false;
  }
}

bool IsStringValue(const Variant& v) {
  return v.VType() == host::varString || v.VType() == host::varOleStr;
}

// The comparisons an index answers: relational operators whose result for a
// row depends on the key alone.
bool IsServedOperator(TTavExprOperator op) {
  return op == teoEQ || op == teoNE || op == teoGT || op == teoLT || op == teoGE || op == teoLE;
}

// Whether an entry whose first field orders `order` (-1, 0, 1) against the
// constant satisfies `op`.
bool Satisfies(TTavExprOperator op, int order) {
  switch (op) {
    case teoEQ: return order == 0;
    case teoNE: return order != 0;
    case teoGT: return order > 0;
    case teoLT: return order < 0;
    case teoGE: return order >= 0;
    case teoLE: return order <= 0;
    default: return false;
  }
}

int Sign(int v) { return (v > 0) - (v < 0); }

// The literal head of a LIKE pattern: the characters before its first
// wildcard.
std::string LikePrefix(const std::string& pattern) {
  return pattern.substr(0, pattern.find_first_of("%_"));
}

// The records of `a` that are also in `b`, in a's order.
void Intersect(const TCompoundList& a, const TCompoundList& b, TCompoundList& out) {
  std::vector<uint32_t> sorted(b.List1());
  std::sort(sorted.begin(), sorted.end());
  out.Clear();
  for (size_t i = 0; i < a.List1().size(); ++i)
    if (std::binary_search(sorted.begin(), sorted.end(), a.List1()[i]))
      out.Add(a.List1()[i], a.List2()[i]);
}

// The records of `a` followed by those of `b` not in `a`.
void Unite(const TCompoundList& a, const TCompoundList& b, TCompoundList& out) {
  std::vector<uint32_t> sorted(a.List1());
  std::sort(sorted.begin(), sorted.end());
  out.Clear();
  for (size_t i = 0; i < a.List1().size(); ++i) out.Add(a.List1()[i], a.List2()[i]);
  for (size_t i = 0; i < b.List1().size(); ++i)
    if (!std::binary_search(sorted.begin(), sorted.end(), b.List1()[i]))
      out.Add(b.List1()[i], b.List2()[i]);
}

void CopyList(const TCompoundList& from, TCompoundList& to) {
  to.Clear();
  for (size_t i = 0; i < from.List1().size(); ++i) to.Add(from.List1()[i], from.List2()[i]);
}

void CheckDepth(int depth, const char* caller) {
  TAV_ASSERT(depth <= MaxExprTreeDepth, caller);
}

}  // namespace

// ---- TIndexDataInterface ----

bool TIndexDataInterface::CanServeConstant(const Variant& value) const {
  if (Tree == nullptr || Tree->KeyFields().Count() == 0) return false;
  const host::TFieldType type = Tree->KeyFields().Items(0)->DataType();
  if (IsStringType(type)) return IsStringValue(value);
  if (IsIntegerKey(type)) {
    if (!IsNumberValue(value)) return false;
    const double d = value.AsDouble();
    if (!std::isfinite(d) || d != std::floor(d)) return false;
    switch (type) {
      case host::ftSmallint: return d >= -32768.0 && d <= 32767.0;
      case host::ftWord: return d >= 0.0 && d <= 65535.0;
      case host::ftLargeint: return d >= -9.2e18 && d <= 9.2e18;
      default: return d >= -2147483648.0 && d <= 2147483647.0;
    }
  }
  if (IsRealKey(type)) return IsNumberValue(value) && std::isfinite(value.AsDouble());
  if (IsDateKey(type)) return value.VType() == host::varDate;
  return false;
}

TIndexDataInterface::TBound TIndexDataInterface::MakeBound(TTavExprOperator op,
                                                          const Variant& value) {
  TBound bound{op, {}, -1};
  const size_t size = static_cast<size_t>(Tree->MaximumKeySize()) + 1;
  Tree->ConstructKeyBufFromVariants(value);
  bound.Probe.assign(Tree->KeyBuf(), Tree->KeyBuf() + size);
  // With Nulls taking part, a Null text is the empty text; any other Null
  // is below every value.
  if (IsStringType(Tree->KeyFields().Items(0)->DataType())) {
    Tree->ConstructKeyBufFromVariants(Variant(std::string()));
    bound.NullOrder = Sign(Tree->CompareKeys(1, Tree->KeyBuf(), {}, bound.Probe.data(), {}));
    if (Tree->KeyFields().Items(0)->Descending()) bound.NullOrder = -bound.NullOrder;
  }
  return bound;
}

namespace {

// Whether every entry before the probe in index order fails `op` (the walk
// may start at the probe), and whether every entry after it does (the walk
// may stop there).
bool RejectsBefore(TTavExprOperator op, bool descending) {
  return op == teoEQ || (descending ? op == teoLT || op == teoLE : op == teoGT || op == teoGE);
}
bool RejectsAfter(TTavExprOperator op, bool descending) {
  return op == teoEQ || (descending ? op == teoGT || op == teoGE : op == teoLT || op == teoLE);
}

}  // namespace

template <class Accept>
void TIndexDataInterface::Walk(std::vector<TBound>& bounds, bool listNulls, Accept accept,
                               TCompoundList& list) {
  const bool descending = Tree->KeyFields().Items(0)->Descending();
  const size_t size = static_cast<size_t>(Tree->MaximumKeySize()) + 1;
  std::vector<int> orders(bounds.size());
  // Where Nulls may pass, their place in the index is walked too; otherwise
  // the walk covers the keys between the probes alone.
  bool nullsPass = listNulls;
  if (!ExcludeRelopNulls) {
    for (size_t i = 0; i < bounds.size(); ++i) orders[i] = bounds[i].NullOrder;
    nullsPass = nullsPass || accept(orders);
  }
  const TBound* start = nullptr;
  std::vector<const TBound*> stops;
  if (!nullsPass) {
    for (const TBound& b : bounds) {
      if (start == nullptr && RejectsBefore(b.Op, descending)) start = &b;
      if (RejectsAfter(b.Op, descending)) stops.push_back(&b);
    }
  }
  Tree->ConstructKeyBufFromVariants(host::Null());
  std::vector<uint8_t> nullProbe(Tree->KeyBuf(), Tree->KeyBuf() + size);
  int found;
  if (start != nullptr) {
    Tree->ConstructKeyBufFromKeyBuf(start->Probe.data());
    TSearchModifier firstField;
    firstField.SetLimitedSearch(true);
    firstField.SetIncludedKeyFieldCount(1);
    found = Tree->IndexSearch(stGE, &firstField);
  } else {
    const TFieldComparisonValue bof[] = {fcForceBOF};
    Tree->ConstructKeyBufFromVariants(host::Null(), bof);
    found = Tree->IndexSearch(stGE);
  }
  if (found != 0) return;
  // The walk goes forward in tree order, so an entry's order against a
  // probe never falls: once past a probe (or the Nulls), it stays past
  // without comparing again.
  bool pastNulls = false;
  std::vector<bool> pastProbe(bounds.size(), false);
  do {
    const uint8_t* entry = Tree->GetCurrentKeyBuf();
    bool isNull = false;
    if (!pastNulls) {
      const int n = Tree->CompareKeys(1, entry, {}, nullProbe.data(), {});
      isNull = n == 0;
      pastNulls = n > 0;
    }
    if (isNull) {
      if (ExcludeRelopNulls) {
        if (listNulls) list.Add(Tree->GetRecAddr(), 0);
        continue;
      }
      for (size_t i = 0; i < bounds.size(); ++i) orders[i] = bounds[i].NullOrder;
    } else {
      bool past = false;
      for (size_t i = 0; i < bounds.size(); ++i) {
        const int c = pastProbe[i] ? 1 : Sign(Tree->CompareKeys(1, entry, {}, bounds[i].Probe.data(), {}));
        pastProbe[i] = c > 0;
        orders[i] = descending ? -c : c;
        if (c > 0 && std::find(stops.begin(), stops.end(), &bounds[i]) != stops.end()) past = true;
      }
      if (past) return;
    }
    if (accept(orders)) list.Add(Tree->GetRecAddr(), 0);
  } while (Tree->NextRecord());
}

void TIndexDataInterface::GetRecordList(TTavExprOperator op, const Variant& value,
                                        TCompoundList& list) {
  if (!IsServedOperator(op))
    TavDatabaseError(kUnexpectedInternalError, "TIndexDataInterface.MapRelOpToSearchType",
                     "Unexpected seek type in Internal Find");
  std::vector<TBound> bounds{MakeBound(op, value)};
  if (op == teoNE) {
    // The complement of what is listed: the equal keys, and with Nulls
    // excluded the Nulls too (a Null is never unequal).
    Walk(bounds, true, [](const std::vector<int>& o) { return o[0] == 0; }, list);
    return;
  }
  Walk(bounds, false, [op](const std::vector<int>& o) { return Satisfies(op, o[0]); }, list);
}

namespace {

// The first-level weight of a byte in a string key's order: the base letter
// under the collation; the byte, or its ASCII upper case when case is
// ignored, under byte order.
int FirstLevelWeight(TDBStringCompare compare, bool caseInsensitive, unsigned char c) {
  if (compare == DBANSICompareStrings) return host::CollationWeightOf(c).Primary;
  if (caseInsensitive && c >= 'a' && c <= 'z') return c - ('a' - 'A');
  return c;
}

// The first key of the run of keys that agree with `prefix` at the first
// level: each character replaced by the smallest one of its first-level
// class, so that no key of the run sorts before it.
std::string FirstKeyOfRun(TDBStringCompare compare, bool caseInsensitive,
                          const std::string& prefix) {
  std::string low(prefix);
  for (size_t i = 0; i < prefix.size(); ++i) {
    const int weight =
        FirstLevelWeight(compare, caseInsensitive, static_cast<unsigned char>(prefix[i]));
    for (int d = 0; d < 256; ++d) {
      const char candidate = static_cast<char>(d);
      if (FirstLevelWeight(compare, caseInsensitive, static_cast<unsigned char>(d)) == weight &&
          compare(&candidate, &low[i], 1, 1, caseInsensitive, false) < 0)
        low[i] = candidate;
    }
  }
  return low;
}

}  // namespace

bool TIndexDataInterface::CanServePrefix(bool upperCased) const {
  if (Tree == nullptr || Tree->KeyFields().Count() == 0 || !Tree->KeyFormat().IsOpen())
    return false;
  const TKeyFormat::TField& f = Tree->KeyFormat().Field(0);
  const TDBStringCompare compare = Tree->KeyFormat().StringCompare();
  if (f.DataType != host::ftString || f.Descending ||
      (compare != DBANSICompareStrings && compare != DBASCIICompareStrings))
    return false;
  // The run is found by the stored key; an upper-cased key must stay in it.
  for (int c = 0; upperCased && c < 256; ++c) {
    const char one = static_cast<char>(c);
    const std::string upper = host::AnsiUpperCase(std::string_view(&one, 1));
    if (upper.size() != 1 ||
        FirstLevelWeight(compare, f.CaseInsensitive, static_cast<unsigned char>(upper[0])) !=
            FirstLevelWeight(compare, f.CaseInsensitive, static_cast<unsigned char>(c)))
      return false;
  }
  return true;
}

void TIndexDataInterface::GetPrefixRecordList(const std::string& prefix,
                                              const std::function<bool(std::string_view)>& test,
                                              TCompoundList& list) {
  TAV_ASSERT(!prefix.empty() && CanServePrefix(false), "Prefix search on an unsuitable index");
  const TKeyFormat& format = Tree->KeyFormat();
  const TDBStringCompare compare = format.StringCompare();
  const bool caseInsensitive = format.Field(0).CaseInsensitive;
  std::vector<int> weights(prefix.size());
  for (size_t i = 0; i < prefix.size(); ++i)
    weights[i] = FirstLevelWeight(compare, caseInsensitive, static_cast<unsigned char>(prefix[i]));
  const int dataAt = kKeyEntryHeaderSize + Tree->KeyFields().DataOffset();
  // The current entry's text; false for an entry without a value. Entries
  // come from the file: their lengths are bounded before use.
  const auto currentText = [&](std::string_view& text) {
    const uint8_t* entry = Tree->GetCurrentKeyBuf();
    const int length = std::min<int>(GetKeyEntryLength(entry), format.MaximumKeySize());
    if (length < dataAt + 2 || (entry[kKeyEntryHeaderSize] & 0x80) == 0) return false;
    const int size = host::GetU16(entry + dataAt);
    if (size > length - dataAt - 2)
      TavDatabaseError(kUnexpectedInternalError, "TIndexDataInterface.GetPrefixRecordList",
                       "KeySize out of range");
    text = std::string_view(reinterpret_cast<const char*>(entry + dataAt + 2),
                            static_cast<size_t>(size));
    return true;
  };
  // Where the key's first level leaves the prefix: before (-1), agreeing (0)
  // or past (1).
  const auto orderOf = [&](std::string_view text) {
    for (size_t i = 0; i < weights.size(); ++i) {
      if (i >= text.size()) return -1;
      const int c = Sign(FirstLevelWeight(compare, caseInsensitive,
                                          static_cast<unsigned char>(text[i])) - weights[i]);
      if (c != 0) return c;
    }
    return 0;
  };
  TSearchModifier firstField;
  firstField.SetLimitedSearch(true);
  firstField.SetIncludedKeyFieldCount(1);
  Tree->ConstructKeyBufFromVariants(Variant(FirstKeyOfRun(compare, caseInsensitive, prefix)));
  if (Tree->IndexSearch(stGE, &firstField) != 0) return;
  std::string_view text;
  do {
    if (!currentText(text)) continue;  // no value
    const int order = orderOf(text);
    if (order > 0) return;
    if (order == 0 && test(text)) list.Add(Tree->GetRecAddr(), 0);
  } while (Tree->NextRecord());
}

void TIndexDataInterface::GetBetweenRecordList(const Variant& low, const Variant& high,
                                               TCompoundList& list) {
  std::vector<TBound> bounds{MakeBound(teoGE, low), MakeBound(teoLE, high)};
  Walk(bounds, false, [](const std::vector<int>& o) { return o[0] >= 0 && o[1] <= 0; }, list);
}

// ---- TIndexQueryMgr ----

TIndexQueryItem* TIndexQueryMgr::Add(const std::string& name, TBTree* tree) {
  auto item = std::make_unique<TIndexQueryItem>();
  item->IndexName = name;
  item->KeyFields = &tree->KeyFields();
  item->CreateIndexInterface(tree);
  items_.push_back(std::move(item));
  return items_.back().get();
}

TIndexQueryItem* TIndexQueryMgr::FindIndexForFields(const std::vector<std::string>& names,
                                                    bool caseInsensitive) const {
  for (const auto& item : items_) {
    const TKeyFields& keys = *item->KeyFields;
    if (keys.Count() < static_cast<int>(names.size())) continue;
    bool match = true;
    for (size_t i = 0; i < names.size() && match; ++i) {
      const TKeyFieldItem* key = keys.Items(static_cast<int>(i));
      match = host::SameText(key->FieldName(), names[i]) && !key->Hidden() &&
              (!IsStringType(key->DataType()) || key->CaseInsensitive() == caseInsensitive);
    }
    if (match) return item.get();
  }
  return nullptr;
}

// ---- TExprOptimizerMgr ----

void TExprOptimizerMgr::OptimizeExprTree(TTavExprNode* node) { Rewrite(node, 1); }

void TExprOptimizerMgr::Rewrite(TTavExprNode* node, int depth) {
  if (node == nullptr) return;
  CheckDepth(depth, "Expression tree too deep in TExprOptimizerMgr.OptimizeExprTree");
  Rewrite(node->Left, depth + 1);
  Rewrite(node->Right, depth + 1);
  for (TTavExprNode* arg : node->Args) Rewrite(arg, depth + 1);
  const bool constants = node->Left != nullptr && node->Right != nullptr &&
                         node->Left->Kind == enkConst && node->Right->Kind == enkConst;
  if (constants && node->Kind == enkArithOperator) {
    node->Data = op_evaluator_.EvaluateArithExprValues(node->Operator, node->Left->Data,
                                                       node->Right->Data);
    node->DataType = node->Left->DataType;
    node->Kind = enkConst;
    node->Left = node->Right = nullptr;
  } else if (constants && node->Kind == enkRelOperator &&
             !IsStringType(node->Left->DataType) && !IsStringType(node->Right->DataType)) {
    // Texts compare through the table's collation at evaluation; they are
    // left for the evaluator.
    const bool result = op_evaluator_.EvaluateRelopExprAsBoolean(
        node->Operator, node->Left->Data, node->Right->Data, ExcludeRelopNulls);
    node->Data = Variant(result);
    node->DataType = host::ftBoolean;
    node->Kind = enkConst;
    node->Left = node->Right = nullptr;
  }
  if (node->Kind == enkRelOperator && IsServedOperator(node->Operator)) {
    // Only a comparison makes a prefix of a trailing '*': LIKE patterns and
    // IN elements keep their constants as written.
    MakePrefix(node->Left);
    MakePrefix(node->Right);
  }
  if (node->Kind != enkConst) return;
  if (IsDateKey(node->DataType) && IsStringValue(node->Data)) {
    node->Data = ConvertStrToDateTime(host::VarToStr(node->Data), node->DataType);
  } else if (IsStringValue(node->Data) && node->CaseInsensitiveMatch) {
    node->Data = Variant(host::AnsiUpperCase(node->Data.AsString()));
  }
}

void TExprOptimizerMgr::MakePrefix(TTavExprNode* node) {
  if (node == nullptr || node->Kind != enkConst || !node->PartialMatch ||
      node->Data.VType() != host::varString)
    return;
  std::string text = node->Data.AsString();
  if (text.size() > 1 && text.back() == '*') {
    text.pop_back();
    node->PartialLength = static_cast<int32_t>(text.size());
    node->Data = Variant(std::move(text));
  }
}

Variant TExprOptimizerMgr::ConvertStrToDateTime(const std::string& text,
                                                host::TFieldType fieldType) {
  host::TDateTime value = 0;
  if (fieldType != host::ftTime) {
    if (!converter_.ConvertStrToDate(text, "", host::ftDate, value) &&
        !converter_.ConvertStrToDate(text, "YMD", host::ftDate, value))
      TavDatabaseErrorFmt(kInvalidDateValue, "TExprOptimizerMgr.ConvertStrToDateTime",
                          "Value %s was not of the expected format %s", {text, "yyyy-mmm-dd"});
  }
  if (fieldType == host::ftTime || fieldType == host::ftDateTime) {
    host::TDateTime time = 0;
    const bool ok = fieldType == host::ftTime
                        ? converter_.ConvertStrToDate(text, "", host::ftTime, time)
                        : converter_.ConvertStrToDateFromLastPos(text, "", host::ftTime, time);
    if (!ok)
      TavDatabaseErrorFmt(kInvalidTimeValue, "TExprOptimizerMgr.ConvertStrToDateTime",
                          "Value %s was not of the expected format %s",
                          {text, host::CurrentFormatSettings().LongTimeFormat});
    value = fieldType == host::ftTime ? time : value + time;
  }
  return host::VarFromDateTime(value);
}

TIndexDataInterface* TExprOptimizerMgr::MatchFieldsToIndex(const TTavExprNode* column,
                                                           bool caseInsensitive) const {
  if (IndexQueryMgr == nullptr) return nullptr;
  TIndexQueryItem* item =
      IndexQueryMgr->FindIndexForFields({host::VarToStr(column->Data)}, caseInsensitive);
  if (item == nullptr) return nullptr;
  item->IndexInterface->SetExcludeRelopNulls(ExcludeRelopNulls);
  return item->IndexInterface.get();
}

TIndexDataInterface* TExprOptimizerMgr::MatchPrefixIndex(const TTavExprNode* column) const {
  for (const bool caseInsensitive : {false, true}) {
    TIndexDataInterface* index = MatchFieldsToIndex(column, caseInsensitive);
    if (index != nullptr && index->CanServePrefix(column->CaseInsensitiveMatch)) return index;
  }
  return nullptr;
}

void TExprOptimizerMgr::CreateOptimizerTree(TTavExprNode* node) {
  Clear();
  Root = Build(node, 1);
}

TPredicateShape TExprOptimizerMgr::ShapeOf(const TTavExprNode* node) {
  const TTavExprNode* l = node->Left;
  const TTavExprNode* r = node->Right;
  if (l == nullptr || l->Kind != enkField) return psNone;
  if (node->Kind == enkNonRelPredicate && node->ParserToken.Token == tstIn)
    return node->Args.empty() ? psNone : psInList;
  if (!l->Args.empty() || l->PartialLength > 0 || r == nullptr || r->Kind != enkConst)
    return psNone;
  if (node->Kind == enkRelOperator && IsServedOperator(node->Operator) && r->PartialLength <= 0)
    return IsStringType(l->DataType) == IsStringType(r->DataType) ? psComparison : psNone;
  // 'ab*' lists the keys that begin with the text; a LIKE pattern with a
  // literal head the keys that begin with that head, byte for byte (a Null,
  // '' or shorter key never matches either).
  const bool text = r->Data.VType() == host::varString && !r->Data.StrRef().empty();
  if (text && node->Kind == enkRelOperator && node->Operator == teoEQ && r->PartialLength > 0 &&
      IsStringType(l->DataType))
    return psPrefix;
  if (text && node->Kind == enkNonRelPredicate && node->ParserToken.Token == tstLike &&
      r->PartialLength <= 0 && !LikePrefix(r->Data.StrRef()).empty())
    return psLikeHead;
  return psNone;
}

TIndexDataInterface* TExprOptimizerMgr::IndexFor(TPredicateShape shape,
                                                 const TTavExprNode* node) const {
  const TTavExprNode* column = node->Left;
  switch (shape) {
    case psComparison: {
      TIndexDataInterface* index = MatchFieldsToIndex(column, node->CaseInsensitiveMatch);
      return index != nullptr && index->CanServeConstant(node->Right->Data) ? index : nullptr;
    }
    case psPrefix:
    case psLikeHead: return MatchPrefixIndex(column);
    case psInList: {
      // Text elements are compared byte for byte, not through the collation:
      // each is listed from the run of keys that begin with it. An element ''
      // or Null is left to the evaluator (a Null key may count as either).
      const bool text = IsStringType(column->DataType);
      TIndexDataInterface* index =
          text ? MatchPrefixIndex(column) : MatchFieldsToIndex(column, node->CaseInsensitiveMatch);
      for (const TTavExprNode* arg : node->Args) {
        if (index == nullptr) break;
        const bool served = arg->Kind == enkConst &&
                            (text ? arg->Data.VType() == host::varString && !arg->Data.StrRef().empty()
                                  : index->CanServeConstant(arg->Data));
        if (!served) index = nullptr;
      }
      return index;
    }
    default: return nullptr;
  }
}

TExprOptimizerNode* TExprOptimizerMgr::Build(TTavExprNode* node, int depth) {
  if (node == nullptr) return nullptr;
  CheckDepth(depth, "Expression tree too deep in TExprOptimizerMgr.CreateOptimizerTree");
  if (node->Kind != enkRelOperator && node->Kind != enkArithOperator &&
      node->Kind != enkLogicalOperator && node->Kind != enkNonRelPredicate)
    return nullptr;
  TExprOptimizerNode* opt = nodes_.emplace_back(std::make_unique<TExprOptimizerNode>()).get();
  opt->ExprNode = node;
  const TPredicateShape shape = ShapeOf(node);
  if (shape != psNone) {
    opt->IndexInterface = IndexFor(shape, node);
    if (opt->IndexInterface != nullptr) {
      opt->Shape = shape;
      opt->OptimisationLevel = olFull;
      opt->BaseResultInverted = shape == psComparison && node->Operator == teoNE;
    }
  } else if (node->Kind == enkLogicalOperator &&
             (node->Operator == teoAND || node->Operator == teoOR)) {
    BuildJunction(opt, depth);
  }
  return opt;
}

void TExprOptimizerMgr::BuildJunction(TExprOptimizerNode* opt, int depth) {
  const TTavExprNode* node = opt->ExprNode;
  opt->Left = Build(node->Left, depth + 1);
  opt->Right = Build(node->Right, depth + 1);
  const TOptimisationLevel a = opt->Left ? opt->Left->OptimisationLevel : olNone;
  const TOptimisationLevel b = opt->Right ? opt->Right->OptimisationLevel : olNone;
  if (node->Operator == teoAND) {
    if (a == olFull && b == olFull)
      opt->OptimisationLevel = olFull;
    else if (a > olNone || b > olNone)
      opt->OptimisationLevel = olPartial;
  } else if (a > olNone && b > olNone) {
    opt->OptimisationLevel = a == olFull && b == olFull ? olFull : olPartial;
  }
  // A BETWEEN whose two comparisons one index serves is fetched as one range.
  const TExprOptimizerNode* l = opt->Left;
  const TExprOptimizerNode* r = opt->Right;
  if (node->Operator == teoAND && node->ParserToken.Token == tstBetween && l != nullptr &&
      r != nullptr && l->Shape == psComparison && r->Shape == psComparison &&
      l->IndexInterface == r->IndexInterface && l->ExprNode->Operator == teoGE &&
      r->ExprNode->Operator == teoLE)
    opt->Shape = psBetween;
}

void TExprOptimizerMgr::PrepareRecordLists() {
  if (Root == nullptr || Root->OptimisationLevel == olNone) return;
  Prepare(Root, 1);
}

void TExprOptimizerMgr::Prepare(TExprOptimizerNode* node, int depth) {
  if (node == nullptr || node->OptimisationLevel == olNone) return;
  CheckDepth(depth, "Expression tree too deep in TExprOptimizerMgr.PrepareRecordLists");
  node->RecordList->Clear();
  switch (node->Shape) {
    case psComparison: PrepareComparison(*node); break;
    case psBetween: PrepareBetween(*node); break;
    case psPrefix: PreparePrefix(*node); break;
    case psLikeHead: PrepareLikeHead(*node); break;
    case psInList: PrepareInList(*node); break;
    case psNone:
      Prepare(node->Left, depth + 1);
      Prepare(node->Right, depth + 1);
      break;
  }
}

void TExprOptimizerMgr::PrepareComparison(TExprOptimizerNode& node) {
  const TTavExprNode* expr = node.ExprNode;
  node.IndexInterface->GetRecordList(expr->Operator, expr->Right->Data, *node.RecordList);
}

void TExprOptimizerMgr::PrepareBetween(TExprOptimizerNode& node) {
  node.Left->IndexInterface->GetBetweenRecordList(node.Left->ExprNode->Right->Data,
                                                  node.Right->ExprNode->Right->Data,
                                                  *node.RecordList);
}

void TExprOptimizerMgr::PreparePrefix(TExprOptimizerNode& node) {
  // The row evaluator compares the key's first characters with the text,
  // upper-cased when case is ignored; a key shorter than the text does not
  // begin with it.
  const TTavExprNode* expr = node.ExprNode;
  const std::string& head = expr->Right->Data.StrRef();
  const bool upper = expr->Left->CaseInsensitiveMatch;
  const bool caseInsensitive = expr->CaseInsensitiveMatch;
  const TDBStringCompare compare = node.IndexInterface->Tree->KeyFormat().StringCompare();
  const int n = static_cast<int>(head.size());
  const auto agrees = [&](std::string_view key) {
    return key.size() >= head.size() &&
           compare(key.data(), head.data(), n, n, caseInsensitive, true) == 0;
  };
  node.IndexInterface->GetPrefixRecordList(
      head,
      [&](std::string_view key) { return upper ? agrees(host::AnsiUpperCase(key)) : agrees(key); },
      *node.RecordList);
}

void TExprOptimizerMgr::PrepareLikeHead(TExprOptimizerNode& node) {
  // The row evaluator reads the column upper-cased when case is ignored.
  const TTavExprNode* expr = node.ExprNode;
  const std::string& pattern = expr->Right->Data.StrRef();
  const bool upper = expr->Left->CaseInsensitiveMatch;
  node.IndexInterface->GetPrefixRecordList(
      LikePrefix(pattern),
      [&pattern, upper](std::string_view key) {
        return upper ? MatchPatternedStrings(host::AnsiUpperCase(key), pattern, '\0', '\0')
                     : MatchPatternedStrings(key, pattern, '\0', '\0');
      },
      *node.RecordList);
}

void TExprOptimizerMgr::PrepareInList(TExprOptimizerNode& node) {
  const TTavExprNode* expr = node.ExprNode;
  const bool text = IsStringType(expr->Left->DataType);
  const bool upper = expr->Left->CaseInsensitiveMatch;
  TCompoundList all, one, merged;
  for (const TTavExprNode* arg : expr->Args) {
    one.Clear();
    if (text) {
      const std::string& element = arg->Data.StrRef();
      node.IndexInterface->GetPrefixRecordList(
          element,
          [&element, upper](std::string_view key) {
            return upper ? host::AnsiUpperCase(key) == element : key == element;
          },
          one);
    } else {
      node.IndexInterface->GetRecordList(teoEQ, arg->Data, one);
    }
    Unite(all, one, merged);
    CopyList(merged, all);
  }
  CopyList(all, *node.RecordList);
}

void TExprOptimizerMgr::CombineRecordLists() {
  if (Root == nullptr || Root->OptimisationLevel == olNone) return;
  Combine(Root, 1);
}

void TExprOptimizerMgr::Combine(TExprOptimizerNode* node, int depth) {
  // A node with a shape has its list from Prepare.
  if (node == nullptr || node->Shape != psNone) return;
  CheckDepth(depth, "Expression tree too deep in TExprOptimizerMgr.CombineRecordLists");
  Combine(node->Left, depth + 1);
  Combine(node->Right, depth + 1);
  const bool leftUsed = node->Left && node->Left->OptimisationLevel > olNone;
  const bool rightUsed = node->Right && node->Right->OptimisationLevel > olNone;
  if (!leftUsed && !rightUsed) return;
  if (leftUsed != rightUsed) {
    CopyList(*(leftUsed ? node->Left : node->Right)->RecordList, *node->RecordList);
    return;
  }
  const TCompoundList* a = node->Left->RecordList.get();
  const TCompoundList* b = node->Right->RecordList.get();
  if (b->Count() < a->Count()) std::swap(a, b);
  switch (node->ExprNode->Operator) {
    case teoAND: Intersect(*a, *b, *node->RecordList); break;
    case teoOR: Unite(*b, *a, *node->RecordList); break;
    default:
      TavDatabaseError(kUnexpectedInternalError, "TExprOptimizerMgr.InternalCombineRecordLists",
                       "Invalid operator");
  }
}

bool TExprOptimizerMgr::HasInvertedLists() const {
  if (Root == nullptr || Root->OptimisationLevel == olNone) return false;
  for (const auto& node : nodes_)
    if (node->BaseResultInverted) return true;
  return false;
}

void TExprOptimizerMgr::ResetInvertedLists(const TCompoundList& baseList) {
  for (const auto& node : nodes_) {
    if (!node->BaseResultInverted) continue;
    std::vector<uint32_t> equal(node->RecordList->List1());
    std::sort(equal.begin(), equal.end());
    node->RecordList->Clear();
    for (size_t i = 0; i < baseList.List1().size(); ++i)
      if (!std::binary_search(equal.begin(), equal.end(), baseList.List1()[i]))
        node->RecordList->Add(baseList.List1()[i], baseList.List2()[i]);
  }
}

void TExprOptimizerMgr::Clear() {
  nodes_.clear();
  Root = nullptr;
}

// ---- TFilterOptimizer ----

void TFilterOptimizer::AnalyzeExpr() {
  Mgr.SetIndexQueryMgr(IndexQueryMgr);
  Mgr.OptimizeExprTree(ExprRoot);
  Mgr.CreateOptimizerTree(ExprRoot);
}

void TFilterOptimizer::PrepareResultLists(const TCompoundList* baseList) {
  TAV_ASSERT(ExprRoot != nullptr, "Expr root is not assigned");
  Mgr.PrepareRecordLists();
  if (Mgr.HasInvertedLists()) {
    TAV_ASSERT(baseList != nullptr, "Inverted lists need the base list");
    Mgr.ResetInvertedLists(*baseList);
  }
}

const TBTree* TFilterOptimizer::GetSingleRunTree() const {
  const TExprOptimizerNode* root = Mgr.Root;
  if (root == nullptr || root->OptimisationLevel != olFull) return nullptr;
  if (root->Shape == psComparison && !root->BaseResultInverted) return root->IndexInterface->Tree;
  if (root->Shape == psBetween) return root->Left->IndexInterface->Tree;
  return nullptr;
}

void TFilterOptimizer::Clear() {
  Mgr.Clear();
  ExprRoot = nullptr;
}

}  // namespace tav

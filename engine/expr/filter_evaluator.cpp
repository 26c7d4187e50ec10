#include "engine/expr/filter_evaluator.h"

#include <algorithm>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/rtl/variant.h"
#include "os/clock.h"

namespace tav {

namespace {

// The host's value errors (a text read as a number, a division by zero)
// leave a filter as the engine's error with their text; the engine's own
// errors and broken internal rules pass as they are. A statement's
// condition (`forQuery`) lets value computation errors pass too: the
// statement reports them as its own, wherever its plan evaluates the
// condition.
template <class Step>
void RaiseValueErrorsAsFilterErrors(const char* caller, Step&& step, bool forQuery = false) {
  try {
    step();
  } catch (const ETavDatabaseError&) {
    throw;
  } catch (const host::EAssertionFailed&) {
    throw;
  } catch (const host::Exception& e) {
    if (forQuery && IsValueComputationError(e)) throw;
    TavDatabaseError(kInvalidFilterExpression, caller, e.Message());
  }
}

}  // namespace

bool IsValueComputationError(const host::Exception& e) {
  return dynamic_cast<const host::EMathError*>(&e) != nullptr ||
         dynamic_cast<const host::EConvertError*>(&e) != nullptr ||
         dynamic_cast<const host::EVariantError*>(&e) != nullptr;
}

TTavBaseFilterEvaluator::TTavBaseFilterEvaluator() { FilterParser.SetValidateFields(true); }

bool TTavBaseFilterEvaluator::Open() {
  Close();
  if (DataProvider != nullptr) DataProvider->Open();
  bool ok = false;
  RaiseValueErrorsAsFilterErrors("TTavBaseFilterEvaluator.Open", [&] {
    ok = Prepare();
    if (ok) Evaluate();
  });
  return ok;
}

bool TTavBaseFilterEvaluator::Prepare() {
  Close();
  if (!Parse()) return false;
  Optimize();
  return true;
}

void TTavBaseFilterEvaluator::SetupFilterParser() {
  FilterParser.Clear();
  FilterParser.SetCaseInsensitiveMatch(FilterOptions.Contains(host::foCaseInsensitive));
  FilterParser.SetPartialStringComparison(!FilterOptions.Contains(host::foNoPartialCompare));
  FilterParser.SetTableList(Tables);
}

bool TTavBaseFilterEvaluator::Parse() {
  Close();
  PreParser.Clear();
  PreParser.SetText(FilterText);
  PreParser.SetParseAsExprOnly(true);
  PreParser.PreParseTokens();
  SetupFilterParser();
  TParserStack* stack = PreParser.GetSection(tstWhere, nullptr);
  bool ok = FilterParser.Execute(TTavParserOptions{tpoExtSyntax}, stack);
  // The condition ends at ";": anything after it is an error, not dropped.
  const TParserToken* end = FilterParser.CurrentToken;
  if (ok && stack != nullptr && end != nullptr && end->Token == tstEnd && end->Text == ";") {
    for (TParserToken* rest = stack->Pop(); rest != nullptr; rest = stack->Pop()) {
      if (rest->Token == tstEnd && rest->Text.empty()) break;
      if (rest->Token == tstEnd && rest->Text == ";") continue;
      FilterParser.SetError(rest, "Expression incorrectly terminated");
      ok = false;
      break;
    }
  }
  ok = ok && FilterParser.GetErrorMsgNoLine().empty();
  // A refused text holds no condition: what it built up to its error must
  // not be joined to a condition assigned next.
  if (ok && FilterParser.Expr != nullptr)
    CombinedParser.CloneFromExpr(*FilterParser.Expr, true, teoAND);
  else
    CombinedParser.CloneFromExpr(TTavExpr(), true, teoAND);
  return ok;
}

void TTavBaseFilterEvaluator::Optimize() {
  Optimizer.Clear();
  Optimizer.SetExcludeRelopNulls(ExcludeRelopNulls);
  Optimizer.SetExprRoot(FilterParser.Root);
  Optimizer.AnalyzeExpr();
}

void TTavBaseFilterEvaluator::AssignExpr(const TTavExpr* expr, bool replace, TTavExprOperator op) {
  if (expr == nullptr) return;
  const uint32_t started = os::GetTickCount();
  Close();
  SetupFilterParser();
  const bool combined = CombinedParser.Root != nullptr;
  if (!replace && combined) FilterParser.CloneFromExpr(*CombinedParser.Expr, true, teoAND);
  FilterParser.CloneFromExpr(*expr, replace || !combined, op);
  if (FilterParser.HasParseError())
    TavDatabaseError(kInvalidFilterExpression, "TTavBaseFilterEvaluator.AssignExpr",
                     FilterParser.GetErrorMsgNoLine());
  CombinedParser.CloneFromExpr(*FilterParser.Expr, true, teoAND);
  RaiseValueErrorsAsFilterErrors(
      "TTavBaseFilterEvaluator.AssignExpr",
      [&] {
        Optimize();
        Evaluate();
      },
      QueryActive);
  if (auto logger = GDBLogger(); logger && logger->Active())
    logger->LogItem("BaseFilterEvaluator.AssignExpr time",
                    std::to_string(os::GetTickCount() - started));
}

void TTavBaseFilterEvaluator::Close() {
  Active = false;
  BaseListed = false;
  BaseList.Clear();
  RunTree = nullptr;
  RunOrder.clear();
  Result.clear();
  Candidates.clear();
  Sorted.clear();
  PreParser.Clear();
  Optimizer.Clear();
}

TTavExpr* TTavBaseFilterEvaluator::GetFilterExpr(bool makeRootFirst) {
  if (makeRootFirst && FilterParser.Expr != nullptr) FilterParser.Expr->SetAsFirstNode(FilterParser.Root);
  return FilterParser.Expr;
}

void TTavBaseFilterEvaluator::MergeRecordLists() {
  const TOptimisationLevel level = Optimizer.GetBaseOptimisationLevel();
  const bool inverted = Optimizer.HasInvertedLists();
  BaseListed = !(level > olNone && !inverted && (QueryActive || DeferBaseOrder));
  if (BaseListed) DataProvider->GetDefaultRecordList(BaseList);
  if (level > olNone) {
    Optimizer.PrepareResultLists(&BaseList);
    Optimizer.CombineResultLists();
  }
  const TCompoundList& from = level == olNone ? BaseList : *Optimizer.GetResultSetList();
  if (level == olFull) {
    Sorted = from.List1();
    RunTree = BaseListed || QueryActive ? nullptr : Optimizer.GetSingleRunTree();
    if (RunTree != nullptr) RunOrder = Sorted;
    return;
  }
  Candidates.clear();
  if (level == olNone && SortedOutput && BaseList.Count() == 0) return;  // nothing passes
  Candidates = from.List1();
}

void TTavBaseFilterEvaluator::Evaluate() {
  TAV_ASSERT(DataProvider != nullptr, "The Data provider is not assigned");
  Result.clear();
  Sorted.clear();
  RunTree = nullptr;
  RunOrder.clear();
  MergeRecordLists();
  if (Optimizer.GetBaseOptimisationLevel() != olFull) {
    // The rows are read in address order: the order they are stored in.
    SortAddresses(Candidates);
    TExprResultListGenerator::SelectPassing(DataProvider, FilterParser.Root, Candidates, Sorted,
                                            ExcludeRelopNulls);
    Candidates.clear();
  } else {
    SortAddresses(Sorted);
  }
  if (QueryActive || !BaseListed) {
    Result = Sorted;
  } else {
    if (BaseList.Count() == 0 && !Sorted.empty()) DataProvider->GetDefaultRecordList(BaseList);
    KeepMembers(BaseList.List1(), Sorted, Result);
  }
  Active = true;
}

namespace {

// Calls `keep(i)` for each position i of `list` whose entry is in `members`
// (ascending), in the order of `list`.
template <class Keep>
void ForEachMember(const std::vector<uint32_t>& list, const std::vector<uint32_t>& members,
                   Keep keep) {
  if (members.empty()) return;
  // Addresses are mostly dense: a bit per address up to the greatest member
  // when that costs no more than a few bytes per entry, else a search each.
  const uint32_t top = members.back();
  if (top / 64 <= list.size() + members.size()) {
    std::vector<bool> in(static_cast<size_t>(top) + 1, false);
    for (uint32_t m : members) in[m] = true;
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i] <= top && in[list[i]]) keep(i);
    return;
  }
  for (size_t i = 0; i < list.size(); ++i)
    if (std::binary_search(members.begin(), members.end(), list[i])) keep(i);
}

}  // namespace

void KeepMembers(const std::vector<uint32_t>& list, const std::vector<uint32_t>& members,
                 std::vector<uint32_t>& kept) {
  kept.clear();
  kept.reserve(members.size());
  ForEachMember(list, members, [&](size_t i) { kept.push_back(list[i]); });
}

void MemberPositions(const std::vector<uint32_t>& list, const std::vector<uint32_t>& members,
                     std::vector<size_t>& at) {
  at.clear();
  at.reserve(members.size());
  ForEachMember(list, members, [&](size_t i) { at.push_back(i); });
}

void SortAddresses(std::vector<uint32_t>& addresses) {
  if (std::is_sorted(addresses.begin(), addresses.end())) return;
  // Dense addresses sort through a bit per address: one pass each way.
  const uint32_t top = *std::max_element(addresses.begin(), addresses.end());
  if (top / 32 <= addresses.size()) {
    std::vector<uint64_t> bits(static_cast<size_t>(top) / 64 + 1, 0);
    for (uint32_t a : addresses) {
      uint64_t& word = bits[a / 64];
      const uint64_t bit = uint64_t{1} << (a % 64);
      if ((word & bit) != 0) {
        // A repeated address keeps its repeats.
        std::sort(addresses.begin(), addresses.end());
        return;
      }
      word |= bit;
    }
    size_t n = 0;
    for (size_t w = 0; w < bits.size(); ++w)
      for (uint64_t word = bits[w]; word != 0; word &= word - 1)
        addresses[n++] = static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(word)));
    return;
  }
  std::sort(addresses.begin(), addresses.end());
}

}  // namespace tav

// Random conditions through the expression parser and random clauses through
// the ORDER BY, GROUP BY and data type parsers, both as text (through the
// pre-parser) and as random token sequences (kinds, texts and ordinals the
// tokenizer would never pair). The first byte chooses the parser options,
// the second the parser's settings (a table list, field validation, type
// checks, a subquery handler, the match flags) and whether the rest is text
// or tokens.
//
// Promises: nothing crashes, hangs, leaks or raises; a parse fails exactly
// when it recorded an error, and the expression carries the same error; a
// successful tree keeps the depth bound and can be cloned, dumped and
// compared.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/testing/expr_test_support.h"
#include "host/rtl/string_list.h"
#include "fuzz_check.h"

namespace {

using namespace tav;

enum Setting : uint8_t {
  kTables = 1,
  kValidate = 2,
  kIgnoreTypes = 4,
  kHandler = 8,
  kCaseInsensitive = 16,
  kPartial = 32,
  kTokens = 64,
  kNoEnd = 128
};

int Height(const TTavExprNode* node, int depth) {
  if (node == nullptr) return depth - 1;
  FUZZ_CHECK(depth <= MaxExprTreeDepth);
  int h = std::max(Height(node->Left, depth + 1), Height(node->Right, depth + 1));
  for (const TTavExprNode* arg : node->Args) h = std::max(h, Height(arg, depth + 1));
  return h;
}

// Stands in for the query engine: passes a subquery up to the parenthesis
// that closes it, and takes the qualifier O for an outer table.
void Handler(TParserNotifyType type, TBaseParser* parser, TParserStack* stack, TTavExprNode* node,
             host::Variant& value) {
  if (type == pntFindTableRef) {
    if (value.AsString() == "O") {
      tav::testing::AddSampleTable(node->TableList);
      node->TableList.Last()->SetCorrelationName("O");
      value = host::Variant(true);
    }
    return;
  }
  tav::testing::SkipSubquery(parser, stack);
}

void CheckOutcome(const TTavExprParser& parser, bool ok, const TTavExpr* expr) {
  FUZZ_CHECK(ok == !parser.HasParseError());
  if (expr != nullptr) FUZZ_CHECK(expr->ErrorMsg() == parser.ErrorMsg);
  (void)parser.GetErrorMsg();
  (void)parser.GetErrorMsgNoLine();
  if (!ok || parser.Root == nullptr) return;
  FUZZ_CHECK(Height(parser.Root, 1) <= MaxExprTreeDepth);
  FUZZ_CHECK(expr == nullptr || expr->Root() == parser.Root);
  TTavExpr copy;
  copy.CloneFromTree(parser.Root);
  FUZZ_CHECK(copy.Root()->AreNodesEquivalent(parser.Root));
  host::TStringList lines;
  copy.Display(lines);
  FUZZ_CHECK(lines.Count() > 0);
}

struct Run {
  TTavParserOptions options;
  uint8_t settings;
  TTableList tables;

  void Setup(TTavExprParser& parser) {
    parser.SetTableList((settings & kTables) != 0 ? &tables : nullptr);
    parser.SetValidateFields((settings & kValidate) != 0);
    parser.SetIgnoreTypeChecks((settings & kIgnoreTypes) != 0);
    parser.SetCaseInsensitiveMatch((settings & kCaseInsensitive) != 0);
    parser.SetPartialStringComparison((settings & kPartial) != 0);
    if ((settings & kHandler) != 0) {
      parser.SetParserNotifyEvent(Handler);
      parser.SetIsSubquery(true);
    }
  }

  // Every parser over one stack each; `fresh` makes another copy of it.
  template <class Fresh>
  void AllParsers(Fresh fresh) {
    try {
      {
        TTavExprParser parser;
        Setup(parser);
        const bool ok = parser.Execute(options, fresh());
        CheckOutcome(parser, ok, parser.Expr);
        // Joined with itself, as a filter is added to a condition.
        if (ok && parser.Root != nullptr) {
          TTavExprParser other;
          other.CloneFromExpr(*parser.Expr, true, teoNOTDEFINED);
          other.CloneFromExpr(*parser.Expr, false, teoOR);
          FUZZ_CHECK(other.HasParseError() || Height(other.Root, 1) <= MaxExprTreeDepth);
        }
      }
      {
        TTavExprParser parser;
        Setup(parser);
        parser.SetValidEndTokens({tstComma, tstAS, tstEnd});
        TTavExpr expr;
        const bool ok = parser.ExecuteExternalValueExpr(expr, options, fresh());
        FUZZ_CHECK(parser.Expr == nullptr);
        CheckOutcome(parser, ok, &expr);
      }
      {
        TTavExprParser parser;
        Setup(parser);
        TTavExpr expr;
        const bool ok = parser.ExecuteExternalExpr(expr, options, fresh());
        CheckOutcome(parser, ok, &expr);
      }
      {
        TTavOrderByParser parser;
        TOrderByItems items;
        const bool ok = parser.ExecuteOrderBy(items, fresh());
        FUZZ_CHECK(ok == !parser.HasParseError());
        for (int i = 0; i < items.Count(); ++i) FUZZ_CHECK(items.Items(i)->FieldIndex >= 0);
      }
      {
        TTavGroupByParser parser;
        TGroupByItems items;
        FUZZ_CHECK(parser.ExecuteGroupBy(items, fresh()) == !parser.HasParseError());
      }
      {
        TTavDataTypeParser parser;
        parser.Execute(options, fresh());
        parser.SetAllowConstraints((settings & kValidate) != 0);
        if ((settings & kIgnoreTypes) != 0) parser.SetInvalidDataTypes({});
        const bool ok = parser.ParseDataType(nullptr);
        FUZZ_CHECK(ok == !parser.HasParseError());
        FUZZ_CHECK(!ok || (parser.FieldSize >= 0 && parser.Scale >= 0));
      }
    } catch (...) {
      // Every failure must be a recorded error.
      FUZZ_CHECK(false);
    }
  }
};

// The texts a random token of each kind may carry.
const char* const kTexts[] = {"I", "S", "D", "O", "T", "=", "<>", "<=", "+", "||", "-", "*", "/",
                              "1", "1.5", "1.2.3", "-7", "99999999999", "", "x", "LEADING",
                              "BOTH", "DOUBLE PRECISION", "(", ")", ",", "NULL"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Run run;
  run.options = TTavParserOptions::FromBits(data[0] & 0x7F);
  run.settings = data[1];
  tav::testing::AddSampleTable(run.tables);
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);

  if ((run.settings & kTokens) == 0) {
    // As text: the condition stack, then, for the clause parsers' sake, each
    // section of the text read as a statement.
    TTavPreParser pre;
    run.AllParsers([&] { return tav::testing::ConditionStack(pre, rest); });
    TTavPreParser sections;
    sections.SetText(rest);
    sections.PreParseTokens();
    for (int i = 0; i < sections.GetSectionCount(); ++i) {
      TTavPreParser copy;
      run.AllParsers([&] {
        copy.AssignStacks(sections);
        return copy.GetSectionAt(i);
      });
    }
    return 0;
  }

  // As tokens: three bytes each (kind, text, ordinal).
  std::deque<TParserToken> tokens;
  for (size_t i = 0; i + 2 < rest.size(); i += 3) {
    TParserToken& t = tokens.emplace_back();
    t.Token = static_cast<TTavSQLToken>(static_cast<uint8_t>(rest[i]) % TTavSQLTokenCount);
    t.Text = kTexts[static_cast<uint8_t>(rest[i + 1]) % std::size(kTexts)];
    t.RawTokenText = " " + t.Text;
    t.CustomOrdinal = static_cast<uint8_t>(rest[i + 2]) % 16;
    t.LineNo = 1;
    t.LineOffset = static_cast<int32_t>(i + 1);
  }
  if ((run.settings & kNoEnd) == 0) tokens.emplace_back().Token = tstEnd;
  std::deque<TParserToken> copies;
  TParserStack stack;
  run.AllParsers([&] {
    stack.Clear();
    for (const TParserToken& t : tokens) {
      copies.emplace_back().AssignToken(t);
      stack.Queue(&copies.back());
    }
    return &stack;
  });
  return 0;
}

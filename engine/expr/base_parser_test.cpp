#include "engine/expr/base_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/storage/base/tav_resstrings.h"

namespace tav {
namespace {

// A filter text pre-parsed the way filters are: one WHERE stack.
struct Filter {
  explicit Filter(const std::string& text) {
    pre.SetText(text);
    pre.SetParseAsExprOnly(true);
    pre.PreParseTokens();
    stack = pre.GetSection(tstWhere, nullptr);
  }
  TTavPreParser pre;
  TParserStack* stack = nullptr;
};

// Reads up to the first token with the given text.
void ReadTo(TBaseParser& p, const std::string& text) {
  while (p.CurrentToken != nullptr && p.CurrentToken->Text != text) p.NextToken();
  ASSERT_NE(p.CurrentToken, nullptr) << text;
}

TEST(BaseParserTest, ErrorMessagesNameTheTokenWhereTheErrorWasFound) {
  Filter f("a = 1 AND\n   'x y' > 2");
  TBaseParser p;
  p.Execute({}, f.stack);
  EXPECT_EQ(p.GetErrorMsg(), "");
  EXPECT_FALSE(p.HasParseError());

  // First line.
  p.SetError(p.CurrentToken, StavInvalidToken);
  EXPECT_EQ(p.GetErrorMsg(), "Invalid token Line 1, Character 1. Token 'a'");
  EXPECT_EQ(p.GetErrorMsgNoLine(), "Invalid token Character 1. Token 'a'");
  // The first error wins.
  ReadTo(p, "x y");
  p.SetError(p.CurrentToken, StavEmptyExpr);
  EXPECT_EQ(p.ErrorMsg, StavInvalidToken);
  EXPECT_EQ(p.ErrorToken->Text, "a");

  // A later line; the token shows its text as read (dequoted).
  p.ClearError();
  EXPECT_FALSE(p.HasParseError());
  EXPECT_EQ(p.ErrorToken, nullptr);
  p.SetError(p.CurrentToken, StavExprTerminatedIncorrectly);
  EXPECT_TRUE(p.HasParseError());
  EXPECT_EQ(p.GetErrorMsg(), "Expression incorrectly terminated Line 2, Character 4. Token 'x y'");
  EXPECT_EQ(p.GetErrorMsgNoLine(), "Expression incorrectly terminated Character 4. Token 'x y'");
  EXPECT_FALSE(p.Execute({}, f.stack));

  // Without a token, the message alone.
  TBaseParser q;
  q.SetError(nullptr, StavEmptyExpr);
  EXPECT_EQ(q.GetErrorMsg(), "Expression is empty");
  EXPECT_EQ(q.GetErrorMsgNoLine(), "Expression is empty");
}

// The stored end of the text keeps a stray last token from passing for the
// end of the clause.
TEST(BaseParserTest, AStrayLastTokenIsNotTheEnd) {
  Filter f("a = 1 b");
  TBaseParser p;
  p.Execute({}, f.stack);
  ReadTo(p, "b");
  EXPECT_FALSE(p.AtEndToken());
  p.NextToken();
  EXPECT_EQ(p.CurrentTokenType(), tstEnd);
  EXPECT_TRUE(p.AtEndToken());
}

TEST(BaseParserTest, EndTokensAndSubqueries) {
  Filter f("a = 1 ORDER BY b) c");
  TBaseParser p;
  p.SetEndTokens({tstOrderBy});
  p.Execute({}, f.stack);
  EXPECT_FALSE(p.AtEndToken());
  ReadTo(p, "ORDER BY");
  EXPECT_TRUE(p.AtEndToken());
  ReadTo(p, ")");
  EXPECT_FALSE(p.AtEndToken());
  p.SetIsSubquery(true);
  EXPECT_TRUE(p.AtEndToken());
  // Clear keeps the end tokens and the subquery flag.
  p.Clear();
  EXPECT_EQ(p.Stack, nullptr);
  EXPECT_TRUE(p.EndTokens.Contains(tstOrderBy));
  EXPECT_TRUE(p.IsSubquery);
  EXPECT_TRUE(p.AtEndToken());  // no stack at all
}

TEST(BaseParserTest, StepsPeeksAndParsedText) {
  Filter f("  sum(a)  +  b\n AND c");
  TBaseParser p;
  EXPECT_TRUE(p.Execute(TTavParserOptions{tpoSQL}, f.stack));
  EXPECT_TRUE(p.Options.Contains(tpoSQL));
  EXPECT_EQ(p.TokenName(), "sum");
  EXPECT_TRUE(p.TokenSymbolIs("SUM"));
  EXPECT_FALSE(p.TokenSymbolIs("sum("));
  EXPECT_TRUE(p.NextTokenIsLParen());
  EXPECT_EQ(p.PeekAtTokenType(1), tstFieldName);
  EXPECT_EQ(p.PeekAtTokenType(100), tstUnknown);
  EXPECT_EQ(p.ParsedText, "  sum");
  ReadTo(p, "+");
  EXPECT_EQ(p.ParsedText, "  sum(a)  +");
  p.RemoveCurrentTokenFromParsedText();
  EXPECT_EQ(p.ParsedText, "  sum(a)");

  // A second parser takes over; the first continues where it stopped.
  TBaseParser sub;
  sub.Execute({}, f.stack);  // reads "b"
  sub.NextToken();
  EXPECT_EQ(sub.CurrentTokenType(), tstAnd);
  p.SyncCurrToken(sub);
  EXPECT_EQ(p.CurrentToken, sub.CurrentToken);
  EXPECT_EQ(p.ParsedText, "  sum(a) AND");
  // Execute with a current token reads nothing more.
  p.Execute({}, f.stack);
  EXPECT_EQ(p.CurrentTokenType(), tstAnd);
}

TEST(BaseParserTest, NotifyEventReachesTheHandler) {
  TBaseParser p;
  TParserNotifyType seen = pntUnknown;
  p.SetParserNotifyEvent([&](TParserNotifyType type, TBaseParser* parser, TParserStack*,
                             TTavExprNode*, host::Variant& value) {
    seen = type;
    EXPECT_EQ(parser, &p);
    value = host::Variant(7);
  });
  host::Variant v;
  p.OnParserNotify(pntSubquery, &p, nullptr, nullptr, v);
  EXPECT_EQ(seen, pntSubquery);
  EXPECT_EQ(v.AsInteger(), 7);
}

TEST(BaseParserTest, TokenSetsHoldAll115Kinds) {
  TTavSQLTokens s{tstUnknown, tstForUpdate, tstAddWord, tstTemporary};
  EXPECT_TRUE(s.Contains(tstUnknown));
  EXPECT_TRUE(s.Contains(tstTemporary));
  EXPECT_TRUE(s.Contains(tstAddWord));
  EXPECT_FALSE(s.Contains(tstTableName));
  EXPECT_FALSE(s.Contains(tstColumn));
  s.Exclude(tstAddWord);
  EXPECT_FALSE(s.Contains(tstAddWord));
  const TTavSQLTokens t{tstTemporary, tstEnd};
  EXPECT_EQ(s * t, (TTavSQLTokens{tstTemporary}));
  EXPECT_EQ(s - t, (TTavSQLTokens{tstUnknown, tstForUpdate}));
  EXPECT_TRUE((s + t).Contains(tstEnd));
  EXPECT_TRUE(TTavSQLTokens().Empty());
  int clauses = 0;
  for (int i = 0; i < TTavSQLTokenCount; ++i) clauses += IsClauseToken(static_cast<TTavSQLToken>(i));
  EXPECT_EQ(clauses, 12);
}

}  // namespace
}  // namespace tav

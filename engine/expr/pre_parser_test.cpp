#include "engine/expr/pre_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/expr/name_mappers.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

// The texts of a stack's tokens, top (the next to read) first.
std::vector<std::string> Texts(const TParserStack* stack) {
  std::vector<std::string> out;
  for (int i = 0; i < stack->Count(); ++i) out.push_back(stack->PeekAt(i)->Text);
  return out;
}

std::unique_ptr<TTavPreParser> PreParse(const std::string& text, bool exprOnly, bool single) {
  auto p = std::make_unique<TTavPreParser>();
  p->SetText(text);
  p->SetParseAsExprOnly(exprOnly);
  p->SetParseSingleStack(single);
  EXPECT_TRUE(p->PreParseTokens());
  return p;
}

std::string AssertionOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const host::EAssertionFailed& e) {
    return e.Message();
  }
  return "no assertion";
}

using Strings = std::vector<std::string>;

TEST(PreParserTest, SectionedParseMakesOneStackPerClause) {
  auto p = PreParse("SELECT a FROM t WHERE SUBSTRING(a FROM 2) = 1", false, false);
  ASSERT_EQ(p->GetSectionCount(), 3);
  EXPECT_EQ(p->GetSectionAt(0)->Section(), tstSelect);
  EXPECT_EQ(p->GetSectionAt(1)->Section(), tstFrom);
  EXPECT_EQ(p->GetSectionAt(2)->Section(), tstWhere);
  // Every stack ends with an empty end: one where the next clause begins,
  // the end of the text on the last stack.
  EXPECT_EQ(Texts(p->GetSectionAt(0)), (Strings{"a", ""}));
  EXPECT_EQ(Texts(p->GetSectionAt(1)), (Strings{"t", ""}));
  EXPECT_EQ(p->GetSectionAt(1)->PeekAt(1)->Token, tstEnd);
  EXPECT_EQ(p->GetSectionAt(1)->PeekAt(1)->Section, tstFrom);
  EXPECT_EQ(p->GetSectionAt(1)->PeekAt(1)->LineOffset, 17);  // where WHERE stands
  // FROM inside the WHERE clause belongs to SUBSTRING.
  EXPECT_EQ(Texts(p->GetSectionAt(2)), (Strings{"SUBSTRING", "(", "a", "FROM", "2", ")", "=", "1", ""}));
  EXPECT_EQ(p->GetSectionAt(2)->PeekAt(3)->Token, tstFrom);
  EXPECT_EQ(p->GetSectionAt(2)->PeekAt(3)->Section, tstWhere);
  EXPECT_EQ(p->SQLStatementType(), tsSQLSelect);

  // Tokens before the first clause keyword have no stack; comments are kept.
  p = PreParse("x y SELECT /* c */ a; b", false, false);
  ASSERT_EQ(p->GetSectionCount(), 1);
  EXPECT_EQ(Texts(p->GetSectionAt(0)), (Strings{"/* c */", "a", ";", "b", ""}));
}

TEST(PreParserTest, ExpressionOnlyParseKeepsEverythingInOneWhereStack) {
  auto p = PreParse("a = 1 ORDER BY b", true, false);
  ASSERT_EQ(p->GetSectionCount(), 1);
  const TParserStack* s = p->GetSectionAt(0);
  EXPECT_EQ(s->Section(), tstWhere);
  EXPECT_EQ(Texts(s), (Strings{"a", "=", "1", "ORDER BY", "b", ""}));
  EXPECT_EQ(s->PeekAt(3)->Token, tstOrderBy);
  for (int i = 0; i < s->Count(); ++i) EXPECT_EQ(s->PeekAt(i)->Section, tstWhere);
  EXPECT_EQ(p->SQLStatementType(), tsSQLExprOnly);
}

TEST(PreParserTest, SingleStackKeepsKeywordsAndDropsComments) {
  auto p = PreParse("SELECT a, /*c*/ b\nFROM t;", false, true);
  ASSERT_EQ(p->GetSectionCount(), 1);
  const TParserStack* s = p->GetSingleStack();
  EXPECT_EQ(s->Section(), tstUnknown);
  EXPECT_EQ(Texts(s), (Strings{"SELECT", "a", ",", "b", "FROM", "t", ";", ""}));
  for (int i = 0; i < s->Count(); ++i) EXPECT_EQ(s->PeekAt(i)->Section, tstSelect);
  EXPECT_EQ(p->GetSingleStackCount(), 8);
  // Places and raw texts travel with the tokens.
  const TParserToken* from = s->PeekAt(4);
  EXPECT_EQ(from->LineNo, 2);
  EXPECT_EQ(from->LineOffset, 1);
  EXPECT_EQ(from->RawTokenText, " FROM");  // the line break as one blank
  EXPECT_EQ(s->PeekAt(3)->RawTokenText, " b");  // the comment was a token of its own
  EXPECT_EQ(p->UnparsedText(), "");
  p->SetSingleStackCountTo(3);
  EXPECT_EQ(Texts(s), (Strings{"t", ";", ""}));
}

TEST(PreParserTest, StatementTypes) {
  const struct {
    const char* Text;
    TTavSQLStatementType Type;
  } cases[] = {
      {"SELECT a FROM t", tsSQLSelect},
      {"/* lead */ insert into t values (1)", tsSQLInsert},
      {"delete from t", tsSQLDelete},
      {"update t set a = 1", tsSQLUpdate},
      {"create table t (a int)", tsSchemaManipulation},
      {"DROP TABLE t", tsSchemaManipulation},
      {"alter table t drop a", tsSchemaManipulation},
      {"ADD x", tsSchemaManipulation},
      {"+ x", tsSQLUnknown},
      {"a = 1", tsSQLUnknown},
      {"", tsSQLUnknown},
      {"  // only a comment", tsSQLUnknown},
  };
  for (const auto& c : cases) {
    for (bool single : {false, true}) {
      EXPECT_EQ(PreParse(c.Text, false, single)->SQLStatementType(), c.Type)
          << c.Text << (single ? " (single stack)" : " (sections)");
      EXPECT_EQ(PreParse(c.Text, true, single)->SQLStatementType(), tsSQLExprOnly) << c.Text;
    }
  }
}

TEST(PreParserTest, FunctionAndTypeTokensCarryTheirOrdinals) {
  auto p = PreParse(
      "SELECT count(x), avg(x), sum(x), max(x), min(x), substring(s), upper(s), lower(s), "
      "trim(s), cast(a as dec), cast(b as real), cast(c as int) FROM t",
      false, true);
  std::vector<int> ordinals;
  const TParserStack* s = p->GetSingleStack();
  for (int i = 0; i < s->Count(); ++i) {
    const TParserToken* t = s->PeekAt(i);
    if (t->Token == tstAggFunc || t->Token == tstStrFunc || t->Token == tstDataType ||
        t->Token == tstInt) {
      ordinals.push_back(t->CustomOrdinal);
    }
  }
  EXPECT_EQ(ordinals, (std::vector<int>{1, 2, 3, 4, 5, 1, 2, 3, 4, 6, 6, 0}));
}

TEST(PreParserTest, DataTypeMapper) {
  const struct {
    const char* Word;
    const char* Next;
    int Count;
    int Ordinal;
  } cases[] = {
      {"char", "", 1, 1},       {"CHARACTER", "", 1, 1}, {"varchar", "", 1, 1},
      {"smallint", "", 1, 2},   {"INT", "", 1, 3},       {"integer", "", 1, 3},
      {"numeric", "", 1, 6},    {"Decimal", "", 1, 6},   {"dec", "", 1, 6},
      {"float", "", 1, 6},      {"real", "", 1, 6},      {"date", "", 1, 9},
      {"time", "", 1, 10},      {"timestamp", "", 1, 11}, {"double", "precision", 2, 6},
      {"DOUBLE", "", 0, 0},     {"double precision", "", 1, 6}, {"money", "", 0, 0},
  };
  for (const auto& c : cases) {
    TDataTypeMapper m;
    EXPECT_EQ(m.IsMemberToken(c.Word, c.Next), c.Count) << c.Word;
    EXPECT_EQ(TDataTypeMapper().GetCustomOrdinal(c.Word, c.Next), c.Ordinal) << c.Word;
  }
  EXPECT_EQ(TAggFuncMapper().IsMemberToken("Min", ""), 1);
  EXPECT_EQ(TAggFuncMapper().IsMemberToken("median", ""), 0);
  EXPECT_EQ(TStrFuncMapper().GetCustomOrdinal("Trim", ""), 4);
}

TEST(PreParserTest, GetSectionInSingleStackModeAdvancesPastTheKeyword) {
  auto p = PreParse("SELECT a FROM t WHERE b = 1 ORDER BY c", false, true);
  TParserStack* s = p->GetSingleStack();
  // The top already is the keyword: nothing is taken.
  EXPECT_EQ(p->GetSection(tstSelect, nullptr), s);
  EXPECT_EQ(s->Peek()->Token, tstSelect);
  s->Pop();
  s->Pop();
  // The caller already holds the keyword.
  const TParserToken* from = s->Pop();
  EXPECT_EQ(p->GetSection(tstFrom, from), s);
  EXPECT_EQ(s->Peek()->Text, "t");
  EXPECT_EQ(p->GetSection(tstWhere, nullptr), s);
  EXPECT_EQ(Texts(s), (Strings{"b", "=", "1", "ORDER BY", "c", ""}));
  // A clause the statement lacks empties the stack.
  EXPECT_EQ(p->GetSection(tstHaving, nullptr), s);
  EXPECT_EQ(s->Count(), 0);
  EXPECT_NE(AssertionOf([&] { p->GetSection(tstAnd, nullptr); }).find(
                "Invalid section request in GetSection"),
            std::string::npos);
}

TEST(PreParserTest, GetSectionInSectionedModeFindsTheLastStackOfTheClause) {
  auto p = PreParse("SELECT a FROM t WHERE x SELECT b", false, false);
  ASSERT_EQ(p->GetSectionCount(), 4);
  EXPECT_EQ(p->GetSection(tstSelect, nullptr), p->GetSectionAt(3));
  EXPECT_EQ(p->GetSection(tstWhere, nullptr), p->GetSectionAt(2));
  EXPECT_EQ(p->GetSection(tstHaving, nullptr), nullptr);
  EXPECT_EQ(p->GetSingleStackCount(), 0);
  EXPECT_NE(AssertionOf([&] { p->GetSingleStack(); })
                .find("Cannot get single stack - not parsed as single stack"),
            std::string::npos);
  EXPECT_NE(AssertionOf([&] { p->CheckParseComplete(); }).find("Cannot get single stack"),
            std::string::npos);
}

TEST(PreParserTest, ParameterList) {
  for (bool single : {false, true}) {
    auto p = PreParse("SELECT * FROM t WHERE a = :p AND b = :P OR c = :q AND d = :Pa :", false,
                      single);
    host::TStringList list;
    list.Add("x");
    p->GetParamList(list);
    EXPECT_EQ(list.CommaText(), "x,p,q,Pa");
  }
}

TEST(PreParserTest, ParseCompleteOnlyWhenNothingButTheEndRemains) {
  const struct {
    std::string Text;
    int Consume;
    bool Complete;
  } cases[] = {
      {"SELECT a /* c */", 2, true},
      {"SELECT a", 1, false},
      {"SELECT a;", 2, false},
      {std::string("SELECT a \0 b", 12), 2, false},
      {std::string("SELECT a \0  ", 12), 2, true},
  };
  for (const auto& c : cases) {
    auto p = PreParse(c.Text, false, true);
    for (int i = 0; i < c.Consume; ++i) p->GetSingleStack()->Pop();
    EXPECT_EQ(p->CheckParseComplete(), c.Complete) << c.Text;
  }
}

// A subquery is parsed from a copy of the stacks; trimming the original to
// the copy's count resumes it after the subquery with the same tokens.
TEST(PreParserTest, AssignedStacksTrimTheOriginalToWhereTheCopyStopped) {
  auto main = PreParse("SELECT a FROM t\nWHERE x IN (SELECT b FROM u\n  WHERE u.c = 1) AND y = 2",
                       false, true);
  TParserStack* s = main->GetSingleStack();
  while (s->Peek()->Token != tstLParen) s->Pop();
  s->Pop();

  auto copy = std::make_unique<TTavPreParser>();
  copy->SetParseSingleStack(true);
  copy->AssignStacks(*main);
  TParserStack* c = copy->GetSingleStack();
  ASSERT_EQ(c->Count(), s->Count());
  for (int i = 0; i < c->Count(); ++i) {
    const TParserToken* a = s->PeekAt(i);
    const TParserToken* b = c->PeekAt(i);
    EXPECT_NE(a, b);
    EXPECT_EQ(b->Token, a->Token);
    EXPECT_EQ(b->Text, a->Text);
    EXPECT_EQ(b->Section, a->Section);
    EXPECT_EQ(b->LineNo, a->LineNo);
    EXPECT_EQ(b->LineOffset, a->LineOffset);
    EXPECT_EQ(b->RawTokenText, a->RawTokenText);
  }
  while (c->Pop()->Token != tstRParen) {
  }
  main->TrimStacks(*copy);
  EXPECT_EQ(Texts(s), (Strings{"AND", "y", "=", "2", ""}));
  EXPECT_EQ(s->Peek()->LineNo, 3);
  EXPECT_EQ(s->Peek()->LineOffset, 18);
  EXPECT_EQ(s->Peek()->RawTokenText, " AND");

  // The copies belong to the copy: they outlive the original.
  main.reset();
  EXPECT_EQ(Texts(c), (Strings{"AND", "y", "=", "2", ""}));

  auto sections = PreParse("SELECT a FROM t", false, false);
  EXPECT_NE(AssertionOf([&] { copy->TrimStacks(*sections); }).find("Stack list counts do not match"),
            std::string::npos);
}

TEST(PreParserTest, TokensOutliveStacksUntilFreed) {
  TTavPreParser p;
  p.SetParseSingleStack(true);
  p.SetText("a b");
  p.PreParseTokens();
  const TParserToken* a = p.GetSingleStack()->Peek();
  p.SetText("c");
  p.PreParseTokens();
  EXPECT_EQ(a->Text, "a");  // still alive: a parser may hold it
  EXPECT_EQ(p.OwnedTokenCount(), 5u);
  p.FreeOwnedTokens();
  EXPECT_EQ(p.OwnedTokenCount(), 0u);
  EXPECT_EQ(p.GetSectionCount(), 0);
}

}  // namespace
}  // namespace tav

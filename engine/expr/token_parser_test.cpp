#include "engine/expr/token_parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tav {
namespace {

struct Tok {
  TTavSQLToken Kind;
  std::string Text;
  int Line;
  int Column;
  bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
  return os << "{" << static_cast<int>(t.Kind) << " '" << t.Text << "' " << t.Line << ":"
            << t.Column << "}";
}

// Every token of `text`, the final empty end included.
std::vector<Tok> Scan(const std::string& text, std::vector<std::string>* raw = nullptr) {
  TTavTokenParser p;
  p.SetTokenString(text);
  std::vector<Tok> out;
  std::string s;
  for (int guard = 0; guard < (1 << 20); ++guard) {
    const TTavSQLToken k = p.GetNextToken(s);
    out.push_back({k, s, p.Line(), p.TokenStartColumn()});
    if (raw != nullptr) raw->push_back(p.RawTokenText());
    if (k == tstEnd && s.empty()) break;
  }
  return out;
}

struct ScanCase {
  const char* Name;
  std::string Text;
  std::vector<Tok> Want;
};

// Kinds, texts and places of the tokens of statements and filters.
TEST(TokenParserTest, TokenStreams) {
  const std::vector<ScanCase> cases = {
      {"sign before a digit is a number", "a-1",
       {{tstFieldName, "a", 1, 1}, {tstNumber, "-1", 1, 2}, {tstEnd, "", 1, 4}}},
      {"sign alone is an operator", "a - 1",
       {{tstFieldName, "a", 1, 1}, {tstSub, "-", 1, 3}, {tstNumber, "1", 1, 5}, {tstEnd, "", 1, 6}}},
      {"signs and points", "+5 -.5 1.2.3 7+x",
       {{tstNumber, "+5", 1, 1}, {tstNumber, "-.5", 1, 4}, {tstNumber, "1.2.3", 1, 8},
        {tstNumber, "7", 1, 14}, {tstAdd, "+", 1, 15}, {tstFieldName, "x", 1, 16},
        {tstEnd, "", 1, 17}}},
      {"qualifier", "t.name",
       {{tstTableName, "t", 1, 1}, {tstFieldName, "name", 1, 3}, {tstEnd, "", 1, 7}}},
      {"no keyword after a qualifier", "t.select",
       {{tstTableName, "t", 1, 1}, {tstFieldName, "select", 1, 3}, {tstEnd, "", 1, 9}}},
      {"qualified star", "t.*",
       {{tstTableName, "t", 1, 1}, {tstMult, "*", 1, 3}, {tstEnd, "", 1, 4}}},
      {"a leading point starts a number", ".5",
       {{tstNumber, ".5", 1, 1}, {tstEnd, "", 1, 3}}},
      {"a point after a table name stays a qualifier", "t.5",
       {{tstTableName, "t", 1, 1}, {tstNumber, "5", 1, 3}, {tstEnd, "", 1, 4}}},
      {"point before a number in an expression", "a*.25",
       {{tstFieldName, "a", 1, 1}, {tstMult, "*", 1, 2}, {tstNumber, ".25", 1, 3},
        {tstEnd, "", 1, 6}}},
      {"brackets", "[My Field]",
       {{tstFieldName, "My Field", 1, 1}, {tstEnd, "", 1, 11}}},
      {"quotes of every kind", "'abc' #2004-01-31# `b` \"x\".y",
       {{tstStringLiteral, "abc", 1, 1}, {tstValue, "2004-01-31", 1, 7}, {tstValue, "b", 1, 20},
        {tstTableName, "x", 1, 24}, {tstFieldName, "y", 1, 28}, {tstEnd, "", 1, 29}}},
      {"doubled quotes do not escape", "'it''s'",
       {{tstStringLiteral, "it", 1, 1}, {tstStringLiteral, "s", 1, 5}, {tstEnd, "", 1, 8}}},
      {"quoted after a qualifier is a field", "t.'x'",
       {{tstTableName, "t", 1, 1}, {tstFieldName, "x", 1, 3}, {tstEnd, "", 1, 6}}},
      {"unterminated quote is a word character", "a = 'x y",
       {{tstFieldName, "a", 1, 1}, {tstCompOperator, "=", 1, 3}, {tstFieldName, "'x", 1, 5},
        {tstFieldName, "y", 1, 8}, {tstEnd, "", 1, 9}}},
      {"unterminated quotes of the other kinds", "\"a #b `c",
       {{tstFieldName, "\"a", 1, 1}, {tstFieldName, "#b", 1, 4}, {tstFieldName, "`c", 1, 7},
        {tstEnd, "", 1, 9}}},
      {"unterminated bracket", "[abc",
       {{tstFieldName, "[abc", 1, 1}, {tstEnd, "", 1, 5}}},
      {"quote characters inside a word", "Part# = 1 and x'y' = 2",
       {{tstFieldName, "Part#", 1, 1}, {tstCompOperator, "=", 1, 7}, {tstNumber, "1", 1, 9},
        {tstAnd, "and", 1, 11}, {tstFieldName, "x'y'", 1, 15}, {tstCompOperator, "=", 1, 20},
        {tstNumber, "2", 1, 22}, {tstEnd, "", 1, 23}}},
      {"quoted item over a line break", "'a\r\nb' c",
       {{tstStringLiteral, "a\r\nb", 2, 1}, {tstFieldName, "c", 2, 4}, {tstEnd, "", 2, 5}}},
      {"distinct in the select list", "select count(distinct x) from t where distinct = 1",
       {{tstSelect, "select", 1, 1}, {tstAggFunc, "count", 1, 8}, {tstLParen, "(", 1, 13},
        {tstDistinct, "distinct", 1, 14}, {tstFieldName, "x", 1, 23}, {tstRParen, ")", 1, 24},
        {tstFrom, "from", 1, 26}, {tstFieldName, "t", 1, 31}, {tstWhere, "where", 1, 33},
        {tstFieldName, "distinct", 1, 39}, {tstCompOperator, "=", 1, 48},
        {tstNumber, "1", 1, 50}, {tstEnd, "", 1, 51}}},
      {"IS alone is a value", "x is y",
       {{tstFieldName, "x", 1, 1}, {tstValue, "is", 1, 3}, {tstFieldName, "y", 1, 6},
        {tstEnd, "", 1, 7}}},
      {"IS NULL", "x IS NULL",
       {{tstFieldName, "x", 1, 1}, {tstIsNull, "IS NULL", 1, 3}, {tstEnd, "", 1, 10}}},
      {"IS NOT NULL across a line break", "x is  not\n null",
       {{tstFieldName, "x", 1, 1}, {tstIsNotNull, "is not null", 2, 3}, {tstEnd, "", 2, 6}}},
      {"IS NOT without NULL", "x is not y",
       {{tstFieldName, "x", 1, 1}, {tstValue, "is", 1, 3}, {tstNot, "not", 1, 6},
        {tstFieldName, "y", 1, 10}, {tstEnd, "", 1, 11}}},
      {"IS NOT LIKE", "x is not like 'a'",
       {{tstFieldName, "x", 1, 1}, {tstValue, "is", 1, 3}, {tstNotLike, "not like", 1, 6},
        {tstStringLiteral, "a", 1, 15}, {tstEnd, "", 1, 18}}},
      {"NOT with its three partners", "NOT IN not  Between NoT\tlike not x",
       {{tstNotIn, "NOT IN", 1, 1}, {tstNotBetween, "not Between", 1, 8},
        {tstNotLike, "NoT like", 1, 21}, {tstNot, "not", 1, 30}, {tstFieldName, "x", 1, 34},
        {tstEnd, "", 1, 35}}},
      {"ORDER without BY is a name", "ORDER x",
       {{tstFieldName, "ORDER", 1, 1}, {tstFieldName, "x", 1, 7}, {tstEnd, "", 1, 8}}},
      {"GROUP BY over several blanks", "GROUP    BY a",
       {{tstGroupBy, "GROUP BY", 1, 1}, {tstFieldName, "a", 1, 13}, {tstEnd, "", 1, 14}}},
      {"ORDER BY over a line break", "order\r\nby a",
       {{tstOrderBy, "order by", 2, 1}, {tstFieldName, "a", 2, 4}, {tstEnd, "", 2, 5}}},
      {"FOR UPDATE, FOR, PRIMARY KEY, PRIMARY", "for update for x primary key primary",
       {{tstForUpdate, "for update", 1, 1}, {tstFor, "for", 1, 12}, {tstFieldName, "x", 1, 16},
        {tstPrimaryKey, "primary key", 1, 18}, {tstFieldName, "primary", 1, 30},
        {tstEnd, "", 1, 37}}},
      {"end of statement", "a;b",
       {{tstFieldName, "a", 1, 1}, {tstEnd, ";", 1, 2}, {tstFieldName, "b", 1, 3},
        {tstEnd, "", 1, 4}}},
      {"line comment", "a // c\nb",
       {{tstFieldName, "a", 1, 1}, {tstComment, "// c", 1, 3}, {tstFieldName, "b", 2, 1},
        {tstEnd, "", 2, 2}}},
      {"block comment over lines", "a /* x\ny */ b",
       {{tstFieldName, "a", 1, 1}, {tstComment, "/* x\ny */", 2, 3}, {tstFieldName, "b", 2, 6},
        {tstEnd, "", 2, 7}}},
      {"unterminated block comment", "a /* b",
       {{tstFieldName, "a", 1, 1}, {tstComment, "/* b", 1, 3}, {tstEnd, "", 1, 7}}},
      {"division", "a/b",
       {{tstFieldName, "a", 1, 1}, {tstDiv, "/", 1, 2}, {tstFieldName, "b", 1, 3},
        {tstEnd, "", 1, 4}}},
      {"comparison runs", "a<>b c=<d e >= f",
       {{tstFieldName, "a", 1, 1}, {tstCompOperator, "<>", 1, 2}, {tstFieldName, "b", 1, 4},
        {tstFieldName, "c", 1, 6}, {tstCompOperator, "=<", 1, 7}, {tstFieldName, "d", 1, 9},
        {tstFieldName, "e", 1, 11}, {tstCompOperator, ">=", 1, 13}, {tstFieldName, "f", 1, 16},
        {tstEnd, "", 1, 17}}},
      {"parameters", ":p a:b",
       {{tstParameter, ":", 1, 1}, {tstFieldName, "p", 1, 2}, {tstFieldName, "a:b", 1, 4},
        {tstEnd, "", 1, 7}}},
      {"concatenation needs blanks", "a || b||c",
       {{tstFieldName, "a", 1, 1}, {tstConcatenate, "||", 1, 3}, {tstFieldName, "b||c", 1, 6},
        {tstEnd, "", 1, 10}}},
      {"punctuation keeps the column where its scan began", "f(a , b)",
       {{tstFieldName, "f", 1, 1}, {tstLParen, "(", 1, 2}, {tstFieldName, "a", 1, 3},
        {tstComma, ",", 1, 4}, {tstFieldName, "b", 1, 7}, {tstRParen, ")", 1, 8},
        {tstEnd, "", 1, 9}}},
      {"punctuation after a line break takes its own column", "a\n  ,b\n)",
       {{tstFieldName, "a", 1, 1}, {tstComma, ",", 2, 3}, {tstFieldName, "b", 2, 4},
        {tstRParen, ")", 3, 1}, {tstEnd, "", 3, 2}}},
      {"function, type and keyword words", "SeLeCt sum(x), upper(y), cast(z as dec), real, "
                                           "float, double precision",
       {{tstSelect, "SeLeCt", 1, 1}, {tstAggFunc, "sum", 1, 8}, {tstLParen, "(", 1, 11},
        {tstFieldName, "x", 1, 12}, {tstRParen, ")", 1, 13}, {tstComma, ",", 1, 14},
        {tstStrFunc, "upper", 1, 16}, {tstLParen, "(", 1, 21}, {tstFieldName, "y", 1, 22},
        {tstRParen, ")", 1, 23}, {tstComma, ",", 1, 24}, {tstCast, "cast", 1, 26},
        {tstLParen, "(", 1, 30}, {tstFieldName, "z", 1, 31}, {tstAS, "as", 1, 33},
        {tstDataType, "dec", 1, 36}, {tstRParen, ")", 1, 39}, {tstComma, ",", 1, 40},
        {tstDataType, "real", 1, 42}, {tstComma, ",", 1, 46}, {tstNumeric, "float", 1, 48},
        {tstComma, ",", 1, 53}, {tstDataType, "double precision", 1, 55},
        {tstEnd, "", 1, 71}}},
      {"letters above 127 are word characters", "\xC4rger = 1",
       {{tstFieldName, "\xC4rger", 1, 1}, {tstCompOperator, "=", 1, 7}, {tstNumber, "1", 1, 9},
        {tstEnd, "", 1, 10}}},
      {"the scan stops at a zero character", std::string("a\0b", 3),
       {{tstFieldName, "a", 1, 1}, {tstEnd, "", 1, 2}}},
      {"empty text", "", {{tstEnd, "", 1, 1}}},
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(Scan(c.Text), c.Want) << c.Name;
  }
}

// Every form of line break, one break each, except that any two break
// characters in a row make one break.
TEST(TokenParserTest, LineBreaks) {
  const struct {
    std::string Text;
    int Line;
  } cases[] = {
      {"a\nb", 2},     {"a\rb", 2},         {"a\r\nb", 2},    {"a\n\rb", 2},
      {"a\n\nb", 2},   {"a\r\rb", 2},       {"a\n\n\nb", 3},  {"a\r\n\r\nb", 3},
      {"a\tb", 1},     {"a \n \n b", 3},
  };
  for (const auto& c : cases) {
    const std::vector<Tok> toks = Scan(c.Text);
    ASSERT_EQ(toks.size(), 3u) << c.Text;
    EXPECT_EQ(toks[1].Text, "b");
    EXPECT_EQ(toks[1].Line, c.Line) << c.Text;
  }
}

// The raw text of a token is what its scan consumed: the blanks before it,
// one blank for a line break (so that words on two lines stay apart), and
// nothing of a look-ahead that did not match.
TEST(TokenParserTest, RawTokenText) {
  std::vector<std::string> raw;
  Scan("  a ,b\n\tGROUP  BY c  ORDER x IS NOT y AS\r\nINTEGER", &raw);
  const std::vector<std::string> want = {"  a", " ,",  "b",   " \tGROUP  BY", " c", "  ORDER",
                                         " x",  " IS", " NOT", " y", " AS", " INTEGER", ""};
  EXPECT_EQ(raw, want);
}

// Only unquoted words join a keyword of several words.
TEST(TokenParserTest, QuotedWordsAreNoPartOfKeywords) {
  const std::vector<ScanCase> cases = {
      {"quoted NULL after IS", "x IS 'null'",
       {{tstFieldName, "x", 1, 1}, {tstValue, "IS", 1, 3}, {tstStringLiteral, "null", 1, 6},
        {tstEnd, "", 1, 12}}},
      {"double-quoted NOT NULL after IS", "x IS \"NOT\" NULL",
       {{tstFieldName, "x", 1, 1}, {tstValue, "IS", 1, 3}, {tstValue, "NOT", 1, 6},
        {tstNull, "NULL", 1, 12}, {tstEnd, "", 1, 16}}},
      {"quoted BY after GROUP", "GROUP [BY]",
       {{tstFieldName, "GROUP", 1, 1}, {tstFieldName, "BY", 1, 7}, {tstEnd, "", 1, 11}}},
      {"quoted LIKE after NOT", "NOT 'LIKE'",
       {{tstNot, "NOT", 1, 1}, {tstStringLiteral, "LIKE", 1, 5}, {tstEnd, "", 1, 11}}},
      {"quoted PRECISION after DOUBLE", "DOUBLE 'PRECISION'",
       {{tstFieldName, "DOUBLE", 1, 1}, {tstStringLiteral, "PRECISION", 1, 8},
        {tstEnd, "", 1, 19}}},
      {"unquoted words still join", "x IS null",
       {{tstFieldName, "x", 1, 1}, {tstIsNull, "IS null", 1, 3}, {tstEnd, "", 1, 10}}},
      {"DOUBLE PRECISION is a type", "double\nprecision",
       {{tstDataType, "double precision", 2, 1}, {tstEnd, "", 2, 10}}},
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(Scan(c.Text), c.Want) << c.Name;
  }
}

TEST(TokenParserTest, LastSectionTokenAndUnparsedText) {
  TTavTokenParser p;
  std::string text = "SELECT a FROM t ORDER BY b  ";
  text += '\0';
  text += "  rest  ";
  p.SetTokenString(text);
  std::string s;
  EXPECT_EQ(p.LastSectionToken(), tstUnknown);
  p.GetNextToken(s);
  EXPECT_EQ(p.LastSectionToken(), tstSelect);
  p.GetNextToken(s);
  p.GetNextToken(s);
  EXPECT_EQ(p.LastSectionToken(), tstFrom);
  p.GetNextToken(s);
  EXPECT_EQ(p.GetNextToken(s), tstOrderBy);
  EXPECT_EQ(p.LastSectionToken(), tstOrderBy);
  EXPECT_EQ(p.LastToken(), tstOrderBy);
  EXPECT_EQ(p.GetNextToken(s), tstFieldName);
  EXPECT_EQ(p.GetNextToken(s), tstEnd);
  EXPECT_EQ(s, "");
  EXPECT_EQ(p.GetUnparsedText(), "rest");
  // Loading again starts over.
  p.SetTokenString("x");
  EXPECT_EQ(p.LastSectionToken(), tstUnknown);
  EXPECT_EQ(p.GetNextToken(s), tstFieldName);
  EXPECT_EQ(p.GetUnparsedText(), "");
}

// Long runs of look-ahead words and unterminated quotes scan in linear time
// and flat recursion.
TEST(TokenParserTest, LongRunsOfLookAheadWordsAndOpenQuotes) {
  std::string words, quotes;
  for (int i = 0; i < 20000; ++i) words += "GROUP IS NOT ";
  for (int i = 0; i < 20000; ++i) quotes += "[\"#`";
  const std::vector<Tok> w = Scan(words + "GROUP BY");
  ASSERT_EQ(w.size(), 60002u);
  EXPECT_EQ(w[59998].Kind, tstValue);
  EXPECT_EQ(w[59999].Kind, tstNot);
  EXPECT_EQ(w[60000].Kind, tstGroupBy);
  TTavTokenParser p;
  p.SetTokenString(quotes);
  std::string s;
  EXPECT_EQ(p.GetNextToken(s), tstFieldName);
  EXPECT_EQ(s.size(), quotes.size());
}

}  // namespace
}  // namespace tav

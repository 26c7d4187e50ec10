#include "engine/expr/token_parser.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/expr/name_mappers.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {
namespace {

// How a keyword is recognised: most map one word to one token; the others
// look at the word after them first.
enum class KwRule : uint8_t { Plain, Is, Group, Order, For, Not, Primary };

struct Keyword {
  std::string_view Word;  // upper case
  TTavSQLToken Token;
  KwRule Rule;
};

// Sorted by word for the binary search. Every word maps to exactly one row,
// so the search finds what a walk down the table in its listed order would.
constexpr Keyword kKeywords[] = {
    {"ADD", tstAddWord, KwRule::Plain},
    {"ALL", tstAll, KwRule::Plain},
    {"ALTER", tstAlter, KwRule::Plain},
    {"AND", tstAnd, KwRule::Plain},
    {"ANY", tstAny, KwRule::Plain},
    {"AS", tstAS, KwRule::Plain},
    {"ASC", tstAscending, KwRule::Plain},
    {"ASCENDING", tstAscending, KwRule::Plain},
    {"AUTOINC", tstAutoInc, KwRule::Plain},
    {"BETWEEN", tstBetween, KwRule::Plain},
    {"BLOB", tstBlob, KwRule::Plain},
    {"BOOLEAN", tstBoolean, KwRule::Plain},
    {"CASE", tstCase, KwRule::Plain},
    {"CAST", tstCast, KwRule::Plain},
    {"CHAR", tstChar, KwRule::Plain},
    {"CHARACTER", tstChar, KwRule::Plain},
    {"COALESCE", tstCoalesce, KwRule::Plain},
    {"COLUMN", tstColumn, KwRule::Plain},
    {"CREATE", tstCreate, KwRule::Plain},
    {"CROSS", tstCross, KwRule::Plain},
    {"CURRENT_DATE", tstCurrentDate, KwRule::Plain},
    {"CURRENT_TIME", tstCurrentTime, KwRule::Plain},
    {"CURRENT_TIMESTAMP", tstCurrentTimestamp, KwRule::Plain},
    {"DATE", tstDate, KwRule::Plain},
    {"DATETIME", tstTimeStamp, KwRule::Plain},
    {"DAY", tstDay, KwRule::Plain},
    {"DECIMAL", tstDecimal, KwRule::Plain},
    {"DELETE", tstDelete, KwRule::Plain},
    {"DESC", tstDescending, KwRule::Plain},
    {"DESCENDING", tstDescending, KwRule::Plain},
    {"DROP", tstDrop, KwRule::Plain},
    {"ESCAPE", tstEscape, KwRule::Plain},
    {"EXISTS", tstExists, KwRule::Plain},
    {"EXTRACT", tstExtract, KwRule::Plain},
    {"FALSE", tstFalse, KwRule::Plain},
    {"FLOAT", tstNumeric, KwRule::Plain},
    {"FOR", tstFor, KwRule::For},
    {"FROM", tstFrom, KwRule::Plain},
    {"FULL", tstFull, KwRule::Plain},
    {"GROUP", tstFieldName, KwRule::Group},
    {"HAVING", tstHaving, KwRule::Plain},
    {"HOUR", tstHour, KwRule::Plain},
    {"IN", tstIn, KwRule::Plain},
    {"INDEX", tstIndex, KwRule::Plain},
    {"INNER", tstInner, KwRule::Plain},
    {"INSERT", tstInsert, KwRule::Plain},
    {"INT", tstInt, KwRule::Plain},
    {"INTEGER", tstInt, KwRule::Plain},
    {"INTO", tstInto, KwRule::Plain},
    {"IS", tstValue, KwRule::Is},
    {"JOIN", tstJoin, KwRule::Plain},
    {"LEFT", tstLeft, KwRule::Plain},
    {"LIKE", tstLike, KwRule::Plain},
    {"MINUTE", tstMinute, KwRule::Plain},
    {"MONEY", tstMoney, KwRule::Plain},
    {"MONTH", tstMonth, KwRule::Plain},
    {"NATURAL", tstNatural, KwRule::Plain},
    {"NOT", tstNot, KwRule::Not},
    {"NULL", tstNull, KwRule::Plain},
    {"NULLIF", tstNullif, KwRule::Plain},
    {"NUMERIC", tstNumeric, KwRule::Plain},
    {"ON", tstOn, KwRule::Plain},
    {"OR", tstOr, KwRule::Plain},
    {"ORDER", tstFieldName, KwRule::Order},
    {"OUTER", tstOuter, KwRule::Plain},
    {"PLAN", tstPlan, KwRule::Plain},
    {"PRIMARY", tstFieldName, KwRule::Primary},
    {"RIGHT", tstRight, KwRule::Plain},
    {"SECOND", tstSecond, KwRule::Plain},
    {"SELECT", tstSelect, KwRule::Plain},
    {"SET", tstSet, KwRule::Plain},
    {"SMALLINT", tstSmallInt, KwRule::Plain},
    {"SOME", tstSome, KwRule::Plain},
    {"TABLE", tstTable, KwRule::Plain},
    {"TEMPORARY", tstTemporary, KwRule::Plain},
    {"THEN", tstThen, KwRule::Plain},
    {"TIME", tstTime, KwRule::Plain},
    {"TIMESTAMP", tstTimeStamp, KwRule::Plain},
    {"TO", tstTo, KwRule::Plain},
    {"TRUE", tstTrue, KwRule::Plain},
    {"TYPE", tstType, KwRule::Plain},
    {"UNION", tstUnion, KwRule::Plain},
    {"UNIQUE", tstUnique, KwRule::Plain},
    {"UPDATE", tstUpdate, KwRule::Plain},
    {"USING", tstUsing, KwRule::Plain},
    {"VALUES", tstValues, KwRule::Plain},
    {"VARCHAR", tstVarChar, KwRule::Plain},
    {"WHEN", tstWhen, KwRule::Plain},
    {"WHERE", tstWhere, KwRule::Plain},
    {"YEAR", tstYear, KwRule::Plain},
    {"||", tstConcatenate, KwRule::Plain},
};

constexpr bool KeywordsSorted() {
  for (size_t i = 1; i < std::size(kKeywords); ++i) {
    if (!(kKeywords[i - 1].Word < kKeywords[i].Word)) return false;
  }
  return true;
}
static_assert(KeywordsSorted());
constexpr size_t kLongestKeyword = 17;  // CURRENT_TIMESTAMP

const Keyword* FindKeyword(std::string_view word) {
  if (word.size() > kLongestKeyword) return nullptr;
  char buf[kLongestKeyword];
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    buf[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const std::string_view upper(buf, word.size());
  const Keyword* it =
      std::lower_bound(std::begin(kKeywords), std::end(kKeywords), upper,
                       [](const Keyword& k, std::string_view w) { return k.Word < w; });
  return it != std::end(kKeywords) && it->Word == upper ? it : nullptr;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

int QuoteIndex(char c) {
  switch (c) {
    case '\'': return 0;
    case '"': return 1;
    case '#': return 2;
    case '`': return 3;
    case '[': return 4;
    default: return -1;
  }
}

}  // namespace

void TTavTokenParser::SetTokenString(std::string text) {
  text_ = std::move(text);
  Prepare();
}

void TTavTokenParser::Prepare() {
  pos_ = text_.c_str();
  end_ = pos_ + std::strlen(pos_);
  line_ = 1;
  column_ = 1;
  token_start_column_ = 1;
  last_token_ = tstUnknown;
  last_section_token_ = tstUnknown;
  after_dot_ = false;
  token_start_ = nullptr;
  raw_.clear();
  in_look_ahead_ = false;
  std::fill(std::begin(no_close_from_), std::end(no_close_from_), nullptr);
}

TTavSQLToken TTavTokenParser::GetNextToken(std::string& text) {
  token_start_column_ = column_;
  raw_.clear();
  const TTavSQLToken token = NextSQLToken(text);
  last_token_ = token;
  if (IsClauseToken(token)) last_section_token_ = token;
  return token;
}

std::string TTavTokenParser::GetUnparsedText() const {
  return host::Trim(std::string_view(text_).substr(static_cast<size_t>(pos_ - text_.c_str())));
}

TTavTokenParser::ScanState TTavTokenParser::Save() const {
  return {pos_,        line_,      column_,     token_start_column_, last_token_,
          last_section_token_,     after_dot_,  token_start_,        raw_.size()};
}

void TTavTokenParser::Restore(const ScanState& s) {
  pos_ = s.Pos;
  line_ = s.Line;
  column_ = s.Column;
  token_start_column_ = s.TokenStartColumn;
  last_token_ = s.LastToken;
  last_section_token_ = s.LastSectionToken;
  after_dot_ = s.AfterDot;
  token_start_ = s.TokenStart;
  raw_.resize(s.RawLength);
}

void TTavTokenParser::StartToken() {
  if (token_start_ == nullptr) {
    token_start_ = pos_;
    token_start_column_ = column_;
  }
}

void TTavTokenParser::IncCurrChar() {
  const char c = *pos_;
  if (c == '\0') return;  // the end of the text is never consumed
  ++pos_;
  if (!IsLineBreak(c)) {
    raw_ += c;
    ++column_;
    return;
  }
  // CR LF, LF CR and any other pair of break characters make one line break,
  // kept in the raw text as one blank: words on two lines stay apart.
  raw_ += ' ';
  ++line_;
  column_ = 1;
  if (IsLineBreak(*pos_)) ++pos_;
}

TTavSQLToken TTavTokenParser::FinishWord(std::string& text) {
  text.assign(token_start_, pos_);
  return GetSQLToken(text);
}

void TTavTokenParser::ScanNumberRun() {
  while (IsDigit(*pos_) || *pos_ == '.') IncCurrChar();
}

const char* TTavTokenParser::FindClosingQuote(char open) {
  const int k = QuoteIndex(open);
  TAV_ASSERT(k >= 0, "FindClosingQuote called for a character that opens no quote");
  if (k < 0) return nullptr;  // keeps the index provably in range for the optimiser
  if (no_close_from_[k] != nullptr && pos_ >= no_close_from_[k]) return nullptr;
  const char close = open == '[' ? ']' : open;
  const char* from = pos_ + 1;
  const void* found = std::memchr(from, close, static_cast<size_t>(end_ - from));
  if (found == nullptr) {
    no_close_from_[k] = pos_;
    return nullptr;
  }
  return static_cast<const char*>(found);
}

TTavSQLToken TTavTokenParser::NextSQLToken(std::string& text) {
  token_start_ = nullptr;
  after_dot_ = false;
  const int scanLine = line_;
  const int scanColumn = column_;
  // ",", "(", ")", ";" and the end keep the column where the scan began, unless
  // a line break lies between: that column belongs to the line before.
  auto punctuation = [&](TTavSQLToken token, size_t length) {
    token_start_column_ = line_ == scanLine ? scanColumn : column_;
    text.assign(pos_, length);
    if (length != 0) IncCurrChar();
    return token;
  };

  for (;;) {
    const char c = *pos_;
    switch (c) {
      case '\t':
      case '\n':
      case '\r':
      case ' ':
        if (token_start_ != nullptr) return FinishWord(text);
        IncCurrChar();
        continue;
      case '\0':
        if (token_start_ != nullptr) return FinishWord(text);
        return punctuation(tstEnd, 0);
      case ',':
      case '(':
      case ')':
      case ';':
        if (token_start_ != nullptr) return FinishWord(text);
        return punctuation(c == ',' ? tstComma : c == '(' ? tstLParen : c == ')' ? tstRParen : tstEnd,
                           1);
      case '<':
      case '=':
      case '>': {
        if (token_start_ != nullptr) return FinishWord(text);
        StartToken();
        while (*pos_ == '<' || *pos_ == '=' || *pos_ == '>') IncCurrChar();
        text.assign(token_start_, pos_);
        return tstCompOperator;
      }
      case ':':
        if (token_start_ != nullptr) {
          IncCurrChar();
          continue;
        }
        StartToken();
        IncCurrChar();
        text = ":";
        return tstParameter;
      case '-':
      case '+':
        if (token_start_ != nullptr) return FinishWord(text);
        StartToken();
        IncCurrChar();
        if (IsDigit(*pos_) || *pos_ == '.') {
          ScanNumberRun();
          text.assign(token_start_, pos_);
          return tstNumber;
        }
        text.assign(1, c);
        return c == '-' ? tstSub : tstAdd;
      case '.':
        if (token_start_ != nullptr) {
          text.assign(token_start_, pos_);
          return tstTableName;
        }
        // A point before a digit starts a number (".5"), unless it qualifies
        // the table name just read ("t.5").
        if (IsDigit(pos_[1]) && last_token_ != tstTableName) {
          StartToken();
          ScanNumberRun();
          text.assign(token_start_, pos_);
          return tstNumber;
        }
        after_dot_ = true;
        IncCurrChar();
        continue;
      case '*':
        if (token_start_ != nullptr) return FinishWord(text);
        StartToken();
        IncCurrChar();
        text = "*";
        return tstMult;
      case '/':
        if (token_start_ != nullptr) return FinishWord(text);
        StartToken();
        if (pos_[1] == '/') {
          while (*pos_ != '\0' && !IsLineBreak(*pos_)) IncCurrChar();
          text.assign(token_start_, pos_);
          return tstComment;
        }
        if (pos_[1] == '*') {
          IncCurrChar();
          IncCurrChar();
          for (;;) {
            if (*pos_ == '\0') break;
            if (pos_[0] == '*' && pos_[1] == '/') {
              IncCurrChar();
              IncCurrChar();
              break;
            }
            IncCurrChar();
          }
          text.assign(token_start_, pos_);
          return tstComment;
        }
        IncCurrChar();
        text = "/";
        return tstDiv;
      case '\'':
      case '"':
      case '#':
      case '`':
      case '[': {
        // Inside a word a quote character is a word character ("Part#").
        const char* close = token_start_ == nullptr ? FindClosingQuote(c) : nullptr;
        if (close == nullptr) {
          StartToken();
          IncCurrChar();
          continue;
        }
        StartToken();
        text.assign(pos_ + 1, close);
        while (pos_ <= close) IncCurrChar();
        if (after_dot_ || c == '[') return tstFieldName;
        if (*pos_ == '.') return tstTableName;
        return c == '\'' ? tstStringLiteral : tstValue;
      }
      default:
        if (IsDigit(c) && token_start_ == nullptr) {
          StartToken();
          ScanNumberRun();
          text.assign(token_start_, pos_);
          return tstNumber;
        }
        StartToken();
        IncCurrChar();
        continue;
    }
  }
}

TTavSQLToken TTavTokenParser::GetSQLToken(std::string& word) {
  if (word.empty() || word == ";") return tstEnd;
  if (word == "*") return tstMult;
  if (word == "/") return tstDiv;
  if (after_dot_) return tstFieldName;
  // A look-ahead compares only the text of the word it scanned.
  if (in_look_ahead_) return tstFieldName;
  // DISTINCT quantifies the select list and the aggregates of the select
  // list and of HAVING (COUNT(DISTINCT c) in both).
  if ((last_section_token_ == tstSelect || last_section_token_ == tstHaving) &&
      host::SameText(word, "DISTINCT"))
    return tstDistinct;
  const TTavSQLToken keyword = KeywordToken(word);
  if (keyword != tstUnknown) return keyword;
  if (IsAggFunc(word)) return tstAggFunc;
  if (IsDataType(word)) return tstDataType;
  if (IsStrFunc(word)) return tstStrFunc;
  return tstFieldName;
}

// tstUnknown when the word is no keyword (GROUP without BY, PRIMARY without
// KEY, ORDER without BY are names).
TTavSQLToken TTavTokenParser::KeywordToken(std::string& word) {
  const Keyword* k = FindKeyword(word);
  if (k == nullptr) return tstUnknown;
  switch (k->Rule) {
    case KwRule::Plain:
      return k->Token;
    case KwRule::Is: {
      if (NextTokenIs("NULL", word)) return tstIsNull;
      const ScanState before = Save();
      const size_t wordLength = word.size();
      if (NextTokenIs("NOT", word) && NextTokenIs("NULL", word)) return tstIsNotNull;
      Restore(before);
      word.resize(wordLength);
      return tstValue;
    }
    case KwRule::Group:
      return NextTokenIs("BY", word) ? tstGroupBy : tstUnknown;
    case KwRule::Order:
      return NextTokenIs("BY", word) ? tstOrderBy : tstUnknown;
    case KwRule::For:
      return NextTokenIs("UPDATE", word) ? tstForUpdate : tstFor;
    case KwRule::Not:
      if (NextTokenIs("LIKE", word)) return tstNotLike;
      if (NextTokenIs("BETWEEN", word)) return tstNotBetween;
      if (NextTokenIs("IN", word)) return tstNotIn;
      return tstNot;
    case KwRule::Primary:
      return NextTokenIs("KEY", word) ? tstPrimaryKey : tstUnknown;
  }
  return tstUnknown;
}

bool TTavTokenParser::NextTokenIs(std::string_view word, std::string& text) {
  const ScanState before = Save();
  std::string next;
  const bool outer = in_look_ahead_;
  in_look_ahead_ = true;
  const TTavSQLToken kind = NextSQLToken(next);
  in_look_ahead_ = outer;
  // Only an unquoted word: 'null' or "BY" is a value or a name.
  const bool unquoted =
      kind == tstFieldName && token_start_ != nullptr && QuoteIndex(*token_start_) < 0;
  if (!unquoted || !host::SameText(next, word)) {
    Restore(before);
    return false;
  }
  text += ' ';
  text += next;
  // A keyword of several words stands where its first word stands.
  token_start_column_ = before.TokenStartColumn;
  token_start_ = before.TokenStart;
  after_dot_ = before.AfterDot;
  return true;
}

bool TTavTokenParser::IsMember(TBaseMapper& mapper, std::string& word) {
  return mapper.IsMemberToken(word, std::string_view()) > 0;
}

bool TTavTokenParser::IsAggFunc(std::string& word) {
  TAggFuncMapper mapper;
  return IsMember(mapper, word);
}

bool TTavTokenParser::IsDataType(std::string& word) {
  TDataTypeMapper mapper;
  // DOUBLE is a type only with the word PRECISION after it.
  if (host::SameText(word, "DOUBLE")) return NextTokenIs("PRECISION", word);
  return IsMember(mapper, word);
}

bool TTavTokenParser::IsStrFunc(std::string& word) {
  TStrFuncMapper mapper;
  return IsMember(mapper, word);
}

}  // namespace tav

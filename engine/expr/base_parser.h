// TBaseParser: the base of every clause and statement parser. A parser reads
// one stack of the pre-parser token by token, knows which token kinds end its
// clause, and records the first error with the token it was found at; parse
// errors are state, never exceptions. Tokens are borrowed from the pre-parser,
// which must outlive the parser's use of CurrentToken and ErrorToken.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/expr/pre_parser.h"
#include "engine/expr/sql_tokens.h"
#include "host/db/enum_set.h"
#include "host/rtl/object.h"
#include "host/rtl/variant.h"

namespace tav {

class TTavExprNode;
class TBaseParser;

enum TTavParserOption : uint8_t {
  tpoExtSyntax, tpoAggregate, tpoDefaultExpr, tpoSQL, tpoParameters,
  tpoExtractAggFuncExprText, tpoSubqueries
};
using TTavParserOptions = host::TEnumSet<TTavParserOption>;

enum TParserNotifyType : uint8_t { pntUnknown, pntSubquery, pntFindTableRef };

// Raised by the expression parser for subqueries and table references.
using TParserNotifyEvent = std::function<void(TParserNotifyType type, TBaseParser* parser,
                                              TParserStack* stack, TTavExprNode* node,
                                              host::Variant& value)>;

// Where a token stands, as error messages show it: " Line %d, Character %d.
// Token '%s'" and, for filter texts, " Character %d. Token '%s'".
std::string TokenPositionText(const TParserToken& token);
std::string TokenPositionTextNoLine(const TParserToken& token);

class TBaseParser : public host::TObject {
 public:
  TBaseParser() = default;
  TBaseParser(const TBaseParser&) = delete;
  TBaseParser& operator=(const TBaseParser&) = delete;

  // Forgets the stack, options, current token, error and parsed text; keeps
  // the end tokens, the subquery flag and the event.
  virtual void Clear();
  // Takes the options and the stack and, without a current token, reads the
  // first one. Overrides call this first and return whether no error was
  // recorded.
  virtual bool Execute(TTavParserOptions options, TParserStack* stack);

  void NextToken();
  TTavSQLToken CurrentTokenType() const {
    return CurrentToken != nullptr ? CurrentToken->Token : tstUnknown;
  }
  // The kind i places ahead on the stack (0 = the next one), tstUnknown past it.
  TTavSQLToken PeekAtTokenType(int i) const;
  bool NextTokenIsLParen() const;
  bool AtEndToken() const;
  // Passes a token of that kind, or records `message` at the current one;
  // false after an earlier error.
  bool Expect(TTavSQLToken kind, const char* message);

  void SetEndTokens(const TTavSQLTokens& tokens) { EndTokens = tokens; }
  void SetIsSubquery(bool flag) { IsSubquery = flag; }
  void SetParserNotifyEvent(TParserNotifyEvent event) { OnParserNotify = std::move(event); }

  // Keeps only the first error: a later call changes nothing. Virtual, so
  // that a parser can mirror its error where it builds (the expression
  // parser flags its expression).
  virtual void SetError(const TParserToken* token, std::string_view message);
  virtual void ClearError();
  bool HasParseError() const { return !ErrorMsg.empty(); }
  std::string GetErrorMsg() const;
  std::string GetErrorMsgNoLine() const;

  std::string TokenName() const { return CurrentToken != nullptr ? CurrentToken->Text : std::string(); }
  bool TokenSymbolIs(std::string_view s) const;
  // Continues where `other` stopped reading.
  void SyncCurrToken(const TBaseParser& other);
  void RemoveCurrentTokenFromParsedText();
  // Continues where `other`, reading the same stack, stopped: its current
  // token, and the raw texts it read from ParsedText position `from` on (the
  // length of its ParsedText when it took over), so that ParsedText stays
  // the exact source text.
  void ResumeAfter(const TBaseParser& other, size_t from);

  TParserStack* Stack = nullptr;
  TTavParserOptions Options;
  TParserToken* CurrentToken = nullptr;
  std::string ErrorMsg;
  const TParserToken* ErrorToken = nullptr;
  std::string ParsedText;  // raw texts of the tokens read so far
  TTavSQLTokens EndTokens{tstEnd};
  bool IsSubquery = false;
  TParserNotifyEvent OnParserNotify;
};

}  // namespace tav

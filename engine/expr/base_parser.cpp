#include "engine/expr/base_parser.h"

#include "host/rtl/format.h"
#include "host/rtl/sys_utils.h"

namespace tav {

std::string TokenPositionText(const TParserToken& token) {
  return host::Format(" Line %d, Character %d. Token '%s'",
                      {token.LineNo, token.LineOffset, token.Text});
}

std::string TokenPositionTextNoLine(const TParserToken& token) {
  return host::Format(" Character %d. Token '%s'", {token.LineOffset, token.Text});
}

void TBaseParser::Clear() {
  Stack = nullptr;
  Options = {};
  CurrentToken = nullptr;
  ErrorMsg.clear();
  ErrorToken = nullptr;
  ParsedText.clear();
}

bool TBaseParser::Execute(TTavParserOptions options, TParserStack* stack) {
  Options = options;
  Stack = stack;
  if (CurrentTokenType() == tstUnknown) NextToken();
  return !HasParseError();
}

void TBaseParser::NextToken() {
  CurrentToken = Stack != nullptr ? Stack->Pop() : nullptr;
  if (CurrentToken != nullptr) ParsedText += CurrentToken->RawTokenText;
}

TTavSQLToken TBaseParser::PeekAtTokenType(int i) const {
  const TParserToken* token = Stack != nullptr ? Stack->PeekAt(i) : nullptr;
  return token != nullptr ? token->Token : tstUnknown;
}

bool TBaseParser::NextTokenIsLParen() const { return PeekAtTokenType(0) == tstLParen; }

bool TBaseParser::AtEndToken() const {
  if (Stack == nullptr || Stack->Count() == 0) return true;
  const TTavSQLToken t = CurrentTokenType();
  return EndTokens.Contains(t) || t == tstUnknown || t == tstEnd ||
         (IsSubquery && t == tstRParen);
}

bool TBaseParser::Expect(TTavSQLToken kind, const char* message) {
  if (HasParseError()) return false;
  if (CurrentTokenType() != kind) {
    SetError(CurrentToken, message);
    return false;
  }
  NextToken();
  return true;
}

void TBaseParser::SetError(const TParserToken* token, std::string_view message) {
  if (!ErrorMsg.empty()) return;
  ErrorToken = token;
  ErrorMsg = message;
}

void TBaseParser::ClearError() {
  ErrorToken = nullptr;
  ErrorMsg.clear();
}

std::string TBaseParser::GetErrorMsg() const {
  return ErrorToken != nullptr ? ErrorMsg + TokenPositionText(*ErrorToken) : ErrorMsg;
}

std::string TBaseParser::GetErrorMsgNoLine() const {
  return ErrorToken != nullptr ? ErrorMsg + TokenPositionTextNoLine(*ErrorToken) : ErrorMsg;
}

bool TBaseParser::TokenSymbolIs(std::string_view s) const {
  return CurrentToken != nullptr && host::SameText(CurrentToken->Text, s);
}

void TBaseParser::SyncCurrToken(const TBaseParser& other) {
  CurrentToken = other.CurrentToken;
  if (CurrentToken != nullptr) {
    ParsedText += ' ';
    ParsedText += CurrentToken->Text;
  }
}

void TBaseParser::ResumeAfter(const TBaseParser& other, size_t from) {
  CurrentToken = other.CurrentToken;
  if (from < other.ParsedText.size()) ParsedText.append(other.ParsedText, from);
}

void TBaseParser::RemoveCurrentTokenFromParsedText() {
  if (ParsedText.empty() || CurrentToken == nullptr) return;
  const size_t cut = std::min(ParsedText.size(), CurrentToken->RawTokenText.size());
  ParsedText.resize(ParsedText.size() - cut);
}

}  // namespace tav

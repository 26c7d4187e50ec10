// Random text through the tokenizer and the pre-parser in all three modes,
// then through a base parser walking every stack: nothing may crash, hang or
// leak, and the basic promises must hold (every token but the last consumes
// text, the raw texts add up to the text, positions are at least 1, a copied
// and trimmed stack resumes with the same tokens).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/expr/base_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/token_parser.h"
#include "host/rtl/string_list.h"
#include "fuzz_check.h"

namespace {

using namespace tav;

void Tokenize(const std::string& text) {
  TTavTokenParser tokenizer;
  tokenizer.SetTokenString(text);
  std::string tokenText;
  size_t count = 0;
  int lastLine = 1;
  std::string raw;
  for (;;) {
    const TTavSQLToken kind = tokenizer.GetNextToken(tokenText);
    FUZZ_CHECK(++count <= text.size() + 1);
    FUZZ_CHECK(kind < TTavSQLTokenCount);
    FUZZ_CHECK(tokenizer.Line() >= lastLine);
    FUZZ_CHECK(tokenizer.TokenStartColumn() >= 1);
    FUZZ_CHECK(tokenizer.RawTokenText().size() <= text.size());
    lastLine = tokenizer.Line();
    raw += tokenizer.RawTokenText();
    if (kind == tstEnd && tokenText.empty()) break;
  }
  // Every character up to the first zero is consumed exactly once and shows
  // in the raw texts, but a line break (one break character, or two in a
  // row) shows as one blank.
  std::string scanned;
  for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    const auto isBreak = [](char c) { return c == '\r' || c == '\n'; };
    if (!isBreak(text[i])) {
      scanned += text[i];
      continue;
    }
    scanned += ' ';
    if (i + 1 < text.size() && isBreak(text[i + 1])) ++i;
  }
  FUZZ_CHECK(raw == scanned);
  (void)tokenizer.GetUnparsedText();
}

bool SameToken(const TParserToken* a, const TParserToken* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->Token == b->Token && a->Text == b->Text && a->LineNo == b->LineNo &&
         a->LineOffset == b->LineOffset && a->RawTokenText == b->RawTokenText;
}

// Reads a stack to its end as a clause parser would, recording an error.
void Walk(TParserStack* stack) {
  TBaseParser parser;
  parser.Execute(TTavParserOptions{tpoSQL}, stack);
  int steps = 0;
  while (!parser.AtEndToken()) {
    FUZZ_CHECK(++steps <= 1 << 20);
    (void)parser.PeekAtTokenType(1);
    parser.NextToken();
  }
  if (parser.CurrentToken != nullptr) parser.SetError(parser.CurrentToken, "Invalid token");
  (void)parser.GetErrorMsg();
  (void)parser.GetErrorMsgNoLine();
  parser.RemoveCurrentTokenFromParsedText();
}

void PreParse(const std::string& text, bool exprOnly, bool singleStack) {
  TTavPreParser pre;
  pre.SetText(text);
  pre.SetParseAsExprOnly(exprOnly);
  pre.SetParseSingleStack(singleStack);
  pre.PreParseTokens();
  FUZZ_CHECK(pre.OwnedTokenCount() <= text.size() + 1);
  host::TStringList params;
  pre.GetParamList(params);

  if (!singleStack) {
    for (int i = 0; i < pre.GetSectionCount(); ++i) Walk(pre.GetSectionAt(i));
    return;
  }
  (void)pre.CheckParseComplete();
  // A copy, read part way, trims the original to the same place.
  TTavPreParser copy;
  copy.SetParseSingleStack(true);
  copy.AssignStacks(pre);
  TParserStack* c = copy.GetSingleStack();
  for (int n = c->Count() / 2; n > 0; --n) c->Pop();
  pre.TrimStacks(copy);
  FUZZ_CHECK(SameToken(pre.GetSingleStack()->Peek(), c->Peek()));
  // Each clause the statement names, as the statement parsers ask for them.
  for (TTavSQLToken section : {tstSelect, tstFrom, tstWhere, tstGroupBy, tstHaving, tstOrderBy,
                               tstInsert, tstDelete, tstUpdate}) {
    TParserStack* stack = pre.GetSection(section, nullptr);
    FUZZ_CHECK(stack == pre.GetSingleStack());
  }
  Walk(pre.GetSingleStack());
  (void)pre.CheckParseComplete();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Tokenize(text);
  PreParse(text, false, false);
  PreParse(text, true, false);
  PreParse(text, false, true);
  PreParse(text, true, true);
  return 0;
}

// The pre-parser: it drives the tokenizer over one statement, filter or
// expression and sorts the tokens into stacks, one per clause (SELECT, FROM,
// WHERE ...), or all into one stack, decides the statement type and stores on
// function and type tokens the ordinal their name maps to. Clause parsers
// (TBaseParser) then read one stack each.
//
// Ownership: the pre-parser owns every TParserToken it or its stacks create,
// and keeps them until FreeOwnedTokens or its destruction, also across Clear
// and SetText, so that parsers may hold token pointers (an error's token, the
// token of an expression node) as long as the pre-parser lives. Stacks only
// borrow tokens. Asking for a section that is no clause, for the single stack
// outside single-stack mode or trimming against another number of stacks is a
// programming error and fails a TAV_ASSERT.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/sql_tokens.h"
#include "host/rtl/object.h"

namespace host {
class TStrings;
}

namespace tav {

enum TTavSQLStatementType : uint8_t {
  tsSQLUnknown, tsSQLExprOnly, tsSQLSelect, tsSQLInsert, tsSQLDelete, tsSQLUpdate,
  tsSchemaManipulation
};

// One token of a statement, with where it stands and what it consumed.
class TParserToken : public host::TObject {
 public:
  int32_t LineOffset = 0;  // column of the token's first character, from 1
  int32_t LineNo = 0;      // line at the end of the token, from 1
  TTavSQLToken Token = tstUnknown;
  TTavSQLToken Section = tstUnknown;  // clause keyword of the stack it was put in
  std::string Text;                   // dequoted; look-ahead keywords as "GROUP BY"
  int32_t CustomOrdinal = 0;          // function kind or field type; 0 otherwise
  std::string RawTokenText;           // leading blanks included, line breaks left out

  void SetLineOffset(int32_t v) { LineOffset = v; }
  void SetLineNo(int32_t v) { LineNo = v; }
  void SetToken(TTavSQLToken v) { Token = v; }
  void SetSection(TTavSQLToken v) { Section = v; }
  void SetText(std::string v) { Text = std::move(v); }
  void SetCustomOrdinal(int32_t v) { CustomOrdinal = v; }
  void SetRawTokenText(std::string v) { RawTokenText = std::move(v); }
  void AssignToken(const TParserToken& source);
};

// The tokens of one clause. The top is the earliest token not yet read: the
// pre-parser queues tokens at the bottom, so Pop reads in statement order.
class TParserStack : public host::TObject {
 public:
  TParserStack() = default;
  TParserStack(const TParserStack&) = delete;
  TParserStack& operator=(const TParserStack&) = delete;

  int Count() const { return static_cast<int>(tokens_.size()); }
  bool AtLeast(int n) const { return n <= Count(); }
  // The top token; nullptr when the stack is empty.
  TParserToken* Peek() const { return tokens_.empty() ? nullptr : tokens_.back(); }
  TParserToken* PeekItem() const { return Peek(); }
  // The i-th token from the top (0 = top); nullptr past the bottom.
  TParserToken* PeekAt(int i) const;
  // Removes and returns the top token; nullptr when the stack is empty.
  TParserToken* Pop();
  TParserToken* PopItem() { return Pop(); }
  void Push(TParserToken* token) { tokens_.push_back(token); }
  void PushItem(TParserToken* token) { Push(token); }
  void Queue(TParserToken* token) { tokens_.push_front(token); }
  // Drops tokens from the top until at most n remain.
  void SetCountTo(int n);
  void Clear() { tokens_.clear(); }
  // Makes this stack a copy of `source` with fresh tokens, which `owner`
  // keeps.
  void CopyStack(const TParserStack& source, std::deque<TParserToken>& owner);

  TTavSQLToken Section() const { return section_; }
  void SetSection(TTavSQLToken token) { section_ = token; }

 private:
  std::deque<TParserToken*> tokens_;  // back() is the top
  TTavSQLToken section_ = tstUnknown;
};

class TTavPreParser : public host::TObject {
 public:
  TTavPreParser() = default;
  TTavPreParser(const TTavPreParser&) = delete;
  TTavPreParser& operator=(const TTavPreParser&) = delete;
  ~TTavPreParser() override;

  // Clears the stacks and takes the text.
  void SetText(std::string text);
  void SetParseAsExprOnly(bool flag) { parse_as_expr_only_ = flag; }
  void SetParseSingleStack(bool flag) { parse_single_stack_ = flag; }
  void SetSQLStatementType(TTavSQLStatementType type) { statement_type_ = type; }
  TTavSQLStatementType SQLStatementType() const { return statement_type_; }
  const std::string& Text() const { return text_; }
  const std::string& UnparsedText() const { return unparsed_text_; }

  // Cuts the text into stacks; always true.
  bool PreParseTokens();
  // Frees the stacks; their tokens stay with the pre-parser.
  void Clear();
  // Frees every token (and, since they would point at nothing, the stacks).
  void FreeOwnedTokens();

  // The stack of a clause. In single-stack mode the one stack, advanced past
  // the clause keyword unless its top, or `token`, already is that keyword;
  // otherwise the last stack of that section, or nullptr.
  TParserStack* GetSection(TTavSQLToken section, const TParserToken* token);
  int GetSectionCount() const { return static_cast<int>(stacks_.size()); }
  TParserStack* GetSectionAt(int i) const { return stacks_.at(static_cast<size_t>(i)).get(); }
  TParserStack* GetSingleStack() const;
  int GetSingleStackCount() const;
  void SetSingleStackCountTo(int n);
  // Adds the name of each parameter (":name") to `list` once, in the order
  // of first appearance, as first written; names differing in case only are
  // the same parameter.
  void GetParamList(host::TStrings& list) const;
  // Makes this pre-parser's stacks copies of `source`'s, with fresh tokens.
  void AssignStacks(const TTavPreParser& source);
  // Cuts each stack back to the count of `other`'s stack at the same place,
  // dropping the tokens `other` has consumed since AssignStacks.
  void TrimStacks(const TTavPreParser& other);
  // True when nothing but comments and the end remain (single-stack mode).
  bool CheckParseComplete() const;
  static bool CheckIncludeToken(TTavSQLToken token) { return token != tstComment; }

  // Tokens held, for tests and the fuzzer's bounds.
  size_t OwnedTokenCount() const { return owned_tokens_.size(); }

 private:
  TParserStack* AddStack(TTavSQLToken section);
  void ParseSections();
  void ParseSingleStackTokens();
  void SetStatementTypeFrom(TTavSQLToken first);
  void PostProcessTokens();

  std::vector<std::unique_ptr<TParserStack>> stacks_;
  std::string text_;
  bool parse_as_expr_only_ = false;
  bool parse_single_stack_ = false;
  std::deque<TParserToken> owned_tokens_;  // a deque: token addresses never move
  TTavSQLStatementType statement_type_ = tsSQLUnknown;
  std::string unparsed_text_;
};

}  // namespace tav

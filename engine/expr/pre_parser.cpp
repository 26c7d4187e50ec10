#include "engine/expr/pre_parser.h"

#include <utility>

#include "engine/expr/name_mappers.h"
#include "engine/expr/token_parser.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

// ---- TParserToken ----

void TParserToken::AssignToken(const TParserToken& source) {
  Text = source.Text;
  Token = source.Token;
  Section = source.Section;
  LineOffset = source.LineOffset;
  LineNo = source.LineNo;
  CustomOrdinal = source.CustomOrdinal;
  RawTokenText = source.RawTokenText;
}

// ---- TParserStack ----

TParserToken* TParserStack::PeekAt(int i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return tokens_[tokens_.size() - 1 - static_cast<size_t>(i)];
}

TParserToken* TParserStack::Pop() {
  if (tokens_.empty()) return nullptr;
  TParserToken* top = tokens_.back();
  tokens_.pop_back();
  return top;
}

void TParserStack::SetCountTo(int n) {
  while (Count() > n) tokens_.pop_back();
}

void TParserStack::CopyStack(const TParserStack& source, std::deque<TParserToken>& owner) {
  Clear();
  for (const TParserToken* token : source.tokens_) {
    owner.emplace_back().AssignToken(*token);
    tokens_.push_back(&owner.back());
  }
}

// ---- TTavPreParser ----

TTavPreParser::~TTavPreParser() = default;

void TTavPreParser::SetText(std::string text) {
  Clear();
  text_ = std::move(text);
}

void TTavPreParser::Clear() { stacks_.clear(); }

void TTavPreParser::FreeOwnedTokens() {
  Clear();
  owned_tokens_.clear();
}

TParserStack* TTavPreParser::AddStack(TTavSQLToken section) {
  stacks_.push_back(std::make_unique<TParserStack>());
  stacks_.back()->SetSection(section);
  return stacks_.back().get();
}

bool TTavPreParser::PreParseTokens() {
  if (parse_single_stack_) {
    ParseSingleStackTokens();
  } else {
    ParseSections();
  }
  PostProcessTokens();
  return true;
}

void TTavPreParser::SetStatementTypeFrom(TTavSQLToken first) {
  switch (first) {
    case tstSelect: statement_type_ = tsSQLSelect; break;
    case tstInsert: statement_type_ = tsSQLInsert; break;
    case tstDelete: statement_type_ = tsSQLDelete; break;
    case tstUpdate: statement_type_ = tsSQLUpdate; break;
    case tstCreate:
    case tstDrop:
    case tstAlter:
    case tstAddWord: statement_type_ = tsSchemaManipulation; break;
    default: statement_type_ = tsSQLUnknown; break;
  }
  if (parse_as_expr_only_) statement_type_ = tsSQLExprOnly;
}

namespace {

// Queues a token of `kind` read at the tokenizer's place into `stack`.
TParserToken& QueueToken(std::deque<TParserToken>& owner, TParserStack& stack, TTavSQLToken kind,
                         const TTavTokenParser& tokenizer) {
  TParserToken& token = owner.emplace_back();
  token.Token = kind;
  // The single stack has no section of its own; its tokens count as SELECT's.
  token.Section = stack.Section() == tstUnknown ? tstSelect : stack.Section();
  token.LineNo = tokenizer.Line();
  token.LineOffset = tokenizer.TokenStartColumn();
  stack.Queue(&token);
  return token;
}

// Reads the tokens of `text` and hands each to `take(kind, tokenizer)`, the
// final empty end included; returns the unparsed rest of the text.
template <class Take>
std::string ReadTokens(const std::string& text, std::deque<TParserToken>& owner, Take take) {
  TTavTokenParser tokenizer;
  tokenizer.SetTokenString(text);
  std::string tokenText;
  for (;;) {
    const TTavSQLToken kind = tokenizer.GetNextToken(tokenText);
    const bool last = kind == tstEnd && tokenText.empty();
    if (TParserStack* stack = take(kind, tokenizer)) {
      TParserToken& token = QueueToken(owner, *stack, kind, tokenizer);
      token.Text = std::move(tokenText);
      token.RawTokenText = tokenizer.RawTokenText();
    }
    if (last) break;
  }
  return tokenizer.GetUnparsedText();
}

}  // namespace

// One stack per clause. The clause keywords open the stacks and are not
// stored; tokens before the first keyword have no stack and are dropped.
// Every stack ends with an empty end: the final one of the text, or one
// queued where the next clause keyword stands. So a parser sees where its
// clause ends, neither takes a stray last token for the end nor drops its
// last item.
void TTavPreParser::ParseSections() {
  TParserStack* current = parse_as_expr_only_ ? AddStack(tstWhere) : nullptr;
  TTavSQLToken first = tstUnknown;
  bool seenFirst = false;
  const auto take = [&](TTavSQLToken kind, const TTavTokenParser& tokenizer) -> TParserStack* {
    // The statement type follows the first token read, keyword or not
    // (keywords are not stored here).
    if (!seenFirst && kind != tstComment) {
      first = kind;
      seenFirst = true;
    }
    if (!parse_as_expr_only_ && IsClauseToken(kind) &&
        !(kind == tstFrom && current != nullptr && current->Section() == tstWhere)) {
      // FROM inside a WHERE clause belongs to SUBSTRING ... FROM or EXTRACT
      // ... FROM.
      if (current != nullptr) QueueToken(owned_tokens_, *current, tstEnd, tokenizer);
      current = AddStack(kind);
      return nullptr;
    }
    return current;
  };
  unparsed_text_ = ReadTokens(text_, owned_tokens_, take);
  SetStatementTypeFrom(first);
}

// All tokens but comments in one stack, clause keywords included.
void TTavPreParser::ParseSingleStackTokens() {
  TParserStack* stack = AddStack(tstUnknown);
  TTavSQLToken first = tstUnknown;
  bool seenFirst = false;
  unparsed_text_ = ReadTokens(text_, owned_tokens_,
                              [&](TTavSQLToken kind, const TTavTokenParser&) -> TParserStack* {
    if (!CheckIncludeToken(kind)) return nullptr;
    if (!seenFirst) {
      first = kind;
      seenFirst = true;
    }
    return stack;
  });
  SetStatementTypeFrom(first);
}

void TTavPreParser::PostProcessTokens() {
  for (const auto& stack : stacks_) {
    for (int i = 0; i < stack->Count(); ++i) {
      TParserToken* token = stack->PeekAt(i);
      switch (token->Token) {
        case tstAggFunc: token->CustomOrdinal = TAggFuncMapper().GetCustomOrdinal(token->Text, {}); break;
        case tstDataType: token->CustomOrdinal = TDataTypeMapper().GetCustomOrdinal(token->Text, {}); break;
        case tstStrFunc: token->CustomOrdinal = TStrFuncMapper().GetCustomOrdinal(token->Text, {}); break;
        default: break;
      }
    }
  }
}

TParserStack* TTavPreParser::GetSection(TTavSQLToken section, const TParserToken* token) {
  TAV_ASSERT(IsClauseToken(section), "Invalid section request in GetSection");
  if (parse_single_stack_ && stacks_.size() == 1) {
    TParserStack* stack = stacks_.front().get();
    const TParserToken* top = stack->Peek();
    const bool atKeyword =
        (top != nullptr && top->Token == section) || (token != nullptr && token->Token == section);
    if (!atKeyword) {
      while (const TParserToken* popped = stack->Pop()) {
        if (popped->Token == section) break;
      }
    }
    return stack;
  }
  for (auto it = stacks_.rbegin(); it != stacks_.rend(); ++it) {
    if ((*it)->Section() == section) return it->get();
  }
  return nullptr;
}

TParserStack* TTavPreParser::GetSingleStack() const {
  TAV_ASSERT(parse_single_stack_, "Cannot get single stack - not parsed as single stack");
  return stacks_.empty() ? nullptr : stacks_.front().get();
}

int TTavPreParser::GetSingleStackCount() const {
  if (!parse_single_stack_ || stacks_.size() != 1) return 0;
  return stacks_.front()->Count();
}

void TTavPreParser::SetSingleStackCountTo(int n) {
  if (parse_single_stack_ && stacks_.size() == 1) stacks_.front()->SetCountTo(n);
}

void TTavPreParser::GetParamList(host::TStrings& list) const {
  for (const auto& stack : stacks_) {
    for (int i = 0; i + 1 < stack->Count(); ++i) {
      if (stack->PeekAt(i)->Token != tstParameter) continue;
      const TParserToken* name = stack->PeekAt(i + 1);
      // The stored end of the text names nothing.
      if (name->Token == tstEnd && name->Text.empty()) continue;
      bool known = false;
      for (int j = 0; j < list.Count() && !known; ++j) {
        known = host::AnsiSameText(list.Strings(j), name->Text);
      }
      if (!known) list.Add(name->Text);
    }
  }
}

bool TTavPreParser::CheckParseComplete() const {
  const TParserStack* stack = GetSingleStack();
  if (!unparsed_text_.empty()) return false;
  if (stack == nullptr) return true;
  for (int i = 0; i < stack->Count(); ++i) {
    const TParserToken* token = stack->PeekAt(i);
    const bool ignorable =
        token->Token == tstComment || (token->Token == tstEnd && token->Text.empty());
    if (!ignorable) return false;
  }
  return true;
}

void TTavPreParser::AssignStacks(const TTavPreParser& source) {
  TAV_ASSERT(&source != this, "AssignStacks from itself");
  Clear();
  for (const auto& from : source.stacks_) {
    AddStack(from->Section())->CopyStack(*from, owned_tokens_);
  }
}

void TTavPreParser::TrimStacks(const TTavPreParser& other) {
  TAV_ASSERT(stacks_.size() == other.stacks_.size(), "Stack list counts do not match");
  for (size_t i = 0; i < stacks_.size(); ++i) {
    stacks_[i]->SetCountTo(other.stacks_[i]->Count());
  }
}

}  // namespace tav

// TTavTokenParser: the one reader of SQL characters. It cuts a statement,
// filter or expression into tokens (a TTavSQLToken kind and a text) and tells
// where each one stands (line and column) and which characters it consumed.
// It never raises: unknown characters are word characters, unknown words are
// field names, an unterminated quote is an ordinary character and an
// unterminated block comment runs to the end of the text.
//
// Callers load the text with SetTokenString and call GetNextToken until it
// gives tstEnd with an empty text. The text is copied in; the scan stops at the
// first zero character, and GetUnparsedText returns whatever lies beyond.
#pragma once

#include <string>
#include <string_view>

#include "engine/expr/sql_tokens.h"
#include "host/rtl/object.h"

namespace tav {

class TBaseMapper;

class TTavTokenParser : public host::TObject {
 public:
  TTavTokenParser() { Prepare(); }
  TTavTokenParser(const TTavTokenParser&) = delete;
  TTavTokenParser& operator=(const TTavTokenParser&) = delete;

  void SetTokenString(std::string text);
  // Back to the start of the text.
  void Prepare();

  // Scans the next token; its text goes to `text`. The token's place is then
  // Line() (where the token ended) and TokenStartColumn() (its first
  // character), its consumed characters RawTokenText().
  TTavSQLToken GetNextToken(std::string& text);
  // The text after the scan position, blanks and control characters trimmed.
  std::string GetUnparsedText() const;

  int Line() const { return line_; }
  int Column() const { return column_; }
  int TokenStartColumn() const { return token_start_column_; }
  // Every character consumed by the last GetNextToken: leading blanks and
  // tabs included, line breaks left out.
  const std::string& RawTokenText() const { return raw_; }
  TTavSQLToken LastToken() const { return last_token_; }
  TTavSQLToken LastSectionToken() const { return last_section_token_; }

 private:
  // What a look-ahead puts back when the word it looked for is not there.
  struct ScanState {
    const char* Pos;
    int Line, Column, TokenStartColumn;
    TTavSQLToken LastToken, LastSectionToken;
    bool AfterDot;
    const char* TokenStart;
    size_t RawLength;
  };
  ScanState Save() const;
  void Restore(const ScanState& s);

  TTavSQLToken NextSQLToken(std::string& text);
  // Classifies a finished word; a multi-word keyword extends `word`.
  TTavSQLToken GetSQLToken(std::string& word);
  TTavSQLToken KeywordToken(std::string& word);
  // Scans one token ahead; when its text is `word` (ASCII case ignored), adds
  // a blank and that text to `text` and stays after it, else puts all back.
  bool NextTokenIs(std::string_view word, std::string& text);
  bool IsAggFunc(std::string& word);
  bool IsDataType(std::string& word);
  bool IsStrFunc(std::string& word);
  bool IsMember(TBaseMapper& mapper, std::string& word);

  void StartToken();
  void IncCurrChar();
  // Finishes the open word and classifies it.
  TTavSQLToken FinishWord(std::string& text);
  // Consumes a run of digits and points.
  void ScanNumberRun();
  // The closing quote for the opening one at the scan position, or nullptr.
  const char* FindClosingQuote(char open);

  std::string text_;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;  // the first zero character: the scan stops there
  int line_ = 1;
  int column_ = 1;
  int token_start_column_ = 1;
  TTavSQLToken last_token_ = tstUnknown;
  TTavSQLToken last_section_token_ = tstUnknown;
  bool after_dot_ = false;
  const char* token_start_ = nullptr;
  std::string raw_;
  // Set while a look-ahead scans: only the text of the scanned token matters
  // then, so no further look-ahead runs (a run of GROUP GROUP ... would
  // otherwise nest one look-ahead per word).
  bool in_look_ahead_ = false;
  // Per quote character, a position from which on the text is known to hold no
  // closing quote, so that a run of unterminated quotes is not rescanned to
  // the end each time.
  const char* no_close_from_[5] = {};
};

}  // namespace tav

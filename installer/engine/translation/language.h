// One language of the translator (translator.h): its numbered texts, read
// from the lines of a language file ("orliGerman.txt" and so on), and the
// font its pages are shown in.
//
// Language file lines (0-based numbers in messages):
//   blank            skipped
//   *...             a comment, also inside a multi-line entry
//   GLID;Text[;...]  a single-line entry: Text is the part up to the next ';'
//   #GLID[;...]      opens a multi-line entry; its lines follow, trimmed,
//   #                until a line that is only '#'
// A text is kept whole at any length.
//
// Callers must keep:
//  - The entries always follow Strings: every change to it parses the whole
//    text again, except between BeginUpdate and EndUpdate (LoadFromFile,
//    LoadFromStream and Assign use that), after which it is parsed once. A
//    line that breaks the rules raises ELanguageFile with the message of the
//    rule, and leaves the language without entries; Strings keeps the text.
//  - Language files are untrusted: one larger than kMaxLanguageFileSize is
//    refused unread, and an error in a file names the file and its line.
//  - TLanguage lives in orln::translator; the version resource's language
//    is another type of the same name.
//  - A language of a component being read from its form text (`owner`
//    csLoading) does not parse: the owner parses once the whole text is read
//    (Loaded), so that a bad line raises from there and not from the middle
//    of the reading.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/classes/prop_table.h"
#include "host/forms/graphics.h"
#include "host/rtl/string_list.h"
#include "installer/engine/base/orln_exceptions.h"

namespace orln {

enum TOrlnLanguage {
  olChineseSimplified = 0,
  olChineseTraditional = 1,
  olCzech = 2,
  olDanish = 3,
  olDutch = 4,
  olEnglish = 5,
  olFrench = 6,
  olGerman = 7,
  olGreek = 8,
  olHebrew = 9,
  olItalian = 10,
  olJapanese = 11,
  olKorean = 12,
  olNorwegianBokmal = 13,
  olNorwegianNynorsk = 14,
  olPolish = 15,
  olPortugese = 16,
  olRussian = 17,
  olSpanish = 18,
  olSwedish = 19,
  olUser = 20,
  olVietnamese = 21,
};
inline constexpr int kOrlnLanguageCount = 22;

inline constexpr size_t kMaxLanguageFileSize = 4u << 20;

// The identifiers of TOrlnLanguage, as form texts name them.
const host::TEnumInfo& OrlnLanguageInfo();

// A line of a language's text that breaks the rules. Line() is 1-based;
// FileName() is empty when the text did not come from a file.
class ELanguageFile : public EOrlaneAbnormal {
 public:
  ELanguageFile(const std::string& msg, std::string fileName, int line)
      : EOrlaneAbnormal(msg), file_name_(std::move(fileName)), line_(line) {}
  const std::string& FileName() const { return file_name_; }
  int Line() const { return line_; }

 private:
  std::string file_name_;
  int line_;
};

// The face, least size and character set a language's pages are shown in.
struct TLanguageFont {
  std::string Name;
  int Size = 0;
  int Charset = 0;

  bool operator==(const TLanguageFont&) const = default;
};

namespace translator {

class TLanguage;

struct TLanguageString {
  TLanguage* Language = nullptr;
  int GLID = 0;
  std::string Text;
  int LineIndex = 0;
};

struct TLanguageMemo {
  TLanguage* Language = nullptr;
  int GLID = 0;
  host::TStringList Lines;
  int LineIndex = 0;
};

// The lines of a language, parsed into its entries on every change.
class TLangFormatStrings : public host::TStringList {
 public:
  explicit TLangFormatStrings(TLanguage& language) : language_(language) {}

  void Delete(int index) override;
  // Refuses a file larger than kMaxLanguageFileSize; names the file in a
  // parse error.
  void LoadFromFile(const std::string& fileName) override;
  void LoadFromStream(host::TStream& stream) override;

 protected:
  void Changed() override;

 private:
  TLanguage& language_;
};

class TLanguage : public host::TPersistent {
 public:
  // `owner`, when given, is the component the language belongs to (see
  // above); it outlives the language.
  explicit TLanguage(TOrlnLanguage ident, const host::TComponent* owner = nullptr);
  ~TLanguage() override;

  // Font, FontOverride, LanguageIdent and Strings.
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
  TLanguage(const TLanguage&) = delete;
  TLanguage& operator=(const TLanguage&) = delete;

  // Copies the font, the override flag and the lines (parsed once).
  void Assign(const host::TPersistent& source) override;

  TOrlnLanguage LanguageIdent() const { return ident_; }
  void SetLanguageIdent(TOrlnLanguage ident);
  // The font used instead of the language's own when FontOverride is set.
  host::TFont& Font() { return font_; }
  const host::TFont& Font() const { return font_; }
  void SetFont(const host::TFont& font) { font_.Assign(font); }
  bool FontOverride() const { return font_override_; }
  void SetFontOverride(bool value) { font_override_ = value; }
  TLangFormatStrings& Strings() { return strings_; }
  const TLangFormatStrings& Strings() const { return strings_; }

  // "BM_LANG_GERMAN", "orliGerman.txt"; empty for olUser.
  const std::string& ResourceName() const { return resource_name_; }
  const std::string& FileName() const { return file_name_; }

  bool ParseEnabled() const { return parse_enabled_; }
  void SetParseEnabled(bool value) { parse_enabled_ = value; }
  // Reads Strings into the entries; raises ELanguageFile (see above).
  void Parse();

  const std::vector<std::unique_ptr<TLanguageString>>& Entries() const { return strings_list_; }
  const std::vector<std::unique_ptr<TLanguageMemo>>& Memos() const { return memos_; }

  // The first single-line entry with this text (without regard to case) or GLID.
  const TLanguageString* FindText(std::string_view text) const;
  const TLanguageString* FindGLID(int glid) const;
  // The first multi-line entry with these lines (trimmed, without regard to
  // case) or GLID.
  const TLanguageMemo* FindMemo(const host::TStrings& lines) const;
  const TLanguageMemo* FindMemoGLID(int glid) const;

 private:
  friend class TLangFormatStrings;
  void ClearEntries();
  // After a line was deleted without a parse: later entries move up a line.
  void LineDeleted(int index);

  // While the owner is read from its text, parsing waits for its Loaded.
  bool OwnerLoading() const;

  TOrlnLanguage ident_;
  const host::TComponent* owner_;
  host::TFont font_;
  bool font_override_ = false;
  TLangFormatStrings strings_;
  std::string resource_name_;
  std::string file_name_;
  bool parse_enabled_ = true;
  std::vector<std::unique_ptr<TLanguageString>> strings_list_;
  std::vector<std::unique_ptr<TLanguageMemo>> memos_;
  // Lookups: upper-case text and GLID to the first entry.
  std::unordered_map<std::string, const TLanguageString*> by_text_;
  std::unordered_map<int, const TLanguageString*> by_glid_;
  std::unordered_map<int, const TLanguageMemo*> memo_by_glid_;
};

}  // namespace translator
}  // namespace orln

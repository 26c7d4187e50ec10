#include "installer/engine/translation/language.h"

#include "host/rtl/format.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"

namespace orln::translator {
namespace {

struct TLanguageNames {
  const char* Resource;
  const char* File;
};

constexpr TLanguageNames kNames[kOrlnLanguageCount] = {
    {"BM_LANG_SIMPCHINESE", "orliChineseSimplified.txt"},
    {"BM_LANG_CHINESE_TRADITIONAL", "orliChineseTraditional.txt"},
    {"BM_LANG_CZECH", "orliCzech.txt"},
    {"BM_LANG_DANISH", "orliDanish.txt"},
    {"BM_LANG_DUTCH", "orliDutch.txt"},
    {"BM_LANG_ENGLISH", "orliEnglish.txt"},
    {"BM_LANG_FRENCH", "orliFrench.txt"},
    {"BM_LANG_GERMAN", "orliGerman.txt"},
    {"BM_LANG_GREEK", "orliGreek.txt"},
    {"BM_LANG_HEBREW", "orliHebrew.txt"},
    {"BM_LANG_ITALIAN", "orliItalian.txt"},
    {"BM_LANG_JAPANESE", "orliJapanese.txt"},
    {"BM_LANG_KOREAN", "orliKorean.txt"},
    {"BM_LANG_NORWEGIAN_BOKMAL", "orliNorwegianBokmal.txt"},
    {"BM_LANG_NORWEGIAN_NYNORSK", "orliNorwegianNynorsk.txt"},
    {"BM_LANG_POLISH", "orliPolish.txt"},
    {"BM_LANG_PORTUGESE", "orliPortugese.txt"},
    {"BM_LANG_RUSSIAN", "orliRussian.txt"},
    {"BM_LANG_SPANISH", "orliSpanish.txt"},
    {"BM_LANG_SWEDISH", "orliSwedish.txt"},
    {"", ""},
    {"BM_LANG_VIETNAMESE", "orliVietnamese.txt"},
};

constexpr char kNoFormat[] = "The %d'th string (%s) does not have the proper format of GLID;Text";
constexpr char kNoFormatOrDot[] =
    "The %d'th string (%s) does not have the proper format of GLID;Text or .GLID;";
constexpr char kStrayEnd[] = "Found the end of memo marker # at line %d. Was not in a memo however";

[[noreturn]] void Fail(const char* fmt, int line, const std::string& raw) {
  const std::string msg =
      fmt == kStrayEnd ? host::Format(fmt, {line}) : host::Format(fmt, {line, raw});
  throw ELanguageFile(msg, "", line + 1);
}

// The GLID before `text`'s first ';' (or its end); raises by the rules above.
int ParseGLID(std::string_view glidText, int line, const std::string& raw) {
  if (host::Trim(glidText).empty()) Fail(kNoFormat, line, raw);
  int32_t glid = 0;
  if (!host::TryStrToInt(host::Trim(glidText), glid)) Fail(kNoFormatOrDot, line, raw);
  return glid;
}

std::string UpperKey(std::string_view text) {
  return host::AnsiUpperCase(text);
}

}  // namespace

}  // namespace orln::translator

namespace orln {

const host::TEnumInfo& OrlnLanguageInfo() {
  static const host::TEnumInfo info(
      "TOrlnLanguage",
      {"olChineseSimplified", "olChineseTraditional", "olCzech", "olDanish", "olDutch",
       "olEnglish", "olFrench", "olGerman", "olGreek", "olHebrew", "olItalian", "olJapanese",
       "olKorean", "olNorwegianBokmal", "olNorwegianNynorsk", "olPolish", "olPortugese",
       "olRussian", "olSpanish", "olSwedish", "olUser", "olVietnamese"});
  return info;
}

}  // namespace orln

namespace orln::translator {

// ---- TLangFormatStrings ----

void TLangFormatStrings::Changed() {
  TStringList::Changed();
  if (UpdateCount() == 0 && language_.ParseEnabled() && !language_.OwnerLoading()) language_.Parse();
}

void TLangFormatStrings::Delete(int index) {
  TStringList::Delete(index);
  if (UpdateCount() != 0 || !language_.ParseEnabled()) language_.LineDeleted(index);
}

void TLangFormatStrings::LoadFromStream(host::TStream& stream) {
  if (stream.Size() - stream.Position() > static_cast<int64_t>(kMaxLanguageFileSize)) {
    throw ELanguageFile("The language text is too large", "", 0);
  }
  TStringList::LoadFromStream(stream);
}

void TLangFormatStrings::LoadFromFile(const std::string& fileName) {
  host::TFileStream stream(fileName, host::fmOpenRead);
  try {
    LoadFromStream(stream);
  } catch (const ELanguageFile& e) {
    std::string where = fileName;
    if (e.Line() > 0) where += ", line " + std::to_string(e.Line());
    throw ELanguageFile(e.Message() + " (" + where + ")", fileName, e.Line());
  }
}

// ---- TLanguage ----

TLanguage::TLanguage(TOrlnLanguage ident, const host::TComponent* owner)
    : owner_(owner), strings_(*this) {
  SetLanguageIdent(ident);
}

const host::TPropertyTable& TLanguage::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TLanguage>(
      "TLanguage", nullptr, [](host::TPublisher<TLanguage>& p) {
        p.Object("Font", [](TLanguage& l) -> host::TFont& { return l.Font(); });
        p.Boolean("FontOverride", &TLanguage::FontOverride, &TLanguage::SetFontOverride)
            .Default(0);
        p.Enumeration("LanguageIdent", OrlnLanguageInfo(), &TLanguage::LanguageIdent,
                      &TLanguage::SetLanguageIdent);
        p.Strings("Strings", [](TLanguage& l) -> TLangFormatStrings& { return l.Strings(); });
      });
  return table;
}

bool TLanguage::OwnerLoading() const {
  return owner_ != nullptr && (owner_->ComponentState() & host::csLoading) != 0;
}

TLanguage::~TLanguage() = default;

void TLanguage::SetLanguageIdent(TOrlnLanguage ident) {
  ident_ = ident;
  const int i = static_cast<int>(ident);
  const bool known = i >= 0 && i < kOrlnLanguageCount;
  resource_name_ = known ? kNames[i].Resource : "";
  file_name_ = known ? kNames[i].File : "";
}

void TLanguage::Assign(const host::TPersistent& source) {
  const auto* other = dynamic_cast<const TLanguage*>(&source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  if (other == this) return;
  font_.Assign(other->font_);
  font_override_ = other->font_override_;
  strings_.Assign(other->strings_);
}

void TLanguage::ClearEntries() {
  strings_list_.clear();
  memos_.clear();
  by_text_.clear();
  by_glid_.clear();
  memo_by_glid_.clear();
}

void TLanguage::LineDeleted(int index) {
  for (auto& e : strings_list_) {
    if (e->LineIndex > index) --e->LineIndex;
  }
  for (auto& m : memos_) {
    if (m->LineIndex > index) --m->LineIndex;
  }
}

void TLanguage::Parse() {
  ClearEntries();
  try {
    TLanguageMemo* memo = nullptr;
    const int count = strings_.Count();
    for (int i = 0; i < count; ++i) {
      const std::string raw = strings_.Strings(i);
      const std::string line = host::Trim(raw);
      if (line.empty()) continue;
      if (line == "#") {
        if (memo == nullptr) Fail(kStrayEnd, i, "");
        memo = nullptr;
        continue;
      }
      if (line.front() == '*') continue;
      if (memo != nullptr) {
        memo->Lines.Add(line);
        continue;
      }
      if (line.front() == '#') {
        const std::string_view rest = std::string_view(line).substr(1);
        auto m = std::make_unique<TLanguageMemo>();
        m->Language = this;
        m->GLID = ParseGLID(rest.substr(0, rest.find(';')), i, raw);
        m->LineIndex = i;
        memo = m.get();
        memo_by_glid_.emplace(m->GLID, m.get());
        memos_.push_back(std::move(m));
        continue;
      }
      const size_t semi = line.find(';');
      const int glid = ParseGLID(std::string_view(line).substr(0, semi), i, raw);
      std::string_view text;
      if (semi != std::string::npos) {
        text = std::string_view(line).substr(semi + 1);
        text = text.substr(0, text.find(';'));
      }
      if (host::Trim(text).empty()) Fail(kNoFormat, i, raw);
      auto e = std::make_unique<TLanguageString>();
      e->Language = this;
      e->GLID = glid;
      e->Text.assign(text);
      e->LineIndex = i;
      by_text_.emplace(UpperKey(e->Text), e.get());
      by_glid_.emplace(glid, e.get());
      strings_list_.push_back(std::move(e));
    }
  } catch (...) {
    ClearEntries();
    throw;
  }
}

const TLanguageString* TLanguage::FindText(std::string_view text) const {
  const auto it = by_text_.find(UpperKey(text));
  return it == by_text_.end() ? nullptr : it->second;
}

const TLanguageString* TLanguage::FindGLID(int glid) const {
  const auto it = by_glid_.find(glid);
  return it == by_glid_.end() ? nullptr : it->second;
}

const TLanguageMemo* TLanguage::FindMemo(const host::TStrings& lines) const {
  // Blank lines are never part of an entry, so they take no part here either.
  std::vector<std::string> wanted;
  for (int i = 0; i < lines.Count(); ++i) {
    std::string l = host::Trim(lines.Strings(i));
    if (!l.empty()) wanted.push_back(std::move(l));
  }
  for (const auto& m : memos_) {
    if (m->Lines.Count() != static_cast<int>(wanted.size())) continue;
    bool same = true;
    for (size_t i = 0; same && i < wanted.size(); ++i) {
      same = host::AnsiSameText(m->Lines.Strings(static_cast<int>(i)), wanted[i]);
    }
    if (same) return m.get();
  }
  return nullptr;
}

const TLanguageMemo* TLanguage::FindMemoGLID(int glid) const {
  const auto it = memo_by_glid_.find(glid);
  return it == memo_by_glid_.end() ? nullptr : it->second;
}

}  // namespace orln::translator

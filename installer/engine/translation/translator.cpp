#include "installer/engine/translation/translator.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "host/classes/prop_table.h"
#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/translation/orln_forms.h"
#include "os/host_profile.h"

namespace orln {
namespace {

std::atomic<TTranslator*> g_translator{nullptr};

}  // namespace

TOrlnLanguage LanguageOfLangID(uint16_t langId) {
  const int primary = langId & 0x3ff;
  const int sub = langId >> 10;
  switch (primary) {
    case 4:
      return sub == 1 ? olChineseTraditional : olChineseSimplified;
    case 5:
      return olCzech;
    case 6:
      return olDanish;
    case 7:
      return olGerman;
    case 8:
      return olGreek;
    case 10:
      return olSpanish;
    case 12:
      return olFrench;
    case 13:
      return olHebrew;
    case 16:
      return olItalian;
    case 17:
      return olJapanese;
    case 18:
      return olKorean;
    case 19:
      return olDutch;
    case 20:
      return sub == 1 ? olNorwegianBokmal : olNorwegianNynorsk;
    case 21:
      return olPolish;
    case 22:
      return olPortugese;
    case 25:
      return olRussian;
    case 29:
      return olSwedish;
    case 42:
      return olVietnamese;
    default:
      return olEnglish;
  }
}

TOrlnLanguage UserDefaultLanguage() {
  return LanguageOfLangID(
      RaiseDamageAs<EOrlaneAbnormal>([] { return os::GetUserDefaultLangID(); }));
}

TLanguageFont LanguageFontFor(int ident) {
  // Big5, Shift-JIS and code page 949 names of the Chinese, Japanese and
  // Korean faces; the Big5 one holds all four of its characters.
  static const char kBig5Face[] = "\xB7\x73\xB2\xD3\xA9\xFA\xC5\xE9";
  static const char kJapaneseFace[] =
      "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E";
  static const char kKoreanFace[] = "\xB9\xD9\xC5\xC1";
  static const TLanguageFont kFonts[kOrlnLanguageCount] = {
      {kBig5Face, 9, 134},              // olChineseSimplified
      {kBig5Face, 9, 136},              // olChineseTraditional
      {"Arial", 8, 238},                // olCzech
      {"Arial", 8, 0},                  // olDanish
      {"Arial", 8, 0},                  // olDutch
      {"Arial", 8, 0},                  // olEnglish
      {"Arial", 8, 0},                  // olFrench
      {"MS Sans Serif", 8, 0},          // olGerman
      {"SGreek", 8, 0},                 // olGreek
      {"Arial", 8, 177},                // olHebrew
      {"Arial", 8, 0},                  // olItalian
      {kJapaneseFace, 9, 128},          // olJapanese
      {kKoreanFace, 9, 129},            // olKorean
      {"Arial", 8, 0},                  // olNorwegianBokmal
      {"Arial", 8, 0},                  // olNorwegianNynorsk
      {"Arial", 8, 238},                // olPolish
      {"Arial", 8, 238},                // olPortugese
      {"Arial", 8, 204},                // olRussian
      {"Arial", 8, 0},                  // olSpanish
      {"Arial", 8, 0},                  // olSwedish
      {"Unrecognized language", 0, 0},  // olUser: no language of its own
      {"Arial", 8, 163},                // olVietnamese
  };
  if (ident < 0 || ident >= kOrlnLanguageCount) return {"Unrecognized language", 0, 0};
  return kFonts[ident];
}

TTranslator::TTranslator(host::TComponent* owner) : TComponent(owner) {
  for (int i = 0; i < kOrlnLanguageCount; ++i) {
    if (i != olUser) {
      languages_[i] = std::make_unique<translator::TLanguage>(static_cast<TOrlnLanguage>(i), this);
    }
  }
  TTranslator* none = nullptr;
  g_translator.compare_exchange_strong(none, this);
}

TTranslator::~TTranslator() {
  TTranslator* self = this;
  g_translator.compare_exchange_strong(self, nullptr);
}

const host::TPropertyTable& TTranslator::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TTranslator>(
      "TTranslator", &TComponent::ClassProperties(), [](host::TPublisher<TTranslator>& p) {
        for (int i = 0; i < kOrlnLanguageCount; ++i) {
          if (i == olUser) continue;
          const auto ident = static_cast<TOrlnLanguage>(i);
          // "olGerman" publishes as "lgGerman".
          p.Object("lg" + OrlnLanguageInfo().Ident(i).substr(2),
                   [ident](TTranslator& t) -> translator::TLanguage& { return t.Language(ident); });
        }
        p.Enumeration("TranslateIntoLanguage", OrlnLanguageInfo(),
                      &TTranslator::TranslateIntoLanguage, &TTranslator::SetTranslateIntoLanguage)
            .Default(olUser);
      });
  return table;
}

void TTranslator::Loaded() {
  TComponent::Loaded();
  std::exception_ptr first;
  for (const auto& language : languages_) {
    if (!language || !language->ParseEnabled()) continue;
    try {
      language->Parse();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

translator::TLanguage* TTranslator::LanguageOf(TOrlnLanguage ident) const {
  if (ident == olUser) ident = UserDefaultLanguage();
  const int i = static_cast<int>(ident);
  if (i < 0 || i >= kOrlnLanguageCount) return nullptr;
  return languages_[i].get();
}

translator::TLanguage& TTranslator::Language(TOrlnLanguage ident) const {
  translator::TLanguage* lang = ident == olUser ? nullptr : LanguageOf(ident);
  if (lang == nullptr) {
    throw host::EListError("List index out of bounds (" + std::to_string(ident) + ")");
  }
  return *lang;
}

void TTranslator::SetLanguage(TOrlnLanguage ident, const translator::TLanguage& value) {
  Language(ident).Assign(value);
}

std::string TTranslator::TranslateText(TOrlnLanguage fromLanguage, const std::string& text) const {
  const translator::TLanguage* from = LanguageOf(fromLanguage);
  if (from == nullptr) return text;
  const translator::TLanguageString* entry = from->FindText(text);
  if (entry == nullptr) return text;
  const translator::TLanguage* into = LanguageOf(translate_into_);
  if (into == nullptr) return text;
  const translator::TLanguageString* target = into->FindGLID(entry->GLID);
  return target == nullptr ? text : target->Text;
}

std::string TTranslator::TranslateGLID(int glid, const std::string& defaultText) const {
  const translator::TLanguage* into = LanguageOf(translate_into_);
  if (into == nullptr) return defaultText;
  const translator::TLanguageString* target = into->FindGLID(glid);
  return target == nullptr ? defaultText : target->Text;
}

void TTranslator::TranslateLines(TOrlnLanguage fromLanguage, const host::TStrings& lines,
                                 host::TStrings& out) const {
  const translator::TLanguageMemo* target = nullptr;
  if (const translator::TLanguage* from = LanguageOf(fromLanguage)) {
    if (const translator::TLanguageMemo* entry = from->FindMemo(lines)) {
      if (const translator::TLanguage* into = LanguageOf(translate_into_)) {
        target = into->FindMemoGLID(entry->GLID);
      }
    }
  }
  if (&out == &lines) {
    if (target != nullptr) out.Assign(target->Lines);
    return;
  }
  out.Assign(target != nullptr ? static_cast<const host::TStrings&>(target->Lines) : lines);
}

void TTranslator::TranslateProperties(TOrlnLanguage fromLanguage,
                                      host::TComponent& component) const {
  const host::TPropertyTable* table = component.PublishedProperties();
  if (table == nullptr) return;
  auto* memo = dynamic_cast<host::TCustomMemo*>(&component);
  for (int i = 0; i < table->PropCount(); ++i) {
    const host::TPropInfo& prop = table->Prop(i);
    if (prop.Kind == host::tkString) {
      if (!prop.GetStr || !prop.SetStr || host::SameText(prop.Name, "NAME")) continue;
      const std::string value = prop.GetStr(component);
      if (value.empty()) continue;
      std::string translated = TranslateText(fromLanguage, value);
      if (translated != value) prop.SetStr(component, translated);
    } else if ((prop.Kind == host::tkStrings || prop.Kind == host::tkClass) && prop.GetObject) {
      auto* lines = dynamic_cast<host::TStrings*>(prop.GetObject(component));
      if (lines == nullptr) continue;
      if (memo != nullptr && lines == &memo->Lines()) {
        TranslateLines(fromLanguage, *lines, *lines);
        continue;
      }
      for (int line = 0; line < lines->Count(); ++line) {
        const std::string value = lines->Strings(line);
        std::string translated = TranslateText(fromLanguage, value);
        if (translated != value) lines->Put(line, translated);
      }
    }
  }
  if (auto* view = dynamic_cast<host::TListView*>(&component)) {
    for (int i = 0; i < view->Columns().Count(); ++i) {
      host::TListColumn& column = *view->Columns().Items(i);
      column.SetCaption(TranslateText(fromLanguage, column.Caption()));
    }
  }
}

void TTranslator::TranslateOne(TOrlnLanguage fromLanguage, host::TComponent& component) const {
  auto* control = dynamic_cast<host::TControl*>(&component);
  auto* label = dynamic_cast<host::TCustomLabel*>(&component);
  // Hidden while its texts change, with a label's size kept, so the user
  // never sees a half-translated control; both come back however this ends.
  struct TRestore {
    host::TControl* shown = nullptr;
    host::TCustomLabel* sized = nullptr;
    ~TRestore() {
      if (sized != nullptr) sized->SetAutoSize(true);
      if (shown != nullptr) shown->SetVisible(true);
      if (auto* win = dynamic_cast<host::TWinControl*>(shown)) win->Realign();
    }
  } restore;
  if (control != nullptr && dynamic_cast<host::TCustomForm*>(control) == nullptr &&
      dynamic_cast<host::TImage*>(control) == nullptr && control->Visible()) {
    control->SetVisible(false);
    restore.shown = control;
  }
  if (label != nullptr && label->AutoSize()) {
    label->SetAutoSize(false);
    restore.sized = label;
  }
  auto* numberedLabel = dynamic_cast<TTranslateLabel*>(&component);
  auto* numberedButton = dynamic_cast<TTranslateBitBtn*>(&component);
  if (numberedLabel != nullptr && numberedLabel->GLID() > 0) {
    numberedLabel->SetCaption(TranslateGLID(numberedLabel->GLID(), numberedLabel->Caption()));
  } else if (numberedButton != nullptr && numberedButton->GLID() > 0) {
    numberedButton->SetCaption(TranslateGLID(numberedButton->GLID(), numberedButton->Caption()));
  } else {
    TranslateProperties(fromLanguage, component);
  }
  for (int i = 0; i < component.ComponentCount(); ++i) {
    host::TComponent* child = component.Components(i);
    if (dynamic_cast<host::TCustomForm*>(child) == nullptr) TranslateOne(fromLanguage, *child);
  }
}

TOrlnLanguage TTranslator::TranslateComponent(TOrlnLanguage fromLanguage,
                                              host::TComponent& component) const {
  TranslateOne(fromLanguage, component);
  const translator::TLanguage* target = LanguageOf(translate_into_);
  return target != nullptr && target->Strings().Count() > 0 ? target->LanguageIdent()
                                                            : fromLanguage;
}

TOrlnLanguage TTranslator::TranslateComponentInto(TOrlnLanguage fromLanguage, TOrlnLanguage target,
                                                  host::TComponent& component) {
  struct TRestore {
    TTranslator& t;
    TOrlnLanguage was;
    ~TRestore() { t.translate_into_ = was; }
  } restore{*this, translate_into_};
  translate_into_ = target;
  return TranslateComponent(fromLanguage, component);
}

void TTranslator::ApplyFont(TOrlnLanguage ident, host::TControl& control) const {
  const translator::TLanguage* lang = LanguageOf(ident);
  host::TFont& font = control.Font();
  if (lang != nullptr && lang->FontOverride()) {
    font.Assign(lang->Font());
  } else {
    const TLanguageFont wanted =
        LanguageFontFor(lang != nullptr ? lang->LanguageIdent() : static_cast<int>(ident));
    font.SetCharset(static_cast<uint8_t>(wanted.Charset));
    font.SetName(wanted.Name);
    if (font.Size() < wanted.Size) font.SetSize(wanted.Size);
  }
  if (auto* win = dynamic_cast<host::TWinControl*>(&control)) {
    for (int i = 0; i < win->ControlCount(); ++i) ApplyFont(ident, *win->Controls(i));
  }
}

void TTranslator::SetFont(host::TControl& control, bool keepEmpty) const {
  TOrlnLanguage ident = translate_into_;
  const translator::TLanguage* target = LanguageOf(ident);
  if ((target == nullptr || target->Strings().Count() == 0) && !keepEmpty) ident = olEnglish;
  ApplyFont(ident, control);
}

void TTranslator::SetFontInto(TOrlnLanguage language, host::TControl& control) const {
  ApplyFont(language, control);
}

TTranslator* GlobalTranslator() {
  return g_translator.load(std::memory_order_acquire);
}

std::string TranslateString(const std::string& text) {
  const TTranslator* t = GlobalTranslator();
  return t == nullptr ? text : t->TranslateText(olEnglish, text);
}

TOrlnLanguage TranslateComponent(TOrlnLanguage fromLanguage, host::TComponent& component) {
  const TTranslator* t = GlobalTranslator();
  return t == nullptr ? fromLanguage : t->TranslateComponent(fromLanguage, component);
}

TOrlnLanguage TranslateComponentInto(TOrlnLanguage fromLanguage, TOrlnLanguage target,
                                     host::TComponent& component) {
  TTranslator* t = GlobalTranslator();
  return t == nullptr ? fromLanguage : t->TranslateComponentInto(fromLanguage, target, component);
}

void SetLanguageFont(host::TControl& control) {
  if (const TTranslator* t = GlobalTranslator()) t->SetFont(control, false);
}

void SetLanguageFontFor(host::TControl& control, TOrlnLanguage language) {
  if (const TTranslator* t = GlobalTranslator()) t->SetFontInto(language, control);
}

}  // namespace orln

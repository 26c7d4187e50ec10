// TTranslator: translates the install library's English texts into the
// language of the user (or one chosen) through the numbered texts of its
// languages (language.h): a text is found by its words in the source
// language, and the text with the same number (GLID) in the target language
// replaces it. The first translator made is the global one, through which
// TranslateString (and so every IException message) goes.
//
// Callers must keep:
//  - A translator outlives the pages and exceptions that use it as the
//    global one; freeing it clears the global reference.
//  - A text is returned unchanged whenever any step of the lookup finds
//    nothing: no source language, no entry, no target language or no entry
//    with that GLID in it.
//  - TranslateComponent hides each control while its texts change and
//    shows it again afterwards, also when a lookup raises.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "host/classes/component.h"
#include "host/forms/controls.h"
#include "installer/engine/translation/language.h"

namespace host {
class TStrings;
}

namespace orln {

// The language of a Windows language id (primary language in the low 10
// bits, sublanguage in the next 6); olEnglish for any language without one.
TOrlnLanguage LanguageOfLangID(uint16_t langId);
// The language of the user's default language id (the host profile's).
TOrlnLanguage UserDefaultLanguage();

// The font a language's pages use when its own is not taken: the character
// set, the face and the least size (0 for none).
TLanguageFont LanguageFontFor(int ident);

class TTranslator : public host::TComponent {
 public:
  explicit TTranslator(host::TComponent* owner);
  ~TTranslator() override;

  // lgChineseSimplified ... lgVietnamese (each language's font and lines)
  // and TranslateIntoLanguage.
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  // The language with that ident; olUser is the user's default language;
  // nullptr for none.
  translator::TLanguage* LanguageOf(TOrlnLanguage ident) const;
  // The lgXxx properties: the language object of each ident but olUser; the
  // setter copies from `value`.
  translator::TLanguage& Language(TOrlnLanguage ident) const;
  void SetLanguage(TOrlnLanguage ident, const translator::TLanguage& value);

  TOrlnLanguage TranslateIntoLanguage() const { return translate_into_; }
  void SetTranslateIntoLanguage(TOrlnLanguage value) { translate_into_ = value; }

  std::string TranslateText(TOrlnLanguage fromLanguage, const std::string& text) const;
  std::string TranslateGLID(int glid, const std::string& defaultText) const;
  // Lines as one multi-line entry: `out` gets the target's lines, or `lines`
  // unchanged when any step finds nothing.
  void TranslateLines(TOrlnLanguage fromLanguage, const host::TStrings& lines,
                      host::TStrings& out) const;

  // Translates `component` and every component it owns but forms: a
  // TTranslateLabel or TTranslateBitBtn with a GLID takes its caption by
  // number; any other gets its published string properties (all but one
  // named "Name", and only non-empty ones) and string lists translated: a
  // memo's lines as one multi-line entry, any other list line by line, a
  // list view's column captions one by one. The language the component is
  // now in: the target when the target has lines, else `fromLanguage`.
  TOrlnLanguage TranslateComponent(TOrlnLanguage fromLanguage, host::TComponent& component) const;
  // The same into `target`, TranslateIntoLanguage being restored afterwards.
  TOrlnLanguage TranslateComponentInto(TOrlnLanguage fromLanguage, TOrlnLanguage target,
                                       host::TComponent& component);

  // Gives `control` and every control inside it the font of the target
  // language (English when the target has no lines, unless keepEmpty): the
  // language's own Font when FontOverride is set, else the character set,
  // face and least size of LanguageFontFor.
  void SetFont(host::TControl& control, bool keepEmpty) const;
  void SetFontInto(TOrlnLanguage language, host::TControl& control) const;

 protected:
  // Parses the languages read with the form text: every one, the first
  // fault raised afterwards.
  void Loaded() override;

 private:
  void ApplyFont(TOrlnLanguage ident, host::TControl& control) const;
  void TranslateOne(TOrlnLanguage fromLanguage, host::TComponent& component) const;
  void TranslateProperties(TOrlnLanguage fromLanguage, host::TComponent& component) const;

  std::array<std::unique_ptr<translator::TLanguage>, kOrlnLanguageCount> languages_;
  TOrlnLanguage translate_into_ = olUser;
};

// The global translator, or nullptr.
TTranslator* GlobalTranslator();

// TranslateText(olEnglish, text) through the global translator; `text`
// itself without one.
std::string TranslateString(const std::string& text);
// The translator's TranslateComponent and TranslateComponentInto through the
// global translator; without one nothing changes and `fromLanguage` is given.
TOrlnLanguage TranslateComponent(TOrlnLanguage fromLanguage, host::TComponent& component);
TOrlnLanguage TranslateComponentInto(TOrlnLanguage fromLanguage, TOrlnLanguage target,
                                     host::TComponent& component);
// SetFont(control, false) and SetFontInto(language, control) through the
// global translator; nothing without one.
void SetLanguageFont(host::TControl& control);
void SetLanguageFontFor(host::TControl& control, TOrlnLanguage language);

}  // namespace orln

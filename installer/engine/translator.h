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
//  - Fonts: this layer works out the font a control gets (SetFont and
//    SetFontInto on a TLanguageFont); putting it on controls belongs to the
//    forms.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "host/classes/component.h"
#include "installer/engine/language.h"

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

  // Translates the published string properties of `component` (all but
  // one named "Name", and only non-empty ones) and the lines of its
  // published string lists, one by one, then does the same for every
  // component it owns. The language the component is now in: the target
  // when the target has lines, else `fromLanguage`.
  TOrlnLanguage TranslateComponent(TOrlnLanguage fromLanguage, host::TComponent& component) const;
  // The same into `target`, TranslateIntoLanguage being restored afterwards.
  TOrlnLanguage TranslateComponentInto(TOrlnLanguage fromLanguage, TOrlnLanguage target,
                                       host::TComponent& component);

  // The font of the target language (English when the target has no lines,
  // unless keepEmpty): the language's own Font when FontOverride is set,
  // else the character set, face and least size of LanguageFontFor.
  void SetFont(TLanguageFont& font, bool keepEmpty) const;
  void SetFontInto(TOrlnLanguage language, TLanguageFont& font) const;

 private:
  void ApplyFont(TOrlnLanguage ident, TLanguageFont& font) const;
  void TranslateProperties(TOrlnLanguage fromLanguage, host::TPersistent& object) const;

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

}  // namespace orln

// The install library's form pieces: TBaseOrlaneForm, the base of every page
// and progress form (it sets its language's font and translates itself when
// shown), the labels and buttons that take their caption by text number,
// and the folder browser.
//
// Callers must keep:
//  - Every TBaseOrlaneForm is on OrlaneForms() while it exists.
//  - TOpenFolderDialog asks the application's presenter; a typed folder that
//    does not exist is made.
#pragma once

#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "installer/engine/translation/language.h"

namespace orln {

class TBaseOrlaneForm : public host::TForm {
 public:
  explicit TBaseOrlaneForm(host::TComponent* owner);
  ~TBaseOrlaneForm() override;

  bool AutoSetFont() const { return auto_set_font_; }
  void SetAutoSetFont(bool v) { auto_set_font_ = v; }
  bool AutoTranslate() const { return auto_translate_; }
  void SetAutoTranslate(bool v) { auto_translate_ = v; }
  // The language the form's texts are in now.
  TOrlnLanguage FormLanguage() const { return form_language_; }
  void SetFormLanguage(TOrlnLanguage v) { form_language_ = v; }
  // Translate into TranslateIntoLanguage instead of the main translator's target.
  bool OverrideMainTranslator() const { return override_main_translator_; }
  void SetOverrideMainTranslator(bool v) { override_main_translator_ = v; }
  TOrlnLanguage TranslateIntoLanguage() const { return translate_into_; }
  void SetTranslateIntoLanguage(TOrlnLanguage v) { translate_into_ = v; }

  // Runs Translate.
  virtual void TranslateNow();
  // Run before the form is shown as a page; nothing here.
  virtual void PrepareShow() {}
  // The language's font (AutoSetFont), then the texts (AutoTranslate); then
  // pending messages are processed.
  virtual void Translate();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;

 private:
  bool auto_set_font_ = true;
  bool auto_translate_ = true;
  TOrlnLanguage form_language_ = olEnglish;
  bool override_main_translator_ = false;
  TOrlnLanguage translate_into_ = olUser;
};

// The forms of the install library that exist, oldest first.
const std::vector<TBaseOrlaneForm*>& OrlaneForms();

// A control that takes its caption by text number (GLID > 0) when translated.
template <class Base>
class TTranslateByNumber : public Base {
 public:
  using Base::Base;
  int32_t GLID() const { return glid_; }
  void SetGLID(int32_t v) { glid_ = v; }

 private:
  int32_t glid_ = 0;
};

class TTranslateLabel : public TTranslateByNumber<host::TLabel> {
 public:
  using TTranslateByNumber::TTranslateByNumber;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TTranslateBitBtn : public TTranslateByNumber<host::TBitBtn> {
 public:
  using TTranslateByNumber::TTranslateByNumber;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TOpenFolderDialog : public host::TComponent {
 public:
  using TComponent::TComponent;
  // The folder chosen (a virtual path); the browse starts there.
  const std::string& Directory() const { return directory_; }
  void SetDirectory(const std::string& v) { directory_ = v; }
  // Shows the folder browser titled with shell32.dll's string 9248; false
  // when cancelled.
  bool Execute();

 private:
  std::string directory_;
};

}  // namespace orln

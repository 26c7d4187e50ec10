#include "installer/engine/translation/orln_forms.h"

#include <algorithm>

#include "installer/engine/base/base_routines.h"
#include "installer/engine/translation/translator.h"
#include "os/win_file.h"

namespace orln {
namespace {

std::vector<TBaseOrlaneForm*>& FormList() {
  static std::vector<TBaseOrlaneForm*> forms;
  return forms;
}

const host::TEnumInfo& LanguageInfo() {
  static const host::TEnumInfo info("TOrlnLanguage", {"olChineseSimplified",
                                                      "olChineseTraditional",
                                                      "olCzech",
                                                      "olDanish",
                                                      "olDutch",
                                                      "olEnglish",
                                                      "olFrench",
                                                      "olGerman",
                                                      "olGreek",
                                                      "olHebrew",
                                                      "olItalian",
                                                      "olJapanese",
                                                      "olKorean",
                                                      "olNorwegianBokmal",
                                                      "olNorwegianNynorsk",
                                                      "olPolish",
                                                      "olPortugese",
                                                      "olRussian",
                                                      "olSpanish",
                                                      "olSwedish",
                                                      "olUser",
                                                      "olVietnamese"});
  return info;
}

// The table of a control that adds GLID to its base's properties.
template <class T>
host::TPropertyTable PublishByNumber(const char* className, const host::TPropertyTable& parent) {
  return host::PublishClass<T>(className, &parent, [](host::TPublisher<T>& p) {
    p.Integer("GLID", &T::GLID, &T::SetGLID).Default(0);
  });
}

}  // namespace

TBaseOrlaneForm::TBaseOrlaneForm(host::TComponent* owner) : TForm(owner) {
  Font().SetCharset(0);
  FormList().push_back(this);
}

TBaseOrlaneForm::~TBaseOrlaneForm() {
  auto& forms = FormList();
  forms.erase(std::remove(forms.begin(), forms.end(), this), forms.end());
}

const std::vector<TBaseOrlaneForm*>& OrlaneForms() {
  return FormList();
}

void TBaseOrlaneForm::Loaded() {
  TForm::Loaded();
}

void TBaseOrlaneForm::TranslateNow() {
  Translate();
}

void TBaseOrlaneForm::Translate() {
  if (auto_set_font_) {
    if (override_main_translator_) {
      SetLanguageFontFor(*this, translate_into_);
    } else {
      SetLanguageFont(*this);
    }
  }
  if (auto_translate_) {
    form_language_ = override_main_translator_
                         ? TranslateComponentInto(form_language_, translate_into_, *this)
                         : orln::TranslateComponent(form_language_, *this);
  }
  host::Application().ProcessMessages();
}

const host::TPropertyTable& TBaseOrlaneForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBaseOrlaneForm>(
      "TBaseOrlaneForm", &host::TForm::ClassProperties(), [](host::TPublisher<TBaseOrlaneForm>& p) {
        p.Boolean("AutoSetFont", &TBaseOrlaneForm::AutoSetFont, &TBaseOrlaneForm::SetAutoSetFont)
            .Default(1);
        p.Boolean("AutoTranslate", &TBaseOrlaneForm::AutoTranslate,
                  &TBaseOrlaneForm::SetAutoTranslate)
            .Default(1);
        p.Boolean("OverrideMainTranslator", &TBaseOrlaneForm::OverrideMainTranslator,
                  &TBaseOrlaneForm::SetOverrideMainTranslator)
            .Default(0);
        p.Enumeration("TranslateIntoLanguage", LanguageInfo(),
                      &TBaseOrlaneForm::TranslateIntoLanguage,
                      &TBaseOrlaneForm::SetTranslateIntoLanguage)
            .Default(olUser);
      });
  return table;
}

const host::TPropertyTable& TTranslateLabel::ClassProperties() {
  static const host::TPropertyTable table =
      PublishByNumber<TTranslateLabel>("TTranslateLabel", host::TLabel::ClassProperties());
  return table;
}

const host::TPropertyTable& TTranslateBitBtn::ClassProperties() {
  static const host::TPropertyTable table =
      PublishByNumber<TTranslateBitBtn>("TTranslateBitBtn", host::TBitBtn::ClassProperties());
  return table;
}

bool TOpenFolderDialog::Execute() {
  std::string path = directory_;
  if (!host::Application().Presenter().BrowseForFolder(LoadLibraryString("shell32.dll", 9248),
                                                       path)) {
    return false;
  }
  // A folder typed rather than chosen may not exist yet.
  if (!os::WinDirectoryExists(path) && !os::WinForceDirectories(path)) return false;
  directory_ = path;
  return true;
}

}  // namespace orln

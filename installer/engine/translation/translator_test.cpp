#include "installer/engine/translation/translator.h"

#include <gtest/gtest.h>

#include <string>

#include "host/classes/component_text.h"
#include "host/classes/prop_table.h"
#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/rtl/streams.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/install.h"
#include "os/testing/test_machine.h"

namespace orln {
namespace {

using translator::TLanguage;

// Plain components with published texts, as pages hold them.
class TTestFace : public host::TPersistent {
 public:
  const std::string& Face() const { return face_; }
  void SetFace(const std::string& v) { face_ = v; }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table =
        host::PublishClass<TTestFace>("TTestFace", nullptr, [](host::TPublisher<TTestFace>& p) {
          p.String("Face", &TTestFace::Face, &TTestFace::SetFace);
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  std::string face_ = "Welcome";
};

class TTestText : public host::TComponent {
 public:
  explicit TTestText(host::TComponent* owner) : TComponent(owner) {}
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& v) { hint_ = v; }
  host::TStringList& Items() { return items_; }
  TTestFace& Font() { return font_; }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestText>(
        "TTestText", &TComponent::ClassProperties(), [](host::TPublisher<TTestText>& p) {
          p.String("Caption", &TTestText::Caption, &TTestText::SetCaption);
          p.String("Hint", &TTestText::Hint, &TTestText::SetHint);
          p.Object("Items", [](TTestText& t) -> host::TStringList& { return t.Items(); });
          p.Object("Font", [](TTestText& t) -> TTestFace& { return t.Font(); });
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  std::string caption_;
  std::string hint_;
  host::TStringList items_;
  TTestFace font_;
};

void SetLines(TLanguage& lang, const std::string& text) {
  lang.Strings().SetText(text);
}

TEST(LanguageFileTest, LinesFollowTheRules) {
  TLanguage lang(olGerman);
  SetLines(lang,
           "* a comment\n"
           "\n"
           "12;Wort;more text\n"
           "  7 ; padded ;\n"
           "#5;\n"
           "  first line  \n"
           "* not a line\n"
           "\n"
           "second line\n"
           "#\n"
           "13;Wort\n");
  ASSERT_EQ(lang.Entries().size(), 3u);
  EXPECT_EQ(lang.FindGLID(12)->Text, "Wort");
  EXPECT_EQ(lang.FindGLID(12)->LineIndex, 2);
  EXPECT_EQ(lang.FindGLID(7)->Text, " padded ");
  EXPECT_EQ(lang.FindText("WORT")->GLID, 12);  // the first of two
  EXPECT_EQ(lang.FindText("  padded  "), nullptr);
  ASSERT_EQ(lang.Memos().size(), 1u);
  const auto* memo = lang.FindMemoGLID(5);
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(memo->Lines.CommaText(), "\"first line\",\"second line\"");
  EXPECT_EQ(memo->LineIndex, 4);
  EXPECT_EQ(memo->Language, &lang);
}

TEST(LanguageFileTest, BrokenLinesGiveTheirMessages) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"1;ok\n#\n", "Found the end of memo marker # at line 1. Was not in a memo however"},
      {"#;\n", "The 0'th string (#;) does not have the proper format of GLID;Text"},
      {"1;a\n#x;\n",
       "The 1'th string (#x;) does not have the proper format of GLID;Text or .GLID;"},
      {";text\n", "The 0'th string (;text) does not have the proper format of GLID;Text"},
      {"abc;text\n",
       "The 0'th string (abc;text) does not have the proper format of GLID;Text or .GLID;"},
      {"\n\n4;  ;x\n", "The 2'th string (4;  ;x) does not have the proper format of GLID;Text"},
      {"4\n", "The 0'th string (4) does not have the proper format of GLID;Text"},
  };
  for (const Case& c : cases) {
    TLanguage lang(olFrench);
    lang.Strings().Add("99;kept until the bad line");
    try {
      SetLines(lang, c.text);
      ADD_FAILURE() << c.text;
    } catch (const ELanguageFile& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_TRUE(e.FileName().empty());
    }
    EXPECT_TRUE(lang.Entries().empty()) << c.text;  // nothing half-parsed survives
    EXPECT_EQ(lang.FindGLID(99), nullptr);
  }
}

TEST(LanguageFileTest, EveryChangeParsesAgain) {
  TLanguage lang(olDutch);
  lang.Strings().Add("1;een");
  lang.Strings().Add("2;twee");
  lang.Strings().Insert(0, "3;drie");
  EXPECT_EQ(lang.FindGLID(1)->LineIndex, 1);
  lang.Strings().Move(0, 2);
  EXPECT_EQ(lang.FindGLID(3)->LineIndex, 2);
  lang.Strings().Delete(0);
  EXPECT_EQ(lang.FindGLID(1), nullptr);
  EXPECT_EQ(lang.FindGLID(3)->LineIndex, 1);
  EXPECT_THROW(lang.Strings().Add("bad"), ELanguageFile);
  lang.Strings().Delete(2);  // the bad line goes and the rest comes back
  EXPECT_EQ(lang.FindGLID(2)->Text, "twee");

  // With parsing off, a delete moves later entries up a line.
  lang.SetParseEnabled(false);
  lang.Strings().Add("bad line, not parsed");
  lang.Strings().Delete(0);
  EXPECT_EQ(lang.FindGLID(3)->LineIndex, 0);
  lang.Strings().Clear();
  EXPECT_NE(lang.FindGLID(3), nullptr);
  lang.SetParseEnabled(true);
  lang.Parse();
  EXPECT_EQ(lang.FindGLID(3), nullptr);

  // Assign parses once, after every line is in.
  TLanguage other(olDutch);
  SetLines(other, "#1\nline\n#\n2;x\n");
  lang.Assign(other);
  EXPECT_EQ(lang.Memos().size(), 1u);
  EXPECT_EQ(lang.FindGLID(2)->Text, "x");
}

TEST(LanguageFileTest, LongTextsAreKeptWholeAndFound) {
  const std::string english(600, 'e');
  const std::string german = std::string(300, 'g') + "!";
  TTranslator t(nullptr);
  t.SetTranslateIntoLanguage(olGerman);
  t.Language(olEnglish).Strings().Add("40;" + english);
  t.Language(olGerman).Strings().Add("40;" + german);
  EXPECT_EQ(t.TranslateText(olEnglish, english), german);
  EXPECT_EQ(t.Language(olGerman).FindGLID(40)->Text.size(), 301u);
}

class LanguageFilesTest : public os::test::MachineTest {
 protected:
  std::string File(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    os::test::WriteWholeFile(path, text);
    return path;
  }
};

TEST_F(LanguageFilesTest, FilesTranslateExceptionsAndMemos) {
  TTranslator t(nullptr);
  ASSERT_EQ(GlobalTranslator(), &t);
  t.Language(olEnglish).Strings().LoadFromFile(File("orliEnglish.txt",
                                                    "* English texts\r\n"
                                                    "100;Cannot open %s\r\n"
                                                    "101;Installation aborted by the user\r\n"
                                                    "#200;\r\n"
                                                    "Welcome to the setup.\r\n"
                                                    "It installs the product.\r\n"
                                                    "#\r\n"));
  t.Language(olGerman).Strings().LoadFromFile(File("orliGerman.txt",
                                                   "100;%s kann nicht ge\xf6"
                                                   "ffnet werden\r\n"
                                                   "#200\r\n"
                                                   "Willkommen.\r\n"
                                                   "Es installiert das Produkt.\r\n"
                                                   "#\r\n"));
  // The user's language comes from the profile.
  machine_->Profile().UserLangID = 0x0407;
  EXPECT_EQ(t.LanguageOf(olUser), &t.Language(olGerman));
  // A format is translated before the arguments go in.
  const IEInstall formatted("Cannot open %s", {std::string("setup.inf")});
  EXPECT_STREQ(formatted.what(),
               "setup.inf kann nicht ge\xf6"
               "ffnet werden");
  EXPECT_STREQ(IException("cannot OPEN %s").what(),
               "%s kann nicht ge\xf6"
               "ffnet werden");
  // Found in English, missing in German: the English text stays.
  EXPECT_STREQ(IException("Installation aborted by the user").what(),
               "Installation aborted by the user");
  EXPECT_STREQ(IException("Not in any file").what(), "Not in any file");

  host::TStringList memo;
  memo.SetText("Welcome to the setup.\n  It installs the product.\n");
  host::TStringList out;
  t.TranslateLines(olEnglish, memo, out);
  EXPECT_EQ(out.CommaText(), "Willkommen.,\"Es installiert das Produkt.\"");
  memo.Add("One more line");
  t.TranslateLines(olEnglish, memo, out);
  EXPECT_EQ(out.Text(), memo.Text());

  EXPECT_EQ(t.TranslateGLID(100, "default"),
            "%s kann nicht ge\xf6"
            "ffnet werden");
  EXPECT_EQ(t.TranslateGLID(101, "default"), "default");

  // An empty target language leaves English.
  t.SetTranslateIntoLanguage(olSwedish);
  EXPECT_EQ(TranslateString("Cannot open %s"), "Cannot open %s");
}

TEST_F(LanguageFilesTest, DamagedFilesNameFileAndLine) {
  TLanguage lang(olItalian);
  const std::string path = File("orliItalian.txt", "1;uno\r\n2;due\r\ntre\r\n");
  try {
    lang.Strings().LoadFromFile(path);
    FAIL();
  } catch (const ELanguageFile& e) {
    EXPECT_EQ(e.FileName(), path);
    EXPECT_EQ(e.Line(), 3);
    EXPECT_EQ(e.Message(),
              "The 2'th string (tre) does not have the proper format of GLID;Text or .GLID; (" +
                  path + ", line 3)");
  }
  EXPECT_TRUE(lang.Entries().empty());
  const std::string big = File("big.txt", std::string(kMaxLanguageFileSize + 1, '\n'));
  EXPECT_THROW(lang.Strings().LoadFromFile(big), ELanguageFile);
  EXPECT_EQ(lang.Strings().Count(), 3);  // refused unread
}

TEST(TranslateComponentTest, PublishedTextsOfATreeReadFromText) {
  host::RegisterClass(TTestText::ClassProperties());
  TTranslator t(nullptr);
  t.SetTranslateIntoLanguage(olFrench);
  SetLines(t.Language(olEnglish), "1;Welcome\n2;Next\n3;Cancel\n4;Name\n5;Page\n");
  SetLines(t.Language(olFrench), "1;Bienvenue\n2;Suivant\n3;Annuler\n4;Nom\n5;Page FR\n");
  TTestText page(nullptr);
  host::ReadComponent(
      "object Page: TTestText\n"
      "  Caption = 'welcome'\n"
      "  Hint = 'Not in the files'\n"
      "  object Next: TTestText\n"
      "    Caption = 'Next'\n"
      "    object Inner: TTestText\n"
      "      Hint = 'Cancel'\n"
      "    end\n"
      "  end\n"
      "end\n",
      page);
  page.Items().SetText("Next\nOther\nCancel\n");
  EXPECT_EQ(t.TranslateComponent(olEnglish, page), olFrench);
  EXPECT_EQ(page.Caption(), "Bienvenue");
  EXPECT_EQ(page.Hint(), "Not in the files");
  EXPECT_EQ(page.Items().CommaText(), "Suivant,Other,Annuler");
  EXPECT_EQ(page.Font().Face(), "Welcome");  // a sub-object's texts are not the page's
  auto* next = static_cast<TTestText*>(page.FindComponent("Next"));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->Caption(), "Suivant");
  EXPECT_EQ(next->Name(), "Next");  // names stay, though "Next" has a translation
  EXPECT_EQ(static_cast<TTestText*>(next->FindComponent("Inner"))->Hint(), "Annuler");

  // Into another language and back: the target is restored afterwards.
  EXPECT_EQ(t.TranslateComponentInto(olFrench, olEnglish, page), olEnglish);
  EXPECT_EQ(page.Caption(), "Welcome");
  EXPECT_EQ(t.TranslateIntoLanguage(), olFrench);
  // An empty target leaves everything and reports the source language.
  EXPECT_EQ(TranslateComponentInto(olEnglish, olGreek, page), olEnglish);
  EXPECT_EQ(page.Caption(), "Welcome");
}

TEST(TranslatorTest, LanguagesNamesAndTheGlobalTranslator) {
  TTranslator first(nullptr);
  {
    TTranslator second(nullptr);
    EXPECT_EQ(GlobalTranslator(), &first);
  }
  EXPECT_EQ(first.TranslateIntoLanguage(), olUser);
  for (int i = 0; i < kOrlnLanguageCount; ++i) {
    if (i == olUser) continue;
    const TLanguage& lang = first.Language(static_cast<TOrlnLanguage>(i));
    EXPECT_EQ(lang.LanguageIdent(), i);
  }
  EXPECT_EQ(first.Language(olChineseSimplified).ResourceName(), "BM_LANG_SIMPCHINESE");
  EXPECT_EQ(first.Language(olNorwegianNynorsk).FileName(), "orliNorwegianNynorsk.txt");
  EXPECT_EQ(first.Language(olVietnamese).ResourceName(), "BM_LANG_VIETNAMESE");
  EXPECT_THROW(first.Language(olUser), host::EListError);
  TLanguage source(olEnglish);
  source.Strings().Add("1;one");
  source.SetFontOverride(true);
  source.Font().SetName("Courier");
  first.SetLanguage(olDanish, source);
  EXPECT_EQ(first.Language(olDanish).Font().Name(), "Courier");
  EXPECT_EQ(first.Language(olDanish).FindGLID(1)->Language, &first.Language(olDanish));
  EXPECT_TRUE(first.Language(olDanish).FontOverride());
  EXPECT_EQ(first.Language(olDanish).LanguageIdent(), olDanish);
}

TEST(TranslatorTest, WithoutAGlobalTranslatorTextsStay) {
  ASSERT_EQ(GlobalTranslator(), nullptr);
  EXPECT_EQ(TranslateString("Anything"), "Anything");
  EXPECT_STREQ(IException("%d files", {3}).what(), "3 files");
}

TEST(UserLanguageTest, WindowsLanguageIds) {
  struct Case {
    int primary, sub;
    TOrlnLanguage want;
  };
  const Case cases[] = {
      {4, 1, olChineseTraditional},
      {4, 2, olChineseSimplified},
      {5, 1, olCzech},
      {6, 1, olDanish},
      {7, 1, olGerman},
      {8, 1, olGreek},
      {9, 1, olEnglish},
      {10, 3, olSpanish},
      {12, 1, olFrench},
      {13, 1, olHebrew},
      {16, 1, olItalian},
      {17, 1, olJapanese},
      {18, 1, olKorean},
      {19, 1, olDutch},
      {20, 1, olNorwegianBokmal},
      {20, 2, olNorwegianNynorsk},
      {21, 1, olPolish},
      {22, 2, olPortugese},
      {25, 1, olRussian},
      {29, 1, olSwedish},
      {42, 1, olVietnamese},
      {11, 1, olEnglish},
      {0, 0, olEnglish},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanguageOfLangID(static_cast<uint16_t>(c.primary | (c.sub << 10))), c.want)
        << c.primary << "/" << c.sub;
  }
}

TEST(LanguageFontTest, FacesCharsetsAndSizes) {
  EXPECT_EQ(LanguageFontFor(olHebrew), (TLanguageFont{"Arial", 8, 177}));
  EXPECT_EQ(LanguageFontFor(olJapanese).Charset, 128);
  EXPECT_EQ(LanguageFontFor(olJapanese).Size, 9);
  EXPECT_EQ(LanguageFontFor(olKorean), (TLanguageFont{"\xB9\xD9\xC5\xC1", 9, 129}));
  EXPECT_EQ(LanguageFontFor(olChineseTraditional).Name.size(), 8u);
  EXPECT_EQ(LanguageFontFor(olChineseSimplified).Charset, 134);
  EXPECT_EQ(LanguageFontFor(olGerman), (TLanguageFont{"MS Sans Serif", 8, 0}));
  EXPECT_EQ(LanguageFontFor(olGreek), (TLanguageFont{"SGreek", 8, 0}));
  EXPECT_EQ(LanguageFontFor(olRussian), (TLanguageFont{"Arial", 8, 204}));
  EXPECT_EQ(LanguageFontFor(olPolish).Charset, 238);
  EXPECT_EQ(LanguageFontFor(olVietnamese), (TLanguageFont{"Arial", 8, 163}));
  EXPECT_EQ(LanguageFontFor(olUser).Name, "Unrecognized language");
  EXPECT_EQ(LanguageFontFor(30).Name, "Unrecognized language");

  TTranslator t(nullptr);
  t.SetTranslateIntoLanguage(olJapanese);
  host::TPanel panel(nullptr);
  auto* label = new host::TLabel(&panel);
  label->SetParent(&panel);
  panel.Font().SetName("Tahoma");
  panel.Font().SetSize(12);
  t.SetFont(panel, true);  // an empty target kept
  EXPECT_EQ(panel.Font().Charset(), 128);
  EXPECT_EQ(panel.Font().Size(), 12);       // only raised, never lowered
  EXPECT_EQ(label->Font().Charset(), 128);  // controls inside too
  panel.Font().SetSize(6);
  t.SetFont(panel, false);  // an empty target gives English
  EXPECT_EQ(panel.Font().Name(), "Arial");
  EXPECT_EQ(panel.Font().Size(), 8);
  EXPECT_EQ(panel.Font().Charset(), 0);
  t.Language(olJapanese).Strings().Add("1;x");
  t.SetFont(panel, false);
  EXPECT_EQ(label->Font().Charset(), 128);
  EXPECT_EQ(label->Font().Size(), 9);
  t.Language(olHebrew).SetFontOverride(true);
  t.Language(olHebrew).Font().SetName("David");
  t.Language(olHebrew).Font().SetSize(10);
  t.Language(olHebrew).Font().SetCharset(177);
  t.SetFontInto(olHebrew, panel);
  EXPECT_EQ(panel.Font().Name(), "David");
  EXPECT_EQ(label->Font().Size(), 10);
  // The unit routines go through the global translator.
  t.Language(olHebrew).SetFontOverride(false);
  SetLanguageFontFor(panel, olHebrew);
  EXPECT_EQ(panel.Font().Name(), "Arial");
  EXPECT_EQ(panel.Font().Charset(), 177);
}

TEST(TranslatorTest, ReadsFromAFormTextWithTheInstallClasses) {
  RegisterInstallClasses();
  host::RegisterClass(host::TDataModule::ClassProperties());
  const std::string text =
      "object Main: TDataModule\n"
      "  object MainTranslator: TTranslator\n"
      "    lgEnglish.Strings = (\n"
      "      '1;Next'\n"
      "      '#2;'\n"
      "      'Line one'\n"
      "      '#')\n"
      "    lgGerman.Font.Name = 'Arial'\n"
      "    lgGerman.FontOverride = True\n"
      "    lgGerman.LanguageIdent = olGerman\n"
      "    lgGerman.Strings = (\n"
      "      '1;Weiter'\n"
      "      '#2;'\n"
      "      'Zeile eins'\n"
      "      '#')\n"
      "    TranslateIntoLanguage = olGerman\n"
      "  end\n"
      "end\n";
  host::TDataModule main(nullptr);
  host::ReadComponent(text, main);
  auto* t = dynamic_cast<TTranslator*>(main.FindComponent("MainTranslator"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->TranslateIntoLanguage(), olGerman);
  EXPECT_EQ(t->TranslateText(olEnglish, "next"), "Weiter");
  EXPECT_EQ(t->Language(olGerman).Memos().size(), 1u);
  EXPECT_TRUE(t->Language(olGerman).FontOverride());
  EXPECT_EQ(t->Language(olGerman).Font().Name(), "Arial");
  // Written back, the text reads into the same languages.
  const std::string written = host::WriteComponent(main);
  EXPECT_NE(written.find("lgGerman.Strings = ("), std::string::npos) << written;
  EXPECT_EQ(written.find("TranslateIntoLanguage = olUser"), std::string::npos);
  host::TDataModule again(nullptr);
  host::ReadComponent(written, again);
  EXPECT_EQ(static_cast<TTranslator*>(again.FindComponent("MainTranslator"))
                ->TranslateGLID(2, "none"),
            "none");  // a memo is no single-line entry
  EXPECT_EQ(static_cast<TTranslator*>(again.FindComponent("MainTranslator"))
                ->TranslateGLID(1, "none"),
            "Weiter");

  // A bad line is refused once the whole text is read, naming the line,
  // and the good languages are parsed all the same.
  host::TDataModule bad(nullptr);
  const std::string badText =
      "object Main: TDataModule\n"
      "  object MainTranslator: TTranslator\n"
      "    lgEnglish.Strings = (\n"
      "      '1;Next')\n"
      "    lgFrench.Strings = (\n"
      "      '1;Suivant'\n"
      "      'x;y')\n"
      "  end\n"
      "end\n";
  EXPECT_THROW(host::ReadComponent(badText, bad), ELanguageFile);
  auto* partial = static_cast<TTranslator*>(bad.FindComponent("MainTranslator"));
  ASSERT_NE(partial, nullptr);
  EXPECT_EQ(partial->Language(olEnglish).Entries().size(), 1u);
  EXPECT_TRUE(partial->Language(olFrench).Entries().empty());
}

}  // namespace
}  // namespace orln

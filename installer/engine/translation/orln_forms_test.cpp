#include "installer/engine/translation/orln_forms.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/classes/component_text.h"
#include "host/forms/forms.h"
#include "host/forms/presenter.h"
#include "host/forms/std_controls.h"
#include "installer/engine/translation/translator.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

// A user who answers folder browses from a list and does nothing else.
class TFolderUser : public host::TPresenter {
 public:
  std::vector<std::string> Folders;  // "" cancels
  std::string LastTitle;
  host::TUserAction WaitAction(host::TCustomForm&) override {
    throw host::EPresenterError("no one to ask");
  }
  bool PendingAction(host::TUserAction&) override { return false; }
  int MessageBox(const std::string&, const std::string&, int) override { return host::IDOK; }
  bool BrowseForFolder(const std::string& title, std::string& path) override {
    LastTitle = title;
    const std::string answer = Folders.front();
    Folders.erase(Folders.begin());
    if (answer.empty()) return false;
    path = answer;
    return true;
  }
};

class OrlaneFormsTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    host::RegisterStdControls();
    for (const host::TPropertyTable* t :
         {&TBaseOrlaneForm::ClassProperties(), &TTranslateLabel::ClassProperties(),
          &TTranslateBitBtn::ClassProperties()}) {
      host::RegisterClass(*t);
    }
    auto user = std::make_unique<TFolderUser>();
    user_ = user.get();
    app_.SetPresenter(std::move(user));
    translator_.SetTranslateIntoLanguage(olGerman);
    translator_.Language(olEnglish).Strings().SetText(
        "1;Welcome\n2;Choose a folder\n3;Full\n4;Custom\n5;Name\n6;Size\n"
        "#10\nThis program installs the product.\nPress Next to go on.\n#\n");
    translator_.Language(olGerman).Strings().SetText(
        "1;Willkommen\n2;W\xe4hlen Sie einen Ordner\n3;Vollst\xe4ndig\n4;Benutzerdefiniert\n"
        "5;Name DE\n6;Gr\xf6\xdf"
        "e\n7;Weiter >\n8;Abbrechen\n9;Titel\n"
        "#10\nDieses Programm installiert das Produkt.\nWeiter mit Weiter.\n#\n");
  }

  std::unique_ptr<TBaseOrlaneForm> LoadPage() {
    std::unique_ptr<TBaseOrlaneForm> page(host::New<TBaseOrlaneForm>(nullptr));
    host::ReadComponent(
        "object Page: TBaseOrlaneForm\n"
        "  Caption = 'Welcome'\n"
        "  object Title: TLabel\n"
        "    Caption = 'Choose a folder'\n"
        "  end\n"
        "  object Numbered: TTranslateLabel\n"
        "    Caption = 'Welcome'\n"
        "    GLID = 9\n"
        "  end\n"
        "  object Plain: TTranslateLabel\n"
        "    Caption = 'Welcome'\n"
        "  end\n"
        "  object NextBtn: TTranslateBitBtn\n"
        "    Caption = 'Next >'\n"
        "    GLID = 7\n"
        "  end\n"
        "  object Info: TMemo\n"
        "    Lines = (\n"
        "      'This program installs the product.'\n"
        "      'Press Next to go on.')\n"
        "  end\n"
        "  object Kinds: TListBox\n"
        "    Items = (\n"
        "      'Full'\n"
        "      'Custom'\n"
        "      'Other')\n"
        "  end\n"
        "  object Files: TListView\n"
        "    Columns = <\n"
        "      item\n"
        "        Caption = 'Name'\n"
        "      end\n"
        "      item\n"
        "        Caption = 'Size'\n"
        "      end>\n"
        "  end\n"
        "end\n",
        *page);
    return page;
  }

  host::TApplication app_;
  TFolderUser* user_ = nullptr;
  TTranslator translator_{nullptr};
};

TEST_F(OrlaneFormsTest, ALoadedPageIsTranslatedWholeMemoIncluded) {
  auto page = LoadPage();
  auto& title = host::Child<host::TLabel>(*page, "Title");
  ASSERT_TRUE(title.AutoSize());
  page->Translate();
  EXPECT_EQ(page->FormLanguage(), olGerman);
  EXPECT_EQ(page->Caption(), "Willkommen");
  EXPECT_EQ(title.Caption(), "W\xe4hlen Sie einen Ordner");
  EXPECT_EQ(host::Child<TTranslateLabel>(*page, "Numbered").Caption(), "Titel");
  EXPECT_EQ(host::Child<TTranslateLabel>(*page, "Plain").Caption(), "Willkommen");
  EXPECT_EQ(host::Child<TTranslateBitBtn>(*page, "NextBtn").Caption(), "Weiter >");
  EXPECT_EQ(host::Child<host::TMemo>(*page, "Info").Lines().CommaText(),
            "\"Dieses Programm installiert das Produkt.\",\"Weiter mit Weiter.\"");
  EXPECT_EQ(host::Child<host::TListBox>(*page, "Kinds").Items().CommaText(),
            "Vollst\xe4ndig,Benutzerdefiniert,Other");
  auto& files = host::Child<host::TListView>(*page, "Files");
  EXPECT_EQ(files.Columns().Items(0)->Caption(), "Name DE");
  EXPECT_EQ(files.Columns().Items(1)->Caption(),
            "Gr\xf6\xdf"
            "e");
  // Controls come back as they were.
  EXPECT_TRUE(title.Visible());
  EXPECT_TRUE(title.AutoSize());
  EXPECT_TRUE(files.Visible());
  // The font of the language.
  EXPECT_EQ(page->Font().Name(), "MS Sans Serif");
  EXPECT_EQ(title.Font().Charset(), 0);

  // From German back into English on the form's own target.
  page->SetOverrideMainTranslator(true);
  page->SetTranslateIntoLanguage(olEnglish);
  page->TranslateNow();
  EXPECT_EQ(page->FormLanguage(), olEnglish);
  EXPECT_EQ(page->Caption(), "Welcome");
  EXPECT_EQ(host::Child<host::TMemo>(*page, "Info").Lines().Strings(1), "Press Next to go on.");
  EXPECT_EQ(translator_.TranslateIntoLanguage(), olGerman);
  EXPECT_EQ(page->Font().Name(), "Arial");
}

TEST_F(OrlaneFormsTest, SwitchesAndFormsOwnedByThePage) {
  auto page = LoadPage();
  page->SetAutoTranslate(false);
  page->SetAutoSetFont(false);
  page->Font().SetName("Tahoma");
  page->Translate();
  EXPECT_EQ(page->Caption(), "Welcome");
  EXPECT_EQ(page->Font().Name(), "Tahoma");
  EXPECT_EQ(page->FormLanguage(), olEnglish);

  // A form the page owns is not the page's to translate.
  auto* inner = host::New<TBaseOrlaneForm>(page.get());
  inner->SetCaption("Welcome");
  page->SetAutoTranslate(true);
  page->Translate();
  EXPECT_EQ(page->Caption(), "Willkommen");
  EXPECT_EQ(inner->Caption(), "Welcome");

  // An empty target leaves the page in English.
  translator_.SetTranslateIntoLanguage(olSwedish);
  auto other = LoadPage();
  other->Translate();
  EXPECT_EQ(other->FormLanguage(), olEnglish);
  EXPECT_EQ(other->Caption(), "Welcome");
}

TEST_F(OrlaneFormsTest, EveryFormIsOnTheListWhileItExists) {
  const size_t before = OrlaneForms().size();
  {
    auto a = LoadPage();
    auto b = LoadPage();
    ASSERT_EQ(OrlaneForms().size(), before + 2);
    EXPECT_EQ(OrlaneForms().back(), b.get());
    EXPECT_EQ(a->Font().Charset(), 0);
    EXPECT_TRUE(a->AutoSetFont());
    EXPECT_TRUE(a->AutoTranslate());
    EXPECT_EQ(a->TranslateIntoLanguage(), olUser);
  }
  EXPECT_EQ(OrlaneForms().size(), before);
}

TEST_F(OrlaneFormsTest, FolderBrowserMakesATypedFolderAndKnowsCancel) {
  machine_->Profile().SetString("shell32.dll", 9248, "Choose the folder:");
  user_->Folders = {"C:\\Program Files\\New Product", ""};
  TOpenFolderDialog dialog(nullptr);
  dialog.SetDirectory("C:\\");
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(user_->LastTitle, "Choose the folder:");
  EXPECT_EQ(dialog.Directory(), "C:\\Program Files\\New Product");
  EXPECT_TRUE(os::WinDirectoryExists("C:\\Program Files\\New Product"));
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.Directory(), "C:\\Program Files\\New Product");
}

}  // namespace
}  // namespace orln

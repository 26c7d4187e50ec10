#include "installer/engine/script/install_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/install.h"
#include "installer/engine/testing/install_script_fixture.h"
#include "os/registry_store.h"
#include "os/testing/test_support.h"

namespace orln::test {
namespace {

using os::TRegRoot;

class InstallRegistryTest : public InstallScriptTest {
 protected:
  std::string Value(TRegRoot root, const std::string& key, const std::string& name) {
    os::TRegValue v;
    if (!machine_->Registry().ReadValue(root, key, name, v)) return "(missing)";
    if (v.Type == os::REG_DWORD) {
      uint32_t n = 0;
      std::memcpy(&n, v.Data.data(), sizeof n);
      return "dword " + std::to_string(n);
    }
    return v.Data;
  }
};

TEST_F(InstallRegistryTest, EntriesAreWrittenUnderEachKeyType) {
  auto* install = Make<TInstall>("Install");
  install->Information().CompanyName = "Tavrin Labs";
  install->Information().ProductName = "Demo";
  install->Information().Version = "2.1";
  auto* spec = Make<TFixedSpecifier>("Sys");

  const struct {
    TKeySpecifierType type;
    const char* key;
  } cases[] = {
      {ksAbsolute, "SOFTWARE\\Mine\\Sub"},
      {ksCompanyName, "SOFTWARE\\Tavrin Labs"},
      {ksProductName, "SOFTWARE\\Tavrin Labs\\Demo"},
      {ksVersion, "SOFTWARE\\Tavrin Labs\\Demo\\2.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    auto* item = Make<TInstallRegistry>("Item", install);
    item->SetRootKey(hkCurrentUser);
    item->SetKey("\\SOFTWARE\\Mine\\Sub\\");
    item->SetKeySpecifierType(c.type);
    if (c.type != ksAbsolute) {
      EXPECT_EQ(item->Key(), "");
      EXPECT_EQ(item->RootKey(), hkLocalMachine);
    }
    TRegistryEntry* text = item->Entries().Add();
    text->SetIdent("Dir");
    text->SetText("%p\\bin;100%%");
    text->SetPathSpecifier(nullptr);
    TRegistryEntry* path = item->Entries().Add();
    path->SetIdent("Sys");
    path->SetPathSpecifier(spec);
    EXPECT_EQ(spec->validated, item);
    EXPECT_EQ(path->Text(), "%p");
    TRegistryEntry* number = item->Entries().Add();
    number->SetIdent("Count");
    number->SetInteger(-2);
    TRegistryEntry* flag = item->Entries().Add();
    flag->SetIdent("On");
    flag->SetBoolean(true);
    EXPECT_EQ(number->EntryType(), retInteger);
    EXPECT_EQ(flag->EntryType(), retBoolean);

    item->SetUninstall(false);
    item->Process();
    const TRegRoot root = c.type == ksAbsolute ? TRegRoot::CurrentUser : TRegRoot::LocalMachine;
    EXPECT_EQ(Value(root, c.key, "Dir"), "%p\\bin;100%%");  // no specifier: as it stands
    EXPECT_EQ(Value(root, c.key, "Sys"), "C:\\WINDOWS\\system32");
    EXPECT_EQ(Value(root, c.key, "Count"), "dword 4294967294");
    EXPECT_EQ(Value(root, c.key, "On"), "dword 1");
    delete item;
  }
}

TEST_F(InstallRegistryTest, KeySettersFollowTheSpecifierType) {
  auto* item = Make<TInstallRegistry>("Item");
  EXPECT_EQ(item->Key(), "\\SOFTWARE\\MyStuff");
  EXPECT_EQ(item->RootKey(), hkLocalMachine);
  EXPECT_EQ(MessageOf<IEInstallRegistry>([&] { item->SetKeySpecifierType(ksVersion); }),
            "There is no TInstall component in your project");
  EXPECT_EQ(item->KeySpecifierType(), ksAbsolute);
  EXPECT_EQ(item->GetKeyPath(), "\\SOFTWARE\\MyStuff");

  auto* install = Make<TInstall>("Install");
  item->SetRootKey(hkUsers);
  item->SetKeySpecifierType(ksProductName);
  item->SetKey("\\Ignored");
  EXPECT_EQ(item->Key(), "");
  EXPECT_EQ(item->RootKey(), hkLocalMachine);
  EXPECT_EQ(item->GetKeyPath(), "\\SOFTWARE\\My Company\\My product");
  // Without its install the item falls back to an absolute key.
  delete install;
  EXPECT_EQ(item->KeySpecifierType(), ksAbsolute);
  EXPECT_EQ(item->GetKeyPath(), "");
}

TEST_F(InstallRegistryTest, SettersKeepTheStoredTypeWhileLoading) {
  Make<TInstall>("Install");
  auto* spec = Make<TFixedSpecifier>("Spec");
  host::ReadComponent(
      "object Script: TDataModule\r\n"
      "  object Item: TInstallRegistry\r\n"
      "    Container = Install\r\n"
      "    Entries = <\r\n"
      "      item\r\n"
      "        Ident = 'A'\r\n"
      "        EntryType = retBoolean\r\n"
      "        Text = 'x'\r\n"
      "        Integer = 7\r\n"
      "        Boolean = True\r\n"
      "        PathSpecifier = Spec\r\n"
      "      end>\r\n"
      "    Key = 'Relative\\Key'\r\n"
      "    KeySpecifierType = ksCompanyName\r\n"
      "  end\r\n"
      "end\r\n",
      module_);
  auto* item = static_cast<TInstallRegistry*>(module_.FindComponent("Item"));
  ASSERT_NE(item, nullptr);
  TRegistryEntry* e = item->Entries().Items(0);
  EXPECT_EQ(e->EntryType(), retBoolean);
  EXPECT_EQ(e->Text(), "x");
  EXPECT_EQ(e->PathSpecifier(), spec);
  EXPECT_EQ(spec->validated, nullptr);  // not validated while loading
  EXPECT_EQ(item->KeySpecifierType(), ksCompanyName);
  EXPECT_EQ(item->Key(), "");

  // Outside loading each value makes its own type; a refusing specifier
  // leaves the entry as it was.
  e->SetText("y");
  EXPECT_EQ(e->EntryType(), retText);
  spec->refuse = true;
  e->SetInteger(1);
  EXPECT_THROW(e->SetPathSpecifier(spec), IEPathSpecifier);
  EXPECT_EQ(e->EntryType(), retInteger);
  EXPECT_EQ(e->Text(), "y");
  // A specifier that goes is dropped; the entry keeps its type.
  delete spec;
  EXPECT_EQ(e->PathSpecifier(), nullptr);
  EXPECT_EQ(e->EntryType(), retInteger);
}

TEST_F(InstallRegistryTest, VetoedEntriesAndMissingKeys) {
  auto* install = Make<TInstall>("Install");
  auto* item = Make<TInstallRegistry>("Item", install);
  item->SetKey("\\SOFTWARE\\Vetoed");
  item->SetUninstall(false);
  for (const char* ident : {"Keep", "Drop"}) {
    TRegistryEntry* e = item->Entries().Add();
    e->SetIdent(ident);
    e->SetText(ident);
  }
  item->OnBeforeWriteEntry = [](host::TObject*, TRegistryEntry* e, bool& write) {
    write = e->Ident() != "Drop";
  };
  item->Process();
  EXPECT_EQ(Value(TRegRoot::LocalMachine, "SOFTWARE\\Vetoed", "Keep"), "Keep");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, "SOFTWARE\\Vetoed", "Drop"), "(missing)");

  // Every entry vetoed: the key is not even made.
  item->SetKey("\\SOFTWARE\\Never");
  item->OnBeforeWriteEntry = [](host::TObject*, TRegistryEntry*, bool& write) { write = false; };
  item->Process();
  EXPECT_FALSE(machine_->Registry().KeyExists(TRegRoot::LocalMachine, "SOFTWARE\\Never"));

  // A root code that names no root cannot make the key.
  item->OnBeforeWriteEntry = nullptr;
  item->SetRootKey(static_cast<TRootKeys>(9));
  EXPECT_EQ(MessageOf<IEInstallRegistry>([&] { item->Process(); }),
            "Item cannot create the key \\SOFTWARE\\Never in the registry");
}

TEST_F(InstallRegistryTest, DamagedStoreIsAnInstallError) {
  auto* install = Make<TInstall>("Install");
  auto* item = Make<TInstallRegistry>("Item", install);
  item->SetKey("\\SOFTWARE\\Damaged");
  item->SetUninstall(false);
  item->Entries().Add()->SetIdent("A");
  ASSERT_TRUE(machine_->Registry().CreateKey(TRegRoot::LocalMachine, "SOFTWARE\\Before"));
  os::test::WriteWholeFile(machine_->RegistryPath(),
                           os::test::ReadWholeFile(machine_->RegistryPath()) + "garbage line\n");
  const std::string m = MessageOf<IEInstallRegistry>([&] { item->Process(); });
  EXPECT_EQ(m.rfind("Item cannot create the key \\SOFTWARE\\Damaged in the registry (", 0), 0u) << m;
  EXPECT_NE(m.find("registry.reg, line "), std::string::npos) << m;
}

TEST_F(InstallRegistryTest, UninstallDataCountsUpAcrossItems) {
  auto* install = Make<TInstall>("Install");
  install->Information().ProductName = "Demo";
  auto* spec = Make<TFixedSpecifier>("Spec");
  auto* first = Make<TInstallRegistry>("First", install);
  first->SetKey("\\SOFTWARE\\One\\");
  TRegistryEntry* e = first->Entries().Add();
  e->SetIdent("Where");
  e->SetPathSpecifier(spec);
  auto* second = Make<TInstallRegistry>("Second", install);
  second->SetRootKey(hkCurrentUser);
  second->SetKey("\\SOFTWARE\\Two");
  second->Entries().Add()->SetIdent("Blank");

  // The registry pass reaches items by their message; they sit among the
  // dialogs' siblings.
  install->Broadcast(install, imInstallRegistry, nullptr);
  const std::string base = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Demo\\RegistryKeys";
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base, "Entries"), "2");
  // Newest first among equal kinds: Second was written first.
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey1", "Key"), "\\SOFTWARE\\Two");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey1", "Root"), "dword 2");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey1\\Entries", "Blank"), "");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey2", "Key"), "\\SOFTWARE\\One");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey2", "Root"), "dword 4");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey2\\Entries", "Where"),
            "C:\\WINDOWS\\system32");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, "SOFTWARE\\One", "Where"), "C:\\WINDOWS\\system32");

  // A count that is no number continues after the records present and
  // overwrites none of them.
  ASSERT_TRUE(machine_->Registry().WriteValue(TRegRoot::LocalMachine, base, "Entries", os::REG_SZ,
                                              std::string("many")));
  first->Process();
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base, "Entries"), "3");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey1", "Key"), "\\SOFTWARE\\Two");
  EXPECT_EQ(Value(TRegRoot::LocalMachine, base + "\\RegistryKey3", "Key"), "\\SOFTWARE\\One");
}

TEST_F(InstallRegistryTest, ScriptEntryNamesAStandardSpecifier) {
  // A script holds the standard specifiers it names; those it does not hold
  // are made once it is read.
  host::ReadComponent(
      "object Script: TDataModule\r\n"
      "  object Install: TInstall\r\n"
      "    RunAutomatic = False\r\n"
      "  end\r\n"
      "  object psSystem: TpsSystem\r\n"
      "  end\r\n"
      "  object Item: TInstallRegistry\r\n"
      "    Container = Install\r\n"
      "    Entries = <\r\n"
      "      item\r\n"
      "        Ident = 'Helper'\r\n"
      "        Text = '%p\\helper.dll'\r\n"
      "        PathSpecifier = psSystem\r\n"
      "      end>\r\n"
      "    Key = '\\SOFTWARE\\Tavrin'\r\n"
      "    Uninstall = False\r\n"
      "  end\r\n"
      "end\r\n",
      module_);
  TStandardPathSpecList& standard = StandardPathSpecifiers();
  EXPECT_EQ(standard.Lookup(TpsSystem::ClassProperties()), module_.FindComponent("psSystem"));
  EXPECT_NE(standard.Lookup(TpsWindow::ClassProperties()), nullptr);
  auto* item = static_cast<TInstallRegistry*>(module_.FindComponent("Item"));
  item->Process();
  EXPECT_EQ(Value(TRegRoot::LocalMachine, "SOFTWARE\\Tavrin", "Helper"),
            "C:\\WINDOWS\\system32\\helper.dll");
}

TEST_F(InstallRegistryTest, ListsAndOwnersRefuseBlanks) {
  EXPECT_EQ(MessageOf<IERegistryEntries>([] { TRegistryEntries entries(nullptr); }),
            "Cannot create a TRegistryEntries component with a Nil Owner");
  EXPECT_EQ(MessageOf<IEInstallRegistryList>([] { InstallRegistryList().Add(nullptr); }),
            "Cannot add blank entry to the registry list");
  auto* item = Make<TInstallRegistry>("Item");
  EXPECT_EQ(InstallRegistryList().IndexOf(item), 0);
  EXPECT_EQ(item->GetKind(), 8500);
  delete item;
  EXPECT_EQ(InstallRegistryList().Count(), 0);
}

}  // namespace
}  // namespace orln::test

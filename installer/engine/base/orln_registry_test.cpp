#include "installer/engine/base/orln_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "installer/engine/base/base_routines.h"
#include "installer/engine/base/orln_exceptions.h"
#include "os/machine.h"
#include "os/registry_store.h"
#include "os/testing/test_machine.h"
#include "os/testing/test_support.h"

namespace orln {
namespace {

using os::TRegRoot;

class OrlnRegistryTest : public os::test::MachineTest {
 protected:
  os::TRegistryStore& Store() { return machine_->Registry(); }
  void SetVersion(uint32_t platform, uint32_t major, uint32_t minor) {
    machine_->Profile().Version.PlatformId = platform;
    machine_->Profile().Version.MajorVersion = major;
    machine_->Profile().Version.MinorVersion = minor;
  }
};

TEST_F(OrlnRegistryTest, LeadingBackslashStartsAtTheRootWhileAnotherKeyIsCurrent) {
  TorlnRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKeyFullAccess("\\SOFTWARE\\Maker", true));
  ASSERT_TRUE(reg.OpenKeyFullAccess("\\SOFTWARE\\Other", true));
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Other");
  ASSERT_TRUE(reg.OpenKeyFullAccess("SOFTWARE\\Maker", true));  // below \SOFTWARE\Other
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Other\\SOFTWARE\\Maker");
  EXPECT_TRUE(Store().KeyExists(TRegRoot::LocalMachine, "software\\other\\software\\maker"));
  EXPECT_FALSE(reg.OpenKeyFullAccess("\\Missing", false));
  ASSERT_TRUE(reg.OpenKeyFullAccess("", true));  // a blank path opens the current key again
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Other\\SOFTWARE\\Maker");
  EXPECT_TRUE(reg.KeyExists("\\software\\maker"));
  EXPECT_FALSE(reg.KeyExists("\\software\\maker\\x"));
  reg.WriteString("Written", "here");
  EXPECT_TRUE(
      Store().ValueExists(TRegRoot::LocalMachine, "SOFTWARE\\Other\\SOFTWARE\\Maker", "written"));
}

TEST_F(OrlnRegistryTest, DeepTreeIsDeletedWhole) {
  // Three subkeys on every level, four levels deep, with values: a walk by
  // index while deleting would leave every other subkey behind.
  std::vector<std::string> level = {"Top"};
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<std::string> next;
    for (const std::string& k : level) {
      for (const char* c : {"a", "B", "c"}) {
        const std::string sub = k + "\\" + c;
        ASSERT_TRUE(Store().CreateKey(TRegRoot::CurrentUser, sub));
        ASSERT_TRUE(Store().WriteValue(TRegRoot::CurrentUser, sub, "v", os::REG_SZ, sub));
        next.push_back(sub);
      }
    }
    level = next;
  }
  ASSERT_TRUE(Store().CreateKey(TRegRoot::CurrentUser, "Topmost"));  // a neighbour stays
  TorlnRegistry reg;
  ASSERT_TRUE(reg.OpenKeyFullAccess("\\Top\\a", false));
  EXPECT_TRUE(reg.DeleteKeyRecursive("\\Top"));
  EXPECT_FALSE(Store().KeyExists(TRegRoot::CurrentUser, "Top"));
  EXPECT_TRUE(Store().KeyExists(TRegRoot::CurrentUser, "Topmost"));
  EXPECT_FALSE(reg.DeleteKeyRecursive("\\Top"));
  // The routine ignores what is not there.
  RegDeleteTree(hkCurrentUser, "\\Top");
  RegDeleteTree(hkCurrentUser, "\\Topmost");
  EXPECT_FALSE(Store().KeyExists(TRegRoot::CurrentUser, "Topmost"));
}

TEST_F(OrlnRegistryTest, ValueRoutinesByRootCode) {
  RegWriteString(hkLocalMachine, "\\SOFTWARE\\Maker\\Product", "Path", "C:\\Program Files");
  RegWriteInteger(hkUsers, "Counts", "Runs", 42);
  EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Maker\\Product", "path", "d"),
            "C:\\Program Files");
  EXPECT_EQ(RegReadInteger(hkUsers, "Counts", "Runs", -1), 42);
  TRegRoot root;
  ASSERT_TRUE(os::RegRootOfHKey(os::HKEY_USERS, root));
  EXPECT_TRUE(Store().KeyExists(TRegRoot::Users, "Counts"));
  // Missing keys, missing values and values of another type give the default.
  EXPECT_EQ(RegReadString(hkLocalMachine, "\\Nope", "Path", "d"), "d");
  EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Maker\\Product", "Nope", "d"), "d");
  EXPECT_EQ(RegReadString(hkUsers, "Counts", "Runs", "d"), "d");
  EXPECT_EQ(RegReadInteger(hkLocalMachine, "\\SOFTWARE\\Maker\\Product", "Path", 7), 7);
  EXPECT_EQ(RegReadInteger(9, "Counts", "Runs", 7), 7);
  EXPECT_EQ(RootCodeOfKey(os::HKEY_CURRENT_CONFIG, -1), hkCurrentConfig);
  EXPECT_EQ(RootCodeOfKey(0x80000004u, -1), -1);
}

TEST_F(OrlnRegistryTest, WriteFailuresRaiseWithTheirTexts) {
  RegWriteString(hkLocalMachine, "\\k", "v", "1");
  ASSERT_EQ(chmod(machine_->RegistryPath().c_str(), 0444), 0);
  try {
    RegWriteString(hkLocalMachine, "\\k", "v", "2");
    FAIL();
  } catch (const EIRCannotWriteValue& e) {
    EXPECT_STREQ(e.what(), "Cannot install into registry. Key: \\k Ident: v Value 2");
  }
  try {
    RegWriteInteger(hkLocalMachine, "\\new", "v", 2);
    FAIL();
  } catch (const EIRCannotWriteValue& e) {
    EXPECT_STREQ(e.what(), "\\new");
  }
  EXPECT_THROW(RegWriteString(6, "\\k", "v", "1"), EIRCannotWriteValue);
  EXPECT_FALSE(AddRunOnce("Setup", "x", false));
  EXPECT_EQ(RegReadString(hkLocalMachine, "\\k", "v", ""), "1");
}

TEST_F(OrlnRegistryTest, RunOnceGoesWhereTheWindowsVersionKeepsIt) {
  struct Case {
    uint32_t platform, major, minor;
    TRegRoot root;
  };
  const Case cases[] = {
      {os::kPlatformNT, 4, 0, TRegRoot::CurrentUser},         // NT 4
      {os::kPlatformNT, 5, 0, TRegRoot::CurrentUser},         // 2000
      {os::kPlatformNT, 5, 1, TRegRoot::CurrentUser},         // XP
      {os::kPlatformNT, 3, 51, TRegRoot::LocalMachine},       // NT 3.51
      {os::kPlatformNT, 6, 0, TRegRoot::LocalMachine},        // unidentified
      {os::kPlatformWindows, 4, 0, TRegRoot::LocalMachine},   // 95
      {os::kPlatformWindows, 4, 10, TRegRoot::LocalMachine},  // 98
      {os::kPlatformWindows, 4, 90, TRegRoot::LocalMachine},  // ME
      {os::kPlatformWin32s, 3, 11, TRegRoot::LocalMachine},
  };
  const std::string key = std::string(kRunOnceKey).substr(1);
  for (const Case& c : cases) {
    RegDeleteTree(hkCurrentUser, "\\Software");
    RegDeleteTree(hkLocalMachine, "\\Software");
    SetVersion(c.platform, c.major, c.minor);
    ASSERT_TRUE(AddRunOnce("Setup", "C:\\setup.exe /resume", true));
    os::TRegValue v;
    ASSERT_TRUE(Store().ReadValue(c.root, key, "Setup", v)) << c.major << "." << c.minor;
    EXPECT_EQ(v.Data, "C:\\setup.exe /resume");
    const TRegRoot other =
        c.root == TRegRoot::CurrentUser ? TRegRoot::LocalMachine : TRegRoot::CurrentUser;
    EXPECT_FALSE(Store().KeyExists(other, key));
  }
}

TEST_F(OrlnRegistryTest, UniqueRunOnceNamesTakeTheFirstFreeNumber) {
  SetVersion(os::kPlatformNT, 5, 1);
  const std::string key = std::string(kRunOnceKey).substr(1);
  ASSERT_TRUE(AddRunOnce("Setup", "one", true));
  ASSERT_TRUE(AddRunOnce("Setup", "two", true));
  ASSERT_TRUE(AddRunOnce("SETUP", "three", true));
  ASSERT_TRUE(Store().DeleteValue(TRegRoot::CurrentUser, key, "Setup1"));
  ASSERT_TRUE(AddRunOnce("Setup", "four", true));
  ASSERT_TRUE(AddRunOnce("Setup", "replaced", false));
  std::vector<std::string> names;
  ASSERT_TRUE(Store().GetValueNames(TRegRoot::CurrentUser, key, names));
  EXPECT_EQ(names, (std::vector<std::string>{"Setup", "SETUP2", "Setup1"}));
  os::TRegValue v;
  ASSERT_TRUE(Store().ReadValue(TRegRoot::CurrentUser, key, "Setup", v));
  EXPECT_EQ(v.Data, "replaced");
  ASSERT_TRUE(Store().ReadValue(TRegRoot::CurrentUser, key, "Setup1", v));
  EXPECT_EQ(v.Data, "four");
}

// A store the reader refuses is no missing value: writes raise the routines'
// own exception naming the store's file and line, reads give the default,
// and the store is left as it was.
TEST_F(OrlnRegistryTest, DamagedStoreReachesTheRoutinesAsTheirOwnErrors) {
  ASSERT_TRUE(Store().CreateKey(TRegRoot::LocalMachine, "SOFTWARE\\Kept"));
  const std::string damaged =
      os::test::ReadWholeFile(machine_->RegistryPath()) + "not a line of a store\n";
  os::test::WriteWholeFile(machine_->RegistryPath(), damaged);
  try {
    RegWriteString(hkLocalMachine, "\\SOFTWARE\\X", "Name", "Value");
    ADD_FAILURE() << "nothing raised";
  } catch (const EIRCannotWriteValue& e) {
    EXPECT_EQ(e.Message().rfind(
                  "Cannot install into registry. Key: \\SOFTWARE\\X Ident: Name Value Value (", 0),
              0u)
        << e.Message();
    EXPECT_NE(e.Message().find(machine_->RegistryPath() + ", line "), std::string::npos);
  }
  try {
    RegWriteInteger(hkLocalMachine, "\\SOFTWARE\\X", "N", 1);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIRCannotWriteValue& e) {
    EXPECT_NE(e.Message().find("registry.reg, line "), std::string::npos);
  }
  EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Kept", "V", "dflt"), "dflt");
  EXPECT_EQ(RegReadInteger(hkLocalMachine, "\\SOFTWARE\\Kept", "V", 7), 7);
  EXPECT_NO_THROW(RegDeleteTree(hkLocalMachine, "\\SOFTWARE\\Kept"));
  EXPECT_FALSE(AddRunOnce("Setup", "x", true));
  EXPECT_EQ(os::test::ReadWholeFile(machine_->RegistryPath()), damaged);
}

// A damaged profile of the machine reaches the base routines as their own
// error, naming the file and line (in a child: the default machine is
// opened once per process).
TEST(ProfileDamageTest, BaseRoutinesRaiseTheirOwnError) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  ASSERT_EQ(::mkdir((dir / "machine").c_str(), 0700), 0);
  os::test::WriteWholeFile(dir / "machine/profile.ini", "[Version]\nMajor=5\n!!! damaged\n");
  const int code = os::test::RunInChild([&] {
    ::setenv("TAV_MACHINE_ROOT", (dir / "machine").c_str(), 1);
    os::SetMachine(nullptr);
    try {
      GetWindowsVersion();
    } catch (const EAPIRoutines& e) {
      return e.Message().find("profile.ini, line 3") != std::string::npos ? 0 : 2;
    } catch (...) {
      return 3;
    }
    return 4;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace orln

#include "host/rtl/registry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host/rtl/string_list.h"
#include "os/testing/test_support.h"

namespace host {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    store_ = std::make_unique<os::TRegistryStore>(dir_ / "registry.reg");
  }
  os::test::TTempDir dir_;
  std::unique_ptr<os::TRegistryStore> store_;
};

TEST_F(RegistryTest, RelativeAndAbsoluteKeys) {
  TRegistry reg(*store_);
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Maker", true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Maker");
  ASSERT_TRUE(reg.OpenKey("Product", true));  // below the current key
  EXPECT_EQ(reg.CurrentPath(), "Software\\Maker\\Product");
  EXPECT_TRUE(store_->KeyExists(os::TRegRoot::LocalMachine, "software\\maker\\product"));
  ASSERT_TRUE(reg.OpenKey("\\Other", true));  // from the root again
  EXPECT_EQ(reg.CurrentPath(), "Other");
  EXPECT_FALSE(reg.OpenKey("Missing", false));
  EXPECT_EQ(reg.CurrentPath(), "Other");  // a failed open keeps the current key
  EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\maker"));
  EXPECT_FALSE(reg.KeyExists("Software"));           // relative to \Other
  EXPECT_FALSE(reg.DeleteKey("\\Software\\Maker"));  // has a subkey
  EXPECT_TRUE(reg.DeleteKey("\\Software\\Maker\\Product"));
  EXPECT_THROW(reg.SetRootKey(0x80000004u), ERegistryException);
}

TEST_F(RegistryTest, ValuesOfEveryKindAndTheirWrongReads) {
  TRegistry reg(*store_);
  ASSERT_TRUE(reg.OpenKey("\\k", true));
  reg.WriteString("S", "text");
  reg.WriteExpandString("E", "%TEMP%");
  reg.WriteInteger("I", -5);
  reg.WriteBool("B", true);
  const char bytes[] = {1, 2, 3};
  reg.WriteBinaryData("Bin", bytes, 3);
  EXPECT_EQ(reg.ReadString("s"), "text");
  EXPECT_EQ(reg.ReadString("E"), "%TEMP%");
  EXPECT_EQ(reg.ReadInteger("I"), -5);
  EXPECT_TRUE(reg.ReadBool("B"));
  char buf[3];
  EXPECT_EQ(reg.ReadBinaryData("Bin", buf, 3), 3);
  EXPECT_EQ(std::memcmp(buf, bytes, 3), 0);
  EXPECT_THROW(reg.ReadBinaryData("Bin", buf, 2), ERegistryException);
  EXPECT_EQ(reg.GetDataType("S"), rdString);
  EXPECT_EQ(reg.GetDataType("E"), rdExpandString);
  EXPECT_EQ(reg.GetDataType("I"), rdInteger);
  EXPECT_EQ(reg.GetDataType("Bin"), rdBinary);
  EXPECT_EQ(reg.GetDataSize("S"), 5);
  EXPECT_EQ(reg.GetDataSize("none"), -1);
  EXPECT_EQ(reg.ReadString("none"), "");
  try {
    reg.ReadInteger("S");
    FAIL();
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'S'");
  }
  try {
    reg.ReadInteger("none");
    FAIL();
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Failed to get data for 'none'");
  }
  EXPECT_THROW(reg.ReadString("I"), ERegistryException);
  EXPECT_THROW(reg.ReadBinaryData("S", buf, 3), ERegistryException);
  // A DWORD of another size is no integer.
  ASSERT_TRUE(store_->WriteValue(os::TRegRoot::CurrentUser, "k", "Short", os::REG_DWORD, "ab"));
  EXPECT_THROW(reg.ReadInteger("Short"), ERegistryException);

  TStringList names;
  reg.GetValueNames(names);
  EXPECT_EQ(names.CommaText(), "S,E,I,B,Bin,Short");
  TRegKeyInfo info;
  ASSERT_TRUE(reg.GetKeyInfo(info));
  EXPECT_EQ(info.NumValues, 6);
  EXPECT_EQ(info.NumSubKeys, 0);
  EXPECT_TRUE(reg.DeleteValue("S"));
  EXPECT_FALSE(reg.ValueExists("S"));
}

TEST_F(RegistryTest, ReadOnlyKeysRefuseWrites) {
  {
    TRegistry reg(*store_);
    ASSERT_TRUE(reg.OpenKey("\\k", true));
    reg.WriteString("v", "1");
  }
  TRegistry reg(*store_);
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\k"));
  EXPECT_EQ(reg.ReadString("v"), "1");
  try {
    reg.WriteString("v", "2");
    FAIL();
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'v'");
  }
  EXPECT_FALSE(reg.DeleteValue("v"));
  reg.SetAccess(KEY_READ);
  EXPECT_FALSE(reg.OpenKey("\\new", true));
  reg.CloseKey();
  EXPECT_THROW(reg.WriteString("v", "3"), ERegistryException);  // no key open
}

}  // namespace
}  // namespace host

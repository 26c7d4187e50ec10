#include "engine/components/tav_login_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/components/testing/scripted_login.h"

namespace tav {
namespace {

TEST(TavLoginDialogTest, FlagsEnableTheEditsAndSetTheFocus) {
  test::TScriptedLoginPrompter prompter;
  struct TCase {
    int flags;
    bool key, user;
    const char* focus;
  } cases[] = {{0, false, false, "User Password:"},
               {1, true, false, "Database Password:"},
               {2, false, true, "User Password:"},
               {3, true, true, "Database Password:"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.flags);
    prompter.shown.clear();
    prompter.Answer({true, "newkey", "newuser", "newpwd"});
    std::string key = "k", user = "u", pwd = "p";
    EXPECT_TRUE(ShowTavLoginDialog("/data/dir/Sales.tav", c.flags, key, user, pwd));
    ASSERT_EQ(prompter.shown.size(), 1u);
    const TTavPasswordDialog& d = prompter.shown[0];
    EXPECT_EQ(d.Caption, "Database Login - Sales.tav");
    EXPECT_EQ(d.ebMasterKey.Enabled, c.key);
    EXPECT_EQ(d.ebUsername.Enabled, c.user);
    EXPECT_EQ(d.ebPassword.Enabled, c.user);
    EXPECT_TRUE(d.ebMasterKey.Password);
    EXPECT_FALSE(d.ebUsername.Password);
    EXPECT_EQ(d.ebUsername.Label, "User name:");
    // What a disabled edit holds comes back unchanged.
    EXPECT_EQ(key, c.key ? "newkey" : "k");
    EXPECT_EQ(user, c.user ? "newuser" : "u");
    EXPECT_EQ(pwd, c.user ? "newpwd" : "p");
  }
}

TEST(TavLoginDialogTest, CancelKeepsTheTextsAndEntriesAreCutTo40) {
  test::TScriptedLoginPrompter prompter;
  std::string key = "k", user = "u", pwd = "p";
  prompter.Answer({false, "x", "y", "z"});
  EXPECT_FALSE(ShowTavLoginDialog("Sales.tav", 3, key, user, pwd));
  EXPECT_EQ(key + user + pwd, "kup");
  prompter.Answer({true, std::string(45, 'K'), std::string(41, 'U'), "p"});
  EXPECT_TRUE(ShowTavLoginDialog("Sales.tav", 3, key, user, pwd));
  EXPECT_EQ(key, std::string(40, 'K'));
  EXPECT_EQ(user, std::string(40, 'U'));
  EXPECT_EQ(prompter.shown.back().Caption, "Database Login - Sales.tav");
}

TEST(TavLoginDialogTest, WithoutATerminalTheDefaultPrompterCancels) {
  // Test runs have no terminal on their input; the default never waits.
  if (isatty(0)) GTEST_SKIP() << "input is a terminal";
  std::string key = "k", user = "u", pwd = "p";
  EXPECT_FALSE(ShowTavLoginDialog("Sales.tav", 1, key, user, pwd));
  EXPECT_EQ(key, "k");
}

}  // namespace
}  // namespace tav

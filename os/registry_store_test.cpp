#include "os/registry_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "os/machine.h"
#include "os/testing/test_machine.h"
#include "os/testing/test_support.h"
#include "os/win_error.h"

namespace os::test {
namespace {

using R = TRegRoot;

std::string Dword(uint32_t d) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((d >> (8 * i)) & 0xff);
  return s;
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  std::string StorePath() const { return dir_ / "registry.reg"; }

  TTempDir dir_;
};

TEST_F(RegistryStoreTest, EveryTypeAndOddBytesRoundTripThroughTheFile) {
  std::string odd;
  for (int b = 0; b < 256; ++b) odd += static_cast<char>(b);
  const std::vector<TRegValue> values = {
      {"", REG_SZ, "the default"},
      {"Path", REG_SZ, "C:\\Program Files\\\"Tavrin\""},
      {"Empty", REG_SZ, ""},
      {"Lines", REG_SZ, "one\r\ntwo\tthree"},
      {"High", REG_SZ, "\xe9t\xe9 \xff"},
      {"Count", REG_DWORD, Dword(0xdeadbeef)},
      {"Blob", REG_BINARY, odd},
      {"NoBytes", REG_BINARY, ""},
      {"Expand", REG_EXPAND_SZ, std::string("%SystemRoot%\0", 13)},
      {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {"Odd type", 0x1234, "xy"},
      {"ShortDword", REG_DWORD, "ab"},
  };
  {
    TRegistryStore store(StorePath());
    ASSERT_TRUE(store.CreateKey(R::LocalMachine, "Software\\MiXed Case\\Leaf"));
    ASSERT_TRUE(store.CreateKey(R::CurrentUser, "Empty Key"));
    for (const TRegValue& v : values) {
      ASSERT_TRUE(store.WriteValue(R::LocalMachine, "software\\mixed case", v.Name, v.Type, v.Data))
          << v.Name;
    }
    ASSERT_TRUE(store.WriteValue(R::Users, "", "AtRoot", REG_SZ, "x"));
  }
  TRegistryStore again(StorePath());
  std::vector<std::string> names;
  ASSERT_TRUE(again.GetValueNames(R::LocalMachine, "SOFTWARE\\MIXED CASE", names));
  ASSERT_EQ(names.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(names[i], values[i].Name);
    TRegValue v;
    ASSERT_TRUE(again.ReadValue(R::LocalMachine, "Software\\MiXed Case", values[i].Name, v));
    EXPECT_EQ(v.Type, values[i].Type) << values[i].Name;
    EXPECT_EQ(v.Data, values[i].Data) << values[i].Name;
  }
  ASSERT_TRUE(again.GetKeyNames(R::LocalMachine, "Software", names));
  EXPECT_EQ(names, std::vector<std::string>{"MiXed Case"});
  EXPECT_TRUE(again.KeyExists(R::CurrentUser, "empty key"));
  EXPECT_TRUE(again.KeyExists(R::LocalMachine, "software\\mixed case\\leaf"));
  EXPECT_TRUE(again.ValueExists(R::Users, "", "atroot"));
  // The same store gives the same text, read or written.
  EXPECT_EQ(again.Text(), ReadWholeFile(StorePath()));
  EXPECT_EQ(TRegTree::Parse(again.Text(), "x").Text(), again.Text());
}

TEST_F(RegistryStoreTest, FileTextIsStableAndReadable) {
  TRegistryStore store(StorePath());
  ASSERT_TRUE(store.CreateKey(R::LocalMachine, "b"));
  ASSERT_TRUE(store.CreateKey(R::LocalMachine, "A\\z"));
  ASSERT_TRUE(store.CreateKey(R::ClassesRoot, ".txt"));
  ASSERT_TRUE(store.WriteValue(R::LocalMachine, "b", "Z", REG_SZ, "1"));
  ASSERT_TRUE(store.WriteValue(R::LocalMachine, "b", "a", REG_DWORD, Dword(10)));
  ASSERT_TRUE(store.WriteValue(R::LocalMachine, "b", "", REG_BINARY, "\x01\xff"));
  EXPECT_EQ(ReadWholeFile(StorePath()),
            "REGEDIT4\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\.txt]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A\\z]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\b]\r\n"
            "\"Z\"=\"1\"\r\n"
            "\"a\"=dword:0000000a\r\n"
            "@=hex:01,ff\r\n\r\n");
}

TEST_F(RegistryStoreTest, KeysAndValuesFollowTheWindowsRules) {
  TRegistryStore store(StorePath());
  ASSERT_TRUE(store.CreateKey(R::CurrentUser, "a\\b\\c"));
  EXPECT_TRUE(store.CreateKey(R::CurrentUser, "A\\B"));  // exists already
  EXPECT_TRUE(store.HasSubKeys(R::CurrentUser, "a"));
  EXPECT_FALSE(store.HasSubKeys(R::CurrentUser, "a\\b\\c"));
  EXPECT_FALSE(store.DeleteKey(R::CurrentUser, "a"));
  EXPECT_EQ(GetLastWinError(), winerr::kAccessDenied);
  EXPECT_FALSE(store.DeleteKey(R::CurrentUser, "nope"));
  EXPECT_EQ(GetLastWinError(), winerr::kFileNotFound);
  EXPECT_FALSE(store.WriteValue(R::CurrentUser, "missing", "v", REG_SZ, "x"));
  EXPECT_EQ(GetLastWinError(), winerr::kFileNotFound);
  EXPECT_FALSE(store.CreateKey(R::CurrentUser, "a\\\\b"));
  EXPECT_EQ(GetLastWinError(), winerr::kInvalidParameter);
  EXPECT_FALSE(store.CreateKey(R::CurrentUser, std::string(256, 'k')));
  EXPECT_FALSE(store.WriteValue(R::CurrentUser, "a", "line\nbreak", REG_SZ, ""));
  EXPECT_EQ(GetLastWinError(), winerr::kInvalidParameter);

  ASSERT_TRUE(store.WriteValue(R::CurrentUser, "a", "Name", REG_SZ, "1"));
  ASSERT_TRUE(store.WriteValue(R::CurrentUser, "a", "Other", REG_SZ, "2"));
  ASSERT_TRUE(store.WriteValue(R::CurrentUser, "a", "NAME", REG_DWORD, Dword(3)));
  std::vector<std::string> names;
  ASSERT_TRUE(store.GetValueNames(R::CurrentUser, "a", names));
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Other"}));  // first case kept
  EXPECT_TRUE(store.DeleteValue(R::CurrentUser, "A", "name"));
  EXPECT_FALSE(store.DeleteValue(R::CurrentUser, "A", "name"));
  EXPECT_EQ(GetLastWinError(), winerr::kFileNotFound);

  EXPECT_TRUE(store.DeleteKey(R::CurrentUser, "a\\b\\c"));
  EXPECT_TRUE(store.DeleteKey(R::CurrentUser, "a\\b"));
  EXPECT_FALSE(store.KeyExists(R::CurrentUser, "a\\b"));
  EXPECT_FALSE(store.DeleteKey(R::CurrentUser, ""));  // a root stays
  ASSERT_TRUE(store.GetKeyNames(R::CurrentUser, "", names));
  EXPECT_EQ(names, std::vector<std::string>{"a"});
}

TEST_F(RegistryStoreTest, SubkeysEnumerateInNameOrderWithoutRegardToCase) {
  TRegistryStore store(StorePath());
  for (const char* k : {"beta", "Alpha", "gamma", "ALPHA2", "\xe9t\xe9", "Delta"}) {
    ASSERT_TRUE(store.CreateKey(R::Users, std::string("x\\") + k));
  }
  std::vector<std::string> names;
  ASSERT_TRUE(store.GetKeyNames(R::Users, "x", names));
  EXPECT_EQ(names,
            (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "Delta", "gamma", "\xe9t\xe9"}));
}

TEST_F(RegistryStoreTest, DamagedFilesNameTheirLine) {
  struct Case {
    const char* text;
    int line;
  };
  const Case cases[] = {
      {"REGEDIT5\r\n", 1},
      {"REGEDIT4\r\n\r\n\"a\"=\"b\"\r\n", 3},
      {"REGEDIT4\r\n[HKEY_NOWHERE\\x]\r\n", 2},
      {"REGEDIT4\r\n[HKEY_USERS\\x\r\n", 2},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=\"b\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=dword:123456789\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=hex:1g\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=hex:01,\\\r\n  02,\r\n", 4},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=hex:01,\\\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\"=-\r\n", 3},
      {"REGEDIT4\r\n[-HKEY_USERS\\x]\r\n", 2},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n\"a\\n\"=\"b\"\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\nrubbish\r\n", 3},
      {"REGEDIT4\r\n[HKEY_USERS\\x\\\\y]\r\n", 2},
  };
  for (const Case& c : cases) {
    try {
      TRegTree::Parse(c.text, "store.reg");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EDamagedFile& e) {
      EXPECT_EQ(e.File(), "store.reg");
      EXPECT_EQ(e.Line(), c.line) << c.text << " " << e.what();
    }
  }
  // What a hand-edited file may hold is read.
  const TRegTree tree = TRegTree::Parse(
      "\r\n; exported by hand\r\nREGEDIT4\r\n  [hkey_users\\X]  \r\n\"a\" = dword:A\r\n"
      "\"b\"=hex:01, 02,\\\r\n   03\r\n\"a\"=\"again\"\n",
      "f");
  const TRegTree::TKey* key = tree.Find(R::Users, "x");
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->Values.size(), 2u);
  EXPECT_EQ(key->Values[0].Data, "again");
  EXPECT_EQ(key->Values[1].Data, "\x01\x02\x03");
}

TEST_F(RegistryStoreTest, DamagedStoreFileThrowsFromTheStore) {
  WriteWholeFile(StorePath(), "REGEDIT4\r\n[HKEY_USERS\\x]\r\nbad\r\n");
  TRegistryStore store(StorePath());
  try {
    store.KeyExists(R::Users, "x");
    FAIL();
  } catch (const EDamagedFile& e) {
    EXPECT_EQ(e.Line(), 3);
    EXPECT_EQ(e.File(), StorePath());
  }
  EXPECT_THROW(store.WriteValue(R::Users, "x", "v", REG_SZ, "1"), EDamagedFile);
  EXPECT_EQ(ReadWholeFile(StorePath()), "REGEDIT4\r\n[HKEY_USERS\\x]\r\nbad\r\n");
}

TEST_F(RegistryStoreTest, StoreWithoutWriteBitReadsAndRefusesChanges) {
  {
    TRegistryStore store(StorePath());
    ASSERT_TRUE(store.CreateKey(R::LocalMachine, "k"));
    ASSERT_TRUE(store.WriteValue(R::LocalMachine, "k", "v", REG_SZ, "kept"));
  }
  ASSERT_EQ(chmod(StorePath().c_str(), 0444), 0);
  const std::string before = ReadWholeFile(StorePath());
  TRegistryStore store(StorePath());
  TRegValue v;
  ASSERT_TRUE(store.ReadValue(R::LocalMachine, "k", "v", v));
  EXPECT_EQ(v.Data, "kept");
  EXPECT_FALSE(store.WriteValue(R::LocalMachine, "k", "v", REG_SZ, "changed"));
  EXPECT_EQ(GetLastWinError(), winerr::kAccessDenied);
  EXPECT_FALSE(store.CreateKey(R::LocalMachine, "new"));
  EXPECT_EQ(GetLastWinError(), winerr::kAccessDenied);
  EXPECT_FALSE(store.DeleteValue(R::LocalMachine, "k", "v"));
  EXPECT_EQ(ReadWholeFile(StorePath()), before);
  ASSERT_TRUE(store.ReadValue(R::LocalMachine, "k", "v", v));
  EXPECT_EQ(v.Data, "kept");
}

TEST_F(RegistryStoreTest, OversizedStoreIsRefusedUnread) {
  WriteWholeFile(StorePath(), "REGEDIT4\r\n");
  ASSERT_EQ(truncate(StorePath().c_str(), kMaxRegistryStoreSize + 1), 0);
  TRegistryStore store(StorePath());
  EXPECT_THROW(store.KeyExists(R::Users, ""), EDamagedFile);
}

TEST_F(RegistryStoreTest, ChangesOfAnotherStoreAreSeen) {
  TRegistryStore a(StorePath());
  TRegistryStore b(StorePath());
  ASSERT_TRUE(a.CreateKey(R::Users, "k"));
  EXPECT_TRUE(b.KeyExists(R::Users, "k"));
  ASSERT_TRUE(b.WriteValue(R::Users, "k", "v", REG_SZ, "from b"));
  ASSERT_TRUE(a.WriteValue(R::Users, "k", "w", REG_SZ, "from a"));
  EXPECT_TRUE(b.ValueExists(R::Users, "k", "w"));
  EXPECT_TRUE(a.ValueExists(R::Users, "k", "v"));
  // A hand edit in place is seen too.
  WriteWholeFile(StorePath(), "REGEDIT4\r\n[HKEY_USERS\\edited]\r\n");
  EXPECT_TRUE(a.KeyExists(R::Users, "edited"));
  EXPECT_FALSE(a.KeyExists(R::Users, "k"));
  // And so is the file going away.
  ASSERT_EQ(unlink(StorePath().c_str()), 0);
  EXPECT_FALSE(a.KeyExists(R::Users, "edited"));
}

TEST_F(RegistryStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kValues = 60;
  auto writer = [&](const char* key) {
    return [this, key]() {
      TRegistryStore store(StorePath());
      if (!store.CreateKey(R::LocalMachine, key)) return 1;
      for (int i = 0; i < kValues; ++i) {
        if (!store.WriteValue(R::LocalMachine, key, "v" + std::to_string(i), REG_DWORD, Dword(i))) {
          return 2;
        }
      }
      return 0;
    };
  };
  std::vector<pid_t> pids;
  for (const char* key : {"first", "second"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int code = 99;
      try {
        code = writer(key)();
      } catch (...) {
      }
      _exit(code);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  TRegistryStore store(StorePath());
  for (const char* key : {"first", "second"}) {
    std::vector<std::string> names;
    ASSERT_TRUE(store.GetValueNames(R::LocalMachine, key, names));
    EXPECT_EQ(names.size(), static_cast<size_t>(kValues)) << key;
  }
}

TEST_F(RegistryStoreTest, ProcessKilledWhileSavingLeavesOldOrNewStore) {
  {
    TRegistryStore store(StorePath());
    ASSERT_TRUE(store.CreateKey(R::CurrentUser, "k"));
    // A store large enough that a save takes a while.
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(store.WriteValue(R::CurrentUser, "k", "pad" + std::to_string(i), REG_BINARY,
                                   std::string(200, static_cast<char>(i))));
    }
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 6; ++round) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      TRegistryStore store(StorePath());
      for (uint32_t i = 0;; ++i) store.WriteValue(R::CurrentUser, "k", "n", REG_DWORD, Dword(i));
    }
    usleep(2000 + rng() % 20000);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    TRegistryStore store(StorePath());
    std::vector<std::string> names;
    ASSERT_TRUE(store.GetValueNames(R::CurrentUser, "k", names)) << round;
    EXPECT_GE(names.size(), 200u);
    // The next writer is not held up by what the dead one left.
    ASSERT_TRUE(store.WriteValue(R::CurrentUser, "k", "after", REG_SZ, "x"));
  }
}

TEST_F(RegistryStoreTest, RootHandlesMapToCodes) {
  const HKEY handles[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
                          HKEY_DYN_DATA,     HKEY_LOCAL_MACHINE,  HKEY_USERS};
  for (int i = 0; i < kRegRootCount; ++i) {
    TRegRoot root;
    ASSERT_TRUE(RegRootOfHKey(handles[i], root));
    EXPECT_EQ(static_cast<int>(root), i);
    EXPECT_EQ(HKeyOfRegRoot(root), handles[i]);
  }
  TRegRoot root;
  EXPECT_FALSE(RegRootOfHKey(0x80000004u, root));
  EXPECT_STREQ(RegRootName(TRegRoot::LocalMachine), "HKEY_LOCAL_MACHINE");
}

using MachineRegistryTest = MachineTest;

TEST_F(MachineRegistryTest, MachineKeepsItsRegistryInItsRoot) {
  ASSERT_TRUE(MachineRegistry().CreateKey(R::LocalMachine, "Software"));
  EXPECT_EQ(MachineRegistry().Path(), machine_->Root() + "/registry.reg");
  EXPECT_NE(ReadWholeFile(machine_->RegistryPath()).find("[HKEY_LOCAL_MACHINE\\Software]"),
            std::string::npos);
}

}  // namespace
}  // namespace os::test

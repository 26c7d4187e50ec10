#include "os/ini_file.h"

#include <gtest/gtest.h>

#include <string>

#include "os/host_profile.h"
#include "os/random.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

using test::MachineTest;
using test::ReadWholeFile;
using test::WriteWholeFile;

class IniFileTest : public MachineTest {};

TEST_F(IniFileTest, AWriteChangesOneLineAndKeepsEveryOtherByteForByte) {
  const std::string original =
      "; comment kept as is\r\n"
      "[Rename]\r\n"
      "  C:\\OLD.DLL  =  C:\\NEW.1   \r\n"
      "\r\n"
      "[boot]\n"  // a line ending of another kind
      "shell=\"explorer.exe\"\r\n"
      "odd line=with = signs";  // no line ending at the end
  WriteWholeFile(OnC("WINDOWS/wininit.ini"), original);
  const std::string path = "C:\\windows\\WININIT.INI";

  EXPECT_EQ(IniReadString(path, "rename", "c:\\old.dll", ""), "C:\\NEW.1");
  EXPECT_EQ(IniReadString(path, "BOOT", "Shell", ""), "explorer.exe");
  EXPECT_EQ(IniReadString(path, "boot", "odd line", ""), "with = signs");
  EXPECT_EQ(IniReadString(path, "boot", "missing", "dflt"), "dflt");
  std::string value;
  EXPECT_FALSE(IniReadString(path, "nosection", "x", value));
  EXPECT_EQ(GetLastWinError(), winerr::kSuccess);

  ASSERT_TRUE(IniWriteString(path, "RENAME", "C:\\old.dll", "C:\\OTHER.2"));
  ASSERT_TRUE(IniWriteString(path, "Rename", "C:\\second.dll", "C:\\SECOND.1"));
  ASSERT_TRUE(IniWriteString(path, "boot", "added", "v"));
  ASSERT_TRUE(IniWriteString(path, "New Section", "k", "v"));
  EXPECT_EQ(ReadWholeFile(OnC("WINDOWS/wininit.ini")),
            "; comment kept as is\r\n"
            "[Rename]\r\n"
            "C:\\OLD.DLL=C:\\OTHER.2\r\n"
            "C:\\second.dll=C:\\SECOND.1\r\n"
            "\r\n"
            "[boot]\n"
            "shell=\"explorer.exe\"\r\n"
            "odd line=with = signs\r\n"
            "added=v\r\n"
            "[New Section]\r\n"
            "k=v\r\n");
}

TEST_F(IniFileTest, FileAndSectionAreMadeWhenMissing) {
  std::string value;
  EXPECT_FALSE(IniReadString("C:\\new.ini", "s", "k", value));
  EXPECT_EQ(GetLastWinError(), winerr::kFileNotFound);
  ASSERT_TRUE(IniWriteString("C:\\new.ini", "Section", "Key", "Value"));
  EXPECT_EQ(ReadWholeFile(OnC("new.ini")), "[Section]\r\nKey=Value\r\n");
  EXPECT_EQ(IniReadString("C:\\NEW.INI", "section", "KEY", ""), "Value");
  EXPECT_FALSE(IniWriteString("C:\\no folder\\new.ini", "s", "k", "v"));
  EXPECT_EQ(GetLastWinError(), winerr::kPathNotFound);
  // A text that would make a line of its own, or a name the file could not
  // hold, is refused rather than written.
  EXPECT_FALSE(IniWriteString("C:\\new.ini", "s", "k", "two\r\nlines"));
  EXPECT_FALSE(IniWriteString("C:\\new.ini", "s", "a=b", "v"));
  EXPECT_FALSE(IniWriteString("C:\\new.ini", "a]b", "k", "v"));
  EXPECT_EQ(GetLastWinError(), winerr::kInvalidParameter);
  EXPECT_EQ(ReadWholeFile(OnC("new.ini")), "[Section]\r\nKey=Value\r\n");
}

TEST_F(IniFileTest, ADamagedLineIsNamedNotSkipped) {
  const struct {
    std::string text;
    int line;
  } cases[] = {
      {"[ok]\nk=v\n[broken\n", 3},
      {"[ok]\nno equals sign here\n", 2},
      {"=value without a name\n", 1},
      {"[s]\r\nk=v\r\nk2=a\x01z\r\n", 3},
  };
  for (const auto& c : cases) {
    WriteWholeFile(OnC("bad.ini"), c.text);
    try {
      IniReadString("C:\\bad.ini", "s", "k", "");
      ADD_FAILURE() << "read: " << c.text;
    } catch (const EDamagedFile& e) {
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_NE(std::string(e.what()).find("bad.ini, line " + std::to_string(c.line)),
                std::string::npos)
          << e.what();
    }
    EXPECT_THROW(IniWriteString("C:\\bad.ini", "s", "k", "v"), EDamagedFile);
    EXPECT_EQ(ReadWholeFile(OnC("bad.ini")), c.text);
  }
}

// Texts built from the pieces INI files are made of, shuffled at random: each
// either parses, and then reads back byte for byte and takes a write without
// disturbing the rest, or is refused with a line number inside the text.
TEST(IniTextTest, AnyTextParsesWholeOrNamesALine) {
  const char* pieces[] = {"[", "]", "=",    ";",    "#",  " ", "\t",   "\r\n", "\n",   "\r",
                          "a", "B", "\xE9", "\xC9", "\"", "'", "\x01", "Key",  "[Sec]"};
  SetRandSeed(20261209);
  int parsed = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int n = Random(40);
    for (int i = 0; i < n; ++i) text += pieces[Random(static_cast<int>(std::size(pieces)))];
    int lines = 1;
    for (char c : text) lines += c == '\n';
    try {
      TIniText ini = TIniText::Parse(text, "t.ini");
      ++parsed;
      ASSERT_EQ(ini.Text(), text);
      ini.Set("Sec", "Key", "v");
      std::string value;
      const TIniText again = TIniText::Parse(ini.Text(), "t.ini");
      ASSERT_TRUE(again.Find("SEC", "key", value)) << ini.Text();
      EXPECT_EQ(value, "v");
      EXPECT_EQ(again.Entries().size(), ini.Entries().size());
    } catch (const EDamagedFile& e) {
      ++refused;
      EXPECT_GE(e.Line(), 1);
      EXPECT_LE(e.Line(), lines);
    }
    // A profile is an INI text too: read or refused, never anything else.
    try {
      THostProfile::FromText(text, "profile.ini");
    } catch (const EDamagedFile&) {
    }
  }
  EXPECT_GT(parsed, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace os

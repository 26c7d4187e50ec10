#include "os/win_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "os/machine.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"

namespace os {
namespace {

using test::MachineTest;
using test::WriteWholeFile;

struct TParseCase {
  std::string in;
  std::string out;     // the folded path when accepted
  uint32_t error = 0;  // the refusal otherwise
};

TEST(WinPathParse, FoldsSeparatorsDotsAndRefusesWhatWindowsWouldNot) {
  const TParseCase cases[] = {
      {"C:\\a\\b", "C:\\a\\b"},
      {"c:/a//b/", "C:\\a\\b"},
      {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
      {"C:", "C:\\"},
      {"a:\\", "A:\\"},
      {"C:relative\\x", "C:\\relative\\x"},
      {"C:\\name. . \\x.txt", "C:\\name\\x.txt"},
      {"C:\\Program Files\\r\xE9sum\xE9.txt", "C:\\Program Files\\r\xE9sum\xE9.txt"},
      {"C:\\..\\x", "", winerr::kBadPathname},
      {"C:\\a\\..\\..\\b", "", winerr::kBadPathname},
      {"\\a\\b", "", winerr::kBadPathname},
      {"relative", "", winerr::kBadPathname},
      {"\\\\server\\share", "", winerr::kBadPathname},
      {"1:\\a", "", winerr::kBadPathname},
      {std::string("C:\\a\0b", 6), "", winerr::kInvalidName},
      {"C:\\a\tb", "", winerr::kInvalidName},
      {"C:\\a\x1f", "", winerr::kInvalidName},
      {"C:\\a*b", "", winerr::kInvalidName},
      {"C:\\a?", "", winerr::kInvalidName},
      {"C:\\a:b", "", winerr::kInvalidName},
      {"C:\\...", "", winerr::kInvalidName},
      {"C:\\" + std::string(256, 'x'), "", winerr::kFilenameExcedRange},
  };
  for (const TParseCase& c : cases) {
    SCOPED_TRACE(c.in);
    TWinPath p;
    SetLastWinError(0);
    const bool ok = ParseWinPath(c.in, p);
    if (c.error == 0) {
      ASSERT_TRUE(ok) << GetLastWinError();
      EXPECT_EQ(p.Text(), c.out);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastWinError(), c.error);
    }
  }
}

class WinPathTest : public MachineTest {
 protected:
  std::string Resolve(const std::string& path) {
    std::string host;
    EXPECT_TRUE(ResolveWinPath(path, host)) << path << ": " << GetLastWinError();
    return host;
  }
  uint32_t Refusal(const std::string& path) {
    std::string host;
    SetLastWinError(0);
    EXPECT_FALSE(ResolveWinPath(path, host)) << path << " gave " << host;
    return GetLastWinError();
  }
};

TEST_F(WinPathTest, ComponentsAreFoundWithoutRegardToCaseAndNewNamesKeepTheirs) {
  std::filesystem::create_directories(OnC("Program Files/Tavrin"));
  WriteWholeFile(OnC("Program Files/Tavrin/ReadMe.TXT"), "x");
  WriteWholeFile(OnC("Program Files/Tavrin/\xC4rger.txt"), "x");  // Ä

  EXPECT_EQ(Resolve("c:\\PROGRAM FILES\\tavrin\\readme.txt"),
            OnC("Program Files/Tavrin/ReadMe.TXT"));
  EXPECT_EQ(Resolve("C:/program files/TAVRIN/\xE4RGER.TXT"),
            OnC("Program Files/Tavrin/\xC4rger.txt"));
  // What does not exist is kept as written, below what does.
  EXPECT_EQ(Resolve("C:\\program files\\NewDir\\File.Txt"), OnC("Program Files/NewDir/File.Txt"));
  EXPECT_EQ(Resolve("C:\\"), machine_->DriveFolder('C'));
  EXPECT_EQ(Refusal("D:\\anything"), winerr::kInvalidDrive);
}

TEST_F(WinPathTest, ExactNameWinsThenTheFirstInByteOrder) {
  for (const char* name : {"dAta", "DATA", "daTA"}) WriteWholeFile(OnC(name), name);
  EXPECT_EQ(Resolve("C:\\dAta"), OnC("dAta"));
  EXPECT_EQ(Resolve("C:\\daTA"), OnC("daTA"));
  // No exact match: "DATA" < "dAta" < "daTA" in byte order.
  EXPECT_EQ(Resolve("C:\\data"), OnC("DATA"));
  EXPECT_EQ(Resolve("C:\\Data"), OnC("DATA"));
}

TEST_F(WinPathTest, NoPathLeadsOutOfItsDrive) {
  const std::string outside = dir_ / "outside";
  std::filesystem::create_directories(outside);
  WriteWholeFile(outside + "/secret", "s");
  std::filesystem::create_directories(OnC("inner"));
  ASSERT_EQ(symlink(outside.c_str(), OnC("out").c_str()), 0);
  ASSERT_EQ(symlink(OnC("inner").c_str(), OnC("in").c_str()), 0);
  ASSERT_EQ(symlink("../..", OnC("inner/up").c_str()), 0);

  EXPECT_EQ(Refusal("C:\\out\\secret"), winerr::kBadPathname);
  EXPECT_EQ(Refusal("C:\\OUT"), winerr::kBadPathname);
  EXPECT_EQ(Refusal("C:\\inner\\up\\outside\\secret"), winerr::kBadPathname);
  EXPECT_EQ(Refusal("C:\\inner\\..\\..\\outside"), winerr::kBadPathname);
  EXPECT_EQ(Refusal(std::string("C:\\inner\0x", 10)), winerr::kInvalidName);
  // A link that stays inside the drive is followed.
  EXPECT_EQ(Resolve("C:\\IN\\file"), OnC("in/file"));
  // Z: is the host's root, so every host path is inside it.
  EXPECT_EQ(Resolve("Z:" + outside + "/secret"), outside + "/secret");
}

TEST_F(WinPathTest, HostAndVirtualPathsRoundTrip) {
  std::filesystem::create_directories(OnC("Windows/System"));
  std::filesystem::create_directories(machine_->DriveFolder('A') + "/Disk1");
  const std::string paths[] = {
      OnC("Windows/System"),
      machine_->DriveFolder('C'),
      machine_->DriveFolder('A') + "/Disk1",
      dir_ / "elsewhere",
  };
  const std::string expected[] = {"C:\\Windows\\System", "C:\\", "A:\\Disk1", ""};
  for (size_t i = 0; i < std::size(paths); ++i) {
    SCOPED_TRACE(paths[i]);
    std::string win;
    ASSERT_TRUE(HostToWinPath(paths[i], win));
    if (expected[i].empty()) {
      EXPECT_EQ(win.substr(0, 3), "Z:\\");
    } else {
      EXPECT_EQ(win, expected[i]);
    }
    EXPECT_EQ(Resolve(win), paths[i]);
  }
  std::string win;
  EXPECT_FALSE(HostToWinPath("relative/path", win));
  EXPECT_FALSE(HostToWinPath(OnC("back\\slash"), win));
  EXPECT_EQ(GetLastWinError(), winerr::kInvalidName);
}

}  // namespace
}  // namespace os

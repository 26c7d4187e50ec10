#include "os/win_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <string>

#include "os/host_profile.h"
#include "os/local_time.h"
#include "os/machine.h"
#include "os/random.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"

namespace os {
namespace {

using test::MachineTest;
using test::ReadWholeFile;
using test::WriteWholeFile;

class WinFileTest : public MachineTest {
 protected:
  // Expects `ok` false with `code`, for one-line checks of refusals.
  static void ExpectFail(bool ok, uint32_t code, const char* what) {
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(GetLastWinError(), code) << what;
  }
  std::string Listing(const std::string& dir) {
    std::vector<TWinFindData> entries;
    EXPECT_TRUE(WinListDirectory(dir, entries));
    std::string out;
    for (const TWinFindData& e : entries) out += e.Name + "=" + std::to_string(e.Attributes) + " ";
    return out;
  }
};

TEST_F(WinFileTest, HandlesDoPositionedIoOnVirtualPaths) {
  ASSERT_TRUE(WinForceDirectories("C:\\Program Files\\Tavrin\\Help"));
  auto f = TWinFile::Create("c:\\program files\\TAVRIN\\Data.bin", TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->HostPath(), OnC("Program Files/Tavrin/Data.bin"));
  EXPECT_EQ(f->Write(4, "abcd", 4), 4);
  char buf[8] = {};
  EXPECT_EQ(f->Read(0, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), std::string("\0\0\0\0abcd", 8));
  f.reset();
  EXPECT_TRUE(WinFileExists("C:\\PROGRAM FILES\\tavrin\\data.BIN"));
  EXPECT_FALSE(WinFileExists("C:\\Program Files\\Tavrin"));
  EXPECT_TRUE(WinDirectoryExists("C:\\Program Files\\Tavrin\\help"));
  EXPECT_EQ(WinGetFileSize("C:\\Program Files\\Tavrin\\data.bin"), 8);
  EXPECT_EQ(WinGetShortPathName("C:\\Program Files\\Tavrin\\data.bin"),
            "C:\\Program Files\\Tavrin\\data.bin");

  ExpectFail(WinFileExists("C:\\Program Files\\none.txt"), winerr::kFileNotFound, "missing file");
  ExpectFail(WinFileExists("C:\\No Folder\\none.txt"), winerr::kPathNotFound, "missing folder");
  ExpectFail(TWinFile::Create("C:\\No Folder\\x", TFileCreation::CreateNew) != nullptr,
             winerr::kPathNotFound, "create in a missing folder");
  ExpectFail(
      TWinFile::Create("C:\\Program Files\\Tavrin\\DATA.BIN", TFileCreation::CreateNew) != nullptr,
      winerr::kFileExists, "create an existing file anew");
  ExpectFail(WinGetShortPathName("C:\\nothing").empty() == false, winerr::kFileNotFound,
             "short name of nothing");
}

TEST_F(WinFileTest, MovesCopiesAndFoldersFollowWindowsRules) {
  WriteWholeFile(OnC("a.txt"), "alpha");
  WriteWholeFile(OnC("b.txt"), "beta");
  ExpectFail(WinMoveFile("C:\\a.txt", "C:\\B.TXT"), winerr::kAlreadyExists, "move onto a file");
  ASSERT_TRUE(WinMoveFile("C:\\a.txt", "C:\\A.Txt"));  // a change of case only
  EXPECT_EQ(Listing("C:\\"), "A.Txt=32 Documents and Settings=16 WINDOWS=16 b.txt=32 ");
  ASSERT_TRUE(WinReplaceFile("C:\\a.txt", "C:\\b.txt"));
  EXPECT_EQ(ReadWholeFile(OnC("b.txt")), "alpha");
  EXPECT_FALSE(WinFileExists("C:\\a.txt"));

  ExpectFail(WinCopyFile("C:\\b.txt", "C:\\B.txt", false), winerr::kSharingViolation,
             "onto itself");
  ASSERT_TRUE(WinCopyFile("C:\\b.txt", "C:\\c.txt", true));
  ExpectFail(WinCopyFile("C:\\b.txt", "C:\\c.txt", true), winerr::kFileExists, "fail if exists");
  EXPECT_EQ(ReadWholeFile(OnC("c.txt")), "alpha");

  ASSERT_TRUE(WinForceDirectories("C:\\One\\Two"));
  ASSERT_TRUE(WinForceDirectories("c:\\ONE\\two\\Three"));  // enters the existing folders
  EXPECT_EQ(Listing("C:\\one"), "Two=16 ");
  ExpectFail(WinCreateDirectory("C:\\one"), winerr::kAlreadyExists, "create existing");
  ExpectFail(WinCreateDirectory("C:\\x\\y"), winerr::kPathNotFound, "create below nothing");
  ExpectFail(WinRemoveDirectory("C:\\one\\two"), winerr::kDirNotEmpty, "remove non-empty");
  ExpectFail(WinForceDirectories("C:\\b.txt\\sub"), winerr::kAlreadyExists, "a file in the way");
  EXPECT_TRUE(WinRemoveDirectory("C:\\one\\two\\three"));
  ASSERT_TRUE(WinMoveFile("C:\\one", "C:\\Moved"));
  EXPECT_TRUE(WinDirectoryExists("C:\\moved\\two"));
  ExpectFail(WinDeleteFile("C:\\moved"), winerr::kAccessDenied, "delete a folder");
  std::vector<TWinFindData> entries;
  ExpectFail(WinListDirectory("C:\\b.txt", entries), winerr::kDirectory, "list a file");
}

TEST_F(WinFileTest, AFileMovesToAnotherHostFileSystemAsACopy) {
  struct stat shm {
  }, root{};
  if (stat("/dev/shm", &shm) != 0 || stat(machine_->Root().c_str(), &root) != 0 ||
      shm.st_dev == root.st_dev) {
    GTEST_SKIP() << "no second file system to move to";
  }
  const std::string away = "/dev/shm/tavos-move-" + std::to_string(getpid());
  std::filesystem::create_directories(away);
  WriteWholeFile(OnC("f.txt"), "moving");
  ASSERT_TRUE(WinSetFileAttributes("C:\\f.txt", FILE_ATTRIBUTE_HIDDEN));
  std::filesystem::create_directories(OnC("d"));
  const bool moved = WinMoveFile("C:\\f.txt", "Z:" + away + "/f.txt");
  const uint32_t folderCode = WinMoveFile("C:\\d", "Z:" + away + "/d") ? 0 : GetLastWinError();
  const std::string content = ReadWholeFile(away + "/f.txt");
  const uint32_t attributes = WinGetFileAttributes("Z:" + away + "/f.txt");
  std::error_code ec;
  std::filesystem::remove_all(away, ec);
  EXPECT_TRUE(moved);
  EXPECT_EQ(content, "moving");
  EXPECT_EQ(attributes, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(WinFileExists("C:\\f.txt"));
  EXPECT_EQ(folderCode, winerr::kNotSameDevice);
  EXPECT_TRUE(WinDirectoryExists("C:\\d"));
}

TEST_F(WinFileTest, DatesAndAttributesRoundTrip) {
  WriteWholeFile(OnC("f.dat"), "data");
  std::filesystem::create_directories(OnC("Dir"));
  // 2003-07-15 13:45:30 and a winter date, so that both summer and standard
  // time pass the conversion; a fraction of a second is rounded away.
  for (double date : {37817.0 + (13 * 3600 + 45 * 60 + 30) / 86400.0, 36526.5, 40000.25}) {
    ASSERT_TRUE(WinSetFileDate("C:\\F.DAT", date + 0.4 / 86400.0));
    double back = 0;
    ASSERT_TRUE(WinGetFileDate("C:\\f.dat", back));
    EXPECT_NEAR(back, date, 1e-9);
  }
  ExpectFail(WinSetFileDate("C:\\f.dat", -1e9), winerr::kInvalidParameter, "date out of range");

  EXPECT_EQ(WinGetFileAttributes("C:\\f.dat"), FILE_ATTRIBUTE_ARCHIVE);  // as a new file
  EXPECT_EQ(WinGetFileAttributes("C:\\dir"), FILE_ATTRIBUTE_DIRECTORY);
  const uint32_t sets[] = {
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_HIDDEN,
      FILE_ATTRIBUTE_NORMAL,
  };
  for (uint32_t a : sets) {
    ASSERT_TRUE(WinSetFileAttributes("C:\\f.dat", a));
    EXPECT_EQ(WinGetFileAttributes("C:\\f.dat"), a);
    ASSERT_TRUE(WinSetFileAttributes("C:\\dir", a));
    EXPECT_EQ(WinGetFileAttributes("C:\\dir"),
              a == FILE_ATTRIBUTE_NORMAL
                  ? FILE_ATTRIBUTE_DIRECTORY
                  : (a & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_DIRECTORY);
  }
  // The attributes go with the file when it moves and when it is copied, and
  // are forgotten when it is deleted.
  ASSERT_TRUE(WinSetFileAttributes("C:\\f.dat", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(WinMoveFile("C:\\f.dat", "C:\\dir\\g.dat"));
  ASSERT_TRUE(WinCopyFile("C:\\dir\\g.dat", "C:\\h.dat", false));
  EXPECT_EQ(Listing("C:\\"), "Dir=16 Documents and Settings=16 WINDOWS=16 h.dat=2 ");
  EXPECT_EQ(Listing("C:\\dir"), "g.dat=2 ");
  ASSERT_TRUE(WinDeleteFile("C:\\dir\\g.dat"));
  WriteWholeFile(OnC("Dir/g.dat"), "new");
  EXPECT_EQ(WinGetFileAttributes("C:\\dir\\g.dat"), FILE_ATTRIBUTE_ARCHIVE);
  // A folder's move carries the attributes of what is inside it.
  ASSERT_TRUE(WinSetFileAttributes("C:\\dir\\g.dat", FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(WinMoveFile("C:\\dir", "A:\\Dir2"));
  EXPECT_EQ(WinGetFileAttributes("A:\\dir2\\g.dat"), FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(WinGetFileAttributes("Z:" + machine_->DriveFolder('A') + "/Dir2/g.dat"),
            FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(WinFileTest, AReadOnlyFileRefusesDeleteAndReplace) {
  WriteWholeFile(OnC("ro.txt"), "keep");
  WriteWholeFile(OnC("new.txt"), "new");
  ASSERT_TRUE(WinSetFileAttributes("C:\\ro.txt", FILE_ATTRIBUTE_READONLY));
  ExpectFail(WinDeleteFile("C:\\ro.txt"), winerr::kAccessDenied, "delete");
  ExpectFail(WinReplaceFile("C:\\new.txt", "C:\\ro.txt"), winerr::kAccessDenied, "replace");
  ExpectFail(WinCopyFile("C:\\new.txt", "C:\\ro.txt", false), winerr::kAccessDenied, "copy over");
  ExpectFail(WinWriteWholeFile("C:\\ro.txt", "x"), winerr::kAccessDenied, "rewrite");
  ExpectFail(TWinFile::Open("C:\\ro.txt", TFileAccess::Write, TFileShare::DenyNone) != nullptr,
             winerr::kAccessDenied, "open for writing");
  EXPECT_EQ(ReadWholeFile(OnC("ro.txt")), "keep");
  EXPECT_EQ(ReadWholeFile(OnC("new.txt")), "new");
  // The copy of a read-only file is read-only too; renaming is allowed.
  ASSERT_TRUE(WinCopyFile("C:\\ro.txt", "C:\\ro2.txt", true));
  EXPECT_EQ(WinGetFileAttributes("C:\\ro2.txt"), FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(WinMoveFile("C:\\ro.txt", "C:\\ro3.txt"));
  ASSERT_TRUE(WinSetFileAttributes("C:\\ro3.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(WinDeleteFile("C:\\ro3.txt"));
}

// Delete, replace (both ways) and rename of a file in use fail with a sharing
// violation and leave every file as it was.
void ExpectInUseRefusals(const std::string& hostOfBusy, const std::string& hostOfOther) {
  SCOPED_TRACE("in use");
  EXPECT_TRUE(WinIsFileInUse("C:\\busy.txt"));
  EXPECT_FALSE(WinIsFileInUse("C:\\other.txt"));
  struct {
    bool ok;
    const char* what;
  } const calls[] = {
      {WinDeleteFile("C:\\busy.txt"), "delete"},
      {WinReplaceFile("C:\\other.txt", "C:\\busy.txt"), "replace it"},
      {WinReplaceFile("C:\\busy.txt", "C:\\other.txt"), "replace with it"},
      {WinMoveFile("C:\\busy.txt", "C:\\moved.txt"), "rename"},
      {WinCopyFile("C:\\other.txt", "C:\\busy.txt", false), "copy over"},
  };
  for (const auto& c : calls) {
    EXPECT_FALSE(c.ok) << c.what;
  }
  EXPECT_EQ(GetLastWinError(), winerr::kSharingViolation);
  EXPECT_EQ(ReadWholeFile(hostOfBusy), "busy");
  EXPECT_EQ(ReadWholeFile(hostOfOther), "other");
  EXPECT_FALSE(WinFileExists("C:\\moved.txt"));
}

TEST_F(WinFileTest, AFileNamedByTheHookIsInUse) {
  WriteWholeFile(OnC("busy.txt"), "busy");
  WriteWholeFile(OnC("other.txt"), "other");
  ASSERT_TRUE(WinSetFileInUse("C:\\BUSY.TXT", true));
  ExpectInUseRefusals(OnC("busy.txt"), OnC("other.txt"));
  ASSERT_TRUE(WinSetFileInUse("C:\\busy.txt", false));
  EXPECT_TRUE(WinDeleteFile("C:\\busy.txt"));
}

TEST_F(WinFileTest, AFileHeldOpenByAnotherProcessIsInUse) {
  WriteWholeFile(OnC("busy.txt"), "busy");
  WriteWholeFile(OnC("other.txt"), "other");
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds the file open, shared, through this layer until told to stop.
    auto f = TWinFile::Open("C:\\busy.txt", TFileAccess::Read, TFileShare::DenyNone);
    const char c = f != nullptr ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = write(ready[1], &c, 1);
    char stop;
    [[maybe_unused]] ssize_t r = read(done[0], &stop, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  ExpectInUseRefusals(OnC("busy.txt"), OnC("other.txt"));
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  // The holder is gone: the file is free again.
  EXPECT_FALSE(WinIsFileInUse("C:\\busy.txt"));
  EXPECT_TRUE(WinReplaceFile("C:\\other.txt", "C:\\busy.txt"));
  EXPECT_EQ(ReadWholeFile(OnC("busy.txt")), "other");
}

TEST_F(WinFileTest, AWriteThatMeetsTheCapacityComesUpShort) {
  EXPECT_EQ(machine_->DriveCapacity('A'), 1457664);
  EXPECT_EQ(machine_->DriveCapacity('C'), -1);
  const std::string block(1000000, 'x');
  auto first = TWinFile::Create("A:\\first.bin", TFileCreation::CreateNew);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->Write(0, block.data(), block.size()), 1000000);
  first.reset();

  auto second = TWinFile::Create("A:\\second.bin", TFileCreation::CreateNew);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(second->Write(0, "head", 4), 4);
  SetLastWinError(0);
  EXPECT_EQ(second->Write(4, block.data(), 600000), 457664 - 4);
  EXPECT_EQ(GetLastWinError(), winerr::kDiskFull);
  EXPECT_EQ(second->Write(457664, "z", 1), 0);
  EXPECT_EQ(GetLastWinError(), winerr::kDiskFull);
  EXPECT_FALSE(second->SetSize(500000));
  // Rewriting what is there needs no room.
  EXPECT_EQ(second->Write(0, "HEAD", 4), 4);
  EXPECT_EQ(second->Size(), 457664);
  second.reset();
  EXPECT_EQ(ReadWholeFile(machine_->DriveFolder('A') + "/first.bin"), block);
  EXPECT_EQ(ReadWholeFile(machine_->DriveFolder('A') + "/second.bin").substr(0, 6), "HEADxx");

  // A copy that does not fit fails and leaves no partial file.
  WriteWholeFile(OnC("big.bin"), block);
  ExpectFail(WinCopyFile("C:\\big.bin", "A:\\big.bin", false), winerr::kDiskFull, "copy");
  EXPECT_FALSE(WinFileExists("A:\\big.bin"));
  ExpectFail(WinWriteWholeFile("A:\\whole.bin", block), winerr::kDiskFull, "whole file");
  EXPECT_EQ(Listing("A:\\"), "first.bin=32 second.bin=32 ");

  // Room comes back after a delete.
  ASSERT_TRUE(WinDeleteFile("A:\\first.bin"));
  EXPECT_TRUE(WinCopyFile("C:\\big.bin", "A:\\big.bin", false));
  // The same drive named through Z: is just as full.
  const std::string viaZ = "Z:" + machine_->DriveFolder('A') + "/third.bin";
  auto third = TWinFile::Create(viaZ, TFileCreation::CreateNew);
  ASSERT_NE(third, nullptr);
  EXPECT_LT(third->Write(0, block.data(), block.size()), static_cast<int64_t>(block.size()));
  EXPECT_EQ(GetLastWinError(), winerr::kDiskFull);
  third.reset();
  machine_->SetDriveCapacity('A', -1);
  EXPECT_TRUE(WinWriteWholeFile("A:\\whole.bin", block));
}

TEST_F(WinFileTest, TemporaryFilesAreNewAndUnique) {
  std::set<std::string> names;
  auto wellFormed = [](const std::string& name) {
    const std::string dir = "C:\\WINDOWS\\TEMP\\bat";
    if (name.size() != dir.size() + 8 || name.compare(0, dir.size(), dir) != 0) return false;
    for (size_t i = dir.size(); i < dir.size() + 4; ++i) {
      if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::islower(name[i]))
        return false;
    }
    return name.substr(name.size() - 4) == ".tmp";
  };
  for (int i = 0; i < 20; ++i) {
    const std::string name = WinGetTempFileName("batch");
    ASSERT_FALSE(name.empty()) << GetLastWinError();
    EXPECT_TRUE(wellFormed(name)) << name;
    EXPECT_EQ(WinGetFileSize(name), 0);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  machine_->Profile().TempDirectory = "C:\\NoSuchTemp";
  EXPECT_TRUE(WinGetTempFileName("x").empty());
  EXPECT_EQ(GetLastWinError(), winerr::kDirectory);
}

TEST_F(WinFileTest, ProcessesStartingFromTheSameNumberGetDistinctTemporaryFiles) {
  // Both children draw the same start number, so they race for the same names;
  // the exclusive create gives each name to one of them only.
  auto makeNames = [this](const std::string& list) {
    return [this, list]() {
      SetRandSeed(7);
      std::string names;
      for (int i = 0; i < 40; ++i) {
        const std::string name = WinGetTempFileName("tav");
        if (name.empty()) return 1;
        names += name + "\n";
      }
      WriteWholeFile(list, names);
      return 0;
    };
  };
  const pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) _exit(makeNames(dir_ / "first")());
  EXPECT_EQ(test::RunInChild(makeNames(dir_ / "second")), 0);
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::set<std::string> names;
  for (const char* list : {"first", "second"}) {
    const std::string text = ReadWholeFile(dir_ / list);
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
      names.insert(text.substr(pos, end - pos));
    }
  }
  EXPECT_EQ(names.size(), 80u);
  std::vector<TWinFindData> entries;
  ASSERT_TRUE(WinListDirectory(GetTempPath(), entries));
  EXPECT_EQ(entries.size(), 80u);
}

TEST_F(WinFileTest, DelayedMovesAreRecordedForTheRestart) {
  WriteWholeFile(OnC("lib.1"), "new");
  WriteWholeFile(OnC("lib.dll"), "old");
  EXPECT_TRUE(WinReadDelayedMoves().empty());
  ASSERT_TRUE(WinMoveFileDelayed("c:\\LIB.1", "C:/lib.dll"));
  ASSERT_TRUE(WinMoveFileDelayed("C:\\lib.1", "C:\\other.dll"));
  ExpectFail(WinMoveFileDelayed("C:\\missing.1", "C:\\lib.dll"), winerr::kFileNotFound,
             "no source");
  machine_->SetFailDelayedMoves(true);
  ExpectFail(WinMoveFileDelayed("C:\\lib.1", "C:\\lib.dll"), winerr::kAccessDenied, "hook");
  const std::vector<TDelayedMove> moves = WinReadDelayedMoves();
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0].From, "C:\\LIB.1");
  EXPECT_EQ(moves[0].To, "C:\\lib.dll");
  EXPECT_EQ(moves[1].To, "C:\\other.dll");
  // Nothing moved yet.
  EXPECT_EQ(ReadWholeFile(OnC("lib.dll")), "old");
  // The restart forgets them once applied; a new run records afresh.
  EXPECT_TRUE(WinClearDelayedMoves());
  EXPECT_TRUE(WinReadDelayedMoves().empty());
  EXPECT_TRUE(WinClearDelayedMoves());
  machine_->SetFailDelayedMoves(false);
  ASSERT_TRUE(WinMoveFileDelayed("C:\\lib.1", "C:\\lib.dll"));
  EXPECT_EQ(WinReadDelayedMoves().size(), 1u);

  WriteWholeFile(machine_->PendingMovesPath(), "C:\\a|C:\\b\nC:\\a without bar\n");
  try {
    WinReadDelayedMoves();
    ADD_FAILURE() << "a damaged record was read";
  } catch (const EDamagedFile& e) {
    EXPECT_EQ(e.Line(), 2);
    EXPECT_EQ(e.File(), machine_->PendingMovesPath());
  }
}

TEST_F(WinFileTest, ADamagedAttributeTableNamesItsLine) {
  WriteWholeFile(OnC("f"), "x");
  WriteWholeFile(machine_->AttributeTablePath('C'), "00000002 f\nzz g\n");
  EXPECT_THROW(WinGetFileAttributes("C:\\f"), EDamagedFile);
  WriteWholeFile(machine_->AttributeTablePath('C'), "00000002 f\n");
  EXPECT_EQ(WinGetFileAttributes("C:\\f"), FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace
}  // namespace os

#include "installer/engine/archive/orln_compress.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

#include "host/rtl/le_bytes.h"
#include "installer/engine/base/orln_exceptions.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCorrupt =
    "Could not read the file headers for the compressed file. The Archive file could possible be "
    "corrupt";

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string TextBytes(size_t n) {
  static const char* words[] = {"archive ", "volume ",     "header ",
                                "deflate ", "install\r\n", "disk "};
  std::string s;
  std::mt19937 gen(7);
  while (s.size() < n) s += words[gen() % 6];
  s.resize(n);
  return s;
}

// Throws what `f` throws, as its message; "" when it returns.
template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class ArchiveTest : public os::test::MachineTest {
 protected:
  void PutFile(const std::string& path, const std::string& data, double date = 45000.5) {
    os::WinForceDirectories(path.substr(0, path.rfind('\\')));
    ASSERT_TRUE(os::WinWriteWholeFile(path, data)) << path;
    ASSERT_TRUE(os::WinSetFileDate(path, date));
  }
  std::string GetFile(const std::string& path) {
    std::string data;
    EXPECT_TRUE(os::WinReadWholeFile(path, data)) << path;
    return data;
  }
  void Add(TOrlnCompress& c, const std::vector<std::string>& paths, bool append, int id) {
    for (const std::string& p : paths) c.FilesToProcess().Add(p);
    c.Add(append, id);
  }
  void Extract(TOrlnCompress& c, const std::vector<std::string>& paths, const std::string& dir) {
    c.SetExtractDirectory(dir);
    c.FilesToProcess().Clear();
    for (const std::string& p : paths) c.FilesToProcess().Add(p);
    c.Extract();
  }
  std::vector<os::TWinFindData> Listing(const std::string& dir) {
    std::vector<os::TWinFindData> entries;
    os::WinListDirectory(dir, entries);
    return entries;
  }
  // The archive's bytes as the host holds them.
  std::string HostBytes(const std::string& path) { return GetFile(path); }
  void SetHostBytes(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(os::WinWriteWholeFile(path, bytes));
  }
};

TEST_F(ArchiveTest, RoundTripsAtEveryLevel) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"C:\\src\\empty.bin", ""},
      {"C:\\src\\one.bin", "x"},
      {"C:\\src\\under.bin", RandomBytes(65535, 1)},
      {"C:\\src\\exact.bin", TextBytes(65536)},
      {"C:\\src\\over.bin", RandomBytes(65537, 2)},
      {"C:\\src\\Text.TXT", TextBytes(2 * 1024 * 1024 + 13)},
      {"C:\\src\\random.dat", RandomBytes(1024 * 1024, 3)},
  };
  double date = 44000.25;
  for (const auto& [path, data] : files) PutFile(path, data, date += 1.0);
  std::vector<std::string> paths;
  for (const auto& f : files) paths.push_back(f.first);

  for (TCompressionLevel level : {colNone, colFastest, colDefault, colMax}) {
    SCOPED_TRACE(static_cast<int>(level));
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\arc\\files.1");
    c.SetCompressionLevel(level);
    Add(c, paths, false, 7);
    EXPECT_EQ(c.FilesToProcess().Count(), 0);
    ASSERT_EQ(c.Count(), static_cast<int>(files.size()));

    const std::string out = "C:\\out" + std::to_string(level);
    TOrlnCompress reader(nullptr);
    reader.SetCompressedFile("C:\\arc\\files.1");
    // Names are found without regard to case.
    std::vector<std::string> wanted = paths;
    wanted[5] = "c:\\SRC\\text.txt";
    Extract(reader, wanted, out);
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string target = out + "\\" + files[i].first.substr(files[i].first.rfind('\\') + 1);
      EXPECT_EQ(GetFile(target), files[i].second) << target;
      double want = 0, got = 0;
      ASSERT_TRUE(os::WinGetFileDate(files[i].first, want));
      ASSERT_TRUE(os::WinGetFileDate(target, got));
      EXPECT_DOUBLE_EQ(got, want);
      const TFileHeader& h = reader.Headers().GetFileHeader(static_cast<int>(i));
      EXPECT_EQ(h.EntryNumber, static_cast<int>(i) + 1);
      EXPECT_EQ(h.UncompressedSize, static_cast<int32_t>(files[i].second.size()));
    }
    TOrlnCompressStatus st;
    reader.GetStatus(0, st);
    EXPECT_EQ(st.CompressionPercent, 0);  // an empty file: no division by zero
    reader.GetStatus(6, st);
    EXPECT_EQ(st.UncompressedSize, 1024 * 1024);
    EXPECT_LE(st.CompressionPercent, 100);  // random data grows a little: held at 100
  }
}

TEST_F(ArchiveTest, AppendsOverSeveralRunsAndIndexesIds) {
  PutFile("C:\\src\\a.txt", "first file");
  PutFile("C:\\src\\b.txt", TextBytes(100000));
  PutFile("C:\\src\\c.txt", "third");
  PutFile("C:\\src\\d.txt", "stored, not indexed");
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\new\\dir\\files.1");  // missing: appending creates it
  Add(c, {"C:\\src\\a.txt"}, true, 0);
  Add(c, {"C:\\src\\b.txt;extra;tokens"}, true, 1999);
  Add(c, {"C:\\src\\c.txt"}, true, 5);
  Add(c, {"C:\\src\\d.txt"}, true, 2000);

  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\new\\dir\\files.1");
  ASSERT_EQ(r.Count(), 4);
  EXPECT_EQ(r.IndexOfId(0), 1);  // the first entry is not "not found"
  EXPECT_EQ(r.IndexOfId(1999), 2);
  EXPECT_EQ(r.IndexOfId(5), 3);
  EXPECT_EQ(r.IndexOfId(2000), 0);
  EXPECT_EQ(r.IndexOfId(-1), 0);
  EXPECT_EQ(r.IndexOfId(4), 0);
  EXPECT_EQ(r.Headers().GetFileHeader(3).FileId, 2000);
  EXPECT_EQ(r.Headers().GetFileHeader(3).EntryNumber, 4);
  std::vector<std::string> listed;
  r.OnListing = [&](TOrlnCompress&, const TFileHeader& h) { listed.push_back(h.SourcePath); };
  r.List();
  EXPECT_EQ(listed, (std::vector<std::string>{"C:\\src\\a.txt", "C:\\src\\b.txt", "C:\\src\\c.txt",
                                              "C:\\src\\d.txt"}));
  Extract(r, {"C:\\src\\d.txt", "C:\\src\\b.txt", "C:\\src\\a.txt"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\a.txt"), "first file");
  EXPECT_EQ(GetFile("C:\\out\\b.txt"), TextBytes(100000));
  EXPECT_EQ(GetFile("C:\\out\\d.txt"), "stored, not indexed");
  EXPECT_EQ(ErrorOf([&] { r.Headers().GetFileHeader(4); }),
            "4 is an invalid TFileHeader index in TFileHeaders.GetFileHeaders");
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\zz.txt"}, "C:\\out"); }),
            "The file <C:\\src\\zz.txt> was not found in the archive <C:\\new\\dir\\files.1>");

  // Without append mode the archive starts anew.
  Add(c, {"C:\\src\\c.txt"}, false, 3);
  TOrlnCompress fresh(nullptr);
  fresh.SetCompressedFile("C:\\new\\dir\\files.1");
  EXPECT_EQ(fresh.Count(), 1);
}

TEST_F(ArchiveTest, ReadsAnArchiveBehindOtherBytes) {
  PutFile("C:\\src\\setup.ini", TextBytes(70000));
  PutFile("C:\\src\\app.exe", RandomBytes(5000, 9));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\build\\files.1");
  Add(c, {"C:\\src\\setup.ini", "C:\\src\\app.exe"}, false, 1);
  const std::string program = RandomBytes(12345, 4);
  SetHostBytes("C:\\build\\setup.exe",
               program + HostBytes("C:\\build\\files.1") + std::string(56, 'T'));

  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\build\\setup.exe");
  r.SetOffset(static_cast<int32_t>(program.size()));
  ASSERT_EQ(r.Count(), 2);
  Extract(r, {"C:\\src\\app.exe", "C:\\src\\setup.ini"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\app.exe"), RandomBytes(5000, 9));
  EXPECT_EQ(GetFile("C:\\out\\setup.ini"), TextBytes(70000));

  r.SetOffset(12);  // a wrong start offset is a damaged archive, and drops what was loaded
  EXPECT_EQ(ErrorOf([&] { r.Count(); }), kCorrupt);
}

// A two-entry archive whose bytes the hostile cases change.
class HostileArchiveTest : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    PutFile("C:\\src\\one.txt", TextBytes(3000));
    PutFile("C:\\src\\two.txt", TextBytes(5000));
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\arc\\files.1");
    Add(c, {"C:\\src\\one.txt", "C:\\src\\two.txt"}, false, 1);
    good_ = HostBytes("C:\\arc\\files.1");
    second_ = static_cast<size_t>(host::GetU32(good_.data() + 5 + 128));
  }
  // Extracts the first entry from `bytes`; its error message.
  std::string ExtractFrom(const std::string& bytes, const std::string& name = "C:\\src\\one.txt") {
    SetHostBytes("C:\\arc\\files.1", bytes);
    TOrlnCompress r(nullptr);
    r.SetCompressedFile("C:\\arc\\files.1");
    return ErrorOf([&] { Extract(r, {name}, "C:\\out"); });
  }
  std::string good_;
  size_t second_ = 0;  // where the second header starts
};

TEST_F(HostileArchiveTest, EveryHeaderFieldIsChecked) {
  auto i32 = [](int32_t v) {
    std::string s(4, '\0');
    host::PutU32(s.data(), static_cast<uint32_t>(v));
    return s;
  };
  const double nan = std::nan("");
  std::string nanBytes(8, '\0');
  std::memcpy(nanBytes.data(), &nan, 8);
  const size_t h1 = 5;
  const int32_t size = static_cast<int32_t>(good_.size());
  struct Case {
    const char* what;
    size_t at;
    std::string bytes;
  } cases[] = {
      {"negative count", 0, i32(-1)},
      {"count the file cannot hold", 0, i32(3)},
      {"huge count", 0, i32(INT32_MAX)},
      {"flag not 0 or 1", 4, std::string(1, '\x02')},
      {"volumes flag on a single file", 4, std::string(1, '\x01')},
      {"date NaN", h1 + 8, nanBytes},
      {"last volume in a single file", h1 + 16, std::string(1, '\x03')},
      {"last offset past the data", h1 + 20, i32(size + 10)},
      {"last offset negative", h1 + 20, i32(-1)},
      {"source path over 100", h1 + 24, std::string(1, '\x65')},
      {"next header not advancing", h1 + 128, i32(5)},
      {"next header inside the header", h1 + 128, i32(100)},
      {"next header past the end", h1 + 128, i32(size + 1)},
      {"next header negative", h1 + 128, i32(INT32_MIN)},
      {"uncompressed size negative", h1 + 132, i32(-7)},
      {"first offset before the data", h1 + 136, i32(0)},
      {"first offset negative", h1 + 136, i32(-1)},
      {"compressed size impossible", h1 + 140, i32(1 << 30)},
      {"compressed size negative", h1 + 140, i32(-1)},
      {"first volume in a single file", h1 + 144, std::string(1, '\x01')},
      {"version over 20", h1 + 152, std::string(1, '\x15')},
      {"second header past the end", second_ + 128, i32(size + 100)},
      {"second header points back", second_ + 128, i32(static_cast<int32_t>(second_))},
      {"second header's size negative", second_ + 132, i32(-1)},
  };
  for (const Case& c : cases) {
    std::string bytes = good_;
    bytes.replace(c.at, c.bytes.size(), c.bytes);
    EXPECT_EQ(ExtractFrom(bytes), kCorrupt) << c.what;
    EXPECT_TRUE(Listing("C:\\out").empty()) << c.what;
  }
  EXPECT_EQ(ExtractFrom(good_.substr(0, 3)),
            "Could not read the file header count for the compressed file");
  EXPECT_EQ(ExtractFrom(good_.substr(0, second_ + 100)), kCorrupt);  // a short header
  EXPECT_EQ(ExtractFrom(good_), "");
  EXPECT_EQ(GetFile("C:\\out\\one.txt"), TextBytes(3000));
}

TEST_F(HostileArchiveTest, StoredPathsCannotLeaveTheExtractFolder) {
  auto withPath = [&](const std::string& path) {
    std::string bytes = good_;
    bytes[5 + 24] = static_cast<char>(path.size());
    bytes.replace(5 + 25, path.size(), path);
    return bytes;
  };
  struct Case {
    const char* stored;
    const char* lands;  // file name in C:\out; null when refused
  } cases[] = {
      {"..\\..\\evil.txt", "evil.txt"}, {"C:\\Windows\\system.ini", "system.ini"},
      {"../../etc/passwd", "passwd"},   {"D:evil.dll", "evil.dll"},
      {"C:\\src\\..", nullptr},         {"C:\\src\\.", nullptr},
      {"C:\\src\\", nullptr},           {"", nullptr},
      {"a\\b\x01.txt", nullptr},
  };
  for (const Case& c : cases) {
    fs::remove_all(OnC("out"));
    std::string err = ExtractFrom(withPath(c.stored), c.stored);
    std::vector<os::TWinFindData> out = Listing("C:\\out");
    if (c.lands) {
      EXPECT_EQ(err, "") << c.stored;
      ASSERT_EQ(out.size(), 1u) << c.stored;
      EXPECT_EQ(out[0].Name, c.lands);
    } else {
      EXPECT_EQ(err.rfind("Cannot create the file C:\\out\\", 0), 0u) << c.stored << ": " << err;
      EXPECT_TRUE(out.empty()) << c.stored;
    }
  }
  EXPECT_FALSE(os::WinFileExists("C:\\evil.txt"));
  EXPECT_FALSE(os::WinFileExists("C:\\Windows\\system.ini"));
}

TEST_F(HostileArchiveTest, DamagedDataAndBombsLeaveNoFile) {
  const std::string mismatch =
      "The decompressed file's size does not match with the actual size of the file.  The file is "
      "C:\\out\\one.txt";
  const size_t dataStart = 5 + kFileHeaderSize;
  const size_t dataEnd = static_cast<size_t>(host::GetU32(good_.data() + 5 + 128));
  int failures = 0;
  for (size_t at = dataStart; at < dataEnd; at += 7) {
    std::string bytes = good_;
    bytes[at] = static_cast<char>(bytes[at] ^ (1 << (at % 8)));
    fs::remove_all(OnC("out"));
    std::string err = ExtractFrom(bytes);
    if (err.empty()) {
      EXPECT_EQ(GetFile("C:\\out\\one.txt"), TextBytes(3000)) << at;
    } else {
      ++failures;
      EXPECT_EQ(err, mismatch) << at;
      EXPECT_TRUE(Listing("C:\\out").empty()) << at;
    }
  }
  EXPECT_GT(failures, 0);

  // A bomb: a small stored size in front of a stream that inflates far past it.
  PutFile("C:\\src\\zeros.bin", std::string(8 * 1024 * 1024, '\0'));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\bomb.1");
  Add(c, {"C:\\src\\zeros.bin"}, false, 1);
  std::string bomb = HostBytes("C:\\arc\\bomb.1");
  ASSERT_LT(bomb.size(), 20000u);
  host::PutU32(bomb.data() + 5 + 132, 100);
  SetHostBytes("C:\\arc\\bomb.1", bomb);
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\bomb.1");
  fs::remove_all(OnC("out"));
  int64_t biggest = 0;
  r.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus& s) {
    biggest = std::max<int64_t>(biggest, s.FileBytesDone);
  };
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\zeros.bin"}, "C:\\out"); }),
            "The decompressed file's size does not match with the actual size of the file.  The "
            "file is C:\\out\\zeros.bin");
  EXPECT_LE(biggest, 100);
  EXPECT_TRUE(Listing("C:\\out").empty());

  // A stream cut short: the stored sizes shrink with it, the data ends early.
  std::string cut = good_.substr(0, dataEnd - 10);
  host::PutU32(cut.data() + 5 + 20, static_cast<uint32_t>(dataEnd - 11));
  host::PutU32(cut.data() + 5 + 128, static_cast<uint32_t>(dataEnd - 10));
  host::PutU32(cut.data() + 5 + 140, static_cast<uint32_t>(dataEnd - 10 - dataStart));
  host::PutU32(cut.data(), 1);
  fs::remove_all(OnC("out"));
  EXPECT_EQ(ExtractFrom(cut), mismatch);
  EXPECT_TRUE(Listing("C:\\out").empty());
}

TEST_F(ArchiveTest, FullDiskAndReadOnlyTargetsLeaveNoPartialFile) {
  PutFile("C:\\src\\big.bin", RandomBytes(300000, 5));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  Add(c, {"C:\\src\\big.bin"}, false, 1);

  machine_->SetDriveCapacity('A', 100000);
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\files.1");
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\big.bin"}, "A:\\"); }), "The disk is full");
  EXPECT_FALSE(os::WinFileExists("A:\\big.bin"));
  // A handler that makes no room: the retried write fails the same way.
  int full = 0;
  r.OnFullDisk = [&](TOrlnCompress&) { ++full; };
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\big.bin"}, "A:\\"); }), "The disk is full");
  EXPECT_EQ(full, 1);
  EXPECT_FALSE(os::WinFileExists("A:\\big.bin"));
  // A handler that makes room lets the extraction finish.
  r.OnFullDisk = [&](TOrlnCompress&) { machine_->SetDriveCapacity('A', -1); };
  Extract(r, {"C:\\src\\big.bin"}, "A:\\");
  EXPECT_EQ(GetFile("A:\\big.bin"), RandomBytes(300000, 5));

  PutFile("C:\\out\\big.bin", "old");
  ASSERT_TRUE(os::WinSetFileAttributes("C:\\out\\big.bin", os::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\big.bin"}, "C:\\out"); }),
            "Cannot create the file C:\\out\\big.bin");
  EXPECT_EQ(GetFile("C:\\out\\big.bin"), "old");
}

TEST_F(ArchiveTest, AFailedReplacementKeepsTheOldFileAndLeavesNoTemporary) {
  PutFile("C:\\src\\big.bin", RandomBytes(300000, 9));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  Add(c, {"C:\\src\\big.bin"}, false, 1);
  PutFile("A:\\big.bin", "the old file");
  machine_->SetDriveCapacity('A', 150000);
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\files.1");
  EXPECT_EQ(ErrorOf([&] { Extract(r, {"C:\\src\\big.bin"}, "A:\\"); }), "The disk is full");
  EXPECT_EQ(GetFile("A:\\big.bin"), "the old file");
  EXPECT_EQ(Listing("A:\\").size(), 1u);
  EXPECT_EQ(ErrorOf([&] { r.CopyFile("C:\\src\\big.bin", "A:\\big.bin"); }), "The disk is full");
  EXPECT_EQ(GetFile("A:\\big.bin"), "the old file");
  EXPECT_EQ(Listing("A:\\").size(), 1u);
  // With room, both replace it whole and keep the source's date.
  machine_->SetDriveCapacity('A', -1);
  r.CopyFile("C:\\src\\big.bin", "A:\\big.bin");
  EXPECT_EQ(GetFile("A:\\big.bin"), RandomBytes(300000, 9));
  double date = 0;
  ASSERT_TRUE(os::WinGetFileDate("A:\\big.bin", date));
  EXPECT_DOUBLE_EQ(date, 45000.5);
  EXPECT_EQ(Listing("A:\\").size(), 1u);
}

TEST_F(ArchiveTest, OverwriteModesDecideForExistingTargets) {
  PutFile("C:\\src\\f.txt", "new", 45000.0);
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  c.OnFileVersion = [](const std::string& path) {
    return path.find("src") != std::string::npos ? "1.10" : "1.2";
  };
  Add(c, {"C:\\src\\f.txt"}, false, 1);
  EXPECT_EQ(c.Headers().GetFileHeader(0).Version, "1.10");

  struct Case {
    TOverwriteType mode;
    double existingDate;
    bool replaced;
  } cases[] = {
      {owAlways, 46000.0, true},      {owNever, 44000.0, false},
      {owVersion, 46000.0, true},  // 1.10 beats 1.2
      {owDate, 46000.0, false},       {owDate, 44000.0, true},
      {owDate, 45000.0, false},  // same date: left alone
      {owVersionDate, 46000.0, true}, {owAsk, 46000.0, true},
  };
  for (const Case& k : cases) {
    PutFile("C:\\out\\f.txt", "old", k.existingDate);
    TOrlnCompress r(nullptr);
    r.SetCompressedFile("C:\\arc\\files.1");
    r.OnFileVersion = c.OnFileVersion;
    r.SetOverwrite(k.mode);
    bool finishedReported = false;
    r.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus& s) {
      finishedReported |= s.FileFinished;
    };
    Extract(r, {"C:\\src\\f.txt"}, "C:\\out");
    EXPECT_EQ(GetFile("C:\\out\\f.txt"), k.replaced ? "new" : "old") << k.mode;
    EXPECT_TRUE(finishedReported) << k.mode;
  }
  // Equal versions fall back to the date: an older archived file is kept.
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\files.1");
  r.OnFileVersion = [](const std::string&) { return "1.10"; };
  r.SetOverwrite(owVersionDate);
  PutFile("C:\\out\\f.txt", "old", 46000.0);
  Extract(r, {"C:\\src\\f.txt"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\f.txt"), "old");
  // OnReplace may pick another name.
  r.SetOverwrite(owAlways);
  r.OnReplace = [](TOrlnCompress&, std::string& name) { name = "f.new"; };
  Extract(r, {"C:\\src\\f.txt"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\f.new"), "new");
  EXPECT_EQ(GetFile("C:\\out\\f.txt"), "old");
}

TEST_F(ArchiveTest, AnAppendAbortedFromOnStatusKeepsEarlierEntries) {
  PutFile("C:\\src\\a.txt", TextBytes(1000));
  PutFile("C:\\src\\big.bin", RandomBytes(600000, 6));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  Add(c, {"C:\\src\\a.txt"}, false, 1);
  int aborted = 0;
  c.OnStatus = [](TOrlnCompress& self, const TOrlnCompressStatus&) { self.SetAbort(true); };
  c.OnAborted = [&](TOrlnCompress&) { ++aborted; };
  c.SetCompressionLevel(colNone);
  Add(c, {"C:\\src\\big.bin"}, true, 2);
  EXPECT_EQ(aborted, 1);
  EXPECT_TRUE(c.Abort());
  EXPECT_EQ(c.FilesToProcess().Count(), 0);

  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\files.1");
  ASSERT_EQ(r.Count(), 1);
  Extract(r, {"C:\\src\\a.txt"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\a.txt"), TextBytes(1000));

  // The next append writes over what the aborted one left.
  c.OnStatus = nullptr;
  Add(c, {"C:\\src\\big.bin"}, true, 2);
  TOrlnCompress r2(nullptr);
  r2.SetCompressedFile("C:\\arc\\files.1");
  ASSERT_EQ(r2.Count(), 2);
  Extract(r2, {"C:\\src\\big.bin"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\big.bin"), RandomBytes(600000, 6));
}

TEST_F(ArchiveTest, AnAppendKilledMidwayKeepsEarlierEntries) {
  PutFile("C:\\src\\a.txt", TextBytes(1000));
  PutFile("C:\\src\\big.bin", RandomBytes(2 * 1024 * 1024, 8));
  {
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\arc\\files.1");
    Add(c, {"C:\\src\\a.txt"}, false, 1);
  }
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\arc\\files.1");
    c.SetCompressionLevel(colNone);
    bool told = false;
    c.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus&) {
      if (told) return;
      told = true;
      char b = 1;
      (void)!write(ready[1], &b, 1);
      pause();  // stopped here, mid-entry, by the parent's SIGKILL
    };
    c.FilesToProcess().Add("C:\\src\\big.bin");
    c.Add(true, 2);
    _exit(0);
  }
  close(ready[1]);
  char b = 0;
  ASSERT_EQ(read(ready[0], &b, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_GT(os::WinGetFileSize("C:\\arc\\files.1"), 65536);  // the half entry is there

  TOrlnCompress r(nullptr);
  r.SetCompressedFile("C:\\arc\\files.1");
  ASSERT_EQ(r.Count(), 1);
  Extract(r, {"C:\\src\\a.txt"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\a.txt"), TextBytes(1000));
  TOrlnCompress again(nullptr);
  again.SetCompressedFile("C:\\arc\\files.1");
  Add(again, {"C:\\src\\big.bin"}, true, 2);
  TOrlnCompress r2(nullptr);
  r2.SetCompressedFile("C:\\arc\\files.1");
  ASSERT_EQ(r2.Count(), 2);
  Extract(r2, {"C:\\src\\big.bin"}, "C:\\out");
  EXPECT_EQ(GetFile("C:\\out\\big.bin"), RandomBytes(2 * 1024 * 1024, 8));
}

TEST_F(ArchiveTest, AddRefusesWhatTheArchiveCannotHold) {
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  const std::string longPath = "C:\\" + std::string(101, 'a');
  EXPECT_EQ(ErrorOf([&] { Add(c, {longPath}, false, 1); }), "Tried to add an invalid file header");
  EXPECT_TRUE(c.Abort());
  EXPECT_EQ(ErrorOf([&] { Add(c, {";only tokens"}, false, 1); }),
            "Tried to add an invalid file header");
  EXPECT_EQ(ErrorOf([&] { Add(c, {"C:\\src\\missing.txt"}, false, 1); }),
            "Cannot open the file C:\\src\\missing.txt");
}

TEST_F(ArchiveTest, CopyFileDecidesAndCopies) {
  PutFile("C:\\src\\f.bin", RandomBytes(200000, 11), 45000.0);
  TOrlnCompress c(nullptr);
  int64_t last = 0;
  c.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus& s) { last = s.FileBytesDone; };
  ASSERT_TRUE(os::WinForceDirectories("C:\\dst"));
  c.CopyFile("C:\\src\\f.bin", "C:\\dst\\f.bin");
  EXPECT_EQ(GetFile("C:\\dst\\f.bin"), RandomBytes(200000, 11));
  EXPECT_EQ(last, 200000);
  c.SetOverwrite(owNever);
  PutFile("C:\\dst\\g.bin", "keep");
  c.CopyFile("C:\\src\\f.bin", "C:\\dst\\g.bin");
  EXPECT_EQ(GetFile("C:\\dst\\g.bin"), "keep");
  c.SetOverwrite(owAlways);
  c.SetAbort(true);
  EXPECT_EQ(ErrorOf([&] { c.CopyFile("C:\\src\\f.bin", "C:\\dst\\h.bin"); }),
            "Creating Install Aborted!");
  EXPECT_FALSE(os::WinFileExists("C:\\dst\\h.bin"));
  c.SetAbort(false);
  EXPECT_EQ(ErrorOf([&] { c.CopyFile("C:\\src\\none.bin", "C:\\dst\\h.bin"); }),
            "Cannot open the file C:\\src\\none.bin");
}

// Floppy disks for drive A:. The disk in the drive is the drive's folder; the
// others wait on a shelf of host folders, one per disk.
class TFloppies {
 public:
  TFloppies(std::string drive, std::string shelf)
      : drive_(std::move(drive)), shelf_(std::move(shelf)) {}
  void Insert(int disk) {
    ++asks;
    if (disk == inserted_) return;
    MoveAll(drive_, Slot(inserted_));
    MoveAll(Slot(disk), drive_);
    inserted_ = disk;
  }
  std::string Slot(int disk) const { return shelf_ + "/" + std::to_string(disk); }
  int asks = 0;

 private:
  static void MoveAll(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    if (!fs::exists(from)) return;
    for (const auto& e : fs::directory_iterator(from))
      fs::rename(e.path(), to + "/" + e.path().filename().string());
  }
  std::string drive_, shelf_;
  int inserted_ = 1;
};
// EAbort from a handler ends Add quietly: no exception, no OnAborted, and
// the archive as it was after the last whole entry.
TEST_F(ArchiveTest, AQuietAbortFromAHandlerEndsAddQuietly) {
  PutFile("C:\\src\\a.txt", TextBytes(1000));
  PutFile("C:\\src\\big.bin", RandomBytes(600000, 7));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  Add(c, {"C:\\src\\a.txt"}, false, 1);
  const std::string before = GetFile("C:\\arc\\files.1");
  int aborted = 0, statuses = 0;
  c.OnAborted = [&](TOrlnCompress&) { ++aborted; };
  c.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus&) {
    if (++statuses == 2) host::Abort();
  };
  c.SetCompressionLevel(colNone);
  c.FilesToProcess().Add("C:\\src\\big.bin");
  EXPECT_NO_THROW(c.Add(true, 2));
  EXPECT_EQ(statuses, 2);
  EXPECT_EQ(aborted, 0);
  EXPECT_FALSE(c.Abort());
  EXPECT_EQ(c.FilesToProcess().Count(), 0);
  EXPECT_EQ(GetFile("C:\\arc\\files.1"), before);

  // Before the first byte too (OnBeforeAdding).
  c.OnStatus = nullptr;
  c.OnBeforeAdding = [](TOrlnCompress&, const TOrlnCompressStatus&) { host::Abort(); };
  c.FilesToProcess().Add("C:\\src\\big.bin");
  EXPECT_NO_THROW(c.Add(true, 2));
  EXPECT_EQ(GetFile("C:\\arc\\files.1"), before);
}

class VolumeTest : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    files_ = {{"C:\\src\\random.bin", RandomBytes(450000, 21)},
              {"C:\\src\\small.txt", "small"},
              {"C:\\src\\text.txt", TextBytes(900000)},
              {"C:\\src\\tail.bin", RandomBytes(70000, 22)}};
    double date = 45100.0;
    std::vector<std::string> paths;
    for (const auto& [path, data] : files_) {
      PutFile(path, data, date += 0.5);
      paths.push_back(path);
    }
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\build\\files.1");
    Add(c, paths, false, 1);
    machine_->SetDriveCapacity('A', 120000);
    floppies_ = std::make_unique<TFloppies>(machine_->DriveFolder('A'), dir_.Path() + "/shelf");
  }
  TOrlnCompress::TNewDiskEvent Swap() {
    return [this](TOrlnCompress&, int volume, std::string& dir) {
      floppies_->Insert(volume);
      dir = "A:\\";
    };
  }
  void CopyToDisks() {
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\build\\files.1");
    c.OnNewDisk = Swap();
    c.CopyToVolumes("A:\\", "files.1");
    floppies_->asks = 0;
  }
  std::vector<std::pair<std::string, std::string>> files_;
  std::unique_ptr<TFloppies> floppies_;
};

TEST_F(VolumeTest, EntriesSplitOverDisksComeBackWhole) {
  CopyToDisks();
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("A:\\files.1");
  r.OnNewDisk = Swap();
  ASSERT_TRUE(r.Headers().MultiVolume());
  int split = 0;
  for (int i = 0; i < r.Count(); ++i) {
    const TFileHeader& h = r.Headers().GetFileHeader(i);
    split += h.FirstVolume != h.LastVolume;
    EXPECT_EQ(h.NextHeader, 5 + (i + 1) * 176);
  }
  EXPECT_GE(split, 2);
  EXPECT_EQ(r.Headers().GetFileHeader(3).LastVolume, 5);
  std::vector<std::string> paths;
  for (const auto& f : files_) paths.push_back(f.first);
  std::reverse(paths.begin(), paths.end());  // disks asked for out of order too
  Extract(r, paths, "C:\\out");
  for (const auto& [path, data] : files_) {
    const std::string target = "C:\\out\\" + path.substr(path.rfind('\\') + 1);
    EXPECT_EQ(GetFile(target), data) << target;
    double want = 0, got = 0;
    ASSERT_TRUE(os::WinGetFileDate(path, want));
    ASSERT_TRUE(os::WinGetFileDate(target, got));
    EXPECT_DOUBLE_EQ(got, want);
  }
  EXPECT_GT(floppies_->asks, 3);
}

TEST_F(VolumeTest, AMissingDiskIsAskedForFourTimes) {
  CopyToDisks();
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("A:\\files.1");
  r.OnNewDisk = Swap();
  const TFileHeader last = r.Headers().GetFileHeader(0);
  ASSERT_EQ(last.FirstVolume, 1);
  ASSERT_EQ(last.LastVolume, 4);
  fs::remove_all(floppies_->Slot(4));
  EXPECT_EQ(ErrorOf([&] { Extract(r, {last.SourcePath}, "C:\\out"); }),
            "Cannot open the compressed file A:\\files.4");
  EXPECT_EQ(floppies_->asks, 2 + 4);  // volumes 2 and 3 once, then volume 4 four times
  EXPECT_TRUE(Listing("C:\\out").empty());

  floppies_->Insert(1);
  r.OnNewDisk = nullptr;
  EXPECT_EQ(ErrorOf([&] { Extract(r, {last.SourcePath}, "C:\\out"); }),
            "Could not open the correct disk file 2");
  EXPECT_TRUE(Listing("C:\\out").empty());
}

TEST_F(VolumeTest, VolumeNumbersAndTableOffsetsAreChecked) {
  CopyToDisks();
  floppies_->Insert(1);
  machine_->SetDriveCapacity('A', -1);  // room to write the damaged copies
  const std::string good = HostBytes("A:\\files.1");
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
  } cases[] = {
      {"first volume 0", 5 + 144, 0},
      {"last volume before first", 5 + 176 + 16, 0},
      {"first offset inside the table", 5 + 136, 100},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    if (c.at == 5 + 136) {
      host::PutU32(bytes.data() + c.at, c.value);
    } else {
      bytes[c.at] = static_cast<char>(c.value);
    }
    SetHostBytes("A:\\files.1", bytes);
    TOrlnCompress r(nullptr);
    r.SetCompressedFile("A:\\files.1");
    EXPECT_EQ(ErrorOf([&] { r.Count(); }), kCorrupt) << c.what;
  }
}

TEST_F(VolumeTest, ATruncatedDiskFailsAndLeavesNoTarget) {
  CopyToDisks();
  floppies_->Insert(1);
  const std::string disk2 = floppies_->Slot(2) + "/files.2";
  fs::resize_file(disk2, fs::file_size(disk2) / 2);
  TOrlnCompress r(nullptr);
  r.SetCompressedFile("A:\\files.1");
  r.OnNewDisk = Swap();
  int spanning = -1;
  for (int i = 0; i < r.Count() && spanning < 0; ++i) {
    const TFileHeader& h = r.Headers().GetFileHeader(i);
    if (h.FirstVolume <= 2 && h.LastVolume > 2) spanning = i;
  }
  ASSERT_GE(spanning, 0);
  const std::string name = files_[static_cast<size_t>(spanning)].first;
  std::string err = ErrorOf([&] { Extract(r, {name}, "C:\\out"); });
  EXPECT_NE(err.find("The decompressed file's size does not match"), std::string::npos) << err;
  EXPECT_TRUE(Listing("C:\\out").empty());
}

TEST_F(VolumeTest, CopyingNeedsADiskHandlerOnceTheFirstDiskFills) {
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\build\\files.1");
  EXPECT_EQ(ErrorOf([&] { c.CopyToVolumes("A:\\", "files.1"); }),
            "There was no event handler for the OnNewDisk event, therefore no new disk could be "
            "inserted");
  EXPECT_TRUE(c.Abort());
  // Aborting before a piece stops the copy quietly and runs OnAborted.
  int aborted = 0;
  c.OnNewDisk = Swap();
  c.OnStatus = [](TOrlnCompress& self, const TOrlnCompressStatus&) { self.SetAbort(true); };
  c.OnAborted = [&](TOrlnCompress&) { ++aborted; };
  c.CopyToVolumes("A:\\", "files.1");
  EXPECT_EQ(aborted, 1);

  // EAbort from a handler ends the copy quietly, without OnAborted.
  int statuses = 0;
  c.OnStatus = [&](TOrlnCompress&, const TOrlnCompressStatus&) {
    if (++statuses == 3) host::Abort();
  };
  EXPECT_NO_THROW(c.CopyToVolumes("A:\\", "files.1"));
  EXPECT_EQ(statuses, 3);
  EXPECT_EQ(aborted, 1);
  EXPECT_FALSE(c.Abort());
}

TEST_F(VolumeTest, AppendingToVolumesIsRefusedForWhatItIs) {
  CopyToDisks();
  PutFile("C:\\src\\more.txt", "more");
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("A:\\files.1");
  EXPECT_EQ(ErrorOf([&] { Add(c, {"C:\\src\\more.txt"}, true, 3); }),
            "Cannot add files to the compressed file A:\\files.1: it is spread over several "
            "volumes");
  EXPECT_TRUE(c.Abort());
}

TEST(CompressionStreamTest, RefusesReadingAndSeeking) {
  host::TMemoryStream target;
  TCompressionStream s(colDefault, target);
  char b = 0;
  EXPECT_THROW(s.Read(&b, 1), host::EStreamError);
  EXPECT_THROW(s.Seek(0, host::soBeginning), host::EStreamError);
  EXPECT_THROW(s.Seek(1, host::soCurrent), host::EStreamError);
  s.WriteBuffer("abc", 3);
  EXPECT_EQ(s.Seek(0, host::soCurrent), 3);
  s.Finish();
  EXPECT_EQ(static_cast<uint8_t>(target.Memory()[0]), 0x78);  // a zlib header
}

TEST(PercentOfTest, RoundsAndHolds) {
  EXPECT_EQ(PercentOf(0, 0), 0);
  EXPECT_EQ(PercentOf(5, 0), 0);
  EXPECT_EQ(PercentOf(1, 3), 33);
  EXPECT_EQ(PercentOf(2, 3), 67);
  EXPECT_EQ(PercentOf(150, 100), 100);
  EXPECT_EQ(PercentOf(-1, 100), 0);
}

}  // namespace
}  // namespace orln

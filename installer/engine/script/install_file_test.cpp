#include "installer/engine/script/install_file.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "host/forms/forms.h"
#include "host/forms/scripted_presenter.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install.h"
#include "installer/engine/testing/install_script_fixture.h"
#include "os/ini_file.h"
#include "os/net_transport.h"
#include "os/registrar.h"
#include "os/testing/loopback_server.h"
#include "os/testing/pe_image_builder.h"
#include "os/win_file.h"

namespace orln::test {
namespace {

constexpr char kUninstallKey[] = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\My product";
constexpr char kHistory[] = "\\SOFTWARE\\QEL\\Install\\Install0";
constexpr char kBuilt[] = "C:\\Build\\files.1";
constexpr double kDay = 45000.0;  // a date in 2023, at midnight

// A program image whose version resource says `version`.
std::string PeImage(const std::string& version, bool selfRegister = false) {
  os::test::TPeSpec spec;
  std::vector<std::pair<std::u16string, std::u16string>> values = {
      {u"FileVersion", std::u16string(version.begin(), version.end())}};
  if (selfRegister) values.push_back({u"OLESelfRegister", u""});
  spec.Tables = {{u"040904E4", values}};
  spec.Translations = {{0x409, 1252}};
  return os::test::BuildPeImage(spec).Bytes;
}

// Bytes that deflate poorly, so that a file spans many pieces of work.
std::string Noise(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

class FileInstallTest : public InstallScriptTest {
 protected:
  void SetUp() override {
    InstallScriptTest::SetUp();
    InstallGlobals().HistoryKeyPath = kHistory;
    InstallGlobals().ActiveXFiles.Clear();
    InstallGlobals().Compress.SetCompressedFile("");
  }
  void TearDown() override {
    InstallGlobals().HistoryKeyPath.clear();
    InstallScriptTest::TearDown();
    second_scope_.reset();
    second_.reset();
  }

  static void Put(const std::string& path, const std::string& data, double date = kDay) {
    ASSERT_TRUE(os::WinForceDirectories(host::ExtractFileDir(path)));
    ASSERT_TRUE(os::WinWriteWholeFile(path, data)) << path;
    ASSERT_TRUE(os::WinSetFileDate(path, date));
  }
  static std::string Get(const std::string& path) {
    std::string data;
    if (!os::WinReadWholeFile(path, data)) return "(missing)";
    return data;
  }
  static double DateOf(const std::string& path) {
    double d = 0;
    os::WinGetFileDate(path, d);
    return d;
  }

  // An install, a directory below Program Files and a file per source name.
  void MakeScript(const std::vector<std::string>& names) {
    install_ = Make<TInstall>("Install");
    dir_ = Make<TInstallDirectory>("Dir", install_);
    dir_->SetDestDirType(StandardPathSpecifiers().Lookup<TpsProgramFiles>());
    dir_->SetDestDir("\\My App");
    for (const std::string& n : names) AddFile(n);
  }
  TInstallFile* AddFile(const std::string& fileName, const std::string& name = std::string()) {
    auto* f = Make<TInstallFile>(name.empty() ? "IF" + std::to_string(files_.size()) : name, dir_);
    f->SetIncludeFromDir("C:\\Src");
    f->SetFileName(fileName);
    files_.push_back(f);
    return f;
  }
  void Build(int options) {
    install_->SetArchiveFileType(nullptr);
    install_->SetArchiveFile(kBuilt);
    install_->BuildArchive(options);
  }
  // Moves to a fresh machine holding the built archive as the install's
  // source ("C:\Setup\files.1").
  void FreshMachine() {
    // A net distribution may leave nothing in the main archive.
    std::string archive;
    const bool traditional = os::WinReadWholeFile(kBuilt, archive);
    std::map<std::string, std::string> sources;
    for (TInstallFile* f : files_) sources[f->SourcePath()] = Get(f->SourcePath());
    second_ = os::TMachine::Open(dir_path_.Path() + "/second");
    ASSERT_NE(second_, nullptr);
    second_scope_ = std::make_unique<os::TScopedMachine>(*second_);
    if (traditional) Put("C:\\Setup\\files.1", archive);
    sources_ = sources;
    install_->SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>());
    install_->SetSource("C:\\Setup", false, "");
  }
  void Run() {
    install_->SetRunning(true);
    struct TStop {
      TInstall* i;
      ~TStop() { i->SetRunning(false); }
    } stop{install_};
    install_->TFileContainer::Process();  // the install's tree, without the run
  }
  std::string Dest(const std::string& name) { return dir_->GetDestPath() + "\\" + name; }
  // Serves `archive` to every GET on 127.0.0.1, keeping the requests.
  std::unique_ptr<os::test::TLoopbackServer> Serve(const std::string& archive) {
    auto server = std::make_unique<os::test::TLoopbackServer>([this, archive](os::test::TLoopbackPeer& p) {
      requests_.push_back(p.ReadHttpRequest());
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) +
             "\r\nConnection: close\r\n\r\n" + archive);
    });
    os::SetNetTestPorts(server->Port(), 0);
    return server;
  }
  std::string Reg(const std::string& key, const std::string& name) {
    return RegReadString(hkLocalMachine, key, name, "(none)");
  }

  os::test::TTempDir dir_path_;
  std::unique_ptr<os::TMachine> second_;
  std::unique_ptr<os::TScopedMachine> second_scope_;
  std::map<std::string, std::string> sources_;
  TInstall* install_ = nullptr;
  TInstallDirectory* dir_ = nullptr;
  std::vector<TInstallFile*> files_;
  std::vector<std::string> requests_;
};

// ---- building and installing ----

TEST_F(FileInstallTest, TraditionalArchiveInstallsIdenticalFilesIntoAFreshMachine) {
  Put("C:\\Src\\readme.txt", "read me\r\n", kDay + 0.5);
  Put("C:\\Src\\tool.dll", PeImage("2.1.0.7"), kDay + 1);
  Put("C:\\Src\\big.bin", Noise(300000, 7), kDay + 2);
  MakeScript({"readme.txt", "tool.dll", "big.bin"});
  Build(kTraditionalBuild);
  EXPECT_EQ(files_[1]->Version(), "2.1.0.7");
  EXPECT_EQ(files_[0]->ArchiveEntryState(), aesCompress);
  // The archive holds every file under its id.
  TOrlnCompress reader(nullptr);
  reader.SetCompressedFile(kBuilt);
  for (TInstallFile* f : files_) EXPECT_GT(reader.IndexOfId(f->FileId()), 0) << f->Name();

  FreshMachine();
  Run();
  EXPECT_EQ(dir_->GetDestPath(), "C:\\Program Files\\My App");
  for (TInstallFile* f : files_) {
    EXPECT_TRUE(Get(Dest(f->DestName())) == sources_[f->SourcePath()]) << f->Name();
    EXPECT_EQ(DateOf(Dest(f->DestName())), f->FileDate()) << f->Name();
  }
  EXPECT_DOUBLE_EQ(DateOf(Dest("big.bin")), kDay + 2);
  // The uninstall log names each file once, and its count agrees.
  const std::string log = std::string(kUninstallKey) + "\\Files";
  EXPECT_EQ(Reg(log, "Entries"), "3");
  std::vector<std::string> logged;
  for (int i = 1; i <= 3; ++i) logged.push_back(Reg(log, "File" + std::to_string(i)));
  EXPECT_EQ(logged, (std::vector<std::string>{Dest("big.bin"), Dest("tool.dll"), Dest("readme.txt")}));
  EXPECT_EQ(Reg(log, "File4"), "(none)");
  // Nothing but the files themselves is left in the folder.
  std::vector<os::TWinFindData> entries;
  ASSERT_TRUE(os::WinListDirectory(dir_->GetDestPath(), entries));
  EXPECT_EQ(entries.size(), 3u);
}

TEST_F(FileInstallTest, SubContainersBuildIntoTheSameArchiveAndInstallBelowTheirParent) {
  Put("C:\\Src\\a.txt", "alpha");
  Put("C:\\Src\\b.txt", "beta");
  MakeScript({"a.txt"});
  auto* sub = Make<TInstallDirectory>("Sub", dir_);
  sub->SetDestDir("\\Data");
  auto* b = Make<TInstallFile>("FileB", sub);
  b->SetIncludeFromDir("C:\\Src");
  b->SetFileName("b.txt");
  Build(kTraditionalBuild);
  FreshMachine();
  Run();
  EXPECT_EQ(Get("C:\\Program Files\\My App\\a.txt"), "alpha");
  EXPECT_EQ(Get("C:\\Program Files\\My App\\Data\\b.txt"), "beta");
  EXPECT_EQ(dir_->SizeOf(true, true), 9);
  EXPECT_EQ(dir_->UncompressedSize(true), 5);
}

TEST_F(FileInstallTest, NetDistributionInstallsThroughTheServerAndRemembersTheLocalFile) {
  Put("C:\\Src\\a.txt", "alpha over the wire");
  Put("C:\\Src\\b.txt", Noise(20000, 3));
  MakeScript({"a.txt", "b.txt"});
  TNetInstallLocation location(&module_);
  location.SetName("Net1");
  location.LoginInformation().Hostname = "127.0.0.1";
  install_->SetNetLocation(&location);
  InstallGlobals().LibraryTool = true;  // the type is set while designing
  install_->SetDistributeType(dtWeb);
  InstallGlobals().LibraryTool = false;
  Build(kWebBuild);
  const std::string netArchive = dir_->NetArchivePath();
  EXPECT_EQ(netArchive, "C:\\Build\\127.0.0.1\\HTTP Root directory\\Dir.1");
  std::string served;
  ASSERT_TRUE(os::WinReadWholeFile(netArchive, served));

  FreshMachine();
  auto server = Serve(served);
  const std::vector<std::string>& requests = requests_;
  std::vector<int> percents;
  dir_->OnDataReceived = [&](host::TObject*, const std::string&, int32_t, int32_t total,
                             int32_t received, int32_t) {
    if (total > 0) percents.push_back(received * 100 / total);
  };
  Run();
  os::SetNetTestPorts(0, 0);
  EXPECT_EQ(Get(Dest("a.txt")), "alpha over the wire");
  EXPECT_TRUE(Get(Dest("b.txt")) == sources_["C:\\Src\\b.txt"]);
  ASSERT_EQ(requests.size(), 1u);  // one download serves both files
  EXPECT_NE(requests[0].find("GET /Dir.1 "), std::string::npos) << requests[0];
  const std::string local = Reg(std::string(kHistory) + "\\Dir", "LocalFile");
  EXPECT_TRUE(os::WinFileExists(local)) << local;
  EXPECT_EQ(dir_->LocalArchive(), local);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
}

TEST_F(FileInstallTest, TraditionalNetKeepsLocalFilesInTheMainArchiveAndFetchesTheRest) {
  Put("C:\\Src\\local.txt", "from the disk");
  Put("C:\\Src\\remote.txt", "from the server");
  MakeScript({"local.txt", "remote.txt"});
  files_[1]->SetNet(true);
  TNetInstallLocation location(&module_);
  location.SetName("Net1");
  location.LoginInformation().Hostname = "127.0.0.1";
  location.LoginInformation().Directory = "pub/app";
  install_->SetNetLocation(&location);
  InstallGlobals().LibraryTool = true;
  install_->SetDistributeType(dtTraditionalNet);
  InstallGlobals().LibraryTool = false;
  Build(kTraditionalNetBuild);
  const std::string netArchive = dir_->NetArchivePath();
  EXPECT_EQ(netArchive, "C:\\Build\\127.0.0.1\\pub-app\\Dir.1");
  TOrlnCompress main(nullptr), net(nullptr);
  main.SetCompressedFile(kBuilt);
  net.SetCompressedFile(netArchive);
  EXPECT_GT(main.IndexOfId(files_[0]->FileId()), 0);
  EXPECT_EQ(main.IndexOfId(files_[1]->FileId()), 0);
  EXPECT_GT(net.IndexOfId(files_[1]->FileId()), 0);
  EXPECT_EQ(net.IndexOfId(files_[0]->FileId()), 0);
  std::string served;
  ASSERT_TRUE(os::WinReadWholeFile(netArchive, served));

  FreshMachine();
  auto server = Serve(served);
  const std::vector<std::string>& requests = requests_;
  Run();
  os::SetNetTestPorts(0, 0);
  EXPECT_EQ(Get(Dest("local.txt")), "from the disk");
  EXPECT_EQ(Get(Dest("remote.txt")), "from the server");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("GET /pub/app/Dir.1 "), std::string::npos) << requests[0];
}

TEST_F(FileInstallTest, DisksAreAskedForThroughTheEventsAndAHandledFileIsNotPromptedAgain) {
  Put("C:\\Src\\big.bin", Noise(300000, 5));
  MakeScript({"big.bin"});
  Build(kTraditionalBuild);
  // The archive goes onto 120 KB disks, each kept in a folder of its own.
  machine_->SetDriveCapacity('A', 120000);
  {
    // The disk in the drive goes to its shelf, the one asked for comes back.
    int inserted = 1;
    int highest = 1;
    auto moveAll = [](const std::string& from, const std::string& to) {
      ASSERT_TRUE(os::WinForceDirectories(to));
      std::vector<os::TWinFindData> entries;
      if (!os::WinDirectoryExists(from)) return;
      ASSERT_TRUE(os::WinListDirectory(from, entries));
      for (const auto& e : entries)
        ASSERT_TRUE(os::WinMoveFile(from + "\\" + e.Name, to + "\\" + e.Name));
    };
    auto shelf = [](int disk) { return "C:\\Disk" + std::to_string(disk); };
    TOrlnCompress c(nullptr);
    c.SetCompressedFile(kBuilt);
    c.OnNewDisk = [&](TOrlnCompress&, int volume, std::string& dir) {
      moveAll("A:", shelf(inserted));
      moveAll(shelf(volume), "A:");
      inserted = volume;
      highest = std::max(highest, volume);
      dir = "A:\\";
    };
    c.CopyToVolumes("A:\\", "files.1");
    moveAll("A:", shelf(inserted));
    ASSERT_GE(highest, 3);
  }
  install_->SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>());
  install_->SetSource("C:\\Disk1", false, "");
  // No prompt may come: a strict presenter refuses one.
  host::TApplication app;
  auto presenter = std::make_unique<host::TScriptedPresenter>();
  presenter->SetStrict(true);
  app.SetPresenter(std::move(presenter));

  std::vector<int> asked;
  files_[0]->OnNewDisk = [&](host::TObject*, int32_t disk, std::string& path) {
    asked.push_back(disk);
    path = "C:\\Disk" + std::to_string(disk) + "\\";
  };
  Run();
  EXPECT_EQ(Get(Dest("big.bin")), Noise(300000, 5));
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), 2);
  EXPECT_EQ(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>()->NewDiskDirectory(),
            "C:\\Disk" + std::to_string(asked.back()));

  // Without a handler of its own, a page of the directory answers and marks
  // the file as handled.
  files_[0]->OnNewDisk = nullptr;
  os::WinDeleteFile(Dest("big.bin"));
  StandardPathSpecifiers().Lookup<TpsMainArchiveFile>()->SetNewDiskDirectory("");
  asked.clear();
  dir_->OnNewDisk = [&](host::TObject* sender, int32_t disk, std::string& path) {
    asked.push_back(disk);
    path = "C:\\Disk" + std::to_string(disk);
    static_cast<TCustomInstallFile*>(sender)->SetTag(1);
  };
  dir_->SetProcessed(false);
  Run();
  EXPECT_EQ(Get(Dest("big.bin")), Noise(300000, 5));
  EXPECT_FALSE(asked.empty());
}

TEST_F(FileInstallTest, DistributeTypeNeedsDesignTimeAndANetLocation) {
  MakeScript({});
  EXPECT_THROW(install_->SetDistributeType(dtWeb), IEInstall);
  InstallGlobals().LibraryTool = true;
  struct TBack {
    ~TBack() { InstallGlobals().LibraryTool = false; }
  } back;
  EXPECT_THROW(install_->SetDistributeType(dtWeb), IEInstallNetLocNil);
  {
    TNetInstallLocation location(&module_);
    install_->SetNetLocation(&location);
    install_->SetDistributeType(dtTraditionalNet);
    EXPECT_EQ(install_->DistributeType(), dtTraditionalNet);
  }
  // The location went: back to a traditional distribution.
  EXPECT_EQ(install_->NetLocation(), nullptr);
  EXPECT_EQ(install_->DistributeType(), dtTraditional);
}

// ---- overwrite modes ----

TEST_F(FileInstallTest, OverwriteModesDecideAgainstOlderNewerEqualAndMissingFiles) {
  const std::string fresh = PeImage("2.0.0.0");
  Put("C:\\Src\\lib.dll", fresh, kDay + 10);
  MakeScript({"lib.dll"});
  Build(kTraditionalBuild);
  struct TCase {
    TOverwriteType mode;
    const char* expected;  // older, newer, equal, missing: 'c' copied, '-' kept
  };
  for (const TCase c : {TCase{owAlways, "cccc"}, TCase{owNever, "---c"}, TCase{owVersion, "c--c"},
                        TCase{owDate, "c--c"}, TCase{owVersionDate, "c--c"}}) {
    files_[0]->SetOverwriteMode(c.mode);
    std::string got;
    const std::vector<std::pair<std::string, double>> dests = {
        {PeImage("1.0.0.0"), kDay + 5}, {PeImage("3.0.0.0"), kDay + 20}, {fresh, kDay + 10}};
    for (size_t i = 0; i < 4; ++i) {
      const std::string dest = Dest("lib.dll");
      os::WinDeleteFile(dest);
      std::string before = "(missing)";
      if (i < 3) {
        before = dests[i].first;
        Put(dest, before, dests[i].second);
      }
      dir_->SetProcessed(false);
      Run();
      const bool copied = files_[0]->CopyDecision();
      EXPECT_EQ(Get(dest), copied ? fresh : before) << "mode " << c.mode << " case " << i;
      if (copied) {
        EXPECT_DOUBLE_EQ(DateOf(dest), kDay + 10);
      }
      got += copied ? 'c' : '-';
    }
    EXPECT_EQ(got, c.expected) << "mode " << c.mode;
  }
}

TEST_F(FileInstallTest, AskModeTakesTheUsersAnswerAndRunsThePostInstallStepsEitherWay) {
  Put("C:\\Src\\doc.hlp", "new help", kDay + 10);
  MakeScript({"doc.hlp"});
  EXPECT_TRUE(files_[0]->RegisterAsHelp());  // by its extension
  files_[0]->SetOverwriteMode(owAsk);
  Build(kTraditionalBuild);
  host::TApplication app;
  auto presenter = std::make_unique<host::TScriptedPresenter>();
  host::TScriptedPresenter* scripted = presenter.get();
  app.SetPresenter(std::move(presenter));
  std::unique_ptr<host::TForm> form(host::New<host::TForm>(nullptr));
  form->SetName("CopyPage");
  scripted->LoadAnswers("[CopyPage]\nmessage No\nmessage Yes\n");
  form->Show();

  for (const char* answer : {"No", "Yes"}) {
    Put(Dest("doc.hlp"), "old help", kDay);
    RegDeleteTree(hkLocalMachine, "\\SOFTWARE\\Microsoft\\Windows\\Help");
    dir_->SetProcessed(false);
    Run();
    EXPECT_EQ(Get(Dest("doc.hlp")), std::string(answer) == "Yes" ? "new help" : "old help");
    EXPECT_EQ(Reg("\\SOFTWARE\\Microsoft\\Windows\\Help", "DOC.HLP"), dir_->GetDestPath()) << answer;
  }
  EXPECT_NE(scripted->Transcript().back().find("Copy This File C:\\Program Files\\My App\\doc.hlp?"),
            std::string::npos)
      << scripted->Transcript().back();
  form->Hide();
}

// ---- files in use ----


TEST_F(FileInstallTest, AFileHeldOpenGoesInBesideItAndReplacesItAtTheRestart) {
  Put("C:\\Src\\app.exe", PeImage("2.0"));
  MakeScript({"app.exe"});
  Build(kTraditionalBuild);
  Put(Dest("app.exe"), "running program");
  Put(Dest("app.2"), "someone else's");
  {
    THolder holder(Dest("app.exe"));
    Run();
  }
  // Beside the old file under the first free number; the old one untouched.
  EXPECT_EQ(files_[0]->DestName(), "app.1");
  EXPECT_EQ(Get(Dest("app.1")), PeImage("2.0"));
  EXPECT_EQ(Get(Dest("app.exe")), "running program");
  EXPECT_TRUE(files_[0]->ReplacedAfterReboot());
  EXPECT_TRUE(install_->Reboot());
  const auto moves = os::WinReadDelayedMoves();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].From, Dest("app.1"));
  EXPECT_EQ(moves[0].To, Dest("app.exe"));
  EXPECT_EQ(Reg(std::string(kHistory) + "\\Unfinished", "IF0"), "0");
  EXPECT_EQ(install_->UnfinishedCount(), 1);

  // The next free number when ".1" is taken too.
  files_[0]->SetDestName("app.exe");
  dir_->SetProcessed(false);
  {
    THolder holder(Dest("app.exe"));
    Run();
  }
  EXPECT_EQ(files_[0]->DestName(), "app.3");
}

TEST_F(FileInstallTest, FailedDelayedMovesFallBackToABatchFileWithQuotedPaths) {
  Put("C:\\Src\\app.exe", "new program");
  MakeScript({"app.exe"});
  Build(kTraditionalBuild);
  Put(Dest("app.exe"), "running program");
  machine_->SetFailDelayedMoves(true);
  {
    THolder holder(Dest("app.exe"));
    Run();
  }
  EXPECT_EQ(Get(Dest("app.1")), "new program");
  EXPECT_TRUE(os::WinReadDelayedMoves().empty());
  std::string batch;
  for (const char* root : {"\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"}) {
    TorlnRegistry reg;
    reg.SetRootKey(os::HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKeyReadOnly(root));
    batch = reg.ReadString("OrlaneBatFile");
  }
  EXPECT_EQ(host::UpperCase(host::ExtractFileExt(batch)), ".BAT");
  EXPECT_EQ(Get(batch),
            "erase \"C:\\Program Files\\My App\\app.exe\"\r\n"
            "move \"C:\\Program Files\\My App\\app.1\" \"C:\\Program Files\\My App\\app.exe\"\r\n");
  EXPECT_EQ(Reg(std::string(kHistory) + "\\Unfinished", batch), "1");
}

TEST_F(FileInstallTest, OnWindows98AFileInUseIsRenamedThroughWininit) {
  machine_->Profile().Version.PlatformId = 1;
  machine_->Profile().Version.MajorVersion = 4;
  machine_->Profile().Version.MinorVersion = 10;
  Put("C:\\Src\\app.exe", "new program");
  MakeScript({"app.exe"});
  Build(kTraditionalBuild);
  Put(Dest("app.exe"), "running program");
  {
    THolder holder(Dest("app.exe"));
    Run();
  }
  EXPECT_EQ(Get(Dest("app.1")), "new program");
  EXPECT_TRUE(os::WinReadDelayedMoves().empty());
  const std::string ini = GetWindowsDirectory() + "\\WININIT.INI";
  EXPECT_EQ(os::IniReadString(ini, "Rename", Dest("app.exe"), ""), Dest("app.1"));
  EXPECT_TRUE(install_->Reboot());
}

TEST_F(FileInstallTest, AReadOnlyDestinationIsNeverLost) {
  Put("C:\\Src\\data.txt", "new data");
  MakeScript({"data.txt"});
  Build(kTraditionalBuild);
  Put(Dest("data.txt"), "old data");
  ASSERT_TRUE(os::WinSetFileAttributes(Dest("data.txt"), os::FILE_ATTRIBUTE_READONLY));
  Run();
  EXPECT_EQ(Get(Dest("data.txt")), "old data");
  EXPECT_EQ(Get(Dest("data.1")), "new data");
}

// ---- failures while replacing ----

class ReplaceFailureTest : public FileInstallTest {
 protected:
  void SetUp() override {
    FileInstallTest::SetUp();
    Put("C:\\Src\\big.bin", Noise(400000, 11));
    MakeScript({"big.bin"});
    Build(kTraditionalBuild);
  }
  void ExpectOldFileAlone(const std::string& dir) {
    EXPECT_EQ(Get(dir + "\\big.bin"), "the old file");
    std::vector<os::TWinFindData> entries;
    ASSERT_TRUE(os::WinListDirectory(dir, entries));
    ASSERT_EQ(entries.size(), 1u) << entries.back().Name;  // no temporary left
  }
};

TEST_F(ReplaceFailureTest, ACorruptEntryKeepsTheOldFile) {
  std::string archive = Get(kBuilt);
  archive[archive.size() - 3000] ^= 0x5A;
  archive[archive.size() - 2000] ^= 0x5A;
  Put(kBuilt, archive);
  Put(Dest("big.bin"), "the old file");
  EXPECT_THROW(Run(), EOrlnCompress);
  ExpectOldFileAlone(dir_->GetDestPath());
}

TEST_F(ReplaceFailureTest, AnAbortKeepsTheOldFile) {
  Put(Dest("big.bin"), "the old file");
  // The install's own archive serves the run; a cancel button sets its flag.
  InstallGlobals().Compress.SetCompressedFile(kBuilt);
  int updates = 0;
  files_[0]->OnStatus = [&](host::TObject*, int32_t, int32_t) {
    if (++updates == 2) InstallGlobals().Compress.SetAbort(true);
  };
  EXPECT_THROW(Run(), EAIUserAbort);
  EXPECT_TRUE(install_->Aborted());
  ExpectOldFileAlone(dir_->GetDestPath());
  InstallGlobals().Compress.SetAbort(false);
}

TEST_F(ReplaceFailureTest, AFullDiskKeepsTheOldFile) {
  dir_->SetDestDirType(nullptr);
  dir_->SetDestDir("A:\\App");
  Put("A:\\App\\big.bin", "the old file");
  Put("A:\\filler", std::string(machine_->DriveCapacity('A') - 200000, 'f'));
  EXPECT_THROW(Run(), EOrlnCompress);
  os::WinDeleteFile("A:\\filler");
  ExpectOldFileAlone("A:\\App");
}

// ---- self-registration, shared counts, settings ----

TEST_F(FileInstallTest, ActiveXFilesRegisterByExtensionAndLogTheirKind) {
  Put("C:\\Src\\ctl.ocx", "control");
  Put("C:\\Src\\types.tlb", "type library");
  Put("C:\\Src\\server.exe", PeImage("1.0", true));
  Put("C:\\Src\\plain.exe", PeImage("1.0", false));
  MakeScript({"ctl.ocx", "types.tlb", "server.exe", "plain.exe"});
  EXPECT_TRUE(files_[0]->ActiveX());
  EXPECT_TRUE(files_[1]->ActiveX());
  EXPECT_TRUE(files_[2]->ActiveX());  // by its OLESelfRegister value
  EXPECT_FALSE(files_[3]->ActiveX());
  // An ActiveX file is a system-wide library: counted, into the system folder.
  EXPECT_EQ(files_[0]->FileType(), iftSystemWideDLL);
  EXPECT_TRUE(files_[0]->UpdateDLLCounter());
  EXPECT_EQ(files_[0]->OverwriteMode(), owVersionDate);
  const std::string system = GetSystemDirectory();
  EXPECT_EQ(files_[0]->GetDestPath(), system);
  Build(kTraditionalBuild);
  Run();
  const auto regs = os::ReadRegistrations();
  ASSERT_EQ(regs.size(), 3u);
  std::map<std::string, os::TRegistrationKind> byPath;
  for (const auto& r : regs) byPath[r.Path] = r.Kind;
  EXPECT_EQ(byPath[system + "\\ctl.ocx"], os::TRegistrationKind::Library);
  EXPECT_EQ(byPath[system + "\\types.tlb"], os::TRegistrationKind::TypeLibrary);
  EXPECT_EQ(byPath[system + "\\server.exe"], os::TRegistrationKind::Program);
  const std::string key = std::string(kUninstallKey) + "\\ActiveX";
  EXPECT_EQ(Reg(key, "Entries"), "3");
  std::vector<std::string> logged;
  for (int i = 1; i <= 3; ++i) logged.push_back(Reg(key, "File" + std::to_string(i)));
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, (std::vector<std::string>{system + "\\ctl.ocx;1", system + "\\server.exe;0",
                                              system + "\\types.tlb;2"}));
  // Each system-wide library is counted once per install.
  TorlnRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"));
  EXPECT_EQ(reg.ReadInteger(system + "\\ctl.ocx"), 1);
  for (auto* f : files_) f->SetProcessed(false);
  dir_->SetProcessed(false);
  Run();
  EXPECT_EQ(reg.ReadInteger(system + "\\ctl.ocx"), 2);
}

TEST_F(FileInstallTest, AFailedRegistrationWaitsDuringARunAndRaisesOutsideOne) {
  Put("C:\\Src\\ctl.ocx", "control");
  MakeScript({"ctl.ocx"});
  Build(kTraditionalBuild);
  const std::string installed = GetSystemDirectory() + "\\ctl.ocx";
  os::SetRegistrationFault(installed, os::TRegistrationStage::Result, 5);
  struct TClear {
    std::string p;
    ~TClear() { os::SetRegistrationFault(p, os::TRegistrationStage::Done, 0); }
  } clear{installed};
  Run();
  EXPECT_EQ(Get(installed), "control");
  EXPECT_EQ(InstallGlobals().ActiveXFiles.IndexOf(files_[0]), 0);
  EXPECT_TRUE(os::ReadRegistrations().empty());

  EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { files_[0]->RegisterActiveXLibrary(); }),
            "Could not register the ActiveX component, ctl.ocx, because the DllRegisterServer "
            "function returned a value of 5. The file component is IF0");
  os::SetRegistrationFault(installed, os::TRegistrationStage::Load, 193);
  EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { files_[0]->ResumeUnfinished(); }),
            "Could not register the ActiveX component, ctl.ocx, because the LoadLibrary(" +
                installed +
                ") procedure returned a value of 0. The file component is IF0. The following value "
                "is the value of the GetLastError function: 193");
  // A freed file leaves the waiting list.
  delete files_[0];
  EXPECT_EQ(InstallGlobals().ActiveXFiles.Count(), 0);
}

TEST_F(FileInstallTest, DuplicateSourcesAndOverLongNamesAreRefused) {
  Put("C:\\Src\\a.txt", "a");
  MakeScript({"a.txt"});
  auto* second = Make<TInstallFile>("Second", dir_);
  second->SetIncludeFromDir("c:\\src");
  EXPECT_EQ(MessageOf<IEfcDuplicateFile>([&] { second->SetFileName("A.TXT"); }),
            "There is already a file with the name :c:\\src\\A.TXT");
  EXPECT_EQ(second->FileName(), "");
  second->SetFileName("b.txt");
  Put("C:\\Src\\b.txt", "b");
  second->SetName(std::string(40, 'N'));
  EXPECT_THROW(Build(kTraditionalBuild), IECustomInstallFile);
  second->SetName(std::string(39, 'N'));
  Build(kTraditionalBuild);
  EXPECT_EQ(second->ArchiveSummary().substr(16, 40), std::string(39, 'N') + '\0');
  // A file sits only in a file container.
  auto* group = Make<TTestDialog>("Dlg", install_);
  EXPECT_THROW(second->SetContainer(group), IECustomInstallFile);
}

TEST_F(FileInstallTest, FileIdsAreUniqueReadFromTheScriptAndFreedWithTheFile) {
  MakeScript({});
  auto* a = AddFile("a.txt", "FileA");
  auto* b = AddFile("b.txt", "FileB");
  EXPECT_NE(a->FileId(), b->FileId());
  const int32_t freed = a->FileId();
  delete a;
  files_.erase(files_.begin());
  auto* c = AddFile("c.txt", "FileC");
  EXPECT_EQ(c->FileId(), freed);  // the lowest free slot
  const std::string text = host::WriteComponent(*b);
  EXPECT_NE(text.find("UniqueID = " + std::to_string(b->FileId())), std::string::npos) << text;
  EXPECT_THROW(b->SetFileId(kInstallFileIds), IECustomInstallFile);
}

TEST_F(FileInstallTest, PercentsAreClampedAndReachAHundredWhenDone) {
  EXPECT_EQ(PercentOf(5, 0), 0);
  EXPECT_EQ(PercentOf(5, 0, true), 100);
  EXPECT_EQ(PercentOf(150, 100), 100);
  EXPECT_EQ(PercentOf(-3, 100), 0);
  TDownloadStatusParameter p;
  p.SetProgress(0, 10);
  EXPECT_EQ(p.Percent, 0);
  p.SetProgress(0, 10, true);
  EXPECT_EQ(p.Percent, 100);
  p.SetProgress(100, 250);
  EXPECT_EQ(p.Percent, 100);
  p.SetProgress(200, 99);
  EXPECT_EQ(p.Percent, 50);
}

TEST_F(FileInstallTest, TheUninstallProgramWritesTheProductsEntryAndDropsGoneFiles) {
  Put("C:\\Src\\uninstall.exe", "uninstaller");
  Put("C:\\Src\\app.ico", "icon");
  MakeScript({});
  auto* un = Make<TUninstallEXE>("Uninstaller", dir_);
  un->SetIncludeFromDir("C:\\Src");
  un->SetFileName("uninstall.exe");
  AddFile("app.ico");  // the newer child: processed before the uninstaller
  EXPECT_TRUE(un->Net());
  install_->Information().CompanyName = "Tavrin";
  install_->Information().ProductName = "My product";
  install_->Win2KExtendedInformation().DisplayIcon = files_[0];
  install_->Win2KExtendedInformation().HelpLink = "http://help";
  Build(kTraditionalBuild);
  Run();
  EXPECT_EQ(Reg(kUninstallKey, "DisplayName"), "My product");
  EXPECT_EQ(Reg(kUninstallKey, "UninstallString"), Dest("uninstall.exe") + " My product");
  EXPECT_EQ(Reg(kUninstallKey, "DisplayIcon"), Dest("app.ico"));
  EXPECT_EQ(Reg(kUninstallKey, "Publisher"), "Tavrin");
  EXPECT_EQ(Reg(kUninstallKey, "HelpLink"), "http://help");
  EXPECT_EQ(Reg(kUninstallKey, "Comments"), "(none)");
  EXPECT_TRUE(install_->BuildInfo().AddUninstallOnCreate);
  delete un;
  EXPECT_FALSE(install_->BuildInfo().AddUninstallOnCreate);
  delete files_[0];
  EXPECT_EQ(install_->Win2KExtendedInformation().DisplayIcon, nullptr);
}

TEST_F(FileInstallTest, AScriptNamesFilesDirectoriesAndTheNetLocation) {
  const std::string text =
      "object Module: TDataModule\n"
      "  object Install: TInstall\n"
      "    NetLocation = Net\n"
      "    RunAutomatic = False\n"
      "  end\n"
      "  object Net: TNetInstallLocation\n"
      "    LoginInformation.Hostname = 'files.example'\n"
      "    LoginInformation.Protocol = ipFTP\n"
      "  end\n"
      "  object Dir: TInstallDirectory\n"
      "    Container = Install\n"
      "    Description = 'Program files'\n"
      "  end\n"
      "  object psFileContainer1: TpsFileContainer\n"
      "    FileContainer = Dir\n"
      "  end\n"
      "  object Readme: TInstallFile\n"
      "    Container = Dir\n"
      "    FileName = 'readme.txt'\n"
      "    IncludeFromDir = 'C:\\Src'\n"
      "    OverwriteMode = owVersionDate\n"
      "    UniqueID = 42\n"
      "  end\n"
      "end\n";
  host::ReadComponent(text, module_);
  auto* file = dynamic_cast<TInstallFile*>(module_.FindComponent("Readme"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->FileId(), 42);
  EXPECT_TRUE(InstallGlobals().FileIdUsed[42]);
  EXPECT_EQ(file->OverwriteMode(), owVersionDate);
  EXPECT_EQ(file->Container()->Name(), "Dir");
  auto* install = dynamic_cast<TInstall*>(module_.FindComponent("Install"));
  ASSERT_NE(install, nullptr);
  ASSERT_NE(install->NetLocation(), nullptr);
  EXPECT_EQ(install->NetLocation()->LoginInformation().Hostname, "files.example");
  EXPECT_EQ(install->NetLocation()->LoginInformation().Protocol, ipFTP);
  auto* dir = dynamic_cast<TInstallDirectory*>(module_.FindComponent("Dir"));
  ASSERT_NE(dir, nullptr);
  // The directory took its stored specifier and freed the one it made.
  ASSERT_NE(dir->PathSpecifier(), nullptr);
  EXPECT_EQ(dir->PathSpecifier()->Name(), "psFileContainer1");
  EXPECT_EQ(dir->PathSpecifier()->FileContainer(), dir);
  int specifiers = 0;
  for (int i = 0; i < module_.ComponentCount(); ++i) {
    if (auto* spec = dynamic_cast<TpsFileContainer*>(module_.Components(i)))
      specifiers += spec->FileContainer() == dir;
  }
  EXPECT_EQ(specifiers, 1);
  EXPECT_EQ(dir->PathSpecifier()->GetShortName(), "<Program files>");
}

}  // namespace
}  // namespace orln::test

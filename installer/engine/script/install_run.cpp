// The install run: command line, start-up mode, the run with its passes by
// kind, the history key, restart and resume, completion and clean-up.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "host/forms/forms.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/base/program_launcher.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/self_extract.h"
#include "installer/engine/translation/translator.h"
#include "os/batch_file.h"
#include "os/clock.h"
#include "os/restart.h"
#include "os/win_file.h"

namespace orln {
namespace {

constexpr char kHistoryRoot[] = "\\SOFTWARE\\QEL\\Install";
constexpr char kHistoryParent[] = "\\SOFTWARE\\QEL";
constexpr char kInvalidParameter[] =
    "Invalid parameter <%s>. Valid command line parameters are: -b (Build), -d (Debug), -f "
    "(Transfer to floppies), -e (Called by self-extractor), -r (After reboot)";
constexpr char kUnfinishedRegistry[] =
    "The TInstall could not either write or read unfinished business from the registry";

// The start time of the current run.
double g_run_start = 0;

std::string ProgramPath() { return host::Application().ParamStr(0); }

std::string UnfinishedKey() {
  const std::string& history = InstallGlobals().HistoryKeyPath;
  if (history.empty()) throw IEInstall(kUnfinishedRegistry);
  return history + "\\Unfinished";
}

// The subkey names of an HKLM key; empty when it cannot be opened.
std::vector<std::string> SubKeys(const std::string& key) {
  std::vector<std::string> out;
  TorlnRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  if (!reg.OpenKeyReadOnly(key)) return out;
  host::TStringList names;
  reg.GetKeyNames(names);
  for (int i = 0; i < names.Count(); ++i) out.push_back(names.Strings(i));
  return out;
}

// Deletes an HKLM key that holds no subkeys.
void DeleteWhenEmpty(const std::string& key) {
  TorlnRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  if (!reg.OpenKeyReadOnly(key)) return;
  const bool empty = !reg.HasSubKeys();
  reg.CloseKey();
  if (empty) reg.DeleteKey(key);
}

// Runs `f`; a registry or machine-file failure is a failing step.
template <class F>
bool RegistryStep(F&& f) {
  try {
    f();
    return true;
  } catch (const host::ERegistryException&) {
  } catch (const EIRCannotWriteValue&) {
  } catch (const os::EDamagedFile&) {
  }
  return false;
}

// Runs `f(failed)` when the scope ends; failed when an exception ends it.
template <class F>
struct TOnExit {
  F f;
  int exceptions = std::uncaught_exceptions();
  ~TOnExit() { f(std::uncaught_exceptions() > exceptions); }
};
template <class F>
TOnExit(F) -> TOnExit<F>;

}  // namespace

// ---- start-up ----

void TCustomInstall::ParseCommandLine() {
  options_ = 0;
  option_values_ = {};
  host::TApplication& app = host::Application();
  for (int i = 1; i <= app.ParamCount(); ++i) {
    const std::string arg = app.ParamStr(i);
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '*')) throw IEInstall(kInvalidParameter, {arg});
    static constexpr char kLetters[] = "bfdercsn";
    char letter = arg[1];
    if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    const char* found = letter == '\0' ? nullptr : std::strchr(kLetters, letter);
    if (found == nullptr) {
      if (arg[0] == '-') throw IEInstall(kInvalidParameter, {arg});
      continue;
    }
    static constexpr TInstallOption kBits[] = {ioBuild,    ioFloppies, ioDebug,   ioSelfExtract,
                                               ioAfterReboot, ioCleanUp, ioSource, ioForget};
    const TInstallOption option = kBits[found - kLetters];
    options_ = static_cast<uint8_t>(options_ | (1u << option));
    option_values_[option] = arg.substr(2);
  }
}

host::TCustomForm* TCustomInstall::MainForm() const {
  if (host::TCustomForm* form = host::Application().MainForm()) return form;
  return dynamic_cast<host::TCustomForm*>(Owner());
}

void TCustomInstall::Loaded() {
  TFileContainer::Loaded();
  const bool designing = IsDesignMode(this);
  if (!designing) {
    ParseCommandLine();
    if (HasOption(ioDebug) && host::Trim(OptionValue(ioSource)).empty())
      throw IEInstall(
          "You forgot to pass in the build directory. In Run | Parameters, follow this format: "
          "-d \"-sC:\\My Build\"");
    SetSource(HasOption(ioSource) ? OptionValue(ioSource)
                                  : RemoveTrailingBackslash(host::ExtractFilePath(ProgramPath())),
              HasOption(ioSelfExtract), OptionValue(ioSelfExtract));
    FindInstallHistory(false, InstallGlobals().HistoryKeyPath);
  }
  host::TCustomForm* form = MainForm();
  if (!designing && form == nullptr && run_automatic_)
    throw IEInstall(
        "Application.MainForm is undefined and the TInstall is not on a form. Therefore, "
        "therefore the TInstall can't run the installation automatically");
  const TInstallTypes types = InstallTypes();
  SelectInstallType((types & ItBit(itDefault)) != 0   ? itDefault
                    : (types & ItBit(itCompact)) != 0 ? itCompact
                                                      : itFull);
  if (designing) return;
  // The special modes start once every component of the form is loaded.
  if (HasOption(ioBuild)) {
    host::Application().AfterMainFormLoaded([this] { RunBuildMode(); });
  } else if (HasOption(ioFloppies)) {
    host::Application().AfterMainFormLoaded([this] { TransferToFloppies("a:"); });
  } else if (HasOption(ioAfterReboot)) {
    host::Application().AfterMainFormLoaded([this] {
      try {
        ResumeUnfinished();
      } catch (...) {
        host::Application().HandleException(this);
      }
    });
  } else if (form != nullptr) {
    saved_on_activate_ = form->OnActivate;
    hooked_form_ = form;
    form->OnActivate = [this](host::TObject* sender) { FormActivated(sender); };
    if (hide_main_form_) {
      form->SetLeft(-2 * form->Width());
      form->SetTop(-2 * form->Height());
    }
  }
}

void TCustomInstall::FormActivated(host::TObject* sender) {
  if (saved_on_activate_) saved_on_activate_(sender);
  if (activated_once_ || hooked_form_ == nullptr) return;
  activated_once_ = true;
  if (auto_maximize_) {
    hooked_form_->SetWindowState(host::wsMaximized);
    hooked_form_->Refresh();
  }
  if (run_automatic_) {
    hooked_form_->OnActivate = saved_on_activate_;
    hooked_form_ = nullptr;
    Process();
  }
}

// ---- the run ----

void TCustomInstall::Process() {
  g_run_start = os::Now();
  InstallGlobals().ActiveXFiles.Clear();
  unfinished_count_ = 0;
  running_ = true;
  aborted_ = false;
  archive_info_read_ = false;
  // Running goes off however the run ends; a failure leaves it for the
  // exception handler to find.
  in_run_ = true;
  TOnExit runScope{[this](bool failed) { EndRun(failed); }};

  if (use_loading_program_ && !HasOption(ioSource))
    throw IEInstall(
        "The path of the loading program was not passed correctly. If you are running your "
        "install project in the IDE, then you need to add two command line parameters. In Run | "
        "Parameters | \"Run Parameters\", type in: -d \"-sBUILDPATH\" where BUILDPATH is the path "
        "into which you built the distributables. Example: -d \"-sC:\\My Build\".");
  // Nothing recorded yet is nothing to forget.
  if (HasOption(ioForget) && !InstallGlobals().HistoryKeyPath.empty()) ClearUnfinished();
  FindInstallHistory(true, InstallGlobals().HistoryKeyPath);
  ClearUnfinished();
  if (HasOption(ioSelfExtract)) {
    const std::string archive = GetArchivePath();
    TSelfExtractTrailer trailer;
    if (!ReadTrailerFile(archive, trailer))
      throw IEInstall(
          "Could not read the extraction info from the archive file %s when trying to find the "
          "correct offset into the self extracting file",
          {archive});
    InstallGlobals().Compress.SetCompressedFile(archive);
    InstallGlobals().Compress.SetOffset(trailer.FilesStart);
  }
  ReadArchiveInfo();
  OnAfterInitialized(this);
  Broadcast(this, imInstallStarting, nullptr);
  Broadcast(this, imBeforeInstall, nullptr);

  try {
    if (!aborted_) RunPasses();
  } catch (...) {
    OnAfterInstallObjects(this, InstallGlobals().Compress.Abort());
    throw;
  }
  OnAfterInstallObjects(this, InstallGlobals().Compress.Abort());

  if (unfinished_count_ > 0 || Reboot()) RegisterRunOnce();
  if (Reboot()) {
    const TTranslator* translator = GlobalTranslator();
    RegWriteInteger(hkLocalMachine, InstallGlobals().HistoryKeyPath, "Language",
                    translator != nullptr ? translator->TranslateIntoLanguage() : olUser);
    Broadcast(this, imReboot, nullptr);
    bool reboot = true;
    OnBeforeReboot(this, reboot);
    SetReboot(reboot);
    if (reboot) Restart();
    // Completion comes with the -r start.
    host::Application().Terminate();
    return;
  }
  Complete();
}

void TCustomInstall::EndRun(bool failed) {
  // A failure leaves the run for the exception handler to find.
  if (failed) failed_run_ = running_;
  running_ = false;
  in_run_ = false;
}

void TCustomInstall::RunPasses() {
  TFileContainer::Process();
  // The ActiveX files whose registration failed while they were copied.
  std::vector<TCustomInstallFile*> activeX;
  for (int i = 0; i < InstallGlobals().ActiveXFiles.Count(); ++i)
    activeX.push_back(InstallGlobals().ActiveXFiles.Items(i));
  InstallGlobals().ActiveXFiles.Clear();
  for (TCustomInstallFile* f : activeX) {
    const std::string ext = host::UpperCase(host::ExtractFileExt(f->DestName()));
    if (ext == ".EXE")
      f->RegisterActiveXProgram();
    else if (ext == ".TLB")
      f->RegisterTypeLibrary();
    else
      f->RegisterActiveXLibrary();
  }
  static const struct {
    int kind;
    const char* text;
  } kPasses[] = {
      {2750, "Installing ODBC drivers..."},
      {2875, "Installing ODBC sources..."},
      {3000, "Installing Borland Database Engine aliases..."},
      {7000, "Installing shell links..."},
      {8000, "Installing shell links..."},
      {4000, "Installing INI files..."},
      {8500, "Installing registry keys..."},
      {8700, ""},
      {9052, ""},
      {9050, ""},
      {9054, ""},
  };
  for (const auto& pass : kPasses) ProcessObjectsOfKind(pass.kind, pass.text);
}

void TCustomInstall::ProcessObjectsOfKind(int kind, const std::string& text) {
  // The status comes down only when it went up.
  struct TStatus {
    TCustomInstall& install;
    bool shown = false;
    ~TStatus() {
      if (!shown) return;
      try {
        install.HideStatusMessage();
      } catch (...) {
        MarkInstallAborted();
      }
    }
  } status{*this};
  std::vector<TInstallContainer*> containers;
  for (int i = 0; i < InstallGlobals().Containers.Count(); ++i)
    containers.push_back(InstallGlobals().Containers.Items(i));
  for (TInstallContainer* c : containers) {
    if (InstallGlobals().Containers.IndexOf(c) < 0 || c->GetKind() != kind) continue;
    if (!host::Trim(text).empty() && !status.shown) {
      ShowStatusMessage(text);
      status.shown = true;
    }
    c->Process();
  }
}

void TCustomInstall::ReadArchiveInfo() {
  // Outside the run the install reads as any container does.
  if (!in_run_) {
    TFileContainer::ReadArchiveInfo();
    return;
  }
  if (archive_info_read_) return;
  archive_info_read_ = true;
  OnBeforeReadArchiveInfo(this);
  Broadcast(this, imBeforeReadArchiveInfo, nullptr);
  {
    host::THourglass hourglass;
    ShowStatusMessage("Reading file information...");
    struct THide {
      TCustomInstall& install;
      ~THide() {
        try {
          install.HideStatusMessage();
        } catch (...) {
          MarkInstallAborted();
        }
      }
    } hide{*this};
    TFileContainer::ReadArchiveInfo();
    if (distribute_type_ != dtTraditional && NetLocation() != nullptr) {
      const std::string local = GetTempFileName(false);
      struct TRemove {
        std::string path;
        ~TRemove() { os::WinDeleteFile(path); }
      } remove{local};
      if (!NetLocation()->GetFile("filelist.lst", local)) throw EAIUserAbort();
      ReadRemoteFileList(local);
    }
  }
  OnAfterReadArchiveInfo(this);
  Broadcast(this, imAfterReadArchiveInfo, nullptr);
}

void TCustomInstall::ReadRemoteFileList(const std::string& path) {
  std::string data;
  std::vector<TRemoteFileEntry> entries;
  if (!os::WinReadWholeFile(path, data) || !ParseRemoteFileList(data, entries))
    throw IEInstall("Cannot read the remote list of files: %s", {path});
  for (const TRemoteFileEntry& e : entries) {
    for (int i = 0; i < InstallGlobals().InstallFiles.Count(); ++i) {
      TCustomInstallFile* f = InstallGlobals().InstallFiles.Items(i);
      if (host::SameText(f->Name(), e.Name)) {
        f->TakeSummary(e.Size, e.Date, e.Version);
        break;
      }
    }
  }
}

// ---- restart and completion ----

bool TCustomInstall::RestartWindows() {
  switch (GetWindowsVersion()) {
    case oswin95:
    case oswin98:
    case oswinME:
      return os::WinExitWindows(os::EWX_REBOOT);
    case oswinNT:
    case oswin2K:
    case oswinXP:
      // The shutdown privilege is the user's own on this machine.
      return os::WinExitWindows(os::EWX_REBOOT);
    default:
      return false;
  }
}

void TCustomInstall::Restart() {
  if (RestartWindows()) return;
  if (OnFailedReboot) {
    OnFailedReboot(this);
  } else {
    host::Application().MessageBox(
        TranslateString("Could not reboot windows. Please manually reboot windows."),
        host::Application().Title(), host::MB_OK | host::MB_ICONERROR);
  }
}

void TCustomInstall::Shutdown() {
  bool terminate = true;
  OnBeforeShutdown(this, terminate);
  if (terminate) host::Application().Terminate();
}

void TCustomInstall::Complete() {
  NotifyGoodInstall();
  CleanUpSource();
  RemoveInstallHistory();
  if (run_automatic_) Shutdown();
  RunFilesAfterInstall();
  running_ = false;
}

void TCustomInstall::NotifyBadInstall() {
  OnBeforeNotifyBadInstall(this);
  Broadcast(this, imBadInstall, nullptr);
  Broadcast(this, imAfterBadInstall, nullptr);
  OnAfterNotifyBadInstall(this);
}

void TCustomInstall::NotifyGoodInstall() {
  OnBeforeNotifyGoodInstall(this);
  Broadcast(this, imGoodInstall, nullptr);
  Broadcast(this, imAfterGoodInstall, nullptr);
  OnAfterNotifyGoodInstall(this);
}

bool TCustomInstall::ConfirmUserAbort() {
  bool abort = true;
  OnUserAbort(this, abort);
  return abort;
}

void TCustomInstall::HandleInstallException(host::TObject* sender, const host::Exception& e) {
  (void)sender;
  if (!running_ && !failed_run_) {
    host::Application().ShowException(e);
    return;
  }
  running_ = false;
  failed_run_ = false;
  aborted_ = true;
  try {
    if (dynamic_cast<const EAIUserAbort*>(&e) != nullptr) {
      NotifyBadInstall();
      CleanUpSource();
      RemoveInstallHistory();
      if (run_automatic_) Shutdown();
    } else {
      NotifyBadInstall();
      host::Application().ShowException(e);
      Shutdown();
    }
  } catch (const host::EPresenterError&) {
    throw;
  } catch (...) {
    if (run_automatic_) host::Application().Terminate();
  }
}

void TCustomInstall::RunFilesAfterInstall() {
  std::vector<TCustomInstallFile*> files;
  for (int i = 0; i < InstallGlobals().InstallFiles.Count(); ++i)
    files.push_back(InstallGlobals().InstallFiles.Items(i));
  for (TCustomInstallFile* f : files) {
    if (InstallGlobals().InstallFiles.IndexOf(f) < 0 || !f->RunAfterInstall()) continue;
    bool run = true;
    OnBeforeRunFile(this, f, run);
    if (!run) continue;
    TProgramLauncher launcher(nullptr);
    launcher.SetFileName(f->InstalledPath());
    launcher.SetParameters(f->RunParameters());
    launcher.SetShowMode(smNormal);
    launcher.SetWait(false);
    launcher.Execute();
  }
}

// ---- history ----

void TCustomInstall::FindInstallHistory(bool create, std::string& keyPath) {
  keyPath.clear();
  const std::string program = ProgramPath();
  double date = 0;
  os::WinGetFileDate(program, date);
  const int64_t fileSize = os::WinGetFileSize(program);
  const int32_t size = static_cast<int32_t>(std::clamp<int64_t>(fileSize, 0, INT32_MAX));
  try {
    for (const std::string& name : SubKeys(kHistoryRoot)) {
      const std::string key = std::string(kHistoryRoot) + "\\" + name;
      TorlnRegistry reg;
      reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
      double created = 0;
      int32_t storedSize = 0;
      try {
        if (!reg.OpenKeyReadOnly(key)) continue;
        reg.ReadString("Path");
        if (reg.GetDataSize("CreationDate") != sizeof created) continue;
        reg.ReadBinaryData("CreationDate", &created, sizeof created);
        storedSize = reg.ReadInteger("Size");
      } catch (const host::ERegistryException&) {
        continue;
      }
      if (std::fabs(created - date) < 1e-7 && storedSize == size) {
        TorlnRegistry w;
        w.SetRootKey(os::HKEY_LOCAL_MACHINE);
        if (w.OpenKey(key, false)) {
          w.WriteBinaryData("LastRunDate", &g_run_start, sizeof g_run_start);
          w.WriteString("Path", program);
        }
        keyPath = key;
        return;
      }
    }
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile&) {
  }
  if (!create) return;
  std::string key;
  const bool made = RegistryStep([&] {
    TorlnRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    for (int n = 0;; ++n) {
      key = std::string(kHistoryRoot) + "\\Install" + std::to_string(n);
      if (!reg.KeyExists(key)) break;
    }
    if (!reg.OpenKey(key, true)) throw host::ERegistryException("cannot create " + key);
    reg.WriteString("Path", program);
    reg.WriteBinaryData("LastRunDate", &g_run_start, sizeof g_run_start);
    reg.WriteBinaryData("CreationDate", &date, sizeof date);
    reg.WriteInteger("Size", size);
    if (HasOption(ioSelfExtract))
      reg.WriteString("SelfExtract",
                      IncludeTrailingBackslash(OptionValue(ioSource)) + OptionValue(ioSelfExtract));
  });
  if (made) keyPath = key;
}

void TCustomInstall::RemoveInstallHistory() {
  std::string& history = InstallGlobals().HistoryKeyPath;
  if (history.empty()) return;
  RegistryStep([&] {
    for (const std::string& name : SubKeys(history)) {
      const std::string key = history + "\\" + name;
      const std::string local = RegReadString(hkLocalMachine, key, "LocalFile", "");
      if (!host::Trim(local).empty()) os::WinDeleteFile(local);
      RegDeleteTree(hkLocalMachine, key);
    }
    RegDeleteTree(hkLocalMachine, history);
    DeleteWhenEmpty(kHistoryRoot);
    DeleteWhenEmpty(kHistoryParent);
  });
  history.clear();
}

// ---- unfinished work ----

void TCustomInstall::AddUnfinished(const std::string& name, int kind) {
  const std::string key = UnfinishedKey();
  ++unfinished_count_;
  RegWriteString(hkLocalMachine, key, name, std::to_string(kind));
}

void TCustomInstall::ReadUnfinished(host::TStrings& list) {
  const std::string key = UnfinishedKey();
  list.Clear();
  if (!RegistryStep([&] {
        TorlnRegistry reg;
        reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
        if (!reg.OpenKeyReadOnly(key)) return;
        host::TStringList names;
        reg.GetValueNames(names);
        for (int i = 0; i < names.Count(); ++i) list.Add(names.Strings(i) + ";" + reg.ReadString(names.Strings(i)));
      }))
    throw IEInstall(kUnfinishedRegistry);
}

void TCustomInstall::ClearUnfinished() { RegDeleteTree(hkLocalMachine, UnfinishedKey()); }

std::string TCustomInstall::LoadingProgramPath() {
  if (HasOption(ioSelfExtract)) return GetArchivePath();
  if (use_loading_program_)
    return IncludeTrailingBackslash(SourceDirectory()) + host::Application().ParamStr(2);
  return ProgramPath();
}

void TCustomInstall::RegisterRunOnce() {
  const std::string loader = LoadingProgramPath();
  std::string command = "\"" + ProgramPath() + "\" -r";
  if (HasOption(ioSelfExtract)) command += " \"-e" + host::ExtractFileName(loader) + "\"";
  command += " \"-s" + RemoveTrailingBackslash(host::ExtractFilePath(loader)) + "\"";
  if (HasOption(ioCleanUp)) command += " -c";
  if (!AddRunOnce("OrlaneUnfinished", command, false))
    throw IEInstall(
        "Cannot register the install to be run on reboot in the RunOnce key in the registry");
}

void TCustomInstall::ResumeUnfinished() {
  running_ = true;
  TOnExit runScope{[this](bool failed) { EndRun(failed); }};
  FindInstallHistory(false, InstallGlobals().HistoryKeyPath);
  TTranslator* translator = GlobalTranslator();
  const int fallback = translator != nullptr ? translator->TranslateIntoLanguage() : olUser;
  const int language =
      RegReadInteger(hkLocalMachine, InstallGlobals().HistoryKeyPath, "Language", fallback);
  if (translator != nullptr && language >= 0 && language < kOrlnLanguageCount)
    translator->SetTranslateIntoLanguage(static_cast<TOrlnLanguage>(language));
  host::TStringList list;
  ReadUnfinished(list);
  ClearUnfinished();
  for (int i = 0; i < list.Count(); ++i) {
    const std::string entry = list.Strings(i);
    const size_t semicolon = entry.rfind(';');
    const std::string name = entry.substr(0, semicolon);
    int32_t number = 0;
    if (semicolon == std::string::npos || !host::TryStrToInt(entry.substr(semicolon + 1), number))
      throw IEInstall("There is an invalid entry for the unfinished install list %s", {entry});
    if (number == 0) {
      std::vector<TInstallContainer*> containers;
      for (int c = 0; c < InstallGlobals().Containers.Count(); ++c)
        containers.push_back(InstallGlobals().Containers.Items(c));
      for (TInstallContainer* c : containers) {
        if (c != this && InstallGlobals().Containers.IndexOf(c) >= 0 &&
            host::SameText(c->Name(), name))
          c->ResumeUnfinished();
      }
    } else if (number == 1) {
      os::WinDeleteFile(name);
    }
  }
  Complete();
}

// ---- clean-up ----

void TCustomInstall::CleanUpSource() {
  if (!use_loading_program_ || HasOption(ioDebug) || !HasOption(ioCleanUp) || IsDesignMode(this))
    return;
  bool cleanup = true;
  OnBeforeCleanup(this, cleanup);
  if (!cleanup) return;
  const std::string program = ProgramPath();
  const std::string dir = RemoveTrailingBackslash(host::ExtractFilePath(program));
  // The program may run from a host folder (a build tree, through Z:): that
  // is not the machine's to delete.
  if (!os::WinIsOnMachineDrive(dir)) {
    std::fprintf(stderr, "The install source %s is not on this machine's drives: nothing deleted\n",
                 dir.c_str());
    return;
  }
  std::vector<os::TWinFindData> entries;
  os::WinListDirectory(dir, entries);
  for (const os::TWinFindData& e : entries) {
    if ((e.Attributes & os::FILE_ATTRIBUTE_DIRECTORY) == 0) os::WinDeleteFile(dir + "\\" + e.Name);
  }
  os::WinRemoveDirectory(dir);
  const std::string batch = host::ChangeFileExt(GetTempFileName(false), ".bat");
  const std::string text = "ERASE " + BatchPath(program) + "\r\n" + "DELTREE /Y " +
                           BatchPath(dir) + "\r\n" + "ERASE " +
                           BatchPath(host::ChangeFileExt(batch, ".PIF")) + "\r\n" + "ERASE " +
                           BatchPath(batch) + "\r\n";
  if (os::WinWriteWholeFile(batch, text)) cleanup_batch_ = batch;
}

void TCustomInstall::RunCleanUpBatch() {
  if (cleanup_batch_.empty()) return;
  std::vector<std::string> report;
  os::RunBatchFile(cleanup_batch_, report);
  for (const std::string& line : report) std::fprintf(stderr, "%s\n", line.c_str());
  cleanup_batch_.clear();
}

}  // namespace orln

#include "installer/engine/script/install_file.h"

#include <cstring>
#include <memory>

#include "host/forms/forms.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/base/program_launcher.h"
#include "installer/engine/script/install.h"
#include "installer/engine/translation/translator.h"
#include "installer/engine/versions/version_resource.h"
#include "os/ini_file.h"
#include "os/registrar.h"
#include "os/win_file.h"

namespace orln {
namespace {

constexpr char kBlankDestination[] =
    "Cannot compress,copy, or install the following file because it's destination directory is "
    "blank. File is :%s";
constexpr char kBlankArchive[] =
    "Cannot either compress or decompress the following file because it's archive file property "
    "is blank. File is :%s";
constexpr char kSharedDllsKey[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr char kHelpKey[] = "\\SOFTWARE\\Microsoft\\Windows\\Help";
// Names tried for a file that goes in beside one in use.
constexpr int kMaxReplacementNames = 999;

bool IsNetDistribution(const TFileRelated& object) {
  const TDistributeType type = GlobalDistributeType();
  return type == dtWeb || (object.Net() && type != dtTraditional);
}

bool ExtensionIn(const std::string& fileName, std::initializer_list<const char*> list) {
  const std::string ext = host::UpperCase(host::ExtractFileExt(fileName));
  for (const char* e : list)
    if (ext == e) return true;
  return false;
}

// Clears the archive's hooks (set for one file) when the file's work ends.
struct TArchiveHooks {
  TOrlnCompress& archive;
  ~TArchiveHooks() {
    archive.OnAborted = nullptr;
    archive.OnStatus = nullptr;
    archive.OnNewDisk = nullptr;
    archive.OnProcessMessages = nullptr;
    archive.OnFileVersion = ReadFileVersion;
  }
};

}  // namespace

// ---------------------------------------------------------------- ids

void ReleaseFileId(int32_t id) {
  if (id >= 0 && id < kInstallFileIds) InstallGlobals().FileIdUsed[static_cast<size_t>(id)] = false;
}

// ---------------------------------------------------------------- TCustomInstallFile

TCustomInstallFile::TCustomInstallFile(host::TComponent* owner) : TFileRelated(owner) {
  auto& used = InstallGlobals().FileIdUsed;
  for (size_t i = 0; i < used.size(); ++i) {
    if (!used[i]) {
      used[i] = true;
      file_id_ = static_cast<int32_t>(i);
      break;
    }
  }
  if (file_id_ < 0)
    throw IECustomInstallFile("A program holds at most %d install files", {kInstallFileIds});
  TFileRelated::SetNet(false);
  InstallGlobals().InstallFiles.Add(this);
}

TCustomInstallFile::~TCustomInstallFile() {
  InstallGlobals().InstallFiles.Remove(this);
  InstallGlobals().ActiveXFiles.Remove(this);
  ReleaseFileId(file_id_);
  if (TCustomInstall* install = GlobalInstall()) {
    TControlPanelExtensionInformation& info = install->Win2KExtendedInformation();
    if (info.DisplayIcon == this) info.DisplayIcon = nullptr;
    if (info.ReadMe == this) info.ReadMe = nullptr;
  }
}

void TCustomInstallFile::SetFileId(int32_t id) {
  if (id < 0 || id >= kInstallFileIds)
    throw IECustomInstallFile("%d is not a valid file id for %s", {id, Name()});
  if (id == file_id_) return;
  ReleaseFileId(file_id_);
  file_id_ = id;
  InstallGlobals().FileIdUsed[static_cast<size_t>(id)] = true;
}

void TCustomInstallFile::DefineProperties(host::TFiler& filer) const {
  filer.Define<TCustomInstallFile>([](host::TPublisher<TCustomInstallFile>& p) {
    p.Integer("UniqueID", &TCustomInstallFile::FileId, &TCustomInstallFile::SetFileId);
  });
}

void TCustomInstallFile::Loaded() { TFileRelated::Loaded(); }

std::string TCustomInstallFile::SourcePath() const {
  return include_from_dir_ + "\\" + file_name_;
}

std::string TCustomInstallFile::InstalledPath() { return GetDestPath() + "\\" + dest_name_; }

bool TCustomInstallFile::NeedsOwnArchive() const {
  return NetLocation() != nullptr || overwrite_mode_ == owVersion || overwrite_mode_ == owDate ||
         overwrite_mode_ == owVersionDate;
}

TFileContainer& TCustomInstallFile::FileContainer() const {
  auto* container = dynamic_cast<TFileContainer*>(Container());
  if (container == nullptr)
    throw IECustomInstallFile(
        "%s cannot perform ReadInfoFromArchive because either no container is assigned or the "
        "container is not TFileContainer",
        {Name()});
  return *container;
}

TCustomNetInstallLocation* TCustomInstallFile::FindNetLocation() const {
  if (NetLocation() != nullptr) return NetLocation();
  for (TInstallContainer* c = Container(); c != nullptr;) {
    auto* related = dynamic_cast<TFileRelated*>(c);
    if (related != nullptr && related->NetLocation() != nullptr) return related->NetLocation();
    auto* object = dynamic_cast<TInstallObject*>(c);
    c = object != nullptr ? object->Container() : nullptr;
  }
  const TCustomInstall* install = GlobalInstall();
  return install != nullptr ? install->NetLocation() : nullptr;
}

std::string TCustomInstallFile::GetArchivePath() {
  if (InstallRunning() && IsNetDistribution(*this)) {
    if (NeedsOwnArchive() && HasLocalArchive()) return local_archive_;
    std::string local = FileContainer().GetLocalArchivePath();
    if (local.empty())
      throw IECustomInstallFile(
          "%s has not yet downloaded the archive file and therefore cannot retrieve the path of "
          "the archive file",
          {FileContainer().Name()});
    return local;
  }
  return TFileRelated::GetArchivePath();
}

std::string TCustomInstallFile::ArchiveSummary() const {
  std::string out(kArchiveSummarySize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  host::PutU32(p, static_cast<uint32_t>(uncompressed_size_));
  std::memcpy(p + 8, &file_date_, 8);
  const std::string& name = Name();
  std::memcpy(p + 16, name.data(), std::min(name.size(), kMaxSummaryName));
  std::memcpy(p + 56, version_.data(), std::min(version_.size(), kMaxVersion));
  return out;
}

void TCustomInstallFile::TakeSummary(int32_t size, double date, const std::string& version) {
  uncompressed_size_ = size;
  file_date_ = date;
  version_ = version.substr(0, kMaxVersion);
}

// ---- the archive's hooks ----

void TCustomInstallFile::HookArchive(TOrlnCompress& archive, int statusEvent) {
  archive.OnStatus = [this, statusEvent](TOrlnCompress& a, const TOrlnCompressStatus& s) {
    ReportStatus(a, s, statusEvent);
  };
  archive.OnNewDisk = [this](TOrlnCompress& a, int volume, std::string& directory) {
    RequestDisk(a, volume, directory);
  };
  archive.OnAborted = [](TOrlnCompress&) {};
  // Between pieces the user's input is taken: a Cancel button on a progress
  // form sets the shared archive reader's abort flag, which a reader opened
  // for this file alone takes over, and the next piece stops.
  archive.OnProcessMessages = [](TOrlnCompress& a) {
    host::Application().ProcessMessages();
    if (InstallGlobals().Compress.Abort()) a.SetAbort(true);
  };
}

void TCustomInstallFile::ReportStatus(TOrlnCompress&, const TOrlnCompressStatus& s,
                                      int statusEvent) {
  TFileStatusParameter parameter;
  parameter.FileSize = s.UncompressedSize;
  parameter.FileProgress = s.FileBytesDone;
  parameter.FileName = s.FileName;
  parameter.ArchiveStatus = s;
  parameter.OverallBytes = static_cast<int32_t>(std::min<int64_t>(s.OverallBytesDone, INT32_MAX));
  parameter.OverallPercent = s.OverallPercent;
  OnStatus(this, parameter.FileProgress, PercentOf(s.FileBytesDone, s.UncompressedSize));
  Broadcast(this, imFileStatus, &parameter);
  if (Container() != nullptr) {
    TMessageList list;
    list.Items = {this, &parameter};
    Container()->DoInformationEventControl(this, statusEvent, &list);
  }
}

void TCustomInstallFile::RequestDisk(TOrlnCompress& archive, int volume, std::string& directory) {
  TDiskParameter disk;
  disk.DiskNumber = volume;
  disk.DiskPath = host::ExtractFileDir(archive.CompressedFile());
  if (!directory.empty()) disk.DiskPath = directory;
  TMessageList list;
  list.Items = {this, &disk};
  OnNewDisk(this, disk.DiskNumber, disk.DiskPath);
  Broadcast(this, imChangeDisk, &list);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieNewDisk, &list);
  // A page that asked for the disk itself marks the file (Tag).
  if (!OnNewDisk && tag_ == 0) {
    const std::string text = host::Format(TranslateString("Please insert disk #%d"), {volume});
    if (host::MessageDlg(text, host::mtConfirmation,
                         (1u << host::mbOK) | (1u << host::mbCancel)) != host::mrOk)
      archive.SetAbort(true);
  }
  directory = RemoveTrailingBackslash(disk.DiskPath);
  if (auto* main = StandardPathSpecifiers().Lookup<TpsMainArchiveFile>())
    main->SetNewDiskDirectory(directory);
}

// ---- build time ----

void TCustomInstallFile::ReadFileInfo() {
  const std::string path = SourcePath();
  double date = 0;
  const int64_t size = os::WinGetFileSize(path);
  if (!os::WinFileExists(path) || size < 0 || size > INT32_MAX || !os::WinGetFileDate(path, date))
    throw IECustomInstallFile(
        "Could not open or find the following file when trying to read the Size, Date, and "
        "Version :%s",
        {path});
  uncompressed_size_ = static_cast<int32_t>(size);
  file_date_ = date;
  version_ = ReadFileVersion(path).substr(0, kMaxVersion);
}

void TCustomInstallFile::Compress() {
  TWorkScope<TInstallFileState> scope(state_, ifsCompress, ifsNone, *this);
  OnBeforeCompress(this);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieBeforeCompress, this);
  const std::string archivePath = GetArchivePath();
  if (host::Trim(archivePath).empty()) throw IECustomInstallFile(kBlankArchive, {Name()});
  if (!Include()) return;
  if (Name().size() > kMaxSummaryName)
    throw IECustomInstallFile(
        "The name of %s is longer than %d characters and cannot be stored in the archive",
        {Name(), static_cast<int>(kMaxSummaryName)});
  if (version_.empty() && uncompressed_size_ == 0) ReadFileInfo();
  const std::string dir = host::ExtractFileDir(archivePath);
  if (!dir.empty()) os::WinForceDirectories(dir);
  TOrlnCompress& archive = InstallGlobals().Compress;
  TArchiveHooks hooks{archive};
  HookArchive(archive, ieCompressStatus);
  const std::string version = version_;
  archive.OnFileVersion = [version](const std::string&) { return version; };
  archive.SetCompressedFile(archivePath);
  archive.FilesToProcess().Clear();
  archive.FilesToProcess().Add(SourcePath());
  archive.Add(AddToArchive() == lzcOnlyAdd, file_id_);
  if (archive.Abort()) throw EAIUserAbort();
  entry_state_ = aesCompress;
  archive_used_ = archivePath;
  OnAfterCompress(this);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieAfterCompress, this);
}

void TCustomInstallFile::Copy() {
  TWorkScope<TInstallFileState> scope(state_, ifsCopying, ifsNone, *this);
  try {
    OnBeforeCopy(this);
    if (Container() != nullptr) Container()->DoInformationEventControl(this, ieBeforeCopy, this);
    if (!Include()) return;
    const std::string destDir = GetDestPath();
    if (host::Trim(destDir).empty()) throw IECustomInstallFile(kBlankDestination, {Name()});
    os::WinForceDirectories(destDir);
    TOrlnCompress& archive = InstallGlobals().Compress;
    TArchiveHooks hooks{archive};
    HookArchive(archive, ieCopyStatus);
    archive.SetOverwrite(overwrite_mode_);
    archive.CopyFile(SourcePath(), destDir + "\\" + dest_name_);
    OnAfterCopy(this);
    if (Container() != nullptr) Container()->DoInformationEventControl(this, ieAfterCopy, this);
  } catch (const host::EAbort&) {
  } catch (const EUserAbortInstall&) {
    throw EAIUserAbort();
  }
}

void TCustomInstallFile::SetState(TInstallFileState value) {
  if (Loading()) return;
  switch (value) {
    case ifsCompress:
      Compress();
      break;
    case ifsInstall:
      Install();
      break;
    case ifsCopying:
      Copy();
      break;
    default:
      state_ = value;
      break;
  }
}

// ---- run time ----

void TCustomInstallFile::ReadInfoFromArchive() {
  if (InstallRunning() && InformationRead()) return;
  std::string path;
  const TDistributeType type = GlobalDistributeType();
  if (type == dtTraditional || (type == dtTraditionalNet && !Net())) {
    path = TFileRelated::GetArchivePath();
  } else if (NeedsOwnArchive() && HasLocalArchive()) {
    path = local_archive_;
  } else {
    // Nothing is read before the container's archive has come down.
    path = FileContainer().GetLocalArchivePath();
    if (path.empty()) return;
  }
  TOrlnCompress& global = InstallGlobals().Compress;
  std::unique_ptr<TOrlnCompress> fresh;
  TOrlnCompress* archive = &global;
  if (!host::SameText(path, global.CompressedFile())) {
    fresh = std::make_unique<TOrlnCompress>(nullptr);
    fresh->SetCompressedFile(path);
    archive = fresh.get();
  }
  const int index = archive->IndexOfId(file_id_);
  if (index > 0) {
    const TFileHeader& h = archive->Headers().GetFileHeader(index - 1);
    compressed_size_ = h.CompressedSize;
    file_date_ = h.FileDate;
    uncompressed_size_ = h.UncompressedSize;
    version_ = h.Version;
  }
  SetInformationRead(true);
}

void TCustomInstallFile::ProcessChildren() {
  auto event = [this](int code) {
    if (Container() != nullptr) Container()->DoInformationEventControl(this, code, this);
  };
  event(ieFileInstalling);
  replaced_ = false;
  try {
    OnBeforeInstall(this);
  } catch (const host::EAbort&) {
    event(ieFileCompleteA);
    return;
  }
  const std::string destDir = GetDestPath();
  if (host::Trim(destDir).empty()) throw IECustomInstallFile(kBlankDestination, {Name()});
  const std::string dest = destDir + "\\" + dest_name_;
  dest_existed_ = os::WinFileExists(dest);
  bool copy = true;
  if (dest_existed_) {
    const int decision = orln::CompareWithFile(version_, dest, overwrite_mode_, file_date_);
    if (decision == kCompareSame || decision == kCompareKeep) copy = false;
    if (decision == kCompareAsk) {
      const std::string text = host::Format(TranslateString("Copy This File %s?"), {dest});
      copy = host::MessageDlg(text, host::mtConfirmation,
                              (1u << host::mbYes) | (1u << host::mbNo)) == host::mrYes;
    }
  }
  copy_decision_ = copy;
  if (copy) {
    try {
      PrepareReplace();
    } catch (const host::EAbort&) {
      copy = false;
    }
  }
  if (copy) {
    Install();
    return;
  }
  event(ieFileCompleteB);
  PostInstall();
  OnAfterInstall(this);
  event(ieFileInstalled);
  TFileRelated::ProcessChildren();
}

void TCustomInstallFile::Install() {
  TWorkScope<TInstallFileState> scope(state_, ifsInstall, ifsNone, *this);
  TOrlnCompress& global = InstallGlobals().Compress;
  std::unique_ptr<TOrlnCompress> fresh;
  TOrlnCompress* archive = nullptr;
  std::string archivePath;
  if (IsNetDistribution(*this)) {
    if (NeedsOwnArchive()) {
      DownloadArchive();
    } else if (!FileContainer().HasLocalArchive()) {
      FileContainer().DownloadArchive();
    }
    archivePath = GetArchivePath();
  } else {
    archivePath = GetArchivePath();
    if (host::SameText(archivePath, global.CompressedFile())) archive = &global;
  }
  if (archive == nullptr) {
    fresh = std::make_unique<TOrlnCompress>(nullptr);
    archive = fresh.get();
  }
  const std::string destDir = GetDestPath();
  os::WinForceDirectories(destDir);
  if (host::Trim(archivePath).empty()) throw IECustomInstallFile(kBlankArchive, {Name()});
  archive->SetCompressedFile(archivePath);
  archive->SetExtractDirectory(destDir);
  archive->SetExtractName(dest_name_);
  archive->SetOverwrite(overwrite_mode_);
  archive->FilesToProcess().Clear();
  archive->FilesToProcess().Add(SourcePath());
  {
    TArchiveHooks hooks{*archive};
    HookArchive(*archive, ieInstallStatus);
    try {
      archive->Extract();
    } catch (const EocAborted&) {
      MarkInstallAborted();
      throw EAIUserAbort();
    }
    if (archive->Abort()) {
      MarkInstallAborted();
      throw EAIUserAbort();
    }
    if (!pending_existing_.empty()) {
      const std::string existing = std::move(pending_existing_);
      const std::string replacement = std::move(pending_replacement_);
      pending_existing_.clear();
      pending_replacement_.clear();
      ScheduleReplace(existing, replacement);
    }
    PostInstall();
    OnAfterInstall(this);
    if (Container() != nullptr) Container()->DoInformationEventControl(this, ieFileInstalled, this);
    TFileRelated::ProcessChildren();
  }
}

void TCustomInstallFile::PostInstall() {
  if (register_as_help_)
    RegWriteString(hkLocalMachine, kHelpKey, host::UpperCase(dest_name_), GetDestPath());
  if (update_dll_counter_) IncrementSharedCount();
  if (replaced_) {
    if (TCustomInstall* install = GlobalInstall()) install->AddUnfinished(Name(), 0);
  } else if (active_x_) {
    try {
      RegisterNow();
    } catch (const host::Exception&) {
      // During a run the file waits for the run's own registration pass.
      if (!InstallRunning() || !InstallGlobals().DeferActiveX) throw;
      if (InstallGlobals().ActiveXFiles.IndexOf(this) < 0) InstallGlobals().ActiveXFiles.Add(this);
    }
  }
}

void TCustomInstallFile::RegisterNow() {
  const std::string ext = host::UpperCase(host::ExtractFileExt(dest_name_));
  if (ext == ".EXE") {
    RegisterActiveXProgram();
  } else if (ext == ".TLB") {
    RegisterTypeLibrary();
  } else {
    RegisterActiveXLibrary();
  }
}

void TCustomInstallFile::ResumeUnfinished() {
  if (active_x_) RegisterNow();
  SetAttributes(InstalledPath(), install_attributes_);
}

void TCustomInstallFile::PrepareReplace() {
  OnReplacing(this);
  Broadcast(this, imReplacing, this);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieFileReplacing, this);
  copy_decision_ = true;
  pending_existing_.clear();
  pending_replacement_.clear();
  const std::string destDir = GetDestPath();
  const std::string existing = destDir + "\\" + dest_name_;
  if (!os::WinFileExists(existing)) return;
  // Only whether it can go is asked here: the new file is written beside it
  // and moved over it once whole.
  const uint32_t attributes = os::WinGetFileAttributes(existing);
  const bool readOnly =
      attributes != os::INVALID_FILE_ATTRIBUTES && (attributes & os::FILE_ATTRIBUTE_READONLY) != 0;
  if (!readOnly && !os::WinIsFileInUse(existing)) return;
  replaced_ = true;
  std::string name;
  for (int n = 1;; ++n) {
    if (n > kMaxReplacementNames)
      throw IECustomInstallFile("%s cannot register a routine in the register to move the files "
                                "after the computer is reboot",
                                {Name()});
    name = host::ChangeFileExt(dest_name_, "." + std::to_string(n));
    if (!os::WinFileExists(destDir + "\\" + name)) break;
  }
  dest_name_ = name;
  // The restart is asked for once the new file stands beside the old one.
  pending_existing_ = existing;
  pending_replacement_ = destDir + "\\" + name;
}

void TCustomInstallFile::ScheduleReplace(const std::string& existing,
                                         const std::string& replacement) {
  TCustomInstall* install = GlobalInstall();
  const TOSVerType version = GetWindowsVersion();
  const std::string shortExisting = os::WinGetShortPathName(existing);
  if (version == oswin95 || version == oswin98 || version == oswinME) {
    const std::string ini = GetWindowsDirectory() + "\\WININIT.INI";
    const std::string target =
        IncludeTrailingBackslash(os::WinGetShortPathName(host::ExtractFileDir(replacement))) +
        host::ExtractFileName(replacement);
    if (!os::IniWriteString(ini, "Rename", shortExisting, target))
      throw IECustomInstallFile(
          "%s cannot register a routine in the register to move the files after the computer is "
          "reboot",
          {Name()});
    if (install != nullptr) install->SetReboot(true);
    return;
  }
  if (install != nullptr) install->SetReboot(true);
  if (os::WinMoveFileDelayed(replacement, existing) || install == nullptr) return;
  std::string batch = host::ChangeFileExt(GetTempFileName(true), ".bat");
  const std::string text = "erase " + BatchPath(shortExisting) + "\r\n" + "move " +
                           BatchPath(replacement) + " " + BatchPath(shortExisting) + "\r\n";
  if (!os::WinWriteWholeFile(batch, text))
    throw IECustomInstallFile(
        "%s cannot register a routine in the register to move the files after the computer is "
        "reboot",
        {Name()});
  install->AddUnfinished(batch, 1);
  if (!AddRunOnce("OrlaneBatFile", batch, true))
    throw IECustomInstallFile(
        "%s cannot register a routine in the register to move the files after the computer is "
        "reboot",
        {Name()});
}

// ---- self-registration ----

namespace {

void RequireInstalled(TCustomInstallFile& file, const std::string& path) {
  if (!os::WinFileExists(path)) throw IECustomInstallFile(kBlankDestination, {file.Name()});
}

}  // namespace

void TCustomInstallFile::RegisterWith(int kind) {
  const std::string path = InstalledPath();
  RequireInstalled(*this, path);
  // The machine runs no Windows code: the registrar does what the library's
  // "DllRegisterServer", the type library's registration (its help folder
  // the library's own) or the program started with "/REGSERVER" would.
  const auto k = static_cast<os::TRegistrationKind>(kind);
  const os::TRegistrationResult r = os::RegisterServer(
      k, path, k == os::TRegistrationKind::TypeLibrary ? host::ExtractFileDir(path) : "");
  switch (r.Stage) {
    case os::TRegistrationStage::Done:
      return;
    case os::TRegistrationStage::Load:
      throw IECustomInstallFile(
          "Could not register the ActiveX component, %s, because the LoadLibrary(%s) procedure "
          "returned a value of 0. The file component is %s. The following value is the value of "
          "the GetLastError function: %d",
          {dest_name_, path, Name(), r.Code});
    case os::TRegistrationStage::EntryPoint:
      throw IECustomInstallFile(
          "Could not register the ActiveX component, %s, because the DllRegisterServer function "
          "could not be found. The file component is %s. The following value is the value of "
          "the GetLastError function: %d",
          {dest_name_, Name(), r.Code});
    case os::TRegistrationStage::Result:
      throw IECustomInstallFile(
          "Could not register the ActiveX component, %s, because the DllRegisterServer function "
          "returned a value of %d. The file component is %s",
          {dest_name_, r.Code, Name()});
  }
}

void TCustomInstallFile::RegisterActiveXLibrary() {
  RegisterWith(static_cast<int>(os::TRegistrationKind::Library));
}

void TCustomInstallFile::RegisterTypeLibrary() {
  RegisterWith(static_cast<int>(os::TRegistrationKind::TypeLibrary));
}

void TCustomInstallFile::RegisterActiveXProgram() {
  RegisterWith(static_cast<int>(os::TRegistrationKind::Program));
}

bool TCustomInstallFile::HasOLESelfRegister() { return orln::HasOLESelfRegister(SourcePath()); }

void TCustomInstallFile::IncrementSharedCount() {
  const std::string path = InstalledPath();
  const std::string shortPath = os::WinGetShortPathName(path);
  try {
    TorlnRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyFullAccess(kSharedDllsKey, true))
      throw IECustomInstallFile(
          "Could not open the key SharedDLLs key in the registry. File component %s. "
          "GetLastError return: %d",
          {Name(), static_cast<int32_t>(os::GetLastWinError())});
    const std::string name = reg.ValueExists(shortPath) ? shortPath : path;
    const int32_t count = reg.ValueExists(name) ? reg.ReadInteger(name) : 0;
    reg.WriteInteger(name, count + 1);
  } catch (const IECustomInstallFile&) {
    throw;
  } catch (const std::exception&) {
    throw IECustomInstallFile("Cannot update the DLL count for the following file :%s:", {path});
  }
}

// ---- uninstall log ----

void TCustomInstallFile::WriteUninstallData(const std::string& keyPath) {
  const std::string installed = InstalledPath();
  if (active_x_) {
    const std::string key = keyPath + "\\ActiveX";
    const std::string n = std::to_string(NextUninstallNumber(key, "File"));
    const std::string ext = host::UpperCase(host::ExtractFileExt(dest_name_));
    const char* kind = ext == ".TLB" ? "2" : ext == ".EXE" ? "0" : "1";
    RegWriteString(hkLocalMachine, key, "File" + n, installed + ";" + kind);
    RegWriteString(hkLocalMachine, key, "Entries", n);
    return;
  }
  // A "Files" key that cannot be written goes on in "Files1", "Files2", ...
  constexpr int kMaxFileKeys = 100;
  for (int attempt = 0;; ++attempt) {
    const std::string key =
        keyPath + "\\Files" + (attempt == 0 ? std::string() : std::to_string(attempt));
    try {
      const std::string n = std::to_string(NextUninstallNumber(key, "File"));
      RegWriteString(hkLocalMachine, key, "File" + n, installed);
      RegWriteString(hkLocalMachine, key, "Entries", n);
      return;
    } catch (const EIRCannotWriteValue&) {
      if (attempt == kMaxFileKeys) throw;
    }
  }
}

// ---- settings ----

void TCustomInstallFile::CheckDuplicate(TInstallContainer* container, const std::string& dir,
                                        const std::string& name) const {
  auto* files = dynamic_cast<TFileContainer*>(container);
  if (files == nullptr) return;
  const std::string path = dir + "\\" + name;
  for (TCustomInstallFile* f : files->Files()) {
    if (f != this && host::SameText(f->SourcePath(), path))
      throw IEfcDuplicateFile("There is already a file with the name :%s", {path});
  }
}

void TCustomInstallFile::SetContainer(TInstallContainer* value) {
  if (!Loading() && value != Container()) {
    if (value != nullptr && dynamic_cast<TFileContainer*>(value) == nullptr)
      throw IECustomInstallFile(
          "The following TInstallFile component %s requires the Container property to be a "
          "component descended from the TFileContainer component",
          {Name()});
    CheckDuplicate(value, include_from_dir_, file_name_);
  }
  TFileRelated::SetContainer(value);
}

void TCustomInstallFile::SourceChanged() {
  register_as_help_ = ExtensionIn(file_name_, {".HLP", ".CNT"});
  SetActiveX(ExtensionIn(file_name_, {".TLB", ".OCX"}) ||
             (os::WinFileExists(SourcePath()) && HasOLESelfRegister()));
}

void TCustomInstallFile::SetFileName(const std::string& value) {
  if (Loading() || value == file_name_) {
    file_name_ = value;
    return;
  }
  CheckDuplicate(Container(), include_from_dir_, value);
  file_name_ = value;
  if (!host::Trim(value).empty()) {
    SetDestName(value);
    if (os::WinFileExists(SourcePath())) install_attributes_ = ReadAttributes(SourcePath());
  }
  SourceChanged();
}

void TCustomInstallFile::SetIncludeFromDir(const std::string& value) {
  if (Loading() || value == include_from_dir_) {
    include_from_dir_ = value;
    return;
  }
  CheckDuplicate(Container(), value, file_name_);
  include_from_dir_ = value;
  SourceChanged();
}

void TCustomInstallFile::SetDestName(const std::string& value) { dest_name_ = value; }

void TCustomInstallFile::SetActiveX(bool value) {
  const bool newlyOn = value && !active_x_;
  active_x_ = value;
  if (!Loading() && newlyOn) SetFileType(iftSystemWideDLL);
}

void TCustomInstallFile::SetFileType(TInstallFileType value) {
  if (Loading() || value == file_type_) {
    file_type_ = value;
    return;
  }
  file_type_ = value;
  if (value == iftJustADLL || value == iftApplicationSpecificDLL) overwrite_mode_ = owVersionDate;
  if (value == iftVendorSharedDLL || value == iftSystemWideDLL) {
    overwrite_mode_ = owVersionDate;
    update_dll_counter_ = true;
  }
  const auto& standard = StandardPathSpecifiers();
  if (value == iftApplicationSpecificDLL) {
    SetDestDirType(standard.Lookup<TpsMainInstall>());
    SetDestDir("\\System");
  } else if (value == iftVendorSharedDLL) {
    SetDestDirType(standard.Lookup<TpsCommonFiles>());
    SetDestDir("\\System");
  } else if (value == iftSystemWideDLL) {
    SetDestDirType(standard.Lookup<TpsSystem>());
    SetDestDir(std::string());
  }
}

void TCustomInstallFile::SetDestDir(const std::string& value) { TFileRelated::SetDestDir(value); }

void TCustomInstallFile::SetDestDirType(TCustomPathSpecifier* value) {
  const bool changed = value != DestDirType();
  TFileRelated::SetDestDirType(value);
  if (Loading() || !changed || value == nullptr) return;
  // Only a four-character extension (".DLL") counts.
  const std::string ext = host::ExtractFileExt(file_name_);
  if (ext.size() != 4 || !ExtensionIn(file_name_, {".DLL", ".OCX", ".BLL", ".EXE"})) return;
  if (dynamic_cast<TpsWindow*>(value) != nullptr || dynamic_cast<TpsBDEDLL*>(value) != nullptr)
    overwrite_mode_ = owVersionDate;
  if (dynamic_cast<TpsSystem*>(value) != nullptr) SetFileType(iftSystemWideDLL);
}

// ---- tables ----

const host::TPropertyTable& TCustomInstallFile::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCustomInstallFile>(
      "TCustomInstallFile", &TFileRelated::ClassProperties(),
      [](host::TPublisher<TCustomInstallFile>&) {});
  return table;
}

namespace {

const host::TEnumInfo& FileAttributeInfo() {
  static const host::TEnumInfo info(
      "TOrlnFileAttribute", {"ofaArchive", "ofaCompressed", "ofaDirectory", "ofaHidden",
                             "ofaNormal", "ofaOffline", "ofaReadOnly", "ofaSystem", "ofaTemporary"});
  return info;
}

const host::TEnumInfo& FileTypeInfo() {
  static const host::TEnumInfo info(
      "TInstallFileType", {"iftNormal", "iftJustADLL", "iftApplicationSpecificDLL",
                           "iftVendorSharedDLL", "iftSystemWideDLL"});
  return info;
}

const host::TEnumInfo& OverwriteInfo() {
  static const host::TEnumInfo info(
      "TOverwriteType", {"owAlways", "owNever", "owVersion", "owDate", "owVersionDate", "owAsk"});
  return info;
}

template <class T>
void PublishInstallFile(host::TPublisher<T>& p, bool netDefault) {
  PublishArchive(p);
  PublishContainer(p);
  PublishDestination(p);
  PublishInclude(p);
  PublishInstallTypes(p, ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact));
  p.Boolean("Net", &T::Net, &T::SetNet).Default(netDefault ? 1 : 0);
  p.template Reference<TCustomNetInstallLocation>("NetLocation", &T::NetLocation,
                                                  &T::SetNetLocation);
  PublishOS(p);
  PublishUninstall(p);
  p.Set("InstallAttributes", FileAttributeInfo(), &T::InstallAttributes, &T::SetInstallAttributes)
      .Default(0);
  p.Boolean("ActiveX", &T::ActiveX, &T::SetActiveX).Default(0);
  p.String("DestName", &T::DestName, &T::SetDestName).DefaultString("");
  p.String("FileName", &T::FileName, &T::SetFileName).DefaultString("");
  p.Enumeration("FileType", FileTypeInfo(), &T::FileType, &T::SetFileType).Default(0);
  p.String("IncludeFromDir", &T::IncludeFromDir, &T::SetIncludeFromDir).DefaultString("");
  p.Enumeration("OverwriteMode", OverwriteInfo(), &T::OverwriteMode, &T::SetOverwriteMode)
      .Default(0);
  p.Boolean("RegisterAsHelp", &T::RegisterAsHelp, &T::SetRegisterAsHelp).Default(0);
  p.Boolean("RunAfterInstall", &T::RunAfterInstall, &T::SetRunAfterInstall).Default(0);
  p.Boolean("UpdateDLLCounter", &T::UpdateDLLCounter, &T::SetUpdateDLLCounter).Default(0);
  p.Event("OnAfterCompress", &T::OnAfterCompress);
  p.Event("OnAfterCopy", &T::OnAfterCopy);
  p.Event("OnAfterInstall", &T::OnAfterInstall);
  p.Event("OnBeforeCompress", &T::OnBeforeCompress);
  p.Event("OnBeforeCopy", &T::OnBeforeCopy);
  p.Event("OnBeforeInstall", &T::OnBeforeInstall);
  p.Event("OnStatus", &T::OnStatus);
  p.Event("OnNewDisk", &T::OnNewDisk);
  p.Event("OnReplacing", &T::OnReplacing);
}

}  // namespace

TInstallFile::TInstallFile(host::TComponent* owner) : TCustomInstallFile(owner) {}

const host::TPropertyTable& TInstallFile::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallFile>(
      "TInstallFile", &TCustomInstallFile::ClassProperties(),
      [](host::TPublisher<TInstallFile>& p) { PublishInstallFile(p, false); });
  return table;
}

// ---------------------------------------------------------------- TUninstallEXE

TUninstallEXE::TUninstallEXE(host::TComponent* owner) : TCustomInstallFile(owner) {
  TFileRelated::SetNet(true);
}

TUninstallEXE::~TUninstallEXE() {
  if (TCustomInstall* install = GlobalInstall()) install->BuildInfo().AddUninstallOnCreate = false;
}

void TUninstallEXE::AfterConstruction() {
  TCustomInstallFile::AfterConstruction();
  if (Owner() == nullptr || !IsDesignMode(Owner())) return;
  const std::string dir = GetLibraryDirectory(false);
  if (dir.empty() || !os::WinFileExists(dir + "\\uninstall.exe")) return;
  SetIncludeFromDir(dir);
  SetFileName("uninstall.exe");
  SetDestName("uninstall.exe");
}

void TUninstallEXE::WriteUninstallData(const std::string& keyPath) {
  TCustomInstall* install = GlobalInstall();
  if (install == nullptr)
    throw IEUninstallEXE(
        "%s could not write information about the uninstall to the registry because there was "
        "no TInstall component",
        {Name()});
  const TInstallInformation& info = install->Information();
  const TControlPanelExtensionInformation& panel = install->Win2KExtendedInformation();
  const std::string product = host::Trim(info.ProductName);
  auto write = [&keyPath](const char* name, const std::string& value) {
    RegWriteString(hkLocalMachine, keyPath, name, value);
  };
  auto optional = [&write](const char* name, const std::string& value) {
    if (!value.empty()) write(name, value);
  };
  write("DisplayName", product);
  write("UninstallString", InstalledPath() + " " + product);
  optional("Comments", panel.Comments);
  optional("Contact", panel.Contact);
  if (panel.DisplayIcon != nullptr && panel.DisplayIcon->Processed())
    write("DisplayIcon", panel.DisplayIcon->InstalledPath());
  optional("DisplayVersion", info.Version);
  optional("HelpLink", panel.HelpLink);
  optional("HelpTelephone", panel.HelpTelephone);
  optional("Publisher", info.CompanyName);
  optional("ProductID", panel.ProductID);
  if (panel.ReadMe != nullptr && panel.ReadMe->Processed())
    write("Readme", panel.ReadMe->InstalledPath());
  optional("URLInfoAbout", panel.URLInfoAbout);
  optional("URLUpdateInfo", panel.URLUpdateInfo);
}

const host::TPropertyTable& TUninstallEXE::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TUninstallEXE>(
      "TUninstallEXE", &TCustomInstallFile::ClassProperties(),
      [](host::TPublisher<TUninstallEXE>& p) {
        PublishInstallFile(p, true);
        p.Integer("Order", &TUninstallEXE::Order, &TUninstallEXE::SetOrder).Default(-1);
        static const host::TEnumInfo states(
            "TInstallFileState", {"ifsNone", "ifsCompress", "ifsInstall", "ifsCopying", "ifsReflect"});
        p.Enumeration("State", states, &TUninstallEXE::State, &TUninstallEXE::SetState).Default(0);
      });
  return table;
}

}  // namespace orln

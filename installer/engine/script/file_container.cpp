#include "installer/engine/script/file_container.h"

#include <memory>

#include "host/forms/forms.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_file.h"
#include "os/win_file.h"

namespace orln {

void MarkInstallAborted() {
  if (TCustomInstall* install = GlobalInstall()) install->SetAborted(true);
}

// ---------------------------------------------------------------- TFileRelated

TFileRelated::TFileRelated(host::TComponent* owner) : TInstallObject(owner) {}

TFileRelated::~TFileRelated() {
  SetArchiveFileType(nullptr);
  SetNetLocation(nullptr);
}

void TFileRelated::DataReceived(const std::string& fileName, int32_t status, int32_t total,
                                int32_t received, int32_t code) {
  TDownloadStatusParameter parameter;
  parameter.Status = status;
  parameter.FileName = fileName;
  parameter.SetProgress(total, received, code != 0);
  OnDataReceived(this, fileName, status, total, received, code);
  Broadcast(this, imDownloadStatus, &parameter);
  if (Container() != nullptr)
    Container()->DoInformationEventControl(this, ieDownloadStatus, &parameter);
}

std::string TFileRelated::LocalFileKey() const {
  return InstallGlobals().HistoryKeyPath + "\\" + Name();
}

bool TFileRelated::HasLocalArchive() {
  if (!local_archive_.empty() && os::WinFileExists(local_archive_)) return true;
  if (InstallGlobals().HistoryKeyPath.empty()) return false;
  const std::string path = RegReadString(hkLocalMachine, LocalFileKey(), "LocalFile", "");
  if (host::Trim(path).empty() || !os::WinFileExists(path)) return false;
  local_archive_ = path;
  return true;
}

void TFileRelated::RememberLocalArchive(const std::string& path) {
  local_archive_ = path;
  if (!IsDesignMode(this) && !InstallGlobals().HistoryKeyPath.empty())
    RegWriteString(hkLocalMachine, LocalFileKey(), "LocalFile", path);
}

TCustomNetInstallLocation* TFileRelated::FindNetLocation() const {
  if (net_location_ != nullptr) return net_location_;
  const TCustomInstall* install = GlobalInstall();
  return install != nullptr ? install->NetLocation() : nullptr;
}

void TFileRelated::DownloadArchive() {
  if (HasLocalArchive()) return;
  TCustomNetInstallLocation* location = FindNetLocation();
  if (location == nullptr)
    throw IEFileRel_NoNetLocation("Could not find a net install location for %s", {Name()});
  if (!IsLoginValid(location->LoginInformation())) {
    if (location == net_location_)
      throw IEFileRelated(
          "%s could not install itself because the TNetLocation component's properties, in the "
          "NetLocation property, have not been filled in",
          {Name()});
    throw IEFileRelated(
        "%s could not install itself because the LoginInformation property of the TInstall "
        "component has not been properly filled in",
        {Name()});
  }
  const std::string remote = Name() + ".1";
  const std::string local = host::ChangeFileExt(GetTempFileName(false), ".1");
  location->SetServed(this, [this, &remote](host::TObject*, int32_t, int64_t received,
                                            int64_t total, bool& abort) {
    DataReceived(remote, 0, static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX)),
                 static_cast<int32_t>(std::min<int64_t>(received, INT32_MAX)), 0);
    if (InstallGlobals().Compress.Abort()) abort = true;
  });
  if (!location->GetFile(remote, local)) throw EAIUserAbort();
  const int64_t size = os::WinGetFileSize(local);
  const int32_t done = static_cast<int32_t>(std::min<int64_t>(size < 0 ? 0 : size, INT32_MAX));
  DataReceived(remote, 0, done, done, 1);
  RememberLocalArchive(local);
}

void TFileRelated::SetArchiveFile(const std::string& value) {
  // A container's or the main archive is named by its specifier alone.
  if (dynamic_cast<TpsContainerArchiveFile*>(archive_file_type_) != nullptr ||
      dynamic_cast<TpsMainArchiveFile*>(archive_file_type_) != nullptr) {
    archive_file_.clear();
    return;
  }
  archive_file_ = value;
}

void TFileRelated::SetArchiveFileType(TCustomPathSpecifier* value) {
  if (value != nullptr && !Loading()) value->Validate(this);
  if (value == archive_file_type_) return;
  if (archive_file_type_ != nullptr) archive_file_type_->RemoveFreeNotification(this);
  archive_file_type_ = value;
  if (value != nullptr) value->FreeNotification(this);
  if (dynamic_cast<TpsContainerArchiveFile*>(value) != nullptr ||
      dynamic_cast<TpsMainArchiveFile*>(value) != nullptr)
    archive_file_.clear();
}

void TFileRelated::SetContainer(TInstallContainer* value) {
  TInstallObject::SetContainer(value);
  if (Loading()) return;
  const auto* target = dynamic_cast<TPathTarget*>(value);
  if (target != nullptr && IsFileRelatedKind(target->PathTargetKind())) {
    SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsContainerArchiveFile>());
    archive_file_.clear();
  } else if (dynamic_cast<TpsContainerArchiveFile*>(archive_file_type_) != nullptr) {
    SetArchiveFileType(nullptr);
  }
}

void TFileRelated::SetNetLocation(TCustomNetInstallLocation* value) {
  if (value == net_location_) return;
  if (net_location_ != nullptr) net_location_->RemoveFreeNotification(this);
  net_location_ = value;
  if (value != nullptr) value->FreeNotification(this);
}

std::string TFileRelated::GetArchivePath() {
  if (archive_file_type_ == nullptr) return archive_file_;
  const std::string path = archive_file_type_->GetPath(this) + archive_file_;
  if (!path.empty() && path.back() == '\\') return path.substr(0, path.size() - 1);
  return path;
}

void TFileRelated::Notification(host::TComponent* component, host::TOperation operation) {
  TInstallObject::Notification(component, operation);
  if (operation != host::opRemove) return;
  if (component == archive_file_type_) archive_file_type_ = nullptr;
  if (component == net_location_) net_location_ = nullptr;
}

const host::TPropertyTable& TFileRelated::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TFileRelated>(
      "TFileRelated", &TInstallObject::ClassProperties(), [](host::TPublisher<TFileRelated>&) {});
  return table;
}

// ---------------------------------------------------------------- TFileContainer

namespace {

// The folder part of a net mirror path: the server and its folder, '/' as
// '-', characters no file name may hold left out.
std::string NetFolder(const TCustomLoginInformation& login) {
  std::string dir = login.Directory;
  if (host::Trim(dir).empty())
    dir = login.Protocol == ipFTP ? "FTP Root directory" : "HTTP Root directory";
  return SafeFileName(login.Hostname) + "\\" + SafeFileName(dir);
}

}  // namespace

TFileContainer::TFileContainer(host::TComponent* owner) : TFileRelated(owner) {
  path_specifier_ = TpsFileContainer::CreateFor(owner, this);
  path_specifier_->FreeNotification(this);
}

TFileContainer::~TFileContainer() {
  TpsFileContainer* spec = path_specifier_;
  path_specifier_ = nullptr;
  if (spec != nullptr) {
    spec->RemoveFreeNotification(this);
    if (owns_specifier_) delete spec;
  }
}

void TFileContainer::UsePathSpecifier(TpsFileContainer& specifier) {
  if (path_specifier_ == &specifier) return;
  if (path_specifier_ != nullptr) {
    path_specifier_->RemoveFreeNotification(this);
    if (owns_specifier_) delete path_specifier_;
  }
  path_specifier_ = &specifier;
  owns_specifier_ = false;
  specifier.FreeNotification(this);
}

void TFileContainer::Notification(host::TComponent* component, host::TOperation operation) {
  TFileRelated::Notification(component, operation);
  if (operation == host::opRemove && component == path_specifier_) path_specifier_ = nullptr;
}

void TFileContainer::RemoveReference(host::TComponent* object) {
  TFileRelated::RemoveReference(object);
}

std::vector<TCustomInstallFile*> TFileContainer::Files() const {
  std::vector<TCustomInstallFile*> out;
  for (TInstallObject* c : ChildList())
    if (auto* f = dynamic_cast<TCustomInstallFile*>(c)) out.push_back(f);
  return out;
}

std::vector<TFileContainer*> TFileContainer::SubContainers() const {
  std::vector<TFileContainer*> out;
  for (TInstallObject* c : ChildList())
    if (auto* f = dynamic_cast<TFileContainer*>(c)) out.push_back(f);
  return out;
}

void TFileContainer::RequestDisk(TCustomInstallFile* file, TDiskParameter& disk) {
  OnNewDisk(file, disk.DiskNumber, disk.DiskPath);
  TMessageList list;
  list.Items = {file, &disk};
  Broadcast(this, imChangeDisk, &list);
}

void TFileContainer::FileReplacing(TCustomInstallFile* file) {
  OnReplacing(file);
  Broadcast(this, imReplacing, file);
}

void TFileContainer::FileStatus(TCustomInstallFile*, TFileStatusParameter& status) {
  OnStatus(this, status.FileProgress, status.FileName, status.OverallPercent);
  Broadcast(this, imFileStatus, &status);
}

int64_t TFileContainer::SizeOf(bool includeAll, bool withChildren) {
  int64_t total = 0;
  for (TCustomInstallFile* f : Files())
    if (includeAll || f->IsSelected()) total += f->UncompressedSize();
  if (withChildren) {
    for (TFileContainer* c : SubContainers())
      if (includeAll || c->IsSelected()) total += c->SizeOf(includeAll, true);
  }
  return total;
}

int64_t TFileContainer::CompressedSize(bool includeAll) {
  int64_t total = 0;
  for (TCustomInstallFile* f : Files())
    if (includeAll || f->IsSelected()) total += f->CompressedSize();
  return total;
}

void TFileContainer::RunOperation(TContainerOperation operation) {
  switch (operation) {
    case opBuilding:
      BuildArchive(kTraditionalBuild);
      break;
    case opInstalling:
      Process();
      break;
    case opCopying:
      CopyFiles();
      break;
    default:
      break;
  }
  operation_ = opNone;
}

void TFileContainer::CopyFiles() {
  TWorkScope<TContainerOperation> scope(operation_, opCopying, opNone, *this);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopying, this);
  for (TCustomInstallFile* f : Files())
    if (IsLiveChild(f)) f->SetState(ifsCopying);
  for (TFileContainer* c : SubContainers())
    if (IsLiveChild(c)) c->CopyFiles();
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopied, this);
}

void TFileContainer::FreeFiles() { FreeCompsOf<TCustomInstallFile>(); }

std::string TFileContainer::ArchiveDirectory() {
  return host::ExtractFileDir(GetArchivePath());
}

std::string TFileContainer::NetArchivePathFor(TCustomNetInstallLocation* location,
                                              const std::string& name) {
  if (location == nullptr) return std::string();
  return IncludeTrailingBackslash(ArchiveDirectory()) +
         NetFolder(location->LoginInformation()) + "\\" + name + ".1";
}

void TFileContainer::BuildArchive(int options) {
  if ((options & coForceNetFilesLocal) != 0 && (options & coForceFilesNet) != 0)
    throw IEFileContainer("Cannot pass both coForceNetFilesLocal and coForceFilesNet to Compress");
  TWorkScope<TContainerOperation> scope(operation_, opBuilding, opNone, *this);
  OnBeforeProcess(this);
  if (!Include() && (options & coIncludeExcluded) == 0) return;
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopying, this);
  ReadFileInfo();
  total_bytes_ = TotalSize((options & coIncludeExcluded) != 0);
  done_bytes_ = 0;

  TCustomNetInstallLocation* location = FindNetLocation();
  net_archive_path_ = NetArchivePathFor(location, Name());
  if (net_archive_path_.empty() && (options & coForceNetFilesLocal) == 0 && location == nullptr) {
    // Without a location nothing can go to the net; files stay local.
    options |= coForceNetFilesLocal;
    options &= ~coForceFilesNet;
  }
  if (AddToArchive() == lzcOverwrite) {
    const std::string archive = host::ChangeFileExt(GetArchivePath(), ".1");
    if (!archive.empty() && archive != ".1" && os::WinFileExists(archive) &&
        !os::WinDeleteFile(archive))
      throw IEFileContainer("%s cannot delete the archive file %s", {Name(), archive});
  }
  bool someOwn = false;
  for (TCustomInstallFile* f : Files()) someOwn = someOwn || f->NeedsOwnArchive();
  if (!net_archive_path_.empty() &&
      (someOwn || ((options & coForceFilesNet) != 0 && !Files().empty())) &&
      os::WinFileExists(net_archive_path_) && !os::WinDeleteFile(net_archive_path_))
    throw IEFileContainer("%s cannot delete the archive file %s", {Name(), net_archive_path_});

  BuildChildren(options);
  OnAfterProcess(this);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopied, this);
}

void TFileContainer::BuildChildren(int options) {
  const std::vector<TInstallObject*> snapshot = ChildList();
  for (TInstallObject* child : snapshot) {
    if (!IsLiveChild(child)) continue;
    auto* related = dynamic_cast<TFileRelated*>(child);
    if (related == nullptr) continue;
    // Each child's archive settings hold for this build only.
    struct TSaved {
      TFileRelated& r;
      TArchiveMode mode;
      std::string file;
      TCustomPathSpecifier* type;
      bool include;
      ~TSaved() {
        r.SetArchiveFileType(type);
        r.SetArchiveFile(file);
        r.SetAddToArchive(mode);
        r.SetInclude(include);
      }
    } saved{*related, related->AddToArchive(), related->ArchiveFile(), related->ArchiveFileType(),
            related->Include()};
    if ((options & coIncludeExcluded) != 0) related->SetInclude(true);

    auto* file = dynamic_cast<TCustomInstallFile*>(child);
    const bool toNet = (options & coForceNetFilesLocal) == 0 &&
                       (related->Net() || (options & coForceFilesNet) != 0);
    if (file != nullptr && toNet && file->NetLocation() != nullptr) {
      file->SetArchiveFileType(nullptr);
      file->SetArchiveFile(NetArchivePathFor(file->NetLocation(), file->Name()));
      file->SetAddToArchive(lzcOverwrite);
      file->separate_net_archive_ = true;
    } else if (file != nullptr && toNet) {
      file->SetArchiveFileType(nullptr);
      file->SetArchiveFile(file->NeedsOwnArchive()
                               ? NetArchivePathFor(FindNetLocation(), file->Name())
                               : net_archive_path_);
      file->SetAddToArchive(file->NeedsOwnArchive() ? lzcOverwrite : lzcOnlyAdd);
      file->separate_net_archive_ = file->NeedsOwnArchive();
    } else {
      TCustomPathSpecifier* type = related->ArchiveFileType();
      if ((options & coAppendOwn) != 0) {
        related->SetAddToArchive(lzcOnlyAdd);
      } else if (dynamic_cast<TpsContainerArchiveFile*>(type) != nullptr) {
        related->SetAddToArchive(lzcOnlyAdd);
      } else if (dynamic_cast<TpsInstallSource*>(type) != nullptr) {
        const TCustomInstall* install = GlobalInstall();
        std::string dir = install != nullptr
                              ? host::ExtractFileDir(const_cast<TCustomInstall*>(install)->GetArchivePath())
                              : std::string();
        related->SetArchiveFileType(nullptr);
        related->SetArchiveFile(IncludeTrailingBackslash(dir) + saved.file);
        related->SetAddToArchive(lzcOverwrite);
      } else if ((options & coContainerDirectory) != 0) {
        const std::string name = host::ExtractFileName(related->GetArchivePath());
        related->SetArchiveFileType(nullptr);
        related->SetArchiveFile(IncludeTrailingBackslash(ArchiveDirectory()) + name);
        related->SetAddToArchive(lzcOverwrite);
      }
    }
    if (auto* sub = dynamic_cast<TFileContainer*>(child)) {
      sub->BuildArchive(options);
    } else if (file != nullptr) {
      file->SetState(ifsCompress);
      if (file->ArchiveEntryState() == aesCompress && toNet) file->SetArchiveEntryState(aesInstall);
    }
  }
}

std::string TFileContainer::GetLocalArchivePath() {
  if (HasLocalArchive()) return local_archive_;
  return std::string();
}

void TFileContainer::ReadArchiveInfo() {
  host::THourglass hourglass;
  for (TCustomInstallFile* f : Files()) f->ReadInfoFromArchive();
  for (TFileContainer* c : SubContainers()) c->ReadArchiveInfo();
  SetInformationRead(true);
}

void TFileContainer::ReadFileInfo() {
  for (TCustomInstallFile* f : Files()) f->ReadFileInfo();
}

bool TFileContainer::NeedsDownload() {
  if (HasLocalArchive()) return false;
  for (TCustomInstallFile* f : Files())
    if (f->IsSelected() && !f->NeedsOwnArchive()) return true;
  return false;
}

void TFileContainer::ProcessChildren() {
  host::THourglass hourglass;
  TWorkScope<TContainerOperation> scope(operation_, opInstalling, opNone, *this);
  HasLocalArchive();
  ReadArchiveInfo();
  Broadcast(this, imContainerInfoRead, nullptr);
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopying, this);
  total_bytes_ = TotalSize(false);
  done_bytes_ = 0;
  OnBeforeInstallObjects(this);
  TFileRelated::ProcessChildren();
  if (Container() != nullptr) Container()->DoInformationEventControl(this, ieContainerCopied, this);
  if (IsFileContainer()) OnAfterInstallObjects(this, InstallGlobals().Compress.Abort());
}

void TFileContainer::DoInformationEventControl(host::TObject* sender, int code,
                                               host::TObject* parameter) {
  if (operation_ != opNone) {
    switch (code) {
      case ieFileReplacing: {
        if (parameter == nullptr) throw IEFileContainer("%s got a nil PO parameter", {Name()});
        auto* file = dynamic_cast<TCustomInstallFile*>(parameter);
        if (file == nullptr)
          throw IEFileContainer("DoInformationEventControl parameter is not TInstallFile");
        FileReplacing(file);
        break;
      }
      case ieInstallStatus:
      case ieCompressStatus:
      case ieCopyStatus: {
        auto* list = dynamic_cast<TMessageList*>(parameter);
        if (list == nullptr)
          throw IEFileContainer("DoInformationEventControl--PO is not a TList object");
        if (list->Items.size() < 2)
          throw IEFileContainer(
              "DoInformationEventControl--Not engouh parameters for status event");
        auto* file = dynamic_cast<TCustomInstallFile*>(list->Items[0]);
        if (file == nullptr)
          throw IEFileContainer("DoInformationEventControl says bad first parameter");
        auto* status = dynamic_cast<TFileStatusParameter*>(list->Items[1]);
        if (status == nullptr)
          throw IEFileContainer("DoInformationEventControl says bad second parameter");
        status->OverallBytes =
            static_cast<int32_t>(std::min<int64_t>(done_bytes_ + status->FileSize, INT32_MAX));
        status->OverallPercent = PercentOf(done_bytes_ + status->FileProgress, total_bytes_);
        FileStatus(file, *status);
        if (status->ArchiveStatus.FileFinished) done_bytes_ += file->CompressedSize();
        break;
      }
      case ieNewDisk: {
        auto* list = dynamic_cast<TMessageList*>(parameter);
        TCustomInstallFile* file = nullptr;
        TDiskParameter* disk = nullptr;
        if (list != nullptr && !list->Items.empty())
          file = dynamic_cast<TCustomInstallFile*>(list->Items[0]);
        if (file == nullptr)
          throw IEFileContainer("DoInformationEventControl says bad %d parameter", {1});
        if (list->Items.size() > 1) disk = dynamic_cast<TDiskParameter*>(list->Items[1]);
        if (disk == nullptr)
          throw IEFileContainer("DoInformationEventControl says bad %d parameter", {2});
        RequestDisk(file, *disk);
        break;
      }
      case ieDownloadStatus: {
        auto* status = dynamic_cast<TDownloadStatusParameter*>(parameter);
        if (status == nullptr)
          throw IEFileContainer(
              "The PO object passed to %s is not a TDownloadStatusParameter object", {Name()});
        OnDataReceived(this, status->FileName, status->Status, status->TotalBytes,
                       status->BytesReceived, 0);
        Broadcast(this, imDownloadStatus, status);
        break;
      }
      case ieFileCompleteA:
      case ieFileCompleteB: {
        auto* file = dynamic_cast<TCustomInstallFile*>(parameter);
        if (file == nullptr)
          throw IEFileContainer("DoInformationEventControl parameter is not TInstallFile");
        TFileStatusParameter status;
        status.FileName = file->DestName();
        status.FileSize = file->UncompressedSize();
        status.FileProgress = file->UncompressedSize();
        status.ArchiveStatus.FilePercent = 100;
        status.ArchiveStatus.FileFinished = true;
        status.OverallBytes =
            static_cast<int32_t>(std::min<int64_t>(done_bytes_ + file->UncompressedSize(), INT32_MAX));
        status.OverallPercent = PercentOf(done_bytes_ + file->UncompressedSize(), total_bytes_);
        FileStatus(file, status);
        done_bytes_ += file->UncompressedSize();
        break;
      }
      default:
        break;
    }
  }
  if (Container() != nullptr) Container()->DoInformationEventControl(sender, code, parameter);
}

const host::TPropertyTable& TFileContainer::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TFileContainer>(
      "TFileContainer", &TFileRelated::ClassProperties(), [](host::TPublisher<TFileContainer>&) {});
  return table;
}

// ---------------------------------------------------------------- TInstallDirectory

TInstallDirectory::TInstallDirectory(host::TComponent* owner) : TFileContainer(owner) {
  if (owner != nullptr && IsDesignMode(owner)) {
    int containers = 0;
    const auto& all = InstallGlobals().Containers;
    for (int i = 0; i < all.Count(); ++i)
      containers += dynamic_cast<TFileContainer*>(all.Items(i)) != nullptr;
    SetDescription("Install Directory " + std::to_string(containers));
  }
}

void TInstallDirectory::CheckFileList() {
  for (TCustomInstallFile* f : Files()) {
    if (IsLiveChild(f) && !os::WinFileExists(f->SourcePath())) delete f;
  }
}

const host::TPropertyTable& TInstallDirectory::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallDirectory>(
      "TInstallDirectory", &TFileContainer::ClassProperties(),
      [](host::TPublisher<TInstallDirectory>& p) {
        PublishArchive(p);
        PublishContainer(p);
        p.String("Description", &TInstallDirectory::Description,
                 &TInstallDirectory::SetDescription)
            .DefaultString("");
        PublishDestination(p);
        PublishInclude(p);
        PublishInstallTypes(p, ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact));
        p.Reference<TCustomNetInstallLocation>("NetLocation", &TInstallDirectory::NetLocation,
                                               &TInstallDirectory::SetNetLocation);
        PublishOS(p);
        p.Event("OnAfterInstallObjects", &TInstallDirectory::OnAfterInstallObjects);
        p.Event("OnAfterProcess", &TInstallDirectory::OnAfterProcess);
        p.Event("OnBeforeInstallObjects", &TInstallDirectory::OnBeforeInstallObjects);
        p.Event("OnBeforeProcess", &TInstallDirectory::OnBeforeProcess);
        p.Event("OnDataReceived", &TInstallDirectory::OnDataReceived);
        p.Event("OnNewDisk", &TInstallDirectory::OnNewDisk);
        p.Event("OnReplacing", &TInstallDirectory::OnReplacing);
        p.Event("OnStatus", &TInstallDirectory::OnStatus);
      });
  return table;
}

}  // namespace orln

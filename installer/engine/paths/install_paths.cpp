#include "installer/engine/paths/install_paths.h"

#include <memory>

#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/paths/office_paths.h"
#include "installer/engine/paths/shell_paths.h"
#include "os/host_profile.h"

namespace orln {

namespace {

TPathTarget* TargetOf(host::TComponent* object) {
  return dynamic_cast<TPathTarget*>(object);
}

std::string NameOf(const host::TComponent* object) {
  return object != nullptr ? object->Name() : std::string();
}

// The install component, or null.
host::TComponent* Install() {
  return InstallGlobals().Install;
}

void RequireInstall(host::TComponent* object) {
  if (Install() == nullptr)
    throw IEPathSpecifier(
        "There is no TInstall component so the path specifier could not be "
        "expanded for %s",
        {NameOf(object)});
}

TPathInstall& InstallFace() {
  auto* face = dynamic_cast<TPathInstall*>(Install());
  TAV_ASSERT(face != nullptr, "install_paths: the install component shows no TPathInstall");
  return *face;
}

TPathTarget& InstallTarget() {
  TPathTarget* target = TargetOf(Install());
  TAV_ASSERT(target != nullptr, "install_paths: the install component shows no TPathTarget");
  return *target;
}

// The container of an install object that a container specifier serves;
// the object must be an install object with a container.
host::TComponent* RequireContainer(host::TComponent* object, const std::string& specifierName,
                                   const char* noContainerMessage) {
  TPathTarget* target = TargetOf(object);
  if (target == nullptr || !IsInstallObjectKind(target->PathTargetKind()))
    throw IEPathSpecifier("%s must be a %s to use the %s path specifier",
                          {NameOf(object), "TInstallObject", specifierName});
  host::TComponent* container = target->PathContainer();
  if (container == nullptr) throw IEPathSpecifier(noContainerMessage, {NameOf(object)});
  return container;
}

// Runs `describe` once `self` accepts the object; the plain text when it
// refuses it.
template <class F, class P>
std::string DescribeFor(TCustomPathSpecifier& self, host::TComponent* object, F describe, P plain) {
  try {
    self.Validate(object);
  } catch (const IEPathSpecifier&) {
    return plain();
  }
  return describe();
}

template <class F>
std::string ExpandWith(std::string_view text, F path) {
  std::string out;
  out.reserve(text.size());
  bool placeholder = false;
  for (const char c : text) {
    if (!placeholder) {
      if (c == '%')
        placeholder = true;
      else
        out += c;
      continue;
    }
    placeholder = false;
    if (c == 'p' || c == 'P')
      out += path();
    else
      out += c;  // "%%" and any other character stand for themselves
  }
  return out;
}

const char kShellFoldersKey[] =
    "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCurrentVersionKey[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string WindowsSubfolder(const char* name) {
  return IncludeTrailingBackslash(GetWindowsDirectory()) + name;
}

std::string MachineFolder(const char* value, const char* tail) {
  const std::string fallback = ExtractFileDrive(GetWindowsDirectory()) + "\\" + tail;
  return RemoveTrailingBackslash(
      RegReadString(hkLocalMachine, kCurrentVersionKey, value, fallback));
}

}  // namespace

bool IsInstallObjectKind(TPathTargetKind kind) {
  return kind != ptkContainer;
}

bool IsFileRelatedKind(TPathTargetKind kind) {
  return kind == ptkFileContainer || kind == ptkGroup || kind == ptkInstallFile ||
         kind == ptkInstall;
}

bool IsFileContainerKind(TPathTargetKind kind) {
  return kind == ptkFileContainer || kind == ptkGroup || kind == ptkInstall;
}

// ---- TCustomPathSpecifier ----

TCustomPathSpecifier::TCustomPathSpecifier(host::TComponent* owner) : TComponent(owner) {
  PathSpecifiers().Add(this);
}

TCustomPathSpecifier::~TCustomPathSpecifier() {
  PathSpecifiers().Remove(this);
}

void TCustomPathSpecifier::Validate(host::TComponent* object) {
  (void)object;
}

std::string TCustomPathSpecifier::GetDescription() const {
  return "Unspecified";
}

std::string TCustomPathSpecifier::GetDescriptionFor(host::TComponent* object) {
  (void)object;
  return GetDescription();
}

std::string TCustomPathSpecifier::GetPath(host::TComponent* object) {
  (void)object;
  return std::string();
}

std::string TCustomPathSpecifier::GetShortName() const {
  return GetDescription();
}

std::string TCustomPathSpecifier::GetShortNameFor(host::TComponent* object) {
  return GetDescriptionFor(object);
}

std::string TCustomPathSpecifier::Expand(std::string_view text, host::TComponent* object) {
  std::string path;
  bool have = false;
  return ExpandWith(text, [&]() -> const std::string& {
    if (!have) {
      path = GetPath(object);
      have = true;
    }
    return path;
  });
}

std::string ExpandPathSpecifier(std::string_view text, std::string_view path) {
  return ExpandWith(text, [path] { return path; });
}

// ---- TPathSpecifier ----

TPathSpecifier::TPathSpecifier(host::TComponent* owner) : TCustomPathSpecifier(owner) {}

const host::TPropertyTable& TPathSpecifier::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TPathSpecifier>(
      "TPathSpecifier", &TComponent::ClassProperties(), [](host::TPublisher<TPathSpecifier>& p) {
        p.String("Description", &TPathSpecifier::Description, &TPathSpecifier::SetDescription)
            .DefaultString("My cool new path specifier");
        p.Event("OnGetPath", &TPathSpecifier::OnGetPath);
      });
  return table;
}

std::string TPathSpecifier::GetDescription() const {
  return description_;
}

std::string TPathSpecifier::GetPath(host::TComponent* object) {
  std::string path;
  OnGetPath(object, path);
  return path;
}

// ---- TStandardPathSpecifier ----

TStandardPathSpecifier::TStandardPathSpecifier(host::TComponent* owner,
                                               const TStandardSpecifierInfo& info)
    : TCustomPathSpecifier(owner), info_(info) {
  StandardPathSpecifiers().Add(this);
}

TStandardPathSpecifier::~TStandardPathSpecifier() {
  StandardPathSpecifiers().Remove(this);
}

std::string TStandardPathSpecifier::StandardName() const {
  const host::TPropertyTable* table = PublishedProperties();
  const std::string name = table != nullptr ? table->ClassName() : ClassName();
  return name.substr(1);
}

TFolderSpecifier::TFolderSpecifier(host::TComponent* owner, const TStandardSpecifierInfo& info,
                                   TFolder folder)
    : TStandardPathSpecifier(owner, info), folder_(folder) {}

std::string TFolderSpecifier::GetPath(host::TComponent* object) {
  Validate(object);
  return folder_();
}

// ---- the lists ----

TStandardPathSpecifier* TStandardPathSpecList::Lookup(const host::TPropertyTable& cls) const {
  for (int i = 0; i < Count(); ++i) {
    TStandardPathSpecifier* s = Items(i);
    if (s->PublishedProperties() == &cls) return s;
  }
  return nullptr;
}

TStandardPathSpecifier* TStandardPathSpecList::Find(const host::TPropertyTable& cls) const {
  TStandardPathSpecifier* s = Lookup(cls);
  if (s == nullptr) throw IEPathSpecifierList("Could not find the path specifier");
  return s;
}

bool TStandardPathSpecList::EnsureStandardSpecifiers(host::TComponent* owner, bool createMissing) {
  const TPathSpecifierClassList& classes = PathSpecifierClasses();
  bool complete = true;
  for (int i = 0; i < classes.Count(); ++i) {
    const host::TPropertyTable& cls = *classes.Items(i);
    if (Lookup(cls) != nullptr) continue;
    complete = false;
    if (!createMissing) continue;
    TAV_ASSERT(owner != nullptr, "install_paths: standard specifiers need an owner");
    auto* made = static_cast<TStandardPathSpecifier*>(cls.NewComponent(owner));
    TAV_ASSERT(made != nullptr, "install_paths: a standard class cannot be made");
    try {
      MakeUniqueName(*made, made->StandardName());
    } catch (...) {
      delete made;
      throw;
    }
  }
  return complete;
}

TPathSpecifierList& PathSpecifiers() {
  static TPathSpecifierList list;
  return list;
}

TStandardPathSpecList& StandardPathSpecifiers() {
  static TStandardPathSpecList list;
  return list;
}

namespace {

void AddClass(TPathSpecifierClassList& list, const host::TPropertyTable& table) {
  list.Add(&table);
  host::RegisterClass(table);
}

TPathSpecifierClassList MakeClassList() {
  TPathSpecifierClassList list;
  for (const host::TPropertyTable* t :
       {&TpsBDEDLL::ClassProperties(), &TpsCommonFiles::ClassProperties(),
        &TpsContainerArchiveFile::ClassProperties(), &TpsContainerDestDir::ClassProperties(),
        &TpsDesktopMenu::ClassProperties(), &TpsInstallSource::ClassProperties(),
        &TpsMainInstall::ClassProperties(), &TpsProgramFiles::ClassProperties(),
        &TpsProgramMenu::ClassProperties(), &TpsStartMenu::ClassProperties(),
        &TpsStartupMenu::ClassProperties(), &TpsSystem::ClassProperties(),
        &TpsMainArchiveFile::ClassProperties(), &TpsWindow::ClassProperties()})
    AddClass(list, *t);
  RegisterWindowsSpecifiers([&list](const host::TPropertyTable& t) { AddClass(list, t); });
  RegisterOfficeSpecifiers([&list](const host::TPropertyTable& t) { AddClass(list, t); });
  host::RegisterClass(TPathSpecifier::ClassProperties());
  host::RegisterClass(TpsFileContainer::ClassProperties());
  return list;
}

}  // namespace

TPathSpecifierClassList& PathSpecifierClasses() {
  static TPathSpecifierClassList list = MakeClassList();
  return list;
}

void RegisterPathSpecifierClasses() {
  PathSpecifierClasses();
}

// ---- shell folders ----

std::string ReadShellFolder(const std::string& name, const std::string& fallback) {
  return RemoveTrailingBackslash(RegReadString(hkCurrentUser, kShellFoldersKey, name, fallback));
}

std::string GetStartMenuDirectory() {
  return ReadShellFolder("Start Menu", WindowsSubfolder("Startmen"));
}
std::string GetProgramsDirectory() {
  return ReadShellFolder("Programs", WindowsSubfolder("Programs"));
}
std::string GetDesktopDirectory() {
  return ReadShellFolder("Desktop", WindowsSubfolder("Desktop"));
}
std::string GetStartupDirectory() {
  return ReadShellFolder("Startup", WindowsSubfolder("Startup"));
}
std::string GetProgramFilesDirectory() {
  return MachineFolder("ProgramFilesDir", "Program Files");
}
std::string GetCommonFilesDirectory() {
  return MachineFolder("CommonFilesDir", "Program Files\\Common Files");
}

// ---- the install's standard specifiers ----

namespace {

// The first folder of the BDE's DLL path, else its usual place.
std::string BDEDirectory() {
  const std::string dll = Token(
      RegReadString(hkLocalMachine, "\\Software\\Borland\\Database Engine", "DLLPath", ""), 1, ';');
  if (!dll.empty()) return dll;
  return IncludeTrailingBackslash(GetProgramFilesDirectory()) + "Borland\\Common Files\\BDE";
}

}  // namespace

ORLN_DEFINE_STANDARD_SPECIFIER(TpsBDEDLL, TFolderSpecifier, "Borland Database Engine DLL Path",
                               "BDE DLL", 145, &BDEDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(
    TpsCommonFiles, TFolderSpecifier,
    "Path of the common files directory under the program files directory", "Common files", 1,
    &GetCommonFilesDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsContainerArchiveFile, TStandardPathSpecifier,
                               "Path to the archive file of the container",
                               "Container archive file", 2)
// Without an object the short name is the description: "<%s>" needs the
// container's.
ORLN_DEFINE_STANDARD_SPECIFIER(TpsContainerDestDir, TStandardPathSpecifier,
                               "Path of the group (container)", "Path of the group (container)", 2)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsDesktopMenu, TFolderSpecifier, "Path of the Desktop", "Desktop",
                               3, &GetDesktopDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsInstallSource, TStandardPathSpecifier,
                               "Path from which the user ran the install", "Install source", 4)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsMainInstall, TStandardPathSpecifier,
                               "Main installation directory", "Main install dir", 5)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsMainArchiveFile, TStandardPathSpecifier,
                               "Archive containing most or all non-internet installation files",
                               "Main archive", 6)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsProgramFiles, TFolderSpecifier,
                               "Path of the program files directory", "Program files", 0,
                               &GetProgramFilesDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsProgramMenu, TFolderSpecifier,
                               "Path of the Programs folder under the Start Menu", "Program menu",
                               0, &GetProgramsDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsStartMenu, TFolderSpecifier, "Path of Start Menu", "Start menu",
                               0, &GetStartMenuDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(
    TpsStartupMenu, TFolderSpecifier,
    "Path of the Startup folder in the Programs folder under the Start Menu", "Startup menu", 0,
    &GetStartupDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsSystem, TFolderSpecifier, "Path of system directory",
                               "System dir", 7, &GetSystemDirectory)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsWindow, TFolderSpecifier, "Path of the Windows directory",
                               "Windows dir", 0, &GetWindowsDirectory)

void TpsContainerArchiveFile::Validate(host::TComponent* object) {
  host::TComponent* container = RequireContainer(
      object, Name(), "Cannot use ddContainerArchiveFile for %s unless you assign a Container");
  TPathTarget* target = TargetOf(container);
  if (target == nullptr || !IsFileRelatedKind(target->PathTargetKind()))
    throw IEPathSpecifier(
        "Cannot use the ddContainerArchiveFile path specifier for %s because the Container is "
        "not a TFileRelated descendant",
        {NameOf(object)});
}

std::string TpsContainerArchiveFile::GetPath(host::TComponent* object) {
  Validate(object);
  return TargetOf(TargetOf(object)->PathContainer())->GetArchivePath();
}

void TpsContainerDestDir::Validate(host::TComponent* object) {
  RequireContainer(object, Name(),
                   "Cannot use ddContainerDestDir for %s unless you assign a Container");
}

std::string TpsContainerDestDir::GetPath(host::TComponent* object) {
  Validate(object);
  TPathTarget* container = TargetOf(TargetOf(object)->PathContainer());
  // A container outside the install object tree has no destination to give.
  return container != nullptr ? container->GetDestPath() : std::string();
}

namespace {

// How TpsContainerDestDir names the container of an object it accepted.
std::string ContainerDescription(host::TComponent* object, bool shortName) {
  host::TComponent* container = TargetOf(object)->PathContainer();
  TPathTarget* target = TargetOf(container);
  const TPathTargetKind kind = target != nullptr ? target->PathTargetKind() : ptkContainer;
  if (kind == ptkInstall)
    return shortName ? "<Main installation directory>" : "Main installation directory";
  const std::string text =
      IsFileContainerKind(kind) ? target->PathDescription() : container->Name();
  if (shortName) return host::Format("<%s>", {text});
  return host::Format(
      kind == ptkFileContainer ? "Path of the <%s> directory" : "Path of the <%s> group", {text});
}

}  // namespace

std::string TpsContainerDestDir::GetDescriptionFor(host::TComponent* object) {
  return DescribeFor(
      *this, object, [&] { return ContainerDescription(object, false); },
      [this] { return GetDescription(); });
}

std::string TpsContainerDestDir::GetShortNameFor(host::TComponent* object) {
  return DescribeFor(
      *this, object, [&] { return ContainerDescription(object, true); },
      [this] { return GetDescription(); });
}

void TpsInstallSource::Validate(host::TComponent* object) {
  RequireInstall(object);
}

std::string TpsInstallSource::GetPath(host::TComponent* object) {
  Validate(object);
  return InstallFace().SourceDirectory();
}

void TpsMainInstall::Validate(host::TComponent* object) {
  RequireInstall(object);
  if (object != nullptr && object == Install())
    throw IEPathSpecifier(
        "Cannot use the ddMainInstallDir path specifier for a TInstall component");
}

std::string TpsMainInstall::GetPath(host::TComponent* object) {
  Validate(object);
  return InstallTarget().GetDestPath();
}

void TpsMainArchiveFile::Validate(host::TComponent* object) {
  RequireInstall(object);
}

std::string TpsMainArchiveFile::GetPath(host::TComponent* object) {
  Validate(object);
  const TPathInstall& install = InstallFace();
  std::string program;
  if (install.SelfExtractorOption(program)) {
    if (host::Trim(program).empty())
      throw IEPathSpecifier(
          "You forgot to pass in the name of the self-extracting executable. Usage example: "
          "\"-eSetup.exe\"");
    return install.SourceDirectory() + "\\" + program;
  }
  const std::string dir =
      new_disk_directory_.empty() ? install.SourceDirectory() : new_disk_directory_;
  return dir + "\\files.1";
}

// ---- TpsFileContainer ----

TpsFileContainer::TpsFileContainer(host::TComponent* owner) : TCustomPathSpecifier(owner) {}

TpsFileContainer::~TpsFileContainer() {
  SetFileContainer(nullptr);
}

const host::TPropertyTable& TpsFileContainer::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TpsFileContainer>(
      "TpsFileContainer", &TComponent::ClassProperties(),
      [](host::TPublisher<TpsFileContainer>& p) {
        p.Reference<host::TComponent>("FileContainer", &TpsFileContainer::FileContainer,
                                      &TpsFileContainer::SetFileContainer);
      });
  return table;
}

TpsFileContainer* TpsFileContainer::CreateFor(host::TComponent* owner,
                                              host::TComponent* container) {
  auto spec = std::make_unique<TpsFileContainer>(owner);
  MakeUniqueName(*spec, "psFileContainer");
  spec->SetFileContainer(container);
  return spec.release();
}

void TpsFileContainer::SetFileContainer(host::TComponent* container) {
  if (container == container_) return;
  if (container_ != nullptr) container_->RemoveFreeNotification(this);
  container_ = container;
  if (container_ != nullptr) container_->FreeNotification(this);
}

void TpsFileContainer::SetName(const std::string& newName) {
  host::TComponent* owner = Owner();
  host::TComponent* other = owner != nullptr ? owner->FindComponent(newName) : nullptr;
  if (other != nullptr && other != this) {
    // One count for the whole program, as a form may clash more than once.
    static int clashes = 0;
    std::string name;
    do {
      name = "nameClash" + std::to_string(++clashes);
    } while (owner->FindComponent(name) != nullptr);
    other->SetName(name);
  }
  TCustomPathSpecifier::SetName(newName);
}

void TpsFileContainer::Validate(host::TComponent* object) {
  // A file container asking its own specifier for its path would ask itself
  // again without end; the rule keeps that from ever starting.
  TPathTarget* target = TargetOf(object);
  if (target == nullptr) return;
  const TPathTargetKind kind = target->PathTargetKind();
  if (IsFileContainerKind(kind) || kind == ptkInstallFile)
    throw IEPathSpecifier("A file container cannot reference another file container or group");
}

std::string TpsFileContainer::GetDescription() const {
  TPathTarget* target = TargetOf(container_);
  if (target == nullptr) return "Path specifier for unknown file container";
  return "Path into which " + target->PathDescription() + " will be installed";
}

std::string TpsFileContainer::GetShortName() const {
  TPathTarget* target = TargetOf(container_);
  if (target == nullptr) return "Path specifier for unknown file container";
  return "<" + target->PathDescription() + ">";
}

std::string TpsFileContainer::GetPath(host::TComponent* object) {
  Validate(object);
  TPathTarget* target = TargetOf(container_);
  return target != nullptr ? target->GetDestPath() : std::string();
}

void TpsFileContainer::Loaded() {
  TCustomPathSpecifier::Loaded();
  if (TPathTarget* target = TargetOf(container_)) target->UsePathSpecifier(*this);
}

void TpsFileContainer::Notification(host::TComponent* component, host::TOperation operation) {
  TCustomPathSpecifier::Notification(component, operation);
  if (operation == host::opRemove && component == container_) container_ = nullptr;
}

}  // namespace orln

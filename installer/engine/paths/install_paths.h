// Path specifiers: small components that name a base directory. An install
// object stores a specifier and a relative text (DestDirType + DestDir,
// ArchiveFileType + ArchiveFile); the specifier gives the base path for that
// object when the install runs. This unit holds the base classes, the three
// global lists, the specifiers of the install's own directories and of the
// shell folders the registry names, and TpsFileContainer, the specifier each
// file container makes for its own destination. The shell's special folders
// are in shell_paths.h, the Office folders in office_paths.h.
//
// Callers must keep:
//  - Every specifier is on PathSpecifiers() from its constructor to its
//    destructor, every standard one also on StandardPathSpecifiers(); the
//    lists borrow. StandardPathSpecifiers().Find<T>() is "the shared T".
//  - Specifiers reach the objects they serve only through TPathTarget and
//    TPathInstall, found by dynamic_cast on the component they are given.
//    The install object model derives its classes from them; any other
//    component is served as a plain object (not an install object).
//  - The install is InstallGlobals().Install: the install component sets it
//    while it lives; null means there is none.
//  - Paths come without a trailing backslash unless a registry value holds
//    one where no rule removes it.
#pragma once

#include <string>
#include <string_view>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "host/rtl/event.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"

namespace orln {

class TpsFileContainer;

// ---- what specifiers ask of the objects they serve ----

// The branch of the install object tree an object belongs to.
enum TPathTargetKind {
  ptkContainer,      // a TInstallContainer that is no install object
  ptkInstallObject,  // a TInstallObject outside the file branch (registry items, dialogs)
  ptkFileContainer,  // TFileContainer, TInstallDirectory
  ptkGroup,          // TCustomInstallGroup
  ptkInstallFile,    // TCustomInstallFile
  ptkInstall,        // TCustomInstall
};

bool IsInstallObjectKind(TPathTargetKind kind);
bool IsFileRelatedKind(TPathTargetKind kind);
bool IsFileContainerKind(TPathTargetKind kind);  // groups and the install too

// The face of an install object towards the specifiers. TInstallContainer
// derives from it; the branches override what they have.
class TPathTarget {
 public:
  virtual ~TPathTarget() = default;
  virtual TPathTargetKind PathTargetKind() const = 0;
  // The destination path of the object (its DestDirType's path and DestDir).
  virtual std::string GetDestPath() = 0;
  // Container of an install object; null when it has none.
  virtual host::TComponent* PathContainer() const { return nullptr; }
  // The archive path of a file-related object.
  virtual std::string GetArchivePath() { return std::string(); }
  // The Description of a file container.
  virtual std::string PathDescription() const { return std::string(); }
  // A file container takes `specifier`, read from a form for it, in place
  // of the one it made itself, and frees its own.
  virtual void UsePathSpecifier(TpsFileContainer& specifier) { (void)specifier; }
};

// The face of the install component towards the specifiers.
class TPathInstall {
 public:
  virtual ~TPathInstall() = default;
  // Where the user ran the install from (no trailing backslash).
  virtual std::string SourceDirectory() const = 0;
  // Whether the program was started with -e, and the text after the "-e".
  virtual bool SelfExtractorOption(std::string& value) const = 0;
};

// ---- the specifiers ----

class TCustomPathSpecifier : public host::TComponent {
 public:
  explicit TCustomPathSpecifier(host::TComponent* owner);
  ~TCustomPathSpecifier() override;

  // Raises IEPathSpecifier for an object the specifier cannot serve.
  virtual void Validate(host::TComponent* object);
  virtual std::string GetDescription() const;
  virtual std::string GetDescriptionFor(host::TComponent* object);
  virtual std::string GetPath(host::TComponent* object);
  virtual std::string GetShortName() const;
  virtual std::string GetShortNameFor(host::TComponent* object);

  // `text` with "%p" replaced by GetPath(object) (ExpandPathSpecifier); the
  // path is asked for only when the text names it.
  std::string Expand(std::string_view text, host::TComponent* object);
};

// "%%" gives '%'; after a single '%', 'p' or 'P' gives `path` and any other
// character itself; a '%' at the end gives nothing; the rest is copied.
std::string ExpandPathSpecifier(std::string_view text, std::string_view path);

// A specifier whose path a script gives through OnGetPath.
class TPathSpecifier : public TCustomPathSpecifier {
 public:
  using TGetPathEvent = host::TEvent<void(host::TComponent* Object, std::string& Path)>;

  explicit TPathSpecifier(host::TComponent* owner);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  const std::string& Description() const { return description_; }
  void SetDescription(const std::string& value) { description_ = value; }

  std::string GetDescription() const override;
  // The handler's path; empty without one.
  std::string GetPath(host::TComponent* object) override;

  TGetPathEvent OnGetPath;

 private:
  std::string description_ = "My cool new path specifier";
};

// What a standard class says of itself.
struct TStandardSpecifierInfo {
  const char* Description;
  const char* ShortName;
  int Number;  // the class's number; 0 for the classes that have none
};

// One of the registered classes, of which one instance is shared by every
// object that names it. Its standard name is the class name without its "T"
// ("psSystem" for TpsSystem).
class TStandardPathSpecifier : public TCustomPathSpecifier {
 public:
  TStandardPathSpecifier(host::TComponent* owner, const TStandardSpecifierInfo& info);
  ~TStandardPathSpecifier() override;

  std::string StandardName() const;
  int Number() const { return info_.Number; }
  std::string GetDescription() const override { return info_.Description; }
  std::string GetShortName() const override { return info_.ShortName; }

 private:
  const TStandardSpecifierInfo& info_;
};

// Gives a standard class its table, which names it for streaming and for
// the class list.
#define ORLN_STANDARD_SPECIFIER                                      \
  static const host::TPropertyTable& ClassProperties();              \
  const host::TPropertyTable* PublishedProperties() const override { \
    return &ClassProperties();                                       \
  }

// The table of a standard class that publishes nothing beyond its name.
template <class T>
const host::TPropertyTable& StandardSpecifierTable(const char* className) {
  static const host::TPropertyTable table = host::PublishClass<T>(
      className, &host::TComponent::ClassProperties(), [](host::TPublisher<T>&) {});
  return table;
}

// Defines the constructor and table of a standard class declared with
// ORLN_STANDARD_SPECIFIER; the arguments after Number go to Base's
// constructor after the owner and the class's TStandardSpecifierInfo.
#define ORLN_DEFINE_STANDARD_SPECIFIER(Name, Base, Description, ShortName, Number, ...)          \
  namespace {                                                                                    \
  const TStandardSpecifierInfo k##Name##Info{Description, ShortName, Number};                    \
  }                                                                                              \
  Name::Name(host::TComponent* owner) : Base(owner, k##Name##Info __VA_OPT__(, ) __VA_ARGS__) {} \
  const host::TPropertyTable& Name::ClassProperties() {                                          \
    return StandardSpecifierTable<Name>(#Name);                                                  \
  }

// A standard specifier whose path is one folder of the machine, the same
// for every object it serves.
class TFolderSpecifier : public TStandardPathSpecifier {
 public:
  using TFolder = std::string (*)();
  TFolderSpecifier(host::TComponent* owner, const TStandardSpecifierInfo& info, TFolder folder);
  std::string GetPath(host::TComponent* object) override;

 private:
  TFolder folder_;
};

#define ORLN_FOLDER_SPECIFIER(Name)         \
  class Name : public TFolderSpecifier {    \
   public:                                  \
    explicit Name(host::TComponent* owner); \
    ORLN_STANDARD_SPECIFIER                 \
  };

// ---- the global lists ----

class TPathSpecifierList : public TInstallObjectList<TCustomPathSpecifier, IEPathSpecifierList> {
 public:
  TPathSpecifierList()
      : TInstallObjectList("Tried to add a nil object to the path specifier list") {}
};

class TStandardPathSpecList
    : public TInstallObjectList<TStandardPathSpecifier, IEPathSpecifierList> {
 public:
  TStandardPathSpecList()
      : TInstallObjectList("Tried to add a nil object to the path specifier list") {}

  // The instance of the class; IEPathSpecifierList "Could not find the path
  // specifier" when there is none.
  TStandardPathSpecifier* Find(const host::TPropertyTable& cls) const;
  template <class T>
  T* Find() const {
    return static_cast<T*>(Find(T::ClassProperties()));
  }
  // The instance of the class, or null.
  TStandardPathSpecifier* Lookup(const host::TPropertyTable& cls) const;
  template <class T>
  T* Lookup() const {
    return static_cast<T*>(Lookup(T::ClassProperties()));
  }

  // For each registered class without an instance, with createMissing one
  // is made on `owner` under its standard name (the first free name from
  // there). Whether every class had an instance before the call.
  bool EnsureStandardSpecifiers(host::TComponent* owner, bool createMissing);
};

class TPathSpecifierClassList
    : public TInstallObjectList<const host::TPropertyTable, IEPathSpecifierClassList> {
 public:
  TPathSpecifierClassList()
      : TInstallObjectList("Tried to add a nil object to the path specifier list") {}
};

TPathSpecifierList& PathSpecifiers();
TStandardPathSpecList& StandardPathSpecifiers();
// The standard classes in registration order: the install's own, then the
// shell's special folders, then Office's. Made on first use, which also
// registers every specifier class for streaming.
TPathSpecifierClassList& PathSpecifierClasses();
// Registers the specifier classes (standard, TPathSpecifier and
// TpsFileContainer) for streaming; a program calls it before reading a form.
void RegisterPathSpecifierClasses();

// ---- shell folders and directories (no trailing backslash) ----

// The string value `name` of HKCU "...\Explorer\Shell Folders"; `fallback`
// when it is missing.
std::string ReadShellFolder(const std::string& name, const std::string& fallback);
std::string GetStartMenuDirectory();
std::string GetProgramsDirectory();
std::string GetDesktopDirectory();
std::string GetStartupDirectory();
std::string GetProgramFilesDirectory();
std::string GetCommonFilesDirectory();

// ---- the install's standard specifiers ----

ORLN_FOLDER_SPECIFIER(TpsBDEDLL)

ORLN_FOLDER_SPECIFIER(TpsCommonFiles)

// The archive path of the object's container, which must be file-related.
class TpsContainerArchiveFile : public TStandardPathSpecifier {
 public:
  explicit TpsContainerArchiveFile(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER
  void Validate(host::TComponent* object) override;
  std::string GetPath(host::TComponent* object) override;
};

// The destination path of the object's container.
class TpsContainerDestDir : public TStandardPathSpecifier {
 public:
  explicit TpsContainerDestDir(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER
  void Validate(host::TComponent* object) override;
  std::string GetDescriptionFor(host::TComponent* object) override;
  std::string GetPath(host::TComponent* object) override;
  std::string GetShortNameFor(host::TComponent* object) override;
};

ORLN_FOLDER_SPECIFIER(TpsDesktopMenu)

// The folder the user ran the install from.
class TpsInstallSource : public TStandardPathSpecifier {
 public:
  explicit TpsInstallSource(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER
  void Validate(host::TComponent* object) override;
  std::string GetPath(host::TComponent* object) override;
};

// The install's destination; it serves every object but the install.
class TpsMainInstall : public TStandardPathSpecifier {
 public:
  explicit TpsMainInstall(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER
  void Validate(host::TComponent* object) override;
  std::string GetPath(host::TComponent* object) override;
};

ORLN_FOLDER_SPECIFIER(TpsProgramFiles)

ORLN_FOLDER_SPECIFIER(TpsProgramMenu)

ORLN_FOLDER_SPECIFIER(TpsStartMenu)

ORLN_FOLDER_SPECIFIER(TpsStartupMenu)

ORLN_FOLDER_SPECIFIER(TpsSystem)

// The archive holding the install's files: the self-extracting program
// under -e, else "files.1" where the last new disk was found or in the
// install's source folder.
class TpsMainArchiveFile : public TStandardPathSpecifier {
 public:
  explicit TpsMainArchiveFile(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER
  void Validate(host::TComponent* object) override;
  std::string GetPath(host::TComponent* object) override;

  // The folder the last new disk was found in (no trailing backslash); empty
  // until a disk was asked for.
  const std::string& NewDiskDirectory() const { return new_disk_directory_; }
  void SetNewDiskDirectory(const std::string& path) { new_disk_directory_ = path; }

 private:
  std::string new_disk_directory_;
};

ORLN_FOLDER_SPECIFIER(TpsWindow)

// ---- a file container's own specifier ----

// Names the destination of one file container (FileContainer, borrowed and
// dropped when it goes). It serves no file container, group or file: those
// would reach their own destination through themselves.
class TpsFileContainer : public TCustomPathSpecifier {
 public:
  explicit TpsFileContainer(host::TComponent* owner);
  ~TpsFileContainer() override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  // The specifier a file container makes for itself: on `owner`, named
  // "psFileContainer" or "psFileContainer" and the first number from 1 that
  // is free there.
  static TpsFileContainer* CreateFor(host::TComponent* owner, host::TComponent* container);

  host::TComponent* FileContainer() const { return container_; }
  void SetFileContainer(host::TComponent* container);

  // A sibling that has the name already is renamed "nameClash" and the next
  // number of a count kept for the program, so that a specifier read from a
  // form takes the name of the one its container made meanwhile.
  void SetName(const std::string& newName) override;

  void Validate(host::TComponent* object) override;
  std::string GetDescription() const override;
  std::string GetShortName() const override;
  std::string GetPath(host::TComponent* object) override;

 protected:
  // A specifier read for a container replaces the one it made itself.
  void Loaded() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;

 private:
  host::TComponent* container_ = nullptr;
};

}  // namespace orln

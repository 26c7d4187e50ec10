#include "installer/engine/script/install_registry.h"

#include "host/rtl/sys_utils.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/install.h"

namespace orln {
namespace {

constexpr char kNoInstall[] = "There is no TInstall component in your project";

const host::TEnumInfo& EntryTypeInfo() {
  static const host::TEnumInfo info("TRegistryEntryType", {"retText", "retInteger", "retBoolean"});
  return info;
}

const host::TEnumInfo& KeySpecifierTypeInfo() {
  static const host::TEnumInfo info("TKeySpecifierType",
                                    {"ksAbsolute", "ksCompanyName", "ksProductName", "ksVersion"});
  return info;
}

const host::TEnumInfo& RootKeysInfo() {
  static const host::TEnumInfo info("TRootKeys", {"hkClassesRoot", "hkCurrentConfig", "hkCurrentUser",
                                                  "hkDynData", "hkLocalMachine", "hkUsers"});
  return info;
}

const TCustomInstall& RequireInstall() {
  const TCustomInstall* install = GlobalInstall();
  if (install == nullptr) throw IEInstallRegistry(kNoInstall);
  return *install;
}

}  // namespace

TInstallRegistryList& InstallRegistryList() {
  static TInstallRegistryList list("Cannot add blank entry to the registry list");
  return list;
}

// ---------------------------------------------------------------- entries

TRegistryEntry::TRegistryEntry(host::TCollection* collection) : TCollectionItem(collection) {
  if (auto* entries = dynamic_cast<TRegistryEntries*>(collection)) registry_ = entries->Registry();
}

bool TRegistryEntry::Loading() const {
  return registry_ != nullptr && (registry_->ComponentState() & host::csLoading) != 0;
}

void TRegistryEntry::SetText(const std::string& v) {
  text_ = v;
  if (!Loading()) entry_type_ = retText;
}

void TRegistryEntry::SetInteger(int32_t v) {
  integer_ = v;
  if (!Loading()) entry_type_ = retInteger;
}

void TRegistryEntry::SetBoolean(bool v) {
  boolean_ = v;
  if (!Loading()) entry_type_ = retBoolean;
}

void TRegistryEntry::SetPathSpecifier(TCustomPathSpecifier* v) {
  if (!Loading()) {
    if (v != nullptr) {
      v->Validate(registry_);
      text_ = "%p";
    }
    entry_type_ = retText;
  }
  path_specifier_ = v;
  if (v != nullptr && registry_ != nullptr) registry_->WatchSpecifier(v);
}

std::string TRegistryEntry::ExpandedText() const {
  if (path_specifier_ == nullptr) return text_;
  return path_specifier_->Expand(text_, registry_);
}

void TRegistryEntry::Assign(const host::TPersistent& source) {
  const auto* other = dynamic_cast<const TRegistryEntry*>(&source);
  if (other == nullptr) {
    TCollectionItem::Assign(source);
    return;
  }
  ident_ = other->ident_;
  entry_type_ = other->entry_type_;
  text_ = other->text_;
  integer_ = other->integer_;
  boolean_ = other->boolean_;
  path_specifier_ = other->path_specifier_;
  if (path_specifier_ != nullptr && registry_ != nullptr) registry_->WatchSpecifier(path_specifier_);
}

const host::TPropertyTable& TRegistryEntry::ClassProperties() {
  using T = TRegistryEntry;
  static const host::TPropertyTable table =
      host::PublishClass<T>("TRegistryEntry", nullptr, [](host::TPublisher<T>& p) {
        p.String("Ident", &T::Ident, &T::SetIdent).DefaultString("");
        p.Enumeration("EntryType", EntryTypeInfo(), &T::EntryType, &T::SetEntryType).Default(retText);
        p.String("Text", &T::Text, &T::SetText).DefaultString("");
        p.Integer("Integer", &T::Integer, &T::SetInteger).Default(0);
        p.Boolean("Boolean", &T::Boolean, &T::SetBoolean).Default(0);
        p.Reference<TCustomPathSpecifier>("PathSpecifier", &T::PathSpecifier, &T::SetPathSpecifier);
      });
  return table;
}

TRegistryEntries::TRegistryEntries(TCustomInstallRegistry* registry) : registry_(registry) {
  if (registry == nullptr)
    throw IERegistryEntries("Cannot create a TRegistryEntries component with a Nil Owner");
}

host::TCollectionItem* TRegistryEntries::NewItem() {
  auto* entry = new TRegistryEntry();
  entry->registry_ = registry_;
  return entry;
}

// ---------------------------------------------------------------- registry item

TCustomInstallRegistry::TCustomInstallRegistry(host::TComponent* owner) : TInstallObject(owner) {
  InstallRegistryList().Add(this);
}

TCustomInstallRegistry::~TCustomInstallRegistry() { InstallRegistryList().Remove(this); }

void TCustomInstallRegistry::HandleMessage(host::TObject* sender, int code, host::TObject* parameter) {
  TInstallObject::HandleMessage(sender, code, parameter);
  if (code == imInstallRegistry) Process();
}

std::string TCustomInstallRegistry::GetKeyPath() const {
  if (key_specifier_type_ == ksAbsolute) return RemoveTrailingBackslash(key_);
  const TInstallInformation& info = RequireInstall().Information();
  std::string path = "\\SOFTWARE\\" + info.CompanyName;
  if (key_specifier_type_ == ksCompanyName) return path;
  path += "\\" + info.ProductName;
  if (key_specifier_type_ == ksProductName) return path;
  return path + "\\" + info.Version;
}

void TCustomInstallRegistry::SetKey(const std::string& v) {
  key_ = key_specifier_type_ == ksAbsolute ? v : std::string();
}

void TCustomInstallRegistry::SetKeySpecifierType(TKeySpecifierType v) {
  if (v != ksAbsolute) {
    if (!Loading()) RequireInstall();
    key_.clear();
    root_key_ = hkLocalMachine;
  }
  key_specifier_type_ = v;
  if (!Loading()) WatchInstall();
}

void TCustomInstallRegistry::WatchInstall() {
  TCustomInstall* install = key_specifier_type_ == ksAbsolute ? nullptr : GlobalInstall();
  if (install == install_) return;
  if (install_ != nullptr) install_->RemoveFreeNotification(this);
  install_ = install;
  if (install_ != nullptr) install_->FreeNotification(this);
}

void TCustomInstallRegistry::WatchSpecifier(TCustomPathSpecifier* specifier) {
  specifier->FreeNotification(this);
}

void TCustomInstallRegistry::Loaded() {
  TInstallObject::Loaded();
  WatchInstall();
}

void TCustomInstallRegistry::Notification(host::TComponent* component, host::TOperation operation) {
  TInstallObject::Notification(component, operation);
  if (operation != host::opRemove) return;
  // Compare addresses only: the component is half destroyed.
  if (install_ != nullptr && static_cast<host::TComponent*>(install_) == component) {
    install_ = nullptr;
    key_specifier_type_ = ksAbsolute;
  }
  for (int i = 0; i < entries_.Count(); ++i) {
    TRegistryEntry* e = entries_.Items(i);
    if (e->path_specifier_ != nullptr && static_cast<host::TComponent*>(e->path_specifier_) == component)
      e->path_specifier_ = nullptr;
  }
}

void TCustomInstallRegistry::ProcessChildren() {
  try {
    WriteEntries();
  } catch (const os::EDamagedFile& e) {
    throw IEInstallRegistry(host::Format("%s cannot create the key %s in the registry",
                                         {Name(), GetKeyPath()}) + DamageNote(e));
  }
  TInstallObject::ProcessChildren();
}

void TCustomInstallRegistry::WriteEntries() {
  TorlnRegistry reg;
  bool opened = false;
  for (int i = 0; i < entries_.Count(); ++i) {
    TRegistryEntry* entry = entries_.Items(i);
    bool write = true;
    OnBeforeWriteEntry(this, entry, write);
    if (!write) continue;
    if (!opened) {
      const std::string key = GetKeyPath();
      os::HKEY root{};
      if (!RootKeyOfCode(root_key_, root))
        throw IEInstallRegistry("%s cannot create the key %s in the registry", {Name(), key});
      reg.SetRootKey(root);
      if (!reg.OpenKeyFullAccess(key, true))
        throw IEInstallRegistry("%s cannot create the key %s in the registry", {Name(), key});
      opened = true;
    }
    switch (entry->EntryType()) {
      case retText:
        reg.WriteString(entry->Ident(), entry->ExpandedText());
        break;
      case retInteger:
        reg.WriteInteger(entry->Ident(), entry->Integer());
        break;
      case retBoolean:
        reg.WriteBool(entry->Ident(), entry->Boolean());
        break;
    }
  }
}

void TCustomInstallRegistry::WriteUninstallData(const std::string& keyPath) {
  const std::string keys = keyPath + "\\RegistryKeys";
  const std::string n = std::to_string(
      NextUninstallNumber(keys, [&keys](TorlnRegistry& reg, int64_t i) {
        return reg.KeyExists(keys + "\\RegistryKey" + std::to_string(i));
      }));
  RegWriteString(hkLocalMachine, keys, "Entries", n);
  const std::string item = keys + "\\RegistryKey" + n;
  RegWriteString(hkLocalMachine, item, "Key", GetKeyPath());
  RegWriteInteger(hkLocalMachine, item, "Root", root_key_);
  for (int i = 0; i < entries_.Count(); ++i) {
    const TRegistryEntry* entry = entries_.Items(i);
    RegWriteString(hkLocalMachine, item + "\\Entries", entry->Ident(), entry->ExpandedText());
  }
}

const host::TPropertyTable& TCustomInstallRegistry::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCustomInstallRegistry>(
      "TCustomInstallRegistry", &TInstallObject::ClassProperties(),
      [](host::TPublisher<TCustomInstallRegistry>&) {});
  return table;
}

const host::TPropertyTable& TInstallRegistry::ClassProperties() {
  using T = TInstallRegistry;
  static const host::TPropertyTable table = host::PublishClass<T>(
      "TInstallRegistry", &TCustomInstallRegistry::ClassProperties(), [](host::TPublisher<T>& p) {
        PublishContainer(p);
        p.Collection("Entries", [](T& r) -> TRegistryEntries& { return r.Entries(); });
        PublishInstallTypes(p, ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact));
        p.String("Key", &T::Key, &T::SetKey).DefaultString("\\SOFTWARE\\MyStuff");
        p.Enumeration("KeySpecifierType", KeySpecifierTypeInfo(), &T::KeySpecifierType,
                      &T::SetKeySpecifierType)
            .Default(ksAbsolute);
        p.Enumeration("RootKey", RootKeysInfo(), &T::RootKey, &T::SetRootKey)
            .Default(hkLocalMachine);
        PublishUninstall(p);
        PublishProcessEvents(p);
        p.Event("OnBeforeWriteEntry", &T::OnBeforeWriteEntry);
      });
  return table;
}

}  // namespace orln

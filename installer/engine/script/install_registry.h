// Registry items of an install script: TInstallRegistry writes its entries
// (text, integer and Boolean values) under one key in the run's registry
// pass (kind 8500), or when it hears imInstallRegistry, and records what it
// wrote below the product's Uninstall key. The key is absolute or made from
// the install's company, product and version. A text entry may name a path
// specifier: "%p" in its text becomes the specifier's path for the item.
//
// Callers must keep:
//  - Entries belong to their registry item; an entry's path specifier is
//    borrowed and dropped when the specifier goes (the entry keeps its type).
//  - Every registry item is on InstallRegistryList() while it exists.
#pragma once

#include <cstdint>
#include <string>

#include "host/rtl/collection.h"
#include "host/rtl/event.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install_object.h"

namespace orln {

class TCustomInstall;
class TCustomInstallRegistry;

enum TRegistryEntryType { retText = 0, retInteger = 1, retBoolean = 2 };
enum TKeySpecifierType { ksAbsolute = 0, ksCompanyName = 1, ksProductName = 2, ksVersion = 3 };

class TRegistryEntry : public host::TCollectionItem {
 public:
  explicit TRegistryEntry(host::TCollection* collection = nullptr);

  // The registry item the entry belongs to.
  TCustomInstallRegistry* Registry() const { return registry_; }

  const std::string& Ident() const { return ident_; }
  void SetIdent(const std::string& v) { ident_ = v; }
  TRegistryEntryType EntryType() const { return entry_type_; }
  void SetEntryType(TRegistryEntryType v) { entry_type_ = v; }
  // Setting a value (outside loading) makes it the entry's type.
  const std::string& Text() const { return text_; }
  void SetText(const std::string& v);
  int32_t Integer() const { return integer_; }
  void SetInteger(int32_t v);
  bool Boolean() const { return boolean_; }
  void SetBoolean(bool v);
  TCustomPathSpecifier* PathSpecifier() const { return path_specifier_; }
  // Outside loading the specifier first validates the registry item, then
  // the entry becomes the text "%p".
  void SetPathSpecifier(TCustomPathSpecifier* v);

  // Text with "%p" expanded through the path specifier, when one is set.
  std::string ExpandedText() const;

  void Assign(const host::TPersistent& source) override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  friend class TRegistryEntries;
  friend class TCustomInstallRegistry;
  bool Loading() const;

  TCustomInstallRegistry* registry_ = nullptr;  // borrowed
  std::string ident_;
  TRegistryEntryType entry_type_ = retText;
  std::string text_;
  int32_t integer_ = 0;
  bool boolean_ = false;
  TCustomPathSpecifier* path_specifier_ = nullptr;  // borrowed
};

class TRegistryEntries : public host::TTypedCollection<TRegistryEntry> {
 public:
  // Raises IERegistryEntries without a registry item.
  explicit TRegistryEntries(TCustomInstallRegistry* registry);
  TCustomInstallRegistry* Registry() const { return registry_; }

 protected:
  host::TCollectionItem* NewItem() override;

 private:
  TCustomInstallRegistry* registry_;
};

using TBeforeWriteEntryEvent = host::TEvent<void(host::TObject* Sender, TRegistryEntry* Entry, bool& Write)>;

class TCustomInstallRegistry : public TInstallObject {
 public:
  explicit TCustomInstallRegistry(host::TComponent* owner);
  ~TCustomInstallRegistry() override;

  int GetKind() const override { return 8500; }
  // imInstallRegistry runs Process.
  void HandleMessage(host::TObject* sender, int code, host::TObject* parameter) override;
  // Writes the entries, then the inherited step. A damaged registry store
  // raises IEInstallRegistry naming the store's file and line.
  void ProcessChildren() override;
  // Counts this item into "RegistryKeys" below keyPath and records its key,
  // root and entries there (HKEY_LOCAL_MACHINE).
  void WriteUninstallData(const std::string& keyPath) override;
  // The key the entries go to; IEInstallRegistry without an install when
  // the key is made from the install's information.
  virtual std::string GetKeyPath() const;

  TRegistryEntries& Entries() { return entries_; }
  const TRegistryEntries& Entries() const { return entries_; }
  void SetEntries(const TRegistryEntries& v) { entries_.Assign(v); }
  const std::string& Key() const { return key_; }
  // Stores an empty key unless the specifier type is ksAbsolute.
  void SetKey(const std::string& v);
  TKeySpecifierType KeySpecifierType() const { return key_specifier_type_; }
  // A type other than ksAbsolute clears Key and sets RootKey to
  // HKEY_LOCAL_MACHINE, and (outside loading) needs an install.
  void SetKeySpecifierType(TKeySpecifierType v);
  TRootKeys RootKey() const { return root_key_; }
  void SetRootKey(TRootKeys v) { root_key_ = v; }

  TBeforeWriteEntryEvent OnBeforeWriteEntry;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;

 private:
  friend class TRegistryEntry;
  void WriteEntries();
  // Hears of the specifier's going, for the entries that name it.
  void WatchSpecifier(TCustomPathSpecifier* specifier);
  // Hears of the install's going, to fall back to ksAbsolute.
  void WatchInstall();

  TRegistryEntries entries_{this};
  std::string key_ = "\\SOFTWARE\\MyStuff";
  TKeySpecifierType key_specifier_type_ = ksAbsolute;
  TRootKeys root_key_ = hkLocalMachine;
  TCustomInstall* install_ = nullptr;  // borrowed; watched while the key comes from it
};

class TInstallRegistry : public TCustomInstallRegistry {
 public:
  using TCustomInstallRegistry::TCustomInstallRegistry;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

using TInstallRegistryList = TInstallObjectList<TCustomInstallRegistry, IEInstallRegistryList>;
// Every registry item of the program, in construction order.
TInstallRegistryList& InstallRegistryList();

}  // namespace orln

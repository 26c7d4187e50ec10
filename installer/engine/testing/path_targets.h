// Stand-ins for the install objects that path specifiers serve: components
// that show a TPathTarget (and, for the install, a TPathInstall) with the
// answers a test sets, so that specifiers are tested without the object
// model. TTargetForm is a root that form texts can be read into.
#pragma once

#include <string>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/paths/install_paths.h"

namespace orln::test {

class TFakeTarget : public host::TComponent, public TPathTarget {
 public:
  TFakeTarget(host::TComponent* owner, TPathTargetKind kind, const std::string& name)
      : TComponent(owner), Kind(kind) {
    SetName(name);
  }

  TPathTargetKind PathTargetKind() const override { return Kind; }
  std::string GetDestPath() override { return DestPath; }
  host::TComponent* PathContainer() const override { return Container; }
  std::string GetArchivePath() override { return ArchivePath; }
  std::string PathDescription() const override { return Description; }

  TPathTargetKind Kind;
  host::TComponent* Container = nullptr;
  std::string DestPath;
  std::string ArchivePath;
  std::string Description;
};

// A file container that makes its own TpsFileContainer and gives it up for
// one read from a form, as the object model's containers do.
class TFakeFileContainer : public TFakeTarget {
 public:
  explicit TFakeFileContainer(host::TComponent* owner)
      : TFakeTarget(owner, ptkFileContainer, std::string()) {
    Specifier = TpsFileContainer::CreateFor(owner, this);
    Specifier->FreeNotification(this);
    Description = "Fake directory";
    DestPath = "C:\\Fake";
  }
  ~TFakeFileContainer() override { delete Specifier; }

  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TFakeFileContainer>(
        "TFakeFileContainer", &TComponent::ClassProperties(), [](auto&) {});
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  void UsePathSpecifier(TpsFileContainer& specifier) override {
    if (Specifier == &specifier) return;
    delete Specifier;
    Specifier = &specifier;
    Specifier->FreeNotification(this);
    ++Adopted;
  }

  TpsFileContainer* Specifier = nullptr;
  int Adopted = 0;

 protected:
  void Notification(host::TComponent* component, host::TOperation operation) override {
    TFakeTarget::Notification(component, operation);
    if (operation == host::opRemove && component == Specifier) Specifier = nullptr;
  }
};

// The install component: registered as the program's install while it lives.
class TFakeInstall : public TFakeTarget, public TPathInstall {
 public:
  explicit TFakeInstall(host::TComponent* owner) : TFakeTarget(owner, ptkInstall, "Install1") {
    InstallGlobals().Install = this;
    Description = "Main";
  }
  ~TFakeInstall() override {
    if (InstallGlobals().Install == this) InstallGlobals().Install = nullptr;
  }

  std::string SourceDirectory() const override { return Source; }
  bool SelfExtractorOption(std::string& value) const override {
    value = SelfExtractor;
    return HasSelfExtractor;
  }

  std::string Source = "A:";
  bool HasSelfExtractor = false;
  std::string SelfExtractor;
};

// A root for form texts.
class TTargetForm : public host::TComponent {
 public:
  using TComponent::TComponent;
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTargetForm>(
        "TTargetForm", &TComponent::ClassProperties(), [](auto&) {});
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

}  // namespace orln::test

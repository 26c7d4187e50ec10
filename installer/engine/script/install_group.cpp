#include "installer/engine/script/install_group.h"

#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/install.h"

namespace orln {

TInstallGroupDialogOptions::TInstallGroupDialogOptions()
    : description_(std::make_unique<host::TStringList>()),
      small_icon_(std::make_unique<host::TIcon>()) {}

TInstallGroupDialogOptions::~TInstallGroupDialogOptions() = default;

void TInstallGroupDialogOptions::Assign(const host::TPersistent& source) {
  const auto* other = dynamic_cast<const TInstallGroupDialogOptions*>(&source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  allow_change_dir_ = other->allow_change_dir_;
  allow_exclude_include_ = other->allow_exclude_include_;
  description_->Assign(*other->description_);
  display_directory_ = other->display_directory_;
  small_icon_->Assign(*other->small_icon_);
  show_regardless_of_include_ = other->show_regardless_of_include_;
}

const host::TPropertyTable& TInstallGroupDialogOptions::ClassProperties() {
  using T = TInstallGroupDialogOptions;
  static const host::TPropertyTable table = host::PublishClass<T>(
      "TInstallGroupDialogOptions", nullptr, [](host::TPublisher<T>& p) {
        p.Boolean("AllowChangeDir", &T::AllowChangeDir, &T::SetAllowChangeDir).Default(1);
        p.Boolean("AllowExcludeInclude", &T::AllowExcludeInclude, &T::SetAllowExcludeInclude)
            .Default(1);
        p.Strings("Description", [](T& o) -> host::TStrings& { return o.Description(); });
        p.Boolean("DisplayDirectory", &T::DisplayDirectory, &T::SetDisplayDirectory).Default(1);
        p.Object("SmallIcon", [](T& o) -> host::TIcon& { return o.SmallIcon(); });
        p.Boolean("ShowRegardlessOfInclude", &T::ShowRegardlessOfInclude,
                  &T::SetShowRegardlessOfInclude)
            .Default(1);
      });
  return table;
}

void TCustomInstallGroup::SetContainer(TInstallContainer* value) {
  if (value == nullptr) value = GlobalInstall();
  if (value != nullptr && dynamic_cast<TCustomInstall*>(value) == nullptr &&
      dynamic_cast<TCustomInstallGroup*>(value) == nullptr)
    throw IEInstallGroup(
        "A TInstallGroup component can only be contained by a TInstall, or another TInstallGroup "
        "component");
  TFileContainer::SetContainer(value);
}

const host::TPropertyTable& TCustomInstallGroup::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCustomInstallGroup>(
      "TCustomInstallGroup", &TFileContainer::ClassProperties(),
      [](host::TPublisher<TCustomInstallGroup>&) {});
  return table;
}

const host::TPropertyTable& TInstallGroup::ClassProperties() {
  using T = TInstallGroup;
  static const host::TPropertyTable table =
      host::PublishClass<T>("TInstallGroup", &TCustomInstallGroup::ClassProperties(),
                            [](host::TPublisher<T>& p) {
                              PublishContainer(p);
                              p.String("Description", &T::Description, &T::SetDescription)
                                  .DefaultString("");
                              PublishDestination(p);
                              p.Object("DialogOptions", [](T& g) -> TInstallGroupDialogOptions& {
                                return g.DialogOptions();
                              });
                              PublishInclude(p);
                              PublishInstallTypes(p, ItBit(itFull) | ItBit(itDefault) |
                                                         ItBit(itCompact));
                              PublishOS(p);
                              PublishProcessEvents(p);
                            });
  return table;
}

}  // namespace orln

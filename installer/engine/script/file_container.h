// The file branch of the install script: TFileRelated ties an install object
// to an archive and a network source, TFileContainer holds files and
// sub-containers and is processed with its container. Here stands what the
// object model needs of them (the class tree, the container kind, the
// description and the passing on of information events); archives, building
// and installing come with the install files.
#pragma once

#include <string>

#include "installer/engine/script/install_object.h"

namespace orln {

class TFileRelated : public TInstallObject {
 public:
  using TInstallObject::TInstallObject;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TFileContainer : public TFileRelated {
 public:
  using TFileRelated::TFileRelated;

  int GetKind() const override { return 1000; }
  // True for containers, false for the install component.
  virtual bool IsFileContainer() const { return true; }
  // Handles the code (with the install files) and passes it on upward.
  void DoInformationEventControl(host::TObject* sender, int code,
                                 host::TObject* parameter) override;

  const std::string& Description() const { return description_; }
  void SetDescription(const std::string& v) { description_ = v; }

  TPathTargetKind PathTargetKind() const override { return ptkFileContainer; }
  std::string PathDescription() const override { return description_; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  std::string description_;
};

}  // namespace orln

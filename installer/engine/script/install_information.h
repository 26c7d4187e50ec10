// The product information records an install carries: who makes the
// product, what it is called and its version (also the registry path of
// registry items, registry.h); the registration names; and the texts and
// files shown in the control panel's list of installed programs.
#pragma once

#include <string>

#include "host/classes/prop_table.h"
#include "host/rtl/object.h"

namespace orln {

class TCustomInstallFile;

class TInstallInformation : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;

  const std::string& GetCompanyName() const { return CompanyName; }
  void SetCompanyName(const std::string& v) { CompanyName = v; }
  const std::string& GetProductName() const { return ProductName; }
  void SetProductName(const std::string& v) { ProductName = v; }
  const std::string& GetVersion() const { return Version; }
  void SetVersion(const std::string& v) { Version = v; }
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  std::string CompanyName = "My Company";
  std::string ProductName = "My product";
  std::string Version = "1.0";
};

class TRegistrationInformation : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;

  std::string RegCompany;
  std::string RegOwner;
};

class TControlPanelExtensionInformation : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;

  std::string Comments;
  std::string Contact;
  TCustomInstallFile* DisplayIcon = nullptr;  // borrowed; none by default
  std::string HelpLink;
  std::string HelpTelephone;
  std::string ProductID;
  TCustomInstallFile* ReadMe = nullptr;  // borrowed; none by default
  std::string URLInfoAbout;
  std::string URLUpdateInfo;
};

}  // namespace orln

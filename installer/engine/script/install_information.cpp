#include "installer/engine/script/install_information.h"

namespace orln {
namespace {

// Copies `source` into `target` when it is of the same class, else lets the
// base class refuse.
template <class T>
void AssignSame(T& target, const host::TPersistent& source) {
  const auto* other = dynamic_cast<const T*>(&source);
  if (other == nullptr) {
    target.host::TPersistent::Assign(source);
    return;
  }
  target = *other;
}

}  // namespace

void TInstallInformation::Assign(const host::TPersistent& source) {
  AssignSame(*this, source);
}

const host::TPropertyTable& TInstallInformation::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallInformation>(
      "TInstallInformation", nullptr, [](host::TPublisher<TInstallInformation>& p) {
        p.String("CompanyName", &TInstallInformation::GetCompanyName,
                 &TInstallInformation::SetCompanyName)
            .DefaultString("My Company");
        p.String("ProductName", &TInstallInformation::GetProductName,
                 &TInstallInformation::SetProductName)
            .DefaultString("My product");
        p.String("Version", &TInstallInformation::GetVersion, &TInstallInformation::SetVersion)
            .DefaultString("1.0");
      });
  return table;
}

void TRegistrationInformation::Assign(const host::TPersistent& source) {
  AssignSame(*this, source);
}

void TControlPanelExtensionInformation::Assign(const host::TPersistent& source) {
  AssignSame(*this, source);
}

}  // namespace orln

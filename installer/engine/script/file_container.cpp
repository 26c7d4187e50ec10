#include "installer/engine/script/file_container.h"


namespace orln {

void TFileContainer::DoInformationEventControl(host::TObject* sender, int code,
                                               host::TObject* parameter) {
  if (Container() != nullptr) Container()->DoInformationEventControl(sender, code, parameter);
}

const host::TPropertyTable& TFileRelated::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TFileRelated>(
      "TFileRelated", &TInstallObject::ClassProperties(), [](host::TPublisher<TFileRelated>&) {});
  return table;
}

const host::TPropertyTable& TFileContainer::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TFileContainer>(
      "TFileContainer", &TFileRelated::ClassProperties(), [](host::TPublisher<TFileContainer>&) {});
  return table;
}

}  // namespace orln

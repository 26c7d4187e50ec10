#include "os/os.h"

namespace os {

int OsLayerVersion() {
  return kOsLayerVersion;
}

}  // namespace os

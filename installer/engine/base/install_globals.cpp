#include "installer/engine/base/install_globals.h"

namespace orln {

TInstallGlobals& InstallGlobals() {
  static TInstallGlobals globals;
  return globals;
}

}  // namespace orln

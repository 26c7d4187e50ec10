#include "installer/engine/path_specifier_seam.h"

namespace orln {

TCustomPathSpecifier* SharedContainerDestDir() { return nullptr; }

void EnsureStandardSpecifiersOn(host::TComponent*) {}

std::string ExpandPathSpecifier(std::string_view text, const std::string& path) {
  std::string out;
  bool placeholder = false;
  for (char c : text) {
    if (placeholder) {
      placeholder = false;
      if (c == 'p' || c == 'P') out += path;
      else out += c;
    } else if (c == '%') {
      placeholder = true;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace orln

#include "engine/storage/base/tav_resstrings.h"

namespace tav {

std::string LoadTavResString(int id) {
  for (const auto& r : C_TAVRESSTRINGS)
    if (r.Id == id) return r.Text;
  return std::string();
}

}  // namespace tav

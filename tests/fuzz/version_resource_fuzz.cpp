// Random bytes through the version-resource reader. Any input reads to some
// information or to none; nothing escapes, and what is read is bounded by the
// input (every table entry and translation came out of its bytes).
#include <cstdint>
#include <exception>
#include <string_view>

#include "fuzz_check.h"
#include "os/version_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  os::TVersionData d;
  try {
    d = os::ParseVersionResource(image);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "raised: %s\n", e.what());
    FUZZ_CHECK(!"the reader raised");
  }
  FUZZ_CHECK(d.Translations.size() * 4 <= size);
  size_t units = 0;
  for (const os::TVersionStringTable& t : d.Tables)
    for (const auto& [key, value] : t.Values) units += key.size() + value.size();
  FUZZ_CHECK(units * 2 <= size);
  if (d.HasFixed) FUZZ_CHECK(d.Fixed.Signature == os::VS_FFI_SIGNATURE);
  // The same bytes read the same way again.
  const os::TVersionData again = os::ParseVersionResource(image);
  FUZZ_CHECK(again.Tables.size() == d.Tables.size() &&
             again.Translations == d.Translations && again.HasFixed == d.HasFixed);
  return 0;
}

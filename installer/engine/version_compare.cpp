#include "installer/engine/version_compare.h"

#include <charconv>
#include <cstdint>

namespace orln {

namespace {

// An int32 in the form a version part takes ("12", "-3", "+4"); false for
// anything else, including a blank part and numbers past the int32 range.
bool PartAsInteger(std::string_view part, int32_t& value) {
  if (!part.empty() && part.front() == '+') part.remove_prefix(1);
  if (part.empty()) return false;
  const char* end = part.data() + part.size();
  auto [ptr, ec] = std::from_chars(part.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// The next '.'-separated part of `rest`; `rest` moves past it. `more` turns
// false once the last part has been taken.
std::string_view NextPart(std::string_view& rest, bool& more) {
  size_t dot = rest.find('.');
  std::string_view part = rest.substr(0, dot);
  if (dot == std::string_view::npos) {
    more = false;
    rest = {};
  } else {
    rest.remove_prefix(dot + 1);
  }
  return part;
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
  bool moreA = true;
  bool moreB = true;
  while (moreA && moreB) {
    std::string_view pa = NextPart(a, moreA);
    std::string_view pb = NextPart(b, moreB);
    int32_t na = 0;
    int32_t nb = 0;
    if (PartAsInteger(pa, na) && PartAsInteger(pb, nb)) {
      if (na != nb) return na > nb ? 1 : 2;
    } else if (pa != pb) {
      return pa < pb ? 2 : 1;
    }
  }
  if (moreA == moreB) return 0;
  return moreA ? 1 : 2;
}

}  // namespace orln

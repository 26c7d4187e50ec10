#include "installer/engine/versions/version_compare.h"

#include <gtest/gtest.h>

namespace orln {
namespace {

TEST(CompareVersionsTest, DecidesPartByPart) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"1.2", "1.2", 0},
      {"1.10", "1.2", 1},  // numeric parts: 10 beats 2
      {"1.2", "1.10", 2},
      {"2.0", "10.0", 2},
      {"1.2.1", "1.2", 1},  // more parts, equal in the common ones
      {"1.2", "1.2.0", 2},
      {"", "", 0},
      {"1", "", 1},       // a number against a blank part: text order
      {"1.b", "1.a", 1},  // text parts in byte order
      {"1.a", "1.b", 2},
      {"1.a", "1.10", 1},  // "a" is not a number: "10" < "a" as text
      {"1.-1", "1.0", 2},
      {"1.+2", "1.2", 0},
      {"1..2", "1..2", 0},
      // Numeric parts of any length compare by value, never by a conversion
      // that could overflow.
      {"3.99999999999", "3.5", 1},
      {"3.99999999999", "3.100000000000", 2},
      {"1.007", "1.7", 0},
      {"1.0010", "1.9", 1},
      {"1.00000000000000000000000000001", "1.2", 2},
      {"1.-0", "1.0", 0},
      {"1.-12345678901234567890", "1.-2", 2},
      {"1.-2", "1.1", 2},
      {"4.0.1381", "4.0.1381.0", 2},
      {"4.0a", "4.0", 1},  // text against a number: text order
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace orln

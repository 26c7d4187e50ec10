#include "host/rtl/exceptions.h"

#include <gtest/gtest.h>

namespace host {
namespace {

class TSample : public TObject {};

TEST(ObjectTest, ClassNameIsUnqualified) {
  TSample s;
  EXPECT_EQ(s.ClassName(), "TSample");
  EConvertError e("x");
  EXPECT_EQ(e.ClassName(), "EConvertError");
}

TEST(ObjectTest, AssertionRaisesWithUnit) {
  try {
    TAV_ASSERT(1 + 1 == 3, "arithmetic broke");
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Unit(), "object_test.cpp");
    EXPECT_NE(e.Message().find("arithmetic broke"), std::string::npos);
  }
}

}  // namespace
}  // namespace host

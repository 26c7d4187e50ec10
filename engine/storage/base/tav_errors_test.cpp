#include "engine/storage/base/tav_errors.h"

#include <gtest/gtest.h>

#include <set>

#include "engine/storage/base/tav_logger.h"
#include "host/classes/component.h"

namespace tav {
namespace {

class TavErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TavEngineStartup();
    GDBLogger()->Clear();
  }
  static std::string LastLogLine() {
    auto lines = GDBLogger()->LogItems();
    return lines.empty() ? std::string() : lines.back();
  }
  static ETavDatabaseError Raise(int code, const std::string& custom,
                                 const host::TObject* sender = nullptr) {
    try {
      TavDatabaseError(code, "TTest.Raise", custom, sender);
    } catch (const ETavDatabaseError& e) {
      return e;
    }
    ADD_FAILURE() << "TavDatabaseError returned";
    return ETavDatabaseError(0, "", "", nullptr);
  }
};

TEST_F(TavErrorsTest, TableShapeAndCodes) {
  EXPECT_EQ(C_TAVERRORS[0].Code, 65535);
  EXPECT_STREQ(C_TAVERRORS[0].Message, "Error code unknown");
  EXPECT_EQ(C_TAVERRORS[317].Code, 65535);
  EXPECT_EQ(C_TAVERRORS[316].Code, 9656);
  std::set<int> codes;
  for (int i = 1; i <= 316; ++i) codes.insert(C_TAVERRORS[i].Code);
  EXPECT_EQ(codes.size(), 316u);
  EXPECT_STREQ(FindTavErr(130).Message, "Alter table operation failed (exact cause unknown)");
  EXPECT_EQ(FindTavErr(10114).Code, 65535);
  EXPECT_STREQ(FindTavErr(9473).Message, "Not enough Memory for this op ");
  EXPECT_EQ(C_TAVRESSTRINGS_COUNT, 101);
  EXPECT_EQ(LoadTavResString(65535), "The encrpytion key is not valid or corrupted");
  EXPECT_EQ(LoadTavResString(65424), "Parameter not found");
  EXPECT_EQ(LoadTavResString(1), "");
}

TEST_F(TavErrorsTest, KnownCodeWithCustomMessageAndNamedSender) {
  host::TComponent owner(nullptr);
  owner.SetName("Customers");
  ETavDatabaseError e = Raise(8451, "page 7", &owner);
  EXPECT_EQ(e.Message(),
            "The Tavrin database engine raised an error\r\n Data structure corruption (error code "
            "#8451) - page 7");
  EXPECT_EQ(e.ErrorCode(), 8451);
  EXPECT_EQ(e.TableMessage(), "Data structure corruption");
  EXPECT_EQ(e.Sender(), &owner);
  std::string line = LastLogLine();
  EXPECT_NE(line.find(";                    TTest.Raise : Exception:  Caller            Customers "
                      "ErrCode  8451 [ErrContext Data structure corruption]. CustomMsg page 7"),
            std::string::npos)
      << line;
}

TEST_F(TavErrorsTest, UnknownCodeKeepsItsNumberButLogs65535) {
  ETavDatabaseError e = Raise(1, "");
  EXPECT_EQ(e.Message(),
            "The Tavrin database engine raised an error\r\n (error code #1). Error code unknown");
  EXPECT_EQ(e.ErrorCode(), 1);
  EXPECT_NE(LastLogLine().find("ErrCode 65535 [ErrContext Error code unknown]"), std::string::npos);
}

TEST_F(TavErrorsTest, TrailingBlanksAndEmptyMessagesSurvive) {
  EXPECT_EQ(Raise(9729, "").Message(),
            "The Tavrin database engine raised an error\r\n (error code #9729). Key violation ");
  EXPECT_NE(Raise(9729, "dup").Message().find("Key violation  (error code #9729) - dup"),
            std::string::npos);
  EXPECT_EQ(Raise(10241, "").Message(),
            "The Tavrin database engine raised an error\r\n (error code #10241). ");
}

TEST_F(TavErrorsTest, ContextFallsBackToClassName) {
  host::TComponent unnamed(nullptr);
  Raise(8449, "", &unnamed);
  EXPECT_NE(LastLogLine().find("Caller           TComponent "), std::string::npos);
  host::TPersistent plain;
  Raise(8449, "", &plain);
  EXPECT_NE(LastLogLine().find("Caller          TPersistent "), std::string::npos);
  Raise(8449, "");
  EXPECT_NE(LastLogLine().find("Caller                      ErrCode"), std::string::npos);
}

TEST_F(TavErrorsTest, FmtFormatsTheCustomMessage) {
  try {
    TavDatabaseErrorFmt(9606, "TTest.Fmt", "%s has %d", {"Name", 300});
    FAIL();
  } catch (const ETavDatabaseError& e) {
    EXPECT_NE(e.Message().find("The field length is invalid (error code #9606) - Name has 300"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace tav

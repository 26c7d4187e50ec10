#include "host/rtl/format_settings.h"

#include <gtest/gtest.h>

#include "host/rtl/date_time.h"

namespace host {
namespace {

TEST(FormatSettingsTest, EnglishUnitedStatesUntilOverridden) {
  const TFormatSettings& d = CurrentFormatSettings();
  EXPECT_EQ(d.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(d.TimeAMString, "AM");
  EXPECT_EQ(d.TimePMString, "PM");
  EXPECT_EQ(d.LongDayNames[0], "Sunday");
  EXPECT_EQ(d.LongMonthNames[11], "December");
  EXPECT_EQ(d.TwoDigitYearCenturyWindow, 50);

  TFormatSettings british;
  british.ShortDateFormat = "dd/mm/yyyy";
  british.TwoDigitYearCenturyWindow = 0;
  {
    TScopedFormatSettings outer(british);
    EXPECT_EQ(&CurrentFormatSettings(), &british);
    TFormatSettings german = british;
    german.LongMonthNames[2] = "M\xE4rz";
    {
      TScopedFormatSettings inner(german);
      EXPECT_EQ(CurrentFormatSettings().LongMonthNames[2], "M\xE4rz");
    }
    EXPECT_EQ(&CurrentFormatSettings(), &british);
    // The host's own date text does not follow the installed settings.
    EXPECT_EQ(DateToStr(EncodeDate(2004, 1, 31)), "2004-01-31");
    EXPECT_EQ(StrToDate("2004-01-31"), EncodeDate(2004, 1, 31));
  }
  EXPECT_EQ(CurrentFormatSettings().ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(SetFormatSettings(nullptr), nullptr);
}

}  // namespace
}  // namespace host

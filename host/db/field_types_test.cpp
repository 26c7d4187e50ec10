#include "host/db/field_types.h"

#include <gtest/gtest.h>

#include <limits>

#include "host/db/enum_set.h"
#include "host/db/time_stamp.h"
#include "host/rtl/exceptions.h"

namespace host {
namespace {

TEST(FieldTypesTest, OrdinalsAndNamesAreTheStoredOnes) {
  EXPECT_EQ(static_cast<int>(ftString), 1);
  EXPECT_EQ(static_cast<int>(ftAutoInc), 14);
  EXPECT_EQ(static_cast<int>(ftWideString), 24);
  EXPECT_EQ(static_cast<int>(ftFMTBcd), 37);
  EXPECT_EQ(FieldTypeName(ftBCD), "BCD");
  EXPECT_EQ(FieldTypeName(ftFloat), "Float");
  EXPECT_EQ(FieldTypeName(ftSmallint), "SmallInt");
  EXPECT_EQ(FieldTypeName(ftWideString), "WideString");
  EXPECT_EQ(FieldTypeName(ftDBaseOle), "dBaseOle");
  EXPECT_EQ(FieldTypeName(ftLargeint), "Largeint");
  EXPECT_EQ(FieldTypeToIdent(ftBCD), "ftBCD");
  EXPECT_EQ(FieldTypeToIdent(ftSmallint), "ftSmallint");
  // An ordinal that came from a damaged file never indexes past the tables.
  EXPECT_FALSE(IsValidFieldType(38));
  EXPECT_FALSE(IsValidFieldType(-1));
  EXPECT_EQ(FieldTypeName(static_cast<TFieldType>(200)), "Unknown");
}

TEST(FieldTypesTest, IdentifiersReadBack) {
  for (int i = 0; i < FieldTypeCount; ++i) {
    auto type = static_cast<TFieldType>(i);
    TFieldType back = ftUnknown;
    ASSERT_TRUE(IdentToFieldType(FieldTypeToIdent(type), back)) << i;
    EXPECT_EQ(back, type);
  }
  TFieldType t = ftUnknown;
  EXPECT_TRUE(IdentToFieldType("FTWIDESTRING", t));
  EXPECT_EQ(t, ftWideString);
  EXPECT_FALSE(IdentToFieldType("WideString", t));
  EXPECT_FALSE(IdentToFieldType("ftWideStrin", t));
}

enum TColour { clRed, clGreen, clBlue };

TEST(EnumSetTest, SetOperationsAndBitImage) {
  TEnumSet<TColour> s{clRed, clBlue};
  EXPECT_EQ(s.Bits(), 0b101u);
  EXPECT_TRUE(s.Contains(clBlue));
  EXPECT_FALSE(s.Contains(clGreen));
  EXPECT_EQ(s + TEnumSet<TColour>{clGreen}, TEnumSet<TColour>::FromBits(0b111));
  EXPECT_EQ(s - TEnumSet<TColour>{clRed}, TEnumSet<TColour>{clBlue});
  EXPECT_TRUE((s * TEnumSet<TColour>{clGreen}).Empty());
  s.Exclude(clRed);
  s.Include(clGreen);
  EXPECT_EQ(s, (TEnumSet<TColour>{clGreen, clBlue}));
}

TEST(TimeStampTest, MillisecondsOfARecordBuffer) {
  // 1899-12-30 00:00:01, as a date-time field's buffer holds it.
  int64_t ms = TimeStampToMSecs(DateTimeToTimeStamp(1.0 / 86400));
  EXPECT_EQ(ms, 693594LL * 86400000 + 1000);
  TTimeStamp back = MSecsToTimeStamp(ms);
  EXPECT_EQ(back.Date, 693594);
  EXPECT_EQ(back.Time, 1000);
  EXPECT_EQ(TimeStampToDateTime(back), 1.0 / 86400);
  EXPECT_THROW(MSecsToTimeStamp(INT64_MAX), EConvertError);
}

}  // namespace
}  // namespace host

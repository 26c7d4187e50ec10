#include "host/db/fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "host/db/testing/array_dataset.h"
#include "host/db/time_stamp.h"

namespace host {
namespace {

using testing::TArrayDataSet;

// One field of each kind, default fields made at open.
class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& d = ds.FieldDefs();
    d.Add("S", ftString, 5);
    d.Add("W", ftWideString, 4);
    d.Add("SI", ftSmallint);
    d.Add("I", ftInteger);
    d.Add("WO", ftWord);
    d.Add("AI", ftAutoInc);
    d.Add("LI", ftLargeint);
    d.Add("B", ftBoolean);
    d.Add("F", ftFloat);
    d.Add("C", ftCurrency);
    d.Add("BCD", ftBCD);
    d.Add("D", ftDate);
    d.Add("T", ftTime);
    d.Add("DT", ftDateTime);
    d.Add("BY", ftBytes, 3);
    d.Add("VB", ftVarBytes, 3);
    d.Add("BL", ftBlob);
    d.Add("M", ftMemo);
    ds.Open();
    ds.Append();
  }
  TField* F(const char* name) { return ds.FieldByName(name); }
  template <class T>
  T Raw(const char* name) {
    T v{};
    EXPECT_TRUE(F(name)->GetData(&v));
    return v;
  }
  TArrayDataSet ds;
};

TEST_F(FieldsTest, DefaultFieldsHaveTheClassesOfTheirTypes) {
  EXPECT_EQ(ds.FieldCount(), 18);
  EXPECT_TRUE(dynamic_cast<TStringField*>(F("S")));
  EXPECT_TRUE(dynamic_cast<TWideStringField*>(F("W")));
  EXPECT_TRUE(dynamic_cast<TSmallintField*>(F("SI")));
  EXPECT_TRUE(dynamic_cast<TWordField*>(F("WO")));
  EXPECT_TRUE(dynamic_cast<TAutoIncField*>(F("AI")));
  EXPECT_TRUE(dynamic_cast<TCurrencyField*>(F("C")));
  EXPECT_TRUE(dynamic_cast<TBCDField*>(F("BCD")));
  EXPECT_TRUE(dynamic_cast<TDateField*>(F("D")));
  EXPECT_TRUE(dynamic_cast<TTimeField*>(F("T")));
  EXPECT_TRUE(dynamic_cast<TVarBytesField*>(F("VB")));
  EXPECT_TRUE(dynamic_cast<TMemoField*>(F("M")));
  EXPECT_EQ(F("S")->FieldNo(), 1);
  EXPECT_EQ(F("M")->FieldNo(), 18);
  EXPECT_EQ(NewFieldOfType(ftADT, nullptr), nullptr);
}

TEST_F(FieldsTest, EveryTypeStartsNullAndClears) {
  for (int i = 0; i < ds.FieldCount(); ++i) {
    TField* f = ds.Fields(i);
    SCOPED_TRACE(f->FieldName());
    EXPECT_TRUE(f->IsNull());
    EXPECT_TRUE(f->Value().IsNull());
    EXPECT_EQ(f->AsString(), "");
  }
  F("I")->SetAsInteger(5);
  F("BL")->SetAsString("x");
  EXPECT_FALSE(F("I")->IsNull());
  EXPECT_FALSE(F("BL")->IsNull());
  F("I")->Clear();
  F("BL")->Clear();
  EXPECT_TRUE(F("I")->IsNull());
  EXPECT_TRUE(F("BL")->IsNull());
  F("I")->SetValue(Null());
  EXPECT_TRUE(F("I")->IsNull());
}

TEST_F(FieldsTest, BufferFormatsRoundTrip) {
  F("S")->SetAsString("abc");
  char s[6] = {};
  ASSERT_TRUE(F("S")->GetData(s));
  EXPECT_STREQ(s, "abc");
  static_cast<TWideStringField*>(F("W"))->SetAsWideString(u"\u20ACab");
  char16_t w[5] = {};
  ASSERT_TRUE(F("W")->GetData(w));
  EXPECT_EQ(std::u16string(w), u"\u20ACab");
  EXPECT_EQ(F("W")->DataSize(), 10);
  F("SI")->SetAsInteger(-2);
  EXPECT_EQ(Raw<int16_t>("SI"), -2);
  F("WO")->SetAsInteger(65535);
  EXPECT_EQ(Raw<uint16_t>("WO"), 65535);
  F("I")->SetAsInteger(-70000);
  EXPECT_EQ(Raw<int32_t>("I"), -70000);
  F("LI")->SetAsLargeInt(int64_t{1} << 40);
  EXPECT_EQ(Raw<int64_t>("LI"), int64_t{1} << 40);
  F("B")->SetAsBoolean(true);
  EXPECT_NE(Raw<int16_t>("B"), 0);
  EXPECT_EQ(F("B")->AsString(), "True");
  F("F")->SetAsFloat(2.5);
  EXPECT_EQ(Raw<double>("F"), 2.5);
  F("C")->SetAsFloat(1.25);
  EXPECT_EQ(Raw<double>("C"), 1.25);
  EXPECT_EQ(F("C")->Value().VType(), varCurrency);
  F("BCD")->SetAsCurrency(123456);  // 12.3456
  EXPECT_EQ(Raw<int64_t>("BCD"), 123456);
  EXPECT_DOUBLE_EQ(F("BCD")->AsFloat(), 12.3456);

  TDateTime when = EncodeDate(2024, 2, 29) + EncodeTime(13, 14, 15, 16);
  F("D")->SetAsDateTime(when);
  F("T")->SetAsDateTime(when);
  F("DT")->SetAsDateTime(when);
  TTimeStamp ts = DateTimeToTimeStamp(when);
  EXPECT_EQ(Raw<int32_t>("D"), ts.Date);
  EXPECT_EQ(Raw<int32_t>("T"), ts.Time);
  EXPECT_EQ(Raw<double>("DT"), static_cast<double>(TimeStampToMSecs(ts)));
  EXPECT_EQ(F("D")->AsString(), "2024-02-29");
  EXPECT_EQ(F("T")->AsString(), "13:14:15");
  EXPECT_EQ(F("DT")->AsDateTime(), when);

  F("BY")->SetAsString(std::string("\x01\x00\x02", 3));
  EXPECT_EQ(F("BY")->Value().AsString(), std::string("\x01\x00\x02", 3));
  F("VB")->SetAsString("ab");
  uint8_t vb[5] = {};
  ASSERT_TRUE(F("VB")->GetData(vb));
  EXPECT_EQ(vb[0], 2);
  EXPECT_EQ(vb[1], 0);
  EXPECT_EQ(F("VB")->Value().AsString(), "ab");

  // Everything survives the post and a fresh read.
  ds.Post();
  ds.First();
  EXPECT_EQ(F("S")->AsString(), "abc");
  EXPECT_EQ(F("W")->Value().AsWideString(), u"\u20ACab");
  EXPECT_EQ(F("SI")->AsInteger(), -2);
  EXPECT_EQ(F("LI")->AsLargeInt(), int64_t{1} << 40);
  EXPECT_EQ(F("DT")->AsDateTime(), when);
  EXPECT_EQ(F("VB")->AsString(), "ab");
}

// An integer of each width reads as a float and a large integer with the
// sign its width gives it; a null reads as 0, as its value would.
TEST_F(FieldsTest, IntegersReadAsOtherNumbersByTheirWidth) {
  for (const char* name : {"SI", "WO", "I"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(F(name)->AsFloat(), 0.0);
    EXPECT_EQ(F(name)->AsLargeInt(), 0);
  }
  F("SI")->SetAsInteger(-32768);
  F("WO")->SetAsInteger(65535);
  F("I")->SetAsInteger(-2147483647 - 1);
  EXPECT_EQ(F("SI")->AsFloat(), -32768.0);
  EXPECT_EQ(F("SI")->AsLargeInt(), -32768);
  EXPECT_EQ(F("WO")->AsFloat(), 65535.0);
  EXPECT_EQ(F("WO")->AsLargeInt(), 65535);
  EXPECT_EQ(F("I")->AsFloat(), -2147483648.0);
  EXPECT_EQ(F("I")->AsLargeInt(), -2147483648LL);
  for (const char* name : {"SI", "WO", "I"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(F(name)->AsFloat(), F(name)->Value().AsDouble());
    EXPECT_EQ(F(name)->AsLargeInt(), F(name)->Value().AsInt64());
  }
}

TEST_F(FieldsTest, SizeAndRangeLimits) {
  F("S")->SetAsString("abcdefgh");
  EXPECT_EQ(F("S")->AsString(), "abcde");
  static_cast<TWideStringField*>(F("W"))->SetAsWideString(u"abcdefgh");
  EXPECT_EQ(F("W")->Value().AsWideString(), u"abcd");
  F("VB")->SetAsString("abcdef");
  EXPECT_EQ(F("VB")->AsString(), "abc");
  struct Case {
    const char* field;
    int64_t value;
    bool ok;
  };
  for (Case c : {Case{"SI", 32767, true}, Case{"SI", 32768, false}, Case{"SI", -32769, false},
                 Case{"WO", 0, true}, Case{"WO", -1, false}, Case{"WO", 65536, false},
                 Case{"I", 2147483647, true}, Case{"I", 2147483648LL, false}}) {
    SCOPED_TRACE(std::string(c.field) + " " + std::to_string(c.value));
    if (c.ok) {
      F(c.field)->SetAsLargeInt(c.value);
      EXPECT_EQ(F(c.field)->AsLargeInt(), c.value);
    } else {
      EXPECT_THROW(F(c.field)->SetAsLargeInt(c.value), EDatabaseError);
    }
  }
  try {
    F("SI")->SetAsInteger(40000);
  } catch (EDatabaseError& e) {
    EXPECT_EQ(e.Message(),
              "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767");
  }
  EXPECT_THROW(F("F")->SetAsFloat(std::numeric_limits<double>::infinity()), EDatabaseError);
  EXPECT_THROW(F("B")->SetAsString("maybe"), EDatabaseError);
  F("B")->SetAsString("false");
  EXPECT_FALSE(F("B")->AsBoolean());
  EXPECT_FALSE(F("B")->IsNull());
}

TEST_F(FieldsTest, BlobsGoThroughStreams) {
  auto* bl = static_cast<TBlobField*>(F("BL"));
  std::string big(100000, 'q');
  bl->SetAsString(big);
  EXPECT_TRUE(bl->Modified());
  EXPECT_EQ(bl->BlobSize(), 100000);
  EXPECT_EQ(bl->AsString(), big);
  TMemoryStream in;
  in.WriteBuffer("memo text", 9);
  static_cast<TBlobField*>(F("M"))->LoadFromStream(in);
  ds.Post();
  ds.First();
  TMemoryStream out;
  static_cast<TBlobField*>(F("M"))->SaveToStream(out);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), out.Size()), "memo text");
  EXPECT_EQ(bl->AsString().size(), big.size());
  // A BLOB written empty reads as null.
  ds.Edit();
  bl->SetAsString("");
  EXPECT_TRUE(bl->IsNull());
  ds.Cancel();
  EXPECT_FALSE(bl->IsNull());
  // Writing needs edit mode; a non-BLOB field has no stream.
  EXPECT_THROW(ds.CreateBlobStream(bl, bmWrite), EDatabaseError);
  EXPECT_THROW(ds.CreateBlobStream(F("I"), bmRead), EDatabaseError);
}

TEST_F(FieldsTest, ValidateSeesTheNewValueAndCanRefuseIt) {
  TField* i = F("I");
  i->SetAsInteger(1);
  int seen = 0;
  i->OnValidate = [&](TField* f) {
    seen = f->AsInteger();
    if (seen < 0) DatabaseError("negative");
  };
  int changes = 0;
  i->OnChange = [&](TField*) { ++changes; };
  i->SetAsInteger(7);
  EXPECT_EQ(seen, 7);
  EXPECT_EQ(changes, 1);
  EXPECT_THROW(i->SetAsInteger(-3), EDatabaseError);
  EXPECT_EQ(i->AsInteger(), 7);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(ds.Modified());
  // A wide string is validated in its own form too.
  std::u16string wide;
  F("W")->OnValidate = [&](TField* f) { wide = VarToWideStr(f->Value()); };
  static_cast<TWideStringField*>(F("W"))->SetAsWideString(u"xyz");
  EXPECT_EQ(wide, u"xyz");
  F("W")->Clear();
  EXPECT_TRUE(F("W")->IsNull());
}

TEST(Fields, FieldsMadeInCodeJoinAndLeaveTheirDataSet) {
  TArrayDataSet ds;
  ds.FieldDefs().Add("A", ftString, 4);
  auto a = std::make_unique<TStringField>(nullptr);
  a->SetFieldName("A");
  a->SetSize(8);
  a->SetDataSet(&ds);
  EXPECT_THROW(ds.Open(), EDatabaseError) << "size differs from the definition";
  EXPECT_FALSE(ds.Active());
  a->SetSize(4);
  ds.Open();
  EXPECT_FALSE(ds.DefaultFields());
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 1) << "fields made in code stay";
  TIntegerField b(nullptr);
  b.SetFieldName("a");
  EXPECT_THROW(b.SetDataSet(&ds), EDatabaseError);  // the name is taken
  a.reset();
  EXPECT_EQ(ds.FieldCount(), 0);
  TIntegerField wrong(nullptr);
  wrong.SetFieldName("A");
  wrong.SetDataSet(&ds);
  EXPECT_THROW(ds.Open(), EDatabaseError) << "type differs from the definition";
}

}  // namespace
}  // namespace host

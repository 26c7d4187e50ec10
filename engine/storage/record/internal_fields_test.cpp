#include "engine/storage/record/internal_fields.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <functional>
#include <set>
#include <string>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

using namespace host;

using test::EngineErrorOf;

std::string AssertionOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EAssertionFailed& e) {
    // The message, without the condition and place the text adds after it.
    return e.Message().substr(0, e.Message().find(" ["));
  }
  ADD_FAILURE() << "no assertion raised";
  return std::string();
}

bool Contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

TInternalFieldItem* AddField(TInternalFields& fields, const std::string& name, TFieldType type,
                             int size = 0) {
  TInternalFieldItem* item = fields.Add();
  item->SetFieldName(name);
  item->SetDataType(type);
  if (size) item->SetFieldSize(size);
  item->SetFieldIndex(fields.Count() - 1);
  return item;
}

TEST(InternalFieldItemTest, SetDataTypeSetsTheDefaultSize) {
  const struct {
    TFieldType type;
    int size;
  } cases[] = {{ftString, 0},   {ftSmallint, 2}, {ftWord, 2},     {ftInteger, 4}, {ftAutoInc, 4},
               {ftBoolean, 1},  {ftFloat, 8},    {ftCurrency, 8}, {ftDate, 8},    {ftTime, 8},
               {ftDateTime, 8}, {ftBlob, 8},     {ftMemo, 8},     {ftGraphic, 8}, {ftFmtMemo, 8}};
  for (const auto& c : cases) {
    TInternalFieldItem item;
    item.SetFieldSize(99);
    item.SetDataType(c.type);
    EXPECT_EQ(item.DataType(), c.type);
    EXPECT_EQ(item.FieldSize(), c.size) << FieldTypeName(c.type);
  }
}

TEST(InternalFieldItemTest, RefusedTypesRaise10000WithTheTypeName) {
  for (TFieldType t : {ftBCD, ftWideString, ftLargeint, ftBytes, ftUnknown}) {
    TInternalFieldItem item;
    item.SetDataType(ftInteger);
    const std::string msg = EngineErrorOf(10000, [&] { item.SetDataType(t); });
    EXPECT_TRUE(Contains(msg, FieldTypeName(t))) << msg;
    EXPECT_EQ(item.DataType(), ftInteger);  // unchanged
    EXPECT_EQ(item.FieldSize(), 4);
  }
}

TEST(InternalFieldItemTest, WriteableSizeKeepsRoomForTheTerminator) {
  TInternalFieldItem item;
  item.SetDataType(ftString);
  item.SetFieldSize(21);
  EXPECT_EQ(item.GetWriteableFieldSize(), 20);
  item.SetDataType(ftInteger);
  EXPECT_EQ(item.GetWriteableFieldSize(), 4);
}

TEST(InternalFieldItemTest, AssignCopiesEveryFieldAndKeepsTheStringSize) {
  TInternalFieldItem src;
  src.SetFieldName("Name");
  src.SetFieldNo(3);
  src.SetFieldIndex(2);
  src.SetDataType(ftString);
  src.SetFieldSize(40);
  src.SetNumDecimalPlaces(2);
  src.SetDataOffset(100);
  src.SetNullFlagOffset(16);
  src.SetIsVariable(true);
  src.SetSizeMarkerOffset(98);
  src.SetSourceField("Orig");
  src.SetRequired(true);
  src.SetFieldGeneratorID(12345);
  src.SetPrivilegeFlags(0x900);
  src.SetHidden(true);

  TInternalFieldItem dst;
  dst.Assign(src);
  EXPECT_EQ(dst.FieldName(), "Name");
  EXPECT_EQ(dst.FieldNo(), 3);
  EXPECT_EQ(dst.FieldIndex(), 2);
  EXPECT_EQ(dst.DataType(), ftString);
  EXPECT_EQ(dst.FieldSize(), 40);  // set after the type reset it
  EXPECT_EQ(dst.NumDecimalPlaces(), 2);
  EXPECT_EQ(dst.DataOffset(), 100);
  EXPECT_EQ(dst.NullFlagOffset(), 16);
  EXPECT_TRUE(dst.IsVariable());
  EXPECT_EQ(dst.SizeMarkerOffset(), 98);
  EXPECT_EQ(dst.SourceField(), "Orig");
  EXPECT_TRUE(dst.Required());
  EXPECT_EQ(dst.FieldGeneratorID(), 12345);
  EXPECT_EQ(dst.PrivilegeFlags(), 0x900);
  EXPECT_TRUE(dst.Hidden());

  TInternalFields other;
  EXPECT_THROW(dst.Assign(other), EConvertError);
}

TEST(InternalFieldsTest, DefaultOffsetsLayOutTheImage) {
  TInternalFields fields;
  AddField(fields, "ID", ftInteger);
  AddField(fields, "Name", ftString, 20);
  AddField(fields, "Flag", ftBoolean);
  fields.Items(0)->SetFieldSize(77);  // a fixed field's size comes from its type
  fields.SetDefaultOffsets();

  const TInternalFieldItem& id = *fields.Items(0);
  const TInternalFieldItem& name = *fields.Items(1);
  const TInternalFieldItem& flag = *fields.Items(2);
  EXPECT_EQ(id.NullFlagOffset(), 14);
  EXPECT_EQ(name.NullFlagOffset(), 15);
  EXPECT_EQ(flag.NullFlagOffset(), 16);
  EXPECT_EQ(id.DataOffset(), 17);
  EXPECT_EQ(id.FieldSize(), 4);
  EXPECT_EQ(id.SizeMarkerOffset(), 0);
  EXPECT_EQ(name.SizeMarkerOffset(), 21);
  EXPECT_EQ(name.DataOffset(), 23);
  EXPECT_EQ(name.FieldSize(), 20);
  EXPECT_EQ(flag.DataOffset(), 43);
  EXPECT_EQ(flag.SizeMarkerOffset(), 0);
  EXPECT_EQ(fields.RecordSize(), 44);
}

TEST(InternalFieldsTest, AStringSizeTheLengthMarkerCannotHoldIsRefused) {
  for (int size : {-1, 0x10000}) {
    TInternalFields fields;
    AddField(fields, "Name", ftString)->SetFieldSize(size);
    EXPECT_TRUE(Contains(EngineErrorOf(8581, [&] { fields.SetDefaultOffsets(); }), "Name"));
  }
}

TEST(InternalFieldsTest, OpenFindsBlobsAutoIncAndMapsFieldIndexes) {
  TInternalFields fields;
  AddField(fields, "A", ftAutoInc)->SetFieldIndex(2);
  AddField(fields, "B", ftMemo)->SetFieldIndex(0);
  AddField(fields, "C", ftAutoInc)->SetFieldIndex(1);
  fields.Open();
  EXPECT_TRUE(fields.UsesBlobs());
  EXPECT_EQ(fields.AutoIncFieldNo(), 1);  // the last auto-increment field wins
  EXPECT_EQ(fields.GetField(0)->FieldName(), "B");
  EXPECT_EQ(fields.GetField(1)->FieldName(), "C");
  EXPECT_EQ(fields.GetField(2)->FieldName(), "A");
  EXPECT_EQ(AssertionOf([&] { fields.GetField(3); }), "Invalid field index in GetField");
  EXPECT_EQ(AssertionOf([&] { fields.GetField(-1); }), "Invalid field index in GetField");

  TInternalFields plain;
  AddField(plain, "X", ftInteger);
  plain.Open();
  EXPECT_FALSE(plain.UsesBlobs());
  EXPECT_EQ(plain.AutoIncFieldNo(), -1);
}

TEST(InternalFieldsTest, OpenRefusesBadFieldIndexes) {
  TInternalFields twice;
  AddField(twice, "A", ftInteger)->SetFieldIndex(1);
  AddField(twice, "B", ftInteger)->SetFieldIndex(1);
  EXPECT_EQ(AssertionOf([&] { twice.Open(); }), "Field indexes degenerate");

  TInternalFields beyond;
  AddField(beyond, "A", ftInteger)->SetFieldIndex(1);
  EXPECT_EQ(AssertionOf([&] { beyond.Open(); }), "Invalid field index");

  TInternalFields negative;
  AddField(negative, "A", ftInteger)->SetFieldIndex(-1);
  EXPECT_EQ(AssertionOf([&] { negative.Open(); }), "Invalid field index");

  // More fields than the map has slots: refused, not written past the map.
  TInternalFields many;
  for (int i = 0; i < kMaximumFieldCount + 1; ++i) AddField(many, "F", ftBoolean);
  EXPECT_EQ(AssertionOf([&] { many.Open(); }), "Invalid field index");
}

TEST(InternalFieldsTest, AnUnopenedListHasNoMap) {
  TInternalFields fields;
  AddField(fields, "A", ftInteger);
  EXPECT_EQ(AssertionOf([&] { fields.GetField(0); }), "Invalid field index in GetField");
  fields.Open();
  EXPECT_EQ(fields.GetField(0)->FieldName(), "A");
  fields.Close();
  EXPECT_EQ(fields.Count(), 0);
  EXPECT_EQ(AssertionOf([&] { fields.GetField(0); }), "Invalid field index in GetField");
}

TEST(InternalFieldsTest, FindFieldIgnoresCaseOfAccentedLettersToo) {
  TInternalFields fields;
  AddField(fields, "CustNo", ftInteger);
  AddField(fields, "\xC4rger", ftInteger);  // "Ärger"
  EXPECT_EQ(fields.FindField("custNO"), fields.Items(0));
  EXPECT_EQ(fields.FindField("\xE4RGER"), fields.Items(1));  // "äRGER"
  EXPECT_EQ(fields.FindField("Arger"), nullptr);
}

TEST(InternalFieldsTest, AddGivesRandomGeneratorIds) {
  TInternalFields fields;
  std::set<int32_t> ids;
  for (int i = 0; i < 20; ++i) {
    const int32_t id = fields.Add()->FieldGeneratorID();
    EXPECT_GE(id, 0);
    EXPECT_LE(id, 2147483646);
    ids.insert(id);
  }
  EXPECT_GT(ids.size(), 1u);
}

TEST(InternalFieldsTest, AssignCopiesItemsAndForgetsTheLayout) {
  TInternalFields src;
  AddField(src, "ID", ftAutoInc);
  AddField(src, "Name", ftString, 20);
  src.SetDefaultOffsets();
  src.Open();

  TInternalFields dst;
  AddField(dst, "Old", ftInteger);
  dst.SetRecordSize(99);
  dst.SetUsesBlobs(true);
  dst.SetAutoIncFieldNo(5);
  dst.Open();
  dst.Assign(src);
  ASSERT_EQ(dst.Count(), 2);
  EXPECT_EQ(dst.Items(1)->FieldName(), "Name");
  EXPECT_EQ(dst.Items(1)->FieldSize(), 20);
  EXPECT_EQ(dst.Items(1)->DataOffset(), src.Items(1)->DataOffset());
  EXPECT_EQ(dst.Items(0)->FieldGeneratorID(), src.Items(0)->FieldGeneratorID());
  EXPECT_EQ(dst.RecordSize(), 0);
  EXPECT_FALSE(dst.UsesBlobs());
  EXPECT_EQ(dst.AutoIncFieldNo(), -1);
  EXPECT_EQ(AssertionOf([&] { dst.GetField(0); }), "Invalid field index in GetField");
  dst.SetDefaultOffsets();
  EXPECT_EQ(dst.RecordSize(), src.RecordSize());

  TInternalFieldItem replacement;
  replacement.SetFieldName("Other");
  replacement.SetDataType(ftBoolean);
  dst.SetIndex(0, replacement);
  EXPECT_EQ(dst.GetIndex(0)->FieldName(), "Other");
  EXPECT_EQ(dst.GetIndex(0)->FieldSize(), 1);
}

}  // namespace
TEST(InternalFieldsTest, CoreDataSizes) {
  using namespace host;
  for (TFieldType t : {ftString, ftSmallint, ftWord, ftWideString})
    EXPECT_EQ(CalculateCoreDataSize(t), 2) << FieldTypeName(t);
  for (TFieldType t : {ftInteger, ftAutoInc}) EXPECT_EQ(CalculateCoreDataSize(t), 4);
  EXPECT_EQ(CalculateCoreDataSize(ftBoolean), 1);
  for (TFieldType t : {ftFloat, ftCurrency, ftBCD, ftDate, ftTime, ftDateTime})
    EXPECT_EQ(CalculateCoreDataSize(t), 8) << FieldTypeName(t);
  try {
    CalculateCoreDataSize(ftBlob);
    ADD_FAILURE() << "a blob has no core size";
  } catch (const ETavDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), 10117);
    EXPECT_NE(e.Message().find("Error in setting CoreDataSize - field type not found: " +
                               FieldTypeName(ftBlob)),
              std::string::npos);
  }
  EXPECT_THROW(CalculateCoreDataSize(ftLargeint), ETavDatabaseError);
  EXPECT_THROW(CalculateCoreDataSize(ftUnknown), ETavDatabaseError);
}

}  // namespace tav

#include "engine/storage/table/restructure_defs.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <functional>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using namespace host;

// Lines of a string list, for comparing a change log as a whole.
std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> r;
  for (int i = 0; i < list.Count(); ++i) r.push_back(list.Strings(i));
  return r;
}

using test::EngineErrorOf;

class RestructureFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    existing_.Add("ID", ftInteger, 0, true);
    existing_.Add("Name", ftString, 40);
    existing_.Add("Flag", ftBoolean);
    defs_.Assign(existing_);
    defs_.SetChangeLog(&log_);
  }
  TDefChangeType Validate() {
    defs_.ValidateAgainstOriginalDefs(&existing_);
    return defs_.ChangeStatus();
  }

  TFieldDefs existing_;
  TRestructureFieldDefs defs_;
  TStringList log_;
};

TEST_F(RestructureFieldTest, UnchangedCopyNeedsNoWork) {
  ASSERT_EQ(defs_.Count(), 3);
  EXPECT_EQ(defs_.Items(1)->SourceFieldName(), "Name");
  EXPECT_EQ(defs_.FieldDefs(), &existing_);
  EXPECT_EQ(Validate(), dcNoChange);
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{
                             "Field Def: ID status: Unchanged Item",
                             "Field Def: Name status: Unchanged Item",
                             "Field Def: Flag status: Unchanged Item",
                             "FieldDefs: Change status is - Unchanged Item",
                         }));
  EXPECT_FALSE(defs_.CheckIfFieldsDeleted());
}

TEST_F(RestructureFieldTest, NarrowingIntegerIsDataLossWideningIsDataChange) {
  defs_.Items(0)->SetDataType(ftSmallint);
  EXPECT_EQ(Validate(), dcDataLoss);
  EXPECT_EQ(defs_.Items(0)->ChangeStatus(), dcDataLoss);

  TFieldDefs small;
  small.Add("N", ftSmallint);
  TRestructureFieldDefs widened;
  widened.Assign(small);
  widened.Items(0)->SetDataType(ftInteger);
  widened.ValidateAgainstOriginalDefs(&small);
  EXPECT_EQ(widened.Items(0)->ChangeStatus(), dcDataChange);
  EXPECT_EQ(widened.ChangeStatus(), dcDataChange);
}

TEST_F(RestructureFieldTest, StringSizeAndRenames) {
  defs_.Items(1)->SetSize(20);
  Validate();
  EXPECT_EQ(defs_.Items(1)->ChangeStatus(), dcDataLoss);
  defs_.Items(1)->SetSize(60);
  Validate();
  EXPECT_EQ(defs_.Items(1)->ChangeStatus(), dcDataChange);
  defs_.Items(1)->SetSize(40);
  defs_.Items(1)->SetName("FullName");
  EXPECT_EQ(Validate(), dcDefOnlyChange);
  EXPECT_EQ(defs_.Items(1)->ChangeStatus(), dcDefOnlyChange);
  // A name differing only in case is a rename too: names compare exactly here.
  defs_.Items(1)->SetName("NAME");
  EXPECT_EQ(Validate(), dcDefOnlyChange);
  defs_.Items(1)->SetName("Name");
  defs_.Items(2)->SetRequired(true);
  EXPECT_EQ(Validate(), dcDefOnlyChange);
  defs_.Items(2)->SetRequired(false);
  defs_.SwapDefs(1, 2);  // a move is a definition change of both fields
  EXPECT_EQ(Validate(), dcDefOnlyChange);
  EXPECT_EQ(defs_.Items(1)->ChangeStatus(), dcDefOnlyChange);
  EXPECT_EQ(defs_.Items(0)->ChangeStatus(), dcNoChange);
}

TEST_F(RestructureFieldTest, DataLossConversions) {
  struct Case {
    TFieldType from, to;
    TDefChangeType expected;
  };
  const Case cases[] = {
      {ftFloat, ftInteger, dcDataLoss},       {ftInteger, ftFloat, dcDataChange},
      {ftDate, ftInteger, dcDataChange},      {ftDateTime, ftAutoInc, dcDataLoss},
      {ftBoolean, ftWord, dcDataChange},      {ftInteger, ftWord, dcDataLoss},
      {ftInteger, ftBoolean, dcDataLoss},     {ftFloat, ftCurrency, dcDataLoss},
      {ftInteger, ftCurrency, dcDataChange},  {ftMemo, ftString, dcDataLoss},
      {ftString, ftMemo, dcDataLoss},         {ftBlob, ftMemo, dcDataChange},
      {ftInteger, ftString, dcDataLoss},      {ftString, ftInteger, dcDataLoss},
      {ftString, ftWideString, dcDataChange}, {ftGraphic, ftFmtMemo, dcDataChange},
  };
  for (const Case& c : cases) {
    TFieldDefs old;
    old.Add("F", c.from, 10);
    TRestructureFieldDefs now;
    now.Assign(old);
    now.Items(0)->SetDataType(c.to);
    now.ValidateAgainstOriginalDefs(&old);
    EXPECT_EQ(now.Items(0)->ChangeStatus(), c.expected)
        << FieldTypeName(c.from) << " -> " << FieldTypeName(c.to);
  }
}

TEST_F(RestructureFieldTest, DroppedAndAddedFields) {
  defs_.DeleteItem(2);
  EXPECT_TRUE(defs_.CheckIfFieldsDeleted());
  EXPECT_EQ(Validate(), dcDataChange);  // fewer items, then the drop needs a copy
  EXPECT_EQ(log_.Strings(log_.Count() - 2), "Prior Field Def: Flag status: Deleted Item");

  // A drop beside a narrowed field leaves the overall at data loss.
  defs_.Items(0)->SetDataType(ftSmallint);
  EXPECT_EQ(Validate(), dcDataLoss);

  defs_.Items(0)->SetDataType(ftInteger);
  defs_.AddAndSetFieldDef("Flag", ftBoolean, 0)->SetSourceFieldName("Flag");
  defs_.AddAndSetFieldDef("Note", ftString, 10);
  log_.Clear();
  EXPECT_EQ(Validate(), dcAdded);
  EXPECT_EQ(defs_.Items(3)->ChangeStatus(), dcAdded);
  EXPECT_EQ(log_.Strings(3), "Field Def: Note status: New Item");
}

TEST_F(RestructureFieldTest, MissingSourceAndNoExistingDefs) {
  defs_.Items(1)->SetSourceFieldName("Gone");
  EXPECT_NE(EngineErrorOf(10116, [&] { Validate(); }).find("Source Def not found"),
            std::string::npos);
  // Validation leaves the change types it had set.
  EXPECT_EQ(defs_.Items(0)->ChangeStatus(), dcNoChange);

  TRestructureFieldDefs fresh;
  TStringList log;
  fresh.SetChangeLog(&log);
  fresh.AddAndSetFieldDef("A", ftInteger, 0);
  fresh.ValidateAgainstOriginalDefs(nullptr);
  EXPECT_EQ(fresh.ChangeStatus(), dcAdded);
  EXPECT_EQ(Lines(log), (std::vector<std::string>{"Field Def: A status: New Item",
                                                  "FieldDefs: Change status is - New Item"}));
}

TEST_F(RestructureFieldTest, FindSwapAndAssignTo) {
  EXPECT_EQ(defs_.Find("Name"), defs_.Items(1));
  EXPECT_EQ(defs_.Find("name"), nullptr);  // exact only
  EXPECT_EQ(defs_.FindSourceDef("name"), existing_.Items(1));
  EXPECT_NE(EngineErrorOf(9985, [&] { defs_.SwapDefs(0, 3); })
                .find("Invalid Field Def Index in SwapDefs"),
            std::string::npos);
  EXPECT_THROW(defs_.SwapDefs(-1, 0), ETavDatabaseError);

  defs_.Items(1)->SetName("FullName");
  defs_.Items(1)->SetPrecision(3);
  defs_.Insert(0)->SetName("New");
  TRestructureFieldDefs copy;
  copy.Assign(defs_);
  EXPECT_EQ(copy.Count(), 4);
  EXPECT_EQ(copy.Items(2)->SourceFieldName(), "Name");
  EXPECT_EQ(copy.FieldDefs(), &existing_);

  TFieldDefs target;
  copy.AssignTo(target);
  ASSERT_EQ(target.Count(), 4);
  EXPECT_EQ(target.Items(0)->Name(), "New");
  EXPECT_EQ(target.Items(2)->Name(), "FullName");
  EXPECT_EQ(target.Items(2)->Size(), 40);
  EXPECT_EQ(target.Items(2)->Precision(), 3);
  EXPECT_TRUE(target.Items(1)->Required());
  TIndexDefs wrong;
  EXPECT_THROW(copy.Assign(wrong), EConvertError);
}

class RestructureIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fieldsExisting_.Add("ID", ftAutoInc);
    fieldsExisting_.Add("First", ftString, 255);
    fieldsExisting_.Add("Last", ftString, 255);
    fieldsExisting_.Add("USERID", ftInteger);
    fields_.Assign(fieldsExisting_);
    fields_.ValidateAgainstOriginalDefs(&fieldsExisting_);

    existing_.Add("PK", "ID", {ixPrimary, ixUnique});
    existing_.Add("ByName", "Last;First", {ixCaseInsensitive});
    existing_.Add("ByUser", "USERID;ID", {});
    defs_.Assign(existing_);
    defs_.SetChangeLog(&log_);
  }
  TDefChangeType Validate() {
    log_.Clear();
    defs_.ValidateAgainstOriginalDefs(&existing_, fields_);
    return defs_.ChangeStatus();
  }

  TFieldDefs fieldsExisting_;
  TRestructureFieldDefs fields_;
  TIndexDefs existing_;
  TRestructureIndexDefs defs_;
  TStringList log_;
};

TEST_F(RestructureIndexTest, KeySizesFollowTheFieldTypes) {
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftString, 255), 257);
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftWideString, 10), 22);
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftSmallint, 0), 2);
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftAutoInc, 0), 4);
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftBoolean, 0), 1);
  EXPECT_EQ(CalculateIndexDefKeyFieldSize(ftBCD, 4), 8);
  EXPECT_NE(EngineErrorOf(10117, [] { CalculateIndexDefKeyFieldSize(ftBlob, 0); })
                .find("Error in setting CoreDataSize - field type not found: Blob"),
            std::string::npos);
}

TEST_F(RestructureIndexTest, OverLongKeyRaisesWithNameFieldsAndLimit) {
  // Two 255-character strings make 514 key bytes.
  std::string msg = EngineErrorOf(9602, [&] { defs_.ValidateNewIndexDefs(fields_); });
  EXPECT_NE(msg.find("The Index 'ByName' with fields 'Last;First' has exceeded the maximum key "
                     "size of 500"),
            std::string::npos)
      << msg;
  defs_.SetMaximumKeySize(514);
  defs_.ValidateNewIndexDefs(fields_);
  EXPECT_EQ(log_.Strings(0), "IndexDefs: Validation OK");

  defs_.SetMaximumKeyFieldCount(1);
  msg = EngineErrorOf(9603, [&] { defs_.ValidateNewIndexDefs(fields_); });
  EXPECT_NE(msg.find("The Index 'ByName' with fields 'Last;First' has exceeded the maximum key "
                     "field count of 1"),
            std::string::npos)
      << msg;

  defs_.SetMaximumKeyFieldCount(32);
  defs_.Items(0)->SetFields("Nope");
  msg = EngineErrorOf(10116, [&] { defs_.ValidateNewIndexDefs(fields_); });
  EXPECT_NE(
      msg.find("The field 'Nope' in index 'PK' was not found in the table field definitions."),
      std::string::npos);
}

TEST_F(RestructureIndexTest, ChangeTypesAndTheirLogLines) {
  defs_.SetMaximumKeySize(600);
  EXPECT_EQ(Validate(), dcNoChange);
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{
                             "IndexDefs: Validation OK",
                             "Index Def: 'PK' status: Unchanged Item",
                             "Index Def: 'ByName' status: Unchanged Item",
                             "Index Def: 'ByUser' status: Unchanged Item",
                             "IndexDefs: Change status is - Unchanged Item",
                         }));

  defs_.Items(0)->SetName("pk");  // case only: no change
  defs_.Items(1)->SetName("ByFullName");
  EXPECT_EQ(Validate(), dcDefOnlyChange);
  EXPECT_EQ(log_.Strings(2), "Index Def: ByFullName - Name changed");
  EXPECT_EQ(log_.Strings(3), "Index Def: 'ByFullName' status: Definition Only Changed");

  defs_.Items(1)->SetFields("Last;First;ID");
  defs_.Items(2)->SetCaseInsFields("USERID");
  EXPECT_EQ(Validate(), dcDataChange);
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{
                             "IndexDefs: Validation OK",
                             "Index Def: 'pk' status: Unchanged Item",
                             "Index Def: ByFullName - Name changed",
                             "Index Def fields changed: ByFullName from Last;First to "
                             "Last;First;ID",
                             "Index Def: 'ByFullName' status: Data Requirements Changed",
                             "Index Def case insensitive fields changed: ByUser from  to USERID",
                             "Index Def: 'ByUser' status: Data Requirements Changed",
                             "IndexDefs: Change status is - Data Requirements Changed",
                         }));

  defs_.Items(1)->SetFields("last;FIRST");  // lists compare without regard to case
  defs_.Items(2)->SetCaseInsFields("");
  defs_.Items(2)->SetDescFields("ID");
  Validate();
  EXPECT_EQ(defs_.Items(1)->ChangeStatus(), dcDefOnlyChange);
  EXPECT_EQ(log_.Strings(4), "Index Def descending fields changed: ByUser from  to ID");
}

TEST_F(RestructureIndexTest, OptionsPositionFieldsAndDeletedIndexes) {
  defs_.SetMaximumKeySize(514);
  defs_.Items(2)->SetOptions({ixUnique});
  Validate();
  EXPECT_EQ(defs_.Items(2)->ChangeStatus(), dcDataChange);
  EXPECT_EQ(log_.Strings(3), "Index Def: ByUser - Options or position changed");

  defs_.Items(2)->SetOptions({});
  defs_.DeleteItem(0);  // the others move up; PK is gone
  defs_.AddAndSetIndexDef("ByFirst", "First", {});
  EXPECT_EQ(Validate(), dcDataChange);
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{
                             "IndexDefs: Validation OK",
                             "Index Def: ByName - Options or position changed",
                             "Index Def: 'ByName' status: Data Requirements Changed",
                             "Index Def: ByUser - Options or position changed",
                             "Index Def: 'ByUser' status: Data Requirements Changed",
                             "New Index Def: ByFirst",
                             "Index Def: 'ByFirst' status: New Item",
                             "Prior Index Def: PK status: Deleted Item",
                             "IndexDefs: Change status is - Data Requirements Changed",
                         }));
}

TEST_F(RestructureIndexTest, AChangedFieldAsksForReindexing) {
  defs_.SetMaximumKeySize(514);
  fields_.Items(3)->SetDataType(ftSmallint);
  fields_.ValidateAgainstOriginalDefs(&fieldsExisting_);
  ASSERT_EQ(fields_.Items(3)->ChangeStatus(), dcDataLoss);
  Validate();
  EXPECT_EQ(defs_.Items(2)->ChangeStatus(), dcDataChange);
  EXPECT_EQ(log_.Strings(3), "Index Def: ByUser - Changed field: USERID");
  // A renamed field is only a definition change of the field.
  fields_.Items(3)->SetDataType(ftInteger);
  fields_.Items(3)->SetName("OwnerID");
  fields_.ValidateAgainstOriginalDefs(&fieldsExisting_);
  defs_.ReplaceFieldName("userid", "OwnerID");
  Validate();
  EXPECT_EQ(log_.Strings(3), "Index Def fields changed: ByUser from USERID;ID to OwnerID;ID");
}

TEST_F(RestructureIndexTest, ReplaceFieldNameTouchesWholeNamesOnly) {
  defs_.Items(0)->SetCaseInsFields("id");
  defs_.Items(2)->SetDescFields("ID;USERID");
  defs_.ReplaceFieldName("Id", "KEY");
  EXPECT_EQ(defs_.Items(0)->Fields(), "KEY");
  EXPECT_EQ(defs_.Items(0)->CaseInsFields(), "KEY");
  EXPECT_EQ(defs_.Items(2)->Fields(), "USERID;KEY");
  EXPECT_EQ(defs_.Items(2)->DescFields(), "KEY;USERID");
  EXPECT_EQ(defs_.Items(1)->Fields(), "Last;First");

  defs_.DeleteField("key");
  EXPECT_EQ(defs_.Items(0)->Fields(), "");
  EXPECT_EQ(defs_.Items(2)->Fields(), "USERID");
  EXPECT_EQ(defs_.Items(2)->DescFields(), "USERID");
}

TEST_F(RestructureIndexTest, FindAndNoExistingDefs) {
  EXPECT_EQ(defs_.Find("ByName"), defs_.Items(1));
  EXPECT_EQ(defs_.Find("byname"), nullptr);
  EXPECT_EQ(defs_.FindSourceDef("BYNAME"), existing_.Items(1));
  EXPECT_EQ(defs_.FindSourceDef("Other"), nullptr);

  defs_.SetMaximumKeySize(514);
  defs_.ValidateAgainstOriginalDefs(nullptr, fields_);
  EXPECT_EQ(defs_.ChangeStatus(), dcAdded);
  EXPECT_EQ(defs_.Items(2)->ChangeStatus(), dcAdded);
  EXPECT_EQ(log_.Strings(1), "New Index Def: PK");
}

TEST_F(RestructureIndexTest, AssignToRepointsSourcesItFreed) {
  defs_.SetMaximumKeySize(514);
  defs_.Items(1)->SetName("ByFullName");
  defs_.Items(1)->SetDescFields("Last");
  defs_.AddAndSetIndexDef("ByFirst", "First", {ixDescending});
  TRestructureIndexDefs copy;
  copy.Assign(defs_);
  EXPECT_EQ(copy.MaximumKeySize(), 514);
  EXPECT_EQ(copy.Items(1)->SourceIndexDef(), existing_.Items(1));

  // Applying the definitions to the very collection the sources live in: the
  // sources become the new definitions, and validating again finds no change.
  copy.AssignTo(existing_);
  ASSERT_EQ(existing_.Count(), 4);
  EXPECT_EQ(existing_.Items(1)->Name(), "ByFullName");
  EXPECT_EQ(existing_.Items(1)->DescFields(), "Last");
  EXPECT_TRUE(existing_.Items(3)->Options().Contains(ixDescending));
  EXPECT_EQ(copy.Items(1)->SourceIndexDef(), existing_.Items(1));
  EXPECT_EQ(copy.Items(3)->SourceIndexDef(), nullptr);  // new, and stays new
  copy.ValidateAgainstOriginalDefs(&existing_, fields_);
  EXPECT_EQ(copy.Items(1)->ChangeStatus(), dcNoChange);

  // A failed apply leaves no source pointing at a freed definition.
  TRestructureIndexDefs clash;
  clash.Assign(existing_);
  clash.Items(2)->SetName("PK");
  EXPECT_THROW(clash.AssignTo(existing_), EDatabaseError);
  for (int i = 0; i < clash.Count(); ++i) {
    const TIndexDef* src = clash.Items(i)->SourceIndexDef();
    if (src) {
      EXPECT_EQ(src->Collection(), &existing_);
    }
  }
}

}  // namespace
}  // namespace tav

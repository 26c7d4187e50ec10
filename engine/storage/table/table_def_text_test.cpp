#include "engine/storage/table/table_def_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/base/tav_logger.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/table_def_text_fuzz.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/classes/prop_table.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

// An encrypted definition with every field type a record stores, a unique
// primary index, a descending case-insensitive one, a descending compound
// one, and an AltName scrambled into zero and control bytes.
void BuildRichDefinition(TTableDef& def) {
  BuildTableDef(def, "Every Type", /*memory=*/false,
                {{"ID", host::ftAutoInc},
                 {"NAME", host::ftString, 40, /*required=*/true},
                 {"SMALL", host::ftSmallint},
                 {"INT", host::ftInteger},
                 {"WORD", host::ftWord},
                 {"FLAG", host::ftBoolean},
                 {"REAL", host::ftFloat},
                 {"MONEY", host::ftCurrency},
                 {"DAY", host::ftDate},
                 {"TIME", host::ftTime},
                 {"STAMP", host::ftDateTime},
                 {"DATA", host::ftBlob},
                 {"NOTE", host::ftMemo},
                 {"PIC", host::ftGraphic},
                 {"FMT", host::ftFmtMemo}},
                {{"ById", "ID", /*unique=*/true, /*primary=*/true},
                 {"ByName", "NAME", false, false, /*caseInsensitive=*/true, /*descending=*/true},
                 {"ByDayMoney", "DAY;MONEY", false, false, false, /*descending=*/true}});
  def.SetTableID(77);
  def.SetOwnerFlag(77u << 4);
  def.SetAltName(std::string("\0\x01\x02'\x7F\xFF" "A\0\r\n\x9C", 11));
  def.SetVersion("1.41.02");
  def.SetOS("Linux 6.1.0 x86_64");
  def.SetCreatedBy("alice");
  def.SetPassword("s'cr\x01t");
  def.SetCreationDate(46000.123456789);
  def.SetLastModDate(46001.987654321);
  def.SetEncrypted(true);
  def.SetSecurityLevel(2);
  def.SetDefaultBlobSize(1024);
  def.SetSortOrder(soASCII);
  def.SetInternalTable(true);
  def.SetEncryptionLevel(encStrong);
}

// A definition without indexes: it has the hidden logical-record-number
// index, and is a memory table.
void BuildHiddenIndexDefinition(TTableDef& def) {
  BuildTableDef(def, "$Plain", /*memory=*/true, {{"V", host::ftFloat}}, {});
  def.SetEncryptionLevel(encWeak);
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectSameDefinition(const TTableDef& a, const TTableDef& b) {
  EXPECT_EQ(a.TableID(), b.TableID());
  EXPECT_EQ(a.OwnerFlag(), b.OwnerFlag());
  EXPECT_EQ(a.TableName(), b.TableName());
  EXPECT_EQ(a.AltName(), b.AltName());
  EXPECT_EQ(a.Version(), b.Version());
  EXPECT_EQ(a.OS(), b.OS());
  EXPECT_EQ(a.CreatedBy(), b.CreatedBy());
  EXPECT_EQ(a.Password(), b.Password());
  EXPECT_TRUE(SameBits(a.CreationDate(), b.CreationDate()));
  EXPECT_TRUE(SameBits(a.LastModDate(), b.LastModDate()));
  EXPECT_EQ(a.Encrypted(), b.Encrypted());
  EXPECT_EQ(a.SecurityLevel(), b.SecurityLevel());
  EXPECT_EQ(a.Memory(), b.Memory());
  EXPECT_EQ(a.RecordSize(), b.RecordSize());
  EXPECT_EQ(a.DefaultBlobSize(), b.DefaultBlobSize());
  EXPECT_EQ(a.UsesBlobs(), b.UsesBlobs());
  EXPECT_EQ(a.SortOrder(), b.SortOrder());
  EXPECT_EQ(a.InternalTable(), b.InternalTable());
  EXPECT_EQ(a.EncryptionLevel(), b.EncryptionLevel());

  ASSERT_EQ(a.InternalFields().Count(), b.InternalFields().Count());
  for (int i = 0; i < a.InternalFields().Count(); ++i) {
    const TInternalFieldItem& x = *a.InternalFields().Items(i);
    const TInternalFieldItem& y = *b.InternalFields().Items(i);
    EXPECT_EQ(x.FieldName(), y.FieldName());
    EXPECT_EQ(x.FieldNo(), y.FieldNo());
    EXPECT_EQ(x.FieldIndex(), y.FieldIndex());
    EXPECT_EQ(x.DataType(), y.DataType());
    EXPECT_EQ(x.FieldSize(), y.FieldSize());
    EXPECT_EQ(x.NumDecimalPlaces(), y.NumDecimalPlaces());
    EXPECT_EQ(x.Required(), y.Required());
    EXPECT_EQ(x.SizeMarkerOffset(), y.SizeMarkerOffset());
    EXPECT_EQ(x.DataOffset(), y.DataOffset());
    EXPECT_EQ(x.NullFlagOffset(), y.NullFlagOffset());
    EXPECT_EQ(x.IsVariable(), y.IsVariable());
    EXPECT_EQ(x.FieldGeneratorID(), y.FieldGeneratorID());
    EXPECT_EQ(x.Hidden(), y.Hidden());
  }
  ASSERT_EQ(a.KeyFields().Count(), b.KeyFields().Count());
  for (int i = 0; i < a.KeyFields().Count(); ++i) {
    const TKeyFieldItem& x = *a.KeyFields().Items(i);
    const TKeyFieldItem& y = *b.KeyFields().Items(i);
    EXPECT_EQ(x.CaseInsensitive(), y.CaseInsensitive());
    EXPECT_EQ(x.Descending(), y.Descending());
    EXPECT_EQ(x.FieldSize(), y.FieldSize());
    EXPECT_EQ(x.DataType(), y.DataType());
    EXPECT_EQ(x.IsVariable(), y.IsVariable());
    EXPECT_EQ(x.FieldName(), y.FieldName());
    EXPECT_EQ(x.RecBufOffset(), y.RecBufOffset());
    EXPECT_EQ(x.NullFlagOffset(), y.NullFlagOffset());
    EXPECT_EQ(x.PhysicalFieldNo(), y.PhysicalFieldNo());
    EXPECT_EQ(x.IndexName(), y.IndexName());
    EXPECT_EQ(x.Hidden(), y.Hidden());
    EXPECT_EQ(x.SizeMarkerOffset(), y.SizeMarkerOffset());
    EXPECT_EQ(x.KeyIndex(), y.KeyIndex());
  }
  ASSERT_EQ(a.InternalIndexDefs().Count(), b.InternalIndexDefs().Count());
  for (int i = 0; i < a.InternalIndexDefs().Count(); ++i) {
    const TInternalIndexDef& x = *a.InternalIndexDefs().Items(i);
    const TInternalIndexDef& y = *b.InternalIndexDefs().Items(i);
    EXPECT_EQ(x.Hidden(), y.Hidden());
    EXPECT_EQ(x.Primary(), y.Primary());
    EXPECT_EQ(x.Unique(), y.Unique());
    EXPECT_EQ(x.IndexName(), y.IndexName());
    EXPECT_EQ(x.Maintained(), y.Maintained());
    EXPECT_EQ(x.Memory(), y.Memory());
    EXPECT_EQ(x.IndexPageSize(), y.IndexPageSize());
    EXPECT_EQ(x.MaximumKeySize(), y.MaximumKeySize());
    EXPECT_EQ(x.KeyDataOffset(), y.KeyDataOffset());
    EXPECT_EQ(x.IndexSequence(), y.IndexSequence());
    EXPECT_EQ(x.IndexKeyType(), y.IndexKeyType());
  }
}

std::vector<std::string> PropertyNames(const host::TPropertyTable& table) {
  std::vector<std::string> names;
  for (int i = 0; i < table.PropCount(); ++i) names.push_back(table.Prop(i).Name);
  return names;
}

TEST(TableDefText, PublishedPropertiesAreTheDefinitionsOwn) {
  EXPECT_EQ(PropertyNames(TTableDef::ClassProperties()),
            (std::vector<std::string>{"TableID", "OwnerFlag", "TableName", "AltName", "Version", "OS",
                                      "CreatedBy", "Password", "CreationDate", "LastModDate",
                                      "Encrypted", "SecurityLevel", "Memory", "RecordSize",
                                      "DefaultBlobSize", "UsesBlobs", "SortOrder", "InternalTable",
                                      "EncryptionLevel", "KeyFields", "InternalFields",
                                      "InternalIndexDefs"}));
  EXPECT_EQ(PropertyNames(TInternalFieldItem::ClassProperties()),
            (std::vector<std::string>{"FieldName", "FieldNo", "FieldIndex", "DataType", "FieldSize",
                                      "NumDecimalPlaces", "Required", "SizeMarkerOffset",
                                      "DataOffset", "NullFlagOffset", "IsVariable",
                                      "FieldGeneratorID", "Hidden"}));
  EXPECT_EQ(PropertyNames(TKeyFieldItem::ClassProperties()),
            (std::vector<std::string>{"CaseInsensitive", "Descending", "FieldSize", "DataType",
                                      "IsVariable", "FieldName", "RecBufOffset", "NullFlagOffset",
                                      "PhysicalFieldNo", "IndexName", "Hidden", "SizeMarkerOffset",
                                      "KeyIndex"}));
  EXPECT_EQ(PropertyNames(TInternalIndexDef::ClassProperties()),
            (std::vector<std::string>{"Hidden", "Primary", "Unique", "IndexName", "Maintained",
                                      "Memory", "IndexPageSize", "MaximumKeySize", "KeyDataOffset",
                                      "IndexSequence", "IndexKeyType"}));
  // No defaults: every property is written, whatever its value.
  for (const host::TPropertyTable* t :
       {&TTableDef::ClassProperties(), &TInternalFieldItem::ClassProperties(),
        &TKeyFieldItem::ClassProperties(), &TInternalIndexDef::ClassProperties()})
    for (int i = 0; i < t->PropCount(); ++i) EXPECT_FALSE(t->Prop(i).HasDefault) << t->Prop(i).Name;
  TTableDef empty(nullptr);
  EXPECT_EQ(TableDefToText(empty),
            "object TTableDef\r\n  TableID = 0\r\n  OwnerFlag = 0\r\n  TableName = ''\r\n"
            "  AltName = ''\r\n  Version = ''\r\n  OS = ''\r\n  CreatedBy = ''\r\n"
            "  Password = ''\r\n  CreationDate = 0\r\n  LastModDate = 0\r\n  Encrypted = False\r\n"
            "  SecurityLevel = 0\r\n  Memory = False\r\n  RecordSize = 0\r\n"
            "  DefaultBlobSize = 512\r\n  UsesBlobs = False\r\n  SortOrder = soANSI\r\n"
            "  InternalTable = False\r\n  EncryptionLevel = encNone\r\n  KeyFields = <>\r\n"
            "  InternalFields = <>\r\n  InternalIndexDefs = <>\r\nend\r\n");
}

TEST(TableDefText, EveryPublishedPropertyRoundTrips) {
  for (auto build : {&BuildRichDefinition, &BuildHiddenIndexDefinition}) {
    TTableDef def(nullptr);
    build(def);
    const std::string text = TableDefToText(def);
    TTableDef back(nullptr);
    TextToTableDef(text, back);
    ExpectSameDefinition(def, back);
    EXPECT_EQ(TableDefToText(back), text);
  }
  // The hidden index and the key field types are there as written.
  TTableDef def(nullptr);
  BuildHiddenIndexDefinition(def);
  const std::string text = TableDefToText(def);
  EXPECT_NE(text.find("      Hidden = True\r\n      Primary = False\r\n"), std::string::npos);
  EXPECT_NE(text.find("      IndexName = '_LogicalRecNo'\r\n"), std::string::npos);
  BuildRichDefinition(def);
  EXPECT_NE(TableDefToText(def).find("  AltName = #0#1#2''''#127#255'A'#0#13#10#156\r\n"),
            std::string::npos);
}

TEST(TableDefText, AbsentPropertiesTakeANewDefinitionsValues) {
  TTableDef def(nullptr);
  BuildRichDefinition(def);
  def.SetPrivilegeFlags(0x55);
  TextToTableDef("object TTableDef\r\n  TableName = 'T'\r\nend\r\n", def);
  EXPECT_EQ(def.TableName(), "T");
  // Never 0, which would leave a table with BLOBs unopenable.
  EXPECT_EQ(def.DefaultBlobSize(), 512);
  EXPECT_EQ(def.TableID(), 0);
  EXPECT_EQ(def.EncryptionLevel(), encNone);
  EXPECT_EQ(def.InternalFields().Count(), 0);
  // What is not published is not the text's business.
  EXPECT_EQ(def.PrivilegeFlags(), 0x55);
}

TEST(TableDefText, ADefinitionReadBackOpensItsTable) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TTestDatabaseFile db(dir / "stored.tav", /*create=*/true);
  TTableDef def(nullptr);
  BuildTableDef(def, "PEOPLE", false, {{"ID", host::ftInteger}, {"NAME", host::ftString, 20}},
                {{"ById", "ID", true}, {"ByName", "NAME", false, false, true, true}});
  ASSERT_EQ(db.Tables().CreateTableDef("PEOPLE", def), 0);
  TTableDef stored(nullptr);
  TextToTableDef(TableDefToText(def), stored);
  // The field list's layout is derived, not stored: an opener lays it out
  // again, and it comes out as the stored offsets and record size say.
  TInternalFields& fields = stored.InternalFields();
  fields.SetDefaultOffsets();
  fields.Open();
  EXPECT_EQ(fields.RecordSize(), stored.RecordSize());
  for (int i = 0; i < fields.Count(); ++i)
    EXPECT_EQ(fields.Items(i)->DataOffset(), def.InternalFields().Items(i)->DataOffset());
  {
    TTableConnection t(db.Tables(), stored);
    for (int i = 0; i < 50; ++i) {
      std::vector<uint8_t> rec = t.NewRecord();
      t.SetInteger(rec, "ID", i);
      t.SetString(rec, "NAME", "n" + std::to_string(i % 7));
      t.Insert(rec);
    }
    EXPECT_EQ(CheckIndexesAgree(t), "");
    EXPECT_EQ(t.Find("ByName", host::Variant("N3")).size(), 7u);
  }
}

// ---- damaged definitions ----

std::string UnreadableDetail(const std::string& text, TTableDef& def) {
  EXPECT_EQ(EngineErrorOf(8581, [&] { TextToTableDef(text, def); }).find(kTableDefUnreadable) !=
                std::string::npos,
            true);
  // The reader's own message is logged just before the error's line.
  const std::vector<std::string> items = GDBLogger()->LogItems();
  return items.size() < 2 ? std::string() : items[items.size() - 2];
}

TEST(TableDefText, DamageRaises8581AndLeavesTheDefinitionAsItWas) {
  TavEngineStartup();
  GDBLogger()->Clear();
  TTableDef def(nullptr);
  BuildRichDefinition(def);
  const std::string before = TableDefToText(def);
  const std::string head = "object TTableDef\r\n";
  struct TCase {
    std::string text;
    std::string detail;  // a part of the logged reader message
  };
  const std::vector<TCase> cases = {
      {"", "'object' expected on line 1"},
      {"object TComponent\r\nend", "Class TComponent is not a TTableDef on line 1"},
      {head + "  Colour = 3\r\nend", "Property TTableDef.Colour does not exist on line 2"},
      {head + "  TableID = 'x'\r\nend", "Invalid property value on line 2"},
      {head + "  OwnerFlag = -1\r\nend", "Invalid property value on line 2"},
      {head + "  SortOrder = soEBCDIC\r\nend", "Invalid property value on line 2"},
      {head + "  InternalFields = <\r\n    item\r\n      DataType = ftCursor\r\n    end>\r\nend",
       "Error reading TInternalFieldItem.DataType"},
      {head + "  InternalFields = <\r\n    item\r\n      DataType = ftNothing\r\n    end>\r\nend",
       "Invalid property value on line 4"},
      {head + "  InternalFields = <\r\n    item\r\n      FieldName = 'A'\r\n    end>\r\nend",
       "A field has no type"},
      {head + "  KeyFields = <\r\n    item\r\n      KeyFields = <>\r\n    end>\r\nend",
       "Property TKeyFieldItem.KeyFields does not exist on line 4"},
      {head + "  object Inner: TTableDef\r\n  end\r\nend", "Too many components on line 2"},
      {head + "  Password = '" + std::string(3000, 'p') + "'" +
           std::string(30, 0) + "\r\nend",
       "Invalid character #0 on line 2"},
      {head + "  TableName = 'x'\r\n", "'end' expected on line 3"},
      {head + "end\r\nend", "Text after the end of the root object on line 3"},
  };
  for (const TCase& c : cases) {
    const std::string detail = UnreadableDetail(c.text, def);
    EXPECT_NE(detail.find(c.detail), std::string::npos) << detail;
    EXPECT_EQ(TableDefToText(def), before) << c.text;
  }
  // A string longer than any definition holds, in pieces under the line
  // limit.
  std::string huge = head + "  AltName = ''";
  for (int i = 0; i < 2000; ++i) huge += " +\r\n    '" + std::string(64, 'a') + "'";
  UnreadableDetail(huge + "\r\nend", def);
  EXPECT_EQ(TableDefToText(def), before);
}

void Fuzz(const std::string& text) {
  ASSERT_NO_THROW(FuzzReadTableDefText(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
      << text;
}

TEST(TableDefText, TruncatedAtEveryByteRaises8581) {
  TTableDef def(nullptr);
  BuildRichDefinition(def);
  const std::string text = TableDefToText(def);
  // Cut at every line end, and at every byte of the first lines and of
  // every item's header.
  for (size_t n = 0; n < text.size(); ++n) {
    if (n > 400 && text[n] != '\r' && text.compare(n, 4, "item") != 0) continue;
    TTableDef back(nullptr);
    if (n < text.size() - 2) {
      EXPECT_EQ(ErrorCodeOf([&] { TextToTableDef(text.substr(0, n), back); }), 8581) << n;
    }
    Fuzz(text.substr(0, n));
  }
}

TEST(TableDefText, RandomDamageNeverCrashes) {
  TTableDef def(nullptr);
  BuildRichDefinition(def);
  const std::string text = TableDefToText(def);
  std::mt19937 rng(1209);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = text;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < flips; ++i) {
      const size_t at = rng() % damaged.size();
      switch (rng() % 4) {
        case 0:
          damaged[at] = static_cast<char>(rng());
          break;
        case 1:
          damaged[at] = "0123456789-'#<>=\n"[rng() % 17];
          break;
        case 2:
          damaged.erase(at, 1 + rng() % 16);
          break;
        default:
          // A line repeated: collections grow, properties come twice.
          const size_t start = damaged.rfind('\n', at) + 1;
          const size_t end = damaged.find('\n', at);
          if (end != std::string::npos) damaged.insert(start, damaged.substr(start, end - start + 1));
          break;
      }
      if (damaged.empty()) damaged = "o";
    }
    Fuzz(damaged);
  }
}

}  // namespace
}  // namespace tav::test

#include "engine/expr/schema_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/expr/pre_parser.h"
#include "engine/expr/testing/expr_test_support.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

// One statement, read from the single stack as the query provider reads it.
struct Schema {
  explicit Schema(const std::string& text) {
    pre.SetParseSingleStack(true);
    pre.SetText(text);
    pre.PreParseTokens();
    ok = parser.Execute(TTavParserOptions{tpoExtSyntax}, pre.GetSingleStack());
  }
  TTavPreParser pre;
  TTavSchemaManipulationParser parser;
  bool ok = false;
};

// The table the statements are checked against: a integer, B string(20),
// c date; index PK (primary) on a, ByB on B;c.
struct Table : testing::TSchemaTestTable {
  Table()
      : TSchemaTestTable({{"a", host::ftInteger}, {"B", host::ftString}, {"c", host::ftDate}},
                         {{"PK", "a", {host::ixPrimary}}, {"ByB", "B;c", {}}}) {}
};

struct ErrorCase {
  const char* text;
  const char* message;
};

TEST(SchemaParserTest, RefusedStatementsGiveTheirMessageAndPlace) {
  const ErrorCase cases[] = {
      {"CREATE TEMPORARY TABLE t (a INT)",
       "Create statment is invalid Line 1, Character 8. Token 'TEMPORARY'"},
      {"CREATE UNIQUE TABLE t (a INT)", "Create statment is invalid Line 1, Character 15. Token 'TABLE'"},
      {"CREATE TABLE t a INT)", "Missing Left Parenthesis Line 1, Character 16. Token 'a'"},
      {"CREATE TABLE (a INT)", "Invalid token Line 1, Character 13. Token '('"},
      {"CREATE TABLE t (a INT, , b INT)",
       "Column specification is missing Line 1, Character 23. Token ','"},
      {"CREATE TABLE t (a INT b INT)", "Missing Right Parenthesis Line 1, Character 23. Token 'b'"},
      {"CREATE TABLE t (a FOO)", "Unknown Datatype Line 1, Character 19. Token 'FOO'"},
      {"CREATE TABLE t (a INT NOT 5)", "Invalid token Line 1, Character 27. Token '5'"},
      {"CREATE TABLE t (a VARCHAR(x))",
       "Data type length/precision not specified Line 1, Character 27. Token 'x'"},
      {"CREATE TABLE t (a INT, PRIMARY KEY a)",
       "Missing Left Parenthesis Line 1, Character 36. Token 'a'"},
      {"CREATE INDEX ON t (a)", "Invalid token Line 1, Character 14. Token 'ON'"},
      {"CREATE INDEX i t (a)", "Missing ON token Line 1, Character 16. Token 't'"},
      {"CREATE INDEX i ON t (a,)", "Column specification is missing Line 1, Character 24. Token ')'"},
      {"CREATE INDEX i ON t (a b)", "Missing Right Parenthesis Line 1, Character 24. Token 'b'"},
      {"ALTER t ADD a INT", "Alter table statment is invalid Line 1, Character 7. Token 't'"},
      {"ALTER TABLE t RENAME a", "Invalid token Line 1, Character 15. Token 'RENAME'"},
      {"ALTER TABLE t ADD a INT,, DROP b",
       "Column specification is missing Line 1, Character 25. Token ','"},
      {"ALTER TABLE t ALTER a SIZE 5", "Invalid token Line 1, Character 23. Token 'SIZE'"},
      {"ALTER TABLE t ADD a INT) x",
       "Update statement incorrectly terminated Line 1, Character 24. Token ')'"},
      {"DROP VIEW v", "Drop statment is invalid Line 1, Character 6. Token 'VIEW'"},
      {"DROP TABLE t x", "Update statement incorrectly terminated Line 1, Character 14. Token 'x'"},
      {"DROP INDEX i", "Invalid token Line 1, Character 12. Token 'i'"},
      {"DROP INDEX t.\n  (", "Invalid token Line 2, Character 3. Token '('"},
  };
  for (const ErrorCase& c : cases) {
    Schema s(c.text);
    EXPECT_FALSE(s.ok) << c.text;
    EXPECT_EQ(s.parser.GetErrorMsg(), c.message) << c.text;
  }
  // At the end of the text the message stands alone but for the place.
  for (const char* text : {"CREATE TABLE t (a INT", "ALTER TABLE t", "CREATE INDEX i ON t (a"}) {
    Schema s(text);
    EXPECT_FALSE(s.ok) << text;
    EXPECT_NE(s.parser.ErrorToken, nullptr) << text;
  }
}

TEST(SchemaParserTest, StatementsGiveTheirDefinitions) {
  {
    Schema s("CREATE TABLE t (a INT NOT NULL, b VARCHAR(20), c DECIMAL(10,2), m BLOB(0,1), "
             "id AUTOINC, PRIMARY KEY (a, b))");
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    const auto& p = s.parser;
    EXPECT_EQ(p.Operation, ddCreateTable);
    EXPECT_EQ(p.TableName, "t");
    EXPECT_FALSE(p.TemporaryTable);
    ASSERT_EQ(p.AddedFields.Count(), 5);
    struct Want {
      const char* name;
      host::TFieldType type;
      int size, decimals;
      bool required;
    };
    const Want want[] = {{"a", host::ftInteger, 0, 0, true},
                         {"b", host::ftString, 20, 0, false},
                         {"c", host::ftFloat, 10, 2, false},
                         {"m", host::ftMemo, 0, 1, false},
                         {"id", host::ftAutoInc, 0, 0, false}};
    for (int i = 0; i < 5; ++i) {
      const TInternalFieldItem* f = p.AddedFields.Items(i);
      EXPECT_EQ(f->FieldName(), want[i].name);
      EXPECT_EQ(f->DataType(), want[i].type) << want[i].name;
      EXPECT_EQ(f->FieldSize(), want[i].size) << want[i].name;
      EXPECT_EQ(f->NumDecimalPlaces(), want[i].decimals) << want[i].name;
      EXPECT_EQ(f->Required(), want[i].required) << want[i].name;
      ASSERT_NE(p.FieldToken(f), nullptr);
      EXPECT_EQ(p.FieldToken(f)->Text, want[i].name);
    }
    EXPECT_EQ(p.IndexOptions, host::TIndexOptions{host::ixPrimary});
    EXPECT_EQ(p.GetIndexFieldsAsText(), "a;b");
  }
  {
    Schema s("CREATE TABLE t (d DOUBLE PRECISION NOT NULL, e VARCHAR(5))");
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    ASSERT_EQ(s.parser.AddedFields.Count(), 2);
    EXPECT_EQ(s.parser.AddedFields.Items(0)->DataType(), host::ftFloat);
    EXPECT_TRUE(s.parser.AddedFields.Items(0)->Required());
  }
  {
    Schema s("CREATE TABLE TEMPORARY t (a INT)");
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.parser.TemporaryTable);
  }
  {
    Schema s("CREATE UNIQUE DESC INDEX i ON t (a, b)");
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    EXPECT_EQ(s.parser.Operation, ddCreateIndex);
    EXPECT_EQ(s.parser.IndexName, "i");
    EXPECT_EQ(s.parser.TableName, "t");
    EXPECT_EQ(s.parser.IndexOptions, (host::TIndexOptions{host::ixUnique, host::ixDescending}));
    EXPECT_EQ(s.parser.GetIndexFieldsAsText(), "a;b");
  }
  {
    Schema s("CREATE ASC INDEX i ON TEMPORARY t ()");
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    EXPECT_TRUE(s.parser.IndexOptions.Empty());
    EXPECT_TRUE(s.parser.TemporaryTable);
    EXPECT_EQ(s.parser.IndexFields.Count(), 0);
  }
  {
    Schema s("ALTER TABLE t ALTER COLUMN a TO b, ADD c VARCHAR(10) NOT NULL, DROP COLUMN d, "
             "ALTER e TYPE SMALLINT");
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    const auto& p = s.parser;
    EXPECT_EQ(p.Operation, ddAlterTable);
    ASSERT_EQ(p.AlteredFields.Count(), 2);
    EXPECT_EQ(p.AlteredFields.Items(0)->FieldGeneratorID(), aoAlterName);
    EXPECT_EQ(p.AlteredFields.Items(0)->SourceField(), "a");
    EXPECT_EQ(p.AlteredFields.Items(0)->FieldName(), "b");
    EXPECT_EQ(p.AlteredFields.Items(1)->FieldGeneratorID(), aoAlterType);
    EXPECT_EQ(p.AlteredFields.Items(1)->DataType(), host::ftSmallint);
    ASSERT_EQ(p.AddedFields.Count(), 1);
    EXPECT_TRUE(p.AddedFields.Items(0)->Required());
    EXPECT_EQ(p.AddedFields.Items(0)->FieldSize(), 10);
    ASSERT_EQ(p.DroppedFields.Count(), 1);
    EXPECT_EQ(p.DroppedFields.Items(0)->FieldName(), "d");
  }
  for (const char* text : {"DROP INDEX t.primary", "DROP INDEX TEMPORARY t.PRIMARY"}) {
    Schema s(text);
    ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
    EXPECT_EQ(s.parser.Operation, ddDropIndex);
    EXPECT_EQ(s.parser.TableName, "t");
    EXPECT_EQ(s.parser.IndexOptions, host::TIndexOptions{host::ixPrimary});
  }
  {
    Schema s("DROP TABLE TEMPORARY t");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.parser.Operation, ddDropTable);
    EXPECT_TRUE(s.parser.TemporaryTable);
  }
  {
    // A second statement starts afresh.
    Schema s("DROP INDEX t.ByB");
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.parser.IndexOptions.Empty());
  }
}

TEST(SchemaParserTest, ValidationAgainstTheTable) {
  Table table;
  const ErrorCase cases[] = {
      {"ALTER TABLE t ADD A INT", "Field already exists : A Line 1, Character 19. Token 'A'"},
      {"ALTER TABLE t DROP x", "Field not found : x Line 1, Character 20. Token 'x'"},
      {"ALTER TABLE t ALTER COLUMN x TO y", "Field not found : x Line 1, Character 28. Token 'x'"},
      {"ALTER TABLE t ALTER a TO b", "Field already exists : b Line 1, Character 26. Token 'b'"},
      {"ALTER TABLE t ALTER x TYPE INT", "Field not found : x Line 1, Character 21. Token 'x'"},
      // A name given twice in one statement.
      {"ALTER TABLE t ADD d INT, ADD D INT",
       "Field already exists : D Line 1, Character 30. Token 'D'"},
      {"ALTER TABLE t ADD d INT, ALTER a TO d",
       "Field already exists : d Line 1, Character 37. Token 'd'"},
      // A column taken away earlier in the statement is no longer there.
      {"ALTER TABLE t DROP a, DROP A", "Field not found : A Line 1, Character 28. Token 'A'"},
      {"ALTER TABLE t ALTER a TO z, DROP a",
       "Field not found : a Line 1, Character 21. Token 'a'"},
      {"ALTER TABLE t ALTER a TO z, ALTER a TYPE INT",
       "Field not found : a Line 1, Character 35. Token 'a'"},
      {"CREATE INDEX i ON t (a, zz)", "Field not found : zz Line 1, Character 25. Token 'zz'"},
      {"CREATE INDEX byb ON t (a)", "Index already exists"},
      {"CREATE INDEX i ON t ()", "No index columns specified"},
      {"DROP INDEX t.nope", "Index not found"},
  };
  for (const ErrorCase& c : cases) {
    Schema s(c.text);
    ASSERT_TRUE(s.ok) << c.text << ": " << s.parser.GetErrorMsg();
    EXPECT_FALSE(s.parser.ValidateTableChanges(table.fields, &table.indexes)) << c.text;
    EXPECT_EQ(s.parser.GetErrorMsg(), c.message) << c.text;
  }
  for (const char* text : {"ALTER TABLE t ALTER COLUMN A TO z, DROP C, ADD d INT",
                           "CREATE INDEX i ON t (A, b)", "DROP INDEX t.primary",
                           "DROP INDEX t.BYB", "CREATE TABLE x (a INT)", "DROP TABLE x"}) {
    Schema s(text);
    ASSERT_TRUE(s.ok) << text;
    EXPECT_TRUE(s.parser.ValidateTableChanges(table.fields, &table.indexes))
        << text << ": " << s.parser.GetErrorMsg();
  }
  Schema s("CREATE INDEX i ON t (a)");
  EXPECT_THROW(s.parser.ValidateTableChanges(table.fields, nullptr), host::EAssertionFailed);
}

std::vector<std::string> Names(const TRestructureFieldDefs& defs) {
  std::vector<std::string> out;
  for (int i = 0; i < defs.Count(); ++i)
    out.push_back(defs.Items(i)->Name() + "<" + defs.Items(i)->SourceFieldName());
  return out;
}

TEST(SchemaParserTest, RestructureDefinitions) {
  Table table;
  Schema s("ALTER TABLE t DROP c, ADD d VARCHAR(5) NOT NULL, ALTER COLUMN A TO z, "
           "ALTER b TYPE DECIMAL(8,3) NOT NULL");
  ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg();
  ASSERT_TRUE(s.parser.ValidateTableChanges(table.fields, &table.indexes));
  s.parser.SetRestructureFieldDefs(table.fieldDefs);
  EXPECT_EQ(Names(table.fieldDefs), (std::vector<std::string>{"z<a", "B<B", "d<"}));
  const TRestructureFieldDef* b = table.fieldDefs.Items(1);
  EXPECT_EQ(b->DataType(), host::ftFloat);
  EXPECT_EQ(b->Size(), 8);
  EXPECT_EQ(b->Precision(), 3);
  EXPECT_TRUE(b->Required());
  const TRestructureFieldDef* d = table.fieldDefs.Items(2);
  EXPECT_EQ(d->DataType(), host::ftString);
  EXPECT_EQ(d->Size(), 5);
  EXPECT_TRUE(d->Required());
  s.parser.SetRestructureIndexDefs(table.indexDefs);
  EXPECT_EQ(table.indexDefs.Items(0)->Fields(), "z");
  EXPECT_EQ(table.indexDefs.Items(1)->Fields(), "B;c");

  Schema create("CREATE UNIQUE INDEX i ON t (z, B)");
  ASSERT_TRUE(create.ok);
  create.parser.SetRestructureIndexDefs(table.indexDefs);
  ASSERT_EQ(table.indexDefs.Count(), 3);
  EXPECT_EQ(table.indexDefs.Items(2)->Name(), "i");
  EXPECT_EQ(table.indexDefs.Items(2)->Fields(), "z;B");
  EXPECT_EQ(table.indexDefs.Items(2)->Options(), host::TIndexOptions{host::ixUnique});
  // Other statements leave the field definitions alone.
  create.parser.SetRestructureFieldDefs(table.fieldDefs);
  EXPECT_EQ(table.fieldDefs.Count(), 3);

  Schema dropPrimary("DROP INDEX t.Primary");
  ASSERT_TRUE(dropPrimary.ok);
  dropPrimary.parser.SetRestructureIndexDefs(table.indexDefs);
  Schema dropByName("DROP INDEX t.byb");
  ASSERT_TRUE(dropByName.ok);
  dropByName.parser.SetRestructureIndexDefs(table.indexDefs);
  ASSERT_EQ(table.indexDefs.Count(), 1);
  EXPECT_EQ(table.indexDefs.Items(0)->Name(), "i");
}

}  // namespace
}  // namespace tav

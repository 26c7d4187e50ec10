// TTavSchemaManipulationParser: the CREATE, ALTER and DROP statements.
// Execute reads one statement from the single token stack of the pre-parser
// (CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE, DROP INDEX);
// ValidateTableChanges checks it against the table's present columns and
// indexes; SetRestructureFieldDefs and SetRestructureIndexDefs turn it into
// the restructure definitions the table layer applies.
//
// Callers must keep:
//  - Errors are recorded (first one wins), never raised; the caller reads
//    them with GetErrorMsg. A validation error about a column stands at the
//    column's token, one about the whole index at none.
//  - The tokens stay the pre-parser's: it must outlive the parser's use of
//    ErrorToken, FieldToken and IndexFields' objects.
//  - Columns are matched without regard to case throughout.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "engine/expr/base_parser.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/table/restructure_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"

namespace tav {

enum TSQLSchemaManipulationOp : uint8_t {
  ddUnknown, ddCreateTable, ddAlterTable, ddCreateIndex, ddDropTable, ddDropIndex
};

enum TAlterColumnOperation : uint8_t {
  aoUnknown, aoAdd, aoDrop, aoAlterAny, aoAlterName, aoAlterType
};

class TTavSchemaManipulationParser : public TBaseParser {
 public:
  TTavSchemaManipulationParser();

  // Parses one statement; true when no error was recorded.
  bool Execute(TTavParserOptions options, TParserStack* stack) override;
  // Checks the statement against the table's fields and indexes (the indexes
  // are needed for CREATE INDEX); true when no error was recorded.
  bool ValidateTableChanges(const TInternalFields& tableFields, const host::TIndexDefs* indexDefs);
  // ALTER TABLE: drops, adds, renames and retypes the definitions.
  void SetRestructureFieldDefs(TRestructureFieldDefs& defs) const;
  // CREATE INDEX adds, DROP INDEX deletes, ALTER TABLE renames columns in
  // the index definitions.
  void SetRestructureIndexDefs(TRestructureIndexDefs& defs) const;
  // The index columns joined by ";".
  std::string GetIndexFieldsAsText() const;

  void SetTableName(const std::string& value) { TableName = value; }
  void SetTemporaryTable(bool value) { TemporaryTable = value; }

  // The token naming an item of the three field lists (for a rename, the
  // new name), and a rename's token of the old name; nullptr for none.
  const TParserToken* FieldToken(const TInternalFieldItem* item) const;
  const TParserToken* SourceFieldToken(const TInternalFieldItem* item) const;

  // The parsed columns. In AlteredFields, FieldGeneratorID is the alteration:
  // aoAlterName (SourceField the old name, FieldName the new one) or
  // aoAlterType.
  TInternalFields AddedFields;
  TInternalFields DroppedFields;
  TInternalFields AlteredFields;
  // The index columns; each one's object is its token (borrowed).
  host::TStringList IndexFields;
  host::TIndexOptions IndexOptions;
  TSQLSchemaManipulationOp Operation = ddUnknown;
  std::string TableName;
  std::string IndexName;
  bool TemporaryTable = false;

 private:
  struct TColumnTokens {
    const TParserToken* Name = nullptr;
    const TParserToken* Source = nullptr;
  };

  void ParseCreate();
  void ParseCreateTable();
  void ParseCreateIndex();
  void ParseAlter();
  void ParseAlteration();
  void ParseDrop();
  // TEMPORARY, when it stands here.
  void ParseTemporary();
  // A name: the text of any token but punctuation, ON and the end (there
  // "Invalid token").
  const TParserToken* ParseName();
  // A column name and its type into `fields`; nullptr after an error.
  TInternalFieldItem* ParseColumnDefinition(TInternalFields& fields);
  // The type of `item` from the current token on.
  bool ParseColumnType(TInternalFieldItem& item);
  void ParseIndexColumns();
  // Whether a list slot is empty (a comma, ")" or the end stands in it).
  bool SlotIsEmpty() const;
  TInternalFieldItem* AddColumn(TInternalFields& fields, const TParserToken* name);
  // "<message> : <name>" at the column's token.
  void ColumnError(const TParserToken* token, const char* message, const std::string& name);

  std::unordered_map<const TInternalFieldItem*, TColumnTokens> tokens_;
};

}  // namespace tav

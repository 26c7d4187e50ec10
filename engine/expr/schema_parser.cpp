#include "engine/expr/schema_parser.h"

#include <vector>

#include "engine/expr/clause_parsers.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// The restructure definition named `name`, without regard to case.
TRestructureFieldDef* FindFieldDef(const TRestructureFieldDefs& defs, const std::string& name) {
  for (int i = 0; i < defs.Count(); ++i) {
    if (host::AnsiSameText(defs.Items(i)->Name(), name)) return defs.Items(i);
  }
  return nullptr;
}

// The index named `name`, or the primary index when `primary`.
template <class Defs>
int FindIndex(const Defs& defs, const std::string& name, bool primary) {
  for (int i = 0; i < defs.Count(); ++i) {
    const auto* def = defs.Items(i);
    if (primary ? def->Options().Contains(host::ixPrimary) : host::AnsiSameText(def->Name(), name))
      return i;
  }
  return -1;
}

bool ContainsName(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (host::AnsiSameText(n, name)) return true;
  }
  return false;
}

}  // namespace

TTavSchemaManipulationParser::TTavSchemaManipulationParser() {
  SetEndTokens({tstUnknown, tstEnd});
}

bool TTavSchemaManipulationParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  AddedFields.Clear();
  DroppedFields.Clear();
  AlteredFields.Clear();
  IndexFields.Clear();
  tokens_.clear();
  Operation = ddUnknown;
  IndexOptions = {};
  TemporaryTable = false;
  switch (CurrentTokenType()) {
    case tstCreate: ParseCreate(); break;
    case tstAlter: ParseAlter(); break;
    case tstDrop: ParseDrop(); break;
    default: break;
  }
  if (!HasParseError() && !AtEndToken())
    SetError(CurrentToken, "Update statement incorrectly terminated");
  return !HasParseError();
}

// ---- statements ----

void TTavSchemaManipulationParser::ParseCreate() {
  NextToken();
  if (CurrentTokenType() == tstTable) {
    NextToken();
    ParseCreateTable();
    return;
  }
  if (CurrentTokenType() == tstUnique) {
    IndexOptions.Include(host::ixUnique);
    NextToken();
  }
  if (CurrentTokenType() == tstAscending) {
    NextToken();
  } else if (CurrentTokenType() == tstDescending) {
    IndexOptions.Include(host::ixDescending);
    NextToken();
  }
  if (!Expect(tstIndex, "Create statment is invalid")) return;
  ParseCreateIndex();
}

void TTavSchemaManipulationParser::ParseCreateTable() {
  Operation = ddCreateTable;
  ParseTemporary();
  const TParserToken* name = ParseName();
  if (name == nullptr) return;
  TableName = name->Text;
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return;
  for (;;) {
    if (CurrentTokenType() == tstPrimaryKey) {
      IndexOptions = {host::ixPrimary};
      NextToken();
      ParseIndexColumns();
      if (HasParseError()) return;
      break;
    }
    if (SlotIsEmpty()) {
      SetError(CurrentToken, "Column specification is missing");
      return;
    }
    if (ParseColumnDefinition(AddedFields) == nullptr) return;
    if (CurrentTokenType() != tstComma) break;
    NextToken();
  }
  Expect(tstRParen, "Missing Right Parenthesis");
}

void TTavSchemaManipulationParser::ParseCreateIndex() {
  Operation = ddCreateIndex;
  const TParserToken* index = ParseName();
  if (index == nullptr) return;
  IndexName = index->Text;
  if (!Expect(tstOn, "Missing ON token")) return;
  ParseTemporary();
  const TParserToken* table = ParseName();
  if (table == nullptr) return;
  TableName = table->Text;
  ParseIndexColumns();
}

void TTavSchemaManipulationParser::ParseAlter() {
  NextToken();
  if (!Expect(tstTable, "Alter table statment is invalid")) return;
  Operation = ddAlterTable;
  ParseTemporary();
  const TParserToken* name = ParseName();
  if (name == nullptr) return;
  TableName = name->Text;
  for (;;) {
    if (SlotIsEmpty() || CurrentTokenType() == tstPrimaryKey) {
      SetError(CurrentToken, "Column specification is missing");
      return;
    }
    ParseAlteration();
    if (HasParseError() || CurrentTokenType() != tstComma) return;
    NextToken();
  }
}

void TTavSchemaManipulationParser::ParseAlteration() {
  const TTavSQLToken kind = CurrentTokenType();
  if (kind != tstAddWord && kind != tstDrop && kind != tstAlter) {
    SetError(CurrentToken, "Invalid token");
    return;
  }
  NextToken();
  if (CurrentTokenType() == tstColumn) NextToken();
  if (kind == tstAddWord) {
    ParseColumnDefinition(AddedFields);
    return;
  }
  const TParserToken* column = ParseName();
  if (column == nullptr) return;
  if (kind == tstDrop) {
    AddColumn(DroppedFields, column);
    return;
  }
  if (CurrentTokenType() == tstTo) {
    NextToken();
    const TParserToken* newName = ParseName();
    if (newName == nullptr) return;
    TInternalFieldItem* item = AddColumn(AlteredFields, newName);
    item->SetSourceField(column->Text);
    item->SetFieldGeneratorID(aoAlterName);
    tokens_[item].Source = column;
  } else if (CurrentTokenType() == tstType) {
    NextToken();
    TInternalFieldItem* item = AddColumn(AlteredFields, column);
    item->SetFieldGeneratorID(aoAlterType);
    ParseColumnType(*item);
  } else {
    SetError(CurrentToken, "Invalid token");
  }
}

void TTavSchemaManipulationParser::ParseDrop() {
  NextToken();
  if (CurrentTokenType() == tstTable) {
    NextToken();
    Operation = ddDropTable;
    ParseTemporary();
    if (const TParserToken* name = ParseName()) TableName = name->Text;
    return;
  }
  if (!Expect(tstIndex, "Drop statment is invalid")) return;
  Operation = ddDropIndex;
  ParseTemporary();
  // table.index: the tokenizer marks the word before the dot as a table.
  if (CurrentTokenType() != tstTableName) {
    SetError(CurrentToken, "Invalid token");
    return;
  }
  TableName = CurrentToken->Text;
  NextToken();
  const TParserToken* index = ParseName();
  if (index == nullptr) return;
  IndexName = index->Text;
  if (host::SameText(IndexName, "primary")) IndexOptions = {host::ixPrimary};
}

// ---- pieces ----

void TTavSchemaManipulationParser::ParseTemporary() {
  if (CurrentTokenType() != tstTemporary) return;
  TemporaryTable = true;
  NextToken();
}

const TParserToken* TTavSchemaManipulationParser::ParseName() {
  // Punctuation and ON stand where a name is missing.
  static constexpr TTavSQLTokens kNoName{tstEnd, tstLParen, tstRParen, tstComma, tstOn};
  const TParserToken* name = CurrentToken;
  if (name == nullptr || kNoName.Contains(name->Token)) {
    SetError(name, "Invalid token");
    return nullptr;
  }
  NextToken();
  return name;
}

bool TTavSchemaManipulationParser::SlotIsEmpty() const {
  const TTavSQLToken t = CurrentTokenType();
  return CurrentToken == nullptr || t == tstComma || t == tstRParen || t == tstEnd;
}

TInternalFieldItem* TTavSchemaManipulationParser::AddColumn(TInternalFields& fields,
                                                             const TParserToken* name) {
  TInternalFieldItem* item = fields.Add();
  item->SetFieldName(name->Text);
  tokens_[item].Name = name;
  return item;
}

TInternalFieldItem* TTavSchemaManipulationParser::ParseColumnDefinition(TInternalFields& fields) {
  const TParserToken* name = ParseName();
  if (name == nullptr) return nullptr;
  TInternalFieldItem* item = AddColumn(fields, name);
  return ParseColumnType(*item) ? item : nullptr;
}

bool TTavSchemaManipulationParser::ParseColumnType(TInternalFieldItem& item) {
  // The type parser reads on from here and hands the position back.
  TTavDataTypeParser typeParser;
  typeParser.SyncCurrToken(*this);
  typeParser.Execute(TTavParserOptions{tpoExtSyntax}, Stack);
  typeParser.SetAllowConstraints(true);
  typeParser.SetInvalidDataTypes({});
  if (!typeParser.ParseDataType(this)) {
    SetError(typeParser.ErrorToken, typeParser.ErrorMsg);
    return false;
  }
  item.SetDataType(typeParser.DataType);
  item.SetFieldSize(typeParser.FieldSize);
  if (typeParser.Scale >= 0) item.SetNumDecimalPlaces(typeParser.Scale);
  item.SetRequired(typeParser.NotNull);
  return true;
}

void TTavSchemaManipulationParser::ParseIndexColumns() {
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return;
  if (CurrentTokenType() == tstRParen) {
    NextToken();
    return;
  }
  for (;;) {
    if (SlotIsEmpty()) {
      SetError(CurrentToken, CurrentTokenType() == tstEnd || CurrentToken == nullptr
                                 ? "Missing Right Parenthesis"
                                 : "Column specification is missing");
      return;
    }
    IndexFields.AddObject(CurrentToken->Text, CurrentToken);
    NextToken();
    if (CurrentTokenType() != tstComma) break;
    NextToken();
  }
  Expect(tstRParen, "Missing Right Parenthesis");
}

std::string TTavSchemaManipulationParser::GetIndexFieldsAsText() const {
  std::string text;
  for (int i = 0; i < IndexFields.Count(); ++i) {
    if (i > 0) text += ';';
    text += IndexFields.Strings(i);
  }
  return text;
}

const TParserToken* TTavSchemaManipulationParser::FieldToken(const TInternalFieldItem* item) const {
  const auto it = tokens_.find(item);
  return it != tokens_.end() ? it->second.Name : nullptr;
}

const TParserToken* TTavSchemaManipulationParser::SourceFieldToken(
    const TInternalFieldItem* item) const {
  const auto it = tokens_.find(item);
  return it != tokens_.end() ? it->second.Source : nullptr;
}

// ---- validation ----

void TTavSchemaManipulationParser::ColumnError(const TParserToken* token, const char* message,
                                               const std::string& name) {
  SetError(token, std::string(message) + " : " + name);
}

bool TTavSchemaManipulationParser::ValidateTableChanges(const TInternalFields& tableFields,
                                                        const host::TIndexDefs* indexDefs) {
  switch (Operation) {
    case ddAlterTable: {
      // The names the statement gives: each may be given once, and only
      // when the table has no such column.
      std::vector<std::string> given;
      const auto claim = [&](const TInternalFieldItem* item, const std::string& name) {
        if (tableFields.FindField(name) != nullptr || ContainsName(given, name))
          ColumnError(FieldToken(item), "Field already exists", name);
        given.push_back(name);
      };
      // The columns the statement takes away (dropped, or renamed by an
      // earlier alteration). The definitions apply the drops first and the
      // alterations in order, so a later change to such a column would be
      // lost: it is no longer there.
      std::vector<std::string> gone;
      const auto present = [&](const TParserToken* token, const std::string& name) {
        const bool there = tableFields.FindField(name) != nullptr && !ContainsName(gone, name);
        if (!there) ColumnError(token, "Field not found", name);
        return there;
      };
      for (int i = 0; i < AddedFields.Count(); ++i)
        claim(AddedFields.Items(i), AddedFields.Items(i)->FieldName());
      for (int i = 0; i < DroppedFields.Count(); ++i) {
        const TInternalFieldItem* item = DroppedFields.Items(i);
        if (present(FieldToken(item), item->FieldName())) gone.push_back(item->FieldName());
      }
      for (int i = 0; i < AlteredFields.Count(); ++i) {
        const TInternalFieldItem* item = AlteredFields.Items(i);
        if (item->FieldGeneratorID() == aoAlterName) {
          claim(item, item->FieldName());
          if (present(SourceFieldToken(item), item->SourceField()))
            gone.push_back(item->SourceField());
        } else {
          present(FieldToken(item), item->FieldName());
        }
      }
      break;
    }
    case ddCreateIndex: {
      TAV_ASSERT(indexDefs != nullptr, "IndexDefs = nil in ValidateTableChanges");
      if (IndexFields.Count() == 0) SetError(nullptr, "No index columns specified");
      for (int i = 0; i < IndexFields.Count(); ++i) {
        const std::string name = IndexFields.Strings(i);
        if (tableFields.FindField(name) == nullptr)
          SetError(static_cast<const TParserToken*>(IndexFields.Objects(i)),
                   "Field not found : " + name);
      }
      if (FindIndex(*indexDefs, IndexName, IndexOptions.Contains(host::ixPrimary)) >= 0)
        SetError(nullptr, "Index already exists");
      break;
    }
    case ddDropIndex:
      if (indexDefs == nullptr ||
          FindIndex(*indexDefs, IndexName, IndexOptions.Contains(host::ixPrimary)) < 0)
        SetError(nullptr, "Index not found");
      break;
    default: break;
  }
  return !HasParseError();
}

// ---- restructure definitions ----

void TTavSchemaManipulationParser::SetRestructureFieldDefs(TRestructureFieldDefs& defs) const {
  if (Operation != ddAlterTable) return;
  for (int i = defs.Count() - 1; i >= 0; --i) {
    for (int j = 0; j < DroppedFields.Count(); ++j) {
      if (host::AnsiSameText(defs.Items(i)->Name(), DroppedFields.Items(j)->FieldName())) {
        defs.DeleteItem(i);
        break;
      }
    }
  }
  for (int i = 0; i < AddedFields.Count(); ++i) {
    const TInternalFieldItem* item = AddedFields.Items(i);
    TRestructureFieldDef* def = defs.AddFieldDef();
    def->SetName(item->FieldName());
    def->SetDataType(item->DataType());
    def->SetSize(item->FieldSize());
    def->SetPrecision(item->NumDecimalPlaces());
    def->SetRequired(item->Required());
  }
  for (int i = 0; i < AlteredFields.Count(); ++i) {
    const TInternalFieldItem* item = AlteredFields.Items(i);
    const std::string& old = item->SourceField().empty() ? item->FieldName() : item->SourceField();
    TRestructureFieldDef* def = FindFieldDef(defs, old);
    // Validation refuses a column that is not there; without it there is
    // nothing to change.
    if (def == nullptr) continue;
    if (item->FieldGeneratorID() == aoAlterName) {
      // The source keeps the stored spelling of the old name.
      def->SetSourceFieldName(def->Name());
      def->SetName(item->FieldName());
    } else {
      def->SetDataType(item->DataType());
      def->SetSize(item->FieldSize());
      def->SetPrecision(item->NumDecimalPlaces());
      def->SetRequired(item->Required());
    }
  }
}

void TTavSchemaManipulationParser::SetRestructureIndexDefs(TRestructureIndexDefs& defs) const {
  switch (Operation) {
    case ddCreateIndex:
      defs.AddAndSetIndexDef(IndexName, GetIndexFieldsAsText(), IndexOptions);
      break;
    case ddDropIndex: {
      const int at = FindIndex(defs, IndexName, IndexOptions.Contains(host::ixPrimary));
      if (at >= 0) defs.DeleteItem(at);
      break;
    }
    case ddAlterTable:
      for (int i = 0; i < AlteredFields.Count(); ++i) {
        const TInternalFieldItem* item = AlteredFields.Items(i);
        if (item->FieldGeneratorID() == aoAlterName)
          defs.ReplaceFieldName(item->SourceField(), item->FieldName());
      }
      break;
    default: break;
  }
}

}  // namespace tav

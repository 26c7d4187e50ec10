#include "engine/query/exec/schema_statements.h"

#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/expr/schema_parser.h"
#include "engine/query/exec/query_provider.h"
#include "engine/query/parse/parser_engine.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "host/db/data_set.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

constexpr char kCaller[] = "TTavQueryProviderItem.ExecSQL";

// The connection's state as a statement found it, given back when the
// statement ends however it ends. Enter makes it connected (and exclusive
// when asked); Leave restores it; the destructor restores it too, quietly,
// for a statement that failed (its own error is the one to report).
class TSchemaConnectionState {
 public:
  explicit TSchemaConnectionState(TTavDataBase& database)
      : db_(database),
        connected_(database.Connected()),
        exclusive_(database.Exclusive()),
        key_(database.MasterKey()) {}
  TSchemaConnectionState(const TSchemaConnectionState&) = delete;
  TSchemaConnectionState& operator=(const TSchemaConnectionState&) = delete;

  ~TSchemaConnectionState() {
    try {
      Leave();
    } catch (...) {
      // The statement's failure is the one reported.
    }
  }

  void Enter(bool exclusive) {
    if (exclusive && !exclusive_) {
      if (connected_) {
        CheckSchemaReconnect(db_, kCaller);
        Disconnect();
      }
      reconnected_ = true;
      db_.SetExclusive(true);
    }
    Connect();
  }

  void Leave() {
    if (reconnected_) {
      Disconnect();
      db_.SetExclusive(exclusive_);
      reconnected_ = false;
    }
    if (connected_)
      Connect();
    else
      Disconnect();
  }

 private:
  // A disconnect clears the master key; the next connect must not ask for it.
  void Disconnect() {
    if (db_.Connected()) db_.Close();
    if (db_.MasterKey() != key_) db_.SetMasterKey(key_);
  }
  void Connect() {
    if (db_.Connected()) return;
    if (db_.MasterKey() != key_) db_.SetMasterKey(key_);
    db_.Open();
  }

  TTavDataBase& db_;
  const bool connected_;
  const bool exclusive_;
  const std::string key_;
  bool reconnected_ = false;
};

// Steps on the connected database; the table component lives only here, so
// it is gone before the connection is restored.
bool RunStatement(TTavDataBase& database, TTavSchemaManipulationParser& parser,
                  const TTableNameItem& ref, host::TStrings& errors) {
  const bool memory = ref.Memory();
  if (parser.Operation == ddDropTable) {
    database.DeleteTable(ref.TableName(), memory);
    return true;
  }
  TTavTable table(nullptr);
  table.SetDataBase(&database);
  table.SetTableName(ref.TableName());
  table.SetMemory(memory);
  if (parser.Operation != ddCreateTable) {
    // Its present field and index definitions, which the changes start from.
    table.Open();
    table.Close();
  }
  if (!parser.ValidateTableChanges(ref.TableFields(), &table.IndexDefs())) {
    errors.Add(parser.GetErrorMsg());
    return false;
  }
  if (parser.Operation == ddCreateTable) {
    TTavQueryProviderItem::SetTableFieldDefs(table.FieldDefs(), parser.AddedFields);
    if (!parser.IndexName.empty() || parser.IndexOptions.Contains(host::ixPrimary))
      table.IndexDefs().Add(parser.IndexName, parser.GetIndexFieldsAsText(), parser.IndexOptions);
    table.CreateTable();
    return true;
  }
  // ALTER TABLE changes columns and indexes; CREATE and DROP INDEX the
  // indexes only (the field definitions are left as the table has them).
  parser.SetRestructureFieldDefs(table.GetRestructureFieldDefs());
  parser.SetRestructureIndexDefs(table.GetRestructureIndexDefs());
  const TRestructureRecord record;
  return table.RestructureTable(record);
}

}  // namespace

void CheckSchemaReconnect(TTavDataBase& database, const std::string& caller) {
  host::TStringList names;
  database.GetTableNames(names, true);
  for (int i = 0; i < names.Count(); ++i) {
    const std::string& name = names.Strings(i);
    if (!host::AnsiSameText(name.substr(0, 2), kQueryResultTablePrefix))
      TavDatabaseError(kCannotOperateWithoutExclusiveAccess, caller,
                       "The memory table " + name + " would be lost", &database);
  }
  for (int i = 0; i < database.DataSetCount(); ++i) {
    const host::TDataSet* ds = database.DataSets(i);
    if (ds->State() == host::dsEdit || ds->State() == host::dsInsert)
      TavDatabaseError(kCannotOperateWithoutExclusiveAccess, caller,
                       "A dataset has changes not posted", &database);
  }
}

bool ExecuteSchemaStatement(TTavDataBase& database, TTavParserEngine& engine, host::TStrings& errors) {
  TTavSchemaManipulationParser& parser = engine.SchemaParser();
  TAV_ASSERT(engine.TableList().Count() > 0, "Schema statement has no table");
  const TTableNameItem& ref = *engine.TableList().Items(0);
  // A reconnect would roll the transaction back.
  if (database.InTransaction())
    TavDatabaseError(kCannotOperateWhileTransactionActive, kCaller, "", &database);
  TSchemaConnectionState state(database);
  state.Enter(parser.Operation != ddCreateTable && !ref.Memory());
  const bool ok = RunStatement(database, parser, ref, errors);
  state.Leave();
  return ok;
}

}  // namespace tav

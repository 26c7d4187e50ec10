// Schema statements: CREATE TABLE, ALTER TABLE, DROP TABLE, CREATE INDEX and
// DROP INDEX run against a connection. They reach the catalogue only through
// the table component (CreateTable, RestructureTable with restructure
// definitions) and the connection's DeleteTable.
//
// Changing or dropping a disk table needs the database to itself. A shared
// connection is therefore closed and opened again exclusive for the
// statement, then opened again as it was; closing it would close every
// dataset and free every memory table, so the statement is refused (10121,
// nothing changed) when that would lose something its user holds: a memory
// table other than a query result ("$Q..."), or a dataset in edit or
// insert. The reconnects keep the master key, so no database password is
// asked for again. Connected and exclusive state are restored on every
// path, a failure included.
//
// Callers must keep:
//  - The engine parsed the statement; table reference 0 names its table,
//    with its memory flag resolved and (but for CREATE TABLE) its fields
//    set up from the table.
//  - No transaction is active on the connection (10122 otherwise: a
//    reconnect would roll it back).
//  - Errors of the table layer (10766 for a memory table's restructure,
//    10624 for a privilege the user lacks, lock and in-use errors) pass
//    through unchanged.
#pragma once

#include <string>

namespace host {
class TStrings;
}  // namespace host

namespace tav {

class TTavDataBase;
class TTavParserEngine;

// What a query result's memory table name starts with.
inline constexpr char kQueryResultTablePrefix[] = "$Q";

// 10121 when closing `database` now would lose what its user holds: a
// memory table other than a query result, or a dataset editing or
// inserting.
void CheckSchemaReconnect(TTavDataBase& database, const std::string& caller);

// Runs the schema statement `engine` parsed against `database`. True on
// success; a change the table's present layout refuses adds the schema
// parser's message to `errors` and gives False. Errors raised below pass
// through.
bool ExecuteSchemaStatement(TTavDataBase& database, TTavParserEngine& engine, host::TStrings& errors);

}  // namespace tav

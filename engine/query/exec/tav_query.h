// TTavQuery: the SQL dataset an application works with. It holds the text of
// one statement, its parameters and an optional master data source (whose
// current record gives the values of parameters not set by hand), and runs
// the statement through its query provider: Open builds a SELECT's result
// table and the query becomes a cursor over it; ExecSQL runs every other
// statement. With RequestLive, a result read from one table without
// aggregates or DISTINCT can be edited: posts, inserts and deletes go back
// to the base table through a dataset bridge, refused when the base record
// changed since the result was read.
//
// Transactions: a run (Open, Refresh, ExecSQL) on a database other than
// "MEMORY" with no transaction active starts its own, commits it when the
// run succeeds and rolls it back when it fails; Open and Refresh always,
// ExecSQL for INSERT, UPDATE and DELETE (a failing data change then changes
// nothing). A schema statement never runs in a transaction (10122 inside an
// application's). "MEMORY" has none: a change failing midway keeps what it
// did. The database's connected state is restored after every run.
//
// Parameters: with ParamCheck (the default) a change of SQL rebuilds Params
// from the statement's parameter names; every run plans again with their
// current values, so a value set after Prepare counts.
//
// Callers must keep:
//  - DataBase and DataSource outlive the query or are cleared first.
//  - The result table is the query's: a new statement's table replaces the
//    old one at the next Open, the destructor drops the last one.
//  - Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/components/tav_base_table.h"
#include "host/db/data_source.h"
#include "host/db/params.h"
#include "host/rtl/string_list.h"

namespace tav {

class TTavDatasetBridge;
class TTavQuery;
class TTavQueryProvider;
enum TTavSQLStatementType : uint8_t;

// The query's link to its master: a change of the master's record, or the
// master opening, closing or moving, reopens the query with parameters
// taken from the master again.
class TTavQueryDataLink : public host::TDetailDataLink {
 public:
  explicit TTavQueryDataLink(TTavQuery* query) : query_(query) {}
  host::TDataSet* GetDetailDataSet() override;

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void RecordChanged(host::TField* field) override;

 private:
  TTavQuery* query_;
};

class TTavQuery : public TTavBaseTable {
 public:
  explicit TTavQuery(host::TComponent* owner);
  ~TTavQuery() override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
  // Params streamed as "ParamData", a collection.
  void DefineProperties(host::TFiler& filer) const override;

  // ---- published properties ----
  host::TStringList& SQL() { return *sql_; }
  // Takes the lines only when their text differs from the present one.
  void SetSQL(const host::TStrings& value);
  void SetSQLText(const std::string& text);
  host::TParams& Params() { return *params_; }
  void SetParams(const host::TParams& value) { params_->Assign(value); }
  host::TDataSource* DataSource() const { return data_link_->DataSource(); }
  // A source linked to this query already raises the circular-link error.
  void SetDataSource(host::TDataSource* value);
  int32_t MaxRecords() const { return max_records_; }
  void SetMaxRecords(int32_t value) { max_records_ = value; }
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool value) { param_check_ = value; }
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value) { request_live_ = value; }
  // Rows of an open SELECT, 0 for a schema statement, else the rows the
  // last data change touched.
  int32_t RowsAffected() const;

  // ---- public ----
  int ParamCount() const { return params_->Count(); }
  host::TParam* ParamByName(const std::string& name) const { return params_->ParamByName(name); }
  // Connects the database, parses the statement and plans it; 9645 with the
  // provider's errors when it fails, 10112 without a database.
  void Prepare();
  void UnPrepare();
  bool Prepared() const { return prepared_; }
  void SetPrepare(bool value);
  // Runs a statement other than SELECT.
  void ExecSQL();
  TTavSQLStatementType GetSQLStatementType() const;
  // Milliseconds the last Prepare and Open took.
  uint32_t PrepareTime() const { return prepare_time_; }
  uint32_t OpenTime() const { return open_time_; }

  // Parameters not set by hand take the master's field values of the same
  // name (and stay unbound, to follow the master again).
  void SetParamsFromDataSource();
  // Reopens the query when its master is open and browsing.
  void RefreshParams();
  // Runs the statement again and reads from its first row: the record the
  // cursor stood on is not looked up first, the run replaces every row.
  void Refresh() override;

 protected:
  bool GetCanModify() override;
  host::TDataSource* GetDataSource() override { return DataSource(); }
  void InternalRefresh() override;
  void InternalDelete() override;
  void InternalPost() override;
  void InternalClose() override;
  void InternalOpen() override;

 private:
  class TRun;
  friend class TRun;

  void QueryChanged();
  // The start and end of one run: connect, mark the database query-active,
  // own transaction; then commit or roll back and restore the connection.
  void InternalConnect(const char* caller);
  void InternalDisconnect();
  void CheckDataBase(const char* caller) const;
  void SetDataBaseConnected(bool connected);
  void ConnectDataBase();
  // The result table's own cursor is not moved to the first row after a
  // fill: nothing reads through it.
  void KeepResultCursorUnread();
  // Drops the result table of the last Open when it is still there.
  void DropResultTable(const std::string& name);
  // The bridge on the live result's base record of the current row.
  void MoveBridgeToRow();
  // The query's fields into the bridge's mapped fields.
  void CopyFieldsToBridge();

  std::unique_ptr<host::TStringList> sql_;
  std::unique_ptr<host::TParams> params_;
  std::unique_ptr<TTavQueryProvider> provider_;
  std::unique_ptr<TTavQueryDataLink> data_link_;
  std::unique_ptr<TTavDatasetBridge> bridge_;
  int32_t max_records_ = 0;
  bool param_check_ = true;
  bool request_live_ = false;
  bool prepared_ = false;
  // The parameter list is still the last statement's: the text's assignment
  // failed before it made the list (another process's lock refused it, say).
  // Assigning the same text again, or preparing, makes it.
  bool params_stale_ = false;
  // One run's bookkeeping.
  bool was_connected_ = false;
  bool was_exclusive_ = false;
  bool own_transaction_ = false;
  bool transaction_was_active_ = false;
  bool run_succeeded_ = false;
  // Between InternalConnect and InternalDisconnect.
  bool running_ = false;
  uint32_t prepare_time_ = 0;
  uint32_t open_time_ = 0;
};

}  // namespace tav

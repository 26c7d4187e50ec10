#include "engine/query/exec/tav_query.h"

#include <cstring>
#include <stdexcept>

#include "engine/components/tav_database.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/live_result_bridge.h"
#include "engine/query/exec/query_dataset.h"
#include "engine/query/exec/query_provider.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "host/classes/prop_table.h"
#include "host/db/db_common.h"
#include "host/db/fields.h"
#include "host/rtl/exceptions.h"
#include "os/clock.h"

namespace tav {

namespace {

constexpr char kCannotOpenMessage[] = "SQL statement cannot be opened (execute by ExecSQL)";

bool IsDataChange(TTavSQLStatementType type) {
  return type == tsSQLInsert || type == tsSQLUpdate || type == tsSQLDelete;
}

}  // namespace

// One run between InternalConnect and InternalDisconnect. A run that leaves
// by an exception counts as failed: its own transaction is rolled back.
class TTavQuery::TRun {
 public:
  TRun(TTavQuery& query, const char* caller) : query_(query) {
    query_.InternalConnect(caller);
    query_.running_ = true;
  }
  ~TRun() {
    if (!ended_) {
      query_.run_succeeded_ = false;
      try {
        query_.InternalDisconnect();
      } catch (...) {
        // The run's own failure is the one reported.
      }
    }
    query_.running_ = false;
  }
  TRun(const TRun&) = delete;
  TRun& operator=(const TRun&) = delete;

  void End() {
    ended_ = true;
    query_.InternalDisconnect();
  }

 private:
  TTavQuery& query_;
  bool ended_ = false;
};

// ---------------------------------------------------------------------------
// The data link

host::TDataSet* TTavQueryDataLink::GetDetailDataSet() { return query_; }

void TTavQueryDataLink::ActiveChanged() {
  if (query_->Active()) query_->RefreshParams();
}

void TTavQueryDataLink::CheckBrowseMode() {
  if (query_->Active()) query_->CheckBrowseMode();
}

void TTavQueryDataLink::RecordChanged(host::TField* field) {
  if (field == nullptr && query_->Active()) query_->RefreshParams();
}

// ---------------------------------------------------------------------------
// Creation and properties

TTavQuery::TTavQuery(host::TComponent* owner)
    : TTavBaseTable(owner),
      sql_(std::make_unique<host::TStringList>()),
      params_(std::make_unique<host::TParams>(this)),
      provider_(std::make_unique<TTavQueryProvider>()),
      data_link_(std::make_unique<TTavQueryDataLink>(this)) {
  sql_->OnChange = [this](host::TObject*) { QueryChanged(); };
  provider_->SetParams(params_.get());
}

TTavQuery::~TTavQuery() {
  try {
    Close();
    DropResultTable(TableName());
  } catch (...) {
    // A destructor reports nothing; the connection frees memory tables when it closes.
  }
  data_link_->SetDataSource(nullptr);
}

const host::TPropertyTable& TTavQuery::ClassProperties() {
  using T = TTavQuery;
  static const host::TPropertyTable table = host::PublishClass<T>(
      "TTavQuery", &host::TDataSet::ClassProperties(), [](host::TPublisher<T>& p) {
        p.Strings("SQL", [](T& q) -> host::TStrings& { return q.SQL(); });
        p.Reference<TTavDataBase>("DataBase", &T::DataBase, &T::SetDataBase);
        p.Reference<host::TDataSource>("DataSource", &T::DataSource, &T::SetDataSource);
        p.Integer("MaxRecords", &T::MaxRecords, &T::SetMaxRecords).Default(0);
        p.Boolean("ParamCheck", &T::ParamCheck, &T::SetParamCheck).Default(1);
        p.Boolean("RequestLive", &T::RequestLive, &T::SetRequestLive).Default(0);
      });
  return table;
}

void TTavQuery::DefineProperties(host::TFiler& filer) const {
  filer.Define<TTavQuery>([](host::TPublisher<TTavQuery>& p) {
    p.Collection("ParamData", [](TTavQuery& q) -> host::TParams& { return q.Params(); })
        .StoredWhen<TTavQuery>([](const TTavQuery& q) { return q.ParamCount() > 0; });
  });
}

void TTavQuery::SetSQL(const host::TStrings& value) {
  if (sql_->Text() == value.Text() && !params_stale_) return;
  sql_->BeginUpdate();
  try {
    sql_->Assign(value);
  } catch (...) {
    sql_->EndUpdate();
    throw;
  }
  sql_->EndUpdate();
}

void TTavQuery::SetSQLText(const std::string& text) {
  host::TStringList lines;
  lines.SetText(text);
  SetSQL(lines);
}

void TTavQuery::SetDataSource(host::TDataSource* value) {
  if (value != nullptr && IsLinkedTo(value)) host::DatabaseError(host::SCircularDataLink, this);
  data_link_->SetDataSource(value);
}

int32_t TTavQuery::RowsAffected() const {
  if (!provider_) return 0;
  // The provider's result object is closed once the query stands on its
  // table: an open SELECT counts the query's own rows.
  if (Active() && provider_->GetSQLStatementType() == tsSQLSelect)
    return const_cast<TTavQuery*>(this)->RecordCount();
  return provider_->GetRowsAffected();
}

TTavSQLStatementType TTavQuery::GetSQLStatementType() const { return provider_->GetSQLStatementType(); }

bool TTavQuery::GetCanModify() { return Active() && provider_->GetIsLiveRequest(); }

void TTavQuery::QueryChanged() {
  if (ComponentState() & (host::csReading | host::csLoading)) return;
  Close();
  if (prepared_) UnPrepare();
  params_stale_ = false;
  if (param_check_ || (ComponentState() & host::csDesigning)) {
    if (provider_->Database() != DataBase()) provider_->SetDatabase(DataBase());
    if (provider_->Database() != nullptr) {
      params_stale_ = true;
      ConnectDataBase();
      provider_->SetSQL(*sql_);
      provider_->ResetParams();
      params_stale_ = false;
    }
  }
  DataEvent(host::dePropertyChange, 0);
}

// ---------------------------------------------------------------------------
// Prepare

void TTavQuery::CheckDataBase(const char* caller) const {
  if (DataBase() == nullptr) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
}

void TTavQuery::ConnectDataBase() {
  if (!DataBase()->Connected()) DataBase()->Open();
}

void TTavQuery::Prepare() {
  CheckDataBase("TTavQuery.InternalConnect");
  ConnectDataBase();
  provider_->SetDatabase(DataBase());
  const uint32_t start = os::GetTickCount();
  provider_->SetSQL(*sql_);
  bool ok = params_stale_ ? provider_->ValidateSQL() : provider_->ValidateSQLOnly();
  if (ok) {
    params_stale_ = false;
    if (DataSource() != nullptr) SetParamsFromDataSource();
    ok = provider_->PreparePlan();
    provider_->SetMaxRecords(max_records_);
    prepare_time_ = os::GetTickCount() - start;
  }
  if (!ok) TavDatabaseError(kSqlError, "TTavQuery", provider_->GetErrorsAsText(), this);
  prepared_ = true;
}

void TTavQuery::UnPrepare() {
  prepared_ = false;
  bridge_.reset();
  // The plan's bridges hold their tables open between runs.
  provider_->ClearPlans();
}

void TTavQuery::SetPrepare(bool value) {
  if (value)
    Prepare();
  else
    UnPrepare();
}

void TTavQuery::SetParamsFromDataSource() {
  host::TDataSource* source = DataSource();
  if (source == nullptr || source->DataSet() == nullptr) return;
  host::TDataSet* master = source->DataSet();
  master->FieldDefs().Update();
  for (int i = 0; i < params_->Count(); ++i) {
    host::TParam* param = params_->Items(i);
    if (param->Bound()) continue;
    param->AssignField(master->FieldByName(param->Name()));
    // Still following the master: the next run takes its value again.
    param->SetBound(false);
  }
}

void TTavQuery::RefreshParams() {
  host::TDisableControlsGuard controls(*this);
  host::TDataSource* source = DataSource();
  if (source == nullptr || source->DataSet() == nullptr) return;
  host::TDataSet* master = source->DataSet();
  if (master->Active() && master->State() != host::dsSetKey) {
    Close();
    Open();
  }
}

// ---------------------------------------------------------------------------
// Runs

void TTavQuery::InternalConnect(const char* caller) {
  CheckDataBase(caller);
  TTavDataBase& db = *DataBase();
  was_connected_ = db.Connected();
  was_exclusive_ = db.Exclusive();
  ConnectDataBase();
  if (provider_->Database() != &db) provider_->SetDatabase(&db);
  db.SetQueryActive(true);
  run_succeeded_ = false;
  transaction_was_active_ = db.InTransaction();
  if (own_transaction_ && !transaction_was_active_) {
    try {
      db.StartTransaction();
    } catch (...) {
      db.SetQueryActive(false);
      if (!was_connected_) SetDataBaseConnected(false);
      throw;
    }
  }
}

void TTavQuery::InternalDisconnect() {
  TTavDataBase& db = *DataBase();
  db.SetQueryActive(false);
  const bool own = own_transaction_ && !transaction_was_active_;
  TFirstError first;
  if (!run_succeeded_) {
    if (own) first.Try([&] {
      if (db.InTransaction()) db.Rollback();
    });
    try {
      Close();
    } catch (...) {
      // Closing after a failure reports nothing of its own.
    }
  } else if (own) {
    first.Try([&] {
      try {
        db.Commit();
      } catch (...) {
        // A commit refused (a lock another process holds, say) must not
        // leave the run's transaction open for the statements after it.
        try {
          if (db.InTransaction()) db.Rollback();
        } catch (...) {
          // The commit's failure is the one reported.
        }
        throw;
      }
    });
  }
  if (was_connected_ != db.Connected()) first.Try([&] { SetDataBaseConnected(was_connected_); });
  first.Rethrow();
}

void TTavQuery::SetDataBaseConnected(bool connected) {
  TTavDataBase& db = *DataBase();
  if (connected) {
    db.Open();
    return;
  }
  // A disconnect forgets the master key; the next connect must not ask for it.
  const std::string key = db.MasterKey();
  db.Close();
  if (db.MasterKey() != key) db.SetMasterKey(key);
}

void TTavQuery::DropResultTable(const std::string& name) {
  TTavDataBase* db = DataBase();
  if (name.empty() || db == nullptr || !db->Connected()) return;
  if (db->MemoryTableMgr().IndexOfTableName(name) >= 0) db->DeleteTable(name, true);
}

void TTavQuery::KeepResultCursorUnread() {
  // The query reads the rows through its own cursor on the table.
  if (TTavQueryDataset* rows = provider_->GetResultSet()) rows->SetFirstAfterFill(false);
}

void TTavQuery::InternalOpen() {
  CheckDataBase("TTavQuery.InternalOpen");
  ConnectDataBase();
  if (!prepared_) Prepare();
  if (provider_->GetSQLStatementType() != tsSQLSelect)
    TavDatabaseError(kSqlError, "TTavQuery.InternalOpen", kCannotOpenMessage, this);
  own_transaction_ = !DataBase()->IsMemory();
  bool live = false;
  {
    TRun run(*this, "TTavQuery.InternalOpen");
    uint32_t start = os::GetTickCount();
    // As the parameters, MaxRecords counts as it stands at the run.
    provider_->SetMaxRecords(max_records_);
    provider_->SetRequestLive(request_live_);
    KeepResultCursorUnread();
    run_succeeded_ = provider_->CreateResultSet();
    open_time_ = os::GetTickCount() - start;
    if (!run_succeeded_)
      TavDatabaseError(kSqlError, "TTavQuery.InternalOpen", provider_->GetErrorsAsText(), this);
    run_succeeded_ = false;
    TTavQueryDataset* result = provider_->GetResultSet();
    const std::string resultTable = result->TableName();
    // A new statement's table replaces the last one.
    if (TableName() != resultTable) DropResultTable(TableName());
    SetTableName(resultTable);
    SetMemory(true);
    live = provider_->GetIsLiveRequest();
    SetReadOnly(!live);
    TTavBaseTable::InternalOpen();
    if (live) {
      if (!bridge_) bridge_ = std::make_unique<TTavDatasetBridge>(nullptr);
      bridge_->Close();
      bridge_->SetDataBase(DataBase());
      SetLiveResultBridge(*provider_->Items(0), *bridge_);
      if (!bridge_->Active()) bridge_->Open();
      if (!result->Active()) result->Open();
      for (int i = 0; i < FieldCount() && i < result->FieldCount(); ++i)
        Fields(i)->SetReadOnly(result->Fields(i)->ReadOnly());
    }
    // The result's own cursor stays open for the next run (Refresh) to
    // empty and fill; UnPrepare closes it.
    run_succeeded_ = true;
    run.End();
  }
  // The commit may have closed the bridge.
  if (live && bridge_ && !bridge_->Active()) bridge_->Open();
}

void TTavQuery::Refresh() {
  CheckBrowseMode();
  if (BeforeRefresh) BeforeRefresh(this);
  // InternalRefresh leaves the cursor before the first row, whichever
  // record it stood on.
  CursorPosChanged();
  InternalRefresh();
  // A hint InternalRefresh left is for this positioning only.
  try {
    Resync({});
  } catch (...) {
    SetOnlyRecordHint(0);
    throw;
  }
  SetOnlyRecordHint(0);
  // Read from before the first row: a First that follows keeps the ring.
  MarkRingFromFirst();
  if (AfterRefresh) AfterRefresh(this);
}

void TTavQuery::InternalRefresh() {
  // A rollback refreshes every dataset of the connection; the rollback of
  // this query's own run must not run it again.
  if (running_) {
    InternalFirst();
    return;
  }
  host::TDisableControlsGuard controls(*this);
  own_transaction_ = !DataBase()->IsMemory();
  {
    TRun run(*this, "TTavQuery.InternalOpen");
    provider_->SetMaxRecords(max_records_);
    provider_->SetRequestLive(request_live_);
    KeepResultCursorUnread();
    // CreateResultSet plans with the parameters' values as they stand.
    bool ok = provider_->CreateResultSet();
    if (!ok) TavDatabaseError(kSqlError, "TTavQuery.InternalOpen", provider_->GetErrorsAsText(), this);
    run_succeeded_ = true;
    run.End();
  }
  // The table was filled again: the rows read before are gone, so the
  // cursor starts over rather than re-reading its old record. A fill of a
  // single row says where it is: the first move reads it without a search.
  InternalFirst();
  const TTavQueryDataset* rows = provider_->GetResultSet();
  if (rows != nullptr && rows->DataBase() == DataBase() && rows->TableName() == TableName())
    SetOnlyRecordHint(rows->OnlyRowAddress());
}

void TTavQuery::InternalClose() {
  UnPrepare();
  TTavBaseTable::InternalClose();
}

void TTavQuery::ExecSQL() {
  CheckDataBase("TTavQuery.ExecSQL");
  Close();
  // The statement leaves the connection as it found it, also when it
  // connected the database to be prepared.
  const bool wasConnected = DataBase()->Connected();
  TTavSQLStatementType type = tsSQLUnknown;
  try {
    ConnectDataBase();
    if (!prepared_) Prepare();
    type = provider_->GetSQLStatementType();
    if (type == tsSchemaManipulation && DataBase()->InTransaction())
      TavDatabaseError(kCannotOperateWhileTransactionActive, "TTavQuery.ExecSQL", "", this);
  } catch (...) {
    if (!wasConnected && DataBase()->Connected()) {
      try {
        SetDataBaseConnected(false);
      } catch (...) {
        // The statement's own failure is the one reported.
      }
    }
    throw;
  }
  // Decided here for this run: a data change on a disk database is all or
  // nothing; a schema statement may reconnect, which no transaction survives.
  own_transaction_ = IsDataChange(type) && !DataBase()->IsMemory();
  TRun run(*this, "TTavQuery.ExecSQL");
  was_connected_ = wasConnected;
  if (!provider_->ExecSQL())
    TavDatabaseError(kSqlError, "TTavQuery.ExecSQL", provider_->GetErrorsAsText(), this);
  run_succeeded_ = true;
  run.End();
}

// ---------------------------------------------------------------------------
// Live edits

void TTavQuery::MoveBridgeToRow() {
  TAV_ASSERT(bridge_ != nullptr, "LiveResultBridge is not assigned");
  TAV_ASSERT(bridge_->Active(), "LiveResultBridge is not active");
  const uint8_t* row = GetActiveRecBuf();
  const host::Variant address = DataSetGetFieldDataFromRecBufAsVariant(row, GetFieldNo(kResultRecAddrField));
  const host::Variant flags = DataSetGetFieldDataFromRecBufAsVariant(row, GetFieldNo(kResultRecModFlagField));
  bridge_->MoveToRecAddrAndValidate(static_cast<uint32_t>(address.AsInteger()),
                                    static_cast<uint32_t>(flags.AsInteger()));
}

void TTavQuery::CopyFieldsToBridge() {
  const TInternalFields& fields = bridge_->GetInternalFields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    if (f.SourceField() == kUnmappedBridgeField || f.Hidden()) continue;
    const int source = std::stoi(f.SourceField());
    bridge_->FieldByName(f.FieldName())->SetValue(Fields(source)->Value());
  }
}

void TTavQuery::InternalPost() {
  TAV_ASSERT(bridge_ != nullptr, "LiveResultBridge is not assigned");
  TAV_ASSERT(bridge_->Active(), "LiveResultBridge is not active");
  if (State() == host::dsEdit) {
    MoveBridgeToRow();
    bridge_->Edit();
  } else {
    bridge_->Insert();
  }
  try {
    CopyFieldsToBridge();
    bridge_->Post();
  } catch (...) {
    bridge_->Cancel();
    throw;
  }
  // The row now stands for the base record as written: a later edit of the
  // same row must not be taken for another user's change.
  uint8_t* row = GetActiveRecBuf();
  DataSetSetFieldDataToRecBufAsVariant(GetFieldNo(kResultRecAddrField), row,
                                       host::Variant(static_cast<int32_t>(bridge_->GetRecAddr())));
  DataSetSetFieldDataToRecBufAsVariant(GetFieldNo(kResultRecModFlagField), row,
                                       host::Variant(static_cast<int32_t>(bridge_->GetRecModFlag())));
  TTavBaseTable::InternalPost();
}

void TTavQuery::InternalDelete() {
  MoveBridgeToRow();
  bridge_->Delete();
  TTavBaseTable::InternalDelete();
}

}  // namespace tav

// The query provider turns the text of one SQL statement into work: it
// validates and parses the statement, prepares its plan, and then builds the
// result table of a SELECT or executes INSERT, UPDATE and DELETE.
//
// TTavQueryProvider is a collection whose item 0 is the statement and whose
// further items are its subqueries (and the WHERE clause of an UPDATE or
// DELETE, parsed as a query of its own over the target table). Each
// TTavQueryProviderItem holds everything one statement needs: its parser
// engine, the analysis, the provider tree and plan, the result columns and
// the result table. A TQueryExprNodeDataProvider lets an expression node of
// an outer statement open and read a subquery item's result table.
//
// A run: ValidateSQL (parse, check the tables, build the parameter list),
// PreparePlan, then CreateResultSet (SELECT) or ExecSQL (the others); a
// statement that failed its validation does not run. Every
// CreateResultSet and ExecSQL plans each item again with the parameters'
// current values. Subquery items stay until the SQL changes (SetSQL or a new
// validation), so a result can be built again.
//
// Failures of ordinary SQL are reported by a False result and lines in the
// error lists (GetErrors, GetErrorsAsText); errors of the engine below
// (tables, indexes, evaluation, privileges) pass through as raised.
//
// Callers must keep:
//  - The database and the parameter collection outlive the provider (they
//    are borrowed); the database is connected before validation.
//  - Items are made and freed by the provider only.
//  - Item 0's result table is the caller's to drop from the database;
//    subquery items drop theirs when they end.
//  - Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "engine/query/exec/query_dataset.h"
#include "engine/query/exec/result_set_fields.h"
#include "engine/query/exec/std_join_provider.h"
#include "engine/query/parse/parser_engine.h"
#include "engine/query/parse/select_analyser.h"
#include "engine/query/plan/query_analyser.h"
#include "engine/query/plan/query_planner.h"
#include "host/db/params.h"
#include "host/rtl/collection.h"
#include "host/rtl/string_list.h"

namespace tav {

class TTavDataBase;
class TTavQueryProvider;
class TTavQueryProviderItem;

// The error lines of the provider (the texts are the system's own).
inline constexpr char kSqlEmptyMessage[] = "SQL statment is empty";
inline constexpr char kSqlUnrecognisedType[] = "Unrecognised SQL statement type";
inline constexpr char kSqlTrailingTokens[] = "Unrecognized tokens beyond end of statement";
inline constexpr char kSqlTableNotFound[] = "Table not found";
inline constexpr char kSqlTableExists[] = "Table already exists";
inline constexpr char kSqlNotExecutable[] = "SQL statement cannot be executed by ExecSQL";

// The rows of a subquery item as the expression evaluator reads them.
// PrepareAndOpen builds (or rebuilds) the item's result and stands on its
// first row. A correlated subquery is planned again only when the outer
// values it reads have changed since its last build: a comparison that
// opens its operand twice for one outer row runs the subquery once.
class TQueryExprNodeDataProvider : public TCustomExprNodeDataProvider, public TTavExprRowSource {
 public:
  bool PrepareAndOpen() override;
  void SetQueryProviderItem(TTavQueryProviderItem* item) { item_ = item; }
  TTavQueryProviderItem* QueryProviderItem() const { return item_; }
  // Forgets the last build: the next PrepareAndOpen plans and builds again.
  void Invalidate() { built_ = false; }

  bool Eof() const override;
  void Next() override;
  int FieldCount() const override;
  host::Variant FieldValue(int index) const override;

 private:
  TTavQueryProviderItem* item_ = nullptr;
  bool built_ = false;
  std::vector<host::Variant> last_outer_values_;
};

class TTavQueryProviderItem : public host::TCollectionItem {
 public:
  TTavQueryProviderItem();
  ~TTavQueryProviderItem() override;
  TTavQueryProviderItem(const TTavQueryProviderItem&) = delete;
  TTavQueryProviderItem& operator=(const TTavQueryProviderItem&) = delete;

  // ---- the statement ----
  // Parses the statement (clearing the error list first); False with the
  // first error in the error list.
  bool ValidateSQL();
  // Readies the statement and every subquery item for a run.
  bool Prepare();
  // Plans the statement with the current parameter and outer values.
  bool PreparePlan();
  // SELECT: plans and fills the result table.
  bool CreateResultSet();
  // The addresses of the rows of the one table the statement reads that
  // meet its WHERE (the WHERE item of an UPDATE or DELETE); plans first.
  bool CreateResultList(std::vector<uint32_t>& list);
  // INSERT, UPDATE, DELETE (schema statements: see the provider).
  bool ExecSQL();

  // Adopts a nested engine the outer statement's engine made for a
  // subquery (borrowed: the outer engine keeps it) and parses it: as the
  // WHERE clause of an UPDATE or DELETE over `tableName` (`whereOnly`), or
  // as a full SELECT.
  bool AssignExternalParserEngine(bool whereOnly, const std::string& tableName, TTavParserEngine* engine);
  // The table reference `name` of this item or, failing that, of the
  // nearest ancestor that has it; nullptr when none. `owner` receives the
  // item whose table list holds it.
  const TTableNameItem* FindTable(const std::string& name, TTavQueryProviderItem** owner = nullptr);
  // The current value of an outer reference: the UPDATE target's current
  // record, else the provider of `tableName` in this item's tree, else the
  // parent's answer; Unassigned when none has it.
  host::Variant GetFieldData(const std::string& tableName, const std::string& fieldName);
  TTavQueryProvider* GetProviderParent() const;
  std::string GetResultSetFieldNameFromSortKey(const std::string& key) const;
  // The provider's parameters rebuilt from the statement's parameter names.
  void CreateParamList();
  // One definition per field, in field order.
  static void SetTableFieldDefs(host::TFieldDefs& defs, const TInternalFields& fields);

  // ---- state ----
  host::TStringList& SQL() { return sql_; }
  void SetSQL(const host::TStrings& text) { sql_.Assign(text); }
  host::TStringList& Errors() { return errors_; }
  TTavSQLStatementType GetSQLStatementType() const;
  const TSelectFields& GetSelectResultSetFields() const { return select_analyser_->SelectFields; }
  TTavParserEngine& Engine() const { return *engine_; }
  TTavQueryDataset* ResultSet() const { return result_set_.get(); }
  TResultSetFields& ResultColumns() { return *result_columns_; }
  TQueryExprNodeDataProvider& ExprNodeDataProvider() { return *expr_node_provider_; }
  TTavJoinDataProviderMgr& ProviderMgr() { return *provider_mgr_; }
  const std::vector<TTavQueryProviderItem*>& Subqueries() const { return subqueries_; }
  TTavQueryProviderItem* ParentQuery() const { return parent_; }
  void SetParentQuery(TTavQueryProviderItem* item) { parent_ = item; }
  bool IsCorrelated() const { return is_correlated_; }
  void SetIsCorrelated(bool value) { is_correlated_ = value; }
  bool IsWhereOnly() const { return where_only_; }
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value) { request_live_ = value; }
  bool ResultIsLive() const { return result_is_live_; }
  void SetResultIsLive(bool value) { result_is_live_ = value; }
  bool ResultSetPrepared() const { return result_set_prepared_; }
  // "$Q", the item's ID in 4 and a random number in 8 hexadecimal digits.
  const std::string& ResultTableName();
  // How often the result has been built.
  int32_t BuildCount() const { return build_count_; }
  // The current values of the outer references of this item and of the
  // items nested in it that read past it, in a fixed order.
  std::vector<host::Variant> OuterValues();

 private:
  friend class TTavQueryProvider;
  friend class TQueryExprNodeDataProvider;

  void CreateObjectSet(std::unique_ptr<TTavParserEngine> ownEngine, TTavParserEngine* engine);
  void DestroyObjectSet();
  void AttachNotify();
  void ParserCallback(TParserNotifyType type, TTavParserEngine* engine, TTavExprNode* node,
                      host::Variant& value);
  bool Fail(const std::string& line);
  bool ParseByType();
  bool ParseSelect();
  bool ParseWhereQuery();
  bool ParseInsert();
  bool ParseUpdate();
  bool ParseDelete();
  bool ParseSchema();
  bool CheckAndSetParserTableList(TTableList& tables);
  void SetUpTableLists(TTableList& tables);
  // Parameters into constants in `expr`; with `record`, each one's place
  // in the statement and the value's type are kept for a re-run.
  void BindParams(TTavExpr& expr, bool record = false);
  // A plan kept from the last run serves this one: the parameters' new
  // values go into its constants in place. False (and nothing kept) when
  // anything the plan was built on may have changed; the caller plans anew.
  bool RebindKeptPlan();
  // Keeps the plan just built for the next runs when it is one table's,
  // its whole condition that table's selection.
  void KeepPlan(bool complete);
  // The bound constants of `expr` (by their place in the statement) take
  // the parameters' current values; how many did. With `found`, each bound
  // constant's parameter is the one RebindKeptPlan has just looked up.
  size_t RebindConstants(TTavExpr& expr, bool found = false);
  // Outer references of `expr` into constants of the outer row's values.
  void ReplaceOuterFields(TTavExpr& expr);
  // The result columns, the field definitions and the index definitions.
  void PrepareResultColumns();
  // Opens `result_set_` on the target table of a data-change statement.
  void OpenTarget();
  bool ExecInsert();
  // INSERT ... SELECT: whether the rows of `source` (the SELECT item) go
  // into the target as its walk yields them, with no result table between.
  bool SourceRowsGoStraightIn(TTavQueryProviderItem& source) const;
  // Plans the statement, opens its tables and points the result columns at
  // them, for a walk of the rows through the provider manager; the tables
  // are read under `locks` (see TBridgeReadLockGuard).
  bool PrepareRowWalk(TBridgeReadLockGuard& locks);
  // The plan's root with its tables open; with `locks`, the tables are read
  // under locks held for the run (see TBridgeReadLockGuard).
  TTavBaseJoinDataProvider& OpenPlanTables(TBridgeReadLockGuard* locks);
  bool ExecUpdate();
  bool ExecDelete();
  bool ExecSchemaStatement();
  // Every subquery item below this one builds again on its next use.
  void InvalidateSubqueries();
  // The item that answers for `id` among this item's provider.
  TTavQueryProviderItem* ItemByID(int id) const;

  host::TStringList sql_;
  host::TStringList errors_;
  std::unique_ptr<TTavParserEngine> own_engine_;
  TTavParserEngine* engine_ = nullptr;
  std::unique_ptr<TTavQueryAnalyser> analyser_;
  std::unique_ptr<TTavJoins> joins_;
  std::unique_ptr<TTavSelects> selects_;
  std::unique_ptr<TResultSetFields> result_columns_;
  std::unique_ptr<TTavJoinDataProviderMgr> provider_mgr_;
  std::unique_ptr<TTavPlan> plan_;
  std::unique_ptr<TTavSelectAnalyser> select_analyser_;
  std::unique_ptr<TTavQueryDataset> result_set_;
  std::unique_ptr<TQueryExprNodeDataProvider> expr_node_provider_;
  // The WHERE as planned (parameters and outer values in place), and the
  // part of it handed to the analyser.
  std::unique_ptr<TTavExpr> where_clone_;
  std::unique_ptr<TTavExpr> analysed_where_;
  std::vector<TTavQueryProviderItem*> subqueries_;
  // A constant a parameter became: where the parameter stands in the
  // statement, its name, and the type its value had.
  struct TBoundConstant {
    int32_t LineNo = 0;
    int32_t LineOffset = 0;
    std::string Name;
    host::TFieldType DataType = host::ftUnknown;
    uint16_t ValueType = 0;
    // The parameter of that name as RebindKeptPlan found it for this run.
    const host::TParam* Found = nullptr;
  };
  std::vector<TBoundConstant> bound_;
  // The plan kept for re-runs (see KeepPlan): its one leaf (nullptr: none
  // kept), how many bound constants its selection holds, and whether the
  // next opening of the plan's tables filters the leaf again.
  TTavNonJoinDataProvider* kept_leaf_ = nullptr;
  size_t kept_constants_ = 0;
  bool reapply_selection_ = false;
  // The result columns were built over the providers of the plan in use;
  // whether any of them aggregates, as found when they were built.
  bool columns_planned_ = false;
  bool columns_aggregate_ = false;
  TTavQueryProviderItem* parent_ = nullptr;
  std::string result_table_name_;
  bool is_correlated_ = false;
  bool where_only_ = false;
  bool request_live_ = false;
  bool result_is_live_ = false;
  bool result_set_prepared_ = false;
  bool valid_ = false;  // the statement passed its validation
  int32_t build_count_ = 0;
};

class TTavQueryProvider : public host::TCollection {
 public:
  TTavQueryProvider();
  ~TTavQueryProvider() override;
  TTavQueryProvider(const TTavQueryProvider&) = delete;
  TTavQueryProvider& operator=(const TTavQueryProvider&) = delete;

  TTavQueryProviderItem* Add() { return static_cast<TTavQueryProviderItem*>(host::TCollection::Add()); }
  TTavQueryProviderItem* Items(int index) const {
    return static_cast<TTavQueryProviderItem*>(host::TCollection::Items(index));
  }

  // Copies the text and clears every item.
  void SetSQL(const host::TStrings& text);
  void SetSQL(const std::string& text);
  host::TStringList& GetSQL() { return sql_; }
  bool ValidateSQLOnly();
  bool ValidateSQL();
  void ResetParams();
  bool PreparePlan();
  bool CreateResultSet();
  bool ExecSQL();
  // Whether every table of `tables` exists (a disk table before a memory
  // table of the same name, unless the statement placed it), setting each
  // one's memory flag; with `reportErrors`, "Table not found - " and the
  // name for each missing one.
  bool CheckTableList(TTableList& tables, bool reportErrors);
  void GetFieldsForTable(const std::string& tableName, TInternalFields& fields, bool memory);
  // The provider's lines, then each item's, without empty lines.
  host::TStringList& GetErrors();
  std::string GetErrorsAsText();
  bool GetIsLiveRequest() const;
  TTavQueryDataset* GetResultSet() const;
  int32_t GetRowsAffected() const;
  TTavSQLStatementType GetSQLStatementType() const;

  TTavDataBase* Database() const { return database_; }
  void SetDatabase(TTavDataBase* value) { database_ = value; }
  host::TParams* Params() const { return params_; }
  void SetParams(host::TParams* value) { params_ = value; }
  int32_t MaxRecords() const { return max_records_; }
  void SetMaxRecords(int32_t value) { max_records_ = value; }
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value) { request_live_ = value; }

  // Frees every item's providers and bridges (closing the tables they read)
  // and closes each item's result table; the next run plans afresh.
  void ClearPlans();
  // Frees the items from the last to the first (a subquery item borrows the
  // engine of the item above it).
  void ClearItems();

 protected:
  host::TCollectionItem* NewItem() override { return new TTavQueryProviderItem(); }

 private:
  friend class TTavQueryProviderItem;

  // Runs item 0's `step`; a value the statement cannot compute fails it.
  bool RunStatement(bool (TTavQueryProviderItem::*step)());

  host::TStringList sql_;
  host::TStringList errors_;
  host::TStringList own_errors_;
  TTavDataBase* database_ = nullptr;
  host::TParams* params_ = nullptr;
  int32_t max_records_ = 0;
  bool request_live_ = false;
};

}  // namespace tav

// Dataset filters: what binds the filter machinery of engine/expr to one
// open table.
//
//  - TTavExprDBDataProvider reads field values for the evaluator out of a
//    dataset's records: from its own filter buffer (the record the evaluator
//    moved to) or from the dataset's current record buffer.
//  - TTavFilterEvaluator is a filter evaluator prepared for one dataset: its
//    provider, a table list of that one table, and one index query item per
//    index of the table, so that the optimizer can answer from the indexes.
//  - TFilterMgr is the filter state of one dataset: it opens the filter
//    (parse, optimise, evaluate) and then answers the cursor from the current
//    filter: the records that pass the text, in the order of the current
//    index inside the range, each with its record number there. When the
//    indexes answer the text, the records come from them alone and are put
//    in index order (and out of the range) on first need: as the run of
//    entries they are when one walk of the index in use answered the text,
//    else through the index's record numbers (or, when a large part of the
//    index passes, one walk of its addresses); otherwise the evaluator lists
//    the whole index (the master list) and keeps its order. A record passes when it
//    is in the current filter and the dataset's OnFilterRecord handler, when
//    there is one, accepts it; the handler is asked lazily, record by record.
//
// Callers must keep:
//  - The dataset is open from OpenFilter or AssignExpr until CloseFilter (or
//    the manager's end): the evaluator borrows its index trees and reads its
//    records. Everything that reads records or index trees runs under the
//    dataset's table lock.
//  - The lists describe the table as it was when the filter opened; after a
//    change of the table the dataset resets the filter (ResetFilter) before
//    asking again.
//  - Navigation calls (MoveBy, MoveToEnd, FindNearest, FindFilterRecord,
//    GetRecNo, CheckRecordInFilter, GetFilterRecordCount, GetBaseRecNo) are
//    made while FilterOpen(): an open filter always has an evaluator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/expr/filter_evaluator.h"
#include "engine/expr/table_list.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/index/btree.h"
#include "host/db/data_set.h"
#include "host/rtl/list.h"
#include "host/rtl/object.h"

namespace tav {

class TIndexManager;
class TTavDataSet;

class TTavExprDBDataProvider : public TTavExprDataProvider {
 public:
  TTavExprDBDataProvider() = default;

  // Binds the dataset (open, not owned): its record layout becomes the
  // provider's fields (numbered by position), its compare routine and its
  // OnFilterRecord handler are taken, and a filter buffer of its record
  // size is made.
  void Initialize(TTavDataSet* table);

  host::Variant GetDataAsVariant(int32_t fieldNo) override;
  // A field the user may not read cannot select records either: 10624.
  TInternalFieldItem* FindField(const TParserToken* token, const std::string& name) override;
  // The dataset's master list (current index, inside the range); the first
  // record's number becomes BaseRecNo.
  void GetDefaultRecordList(TCompoundList& list) override;
  void Open() override;
  void Refresh() override;
  // Reads the record at `address` into the filter buffer. The dataset's own
  // record buffer is left alone: a filter may be rebuilt in the middle of a
  // cursor operation.
  bool MoveToRecord(uint32_t address) override;
  // The dataset's OnFilterRecord verdict for the record at `address`.
  bool PassFilterEvent(uint32_t address) override;
  bool KeepsStoredRecords() const override { return true; }
  // From the filter buffer; BLOB, memo and date fields are not served.
  bool GetStoredField(int32_t fieldNo, const uint8_t*& data, int32_t& length) override;

  TTavDataSet* Table() const { return table_; }

 private:
  // How each field's value is read, by position.
  enum TFieldKind : uint8_t { kPlain, kTextBlob, kDate };

  TTavDataSet* table_ = nullptr;
  std::vector<uint8_t> filter_buffer_;
  std::vector<TFieldKind> kinds_;
};

class TTavFilterEvaluator : public TTavBaseFilterEvaluator {
 public:
  explicit TTavFilterEvaluator(TTavDataSet* table);

  TTavExprDBDataProvider& Provider() { return provider_; }

 private:
  TTavExprDBDataProvider provider_;
  TTableList tables_;
};

class TFilterMgr {
 public:
  TFilterMgr() = default;
  ~TFilterMgr();
  TFilterMgr(const TFilterMgr&) = delete;
  TFilterMgr& operator=(const TFilterMgr&) = delete;

  // Builds a new evaluator for the dataset with the manager's text, options
  // and flags and opens it. False when the text does not parse: the filter
  // stays closed and LastErrorText tells why. Evaluation errors raise.
  bool OpenFilter(TTavDataSet* table);
  // Gives the evaluator a parsed condition instead of a text: joined by AND
  // to the condition it holds, or replacing it. The evaluator is made for
  // the dataset when there is none (or it served another one).
  void AssignExpr(TTavDataSet* table, const TTavExpr* expression, bool replace);
  void CloseFilter();
  // Closes the filter and frees the evaluator (and what it borrowed of the
  // dataset); text, options and flags stay.
  void Clear() noexcept;
  // Evaluates the held condition again over the table as it is now.
  // Clears the prepared filters. False when the filter text no longer
  // parses (the table's fields changed).
  bool ResetFilter();
  void RefreshDataProvider();

  // The record n passing records away from `address` (which must pass the
  // filter text); 0 when there is none.
  uint32_t MoveBy(uint32_t address, int n);
  // The first or last passing record; 0 when none passes.
  uint32_t MoveToEnd(bool first);
  uint32_t FindNearest(uint32_t address, bool forward);
  // The nearest passing record to `address` for the search type; 0 for
  // none. `address` must be in the master list (with QueryActive, in the
  // current filter).
  uint32_t FindFilterRecord(uint32_t address, TIndexSearchType searchType);
  int32_t GetRecNo(uint32_t address);
  bool CheckRecordInFilter(uint32_t address);
  int GetFilterRecordCount();
  int32_t GetBaseRecNo();
  // The current filter, in the current index's order; nullptr without an
  // evaluator.
  const std::vector<uint32_t>* GetCurrentFilterList();
  // Whether `address` is in the current filter (the handler not asked).
  bool InFilterList(uint32_t address);
  // Whether `address` is in the master list (the table's current index,
  // inside the range).
  bool InMasterList(uint32_t address);

  bool FilterOpen() const { return open_; }
  const std::string& LastErrorText() const { return last_error_; }
  const std::string& FilterText() const { return filter_text_; }
  host::TFilterOptions FilterOptions() const { return filter_options_; }
  bool Ordered() const { return ordered_; }
  bool QueryActive() const { return query_active_; }
  bool ExcludeRelopNulls() const { return exclude_relop_nulls_; }
  TTavFilterEvaluator* Evaluator() const { return evaluator_.get(); }

  void SetQueryActive(bool value);
  void SetOrdered(bool value) { ordered_ = value; }
  void SetExcludeRelopNulls(bool value) { exclude_relop_nulls_ = value; }
  void SetFilterText(const std::string& value) { filter_text_ = value; }
  void SetFilterOptions(host::TFilterOptions value) { filter_options_ = value; }
  // Takes text, options and flags of another manager.
  void AssignSettings(const TFilterMgr& other);

 private:
  void NewEvaluator(TTavDataSet* table);
  // Hands the manager's text, options and flags to the evaluator.
  void ConfigureEvaluator();
  void RequireEvaluator() const;
  void RequireCurrentFilter() const;
  bool HasHandler() const;
  bool Passes(uint32_t address);
  // Forgets the position indexes: the lists changed.
  void ListsChanged();
  // After each evaluation: the range's first record number when the
  // evaluator did not list the index.
  void Evaluated();
  // Puts a current filter the indexes answered into the current index's
  // order, dropping records outside the range: as the run of entries it
  // is, by searching each record's number, or, when many records pass, by
  // one walk of the index's addresses.
  void PlaceInBaseOrder();
  // Places a filter one walk of the current index answered, when its
  // records are one run of entries there: their numbers follow the first's.
  bool PlaceRun();
  void BuildFilterIndex();
  void BuildMasterIndex();
  // The record number in the current index (inside the range), or the
  // position in the current filter; -1 when absent.
  int MasterPosition(uint32_t address);
  int FilterPosition(uint32_t address);
  // The first passing record after (before) record number p.
  uint32_t SearchForward(int p);
  uint32_t SearchBackward(int p);

  bool open_ = false;
  bool assigned_ = false;  // the condition came through AssignExpr
  std::string filter_text_;
  host::TFilterOptions filter_options_;
  bool ordered_ = false;
  bool query_active_ = false;
  bool exclude_relop_nulls_ = false;
  std::string last_error_;
  std::unique_ptr<TTavFilterEvaluator> evaluator_;

  // Built on first use after the lists change: the current filter's
  // (address, position) pairs by address with each entry's record number
  // (ascending, since the current filter follows the index's order); and,
  // only for records outside the filter, the master list's (address,
  // record number) pairs when there is a master list.
  bool placed_ = false;
  std::vector<int32_t> base_positions_;  // record numbers of a placed filter
  bool filter_indexed_ = false;
  bool filter_sorted_ = false;  // filter_index_ is built
  bool master_indexed_ = false;
  std::vector<std::pair<uint32_t, int>> filter_index_;
  std::vector<std::pair<uint32_t, int>> master_index_;
  std::vector<int> filter_master_pos_;
  // The position in the current filter last handed out: a walk asks for
  // its neighbour next.
  int hint_ = -1;
  // The record MoveToEnd found before the filter was placed, with its
  // record number.
  std::pair<uint32_t, int32_t> end_{0, 0};
};

}  // namespace tav

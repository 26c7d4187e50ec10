// The data providers a SELECT runs over. A tree of providers answers the
// query's rows: inner nodes join two providers (the standard joins), leaves
// read one table each through a TTavDatasetBridge. Every provider is a data
// provider of the expression evaluator, so conditions and select items are
// evaluated against the tree's current row.
//
// A leaf filters its table twice: by its fixed selection (the part of the
// WHERE that concerns only its table) and, while it is the inner side of a
// join, by an extra selection that pins the join fields to the outer row.
//
// Callers must keep:
//  - Providers and bridges are owned by the provider manager; a provider
//    borrows its inputs and its bridge, which outlive it.
//  - A selection handed to SetJoinSelectExprRoot or SetExtraSelectExpRoot is
//    copied whole: the caller may free its tree at once. The copy borrows the
//    tokens of the parser that made the tree, which must outlive the leaf.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/expr/expr_tree.h"
#include "engine/query/exec/join_fields.h"

namespace host {
class TStrings;
}

namespace tav {

class TTavDatasetBridge;

class TTavBaseJoinDataProvider : public TTavExprDataProvider {
 public:
  TTavBaseJoinDataProvider() = default;
  ~TTavBaseJoinDataProvider() override;

  TTavExprDataProvider* FindProvider(const std::string& tableName) override {
    return FindJoinProvider(tableName);
  }

  const std::string& ProviderName() const { return provider_name_; }
  virtual void SetProviderName(const std::string& name) { provider_name_ = name; }
  // The provider's raw value of field `fieldNo`; nothing in the base.
  virtual void GetRawFieldData(int32_t fieldNo, TDataHolder& holder);
  virtual bool NextProviderRecord() { return false; }
  virtual bool FirstProviderRecord() { return false; }
  virtual void OpenProvider() { IsOpen = true; }
  // Statistics for a join over `fieldNames`; nothing in the base.
  virtual void AssessJoin(const std::vector<std::string>& fieldNames, TJoinStatistics& statistics);
  virtual void PrepareJoin(const std::vector<std::string>& fieldNames);
  // Only leaves take join values: the base raises a general exception.
  virtual void SetJoinValues(TTavExprOperator op, const std::vector<std::string>& fieldNames,
                             const std::vector<TDataHolder*>& values);
  // The provider of the tree that `name` (without regard to case) names: a
  // leaf whose alias it is, else a provider whose name it is that has no
  // alias (a join, a table read without one), else any provider of that
  // name (a table read only under an alias). Within each step this
  // provider, then the inner input's tree, then the outer's; nullptr when
  // none matches.
  virtual TTavBaseJoinDataProvider* FindJoinProvider(const std::string& name);
  // Keeps a private copy of the subtree under `node` (nullptr: none).
  virtual void SetJoinSelectExprRoot(const TTavExprNode* node);
  virtual void SetExtraSelectExpRoot(const TTavExprNode* node) { SetJoinSelectExprRoot(node); }
  // An extra selection is in force (one that SetExtraSelectExpRoot(nullptr)
  // would lift).
  virtual bool ExtraSelectionSet() const { return false; }
  // -1 in the base.
  virtual int32_t GetRecordCount() { return -1; }
  // The current row's identity; empty in the base.
  virtual std::string CurrentRecordIDAsString() { return {}; }

  // The provider names of the tree: outer input, this one, inner input.
  void DebugDumpProviderNames(const std::string& prefix, host::TStrings& lines) const;

  TTavExpr* JoinSelection() const { return join_selection_.get(); }
  TJoinStatistics& Statistics() { return statistics_; }

  TTavBaseJoinDataProvider* OuterProvider = nullptr;  // not owned
  TTavBaseJoinDataProvider* InnerProvider = nullptr;  // not owned
  // The join this provider is an input of (set when that join opens); not
  // owned.
  TTavBaseJoinDataProvider* Parent = nullptr;
  TTavJoinType JoinType = jtNone;
  std::string CorrelationName;
  bool IsOpen = false;
  // Every field reads NULL: the missing side of an outer join's row.
  bool ForceToNullValues = false;
  // This provider or a join above it is the missing side of the current
  // row: a leaf under a join that delivers NULLs delivers them too, since
  // conditions read a leaf directly.
  bool IsForcedNull() const {
    for (const TTavBaseJoinDataProvider* p = this; p != nullptr; p = p->Parent)
      if (p->ForceToNullValues) return true;
    return false;
  }

 protected:
  // How a qualifier may name a provider, strongest first.
  enum class TNameMatch { Alias, Unaliased, Name };
  virtual bool MatchesName(const std::string& name, TNameMatch match) const;

  std::string provider_name_;
  TJoinStatistics statistics_;
  std::unique_ptr<TTavExpr> join_selection_;
};

// A leaf: one table read through its bridge.
class TTavNonJoinDataProvider : public TTavBaseJoinDataProvider {
 public:
  TTavNonJoinDataProvider();
  ~TTavNonJoinDataProvider() override;

  TTavDatasetBridge* DataBridge() const { return bridge_; }
  // Binds the bridge (not owned).
  void SetDataBridge(TTavDatasetBridge* bridge) { bridge_ = bridge; }

  // The bridge's layout, each field numbered by its position.
  TInternalFields* GetProviderFields() override;
  // NULL under ForceToNullValues or when the bridge holds no records.
  host::Variant GetDataAsVariant(int32_t fieldNo) override;
  TInternalFieldItem* FindField(const TParserToken* token, const std::string& name) override;
  TTavExprDataProvider* FindProvider(const std::string& tableName) override {
    return FindJoinProvider(tableName);
  }
  // Makes the record at `address` current (a row found by address, as a hash
  // join finds them); False when it is gone. While records are kept (below)
  // one read before is served from memory.
  bool MoveToRecord(uint32_t address) override;
  // The inner side of a hash join meets its records again and again: on,
  // each record MoveToRecord reads is kept (up to a bound on the memory)
  // and found there the next time, as long as the bridge holds its table's
  // read lock for the run, under which nobody changes the table; off (and
  // the lock's end) forgets them. A read through the bridge moves it onto a
  // record served from memory first.
  void KeepRecordsRead(bool on);

  void SetProviderName(const std::string& name) override;
  void GetRawFieldData(int32_t fieldNo, TDataHolder& holder) override;
  bool NextProviderRecord() override;
  bool FirstProviderRecord() override;
  // Opens the bridge and filters it by the join selection, when there is one.
  void OpenProvider() override;
  void AssessJoin(const std::vector<std::string>& fieldNames, TJoinStatistics& statistics) override;
  void PrepareJoin(const std::vector<std::string>& fieldNames) override;
  void SetJoinValues(TTavExprOperator op, const std::vector<std::string>& fieldNames,
                     const std::vector<TDataHolder*>& values) override;
  void SetJoinSelectExprRoot(const TTavExprNode* node) override;
  // The extra selection is `node` AND the join selection; the bridge filters
  // by it at once when open. nullptr goes back to the join selection alone.
  void SetExtraSelectExpRoot(const TTavExprNode* node) override;
  // Opens a closed bridge for the count and closes it again.
  int32_t GetRecordCount() override;
  // The current record's address in decimal; empty when closed, at the end
  // or under ForceToNullValues.
  std::string CurrentRecordIDAsString() override;

  // The leaf may answer its join selection by a key range on one of its
  // table's indexes (TTavDatasetBridge::SelectByKeyRange): only a leaf that
  // is the whole plan, whose bridge no join repositions or re-indexes.
  void SetKeyRangesAllowed(bool value) { key_ranges_ = value; }
  // Filters the open bridge again by the selection as it stands now (its
  // constants given new values in place, say).
  void ReapplySelection();
  // The current record's bytes, laid out as the bridge's fields describe;
  // nullptr where every field reads NULL (no current record, or the missing
  // side of an outer join's row).
  const uint8_t* CurrentRecordBytes() const;

  // Key lookups of a join's inner side (TTavDatasetBridge::PrepareKeyLookup):
  // field `fieldNo` of the leaf's layout, an integer field; only for a leaf
  // without a selection. False, nothing changed, when no index serves.
  bool CanLookUpKey(int32_t fieldNo);
  bool PrepareKeyLookup(int32_t fieldNo);
  // The first (next) record whose field holds the raw value (`length`
  // bytes, as the field stores it).
  bool FirstKeyRecord(const uint8_t* data, int32_t length);
  bool NextKeyRecord();

  TTavExpr* ExtraSelection() const { return extra_selection_.get(); }
  bool ExtraSelectionSet() const override { return extra_selection_ != nullptr; }

 protected:
  // Its alias, or its table's name.
  bool MatchesName(const std::string& name, TNameMatch match) const override;

 private:
  TTavDatasetBridge& Bridge() const;
  // The selection the bridge filters by now: the extra one, else the join
  // selection, else none.
  void ApplySelection();
  void RefreshFields();

  // Puts the bridge on the record served from memory, if one is current.
  void SettleBridge();
  // The bridge moved (or will): no record from memory is current.
  void LeaveKeptRecord() { kept_current_ = nullptr; }

  class TKeptRecords;

  TTavDatasetBridge* bridge_ = nullptr;
  std::unique_ptr<TTavExpr> extra_selection_;
  // The bridge is on a record (the last first/next found one), or, when
  // kept_current_ is set, that record is current though the bridge is
  // elsewhere.
  bool on_record_ = false;
  bool keep_records_ = false;
  std::unique_ptr<TKeptRecords> kept_;  // made under the first lock seen
  const uint8_t* kept_current_ = nullptr;
  uint32_t kept_address_ = 0;
  bool key_ranges_ = false;
};

}  // namespace tav

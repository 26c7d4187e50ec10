// How one standard join produces its rows. TJoinAnalyser reads the join's ON
// condition into a tree of TJoinExprNode and decides whether the join can be
// answered through hash tables: the condition must be AND and OR over
// equalities of a field on each side whose keys compare as bytes (two fields
// of one integer type, or two case-sensitive variable texts). TJoinEvaluator
// then runs the join in one of two modes:
//  - jmtJoinExpr (re-filter): for every outer row the inner side is filtered
//    by the ON condition with the outer row's values put in as constants (a
//    leaf through its filter, a join by checking its rows);
//  - jmtHashJoin: the inner leaf's join fields are loaded once into hash
//    tables (TJoinExprNodeEvaluator, one per equality); for each outer row the
//    candidate records are looked up by key, and each is checked against the
//    keys and the leaf's own selection before it is delivered (the leaf
//    keeps the records it read, so that each is read from its table once
//    while the run holds the table's read lock);
//  - jmtKeyLookup (when the outer side is a leaf of far fewer rows): the
//    inner side is a leaf without a selection whose table has an index led
//    by the field of one of the condition's equalities (an integer field;
//    the condition AND and OR over such equalities, the chosen one under
//    ANDs only); for each outer row that index is searched once for the
//    outer row's key and the records found are checked against the whole
//    condition.
// A leaf on the outer side is read in record order (rows come in no
// particular order from any join).
// Outer joins add a row with NULLs for the inner side when no inner row
// matches an outer row; FULL and UNION joins run a second pass with the roles
// exchanged (FULL: the inner rows no outer row matched; UNION: every row of
// the other side), each side's rows then paired with NULLs.
//
// Callers must keep:
//  - The providers outlive the analyser and the evaluator; both are rebuilt
//    when the join opens (the hash tables are loaded then, once).
//  - The evaluator's state changes only inside FirstRecord and NextRecord;
//    FirstRecord starts the join over (a join that is the inner side of
//    another is restarted for every row of that one's outer side).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/expr/expr_tree.h"
#include "engine/query/exec/join_fields.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/record/internal_fields.h"
#include "host/rtl/object.h"

namespace tav {

class TTavBaseJoinDataProvider;
class TTavNonJoinDataProvider;
class TJoinExprNodeEvaluator;

enum TJoinModeType { jmtJoinExpr, jmtHashJoin, jmtKeyLookup };

// The leaf of `tree` that reads the table (`tableName`, `correlationName`):
// by correlation name when there is one, otherwise a leaf of that table name
// without an alias; nullptr when none.
TTavNonJoinDataProvider* FindTableLeaf(TTavBaseJoinDataProvider* tree, const std::string& tableName,
                                       const std::string& correlationName);
// The leaf of `tree` that a field node's table is read from; nullptr when
// none.
TTavNonJoinDataProvider* FindFieldLeaf(TTavBaseJoinDataProvider* tree, const TTavExprNode& field);

// The hash table of a hash join: the base hash with buckets chosen by a
// well-mixed hash of the key's bytes, so that keys close together (integer
// keys counting up, say) spread evenly. Zero bytes at the end of a key do
// not count, so a key and its zero-padded form share their bucket, as the
// base hash's matching of a shorter key wants.
class TJoinKeyHash final : public TTavBaseHash {
 public:
  using TTavBaseHash::TTavBaseHash;

 protected:
  uint32_t HashOf(const void* key, int length) const override;
};

// The hash TJoinKeyHash buckets a key by.
uint32_t JoinKeyHashOf(const void* key, int length);

// Where a key field stands in its leaf's record: a fixed-size field read
// straight from the record's bytes (Valid false: read through the leaf).
struct TStoredKey {
  bool Valid = false;
  int32_t NullFlagOffset = 0;
  int32_t DataOffset = 0;
  int32_t Size = 0;
};

// One node of a join's ON condition as the analyser sees it: an equality
// joining a field of each side, or AND/OR over such nodes.
class TJoinExprNode : public host::TObject {
 public:
  // The node (and everything below it) can be answered by hash tables.
  bool SplitOK = false;
  TJoinExprNode* Next = nullptr;  // the analysis's chain, for freeing
  TJoinExprNode* Right = nullptr;
  TJoinExprNode* Left = nullptr;
  const TTavExprNode* ExprNode = nullptr;  // not owned
  // An equality's two fields: Left on the analyser's outer side, Right on
  // its inner side, whichever way the condition writes them.
  TTavNonJoinDataProvider* LeftProvider = nullptr;
  TTavNonJoinDataProvider* RightProvider = nullptr;
  TInternalFieldItem* RightSourceField = nullptr;
  TInternalFieldItem* LeftSourceField = nullptr;
  TJoinExprNodeEvaluator* Evaluator = nullptr;  // not owned

  bool IsEquality() const { return LeftSourceField != nullptr; }
};

// The hash table of one equality, filled from the inner leaf, and the inner
// records matching the current outer row's key.
class TJoinExprNodeEvaluator : public host::TObject {
 public:
  explicit TJoinExprNodeEvaluator(TJoinExprNode* source);
  ~TJoinExprNodeEvaluator() override;

  // Loads the hash of the equality's field on `innerLeaf` (which must be one
  // of the equality's two providers). `filterActive` and `filtered` receive
  // the leaf's selection: whether one is active, and then the passing
  // records' addresses, ascending.
  void Prepare(TTavNonJoinDataProvider* innerLeaf, bool& filterActive, std::vector<uint32_t>& filtered);
  // As Prepare without the hash: the keys are read and compared, not
  // looked up (key lookup mode).
  void PrepareKeys(TTavNonJoinDataProvider* innerLeaf);
  // The field of the equality on the inner leaf (after a preparation).
  TInternalFieldItem* InnerField() const { return inner_field_; }
  // The key of the current outer row: the equality's field on the other
  // side, read raw. A NULL key, and one longer than the inner field can
  // hold, match nothing.
  void ReadSourceKey();
  // The match list of the current key, ascending.
  void FindMatches();
  // The inner leaf's current record holds exactly the key.
  bool CurrentRecordMatches();

  TJoinExprNode* Source() const { return source_; }
  // The key ReadSourceKey read: NULL (matches nothing), else its bytes.
  bool KeyIsNull() const { return key_is_null_; }
  const std::vector<uint8_t>& Key() const { return key_; }
  std::vector<uint32_t> MatchList;
  TJoinExprNodeEvaluator* Next = nullptr;
  bool Prepared = false;

 private:
  TJoinExprNode* source_;
  std::unique_ptr<TJoinKeyHash> hash_;
  TTavNonJoinDataProvider* inner_leaf_ = nullptr;
  TTavNonJoinDataProvider* outer_leaf_ = nullptr;
  TInternalFieldItem* inner_field_ = nullptr;
  TInternalFieldItem* outer_field_ = nullptr;
  std::vector<uint8_t> key_;
  int key_size_ = 0;
  bool key_is_null_ = true;
  // The key fields read straight from the records (fixed-size integers).
  TStoredKey outer_stored_;
  TStoredKey inner_stored_;
  TDataHolder outer_holder_;
  TDataHolder inner_holder_;
};

class TJoinAnalyser : public host::TObject {
 public:
  TJoinAnalyser() = default;
  TJoinAnalyser(const TJoinAnalyser&) = delete;
  TJoinAnalyser& operator=(const TJoinAnalyser&) = delete;
  ~TJoinAnalyser() override;

  // The ON condition (a private clone; nullptr: none).
  void SetJoinExprRoot(const TTavExprNode* node);
  TTavExprNode* JoinExprRoot() const { return expr_ ? expr_->Root() : nullptr; }
  // Builds the join-node tree over the current providers and chooses the
  // inner side (below).
  void CreateAnalyserTree();
  // The whole ON condition is AND and OR over hashable equalities.
  bool CanHashJoin() const { return root_ != nullptr && root_->SplitOK && HashJoinAllowed; }
  // With UseKeyLookup the equality through which the searched side is
  // looked up by key (see jmtKeyLookup); else nullptr.
  TJoinExprNode* LookupNode() const { return lookup_node_; }
  void Clear();

  TJoinExprNode* Root() const { return root_; }
  TJoinExprNode* Chain() const { return chain_; }

  TTavBaseJoinDataProvider* InnerProvider = nullptr;
  TTavBaseJoinDataProvider* OuterProvider = nullptr;
  TTavJoinType JoinType = jtInnerJoin;
  TTavBaseJoinDataProvider* Owner = nullptr;
  // Off: every join runs in re-filter mode (both modes give the same rows;
  // tests run each hashable join both ways).
  bool HashJoinAllowed = true;
  // Off: no join runs in key lookup mode (tests compare the modes).
  bool KeyLookupAllowed = true;
  // Set by CreateAnalyserTree: the inner side is to be searched by key.
  bool UseKeyLookup = false;

 private:
  TJoinExprNode* Parse(const TTavExprNode* node, int depth);
  // An equality of a field on each side whose keys compare as bytes; else
  // nullptr.
  TJoinExprNode* ParseEquality(const TTavExprNode* node);
  bool CheckSplit(TJoinExprNode* node, int depth);
  // `driving` holds few rows against `searched` (both leaves; see the
  // ratio in the source).
  bool FewRowsDriveMany(TTavNonJoinDataProvider* driving, TTavNonJoinDataProvider* searched) const;
  // The equality through which `leaf` (one side of the join) can be served
  // by key lookups, or nullptr.
  TJoinExprNode* KeyLookupNode(TTavNonJoinDataProvider* leaf) const;
  TJoinExprNode* FindKeyLookupNode(TJoinExprNode* node, TTavNonJoinDataProvider* leaf, int depth) const;
  TJoinExprNode* NewNode(const TTavExprNode* exprNode);

  std::unique_ptr<TTavExpr> expr_;
  TJoinExprNode* root_ = nullptr;
  TJoinExprNode* chain_ = nullptr;
  TJoinExprNode* lookup_node_ = nullptr;  // in chain_
};

class TJoinEvaluator : public host::TObject {
 public:
  explicit TJoinEvaluator(TJoinAnalyser& analyser) : analyser_(analyser) {}
  TJoinEvaluator(const TJoinEvaluator&) = delete;
  TJoinEvaluator& operator=(const TJoinEvaluator&) = delete;
  ~TJoinEvaluator() override;

  // Chooses the mode and, in hash mode, loads the hash tables; after the
  // analyser's tree is built, once per open.
  void Prepare();
  bool FirstRecord();
  bool NextRecord();

  TJoinModeType JoinModeType() const { return mode_; }
  int Pass() const { return pass_; }
  TTavBaseJoinDataProvider* CurrentOuter() const { return outer_; }
  TTavBaseJoinDataProvider* CurrentInner() const { return inner_; }

 private:
  // A field of the ON condition that the current outer side supplies, and
  // the constant node that holds its value in the inner side's condition.
  struct TOuterValue {
    TTavExprNode* Constant;
    TTavNonJoinDataProvider* Leaf;
    int32_t FieldNo;
  };

  void FreeNodeEvaluators();
  // A new evaluator for the join node `n`, linked into node_evaluators_
  // (which owns it) and set as the node's.
  TJoinExprNodeEvaluator* AddNodeEvaluator(TJoinExprNode* n);
  // The pass-1 roles, NULL flags and per-row state.
  void Restart();
  // The inner side's condition for re-filter mode: the ON condition with
  // the current outer side's fields as constants.
  void BuildInnerCondition();
  bool StepOuter(bool first);
  // Positions the inner side for the current outer row.
  void StartOuterRow();
  bool StepInner();
  bool StepHashCandidate();
  bool StepKeyCandidate();
  // The inner leaf's current record meets the keys of `node`'s subtree.
  bool CandidateMatches(TJoinExprNode* node, int depth);
  // The candidate records of `node`'s subtree: AND intersects, OR unites.
  std::vector<uint32_t> ListOf(TJoinExprNode* node, int depth);
  bool NextPass();
  bool Advance();
  void RecordRow();
  // The join type keeps outer rows that match nothing (in this pass).
  bool PreservesOuter() const;

  TJoinAnalyser& analyser_;
  int32_t match_position_ = -1;
  TJoinExprNodeEvaluator* node_evaluators_ = nullptr;  // owned chain
  TTavNonJoinDataProvider* inner_leaf_ = nullptr;
  TTavBaseJoinDataProvider* inner_ = nullptr;
  TTavBaseJoinDataProvider* outer_ = nullptr;
  TJoinModeType mode_ = jmtJoinExpr;
  int pass_ = 1;
  // The ids of the inner rows pass 1 delivered (FULL joins).
  std::unordered_set<std::string> matched_ids_;

  // Key lookup mode: the equality whose key is looked up.
  TJoinExprNodeEvaluator* lookup_ = nullptr;
  std::vector<uint32_t> candidates_;
  bool filter_active_ = false;
  std::vector<uint32_t> filtered_;  // ascending
  TTavExpr inner_condition_;
  std::vector<TOuterValue> outer_values_;
  bool have_outer_row_ = false;
  bool outer_started_ = false;
  bool finished_ = false;
  bool inner_started_ = false;
  bool inner_found_ = false;
  bool null_row_given_ = false;
  // Every row of the current outer side is paired with NULLs (UNION, and
  // pass 2 of FULL).
  bool null_only_ = false;
};

}  // namespace tav

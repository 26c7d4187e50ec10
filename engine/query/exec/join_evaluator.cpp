#include "engine/query/exec/join_evaluator.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_provider.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

void CollectLeaves(TTavBaseJoinDataProvider* p, std::vector<TTavNonJoinDataProvider*>& out) {
  if (p == nullptr) return;
  if (auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(p)) {
    out.push_back(leaf);
    return;
  }
  CollectLeaves(p->OuterProvider, out);
  CollectLeaves(p->InnerProvider, out);
}

// The key classes whose equal values are equal bytes: the join compares
// such keys by their raw data. Floats are left out (0 and -0 are equal),
// so are dates and case-insensitive or fixed-size texts.
enum TKeyClass { kcNone, kcInt16, kcWord, kcInt32, kcInt64, kcText };

TKeyClass KeyClassOf(const TInternalFieldItem& field) {
  switch (field.DataType()) {
    case host::ftSmallint: return kcInt16;
    case host::ftWord: return kcWord;
    case host::ftInteger:
    case host::ftAutoInc: return kcInt32;
    case host::ftLargeint: return kcInt64;
    case host::ftString: return field.IsVariable() ? kcText : kcNone;
    default: return kcNone;
  }
}

bool IsPlainField(const TTavExprNode* node) {
  return node != nullptr && node->Kind == enkField && node->Args.empty() && node->PartialLength <= 0 &&
         !node->PartialMatch && !node->CaseInsensitiveMatch;
}

std::vector<uint32_t> Intersect(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  std::vector<uint32_t> out;
  const auto& shorter = a.size() <= b.size() ? a : b;
  const auto& longer = a.size() <= b.size() ? b : a;
  std::set_intersection(shorter.begin(), shorter.end(), longer.begin(), longer.end(),
                        std::back_inserter(out));
  return out;
}

std::vector<uint32_t> Unite(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  std::vector<uint32_t> out;
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// Where `field` of `leaf`'s layout stands in the leaf's record when it is a
// fixed-size integer read as its bytes; else not Valid.
TStoredKey StoredKeyOf(const TTavNonJoinDataProvider* leaf, const TInternalFieldItem* field) {
  const TTavDatasetBridge* bridge = leaf != nullptr ? leaf->DataBridge() : nullptr;
  if (bridge == nullptr || field == nullptr || !bridge->InternalActive()) return {};
  const int32_t fieldNo = field->FieldNo();
  if (fieldNo < 0 || fieldNo >= bridge->GetInternalFieldCount() || bridge->IsFieldBlob(fieldNo)) return {};
  const TInternalFieldItem& stored = bridge->GetFieldDef(fieldNo);
  switch (KeyClassOf(stored)) {
    case kcInt16:
    case kcWord:
    case kcInt32:
    case kcInt64: break;
    default: return {};
  }
  if (stored.IsVariable() || stored.FieldSize() <= 0 || stored.DataType() != field->DataType()) return {};
  return {true, stored.NullFlagOffset(), stored.DataOffset(), stored.FieldSize()};
}

// The key's bytes in `leaf`'s current record; nullptr for NULL (a zero flag
// byte, no current record, or the missing side of an outer join's row).
const uint8_t* StoredKeyBytes(const TTavNonJoinDataProvider* leaf, const TStoredKey& key) {
  const uint8_t* record = leaf->CurrentRecordBytes();
  if (record == nullptr || record[key.NullFlagOffset] == 0) return nullptr;
  return record + key.DataOffset;
}

// Frees a chain linked through Next (the nodes own nothing of each other).
template <class T>
void FreeChain(T*& head) {
  while (head != nullptr) {
    T* next = head->Next;
    delete head;
    head = next;
  }
}

}  // namespace

TTavNonJoinDataProvider* FindTableLeaf(TTavBaseJoinDataProvider* tree, const std::string& tableName,
                                       const std::string& correlationName) {
  std::vector<TTavNonJoinDataProvider*> leaves;
  CollectLeaves(tree, leaves);
  if (!correlationName.empty()) {
    for (TTavNonJoinDataProvider* leaf : leaves)
      if (host::SameText(leaf->CorrelationName, correlationName)) return leaf;
    // A reference may carry its table name where the alias would stand.
    for (TTavNonJoinDataProvider* leaf : leaves)
      if (leaf->CorrelationName.empty() && host::SameText(leaf->ProviderName(), correlationName))
        return leaf;
    return nullptr;
  }
  // A reference without an alias is never a leaf read under one: in
  // "FROM T x, T" the second T is a table of its own.
  if (tableName.empty()) return nullptr;
  for (TTavNonJoinDataProvider* leaf : leaves)
    if (leaf->CorrelationName.empty() && host::SameText(leaf->ProviderName(), tableName)) return leaf;
  return nullptr;
}

TTavNonJoinDataProvider* FindFieldLeaf(TTavBaseJoinDataProvider* tree, const TTavExprNode& field) {
  if (field.TableList.Count() > 0) {
    const TTableNameItem* item = field.TableList.Items(0);
    return FindTableLeaf(tree, item->TableName(), item->CorrelationName());
  }
  if (!field.TokenArgs.empty() && field.TokenArgs.front() != nullptr)
    return FindTableLeaf(tree, "", field.TokenArgs.front()->Text);
  return nullptr;
}

// ---------------------------------------------------------------------------
// TJoinKeyHash

uint32_t JoinKeyHashOf(const void* key, int length) {
  const auto* k = static_cast<const unsigned char*>(key);
  uint64_t h = 0x9e3779b97f4a7c15ull;
  const auto mix = [&h](uint64_t word) {
    h = (h ^ word) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  };
  if (length > 0 && length <= 8) {
    // One word, zero-padded as the key's trailing zeros would be dropped:
    // the same value as the loop below gives.
    uint64_t word = 0;
    std::memcpy(&word, k, static_cast<size_t>(length));
    if (word != 0) mix(word);
  } else {
    while (length > 0 && k[length - 1] == 0) --length;
    for (int i = 0; i < length; i += 8) {
      uint64_t word = 0;
      std::memcpy(&word, k + i, static_cast<size_t>(std::min(8, length - i)));
      mix(word);
    }
  }
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return static_cast<uint32_t>(h);
}

uint32_t TJoinKeyHash::HashOf(const void* key, int length) const { return JoinKeyHashOf(key, length); }

// ---------------------------------------------------------------------------
// TJoinExprNodeEvaluator

TJoinExprNodeEvaluator::TJoinExprNodeEvaluator(TJoinExprNode* source) : source_(source) {}

TJoinExprNodeEvaluator::~TJoinExprNodeEvaluator() = default;

void TJoinExprNodeEvaluator::PrepareKeys(TTavNonJoinDataProvider* innerLeaf) {
  TAV_ASSERT(source_ != nullptr, "TJoinExprNodeEvaluator - source node is not assigned");
  TAV_ASSERT(innerLeaf != nullptr, "TJoinExprNodeEvaluator - InnerProvider is not assigned");
  if (innerLeaf == source_->RightProvider) {
    inner_field_ = source_->RightSourceField;
    outer_leaf_ = source_->LeftProvider;
    outer_field_ = source_->LeftSourceField;
  } else {
    TAV_ASSERT(innerLeaf == source_->LeftProvider, "Hash table SourceFieldName could not be set");
    inner_field_ = source_->LeftSourceField;
    outer_leaf_ = source_->RightProvider;
    outer_field_ = source_->RightSourceField;
  }
  inner_leaf_ = innerLeaf;
  outer_stored_ = StoredKeyOf(outer_leaf_, outer_field_);
  inner_stored_ = StoredKeyOf(inner_leaf_, inner_field_);
  key_size_ = std::max(1, static_cast<int>(inner_field_->FieldSize()));
  key_is_null_ = true;
  Prepared = true;
}

void TJoinExprNodeEvaluator::Prepare(TTavNonJoinDataProvider* innerLeaf, bool& filterActive,
                                     std::vector<uint32_t>& filtered) {
  PrepareKeys(innerLeaf);
  TTavDatasetBridge& bridge = *innerLeaf->DataBridge();
  if (!bridge.Active()) bridge.Open();
  const int keySize = key_size_;
  const int n = bridge.GetTotalBridgeRecordCount() + 10;
  hash_ = std::make_unique<TJoinKeyHash>(2 * n, keySize, n);
  hash_->SetDataType(source_->LeftSourceField->DataType());
  hash_->SetSourceFieldName(inner_field_->FieldName());
  TCompoundList list;
  bridge.LoadHashTable(*hash_, list, filterActive);
  filtered.clear();
  if (filterActive) {
    filtered.reserve(static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) filtered.push_back(list.Items(i));
    std::sort(filtered.begin(), filtered.end());
  }
  Prepared = true;
}

void TJoinExprNodeEvaluator::ReadSourceKey() {
  if (outer_stored_.Valid) {
    const uint8_t* data = StoredKeyBytes(outer_leaf_, outer_stored_);
    key_is_null_ = data == nullptr || outer_stored_.Size > key_size_;
    if (key_is_null_) {
      key_.clear();
      return;
    }
    key_.assign(data, data + outer_stored_.Size);
    return;
  }
  outer_leaf_->GetRawFieldData(outer_field_->FieldNo(), outer_holder_);
  key_.clear();
  // A NULL key matches nothing, and neither does one longer than any value
  // the inner field can hold.
  key_is_null_ = outer_holder_.IsNull || outer_holder_.UsesStream || outer_holder_.Length < 0 ||
                 outer_holder_.Length > key_size_;
  if (key_is_null_) return;
  if (outer_holder_.Length > 0)
    key_.assign(outer_holder_.Data, outer_holder_.Data + outer_holder_.Length);
}

void TJoinExprNodeEvaluator::FindMatches() {
  MatchList.clear();
  if (key_is_null_) return;
  static const uint8_t kEmpty = 0;
  hash_->FirstMatch(key_.empty() ? &kEmpty : key_.data(), static_cast<int>(key_.size()), [this](uint32_t address) {
    MatchList.push_back(address);
    return false;
  });
  if (MatchList.size() < 2) return;
  std::sort(MatchList.begin(), MatchList.end());
  MatchList.erase(std::unique(MatchList.begin(), MatchList.end()), MatchList.end());
}

bool TJoinExprNodeEvaluator::CurrentRecordMatches() {
  if (key_is_null_) return false;
  if (inner_stored_.Valid) {
    const uint8_t* data = StoredKeyBytes(inner_leaf_, inner_stored_);
    return data != nullptr && static_cast<size_t>(inner_stored_.Size) == key_.size() &&
           std::memcmp(data, key_.data(), key_.size()) == 0;
  }
  inner_leaf_->GetRawFieldData(inner_field_->FieldNo(), inner_holder_);
  if (inner_holder_.IsNull || inner_holder_.UsesStream) return false;
  if (inner_holder_.Length != static_cast<int32_t>(key_.size())) return false;
  return key_.empty() || std::memcmp(inner_holder_.Data, key_.data(), key_.size()) == 0;
}

// ---------------------------------------------------------------------------
// TJoinAnalyser

TJoinAnalyser::~TJoinAnalyser() { Clear(); }

void TJoinAnalyser::Clear() {
  FreeChain(chain_);
  root_ = nullptr;
  lookup_node_ = nullptr;
}

void TJoinAnalyser::SetJoinExprRoot(const TTavExprNode* node) {
  Clear();
  expr_.reset();
  if (node == nullptr) return;
  expr_ = std::make_unique<TTavExpr>();
  expr_->CloneFromTree(node);
}

TJoinExprNode* TJoinAnalyser::NewNode(const TTavExprNode* exprNode) {
  auto* node = new TJoinExprNode();
  node->ExprNode = exprNode;
  node->Next = chain_;
  chain_ = node;
  return node;
}

TJoinExprNode* TJoinAnalyser::ParseEquality(const TTavExprNode* node) {
  if (node->Kind != enkRelOperator || node->Operator != teoEQ || node->CaseInsensitiveMatch ||
      !IsPlainField(node->Left) || !IsPlainField(node->Right))
    return nullptr;
  // An equality joins the sides only when its fields lie one on each side;
  // two fields of one side are left to re-filter mode.
  TTavNonJoinDataProvider* leftOuter = FindFieldLeaf(OuterProvider, *node->Left);
  TTavNonJoinDataProvider* rightInner = FindFieldLeaf(InnerProvider, *node->Right);
  const TTavExprNode* outerField = node->Left;
  const TTavExprNode* innerField = node->Right;
  TTavNonJoinDataProvider* outerLeaf = leftOuter;
  TTavNonJoinDataProvider* innerLeaf = rightInner;
  if (leftOuter == nullptr || rightInner == nullptr) {
    outerLeaf = FindFieldLeaf(OuterProvider, *node->Right);
    innerLeaf = FindFieldLeaf(InnerProvider, *node->Left);
    outerField = node->Right;
    innerField = node->Left;
  }
  if (outerLeaf == nullptr || innerLeaf == nullptr || outerLeaf == innerLeaf) return nullptr;
  TInternalFieldItem* outerItem = outerLeaf->FindField(nullptr, host::VarToStr(outerField->Data));
  TInternalFieldItem* innerItem = innerLeaf->FindField(nullptr, host::VarToStr(innerField->Data));
  if (outerItem == nullptr || innerItem == nullptr) return nullptr;
  // Only keys whose equal values are equal bytes can be hashed: INTEGER
  // against FLOAT, say, is compared by value in re-filter mode.
  const TKeyClass keyClass = KeyClassOf(*outerItem);
  if (keyClass == kcNone || keyClass != KeyClassOf(*innerItem)) return nullptr;
  TJoinExprNode* joinNode = NewNode(node);
  joinNode->LeftProvider = outerLeaf;
  joinNode->LeftSourceField = outerItem;
  joinNode->RightProvider = innerLeaf;
  joinNode->RightSourceField = innerItem;
  joinNode->SplitOK = true;
  return joinNode;
}

TJoinExprNode* TJoinAnalyser::Parse(const TTavExprNode* node, int depth) {
  if (node == nullptr) return nullptr;
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Join condition too deep");
  if (node->Kind == enkLogicalOperator && (node->Operator == teoAND || node->Operator == teoOR)) {
    TJoinExprNode* left = Parse(node->Left, depth + 1);
    TJoinExprNode* right = Parse(node->Right, depth + 1);
    if (left == nullptr && right == nullptr) return nullptr;
    TJoinExprNode* joinNode = NewNode(node);
    joinNode->Left = left;
    joinNode->Right = right;
    joinNode->SplitOK = left != nullptr && right != nullptr && left->SplitOK && right->SplitOK;
    return joinNode;
  }
  return ParseEquality(node);
}

namespace {

// A table is searched by key for each row of the other side when it holds
// at least this many times as many rows: a search costs about as much as
// reading this many records into a hash.
constexpr int64_t kKeyLookupRatio = 16;

}  // namespace

TJoinExprNode* TJoinAnalyser::FindKeyLookupNode(TJoinExprNode* node, TTavNonJoinDataProvider* leaf,
                                                int depth) const {
  if (node == nullptr) return nullptr;
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Join condition too deep");
  if (node->IsEquality()) {
    TInternalFieldItem* field = node->RightProvider == leaf  ? node->RightSourceField
                                : node->LeftProvider == leaf ? node->LeftSourceField
                                                             : nullptr;
    // The leaf serves integer keys only, whose equal values are equal keys
    // in any index.
    if (field == nullptr || !leaf->CanLookUpKey(field->FieldNo())) return nullptr;
    return node;
  }
  // Every matching row meets each side of an AND, not each side of an OR.
  if (node->ExprNode == nullptr || node->ExprNode->Operator != teoAND) return nullptr;
  if (TJoinExprNode* found = FindKeyLookupNode(node->Left, leaf, depth + 1)) return found;
  return FindKeyLookupNode(node->Right, leaf, depth + 1);
}

TJoinExprNode* TJoinAnalyser::KeyLookupNode(TTavNonJoinDataProvider* leaf) const {
  // The records found are checked against the whole condition by key.
  if (!KeyLookupAllowed || leaf == nullptr || root_ == nullptr || !root_->SplitOK) return nullptr;
  if (JoinType == jtUnionJoin || JoinType == jtCrossJoin) return nullptr;
  return FindKeyLookupNode(root_, leaf, 1);
}

bool TJoinAnalyser::FewRowsDriveMany(TTavNonJoinDataProvider* driving, TTavNonJoinDataProvider* searched) const {
  if (driving == nullptr || searched == nullptr) return false;
  const int32_t few = driving->GetRecordCount();
  const int32_t many = searched->GetRecordCount();
  return few >= 0 && many >= 0 && int64_t{few} * kKeyLookupRatio <= many;
}

void TJoinAnalyser::CreateAnalyserTree() {
  Clear();
  TAV_ASSERT(InnerProvider != nullptr, "Right provider is not assigned");
  TAV_ASSERT(OuterProvider != nullptr, "Left provider is not assigned");
  root_ = Parse(JoinExprRoot(), 1);
  UseKeyLookup = false;
  if (!CanHashJoin()) return;
  auto* outerLeaf = dynamic_cast<TTavNonJoinDataProvider*>(OuterProvider);
  auto* innerLeaf = dynamic_cast<TTavNonJoinDataProvider*>(InnerProvider);
  if (JoinType != jtInnerJoin) {
    // The sides stay as written; the one an outer join may leave out is the
    // one searched.
    const bool right = JoinType == jtRightOuterJoin;
    TTavNonJoinDataProvider* searched = right ? outerLeaf : innerLeaf;
    TJoinExprNode* node = KeyLookupNode(searched);
    if (node != nullptr && FewRowsDriveMany(right ? innerLeaf : outerLeaf, searched)) lookup_node_ = node;
    UseKeyLookup = lookup_node_ != nullptr;
    return;
  }
  if (outerLeaf == nullptr || innerLeaf == nullptr) return;
  const int32_t outerCount = OuterProvider->GetRecordCount();
  const int32_t innerCount = InnerProvider->GetRecordCount();
  TTavNonJoinDataProvider* larger = outerCount > innerCount ? outerLeaf : innerLeaf;
  bool swap;
  TJoinExprNode* node = KeyLookupNode(larger);
  if (node != nullptr && FewRowsDriveMany(larger == outerLeaf ? innerLeaf : outerLeaf, larger)) {
    // A few rows looked up in a large table: it is searched by key, not
    // read whole into a hash.
    UseKeyLookup = true;
    swap = larger != innerLeaf;
    lookup_node_ = node;
  } else {
    // Hashing a table reads all its records, walking one those its
    // selection passes: the cheaper of the two ways round. On a tie the
    // smaller table is hashed (its records, read again for each match, stay
    // cached), and between equals the one with a selection.
    const int64_t outerAll = outerLeaf->DataBridge()->GetTotalBridgeRecordCount();
    const int64_t innerAll = innerLeaf->DataBridge()->GetTotalBridgeRecordCount();
    const int64_t hashInner = innerAll + outerCount;
    const int64_t hashOuter = outerAll + innerCount;
    swap = hashOuter < hashInner ||
           (hashOuter == hashInner &&
            (outerAll < innerAll || (outerAll == innerAll && outerCount == innerCount &&
                                     OuterProvider->JoinSelection() != nullptr &&
                                     InnerProvider->JoinSelection() == nullptr)));
  }
  if (!swap) return;
  std::swap(OuterProvider, InnerProvider);
  Clear();
  root_ = Parse(JoinExprRoot(), 1);
  // The same equality in the tree read the other way round.
  if (UseKeyLookup) {
    lookup_node_ = KeyLookupNode(larger);
    UseKeyLookup = lookup_node_ != nullptr;
  }
}

// ---------------------------------------------------------------------------
// TJoinEvaluator

TJoinEvaluator::~TJoinEvaluator() { FreeNodeEvaluators(); }

TJoinExprNodeEvaluator* TJoinEvaluator::AddNodeEvaluator(TJoinExprNode* n) {
  auto* evaluator = new TJoinExprNodeEvaluator(n);
  evaluator->Next = node_evaluators_;
  node_evaluators_ = evaluator;
  n->Evaluator = evaluator;
  return evaluator;
}

void TJoinEvaluator::FreeNodeEvaluators() {
  lookup_ = nullptr;
  FreeChain(node_evaluators_);
  for (TJoinExprNode* n = analyser_.Chain(); n != nullptr; n = n->Next) n->Evaluator = nullptr;
  inner_leaf_ = nullptr;
  filter_active_ = false;
  filtered_.clear();
}

void TJoinEvaluator::Prepare() {
  if (inner_leaf_ != nullptr && mode_ == jmtHashJoin) inner_leaf_->KeepRecordsRead(false);
  mode_ = jmtJoinExpr;
  FreeNodeEvaluators();
  Restart();
  // The inner side starts unfiltered by any earlier join condition.
  if (inner_->ExtraSelectionSet()) inner_->SetExtraSelectExpRoot(nullptr);
  auto* innerLeaf = dynamic_cast<TTavNonJoinDataProvider*>(inner_);
  // The outer side's rows come in any order (a join promises none): a leaf
  // reads its table in record order, each page once.
  if (auto* outerLeaf = dynamic_cast<TTavNonJoinDataProvider*>(outer_))
    if (TTavDatasetBridge* bridge = outerLeaf->DataBridge()) bridge->SetAddressOrderWalk(true);
  TJoinExprNode* lookup = analyser_.UseKeyLookup ? analyser_.LookupNode() : nullptr;
  if (lookup != nullptr && innerLeaf != nullptr &&
      (lookup->LeftProvider == innerLeaf || lookup->RightProvider == innerLeaf)) {
    // Every equality's keys are read for the check of the records found.
    for (TJoinExprNode* n = analyser_.Chain(); n != nullptr; n = n->Next) {
      if (n->IsEquality()) AddNodeEvaluator(n)->PrepareKeys(innerLeaf);
    }
    lookup_ = lookup->Evaluator;
    if (innerLeaf->PrepareKeyLookup(lookup_->InnerField()->FieldNo())) {
      inner_leaf_ = innerLeaf;
      mode_ = jmtKeyLookup;
      BuildInnerCondition();
      return;
    }
    FreeNodeEvaluators();
  }
  if (analyser_.CanHashJoin()) inner_leaf_ = innerLeaf;
  if (inner_leaf_ != nullptr) {
    bool first = true;
    for (TJoinExprNode* n = analyser_.Chain(); n != nullptr; n = n->Next) {
      if (!n->IsEquality()) continue;
      TJoinExprNodeEvaluator* evaluator = AddNodeEvaluator(n);
      // Every equality hashes the same leaf: its selection is read once.
      std::vector<uint32_t> filtered;
      bool filterActive = false;
      evaluator->Prepare(inner_leaf_, filterActive, filtered);
      if (first) {
        filter_active_ = filterActive;
        filtered_ = std::move(filtered);
        first = false;
      }
    }
    mode_ = jmtHashJoin;
    // Each inner record is read from the table once, however many outer
    // rows it matches.
    inner_leaf_->KeepRecordsRead(true);
  }
  BuildInnerCondition();
}

void TJoinEvaluator::Restart() {
  pass_ = 1;
  const bool right = analyser_.JoinType == jtRightOuterJoin;
  outer_ = right ? analyser_.InnerProvider : analyser_.OuterProvider;
  inner_ = right ? analyser_.OuterProvider : analyser_.InnerProvider;
  TAV_ASSERT(outer_ != nullptr && inner_ != nullptr, "Join providers are not assigned");
  matched_ids_.clear();
  null_only_ = analyser_.JoinType == jtUnionJoin;
  outer_->ForceToNullValues = false;
  inner_->ForceToNullValues = null_only_;
  have_outer_row_ = false;
  outer_started_ = false;
  finished_ = false;
  candidates_.clear();
  match_position_ = -1;
}

void TJoinEvaluator::BuildInnerCondition() {
  inner_condition_.Clear();
  outer_values_.clear();
  const TTavExprNode* on = analyser_.JoinExprRoot();
  if (on == nullptr || mode_ != jmtJoinExpr || analyser_.JoinType == jtUnionJoin) return;
  TTavExprNode* clone = inner_condition_.CloneFromTree(on);
  // The outer side's fields become constants, set for each outer row.
  std::vector<std::pair<TTavExprNode*, int>> stack{{clone, 1}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (node == nullptr) continue;
    TAV_ASSERT(depth <= MaxExprTreeDepth, "Join condition too deep");
    if (node->Kind == enkField) {
      TTavNonJoinDataProvider* leaf = FindFieldLeaf(outer_, *node);
      TInternalFieldItem* field =
          leaf != nullptr ? leaf->FindField(nullptr, host::VarToStr(node->Data)) : nullptr;
      if (field != nullptr) {
        node->Kind = enkConst;
        node->Operator = teoCONST2;
        node->ScopeKind = tskConst;
        node->ParserToken.Token = tstValue;
        node->TokenArgs.clear();
        node->TableList.Clear();
        node->PartialMatch = false;
        node->PartialLength = -1;
        node->Data = host::Null();
        outer_values_.push_back({node, leaf, field->FieldNo()});
      }
      continue;
    }
    stack.push_back({node->Left, depth + 1});
    stack.push_back({node->Right, depth + 1});
    for (TTavExprNode* arg : node->Args) stack.push_back({arg, depth + 1});
  }
}

bool TJoinEvaluator::PreservesOuter() const {
  return pass_ == 1 && (analyser_.JoinType == jtLeftOuterJoin ||
                        analyser_.JoinType == jtRightOuterJoin ||
                        analyser_.JoinType == jtFullOuterJoin);
}

bool TJoinEvaluator::StepOuter(bool first) {
  for (;;) {
    const bool found = first ? outer_->FirstProviderRecord() : outer_->NextProviderRecord();
    first = false;
    if (!found) return false;
    // Pass 2 of FULL: only the rows no outer row matched in pass 1.
    if (pass_ == 2 && analyser_.JoinType == jtFullOuterJoin &&
        matched_ids_.count(outer_->CurrentRecordIDAsString()) != 0)
      continue;
    return true;
  }
}

std::vector<uint32_t> TJoinEvaluator::ListOf(TJoinExprNode* node, int depth) {
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Join condition too deep");
  if (node->IsEquality()) {
    TAV_ASSERT(node->Evaluator != nullptr, "Evaluator is not assigned for node");
    return node->Evaluator->MatchList;
  }
  if (node->Left == nullptr || node->Right == nullptr)
    return ListOf(node->Left != nullptr ? node->Left : node->Right, depth + 1);
  const std::vector<uint32_t> left = ListOf(node->Left, depth + 1);
  const std::vector<uint32_t> right = ListOf(node->Right, depth + 1);
  switch (node->ExprNode->Operator) {
    case teoAND: return Intersect(left, right);
    case teoOR: return Unite(left, right);
    default:
      TavDatabaseError(kUnexpectedInternalError, "TJoinEvaluator.InternalCombineRecordLists",
                       "Invalid operator");
  }
}

bool TJoinEvaluator::CandidateMatches(TJoinExprNode* node, int depth) {
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Join condition too deep");
  if (node->IsEquality()) {
    TAV_ASSERT(node->Evaluator != nullptr, "Evaluator is not assigned for node");
    return node->Evaluator->CurrentRecordMatches();
  }
  TAV_ASSERT(node->ExprNode->Kind == enkLogicalOperator,
             "Unexpected ExprNode.Kind in InternalCheckItemMatches");
  const bool left = CandidateMatches(node->Left, depth + 1);
  if (node->ExprNode->Operator == teoAND) return left && CandidateMatches(node->Right, depth + 1);
  return left || CandidateMatches(node->Right, depth + 1);
}

void TJoinEvaluator::StartOuterRow() {
  inner_started_ = false;
  inner_found_ = false;
  null_row_given_ = false;
  if (null_only_) return;
  inner_->ForceToNullValues = false;
  if (mode_ == jmtHashJoin) {
    for (TJoinExprNodeEvaluator* e = node_evaluators_; e != nullptr; e = e->Next) {
      e->ReadSourceKey();
      e->FindMatches();
    }
    // One equality: its list is the candidates' (it is filled afresh for
    // the next row).
    if (analyser_.Root()->IsEquality())
      candidates_.swap(analyser_.Root()->Evaluator->MatchList);
    else
      candidates_ = ListOf(analyser_.Root(), 1);
    match_position_ = -1;
    return;
  }
  if (mode_ == jmtKeyLookup) {
    for (TJoinExprNodeEvaluator* e = node_evaluators_; e != nullptr; e = e->Next) e->ReadSourceKey();
    return;
  }
  if (inner_condition_.Root() == nullptr) return;  // a Cartesian product
  for (const TOuterValue& v : outer_values_) v.Constant->Data = v.Leaf->GetDataAsVariant(v.FieldNo);
  inner_->SetExtraSelectExpRoot(inner_condition_.Root());
}

bool TJoinEvaluator::StepHashCandidate() {
  while (++match_position_ < static_cast<int32_t>(candidates_.size())) {
    const uint32_t address = candidates_[static_cast<size_t>(match_position_)];
    // Each candidate must pass the leaf's own selection as well as the keys.
    if (filter_active_ && !std::binary_search(filtered_.begin(), filtered_.end(), address)) continue;
    if (!inner_leaf_->MoveToRecord(address)) continue;
    if (CandidateMatches(analyser_.Root(), 1)) return true;
  }
  return false;
}

bool TJoinEvaluator::StepKeyCandidate() {
  for (;;) {
    bool found;
    if (!inner_started_) {
      inner_started_ = true;
      // A NULL key matches nothing.
      if (lookup_->KeyIsNull()) return false;
      const std::vector<uint8_t>& key = lookup_->Key();
      static const uint8_t kEmpty = 0;
      found = inner_leaf_->FirstKeyRecord(key.empty() ? &kEmpty : key.data(), static_cast<int32_t>(key.size()));
    } else {
      found = inner_leaf_->NextKeyRecord();
    }
    if (!found) return false;
    if (CandidateMatches(analyser_.Root(), 1)) return true;
  }
}

bool TJoinEvaluator::StepInner() {
  if (null_only_) {
    if (null_row_given_) return false;
    null_row_given_ = true;
    return true;
  }
  if (null_row_given_) return false;
  bool found;
  if (mode_ == jmtHashJoin) {
    found = StepHashCandidate();
  } else if (mode_ == jmtKeyLookup) {
    found = StepKeyCandidate();
  } else {
    found = inner_started_ ? inner_->NextProviderRecord() : inner_->FirstProviderRecord();
    inner_started_ = true;
  }
  if (found) {
    inner_found_ = true;
    return true;
  }
  if (!inner_found_ && PreservesOuter()) {
    inner_->ForceToNullValues = true;
    null_row_given_ = true;
    return true;
  }
  return false;
}

void TJoinEvaluator::RecordRow() {
  if (pass_ != 1 || analyser_.JoinType != jtFullOuterJoin || inner_->ForceToNullValues) return;
  std::string id = inner_->CurrentRecordIDAsString();
  if (!id.empty()) matched_ids_.insert(std::move(id));
}

bool TJoinEvaluator::NextPass() {
  if (pass_ != 1 ||
      (analyser_.JoinType != jtUnionJoin && analyser_.JoinType != jtFullOuterJoin))
    return false;
  // The roles are exchanged; every row of the new outer side (for FULL, each
  // one no row matched in pass 1) is paired with NULLs.
  pass_ = 2;
  std::swap(outer_, inner_);
  // The side looked up by key is walked whole now.
  if (mode_ == jmtKeyLookup && outer_ == inner_leaf_) inner_leaf_->DataBridge()->EndKeyLookup();
  outer_->ForceToNullValues = false;
  if (outer_->ExtraSelectionSet()) outer_->SetExtraSelectExpRoot(nullptr);
  inner_->ForceToNullValues = true;
  null_only_ = true;
  have_outer_row_ = false;
  outer_started_ = false;
  return true;
}

bool TJoinEvaluator::Advance() {
  if (finished_) return false;
  for (;;) {
    if (have_outer_row_ && StepInner()) {
      RecordRow();
      return true;
    }
    have_outer_row_ = StepOuter(!outer_started_);
    outer_started_ = true;
    if (have_outer_row_) {
      StartOuterRow();
      continue;
    }
    if (!NextPass()) {
      finished_ = true;
      return false;
    }
  }
}

bool TJoinEvaluator::FirstRecord() {
  Restart();
  return Advance();
}

bool TJoinEvaluator::NextRecord() { return Advance(); }

}  // namespace tav

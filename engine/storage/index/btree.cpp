#include "engine/storage/index/btree.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_set>
#include <utility>

#include "engine/storage/record/io_interface.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/base/tav_logger.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"

namespace tav {

TBTree::TBTree() : scratch_(std::make_unique<TCompoundList>()) {}

TBTree::~TBTree() = default;

// ---------------------------------------------------------------------------
// Configuration and life

void TBTree::ConnectToIFace(TBaseIOInterface* ioInterface, uint32_t pageSize, uint32_t& root,
                            uint32_t& depth) {
  TAV_ASSERT(ioInterface != nullptr, "IO Interface is unassigned");
  // A node is exactly one block: a disk block of another size would put nodes
  // across block bounds or into pages of other owners. Memory blocks are
  // allocated at the size asked for.
  TAV_ASSERT(ioInterface->BlockSize() == pageSize ||
                 (ioInterface->IOMode() == iomMemory && ioInterface->BlockSize() == 0),
             "Index block size differs from the index page size");
  io_ = ioInterface;
  page_size_ = pageSize;
  root_ = &root;
  depth_ = &depth;
  if (open_) {
    nodes_.clear();
    positions_.clear();
    ClearHeld();
    held_.clear();
    held_read_overs_ = 0;
    spare_ = NewNode();
  }
  positioned_ = key_cursor_valid_ = false;
}

void TBTree::SetPageSize(uint32_t value) {
  TAV_ASSERT(!open_, "Page size changed on an open index");
  page_size_ = value;
}

void TBTree::SetMaximumKeySize(int32_t value) {
  TAV_ASSERT(!open_, "Key size changed on an open index");
  TAV_ASSERT(value > kKeyEntryHeaderSize && value <= kMaximumKeyEntrySize, "Invalid key size");
  maximum_key_size_ = value;
  const size_t size = static_cast<size_t>(value) + 1;
  key_entry_ = std::make_unique<uint8_t[]>(size);
  second_entry_ = std::make_unique<uint8_t[]>(size);
  work_entry_ = std::make_unique<uint8_t[]>(size);
}

void TBTree::SetDBStringCompare(TDBStringCompare value) {
  string_compare_ = value;
  sort_function_present_ = value != nullptr;
}

void TBTree::CheckConnected(const char* caller) const {
  if (!io_ || !root_ || !depth_ || page_size_ <= static_cast<uint32_t>(kNodeHeaderSize) ||
      maximum_key_size_ <= kKeyEntryHeaderSize)
    TavDatabaseError(kUnexpectedInternalError, caller, "Index is not connected to its blocks");
}

void TBTree::Corrupt(const char* caller, const char* what, uint32_t address) const {
  TavDatabaseErrorFmt(kIndexIsCorrupt, caller, "%s (node %u)", {what, address});
}

std::unique_ptr<TNode> TBTree::NewNode() {
  auto node = std::make_unique<TNode>();
  node->Open(this, io_, page_size_);
  return node;
}

void TBTree::Open() {
  Close();
  if (!sort_function_present_)
    TavDatabaseError(kUnexpectedInternalError, "TBTree.Open", "No sort order function assigned");
  CheckConnected("TBTree.Open");
  // The upward pass may grow a node by two entries before it splits, and the
  // halves of a split or a redistribution must stay below full: six maximum
  // entries per page keep every case in bounds.
  if (6 * int64_t{maximum_key_size_} + 32 > int64_t{page_size_})
    TavDatabaseErrorFmt(kUnexpectedInternalError, "TBTree.Open",
                        "Index page size %u too small for keys of %d bytes",
                        {page_size_, maximum_key_size_});
  key_format_.Open(key_fields_, maximum_key_size_, index_key_type_, string_compare_);
  const int n = key_format_.KeyFieldCount();
  markers_.assign(static_cast<size_t>(n), fcDefault);
  visible_key_field_count_ = 0;
  while (visible_key_field_count_ < n && !key_fields_.Items(visible_key_field_count_)->Hidden())
    ++visible_key_field_count_;
  positions_.reserve(kMaxTreeDepth);
  nodes_.reserve(kMaxTreeDepth);
  spare_ = NewNode();
  const uint32_t depth = Depth();
  for (uint32_t l = 0; Root() != 0 && l < depth && l < kMaxTreeDepth; ++l)
    nodes_.push_back(NewNode());
  open_ = true;
}

void TBTree::Close() {
  FlushDeferred();
  insert_ready_ = false;
  nodes_.clear();
  positions_.clear();
  held_.clear();
  held_ix_.reset();
  held_read_overs_ = 0;
  spare_.reset();
  key_format_.Close();
  open_ = false;
  positioned_ = key_cursor_valid_ = false;
}

void TBTree::CreateTree() {
  CheckConnected("TBTree.CreateTree");
  std::vector<uint8_t> image(page_size_, 0);
  image[kNodeLeaf] = 1;
  const uint32_t address = io_->AllocateNewAddress(page_size_, image.data());
  *root_ = address;
  *depth_ = 1;
  InvalidateInternalBuffers();
  positions_.assign(1, 0);
}

template <class Visit>
void TBTree::WalkTree(const char* caller, bool allowEmpty, Visit visit) {
  FlushDeferred();  // the walk reads storage
  const uint32_t root = Root();
  const uint32_t depth = Depth();
  if (root == 0 || depth == 0) return;
  if (depth > kMaxTreeDepth) Corrupt(caller, "Index depth out of range", root);
  std::vector<std::unique_ptr<TNode>> nodes;
  for (uint32_t l = 0; l < depth; ++l) nodes.push_back(NewNode());
  std::unordered_set<uint32_t> seen;
  // Depth-first in key order. Each level has its own node, so a parent stays
  // in memory while its children are read; the depth bounds the recursion
  // and the seen set the work, whatever the links say.
  auto walk = [&](auto& self, uint32_t address, uint32_t level) -> void {
    if (!seen.insert(address).second) Corrupt(caller, "Node reached twice", address);
    TNode& n = *nodes[level];
    n.Forget();
    n.ReadNode(address);
    CheckNodeKind(n, level == depth - 1, allowEmpty || (level == 0 && depth == 1), caller);
    visit(n, level);
    if (n.CheckIsLeaf()) return;
    for (int32_t pos = 0; pos < n.GetUsed(); pos = n.NextEntryStart(pos)) {
      const uint32_t child = GetKeyEntryAddress(n.EntryAt(pos));
      if (child == 0) Corrupt(caller, "Child address 0", address);
      self(self, child, level + 1);
    }
  };
  walk(walk, root, 0);
}

void TBTree::EmptyTree(bool noNewRoot) {
  CheckConnected("TBTree.EmptyTree");
  FlushDeferred();
  // A memory tree of one leaf is emptied where it stands: the root keeps
  // its block (checked first, as below), and the level nodes are kept for
  // the entries that follow.
  if (!noNewRoot && open_ && io_->IOMode() == iomMemory && Root() != 0 && Depth() == 1 && !nodes_.empty()) {
    TNode& root = *nodes_[0];
    root.Forget();
    root.ReadNode(Root());
    CheckNodeKind(root, true, true, "TBTree.EmptyTree");
    root.ClearStoredEntries();
    WriteSync(root);
    positions_.assign(1, 0);
    positioned_ = key_cursor_valid_ = false;
    return;
  }
  if (Root() != 0 && Depth() != 0) {
    // Every block is found and checked before the first is freed: a damaged
    // tree stops here whole instead of half freed.
    std::vector<uint32_t> addresses;
    WalkTree("TBTree.EmptyTree", false,
             [&](const TNode& n, uint32_t) { addresses.push_back(n.Address()); });
    // Reverse pre-order: children before their parent.
    for (auto it = addresses.rbegin(); it != addresses.rend(); ++it)
      io_->ReleaseBlock(*it, page_size_);
  }
  InvalidateInternalBuffers();
  nodes_.clear();
  positions_.clear();
  if (noNewRoot) {
    *root_ = 0;
    *depth_ = 0;
  } else {
    CreateTree();
  }
  positioned_ = key_cursor_valid_ = false;
}

void TBTree::InvalidateInternalBuffers() {
  // Deferred changes are this tree's own, made under the write lock that
  // keeps everyone else out: they go to storage before the nodes go.
  FlushDeferred();
  insert_ready_ = false;
  for (auto& n : nodes_) n->Forget();
  for (auto& n : held_) n->Forget();
  ClearHeld();
  if (spare_) spare_->Forget();
  positioned_ = key_cursor_valid_ = false;
}

// ---------------------------------------------------------------------------
// Keys

void TBTree::SetMarkers(TFieldComparisonValues markers) {
  insert_ready_ = false;  // a new key entry follows
  std::fill(markers_.begin(), markers_.end(), fcDefault);
  const size_t n = std::min(markers.size(), markers_.size());
  std::copy_n(markers.begin(), n, markers_.begin());
}

int TBTree::ConstructKeyBufFromRecBuf(const uint8_t* record, TFieldComparisonValues markers) {
  SetMarkers(markers);
  return key_format_.ConstructKeyBufFromRecBuf(record, key_entry_.get());
}

int TBTree::ConstructTempKeyBufFromRecBuf(const uint8_t* record, uint8_t* destination,
                                          TFieldComparisonValues) const {
  return key_format_.ConstructKeyBufFromRecBuf(record, destination);
}

void TBTree::ConstructKeyBufFromKeyBuf(const uint8_t* key, TFieldComparisonValues markers) {
  CopyKey(key, nullptr);
  SetMarkers(markers);
}

int TBTree::ConstructKeyBufFromVariants(const host::Variant& values,
                                        TFieldComparisonValues markers) {
  SetMarkers(markers);
  return key_format_.ConstructKeyBufFromVariants(values, key_entry_.get());
}

void TBTree::SetKeyBufAddr(uint32_t address) {
  TAV_ASSERT(key_entry_ != nullptr, "KeyBuffers invalid");
  SetKeyEntryAddress(key_entry_.get(), address);
}

void TBTree::CopyKey(const uint8_t* source, uint8_t* destination) {
  if (!source) TavDatabaseError(kUnexpectedInternalError, "TBTree.CopyKey", "SrcBuf is unassigned");
  const int len = GetKeyEntryLength(source);
  if (len <= kKeyEntryHeaderSize || len > maximum_key_size_)
    TavDatabaseErrorFmt(kUnexpectedInternalError, "TBTree.CopyKey", "Invalid key size: %d", {len});
  uint8_t* dest = destination ? destination : key_entry_.get();
  if (dest == key_entry_.get()) insert_ready_ = false;
  if (dest != source) std::memmove(dest, source, static_cast<size_t>(len));
}

int TBTree::CompareKeys(int keyFieldCount, const uint8_t* entryA, TFieldComparisonValues markersA,
                        const uint8_t* entryB, TFieldComparisonValues markersB) const {
  return key_format_.CompareKeys(keyFieldCount, entryA, markersA, entryB, markersB);
}

void TBTree::DecodeKeyBufAsStrings(const uint8_t* key, host::TStrings& lines) const {
  key_format_.DecodeKeyBufAsStrings(key ? key : key_entry_.get(), lines);
}

void TBTree::LoadSearchKey(bool useMarkers) {
  if (!open_) TavDatabaseError(kUnexpectedInternalError, "TBTree.IndexSearch", "Index is not open");
  optimized_key_.SetDataFromKeyBuf(
      key_format_, useMarkers ? TFieldComparisonValues(markers_) : TFieldComparisonValues(),
      key_entry_.get());
}

int TBTree::KeyFieldCountFor(const TSearchModifier* modifier) const {
  if (!modifier || !modifier->LimitedSearch()) return 0;
  if (modifier->IncludedKeyFieldCount() >= 1) return modifier->IncludedKeyFieldCount();
  return visible_key_field_count_;
}

// ---------------------------------------------------------------------------
// The path

void TBTree::NodeKindCorrupt(const TNode& node, bool leaf, const char* caller) const {
  if (node.CheckIsLeaf() != leaf)
    Corrupt(caller, leaf ? "Inner node at the leaf level" : "Leaf above the leaf level",
            node.Address());
  Corrupt(caller, "Empty index node", node.Address());
}

void TBTree::InternalPrepareNodes() {
  static const char kCaller[] = "TBTree.InternalPrepareNodes";
  positioned_ = key_cursor_valid_ = insert_ready_ = false;
  shown_leaf_ = 0;
  if (!open_) TavDatabaseError(kUnexpectedInternalError, kCaller, "Index is not open");
  const uint32_t root = Root();
  const uint32_t depth = Depth();
  // Deferred nodes stay on their levels only while the path keeps its root
  // and depth.
  if (deferred_ && (nodes_.size() != depth || nodes_.empty() || Level(0).Address() != root))
    WriteDeferred();
  if (root == 0 || depth == 0) {
    nodes_.clear();
    positions_.clear();
    return;
  }
  if (depth > kMaxTreeDepth) Corrupt(kCaller, "Index depth out of range", root);
  while (nodes_.size() < depth) nodes_.push_back(NewNode());
  while (nodes_.size() > depth) nodes_.pop_back();
  positions_.assign(depth, 0);
  TAV_ASSERT(nodes_.size() == positions_.size(), "Node and InsertPos List not in sync");
  // The spare keeps the node it last held: every change to that block goes
  // through WriteSync or ReleaseNode, which forget stale copies, so a delete
  // that balances against the same partner again need not read it again.
  Level(0).ReadNode(root);
  CheckNodeKind(Level(0), depth == 1, depth == 1, kCaller);
}

uint32_t TBTree::ChildAddress(int level, const char* caller) {
  TNode& parent = Level(level - 1);
  const uint32_t child =
      GetKeyEntryAddress(parent.EntryAt(positions_[static_cast<size_t>(level - 1)]));
  if (child == 0 || child == parent.Address())
    Corrupt(caller, "Invalid child address", parent.Address());
  return child;
}

void TBTree::ReadChild(int level) {
  ReadChild(level, ChildAddress(level, "TBTree.ReadChild"));
}

void TBTree::ReadChild(int level, uint32_t child) {
  static const char kCaller[] = "TBTree.ReadChild";
  if (level < LevelCount() - 1) TakeHeldInnerNode(level, child);
  TNode& node = Level(level);
  node.ReadNode(child);
  CheckNodeKind(node, level == LevelCount() - 1, false, kCaller);
}

bool TBTree::ShowChildLeaf(int level, uint32_t child) {
  static const char kCaller[] = "TBTree.ReadChild";
  TNode& node = Level(level);
  // A leaf held already is searched where it is; variable entries would be
  // walked twice when the insert reads the leaf after all.
  if (node.Address() == child || !node.fixed_ || node.unwritten_) return false;
  const uint8_t* image = io_->PeekBlock(child, page_size_);
  if (!image) return false;
  node.ShowImage(child, image);
  try {
    CheckNodeKind(node, true, false, kCaller);
  } catch (...) {
    node.EndShow();
    throw;
  }
  return true;
}

void TBTree::TakeHeldInnerNode(int level, uint32_t address) {
  std::unique_ptr<TNode>& slot = nodes_[static_cast<size_t>(level)];
  if (slot->Address() == address) return;
  // A node leaving the path takes its deferred change to storage: held
  // nodes are always as stored.
  if (slot->unwritten_) slot->WriteNode();
  if (!held_ix_) held_ix_ = std::make_unique<THeldIndex>();
  const size_t count = held_.size();
  // Where the index lists the held node: its entry is the one to replace.
  const size_t at = FindHeldSlot(address);
  size_t i = at == kNotHeld ? kNotHeld : held_ix_->Slots[at] - 1u;
  if (i == kNotHeld) {
    i = count;
    // Not held: a held node is read over.
    const size_t limit =
        std::clamp(kHeldInnerBytes / std::max<size_t>(page_size_, 1), kHeldInnerNodesAtLeast, kHeldInnerNodes);
    // Past the first few, a tree makes another node to keep only once its
    // descents have read over its kept ones many times: a tree opened for a
    // statement or two does not pay for nodes it would not come back to.
    ++held_read_overs_;
    if (count < limit &&
        (count < kHeldInnerNodesAtLeast || held_read_overs_ >= kHeldReadOversPerNode * count)) {
      held_.push_back(NewNode());
    } else {
      // In turn, passing over the nodes that levels nearer the root left
      // (unless every held node is one of those).
      // (The turn may have been left by a tree opened over other pages.)
      const size_t first = next_victim_ % count;
      i = first;
      for (size_t tried = 0; tried < count && held_ix_->Level[i] < level; ++tried)
        i = (i + 1) % count;
      if (held_ix_->Level[i] < level) i = first;
      next_victim_ = (i + 1) % count;
    }
  }
  // The node the level had is kept in its place.
  std::swap(slot, held_[i]);
  SetHeldAt(i, held_[i]->Address(), at);
  held_ix_->Level[i] = static_cast<uint8_t>(level);
}

size_t TBTree::FindHeldSlot(uint32_t address) const {
  if (address == 0 || !held_ix_) return kNotHeld;
  const THeldIndex& ix = *held_ix_;
  for (size_t s = HeldSlotOf(address);; s = (s + 1) & (kHeldSlots - 1)) {
    const uint16_t v = ix.Slots[s];
    if (v == 0) return kNotHeld;
    if (ix.At[v - 1u] == address) return s;
  }
}

size_t TBTree::FindHeld(uint32_t address) const {
  const size_t s = FindHeldSlot(address);
  return s == kNotHeld ? kNotHeld : held_ix_->Slots[s] - 1u;
}

void TBTree::SetHeldAt(size_t i, uint32_t address, size_t slot) {
  constexpr size_t kMask = kHeldSlots - 1;
  THeldIndex& ix = *held_ix_;
  const auto tag = static_cast<uint16_t>(i + 1);
  if (const uint32_t old = ix.At[i]; old != 0) {
    // Out of the index by its own slot (two held nodes may hold one
    // address), then the entries after it that belong nearer their home
    // slot move back into the gap.
    size_t hole = slot;
    if (hole == kNotHeld || ix.Slots[hole] != tag) {
      hole = HeldSlotOf(old);
      while (ix.Slots[hole] != tag) hole = (hole + 1) & kMask;
    }
    for (size_t j = (hole + 1) & kMask; ix.Slots[j] != 0; j = (j + 1) & kMask) {
      const size_t home = HeldSlotOf(ix.At[ix.Slots[j] - 1u]);
      if (((j - home) & kMask) >= ((j - hole) & kMask)) {
        ix.Slots[hole] = ix.Slots[j];
        hole = j;
      }
    }
    ix.Slots[hole] = 0;
  }
  ix.At[i] = address;
  if (address != 0) {
    size_t s = HeldSlotOf(address);
    while (ix.Slots[s] != 0) s = (s + 1) & kMask;
    ix.Slots[s] = tag;
  }
}

void TBTree::ClearHeld() {
  if (!held_ix_) return;
  // Only the slots of held addresses are taken: those alone are cleared,
  // since trees are invalidated far more often than they hold many nodes.
  THeldIndex& ix = *held_ix_;
  for (size_t i = 0; i < held_.size(); ++i) {
    const uint32_t address = ix.At[i];
    if (address == 0) continue;
    const auto tag = static_cast<uint16_t>(i + 1);
    size_t s = HeldSlotOf(address);
    for (size_t probes = 0; ix.Slots[s] != tag && probes < kHeldSlots; ++probes)
      s = (s + 1) & (kHeldSlots - 1);
    if (ix.Slots[s] == tag) ix.Slots[s] = 0;
    ix.At[i] = 0;
  }
}

void TBTree::ForgetHeldCopies(uint32_t address) {
  for (size_t i = FindHeld(address); i != kNotHeld; i = FindHeld(address)) {
    held_[i]->Forget();
    SetHeldAt(i, 0);
  }
}

int TBTree::Descend(int keyFieldCount, TDescent descent, bool forceToKey) {
  InternalPrepareNodes();
  const int depth = LevelCount();
  if (depth == 0) return -1;
  if (Level(0).MaxKeySize() < 1)
    host::AssertFailed("MaxKeySize > 0", "MaxKeySize is 0", __FILE__, __LINE__);
  // One compare serves every level.
  const TOptimizedCompare compare(key_format_, keyFieldCount, optimized_key_);
  for (int l = 0; l < depth; ++l) {
    if (l > 0) {
      const uint32_t child = ChildAddress(l, "TBTree.ReadChild");
      if (!(show_leaf_ && l == depth - 1 && ShowChildLeaf(l, child))) ReadChild(l, child);
    }
    TNode& n = Level(l);
    const bool leaf = l == depth - 1;
    const bool afterEqual = leaf ? descent == TDescent::Upper : descent != TDescent::Lower;
    int32_t pos;
    int r = n.SearchNode(compare, afterEqual, pos);
    positions_[static_cast<size_t>(l)] = pos;
    if (!leaf) continue;
    positioned_ = true;
    if (n.CheckNodeEmpty()) {
      // Only an empty root leaf gets here: the tree is empty.
      key_cursor_valid_ = false;
      return -1;
    }
    if (pos >= n.GetUsed() && forceToKey) {
      // Every entry of this leaf lies before the key: what follows in the
      // next leaf is the answer; at the end of the index, the last entry.
      if (!StepLeaf(true)) {
        n.SetCursor(pos);
        n.ForceCursorToPhysicalKey();
        positions_.back() = n.Cursor();
      }
      r = key_format_.CompareToOptimizedKey(keyFieldCount, optimized_key_,
                                            Leaf().EntryAt(positions_.back()));
    }
    key_cursor_valid_ = positions_.back() < Leaf().GetUsed();
    Leaf().SetCursor(positions_.back());
    return r;
  }
  return -1;
}

bool TBTree::StepLeaf(bool forward) {
  static const char kCaller[] = "TBTree.StepLeaf";
  const int depth = LevelCount();
  if (depth == 0) return false;
  // The deepest inner level whose path entry has a neighbour that way.
  int l = depth - 2;
  for (; l >= 0; --l) {
    TNode& n = Level(l);
    const int32_t p = positions_[static_cast<size_t>(l)];
    if (forward ? n.NextEntryStart(p) < n.GetUsed() : p > 0) break;
  }
  if (l < 0) return false;
  const uint32_t from = Leaf().Address();
  const uint32_t link = forward ? Leaf().GetNext() : Leaf().GetPrior();
  positioned_ = key_cursor_valid_ = insert_ready_ = false;
  TNode& n = Level(l);
  int32_t& p = positions_[static_cast<size_t>(l)];
  p = forward ? n.NextEntryStart(p) : n.PriorEntryStart(p);
  for (int m = l + 1; m < depth; ++m) {
    ReadChild(m);
    positions_[static_cast<size_t>(m)] = forward ? 0 : Level(m).LastEntryStart();
  }
  // The leaf level is chained too; both must agree.
  TNode& leaf = Leaf();
  if (leaf.Address() != link || (forward ? leaf.GetPrior() : leaf.GetNext()) != from)
    Corrupt(kCaller, "Leaf chain does not match the tree", from);
  leaf.SetCursor(positions_.back());
  positioned_ = key_cursor_valid_ = true;
  return true;
}

int TBTree::InternalSearch(int keyFieldCount, bool forceToKey) {
  LoadSearchKey(true);
  const int r = Descend(keyFieldCount, TDescent::Lower, forceToKey);
  cursor_found_ = key_cursor_valid_;
  return r;
}

int TBTree::IndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier) {
  const int keyFieldCount = KeyFieldCountFor(modifier);
  LoadSearchKey(true);
  // Lower lands on the first entry not below the key, Upper on the first
  // entry above it; r is the key's order against the entry landed on.
  const bool upper = searchType == stLE || searchType == stGT;
  int r = Descend(keyFieldCount, upper ? TDescent::Upper : TDescent::Lower, true);
  cursor_found_ = false;
  if (!key_cursor_valid_) return r != 0 ? r : -1;
  switch (searchType) {
    case stLT:
      if (r == 0)
        r = PriorRecord() ? 0 : -1;
      else if (r > 0)
        r = 0;
      else if (PriorRecord())
        r = 0;
      break;
    case stLE:
      if (r >= 0)
        r = 0;
      else if (PriorRecord())
        r = 0;
      break;
    case stEQ:
      break;
    case stGE:
      if (r <= 0)
        r = 0;
      else if (NextRecord())
        r = 0;
      break;
    case stGT:
      if (r == 0)
        r = NextRecord() ? 0 : -1;
      else if (r < 0)
        r = 0;
      else if (NextRecord())
        r = 0;
      break;
    case stLEG:
      // r > 0 only at the end of the index: nothing is greater or equal, so
      // the greatest entry, where the cursor stands, is the answer.
      r = 0;
      break;
  }
  cursor_found_ = r == 0;
  return r;
}

bool TBTree::NextRecord() {
  insert_ready_ = false;
  if (!positioned_ || !key_cursor_valid_) return false;
  TNode& leaf = Leaf();
  leaf.SetCursor(positions_.back());
  if (leaf.NextRecord()) {
    positions_.back() = leaf.Cursor();
    cursor_found_ = true;
    return true;
  }
  if (!StepLeaf(true)) return false;
  cursor_found_ = true;
  return true;
}

bool TBTree::PriorRecord() {
  insert_ready_ = false;
  if (!positioned_ || !key_cursor_valid_) return false;
  TNode& leaf = Leaf();
  leaf.SetCursor(positions_.back());
  if (leaf.PriorRecord()) {
    positions_.back() = leaf.Cursor();
    cursor_found_ = true;
    return true;
  }
  if (!StepLeaf(false)) return false;
  cursor_found_ = true;
  return true;
}

uint32_t TBTree::GetRecAddr() {
  if (!key_cursor_valid_ || nodes_.empty() || !Leaf().CheckIsLeaf())
    TavDatabaseError(kUnexpectedInternalError, "TBTree.GetRecAddr",
                     "Attempt to read record address from non-leaf node");
  Leaf().SetCursor(positions_.back());
  return Leaf().GetRecordAddress();
}

const uint8_t* TBTree::GetCurrentKeyBuf() {
  if (!key_cursor_valid_ || nodes_.empty())
    TavDatabaseError(kUnexpectedInternalError, "TBTree.GetCurrentKeyBuf",
                     "CurrentKeyCursor is invalid");
  return Leaf().EntryAt(positions_.back());
}

int TBTree::CompareKeyToCurrentKeyBuf(int keyFieldCount, const uint8_t* key) {
  return key_format_.CompareKeys(keyFieldCount, GetCurrentKeyBuf(), {}, key, {});
}

// ---------------------------------------------------------------------------
// Changes

int TBTree::IdxInsert() {
  LoadSearchKey(false);
  const int r = Descend(0, TDescent::Insert, false);
  if (LevelCount() == 0)
    TavDatabaseError(kUnexpectedInternalError, "TBTree.IdxInsert", "Index has no root");
  if (r == 0 && key_cursor_valid_) return -1;
  inserted_record_no_ = PathRecordNo();
  UpdatePath(true);
  FinishChange();
  return 0;
}

int TBTree::InsertKey() {
  return SearchAndInsert(true);
}

int TBTree::SearchAndInsert(bool countRecordNo) {
  LoadSearchKey(false);
  // On disk the leaf is searched where it is stored: inside a transaction
  // it takes the entry there, without being copied out and written back.
  DescendShowingLeaf(ShowLeafForInsert());
  if (LevelCount() == 0)
    TavDatabaseError(kUnexpectedInternalError, "TBTree.InsertKey", "Index has no root");
  if (Leaf().Showing()) {
    const uint32_t shown = Leaf().Address();
    bool done;
    try {
      done = InsertIntoShownLeaf(shown, countRecordNo);
      // Else the leaf is changed as a node: the bytes shown are still lent
      // (a refused edit leaves them so) and are what a read would copy.
      if (!done && Leaf().Showing()) {
        Leaf().KeepShownImage();
      } else if (!done) {
        Leaf().ReadNode(shown);
        CheckNodeKind(Leaf(), true, false, "TBTree.InsertKey");
      }
    } catch (...) {
      // Nothing may keep showing bytes that are no longer lent.
      EndLeafShow();
      throw;
    }
    if (done) {
      FinishChange();
      return 0;
    }
  }
  inserted_record_no_ = countRecordNo ? PathRecordNo() : 0;
  UpdatePath(true);
  FinishChange();
  return 0;
}

bool TBTree::StoredOnDisk() const {
  return io_->IOMode() == iomDiskFixedSize || io_->IOMode() == iomDiskVariableSize;
}

bool TBTree::ShowLeafForInsert() {
  if (!StoredOnDisk()) return false;
  if (in_place_credit_ > 0) return true;
  return ++in_place_probes_ % kInPlaceProbeEvery == 0;
}

int TBTree::DescendShowingLeaf(bool showLeaf) {
  show_leaf_ = showLeaf;
  try {
    const int r = Descend(0, TDescent::Insert, false);
    show_leaf_ = false;
    return r;
  } catch (...) {
    show_leaf_ = false;
    if (!nodes_.empty()) Leaf().EndShow();
    throw;
  }
}

void TBTree::EndLeafShow() {
  if (!nodes_.empty()) Leaf().EndShow();
  positioned_ = key_cursor_valid_ = false;
}

int TBTree::FindInsertPosition() {
  LoadSearchKey(false);
  // On disk, and in a run of inserts, the leaf is searched where it is
  // stored: inside a transaction the insert changes it there, and a copy
  // would be read out only to be written back.
  const int r = DescendShowingLeaf(defer_inner_writes_ || ShowLeafForInsert());
  if (LevelCount() == 0)
    TavDatabaseError(kUnexpectedInternalError, "TBTree.FindInsertPosition", "Index has no root");
  const int found = r == 0 && key_cursor_valid_ ? 0 : 1;
  if (Leaf().Showing()) {
    // The stored bytes are lent only until the next call into the
    // interface: the path keeps the leaf's address and position, which
    // serve the insert alone, and the leaf's size as the search saw it.
    shown_leaf_ = Leaf().Address();
    shown_used_ = static_cast<uint32_t>(Leaf().GetUsed());
    EndLeafShow();
  }
  insert_ready_ = true;
  return found;
}

int TBTree::InsertFoundKey(bool countRecordNo) {
  if (!insert_ready_) return SearchAndInsert(countRecordNo);
  insert_ready_ = false;
  if (const uint32_t shown = std::exchange(shown_leaf_, 0); shown != 0) {
    if (InsertIntoShownLeaf(shown, countRecordNo)) {
      FinishChange();
      return 0;
    }
    // Changed as a node after all: its entries are those the search saw.
    Leaf().ReadNode(shown);
    CheckNodeKind(Leaf(), true, false, "TBTree.InsertFoundKey");
  }
  inserted_record_no_ = countRecordNo ? PathRecordNo() : 0;
  UpdatePath(true);
  FinishChange();
  return 0;
}

const uint8_t* TBTree::PathEntry() const {
  if (!positioned_ || !key_cursor_valid_ || nodes_.empty()) return nullptr;
  // The path must still be the tree's: same root and depth, every level held.
  if (Root() != nodes_.front()->Address() || Depth() != nodes_.size()) return nullptr;
  for (const auto& n : nodes_)
    if (n->Address() == 0) return nullptr;
  const TNode& leaf = *nodes_.back();
  const int32_t at = positions_.back();
  if (!leaf.CheckIsLeaf() || at < 0 || at >= leaf.GetUsed()) return nullptr;
  return leaf.EntryAt(at);
}

bool TBTree::PathOnKeyEntry() const {
  const uint8_t* entry = PathEntry();
  return entry && key_format_.CompareToOptimizedKey(0, optimized_key_, entry) == 0;
}

int TBTree::IdxDelete() {
  // A delete usually follows the search that found its entry: when the path
  // still stands on an entry equal to the key, it is the one to delete. An
  // entry whose key bytes are the key's own is equal without a search key
  // being built; any other is compared field by field.
  const uint8_t* entry = open_ ? PathEntry() : nullptr;
  const uint8_t* key = key_entry_.get();
  const uint16_t length = entry ? GetKeyEntryLength(entry) : 0;
  const bool sameBytes = entry && length >= kKeyEntryHeaderSize &&
                         length <= maximum_key_size_ && GetKeyEntryLength(key) == length &&
                         std::memcmp(entry + kKeyEntryHeaderSize, key + kKeyEntryHeaderSize,
                                     length - kKeyEntryHeaderSize) == 0;
  if (!sameBytes) {
    LoadSearchKey(false);
    if (!PathOnKeyEntry()) {
      // On disk the leaf is searched where it is stored: most deletes
      // change no more than it and its neighbour, and change them there.
      const int r =
          DescendShowingLeaf(StoredOnDisk());
      const bool found = r == 0 && key_cursor_valid_;
      if (!nodes_.empty() && Leaf().Showing()) {
        bool done;
        try {
          done = found && DeleteInShownLeaf();
        } catch (...) {
          // Nothing may keep showing bytes that are no longer lent.
          EndLeafShow();
          throw;
        }
        if (done) {
          FinishChange();
          return 0;
        }
        // The leaf is changed as a node after all: the bytes shown are
        // still lent (a refused edit leaves them so) and are what a read
        // would copy.
        positioned_ = key_cursor_valid_ = false;
        if (!found) {
          Leaf().EndShow();
          return -1;
        }
        Leaf().KeepShownImage();
        CheckNodeKind(Leaf(), true, false, "TBTree.IdxDelete");
      } else if (!found) {
        return -1;
      }
    }
  }
  UpdatePath(false);
  FinishChange();
  return 0;
}

bool TBTree::DeleteInShownLeaf() {
  static const char kCaller[] = "TBTree.IdxDelete";
  const int depth = LevelCount();
  if (depth < 2) return false;
  TNode& leaf = Leaf();
  const int32_t k = maximum_key_size_;
  if (!leaf.fixed_ || k < 1 || !leaf.Showing()) return false;
  const uint32_t address = leaf.Address();
  const int32_t pos = positions_.back();
  const int32_t used = leaf.GetUsed();
  // Anything but a whole fixed entry is left to the node's own checks.
  if (pos < 0 || pos % k != 0 || used % k != 0 || pos + k > used ||
      host::GetU16(leaf.Data() + pos) != k)
    return false;
  const int32_t after = used - k;
  if (after == 0) return false;
  // The balancing UpdatePath would do, decided as it decides it.
  TNode& parent = Level(depth - 2);
  const int32_t parentPos = positions_[static_cast<size_t>(depth - 2)];
  int32_t partnerPos = -1;
  if (after + kNodeHeaderSize < static_cast<int32_t>(page_size_ / 2) && parent.GetCount() > 1)
    partnerPos = parent.GetRedistributeNode(parentPos);
  uint32_t partner = 0;
  int32_t partnerUsed = 0;
  int32_t moved = 0;
  int32_t tailStart = -1;
  bool right = false;
  if (partnerPos >= 0) {
    partner = GetKeyEntryAddress(parent.EntryAt(partnerPos));
    if (partner == 0 || partner == address || partner == parent.Address()) return false;
    right = partnerPos > parentPos;
    // The neighbour's entries are its count in the parent: its used bytes
    // follow without a look at it. A move checks them against its header.
    const uint32_t count = GetKeyEntryCount(parent.EntryAt(partnerPos));
    if (count == 0 || count > (page_size_ - kNodeHeaderSize) / static_cast<uint32_t>(k))
      return false;
    partnerUsed = static_cast<int32_t>(count) * k;
    moved = right ? leaf.FixedRedistribution(after, partnerUsed, tailStart)
                  : leaf.FixedRedistribution(partnerUsed, after, tailStart);
    if (moved < 0) return false;  // a merge goes the node way
  }
  // The spans a write of each node would cover: from its used count to the
  // end of what its entries held before or hold after.
  int32_t leafEnd = used;
  int32_t partnerEnd = partnerUsed;
  if (moved > 0) {
    const bool leafGains = right ? tailStart < 0 : tailStart >= 0;
    if (leafGains)
      leafEnd = std::max(used, after + moved);
    else
      partnerEnd = partnerUsed + moved;
  }
  // Both pages must be in the page cache. Asking for the leaf first marks
  // its page changed as its write would on the node way, should the
  // neighbour's be refused.
  uint8_t* l = io_->EditBlockPart(address, kNodeUsed,
                                  static_cast<uint32_t>(kNodeHeaderSize + leafEnd - kNodeUsed));
  if (!l) return false;
  uint8_t* p = nullptr;
  if (moved > 0) {
    p = io_->EditBlockPart(partner, kNodeUsed,
                           static_cast<uint32_t>(kNodeHeaderSize + partnerEnd - kNodeUsed));
    // A neighbour that is not the leaf its count says is left to the node
    // way and its checks.
    if (!p || host::GetU32(p + kNodeLeaf) == 0 ||
        host::GetU32(p + kNodeUsed) != static_cast<uint32_t>(partnerUsed))
      return false;
  }
  uint8_t* ld = l + kNodeHeaderSize;
  std::memmove(ld + pos, ld + pos + k, static_cast<size_t>(after - pos));
  std::memset(ld + after, 0, static_cast<size_t>(k));
  int32_t leafUsed = after;
  int32_t partnerNew = partnerUsed;
  if (moved > 0) {
    uint8_t* pd = p + kNodeHeaderSize;
    const auto m = static_cast<size_t>(moved);
    if (right && tailStart >= 0) {
      // The leaf's tail to the front of its right neighbour.
      std::memmove(pd + m, pd, static_cast<size_t>(partnerUsed));
      std::memcpy(pd, ld + tailStart, m);
      std::memset(ld + tailStart, 0, m);
      leafUsed = tailStart;
      partnerNew = partnerUsed + moved;
    } else if (right) {
      // The right neighbour's head to the leaf's end.
      std::memcpy(ld + after, pd, m);
      std::memmove(pd, pd + m, static_cast<size_t>(partnerUsed - moved));
      std::memset(pd + partnerUsed - moved, 0, m);
      leafUsed = after + moved;
      partnerNew = partnerUsed - moved;
    } else if (tailStart >= 0) {
      // The left neighbour's tail to the leaf's front.
      std::memmove(ld + m, ld, static_cast<size_t>(after));
      std::memcpy(ld, pd + tailStart, m);
      std::memset(pd + tailStart, 0, m);
      leafUsed = after + moved;
      partnerNew = tailStart;
    } else {
      // The leaf's head to the left neighbour's end.
      std::memcpy(pd + partnerUsed, ld, m);
      std::memmove(ld, ld + m, static_cast<size_t>(after - moved));
      std::memset(ld + after - moved, 0, m);
      leafUsed = after - moved;
      partnerNew = partnerUsed + moved;
    }
    host::PutU32(p + kNodeUsed, static_cast<uint32_t>(partnerNew));
  }
  host::PutU32(l + kNodeUsed, static_cast<uint32_t>(leafUsed));
  // Copies held elsewhere are stale (the leaf level's own shows the page).
  // Leaves are held on the leaf level and by the spare (the held inner
  // nodes are asked too, which costs little when none has the address).
  insert_ready_ = false;
  leaf.Forget();
  ForgetHeld(address);
  if (spare_->Address() == address) spare_->Forget();
  if (moved > 0) {
    ForgetHeld(partner);
    if (spare_->Address() == partner) spare_->Forget();
  }
  // The first entries the parent takes are checked as the node way checks
  // them when it composes the parent's entries.
  if (host::GetU16(ld) != k) Corrupt(kCaller, "Invalid entry length in node", address);
  if (moved > 0 && host::GetU16(p + kNodeHeaderSize) != k)
    Corrupt(kCaller, "Invalid entry length in node", partner);
  TLeafChange change{address, leafUsed / k, nullptr};
  if (pos == 0 || (moved > 0 && !right)) change.First = ld;
  if (moved > 0) {
    change.SiblingPos = partnerPos;
    change.SiblingTotal = partnerNew / k;
    if (right) change.SiblingFirst = p + kNodeHeaderSize;
  }
  UpdatePath(false, &change);
  return true;
}

int TBTree::DeleteKey() {
  return IdxDelete();
}

bool TBTree::InsertIntoShownLeaf(uint32_t address, bool countRecordNo) {
  const int32_t len = maximum_key_size_;
  uint8_t* entry = key_entry_.get();
  if (LevelCount() < 2 || !Leaf().fixed_ || GetKeyEntryLength(entry) != len) return false;
  const int32_t pos = positions_.back();
  // The leaf's size: as the level shows it while the search's bytes are
  // still lent, else as FindInsertPosition saw it (checked below against
  // the page).
  const bool showing = Leaf().Showing() && Leaf().Address() == address;
  const uint32_t used = showing ? static_cast<uint32_t>(Leaf().GetUsed()) : shown_used_;
  // Anything but what the search saw is left to the node's own checks.
  if (used > page_size_ - kNodeHeaderSize || used % static_cast<uint32_t>(len) != 0 || pos < 0 ||
      static_cast<uint32_t>(pos) > used || pos % len != 0)
    return false;
  // A leaf full after the insert splits, which takes the whole node.
  if (int64_t{used} + len + kNodeHeaderSize + maximum_key_size_ >= int64_t{page_size_})
    return false;
  // The used count and the entries from the position on change.
  const uint32_t end = kNodeHeaderSize + used + static_cast<uint32_t>(len);
  uint8_t* block = io_->EditBlockPart(address, kNodeUsed, end - kNodeUsed);
  CountLeafEdit(block != nullptr);
  if (!block) return false;
  // A page that does not hold the leaf the search saw (another user of the
  // blocks came between) goes the node way: the span asked for holds what
  // it held, so nothing but its mark changed.
  if (host::GetU32(block + kNodeLeaf) == 0 || host::GetU32(block + kNodeUsed) != used) {
    if (showing) Leaf().EndShow();  // what it shows is not the page: read afresh
    return false;
  }
  inserted_record_no_ = countRecordNo ? PathRecordNo(true) : 0;
  SetKeyEntryCount(entry, 1);
  uint8_t* data = block + kNodeHeaderSize;
  std::memmove(data + pos + len, data + pos, used - static_cast<uint32_t>(pos));
  std::memcpy(data + pos, entry, static_cast<size_t>(len));
  host::PutU32(block + kNodeUsed, used + static_cast<uint32_t>(len));
  ForgetAddress(address);  // copies held elsewhere are stale
  const TLeafChange change{address, (int64_t{used} + len) / len, pos == 0 ? entry : nullptr};
  UpdatePath(true, &change);
  return true;
}

void TBTree::FinishChange() {
  insert_ready_ = false;
  *depth_ = static_cast<uint32_t>(LevelCount());
  *root_ = Level(0).Address();
  positioned_ = key_cursor_valid_ = false;
}

void TBTree::ComposeParentEntry(const TNode& node, uint8_t* dest) const {
  const uint8_t* first = node.EntryAt(0);
  std::memcpy(dest, first, GetKeyEntryLength(first));
  SetKeyEntryAddress(dest, node.Address());
  const int64_t total = node.GetTotalCount();
  SetKeyEntryCount(dest, static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX)));
}

uint32_t TBTree::AllocateNode(TNode& node) {
  node.Forget();
  node.ClearNode();
  node.SetLeaf(false);
  const uint32_t address = io_->AllocateNewAddress(page_size_, node.Image());
  node.address_ = address;
  return address;
}

void TBTree::WriteSync(TNode& node) {
  insert_ready_ = false;
  node.WriteNode();
  // Another holder of the same block would now be stale.
  for (auto& n : nodes_)
    if (n.get() != &node && n->Address() == node.Address()) n->Forget();
  ForgetHeld(node.Address());
  if (spare_.get() != &node && spare_->Address() == node.Address()) spare_->Forget();
}

void TBTree::DeferWrite(TNode& node) {
  insert_ready_ = false;
  // As WriteSync: other copies of the block are stale from now on.
  for (auto& n : nodes_)
    if (n.get() != &node && n->Address() == node.Address()) n->Forget();
  ForgetHeld(node.Address());
  if (spare_.get() != &node && spare_->Address() == node.Address()) spare_->Forget();
  node.unwritten_ = true;
  deferred_ = true;
}

void TBTree::WriteDeferred() {
  for (auto& n : nodes_)
    if (n->unwritten_ && n->Address() != 0) WriteSync(*n);
  deferred_ = false;
}

void TBTree::SetDeferInnerWrites(bool value) {
  defer_inner_writes_ = value;
  if (!value) FlushDeferred();
}

void TBTree::ReleaseNode(uint32_t address) {
  io_->ReleaseBlock(address, page_size_);
  ForgetAddress(address);
}

void TBTree::ForgetAddress(uint32_t address) {
  insert_ready_ = false;
  for (auto& n : nodes_)
    if (n->Address() == address) n->Forget();
  ForgetHeld(address);
  if (spare_ && spare_->Address() == address) spare_->Forget();
}

void TBTree::NodeHeaderChanged(uint32_t address, const uint8_t* header) {
  auto patch = [&](TNode& n) {
    if (n.Address() == address)
      std::memcpy(n.buffer_.get() + kNodeNext, header + kNodeNext, 8);
  };
  for (auto& n : nodes_) patch(*n);
  // Every held copy of the block lies on the probe from its address's slot.
  if (held_ix_) {
    const THeldIndex& ix = *held_ix_;
    for (size_t s = HeldSlotOf(address); ix.Slots[s] != 0; s = (s + 1) & (kHeldSlots - 1))
      if (ix.At[ix.Slots[s] - 1u] == address) patch(*held_[ix.Slots[s] - 1u]);
  }
  if (spare_) patch(*spare_);
}

template <bool insert>
void TBTree::UpdatePathFor(const TLeafChange* leafChange) {
  static const char kCaller[] = "TBTree.UpdatePath";
  enum class TPending { None, Insert, Delete, Sibling };
  const int depth = LevelCount();
  TNode& spare = *spare_;
  uint8_t* pendingEntry = second_entry_.get();
  TPending pending = TPending::None;
  int32_t siblingPos = -1;           // in the parent: the partner's entry
  bool siblingFirstChanged = false;  // the partner's first key changed
  bool childFirstChanged = false;    // the path child's first key changed
  // A leaf changed in its stored bytes: the pass begins above it.
  int top = depth - 1;
  if (leafChange) {
    top = depth - 2;
    childFirstChanged = leafChange->First != nullptr;
    if constexpr (!insert) {
      if (leafChange->SiblingPos >= 0) {
        pending = TPending::Sibling;
        siblingPos = leafChange->SiblingPos;
        siblingFirstChanged = leafChange->SiblingFirst != nullptr;
      }
    }
  }

  for (int l = top; l >= 0; --l) {
    TNode& n = Level(l);
    int32_t pathPos = positions_[static_cast<size_t>(l)];
    bool firstChanged = false;
    bool shrank = false;
    if (l == depth - 1) {
      if (insert) {
        uint8_t* entry = key_entry_.get();
        SetKeyEntryCount(entry, 1);
        if (!n.RoomForKey(GetKeyEntryLength(entry)))
          Corrupt(kCaller, "Leaf is overfull", n.Address());
        n.InsertKey(pathPos, entry);
      } else {
        n.DeleteKey(pathPos);
        shrank = true;
      }
      firstChanged = pathPos == 0;
    } else {
      // The path entry first: its count, and its key when the child's first
      // key changed. Positions after it move by the change in its length.
      TNode& child = Level(l + 1);
      const bool childShown = leafChange && l == depth - 2;
      // An inner child that did not split holds one record more than the
      // path entry counted: its total needs no sum over its entries.
      if (insert && pending == TPending::None && !childShown && !child.total_valid_ &&
          !child.CheckIsLeaf()) {
        const uint32_t counted = GetKeyEntryCount(n.EntryAt(pathPos));
        if (counted != UINT32_MAX) child.KeepTotal(int64_t{counted} + 1);
      }
      // Likewise a child that neither merged nor traded entries with a
      // sibling holds one record less.
      if (!insert && pending == TPending::None && !childShown && !child.total_valid_) {
        const uint32_t counted = GetKeyEntryCount(n.EntryAt(pathPos));
        if (counted != UINT32_MAX && counted > 0) child.KeepTotal(int64_t{counted} - 1);
      }
      if (childFirstChanged) {
        if (childShown) {
          uint8_t* dest = work_entry_.get();
          std::memcpy(dest, leafChange->First, GetKeyEntryLength(leafChange->First));
          SetKeyEntryAddress(dest, leafChange->Address);
          SetKeyEntryCount(dest, static_cast<uint32_t>(std::min<int64_t>(leafChange->Total, UINT32_MAX)));
        } else {
          ComposeParentEntry(child, work_entry_.get());
        }
        const int32_t delta = n.UpdateKey(pathPos, work_entry_.get());
        if (siblingPos > pathPos) siblingPos += delta;
        firstChanged = pathPos == 0;
      } else {
        const int64_t total = childShown ? leafChange->Total : child.GetTotalCount();
        n.SetEntryCount(pathPos, static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX)));
      }
      switch (pending) {
        case TPending::Insert:
          n.InsertKey(n.NextEntryStart(pathPos), pendingEntry);
          break;
        case TPending::Sibling:
          if (siblingFirstChanged) {
            if (!insert && childShown) {
              uint8_t* dest = work_entry_.get();
              const uint8_t* first = leafChange->SiblingFirst;
              std::memcpy(dest, first, GetKeyEntryLength(first));
              SetKeyEntryAddress(dest, GetKeyEntryAddress(n.EntryAt(siblingPos)));
              SetKeyEntryCount(dest, static_cast<uint32_t>(
                                         std::min<int64_t>(leafChange->SiblingTotal, UINT32_MAX)));
            } else {
              ComposeParentEntry(spare, work_entry_.get());
            }
            const int32_t delta = n.UpdateKey(siblingPos, work_entry_.get());
            if (siblingPos < pathPos) pathPos += delta;
            if (siblingPos == 0) firstChanged = true;
          } else {
            const int64_t total =
                !insert && childShown ? leafChange->SiblingTotal : spare.GetTotalCount();
            n.SetEntryCount(siblingPos,
                            static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX)));
          }
          break;
        case TPending::Delete: {
          const int32_t len = GetKeyEntryLength(n.EntryAt(siblingPos));
          n.DeleteKey(siblingPos);
          if (siblingPos < pathPos) pathPos -= len;
          if (siblingPos == 0) firstChanged = true;
          shrank = true;
          break;
        }
        case TPending::None:
          break;
      }
    }
    positions_[static_cast<size_t>(l)] = pathPos;
    pending = TPending::None;
    siblingPos = -1;
    siblingFirstChanged = false;
    if (l == 0) break;

    TNode& parent = Level(l - 1);
    if (n.CheckNodeFull()) {
      const uint32_t address = AllocateNode(spare);
      n.SplitNode(spare, address);
      WriteSync(spare);
      ComposeParentEntry(spare, pendingEntry);
      pending = TPending::Insert;
    } else if (shrank && n.CheckNodeTooEmpty() && parent.GetCount() > 1) {
      const int32_t parentPos = positions_[static_cast<size_t>(l - 1)];
      const int32_t partnerPos = parent.GetRedistributeNode(parentPos);
      if (partnerPos >= 0) {
        const uint32_t partner = GetKeyEntryAddress(parent.EntryAt(partnerPos));
        if (partner == 0 || partner == n.Address() || partner == parent.Address())
          Corrupt(kCaller, "Invalid child address", parent.Address());
        spare.ReadNode(partner);
        CheckNodeKind(spare, n.CheckIsLeaf(), false, kCaller);
        const bool right = partnerPos > parentPos;
        const int res = right ? n.RedistributeNodes(spare) : spare.RedistributeNodes(n);
        if (res > 0) {
          WriteSync(spare);
          pending = TPending::Sibling;
          siblingPos = partnerPos;
          siblingFirstChanged = right;
          if (!right) firstChanged = true;
        } else if (res < 0) {
          n.MergeNodes(spare, right);
          if (!right) firstChanged = true;
          ReleaseNode(partner);
          pending = TPending::Delete;
          siblingPos = partnerPos;
        }
      }
    }
    // An inner node that did not split may keep its change for a later
    // write (SetDeferInnerWrites).
    if (insert && defer_inner_writes_ && pending == TPending::None && !n.CheckIsLeaf())
      DeferWrite(n);
    else
      WriteSync(n);
    childFirstChanged = firstChanged;
  }

  TNode& root = Level(0);
  if (root.CheckNodeFull()) {
    SplitRoot();
  } else {
    if (insert && defer_inner_writes_ && !root.CheckIsLeaf())
      DeferWrite(root);
    else
      WriteSync(root);
    CollapseRoot();
  }
}

void TBTree::SplitRoot() {
  TNode& root = Level(0);
  TNode& spare = *spare_;
  const uint32_t right = AllocateNode(spare);
  root.SplitNode(spare, right);
  // The left half moves to a new block; the root block keeps its address and
  // becomes the inner node above both halves.
  const uint32_t left = io_->AllocateNewAddress(page_size_, root.Image());
  if (spare.CheckIsLeaf()) spare.SetPrior(left);
  WriteSync(spare);
  ComposeParentEntry(root, work_entry_.get());
  SetKeyEntryAddress(work_entry_.get(), left);
  ComposeParentEntry(spare, second_entry_.get());
  root.ClearNode();
  root.SetLeaf(false);
  root.InsertKey(0, work_entry_.get());
  root.InsertKey(GetKeyEntryLength(work_entry_.get()), second_entry_.get());
  WriteSync(root);
  nodes_.push_back(NewNode());
  positions_.push_back(0);
}

void TBTree::CollapseRoot() {
  static const char kCaller[] = "TBTree.CollapseRoot";
  TNode& root = Level(0);
  while (!root.CheckIsLeaf() && root.GetCount() == 1 && LevelCount() > 1) {
    const uint32_t child = GetKeyEntryAddress(root.EntryAt(0));
    if (child == 0 || child == root.Address())
      Corrupt(kCaller, "Invalid child address", root.Address());
    FlushDeferred();  // the child is copied from storage
    TNode& spare = *spare_;
    spare.ReadNode(child);
    CheckNodeKind(spare, LevelCount() == 2, LevelCount() == 2, kCaller);
    root.CopyNode(spare.Image());
    if (root.CheckIsLeaf()) {
      // Now the only leaf.
      root.SetNext(0);
      root.SetPrior(0);
    }
    WriteSync(root);
    ReleaseNode(child);
    nodes_.pop_back();
    positions_.pop_back();
  }
}

// ---------------------------------------------------------------------------
// Counting and listing

int32_t TBTree::GetRecordCount(bool refresh) {
  if (!open_ || Root() == 0) return 0;
  const uint32_t root = Root();
  if (!refresh && !nodes_.empty() && Level(0).Address() == root)
    return static_cast<int32_t>(Level(0).GetTotalCount());
  if (!nodes_.empty() && Level(0).Address() != 0 && Level(0).Address() != root)
    if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->NamedMonitorDelta("ROOTADDRNOTVALID", 1);
  FlushDeferred();
  spare_->Forget();
  spare_->ReadNode(root);
  CheckNodeKind(*spare_, spare_->CheckIsLeaf(), true, "TBTree.GetRecordCount");
  return static_cast<int32_t>(spare_->GetTotalCount());
}

int32_t TBTree::GetRecordNo() {
  if (!positioned_ || !key_cursor_valid_) return 0;
  return PathRecordNo();
}

int32_t TBTree::PathRecordNo(bool leafShown) {
  int64_t n = 1;
  for (int l = 0; l < LevelCount(); ++l) {
    if (leafShown && l == LevelCount() - 1) {
      n += positions_[static_cast<size_t>(l)] / maximum_key_size_;
      break;
    }
    TNode& node = Level(l);
    // An inner node holds what its parent's path entry counts: with that
    // total the count before the path adds up whichever side is shorter.
    // The root's is added up once and kept while the root stays held.
    if (!node.total_valid_ && !node.CheckIsLeaf()) {
      if (l == 0) {
        node.GetTotalCount();
      } else {
        const uint32_t counted =
            GetKeyEntryCount(Level(l - 1).EntryAt(positions_[static_cast<size_t>(l - 1)]));
        if (counted != UINT32_MAX) node.KeepTotal(counted);
      }
    }
    n += node.CountBefore(positions_[static_cast<size_t>(l)]);
  }
  return static_cast<int32_t>(n);
}

uint32_t TBTree::GetAddrOfRecNo(int32_t recNo) {
  InternalPrepareNodes();
  const int depth = LevelCount();
  if (depth == 0) return 0;
  int64_t remaining = recNo < 0 ? 0 : recNo;
  uint32_t address = 0;
  for (int l = 0; l < depth; ++l) {
    if (l > 0) ReadChild(l);
    TNode& n = Level(l);
    if (n.CheckNodeEmpty()) return 0;  // an empty tree
    int64_t before;
    address = n.SearchNodeByRecNo(remaining, before);
    positions_[static_cast<size_t>(l)] = n.Cursor();
    remaining -= before;
    if (remaining < 0)
      host::AssertFailed("remaining >= 0", "invalid recno in getaddr of recno", __FILE__, __LINE__);
  }
  if (address == 0)
    host::AssertFailed("address != 0", "invalid address returned from searchbyrecno", __FILE__,
                       __LINE__);
  positioned_ = key_cursor_valid_ = false;
  return address;
}

uint64_t TBTree::LeafWalkLimit() {
  // A sound leaf level has at most one leaf per record and one per block.
  uint64_t limit = std::numeric_limits<uint32_t>::max();
  const TChainBounds bounds = io_->GetChainBounds();
  if (bounds.MaxBlocks > 0) limit = bounds.MaxBlocks;
  if (!nodes_.empty() && Level(0).Address() == Root())
    limit = std::min<uint64_t>(limit, static_cast<uint64_t>(Level(0).GetTotalCount()));
  return limit;
}

void TBTree::ReadChainLeaf(uint32_t address, uint32_t from, bool forward, uint64_t& steps,
                           uint64_t limit, const char* caller) {
  if (++steps > limit) Corrupt(caller, "Leaf chain longer than the index (a cycle)", address);
  TNode& spare = *spare_;
  spare.ReadNode(address);
  CheckNodeKind(spare, true, false, caller);
  if ((forward ? spare.GetPrior() : spare.GetNext()) != from)
    Corrupt(caller, "Leaf chain links disagree", address);
}

void TBTree::ListMatchingRecords(const uint8_t* key, int keyFieldCount, uint32_t stopAddress,
                                 TIndexSearchType searchType, bool reverse, TCompoundList& list,
                                 bool& done) {
  static const char kCaller[] = "TBTree.ListMatchingRecords";
  done = false;
  // After a search that found nothing the cursor still stands on an entry
  // (the nearest one), which is no answer: without a key to compare, it
  // would be listed.
  if (!positioned_ || !key_cursor_valid_ || !cursor_found_) return;
  TNode& leaf = Leaf();
  const int32_t cursor = positions_.back();
  const uint8_t* current = leaf.EntryAt(cursor);
  const uint8_t* match = key ? key : current;
  const bool backwards = searchType == stLT || searchType == stLE;
  const int c = key_format_.CompareKeys(keyFieldCount, current, {}, match, {});
  if (backwards && c > 0) return;
  if ((searchType == stGE || searchType == stGT) && c < 0) return;
  const bool matchKey = searchType == stEQ;

  // `match` may point into the leaf held at the deepest level; the walk reads
  // the other leaves into the spare, so it stays put.
  TCompoundList& found = *scratch_;
  found.Clear();
  bool ended =
      leaf.ListRecords(matchKey, backwards, found, stopAddress, cursor, keyFieldCount, match);
  const uint64_t limit = LeafWalkLimit();
  uint64_t steps = 0;
  uint32_t from = leaf.Address();
  uint32_t next = backwards ? leaf.GetPrior() : leaf.GetNext();
  while (!ended && next != 0) {
    ReadChainLeaf(next, from, !backwards, steps, limit, kCaller);
    TNode& spare = *spare_;
    ended = spare.ListRecords(matchKey, backwards, found, stopAddress, backwards ? -1 : 0,
                              keyFieldCount, match);
    from = next;
    next = backwards ? spare.GetPrior() : spare.GetNext();
  }
  done = ended;

  const int n = found.Count();
  const int64_t first = GetRecordNo();
  const std::vector<uint32_t>& addresses = found.List1();
  auto numberOf = [&](int i) { return static_cast<uint32_t>(backwards ? first - i : first + i); };
  if (reverse && backwards) {
    for (int i = n - 1; i >= 0; --i) list.Add(addresses[static_cast<size_t>(i)], numberOf(i));
  } else {
    for (int i = 0; i < n; ++i) list.Add(addresses[static_cast<size_t>(i)], numberOf(i));
  }
}

void TBTree::ListAddresses(int64_t count, std::vector<uint32_t>& addresses) {
  static const char kCaller[] = "TBTree.ListAddresses";
  if (!positioned_ || !key_cursor_valid_ || count <= 0) return;
  const auto take = [&](const TNode& node, int first) {
    const int n = node.GetCount();
    for (int k = first; k < n && count > 0; ++k, --count)
      addresses.push_back(GetKeyEntryAddress(node.EntryPtr(k)));
  };
  TNode& leaf = Leaf();
  const int32_t cursor = positions_.back();
  take(leaf, cursor > 0 ? leaf.IndexOfStart(cursor, kCaller) : 0);
  const uint64_t limit = LeafWalkLimit();
  uint64_t steps = 0;
  uint32_t from = leaf.Address();
  uint32_t next = leaf.GetNext();
  while (count > 0 && next != 0) {
    ReadChainLeaf(next, from, true, steps, limit, kCaller);
    take(*spare_, 0);
    from = next;
    next = spare_->GetNext();
  }
}

void TBTree::ListReadAheadRecords(TReadAheadDirection direction, int count,
                                  TReadAheadBuffer& buffer, const TListBound* bound) {
  static const char kCaller[] = "TBTree.ListReadAheadRecords";
  if (!positioned_ || !key_cursor_valid_ || count <= 0) return;
  TNode& leaf = Leaf();
  const int32_t cursor = positions_.back();
  leaf.SetCursor(cursor);
  if (bound && bound->Key && (direction == rdForwards || direction == rdBackwards)) {
    // The entries are in key order: the bound is found by halving the window
    // the listing would take, and the count cut to the entries on its side.
    const int n = leaf.GetCount();
    const int at = leaf.IndexOfStart(cursor, kCaller);
    const bool forwards = direction == rdForwards;
    const auto beyond = [&](int k) {
      const int c = CompareKeys(0, leaf.EntryPtr(k), {}, bound->Key, bound->Markers);
      return forwards ? c > 0 : c < 0;
    };
    // Forwards: the first of [at, at + count) past the bound. Backwards: the
    // last of (at - count, at] before it, searched from the cursor outwards.
    int inside = 0;
    if (forwards) {
      int lo = at, hi = std::min(n, at + count);
      while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (beyond(mid))
          hi = mid;
        else
          lo = mid + 1;
      }
      inside = lo - at;
    } else {
      int lo = std::max(-1, at - count), hi = at;  // entries (lo, at]; lo is beyond or outside
      while (lo < hi) {
        const int mid = hi - (hi - lo) / 2;
        if (beyond(mid))
          lo = mid;
        else
          hi = mid - 1;
      }
      inside = at - lo;
    }
    if (inside <= 0) return;
    count = std::min(count, inside);
  }
  const int64_t recNo = GetRecordNo();
  const int firstItem = buffer.Count();
  int before = 0;
  switch (direction) {
    case rdBackwards:
      before = leaf.ListRecordsInNode(true, cursor, buffer, count) - 1;
      break;
    case rdCenter: {
      const int32_t prior = leaf.PriorEntryStart(cursor);
      if (prior >= 0) before = leaf.ListRecordsInNode(true, prior, buffer, count / 2);
      leaf.ListRecordsInNode(false, cursor, buffer, count / 2);
      break;
    }
    default:
      leaf.ListRecordsInNode(false, cursor, buffer, count);
      break;
  }
  for (int i = firstItem; i < buffer.Count(); ++i) {
    TReadAheadBufferItem* item = buffer.Items(i);
    item->SetRecNo(static_cast<int32_t>(recNo - before + (i - firstItem)));
    if (i > firstItem) {
      const TReadAheadBufferItem* prev = buffer.Items(i - 1);
      TAV_ASSERT(item->RecAddr() != prev->RecAddr(), "Read ahead buffer has duplicate records");
      TAV_ASSERT(item->RecNo() == prev->RecNo() + 1, "Read ahead buffer recno's are out of sync");
    }
  }
  TAV_ASSERT(leaf.Cursor() == cursor, "CursorPos invalid");
}

void TBTree::FillHashTable(int keyFieldNo, TTavBaseHash& hash) {
  static const char kCaller[] = "TBTree.FillHashTable";
  if (!open_ || nodes_.empty() || Leaf().Address() == 0 || !Leaf().CheckIsLeaf()) return;
  TNode& leaf = Leaf();
  leaf.FillHashTable(keyFieldNo, hash);
  const uint64_t limit = LeafWalkLimit();
  uint64_t steps = 0;
  uint32_t from = leaf.Address();
  for (uint32_t next = leaf.GetNext(); next != 0;) {
    ReadChainLeaf(next, from, true, steps, limit, kCaller);
    spare_->FillHashTable(keyFieldNo, hash);
    from = next;
    next = spare_->GetNext();
  }
}

// ---------------------------------------------------------------------------
// Diagnostics

void TBTree::DebugStatus(host::TStringList& lines) {
  if (io_) io_->ShowStatus(lines);
}

void TBTree::DebugDumpAllocatedBlocks(host::TStrings& lines) {
  if (!io_) return;
  const TChainBounds bounds = io_->GetChainBounds();
  uint64_t n = 0;
  for (uint32_t a = io_->GetNextMemoryBlockAddress(0); a != 0 && n <= bounds.MaxBlocks;
       a = io_->GetNextMemoryBlockAddress(a), ++n)
    lines.Add(host::Format("Block %u", {a}));
}

void TBTree::DebugInOrderRecurse(host::TStrings& lines) {
  CheckConnected("TBTree.DebugInOrderRecurse");
  WalkTree("TBTree.DebugInOrderRecurse", true,
           [&](const TNode& n, uint32_t level) { n.PrintNode(lines, static_cast<int>(level)); });
}

void TBTree::DebuGInOrderFlat(host::TStrings& lines) {
  CheckConnected("TBTree.DebuGInOrderFlat");
  WalkTree("TBTree.DebuGInOrderFlat", true, [&](const TNode& n, uint32_t level) {
    if (n.CheckIsLeaf()) n.PrintNode(lines, static_cast<int>(level));
  });
}

void TBTree::DebugCheckOrderRecurse() {
  static const char kCaller[] = "TBTree.DebugCheckOrderRecurse";
  CheckConnected(kCaller);
  if (!open_) TavDatabaseError(kUnexpectedInternalError, kCaller, "Index is not open");
  std::vector<uint8_t> last(static_cast<size_t>(maximum_key_size_) + 1);
  bool haveLast = false;
  const uint32_t depth = Depth();
  WalkTree(kCaller, true, [&](const TNode& n, uint32_t level) {
    if (n.CheckNodeEmpty() && !(level == 0 && depth == 1))
      TavDatabaseError(kUnexpectedInternalError, kCaller, "Empty node in check order");
    if (!n.CheckIsLeaf()) return;
    for (int32_t pos = 0; pos < n.GetUsed(); pos = n.NextEntryStart(pos)) {
      const uint8_t* e = n.EntryAt(pos);
      if (haveLast && key_format_.CompareKeys(0, last.data(), {}, e, {}) > 0)
        TavDatabaseError(kUnexpectedInternalError, kCaller, "Check Order error");
      std::memcpy(last.data(), e, GetKeyEntryLength(e));
      haveLast = true;
    }
  });
}

}  // namespace tav

#include "engine/storage/index/index_bulk_load.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/index/btree.h"
#include "engine/storage/index/index_mgr.h"
#include "engine/storage/index/index_node.h"
#include "engine/storage/record/io_interface.h"
#include "host/rtl/le_bytes.h"

namespace tav {

namespace {

// Splits entries (their lengths, in key order) into nodes: each node takes
// entries while it stays below the point where an insert would split it;
// a last node left too empty shares its neighbour's entries evenly. Returns
// the first entry of each node and, last, the entry count.
std::vector<size_t> Partition(const std::vector<int32_t>& lengths, uint32_t pageSize, int32_t maxKey) {
  const int64_t page = pageSize;
  auto fits = [&](int64_t used, int32_t length) {
    return used == 0 || used + length + kNodeHeaderSize + maxKey < page;
  };
  std::vector<size_t> starts{0};
  int64_t used = 0;
  for (size_t i = 0; i < lengths.size(); ++i) {
    if (!fits(used, lengths[i])) {
      starts.push_back(i);
      used = 0;
    }
    used += lengths[i];
  }
  starts.push_back(lengths.size());
  const size_t nodes = starts.size() - 1;
  if (nodes >= 2 && used + kNodeHeaderSize < page / 2) {
    // The last two nodes' entries, split where the bytes are halved.
    const size_t from = starts[nodes - 2];
    int64_t total = 0;
    for (size_t i = from; i < lengths.size(); ++i) total += lengths[i];
    int64_t left = 0;
    size_t split = from;
    while (split + 1 < lengths.size() && left + lengths[split] <= total / 2) left += lengths[split++];
    if (split > from) starts[nodes - 1] = split;
  }
  return starts;
}

}  // namespace

TIndexBulkLoad::TIndexBulkLoad(TIndexItem& item) : item_(item) {}

TIndexBulkLoad::~TIndexBulkLoad() = default;

size_t TIndexBulkLoad::AppendEntry(const uint8_t* record, uint32_t address) {
  TBTree& tree = item_.Tree();
  const size_t at = used_;
  // Room for the longest key, the arena doubling as it grows.
  const size_t room = at + static_cast<size_t>(tree.MaximumKeySize()) + 1;
  if (arena_.size() < room) arena_.resize(std::max(room, arena_.size() * 2));
  uint8_t* entry = arena_.data() + at;
  tree.ConstructTempKeyBufFromRecBuf(record, entry);
  SetKeyEntryCount(entry, 1);
  SetKeyEntryAddress(entry, address);
  used_ = at + GetKeyEntryLength(entry);
  return at;
}

void TIndexBulkLoad::AddAbove(const uint8_t* record, uint32_t address) {
  const size_t at = AppendEntry(record, address);
  offsets_.push_back(at);
  if (!in_order_) forms_.Add(*form_, arena_.data() + at);
}

void TIndexBulkLoad::Add(const uint8_t* record, uint32_t address) {
  TBTree& tree = item_.Tree();
  const size_t at = AppendEntry(record, address);
  const uint8_t* entry = arena_.data() + at;
  // Entries whose keys rise strictly as they come need no sorting: the sort
  // forms are made only once one does not.
  if (in_order_ && !offsets_.empty() && tree.CompareKeys(0, Entry(offsets_.size() - 1), {}, entry, {}) >= 0) {
    in_order_ = false;
    form_ = std::make_unique<TKeySortForm>(tree.KeyFormat());
    for (size_t n = 0; n < offsets_.size(); ++n) forms_.Add(*form_, Entry(n));
  }
  offsets_.push_back(at);
  if (!in_order_) forms_.Add(*form_, entry);
}

int TIndexBulkLoad::CompareEntries(uint32_t a, uint32_t b) const {
  const int c = forms_.Compare(a, b);
  if (c != 0 || form_->Complete()) return c;
  return item_.Tree().CompareKeys(0, Entry(a), {}, Entry(b), {});
}

void TIndexBulkLoad::Sort() {
  const size_t n = offsets_.size();
  order_.resize(n);
  if (in_order_) {
    std::iota(order_.begin(), order_.end(), 0u);
    return;
  }
  // Bytes every form shares decide nothing: each entry is sorted by the
  // eight bytes after them first (zeros past its end, so that a shorter form
  // never sorts after a longer one it is a prefix of), and only where those
  // tie by the rest of the forms.
  const std::vector<uint8_t>& bytes = forms_.Bytes;
  const std::vector<size_t>& starts = forms_.Starts;
  size_t common = starts[1] - starts[0];
  for (size_t k = 1; k < n && common > 0; ++k) {
    const uint8_t* a = bytes.data();
    const uint8_t* b = bytes.data() + starts[k];
    const size_t limit = std::min(common, starts[k + 1] - starts[k]);
    size_t i = 0;
    while (i < limit && a[i] == b[i]) ++i;
    common = i;
  }
  struct TItem {
    uint64_t Key;
    uint32_t Entry;
  };
  std::vector<TItem> items(n);
  for (size_t k = 0; k < n; ++k) {
    const size_t from = starts[k] + common, end = starts[k + 1];
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i) key = (key << 8) | (from + i < end ? bytes[from + i] : 0);
    items[k] = {key, static_cast<uint32_t>(k)};
  }
  auto before = [&](const TItem& a, const TItem& b) {
    if (a.Key != b.Key) return a.Key < b.Key;
    const int c = CompareEntries(a.Entry, b.Entry);
    return c != 0 ? c < 0 : a.Entry > b.Entry;
  };
  // Records often lie in the order of a key (an increasing primary key):
  // one pass tells.
  if (!std::is_sorted(items.begin(), items.end(), before)) std::sort(items.begin(), items.end(), before);
  for (size_t k = 0; k < n; ++k) order_[k] = items[k].Entry;
}

std::vector<uint32_t> TIndexBulkLoad::EqualKeyRuns() const {
  std::vector<uint32_t> runs(offsets_.size(), 0);
  // Keys that rose strictly are each a run of their own.
  if (in_order_) {
    std::iota(runs.begin(), runs.end(), 0u);
    return runs;
  }
  uint32_t run = 0;
  for (size_t i = 0; i < order_.size(); ++i) {
    if (i > 0 && CompareEntries(order_[i - 1], order_[i]) != 0) ++run;
    runs[order_[i]] = run;
  }
  return runs;
}

void TIndexBulkLoad::Build(TIndexManager& manager, const std::vector<bool>* keep) {
  TAV_ASSERT(order_.size() == offsets_.size(), "Index bulk load is not sorted");
  // The old nodes go first; an empty root leaf is left, and it stays the
  // root block whatever the new tree's depth.
  manager.EmptyIndex(item_.IndexName());
  std::vector<const uint8_t*> level;
  level.reserve(order_.size());
  for (uint32_t n : order_)
    if (!keep || (*keep)[n]) level.push_back(Entry(n));
  if (level.empty()) return;

  TBTree& tree = item_.Tree();
  TBaseIOInterface* io = tree.IOInterface();
  const uint32_t page = tree.PageSize();
  const uint32_t root = item_.Root();
  std::vector<uint8_t> image(page);
  bool zeroed = true;  // the image holds nothing but zeros
  std::vector<uint8_t> below;  // the entries `level` points into, above the leaves
  uint32_t depth = 0;
  for (bool leaf = true;; leaf = false) {
    std::vector<int32_t> lengths(level.size());
    for (size_t i = 0; i < level.size(); ++i) lengths[i] = GetKeyEntryLength(level[i]);
    const std::vector<size_t> starts = Partition(lengths, page, tree.MaximumKeySize());
    const size_t nodes = starts.size() - 1;
    if (++depth > kMaxTreeDepth)
      TavDatabaseError(kUnexpectedInternalError, "TIndexBulkLoad.Build",
                       "Index depth out of range");
    // Addresses first: a leaf names both neighbours.
    std::vector<uint32_t> addresses(nodes, root);
    if (nodes > 1) {
      if (!zeroed) std::fill(image.begin(), image.end(), 0);
      zeroed = true;
      for (uint32_t& a : addresses) a = io->AllocateNewAddress(page, image.data());
    }
    std::vector<uint8_t> parents;
    std::vector<size_t> parentAt;
    for (size_t k = 0; k < nodes; ++k) {
      if (!zeroed) std::fill(image.begin(), image.end(), 0);
      zeroed = false;
      host::PutU32(image.data() + kNodeLeaf, leaf ? 1 : 0);
      if (leaf) {
        host::PutU32(image.data() + kNodeNext, k + 1 < nodes ? addresses[k + 1] : 0);
        host::PutU32(image.data() + kNodePrior, k > 0 ? addresses[k - 1] : 0);
      }
      int64_t used = 0;
      uint64_t records = 0;
      for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
        std::memcpy(image.data() + kNodeHeaderSize + used, level[i], static_cast<size_t>(lengths[i]));
        used += lengths[i];
        records += GetKeyEntryCount(level[i]);
      }
      host::PutU32(image.data() + kNodeUsed, static_cast<uint32_t>(used));
      io->WriteBlock(addresses[k], page, image.data());
      // The parent's entry: the node's first key, its address and count.
      const uint8_t* first = level[starts[k]];
      const size_t at = parents.size();
      parents.insert(parents.end(), first, first + lengths[starts[k]]);
      SetKeyEntryAddress(parents.data() + at, addresses[k]);
      SetKeyEntryCount(parents.data() + at, static_cast<uint32_t>(std::min<uint64_t>(records, UINT32_MAX)));
      parentAt.push_back(at);
    }
    if (nodes == 1) break;
    below = std::move(parents);
    level.clear();
    for (size_t at : parentAt) level.push_back(below.data() + at);
  }
  item_.SetDepth(depth);
  tree.InvalidateInternalBuffers();
  manager.WriteIndexHeaders();
}

}  // namespace tav

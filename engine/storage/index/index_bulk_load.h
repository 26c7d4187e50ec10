// TIndexBulkLoad: the keys of many records for one index, sorted, and the
// index's tree built from them bottom-up in one pass: leaves filled in key
// order and linked, then each inner level from the first keys and record
// counts of the level below, up to a single root. A whole-table operation
// that holds the table exclusively (re-index, the end of a rebuild) uses it
// instead of inserting key by key.
//
// The entries are the tree's own (built with its key format, count 1, the
// record's address), so the built tree holds exactly what inserting the
// same keys one by one would hold, and every search answers alike; only the
// shape differs (nodes filled to just below the split point, the last node of
// a level evened out with its neighbour).
//
// Callers must keep:
//  - The item is open and stays unchanged from the first Add to Build; the
//    records passed to Add are whole record images of the item's table.
//  - Sort before EqualKeyRuns and Build.
//  - Build replaces the tree: it first frees the index's nodes (EmptyIndex of
//    the manager), then stores the new root and depth in the item's header
//    slot (the header itself is written by the caller's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/index/key_sort_form.h"

namespace tav {

class TIndexItem;
class TIndexManager;

class TIndexBulkLoad {
 public:
  explicit TIndexBulkLoad(TIndexItem& item);
  ~TIndexBulkLoad();
  TIndexBulkLoad(const TIndexBulkLoad&) = delete;
  TIndexBulkLoad& operator=(const TIndexBulkLoad&) = delete;

  // The key of `record`, stored at `address`, as the next entry (entries are
  // numbered 0, 1, ... in the order they are added).
  void Add(const uint8_t* record, uint32_t address);
  // The same for a record whose key the caller knows to be above every key
  // added before: it is not compared.
  void AddAbove(const uint8_t* record, uint32_t address);
  // Orders the entries by key (through their sort forms, key_sort_form.h);
  // equal keys by descending entry number, as inserting one by one would
  // leave them.
  void Sort();
  size_t Count() const { return offsets_.size(); }
  // For each entry, by entry number: the number of its run of equal keys
  // (runs numbered from 0 in key order).
  std::vector<uint32_t> EqualKeyRuns() const;
  // Replaces the tree with one of the entries `keep` admits (by entry
  // number; null = all). An empty set leaves an empty root leaf.
  void Build(TIndexManager& manager, const std::vector<bool>* keep);

 private:
  // The sort forms of the entries, back to back in entry order.
  struct TForms {
    std::vector<uint8_t> Bytes;
    std::vector<size_t> Starts{0};  // entry number -> offset; one more at the end
    void Add(const TKeySortForm& form, const uint8_t* entry) {
      form.Append(entry, Bytes);
      Starts.push_back(Bytes.size());
    }
    int Compare(uint32_t a, uint32_t b) const {
      return TKeySortForm::Compare(Bytes.data() + Starts[a], Starts[a + 1] - Starts[a],
                                   Bytes.data() + Starts[b], Starts[b + 1] - Starts[b]);
    }
  };

  const uint8_t* Entry(size_t n) const { return arena_.data() + offsets_[n]; }
  // The key entry of `record` at the arena's end; its offset.
  size_t AppendEntry(const uint8_t* record, uint32_t address);
  // The key order of entries a and b: their forms, and where these cannot
  // tell all fields apart, the tree's compare.
  int CompareEntries(uint32_t a, uint32_t b) const;

  TIndexItem& item_;
  std::vector<uint8_t> arena_;     // entries back to back, in entry order
  size_t used_ = 0;                // bytes of arena_ the entries take
  std::vector<size_t> offsets_;    // entry number -> offset in arena_
  // Whether every entry's key is above the one before: the entries are then
  // in key order as added, and no sort forms are made.
  bool in_order_ = true;
  std::unique_ptr<TKeySortForm> form_;  // made when a key first falls: the tree is open then
  TForms forms_;                        // empty while in_order_
  std::vector<uint32_t> order_;    // entry numbers in key order (after Sort)
};

}  // namespace tav

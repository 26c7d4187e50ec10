// Test support: an invariant checker for a TBTree's blocks. It reads the nodes
// straight from the tree's I/O interface and parses them itself, so that it
// does not share the mistakes of the code it checks, and reports the first
// broken rule:
//  - the depth is the same on every path (leaves exactly at the deepest
//    level, inner nodes above it) and no node is reached twice;
//  - node images: used bytes within the page, entry lengths valid (all
//    MaximumKeySize for fixed keys) and adding up to the used bytes, zero
//    bytes after them;
//  - fill: no node full after a change (used + 16 + MaximumKeySize < page),
//    no node but an only leaf empty, an inner root with two entries at least;
//  - key order within each node and across the leaf level (strict for
//    unique full keys);
//  - every inner entry: its key is its child's lowest key, its count the
//    number of records below it;
//  - the leaf chain: next and prior links in both directions match the order
//    of the leaves in the tree, 0 at the ends; inner nodes carry no links.
// It also returns the record addresses in key order and the node count, so a
// test can compare them with its model and with the blocks the interface
// holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/storage/index/btree.h"
#include "engine/storage/record/io_interface.h"
#include "host/rtl/le_bytes.h"

namespace tav::test {

struct TTreeCheckResult {
  std::string Error;  // empty when every rule holds
  uint32_t Nodes = 0;
  uint32_t Leaves = 0;
  std::vector<uint32_t> Addresses;  // record addresses in key order
  bool Ok() const { return Error.empty(); }
};

class TTreeChecker {
 public:
  TTreeChecker(const TBTree& tree, bool uniqueKeys) : tree_(tree), unique_(uniqueKeys) {}

  TTreeCheckResult Run() {
    try {
      RunChecks();
    } catch (const std::exception& e) {
      if (result_.Error.empty()) result_.Error = std::string("exception: ") + e.what();
    }
    return result_;
  }

 private:
  struct TFail {};

  [[noreturn]] void Fail(const std::string& what, uint32_t address) {
    result_.Error = what + " (node " + std::to_string(address) + ")";
    throw TFail{};
  }

  static uint32_t U32(const uint8_t* p) { return host::GetU32(p); }

  void RunChecks() {
    try {
      const uint32_t root = tree_.Root();
      depth_ = tree_.Depth();
      page_ = tree_.PageSize();
      maxKey_ = tree_.MaximumKeySize();
      if (root == 0 || depth_ == 0) Fail("no root", root);
      if (depth_ > kMaxTreeDepth) Fail("depth out of range", root);
      std::vector<uint8_t> first(static_cast<size_t>(maxKey_));
      Node(root, 0, first);
      if (lastLeaf_ != 0 && lastLeafNext_ != 0) Fail("last leaf has a next link", lastLeaf_);
    } catch (const TFail&) {
    }
  }

  // Checks the subtree at address; returns its record count and copies its
  // lowest entry into `first`.
  uint64_t Node(uint32_t address, uint32_t level, std::vector<uint8_t>& first) {
    if (!seen_.insert(address).second) Fail("node reached twice", address);
    ++result_.Nodes;
    std::vector<uint8_t> img(page_);
    tree_.IOInterface()->ReadBlock(address, page_, img.data());
    const bool leaf = U32(&img[0]) != 0;
    const uint32_t used = U32(&img[4]);
    const uint32_t next = U32(&img[8]);
    const uint32_t prior = U32(&img[12]);
    if (leaf != (level == depth_ - 1)) Fail("leaf flag does not match the level", address);
    if (used > page_ - 16) Fail("used beyond the page", address);
    if (used + 16 + static_cast<uint32_t>(maxKey_) >= page_) Fail("node is full", address);
    for (uint32_t i = 16 + used; i < page_; ++i)
      if (img[i] != 0) Fail("bytes after the entries are not zero", address);
    std::vector<uint32_t> starts;
    const TKeyFormat& format = tree_.KeyFormat();
    const int minLen = kKeyEntryHeaderSize + format.DataOffset();
    for (uint32_t p = 0; p < used;) {
      if (p + 2 > used) Fail("entry header past the used bytes", address);
      const int len = GetKeyEntryLength(&img[16 + p]);
      if (tree_.IndexKeyType() == ikFixed ? len != maxKey_ : (len < minLen || len > maxKey_))
        Fail("invalid entry length " + std::to_string(len), address);
      if (p + static_cast<uint32_t>(len) > used) Fail("entry past the used bytes", address);
      starts.push_back(p);
      p += static_cast<uint32_t>(len);
    }
    const bool isRoot = level == 0;
    if (starts.empty() && !(isRoot && leaf)) Fail("empty node", address);
    if (isRoot && !leaf && starts.size() < 2) Fail("inner root with one entry", address);
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
      const int c = format.CompareKeys(0, &img[16 + starts[k]], {}, &img[16 + starts[k + 1]], {});
      if (c > 0 || (unique_ && c == 0)) Fail("keys out of order in node", address);
    }
    if (!starts.empty())
      std::memcpy(first.data(), &img[16 + starts[0]], GetKeyEntryLength(&img[16 + starts[0]]));
    if (leaf) {
      ++result_.Leaves;
      if (prior != lastLeaf_) Fail("prior link does not name the previous leaf", address);
      if (lastLeaf_ != 0 && lastLeafNext_ != address)
        Fail("next link of the previous leaf does not name this leaf", lastLeaf_);
      if (!starts.empty() && haveLastKey_) {
        const int c = format.CompareKeys(0, lastKey_.data(), {}, &img[16 + starts[0]], {});
        if (c > 0 || (unique_ && c == 0)) Fail("keys out of order across leaves", address);
      }
      for (uint32_t s : starts) result_.Addresses.push_back(GetKeyEntryAddress(&img[16 + s]));
      if (!starts.empty()) {
        lastKey_.assign(&img[16 + starts.back()],
                        &img[16 + starts.back()] + GetKeyEntryLength(&img[16 + starts.back()]));
        haveLastKey_ = true;
      }
      lastLeaf_ = address;
      lastLeafNext_ = next;
      return starts.size();
    }
    if (next != 0 || prior != 0) Fail("inner node with leaf links", address);
    uint64_t total = 0;
    std::vector<uint8_t> childFirst(static_cast<size_t>(maxKey_));
    for (uint32_t s : starts) {
      const uint8_t* e = &img[16 + s];
      const uint32_t child = GetKeyEntryAddress(e);
      if (child == 0) Fail("child address 0", address);
      const uint64_t below = Node(child, level + 1, childFirst);
      if (GetKeyEntryCount(e) != below)
        Fail("entry count " + std::to_string(GetKeyEntryCount(e)) + " but " +
                 std::to_string(below) + " records below",
             address);
      if (format.CompareKeys(0, e, {}, childFirst.data(), {}) != 0)
        Fail("inner key is not its child's lowest key", address);
      total += below;
    }
    return total;
  }

  const TBTree& tree_;
  bool unique_;
  uint32_t depth_ = 0;
  uint32_t page_ = 0;
  int maxKey_ = 0;
  std::unordered_set<uint32_t> seen_;
  uint32_t lastLeaf_ = 0;
  uint32_t lastLeafNext_ = 0;
  std::vector<uint8_t> lastKey_;
  bool haveLastKey_ = false;
  TTreeCheckResult result_;
};

inline TTreeCheckResult CheckTree(const TBTree& tree, bool uniqueKeys = true) {
  return TTreeChecker(tree, uniqueKeys).Run();
}

}  // namespace tav::test

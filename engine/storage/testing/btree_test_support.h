// Test support for the index node and B+-tree tests: a small index (one
// integer or string key field, optionally Descending, plus the hidden record
// number field of a non-unique index) over a block interface, a model of its
// contents in key order, and raw access to node blocks for damage tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/index/btree.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/base/tav_compare.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/variant.h"

namespace tav::test {

struct TIndexLayout {
  bool StringKey = false;
  bool Unique = true;
  bool Descending = false;
  TIndexKeyType KeyType = ikFixed;
  uint32_t PageSize = 512;
  int StringSize = 16;
};

// A key value: Int for an integer key, Str for a string key.
struct TVal {
  int32_t Int = 0;
  std::string Str;
};

struct TRec {
  TVal Key;
  uint32_t RecNo = 0;  // also the record address
};

// Index order of two keys (the visible field only).
inline int CompareKey(const TIndexLayout& layout, const TVal& a, const TVal& b) {
  int c;
  if (layout.StringKey) {
    c = a.Str < b.Str ? -1 : (a.Str > b.Str ? 1 : 0);  // byte order, as DBASCIICompareStrings
  } else {
    c = a.Int < b.Int ? -1 : (a.Int > b.Int ? 1 : 0);
  }
  return layout.Descending ? -c : c;
}

// Index order of two records: key, then (non-unique) record number.
inline int CompareRec(const TIndexLayout& layout, const TRec& a, const TRec& b) {
  const int c = CompareKey(layout, a.Key, b.Key);
  if (c != 0 || layout.Unique) return c;
  return a.RecNo < b.RecNo ? -1 : (a.RecNo > b.RecNo ? 1 : 0);
}

class TTestIndex {
 public:
  // Uses `io` when given, else an interface of its own. Without `create`,
  // opens the tree whose root and depth are given.
  explicit TTestIndex(const TIndexLayout& layout, TBaseIOInterface* io = nullptr,
                      bool create = true, uint32_t root = 0, uint32_t depth = 0)
      : layout_(layout), io_(io ? io : &own_io_), root_(root), depth_(depth) {
    TKeyFields& fields = tree_.KeyFields();
    TKeyFieldItem* f = fields.Add();
    f->SetFieldName("K");
    f->SetIndexName("IX");
    f->SetDataType(layout.StringKey ? host::ftString : host::ftInteger);
    f->SetFieldSize(layout.StringKey ? layout.StringSize : 4);
    f->SetDescending(layout.Descending);
    if (!layout.Unique) {
      TKeyFieldItem* h = fields.Add();
      h->SetFieldName("RecNo");
      h->SetIndexName("IX");
      h->SetDataType(host::ftInteger);
      h->SetFieldSize(4);
      h->SetHidden(true);
    }
    fields.SetDataOffset(CalculateKeyDataOffset(fields.Count()));
    tree_.SetMaximumKeySize(CalculateMaximumKeySize(fields) + fields.DataOffset());
    tree_.SetIndexKeyType(layout.KeyType);
    tree_.SetDBStringCompare(DBASCIICompareStrings);
    tree_.ConnectToIFace(io_, layout.PageSize, root_, depth_);
    if (create) tree_.CreateTree();
    tree_.Open();
  }

  TBTree& Tree() { return tree_; }
  TBaseIOInterface& IO() { return *io_; }
  const TIndexLayout& Layout() const { return layout_; }
  uint32_t& RootVar() { return root_; }
  uint32_t& DepthVar() { return depth_; }

  host::Variant ValueOf(const TVal& v) const {
    return layout_.StringKey ? host::Variant(v.Str) : host::Variant(static_cast<int>(v.Int));
  }

  // The key entry for (key, recNo): the full key of the index, address recNo.
  void SetKey(const TVal& key, uint32_t recNo, TFieldComparisonValues markers = {}) {
    if (layout_.Unique)
      tree_.ConstructKeyBufFromVariants(ValueOf(key), markers);
    else
      tree_.ConstructKeyBufFromVariants(
          host::VarArrayOf({ValueOf(key), host::Variant(static_cast<int>(recNo))}), markers);
    tree_.SetKeyBufAddr(recNo);
  }
  // Only the visible field; the record number field has no value.
  void SetPrefixKey(const TVal& key, TFieldComparisonValues markers = {}) {
    tree_.ConstructKeyBufFromVariants(ValueOf(key), markers);
  }

  int Insert(const TVal& key, uint32_t recNo) {
    SetKey(key, recNo);
    return tree_.IdxInsert();
  }
  int Delete(const TVal& key, uint32_t recNo) {
    SetKey(key, recNo);
    return tree_.IdxDelete();
  }

  int CompareKey(const TVal& a, const TVal& b) const { return test::CompareKey(layout_, a, b); }

  // Positions on the first / last entry through a search key that sorts
  // before / after every entry.
  int SearchFirst() {
    static const TFieldComparisonValue bof[] = {fcForceBOF};
    SetPrefixKey(TVal{}, bof);
    return tree_.IndexSearch(stGE);
  }
  int SearchLast() {
    static const TFieldComparisonValue eof[] = {fcForceEOF};
    SetPrefixKey(TVal{}, eof);
    return tree_.IndexSearch(stLE);
  }

  TTreeCheckResult Check() { return CheckTree(tree_, true); }

 private:
  TIndexLayout layout_;
  TMemoryIOInterface own_io_;
  TBaseIOInterface* io_;
  uint32_t root_;
  uint32_t depth_;
  TBTree tree_;
};

// Raw node access for damage tests.
inline uint32_t NodeU32(const uint8_t* node, int offset) {
  return host::GetU32(node + offset);
}
inline void SetNodeU32(uint8_t* node, int offset, uint32_t v) {
  host::PutU32(node + offset, v);
}

// The leaves in key order, found by descending along first entries and then
// following the next links (as many as there are nodes, at most).
inline std::vector<uint32_t> LeafAddresses(TBTree& tree) {
  std::vector<uint32_t> leaves;
  TBaseIOInterface& io = *tree.IOInterface();
  uint32_t a = tree.Root();
  for (uint32_t l = 1; l < tree.Depth(); ++l) {
    const uint8_t* n = io.ReadBlockByRef(a, tree.PageSize());
    a = GetKeyEntryAddress(n + 16);
  }
  for (int guard = 0; a != 0 && guard < 1000000; ++guard) {
    leaves.push_back(a);
    a = NodeU32(io.ReadBlockByRef(a, tree.PageSize()), 8);
  }
  return leaves;
}

}  // namespace tav::test

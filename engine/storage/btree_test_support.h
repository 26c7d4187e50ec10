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

#include "engine/storage/btree.h"
#include "engine/storage/btree_check.h"
#include "engine/storage/io_interface.h"
#include "engine/storage/tav_compare.h"
#include "host/rtl/variant.h"

namespace tav::test {

struct TIndexSpec {
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

class TTestIndex {
 public:
  // Uses `io` when given, else an interface of its own.
  explicit TTestIndex(const TIndexSpec& spec, TBaseIOInterface* io = nullptr,
                      bool create = true)
      : spec_(spec), io_(io ? io : &own_io_) {
    TKeyFields& fields = tree_.KeyFields();
    TKeyFieldItem* f = fields.Add();
    f->SetFieldName("K");
    f->SetIndexName("IX");
    f->SetDataType(spec.StringKey ? host::ftString : host::ftInteger);
    f->SetFieldSize(spec.StringKey ? spec.StringSize : 4);
    f->SetDescending(spec.Descending);
    if (!spec.Unique) {
      TKeyFieldItem* h = fields.Add();
      h->SetFieldName("RecNo");
      h->SetIndexName("IX");
      h->SetDataType(host::ftInteger);
      h->SetFieldSize(4);
      h->SetHidden(true);
    }
    fields.SetDataOffset(CalculateKeyDataOffset(fields.Count()));
    tree_.SetMaximumKeySize(CalculateMaximumKeySize(fields) + fields.DataOffset());
    tree_.SetIndexKeyType(spec.KeyType);
    tree_.SetDBStringCompare(DBASCIICompareStrings);
    tree_.ConnectToIFace(io_, spec.PageSize, root_, depth_);
    if (create) tree_.CreateTree();
    tree_.Open();
  }

  TBTree& Tree() { return tree_; }
  TBaseIOInterface& IO() { return *io_; }
  const TIndexSpec& Spec() const { return spec_; }
  uint32_t& RootVar() { return root_; }
  uint32_t& DepthVar() { return depth_; }

  host::Variant ValueOf(const TVal& v) const {
    return spec_.StringKey ? host::Variant(v.Str) : host::Variant(static_cast<int>(v.Int));
  }

  // The key entry for (key, recNo): the full key of the index, address recNo.
  void SetKey(const TVal& key, uint32_t recNo, TFieldComparisonValues markers = {}) {
    if (spec_.Unique)
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

  // Index order of two keys (the visible field only).
  int CompareKey(const TVal& a, const TVal& b) const {
    int c;
    if (spec_.StringKey) {
      c = a.Str < b.Str ? -1 : (a.Str > b.Str ? 1 : 0);  // byte order, as DBASCIICompareStrings
    } else {
      c = a.Int < b.Int ? -1 : (a.Int > b.Int ? 1 : 0);
    }
    return spec_.Descending ? -c : c;
  }
  // Index order of two records: key, then (non-unique) record number.
  int CompareRec(const TRec& a, const TRec& b) const {
    const int c = CompareKey(a.Key, b.Key);
    if (c != 0 || spec_.Unique) return c;
    return a.RecNo < b.RecNo ? -1 : (a.RecNo > b.RecNo ? 1 : 0);
  }

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
  TIndexSpec spec_;
  TMemoryIOInterface own_io_;
  TBaseIOInterface* io_;
  uint32_t root_ = 0;
  uint32_t depth_ = 0;
  TBTree tree_;
};

// Raw node access for damage tests.
inline uint32_t NodeU32(const uint8_t* node, int offset) {
  uint32_t v;
  std::memcpy(&v, node + offset, 4);
  return v;
}
inline void SetNodeU32(uint8_t* node, int offset, uint32_t v) {
  std::memcpy(node + offset, &v, 4);
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

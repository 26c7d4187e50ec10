#include "engine/storage/btree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/btree_check.h"
#include "engine/storage/btree_test_support.h"
#include "engine/storage/storage_test_support.h"
#include "engine/storage/tav_hash.h"
#include "engine/storage/tav_lists.h"
#include "host/rtl/exceptions.h"

namespace tav::test {
namespace {

constexpr TIndexSearchType kAllTypes[] = {stLT, stLE, stEQ, stGE, stGT, stLEG};

const char* TypeName(TIndexSearchType t) {
  static const char* names[] = {"stLT", "stLE", "stEQ", "stGE", "stGT", "stLEG"};
  return names[t];
}

// The index's records in key order, kept beside the tree.
class TModel {
 public:
  explicit TModel(const TTestIndex& ix) : ix_(ix), set_(TLess{&ix}) {}

  bool Contains(const TRec& r) const { return set_.count(r) != 0; }
  void Add(const TRec& r) { set_.insert(r); }
  void Remove(const TRec& r) { set_.erase(r); }
  size_t Size() const { return set_.size(); }
  std::vector<TRec> Sorted() const { return std::vector<TRec>(set_.begin(), set_.end()); }
  const TTestIndex& Index() const { return ix_; }

 private:
  struct TLess {
    const TTestIndex* ix;
    bool operator()(const TRec& a, const TRec& b) const { return ix->CompareRec(a, b) < 0; }
  };
  const TTestIndex& ix_;
  std::set<TRec, TLess> set_;
};

// A probe: the key searched for and how it compares with a record.
struct TProbe {
  TVal Key;
  bool Limited = false;  // compare the visible field only
  uint32_t RecNo = 0;    // the record number part of a full key (non-unique)
};

int ProbeOrder(const TTestIndex& ix, const TProbe& p, const TRec& r) {
  const int c = ix.CompareKey(p.Key, r.Key);
  if (c != 0 || p.Limited || ix.Spec().Unique) return c;
  return p.RecNo < r.RecNo ? -1 : (p.RecNo > r.RecNo ? 1 : 0);
}

// The position the search should land on, or -1 when it finds nothing.
int ExpectedIndex(const TTestIndex& ix, const std::vector<TRec>& sorted, TIndexSearchType t,
                  const TProbe& p) {
  const auto lower = std::partition_point(sorted.begin(), sorted.end(), [&](const TRec& r) {
    return ProbeOrder(ix, p, r) > 0;
  });
  const auto upper = std::partition_point(sorted.begin(), sorted.end(), [&](const TRec& r) {
    return ProbeOrder(ix, p, r) >= 0;
  });
  const int lo = static_cast<int>(lower - sorted.begin());
  const int up = static_cast<int>(upper - sorted.begin());
  const int n = static_cast<int>(sorted.size());
  switch (t) {
    case stEQ:
      return lo < n && ProbeOrder(ix, p, sorted[static_cast<size_t>(lo)]) == 0 ? lo : -1;
    case stGE:
      return lo < n ? lo : -1;
    case stGT:
      return up < n ? up : -1;
    case stLE:
      return up - 1;
    case stLT:
      return lo - 1;
    case stLEG:
      return lo < n ? lo : n - 1;
  }
  return -1;
}

// Searches as the probe says and compares the landing with the model.
void ExpectSearch(TTestIndex& ix, const std::vector<TRec>& sorted, TIndexSearchType t,
                  const TProbe& p, const std::string& what) {
  TSearchModifier limited;
  limited.SetLimitedSearch(true);
  if (p.Limited)
    ix.SetPrefixKey(p.Key);
  else
    ix.SetKey(p.Key, p.RecNo);
  const int r = ix.Tree().IndexSearch(t, p.Limited ? &limited : nullptr);
  const int want = ExpectedIndex(ix, sorted, t, p);
  const std::string where = what + " " + TypeName(t) + (p.Limited ? " limited" : " full") +
                            " key=" + (ix.Spec().StringKey ? p.Key.Str : std::to_string(p.Key.Int)) +
                            " recno=" + std::to_string(p.RecNo);
  if (want < 0) {
    EXPECT_NE(r, 0) << where;
    return;
  }
  ASSERT_EQ(r, 0) << where;
  EXPECT_EQ(ix.Tree().GetRecAddr(), sorted[static_cast<size_t>(want)].RecNo) << where;
  EXPECT_EQ(ix.Tree().GetRecordNo(), want + 1) << where;
}

// After a successful search: the listing from the cursor against the model.
void ExpectListing(TTestIndex& ix, const std::vector<TRec>& sorted, TIndexSearchType t,
                   const TProbe& p, int at, uint32_t stopAddress, const std::string& what) {
  TCompoundList list;
  list.Add(999999, 999999);  // a listing appends
  bool done = true;
  const int kfc = p.Limited ? 1 : 0;
  const uint8_t* key = ix.Tree().KeyBuf();
  ix.Tree().ListMatchingRecords(key, kfc, stopAddress, t, true, list, done);
  std::vector<std::pair<uint32_t, uint32_t>> want;
  const bool backwards = t == stLT || t == stLE;
  bool ended = false;
  if (backwards) {
    for (int i = at; i >= 0; --i) {
      want.emplace_back(sorted[static_cast<size_t>(i)].RecNo, static_cast<uint32_t>(i + 1));
      if (sorted[static_cast<size_t>(i)].RecNo == stopAddress) {
        ended = true;
        break;
      }
    }
    std::reverse(want.begin(), want.end());
  } else {
    for (size_t i = static_cast<size_t>(at); i < sorted.size(); ++i) {
      if (t == stEQ && ProbeOrder(ix, p, sorted[i]) != 0) {
        ended = true;
        break;
      }
      want.emplace_back(sorted[i].RecNo, static_cast<uint32_t>(i + 1));
      if (sorted[i].RecNo == stopAddress) {
        ended = true;
        break;
      }
    }
  }
  ASSERT_EQ(list.Count(), static_cast<int>(want.size()) + 1) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(list.List1()[i + 1], want[i].first) << what << " item " << i;
    EXPECT_EQ(list.List2()[i + 1], want[i].second) << what << " item " << i;
  }
  EXPECT_EQ(done, ended) << what;
}

// Everything the tree can say about its contents, against the model.
void VerifyAll(TTestIndex& ix, const TModel& model, uint32_t root, const std::string& what) {
  TBTree& tree = ix.Tree();
  const std::vector<TRec> sorted = model.Sorted();
  const TTreeCheckResult check = ix.Check();
  ASSERT_TRUE(check.Ok()) << what << ": " << check.Error;
  EXPECT_EQ(tree.Root(), root) << what << ": the root block moved";
  if (auto* mem = dynamic_cast<TMemoryIOInterface*>(&ix.IO())) {
    EXPECT_EQ(static_cast<uint32_t>(mem->BlockCount()), check.Nodes) << what << ": blocks leaked";
  }
  ASSERT_EQ(check.Addresses.size(), sorted.size()) << what;
  for (size_t i = 0; i < sorted.size(); ++i)
    ASSERT_EQ(check.Addresses[i], sorted[i].RecNo) << what << " at " << i;
  EXPECT_EQ(tree.GetRecordCount(), static_cast<int32_t>(sorted.size())) << what;

  // Forward and backward walks, with record numbers along the way.
  std::vector<uint32_t> forward, backward;
  if (ix.SearchFirst() == 0) {
    do {
      forward.push_back(tree.GetRecAddr());
      if (forward.size() % 37 == 1) {
        EXPECT_EQ(tree.GetRecordNo(), static_cast<int32_t>(forward.size())) << what;
      }
    } while (tree.NextRecord() && forward.size() <= sorted.size());
  }
  if (ix.SearchLast() == 0) {
    do {
      backward.push_back(tree.GetRecAddr());
    } while (tree.PriorRecord() && backward.size() <= sorted.size());
  }
  std::reverse(backward.begin(), backward.end());
  ASSERT_EQ(forward.size(), sorted.size()) << what;
  ASSERT_EQ(backward.size(), sorted.size()) << what;
  for (size_t i = 0; i < sorted.size(); ++i) {
    EXPECT_EQ(forward[i], sorted[i].RecNo) << what << " forward " << i;
    EXPECT_EQ(backward[i], sorted[i].RecNo) << what << " backward " << i;
  }

  // Positioning by number.
  if (!sorted.empty()) {
    const int n = static_cast<int>(sorted.size());
    for (int k : {1, 2, n / 3, n / 2, n - 1, n}) {
      if (k < 1 || k > n) continue;
      EXPECT_EQ(tree.GetAddrOfRecNo(k), sorted[static_cast<size_t>(k - 1)].RecNo) << what << " #" << k;
    }
    EXPECT_EQ(tree.GetAddrOfRecNo(0), sorted.front().RecNo) << what;
    EXPECT_EQ(tree.GetAddrOfRecNo(n + 5), sorted.back().RecNo) << what;
  } else {
    EXPECT_EQ(tree.GetAddrOfRecNo(1), 0u) << what;
  }
}

// Key generation for the randomised runs.
class TKeys {
 public:
  TKeys(const TIndexSpec& spec, uint32_t seed) : spec_(spec), rng_(seed) {
    for (int i = 0; i < 30; ++i) pool_.push_back(RandomString(1 + i % 7));
  }

  TVal Next() {
    TVal v;
    if (spec_.StringKey) {
      v.Str = spec_.Unique ? RandomString(1 + Rand(8)) : pool_[static_cast<size_t>(Rand(30))];
    } else if (spec_.Unique) {
      const int pick = Rand(200);
      v.Int = pick == 0 ? INT_MIN + Rand(3) : pick == 1 ? INT_MAX - Rand(3) : Rand(200001) - 100000;
    } else {
      v.Int = Rand(41);
    }
    return v;
  }

  // Probe keys: the domain's values and values beyond both of its ends.
  TVal Probe() {
    const int pick = Rand(10);
    TVal v;
    if (pick == 0) {
      if (spec_.StringKey) v.Str = "";
      else v.Int = spec_.Unique ? INT_MIN : -5;
      return v;
    }
    if (pick == 1) {
      if (spec_.StringKey) v.Str = "zzzz";
      else v.Int = spec_.Unique ? INT_MAX : 46;
      return v;
    }
    return Next();
  }

  int Rand(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  std::mt19937& Rng() { return rng_; }

 private:
  std::string RandomString(int len) {
    std::string s;
    for (int i = 0; i < len; ++i) s += static_cast<char>('a' + Rand(5));
    return s;
  }

  TIndexSpec spec_;
  std::mt19937 rng_;
  std::vector<std::string> pool_;
};

void SearchProbes(TTestIndex& ix, const TModel& model, TKeys& keys, int count,
                  const std::string& what) {
  const std::vector<TRec> sorted = model.Sorted();
  for (int i = 0; i < count; ++i) {
    TProbe p;
    p.Key = keys.Probe();
    p.Limited = keys.Rand(2) == 0;
    // A full key's record number: one that exists for the key, or around it.
    p.RecNo = sorted.empty() ? 1 : sorted[static_cast<size_t>(keys.Rand(static_cast<int>(sorted.size())))].RecNo;
    if (keys.Rand(4) == 0) p.RecNo += static_cast<uint32_t>(keys.Rand(3)) - 1;
    for (TIndexSearchType t : kAllTypes) {
      ExpectSearch(ix, sorted, t, p, what);
      if (::testing::Test::HasFatalFailure()) return;
      if (i % 8 == 0) {
        const int at = ExpectedIndex(ix, sorted, t, p);
        if (at >= 0) {
          const uint32_t stop = keys.Rand(3) == 0 ? sorted[static_cast<size_t>(keys.Rand(static_cast<int>(sorted.size())))].RecNo : 0;
          ExpectListing(ix, sorted, t, p, at, stop, what + " listing " + TypeName(t));
        }
      }
    }
  }
}

// Inserts and deletes at random (growing, then shrinking to nothing) against
// the model, with searches and the invariant checked along the way.
void RunRandom(const TIndexSpec& spec, int operations, uint32_t seed) {
  TTestIndex ix(spec);
  TModel model(ix);
  TKeys keys(spec, seed);
  const uint32_t root = ix.Tree().Root();
  std::vector<TRec> live;
  uint32_t nextRecNo = 1;
  int maxDepth = 1;
  for (int op = 0; op < operations; ++op) {
    const bool growing = op < operations * 6 / 10;
    const int roll = keys.Rand(100);
    if (live.empty() || (growing ? roll < 68 : roll < 25)) {
      TRec r{keys.Next(), nextRecNo++};
      const bool exists = spec.Unique && model.Contains(r);
      ASSERT_EQ(ix.Insert(r.Key, r.RecNo), exists ? -1 : 0) << "insert at op " << op;
      if (!exists) {
        model.Add(r);
        live.push_back(r);
      }
    } else if (roll < 95 || !growing) {
      const size_t k = static_cast<size_t>(keys.Rand(static_cast<int>(live.size())));
      const TRec r = live[k];
      live[k] = live.back();
      live.pop_back();
      ASSERT_EQ(ix.Delete(r.Key, r.RecNo), 0) << "delete at op " << op;
      model.Remove(r);
      if (keys.Rand(10) == 0) {
        ASSERT_EQ(ix.Delete(r.Key, r.RecNo), -1) << "delete again at op " << op;
      }
    } else {
      SearchProbes(ix, model, keys, 2, "op " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
    }
    maxDepth = std::max<int>(maxDepth, static_cast<int>(ix.Tree().Depth()));
    if (op % 1500 == 1499) {
      VerifyAll(ix, model, root, "op " + std::to_string(op));
      SearchProbes(ix, model, keys, 20, "op " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  VerifyAll(ix, model, root, "after the run");
  EXPECT_GE(maxDepth, 3) << "the run should grow a tree of three levels at least";
  // Empty it in random order: merges all the way back to one empty leaf.
  std::shuffle(live.begin(), live.end(), keys.Rng());
  for (size_t i = 0; i < live.size(); ++i) {
    ASSERT_EQ(ix.Delete(live[i].Key, live[i].RecNo), 0);
    model.Remove(live[i]);
    if (i % 700 == 0) VerifyAll(ix, model, root, "emptying " + std::to_string(i));
    if (::testing::Test::HasFatalFailure()) return;
  }
  VerifyAll(ix, model, root, "empty");
  EXPECT_EQ(ix.Tree().Depth(), 1u);
  EXPECT_EQ(ix.Tree().GetRecordCount(), 0);
  EXPECT_NE(ix.SearchFirst(), 0);
}

struct TRandomCase {
  const char* Name;
  TIndexSpec Spec;
  int Operations;
};

class BTreeRandom : public ::testing::TestWithParam<TRandomCase> {};

TEST_P(BTreeRandom, AgreesWithModel) {
  const TRandomCase& c = GetParam();
  RunRandom(c.Spec, c.Operations, 12345u + static_cast<uint32_t>(c.Operations));
}

TIndexSpec Spec(bool str, bool unique, bool desc, TIndexKeyType type, uint32_t page) {
  TIndexSpec s;
  s.StringKey = str;
  s.Unique = unique;
  s.Descending = desc;
  s.KeyType = type;
  s.PageSize = page;
  s.StringSize = 10;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Indexes, BTreeRandom,
    ::testing::Values(TRandomCase{"IntUnique", Spec(false, true, false, ikFixed, 256), 40000},
                      TRandomCase{"IntDuplicates", Spec(false, false, false, ikFixed, 256), 40000},
                      TRandomCase{"IntDuplicatesDescending", Spec(false, false, true, ikMinStringLen, 256), 30000},
                      TRandomCase{"StringUnique", Spec(true, true, false, ikMinStringLen, 512), 30000},
                      TRandomCase{"StringUniqueDescendingFixed", Spec(true, true, true, ikFixed, 512), 30000},
                      TRandomCase{"StringDuplicates", Spec(true, false, false, ikMinStringLen, 512), 30000},
                      TRandomCase{"StringDuplicatesDescending", Spec(true, false, true, ikMinStringLen, 1024), 30000}),
    [](const ::testing::TestParamInfo<TRandomCase>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace tav::test

#include "engine/storage/index/btree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/btree_test_support.h"
#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "os/testing/test_support.h"

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
  explicit TModel(const TIndexLayout& layout) : set_(TLess{layout}) {}

  bool Contains(const TRec& r) const { return set_.count(r) != 0; }
  void Add(const TRec& r) { set_.insert(r); }
  void Remove(const TRec& r) { set_.erase(r); }
  size_t Size() const { return set_.size(); }
  std::vector<TRec> Sorted() const { return std::vector<TRec>(set_.begin(), set_.end()); }

 private:
  struct TLess {
    TIndexLayout layout;
    bool operator()(const TRec& a, const TRec& b) const { return CompareRec(layout, a, b) < 0; }
  };
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
  if (c != 0 || p.Limited || ix.Layout().Unique) return c;
  return p.RecNo < r.RecNo ? -1 : (p.RecNo > r.RecNo ? 1 : 0);
}

// The position the search should land on, or -1 when it finds nothing.
int ExpectedIndex(const TTestIndex& ix, const std::vector<TRec>& sorted, TIndexSearchType t,
                  const TProbe& p) {
  const auto lower = std::partition_point(sorted.begin(), sorted.end(),
                                          [&](const TRec& r) { return ProbeOrder(ix, p, r) > 0; });
  const auto upper = std::partition_point(sorted.begin(), sorted.end(),
                                          [&](const TRec& r) { return ProbeOrder(ix, p, r) >= 0; });
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
  const std::string where =
      what + " " + TypeName(t) + (p.Limited ? " limited" : " full") +
      " key=" + (ix.Layout().StringKey ? p.Key.Str : std::to_string(p.Key.Int)) +
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
// Blocks the index's interface holds: all of them for a memory interface.
uint32_t LiveBlocks(TBaseIOInterface& io) {
  if (auto* mem = dynamic_cast<TMemoryIOInterface*>(&io))
    return static_cast<uint32_t>(mem->BlockCount());
  host::TList list;
  io.ListBlocks(list);
  return static_cast<uint32_t>(list.Count()) - FreeBlocks(io, io.FirstEmpty());
}

void VerifyAll(TTestIndex& ix, const TModel& model, uint32_t root, const std::string& what) {
  TBTree& tree = ix.Tree();
  const std::vector<TRec> sorted = model.Sorted();
  const TTreeCheckResult check = ix.Check();
  ASSERT_TRUE(check.Ok()) << what << ": " << check.Error;
  EXPECT_EQ(tree.Root(), root) << what << ": the root block moved";
  EXPECT_EQ(LiveBlocks(ix.IO()), check.Nodes) << what << ": blocks leaked";
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
      EXPECT_EQ(tree.GetAddrOfRecNo(k), sorted[static_cast<size_t>(k - 1)].RecNo)
          << what << " #" << k;
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
  TKeys(const TIndexLayout& layout, uint32_t seed) : layout_(layout), rng_(seed) {
    for (int i = 0; i < 30; ++i) pool_.push_back(RandomString(1 + i % 7));
  }

  TVal Next() {
    TVal v;
    if (layout_.StringKey) {
      v.Str = layout_.Unique ? RandomString(1 + Rand(8)) : pool_[static_cast<size_t>(Rand(30))];
    } else if (layout_.Unique) {
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
      if (layout_.StringKey)
        v.Str = "";
      else
        v.Int = layout_.Unique ? INT_MIN : -5;
      return v;
    }
    if (pick == 1) {
      if (layout_.StringKey)
        v.Str = "zzzz";
      else
        v.Int = layout_.Unique ? INT_MAX : 46;
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

  TIndexLayout layout_;
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
    p.RecNo = sorted.empty()
                  ? 1
                  : sorted[static_cast<size_t>(keys.Rand(static_cast<int>(sorted.size())))].RecNo;
    if (keys.Rand(4) == 0) p.RecNo += static_cast<uint32_t>(keys.Rand(3)) - 1;
    for (TIndexSearchType t : kAllTypes) {
      ExpectSearch(ix, sorted, t, p, what);
      if (::testing::Test::HasFatalFailure()) return;
      if (i % 8 == 0) {
        const int at = ExpectedIndex(ix, sorted, t, p);
        if (at >= 0) {
          const uint32_t stop =
              keys.Rand(3) == 0
                  ? sorted[static_cast<size_t>(keys.Rand(static_cast<int>(sorted.size())))].RecNo
                  : 0;
          ExpectListing(ix, sorted, t, p, at, stop, what + " listing " + TypeName(t));
        }
      }
    }
  }
}

struct TRunState {
  std::vector<TRec> Live;  // for picking records to delete
  uint32_t NextRecNo = 1;
  int MaxDepth = 1;
};

// Operations [from, to) of a run of `total`: inserts and deletes at random,
// growing for the first 60 per cent, then shrinking, against the model, with
// searches and the invariant checked along the way.
void RandomOps(TTestIndex& ix, TModel& model, TKeys& keys, TRunState& st, int from, int to,
               int total, uint32_t root) {
  const TIndexLayout& layout = ix.Layout();
  for (int op = from; op < to; ++op) {
    const bool growing = op < total * 6 / 10;
    const int roll = keys.Rand(100);
    if (st.Live.empty() || (growing ? roll < 68 : roll < 25)) {
      TRec r{keys.Next(), st.NextRecNo++};
      const bool exists = layout.Unique && model.Contains(r);
      ASSERT_EQ(ix.Insert(r.Key, r.RecNo), exists ? -1 : 0) << "insert at op " << op;
      if (!exists) {
        model.Add(r);
        st.Live.push_back(r);
      }
    } else if (roll < 95 || !growing) {
      const size_t k = static_cast<size_t>(keys.Rand(static_cast<int>(st.Live.size())));
      const TRec r = st.Live[k];
      st.Live[k] = st.Live.back();
      st.Live.pop_back();
      ASSERT_EQ(ix.Delete(r.Key, r.RecNo), 0) << "delete at op " << op;
      model.Remove(r);
      if (keys.Rand(10) == 0) {
        ASSERT_EQ(ix.Delete(r.Key, r.RecNo), -1) << "delete again at op " << op;
      }
    } else {
      SearchProbes(ix, model, keys, 2, "op " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
    }
    st.MaxDepth = std::max<int>(st.MaxDepth, static_cast<int>(ix.Tree().Depth()));
    if (op % 1500 == 1499) {
      VerifyAll(ix, model, root, "op " + std::to_string(op));
      SearchProbes(ix, model, keys, 20, "op " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Deletes every record in random order: merges all the way back to one
// empty leaf.
void EmptyAtRandom(TTestIndex& ix, TModel& model, TKeys& keys, TRunState& st, uint32_t root) {
  std::shuffle(st.Live.begin(), st.Live.end(), keys.Rng());
  for (size_t i = 0; i < st.Live.size(); ++i) {
    ASSERT_EQ(ix.Delete(st.Live[i].Key, st.Live[i].RecNo), 0);
    model.Remove(st.Live[i]);
    if (i % 700 == 0) VerifyAll(ix, model, root, "emptying " + std::to_string(i));
    if (::testing::Test::HasFatalFailure()) return;
  }
  st.Live.clear();
  VerifyAll(ix, model, root, "empty");
  EXPECT_EQ(ix.Tree().Depth(), 1u);
  EXPECT_EQ(ix.Tree().GetRecordCount(), 0);
  EXPECT_NE(ix.SearchFirst(), 0);
}

void RunRandom(const TIndexLayout& layout, int operations, uint32_t seed) {
  TTestIndex ix(layout);
  TModel model(layout);
  TKeys keys(layout, seed);
  TRunState st;
  const uint32_t root = ix.Tree().Root();
  RandomOps(ix, model, keys, st, 0, operations, operations, root);
  if (::testing::Test::HasFatalFailure()) return;
  VerifyAll(ix, model, root, "after the run");
  EXPECT_GE(st.MaxDepth, 3) << "the run should grow a tree of three levels at least";
  EmptyAtRandom(ix, model, keys, st, root);
}

struct TRandomCase {
  const char* Name;
  TIndexLayout Layout;
  int Operations;
};

class BTreeRandom : public ::testing::TestWithParam<TRandomCase> {};

TEST_P(BTreeRandom, AgreesWithModel) {
  const TRandomCase& c = GetParam();
  RunRandom(c.Layout, c.Operations, 12345u + static_cast<uint32_t>(c.Operations));
}

TIndexLayout Layout(bool str, bool unique, bool desc, TIndexKeyType type, uint32_t page) {
  TIndexLayout s;
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
    ::testing::Values(
        TRandomCase{"IntUnique", Layout(false, true, false, ikFixed, 256), 40000},
        TRandomCase{"IntDuplicates", Layout(false, false, false, ikFixed, 256), 40000},
        TRandomCase{"IntDuplicatesDescending", Layout(false, false, true, ikMinStringLen, 256),
                    30000},
        TRandomCase{"StringUnique", Layout(true, true, false, ikMinStringLen, 512), 30000},
        TRandomCase{"StringUniqueDescendingFixed", Layout(true, true, true, ikFixed, 512), 30000},
        TRandomCase{"StringDuplicates", Layout(true, false, false, ikMinStringLen, 512), 30000},
        TRandomCase{"StringDuplicatesDescending", Layout(true, false, true, ikMinStringLen, 1024),
                    30000}),
    [](const ::testing::TestParamInfo<TRandomCase>& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Deletes that follow the search that found their entry (as a dataset deletes
// its current record): the delete takes the path the search left instead of
// descending again, so the path must be exactly the tree's. Every other
// record in key order first (each delete redistributes or merges against the
// same partner as the one before), then the rest in random order with the
// path left on the entry, on another entry, or made stale by a change or an
// invalidation, down to an empty tree; checked against the model and the
// tree's invariants along the way.

// Positions the path on r: a full-key search, or for duplicates a search on
// the visible field and steps along the run (across leaves) to r.
void PositionOn(TTestIndex& ix, const TRec& r, bool limited) {
  TBTree& tree = ix.Tree();
  if (!limited) {
    ix.SetKey(r.Key, r.RecNo);
    ASSERT_EQ(tree.IndexSearch(stEQ), 0);
  } else {
    ix.SetPrefixKey(r.Key);
    TSearchModifier m;
    m.SetLimitedSearch(true);
    ASSERT_EQ(tree.IndexSearch(stEQ, &m), 0);
    for (int guard = 0; tree.GetRecAddr() != r.RecNo; ++guard) {
      ASSERT_LT(guard, 100000);
      ASSERT_TRUE(tree.NextRecord());
    }
  }
  ASSERT_EQ(tree.GetRecAddr(), r.RecNo);
}

void RunSearchThenDelete(const TIndexLayout& layout, int records, uint32_t seed) {
  TTestIndex ix(layout);
  TModel model(layout);
  TKeys keys(layout, seed);
  const uint32_t root = ix.Tree().Root();
  uint32_t nextRecNo = 1;
  while (model.Size() < static_cast<size_t>(records)) {
    const TRec r{keys.Next(), nextRecNo++};
    if (layout.Unique && model.Contains(r)) continue;
    ASSERT_EQ(ix.Insert(r.Key, r.RecNo), 0);
    model.Add(r);
  }
  ASSERT_GE(ix.Tree().Depth(), 3u) << "the tree should have three levels at least";
  VerifyAll(ix, model, root, "filled");
  if (::testing::Test::HasFatalFailure()) return;

  // Every other record in key order.
  const std::vector<TRec> sorted = model.Sorted();
  for (size_t i = 0; i < sorted.size(); i += 2) {
    PositionOn(ix, sorted[i], !layout.Unique && i % 4 == 0);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(ix.Delete(sorted[i].Key, sorted[i].RecNo), 0) << "every other, at " << i;
    model.Remove(sorted[i]);
    if (i % 400 == 0) VerifyAll(ix, model, root, "every other, at " + std::to_string(i));
    if (::testing::Test::HasFatalFailure()) return;
  }
  VerifyAll(ix, model, root, "every other deleted");
  if (::testing::Test::HasFatalFailure()) return;

  // The rest, in random order, with the path in every state a delete may
  // find it in.
  std::vector<TRec> live = model.Sorted();
  std::shuffle(live.begin(), live.end(), keys.Rng());
  while (!live.empty()) {
    const TRec r = live.back();
    live.pop_back();
    const std::string what = "rest, " + std::to_string(live.size()) + " left";
    switch (keys.Rand(6)) {
      case 0:
      case 1:  // on the entry
        PositionOn(ix, r, !layout.Unique && keys.Rand(2) == 0);
        break;
      case 2:  // on another entry
        if (!live.empty()) {
          PositionOn(ix, live[static_cast<size_t>(keys.Rand(static_cast<int>(live.size())))],
                     false);
        }
        break;
      case 3: {  // on the entry, then the tree changes under the path
        PositionOn(ix, r, false);
        if (::testing::Test::HasFatalFailure()) return;
        const TRec extra{keys.Next(), nextRecNo++};
        if (!layout.Unique || !model.Contains(extra)) {
          ASSERT_EQ(ix.Insert(extra.Key, extra.RecNo), 0) << what;
          model.Add(extra);
          live.insert(live.begin(), extra);
        }
        break;
      }
      case 4:  // on the entry, then the held nodes are forgotten
        PositionOn(ix, r, false);
        ix.Tree().InvalidateInternalBuffers();
        break;
      default:  // no search before
        break;
    }
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(ix.Delete(r.Key, r.RecNo), 0) << what;
    model.Remove(r);
    // A second delete of the same key finds nothing, path or not.
    if (keys.Rand(8) == 0) {
      ASSERT_EQ(ix.Delete(r.Key, r.RecNo), -1) << what;
    }
    if (live.size() % 300 == 0) VerifyAll(ix, model, root, what);
    if (::testing::Test::HasFatalFailure()) return;
  }
  VerifyAll(ix, model, root, "empty");
  EXPECT_EQ(ix.Tree().Depth(), 1u);
  EXPECT_EQ(ix.Tree().GetRecordCount(), 0);
}

class BTreeSearchThenDelete : public ::testing::TestWithParam<TRandomCase> {};

TEST_P(BTreeSearchThenDelete, TakesThePathTheSearchLeft) {
  const TRandomCase& c = GetParam();
  RunSearchThenDelete(c.Layout, c.Operations, 777u + static_cast<uint32_t>(c.Operations));
}

INSTANTIATE_TEST_SUITE_P(
    Indexes, BTreeSearchThenDelete,
    ::testing::Values(
        TRandomCase{"IntUnique", Layout(false, true, false, ikFixed, 256), 3000},
        TRandomCase{"IntDuplicates", Layout(false, false, false, ikFixed, 256), 3000},
        TRandomCase{"StringUniqueVariable", Layout(true, true, false, ikMinStringLen, 512), 2500},
        TRandomCase{"StringDuplicatesDescending",
                    Layout(true, false, true, ikMinStringLen, 512), 2500}),
    [](const ::testing::TestParamInfo<TRandomCase>& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// A database file: the randomised run survives closing and reopening it

TEST(BTreeDisk, RandomRunSurvivesCloseAndReopen) {
  TTestDatabase db;
  TIndexLayout layout;
  layout.StringKey = true;
  layout.Unique = false;
  layout.KeyType = ikFixed;
  layout.StringSize = 60;  // 77-byte entries: three levels within a few thousand records
  layout.PageSize = 4096;
  TModel model(layout);
  TKeys keys(layout, 99);
  TRunState st;
  uint32_t root = 0, depth = 0, firstEmpty = 0, rootBlock = 0;
  constexpr int kReopenRounds = 5;
  constexpr int kOpsPerRound = 1600;
  for (int s = 0; s <= kReopenRounds; ++s) {
    TDiskIOInterface io;
    SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096, firstEmpty);
    {
      TTestIndex ix(layout, &io, s == 0, root, depth);
      if (s == 0) rootBlock = ix.Tree().Root();
      const std::string what = "reopen round " + std::to_string(s);
      VerifyAll(ix, model, rootBlock, what + " opened");
      if (s < kReopenRounds) {
        RandomOps(ix, model, keys, st, s * kOpsPerRound, (s + 1) * kOpsPerRound,
                  kReopenRounds * kOpsPerRound, rootBlock);
      } else {
        EmptyAtRandom(ix, model, keys, st, rootBlock);
      }
      if (::testing::Test::HasFatalFailure()) return;
      VerifyAll(ix, model, rootBlock, what + " closing");
      root = ix.Tree().Root();
      depth = ix.Tree().Depth();
    }
    // What a table header keeps: the root, the depth and the free-chain head.
    firstEmpty = io.FirstEmpty();
    io.Close();
    db.Reopen();
  }
  EXPECT_GE(st.MaxDepth, 3);

  // Nodes are whole blocks: an interface of another block size is refused.
  TDiskIOInterface half;
  SetUpTableInterface(half, db.Mgr(), kUsageIndex, 2048);
  TBTree tree;
  EXPECT_THROW(tree.ConnectToIFace(&half, 4096, root, depth), host::EAssertionFailed);
  half.Close();
}

// "k" and six digits: keys in the order of their numbers.
TVal PaddedKey(int k) {
  TVal v;
  char text[16];
  std::snprintf(text, sizeof text, "k%06d", k);
  v.Str = text;
  return v;
}

// Runs of checked inserts inside transactions on a database file (the
// leaves the transaction changed before take later inserts where they are
// stored): each insert counts its record number and refuses a key the index
// holds, a commit stores the tree a plain insert of the same keys stores,
// byte for byte, and a rollback leaves the tree as the last commit stored it.
TEST(BTreeDisk, RunsOfInsertsStoreWhatPlainInsertsStore) {
  TIndexLayout layout;
  layout.StringKey = true;
  layout.StringSize = 60;  // 77-byte entries: three levels within a few thousand keys
  layout.PageSize = 4096;
  const auto key = PaddedKey;
  constexpr int kKeys = 2500;
  // The file after the work, with runs or without.
  auto stored = [&](bool runs) {
    TTestDatabase db;
    TDiskIOInterface io;
    SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
    std::vector<int> keys;
    {
      TTestIndex ix(layout, &io, true);
      TBTree& tree = ix.Tree();
      auto insert = [&](int k, uint32_t address) {
        ix.SetKey(key(k), address);
        const bool present = std::binary_search(keys.begin(), keys.end(), k);
        ASSERT_EQ(tree.FindInsertPosition(), present ? 0 : 1) << k;
        if (present) return;  // a unique index refuses it
        tree.SetKeyBufAddr(address);
        ASSERT_EQ(tree.InsertFoundKey(true), 0);
        keys.insert(std::lower_bound(keys.begin(), keys.end(), k), k);
        const auto rank = std::lower_bound(keys.begin(), keys.end(), k) - keys.begin() + 1;
        ASSERT_EQ(tree.InsertedRecordNo(), rank) << k;
      };
      {
        TDiskTransaction transaction(db.Mgr());
        tree.SetDeferInnerWrites(runs);
        for (int i = 0; i < kKeys; ++i) {
          insert((i * 7919) % kKeys, static_cast<uint32_t>(i + 1));
          if (i % 97 == 0) insert(keys[keys.size() / 2], 99999);  // present: refused
          if (::testing::Test::HasFatalFailure()) return std::string();
        }
        tree.SetDeferInnerWrites(false);
        transaction.Commit();
      }
      EXPECT_GE(tree.Depth(), 3u);
      const uint32_t committedDepth = tree.Depth();
      const std::vector<int> committed = keys;
      {
        TDiskTransaction transaction(db.Mgr());
        tree.SetDeferInnerWrites(runs);
        for (int i = 0; i < 800; ++i) {
          insert(kKeys + (i * 613) % 900, static_cast<uint32_t>(kKeys + i + 1));
          if (::testing::Test::HasFatalFailure()) return std::string();
        }
        tree.SetDeferInnerWrites(false);
        transaction.Rollback();
      }
      tree.InvalidateInternalBuffers();
      keys = committed;
      // The root block never moves; the depth is the committed one.
      TTestIndex reader(layout, &io, false, tree.Root(), committedDepth);
      const TTreeCheckResult check = reader.Check();
      EXPECT_TRUE(check.Ok()) << check.Error;
      EXPECT_EQ(check.Addresses.size(), keys.size());
      EXPECT_EQ(reader.Tree().GetRecordCount(true), static_cast<int32_t>(keys.size()));
      for (size_t r = 0; r < keys.size(); r += 11) {
        reader.SetKey(key(keys[r]), 0);
        EXPECT_EQ(reader.Tree().IndexSearch(stEQ), 0) << keys[r];
        EXPECT_EQ(reader.Tree().GetRecordNo(), static_cast<int32_t>(r + 1)) << keys[r];
      }
    }
    io.Close();
    db.Mgr().Close();
    return os::test::ReadWholeFile(db.Path());
  };
  const std::string plain = stored(false);
  ASSERT_FALSE(plain.empty());
  EXPECT_TRUE(stored(true) == plain);
}

// Counts the edits the tree makes in the stored bytes of its pages.
class TEditCountingIO : public TDiskIOInterface {
 public:
  uint8_t* EditBlockPart(uint32_t address, uint32_t offset, uint32_t size) override {
    uint8_t* at = TDiskIOInterface::EditBlockPart(address, offset, size);
    if (at) ++edits;
    return at;
  }
  int edits = 0;
};

// `stored(inTransaction, edits)` runs the same changes outside or inside a
// transaction and gives the file it leaves, counting the edits made in
// stored bytes: both files are the same byte for byte, outside a
// transaction nothing is edited in place, inside one more than `minimum`.
template <class TStored>
void ExpectTransactionStoresWhatPlainStores(TStored stored, int minimum) {
  int plainEdits = 0;
  int transactionEdits = 0;
  const std::string plain = stored(false, plainEdits);
  ASSERT_FALSE(plain.empty());
  EXPECT_TRUE(stored(true, transactionEdits) == plain);
  EXPECT_EQ(plainEdits, 0);
  EXPECT_GT(transactionEdits, minimum);
}

// Deletes inside a transaction change the leaves (and the neighbours they
// trade entries with) the transaction has changed before where they are
// stored; deletes outside one go through the nodes. Both store the same
// tree, byte for byte, and a rolled back run of deletes leaves the tree as
// the last commit stored it.
TEST(BTreeDisk, DeletesInATransactionStoreWhatPlainDeletesStore) {
  TIndexLayout layout;
  layout.StringKey = true;
  layout.Unique = false;  // entries end with the record number
  layout.StringSize = 60;
  layout.PageSize = 4096;
  const auto key = PaddedKey;
  constexpr int kKeys = 3000;
  // Scattered over the leaves, as a table's second index sees them.
  auto order = [](int i) { return (i * 7919) % kKeys; };
  auto stored = [&](bool inTransaction, int& edits) {
    TTestDatabase db;
    TEditCountingIO io;
    SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
    std::set<int> keys;
    {
      TTestIndex ix(layout, &io, true);
      TBTree& tree = ix.Tree();
      {
        TDiskTransaction transaction(db.Mgr());
        for (int k = 0; k < kKeys; ++k) {
          EXPECT_EQ(ix.Insert(key(k), static_cast<uint32_t>(k + 1)), 0);
          keys.insert(k);
        }
        transaction.Commit();
      }
      EXPECT_GE(tree.Depth(), 3u);
      auto remove = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
          const int k = order(i);
          if (i % 2 == 0) continue;  // every other key stays
          ASSERT_EQ(ix.Delete(key(k), static_cast<uint32_t>(k + 1)), 0) << k;
          keys.erase(k);
          // Absent entries are refused, the tree unchanged.
          if (i % 101 == 1) {
            ASSERT_EQ(ix.Delete(key(k), static_cast<uint32_t>(k + 1)), -1) << k;
            ASSERT_EQ(ix.Delete(key(order(i + 2)), 99999), -1) << k;
          }
        }
      };
      io.edits = 0;
      if (inTransaction) {
        TDiskTransaction transaction(db.Mgr());
        remove(0, kKeys);
        transaction.Commit();
      } else {
        remove(0, kKeys);
      }
      edits = io.edits;
      if (::testing::Test::HasFatalFailure()) return std::string();
      const std::set<int> committed = keys;
      const uint32_t committedDepth = tree.Depth();
      if (inTransaction) {
        // The kept half of the keys, deleted and rolled back.
        const uint32_t firstEmpty = io.FirstEmpty();
        {
          TDiskTransaction transaction(db.Mgr());
          for (int i = 0; i < kKeys; i += 4) {
            const int k = order(i);
            EXPECT_EQ(ix.Delete(key(k), static_cast<uint32_t>(k + 1)), 0) << k;
          }
          transaction.Rollback();
        }
        tree.InvalidateInternalBuffers();
        io.SetFirstEmpty(firstEmpty);
      }
      TTestIndex reader(layout, &io, false, tree.Root(), committedDepth);
      const TTreeCheckResult check = reader.Check();
      EXPECT_TRUE(check.Ok()) << check.Error;
      EXPECT_EQ(check.Addresses.size(), committed.size());
      EXPECT_EQ(reader.Tree().GetRecordCount(true), static_cast<int32_t>(committed.size()));
      int32_t rank = 0;
      for (const int k : committed) {
        ++rank;
        if (rank % 13 != 0) continue;
        reader.SetKey(key(k), static_cast<uint32_t>(k + 1));
        EXPECT_EQ(reader.Tree().IndexSearch(stEQ), 0) << k;
        EXPECT_EQ(reader.Tree().GetRecordNo(), rank) << k;
      }
    }
    io.Close();
    db.Mgr().Close();
    return os::test::ReadWholeFile(db.Path());
  };
  // Most of the deletes found their leaf changed already.
  ExpectTransactionStoresWhatPlainStores(stored, kKeys / 4);
}

// Inserts scattered over the leaves, checked (FindInsertPosition, then
// InsertFoundKey) and unchecked (InsertKey, as a table's second index
// takes its keys): inside a transaction a leaf whose page the transaction
// has changed before takes its entry where it is stored, and the leaf that
// splits, or whose page is new to the transaction, goes through its node;
// outside one every leaf goes through its node. Both store the same tree,
// byte for byte, each insert counting its record number when asked; a
// rolled back run leaves the tree as the last commit stored it.
TEST(BTreeDisk, InsertsInATransactionStoreWhatPlainInsertsStore) {
  TIndexLayout layout;
  layout.StringKey = true;
  layout.Unique = false;  // entries end with the record number
  layout.StringSize = 60;
  layout.PageSize = 4096;
  constexpr int kKeys = 3000;
  auto order = [](int i) { return (i * 7919) % kKeys; };
  // Now and then a key below every key so far: it goes first in the
  // leftmost leaf, and the inner entries above that leaf take it.
  auto lowest = [](int i) {
    TVal v;
    char text[16];
    std::snprintf(text, sizeof text, "a%06d", 900000 - i);
    v.Str = text;
    return v;
  };
  auto stored = [&](bool inTransaction, int& edits) {
    TTestDatabase db;
    TEditCountingIO io;
    SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
    std::map<std::string, uint32_t> keys;  // key -> record address
    {
      TTestIndex ix(layout, &io, true);
      TBTree& tree = ix.Tree();
      auto add = [&](const TVal& v, uint32_t address, bool counted) {
        ix.SetKey(v, address);
        if (address % 3 == 0) {
          ASSERT_EQ(tree.FindInsertPosition(), 1) << v.Str;
          tree.SetKeyBufAddr(address);
          ASSERT_EQ(tree.InsertFoundKey(counted), 0) << v.Str;
        } else if (counted) {
          ASSERT_EQ(tree.InsertKey(), 0) << v.Str;
        } else {
          ASSERT_EQ(tree.InsertFoundKey(false), 0) << v.Str;
        }
        keys[v.Str] = address;
        const auto rank = std::distance(keys.begin(), keys.find(v.Str)) + 1;
        ASSERT_EQ(tree.InsertedRecordNo(), counted ? rank : 0) << v.Str;
      };
      auto insert = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
          const int k = order(i);
          add(PaddedKey(k), static_cast<uint32_t>(k + 1), i % 5 != 2);
          if (i % 7 == 3) add(lowest(i), static_cast<uint32_t>(kKeys + i + 1), i % 2 == 0);
          if (::testing::Test::HasFatalFailure()) return;
        }
      };
      // A few commits, so that later transactions find leaves of both
      // kinds: changed already and new to them.
      for (int part = 0; part < 3; ++part) {
        if (inTransaction) {
          TDiskTransaction transaction(db.Mgr());
          insert(part * kKeys / 3, (part + 1) * kKeys / 3);
          transaction.Commit();
        } else {
          insert(part * kKeys / 3, (part + 1) * kKeys / 3);
        }
        if (::testing::Test::HasFatalFailure()) return std::string();
        if (part == 0) io.edits = 0;  // the first run grows the tree from one leaf
      }
      edits = io.edits;
      EXPECT_GE(tree.Depth(), 3u);
      const uint32_t committedDepth = tree.Depth();
      if (inTransaction) {
        const uint32_t firstEmpty = io.FirstEmpty();
        {
          TDiskTransaction transaction(db.Mgr());
          for (int i = 0; i < 600; ++i) {
            ix.SetKey(i % 3 == 0 ? lowest(kKeys + i) : PaddedKey(2 * kKeys + (i * 613) % 900),
                      static_cast<uint32_t>(3 * kKeys + i));
            EXPECT_EQ(tree.InsertKey(), 0) << i;
          }
          transaction.Rollback();
        }
        tree.InvalidateInternalBuffers();
        io.SetFirstEmpty(firstEmpty);
      }
      TTestIndex reader(layout, &io, false, tree.Root(), committedDepth);
      const TTreeCheckResult check = reader.Check();
      EXPECT_TRUE(check.Ok()) << check.Error;
      EXPECT_EQ(check.Addresses.size(), keys.size());
      EXPECT_EQ(reader.Tree().GetRecordCount(true), static_cast<int32_t>(keys.size()));
      int32_t rank = 0;
      for (const auto& [text, address] : keys) {
        ++rank;
        if (rank % 13 != 0) continue;
        TVal v;
        v.Str = text;
        reader.SetKey(v, address);
        EXPECT_EQ(reader.Tree().IndexSearch(stEQ), 0) << text;
        EXPECT_EQ(reader.Tree().GetRecordNo(), rank) << text;
        EXPECT_EQ(reader.Tree().GetRecAddr(), address) << text;
      }
    }
    io.Close();
    db.Mgr().Close();
    return os::test::ReadWholeFile(db.Path());
  };
  // Most of the inserts found their leaf changed already.
  ExpectTransactionStoresWhatPlainStores(stored, kKeys / 3);
}

// Runs of checked inserts that go in turn before every key and after every
// key, so that half of them land first in the leftmost leaf (the inner
// entries above it taking their key) while the other half keep the path
// moving between the two ends: on a string key, and on a descending
// integer key. A commit stores what plain inserts store, byte for byte; a
// rollback leaves the last commit's tree; every key is found at its rank.
TEST(BTreeDisk, RunsOfInsertsAtBothEndsStoreWhatPlainInsertsStore) {
  for (const bool strings : {true, false}) {
    SCOPED_TRACE(strings ? "string key" : "descending integer key");
    TIndexLayout layout;
    layout.StringKey = strings;
    layout.Descending = !strings;
    layout.StringSize = 60;
    layout.PageSize = 4096;
    // Key k of the insert order: an even one sorts before every key
    // inserted before it, an odd one after every key.
    auto key = [&](int k) {
      TVal v;
      if (strings) {
        char text[16];
        std::snprintf(text, sizeof text, "%c%06d", k % 2 == 0 ? 'a' : 'b',
                      k % 2 == 0 ? 900000 - k : k);
        v.Str = text;
      } else {
        v.Int = k % 2 == 0 ? k : -k;
      }
      return v;
    };
    // The rank of key k once keys [0, count) are in, count even.
    auto rank = [](int k, int count) { return k % 2 == 0 ? (count - k) / 2 : count / 2 + (k + 1) / 2; };
    constexpr int kKeys = 3000;
    auto stored = [&](bool runs) {
      TTestDatabase db;
      TDiskIOInterface io;
      SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
      uint32_t root = 0, depth = 0;
      {
        TTestIndex ix(layout, &io, true, root, depth);
        TBTree& tree = ix.Tree();
        int count = 0;
        auto insert = [&](int k) {
          ix.SetKey(key(k), static_cast<uint32_t>(k + 1));
          ASSERT_EQ(tree.FindInsertPosition(), 1) << k;
          tree.SetKeyBufAddr(static_cast<uint32_t>(k + 1));
          ASSERT_EQ(tree.InsertFoundKey(true), 0);
          ++count;
          ASSERT_EQ(tree.InsertedRecordNo(), k % 2 == 0 ? 1 : count) << k;
        };
        for (int part = 0; part < 2; ++part) {
          TDiskTransaction transaction(db.Mgr());
          tree.SetDeferInnerWrites(runs);
          for (int k = part * kKeys / 2; k < (part + 1) * kKeys / 2; ++k) {
            insert(k);
            if (::testing::Test::HasFatalFailure()) return std::string();
          }
          tree.SetDeferInnerWrites(false);
          transaction.Commit();
        }
        EXPECT_GE(tree.Depth(), strings ? 3u : 2u);
        const uint32_t committedDepth = tree.Depth();
        {
          TDiskTransaction transaction(db.Mgr());
          tree.SetDeferInnerWrites(runs);
          for (int k = kKeys; k < kKeys + 700; ++k) {
            insert(k);
            if (::testing::Test::HasFatalFailure()) return std::string();
          }
          tree.SetDeferInnerWrites(false);
          transaction.Rollback();
        }
        tree.InvalidateInternalBuffers();
        // The root block never moves; the depth is the committed one.
        TTestIndex reader(layout, &io, false, tree.Root(), committedDepth);
        const TTreeCheckResult check = reader.Check();
        EXPECT_TRUE(check.Ok()) << check.Error;
        EXPECT_EQ(check.Addresses.size(), static_cast<size_t>(kKeys));
        EXPECT_EQ(reader.Tree().GetRecordCount(true), kKeys);
        for (int k = 0; k < kKeys; k += 13) {
          reader.SetKey(key(k), 0);
          EXPECT_EQ(reader.Tree().IndexSearch(stEQ), 0) << k;
          EXPECT_EQ(reader.Tree().GetRecordNo(), rank(k, kKeys)) << k;
          EXPECT_EQ(reader.Tree().GetRecAddr(), static_cast<uint32_t>(k + 1)) << k;
        }
      }
      io.Close();
      db.Mgr().Close();
      return os::test::ReadWholeFile(db.Path());
    };
    const std::string plain = stored(false);
    ASSERT_FALSE(plain.empty());
    EXPECT_TRUE(stored(true) == plain);
  }
}

// ---------------------------------------------------------------------------
// Every search type on an index with runs of duplicates that span leaves

struct TSearchCase {
  const char* Name;
  bool StringKey;
  bool Descending;
};

class BTreeSearchTypes : public ::testing::TestWithParam<TSearchCase> {};

TVal KeyFor(bool str, int k) {
  TVal v;
  if (str) {
    v.Str =
        "k" + std::string(k < 100 ? "0" : "") + std::string(k < 10 ? "0" : "") + std::to_string(k);
  } else {
    v.Int = k;
  }
  return v;
}

TEST_P(BTreeSearchTypes, LandWhereTheModelSays) {
  const TSearchCase& c = GetParam();
  TIndexLayout layout;
  layout.StringKey = c.StringKey;
  layout.Unique = false;
  layout.Descending = c.Descending;
  layout.KeyType = c.StringKey ? ikMinStringLen : ikFixed;
  layout.PageSize = 256;
  layout.StringSize = 8;
  TTestIndex ix(layout);
  TModel model(ix.Layout());
  uint32_t recNo = 1;
  // Runs of 1 to 23 records per key, inserted in shuffled order.
  std::vector<TRec> recs;
  for (int k = 10; k <= 100; k += 10)
    for (int i = 0; i < 1 + (k * 7) % 23; ++i)
      recs.push_back(TRec{KeyFor(c.StringKey, k), recNo++});
  std::shuffle(recs.begin(), recs.end(), std::mt19937(7));
  for (const TRec& r : recs) {
    ASSERT_EQ(ix.Insert(r.Key, r.RecNo), 0);
    model.Add(r);
  }
  ASSERT_GE(ix.Tree().Depth(), 2u);
  ASSERT_TRUE(ix.Check().Ok()) << ix.Check().Error;
  const std::vector<TRec> sorted = model.Sorted();
  for (int k : {5, 10, 15, 50, 55, 90, 100, 105}) {
    std::vector<TProbe> probes;
    TProbe limited;
    limited.Key = KeyFor(c.StringKey, k);
    limited.Limited = true;
    probes.push_back(limited);
    // Full keys: before, inside and after the run of k.
    for (uint32_t r : {0u, 1u, 60u, 120u, 2000000000u}) {
      TProbe full;
      full.Key = KeyFor(c.StringKey, k);
      full.RecNo = r;
      probes.push_back(full);
    }
    for (const TProbe& p : probes) {
      for (TIndexSearchType t : kAllTypes) {
        const std::string what = "probe " + std::to_string(k);
        ExpectSearch(ix, sorted, t, p, what);
        const int at = ExpectedIndex(ix, sorted, t, p);
        if (at >= 0) {
          ExpectSearch(ix, sorted, t, p, what);  // reposition for the listing
          ExpectListing(ix, sorted, t, p, at, 0, what + " listing " + TypeName(t));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Indexes, BTreeSearchTypes,
                         ::testing::Values(TSearchCase{"Integer", false, false},
                                           TSearchCase{"IntegerDescending", false, true},
                                           TSearchCase{"String", true, false}),
                         [](const ::testing::TestParamInfo<TSearchCase>& info) {
                           return std::string(info.param.Name);
                         });

// ---------------------------------------------------------------------------
// Shape changes and the ends of the key range

TIndexLayout SmallIntIndex() {
  TIndexLayout layout;
  layout.PageSize = 256;
  return layout;
}

TVal Int(int v) {
  TVal t;
  t.Int = v;
  return t;
}

// A tree keeps inner nodes it read before besides the ones on its path.
// Another connection's changes reach it only through
// InvalidateInternalBuffers: after that every search, count and record
// number must come from the blocks as they now are, none from a copy kept
// from before. Small pages give many inner nodes to keep.
TEST(BTree, KeptInnerNodesFollowAnotherConnectionsChanges) {
  const TIndexLayout layout = Layout(false, true, false, ikFixed, 256);
  TTestIndex a(layout);
  constexpr int kKeys = 1500;
  const auto key = Int;
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(a.Insert(key(2 * i), static_cast<uint32_t>(i + 1)), 0);
  ASSERT_GE(a.Tree().Depth(), 3u);
  // Keys from both ends in turn: every search turns to another subtree,
  // so the inner nodes a level leaves are kept and taken up again.
  std::vector<int> order;
  for (int lo = 0, hi = kKeys - 1; lo <= hi; ++lo, --hi) {
    order.push_back(lo);
    if (hi != lo) order.push_back(hi);
  }
  for (int i : order) {
    a.SetKey(key(2 * i), 0);
    ASSERT_EQ(a.Tree().IndexSearch(stEQ), 0) << "before, " << i;
    ASSERT_EQ(a.Tree().GetRecAddr(), static_cast<uint32_t>(i + 1)) << "before, " << i;
  }

  // The other connection deletes keys at the low end and inserts odd keys
  // in the middle: the counts of the inner entries above them change, and
  // nodes split and merge, while most inner blocks stay where they were.
  constexpr int kDeleted = 100, kFrom = kKeys / 2, kAdded = 200;
  TTestIndex b(layout, &a.IO(), false, a.Tree().Root(), a.Tree().Depth());
  for (int i = 0; i < kDeleted; ++i) ASSERT_EQ(b.Delete(key(2 * i), static_cast<uint32_t>(i + 1)), 0);
  for (int i = kFrom; i < kFrom + kAdded; ++i)
    ASSERT_EQ(b.Insert(key(2 * i + 1), static_cast<uint32_t>(kKeys + i + 1)), 0);
  a.RootVar() = b.Tree().Root();
  a.DepthVar() = b.Tree().Depth();
  a.Tree().InvalidateInternalBuffers();

  EXPECT_EQ(a.Tree().GetRecordCount(true), kKeys - kDeleted + kAdded);
  // The middle first: where the searches before ended, so where the kept
  // nodes are.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const int i = *it;
    a.SetKey(key(2 * i), 0);
    const int r = a.Tree().IndexSearch(stEQ);
    if (i < kDeleted) {
      ASSERT_NE(r, 0) << "deleted key " << i << " still found";
      continue;
    }
    ASSERT_EQ(r, 0) << "key " << i;
    ASSERT_EQ(a.Tree().GetRecAddr(), static_cast<uint32_t>(i + 1)) << i;
    // Before it: the even keys left below it and the odd keys added below it.
    const int before = (i - kDeleted) + std::clamp(i - kFrom, 0, kAdded);
    ASSERT_EQ(a.Tree().GetRecordNo(), before + 1) << "record number of " << i;
    if (i >= kFrom && i < kFrom + kAdded) {
      a.SetKey(key(2 * i + 1), 0);
      ASSERT_EQ(a.Tree().IndexSearch(stEQ), 0) << "added key " << i;
      ASSERT_EQ(a.Tree().GetRecAddr(), static_cast<uint32_t>(kKeys + i + 1)) << i;
    }
  }
  const TTreeCheckResult check = a.Check();
  EXPECT_TRUE(check.Ok()) << check.Error;
}

// A tree with more inner nodes than it keeps: searches all over it take
// kept nodes back and read others over kept ones, and deletes and inserts
// rewrite nodes that are kept (merge and redistribution partners, counts on
// the path). A kept copy missed when its block changed would give wrong
// counts, so record numbers are checked at every search.
TEST(BTree, AllOverATreeLargerThanItsKeptNodesRecordNumbersStayRight) {
  const TIndexLayout layout = Layout(false, true, false, ikFixed, 256);
  TTestIndex ix(layout);
  TBTree& tree = ix.Tree();
  constexpr int kKeys = 60000;
  const auto key = Int;
  std::mt19937 rng(99);
  std::vector<int> order(kKeys);
  for (int i = 0; i < kKeys; ++i) order[static_cast<size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (int i : order) ASSERT_EQ(ix.Insert(key(2 * i), static_cast<uint32_t>(i + 1)), 0);
  {
    const TTreeCheckResult check = ix.Check();
    ASSERT_TRUE(check.Ok()) << check.Error;
    const size_t inner = check.Nodes - LeafAddresses(tree).size();
    ASSERT_GT(inner, kHeldInnerNodes) << "the tree should have more inner nodes than it keeps";
  }
  // Live keys (i of key 2i, odd keys 2i+1 as -i-1), in key order.
  std::vector<int> live(static_cast<size_t>(kKeys));
  for (int i = 0; i < kKeys; ++i) live[static_cast<size_t>(i)] = i;
  auto keyOf = [](int v) { return v >= 0 ? 2 * v : 2 * (-v - 1) + 1; };
  auto inKeyOrder = [&](int a, int b) { return keyOf(a) < keyOf(b); };
  auto expectAt = [&](size_t at, const std::string& what) {
    const int v = live[at];
    ix.SetKey(key(keyOf(v)), 0);
    ASSERT_EQ(tree.IndexSearch(stEQ), 0) << what << ", key " << keyOf(v);
    ASSERT_EQ(tree.GetRecAddr(), static_cast<uint32_t>(v >= 0 ? v + 1 : kKeys + (-v - 1) + 1))
        << what << ", key " << keyOf(v);
    ASSERT_EQ(tree.GetRecordNo(), static_cast<int32_t>(at + 1)) << what << ", key " << keyOf(v);
  };
  auto scattered = [&](int searches, const std::string& what) {
    for (int n = 0; n < searches; ++n) {
      expectAt(static_cast<size_t>(rng() % live.size()), what);
      if (::testing::Test::HasFatalFailure()) return;
    }
  };
  scattered(20000, "before");
  if (::testing::Test::HasFatalFailure()) return;

  // A band deleted in random order, odd keys inserted in another, each step
  // followed by searches anywhere.
  std::vector<int> band;
  for (int i = kKeys / 4; i < kKeys / 2; ++i) band.push_back(i);
  std::shuffle(band.begin(), band.end(), rng);
  for (size_t n = 0; n < band.size(); ++n) {
    const int i = band[n];
    ASSERT_EQ(ix.Delete(key(2 * i), static_cast<uint32_t>(i + 1)), 0) << i;
    live.erase(std::lower_bound(live.begin(), live.end(), i, inKeyOrder));
    const int added = kKeys * 3 / 4 + static_cast<int>(n % (kKeys / 8));
    if (n < static_cast<size_t>(kKeys / 8)) {
      ASSERT_EQ(ix.Insert(key(2 * added + 1), static_cast<uint32_t>(kKeys + added + 1)), 0);
      const auto at = std::upper_bound(live.begin(), live.end(), -added - 1, inKeyOrder);
      live.insert(at, -added - 1);
    }
    if (n % 4 == 0) scattered(2, "after delete " + std::to_string(n));
    if (::testing::Test::HasFatalFailure()) return;
  }
  scattered(5000, "after");
  if (::testing::Test::HasFatalFailure()) return;
  const TTreeCheckResult check = ix.Check();
  ASSERT_TRUE(check.Ok()) << check.Error;
  EXPECT_EQ(tree.GetRecordCount(true), static_cast<int32_t>(live.size()));
}

TEST(BTree, RootSplitKeepsTheRootBlockAndLinksTheNewLeaves) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  const uint32_t root = tree.Root();
  int n = 0;
  while (tree.Depth() == 1) {
    ASSERT_EQ(ix.Insert(Int(n), static_cast<uint32_t>(n + 1)), 0);
    ++n;
  }
  EXPECT_EQ(tree.Root(), root);
  EXPECT_EQ(tree.Depth(), 2u);
  const uint8_t* top = ix.IO().ReadBlockByRef(root, tree.PageSize());
  EXPECT_EQ(NodeU32(top, 0), 0u) << "the root is an inner node now";
  const std::vector<uint32_t> leaves = LeafAddresses(tree);
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_NE(leaves[0], root) << "the old root's entries moved to a new block";
  EXPECT_EQ(GetKeyEntryAddress(top + 16), leaves[0]);
  const uint8_t* left = ix.IO().ReadBlockByRef(leaves[0], tree.PageSize());
  const uint8_t* right = ix.IO().ReadBlockByRef(leaves[1], tree.PageSize());
  EXPECT_EQ(NodeU32(left, 8), leaves[1]);
  EXPECT_EQ(NodeU32(left, 12), 0u);
  EXPECT_EQ(NodeU32(right, 12), leaves[0]);
  EXPECT_EQ(NodeU32(right, 8), 0u);
  const TTreeCheckResult check = ix.Check();
  ASSERT_TRUE(check.Ok()) << check.Error;
  EXPECT_EQ(check.Addresses.size(), static_cast<size_t>(n));
}

// The checked insert counts its record number only when asked: the count
// is the entry's rank in key order, across leaf and root splits, and an
// insert told not to count leaves 0 and the same tree.
TEST(BTree, CheckedInsertsCountTheirRecordNumberOnlyWhenAsked) {
  for (const bool countEach : {true, false}) {
    TTestIndex ix(SmallIntIndex());
    TBTree& tree = ix.Tree();
    std::vector<int> keys;
    for (int i = 0; i < 600; ++i) {
      const int key = (i * 7919) % 1000;  // scattered, no repeats
      ix.SetKey(Int(key), static_cast<uint32_t>(i + 1));
      ASSERT_EQ(tree.FindInsertPosition(), 1) << key;
      tree.SetKeyBufAddr(static_cast<uint32_t>(i + 1));
      const bool count = countEach || i % 2 == 0;
      ASSERT_EQ(tree.InsertFoundKey(count), 0);
      keys.insert(std::lower_bound(keys.begin(), keys.end(), key), key);
      const auto rank = std::lower_bound(keys.begin(), keys.end(), key) - keys.begin() + 1;
      EXPECT_EQ(tree.InsertedRecordNo(), count ? rank : 0) << "key " << key;
    }
    EXPECT_GE(tree.Depth(), 3u);
    const TTreeCheckResult check = ix.Check();
    ASSERT_TRUE(check.Ok()) << check.Error;
    EXPECT_EQ(check.Addresses.size(), keys.size());
    // Without a checked place the insert searches first, and counts alike.
    ix.SetKey(Int(1000), 9999);
    ASSERT_EQ(tree.InsertFoundKey(false), 0);
    EXPECT_EQ(tree.InsertedRecordNo(), 0);
    ix.SetKey(Int(-1), 9998);
    ASSERT_EQ(tree.InsertFoundKey(true), 0);
    EXPECT_EQ(tree.InsertedRecordNo(), 1);
    EXPECT_EQ(tree.GetRecordCount(true), 602);
  }
}

// Integer keys, some without a value, in unique and duplicate indexes,
// ascending and descending: an entry without a value sorts before every
// value (after them, descending), every insert counts its rank in that
// order, and every stored key is found at its rank, through a tree of
// several levels.
TEST(BTree, IntegerKeysWithoutAValueTakeTheirPlaceInKeyOrder) {
  struct TKey {
    bool Has;
    int Value;
    uint32_t RecNo;
  };
  for (const bool unique : {true, false}) {
    for (const bool descending : {false, true}) {
      TIndexLayout layout = SmallIntIndex();
      layout.Unique = unique;
      layout.Descending = descending;
      TTestIndex ix(layout);
      TBTree& tree = ix.Tree();
      auto before = [&](const TKey& a, const TKey& b) {
        if (a.Has != b.Has) return descending ? a.Has : b.Has;
        if (a.Has && a.Value != b.Value) return descending ? a.Value > b.Value : a.Value < b.Value;
        return !unique && a.RecNo < b.RecNo;
      };
      auto load = [&](const TKey& k) {
        const host::Variant v = k.Has ? host::Variant(k.Value) : host::Null();
        if (unique)
          tree.ConstructKeyBufFromVariants(v);
        else
          tree.ConstructKeyBufFromVariants(
              host::VarArrayOf({v, host::Variant(static_cast<int>(k.RecNo))}));
        tree.SetKeyBufAddr(k.RecNo);
      };
      const std::string what =
          std::string(unique ? "unique" : "duplicates") + (descending ? " descending" : "");
      std::vector<TKey> sorted;
      for (int i = 0; i < 500; ++i) {
        // Unique: scattered values, negative ones too, and one key without
        // a value; duplicates: runs of 40 values, every ninth without one.
        const TKey k{unique ? i != 250 : i % 9 != 0,
                     unique ? (i * 7919) % 1000 - 500 : (i * 31) % 40 - 20,
                     static_cast<uint32_t>(i + 1)};
        load(k);
        ASSERT_EQ(tree.FindInsertPosition(), 1) << what << " " << i;
        ASSERT_EQ(tree.InsertFoundKey(true), 0) << what;
        const auto at = std::lower_bound(sorted.begin(), sorted.end(), k, before);
        EXPECT_EQ(tree.InsertedRecordNo(), at - sorted.begin() + 1) << what << " " << i;
        sorted.insert(at, k);
      }
      EXPECT_GE(tree.Depth(), 3u) << what;
      const TTreeCheckResult check = ix.Check();
      ASSERT_TRUE(check.Ok()) << what << ": " << check.Error;
      for (size_t r = 0; r < sorted.size(); ++r) {
        load(sorted[r]);
        ASSERT_EQ(tree.IndexSearch(stEQ), 0) << what << " rank " << r;
        EXPECT_EQ(tree.GetRecAddr(), sorted[r].RecNo) << what << " rank " << r;
        EXPECT_EQ(tree.GetRecordNo(), static_cast<int32_t>(r + 1)) << what << " rank " << r;
      }
    }
  }
}

// Inserts that leave the changes of the inner nodes in memory: whatever
// the tree is asked meanwhile answers from them, and what storage holds once
// the setting goes off (or the tree is invalidated, counted afresh or
// emptied) is the whole tree, as a second reader of the blocks sees it.
TEST(BTree, DeferredInnerWritesReachStorage) {
  enum TMidway { kNothing, kSearchAndDelete, kInvalidate, kCountAfresh, kPlainInserts };
  for (const TMidway midway : {kNothing, kSearchAndDelete, kInvalidate, kCountAfresh, kPlainInserts}) {
    SCOPED_TRACE("midway " + std::to_string(midway));
    TTestIndex ix(SmallIntIndex());
    TBTree& tree = ix.Tree();
    std::vector<int> keys;
    auto insert = [&](int key, uint32_t address) {
      ix.SetKey(Int(key), address);
      ASSERT_EQ(tree.FindInsertPosition(), 1) << key;
      tree.SetKeyBufAddr(address);
      ASSERT_EQ(tree.InsertFoundKey(true), 0);
      keys.insert(std::lower_bound(keys.begin(), keys.end(), key), key);
      const auto rank = std::lower_bound(keys.begin(), keys.end(), key) - keys.begin() + 1;
      ASSERT_EQ(tree.InsertedRecordNo(), rank) << "key " << key;
    };
    tree.SetDeferInnerWrites(true);
    // Scattered keys: the path changes subtree at every level, the root
    // and inner nodes split.
    for (int i = 0; i < 700; ++i) {
      insert((i * 7919) % 2000, static_cast<uint32_t>(i + 1));
      if (::testing::Test::HasFatalFailure()) return;
      if (i != 400) continue;
      ASSERT_GE(tree.Depth(), 3u);
      switch (midway) {
        case kNothing:
          break;
        case kSearchAndDelete: {
          const int key = keys[keys.size() / 2];
          ix.SetKey(Int(key), 0);
          ASSERT_EQ(tree.IndexSearch(stEQ), 0);
          EXPECT_EQ(tree.GetRecordNo(), static_cast<int32_t>(keys.size() / 2 + 1));
          ASSERT_EQ(ix.Delete(Int(key), tree.GetRecAddr()), 0);
          keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2));
          break;
        }
        case kInvalidate:
          tree.InvalidateInternalBuffers();
          break;
        case kCountAfresh:
          EXPECT_EQ(tree.GetRecordCount(true), static_cast<int32_t>(keys.size()));
          break;
        case kPlainInserts:
          // Inserts that search for themselves, beside equal keys or not.
          for (int k = 2001; k < 2041; ++k) {
            ix.SetKey(Int(k), static_cast<uint32_t>(5000 + k));
            ASSERT_EQ(tree.InsertKey(), 0);
            keys.push_back(k);
          }
          break;
      }
    }
    tree.SetDeferInnerWrites(false);
    // Another tree on the same blocks reads everything from storage.
    TTestIndex reader(SmallIntIndex(), &ix.IO(), false, tree.Root(), tree.Depth());
    const TTreeCheckResult check = reader.Check();
    ASSERT_TRUE(check.Ok()) << check.Error;
    EXPECT_EQ(check.Addresses.size(), keys.size());
    EXPECT_EQ(reader.Tree().GetRecordCount(true), static_cast<int32_t>(keys.size()));
    for (size_t r = 0; r < keys.size(); r += 7) {
      reader.SetKey(Int(keys[r]), 0);
      ASSERT_EQ(reader.Tree().IndexSearch(stEQ), 0) << keys[r];
      EXPECT_EQ(reader.Tree().GetRecordNo(), static_cast<int32_t>(r + 1)) << "record number of " << keys[r];
    }
  }
}

TEST(BTree, DeletingDownToOneChildCollapsesIntoTheRoot) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  const uint32_t root = tree.Root();
  for (int i = 0; i < 400; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
  ASSERT_GE(tree.Depth(), 3u);
  uint32_t depth = tree.Depth();
  for (int i = 399; i >= 0; --i) {
    ASSERT_EQ(ix.Delete(Int(i), static_cast<uint32_t>(i + 1)), 0);
    EXPECT_EQ(tree.Root(), root);
    EXPECT_LE(tree.Depth(), depth);
    depth = tree.Depth();
    if (i % 50 == 0) {
      const TTreeCheckResult check = ix.Check();
      ASSERT_TRUE(check.Ok()) << i << ": " << check.Error;
    }
  }
  EXPECT_EQ(tree.Depth(), 1u);
  EXPECT_EQ(static_cast<TMemoryIOInterface&>(ix.IO()).BlockCount(), 1);
  EXPECT_EQ(tree.GetRecordCount(), 0);
}

TEST(BTree, EndsOfTheKeyRange) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  EXPECT_NE(ix.SearchFirst(), 0) << "an empty index finds nothing";
  ix.SetKey(Int(5), 0);
  for (TIndexSearchType t : kAllTypes) EXPECT_NE(tree.IndexSearch(t), 0) << TypeName(t);

  ASSERT_EQ(ix.Insert(Int(10), 1), 0);
  ix.SetKey(Int(20), 0);
  ASSERT_EQ(tree.IndexSearch(stLEG), 0) << "one record: nearest above the greatest is the greatest";
  EXPECT_EQ(tree.GetRecAddr(), 1u);

  // Record i holds key 10 * i.
  for (int i = 2; i <= 300; ++i) ASSERT_EQ(ix.Insert(Int(i * 10), static_cast<uint32_t>(i)), 0);
  ASSERT_GE(tree.Depth(), 2u);
  ix.SetKey(Int(5000), 0);
  ASSERT_EQ(tree.IndexSearch(stLEG), 0);
  EXPECT_EQ(tree.GetRecAddr(), 300u) << "stLEG above the greatest lands on the greatest";
  EXPECT_EQ(tree.GetRecordNo(), 300);
  ix.SetKey(Int(3000), 0);
  EXPECT_NE(tree.IndexSearch(stGT), 0) << "nothing above the greatest";
  ix.SetKey(Int(5000), 0);
  EXPECT_NE(tree.IndexSearch(stGE), 0);
  ix.SetKey(Int(-1), 0);
  EXPECT_NE(tree.IndexSearch(stLE), 0) << "nothing at or below a key below the least";
  EXPECT_NE(tree.IndexSearch(stLT), 0);
  ix.SetKey(Int(10), 0);
  EXPECT_NE(tree.IndexSearch(stLT), 0);
  ASSERT_EQ(tree.IndexSearch(stLE), 0);
  EXPECT_EQ(tree.GetRecordNo(), 1);

  EXPECT_EQ(tree.GetAddrOfRecNo(1), 1u) << "the first record in key order";
  ASSERT_EQ(ix.SearchFirst(), 0);
  EXPECT_EQ(tree.GetRecordNo(), 1);
  EXPECT_EQ(tree.GetRecAddr(), 1u);
  EXPECT_FALSE(tree.PriorRecord());
  EXPECT_EQ(tree.GetRecAddr(), 1u) << "a failed step leaves the cursor";
  ASSERT_EQ(ix.SearchLast(), 0);
  EXPECT_FALSE(tree.NextRecord());
  EXPECT_EQ(tree.GetRecAddr(), 300u);
}

TEST(BTree, BackwardListingsReversedComeInAscendingOrder) {
  for (int n = 0; n <= 4; ++n) {
    TTestIndex ix(SmallIntIndex());
    TBTree& tree = ix.Tree();
    for (int i = 1; i <= n; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(100 + i)), 0);
    ix.SetKey(Int(n), 0);
    const int r = tree.IndexSearch(stLE);
    EXPECT_EQ(r == 0, n > 0);
    TCompoundList list;
    bool done = true;
    tree.ListMatchingRecords(nullptr, 0, 0, stLE, true, list, done);
    ASSERT_EQ(list.Count(), n);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(list.List1()[static_cast<size_t>(i)], static_cast<uint32_t>(101 + i)) << n;
      EXPECT_EQ(list.List2()[static_cast<size_t>(i)], static_cast<uint32_t>(1 + i)) << n;
    }
    EXPECT_FALSE(done);
  }
}

TEST(BTree, AFailedSearchListsNothingWithoutAKey) {
  // On the tree {10} each of these searches finds nothing, yet leaves the
  // cursor on the entry 10; a listing from there must not hand it out.
  const struct {
    TIndexSearchType Type;
    int Key;
  } kCases[] = {{stLE, 5}, {stLT, 10}, {stLT, 5}, {stEQ, 7}, {stGE, 15}, {stGT, 10}};
  for (const auto& c : kCases) {
    TTestIndex ix(SmallIntIndex());
    TBTree& tree = ix.Tree();
    ASSERT_EQ(ix.Insert(Int(10), 10), 0);
    ix.SetKey(Int(c.Key), 0);
    ASSERT_NE(tree.IndexSearch(c.Type), 0) << TypeName(c.Type) << " " << c.Key;
    for (const TIndexSearchType listing : {stLE, stGE, stEQ}) {
      TCompoundList list;
      bool done = true;
      tree.ListMatchingRecords(nullptr, 0, 0, listing, false, list, done);
      EXPECT_EQ(list.Count(), 0) << TypeName(c.Type) << " " << c.Key << " listed as "
                                 << TypeName(listing);
    }
  }
  // A step after the failed search puts the cursor on a real entry again.
  TTestIndex ix(SmallIntIndex());
  ASSERT_EQ(ix.Insert(Int(10), 10), 0);
  ASSERT_EQ(ix.Insert(Int(20), 20), 0);
  ix.SetKey(Int(15), 0);
  ASSERT_NE(ix.Tree().IndexSearch(stEQ), 0);
  ASSERT_TRUE(ix.Tree().PriorRecord());
  TCompoundList list;
  bool done = true;
  ix.Tree().ListMatchingRecords(nullptr, 0, 0, stGE, false, list, done);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.List1()[0], 10u);
  EXPECT_EQ(list.List1()[1], 20u);
}

TEST(BTree, ReadAheadListsAroundTheCursorWithRecordNumbers) {
  TIndexLayout layout;
  layout.PageSize = 4096;
  TTestIndex ix(layout);
  TBTree& tree = ix.Tree();
  for (int i = 1; i <= 50; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(1000 + i)), 0);
  auto listed = [&](TReadAheadDirection d, int count) {
    TReadAheadBuffer buffer;
    buffer.Open(16, static_cast<uint32_t>(tree.MaximumKeySize() + 1), 1000);
    ix.SetKey(Int(20), 0);
    EXPECT_EQ(tree.IndexSearch(stEQ), 0);
    tree.ListReadAheadRecords(d, count, buffer);
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (int i = 0; i < buffer.Count(); ++i) {
      out.emplace_back(buffer.Items(i)->RecAddr(), buffer.Items(i)->RecNo());
      EXPECT_EQ(GetKeyEntryAddress(buffer.Items(i)->KeyBuffer()), buffer.Items(i)->RecAddr());
    }
    EXPECT_EQ(tree.GetRecAddr(), 1020u) << "the cursor stays";
    return out;
  };
  using V = std::vector<std::pair<uint32_t, int32_t>>;
  EXPECT_EQ(listed(rdForwards, 3), (V{{1020, 20}, {1021, 21}, {1022, 22}}));
  EXPECT_EQ(listed(rdBackwards, 3), (V{{1018, 18}, {1019, 19}, {1020, 20}}));
  EXPECT_EQ(listed(rdCenter, 4), (V{{1018, 18}, {1019, 19}, {1020, 20}, {1021, 21}}));
}

TEST(BTree, ReadAheadWithABoundListsNothingPastIt) {
  TIndexLayout layout;
  layout.PageSize = 4096;
  TTestIndex ix(layout);
  TBTree& tree = ix.Tree();
  for (int i = 1; i <= 50; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(1000 + i)), 0);
  auto listed = [&](TReadAheadDirection d, int count, int boundKey) {
    ix.SetKey(Int(boundKey), 0);
    const std::vector<uint8_t> key(tree.KeyBuf(), tree.KeyBuf() + tree.MaximumKeySize() + 1);
    const TBTree::TListBound bound{key.data(), {}};
    TReadAheadBuffer buffer;
    buffer.Open(16, static_cast<uint32_t>(tree.MaximumKeySize() + 1), 1000);
    ix.SetKey(Int(20), 0);
    EXPECT_EQ(tree.IndexSearch(stEQ), 0);
    tree.ListReadAheadRecords(d, count, buffer, &bound);
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (int i = 0; i < buffer.Count(); ++i)
      out.emplace_back(buffer.Items(i)->RecAddr(), buffer.Items(i)->RecNo());
    EXPECT_EQ(tree.GetRecAddr(), 1020u) << "the cursor stays";
    return out;
  };
  using V = std::vector<std::pair<uint32_t, int32_t>>;
  // Forwards the bound is an upper end, kept inclusive.
  EXPECT_EQ(listed(rdForwards, 10, 23), (V{{1020, 20}, {1021, 21}, {1022, 22}, {1023, 23}}));
  EXPECT_EQ(listed(rdForwards, 3, 40), (V{{1020, 20}, {1021, 21}, {1022, 22}})) << "count still caps";
  EXPECT_EQ(listed(rdForwards, 10, 20), (V{{1020, 20}}));
  EXPECT_EQ(listed(rdForwards, 10, 19), V{}) << "a cursor past the bound lists nothing";
  // Backwards it is a lower end, with record numbers still counted from the cursor.
  EXPECT_EQ(listed(rdBackwards, 10, 18), (V{{1018, 18}, {1019, 19}, {1020, 20}}));
  EXPECT_EQ(listed(rdBackwards, 2, 1), (V{{1019, 19}, {1020, 20}}));
  EXPECT_EQ(listed(rdBackwards, 10, 21), V{});
  EXPECT_EQ(listed(rdBackwards, 25, 1).size(), 20u) << "the leaf's first entry is inside";
  // A listing around the cursor has no single end to stop at.
  EXPECT_EQ(listed(rdCenter, 4, 20), (V{{1018, 18}, {1019, 19}, {1020, 20}, {1021, 21}}));
}

TEST(BTree, FillHashTableTakesEveryRecordFromTheCurrentLeafOn) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ix.Insert(Int(i * 3), static_cast<uint32_t>(i + 1)), 0);
  ASSERT_GE(tree.Depth(), 2u);
  ASSERT_EQ(ix.SearchFirst(), 0);
  TTavBaseHash hash(512, 4, 400);
  tree.FillHashTable(0, hash);
  EXPECT_EQ(hash.KeyCount(), 200);
  const int32_t key = 3 * 77;
  EXPECT_EQ(hash.ValueOf(&key, 4), 78u);
}

TEST(BTree, DuplicatesAndMissingEntries) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  ASSERT_EQ(ix.Insert(Int(7), 1), 0);
  EXPECT_EQ(ix.Insert(Int(7), 2), -1) << "a unique index refuses an equal key";
  EXPECT_EQ(ix.Delete(Int(8), 1), -1);
  ix.SetKey(Int(7), 3);
  EXPECT_EQ(tree.InsertKey(), 0) << "InsertKey inserts beside an equal key";
  EXPECT_EQ(tree.GetRecordCount(), 2);
  EXPECT_EQ(ix.Delete(Int(7), 1), 0);
  EXPECT_EQ(ix.Delete(Int(7), 1), 0);
  EXPECT_EQ(ix.Delete(Int(7), 1), -1);
  EXPECT_EQ(tree.GetRecordCount(), 0);
}

TEST(BTree, EmptyTreeFreesEveryBlock) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  auto& io = static_cast<TMemoryIOInterface&>(ix.IO());
  for (int i = 0; i < 300; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
  ASSERT_GT(io.BlockCount(), 10);
  tree.EmptyTree(false);
  EXPECT_EQ(io.BlockCount(), 1);
  EXPECT_EQ(tree.Depth(), 1u);
  EXPECT_EQ(tree.GetRecordCount(), 0);
  ASSERT_EQ(ix.Insert(Int(1), 1), 0) << "the new empty tree takes entries";
  EXPECT_TRUE(ix.Check().Ok());
  tree.EmptyTree(true);
  EXPECT_EQ(io.BlockCount(), 0);
  EXPECT_EQ(tree.Root(), 0u);
  EXPECT_EQ(tree.Depth(), 0u);
  EXPECT_NE(ix.SearchFirst(), 0);
  EXPECT_EQ(tree.GetRecordCount(), 0);
}

TEST(BTree, EmptyingASingleLeafKeepsItsRootBlock) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  auto& io = static_cast<TMemoryIOInterface&>(ix.IO());
  const uint32_t root = tree.Root();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(ix.Insert(Int(i * 10 + round), static_cast<uint32_t>(i + 1)), 0);
    ASSERT_EQ(tree.Depth(), 1u);
    ASSERT_EQ(ix.SearchFirst(), 0) << "the path stands on the leaf's first entry";
    tree.EmptyTree(false);
    EXPECT_EQ(tree.Root(), root);
    EXPECT_EQ(tree.Depth(), 1u);
    EXPECT_EQ(io.BlockCount(), 1);
    EXPECT_EQ(tree.GetRecordCount(), 0);
    EXPECT_NE(ix.SearchFirst(), 0) << "no entry is left behind in round " << round;
    EXPECT_FALSE(tree.NextRecord());
    EXPECT_TRUE(ix.Check().Ok());
  }
  // Filled past one leaf and emptied again: one empty leaf is left.
  for (int i = 0; i < 300; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
  tree.EmptyTree(false);
  EXPECT_EQ(io.BlockCount(), 1);
  ASSERT_EQ(ix.Insert(Int(3), 3), 0);
  ASSERT_EQ(ix.Insert(Int(1), 1), 0);
  ASSERT_EQ(ix.SearchFirst(), 0);
  EXPECT_EQ(tree.GetRecAddr(), 1u);
  EXPECT_EQ(tree.GetRecordCount(), 2);
  EXPECT_TRUE(ix.Check().Ok());
}

TEST(BTree, EmptyingAFullSingleLeafLeavesNoEntryToAnyReader) {
  // As many entries as one leaf holds.
  int fits = 0;
  {
    TTestIndex probe(SmallIntIndex());
    while (probe.Tree().Depth() == 1 && fits < 10000) {
      ASSERT_EQ(probe.Insert(Int(fits), static_cast<uint32_t>(fits + 1)), 0);
      ++fits;
    }
    --fits;  // the last one split the leaf
  }
  ASSERT_GT(fits, 8);
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  for (int i = 0; i < fits; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
  ASSERT_EQ(tree.Depth(), 1u);
  const uint32_t root = tree.Root();
  tree.EmptyTree(false);
  ASSERT_EQ(tree.Root(), root);
  // Another tree on the same block, which never held the entries, finds none.
  {
    TTestIndex reader(SmallIntIndex(), &ix.IO(), false, root, 1);
    EXPECT_NE(reader.SearchFirst(), 0);
    EXPECT_EQ(reader.Tree().GetRecordCount(), 0);
    EXPECT_TRUE(reader.Check().Ok());
  }
  // New entries, the second below the first: they alone are there.
  ASSERT_EQ(ix.Insert(Int(5000), 7), 0);
  ASSERT_EQ(ix.Insert(Int(-5), 8), 0);
  ASSERT_EQ(ix.SearchFirst(), 0);
  EXPECT_EQ(tree.GetRecAddr(), 8u);
  ASSERT_TRUE(tree.NextRecord());
  EXPECT_EQ(tree.GetRecAddr(), 7u);
  EXPECT_FALSE(tree.NextRecord());
  EXPECT_TRUE(ix.Check().Ok());
  TTestIndex reader(SmallIntIndex(), &ix.IO(), false, root, 1);
  ASSERT_EQ(reader.SearchFirst(), 0);
  EXPECT_EQ(reader.Tree().GetRecAddr(), 8u);
  ASSERT_TRUE(reader.Tree().NextRecord());
  EXPECT_EQ(reader.Tree().GetRecAddr(), 7u);
  EXPECT_FALSE(reader.Tree().NextRecord());
}

TEST(BTree, EmptyingADamagedSingleLeafChangesNothing) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  ASSERT_EQ(ix.Insert(Int(1), 1), 0);
  uint8_t* root = ix.IO().ReadBlockByRef(tree.Root(), tree.PageSize());
  // The root of a tree one level deep claims to be an inner node.
  root[0] = 0;
  const std::vector<uint8_t> before(root, root + tree.PageSize());
  EXPECT_EQ(ErrorCodeOf([&] { tree.EmptyTree(false); }), 8965);
  EXPECT_EQ(std::vector<uint8_t>(root, root + tree.PageSize()), before);
}

TEST(BTree, ConfigurationAndCursorErrors) {
  std::string text;
  {
    TTestIndex ix(SmallIntIndex());
    TBTree& tree = ix.Tree();
    EXPECT_EQ(ErrorCodeOf([&] { tree.GetRecAddr(); }, &text), 8581);
    EXPECT_NE(text.find("Attempt to read record address from non-leaf node"), std::string::npos)
        << text;
    EXPECT_EQ(ErrorCodeOf([&] { tree.GetCurrentKeyBuf(); }, &text), 8581);
    EXPECT_NE(text.find("CurrentKeyCursor is invalid"), std::string::npos) << text;
    EXPECT_EQ(ErrorCodeOf([&] { tree.CopyKey(nullptr, nullptr); }, &text), 8581);
    EXPECT_NE(text.find("SrcBuf is unassigned"), std::string::npos) << text;
    EXPECT_FALSE(tree.NextRecord());
    tree.Close();
    tree.SetDBStringCompare(nullptr);
    EXPECT_EQ(ErrorCodeOf([&] { tree.Open(); }, &text), 8581);
    EXPECT_NE(text.find("No sort order function assigned"), std::string::npos) << text;
  }
  {
    TIndexLayout layout;
    layout.StringKey = true;
    layout.StringSize = 40;  // 53-byte keys need 350-byte pages
    layout.PageSize = 256;
    EXPECT_EQ(ErrorCodeOf([&] { TTestIndex ix(layout); }), 8581);
  }
  {
    TMemoryIOInterface io;
    io.SetBlockSize(4096);
    TBTree tree;
    uint32_t root = 0, depth = 0;
    EXPECT_THROW(tree.ConnectToIFace(&io, 512, root, depth), host::EAssertionFailed);
  }
}

TEST(BTree, Diagnostics) {
  TTestIndex ix(SmallIntIndex());
  TBTree& tree = ix.Tree();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ix.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
  EXPECT_NO_THROW(tree.DebugCheckOrderRecurse());
  host::TStringList lines;
  tree.DebugInOrderRecurse(lines);
  ASSERT_GT(lines.Count(), 100);
  EXPECT_EQ(lines.Strings(0).rfind("Node Level: 0 NodeAddr=", 0), 0u) << lines.Strings(0);
  host::TStringList flat;
  tree.DebuGInOrderFlat(flat);  // the leaves only: fewer lines, none of the root's
  EXPECT_GT(flat.Count(), 100);
  EXPECT_LT(flat.Count(), lines.Count());
  EXPECT_NE(flat.Strings(0).rfind("Node Level: 0 ", 0), 0u) << flat.Strings(0);
  host::TStringList blocks;
  tree.DebugDumpAllocatedBlocks(blocks);
  EXPECT_EQ(blocks.Count(), static_cast<TMemoryIOInterface&>(ix.IO()).BlockCount());
  // Two keys of a leaf swapped.
  uint8_t* leaf = ix.IO().ReadBlockByRef(LeafAddresses(tree)[1], tree.PageSize());
  const int m = tree.MaximumKeySize();
  std::vector<uint8_t> first(leaf + 16, leaf + 16 + m);
  std::memcpy(leaf + 16, leaf + 16 + m, static_cast<size_t>(m));
  std::memcpy(leaf + 16 + m, first.data(), static_cast<size_t>(m));
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { tree.DebugCheckOrderRecurse(); }, &text), 8581);
  EXPECT_NE(text.find("Check Order error"), std::string::npos) << text;
  EXPECT_FALSE(ix.Check().Ok()) << "the checker sees it too";
}

// ---------------------------------------------------------------------------
// Damaged nodes and links

class BTreeDamage : public ::testing::Test {
 protected:
  BTreeDamage() : ix_(SmallIntIndex()) {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(ix_.Insert(Int(i), static_cast<uint32_t>(i + 1)), 0);
    leaves_ = LeafAddresses(ix_.Tree());
  }

  uint8_t* Block(uint32_t address) {
    return ix_.IO().ReadBlockByRef(address, ix_.Tree().PageSize());
  }

  // The first key of a leaf (record i holds key i - 1).
  int FirstKeyOf(uint32_t leaf) {
    return static_cast<int>(GetKeyEntryAddress(Block(leaf) + 16)) - 1;
  }

  int SearchError(int key) {
    ix_.Tree().InvalidateInternalBuffers();
    return ErrorCodeOf([&] {
      ix_.SetKey(Int(key), 0);
      ix_.Tree().IndexSearch(stGE);
    });
  }

  int WalkError() {
    ix_.Tree().InvalidateInternalBuffers();
    return ErrorCodeOf([&] {
      ASSERT_EQ(ix_.SearchFirst(), 0);
      for (int i = 0; i < 1000 && ix_.Tree().NextRecord(); ++i) {
      }
    });
  }

  TTestIndex ix_;
  std::vector<uint32_t> leaves_;
};

TEST_F(BTreeDamage, UsedCountBeyondThePage) {
  ASSERT_GE(leaves_.size(), 6u);
  const uint32_t leaf = leaves_[3];
  const int key = FirstKeyOf(leaf);
  SetNodeU32(Block(leaf), 4, ix_.Tree().PageSize() - 15);
  EXPECT_EQ(SearchError(key), 8965);
  SetNodeU32(Block(ix_.Tree().Root()), 4, 0xFFFFFFF0u);
  EXPECT_EQ(ErrorCodeOf([&] { ix_.Tree().GetRecordCount(true); }), 8965);
}

TEST_F(BTreeDamage, ZeroOrOverlongEntryLength) {
  // The second entry of a leaf; a search for its key reaches it.
  const uint32_t leaf = leaves_[2];
  const int key = FirstKeyOf(leaf) + 1;
  const int m = ix_.Tree().MaximumKeySize();
  uint8_t* b = Block(leaf);
  SetKeyEntryLength(b + 16 + m, 0);
  EXPECT_EQ(SearchError(key), 8965);
  SetKeyEntryLength(b + 16 + m, static_cast<uint16_t>(m + 1));
  EXPECT_EQ(SearchError(key), 8965);
  EXPECT_EQ(WalkError(), 8965) << "a walk over the leaf meets it too";
  TCompoundList list;
  bool done = false;
  EXPECT_EQ(ErrorCodeOf([&] {
              ix_.SetKey(Int(key - 1), 0);
              ASSERT_EQ(ix_.Tree().IndexSearch(stEQ), 0);
              ix_.Tree().ListMatchingRecords(nullptr, 0, 0, stGE, false, list, done);
            }),
            8965);
}

TEST(BTreeDamageVariable, EntryRunningPastTheUsedBytes) {
  TIndexLayout layout;
  layout.StringKey = true;
  layout.KeyType = ikMinStringLen;
  layout.StringSize = 8;
  TTestIndex ix(layout);
  for (int i = 0; i < 5; ++i) {
    TVal v;
    v.Str = std::string(1 + i, 'a');
    ASSERT_EQ(ix.Insert(v, static_cast<uint32_t>(i + 1)), 0);
  }
  uint8_t* root = ix.IO().ReadBlockByRef(ix.Tree().Root(), ix.Tree().PageSize());
  const uint32_t used = NodeU32(root, 4);
  const uint16_t first = GetKeyEntryLength(root + 16);
  SetKeyEntryLength(root + 16 + first, static_cast<uint16_t>(used - first + 1));
  ix.Tree().InvalidateInternalBuffers();
  EXPECT_EQ(ErrorCodeOf([&] { ix.SearchFirst(); }), 8965);
}

TEST_F(BTreeDamage, LeafChainCycle) {
  ASSERT_GE(leaves_.size(), 6u);
  // A ring L1 -> L2 -> L3 -> L1 whose links agree in both directions.
  SetNodeU32(Block(leaves_[3]), 8, leaves_[1]);
  SetNodeU32(Block(leaves_[1]), 12, leaves_[3]);
  const int key = FirstKeyOf(leaves_[1]);
  ix_.Tree().InvalidateInternalBuffers();
  TCompoundList list;
  bool done = false;
  EXPECT_EQ(ErrorCodeOf([&] {
              ix_.SetKey(Int(key), 0);
              ASSERT_EQ(ix_.Tree().IndexSearch(stGE), 0);
              ix_.Tree().ListMatchingRecords(nullptr, 0, 0, stGE, false, list, done);
            }),
            8965);
  EXPECT_LE(list.Count(), 300) << "the walk stops within the index's records";
  TTavBaseHash hash(1024, 4, 1000);
  EXPECT_EQ(ErrorCodeOf([&] {
              ix_.SetKey(Int(key), 0);
              ASSERT_EQ(ix_.Tree().IndexSearch(stGE), 0);
              ix_.Tree().FillHashTable(0, hash);
            }),
            8965);
  EXPECT_EQ(WalkError(), 8965) << "stepping checks the chain against the tree";
}

TEST_F(BTreeDamage, DepthAndChildren) {
  uint32_t& depth = ix_.DepthVar();
  const uint32_t real = depth;
  depth = 1000;
  EXPECT_EQ(SearchError(5), 8965);
  depth = real + 1;
  EXPECT_EQ(SearchError(5), 8965) << "a leaf above the leaf level";
  depth = real - 1;
  EXPECT_EQ(SearchError(5), 8965) << "an inner node at the leaf level";
  depth = real;
  EXPECT_EQ(SearchError(5), 0);
  uint8_t* root = Block(ix_.Tree().Root());
  SetKeyEntryAddress(root + 16, 0);
  EXPECT_EQ(SearchError(0), 8965);
}

TEST_F(BTreeDamage, EmptyTreeChecksEverythingBeforeFreeing) {
  auto& io = static_cast<TMemoryIOInterface&>(ix_.IO());
  const int blocks = io.BlockCount();
  // Two entries of the root name the same child.
  uint8_t* root = Block(ix_.Tree().Root());
  const int m = ix_.Tree().MaximumKeySize();
  SetKeyEntryAddress(root + 16 + m, GetKeyEntryAddress(root + 16));
  ix_.Tree().InvalidateInternalBuffers();
  EXPECT_EQ(ErrorCodeOf([&] { ix_.Tree().EmptyTree(false); }), 8965);
  EXPECT_EQ(io.BlockCount(), blocks);
}
}  // namespace
}  // namespace tav::test

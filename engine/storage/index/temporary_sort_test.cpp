#include "engine/storage/index/temporary_sort.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/record/internal_fields.h"
#include "engine/storage/base/tav_errors.h"

namespace tav {
namespace {

using namespace host;

void ExpectEngineError(int code, const std::string& part, const std::function<void()>& f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_NE(e.Message().find(part), std::string::npos) << e.Message();
    return;
  }
  ADD_FAILURE() << "no engine error raised";
}

// A record image for tests: one null-flag byte per field, then each field's
// data (a 16-bit length marker before the characters of a string).
struct TFieldShape {
  TFieldType type;
  int size = 0;  // strings: declared data bytes
  bool desc = false;
  bool ci = false;
};

class Layout {
 public:
  void Describe(TTemporarySort& sort, const std::vector<TFieldShape>& shapes) {
    shapes_ = shapes;
    const int n = static_cast<int>(shapes.size());
    int pos = n;
    for (int i = 0; i < n; ++i) {
      const TFieldShape& s = shapes[static_cast<size_t>(i)];
      TKeyFieldItem* f = sort.KeyFields().Add();
      f->SetDataType(s.type);
      f->SetDescending(s.desc);
      f->SetCaseInsensitive(s.ci);
      f->SetNullFlagOffset(i);
      const bool str = s.type == ftString;
      f->SetFieldSize(str ? s.size : CalculateCoreDataSize(s.type));
      if (str) {
        f->SetSizeMarkerOffset(pos);
        pos += 2;
      }
      f->SetRecBufOffset(pos);
      offsets_.push_back(pos);
      pos += f->FieldSize();
    }
    size_ = pos;
  }
  std::vector<uint8_t> Blank() const { return std::vector<uint8_t>(static_cast<size_t>(size_), 0); }
  void PutInt(std::vector<uint8_t>& r, int field, int32_t v) const {
    r[static_cast<size_t>(field)] = 1;
    std::memcpy(r.data() + Offset(field), &v, 4);
  }
  void PutInt64(std::vector<uint8_t>& r, int field, int64_t v) const {
    r[static_cast<size_t>(field)] = 1;
    std::memcpy(r.data() + Offset(field), &v, 8);
  }
  void PutString(std::vector<uint8_t>& r, int field, const std::string& s) const {
    r[static_cast<size_t>(field)] = 1;
    const uint16_t len = static_cast<uint16_t>(s.size());
    std::memcpy(r.data() + Offset(field) - 2, &len, 2);
    std::memcpy(r.data() + Offset(field), s.data(), s.size());
  }
  std::vector<uint8_t> IntRecord(int32_t v) const {
    auto r = Blank();
    PutInt(r, 0, v);
    return r;
  }

 private:
  size_t Offset(int field) const {
    return static_cast<size_t>(offsets_[static_cast<size_t>(field)]);
  }
  std::vector<TFieldShape> shapes_;
  std::vector<int> offsets_;
  int size_ = 0;
};

int32_t IntKeyOf(const uint8_t* entry) {
  // One integer field: the bitmap byte, then the value.
  int32_t v;
  std::memcpy(&v, entry + kKeyEntryHeaderSize + 1, 4);
  return v;
}

// Runs f on a thread with a small stack: deep recursion there overflows it,
// which the sanitizer reports as a crash.
void RunOnSmallStack(const std::function<void()>& f) {
  struct Job {
    const std::function<void()>* f;
    std::exception_ptr error;
  } job{&f, nullptr};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  auto body = [](void* p) -> void* {
    auto* j = static_cast<Job*>(p);
    try {
      (*j->f)();
    } catch (...) {
      j->error = std::current_exception();
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (job.error) std::rethrow_exception(job.error);
}

// ---------------------------------------------------------------------------
// Opening, the entry layout, growth

TEST(TemporarySort, OpenRefusesWhatItCannotSort) {
  TTemporarySort sort;
  Layout layout;
  layout.Describe(sort, {{ftInteger}});
  ExpectEngineError(8581, "Sort function not assinged", [&] { sort.Open(4); });

  sort.SetDBStringCompare(DBANSICompareStrings);
  // More than the array may ever hold: refused before anything is allocated.
  ExpectEngineError(9473, "Not enough Memory for this op ", [&] { sort.Open(INT32_MAX); });
  EXPECT_FALSE(sort.IsOpen());

  TTemporarySort blob;
  blob.SetDBStringCompare(DBANSICompareStrings);
  blob.KeyFields().Add()->SetDataType(ftBlob);
  EXPECT_THROW(blob.Open(4), ETavDatabaseError);

  // One size that would wrap the sum, one that merely does not fit an
  // entry, one that just does not fit with the entry header, and two that fit
  // alone but not together.
  for (const std::vector<int>& sizes :
       std::vector<std::vector<int>>{{INT32_MAX}, {70000}, {65530}, {40000, 40000}}) {
    TTemporarySort huge;
    huge.SetDBStringCompare(DBANSICompareStrings);
    for (int size : sizes) {
      TKeyFieldItem* f = huge.KeyFields().Add();
      f->SetDataType(ftString);
      f->SetFieldSize(size);
      f->SetSizeMarkerOffset(1);
      f->SetRecBufOffset(3);
    }
    ExpectEngineError(8581, "", [&] { huge.Open(4); });
    EXPECT_FALSE(huge.IsOpen());
  }

  TTemporarySort empty;
  empty.SetDBStringCompare(DBANSICompareStrings);
  ExpectEngineError(8581, "KeyBuffers invalid", [&] { empty.Open(4); });
}

TEST(TemporarySort, EntriesHaveTheFixedIndexEntryLayout) {
  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  std::vector<TFieldShape> shapes(9, TFieldShape{ftSmallint});
  shapes[0] = {ftString, 20};
  layout.Describe(sort, shapes);
  sort.Open(2);
  // 10 + (2 + 20) + 8 * 2 key bytes, and a two-byte bitmap for nine fields.
  EXPECT_EQ(sort.EntrySize(), 48 + 2);
  EXPECT_EQ(sort.KeyFields().DataOffset(), 2);

  auto r = layout.Blank();
  layout.PutString(r, 0, "ab");
  sort.AppendKey(0xDEADBEEF, r.data());
  const uint8_t* e = sort.Entry(0);
  EXPECT_EQ(GetKeyEntryLength(e), sort.EntrySize());
  EXPECT_EQ(GetKeyEntryCount(e), 0u);
  EXPECT_EQ(GetKeyEntryAddress(e), 0xDEADBEEFu);
  EXPECT_EQ(e[10], 0x80);  // only the first field has a value
  EXPECT_EQ(e[11], 0x00);
  EXPECT_EQ(e[12], 2);  // its length, then its characters, then zeroes
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 14), 2), "ab");
  for (int k = 16; k < sort.EntrySize(); ++k) EXPECT_EQ(e[k], 0) << k;
}

TEST(TemporarySort, GrowthKeepsEveryEarlierEntry) {
  for (int32_t start : {0, 1, 4}) {
    SCOPED_TRACE(start);
    TTemporarySort sort;
    sort.SetDBStringCompare(DBANSICompareStrings);
    Layout layout;
    layout.Describe(sort, {{ftInteger}});
    sort.Open(start);
    EXPECT_EQ(sort.Capacity(), start);
    std::vector<int32_t> capacities;
    for (int k = 0; k < 40; ++k) {
      sort.AppendKey(static_cast<uint32_t>(100 + k), layout.IntRecord(1000 - k).data());
      capacities.push_back(sort.Capacity());
    }
    // The append that finds the array full grows it by a quarter, at least
    // by one: 4 -> 5, 1 -> 2, 0 -> 1.
    const int32_t firstGrowth[] = {1, 2, 0, 0, 5};
    EXPECT_EQ(capacities[static_cast<size_t>(start)], firstGrowth[start]);
    if (start > 0) {
      EXPECT_EQ(capacities[static_cast<size_t>(start - 1)], start);
    }
    EXPECT_EQ(sort.Count(), 40);
    EXPECT_FALSE(sort.Sorted());
    for (int k = 0; k < 40; ++k) {
      EXPECT_EQ(GetKeyEntryAddress(sort.Entry(k)), static_cast<uint32_t>(100 + k));
      EXPECT_EQ(IntKeyOf(sort.Entry(k)), 1000 - k);
    }
  }
}

TEST(TemporarySort, GrowthStopsAtTheArrayLimit) {
  EXPECT_EQ(TTemporarySort::GrownCapacity(0, 20), 1);
  EXPECT_EQ(TTemporarySort::GrownCapacity(3, 20), 4);
  EXPECT_EQ(TTemporarySort::GrownCapacity(7, 20), 8);
  EXPECT_EQ(TTemporarySort::GrownCapacity(8, 20), 10);
  EXPECT_EQ(TTemporarySort::GrownCapacity(1000, 20), 1250);
  // The last capacity whose grown array still fits, then the first that
  // would not; and capacities whose growth would wrap 32 bits.
  const int32_t entry = 1000;
  const int32_t fits = static_cast<int32_t>(TTemporarySort::kMaximumSortBytes / entry);
  int32_t last = fits / 5 * 4;
  while ((last + 1) + (last + 1) / 4 <= fits) ++last;
  EXPECT_EQ(TTemporarySort::GrownCapacity(last, entry), last + last / 4);
  ExpectEngineError(9473, "Not enough Memory for this op ",
                    [&] { TTemporarySort::GrownCapacity(last + 1, entry); });
  ExpectEngineError(9473, "", [] { TTemporarySort::GrownCapacity(INT32_MAX, 1); });
  ExpectEngineError(9473, "", [] { TTemporarySort::GrownCapacity(INT32_MAX - 1, 1); });
}

TEST(TemporarySort, CloseEmptiesAndTheManagerClosesAll) {
  TTemporarySortManager manager;
  Layout layouts[2];
  for (auto& layout : layouts) {
    TTemporarySort* sort = manager.Add();
    sort->SetDBStringCompare(DBANSICompareStrings);
    layout.Describe(*sort, {{ftInteger}});
    sort->Open(3);
    sort->AppendKey(7, layout.IntRecord(7).data());
  }
  ASSERT_EQ(manager.Count(), 2);
  manager.Close();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(manager.Items(i)->IsOpen());
    EXPECT_EQ(manager.Items(i)->Count(), 0);
    EXPECT_EQ(manager.Items(i)->Capacity(), 0);
  }
  // A closed sort opens again with its key fields.
  manager.Items(0)->Open(1);
  manager.Items(0)->AppendKey(9, layouts[0].IntRecord(9).data());
  EXPECT_EQ(manager.Items(0)->FindKey(layouts[0].IntRecord(9).data()), 9u);
}

// ---------------------------------------------------------------------------
// Compares and searches

TEST(TemporarySort, CompareRefusesAnOverlongEntry) {
  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  layout.Describe(sort, {{ftInteger}});
  sort.Open(2);
  sort.AppendKey(1, layout.IntRecord(1).data());
  sort.AppendKey(2, layout.IntRecord(2).data());
  std::vector<uint8_t> bad(sort.Entry(0), sort.Entry(0) + sort.EntrySize());
  EXPECT_LT(sort.CompareKeys(bad.data(), sort.Entry(1)), 0);
  SetKeyEntryLength(bad.data(), static_cast<uint16_t>(sort.EntrySize() + 1));
  ExpectEngineError(8581, "KeySize out of range",
                    [&] { sort.CompareKeys(sort.Entry(1), bad.data()); });
}

TEST(TemporarySort, SearchEdges) {
  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  layout.Describe(sort, {{ftInteger}});
  sort.Open(4);
  EXPECT_EQ(sort.FindKey(layout.IntRecord(1).data()), 0u);
  EXPECT_EQ(sort.FindNearest(layout.IntRecord(1).data()), 0u);
  for (int32_t v : {30, 10, 20})
    sort.AppendKey(static_cast<uint32_t>(v + 1), layout.IntRecord(v).data());
  sort.Sort();
  EXPECT_TRUE(sort.Sorted());
  EXPECT_EQ(sort.FindNearest(layout.IntRecord(31).data()), 0u);   // above all
  EXPECT_EQ(sort.FindNearest(layout.IntRecord(20).data()), 21u);  // equal
  EXPECT_EQ(sort.FindNearest(layout.IntRecord(11).data()), 21u);  // between
  EXPECT_EQ(sort.FindNearest(layout.IntRecord(-5).data()), 11u);  // below all
  EXPECT_EQ(sort.FindKey(layout.IntRecord(30).data()), 31u);
  EXPECT_EQ(sort.FindKey(layout.IntRecord(25).data()), 0u);
  // A null key sorts before every value.
  EXPECT_EQ(sort.FindNearest(layout.Blank().data()), 11u);
  EXPECT_EQ(sort.FindKey(layout.Blank().data()), 0u);
}

TEST(TemporarySort, BcdKeysTooCloseForADoubleStayApart) {
  // Ten-thousandths near 2^60 that become one double: the shared key order
  // compares them as integers, so they sort and are found apart.
  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  layout.Describe(sort, {{ftBCD}});
  sort.Open(3);
  const int64_t base = int64_t{1} << 60;
  for (int k : {2, 0, 1}) {
    auto r = layout.Blank();
    layout.PutInt64(r, 0, base + k);
    sort.AppendKey(static_cast<uint32_t>(k + 1), r.data());
  }
  sort.Sort();
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(GetKeyEntryAddress(sort.Entry(k)), static_cast<uint32_t>(k + 1));
    auto r = layout.Blank();
    layout.PutInt64(r, 0, base + k);
    EXPECT_EQ(sort.FindKey(r.data()), static_cast<uint32_t>(k + 1));
  }
}

TEST(TemporarySort, IndexPageSize) {
  EXPECT_EQ(CalculateIndexPageSize(500), 4096);
  EXPECT_EQ(CalculateIndexPageSize(4096), 6144);
  EXPECT_EQ(CalculateIndexPageSize(0), 4096);
  EXPECT_EQ(CalculateIndexPageSize(4079), 4096);  // 4095 bytes with the 16
  EXPECT_EQ(CalculateIndexPageSize(4080), 6144);  // exactly 4096 needs the next page
  EXPECT_EQ(CalculateIndexPageSize(65535), 67584);
  EXPECT_EQ(CalculateIndexPageSize(INT32_MAX), INT32_MAX);
}

// ---------------------------------------------------------------------------
// Randomised: the sort and the searches against a model

struct ModelKey {
  bool hasInt = false;
  int32_t i = 0;
  bool hasStr = false;
  std::string s;
  uint32_t address = 0;
};

struct OrderCase {
  bool intDesc, strDesc, ci;
  bool stringFirst;
};

class RandomSort : public ::testing::TestWithParam<OrderCase> {};

TEST_P(RandomSort, AgreesWithAStableSortAndLowerBound) {
  const OrderCase oc = GetParam();
  const TFieldShape intShape{ftInteger, 0, oc.intDesc};
  const TFieldShape strShape{ftString, 8, oc.strDesc, oc.ci};
  const int intField = oc.stringFirst ? 1 : 0;
  const int strField = 1 - intField;

  // The model order: field by field, no value before any value, Descending
  // negating the field's result.
  auto compare = [&](const ModelKey& a, const ModelKey& b) {
    auto intPart = [&]() -> int {
      if (a.hasInt != b.hasInt) return a.hasInt ? 1 : -1;
      if (!a.hasInt || a.i == b.i) return 0;
      return a.i < b.i ? -1 : 1;
    };
    auto strPart = [&]() -> int {
      if (a.hasStr != b.hasStr) return a.hasStr ? 1 : -1;
      if (!a.hasStr) return 0;
      const int r = DBANSICompareStrings(a.s.data(), b.s.data(), static_cast<int>(a.s.size()),
                                         static_cast<int>(b.s.size()), oc.ci, false);
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    };
    const int ri = oc.intDesc ? -intPart() : intPart();
    const int rs = oc.strDesc ? -strPart() : strPart();
    if (oc.stringFirst) return rs != 0 ? rs : ri;
    return ri != 0 ? ri : rs;
  };

  std::mt19937 rng(20240517 + (oc.intDesc ? 1 : 0) + (oc.strDesc ? 2 : 0) + (oc.ci ? 4 : 0) +
                   (oc.stringFirst ? 8 : 0));
  auto randomKey = [&](int intRange) {
    ModelKey k;
    k.hasInt = rng() % 10 != 0;
    k.i = static_cast<int32_t>(rng() % static_cast<unsigned>(2 * intRange + 1)) - intRange;
    if (rng() % 50 == 0) k.i = rng() % 2 ? INT32_MIN + 1 : INT32_MAX;
    if (!k.hasInt) k.i = 0;
    k.hasStr = rng() % 8 != 0;
    if (k.hasStr) {
      static const char alphabet[] = "aAbB\xE9\xC9z ";
      const int len = static_cast<int>(rng() % 5);
      for (int c = 0; c < len; ++c) k.s += alphabet[rng() % 8];
    }
    return k;
  };

  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  layout.Describe(sort, oc.stringFirst ? std::vector<TFieldShape>{strShape, intShape}
                                       : std::vector<TFieldShape>{intShape, strShape});
  auto recordOf = [&](const ModelKey& k) {
    auto r = layout.Blank();
    if (k.hasInt) layout.PutInt(r, intField, k.i);
    if (k.hasStr) layout.PutString(r, strField, k.s);
    return r;
  };

  const int n = 4000;
  std::vector<ModelKey> input;
  sort.Open(16);
  for (int k = 0; k < n; ++k) {
    ModelKey key = randomKey(40);
    key.address = static_cast<uint32_t>(k + 1);
    sort.AppendKey(key.address, recordOf(key).data());
    input.push_back(key);
  }
  sort.Sort();
  ASSERT_EQ(sort.Count(), n);

  std::vector<ModelKey> expected = input;
  std::stable_sort(expected.begin(), expected.end(),
                   [&](const ModelKey& a, const ModelKey& b) { return compare(a, b) < 0; });
  std::vector<ModelKey> ours;
  std::vector<bool> seen(static_cast<size_t>(n) + 1, false);
  for (int k = 0; k < n; ++k) {
    const uint32_t address = GetKeyEntryAddress(sort.Entry(k));
    ASSERT_TRUE(address >= 1 && address <= static_cast<uint32_t>(n));
    ASSERT_FALSE(seen[address]) << "address " << address << " twice";
    seen[address] = true;
    ours.push_back(input[address - 1]);
  }
  // Equal keys may lie in any order, so the keys are compared, not the
  // addresses.
  for (int k = 0; k < n; ++k)
    ASSERT_EQ(compare(ours[static_cast<size_t>(k)], expected[static_cast<size_t>(k)]), 0) << k;

  for (int p = 0; p < 3000; ++p) {
    const ModelKey probe = randomKey(45);
    const auto it =
        std::lower_bound(ours.begin(), ours.end(), probe,
                         [&](const ModelKey& a, const ModelKey& b) { return compare(a, b) < 0; });
    const auto record = recordOf(probe);
    const uint32_t nearest = it == ours.end() ? 0 : it->address;
    const uint32_t found = it != ours.end() && compare(*it, probe) == 0 ? it->address : 0;
    ASSERT_EQ(sort.FindNearest(record.data()), nearest) << p;
    ASSERT_EQ(sort.FindKey(record.data()), found) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, RandomSort,
                         ::testing::Values(OrderCase{false, false, false, false},
                                           OrderCase{true, false, true, false},
                                           OrderCase{false, true, false, true},
                                           OrderCase{true, true, true, true}),
                         [](const ::testing::TestParamInfo<OrderCase>& info) {
                           const OrderCase& c = info.param;
                           return std::string(c.stringFirst ? "StringFirst" : "IntFirst") +
                                  (c.intDesc ? "_IntDesc" : "") + (c.strDesc ? "_StrDesc" : "") +
                                  (c.ci ? "_CaseInsensitive" : "");
                         });

// ---------------------------------------------------------------------------
// Inputs that drive a quicksort deep

void ExpectAscending(const TTemporarySort& sort, const std::vector<int32_t>& values) {
  std::vector<int32_t> expected = values;
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(sort.Count(), static_cast<int32_t>(values.size()));
  for (int32_t k = 0; k < sort.Count(); ++k) {
    const uint8_t* e = sort.Entry(k);
    ASSERT_EQ(IntKeyOf(e), expected[static_cast<size_t>(k)]) << k;
    // Each entry still carries the address it was appended with.
    ASSERT_EQ(values[GetKeyEntryAddress(e) - 1], IntKeyOf(e)) << k;
  }
}

void SortOnSmallStack(const std::vector<int32_t>& values) {
  TTemporarySort sort;
  sort.SetDBStringCompare(DBANSICompareStrings);
  Layout layout;
  layout.Describe(sort, {{ftInteger}});
  sort.Open(static_cast<int32_t>(values.size()));
  for (size_t k = 0; k < values.size(); ++k)
    sort.AppendKey(static_cast<uint32_t>(k + 1), layout.IntRecord(values[k]).data());
  RunOnSmallStack([&] { sort.Sort(); });
  ExpectAscending(sort, values);
}

TEST(TemporarySortDepth, SortedAndReversedInputs) {
  const int n = 100000;
  std::vector<int32_t> up(n), down(n), equal(n, 5);
  for (int k = 0; k < n; ++k) {
    up[static_cast<size_t>(k)] = k;
    down[static_cast<size_t>(k)] = n - k;
  }
  SortOnSmallStack(up);
  SortOnSmallStack(down);
  SortOnSmallStack(equal);
}

// An input on which middle-pivot partitioning picks an extreme pivot every
// time, built by letting the values fall out of the comparisons a run of the
// same partitioning makes (a "gas" adversary: every value stays undecided
// until it is compared against the pivot candidate). Sorted, it splits off
// one entry per pass, the worst case for the stack; its mirror image puts the
// long part on the other side.
std::vector<int32_t> AdversarialInput(int n) {
  std::vector<int32_t> value(static_cast<size_t>(n), n);  // n = still undecided
  std::vector<int> ids(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) ids[static_cast<size_t>(k)] = k;
  int32_t solid = 0;
  int candidate = -1;
  auto compare = [&](int x, int y) {
    int32_t& vx = value[static_cast<size_t>(x)];
    int32_t& vy = value[static_cast<size_t>(y)];
    if (vx == n && vy == n) (x == candidate ? vx : vy) = solid++;
    if (vx == n)
      candidate = x;
    else if (vy == n)
      candidate = y;
    return vx < vy ? -1 : (vx > vy ? 1 : 0);
  };
  std::function<void(int, int)> run = [&](int low, int high) {
    while (low < high) {
      int i = low, j = high, pivot = low + (high - low) / 2;
      do {
        while (compare(ids[static_cast<size_t>(i)], ids[static_cast<size_t>(pivot)]) < 0) ++i;
        while (compare(ids[static_cast<size_t>(j)], ids[static_cast<size_t>(pivot)]) > 0) --j;
        if (i <= j) {
          std::swap(ids[static_cast<size_t>(i)], ids[static_cast<size_t>(j)]);
          if (pivot == i)
            pivot = j;
          else if (pivot == j)
            pivot = i;
          ++i;
          --j;
        }
      } while (i <= j);
      if (j - low < high - i) {
        if (low < j) run(low, j);
        low = i;
      } else {
        if (i < high) run(i, high);
        high = j;
      }
    }
  };
  run(0, n - 1);
  for (auto& v : value)
    if (v == n) v = solid++;
  return value;
}

TEST(TemporarySortDepth, AdversarialInputs) {
  const int n = 6000;
  std::vector<int32_t> input = AdversarialInput(n);
  std::vector<int32_t> mirror(input.rbegin(), input.rend());
  for (auto& v : mirror) v = n - v;
  SortOnSmallStack(input);
  SortOnSmallStack(mirror);
}

}  // namespace
}  // namespace tav

#include "engine/storage/index/key_fields.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/record/internal_fields.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/variant.h"

namespace tav {
namespace {

using namespace host;

using test::EngineErrorOf;

bool Contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

void ExpectEngineError(int code, const std::string& part, const std::function<void()>& f) {
  const std::string msg = EngineErrorOf(code, f);
  EXPECT_TRUE(Contains(msg, part)) << msg;
}

int Sgn(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// One key field: its type, declared size (strings only), and flags.
struct TFieldShape {
  TFieldType type;
  int size = 0;
  bool ci = false;
  bool desc = false;
};

// Writes `v` into field `f` of a record image as the data-access layer stores
// it: null flag 1 and the value, or null flag 0 for Null.
void PutValue(std::vector<uint8_t>& record, const TKeyFieldItem& f, const Variant& v) {
  if (v.IsNull()) {
    record[f.NullFlagOffset()] = 0;
    return;
  }
  record[f.NullFlagOffset()] = 1;
  uint8_t* p = record.data() + f.RecBufOffset();
  auto marker = [&](int n) {
    const uint16_t m = static_cast<uint16_t>(n);
    std::memcpy(record.data() + f.SizeMarkerOffset(), &m, 2);
  };
  switch (f.DataType()) {
    case ftString: {
      const std::string s = v.AsString();
      marker(static_cast<int>(s.size()));
      std::memcpy(p, s.data(), s.size());
      break;
    }
    case ftWideString: {
      const std::u16string w = v.AsWideString();
      marker(static_cast<int>(2 * w.size()));
      for (size_t k = 0; k < w.size(); ++k) {
        p[2 * k] = static_cast<uint8_t>(w[k]);
        p[2 * k + 1] = static_cast<uint8_t>(w[k] >> 8);
      }
      break;
    }
    case ftSmallint: {
      const int16_t x = v.AsSmallint();
      std::memcpy(p, &x, 2);
      break;
    }
    case ftWord: {
      const uint16_t x = static_cast<uint16_t>(v.AsInteger());
      std::memcpy(p, &x, 2);
      break;
    }
    case ftInteger:
    case ftAutoInc: {
      const int32_t x = v.AsInteger();
      std::memcpy(p, &x, 4);
      break;
    }
    case ftBoolean:
      *p = v.AsBoolean() ? 1 : 0;
      break;
    case ftBCD: {
      const int64_t x = v.AsCurrency();
      std::memcpy(p, &x, 8);
      break;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      const double x = v.AsDateTime();
      std::memcpy(p, &x, 8);
      break;
    }
    default: {
      const double x = v.AsDouble();
      std::memcpy(p, &x, 8);
      break;
    }
  }
}

// A key over a record laid out as the record layer does it: 14-byte header,
// null flags, then the fields with a length word before each string.
class TestKey {
 public:
  explicit TestKey(const std::vector<TFieldShape>& shapes, TIndexKeyType keyType = ikMinStringLen,
                   TDBStringCompare compare = DBANSICompareStrings) {
    const int n = static_cast<int>(shapes.size());
    int pos = kRecordHeaderSize + n;
    for (int i = 0; i < n; ++i) {
      const TFieldShape& s = shapes[static_cast<size_t>(i)];
      TKeyFieldItem* f = fields.Add();
      f->SetFieldName("F" + std::to_string(i));
      f->SetDataType(s.type);
      f->SetCaseInsensitive(s.ci);
      f->SetDescending(s.desc);
      f->SetNullFlagOffset(kRecordHeaderSize + i);
      const bool str = s.type == ftString || s.type == ftWideString;
      f->SetFieldSize(str ? s.size : CalculateCoreDataSize(s.type));
      if (str) {
        f->SetSizeMarkerOffset(pos);
        pos += 2;
      }
      f->SetRecBufOffset(pos);
      pos += f->FieldSize();
    }
    record_size = pos;
    fields.SetDataOffset(CalculateKeyDataOffset(n));
    max_key = CalculateMaximumKeySize(fields) + fields.DataOffset();
    format.Open(fields, max_key, keyType, compare);
  }

  std::vector<uint8_t> Entry(const Variant& values) const {
    std::vector<uint8_t> e(static_cast<size_t>(max_key) + 1, 0xEE);
    format.ConstructKeyBufFromVariants(values, e.data());
    return e;
  }
  std::vector<uint8_t> Record(const std::vector<Variant>& values) const {
    std::vector<uint8_t> r(static_cast<size_t>(record_size), 0);
    for (int i = 0; i < fields.Count(); ++i)
      PutValue(r, *fields.Items(i),
               i < static_cast<int>(values.size()) ? values[static_cast<size_t>(i)] : Null());
    return r;
  }
  std::vector<uint8_t> EntryFromRecord(const std::vector<uint8_t>& record) const {
    std::vector<uint8_t> e(static_cast<size_t>(max_key) + 1, 0xEE);
    format.ConstructKeyBufFromRecBuf(record.data(), e.data());
    return e;
  }

  TKeyFields fields;
  TKeyFormat format;
  int record_size = 0;
  int max_key = 0;
};

// ---------------------------------------------------------------------------
// Key order, one field at a time, through every compare path.

struct OrderCase {
  const char* what;
  TFieldShape shape;
  Variant a, b;
  int expected;  // sign of a against b
  TDBStringCompare compare = DBANSICompareStrings;
};

std::vector<OrderCase> OrderCases() {
  const Variant null = Null();
  const TFieldShape str{ftString, 10};
  const TFieldShape strCI{ftString, 10, true};
  const TFieldShape wide{ftWideString, 20};
  const TFieldShape wideCI{ftWideString, 20, true};
  return {
      {"smallint negatives", {ftSmallint}, short(-32768), short(-1), -1},
      {"smallint around 0", {ftSmallint}, short(-1), short(0), -1},
      {"smallint top", {ftSmallint}, short(32767), short(1), 1},
      {"smallint equal", {ftSmallint}, short(5), short(5), 0},
      {"word is unsigned", {ftWord}, 32768, 32767, 1},
      {"word range", {ftWord}, 0, 65535, -1},
      {"integer -2e9 < 2e9", {ftInteger}, -2000000000, 2000000000, -1},
      {"integer extremes", {ftInteger}, INT_MAX, INT_MIN, 1},
      {"integer -1 < 1", {ftInteger}, -1, 1, -1},
      {"autoinc", {ftAutoInc}, 7, 6, 1},
      {"boolean", {ftBoolean}, false, true, -1},
      {"boolean equal", {ftBoolean}, true, true, 0},
      {"float negatives", {ftFloat}, -1e300, -1.5, -1},
      {"float negative zero", {ftFloat}, -0.0, 0.0, 0},
      {"float tiny", {ftFloat}, 1e-300, 0.0, 1},
      {"float sign", {ftFloat}, -2.5, 2.5, -1},
      {"currency", {ftCurrency}, Variant::FromCurrency(-1), 0, -1},
      {"bcd sign", {ftBCD}, Variant::FromCurrency(-12345), Variant::FromCurrency(12345), -1},
      {"bcd fractions", {ftBCD}, Variant::FromCurrency(15001), Variant::FromCurrency(15000), 1},
      // Beyond 2^53 ten-thousandths two neighbours are the same double: they
      // must still be two keys.
      {"bcd huge neighbours",
       {ftBCD},
       Variant::FromCurrency(INT64_MAX - 1),
       Variant::FromCurrency(INT64_MAX),
       -1},
      {"date", {ftDate}, Variant::FromDate(-1.0), Variant::FromDate(0.0), -1},
      {"time", {ftTime}, Variant::FromDate(0.75), Variant::FromDate(0.25), 1},
      {"datetime", {ftDateTime}, Variant::FromDate(45000.5), Variant::FromDate(45000.5), 0},
      {"ansi letters without case first", str, "a", "B", -1},
      {"ansi lower before upper", str, "abc", "ABC", -1},
      {"ansi accent with its letter", str, "\xE9t\xE9", "f", -1},  // "été" < "f"
      {"ansi prefix first", str, "abc", "abcd", -1},
      {"ansi empty first", str, "", "a", -1},
      {"ansi case-insensitive equal", strCI, "abc", "ABC", 0},
      {"ansi case-insensitive accents", strCI, "\xC4rger", "\xE4RGER", 0},
      {"ascii byte order", str, "a", "B", 1, DBASCIICompareStrings},
      {"ascii case-insensitive", strCI, "abc", "ABC", 0, DBASCIICompareStrings},
      {"ascii prefix first", str, "ab", "abc", -1, DBASCIICompareStrings},
      {"wide letters", wide, std::u16string(u"a"), std::u16string(u"B"), -1},
      {"wide case-insensitive", wideCI, std::u16string(u"\u00E4x"), std::u16string(u"\u00C4X"), 0},
      {"wide beyond 1252 last", wide, std::u16string(u"\u4E00"), std::u16string(u"z"), 1},
      {"wide prefix first", wide, std::u16string(u"ab"), std::u16string(u"abc"), -1},
      {"null before any integer", {ftInteger}, null, INT_MIN, -1},
      {"null before empty string", str, null, "", -1},
      {"nulls equal", {ftFloat}, null, null, 0},
      {"descending integer", {ftInteger, 0, false, true}, 1, 2, 1},
      {"descending null last", {ftInteger, 0, false, true}, null, 5, 1},
      {"descending string", {ftString, 10, false, true}, "a", "b", 1},
      {"descending case-insensitive", {ftString, 10, true, true}, "abc", "ABD", 1},
      {"descending equal", {ftString, 10, true, true}, "abc", "ABC", 0},
  };
}

TEST(KeyOrderTest, EveryTypeOrdersAsItsValues) {
  for (const OrderCase& c : OrderCases()) {
    for (TIndexKeyType kt : {ikMinStringLen, ikFixed}) {
      SCOPED_TRACE(std::string(c.what) + (kt == ikFixed ? " (fixed)" : ""));
      TestKey k({c.shape}, kt, c.compare);
      const auto ea = k.Entry(c.a), eb = k.Entry(c.b);
      EXPECT_EQ(Sgn(k.format.CompareKeys(0, ea.data(), {}, eb.data(), {})), c.expected);
      EXPECT_EQ(Sgn(k.format.CompareKeys(0, eb.data(), {}, ea.data(), {})), -c.expected);

      TOptimizedSearchKey search;
      search.SetDataFromKeyBuf(k.format, {}, ea.data());
      EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, eb.data())), c.expected);
      const auto ra = k.Record({c.a});
      search.SetDataFromRecBuf(k.format, {}, ra.data());
      EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, eb.data())), c.expected);
    }
  }
}

// ---------------------------------------------------------------------------
// Several fields, prefixes of them, and comparison markers.

struct MultiCase {
  const char* what;
  std::vector<Variant> a, b;
  int keyFieldCount;
  int expected;
};

TEST(KeyOrderTest, MultiFieldKeysComparePrefixesOfTheirFields) {
  const Variant null = Null();
  const std::vector<MultiCase> cases = {
      {"first field decides", {1, "b", 0.0}, {2, "a", 0.0}, 0, -1},
      {"second field decides", {1, "b", 0.0}, {1, "a", 9.0}, 0, 1},
      {"third field decides", {1, "a", 1.0}, {1, "a", 2.0}, 0, -1},
      {"equal", {1, "a", 1.0}, {1, "a", 1.0}, 0, 0},
      {"null middle before empty", {1, null, 5.0}, {1, "", 0.0}, 0, -1},
      // A field without value takes no bytes: the next one is still found.
      {"after a null middle", {1, null, 5.0}, {1, null, 4.0}, 0, 1},
      {"after a null first", {null, "x", 5.0}, {null, "x", 6.0}, 0, -1},
      {"two fields of three", {1, "a", 1.0}, {1, "a", 2.0}, 2, 0},
      {"one field of three", {1, "z", 1.0}, {1, "a", 2.0}, 1, 0},
      {"one field still orders", {1, "z"}, {2, "a"}, 1, -1},
      {"count above the fields means all", {1, "a", 1.0}, {1, "a", 2.0}, 9, -1},
      {"negative count means all", {1, "a", 1.0}, {1, "a", 2.0}, -1, -1},
  };
  for (const MultiCase& c : cases) {
    SCOPED_TRACE(c.what);
    TestKey k({{ftInteger}, {ftString, 10}, {ftFloat}});
    const auto ea = k.Entry(VarArrayOf(c.a)), eb = k.Entry(VarArrayOf(c.b));
    EXPECT_EQ(Sgn(k.format.CompareKeys(c.keyFieldCount, ea.data(), {}, eb.data(), {})), c.expected);
    EXPECT_EQ(Sgn(k.format.CompareKeys(c.keyFieldCount, eb.data(), {}, ea.data(), {})),
              -c.expected);
    TOptimizedSearchKey search;
    const auto ra = k.Record(c.a);
    search.SetDataFromRecBuf(k.format, {}, ra.data());
    EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(c.keyFieldCount, search, eb.data())), c.expected);
  }
}

TEST(KeyOrderTest, DescendingAppliesToItsOwnFieldOnly) {
  TestKey k({{ftInteger}, {ftString, 10, false, true}});
  const auto a = k.Entry(VarArrayOf({1, "a"})), b = k.Entry(VarArrayOf({1, "b"}));
  const auto c = k.Entry(VarArrayOf({2, "z"}));
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, a.data(), {}, b.data(), {})), 1);
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, b.data(), {}, c.data(), {})), -1);
}

TEST(KeyOrderTest, MarkersPlaceASearchKeyAroundEveryValueOfAField) {
  TestKey k({{ftInteger}, {ftString, 10}});
  const Variant null = Null();
  const std::vector<std::vector<uint8_t>> entries = {
      k.Entry(VarArrayOf({null, null})),   k.Entry(VarArrayOf({4, "z"})),
      k.Entry(VarArrayOf({5, null})),      k.Entry(VarArrayOf({5, "a"})),
      k.Entry(VarArrayOf({5, "z"})),       k.Entry(VarArrayOf({6, ""})),
      k.Entry(VarArrayOf({INT_MAX, "zz"}))};
  const TFieldComparisonValue bof[] = {fcDefault, fcForceBOF};
  const TFieldComparisonValue eof[] = {fcDefault, fcForceEOF};
  const TFieldComparisonValue firstEof[] = {fcForceEOF};
  const TFieldComparisonValue firstBof[] = {fcForceBOF};
  const auto five = k.Entry(VarArrayOf({5, "m"}));
  // Expected sign of the search key against each entry.
  const int beforeFives[] = {1, 1, -1, -1, -1, -1, -1};
  const int afterFives[] = {1, 1, 1, 1, 1, -1, -1};
  TOptimizedSearchKey search;
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    const uint8_t* e = entries[i].data();
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), bof, e, {})), beforeFives[i]);
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), eof, e, {})), afterFives[i]);
    // The marked key orders the same when it is the second one.
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, e, {}, five.data(), eof)), -afterFives[i]);
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), firstEof, e, {})), 1);
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), firstBof, e, {})), -1);
    search.SetDataFromKeyBuf(k.format, bof, five.data());
    EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, e)), beforeFives[i]);
    search.SetDataFromKeyBuf(k.format, eof, five.data());
    EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, e)), afterFives[i]);
    search.SetDataFromKeyBuf(k.format, firstEof, five.data());
    EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, e)), 1);
  }
  // Equal markers on both sides fall through to the values.
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), eof, five.data(), eof)), 0);
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, five.data(), eof, entries[3].data(), eof)), 1);
  EXPECT_EQ(search.GetComparisonMarker(0), 1);
  EXPECT_EQ(search.GetComparisonMarker(1), 0);  // beyond the list: by value
}

TEST(KeyOrderTest, MarkersAreInTreeOrderEvenOnDescendingFields) {
  TestKey k({{ftInteger, 0, false, true}});
  const TFieldComparisonValue eof[] = {fcForceEOF};
  const TFieldComparisonValue bof[] = {fcForceBOF};
  const auto key = k.Entry(0);
  for (const Variant& v : {Variant(INT_MIN), Variant(INT_MAX), Null()}) {
    const auto e = k.Entry(v);
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, key.data(), eof, e.data(), {})), 1);
    EXPECT_EQ(Sgn(k.format.CompareKeys(0, key.data(), bof, e.data(), {})), -1);
  }
}

TEST(KeyOrderTest, SearchKeysOrderAsTheirEntriesOverRandomKeys) {
  // The search key compares the entry where it lies, with a first field of
  // 32-bit integers or ANSI text compared inline: over random keys of every
  // first-field kind, with and without case, descending, NULLs, shared
  // prefixes, markers and partial compares, it must give the order of the
  // two entries.
  std::mt19937 rng(2026);
  const std::vector<TFieldShape> firsts = {
      {ftInteger},        {ftAutoInc},  {ftInteger, 0, false, true}, {ftString, 24},
      {ftString, 24, true}, {ftString, 24, true, true}, {ftString, 24, false, true},
      {ftWideString, 24}, {ftFloat},    {ftSmallint}};
  const std::vector<TFieldShape> seconds = {{ftInteger}, {ftInteger, 0, false, true},
                                            {ftString, 8, true}, {ftBoolean}};
  const std::vector<std::string> stems = {"Customer-0000", "customer-0000", "Cust", "",
                                          "\xC4rger-12345678"};
  auto randomValue = [&](const TFieldShape& shape) -> Variant {
    if (rng() % 8 == 0) return Null();
    switch (shape.type) {
      case ftString: {
        std::string s = stems[rng() % stems.size()];
        for (int n = static_cast<int>(rng() % 6); n > 0; --n) s += "aAbB09-\xE4\xC4"[rng() % 9];
        return s.substr(0, static_cast<size_t>(shape.size));
      }
      case ftWideString:
        return std::u16string(u"ab\u00E4\u00C4").substr(0, rng() % 5);
      case ftFloat:
        return static_cast<double>(static_cast<int>(rng() % 7) - 3) / 2.0;
      case ftSmallint:
        return static_cast<short>(static_cast<int>(rng() % 5) - 2);
      case ftBoolean:
        return rng() % 2 == 0;
      default: {
        const int pick = static_cast<int>(rng() % 6);
        if (pick == 0) return INT_MIN;
        if (pick == 1) return INT_MAX;
        return static_cast<int>(rng() % 9) - 4;
      }
    }
  };
  const TFieldComparisonValue markerSets[][2] = {
      {fcDefault, fcDefault}, {fcForceBOF, fcDefault}, {fcForceEOF, fcDefault},
      {fcDefault, fcForceBOF}, {fcDefault, fcForceEOF}};
  for (const TFieldShape& first : firsts) {
    for (const TFieldShape& second : seconds) {
      for (TIndexKeyType kt : {ikMinStringLen, ikFixed}) {
        TestKey k({first, second}, kt);
        std::vector<std::vector<uint8_t>> entries;
        for (int i = 0; i < 40; ++i)
          entries.push_back(k.Entry(VarArrayOf({randomValue(first), randomValue(second)})));
        for (const auto& a : entries) {
          const auto& markers = markerSets[rng() % 5];
          const int keyFieldCount = static_cast<int>(rng() % 3);  // 0 = all
          TOptimizedSearchKey search;
          search.SetDataFromKeyBuf(k.format, markers, a.data());
          for (const auto& b : entries) {
            const int expected =
                Sgn(k.format.CompareKeys(keyFieldCount, a.data(), markers, b.data(), {}));
            ASSERT_EQ(Sgn(k.format.CompareToOptimizedKey(keyFieldCount, search, b.data())),
                      expected)
                << FieldTypeName(first.type) << (first.ci ? " ci" : "")
                << (first.desc ? " desc" : "") << ", " << FieldTypeName(second.type)
                << ", fields " << keyFieldCount;
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Building keys.

TEST(KeyBuildTest, KeysFromRecordsAndFromValuesAgree) {
  const Variant null = Null();
  const std::vector<TFieldShape> shapes = {{ftString, 12},    {ftSmallint}, {ftInteger},  {ftWord},
                                   {ftBoolean},       {ftFloat},    {ftCurrency}, {ftBCD},
                                   {ftDate},          {ftTime},     {ftDateTime}, {ftAutoInc},
                                   {ftWideString, 16}};
  const std::vector<std::vector<Variant>> rows = {
      {"Smith", short(-7), -2000000000, 65535, true, -0.5, 12.25, Variant::FromCurrency(-9),
       Variant::FromDate(45000.0), Variant::FromDate(0.5), Variant::FromDate(45000.75), 42,
       std::u16string(u"\u00C4pfel")},
      {"", short(0), 0, 0, false, 0.0, 0.0, Variant::FromCurrency(0), Variant::FromDate(0.0),
       Variant::FromDate(0.0), Variant::FromDate(0.0), 0, std::u16string()},
      {null, short(1), null, 2, null, 3.0, null, Variant::FromCurrency(1), null,
       Variant::FromDate(0.1), null, 1, null},
      {"twelve chars", null, 1, null, true, null, 1.0, null, Variant::FromDate(1.0), null,
       Variant::FromDate(2.0), null, std::u16string(u"eight ch")},
  };
  for (TIndexKeyType kt : {ikMinStringLen, ikFixed}) {
    TestKey k(shapes, kt);
    for (size_t r = 0; r < rows.size(); ++r) {
      SCOPED_TRACE(r);
      const auto record = k.Record(rows[r]);
      const auto fromRecord = k.EntryFromRecord(record);
      const auto fromValues = k.Entry(VarArrayOf(rows[r]));
      EXPECT_EQ(std::memcmp(fromRecord.data(), fromValues.data(), static_cast<size_t>(k.max_key)),
                0);
      EXPECT_EQ(k.format.CompareKeys(0, fromRecord.data(), {}, fromValues.data(), {}), 0);
      TOptimizedSearchKey search;
      search.SetDataFromRecBuf(k.format, {}, record.data());
      EXPECT_EQ(k.format.CompareToOptimizedKey(0, search, fromValues.data()), 0);
    }
  }
}

// The record layout's own field list and a key over it: the offsets the
// record layer computes are the ones keys read.
TEST(KeyBuildTest, KeysReadRecordsLaidOutByTheFieldList) {
  TInternalFields layout;
  const struct {
    const char* name;
    TFieldType type;
    int size;
  } defs[] = {
      {"ID", ftAutoInc, 0}, {"Name", ftString, 20}, {"Flag", ftBoolean, 0}, {"Amount", ftFloat, 0}};
  for (const auto& d : defs) {
    TInternalFieldItem* f = layout.Add();
    f->SetFieldName(d.name);
    f->SetDataType(d.type);
    if (d.size) f->SetFieldSize(d.size);
    f->SetFieldIndex(layout.Count() - 1);
  }
  layout.SetDefaultOffsets();
  layout.Open();

  TKeyFields keyFields;
  for (const char* name : {"Name", "ID"}) {
    const TInternalFieldItem* src = layout.FindField(name);
    TKeyFieldItem* f = keyFields.Add();
    f->SetFieldName(src->FieldName());
    f->SetDataType(src->DataType());
    f->SetFieldSize(src->FieldSize());
    f->SetRecBufOffset(src->DataOffset());
    f->SetNullFlagOffset(src->NullFlagOffset());
    f->SetSizeMarkerOffset(src->SizeMarkerOffset());
    f->SetPhysicalFieldNo(src->FieldIndex());
  }
  keyFields.SetDataOffset(CalculateKeyDataOffset(keyFields.Count()));
  const int maxKey = CalculateMaximumKeySize(keyFields) + keyFields.DataOffset();
  EXPECT_EQ(maxKey, 10 + 22 + 4 + 1);
  TKeyFormat format;
  format.Open(keyFields, maxKey, ikMinStringLen, DBANSICompareStrings);

  std::vector<uint8_t> record(static_cast<size_t>(layout.RecordSize()), 0);
  const TInternalFieldItem& id = *layout.GetField(0);
  const TInternalFieldItem& name = *layout.GetField(1);
  record[static_cast<size_t>(id.NullFlagOffset())] = 1;
  record[static_cast<size_t>(id.DataOffset())] = 0x2A;  // 42
  record[static_cast<size_t>(name.NullFlagOffset())] = 1;
  record[static_cast<size_t>(name.SizeMarkerOffset())] = 3;
  std::memcpy(record.data() + name.DataOffset(), "Bob", 3);

  std::vector<uint8_t> fromRecord(static_cast<size_t>(maxKey) + 1);
  std::vector<uint8_t> fromValues(static_cast<size_t>(maxKey) + 1);
  const int len = format.ConstructKeyBufFromRecBuf(record.data(), fromRecord.data());
  EXPECT_EQ(len, 10 + 1 + (2 + 3) + 4);
  const uint8_t expected[] = {20,   0, 0, 0,   0,   0,   0,  0, 0, 0,
                              0xC0, 3, 0, 'B', 'o', 'b', 42, 0, 0, 0};
  EXPECT_EQ(std::memcmp(fromRecord.data(), expected, sizeof expected), 0);
  format.ConstructKeyBufFromVariants(VarArrayOf({"Bob", 42}), fromValues.data());
  EXPECT_EQ(std::memcmp(fromRecord.data(), fromValues.data(), static_cast<size_t>(maxKey)), 0);
}

TEST(KeyBuildTest, EntryLengthFollowsTheKeyType) {
  TestKey varKey({{ftString, 20}, {ftInteger}}, ikMinStringLen);
  const auto e = varKey.Entry(VarArrayOf({"ab", 1}));
  EXPECT_EQ(GetKeyEntryLength(e.data()), 10 + 1 + 2 + 2 + 4);
  EXPECT_EQ(GetKeyEntryCount(e.data()), 0u);
  EXPECT_EQ(GetKeyEntryAddress(e.data()), 0u);

  TestKey fixedKey({{ftString, 20}, {ftInteger}}, ikFixed);
  const auto f = fixedKey.Entry(VarArrayOf({"ab", 1}));
  EXPECT_EQ(GetKeyEntryLength(f.data()), fixedKey.max_key);
  EXPECT_EQ(fixedKey.max_key, 10 + 1 + 22 + 4);
  for (int i = 10 + 1 + 4 + 4; i < fixedKey.max_key; ++i) EXPECT_EQ(f[static_cast<size_t>(i)], 0);
}

TEST(KeyBuildTest, OnlyANullFlagOfOneHoldsAValue) {
  TestKey k({{ftInteger}, {ftInteger}});
  auto record = k.Record({1, 2});
  record[kRecordHeaderSize] = 2;  // first field: flag 2
  const auto e = k.EntryFromRecord(record);
  EXPECT_EQ(e[10], 0x40);  // only the second field's bit
  EXPECT_EQ(GetKeyEntryLength(e.data()), 10 + 1 + 4);
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, e.data(), {}, k.Entry(VarArrayOf({Null(), 2})).data(), {})),
            0);
}

TEST(KeyBuildTest, NineFieldsTakeATwoByteBitmap) {
  std::vector<TFieldShape> shapes(9, TFieldShape{ftBoolean});
  TestKey k(shapes);
  EXPECT_EQ(k.format.DataOffset(), 2);
  std::vector<Variant> values(9, Null());
  values[8] = true;
  const auto e = k.Entry(VarArrayOf(values));
  EXPECT_EQ(e[10], 0);
  EXPECT_EQ(e[11], 0x80);
  EXPECT_EQ(e[12], 1);
  EXPECT_EQ(GetKeyEntryLength(e.data()), 13);

  TKeyFields narrow;
  for (int i = 0; i < 9; ++i) narrow.Add()->SetDataType(ftBoolean);
  narrow.SetDataOffset(1);  // too small for nine bits
  TKeyFormat format;
  ExpectEngineError(8581, "KeyBuffers invalid",
                    [&] { format.Open(narrow, 100, ikFixed, DBANSICompareStrings); });
}

TEST(KeyBuildTest, SearchKeysHoldMoreThanThirtyTwoFields) {
  std::vector<TFieldShape> shapes(40, TFieldShape{ftBoolean});
  TestKey k(shapes);
  std::vector<Variant> low(40, Variant(false)), high(40, Variant(false));
  high[39] = true;
  const auto el = k.Entry(VarArrayOf(low)), eh = k.Entry(VarArrayOf(high));
  TOptimizedSearchKey search;
  search.SetDataFromKeyBuf(k.format, {}, eh.data());
  EXPECT_EQ(search.FieldCount(), 40);
  EXPECT_TRUE(search.GetNullFlags(39));
  EXPECT_EQ(*search.GetData(39), 1);
  EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(0, search, el.data())), 1);
  EXPECT_EQ(Sgn(k.format.CompareToOptimizedKey(39, search, el.data())), 0);
  EXPECT_EQ(Sgn(k.format.CompareKeys(0, el.data(), {}, eh.data(), {})), -1);

  // Reloaded from a smaller key, the getters stop at its fields.
  TestKey small({TFieldShape{ftInteger}});
  const auto es = small.Entry(5);
  search.SetDataFromKeyBuf(small.format, {}, es.data());
  EXPECT_EQ(search.FieldCount(), 1);
  EXPECT_EQ(search.GetDataSize(0), 4);
  EXPECT_THROW(search.GetNullFlags(1), EAssertionFailed);
}

TEST(KeyBuildTest, ValuesAreConvertedByFieldType) {
  TestKey k({{ftString, 5}, {ftWideString, 6}, {ftInteger}});
  // Text longer than the field is cut to its size; fields beyond the values
  // have none.
  auto e = k.Entry(VarArrayOf({"abcdefgh", std::u16string(u"wxyz")}));
  EXPECT_EQ(e[10], 0xC0);
  EXPECT_EQ(e[11], 5);
  EXPECT_EQ(std::memcmp(e.data() + 13, "abcde", 5), 0);
  EXPECT_EQ(e[18], 6);  // three wide characters
  EXPECT_EQ(GetKeyEntryLength(e.data()), 11 + 7 + 8);
  // A single value is the first field's.
  e = k.Entry("x");
  EXPECT_EQ(e[10], 0x80);
  // Numbers become text, text numbers.
  TestKey n({{ftString, 10}, {ftInteger}});
  EXPECT_EQ(Sgn(n.format.CompareKeys(0, n.Entry(VarArrayOf({12, "34"})).data(), {},
                                     n.Entry(VarArrayOf({"12", 34})).data(), {})),
            0);
  // An empty array gives a key without values.
  e = k.Entry(VarArrayCreate(0, -1, varVariant));
  EXPECT_EQ(GetKeyEntryLength(e.data()), 11);

  TestKey w({TFieldShape{ftWord}});
  EXPECT_THROW(w.Entry(70000), EVariantOverflowError);
  EXPECT_THROW(w.Entry(-1), EVariantOverflowError);
  TestKey s({TFieldShape{ftSmallint}});
  EXPECT_THROW(s.Entry(40000), EVariantOverflowError);
}

// ---------------------------------------------------------------------------
// Damaged records and entries.

TEST(KeyDamageTest, AStringLengthAboveTheFieldSizeRaises) {
  TestKey k({{ftInteger}, {ftString, 10}});
  auto record = k.Record({1, "0123456789"});
  EXPECT_NO_THROW(k.EntryFromRecord(record));  // exactly the size is fine
  const TKeyFieldItem& name = *k.fields.Items(1);
  record[static_cast<size_t>(name.SizeMarkerOffset())] = 11;
  EngineErrorOf(8581, [&] { k.EntryFromRecord(record); });
  TOptimizedSearchKey search;
  EngineErrorOf(8581, [&] { search.SetDataFromRecBuf(k.format, {}, record.data()); });
  record[static_cast<size_t>(name.SizeMarkerOffset()) + 1] = 0xFF;  // 65291
  EngineErrorOf(8581, [&] { k.EntryFromRecord(record); });
}

TEST(KeyDamageTest, DamagedEntriesRaiseInsteadOfReadingPastThem) {
  TestKey k({{ftString, 10}, {ftInteger}});
  const auto good = k.Entry(VarArrayOf({"abc", 1}));
  TOptimizedSearchKey search;

  // Longer than the index allows.
  auto bad = good;
  SetKeyEntryLength(bad.data(), static_cast<uint16_t>(k.max_key + 1));
  ExpectEngineError(8581, "KeySize out of range",
                    [&] { k.format.CompareKeys(0, bad.data(), {}, good.data(), {}); });
  EngineErrorOf(8581, [&] { k.format.CompareKeys(0, good.data(), {}, bad.data(), {}); });
  EngineErrorOf(8581, [&] { search.SetDataFromKeyBuf(k.format, {}, bad.data()); });
  search.SetDataFromKeyBuf(k.format, {}, good.data());
  EngineErrorOf(8581, [&] { k.format.CompareToOptimizedKey(0, search, bad.data()); });

  // Too short for its bitmap.
  bad = good;
  SetKeyEntryLength(bad.data(), 10);
  EngineErrorOf(8581, [&] { k.format.CompareKeys(0, bad.data(), {}, good.data(), {}); });

  // A string length running past the entry's own length; the entry sits in a
  // buffer of exactly that length, so a read past it would be caught.
  const int len = GetKeyEntryLength(good.data());
  std::vector<uint8_t> exact(good.begin(), good.begin() + len);
  exact[11] = 200;
  EngineErrorOf(8581, [&] { k.format.CompareKeys(0, exact.data(), {}, good.data(), {}); });
  EngineErrorOf(8581, [&] { k.format.CompareToOptimizedKey(0, search, exact.data()); });
  EngineErrorOf(8581, [&] { search.SetDataFromKeyBuf(k.format, {}, exact.data()); });
  // A presence bit for data the entry does not hold.
  exact = std::vector<uint8_t>(good.begin(), good.begin() + len - 4);
  SetKeyEntryLength(exact.data(), static_cast<uint16_t>(len - 4));
  EngineErrorOf(8581, [&] { k.format.CompareKeys(0, exact.data(), {}, good.data(), {}); });
}

// ---------------------------------------------------------------------------
// Sizes and descriptions.

TEST(KeySizeTest, MaximumKeySizeCountsCoreAndStringSizes) {
  TKeyFields fields;
  fields.Add()->SetDataType(ftInteger);
  TKeyFieldItem* name = fields.Add();
  name->SetDataType(ftString);
  name->SetFieldSize(20);
  fields.Add()->SetDataType(ftBoolean);
  EXPECT_EQ(CalculateMaximumKeySize(fields), 10 + 4 + 22 + 1);
  TKeyFieldItem* wide = fields.Add();
  wide->SetDataType(ftWideString);
  wide->SetFieldSize(30);
  EXPECT_EQ(CalculateMaximumKeySize(fields), 37 + 32);
  EXPECT_EQ(CalculateKeyFieldSize(ftBCD, 99), 8);

  fields.Add()->SetDataType(ftBytes);
  const std::string msg = EngineErrorOf(10117, [&] { CalculateMaximumKeySize(fields); });
  EXPECT_TRUE(Contains(msg, "Error in setting CoreDataSize - field type not found: Bytes")) << msg;
}

TEST(KeySizeTest, AbsurdDeclaredSizesAreRefusedNotWrapped) {
  TKeyFields fields;
  TKeyFieldItem* a = fields.Add();
  a->SetDataType(ftString);
  a->SetFieldSize(0x7FFFFFF0);
  TKeyFieldItem* b = fields.Add();
  b->SetDataType(ftString);
  b->SetFieldSize(0x7FFFFFF0);
  EXPECT_TRUE(Contains(EngineErrorOf(8581, [&] { CalculateMaximumKeySize(fields); }),
                       "KeySize out of range"));
  a->SetFieldSize(-5);
  EXPECT_TRUE(Contains(EngineErrorOf(8581, [&] { CalculateMaximumKeySize(fields); }),
                       "KeySize out of range"));
}

TEST(KeySizeTest, OpenRefusesKeysThatCannotBeBuiltSafely) {
  TKeyFormat format;
  TKeyFields fields;
  ExpectEngineError(8581, "KeyBuffers invalid",
                    [&] { format.Open(fields, 100, ikFixed, DBANSICompareStrings); });

  TKeyFieldItem* f = fields.Add();
  f->SetDataType(ftLargeint);
  fields.SetDataOffset(1);
  ExpectEngineError(8581, "Field type not found: Largeint",
                    [&] { format.Open(fields, 100, ikFixed, DBANSICompareStrings); });

  f->SetDataType(ftString);
  f->SetFieldSize(20);
  f->SetSizeMarkerOffset(15);
  f->SetRecBufOffset(17);
  // 10 + 1 + 22 = 33 bytes needed.
  ExpectEngineError(8581, "Invalid key size: 32",
                    [&] { format.Open(fields, 32, ikFixed, DBANSICompareStrings); });
  ExpectEngineError(8581, "Invalid key size: 70000",
                    [&] { format.Open(fields, 70000, ikFixed, DBANSICompareStrings); });
  EngineErrorOf(8581, [&] { format.Open(fields, 33, ikFixed, nullptr); });
  EngineErrorOf(
      8581, [&] { format.Open(fields, 33, static_cast<TIndexKeyType>(7), DBANSICompareStrings); });
  f->SetFieldSize(-1);
  EngineErrorOf(8581, [&] { format.Open(fields, 33, ikFixed, DBANSICompareStrings); });
  f->SetFieldSize(20);
  format.Open(fields, 33, ikFixed, DBANSICompareStrings);
  EXPECT_TRUE(format.IsOpen());
  EXPECT_EQ(format.KeyFieldCount(), 1);
  format.Close();
  EXPECT_FALSE(format.IsOpen());
}

TEST(KeySizeTest, FixedFieldsTakeTheirTypesSize) {
  // A fixed field whose declared size disagrees with its type still takes
  // the type's bytes, so entries never outgrow CalculateMaximumKeySize.
  TestKey k({TFieldShape{ftInteger}});
  k.fields.Items(0)->SetFieldSize(100);
  TKeyFormat format;
  format.Open(k.fields, k.max_key, ikMinStringLen, DBANSICompareStrings);
  std::vector<uint8_t> e(static_cast<size_t>(k.max_key));
  EXPECT_EQ(format.ConstructKeyBufFromRecBuf(k.Record({7}).data(), e.data()), 10 + 1 + 4);
}

TEST(KeyFieldsTest, FindAndCountFieldsWithoutRegardToCase) {
  TKeyFields fields;
  for (const char* index : {"ByName", "BYNAME", "Primary"}) {
    TKeyFieldItem* f = fields.Add();
    f->SetIndexName(index);
    f->SetFieldName(std::string("F") + index);
  }
  EXPECT_EQ(fields.FindFieldCountForIndex("byname"), 2);
  EXPECT_EQ(fields.FindFieldCountForIndex("none"), 0);
  EXPECT_EQ(fields.FindField("fprimary"), fields.Items(2));
  EXPECT_EQ(fields.FindField("x"), nullptr);
}

TEST(KeyFieldsTest, AssignCopiesAllThirteenProperties) {
  TKeyFields src;
  TKeyFieldItem* f = src.Add();
  f->SetCaseInsensitive(true);
  f->SetDescending(true);
  f->SetFieldSize(30);
  f->SetDataType(ftWideString);
  f->SetIsVariable(true);
  f->SetFieldName("Name");
  f->SetRecBufOffset(40);
  f->SetNullFlagOffset(15);
  f->SetPhysicalFieldNo(3);
  f->SetIndexName("ByName");
  f->SetHidden(true);
  f->SetSizeMarkerOffset(38);
  f->SetKeyIndex(2);
  TKeyFields dst;
  dst.Assign(src);
  ASSERT_EQ(dst.Count(), 1);
  const TKeyFieldItem& d = *dst.GetIndex(0);
  EXPECT_TRUE(d.CaseInsensitive());
  EXPECT_TRUE(d.Descending());
  EXPECT_EQ(d.FieldSize(), 30);
  EXPECT_EQ(d.DataType(), ftWideString);
  EXPECT_TRUE(d.IsVariable());
  EXPECT_EQ(d.FieldName(), "Name");
  EXPECT_EQ(d.RecBufOffset(), 40);
  EXPECT_EQ(d.NullFlagOffset(), 15);
  EXPECT_EQ(d.PhysicalFieldNo(), 3);
  EXPECT_EQ(d.IndexName(), "ByName");
  EXPECT_TRUE(d.Hidden());
  EXPECT_EQ(d.SizeMarkerOffset(), 38);
  EXPECT_EQ(d.KeyIndex(), 2);
}

TEST(KeyDecodeTest, EntriesDecodeToOneLinePerField) {
  TestKey k({{ftInteger}, {ftString, 10}, {ftBoolean}, {ftBCD}});
  auto e = k.Entry(VarArrayOf({-7, Null(), true, Variant::FromCurrency(15000)}));
  SetKeyEntryCount(e.data(), 1);
  SetKeyEntryAddress(e.data(), 4096);
  TStringList lines;
  k.format.DecodeKeyBufAsStrings(e.data(), lines);
  ASSERT_EQ(lines.Count(), 7);
  EXPECT_EQ(lines.Strings(0), "Size=" + std::to_string(GetKeyEntryLength(e.data())));
  EXPECT_EQ(lines.Strings(1), "Count=1");
  EXPECT_EQ(lines.Strings(2), "Addr=4096");
  EXPECT_EQ(lines.Strings(3), "-7");
  EXPECT_EQ(lines.Strings(4), "NULL");
  EXPECT_EQ(lines.Strings(5), "True");
  EXPECT_EQ(lines.Strings(6), "1.5");

  SetKeyEntryLength(e.data(), static_cast<uint16_t>(k.max_key + 5));
  ExpectEngineError(8581, "Invalid key size: " + std::to_string(k.max_key + 5),
                    [&] { k.format.DecodeKeyBufAsStrings(e.data(), lines); });
}

}  // namespace
}  // namespace tav

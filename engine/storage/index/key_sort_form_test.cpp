#include "engine/storage/index/key_sort_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/index/key_fields.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/rtl/variant.h"

namespace tav {
namespace {

using host::TFieldType;
using host::Variant;

int Sgn(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

struct TShape {
  TFieldType Type;
  bool CaseInsensitive = false;
  bool Descending = false;
};

// An open key format over the shapes; entries are built from values.
class TKey {
 public:
  explicit TKey(const std::vector<TShape>& shapes, TDBStringCompare compare = DBANSICompareStrings) {
    for (const TShape& s : shapes) {
      TKeyFieldItem* f = fields_.Add();
      f->SetDataType(s.Type);
      f->SetCaseInsensitive(s.CaseInsensitive);
      f->SetDescending(s.Descending);
      const bool text = s.Type == host::ftString || s.Type == host::ftWideString;
      f->SetFieldSize(text ? 16 : CalculateCoreDataSize(s.Type));
    }
    fields_.SetDataOffset(CalculateKeyDataOffset(fields_.Count()));
    max_ = CalculateMaximumKeySize(fields_) + fields_.DataOffset();
    Format.Open(fields_, max_, ikMinStringLen, compare);
  }
  std::vector<uint8_t> Entry(const std::vector<Variant>& values) const {
    std::vector<uint8_t> e(static_cast<size_t>(max_) + 1, 0);
    Format.ConstructKeyBufFromVariants(host::VarArrayOf(values), e.data());
    return e;
  }
  std::vector<uint8_t> Form(const TKeySortForm& form, const std::vector<uint8_t>& entry) const {
    std::vector<uint8_t> out;
    form.Append(entry.data(), out);
    return out;
  }

  TKeyFormat Format;

 private:
  TKeyFields fields_;
  int max_ = 0;
};

int FormOrder(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return Sgn(TKeySortForm::Compare(a.data(), a.size(), b.data(), b.size()));
}

// A value of the type, Null now and then, drawn from few values so that
// keys tie field by field.
Variant RandomValue(TFieldType type, std::mt19937& rng) {
  if (rng() % 6 == 0) return host::Null();
  static const char* const kTexts[] = {"", "a", "A", "\xE1", "ab", "aB", "Ab", "\xC1" "b", "b",
                                       "a b", "a-b", "ss", "\xDF", "z", "\xFE", "a\x01", "B"};
  static const double kReals[] = {-1e300, -2.5, -0.0, 0.0, 1e-300, 2.5, 3.0,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity()};
  switch (type) {
    case host::ftString:
      return Variant(std::string(kTexts[rng() % std::size(kTexts)]));
    case host::ftWideString: {
      // A lone surrogate half among them.
      static const std::u16string kWide[] = {u"", u"a", u"A", u"\u00E4", u"\u4E2D", u"\U0001F600",
                                             u"a\u0100", u"\u0178", std::u16string(1, char16_t{0xD800})};
      return Variant(kWide[rng() % std::size(kWide)]);
    }
    case host::ftSmallint:
      return Variant(static_cast<int16_t>(static_cast<int>(rng() % 7) * 11000 - 32768));
    case host::ftWord:
      return Variant(static_cast<int32_t>(rng() % 5) * 16000);
    case host::ftBoolean:
      return Variant(rng() % 2 == 0);
    case host::ftBCD:
      return Variant::FromCurrency(static_cast<int64_t>(rng() % 9) * 900000000000000LL - 4000000000000000LL);
    case host::ftFloat:
    case host::ftDate:
    case host::ftDateTime:
      return Variant(kReals[rng() % std::size(kReals)]);
    default:
      return Variant(static_cast<int32_t>(static_cast<int64_t>(rng() % 9) * 500000000 - 2000000000));
  }
}

void ExpectFormsOrderAsKeys(const TKey& key, const std::vector<TShape>& shapes, unsigned seed) {
  const TKeySortForm form(key.Format);
  ASSERT_TRUE(form.Complete());
  std::mt19937 rng(seed);
  std::vector<std::vector<uint8_t>> entries, forms;
  for (int i = 0; i < 160; ++i) {
    std::vector<Variant> values;
    for (const TShape& s : shapes) values.push_back(RandomValue(s.Type, rng));
    entries.push_back(key.Entry(values));
    forms.push_back(key.Form(form, entries.back()));
  }
  for (size_t i = 0; i < entries.size(); ++i)
    for (size_t j = 0; j < entries.size(); ++j)
      ASSERT_EQ(FormOrder(forms[i], forms[j]),
                Sgn(key.Format.CompareKeys(0, entries[i].data(), {}, entries[j].data(), {})))
          << "keys " << i << " and " << j << " of seed " << seed;
}

TEST(KeySortFormTest, FormsOrderAsTheirKeysOverRandomKeys) {
  // Every keyable type, with and without case, ascending and descending,
  // Null in any field, under both string orders of a table.
  const std::vector<std::vector<TShape>> keys = {
      {{host::ftInteger}, {host::ftString, true}},
      {{host::ftString, false, true}, {host::ftSmallint}},
      {{host::ftString, true, true}, {host::ftInteger, false, true}},
      {{host::ftWideString, true}, {host::ftFloat, false, true}},
      {{host::ftWideString, false, true}, {host::ftBoolean}},
      {{host::ftWord}, {host::ftBCD, false, true}, {host::ftDate}, {host::ftAutoInc}},
      {{host::ftDateTime, false, true}, {host::ftString}, {host::ftBoolean, false, true}},
  };
  unsigned seed = 1;
  for (const auto& shapes : keys) {
    ExpectFormsOrderAsKeys(TKey(shapes), shapes, seed++);
    ExpectFormsOrderAsKeys(TKey(shapes, DBASCIICompareStrings), shapes, seed++);
  }
}

TEST(KeySortFormTest, NotANumberHasAPlaceOfItsOwnAfterEveryNumber) {
  // The key compare finds a NaN equal to every value, which is no order to
  // sort by: its form comes after +infinity, and every NaN is the same.
  for (bool descending : {false, true}) {
    const TKey key(std::vector<TShape>{{host::ftFloat, false, descending}});
    const TKeySortForm form(key.Format);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto formNan = key.Form(form, key.Entry({Variant(nan)}));
    const auto otherNan = key.Form(form, key.Entry({Variant(-nan)}));
    const auto inf = key.Form(form, key.Entry({Variant(std::numeric_limits<double>::infinity())}));
    EXPECT_EQ(FormOrder(formNan, otherNan), 0);
    EXPECT_EQ(FormOrder(formNan, inf), descending ? -1 : 1);
    EXPECT_EQ(FormOrder(key.Form(form, key.Entry({host::Null()})), formNan), descending ? 1 : -1);
  }
}

int OtherStringOrder(const char* s1, const char* s2, int len1, int len2, bool ci, bool partial) {
  return DBASCIICompareStrings(s2, s1, len2, len1, ci, partial);
}

TEST(KeySortFormTest, AStringOrderWithoutAByteFormEndsTheForm) {
  const TKey key({{host::ftInteger}, {host::ftString}, {host::ftInteger}}, OtherStringOrder);
  const TKeySortForm form(key.Format);
  EXPECT_EQ(form.Fields(), 1);
  EXPECT_FALSE(form.Complete());
  // Keys apart only from the string on have equal forms: the caller's
  // compare must tell them apart.
  const auto a = key.Entry({Variant(5), Variant(std::string("a")), Variant(1)});
  const auto b = key.Entry({Variant(5), Variant(std::string("b")), Variant(0)});
  EXPECT_EQ(FormOrder(key.Form(form, a), key.Form(form, b)), 0);
  EXPECT_EQ(FormOrder(key.Form(form, a), key.Form(form, key.Entry({Variant(6)}))), -1);
}

TEST(KeySortFormTest, DamagedEntriesRaise) {
  const TKey key(std::vector<TShape>{{host::ftString}});
  const TKeySortForm form(key.Format);
  auto entry = key.Entry({Variant(std::string("abc"))});
  std::vector<uint8_t> out;
  // The string's length word runs past the entry.
  auto longer = entry;
  longer[kKeyEntryHeaderSize + 1] = 200;
  EXPECT_EQ(test::ErrorCodeOf([&] { form.Append(longer.data(), out); }), 8581);
  // The entry claims more than the format allows.
  SetKeyEntryLength(entry.data(), static_cast<uint16_t>(key.Format.MaximumKeySize() + 1));
  EXPECT_EQ(test::ErrorCodeOf([&] { form.Append(entry.data(), out); }), 8581);
}

}  // namespace
}  // namespace tav

#include "engine/storage/index/key_sort_form.h"

#include <bit>
#include <cmath>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/index/key_fields.h"
#include "host/rtl/collation.h"

namespace tav {

namespace {

const char kCaller[] = "TKeySortForm.Append";

// Whether field f's values have a byte form under the format's string
// compare: every type the key format admits has one, 8-bit strings only
// under the engine's own two orders.
bool HasForm(const TKeyFormat::TField& f, TDBStringCompare compare) {
  if (f.DataType != host::ftString) return true;
  return compare == &DBANSICompareStrings || compare == &DBASCIICompareStrings;
}

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void PutBigEndian(uint64_t v, int bytes, std::vector<uint8_t>& out) {
  for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

// A real's bits ordered as unsigned numbers: negative numbers turned round
// whole, positive ones with the sign bit set. -0 counts as 0, as the compare
// finds them equal; a NaN goes after +infinity.
uint64_t RealOrder(double d) {
  if (std::isnan(d)) return UINT64_MAX;
  if (d == 0) d = 0;
  const auto bits = std::bit_cast<uint64_t>(d);
  return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// The byte order of DBASCIICompareStrings: each byte (upper-cased for a
// compare without case), a zero byte escaped as 0 255 so that 0 0 can end
// the string.
void AppendAsciiForm(const uint8_t* p, int size, bool caseInsensitive, std::vector<uint8_t>& out) {
  for (int k = 0; k < size; ++k) {
    uint8_t c = p[k];
    if (caseInsensitive && c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
    out.push_back(c);
    if (c == 0) out.push_back(0xFF);
  }
  out.push_back(0);
  out.push_back(0);
}

}  // namespace

TKeySortForm::TKeySortForm(const TKeyFormat& format) : format_(format) {
  TAV_ASSERT(format.IsOpen(), "Key format is not open");
  const int n = format.KeyFieldCount();
  while (fields_ < n && HasForm(format.Field(fields_), format.StringCompare())) ++fields_;
  complete_ = fields_ == n;
}

void TKeySortForm::Append(const uint8_t* entry, std::vector<uint8_t>& out) const {
  const int len = CheckedEntryLength(format_, entry, kCaller);
  const bool ascii = format_.StringCompare() == &DBASCIICompareStrings;
  int pos = kKeyEntryHeaderSize + format_.DataOffset();
  for (int i = 0; i < fields_; ++i) {
    const TKeyFormat::TField& f = format_.Field(i);
    const size_t start = out.size();
    const bool has = KeyEntryHasValue(entry, i);
    out.push_back(has ? 1 : 0);
    if (has) {
      const uint8_t* p = nullptr;
      int size = 0;
      ReadEntryField(f, entry, len, pos, p, size, kCaller);
      switch (f.DataType) {
        case host::ftString:
          if (ascii)
            AppendAsciiForm(p, size, f.CaseInsensitive, out);
          else
            host::AppendAnsiSortKey(reinterpret_cast<const char*>(p), static_cast<size_t>(size),
                                    f.CaseInsensitive, out);
          break;
        case host::ftWideString:
          host::AppendWideSortKeyLE(p, static_cast<size_t>(size) / 2, f.CaseInsensitive, out);
          break;
        case host::ftBoolean:
          out.push_back(*p);
          break;
        case host::ftWord:
          PutBigEndian(Load<uint16_t>(p), 2, out);
          break;
        case host::ftSmallint:
          PutBigEndian(static_cast<uint16_t>(Load<uint16_t>(p) ^ 0x8000u), 2, out);
          break;
        case host::ftInteger:
        case host::ftAutoInc:
          PutBigEndian(Load<uint32_t>(p) ^ 0x80000000u, 4, out);
          break;
        case host::ftBCD:
          PutBigEndian(Load<uint64_t>(p) ^ (uint64_t{1} << 63), 8, out);
          break;
        default:  // the reals
          PutBigEndian(RealOrder(Load<double>(p)), 8, out);
          break;
      }
    }
    if (f.Descending)
      for (size_t k = start; k < out.size(); ++k) out[k] = static_cast<uint8_t>(~out[k]);
  }
}

}  // namespace tav

// TKeySortForm: index keys turned into byte strings whose plain byte order
// (unsigned bytes, the shorter first where one is a prefix of the other) is
// the key order of their TKeyFormat, so that sorting many keys costs one
// byte compare per comparison instead of a walk over the key's fields.
//
// The form of a key is, field by field: a presence byte (0 no value, 1 a
// value), then the value's bytes: integers big-endian with the sign bit
// turned round, reals the same way on their bits (-0 as 0), 8-bit strings
// under the engine's collation or byte order and wide strings as their
// collation sort keys (host/rtl/collation.h). Every byte of a Descending
// field's part is turned round. No field's form is a prefix of another form
// of the same field, so the forms of whole keys compare field by field.
//
// Two keys have equal forms exactly when CompareKeys finds them equal, with
// one exception: a real that is not a number, which CompareKeys finds equal
// to every value, has a place of its own after every number, so that the
// forms are always a total order.
//
// A string field under a compare routine that has no byte form (neither the
// engine's collation nor its byte order) ends the form: Fields() is then
// below the key's field count, and keys with equal forms must still be told
// apart by CompareKeys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tav {

class TKeyFormat;

class TKeySortForm {
 public:
  // The format must outlive the form and stay open and unchanged.
  explicit TKeySortForm(const TKeyFormat& format);

  // Leading key fields the form orders.
  int Fields() const { return fields_; }
  // True when the form orders every key field.
  bool Complete() const { return complete_; }

  // Appends the form of `entry`, an index entry of the format. An entry
  // longer than the format allows, or whose data runs past its length,
  // raises 8581 "KeySize out of range".
  void Append(const uint8_t* entry, std::vector<uint8_t>& out) const;

  // The order of two forms: negative, 0 or positive.
  static int Compare(const uint8_t* a, size_t lengthA, const uint8_t* b, size_t lengthB) {
    const int c = std::memcmp(a, b, lengthA < lengthB ? lengthA : lengthB);
    if (c != 0) return c;
    return lengthA == lengthB ? 0 : (lengthA < lengthB ? -1 : 1);
  }

 private:
  const TKeyFormat& format_;
  int fields_ = 0;
  bool complete_ = false;
};

}  // namespace tav

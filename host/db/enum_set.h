// TEnumSet: a set over a small enumeration, held as one bit per member
// (member ordinal n is bit n), as the host library's Pascal-style sets are
// stored. Members must have ordinals 0..63; the bit image (Bits/FromBits) is
// what goes to a file or a stream, so member ordinals must never change.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace host {

template <class E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> members) {
    for (E m : members) bits_ |= Bit(m);
  }
  static constexpr TEnumSet FromBits(uint64_t bits) {
    TEnumSet s;
    s.bits_ = bits;
    return s;
  }

  constexpr uint64_t Bits() const { return bits_; }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr void Include(E m) { bits_ |= Bit(m); }
  constexpr void Exclude(E m) { bits_ &= ~Bit(m); }

  // Union, difference and intersection, as the host's "+", "-" and "*".
  constexpr TEnumSet operator+(TEnumSet o) const { return FromBits(bits_ | o.bits_); }
  constexpr TEnumSet operator-(TEnumSet o) const { return FromBits(bits_ & ~o.bits_); }
  constexpr TEnumSet operator*(TEnumSet o) const { return FromBits(bits_ & o.bits_); }
  constexpr bool operator==(const TEnumSet&) const = default;

 private:
  static constexpr uint64_t Bit(E m) { return uint64_t{1} << static_cast<unsigned>(m); }
  uint64_t bits_ = 0;
};

}  // namespace host

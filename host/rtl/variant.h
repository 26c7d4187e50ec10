// Variant: the host library's self-describing value. A kind tag (the VarType
// code) says which storage is live: an integer (smallint, integer, int64, or
// currency as ten-thousandths), a double (double, or a TDateTime date), a
// boolean, an 8-bit Windows-1252 string, a UTF-16 wide string, or a
// one-dimensional array of Variants. Empty (Unassigned) and Null are distinct:
// Empty converts to 0, False or an empty string; Null converts to nothing and
// raises EVariantTypeCastError, as the host's strict Null rule has it.
//
// Conversions follow the host library's rules: to an integer type rounds halves
// to even; True is -1 as a number; text is read as a number with '.' as the
// decimal separator; a value out of the target's range raises
// EVariantOverflowError; text that is not a number raises
// EVariantTypeCastError "Could not convert variant of type (String) into type
// (Integer)". Wide and 8-bit text convert through Windows-1252, characters it
// lacks becoming '?'.
//
// Copying a Variant copies an array's elements too (value semantics).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/exceptions.h"

namespace host {

using TVarType = uint16_t;

inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;
inline constexpr TVarType varInteger = 0x0003;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varOleStr = 0x0008;
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varVariant = 0x000C;  // element type of a Variant array
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varString = 0x0100;
inline constexpr TVarType varTypeMask = 0x0FFF;
inline constexpr TVarType varArray = 0x2000;

class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

// "Could not convert variant of type (<from>) into type (<to>)".
class EVariantTypeCastError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Overflow while converting variant of type (<from>) into type (<to>)".
class EVariantOverflowError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Variant or safe array index out of bounds".
class EVariantBadIndexError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Error creating variant or safe array".
class EVariantArrayCreateError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Variant is not an array".
class EVariantNotAnArrayError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

class Variant {
 public:
  Variant() noexcept = default;  // Unassigned
  Variant(short v) : vtype_(varSmallint), int_(v) {}
  Variant(int v) : vtype_(varInteger), int_(v) {}
  Variant(long v) : vtype_(varInt64), int_(v) {}
  Variant(long long v) : vtype_(varInt64), int_(v) {}
  Variant(double v) : vtype_(varDouble), dbl_(v) {}
  Variant(bool v) : vtype_(varBoolean), bool_(v) {}
  Variant(const char* v) : vtype_(varString), str_(v ? v : "") {}
  Variant(std::string v) : vtype_(varString), str_(std::move(v)) {}
  Variant(std::string_view v) : vtype_(varString), str_(v) {}
  Variant(const char16_t* v) : vtype_(varOleStr), wstr_(v ? v : u"") {}
  Variant(std::u16string v) : vtype_(varOleStr), wstr_(std::move(v)) {}

  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  // A currency value given in ten-thousandths (1.5 is 15000).
  static Variant FromCurrency(int64_t scaled);
  // A date given as a TDateTime (days since 1899-12-30, time as the fraction).
  static Variant FromDate(double dateTime);

  TVarType VType() const { return vtype_; }
  bool IsEmpty() const { return vtype_ == varEmpty; }
  bool IsNull() const { return vtype_ == varNull; }
  bool IsArray() const { return (vtype_ & varArray) != 0; }

  // The text of a varString (StrRef) or varOleStr (WideStrRef) Variant, without
  // a copy; meaningful for those kinds only.
  const std::string& StrRef() const { return str_; }
  const std::u16string& WideStrRef() const { return wstr_; }

  // Conversions; each raises as the header comment says.
  int16_t AsSmallint() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  double AsDouble() const;
  int64_t AsCurrency() const;  // ten-thousandths
  double AsDateTime() const;
  bool AsBoolean() const;
  std::string AsString() const;
  std::u16string AsWideString() const;

  // Array access (index within the bounds, else EVariantBadIndexError; not an
  // array: EVariantNotAnArrayError).
  const Variant& Element(int index) const;
  void PutElement(int index, const Variant& value);
  int LowBound() const;
  int HighBound() const;

 private:
  struct TVarArray;
  // Frees an array where its layout is known, so that this header need not show it.
  struct TVarArrayDeleter {
    void operator()(TVarArray* a) const noexcept;
  };
  friend Variant VarArrayCreate(int lowBound, int highBound, TVarType varType);
  friend Variant VarArrayOf(const std::vector<Variant>& values);
  friend Variant Null();

  [[noreturn]] void CastError(TVarType to) const;
  [[noreturn]] void OverflowError(TVarType to) const;
  int64_t ToIntegral(TVarType to, int64_t lo, int64_t hi) const;
  const TVarArray& ArrayRef() const;

  TVarType vtype_ = varEmpty;
  int64_t int_ = 0;  // smallint, integer, int64, currency (ten-thousandths)
  double dbl_ = 0;   // double, date
  bool bool_ = false;
  std::string str_;
  std::u16string wstr_;
  std::unique_ptr<TVarArray, TVarArrayDeleter> array_;
};

Variant Unassigned();
Variant Null();
inline Variant VarFromDateTime(double dateTime) {
  return Variant::FromDate(dateTime);
}

inline TVarType VarType(const Variant& v) {
  return v.VType();
}
inline bool VarIsEmpty(const Variant& v) {
  return v.IsEmpty();
}
inline bool VarIsNull(const Variant& v) {
  return v.IsNull();
}
inline bool VarIsArray(const Variant& v) {
  return v.IsArray();
}
// An 8-bit or wide string.
bool VarIsStr(const Variant& v);
// An integer type, a boolean, a double or a currency (not a date).
bool VarIsNumeric(const Variant& v);

// The type's name as the host's messages show it: "Integer", "String",
// "OleStr", "Array Variant", ...
std::string VarTypeAsText(TVarType varType);

// Raises EVariantTypeCastError "Could not convert variant of type (<from>) into
// type (<to>)".
[[noreturn]] void VarCastError(TVarType from, TVarType to);

// `v` converted to `varType` (varEmpty and varNull give Unassigned and Null).
Variant VarAsType(const Variant& v, TVarType varType);
// The text of `v`; Null gives an empty string here (unlike AsString).
std::string VarToStr(const Variant& v);
std::u16string VarToWideStr(const Variant& v);
inline double VarToDateTime(const Variant& v) {
  return v.AsDateTime();
}

// A one-dimensional array with bounds lowBound..highBound (highBound may be
// lowBound - 1 for an empty array); varType must be varVariant, anything else
// raises EVariantArrayCreateError, as do bounds that do not make an array.
Variant VarArrayCreate(int lowBound, int highBound, TVarType varType);
// An array with bounds 0..n-1 holding copies of `values`.
Variant VarArrayOf(const std::vector<Variant>& values);
inline Variant VarArrayOf(std::initializer_list<Variant> values) {
  return VarArrayOf(std::vector<Variant>(values));
}
// 1 for an array, 0 otherwise.
int VarArrayDimCount(const Variant& v);
// Bounds of dimension `dim` (only 1 exists; another raises EVariantBadIndexError).
int VarArrayLowBound(const Variant& v, int dim);
int VarArrayHighBound(const Variant& v, int dim);
inline const Variant& VarArrayGet(const Variant& v, int index) {
  return v.Element(index);
}
inline void VarArrayPut(Variant& v, const Variant& value, int index) {
  v.PutElement(index, value);
}

}  // namespace host

// Format: the host library's printf-like formatter, with its own rules:
// "%" [index ":"] ["-"] [width] ["." prec] type, types d u x e f g n m p s,
// "*" for width or precision taken from the arguments, "%%" for a percent sign.
// Width pads and never truncates; a precision cuts strings. An argument of the
// wrong kind for its specifier, or a missing one, raises EConvertError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One argument of Format (the "array of const" element of the host library).
struct TVarRec {
  enum Kind { vtInteger, vtInt64, vtExtended, vtCurrency, vtString, vtChar, vtBoolean, vtPointer };
  Kind VType;
  int64_t VInt = 0;      // vtInteger, vtInt64, vtBoolean, vtChar, vtCurrency (scaled by 10^4)
  double VExtended = 0;  // vtExtended
  std::string_view VString;  // vtString: borrowed, must outlive the Format call
  const void* VPointer = nullptr;

  TVarRec(int v) : VType(vtInteger), VInt(v) {}
  TVarRec(unsigned v) : VType(vtInt64), VInt(v) {}
  TVarRec(long v) : VType(vtInt64), VInt(v) {}
  TVarRec(unsigned long v) : VType(vtInt64), VInt(static_cast<int64_t>(v)) {}
  TVarRec(long long v) : VType(vtInt64), VInt(v) {}
  TVarRec(unsigned long long v) : VType(vtInt64), VInt(static_cast<int64_t>(v)) {}
  TVarRec(short v) : VType(vtInteger), VInt(v) {}
  TVarRec(unsigned short v) : VType(vtInteger), VInt(v) {}
  TVarRec(double v) : VType(vtExtended), VExtended(v) {}
  TVarRec(bool v) : VType(vtBoolean), VInt(v ? 1 : 0) {}
  TVarRec(char v) : VType(vtChar), VInt(static_cast<unsigned char>(v)) {}
  TVarRec(const char* v) : VType(vtString), VString(v ? v : "") {}
  TVarRec(const std::string& v) : VType(vtString), VString(v) {}
  TVarRec(std::string_view v) : VType(vtString), VString(v) {}
  TVarRec(const void* v) : VType(vtPointer), VPointer(v) {}
  static TVarRec Currency(int64_t scaled) {
    TVarRec r(0);
    r.VType = vtCurrency;
    r.VInt = scaled;
    return r;
  }
};

std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args);
std::string Format(std::string_view fmt, const std::vector<TVarRec>& args);

}  // namespace host

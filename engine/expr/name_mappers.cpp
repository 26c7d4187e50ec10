#include "engine/expr/name_mappers.h"

#include "host/rtl/sys_utils.h"

namespace tav {
namespace {

struct NameOrdinal {
  std::string_view Name;
  int Ordinal;
};

constexpr NameOrdinal kAggFuncs[] = {
    {"COUNT", 1}, {"AVG", 2}, {"SUM", 3}, {"MAX", 4}, {"MIN", 5}};
constexpr NameOrdinal kStrFuncs[] = {
    {"UPPER", 2}, {"LOWER", 3}, {"SUBSTRING", 1}, {"TRIM", 4}};
constexpr NameOrdinal kDataTypes[] = {
    {"CHARACTER", 1}, {"CHAR", 1},  {"VARCHAR", 1},  {"NUMERIC", 6},  {"DECIMAL", 6},
    {"DEC", 6},       {"FLOAT", 6}, {"REAL", 6},     {"INTEGER", 3},  {"INT", 3},
    {"SMALLINT", 2},  {"DATE", 9},  {"TIME", 10},    {"TIMESTAMP", 11},
    {"DOUBLE PRECISION", 6}};
constexpr int kFloatType = 6;

template <size_t N>
int FindOrdinal(const NameOrdinal (&table)[N], std::string_view word) {
  for (const NameOrdinal& e : table) {
    if (host::SameText(e.Name, word)) return e.Ordinal;
  }
  return 0;
}

}  // namespace

int TAggFuncMapper::IsMemberToken(std::string_view word, std::string_view) {
  TokenCount = 1;
  return FindOrdinal(kAggFuncs, word) != 0 ? 1 : 0;
}

int TAggFuncMapper::GetCustomOrdinal(std::string_view word, std::string_view) {
  return FindOrdinal(kAggFuncs, word) & 0x7F;
}

int TStrFuncMapper::IsMemberToken(std::string_view word, std::string_view) {
  TokenCount = 1;
  return FindOrdinal(kStrFuncs, word) != 0 ? TokenCount : 0;
}

int TStrFuncMapper::GetCustomOrdinal(std::string_view word, std::string_view) {
  return FindOrdinal(kStrFuncs, word) & 0x7F;
}

int TDataTypeMapper::Lookup(std::string_view word, std::string_view nextWord) {
  TokenCount = 1;
  if (host::SameText(word, "DOUBLE")) {
    if (!host::SameText(nextWord, "PRECISION")) return 0;
    TokenCount = 2;
    return kFloatType;
  }
  return FindOrdinal(kDataTypes, word);
}

int TDataTypeMapper::IsMemberToken(std::string_view word, std::string_view nextWord) {
  return Lookup(word, nextWord) != 0 ? TokenCount : 0;
}

int TDataTypeMapper::GetCustomOrdinal(std::string_view word, std::string_view nextWord) {
  return Lookup(word, nextWord) & 0x7F;
}

}  // namespace tav

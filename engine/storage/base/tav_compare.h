// The engine's value compares, the LIKE matcher and small conversion helpers.
//
// The string compares order index keys, filters and joins; the order they give
// is stored in every string index, so it must never change: the 8-bit "ANSI"
// order and the wide order are the fixed tables of host/rtl/collation.h, never
// the process locale. All compares take (pointer, length) pairs, read only
// within the given lengths (buffers need no terminating zero and no
// alignment) and return negative, 0 or positive; callers may rely on the sign
// only. A negative length counts as 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/rtl/string_list.h"

namespace tav {

// How a table orders its 8-bit strings (stored in table definitions and in
// the database file as a byte).
enum TSortOrder : uint8_t { soANSI = 0, soASCII = 1 };

// The engine's string compare routine, chosen by a table's TSortOrder
// (DBANSICompareStrings for soANSI, DBASCIICompareStrings for soASCII) and
// handed to the index manager, the B+-trees, the filter evaluator and the
// joins. s1/s2 point at len1/len2 bytes. Not partial: the whole strings are
// compared, a string that is a prefix of the other sorts first. Partial: only
// the first min(len1, len2) characters are compared, so a prefix of the other
// string compares equal.
using TDBStringCompare = int (*)(const char* s1, const char* s2, int len1, int len2,
                                 bool caseInsensitive, bool partial);

// -1 when a < b, 1 when a > b, else 0 (so a NaN compares equal to anything).
int CompareReals(double a, double b);

// Byte order (unsigned); case-insensitive folds ASCII a..z to A..Z only.
int DBASCIICompareStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                          bool partial);
// The fixed Windows-1252 collation (host::CollateAnsiStr / CollateAnsiText).
int DBANSICompareStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                         bool partial);
// UTF-16 little-endian text; len1 and len2 count bytes, as the stored length
// markers do (an odd last byte is ignored). Same order as the ANSI compare for
// characters Windows-1252 has, other characters after them by code point.
int DBCompareWideStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                         bool partial);

// The LIKE test, byte by byte and case-sensitive: '%' matches any run of
// characters (the empty run too), '_' exactly one character, every other
// pattern character itself. c1 and c2 are not used.
bool MatchPatternedStrings(std::string_view value, std::string_view pattern, char c1, char c2);

// Clears list, then adds the names of a ';'-separated list of field names in
// order. Names are kept as written (blanks and commas included); an empty
// name between two ';' is kept, a trailing ';' adds none.
void ConvertFieldNamesToList(const std::string& names, host::TStrings& list);

// Converts at most size - 1 characters of Windows-1252 text into the UTF-16
// destination and zero-terminates it; destination holds size units. Writes
// nothing when size < 1. Returns destination.
char16_t* StringLToWideChar(std::string_view text, char16_t* destination, int size);

// path with a trailing path delimiter ('/') added when it lacks one.
std::string TavIncludeTrailingBackslash(const std::string& path);

}  // namespace tav

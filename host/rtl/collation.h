// The fixed "ANSI" sort order of Windows-1252 text, and the same order for
// UTF-16 text. String indexes store keys in this order on disk, so it must be
// identical in every process on every machine: it comes from our own tables and
// never from the process locale. Changing any weight below changes the order of
// existing indexes; treat the tables as part of the file format.
//
// The order, level by level (a later level counts only when all earlier ones
// tie over the whole of both strings):
//  1. Base characters. Controls (in byte order), then white space, then
//     punctuation and symbols, then digits, then letters. Letters compare
//     without case and accent: a, à, á, â, ã, ä, å and ª are all "a".
//     Letters that are not an accented Latin letter are letters of their own:
//     æ right after a, ð after d, œ after o, ß after s, þ after z, and µ after
//     þ. ø, ç, ñ, š, ž, ý, ÿ and ƒ are accented o, c, n, s, z, y, y and f.
//     Superscript digits are digits; typographic quotes and dashes are the
//     plain quote, apostrophe and hyphen; no-break space is a space; the soft
//     hyphen is a hyphen. A string that is a prefix of the other sorts first.
//  2. Accents: plain before acute, grave, circumflex, caron, ring,
//     diaeresis, tilde, cedilla, stroke, hook, ordinal, superscript.
//  3. Case (case-sensitive compares only): lower case before upper case.
//  4. Bytes (code points for wide text): a final tie-break, so that only
//     identical strings (identical after case folding, when comparing
//     without case) are equal.
// Wide characters that exist in Windows-1252 take that character's weights;
// every other character sorts after all of them, by code point (a surrogate
// pair counts as its code point), and has no case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

// The weights of one Windows-1252 character.
struct TCollationWeight {
  uint16_t Primary;  // base character, level 1
  uint8_t Accent;    // level 2, 0 = none
  uint8_t Case;      // level 3: 0 lower case or caseless, 1 upper case
};

TCollationWeight CollationWeightOf(unsigned char c);

// The lower-case twin of a Windows-1252 letter (the character itself when it
// has none): the folding the case-insensitive compares use.
unsigned char CollationFoldCase(unsigned char c);

// Windows-1252 <-> UTF-16 for one character. The five bytes that 1252 leaves
// unassigned map to the C1 controls of the same value, so every byte has a
// wide twin and back.
char16_t Cp1252ToWideChar(unsigned char c);
// False when the code point has no Windows-1252 character.
bool WideCharToCp1252(char32_t cp, unsigned char& out);

// Compare two Windows-1252 strings given as (pointer, length); NUL bytes are
// ordinary characters. Negative, 0 or positive.
int CollateAnsiStr(const char* s1, size_t len1, const char* s2, size_t len2);
// The same without case: "Abc" and "aBC" are equal.
int CollateAnsiText(const char* s1, size_t len1, const char* s2, size_t len2);

// The same order for UTF-16 text; lengths count 16-bit units.
int CollateWideStr(const char16_t* s1, size_t len1, const char16_t* s2, size_t len2);
int CollateWideText(const char16_t* s1, size_t len1, const char16_t* s2, size_t len2);
// UTF-16 little-endian in plain bytes, as records and keys store it: the
// buffers need no alignment. Lengths count 16-bit units (bytes / 2).
int CollateWideLE(const void* s1, size_t units1, const void* s2, size_t units2,
                  bool caseInsensitive);

// Sort keys: the same order as plain bytes, for sorting many strings by
// one unsigned byte compare each (shorter first where one is a prefix of
// the other). The key of a string is its first-level weights and an end
// mark, then, for the later levels, one weight per character each; the
// order of two keys is the order of their strings under the compare of the
// same case rule, equal keys only for strings that compare equal, and no
// key is a prefix of another (so keys can be put one after another, or
// every byte turned round for the reverse order). Each appends to `out`.
void AppendAnsiSortKey(const char* s, size_t len, bool caseInsensitive, std::vector<uint8_t>& out);
// UTF-16 little-endian in plain bytes; units counts 16-bit units.
void AppendWideSortKeyLE(const void* s, size_t units, bool caseInsensitive,
                         std::vector<uint8_t>& out);

}  // namespace host

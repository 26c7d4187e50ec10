// String, number and file-name routines of the host class library. Strings are
// 8-bit Windows-1252 text; every case mapping goes through our own fixed tables,
// never the C library or the process locale, so results are the same in every
// process and on every machine.
//
// UpperCase/LowerCase/SameText/CompareText touch ASCII letters only. The Ansi*
// forms map the whole Windows-1252 alphabet (accented letters, S/Z with caron,
// the OE ligature, Y with diaeresis); sharp s and micro sign have no upper case.
// AnsiCompareText folds both sides to upper case and then compares bytes; the
// language-aware sort order lives in host/rtl/collation.h, not here.
//
// File-name routines use '/' as the path delimiter. The Extract* routines and
// ChangeFileExt also take '\' as a delimiter, because names stored in databases
// and scripts may carry Windows paths; Include/ExcludeTrailingPathDelimiter
// only know '/'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

// ---- case mapping ----

char AnsiUpperChar(char c);
char AnsiLowerChar(char c);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

// ---- comparison ----

// Byte order; the difference of the first differing bytes, else of the lengths.
int CompareStr(std::string_view s1, std::string_view s2);
// Like CompareStr after mapping 'a'..'z' to upper case.
int CompareText(std::string_view s1, std::string_view s2);
bool SameText(std::string_view s1, std::string_view s2);
// -1, 0 or 1: bytes compared after AnsiUpperChar on both sides.
int AnsiCompareText(std::string_view s1, std::string_view s2);
bool AnsiSameText(std::string_view s1, std::string_view s2);

// ---- trimming and replacing ----

// Remove characters <= ' ' (blanks and control characters).
std::string Trim(std::string_view s);
// The same, as a view into `s`.
std::string_view TrimmedView(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

enum TReplaceFlag : unsigned { rfReplaceAll = 1, rfIgnoreCase = 2 };
using TReplaceFlags = unsigned;  // a set of TReplaceFlag
// Replaces the first (or, with rfReplaceAll, every) occurrence of oldPattern;
// an empty oldPattern replaces nothing. rfIgnoreCase matches through
// AnsiUpperCase.
std::string StringReplace(std::string_view s, std::string_view oldPattern,
                          std::string_view newPattern, TReplaceFlags flags);

// ---- integers ----

std::string IntToStr(int32_t value);
std::string IntToStr(int64_t value);
// Upper-case hex, at least `digits` digits (at most 32 are honoured); a
// negative value shows its two's complement in 8 (int32) or 16 (int64) digits.
std::string IntToHex(int32_t value, int digits);
std::string IntToHex(int64_t value, int digits);

// Accepts blanks around the number, one sign, decimal digits or a '$'/'0x'
// hex prefix. Decimal text must fit the type; hex text may use every bit of it
// ("$FFFFFFFF" is -1). Anything else raises EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view s);
int64_t StrToInt64(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t defaultValue);
bool TryStrToInt(std::string_view s, int32_t& value);
bool TryStrToInt64(std::string_view s, int64_t& value);

// ---- floating point ----

// Decimal separator '.', no thousands separators; blanks around the number are
// allowed. A value beyond the double range raises EConvertError
// "'<text>' is not a valid floating point value"; one too small becomes 0.
double StrToFloat(std::string_view s);
bool TryStrToFloat(std::string_view s, double& value);
// The general format with 15 significant digits: fixed notation while the
// rounded magnitude lies in [1E-4, 1E15), else scientific with the shortest
// exponent ("1.5E20", "1E-5"). NaN and infinities print as "NAN", "INF", "-INF".
std::string FloatToStr(double value);

// ---- identifiers and quoting ----

// A letter or '_' followed by letters, digits and '_' (ASCII only).
bool IsValidIdent(std::string_view ident);
// Encloses s in quote, doubling each quote inside.
std::string AnsiQuotedStr(std::string_view s, char quote);
std::string QuotedStr(std::string_view s);
// If src starts with quote, returns the quoted text with doubled quotes made
// single and advances src past the closing quote; text without a closing quote
// runs to the end of src. Otherwise returns "" and leaves src alone.
std::string AnsiExtractQuotedStr(std::string_view& src, char quote);

// ---- file names ----

std::string ChangeFileExt(std::string_view fileName, std::string_view extension);
std::string ExtractFileExt(std::string_view fileName);
std::string ExtractFileName(std::string_view fileName);
// The folder part including its trailing delimiter ("a/b/" for "a/b/c").
std::string ExtractFilePath(std::string_view fileName);
// The folder part without its trailing delimiter, except for a root ("/").
std::string ExtractFileDir(std::string_view fileName);
std::string IncludeTrailingPathDelimiter(std::string_view s);
std::string ExcludeTrailingPathDelimiter(std::string_view s);

inline constexpr char PathDelim = '/';

// ---- the program ----

// The running program as a virtual Windows path (os/win_path.h) on the
// current machine: the file the process runs, not the name it was started
// by, which may be relative or a link; "Z:\..." for a program outside the
// machine's drives. Empty when the system cannot say.
std::string ProgramFileName();

}  // namespace host

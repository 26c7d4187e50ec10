#include "installer/engine/versions/version_compare.h"

#include <cmath>

#include "os/win_file.h"

namespace orln {

namespace {

// A version part that is an integer: an optional sign and one or more digits
// of any count. `digits` is the magnitude without leading zeros.
bool PartAsInteger(std::string_view part, bool& negative, std::string_view& digits) {
  negative = false;
  if (!part.empty() && (part.front() == '+' || part.front() == '-')) {
    negative = part.front() == '-';
    part.remove_prefix(1);
  }
  if (part.empty()) return false;
  for (char c : part)
    if (c < '0' || c > '9') return false;
  const size_t first = part.find_first_not_of('0');
  digits = first == std::string_view::npos ? std::string_view() : part.substr(first);
  if (digits.empty()) negative = false;  // -0 is 0
  return true;
}

// -1, 0, 1 as the integer a is below, equal to or above b.
int CompareIntegers(bool negA, std::string_view a, bool negB, std::string_view b) {
  if (negA != negB) return negA ? -1 : 1;
  int magnitude = 0;
  if (a.size() != b.size())
    magnitude = a.size() < b.size() ? -1 : 1;
  else if (a != b)
    magnitude = a < b ? -1 : 1;
  return negA ? -magnitude : magnitude;
}

// The next '.'-separated part of `rest`; `rest` moves past it. `more` turns
// false once the last part has been taken.
std::string_view NextPart(std::string_view& rest, bool& more) {
  size_t dot = rest.find('.');
  std::string_view part = rest.substr(0, dot);
  if (dot == std::string_view::npos) {
    more = false;
    rest = {};
  } else {
    rest.remove_prefix(dot + 1);
  }
  return part;
}

// A local date-time at whole seconds, so that sub-second noise of one side
// does not decide.
long long WholeSeconds(double date) { return std::llround(date * 86400.0); }

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
  bool moreA = true;
  bool moreB = true;
  while (moreA && moreB) {
    std::string_view pa = NextPart(a, moreA);
    std::string_view pb = NextPart(b, moreB);
    bool negA = false;
    bool negB = false;
    std::string_view da;
    std::string_view db;
    if (PartAsInteger(pa, negA, da) && PartAsInteger(pb, negB, db)) {
      const int c = CompareIntegers(negA, da, negB, db);
      if (c != 0) return c > 0 ? 1 : 2;
    } else if (pa != pb) {
      return pa < pb ? 2 : 1;
    }
  }
  if (moreA == moreB) return 0;
  return moreA ? 1 : 2;
}

int DecideByVersionAndDate(std::string_view newVersion, std::string_view existingVersion,
                           TOverwriteType mode, double newDate, bool haveExistingDate,
                           double existingDate, bool existingPresent) {
  auto byDate = [&]() {
    if (!haveExistingDate) return kCompareUndecided;
    const long long n = WholeSeconds(newDate);
    const long long e = WholeSeconds(existingDate);
    if (n > e) return kCompareCopy;
    return n == e ? kCompareSame : kCompareKeep;
  };
  auto byVersion = [&]() {
    switch (CompareVersions(existingVersion, newVersion)) {
      case 0:
        return kCompareSame;
      case 2:
        return kCompareCopy;  // the new file's version is the newer
      default:
        return kCompareKeep;
    }
  };
  switch (mode) {
    case owAlways:
      return kCompareCopy;
    case owNever:
      return existingPresent ? kCompareKeep : kCompareCopy;
    case owVersion:
      return byVersion();
    case owDate:
      return byDate();
    case owVersionDate: {
      const int r = byVersion();
      return r == kCompareSame ? byDate() : r;
    }
    case owAsk:
      return kCompareAsk;
  }
  return kCompareUndecided;
}

int CompareWithFile(std::string_view newVersion, const std::string& existingPath,
                    TOverwriteType mode, double newDate, const TFileVersionReader& readVersion) {
  switch (mode) {
    case owAlways:
    case owAsk:
      return DecideByVersionAndDate({}, {}, mode, 0, false, 0, false);
    case owNever:
      return DecideByVersionAndDate({}, {}, mode, 0, false, 0,
                                    !existingPath.empty() && os::WinFileExists(existingPath));
    default:
      break;
  }
  std::string existingVersion;
  if (mode != owDate && readVersion) existingVersion = readVersion(existingPath);
  double existingDate = 0;
  bool haveDate = false;
  if (mode == owDate || mode == owVersionDate)
    haveDate = os::WinGetFileDate(existingPath, existingDate);
  return DecideByVersionAndDate(newVersion, existingVersion, mode, newDate, haveDate,
                                existingDate, true);
}

}  // namespace orln

// Random text through the date and time reader, in every order of day, month
// and year (and malformed ones), for every field type, under two locales and
// three century windows: the reader must never raise, never hang, and its
// promises must hold (success exactly when LastPos is 1 or more, positions
// within the text, a finite value in the date range, a date without a time
// fraction, a time within one day, reading on from LastPos never going back).
//
// The first byte of an input chooses the locale and the window (its low three
// bits, so that '0'..'5' do in a readable seed); the rest is the text.
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "engine/expr/date_converter.h"
#include "fuzz_check.h"
#include "host/rtl/date_time.h"
#include "host/rtl/format_settings.h"
#include "os/clock.h"

namespace {

using host::TDateTime;
using host::TFieldType;

host::TFormatSettings MakeSettings(unsigned selector) {
  host::TFormatSettings s;
  if (selector & 1) {
    s.ShortDateFormat = "dd.MM.yyyy";
    s.TimeAMString = "VORM";
    s.TimePMString = "";  // a locale without one
    s.LongDayNames = {"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                      "Donnerstag", "Freitag", "Samstag"};
    s.LongMonthNames = {"Januar", "Februar", "M\xE4rz",   "April",   "Mai",      "Juni",
                        "Juli",   "August",  "September", "Oktober", "November", "Dezember"};
  }
  const int windows[] = {50, 0, 99, 50};
  s.TwoDigitYearCenturyWindow = windows[(selector >> 1) & 3];
  return s;
}

void Check(tav::TTavStrToDateTimeConverter& conv, std::string_view text, std::string_view order,
           TFieldType type) {
  static const TDateTime kFirst = host::EncodeDate(1, 1, 1);
  static const TDateTime kLast = host::EncodeDate(9999, 12, 31) + 1;
  TDateTime value = 0;
  bool ok = false;
  try {
    ok = conv.ConvertStrToDate(text, order, type, value);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "raised: %s\n", e.what());
    FUZZ_CHECK(!"the reader raised");
  }
  const int32_t pos = conv.LastPos();
  FUZZ_CHECK(ok == (pos >= 1));
  if (!ok) return;
  FUZZ_CHECK(static_cast<size_t>(pos) <= text.size() + 1);
  FUZZ_CHECK(std::isfinite(value));
  FUZZ_CHECK(value > kFirst - 1 && value < kLast);
  if (type == host::ftDate) FUZZ_CHECK(value == std::trunc(value));
  if (type == host::ftTime) FUZZ_CHECK(value >= 0 && value < 1);

  // Reading on from where it left off never goes back.
  TDateTime next = 0;
  if (conv.ConvertStrToDateFromLastPos(text, order, type, next)) {
    FUZZ_CHECK(conv.LastPos() >= pos);
    FUZZ_CHECK(std::isfinite(next));
  } else {
    FUZZ_CHECK(conv.LastPos() < 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const unsigned selector = size > 0 ? data[0] & 7u : 0u;
  const std::string_view text =
      size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)
               : std::string_view();

  const host::TFormatSettings settings = MakeSettings(selector);
  host::TScopedFormatSettings installedSettings(settings);
  os::TManualClock clock(host::EncodeDate(selector & 4 ? 1950 : 2026, 6, 15) + 0.5);
  os::TScopedClock installedClock(clock);

  static const char* const kOrders[] = {"",    "DMY", "DYM", "MDY", "MYD", "YMD", "YDM",
                                        "ymd", "DDY", "YY",  "XMD", "D",   "MDYD"};
  static const TFieldType kTypes[] = {host::ftDate, host::ftTime, host::ftDateTime, host::ftString};
  tav::TTavStrToDateTimeConverter conv;
  for (const char* order : kOrders)
    for (TFieldType type : kTypes) Check(conv, text, order, type);
  return 0;
}

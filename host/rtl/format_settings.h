// The locale settings that reading dates and times out of users' text follows:
// the short date format (whose order of day, month and year the reader takes),
// the long time format, the AM and PM strings, the long day and month names and
// the two-digit-year window. They start as the en-US settings; a host or a test
// installs its own. The host's own date text (DateToStr, StrToDate and the
// rest of date_time.h) keeps its fixed form whatever is installed here.
//
// Callers must keep:
//  - Settings passed to SetFormatSettings / TScopedFormatSettings must outlive
//    their installation and stay unchanged while installed: readers on other
//    threads hold a reference to them.
#pragma once

#include <array>
#include <string>

namespace host {

struct TFormatSettings {
  std::string ShortDateFormat = "M/d/yyyy";
  std::string LongTimeFormat = "h:mm:ss AMPM";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  // Sunday first.
  std::array<std::string, 7> LongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
  std::array<std::string, 12> LongMonthNames = {
      "January", "February", "March",     "April",   "May",      "June",
      "July",    "August",   "September", "October", "November", "December"};
  // A two-digit year lands in the hundred years that begin this many years
  // before the current one (with 50 in 2026: 1976 to 2075); 0 puts it in the
  // current year's century.
  int TwoDigitYearCenturyWindow = 50;
};

// The settings in use: the installed ones, else the en-US defaults.
const TFormatSettings& CurrentFormatSettings();

// Installs `settings` for the whole process (nullptr restores the defaults) and
// returns the ones installed before (nullptr when they were the defaults).
const TFormatSettings* SetFormatSettings(const TFormatSettings* settings);

// Installs settings for the lifetime of the guard and puts the previous ones back.
class TScopedFormatSettings {
 public:
  explicit TScopedFormatSettings(const TFormatSettings& settings)
      : previous_(SetFormatSettings(&settings)) {}
  ~TScopedFormatSettings() { SetFormatSettings(previous_); }
  TScopedFormatSettings(const TScopedFormatSettings&) = delete;
  TScopedFormatSettings& operator=(const TScopedFormatSettings&) = delete;

 private:
  const TFormatSettings* previous_;
};

}  // namespace host

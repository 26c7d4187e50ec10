// The engine's process-wide trace log. GDBLogger() is the one TDBLogger, made
// when the library is loaded (or by TavEngineStartup after a shutdown) and
// given up when it is unloaded (or by TavEngineShutdown). Every raised error
// writes a line here; hosts may read the
// lines, dump the trace ring into them and save them to a file.
//
// Threads: every member, the trace ring included, is serialised by one lock
// of the log's own, so a host may call from several threads. GDBLogger hands
// out a share of the log: a caller that got it before a shutdown keeps a
// live log until it lets go (the log is then freed, and saved to its
// OutputFileName when set); after the shutdown GDBLogger gives null.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/rtl/object.h"

namespace tav {

class TDBLogger : public host::TObject {
 public:
  static constexpr int kTraceRingSize = 100;

  TDBLogger();
  TDBLogger(const TDBLogger&) = delete;
  TDBLogger& operator=(const TDBLogger&) = delete;
  // Saves the lines to OutputFileName first when one is set.
  ~TDBLogger() override;

  void LogItem(const std::string& source, const std::string& text);
  void NamedMonitorDelta(const std::string& name, int delta);
  void NamedMonitorReset(const std::string& name, int value);
  void AddLogTraceItem(int32_t caller, int32_t event);
  void ClearLogTrace();
  void DumpTraceToLog();
  // Empties the log items and the monitors.
  void Clear();
  void SaveLogToFile(const std::string& fileName);

  void SetActive(bool value) { active_ = value; }
  void SetDumpMod(int value) { dump_mod_ = value; }
  void SetMaxLogItemCount(int n);
  void SetOutputFileName(const std::string& name);
  bool Active() const { return active_; }
  int DumpMod() const { return dump_mod_; }
  int MaxLogItemCount() const { return max_log_item_count_; }
  std::string OutputFileName() const;

  // A snapshot of the log lines, oldest first.
  std::vector<std::string> LogItems() const;
  int LogItemCount() const;
  // The monitors as "name=value" lines, in the order they were first set.
  std::vector<std::string> NamedMonitors() const;
  // A monitor's value; 0 when absent.
  int NamedMonitorValue(const std::string& name) const;

 private:
  std::string* FindMonitor(const std::string& name);
  void SaveLinesLocked(const std::string& fileName) const;

  std::deque<std::string> items_;
  std::vector<std::pair<std::string, std::string>> monitors_;
  int32_t trace_[kTraceRingSize][2] = {};
  int trace_index_ = 0;
  bool active_ = false;
  int dump_mod_ = 0;
  std::string output_file_name_;
  int max_log_item_count_ = 500;
};

// The global trace log; null after TavEngineShutdown until the next start-up.
// Hold the pointer only as long as the call it serves.
std::shared_ptr<TDBLogger> GDBLogger();

// Creates the global log; loading the library already did, so a host need not
// call it. Calling it while the log exists does nothing.
void TavEngineStartup();
// Frees the global log (saving it to its OutputFileName when set).
void TavEngineShutdown();

// The text of the last system error (the argument is not used).
std::string GetOSErrorMsg(const void* ignored = nullptr);
std::string GetCurrentUser();
std::string GetCurrentComputer();
std::string GetOSDetails();
uint32_t GetMSTimeMarker();
uint32_t GetCurrentThreadIdVal();

}  // namespace tav

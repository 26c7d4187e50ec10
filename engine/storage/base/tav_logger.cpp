#include "engine/storage/base/tav_logger.h"

#include <memory>
#include <mutex>

#include "host/rtl/date_time.h"
#include "host/rtl/format.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/sys_info.h"

namespace tav {
namespace {

// Guards the log's members and the global pointer. Recursive: the log's
// destructor saves under it, and the last share may be let go while held.
std::recursive_mutex g_log_lock;
std::shared_ptr<TDBLogger> g_logger;

// The engine's start-up and shutdown: made when the library is loaded (the
// lock and the pointer above are initialised first, being defined first in
// this unit) and freed when it is unloaded or the process exits, unless the
// host already shut it down. A host therefore needs no start-up call; the
// explicit calls stay harmless.
struct TUnitLifetime {
  TUnitLifetime() { TavEngineStartup(); }
  ~TUnitLifetime() { TavEngineShutdown(); }
} g_unit_lifetime;

}  // namespace

TDBLogger::TDBLogger() = default;

TDBLogger::~TDBLogger() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  if (!output_file_name_.empty()) {
    try {
      SaveLinesLocked(output_file_name_);
    } catch (...) {
      // A log that cannot be written at unload is lost; nothing may escape a destructor.
    }
  }
}

void TDBLogger::LogItem(const std::string& source, const std::string& text) {
  std::string line = host::Format("%10s; %30s : %s", {host::DateTimeToStr(os::Now()), source, text});
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  if (max_log_item_count_ > 0 && static_cast<int>(items_.size()) > max_log_item_count_)
    items_.pop_front();
  items_.push_back(std::move(line));
}

std::string* TDBLogger::FindMonitor(const std::string& name) {
  for (auto& m : monitors_)
    if (host::AnsiSameText(m.first, name)) return &m.second;
  return nullptr;
}

void TDBLogger::NamedMonitorDelta(const std::string& name, int delta) {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  std::string* v = FindMonitor(name);
  int current = v ? host::StrToIntDef(*v, 0) : 0;
  std::string text = host::IntToStr(static_cast<int64_t>(current) + delta);
  if (v)
    *v = text;
  else
    monitors_.emplace_back(name, text);
}

void TDBLogger::NamedMonitorReset(const std::string& name, int value) {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  std::string* v = FindMonitor(name);
  if (v)
    *v = host::IntToStr(value);
  else
    monitors_.emplace_back(name, host::IntToStr(value));
}

int TDBLogger::NamedMonitorValue(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  for (const auto& m : monitors_)
    if (host::AnsiSameText(m.first, name)) return host::StrToIntDef(m.second, 0);
  return 0;
}

std::vector<std::string> TDBLogger::NamedMonitors() const {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  std::vector<std::string> lines;
  lines.reserve(monitors_.size());
  for (const auto& m : monitors_) lines.push_back(m.first + "=" + m.second);
  return lines;
}

void TDBLogger::AddLogTraceItem(int32_t caller, int32_t event) {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  if (trace_index_ >= kTraceRingSize) trace_index_ = 0;
  trace_[trace_index_][0] = caller;
  trace_[trace_index_][1] = event;
  ++trace_index_;
}

void TDBLogger::ClearLogTrace() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  for (auto& pair : trace_) pair[0] = pair[1] = 0;
  trace_index_ = 0;
}

void TDBLogger::DumpTraceToLog() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  items_.push_back("TraceLog");
  int start = trace_index_ >= kTraceRingSize ? 0 : trace_index_;
  for (int k = 0; k < kTraceRingSize; ++k) {
    int i = (start + k) % kTraceRingSize;
    items_.push_back(host::Format("Caller %d  Event %d", {trace_[i][0], trace_[i][1]}));
  }
}

void TDBLogger::Clear() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  items_.clear();
  monitors_.clear();
}

void TDBLogger::SaveLogToFile(const std::string& fileName) {
  if (fileName.empty()) return;
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  SaveLinesLocked(fileName);
}

void TDBLogger::SaveLinesLocked(const std::string& fileName) const {
  std::string text;
  for (const auto& line : items_) {
    text += line;
    text += "\r\n";
  }
  host::TFileStream out(fileName, host::fmCreate);
  out.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

void TDBLogger::SetMaxLogItemCount(int n) {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  max_log_item_count_ = n;
  if (n > 0 && static_cast<int>(items_.size()) > n) {
    size_t drop = items_.size() - static_cast<size_t>(n) + 1;
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(drop));
  }
}

void TDBLogger::SetOutputFileName(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  output_file_name_ = name;
}

std::string TDBLogger::OutputFileName() const {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  return output_file_name_;
}

std::vector<std::string> TDBLogger::LogItems() const {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  return std::vector<std::string>(items_.begin(), items_.end());
}

int TDBLogger::LogItemCount() const {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  return static_cast<int>(items_.size());
}

std::shared_ptr<TDBLogger> GDBLogger() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  return g_logger;
}

void TavEngineStartup() {
  std::lock_guard<std::recursive_mutex> lock(g_log_lock);
  if (!g_logger) g_logger = std::make_shared<TDBLogger>();
}

void TavEngineShutdown() {
  // Let go outside the lock's scope: the last share saves the log.
  std::shared_ptr<TDBLogger> gone;
  {
    std::lock_guard<std::recursive_mutex> lock(g_log_lock);
    gone = std::move(g_logger);
  }
}

std::string GetOSErrorMsg(const void*) {
  int code = os::GetLastOSError();
  std::string text = code ? os::GetOSErrorText(code) : std::string();
  return text.empty() ? "The error type could not be determined" : text;
}

std::string GetCurrentUser() { return os::GetUserName(); }

std::string GetCurrentComputer() { return os::GetComputerName(); }

std::string GetOSDetails() {
  os::TOSDescription d = os::GetOSDescription();
  if (!d.ok) return "unknown";
  // The system's name stands where the platform prefix stood, then the release
  // between blanks and the build text, in the shape hosts already parse.
  return d.sysname + ": " + host::Format(" %s ", {d.release}) + " " + d.version;
}

uint32_t GetMSTimeMarker() { return os::GetTickCount(); }

uint32_t GetCurrentThreadIdVal() { return os::GetCurrentThreadId(); }

}  // namespace tav

// The drivers the engine-against-SQLite benchmarks share: each step runs once
// per engine (steps may build on one another, so each runs exactly once, in
// order), and a table at the end prints both times and the ratio per step.
// RunComparison runs both engines in this process under Google Benchmark;
// RunInOwnProcess runs one engine's steps in a child process of its own, so
// that its peak memory is its own.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The SQLite side's connection and the calls every workload makes; a
// failure throws.
class TSqliteConnection {
 public:
  TSqliteConnection() = default;
  explicit TSqliteConnection(const std::string& path) { Open(path); }
  ~TSqliteConnection() { Close(); }
  TSqliteConnection(const TSqliteConnection&) = delete;
  TSqliteConnection& operator=(const TSqliteConnection&) = delete;

  void Open(const std::string& path) { Check(sqlite3_open(path.c_str(), &db_)); }
  void Close() {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  void Check(int rc) {
    if (rc != SQLITE_OK) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errstr(rc));
  }
  void Exec(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db_, sql, -1, &st, nullptr));
    return st;
  }
  void Step(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) Check(rc);
  }
  // Inserts `count` rows of an integer and a text through `sql` (two
  // parameters); row(i) gives row i. The caller holds the transaction.
  template <class TRowOf>
  void InsertRows(const char* sql, int count, TRowOf row) {
    sqlite3_stmt* st = Prepare(sql);
    for (int i = 0; i < count; ++i) {
      const auto [id, text] = row(i);
      sqlite3_bind_int(st, 1, id);
      sqlite3_bind_text(st, 2, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      Step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  }

 protected:
  sqlite3* db_ = nullptr;
};

template <class TWorkload>
struct TStep {
  const char* Name;
  void (*Run)(TWorkload&);
};

template <class TWorkload, size_t N>
int RunComparison(int argc, char** argv, const TStep<TWorkload> (&steps)[N],
                  std::shared_ptr<TWorkload> ours, std::shared_ptr<TWorkload> sqlite) {
  static std::map<std::string, double> seconds;  // "<step>/<engine>" -> seconds
  benchmark::Initialize(&argc, argv);
  for (const auto& [engine, workload] : {std::pair{"tavrin", ours}, std::pair{"sqlite", sqlite}}) {
    for (const TStep<TWorkload>& step : steps) {
      std::string name = std::string(step.Name) + "/" + engine;
      benchmark::RegisterBenchmark(name.c_str(), [workload = workload, step, name](benchmark::State& state) {
        for (auto _ : state) {
          auto start = std::chrono::steady_clock::now();
          step.Run(*workload);
          double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          seconds[name] = s;
          state.SetIterationTime(s);
        }
      })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n%-20s %12s %12s %10s\n", "step", "tavrin ms", "sqlite ms", "ratio");
  for (const TStep<TWorkload>& step : steps) {
    double a = seconds[std::string(step.Name) + "/tavrin"];
    double b = seconds[std::string(step.Name) + "/sqlite"];
    std::printf("%-20s %12.1f %12.1f %10.2f\n", step.Name, a * 1000, b * 1000, b > 0 ? a / b : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}

// What one engine's process measured: seconds per step (NaN where the step
// does not apply to that engine or failed), its peak resident memory and the
// size of its database file after the last step.
struct TEngineResult {
  std::vector<double> Seconds;
  long PeakKB = 0;
  long long FileBytes = 0;
  bool Ok = false;
};

// Seconds of one call.
inline double TimeIt(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Forks; the child calls `run` (which fills `seconds`, one entry per step,
// and returns the file size), sends what it measured through a pipe and
// exits without unwinding the parent's state. An exception in the child is
// printed and leaves the result not Ok.
inline TEngineResult RunInOwnProcess(
    size_t steps, const std::function<long long(std::vector<double>& seconds)>& run) {
  TEngineResult result;
  result.Seconds.assign(steps, NAN);
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    std::vector<double> seconds(steps, NAN);
    long long bytes = -1;
    int ok = 1;
    try {
      bytes = run(seconds);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "engine failed: %s\n", e.what());
      ok = 0;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    long peak = usage.ru_maxrss;
    std::string out(reinterpret_cast<const char*>(&ok), sizeof ok);
    out.append(reinterpret_cast<const char*>(&peak), sizeof peak);
    out.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
    out.append(reinterpret_cast<const char*>(seconds.data()), steps * sizeof(double));
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    std::fflush(nullptr);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string in;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const size_t want = sizeof(int) + sizeof(long) + sizeof(long long) + steps * sizeof(double);
  if (in.size() != want) return result;
  int ok;
  size_t at = 0;
  std::memcpy(&ok, in.data() + at, sizeof ok);
  at += sizeof ok;
  std::memcpy(&result.PeakKB, in.data() + at, sizeof(long));
  at += sizeof(long);
  std::memcpy(&result.FileBytes, in.data() + at, sizeof(long long));
  at += sizeof(long long);
  std::memcpy(result.Seconds.data(), in.data() + at, steps * sizeof(double));
  result.Ok = ok != 0;
  return result;
}

// A column of the table: an engine's line and the line it is measured
// against (-1: none, no ratio).
struct TColumn {
  const char* Name;
  int Against;
};

// Prints per step each column's milliseconds and, after a column with a
// line to be measured against, the ratio of the two; then each engine's peak
// memory and file size. Columns whose engine did not run are left out.
inline void PrintTable(const std::vector<const char*>& stepNames,
                       const std::vector<TColumn>& columns,
                       const std::vector<TEngineResult>& results, const std::vector<bool>& ran) {
  auto cell = [](double v, const char* fmt) {
    char buf[32];
    if (std::isnan(v)) return std::string("-");
    std::snprintf(buf, sizeof buf, fmt, v);
    return std::string(buf);
  };
  std::printf("\n%-22s", "step (ms)");
  for (size_t c = 0; c < columns.size(); ++c) {
    if (!ran[c]) continue;
    std::printf(" %12s", columns[c].Name);
    if (columns[c].Against >= 0 && ran[static_cast<size_t>(columns[c].Against)])
      std::printf(" %7s", "ratio");
  }
  std::printf("\n");
  auto row = [&](const char* name, const std::function<std::string(size_t)>& value,
                 const std::function<double(size_t)>& number) {
    std::printf("%-22s", name);
    for (size_t c = 0; c < columns.size(); ++c) {
      if (!ran[c]) continue;
      std::printf(" %12s", value(c).c_str());
      const int against = columns[c].Against;
      if (against >= 0 && ran[static_cast<size_t>(against)]) {
        const double a = number(c), b = number(static_cast<size_t>(against));
        std::printf(" %7s", cell(b > 0 ? a / b : NAN, "%.2f").c_str());
      }
    }
    std::printf("\n");
  };
  for (size_t s = 0; s < stepNames.size(); ++s)
    row(stepNames[s], [&](size_t c) { return cell(results[c].Seconds[s] * 1000, "%.1f"); },
        [&](size_t c) { return results[c].Seconds[s]; });
  row("peak memory (MB)",
      [&](size_t c) { return cell(results[c].Ok ? results[c].PeakKB / 1024.0 : NAN, "%.1f"); },
      [&](size_t c) { return results[c].Ok ? results[c].PeakKB / 1024.0 : NAN; });
  row("file size (MB)",
      [&](size_t c) {
        return cell(results[c].FileBytes >= 0 ? results[c].FileBytes / 1048576.0 : NAN, "%.1f");
      },
      [&](size_t c) { return results[c].FileBytes >= 0 ? results[c].FileBytes / 1048576.0 : NAN; });
}

}  // namespace bench

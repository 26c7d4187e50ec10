// The driver the engine-against-SQLite benchmarks share: each step runs once
// per engine (steps may build on one another, so each runs exactly once, in
// order), and a table at the end prints both times and the ratio per step.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

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

}  // namespace bench

#include "engine/storage/base/tav_logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tav {
namespace {

TEST(TavLoggerTest, MaxItemCountKeepsOneMoreThanTheLimit) {
  TDBLogger log;
  EXPECT_EQ(log.MaxLogItemCount(), 500);
  for (int i = 0; i < 1000; ++i) log.LogItem("src", "line " + std::to_string(i));
  auto lines = log.LogItems();
  ASSERT_EQ(lines.size(), 501u);
  EXPECT_NE(lines.back().find(": line 999"), std::string::npos);
  EXPECT_NE(lines.front().find(": line 499"), std::string::npos);
  log.SetMaxLogItemCount(10);
  EXPECT_EQ(log.LogItemCount(), 9);
  log.SetMaxLogItemCount(0);
  for (int i = 0; i < 600; ++i) log.LogItem("s", "t");
  EXPECT_EQ(log.LogItemCount(), 609);
}

TEST(TavLoggerTest, LineForm) {
  TDBLogger log;
  log.LogItem("TDiskMgr.Open", "hello");
  std::string line = log.LogItems().at(0);
  EXPECT_NE(line.find(";                  TDiskMgr.Open : hello"), std::string::npos) << line;
}

TEST(TavLoggerTest, TraceRingDumpsTheLastHundredOldestFirst) {
  TDBLogger log;
  for (int i = 0; i < 150; ++i) log.AddLogTraceItem(i, 1000 + i);
  log.DumpTraceToLog();
  auto lines = log.LogItems();
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[0], "TraceLog");
  EXPECT_EQ(lines[1], "Caller 50  Event 1050");
  EXPECT_EQ(lines[100], "Caller 149  Event 1149");
  log.ClearLogTrace();
  log.Clear();
  log.DumpTraceToLog();
  EXPECT_EQ(log.LogItems()[1], "Caller 0  Event 0");
}

TEST(TavLoggerTest, NamedMonitors) {
  TDBLogger log;
  log.NamedMonitorDelta("reads", 5);
  EXPECT_EQ(log.NamedMonitors().at(0), "reads=5");
  log.NamedMonitorDelta("READS", -2);
  EXPECT_EQ(log.NamedMonitorValue("reads"), 3);
  log.NamedMonitorReset("writes", 9);
  EXPECT_EQ(log.NamedMonitors().at(1), "writes=9");
  log.Clear();
  EXPECT_TRUE(log.NamedMonitors().empty());
}

TEST(TavLoggerTest, SavesOnRequestAndAtDestruction) {
  std::string path = ::testing::TempDir() + "tavlog_" + std::to_string(::getpid()) + ".txt";
  {
    TDBLogger log;
    log.LogItem("a", "first");
    log.SetOutputFileName(path);
    log.LogItem("b", "second");
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  EXPECT_NE(text.find("a : first\r\n"), std::string::npos);
  EXPECT_NE(text.find("b : second\r\n"), std::string::npos);
  std::remove(path.c_str());
}

TEST(TavLoggerTest, ConcurrentWritersTracersAndClearDoNotCorrupt) {
  TDBLogger log;
  std::thread t1([&] {
    for (int i = 0; i < 2000; ++i) log.LogItem("t1", "x");
  });
  std::thread t2([&] {
    for (int i = 0; i < 200; ++i) {
      log.Clear();
      log.DumpTraceToLog();
      log.NamedMonitorDelta("n", 1);
    }
  });
  // The trace ring is written, cleared and dumped from three threads.
  std::thread t3([&] {
    for (int i = 0; i < 5000; ++i) {
      log.AddLogTraceItem(i, -i);
      if (i % 700 == 0) log.ClearLogTrace();
    }
  });
  t1.join();
  t2.join();
  t3.join();
  EXPECT_GT(log.LogItemCount(), 0);
}

TEST(TavLoggerTest, AShareTakenBeforeShutdownOutlivesIt) {
  TavEngineStartup();
  std::shared_ptr<TDBLogger> held = GDBLogger();
  ASSERT_NE(held, nullptr);
  // Writers keep logging through the global log while it is shut down and
  // started again: each either gets a live log or none.
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&] {
      while (!stop.load())
        if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->LogItem("w", "line");
    });
  for (int i = 0; i < 50; ++i) {
    TavEngineShutdown();
    TavEngineStartup();
  }
  stop = true;
  for (auto& w : writers) w.join();
  TavEngineShutdown();
  EXPECT_EQ(GDBLogger(), nullptr);
  held->LogItem("after", "shutdown");
  EXPECT_EQ(held->LogItems().back().find("after : shutdown") != std::string::npos, true);
  TavEngineStartup();
  EXPECT_NE(GDBLogger(), held) << "a new log after the restart";
}

TEST(TavLoggerTest, StartupIsIdempotentAndSystemInfoAnswers) {
  TavEngineStartup();
  std::shared_ptr<TDBLogger> first = GDBLogger();
  TavEngineStartup();
  EXPECT_EQ(GDBLogger(), first);
  EXPECT_FALSE(GetCurrentComputer().empty());
  EXPECT_NE(GetOSDetails(), "unknown");
  EXPECT_FALSE(GetOSErrorMsg().empty());
  EXPECT_NE(GetCurrentThreadIdVal(), 0u);
}

}  // namespace
}  // namespace tav

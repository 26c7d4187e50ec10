// A damaged database file gives the engine's own numbered errors or results
// that agree with the table, never a crash, a hang or an index that points
// past its records. Every page of a well-formed file is damaged in turn (the
// fixed area with its headers included), a fixed set of ways per page, and
// every table operation is run over the result in a child process under a
// time limit of its own, under the sanitizers.
//
// What "agree" means: each operation's result is what the table says (a
// unique key found at most once and in its record, a record just added found
// by its key, a deleted one gone), and afterwards the indexes hold exactly
// the records in use, each with its record's key, in order, each found by a
// search. Values are not guarded by the file format: a damaged record value,
// index key or leaf address reads back as another value. Where the damage
// hit a record or index page of the table, only the first part of the rule
// holds: an engine error or no crash, no hang and no foreign exception.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"DATA", host::ftBlob}};
const std::vector<TTableIndexDesc> kIndexes = {{"ById", "ID", true},
                                               {"ByName", "NAME", false, false, true}};
constexpr uint32_t kPageSize = 4096;
constexpr int kRecords = 240;
// Per case, in seconds: far above what a case takes under the sanitizers.
constexpr unsigned kCaseTimeLimit = 30;

// How one case ended, as the child's exit code.
enum TOutcome : int {
  kAgreed = 0,    // every operation ran and the results agree with the table
  kRefused = 1,   // an operation raised an engine error
  kDisagreed = 2, // no error, yet the results contradict the table
  kForeign = 3,   // an exception that is not the engine's
};

// The ways a page is damaged: random bytes, a burst, a 32-bit word set to a
// value that looks like something (zero, all ones, another page's address,
// a small count). Pages of the file's own structures (the fixed area, map
// pages, table headers and definitions) are damaged more often than pages of
// table data, whose bytes are mostly values.
constexpr int kWays = 4;
constexpr int kStructureCases = 16;

void Damage(std::string& bytes, uint32_t page, int way, std::mt19937& rng) {
  // The fixed area is zero outside its two headers: damage goes there.
  auto place = [&](uint32_t width) -> size_t {
    if (page == 0) return 768 + rng() % (1152 - 768 - width + 1);
    return size_t{page} * kPageSize + rng() % (kPageSize - width + 1);
  };
  const uint32_t pages = static_cast<uint32_t>(bytes.size() / kPageSize);
  switch (way) {
    case 0:
      for (int h = 1 + static_cast<int>(rng() % 4); h > 0; --h)
        bytes[place(1)] = static_cast<char>(rng());
      break;
    case 1: {
      const size_t at = place(16);
      for (int i = 0; i < 16; ++i)
        if (rng() % 2) bytes[at + static_cast<size_t>(i)] = static_cast<char>(rng());
      break;
    }
    default: {
      // Words on a 4-byte boundary, where the structures keep theirs.
      const size_t at = place(4) & ~size_t{3};
      const uint32_t values[] = {0, 0xFFFFFFFFu, static_cast<uint32_t>(rng() % pages) * kPageSize,
                                 static_cast<uint32_t>(rng() % 64)};
      host::PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + at, values[rng() % 4]);
      break;
    }
  }
}

// Each operation a reader and a writer do, with what its result must show.
// Returns the outcome; `why` tells a disagreement.
TOutcome Exercise(const std::string& path, int32_t id, bool valuesHit, std::string& why) {
  try {
    TTestDatabaseFile db(path, false);
    auto table = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
    TTableConnection& c = *table;
    auto idOf = [&](uint32_t a) { return c.GetInteger(c.Read(a).data(), "ID"); };

    for (uint32_t a : c.Walk("ByName")) {
      std::vector<uint8_t> rec = c.Read(a);
      c.ReadBlob(rec.data(), "DATA");
    }
    const std::vector<uint32_t> found = c.Find("ById", host::Variant(17));
    if (found.size() > 1) {
      why = "a unique index found 17 twice";
      return kDisagreed;
    }
    if (valuesHit) {
      // Only what the engine can tell from damage counts here.
      std::vector<uint8_t> rec = c.NewRecord();
      c.SetInteger(rec, "ID", 100000);
      c.SetString(rec, "NAME", "late");
      c.Insert(rec, {{"DATA", std::string(3000, 'q')}});
      for (uint32_t a : c.Find("ById", host::Variant(5))) c.Delete(a);
      CheckIndexesAgree(c);
      return kAgreed;
    }
    if (found.size() == 1 && idOf(found[0]) != 17) {
      why = "the search for 17 found another record";
      return kDisagreed;
    }
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", 100000);
    c.SetString(rec, "NAME", "late");
    const uint32_t added = c.Insert(rec, {{"DATA", std::string(3000, 'q')}});
    if (c.Find("ById", host::Variant(100000)) != std::vector<uint32_t>{added}) {
      why = "the record just added is not found by its key";
      return kDisagreed;
    }
    if (c.ReadBlob(c.Read(added).data(), "DATA") != std::string(3000, 'q')) {
      why = "the BLOB just added reads back otherwise";
      return kDisagreed;
    }
    for (uint32_t a : c.Find("ById", host::Variant(5))) c.Delete(a);
    if (!c.Find("ById", host::Variant(5)).empty()) {
      why = "a deleted record is still found";
      return kDisagreed;
    }
    why = CheckIndexesAgree(c);
    if (why.empty()) {
      // What was written reads back alike in a connection of its own.
      table.reset();
      auto again = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
      why = CheckIndexesAgree(*again);
    }
    return why.empty() ? kAgreed : kDisagreed;
  } catch (const ETavDatabaseError&) {
    return kRefused;
  } catch (const std::exception& e) {
    why = e.what();
    return kForeign;
  }
}

// Runs one case in a child that the time limit ends. The exit code is the
// outcome; a signal (the limit's SIGALRM among them) gives -signal.
int RunCase(const std::string& path, int32_t id, bool valuesHit, std::string& why) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1000;
  const pid_t pid = fork();
  if (pid < 0) return -1000;
  if (pid == 0) {
    close(pipeFds[0]);
    alarm(kCaseTimeLimit);
    std::string text;
    const int outcome = Exercise(path, id, valuesHit, text);
    if (!text.empty() && write(pipeFds[1], text.data(), text.size()) < 0) _exit(97);
    _exit(outcome);
  }
  close(pipeFds[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(pipeFds[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    why.append(buf, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(DamagedFile, EveryPageDamagedGivesAnErrorOrAgreeingResults) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string good = dir / "good.tav";
  int32_t id = 0;
  std::vector<uint16_t> owners;
  {
    TTestDatabaseFile db(good, true);
    TTableDef def(nullptr);
    BuildTableDef(def, "T", false, kFields, kIndexes);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    id = def.TableID();
    TTableConnection c(db.Tables(), def);
    for (int i = 0; i < kRecords; ++i) {
      std::vector<uint8_t> rec = c.NewRecord();
      c.SetInteger(rec, "ID", i);
      c.SetString(rec, "NAME", "Name " + std::to_string(i % 41));
      c.Insert(rec, {{"DATA", std::string(static_cast<size_t>((i * 37) % 300), 'd')}});
    }
    // A few holes, so that free chains have something on them.
    for (int i = 0; i < kRecords; i += 29)
      for (uint32_t a : c.Find("ById", host::Variant(i))) c.Delete(a);
    ASSERT_EQ(CheckIndexesAgree(c), "");
    const uint32_t pages = static_cast<uint32_t>(db.DiskMgr().GetFileSize() / kPageSize);
    for (uint32_t p = 0; p < pages; ++p)
      owners.push_back(db.DiskMgr().GetPageOwnerCode(p * kPageSize));
  }
  const std::string image = os::test::ReadWholeFile(good);
  ASSERT_EQ(image.size(), owners.size() * kPageSize);
  const std::string path = dir / "bad.tav";
  auto holdsValues = [&](uint16_t owner) {
    return owner == id * 16 + kUsageRecord || owner == id * 16 + kUsageIndex;
  };

  int cases = 0, refused = 0;
  for (uint32_t page = 0; page < owners.size(); ++page) {
    const bool tableData = (owners[page] >> 4) == static_cast<uint32_t>(id);
    const int count = tableData ? kWays : kStructureCases;
    for (int n = 0; n < count; ++n, ++cases) {
      const int way = n % kWays;
      std::mt19937 rng(page * kStructureCases + static_cast<uint32_t>(n));
      std::string bytes = image;
      Damage(bytes, page, way, rng);
      if (bytes == image) continue;
      os::test::WriteWholeFile(path, bytes);
      std::string why;
      const int outcome = RunCase(path, id, holdsValues(owners[page]), why);
      const std::string where = "page " + std::to_string(page) + " (owner " +
                                std::to_string(owners[page]) + "), case " + std::to_string(n);
      if (outcome == kRefused) ++refused;
      if (outcome == -SIGALRM)
        ADD_FAILURE() << where << ": over the time limit";
      else if (outcome < 0)
        ADD_FAILURE() << where << ": died by signal " << -outcome;
      else if (outcome == kDisagreed)
        ADD_FAILURE() << where << ": " << why;
      else if (outcome != kAgreed && outcome != kRefused)
        ADD_FAILURE() << where << ": outcome " << outcome << " " << why;
    }
  }
  EXPECT_GT(refused, 0) << "the damage was never noticed";
  std::printf("%d damaged files, %d refused with an engine error\n", cases, refused);
}

}  // namespace
}  // namespace tav::test

// A connection that has the file to itself journals of each page only the
// 64-byte blocks its commit changes, comparing the pages with the bytes the
// file held. Whatever a transaction did to a page (changed it twice, put its
// old bytes back, wrote across block and page edges, grew the file, wrote raw
// bytes under a cached page, rewrote a raw block the last commit wrote), a
// commit cut off after any of its writes must be taken back by the next
// opener to the file as it was before the transaction, byte for byte and
// length for length.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "engine/storage/crypto/xor_crypt.h"
#include "engine/storage/file/tav_file.h"
#include "engine/storage/file/tav_journal.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/fault_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/variant.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kFilePages = 6;

std::string Bytes(uint32_t n, int seed) {
  std::string s(n, '\0');
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed * 29 + i / 61) & 0xFF);
  return s;
}

// What a scenario does to the file, and the file as it should read after.
class TEditor {
 public:
  TEditor(TTavFile& f, std::string& model) : f_(f), model_(model) {}
  // A write through the page cache (owner 0, plain) or a raw one.
  void Write(uint32_t pos, const std::string& s, uint32_t flags = kAccessCached) {
    f_.SeekAndWriteTavFile(s.data(), pos, static_cast<uint32_t>(s.size()), 0, flags);
    if (model_.size() < pos + s.size()) model_.resize(pos + s.size(), '\0');
    model_.replace(pos, s.size(), s);
  }
  // Writes back what the model says the bytes are (the old ones).
  void Restore(uint32_t pos, uint32_t n) { Write(pos, model_.substr(pos, n)); }
  std::string Read(uint32_t pos, uint32_t n, uint32_t flags = kAccessCached) {
    std::string s(n, '\0');
    f_.SeekAndReadTavFile(s.data(), pos, n, 0, flags);
    return s;
  }
  std::string Model(uint32_t pos, uint32_t n) const { return model_.substr(pos, n); }
  TTavFile& File() { return f_; }

 private:
  TTavFile& f_;
  std::string& model_;
};

struct TScenario {
  const char* Name;
  // Committed work before the transaction under test (the same each time).
  std::function<void(TEditor&)> Warm;
  // The transaction under test.
  std::function<void(TEditor&)> Run;
};

class ExclusiveCommitCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    os::test::WriteWholeFile(path_, "");
  }

  void Open(TTavFile& f, os::TFileIO& data, os::TFileIO& journal) {
    f.SetPageSize(kPage);
    f.SetXORKeyBuf(C_TAVXORKEY, C_TAVXORKEYLEN);
    f.SetOpenRead(true);
    f.SetOpenWrite(true);
    f.SetOpenReadExclusive(true);
    f.SetOpenWriteExclusive(true);
    f.SetCacheActive(true);
    f.SetDataFile(&data);
    f.SetJournalDataFile(&journal);
    ASSERT_GE(f.OpenTavFile(path_), 1);
    f.OpenJournal(path_ + ".jnl", path_);
  }

  static std::string Initial() {
    std::string s;
    for (uint32_t p = 0; p < kFilePages; ++p) s += Bytes(kPage, static_cast<int>(p));
    return s;
  }

  // Runs the scenario once cleanly, then once cut off after each write of
  // its commit, and checks what the next opener finds.
  void Check(const TScenario& sc) {
    SCOPED_TRACE(sc.Name);
    std::string before, after, model = Initial();
    uint64_t writes = 0;
    {
      os::test::TMemFile data(Initial());
      os::test::TMemFile journal;
      test::TCrashLinkedFile link(journal, data);
      TTavFile f;
      Open(f, data, link);
      TEditor ed(f, model);
      if (sc.Warm) sc.Warm(ed);
      before = data.Contents();
      ASSERT_TRUE(before == model) << "the warm-up commits did not land";
      data.ResetCounters();
      f.StartTransaction();
      sc.Run(ed);
      f.Commit();
      writes = data.Writes();
      after = data.Contents();
      f.CloseTavFile();
    }
    ASSERT_TRUE(after == model) << "a clean commit left other bytes than it wrote";
    ASSERT_NE(before, after) << "the scenario changes nothing";
    ASSERT_GT(writes, 0u);
    int restored = 0;
    for (uint64_t n = 0; n <= writes; ++n) {
      SCOPED_TRACE("cut off after write " + std::to_string(n) + " of " + std::to_string(writes));
      const auto [now, wasRestored] = CutOffAfter(sc, n);
      if (wasRestored) ++restored;
      if (n < writes) {
        EXPECT_EQ(now.size(), before.size()) << "the file's length was not put back";
        EXPECT_TRUE(now == before) << "bytes changed: first at " << FirstDifference(now, before);
      } else {
        EXPECT_TRUE(now == before || now == after) << "torn at the end";
      }
      if (HasFailure()) return;
    }
    EXPECT_GT(restored, 0) << "no cut-off commit was taken back";
  }

  // Runs the scenario on a fresh file with its commit cut off after write
  // `n`, then opens the file as the next opener does: the file's bytes then,
  // and whether a journal was taken back.
  std::pair<std::string, bool> CutOffAfter(const TScenario& sc, uint64_t n) {
    os::test::TMemFile data(Initial());
    os::test::TMemFile journal;
    test::TCrashLinkedFile link(journal, data);
    {
      std::string scratch = Initial();
      TTavFile f;
      Open(f, data, link);
      TEditor ed(f, scratch);
      if (sc.Warm) sc.Warm(ed);
      data.Inject(os::test::fkCrash, n);
      f.StartTransaction();
      sc.Run(ed);
      f.Commit();
      f.CloseTavFile();
    }
    data.Heal();
    TTavFile g;
    Open(g, data, link);
    const bool restored = g.RecoverInterruptedCommit();
    std::string now = data.Contents();
    g.CloseTavFile();
    return {now, restored};
  }

  static size_t FirstDifference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
  }

  os::test::TTempDir dir_;
  std::string path_ = dir_ / "excl.tav";
};

// Pages changed more than once: later writes widen the span, overlap the
// earlier ones, and put some of the old bytes back.
TEST_F(ExclusiveCommitCrash, PagesChangedSeveralTimesInOneTransaction) {
  Check({"overlapping and widening writes", nullptr, [](TEditor& ed) {
           const std::string old = ed.Model(320, 70);
           ed.Write(300, Bytes(200, 40));
           ed.Write(100, Bytes(150, 41));  // widens the span downwards
           ed.Write(450, Bytes(400, 42));  // and upwards, over the first
           ed.Write(320, old);             // old bytes back inside the span
           ed.Restore(200, 64);            // written again as they now are
           ed.Write(kPage + 10, Bytes(20, 43));
           ed.Write(kPage + 4000, Bytes(50, 44));
         }});
  Check({"a change taken back inside the transaction", nullptr, [](TEditor& ed) {
           const std::string old = ed.Model(2 * kPage + 500, 300);
           ed.Write(2 * kPage + 500, Bytes(300, 45));
           ed.Write(2 * kPage + 500, old);  // the page is dirty, its bytes as they were
           ed.Write(3 * kPage + 7, Bytes(3, 46));
         }});
  Check({"one page dirty under two writes of the same bytes", nullptr, [](TEditor& ed) {
           ed.Write(kPage + 64, Bytes(64, 47));
           ed.Write(kPage + 64, Bytes(64, 47));
           ed.Write(kPage + 1000, ed.Model(kPage + 1000, 1000));  // unchanged, widens
         }});
}

// Changes at the edges of the compared blocks and of the pages.
TEST_F(ExclusiveCommitCrash, ChangesAtBlockAndPageEdges) {
  Check({"edges", nullptr, [](TEditor& ed) {
           ed.Write(63, Bytes(2, 50));                   // across a block edge
           ed.Write(kPage - 30, Bytes(60, 51));          // across a page edge
           ed.Write(3 * kPage - 1, Bytes(1, 52));        // a page's last byte
           ed.Write(3 * kPage + 10, ed.Model(3 * kPage + 10, 90));
           ed.Write(3 * kPage + 99, Bytes(1, 53));       // the short last block of the span
         }});
  Check({"only the short last block changes", nullptr, [](TEditor& ed) {
           std::string span = ed.Model(4 * kPage + 10, 90);
           span.back() = static_cast<char>(~span.back());
           ed.Write(4 * kPage + 10, span);
         }});
  Check({"the file's last byte", nullptr, [](TEditor& ed) {
           ed.Write(kFilePages * kPage - 1, std::string(1, '\x5a'));
         }});
}

// Writes from a page's header to past it, as a tree node's insert makes
// them: the header's count changes, the bytes before the entry inserted are
// written as they were, the rest moves. The bytes between the two changed
// parts, never saved, must come through a cut-off commit as they were,
// whichever way the page turned dirty and however often it was written.
TEST_F(ExclusiveCommitCrash, WritesFromAPagesHeaderOverBytesTheyRepeat) {
  // Rewrites [4, to) of the page at `base` as it now reads, its count byte
  // at 4 and [from, to) changed.
  const auto insert = [](TEditor& ed, uint32_t base, uint32_t from, uint32_t to, int seed,
                         bool readFirst = true) {
    std::string s = readFirst ? ed.Read(base, kPage) : ed.Model(base, kPage);
    s[4] = static_cast<char>(~s[4]);
    s.replace(from, to - from, Bytes(to - from, seed));
    ed.Write(base + 4, s.substr(4, to - 4));
  };
  Check({"inserts into pages read first", nullptr, [insert](TEditor& ed) {
           insert(ed, kPage, 600, 2000, 90);
           insert(ed, kPage, 1200, 2100, 91);  // further in
           insert(ed, kPage, 300, 2200, 92);   // nearer the header
           insert(ed, 3 * kPage, 4000, kPage, 93);  // the page's last bytes
           insert(ed, 4 * kPage, 16, 40, 94);  // right after the header
         }});
  Check({"inserts into pages not cached", nullptr, [insert](TEditor& ed) {
           insert(ed, 2 * kPage, 1000, 3000, 95, false);
           insert(ed, 2 * kPage, 500, 3100, 96);
           insert(ed, 5 * kPage, 4090, kPage, 97, false);
         }});
  Check({"the header and the end written apart", nullptr, [](TEditor& ed) {
           ed.Write(kPage + 4, Bytes(4, 98));
           ed.Write(2 * kPage - 10, Bytes(10, 99));
           ed.Write(kPage + 8, ed.Model(kPage + 8, 3000));  // repeated between them
         }});
  Check({"a page written whole, changed at both ends", nullptr, [](TEditor& ed) {
           std::string s = ed.Read(2 * kPage, kPage);
           s[0] = static_cast<char>(~s[0]);
           s[kPage - 1] = static_cast<char>(~s[kPage - 1]);
           ed.Write(2 * kPage, s);
           s[2000] = static_cast<char>(~s[2000]);
           ed.Write(2 * kPage, s);  // and again, a byte in the middle too
         }});
}

// A transaction that lengthens the file: the cut-off commit takes the new
// pages away again, zeros written past the end included.
TEST_F(ExclusiveCommitCrash, AFileThatGrewIsCutBack) {
  Check({"appended pages and a changed one", nullptr, [](TEditor& ed) {
           ed.Write(kFilePages * kPage, Bytes(kPage, 59));       // a new page
           ed.Write(kFilePages * kPage + 100, Bytes(300, 60));   // changed again
           ed.Write((kFilePages + 1) * kPage, std::string(kPage, '\0'));
           ed.Write((kFilePages + 1) * kPage + 4000, ed.Model((kFilePages + 1) * kPage + 4000, 96));
           ed.Write(2 * kPage + 5, Bytes(5, 61));
         }});
  Check({"only zeros past the end", nullptr, [](TEditor& ed) {
           ed.Write(kFilePages * kPage, std::string(2 * kPage, '\0'));
         }});
  Check({"a raw block past the end", nullptr, [](TEditor& ed) {
           ed.Write((kFilePages + 2) * kPage + 16, Bytes(256, 62), 0);
           ed.Write(kPage + 200, Bytes(8, 63));
         }});
}

// Raw blocks (outside the page cache): one the last commit wrote, rewritten
// with some of its bytes the same, and raw bytes under a page the
// transaction then reads and changes through the cache.
TEST_F(ExclusiveCommitCrash, RawBlocksKnownFromTheLastCommitAndUnderCachedPages) {
  const uint32_t block = 5 * kPage + 512;
  const auto warm = [block](TEditor& ed) {
    ed.File().StartTransaction();
    ed.Write(block, Bytes(256, 70), 0);
    ed.File().Commit();
  };
  Check({"a known raw block partly rewritten", warm, [block](TEditor& ed) {
           std::string b = ed.Model(block, 256);
           for (uint32_t i = 64; i < 128; ++i) b[i] = static_cast<char>(b[i] ^ 0x11);
           b[255] = static_cast<char>(~b[255]);
           ed.Write(block, b, 0);
         }});
  Check({"a known raw block written back as it was, and a page", warm, [block](TEditor& ed) {
           ed.Write(block, ed.Model(block, 256), 0);
           ed.Write(100, Bytes(10, 71));
         }});
  Check({"raw bytes under a page then changed through the cache", nullptr, [](TEditor& ed) {
           ed.Write(3 * kPage + 100, Bytes(100, 72), 0);
           EXPECT_TRUE(ed.Read(3 * kPage, kPage) == ed.Model(3 * kPage, kPage));
           ed.Write(3 * kPage + 150, Bytes(100, 73));
           // The raw bytes written again as the page now holds them.
           ed.Write(3 * kPage + 300, Bytes(20, 74), 0);
         }});
  Check({"a page read under pending raw bytes, written where they are not", nullptr,
         [](TEditor& ed) {
           ed.Write(kPage + 2000, Bytes(64, 75), 0);
           EXPECT_TRUE(ed.Read(kPage, kPage) == ed.Model(kPage, kPage));
           ed.Write(kPage + 100, Bytes(64, 76));
         }});
}

// Scrambled pages change beyond the bytes written and are saved whole.
TEST_F(ExclusiveCommitCrash, ScrambledPagesChangedTwice) {
  const auto warm = [](TEditor& ed) {
    ed.File().StartTransaction();
    ed.File().SeekAndWriteTavFile(Bytes(kPage, 80).data(), 2 * kPage, kPage, 7,
                                  kAccessCached | kAccessXor);
    ed.File().Commit();
  };
  // The model cannot say what a scrambled page looks like on disk: the
  // scenario keeps the model in step by reading the file's bytes.
  TScenario sc{"scrambled", nullptr, nullptr};
  sc.Warm = [warm](TEditor& ed) {
    warm(ed);
    ed.File().CacheMgr().ClearCache();
    const std::string raw = ed.Read(2 * kPage, kPage, 0);
    ed.File().StartTransaction();
    ed.Write(2 * kPage, raw, 0);  // the same bytes: keeps the model true
    ed.File().Commit();
  };
  sc.Run = [](TEditor& ed) {
    ed.File().SeekAndWriteTavFile(Bytes(40, 81).data(), 2 * kPage + 100, 40, 7,
                                  kAccessCached | kAccessXor);
    ed.File().SeekAndWriteTavFile(Bytes(40, 82).data(), 2 * kPage + 3000, 40, 7,
                                  kAccessCached | kAccessXor);
    ed.Write(4 * kPage + 64, Bytes(64, 83));
  };
  // The clean run's bytes differ from the model on the scrambled page: the
  // check of the clean run is left to the recovery loop.
  SCOPED_TRACE("scrambled");
  std::string model = Initial();
  {
    os::test::TMemFile data(Initial());
    os::test::TMemFile journal;
    test::TCrashLinkedFile link(journal, data);
    TTavFile f;
    Open(f, data, link);
    TEditor ed(f, model);
    sc.Warm(ed);
    const std::string before = data.Contents();
    data.ResetCounters();
    f.StartTransaction();
    sc.Run(ed);
    f.Commit();
    const uint64_t writes = data.Writes();
    f.CloseTavFile();
    for (uint64_t n = 0; n < writes; ++n) {
      SCOPED_TRACE(n);
      EXPECT_TRUE(CutOffAfter(sc, n).first == before);
      if (HasFailure()) break;
    }
  }
}


// ---- a writer process killed in its commits ----

const std::vector<test::TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"DATA", host::ftBlob}};
const std::vector<test::TTableIndexDesc> kIndexes = {{"ById", "ID", true}, {"ByName", "NAME"}};

// id -> BLOB length.
using TRows = std::map<int32_t, size_t>;

void InsertRow(test::TTableConnection& c, int32_t id, size_t blob) {
  std::vector<uint8_t> rec = c.NewRecord();
  c.SetInteger(rec, "ID", id);
  c.SetString(rec, "NAME", "Name " + std::to_string(id % 41));
  std::map<std::string, std::string> blobs;
  if (blob != 0) blobs["DATA"] = std::string(blob, static_cast<char>('a' + id % 26));
  c.Insert(rec, blobs);
}

TRows ReadRows(test::TTableConnection& c) {
  TRows rows;
  for (uint32_t a : c.LiveRecords()) {
    const std::vector<uint8_t> rec = c.Read(a);
    const std::string blob = c.ReadBlob(rec.data(), "DATA");
    const int32_t id = c.GetInteger(rec.data(), "ID");
    // A BLOB is whole and its own: every byte the row's letter.
    const bool own = blob.find_first_not_of(static_cast<char>('a' + id % 26)) == std::string::npos;
    rows[id] = own ? blob.size() : SIZE_MAX;
  }
  return rows;
}

constexpr uint16_t kExclusive = fmOpenReadWrite | fmShareExclusive;

// A connection that has the file to itself commits small and large changes
// (rows with and without BLOBs added, rows deleted) and is killed at a
// random instant of one of its commits. The next exclusive opener finds the
// table as before that commit or as after it, never in between, with every
// index agreeing with the records; a commit reported finished is there.
TEST(ExclusiveWriterKilled, ACommitKilledAtAnyInstantLeavesTheStateBeforeOrAfterIt) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "killed.tav";
  int32_t tableId = 0;
  TRows rows;
  int32_t nextId = 0;
  {
    test::TTestDatabaseFile db(path, true, 4096, nullptr, nullptr, kExclusive);
    TTableDef def(nullptr);
    test::BuildTableDef(def, "T", false, kFields, kIndexes);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    tableId = def.TableID();
    test::TTableConnection c(db.Tables(), def);
    for (; nextId < 150; ++nextId) {
      InsertRow(c, nextId, static_cast<size_t>(nextId % 5 == 0 ? 3000 : nextId % 300));
      rows[nextId] = static_cast<size_t>(nextId % 5 == 0 ? 3000 : nextId % 300);
    }
  }
  std::mt19937 rng(20261211);
  double took = 0.002;  // how long a commit takes, learnt as they finish
  int runs = 0, inside = 0, restored = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  while (runs < 300 && (runs < 60 || (restored < 8 && elapsed() < 90))) {
    SCOPED_TRACE("run " + std::to_string(runs));
    // The plan: a few rows or many, some with BLOBs over several pages,
    // some rows deleted.
    std::vector<std::pair<int32_t, size_t>> add;
    std::vector<int32_t> remove;
    const int adds = rng() % 3 == 0 ? 40 + static_cast<int>(rng() % 80) : 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < adds; ++i) add.push_back({nextId++, rng() % 4 == 0 ? 5000 + rng() % 9000 : rng() % 200});
    for (const auto& [id, blob] : rows)
      if (rng() % 12 == 0) remove.push_back(id);
    TRows after = rows;
    for (int32_t id : remove) after.erase(id);
    for (const auto& [id, blob] : add) after[id] = blob;

    test::TChild writer([&](test::TChildSide& side) {
      test::TTestDatabaseFile db(path, false, 4096, nullptr, nullptr, kExclusive);
      auto c = test::OpenStoredTable(db.Tables(), "T", tableId, kFields, kIndexes);
      db.DiskMgr().DiskStartTransaction();
      for (int32_t id : remove)
        for (uint32_t a : c->Find("ById", host::Variant(id))) c->Delete(a);
      for (const auto& [id, blob] : add) InsertRow(*c, id, blob);
      side.Send(0);
      const auto begun = std::chrono::steady_clock::now();
      db.DiskMgr().DiskCommit();
      side.Send(1 + static_cast<uint64_t>(
                        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begun).count()));
      pause();
      return 0;
    });
    ASSERT_TRUE(writer.Started());
    uint64_t stage = 99;
    ASSERT_TRUE(writer.Receive(stage));
    ASSERT_EQ(stage, 0u);
    std::this_thread::sleep_for(
        std::chrono::microseconds(static_cast<long>(std::uniform_real_distribution<double>(0, took)(rng) * 1e6)));
    writer.Kill();
    EXPECT_EQ(writer.Wait(), -1);
    const bool finished = writer.Receive(stage);
    if (finished) took = std::max(static_cast<double>(stage - 1) / 1e6, 0.0002);
    if (!finished) ++inside;
    if (!test::JournalHoldsNothing(os::test::ReadWholeFile(GetJournalFileName(path)))) ++restored;

    test::TTestDatabaseFile db(path, false, 4096, nullptr, nullptr, kExclusive);
    auto c = test::OpenStoredTable(db.Tables(), "T", tableId, kFields, kIndexes);
    const TRows now = ReadRows(*c);
    if (finished) {
      EXPECT_TRUE(now == after) << "a finished commit was lost";
    }
    EXPECT_TRUE(now == rows || now == after) << "neither the state before nor after the commit";
    EXPECT_EQ(test::CheckIndexesAgree(*c), "");
    if (HasFailure()) break;
    rows = now;
    ++runs;
  }
  RecordProperty("runs", runs);
  RecordProperty("killed_inside", inside);
  RecordProperty("restored", restored);
  EXPECT_GT(restored, 0) << "no kill landed inside a commit's writes";
}

}  // namespace
}  // namespace tav

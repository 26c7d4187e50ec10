// A walk over a disk table while another process rewrites it. The writer
// commits versions: in version v every base record holds v (and fields
// derived from it and its id), and one extra record N + v % 5 exists. The
// walker checks every record it is given: whole (its fields agree with one
// another), never older than what was committed before the lock that read it,
// never going back along the walk, and the walk itself in key order without
// losing a base record. Steps served from the read-ahead buffer take no lock
// for a short while after its fill; with the clock moved on past that while
// before each step, every step locks and must see the latest commit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_data_set.h"
#include "engine/components/tav_database.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/clock.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

constexpr int kBase = 600;  // several leaves of the key index
constexpr int kExtras = 5;

int32_t SumOf(int32_t id, int32_t version) { return id * 31 + version * 7; }
std::string NameOf(int32_t id, int32_t version) {
  return std::string(12, static_cast<char>('a' + version % 26)) + std::to_string(id);
}

// Shared with the writer process.
struct TShared {
  std::atomic<int32_t> Committed{0};
  std::atomic<int32_t> Stop{0};
};

std::unique_ptr<TTavDataBase> Connect(const std::string& path) {
  auto db = std::make_unique<TTavDataBase>(nullptr);
  db->SetDataBaseName(path);
  db->SetLockRetryMaximum(1000000);
  db->SetLockRetryInterval(1);
  return db;
}

void SetRow(TTavBaseTable& t, int32_t id, int32_t version) {
  t.FieldByName("ID")->SetAsInteger(id);
  t.FieldByName("VER")->SetAsInteger(version);
  t.FieldByName("SUM")->SetAsInteger(SumOf(id, version));
  t.FieldByName("NAME")->SetAsString(NameOf(id, version));
}

void CreateTable(const std::string& path) {
  auto db = Connect(path);
  db->CreateDatabase();
  db->Open();
  TTavBaseTable t(nullptr);
  t.SetDataBase(db.get());
  t.SetTableName("W");
  t.FieldDefs().Add("ID", host::ftInteger, 0, true);
  t.FieldDefs().Add("VER", host::ftInteger);
  t.FieldDefs().Add("SUM", host::ftInteger);
  t.FieldDefs().Add("NAME", host::ftString, 24);
  t.IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  t.CreateTable();
  t.Open();
  db->StartTransaction();
  for (int id = 0; id <= kBase; ++id) {  // kBase itself is version 0's extra
    t.Append();
    SetRow(t, id, 0);
    t.Post();
  }
  db->Commit();
  t.Close();
}

// Commits version after version until told to stop.
void Writer(const std::string& path, TShared& shared) {
  auto db = Connect(path);
  db->Open();
  TTavBaseTable t(nullptr);
  t.SetDataBase(db.get());
  t.SetTableName("W");
  t.Open();
  for (int32_t v = 1; shared.Stop.load() == 0 && v < 100000; ++v) {
    db->StartTransaction();
    for (t.First(); !t.Eof(); t.Next()) {
      const int32_t id = t.FieldByName("ID")->AsInteger();
      if (id >= kBase) continue;
      t.Edit();
      SetRow(t, id, v);
      t.Post();
    }
    if (t.Locate("ID", kBase + (v - 1) % kExtras, {})) t.Delete();
    t.Append();
    SetRow(t, kBase + v % kExtras, v);
    t.Post();
    db->Commit();
    shared.Committed.store(v);
  }
  t.Close();
  db->Close();
}

class DiskWalkWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "walk.tav";
    CreateTable(path_);
    void* memory = mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    shared_ = new (memory) TShared();
  }
  void TearDown() override {
    StopWriter();
    munmap(shared_, sizeof(TShared));
  }

  void StartWriter() {
    std::fflush(nullptr);
    writer_ = fork();
    ASSERT_GE(writer_, 0);
    if (writer_ == 0) {
      int rc = 0;
      try {
        Writer(path_, *shared_);
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
    // The walks start once the writer is under way.
    for (int i = 0; i < 600000 && shared_->Committed.load() < 1; ++i) usleep(100);
    ASSERT_GE(shared_->Committed.load(), 1) << "the writer never committed";
  }
  // The writer's exit code; -1 when it did not exit on its own.
  int StopWriter() {
    if (writer_ <= 0) return -1;
    shared_->Stop.store(1);
    int status = 0;
    waitpid(writer_, &status, 0);
    writer_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // One walk in read-ahead mode, as a host fetching many records walks.
  // Before each step `beforeStep` runs (it may move the clock). Returns the
  // versions seen.
  std::set<int32_t> Walk(TTavDataSet& ds, const std::function<void()>& beforeStep) {
    std::set<int32_t> versions;
    const int idNo = ds.GetFieldNo("ID"), verNo = ds.GetFieldNo("VER");
    const int sumNo = ds.GetFieldNo("SUM"), nameNo = ds.GetFieldNo("NAME");
    ds.SetReadAheadMode(raReadAheadUninitialized);
    int32_t lastId = -1, lastVersion = -1, baseSeen = 0;
    beforeStep();
    int32_t committedBefore = shared_->Committed.load();
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext()) {
      const int32_t id = ds.DataSetGetFieldDataAsVariant(idNo).AsInteger();
      const int32_t version = ds.DataSetGetFieldDataAsVariant(verNo).AsInteger();
      EXPECT_EQ(ds.DataSetGetFieldDataAsVariant(sumNo).AsInteger(), SumOf(id, version))
          << "a torn record: id " << id;
      EXPECT_EQ(ds.DataSetGetFieldDataAsVariant(nameNo).AsString(), NameOf(id, version))
          << "a torn record: id " << id;
      EXPECT_GT(id, lastId) << "the walk went back";
      EXPECT_GE(version, lastVersion) << "an older record after a newer one: id " << id;
      if (locks_every_step_) {
        EXPECT_GE(version, committedBefore) << "a stale record: id " << id;
      }
      if (id < kBase) ++baseSeen;
      lastId = id;
      lastVersion = version;
      versions.insert(version);
      if (::testing::Test::HasFailure()) break;
      beforeStep();
      committedBefore = shared_->Committed.load();
    }
    ds.ClearReadAheadMode();
    if (!::testing::Test::HasFailure()) {
      EXPECT_EQ(baseSeen, kBase) << "a base record was lost";
    }
    return versions;
  }

  os::test::TTempDir dir_;
  std::string path_;
  TShared* shared_ = nullptr;
  pid_t writer_ = 0;
  bool locks_every_step_ = false;
};

TEST_F(DiskWalkWriterTest, AWalkNeverReturnsAStaleOrTornRecord) {
  StartWriter();
  auto db = Connect(path_);
  db->Open();
  TTavDataSet ds(nullptr);
  ds.SetDataBase(db.get());
  ds.SetTableName("W");
  ds.DataSetOpen();
  ASSERT_TRUE(ds.UseReadAheadBuffer());

  // Every step past the unlocked while: each one locks, checks the header
  // and must show at least what was committed before it.
  os::TManualClock clock(0.0, 1000);
  os::TScopedClock useClock(clock);
  std::set<int32_t> seen;
  locks_every_step_ = true;
  for (int walk = 0; walk < 6 && !HasFailure(); ++walk) {
    const std::set<int32_t> v =
        Walk(ds, [&] { clock.Advance(kReadAheadUnlockedPeriod + 1); });
    seen.insert(v.begin(), v.end());
  }
  // Time standing still: fills serve the steps after them without a lock.
  // The walks go on until they have met several of the writer's versions
  // (a quick walk can outrun a loaded writer), for at most half a minute.
  locks_every_step_ = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int walk = 0; (walk < 6 || seen.size() < 3) && !HasFailure() &&
                     std::chrono::steady_clock::now() < deadline;
       ++walk) {
    const std::set<int32_t> v = Walk(ds, [] {});
    seen.insert(v.begin(), v.end());
  }
  ds.DataSetClose();
  db->Close();
  EXPECT_EQ(StopWriter(), 0) << "the writer failed";
  // The walks really ran beside the writer's commits.
  EXPECT_GE(seen.size(), 3u);
}

}  // namespace
}  // namespace tav

#include "engine/storage/file/map_page_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/file/global_hdr.h"
#include "engine/storage/file/page_io.h"
#include "engine/storage/lock/lock_mgr.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::Get16;
using test::Get32;
using test::PagePattern;
using test::Put16;
using test::Put32;
using test::TMapImage;

constexpr uint32_t kPage = 4096;
constexpr uint32_t kEntries = (kPage - 20) / 2;
constexpr uint32_t kMap0 = 5 * kPage;
constexpr uint16_t kCode = 1 * 16 + 9;  // table 1, records

uint32_t Offset(uint32_t page) {
  return 20 + 2 * (page % kEntries);
}

class MapPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.Ok());
    db_.Create();
  }
  void Open() {
    db_.Configure(m_);
    m_.Open();
  }
  uint32_t Alloc(uint32_t count, uint32_t owner = 1, uint32_t kind = 9) {
    const std::string data = PagePattern(count * kPage, owner);
    return m_.WriteNewPages(owner, kind, data.data(), count, kAccessCached);
  }
  void Free(uint32_t page, uint32_t count = 1) { m_.ReleasePages(page * kPage, count); }
  TMapImage Map() const { return db_.Map(); }
  std::vector<uint32_t> Chain() const { return Map().FreePages(); }
  // Rewrites bytes of the closed file.
  void Patch(const std::function<void(std::string&)>& change) {
    m_.Close();
    std::string raw = db_.Bytes();
    change(raw);
    os::test::WriteWholeFile(db_.Path(), raw);
  }

  test::TScratchDb db_;
  TDiskMgr m_;
};

TEST_F(MapPageTest, ARunIsFoundOnlyWhereItsEntriesAreAdjacentAndTheEntriesBeforeItStay) {
  Open();
  EXPECT_EQ(Alloc(10), 6 * kPage);  // pages 6 .. 15
  // Freed out of order, the chain is still ascending.
  for (uint32_t page : {13u, 7u, 10u, 14u, 9u, 12u}) Free(page);
  TMapImage img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.FreePages(), (std::vector<uint32_t>{7, 9, 10, 12, 13, 14}));
  EXPECT_EQ(img.firstMapPageEmpty, kMap0);

  // 9 and 10 are only two; 12, 13, 14 are the run. Its predecessor 10 is
  // linked past it and 7 stays at the head.
  EXPECT_EQ(Alloc(3), 12 * kPage);
  img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.FreePages(), (std::vector<uint32_t>{7, 9, 10}));
  EXPECT_EQ(img.Entry(12), kCode);
  EXPECT_EQ(img.Entry(14), kCode);

  // No run of 3 left: new pages are appended and the free ones stay.
  EXPECT_EQ(Alloc(3), 16 * kPage);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 9, 10}));
  EXPECT_EQ(Alloc(2), 9 * kPage);
  EXPECT_EQ(Alloc(1), 7 * kPage);
  img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_TRUE(img.FreePages().empty());
  // The page that ran out of free entries is no longer the hint.
  EXPECT_EQ(img.firstMapPageEmpty, 0u);
  EXPECT_EQ(img.filePages, 19u);
}

TEST_F(MapPageTest, AllocationsAndReleasesInAnyOrderLoseNoPageAndNeverHandOutAPageTwice) {
  Open();
  std::mt19937 rng(12345);
  struct TRun {
    uint32_t page, count;
    uint16_t code;
    uint32_t seed;
  };
  std::vector<TRun> live;
  std::map<uint32_t, uint16_t> owned;  // page -> code
  uint32_t seed = 0;
  uint64_t allocated = 0;
  for (int step = 0; step < 500; ++step) {
    if (live.empty() || rng() % 100 < 55) {
      const uint32_t count = 1 + rng() % 4;
      const uint32_t owner = 1 + rng() % 3;
      const std::string data = PagePattern(count * kPage, ++seed);
      const uint32_t address = m_.WriteNewPages(owner, 9, data.data(), count, kAccessCached);
      allocated += count;
      ASSERT_EQ(address % kPage, 0u);
      const TRun run{address / kPage, count, static_cast<uint16_t>(owner * 16 + 9), seed};
      for (uint32_t p = run.page; p < run.page + count; ++p) {
        ASSERT_EQ(owned.count(p), 0u) << "page " << p << " handed out twice at step " << step;
        owned[p] = run.code;
      }
      live.push_back(run);
    } else {
      const size_t pick = rng() % live.size();
      const TRun run = live[pick];
      live.erase(live.begin() + static_cast<long>(pick));
      Free(run.page, run.count);
      for (uint32_t p = run.page; p < run.page + run.count; ++p) owned.erase(p);
    }
    if (step % 25 != 24) continue;
    const TMapImage img = Map();
    ASSERT_EQ(img.error, "") << "step " << step;
    // Each change keeps the free chain in page order.
    for (const auto& c : img.chains) ASSERT_TRUE(std::is_sorted(c.begin(), c.end())) << "step " << step;
    for (uint32_t p = 6; p < img.filePages; ++p) {
      const auto it = owned.find(p);
      if (it != owned.end())
        ASSERT_EQ(img.Entry(p), it->second) << p;
      else
        ASSERT_TRUE(img.InAnyChain(p)) << p;
    }
  }
  // What every live run holds is what was written to it.
  for (const TRun& run : live) {
    std::string back(run.count * kPage, '\0');
    m_.ReadPages(run.page * kPage, run.count, back.data(), run.code / 16, kAccessCached);
    ASSERT_EQ(back, PagePattern(run.count * kPage, run.seed)) << run.page;
  }
  // Freed pages were reused rather than new ones appended for every request.
  EXPECT_LT(Map().filePages, 6 + allocated * 3 / 4);
}

TEST_F(MapPageTest, FreedRunsJoinTheChainInPageOrderAndAChainOutOfOrderIsSortedByTheNextChange) {
  Open();
  EXPECT_EQ(Alloc(20), 6 * kPage);  // pages 6 .. 25
  Free(12, 2);
  // Before the head, after the tail, between two neighbours, beside one.
  Free(7, 2);
  Free(24, 2);
  Free(16, 3);
  Free(14);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 8, 12, 13, 14, 16, 17, 18, 24, 25}));
  // A run freed twice is linked once.
  Free(16, 3);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 8, 12, 13, 14, 16, 17, 18, 24, 25}));
  // Taking a run from the middle links its neighbours.
  EXPECT_EQ(Alloc(3), 12 * kPage);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 8, 16, 17, 18, 24, 25}));

  // A file whose chain runs out of order (24, 7, 16): the next change
  // leaves it in order, each free page on it once.
  Patch([](std::string& s) {
    for (uint32_t p : {8u, 17u, 18u, 25u}) Put16(s, kMap0 + Offset(p), kCode);
    Put16(s, kMap0 + 8, static_cast<uint16_t>(Offset(24)));
    Put16(s, kMap0 + Offset(24), static_cast<uint16_t>(0x8000 | Offset(7)));
    Put16(s, kMap0 + Offset(7), static_cast<uint16_t>(0x8000 | Offset(16)));
    Put16(s, kMap0 + Offset(16), 0x8000);
  });
  Open();
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{24, 7, 16}));
  Free(20);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 16, 20, 24}));
  Patch([](std::string& s) {
    Put16(s, kMap0 + 8, static_cast<uint16_t>(Offset(20)));
    Put16(s, kMap0 + Offset(20), static_cast<uint16_t>(0x8000 | Offset(7)));
    Put16(s, kMap0 + Offset(7), static_cast<uint16_t>(0x8000 | Offset(24)));
    Put16(s, kMap0 + Offset(24), static_cast<uint16_t>(0x8000 | Offset(16)));
    Put16(s, kMap0 + Offset(16), 0x8000);
  });
  Open();
  EXPECT_EQ(Alloc(1), 20 * kPage);
  EXPECT_EQ(Chain(), (std::vector<uint32_t>{7, 16, 24}));
  const TMapImage img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.Entry(20), kCode);
}

TEST_F(MapPageTest, ThePageAfterTheFirstMapsRangeCreatesTheSecondMapPage) {
  Open();
  EXPECT_EQ(Alloc(kEntries - 6), 6 * kPage);  // pages 6 .. 2037
  TMapImage img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.mapPageCount, 1u);
  EXPECT_EQ(m_.MapPageMgr()->DebugCheckStatus(), "");

  EXPECT_EQ(Alloc(1, 2), kEntries * kPage);  // page 2038
  img = Map();
  ASSERT_EQ(img.error, "");
  ASSERT_EQ(img.mapPageCount, 2u);
  const uint32_t map1 = (kEntries + 1) * kPage;
  EXPECT_EQ(img.mapAddrs[1], map1);
  const std::string raw = db_.Bytes();
  EXPECT_EQ(Get32(raw, kMap0 + 4), map1);  // linked from map page 0
  EXPECT_EQ(Get32(raw, map1), 1u);         // sequence 1
  EXPECT_EQ(Get32(raw, map1 + 4), 0u);
  EXPECT_EQ(img.Entry(kEntries), 2 * 16 + 9);
  EXPECT_EQ(img.Entry(kEntries + 1), kMapOwnerMapPage);
  EXPECT_EQ(img.filePages, kEntries + 2);
  EXPECT_EQ(m_.MapPageMgr()->DebugCheckStatus(), "");

  // Pages of the second map page are freed and found there.
  Free(kEntries);
  img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.firstMapPageEmpty, map1);
  EXPECT_EQ(Alloc(1, 3), kEntries * kPage);
  EXPECT_EQ(Map().error, "");
}

TEST_F(MapPageTest, ARunAcrossTheMapBoundaryIsMarkedInBothMapPages) {
  Open();
  EXPECT_EQ(Alloc(kEntries + 2), 6 * kPage);  // pages 6 .. 2045
  const TMapImage img = Map();
  ASSERT_EQ(img.error, "");
  ASSERT_EQ(img.mapPageCount, 2u);
  EXPECT_EQ(img.mapAddrs[1], (kEntries + 8) * kPage);
  for (uint32_t p = 6; p < kEntries + 8; ++p) ASSERT_EQ(img.Entry(p), kCode) << p;
  EXPECT_EQ(img.Entry(kEntries + 8), kMapOwnerMapPage);

  // Freeing across the boundary puts each part into its own map page's chain.
  Free(kEntries - 2, 4);
  const TMapImage after = Map();
  ASSERT_EQ(after.error, "");
  EXPECT_EQ(after.chains[0], (std::vector<uint32_t>{kEntries - 2, kEntries - 1}));
  EXPECT_EQ(after.chains[1], (std::vector<uint32_t>{kEntries, kEntries + 1}));
  host::TList blocks;
  m_.ListAllocatedFixedBlocks(kPage, 1, blocks, 9);
  EXPECT_EQ(blocks.Count(), static_cast<int>(kEntries + 2 - 4));
}

TEST_F(MapPageTest, OwnersMatchByCodeOrByTableAndTheFilesOwnPagesNever) {
  Open();
  const uint32_t k121 = Alloc(2, 7, 9);
  const uint32_t k113 = Alloc(1, 7, 1);
  const uint32_t k127 = Alloc(1, 7, 15);
  Alloc(1, 6, 15);                     // 111
  Alloc(1, 8, 0);                      // 128
  const uint32_t k1 = Alloc(1, 0, 1);  // table 0's header page: code 1, as the fixed area's

  ASSERT_NO_THROW(m_.SetHeaderReadLock());
  host::TList list;
  m_.MapPageMgr()->ListPagesUsedByOwner(7, 9, list, true);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(0)), k121);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(1)), k121 + kPage);
  m_.MapPageMgr()->ListPagesUsedByOwner(7, 9, list, false);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(2)), k113);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(3)), k127);
  m_.MapPageMgr()->ListPagesUsedByOwner(0, 1, list, true);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(0)), k1);
  m_.ReleaseHeaderLock();

  // Deleting one kind leaves the table's others; deleting table 0's pages
  // leaves the fixed area and the map page.
  m_.DeleteOwnedPages(7, 9, true);
  TMapImage img = Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.FreePages(), (std::vector<uint32_t>{k121 / kPage, k121 / kPage + 1}));
  EXPECT_EQ(img.firstMapPageEmpty, kMap0);
  m_.DeleteOwnedPages(0, 0, false);
  m_.DeleteOwnedPages(7, 0, false);
  img = Map();
  ASSERT_EQ(img.error, "");
  for (uint32_t p = 0; p < 5; ++p) EXPECT_EQ(img.Entry(p), kMapOwnerFixedArea);
  EXPECT_EQ(img.Entry(5), kMapOwnerMapPage);
  EXPECT_EQ(img.Entry(k1 / kPage) & 0x8000, 0x8000);
  EXPECT_EQ(img.FreePages().size(), 5u);
  EXPECT_EQ(img.Entry(10), 6 * 16 + 15);
  EXPECT_EQ(img.Entry(11), 8 * 16);
  // Freed pages are zeros on disk.
  const std::string raw = db_.Bytes();
  EXPECT_EQ(raw.substr(k121, 2 * kPage), std::string(2 * kPage, '\0'));
  EXPECT_EQ(raw.substr(k127, kPage), std::string(kPage, '\0'));
}

// A remembered owner answers without a read; whoever keeps such an answer
// keeps it only while the generation stays: every change to what is
// remembered (a page freed, forgotten, read again, a table forgotten) moves
// the generation, answers from memory do not, and no two managers share one.
TEST_F(MapPageTest, TheOwnersGenerationMovesWithEveryChangeToWhatIsRemembered) {
  Open();
  TMapPageMgr& map = *m_.MapPageMgr();
  const uint32_t page = Alloc(2, 7, 9);
  EXPECT_EQ(m_.GetPageOwnerCode(page), 7 * 16 + 9);
  uint16_t code = 0;
  ASSERT_TRUE(map.KnownPageOwner(page, code));
  ASSERT_TRUE(map.KnownPageOwner(page + kPage, code)) << "the map page answers for both";
  uint64_t seen = map.OwnersGeneration();
  EXPECT_EQ(m_.GetPageOwnerCode(page), 7 * 16 + 9);
  EXPECT_EQ(m_.GetPageOwnerCode(page + kPage), 7 * 16 + 9);
  EXPECT_EQ(map.OwnersGeneration(), seen) << "answers from memory";

  auto moved = [&] {
    const uint64_t now = map.OwnersGeneration();
    const bool changed = now != seen;
    seen = now;
    return changed;
  };
  Free(page / kPage);
  EXPECT_TRUE(moved()) << "a page freed";
  EXPECT_FALSE(map.KnownPageOwner(page, code));
  EXPECT_EQ(Alloc(1, 8, 9), page) << "the freed page goes to table 8";
  EXPECT_EQ(m_.GetPageOwnerCode(page), 8 * 16 + 9);
  EXPECT_TRUE(moved()) << "a page read again";
  map.ForgetPageOwner(page);
  EXPECT_TRUE(moved()) << "a page forgotten";
  EXPECT_EQ(m_.RereadPageOwnerCode(page + kPage), 7 * 16 + 9);
  EXPECT_TRUE(moved()) << "a page read again on request";
  map.ForgetPageOwners(7);
  EXPECT_TRUE(moved()) << "a table forgotten";
  EXPECT_FALSE(map.KnownPageOwner(page + kPage, code));
  map.ResetAddressCache();
  EXPECT_TRUE(moved()) << "everything forgotten";

  TDiskMgr other;
  db_.Configure(other);
  other.Open();
  EXPECT_NE(other.MapPageMgr()->OwnersGeneration(), map.OwnersGeneration());
  EXPECT_EQ(other.GetPageOwnerCode(page), 8 * 16 + 9);
  EXPECT_NE(other.MapPageMgr()->OwnersGeneration(), map.OwnersGeneration());
}

TEST_F(MapPageTest, TheFixedAreaAndMapPagesCannotBeFreed) {
  Open();
  Alloc(1);
  const std::string before = db_.Bytes();
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m_.ReleasePages(0, 1); }, &message), 8581);
  EXPECT_NE(message.find("Error in setting map flags - mapping corrupted"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { m_.ReleasePages(4 * kPage, 2); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { m_.ReleasePages(kMap0, 1); }), 8581);
  // Beyond the mapped area.
  EXPECT_EQ(ErrorCodeOf([&] { m_.ReleasePages(kEntries * kPage, 1); }), 8581);
  EXPECT_EQ(db_.Bytes(), before);
  EXPECT_FALSE(m_.HeaderWriteLocked());
  EXPECT_EQ(m_.QueryTableLockStatus(0), kLockTypeNone);
}

TEST_F(MapPageTest, DamagedFreeChainsRaiseInsteadOfLoopingOrHandingOutUsedPages) {
  Open();
  Alloc(6);  // pages 6 .. 11
  Free(7);
  Free(8);
  struct TCase {
    const char* what;
    std::function<void(std::string&)> damage;
  };
  const std::vector<TCase> cases = {
      {"odd head", [](std::string& s) { Put16(s, kMap0 + 8, 21); }},
      {"head in the page header", [](std::string& s) { Put16(s, kMap0 + 8, 18); }},
      {"head past the page", [](std::string& s) { Put16(s, kMap0 + 8, kPage); }},
      {"cycle",
       [](std::string& s) {
         Put16(s, kMap0 + Offset(8), static_cast<uint16_t>(0x8000 | Offset(7)));
       }},
      {"link to a used entry",
       [](std::string& s) {
         Put16(s, kMap0 + Offset(8), static_cast<uint16_t>(0x8000 | Offset(9)));
       }},
      {"link to an odd offset",
       [](std::string& s) { Put16(s, kMap0 + Offset(7), static_cast<uint16_t>(0x8000 | 23)); }},
      {"the map page itself free",
       [](std::string& s) {
         Put16(s, kMap0 + Offset(5), static_cast<uint16_t>(0x8000 | Offset(7)));
         Put16(s, kMap0 + 8, static_cast<uint16_t>(Offset(5)));
       }},
      {"a fixed page free",
       [](std::string& s) {
         Put16(s, kMap0 + Offset(3), static_cast<uint16_t>(0x8000 | Offset(4)));
         Put16(s, kMap0 + Offset(4), static_cast<uint16_t>(0x8000 | Offset(7)));
         Put16(s, kMap0 + 8, static_cast<uint16_t>(Offset(3)));
       }},
      {"hint at a data page", [](std::string& s) { Put32(s, 1024 + 16, 6 * kPage); }},
      {"hint inside a page", [](std::string& s) { Put32(s, 1024 + 16, kMap0 + 2); }},
      {"hint past the end", [](std::string& s) { Put32(s, 1024 + 16, 100 * kPage); }},
  };
  const std::string good = db_.Bytes();
  for (const TCase& c : cases) {
    Patch([&](std::string& s) {
      s = good;
      c.damage(s);
    });
    Open();
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { Alloc(3); }, &message), 8581) << c.what;
    EXPECT_NE(message.find("There was an unexpected internal error"), std::string::npos);
    // Nothing is left locked by the failed allocation.
    EXPECT_FALSE(m_.HeaderWriteLocked()) << c.what;
    EXPECT_EQ(m_.QueryTableLockStatus(0), kLockTypeNone) << c.what;
  }
}

// Pages in memory, as another connection's writes leave them between two
// calls of one map page manager.
class TMemoryPages : public TPageIO {
 public:
  explicit TMemoryPages(uint32_t pages) : bytes_(static_cast<size_t>(pages) * kPage, 0) {}
  void ReadPages(uint32_t address, uint32_t count, void* buffer, uint32_t, uint32_t) override {
    std::memcpy(buffer, bytes_.data() + address, static_cast<size_t>(count) * kPage);
  }
  void WritePages(uint32_t address, uint32_t count, const void* buffer, uint32_t, uint32_t) override {
    std::memcpy(bytes_.data() + address, buffer, static_cast<size_t>(count) * kPage);
  }
  uint32_t AppendNewPages(const void*, uint32_t, uint32_t, uint32_t) override { return 0; }
  int64_t GetFileSize() override { return static_cast<int64_t>(bytes_.size()); }
  int64_t RefreshFileSize() override { return GetFileSize(); }
  void PutEntry(uint32_t page, uint16_t value) {
    std::memcpy(bytes_.data() + kMap0 + Offset(page), &value, 2);
  }
  void PutHead(uint32_t page) {
    const uint16_t offset = static_cast<uint16_t>(Offset(page));
    std::memcpy(bytes_.data() + kMap0 + 8, &offset, 2);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// The chain checked by one call is kept for the next only while the map page
// reads back the same: a chain another connection changed or damaged in
// between is walked and checked again.
TEST(MapPageChainTest, AChainChangedBetweenCallsIsReadAgain) {
  TMemoryPages pages(20);
  for (uint32_t p = 0; p < 5; ++p) pages.PutEntry(p, kMapOwnerFixedArea);
  pages.PutEntry(5, kMapOwnerMapPage);
  for (uint32_t p = 6; p < 20; ++p) pages.PutEntry(p, kCode);
  TGlobalHdr header;
  header.Initialize();
  header.SetFirstMapPage(kMap0);
  header.SetMapPageCount(1);
  TMapPageMgr map(kPage);
  map.SetPageIO(&pages);
  map.SetGlobalHdr(&header);
  map.AdjustMapPageFlags(kMapEntryFree, 8 * kPage, 4);  // 8 .. 11 free
  ASSERT_EQ(header.FirstMapPageEmpty(), kMap0);
  EXPECT_EQ(map.GetNextEmptyPageAddress(1), 8 * kPage);
  map.AdjustMapPageFlags(kCode, 8 * kPage, 1);

  // Another connection takes page 9 and frees page 15 in front of it.
  pages.PutEntry(15, static_cast<uint16_t>(kMapEntryFree | Offset(10)));
  pages.PutEntry(9, kCode);
  pages.PutHead(15);
  EXPECT_EQ(map.GetNextEmptyPageAddress(1), 15 * kPage);
  map.AdjustMapPageFlags(kCode, 15 * kPage, 1);
  EXPECT_EQ(map.GetNextEmptyPageAddress(1), 10 * kPage);
  map.AdjustMapPageFlags(kCode, 10 * kPage, 1);

  // Then the chain's last link is damaged: it leads to a page in use.
  pages.PutEntry(11, static_cast<uint16_t>(kMapEntryFree | Offset(12)));
  EXPECT_EQ(ErrorCodeOf([&] { map.GetNextEmptyPageAddress(1); }), 8581);
}

TEST_F(MapPageTest, AZeroHeadMeansNoFreeEntry) {
  Open();
  Alloc(1);
  Patch([](std::string& s) {
    Put32(s, 1024 + 16, kMap0);  // the hint names the map page ...
    Put16(s, kMap0 + 8, 0);      // ... which has nothing free
  });
  Open();
  EXPECT_EQ(Alloc(2), 7 * kPage);
  EXPECT_EQ(Map().error, "");
}

TEST_F(MapPageTest, DamagedMapPageLinksRaise) {
  Open();
  Alloc(3);
  const std::string good = db_.Bytes();
  struct TCase {
    const char* what;
    uint32_t next;
  };
  // Two map pages are claimed; the link to the second is damaged.
  const std::vector<TCase> cases = {
      {"zero", 0},           {"inside a page", kMap0 + 100},
      {"fixed area", kPage}, {"past the end", 50 * kPage},
      {"itself", kMap0},     {"a data page", 6 * kPage},
  };
  for (const TCase& c : cases) {
    Patch([&](std::string& s) {
      s = good;
      Put32(s, 1024 + 24, 2);
      Put32(s, kMap0 + 4, c.next);
    });
    Open();
    host::TList list;
    EXPECT_EQ(ErrorCodeOf([&] { m_.ListAllocatedFixedBlocks(kPage, 1, list, 9); }), 8581) << c.what;
    EXPECT_EQ(ErrorCodeOf([&] { m_.DeleteOwnedPages(1, 9, true); }), 8581) << c.what;
    EXPECT_EQ(m_.QueryTableLockStatus(0), kLockTypeNone);
  }
  // A first map page that is not one.
  Patch([&](std::string& s) {
    s = good;
    Put32(s, 1024 + 20, 0);
  });
  Open();
  EXPECT_EQ(ErrorCodeOf([&] { Alloc(1); }), 8581);
  Patch([&](std::string& s) {
    s = good;
    Put32(s, 1024 + 24, 0);
  });
  Open();
  EXPECT_EQ(ErrorCodeOf([&] { Alloc(1); }), 8581);
}

TEST_F(MapPageTest, TheMapDumpListsEachMapPageAndItsEntries) {
  Open();
  Alloc(2);
  Free(6);
  host::TStringList lines;
  m_.SetHeaderReadLock();
  m_.MapPageMgr()->DebugDumpMapContents(lines);
  m_.ReleaseHeaderLock();
  ASSERT_EQ(lines.Count(), 1 + (kEntries + 15) / 16);
  EXPECT_EQ(lines.Strings(0), "Map Addr= 20480 ID= 0 NextAddr= 0 FirstE= 32");
  EXPECT_EQ(lines.Strings(1), "1 1 1 1 1 2 32768 25 0 0 0 0 0 0 0 0");
}

}  // namespace
}  // namespace tav

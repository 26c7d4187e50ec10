#include "engine/storage/file/page_cache.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

constexpr uint32_t kPage = 256;

// A file in memory behind the caches' transfer procedures. A page is stored
// XORed with its owner's low byte, so reading under another owner gives other
// bytes, as scrambling does. Transfers can be made to fail at one address.
struct TMemDisk {
  std::vector<uint8_t> bytes;
  int pageReads = 0;
  int pageWrites = 0;
  std::vector<uint32_t> writeOrder;
  int64_t failAt = -1;

  explicit TMemDisk(size_t size = 64 * kPage) : bytes(size) {
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / kPage);
  }
  void Check(uint32_t low, uint32_t count) const {
    if (int64_t{low} <= failAt && failAt < int64_t{low} + count)
      throw std::runtime_error("transfer failed");
    if (low + uint64_t{count} > bytes.size()) throw std::runtime_error("past end");
  }
  void Attach(TCacheMgr& cache) {
    cache.SetReadIO([this](uint8_t* buf, int32_t owner, uint32_t, uint32_t low, uint32_t) {
      Check(low, kPage);
      ++pageReads;
      for (uint32_t i = 0; i < kPage; ++i) buf[i] = bytes[low + i] ^ static_cast<uint8_t>(owner);
    });
    cache.SetWriteIO([this](const uint8_t* buf, int32_t owner, uint32_t, uint32_t low, uint32_t) {
      Check(low, kPage);
      ++pageWrites;
      writeOrder.push_back(low);
      for (uint32_t i = 0; i < kPage; ++i) bytes[low + i] = buf[i] ^ static_cast<uint8_t>(owner);
    });
  }
  void Attach(TCacheBlockMgr& blocks) {
    blocks.SetReadIO([this](uint8_t* buf, uint32_t low, uint32_t, uint32_t count) {
      Check(low, count);
      std::memcpy(buf, bytes.data() + low, count);
    });
    blocks.SetWriteIO([this](const uint8_t* buf, uint32_t low, uint32_t, uint32_t count) {
      Check(low, count);
      writeOrder.push_back(low);
      std::memcpy(bytes.data() + low, buf, count);
    });
  }
  std::vector<uint8_t> Plain(uint32_t pos, uint32_t count, int32_t owner = 0) const {
    std::vector<uint8_t> v(bytes.begin() + pos, bytes.begin() + pos + count);
    for (auto& b : v) b ^= static_cast<uint8_t>(owner);
    return v;
  }
};

using test::ErrorCodeOf;

std::vector<uint8_t> Filled(uint32_t n, uint8_t value) {
  return std::vector<uint8_t>(n, value);
}

// Pages of the cache that hold `address` (clean or dirty).
int PagesHolding(const TCacheMgr& cache, uint32_t address) {
  int n = 0;
  for (int i = 0; i < cache.Count(); ++i)
    if (cache.Pages(i)->State() != cpEmpty && cache.Pages(i)->LowAddr() == address) ++n;
  return n;
}

class PageCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk.Attach(cache);
    cache.Open(4, kPage);
  }
  std::vector<uint8_t> Read(uint32_t pos, uint32_t count, int32_t owner = 0) {
    std::vector<uint8_t> v(count);
    cache.ReadCache(v.data(), owner, 1, pos, 0, count);
    return v;
  }
  void Write(uint32_t pos, const std::vector<uint8_t>& data, int32_t owner = 0) {
    cache.WriteCache(data.data(), owner, static_cast<uint32_t>(data.size()), 0, pos, 1);
  }
  TMemDisk disk;
  TCacheMgr cache;
};

TEST(PageCacheOpen, NeedsBothProceduresAndASize) {
  TCacheMgr cache;
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { cache.Open(4, kPage); }, &text), 10065);
  EXPECT_NE(text.find("ReadIO"), std::string::npos);
  cache.SetReadIO([](uint8_t*, int32_t, uint32_t, uint32_t, uint32_t) {});
  EXPECT_EQ(ErrorCodeOf([&] { cache.Open(4, kPage); }, &text), 10065);
  EXPECT_NE(text.find("WriteIO"), std::string::npos);
  cache.SetWriteIO([](const uint8_t*, int32_t, uint32_t, uint32_t, uint32_t) {});
  EXPECT_EQ(ErrorCodeOf([&] { cache.Open(4, 0); }), 8581);
  cache.Open(4, kPage);
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(cache.TotalCacheSize(), 4 * kPage);
  EXPECT_EQ(cache.BaseAddrMask(), ~(kPage - 1));

  TCachePage page;
  EXPECT_EQ(ErrorCodeOf([&] { page.OpenPage(); }, &text), 8581);
  EXPECT_NE(text.find("Page size = 0"), std::string::npos);
  page.SetPageSize(kPage);
  page.OpenPage();
  EXPECT_EQ(ErrorCodeOf([&] { page.SetPageSize(512); }, &text), 8581);
  EXPECT_NE(text.find("Cannot set page size on opened cache page"), std::string::npos);
}

TEST_F(PageCacheTest, ReadStraddlingTwoPagesLoadsBoth) {
  EXPECT_EQ(Read(kPage - 5, 10), disk.Plain(kPage - 5, 10));
  EXPECT_EQ(cache.Misses(), 2);
  EXPECT_EQ(disk.pageReads, 2);
  EXPECT_EQ(Read(kPage - 5, 10), disk.Plain(kPage - 5, 10));
  EXPECT_EQ(cache.Hits(), 2);
  EXPECT_EQ(disk.pageReads, 2);
}

TEST_F(PageCacheTest, WritesThroughOutsideATransactionAndNeverReadsAWholePage) {
  Write(2 * kPage, Filled(kPage, 0xAB), 5);
  EXPECT_EQ(disk.pageReads, 0);
  EXPECT_EQ(disk.Plain(2 * kPage, kPage, 5), Filled(kPage, 0xAB));
  Write(3 * kPage + 10, Filled(4, 0x11), 5);  // part of a page: read first
  EXPECT_EQ(disk.pageReads, 1);
  EXPECT_EQ(disk.Plain(3 * kPage + 10, 4, 5), Filled(4, 0x11));
  EXPECT_EQ(cache.DirtyCount(), 0);
  EXPECT_EQ(Read(2 * kPage, kPage, 5), Filled(kPage, 0xAB));
  EXPECT_EQ(disk.pageReads, 1);
}

TEST_F(PageCacheTest, ReusesTheLeastRecentlyUsedPageOutsideATransaction) {
  host::TStringList log;
  cache.SetLog(&log);
  for (uint32_t p = 0; p < 4; ++p) Read(p * kPage, 1);
  Read(0, 1);  // page 0 becomes the most recent; page 1 the least
  Read(4 * kPage, 1);
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_FALSE(cache.IsBaseAddrInCache(kPage));
  for (uint32_t p : {0u, 2u, 3u, 4u}) EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;
  EXPECT_EQ(log.Strings(0), "GetNextEmptyPage. EmptyPage: 0");
  EXPECT_EQ(log.Strings(log.Count() - 1), "GetNextEmptyPage. Replacing OldestPage: 1");
}

TEST_F(PageCacheTest, HoldsEveryDirtyPageAndCommitsThemInAddressOrder) {
  cache.StartTransaction();
  for (uint32_t p = 0; p < 6; ++p) Write(p * kPage, Filled(kPage, static_cast<uint8_t>(p + 1)));
  EXPECT_EQ(cache.Count(), 6);  // grew past its 4 pages
  EXPECT_EQ(cache.DirtyCount(), 6);
  EXPECT_EQ(disk.pageWrites, 0);
  cache.Commit();
  EXPECT_EQ(disk.writeOrder,
            (std::vector<uint32_t>{0, kPage, 2 * kPage, 3 * kPage, 4 * kPage, 5 * kPage}));
  for (uint32_t p = 0; p < 6; ++p)
    EXPECT_EQ(disk.Plain(p * kPage, kPage), Filled(kPage, static_cast<uint8_t>(p + 1)));
  EXPECT_EQ(cache.DirtyCount(), 0);
  EXPECT_EQ(cache.Count(), 4);  // back at its limit
  EXPECT_EQ(ErrorCodeOf([&] { cache.Commit(); }), 10257);
  EXPECT_EQ(ErrorCodeOf([&] { cache.Rollback(); }), 10257);
}

TEST_F(PageCacheTest, AFailedCommitKeepsTheTransactionAndTheUnwrittenPages) {
  cache.StartTransaction();
  Write(0, Filled(kPage, 1));
  Write(kPage, Filled(kPage, 2));
  disk.failAt = kPage;
  EXPECT_THROW(cache.Commit(), std::runtime_error);
  EXPECT_TRUE(cache.TransactionActive());
  EXPECT_EQ(cache.DirtyCount(), 1);
  disk.failAt = -1;
  cache.Commit();
  EXPECT_EQ(disk.writeOrder, (std::vector<uint32_t>{0, kPage}));
  EXPECT_EQ(disk.Plain(kPage, kPage), Filled(kPage, 2));
}

// With a run procedure, Commit writes in address order and hands each run
// of adjacent pages (at most kMaxCommitRun) over in one call; single pages
// still go one by one. A failing run stays dirty, the runs before it clean.
TEST(PageCacheRuns, AdjacentDirtyPagesGoOutAsRuns) {
  const uint32_t pages = TCacheMgr::kMaxCommitRun + 14;  // 11 on: one full run and three pages
  TMemDisk disk(pages * kPage);
  TCacheMgr cache;
  disk.Attach(cache);
  std::vector<std::vector<uint32_t>> runs;
  int64_t failRunAt = -1;
  cache.SetWriteRunIO([&](const TCachePage* const* run, size_t count) {
    if (int64_t{run[0]->LowAddr()} == failRunAt) throw std::runtime_error("run failed");
    runs.emplace_back();
    for (size_t i = 0; i < count; ++i) {
      const TCachePage* page = run[i];
      runs.back().push_back(page->LowAddr() / kPage);
      for (uint32_t b = 0; b < kPage; ++b)
        disk.bytes[page->LowAddr() + b] =
            page->Buffer()[b] ^ static_cast<uint8_t>(page->PageOwner());
    }
  });
  cache.Open(4, kPage);
  auto write = [&](uint32_t page, int32_t owner) {
    const std::vector<uint8_t> data = Filled(kPage, static_cast<uint8_t>(page + 1));
    cache.WriteCache(data.data(), owner, kPage, 0, page * kPage, 1);
  };
  cache.StartTransaction();
  // Written out of order, under two owners: pages 7, 3, 0..2, 9, then a run
  // longer than one call takes from 11 on.
  for (uint32_t p : {7u, 3u, 1u, 0u, 2u, 9u}) write(p, static_cast<int32_t>(p % 2));
  for (uint32_t p = 11; p < pages; ++p) write(p, 0);
  cache.Commit();
  std::vector<uint32_t> longRun;
  for (uint32_t p = 11; p < 11 + TCacheMgr::kMaxCommitRun; ++p) longRun.push_back(p);
  std::vector<uint32_t> tail;
  for (uint32_t p = 11 + TCacheMgr::kMaxCommitRun; p < pages; ++p) tail.push_back(p);
  EXPECT_EQ(runs, (std::vector<std::vector<uint32_t>>{{0, 1, 2, 3}, longRun, tail}));
  EXPECT_EQ(disk.writeOrder, (std::vector<uint32_t>{7 * kPage, 9 * kPage}));
  for (uint32_t p : {0u, 1u, 2u, 3u, 7u, 9u, 11u, pages - 1})
    EXPECT_EQ(disk.Plain(p * kPage, kPage, static_cast<int32_t>(p < 11 ? p % 2 : 0)),
              Filled(kPage, static_cast<uint8_t>(p + 1)))
        << p;

  runs.clear();
  disk.writeOrder.clear();
  cache.StartTransaction();
  for (uint32_t p : {0u, 1u, 5u, 6u, 7u}) write(p, 0);
  failRunAt = 5 * kPage;
  EXPECT_THROW(cache.Commit(), std::runtime_error);
  EXPECT_TRUE(cache.TransactionActive());
  EXPECT_EQ(runs, (std::vector<std::vector<uint32_t>>{{0, 1}}));
  EXPECT_EQ(cache.DirtyCount(), 3);
  failRunAt = -1;
  cache.Commit();
  EXPECT_EQ(runs, (std::vector<std::vector<uint32_t>>{{0, 1}, {5, 6, 7}}));
  EXPECT_EQ(cache.DirtyCount(), 0);
}

// A commit of many dirty pages (a big transaction's) goes out in address
// order however they were written: scattered over the file and its last
// page, adjacent ones in runs, one address beyond 4 GB's upper word last.
TEST(PageCacheRuns, ManyDirtyPagesGoOutInAddressOrder) {
  constexpr uint32_t kPages = 5000;
  TMemDisk disk(size_t{kPages} * kPage);
  TCacheMgr cache;
  disk.Attach(cache);
  std::vector<uint32_t> written;  // page numbers in the order they reach the file
  std::vector<uint32_t> uppers;
  cache.SetWriteIO([&](const uint8_t* buf, int32_t owner, uint32_t, uint32_t low, uint32_t upper) {
    written.push_back(low / kPage);
    uppers.push_back(upper);
    for (uint32_t i = 0; i < kPage; ++i) disk.bytes[low + i] = buf[i] ^ static_cast<uint8_t>(owner);
  });
  cache.SetWriteRunIO([&](const TCachePage* const* run, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      // Adjacent, as a run must be.
      if (i > 0) {
        EXPECT_EQ(run[i]->LowAddr(), run[i - 1]->LowAddr() + kPage);
      }
      written.push_back(run[i]->LowAddr() / kPage);
      uppers.push_back(run[i]->UpperAddr());
      std::memcpy(disk.bytes.data() + run[i]->LowAddr(), run[i]->Buffer(), kPage);
    }
  });
  cache.Open(16, kPage);
  std::mt19937 rng(7);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Every third page and a block of neighbours, shuffled; the last page too.
    std::vector<uint32_t> pages;
    for (uint32_t p = static_cast<uint32_t>(round); p < kPages; p += 3) pages.push_back(p);
    for (uint32_t p = 2000; p < 2100; ++p)
      if (p % 3 != static_cast<uint32_t>(round)) pages.push_back(p);
    if ((kPages - 1) % 3 != static_cast<uint32_t>(round)) pages.push_back(kPages - 1);
    std::shuffle(pages.begin(), pages.end(), rng);
    written.clear();
    uppers.clear();
    cache.StartTransaction();
    for (uint32_t p : pages) {
      const std::vector<uint8_t> data = Filled(kPage, static_cast<uint8_t>(p * 3 + round));
      cache.WriteCache(data.data(), 0, kPage, 0, p * kPage, 1);
    }
    // The second round adds one page under upper word 1: after all the rest.
    if (round == 1) {
      const std::vector<uint8_t> data = Filled(kPage, 0xAB);
      cache.WriteCache(data.data(), 0, kPage, 1, 5 * kPage, 1);
    }
    cache.Commit();
    std::vector<uint32_t> expected = pages;
    std::sort(expected.begin(), expected.end());
    if (round == 1) expected.push_back(5);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(std::count(uppers.begin(), uppers.end(), 1u), round);
    if (round == 1) {
      EXPECT_EQ(uppers.back(), 1u);
    }
    for (uint32_t p : pages)
      ASSERT_EQ(disk.Plain(p * kPage, kPage), Filled(kPage, static_cast<uint8_t>(p * 3 + round)))
          << p;
    EXPECT_EQ(cache.DirtyCount(), 0);
    EXPECT_EQ(cache.Count(), 16);
  }
}

// Pages a transaction grew the cache by are set aside when it ends and taken
// back by the next one that grows it: they must come back empty, under their
// new addresses only, and the cache still ends at its limit. Set aside pages
// the next transaction does not need are freed with it.
TEST_F(PageCacheTest, PagesATransactionGrewTheCacheByServeTheNextOne) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const uint32_t base = 10 + 20 * static_cast<uint32_t>(round);
    const uint32_t grown = round == 2 ? 5 : 9;  // the last grows less
    cache.StartTransaction();
    for (uint32_t p = base; p < base + grown; ++p)
      Write(p * kPage, Filled(kPage, static_cast<uint8_t>(p)));
    EXPECT_EQ(cache.Count(), static_cast<int>(grown));
    cache.Commit();
    EXPECT_EQ(cache.Count(), 4);
    for (uint32_t p = base; p < base + grown; ++p)
      EXPECT_EQ(disk.Plain(p * kPage, kPage), Filled(kPage, static_cast<uint8_t>(p))) << p;
    // The last four stay; the pages of the first addresses went out of the
    // cache and are read afresh.
    for (uint32_t p = base; p < base + grown; ++p)
      EXPECT_EQ(PagesHolding(cache, p * kPage), p >= base + grown - 4 ? 1 : 0) << p;
    for (uint32_t p = base + grown; p-- > base;) {
      const int reads = disk.pageReads;
      const bool cached = cache.IsBaseAddrInCache(p * kPage);
      EXPECT_EQ(Read(p * kPage + 7, 1), Filled(1, static_cast<uint8_t>(p)));
      EXPECT_EQ(disk.pageReads, reads + (cached ? 0 : 1)) << p;
    }
  }
  cache.StartTransaction();
  for (uint32_t p = 0; p < 7; ++p) Write(p * kPage, Filled(kPage, 0x55));
  cache.Rollback();
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(Read(3 * kPage, kPage), disk.Plain(3 * kPage, kPage));
  cache.Close();
}

// What big transactions grew the cache by stays set aside within a bound
// (32 MB), and goes back a part (1 MB) per later Commit or Rollback rather
// than all in one: no single transaction pays for freeing thousands of pages,
// and none ends with the cache beyond its limit.
TEST(PageCacheParked, SetAsidePagesAreBoundedAndGoBackAPartPerTransaction) {
  constexpr uint32_t kBig = 64 * 1024;
  constexpr int kParkable = 512;    // 32 MB of 64 KB pages
  constexpr int kFreedPerEnd = 16;  // 1 MB of them
  TCacheMgr cache;
  int writes = 0;
  cache.SetReadIO([](uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t) {
    std::memset(buf, static_cast<int>(low / kBig), kBig);
  });
  cache.SetWriteIO([&](const uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t) {
    ++writes;
    EXPECT_EQ(buf[0], static_cast<uint8_t>(low / kBig + 1)) << low;
    EXPECT_EQ(buf[kBig - 1], static_cast<uint8_t>(low / kBig + 1)) << low;
  });
  cache.Open(4, kBig);
  std::vector<uint8_t> page(kBig);
  // A transaction dirtying `count` whole pages from page `first` on.
  auto run = [&](uint32_t first, uint32_t count, bool commit) {
    cache.StartTransaction();
    for (uint32_t p = first; p < first + count; ++p) {
      std::fill(page.begin(), page.end(), static_cast<uint8_t>(p + 1));
      cache.WriteCache(page.data(), 0, kBig, 0, p * kBig, 1);
    }
    EXPECT_EQ(cache.Count(), static_cast<int>(std::max<uint32_t>(count, 4)));
    if (commit)
      cache.Commit();
    else
      cache.Rollback();
    EXPECT_EQ(cache.Count(), 4);
    EXPECT_EQ(cache.DirtyCount(), 0);
    EXPECT_LE(cache.ParkedCount(), kParkable);
  };

  run(0, 600, true);  // grows by 596 pages, 512 of them kept
  EXPECT_EQ(writes, 600);
  EXPECT_EQ(cache.ParkedCount(), kParkable);
  run(0, 1, true);
  EXPECT_EQ(cache.ParkedCount(), kParkable - kFreedPerEnd);
  // Growth takes set-aside pages back first; its own pages are set aside
  // again after the part of the older ones goes.
  run(10, 104, true);
  EXPECT_EQ(cache.ParkedCount(), kParkable - 2 * kFreedPerEnd);
  run(200, 304, false);
  EXPECT_EQ(cache.ParkedCount(), kParkable - 3 * kFreedPerEnd);
  // The bound holds when the growth exceeds what is left under it.
  run(1000, 520, true);
  EXPECT_EQ(cache.ParkedCount(), kParkable);
  // Transactions that do not grow the cache give the rest back.
  int ends = 0;
  for (int last = cache.ParkedCount(); last > 0; last = cache.ParkedCount()) {
    run(7, 2, ends % 2 == 0);
    ++ends;
    ASSERT_EQ(cache.ParkedCount(), std::max(last - kFreedPerEnd, 0));
  }
  EXPECT_EQ(ends, kParkable / kFreedPerEnd);
  // The last of them rolled back: the cache reads what the file holds.
  std::vector<uint8_t> got(2);
  cache.ReadCache(got.data(), 0, 1, 8 * kBig + kBig - 1, 0, 2);
  EXPECT_EQ(got, (std::vector<uint8_t>{8, 9}));
  cache.Close();
  EXPECT_EQ(cache.ParkedCount(), 0);
}

// Pages a later transaction grows into take set-aside buffers that still
// hold an earlier transaction's bytes: a part-page write must fill the rest
// from the file, and the page's identity must be its new one, so nothing of
// the old bytes reaches the file or a reader.
TEST_F(PageCacheTest, PagesGrownIntoSetAsideBuffersHoldOnlyTheirOwnBytes) {
  constexpr uint32_t kPages = 24;
  cache.StartTransaction();
  for (uint32_t p = 0; p < kPages; ++p) Write(p * kPage, Filled(kPage, 0xA5));
  cache.Commit();
  ASSERT_EQ(cache.ParkedCount(), static_cast<int>(kPages - 4));
  const TMemDisk before = disk;

  // Other addresses, another owner, a few bytes each: every page beyond the
  // limit comes from a set-aside buffer.
  constexpr uint32_t kFrom = 32;
  cache.StartTransaction();
  for (uint32_t p = kFrom; p < kFrom + kPages; ++p) Write(p * kPage + 7, {1, 2, 3}, 9);
  EXPECT_LT(cache.ParkedCount(), static_cast<int>(kPages - 4));
  for (uint32_t p = kFrom; p < kFrom + kPages; ++p) {
    std::vector<uint8_t> want = before.Plain(p * kPage, kPage, 9);
    want[7] = 1, want[8] = 2, want[9] = 3;
    ASSERT_EQ(Read(p * kPage, kPage, 9), want) << "page " << p << " inside the transaction";
  }
  cache.Commit();
  for (uint32_t p = kFrom; p < kFrom + kPages; ++p) {
    std::vector<uint8_t> want = before.Plain(p * kPage, kPage, 9);
    want[7] = 1, want[8] = 2, want[9] = 3;
    ASSERT_EQ(disk.Plain(p * kPage, kPage, 9), want) << "page " << p << " in the file";
    ASSERT_EQ(Read(p * kPage, kPage, 9), want) << "page " << p << " read back";
  }
  EXPECT_EQ(cache.Count(), 4);
  cache.Close();
  EXPECT_EQ(cache.ParkedCount(), 0);
}

// The page objects a trim takes out of the cache serve the pages the next
// transaction grows by: each comes back as a new page would, with nothing of
// the address, owner, dirty span or before-image it had, and a collection ID
// of its own.
TEST_F(PageCacheTest, PagesGrownIntoSparePageObjectsCarryNothingOfTheirPast) {
  constexpr uint32_t kPages = 24;
  cache.SetBeforeImageLimit(64);
  cache.StartTransaction();
  for (uint32_t p = 0; p < kPages; ++p) Write(p * kPage + 100, Filled(50, 0xA5), 3);
  std::vector<const TCachePage*> first(cache.DirtyPages().begin(), cache.DirtyPages().end());
  cache.Commit();
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(cache.SparePageCount(), static_cast<int>(kPages - 4));
  const TMemDisk before = disk;

  // Other addresses, another owner, a few bytes each.
  constexpr uint32_t kFrom = 32;
  cache.StartTransaction();
  for (uint32_t p = kFrom; p < kFrom + kPages; ++p) Write(p * kPage + 7, {1, 2, 3}, 9);
  EXPECT_EQ(cache.SparePageCount(), 0);
  ASSERT_EQ(cache.Count(), static_cast<int>(kPages));
  int reused = 0;
  std::vector<int> ids;
  for (int i = 0; i < cache.Count(); ++i) {
    const TCachePage* page = cache.Pages(i);
    SCOPED_TRACE(i);
    reused += std::count(first.begin(), first.end(), page);
    ids.push_back(page->ID());
    EXPECT_EQ(page->Collection(), &cache);
    ASSERT_EQ(page->State(), cpDirty);
    EXPECT_EQ(page->PageOwner(), 9);
    EXPECT_EQ(page->PageSize(), kPage);
    const uint32_t base = page->LowAddr();
    ASSERT_TRUE(base >= kFrom * kPage && base < (kFrom + kPages) * kPage) << base;
    EXPECT_EQ(cache.FindPage(base, 0), page);
    const auto& key = page->GetHashKey();  // upper 0, then the base, little-endian
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.end()),
              (std::vector<uint8_t>{0, 0, 0, 0, static_cast<uint8_t>(base),
                                    static_cast<uint8_t>(base >> 8), 0, 0}));
    EXPECT_EQ(page->DirtyFrom(), 7u);
    EXPECT_EQ(page->DirtyTo(), 10u);
    ASSERT_NE(page->BeforeImage(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(page->BeforeImage() + 7, page->BeforeImage() + 10),
              before.Plain(base + 7, 3, 9));
  }
  EXPECT_EQ(reused, static_cast<int>(kPages));  // the four kept and the twenty spare
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "two pages share an ID";
  cache.Commit();
  for (uint32_t p = kFrom; p < kFrom + kPages; ++p) {
    std::vector<uint8_t> want = before.Plain(p * kPage, kPage, 9);
    want[7] = 1, want[8] = 2, want[9] = 3;
    ASSERT_EQ(disk.Plain(p * kPage, kPage, 9), want) << "page " << p;
  }
  // What the first transaction wrote is untouched by the second.
  EXPECT_EQ(disk.Plain(5 * kPage + 100, 50, 3), Filled(50, 0xA5));

  // A rolled-back transaction gives its grown pages back the same way; pages
  // a raised page count adds come from them too, empty.
  cache.StartTransaction();
  for (uint32_t p = 0; p < 10; ++p) Write(p * kPage, Filled(kPage, 0x3C));
  EXPECT_EQ(cache.SparePageCount(), 14);
  cache.Rollback();
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(cache.SparePageCount(), 20);
  // Ten of them: the six the rollback emptied and four the commit before
  // took out clean, still naming their addresses until they went.
  cache.ResetPageCount(14);
  EXPECT_EQ(cache.Count(), 14);
  EXPECT_EQ(cache.SparePageCount(), 10);
  host::TStringList lines;
  cache.DumpState(lines);
  ASSERT_EQ(lines.Count(), 15);
  for (int i = 4; i < 14; ++i) {
    EXPECT_EQ(cache.Pages(i)->State(), cpEmpty);
    EXPECT_EQ(lines.Strings(i + 1),
              "Page " + std::to_string(i) + ": Addr 0  Owner 0 State Empty LRUFlag 0");
  }
  for (uint32_t p = 0; p < 10; ++p)
    ASSERT_EQ(Read(p * kPage, kPage), disk.Plain(p * kPage, kPage)) << p;
  cache.Close();
  EXPECT_EQ(cache.SparePageCount(), 0);
}

// Spare page objects are bounded whatever the page size, and unlike the
// set-aside buffers they stay until the cache closes: transactions that do
// not grow the cache free none of them.
TEST(PageCacheParked, SparePageObjectsAreBoundedAndStayUntilClose) {
  constexpr int kBound = 16384;
  TCacheMgr cache;
  cache.SetReadIO([](uint8_t* buf, int32_t, uint32_t, uint32_t, uint32_t) {
    std::memset(buf, 0, kPage);
  });
  cache.SetWriteIO([](const uint8_t*, int32_t, uint32_t, uint32_t, uint32_t) {});
  cache.Open(4, kPage);
  const std::vector<uint8_t> page(kPage, 1);
  auto run = [&](uint32_t count) {
    cache.StartTransaction();
    for (uint32_t p = 0; p < count; ++p) cache.WriteCache(page.data(), 0, kPage, 0, p * kPage, 1);
    EXPECT_EQ(cache.Count(), static_cast<int>(std::max(count, 4u)));
    cache.Commit();
    EXPECT_EQ(cache.Count(), 4);
  };
  run(kBound + 200);
  EXPECT_EQ(cache.SparePageCount(), kBound);
  for (int i = 0; i < 40; ++i) run(2);
  EXPECT_EQ(cache.SparePageCount(), kBound);
  run(104);
  EXPECT_EQ(cache.SparePageCount(), kBound);
  cache.Open(4, 2 * kPage);  // reopening starts without any
  EXPECT_EQ(cache.SparePageCount(), 0);
  run(3);
  EXPECT_EQ(cache.SparePageCount(), 0);
  cache.Close();
  EXPECT_EQ(cache.SparePageCount(), 0);
}

// A file of pages at any (upper, base) address for the index tests: a page
// never written holds bytes of its own address. A write can be made to fail
// at one page.
struct TWideDisk {
  std::map<uint64_t, std::vector<uint8_t>> pages;
  uint64_t failAt = UINT64_MAX;
  static uint64_t Key(uint32_t upper, uint32_t low) { return (uint64_t{upper} << 32) | low; }
  std::vector<uint8_t> Page(uint64_t key) const {
    const auto it = pages.find(key);
    if (it != pages.end()) return it->second;
    std::vector<uint8_t> v(kPage);
    for (uint32_t i = 0; i < kPage; ++i) v[i] = static_cast<uint8_t>((key >> 8) * 13 + (key >> 32) + i);
    return v;
  }
  void Attach(TCacheMgr& cache) {
    cache.SetReadIO([this](uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t upper) {
      const std::vector<uint8_t> v = Page(Key(upper, low));
      std::memcpy(buf, v.data(), kPage);
    });
    cache.SetWriteIO([this](const uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t upper) {
      if (Key(upper, low) == failAt) throw std::runtime_error("write failed");
      pages[Key(upper, low)].assign(buf, buf + kPage);
    });
  }
};

// Pages are found by address through an index that grows with the cache.
// Whatever the addresses (both words, neighbours and far apart), every page
// holding one is found under it and under no other, through transactions
// that grow the cache to hundreds of pages, commits (failing part way,
// then retried or rolled back), rollbacks and pages dropped one by one; a
// read gives what was written last, and a commit stores exactly that.
TEST(PageCacheIndex, EveryPageIsFoundByItsAddressAndUnderNoOther) {
  TWideDisk disk;
  TCacheMgr cache;
  disk.Attach(cache);
  cache.Open(8, kPage);
  // 3000 pages from the start of the file, the last pages below 4 GB, and
  // pages of upper word 1.
  std::vector<uint64_t> addresses;
  for (uint32_t p = 0; p < 3000; ++p) addresses.push_back(TWideDisk::Key(0, p * kPage));
  for (uint32_t p = 1; p <= 20; ++p) addresses.push_back(TWideDisk::Key(0, 0u - p * kPage));
  for (uint32_t p = 0; p < 100; ++p) addresses.push_back(TWideDisk::Key(1, p * 7 * kPage));
  std::mt19937 rng(11);
  const auto pick = [&] {
    // Half of them from a few hundred, so that pages come back.
    const size_t range = rng() % 2 ? 300 : addresses.size();
    return addresses[rng() % range];
  };
  std::map<uint64_t, std::vector<uint8_t>> pending;  // the transaction's pages
  const auto view = [&](uint64_t key) {
    const auto it = pending.find(key);
    return it != pending.end() ? it->second : disk.Page(key);
  };
  const auto holds = [&](uint64_t key) {
    const TCachePage* page = cache.FindPage(static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32));
    if (!page) return false;
    EXPECT_NE(page->State(), cpEmpty);
    EXPECT_EQ(TWideDisk::Key(page->UpperAddr(), page->LowAddr()), key);
    return true;
  };
  const auto checkAll = [&] {
    int held = 0;
    for (int i = 0; i < cache.Count(); ++i) {
      const TCachePage* page = cache.Pages(i);
      if (page->State() == cpEmpty) continue;
      ++held;
      ASSERT_EQ(cache.FindPage(page->LowAddr(), page->UpperAddr()), page) << i;
    }
    int found = 0;
    for (const uint64_t key : addresses) found += holds(key);
    ASSERT_EQ(found, held);
    ASSERT_EQ(cache.DirtyCount(), static_cast<int>(pending.size()));
  };
  int grownTo = 0;
  int failedCommits = 0;
  for (int step = 0; step < 30000; ++step) {
    SCOPED_TRACE(step);
    const int what = static_cast<int>(rng() % 100);
    const uint64_t key = pick();
    const auto low = static_cast<uint32_t>(key);
    const auto upper = static_cast<uint32_t>(key >> 32);
    if (what < 45) {
      const uint32_t from = rng() % 3 ? static_cast<uint32_t>(rng() % kPage) : 0;
      const uint32_t count = from == 0 && rng() % 2 ? kPage : 1 + static_cast<uint32_t>(rng() % (kPage - from));
      std::vector<uint8_t> bytes(count, static_cast<uint8_t>(step));
      cache.WriteCache(bytes.data(), 0, count, upper, low + from, 1);
      std::vector<uint8_t> page = view(key);
      std::copy(bytes.begin(), bytes.end(), page.begin() + from);
      if (cache.TransactionActive())
        pending[key] = page;
      else
        ASSERT_EQ(disk.Page(key), page) << "written through";
      ASSERT_TRUE(holds(key));
    } else if (what < 85) {
      std::vector<uint8_t> got(kPage);
      cache.ReadCache(got.data(), 0, 1, low, upper, kPage);
      ASSERT_EQ(got, view(key)) << key;
      ASSERT_TRUE(holds(key));
    } else if (what < 88) {
      cache.RemovePage(low, upper);
      pending.erase(key);
      ASSERT_FALSE(holds(key));
    } else if (!cache.TransactionActive()) {
      cache.StartTransaction();
    } else if (rng() % 50 != 0) {
      continue;  // transactions of a hundred pages and more
    } else {
      grownTo = std::max(grownTo, cache.Count());
      checkAll();
      const bool commit = rng() % 5 != 0;
      if (commit && !pending.empty() && rng() % 3 == 0) {
        // Fails at one of its pages: those before it in address order are
        // stored and clean, the rest still dirty.
        auto failing = pending.begin();
        std::advance(failing, static_cast<std::ptrdiff_t>(rng() % pending.size()));
        disk.failAt = failing->first;
        EXPECT_THROW(cache.Commit(), std::runtime_error);
        disk.failAt = UINT64_MAX;
        ++failedCommits;
        ASSERT_TRUE(cache.TransactionActive());
        for (auto it = pending.begin(); it != failing;) {
          ASSERT_EQ(disk.Page(it->first), it->second);
          it = pending.erase(it);
        }
        checkAll();
        if (rng() % 2) continue;  // more writes, then a commit or a rollback
      }
      if (commit) {
        cache.Commit();
        for (const auto& [at, bytes] : pending) ASSERT_EQ(disk.Page(at), bytes);
      } else {
        cache.Rollback();
      }
      pending.clear();
      ASSERT_EQ(cache.Count(), 8);
    }
    if (step % 64 == 0) checkAll();
  }
  checkAll();
  EXPECT_GT(grownTo, 100) << "no transaction grew the cache far";
  EXPECT_GT(failedCommits, 5);
}

// A transaction far larger than the room the index keeps between
// transactions: after it the index is cut back, and every page is still
// found, read and written as before.
TEST(PageCacheIndex, AnIndexCutBackAfterAHugeTransactionStillFindsEveryPage) {
  constexpr uint32_t kHuge = 40000;  // beyond the limit and 16,384 spare pages, twice over
  TWideDisk disk;
  TCacheMgr cache;
  disk.Attach(cache);
  cache.Open(8, kPage);
  std::vector<uint8_t> bytes(kPage);
  cache.StartTransaction();
  for (uint32_t p = 0; p < kHuge; ++p) {
    std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(p * 5));
    cache.WriteCache(bytes.data(), 0, kPage, 0, p * kPage, 1);
  }
  ASSERT_EQ(cache.Count(), static_cast<int>(kHuge));
  cache.Commit();
  ASSERT_EQ(cache.Count(), 8);
  for (uint32_t p = 0; p < kHuge; p += 97)
    ASSERT_EQ(disk.Page(uint64_t{p} * kPage), std::vector<uint8_t>(kPage, static_cast<uint8_t>(p * 5)));
  for (int round = 0; round < 2; ++round) {
    cache.StartTransaction();
    for (uint32_t p = 0; p < 3000; ++p) {
      std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(p + round));
      cache.WriteCache(bytes.data(), 0, kPage, 0, (p * 13 % kHuge) * kPage, 1);
    }
    for (uint32_t p = 0; p < 3000; ++p) {
      const uint32_t at = (p * 13 % kHuge) * kPage;
      const TCachePage* page = cache.FindPage(at, 0);
      ASSERT_NE(page, nullptr) << p;
      ASSERT_EQ(page->LowAddr(), at);
      ASSERT_EQ(page->Buffer()[0], static_cast<uint8_t>(p + round));
    }
    if (round == 0)
      cache.Commit();
    else
      cache.Rollback();
    EXPECT_EQ(cache.Count(), 8);
  }
  for (uint32_t p = 0; p < 3000; ++p) {
    std::vector<uint8_t> got(kPage);
    cache.ReadCache(got.data(), 0, 1, (p * 13 % kHuge) * kPage, 0, kPage);
    ASSERT_EQ(got, std::vector<uint8_t>(kPage, static_cast<uint8_t>(p))) << p;
  }
}

// A transaction larger than the cache: its dirty pages stay until Commit,
// clean ones are reused as outside a transaction (a clean page holds what the
// file holds), and Commit and Rollback bring the cache back to its limit.
TEST_F(PageCacheTest, ATransactionBeyondTheLimitReusesCleanPagesAndEndsAtTheLimit) {
  for (uint32_t p = 0; p < 4; ++p) Read(p * kPage, 1);
  cache.StartTransaction();
  for (uint32_t p = 4; p < 20; ++p) Read(p * kPage, 1);
  EXPECT_EQ(cache.Count(), 4);  // reading never grows the cache
  for (uint32_t p = 16; p < 20; ++p) EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;

  // Six dirty pages in a four-page cache; reads between them still reuse
  // clean pages once there are some.
  for (uint32_t p = 30; p < 36; ++p) {
    Write(p * kPage + 1, Filled(2, static_cast<uint8_t>(p)));
    Read(40 * kPage + (p % 2) * kPage, 1);
  }
  EXPECT_EQ(cache.DirtyCount(), 6);
  EXPECT_LE(cache.Count(), 8);
  for (uint32_t p = 30; p < 36; ++p) {
    EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;
    EXPECT_EQ(Read(p * kPage + 1, 2), Filled(2, static_cast<uint8_t>(p)));
  }
  EXPECT_EQ(disk.pageWrites, 0);
  cache.Commit();
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(cache.DirtyCount(), 0);
  for (uint32_t p = 30; p < 36; ++p)
    EXPECT_EQ(disk.Plain(p * kPage + 1, 2), Filled(2, static_cast<uint8_t>(p)));
  // The most recently committed pages stay; the cache still works.
  for (uint32_t p = 32; p < 36; ++p) EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;
  const int reads = disk.pageReads;
  EXPECT_EQ(Read(35 * kPage + 1, 2), Filled(2, 35));
  EXPECT_EQ(disk.pageReads, reads);
  Read(50 * kPage, 1);
  EXPECT_EQ(cache.Count(), 4);

  cache.StartTransaction();
  for (uint32_t p = 0; p < 7; ++p) Write(p * kPage, Filled(kPage, 0x77));
  EXPECT_EQ(cache.Count(), 7);
  cache.Rollback();
  EXPECT_EQ(cache.Count(), 4);
  EXPECT_EQ(Read(3 * kPage, kPage), disk.Plain(3 * kPage, kPage));
  EXPECT_EQ(disk.pageWrites, 6);

  // A raised limit is filled as pages are needed, before any is replaced.
  cache.RaisePageLimit(6);
  cache.RaisePageLimit(5);  // never lowered
  for (uint32_t p = 0; p < 6; ++p) Read(p * kPage, 1);
  EXPECT_EQ(cache.Count(), 6);
  EXPECT_EQ(cache.PageLimit(), 6);
  for (uint32_t p = 0; p < 6; ++p) EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;
  Read(7 * kPage, 1);
  EXPECT_EQ(cache.Count(), 6);
}

TEST_F(PageCacheTest, RollbackMakesTheNextReadComeFromTheFile) {
  const auto before = disk.Plain(kPage, kPage);
  cache.StartTransaction();
  Write(kPage + 3, Filled(3, 0xEE));
  EXPECT_EQ(Read(kPage + 3, 3), Filled(3, 0xEE));
  cache.Rollback();
  const int reads = disk.pageReads;
  EXPECT_EQ(Read(kPage, kPage), before);
  EXPECT_EQ(disk.pageReads, reads + 1);
  EXPECT_EQ(disk.pageWrites, 0);
}

TEST_F(PageCacheTest, AnotherOwnerRefillsThePageInPlace) {
  EXPECT_EQ(Read(kPage, 8, 1), disk.Plain(kPage, 8, 1));
  EXPECT_EQ(Read(kPage, 8, 2), disk.Plain(kPage, 8, 2));
  EXPECT_NE(disk.Plain(kPage, 8, 1), disk.Plain(kPage, 8, 2));
  EXPECT_EQ(cache.Misses(), 2);
  EXPECT_EQ(PagesHolding(cache, kPage), 1);

  // In a transaction: a clean page written under another owner is refilled
  // under that owner, and Commit writes it once, under that owner.
  cache.StartTransaction();
  Write(kPage + 4, Filled(2, 0x55), 3);
  EXPECT_EQ(PagesHolding(cache, kPage), 1);
  auto expected = disk.Plain(kPage, kPage, 3);
  expected[4] = expected[5] = 0x55;
  cache.Commit();
  EXPECT_EQ(disk.pageWrites, 1);
  EXPECT_EQ(disk.Plain(kPage, kPage, 3), expected);
}

// A dirty page knows which of its bytes may differ from the file: what its
// writes changed. The commit journal saves those alone.
TEST_F(PageCacheTest, ADirtyPageKnowsTheBytesItsWritesChanged) {
  const auto range = [&](uint32_t base) {
    const TCachePage* page = cache.FindPage(base, 0);
    return page ? std::make_pair(page->DirtyFrom(), page->DirtyTo()) : std::make_pair(0u, 0u);
  };
  Read(0, 8);  // clean, from the file
  cache.StartTransaction();
  Write(10, Filled(4, 1));
  EXPECT_EQ(range(0), std::make_pair(10u, 14u));
  Write(100, Filled(2, 2));  // widened over both
  EXPECT_EQ(range(0), std::make_pair(10u, 102u));
  Write(kPage + 7, Filled(3, 3));  // not cached: filled from the file first
  EXPECT_EQ(range(kPage), std::make_pair(7u, 10u));
  Write(2 * kPage + 7, Filled(3, 3));
  Write(2 * kPage + 20, Filled(1, 4), 5);  // another identity: the whole page
  EXPECT_EQ(range(2 * kPage), std::make_pair(0u, kPage));
  // Changed in place, or told its bytes came from elsewhere: whole.
  uint8_t* in = cache.ReadCacheByRef(0, 1, 3 * kPage + 5, 0, 1);
  *in = 9;
  cache.WriteCacheByRef(in, 0, 1, 0, 3 * kPage + 5, 1);
  EXPECT_EQ(range(3 * kPage), std::make_pair(0u, kPage));
  cache.DirtyWholePage(kPage + 50, 0);
  EXPECT_EQ(range(kPage), std::make_pair(0u, kPage));
  cache.Commit();
  // Dirty again in the next transaction: counted from its new writes only.
  cache.StartTransaction();
  Write(kPage + 30, Filled(2, 6));
  EXPECT_EQ(range(kPage), std::make_pair(30u, 32u));
  cache.Rollback();
}

TEST_F(PageCacheTest, PagesTurningDirtyKeepWhatTheyHeldWhileTheLimitAllows) {
  // The bytes the page keeps for its dirty span, and what `held` (the page
  // as it was) has there.
  const auto before = [&](uint32_t base) -> std::vector<uint8_t> {
    const TCachePage* page = cache.FindPage(base, 0);
    if (!page || !page->BeforeImage()) return {};
    return std::vector<uint8_t>(page->BeforeImage() + page->DirtyFrom(),
                                page->BeforeImage() + page->DirtyTo());
  };
  const auto span = [&](uint32_t base, const std::vector<uint8_t>& held) {
    const TCachePage* page = cache.FindPage(base, 0);
    return std::vector<uint8_t>(held.begin() + page->DirtyFrom(), held.begin() + page->DirtyTo());
  };
  cache.SetBeforeImageLimit(2);
  Read(0, 8);
  const std::vector<uint8_t> page0 = disk.Plain(0, kPage), page1 = disk.Plain(kPage, kPage);
  cache.StartTransaction();
  Write(2 * kPage, Filled(kPage, 3));  // whole, never read: nothing to keep
  EXPECT_TRUE(before(2 * kPage).empty());
  Write(10, Filled(4, 1));  // a clean page
  Write(kPage + 7, Filled(3, 2));  // filled from the file for the write
  EXPECT_EQ(before(0), span(0, page0));
  Write(20, Filled(4, 5));  // dirty already: the span grows, over a gap
  Write(4, Filled(2, 5));
  Write(12, Filled(10, 6));  // inside it: what it held at first stays
  EXPECT_EQ(cache.FindPage(0, 0)->DirtyFrom(), 4u);
  EXPECT_EQ(cache.FindPage(0, 0)->DirtyTo(), 24u);
  EXPECT_EQ(before(0), span(0, page0));
  TCachePage* found = nullptr;
  const std::vector<uint8_t> two = Filled(2, 8);
  ASSERT_TRUE(cache.WriteIntoDirtyPage(two.data(), 0, 2, 40, 1, found));  // the short way in
  EXPECT_EQ(cache.FindPage(0, 0)->DirtyTo(), 42u);
  EXPECT_EQ(before(0), span(0, page0));
  EXPECT_EQ(before(kPage), span(kPage, page1));
  Write(3 * kPage + 1, Filled(2, 4));
  EXPECT_TRUE(before(3 * kPage).empty()) << "past the limit";
  // Told its bytes came from elsewhere: the copy goes, and its room with it.
  cache.DirtyWholePage(kPage, 0);
  EXPECT_TRUE(before(kPage).empty());
  Write(4 * kPage + 1, Filled(2, 4));
  const std::vector<uint8_t> page4 = disk.Plain(4 * kPage, kPage);
  EXPECT_EQ(before(4 * kPage), span(4 * kPage, page4));
  Write(4 * kPage + 50, Filled(2, 4), 5);  // another identity: the whole page
  EXPECT_EQ(before(4 * kPage), page4);
  // Changed in place: what it held is not known.
  uint8_t* in = cache.ReadCacheByRef(0, 1, 5 * kPage + 5, 0, 1);
  *in = 9;
  cache.WriteCacheByRef(in, 0, 1, 0, 5 * kPage + 5, 1);
  EXPECT_TRUE(before(5 * kPage).empty());
  cache.Commit();
  EXPECT_TRUE(before(0).empty()) << "clean pages keep nothing";
  // The next transaction keeps what the commit left.
  const std::vector<uint8_t> committed = disk.Plain(0, kPage);
  cache.StartTransaction();
  Write(30, Filled(2, 6));
  EXPECT_EQ(before(0), span(0, committed));
  Write(6 * kPage + 1, Filled(2, 6));
  EXPECT_EQ(before(6 * kPage), span(6 * kPage, disk.Plain(6 * kPage, kPage)));
  // Changed in place after it turned dirty: what it held is no longer known.
  uint8_t* at = cache.ReadCacheByRef(0, 1, 6 * kPage + 9, 0, 1);
  *at = 1;
  cache.WriteCacheByRef(at, 0, 1, 0, 6 * kPage + 9, 1);
  EXPECT_TRUE(before(6 * kPage).empty());
  cache.Rollback();
  EXPECT_TRUE(before(0).empty());
  // Without a limit nothing is kept.
  cache.SetBeforeImageLimit(0);
  cache.StartTransaction();
  Write(40, Filled(2, 7));
  EXPECT_TRUE(before(0).empty());
  cache.Rollback();
}

// The short way in takes only what the full write would do the same way:
// a page dirty already, of the same identity, the bytes inside it.
TEST_F(PageCacheTest, AWriteGoesStraightIntoAPageItsTransactionDirtied) {
  // Written one way or the other, as WriteCache would; true for the short way.
  const auto into = [&](uint32_t pos, const std::vector<uint8_t>& data, int32_t owner = 0) {
    const auto n = static_cast<uint32_t>(data.size());
    TCachePage* page = nullptr;
    if (cache.WriteIntoDirtyPage(data.data(), owner, n, pos, 1, page)) return true;
    EXPECT_EQ(page, cache.FindPage(pos, 0));
    cache.WriteOnePage(data.data(), owner, n, pos, 1, page);
    return false;
  };
  Read(0, 8);
  EXPECT_FALSE(into(30, Filled(2, 1))) << "outside a transaction";
  EXPECT_EQ(disk.pageWrites, 1) << "written through";
  cache.StartTransaction();
  EXPECT_FALSE(into(10, Filled(2, 1))) << "clean";
  EXPECT_FALSE(into(kPage + 10, Filled(2, 1))) << "not cached";
  EXPECT_FALSE(into(2 * kPage + 10, Filled(2, 1), 7)) << "another owner";
  EXPECT_FALSE(into(2 * kPage + 12, Filled(2, 1))) << "the page is owner 7's now";
  EXPECT_TRUE(into(10, Filled(2, 3)));
  Write(20, Filled(4, 2));
  EXPECT_TRUE(into(kPage - 2, Filled(2, 4)));
  const TCachePage* page = cache.FindPage(0, 0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->DirtyFrom(), 10u);
  EXPECT_EQ(page->DirtyTo(), kPage);
  EXPECT_EQ(Read(10, 2), Filled(2, 3));
  auto expected = disk.Plain(0, kPage);
  expected[10] = expected[11] = 3;
  for (uint32_t i = 20; i < 24; ++i) expected[i] = 2;
  expected[kPage - 2] = expected[kPage - 1] = 4;
  cache.Commit();
  EXPECT_EQ(disk.Plain(0, kPage), expected);
}

// A write within one page given with the page it lies in (WriteOnePage)
// leaves the cache exactly as the general write does, whatever the page:
// clean or dirty, of this identity or another, cached or not, inside a
// transaction or outside, with before-images kept or not.
TEST(PageCacheOnePage, AWriteWithItsPageEndsAsTheGeneralWriteDoes) {
  struct TSide {
    TMemDisk disk;
    TCacheMgr cache;
  };
  TSide general, onePage;
  for (TSide* side : {&general, &onePage}) {
    side->disk.Attach(side->cache);
    side->cache.Open(3, kPage);
    side->cache.SetBeforeImageLimit(3);
  }
  int step = 0;
  const auto write = [&](uint32_t pos, uint32_t count, int32_t owner) {
    ++step;
    const std::vector<uint8_t> data = Filled(count, static_cast<uint8_t>(step));
    general.cache.WriteCache(data.data(), owner, count, 0, pos, 1);
    onePage.cache.WriteOnePage(data.data(), owner, count, pos, 1, onePage.cache.FindPage(pos, 0));
  };
  const auto read = [&](uint32_t pos) {
    for (TSide* side : {&general, &onePage}) {
      std::vector<uint8_t> v(8);
      side->cache.ReadCache(v.data(), 0, 1, pos, 0, 8);
    }
  };
  const auto same = [&](const char* what) {
    SCOPED_TRACE(what);
    TCacheMgr& a = general.cache;
    TCacheMgr& b = onePage.cache;
    EXPECT_EQ(a.Count(), b.Count());
    EXPECT_EQ(a.DirtyCount(), b.DirtyCount());
    EXPECT_EQ(a.Hits(), b.Hits());
    EXPECT_EQ(a.Misses(), b.Misses());
    EXPECT_EQ(general.disk.bytes, onePage.disk.bytes);
    for (uint32_t base = 0; base < 8 * kPage; base += kPage) {
      SCOPED_TRACE(base / kPage);
      const TCachePage* p = a.FindPage(base, 0);
      const TCachePage* q = b.FindPage(base, 0);
      ASSERT_EQ(p == nullptr, q == nullptr);
      if (!p) continue;
      EXPECT_EQ(p->State(), q->State());
      EXPECT_EQ(p->PageOwner(), q->PageOwner());
      EXPECT_EQ(p->LRUFlag(), q->LRUFlag());
      EXPECT_TRUE(std::equal(p->Buffer(), p->Buffer() + kPage, q->Buffer()));
      if (p->State() != cpDirty) continue;
      EXPECT_EQ(p->DirtyFrom(), q->DirtyFrom());
      EXPECT_EQ(p->DirtyTo(), q->DirtyTo());
      ASSERT_EQ(p->BeforeImage() == nullptr, q->BeforeImage() == nullptr);
      if (p->BeforeImage()) {
        EXPECT_TRUE(std::equal(p->BeforeImage() + p->DirtyFrom(), p->BeforeImage() + p->DirtyTo(),
                               q->BeforeImage() + q->DirtyFrom()));
      }
    }
  };
  read(0);
  read(kPage);
  write(10, 4, 0);  // outside a transaction: written through
  same("through");
  for (const bool commit : {true, false}) {
    for (TSide* side : {&general, &onePage}) side->cache.StartTransaction();
    write(20, 8, 0);              // clean, cached: turns dirty
    write(kPage + 30, 2, 0);      // clean, cached
    write(kPage + 100, 6, 0);     // dirty already: the span grows
    write(2 * kPage + 5, 3, 0);   // not cached: filled from the file
    write(3 * kPage, kPage, 0);   // not cached, whole: nothing read
    write(4 * kPage + 9, 4, 0);   // past the before-image limit
    read(5 * kPage);
    write(5 * kPage + 1, 2, 7);   // cached under another owner
    write(kPage + 40, 2, 7);      // dirty under another owner: counted whole
    same(commit ? "in the first transaction" : "in the second");
    for (TSide* side : {&general, &onePage}) {
      if (commit)
        side->cache.Commit();
      else
        side->cache.Rollback();
    }
    same(commit ? "committed" : "rolled back");
    read(0);
    read(2 * kPage);
  }
}

// A change in place takes a page the cache holds under the same identity,
// inside a transaction only: a clean page turns dirty with the changed bytes
// as its span, a dirty one widens its span; either keeps what the bytes held
// before, and the commit stores the changes.
TEST_F(PageCacheTest, AChangeInPlaceTakesACachedPageOfItsIdentityInATransaction) {
  cache.SetBeforeImageLimit(4);
  Read(0, 8);
  Read(kPage, 8);
  EXPECT_EQ(cache.EditCachedPage(0, 2, 30, 1), nullptr) << "outside a transaction";
  cache.StartTransaction();
  EXPECT_EQ(cache.EditCachedPage(0, 2, 2 * kPage + 30, 1), nullptr) << "not cached";
  EXPECT_EQ(cache.EditCachedPage(7, 2, 30, 1), nullptr) << "another owner";
  EXPECT_EQ(cache.EditCachedPage(0, 2, 30, 2), nullptr) << "other access flags";
  EXPECT_EQ(cache.EditCachedPage(0, 8, kPage - 4, 1), nullptr) << "past the page";
  EXPECT_EQ(cache.EditCachedPage(0, 0, 30, 1), nullptr) << "nothing";
  EXPECT_EQ(cache.DirtyCount(), 0) << "a refusal changes nothing";
  const std::vector<uint8_t> held = disk.Plain(0, kPage);
  const std::vector<uint8_t> heldNext = disk.Plain(kPage, kPage);

  // The clean second page turns dirty with the edit's bytes as its span.
  uint8_t* next = cache.EditCachedPage(0, 6, kPage + 100, 1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next, cache.FindPage(kPage, 0)->Buffer());
  std::memset(next + 100, 5, 6);
  const TCachePage* q = cache.FindPage(kPage, 0);
  EXPECT_EQ(q->State(), cpDirty);
  EXPECT_EQ(q->DirtyFrom(), 100u);
  EXPECT_EQ(q->DirtyTo(), 106u);
  ASSERT_NE(q->BeforeImage(), nullptr);
  EXPECT_TRUE(std::equal(q->BeforeImage() + 100, q->BeforeImage() + 106, heldNext.begin() + 100));

  // A dirty page widens its span.
  Write(20, Filled(4, 2));
  uint8_t* page = cache.EditCachedPage(0, 10, 30, 1);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page, cache.FindPage(0, 0)->Buffer());
  std::memset(page + 30, 9, 10);
  const TCachePage* p = cache.FindPage(0, 0);
  EXPECT_EQ(p->DirtyFrom(), 20u);
  EXPECT_EQ(p->DirtyTo(), 40u);
  ASSERT_NE(p->BeforeImage(), nullptr);
  EXPECT_TRUE(std::equal(p->BeforeImage() + 20, p->BeforeImage() + 40, held.begin() + 20))
      << "the bytes before the change";
  EXPECT_EQ(disk.pageWrites, 0);
  EXPECT_EQ(cache.DirtyCount(), 2);
  std::vector<uint8_t> expected = held;
  std::fill(expected.begin() + 20, expected.begin() + 24, 2);
  std::fill(expected.begin() + 30, expected.begin() + 40, 9);
  std::vector<uint8_t> expectedNext = heldNext;
  std::fill(expectedNext.begin() + 100, expectedNext.begin() + 106, 5);
  cache.Commit();
  EXPECT_EQ(disk.Plain(0, kPage), expected);
  EXPECT_EQ(disk.Plain(kPage, kPage), expectedNext);
}

// The short way in refuses, loudly, what no single page of an open cache
// holds, and leaves the page it would have written as it was.
TEST_F(PageCacheTest, TheShortWayInRefusesAWriteNoOnePageHolds) {
  cache.StartTransaction();
  Write(kPage - 8, Filled(8, 1));  // dirty now
  const auto held = Read(0, kPage);
  const auto bytes = Filled(4, 0x5A);
  TCachePage* page = nullptr;
  EXPECT_THROW(cache.WriteIntoDirtyPage(bytes.data(), 0, 4, kPage - 2, 1, page),
               host::EAssertionFailed);
  EXPECT_THROW(cache.WriteIntoDirtyPage(bytes.data(), 0, 4, UINT32_MAX - 1, 1, page),
               host::EAssertionFailed);
  EXPECT_EQ(Read(0, kPage), held);
  EXPECT_TRUE(cache.WriteIntoDirtyPage(bytes.data(), 0, 4, kPage - 4, 1, page)) << "the last bytes";
  cache.Rollback();
  cache.Close();
  EXPECT_THROW(cache.WriteIntoDirtyPage(bytes.data(), 0, 4, 10, 1, page), host::EAssertionFailed);
}

TEST_F(PageCacheTest, ADirtyPageIsNeverReloadedOverItsPendingWrite) {
  cache.StartTransaction();
  Write(2 * kPage, Filled(kPage, 0x42), 1);
  // Another owner asks for the page: the transaction's bytes are the page's
  // newest contents, and a second copy of the address must not appear.
  EXPECT_EQ(Read(2 * kPage, 4, 9), Filled(4, 0x42));
  EXPECT_EQ(PagesHolding(cache, 2 * kPage), 1);
  EXPECT_EQ(disk.pageReads, 0);
  cache.Commit();
  EXPECT_EQ(disk.Plain(2 * kPage, kPage, 1), Filled(kPage, 0x42));
}

TEST_F(PageCacheTest, AFailedReadLeavesTheCacheAsItWas) {
  for (uint32_t p = 0; p < 4; ++p) Read(p * kPage, 1);
  const auto page0 = Read(0, kPage);
  disk.failAt = 9 * kPage;
  EXPECT_THROW(Read(9 * kPage, 1), std::runtime_error);
  EXPECT_EQ(cache.Count(), 4);
  for (uint32_t p = 0; p < 4; ++p) EXPECT_TRUE(cache.IsBaseAddrInCache(p * kPage)) << p;
  EXPECT_FALSE(cache.IsBaseAddrInCache(9 * kPage));
  const int reads = disk.pageReads;
  EXPECT_EQ(Read(0, kPage), page0);
  EXPECT_EQ(disk.pageReads, reads);
}

TEST_F(PageCacheTest, AFailedWriteThroughLeavesTheCachedPageAsItWas) {
  const auto before = Read(kPage, kPage);
  disk.failAt = kPage;
  EXPECT_THROW(Write(kPage + 1, Filled(2, 0x99)), std::runtime_error);
  EXPECT_THROW(Write(kPage, Filled(kPage, 0x99)), std::runtime_error);
  disk.failAt = -1;
  EXPECT_EQ(Read(kPage, kPage), before);
  EXPECT_EQ(disk.Plain(kPage, kPage), before);

  // By reference the caller has already changed the page: it is dropped, so
  // the next read shows what the file holds.
  uint8_t* p = cache.ReadCacheByRef(0, 1, kPage + 8, 0, 4);
  std::memset(p, 0x77, 4);
  disk.failAt = kPage;
  EXPECT_THROW(cache.WriteCacheByRef(p, 0, 4, 0, kPage + 8, 1), std::runtime_error);
  disk.failAt = -1;
  EXPECT_FALSE(cache.IsBaseAddrInCache(kPage));
  EXPECT_EQ(Read(kPage, kPage), before);
}

TEST_F(PageCacheTest, WritesByReferenceWithoutCopying) {
  uint8_t* p = cache.ReadCacheByRef(0, 1, 2 * kPage + 16, 0, 8);
  std::memset(p, 0x3C, 8);
  cache.WriteCacheByRef(p, 0, 8, 0, 2 * kPage + 16, 1);
  EXPECT_EQ(disk.Plain(2 * kPage + 16, 8), Filled(8, 0x3C));
  EXPECT_THROW(cache.ReadCacheByRef(0, 1, kPage - 2, 0, 4), host::EAssertionFailed);
  const auto bytes = Filled(4, 0x12);
  EXPECT_THROW(cache.WriteCacheByRef(bytes.data(), 0, 4, 0, kPage - 2, 1), host::EAssertionFailed);
}

TEST_F(PageCacheTest, RemovingClearingAndResizing) {
  Read(0, 1, 1);
  Read(kPage, 1, 2);
  Read(2 * kPage, 1, 2);
  cache.RemovePage(5, 0);
  EXPECT_FALSE(cache.IsBaseAddrInCache(0));
  cache.ClearOwnedPages(2);
  EXPECT_FALSE(cache.IsBaseAddrInCache(kPage));
  EXPECT_FALSE(cache.IsBaseAddrInCache(2 * kPage));

  cache.ResetPageCount(8);
  EXPECT_EQ(cache.Count(), 8);
  EXPECT_EQ(cache.PageLimit(), 8);
  cache.StartTransaction();
  for (uint32_t p = 0; p < 8; ++p) Read(p * kPage, 1);
  Write(6 * kPage, Filled(kPage, 1));  // dirty pages survive a shrink
  cache.ResetPageCount(2);
  EXPECT_EQ(cache.Count(), 3);
  EXPECT_TRUE(cache.IsBaseAddrInCache(6 * kPage));
  EXPECT_FALSE(cache.IsBaseAddrInCache(5 * kPage));
  Read(9 * kPage, 1);  // the empty-page bookkeeping follows the shrink
  cache.Commit();
  EXPECT_EQ(disk.Plain(6 * kPage, kPage), Filled(kPage, 1));
  cache.ClearCache();
  for (int i = 0; i < cache.Count(); ++i) EXPECT_EQ(cache.Pages(i)->State(), cpEmpty);
}

TEST_F(PageCacheTest, ClearingAnOwnersPagesKeepsItsUncommittedWrites) {
  Read(0, 1, 3);
  cache.StartTransaction();
  Write(kPage, Filled(kPage, 9), 3);
  cache.ClearOwnedPages(3);
  EXPECT_FALSE(cache.IsBaseAddrInCache(0));
  EXPECT_TRUE(cache.IsBaseAddrInCache(kPage));
  EXPECT_EQ(Read(kPage, kPage, 3), Filled(kPage, 9));
  cache.Commit();
  EXPECT_EQ(disk.Plain(kPage, kPage, 3), Filled(kPage, 9));
}

TEST_F(PageCacheTest, DumpsItsState) {
  Read(kPage, 1, 7);
  host::TStringList lines;
  cache.DumpState(lines);
  ASSERT_EQ(lines.Count(), 5);
  EXPECT_EQ(lines.Strings(0), "Cache dump: Hits 0  Misses 1");
  EXPECT_EQ(lines.Strings(1), "Page 0: Addr 256  Owner 7 State Clean LRUFlag 0");
  EXPECT_EQ(lines.Strings(2), "Page 1: Addr 0  Owner 0 State Empty LRUFlag 0");
}

// ---- block cache ----

class BlockCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { disk.Attach(blocks); }
  std::vector<uint8_t> Read(uint32_t pos, uint32_t count) {
    std::vector<uint8_t> v(count);
    blocks.ReadBlock(v.data(), 0, count, 0, pos);
    return v;
  }
  void Write(uint32_t pos, const std::vector<uint8_t>& data) {
    blocks.WriteBlock(data.data(), 0, static_cast<uint32_t>(data.size()), 0, pos);
  }
  TMemDisk disk;
  TCacheBlockMgr blocks;
};

TEST(BlockCacheOpen, NeedsBothProceduresAndATransaction) {
  TCacheBlockMgr blocks;
  EXPECT_EQ(ErrorCodeOf([&] { blocks.StartTransaction(); }), 10065);
  TMemDisk disk;
  disk.Attach(blocks);
  const auto bytes = Filled(4, 1);
  EXPECT_THROW(blocks.WriteBlock(bytes.data(), 0, 4, 0, 0), host::EAssertionFailed);
  EXPECT_EQ(ErrorCodeOf([&] { blocks.Commit(); }), 10257);
  EXPECT_EQ(ErrorCodeOf([&] { blocks.Rollback(); }), 10257);
}

TEST_F(BlockCacheTest, ReadsSeePendingBytesOverTheFile) {
  blocks.StartTransaction();
  Write(100, Filled(10, 0xAA));
  auto expected = disk.Plain(95, 20);
  std::fill(expected.begin() + 5, expected.begin() + 15, 0xAA);
  EXPECT_EQ(Read(95, 20), expected);
  EXPECT_EQ(Read(102, 3), Filled(3, 0xAA));
  EXPECT_EQ(blocks.Hits(), 1);
  EXPECT_EQ(blocks.Misses(), 2);  // the first write and the read with gaps
  EXPECT_TRUE(blocks.IsBaseAddrInCache(109));
  EXPECT_FALSE(blocks.IsBaseAddrInCache(110));
  EXPECT_TRUE(disk.writeOrder.empty());
}

TEST_F(BlockCacheTest, WritesOfAnotherSizeMergeWithWhatTheyOverlap) {
  blocks.StartTransaction();
  Write(100, Filled(10, 1));
  Write(120, Filled(10, 2));
  Write(105, Filled(20, 3));  // spans the end of one and the start of the other
  EXPECT_EQ(blocks.Count(), 1);
  Write(100, Filled(2, 4));  // inside the merged block: in place
  EXPECT_EQ(blocks.Count(), 1);
  std::vector<uint8_t> expected(30);
  std::fill(expected.begin(), expected.begin() + 2, 4);
  std::fill(expected.begin() + 2, expected.begin() + 5, 1);
  std::fill(expected.begin() + 5, expected.begin() + 25, 3);
  std::fill(expected.begin() + 25, expected.end(), 2);
  EXPECT_EQ(Read(100, 30), expected);
  blocks.Commit();
  EXPECT_EQ(disk.Plain(100, 30), expected);
  EXPECT_EQ(blocks.Count(), 0);
  EXPECT_FALSE(blocks.TransactionActive());
}

TEST_F(BlockCacheTest, RemovingARangeKeepsWhatLiesAroundIt) {
  const auto original = disk.Plain(0, 300);
  blocks.StartTransaction();
  Write(0, Filled(100, 9));
  Write(200, Filled(50, 8));
  EXPECT_FALSE(blocks.RemoveRange(120, 0, 50));  // nothing pending there
  EXPECT_TRUE(blocks.RemoveRange(40, 0, 180));  // cuts the first block's tail and the second's head
  EXPECT_EQ(blocks.Count(), 2);
  auto expected = original;
  std::fill(expected.begin(), expected.begin() + 40, 9);
  std::fill(expected.begin() + 220, expected.begin() + 250, 8);
  EXPECT_EQ(Read(0, 300), expected);
  blocks.RemoveRange(10, 0, 10);  // a hole in the middle of one block
  std::copy(original.begin() + 10, original.begin() + 20, expected.begin() + 10);
  EXPECT_EQ(Read(0, 300), expected);
  blocks.Commit();
  EXPECT_EQ(disk.Plain(0, 300), expected);
}

// A write inside the block the last write went to goes straight into it;
// once that block has shrunk, gone or been committed, a write where it was
// is held as any other.
TEST_F(BlockCacheTest, WritesAfterTheLastWrittenBlockShrankOrWentLandWhereTheyBelong) {
  const auto original = disk.Plain(0, 200);
  blocks.StartTransaction();
  Write(100, Filled(20, 1));
  Write(105, Filled(5, 2));  // inside the last written block
  EXPECT_EQ(blocks.Count(), 1);
  EXPECT_EQ(blocks.Hits(), 1);
  EXPECT_TRUE(blocks.RemoveRange(110, 0, 10));  // its head stays, shorter
  Write(112, Filled(4, 3));  // where its tail was: a block of its own
  EXPECT_EQ(blocks.Count(), 2);
  auto expected = original;
  std::fill(expected.begin() + 100, expected.begin() + 105, 1);
  std::fill(expected.begin() + 105, expected.begin() + 110, 2);
  std::fill(expected.begin() + 112, expected.begin() + 116, 3);
  EXPECT_EQ(Read(0, 200), expected);
  EXPECT_TRUE(blocks.RemoveRange(112, 0, 4));  // the last written block goes
  std::copy(original.begin() + 112, original.begin() + 116, expected.begin() + 112);
  Write(113, Filled(2, 4));
  std::fill(expected.begin() + 113, expected.begin() + 115, 4);
  Write(100, Filled(2, 5));  // the first block again
  std::fill(expected.begin() + 100, expected.begin() + 102, 5);
  EXPECT_EQ(blocks.Count(), 2);
  EXPECT_EQ(Read(0, 200), expected);
  blocks.Commit();
  EXPECT_EQ(disk.Plain(0, 200), expected);

  // The next transaction starts with no block.
  disk.writeOrder.clear();
  blocks.StartTransaction();
  Write(113, Filled(1, 6));
  EXPECT_EQ(blocks.Count(), 1);
  blocks.Rollback();
  blocks.StartTransaction();
  Write(113, Filled(1, 7));
  EXPECT_EQ(blocks.Count(), 1);
  EXPECT_EQ(Read(113, 1), Filled(1, 7));
  blocks.Rollback();
  EXPECT_EQ(disk.Plain(0, 200), expected) << "nothing of either reached the file";
  EXPECT_TRUE(disk.writeOrder.empty());
}

// Pending bytes spread over a file many times larger than the search's
// shortcuts (64 KB chunks): every read and every removal, wherever it lies,
// must find exactly the pending bytes a plain byte map holds, across several
// transactions (the shortcuts start afresh with each).
TEST(BlockCacheRanges, PendingBytesAreFoundWhereverTheyLie) {
  constexpr uint32_t kSize = 600 << 10;
  TMemDisk disk(kSize);
  TCacheBlockMgr blocks;
  disk.Attach(blocks);
  const auto initial = disk.bytes;
  // A write that runs out of a pending block into a chunk nothing else has
  // touched; one block over several chunks; then a new transaction.
  blocks.StartTransaction();
  blocks.WriteBlock(Filled(500, 1).data(), 0, 500, 0, 65000);
  blocks.WriteBlock(Filled(600, 2).data(), 0, 600, 0, 65400);
  std::vector<uint8_t> seen(100);
  blocks.ReadBlock(seen.data(), 0, 100, 0, 65600);
  EXPECT_EQ(seen, Filled(100, 2));
  EXPECT_TRUE(blocks.RemoveRange(65900, 0, 4096));
  EXPECT_FALSE(blocks.RemoveRange(65900, 0, 4096));
  blocks.WriteBlock(Filled(200000, 3).data(), 0, 200000, 0, 200000);
  blocks.ReadBlock(seen.data(), 0, 100, 0, 330000);
  EXPECT_EQ(seen, Filled(100, 3));
  EXPECT_TRUE(blocks.RemoveRange(300000, 0, 4096));
  blocks.ReadBlock(seen.data(), 0, 100, 0, 390000);
  EXPECT_EQ(seen, Filled(100, 3));
  blocks.Rollback();
  blocks.StartTransaction();
  EXPECT_FALSE(blocks.RemoveRange(65536, 0, 4096));
  EXPECT_FALSE(blocks.RemoveRange(300000, 0, 4096));
  blocks.ReadBlock(seen.data(), 0, 100, 0, 65600);
  EXPECT_TRUE(std::equal(seen.begin(), seen.end(), initial.begin() + 65600));
  blocks.Rollback();

  uint32_t seed = 12345;
  const auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  for (int transaction = 0; transaction < 4; ++transaction) {
    SCOPED_TRACE(transaction);
    std::vector<int> pending(kSize, -1);  // the pending byte, or -1
    blocks.StartTransaction();
    for (int op = 0; op < 400; ++op) {
      // Half of them about a chunk's edge, where blocks run into one another.
      const uint32_t pos = next(2) == 0 ? (1 + next(8)) * (64u << 10) - next(3000)
                                        : next(kSize - 9000);
      const uint32_t count = 1 + next(op % 7 == 0 ? 9000 : 2000);
      if (next(3) != 0) {
        const auto value = static_cast<uint8_t>(next(256));
        blocks.WriteBlock(Filled(count, value).data(), 0, count, 0, pos);
        std::fill_n(pending.begin() + pos, count, value);
      } else {
        const bool held = std::any_of(pending.begin() + pos, pending.begin() + pos + count,
                                      [](int b) { return b >= 0; });
        EXPECT_EQ(blocks.RemoveRange(pos, 0, count), held) << op;
        std::fill_n(pending.begin() + pos, count, -1);
      }
      const auto check = [&](uint32_t at, uint32_t length) {
        std::vector<uint8_t> seen(length);
        blocks.ReadBlock(seen.data(), 0, length, 0, at);
        for (uint32_t i = 0; i < length; ++i) {
          const int want = pending[at + i] >= 0 ? pending[at + i] : disk.bytes[at + i];
          if (seen[i] != want) {
            ADD_FAILURE() << "op " << op << " byte " << at + i;
            return false;
          }
        }
        return true;
      };
      check(next(2) == 0 ? pos : next(kSize - 5000), 1 + next(4999));
      // Now and then every page of the file, as the page cache reads them.
      if (op % 25 == 0)
        for (uint32_t at = 0; at < kSize && check(at, 4096);) at += 4096;
    }
    if (transaction % 2 == 0) {
      blocks.Commit();
      for (uint32_t i = 0; i < kSize; ++i)
        if (pending[i] >= 0) {
          ASSERT_EQ(disk.bytes[i], pending[i]) << i;
        }
    } else {
      blocks.Rollback();
    }
  }
}

// MayHold lets a caller skip the search: it may answer true where nothing is
// pending, never false where something is, whatever merges and removals did
// to the blocks, in every transaction after the first, and above 4 GB.
TEST(BlockCacheRanges, MayHoldNeverDeniesAPendingByte) {
  constexpr uint32_t kSize = 256 << 10;
  TMemDisk disk(kSize);
  TCacheBlockMgr blocks;
  disk.Attach(blocks);
  uint32_t seed = 777;
  const auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  for (int transaction = 0; transaction < 3; ++transaction) {
    SCOPED_TRACE(transaction);
    std::vector<bool> pending(kSize, false);
    blocks.StartTransaction();
    EXPECT_FALSE(blocks.MayHold(0, 0, kSize));
    for (int op = 0; op < 300; ++op) {
      const uint32_t pos = next(kSize - 6000);
      const uint32_t count = 1 + next(op % 5 == 0 ? 6000 : 300);
      if (next(3) != 0) {
        blocks.WriteBlock(Filled(count, 1).data(), 0, count, 0, pos);
        std::fill_n(pending.begin() + pos, count, true);
      } else {
        blocks.RemoveRange(pos, 0, count);
        std::fill_n(pending.begin() + pos, count, false);
      }
      // Every page, and a few odd ranges.
      for (uint32_t at = 0; at < kSize; at += 4096) {
        const bool held = std::any_of(pending.begin() + at, pending.begin() + at + 4096,
                                      [](bool b) { return b; });
        if (held && !blocks.MayHold(at, 0, 4096)) {
          ADD_FAILURE() << "op " << op << " page " << at;
          break;
        }
      }
      const uint32_t at = next(kSize - 100), length = 1 + next(99);
      if (std::any_of(pending.begin() + at, pending.begin() + at + length,
                      [](bool b) { return b; })) {
        EXPECT_TRUE(blocks.MayHold(at, 0, length)) << "op " << op;
      }
    }
    // A range nothing ever came near is settled without a search.
    EXPECT_FALSE(blocks.MayHold(kSize + (64 << 10), 0, 4096));
    if (transaction == 1)
      blocks.Commit();
    else
      blocks.Rollback();
    EXPECT_FALSE(blocks.MayHold(0, 0, kSize));
  }
  // Past 4 GB.
  blocks.StartTransaction();
  blocks.WriteBlock(Filled(10, 5).data(), 0, 10, 1, 8000);
  blocks.WriteBlock(Filled(10, 6).data(), 0, 10, 0, 8000);
  EXPECT_TRUE(blocks.MayHold(4096, 1, 4096));
  EXPECT_TRUE(blocks.MayHold(4096, 0, 4096));
  EXPECT_TRUE(blocks.RemoveRange(4096, 1, 4096));
  EXPECT_FALSE(blocks.RemoveRange(4096, 1, 4096));
  EXPECT_TRUE(blocks.RemoveRange(4096, 0, 4096));
  blocks.Rollback();
}

TEST_F(BlockCacheTest, RollbackDropsEverythingAndAFailedCommitKeepsWhatWasNotWritten) {
  const auto original = disk.Plain(0, 64);
  blocks.StartTransaction();
  Write(0, Filled(8, 1));
  blocks.Rollback();
  EXPECT_EQ(blocks.Count(), 0);
  EXPECT_EQ(disk.Plain(0, 64), original);

  blocks.StartTransaction();
  Write(0, Filled(8, 1));
  Write(32, Filled(8, 2));
  disk.failAt = 32;
  EXPECT_THROW(blocks.Commit(), std::runtime_error);
  EXPECT_TRUE(blocks.TransactionActive());
  EXPECT_TRUE(blocks.IsBaseAddrInCache(32));
  disk.failAt = -1;
  blocks.Commit();
  EXPECT_EQ(disk.Plain(32, 8), Filled(8, 2));
  EXPECT_EQ(disk.Plain(0, 8), Filled(8, 1));
}

TEST_F(BlockCacheTest, DumpsItsState) {
  blocks.StartTransaction();
  Write(512, Filled(16, 1));
  host::TStringList lines;
  blocks.DumpState(lines);
  ASSERT_EQ(lines.Count(), 2);
  EXPECT_EQ(lines.Strings(0), "Cache dump: Hits 0  Misses 1");
  EXPECT_EQ(lines.Strings(1), "Block 0: Addr 512  Owner 0 State Dirty Size 16");
}

}  // namespace
}  // namespace tav

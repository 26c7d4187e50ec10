#include "engine/storage/file/page_cache.h"
#include "host/rtl/collection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// Allocations still allowed before one fails; below zero none fails.
thread_local long allocations_left = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_left == 0) {
    allocations_left = -1;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// What the operator new above took from malloc goes back to free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tav {
namespace {

constexpr uint32_t kPage = 256;
constexpr uint32_t kPages = 32;

struct TMemFile {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kPages * kPage);
  TMemFile() {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / kPage);
  }
  void Attach(TCacheMgr& cache) {
    cache.SetReadIO([this](uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t) {
      std::memcpy(buf, bytes.data() + low, kPage);
    });
    cache.SetWriteIO([this](const uint8_t* buf, int32_t, uint32_t, uint32_t low, uint32_t) {
      std::memcpy(bytes.data() + low, buf, kPage);
    });
  }
  std::vector<uint8_t> At(uint32_t pos, uint32_t count) const {
    return {bytes.begin() + pos, bytes.begin() + pos + count};
  }
};

std::vector<uint8_t> Read(TCacheMgr& cache, uint32_t pos, uint32_t count) {
  std::vector<uint8_t> got(count);
  cache.ReadCache(got.data(), 0, 1, pos, 0, count);
  return got;
}

// How a test's writes reach the cache: `count` bytes at `pos`, within one page.
using TWriteWay = void (*)(TCacheMgr& cache, const uint8_t* bytes, uint32_t count, uint32_t pos);

// A transaction has dirtied `dirtied` pages when a write turns one more
// cached clean page dirty and the n-th allocation on its way fails, for
// every n until the write goes through. Whatever failed, the page is read
// back as the file holds it, a rollback leaves the file as it was, and a
// commit stores the pages written before and nothing of the failed write.
// `beforeImages` keeps the copies of what the dirtied pages held. With none
// dirtied before, the dirty list itself must grow for the page.
void CheckAFailedListingLeavesNoTrace(TWriteWay write, bool beforeImages) {
  const std::vector<uint8_t> change(40, 0xEE);
  for (uint32_t dirtied : {0u, 1u, 2u, 4u, 8u}) {
    bool wentThrough = false;
    for (long n = 0; n < 64 && !wentThrough; ++n) {
      for (bool commit : {false, true}) {
        SCOPED_TRACE("dirtied " + std::to_string(dirtied) + ", allocation " +
                     std::to_string(n) + (commit ? ", commit" : ", rollback"));
        TMemFile file;
        const TMemFile before = file;
        TCacheMgr cache;
        file.Attach(cache);
        cache.Open(16, kPage);
        if (beforeImages) cache.SetBeforeImageLimit(static_cast<int>(dirtied) + 1);
        const uint32_t target = dirtied * kPage;
        for (uint32_t p = 0; p <= dirtied; ++p) Read(cache, p * kPage, kPage);
        cache.StartTransaction();
        const std::vector<uint8_t> mine(kPage, 0x11);
        for (uint32_t p = 0; p < dirtied; ++p) write(cache, mine.data(), kPage, p * kPage);

        allocations_left = n;
        bool failed = false;
        try {
          write(cache, change.data(), static_cast<uint32_t>(change.size()), target + 8);
        } catch (const std::bad_alloc&) {
          failed = true;
        }
        allocations_left = -1;
        if (!failed) {
          wentThrough = true;
          cache.Rollback();
          continue;
        }
        EXPECT_EQ(cache.DirtyCount(), static_cast<int>(dirtied));
        EXPECT_EQ(Read(cache, target, kPage), before.At(target, kPage));
        if (commit) {
          cache.Commit();
          for (uint32_t p = 0; p < dirtied; ++p) EXPECT_EQ(file.At(p * kPage, kPage), mine);
        } else {
          cache.Rollback();
          for (uint32_t p = 0; p < dirtied; ++p)
            EXPECT_EQ(Read(cache, p * kPage, kPage), before.At(p * kPage, kPage));
        }
        EXPECT_EQ(file.At(target, kPage), before.At(target, kPage));
        EXPECT_EQ(Read(cache, target, kPage), before.At(target, kPage));
      }
    }
    EXPECT_TRUE(wentThrough) << dirtied;
  }
}

TEST(PageCacheOutOfMemory, AWriteThatFailsToListItsPageLeavesNoTraceOfItsBytes) {
  CheckAFailedListingLeavesNoTrace(
      [](TCacheMgr& cache, const uint8_t* bytes, uint32_t count, uint32_t pos) {
        cache.WriteCache(bytes, 0, count, 0, pos, 1);
      },
      false);
}

// The same for a write given with the page it lies in (WriteOnePage), the
// way a transaction's writes within one page take: a clean page that cannot
// be listed dirty keeps the file's bytes.
TEST(PageCacheOutOfMemory, AOnePageWriteThatFailsToListItsPageLeavesNoTraceOfItsBytes) {
  CheckAFailedListingLeavesNoTrace(
      [](TCacheMgr& cache, const uint8_t* bytes, uint32_t count, uint32_t pos) {
        TCachePage* page = cache.FindPage(pos & ~(kPage - 1), 0);
        ASSERT_NE(page, nullptr);
        cache.WriteOnePage(bytes, 0, count, pos, 1, page);
      },
      true);
}

// The same for a change made in place (EditCachedPage) to a clean page: a
// page that cannot be listed dirty is refused loudly before the caller
// changes a byte of it.
TEST(PageCacheOutOfMemory, AnEditInPlaceThatFailsToListItsPageLeavesNoTraceOfItsBytes) {
  CheckAFailedListingLeavesNoTrace(
      [](TCacheMgr& cache, const uint8_t* bytes, uint32_t count, uint32_t pos) {
        uint8_t* page = cache.EditCachedPage(0, count, pos, 1);
        ASSERT_NE(page, nullptr);
        std::memcpy(page + (pos & (kPage - 1)), bytes, count);
      },
      true);
}

// A transaction grows the cache past its limit into the page objects and
// buffers the one before it left, and the n-th allocation on its way fails,
// for every n until it goes through. Whatever failed, the rollback leaves
// the cache at its limit reading what the file holds, and a transaction as
// large after it commits every page.
TEST(PageCacheOutOfMemory, GrowingIntoSparePagesThatFailsLeavesTheCacheWhole) {
  constexpr uint32_t kLimit = 4;
  constexpr uint32_t kGrown = 12;
  bool wentThrough = false;
  for (long n = 0; n < 256 && !wentThrough; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    TMemFile file;
    const TMemFile before = file;
    TCacheMgr cache;
    file.Attach(cache);
    cache.Open(kLimit, kPage);
    const std::vector<uint8_t> first(kPage, 0x22);
    cache.StartTransaction();
    for (uint32_t p = 0; p < kGrown; ++p) cache.WriteCache(first.data(), 0, kPage, 0, p * kPage, 1);
    cache.Rollback();
    ASSERT_EQ(cache.SparePageCount(), static_cast<int>(kGrown - kLimit));

    const std::vector<uint8_t> mine(20, 0x33);
    cache.StartTransaction();
    allocations_left = n;
    try {
      for (uint32_t p = 0; p < kGrown; ++p)
        cache.WriteCache(mine.data(), 0, static_cast<uint32_t>(mine.size()), 0,
                         (kGrown + p) * kPage + 5, 1);
      wentThrough = true;
    } catch (const std::bad_alloc&) {
    }
    allocations_left = -1;
    cache.Rollback();
    EXPECT_EQ(cache.Count(), static_cast<int>(kLimit));
    EXPECT_LE(cache.SparePageCount(), static_cast<int>(kGrown));
    for (uint32_t p = 0; p < 2 * kGrown; ++p)
      ASSERT_EQ(Read(cache, p * kPage, kPage), before.At(p * kPage, kPage)) << p;
    cache.StartTransaction();
    for (uint32_t p = 0; p < kGrown; ++p)
      cache.WriteCache(mine.data(), 0, static_cast<uint32_t>(mine.size()), 0, p * kPage + 5, 1);
    EXPECT_EQ(cache.Count(), static_cast<int>(kGrown));
    cache.Commit();
    EXPECT_EQ(cache.Count(), static_cast<int>(kLimit));
    for (uint32_t p = 0; p < kGrown; ++p) {
      std::vector<uint8_t> want = before.At(p * kPage, kPage);
      std::copy(mine.begin(), mine.end(), want.begin() + 5);
      ASSERT_EQ(file.At(p * kPage, kPage), want) << p;
    }
  }
  EXPECT_TRUE(wentThrough);
}

// A fresh cache's first transaction grows it, and the index its pages are
// found by, well past its limit, and the n-th allocation on its way fails,
// for every n until it goes through. Whatever failed, the pages written
// before stay dirty and are read back as written, the page of the failed
// write as the file holds it; a commit then stores exactly those pages, a
// rollback none, and the cache ends at its limit.
TEST(PageCacheOutOfMemory, GrowingTheIndexThatFailsLeavesTheCacheWhole) {
  constexpr uint32_t kLimit = 4;
  constexpr uint32_t kGrown = 30;
  const std::vector<uint8_t> mine(20, 0x44);
  const auto written = [&](const TMemFile& before, uint32_t p) {
    std::vector<uint8_t> want = before.At(p * kPage, kPage);
    std::copy(mine.begin(), mine.end(), want.begin() + 5);
    return want;
  };
  bool wentThrough = false;
  for (long n = 0; n < 512 && !wentThrough; ++n) {
    for (bool commit : {false, true}) {
      SCOPED_TRACE("allocation " + std::to_string(n) + (commit ? ", commit" : ", rollback"));
      TMemFile file;
      const TMemFile before = file;
      TCacheMgr cache;
      file.Attach(cache);
      cache.Open(kLimit, kPage);
      cache.StartTransaction();
      uint32_t done = 0;
      allocations_left = n;
      try {
        for (; done < kGrown; ++done)
          cache.WriteCache(mine.data(), 0, static_cast<uint32_t>(mine.size()), 0,
                           done * kPage + 5, 1);
        wentThrough = true;
      } catch (const std::bad_alloc&) {
      }
      allocations_left = -1;
      EXPECT_EQ(cache.DirtyCount(), static_cast<int>(done));
      for (uint32_t p = 0; p < done; ++p) {
        const TCachePage* page = cache.FindPage(p * kPage, 0);
        ASSERT_NE(page, nullptr) << p;
        EXPECT_EQ(page->State(), cpDirty) << p;
        ASSERT_EQ(Read(cache, p * kPage, kPage), written(before, p)) << p;
      }
      if (done < kGrown) {
        ASSERT_EQ(Read(cache, done * kPage, kPage), before.At(done * kPage, kPage));
      }
      if (commit)
        cache.Commit();
      else
        cache.Rollback();
      EXPECT_EQ(cache.Count(), static_cast<int>(kLimit));
      EXPECT_EQ(cache.DirtyCount(), 0);
      for (uint32_t p = 0; p < kPages; ++p) {
        const std::vector<uint8_t> want =
            commit && p < done ? written(before, p) : before.At(p * kPage, kPage);
        ASSERT_EQ(file.At(p * kPage, kPage), want) << p;
        ASSERT_EQ(Read(cache, p * kPage, kPage), want) << p;
      }
    }
  }
  EXPECT_TRUE(wentThrough);
}

}  // namespace
}  // namespace tav

namespace host {
namespace {

// An item added to a collection whose ID index is built, when the index
// cannot take it, is not left listed (freed, it would be read again by every
// later walk of the collection): the collection keeps exactly what it had.
TEST(CollectionOutOfMemory, AnItemTheIDIndexCannotTakeIsNotListed) {
  bool wentThrough = false;
  for (long n = 0; n < 16 && !wentThrough; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    TCollection c;
    TCollectionItem* first = c.Add();
    TCollectionItem* second = c.Add();
    ASSERT_EQ(c.FindItemID(second->ID()), second);  // the ID index is built
    allocations_left = n;
    try {
      c.Add();
      wentThrough = true;
    } catch (const std::bad_alloc&) {
    }
    allocations_left = -1;
    if (wentThrough) {
      EXPECT_EQ(c.Count(), 3);
      continue;
    }
    ASSERT_EQ(c.Count(), 2);
    EXPECT_EQ(c.Items(0), first);
    EXPECT_EQ(c.Items(1), second);
    EXPECT_EQ(c.FindItemID(first->ID()), first);
    EXPECT_EQ(c.FindItemID(second->ID()), second);
  }
  EXPECT_TRUE(wentThrough);
}

}  // namespace
}  // namespace host

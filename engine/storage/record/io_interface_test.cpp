#include "engine/storage/record/io_interface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::GetU32;
using test::PutU32;

std::vector<uint8_t> Pattern(uint32_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed * 13 + 1);
  return v;
}

std::vector<uint32_t> Listed(TBaseIOInterface& io) {
  host::TList list;
  list.Add(12345);  // ListBlocks starts from an empty list
  io.ListBlocks(list);
  std::vector<uint32_t> v;
  for (int i = 0; i < list.Count(); ++i) v.push_back(static_cast<uint32_t>(list.Items(i)));
  return v;
}

// ---- the base class ----

TEST(BaseIOInterface, OpenComputesThePageOwnerAndTheRestIsLeftToTheVariants) {
  TBaseIOInterface io;
  io.SetTableID(7);
  io.SetUsage(kUsageRecord);
  io.Open();
  EXPECT_EQ(io.PageOwner(), 7 * 16 + 9);

  uint8_t buf[16] = {};
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { io.Empty(false); }, &text), 10065);
  EXPECT_EQ(ErrorCodeOf([&] { io.AllocateNewAddress(16, buf); }), 10065);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(1, 16); }), 10065);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(1, 16, buf); }), 10065);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockHeader(1, 16, buf); }), 10065);
  EXPECT_FALSE(io.CheckBlockAddressValid(1));
  EXPECT_FALSE(io.CheckPageValid(1));
  EXPECT_EQ(io.GetNextMemoryBlockAddress(0), 0u);
  EXPECT_EQ(io.GetChainBounds().MaxBlocks, 0u);
}

// ---- the memory variant ----

TEST(MemoryIOInterface, BlocksHoldTheirBytesAndListInAllocationOrder) {
  TMemoryIOInterface io;
  EXPECT_EQ(io.IOMode(), iomMemory);
  std::vector<uint32_t> a;
  for (int i = 0; i < 5; ++i) {
    auto data = Pattern(40, i);
    a.push_back(io.AllocateNewAddress(40, data.data()));
    EXPECT_NE(a.back(), 0u);
  }
  for (int i = 0; i < 5; ++i) {
    std::vector<uint8_t> got(40);
    io.ReadBlock(a[i], 40, got.data());
    EXPECT_EQ(got, Pattern(40, i));
  }
  io.ReleaseBlock(a[2], 40);
  io.ReleaseBlock(a[0], 40);
  const uint32_t late = io.AllocateNewAddress(40, Pattern(40, 9).data());
  EXPECT_EQ(Listed(io), (std::vector<uint32_t>{a[1], a[3], a[4], late}));

  // The walk the memory table's scans use.
  EXPECT_EQ(io.GetNextMemoryBlockAddress(0), a[1]);
  EXPECT_EQ(io.GetNextMemoryBlockAddress(a[1]), a[3]);
  EXPECT_EQ(io.GetNextMemoryBlockAddress(a[4]), late);
  EXPECT_EQ(io.GetNextMemoryBlockAddress(late), 0u);
  EXPECT_EQ(io.GetNextMemoryBlockAddress(a[0]), a[1]) << "an unknown address restarts";

  // Releasing what is not there changes nothing.
  io.ReleaseBlock(a[0], 40);
  io.ReleaseBlock(0, 40);
  EXPECT_EQ(io.BlockCount(), 4);
}

TEST(MemoryIOInterface, WritesAndHeaderTransfersReachTheBlock) {
  TMemoryIOInterface io;
  const uint32_t a = io.AllocateNewAddress(32, Pattern(32, 1).data());
  io.WriteBlock(a, 32, Pattern(32, 2).data());
  std::vector<uint8_t> got(32);
  io.ReadBlock(a, 32, got.data());
  EXPECT_EQ(got, Pattern(32, 2));

  const uint8_t head[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  io.WriteBlockHeader(a, 4, head);
  uint8_t back[6] = {};
  io.ReadBlockHeader(a, 6, back);
  EXPECT_EQ(std::memcmp(back, head, 4), 0);
  EXPECT_EQ(back[4], Pattern(32, 2)[4]);
}

TEST(MemoryIOInterface, PartWritesChangeOnlyTheirSpanAndNeverPassTheBlock) {
  TMemoryIOInterface io;
  const uint32_t a = io.AllocateNewAddress(32, Pattern(32, 1).data());
  const std::vector<uint8_t> part = Pattern(8, 7);
  EXPECT_TRUE(io.WriteBlockPart(a, 10, 8, part.data()));
  std::vector<uint8_t> want = Pattern(32, 1);
  std::copy(part.begin(), part.end(), want.begin() + 10);
  std::vector<uint8_t> got(32);
  io.ReadBlock(a, 32, got.data());
  EXPECT_EQ(got, want);
  // The last byte is in reach; one past it, or an offset that wraps, is not.
  EXPECT_TRUE(io.WriteBlockPart(a, 31, 1, part.data()));
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockPart(a, 30, 3, part.data()); }, &text), 8581);
  EXPECT_NE(text.find("size beyond block"), std::string::npos) << text;
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockPart(a, 0xFFFFFFF8u, 16, part.data()); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockPart(a, 0, 4, nullptr); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockPart(a + 1000, 0, 4, part.data()); }), 8581);
  io.ReadBlock(a, 32, got.data());
  want[31] = part[0];
  EXPECT_EQ(got, want);
}

TEST(MemoryIOInterface, UnknownAddressesRaiseForReadsAndWritesAlike) {
  TMemoryIOInterface io;
  host::TStringList debug;
  io.SetDebugStrings(&debug);
  const uint32_t a = io.AllocateNewAddress(16, Pattern(16, 1).data());
  const uint32_t bad = a + 1000;
  uint8_t buf[16] = {};
  std::string text;

  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(bad, 16, buf); }, &text), 8581);
  EXPECT_NE(text.find("Read page error - block address not found " + std::to_string(bad)),
            std::string::npos)
      << text;
  ASSERT_EQ(debug.Count(), 2);
  char line[64];
  std::snprintf(line, sizeof line, "%u:::%08X", bad, bad);
  EXPECT_EQ(debug.Strings(0), line);
  std::snprintf(line, sizeof line, "%08X", a);
  EXPECT_EQ(debug.Strings(1), line);

  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlockByRef(bad, 16); }, &text), 8581);
  EXPECT_NE(text.find("block address not found"), std::string::npos);

  // A write to a block that does not exist is a lost write, never ignored.
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(bad, 16, buf); }, &text), 8581);
  EXPECT_NE(text.find("Write page error - block address not found " + std::to_string(bad)),
            std::string::npos)
      << text;
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockHeader(bad, 4, buf); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlockHeader(bad, 4, buf); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(0, 16, buf); }), 8581);
}

TEST(MemoryIOInterface, BadBuffersAndOversizedTransfersRaise) {
  TMemoryIOInterface io;
  const uint32_t a = io.AllocateNewAddress(16, Pattern(16, 1).data());
  std::string text;
  uint8_t* block = io.ReadBlockByRef(a, 16);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 16, block); }, &text), 8581);
  EXPECT_NE(text.find("Read page error - buffers equal"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 16, nullptr); }, &text), 8581);
  EXPECT_NE(text.find("Unassigned memory pointer"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(a, 16, nullptr); }, &text), 8581);
  EXPECT_NE(text.find("Write page error - nil pointer"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlockHeader(a, 4, nullptr); }, &text), 8581);
  EXPECT_NE(text.find("Write header error - nil pointer"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlockHeader(a, 4, nullptr); }, &text), 8581);
  EXPECT_NE(text.find("Read header error - nil pointer"), std::string::npos);

  // A block never lends more bytes than it has.
  uint8_t big[64] = {};
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 17, big); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(a, 17, big); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlockByRef(a, 17); }), 8581);
}

TEST(MemoryIOInterface, ByReferenceReadsAreTheBlockItselfUntilItIsReleased) {
  TMemoryIOInterface io;
  const uint32_t a = io.AllocateNewAddress(8, Pattern(8, 3).data());
  uint8_t* p = io.ReadBlockByRef(a, 8);
  p[0] = 0x55;
  io.WriteBlockByRef(a, 8, p);
  // Other blocks come and go without moving this one.
  for (int i = 0; i < 100; ++i) io.ReleaseBlock(io.AllocateNewAddress(8, p), 8);
  EXPECT_EQ(io.ReadBlockByRef(a, 8), p);
  uint8_t copy[8];
  io.ReadBlock(a, 8, copy);
  EXPECT_EQ(copy[0], 0x55);
}

TEST(MemoryIOInterface, StaleAndForeignHandlesFailTheAddressCheck) {
  TMemoryIOInterface io;
  TMemoryIOInterface other;
  const uint32_t a = io.AllocateNewAddress(8, Pattern(8, 1).data());
  EXPECT_TRUE(io.CheckBlockAddressValid(a));
  EXPECT_TRUE(io.CheckPageValid(a));
  EXPECT_FALSE(other.CheckBlockAddressValid(a));
  io.ReleaseBlock(a, 8);
  EXPECT_FALSE(io.CheckBlockAddressValid(a));

  // However many blocks are made afterwards, none gets the old address, so a
  // bookmark or index entry left pointing at it cannot read another record.
  std::vector<uint32_t> made;
  for (int i = 0; i < 1000; ++i) {
    made.push_back(io.AllocateNewAddress(8, Pattern(8, i).data()));
    made.push_back(other.AllocateNewAddress(8, Pattern(8, i).data()));
    io.ReleaseBlock(made[made.size() - 2], 8);
  }
  for (size_t i = 1; i < made.size(); ++i) EXPECT_LT(made[i - 1], made[i]);
  EXPECT_FALSE(io.CheckBlockAddressValid(a));
  uint8_t buf[8];
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 8, buf); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(made[1], 8, buf); }), 8581)
      << "a block of another interface";
}

TEST(MemoryIOInterface, TheHandleSequenceSkipsZeroAndLiveHandlesWhenItWraps) {
  TMemoryIOInterface io;
  TMemoryIOInterface::SetNextHandleForTesting(0xFFFFFFFEull);
  const uint32_t a = io.AllocateNewAddress(4, nullptr);
  const uint32_t b = io.AllocateNewAddress(4, nullptr);
  EXPECT_EQ(a, 0xFFFFFFFEu);
  EXPECT_EQ(b, 0xFFFFFFFFu);
  TMemoryIOInterface::SetNextHandleForTesting(0x100000000ull + 0xFFFFFFFEull);
  const uint32_t c = io.AllocateNewAddress(4, nullptr);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_NE(c, 0u);
  EXPECT_EQ(io.BlockCount(), 3);
  TMemoryIOInterface::SetNextHandleForTesting(1);
}

TEST(MemoryIOInterface, EmptyFreesEveryBlockOfThatInterfaceOnly) {
  TMemoryIOInterface io;
  TMemoryIOInterface other;
  std::vector<uint32_t> a;
  for (int i = 0; i < 10; ++i) a.push_back(io.AllocateNewAddress(24, Pattern(24, i).data()));
  const uint32_t kept = other.AllocateNewAddress(24, Pattern(24, 0).data());
  io.Empty(false);
  EXPECT_EQ(io.BlockCount(), 0);
  EXPECT_TRUE(Listed(io).empty());
  EXPECT_EQ(io.GetNextMemoryBlockAddress(0), 0u);
  for (uint32_t x : a) EXPECT_FALSE(io.CheckBlockAddressValid(x));
  EXPECT_TRUE(other.CheckBlockAddressValid(kept));
  // The emptied interface goes on working.
  const uint32_t n = io.AllocateNewAddress(24, Pattern(24, 5).data());
  EXPECT_EQ(Listed(io), std::vector<uint32_t>{n});
}

// Blocks share chunks and reuse the bytes of released ones: every block
// keeps its own bytes through releases in any order, table growth, large
// blocks beside small ones and an emptying, and a reused block reads as
// zeros where nothing was written.
TEST(MemoryIOInterface, ManyBlocksKeepTheirBytesThroughReleasesReuseAndEmptying) {
  TMemoryIOInterface io;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> live;
  uint32_t seed = 1;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  auto check = [&] {
    ASSERT_EQ(io.BlockCount(), static_cast<int>(live.size()));
    for (const auto& [address, bytes] : live) {
      std::vector<uint8_t> out(bytes.size() + 1, 0xEE);
      ASSERT_TRUE(io.CheckBlockAddressValid(address));
      io.ReadBlock(address, static_cast<uint32_t>(bytes.size()), out.data());
      ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin())) << address;
      ASSERT_EQ(out[bytes.size()], 0xEE);
    }
  };
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3000; ++i) {
      const uint32_t r = next();
      if (!live.empty() && r % 3 == 0) {
        // Released from anywhere in the table.
        const size_t at = (r >> 8) % live.size();
        io.ReleaseBlock(live[at].first, 0);
        EXPECT_FALSE(io.CheckBlockAddressValid(live[at].first));
        live[at] = live.back();
        live.pop_back();
        continue;
      }
      const uint32_t size = r % 17 == 0 ? 1500 + (r >> 8) % 3000 : (r >> 8) % 200;
      if (r % 5 == 0) {
        live.emplace_back(io.AllocateNewAddress(size, nullptr), std::vector<uint8_t>(size, 0));
      } else {
        std::vector<uint8_t> bytes = Pattern(size, static_cast<int>(i));
        live.emplace_back(io.AllocateNewAddress(size, bytes.data()), bytes);
      }
    }
    check();
    std::vector<uint32_t> listed = Listed(io);
    EXPECT_EQ(listed.size(), live.size());
    io.Empty(false);
    for (const auto& block : live) EXPECT_FALSE(io.CheckBlockAddressValid(block.first));
    live.clear();
    EXPECT_EQ(io.BlockCount(), 0);
    EXPECT_TRUE(Listed(io).empty());
  }
  // After an emptying the kept chunks hold new blocks, zeros where asked.
  const uint32_t a = io.AllocateNewAddress(40, nullptr);
  std::vector<uint8_t> out(40, 0xEE);
  io.ReadBlock(a, 40, out.data());
  EXPECT_EQ(out, std::vector<uint8_t>(40, 0));
}

TEST(MemoryIOInterface, BlocksReleasedBeforeAnEmptyingAreNeverHandedOutAgain) {
  // Every pooled size, released before the emptying: none of them may come
  // back after it, over the blocks the kept chunks then hold.
  TMemoryIOInterface io;
  for (int round = 0; round < 3; ++round) {
    std::vector<uint32_t> released;
    for (uint32_t size = 8; size <= 1024; size += 8) released.push_back(io.AllocateNewAddress(size, nullptr));
    for (uint32_t address : released) io.ReleaseBlock(address, 0);
    io.Empty(false);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> live;
    for (uint32_t size = 1024;; size -= 8) {
      std::vector<uint8_t> bytes = Pattern(size, static_cast<int>(size) + round);
      live.emplace_back(io.AllocateNewAddress(size, bytes.data()), bytes);
      if (size == 8) break;
    }
    for (const auto& [address, bytes] : live) {
      std::vector<uint8_t> out(bytes.size(), 0xEE);
      io.ReadBlock(address, static_cast<uint32_t>(bytes.size()), out.data());
      ASSERT_EQ(out, bytes) << "round " << round << ", block of " << bytes.size() << " bytes";
    }
    io.Empty(false);
  }
}

TEST(MemoryIOInterface, ChainBoundsAdmitAnyHandleButNoLongerChainThanItHasBlocks) {
  TMemoryIOInterface io;
  for (int i = 0; i < 3; ++i) io.AllocateNewAddress(8, nullptr);
  const TChainBounds b = io.GetChainBounds();
  EXPECT_EQ(b.MaxBlocks, 3u);
  EXPECT_EQ(b.Low, 1u);
  EXPECT_GT(b.High, uint64_t{0xFFFFFFFFu});
}

// ---- the disk variant ----

constexpr uint32_t kPage = test::TTestDatabase::kPageSize;

class DiskIOInterfaceTest : public ::testing::Test {
 protected:
  TDiskMgr& mgr() { return db.Mgr(); }
  void SetUpLocal(uint32_t blockSize, uint16_t usage = kUsageRecord) {
    test::SetUpTableInterface(io, mgr(), usage, blockSize);
  }
  // What the free block at `address` says: {next, count}.
  std::pair<uint32_t, uint32_t> FreeRun(uint32_t address) {
    uint8_t b[16];
    io.ReadBlockHeader(address, 16, b);
    EXPECT_EQ(GetU32(b), 0u);
    EXPECT_EQ(GetU32(b + 4), 0u);
    return {GetU32(b + 8), GetU32(b + 12)};
  }
  uint32_t Alloc(int seed) {
    return io.AllocateNewAddress(io.BlockSize(), Pattern(io.BlockSize(), seed).data());
  }

  test::TTestDatabase db;
  TDiskIOInterface io;
};

TEST_F(DiskIOInterfaceTest, OpenChecksItsSettingsInOrder) {
  std::string text;
  EXPECT_EQ(io.IOMode(), iomDiskFixedSize);
  EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to open Disk IOInterface - DiskMgr is null"), std::string::npos);
  io.SetDiskMgr(&mgr());
  EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to open Disk IOInterface - Usage is not set"), std::string::npos);
  io.SetUsage(kUsageBlob);
  EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to open Disk IOInterface - Block size is 0"), std::string::npos);
  io.SetBlockSize(512);
  io.SetTableID(3);
  io.Open();
  EXPECT_EQ(io.PageOwner(), 3 * 16 + 10);
}

TEST_F(DiskIOInterfaceTest, ReopeningWithAnotherBlockSizeGetsABufferToMatch) {
  TavEngineStartup();
  GDBLogger()->Clear();
  SetUpLocal(64);
  const uint32_t a = Alloc(1);
  io.ReleaseBlock(a, 64);
  // Now as whole-page blocks (a work buffer of 128 bytes would overflow).
  io.SetBlockSize(kPage);
  io.SetFirstEmpty(0);
  io.Open();
  bool logged = false;
  for (const std::string& line : GDBLogger()->LogItems())
    logged = logged || line.find("Open- BlockSize 4096 FirstEmpty 0") != std::string::npos;
  EXPECT_TRUE(logged);
  const uint32_t b = Alloc(2);
  io.ReleaseBlock(b + 0, 100);  // one block of the chain
  const uint32_t c = Alloc(3);
  EXPECT_EQ(c, b);
  std::vector<uint8_t> got(kPage);
  io.ReadBlock(c, kPage, got.data());
  EXPECT_EQ(got, Pattern(kPage, 3));
}

TEST_F(DiskIOInterfaceTest, ANewRequestBecomesOneBlockAndAFreeRun) {
  SetUpLocal(512);
  const uint32_t a = Alloc(1);
  EXPECT_EQ(a % kPage, 0u);
  EXPECT_GE(a, 6 * kPage);
  EXPECT_EQ(io.FirstEmpty(), a + 512);
  EXPECT_EQ(FreeRun(a + 512), (std::pair<uint32_t, uint32_t>{0, 7}));

  // Allocating from a run hands out its first block and leaves the rest.
  EXPECT_EQ(Alloc(2), a + 512);
  EXPECT_EQ(io.FirstEmpty(), a + 1024);
  EXPECT_EQ(FreeRun(a + 1024), (std::pair<uint32_t, uint32_t>{0, 6}));

  host::TList list;
  io.ListBlocks(list);
  EXPECT_EQ(list.Count(), 8);
  for (int i = 0; i < 6; ++i) Alloc(10 + i);
  EXPECT_EQ(io.FirstEmpty(), 0u);
  const uint32_t next = Alloc(20);
  EXPECT_EQ(next % kPage, 0u);
  EXPECT_NE(next, a);
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> got(512);
    io.ReadBlock(a + i * 512, 512, got.data());
    EXPECT_EQ(got, Pattern(512, 1 + i));
  }
}

TEST_F(DiskIOInterfaceTest, AWholePageBlockTakesOnePageAndLeavesNoRun) {
  SetUpLocal(kPage, kUsageIndex);
  const uint32_t a = Alloc(1);
  EXPECT_EQ(a % kPage, 0u);
  EXPECT_EQ(io.FirstEmpty(), 0u);
  const uint32_t b = Alloc(2);
  EXPECT_EQ(b, a + kPage);
  // Released whole pages go back to the map, not to the chain.
  io.ReleaseBlock(a, kPage);
  EXPECT_EQ(io.FirstEmpty(), 0u);
  host::TList list;
  io.ListBlocks(list);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(0)), b);
  EXPECT_EQ(Alloc(3), a) << "the map hands the freed page out again";
}

TEST_F(DiskIOInterfaceTest, BlocksLargerThanAPageAreRequestedWhole) {
  SetUpLocal(5000);
  const uint32_t a = io.AllocateNewAddress(4096, Pattern(4096, 1).data());
  // 45056 bytes = 11 pages hold 9 blocks: one handed out, a run of 8.
  EXPECT_EQ(io.FirstEmpty(), a + 5000);
  EXPECT_EQ(FreeRun(a + 5000).second, 8u);
  const uint32_t b = io.AllocateNewAddress(0, nullptr);
  EXPECT_EQ(b, a + 5000);
  EXPECT_EQ(io.FirstEmpty(), a + 10000);
  host::TList list;
  io.ListBlocks(list);
  EXPECT_EQ(list.Count(), 9);
}

TEST_F(DiskIOInterfaceTest, VariableSizeModeRequestsTheFewestPagesForABlock) {
  io.SetIOMode(iomDiskVariableSize);
  SetUpLocal(5000);
  const uint32_t a = Alloc(1);
  EXPECT_EQ(io.FirstEmpty(), 0u) << "two pages hold one block and no spare";
  EXPECT_EQ(Alloc(2), a + 2 * kPage);
  io.SetBlockSize(1000);
  io.Open();
  const uint32_t b = Alloc(3);
  EXPECT_EQ(io.FirstEmpty(), b + 1000);
  EXPECT_EQ(FreeRun(b + 1000).second, 3u);
}

// Blocks that do not divide the page: a run's blocks and its next head lie
// in one page or straddle two; either way each allocation leaves the rest
// of the run named by its head and every block keeps its own bytes.
TEST_F(DiskIOInterfaceTest, ARunHandsOutBlocksAcrossPageEndsInOrder) {
  constexpr uint32_t kBlock = 1500;
  SetUpLocal(kBlock);
  std::vector<uint32_t> got{Alloc(0)};
  const uint32_t first = got[0];
  uint32_t left = FreeRun(io.FirstEmpty()).second;
  int samePage = 0, straddling = 0;
  for (int i = 1; io.FirstEmpty() != 0; ++i) {
    const uint32_t head = io.FirstEmpty();
    // The block handed out and the run's next head: in one page or not.
    if (left > 1) ++(head / kPage == (head + 2 * kBlock - 1) / kPage ? samePage : straddling);
    ASSERT_EQ(Alloc(i), head);
    EXPECT_EQ(head, first + kBlock * i);
    got.push_back(head);
    --left;
    if (left > 0) {
      EXPECT_EQ(io.FirstEmpty(), head + kBlock);
      EXPECT_EQ(FreeRun(head + kBlock), (std::pair<uint32_t, uint32_t>{0, left}));
    }
  }
  EXPECT_EQ(left, 0u);
  EXPECT_GT(samePage, 0);
  EXPECT_GT(straddling, 0);
  std::vector<uint8_t> bytes(kBlock);
  for (size_t i = 0; i < got.size(); ++i) {
    io.ReadBlock(got[i], kBlock, bytes.data());
    EXPECT_EQ(bytes, Pattern(kBlock, static_cast<int>(i))) << "block " << i;
  }
}

TEST_F(DiskIOInterfaceTest, ShortDataFillsTheBlockWithZeros) {
  SetUpLocal(256);
  Alloc(1);  // a run of 15 follows
  const uint32_t from = io.FirstEmpty();
  // Leave junk where the block will go, then allocate it with 10 bytes.
  io.WriteBlock(from + 256, 256, Pattern(256, 9).data());
  std::vector<uint8_t> ten(10, 0xEE);  // exactly 10 bytes: reading more would be caught
  const uint32_t a = io.AllocateNewAddress(10, ten.data());
  EXPECT_EQ(a, from);
  std::vector<uint8_t> got(256);
  io.ReadBlock(a, 256, got.data());
  std::vector<uint8_t> want(256, 0);
  std::fill(want.begin(), want.begin() + 10, 0xEE);
  EXPECT_EQ(got, want);
}

TEST_F(DiskIOInterfaceTest, ReleasedBlocksHeadTheChainAndComeBackFirst) {
  SetUpLocal(512);
  std::vector<uint32_t> a;
  for (int i = 0; i < 8; ++i) a.push_back(Alloc(i));
  EXPECT_EQ(io.FirstEmpty(), 0u) << "one page of eight blocks, all in use";
  io.ReleaseBlock(a[2], 512);
  EXPECT_EQ(io.FirstEmpty(), a[2]);
  EXPECT_EQ(FreeRun(a[2]), (std::pair<uint32_t, uint32_t>{0, 1}));
  // Three blocks' worth is one run of three.
  io.ReleaseBlock(a[3], 1500);
  EXPECT_EQ(FreeRun(a[3]), (std::pair<uint32_t, uint32_t>{a[2], 3}));
  EXPECT_EQ(Alloc(20), a[3]);
  EXPECT_EQ(FreeRun(a[4]), (std::pair<uint32_t, uint32_t>{a[2], 2}));
  EXPECT_EQ(Alloc(21), a[4]);
  EXPECT_EQ(Alloc(22), a[5]);
  EXPECT_EQ(Alloc(23), a[2]);
  EXPECT_EQ(io.FirstEmpty(), 0u);
  std::vector<uint8_t> got(512);
  io.ReadBlock(a[5], 512, got.data());
  EXPECT_EQ(got, Pattern(512, 22));
  io.ReadBlock(a[6], 512, got.data());
  EXPECT_EQ(got, Pattern(512, 6));
}

TEST_F(DiskIOInterfaceTest, ALocalChainMustBeLoadedFirst) {
  SetUpLocal(512);
  io.SetFirstEmptyValid(false);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { Alloc(1); }, &text), 8581);
  EXPECT_NE(text.find("DiskIOInterface - non global first empty not set"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(6 * kPage, 512); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.GetGlobalFirstEmpty(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to get a global first empty. Not a global interface"),
            std::string::npos);
}

TEST_F(DiskIOInterfaceTest, OversizedRequestsAndTransfersRaise) {
  SetUpLocal(512);
  std::string text;
  std::vector<uint8_t> big(600);
  EXPECT_EQ(ErrorCodeOf([&] { io.AllocateNewAddress(513, big.data()); }, &text), 8581);
  EXPECT_NE(text.find("Block request sizes < block size"), std::string::npos);
  const uint32_t a = Alloc(1);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 513, big.data()); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(a, 513, big.data()); }), 8581);
}

TEST_F(DiskIOInterfaceTest, ByReferenceReadsLiveOnlyUntilTheNextCacheCall) {
  SetUpLocal(kPage, kUsageIndex);
  std::vector<uint32_t> a;
  for (int i = 0; i < 80; ++i) a.push_back(Alloc(i));
  uint8_t* p = io.ReadBlockByRef(a[0], kPage);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, Pattern(kPage, 0).data(), kPage), 0);
  p[0] = 0x42;  // edited in place, handed back at once
  io.WriteBlockByRef(a[0], kPage, p);
  std::vector<uint8_t> got(kPage);
  io.ReadBlock(a[0], kPage, got.data());
  EXPECT_EQ(got[0], 0x42);

  // Taken again, then other pages pass through the cache: the pointer now
  // shows whatever page the cache put there, not the block.
  p = io.ReadBlockByRef(a[0], kPage);
  for (int i = 1; i < 80; ++i) io.ReadBlock(a[i], kPage, got.data());
  std::vector<uint8_t> want(kPage);
  io.ReadBlock(a[0], kPage, want.data());
  EXPECT_EQ(want[0], 0x42);
  EXPECT_NE(std::memcmp(p, want.data(), kPage), 0)
      << "the rule in io_interface.h must hold: take the pointer again after any call";
}

// An edit in place is had only inside a transaction and for a block whose
// page the cache holds, whether the transaction has changed it yet or not.
// A part written after an edit was refused lands whether or not something
// changed the page in between, and every block reads back, before and after
// the commit, what was written and edited.
TEST_F(DiskIOInterfaceTest, PartWritesAndEditsLandWhetherOrNotAnEditWasRefused) {
  SetUpLocal(512, kUsageIndex);  // eight blocks a page
  std::vector<uint32_t> a;
  for (int i = 0; i < 40; ++i) a.push_back(Alloc(i));
  std::vector<std::vector<uint8_t>> want;
  for (int i = 0; i < 40; ++i) want.push_back(Pattern(512, i));
  const std::vector<uint8_t> part = Pattern(16, 99);
  auto write = [&](int i, uint32_t offset) {
    EXPECT_TRUE(io.WriteBlockPart(a[static_cast<size_t>(i)], offset, 16, part.data()));
    std::copy(part.begin(), part.end(), want[static_cast<size_t>(i)].begin() + offset);
  };
  auto edit = [&](int i, uint32_t offset, uint8_t value) {
    uint8_t* at = io.EditBlockPart(a[static_cast<size_t>(i)], offset, 16);
    ASSERT_NE(at, nullptr) << "block " << i;
    std::fill(at + offset, at + offset + 16, value);
    std::fill(want[static_cast<size_t>(i)].begin() + offset,
              want[static_cast<size_t>(i)].begin() + offset + 16, value);
  };
  auto check = [&](const char* when) {
    std::vector<uint8_t> got(512);
    for (size_t i = 0; i < a.size(); ++i) {
      io.ReadBlock(a[i], 512, got.data());
      EXPECT_EQ(got, want[i]) << when << ": block " << i;
    }
  };
  EXPECT_EQ(io.EditBlockPart(a[0], 4, 8), nullptr) << "outside a transaction";
  mgr().TavFile().CacheMgr().ClearCache();
  {
    TDiskTransaction transaction(mgr());
    // No page cached: refused, and then written the general way.
    EXPECT_EQ(io.EditBlockPart(a[0], 4, 8), nullptr);
    write(0, 32);
    // Refused, then a neighbour in the same page changes it first.
    EXPECT_EQ(io.EditBlockPart(a[9], 4, 8), nullptr);
    write(10, 64);
    write(9, 100);
    // Refused, then another block is written before this one.
    EXPECT_EQ(io.EditBlockPart(a[17], 4, 8), nullptr);
    write(1, 200);
    write(17, 300);
    // A page changed already takes edits in place.
    edit(0, 400, 7);
    // So does a page read but not changed yet, and then a write beside it.
    std::vector<uint8_t> got(512);
    io.ReadBlock(a[25], 512, got.data());
    edit(26, 40, 8);
    write(27, 48);
    edit(25, 0, 9);
    // A refused edit whose block is never written leaves the next write of
    // another block as it would be.
    EXPECT_EQ(io.EditBlockPart(a[36], 4, 8), nullptr);
    write(2, 16);
    check("in the transaction");
    transaction.Commit();
  }
  check("after the commit");
}

TEST_F(DiskIOInterfaceTest, EmptyFreesThePagesOfThisTableAndUsage) {
  SetUpLocal(512);
  for (int i = 0; i < 20; ++i) Alloc(i);
  TDiskIOInterface other;
  test::SetUpTableInterface(other, mgr(), kUsageBlob, 512);
  const uint32_t kept = other.AllocateNewAddress(512, Pattern(512, 7).data());
  io.Empty(true);
  EXPECT_FALSE(io.FirstEmptyValid());
  host::TList list;
  io.ListBlocks(list);
  EXPECT_EQ(list.Count(), 0);
  std::vector<uint8_t> got(512);
  other.ReadBlock(kept, 512, got.data());
  EXPECT_EQ(got, Pattern(512, 7));
}

// ---- damaged free chains ----

TEST_F(DiskIOInterfaceTest, ADamagedFreeChainIsRefusedAndNothingIsHandedOut) {
  SetUpLocal(512);
  const uint32_t a = Alloc(1);
  const uint32_t run = io.FirstEmpty();
  std::string text;
  auto refused = [&](uint32_t head) {
    io.SetFirstEmpty(head);
    const uint32_t before = io.FirstEmpty();
    EXPECT_EQ(ErrorCodeOf([&] { Alloc(9); }, &text), 8581) << head;
    EXPECT_EQ(io.FirstEmpty(), before);
  };
  refused(0x7FFF0000u);  // past the end of file
  refused(512);          // inside the fixed area
  refused(a);            // a block in use (its first bytes are data)
  uint8_t b[16] = {};
  PutU32(b + 8, 0x7FFF0000u);  // a next link past the end
  PutU32(b + 12, 1);
  io.WriteBlockHeader(run, 16, b);
  refused(run);
  PutU32(b + 8, 0);
  PutU32(b + 12, 1000);  // a run reaching past the end
  io.WriteBlockHeader(run, 16, b);
  refused(run);
  EXPECT_NE(text.find("Free block chain damaged"), std::string::npos) << text;
  std::vector<uint8_t> got(512);
  io.ReadBlock(a, 512, got.data());
  EXPECT_EQ(got, Pattern(512, 1));
}

TEST_F(DiskIOInterfaceTest, ReleasingOutsideTheFileOrTwiceIsRefused) {
  SetUpLocal(512);
  const uint32_t a = Alloc(1);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(0x7FFF0000u, 512); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(100, 512); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(0x7FFF0000u, kPage); }), 8581);
  io.ReleaseBlock(a, 512);
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(a, 512); }), 8581);
  EXPECT_EQ(io.FirstEmpty(), a);
  EXPECT_NE(FreeRun(a).first, a);
}

// ---- global chains and the header lock ----

class GlobalDiskIOInterfaceTest : public DiskIOInterfaceTest {
 protected:
  void SetUp() override {
    io.SetDiskMgr(&mgr());
    io.SetTableID(5);
    io.SetUsage(kUsageTableHeader);
    io.SetBlockSize(256);
    io.SetGlobalFirstEmptyOffset(kHdrTableHeadersFirstEmpty);
    io.Open();
  }
  uint32_t HeadInFile() {
    mgr().SetHeaderReadLock();
    const uint32_t v = mgr().GlobalHdr()->GlobalInterfaceGetHdrItem(kHdrTableHeadersFirstEmpty);
    mgr().ReleaseHeaderLock();
    return v;
  }
};

TEST_F(GlobalDiskIOInterfaceTest, TheHeadLivesInTheGlobalHeader) {
  const uint32_t a = Alloc(1);
  EXPECT_FALSE(mgr().HeaderReadLocked() || mgr().HeaderWriteLocked());
  EXPECT_EQ(HeadInFile(), a + 256);
  // Another interface on the same chain (another table) continues from it.
  TDiskIOInterface other;
  other.SetDiskMgr(&mgr());
  other.SetTableID(6);
  other.SetUsage(kUsageTableHeader);
  other.SetBlockSize(256);
  other.SetGlobalFirstEmptyOffset(kHdrTableHeadersFirstEmpty);
  other.Open();
  EXPECT_EQ(other.AllocateNewAddress(256, Pattern(256, 2).data()), a + 256);
  EXPECT_EQ(HeadInFile(), a + 512);
  io.ReleaseBlock(a, 256);
  EXPECT_EQ(HeadInFile(), a);
  other.GetGlobalFirstEmpty();
  EXPECT_EQ(other.FirstEmpty(), a);
  EXPECT_TRUE(other.FirstEmptyValid());

  // And it survives the database being closed.
  db.Reopen();
  EXPECT_EQ(HeadInFile(), a);
  EXPECT_EQ(Alloc(3), a);
}

TEST_F(GlobalDiskIOInterfaceTest, ALockTheCallerHeldIsStillHeldAfterwards) {
  mgr().SetHeaderWriteLock();
  const uint32_t a = Alloc(1);
  EXPECT_TRUE(mgr().HeaderWriteLocked());
  io.ReleaseBlock(a, 256);
  EXPECT_TRUE(mgr().HeaderWriteLocked());
  // An error on the way leaves it held too.
  mgr().GlobalHdr()->GlobalInterfaceSetHdrItem(0x7FFF0000u, kHdrTableHeadersFirstEmpty);
  EXPECT_EQ(ErrorCodeOf([&] { Alloc(2); }), 8581);
  EXPECT_TRUE(mgr().HeaderWriteLocked());
  mgr().GlobalHdr()->GlobalInterfaceSetHdrItem(a, kHdrTableHeadersFirstEmpty);
  mgr().ReleaseHeaderLock();

  // A read lock held by the caller is kept (now for writing) as well.
  mgr().SetHeaderReadLock();
  EXPECT_EQ(Alloc(3), a);
  EXPECT_TRUE(mgr().HeaderReadLocked());
  mgr().ReleaseHeaderLock();
  EXPECT_EQ(HeadInFile(), a + 256);
}

TEST_F(GlobalDiskIOInterfaceTest, ALockTakenByTheCallIsGoneAfterAnError) {
  Alloc(1);
  mgr().SetHeaderWriteLock();
  mgr().GlobalHdr()->GlobalInterfaceSetHdrItem(0x7FFF0000u, kHdrTableHeadersFirstEmpty);
  mgr().ReleaseHeaderLock();
  EXPECT_EQ(ErrorCodeOf([&] { Alloc(2); }), 8581);
  EXPECT_FALSE(mgr().HeaderReadLocked() || mgr().HeaderWriteLocked());
  EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(6 * kPage + 256, 256); }), 0)
      << "the lock can be taken again";
}

TEST_F(GlobalDiskIOInterfaceTest, SettingTheHeadWantsAValidatedValue) {
  io.SetFirstEmptyValid(false);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { io.SetGlobalFirstEmpty(); }, &text), 8581);
  EXPECT_NE(text.find("Attempt to write non validated first empty to global header"),
            std::string::npos);
}

}  // namespace
}  // namespace tav

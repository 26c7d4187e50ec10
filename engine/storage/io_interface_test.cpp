#include "engine/storage/io_interface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/tav_errors.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

int ErrorCodeOf(const std::function<void()>& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    if (text) *text = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

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
  io.SetUsage(TAV_USAGE_RECORD);
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

TEST(MemoryIOInterface, ChainBoundsAdmitAnyHandleButNoLongerChainThanItHasBlocks) {
  TMemoryIOInterface io;
  for (int i = 0; i < 3; ++i) io.AllocateNewAddress(8, nullptr);
  const TChainBounds b = io.GetChainBounds();
  EXPECT_EQ(b.MaxBlocks, 3u);
  EXPECT_EQ(b.Low, 1u);
  EXPECT_GT(b.High, uint64_t{0xFFFFFFFFu});
}

}  // namespace
}  // namespace tav

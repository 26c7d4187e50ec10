#include "engine/storage/record/blob.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/record/io_interface.h"
#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/base/tav_errors.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

constexpr uint32_t kBlock = 512;
constexpr uint32_t kCap = kBlock - 8;

std::string Value(uint32_t n, int seed) {
  std::string s(n, '\0');
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
  return s;
}

void Fill(host::TMemoryStream& m, const std::string& s) {
  m.Clear();
  m.WriteBuffer(s.data(), static_cast<int32_t>(s.size()));
}

struct TBlock {
  uint32_t Next;
  uint32_t Used;
};

// The chain's blocks, read through the interface.
std::vector<std::pair<uint32_t, TBlock>> Chain(TBaseIOInterface& io, uint32_t address) {
  std::vector<std::pair<uint32_t, TBlock>> v;
  uint8_t head[8];
  while (address != 0 && v.size() < 100000) {
    io.ReadBlockHeader(address, 8, head);
    TBlock b{test::GetU32(head), test::GetU32(head + 4)};
    v.push_back({address, b});
    address = b.Next;
  }
  return v;
}

// Each test runs on a memory interface and on a disk interface of a
// database file, which must behave alike.
class BlobTest : public ::testing::TestWithParam<test::TBackendKind> {
 protected:
  void SetUp() override {
    backend = test::MakeBackend(GetParam(), kUsageBlob, kBlock);
    blobs.SetIOInterface(&backend->IO());
    blobs.SetBlobBlockSize(kBlock);
    blobs.Open();
  }
  void TearDown() override { blobs.Close(); }

  TBaseIOInterface& io() { return backend->IO(); }

  uint32_t Insert(const std::string& s) {
    Fill(stream, s);
    return blobs.InsertBlob(stream);
  }
  std::string Read(uint32_t address, uint32_t size) {
    host::TMemoryStream out;
    const uint32_t n = blobs.ReadBlob(address, size, out);
    EXPECT_EQ(n, size);
    return std::string(reinterpret_cast<const char*>(out.Memory()),
                       static_cast<size_t>(out.Size()));
  }
  uint32_t Edit(uint32_t address, uint32_t oldSize, const std::string& s) {
    Fill(stream, s);
    return blobs.EditBlob(address, oldSize, stream);
  }

  std::unique_ptr<test::TBackend> backend;
  TBlobInterface blobs;
  host::TMemoryStream stream;
};

TEST_P(BlobTest, ValuesAroundTheBlockSizeRoundTrip) {
  for (uint32_t n : {0u, 1u, kCap - 1, kCap, kCap + 1, 1000u, 2 * kCap, 2 * kCap + 1, 5000u}) {
    const std::string v = Value(n, static_cast<int>(n));
    const uint32_t a = Insert(v);
    EXPECT_EQ(a == 0, n == 0) << n;
    EXPECT_EQ(Read(a, n), v) << n;
    EXPECT_EQ(Chain(io(), a).size(), (n + kCap - 1) / kCap) << n;
  }
}

TEST_P(BlobTest, ChainsAreFullBlocksInOrderWithTheRemainderLast) {
  const uint32_t a = Insert(Value(1000, 1));
  auto c = Chain(io(), a);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].second.Used, kCap);
  EXPECT_EQ(c[1].second.Used, 1000 - kCap);
  EXPECT_EQ(c[1].second.Next, 0u);

  const uint32_t b = Insert(Value(2 * kCap, 2));
  c = Chain(io(), b);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].second.Used, kCap);
  EXPECT_EQ(c[1].second.Used, kCap);
}

TEST_P(BlobTest, SeveralMegabytesRoundTrip) {
  const uint32_t n = 3 * 1024 * 1024 + 77;
  const std::string v = Value(n, 5);
  const uint32_t a = Insert(v);
  EXPECT_EQ(Read(a, n), v);
  EXPECT_EQ(Chain(io(), a).size(), (n + kCap - 1) / kCap);
  blobs.DeleteBlob(a, n);
  EXPECT_EQ(backend->LiveBlocks(), 0u);
}

TEST_P(BlobTest, ReadingFromAddressZeroAppendsNothing) {
  host::TMemoryStream out;
  out.WriteBuffer("ab", 2);
  EXPECT_EQ(blobs.ReadBlob(0, 0, out), 0u);
  EXPECT_EQ(out.Size(), 2);
}

TEST_P(BlobTest, ReadingAppendsAtTheStreamPosition) {
  const uint32_t a = Insert("tail");
  host::TMemoryStream out;
  out.WriteBuffer("head-", 5);
  blobs.ReadBlob(a, 4, out);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), 9), "head-tail");
}

TEST_P(BlobTest, ShrinkingKeepsTheFirstBlockAndFreesTheRest) {
  const uint32_t a = Insert(Value(3 * kCap - 10, 1));
  const auto before = Chain(io(), a);
  ASSERT_EQ(before.size(), 3u);
  const std::string v = Value(100, 2);
  EXPECT_EQ(Edit(a, 3 * kCap - 10, v), a);
  const auto after = Chain(io(), a);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].second.Used, 100u);
  EXPECT_EQ(after[0].second.Next, 0u);
  EXPECT_EQ(Read(a, 100), v);
  EXPECT_EQ(backend->LiveBlocks(), 1u);

  // The two freed blocks are the next ones handed out (on disk the very same
  // blocks; in memory the count says nothing was lost).
  const uint32_t b = Insert(Value(2 * kCap, 3));
  EXPECT_EQ(backend->LiveBlocks(), 3u);
  if (GetParam() == test::TBackendKind::Disk) {
    std::set<uint32_t> freed{before[1].first, before[2].first};
    std::set<uint32_t> reused;
    for (auto& [addr, blk] : Chain(io(), b)) reused.insert(addr);
    EXPECT_EQ(reused, freed);
  }
  EXPECT_EQ(Read(a, 100), v);
  EXPECT_EQ(Read(b, 2 * kCap), Value(2 * kCap, 3));
}

TEST_P(BlobTest, GrowingRewritesTheOldBlocksAndLinksANewTail) {
  const uint32_t a = Insert(Value(300, 1));
  const std::string v = Value(1500, 2);
  EXPECT_EQ(Edit(a, 300, v), a);
  const auto c = Chain(io(), a);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].first, a);
  EXPECT_EQ(c[0].second.Used, kCap);
  EXPECT_EQ(c[1].second.Used, kCap);
  EXPECT_EQ(c[2].second.Used, 1500 - 2 * kCap);
  EXPECT_EQ(Read(a, 1500), v);
  EXPECT_EQ(backend->LiveBlocks(), 3u);
}

TEST_P(BlobTest, EditsUpAndDownLoseNothingAndLeakNothing) {
  uint32_t size = 700;
  std::string v = Value(size, 0);
  uint32_t a = Insert(v);
  const uint32_t other = Insert(Value(2000, 99));  // a neighbour that must survive
  int seed = 1;
  for (uint32_t n : {5000u, 10u, kCap, kCap + 1, 40000u, 1u, 3 * kCap, 2 * kCap}) {
    v = Value(n, seed++);
    a = Edit(a, size, v);
    size = n;
    EXPECT_EQ(Read(a, size), v) << n;
    EXPECT_EQ(backend->LiveBlocks(), (n + kCap - 1) / kCap + (2000 + kCap - 1) / kCap) << n;
  }
  EXPECT_EQ(Read(other, 2000), Value(2000, 99));
}

TEST_P(BlobTest, EditingToNothingFreesTheChainAndGivesZero) {
  const uint32_t a = Insert(Value(1200, 1));
  stream.Clear();
  EXPECT_EQ(blobs.EditBlob(a, 1200, stream), 0u);
  EXPECT_EQ(backend->LiveBlocks(), 0u);
}

TEST_P(BlobTest, EditingAnEmptyValueMakesANewChain) {
  const std::string v = Value(900, 4);
  const uint32_t a = Edit(0, 0, v);
  EXPECT_NE(a, 0u);
  EXPECT_EQ(Read(a, 900), v);
}

TEST_P(BlobTest, DeletingFreesEveryBlock) {
  const uint32_t a = Insert(Value(5 * kCap, 1));
  blobs.DeleteBlob(a, 5 * kCap);
  EXPECT_EQ(backend->LiveBlocks(), 0u);
  blobs.DeleteBlob(0, 0);
}

TEST_P(BlobTest, DeletesOneAfterAnotherFreeOnlyTheirOwnChains) {
  const uint32_t longer = Insert(Value(5 * kCap, 1));
  const uint32_t shorter = Insert(Value(kCap / 2, 2));
  const uint32_t kept = Insert(Value(2 * kCap, 3));
  const uint32_t live = backend->LiveBlocks();
  blobs.DeleteBlob(longer, 5 * kCap);
  EXPECT_EQ(backend->LiveBlocks(), live - 5);
  // A refused delete between two others frees nothing, nor does it leave
  // blocks behind for the next delete to free.
  EXPECT_EQ(ErrorCodeOf([&] { blobs.DeleteBlob(kept, 2 * kCap + 1); }), 8581);
  EXPECT_EQ(backend->LiveBlocks(), live - 5);
  blobs.DeleteBlob(shorter, kCap / 2);
  EXPECT_EQ(backend->LiveBlocks(), live - 6);
  EXPECT_EQ(Read(kept, 2 * kCap), Value(2 * kCap, 3));
  // A chain longer than the list a delete keeps between calls, then a short one.
  const uint32_t huge = Insert(Value(1500 * kCap, 4));
  const uint32_t small = Insert(Value(10, 5));
  blobs.DeleteBlob(huge, 1500 * kCap);
  blobs.DeleteBlob(small, 10);
  EXPECT_EQ(backend->LiveBlocks(), live - 6);
  EXPECT_EQ(Read(kept, 2 * kCap), Value(2 * kCap, 3));
}

// ---- damaged chains ----

class BlobDamageTest : public BlobTest {
 protected:
  void SetUp() override {
    BlobTest::SetUp();
    a = Insert(Value(4 * kCap, 1));
    chain = Chain(io(), a);
    ASSERT_EQ(chain.size(), 4u);
    keep = Insert(Value(kCap, 2));
    live = backend->LiveBlocks();
  }
  void Patch(uint32_t address, uint32_t offset, uint32_t value) {
    uint8_t head[8];
    io().ReadBlockHeader(address, 8, head);
    test::PutU32(head + offset, value);
    io().WriteBlockHeader(address, 8, head);
  }
  // Every operation on the chain raises 8581 and frees or rewrites nothing.
  void ExpectRefused(uint32_t size) {
    host::TMemoryStream out;
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.ReadBlob(a, size, out); }, &text), 8581) << text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.DeleteBlob(a, size); }), 8581);
    Fill(stream, Value(100, 3));
    EXPECT_EQ(ErrorCodeOf([&] { blobs.EditBlob(a, size, stream); }), 8581);
    Fill(stream, Value(9000, 3));
    EXPECT_EQ(ErrorCodeOf([&] { blobs.EditBlob(a, size, stream); }), 8581);
    EXPECT_EQ(backend->LiveBlocks(), live);
    EXPECT_EQ(Read(keep, kCap), Value(kCap, 2));
  }

  uint32_t a = 0;
  uint32_t keep = 0;
  uint32_t live = 0;
  std::vector<std::pair<uint32_t, TBlock>> chain;
};

TEST_P(BlobDamageTest, ALoopIsCaught) {
  Patch(chain[3].first, 0, chain[1].first);
  ExpectRefused(4 * kCap);
  ExpectRefused(0xFFFFFFFFu);  // a size that lets the loop run long
}

TEST_P(BlobDamageTest, ALinkToItselfIsCaught) {
  Patch(chain[0].first, 0, chain[0].first);
  ExpectRefused(4 * kCap);
}

TEST_P(BlobDamageTest, ALinkOutOfRangeIsCaught) {
  Patch(chain[1].first, 0, 0x7FFFF000u);
  ExpectRefused(4 * kCap);
  Patch(chain[1].first, 0, 0xFFFFFFF0u);
  ExpectRefused(4 * kCap);
  Patch(chain[1].first, 0, 3);
  ExpectRefused(4 * kCap);
}

TEST_P(BlobDamageTest, AnOversizedUsedCountIsCaught) {
  Patch(chain[2].first, 4, kCap + 1);
  ExpectRefused(4 * kCap);
  Patch(chain[2].first, 4, 0xFFFFFFFFu);
  ExpectRefused(4 * kCap);
}

TEST_P(BlobDamageTest, AChainThatDisagreesWithItsSizeIsCaught) {
  ExpectRefused(4 * kCap - 1);
  ExpectRefused(4 * kCap + 1);
  ExpectRefused(0);
  Patch(chain[1].first, 0, 0);  // cut short
  ExpectRefused(4 * kCap);
}

TEST_P(BlobDamageTest, ASizeWithoutAChainIsCaught) {
  host::TMemoryStream out;
  EXPECT_EQ(ErrorCodeOf([&] { blobs.ReadBlob(0, 10, out); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { blobs.DeleteBlob(0, 10); }), 8581);
}

INSTANTIATE_TEST_SUITE_P(Backends, BlobTest, test::AllBackends(), test::BackendName);
INSTANTIATE_TEST_SUITE_P(Backends, BlobDamageTest, test::AllBackends(), test::BackendName);

// ---- opening, failures on the way ----

TEST(BlobInterface, OpenWantsAnInterfaceAndABlockThatHoldsData) {
  TBlobInterface b;
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to create blob interface - IOInterface is null"), std::string::npos);
  TMemoryIOInterface io;
  b.SetIOInterface(&io);
  EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Unable to create blob interface - Block size is 0"), std::string::npos);
  b.SetBlobBlockSize(8);
  EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }), 8581);
  b.SetBlobBlockSize(9);
  b.Open();
  host::TMemoryStream s;
  s.WriteBuffer("abc", 3);
  const uint32_t a = b.InsertBlob(s);
  EXPECT_EQ(io.BlockCount(), 3);
  host::TMemoryStream out;
  EXPECT_EQ(b.ReadBlob(a, 3, out), 3u);
  b.Close();
  EXPECT_EQ(b.IOInterface(), nullptr);
  EXPECT_EQ(b.BlobBlockSize(), 0u);
}

// A memory interface whose allocations fail after a number of blocks.
class TFailingIO : public TMemoryIOInterface {
 public:
  int AllocationsLeft = 0;
  uint32_t AllocateNewAddress(uint32_t size, const void* data) override {
    if (AllocationsLeft-- <= 0) TavDatabaseError(9600, "TFailingIO");
    return TMemoryIOInterface::AllocateNewAddress(size, data);
  }
};

TEST(BlobInterface, AFailedWriteGivesBackWhatItHadAllocated) {
  TFailingIO io;
  TBlobInterface b;
  b.SetIOInterface(&io);
  b.SetBlobBlockSize(kBlock);
  b.Open();
  host::TMemoryStream s;
  Fill(s, Value(10 * kCap, 1));
  io.AllocationsLeft = 4;
  EXPECT_EQ(ErrorCodeOf([&] { b.InsertBlob(s); }), 9600);
  EXPECT_EQ(io.BlockCount(), 0);

  // A growing edit that fails leaves the old value whole.
  io.AllocationsLeft = 1;
  Fill(s, Value(100, 2));
  const uint32_t a = b.InsertBlob(s);
  io.AllocationsLeft = 2;
  Fill(s, Value(10 * kCap, 3));
  EXPECT_EQ(ErrorCodeOf([&] { b.EditBlob(a, 100, s); }), 9600);
  EXPECT_EQ(io.BlockCount(), 1);
  host::TMemoryStream out;
  b.ReadBlob(a, 100, out);
  EXPECT_EQ(std::memcmp(out.Memory(), Value(100, 2).data(), 100), 0);
}

// ---- the per-record streams ----

TEST(BlobMgr, FindsByFieldAndRecordAndSumsUpTheStates) {
  TBlobMgr m;
  EXPECT_EQ(m.CheckBlobStates(), bsNone);
  TBlob* f1 = m.Add();
  f1->SetFieldNo(1);
  f1->SetRecID(10);
  TBlob* f2 = m.Add();
  f2->SetFieldNo(2);
  f2->SetRecID(20);
  EXPECT_EQ(m.FindBlob(0, 2), f2);
  EXPECT_EQ(m.FindBlob(20, 2), f2);
  EXPECT_EQ(m.FindBlob(10, 2), nullptr);
  EXPECT_EQ(m.FindBlob(0, 3), nullptr);

  f1->SetState(bsValid);
  f2->SetState(bsValid);
  EXPECT_EQ(m.CheckBlobStates(), bsValid);
  f2->SetState(bsModified);
  EXPECT_EQ(m.CheckBlobStates(), bsModified);
  f1->SetState(bsInvalid);
  EXPECT_EQ(m.CheckBlobStates(), bsInvalid);
  m.InvalidateStreams();
  EXPECT_EQ(f2->State(), bsInvalid);
}

// ---- in a database file ----

class BlobFileTest : public ::testing::Test {
 protected:
  void SetUp() override { OpenAll(0); }
  void OpenAll(uint32_t firstEmpty) {
    test::SetUpTableInterface(io, db.Mgr(), kUsageBlob, kBlock, firstEmpty);
    blobs.SetIOInterface(&io);
    blobs.SetBlobBlockSize(kBlock);
    blobs.Open();
  }
  // Closes everything, runs `between` on the closed file, opens again with
  // the free-chain head a table header would have kept.
  void Reopen(const std::function<void()>& between = {}) {
    const uint32_t head = io.FirstEmpty();
    blobs.Close();
    io.Close();
    db.Mgr().Close();
    if (between) between();
    db.Mgr().Open();
    OpenAll(head);
  }
  void PatchFile(uint32_t position, uint32_t value) {
    std::fstream f(db.Path(), std::ios::in | std::ios::out | std::ios::binary);
    uint8_t b[4];
    test::PutU32(b, value);
    f.seekp(position);
    f.write(reinterpret_cast<const char*>(b), 4);
  }
  uint32_t Insert(const std::string& v) {
    Fill(stream, v);
    return blobs.InsertBlob(stream);
  }
  std::string Read(uint32_t a, uint32_t size) {
    host::TMemoryStream out;
    blobs.ReadBlob(a, size, out);
    return std::string(reinterpret_cast<const char*>(out.Memory()),
                       static_cast<size_t>(out.Size()));
  }

  test::TTestDatabase db;
  TDiskIOInterface io;
  TBlobInterface blobs;
  host::TMemoryStream stream;
};

TEST_F(BlobFileTest, ValuesSurviveCloseAndReopen) {
  const std::vector<uint32_t> sizes = {0, kCap, kCap + 1, 4 * 1024 * 1024 + 3, 10};
  std::vector<uint32_t> at;
  for (size_t i = 0; i < sizes.size(); ++i)
    at.push_back(Insert(Value(sizes[i], static_cast<int>(i))));
  Reopen();
  for (size_t i = 0; i < sizes.size(); ++i)
    EXPECT_EQ(Read(at[i], sizes[i]), Value(sizes[i], static_cast<int>(i))) << sizes[i];

  // Edits after the reopen go on from the stored free chain.
  Fill(stream, Value(100, 50));
  EXPECT_EQ(blobs.EditBlob(at[3], sizes[3], stream), at[3]);
  Reopen();
  const uint32_t b = Insert(Value(3 * kCap, 51));
  Reopen();
  EXPECT_EQ(Read(at[3], 100), Value(100, 50));
  EXPECT_EQ(Read(b, 3 * kCap), Value(3 * kCap, 51));
  EXPECT_EQ(Read(at[4], 10), Value(10, 4));
}

TEST_F(BlobFileTest, ADamagedChainInTheFileGives8581) {
  const uint32_t a = Insert(Value(4 * kCap, 1));
  const auto chain = Chain(io, a);
  ASSERT_EQ(chain.size(), 4u);
  auto expect8581 = [&] {
    host::TMemoryStream out;
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.ReadBlob(a, 4 * kCap, out); }, &text), 8581) << text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.DeleteBlob(a, 4 * kCap); }), 8581);
    Fill(stream, Value(10 * kCap, 2));
    EXPECT_EQ(ErrorCodeOf([&] { blobs.EditBlob(a, 4 * kCap, stream); }), 8581);
  };

  Reopen([&] { PatchFile(chain[3].first, chain[0].first); });  // a loop
  expect8581();
  Reopen([&] { PatchFile(chain[3].first, 0); });
  EXPECT_EQ(Read(a, 4 * kCap), Value(4 * kCap, 1)) << "mended again";

  Reopen([&] { PatchFile(chain[1].first, 0x40000000u); });  // past the end of file
  expect8581();
  Reopen([&] { PatchFile(chain[1].first, 4096); });  // into the fixed area
  expect8581();
  Reopen([&] { PatchFile(chain[1].first, chain[2].first); });

  Reopen([&] { PatchFile(chain[2].first + 4, 0x00100000u); });  // used count
  expect8581();
  Reopen([&] { PatchFile(chain[2].first + 4, kCap); });
  EXPECT_EQ(Read(a, 4 * kCap), Value(4 * kCap, 1));
}

TEST_F(BlobFileTest, ALinkIntoAnotherStructureIsRefusedAndNothingIsFreed) {
  const uint32_t a = Insert(Value(4 * kCap, 1));
  const auto chain = Chain(io, a);
  ASSERT_EQ(chain.size(), 4u);
  // A record of the same table and a BLOB block of another table, each a
  // well-formed stand-in for the chain's second block (full, linked on to
  // the third): only their owners tell them apart.
  TDiskIOInterface records, theirs;
  test::SetUpTableInterface(records, db.Mgr(), kUsageRecord, kBlock);
  theirs.SetDiskMgr(&db.Mgr());
  theirs.SetTableID(6);
  theirs.SetUsage(kUsageBlob);
  theirs.SetBlockSize(kBlock);
  theirs.SetAccessFlags(kAccessCached);
  theirs.SetFirstEmptyValid(true);
  theirs.Open();
  std::vector<uint8_t> image(kBlock, 0);
  test::PutU32(image.data() + kBlobBlockUsed, kCap);
  test::PutU32(image.data() + kBlobBlockNext, chain[2].first);
  const uint32_t record = records.AllocateNewAddress(kBlock, image.data());
  const uint32_t foreign = theirs.AllocateNewAddress(kBlock, image.data());
  for (const uint32_t target : {record, foreign}) {
    Reopen([&] { PatchFile(chain[0].first, target); });  // the first block links to it
    const std::string before = os::test::ReadWholeFile(db.Path());
    host::TMemoryStream out;
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.ReadBlob(a, 4 * kCap, out); }, &text), 8581) << text;
    EXPECT_EQ(ErrorCodeOf([&] { blobs.DeleteBlob(a, 4 * kCap); }), 8581);
    EXPECT_EQ(os::test::ReadWholeFile(db.Path()), before) << "nothing was freed";
  }
}

}  // namespace
}  // namespace tav

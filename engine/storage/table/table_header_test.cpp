#include "engine/storage/table/table_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/file/global_hdr.h"
#include "engine/storage/testing/lock_test_support.h"
#include "engine/storage/testing/storage_test_support.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::GetU32;
using test::PutU32;

constexpr uint32_t kPage = test::TTestDatabase::kPageSize;
constexpr uint32_t kUserDir = 3 * kPage;
constexpr uint32_t kSystemDir = kPage;

// ---- helpers ----

// A memory interface that remembers which tables it was told to forget.
class TSpyMemoryIO : public TMemoryIOInterface {
 public:
  void NotifyPageChange(uint32_t owner) override { notified.push_back(owner); }
  void ReadBlock(uint32_t address, uint32_t size, void* dest) override {
    ++reads;
    TMemoryIOInterface::ReadBlock(address, size, dest);
  }
  std::vector<uint32_t> notified;
  int reads = 0;
};

// A directory kept in memory, as memory tables keep theirs.
struct TMemoryHeaders {
  explicit TMemoryHeaders(int32_t baseID = kUserTableBaseID) {
    io.SetBlockSize(4096);
    io.SetUsage(kUsageTableHeader);
    io.Open();
    const std::vector<uint8_t> zero(kTableDirectorySize, 0);
    dir = io.AllocateNewAddress(kTableDirectorySize, zero.data());
    mgr.SetBaseAddress(dir);
    mgr.SetBaseTableID(baseID);
    mgr.Open(&io);
  }
  uint8_t* DirImage() { return io.ReadBlockByRef(dir, kTableDirectorySize); }

  TSpyMemoryIO io;
  TTableHeaderMgr mgr;
  uint32_t dir = 0;
};

void SetUpHeaderInterface(TDiskIOInterface& io, TDiskMgr& mgr, uint32_t firstEmptyOffset) {
  io.SetDiskMgr(&mgr);
  io.SetBlockSize(kTableHeaderBlockSize);
  io.SetGlobalFirstEmptyOffset(static_cast<int32_t>(firstEmptyOffset));
  io.SetTableID(0);
  io.SetUsage(kUsageTableHeader);
  io.SetAccessFlags(0);
  io.SetIOMode(iomDiskFixedSize);
  io.SetFirstEmptyValid(false);
  io.Open();
}

// The two directories of a database file, set up as a connection sets them up.
struct TDiskHeaders {
  void Open(TDiskMgr& mgr) {
    SetUpHeaderInterface(sysIO, mgr, kHdrSystemHeadersFirstEmpty);
    sys.SetBaseAddress(mgr.PageSize());
    sys.SetBaseTableID(kSystemTableBaseID);
    sys.Open(&sysIO);
    SetUpHeaderInterface(userIO, mgr, kHdrTableHeadersFirstEmpty);
    user.SetBaseAddress(3 * mgr.PageSize());
    user.SetBaseTableID(kUserTableBaseID);
    user.Open(&userIO);
  }
  void Close() {
    sys.Close();
    sysIO.Close();
    user.Close();
    userIO.Close();
  }

  TDiskIOInterface sysIO;
  TDiskIOInterface userIO;
  TTableHeaderMgr sys;
  TTableHeaderMgr user;
};

void Patch(const std::string& path, uint32_t offset, uint32_t value) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  uint8_t b[4];
  PutU32(b, value);
  f.seekp(offset);
  f.write(reinterpret_cast<const char*>(b), 4);
}

uint32_t FileU32(const std::string& bytes, uint32_t offset) {
  return offset + 4 <= bytes.size()
             ? GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + offset)
             : 0xFFFFFFFFu;
}

// The user tables' directory as the file holds it: id -> header address.
std::map<int32_t, uint32_t> DirectoryInFile(const std::string& bytes, uint32_t base) {
  std::map<int32_t, uint32_t> m;
  for (uint32_t i = 0; i < 1000; ++i) {
    const int32_t id = static_cast<int32_t>(FileU32(bytes, base + 8 * i));
    if (id == 0) break;
    m[id] = FileU32(bytes, base + 8 * i + 4);
  }
  return m;
}

bool NoHeaderLock(TDiskMgr& mgr) {
  return !mgr.HeaderReadLocked() && !mgr.HeaderWriteLocked();
}

// Whether another connection could take the header write lock right now.
bool OthersCanLockHeader(const std::string& path) {
  TDiskMgr other;
  other.SetFileName(path);
  other.SetPageSize(kPage);
  other.SetLockRetryCount(1);
  other.SetLockRetryInterval(1);
  // Opening reads the global header under a read lock, so a write lock held
  // elsewhere may already stop the open.
  const bool ok = ErrorCodeOf([&] {
                    other.Open();
                    other.SetHeaderWriteLock();
                  }) == 0;
  if (ok) other.ReleaseHeaderLock();
  other.Close();
  return ok;
}

// ---- the header image ----

TEST(TableHeader, ItemsLieWhereTheLayoutSaysAndOnlyChangesMakeItDirty) {
  TTableHeader h;
  h.SetHeaderSize(256);
  EXPECT_EQ(h.HeaderBuf().size(), 256u);
  EXPECT_EQ(h.GetHeaderSize(), 256u);
  EXPECT_FALSE(h.Dirty());

  h.SetTableID(7);
  h.SetModifiedFlag(0x01020304);
  h.SetRecordFirstEmpty(0x11111111);
  h.SetRecordAutoIncVal(0x22222222);
  h.SetLogicalRecordNo(0x33333333);
  h.SetBlobFirstEmpty(0x44444444);
  h.SetGenerator1(0x55555555);
  h.SetGenerator2(0x66666666);
  h.SetIndexCount(34);
  h.SetInternalGenerator(0x77777777);
  h.SetIndexRoot(0, 0xA0A0A0A0);
  h.SetIndexDepth(0, 0xB1B2);
  h.SetIndexRoot(33, 0xC0C0C0C0);
  h.SetIndexDepth(33, 3);
  EXPECT_TRUE(h.Dirty());

  const uint8_t* b = h.HeaderBuf().data();
  EXPECT_EQ(GetU32(b + 0), 7u);
  EXPECT_EQ(b[4], 0x04) << "little-endian";
  EXPECT_EQ(GetU32(b + 8), 256u);
  EXPECT_EQ(GetU32(b + 12), 0x11111111u);
  EXPECT_EQ(GetU32(b + 16), 0x22222222u);
  EXPECT_EQ(GetU32(b + 20), 0x33333333u);
  EXPECT_EQ(GetU32(b + 24), 0x44444444u);
  EXPECT_EQ(GetU32(b + 28), 0x55555555u);
  EXPECT_EQ(GetU32(b + 32), 0x66666666u);
  EXPECT_EQ(GetU32(b + 36), 34u);
  EXPECT_EQ(GetU32(b + 40), 0x77777777u);
  EXPECT_EQ(GetU32(b + 44), 0u) << "reserved";
  EXPECT_EQ(GetU32(b + 48), 0xA0A0A0A0u);
  EXPECT_EQ(b[52], 0xB2);
  EXPECT_EQ(b[53], 0xB1);
  EXPECT_EQ(GetU32(b + 48 + 6 * 33), 0xC0C0C0C0u);
  EXPECT_EQ(h.GetIndexDepth(33), 3);
  EXPECT_EQ(h.GetGenerator2(), 0x66666666u);

  h.SetDirty(false);
  h.SetGenerator1(0x55555555);
  h.SetIndexDepth(0, 0xB1B2);
  h.SetTableID(7);
  EXPECT_FALSE(h.Dirty()) << "the values it already held";
  h.SetIndexDepth(0, 1);
  EXPECT_TRUE(h.Dirty());
}

TEST(TableHeader, IndexSlotsAndItemsOutsideTheImageAreRefused) {
  TTableHeader h;
  h.SetHeaderSize(256);
  h.SetIndexCount(2);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { h.GetIndexRoot(2); }, &text), 8581);
  EXPECT_NE(text.find("Table header: The offset value is out of range"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { h.SetIndexDepth(-1, 1); }), 8581);
  EXPECT_EQ(h.InternalGetIndexOffset(1), 54u);

  // 34 slots fill the image; a 35th has no room.
  EXPECT_EQ(ErrorCodeOf([&] { h.SetIndexCount(35); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { h.SetIndexCount(-1); }), 8581);
  EXPECT_EQ(h.GetIndexCount(), 2);

  // An item must lie whole inside the image, not only start there.
  EXPECT_EQ(ErrorCodeOf([&] { h.InternalGetHdrItemDWord(253); }, &text), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { h.InternalGetHdrItemWord(255); }, &text), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { h.InternalSetHdrItemDWord(256, 1); }, &text), 8581);
  EXPECT_NE(text.find("Table header: The offset value is out of range"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { h.InternalSetHdrItemWord(0xFFFFFFFFu, 1); }, &text), 8581);
  EXPECT_EQ(h.InternalGetHdrItemWord(254), 0);

  TTableHeader none;
  EXPECT_THROW(none.GetTableID(), host::EAssertionFailed);
  EXPECT_EQ(ErrorCodeOf([&] { none.ReadHeader(); }, &text), 8576);
  EXPECT_EQ(ErrorCodeOf([&] { none.WriteHeader(); }, &text), 8576);
}

TEST(TableHeader, OnlyA256ByteImageIsAHeader) {
  TTableHeader h;
  h.SetHeaderSize(256);
  h.SetTableID(9);
  h.SetIndexCount(3);
  h.SetIndexRoot(2, 0x1234);

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { h.SetHeaderSize(512); }, &text), 8581);
  EXPECT_NE(text.find("Debug check -  header size <> 256"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { h.ResetHeaderSize(0, false); }), 8581);
  EXPECT_EQ(h.GetIndexRoot(2), 0x1234u) << "a refused size leaves the image alone";

  h.ResetHeaderSize(256, false);
  EXPECT_EQ(h.GetTableID(), 9);
  EXPECT_EQ(h.GetIndexRoot(2), 0x1234u);
  h.ResetHeaderSize(256, true);
  EXPECT_EQ(h.GetTableID(), 0);
  EXPECT_EQ(h.GetIndexCount(), 0);
  EXPECT_EQ(h.GetHeaderSize(), 256u);

  h.SetTableID(9);
  h.ClearHeader();
  EXPECT_EQ(h.GetTableID(), 0);
  EXPECT_EQ(h.GetHeaderSize(), 0u) << "the stored size goes too";
}

// ---- the manager on a memory directory ----

TEST(TableHeaderMgr, NeedsABaseAddressAndAnInterface) {
  TTableHeaderMgr mgr;
  TMemoryIOInterface io;
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { mgr.Open(&io); }, &text), 8581);
  EXPECT_NE(text.find("Base address of table header mapper has not been set"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.AddTable(1); }), 8576);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.DeleteTable(1); }), 8576);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.OpenTable(1); }), 8576);
  EXPECT_EQ(ErrorCodeOf([&] { mgr.CloseTable(nullptr); }, &text), 8581);
  EXPECT_NE(text.find("The requested object has not been assigned"), std::string::npos);
}

TEST(TableHeaderMgr, TheFirstTablesOfEachDirectoryAndTheirNewHeaders) {
  TMemoryHeaders user;
  TMemoryHeaders sys(kSystemTableBaseID);
  EXPECT_EQ(user.mgr.AddTable(3), 1);
  EXPECT_EQ(user.mgr.AddTable(0), 2);
  EXPECT_EQ(sys.mgr.AddTable(34), 1024);
  EXPECT_EQ(sys.mgr.AddTable(1), 1025);

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { user.mgr.AddTable(35); }, &text), 8581);
  EXPECT_NE(text.find("Debug check -  header size <> 256"), std::string::npos);
  EXPECT_EQ(user.mgr.AddTable(1), 3) << "a refused table takes no id";

  int position = -1;
  ASSERT_TRUE(sys.mgr.FindTableHeaderInMap(1024, position));
  EXPECT_EQ(position, 0);
  const uint8_t* dir = sys.DirImage();
  EXPECT_EQ(GetU32(dir), 1024u);
  EXPECT_EQ(GetU32(dir + 8), 1025u);
  EXPECT_EQ(GetU32(dir + 16), 0u);

  // A new header: its id, size and index count, written once.
  const uint32_t address = GetU32(dir + 4);
  const uint8_t* hdr = sys.io.ReadBlockByRef(address, 256);
  EXPECT_EQ(GetU32(hdr + 0), 1024u);
  EXPECT_EQ(GetU32(hdr + 4), 1u);
  EXPECT_EQ(GetU32(hdr + 8), 256u);
  EXPECT_EQ(GetU32(hdr + 36), 34u);
  EXPECT_EQ(std::count(hdr + 12, hdr + 36, 0), 24);
}

TEST(TableHeaderMgr, OpenHeadersAreSharedAndWrittenWhenTheLastUserCloses) {
  TMemoryHeaders m;
  const int32_t id = m.mgr.AddTable(2);
  TTableHeader* a = m.mgr.OpenTable(id);
  TTableHeader* b = m.mgr.OpenTable(id);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->UserCount(), 2);
  EXPECT_EQ(m.mgr.Count(), 1);
  EXPECT_EQ(m.mgr.FindHdrItemByID(id), a);
  EXPECT_EQ(m.mgr.GetItems(0), a);
  EXPECT_FALSE(a->Dirty());
  EXPECT_EQ(a->GetIndexCount(), 2);

  const uint32_t address = a->BaseAddress();
  const uint8_t* stored = m.io.ReadBlockByRef(address, 256);
  a->SetRecordFirstEmpty(0x5000);
  m.mgr.CloseTable(a);
  EXPECT_EQ(GetU32(stored + 12), 0u) << "a user is left: not written yet";
  EXPECT_EQ(m.mgr.FindHdrItemByID(id), b);
  m.mgr.CloseTable(b);
  EXPECT_EQ(GetU32(stored + 12), 0x5000u);
  EXPECT_EQ(GetU32(stored + 4), 2u) << "the change counter moved";
  EXPECT_EQ(m.mgr.Count(), 0);

  // A clean header is not written back.
  TTableHeader* c = m.mgr.OpenTable(id);
  c->SetRecordFirstEmpty(0x5000);
  m.mgr.CloseTable(c);
  EXPECT_EQ(GetU32(stored + 4), 2u);

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { m.mgr.OpenTable(77); }, &text), 8581);
  EXPECT_NE(text.find("The TableID could not be found: 77"), std::string::npos);
}

TEST(TableHeaderMgr, ClosingTheManagerWritesEveryDirtyHeader) {
  TMemoryHeaders m;
  const int32_t t1 = m.mgr.AddTable(1);
  const int32_t t2 = m.mgr.AddTable(1);
  TTableHeader* h1 = m.mgr.OpenTable(t1);
  m.mgr.OpenTable(t1);
  TTableHeader* h2 = m.mgr.OpenTable(t2);
  h1->SetGenerator1(11);
  h2->SetGenerator2(22);
  const uint32_t a1 = h1->BaseAddress();
  const uint32_t a2 = h2->BaseAddress();
  m.mgr.Close();
  EXPECT_EQ(m.mgr.Count(), 0);
  EXPECT_EQ(GetU32(m.io.ReadBlockByRef(a1, 256) + 28), 11u);
  EXPECT_EQ(GetU32(m.io.ReadBlockByRef(a2, 256) + 32), 22u);
}

TEST(TableHeaderMgr, ReadHeaderDropsTheCachedPagesOnlyWhenSomeoneElseWrote) {
  TMemoryHeaders m;
  const int32_t id = m.mgr.AddTable(1);
  TTableHeader* h = m.mgr.OpenTable(id);
  EXPECT_EQ(m.io.notified, std::vector<uint32_t>{static_cast<uint32_t>(id)})
      << "a first read knows nothing of the cache";
  h->ReadHeader();
  EXPECT_EQ(m.io.notified.size(), 1u) << "nothing changed";

  // Another writer of the same block (another connection's header).
  TTableHeader other(&m.mgr);
  other.SetHeaderSize(256);
  other.SetBaseAddress(h->BaseAddress());
  other.ReadHeader();
  other.SetLogicalRecordNo(42);
  other.WriteHeader();
  h->SetGenerator1(5);
  h->ReadHeader();
  EXPECT_EQ(m.io.notified.size(), 3u);
  EXPECT_EQ(h->GetLogicalRecordNo(), 42u);
  EXPECT_EQ(h->GetGenerator1(), 0u) << "a re-read replaces unwritten changes";
  EXPECT_FALSE(h->Dirty());
  m.mgr.CloseTable(h);
}

// A memory header is read again only once something of its interface may
// have changed: each way the block can change is seen at the next read.
TEST(TableHeaderMgr, AMemoryHeaderIsReadAgainOnlyAfterItsInterfaceChanged) {
  TMemoryHeaders m;
  const int32_t id = m.mgr.AddTable(1);
  TTableHeader* h = m.mgr.OpenTable(id);
  const uint32_t address = h->BaseAddress();
  h->ReadHeader();
  int reads = m.io.reads;
  h->ReadHeader();
  h->ReadHeader();
  EXPECT_EQ(m.io.reads, reads) << "nothing changed";

  // Another image of the block writes it.
  TTableHeader other(&m.mgr);
  other.SetHeaderSize(256);
  other.SetBaseAddress(address);
  other.ReadHeader();
  other.SetLogicalRecordNo(42);
  other.WriteHeader();
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 42u);

  // The block written straight, whole, by its head and in part.
  uint8_t image[256];
  m.io.ReadBlock(address, 256, image);
  PutU32(image + kThLogicalRecordNo, 43);
  m.io.WriteBlock(address, 256, image);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 43u);
  PutU32(image + kThLogicalRecordNo, 44);
  m.io.WriteBlockHeader(address, kThLogicalRecordNo + 4, image);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 44u);
  PutU32(image + kThLogicalRecordNo, 45);
  m.io.WriteBlockPart(address, kThLogicalRecordNo, 4, image + kThLogicalRecordNo);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 45u);

  // A block lent by reference may be written through.
  PutU32(m.io.ReadBlockByRef(address, 256) + kThLogicalRecordNo, 46);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 46u);

  // Another table's header made, or an image declared clean: read again.
  reads = m.io.reads;
  m.mgr.AddTable(1);
  h->ReadHeader();
  EXPECT_GT(m.io.reads, reads);
  reads = m.io.reads;
  h->SetDirty(false);
  h->ReadHeader();
  EXPECT_GT(m.io.reads, reads);

  // Its own write keeps the image current; a dirty image is always read.
  h->SetLogicalRecordNo(50);
  h->WriteHeader();
  reads = m.io.reads;
  h->ReadHeader();
  EXPECT_EQ(m.io.reads, reads);
  EXPECT_EQ(h->GetLogicalRecordNo(), 50u);
  h->SetLogicalRecordNo(51);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 50u) << "a re-read replaces unwritten changes";

  // A second interface starts at a mark of its own.
  TMemoryHeaders n;
  EXPECT_NE(n.io.ChangeMark(), m.io.ChangeMark());
  m.mgr.CloseTable(h);
}

TEST(TableHeaderMgr, DeletingFreesTheHeaderAndKeepsTheDirectoryPacked) {
  TMemoryHeaders m;
  for (int i = 0; i < 3; ++i) m.mgr.AddTable(1);
  const uint8_t* dir = m.DirImage();
  const uint32_t a1 = GetU32(dir + 4);
  const uint32_t a2 = GetU32(dir + 12);
  const uint32_t a3 = GetU32(dir + 20);
  const int blocks = m.io.BlockCount();

  m.mgr.DeleteTable(2);
  dir = m.DirImage();
  EXPECT_EQ(GetU32(dir + 0), 1u);
  EXPECT_EQ(GetU32(dir + 4), a1);
  EXPECT_EQ(GetU32(dir + 8), 3u);
  EXPECT_EQ(GetU32(dir + 12), a3);
  EXPECT_EQ(GetU32(dir + 16), 0u);
  EXPECT_EQ(GetU32(dir + 20), 0u);
  EXPECT_EQ(m.io.BlockCount(), blocks - 1);
  EXPECT_FALSE(m.io.CheckBlockAddressValid(a2));

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { m.mgr.DeleteTable(2); }, &text), 8579);
  EXPECT_NE(text.find("Delete table"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { m.mgr.DeleteTable(0); }), 8579);

  // While this manager has the header open its block must stay.
  TTableHeader* h = m.mgr.OpenTable(3);
  EXPECT_EQ(ErrorCodeOf([&] { m.mgr.DeleteTable(3); }), 8578);
  m.mgr.CloseTable(h);
  m.mgr.DeleteTable(3);
  m.mgr.DeleteTable(1);
  EXPECT_EQ(m.mgr.Directory().Count(), 0);
  EXPECT_EQ(m.mgr.AddTable(1), 1);
}

TEST(TableHeaderMgr, DebugDumpAllHeaders) {
  TMemoryHeaders m;
  m.mgr.AddTable(1);
  m.mgr.AddTable(1);
  TTableHeader* h = m.mgr.OpenTable(2);
  // A stray entry after the end of the list, as a damaged directory has.
  uint8_t* dir = m.DirImage();
  PutU32(dir + 8 * 5, 9);
  PutU32(dir + 8 * 5 + 4, 1234);

  host::TStringList lines;
  m.mgr.DebugDumpAllHeaders(lines);
  ASSERT_EQ(lines.Count(), 10);
  EXPECT_EQ(lines.Strings(0), "Current Headers");
  EXPECT_EQ(lines.Strings(1), "Header Item index=0");
  EXPECT_EQ(lines.Strings(2).rfind("TableID=2 BaseAddr=", 0), 0u);
  EXPECT_EQ(lines.Strings(5), "   Idx=0 Root=0 Depth=0");
  EXPECT_EQ(lines.Strings(6), "All Headers");
  EXPECT_EQ(lines.Strings(7), "Header MapPos=0 TableID=1");
  EXPECT_EQ(lines.Strings(8), "Header MapPos=2 TableID=2");
  EXPECT_EQ(lines.Strings(9), "Eror. Found Table in map above 0 entry: ID = 9 Addr=1234");

  // Everything else refuses such a directory.
  EXPECT_EQ(ErrorCodeOf([&] { m.mgr.AddTable(1); }), 8581);
  m.mgr.CloseTable(h);
}

// ---- the manager on a database file ----

class DiskTableHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { hdrs.Open(db.Mgr()); }
  void Reopen() {
    hdrs.Close();
    db.Reopen();
    hdrs.Open(db.Mgr());
  }
  std::string Bytes() const { return os::test::ReadWholeFile(db.Path()); }
  uint32_t UserChainHead() {
    db.Mgr().SetHeaderReadLock();
    const uint32_t v = db.Mgr().GlobalHdr()->TableHeadersFirstEmpty();
    db.Mgr().ReleaseHeaderLock();
    return v;
  }

  test::TTestDatabase db;
  TDiskHeaders hdrs;
};

TEST_F(DiskTableHeaderTest, TablesAreAddedFoundAndDeletedAcrossReopen) {
  EXPECT_EQ(hdrs.user.AddTable(2), 1);
  EXPECT_EQ(hdrs.user.AddTable(0), 2);
  EXPECT_EQ(hdrs.user.AddTable(34), 3);
  EXPECT_EQ(hdrs.sys.AddTable(1), 1024);
  {
    TTableHeader* h = hdrs.user.OpenTable(3);
    h->SetIndexRoot(33, 0x9000);
    h->SetIndexDepth(33, 4);
    h->SetRecordAutoIncVal(17);
    hdrs.user.CloseTable(h);
  }
  EXPECT_TRUE(NoHeaderLock(db.Mgr()));

  // The file: both directories where they belong, headers in blocks of
  // their own.
  std::string bytes = Bytes();
  auto users = DirectoryInFile(bytes, kUserDir);
  auto system = DirectoryInFile(bytes, kSystemDir);
  ASSERT_EQ(users.size(), 3u);
  ASSERT_EQ(system.size(), 1u);
  EXPECT_EQ(system.begin()->first, 1024);
  std::set<uint32_t> blocks;
  for (const auto& [id, address] : users) {
    EXPECT_EQ(address % 256, 0u);
    EXPECT_GE(address, 6 * kPage);
    EXPECT_EQ(FileU32(bytes, address), static_cast<uint32_t>(id));
    EXPECT_EQ(FileU32(bytes, address + 8), 256u);
    blocks.insert(address);
  }
  blocks.insert(system.begin()->second);
  EXPECT_EQ(blocks.size(), 4u);

  Reopen();
  int position = -1;
  EXPECT_TRUE(hdrs.user.FindTableHeaderInMap(2, position));
  EXPECT_EQ(position, 1);
  EXPECT_TRUE(hdrs.sys.FindTableHeaderInMap(1024, position));
  EXPECT_FALSE(hdrs.user.FindTableHeaderInMap(1024, position)) << "each directory its own";
  TTableHeader* h = hdrs.user.OpenTable(3);
  EXPECT_EQ(h->GetIndexCount(), 34);
  EXPECT_EQ(h->GetIndexRoot(33), 0x9000u);
  EXPECT_EQ(h->GetIndexDepth(33), 4);
  EXPECT_EQ(h->GetRecordAutoIncVal(), 17u);
  EXPECT_EQ(h->GetModifiedFlag(), 2u);
  hdrs.user.CloseTable(h);

  hdrs.user.DeleteTable(2);
  Reopen();
  bytes = Bytes();
  users = DirectoryInFile(bytes, kUserDir);
  EXPECT_EQ(users.size(), 2u);
  EXPECT_EQ(FileU32(bytes, kUserDir + 0), 1u);
  EXPECT_EQ(FileU32(bytes, kUserDir + 8), 3u);
  EXPECT_EQ(FileU32(bytes, kUserDir + 16), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.OpenTable(2); }), 8581);
  EXPECT_EQ(hdrs.user.OpenTable(1)->GetIndexCount(), 2);
  EXPECT_EQ(hdrs.sys.OpenTable(1024)->GetIndexCount(), 1);
  EXPECT_EQ(test::ReadMapImage(db.Path(), kPage).error, "");
}

TEST_F(DiskTableHeaderTest, IdsAndHeaderBlocksAreReusedLowestFirst) {
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(hdrs.user.AddTable(1), i);
  const auto before = DirectoryInFile(Bytes(), kUserDir);
  hdrs.user.DeleteTable(4);
  hdrs.user.DeleteTable(2);
  EXPECT_EQ(UserChainHead(), before.at(2)) << "the freed block heads the chain";
  Reopen();
  EXPECT_EQ(hdrs.user.AddTable(1), 2);
  EXPECT_EQ(hdrs.user.AddTable(1), 4);
  EXPECT_EQ(hdrs.user.AddTable(1), 6);
  const auto after = DirectoryInFile(Bytes(), kUserDir);
  EXPECT_EQ(after.at(2), before.at(2));
  EXPECT_EQ(after.at(4), before.at(4));
  // Packed in the order of their making: 1, 3, 5, then the new ones.
  const std::string bytes = Bytes();
  const uint32_t order[] = {1, 3, 5, 2, 4, 6};
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(FileU32(bytes, kUserDir + 8 * i), order[i]);
}

TEST_F(DiskTableHeaderTest, The1001stTableIsRefused) {
  for (int i = 0; i < kTableDirectoryEntries; ++i) ASSERT_EQ(hdrs.user.AddTable(0), i + 1);
  const std::string before = Bytes();
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.AddTable(0); }, &text), 9601);
  EXPECT_NE(text.find("The database table limit has been reached"), std::string::npos);
  EXPECT_EQ(Bytes(), before) << "nothing allocated or written";
  EXPECT_TRUE(NoHeaderLock(db.Mgr()));
  EXPECT_TRUE(OthersCanLockHeader(db.Path()));

  // The system tables' directory has its own thousand.
  EXPECT_EQ(hdrs.sys.AddTable(0), 1024);
  hdrs.user.DeleteTable(1000);
  EXPECT_EQ(hdrs.user.AddTable(0), 1000);
  Reopen();
  EXPECT_EQ(hdrs.user.OpenTable(1000)->GetTableID(), 1000);
  EXPECT_EQ(test::ReadMapImage(db.Path(), kPage).error, "");
}

TEST_F(DiskTableHeaderTest, ADamagedDirectoryIsRefusedAndLeftAsItIs) {
  hdrs.user.AddTable(1);
  hdrs.user.AddTable(1);
  const std::string good = Bytes();
  const uint32_t a2 = FileU32(good, kUserDir + 12);

  struct Damage {
    const char* what;
    uint32_t offset;
    uint32_t value;
  } damages[] = {
      {"id out of range", kUserDir + 8, 5000},
      {"header address in the fixed area", kUserDir + 12, 0},
      {"header address past the end of file", kUserDir + 12, 0x7FFFFF00u},
      {"header address off a block boundary", kUserDir + 12, a2 + 12},
      {"two tables on one block", kUserDir + 12, FileU32(good, kUserDir + 4)},
      {"table after the end of the list", kUserDir + 8 * 40, 3},
  };
  for (const Damage& d : damages) {
    Patch(db.Path(), d.offset, d.value);
    const std::string damaged = Bytes();
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.OpenTable(1); }, &text), 8581) << d.what;
    EXPECT_NE(text.find("Table directory damaged"), std::string::npos) << d.what;
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.AddTable(1); }), 8581) << d.what;
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.DeleteTable(1); }), 8581) << d.what;
    EXPECT_EQ(Bytes(), damaged) << d.what << ": nothing written";
    EXPECT_TRUE(NoHeaderLock(db.Mgr())) << d.what;
    hdrs.user.Close();
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.Open(&hdrs.userIO); }), 8581) << d.what;
    os::test::WriteWholeFile(db.Path(), good);
    hdrs.user.Open(&hdrs.userIO);
  }
  EXPECT_EQ(hdrs.user.AddTable(1), 3);
}

TEST_F(DiskTableHeaderTest, AHeaderOfAnotherSizeOrTableIsNotTrusted) {
  hdrs.user.AddTable(1);
  hdrs.user.AddTable(1);
  const std::string good = Bytes();
  const uint32_t a1 = FileU32(good, kUserDir + 4);
  const uint32_t head = UserChainHead();

  struct Damage {
    const char* what;
    uint32_t offset;
    uint32_t value;
  } damages[] = {
      {"size 512", a1 + 8, 512},
      {"size 0", a1 + 8, 0},
      {"size past 4 GB", a1 + 8, 0xFFFFFFFFu},
      {"another table's id", a1 + 0, 2},
  };
  for (const Damage& d : damages) {
    Patch(db.Path(), d.offset, d.value);
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.OpenTable(1); }, &text), 8581) << d.what;
    EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.DeleteTable(1); }, &text), 8581) << d.what;
    EXPECT_EQ(hdrs.user.ReadHeaderSize(a1), d.offset == a1 + 8 ? d.value : 256u);
    EXPECT_EQ(hdrs.user.Count(), 0) << d.what;
    EXPECT_EQ(UserChainHead(), head) << d.what << ": no block freed";
    EXPECT_TRUE(NoHeaderLock(db.Mgr())) << d.what;
    os::test::WriteWholeFile(db.Path(), good);
  }

  // An index count the image cannot hold, found on a re-read.
  TTableHeader* h = hdrs.user.OpenTable(1);
  Patch(db.Path(), a1 + 36, 200);
  EXPECT_EQ(ErrorCodeOf([&] { h->ReadHeader(); }), 8581);
  EXPECT_EQ(h->GetIndexCount(), 1) << "the image is kept";
  Patch(db.Path(), a1 + 36, 1);
  hdrs.user.CloseTable(h);
  hdrs.user.DeleteTable(1);
}

TEST_F(DiskTableHeaderTest, AnotherConnectionsWritesAreSeenByTheNextRead) {
  const int32_t id = hdrs.user.AddTable(1);
  TTableHeader* mine = hdrs.user.OpenTable(id);

  TDiskMgr other;
  other.SetFileName(db.Path());
  other.SetPageSize(kPage);
  other.Open();
  TDiskHeaders theirs;
  theirs.Open(other);
  EXPECT_EQ(theirs.user.AddTable(1), 2) << "their directory read sees my table";
  TTableHeader* h = theirs.user.OpenTable(id);
  h->SetLogicalRecordNo(99);
  theirs.user.CloseTable(h);
  theirs.Close();
  other.Close();

  EXPECT_EQ(mine->GetLogicalRecordNo(), 0u);
  mine->ReadHeader();
  EXPECT_EQ(mine->GetLogicalRecordNo(), 99u);
  hdrs.user.CloseTable(mine);
  EXPECT_EQ(hdrs.user.AddTable(1), 3);
}

TEST_F(DiskTableHeaderTest, HeaderLocksAreTakenForTheCallOnlyAndReleasedOnErrors) {
  // The caller's lock is kept, also when the call fails.
  db.Mgr().SetHeaderWriteLock();
  const int32_t id = hdrs.user.AddTable(1);
  EXPECT_TRUE(db.Mgr().HeaderWriteLocked());
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.AddTable(40); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.DeleteTable(55); }), 8579);
  EXPECT_TRUE(db.Mgr().HeaderWriteLocked());
  EXPECT_FALSE(OthersCanLockHeader(db.Path()));
  db.Mgr().ReleaseHeaderLock();

  // A read lock the caller holds becomes a write lock for a change.
  db.Mgr().SetHeaderReadLock();
  TTableHeader* h = hdrs.user.OpenTable(id);
  EXPECT_FALSE(db.Mgr().HeaderWriteLocked());
  hdrs.user.CloseTable(h);
  hdrs.user.DeleteTable(id);
  EXPECT_TRUE(db.Mgr().HeaderWriteLocked());
  db.Mgr().ReleaseHeaderLock();

  // Locks taken by a failing call are gone.
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.DeleteTable(55); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.OpenTable(55); }), 8581);
  EXPECT_TRUE(NoHeaderLock(db.Mgr()));
  EXPECT_TRUE(OthersCanLockHeader(db.Path()));

  // Another connection holding the lock keeps the call out, and the call
  // leaves nothing behind when it gives up.
  TDiskMgr other;
  other.SetFileName(db.Path());
  other.SetPageSize(kPage);
  other.Open();
  other.SetHeaderWriteLock();
  db.Mgr().SetLockRetryCount(1);
  db.Mgr().SetLockRetryInterval(1);
  EXPECT_NE(ErrorCodeOf([&] { hdrs.user.AddTable(1); }), 0);
  EXPECT_TRUE(NoHeaderLock(db.Mgr()));
  other.ReleaseHeaderLock();
  other.Close();
  EXPECT_EQ(hdrs.user.AddTable(1), 1);
  EXPECT_EQ(DirectoryInFile(Bytes(), kUserDir).size(), 1u);
}

TEST_F(DiskTableHeaderTest, InsideATransactionTablesComeAndGoWithIt) {
  hdrs.user.AddTable(1);
  const std::string before = Bytes();
  db.Mgr().DiskStartTransaction();
  EXPECT_EQ(hdrs.user.AddTable(2), 2);
  TTableHeader* h = hdrs.user.OpenTable(2);
  EXPECT_EQ(h->GetIndexCount(), 2) << "the transaction sees its own table";
  hdrs.user.CloseTable(h);
  EXPECT_EQ(Bytes(), before) << "nothing reaches the file before the commit";
  db.Mgr().DiskRollback();
  EXPECT_EQ(ErrorCodeOf([&] { hdrs.user.OpenTable(2); }), 8581);
  EXPECT_EQ(hdrs.user.AddTable(2), 2);

  db.Mgr().DiskStartTransaction();
  hdrs.user.DeleteTable(1);
  EXPECT_EQ(hdrs.user.AddTable(0), 1);
  db.Mgr().DiskCommit();
  EXPECT_TRUE(NoHeaderLock(db.Mgr()));
  Reopen();
  EXPECT_EQ(hdrs.user.OpenTable(1)->GetIndexCount(), 0);
  EXPECT_EQ(hdrs.user.OpenTable(2)->GetIndexCount(), 2);
  EXPECT_EQ(test::ReadMapImage(db.Path(), kPage).error, "");
}

TEST_F(DiskTableHeaderTest, AnExclusiveConnectionReadsAHeaderAgainOnlyWhenItMayHaveChanged) {
  const int32_t id = hdrs.user.AddTable(1);
  hdrs.Close();
  db.Mgr().Close();
  db.Mgr().SetOpenFlags(fmOpenReadWrite | fmShareExclusive);
  db.Mgr().Open();
  hdrs.Open(db.Mgr());
  TTableHeader* h = hdrs.user.OpenTable(id);
  ASSERT_EQ(h->GetLogicalRecordNo(), 0u);

  // The block changed behind the image's back (nothing in the engine does
  // this: it shows that the read is skipped while nobody else can write).
  auto patchBlock = [&](uint32_t logicalNo) {
    std::vector<uint8_t> block = h->HeaderBuf();
    PutU32(block.data() + kThLogicalRecordNo, logicalNo);
    hdrs.userIO.WriteBlock(h->BaseAddress(), kTableHeaderSize, block.data());
  };
  patchBlock(77);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 0u) << "the image was known to be current";

  // A rollback may have taken back what the image holds: read again.
  db.Mgr().DiskStartTransaction();
  h->SetLogicalRecordNo(5);
  h->WriteHeader();
  db.Mgr().DiskRollback();
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 77u);

  // A second image of the block (another manager on the same connection)
  // reads again after the first one writes.
  TDiskHeaders second;
  second.Open(db.Mgr());
  TTableHeader* other = second.user.OpenTable(id);
  EXPECT_EQ(other->GetLogicalRecordNo(), 77u);
  h->SetLogicalRecordNo(8);
  h->WriteHeader();
  other->ReadHeader();
  EXPECT_EQ(other->GetLogicalRecordNo(), 8u);
  second.user.CloseTable(other);
  second.Close();

  // A header marked clean by hand is read again too.
  patchBlock(9);
  h->SetDirty(false);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 9u);
  hdrs.user.CloseTable(h);
}

TEST_F(DiskTableHeaderTest, ASharedConnectionSkipsTheReadOnlyWhileItHoldsTheTable) {
  const int32_t id = hdrs.user.AddTable(1);
  const auto table = static_cast<uint32_t>(id);
  TTableHeader* h = hdrs.user.OpenTable(id);
  // The block changes behind the image's back (nothing in the engine does
  // this: it shows when the read is skipped).
  auto patchBlock = [&](uint32_t logicalNo) {
    std::vector<uint8_t> block = h->HeaderBuf();
    PutU32(block.data() + kThLogicalRecordNo, logicalNo);
    hdrs.userIO.WriteBlock(h->BaseAddress(), kTableHeaderSize, block.data());
  };

  // Outside a transaction and without the table lock every read goes to
  // the block.
  patchBlock(1);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 1u);
  patchBlock(2);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 2u);
  // Taking the table lock reads again; while it is held the image stays.
  db.Mgr().SetTableLock(table, kLockTypeRead);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 2u);
  patchBlock(20);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 2u) << "the table lock was held: the image was current";
  db.Mgr().ReleaseTableLock(table);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 20u) << "the lock was given back";
  patchBlock(21);
  db.Mgr().SetTableLock(table, kLockTypeRead);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 21u) << "taken afresh: read again";
  patchBlock(2);
  db.Mgr().ReleaseTableLock(table);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 2u);
  db.Mgr().SetTableLock(table, kLockTypeRead);

  // The table lock was held before the transaction, its transaction lock
  // was not: the image from before is read again once both are held.
  patchBlock(3);
  db.Mgr().DiskStartTransaction();
  db.Mgr().SetTableLock(table, kLockTypeWrite);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 3u);
  patchBlock(4);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 3u) << "both locks held: the image was known to be current";
  // Another table's locks do not stand for this one's.
  const int32_t otherId = hdrs.user.AddTable(1);
  TTableHeader* other = hdrs.user.OpenTable(otherId);
  db.Mgr().DiskCommit();

  // After the commit the locks are gone: read again.
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 4u);

  db.Mgr().DiskStartTransaction();
  db.Mgr().SetTableLock(table, kLockTypeWrite);
  h->ReadHeader();
  std::vector<uint8_t> block = other->HeaderBuf();
  PutU32(block.data() + kThLogicalRecordNo, 7);
  hdrs.userIO.WriteBlock(other->BaseAddress(), kTableHeaderSize, block.data());
  other->ReadHeader();
  EXPECT_EQ(other->GetLogicalRecordNo(), 7u) << "its table is not locked";
  db.Mgr().DiskCommit();

  // Another connection's commit between two transactions is seen by the next.
  {
    TDiskMgr second;
    second.SetFileName(db.Path());
    second.SetPageSize(kPage);
    second.Open();
    TDiskHeaders theirs;
    theirs.Open(second);
    second.DiskStartTransaction();
    second.SetTableLock(table, kLockTypeWrite);
    TTableHeader* t = theirs.user.OpenTable(id);
    t->ReadHeader();
    t->SetLogicalRecordNo(99);
    t->WriteHeader();
    second.DiskCommit();
    theirs.user.CloseTable(t);
    theirs.Close();
    second.Close();
  }
  db.Mgr().DiskStartTransaction();
  db.Mgr().SetTableLock(table, kLockTypeWrite);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 99u);
  db.Mgr().DiskCommit();
  hdrs.user.CloseTable(other);
  hdrs.user.CloseTable(h);
}

TEST_F(DiskTableHeaderTest, AHeldTableLockKeepsOtherWritersOutUntilItIsGivenBack) {
  const int32_t id = hdrs.user.AddTable(1);
  const auto table = static_cast<uint32_t>(id);
  TTableHeader* h = hdrs.user.OpenTable(id);
  db.Mgr().SetTableLock(table, kLockTypeRead);
  h->ReadHeader();

  TDiskMgr second;
  second.SetFileName(db.Path());
  second.SetPageSize(kPage);
  second.Open();
  second.SetLockRetryCount(1);
  second.SetLockRetryInterval(1);
  TDiskHeaders theirs;
  theirs.Open(second);
  TTableHeader* t = theirs.user.OpenTable(id);
  // Neither a change without a transaction nor a commit gets past the lock.
  EXPECT_NE(ErrorCodeOf([&] { second.SetTableLock(table, kLockTypeWrite); }), 0);
  second.DiskStartTransaction();
  second.SetTableLock(table, kLockTypeWrite);
  t->ReadHeader();
  t->SetLogicalRecordNo(41);
  t->WriteHeader();
  EXPECT_NE(ErrorCodeOf([&] { second.DiskCommit(); }), 0);
  if (second.IsTransactionActive()) second.DiskRollback();
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 0u);

  db.Mgr().ReleaseTableLock(table);
  second.DiskStartTransaction();
  second.SetTableLock(table, kLockTypeWrite);
  t->ReadHeader();
  t->SetLogicalRecordNo(42);
  t->WriteHeader();
  second.DiskCommit();
  db.Mgr().SetTableLock(table, kLockTypeRead);
  h->ReadHeader();
  EXPECT_EQ(h->GetLogicalRecordNo(), 42u) << "the lock taken afresh reads the other's commit";
  db.Mgr().ReleaseTableLock(table);
  theirs.user.CloseTable(t);
  theirs.Close();
  second.Close();
  hdrs.user.CloseTable(h);
}

TEST(DiskTableHeaderPlacement, ADirectoryMustFitTheFixedArea) {
  for (uint32_t pageSize : {1024u, 2048u}) {
    os::test::TTempDir dir;
    TDiskMgr mgr;
    mgr.SetFileName(dir / "small.tav");
    mgr.SetPageSize(pageSize);
    mgr.CreateNewFile(true);
    mgr.Open();
    const std::string before = os::test::ReadWholeFile(dir / "small.tav");
    TDiskIOInterface io;
    SetUpHeaderInterface(io, mgr, kHdrTableHeadersFirstEmpty);
    TTableHeaderMgr user;
    user.SetBaseAddress(3 * pageSize);
    std::string text;
    // It would run into the first map page.
    EXPECT_EQ(ErrorCodeOf([&] { user.Open(&io); }, &text), 8581) << pageSize;
    EXPECT_NE(text.find("fixed area"), std::string::npos);
    TTableHeaderMgr sys;
    sys.SetBaseAddress(pageSize);
    sys.SetBaseTableID(kSystemTableBaseID);
    if (pageSize == 1024) {
      // It would overwrite the global header.
      EXPECT_EQ(ErrorCodeOf([&] { sys.Open(&io); }), 8581);
    } else {
      sys.Open(&io);
      EXPECT_EQ(sys.AddTable(1), 1024);
    }
    mgr.Close();
    if (pageSize == 1024) {
      EXPECT_EQ(os::test::ReadWholeFile(dir / "small.tav"), before);
    }
  }
}

// ---- two processes ----

// Each side adds tables and deletes some of its own, reporting every id it
// was given (and every id it deleted, with bit 32 set), then a terminator.
constexpr uint64_t kDeleted = uint64_t{1} << 32;
constexpr uint64_t kDone = ~uint64_t{0};
constexpr uint64_t kReady = ~uint64_t{0} - 1;
constexpr int kTablesPerSide = 200;

// Opens the database, says it is ready and waits for the start, so that
// both sides add at the same time.
template <class TReady, class TReport>
void AddTablesAgainstTheOther(const std::string& path, TReady ready, TReport report) {
  TDiskMgr mgr;
  mgr.SetFileName(path);
  mgr.SetPageSize(kPage);
  mgr.SetLockRetryCount(100000);
  mgr.SetLockRetryInterval(1);
  mgr.Open();
  TDiskHeaders hdrs;
  hdrs.Open(mgr);
  if (!ready()) return;
  for (int i = 0; i < kTablesPerSide; ++i) {
    const int32_t id = hdrs.user.AddTable(i % 4);
    report(static_cast<uint64_t>(id));
    if (i % 7 == 3) {
      hdrs.user.DeleteTable(id);
      report(static_cast<uint64_t>(id) | kDeleted);
    }
  }
  hdrs.Close();
  mgr.Close();
}

TEST(DiskTableHeaderProcesses, TwoProcessesAddingTablesNeitherLoseNorDuplicate) {
  os::test::TTempDir dir;
  const std::string path = dir / "shared.tav";
  {
    TDiskMgr mgr;
    mgr.SetFileName(path);
    mgr.SetPageSize(kPage);
    mgr.CreateNewFile(true);
  }

  test::TChild child([&](test::TChildSide& side) {
    bool started = false;
    AddTablesAgainstTheOther(
        path,
        [&] {
          side.Send(kReady);
          return started = side.WaitGo();
        },
        [&](uint64_t v) { side.Send(v); });
    side.Send(kDone);
    return started ? 0 : 2;
  });
  ASSERT_TRUE(child.Started());

  std::vector<uint64_t> events;
  uint64_t v = 0;
  AddTablesAgainstTheOther(
      path,
      [&] {
        if (!child.Receive(v) || v != kReady) return false;
        child.Go();
        return true;
      },
      [&](uint64_t e) { events.push_back(e); });
  ASSERT_EQ(v, kReady);
  while (child.Receive(v) && v != kDone) events.push_back(v);
  ASSERT_EQ(v, kDone);
  ASSERT_EQ(child.Wait(), 0);

  // Each id is live at most once at any time: adds and deletes alternate.
  std::map<int32_t, int> live;
  for (uint64_t e : events) live[static_cast<int32_t>(e & 0xFFFFFFFFu)] += (e & kDeleted) ? -1 : 1;
  std::set<int32_t> expected;
  for (const auto& [id, n] : live) {
    EXPECT_TRUE(n == 0 || n == 1) << "table " << id << " handed out " << n << " times at once";
    if (n == 1) expected.insert(id);
  }

  const std::string bytes = os::test::ReadWholeFile(path);
  const auto listed = DirectoryInFile(bytes, kUserDir);
  std::set<int32_t> ids;
  std::set<uint32_t> blocks;
  for (const auto& [id, address] : listed) {
    ids.insert(id);
    blocks.insert(address);
    EXPECT_EQ(FileU32(bytes, address), static_cast<uint32_t>(id));
    EXPECT_EQ(FileU32(bytes, address + 8), 256u);
  }
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(blocks.size(), listed.size()) << "no block shared";
  // Ids stay dense: deletes only open gaps that later adds fill.
  EXPECT_LE(*ids.rbegin(), 2 * kTablesPerSide);
  EXPECT_EQ(test::ReadMapImage(path, kPage).error, "");

  // And a connection opened afterwards finds every table.
  TDiskMgr mgr;
  mgr.SetFileName(path);
  mgr.SetPageSize(kPage);
  mgr.Open();
  TDiskHeaders hdrs;
  hdrs.Open(mgr);
  for (int32_t id : ids) {
    TTableHeader* h = hdrs.user.OpenTable(id);
    EXPECT_EQ(h->GetTableID(), id);
    hdrs.user.CloseTable(h);
  }
  hdrs.Close();
  mgr.Close();
}

TEST(DiskTableHeaderProcesses, OpeningTablesWhileAnotherProcessRepacksTheDirectory) {
  os::test::TTempDir dir;
  const std::string path = dir / "shared.tav";
  const std::string done = dir / "writer.done";
  auto open = [&](TDiskMgr& mgr) {
    mgr.SetFileName(path);
    mgr.SetPageSize(kPage);
    mgr.SetLockRetryCount(100000);
    mgr.SetLockRetryInterval(1);
    mgr.Open();
  };
  {
    TDiskMgr mgr;
    mgr.SetFileName(path);
    mgr.SetPageSize(kPage);
    mgr.CreateNewFile(true);
    open(mgr);
    TDiskHeaders hdrs;
    hdrs.Open(mgr);
    for (int i = 0; i < 600; ++i) hdrs.user.AddTable(1);
    hdrs.Close();
    mgr.Close();
  }

  // Tables 1 to 10 stay; the reader opens them while the writer deletes and
  // re-adds the others, each delete moving the hundreds of entries after it
  // one place up, across many blocks of the directory.
  test::TChild reader([&](test::TChildSide& side) {
    TDiskMgr mgr;
    open(mgr);
    TDiskHeaders hdrs;
    hdrs.Open(mgr);
    side.Send(kReady);
    if (!side.WaitGo()) return 2;
    // Until the writer is done (it leaves a file behind), and at least a
    // few rounds.
    for (int i = 0; i < 20 || !std::filesystem::exists(done); ++i) {
      TTableHeader* h = hdrs.user.OpenTable(1 + i % 10);
      hdrs.user.CloseTable(h);
    }
    hdrs.Close();
    mgr.Close();
    return 0;
  });
  ASSERT_TRUE(reader.Started());
  TDiskMgr mgr;
  open(mgr);
  TDiskHeaders hdrs;
  hdrs.Open(mgr);
  uint64_t v = 0;
  ASSERT_TRUE(reader.Receive(v));
  reader.Go();
  for (int i = 0; i < 400; ++i) {
    const int32_t id = 11 + i;
    hdrs.user.DeleteTable(id);
    EXPECT_EQ(hdrs.user.AddTable(1), id);
  }
  os::test::WriteWholeFile(done, "");
  EXPECT_EQ(reader.Wait(), 0) << "the reader saw a half-written directory";
  hdrs.Close();
  mgr.Close();
}

}  // namespace
TEST(TableHeaderSizeTest, OneBlockForUpTo34Indexes) {
  EXPECT_EQ(CalcTableHeaderSize(0), 256);
  EXPECT_EQ(CalcTableHeaderSize(34), 256);
  try {
    CalcTableHeaderSize(35);
    ADD_FAILURE() << "35 indexes accepted";
  } catch (const ETavDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), 8581);
    EXPECT_NE(e.Message().find("Debug check -  header size <> 256"), std::string::npos);
  }
  EXPECT_THROW(CalcTableHeaderSize(-1), ETavDatabaseError);
  EXPECT_THROW(CalcTableHeaderSize(1 << 30), ETavDatabaseError);
}

}  // namespace tav

#include "engine/storage/table/table_def.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/storage/index/index_node.h"
#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/table_test_support.h"
#include "engine/storage/file/tav_file.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// A header in a memory directory, for definitions opened as masters.
struct TMemoryHeader {
  explicit TMemoryHeader(int32_t indexCount) {
    io.SetBlockSize(4096);
    io.SetUsage(kUsageTableHeader);
    io.Open();
    const std::vector<uint8_t> zero(kTableDirectorySize, 0);
    mgr.SetBaseAddress(io.AllocateNewAddress(kTableDirectorySize, zero.data()));
    mgr.Open(&io);
    header = mgr.OpenTable(mgr.AddTable(indexCount));
  }
  TMemoryIOInterface io;
  TTableHeaderMgr mgr;
  TTableHeader* header = nullptr;
};

void BuildSample(TTableDef& def, bool memory) {
  test::BuildTableDef(def, "Sample", memory,
                      {{"ID", host::ftInteger}, {"NAME", host::ftString, 10}, {"PIC", host::ftBlob}},
                      {{"ById", "ID", true}, {"ByName", "NAME"}});
}

TEST(TableDef, PropertiesStartCleanAndClearResetsThem) {
  TTableDef def(nullptr);
  EXPECT_EQ(def.DefaultBlobSize(), 512);
  EXPECT_EQ(def.RecordSize(), 0);
  EXPECT_EQ(def.EncryptionLevel(), encNone);
  BuildSample(def, false);
  def.SetTableID(7);
  def.SetOwnerFlag(7 << 4);
  def.SetDefaultBlobSize(1024);
  def.SetEncryptionLevel(encStrong);
  def.SetEncrypted(true);
  def.SetPassword("pw");
  def.SetLastModDate(45000.5);
  def.SetSecurityLevel(2);
  TTableHeader header;
  def.SetTableHeader(&header);
  def.Clear();
  EXPECT_EQ(def.TableID(), 0);
  EXPECT_EQ(def.OwnerFlag(), 0u);
  EXPECT_EQ(def.TableName(), "");
  EXPECT_EQ(def.DefaultBlobSize(), 512);
  EXPECT_EQ(def.RecordSize(), 0);
  EXPECT_FALSE(def.UsesBlobs());
  EXPECT_EQ(def.EncryptionLevel(), encNone);
  EXPECT_FALSE(def.Encrypted());
  EXPECT_EQ(def.LastModDate(), 0);
  EXPECT_EQ(def.TableHeader(), nullptr);
  EXPECT_EQ(def.KeyFields().Count(), 0);
  EXPECT_EQ(def.InternalFields().Count(), 0);
  EXPECT_EQ(def.InternalIndexDefs().Count(), 0);

  // A master's description is its connections' too: it is never cleared.
  def.SetMasterDef(true);
  EXPECT_EQ(ErrorCodeOf([&] { def.Clear(); }), 8577);
}

TEST(TableDef, AssignCopiesTheDescriptionButNotStorageOrState) {
  TTableDef source(nullptr);
  BuildSample(source, true);
  source.SetTableID(12);
  source.SetVersion("4.00");
  source.SetOS("Linux");
  source.SetCreationDate(40000.25);
  source.SetCreatedBy("ADMIN");
  source.SetEncrypted(true);
  source.SetEncryptionLevel(encWeak);
  source.SetPassword("secret");
  source.SetDefaultBlobSize(2048);
  source.SetSortOrder(soASCII);
  source.SetAltName("ALT");
  source.SetPrivilegeFlags(0x1234);
  // Not copied.
  source.SetLastModDate(41000);
  source.SetSecurityLevel(3);
  source.SetInternalTable(true);
  source.SetOwnerFlag(12 << 4);
  TTableHeader header;
  TMemoryIOInterface io;
  source.SetTableHeader(&header);
  source.SetIndexInterface(&io);
  source.SetMasterDef(true);
  source.SetUserCount(3);
  source.SetActive(true);

  TTableDef copy(nullptr);
  copy.Assign(source);
  EXPECT_EQ(copy.TableID(), 12);
  EXPECT_EQ(copy.TableName(), "Sample");
  EXPECT_EQ(copy.Version(), "4.00");
  EXPECT_EQ(copy.OS(), "Linux");
  EXPECT_EQ(copy.CreationDate(), 40000.25);
  EXPECT_EQ(copy.CreatedBy(), "ADMIN");
  EXPECT_TRUE(copy.Encrypted());
  EXPECT_EQ(copy.EncryptionLevel(), encWeak);
  EXPECT_EQ(copy.Password(), "secret");
  EXPECT_TRUE(copy.Memory());
  EXPECT_EQ(copy.RecordSize(), source.RecordSize());
  EXPECT_TRUE(copy.UsesBlobs());
  EXPECT_EQ(copy.DefaultBlobSize(), 2048);
  EXPECT_EQ(copy.SortOrder(), soASCII);
  EXPECT_EQ(copy.AltName(), "ALT");
  EXPECT_EQ(copy.PrivilegeFlags(), 0x1234);
  EXPECT_EQ(copy.KeyFields().Count(), source.KeyFields().Count());
  EXPECT_EQ(copy.InternalFields().Count(), 3);
  // The copy describes the same record image.
  EXPECT_EQ(copy.InternalFields().RecordSize(), source.InternalFields().RecordSize());
  EXPECT_EQ(copy.InternalIndexDefs().Count(), 2);
  EXPECT_EQ(copy.InternalIndexDefs().Items(1)->IndexName(), "ByName");

  EXPECT_EQ(copy.LastModDate(), 0);
  EXPECT_EQ(copy.SecurityLevel(), 0);
  EXPECT_FALSE(copy.InternalTable());
  EXPECT_EQ(copy.OwnerFlag(), 0u);
  EXPECT_EQ(copy.TableHeader(), nullptr);
  EXPECT_EQ(copy.IndexInterface(), nullptr);
  EXPECT_FALSE(copy.MasterDef());
  EXPECT_EQ(copy.UserCount(), 0);
  EXPECT_FALSE(copy.Active());
}

TEST(TableDef, ValidateHandsStrayKeyFieldsToAnIndexWithout) {
  TTableDef def(nullptr);
  BuildSample(def, false);
  TInternalIndexDef* bare = def.InternalIndexDefs().Add();
  bare->SetIndexName("Bare");
  def.KeyFields().Add()->SetIndexName("Gone");
  EXPECT_TRUE(def.Validate());
  EXPECT_EQ(def.KeyFields().Items(def.KeyFields().Count() - 1)->IndexName(), "Bare");
  EXPECT_EQ(def.KeyFields().Items(0)->IndexName(), "ById");
}

TEST(TableDef, MemoryMasterOpensWithAnEmptyRootPerIndex) {
  TTableDef def(nullptr);
  BuildSample(def, true);
  def.SetEncryptionLevel(encStrong);
  EXPECT_EQ(ErrorCodeOf([&] { def.InternalOpen(nullptr); }), 8576);  // no header yet
  TMemoryHeader h(2);
  def.SetTableHeader(h.header);
  def.SetMasterDef(true);
  const uint32_t writes = h.header->GetModifiedFlag();
  def.InternalOpen(nullptr);
  EXPECT_TRUE(def.Active());
  EXPECT_EQ(h.header->GetModifiedFlag(), writes + 1);
  auto* index = dynamic_cast<TMemoryIOInterface*>(def.IndexInterface());
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->BlockCount(), 2);
  EXPECT_EQ(def.RecordInterface()->BlockSize(), static_cast<uint32_t>(def.RecordSize()));
  EXPECT_EQ(def.BlobInterface()->BlockSize(), 512u);
  EXPECT_EQ(def.RecordInterface()->Usage(), kUsageRecord);
  EXPECT_EQ(def.BlobInterface()->AccessFlags(), 5u);
  for (int i = 0; i < 2; ++i) {
    const uint32_t root = h.header->GetIndexRoot(i);
    uint8_t node[16];
    index->ReadBlockHeader(root, 16, node);
    EXPECT_EQ(node[kNodeLeaf], 1);
    EXPECT_EQ(h.header->GetIndexDepth(i), 1);
  }
  // A copy borrows; closing it leaves the master's storage alone.
  TTableDef copy(nullptr);
  copy.Assign(def);
  copy.SetIndexInterface(def.IndexInterface());
  copy.SetActive(true);
  copy.InternalClose();
  EXPECT_EQ(copy.IndexInterface(), nullptr);
  EXPECT_EQ(index->BlockCount(), 2);
  def.InternalClose();
  EXPECT_FALSE(def.Active());
  EXPECT_EQ(def.IndexInterface(), nullptr);
}

TEST(TableDef, StoredSizesAreBoundedBeforeAnythingOpens) {
  TMemoryHeader h(2);
  auto refused = [&](const std::function<void(TTableDef&)>& damage) {
    TTableDef def(nullptr);
    BuildSample(def, true);
    damage(def);
    def.SetTableHeader(h.header);
    def.SetMasterDef(true);
    const int code = ErrorCodeOf([&] { def.InternalOpen(nullptr); });
    EXPECT_FALSE(def.Active());
    EXPECT_EQ(def.IndexInterface(), nullptr);
    return code;
  };
  EXPECT_EQ(refused([](TTableDef& d) { d.InternalIndexDefs().Items(0)->SetIndexPageSize(0); }),
            8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.InternalIndexDefs().Items(1)->SetIndexPageSize(8192); }),
            8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.InternalIndexDefs().Items(1)->SetIndexSequence(0); }),
            8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.InternalIndexDefs().Items(1)->SetIndexSequence(2); }),
            8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.InternalFields().SetRecordSize(0x7FFFFFF0); }), 8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.SetDefaultBlobSize(4); }), 8581);
  EXPECT_EQ(refused([](TTableDef& d) { d.SetDefaultBlobSize(-1); }), 8581);
}

TEST(TableDef, AccessFlagsFollowTheEncryptionLevel) {
  EXPECT_EQ(TableAccessFlags(encNone), kAccessCached);
  EXPECT_EQ(TableAccessFlags(encWeak), kAccessCached | kAccessXor);
  EXPECT_EQ(TableAccessFlags(encStrong), kAccessCached | kAccessBlowfish);
}

TEST(TableDef, DebugDefinitionOpensAsATable) {
  TTableDef def(nullptr);
  def.DebugSetDefs();
  ASSERT_EQ(def.InternalFields().Count(), 3);
  EXPECT_EQ(def.InternalFields().Items(1)->FieldName(), "Str1");
  EXPECT_EQ(def.InternalIndexDefs().Items(0)->IndexName(), "one");
  EXPECT_EQ(def.InternalIndexDefs().Items(1)->IndexName(), "two");
  def.SetMemory(true);
  TMemoryHeader h(2);
  def.SetTableHeader(h.header);
  def.SetMasterDef(true);
  def.InternalOpen(nullptr);
  TIndexManager m;
  m.SetIOInterface(def.IndexInterface());
  m.SetTableHeader(h.header);
  m.SetDBStringCompareFunction(DBANSICompareStrings);
  m.Assign(def.InternalIndexDefs());
  m.AssignKeyFields(def.KeyFields());
  m.Open();
  EXPECT_EQ(m.VisibleIndexCount(), 2);
  def.InternalClose();
}

}  // namespace
}  // namespace tav

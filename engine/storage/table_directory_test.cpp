#include "engine/storage/table_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/storage/storage_test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

bool AnyAddress(uint32_t) {
  return true;
}

TTableDirectory Listing(int32_t base, std::initializer_list<int32_t> ids) {
  TTableDirectory d;
  d.SetBaseTableID(base);
  int position = 0;
  for (int32_t id : ids) {
    d.SetEntry(position, id, 0x10000u + static_cast<uint32_t>(position) * 256);
    ++position;
  }
  return d;
}

TEST(TableDirectory, EntriesAreTwoLittleEndianWordsPackedFromTheStart) {
  TTableDirectory d = Listing(kUserTableBaseID, {3, 1});
  EXPECT_EQ(d.Count(), 2);
  EXPECT_EQ(d.Image()[0], 3);
  EXPECT_EQ(d.Image()[4], 0x00);
  EXPECT_EQ(d.Image()[6], 0x01);  // 0x10000
  EXPECT_EQ(d.Image()[8], 1);
  EXPECT_EQ(d.AddressAt(1), 0x10100u);

  int position = -1;
  EXPECT_TRUE(d.Find(1, position));
  EXPECT_EQ(position, 1);
  EXPECT_FALSE(d.Find(2, position));
  EXPECT_EQ(position, 2) << "an unknown id gives the first empty entry";
  EXPECT_FALSE(d.Find(0, position)) << "id 0 is no table";
}

TEST(TableDirectory, NewTablesTakeTheLowestFreeIdOfTheirDirectory) {
  EXPECT_EQ(Listing(kUserTableBaseID, {}).LowestFreeTableID("x"), 1);
  EXPECT_EQ(Listing(kSystemTableBaseID, {}).LowestFreeTableID("x"), 1024);
  EXPECT_EQ(Listing(kUserTableBaseID, {1, 2, 4}).LowestFreeTableID("x"), 3);
  EXPECT_EQ(Listing(kUserTableBaseID, {5, 2, 1, 3}).LowestFreeTableID("x"), 4);
  EXPECT_EQ(Listing(kSystemTableBaseID, {1025, 1024}).LowestFreeTableID("x"), 1026);
}

TEST(TableDirectory, AThousandTablesFillIt) {
  TTableDirectory d;
  for (int i = 0; i < kTableDirectoryEntries; ++i)
    d.SetEntry(i, kTableDirectoryEntries - i, 0x10000u + static_cast<uint32_t>(i) * 256);
  EXPECT_TRUE(d.Full());
  EXPECT_EQ(d.Count(), kTableDirectoryEntries);
  int position = 0;
  EXPECT_FALSE(d.Find(1001, position));
  EXPECT_EQ(position, -1);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { d.LowestFreeTableID("TTableHeaderMgr.AddTableHeaderToMap"); },
                        &text),
            9601);
  EXPECT_NO_THROW(d.Validate(AnyAddress, "x"));

  // Freeing one id anywhere makes room for exactly that id.
  d.Remove(500);
  EXPECT_FALSE(d.Full());
  EXPECT_EQ(d.LowestFreeTableID("x"), kTableDirectoryEntries - 500);
}

TEST(TableDirectory, RemovingAnEntryKeepsTheRestPackedInOrder) {
  TTableDirectory d = Listing(kUserTableBaseID, {1, 2, 3, 4});
  d.Remove(1);
  EXPECT_EQ(d.Count(), 3);
  EXPECT_EQ(d.TableIDAt(0), 1);
  EXPECT_EQ(d.TableIDAt(1), 3);
  EXPECT_EQ(d.AddressAt(1), 0x10200u) << "each entry keeps its address";
  EXPECT_EQ(d.TableIDAt(2), 4);
  EXPECT_EQ(d.TableIDAt(3), 0);
  EXPECT_EQ(d.AddressAt(3), 0u);
  EXPECT_NO_THROW(d.Validate(AnyAddress, "x"));

  // The last entry of a full directory is cleared as the rest moves up.
  TTableDirectory full;
  for (int i = 0; i < kTableDirectoryEntries; ++i)
    full.SetEntry(i, i + 1, 0x10000u + static_cast<uint32_t>(i) * 256);
  full.Remove(0);
  EXPECT_EQ(full.TableIDAt(0), 2);
  EXPECT_EQ(full.TableIDAt(kTableDirectoryEntries - 2), kTableDirectoryEntries);
  EXPECT_EQ(full.TableIDAt(kTableDirectoryEntries - 1), 0);
  EXPECT_EQ(full.AddressAt(kTableDirectoryEntries - 1), 0u);
}

TEST(TableDirectory, DamagedImagesAreRefused) {
  struct Case {
    const char* what;
    int32_t base;
    std::initializer_list<int32_t> ids;
  } cases[] = {
      {"id below the directory's first", kSystemTableBaseID, {1024, 5}},
      {"id past the directory's thousand", kUserTableBaseID, {1, 1001}},
      {"system id past its thousand", kSystemTableBaseID, {2024}},
      {"negative id", kUserTableBaseID, {-3}},
      {"id twice", kUserTableBaseID, {1, 2, 1}},
  };
  for (const Case& c : cases) {
    TTableDirectory d = Listing(c.base, c.ids);
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { d.Validate(AnyAddress, "TTableHeaderMgr.OpenTable"); }, &text),
              8581)
        << c.what;
  }

  TTableDirectory d = Listing(kUserTableBaseID, {1, 2, 3});
  EXPECT_NO_THROW(d.Validate(AnyAddress, "x"));
  EXPECT_EQ(ErrorCodeOf([&] {
              d.Validate([](uint32_t a) { return a != 0x10100u; }, "x");
            }),
            8581)
      << "an address the interface rejects";

  d.SetEntry(1, 2, 0);
  EXPECT_EQ(ErrorCodeOf([&] { d.Validate(AnyAddress, "x"); }), 8581) << "address 0";
  d.SetEntry(1, 2, 0x10000u);
  EXPECT_EQ(ErrorCodeOf([&] { d.Validate(AnyAddress, "x"); }), 8581) << "one block for two tables";
  d.SetEntry(1, 2, 0x10100u);

  // A table listed after the end of the list would be out of reach, and
  // its id handed out again.
  d.SetEntry(7, 9, 0x20000u);
  EXPECT_EQ(ErrorCodeOf([&] { d.Validate(AnyAddress, "x"); }), 8581);
  d.SetEntry(7, 0, 0x20000u);
  EXPECT_NO_THROW(d.Validate(AnyAddress, "x")) << "a stray address without an id is no table";

  // The bytes after the thousand entries carry nothing.
  d.Image()[kTableDirectorySize - 1] = 0xEE;
  EXPECT_NO_THROW(d.Validate(AnyAddress, "x"));
}

}  // namespace
}  // namespace tav

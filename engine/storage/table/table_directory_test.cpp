#include "engine/storage/table/table_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/storage/testing/storage_test_support.h"

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

TEST(TableDirectory, AFullDirectoryMakesRoomForTheIdItLoses) {
  TTableDirectory full;
  for (int i = 0; i < kTableDirectoryEntries; ++i)
    full.SetEntry(i, i + 1, 0x10000u + static_cast<uint32_t>(i) * 256);
  EXPECT_TRUE(full.Full());
  EXPECT_EQ(ErrorCodeOf([&] { full.LowestFreeTableID("x"); }), 9601);
  // The rest moves up and the last entry is cleared.
  full.Remove(0);
  EXPECT_FALSE(full.Full());
  EXPECT_EQ(full.TableIDAt(0), 2);
  EXPECT_EQ(full.TableIDAt(kTableDirectoryEntries - 2), kTableDirectoryEntries);
  EXPECT_EQ(full.TableIDAt(kTableDirectoryEntries - 1), 0);
  EXPECT_EQ(full.AddressAt(kTableDirectoryEntries - 1), 0u);
  EXPECT_EQ(full.LowestFreeTableID("x"), 1);
  EXPECT_NO_THROW(full.Validate(AnyAddress, "x"));
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

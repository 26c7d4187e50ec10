#include "engine/storage/file/global_hdr.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/storage/testing/disk_test_support.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

TEST(GlobalHdrTest, ValuesLieAtTheirOffsetsAndOnlyChangesMakeTheHeaderDirty) {
  TGlobalHdr h;
  h.Initialize();
  ASSERT_EQ(h.BufferSize(), 128u);
  h.SetFirstMapPageEmpty(0x11);
  h.SetFirstMapPage(0x22);
  h.SetMapPageCount(0x33);
  h.SetTableHeadersFirstEmpty(0x44);
  h.SetSystemHeadersFirstEmpty(0x55);
  h.SetIndexesFirstEmpty(0x66);
  h.SetGlobalDBGenerator(0x77);
  const uint32_t expected[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  for (uint32_t i = 0; i < 7; ++i) {
    uint32_t v;
    std::memcpy(&v, h.Buffer() + 16 + 4 * i, 4);
    EXPECT_EQ(v, expected[i]) << i;
    EXPECT_EQ(h.GlobalInterfaceGetHdrItem(16 + 4 * i), expected[i]);
  }
  for (uint32_t at = 0; at < 16; ++at) EXPECT_EQ(h.Buffer()[at], 0) << at;
  for (uint32_t at = 44; at < 128; ++at) EXPECT_EQ(h.Buffer()[at], 0) << at;

  h.SetDirty(false);
  h.SetMapPageCount(0x33);
  h.GlobalInterfaceSetHdrItem(0x44, 28);
  EXPECT_FALSE(h.Dirty());
  h.GlobalInterfaceSetHdrItem(5, 100);
  EXPECT_TRUE(h.Dirty());
  EXPECT_EQ(h.GlobalInterfaceGetHdrItem(100), 5u);
}

TEST(GlobalHdrTest, ItemOffsetsOutsideTheHeaderAreRefused) {
  TGlobalHdr h;
  // Before Initialize there is nothing to read.
  EXPECT_EQ(ErrorCodeOf([&] { h.FirstMapPage(); }), 8581);
  h.Initialize();
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(0); }, &message), 8581);
  EXPECT_NE(message.find("DB Header. Item offset is out of range"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(128); }), 8581);
  // The last three bytes cannot hold a whole value.
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(125); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceSetHdrItem(1, 127); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(1); }), 0);
  EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(124); }), 0);

  TGlobalHdr empty;
  empty.SetHdrSize(0);
  EXPECT_EQ(ErrorCodeOf([&] { empty.Initialize(); }, &message), 8581);
  EXPECT_NE(message.find("Unable to initialize header - size not set"), std::string::npos);
}

TEST(GlobalHdrTest, DumpNamesTheChainHeads) {
  TGlobalHdr h;
  h.Initialize();
  h.SetFirstMapPage(20480);
  h.SetFirstMapPageEmpty(0);
  h.SetMapPageCount(1);
  h.SetTableHeadersFirstEmpty(7);
  h.SetSystemHeadersFirstEmpty(8);
  h.SetIndexesFirstEmpty(9);
  host::TStringList lines;
  h.DebugDumpContents(lines);
  ASSERT_EQ(lines.Count(), 3);
  EXPECT_EQ(lines.Strings(0), "GLOBAL HEADER Settings");
  EXPECT_EQ(lines.Strings(1), "FirstMap 20480  FirstEmpty 0 MapCount 1");
  EXPECT_EQ(lines.Strings(2), "TblHdrFE 7  SysHdrFE 8 IdxFE 9");
}

}  // namespace
}  // namespace tav

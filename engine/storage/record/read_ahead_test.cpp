#include "engine/storage/record/read_ahead.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "host/rtl/exceptions.h"
#include "os/clock.h"

namespace tav {
namespace {

// Fills the buffer as a dataset does: invalidate, one item per listed record,
// then the stamp.
void Fill(TReadAheadBuffer& buffer, const std::vector<uint32_t>& addresses, uint32_t now) {
  buffer.Invalidate();
  int recNo = 1;
  for (uint32_t address : addresses) {
    TReadAheadBufferItem* item = buffer.Add();
    item->SetRecAddr(address);
    item->SetRecNo(recNo++);
  }
  buffer.SetValidTimeStamp(now);
}

TEST(ReadAheadBufferTest, ItemsGetPooledBuffersThatRefillsReuse) {
  TReadAheadBuffer buffer;
  buffer.Open(64, 32, 1000);
  Fill(buffer, {100, 200, 300}, 5);
  ASSERT_EQ(buffer.Count(), 3);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 3);
  std::set<uint8_t*> records, keys;
  for (int i = 0; i < 3; ++i) {
    records.insert(buffer.Items(i)->RecordBuffer());
    keys.insert(buffer.Items(i)->KeyBuffer());
    // The whole buffer is usable (the sanitizer checks the sizes).
    buffer.Items(i)->RecordBuffer()[63] = 1;
    buffer.Items(i)->KeyBuffer()[31] = 1;
  }
  EXPECT_EQ(records.size(), 3u);
  EXPECT_EQ(keys.size(), 3u);

  // A refill of the same size allocates nothing: the same buffers come back.
  Fill(buffer, {400, 500, 600}, 6);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(records.count(buffer.Items(i)->RecordBuffer()), 1u);
    EXPECT_EQ(keys.count(buffer.Items(i)->KeyBuffer()), 1u);
  }
  // A larger one adds only what it lacks.
  Fill(buffer, {1, 2, 3, 4}, 7);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 4);
  Fill(buffer, {1}, 8);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 4);

  buffer.Close();
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 0);
}

TEST(ReadAheadBufferTest, AnEmptyOrUnstampedBufferIsNeverValid) {
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 1000);
  buffer.SetValidTimeStamp(100);
  EXPECT_FALSE(buffer.IsValid(100));
  EXPECT_EQ(buffer.ValidTimeStamp(), 0u);  // invalidated

  buffer.Add()->SetRecAddr(1);  // filled but not yet stamped
  EXPECT_FALSE(buffer.IsValid(5));
  EXPECT_EQ(buffer.Count(), 0);
}

TEST(ReadAheadBufferTest, ValidityEndsWithThePeriodAndInvalidates) {
  os::TManualClock clock(0.0, 5000);
  os::TScopedClock scoped(clock);
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 1000);
  Fill(buffer, {10, 20}, os::GetTickCount());
  clock.Advance(1000);
  EXPECT_TRUE(buffer.IsValid(os::GetTickCount()));
  clock.Advance(1);
  EXPECT_FALSE(buffer.IsValid(os::GetTickCount()));
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(buffer.ValidTimeStamp(), 0u);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 2);  // kept for the next fill
}

TEST(ReadAheadBufferTest, StaysValidAcrossTheTickWrap) {
  os::TManualClock clock(0.0, 0xFFFFFF00u);  // 256 ms before the 32-bit tick wraps
  os::TScopedClock scoped(clock);
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 1000);
  Fill(buffer, {10, 20}, os::GetTickCount());
  // Before the wrap the end of the period (stamp + period) has wrapped already.
  clock.Advance(128);
  EXPECT_TRUE(buffer.IsValid(os::GetTickCount()));
  clock.Advance(472);  // the tick is now 344
  ASSERT_LT(os::GetTickCount(), 1000u);
  EXPECT_TRUE(buffer.IsValid(os::GetTickCount()));
  clock.Advance(400);  // exactly the period
  EXPECT_TRUE(buffer.IsValid(os::GetTickCount()));
  clock.Advance(1);
  EXPECT_FALSE(buffer.IsValid(os::GetTickCount()));
}

TEST(ReadAheadBufferTest, AHeaderChangeDropsTheBufferAndItsRecordCount) {
  os::TManualClock clock(0.0, 10000);
  os::TScopedClock scoped(clock);
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 60000);
  Fill(buffer, {10, 20, 30}, os::GetTickCount());
  buffer.SetLastRecordCount(3);
  buffer.SetRecordCountValid(true);
  ASSERT_TRUE(buffer.IsValid(os::GetTickCount()));

  // What a reader does on seeing another user's change in the table header.
  buffer.Invalidate();
  buffer.SetRecordCountValid(false);
  EXPECT_FALSE(buffer.IsValid(os::GetTickCount()));  // well within the period
  EXPECT_EQ(buffer.GetBufferItem(20), nullptr);
  EXPECT_FALSE(buffer.RecordCountValid());
  EXPECT_EQ(buffer.GetInternalBufferCount(), 3);

  // Reopening forgets the count as well.
  buffer.SetRecordCountValid(true);
  buffer.Open(8, 8, 60000);
  EXPECT_FALSE(buffer.RecordCountValid());
  EXPECT_EQ(buffer.LastRecordCount(), 0);
}

TEST(ReadAheadBufferTest, ItemsAreFoundByAddressWithTheirNeighbours) {
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 1000);
  // A fill lists each record once.
  Fill(buffer, {10, 20, 30, 40}, 1);
  EXPECT_EQ(buffer.GetIndexOfBufferItem(20), 1);
  EXPECT_EQ(buffer.GetIndexOfBufferItem(99), -1);
  EXPECT_EQ(buffer.GetBufferItem(10), buffer.Items(0));
  EXPECT_EQ(buffer.GetBufferItem(99), nullptr);
  EXPECT_EQ(buffer.GetNextBufferItem(10), buffer.Items(1));
  EXPECT_EQ(buffer.GetNextBufferItem(40), nullptr);   // the last item
  EXPECT_EQ(buffer.GetPriorBufferItem(10), nullptr);  // the first item
  EXPECT_EQ(buffer.GetPriorBufferItem(30), buffer.Items(1));
  EXPECT_EQ(buffer.GetNextBufferItem(99), nullptr);
  EXPECT_EQ(buffer.GetPriorBufferItem(99), nullptr);
  EXPECT_EQ(buffer.Last(), buffer.Items(3));
  EXPECT_EQ(buffer.Last()->RecNo(), 4);

  buffer.DeleteItem(1);
  EXPECT_EQ(buffer.GetIndexOfBufferItem(30), 1);
  EXPECT_EQ(buffer.GetNextBufferItem(10)->RecAddr(), 30u);
  EXPECT_EQ(buffer.GetIndexOfBufferItem(20), -1);
  // A deleted item's buffers are not handed to the next item twice.
  TReadAheadBufferItem* added = buffer.Add();
  for (int i = 0; i < buffer.Count() - 1; ++i)
    EXPECT_NE(buffer.Items(i)->RecordBuffer(), added->RecordBuffer());

  buffer.Invalidate();
  EXPECT_EQ(buffer.Last(), nullptr);
  EXPECT_EQ(buffer.GetIndexOfBufferItem(30), -1);
}

TEST(ReadAheadBufferTest, WalksFindEveryNeighbourAndARefillForgetsTheItemsBefore) {
  TReadAheadBuffer buffer;
  buffer.Open(8, 8, 1000);
  std::vector<uint32_t> addresses;
  for (uint32_t a = 1; a <= 300; ++a) addresses.push_back(a * 7);
  Fill(buffer, addresses, 1);
  // Forwards from the first, backwards from the last, and back and forth.
  uint32_t at = addresses.front();
  for (size_t i = 1; i < addresses.size(); ++i) {
    const TReadAheadBufferItem* next = buffer.GetNextBufferItem(at);
    ASSERT_NE(next, nullptr);
    ASSERT_EQ(next->RecAddr(), addresses[i]);
    at = next->RecAddr();
  }
  EXPECT_EQ(buffer.GetNextBufferItem(at), nullptr);
  for (size_t i = addresses.size() - 1; i > 0; --i) {
    const TReadAheadBufferItem* prior = buffer.GetPriorBufferItem(at);
    ASSERT_NE(prior, nullptr);
    ASSERT_EQ(prior->RecAddr(), addresses[i - 1]);
    at = prior->RecAddr();
  }
  EXPECT_EQ(buffer.GetPriorBufferItem(at), nullptr);
  EXPECT_EQ(buffer.GetNextBufferItem(7 * 150)->RecAddr(), 7u * 151);
  EXPECT_EQ(buffer.GetPriorBufferItem(7 * 151)->RecAddr(), 7u * 150);

  // A smaller refill: the items past its end, and their addresses, are gone.
  buffer.GetBufferItem(7 * 299);
  Fill(buffer, {5, 6, 7}, 2);
  EXPECT_EQ(buffer.GetBufferItem(7 * 299), nullptr);
  EXPECT_EQ(buffer.GetBufferItem(7 * 2), nullptr);
  EXPECT_EQ(buffer.GetNextBufferItem(6)->RecAddr(), 7u);
  EXPECT_EQ(buffer.GetNextBufferItem(7), nullptr);
  EXPECT_EQ(buffer.GetInternalBufferCount(), 300);

  // Keeping a run in the middle: its items in order, their buffers distinct
  // from those the next items get.
  Fill(buffer, {1, 2, 3, 4, 5, 6}, 3);
  buffer.KeepItems(2, 5);
  ASSERT_EQ(buffer.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(buffer.Items(i)->RecAddr(), static_cast<uint32_t>(i + 3));
  EXPECT_EQ(buffer.GetNextBufferItem(4)->RecAddr(), 5u);
  EXPECT_EQ(buffer.GetBufferItem(1), nullptr);
  std::set<uint8_t*> used;
  for (int i = 0; i < 3; ++i) used.insert(buffer.Items(i)->RecordBuffer());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(used.count(buffer.Add()->RecordBuffer()), 0u);
  buffer.KeepItems(0, 0);
  EXPECT_EQ(buffer.Count(), 0);
}

TEST(ReadAheadBufferTest, ItemsRefuseMissingBuffers) {
  TReadAheadBufferItem item;
  uint8_t b[4];
  EXPECT_THROW(item.Initialize(nullptr, b), host::EAssertionFailed);
  EXPECT_THROW(item.Initialize(b, nullptr), host::EAssertionFailed);
}

}  // namespace
}  // namespace tav

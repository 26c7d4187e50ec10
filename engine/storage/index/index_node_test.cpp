#include "engine/storage/index/index_node.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "engine/storage/index/btree.h"
#include "engine/storage/testing/btree_test_support.h"
#include "engine/storage/record/read_ahead.h"
#include "engine/storage/testing/storage_test_support.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav::test {
namespace {

// Nodes of a 4096-byte page whose keys are one string field of 87 bytes:
// every fixed entry is 100 bytes (10 + bitmap 1 + length 2 + 87).
class IndexNode : public ::testing::Test {
 protected:
  explicit IndexNode(TIndexKeyType keyType = ikFixed) : ix_(MakeLayout(keyType), nullptr, false) {
    EXPECT_EQ(ix_.Tree().MaximumKeySize(), 100);
  }

  static TIndexLayout MakeLayout(TIndexKeyType keyType) {
    TIndexLayout layout;
    layout.StringKey = true;
    layout.StringSize = 87;
    layout.KeyType = keyType;
    layout.PageSize = 4096;
    return layout;
  }

  std::unique_ptr<TNode> NewNode(bool leaf, uint32_t address = 0) {
    auto n = std::make_unique<TNode>();
    n->Open(&ix_.Tree(), &ix_.IO(), 4096);
    n->SetLeaf(leaf);
    if (address == 0) address = ix_.IO().AllocateNewAddress(4096, n->Image());
    n->SetAddress(address);
    n->SetLeaf(leaf);
    return n;
  }

  // An entry for key text with the given count and address.
  std::vector<uint8_t> Entry(const std::string& text, uint32_t address, uint32_t count = 1) {
    TVal v;
    v.Str = text;
    ix_.SetPrefixKey(v);
    const uint8_t* k = ix_.Tree().KeyBuf();
    std::vector<uint8_t> e(k, k + GetKeyEntryLength(k));
    SetKeyEntryAddress(e.data(), address);
    SetKeyEntryCount(e.data(), count);
    return e;
  }

  // Appends entries "k01".."kNN" (addresses 1..n).
  void Fill(TNode& n, int count, int firstNo = 1, uint32_t entryCount = 1) {
    for (int i = firstNo; i < firstNo + count; ++i) {
      char text[16];
      std::snprintf(text, sizeof text, "k%03d", i);
      n.InsertKey(n.GetUsed(), Entry(text, static_cast<uint32_t>(i), entryCount).data());
    }
  }

  static uint32_t AddressAt(const TNode& n, int32_t pos) {
    return GetKeyEntryAddress(n.EntryAt(pos));
  }

  // An inner node takes a long run of changes of every kind (counts set in
  // place, same-length and longer replacements, entries added and removed,
  // a copied image); after each, the records before every entry and up to
  // it agree with its entries' counts, asked often enough that the node
  // keeps running sums between changes.
  void CheckCountsFollowEveryChange() {
    auto n = NewNode(false);
    Fill(*n, 30);
    uint32_t seed = 12345;
    auto next = [&](uint32_t range) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % range;
    };
    auto starts = [&] {
      std::vector<int32_t> v;
      for (int32_t pos = 0; pos < n->GetUsed(); pos = n->NextEntryStart(pos)) v.push_back(pos);
      return v;
    };
    for (const int32_t pos : starts()) n->SetEntryCount(pos, next(40));
    int added = 100;
    for (int step = 0; step < 500; ++step) {
      std::vector<int32_t> at = starts();
      const int32_t pos = at[next(static_cast<uint32_t>(at.size()))];
      switch (next(6)) {
        case 0:
        case 1:
          n->SetEntryCount(pos, next(1000));
          break;
        case 2: {
          std::vector<uint8_t> e(n->EntryAt(pos), n->EntryAt(pos) + GetKeyEntryLength(n->EntryAt(pos)));
          SetKeyEntryCount(e.data(), next(1000));
          n->UpdateKey(pos, e.data());
          break;
        }
        case 3: {
          char text[24];
          std::snprintf(text, sizeof text, "k%03u%s", next(999), next(2) ? "xy" : "");
          const std::vector<uint8_t> e = Entry(text, 7, next(1000));
          if (next(2) && n->RoomForKey(GetKeyEntryLength(e.data())))
            n->InsertKey(pos, e.data());
          else if (n->RoomForKey(GetKeyEntryLength(e.data()) + 100))
            n->UpdateKey(pos, e.data());
          ++added;
          break;
        }
        case 4:
          if (at.size() > 5) n->DeleteKey(pos);
          break;
        default: {
          const std::vector<uint8_t> image(n->Image(), n->Image() + 4096);
          n->CopyNode(image.data());
          break;
        }
      }
      at = starts();
      for (int ask = 0; ask < 3; ++ask) n->CountBefore(at[next(static_cast<uint32_t>(at.size()))]);
      int64_t sum = 0;
      for (const int32_t p : at) {
        ASSERT_EQ(n->CountBefore(p), sum) << "step " << step << " entry at " << p;
        sum += GetKeyEntryCount(n->EntryAt(p));
        ASSERT_EQ(n->GetRecordCount(p), sum) << "step " << step << " entry at " << p;
      }
      ASSERT_EQ(n->GetTotalCount(), sum) << "step " << step;
    }
  }

  // The count routines take only entry starts (and the end of the entries):
  // a position inside an entry, before the first or past the used bytes is
  // refused, with or without the running sums, and the end gives the total.
  void CheckCountsRefuseOffStartPositions() {
    auto n = NewNode(false);
    Fill(*n, 5, 1, 3);
    const int32_t second = n->NextEntryStart(0);
    const int32_t used = n->GetUsed();
    for (int round = 0; round < 4; ++round) {
      // A count set in place on a node read afresh, asked once or twice,
      // and asked often enough to keep running sums.
      const std::vector<uint8_t> image(n->Image(), n->Image() + 4096);
      n->CopyNode(image.data());
      for (int ask = 0; ask < (round < 3 ? round : 20); ++ask) n->CountBefore(0);
      n->SetEntryCount(second, 10);
      EXPECT_EQ(n->CountBefore(n->NextEntryStart(second)), 13) << round;
      EXPECT_EQ(n->CountBefore(used), 22) << round;
      EXPECT_EQ(n->GetTotalCount(), 22) << round;
      n->SetEntryCount(second, 3);
      EXPECT_EQ(n->CountBefore(used), 15) << round;
      EXPECT_EQ(n->CountBefore(second), 3) << round;
      EXPECT_EQ(n->PriorEntryStart(used), n->LastEntryStart());
      for (const int32_t bad : {second - 1, second + 1, -second, -1, used + 1, used + second}) {
        std::string text;
        EXPECT_EQ(ErrorCodeOf([&] { n->CountBefore(bad); }, &text), 8581) << bad;
        EXPECT_NE(text.find("Position is not an entry start"), std::string::npos) << text;
        EXPECT_EQ(ErrorCodeOf([&] { n->PriorEntryStart(bad); }), bad <= 0 ? 0 : 8581) << bad;
      }
    }
  }

  // An image with a chosen used count (entries left as zero bytes).
  static std::vector<uint8_t> ImageWithUsed(uint32_t used, bool leaf = true) {
    std::vector<uint8_t> img(4096, 0);
    SetNodeU32(img.data(), 0, leaf ? 1 : 0);
    SetNodeU32(img.data(), 4, used);
    return img;
  }

  TTestIndex ix_;
};

TEST_F(IndexNode, FillThresholds) {
  auto n = NewNode(true);
  // MaxKeySize 100: full at 3980 used bytes, too empty below 2032.
  n->CopyNode(ImageWithUsed(3979).data());
  EXPECT_FALSE(n->CheckNodeFull());
  n->CopyNode(ImageWithUsed(3980).data());
  EXPECT_TRUE(n->CheckNodeFull());
  n->CopyNode(ImageWithUsed(2031).data());
  EXPECT_TRUE(n->CheckNodeTooEmpty());
  n->CopyNode(ImageWithUsed(2032).data());
  EXPECT_FALSE(n->CheckNodeTooEmpty());
  EXPECT_TRUE(n->RoomForKey(4096 - 16 - 2032));
  EXPECT_FALSE(n->RoomForKey(4096 - 16 - 2032 + 1));
  n->CopyNode(ImageWithUsed(0).data());
  EXPECT_TRUE(n->CheckNodeEmpty());
}

TEST_F(IndexNode, SplitMovesTheUpperHalfAndRelinksTheLeaves) {
  auto node = NewNode(true);
  auto after = NewNode(true);
  node->SetNext(after->Address());
  after->SetPrior(node->Address());
  after->WriteNode();
  Fill(*node, 10);
  ASSERT_EQ(node->GetUsed(), 1000);
  auto spare = NewNode(false);
  const uint32_t newAddress = spare->Address();
  node->SplitNode(*spare, newAddress);
  // The split is the entry starting at or before byte 500: entries 6-10 move.
  EXPECT_EQ(node->GetUsed(), 500);
  EXPECT_EQ(spare->GetUsed(), 500);
  EXPECT_EQ(AddressAt(*node, 400), 5u);
  EXPECT_EQ(AddressAt(*spare, 0), 6u);
  EXPECT_EQ(AddressAt(*spare, 400), 10u);
  EXPECT_TRUE(spare->CheckIsLeaf()) << "the header travels";
  EXPECT_EQ(spare->Address(), newAddress);
  EXPECT_EQ(node->GetNext(), newAddress);
  EXPECT_EQ(spare->GetPrior(), node->Address());
  EXPECT_EQ(spare->GetNext(), after->Address());
  // The old neighbour's prior link was rewritten in storage.
  const uint8_t* stored = ix_.IO().ReadBlockByRef(after->Address(), 4096);
  EXPECT_EQ(NodeU32(stored, 12), newAddress);
  for (int i = 16 + 500; i < 4096; ++i) ASSERT_EQ(node->Image()[i], 0) << "tail zeroed at " << i;

  auto empty = NewNode(true);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { empty->SplitNode(*spare, 1); }, &text), 8581);
  EXPECT_EQ(text.find("Node is empty") != std::string::npos, true) << text;
}

TEST_F(IndexNode, MergeRefusesMoreThanAPage) {
  auto a = NewNode(true);
  auto b = NewNode(true);
  Fill(*a, 20);
  Fill(*b, 20, 21);
  try {
    a->MergeNodes(*b, true);
    FAIL() << "no assertion";
  } catch (const host::EAssertionFailed& e) {
    EXPECT_NE(
        e.Message().find(
            "Invalid parameters for MergeNodes (size too large): size1 2000 size2 2000 key 100"),
        std::string::npos)
        << e.Message();
  }
}

TEST_F(IndexNode, MergeRelinksTheOuterNeighbour) {
  auto left = NewNode(true);
  auto mid = NewNode(true);
  auto right = NewNode(true);
  auto far = NewNode(true);
  // left <-> mid <-> right <-> far
  left->SetNext(mid->Address());
  mid->SetPrior(left->Address());
  mid->SetNext(right->Address());
  right->SetPrior(mid->Address());
  right->SetNext(far->Address());
  far->SetPrior(right->Address());
  for (TNode* n : {left.get(), mid.get(), right.get(), far.get()}) n->WriteNode();
  Fill(*mid, 3, 10);
  Fill(*right, 3, 20);
  mid->MergeNodes(*right, true);
  EXPECT_EQ(mid->GetCount(), 6);
  EXPECT_EQ(AddressAt(*mid, 500), 22u);
  EXPECT_EQ(mid->GetNext(), far->Address());
  EXPECT_EQ(NodeU32(ix_.IO().ReadBlockByRef(far->Address(), 4096), 12), mid->Address());

  Fill(*left, 2, 1);
  mid->MergeNodes(*left, false);
  EXPECT_EQ(mid->GetCount(), 8);
  EXPECT_EQ(AddressAt(*mid, 0), 1u);
  EXPECT_EQ(AddressAt(*mid, 200), 10u);
  EXPECT_EQ(mid->GetPrior(), 0u);
}

TEST_F(IndexNode, DeleteKeyRefusesABadLength) {
  auto n = NewNode(true);
  n->CopyNode(ImageWithUsed(100).data());
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { n->DeleteKey(0); }, &text), 8581);
  EXPECT_NE(text.find("Invalid key size in Delete key: 0"), std::string::npos) << text;
}

TEST_F(IndexNode, Redistribution) {
  auto left = NewNode(true);
  auto right = NewNode(true);
  Fill(*left, 3);
  Fill(*right, 8, 10);
  // 300 + 800 bytes: 4096 / 3 is at least their total, so they should merge.
  EXPECT_EQ(left->RedistributeNodes(*right), -1);
  EXPECT_EQ(left->GetUsed(), 300);

  auto a = NewNode(true);
  auto b = NewNode(true);
  Fill(*a, 20, 1);
  Fill(*b, 5, 30);
  // 2000 + 500: the middle is 1250; a's entries from 1200 move to b's front.
  ASSERT_EQ(a->RedistributeNodes(*b), 1);
  EXPECT_EQ(a->GetUsed(), 1200);
  EXPECT_EQ(b->GetUsed(), 1300);
  EXPECT_EQ(AddressAt(*b, 0), 13u);
  EXPECT_EQ(AddressAt(*b, 800), 30u);
  // And the other way: b's head moves to a's end.
  auto c = NewNode(true);
  auto d = NewNode(true);
  Fill(*c, 5, 1);
  Fill(*d, 20, 10);
  ASSERT_EQ(c->RedistributeNodes(*d), 1);
  EXPECT_EQ(c->GetUsed() + d->GetUsed(), 2500);
  EXPECT_EQ(c->GetUsed(), 1300);
  EXPECT_EQ(AddressAt(*c, 1200), 17u);
  EXPECT_EQ(AddressAt(*d, 0), 18u);

  auto e = NewNode(true);
  auto f = NewNode(true);
  Fill(*e, 10, 1);
  Fill(*f, 10, 20);
  EXPECT_EQ(e->RedistributeNodes(*f), 0) << "equal nodes stay";
}

// What the used counts alone tell of a balancing is what RedistributeNodes
// does with the entries, for every pair of fill levels: a merge, nothing,
// or the same bytes moving the same way.
TEST_F(IndexNode, FixedRedistributionTellsWhatRedistributeNodesDoes) {
  const int32_t k = 100;
  const int maxEntries = (4096 - kNodeHeaderSize) / k;
  for (int a = 0; a <= maxEntries; ++a) {
    for (int b = 0; b <= maxEntries; ++b) {
      auto left = NewNode(true);
      auto right = NewNode(true);
      Fill(*left, a, 1);
      Fill(*right, b, 100);
      int32_t tailStart = 0;
      const int32_t told = left->FixedRedistribution(a * k, b * k, tailStart);
      const int res = left->RedistributeNodes(*right);
      const std::string what = std::to_string(a) + " + " + std::to_string(b) + " entries";
      if (res < 0) {
        EXPECT_EQ(told, -1) << what;
      } else if (res == 0) {
        EXPECT_EQ(told, 0) << what;
        EXPECT_EQ(left->GetUsed(), a * k) << what;
      } else if (tailStart >= 0) {
        EXPECT_EQ(left->GetUsed(), tailStart) << what;
        EXPECT_EQ(a * k - left->GetUsed(), told) << what;
        EXPECT_EQ(right->GetUsed(), b * k + told) << what;
      } else {
        EXPECT_GT(told, 0) << what;
        EXPECT_EQ(left->GetUsed(), a * k + told) << what;
        EXPECT_EQ(right->GetUsed(), b * k - told) << what;
      }
      if (::testing::Test::HasFailure()) return;
      // Release the blocks, so that the interface does not grow per pair.
      ix_.IO().ReleaseBlock(left->Address(), 4096);
      ix_.IO().ReleaseBlock(right->Address(), 4096);
    }
  }
  // Counts no fixed node of this size has are never taken for a move.
  int32_t tailStart = 0;
  auto n = NewNode(true);
  EXPECT_EQ(n->FixedRedistribution(150, 2000, tailStart), -1);
  EXPECT_EQ(n->FixedRedistribution(-100, 2000, tailStart), -1);
}

TEST_F(IndexNode, FindKeyByPosition) {
  auto n = NewNode(true);
  Fill(*n, 10);
  EXPECT_EQ(n->FindKeyByPosition(ksLE, 250), 200);
  EXPECT_EQ(n->FindKeyByPosition(ksLE, 300), 300);
  EXPECT_EQ(n->FindKeyByPosition(ksEQ, 250), -1);
  EXPECT_EQ(n->FindKeyByPosition(ksEQ, 300), 300);
  EXPECT_EQ(n->FindKeyByPosition(ksGE, 250), 300);
  EXPECT_EQ(n->FindKeyByPosition(ksGE, 950), 1000) << "none left: the used bytes";
  EXPECT_EQ(n->FindKeyByPosition(ksLE, 1001), -1) << "beyond the used bytes";
}

TEST_F(IndexNode, ReadNodeRefusesDamage) {
  auto n = NewNode(true);
  Fill(*n, 4);
  n->WriteNode();
  const uint32_t address = n->Address();
  uint8_t* stored = ix_.IO().ReadBlockByRef(address, 4096);
  auto reader = NewNode(true);
  reader->Forget();

  SetNodeU32(stored, 4, 4096 - 15);
  EXPECT_EQ(ErrorCodeOf([&] { reader->ReadNode(address); }), 8965) << "used beyond the page";
  SetNodeU32(stored, 4, 350);
  EXPECT_EQ(ErrorCodeOf([&] { reader->ReadNode(address); }), 8965) << "not whole entries";
  EXPECT_EQ(reader->Address(), 0u) << "a damaged node is not kept";
  SetNodeU32(stored, 4, 400);
  EXPECT_EQ(ErrorCodeOf([&] { reader->ReadNode(address); }), 0);
  EXPECT_EQ(reader->GetCount(), 4);
  // A fixed entry's length is checked where the entry is used.
  SetKeyEntryLength(stored + 16 + 200, 0);
  reader->Forget();
  reader->ReadNode(address);
  std::vector<uint8_t> buf(101);
  EXPECT_EQ(ErrorCodeOf([&] { reader->ReadKey(200, buf.data()); }), 8965) << "zero entry length";
  reader->SetCursor(200);
  EXPECT_EQ(ErrorCodeOf([&] { reader->GetCurrentKey(); }), 8965);
  TReadAheadBuffer ahead;
  ahead.Open(8, 101, 1000);
  EXPECT_EQ(ErrorCodeOf([&] { reader->ListRecordsInNode(false, 0, ahead, 10); }), 8965);
}

TEST_F(IndexNode, RangeErrorsKeepTheirMessages) {
  auto n = NewNode(true);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { n->ForceCursorToPhysicalKey(); }, &text), 8581);
  EXPECT_NE(text.find("Node is empty"), std::string::npos) << text;
  Fill(*n, 3);
  std::vector<uint8_t> buf(101);
  EXPECT_EQ(ErrorCodeOf([&] { n->ReadKey(5000, buf.data()); }, &text), 8581);
  EXPECT_NE(text.find("ReadPos is out of range: 5000"), std::string::npos) << text;
  n->SetCursor(300);
  EXPECT_EQ(ErrorCodeOf([&] { n->GetCurrentKey(); }, &text), 8581);
  EXPECT_NE(text.find("Node cursor out of range"), std::string::npos) << text;
  EXPECT_EQ(ErrorCodeOf([&] { n->CopyCurrentKey(buf.data()); }, &text), 8581);
  EXPECT_NE(text.find("Cursor is out of range"), std::string::npos) << text;
  EXPECT_EQ(ErrorCodeOf([&] { n->MoveBlock(50, 100, false); }, &text), 8581);
  EXPECT_NE(text.find("Move block error - Start Pos - Delta are out of range"), std::string::npos)
      << text;
  // The cursor's moves: forwards and back, refusing to leave the node.
  n->ForceCursorToPhysicalKey();
  EXPECT_EQ(n->Cursor(), 200);
  EXPECT_FALSE(n->NextRecord());
  EXPECT_TRUE(n->PriorRecord());
  EXPECT_TRUE(n->PriorRecord());
  EXPECT_FALSE(n->PriorRecord());
  EXPECT_EQ(n->Cursor(), 0);
  n->SetCursorToEnd(false);
  EXPECT_EQ(n->GetRecordAddress(), 3u);
}

TEST_F(IndexNode, CountsAndPositionsByRecordNumber) {
  auto n = NewNode(false);
  Fill(*n, 4, 1, 10);  // four children of 10 records each
  SetKeyEntryCount(const_cast<uint8_t*>(n->EntryAt(100)), 5);
  // Counts 10, 5, 10, 10.
  EXPECT_EQ(n->GetTotalCount(), 35);
  EXPECT_EQ(n->GetRecordCount(100), 15);
  EXPECT_EQ(n->CountBefore(200), 15);
  int64_t before = -1;
  EXPECT_EQ(n->SearchNodeByRecNo(1, before), 1u);
  EXPECT_EQ(before, 0);
  EXPECT_EQ(n->SearchNodeByRecNo(11, before), 2u);
  EXPECT_EQ(before, 10);
  EXPECT_EQ(n->SearchNodeByRecNo(16, before), 3u);
  EXPECT_EQ(before, 15);
  EXPECT_EQ(n->SearchNodeByRecNo(99, before), 4u) << "beyond the total: the last entry";
  EXPECT_EQ(before, 25);
  // The partner of a too empty child: the neighbour with fewer records,
  // the right one on a tie.
  EXPECT_EQ(n->GetRedistributeNode(0), 100);
  EXPECT_EQ(n->GetRedistributeNode(200), 100);
  EXPECT_EQ(n->GetRedistributeNode(300), 200);
  SetKeyEntryCount(const_cast<uint8_t*>(n->EntryAt(100)), 10);
  EXPECT_EQ(n->GetRedistributeNode(100), 200);
  // The total is kept between calls and follows every change: a count set
  // in place, an entry removed, an entry added, a copied image.
  const std::vector<uint8_t> image(n->Image(), n->Image() + 4096);
  n->CopyNode(image.data());
  EXPECT_EQ(n->GetTotalCount(), 40);
  n->SetEntryCount(100, 7);
  EXPECT_EQ(n->GetTotalCount(), 37);
  EXPECT_EQ(n->GetRecordCount(100), 17);
  std::vector<uint8_t> entry(n->EntryAt(300), n->EntryAt(300) + 100);
  n->DeleteKey(300);
  EXPECT_EQ(n->GetTotalCount(), 27);
  SetKeyEntryCount(entry.data(), 4);
  n->InsertKey(300, entry.data());
  EXPECT_EQ(n->GetTotalCount(), 31);
  n->SetLeaf(true);
  EXPECT_EQ(n->GetTotalCount(), 4) << "a leaf counts its entries";
  n->SetLeaf(false);
  EXPECT_EQ(n->GetTotalCount(), 31);
  auto leaf = NewNode(true);
  Fill(*leaf, 3);
  EXPECT_EQ(leaf->GetRedistributeNode(100), -1);
}

TEST_F(IndexNode, CountsBeforeEntriesFollowEveryChange) { CheckCountsFollowEveryChange(); }

TEST_F(IndexNode, CountsRefuseOffStartPositions) { CheckCountsRefuseOffStartPositions(); }

TEST_F(IndexNode, CheckNodeFindsThePairOutOfOrder) {
  auto n = NewNode(true);
  Fill(*n, 3);
  n->InsertKey(n->GetUsed(), Entry("k002", 9).data());
  int32_t position = 0;
  EXPECT_GT(n->CheckNode(position), 0);
  EXPECT_EQ(position, 200);
  auto ok = NewNode(true);
  Fill(*ok, 3);
  EXPECT_EQ(ok->CheckNode(position), -1001);
  host::TStringList lines;
  ix_.Tree().SetDebugStrings(&lines);
  auto empty = NewNode(true);
  EXPECT_EQ(empty->CheckNode(position), 1001);
  ASSERT_GE(lines.Count(), 1);
  EXPECT_EQ(lines.Strings(0), "ERROR: EMPTY NODE");
  ix_.Tree().SetDebugStrings(nullptr);
}

class IndexNodeVariable : public IndexNode {
 protected:
  IndexNodeVariable() : IndexNode(ikMinStringLen) {}
};

TEST_F(IndexNodeVariable, CountsBeforeEntriesFollowEveryChange) { CheckCountsFollowEveryChange(); }

TEST_F(IndexNodeVariable, CountsRefuseOffStartPositions) { CheckCountsRefuseOffStartPositions(); }

TEST_F(IndexNodeVariable, UpdateKeyMovesTheRest) {
  auto n = NewNode(false);
  n->InsertKey(0, Entry("a", 1).data());
  n->InsertKey(n->GetUsed(), Entry("bb", 2).data());
  n->InsertKey(n->GetUsed(), Entry("ccc", 3).data());
  const int32_t used = n->GetUsed();
  ASSERT_EQ(used, 14 + 15 + 16);
  EXPECT_EQ(n->UpdateKey(14, Entry("bbbbbb", 7).data()), 4);
  EXPECT_EQ(n->GetUsed(), used + 4);
  EXPECT_EQ(AddressAt(*n, 14), 7u);
  EXPECT_EQ(AddressAt(*n, 33), 3u);
  EXPECT_EQ(n->UpdateKey(14, Entry("b", 8).data()), -5);
  EXPECT_EQ(AddressAt(*n, 28), 3u);
  EXPECT_EQ(n->GetCount(), 3);
  for (int i = 16 + n->GetUsed(); i < 4096; ++i) ASSERT_EQ(n->Image()[i], 0) << i;
}

// On a database file a node writes back only the bytes changed since it was
// read or last written; after every kind of change a fresh read of the
// stored node equals the node's buffer, and a node never read (or changed
// wholesale) goes out whole.
class TPartRecorder : public TDiskIOInterface {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> Parts;  // offset, size
  int Whole = 0;
  bool WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size,
                      const void* data) override {
    Parts.emplace_back(offset, size);
    return TDiskIOInterface::WriteBlockPart(address, offset, size, data);
  }
  void WriteBlock(uint32_t address, uint32_t size, const void* data) override {
    ++Whole;
    TDiskIOInterface::WriteBlock(address, size, data);
  }
};

TEST_F(IndexNodeVariable, WritesBackOnlyWhatChanged) {
  TTestDatabase db;
  TPartRecorder io;
  SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
  TTestIndex ix(MakeLayout(ikMinStringLen), &io, true);
  auto open = [&](uint32_t address) {
    auto n = std::make_unique<TNode>();
    n->Open(&ix.Tree(), &io, 4096);
    n->ReadNode(address);
    return n;
  };
  const uint32_t address = io.AllocateNewAddress(4096, std::vector<uint8_t>(4096, 0).data());
  auto n = std::make_unique<TNode>();
  n->Open(&ix.Tree(), &io, 4096);
  n->SetAddress(address);
  n->SetLeaf(false);
  for (const char* k : {"a", "bb", "ccc", "dddd"})
    n->InsertKey(n->GetUsed(), Entry(k, static_cast<uint32_t>(std::strlen(k))).data());
  io.Whole = 0;
  n->WriteNode();
  EXPECT_EQ(io.Whole, 1);  // never read: whole
  EXPECT_TRUE(io.Parts.empty());

  auto sameAsStored = [&](const char* what) {
    auto fresh = open(address);
    EXPECT_EQ(std::memcmp(fresh->Image(), n->Image(), 4096), 0) << what;
  };
  n = open(address);
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"count", [&] { n->SetEntryCount(14, 77); }},
      {"insert", [&] { n->InsertKey(14, Entry("b", 9).data()); }},
      {"delete", [&] { n->DeleteKey(0); }},
      {"grow", [&] { n->UpdateKey(14, Entry("bbbbbbb", 5).data()); }},
      {"shrink", [&] { n->UpdateKey(14, Entry("b", 5).data()); }},
      {"link", [&] { n->SetNext(12345); }},
  };
  for (const auto& [what, change] : changes) {
    io.Parts.clear();
    io.Whole = 0;
    const int32_t usedBefore = n->GetUsed();
    change();
    n->WriteNode();
    ASSERT_EQ(io.Parts.size(), 1u) << what;
    EXPECT_EQ(io.Whole, 0) << what;
    // Never more than the header and the entries.
    EXPECT_LE(io.Parts[0].first + io.Parts[0].second,
              static_cast<uint32_t>(16 + std::max(usedBefore, n->GetUsed())))
        << what;
    sameAsStored(what);
    n->WriteNode();  // nothing left to write
    EXPECT_EQ(io.Parts.size(), 1u) << what;
  }
  EXPECT_EQ(io.Parts.back(), (std::pair<uint32_t, uint32_t>{8, 4}));  // the next link alone
  {
    // An entry replaced by one of its own length: that entry's bytes alone,
    // and the entries after it stay where they were.
    io.Parts.clear();
    const int32_t at = n->NextEntryStart(0);
    const int32_t after = n->NextEntryStart(at);
    const uint8_t* old = n->EntryAt(at);
    std::vector<uint8_t> same(old, old + (after - at));
    SetKeyEntryAddress(same.data(), 4242);
    const int count = n->GetCount();
    EXPECT_EQ(n->UpdateKey(at, same.data()), 0);
    n->WriteNode();
    EXPECT_EQ(io.Parts, (std::vector<std::pair<uint32_t, uint32_t>>{
                            {static_cast<uint32_t>(16 + at), static_cast<uint32_t>(after - at)}}));
    EXPECT_EQ(AddressAt(*n, at), 4242u);
    EXPECT_EQ(n->GetCount(), count);
    EXPECT_EQ(n->NextEntryStart(at), after);
    sameAsStored("same-length replace");
  }
  io.Parts.clear();
  n->SetEntryCount(0, 3);
  EXPECT_EQ(io.Parts.size(), 0u);
  n->WriteNode();
  // The count's four bytes alone (after the entry's length field).
  EXPECT_EQ(io.Parts, (std::vector<std::pair<uint32_t, uint32_t>>{{18, 4}}));
  sameAsStored("count of the first entry");
  io.Close();
}

// On a database file a node is copied out of the page cache in place, its
// header and entries only. The page's bytes past the entries (zero in a
// sound file, anything in a damaged one) never show in the node, and a node
// read after a fuller one, or after one loaded whole, keeps nothing of it.
class TPeekSwitch : public TDiskIOInterface {
 public:
  bool Peek = true;
  int Peeked = 0;
  const uint8_t* PeekBlock(uint32_t address, uint32_t size) override {
    if (!Peek) return nullptr;
    const uint8_t* p = TDiskIOInterface::PeekBlock(address, size);
    Peeked += p != nullptr;
    return p;
  }
};

TEST_F(IndexNode, ReadsOnlyTheEntriesOfACachedPage) {
  TTestDatabase db;
  TPeekSwitch io;
  SetUpTableInterface(io, db.Mgr(), kUsageIndex, 4096);
  TTestIndex ix(MakeLayout(ikFixed), &io, true);
  auto build = [&](int entries) {
    TNode n;
    n.Open(&ix.Tree(), &io, 4096);
    n.SetAddress(io.AllocateNewAddress(4096, std::vector<uint8_t>(4096, 0).data()));
    n.SetLeaf(true);
    Fill(n, entries);
    n.WriteNode();
    return n.Address();
  };
  const uint32_t full = build(39);
  const uint32_t small = build(2);
  // A damaged page: bytes past its two entries that a sound node never has.
  const uint32_t junk = build(2);
  io.WriteBlockPart(junk, 16 + 200, 8, "JUNKJUNK");
  auto tailIsZero = [](const TNode& n) {
    const uint8_t* img = n.Image();
    for (int32_t i = 16 + n.GetUsed(); i < 4096; ++i)
      if (img[i] != 0) return false;
    return true;
  };

  TNode reader;
  reader.Open(&ix.Tree(), &io, 4096);
  reader.ReadNode(full);
  EXPECT_EQ(reader.GetCount(), 39);
  reader.ReadNode(small);
  EXPECT_EQ(reader.GetCount(), 2);
  EXPECT_TRUE(tailIsZero(reader)) << "the fuller node read before leaves nothing behind";
  reader.ReadNode(junk);
  EXPECT_TRUE(tailIsZero(reader)) << "a page's bytes past its entries are not the node's";
  EXPECT_GT(io.Peeked, 0) << "a cached page is read in place";

  // Whole-page loads (where the page cannot be shown in place) bring the
  // junk in; the next in-place read clears it.
  io.Peek = false;
  reader.Forget();
  reader.ReadNode(junk);
  EXPECT_FALSE(tailIsZero(reader));
  io.Peek = true;
  reader.ReadNode(small);
  EXPECT_TRUE(tailIsZero(reader));

  // Grown after a fuller node was held and written back, the small node
  // reads back as it was written.
  reader.ReadNode(full);
  reader.ReadNode(small);
  Fill(reader, 3, 50);
  reader.SetLeaf(true);
  reader.WriteNode();
  io.Peek = false;
  TNode fresh;
  fresh.Open(&ix.Tree(), &io, 4096);
  fresh.ReadNode(small);
  EXPECT_EQ(fresh.GetCount(), 5);
  EXPECT_EQ(std::memcmp(fresh.Image(), reader.Image(), 4096), 0);
  EXPECT_TRUE(tailIsZero(fresh));
  io.Close();
}

TEST_F(IndexNodeVariable, SearchLandsOnRunsOfEqualKeys) {
  auto leaf = NewNode(true);
  // a, b, b, b, c
  for (const char* t : {"a", "b", "b", "b", "c"})
    leaf->InsertKey(leaf->GetUsed(), Entry(t, static_cast<uint32_t>(leaf->GetCount() + 1)).data());
  TOptimizedSearchKey key;
  auto search = [&](TNode& n, const char* text, bool afterEqual, int& r) {
    const std::vector<uint8_t> e = Entry(text, 0);
    key.SetDataFromKeyBuf(ix_.Tree().KeyFormat(), {}, e.data());
    int32_t pos = -1;
    r = n.SearchNode(0, key, afterEqual, pos);
    return pos >= n.GetUsed() ? 0u : AddressAt(n, pos);
  };
  int r;
  EXPECT_EQ(search(*leaf, "b", false, r), 2u) << "the first of the run";
  EXPECT_EQ(r, 0);
  EXPECT_EQ(search(*leaf, "b", true, r), 5u) << "the first after the run";
  EXPECT_LT(r, 0);
  EXPECT_EQ(search(*leaf, "bb", false, r), 5u);
  EXPECT_EQ(search(*leaf, "d", false, r), 0u) << "past the end";
  EXPECT_GT(r, 0);
  EXPECT_EQ(search(*leaf, "", false, r), 1u);
  // An inner node picks the entry before: the last child whose first key is
  // below the key (or not above it, afterEqual), else the first.
  auto inner = NewNode(false);
  for (const char* t : {"a", "b", "b", "c"})
    inner->InsertKey(inner->GetUsed(),
                     Entry(t, static_cast<uint32_t>(inner->GetCount() + 1)).data());
  EXPECT_EQ(search(*inner, "b", false, r), 1u);
  EXPECT_EQ(search(*inner, "b", true, r), 3u);
  EXPECT_EQ(search(*inner, "0", false, r), 1u);
  EXPECT_EQ(search(*inner, "z", true, r), 4u);
}

}  // namespace
}  // namespace tav::test

#include "engine/storage/index/index_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/storage_test_support.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::TTableFieldDesc;
using test::TTableIndexDesc;

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 20}, {"QTY", host::ftInteger}};
const std::vector<TTableIndexDesc> kIndexes = {{"ById", "ID", true},
                                               {"ByName", "NAME", false, false, true},
                                               {"ByQty", "QTY;ID", true, false, false, true}};

// One table's index blocks and header in memory, with a definition whose
// records the tests build by hand.
class IndexManagerTest : public ::testing::Test {
 protected:
  IndexManagerTest() : def_(nullptr) {
    headerIO_.SetBlockSize(4096);
    headerIO_.SetUsage(kUsageTableHeader);
    headerIO_.Open();
    const std::vector<uint8_t> zero(kTableDirectorySize, 0);
    headers_.SetBaseAddress(headerIO_.AllocateNewAddress(kTableDirectorySize, zero.data()));
    headers_.Open(&headerIO_);
    header_ = headers_.OpenTable(headers_.AddTable(4));
    indexIO_.SetBlockSize(kIndexPageSize);
    indexIO_.SetUsage(kUsageIndex);
    indexIO_.Open();
    test::BuildTableDef(def_, "T", true, kFields, kIndexes);
  }

  // A manager over the blocks and the header, with the definition's indexes.
  void SetUpManager(TIndexManager& m, const TTableDef& def) {
    m.SetIOInterface(&indexIO_);
    m.SetTableHeader(header_);
    m.SetDBStringCompareFunction(DBANSICompareStrings);
    m.Assign(def.InternalIndexDefs());
    m.AssignKeyFields(def.KeyFields());
  }

  void CreateAndOpen(TIndexManager& m) {
    SetUpManager(m, def_);
    m.CreateIndexes();
    m.Open();
  }

  std::vector<uint8_t> Record(int32_t id, const std::string& name, int32_t qty) {
    const TInternalFields& f = def_.InternalFields();
    std::vector<uint8_t> rec(static_cast<size_t>(f.RecordSize()), 0);
    rec[0] = 1;
    const uint32_t no = static_cast<uint32_t>(id) + 1;
    std::memcpy(rec.data() + test::kRecLogicalNo, &no, 4);
    const TInternalFieldItem* idf = f.FindField("ID");
    const TInternalFieldItem* nf = f.FindField("NAME");
    const TInternalFieldItem* qf = f.FindField("QTY");
    rec[idf->NullFlagOffset()] = 1;
    std::memcpy(rec.data() + idf->DataOffset(), &id, 4);
    rec[nf->NullFlagOffset()] = 1;
    const uint16_t len = static_cast<uint16_t>(name.size());
    std::memcpy(rec.data() + nf->SizeMarkerOffset(), &len, 2);
    std::memcpy(rec.data() + nf->DataOffset(), name.data(), name.size());
    rec[qf->NullFlagOffset()] = 1;
    std::memcpy(rec.data() + qf->DataOffset(), &qty, 4);
    return rec;
  }

  // Record i goes to address 1000 + i in every index.
  void Fill(TIndexManager& m, int count) {
    for (int i = 0; i < count; ++i) {
      const std::vector<uint8_t> rec = Record(i, "Name " + std::to_string(i % 13), i % 7);
      for (int k = 0; k < m.Count(); ++k) {
        m.Items(k)->CreateKeyBuffer(rec.data());
        ASSERT_EQ(m.Items(k)->InsertKey(1000 + static_cast<uint32_t>(i)), 0);
      }
    }
    m.WriteIndexHeaders();
  }

  // The record addresses of one index in key order, after checking its tree.
  static std::vector<uint32_t> Entries(TIndexItem& item) {
    const test::TTreeCheckResult r = test::TTreeChecker(item.Tree(), true).Run();
    EXPECT_EQ(r.Error, "") << item.IndexName();
    return r.Addresses;
  }

  TMemoryIOInterface headerIO_;
  TTableHeaderMgr headers_;
  TTableHeader* header_ = nullptr;
  TMemoryIOInterface indexIO_;
  TTableDef def_;
};

TEST_F(IndexManagerTest, IndexesLiveInTheirHeaderSlots) {
  TIndexManager m;
  CreateAndOpen(m);
  EXPECT_EQ(m.VisibleIndexCount(), 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NE(header_->GetIndexRoot(k), 0u);
    EXPECT_EQ(header_->GetIndexDepth(k), 1);
  }
  Fill(m, 600);
  // The trees grew: the header holds the depths the trees reached.
  EXPECT_GT(header_->GetIndexDepth(0), 1);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(header_->GetIndexRoot(k), m.Items(k)->Root());
    EXPECT_EQ(header_->GetIndexDepth(k), m.Items(k)->Depth());
    EXPECT_EQ(Entries(*m.Items(k)).size(), 600u);
  }

  // A second manager over the same header sees the same indexes.
  TIndexManager other;
  SetUpManager(other, def_);
  other.Open();
  TIndexItem& qty = *other.FindIndex("byqty");
  std::vector<uint8_t> rec = Record(0, "", 6);
  qty.CreateKeyBuffer(rec.data());
  TSearchModifier firstField;
  firstField.SetLimitedSearch(true);
  firstField.SetIncludedKeyFieldCount(1);
  ASSERT_EQ(qty.PartialIndexSearch(stEQ, &firstField), 0);
  // Descending on QTY: the sixes come first, then the fives.
  EXPECT_EQ(qty.GetRecordNo(), 1);
  int sixes = 0;
  do ++sixes;
  while (qty.NextKey() && qty.CompareKeyToCurrentKey(1, qty.Tree().KeyBuf()) == 0);
  EXPECT_EQ(sixes, 85);
  EXPECT_EQ(qty.GetRecordCount(), 600);
  const uint32_t tenth = qty.SetRecordNo(10);
  qty.CreateKeyBuffer(Record(static_cast<int32_t>(tenth - 1000), "", 6).data());
  ASSERT_EQ(qty.FullIndexSearch(stEQ), 0);
  EXPECT_EQ(qty.GetRecordNo(), 10);
  EXPECT_TRUE(qty.MoveBy(5));
  EXPECT_EQ(qty.GetRecordNo(), 15);
  EXPECT_TRUE(qty.MoveBy(-14));
  EXPECT_EQ(qty.GetRecordNo(), 1);
  EXPECT_FALSE(qty.MoveBy(-1));
  EXPECT_FALSE(qty.MoveBy(1000));

  // Finding indexes by name and by leading fields.
  EXPECT_EQ(other.FindIndex("BYNAME"), other.Items(1));
  EXPECT_EQ(other.FindIndex("none"), nullptr);
  host::TStringList fields;
  fields.Add("qty");
  EXPECT_EQ(other.FindIndexForFields(fields, false), other.Items(2));
  fields.Add("id");
  EXPECT_EQ(other.FindIndexForFields(fields, true), other.Items(2));
  fields.Add("name");
  EXPECT_EQ(other.FindIndexForFields(fields, false), nullptr);
  host::TStringList names;
  names.Add("NAME");
  EXPECT_EQ(other.FindIndexForFields(names, false), other.Items(1));
  EXPECT_EQ(other.FindIndexForFields(names, true), nullptr);  // case-insensitive key
  other.SetCurrentIndexName("ById");
  EXPECT_EQ(other.CurrentIndex(), other.Items(0));
  other.SetCurrentIndexName("Gone");
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { other.CurrentIndex(); }, &text), 9997);
  EXPECT_NE(text.find("Gone"), std::string::npos);
}

TEST_F(IndexManagerTest, DroppingAnIndexMovesTheOthersDownASlot) {
  TIndexManager m;
  CreateAndOpen(m);
  Fill(m, 500);
  const std::vector<uint32_t> names = Entries(*m.Items(1));
  const std::vector<uint32_t> qtys = Entries(*m.Items(2));
  const uint32_t nameRoot = m.Items(1)->Root();
  const uint32_t qtyRoot = m.Items(2)->Root();
  const int blocksBefore = indexIO_.BlockCount();
  const int idBlocks = static_cast<int>(test::TTreeChecker(m.Items(0)->Tree(), true).Run().Nodes);

  EXPECT_EQ(ErrorCodeOf([&] { m.DropIndex("Missing"); }), 9997);
  m.DropIndex("byid");
  EXPECT_EQ(m.Count(), 2);
  EXPECT_EQ(m.VisibleIndexCount(), 2);
  EXPECT_EQ(indexIO_.BlockCount(), blocksBefore - idBlocks);
  // Slots follow positions; the slot left over names no freed tree.
  EXPECT_EQ(m.Items(0)->IndexSequence(), 0);
  EXPECT_EQ(m.Items(1)->IndexSequence(), 1);
  EXPECT_EQ(header_->GetIndexRoot(0), nameRoot);
  EXPECT_EQ(header_->GetIndexRoot(1), qtyRoot);
  EXPECT_EQ(header_->GetIndexRoot(2), 0u);
  EXPECT_EQ(header_->GetIndexDepth(2), 0);

  // Reopened from the header with the definitions in their new places, the
  // indexes hold what they held.
  TTableDef after(nullptr);
  test::BuildTableDef(after, "T", true, kFields, {kIndexes[1], kIndexes[2]});
  TIndexManager reopened;
  SetUpManager(reopened, after);
  reopened.Open();
  EXPECT_EQ(Entries(*reopened.FindIndex("ByName")), names);
  EXPECT_EQ(Entries(*reopened.FindIndex("ByQty")), qtys);
}

// The current index is remembered between calls: whatever changes which
// item the name finds must be seen by the next call.
TEST_F(IndexManagerTest, CurrentIndexFollowsEveryChangeOfNameOrItems) {
  TIndexManager m;
  CreateAndOpen(m);
  m.SetCurrentIndexName("byname");
  ASSERT_EQ(m.CurrentIndex(), m.Items(1));
  EXPECT_EQ(m.CurrentIndex(), m.Items(1));
  m.SetCurrentIndexName("ByQty");
  EXPECT_EQ(m.CurrentIndex(), m.Items(2));

  // The item renamed away, another renamed to the name.
  m.Items(2)->SetIndexName("Renamed");
  EXPECT_EQ(m.FindCurrentIndex(), nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { m.CurrentIndex(); }), 9997);
  m.Items(0)->SetIndexName("BYQTY");
  EXPECT_EQ(m.CurrentIndex(), m.Items(0));
  m.Items(0)->SetIndexName("ById");
  m.Items(2)->SetIndexName("ByQty");
  EXPECT_EQ(m.CurrentIndex(), m.Items(2));

  // The item dropped: the name finds nothing, and no freed item is handed out.
  m.DropIndex("ByQty");
  EXPECT_EQ(m.FindCurrentIndex(), nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { m.CurrentIndex(); }), 9997);

  // Items made again from the definitions, in one update: the new item.
  m.SetCurrentIndexName("ById");
  TIndexItem* before = m.CurrentIndex();
  m.Assign(def_.InternalIndexDefs());
  ASSERT_EQ(m.Count(), 3);
  EXPECT_NE(m.CurrentIndex(), nullptr);
  EXPECT_EQ(m.CurrentIndex(), m.Items(0));
  (void)before;

  // Moved in the list, an earlier item of the same name (without regard to
  // case) is the one found.
  m.Items(2)->SetIndexName("byid");
  m.Items(2)->SetIndex(0);
  EXPECT_EQ(m.CurrentIndex()->IndexName(), "byid");
  m.Close();
  EXPECT_EQ(m.FindCurrentIndex(), nullptr);
}

TEST_F(IndexManagerTest, AddingAnIndexChecksEverythingFirst) {
  TIndexManager m;
  CreateAndOpen(m);
  Fill(m, 50);
  TTableDef wider(nullptr);
  test::BuildTableDef(wider, "T", true, kFields,
                      {kIndexes[0], kIndexes[1], kIndexes[2], {"ByQtyOnly", "QTY"}});
  const TInternalIndexDef& def = *wider.InternalIndexDefs().Items(3);
  const int blocks = indexIO_.BlockCount();

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(*wider.InternalIndexDefs().Items(1), wider.KeyFields()); },
                        &text),
            10027);
  EXPECT_NE(text.find("aInternalIndexDef.IndexName"), std::string::npos);

  // A string key field without its length marker.
  TKeyFields broken;
  broken.Assign(wider.KeyFields());
  TInternalIndexDef stringIndex;
  stringIndex.Assign(def);
  stringIndex.SetIndexName("ByNameAgain");
  for (int k = 0; k < broken.Count(); ++k)
    if (broken.Items(k)->IndexName() == "ByName") {
      broken.Items(k)->SetIndexName("ByNameAgain");
      broken.Items(k)->SetSizeMarkerOffset(0);
    }
  EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(stringIndex, broken); }, &text), 8581);
  EXPECT_NE(text.find("KeyBuffers invalid"), std::string::npos);
  // No key fields at all.
  TKeyFields none;
  EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(def, none); }), 8581);
  // A slot another index has, or one the header lacks.
  TInternalIndexDef taken;
  taken.Assign(def);
  taken.SetIndexSequence(1);
  EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(taken, wider.KeyFields()); }), 8581);
  taken.SetIndexSequence(4);
  EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(taken, wider.KeyFields()); }), 8581);
  EXPECT_EQ(m.Count(), 3);
  EXPECT_EQ(indexIO_.BlockCount(), blocks);

  m.AddIndex(def, wider.KeyFields());
  EXPECT_EQ(m.Count(), 4);
  EXPECT_EQ(m.VisibleIndexCount(), 4);
  TIndexItem& added = *m.FindIndex("ByQtyOnly");
  EXPECT_TRUE(added.IsOpen());
  EXPECT_EQ(added.KeyFields().Count(), 2);  // QTY and the hidden record number
  EXPECT_EQ(header_->GetIndexRoot(3), added.Root());
  EXPECT_EQ(added.GetRecordCount(), 0);
  added.CreateKeyBuffer(Record(1, "x", 3).data());
  EXPECT_EQ(added.InsertKey(77), 0);
  EXPECT_EQ(added.GetRecordCount(), 1);
}

TEST_F(IndexManagerTest, EmptyingOneIndexLeavesTheOthers) {
  TIndexManager m;
  CreateAndOpen(m);
  Fill(m, 400);
  const uint32_t root = m.Items(1)->Root();
  EXPECT_EQ(ErrorCodeOf([&] { m.EmptyIndex("nope"); }), 9997);
  m.EmptyIndex("ByName");
  EXPECT_EQ(m.Items(1)->GetRecordCount(), 0);
  EXPECT_NE(header_->GetIndexRoot(1), root);  // a new root, the old tree freed
  EXPECT_EQ(header_->GetIndexDepth(1), 1);
  EXPECT_EQ(Entries(*m.Items(0)).size(), 400u);
  EXPECT_EQ(Entries(*m.Items(2)).size(), 400u);
}

TEST_F(IndexManagerTest, KeyFieldsAreDistributedWholeOrNotAtAll) {
  TIndexManager m;
  m.Assign(def_.InternalIndexDefs());
  TKeyFields keys;
  keys.Assign(def_.KeyFields());
  keys.Add()->Assign(*keys.Items(0));
  keys.Items(keys.Count() - 1)->SetIndexName("Elsewhere");
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { m.AssignKeyFields(keys); }, &text), 9997);
  EXPECT_NE(text.find("Elsewhere"), std::string::npos);
  for (int k = 0; k < m.Count(); ++k) EXPECT_EQ(m.Items(k)->KeyFields().Count(), 0);

  // An index that gets no field.
  keys.Assign(def_.KeyFields());
  for (int k = keys.Count() - 1; k >= 0; --k)
    if (keys.Items(k)->IndexName() == "ByName") keys.Delete(k);
  EXPECT_EQ(ErrorCodeOf([&] { m.AssignKeyFields(keys); }, &text), 8581);
  EXPECT_NE(text.find("KeyBuffers invalid"), std::string::npos);
  for (int k = 0; k < m.Count(); ++k) EXPECT_EQ(m.Items(k)->KeyFields().Count(), 0);

  m.AssignKeyFields(def_.KeyFields());
  EXPECT_EQ(m.Items(0)->KeyFields().Count(), 1);
  EXPECT_EQ(m.Items(1)->KeyFields().Count(), 2);
  EXPECT_EQ(m.Items(1)->KeyFields().DataOffset(), 1);
}

TEST_F(IndexManagerTest, OpeningRefusesWhatItCannotWorkWith) {
  TIndexManager m;
  SetUpManager(m, def_);
  m.SetDBStringCompareFunction(nullptr);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Sort function not assinged"), std::string::npos);
  m.SetDBStringCompareFunction(DBANSICompareStrings);
  // Slots never given a root.
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &text), 8581);
  EXPECT_NE(text.find("Not initialized"), std::string::npos);

  TIndexManager noIO;
  noIO.Assign(def_.InternalIndexDefs());
  EXPECT_EQ(ErrorCodeOf([&] { noIO.Items(0)->CreateIndex(); }, &text), 8581);
  EXPECT_NE(text.find("IO Interface is unassigned"), std::string::npos);
  EXPECT_THROW(noIO.ReadIndexHeaders(false), host::EAssertionFailed);

  // Root and depth come from storage: a slot that cannot be a tree's.
  m.CreateIndexes();
  header_->SetIndexDepth(1, 0);
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }), 8965);
  header_->SetIndexDepth(1, 200);
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }), 8965);
  header_->SetIndexDepth(1, 1);
  m.Items(2)->SetIndexSequence(9);  // beyond the header's four slots
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }), 8581);
  m.Items(2)->SetIndexSequence(2);
  m.Open();
  EXPECT_EQ(m.VisibleIndexCount(), 3);
  // A root that is no node of the tree's blocks.
  header_->SetIndexRoot(0, 12345);
  m.ReadIndexHeaders(true);
  m.Items(0)->CreateKeyBuffer(Record(1, "a", 1).data());
  EXPECT_NE(ErrorCodeOf([&] { m.Items(0)->FullIndexSearch(stEQ); }), 0);
}

TEST(InternalIndexDefs, CopiesAndFindsByNameWithoutCase) {
  TInternalIndexDefs defs;
  TInternalIndexDef* d = defs.Add();
  d->SetIndexName("Primary");
  d->SetUnique(true);
  d->SetPrimary(true);
  d->SetHidden(true);
  d->SetMaintained(true);
  d->SetMemory(true);
  d->SetIndexPageSize(4096);
  d->SetMaximumKeySize(20);
  d->SetKeyDataOffset(1);
  d->SetIndexSequence(3);
  d->SetIndexKeyType(ikMinStringLen);
  TInternalIndexDefs copy;
  copy.Assign(defs);
  TInternalIndexDef* c = copy.FindIndexDef("PRIMARY");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->Unique() && c->Primary() && c->Hidden() && c->Maintained() && c->Memory());
  EXPECT_EQ(c->IndexPageSize(), 4096u);
  EXPECT_EQ(c->MaximumKeySize(), 20);
  EXPECT_EQ(c->KeyDataOffset(), 1);
  EXPECT_EQ(c->IndexSequence(), 3);
  EXPECT_EQ(c->IndexKeyType(), ikMinStringLen);
  EXPECT_EQ(copy.FindIndexDef("Secondary"), nullptr);

  // An item takes a definition's properties and drops its key fields; from
  // another item it takes the fields and the tree's place too.
  TIndexManager m;
  TIndexItem* item = m.Add();
  item->KeyFields().Add()->SetFieldName("X");
  item->Assign(*c);
  EXPECT_EQ(item->IndexName(), "Primary");
  EXPECT_EQ(item->IndexSequence(), 3);
  EXPECT_EQ(item->KeyFields().Count(), 0);
  item->KeyFields().Add()->SetFieldName("Y");
  item->SetRoot(4242);
  item->SetDepth(2);
  TIndexItem* twin = m.Add();
  twin->Assign(*item);
  EXPECT_EQ(twin->Root(), 4242u);
  EXPECT_EQ(twin->Depth(), 2u);
  ASSERT_EQ(twin->KeyFields().Count(), 1);
  EXPECT_EQ(twin->KeyFields().Items(0)->FieldName(), "Y");
}

}  // namespace
}  // namespace tav

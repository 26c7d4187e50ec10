#include "host/db/data_set.h"

#include <gtest/gtest.h>

#include "host/classes/component_text.h"
#include "host/classes/prop_table.h"
#include "host/db/connection.h"
#include "host/db/data_source.h"
#include "host/db/fields.h"
#include "host/db/params.h"
#include "host/db/testing/array_dataset.h"

namespace host {
namespace {

using testing::TArrayDataSet;

// A dataset of (ID integer, NAME string(10)) with n rows 1..n.
std::unique_ptr<TArrayDataSet> MakeNumbers(int n, TComponent* owner = nullptr) {
  auto ds = std::make_unique<TArrayDataSet>(owner);
  ds->FieldDefs().Add("ID", ftInteger, 0, true);
  ds->FieldDefs().Add("NAME", ftString, 10);
  ds->Open();
  for (int i = 1; i <= n; ++i) ds->AppendRecord({Variant(i), Variant("n" + std::to_string(i))});
  ds->First();
  return ds;
}

// A link that asks a dataset for a ring of `size` buffers.
struct Ring {
  TDataSource source{nullptr};
  TDataLink link;
  Ring(TDataSet& ds, int size) {
    source.SetDataSet(&ds);
    link.SetBufferCount(size);
    link.SetDataSource(&source);
  }
};

// Records every event and state change of a dataset.
struct EventLog {
  std::vector<std::string> lines;
  TDataSource source{nullptr};
  explicit EventLog(TDataSet& ds) {
    auto add = [this](const char* name) {
      return [this, name](TDataSet*) { lines.push_back(name); };
    };
    ds.BeforeOpen = add("BeforeOpen");
    ds.AfterOpen = add("AfterOpen");
    ds.BeforeClose = add("BeforeClose");
    ds.AfterClose = add("AfterClose");
    ds.BeforeInsert = add("BeforeInsert");
    ds.AfterInsert = add("AfterInsert");
    ds.BeforeEdit = add("BeforeEdit");
    ds.AfterEdit = add("AfterEdit");
    ds.BeforePost = add("BeforePost");
    ds.AfterPost = add("AfterPost");
    ds.BeforeCancel = add("BeforeCancel");
    ds.AfterCancel = add("AfterCancel");
    ds.BeforeDelete = add("BeforeDelete");
    ds.AfterDelete = add("AfterDelete");
    ds.BeforeScroll = add("BeforeScroll");
    ds.AfterScroll = add("AfterScroll");
    ds.BeforeRefresh = add("BeforeRefresh");
    ds.AfterRefresh = add("AfterRefresh");
    ds.OnNewRecord = add("OnNewRecord");
    source.OnStateChange = [this, &ds](TObject*) {
      static const char* names[] = {"inactive", "browse", "edit",     "insert", "setkey",
                                    "calc",     "filter", "newvalue", "opening"};
      lines.push_back(std::string("state:") + names[ds.State()]);
    };
    source.SetDataSet(&ds);
    lines.clear();
  }
  std::string Take() {
    std::string out;
    for (auto& l : lines) out += (out.empty() ? "" : " ") + l;
    lines.clear();
    return out;
  }
};

TEST(DataSet, OpenAndCloseRunTheirStepsInOrder) {
  TArrayDataSet ds;
  ds.FieldDefs().Add("ID", ftInteger);
  EventLog log(ds);
  ds.Open();
  EXPECT_EQ(log.Take(), "BeforeOpen state:opening state:browse AfterOpen");
  // InternalOpen runs before the ring's buffers are made (their size is known
  // only then): one buffer plus the fetch buffer.
  EXPECT_EQ(ds.log, (std::vector<std::string>{"InternalOpen", "Alloc", "Alloc"}));
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.BOF() && ds.Eof());
  ds.Close();
  EXPECT_EQ(log.Take(), "BeforeClose state:inactive AfterClose");
  EXPECT_EQ(ds.FieldCount(), 0);  // default fields go with the cursor
}

TEST(DataSet, OpeningANonEmptyDataSetScrollsAfterOpen) {
  auto ds = MakeNumbers(2);
  ds->Close();
  EventLog log(*ds);
  ds->Open();
  EXPECT_EQ(log.Take(), "BeforeOpen state:opening state:browse AfterOpen AfterScroll");
  EXPECT_TRUE(ds->BOF());
  EXPECT_FALSE(ds->Eof());
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 1);
}

TEST(DataSet, AFailedOpenLeavesNoDefaultFieldsBehind) {
  TArrayDataSet ds;
  ds.FieldDefs().Add("ID", ftInteger);
  ds.FieldDefs().Add("X", ftADT);
  try {
    ds.Open();
    FAIL();
  } catch (EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'X' is of an unknown type");
  }
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 0);
  ds.FieldDefs().Delete(1);
  ds.Open();
  EXPECT_TRUE(ds.DefaultFields());
}

TEST(DataSet, HandledExceptionsGoToTheApplication) {
  struct TRaising : TArrayDataSet {
    void Run() {
      try {
        DatabaseError("lost");
      } catch (...) {
        InternalHandleException();
      }
    }
  } ds;
  std::string seen;
  ApplicationHandleException = [&](TObject* sender, std::exception& e) {
    EXPECT_EQ(sender, &ds);
    seen = e.what();
  };
  ds.Run();
  ApplicationHandleException = nullptr;
  EXPECT_EQ(seen, "lost");
  ds.Run();  // without a handler the error is dropped
}

TEST(DataSet, EditInsertPostCancelDeleteRefreshRunTheirStepsInOrder) {
  auto ds = MakeNumbers(3);
  EventLog log(*ds);
  ds->log.clear();
  ds->Edit();
  EXPECT_EQ(log.Take(), "BeforeEdit state:edit AfterEdit");
  ds->FieldByName("NAME")->SetAsString("x");
  ds->Post();
  EXPECT_EQ(log.Take(), "BeforePost state:browse AfterPost");
  ds->Insert();
  EXPECT_EQ(log.Take(), "BeforeInsert state:insert OnNewRecord AfterInsert");
  ds->Cancel();
  EXPECT_EQ(log.Take(), "BeforeCancel state:browse AfterCancel");
  ds->Delete();
  EXPECT_EQ(log.Take(), "BeforeDelete BeforeScroll AfterDelete AfterScroll");
  ds->Refresh();
  EXPECT_EQ(log.Take(), "BeforeRefresh AfterRefresh");
  ds->Next();
  EXPECT_EQ(log.Take(), "BeforeScroll AfterScroll");
  EXPECT_EQ(ds->log, (std::vector<std::string>{"InternalEdit", "InternalPost", "InternalInsert",
                                               "InternalDelete", "InternalRefresh"}));
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(DataSet, RefusedTransitionsRaiseTheirErrors) {
  TArrayDataSet closed;
  closed.FieldDefs().Add("ID", ftInteger);
  closed.SetName("Orders");
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (EDatabaseError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { closed.Edit(); }),
            "Orders: Cannot perform this operation on a closed dataset");
  EXPECT_THROW(closed.Delete(), EDatabaseError);
  EXPECT_THROW(closed.Next(), EDatabaseError);
  auto ds = MakeNumbers(0);
  EXPECT_EQ(message([&] { ds->Delete(); }), "Cannot perform this operation on an empty dataset");
  EXPECT_EQ(message([&] { ds->FieldByName("ID")->SetAsInteger(1); }),
            "Dataset not in edit or insert mode");
  EXPECT_EQ(message([&] { ds->Post(); }), "Dataset not in edit or insert mode");
  EXPECT_THROW(ds->FieldByName("ID")->SetAsInteger(1), EDatabaseError);  // not editing
  EXPECT_THROW(ds->FieldDefs().Add("id", ftInteger), EDatabaseError);    // duplicate name
  ds->read_only = true;
  EXPECT_EQ(message([&] { ds->Insert(); }), "Cannot modify a read-only dataset");
  EXPECT_THROW(ds->Append(), EDatabaseError);
  EXPECT_THROW(ds->FieldByName("NOPE"), EDatabaseError);
  TField* f = ds->FieldByName("ID");
  EXPECT_THROW(f->SetDataSet(nullptr), EDatabaseError);  // the dataset is open
}

TEST(DataSet, PostErrorEventsRetryAbortAndFail) {
  auto ds = MakeNumbers(2);
  int calls = 0;
  TDataAction answer = daRetry;
  ds->OnPostError = [&](TDataSet*, EDatabaseError& e, TDataAction& action) {
    EXPECT_EQ(e.Message(), "Key violation");
    ++calls;
    action = answer;
  };
  // Retry: the post runs again and succeeds.
  ds->fail_posts = 2;
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("r");
  ds->Post();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "r");
  // Abort: a silent exception, the record stays in edit.
  answer = daAbort;
  ds->fail_posts = 1;
  ds->Edit();
  EXPECT_THROW(ds->Post(), EAbort);
  EXPECT_EQ(ds->State(), dsEdit);
  ds->Cancel();
  // Fail: the error itself.
  answer = daFail;
  ds->fail_deletes = 1;
  ds->OnDeleteError = ds->OnPostError;
  ds->OnDeleteError = [&](TDataSet*, EDatabaseError&, TDataAction& action) { action = daFail; };
  EXPECT_THROW(ds->Delete(), EDatabaseError);
  EXPECT_EQ(ds->RecordCount(), 2);
  ds->fail_edits = 1;
  ds->OnEditError = [&](TDataSet*, EDatabaseError&, TDataAction& action) { action = daRetry; };
  ds->Edit();
  EXPECT_EQ(ds->State(), dsEdit);
}

// Scrolling over datasets smaller than, equal to and larger than the ring.
TEST(DataSet, ScrollsBothWaysWhateverTheRingSize) {
  struct Case {
    int rows, ring;
  };
  for (Case c : {Case{0, 3}, Case{1, 1}, Case{2, 5}, Case{5, 5}, Case{12, 3}, Case{12, 1}}) {
    SCOPED_TRACE("rows " + std::to_string(c.rows) + " ring " + std::to_string(c.ring));
    auto ds = MakeNumbers(c.rows);
    Ring ring(*ds, c.ring);
    EXPECT_EQ(ds->BufferCount(), c.ring);
    ds->First();
    std::vector<int> forward;
    while (!ds->Eof()) {
      forward.push_back(ds->FieldByName("ID")->AsInteger());
      EXPECT_EQ(ds->RecNo(), forward.back());
      ds->Next();
    }
    std::vector<int> backward;
    ds->Last();
    while (!ds->BOF()) {
      backward.push_back(ds->FieldByName("ID")->AsInteger());
      ds->Prior();
    }
    ASSERT_EQ(static_cast<int>(forward.size()), c.rows);
    ASSERT_EQ(static_cast<int>(backward.size()), c.rows);
    for (int i = 0; i < c.rows; ++i) {
      EXPECT_EQ(forward[i], i + 1);
      EXPECT_EQ(backward[i], c.rows - i);
    }
    if (c.rows > 4) {
      ds->First();
      EXPECT_EQ(ds->MoveBy(4), 4);
      EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 5);
      EXPECT_EQ(ds->MoveBy(-3), -3);
      EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 2);
      EXPECT_EQ(ds->MoveBy(-5), -1);
      EXPECT_TRUE(ds->BOF());
    }
  }
}

TEST(DataSet, ARingThatShrinksKeepsTheActiveRecord) {
  auto ds = MakeNumbers(8);
  Ring ring(*ds, 5);
  TDataLink& link = ring.link;
  ds->MoveBy(3);
  EXPECT_EQ(ds->ActiveRecord(), 3);
  link.SetBufferCount(2);
  EXPECT_EQ(ds->BufferCount(), 2);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 4);
  ds->Next();
  ds->Next();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 6);
  ds->MoveBy(-4);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 2);
  link.SetBufferCount(6);  // grows and fills forwards
  EXPECT_EQ(ds->BufferRecordCount(), 6);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 2);
  link.SetDataSource(nullptr);
  EXPECT_EQ(ds->BufferCount(), 1);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 2);
}

TEST(DataSet, ResyncBookmarksAndRecNoKeepTheirRecord) {
  auto ds = MakeNumbers(10);
  Ring ring(*ds, 4);
  ds->MoveBy(6);
  TBookmark mark = ds->GetBookmark();
  ASSERT_EQ(mark.size(), 4u);
  EXPECT_TRUE(ds->BookmarkValid(mark));
  ds->Resync({});
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 7);
  // An exact resync reads the record under the cursor: put it there first.
  ds->UpdateCursorPos();
  ds->Resync({rmExact, rmCenter});
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 7);
  ds->First();
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 7);
  EXPECT_EQ(ds->RecNo(), 7);
  ds->SetRecNo(3);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 3);
  TBookmark other = ds->GetBookmark();
  EXPECT_EQ(ds->CompareBookmarks(mark, mark), 0);
  EXPECT_EQ(ds->CompareBookmarks(mark, other), 1);
  EXPECT_EQ(ds->CompareBookmarks(other, mark), 1);
  EXPECT_EQ(ds->CompareBookmarks({}, {}), 0);
  // Deleting the record makes its bookmark invalid.
  ds->GotoBookmark(mark);
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(mark));
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 8);
  EXPECT_THROW(ds->GotoBookmark(mark), EDatabaseError);
}

TEST(DataSet, InsertGoesBeforeTheActiveRecordAndAppendAtTheEnd) {
  auto ds = MakeNumbers(3);
  ds->Next();  // on 2
  ds->InsertRecord({Variant(20), Variant("i")});
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 20);
  ds->Append();
  ds->FieldByName("ID")->SetAsInteger(30);
  ds->Post();
  std::vector<int> ids;
  for (ds->First(); !ds->Eof(); ds->Next()) ids.push_back(ds->FieldByName("ID")->AsInteger());
  EXPECT_EQ(ids, (std::vector<int>{1, 20, 2, 3, 30}));
}

TEST(DataSet, InsertAndCancelInAFullRingRestoreTheWindow) {
  auto ds = MakeNumbers(10);
  Ring ring(*ds, 3);
  ds->MoveBy(4);  // on 5
  ds->Insert();
  EXPECT_TRUE(ds->FieldByName("ID")->IsNull());
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 5);
  ds->Next();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 6);
  ds->Append();
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 10);
  EXPECT_EQ(ds->RecordCount(), 10);
  // Edit on an empty dataset inserts.
  auto empty = MakeNumbers(0);
  empty->Edit();
  EXPECT_EQ(empty->State(), dsInsert);
  empty->FieldByName("ID")->SetAsInteger(1);
  empty->Post();
  EXPECT_EQ(empty->RecordCount(), 1);
  EXPECT_FALSE(empty->IsEmpty());
}

TEST(DataSet, DeletingEveryRecordLeavesAnEmptyDataSet) {
  auto ds = MakeNumbers(4);
  ds->Last();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 3) << "the last goes: its predecessor is active";
  ds->First();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 2) << "otherwise its successor";
  ds->Delete();
  ds->Delete();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->BOF() && ds->Eof());
  EXPECT_TRUE(ds->FieldByName("ID")->IsNull());
  EXPECT_TRUE(ds->GetBookmark().empty());
  ds->First();
  ds->Next();
  EXPECT_TRUE(ds->Eof());
}

TEST(DataSet, RequiredCheckSkipsCalculatedReadOnlyAndAutoIncFields) {
  TArrayDataSet ds;
  ds.FieldDefs().Add("ID", ftAutoInc, 0, true);
  ds.FieldDefs().Add("A", ftInteger, 0, true);
  ds.FieldDefs().Add("B", ftInteger, 0, true);
  TIntegerField a(nullptr), b(nullptr);
  TAutoIncField id(nullptr);
  id.SetFieldName("ID");
  id.SetRequired(true);
  a.SetFieldName("A");
  a.SetRequired(true);
  b.SetFieldName("B");
  b.SetRequired(true);
  b.SetReadOnly(true);
  TIntegerField calc(nullptr);
  calc.SetFieldName("C");
  calc.SetCalculated(true);
  calc.SetRequired(true);
  for (TField* f : {static_cast<TField*>(&id), static_cast<TField*>(&a), static_cast<TField*>(&b),
                    static_cast<TField*>(&calc)})
    f->SetDataSet(&ds);
  ds.Open();
  ds.Append();
  try {
    ds.Post();
    FAIL() << "A is required";
  } catch (EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'A' must have a value");
  }
  a.SetAsInteger(1);
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
  // Read-only fields refuse writes except in set-key and filter states.
  ds.Edit();
  EXPECT_THROW(b.SetAsInteger(2), EDatabaseError);
  ds.Cancel();
  {
    TTempStateGuard key(ds, dsSetKey);
    b.SetAsInteger(2);
    EXPECT_EQ(b.AsInteger(), 2);
  }
  EXPECT_EQ(ds.State(), dsBrowse);
  ds.Close();
}

TEST(DataSet, CalculatedAndLookupFields) {
  auto names = MakeNumbers(3);
  TArrayDataSet ds;
  ds.FieldDefs().Add("K", ftInteger);
  TIntegerField k(nullptr);
  k.SetFieldName("K");
  k.SetDataSet(&ds);
  TIntegerField twice(nullptr);
  twice.SetFieldName("TWICE");
  twice.SetCalculated(true);
  twice.SetDataSet(&ds);
  TStringField name(nullptr);
  name.SetFieldName("NAME");
  name.SetSize(10);
  name.SetLookup(true);
  name.SetLookupDataSet(names.get());
  name.SetKeyFields("K");
  name.SetLookupKeyFields("ID");
  name.SetLookupResultField("NAME");
  name.SetDataSet(&ds);
  int calcs = 0;
  ds.OnCalcFields = [&](TDataSet*) {
    ++calcs;
    EXPECT_EQ(ds.State(), dsCalcFields);
    if (!k.IsNull()) twice.SetAsInteger(k.AsInteger() * 2);
    EXPECT_THROW(k.SetAsInteger(1), EDatabaseError);  // data fields are not written here
  };
  ds.Open();
  ds.AppendRecord({Variant(2)});
  ds.AppendRecord({Variant(5)});
  ds.First();
  EXPECT_EQ(twice.AsInteger(), 4);
  EXPECT_EQ(name.AsString(), "n2");
  ds.Next();
  EXPECT_EQ(twice.AsInteger(), 10);
  EXPECT_TRUE(name.IsNull());  // no key 5
  // A field change in edit recalculates.
  ds.Edit();
  k.SetAsInteger(3);
  EXPECT_EQ(twice.AsInteger(), 6);
  EXPECT_EQ(name.AsString(), "n3");
  ds.Post();
  EXPECT_GT(calcs, 0);
  ds.Close();
  // Lookup information must be complete.
  name.SetLookupResultField("");
  EXPECT_THROW(ds.Open(), EDatabaseError);
  EXPECT_FALSE(ds.Active());
}

TEST(DataSet, LocateAndLookup) {
  auto ds = MakeNumbers(5);
  EXPECT_TRUE(ds->Locate("NAME", Variant("N4"), {loCaseInsensitive}));
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 4);
  EXPECT_FALSE(ds->Locate("NAME", Variant("N4"), {}));
  EXPECT_TRUE(ds->Locate("ID;NAME", VarArrayOf({Variant(2), Variant("n2")}), {}));
  EXPECT_EQ(ds->RecNo(), 2);
  EXPECT_EQ(ds->Lookup("ID", Variant(5), "NAME").AsString(), "n5");
  EXPECT_EQ(ds->RecNo(), 2) << "Lookup does not move";
  EXPECT_TRUE(ds->Lookup("ID", Variant(9), "NAME").IsNull());
}

TEST(DataSet, DisableControlsHoldsNoticesBackAndEnableSendsOne) {
  auto ds = MakeNumbers(5);
  TDataSource src(nullptr);
  int changes = 0;
  src.OnDataChange = [&](TDataSource*, TField*) { ++changes; };
  src.SetDataSet(ds.get());
  {
    TDisableControlsGuard hold(*ds);
    ds->Next();
    ds->Next();
    ds->Last();
    EXPECT_EQ(changes, 0);
    TDisableControlsGuard again(*ds);
  }
  EXPECT_EQ(changes, 1);
  ds->Next();
  EXPECT_EQ(changes, 1) << "at the end: nothing moved";
  ds->Prior();
  EXPECT_EQ(changes, 2);
}

TEST(DataSet, MasterScrollReRangesItsDetailAndPostsAPendingDetailEdit) {
  auto master = MakeNumbers(3);
  TArrayDataSet detail;
  detail.FieldDefs().Add("MID", ftInteger);
  detail.FieldDefs().Add("V", ftString, 5);
  detail.Open();
  for (int m = 1; m <= 3; ++m)
    for (int v = 0; v < m; ++v) detail.AppendRecord({Variant(m), Variant(std::to_string(v))});
  TDataSource src(nullptr);
  src.SetDataSet(master.get());
  detail.SetDetailFields("MID");
  detail.SetMasterFields("ID");
  detail.SetMasterSource(&src);
  master->First();
  EXPECT_EQ(detail.RecordCount(), 1);
  master->Next();
  EXPECT_EQ(detail.RecordCount(), 2);
  detail.Edit();
  detail.FieldByName("V")->SetAsString("z");
  master->Next();  // posts the detail edit first
  EXPECT_EQ(detail.State(), dsBrowse);
  EXPECT_EQ(detail.RecordCount(), 3);
  master->Prior();
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "z");
  // A source that the master already follows cannot be the master's own.
  TDataSource detailSrc(nullptr);
  detailSrc.SetDataSet(&detail);
  EXPECT_THROW(master->SetMasterSource(&detailSrc), EDatabaseError);
  EXPECT_TRUE(master->IsLinkedTo(&detailSrc));
  EXPECT_FALSE(detail.IsLinkedTo(&src));
  EXPECT_THROW(src.SetDataSet(&detail), EDatabaseError);  // detail follows src
  // Closing the master lets the detail show all rows again.
  master->Close();
  EXPECT_EQ(detail.RecordCount(), 6);
}

// A connection whose state is a flag, as descendants keep theirs.
class TFlagConnection : public TCustomConnection {
 public:
  using TCustomConnection::TCustomConnection;
  std::vector<std::string>* log = nullptr;
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TFlagConnection>(
        "TFlagConnection", &TCustomConnection::ClassProperties(), [](auto&) {});
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void DoConnect() override {
    if (log) log->push_back("DoConnect");
    connected_ = true;
  }
  void DoDisconnect() override {
    if (log) log->push_back("DoDisconnect");
    connected_ = false;
  }
  bool GetConnected() const override { return connected_; }

 private:
  bool connected_ = false;
};

class TNumbersTable : public TArrayDataSet {
 public:
  explicit TNumbersTable(TComponent* owner) : TArrayDataSet(owner) {
    FieldDefs().Add("ID", ftInteger);
  }
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table =
        PublishClass<TNumbersTable>("TNumbersTable", &TDataSet::ClassProperties(), [](auto&) {});
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

TEST(Connection, ConnectsBetweenItsEventsAndTellsClients) {
  TFlagConnection c(nullptr);
  std::vector<std::string> log;
  c.log = &log;
  auto note = [&](const char* s) { return [&log, s](TObject*) { log.push_back(s); }; };
  c.BeforeConnect = note("BeforeConnect");
  c.AfterConnect = note("AfterConnect");
  c.BeforeDisconnect = note("BeforeDisconnect");
  c.AfterDisconnect = note("AfterDisconnect");
  {
    TArrayDataSet ds(nullptr);
    c.RegisterClient(&ds,
                     [&](TObject*, bool on) { log.push_back(on ? "client:on" : "client:off"); });
    EXPECT_EQ(c.DataSetCount(), 1);
    EXPECT_EQ(c.DataSets(0), &ds);
    c.Open();
    c.Open();  // already connected: nothing
    c.Close();
  }
  EXPECT_EQ(c.DataSetCount(), 0) << "a freed client leaves the list";
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeConnect", "DoConnect", "client:on",
                                           "AfterConnect", "BeforeDisconnect", "client:off",
                                           "DoDisconnect", "AfterDisconnect"}));
}

TEST(Connection, ConnectedAndActiveReadFromTextActInLoaded) {
  RegisterClass(TFlagConnection::ClassProperties());
  RegisterClass(TNumbersTable::ClassProperties());
  TComponent root(nullptr);
  std::string text =
      "object Root: TComponent\n"
      "  object Db: TFlagConnection\n    Connected = True\n  end\n"
      "  object T: TNumbersTable\n    Active = True\n  end\n"
      "end\n";
  ReadComponent(text, root);
  auto* db = static_cast<TFlagConnection*>(root.FindComponent("Db"));
  auto* t = static_cast<TNumbersTable*>(root.FindComponent("T"));
  ASSERT_TRUE(db && t);
  EXPECT_TRUE(db->Connected());
  EXPECT_TRUE(t->Active());
  // The dataset's published properties go out and come back.
  t->Close();
  t->SetFilterText("ID > 1");
  t->SetFilterOptions({foCaseInsensitive});
  TNumbersTable copy(nullptr);
  ReadComponent(WriteComponent(*t), copy);
  EXPECT_EQ(copy.Filter(), "ID > 1");
  EXPECT_EQ(copy.FilterOptions(), TFilterOptions{foCaseInsensitive});
  EXPECT_FALSE(copy.Active());
}

TEST(Params, ByNameValuesBoundAndAssignField) {
  TParams params;
  TParam* p = params.CreateParam(ftUnknown, "Name", ptInput);
  params.CreateParam(ftInteger, "Id", ptInput);
  EXPECT_EQ(params.ParamByName("NAME"), p);
  EXPECT_THROW(params.ParamByName("x"), EDatabaseError);
  EXPECT_FALSE(p->Bound());
  p->SetValue(Variant("abc"));
  EXPECT_TRUE(p->Bound());
  EXPECT_EQ(p->DataType(), ftString);
  params.SetParamValues("Id", Variant(7));
  Variant both = params.ParamValues("Name;Id");
  EXPECT_EQ(both.Element(0).AsString(), "abc");
  EXPECT_EQ(both.Element(1).AsInteger(), 7);
  auto ds = MakeNumbers(2);
  TParam* q = params.CreateParam(ftUnknown, "", ptInput);
  q->AssignField(ds->FieldByName("NAME"));
  EXPECT_EQ(q->Name(), "NAME");
  EXPECT_EQ(q->DataType(), ftString);
  EXPECT_EQ(q->AsString(), "n1");
  EXPECT_TRUE(q->Bound());
  q->Clear();
  EXPECT_TRUE(q->IsNull());
}

TEST(DefCollections, UpdateFillsFromTheDataSetOnceUntilStale) {
  struct TCounting : TArrayDataSet {
    int inits = 0, indexInits = 0;
    void InternalInitFieldDefs() override { ++inits; }
    void UpdateIndexDefs() override { ++indexInits; }
  } ds;
  ds.FieldDefs().Update();
  ds.FieldDefs().Update();
  EXPECT_EQ(ds.inits, 1);
  ds.FieldDefs().SetUpdated(false);
  ds.FieldDefs().Update();
  EXPECT_EQ(ds.inits, 2);
  ds.IndexDefs().Update();
  ds.IndexDefs().Update();
  EXPECT_EQ(ds.indexInits, 1);
}

}  // namespace
}  // namespace host

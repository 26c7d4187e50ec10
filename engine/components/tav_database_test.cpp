#include "engine/components/tav_database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <set>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_data_set.h"
#include "engine/components/testing/scripted_login.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/base/tav_resstrings.h"
#include "engine/storage/testing/lock_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using host::ftBlob;
using host::ftInteger;
using host::ftString;

struct TFailure {
  int Code = 0;
  std::string Message;
};

TFailure FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    return {e.ErrorCode(), e.Message()};
  }
  return {};
}

int ErrorOf(const std::function<void()>& f) { return FailureOf(f).Code; }

std::string Joined(const host::TStrings& list) {
  std::string out;
  for (int i = 0; i < list.Count(); ++i) out += (i ? "," : "") + list.Strings(i);
  return out;
}

const char kKey[] = "Secret-Key-4711";
const char kRecordMarker[] = "PLAINRECORDMARKER";
const char kBlobMarker[] = "PLAINBLOBMARKER-0123456789";

class DiskDataBaseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  std::string Path() const { return dir_ / "test.tav"; }

  // A database component on the test file, quick to give up on locks.
  std::unique_ptr<TTavDataBase> NewDataBase() {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(Path());
    db->SetLockRetryMaximum(2);
    db->SetLockRetryInterval(1);
    return db;
  }

  void CreateFile(bool encrypted, bool enforce = false) {
    auto db = NewDataBase();
    if (encrypted) {
      db->SetUseEncryption(true);
      db->SetMasterKey(kKey);
    }
    if (enforce) db->SetEnforceSecurity(true);
    db->CreateDatabase();
  }

  // Creates table `name` with ID (unique), Name (40) and Data (BLOB).
  static void CreatePeople(TTavDataBase& db, const std::string& name,
                           TEncryptionLevel level = encNone) {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(&db);
    ds.SetTableName(name);
    ds.SetEncryptionLevel(level);
    host::TFieldDefs fields;
    fields.Add("ID", ftInteger, 0, true);
    fields.Add("Name", ftString, 40);
    fields.Add("Data", ftBlob);
    host::TIndexDefs indexes;
    indexes.Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    ds.SetTableDef(false, fields, indexes);
    ds.InternalCreateTable();
  }

  // Inserts one row into a disk table of a connected database.
  static void InsertRow(TTavDataBase& db, const std::string& table, int32_t id,
                        const std::string& name, const std::string& blob) {
    TTableDef stored(nullptr);
    db.QueryTableDef(table, false, stored);
    test::TTableConnection conn(*db.UserTableMgr(), stored);
    std::vector<uint8_t> rec = conn.NewRecord();
    conn.SetInteger(rec, "ID", id);
    conn.SetString(rec, "Name", name);
    conn.Insert(rec, {{"Data", blob}});
  }

  // The names of the rows of a table read through a dataset.
  static std::vector<std::string> Names(TTavDataBase& db, const std::string& table) {
    TTavDataSet ds(nullptr);
    ds.SetDataBase(&db);
    ds.SetTableName(table);
    ds.DataSetOpen();
    std::vector<std::string> out;
    for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext())
      out.push_back(ds.DataSetGetFieldDataAsVariant(1).AsString());
    ds.DataSetClose();
    return out;
  }

  os::test::TTempDir dir_;
};

// ---------------------------------------------------------------------------
// Properties

TEST_F(DiskDataBaseTest, MasterKeyLengthsAndTheMaskedMessage) {
  TTavDataBase db(nullptr);
  for (size_t n : {0u, 4u, 100u}) EXPECT_EQ(ErrorOf([&] { db.SetMasterKey(std::string(n, 'k')); }), 0) << n;
  db.SetMasterKey("good-key");
  for (size_t n : {1u, 3u, 101u}) {
    const std::string key(n, 'Q');
    TFailure f = FailureOf([&] { db.SetMasterKey(key); });
    EXPECT_EQ(f.Code, 9602) << n;
    EXPECT_EQ(f.Message.find(key), std::string::npos) << f.Message;
    EXPECT_NE(f.Message.find("**** is not a valid value (min. length 4, max. length 100)"),
              std::string::npos)
        << f.Message;
    EXPECT_EQ(db.MasterKey(), "good-key");
  }
}

TEST_F(DiskDataBaseTest, SecurityPropertiesAndConnectedRules) {
  TTavDataBase db(nullptr);
  db.SetEnforceSecurity(true);
  EXPECT_TRUE(db.UseEncryption());
  EXPECT_EQ(ErrorOf([&] { db.SetUseEncryption(false); }), 10766);
  db.SetEnforceSecurity(false);
  db.SetUseEncryption(false);
  db.SetDataBaseName(dir_.Path() + "/sub/x.tav");
  EXPECT_EQ(db.DataBaseName(), "x.tav");
  EXPECT_EQ(db.Directory(), dir_.Path() + "/sub/");
  db.SetDataBaseName("memory");  // a file name, not the memory database
  EXPECT_FALSE(db.IsMemory());
  EXPECT_EQ(ErrorOf([&] { db.Open(); }), 9988);
  EXPECT_FALSE(db.Connected());
}

// ---------------------------------------------------------------------------
// Create, connect, reconnect

TEST_F(DiskDataBaseTest, CreateConnectAndTheDefinitionBlock) {
  {
    auto db = NewDataBase();
    db->SetDBOwner("owner-of-it");
    db->SetDefaultSortOrder(soASCII);
    db->CreateDatabase();
    EXPECT_FALSE(db->Connected());
  }
  auto db = NewDataBase();
  db->Open();
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(db->DataFileVersion(), "1.41.02");
  EXPECT_EQ(db->MajorVersion(), 1);
  EXPECT_EQ(db->MinorVersion(), 41);
  EXPECT_EQ(db->DiskFormat(), 2);
  EXPECT_EQ(db->DBOwner(), "owner-of-it");
  EXPECT_EQ(db->DefaultSortOrder(), soASCII);
  db->Open();  // a second connect does nothing
  host::TStringList system;
  db->GetSystemTableNames(system);
  EXPECT_EQ(Joined(system), "$SYSTBL_INTGENERATOR,$SYSTBL_OBJECTIDREF");
  host::TStringList users;
  db->GetCurrentUsers(users);
  EXPECT_EQ(users.Count(), 1);
  db->FlushBuffers();
  EXPECT_EQ(ErrorOf([&] { db->ResetDBHeader(); }), 10121);
  EXPECT_EQ(ErrorOf([&] { db->SetExclusive(true); }), 10120);
  db->Close();
  db->Close();
  EXPECT_EQ(db->DataFileVersion(), "");
  EXPECT_NE(db->DBOwner(), "owner-of-it");
}

TEST_F(DiskDataBaseTest, DatabaseNameIsCutInTheBlock) {
  const std::string longName = std::string(40, 'n') + ".tav";
  TTavDataBase db(nullptr);
  db.SetDataBaseName(dir_ / longName);
  db.CreateDatabase();
  db.Open();
  const auto& block = db.DefinitionBlock();
  EXPECT_EQ(block[kDBDefNameOffset + 2 * 28], 'n');
  EXPECT_EQ(block[kDBDefNameOffset + 2 * 29], 0);
  EXPECT_EQ(DBDefBlockCRC(block.data()), host::GetU32(block.data() + kDBDefCRCOffset));
}

// Each way a key comes in, and what a file holds of an encrypted table.
TEST_F(DiskDataBaseTest, EncryptionLevelsKeepRecordsAndBlobsOutOfTheFile) {
  struct TCase {
    bool encryptedDb;
    TEncryptionLevel table;
    bool markersInClear;
  } cases[] = {{false, encNone, true}, {false, encWeak, false}, {false, encStrong, false},
               {true, encWeak, false}, {true, encStrong, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.encryptedDb) + "/" + std::to_string(c.table));
    CreateFile(c.encryptedDb);
    {
      auto db = NewDataBase();
      if (c.encryptedDb) db->SetMasterKey(kKey);
      db->Open();
      CreatePeople(*db, "People", c.table);
      InsertRow(*db, "People", 1, kRecordMarker, kBlobMarker);
    }
    const std::string bytes = os::test::ReadWholeFile(Path());
    EXPECT_EQ(bytes.find(kRecordMarker) != std::string::npos, c.markersInClear);
    EXPECT_EQ(bytes.find(kBlobMarker) != std::string::npos, c.markersInClear);
    if (c.encryptedDb) {
      EXPECT_EQ(bytes.find("People"), std::string::npos);
    }
    // Reconnect: through BeforeLogin when encrypted.
    auto db = NewDataBase();
    int asked = 0;
    if (c.encryptedDb) {
      db->SetBeforeLogin([&](host::TObject*, std::string&, std::string&, std::string& key) {
        ++asked;
        key = kKey;
      });
    }
    db->Open();
    EXPECT_EQ(asked, c.encryptedDb ? 1 : 0);
    EXPECT_EQ(Names(*db, "People"), std::vector<std::string>{kRecordMarker});
  }
}

TEST_F(DiskDataBaseTest, LoginModesAskOnlyForWhatIsNeeded) {
  test::TScriptedLoginPrompter prompter;
  CreateFile(false);
  {
    auto db = NewDataBase();
    db->Open();
    EXPECT_TRUE(prompter.shown.empty());
  }
  CreateFile(true);
  {
    auto db = NewDataBase();
    db->SetMasterKey(kKey);
    db->Open();  // the key given: nothing asked
    EXPECT_TRUE(prompter.shown.empty());
  }
  {
    auto db = NewDataBase();
    prompter.Answer({true, kKey, "", ""});
    db->Open();
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_TRUE(prompter.shown[0].ebMasterKey.Enabled);
    EXPECT_FALSE(prompter.shown[0].ebUsername.Enabled);
    EXPECT_EQ(prompter.shown[0].Caption, "Database Login - test.tav");
    EXPECT_EQ(db->MasterKey(), kKey);
  }
  {
    auto db = NewDataBase();
    prompter.Answer({false, "", "", ""});
    EXPECT_EQ(ErrorOf([&] { db->Open(); }), 10015);
    EXPECT_FALSE(db->Connected());
    prompter.Answer({true, "wrong-key", "", ""});
    TFailure f = FailureOf([&] { db->Open(); });
    EXPECT_EQ(f.Code, 8451);
    EXPECT_EQ(db->MasterKey(), "");
    EXPECT_FALSE(db->Connected());
    // The storage kept from the failed attempts serves the next one.
    prompter.Answer({true, kKey, "", ""});
    db->Open();
    EXPECT_TRUE(db->Connected());
  }
  // Security enforced, the key given: only user name and password; each
  // failed logon is shown and asked again (user name and password only)
  // until the user cancels. No user can log on before the security tables
  // hold one.
  CreateFile(true, true);
  for (bool keyGiven : {true, false}) {
    SCOPED_TRACE(keyGiven);
    auto db = NewDataBase();
    if (keyGiven) db->SetMasterKey(kKey);
    prompter.shown.clear();
    prompter.messages.clear();
    prompter.Answer({true, kKey, "user", "pwd"});
    prompter.Answer({true, "", "user2", "pwd2"});
    EXPECT_EQ(ErrorOf([&] { db->Open(); }), 10015);
    ASSERT_EQ(prompter.shown.size(), 3u);
    EXPECT_EQ(prompter.shown[0].ebMasterKey.Enabled, !keyGiven);
    EXPECT_TRUE(prompter.shown[0].ebUsername.Enabled);
    for (size_t i = 1; i < 3; ++i) {
      EXPECT_FALSE(prompter.shown[i].ebMasterKey.Enabled);
      EXPECT_TRUE(prompter.shown[i].ebPassword.Enabled);
    }
    EXPECT_EQ(prompter.shown[2].ebUsername.Text, "user2");
    EXPECT_EQ(prompter.messages.size(), 2u);
    EXPECT_FALSE(db->Connected());
  }
  // With BeforeLogin the logon's own failure reaches the host at once.
  auto db = NewDataBase();
  db->SetBeforeLogin([](host::TObject*, std::string& user, std::string&, std::string& key) {
    user = "user";
    key = kKey;
  });
  prompter.shown.clear();
  EXPECT_EQ(ErrorOf([&] { db->Open(); }), 10036);
  EXPECT_TRUE(prompter.shown.empty());
  EXPECT_FALSE(db->Connected());
}

TEST_F(DiskDataBaseTest, TheKeyIsInNoMessageOrSavedLog) {
  TavEngineStartup();
  auto logger = GDBLogger();
  ASSERT_TRUE(logger);
  auto db = NewDataBase();
  db->SetUseEncryption(true);
  const std::string shortKey = "K9z";
  EXPECT_EQ(ErrorOf([&] { db->SetMasterKey(shortKey); }), 9602);
  const std::string longKey(101, 'Z');
  EXPECT_EQ(ErrorOf([&] { db->SetMasterKey(longKey); }), 9602);
  TFailure f = FailureOf([&] { db->CreateDatabase(); });
  EXPECT_EQ(f.Code, 10015);
  EXPECT_NE(f.Message.find("****"), std::string::npos);
  db->SetMasterKey(kKey);
  db->CreateDatabase();
  auto other = NewDataBase();
  other->SetMasterKey("not-the-key");
  EXPECT_EQ(ErrorOf([&] { other->Open(); }), 8451);
  const std::string log = dir_ / "dblog.txt";
  logger->SaveLogToFile(log);
  const std::string text = os::test::ReadWholeFile(log);
  EXPECT_NE(text.find("****"), std::string::npos);
  for (const std::string& k : {shortKey, longKey, std::string(kKey), std::string("not-the-key")})
    EXPECT_EQ(text.find(k), std::string::npos) << k;
}

// ---------------------------------------------------------------------------
// Damaged files

TEST_F(DiskDataBaseTest, DamagedFilesFailWithTheirErrorAndWriteNothing) {
  // Each case damages a fresh encrypted file with one table.
  auto prepare = [&] {
    CreateFile(true);
    auto db = NewDataBase();
    db->SetMasterKey(kKey);
    db->Open();
    CreatePeople(*db, "People");
    InsertRow(*db, "People", 1, "one", "blob");
  };
  auto flip = [&](size_t at) {
    std::string bytes = os::test::ReadWholeFile(Path());
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    os::test::WriteWholeFile(Path(), bytes);
  };
  auto newerFormat = [&] {
    auto db = NewDataBase();
    std::string bytes = os::test::ReadWholeFile(Path());
    // "1.41.02" becomes "1.41.03", the CRC made right.
    bytes[kDBDefVersionOffset + 2 * 6] = '3';
    host::PutU32(bytes.data() + kDBDefCRCOffset, DBDefBlockCRC(reinterpret_cast<uint8_t*>(bytes.data())));
    os::test::WriteWholeFile(Path(), bytes);
  };
  struct TCase {
    const char* what;
    std::function<void()> damage;
    int code;
    const char* message;
  } cases[] = {
      {"definition block", [&] { flip(kDBDefNameOffset + 4); }, 8961, ""},
      {"security header digest", [&] { flip(768 + 20); }, 8451, "The Security Header CRC is incorrect"},
      {"security header CRC", [&] { flip(768 + 36); }, 8451, "The Security Header CRC is incorrect"},
      {"newer disk format", newerFormat, 12041, "Current database disk format is 1.41.03"},
      {"truncated", [&] { truncate(Path().c_str(), 3 * 4096); }, -1, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    prepare();
    c.damage();
    const std::string before = os::test::ReadWholeFile(Path());
    auto db = NewDataBase();
    db->SetMasterKey(kKey);
    TFailure f = FailureOf([&] {
      db->Open();
      Names(*db, "People");
    });
    if (c.code > 0)
      EXPECT_EQ(f.Code, c.code) << f.Message;
    else
      EXPECT_NE(f.Code, 0);
    EXPECT_NE(f.Message.find(c.message), std::string::npos) << f.Message;
    EXPECT_FALSE(db->Connected());
    db.reset();
    EXPECT_EQ(os::test::ReadWholeFile(Path()) == before, true);
  }
}

TEST_F(DiskDataBaseTest, DamagedStoredDefinitionIsUnreadable) {
  CreateFile(false);
  {
    auto db = NewDataBase();
    db->Open();
    CreatePeople(*db, "People");
  }
  std::string bytes = os::test::ReadWholeFile(Path());
  // The last definition written is the table's own.
  const size_t at = bytes.rfind("TTableDef");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 9, "TZZZZZZZZ");
  os::test::WriteWholeFile(Path(), bytes);
  auto db = NewDataBase();
  db->Open();
  TFailure f = FailureOf([&] { Names(*db, "People"); });
  EXPECT_EQ(f.Code, 8581);
  EXPECT_NE(f.Message.find("the table definition could not be read"), std::string::npos);
  EXPECT_EQ(os::test::ReadWholeFile(Path()), bytes);
}

// ---------------------------------------------------------------------------
// Catalogue

TEST_F(DiskDataBaseTest, CatalogueListsTablesAndHandsOutObjectIDs) {
  CreateFile(false);
  auto db = NewDataBase();
  db->Open();
  for (const char* name : {"Zeta", "alpha", "Mid"}) CreatePeople(*db, name);
  EXPECT_EQ(ErrorOf([&] { CreatePeople(*db, "ALPHA"); }), 13060);
  TTableDef def(nullptr);
  def.SetTableName(std::string(41, 't'));
  EXPECT_EQ(ErrorOf([&] { db->CreateTable(def); }), 10039);
  host::TStringList names;
  db->GetTableNames(names, false);
  EXPECT_EQ(Joined(names), "alpha,Mid,Zeta");
  EXPECT_EQ(db->GetObjectID("Zeta"), 1);
  EXPECT_EQ(db->GetObjectID("alpha"), 2);
  EXPECT_EQ(db->GetObjectID("Mid"), 3);
  EXPECT_EQ(db->GetObjectID("ALL"), 0);
  CreatePeople(*db, std::string(40, 'x'));
  db->Close();
  db->Open();
  names.Clear();
  db->GetTableNames(names, false);
  EXPECT_EQ(names.Count(), 4);
  TTableDef stored(nullptr);
  db->QueryTableDef("mid", false, stored);
  EXPECT_EQ(stored.TableName(), "Mid");
  EXPECT_EQ(stored.Version(), "1.41.02");
  EXPECT_EQ(ErrorOf([&] { db->QueryTableDef("nothing", false, stored); }), 10024);
  host::TStringList generators;
  db->GetGeneratorNames(generators);
  EXPECT_EQ(generators.Count(), 0);  // "$INTGEN_OBJID" is the catalogue's own
}

TEST_F(DiskDataBaseTest, Generators) {
  CreateFile(false);
  auto db = NewDataBase();
  db->Open();
  db->CreateGenerator("Orders", 100, 5);
  EXPECT_EQ(db->GetGeneratorValue("Orders", true), 100);
  EXPECT_EQ(db->GetGeneratorValue("Orders", true), 100);
  EXPECT_EQ(db->GetGeneratorValue("Orders", false), 100);
  EXPECT_EQ(db->GetGeneratorValue("orders", false), 105);
  int32_t value = 0, step = 0;
  EXPECT_TRUE(db->QueryGenerator("Orders", value, step));
  EXPECT_EQ(value, 110);
  EXPECT_EQ(step, 5);
  EXPECT_FALSE(db->QueryGenerator("None", value, step));
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator("ORDERS", 1, 1); }), 8580);
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator(std::string(21, 'g'), 1, 1); }), 9605);
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator(std::string(20, 'g'), 1, 1); }), 0);
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator("", 1, 1); }), 10125);
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator("$mine", 1, 1); }), 10125);
  EXPECT_EQ(ErrorOf([&] { db->GetGeneratorValue("None", false); }), 8579);
  host::TStringList names;
  db->GetGeneratorNames(names);
  EXPECT_EQ(Joined(names), std::string(20, 'g') + ",Orders");
  db->DeleteGenerator("Orders");
  db->DeleteGenerator("Orders");  // gone already: no error
  EXPECT_FALSE(db->QueryGenerator("Orders", value, step));
  db->Close();
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator("x", 1, 1); }), 10113);
  EXPECT_EQ(ErrorOf([&] { db->CheckMinorVersion(42); }), 12041);
}

TEST_F(DiskDataBaseTest, ChecksAndLockedHeader) {
  CreateFile(false);
  auto db = NewDataBase();
  db->SetExclusive(true);
  EXPECT_EQ(ErrorOf([&] { db->QueryOpenStatus(true, false); }), 10113);
  db->QueryOpenStatus(false, true);
  db->Open();
  EXPECT_EQ(ErrorOf([&] { db->QueryOpenStatus(false, false); }), 10120);
  db->QueryOpenStatus(true, true);
  db->ResetDBHeader();
  db->SetLocked(true);
  EXPECT_TRUE(db->DiskMgr()->HeaderWriteLocked());
  CreatePeople(*db, "UnderLock");  // the held lock serves the catalogue change
  EXPECT_TRUE(db->DiskMgr()->HeaderWriteLocked());
  db->SetLocked(false);
  EXPECT_FALSE(db->DiskMgr()->HeaderWriteLocked());
  db->SetLocked(true);
  db->Close();  // the lock goes with the connection
  EXPECT_FALSE(db->Locked());
  EXPECT_EQ(ErrorOf([&] { db->SetLocked(true); }), 10113);
  EXPECT_FALSE(db->NeedSecurity());
}

TEST_F(DiskDataBaseTest, TransactionsCommitAndRollBack) {
  CreateFile(false);
  auto db = NewDataBase();
  db->Open();
  CreatePeople(*db, "People");
  EXPECT_FALSE(db->InTransaction());
  db->StartTransaction();
  EXPECT_TRUE(db->InTransaction());
  InsertRow(*db, "People", 1, "kept", "");
  db->Commit();
  EXPECT_FALSE(db->InTransaction());
  db->StartTransaction();
  InsertRow(*db, "People", 2, "dropped", "");
  EXPECT_EQ(Names(*db, "People"), (std::vector<std::string>{"kept", "dropped"}));
  db->Rollback();
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Names(*db, "People"), std::vector<std::string>{"kept"});
}

// ---------------------------------------------------------------------------
// Between processes and connections

class DiskLockTest : public DiskDataBaseTest {
 protected:
  void SetUp() override {
    DiskDataBaseTest::SetUp();
    CreateFile(false);
    auto db = NewDataBase();
    db->Open();
    CreatePeople(*db, "People");
  }
  static TTableDef& Def(TTavDataBase& db, TTableDef& def) {
    db.QueryTableDef("People", false, def);
    return def;
  }
};

TEST_F(DiskLockTest, LocksOfAnotherProcessRefuseAfterTheRetriesAndGoWithIt) {
  for (bool record : {false, true}) {
    SCOPED_TRACE(record ? "record" : "table");
    test::TChild child([&](test::TChildSide& side) {
      auto db = NewDataBase();
      db->Open();
      TTableDef def(nullptr);
      Def(*db, def);
      if (record)
        db->LockRecord(def, 0x10000);
      else
        db->LockTable(def, kTableWriteLock);
      side.Send(1);
      side.WaitGo();
      return 0;
    });
    uint64_t ready = 0;
    ASSERT_TRUE(child.Receive(ready));
    auto db = NewDataBase();
    db->Open();
    TTableDef def(nullptr);
    Def(*db, def);
    TFailure f = FailureOf([&] {
      if (record)
        db->LockRecord(def, 0x10000);
      else
        db->LockTable(def, kTableReadLock);
    });
    EXPECT_EQ(f.Code, 10249);
    EXPECT_NE(f.Message.find(record ? StavRecordLockErr : StavTableReadLockErr), std::string::npos)
        << f.Message;
    EXPECT_FALSE(db->RecordLockExists(def, 0x10000));
    child.Kill();
    child.Wait();
    // The killed holder's lock went with it.
    if (record) {
      EXPECT_TRUE(db->LockRecord(def, 0x10000));
      EXPECT_TRUE(db->RecordLockExists(def, 0x10000));
      EXPECT_TRUE(db->UnLockRecord(def, 0x10000));
    } else {
      EXPECT_TRUE(db->LockTable(def, kTableWriteLock));
      EXPECT_TRUE(db->TableLockExists(def, kTableWriteLock));
      EXPECT_TRUE(db->UnLockTable(def));
    }
  }
}

TEST_F(DiskLockTest, TwoConnectionsOfOneProcessAndExclusive) {
  auto first = NewDataBase();
  auto second = NewDataBase();
  first->Open();
  second->Open();
  TTableDef a(nullptr), b(nullptr);
  Def(*first, a);
  Def(*second, b);
  first->LockTable(a, kTableWriteLock);
  EXPECT_EQ(ErrorOf([&] { second->LockTable(b, kTableReadLock); }), 10249);
  first->UnLockTable(a);
  EXPECT_TRUE(second->LockTable(b, kTableReadLock));
  second->UnLockTable(b);
  second->Close();
  first->Close();

  first->SetExclusive(true);
  first->Open();
  const int other = os::test::RunInChild([&] {
    auto db = NewDataBase();
    return ErrorOf([&] { db->Open(); }) == 8449 && !db->Connected() ? 0 : 1;
  });
  EXPECT_EQ(other, 0);
  EXPECT_EQ(ErrorOf([&] { second->Open(); }), 8449);
}

TEST_F(DiskLockTest, UncommittedInsertsAreInvisibleToAnotherProcess) {
  auto db = NewDataBase();
  db->Open();
  db->StartTransaction();
  InsertRow(*db, "People", 1, "pending", "");
  // The child's answer: the rows it sees, or 100 when refused by a lock.
  auto seen = [&] {
    return os::test::RunInChild([&] {
      auto other = NewDataBase();
      other->Open();
      const int code = ErrorOf([&] { Names(*other, "People"); });
      if (code) return code == 10249 ? 100 : 101;
      return static_cast<int>(Names(*other, "People").size());
    });
  };
  const int before = seen();
  EXPECT_TRUE(before == 0 || before == 100) << before;
  db->Commit();
  EXPECT_EQ(seen(), 1);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// A refused catalogue change leaves no lock behind: another process takes
// the header and the catalogue's tables at once, without retries.
TEST_F(DiskLockTest, RefusedCatalogueChangesLeaveNoLock) {
  auto db = NewDataBase();
  db->Open();
  db->CreateGenerator("Gen", 1, 1);
  EXPECT_EQ(ErrorOf([&] { CreatePeople(*db, "people"); }), 13060);
  EXPECT_EQ(ErrorOf([&] { db->CreateGenerator("gen", 1, 1); }), 8580);
  EXPECT_EQ(ErrorOf([&] { db->GetGeneratorValue("none", false); }), 8579);
  const int other = os::test::RunInChild([&] {
    auto second = NewDataBase();
    second->SetLockRetryMaximum(0);
    second->Open();
    second->SetLocked(true);
    CreatePeople(*second, "Other");
    second->CreateGenerator("Other", 1, 1);
    return second->GetGeneratorValue("Gen", false) == 1 ? 0 : 1;
  });
  EXPECT_EQ(other, 0);
  EXPECT_EQ(db->GetGeneratorValue("Gen", true), 2);
  host::TStringList names;
  db->GetTableNames(names, false);
  EXPECT_EQ(Joined(names), "Other,People");
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

TEST_F(DiskDataBaseTest, AFileWithoutTheWriteBitIsReadOnly) {
  CreateFile(false);
  {
    auto db = NewDataBase();
    db->Open();
    CreatePeople(*db, "People");
    InsertRow(*db, "People", 1, "one", "");
  }
  ASSERT_EQ(chmod(Path().c_str(), 0444), 0);
  const std::string before = os::test::ReadWholeFile(Path());
  {
    auto db = NewDataBase();
    db->Open();
    EXPECT_EQ(Names(*db, "People"), std::vector<std::string>{"one"});
    EXPECT_NE(ErrorOf([&] { CreatePeople(*db, "More"); }), 0);
    EXPECT_NE(ErrorOf([&] { db->CreateGenerator("Gen", 1, 1); }), 0);
  }
  EXPECT_EQ(os::test::ReadWholeFile(Path()) == before, true);
  chmod(Path().c_str(), 0644);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

TEST_F(DiskDataBaseTest, RenameKeepsTheObjectIDAndRefusesTakenNames) {
  CreateFile(false);
  auto db = NewDataBase();
  db->SetExclusive(true);
  db->Open();
  CreatePeople(*db, "People");
  CreatePeople(*db, "Other");
  InsertRow(*db, "People", 1, "one", "blob");
  EXPECT_EQ(ErrorOf([&] { db->RenameTable("People", "other"); }), 13060);
  EXPECT_EQ(ErrorOf([&] { db->RenameTable("People", std::string(41, 'p')); }), 10039);
  EXPECT_EQ(ErrorOf([&] { db->RenameTable("Nothing", "x"); }), 10024);
  db->RenameTable("People", "PEOPLE");  // case only: the entry is rewritten, not renamed
  db->RenameTable("people", "Staff");
  host::TStringList names;
  db->GetTableNames(names, false);
  EXPECT_EQ(Joined(names), "Other,Staff");
  EXPECT_EQ(db->GetObjectID("Staff"), 1);
  EXPECT_EQ(db->GetObjectID("People"), 0);
  EXPECT_EQ(Names(*db, "Staff"), std::vector<std::string>{"one"});
  {
    TTavDataSet open(nullptr);
    open.SetDataBase(db.get());
    open.SetTableName("Staff");
    open.DataSetOpen();
    EXPECT_EQ(ErrorOf([&] { db->RenameTable("Staff", "Again"); }), 10119);
    open.DataSetClose();
  }
  db->Close();
  db->SetExclusive(false);
  db->Open();
  EXPECT_EQ(ErrorOf([&] { db->RenameTable("Staff", "Again"); }), 10121);
}

// A file of minor version 1 keeps no system tables of its own: it connects
// without them, and generators need a newer file.
TEST_F(DiskDataBaseTest, OldMinorVersionConnectsWithoutSystemTables) {
  CreateFile(false);
  std::string bytes = os::test::ReadWholeFile(Path());
  const char version[] = "1.1.02";
  for (size_t i = 0; i < 21; ++i) {
    const char c = i < sizeof version - 1 ? version[i] : 0;
    bytes[kDBDefVersionOffset + 2 * i] = c;
    bytes[kDBDefVersionOffset + 2 * i + 1] = 0;
  }
  host::PutU32(bytes.data() + kDBDefCRCOffset, DBDefBlockCRC(reinterpret_cast<uint8_t*>(bytes.data())));
  os::test::WriteWholeFile(Path(), bytes);
  auto db = NewDataBase();
  db->Open();
  EXPECT_EQ(db->MinorVersion(), 1);
  CreatePeople(*db, "People");
  EXPECT_EQ(db->GetObjectID("People"), 0);
  host::TStringList names;
  EXPECT_EQ(ErrorOf([&] { db->GetSystemTableNames(names); }), 12041);
  TFailure f = FailureOf([&] { db->CreateGenerator("Gen", 1, 1); });
  EXPECT_EQ(f.Code, 12041);
  EXPECT_NE(f.Message.find("This database version does not support this operation 2"), std::string::npos);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

TEST_F(DiskDataBaseTest, ATableCreatedInARolledBackTransactionIsGone) {
  CreateFile(false);
  auto db = NewDataBase();
  db->Open();
  db->StartTransaction();
  CreatePeople(*db, "Gone");
  db->Rollback();
  host::TStringList names;
  db->GetTableNames(names, false);
  EXPECT_EQ(names.Count(), 0);
  CreatePeople(*db, "Gone");
  InsertRow(*db, "Gone", 1, "back", "");
  db->Close();
  db->Open();
  EXPECT_EQ(Names(*db, "Gone"), std::vector<std::string>{"back"});
  EXPECT_EQ(db->GetObjectID("Gone"), 1);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

TEST_F(DiskDataBaseTest, ANameLongerThanTheCatalogueKeyFindsNothing) {
  CreateFile(false);
  auto db = NewDataBase();
  db->Open();
  const std::string forty(40, 'q');
  CreatePeople(*db, forty);
  TTableDef def(nullptr);
  EXPECT_EQ(ErrorOf([&] { db->QueryTableDef(forty + "x", false, def); }), 10024);
  EXPECT_EQ(db->GetObjectID(forty + "x"), 0);
  EXPECT_EQ(ErrorOf([&] { db->QueryTableDef(forty, false, def); }), 0);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// Two processes creating tables at once: the header lock orders their
// catalogue changes, so every table is listed once with its own object ID.
TEST_F(DiskLockTest, TwoProcessesCreatingTablesShareOneCatalogue) {
  auto maker = [&](char prefix) {
    return [this, prefix](test::TChildSide& side) {
      auto db = NewDataBase();
      db->SetLockRetryMaximum(1000);
      db->Open();
      side.Send(1);
      side.WaitGo();
      for (int i = 0; i < 8; ++i) CreatePeople(*db, std::string(1, prefix) + std::to_string(i));
      return 0;
    };
  };
  test::TChild a(maker('A')), b(maker('B'));
  uint64_t ready;
  ASSERT_TRUE(a.Receive(ready));
  ASSERT_TRUE(b.Receive(ready));
  a.Go();
  b.Go();
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  auto db = NewDataBase();
  db->Open();
  host::TStringList names;
  db->GetTableNames(names, false);
  EXPECT_EQ(names.Count(), 17);
  std::set<int32_t> ids;
  for (int i = 0; i < names.Count(); ++i) ids.insert(db->GetObjectID(names.Strings(i)));
  EXPECT_EQ(ids.size(), 17u);
  EXPECT_EQ(*ids.rbegin(), 17);
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// A disk table "T" (ID unique, Name) opened through the host dataset.
class DiskDataSetTest : public DiskDataBaseTest {
 protected:
  void SetUp() override {
    DiskDataBaseTest::SetUp();
    CreateFile(false);
    db_ = NewDataBase();
    db_->Open();
    t_ = NewTable(*db_);
    t_->FieldDefs().Add("ID", ftInteger, 0, true);
    t_->FieldDefs().Add("Name", ftString, 20);
    t_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    t_->CreateTable();
    t_->Open();
    Insert(*t_, 1, "one");
  }
  void TearDown() override {
    t_.reset();
    db_.reset();
  }

  static std::unique_ptr<TTavBaseTable> NewTable(TTavDataBase& db) {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    t->SetDataBase(&db);
    t->SetTableName("T");
    return t;
  }
  static void Insert(TTavBaseTable& t, int id, const std::string& name) {
    t.Append();
    t.FieldByName("ID")->SetAsInteger(id);
    t.FieldByName("Name")->SetAsString(name);
    t.Post();
  }
  // What another process sees of "T": its record count, or 100 when a lock
  // refuses it.
  int CountInOtherProcess() {
    return os::test::RunInChild([&] {
      auto db = NewDataBase();
      db->Open();
      auto t = NewTable(*db);
      const int code = ErrorOf([&] { t->Open(); });
      if (code) return code == 10249 ? 100 : 101;
      return t->RecordCount();
    });
  }
  // Whether another process takes the table's write lock and the record
  // lock at `address` at once, without a retry.
  bool OtherProcessLocksAtOnce(uint32_t address) {
    return os::test::RunInChild([&] {
             auto db = NewDataBase();
             db->SetLockRetryMaximum(0);
             db->Open();
             TTableDef def(nullptr);
             db->QueryTableDef("T", false, def);
             db->LockTable(def, kTableWriteLock);
             db->LockRecord(def, address);
             return 0;
           }) == 0;
  }

  std::unique_ptr<TTavDataBase> db_;
  std::unique_ptr<TTavBaseTable> t_;
};

TEST_F(DiskDataSetTest, UncommittedInsertsStayInTheTransaction) {
  EXPECT_EQ(CountInOtherProcess(), 1);
  db_->StartTransaction();
  Insert(*t_, 2, "two");
  EXPECT_EQ(t_->RecordCount(), 2);
  const int during = CountInOtherProcess();
  EXPECT_TRUE(during == 1 || during == 100) << during;
  db_->Commit();
  EXPECT_EQ(CountInOtherProcess(), 2);
}

TEST_F(DiskDataSetTest, RollbackCancelsAndRefreshesTheDatasets) {
  db_->StartTransaction();
  Insert(*t_, 2, "two");
  t_->Append();  // pending when the transaction goes
  t_->FieldByName("ID")->SetAsInteger(3);
  auto other = NewTable(*db_);
  other->Open();
  EXPECT_EQ(other->RecordCount(), 2);
  db_->Rollback();
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_EQ(t_->State(), host::dsBrowse);
  for (TTavBaseTable* t : {t_.get(), other.get()}) {
    EXPECT_EQ(t->RecordCount(), 1);
    t->First();
    EXPECT_EQ(t->FieldByName("ID")->AsInteger(), 1);
    t->Last();
    EXPECT_EQ(t->FieldByName("ID")->AsInteger(), 1);
  }
  EXPECT_EQ(CountInOtherProcess(), 1);
  Insert(*t_, 2, "two again");
  EXPECT_EQ(CountInOtherProcess(), 2);
}

// After a refused call no lock of the dataset stays: another process takes
// the table and the record at once.
TEST_F(DiskDataSetTest, RefusedCallsLeaveNoLockBehind) {
  t_->First();
  const uint32_t address = t_->DatasetGetRecAddr();
  // A duplicate key.
  t_->Append();
  t_->FieldByName("ID")->SetAsInteger(1);
  EXPECT_EQ(ErrorOf([&] { t_->Post(); }), 9729);
  t_->Cancel();
  EXPECT_TRUE(OtherProcessLocksAtOnce(address));
  // A stale copy: another connection changed the record under the edit.
  auto second = NewDataBase();
  second->Open();
  auto other = NewTable(*second);
  other->Open();
  t_->First();
  other->First();
  other->Edit();
  other->FieldByName("Name")->SetAsString("theirs");
  other->Post();
  EXPECT_EQ(ErrorOf([&] { t_->Delete(); }), 8708);
  other->Close();
  EXPECT_TRUE(OtherProcessLocksAtOnce(address));
  // An unknown index.
  EXPECT_EQ(ErrorOf([&] { t_->InternalFind(stEQ, "Nothing"); }), 9997);
  EXPECT_TRUE(OtherProcessLocksAtOnce(address));
}


// A commit gives back the locks of the cursors on its connection: those on
// another connection keep theirs, and a cursor freed or moved away before it
// is not touched.
TEST_F(DiskDataSetTest, ACommitForgetsTheLocksOfItsOwnCursorsOnly) {
  const std::string otherPath = dir_ / "other.tav";
  {
    TTavDataBase creator(nullptr);
    creator.SetDataBaseName(otherPath);
    creator.CreateDatabase();
  }
  TTavDataBase other(nullptr);
  other.SetDataBaseName(otherPath);
  other.Open();
  {
    auto made = NewTable(other);
    made->FieldDefs().Add("ID", ftInteger, 0, true);
    made->CreateTable();
  }
  auto moved = NewTable(*db_);  // registered here first, then on the other connection
  moved->SetDataBase(&other);
  moved->Open();
  auto gone = NewTable(*db_);
  gone->Open();

  db_->StartTransaction();
  other.StartTransaction();
  t_->LockTable();
  gone->LockTable();
  moved->LockTable();
  gone.reset();
  db_->Commit();
  EXPECT_FALSE(t_->WriteLocked());
  EXPECT_FALSE(t_->ReadLocked());
  EXPECT_TRUE(moved->WriteLocked()) << "the other connection's transaction is still open";
  other.Commit();
  EXPECT_FALSE(moved->WriteLocked());

  // A rollback reaches them alike.
  db_->StartTransaction();
  t_->LockTable();
  db_->Rollback();
  EXPECT_FALSE(t_->WriteLocked());
  EXPECT_EQ(CountInOtherProcess(), 1);
}

TEST_F(DiskDataSetTest, CreateTableRefusalsAndFlush) {
  auto u = NewTable(*db_);
  u->SetTableName("U");
  u->FieldDefs().Add("ID", ftInteger, 0, true);
  db_->StartTransaction();
  EXPECT_EQ(ErrorOf([&] { u->CreateTable(); }), 10122);
  db_->Rollback();
  u->SetEncryptionLevel(encStrong);
  const TFailure f = FailureOf([&] { u->CreateTable(); });
  EXPECT_EQ(f.Code, 10766);
  EXPECT_NE(f.Message.find("This database does not use/support encryption"), std::string::npos) << f.Message;
  host::TStringList names;
  db_->GetTableNames(names, false);
  EXPECT_EQ(names.IndexOf("U"), -1);
  // Flush posts the pending record and forces the file to disk.
  t_->Append();
  t_->FieldByName("ID")->SetAsInteger(2);
  t_->Flush();
  EXPECT_EQ(t_->State(), host::dsBrowse);
  EXPECT_EQ(CountInOtherProcess(), 2);
}

}  // namespace
}  // namespace tav

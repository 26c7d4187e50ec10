// A database file damaged on disk gives the engine's own numbered errors,
// never a crash or a hang: bytes of a well-formed file are overwritten at
// random and every table operation is run over the result under the
// sanitizers. (Damage inside record data reads back as other data; only the
// structures are checked.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/variant.h"
#include "os/file.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"DATA", host::ftBlob}};
const std::vector<TTableIndexDesc> kIndexes = {{"ById", "ID", true},
                                               {"ByName", "NAME", false, false, true}};

std::string ReadAll(const std::string& path) {
  auto f = os::TOSFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
  std::string s(static_cast<size_t>(f->Size()), '\0');
  f->Read(0, s.data(), s.size());
  return s;
}

void WriteAll(const std::string& path, const std::string& bytes) {
  auto f = os::TOSFile::Create(path, os::TFileCreation::CreateAlways);
  f->Write(0, bytes.data(), bytes.size());
}

// Everything a reader and a writer do with the table; engine errors are the
// expected outcome of damage and end the run quietly. True when one was raised.
bool Exercise(const std::string& path, int32_t id) {
  try {
    TTestDatabaseFile db(path, false);
    auto table = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
    TTableConnection& c = *table;
    for (uint32_t a : c.Walk("ByName")) {
      std::vector<uint8_t> rec = c.Read(a);
      c.ReadBlob(rec.data(), "DATA");
    }
    c.Find("ById", host::Variant(17));
    c.Find("ByName", host::Variant("NAME 3"));
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", 100000);
    c.SetString(rec, "NAME", "late");
    c.Insert(rec, {{"DATA", std::string(3000, 'q')}});
    for (uint32_t a : c.Find("ById", host::Variant(5))) c.Delete(a);
    CheckIndexesAgree(c);
  } catch (const ETavDatabaseError&) {
    return true;
  } catch (const host::EAssertionFailed&) {
    // A broken internal rule found in time is as good as a numbered error.
    return true;
  }
  return false;
}

TEST(DamagedFile, RandomlyOverwrittenBytesNeverCrashOrHang) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string good = dir / "good.tav";
  int32_t id = 0;
  {
    TTestDatabaseFile db(good, true);
    TTableDef def(nullptr);
    BuildTableDef(def, "T", false, kFields, kIndexes);
    ASSERT_EQ(db.Tables().CreateTableDef("T", def), 0);
    id = def.TableID();
    TTableConnection c(db.Tables(), def);
    for (int i = 0; i < 600; ++i) {
      std::vector<uint8_t> rec = c.NewRecord();
      c.SetInteger(rec, "ID", i);
      c.SetString(rec, "NAME", "Name " + std::to_string(i % 41));
      c.Insert(rec, {{"DATA", std::string(static_cast<size_t>((i * 37) % 2000), 'd')}});
    }
  }
  const std::string image = ReadAll(good);
  const std::string path = dir / "bad.tav";
  std::mt19937 rng(20261209);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  int runs = 0, refused = 0;
  for (; runs < 300 && std::chrono::steady_clock::now() < deadline; ++runs) {
    std::string bytes = image;
    // A few bytes anywhere past the fixed area, or a burst inside one page.
    const size_t pageSize = 4096;
    const size_t pages = bytes.size() / pageSize;
    const size_t page = 5 + rng() % (pages - 5);
    const int hits = 1 + static_cast<int>(rng() % 8);
    for (int h = 0; h < hits; ++h) {
      const size_t at = (runs % 2 == 0) ? page * pageSize + rng() % pageSize
                                        : 3 * pageSize + rng() % (bytes.size() - 3 * pageSize);
      bytes[at] = static_cast<char>(rng());
    }
    WriteAll(path, bytes);
    refused += Exercise(path, id);
  }
  EXPECT_GT(runs, 20);
  EXPECT_GT(refused, 0) << "the damage was never noticed";
  std::printf("%d damaged files, %d refused with an engine error\n", runs, refused);
}

}  // namespace
}  // namespace tav::test

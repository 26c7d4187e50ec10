// Makes the files of the installer's sample payload that are not texts of
// the project (tools/stage_setup.sh calls it):
//
//   tavpayload databases <folder>            TavDemo.tav and SecurityDemo.tav,
//                                            made by the engine's components
//   tavpayload image <version> <file>...     program images whose version
//                                            resource holds <version> (a.b.c.d)
//   tavpayload standin {<file> <bytes>}...   stand-in bytes of those sizes
//
// Every file but the databases is the same on every run: stand-in bytes come
// from a generator seeded by the file's name, so that an install built twice
// meets the same files. Stand-ins do not compress, so a large one spans
// floppies.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/security_manager.h"
#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/storage/table/privileges.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "os/testing/pe_image_builder.h"

namespace {

namespace fs = std::filesystem;

// The most bytes a stand-in may be asked for: more than any disk set needs.
constexpr int64_t kMaxStandIn = 64 << 20;

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "tavpayload: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

// ---- stand-in bytes ----

// FNV-1a of the name, the seed of the file's bytes.
uint64_t Seed(const std::string& name) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return h | 1;
}

std::string StandIn(const std::string& name, int64_t size) {
  std::string bytes(static_cast<size_t>(size), '\0');
  uint64_t x = Seed(name);
  for (char& b : bytes) {  // xorshift64*
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    b = static_cast<char>((x * 2685821657736338717ull) >> 56);
  }
  return bytes;
}

// ---- program images ----

// "14.1.0.0" into the four parts; false for anything else.
bool ParseVersion(const std::string& text, uint32_t (&parts)[4]) {
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    size_t used = 0;
    unsigned long v = 0;
    try {
      v = std::stoul(text.substr(pos), &used);
    } catch (const std::exception&) {
      return false;
    }
    if (used == 0 || v > 0xFFFF) return false;
    parts[i] = static_cast<uint32_t>(v);
    pos += used;
    if (i < 3) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

bool Image(const fs::path& file, const std::string& version) {
  uint32_t v[4];
  if (!ParseVersion(version, v)) {
    std::fprintf(stderr, "tavpayload: %s is no version a.b.c.d\n", version.c_str());
    return false;
  }
  os::test::TPeSpec spec;
  spec.Fixed.FileVersionMS = spec.Fixed.ProductVersionMS = v[0] << 16 | v[1];
  spec.Fixed.FileVersionLS = spec.Fixed.ProductVersionLS = v[2] << 16 | v[3];
  const std::string name = file.filename().string();
  spec.Tables = {{u"040904E4",
                  {{u"CompanyName", u"Fennick Software"},
                   {u"FileDescription", u"Tavrin Database Engine"},
                   {u"FileVersion", Wide(version)},
                   {u"OriginalFilename", Wide(name)},
                   {u"ProductName", u"Tavrin Database Engine"},
                   {u"ProductVersion", Wide(version)}}}};
  spec.Translations = {{0x0409, 1252}};
  return WriteFile(file, os::test::BuildPeImage(spec).Bytes);
}

// ---- databases ----

struct TFieldSpec {
  const char* Name;
  host::TFieldType Type;
  int Size = 0;
};
struct TIndexSpec {
  const char* Name;
  const char* Field;
  host::TIndexOptions Options;
};

// A new table of `db`, opened: its fields (the first one required, with
// the primary index) and further indexes.
std::unique_ptr<tav::TTavTable> NewTable(tav::TTavDataBase& db, const char* name,
                                         std::initializer_list<TFieldSpec> fields,
                                         std::initializer_list<TIndexSpec> indexes = {}) {
  auto t = std::make_unique<tav::TTavTable>(nullptr);
  t->SetDataBase(&db);
  t->SetTableName(name);
  for (const TFieldSpec& f : fields)
    t->FieldDefs().Add(f.Name, f.Type, f.Size, &f == fields.begin());
  t->IndexDefs().Add("pk", fields.begin()->Name,
                     host::TIndexOptions{host::ixPrimary, host::ixUnique});
  for (const TIndexSpec& i : indexes) t->IndexDefs().Add(i.Name, i.Field, i.Options);
  t->CreateTable();
  t->Open();
  return t;
}

void AddField(host::TDataSet& t, const char* name, const std::string& value) {
  t.FieldByName(name)->SetAsString(value);
}

void MakeDemoDatabase(const fs::path& path) {
  tav::TTavDataBase db(nullptr);
  db.SetDataBaseName(path.string());
  db.CreateDatabase();
  db.Open();

  auto customers = NewTable(db, "Customers",
                            {{"CustNo", host::ftInteger}, {"Company", host::ftString, 40},
                             {"City", host::ftString, 30}},
                            {{"byCompany", "Company", host::TIndexOptions{host::ixCaseInsensitive}}});
  const struct {
    int No;
    const char* Company;
    const char* City;
  } kCustomers[] = {{1, "Ada Works", "London"},     {2, "Babbage & Sons", "Totnes"},
                    {3, "Countess Ltd", "Ockham"},  {4, "Difference Engines", "Marylebone"},
                    {5, "Lovelace Trading", "Leicester"}};
  for (const auto& c : kCustomers) {
    customers->Append();
    customers->FieldByName("CustNo")->SetAsInteger(c.No);
    AddField(*customers, "Company", c.Company);
    AddField(*customers, "City", c.City);
    customers->Post();
  }

  auto orders = NewTable(db, "Orders",
                         {{"OrderNo", host::ftInteger}, {"CustNo", host::ftInteger},
                          {"Amount", host::ftFloat}, {"Notes", host::ftMemo}},
                         {{"byCustomer", "CustNo", host::TIndexOptions{}}});
  for (int i = 0; i < 12; ++i) {
    orders->Append();
    orders->FieldByName("OrderNo")->SetAsInteger(1001 + i);
    orders->FieldByName("CustNo")->SetAsInteger(1 + i % 5);
    orders->FieldByName("Amount")->SetAsFloat(25.0 * (i + 1) + 0.5 * i);
    if (i % 4 == 0) AddField(*orders, "Notes", "Deliver to the back door.");
    orders->Post();
  }

  auto pictures = NewTable(db, "Pictures",
                           {{"PictureNo", host::ftInteger}, {"Title", host::ftString, 40},
                            {"Picture", host::ftBlob}});
  for (int i = 0; i < 3; ++i) {
    pictures->Append();
    pictures->FieldByName("PictureNo")->SetAsInteger(i + 1);
    AddField(*pictures, "Title", "Picture " + std::to_string(i + 1));
    pictures->FieldByName("Picture")->SetAsString(StandIn("picture" + std::to_string(i), 4096 << i));
    pictures->Post();
  }
}

// Encrypted under a master key, with security enforced: the administrator
// keeps its first-logon password, and the group "readers" (user "guest",
// password "guest") may read the staff table only.
void MakeSecurityDatabase(const fs::path& path) {
  const std::string key = "SecurityDemo";
  {
    tav::TTavDataBase db(nullptr);
    db.SetDataBaseName(path.string());
    db.SetMasterKey(key);
    db.SetEnforceSecurity(true);
    db.CreateDatabase();
  }
  tav::TTavDataBase db(nullptr);
  db.SetDataBaseName(path.string());
  db.SetBeforeLogin([&](host::TObject*, std::string& u, std::string& p, std::string& k) {
    u = tav::kAdministratorUser;
    p = tav::kDefaultAdministratorPassword;
    k = key;
  });
  db.Open();
  auto staff = NewTable(db, "Staff",
                        {{"EmpNo", host::ftInteger}, {"Name", host::ftString, 40},
                         {"Salary", host::ftFloat}});
  const char* kNames[] = {"Ada", "Charles", "Mary", "Augustus"};
  for (int i = 0; i < 4; ++i) {
    staff->Append();
    staff->FieldByName("EmpNo")->SetAsInteger(i + 1);
    AddField(*staff, "Name", kNames[i]);
    staff->FieldByName("Salary")->SetAsFloat(1000.0 + 250.0 * i);
    staff->Post();
  }
  tav::TSecurityManager& sm = db.SecurityManager();
  sm.AddGroup("readers");
  sm.AddUser("guest", "guest", "readers");
  tav::TPrivileges p;
  p.SetGroupName("readers");
  for (tav::TObjectPrivilegeType type : {tav::opExecuteObj, tav::opReadData}) {
    tav::TObjectPrivilege* item = p.ObjectPrivileges().Add();
    item->SetObjectType(tav::doTable);
    item->SetObjectName("Staff");
    item->SetPrivilegeType(type);
    item->SetFields("ALL");
  }
  sm.SetPrivileges(p, true);
}

// The databases are made in a folder of their own, so that only the
// database files themselves reach the payload.
int Databases(const fs::path& folder) {
  const fs::path work = folder / ".tavpayload-databases";
  fs::remove_all(work);
  fs::create_directories(work);
  try {
    MakeDemoDatabase(work / "TavDemo.tav");
    MakeSecurityDatabase(work / "SecurityDemo.tav");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavpayload: %s\n", e.what());
    fs::remove_all(work);
    return 1;
  }
  for (const char* name : {"TavDemo.tav", "SecurityDemo.tav"})
    fs::rename(work / name, folder / name);
  fs::remove_all(work);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tavpayload databases <folder>\n"
               "       tavpayload image <version a.b.c.d> <file>...\n"
               "       tavpayload standin {<file> <bytes>}...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "databases") return Databases(args[1]);
  if (args.size() >= 3 && args[0] == "image") {
    for (size_t i = 2; i < args.size(); ++i) {
      if (!Image(args[i], args[1])) return 1;
    }
    return 0;
  }
  if (args.size() >= 3 && args.size() % 2 == 1 && args[0] == "standin") {
    for (size_t i = 1; i < args.size(); i += 2) {
      char* end = nullptr;
      const long long size = std::strtoll(args[i + 1].c_str(), &end, 10);
      if (end == args[i + 1].c_str() || *end != '\0' || size < 0 || size > kMaxStandIn)
        return Usage();
      const fs::path file = args[i];
      if (!WriteFile(file, StandIn(file.filename().string(), size))) return 1;
    }
    return 0;
  }
  return Usage();
}

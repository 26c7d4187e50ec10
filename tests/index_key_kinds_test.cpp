// Indexes of every kind of key through the writes that move their entries:
// duplicate integer keys with the extremes of the type and NULLs, a
// descending integer key, a case-insensitive text key whose rows differ in
// case only, a key of two fields led by an integer, and a unique
// case-insensitive key. After deletes, updates, a rollback, another
// process's deletes and inserts between this connection's, and INSERT ...
// SELECT runs that collide or not, every index walks exactly the table's
// rows in its order, and every integer search finds what the rows hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// A row as the model keeps it.
struct TRow {
  std::optional<int32_t> K;  // index byK (duplicates), byKC (K, C)
  std::optional<int32_t> D;  // index byD (descending)
  std::string C;             // index byC (case-insensitive, duplicates)
  std::string U;             // index byU (unique, case-insensitive)
};
using TModel = std::map<int32_t, TRow>;  // by N

// Values of K and D: the type's extremes, the values around zero and NULL
// often, and a few hundred others, each held by many rows.
std::optional<int32_t> IntOf(int i, int salt) {
  switch ((i * 13 + salt) % 23) {
    case 0: return std::nullopt;
    case 1: return INT32_MIN;
    case 2: return INT32_MAX;
    case 3: return -1;
    case 4: return 0;
    case 5: return 1;
    case 6: return INT32_MIN + 1;
    case 7: return INT32_MAX - 1;
    default: return static_cast<int32_t>((i * 7919 + salt) % 600) - 300;
  }
}

// C: a name held by about ten rows, spelt in a case of its own by each.
std::string NameOf(int i) {
  std::string s = "name" + std::to_string(1000 + i % 300);
  for (size_t k = 0; k < s.size(); ++k)
    if (((i >> (k % 5)) & 1) != 0) s[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[k])));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct TConnection {
  std::unique_ptr<TTavDataBase> Db;
  explicit TConnection(const std::string& path) {
    Db = std::make_unique<TTavDataBase>(nullptr);
    Db->SetDataBaseName(path);
    Db->SetLockRetryMaximum(400);
    Db->SetLockRetryInterval(1);
    Db->Open();
  }
  std::unique_ptr<TTavTable> Table(const std::string& index, const std::string& name = "T") {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(Db.get());
    t->SetTableName(name);
    t->SetIndexName(index);
    t->Open();
    return t;
  }
  void Exec(const std::string& sql) {
    TTavQuery q(nullptr);
    q.SetDataBase(Db.get());
    q.SetSQLText(sql);
    q.ExecSQL();
  }
  int Count(const std::string& where) {
    TTavQuery q(nullptr);
    q.SetDataBase(Db.get());
    q.SetSQLText("SELECT COUNT(*) FROM T WHERE " + where);
    q.Open();
    const int n = q.Fields(0)->AsInteger();
    q.Close();
    return n;
  }
};

void SetInt(host::TField* f, const std::optional<int32_t>& v) {
  if (v)
    f->SetAsInteger(*v);
  else
    f->Clear();
}

// Adds a row through `t`; the model gets it under its new N.
void Add(TTavTable& t, TModel& model, const TRow& row) {
  t.Append();
  SetInt(t.FieldByName("K"), row.K);
  SetInt(t.FieldByName("D"), row.D);
  t.FieldByName("C")->SetAsString(row.C);
  t.FieldByName("U")->SetAsString(row.U);
  t.Post();
  model[t.FieldByName("N")->AsInteger()] = row;
}

std::optional<int32_t> IntField(TTavTable& t, const char* name) {
  host::TField* f = t.FieldByName(name);
  if (f->IsNull()) return std::nullopt;
  return f->AsInteger();
}

std::string Describe(const TRow& r) {
  auto i = [](const std::optional<int32_t>& v) { return v ? std::to_string(*v) : std::string("NULL"); };
  return "(" + i(r.K) + ", " + i(r.D) + ", " + r.C + ", " + r.U + ")";
}

// b lies before a in the order of index `index`: NULL before every value
// ascending, after every value descending; text without regard to case.
bool OutOfOrder(const std::string& index, const TRow& a, const TRow& b) {
  auto intBefore = [](const std::optional<int32_t>& x, const std::optional<int32_t>& y) {
    if (!x || !y) return !x && y;
    return *x < *y;
  };
  if (index == "byK") return intBefore(b.K, a.K);
  if (index == "byD") return intBefore(a.D, b.D);
  if (index == "byC") return Lower(b.C) < Lower(a.C);
  if (index == "byU") return Lower(b.U) < Lower(a.U);
  if (index == "byKC") {
    if (intBefore(b.K, a.K)) return true;
    return !intBefore(a.K, b.K) && Lower(b.C) < Lower(a.C);
  }
  return false;
}

// Walks every index of the table on a fresh dataset of `c`: each gives
// every row of the model once, with its values, in the index's order, and
// every tree is sound. Returns the first fault, "" when none.
std::string CheckIndexes(TConnection& c, const TModel& model) {
  for (const char* index : {"pk", "byK", "byD", "byC", "byU", "byKC"}) {
    std::unique_ptr<TTavTable> t = c.Table(index);
    std::map<int32_t, int> seen;
    std::optional<TRow> last;
    for (t->First(); !t->Eof(); t->Next()) {
      const int32_t n = t->FieldByName("N")->AsInteger();
      const auto it = model.find(n);
      if (it == model.end()) return std::string(index) + ": row " + std::to_string(n) + " is not in the table";
      if (++seen[n] > 1) return std::string(index) + ": row " + std::to_string(n) + " twice";
      const TRow row{IntField(*t, "K"), IntField(*t, "D"), t->FieldByName("C")->AsString(),
                     t->FieldByName("U")->AsString()};
      if (row.K != it->second.K || row.D != it->second.D || row.C != it->second.C || row.U != it->second.U)
        return std::string(index) + ": row " + std::to_string(n) + " holds " + Describe(row) + ", not " +
               Describe(it->second);
      if (last && OutOfOrder(index, *last, row))
        return std::string(index) + ": row " + std::to_string(n) + " out of order";
      last = row;
    }
    if (seen.size() != model.size())
      return std::string(index) + ": " + std::to_string(seen.size()) + " rows walked of " +
             std::to_string(model.size());
  }
  std::unique_ptr<TTavTable> t = c.Table("pk");
  return DamagedIndex(*t);
}

// Integer searches through the statement layer (an integer condition on
// an indexed field runs as a key range): equality on every extreme and a
// few ranges, on K and on D, counted as the model counts them.
std::string CheckIntegerSearches(TConnection& c, const TModel& model) {
  auto count = [&](const char* field, int64_t lo, int64_t hi) {
    int n = 0;
    for (const auto& [id, row] : model) {
      const std::optional<int32_t>& v = field[0] == 'K' ? row.K : row.D;
      if (v && *v >= lo && *v <= hi) ++n;
    }
    return n;
  };
  const int64_t probes[] = {INT32_MIN, INT32_MIN + 1, -300, -1, 0, 1, 17, 299, INT32_MAX - 1, INT32_MAX};
  for (const char* field : {"K", "D"}) {
    for (const int64_t v : probes) {
      const std::string where = std::string(field) + " = " + std::to_string(v);
      const int got = c.Count(where);
      if (got != count(field, v, v))
        return where + ": " + std::to_string(got) + " rows, expected " + std::to_string(count(field, v, v));
    }
    const std::pair<int64_t, int64_t> ranges[] = {
        {INT32_MIN, -1}, {-5, 5}, {0, INT32_MAX}, {INT32_MIN, INT32_MAX}, {299, INT32_MAX - 1}};
    for (const auto& [lo, hi] : ranges) {
      const std::string where = std::string(field) + " >= " + std::to_string(lo) + " AND " + field +
                                " <= " + std::to_string(hi);
      const int got = c.Count(where);
      if (got != count(field, lo, hi))
        return where + ": " + std::to_string(got) + " rows, expected " + std::to_string(count(field, lo, hi));
    }
  }
  return "";
}

class IndexKeyKindsTest : public ::testing::Test {
 protected:
  static constexpr int kRows = 2400;

  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "kinds.tav";
    CreateDatabaseFile(path_);
    TConnection c(path_);
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(c.Db.get());
    t->SetTableName("T");
    t->FieldDefs().Add("N", host::ftAutoInc);
    t->FieldDefs().Add("K", host::ftInteger);
    t->FieldDefs().Add("D", host::ftInteger);
    t->FieldDefs().Add("C", host::ftString, 40);
    t->FieldDefs().Add("U", host::ftString, 40);
    t->IndexDefs().Add("pk", "N", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    t->IndexDefs().Add("byK", "K", host::TIndexOptions{});
    t->IndexDefs().Add("byD", "D", host::TIndexOptions{host::ixDescending});
    t->IndexDefs().Add("byC", "C", host::TIndexOptions{host::ixCaseInsensitive});
    t->IndexDefs().Add("byU", "U", host::TIndexOptions{host::ixUnique, host::ixCaseInsensitive});
    t->IndexDefs().Add("byKC", "K;C", host::TIndexOptions{});
    t->IndexDefs().Items(5)->SetCaseInsFields("C");
    t->CreateTable();
    t.reset();
    std::unique_ptr<TTavTable> w = c.Table("pk");
    c.Db->StartTransaction();
    for (int i = 0; i < kRows; ++i) Add(*w, model_, RowOf(i));
    c.Db->Commit();
  }

  static TRow RowOf(int i) {
    std::string u = "u" + std::to_string(100000 + i);
    if (i % 2) u[0] = 'U';
    return TRow{IntOf(i, 0), IntOf(i, 5), NameOf(i), u};
  }

  void ExpectSound(TConnection& c) {
    EXPECT_EQ(CheckIndexes(c, model_), "");
    EXPECT_EQ(CheckIntegerSearches(c, model_), "");
  }

  os::test::TTempDir dir_;
  std::string path_;
  TModel model_;
};

// Deletes of rows whose keys other rows share byte for byte (duplicates
// of K, D and (K, C)) or share but for case (C), each made from a dataset
// standing on the row by one index or another, and updates that change
// only the case of a case-insensitive key or move integer keys between
// the extremes: each index loses or moves the entry of its own row only.
TEST_F(IndexKeyKindsTest, DeletesAndUpdatesTakeTheEntryOfTheirOwnRow) {
  TConnection c(path_);
  ExpectSound(c);
  // Walking each index, deleting every fifth row it stands on.
  for (const char* index : {"byK", "byD", "byC", "byKC"}) {
    std::unique_ptr<TTavTable> t = c.Table(index);
    int step = 0;
    c.Db->StartTransaction();
    for (t->First(); !t->Eof();) {
      if (++step % 5 == 0) {
        model_.erase(t->FieldByName("N")->AsInteger());
        t->Delete();
      } else {
        t->Next();
      }
    }
    c.Db->Commit();
    ASSERT_EQ(CheckIndexes(c, model_), "") << "after the deletes on " << index;
  }
  // Only the case of C changes (its entries stay where they are); K moves
  // to the other extreme; D loses its value.
  {
    std::unique_ptr<TTavTable> t = c.Table("byC");
    c.Db->StartTransaction();
    for (t->First(); !t->Eof(); t->Next()) {
      const int32_t n = t->FieldByName("N")->AsInteger();
      if (n % 3 != 0) continue;
      std::string& name = model_[n].C;
      for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      t->Edit();
      t->FieldByName("C")->SetAsString(name);
      t->Post();
    }
    c.Db->Commit();
  }
  c.Exec("UPDATE T SET K = 2147483647 WHERE K = -2147483648");
  c.Exec("UPDATE T SET D = NULL WHERE D = 0");
  for (auto& [n, row] : model_) {
    if (row.K == INT32_MIN) row.K = INT32_MAX;
    if (row.D == 0) row.D = std::nullopt;
  }
  ExpectSound(c);
  // Deletes by the statement layer: an integer range, the extremes, NULLs,
  // and a case-insensitive name.
  c.Exec("DELETE FROM T WHERE K = 2147483647");
  c.Exec("DELETE FROM T WHERE D IS NULL");
  c.Exec("DELETE FROM T WHERE K >= -3 AND K <= 3");
  c.Exec("DELETE FROM T WHERE UPPER(C) = 'NAME1007'");
  for (auto it = model_.begin(); it != model_.end();) {
    const TRow& r = it->second;
    const bool gone = r.K == INT32_MAX || !r.D || (r.K && *r.K >= -3 && *r.K <= 3) ||
                      Lower(r.C) == "name1007";
    it = gone ? model_.erase(it) : std::next(it);
  }
  ExpectSound(c);
  // Taken back: every index as it was.
  c.Db->StartTransaction();
  {
    std::unique_ptr<TTavTable> t = c.Table("byK");
    for (t->First(); !t->Eof();) {
      const std::optional<int32_t> k = IntField(*t, "K");
      if (t->FieldByName("N")->AsInteger() % 2 == 0) {
        t->Delete();
      } else if (k && *k > 0 && *k < 300) {
        t->Edit();
        t->FieldByName("K")->SetAsInteger(-*k);
        t->Post();
      } else {
        t->Next();
      }
    }
  }
  c.Db->Rollback();
  ExpectSound(c);
}

// Another process deletes the rows this connection's datasets stand on
// and adds rows of the same keys in other spellings; the datasets then
// move on and delete where they land: each delete takes its own row's
// entries, never one the other process put where a dataset stood.
TEST_F(IndexKeyKindsTest, DeletesAfterAnotherProcessesChangesTakeTheirOwnRowsEntries) {
  TConnection c(path_);
  std::vector<std::unique_ptr<TTavTable>> cursors;
  for (const char* index : {"byK", "byD", "byC", "byKC"}) {
    cursors.push_back(c.Table(index));
    for (int i = 0; i < 700 && !cursors.back()->Eof(); ++i) cursors.back()->Next();
  }
  for (int round = 0; round < 4; ++round) {
    std::vector<int32_t> standing;
    // (A row one dataset deleted may be the one another stood on.)
    for (auto& t : cursors) {
      t->Refresh();
      if (t->Eof()) t->First();
      standing.push_back(t->FieldByName("N")->AsInteger());
    }
    for (const int32_t n : standing) ASSERT_TRUE(model_.count(n)) << "round " << round << " row " << n;
    auto respelt = [&](size_t k) {
      TRow row = model_.at(standing[k]);
      row.C = Lower(row.C);
      row.U = "x" + std::to_string(round) + "-" + std::to_string(k);
      return row;
    };
    TModel added;
    {
      TChild other([&](TChildSide& side) {
        TConnection o(path_);
        std::unique_ptr<TTavTable> t = o.Table("pk");
        o.Db->StartTransaction();
        for (const int32_t n : standing)
          if (t->FindKey({host::Variant(n)})) t->Delete();
        std::vector<int32_t> numbers;
        for (size_t k = 0; k < standing.size(); ++k) {
          TModel mine;
          Add(*t, mine, respelt(k));
          numbers.push_back(mine.begin()->first);
        }
        o.Db->Commit();
        for (const int32_t n : numbers) side.Send(static_cast<uint64_t>(n));
        return 0;
      });
      ASSERT_TRUE(other.Started());
      for (size_t k = 0; k < standing.size(); ++k) {
        uint64_t n = 0;
        ASSERT_TRUE(other.Receive(n));
        added[static_cast<int32_t>(n)] = respelt(k);
      }
      ASSERT_EQ(other.Wait(), 0);
    }
    for (const int32_t n : standing) model_.erase(n);
    model_.insert(added.begin(), added.end());
    c.Db->StartTransaction();
    for (auto& t : cursors) {
      t->Refresh();
      for (int i = 0; i < 37 && !t->Eof(); ++i) t->Next();
      if (t->Eof()) t->First();
      model_.erase(t->FieldByName("N")->AsInteger());
      t->Delete();
    }
    c.Db->Commit();
    ASSERT_EQ(CheckIndexes(c, model_), "") << "round " << round;
  }
  EXPECT_EQ(CheckIntegerSearches(c, model_), "");
}

// An INSERT ... SELECT whose last row collides with a key of the unique
// case-insensitive index that differs only in case leaves the table as it
// was; the same statement without that row adds every row, each at its
// place in every index, duplicates and extremes included.
TEST_F(IndexKeyKindsTest, AnInsertSelectCollidingInCaseOnlyLeavesTheTableAndOtherwiseAddsEveryRow) {
  TConnection c(path_);
  {
    auto src = std::make_unique<TTavTable>(nullptr);
    src->SetDataBase(c.Db.get());
    src->SetTableName("Src");
    src->FieldDefs().Add("N", host::ftInteger);
    src->FieldDefs().Add("K", host::ftInteger);
    src->FieldDefs().Add("D", host::ftInteger);
    src->FieldDefs().Add("C", host::ftString, 40);
    src->FieldDefs().Add("U", host::ftString, 40);
    src->CreateTable();
  }
  std::unique_ptr<TTavTable> src = c.Table("", "Src");
  std::vector<TRow> rows;
  auto put = [&](int n, const TRow& row) {
    src->Append();
    src->FieldByName("N")->SetAsInteger(n);
    SetInt(src->FieldByName("K"), row.K);
    SetInt(src->FieldByName("D"), row.D);
    src->FieldByName("C")->SetAsString(row.C);
    src->FieldByName("U")->SetAsString(row.U);
    src->Post();
  };
  c.Db->StartTransaction();
  for (int i = 0; i < 900; ++i) {
    TRow row = RowOf(kRows + i);
    row.U = "v" + std::to_string(i);
    rows.push_back(row);
    put(i, row);
  }
  // U of the first row of T, in the other case.
  std::string clash = model_.begin()->second.U;
  clash[0] = clash[0] == 'u' ? 'U' : 'u';
  put(900, TRow{5, 5, "clash", clash});
  c.Db->Commit();

  EXPECT_EQ(ErrorCodeOf([&] { c.Exec("INSERT INTO T (K, D, C, U) SELECT K, D, C, U FROM Src"); }),
            kKeyViolation);
  ExpectSound(c);
  c.Exec("INSERT INTO T (K, D, C, U) SELECT K, D, C, U FROM Src WHERE N < 900");
  // The new rows, found by their unique U.
  std::unique_ptr<TTavTable> t = c.Table("byU");
  for (const TRow& row : rows) {
    ASSERT_TRUE(t->FindKey({host::Variant(row.U)})) << row.U;
    model_[t->FieldByName("N")->AsInteger()] = row;
  }
  ExpectSound(c);
}

}  // namespace
}  // namespace tav::test

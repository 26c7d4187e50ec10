#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/query/exec/std_join_provider.h"
#include "engine/query/testing/query_runner.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"

namespace tav {
namespace {

using testing::TQueryRunner;

// ---------------------------------------------------------------------------
// The reference model: rows in memory, joined by nested loops under the SQL
// null rules.

struct TValue {
  bool Null = true;
  double Num = 0;
  std::string Str;
  bool IsStr = false;
};

// One stored row: K and J integers, S text, F float.
struct TRow {
  std::optional<int> K, J;
  std::optional<std::string> S;
  std::optional<double> F;
};

enum TTri { tFalse, tTrue, tUnknown };

TTri And(TTri a, TTri b) {
  if (a == tFalse || b == tFalse) return tFalse;
  return a == tTrue && b == tTrue ? tTrue : tUnknown;
}
TTri Or(TTri a, TTri b) {
  if (a == tTrue || b == tTrue) return tTrue;
  return a == tFalse && b == tFalse ? tFalse : tUnknown;
}

constexpr int kTables = 4;  // A, B, C, D as a, b, c, d
using TTuple = std::vector<const TRow*>;  // one slot per table; nullptr = NULL
using TRel = std::vector<TTuple>;
using TPred = std::function<TTri(const TTuple&)>;

TValue Col(const TTuple& t, int table, char column) {
  TValue v;
  const TRow* r = t[static_cast<size_t>(table)];
  if (r == nullptr) return v;
  switch (column) {
    case 'K': if (r->K) { v.Null = false; v.Num = *r->K; } break;
    case 'J': if (r->J) { v.Null = false; v.Num = *r->J; } break;
    case 'F': if (r->F) { v.Null = false; v.Num = *r->F; } break;
    case 'S': if (r->S) { v.Null = false; v.Str = *r->S; v.IsStr = true; } break;
  }
  return v;
}

// table.column <op> table.column
TPred Cmp(int t1, char c1, const char* op, int t2, char c2) {
  const std::string o = op;
  return [=](const TTuple& t) {
    const TValue a = Col(t, t1, c1), b = Col(t, t2, c2);
    if (a.Null || b.Null) return tUnknown;
    const int c = a.IsStr ? a.Str.compare(b.Str) : (a.Num < b.Num ? -1 : a.Num > b.Num ? 1 : 0);
    const bool r = o == "=" ? c == 0 : o == "<" ? c < 0 : o == ">" ? c > 0 : c != 0;
    return r ? tTrue : tFalse;
  };
}
TPred CmpConst(int t1, char c1, const char* op, int k) {
  const std::string o = op;
  return [=](const TTuple& t) {
    const TValue a = Col(t, t1, c1);
    if (a.Null) return tUnknown;
    const bool r = o == "=" ? a.Num == k : o == "<" ? a.Num < k : a.Num > k;
    return r ? tTrue : tFalse;
  };
}
TPred IsNull(int t1, char c1) {
  return [=](const TTuple& t) { return Col(t, t1, c1).Null ? tTrue : tFalse; };
}
TPred operator&&(TPred a, TPred b) {
  return [=](const TTuple& t) { return And(a(t), b(t)); };
}
TPred operator||(TPred a, TPred b) {
  return [=](const TTuple& t) { return Or(a(t), b(t)); };
}

enum TKind { kInner, kLeft, kRight, kFull, kCross, kUnion };

TTuple Merge(const TTuple& a, const TTuple& b) {
  TTuple out(kTables, nullptr);
  for (int i = 0; i < kTables; ++i) out[i] = a[i] != nullptr ? a[i] : b[i];
  return out;
}

// The tuple of `r` with only its tables' slots: the NULL row of a side.
TRel ModelJoin(const TRel& l, const TRel& r, TKind kind, const TPred& on) {
  TRel out;
  const TTuple none(kTables, nullptr);
  if (kind == kUnion) {
    for (const TTuple& a : l) out.push_back(a);
    for (const TTuple& b : r) out.push_back(b);
    return out;
  }
  std::vector<bool> rightMatched(r.size(), false);
  for (const TTuple& a : l) {
    bool matched = false;
    for (size_t j = 0; j < r.size(); ++j) {
      const TTuple m = Merge(a, r[j]);
      if (kind == kCross || on(m) == tTrue) {
        out.push_back(m);
        matched = true;
        rightMatched[j] = true;
      }
    }
    if (!matched && (kind == kLeft || kind == kFull)) out.push_back(a);
  }
  if (kind == kRight || kind == kFull)
    for (size_t j = 0; j < r.size(); ++j)
      if (!rightMatched[j]) out.push_back(r[j]);
  return out;
}

TRel Where(const TRel& rel, const TPred& p) {
  TRel out;
  for (const TTuple& t : rel)
    if (p(t) == tTrue) out.push_back(t);
  return out;
}

// ---------------------------------------------------------------------------
// Random memory tables A, B, C, D: K and J integers (small ranges, NULLs and
// duplicates), S text of a size of its own per table, F float; an index on K
// in some of them.

const char* const kNames[kTables] = {"A", "B", "C", "D"};
const char* const kAliases[kTables] = {"a", "b", "c", "d"};
const int kTextSizes[kTables] = {10, 4, 10, 6};

class JoinModelTest : public ::testing::Test {
 protected:
  // `sizes`: each table's row count, instead of a random one; `keyIndexes`:
  // every table indexed on K, and J made distinct (NULL in none) under a
  // unique index.
  void Build(unsigned seed, const std::vector<int>& sizes = {}, bool keyIndexes = false) {
    // A connection of its own: the memory tables of the last build go with
    // the last one.
    db_ = std::make_unique<TTavDataBase>(nullptr);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char* const texts[] = {"", "x", "ab", "Ab", "abc", "abcdefgh"};
    for (int t = 0; t < kTables; ++t) {
      rows_[t].clear();
      const int count = !sizes.empty() ? sizes[static_cast<size_t>(t)] : pick(4) == 0 ? 0 : pick(9);
      for (int i = 0; i < count; ++i) {
        TRow r;
        if (pick(5) != 0) r.K = pick(5);
        if (keyIndexes)
          r.J = (i * 7) % count;
        else if (pick(5) != 0)
          r.J = pick(4);
        if (pick(5) != 0) {
          std::string s = texts[pick(6)];
          if (static_cast<int>(s.size()) < kTextSizes[t]) r.S = s;
        }
        if (pick(4) != 0) r.F = pick(3) == 0 ? pick(5) + 0.5 : pick(5);
        rows_[t].push_back(r);
      }
      TTavBaseTable table(nullptr);
      test::ConnectMemory(*db_, table, kNames[t]);
      ASSERT_FALSE(table.GetExists());
      table.FieldDefs().Add("K", host::ftInteger);
      table.FieldDefs().Add("J", host::ftInteger);
      table.FieldDefs().Add("S", host::ftString, kTextSizes[t]);
      table.FieldDefs().Add("F", host::ftFloat);
      if (keyIndexes) {
        table.IndexDefs().Add("byK", "K", host::TIndexOptions{});
        table.IndexDefs().Add("byJ", "J", host::TIndexOptions{host::ixUnique});
      } else {
        if (pick(2) == 0) table.IndexDefs().Add("byK", "K", host::TIndexOptions{});
        if (pick(2) == 0) table.IndexDefs().Add("byS", "S", host::TIndexOptions{});
      }
      table.CreateTable();
      table.Open();
      for (const TRow& r : rows_[t]) {
        table.Append();
        if (r.K) table.FieldByName("K")->SetAsInteger(*r.K);
        if (r.J) table.FieldByName("J")->SetAsInteger(*r.J);
        if (r.S) table.FieldByName("S")->SetAsString(*r.S);
        if (r.F) table.FieldByName("F")->SetAsFloat(*r.F);
        table.Post();
      }
      table.Close();
    }
  }

  void RegisterTables(TQueryRunner& run) {
    for (int t = 0; t < kTables; ++t)
      run.Driver.AddTable(kNames[t], {{"K", host::ftInteger}, {"J", host::ftInteger},
                                      {"S", host::ftString}, {"F", host::ftFloat}});
  }

  TRel Scan(int t) const {
    TRel out;
    for (const TRow& r : rows_[t]) {
      TTuple tuple(kTables, nullptr);
      tuple[t] = &r;
      out.push_back(tuple);
    }
    return out;
  }

  static std::vector<std::string> Render(const TRel& rel, const std::vector<std::string>& columns) {
    std::vector<std::string> out;
    for (const TTuple& t : rel) {
      std::string row;
      for (const std::string& c : columns) {
        const int table = c[0] - 'a';
        const TValue v = Col(t, table, c[2]);
        if (!row.empty()) row += '|';
        row += v.Null ? "NULL" : v.IsStr ? v.Str : std::to_string(static_cast<int>(v.Num));
      }
      out.push_back(row);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Runs `sql` in both modes; the rows must be the model's. Returns whether
  // some join ran in hash mode.
  bool Check(const std::string& sql, const TRel& model, const std::vector<std::string>& columns,
             unsigned seed) {
    const std::vector<std::string> expected = Render(model, columns);
    bool hashed = false;
    looked_up_ = false;
    for (bool hash : {true, false}) {
      TQueryRunner run(*db_);
      RegisterTables(run);
      const std::string error = run.Prepare(sql);
      EXPECT_EQ(error, "") << sql;
      if (!error.empty()) return false;
      run.Open(hash);
      EXPECT_EQ(run.Rows(columns), expected)
          << sql << (hash ? " (hash)" : " (re-filter)") << " seed " << seed << "\n"
          << run.Dump();
      for (int i = 0; i < run.Mgr.GetJoinCount(); ++i) {
        const TJoinModeType mode = run.Mgr.GetJoin(i)->Evaluator().JoinModeType();
        if (!hash) {
          EXPECT_EQ(mode, jmtJoinExpr);
        }
        hashed = hashed || mode == jmtHashJoin;
        looked_up_ = looked_up_ || mode == jmtKeyLookup;
      }
    }
    return hashed;
  }

  std::unique_ptr<TTavDataBase> db_;
  std::vector<TRow> rows_[kTables];
  bool looked_up_ = false;  // some join of the last Check ran in key lookup mode
};

const std::vector<std::string> kAB = {"a.K", "a.J", "a.S", "b.K", "b.J", "b.S"};
const std::vector<std::string> kABC = {"a.K", "a.J", "b.K", "b.J", "c.K", "c.J"};
const std::vector<std::string> kABCD = {"a.K", "b.K", "c.K", "d.K", "a.J", "d.J"};

struct TKindCase {
  TKind Kind;
  const char* Sql;
};
const TKindCase kKinds[] = {{kInner, "JOIN"},       {kLeft, "LEFT JOIN"},
                            {kRight, "RIGHT JOIN"}, {kFull, "FULL JOIN"}};

TEST_F(JoinModelTest, TwoTablesEveryKindAndConditionShape) {
  enum { A, B };
  struct TOn {
    const char* Sql;
    TPred Pred;
    bool Hashable;
  };
  const TOn ons[] = {
      {"a.K = b.K", Cmp(A, 'K', "=", B, 'K'), true},
      {"b.K = a.K", Cmp(A, 'K', "=", B, 'K'), true},
      {"a.K = b.K AND a.J = b.J", Cmp(A, 'K', "=", B, 'K') && Cmp(A, 'J', "=", B, 'J'), true},
      {"a.K = b.K OR a.J = b.J", Cmp(A, 'K', "=", B, 'K') || Cmp(A, 'J', "=", B, 'J'), true},
      {"a.S = b.S", Cmp(A, 'S', "=", B, 'S'), true},
      {"a.K < b.K", Cmp(A, 'K', "<", B, 'K'), false},
      // Two types: compared by value, never as bytes.
      {"a.K = b.F", Cmp(A, 'K', "=", B, 'F'), false},
      // One side only: it does not join the sides.
      {"a.K = b.K AND a.J = a.K", Cmp(A, 'K', "=", B, 'K') && Cmp(A, 'J', "=", A, 'K'), false},
      {"a.K = b.K AND b.J = b.K", Cmp(A, 'K', "=", B, 'K') && Cmp(B, 'J', "=", B, 'K'), false},
  };
  for (unsigned seed = 1; seed <= 6; ++seed) {
    Build(seed);
    for (const TKindCase& k : kKinds)
      for (const TOn& on : ons) {
        const std::string sql =
            std::string("SELECT * FROM A a ") + k.Sql + " B b ON " + on.Sql;
        const bool hashed = Check(sql, ModelJoin(Scan(A), Scan(B), k.Kind, on.Pred), kAB, seed);
        if (!on.Hashable) {
          EXPECT_FALSE(hashed) << sql;
        } else if (!rows_[A].empty() && !rows_[B].empty()) {
          EXPECT_TRUE(hashed) << sql;
        }
      }
    Check("SELECT * FROM A a CROSS JOIN B b", ModelJoin(Scan(A), Scan(B), kCross, nullptr), kAB,
          seed);
    Check("SELECT * FROM A a UNION JOIN B b", ModelJoin(Scan(A), Scan(B), kUnion, nullptr), kAB,
          seed);
    Check("SELECT * FROM A a, B b", ModelJoin(Scan(A), Scan(B), kCross, nullptr), kAB, seed);
  }
}

TEST_F(JoinModelTest, SelectionsOnEitherSideAndAntiJoins) {
  enum { A, B };
  const TPred on = Cmp(A, 'K', "=", B, 'K');
  for (unsigned seed = 11; seed <= 16; ++seed) {
    Build(seed);
    for (const TKindCase& k : kKinds) {
      const TRel joined = ModelJoin(Scan(A), Scan(B), k.Kind, on);
      const std::string from = std::string("SELECT * FROM A a ") + k.Sql + " B b ON a.K = b.K ";
      Check(from + "WHERE a.J > 1", Where(joined, CmpConst(A, 'J', ">", 1)), kAB, seed);
      Check(from + "WHERE b.J > 1", Where(joined, CmpConst(B, 'J', ">", 1)), kAB, seed);
      Check(from + "WHERE a.J > 1 AND b.J < 3",
            Where(joined, CmpConst(A, 'J', ">", 1) && CmpConst(B, 'J', "<", 3)), kAB, seed);
      // Anti-joins: the rows of one side no row of the other matched.
      Check(from + "WHERE b.K IS NULL", Where(joined, IsNull(B, 'K')), kAB, seed);
      Check(from + "WHERE a.K IS NULL", Where(joined, IsNull(A, 'K')), kAB, seed);
    }
    // A selection on each side of a WHERE join, and on the joined rows.
    const TRel cross = ModelJoin(Scan(A), Scan(B), kCross, nullptr);
    Check("SELECT * FROM A a, B b WHERE a.K = b.K AND a.J > 1 AND b.J < 3",
          Where(cross, on && CmpConst(A, 'J', ">", 1) && CmpConst(B, 'J', "<", 3)), kAB, seed);
    Check("SELECT * FROM A a, B b WHERE a.K = b.K OR a.J = 2",
          Where(cross, on || CmpConst(A, 'J', "=", 2)), kAB, seed);
  }
}

// A few rows against many: the many are searched by key (duplicate and NULL
// keys under K, one record per key under J's unique index), for every kind
// and every condition shape, with the same rows as the other modes give.
TEST_F(JoinModelTest, FewRowsSearchTheLargeTableByKey) {
  enum { A, B };
  struct TOn {
    const char* Sql;
    TPred Pred;
    bool Searched;  // B (the large side) can be searched by key
  };
  const TOn ons[] = {
      {"a.K = b.K", Cmp(A, 'K', "=", B, 'K'), true},
      {"b.K = a.K", Cmp(A, 'K', "=", B, 'K'), true},
      {"a.J = b.J", Cmp(A, 'J', "=", B, 'J'), true},
      {"a.K = b.K AND a.J = b.J", Cmp(A, 'K', "=", B, 'K') && Cmp(A, 'J', "=", B, 'J'), true},
      {"a.J = b.K AND a.K = b.J", Cmp(A, 'J', "=", B, 'K') && Cmp(A, 'K', "=", B, 'J'), true},
      // An OR: a match need not meet either equality.
      {"a.K = b.K OR a.J = b.J", Cmp(A, 'K', "=", B, 'K') || Cmp(A, 'J', "=", B, 'J'), false},
      // Texts are not searched.
      {"a.S = b.S", Cmp(A, 'S', "=", B, 'S'), false},
  };
  for (unsigned seed = 31; seed <= 34; ++seed) {
    Build(seed, {seed == 31 ? 0 : static_cast<int>(seed) - 31, 48, 0, 0}, true);
    for (const TKindCase& k : kKinds)
      for (const TOn& on : ons) {
        const std::string sql = std::string("SELECT * FROM A a ") + k.Sql + " B b ON " + on.Sql;
        Check(sql, ModelJoin(Scan(A), Scan(B), k.Kind, on.Pred), kAB, seed);
        // A RIGHT join keeps every row of B: A is the side searched.
        EXPECT_EQ(looked_up_, on.Searched && k.Kind != kRight) << sql << " seed " << seed;
      }
    // The large table on the left: an inner join searches it all the same.
    const TPred ab = Cmp(A, 'K', "=", B, 'K');
    Check("SELECT * FROM B b JOIN A a ON a.K = b.K", ModelJoin(Scan(B), Scan(A), kInner, ab), kAB, seed);
    EXPECT_TRUE(looked_up_) << seed;
    Check("SELECT * FROM B b RIGHT JOIN A a ON a.K = b.K", ModelJoin(Scan(B), Scan(A), kRight, ab), kAB,
          seed);
    EXPECT_TRUE(looked_up_) << seed;
    // A selection on the large side: filtered, not searched.
    Check("SELECT * FROM A a JOIN B b ON a.K = b.K WHERE b.J > 20",
          Where(ModelJoin(Scan(A), Scan(B), kInner, ab), CmpConst(B, 'J', ">", 20)), kAB, seed);
    EXPECT_FALSE(looked_up_) << seed;
    // A join searched once per row of the join above it.
    Check("SELECT * FROM A a, B b WHERE a.K = b.K AND a.J = b.J",
          Where(ModelJoin(Scan(A), Scan(B), kCross, nullptr), ab && Cmp(A, 'J', "=", B, 'J')), kAB, seed);
  }
}

TEST_F(JoinModelTest, ThreeAndFourTablesFullInsideFull) {
  enum { A, B, C, D };
  for (unsigned seed = 21; seed <= 28; ++seed) {
    Build(seed);
    const TPred ab = Cmp(A, 'K', "=", B, 'K'), bc = Cmp(B, 'K', "=", C, 'K'),
                ac = Cmp(A, 'K', "=", C, 'K'), cd = Cmp(C, 'J', "=", D, 'J');
    Check("SELECT * FROM A a FULL JOIN B b ON a.K = b.K FULL JOIN C c ON b.K = c.K",
          ModelJoin(ModelJoin(Scan(A), Scan(B), kFull, ab), Scan(C), kFull, bc), kABC, seed);
    Check("SELECT * FROM A a FULL JOIN (B b FULL JOIN C c ON b.K = c.K) ON a.K = c.K",
          ModelJoin(Scan(A), ModelJoin(Scan(B), Scan(C), kFull, bc), kFull, ac), kABC, seed);
    Check("SELECT * FROM A a LEFT JOIN B b ON a.K = b.K RIGHT JOIN C c ON b.K = c.K",
          ModelJoin(ModelJoin(Scan(A), Scan(B), kLeft, ab), Scan(C), kRight, bc), kABC, seed);
    Check("SELECT * FROM A a JOIN (B b LEFT JOIN C c ON b.K = c.K) ON a.K = c.K OR a.J = b.J",
          ModelJoin(Scan(A), ModelJoin(Scan(B), Scan(C), kLeft, bc), kInner,
                    ac || Cmp(A, 'J', "=", B, 'J')),
          kABC, seed);
    Check("SELECT * FROM A a UNION JOIN B b FULL JOIN C c ON a.K = c.K",
          ModelJoin(ModelJoin(Scan(A), Scan(B), kUnion, nullptr), Scan(C), kFull, ac), kABC,
          seed);
    Check("SELECT * FROM A a FULL JOIN B b ON a.K = b.K FULL JOIN (C c FULL JOIN D d ON "
          "c.J = d.J) ON b.K = c.K",
          ModelJoin(ModelJoin(Scan(A), Scan(B), kFull, ab),
                    ModelJoin(Scan(C), Scan(D), kFull, cd), kFull, bc),
          kABCD, seed);
    Check("SELECT * FROM A a JOIN B b ON a.K = b.K LEFT JOIN C c ON a.K = c.K AND b.J = c.J "
          "FULL JOIN D d ON c.J = d.J",
          ModelJoin(ModelJoin(ModelJoin(Scan(A), Scan(B), kInner, ab), Scan(C), kLeft,
                              ac && Cmp(B, 'J', "=", C, 'J')),
                    Scan(D), kFull, cd),
          kABCD, seed);
    // WHERE joins: the pairs apart from the root, conditions between joined
    // tables, a condition over three tables.
    const TRel all = ModelJoin(ModelJoin(ModelJoin(Scan(A), Scan(B), kCross, nullptr), Scan(C),
                                         kCross, nullptr),
                               Scan(D), kCross, nullptr);
    Check("SELECT * FROM A a, B b, C c, D d WHERE a.K = b.K AND c.J = d.J AND b.J = c.J",
          Where(all, ab && cd && Cmp(B, 'J', "=", C, 'J')), kABCD, seed);
    Check("SELECT * FROM A a, B b, C c, D d WHERE a.K = b.K AND c.J = d.J AND a.J = b.J "
          "AND a.K + b.K = c.K",
          Where(all, ab && cd && Cmp(A, 'J', "=", B, 'J') &&
                         [](const TTuple& t) {
                           const TValue a = Col(t, 0, 'K'), b = Col(t, 1, 'K'), c = Col(t, 2, 'K');
                           if (a.Null || b.Null || c.Null) return tUnknown;
                           return a.Num + b.Num == c.Num ? tTrue : tFalse;
                         }),
          kABCD, seed);
  }
}

}  // namespace
}  // namespace tav

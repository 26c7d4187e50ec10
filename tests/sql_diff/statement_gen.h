// Random statements over the random tables, in the dialect our engine and
// SQLite share, each written twice: our text, and SQLite's with the known
// differences (known_differences.h) mapped so that SQLite computes our rule.
//
// Every operand pair has one type. SELECTs range over one table, comma joins
// and chains of INNER, LEFT, RIGHT, FULL and CROSS joins (ON with equalities,
// AND and OR of them, inequalities; USING with named columns); WHERE with
// AND, OR, NOT, comparisons, [NOT] BETWEEN, IN lists, [NOT] LIKE,
// IS [NOT] NULL, IN, EXISTS and scalar subqueries (correlated ones qualified
// by the outer alias); GROUP BY with the grouped columns selected and HAVING
// through the result columns' aliases; COUNT, COUNT(DISTINCT), SUM, MIN, MAX
// and AVG over FLOAT; DISTINCT; ORDER BY result columns. Data changes are
// INSERT ... SELECT, UPDATE and DELETE with WHERE.
//
// Estimated result sizes are kept small (tables' row counts, which the
// caller updates after data changes, bound joins and correlated subqueries),
// so that a run of a few hundred statements stays quick.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "random_tables.h"

namespace tav::sqldiff {

struct TGenStatement {
  std::string Ours;
  std::string Sqlite;
  bool IsQuery = true;
  bool Ordered = false;  // ORDER BY covers every output column
  std::string Target;    // the table a data change changes
};

struct TGenOptions {
  // HAVING names a result column by its alias as well as by the aggregate
  // or grouped column written out; without it, only written out.
  bool HavingByAlias = true;
};

class TStatementGen {
 public:
  TStatementGen(const TRandomSchema& schema, uint32_t seed, TGenOptions options = {});

  // A SELECT most of the time, otherwise a data change.
  TGenStatement Next();
  TGenStatement Select();
  TGenStatement GroupedSelect();
  TGenStatement Update();
  TGenStatement Delete();
  // Falls back to Update when no table can take rows (every table has a
  // unique index, or has grown too large).
  TGenStatement InsertSelect();

  // The table's current row count, after a data change.
  void SetRowCount(const std::string& table, size_t rows);

  // A condition in both texts. AND and OR of two: with `exact` the SQLite
  // text gives our exact outcome (1, 0 or NULL for True, False and no
  // value), as a condition under NOT needs; otherwise only the same truth.
  struct TText {
    std::string O, S;
  };
  static TText And(const TText& a, const TText& b, bool exact);
  static TText Or(const TText& a, const TText& b, bool exact);

 private:
  struct TRef {
    const TTableSpec* Table;
    std::string Qualifier;
  };
  struct TCol {
    std::string Text;  // qualified
    TColumnType Type;
    std::string Name;
    const TTableSpec* Table;
  };
  struct TFrom {
    TText Text;
    std::vector<TRef> Scope;
    std::vector<TText> Conjuncts;  // join conditions of a comma list
    double Rows = 0;               // estimated rows after the joins
  };

  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }
  double Rows(const TTableSpec* t) const;

  const TTableSpec* PickTable();
  TCol Column(const TRef& ref, const TColumnSpec& c) const;
  // A column of the scope, of `type` unless it is -1; false when none.
  bool PickColumn(const std::vector<TRef>& scope, int type, TCol& out);
  std::vector<TCol> Columns(const std::vector<TRef>& scope) const;
  double Selectivity(const TCol& c) const;

  std::string Literal(const TCol& c);
  std::string LikePattern();
  TFrom From(int maxTables, bool innerOnly);
  TFrom TryFrom(int maxTables, bool innerOnly);
  // An ON condition joining `added` to the columns before it.
  TText OnCondition(const std::vector<TRef>& before, const TRef& added, double& selectivity);

  // A condition over `scope`, with `outer` visible for correlation.
  // `exact`: the SQLite text must give our exact outcome (under NOT), not
  // only accept the same rows.
  TText Condition(const std::vector<TRef>& scope, const std::vector<TRef>& outer, int depth, bool exact,
                  double outerRows);
  TText Atom(const std::vector<TRef>& scope, const std::vector<TRef>& outer, bool exact, double outerRows);
  TText Subquery(const std::vector<TRef>& outer, const TRef& ref, const std::string& selectO,
                 const std::string& selectS, double outerRows);
  // WHERE text of the parts, joined by AND ("" for none).
  static TText Where(const std::vector<TText>& parts);
  // ORDER BY over some of `outputs`; sets Ordered when it covers them all.
  void OrderBy(const std::vector<std::string>& outputs, TGenStatement& st);

  const TRandomSchema& schema_;
  TGenOptions options_;
  std::mt19937 rng_;
  std::map<std::string, size_t> rows_;
  int subqueryDepth_ = 0;
  int aliasCounter_ = 0;
};

}  // namespace tav::sqldiff

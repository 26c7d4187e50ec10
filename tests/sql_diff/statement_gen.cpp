#include "statement_gen.h"

#include <algorithm>

namespace tav::sqldiff {

namespace {

// Bounds on the work one statement may cost (estimated from row counts).
constexpr double kMaxResultRows = 3000;   // rows after the joins
constexpr double kMaxScanRows = 40000;    // rows of a join before its conditions
constexpr double kSubqueryBudget = 30000;  // outer rows times a subquery's table rows
constexpr double kMaxInsertRows = 300;
constexpr size_t kMaxTableRows = 1500;    // a table larger than this takes no more rows

const char* const kComparisons[] = {"=", "<>", "<", "<=", ">", ">="};

std::string Joined(const std::vector<std::string>& parts, const std::string& glue) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? glue : "") + parts[i];
  return out;
}

}  // namespace

TStatementGen::TStatementGen(const TRandomSchema& schema, uint32_t seed, TGenOptions options)
    : schema_(schema), options_(options), rng_(seed) {
  for (const TTableSpec& t : schema.Tables) rows_[t.Name] = t.Rows.size();
}

void TStatementGen::SetRowCount(const std::string& table, size_t rows) { rows_[table] = rows; }

double TStatementGen::Rows(const TTableSpec* t) const {
  auto it = rows_.find(t->Name);
  return it == rows_.end() ? 0.0 : static_cast<double>(it->second);
}

const TTableSpec* TStatementGen::PickTable() {
  return &schema_.Tables[static_cast<size_t>(Pick(static_cast<int>(schema_.Tables.size())))];
}

TStatementGen::TCol TStatementGen::Column(const TRef& ref, const TColumnSpec& c) const {
  return {ref.Qualifier + "." + c.Name, c.Type, c.Name, ref.Table};
}

std::vector<TStatementGen::TCol> TStatementGen::Columns(const std::vector<TRef>& scope) const {
  std::vector<TCol> out;
  for (const TRef& r : scope)
    for (const TColumnSpec& c : r.Table->Columns) out.push_back(Column(r, c));
  return out;
}

bool TStatementGen::PickColumn(const std::vector<TRef>& scope, int type, TCol& out) {
  std::vector<TCol> all = Columns(scope);
  if (type >= 0)
    all.erase(std::remove_if(all.begin(), all.end(), [&](const TCol& c) { return c.Type != type; }),
              all.end());
  if (all.empty()) return false;
  out = all[static_cast<size_t>(Pick(static_cast<int>(all.size())))];
  return true;
}

double TStatementGen::Selectivity(const TCol& c) const {
  if (c.Name == "ID") return 1.0 / std::max(1.0, Rows(c.Table));
  switch (c.Type) {
    case ctInteger: return 1.0 / (kIntegerMax + 1);
    case ctFloat: return 1.0 / (kFloatSteps + 1);
    case ctVarchar: return 1.0 / static_cast<double>(std::max<size_t>(1, schema_.Words.size()));
  }
  return 1.0;
}

std::string TStatementGen::Literal(const TCol& c) {
  if (c.Name == "ID") return std::to_string(Pick(static_cast<int>(Rows(c.Table)) + 3));
  switch (c.Type) {
    case ctInteger: return std::to_string(Pick(kIntegerMax + 2));
    case ctFloat: return TSqlValue::Real(0.25 * Pick(kFloatSteps + 2)).ToString();
    case ctVarchar: {
      if (Chance(80))
        return TSqlValue::String(schema_.Words[static_cast<size_t>(Pick(static_cast<int>(schema_.Words.size())))])
            .ToString();
      static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
      std::string w;
      for (int n = 1 + Pick(5); n > 0; --n) w += kChars[Pick(36)];
      return TSqlValue::String(w).ToString();
    }
  }
  return "0";
}

std::string TStatementGen::LikePattern() {
  std::string w = schema_.Words[static_cast<size_t>(Pick(static_cast<int>(schema_.Words.size())))];
  const int len = static_cast<int>(w.size());
  std::string p;
  switch (Pick(6)) {
    case 0: p = w.substr(0, static_cast<size_t>(1 + Pick(len))) + "%"; break;
    case 1: p = "%" + w.substr(static_cast<size_t>(Pick(len))); break;
    case 2: p = "%" + w.substr(static_cast<size_t>(Pick(len)), 1) + "%"; break;
    case 3: p = w; p[static_cast<size_t>(Pick(len))] = '_'; break;
    case 4: p = w; break;
    default: p = Chance(50) ? "%" : "_%"; break;
  }
  // Upper case now and then: LIKE is case-sensitive on both sides.
  if (Chance(10))
    for (char& ch : p) ch = (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
  return TSqlValue::String(p).ToString();
}

TStatementGen::TText TStatementGen::And(const TText& a, const TText& b, bool exact) {
  if (!exact) return {"(" + a.O + " AND " + b.O + ")", "(" + a.S + " AND " + b.S + ")"};
  // 1, 0 and NULL: a product is NULL when either is, as our AND is.
  return {"(" + a.O + " AND " + b.O + ")", "((" + a.S + ") * (" + b.S + "))"};
}

TStatementGen::TText TStatementGen::Or(const TText& a, const TText& b, bool exact) {
  if (!exact) return {"(" + a.O + " OR " + b.O + ")", "(" + a.S + " OR " + b.S + ")"};
  // No value on one side leaves the other's truth; on both, no value.
  return {"(" + a.O + " OR " + b.O + ")",
          "NULLIF(MAX(COALESCE(" + a.S + ", -1), COALESCE(" + b.S + ", -1)), -1)"};
}

TStatementGen::TText TStatementGen::OnCondition(const std::vector<TRef>& before, const TRef& added,
                                                double& selectivity) {
  auto equality = [&](double& sel) {
    TCol a;
    PickColumn({added}, -1, a);
    TCol b;
    PickColumn(before, a.Type, b);
    sel = std::max(Selectivity(a), Selectivity(b));
    const std::string t = Chance(50) ? a.Text + " = " + b.Text : b.Text + " = " + a.Text;
    return TText{t, t};
  };
  double s1 = 1, s2 = 1;
  const int p = Pick(100);
  if (p < 55) {
    TText e = equality(s1);
    selectivity = s1;
    return e;
  }
  if (p < 70) {
    TText a = equality(s1), b = equality(s2);
    selectivity = s1 * s2;
    return And(a, b, false);
  }
  if (p < 85) {
    TText a = equality(s1), b = equality(s2);
    selectivity = std::min(1.0, s1 + s2);
    return Or(a, b, false);
  }
  TCol a;
  PickColumn({added}, -1, a);
  TCol b;
  PickColumn(before, a.Type, b);
  const std::string t = a.Text + " " + kComparisons[1 + Pick(5)] + " " + b.Text;
  selectivity = 0.5;
  if (Chance(50)) {
    TText e = equality(s1);
    selectivity *= s1;
    return And(TText{t, t}, e, false);
  }
  return TText{t, t};
}

TStatementGen::TFrom TStatementGen::TryFrom(int maxTables, bool innerOnly) {
  int n = 1;
  const int p = Pick(100);
  if (p >= 40) n = 2;
  if (p >= 80) n = 3;
  if (p >= 95) n = 4;
  n = std::min(n, maxTables);

  TFrom f;
  auto newRef = [&] {
    TRef r{PickTable(), std::string(1, static_cast<char>('a' + f.Scope.size()))};
    return r;
  };
  auto refText = [&](const TRef& r) {
    return r.Table->Name + (Chance(20) ? " AS " : " ") + r.Qualifier;
  };
  TRef first = newRef();
  f.Scope.push_back(first);
  std::string text = refText(first);
  double rows = Rows(first.Table);
  double scan = std::max(1.0, rows);
  const bool comma = n > 1 && Chance(30);
  for (int k = 1; k < n; ++k) {
    TRef r = newRef();
    const double right = Rows(r.Table);
    scan *= std::max(1.0, right);
    if (comma) {
      text += ", " + refText(r);
      if (Chance(80)) {
        double sel = 1;
        TCol a;
        PickColumn({r}, -1, a);
        TCol b;
        PickColumn(f.Scope, a.Type, b);
        sel = std::max(Selectivity(a), Selectivity(b));
        const std::string t = a.Text + " = " + b.Text;
        f.Conjuncts.push_back({t, t});
        rows = rows * right * sel;
      } else {
        rows *= right;
      }
    } else {
      static const char* const kKinds[] = {"INNER JOIN", "JOIN",       "LEFT JOIN",       "LEFT OUTER JOIN",
                                           "RIGHT JOIN", "RIGHT OUTER JOIN", "FULL JOIN", "FULL OUTER JOIN",
                                           "CROSS JOIN"};
      const int kind = innerOnly ? (Chance(80) ? Pick(2) : 8) : Pick(9);
      if (kind == 8) {
        text += " CROSS JOIN " + refText(r);
        rows *= right;
      } else {
        double sel = 1;
        std::vector<std::string> common;
        for (const TColumnSpec& c : r.Table->Columns)
          if (first.Table->FindColumn(c.Name) != nullptr) common.push_back(c.Name);
        if (k == 1 && Chance(25)) {
          const std::string c = common[static_cast<size_t>(Pick(static_cast<int>(common.size())))];
          text += std::string(" ") + kKinds[kind] + " " + refText(r) + " USING (" + c + ")";
          sel = std::max(Selectivity(Column(first, *first.Table->FindColumn(c))),
                         Selectivity(Column(r, *r.Table->FindColumn(c))));
        } else {
          TText on = OnCondition(f.Scope, r, sel);
          text += std::string(" ") + kKinds[kind] + " " + refText(r) + " ON " + on.O;
        }
        const double inner = rows * right * sel;
        switch (kind / 2) {
          case 0: rows = inner; break;
          case 1: rows = inner + rows; break;
          case 2: rows = inner + right; break;
          default: rows = inner + rows + right; break;
        }
      }
    }
    f.Scope.push_back(r);
  }
  f.Text = {text, text};
  f.Rows = scan > kMaxScanRows ? kMaxScanRows * 10 : rows;
  return f;
}

TStatementGen::TFrom TStatementGen::From(int maxTables, bool innerOnly) {
  for (int attempt = 0; attempt < 25; ++attempt) {
    TFrom f = TryFrom(maxTables, innerOnly);
    if (f.Rows <= kMaxResultRows) return f;
  }
  return TryFrom(1, innerOnly);
}

TStatementGen::TText TStatementGen::Subquery(const std::vector<TRef>& outer, const TRef& ref,
                                             const std::string& selectO, const std::string& selectS,
                                             double outerRows) {
  ++subqueryDepth_;
  const std::string from = " FROM " + ref.Table->Name + " " + ref.Qualifier;
  std::vector<TText> where;
  if (!outer.empty() && Chance(65)) {
    TCol c;
    PickColumn({ref}, -1, c);
    TCol o;
    PickColumn(outer, c.Type, o);
    const std::string t = c.Text + " " + (Chance(70) ? "=" : kComparisons[1 + Pick(5)]) + " " + o.Text;
    where.push_back({t, t});
  }
  if (Chance(60))
    where.push_back(Condition({ref}, outer, 1, false, outerRows * std::max(1.0, Rows(ref.Table))));
  --subqueryDepth_;
  TText out{"SELECT " + selectO + from, "SELECT " + selectS + from};
  if (!where.empty()) {
    std::vector<std::string> o, s;
    for (const TText& w : where) {
      o.push_back(w.O);
      s.push_back(w.S);
    }
    out.O += " WHERE " + Joined(o, " AND ");
    out.S += " WHERE " + Joined(s, " AND ");
  }
  return out;
}

TStatementGen::TText TStatementGen::Atom(const std::vector<TRef>& scope, const std::vector<TRef>& outer,
                                         bool exact, double outerRows) {
  // A table for a subquery: cheap enough per outer row, and not a table the
  // scope names by its own name (a data change's target), whose name the
  // subquery's alias would shadow.
  const TTableSpec* subTable = nullptr;
  if (subqueryDepth_ < 2) {
    const TTableSpec* t = PickTable();
    bool named = false;
    for (const TRef& r : scope) named = named || r.Qualifier == t->Name;
    for (const TRef& r : outer) named = named || r.Qualifier == t->Name;
    if (!named && outerRows * std::max(1.0, Rows(t)) <= kSubqueryBudget) subTable = t;
  }
  int kind = Pick(100);
  if (kind >= 64 && subTable == nullptr) kind = Pick(64);
  TCol c;
  if (kind < 30) {  // comparison with a literal or a column of the same type
    PickColumn(scope, -1, c);
    std::string rhs;
    TCol other;
    if (Chance(25) && PickColumn(scope, c.Type, other) && other.Text != c.Text)
      rhs = other.Text;
    else
      rhs = Literal(c);
    const std::string t = c.Text + " " + kComparisons[Pick(6)] + " " + rhs;
    return {t, t};
  }
  if (kind < 38) {  // [NOT] BETWEEN over numbers
    PickColumn(scope, Chance(50) ? ctInteger : ctFloat, c);
    std::string lo = Literal(c), hi = Literal(c);
    const std::string t = c.Text + (Chance(30) ? " NOT BETWEEN " : " BETWEEN ") + lo + " AND " + hi;
    return {t, t};
  }
  if (kind < 47) {  // [NOT] IN list
    PickColumn(scope, -1, c);
    std::vector<std::string> items;
    for (int n = 1 + Pick(4); n > 0; --n) items.push_back(Literal(c));
    const std::string t = c.Text + (Chance(30) ? " NOT IN (" : " IN (") + Joined(items, ", ") + ")";
    return {t, exact ? "COALESCE(" + t + ", 0)" : t};
  }
  if (kind < 56) {  // [NOT] LIKE
    PickColumn(scope, ctVarchar, c);
    const std::string t = c.Text + (Chance(30) ? " NOT LIKE " : " LIKE ") + LikePattern();
    return {t, exact ? "COALESCE(" + t + ", 0)" : t};
  }
  if (kind < 64) {  // IS [NOT] NULL
    PickColumn(scope, Chance(80) ? (Chance(50) ? ctInteger : ctFloat) : -1, c);
    const std::string t = c.Text + (Chance(40) ? " IS NOT NULL" : " IS NULL");
    return {t, t};
  }
  std::vector<TRef> visible = scope;
  visible.insert(visible.end(), outer.begin(), outer.end());
  const TRef ref{subTable, "s" + std::to_string(++aliasCounter_)};
  if (kind < 76) {  // EXISTS
    TText sub = Subquery(visible, ref, "*", "*", outerRows);
    return {"EXISTS (" + sub.O + ")", "EXISTS (" + sub.S + ")"};
  }
  if (kind < 88) {  // [NOT] IN subquery
    PickColumn(scope, -1, c);
    TCol inner;
    PickColumn({ref}, c.Type, inner);
    TText sub = Subquery(visible, ref, inner.Text, inner.Text, outerRows);
    if (Chance(30))
      return {c.Text + " NOT IN (" + sub.O + ")",
              "(" + c.Text + " IS NOT NULL AND NOT COALESCE(" + c.Text + " IN (" + sub.S + "), 0))"};
    const std::string s = c.Text + " IN (" + sub.S + ")";
    return {c.Text + " IN (" + sub.O + ")", exact ? "COALESCE(" + s + ", 0)" : s};
  }
  // A comparison with an aggregate of a subquery: always one row.
  PickColumn(scope, Chance(50) ? ctInteger : ctFloat, c);
  TCol arg;
  std::string aggO, aggS;
  if (c.Type == ctInteger) {
    switch (Pick(5)) {
      case 0: aggO = aggS = "COUNT(*)"; break;
      case 1:
        PickColumn({ref}, -1, arg);
        aggO = aggS = "COUNT(" + arg.Text + ")";
        break;
      case 2:
        PickColumn({ref}, -1, arg);
        aggO = aggS = "COUNT(DISTINCT " + arg.Text + ")";
        break;
      default: {
        PickColumn({ref}, ctInteger, arg);
        static const char* const kFns[] = {"SUM", "MIN", "MAX"};
        aggO = std::string(kFns[Pick(3)]) + "(" + arg.Text + ")";
        aggS = "COALESCE(" + aggO + ", 0)";
      }
    }
  } else {
    PickColumn({ref}, ctFloat, arg);
    static const char* const kFns[] = {"SUM", "MIN", "MAX", "AVG"};
    aggO = std::string(kFns[Pick(4)]) + "(" + arg.Text + ")";
    aggS = "COALESCE(" + aggO + ", 0)";
  }
  TText sub = Subquery(visible, ref, aggO, aggS, outerRows);
  const std::string op = kComparisons[Pick(6)];
  return {c.Text + " " + op + " (" + sub.O + ")", c.Text + " " + op + " (" + sub.S + ")"};
}

TStatementGen::TText TStatementGen::Condition(const std::vector<TRef>& scope, const std::vector<TRef>& outer,
                                              int depth, bool exact, double outerRows) {
  if (depth > 0 && Chance(45)) {
    const int p = Pick(5);
    if (p < 2)
      return And(Condition(scope, outer, depth - 1, exact, outerRows),
                 Condition(scope, outer, depth - 1, exact, outerRows), exact);
    if (p < 4)
      return Or(Condition(scope, outer, depth - 1, exact, outerRows),
                Condition(scope, outer, depth - 1, exact, outerRows), exact);
    // Under NOT the SQLite text must give our exact outcome.
    TText c = Condition(scope, outer, depth - 1, true, outerRows);
    return {"NOT (" + c.O + ")", "NOT (" + c.S + ")"};
  }
  return Atom(scope, outer, exact, outerRows);
}

TStatementGen::TText TStatementGen::Where(const std::vector<TText>& parts) {
  if (parts.empty()) return {};
  std::vector<std::string> o, s;
  for (const TText& w : parts) {
    o.push_back(w.O);
    s.push_back(w.S);
  }
  return {" WHERE " + Joined(o, " AND "), " WHERE " + Joined(s, " AND ")};
}

void TStatementGen::OrderBy(const std::vector<std::string>& outputs, TGenStatement& st) {
  if (!Chance(45)) return;
  std::vector<std::string> names = outputs;
  std::shuffle(names.begin(), names.end(), rng_);
  const size_t n = Chance(50) ? names.size() : 1 + static_cast<size_t>(Pick(static_cast<int>(names.size())));
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) keys.push_back(names[i] + (Chance(30) ? " DESC" : ""));
  const std::string text = " ORDER BY " + Joined(keys, ", ");
  st.Ours += text;
  st.Sqlite += text;
  st.Ordered = n == names.size();
}

TGenStatement TStatementGen::Select() {
  TFrom f = From(4, false);
  TGenStatement st;
  std::vector<std::string> items, outputs;
  for (int i = 0, n = 1 + Pick(4); i < n; ++i) {
    TCol c;
    PickColumn(f.Scope, -1, c);
    outputs.push_back("c" + std::to_string(i));
    items.push_back(c.Text + " AS " + outputs.back());
  }
  const std::string head = std::string("SELECT ") + (Chance(25) ? "DISTINCT " : "") + Joined(items, ", ") +
                           " FROM ";
  std::vector<TText> where = f.Conjuncts;
  if (Chance(80)) where.push_back(Condition(f.Scope, {}, 2, false, f.Rows));
  const TText w = Where(where);
  st.Ours = head + f.Text.O + w.O;
  st.Sqlite = head + f.Text.S + w.S;
  OrderBy(outputs, st);
  return st;
}

TGenStatement TStatementGen::GroupedSelect() {
  TFrom f = From(3, false);
  TGenStatement st;
  struct TOut {
    std::string Name;
    TColumnType Type;
    bool Count;  // a count: small integers
    TText Expr;  // the aggregate or grouped column written out
  };
  std::vector<TOut> outs;
  std::vector<std::string> itemsO, itemsS, groupBy;
  std::vector<TCol> all = Columns(f.Scope);
  std::shuffle(all.begin(), all.end(), rng_);
  const int groups = Pick(3);
  for (int i = 0; i < groups; ++i) {
    const TCol& c = all[static_cast<size_t>(i)];
    outs.push_back({"g" + std::to_string(i), c.Type, false, {c.Text, c.Text}});
    itemsO.push_back(c.Text + " AS " + outs.back().Name);
    itemsS.push_back(itemsO.back());
    groupBy.push_back(c.Text);
  }
  for (int i = 0, n = 1 + Pick(3); i < n; ++i) {
    const std::string alias = "n" + std::to_string(i);
    TCol arg;
    std::string o, s;
    TColumnType type = ctInteger;
    bool count = false;
    switch (Pick(7)) {
      case 0: o = s = "COUNT(*)"; count = true; break;
      case 1:
        PickColumn(f.Scope, -1, arg);
        o = s = "COUNT(" + arg.Text + ")";
        count = true;
        break;
      case 2:
        PickColumn(f.Scope, -1, arg);
        o = s = "COUNT(DISTINCT " + arg.Text + ")";
        count = true;
        break;
      case 6:
        PickColumn(f.Scope, ctFloat, arg);
        o = "AVG(" + arg.Text + ")";
        s = "COALESCE(" + o + ", 0)";
        type = ctFloat;
        break;
      default: {
        static const char* const kFns[] = {"SUM", "MIN", "MAX"};
        PickColumn(f.Scope, Chance(50) ? ctInteger : ctFloat, arg);
        o = std::string(kFns[Pick(3)]) + "(" + arg.Text + ")";
        s = "COALESCE(" + o + ", 0)";
        type = arg.Type;
      }
    }
    outs.push_back({alias, type, count, {o, s}});
    itemsO.push_back(o + " AS " + alias);
    itemsS.push_back(s + " AS " + alias);
  }
  std::vector<TText> where = f.Conjuncts;
  if (Chance(60)) where.push_back(Condition(f.Scope, {}, 2, false, f.Rows));
  const TText w = Where(where);
  st.Ours = "SELECT " + Joined(itemsO, ", ") + " FROM " + f.Text.O + w.O;
  st.Sqlite = "SELECT " + Joined(itemsS, ", ") + " FROM " + f.Text.S + w.S;
  if (!groupBy.empty()) {
    st.Ours += " GROUP BY " + Joined(groupBy, ", ");
    st.Sqlite += " GROUP BY " + Joined(groupBy, ", ");
    if (Chance(50)) {
      // HAVING through the result columns' aliases.
      auto atom = [&](bool exact) -> TText {
        const TOut& out = outs[static_cast<size_t>(Pick(static_cast<int>(outs.size())))];
        const TText name = options_.HavingByAlias && Chance(50) ? TText{out.Name, out.Name} : out.Expr;
        if (out.Type == ctVarchar) {
          if (Chance(50)) {
            const std::string tail = " LIKE " + LikePattern();
            return {name.O + tail, exact ? "COALESCE(" + name.S + tail + ", 0)" : name.S + tail};
          }
          const TCol lit{out.Name, ctVarchar, "", nullptr};
          const std::string tail = std::string(" ") + kComparisons[Pick(6)] + " " + Literal(lit);
          return {name.O + tail, name.S + tail};
        }
        if (out.Name[0] == 'g' && Chance(25)) {
          const std::string tail = Chance(50) ? " IS NULL" : " IS NOT NULL";
          return {name.O + tail, name.S + tail};
        }
        std::string lit;
        if (out.Count) {
          lit = std::to_string(Pick(8));
        } else if (out.Type == ctInteger) {
          lit = std::to_string(Pick(3 * kIntegerMax));
        } else {
          lit = TSqlValue::Real(0.25 * Pick(3 * kFloatSteps)).ToString();
        }
        const std::string tail = std::string(" ") + kComparisons[Pick(6)] + " " + lit;
        return {name.O + tail, name.S + tail};
      };
      TText h = atom(false);
      switch (Pick(4)) {
        case 0: h = And(h, atom(false), false); break;
        case 1: h = Or(h, atom(false), false); break;
        case 2: {
          const TText inner = Chance(50) ? And(atom(true), atom(true), true) : Or(atom(true), atom(true), true);
          h = {"NOT (" + inner.O + ")", "NOT (" + inner.S + ")"};
          break;
        }
        default: break;
      }
      st.Ours += " HAVING " + h.O;
      st.Sqlite += " HAVING " + h.S;
    }
  }
  std::vector<std::string> names;
  for (const TOut& o : outs) names.push_back(o.Name);
  OrderBy(names, st);
  return st;
}

TGenStatement TStatementGen::Update() {
  const TTableSpec* t = PickTable();
  const TRef ref{t, t->Name};
  std::vector<const TColumnSpec*> cols;
  for (const TColumnSpec& c : t->Columns)
    if (c.Name != "ID") cols.push_back(&c);
  std::shuffle(cols.begin(), cols.end(), rng_);
  std::vector<std::string> sets;
  const TColumnSpec* a = cols[0];
  const TColumnSpec* swap = nullptr;
  for (size_t i = 1; i < cols.size() && swap == nullptr; ++i)
    if (cols[i]->Type == a->Type) swap = cols[i];
  if (swap != nullptr && Chance(15)) {
    // Two columns assigned each other: both read the row as it was.
    sets.push_back(a->Name + " = " + swap->Name);
    sets.push_back(swap->Name + " = " + a->Name);
  } else {
    for (size_t i = 0, n = std::min<size_t>(cols.size(), 1 + static_cast<size_t>(Pick(2))); i < n; ++i) {
      const TColumnSpec& c = *cols[i];
      std::string value;
      const int p = Pick(100);
      if (p < 15 && c.Type != ctVarchar) {
        value = "NULL";
      } else if (p < 30) {
        std::vector<std::string> same;
        for (const TColumnSpec& o : t->Columns)
          if (o.Type == c.Type && o.Name != c.Name && o.Name != "ID") same.push_back(o.Name);
        value = same.empty() ? Literal(Column(ref, c)) : same[static_cast<size_t>(Pick(static_cast<int>(same.size())))];
      } else {
        value = Literal(Column(ref, c));
      }
      sets.push_back(c.Name + " = " + value);
    }
  }
  const TText w = Condition({ref}, {}, 2, false, std::max(1.0, Rows(t)));
  TGenStatement st;
  st.IsQuery = false;
  st.Target = t->Name;
  st.Ours = "UPDATE " + t->Name + " SET " + Joined(sets, ", ") + " WHERE " + w.O;
  st.Sqlite = "UPDATE " + t->Name + " SET " + Joined(sets, ", ") + " WHERE " + w.S;
  return st;
}

TGenStatement TStatementGen::Delete() {
  const TTableSpec* t = PickTable();
  const TRef ref{t, t->Name};
  const TText w = Condition({ref}, {}, 2, false, std::max(1.0, Rows(t)));
  TGenStatement st;
  st.IsQuery = false;
  st.Target = t->Name;
  st.Ours = "DELETE FROM " + t->Name + " WHERE " + w.O;
  st.Sqlite = "DELETE FROM " + t->Name + " WHERE " + w.S;
  return st;
}

TGenStatement TStatementGen::InsertSelect() {
  // A target without a unique index, so that no insert is refused part way.
  std::vector<const TTableSpec*> targets;
  for (const TTableSpec& t : schema_.Tables)
    if (!t.HasUniqueIndex() && Rows(&t) < kMaxTableRows) targets.push_back(&t);
  if (targets.empty()) return Update();
  const TTableSpec* t = targets[static_cast<size_t>(Pick(static_cast<int>(targets.size())))];
  // Inner joins only: a NULL-extended row would bring NULL texts.
  TFrom f = From(2, true);
  if (f.Rows > kMaxInsertRows) f = TryFrom(1, true);
  std::vector<std::string> target, source;
  for (const TColumnSpec& c : t->Columns) {
    // Every text column is filled, so that no text is NULL.
    if (c.Type != ctVarchar && !Chance(60)) continue;
    TCol from;
    PickColumn(f.Scope, c.Type, from);
    target.push_back(c.Name);
    source.push_back(from.Text);
  }
  std::vector<TText> where = f.Conjuncts;
  if (Chance(70) || f.Rows > kMaxInsertRows) where.push_back(Condition(f.Scope, {}, 1, false, f.Rows));
  const TText w = Where(where);
  TGenStatement st;
  st.IsQuery = false;
  st.Target = t->Name;
  const std::string head =
      "INSERT INTO " + t->Name + " (" + Joined(target, ", ") + ") SELECT " + Joined(source, ", ") + " FROM ";
  st.Ours = head + f.Text.O + w.O;
  st.Sqlite = head + f.Text.S + w.S;
  return st;
}

TGenStatement TStatementGen::Next() {
  const int p = Pick(100);
  if (p < 45) return Select();
  if (p < 72) return GroupedSelect();
  if (p < 82) return Update();
  if (p < 90) return Delete();
  return InsertSelect();
}

}  // namespace tav::sqldiff

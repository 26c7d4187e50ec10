// Where our SQL and SQLite's knowingly part, and how the harness keeps each
// difference out of the comparison: either the generator never writes the
// construct, or the SQLite text is written so that SQLite computes our rule.
//
// Our conditions have three outcomes: True, False and "no value" (Empty: a
// comparison with a NULL operand gives it, and no condition accepts it). The
// SQLite text carries them as 1, 0 and NULL. Where only acceptance matters
// (a WHERE, ON or HAVING condition, through AND and OR), the two agree with
// plain AND and OR; under NOT the exact outcome matters, and there AND and OR
// are written as below.
#pragma once

namespace tav::sqldiff {

struct TKnownDifference {
  const char* Construct;
  const char* OurRule;
  const char* Handling;
};

inline constexpr TKnownDifference kKnownDifferences[] = {
    {"SUM, MIN, MAX, AVG over no rows or only NULLs", "0 (COUNT is 0 as in SQLite)",
     "SQLite: COALESCE(agg, 0)"},
    {"comparison, BETWEEN with a NULL operand", "no value, as SQLite's NULL", "written alike"},
    {"NOT of no value", "no value, as SQLite's NOT NULL", "written alike"},
    {"a AND b with either without value", "no value, also beside False (SQLite: False AND NULL is False)",
     "SQLite under NOT: (a) * (b)"},
    {"a OR b with one without value", "the other's truth: False OR no value is False (SQLite NULL)",
     "SQLite under NOT: NULLIF(MAX(COALESCE(a, -1), COALESCE(b, -1)), -1)"},
    {"x [NOT] LIKE p with x NULL", "False (SQLite NULL)", "SQLite under NOT: COALESCE(x [NOT] LIKE p, 0)"},
    {"x [NOT] IN (list) with x NULL", "False (SQLite NULL)",
     "SQLite under NOT: COALESCE(x [NOT] IN (list), 0); lists hold no NULL"},
    {"x IN (subquery), NULL operand or NULL rows", "a NULL matches nothing: False when no row equals x",
     "SQLite under NOT: COALESCE(x IN (subquery), 0)"},
    {"x NOT IN (subquery) with NULL rows", "True when no row equals x (SQLite NULL); False for x NULL",
     "SQLite: (x IS NOT NULL AND NOT COALESCE(x IN (subquery), 0))"},
    {"LIKE", "case-sensitive; ESCAPE has no effect",
     "SQLite runs with case_sensitive_like; ESCAPE not generated"},
    {"string order", "the database's collation",
     "ASCII databases, texts of lower-case letters and digits; NULL or empty texts and dates not "
     "generated"},
    {"/ and division by zero", "a double; division by zero raises", "no arithmetic generated"},
    {"AVG over integers", "an Integer column", "AVG over FLOAT only"},
    {"scalar subquery with several rows", "error 9650 (SQLite takes the first)",
     "scalar subqueries are aggregates without GROUP BY: one row"},
    {"ANY, ALL, UNION JOIN", "no SQLite counterpart", "not generated"},
    {"MaxRecords", "cuts before ORDER BY", "not set"},
    {"* over a USING join", "keeps both USING columns", "USING joins select named columns"},
};

}  // namespace tav::sqldiff

#include "random_tables.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace tav::sqldiff {

bool TTableSpec::HasUniqueIndex() const {
  return std::any_of(Indexes.begin(), Indexes.end(), [](const TIndexSpec& i) { return i.Unique; });
}

int TTableSpec::ColumnIndex(const std::string& name) const {
  for (size_t i = 0; i < Columns.size(); ++i)
    if (Columns[i].Name == name) return static_cast<int>(i);
  return -1;
}

const TColumnSpec* TTableSpec::FindColumn(const std::string& name) const {
  const int i = ColumnIndex(name);
  return i < 0 ? nullptr : &Columns[static_cast<size_t>(i)];
}

const TTableSpec* TRandomSchema::FindTable(const std::string& name) const {
  for (const TTableSpec& t : Tables)
    if (t.Name == name) return &t;
  return nullptr;
}

const char* SqlTypeName(TColumnType type) {
  switch (type) {
    case ctInteger: return "INTEGER";
    case ctFloat: return "FLOAT";
    case ctVarchar: return "VARCHAR";
  }
  return "?";
}

std::string TRandomSchema::Describe(size_t rowLimit) const {
  std::string out = "seed " + std::to_string(Seed) + "\n";
  for (const TTableSpec& t : Tables) {
    out += "CREATE TABLE " + t.Name + " (";
    for (size_t i = 0; i < t.Columns.size(); ++i) {
      out += (i ? ", " : "") + t.Columns[i].Name + " " + SqlTypeName(t.Columns[i].Type);
      if (t.Columns[i].Type == ctVarchar) out += "(" + std::to_string(kVarcharSize) + ")";
    }
    out += ")\n";
    for (const TIndexSpec& ix : t.Indexes) {
      out += std::string("CREATE ") + (ix.Unique ? "UNIQUE " : "") + (ix.Descending ? "DESC " : "") +
             "INDEX " + ix.Name + " ON " + t.Name + " (";
      for (size_t i = 0; i < ix.Columns.size(); ++i) out += (i ? ", " : "") + ix.Columns[i];
      out += ")\n";
    }
    out += std::to_string(t.Rows.size()) + " rows:\n" + FormatRows(t.Rows, rowLimit);
  }
  return out;
}

namespace {

class TRng {
 public:
  explicit TRng(uint32_t seed) : gen_(seed) {}
  int Pick(int n) { return static_cast<int>(gen_() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }
  std::mt19937& Gen() { return gen_; }

 private:
  std::mt19937 gen_;
};

std::string RandomWord(TRng& rng, size_t minLen, size_t maxLen) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const size_t n = minLen + static_cast<size_t>(rng.Pick(static_cast<int>(maxLen - minLen + 1)));
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kChars[rng.Pick(36)];
  return s;
}

// A few stems with variants of them: equal values and shared prefixes.
std::vector<std::string> MakeWords(TRng& rng) {
  std::vector<std::string> words;
  const int stems = 3 + rng.Pick(3);
  for (int i = 0; i < stems; ++i) {
    const std::string stem = RandomWord(rng, 1, 3);
    words.push_back(stem);
    for (int k = rng.Pick(3); k > 0; --k) words.push_back(stem + RandomWord(rng, 1, 4));
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

int RowCount(TRng& rng) {
  const int p = rng.Pick(100);
  if (p < 5) return 0;
  if (p < 30) return 1 + rng.Pick(10);
  if (p < 70) return 10 + rng.Pick(50);
  return 60 + rng.Pick(241);
}

}  // namespace

TRandomSchema GenerateSchema(uint32_t seed) {
  TRng rng(seed);
  TRandomSchema schema;
  schema.Seed = seed;
  schema.Words = MakeWords(rng);
  const int tables = 2 + rng.Pick(3);
  for (int t = 0; t < tables; ++t) {
    TTableSpec spec;
    spec.Name = "T" + std::to_string(t + 1);
    spec.Columns.push_back({"ID", ctInteger});
    // Each table has at least one nullable column of every type.
    const struct {
      const char* A;
      const char* B;
      TColumnType Type;
    } kPool[] = {{"I1", "I2", ctInteger}, {"F1", "F2", ctFloat}, {"S1", "S2", ctVarchar}};
    for (const auto& p : kPool) {
      const int which = rng.Pick(4);  // A, B, or both
      if (which != 1) spec.Columns.push_back({p.A, p.Type});
      if (which != 0) spec.Columns.push_back({p.B, p.Type});
    }
    std::shuffle(spec.Columns.begin() + 1, spec.Columns.end(), rng.Gen());

    const int rows = RowCount(rng);
    std::vector<int> ids(static_cast<size_t>(rows));
    std::iota(ids.begin(), ids.end(), 1);
    std::shuffle(ids.begin(), ids.end(), rng.Gen());
    const int nullPercent = rng.Pick(4) * 10;  // 0 to 30 percent NULLs
    for (int r = 0; r < rows; ++r) {
      TSqlRow row;
      for (const TColumnSpec& c : spec.Columns) {
        if (c.Name == "ID") {
          row.push_back(TSqlValue::Integer(ids[static_cast<size_t>(r)]));
        } else if (c.Type == ctVarchar) {
          row.push_back(TSqlValue::String(schema.Words[static_cast<size_t>(
              rng.Pick(static_cast<int>(schema.Words.size())))]));
        } else if (rng.Chance(nullPercent)) {
          row.push_back(TSqlValue::Null());
        } else if (c.Type == ctInteger) {
          row.push_back(TSqlValue::Integer(rng.Pick(kIntegerMax + 1)));
        } else {
          row.push_back(TSqlValue::Real(0.25 * rng.Pick(kFloatSteps + 1)));
        }
      }
      spec.Rows.push_back(std::move(row));
    }

    // Indexes: a unique one on ID (alone or leading) now and then, and a few
    // plain ones over one or two columns, some descending.
    if (rng.Chance(50)) spec.Indexes.push_back({spec.Name + "_PK", {"ID"}, true, false});
    for (int k = rng.Pick(4); k > 0; --k) {
      TIndexSpec ix;
      ix.Name = spec.Name + "_X" + std::to_string(spec.Indexes.size());
      ix.Columns.push_back(spec.Columns[static_cast<size_t>(rng.Pick(static_cast<int>(spec.Columns.size())))].Name);
      if (rng.Chance(40)) {
        const std::string& second =
            spec.Columns[static_cast<size_t>(rng.Pick(static_cast<int>(spec.Columns.size())))].Name;
        if (second != ix.Columns[0]) ix.Columns.push_back(second);
      }
      ix.Unique = ix.Columns[0] == "ID" && rng.Chance(50);
      ix.Descending = rng.Chance(20);
      spec.Indexes.push_back(std::move(ix));
    }
    schema.Tables.push_back(std::move(spec));
  }
  return schema;
}

}  // namespace tav::sqldiff

#include "tavrin_tables.h"

#include "engine/components/tav_table.h"
#include "host/db/fields.h"
#include "host/rtl/variant.h"

namespace tav::sqldiff {

namespace {

std::unique_ptr<TTavTable> TableOn(TTavDataBase& db, const std::string& name) {
  auto t = std::make_unique<TTavTable>(nullptr);
  t->SetDataBase(&db);
  if (db.IsMemory()) t->SetMemory(true);
  t->SetTableName(name);
  return t;
}

host::Variant ToVariant(const TSqlValue& v) {
  switch (v.Kind) {
    case TSqlValue::kNull: return host::Null();
    case TSqlValue::kInteger: return host::Variant(static_cast<int>(v.Int));
    case TSqlValue::kFloat: return host::Variant(v.Float);
    case TSqlValue::kText: return host::Variant(v.Text);
  }
  return host::Null();
}

}  // namespace

TTavrinTables::TTavrinTables(const std::string& path) : db_(std::make_unique<TTavDataBase>(nullptr)) {
  if (path.empty()) {
    db_->SetDataBaseName(kMemoryDataBaseName);
  } else {
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(path);
      creator.SetDefaultSortOrder(soASCII);
      creator.CreateDatabase();
    }
    db_->SetDataBaseName(path);
  }
  db_->Open();
}

TTavrinTables::~TTavrinTables() { db_->Close(); }

void TTavrinTables::Load(const TRandomSchema& schema) {
  for (const TTableSpec& spec : schema.Tables) {
    auto t = TableOn(*db_, spec.Name);
    for (const TColumnSpec& c : spec.Columns) {
      switch (c.Type) {
        case ctInteger: t->FieldDefs().Add(c.Name, host::ftInteger); break;
        case ctFloat: t->FieldDefs().Add(c.Name, host::ftFloat); break;
        case ctVarchar: t->FieldDefs().Add(c.Name, host::ftString, kVarcharSize); break;
      }
    }
    for (const TIndexSpec& ix : spec.Indexes) {
      std::string fields;
      for (size_t i = 0; i < ix.Columns.size(); ++i) fields += (i ? ";" : "") + ix.Columns[i];
      host::TIndexOptions options;
      if (ix.Unique) options.Include(host::ixUnique);
      if (ix.Descending) options.Include(host::ixDescending);
      t->IndexDefs().Add(ix.Name, fields, options);
    }
    t->CreateTable();
    t->Open();
    std::vector<host::Variant> values;
    for (const TSqlRow& row : spec.Rows) {
      values.clear();
      for (const TSqlValue& v : row) values.push_back(ToVariant(v));
      t->AppendRecord(values);
    }
    t->Close();
  }
}

std::vector<TSqlRow> TTavrinTables::ReadTable(const TTableSpec& spec) {
  auto t = TableOn(*db_, spec.Name);
  t->Open();
  std::vector<TSqlRow> rows;
  for (t->First(); !t->Eof(); t->Next()) {
    TSqlRow row;
    for (const TColumnSpec& c : spec.Columns) {
      const host::TField* f = t->FieldByName(c.Name);
      if (f->IsNull()) {
        row.push_back(TSqlValue::Null());
      } else if (c.Type == ctInteger) {
        row.push_back(TSqlValue::Integer(f->AsInteger()));
      } else if (c.Type == ctFloat) {
        row.push_back(TSqlValue::Real(f->AsFloat()));
      } else {
        row.push_back(TSqlValue::String(f->AsString()));
      }
    }
    rows.push_back(std::move(row));
  }
  t->Close();
  return rows;
}

}  // namespace tav::sqldiff

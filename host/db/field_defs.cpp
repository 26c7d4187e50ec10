#include "host/db/field_defs.h"

#include "host/db/data_set.h"
#include "host/db/db_common.h"

namespace host {

void TFieldDef::Assign(const TPersistent& source) {
  const auto* s = dynamic_cast<const TFieldDef*>(&source);
  if (!s) return TNamedItem::Assign(source);
  SetName(s->Name());
  data_type_ = s->data_type_;
  size_ = s->size_;
  precision_ = s->precision_;
  required_ = s->required_;
}

TFieldDef* TFieldDefs::Add(const std::string& name, TFieldType dataType, int size, bool required) {
  if (name.empty()) DatabaseError("Field name missing");
  TFieldDef* def = AddFieldDef();
  try {
    def->SetName(name);
  } catch (...) {
    delete def;
    throw;
  }
  def->SetDataType(dataType);
  def->SetSize(size);
  def->SetRequired(required);
  return def;
}

TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseError("Field '" + name + "' not found");
  return Items(i);
}

void TFieldDefs::Update() {
  if (TDataSet* ds = DataSet()) UpdateDefs([ds] { ds->InitFieldDefs(); });
}

}  // namespace host

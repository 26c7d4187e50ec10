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

const TPropertyTable& TFieldDef::ClassProperties() {
  using T = TFieldDef;
  static const TPropertyTable table = PublishClass<T>("TFieldDef", nullptr, [](TPublisher<T>& p) {
    p.String("Name", &T::Name, &T::SetName);
    p.Enumeration("DataType", FieldTypeInfo(), &T::DataType, &T::SetDataType).Default(ftUnknown);
    p.Integer("Size", &T::Size, &T::SetSize).Default(0);
    p.Integer("Precision", &T::Precision, &T::SetPrecision).Default(0);
    p.Boolean("Required", &T::Required, &T::SetRequired).Default(0);
  });
  return table;
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

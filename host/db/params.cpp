#include "host/db/params.h"

#include "host/db/db_common.h"
#include "host/db/fields.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

const TEnumInfo& ParamTypeInfo() {
  static const TEnumInfo info("TParamType", {"ptUnknown", "ptInput", "ptOutput", "ptInputOutput", "ptResult"});
  return info;
}

TFieldType TypeOfVariant(const Variant& v) {
  switch (v.VType()) {
    case varSmallint:
      return ftSmallint;
    case varInteger:
      return ftInteger;
    case varInt64:
      return ftLargeint;
    case varDouble:
      return ftFloat;
    case varCurrency:
      return ftCurrency;
    case varDate:
      return ftDateTime;
    case varBoolean:
      return ftBoolean;
    case varString:
      return ftString;
    case varOleStr:
      return ftWideString;
    default:
      return ftUnknown;
  }
}

}  // namespace

const TPropertyTable& TParam::ClassProperties() {
  using T = TParam;
  static const TPropertyTable table = PublishClass<T>("TParam", nullptr, [](TPublisher<T>& p) {
    p.Enumeration("DataType", FieldTypeInfo(), &T::DataType, &T::SetDataType).Default(ftUnknown);
    p.String("Name", &T::Name, &T::SetName);
    p.Enumeration("ParamType", ParamTypeInfo(), &T::ParamType, &T::SetParamType).Default(ptUnknown);
  });
  return table;
}

void TParam::SetValue(const Variant& value) {
  if (data_type_ == ftUnknown) data_type_ = TypeOfVariant(value);
  value_ = value;
  bound_ = true;
}

void TParam::SetTyped(TFieldType type, const Variant& value) {
  data_type_ = type;
  value_ = value;
  bound_ = true;
}

void TParam::Clear() {
  value_ = Null();
  bound_ = true;
}

void TParam::AssignField(TField* field) {
  if (!field) return;
  AssignFieldValue(field, field->Value());
  name_ = field->FieldName();
}

void TParam::AssignFieldValue(TField* field, const Variant& value) {
  if (!field) return;
  if (field->DataType() == ftMemo && field->Size() > 255)
    data_type_ = ftString;
  else
    data_type_ = field->DataType();
  if (value.IsNull() || value.IsEmpty())
    value_ = Null();
  else
    value_ = value;
  bound_ = true;
}

void TParam::Assign(const TPersistent& source) {
  const auto* s = dynamic_cast<const TParam*>(&source);
  if (!s) return TCollectionItem::Assign(source);
  name_ = s->name_;
  data_type_ = s->data_type_;
  param_type_ = s->param_type_;
  value_ = s->value_;
  bound_ = s->bound_;
}

TParam* TParams::CreateParam(TFieldType fldType, const std::string& paramName,
                             TParamType paramType) {
  auto* p = static_cast<TParam*>(Add());
  p->SetName(paramName);
  p->SetDataType(fldType);
  p->SetParamType(paramType);
  return p;
}

TParam* TParams::FindParam(const std::string& value) const {
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(Items(i)->Name(), value)) return Items(i);
  return nullptr;
}

TParam* TParams::ParamByName(const std::string& value) const {
  TParam* p = FindParam(value);
  if (!p) DatabaseErrorFmt(SParamNotFound, {value}, dynamic_cast<const TComponent*>(owner_));
  return p;
}

Variant TParams::ParamValues(const std::string& paramNames) const {
  std::vector<std::string> names = SplitFieldNames(paramNames);
  if (names.size() == 1) return ParamByName(names[0])->Value();
  std::vector<Variant> values;
  values.reserve(names.size());
  for (const std::string& n : names) values.push_back(ParamByName(n)->Value());
  return VarArrayOf(values);
}

void TParams::SetParamValues(const std::string& paramNames, const Variant& values) {
  std::vector<std::string> names = SplitFieldNames(paramNames);
  if (names.size() == 1 && !values.IsArray()) {
    ParamByName(names[0])->SetValue(values);
    return;
  }
  for (size_t i = 0; i < names.size(); ++i)
    ParamByName(names[i])->SetValue(values.Element(values.LowBound() + static_cast<int>(i)));
}

void TParams::AssignValues(const TParams& value) {
  for (int i = 0; i < value.Count(); ++i) {
    TParam* mine = FindParam(value.Items(i)->Name());
    if (mine) mine->Assign(*value.Items(i));
  }
}

}  // namespace host

// TParams and TParam: the parameters of a query. A parameter has a name, a
// field type, a kind (input, output, ...) and a value held as a Variant;
// Bound says the value was given (set on every assignment, cleared by the
// owner when it wants the parameter to follow its master again). Names are
// found without regard to case. Streamed with a component, a parameter keeps
// its name, type and kind; its value is set at run time.
#pragma once

#include <string>

#include "host/classes/prop_table.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"
#include "host/rtl/variant.h"

namespace host {

class TField;

enum TParamType { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam : public TCollectionItem {
 public:
  using TCollectionItem::TCollectionItem;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  std::string DisplayName() const override { return name_; }
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType value) { data_type_ = value; }
  TParamType ParamType() const { return param_type_; }
  void SetParamType(TParamType value) { param_type_ = value; }
  bool Bound() const { return bound_; }
  void SetBound(bool value) { bound_ = value; }

  const Variant& Value() const { return value_; }
  // Binds the parameter; an unknown type is taken from the value's kind.
  void SetValue(const Variant& value);
  bool IsNull() const { return value_.IsNull() || value_.IsEmpty(); }
  // Null, still bound.
  void Clear();

  std::string AsString() const { return IsNull() ? std::string() : value_.AsString(); }
  void SetAsString(const std::string& value) { SetTyped(ftString, Variant(value)); }
  int32_t AsInteger() const { return IsNull() ? 0 : value_.AsInteger(); }
  void SetAsInteger(int32_t value) { SetTyped(ftInteger, Variant(value)); }
  double AsFloat() const { return IsNull() ? 0 : value_.AsDouble(); }
  void SetAsFloat(double value) { SetTyped(ftFloat, Variant(value)); }
  bool AsBoolean() const { return IsNull() ? false : value_.AsBoolean(); }
  void SetAsBoolean(bool value) { SetTyped(ftBoolean, Variant(value)); }
  double AsDateTime() const { return IsNull() ? 0 : value_.AsDateTime(); }
  void SetAsDateTime(double value) { SetTyped(ftDateTime, Variant::FromDate(value)); }

  // Takes the field's type, value and name; the parameter is bound.
  void AssignField(TField* field);
  // Takes the field's type and the given value; the parameter is bound.
  void AssignFieldValue(TField* field, const Variant& value);
  void Assign(const TPersistent& source) override;

 private:
  void SetTyped(TFieldType type, const Variant& value);
  std::string name_;
  TFieldType data_type_ = ftUnknown;
  TParamType param_type_ = ptUnknown;
  Variant value_;
  bool bound_ = false;
};

class TParams : public TCollection {
 public:
  // `owner` is the component the parameters belong to (may be null).
  explicit TParams(TPersistent* owner = nullptr) : owner_(owner) {}

  TPersistent* Owner() const { return owner_; }
  TParam* Items(int index) const { return static_cast<TParam*>(TCollection::Items(index)); }
  TParam* CreateParam(TFieldType fldType, const std::string& paramName, TParamType paramType);
  // The parameter of that name, or nullptr.
  TParam* FindParam(const std::string& value) const;
  // Raises EDatabaseError "Parameter '<name>' not found".
  TParam* ParamByName(const std::string& value) const;
  // The value of one parameter, or an array for names separated by ';'.
  Variant ParamValues(const std::string& paramNames) const;
  void SetParamValues(const std::string& paramNames, const Variant& values);
  // Each parameter here takes the value of the one of the same name in
  // `value`, when there is one.
  void AssignValues(const TParams& value);

 protected:
  TCollectionItem* NewItem() override { return new TParam(); }

 private:
  TPersistent* owner_;
};

}  // namespace host

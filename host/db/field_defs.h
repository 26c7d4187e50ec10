// TFieldDef and TFieldDefs: the dataset framework's description of a table's
// fields (name, type, size, precision, whether a value is required). The engine
// builds table definitions from them and fills them when a table opens.
//
// FieldNo is the field's number as the host sees it: 1 for the first field
// unless it was set explicitly.
#pragma once

#include <string>

#include "host/classes/prop_table.h"
#include "host/db/def_collection.h"
#include "host/db/field_types.h"

namespace host {

class TFieldDef : public TNamedItem {
 public:
  using TNamedItem::TNamedItem;

  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType value) { data_type_ = value; }
  int Size() const { return size_; }
  void SetSize(int value) { size_ = value; }
  int Precision() const { return precision_; }
  void SetPrecision(int value) { precision_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  int FieldNo() const { return field_no_ > 0 ? field_no_ : Index() + 1; }
  void SetFieldNo(int value) { field_no_ = value; }

  // From another TFieldDef: name, type, size, precision and Required. The
  // field number is not copied: it follows the position in the new collection.
  void Assign(const TPersistent& source) override;

  // Name, DataType, Size, Precision and Required, as a table keeps its
  // definitions with the component.
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TFieldType data_type_ = ftUnknown;
  int size_ = 0;
  int precision_ = 0;
  bool required_ = false;
  int field_no_ = 0;
};

class TFieldDefs : public TDefCollection {
 public:
  TFieldDef* Items(int index) const { return static_cast<TFieldDef*>(TCollection::Items(index)); }
  TFieldDef* AddFieldDef() { return static_cast<TFieldDef*>(TCollection::Add()); }
  // Appends a definition. An empty name raises EDatabaseError
  // "Field name missing"; a name already present raises the duplicate-name error.
  TFieldDef* Add(const std::string& name, TFieldType dataType, int size = 0, bool required = false);
  // The definition named `name` (without regard to case); none raises
  // EDatabaseError "Field '<name>' not found".
  TFieldDef* Find(const std::string& name) const;
  // Fills the definitions from the owning dataset (TDataSet::InitFieldDefs)
  // unless they are Updated; nothing without a dataset.
  void Update();

 protected:
  TCollectionItem* NewItem() override { return new TFieldDef(); }
};

}  // namespace host

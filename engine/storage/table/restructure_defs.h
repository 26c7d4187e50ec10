// Restructure definitions: the new layout of a table that is to be
// restructured, as a collection of field definitions and a collection of index
// definitions. Each item may name the existing item it comes from (a field by
// SourceFieldName, an index by SourceIndexDef). Validation compares the new
// definitions with the table's current ones and gives every item and each
// collection a TDefChangeType saying how much work the restructure needs; the
// table layer acts on those. Validation also checks the index limits and writes
// a readable change log.
//
// Callers keep alive what the collections borrow: FieldDefs, ChangeLog and each
// item's SourceIndexDef. Validate the field definitions before the index
// definitions: an index's check reads its fields' change types.
#pragma once

#include <cstdint>
#include <string>

#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/collection.h"

namespace host {
class TStrings;
}

namespace tav {

// Ordered by the work a change needs, so that an overall status is the
// largest of its items' statuses.
enum TDefChangeType {
  dcNoChange = 0,
  dcDefOnlyChange = 1,
  dcAdded = 2,
  dcDeleted = 3,
  dcDataChange = 4,
  dcDataLoss = 5,
};

// The display names of the change types, as the change log shows them.
extern const char* const CChangeTypeNames[6];

// The bytes one field takes in a key as the restructure check counts them: the
// fixed part of the stored value (2 for a string's length word, 2 for
// ftSmallint and ftWord, 4 for ftInteger and ftAutoInc, 1 for ftBoolean, 8 for
// ftFloat, ftCurrency, ftBCD, ftDate, ftTime and ftDateTime) plus the declared
// size for ftString and twice it for ftWideString. Any other type cannot be
// part of a key and raises "Error in setting CoreDataSize - field type not
// found: <type name>".
int64_t CalculateIndexDefKeyFieldSize(host::TFieldType type, int declaredSize);

class TRestructureFieldDef : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  host::TFieldType DataType() const { return data_type_; }
  void SetDataType(host::TFieldType value) { data_type_ = value; }
  int Size() const { return size_; }
  void SetSize(int value) { size_ = value; }
  int Precision() const { return precision_; }
  void SetPrecision(int value) { precision_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  // The existing field this one comes from; empty for a new field.
  const std::string& SourceFieldName() const { return source_field_name_; }
  void SetSourceFieldName(const std::string& value) { source_field_name_ = value; }
  TDefChangeType ChangeStatus() const { return change_status_; }
  void SetChangeStatus(TDefChangeType value) { change_status_ = value; }

  std::string DisplayName() const override { return name_; }
  // From a TRestructureFieldDef: everything. From a host TFieldDef: its
  // definition, with that field as the source and no change.
  void Assign(const host::TPersistent& source) override;

 private:
  std::string name_;
  host::TFieldType data_type_ = host::ftUnknown;
  int size_ = 0;
  int precision_ = 0;
  bool required_ = false;
  std::string source_field_name_;
  TDefChangeType change_status_ = dcNoChange;
};

class TRestructureFieldDefs : public host::TCollection {
 public:
  TRestructureFieldDef* Items(int index) const {
    return static_cast<TRestructureFieldDef*>(host::TCollection::Items(index));
  }

  // The table's existing field definitions (borrowed; may be null).
  const host::TFieldDefs* FieldDefs() const { return field_defs_; }
  void SetFieldDefs(const host::TFieldDefs* value) { field_defs_ = value; }
  // Where validation writes its lines (borrowed; may be null: no log).
  host::TStrings* ChangeLog() const { return change_log_; }
  void SetChangeLog(host::TStrings* value) { change_log_ = value; }
  TDefChangeType ChangeStatus() const { return change_status_; }
  void SetChangeStatus(TDefChangeType value) { change_status_ = value; }
  int AutoIncResetValue() const { return auto_inc_reset_value_; }
  void SetAutoIncResetValue(int value) { auto_inc_reset_value_ = value; }
  // Whether the auto-increment counter is to be reset to AutoIncResetValue.
  bool ResetAutoIncValue() const { return reset_auto_inc_value_; }
  void SetResetAutoIncValue(bool value) { reset_auto_inc_value_ = value; }

  TRestructureFieldDef* AddFieldDef() {
    return static_cast<TRestructureFieldDef*>(host::TCollection::Add());
  }
  TRestructureFieldDef* AddAndSetFieldDef(const std::string& name, host::TFieldType dataType,
                                          int size);
  TRestructureFieldDef* Insert(int index) {
    return static_cast<TRestructureFieldDef*>(host::TCollection::Insert(index));
  }
  void DeleteItem(int index) { Delete(index); }
  // Exchanges two items; an index out of range raises 9985 with
  // "Invalid Field Def Index in SwapDefs".
  void SwapDefs(int index1, int index2);
  // The first item named exactly `name` (case-sensitive), or nullptr.
  TRestructureFieldDef* Find(const std::string& name) const;
  // The existing field named `name` in FieldDefs, or nullptr.
  host::TFieldDef* FindSourceDef(const std::string& name) const;
  // Whether some existing field is the source of no item.
  bool CheckIfFieldsDeleted() const;

  // Gives each item and the collection a change type against `existing`
  // (may be null: every item is new) and logs each finding. An item whose
  // source field does not exist raises 10116 with "Source Def not found".
  void ValidateAgainstOriginalDefs(const host::TFieldDefs* existing);

  // From another TRestructureFieldDefs: its items, FieldDefs, change status and
  // auto-increment settings (not its change log). From host TFieldDefs: one
  // unchanged item per field, with that field as its source; those become
  // FieldDefs.
  void Assign(const host::TPersistent& source) override;
  // Replaces the definitions in `dest` with these.
  void AssignTo(host::TFieldDefs& dest) const;

 protected:
  host::TCollectionItem* NewItem() override { return new TRestructureFieldDef(); }

 private:
  void Log(const std::string& line) const;

  const host::TFieldDefs* field_defs_ = nullptr;
  host::TStrings* change_log_ = nullptr;
  TDefChangeType change_status_ = dcNoChange;
  int auto_inc_reset_value_ = 0;
  bool reset_auto_inc_value_ = false;
};

class TRestructureIndexDef : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  // Field names separated by ';'.
  const std::string& Fields() const { return fields_; }
  void SetFields(const std::string& value) { fields_ = value; }
  const std::string& CaseInsFields() const { return case_ins_fields_; }
  void SetCaseInsFields(const std::string& value) { case_ins_fields_ = value; }
  const std::string& DescFields() const { return desc_fields_; }
  void SetDescFields(const std::string& value) { desc_fields_ = value; }
  host::TIndexOptions Options() const { return options_; }
  void SetOptions(host::TIndexOptions value) { options_ = value; }
  // The existing index this one comes from (borrowed); nullptr for a new index.
  const host::TIndexDef* SourceIndexDef() const { return source_index_def_; }
  void SetSourceIndexDef(const host::TIndexDef* value) { source_index_def_ = value; }
  TDefChangeType ChangeStatus() const { return change_status_; }
  void SetChangeStatus(TDefChangeType value) { change_status_ = value; }

  std::string DisplayName() const override { return name_; }
  // From a TRestructureIndexDef: everything. From a host TIndexDef: its
  // definition, with that index as the source and no change.
  void Assign(const host::TPersistent& source) override;

 private:
  std::string name_;
  std::string fields_;
  std::string case_ins_fields_;
  std::string desc_fields_;
  host::TIndexOptions options_;
  const host::TIndexDef* source_index_def_ = nullptr;
  TDefChangeType change_status_ = dcNoChange;
};

class TRestructureIndexDefs : public host::TCollection {
 public:
  TRestructureIndexDef* Items(int index) const {
    return static_cast<TRestructureIndexDef*>(host::TCollection::Items(index));
  }

  host::TStrings* ChangeLog() const { return change_log_; }
  void SetChangeLog(host::TStrings* value) { change_log_ = value; }
  TDefChangeType ChangeStatus() const { return change_status_; }
  void SetChangeStatus(TDefChangeType value) { change_status_ = value; }
  // The limits ValidateNewIndexDefs checks. They start at the data-access
  // layer's limits: 500 key bytes and 32 key fields.
  int MaximumKeyFieldCount() const { return maximum_key_field_count_; }
  void SetMaximumKeyFieldCount(int value) { maximum_key_field_count_ = value; }
  int MaximumKeySize() const { return maximum_key_size_; }
  void SetMaximumKeySize(int value) { maximum_key_size_ = value; }

  TRestructureIndexDef* AddIndexDef() {
    return static_cast<TRestructureIndexDef*>(host::TCollection::Add());
  }
  TRestructureIndexDef* AddAndSetIndexDef(const std::string& name, const std::string& fields,
                                          host::TIndexOptions options);
  void DeleteItem(int index) { Delete(index); }
  // The first item named exactly `name` (case-sensitive), or nullptr.
  TRestructureIndexDef* Find(const std::string& name) const;
  // The existing index named `name` (without regard to case) that an item
  // comes from, or nullptr.
  const host::TIndexDef* FindSourceDef(const std::string& name) const;
  // Takes the field `name` out of every item's three field lists.
  void DeleteField(const std::string& name);
  // Renames the field `oldName` to `newName` in every item's three field lists.
  // Only whole names are replaced (without regard to case): renaming ID leaves
  // USERID alone.
  void ReplaceFieldName(const std::string& oldName, const std::string& newName);

  // Checks each index against the new field definitions: every field must be
  // there (10116), the key must fit MaximumKeySize (9602) and the field count
  // MaximumKeyFieldCount (9603).
  void ValidateNewIndexDefs(const TRestructureFieldDefs& fieldDefs);
  // Runs ValidateNewIndexDefs, then gives each item and the collection a
  // change type against `existing` (may be null: every item is new) and logs
  // each finding.
  void ValidateAgainstOriginalDefs(const host::TIndexDefs* existing,
                                   const TRestructureFieldDefs& fieldDefs);

  // From another TRestructureIndexDefs: its items, change status and limits
  // (not its change log). From host TIndexDefs: one unchanged item per index,
  // with that index as its source.
  void Assign(const host::TPersistent& source) override;
  // Replaces the definitions in `dest` with these. Items whose source index
  // lived in `dest` take the index made for them as their new source, so no
  // item is left pointing at a definition this call freed.
  void AssignTo(host::TIndexDefs& dest);

 protected:
  host::TCollectionItem* NewItem() override { return new TRestructureIndexDef(); }

 private:
  void Log(const std::string& line) const;

  host::TStrings* change_log_ = nullptr;
  TDefChangeType change_status_ = dcNoChange;
  int maximum_key_field_count_ = 32;
  int maximum_key_size_ = 500;
};

}  // namespace tav

// TIndexDef and TIndexDefs: the dataset framework's description of a table's
// indexes. Fields, DescFields and CaseInsFields are field names separated by
// ';'. An expression index keeps its expression where a field index keeps its
// field list: setting one clears the other (the ixExpression option tells which).
#pragma once

#include <string>

#include "host/classes/prop_table.h"
#include "host/db/def_collection.h"
#include "host/db/enum_set.h"

namespace host {

enum TIndexOption : unsigned char {
  ixPrimary = 0,
  ixUnique = 1,
  ixDescending = 2,
  ixCaseInsensitive = 3,
  ixExpression = 4,
  ixNonMaintained = 5,
};

using TIndexOptions = TEnumSet<TIndexOption>;

class TIndexDef : public TNamedItem {
 public:
  using TNamedItem::TNamedItem;

  // Empty for an expression index.
  std::string Fields() const;
  void SetFields(const std::string& value);
  // Empty unless this is an expression index.
  std::string Expression() const;
  void SetExpression(const std::string& value);
  TIndexOptions Options() const { return options_; }
  void SetOptions(TIndexOptions value) { options_ = value; }
  const std::string& DescFields() const { return desc_fields_; }
  void SetDescFields(const std::string& value) { desc_fields_ = value; }
  const std::string& CaseInsFields() const { return case_ins_fields_; }
  void SetCaseInsFields(const std::string& value) { case_ins_fields_ = value; }

  // From another TIndexDef: name, fields or expression, options and the
  // descending and case-insensitive field lists.
  void Assign(const TPersistent& source) override;

  // Name, Fields or Expression, Options, DescFields and CaseInsFields, as a
  // table keeps its definitions with the component.
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  std::string field_expression_;  // the field list, or the expression
  TIndexOptions options_;
  std::string desc_fields_;
  std::string case_ins_fields_;
};

class TIndexDefs : public TDefCollection {
 public:
  TIndexDef* Items(int index) const { return static_cast<TIndexDef*>(TCollection::Items(index)); }
  TIndexDef* AddIndexDef() { return static_cast<TIndexDef*>(TCollection::Add()); }
  // Appends a definition; a name already present raises the duplicate-name error.
  TIndexDef* Add(const std::string& name, const std::string& fields, TIndexOptions options);
  // The definition named `name` (without regard to case); none raises
  // EDatabaseError "Index '<name>' not found".
  TIndexDef* Find(const std::string& name) const;
  // An ascending field index (not an expression index) on exactly `fields`, or
  // failing that one whose field list begins with them; with caseInsensitive
  // only indexes with ixCaseInsensitive qualify. Nullptr when none does.
  TIndexDef* GetIndexForFields(const std::string& fields, bool caseInsensitive) const;
  // Fills the definitions from the owning dataset (TDataSet::UpdateIndexDefs)
  // unless they are Updated; nothing without a dataset.
  void Update();

 protected:
  TCollectionItem* NewItem() override { return new TIndexDef(); }
};

}  // namespace host

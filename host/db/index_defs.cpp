#include "host/db/index_defs.h"

#include "host/db/data_set.h"
#include "host/db/db_common.h"
#include "host/rtl/sys_utils.h"

namespace host {

std::string TIndexDef::Fields() const {
  return options_.Contains(ixExpression) ? std::string() : field_expression_;
}

void TIndexDef::SetFields(const std::string& value) {
  if (!value.empty()) options_.Exclude(ixExpression);
  field_expression_ = value;
}

std::string TIndexDef::Expression() const {
  return options_.Contains(ixExpression) ? field_expression_ : std::string();
}

void TIndexDef::SetExpression(const std::string& value) {
  if (!value.empty())
    options_.Include(ixExpression);
  else
    options_.Exclude(ixExpression);
  field_expression_ = value;
}

const TPropertyTable& TIndexDef::ClassProperties() {
  using T = TIndexDef;
  static const TPropertyTable table = PublishClass<T>("TIndexDef", nullptr, [](TPublisher<T>& p) {
    static const TEnumInfo options("TIndexOption", {"ixPrimary", "ixUnique", "ixDescending",
                                                    "ixCaseInsensitive", "ixExpression",
                                                    "ixNonMaintained"});
    p.String("Name", &T::Name, &T::SetName);
    // One of the two, as the options say; Options follows and sets them all.
    p.String("Fields", &T::Fields, &T::SetFields).DefaultString("");
    p.String("Expression", &T::Expression, &T::SetExpression).DefaultString("");
    p.Set(
         "Options", options, [](const T& d) { return d.Options().Bits(); },
         [](T& d, uint64_t v) { d.SetOptions(TIndexOptions::FromBits(v)); })
        .Default(0);
    p.String("DescFields", &T::DescFields, &T::SetDescFields).DefaultString("");
    p.String("CaseInsFields", &T::CaseInsFields, &T::SetCaseInsFields).DefaultString("");
  });
  return table;
}

void TIndexDef::Assign(const TPersistent& source) {
  const auto* s = dynamic_cast<const TIndexDef*>(&source);
  if (!s) return TNamedItem::Assign(source);
  SetName(s->Name());
  field_expression_ = s->field_expression_;
  options_ = s->options_;
  desc_fields_ = s->desc_fields_;
  case_ins_fields_ = s->case_ins_fields_;
}

TIndexDef* TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
  TIndexDef* def = AddIndexDef();
  try {
    def->SetName(name);
  } catch (...) {
    delete def;
    throw;
  }
  def->SetOptions(options);
  def->SetFields(fields);
  return def;
}

TIndexDef* TIndexDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseError("Index '" + name + "' not found");
  return Items(i);
}

TIndexDef* TIndexDefs::GetIndexForFields(const std::string& fields, bool caseInsensitive) const {
  // First an exact match of the whole field list, then one whose list starts
  // with the given fields (ending at a ';').
  for (bool exact : {true, false}) {
    for (int i = 0; i < Count(); ++i) {
      TIndexDef* def = Items(i);
      TIndexOptions opts = def->Options();
      if (!(opts * TIndexOptions{ixDescending, ixExpression}).Empty()) continue;
      if (caseInsensitive && !opts.Contains(ixCaseInsensitive)) continue;
      std::string own = def->Fields();
      if (exact) {
        if (AnsiSameText(fields, own)) return def;
      } else if (own.size() > fields.size() && own[fields.size()] == ';' &&
                 AnsiSameText(fields, std::string_view(own).substr(0, fields.size()))) {
        return def;
      }
    }
  }
  return nullptr;
}

void TIndexDefs::Update() {
  if (TDataSet* ds = DataSet()) UpdateDefs([ds] { ds->UpdateIndexDefs(); });
}

}  // namespace host

#include "engine/storage/table/restructure_defs.h"

#include "engine/storage/record/internal_fields.h"

#include <algorithm>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

using host::TFieldType;

const char* const CChangeTypeNames[6] = {
    "Unchanged Item", "Definition Only Changed",   "New Item",
    "Deleted Item",   "Data Requirements Changed", "Data Loss Possible"};

namespace {

const char* kFieldValidate = "TRestructureFieldDefs.ValidateAgainstOriginalDefs";
const char* kIndexValidateNew = "TRestructureIndexDefs.ValidateNewIndexDefs";
const char* kIndexValidate = "TRestructureIndexDefs.ValidateAgainstOriginalDefs";

std::string StatusName(TDefChangeType t) {
  return CChangeTypeNames[t];
}

// A ';'-separated list of field names, split as written (blanks inside names
// are kept); an empty list has no names.
std::vector<std::string> SplitFieldNames(const std::string& names) {
  std::vector<std::string> r;
  if (names.empty()) return r;
  size_t start = 0;
  for (;;) {
    size_t semi = names.find(';', start);
    if (semi == std::string::npos) {
      r.push_back(names.substr(start));
      return r;
    }
    r.push_back(names.substr(start, semi - start));
    start = semi + 1;
  }
}

std::string JoinFieldNames(const std::vector<std::string>& names) {
  std::string r;
  for (size_t i = 0; i < names.size(); ++i) r += (i ? ";" : "") + names[i];
  return r;
}

bool IsStringType(TFieldType t) {
  return t == host::ftString || t == host::ftWideString;
}

bool IsBlobType(TFieldType t) {
  return t == host::ftBlob || t == host::ftMemo || t == host::ftGraphic || t == host::ftFmtMemo;
}

// Whether turning a field of type `from` into one of type `to` can lose data.
bool IsDataLossConversion(TFieldType to, TFieldType from) {
  using namespace host;
  auto in = [](TFieldType t, std::initializer_list<TFieldType> set) {
    return std::find(set.begin(), set.end(), t) != set.end();
  };
  if (in(to, {ftSmallint, ftWord}) && !in(from, {ftSmallint, ftWord, ftBoolean})) return true;
  if (in(to, {ftInteger, ftAutoInc}) && in(from, {ftFloat, ftCurrency, ftBCD, ftTime, ftDateTime}))
    return true;
  if (to == ftBoolean && from != ftBoolean) return true;
  if (in(to, {ftCurrency, ftBCD}) && in(from, {ftFloat, ftTime, ftDateTime})) return true;
  if (IsBlobType(to) != IsBlobType(from)) return true;
  if (IsStringType(to) != IsStringType(from)) return true;
  return false;
}

// Index field names are matched to field definitions without regard to case,
// as everywhere else the engine finds a field by name.
const TRestructureFieldDef* FindFieldByName(const TRestructureFieldDefs& defs,
                                            const std::string& name) {
  for (int i = 0; i < defs.Count(); ++i)
    if (host::AnsiSameText(defs.Items(i)->Name(), name)) return defs.Items(i);
  return nullptr;
}

}  // namespace

int64_t CalculateIndexDefKeyFieldSize(TFieldType type, int declaredSize) {
  // The core part (a string's length marker, a number's bytes) plus the
  // characters a string field declares.
  int64_t size = CalculateCoreDataSize(type);
  if (type == host::ftString) size += declaredSize;
  if (type == host::ftWideString) size += 2 * static_cast<int64_t>(declaredSize);
  return size;
}

// ---------------------------------------------------------------------------
// Field definitions

void TRestructureFieldDef::Assign(const host::TPersistent& source) {
  if (const auto* s = dynamic_cast<const TRestructureFieldDef*>(&source)) {
    name_ = s->name_;
    data_type_ = s->data_type_;
    size_ = s->size_;
    precision_ = s->precision_;
    required_ = s->required_;
    source_field_name_ = s->source_field_name_;
    change_status_ = s->change_status_;
    return;
  }
  if (const auto* s = dynamic_cast<const host::TFieldDef*>(&source)) {
    name_ = s->Name();
    data_type_ = s->DataType();
    size_ = s->Size();
    precision_ = s->Precision();
    required_ = s->Required();
    source_field_name_ = s->Name();
    change_status_ = dcNoChange;
    return;
  }
  host::TCollectionItem::Assign(source);
}

TRestructureFieldDef* TRestructureFieldDefs::AddAndSetFieldDef(const std::string& name,
                                                               TFieldType dataType, int size) {
  TRestructureFieldDef* def = AddFieldDef();
  def->SetName(name);
  def->SetDataType(dataType);
  def->SetSize(size);
  return def;
}

void TRestructureFieldDefs::SwapDefs(int index1, int index2) {
  if (index1 < 0 || index1 >= Count() || index2 < 0 || index2 >= Count())
    TavDatabaseError(kNumberOutOfRange, "TRestructureFieldDefs.SwapDefs",
                     "Invalid Field Def Index in SwapDefs");
  Exchange(index1, index2);
}

TRestructureFieldDef* TRestructureFieldDefs::Find(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Name() == name) return Items(i);
  return nullptr;
}

host::TFieldDef* TRestructureFieldDefs::FindSourceDef(const std::string& name) const {
  if (!field_defs_) return nullptr;
  int i = field_defs_->IndexOf(name);
  return i < 0 ? nullptr : field_defs_->Items(i);
}

bool TRestructureFieldDefs::CheckIfFieldsDeleted() const {
  if (!field_defs_) return false;
  for (int k = 0; k < field_defs_->Count(); ++k) {
    bool named = false;
    for (int i = 0; i < Count() && !named; ++i)
      named = host::AnsiSameText(Items(i)->SourceFieldName(), field_defs_->Items(k)->Name());
    if (!named) return true;
  }
  return false;
}

void TRestructureFieldDefs::Log(const std::string& line) const {
  if (change_log_) change_log_->Add(line);
}

void TRestructureFieldDefs::ValidateAgainstOriginalDefs(const host::TFieldDefs* existing) {
  change_status_ = dcNoChange;
  if (!existing) {
    for (int i = 0; i < Count(); ++i) {
      Items(i)->SetChangeStatus(dcAdded);
      Log("Field Def: " + Items(i)->Name() + " status: " + StatusName(dcAdded));
    }
    change_status_ = dcAdded;
    Log("FieldDefs: Change status is - " + StatusName(change_status_));
    return;
  }
  if (!field_defs_) field_defs_ = existing;
  if (Count() > existing->Count())
    change_status_ = dcAdded;
  else if (Count() < existing->Count())
    change_status_ = dcDeleted;

  std::vector<bool> named(static_cast<size_t>(existing->Count()), false);
  for (int i = 0; i < Count(); ++i) {
    TRestructureFieldDef* item = Items(i);
    TDefChangeType status;
    if (item->SourceFieldName().empty()) {
      status = dcAdded;
    } else {
      int k = existing->IndexOf(item->SourceFieldName());
      if (k < 0) TavDatabaseError(kNoSuchField, kFieldValidate, "Source Def not found");
      named[static_cast<size_t>(k)] = true;
      const host::TFieldDef* src = existing->Items(k);
      if (IsDataLossConversion(item->DataType(), src->DataType())) {
        status = dcDataLoss;
      } else if (item->DataType() == src->DataType() && item->Size() < src->Size()) {
        status = dcDataLoss;
      } else if (item->DataType() == src->DataType() && item->Size() == src->Size()) {
        bool same = item->Name() == src->Name() && i == k && item->Required() == src->Required();
        status = same ? dcNoChange : dcDefOnlyChange;
      } else {
        status = dcDataChange;
      }
    }
    item->SetChangeStatus(status);
    change_status_ = std::max(change_status_, status);
    Log("Field Def: " + item->Name() + " status: " + StatusName(status));
  }
  for (int k = 0; k < existing->Count(); ++k) {
    if (named[static_cast<size_t>(k)]) continue;
    change_status_ = std::max(change_status_, dcDataChange);
    Log("Prior Field Def: " + existing->Items(k)->Name() + " status: " + StatusName(dcDeleted));
  }
  Log("FieldDefs: Change status is - " + StatusName(change_status_));
}

void TRestructureFieldDefs::Assign(const host::TPersistent& source) {
  if (const auto* s = dynamic_cast<const TRestructureFieldDefs*>(&source)) {
    if (s == this) return;
    host::TCollection::Assign(source);
    field_defs_ = s->field_defs_;
    change_status_ = s->change_status_;
    auto_inc_reset_value_ = s->auto_inc_reset_value_;
    reset_auto_inc_value_ = s->reset_auto_inc_value_;
    return;
  }
  if (const auto* s = dynamic_cast<const host::TFieldDefs*>(&source)) {
    host::TCollection::Assign(source);
    field_defs_ = s;
    change_status_ = dcNoChange;
    return;
  }
  host::TPersistent::Assign(source);
}

void TRestructureFieldDefs::AssignTo(host::TFieldDefs& dest) const {
  dest.BeginUpdate();
  try {
    dest.Clear();
    for (int i = 0; i < Count(); ++i) {
      const TRestructureFieldDef* item = Items(i);
      host::TFieldDef* def =
          dest.Add(item->Name(), item->DataType(), item->Size(), item->Required());
      def->SetPrecision(item->Precision());
    }
  } catch (...) {
    dest.EndUpdate();
    throw;
  }
  dest.EndUpdate();
}

// ---------------------------------------------------------------------------
// Index definitions

void TRestructureIndexDef::Assign(const host::TPersistent& source) {
  if (const auto* s = dynamic_cast<const TRestructureIndexDef*>(&source)) {
    name_ = s->name_;
    fields_ = s->fields_;
    case_ins_fields_ = s->case_ins_fields_;
    desc_fields_ = s->desc_fields_;
    options_ = s->options_;
    source_index_def_ = s->source_index_def_;
    change_status_ = s->change_status_;
    return;
  }
  if (const auto* s = dynamic_cast<const host::TIndexDef*>(&source)) {
    name_ = s->Name();
    fields_ = s->Fields();
    case_ins_fields_ = s->CaseInsFields();
    desc_fields_ = s->DescFields();
    options_ = s->Options();
    source_index_def_ = s;
    change_status_ = dcNoChange;
    return;
  }
  host::TCollectionItem::Assign(source);
}

TRestructureIndexDef* TRestructureIndexDefs::AddAndSetIndexDef(const std::string& name,
                                                               const std::string& fields,
                                                               host::TIndexOptions options) {
  TRestructureIndexDef* def = AddIndexDef();
  def->SetName(name);
  def->SetFields(fields);
  def->SetOptions(options);
  return def;
}

TRestructureIndexDef* TRestructureIndexDefs::Find(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Name() == name) return Items(i);
  return nullptr;
}

const host::TIndexDef* TRestructureIndexDefs::FindSourceDef(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const host::TIndexDef* src = Items(i)->SourceIndexDef();
    if (src && host::AnsiSameText(src->Name(), name)) return src;
  }
  return nullptr;
}

void TRestructureIndexDefs::DeleteField(const std::string& name) {
  auto drop = [&name](const std::string& list) {
    std::vector<std::string> names = SplitFieldNames(list);
    std::erase_if(names, [&name](const std::string& n) { return host::AnsiSameText(n, name); });
    return JoinFieldNames(names);
  };
  for (int i = 0; i < Count(); ++i) {
    TRestructureIndexDef* item = Items(i);
    item->SetFields(drop(item->Fields()));
    item->SetCaseInsFields(drop(item->CaseInsFields()));
    item->SetDescFields(drop(item->DescFields()));
  }
}

void TRestructureIndexDefs::ReplaceFieldName(const std::string& oldName,
                                             const std::string& newName) {
  auto rename = [&](const std::string& list) {
    std::vector<std::string> names = SplitFieldNames(list);
    for (std::string& n : names)
      if (host::AnsiSameText(n, oldName)) n = newName;
    return JoinFieldNames(names);
  };
  for (int i = 0; i < Count(); ++i) {
    TRestructureIndexDef* item = Items(i);
    item->SetFields(rename(item->Fields()));
    item->SetCaseInsFields(rename(item->CaseInsFields()));
    item->SetDescFields(rename(item->DescFields()));
  }
}

void TRestructureIndexDefs::Log(const std::string& line) const {
  if (change_log_) change_log_->Add(line);
}

void TRestructureIndexDefs::ValidateNewIndexDefs(const TRestructureFieldDefs& fieldDefs) {
  for (int i = 0; i < Count(); ++i) {
    const TRestructureIndexDef* item = Items(i);
    std::vector<std::string> names = SplitFieldNames(item->Fields());
    int64_t keySize = 0;
    for (const std::string& name : names) {
      const TRestructureFieldDef* field = FindFieldByName(fieldDefs, name);
      if (!field)
        TavDatabaseErrorFmt(kNoSuchField, kIndexValidateNew,
                            "The field '%s' in index '%s' was not found in the table field "
                            "definitions.",
                            {name, item->Name()});
      keySize += CalculateIndexDefKeyFieldSize(field->DataType(), field->Size());
    }
    if (keySize > maximum_key_size_)
      TavDatabaseErrorFmt(kKeySizeTooLarge, kIndexValidateNew,
                          "The Index '%s' with fields '%s' has exceeded the maximum key size of %d",
                          {item->Name(), item->Fields(), maximum_key_size_});
    if (static_cast<int64_t>(names.size()) > maximum_key_field_count_)
      TavDatabaseErrorFmt(kTooManyFieldsInIndex, kIndexValidateNew,
                          "The Index '%s' with fields '%s' has exceeded the maximum key field "
                          "count of %d",
                          {item->Name(), item->Fields(), maximum_key_field_count_});
  }
  Log("IndexDefs: Validation OK");
}

void TRestructureIndexDefs::ValidateAgainstOriginalDefs(const host::TIndexDefs* existing,
                                                        const TRestructureFieldDefs& fieldDefs) {
  ValidateNewIndexDefs(fieldDefs);
  change_status_ = dcNoChange;
  if (!existing) {
    for (int i = 0; i < Count(); ++i) {
      TRestructureIndexDef* item = Items(i);
      item->SetChangeStatus(dcAdded);
      Log("New Index Def: " + item->Name());
      Log("Index Def: '" + item->Name() + "' status: " + StatusName(dcAdded));
    }
    change_status_ = dcAdded;
    Log("IndexDefs: Change status is - " + StatusName(change_status_));
    return;
  }
  if (Count() > existing->Count())
    change_status_ = dcAdded;
  else if (Count() < existing->Count())
    change_status_ = dcDeleted;

  for (int i = 0; i < Count(); ++i) {
    TRestructureIndexDef* item = Items(i);
    const host::TIndexDef* src = item->SourceIndexDef();
    const std::string& name = item->Name();
    TDefChangeType status = dcNoChange;
    if (!src) {
      status = dcAdded;
      Log("New Index Def: " + name);
    } else if (item->Options() != src->Options() || i != src->Index()) {
      status = dcDataChange;
      Log("Index Def: " + name + " - Options or position changed");
    } else {
      if (!host::AnsiSameText(name, src->Name())) {
        status = dcDefOnlyChange;
        Log("Index Def: " + name + " - Name changed");
      }
      bool fieldChanged = false;
      for (const std::string& fieldName : SplitFieldNames(item->Fields())) {
        const TRestructureFieldDef* field = FindFieldByName(fieldDefs, fieldName);
        if (!field)
          TavDatabaseErrorFmt(kNoSuchField, kIndexValidate,
                              "The field '%s' in index '%s' was not found in the table field "
                              "definitions - %s",
                              {fieldName, name, item->Fields()});
        if (field->ChangeStatus() >= dcAdded) {
          status = dcDataChange;
          Log("Index Def: " + name + " - Changed field: " + field->Name());
          fieldChanged = true;
          break;
        }
      }
      if (!fieldChanged) {
        auto changed = [&](const char* what, const std::string& from, const std::string& to) {
          if (host::AnsiSameText(from, to)) return false;
          status = dcDataChange;
          Log(std::string(what) + name + " from " + from + " to " + to);
          return true;
        };
        // Only the first list that differs is reported.
        if (!changed("Index Def fields changed: ", src->Fields(), item->Fields()) &&
            !changed("Index Def case insensitive fields changed: ", src->CaseInsFields(),
                     item->CaseInsFields()))
          changed("Index Def descending fields changed: ", src->DescFields(), item->DescFields());
      }
    }
    item->SetChangeStatus(status);
    change_status_ = std::max(change_status_, status);
    Log("Index Def: '" + name + "' status: " + StatusName(status));
  }
  for (int k = 0; k < existing->Count(); ++k) {
    const host::TIndexDef* prior = existing->Items(k);
    bool referred = false;
    for (int i = 0; i < Count() && !referred; ++i) referred = Items(i)->SourceIndexDef() == prior;
    if (referred) continue;
    change_status_ = std::max(change_status_, dcDataChange);
    Log("Prior Index Def: " + prior->Name() + " status: " + StatusName(dcDeleted));
  }
  Log("IndexDefs: Change status is - " + StatusName(change_status_));
}

void TRestructureIndexDefs::Assign(const host::TPersistent& source) {
  if (const auto* s = dynamic_cast<const TRestructureIndexDefs*>(&source)) {
    if (s == this) return;
    host::TCollection::Assign(source);
    change_status_ = s->change_status_;
    maximum_key_field_count_ = s->maximum_key_field_count_;
    maximum_key_size_ = s->maximum_key_size_;
    return;
  }
  if (dynamic_cast<const host::TIndexDefs*>(&source)) {
    host::TCollection::Assign(source);
    change_status_ = dcNoChange;
    return;
  }
  host::TPersistent::Assign(source);
}

void TRestructureIndexDefs::AssignTo(host::TIndexDefs& dest) {
  // Note which sources live in `dest` before clearing it frees them.
  std::vector<bool> sourceInDest(static_cast<size_t>(Count()));
  for (int i = 0; i < Count(); ++i) {
    const host::TIndexDef* src = Items(i)->SourceIndexDef();
    sourceInDest[static_cast<size_t>(i)] = src && src->Collection() == &dest;
  }
  int i = 0;
  dest.BeginUpdate();
  try {
    dest.Clear();
    for (; i < Count(); ++i) {
      TRestructureIndexDef* item = Items(i);
      host::TIndexDef* def = dest.Add(item->Name(), item->Fields(), item->Options());
      def->SetDescFields(item->DescFields());
      def->SetCaseInsFields(item->CaseInsFields());
      if (sourceInDest[static_cast<size_t>(i)]) item->SetSourceIndexDef(def);
    }
  } catch (...) {
    for (; i < Count(); ++i)
      if (sourceInDest[static_cast<size_t>(i)]) Items(i)->SetSourceIndexDef(nullptr);
    dest.EndUpdate();
    throw;
  }
  dest.EndUpdate();
}

}  // namespace tav

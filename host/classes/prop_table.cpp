#include "host/classes/prop_table.h"

#include <cstring>
#include <mutex>

#include "host/classes/component.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace host {

TEnumInfo::TEnumInfo(std::string name, std::vector<std::string> idents)
    : name_(std::move(name)), idents_(std::move(idents)) {}

const std::string& TEnumInfo::Ident(int64_t ordinal) const {
  TAV_ASSERT(ordinal >= 0 && ordinal < Count(), "TEnumInfo.Ident: ordinal out of range");
  return idents_[static_cast<size_t>(ordinal)];
}

int TEnumInfo::Ordinal(std::string_view ident) const {
  for (size_t i = 0; i < idents_.size(); ++i)
    if (SameText(idents_[i], ident)) return static_cast<int>(i);
  return -1;
}

TPropInfo& TPropInfo::Default(int64_t value) {
  TAV_ASSERT(Kind == tkInteger || Kind == tkInt64 || Kind == tkBoolean || Kind == tkEnumeration ||
                 Kind == tkSet,
             "TPropInfo.Default: not an ordinal property");
  HasDefault = true;
  DefaultOrd = value;
  return *this;
}

TPropInfo& TPropInfo::DefaultFloatValue(double value) {
  TAV_ASSERT(Kind == tkFloat, "TPropInfo.DefaultFloatValue: not a float property");
  HasDefault = true;
  DefaultFloat = value;
  return *this;
}

TPropInfo& TPropInfo::DefaultString(std::string value) {
  TAV_ASSERT(Kind == tkString, "TPropInfo.DefaultString: not a string property");
  HasDefault = true;
  DefaultStr = std::move(value);
  return *this;
}

TPropInfo& TPropInfo::DefaultEmpty() {
  TAV_ASSERT(Kind == tkCollection || Kind == tkStrings || Kind == tkBinary,
             "TPropInfo.DefaultEmpty: not a collection, string list or bytes property");
  HasDefault = true;
  return *this;
}

bool TPropInfo::ShouldWrite(const TPersistent& instance) const {
  if (Stored && !Stored(instance)) return false;
  if (Kind == tkMethod) return !GetStr(instance).empty();
  if (Kind == tkComponent) return GetComponent(instance) != nullptr;
  if (!HasDefault) return true;
  switch (Kind) {
    case tkFloat: {
      // Bit patterns, so that -0 and NaN are not taken for a default 0.
      const double v = GetFloat(instance);
      return std::memcmp(&v, &DefaultFloat, sizeof v) != 0;
    }
    case tkString:
      return GetStr(instance) != DefaultStr;
    case tkCollection:
      return static_cast<const TCollection*>(GetObject(const_cast<TPersistent&>(instance)))->Count() > 0;
    case tkStrings:
      return static_cast<const TStrings*>(GetObject(const_cast<TPersistent&>(instance)))->Count() > 0;
    case tkBinary:
      return !GetStr(instance).empty();
    case tkClass:
      return true;
    default:
      return GetOrd(instance) != DefaultOrd;
  }
}

void SetTooLarge(const std::string& enumName) {
  AssertFailed("set too large", ("The set of " + enumName + " does not fit its mask").c_str(),
               __FILE__, __LINE__);
}

std::string ReferenceClassError(const TComponent* c) {
  return "A " + c->ClassName() + " is not of the class this reference takes";
}

TPropertyTable::TPropertyTable(std::string className, const TPropertyTable* parent)
    : class_name_(std::move(className)), parent_(parent) {
  if (parent) props_ = parent->props_;
}

bool TPropertyTable::InheritsFrom(const TPropertyTable& other) const {
  for (const TPropertyTable* t = this; t; t = t->parent_)
    if (t == &other) return true;
  return false;
}

const TPropInfo* TPropertyTable::FindProp(std::string_view name) const {
  for (const TPropInfo& p : props_)
    if (SameText(p.Name, name)) return &p;
  return nullptr;
}

const TMethodInfo* TPropertyTable::FindMethod(std::string_view name) const {
  for (const TPropertyTable* t = this; t; t = t->parent_)
    for (const TMethodInfo& m : t->methods_)
      if (SameText(m.Name, name)) return &m;
  return nullptr;
}

void TPropertyTable::AddMethod(TMethodInfo info) {
  TAV_ASSERT(IsValidIdent(info.Name), "TPropertyTable.AddMethod: method name is no identifier");
  for (const TMethodInfo& m : methods_)
    TAV_ASSERT(!SameText(m.Name, info.Name), "TPropertyTable.AddMethod: method published twice");
  methods_.push_back(std::move(info));
}

TComponent* TPropertyTable::NewComponent(TComponent* owner) const {
  return component_factory_ ? component_factory_(owner) : nullptr;
}

TCollectionItem* TPropertyTable::NewItem(TCollection* collection) const {
  return item_factory_ ? item_factory_(collection) : nullptr;
}

TPropInfo& TPropertyTable::AddProp(TPropInfo info) {
  TAV_ASSERT(IsValidIdent(info.Name), "TPropertyTable.AddProp: property name is no identifier");
  TAV_ASSERT(FindProp(info.Name) == nullptr, "TPropertyTable.AddProp: property published twice");
  props_.push_back(std::move(info));
  return props_.back();
}

void TPropertyTable::SetFactories(TComponentFactory component, TItemFactory item) {
  component_factory_ = component;
  item_factory_ = item;
}

void CopyPublishedProperties(const TPersistent& source, TPersistent& dest) {
  const TPropertyTable* table = source.PublishedProperties();
  if (table == nullptr || dest.PublishedProperties() != table)
    throw EConvertError("Cannot copy the properties of a " + source.ClassName() + " to a " +
                        dest.ClassName());
  auto& src = const_cast<TPersistent&>(source);
  for (int i = 0; i < table->PropCount(); ++i) {
    const TPropInfo& p = table->Prop(i);
    switch (p.Kind) {
      case tkFloat:
        p.SetFloat(dest, p.GetFloat(source));
        break;
      case tkString:
      case tkBinary:
        p.SetStr(dest, p.GetStr(source));
        break;
      case tkMethod:
        // Handlers belong to the root they were bound to.
        break;
      case tkComponent:
        p.SetComponent(dest, p.GetComponent(source));
        break;
      case tkStrings:
      case tkCollection:
        // The collection's own rule, which also resets what it derives from
        // its items.
        p.GetObject(dest)->Assign(*p.GetObject(src));
        break;
      case tkClass:
        CopyPublishedProperties(*p.GetObject(src), *p.GetObject(dest));
        break;
      default:
        p.SetOrd(dest, p.GetOrd(source));
        break;
    }
  }
}

namespace {

struct TClassRegistry {
  std::mutex lock;
  std::vector<const TPropertyTable*> classes;

  const TPropertyTable* Find(std::string_view name) const {
    for (const TPropertyTable* t : classes)
      if (SameText(t->ClassName(), name)) return t;
    return nullptr;
  }
};

TClassRegistry& Registry() {
  static TClassRegistry registry;
  return registry;
}

}  // namespace

void RegisterClass(const TPropertyTable& table) {
  TClassRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.lock);
  const TPropertyTable* known = r.Find(table.ClassName());
  if (known == &table) return;
  if (known) throw EComponentError("A class named " + table.ClassName() + " already exists");
  r.classes.push_back(&table);
}

const TPropertyTable* GetClass(std::string_view className) {
  TClassRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.Find(className);
}

const TPropertyTable& FindClass(std::string_view className) {
  const TPropertyTable* t = GetClass(className);
  if (!t) throw EClassNotFound("Class " + std::string(className) + " not found");
  return *t;
}

}  // namespace host

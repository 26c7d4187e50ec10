// Published properties and the class registry: what component streaming
// (component_text.h) knows about a class.
//
// A TPropertyTable lists the published properties of one class: for each its
// name, kind, accessors, default and stored-when condition. A class's table
// starts with its base class's properties and adds its own; a class hands it
// out through TPersistent::PublishedProperties. Tables are built once (a
// function-local static) with TPublisher, which takes getters and setters as
// member-function pointers or lambdas:
//
//   const TPropertyTable& TThing::ClassProperties() {
//     static const TPropertyTable table = PublishClass<TThing>(
//         "TThing", &TComponent::ClassProperties(), [](TPublisher<TThing>& p) {
//           p.Integer("Size", &TThing::Size, &TThing::SetSize).Default(0);
//           p.Collection("Items", [](TThing& t) -> TCollection& { return t.Items(); });
//         });
//     return table;
//   }
//
// The registry (RegisterClass, FindClass) maps class names to tables, so
// that a reader can make components and collection items by class name.
//
// Callers must keep:
//  - A table outlives every object that hands it out and every registration
//    of it (a static does).
//  - A table is named as its class is (TObject::ClassName): writing puts the
//    object's class name in the text, reading looks it up in the registry.
//  - Accessors of collections and owned sub-objects return an object the
//    instance owns, and do not change the instance: writing calls them on
//    instances it may only read.
//  - Setters accept any value of the property's type (an enumeration's
//    ordinals, a set's bits); what they refuse they refuse by raising.
//  - Properties without a default are always written; with one, a value
//    equal to it is left out (and a reader then keeps the constructor's).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "host/classes/component.h"
#include "host/rtl/collection.h"
#include "host/rtl/event.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/object.h"

namespace host {

class TComponent;

enum TTypeKind {
  tkInteger,      // 32-bit, signed or unsigned
  tkInt64,        // 64-bit signed
  tkFloat,        // double (date-times too)
  tkString,       // 8-bit string
  tkBoolean,
  tkEnumeration,  // an ordinal of a TEnumInfo
  tkSet,          // a set of a TEnumInfo's values, bit i for ordinal i
  tkCollection,   // an owned TCollection
  tkClass,        // an owned sub-object, streamed through its own properties
  tkMethod,       // an event (TEvent), bound by name to a method of the root
  tkComponent,    // a borrowed reference to another component, by name
  tkStrings,      // an owned TStrings, streamed as its lines
  tkBinary,       // bytes, streamed in hexadecimal
};

// A method a class offers to events by name (the handlers of a form).
struct TMethodInfo {
  std::string Name;
  const std::type_info* Signature = nullptr;
  // Stores the method bound to `root` in *event, a TEvent of Signature.
  std::function<void(TPersistent& root, void* event)> Bind;
};

// An enumeration type: the identifiers of its ordinals 0 .. Count()-1.
class TEnumInfo {
 public:
  TEnumInfo(std::string name, std::vector<std::string> idents);

  const std::string& Name() const { return name_; }
  int Count() const { return static_cast<int>(idents_.size()); }
  // Raises EAssertionFailed for an ordinal out of range.
  const std::string& Ident(int64_t ordinal) const;
  // The ordinal of `ident` (without regard to case), -1 for none.
  int Ordinal(std::string_view ident) const;

 private:
  std::string name_;
  std::vector<std::string> idents_;
};

// The most values a set property's enumeration may have.
inline constexpr int MaxSetElements = 64;

struct TPropInfo {
  std::string Name;
  TTypeKind Kind = tkInteger;
  const TEnumInfo* EnumType = nullptr;  // tkEnumeration, tkSet
  int64_t MinValue = 0;                 // tkInteger, tkInt64: the type's range
  int64_t MaxValue = 0;

  // Integers, Booleans (0/1), enumeration ordinals and set bits.
  std::function<int64_t(const TPersistent&)> GetOrd;
  std::function<void(TPersistent&, int64_t)> SetOrd;
  std::function<double(const TPersistent&)> GetFloat;
  std::function<void(TPersistent&, double)> SetFloat;
  std::function<std::string(const TPersistent&)> GetStr;
  std::function<void(TPersistent&, const std::string&)> SetStr;
  // tkCollection (a TCollection), tkStrings (a TStrings) and tkClass: the
  // owned object.
  std::function<TPersistent*(TPersistent&)> GetObject;
  // tkComponent: the component referred to (null for none); the setter
  // raises for a component of the wrong class.
  std::function<TComponent*(const TPersistent&)> GetComponent;
  std::function<void(TPersistent&, TComponent*)> SetComponent;
  // tkMethod: the event's type, and the binding of a method to it. GetStr
  // gives the bound method's name.
  const std::type_info* EventType = nullptr;
  std::function<void(TPersistent&, const TMethodInfo&, TPersistent& root)> SetMethod;
  // Whether the property is written at all; empty = always.
  std::function<bool(const TPersistent&)> Stored;

  bool HasDefault = false;
  int64_t DefaultOrd = 0;
  double DefaultFloat = 0;
  std::string DefaultStr;

  // The value left out when written. For a collection or string list:
  // written only when it has items; for bytes: only when there are some.
  // Sub-objects have no default (their properties have); events and
  // references are written only when set.
  TPropInfo& Default(int64_t value);
  TPropInfo& DefaultFloatValue(double value);
  TPropInfo& DefaultString(std::string value);
  TPropInfo& DefaultEmpty();
  template <class T, class F>
  TPropInfo& StoredWhen(F condition) {
    Stored = [condition](const TPersistent& o) { return condition(static_cast<const T&>(o)); };
    return *this;
  }

  // Whether a writer writes the property of `instance`: stored, and not at
  // its default.
  bool ShouldWrite(const TPersistent& instance) const;
};

class TPropertyTable {
 public:
  using TComponentFactory = TComponent* (*)(TComponent* owner);
  using TItemFactory = TCollectionItem* (*)(TCollection* collection);

  // Starts with the properties of `parent` (may be null).
  TPropertyTable(std::string className, const TPropertyTable* parent);

  const std::string& ClassName() const { return class_name_; }
  const TPropertyTable* Parent() const { return parent_; }
  bool InheritsFrom(const TPropertyTable& other) const;

  int PropCount() const { return static_cast<int>(props_.size()); }
  bool Empty() const { return props_.empty(); }
  const TPropInfo& Prop(int index) const { return props_[static_cast<size_t>(index)]; }
  // The property of that name (without regard to case), else null.
  const TPropInfo* FindProp(std::string_view name) const;

  // The method of that name (without regard to case) this class or a base
  // offers to events, else null.
  const TMethodInfo* FindMethod(std::string_view name) const;

  // A new instance of the class, or null when the class cannot be made that
  // way (abstract, or not a component / collection item).
  TComponent* NewComponent(TComponent* owner) const;
  TCollectionItem* NewItem(TCollection* collection) const;

  // Building (TPublisher does this). A name already in the table raises
  // EAssertionFailed.
  TPropInfo& AddProp(TPropInfo info);
  void SetFactories(TComponentFactory component, TItemFactory item);
  void AddMethod(TMethodInfo info);

 private:
  std::string class_name_;
  const TPropertyTable* parent_;
  std::vector<TPropInfo> props_;
  std::vector<TMethodInfo> methods_;
  TComponentFactory component_factory_ = nullptr;
  TItemFactory item_factory_ = nullptr;
};

// Raises EAssertionFailed: a set type with more values than its mask holds.
[[noreturn]] void SetTooLarge(const std::string& enumName);
// "A <class> is not of the class this reference takes".
std::string ReferenceClassError(const TComponent* c);

// Fills the table of class T.
template <class T>
class TPublisher {
 public:
  explicit TPublisher(TPropertyTable& table) : table_(table) {}

  // A 32-bit or 64-bit integer, by the getter's type.
  template <class G, class S>
  TPropInfo& Integer(std::string name, G get, S set) {
    using V = Value<G>;
    static_assert(std::is_integral_v<V> && !std::is_same_v<V, bool> &&
                  (sizeof(V) <= 4 || std::is_same_v<V, int64_t>));
    TPropInfo p = Ordinal<V>(std::move(name), sizeof(V) <= 4 ? tkInteger : tkInt64, get, set);
    p.MinValue = std::numeric_limits<V>::min();
    p.MaxValue = static_cast<int64_t>(std::numeric_limits<V>::max());
    return table_.AddProp(std::move(p));
  }
  template <class G, class S>
  TPropInfo& Boolean(std::string name, G get, S set) {
    static_assert(std::is_same_v<Value<G>, bool>);
    return table_.AddProp(Ordinal<bool>(std::move(name), tkBoolean, get, set));
  }
  template <class G, class S>
  TPropInfo& Enumeration(std::string name, const TEnumInfo& type, G get, S set) {
    static_assert(std::is_enum_v<Value<G>>);
    TPropInfo p = Ordinal<Value<G>>(std::move(name), tkEnumeration, get, set);
    p.EnumType = &type;
    return table_.AddProp(std::move(p));
  }
  // A set held as a bit mask of an unsigned integer type.
  template <class G, class S>
  TPropInfo& Set(std::string name, const TEnumInfo& type, G get, S set) {
    using V = Value<G>;
    static_assert(std::is_unsigned_v<V> && !std::is_same_v<V, bool>);
    TPropInfo p = Ordinal<V>(std::move(name), tkSet, get, set);
    p.EnumType = &type;
    if (type.Count() > static_cast<int>(sizeof(V) * 8) || type.Count() > MaxSetElements)
      SetTooLarge(type.Name());
    return table_.AddProp(std::move(p));
  }
  template <class G, class S>
  TPropInfo& Float(std::string name, G get, S set) {
    static_assert(std::is_floating_point_v<Value<G>>);
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = tkFloat;
    p.GetFloat = [get](const TPersistent& o) {
      return static_cast<double>(std::invoke(get, static_cast<const T&>(o)));
    };
    p.SetFloat = [set](TPersistent& o, double v) {
      std::invoke(set, static_cast<T&>(o), static_cast<Value<G>>(v));
    };
    return table_.AddProp(std::move(p));
  }
  template <class G, class S>
  TPropInfo& String(std::string name, G get, S set) {
    static_assert(std::is_same_v<Value<G>, std::string>);
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = tkString;
    p.GetStr = [get](const TPersistent& o) {
      return std::string(std::invoke(get, static_cast<const T&>(o)));
    };
    p.SetStr = [set](TPersistent& o, const std::string& v) {
      std::invoke(set, static_cast<T&>(o), v);
    };
    return table_.AddProp(std::move(p));
  }
  // `access` (T&) -> a TCollection (subclass) the instance owns.
  template <class A>
  TPropInfo& Collection(std::string name, A access) {
    static_assert(std::is_base_of_v<TCollection, std::remove_cvref_t<std::invoke_result_t<A, T&>>>);
    return table_.AddProp(Owned(std::move(name), tkCollection, access));
  }
  // `access` (T&) -> a TPersistent (subclass) the instance owns.
  template <class A>
  TPropInfo& Object(std::string name, A access) {
    static_assert(std::is_base_of_v<TPersistent, std::remove_cvref_t<std::invoke_result_t<A, T&>>>);
    return table_.AddProp(Owned(std::move(name), tkClass, access));
  }
  // `access` (T&) -> a TStrings (subclass) the instance owns.
  template <class A>
  TPropInfo& Strings(std::string name, A access) {
    TPropInfo p = Owned(std::move(name), tkStrings, access);
    return table_.AddProp(std::move(p));
  }
  // Bytes held in a std::string.
  template <class G, class S>
  TPropInfo& Binary(std::string name, G get, S set) {
    TPropInfo& p = String(std::move(name), get, set);
    p.Kind = tkBinary;
    return p;
  }
  // A reference to a component of class C (or a subclass): the getter
  // returns a C*, the setter takes one.
  template <class C, class G, class S>
  TPropInfo& Reference(std::string name, G get, S set) {
    static_assert(std::is_base_of_v<TComponent, C>);
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = tkComponent;
    p.GetComponent = [get](const TPersistent& o) -> TComponent* {
      return std::invoke(get, static_cast<const T&>(o));
    };
    p.SetComponent = [set](TPersistent& o, TComponent* c) {
      C* typed = nullptr;
      if (c) {
        typed = dynamic_cast<C*>(c);
        if (!typed) throw EConvertError(ReferenceClassError(c));
      }
      std::invoke(set, static_cast<T&>(o), typed);
    };
    return table_.AddProp(std::move(p));
  }
  // An event: `member` is a pointer to the TEvent data member (or a
  // callable giving a reference to it).
  template <class M>
  TPropInfo& Event(std::string name, M member) {
    using E = std::remove_cvref_t<std::invoke_result_t<M, T&>>;
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = tkMethod;
    p.EventType = &typeid(typename E::Signature);
    p.GetStr = [member](const TPersistent& o) {
      return std::invoke(member, const_cast<T&>(static_cast<const T&>(o))).MethodName();
    };
    p.SetMethod = [member](TPersistent& o, const TMethodInfo& m, TPersistent& root) {
      E bound;
      m.Bind(root, &bound);
      std::invoke(member, static_cast<T&>(o)) = std::move(bound);
    };
    return table_.AddProp(std::move(p));
  }
  // A method of T that events of root components of class T may be bound
  // to by name.
  template <class R, class... A>
  void Method(std::string name, R (T::*method)(A...)) {
    TMethodInfo m;
    m.Name = std::move(name);
    m.Signature = &typeid(R(A...));
    const std::string bound = m.Name;
    m.Bind = [method, bound](TPersistent& root, void* event) {
      T* self = &static_cast<T&>(root);
      *static_cast<TEvent<R(A...)>*>(event) = TEvent<R(A...)>(
          [self, method](A... args) -> R { return (self->*method)(std::forward<A>(args)...); },
          bound);
    };
    table_.AddMethod(std::move(m));
  }

 private:
  template <class G>
  using Value = std::remove_cvref_t<std::invoke_result_t<G, const T&>>;

  template <class V, class G, class S>
  static TPropInfo Ordinal(std::string name, TTypeKind kind, G get, S set) {
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = kind;
    p.GetOrd = [get](const TPersistent& o) {
      return static_cast<int64_t>(std::invoke(get, static_cast<const T&>(o)));
    };
    p.SetOrd = [set](TPersistent& o, int64_t v) {
      std::invoke(set, static_cast<T&>(o), static_cast<V>(v));
    };
    return p;
  }
  template <class A>
  static TPropInfo Owned(std::string name, TTypeKind kind, A access) {
    TPropInfo p;
    p.Name = std::move(name);
    p.Kind = kind;
    p.GetObject = [access](TPersistent& o) -> TPersistent* {
      return &std::invoke(access, static_cast<T&>(o));
    };
    return p;
  }

  TPropertyTable& table_;
};

// Builds the table of class T named `className` on `parent`'s: `fill` adds
// the properties. Components and collection items get their factory.
template <class T, class F>
TPropertyTable PublishClass(std::string className, const TPropertyTable* parent, F fill) {
  TPropertyTable table(std::move(className), parent);
  TPublisher<T> publisher(table);
  fill(publisher);
  TPropertyTable::TComponentFactory component = nullptr;
  TPropertyTable::TItemFactory item = nullptr;
  if constexpr (!std::is_abstract_v<T>) {
    if constexpr (std::is_base_of_v<TComponent, T> && std::is_constructible_v<T, TComponent*>)
      component = [](TComponent* owner) -> TComponent* { return New<T>(owner); };
    if constexpr (std::is_base_of_v<TCollectionItem, T> && std::is_constructible_v<T, TCollection*>)
      item = [](TCollection* collection) -> TCollectionItem* { return new T(collection); };
  }
  table.SetFactories(component, item);
  return table;
}

// Extra properties of an instance beyond its published ones, which its
// DefineProperties adds (an id the instance keeps, a picture's bytes): the
// writer writes them after the published ones, and the reader looks a name
// up here when the class's table does not have it. Their accessors are
// called with the instance, like published ones; a StoredWhen condition
// says whether the instance has data to write.
//
//   void TThing::DefineProperties(TFiler& filer) {
//     filer.Define<TThing>([](TPublisher<TThing>& p) {
//       p.Integer("UniqueID", &TThing::UniqueID, &TThing::SetUniqueID);
//     });
//   }
class TFiler {
 public:
  TFiler() : table_(std::string(), nullptr) {}
  template <class T, class F>
  void Define(F fill) {
    TPublisher<T> publisher(table_);
    fill(publisher);
  }
  const TPropertyTable& Table() const { return table_; }

 private:
  TPropertyTable table_;
};

// Copies every published property of `source` into `dest`, which must hand
// out the same table (else EConvertError): values through the setters,
// collections through their Assign, sub-objects property by property.
void CopyPublishedProperties(const TPersistent& source, TPersistent& dest);

// ---- class registry ----

// Makes the class known by its table's ClassName. Registering a second table
// under a name already taken raises EComponentError; the same table again is
// accepted. Safe from any thread.
void RegisterClass(const TPropertyTable& table);
// The class of that name (without regard to case), else null.
const TPropertyTable* GetClass(std::string_view className);
// As GetClass, but raises EClassNotFound "Class <name> not found".
const TPropertyTable& FindClass(std::string_view className);

}  // namespace host

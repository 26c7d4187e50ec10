// The root of every class the engine and the installer expose to a host: a
// polymorphic base whose ClassName is the class's own name without namespace
// ("TDiskMgr", "ETavDatabaseError"). Error contexts and log lines print it, so
// classes keep the system's names and need not override anything to get it.
#pragma once

#include <string>
#include <typeinfo>

namespace host {

class TPropertyTable;  // host/classes/prop_table.h
class TFiler;          // host/classes/prop_table.h

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;

  // The dynamic class name, e.g. "TStringList".
  std::string ClassName() const;
};

// An object whose state can be copied from another through Assign, and whose
// published properties can be streamed. The default Assign raises
// EConvertError "Cannot assign a <source class> to a <this class>".
class TPersistent : public TObject {
 public:
  virtual void Assign(const TPersistent& source);
  // The table of this class's published properties, which component
  // streaming reads and writes (host/classes/prop_table.h); null for a class
  // that publishes nothing. A class with a table of its own overrides this;
  // a subclass that adds nothing inherits its base's.
  virtual const TPropertyTable* PublishedProperties() const { return nullptr; }
  // Adds the extra properties the object streams beyond its published ones
  // (TFiler::Define); the default adds none.
  virtual void DefineProperties(TFiler& filer) const { (void)filer; }

 protected:
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

// The unqualified name of a C++ type as a host would see it.
std::string ClassNameOf(const std::type_info& ti);

}  // namespace host

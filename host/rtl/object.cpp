#include "host/rtl/object.h"

#include "host/rtl/exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace host {

std::string ClassNameOf(const std::type_info& ti) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(ti.name(), nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : ti.name();
  // Drop namespaces and any template arguments' qualification at the front.
  auto tpl = name.find('<');
  auto colon = name.rfind("::", tpl == std::string::npos ? name.size() : tpl);
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

std::string TObject::ClassName() const { return ClassNameOf(typeid(*this)); }

void TPersistent::Assign(const TPersistent& source) { AssignError(&source); }

void TPersistent::AssignError(const TPersistent* source) const {
  std::string from = source ? source->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + from + " to a " + ClassName());
}

}  // namespace host

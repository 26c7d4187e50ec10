#include "host/rtl/object.h"

#include "host/rtl/exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>

namespace host {

namespace {

std::string DemangledClassName(const std::type_info& ti) {
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

}  // namespace

std::string ClassNameOf(const std::type_info& ti) {
  // Demangling costs far more than a look-up, and reading component text
  // asks for class names over and over.
  // Never freed, so that destructors running at exit may still ask.
  static std::mutex* lock = new std::mutex;
  static auto* names = new std::unordered_map<std::type_index, std::string>;
  const std::type_index key(ti);
  std::lock_guard<std::mutex> guard(*lock);
  auto it = names->find(key);
  if (it == names->end()) it = names->emplace(key, DemangledClassName(ti)).first;
  return it->second;
}

std::string TObject::ClassName() const { return ClassNameOf(typeid(*this)); }

void TPersistent::Assign(const TPersistent& source) { AssignError(&source); }

void TPersistent::AssignError(const TPersistent* source) const {
  std::string from = source ? source->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + from + " to a " + ClassName());
}

}  // namespace host

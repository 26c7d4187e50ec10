#include "host/db/db_common.h"

#include <algorithm>

#include "host/classes/component.h"
#include "host/rtl/sys_utils.h"

namespace host {

void DatabaseError(const std::string& message) {
  throw EDatabaseError(message);
}

void DatabaseError(const std::string& message, const TComponent* component) {
  if (component && !component->Name().empty())
    throw EDatabaseError(component->Name() + ": " + message);
  throw EDatabaseError(message);
}

void DatabaseErrorFmt(std::string_view fmt, std::initializer_list<TVarRec> args,
                      const TComponent* component) {
  DatabaseError(Format(fmt, args), component);
}

bool NextFieldName(std::string_view& rest, std::string_view& name) {
  while (!rest.empty()) {
    const size_t end = std::min(rest.find(';'), rest.size());
    const std::string_view part = TrimmedView(rest.substr(0, end));
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (!part.empty()) {
      name = part;
      return true;
    }
  }
  return false;
}

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  std::string_view name;
  while (NextFieldName(names, name)) out.emplace_back(name);
  return out;
}

}  // namespace host

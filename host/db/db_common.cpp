#include "host/db/db_common.h"

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

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= names.size()) {
    size_t end = names.find(';', pos);
    if (end == std::string_view::npos) end = names.size();
    std::string name = Trim(names.substr(pos, end - pos));
    if (!name.empty()) out.push_back(std::move(name));
    pos = end + 1;
  }
  return out;
}

}  // namespace host

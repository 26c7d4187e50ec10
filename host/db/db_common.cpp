#include "host/db/db_common.h"

#include "host/classes/component.h"

namespace host {

void Abort() {
  throw EAbort("Operation aborted");
}

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

}  // namespace host

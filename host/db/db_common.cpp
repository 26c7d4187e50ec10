#include "host/db/db_common.h"

namespace host {

void DatabaseError(const std::string& message) {
  throw EDatabaseError(message);
}

}  // namespace host

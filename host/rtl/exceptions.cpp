#include "host/rtl/exceptions.h"

namespace host {

EAssertionFailed::EAssertionFailed(const std::string& msg, const std::string& unit, int line)
    : Exception(msg + " (" + unit + ", line " + std::to_string(line) + ")"),
      unit_(unit),
      line_(line) {}

void AssertFailed(const char* expr, const char* msg, const char* unit, int line) {
  std::string text = (msg && *msg) ? std::string(msg) : std::string("Assertion failed");
  text += std::string(" [") + expr + "]";
  // Report the unit by its file name only; the build folder is no one's business.
  std::string u = unit;
  auto slash = u.rfind('/');
  if (slash != std::string::npos) u.erase(0, slash + 1);
  throw EAssertionFailed(text, u, line);
}

void Abort() { throw EAbort("Operation aborted"); }

}  // namespace host

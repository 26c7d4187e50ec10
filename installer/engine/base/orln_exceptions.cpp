#include "installer/engine/base/orln_exceptions.h"

#include "installer/engine/translation/translator.h"

namespace orln {

IException::IException(const std::string& msg) : ECustomOrlaneAbnormal(TranslateString(msg)) {}

IException::IException(const std::string& fmt, std::initializer_list<host::TVarRec> args)
    : ECustomOrlaneAbnormal(host::Format(TranslateString(fmt), args)) {}

}  // namespace orln

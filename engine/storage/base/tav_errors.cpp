#include "engine/storage/base/tav_errors.h"

#include "engine/storage/base/tav_logger.h"
#include "host/classes/component.h"

namespace tav {

const TavErr& FindTavErr(int code) {
  for (int i = 1; i < C_TAVERRORS_COUNT - 1; ++i)
    if (C_TAVERRORS[i].Code == code) return C_TAVERRORS[i];
  return C_TAVERRORS[0];
}

namespace {

std::string ExceptionText(int errorCode, const std::string& tableMessage,
                          const std::string& customMessage) {
  if (!customMessage.empty())
    return host::Format(StavErrorAnonCustomMsg, {tableMessage, errorCode, customMessage});
  return host::Format(StavErrorAnonBaseMsg, {errorCode, tableMessage});
}

}  // namespace

ETavDatabaseError::ETavDatabaseError(int errorCode, const std::string& tableMessage,
                                     const std::string& customMessage,
                                     const host::TObject* sender)
    : host::EDatabaseError(ExceptionText(errorCode, tableMessage, customMessage)),
      error_code_(errorCode),
      table_message_(tableMessage),
      sender_(sender) {}

std::string ErrorContextOf(const host::TObject* sender) {
  if (!sender) return std::string();
  if (auto* c = dynamic_cast<const host::TComponent*>(sender); c && !c->Name().empty())
    return c->Name();
  return sender->ClassName();
}

void TavDatabaseError(int code, const std::string& caller, const std::string& customMessage,
                      const host::TObject* sender) {
  const TavErr& row = FindTavErr(code);
  std::string line =
      host::Format("Exception:  Caller %20s ErrCode %5d [ErrContext %s]. CustomMsg %s",
                   {ErrorContextOf(sender), static_cast<int>(row.Code), row.Message, customMessage});
  if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->LogItem(caller, line);
  throw ETavDatabaseError(code, row.Message, customMessage, sender);
}

void TavDatabaseErrorFmt(int code, const std::string& caller, std::string_view fmt,
                         std::initializer_list<host::TVarRec> args, const host::TObject* sender) {
  TavDatabaseError(code, caller, host::Format(fmt, args), sender);
}

}  // namespace tav

// The engine's error table and its one error-raising routine. Every failure the
// engine reports to a host goes through TavDatabaseError: the code is looked up
// in C_TAVERRORS, one line goes to the trace log, and ETavDatabaseError is
// raised. Callers name a failure by its code, through the names in
// tav_error_codes.h; the texts live here only.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_resstrings.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"

namespace tav {

struct TavErr {
  uint16_t Code;
  const char* Message;
};

inline constexpr int C_TAVERRORS_COUNT = 318;
// Rows 0 and 317 hold the "Error code unknown" fallback (65535); rows 1 to 316
// the engine's codes, grouped by their high byte.
extern const TavErr C_TAVERRORS[C_TAVERRORS_COUNT];

// The row for `code`: the first of rows 1..316 with that code, else row 0.
const TavErr& FindTavErr(int code);

class ETavDatabaseError : public host::EDatabaseError {
 public:
  ETavDatabaseError(int errorCode, const std::string& tableMessage,
                    const std::string& customMessage, const host::TObject* sender);

  int ErrorCode() const { return error_code_; }
  const std::string& TableMessage() const { return table_message_; }
  // The object named as the raiser; borrowed, may be null, may be gone by the
  // time a handler looks at it.
  const host::TObject* Sender() const { return sender_; }

 private:
  int error_code_;
  std::string table_message_;
  const host::TObject* sender_;
};

// The context of an error: the sender component's Name, else the sender's
// class name, else empty.
std::string ErrorContextOf(const host::TObject* sender);

[[noreturn]] void TavDatabaseError(int code, const std::string& caller,
                                   const std::string& customMessage = std::string(),
                                   const host::TObject* sender = nullptr);

[[noreturn]] void TavDatabaseErrorFmt(int code, const std::string& caller, std::string_view fmt,
                                      std::initializer_list<host::TVarRec> args,
                                      const host::TObject* sender = nullptr);

// Keeps the first exception of a sequence of steps that must all be tried
// (a teardown that goes on past failures), to raise it at the end.
class TFirstError {
 public:
  template <typename F>
  void Try(F&& step) {
    try {
      step();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
    }
  }
  void Rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
};

}  // namespace tav

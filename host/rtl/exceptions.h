// The exception classes of the host class library. Every error the engine and
// the installer raise derives from Exception; a host catches EDatabaseError to
// catch the engine's errors. ClassName gives the class's own name, which error
// dialogs and logs show beside the message.
#pragma once

#include <exception>
#include <string>

#include "host/rtl/object.h"

namespace host {

class Exception : public std::exception, public TObject {
 public:
  explicit Exception(std::string msg) : message_(std::move(msg)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string msg) { message_ = std::move(msg); }
  int HelpContext() const { return help_context_; }
  void SetHelpContext(int ctx) { help_context_ = ctx; }

 private:
  std::string message_;
  int help_context_ = 0;
};

class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

class EListError : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Floating-point arithmetic errors. Variant arithmetic raises these rather than
// let an infinity or a NaN into a result.
class EMathError : public Exception {
 public:
  using Exception::Exception;
};

// "Floating point division by zero".
class EZeroDivide : public EMathError {
 public:
  using EMathError::EMathError;
};

// "Floating point overflow".
class EOverflow : public EMathError {
 public:
  using EMathError::EMathError;
};

// "Invalid floating point operation".
class EInvalidOp : public EMathError {
 public:
  using EMathError::EMathError;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// A class name that the class registry does not know.
class EClassNotFound : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

// The silent exception: it unwinds like any other, but the application's
// exception handling shows nothing for it ("Operation aborted").
class EAbort : public Exception {
 public:
  using Exception::Exception;
};
[[noreturn]] void Abort();

// A broken internal rule. Carries the message and the unit (source file) that
// found it; the text reads "<message> (<unit>, line <n>)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(const std::string& msg, const std::string& unit, int line);
  const std::string& Unit() const { return unit_; }
  int Line() const { return line_; }

 private:
  std::string unit_;
  int line_;
};

[[noreturn]] void AssertFailed(const char* expr, const char* msg, const char* unit, int line);

}  // namespace host

// Checks an internal invariant; a failure raises EAssertionFailed, never aborts.
#define TAV_ASSERT(cond, msg)                                          \
  do {                                                                 \
    if (!(cond)) ::host::AssertFailed(#cond, (msg), __FILE__, __LINE__); \
  } while (0)

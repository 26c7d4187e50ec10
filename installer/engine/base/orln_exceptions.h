// The install library's exception classes. Every error the installer raises
// derives from host::Exception through one of three branches: EAI (an abort
// of the install run, the user's included), EUserAbortInstall (building or
// copying cancelled) and ECustomOrlaneAbnormal (everything that went wrong).
// The IException branch carries messages shown to the user: its constructors
// pass the message, or the format before the arguments go in, through the
// global translator (translator.h), so a translated format still receives
// its arguments.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "os/win_error.h"

namespace orln {

class EAI : public host::Exception {
 public:
  using Exception::Exception;
};

class EAIUserAbort : public EAI {
 public:
  EAIUserAbort() : EAI("Installation aborted by the user") {}
  using EAI::EAI;
};

class EUserAbortInstall : public host::Exception {
 public:
  EUserAbortInstall() : Exception("Creating Install Aborted!") {}
  using Exception::Exception;
};

class ECustomOrlaneAbnormal : public host::Exception {
 public:
  using Exception::Exception;
};

class EOrlaneAbnormal : public ECustomOrlaneAbnormal {
 public:
  using ECustomOrlaneAbnormal::ECustomOrlaneAbnormal;
};

class EOrlnCompress : public EOrlaneAbnormal {
 public:
  using EOrlaneAbnormal::EOrlaneAbnormal;
};

class EocDiskFull : public EOrlnCompress {
 public:
  using EOrlnCompress::EOrlnCompress;
};

class EocAborted : public EOrlnCompress {
 public:
  using EOrlnCompress::EOrlnCompress;
};

class EAPIRoutines : public EOrlaneAbnormal {
 public:
  using EOrlaneAbnormal::EOrlaneAbnormal;
};

class EProgramLauncher : public EOrlaneAbnormal {
 public:
  using EOrlaneAbnormal::EOrlaneAbnormal;
};

// A program that could not be started: the Windows error code and its text.
class EProgramLauncherFailed : public EProgramLauncher {
 public:
  EProgramLauncherFailed(uint32_t errorCode, const std::string& msg)
      : EProgramLauncher(msg), error_code_(errorCode) {}
  uint32_t ErrorCode() const { return error_code_; }

 private:
  uint32_t error_code_;
};

// A registry value that could not be written (registry.h).
class EIRCannotWriteValue : public EOrlaneAbnormal {
 public:
  using EOrlaneAbnormal::EOrlaneAbnormal;
};

// Messages for the user, translated before they are formatted.
class IException : public ECustomOrlaneAbnormal {
 public:
  explicit IException(const std::string& msg);
  IException(const std::string& fmt, std::initializer_list<host::TVarRec> args);
};

#define ORLN_IEXCEPTION(Name, Parent) \
  class Name : public Parent {        \
   public:                            \
    using Parent::Parent;             \
  };

ORLN_IEXCEPTION(IEInstall, IException)
ORLN_IEXCEPTION(IEInstallNetLocNil, IException)
ORLN_IEXCEPTION(IEInstallContainer, IException)
ORLN_IEXCEPTION(IEFileRelated, IException)
ORLN_IEXCEPTION(IEFileRel_NoNetLocation, IException)
ORLN_IEXCEPTION(IEFileContainer, IException)
ORLN_IEXCEPTION(IEfcDuplicateFile, IException)
ORLN_IEXCEPTION(IEfcSetAttributes, IException)
ORLN_IEXCEPTION(IENoOrlanePath, IException)
ORLN_IEXCEPTION(IECustomInstallFile, IException)
ORLN_IEXCEPTION(IECustomInstallFileList, IException)
ORLN_IEXCEPTION(IEContainerList, IException)
ORLN_IEXCEPTION(IEInstallGroup, IException)
ORLN_IEXCEPTION(IEPathSpecifier, IException)
ORLN_IEXCEPTION(IEPathSpecifierList, IException)
ORLN_IEXCEPTION(IEPathSpecifierClassList, IException)
ORLN_IEXCEPTION(IEInstallRegistry, IException)
ORLN_IEXCEPTION(IERegistryEntry, IException)
ORLN_IEXCEPTION(IERegistryEntries, IException)
ORLN_IEXCEPTION(IEInstallRegistryList, IException)
ORLN_IEXCEPTION(IEUninstallEXE, IException)

#undef ORLN_IEXCEPTION

// Runs `read`, a call into a machine file the os layer parses (the profile,
// the registry store), and raises the damage it reports (os::EDamagedFile,
// naming the file and line) as E, which the installer's handlers catch.
template <class E, class F>
auto RaiseDamageAs(F&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const os::EDamagedFile& e) {
    throw E(std::string(e.what()));
  }
}

}  // namespace orln

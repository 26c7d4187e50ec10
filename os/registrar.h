// COM self-registration on the simulated machine: what a library's
// "DllRegisterServer", a type library's registration and a program started
// with "/REGSERVER" would do. The machine runs no Windows code, so the
// registrar checks the file and records the registration in the machine root
// ("registrations.txt": one line per registration, the kind, a tab and the
// file's virtual path), where tests and tools read it back.
//
// Callers must keep:
//  - Paths are virtual Windows paths (win_path.h) on the current machine.
//  - A registration of a file that does not exist fails at loading with
//    kFileNotFound, and nothing is recorded.
//  - The failure hook is process-local, as the machine's other hooks are.
//  - The record is a machine file: a damaged one (a line without its tab, or
//    a file past its size limit) throws EDamagedFile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os {

enum class TRegistrationKind { Library, TypeLibrary, Program };

// Where a registration stopped.
enum class TRegistrationStage {
  Done,        // registered and recorded
  Load,        // the file could not be loaded (Code: the Windows error)
  EntryPoint,  // the library exports no "DllRegisterServer" (Code: the Windows error)
  Result,      // the registration ran and returned Code, not 0
};

struct TRegistrationResult {
  TRegistrationStage Stage = TRegistrationStage::Done;
  int32_t Code = 0;
  bool Ok() const { return Stage == TRegistrationStage::Done; }
};

// Registers the file as its kind asks. A type library's help folder is
// recorded after the path, separated by a tab.
TRegistrationResult RegisterServer(TRegistrationKind kind, const std::string& path,
                                   const std::string& helpDirectory = std::string());

struct TRegistration {
  TRegistrationKind Kind = TRegistrationKind::Library;
  std::string Path;
  std::string HelpDirectory;
};
// Every registration recorded on the current machine, oldest first.
std::vector<TRegistration> ReadRegistrations();

// Test hook: the next registrations of `path` (any case) stop at `stage` with
// `code`; Done removes the hook.
void SetRegistrationFault(const std::string& path, TRegistrationStage stage, int32_t code);

}  // namespace os

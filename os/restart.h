// Restarting the simulated machine (machine.h).
//
// A program asks for a restart with WinExitWindows, as with ExitWindowsEx.
// This machine cannot restart itself: in a real run the request is refused
// (kAccessDenied), so the program takes its own path for a restart that
// failed and the user runs the restart tool (apps/tavrestart) instead. A
// test allows requests with the environment variable TAV_RECORD_RESTART=1
// (inherited by the programs it starts); each request is then appended to
// restart/requests.txt in the machine root and succeeds, and nothing else
// happens: the program goes on as after a successful call.
//
// RestartMachine does at the machine what Windows does while it starts
// again, in this order:
//  1. the delayed moves (win_file.h) are applied oldest first and forgotten;
//  2. the [Rename] section of WININIT.INI in the Windows folder is applied
//     ("NUL=<file>" deletes the file, "<old>=<new>" puts <new> in place of
//     <old>) and the file becomes WININIT.BAK;
//  3. the RunOnce values, those of HKEY_LOCAL_MACHINE first, then those of
//     HKEY_CURRENT_USER, each in the order made: a value is deleted, then its
//     command runs: a batch file (".bat") through the batch interpreter
//     (batch_file.h), any other command as a process (process.h) that is
//     started and not waited for.
// A step that fails is reported and the rest goes on, as a starting machine
// would. Callers must keep: nothing else changes the machine meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os {

inline constexpr uint32_t EWX_LOGOFF = 0x0;
inline constexpr uint32_t EWX_SHUTDOWN = 0x1;
inline constexpr uint32_t EWX_REBOOT = 0x2;
inline constexpr uint32_t EWX_FORCE = 0x4;
inline constexpr uint32_t EWX_POWEROFF = 0x8;

// Asks for a restart (see above); false with the Windows error when refused
// or when the request cannot be recorded.
bool WinExitWindows(uint32_t flags);
// The flags of the requests recorded so far, oldest first. Throws
// EDamagedFile for a damaged record.
std::vector<uint32_t> WinReadRestartRequests();
// The host path of the record.
std::string RestartRequestsPath();

// Restarts the current machine (see above). Each step that failed or was
// skipped adds a message to `report`; true when none did.
bool RestartMachine(std::vector<std::string>& report);

}  // namespace os

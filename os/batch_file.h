// The few batch-file commands the installer writes for the next restart or
// for cleaning up after itself, run on virtual Windows paths (win_path.h):
//
//   ERASE <file>             deletes a file ("erase" too: commands are case-blind)
//   DELTREE /Y <path>        deletes a folder with everything in it, or a file
//   MOVE <from> <to>         moves a file, replacing <to>; into <to> when it is a folder
//
// A path is one word, or a quoted one ("C:\My Build\setup.exe") when it holds
// blanks. Blank lines and "@ECHO OFF" pass silently; every other line is
// reported and skipped, as is a command that fails. A batch never stops at a
// failing line: the lines after it still run, as a command interpreter would.
//
// Callers must keep: deleting and moving happen only on the machine's own
// drives (C:, A:). A path on the host's drive Z: (the program's own build
// tree, say) is reported and left alone, so that a batch can never remove
// files outside the machine root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

// True when `path` names a place on one of the machine's own drives (a drive
// whose folder lies in the machine root), not on the host's Z:.
bool WinIsOnMachineDrive(std::string_view path);

// Runs the lines of `text`; `fileName` names the batch in the report. Each
// line that was skipped or failed adds one message to `report`, naming the
// file, the line's number and why. True when every line ran.
bool RunBatchText(std::string_view text, const std::string& fileName,
                  std::vector<std::string>& report);
// Reads the batch file at a virtual path and runs it; false (with a message)
// when it cannot be read.
bool RunBatchFile(const std::string& path, std::vector<std::string>& report);

}  // namespace os

// Starting programs, as CreateProcess does for the installer: a program named
// by a virtual Windows path (win_path.h) and a command line that the program
// splits by the Windows rules (SplitCommandLine), in a start folder.
//
// Callers must keep:
//  - CreateProcess returns once the new program runs (its exec succeeded), or
//    fails with the reason the program could not be started: a close-on-exec
//    pipe carries the exec's error back. It does not wait for the program to
//    end, and leaves no child behind to be reaped: the program is started
//    from a short-lived middle process, as a detached process would be.
//  - The command line is the whole of what the program sees, its first word
//    included: CreateProcess puts no program name in front of it. With an
//    empty application name, the first word names the program.
//  - The window show mode is accepted and has no effect: this machine shows
//    no windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWMINIMIZED = 2;
inline constexpr int SW_SHOWMAXIMIZED = 3;

// The words of a command line as a Windows program's start-up code splits
// them: blanks and tabs separate words outside quotes; '"' opens and closes a
// quoted part, and "" inside one is a literal quote; 2n backslashes before a
// '"' give n backslashes and the quote's usual meaning, 2n+1 give n and a
// literal quote; other backslashes are themselves. The first word is taken
// as the program's name: up to the next quote when it starts with one, else
// up to the first blank, with no backslash rules.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Starts `applicationName` (a virtual path; may be empty, see above) with
// `commandLine` in `currentDirectory` (a virtual path; empty for the
// caller's). False with the Windows error: kFileNotFound for a program that
// is not there, kPathNotFound when its folder or drive is not there,
// kDirectory for a bad start folder, kAccessDenied for a file that may not
// be run, kBadFormat for one that is no program.
bool CreateProcess(const std::string& applicationName, const std::string& commandLine,
                   const std::string& currentDirectory, int showWindow);

}  // namespace os

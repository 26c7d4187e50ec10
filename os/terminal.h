// Questions to the person at the terminal: one line of text, with or
// without echo (for passwords), bounded in length.
//
// Callers must keep: a descriptor that is not a terminal is never read (a
// program without a terminal must not wait for input nobody will type);
// the terminal's echo setting is always restored, also after an interrupt.
#pragma once

#include <cstddef>
#include <string>

namespace os {

// True when `fd` is a terminal.
bool IsTerminal(int fd);

// Writes `prompt` to `outFd` and reads one line from `inFd` into `line`
// (without its line end), keeping at most `maxLength` characters of it.
// Without echo the typed characters are not shown. False, with `line`
// unchanged, when `inFd` is not a terminal or the input ends.
bool ReadTerminalLine(int inFd, int outFd, const std::string& prompt, bool echo,
                      size_t maxLength, std::string& line);

}  // namespace os

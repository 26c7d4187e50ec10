// Virtual Windows paths ("C:\Program Files\Tavrin\readme.txt") and where they
// live on the host. A path names a drive of the current machine (machine.h)
// and components below it; resolving it walks the drive's folder component
// by component, as Windows would find a name on a case-blind disk.
//
// Rules:
//  - A drive followed directly by a name ("C:setup.exe") starts at the
//    drive's root: this machine keeps no current folder per drive.
//  - '\' and '/' both separate; repeated separators count as one; "." is
//    dropped and ".." takes the previous component away. A trailing separator
//    is dropped ("C:\" stays the root).
//  - A component is found by its exact bytes first; failing that, without
//    regard to case (the Windows-1252 tables of ansi_case.h), and when several
//    names differ only in case the one first in byte order wins. A component
//    that does not exist is kept as given, so a created name keeps its case.
//  - A path never leads outside its drive's folder: ".." past the root, a
//    symbolic link pointing out of the drive, NUL or other control characters
//    and the characters Windows forbids in names ("*?<>|) are refused, as are
//    drives the machine does not map and paths without a drive. Trailing dots
//    and blanks of a component are dropped, as Windows drops them; a
//    component is at most 255 characters.
//    Refusals set kBadPathname, kInvalidName or kInvalidDrive.
//
// Callers must keep: a resolved host path is a snapshot. Another process may
// create a name that differs only in case right after; the next resolve then
// finds whichever rule above says.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

class TMachine;

struct TWinPath {
  char Drive = 0;                  // upper-case letter
  std::vector<std::string> Parts;  // components below the root, folded

  // "C:\a\b", or "C:\" for the root.
  std::string Text() const;
};

// Parses and folds a virtual path; false with the Windows error when refused.
bool ParseWinPath(std::string_view path, TWinPath& out);

// The host path of a virtual path on the current machine, components matched
// as above. False with the Windows error when the path is refused.
bool ResolveWinPath(std::string_view path, std::string& hostPath);
bool ResolveWinPath(const TWinPath& path, std::string& hostPath);
// The same on a given machine.
bool ResolveWinPath(const TMachine& machine, const TWinPath& path, std::string& hostPath);

// The virtual path of a host path: the innermost drive whose folder holds it
// (Z: for any absolute host path outside the others). False (kBadPathname)
// for a relative host path.
bool HostToWinPath(std::string_view hostPath, std::string& winPath);

}  // namespace os

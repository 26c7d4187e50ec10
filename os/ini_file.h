// INI files: the text form of "[Section]" headers and "Name=Value" lines that
// the installer reads and writes (WININIT.INI and the like), and that the host
// profile of the machine is written in.
//
// Callers must keep:
//  - Section and value names match without regard to case (the Windows-1252
//    tables of ansi_case.h); the first match in the file counts.
//  - A write changes one line or adds one; every other line stays byte for
//    byte, line endings included. The file and the section are made when they
//    are missing.
//  - Every line must be blank, a comment (';' or '#' first), a section header
//    or a name with '='. Anything else is damage: parsing throws EDamagedFile
//    naming the file and the line, rather than skip it and read a default.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

class TIniText {
 public:
  struct TEntry {
    std::string Section;  // as written in its header; empty before the first one
    std::string Name;     // blanks around removed
    std::string Value;    // blanks around removed, one pair of enclosing quotes dropped
    int Line = 0;         // 1-based
  };

  // Parses `text`; `fileName` only names the file in an error.
  static TIniText Parse(std::string_view text, const std::string& fileName);

  // The value of the first entry `name` in the first section `section`.
  bool Find(std::string_view section, std::string_view name, std::string& value) const;
  // Sets that entry, adding it (and the section) when missing.
  void Set(std::string_view section, std::string_view name, std::string_view value);

  // Every entry in file order.
  std::vector<TEntry> Entries() const;
  // The whole text as it now stands.
  std::string Text() const;

 private:
  enum class TKind { Other, Section, Entry };
  struct TLine {
    std::string Raw;  // without its line ending
    std::string Eol;  // "\r\n", "\n" or "" on a last line without one
    TKind Kind = TKind::Other;
    std::string Name;  // section name or entry name, trimmed
  };

  // Index of the header line of `section`, or -1.
  int FindSection(std::string_view section) const;

  std::vector<TLine> lines_;
  std::string eol_ = "\r\n";  // for added lines: the file's own line ending
};

// GetPrivateProfileString and WritePrivateProfileString on a virtual Windows
// path. Read: false when the file, section or name is missing (the last error
// then tells a missing file from a missing name: kFileNotFound or kSuccess).
// Write: false with the Windows error when the file cannot be read or written.
// Both throw EDamagedFile for a damaged file.
bool IniReadString(const std::string& path, std::string_view section, std::string_view name,
                   std::string& value);
std::string IniReadString(const std::string& path, std::string_view section, std::string_view name,
                          std::string_view defaultValue);
bool IniWriteString(const std::string& path, std::string_view section, std::string_view name,
                    std::string_view value);

}  // namespace os

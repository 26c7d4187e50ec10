#include "os/ini_file.h"

#include "os/ansi_case.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string_view UnquoteValue(std::string_view v) {
  if (v.size() >= 2 &&
      ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\''))) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

TIniText TIniText::Parse(std::string_view text, const std::string& fileName) {
  TIniText ini;
  bool sawEol = false;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    ++lineNo;
    size_t end = text.find('\n', pos);
    TLine line;
    if (end == std::string_view::npos) {
      line.Raw.assign(text.substr(pos));
      pos = text.size();
    } else {
      size_t rawEnd = end;
      if (rawEnd > pos && text[rawEnd - 1] == '\r') --rawEnd;
      line.Raw.assign(text.substr(pos, rawEnd - pos));
      line.Eol.assign(text.substr(rawEnd, end + 1 - rawEnd));
      if (!sawEol) {
        ini.eol_ = line.Eol;
        sawEol = true;
      }
      pos = end + 1;
    }
    const std::string_view t = TrimBlanks(line.Raw);
    for (char c : line.Raw) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 && c != '\t' && c != '\r') {
        throw EDamagedFile(fileName, lineNo, "control character in the line");
      }
    }
    if (t.empty() || t.front() == ';' || t.front() == '#') {
      line.Kind = TKind::Other;
    } else if (t.front() == '[') {
      const size_t close = t.find(']');
      if (close == std::string_view::npos) {
        throw EDamagedFile(fileName, lineNo, "section header without ']'");
      }
      line.Kind = TKind::Section;
      line.Name.assign(TrimBlanks(t.substr(1, close - 1)));
    } else {
      const size_t eq = t.find('=');
      if (eq == std::string_view::npos) {
        throw EDamagedFile(fileName, lineNo, "line is neither a section, a comment nor Name=Value");
      }
      line.Kind = TKind::Entry;
      line.Name.assign(TrimBlanks(t.substr(0, eq)));
      if (line.Name.empty()) throw EDamagedFile(fileName, lineNo, "value without a name");
    }
    ini.lines_.push_back(std::move(line));
  }
  return ini;
}

int TIniText::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].Kind == TKind::Section && AnsiSameText(lines_[i].Name, section)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool TIniText::Find(std::string_view section, std::string_view name, std::string& value) const {
  const int head = FindSection(section);
  if (head < 0) return false;
  for (size_t i = static_cast<size_t>(head) + 1; i < lines_.size(); ++i) {
    const TLine& l = lines_[i];
    if (l.Kind == TKind::Section) break;
    if (l.Kind == TKind::Entry && AnsiSameText(l.Name, name)) {
      const std::string_view raw = l.Raw;
      value.assign(UnquoteValue(TrimBlanks(raw.substr(raw.find('=') + 1))));
      return true;
    }
  }
  return false;
}

void TIniText::Set(std::string_view section, std::string_view name, std::string_view value) {
  const int head = FindSection(section);
  if (head < 0) {
    // A new section at the end; the last line gets its line ending first.
    if (!lines_.empty() && lines_.back().Eol.empty()) lines_.back().Eol = eol_;
    TLine h;
    h.Raw = "[" + std::string(section) + "]";
    h.Eol = eol_;
    h.Kind = TKind::Section;
    h.Name = std::string(section);
    lines_.push_back(std::move(h));
    TLine e;
    e.Raw = std::string(name) + "=" + std::string(value);
    e.Eol = eol_;
    e.Kind = TKind::Entry;
    e.Name = std::string(name);
    lines_.push_back(std::move(e));
    return;
  }
  size_t insertAt = static_cast<size_t>(head) + 1;  // after the last entry of the section
  for (size_t i = static_cast<size_t>(head) + 1; i < lines_.size(); ++i) {
    TLine& l = lines_[i];
    if (l.Kind == TKind::Section) break;
    if (l.Kind != TKind::Entry) continue;
    if (AnsiSameText(l.Name, name)) {
      // The name keeps its spelling in the file; only the value changes.
      l.Raw = l.Name + "=" + std::string(value);
      return;
    }
    insertAt = i + 1;
  }
  TLine e;
  e.Raw = std::string(name) + "=" + std::string(value);
  e.Eol = eol_;
  e.Kind = TKind::Entry;
  e.Name = std::string(name);
  if (insertAt == lines_.size() && !lines_.empty() && lines_.back().Eol.empty()) {
    lines_.back().Eol = eol_;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(e));
}

std::vector<TIniText::TEntry> TIniText::Entries() const {
  std::vector<TEntry> out;
  std::string section;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const TLine& l = lines_[i];
    if (l.Kind == TKind::Section) section = l.Name;
    if (l.Kind != TKind::Entry) continue;
    const std::string_view raw = l.Raw;
    TEntry e;
    e.Section = section;
    e.Name = l.Name;
    e.Value.assign(UnquoteValue(TrimBlanks(raw.substr(raw.find('=') + 1))));
    e.Line = static_cast<int>(i) + 1;
    out.push_back(std::move(e));
  }
  return out;
}

std::string TIniText::Text() const {
  std::string out;
  for (const TLine& l : lines_) {
    out += l.Raw;
    out += l.Eol;
  }
  return out;
}

bool IniReadString(const std::string& path, std::string_view section, std::string_view name,
                   std::string& value) {
  std::string text;
  if (!WinReadWholeFile(path, text)) return false;
  if (!TIniText::Parse(text, path).Find(section, name, value)) {
    SetLastWinError(winerr::kSuccess);
    return false;
  }
  return true;
}

std::string IniReadString(const std::string& path, std::string_view section, std::string_view name,
                          std::string_view defaultValue) {
  std::string value;
  if (!IniReadString(path, section, name, value)) value.assign(defaultValue);
  return value;
}

bool IniWriteString(const std::string& path, std::string_view section, std::string_view name,
                    std::string_view value) {
  // What would end the line early, or be read back as something else.
  auto breaksLine = [](std::string_view s) {
    for (char c : s) {
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return true;
    }
    return false;
  };
  if (breaksLine(section) || breaksLine(name) || breaksLine(value) ||
      section.find(']') != std::string_view::npos || name.find('=') != std::string_view::npos ||
      TrimBlanks(name).empty() || TrimBlanks(name).size() != name.size() ||
      TrimBlanks(section).size() != section.size()) {
    return WinFail(winerr::kInvalidParameter);
  }
  std::string text;
  if (!WinReadWholeFile(path, text)) {
    if (GetLastWinError() != winerr::kFileNotFound) return false;
    text.clear();
  }
  TIniText ini = TIniText::Parse(text, path);
  ini.Set(section, name, value);
  return WinWriteWholeFile(path, ini.Text());
}

}  // namespace os

#include "installer/engine/versions/version_resource.h"

#include <array>

#include "host/rtl/collation.h"
#include "host/rtl/format.h"
#include "installer/engine/base/orln_exceptions.h"
#include "os/version_resource.h"
#include "os/win_file.h"

namespace orln {

namespace version {

namespace {

constexpr std::array<uint16_t, kLanguageCount> kLanguageIds = {
    0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B, 0x040C,
    0x040D, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418,
    0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0804, 0x0807, 0x0809,
    0x080A, 0x080C, 0x0810, 0x0813, 0x0814, 0x0816, 0x081A, 0x0C0C, 0x100C};

constexpr std::array<uint16_t, csArabic + 1> kCodePages = {0,    932,  949,  950,  1200, 1250,
                                                           1251, 1252, 1253, 1254, 1255, 1256};

}  // namespace

uint16_t LanguageId(TLanguage language) { return kLanguageIds.at(static_cast<size_t>(language)); }
uint16_t CodePage(TCharacterSet charset) { return kCodePages.at(static_cast<size_t>(charset)); }

}  // namespace version

namespace {

// UTF-16 to Windows-1252; characters it lacks, and broken surrogates, become '?'.
std::string ToAnsi(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    unsigned char c = '?';
    if (!host::WideCharToCp1252(cp, c)) c = '?';
    out.push_back(static_cast<char>(c));
  }
  return out;
}

// The table the file's texts come from: its first translation, or the one
// the caller asked for when the file names none.
const os::TVersionStringTable* ChosenTable(const os::TVersionData& data, uint16_t language,
                                           uint16_t codePage) {
  if (!data.Translations.empty())
    return data.FindTable(data.Translations.front().first, data.Translations.front().second);
  return data.FindTable(language, codePage);
}

}  // namespace

void TVersionInfo::Assign(const host::TPersistent& source) {
  if (const auto* s = dynamic_cast<const TVersionInfo*>(&source)) {
    *this = *s;
    return;
  }
  host::TPersistent::Assign(source);
}

TVersionResource::TVersionResource(host::TComponent* owner) : host::TComponent(owner) {}

void TVersionResource::SetFileName(const std::string& path) {
  file_name_ = path;
  os::TVersionData data;
  if (!os::WinReadVersionResource(path, data)) data = os::TVersionData{};
  ReadFrom(data);
}

void TVersionResource::ReadFrom(const os::TVersionData& data) {
  info_.Clear();
  if (const os::TVersionStringTable* t =
          ChosenTable(data, version::LanguageId(language_), version::CodePage(charset_))) {
    const std::pair<const char16_t*, std::string TVersionInfo::*> fields[] = {
        {u"Comments", &TVersionInfo::Comment},
        {u"CompanyName", &TVersionInfo::CompanyName},
        {u"FileDescription", &TVersionInfo::FileDescription},
        {u"FileVersion", &TVersionInfo::FileVersion},
        {u"InternalName", &TVersionInfo::InternalName},
        {u"LegalCopyright", &TVersionInfo::LegalCopyright},
        {u"LegalTrademarks", &TVersionInfo::LegalTradeMarks},
        {u"OriginalFilename", &TVersionInfo::OriginalFileName},
        {u"PrivateBuild", &TVersionInfo::PrivateBuild},
        {u"ProductName", &TVersionInfo::ProductName},
        {u"ProductVersion", &TVersionInfo::ProductVersion},
        {u"SpecialBuild", &TVersionInfo::SpecialBuild}};
    for (const auto& [key, member] : fields)
      if (const std::u16string* v = t->Find(key)) info_.*member = ToAnsi(*v);
  }
  if (data.HasFixed) {
    info_.FileOS = FileOSText(data.Fixed.FileOS);
    info_.FileType = FileTypeText(data.Fixed.FileType);
    info_.FileSubType = FileSubTypeText(data.Fixed.FileType, data.Fixed.FileSubtype);
  }
}

std::string FileOSText(uint32_t fileOS) {
  const char* base = nullptr;
  switch (fileOS & 0xFFFF0000u) {
    case 0x00010000: base = "MS-Dos"; break;
    case 0x00020000: base = "16 bit OS/2"; break;
    case 0x00030000: base = "32 bit OS/2"; break;
    case 0x00040000: base = "Windows NT"; break;
    case 0: break;
    default: return "Unknown";
  }
  const char* sub = nullptr;
  switch (fileOS & 0xFFFFu) {
    case 1: sub = "Windows 3.0 or later"; break;
    case 2: sub = "16 bit OS/2"; break;
    case 3: sub = "32 bit OS/2"; break;
    case 4: sub = "32 bit Windows"; break;
    case 0: break;
    default: return "Unknown";
  }
  if (base && sub) return std::string_view(base) == sub ? base : std::string(sub) + " on " + base;
  if (base) return base;
  if (sub) return sub;
  return "Unknown";
}

std::string FileTypeText(uint32_t fileType) {
  switch (fileType) {
    case 1: return "Application";
    case 2: return "Dynamic-Link Library";
    case 3: return "Device Driver";
    case 4: return "Font";
    case 5: return "Virtual Device Driver";
    case 7: return "Static-Link Library";
    default: return "Unknown";
  }
}

std::string FileSubTypeText(uint32_t fileType, uint32_t fileSubtype) {
  static constexpr const char* kDrivers[] = {"Printer", "Keyboard", "Language",    "Display",
                                             "Mouse",   "Network",  "System",      "Installable",
                                             "Sound",   "Communications"};
  static constexpr const char* kFonts[] = {"Raster", "Vector", "TrueType"};
  if (fileType == 3 && fileSubtype >= 1 && fileSubtype <= std::size(kDrivers))
    return kDrivers[fileSubtype - 1];
  if (fileType == 4 && fileSubtype >= 1 && fileSubtype <= std::size(kFonts))
    return kFonts[fileSubtype - 1];
  return "Unknown";
}

TVersionResource& VersionResource() {
  static TVersionResource instance;
  return instance;
}

std::string ReadFileVersion(const std::string& path) {
  TVersionResource& v = VersionResource();
  v.SetFileName(path);
  return v.VersionInfo().FileVersion;
}

bool HasOLESelfRegister(const std::string& path) {
  os::TVersionData data;
  if (!os::WinReadVersionResource(path, data) || data.Translations.empty()) return false;
  const os::TVersionStringTable* t =
      data.FindTable(data.Translations.front().first, data.Translations.front().second);
  return t != nullptr && t->Find(u"OLESelfRegister") != nullptr;
}

int CompareWithFile(std::string_view newVersion, const std::string& existingPath,
                    TOverwriteType mode, double newDate) {
  return CompareWithFile(newVersion, existingPath, mode, newDate, ReadFileVersion);
}

int CompareFiles(const std::string& newPath, const std::string& existingPath, TOverwriteType mode) {
  const bool byDate = mode == owDate || mode == owVersionDate;
  double newDate = 0;
  double existingDate = 0;
  if (byDate) {
    for (const auto& [path, date] : {std::pair{&newPath, &newDate}, {&existingPath, &existingDate}})
      if (!os::WinGetFileDate(*path, *date))
        throw EOrlaneAbnormal(
            host::Format("Cannot open %s in TVersionResource.IsFileNewerByName", {*path}));
  }
  const bool byVersion = mode == owVersion || mode == owVersionDate;
  const std::string newVersion = byVersion ? ReadFileVersion(newPath) : std::string();
  const std::string existingVersion = byVersion ? ReadFileVersion(existingPath) : std::string();
  const bool present = !existingPath.empty() && os::WinFileExists(existingPath);
  return DecideByVersionAndDate(newVersion, existingVersion, mode, newDate, byDate, existingDate,
                                present);
}

}  // namespace orln

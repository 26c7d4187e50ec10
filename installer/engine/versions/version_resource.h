// A file's version resource as the installer reads it: TVersionResource reads
// the resource of FileName (os/version_resource.h) into TVersionInfo texts in
// Windows-1252, for the language and code page the file names under
// "\VarFileInfo\Translation", or, when it names none, for Language and
// CharacterSet. Beside it the decisions that need a file's version read from
// disk: CompareWithFile and CompareFiles (the rule is version_compare.h's).
//
// Callers must keep:
//  - A file that cannot be read, is not a program image or is damaged gives
//    blank texts, never an error.
//  - The global instance (VersionResource()) is made on first use and is not
//    guarded: one thread of the installer uses it.
//  - TLanguage here is the version resource's language set; the translator's
//    TLanguage (translator.h) is another type of the same name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/classes/component.h"
#include "installer/engine/versions/version_compare.h"

namespace os {
struct TVersionData;
}

namespace orln {

namespace version {

// Languages by their standard identifiers, 0x0401 (lnArabic) upward.
enum TLanguage {
  lnArabic, lnBulgarian, lnCatalan, lnTraditionalChinese, lnCzech, lnDanish, lnGerman, lnGreek,
  lnUSEnglish, lnCastilianSpanish, lnFinnish, lnFrench, lnHebrew, lnHungarian, lnIcelandic,
  lnItalian, lnJapanese, lnKorean, lnDutch, lnNorwegianBokmal, lnPolish, lnBrazilianPortuguese,
  lnRhaetoRomanic, lnRomanian, lnRussian, lnCroatoSerbianLatin, lnSlovak, lnAlbanian, lnSwedish,
  lnThai, lnTurkish, lnUrdu, lnBahasa, lnSimplifiedChinese, lnSwissGerman, lnUKEnglish,
  lnMexicanSpanish, lnBelgianFrench, lnSwissItalian, lnBelgianDutch, lnNorwegianNynorsk,
  lnPortuguese, lnSerboCroatianCyrillic, lnCanadianFrench, lnSwissFrench
};
inline constexpr int kLanguageCount = lnSwissFrench + 1;

enum TCharacterSet {
  csASCII, csJapan, csKorea, csTaiwan, csUnicode, csLatin2, csCyrillic, csMultilingual, csGreek,
  csTurkish, csHebrew, csArabic
};

// The Windows language identifier and code page of each value.
uint16_t LanguageId(TLanguage language);
uint16_t CodePage(TCharacterSet charset);

}  // namespace version

class TVersionInfo : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;
  void Clear() { *this = TVersionInfo(); }

  std::string Comment;
  std::string CompanyName;
  std::string FileDescription;
  std::string FileVersion;
  std::string InternalName;
  std::string LegalCopyright;
  std::string LegalTradeMarks;
  std::string OriginalFileName;
  std::string PrivateBuild;
  std::string ProductName;
  std::string ProductVersion;
  std::string SpecialBuild;
  std::string FileOS;
  std::string FileType;
  std::string FileSubType;
};

class TVersionResource : public host::TComponent {
 public:
  explicit TVersionResource(host::TComponent* owner = nullptr);

  const std::string& FileName() const { return file_name_; }
  // Reads the version resource of `path` (a virtual Windows path).
  void SetFileName(const std::string& path);
  version::TLanguage Language() const { return language_; }
  void SetLanguage(version::TLanguage value) { language_ = value; }
  version::TCharacterSet CharacterSet() const { return charset_; }
  void SetCharacterSet(version::TCharacterSet value) { charset_ = value; }
  const TVersionInfo& VersionInfo() const { return info_; }

  // The texts of already read data, as SetFileName takes them.
  void ReadFrom(const os::TVersionData& data);

 private:
  std::string file_name_;
  version::TLanguage language_ = version::lnUSEnglish;
  version::TCharacterSet charset_ = version::csMultilingual;
  TVersionInfo info_;
};

// The global instance, made on first use.
TVersionResource& VersionResource();

// The "FileVersion" text of the file at `path` through the global instance.
std::string ReadFileVersion(const std::string& path);

// Whether the file's first translation's table holds "OLESelfRegister".
bool HasOLESelfRegister(const std::string& path);

// Texts of the fixed part's fields, as VersionInfo shows them.
std::string FileOSText(uint32_t fileOS);
std::string FileTypeText(uint32_t fileType);
std::string FileSubTypeText(uint32_t fileType, uint32_t fileSubtype);

// CompareWithFile with the existing file's version read through the global instance.
int CompareWithFile(std::string_view newVersion, const std::string& existingPath,
                    TOverwriteType mode, double newDate);

// The same decision between two files on disk. In date modes raises
// EOrlaneAbnormal "Cannot open %s in TVersionResource.IsFileNewerByName"
// when either file cannot be opened.
int CompareFiles(const std::string& newPath, const std::string& existingPath, TOverwriteType mode);

}  // namespace orln

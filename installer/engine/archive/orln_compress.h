// TOrlnCompress: the install library's archive. It packs source files into
// one archive file (one zlib stream per file behind a 176-byte header),
// extracts them, copies an archive onto several volumes (floppy disks) and
// reads it back across volumes. docs/archive-format.md gives the layout.
// Entries are found by the install files' ids (0-1999) or by source path.
//
// Callers must keep:
//  - Paths are virtual Windows paths (os/win_path.h) on the current machine.
//  - An archive is untrusted: any header that does not fit the file it sits
//    in gives EOrlnCompress "Could not read the file headers for the
//    compressed file. The Archive file could possible be corrupt", and no
//    walk, size or offset taken from it is used unchecked.
//  - A file is extracted only under its own file name (or the extract name
//    the caller sets) inside ExtractDirectory. Extract and CopyFile write
//    under a temporary name beside the destination and move it over the
//    destination only once whole: a corrupt entry, an abort or a full disk
//    leaves the old file as it was and no temporary behind.
//  - Appending keeps the archive readable at every moment: the entry count
//    grows only once an entry is whole.
//  - Long loops call OnProcessMessages after each piece, so that a Cancel
//    button can set Abort; the next piece then stops with EocAborted.
//  - OnFileVersion reads a file's version text: the "FileVersion" of its
//    version resource (ReadFileVersion) unless the caller installs another;
//    cleared, every file has a blank version.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/rtl/string_list.h"
#include "installer/engine/archive/compression.h"
#include "installer/engine/versions/version_compare.h"

namespace os {
class TWinFile;
}

namespace orln {

inline constexpr size_t kFileHeaderSize = 176;
inline constexpr int kMaxFileIds = 2000;
inline constexpr size_t kMaxSourcePath = 100;
inline constexpr size_t kMaxVersion = 20;
// Where the first header (or the header table) starts, after count and flag.
inline constexpr int32_t kArchiveHeadSize = 5;

// One entry's header as it stands in the archive (176 bytes on disk).
struct TFileHeader {
  int32_t EntryNumber = 0;  // 1-based, in the order the sources were given
  double FileDate = 0;      // the source's date
  uint8_t LastVolume = 0;   // volume of the last data byte; 0 in a single file
  int32_t LastOffset = 0;   // offset of the last data byte in that volume
  std::string SourcePath;   // at most 100 characters
  int32_t NextHeader = 0;   // offset of the next header
  int32_t UncompressedSize = 0;
  int32_t FirstOffset = 0;  // offset of the first data byte in the first volume
  int32_t CompressedSize = 0;
  uint8_t FirstVolume = 0;  // volume of the first data byte; 0 in a single file
  int32_t FileId = 0;       // 0-1999 indexed; others stored only
  std::string Version;      // at most 20 characters
};

// The 176 bytes of a header. Encoding cuts the strings to their limits;
// decoding fails (false) for a string length past its limit.
void EncodeFileHeader(const TFileHeader& header, uint8_t* out);
bool DecodeFileHeader(const uint8_t* in, TFileHeader& header);

// The headers of one archive, in file order.
class TFileHeaders {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  bool MultiVolume() const { return multi_volume_; }
  void SetMultiVolume(bool value) { multi_volume_ = value; }
  // Raises EOrlnCompress "%d is an invalid TFileHeader index in
  // TFileHeaders.GetFileHeaders" for an index out of range.
  TFileHeader& GetFileHeader(int index);
  const TFileHeader& GetFileHeader(int index) const;
  void Add(TFileHeader header) { items_.push_back(std::move(header)); }
  void Clear() {
    items_.clear();
    multi_volume_ = false;
  }
  // The index of the header whose source path (its first ';' token) equals
  // the first ';' token of `name` without regard to case; -1 for none.
  int FindByName(const std::string& name) const;
  // Loads count, flag and every header of the archive that starts at
  // `offset` in `file`, checking each against the file's size.
  void LoadFromFile(os::TWinFile& file, int64_t offset);
  // Writes count, flag and (for volumes) the header table at `offset`.
  void SaveTable(os::TWinFile& file, int64_t offset) const;
  int64_t TotalCompressed() const;
  int64_t TotalUncompressed() const;

 private:
  std::vector<TFileHeader> items_;
  bool multi_volume_ = false;
};

// Progress of the current operation, handed to OnStatus and copied into the
// install file's status parameter.
struct TOrlnCompressStatus {
  uint8_t FilePercent = 0;
  int32_t FileBytesDone = 0;
  std::string FileName;
  int32_t CompressedSize = 0;
  int32_t CompressionPercent = 0;
  int32_t UncompressedSize = 0;
  TFileHeader Header;
  bool FileFinished = false;
  uint8_t OverallPercent = 0;
  int64_t OverallBytesDone = 0;
  int64_t TotalCompressed = 0;
  int32_t OverallCompressionPercent = 0;
  int64_t TotalUncompressed = 0;
};

// part / whole x 100, rounded and held to 0-100; with a whole of 0 (or
// less), 0, or 100 once the work is done.
int32_t PercentOf(int64_t part, int64_t whole, bool done = false);

class TOrlnCompress : public host::TComponent {
 public:
  using TNotify = std::function<void(TOrlnCompress&)>;
  using TFileEvent = std::function<void(TOrlnCompress&, const TOrlnCompressStatus&)>;
  // Asked for the folder holding `volume`; `directory` starts as the folder
  // last used and is changed by the handler.
  using TNewDiskEvent = std::function<void(TOrlnCompress&, int volume, std::string& directory)>;
  using TListingEvent = std::function<void(TOrlnCompress&, const TFileHeader&)>;
  // May change the name the file is extracted under.
  using TReplaceEvent = std::function<void(TOrlnCompress&, std::string& extractName)>;
  using TFileVersion = std::function<std::string(const std::string& path)>;

  explicit TOrlnCompress(host::TComponent* owner);
  ~TOrlnCompress() override;

  // ---- properties ----
  bool Abort() const { return abort_; }
  void SetAbort(bool value) { abort_ = value; }
  const std::string& CompressedFile() const { return compressed_file_; }
  void SetCompressedFile(const std::string& path);
  TCompressionLevel CompressionLevel() const { return level_; }
  void SetCompressionLevel(TCompressionLevel level) { level_ = level; }
  const std::string& ExtractDirectory() const { return extract_directory_; }
  void SetExtractDirectory(const std::string& dir) { extract_directory_ = dir; }
  host::TStrings& FilesToProcess() { return *files_; }
  // Takes the lines of `files`, dropping blank ones.
  void SetFilesToProcess(const host::TStrings& files);
  int32_t Offset() const { return offset_; }
  // A new start offset drops the loaded headers.
  void SetOffset(int32_t offset);
  TOverwriteType Overwrite() const { return overwrite_; }
  void SetOverwrite(TOverwriteType mode) { overwrite_ = mode; }
  // The name to extract the next file under; empty for its stored name.
  void SetExtractName(const std::string& name) { extract_name_ = name; }

  TNotify OnAborted;
  TFileEvent OnAfterAdding, OnBeforeAdding, OnAfterExtracting, OnBeforeExtracting;
  TNotify OnFullDisk;
  TListingEvent OnListing;
  TNewDiskEvent OnNewDisk;
  TReplaceEvent OnReplace;
  TFileEvent OnStatus;
  // Runs after each piece of work, where a window system would process its
  // pending messages.
  TNotify OnProcessMessages;
  TFileVersion OnFileVersion;

  // ---- operations ----
  // Adds FilesToProcess (each line's first ';' token is a source path) under
  // `fileId`, to a fresh archive or, with appendMode, after the entries the
  // archive holds.
  void Add(bool appendMode, int32_t fileId);
  // Extracts FilesToProcess (stored source paths) into ExtractDirectory.
  void Extract();
  // Copies the archive onto volumes: Directory\FileName, then FileName with
  // the extensions ".2", ".3", ... in the folders OnNewDisk names whenever a
  // disk is full.
  void CopyToVolumes(const std::string& directory, const std::string& fileName);
  // Copies one file, deciding by Overwrite as Extract does.
  void CopyFile(const std::string& source, const std::string& destination);
  void List();
  int Count();
  // The status record of the entry at `index` (0-based, file order).
  void GetStatus(int index, TOrlnCompressStatus& status);
  // The 1-based entry number (position in file order) of the entry added
  // under `fileId`; 0 when there is none or the id is outside 0-1999.
  int IndexOfId(int32_t fileId);
  const TFileHeaders& Headers();

  // Runs OnFullDisk when assigned, else raises EocDiskFull "The disk is full".
  virtual void DiskFull();

 private:
  class TVolumeReader;

  void LoadHeaders();
  void IndexHeaders();
  void CheckAbort();
  void ProcessMessages();
  void ReportStatus();
  void StartFileStatus(const TFileHeader& header);
  // Writes all of `data`; a short write runs DiskFull once and tries the rest
  // again, then raises EocDiskFull.
  void WriteAll(os::TWinFile& file, int64_t offset, const uint8_t* data, size_t count);
  std::string FileVersion(const std::string& path) const;
  // 0 undecided, 1 same, 2 replace, 3 keep, 4 ask: the existing file
  // `existing` against a new one with `version` and `date`.
  int CompareWithFile(const std::string& version, const std::string& existing, double date) const;
  std::string VolumePath(const std::string& base, int volume) const;
  // The path of `name` in `dir`; while it is missing, OnNewDisk is asked for
  // `volume` (and may change `dir`) up to four times.
  std::string LocateVolume(int volume, std::string& dir, const std::string& name);
  std::unique_ptr<os::TWinFile> OpenVolume(int volume);
  void ExtractEntry(const TFileHeader& header, const std::string& target);
  void AddSources(os::TWinFile& archive, int32_t fileId);
  void WriteVolumes(os::TWinFile& source, const std::string& directory,
                    const std::string& fileName);
  // Writes `count` bytes to the copy's current volume, going on to new disks
  // as each fills.
  void WriteToVolumes(std::unique_ptr<os::TWinFile>& dest, int64_t& pos, std::string& dir,
                      const std::string& fileName, const uint8_t* data, size_t count);

  bool abort_ = false;
  std::string compressed_file_;
  TCompressionLevel level_ = colMax;
  std::string extract_directory_;
  std::unique_ptr<host::TStringList> files_;
  int32_t offset_ = 0;
  TOverwriteType overwrite_ = owAlways;
  std::string extract_name_;

  TFileHeaders headers_;
  std::array<int, kMaxFileIds> id_index_{};  // entry number (1-based), 0 for none
  bool headers_loaded_ = false;
  int current_volume_ = 0;
  std::string volume_directory_;  // where the last volume was found
  TOrlnCompressStatus status_;
};

}  // namespace orln

#include "installer/engine/archive/orln_compress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "host/rtl/format.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/archive/win_file_stream.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/versions/version_resource.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace orln {

namespace {

constexpr const char* kHeadersCorrupt =
    "Could not read the file headers for the compressed file. The Archive file could possible be "
    "corrupt";
constexpr const char* kCountUnreadable =
    "Could not read the file header count for the compressed file";
constexpr const char* kHeadersUnwritable =
    "Could not write the file headers for the compressed file";
constexpr const char* kCannotOpenCompressed = "Cannot open the compressed file %s";
constexpr const char* kCannotOpenFile = "Cannot open the file %s";
constexpr const char* kCannotCreateFile = "Cannot create the file %s";
constexpr const char* kInvalidHeader = "Tried to add an invalid file header";
constexpr const char* kNotInArchive = "The file <%s> was not found in the archive <%s>";
constexpr const char* kCompareFailed = "Error comparing file versions in TOrlnCompress";
constexpr const char* kSizeMismatch =
    "The decompressed file's size does not match with the actual size of the file.  The file is %s";
constexpr const char* kCannotSetDate = "Cannot set the date of the file just extracted.";
constexpr const char* kWrongDisk = "Could not open the correct disk file %d";
constexpr const char* kNoNewDiskHandler =
    "There was no event handler for the OnNewDisk event, therefore no new disk could be inserted";
constexpr const char* kTooLittleSpace = "There is too little space on this disk to operate";
constexpr const char* kAborted = "Operation aborted by user";
constexpr const char* kDiskFull = "The disk is full";
constexpr const char* kTooLarge = "The file %s is too large for the archive %s";
constexpr const char* kAppendToVolumes =
    "Cannot add files to the compressed file %s: it is spread over several volumes";

constexpr size_t kReadPiece = 65536;    // input read per step of inflate and add
constexpr size_t kInflatePiece = 4096;  // output written per step of inflate
constexpr size_t kVolumeCopyPiece = 8192;
constexpr int kNewDiskAttempts = 4;
constexpr int kMaxVolume = 255;  // the volume numbers are one byte
// Dates outside years 1-9999 are not dates a file can carry.
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958466.0;

[[noreturn]] void Fail(const std::string& msg) {
  throw EOrlnCompress(msg);
}
[[noreturn]] void Fail(const char* fmt, std::initializer_list<host::TVarRec> args) {
  throw EOrlnCompress(host::Format(fmt, args));
}
[[noreturn]] void Corrupt() {
  Fail(kHeadersCorrupt);
}

void PutString(uint8_t* out, const std::string& s, size_t max) {
  size_t n = std::min(s.size(), max);
  out[0] = static_cast<uint8_t>(n);
  std::memcpy(out + 1, s.data(), n);
}

bool GetString(const uint8_t* in, size_t max, std::string& s) {
  if (in[0] > max) return false;
  s.assign(reinterpret_cast<const char*>(in + 1), in[0]);
  return true;
}

// The source path of a FilesToProcess line: its first ';' token.
std::string FirstToken(const std::string& line) {
  return host::Trim(line.substr(0, line.find(';')));
}

// The name an entry may be extracted under: the last component of `stored`
// after any '\', '/' or ':'. False for a name that would not stay a plain
// file inside the extract folder.
bool SafeFileName(const std::string& stored, std::string& name) {
  size_t cut = stored.find_last_of("\\/:");
  name = cut == std::string::npos ? stored : stored.substr(cut + 1);
  if (name.find_first_not_of(". ") == std::string::npos) return false;  // "", ".", "..", "  "
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) return dir + name;
  return dir + "\\" + name;
}

// The archive's header as stored, with every offset and size checked against
// the `avail` bytes the archive holds after its start offset.
void CheckHeader(const TFileHeader& h, int64_t pos, int64_t avail, bool multiVolume,
                 int64_t tableEnd) {
  if (h.UncompressedSize < 0 || h.CompressedSize < 0 || h.FirstOffset < 0 || h.LastOffset < 0)
    Corrupt();
  if (!std::isfinite(h.FileDate) || h.FileDate < kMinDate || h.FileDate >= kMaxDate) Corrupt();
  if (h.NextHeader < pos + static_cast<int64_t>(kFileHeaderSize) || h.NextHeader > avail) Corrupt();
  const int64_t span = static_cast<int64_t>(h.LastOffset) - h.FirstOffset + 1;
  if (!multiVolume) {
    if (h.FirstVolume != 0 || h.LastVolume != 0) Corrupt();
    if (h.FirstOffset < pos + static_cast<int64_t>(kFileHeaderSize)) Corrupt();
    if (span < 1 || h.LastOffset >= h.NextHeader || span != h.CompressedSize) Corrupt();
    return;
  }
  if (h.FirstVolume < 1 || h.LastVolume < h.FirstVolume) Corrupt();
  if (h.FirstVolume == 1 && (h.FirstOffset < tableEnd || h.FirstOffset > avail)) Corrupt();
  if (h.LastVolume == 1 && h.LastOffset >= avail) Corrupt();
  if (h.FirstVolume == h.LastVolume && (span < 1 || span != h.CompressedSize)) Corrupt();
}

// Removes a partly written target unless the work completed.
class TPartialFileGuard {
 public:
  TPartialFileGuard(std::unique_ptr<os::TWinFile>& file, std::string path)
      : file_(file), path_(std::move(path)) {}
  ~TPartialFileGuard() {
    if (done_) return;
    file_.reset();
    os::WinDeleteFile(path_);
  }
  void Done() { done_ = true; }

 private:
  std::unique_ptr<os::TWinFile>& file_;
  std::string path_;
  bool done_ = false;
};

// A name for a new file in the folder of `path` that nothing there holds
// yet: the file is written under it and moved over `path` once whole.
std::string TempNameBeside(const std::string& path) {
  const std::string dir = host::ExtractFileDir(path);
  static uint32_t counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char name[24];
    std::snprintf(name, sizeof name, "~orl%04X.tmp", (++counter) & 0xFFFFu);
    const std::string candidate = dir.empty() ? std::string(name) : dir + "\\" + name;
    if (!os::WinFileExists(candidate) && !os::WinDirectoryExists(candidate)) return candidate;
  }
  Fail(kCannotCreateFile, {path});
}

struct TInflater {
  z_stream zs{};
  TInflater() {
    if (inflateInit_(&zs, kZlibInitVersion, static_cast<int>(sizeof(z_stream))) != Z_OK)
      Fail("Could not start the decompression");
  }
  ~TInflater() { inflateEnd(&zs); }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;
};

}  // namespace

// ---- headers ----

void EncodeFileHeader(const TFileHeader& h, uint8_t* out) {
  std::memset(out, 0, kFileHeaderSize);
  host::PutU32(out + 0, static_cast<uint32_t>(h.EntryNumber));
  uint64_t date;
  std::memcpy(&date, &h.FileDate, 8);
  host::PutU64(out + 8, date);
  out[16] = h.LastVolume;
  host::PutU32(out + 20, static_cast<uint32_t>(h.LastOffset));
  PutString(out + 24, h.SourcePath, kMaxSourcePath);
  host::PutU32(out + 128, static_cast<uint32_t>(h.NextHeader));
  host::PutU32(out + 132, static_cast<uint32_t>(h.UncompressedSize));
  host::PutU32(out + 136, static_cast<uint32_t>(h.FirstOffset));
  host::PutU32(out + 140, static_cast<uint32_t>(h.CompressedSize));
  out[144] = h.FirstVolume;
  host::PutU32(out + 148, static_cast<uint32_t>(h.FileId));
  PutString(out + 152, h.Version, kMaxVersion);
}

bool DecodeFileHeader(const uint8_t* in, TFileHeader& h) {
  h.EntryNumber = static_cast<int32_t>(host::GetU32(in + 0));
  uint64_t date = host::GetU64(in + 8);
  std::memcpy(&h.FileDate, &date, 8);
  h.LastVolume = in[16];
  h.LastOffset = static_cast<int32_t>(host::GetU32(in + 20));
  if (!GetString(in + 24, kMaxSourcePath, h.SourcePath)) return false;
  h.NextHeader = static_cast<int32_t>(host::GetU32(in + 128));
  h.UncompressedSize = static_cast<int32_t>(host::GetU32(in + 132));
  h.FirstOffset = static_cast<int32_t>(host::GetU32(in + 136));
  h.CompressedSize = static_cast<int32_t>(host::GetU32(in + 140));
  h.FirstVolume = in[144];
  h.FileId = static_cast<int32_t>(host::GetU32(in + 148));
  return GetString(in + 152, kMaxVersion, h.Version);
}

TFileHeader& TFileHeaders::GetFileHeader(int index) {
  if (index < 0 || index >= Count())
    Fail("%d is an invalid TFileHeader index in TFileHeaders.GetFileHeaders", {index});
  return items_[static_cast<size_t>(index)];
}

const TFileHeader& TFileHeaders::GetFileHeader(int index) const {
  return const_cast<TFileHeaders*>(this)->GetFileHeader(index);
}

int TFileHeaders::FindByName(const std::string& name) const {
  const std::string wanted = FirstToken(name);
  for (size_t i = 0; i < items_.size(); ++i) {
    if (host::AnsiSameText(FirstToken(items_[i].SourcePath), wanted)) return static_cast<int>(i);
  }
  return -1;
}

void TFileHeaders::LoadFromFile(os::TWinFile& file, int64_t offset) {
  Clear();
  const int64_t size = file.Size();
  uint8_t head[kArchiveHeadSize];
  if (offset < 0 || size < 0 || size - offset < kArchiveHeadSize ||
      file.Read(static_cast<uint64_t>(offset), head, sizeof head) != kArchiveHeadSize) {
    Fail(kCountUnreadable);
  }
  const int64_t avail = size - offset;
  const int32_t count = static_cast<int32_t>(host::GetU32(head));
  if (head[4] > 1 || count < 0 ||
      count > (avail - kArchiveHeadSize) / static_cast<int64_t>(kFileHeaderSize)) {
    Corrupt();
  }
  multi_volume_ = head[4] == 1;
  const int64_t tableEnd = kArchiveHeadSize + static_cast<int64_t>(count) * kFileHeaderSize;
  items_.reserve(static_cast<size_t>(count));
  int64_t pos = kArchiveHeadSize;
  uint8_t buf[kFileHeaderSize];
  for (int32_t i = 0; i < count; ++i) {
    if (pos + static_cast<int64_t>(kFileHeaderSize) > avail ||
        file.Read(static_cast<uint64_t>(offset + pos), buf, kFileHeaderSize) !=
            static_cast<int64_t>(kFileHeaderSize)) {
      Corrupt();
    }
    TFileHeader h;
    if (!DecodeFileHeader(buf, h)) Corrupt();
    CheckHeader(h, pos, avail, multi_volume_, tableEnd);
    pos = h.NextHeader;
    items_.push_back(std::move(h));
  }
}

void TFileHeaders::SaveTable(os::TWinFile& file, int64_t offset) const {
  std::vector<uint8_t> buf(kArchiveHeadSize +
                           (multi_volume_ ? items_.size() * kFileHeaderSize : 0));
  host::PutU32(buf.data(), static_cast<uint32_t>(items_.size()));
  buf[4] = multi_volume_ ? 1 : 0;
  if (multi_volume_) {
    for (size_t i = 0; i < items_.size(); ++i)
      EncodeFileHeader(items_[i], buf.data() + kArchiveHeadSize + i * kFileHeaderSize);
  }
  if (file.Write(static_cast<uint64_t>(offset), buf.data(), buf.size()) !=
      static_cast<int64_t>(buf.size())) {
    Fail(kHeadersUnwritable);
  }
}

int64_t TFileHeaders::TotalCompressed() const {
  int64_t total = 0;
  for (const TFileHeader& h : items_) total += h.CompressedSize;
  return total;
}

int64_t TFileHeaders::TotalUncompressed() const {
  int64_t total = 0;
  for (const TFileHeader& h : items_) total += h.UncompressedSize;
  return total;
}

int32_t PercentOf(int64_t part, int64_t whole, bool done) {
  if (whole <= 0) return done ? 100 : 0;
  if (part <= 0) return 0;
  double p = std::round(static_cast<double>(part) * 100.0 / static_cast<double>(whole));
  return static_cast<int32_t>(std::min(p, 100.0));
}

// ---- the component ----

TOrlnCompress::TOrlnCompress(host::TComponent* owner)
    : host::TComponent(owner),
      OnFileVersion(ReadFileVersion),
      files_(std::make_unique<host::TStringList>()) {}

TOrlnCompress::~TOrlnCompress() = default;

void TOrlnCompress::SetCompressedFile(const std::string& path) {
  if (host::ChangeFileExt(path, ".1") != host::ChangeFileExt(compressed_file_, ".1")) {
    headers_loaded_ = false;
    headers_.Clear();
    id_index_.fill(0);
  }
  compressed_file_ = path;
}

void TOrlnCompress::SetOffset(int32_t offset) {
  if (offset != offset_) {
    headers_loaded_ = false;
    headers_.Clear();
    id_index_.fill(0);
  }
  offset_ = offset;
}

void TOrlnCompress::SetFilesToProcess(const host::TStrings& files) {
  files_->Clear();
  for (int i = 0; i < files.Count(); ++i) {
    std::string line = files.Strings(i);
    if (!host::Trim(line).empty()) files_->Add(line);
  }
}

void TOrlnCompress::DiskFull() {
  if (OnFullDisk) {
    OnFullDisk(*this);
    return;
  }
  throw EocDiskFull(kDiskFull);
}

void TOrlnCompress::CheckAbort() {
  if (abort_) throw EocAborted(kAborted);
}

void TOrlnCompress::ProcessMessages() {
  if (OnProcessMessages) OnProcessMessages(*this);
}

void TOrlnCompress::StartFileStatus(const TFileHeader& h) {
  status_.FileName = h.SourcePath;
  status_.Header = h;
  status_.UncompressedSize = h.UncompressedSize;
  status_.CompressedSize = h.CompressedSize;
  status_.FileBytesDone = 0;
  status_.FileFinished = false;
}

void TOrlnCompress::WriteAll(os::TWinFile& file, int64_t offset, const uint8_t* data,
                             size_t count) {
  size_t done = 0;
  bool retried = false;
  for (;;) {
    int64_t n = file.Write(static_cast<uint64_t>(offset) + done, data + done, count - done);
    if (n > 0) done += static_cast<size_t>(n);
    if (done == count) return;
    // The handler may make room; a second short write ends the work.
    if (retried) throw EocDiskFull(kDiskFull);
    DiskFull();
    retried = true;
  }
}

void TOrlnCompress::ReportStatus() {
  status_.FilePercent = static_cast<uint8_t>(
      PercentOf(status_.FileBytesDone, status_.UncompressedSize, status_.FileFinished));
  status_.CompressionPercent = PercentOf(status_.CompressedSize, status_.UncompressedSize);
  status_.OverallPercent =
      static_cast<uint8_t>(PercentOf(status_.OverallBytesDone, status_.TotalUncompressed));
  status_.OverallCompressionPercent = PercentOf(status_.TotalCompressed, status_.TotalUncompressed);
  if (OnStatus) OnStatus(*this, status_);
}

std::string TOrlnCompress::FileVersion(const std::string& path) const {
  if (!OnFileVersion) return std::string();
  std::string v = OnFileVersion(path);
  if (v.size() > kMaxVersion) v.resize(kMaxVersion);
  return v;
}

int TOrlnCompress::CompareWithFile(const std::string& version, const std::string& existing,
                                   double date) const {
  return orln::CompareWithFile(version, existing, overwrite_, date,
                               [this](const std::string& path) { return FileVersion(path); });
}

void TOrlnCompress::LoadHeaders() {
  if (headers_loaded_) return;
  if (!os::WinFileExists(compressed_file_)) Fail(kCannotOpenCompressed, {compressed_file_});
  std::unique_ptr<os::TWinFile> file =
      os::TWinFile::Open(compressed_file_, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!file) Fail(kCannotOpenCompressed, {compressed_file_});
  id_index_.fill(0);
  try {
    headers_.LoadFromFile(*file, offset_);
  } catch (...) {
    headers_.Clear();
    throw;
  }
  IndexHeaders();
  headers_loaded_ = true;
}

void TOrlnCompress::IndexHeaders() {
  id_index_.fill(0);
  for (int i = 0; i < headers_.Count(); ++i) {
    int32_t id = headers_.GetFileHeader(i).FileId;
    if (id >= 0 && id < kMaxFileIds) id_index_[static_cast<size_t>(id)] = i + 1;
  }
}

const TFileHeaders& TOrlnCompress::Headers() {
  LoadHeaders();
  return headers_;
}

int TOrlnCompress::Count() {
  LoadHeaders();
  return headers_.Count();
}

int TOrlnCompress::IndexOfId(int32_t fileId) {
  LoadHeaders();
  if (fileId < 0 || fileId >= kMaxFileIds) return 0;
  return id_index_[static_cast<size_t>(fileId)];
}

void TOrlnCompress::List() {
  LoadHeaders();
  for (int i = 0; i < headers_.Count(); ++i) {
    if (OnListing) OnListing(*this, headers_.GetFileHeader(i));
  }
}

void TOrlnCompress::GetStatus(int index, TOrlnCompressStatus& status) {
  LoadHeaders();
  const TFileHeader& h = headers_.GetFileHeader(index);
  status = TOrlnCompressStatus();
  status.FileName = h.SourcePath;
  status.CompressedSize = h.CompressedSize;
  status.UncompressedSize = h.UncompressedSize;
  status.CompressionPercent = PercentOf(h.CompressedSize, h.UncompressedSize);
  status.Header = h;
  status.TotalCompressed = headers_.TotalCompressed();
  status.TotalUncompressed = headers_.TotalUncompressed();
  status.OverallCompressionPercent = PercentOf(status.TotalCompressed, status.TotalUncompressed);
}

// ---- adding ----

void TOrlnCompress::Add(bool appendMode, int32_t fileId) {
  struct TClearFiles {
    host::TStrings& files;
    ~TClearFiles() { files.Clear(); }
  } clearFiles{*files_};
  abort_ = false;
  SetOffset(0);
  try {
    const std::string dir = host::ExtractFileDir(compressed_file_);
    if (!dir.empty()) os::WinForceDirectories(dir);
    std::unique_ptr<os::TWinFile> archive;
    if (appendMode && os::WinFileExists(compressed_file_)) {
      archive = os::TWinFile::Open(compressed_file_, os::TFileAccess::ReadWrite,
                                   os::TFileShare::Exclusive);
      if (!archive) Fail(kCannotOpenCompressed, {compressed_file_});
      headers_loaded_ = false;
      id_index_.fill(0);
      try {
        headers_.LoadFromFile(*archive, 0);
      } catch (...) {
        headers_.Clear();
        throw;
      }
      // The writer makes single-file archives only; entries cannot follow
      // a volume's header table.
      if (headers_.MultiVolume()) Fail(kAppendToVolumes, {compressed_file_});
      IndexHeaders();
      headers_loaded_ = true;
    } else {
      archive = os::TWinFile::Create(compressed_file_, os::TFileCreation::CreateAlways);
      if (!archive) Fail(kCannotCreateFile, {compressed_file_});
      headers_.Clear();
      id_index_.fill(0);
      headers_loaded_ = true;
    }
    AddSources(*archive, fileId);
  } catch (const EocAborted&) {
    if (OnAborted) OnAborted(*this);
  } catch (const host::EAbort&) {
    // A handler's quiet abort ends the call quietly.
  } catch (...) {
    abort_ = true;
    throw;
  }
}

void TOrlnCompress::AddSources(os::TWinFile& archive, int32_t fileId) {
  std::vector<TFileHeader> fresh;
  for (int i = 0; i < files_->Count(); ++i) {
    TFileHeader h;
    h.SourcePath = FirstToken(files_->Strings(i));
    if (h.SourcePath.empty() || h.SourcePath.size() > kMaxSourcePath) Fail(kInvalidHeader);
    std::unique_ptr<os::TWinFile> src =
        os::TWinFile::Open(h.SourcePath, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (!src || !os::WinGetFileDate(h.SourcePath, h.FileDate))
      Fail(kCannotOpenFile, {h.SourcePath});
    const int64_t size = src->Size();
    if (size < 0) Fail(kCannotOpenFile, {h.SourcePath});
    if (size > INT32_MAX) Fail(kTooLarge, {h.SourcePath, compressed_file_});
    h.UncompressedSize = static_cast<int32_t>(size);
    h.Version = FileVersion(h.SourcePath);
    h.EntryNumber = headers_.Count() + static_cast<int32_t>(fresh.size()) + 1;
    fresh.push_back(std::move(h));
  }

  // The count stays at the entries already whole; each new entry raises it
  // only once its data and header are written, so an interrupted append
  // leaves the archive as it was.
  headers_.SetMultiVolume(false);
  headers_.SaveTable(archive, 0);
  int64_t end = headers_.Count() > 0 ? headers_.GetFileHeader(headers_.Count() - 1).NextHeader
                                     : kArchiveHeadSize;
  // A tail left behind by an append that never finished is cut away.
  if (!archive.SetSize(static_cast<uint64_t>(end))) Fail(kHeadersUnwritable);

  status_ = TOrlnCompressStatus();
  for (const TFileHeader& h : fresh) status_.TotalUncompressed += h.UncompressedSize;
  int64_t doneBefore = 0;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kReadPiece]);
  uint8_t raw[kFileHeaderSize];
  // However the loop ends, the archive ends with its last whole entry.
  struct TCutTail {
    os::TWinFile& archive;
    const int64_t& end;
    ~TCutTail() { archive.SetSize(static_cast<uint64_t>(end)); }
  } cutTail{archive, end};

  for (TFileHeader& h : fresh) {
    const int64_t pos = end;
    const int64_t worst =
        static_cast<int64_t>(deflateBound(nullptr, static_cast<uLong>(h.UncompressedSize)));
    if (pos + static_cast<int64_t>(kFileHeaderSize) + worst + 64 > INT32_MAX)
      Fail(kTooLarge, {h.SourcePath, compressed_file_});
    EncodeFileHeader(h, raw);
    if (archive.Write(static_cast<uint64_t>(pos), raw, kFileHeaderSize) !=
        static_cast<int64_t>(kFileHeaderSize)) {
      Fail(kHeadersUnwritable);
    }
    h.FirstOffset = static_cast<int32_t>(pos + kFileHeaderSize);

    StartFileStatus(h);
    if (OnBeforeAdding) OnBeforeAdding(*this, status_);

    std::unique_ptr<os::TWinFile> src =
        os::TWinFile::Open(h.SourcePath, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (!src) Fail(kCannotOpenFile, {h.SourcePath});
    TWinFileStream target(archive, h.FirstOffset);
    int64_t taken = 0;
    int64_t written = 0;
    {
      TCompressionStream zip(level_, target, [&](TCompressionStream& s) {
        CheckAbort();
        ProcessMessages();
        status_.FileBytesDone = static_cast<int32_t>(std::min<int64_t>(s.BytesIn(), INT32_MAX));
        status_.CompressedSize = static_cast<int32_t>(std::min<int64_t>(s.BytesOut(), INT32_MAX));
        status_.TotalCompressed = s.BytesOut() + (pos - end);
        status_.OverallBytesDone = doneBefore + s.BytesIn();
        ReportStatus();
      });
      for (;;) {
        int64_t n = src->Read(static_cast<uint64_t>(taken), buf.get(), kReadPiece);
        if (n < 0) Fail(kCannotOpenFile, {h.SourcePath});
        if (n == 0) break;
        taken += n;
        // A source that grew since it was measured must still fit.
        if (taken > INT32_MAX || taken > h.UncompressedSize + static_cast<int64_t>(kReadPiece))
          Fail(kTooLarge, {h.SourcePath, compressed_file_});
        zip.WriteBuffer(buf.get(), static_cast<int32_t>(n));
      }
      if (taken != h.UncompressedSize) {
        // The source changed size while it was added; the stored size must be
        // the bytes that went in.
        if (pos + static_cast<int64_t>(kFileHeaderSize) +
                static_cast<int64_t>(deflateBound(nullptr, static_cast<uLong>(taken))) + 64 >
            INT32_MAX)
          Fail(kTooLarge, {h.SourcePath, compressed_file_});
        h.UncompressedSize = static_cast<int32_t>(taken);
      }
      zip.Finish();
      written = zip.BytesOut();
    }
    const int64_t dataEnd = h.FirstOffset + written;
    h.LastOffset = static_cast<int32_t>(dataEnd - 1);
    h.NextHeader = static_cast<int32_t>(dataEnd);
    h.CompressedSize = static_cast<int32_t>(written);
    h.FileId = fileId;
    EncodeFileHeader(h, raw);
    if (archive.Write(static_cast<uint64_t>(pos), raw, kFileHeaderSize) !=
        static_cast<int64_t>(kFileHeaderSize)) {
      Fail(kHeadersUnwritable);
    }
    headers_.Add(h);
    headers_.SaveTable(archive, 0);
    if (fileId >= 0 && fileId < kMaxFileIds)
      id_index_[static_cast<size_t>(fileId)] = headers_.Count();
    end = dataEnd;
    doneBefore += h.UncompressedSize;

    status_.Header = h;
    status_.FileFinished = true;
    status_.FileBytesDone = h.UncompressedSize;
    status_.CompressedSize = h.CompressedSize;
    status_.OverallBytesDone = doneBefore;
    if (OnAfterAdding) OnAfterAdding(*this, status_);
  }
}

// ---- volumes ----

std::string TOrlnCompress::VolumePath(const std::string& base, int volume) const {
  if (!headers_.MultiVolume()) return base;
  return host::ChangeFileExt(base, "." + std::to_string(volume));
}

std::string TOrlnCompress::LocateVolume(int volume, std::string& dir, const std::string& name) {
  std::string path = JoinPath(dir, name);
  for (int attempt = 0; !os::WinFileExists(path); ++attempt) {
    if (!OnNewDisk) Fail(kWrongDisk, {volume});
    if (attempt == kNewDiskAttempts) Fail(kCannotOpenCompressed, {path});
    OnNewDisk(*this, volume, dir);
    path = JoinPath(dir, name);
  }
  return path;
}

std::unique_ptr<os::TWinFile> TOrlnCompress::OpenVolume(int volume) {
  const std::string first = VolumePath(compressed_file_, volume);
  std::string dir = volume_directory_.empty() ? host::ExtractFileDir(first) : volume_directory_;
  const std::string path = LocateVolume(volume, dir, host::ExtractFileName(first));
  volume_directory_ = dir;
  std::unique_ptr<os::TWinFile> file =
      os::TWinFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!file) Fail(kCannotOpenCompressed, {path});
  current_volume_ = volume;
  return file;
}

// ---- extracting ----

void TOrlnCompress::Extract() {
  abort_ = false;
  LoadHeaders();
  current_volume_ = 0;
  volume_directory_.clear();
  status_ = TOrlnCompressStatus();
  status_.TotalCompressed = headers_.TotalCompressed();
  status_.TotalUncompressed = headers_.TotalUncompressed();
  int64_t doneBefore = 0;

  for (int i = 0; i < files_->Count(); ++i) {
    const std::string line = files_->Strings(i);
    const int index = headers_.FindByName(line);
    if (index < 0) Fail(kNotInArchive, {FirstToken(line), compressed_file_});
    const TFileHeader h = headers_.GetFileHeader(index);
    StartFileStatus(h);
    status_.OverallBytesDone = doneBefore;

    std::string wanted = extract_name_.empty() ? h.SourcePath : extract_name_;
    extract_name_.clear();
    if (OnBeforeExtracting) OnBeforeExtracting(*this, status_);
    std::string name;
    if (!SafeFileName(wanted, name))
      Fail(kCannotCreateFile, {JoinPath(extract_directory_, wanted)});
    std::string target = JoinPath(extract_directory_, name);

    if (os::WinFileExists(target)) {
      int decision = CompareWithFile(h.Version, target, h.FileDate);
      if (decision == 0) Fail(kCompareFailed);
      if (decision == 1 || decision == 3) {
        status_.FileFinished = true;
        ReportStatus();
        continue;
      }
      if (OnReplace) {
        std::string replaced = name;
        OnReplace(*this, replaced);
        if (!SafeFileName(replaced, name))
          Fail(kCannotCreateFile, {JoinPath(extract_directory_, replaced)});
        target = JoinPath(extract_directory_, name);
      }
    }
    ExtractEntry(h, target);
    doneBefore += h.UncompressedSize;
    status_.OverallBytesDone = doneBefore;
    status_.FileFinished = true;
    ReportStatus();
    if (OnAfterExtracting) OnAfterExtracting(*this, status_);
  }
}

void TOrlnCompress::ExtractEntry(const TFileHeader& h, const std::string& target) {
  const bool multi = headers_.MultiVolume();
  int volume = multi ? h.FirstVolume : 1;
  const int lastVolume = multi ? h.LastVolume : 1;
  std::unique_ptr<os::TWinFile> src = OpenVolume(volume);
  auto base = [&](int v) -> int64_t { return v == 1 ? offset_ : 0; };

  if (!extract_directory_.empty()) os::WinForceDirectories(extract_directory_);
  const std::string temp = TempNameBeside(target);
  std::unique_ptr<os::TWinFile> out = os::TWinFile::Create(temp, os::TFileCreation::CreateNew);
  if (!out) Fail(kCannotCreateFile, {target});
  TPartialFileGuard guard(out, temp);

  TInflater inf;
  z_stream& zs = inf.zs;
  std::unique_ptr<uint8_t[]> in(new uint8_t[kReadPiece]);
  uint8_t piece[kInflatePiece];
  int64_t pos = base(volume) + h.FirstOffset;
  int64_t written = 0;
  bool ended = false;
  while (!ended) {
    if (zs.avail_in == 0) {
      const int64_t limit = volume == lastVolume ? base(volume) + h.LastOffset + 1 : src->Size();
      if (pos >= limit) {
        if (volume >= lastVolume) Fail(kSizeMismatch, {target});  // the data ended early
        src.reset();
        src = OpenVolume(++volume);
        pos = 0;
        continue;
      }
      int64_t got = src->Read(static_cast<uint64_t>(pos), in.get(),
                              static_cast<size_t>(std::min<int64_t>(kReadPiece, limit - pos)));
      if (got <= 0) Fail(kSizeMismatch, {target});  // the volume is shorter than its header says
      pos += got;
      zs.next_in = in.get();
      zs.avail_in = static_cast<uInt>(got);
    }
    zs.next_out = piece;
    zs.avail_out = kInflatePiece;
    const uInt inBefore = zs.avail_in;
    int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      ended = true;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      Fail(kSizeMismatch, {target});
    }
    const size_t produced = kInflatePiece - zs.avail_out;
    if (!ended && produced == 0 && zs.avail_in == inBefore && zs.avail_in != 0)
      Fail(kSizeMismatch, {target});  // no progress possible
    if (produced == 0 && !ended) continue;
    // More output than the header promises: stop at once, so that a small
    // entry cannot blow up into a huge file.
    if (written + static_cast<int64_t>(produced) > h.UncompressedSize)
      Fail(kSizeMismatch, {target});
    WriteAll(*out, written, piece, produced);
    written += static_cast<int64_t>(produced);
    CheckAbort();
    ProcessMessages();
    status_.FileBytesDone = static_cast<int32_t>(written);
    status_.OverallBytesDone += static_cast<int64_t>(produced);
    ReportStatus();
  }
  if (written != h.UncompressedSize) Fail(kSizeMismatch, {target});
  src.reset();
  out.reset();
  if (!os::WinSetFileDate(temp, h.FileDate)) Fail(kCannotSetDate);
  if (!os::WinReplaceFile(temp, target)) Fail(kCannotCreateFile, {target});
  guard.Done();
}

// ---- copying ----

void TOrlnCompress::CopyToVolumes(const std::string& directory, const std::string& fileName) {
  abort_ = false;
  try {
    LoadHeaders();
    current_volume_ = 1;
    if (headers_.MultiVolume()) Fail(kCannotOpenCompressed, {compressed_file_});
    std::unique_ptr<os::TWinFile> source =
        os::TWinFile::Open(compressed_file_, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (!source) Fail(kCannotOpenCompressed, {compressed_file_});
    WriteVolumes(*source, directory, fileName);
  } catch (const EocAborted&) {
    if (OnAborted) OnAborted(*this);
  } catch (const host::EAbort&) {
    // A handler's quiet abort ends the call quietly.
  } catch (...) {
    abort_ = true;
    throw;
  }
}

void TOrlnCompress::WriteToVolumes(std::unique_ptr<os::TWinFile>& dest, int64_t& pos,
                                   std::string& dir, const std::string& fileName,
                                   const uint8_t* data, size_t count) {
  int64_t n = dest->Write(static_cast<uint64_t>(pos), data, count);
  if (n < 0) n = 0;
  pos += n;
  if (static_cast<size_t>(n) == count) return;
  dest.reset();
  if (current_volume_ >= kMaxVolume) Fail(kTooLittleSpace);
  ++current_volume_;
  if (!OnNewDisk) Fail(kNoNewDiskHandler);
  OnNewDisk(*this, current_volume_, dir);
  const std::string path =
      JoinPath(dir, host::ChangeFileExt(fileName, "." + std::to_string(current_volume_)));
  dest = os::TWinFile::Create(path, os::TFileCreation::CreateAlways);
  if (!dest) Fail(kCannotCreateFile, {path});
  const size_t rest = count - static_cast<size_t>(n);
  if (dest->Write(0, data + n, rest) != static_cast<int64_t>(rest)) Fail(kTooLittleSpace);
  pos = static_cast<int64_t>(rest);
}

void TOrlnCompress::WriteVolumes(os::TWinFile& source, const std::string& directory,
                                 const std::string& fileName) {
  std::string dir = directory;
  const std::string firstPath = JoinPath(directory, fileName);
  std::unique_ptr<os::TWinFile> dest =
      os::TWinFile::Create(firstPath, os::TFileCreation::CreateAlways);
  if (!dest) Fail(kCannotCreateFile, {firstPath});

  TFileHeaders table;
  table.SetMultiVolume(true);
  const int count = headers_.Count();
  for (int i = 0; i < count; ++i) {
    TFileHeader h = headers_.GetFileHeader(i);
    h.NextHeader = kArchiveHeadSize + (i + 1) * static_cast<int32_t>(kFileHeaderSize);
    table.Add(h);
  }
  try {
    table.SaveTable(*dest, 0);
  } catch (const EOrlnCompress&) {
    Fail(kTooLittleSpace);
  }

  status_ = TOrlnCompressStatus();
  status_.TotalCompressed = headers_.TotalCompressed();
  status_.TotalUncompressed = headers_.TotalUncompressed();
  int64_t pos = kArchiveHeadSize + static_cast<int64_t>(count) * kFileHeaderSize;
  uint8_t buf[kVolumeCopyPiece];
  for (int i = 0; i < count; ++i) {
    const TFileHeader& from = headers_.GetFileHeader(i);
    TFileHeader& to = table.GetFileHeader(i);
    int64_t srcPos = offset_ + static_cast<int64_t>(from.FirstOffset);
    const int64_t srcEnd = offset_ + static_cast<int64_t>(from.LastOffset) + 1;
    to.FirstOffset = static_cast<int32_t>(pos);
    to.FirstVolume = static_cast<uint8_t>(current_volume_);
    StartFileStatus(from);
    status_.UncompressedSize = from.CompressedSize;  // a copy moves compressed bytes
    while (srcPos < srcEnd) {
      CheckAbort();
      const size_t n = static_cast<size_t>(std::min<int64_t>(kVolumeCopyPiece, srcEnd - srcPos));
      if (source.Read(static_cast<uint64_t>(srcPos), buf, n) != static_cast<int64_t>(n)) Corrupt();
      WriteToVolumes(dest, pos, dir, fileName, buf, n);
      srcPos += static_cast<int64_t>(n);
      status_.FileBytesDone += static_cast<int32_t>(n);
      status_.OverallBytesDone += static_cast<int64_t>(n);
      status_.FileFinished = srcPos == srcEnd;
      ProcessMessages();
      ReportStatus();
    }
    to.LastOffset = static_cast<int32_t>(pos - 1);
    to.LastVolume = static_cast<uint8_t>(current_volume_);
  }
  dest.reset();

  // The last disk may still be in the drive: volume 1 is asked for when its
  // file is not where it was made.
  dir = directory;
  const std::string path = LocateVolume(1, dir, fileName);
  dest = os::TWinFile::Open(path, os::TFileAccess::ReadWrite, os::TFileShare::Exclusive);
  if (!dest) Fail(kCannotOpenCompressed, {path});
  table.SaveTable(*dest, 0);
}

void TOrlnCompress::CopyFile(const std::string& source, const std::string& destination) {
  double sourceDate = 0;
  if (os::WinFileExists(destination)) {
    os::WinGetFileDate(source, sourceDate);
    int decision = CompareWithFile(FileVersion(source), destination, sourceDate);
    if (decision == 0) Fail(kCompareFailed);
    if (decision == 1 || decision == 3) {
      status_ = TOrlnCompressStatus();
      status_.FileName = source;
      status_.FileFinished = true;
      ReportStatus();
      return;
    }
  }
  std::unique_ptr<os::TWinFile> src =
      os::TWinFile::Open(source, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!src) Fail(kCannotOpenFile, {source});
  const int64_t size = src->Size();
  const std::string temp = TempNameBeside(destination);
  std::unique_ptr<os::TWinFile> out = os::TWinFile::Create(temp, os::TFileCreation::CreateNew);
  if (!out) Fail(kCannotCreateFile, {destination});
  TPartialFileGuard guard(out, temp);

  status_ = TOrlnCompressStatus();
  status_.FileName = source;
  status_.UncompressedSize = static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
  status_.TotalUncompressed = size;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kReadPiece]);
  int64_t pos = 0;
  for (;;) {
    if (abort_) throw EUserAbortInstall();
    int64_t n = src->Read(static_cast<uint64_t>(pos), buf.get(), kReadPiece);
    if (n < 0) Fail(kCannotOpenFile, {source});
    if (n == 0) break;
    WriteAll(*out, pos, buf.get(), static_cast<size_t>(n));
    pos += n;
    status_.FileBytesDone = static_cast<int32_t>(std::min<int64_t>(pos, INT32_MAX));
    status_.OverallBytesDone = pos;
    ProcessMessages();
    ReportStatus();
  }
  out.reset();
  double date = 0;
  if (os::WinGetFileDate(source, date)) os::WinSetFileDate(temp, date);
  if (!os::WinReplaceFile(temp, destination)) Fail(kCannotCreateFile, {destination});
  guard.Done();
  status_.FileFinished = true;
  ReportStatus();
}

}  // namespace orln

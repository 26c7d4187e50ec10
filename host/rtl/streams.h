// Streams of the host class library: an abstract TStream with the buffer and
// copy helpers every caller uses, TMemoryStream and TFileStream. Reads and
// writes return the byte count moved; ReadBuffer/WriteBuffer raise when fewer
// bytes moved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/object.h"
#include "os/file.h"

namespace host {

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);

  // Raise EReadError / EWriteError when the whole count cannot be moved.
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);
  // Copies count bytes from source (its whole content from the start when 0).
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t newSize) override;
  void Clear();

  const uint8_t* Memory() const { return data_.data(); }
  uint8_t* Memory() { return data_.data(); }
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& dest);

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// Open modes of TFileStream. fmCreate makes the file, or empties an existing
// one, and opens it for reading and writing.
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmCreate = 0xFFFF;

// A stream over a file on disk. The file is open from construction to
// destruction; a file that cannot be made raises EFCreateError
// "Cannot create file \"<name>\"", one that cannot be opened (missing, no
// permission, a folder) EFOpenError "Cannot open file \"<name>\"". Read and
// Write stop at an I/O error and return the bytes moved so far; Seek returns
// -1 on an error. The file goes through the os layer and is shared with
// other openers.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Cuts or extends the file and leaves the position at the new size.
  // Raises EWriteError when the file cannot be resized.
  void SetSize(int64_t newSize) override;

  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
  std::unique_ptr<os::TOSFile> file_;
  int64_t position_ = 0;
};

}  // namespace host

// Streams of the host class library: an abstract TStream with the buffer and
// copy helpers every caller uses, and TMemoryStream. Reads and writes return the
// byte count moved; ReadBuffer/WriteBuffer raise when fewer bytes moved.
#pragma once

#include <cstdint>
#include <vector>

#include "host/rtl/object.h"

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

}  // namespace host

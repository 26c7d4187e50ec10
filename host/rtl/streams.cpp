#include "host/rtl/streams.h"

#include <algorithm>
#include <cstring>

#include "host/rtl/exceptions.h"

namespace host {

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 0xF000)) + 1);
  while (count > 0) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(count, static_cast<int64_t>(buf.size())));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return total;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min<int64_t>(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case soBeginning: position_ = offset; break;
    case soCurrent: position_ += offset; break;
    case soEnd: position_ = Size() + offset; break;
  }
  return position_;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Stream size cannot be negative");
  data_.resize(static_cast<size_t>(newSize));
  if (position_ > newSize) position_ = newSize;
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t n = source.Size();
  SetSize(n);
  if (n > 0) source.ReadBuffer(data_.data(), static_cast<int32_t>(n));
  position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) {
  if (!data_.empty()) dest.WriteBuffer(data_.data(), static_cast<int32_t>(data_.size()));
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : file_name_(fileName) {
  if (mode == fmCreate) {
    // Made (or emptied) through the os layer, then held like any opened file.
    bool made = os::TOSFile::Create(fileName, os::TFileCreation::CreateAlways) != nullptr;
    if (made)
      file_ = os::TOSFile::Open(fileName, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    if (!file_) throw EFCreateError("Cannot create file \"" + fileName + "\"");
    return;
  }
  os::TFileAccess access;
  switch (mode) {
    case fmOpenRead: access = os::TFileAccess::Read; break;
    case fmOpenWrite: access = os::TFileAccess::Write; break;
    case fmOpenReadWrite: access = os::TFileAccess::ReadWrite; break;
    default: throw EFOpenError("Cannot open file \"" + fileName + "\"");
  }
  // The os layer refuses folders, which open for reading on this platform.
  file_ = os::TOSFile::Open(fileName, access, os::TFileShare::DenyNone);
  if (!file_) throw EFOpenError("Cannot open file \"" + fileName + "\"");
}

TFileStream::~TFileStream() = default;

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  const int64_t n = file_->Read(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n <= 0) return 0;
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  const int64_t n =
      file_->Write(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n <= 0) return 0;
  position_ += n;
  return static_cast<int32_t>(n);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == soCurrent) base = position_;
  if (origin == soEnd) {
    base = file_->Size();
    if (base < 0) return -1;
  }
  if (base + offset < 0) return -1;
  position_ = base + offset;
  return position_;
}

void TFileStream::SetSize(int64_t newSize) {
  if (newSize < 0 || !file_->SetSize(static_cast<uint64_t>(newSize)))
    throw EWriteError("Stream write error");
  position_ = newSize;
}

}  // namespace host

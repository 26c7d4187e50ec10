#include "installer/engine/archive/win_file_stream.h"

namespace orln {

int32_t TWinFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  int64_t n = file_.Read(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n <= 0) return 0;
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TWinFileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  int64_t n = file_.Write(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n <= 0) return 0;
  position_ += n;
  return static_cast<int32_t>(n);
}

int64_t TWinFileStream::Seek(int64_t offset, host::TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == host::soCurrent) {
    base = position_;
  } else if (origin == host::soEnd) {
    base = file_.Size();
    if (base < 0) return -1;
  }
  if (offset < 0 && base + offset < 0) return -1;
  position_ = base + offset;
  return position_;
}

}  // namespace orln

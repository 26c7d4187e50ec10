#include "installer/engine/archive/compression.h"

#include <climits>

#include "host/rtl/exceptions.h"

namespace orln {

namespace {

[[noreturn]] void InvalidOperation() {
  throw host::EStreamError("Invalid stream operation");
}

}  // namespace

int ZlibLevel(TCompressionLevel level) {
  switch (level) {
    case colNone:
      return 0;
    case colFastest:
      return 1;
    case colDefault:
      return -1;
    case colMax:
      return 9;
  }
  return 9;
}

TCompressionStream::TCompressionStream(TCompressionLevel level, host::TStream& target,
                                       TProgress progress)
    : target_(target),
      target_pos_(target.Position()),
      buffer_(new uint8_t[kCompressionBufferSize]),
      progress_(std::move(progress)) {
  if (deflateInit_(&zs_, ZlibLevel(level), kZlibInitVersion, static_cast<int>(sizeof(z_stream))) !=
      Z_OK) {
    throw host::EStreamError("Could not start the compression");
  }
  zs_.next_out = buffer_.get();
  zs_.avail_out = kCompressionBufferSize;
}

TCompressionStream::~TCompressionStream() {
  deflateEnd(&zs_);
}

int32_t TCompressionStream::Read(void*, int32_t) {
  InvalidOperation();
}

int64_t TCompressionStream::Seek(int64_t offset, host::TSeekOrigin origin) {
  if (offset != 0 || origin != host::soCurrent) InvalidOperation();
  return total_in_;
}

void TCompressionStream::FlushBuffer(size_t count) {
  if (count == 0) return;
  if (target_.Position() != target_pos_) target_.SetPosition(target_pos_);
  target_.WriteBuffer(buffer_.get(), static_cast<int32_t>(count));
  target_pos_ += static_cast<int64_t>(count);
  total_out_ += static_cast<int64_t>(count);
  zs_.next_out = buffer_.get();
  zs_.avail_out = kCompressionBufferSize;
}

int32_t TCompressionStream::Write(const void* buffer, int32_t count) {
  if (finished_) InvalidOperation();
  if (count <= 0) return 0;
  zs_.next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
  zs_.avail_in = static_cast<uInt>(count);
  const int64_t start = total_in_;
  while (zs_.avail_in > 0) {
    if (deflate(&zs_, Z_NO_FLUSH) == Z_STREAM_ERROR) throw host::EStreamError("Compression error");
    total_in_ = start + (count - static_cast<int64_t>(zs_.avail_in));
    if (zs_.avail_out == 0) {
      FlushBuffer(kCompressionBufferSize);
      if (progress_) progress_(*this);
    }
  }
  return count;
}

void TCompressionStream::Finish() {
  if (finished_) return;
  zs_.next_in = nullptr;
  zs_.avail_in = 0;
  for (;;) {
    int rc = deflate(&zs_, Z_FINISH);
    if (rc == Z_STREAM_ERROR) throw host::EStreamError("Compression error");
    if (zs_.avail_out == 0 || rc == Z_STREAM_END) {
      FlushBuffer(kCompressionBufferSize - zs_.avail_out);
    }
    if (rc == Z_STREAM_END) break;
  }
  finished_ = true;
  if (progress_) progress_(*this);
}

}  // namespace orln

// TCompressionStream: a write-only stream that deflates what is written to it
// into a target stream as one zlib stream (zlib header, deflate data,
// Adler-32 trailer). Output goes to the target in whole 64 KB buffers, and
// the progress callback runs after each one and once more at Finish.
//
// Callers must keep:
//  - Finish is called once, after the last Write, to flush the rest of the
//    stream; a stream destroyed without Finish (an error on the way) writes
//    nothing more and only frees zlib's state.
//  - The target outlives the stream. The stream writes at the position the
//    target had when it was made, and goes back there should the target have
//    been moved by someone else in between.
//  - Read and every Seek other than (0, soCurrent) raise "Invalid stream
//    operation"; Seek(0, soCurrent) answers the bytes taken in so far.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "host/rtl/streams.h"

namespace orln {

// The zlib levels of the archive's compression levels.
enum TCompressionLevel { colNone, colFastest, colDefault, colMax };
int ZlibLevel(TCompressionLevel level);

// The version text handed to zlib when a stream starts. zlib compares only
// its first digit with its own.
inline constexpr const char* kZlibInitVersion = "1.0.4";

class TCompressionStream : public host::TStream {
 public:
  using TProgress = std::function<void(TCompressionStream&)>;

  TCompressionStream(TCompressionLevel level, host::TStream& target, TProgress progress = {});
  ~TCompressionStream() override;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, host::TSeekOrigin origin) override;

  // Ends the zlib stream and writes what is left.
  void Finish();

  int64_t BytesIn() const { return total_in_; }
  int64_t BytesOut() const { return total_out_; }

 private:
  void FlushBuffer(size_t count);

  host::TStream& target_;
  int64_t target_pos_;
  z_stream zs_{};
  std::unique_ptr<uint8_t[]> buffer_;
  TProgress progress_;
  int64_t total_in_ = 0;
  int64_t total_out_ = 0;
  bool finished_ = false;
};

inline constexpr size_t kCompressionBufferSize = 65536;

}  // namespace orln

// A stream over an open TWinFile (os/win_file.h), so that stream writers such
// as TCompressionStream can write into an archive on a virtual path.
//
// Callers must keep: the file outlives the stream. Write returns fewer bytes
// than asked when the drive is full (the file's GetLastWinError says so);
// the stream never raises on its own.
#pragma once

#include <cstdint>

#include "host/rtl/streams.h"
#include "os/win_file.h"

namespace orln {

class TWinFileStream : public host::TStream {
 public:
  explicit TWinFileStream(os::TWinFile& file, int64_t position = 0)
      : file_(file), position_(position) {}

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, host::TSeekOrigin origin) override;
  int64_t Size() override { return file_.Size(); }

 private:
  os::TWinFile& file_;
  int64_t position_;
};

}  // namespace orln

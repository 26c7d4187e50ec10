#include "os/testing/mem_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/sys_info.h"

namespace os::test {

const char* FileFaultName(TFileFaultKind kind) {
  switch (kind) {
    case fkNone:
      return "none";
    case fkShortWrite:
      return "short write";
    case fkDiskFull:
      return "disk full";
    case fkReadError:
      return "read error";
    case fkWriteError:
      return "write error";
    case fkFlushError:
      return "flush error";
    case fkCrash:
      return "crash";
  }
  return "?";
}

void TMemFile::Inject(TFileFaultKind kind, uint64_t n) {
  Heal();
  kind_ = kind;
  fired_ = false;
  uint64_t base = writes_;
  if (kind == fkReadError) base = reads_;
  if (kind == fkFlushError) base = flushes_;
  // A crash "after the 0th write" comes before any; the others strike at a
  // call, so 0 and 1 both mean the next one.
  if (kind == fkCrash)
    at_ = base + n;
  else
    at_ = base + std::max<uint64_t>(n, 1);
  if (kind == fkCrash && n == 0) crashed_ = true;
  if (kind == fkDiskFull && n == 0) at_ = base + 1;
}

void TMemFile::Heal() {
  kind_ = fkNone;
  full_ = false;
  crashed_ = false;
}

bool TMemFile::Strikes(TFileFaultKind kind, uint64_t counter) const {
  return kind_ == kind && counter == at_;
}

bool TMemFile::Fail(int code) {
  SetLastOSError(code);
  return false;
}

int64_t TMemFile::Read(uint64_t offset, void* buffer, size_t count) {
  ++reads_;
  if (Strikes(fkReadError, reads_)) {
    fired_ = true;
    Fail(EIO);
    return -1;
  }
  if (offset >= data_.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, data_.size() - offset));
  std::memcpy(buffer, data_.data() + offset, n);
  return static_cast<int64_t>(n);
}

int64_t TMemFile::Write(uint64_t offset, const void* buffer, size_t count) {
  ++writes_;
  if (crashed_) {
    fired_ = true;
    return static_cast<int64_t>(count);
  }
  if (kind_ == fkCrash && writes_ == at_) crashed_ = true;  // this one still lands
  if (Strikes(fkWriteError, writes_)) {
    fired_ = true;
    Fail(EIO);
    return -1;
  }
  if (Strikes(fkDiskFull, writes_)) {
    full_ = true;
    limit_ = data_.size();
  }
  if (full_ && offset + count > std::max<uint64_t>(limit_, data_.size())) {
    fired_ = true;
    Fail(ENOSPC);
    return -1;
  }
  size_t n = count;
  if (Strikes(fkShortWrite, writes_)) {
    fired_ = true;
    n = count / 2;
  }
  if (offset + n > data_.size()) data_.resize(static_cast<size_t>(offset + n), '\0');
  if (n) std::memcpy(data_.data() + offset, buffer, n);
  return static_cast<int64_t>(n);
}

int64_t TMemFile::Size() {
  return static_cast<int64_t>(data_.size());
}

bool TMemFile::SetSize(uint64_t size) {
  if (crashed_) {
    fired_ = true;
    return true;
  }
  if (full_ && size > std::max<uint64_t>(limit_, data_.size())) {
    fired_ = true;
    return Fail(ENOSPC);
  }
  data_.resize(static_cast<size_t>(size), '\0');
  return true;
}

bool TMemFile::Flush() {
  ++flushes_;
  if (Strikes(fkFlushError, flushes_)) {
    fired_ = true;
    return Fail(EIO);
  }
  return true;
}

}  // namespace os::test

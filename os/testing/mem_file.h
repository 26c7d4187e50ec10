// TMemFile: the in-memory twin of a file's data side (file_io.h), for tests.
// It holds the bytes in memory and fails on cue: the test arms one fault,
// counted from the arming, and the twin breaks on the n-th call it names.
//
//  - fkShortWrite: the n-th write stores only the first half of its bytes
//    and returns that count. Once.
//  - fkDiskFull: from the n-th write on, the device has no room left: a
//    write or SetSize that would take the file past the size it had then
//    fails with ENOSPC and stores nothing; writes inside it still succeed.
//    Until Heal.
//  - fkReadError, fkWriteError, fkFlushError: the n-th read, write or flush
//    fails with EIO and does nothing. Once.
//  - fkCrash: the machine stops after the n-th write: every later write and
//    SetSize is dropped though reported done, as if the process had died
//    and its work never reached the device. Until Heal, which "restarts".
//
// Header-only, like every test helper, so that nothing of it enters a library.
//
// Callers must keep:
//  - n counts from 1 (0 is taken as 1), except that a crash at 0 comes
//    before any write.
//  - Counters count every call, faulty or not, since construction or
//    ResetCounters; a test runs an operation once without a fault to learn
//    how many transfers it makes, then once per n.
//  - One thread at a time, like the real file.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "os/file_io.h"
#include "os/sys_info.h"

namespace os::test {

enum TFileFaultKind {
  fkNone,
  fkShortWrite,
  fkDiskFull,
  fkReadError,
  fkWriteError,
  fkFlushError,
  fkCrash,
};

// "none", "short write", "disk full", "read error", "write error",
// "flush error", "crash".
inline const char* FileFaultName(TFileFaultKind kind);

class TMemFile final : public TFileIO {
 public:
  TMemFile() = default;
  explicit TMemFile(std::string contents) : data_(std::move(contents)) {}

  int64_t Read(uint64_t offset, void* buffer, size_t count) override;
  int64_t Write(uint64_t offset, const void* buffer, size_t count) override;
  int64_t Size() override;
  bool SetSize(uint64_t size) override;
  bool Flush() override;

  // The bytes as the device holds them.
  const std::string& Contents() const { return data_; }
  void SetContents(std::string contents) { data_ = std::move(contents); }

  // Arms `kind` at the n-th call it names, counted from now; a fault armed
  // before is dropped.
  void Inject(TFileFaultKind kind, uint64_t n);
  // Ends a lasting fault (a full disk, a crash) and disarms.
  void Heal();
  TFileFaultKind Fault() const { return kind_; }
  // Whether the armed fault has struck (for a crash: a write was dropped or
  // the crash point was passed).
  bool Fired() const { return fired_; }
  // Whether the machine has stopped: the crash point is passed and writes
  // are dropped (until Heal). Another file of the same machine asks this to
  // drop its writes too.
  bool Crashed() const { return crashed_; }

  uint64_t Reads() const { return reads_; }
  uint64_t Writes() const { return writes_; }
  uint64_t Flushes() const { return flushes_; }
  void ResetCounters() { reads_ = writes_ = flushes_ = 0; }

 private:
  // Whether this call (already counted in `counter`) is the armed one.
  bool Strikes(TFileFaultKind kind, uint64_t counter) const;
  bool Fail(int code);

  std::string data_;
  TFileFaultKind kind_ = fkNone;
  uint64_t at_ = 0;     // the counter value that triggers
  uint64_t limit_ = 0;  // the full disk's size
  bool fired_ = false;
  bool full_ = false;
  bool crashed_ = false;
  uint64_t reads_ = 0;
  uint64_t writes_ = 0;
  uint64_t flushes_ = 0;
};

// ---- implementation ----
inline const char* FileFaultName(TFileFaultKind kind) {
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

inline void TMemFile::Inject(TFileFaultKind kind, uint64_t n) {
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
}

inline void TMemFile::Heal() {
  kind_ = fkNone;
  full_ = false;
  crashed_ = false;
}

inline bool TMemFile::Strikes(TFileFaultKind kind, uint64_t counter) const {
  return kind_ == kind && counter == at_;
}

inline bool TMemFile::Fail(int code) {
  SetLastOSError(code);
  return false;
}

inline int64_t TMemFile::Read(uint64_t offset, void* buffer, size_t count) {
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

inline int64_t TMemFile::Write(uint64_t offset, const void* buffer, size_t count) {
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

inline int64_t TMemFile::Size() {
  return static_cast<int64_t>(data_.size());
}

inline bool TMemFile::SetSize(uint64_t size) {
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

inline bool TMemFile::Flush() {
  ++flushes_;
  if (Strikes(fkFlushError, flushes_)) {
    fired_ = true;
    return Fail(EIO);
  }
  return true;
}

}  // namespace os::test

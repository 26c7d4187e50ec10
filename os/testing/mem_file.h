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
// Callers must keep:
//  - n counts from 1; n = 0 means the very next call for fkDiskFull and
//    fkCrash (a crash before any write), and is the same as 1 otherwise.
//  - Counters count every call, faulty or not, since construction or
//    ResetCounters; a test runs an operation once without a fault to learn
//    how many transfers it makes, then once per n.
//  - One thread at a time, like the real file.
#pragma once

#include <cstdint>
#include <string>

#include "os/file_io.h"

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
const char* FileFaultName(TFileFaultKind kind);

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
  uint64_t at_ = 0;  // the counter value that triggers
  uint64_t limit_ = 0;  // the full disk's size
  bool fired_ = false;
  bool full_ = false;
  bool crashed_ = false;
  uint64_t reads_ = 0;
  uint64_t writes_ = 0;
  uint64_t flushes_ = 0;
};

}  // namespace os::test

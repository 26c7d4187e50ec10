// TFileIO: the data side of an open file, the one way the engine moves the
// bytes of its database file. TOSFile (file.h) is the real file; tests hand
// the engine an in-memory twin instead (os/testing/mem_file.h) that can fail
// on cue, so that every path through a commit or an allocation can be made
// to meet a short write, a full disk or an I/O error.
//
// The interface is kept narrow on purpose: positioned transfers, the size,
// cutting or extending, and flushing. Locks, share modes, identity and paths
// stay with TOSFile, on the real file, whatever carries the data.
//
// Callers must keep (and every implementation gives):
//  - Failure is the return value (-1 or false) with an errno value in
//    os::GetLastOSError(); nothing throws but std::bad_alloc.
//  - Read returns the bytes read; fewer than asked means the end of file.
//  - Write returns the bytes written; fewer than asked (a short write) means
//    the device took only that much: the rest was not written, and the caller
//    must treat the transfer as failed. Writing past the end extends the
//    file, and a gap reads back as zeros.
//  - WriteGather writes its pieces one after another as one transfer (the
//    real file in one system call where it can, a long one in calls of at
//    most 16 KiB): a run of adjacent pages costs one call, not one per page.
//    Short writes count as for Write.
//  - Flush returns once what was written is on the device.
//  - An object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

// One piece of a gathered write.
struct TIoPiece {
  const void* Data;
  size_t Count;
};

class TFileIO {
 public:
  TFileIO() = default;
  virtual ~TFileIO() = default;
  TFileIO(const TFileIO&) = delete;
  TFileIO& operator=(const TFileIO&) = delete;

  // Reads up to `count` bytes at `offset`; the number read, or -1.
  virtual int64_t Read(uint64_t offset, void* buffer, size_t count) = 0;
  // Writes `count` bytes at `offset`; the number written, or -1.
  virtual int64_t Write(uint64_t offset, const void* buffer, size_t count) = 0;
  // The size in bytes, or -1.
  virtual int64_t Size() = 0;
  // Writes the `count` pieces back to back from `offset`; the number of
  // bytes written, or -1. This one writes piece by piece, so that a twin
  // failing on its n-th write fails on the same piece as before.
  virtual int64_t WriteGather(uint64_t offset, const TIoPiece* pieces, size_t count) {
    int64_t done = 0;
    for (size_t i = 0; i < count; ++i) {
      const int64_t n = Write(offset + static_cast<uint64_t>(done), pieces[i].Data, pieces[i].Count);
      if (n < 0) return done == 0 ? -1 : done;
      done += n;
      if (static_cast<size_t>(n) < pieces[i].Count) break;
    }
    return done;
  }
  // Cuts or extends (with zeros) to `size` bytes.
  virtual bool SetSize(uint64_t size) = 0;
  // Writes data and metadata through to the device.
  virtual bool Flush() = 0;
};

}  // namespace os

// TPageIO: whole-page transfers and the end of file, as the map pages need
// them. The disk manager provides it; the map page manager sees nothing else
// of the disk manager, so neither includes the other's header.
//
// Callers must keep:
//  - Every call is made while the provider is open and, for the map pages,
//    under its header lock (see map_page_mgr.h).
//  - Buffers hold pageCount pages; addresses are page-aligned.
#pragma once

#include <cstdint>

namespace tav {

class TPageIO {
 public:
  // pageCount pages at `address`, for `owner` with `accessFlags`.
  virtual void ReadPages(uint32_t address, uint32_t pageCount, void* buffer, uint32_t owner,
                         uint32_t accessFlags) = 0;
  virtual void WritePages(uint32_t address, uint32_t pageCount, const void* buffer, uint32_t owner,
                          uint32_t accessFlags) = 0;
  // Writes pageCount pages at the end of file and returns where.
  virtual uint32_t AppendNewPages(const void* buffer, uint32_t pageCount, uint32_t owner,
                                  uint32_t accessFlags) = 0;
  // The end of file as this connection sees it (kept, see TTavFile::FileSize).
  virtual int64_t GetFileSize() = 0;
  // The same, the file's size asked of the system afresh: before calling a
  // page past the kept end damaged.
  virtual int64_t RefreshFileSize() = 0;

 protected:
  ~TPageIO() = default;
};

}  // namespace tav

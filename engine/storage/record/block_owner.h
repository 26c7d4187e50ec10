// TBlockOwnerCheck: whether an address that came from stored data (an index
// leaf, a bookmark, a BLOB link) names a block of one disk interface's own
// pages. Every page the block touches must carry the interface's owner code
// (table id x 16 + usage) in the map, and where a block request is a single
// page the block must start at a whole multiple of the block size in it.
// A block of another table or usage, a free page or the file's own pages is
// refused with 8581 before anything is read, written or freed.
//
// Callers must keep:
//  - Open after the interface is set up (disk manager, table id, usage,
//    block size, mode); the interface is borrowed and must outlive the
//    check's use. On a memory interface the check passes everything: its
//    addresses are handles that only its own blocks answer to.
//  - The check asks the disk manager, which remembers the owners it has
//    read (TMapPageMgr::PageOwnerCode), so a check costs no file access
//    once a page is known.
#pragma once

#include <cstdint>

namespace tav {

class TBaseIOInterface;
class TDiskMgr;

class TBlockOwnerCheck {
 public:
  void Open(TBaseIOInterface& io);
  void Close() {
    io_ = nullptr;
    passed_page_ = kNoPage;
  }
  // 8581 from `caller` unless address names a block of the interface's pages.
  void Check(uint32_t address, const char* caller) const {
    if (io_) CheckOnDisk(address, caller);
  }

 private:
  void CheckOnDisk(uint32_t address, const char* caller) const;
  // The block ending at `end` lies within the file's reach and, where a
  // request is one page, on a whole block of its page.
  bool BlockFits(uint32_t address, uint64_t end) const;
  // The whole check, page by page, without the passed page.
  void CheckPages(uint32_t address, const char* caller) const;

  TBaseIOInterface* io_ = nullptr;  // set only for disk interfaces
  TDiskMgr* disk_ = nullptr;
  uint32_t block_align_ = 0;  // block size when requests are one page, else 0
  // The page of the last one-page block that passed, for its owner code, and
  // the generation of the disk manager's remembered owners that answered:
  // while that generation holds, the page would be answered the same again.
  // Blocks of one page follow each other on it (a record read, then
  // deleted; the next record of a walk).
  static constexpr uint64_t kNoPage = UINT64_MAX;
  mutable uint64_t passed_page_ = kNoPage;
  mutable uint64_t passed_generation_ = 0;
  mutable uint16_t passed_owner_ = 0;
};

}  // namespace tav

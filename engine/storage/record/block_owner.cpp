#include "engine/storage/record/block_owner.h"

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/record/io_interface.h"

namespace tav {

void TBlockOwnerCheck::Open(TBaseIOInterface& io) {
  io_ = nullptr;
  disk_ = nullptr;
  block_align_ = 0;
  const bool onDisk = io.IOMode() == iomDiskFixedSize || io.IOMode() == iomDiskVariableSize;
  if (!onDisk || !io.DiskMgr() || io.BlockSize() == 0) return;
  io_ = &io;
  disk_ = io.DiskMgr();
  const uint32_t pageSize = disk_->PageSize();
  const uint32_t bs = io.BlockSize();
  const uint64_t request = io.IOMode() == iomDiskFixedSize
                               ? GetBestPageRequestSize(bs, pageSize)
                               : (uint64_t{bs} + pageSize - 1) / pageSize * pageSize;
  // A request of one page holds its blocks at whole multiples of the block
  // size from the page's start; a longer request starts on a page the map
  // does not mark, so there only the owner can be checked.
  if (request == pageSize) block_align_ = bs;
}

void TBlockOwnerCheck::CheckOnDisk(uint32_t address, const char* caller) const {
  const uint32_t pageSize = disk_->PageSize();
  const uint64_t end = uint64_t{address} + io_->BlockSize();
  bool ok = end <= static_cast<uint64_t>(kMaxFileEnd);
  if (ok && block_align_ != 0) {
    const uint32_t offset = address & (pageSize - 1);
    ok = offset % block_align_ == 0 && offset + block_align_ <= pageSize;
  }
  const uint16_t owner = io_->PageOwner();
  for (uint64_t page = address & ~uint64_t{pageSize - 1}; ok && page < end; page += pageSize) {
    const auto at = static_cast<uint32_t>(page);
    // What is remembered of a page may be another table's, from before
    // another connection freed the page and gave it to this one: the entry
    // is read again before the block is refused.
    ok = disk_->GetPageOwnerCode(at) == owner || disk_->RereadPageOwnerCode(at) == owner;
  }
  if (!ok)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Block address %u does not lie in the owner's pages (%u)",
                        {address, static_cast<uint32_t>(owner)});
}

}  // namespace tav

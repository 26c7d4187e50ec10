#include "engine/storage/record/block_owner.h"

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/map_page_mgr.h"
#include "engine/storage/record/io_interface.h"

namespace tav {

void TBlockOwnerCheck::Open(TBaseIOInterface& io) {
  io_ = nullptr;
  disk_ = nullptr;
  block_align_ = 0;
  passed_page_ = kNoPage;
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

bool TBlockOwnerCheck::BlockFits(uint32_t address, uint64_t end) const {
  if (end > static_cast<uint64_t>(kMaxFileEnd)) return false;
  if (block_align_ == 0) return true;
  const uint32_t offset = address & (disk_->PageSize() - 1);
  return offset % block_align_ == 0 && offset + block_align_ <= disk_->PageSize();
}

void TBlockOwnerCheck::CheckOnDisk(uint32_t address, const char* caller) const {
  // A block of the page that passed last: only what concerns the block
  // itself is looked at again.
  const uint32_t pageSize = disk_->PageSize();
  const uint64_t first = address & ~uint64_t{pageSize - 1};
  const uint64_t end = uint64_t{address} + io_->BlockSize();
  if (first == passed_page_ && end <= first + pageSize && io_->PageOwner() == passed_owner_ &&
      BlockFits(address, end)) {
    const TMapPageMgr* map = disk_->MapPageMgr();
    if (map && map->OwnersGeneration() == passed_generation_ && disk_->IsOpen()) return;
  }
  CheckPages(address, caller);
}

void TBlockOwnerCheck::CheckPages(uint32_t address, const char* caller) const {
  const uint32_t pageSize = disk_->PageSize();
  const uint64_t end = uint64_t{address} + io_->BlockSize();
  bool ok = BlockFits(address, end);
  const uint16_t owner = io_->PageOwner();
  const uint64_t first = address & ~uint64_t{pageSize - 1};
  passed_page_ = kNoPage;
  // A block of one page whose owner is remembered is answered from that
  // alone, and the page is kept as the one that passed (a walk in key order
  // comes to a new page at nearly every record).
  const TMapPageMgr* map = disk_->MapPageMgr();
  const bool onePage = end <= first + pageSize;
  const auto keep = [&] {
    uint16_t code;
    if (!onePage || !map || !map->KnownPageOwner(static_cast<uint32_t>(first), code) ||
        code != owner)
      return false;
    passed_page_ = first;
    passed_owner_ = owner;
    passed_generation_ = map->OwnersGeneration();
    return true;
  };
  if (ok && disk_->IsOpen() && keep()) return;
  for (uint64_t page = first; ok && page < end; page += pageSize) {
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
  // Only an answer that came from the remembered owners is kept: one read
  // from the map each time is asked for each time.
  keep();
}

}  // namespace tav

#include "engine/storage/file/map_page_mgr.h"

#include "host/rtl/le_bytes.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/storage/file/global_hdr.h"
#include "engine/storage/file/page_io.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/tav_file.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"

namespace tav {

namespace {

constexpr const char* kBadSegment = "Empty segment found is invalid";
using host::GetU16;
using host::GetU32;
using host::PutU16;
using host::PutU32;

constexpr const char* kBadMapping = "Error in setting map flags - mapping corrupted";
constexpr const char* kBadPageNo = "Map Page pageno invalid";
constexpr const char* kBadAddress = "Map Page address invalid";
constexpr const char* kIllegalAddress = "Illegal map page address";
// Table page owners remembered at most: 256 MB of 4096-byte pages.
constexpr size_t kMaxKnownPageOwners = 65536;

// Shared by every manager, so that no two ever hand out the same generation.
std::atomic<uint64_t> owners_generations{0};





}  // namespace

TMapPageMgr::TMapPageMgr(uint32_t pageSize) : entries_(0), page_shift_(0), page_size_(pageSize) {
  TAV_ASSERT(pageSize >= kMinPageSize && (pageSize & (pageSize - 1)) == 0,
             "Invalid map page size");
  entries_ = (pageSize - kMapPageHdrSize) / 2;
  while ((uint32_t{1} << page_shift_) < pageSize) ++page_shift_;
  buffer_.assign(pageSize, 0);
}

// ---- the buffer ----

uint16_t TMapPageMgr::EntryAtOffset(uint32_t offset) const {
  return GetU16(buffer_.data() + offset);
}

void TMapPageMgr::SetEntryAtOffset(uint32_t offset, uint16_t value) {
  PutU16(buffer_.data() + offset, value);
}

uint16_t TMapPageMgr::HeadOffset() const {
  return GetU16(buffer_.data() + kMapPageFirstFreeOffset);
}

void TMapPageMgr::SetHeadOffset(uint16_t offset) {
  PutU16(buffer_.data() + kMapPageFirstFreeOffset, offset);
}

uint32_t TMapPageMgr::NextLink() const {
  return GetU32(buffer_.data() + kMapPageNextOffset);
}

uint32_t TMapPageMgr::CurrentMapPageID() const {
  return GetU32(buffer_.data() + kMapPageSeqOffset);
}

bool TMapPageMgr::ValidEntryOffset(uint32_t offset) const {
  return offset >= kMapPageHdrSize && offset <= page_size_ - 2 && (offset & 1) == 0;
}

std::vector<uint16_t> TMapPageMgr::ReadChain() const {
  std::vector<uint16_t> chain;
  // Pages that can never be free: the fixed area, and this map page itself.
  const uint64_t firstPage = uint64_t{CurrentMapPageID()} * entries_;
  const uint64_t ownPage = buffer_address_ >> page_shift_;
  uint32_t offset = HeadOffset();
  while (offset != 0) {
    // A chain longer than the page has entries must run in a circle.
    if (!ValidEntryOffset(offset) || chain.size() >= entries_)
      TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.FindEmptyPagesInMap", kBadSegment);
    const uint16_t entry = EntryAtOffset(offset);
    const uint64_t page = firstPage + EntryIndex(offset);
    if ((entry & kMapEntryFree) == 0 || page < kFixedAreaPages || page == ownPage)
      TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.FindEmptyPagesInMap", kBadSegment);
    chain.push_back(static_cast<uint16_t>(offset));
    offset = entry & static_cast<uint16_t>(~kMapEntryFree);
  }
  return chain;
}

std::vector<uint16_t>& TMapPageMgr::Chain() {
  const bool kept = chain_address_ != 0 && chain_address_ == buffer_address_ && chain_page_ == buffer_;
  // The caller may change the chain: until KeepChain it stands for no page,
  // so that a failure halfway leaves nothing to be taken for checked.
  chain_address_ = 0;
  if (kept) {
#ifndef NDEBUG
    TAV_ASSERT(chain_ == ReadChain(), "Kept map page chain differs from the page");
#endif
    return chain_;
  }
  chain_ = ReadChain();
  chain_sorted_ = std::is_sorted(chain_.begin(), chain_.end());
  return chain_;
}

void TMapPageMgr::KeepChain(bool sorted) {
  chain_page_ = buffer_;
  chain_address_ = buffer_address_;
  chain_sorted_ = sorted;
}

void TMapPageMgr::LinkChain(const std::vector<uint16_t>& offsets) {
  SetHeadOffset(offsets.empty() ? 0 : offsets.front());
  for (size_t k = 0; k < offsets.size(); ++k) {
    const uint16_t next = k + 1 < offsets.size() ? offsets[k + 1] : 0;
    SetEntryAtOffset(offsets[k], static_cast<uint16_t>(kMapEntryFree | next));
  }
}

void TMapPageMgr::OrderEmptySegments() {
  std::vector<uint16_t>& chain = Chain();
  std::sort(chain.begin(), chain.end());
  LinkChain(chain);
  KeepChain(true);
}

int64_t TMapPageMgr::FindEmptyPagesInMap(uint32_t count) {
  std::vector<uint16_t>& chain = Chain();
  size_t runStart = 0;
  uint32_t runLength = 0;
  for (size_t k = 0; k < chain.size(); ++k) {
    if (k > 0 && chain[k] == chain[k - 1] + 2) {
      ++runLength;
    } else {
      runStart = k;
      runLength = 1;
    }
    if (runLength < count) continue;
    // Only the run leaves the chain: whatever lay before it stays linked,
    // through the run's predecessor or the head.
    const uint16_t after = k + 1 < chain.size() ? chain[k + 1] : 0;
    if (runStart == 0)
      SetHeadOffset(after);
    else
      SetEntryAtOffset(chain[runStart - 1], static_cast<uint16_t>(kMapEntryFree | after));
    const int64_t index = EntryIndex(chain[runStart]);
    chain.erase(chain.begin() + static_cast<std::ptrdiff_t>(runStart),
                chain.begin() + static_cast<std::ptrdiff_t>(k + 1));
    KeepChain(chain_sorted_);
    return index;
  }
  KeepChain(chain_sorted_);
  return -1;
}

uint32_t TMapPageMgr::PageAddress(uint32_t seq, uint32_t index) const {
  const uint64_t address = (uint64_t{seq} * entries_ + index) << page_shift_;
  if (address >= static_cast<uint64_t>(kMaxFileEnd))
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.PageAddress", kBadPageNo);
  return static_cast<uint32_t>(address);
}

// ---- reading and finding map pages ----

void TMapPageMgr::CheckMapPageAddress(uint32_t address) const {
  // Map pages lie after the fixed area, on a page boundary, inside the file.
  if (address == 0 || (address & (page_size_ - 1)) != 0 ||
      address < uint64_t{kFixedAreaPages} * page_size_ ||
      (int64_t{address} + page_size_ > page_io_->GetFileSize() &&
       int64_t{address} + page_size_ > page_io_->RefreshFileSize()))
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SearchMapsForMapPage", kBadAddress);
}

void TMapPageMgr::ReadMapPage(uint32_t address) {
  CheckMapPageAddress(address);
  page_io_->ReadPages(address, 1, buffer_.data(), 0, 0);
  buffer_address_ = address;
}

void TMapPageMgr::WriteMapPage() {
  page_io_->WritePages(buffer_address_, 1, buffer_.data(), 0, 0);
}

uint32_t TMapPageMgr::MapPageAddress(uint32_t index) {
  if (index >= global_hdr_->MapPageCount())
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SearchMapsForMapPage", kBadPageNo);
  const uint32_t first = global_hdr_->FirstMapPage();
  if (map_addrs_.empty() || map_addrs_.front() != first) {
    map_addrs_.clear();
    CheckMapPageAddress(first);
    map_addrs_.push_back(first);
  }
  // The walk is bounded by the index, itself below MapPageCount; each page
  // must carry its place in the chain as its sequence number, so a link into
  // a data page or back into the chain is caught at once.
  while (map_addrs_.size() <= index) {
    const auto at = static_cast<uint32_t>(map_addrs_.size() - 1);
    ReadMapPage(map_addrs_.back());
    if (CurrentMapPageID() != at)
      TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SearchMapsForMapPage", kBadPageNo);
    const uint32_t next = NextLink();
    if (next == 0)
      TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SearchMapsForMapPage",
                       kIllegalAddress);
    CheckMapPageAddress(next);
    map_addrs_.push_back(next);
  }
  return map_addrs_[index];
}

uint32_t TMapPageMgr::SearchMapsForMapPage(uint32_t index) {
  const uint32_t address = MapPageAddress(index);
  ReadMapPage(address);
  if (CurrentMapPageID() != index)
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SearchMapsForMapPage", kBadPageNo);
  return address;
}

uint32_t TMapPageMgr::SearchMapsForEmptyPages(uint32_t count) {
  const uint32_t mapCount = global_hdr_->MapPageCount();
  for (uint32_t i = 0; i < mapCount; ++i) {
    SearchMapsForMapPage(i);
    const int64_t index = FindEmptyPagesInMap(count);
    if (index < 0) continue;
    WriteMapPage();
    return PageAddress(i, static_cast<uint32_t>(index));
  }
  return 0;
}

uint32_t TMapPageMgr::SearchMapsForFirstEmptyMapPage() {
  const uint32_t mapCount = global_hdr_->MapPageCount();
  for (uint32_t i = 0; i < mapCount; ++i) {
    const uint32_t address = SearchMapsForMapPage(i);
    if (HeadOffset() != 0) return address;
  }
  return 0;
}

uint32_t TMapPageMgr::GetNextEmptyPageAddress(uint32_t count) {
  // A run never crosses a map page.
  if (count == 0 || count > entries_) return 0;
  const uint32_t hint = global_hdr_->FirstMapPageEmpty();
  if (hint == 0) return 0;
  ReadMapPage(hint);
  const uint32_t seq = CurrentMapPageID();
  // The hint must be one of the map pages, not merely look like one.
  if (seq >= global_hdr_->MapPageCount() || MapPageAddress(seq) != hint)
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.FindEmptyPages", kBadPageNo);
  // Finding the address may have read other map pages into the buffer.
  if (buffer_address_ != hint) ReadMapPage(hint);
  const int64_t index = FindEmptyPagesInMap(count);
  if (index >= 0) {
    WriteMapPage();
    return PageAddress(seq, static_cast<uint32_t>(index));
  }
  return SearchMapsForEmptyPages(count);
}

// ---- changing entries ----

uint32_t TMapPageMgr::AddNewMapPage() {
  const uint32_t mapCount = global_hdr_->MapPageCount();
  if (mapCount == 0)
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.AddNewMapPage", kBadPageNo);
  // The last map page is found (and checked) before anything is appended.
  SearchMapsForMapPage(mapCount - 1);
  if (NextLink() != 0)
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.AddNewMapPage", kBadAddress);
  const std::vector<uint8_t> zeros(page_size_, 0);
  const uint32_t address = page_io_->AppendNewPages(zeros.data(), 1, 0, 0);
  PutU32(buffer_.data() + kMapPageNextOffset, address);
  WriteMapPage();
  std::fill(buffer_.begin(), buffer_.end(), 0);
  PutU32(buffer_.data() + kMapPageSeqOffset, mapCount);
  buffer_address_ = address;
  if (map_addrs_.size() == mapCount) map_addrs_.push_back(address);
  return address;
}

void TMapPageMgr::AdjustMapPageFlags(uint16_t owner, uint32_t address, uint32_t count) {
  TAV_ASSERT((address & (page_size_ - 1)) == 0, "Map flags set for an address inside a page");
  TAV_ASSERT(owner != 0, "Map flags set to 0");
  uint64_t page = address >> page_shift_;
  TAV_ASSERT(((page + count) << page_shift_) <= static_cast<uint64_t>(kMaxFileEnd) + 1,
             "Map flags set beyond the largest file");
  while (count > 0) {
    const auto here = static_cast<uint32_t>(std::min<uint64_t>(count, entries_ - page % entries_));
    SetMapEntryFlags(owner, static_cast<uint32_t>(page << page_shift_), here);
    page += here;
    count -= here;
  }
}

void TMapPageMgr::SetMapEntryFlags(uint16_t owner, uint32_t address, uint32_t count) {
  const uint32_t page = address >> page_shift_;
  const uint32_t map = page / entries_;
  const uint32_t first = page % entries_;
  const bool release = (owner & kMapEntryFree) != 0;
  const uint32_t mapCount = global_hdr_->MapPageCount();
  if (release ? map >= mapCount : map > mapCount)
    TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SetMapEntryFlags", kBadMapping);

  uint32_t added = 0;
  if (map == mapCount) {
    added = AddNewMapPage();
    global_hdr_->SetMapPageCount(mapCount + 1);
  } else {
    SearchMapsForMapPage(map);
  }

  if (!page_owners_.empty()) {
    for (uint32_t k = 0; k < count; ++k) page_owners_.erase(page + k);
    OwnersChanged();
  }
  std::vector<uint16_t>& chain = Chain();
  const auto lo = static_cast<uint16_t>(EntryOffset(first));
  const auto hi = static_cast<uint16_t>(EntryOffset(first + count - 1));
  // The chain ends in offset order. Where it already is, and none of the
  // pages is on it, the pages change only their own entries and the links
  // around them: the same chain as a full sort and relink, without walking
  // it again.
  const bool sorted = chain_sorted_;
  const auto at = sorted ? std::lower_bound(chain.begin(), chain.end(), lo) : chain.end();
  const bool apart = sorted && (at == chain.end() || *at > hi);
  if (release) {
    for (uint32_t k = 0; k < count; ++k) {
      const uint16_t entry = EntryAtOffset(EntryOffset(first + k));
      if (page + k < kFixedAreaPages || entry == kMapOwnerMapPage)
        TavDatabaseError(kUnexpectedInternalError, "TMapPageMgr.SetMapEntryFlags", kBadMapping);
    }
    if (apart) {
      // Spliced in between their neighbours on the chain.
      const uint16_t next = at == chain.end() ? 0 : *at;
      for (uint32_t k = 0; k < count; ++k) {
        const uint16_t link = k + 1 < count ? static_cast<uint16_t>(EntryOffset(first + k + 1)) : next;
        SetEntryAtOffset(EntryOffset(first + k), static_cast<uint16_t>(kMapEntryFree | link));
      }
      if (at == chain.begin())
        SetHeadOffset(lo);
      else
        SetEntryAtOffset(*(at - 1), static_cast<uint16_t>(kMapEntryFree | lo));
      std::vector<uint16_t> run(count);
      for (uint32_t k = 0; k < count; ++k) run[k] = static_cast<uint16_t>(EntryOffset(first + k));
      chain.insert(at, run.begin(), run.end());
    } else {
      // A page freed twice is linked once: a duplicate would close the
      // chain into a circle.
      for (uint32_t k = 0; k < count; ++k)
        chain.push_back(static_cast<uint16_t>(EntryOffset(first + k)));
      std::sort(chain.begin(), chain.end());
      chain.erase(std::unique(chain.begin(), chain.end()), chain.end());
      LinkChain(chain);
    }
  } else {
    if (!apart) {
      std::erase_if(chain, [&](uint16_t off) { return off >= lo && off <= hi; });
      std::sort(chain.begin(), chain.end());
      LinkChain(chain);
    }
    for (uint32_t k = 0; k < count; ++k) SetEntryAtOffset(EntryOffset(first + k), owner);
  }
  // Every way above leaves the chain in offset order.
  KeepChain(true);
  WriteMapPage();
  UpdateFirstMapPageEmpty(buffer_address_);
  if (added != 0) AdjustMapPageFlags(kMapOwnerMapPage, added, 1);
}

void TMapPageMgr::UpdateFirstMapPageEmpty(uint32_t mapAddress) {
  const uint32_t hint = global_hdr_->FirstMapPageEmpty();
  if (HeadOffset() != 0) {
    if (hint == 0) global_hdr_->SetFirstMapPageEmpty(mapAddress);
  } else if (hint == mapAddress) {
    // The hint named this page, which has just run out: look for the next.
    // A hint naming another page still names one with free entries.
    global_hdr_->SetFirstMapPageEmpty(SearchMapsForFirstEmptyMapPage());
  }
}

// ---- owners ----

bool TMapPageMgr::Matches(uint16_t entry, uint64_t page, uint32_t owner, uint32_t kind,
                          bool matchKind) const {
  if (entry == 0 || (entry & kMapEntryFree) != 0) return false;
  // The file's own pages belong to no table, whatever their code looks like.
  if (page < kFixedAreaPages || entry == kMapOwnerMapPage) return false;
  if (matchKind) return entry == owner * 16 + kind;
  return (entry >> 4) == owner;
}

void TMapPageMgr::CollectOwnedPages(uint32_t owner, uint32_t kind, host::TList& list,
                                    bool matchKind, bool release) {
  list.Clear();
  bool freedAny = false;
  const uint32_t mapCount = global_hdr_->MapPageCount();
  for (uint32_t m = 0; m < mapCount; ++m) {
    const uint32_t address = SearchMapsForMapPage(m);
    std::vector<uint16_t> chain;
    if (release) {
      chain = Chain();
      KeepChain(chain_sorted_);  // a copy is changed below
    }
    bool freed = false;
    for (uint32_t e = 0; e < entries_; ++e) {
      const uint64_t page = uint64_t{m} * entries_ + e;
      if (!Matches(EntryAtOffset(EntryOffset(e)), page, owner, kind, matchKind)) continue;
      list.Add(static_cast<int32_t>(PageAddress(m, e)));
      if (release) {
        page_owners_.erase(static_cast<uint32_t>(page));
        OwnersChanged();
        chain.push_back(static_cast<uint16_t>(EntryOffset(e)));
        freed = true;
      }
    }
    if (!freed) continue;
    std::sort(chain.begin(), chain.end());
    LinkChain(chain);
    chain_ = std::move(chain);
    KeepChain(true);
    WriteMapPage();
    // Set at once, so that pages freed before a damaged map page stops the
    // walk can still be found.
    if (!freedAny) global_hdr_->SetFirstMapPageEmpty(address);
    freedAny = true;
  }
}

void TMapPageMgr::ListPagesUsedByOwner(uint32_t owner, uint32_t kind, host::TList& list,
                                       bool matchKind) {
  CollectOwnedPages(owner, kind, list, matchKind, false);
}

void TMapPageMgr::DeleteOwnedPages(uint32_t owner, uint32_t kind, host::TList& list,
                                   bool matchKind) {
  CollectOwnedPages(owner, kind, list, matchKind, true);
}

uint16_t TMapPageMgr::PageOwnerCode(uint32_t address) {
  uint16_t code;
  if (KnownPageOwner(address, code)) return code;
  const uint32_t page = address >> page_shift_;
  const uint32_t map = page / entries_;
  if (map >= global_hdr_->MapPageCount()) return 0;
  SearchMapsForMapPage(map);
  code = EntryAtOffset(EntryOffset(page % entries_));
  if (page >= kFixedAreaPages && code >= 16 && (code & kMapEntryFree) == 0) {
    // Bounded: a connection that touched every page of a large file keeps
    // no more than this many answers.
    OwnersChanged();
    if (page_owners_.size() + entries_ > kMaxKnownPageOwners) page_owners_.clear();
    // The map page read answers for the owner's other pages on it as well:
    // a walk of a table asks for each of its pages in turn, and the page
    // need not be read again for each (another connection's change of the
    // table forgets them all, as it forgets this one).
    const uint32_t first = map * entries_;
    for (uint32_t k = 0; k < entries_; ++k)
      if (first + k >= kFixedAreaPages && EntryAtOffset(EntryOffset(k)) == code)
        page_owners_.insert_or_assign(first + k, code);
  }
  return code;
}

uint64_t TMapPageMgr::NewOwnersGeneration() {
  return owners_generations.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool TMapPageMgr::KnownPageOwner(uint32_t address, uint16_t& code) const {
  const auto it = page_owners_.find(address >> page_shift_);
  if (it == page_owners_.end()) return false;
  code = it->second;
  return true;
}

bool TMapPageMgr::CoversPage(uint32_t address) const {
  return (address >> page_shift_) / entries_ < global_hdr_->MapPageCount();
}

void TMapPageMgr::ForgetPageOwners(uint32_t tableId) {
  std::erase_if(page_owners_, [&](const auto& p) { return (p.second >> 4) == tableId; });
  OwnersChanged();
}

// ---- diagnostics ----

std::string TMapPageMgr::DebugCheckStatus() {
  const uint64_t pages = static_cast<uint64_t>(page_io_->GetFileSize()) >> page_shift_;
  const uint64_t needed = (pages + entries_ - 1) / entries_;
  if (global_hdr_->MapPageCount() != needed) return "Map page count/file size out of sync";
  return std::string();
}

void TMapPageMgr::DebugDumpMapContents(host::TStrings& list) {
  const uint32_t mapCount = global_hdr_->MapPageCount();
  for (uint32_t m = 0; m < mapCount; ++m) {
    const uint32_t address = SearchMapsForMapPage(m);
    list.Add(host::Format("Map Addr= %d ID= %d NextAddr= %d FirstE= %d",
                          {address, CurrentMapPageID(), NextLink(), HeadOffset()}));
    std::string line;
    for (uint32_t e = 0; e < entries_; ++e) {
      if (!line.empty()) line += ' ';
      line += std::to_string(EntryAtOffset(EntryOffset(e)));
      if (e % 16 == 15 || e + 1 == entries_) {
        list.Add(line);
        line.clear();
      }
    }
  }
}

}  // namespace tav

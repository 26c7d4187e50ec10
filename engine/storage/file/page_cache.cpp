#include "engine/storage/file/page_cache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <utility>

#include "engine/storage/base/tav_digit_sort.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"

namespace tav {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
// Lists of pages a transaction grew beyond this are given back at its end.
constexpr size_t kKeepListCapacity = 4096;

}  // namespace

const char* CachePageStateName(TCachePageState state) {
  switch (state) {
    case cpEmpty:
      return "Empty";
    case cpClean:
      return "Clean";
    case cpDirty:
      return "Dirty";
  }
  return "";
}

// ---- TCachePage ----

void TCachePage::OpenPage() {
  if (page_size_ == 0)
    TavDatabaseError(kUnexpectedInternalError, "TCachePage.OpenPage", "Page size = 0");
  buffer_ = std::make_unique<uint8_t[]>(page_size_);
}

void TCachePage::ClosePage() {
  buffer_.reset();
}

void TCachePage::SetPageSize(uint32_t value) {
  if (buffer_)
    TavDatabaseError(kUnexpectedInternalError, "TCachePage.SetPageSize",
                     "Cannot set page size on opened cache page");
  page_size_ = value;
}

// ---- TCacheMgr ----

TCacheMgr::TCacheMgr() {
  SetUseHashSearch(true);
}

TCacheMgr::~TCacheMgr() {
  Close();
}

void TCacheMgr::Open(int pageCount, uint32_t pageSize) {
  Close();
  if (!read_io_) TavDatabaseError(kInvalidProcedureName, "TCacheMgr.Open", "ReadIO");
  if (!write_io_) TavDatabaseError(kInvalidProcedureName, "TCacheMgr.Open", "WriteIO");
  if (pageSize == 0) TavDatabaseError(kUnexpectedInternalError, "TCacheMgr.Open", "Page size = 0");
  TAV_ASSERT((pageSize & (pageSize - 1)) == 0, "Cache page size is not a power of two");
  page_size_ = pageSize;
  base_addr_mask_ = ~(pageSize - 1);
  try {
    spare_ = std::make_unique<uint8_t[]>(pageSize);
    if (pageCount < 0) pageCount = 0;
    ResizeIndex(IndexSlotsFor(static_cast<size_t>(pageCount)));
    empty_heap_.reserve(static_cast<size_t>(pageCount));
    for (int i = 0; i < pageCount; ++i) PushEmpty(AddPage()->slot_);
  } catch (...) {
    Close();
    throw;
  }
  page_limit_ = pageCount;
  lru_counter_ = 0;
  hits_ = 0;
  misses_ = 0;
}

void TCacheMgr::Close() {
  before_used_ = 0;
  before_free_.clear();
  lru_head_ = lru_tail_ = nullptr;
  empty_heap_.clear();
  dirty_.clear();
  transaction_active_ = false;
  index_.reset();
  index_mask_ = 0;
  index_shift_ = 0;
  index_used_ = 0;
  Clear();
  spare_pages_.clear();
  spare_pages_.shrink_to_fit();
  FreeParked();
  parked_.shrink_to_fit();
  trim_goes_.clear();
  trim_goes_.shrink_to_fit();
  sort_scratch_.clear();
  sort_scratch_.shrink_to_fit();
  spare_.reset();
  page_size_ = 0;
  base_addr_mask_ = 0;
  page_limit_ = 0;
}

TCachePage* TCacheMgr::FindPage(uint32_t position, uint32_t upper) const {
  if (!IsOpen()) return nullptr;
  return IndexFind(IndexKey(upper, position & base_addr_mask_));
}

size_t TCacheMgr::IndexSlotsFor(size_t pages) {
  return std::bit_ceil(std::max(kMinIndexSlots, 2 * pages));
}

void TCacheMgr::ResizeIndex(size_t slots) {
  // Zeroed: every slot free.
  auto table = std::make_unique<TIndexSlot[]>(slots);
  const size_t mask = slots - 1;
  const int shift = 64 - std::countr_zero(slots);
  for (size_t i = 0; index_ && i <= index_mask_; ++i) {
    const TIndexSlot& slot = index_[i];
    if (!slot.page) continue;
    size_t at = static_cast<size_t>((slot.key * kIndexMix) >> shift);
    while (table[at].page) at = (at + 1) & mask;
    table[at] = slot;
  }
  index_ = std::move(table);
  index_mask_ = mask;
  index_shift_ = shift;
}

void TCacheMgr::IndexInsert(TCachePage* page) {
  const uint64_t key = IndexKey(page->upper_addr_, page->low_addr_);
  if (2 * (index_used_ + 1) > index_mask_ + 1) ResizeIndex(2 * (index_mask_ + 1));
  size_t at = IndexHome(key);
  for (; index_[at].page; at = (at + 1) & index_mask_) {
    if (index_[at].key == key) {
      index_[at].page = page;
      return;
    }
  }
  index_[at] = {key, page};
  ++index_used_;
}

void TCacheMgr::IndexErase(uint64_t key) {
  size_t gap = IndexHome(key);
  while (index_[gap].page && index_[gap].key != key) gap = (gap + 1) & index_mask_;
  if (!index_[gap].page) return;
  --index_used_;
  // The keys after the gap, up to the next free slot, move back into it
  // when it lies between their first slot and where they are: a search
  // from their first slot then still meets no free slot before them.
  for (size_t at = (gap + 1) & index_mask_; index_[at].page; at = (at + 1) & index_mask_) {
    if (((at - IndexHome(index_[at].key)) & index_mask_) < ((at - gap) & index_mask_)) continue;
    index_[gap] = index_[at];
    gap = at;
  }
  index_[gap].page = nullptr;
}

bool TCacheMgr::IsBaseAddrInCache(uint32_t position) const {
  return FindPage(position, 0) != nullptr;
}

TCacheMgr::TPiece TCacheMgr::PieceAt(uint64_t position, uint64_t end) const {
  TPiece piece;
  piece.base = static_cast<uint32_t>(position) & base_addr_mask_;
  piece.offset = static_cast<uint32_t>(position - piece.base);
  piece.length =
      static_cast<uint32_t>(std::min<uint64_t>(page_size_ - piece.offset, end - position));
  return piece;
}

void TCacheMgr::CheckRange(uint32_t position, uint32_t count, const char* caller) const {
  if (!IsOpen()) host::AssertFailed("IsOpen()", "The page cache is not open", caller, 0);
  if (uint64_t{position} + count > kAddressSpace)
    host::AssertFailed("position + count <= 2^32", "Cache transfer runs past 4 GB", caller, 0);
}

void TCacheMgr::Log(const std::string& line) const {
  if (log_) log_->Add(line);
}

void TCacheMgr::PushEmpty(int slot) {
  empty_heap_.push_back(slot);
  std::push_heap(empty_heap_.begin(), empty_heap_.end(), std::greater<int>());
}

void TCacheMgr::LruUnlink(TCachePage* page) {
  if (!page->lru_prev_ && lru_head_ != page) return;  // not linked
  (page->lru_prev_ ? page->lru_prev_->lru_next_ : lru_head_) = page->lru_next_;
  (page->lru_next_ ? page->lru_next_->lru_prev_ : lru_tail_) = page->lru_prev_;
  page->lru_prev_ = page->lru_next_ = nullptr;
}

void TCacheMgr::LruAppend(TCachePage* page) {
  page->lru_prev_ = lru_tail_;
  page->lru_next_ = nullptr;
  (lru_tail_ ? lru_tail_->lru_next_ : lru_head_) = page;
  lru_tail_ = page;
}

void TCacheMgr::Stamp(TCachePage* page) {
  page->lru_flag_ = lru_counter_++;
  // Only clean pages are on the recency list: dirty ones are never reused.
  if (page->state_ == cpClean && lru_tail_ != page) {
    LruUnlink(page);
    LruAppend(page);
  }
}

std::unique_ptr<uint8_t[]> TCacheMgr::CopyBeforeImage(const uint8_t* bytes, uint32_t from,
                                                      uint32_t to) {
  if (before_used_ >= before_limit_) return nullptr;
  std::unique_ptr<uint8_t[]> image;
  if (!before_free_.empty()) {
    image = std::move(before_free_.back());
    before_free_.pop_back();
  } else {
    // Only a saving: without the memory the journal reads the file instead.
    image.reset(new (std::nothrow) uint8_t[page_size_]);
    if (!image) return nullptr;
  }
  std::memcpy(image.get() + from, bytes + from, to - from);
  return image;
}

void TCacheMgr::WidenBeforeImage(TCachePage* page, uint32_t from, uint32_t to) {
  // Outside its dirty span the page still holds what it held when it turned
  // dirty: what the span gains is copied before it is written.
  uint8_t* image = page->before_.get();
  const uint8_t* bytes = page->buffer_.get();
  if (from < page->dirty_from_)
    std::memcpy(image + from, bytes + from, page->dirty_from_ - from);
  if (to > page->dirty_to_) std::memcpy(image + page->dirty_to_, bytes + page->dirty_to_, to - page->dirty_to_);
}

void TCacheMgr::AttachBeforeImage(TCachePage* page, std::unique_ptr<uint8_t[]> image) {
  if (!image || page->before_ || page->state_ != cpDirty) return;
  page->before_ = std::move(image);
  ++before_used_;
}

void TCacheMgr::DropBeforeImage(TCachePage* page) {
  if (!page->before_) return;
  --before_used_;
  if (static_cast<int>(before_free_.size()) < before_limit_) {
    // The list never holds more than the limit: reserved, it never grows here.
    if (before_free_.capacity() < static_cast<size_t>(before_limit_)) {
      try {
        before_free_.reserve(static_cast<size_t>(before_limit_));
      } catch (...) {
        page->before_.reset();
        return;
      }
    }
    before_free_.push_back(std::move(page->before_));
  } else {
    page->before_.reset();
  }
}

void TCacheMgr::SetState(TCachePage* page, TCachePageState state) {
  if (page->state_ == cpDirty && state != cpDirty) {
    if (page->before_) DropBeforeImage(page);
    // Out of the list by moving the last page into its place.
    dirty_sorted_ = false;
    TCachePage* last = dirty_.back();
    dirty_[static_cast<size_t>(page->dirty_at_)] = last;
    last->dirty_at_ = page->dirty_at_;
    dirty_.pop_back();
    page->dirty_at_ = -1;
    // A committed page is the most recently used clean page.
    if (state == cpClean) LruAppend(page);
  } else if (state == cpDirty && page->state_ != cpDirty) {
    try {
      ListDirty(page);
    } catch (...) {
      // Out of memory listing it: its bytes may already be the
      // transaction's, and a page off the list would be neither written at
      // commit nor taken back by a rollback. Dropped, it is read again from
      // the file; the failed write is the caller's to report.
      MakeEmpty(page);
      throw;
    }
    page->dirty_at_ = static_cast<int>(dirty_.size()) - 1;
    dirty_sorted_ = false;
    LruUnlink(page);
    page->dirty_from_ = 0;
    page->dirty_to_ = page_size_;
  }
  page->state_ = state;
}

void TCacheMgr::GrowDirtyList() {
  // A list given back after a big transaction (see TrimToLimit) grows again
  // in one step to what is kept between transactions, not by doubling from
  // nothing: each of those steps is a large allocation of its own. Beyond
  // that it doubles as it fills.
  if (dirty_.capacity() < KeptListCapacity()) dirty_.reserve(KeptListCapacity());
}

void TCacheMgr::Unhash(TCachePage* page) {
  IndexErase(IndexKey(page->upper_addr_, page->low_addr_));
}

void TCacheMgr::MakeEmpty(TCachePage* page) {
  if (page->state_ == cpEmpty) return;
  Unhash(page);
  LruUnlink(page);
  SetState(page, cpEmpty);
  page->owner_ = 0;
  page->low_addr_ = 0;
  page->upper_addr_ = 0;
  page->access_flags_ = 0;
  PushEmpty(page->slot_);
}

TCachePage* TCacheMgr::AddPage() {
  std::unique_ptr<uint8_t[]> buffer;
  if (!parked_.empty()) {
    buffer = std::move(parked_.back());
    parked_.pop_back();
  } else {
    // Not zeroed: a page's buffer is only read once a fill or a whole write
    // has gone through the spare and been swapped in.
    buffer = std::make_unique_for_overwrite<uint8_t[]>(page_size_);
  }
  TCachePage* page;
  if (!spare_pages_.empty()) {
    // Back at the end of the collection; out of memory growing its list, it
    // stays spare.
    page = spare_pages_.back().get();
    page->SetCollection(this);
    spare_pages_.back().release();
    spare_pages_.pop_back();
  } else {
    page = static_cast<TCachePage*>(Add());
    page->SetPageSize(page_size_);
  }
  page->buffer_ = std::move(buffer);
  page->slot_ = Count() - 1;
  Log("Add cache page");
  return page;
}

TCachePage* TCacheMgr::TakePage() {
  if (!empty_heap_.empty()) {
    std::pop_heap(empty_heap_.begin(), empty_heap_.end(), std::greater<int>());
    const int slot = empty_heap_.back();
    empty_heap_.pop_back();
    if (log_) Log("GetNextEmptyPage. EmptyPage: " + std::to_string(slot));
    return Pages(slot);
  }
  if (Count() < page_limit_) {
    Log("GetNextEmptyPage. Adding new page");
    return AddPage();
  }
  // Every clean page is on the recency list, and only those: its head is the
  // page to reuse, inside a transaction as outside one (a clean page holds
  // what the file holds). Dirty pages are never reused; only when every
  // page is dirty does the cache grow past its limit, until Commit or
  // Rollback brings it back.
  if (TCachePage* page = lru_head_) {
    if (log_) Log("GetNextEmptyPage. Replacing OldestPage: " + std::to_string(page->slot_));
    Unhash(page);
    LruUnlink(page);
    SetState(page, cpEmpty);
    return page;
  }
  Log("GetNextEmptyPage. Adding new page");
  return AddPage();
}

void TCacheMgr::FreeParked(size_t pages) {
  pages = std::min(pages, parked_.size());
  parked_.erase(parked_.end() - static_cast<std::ptrdiff_t>(pages), parked_.end());
}

size_t TCacheMgr::KeptListCapacity() const {
  // As many pages as the cache holds after a transaction that grew it as
  // far as parked pages or spare page objects reach: the next one like it
  // allocates no list.
  const size_t parkable = page_size_ == 0 ? 0 : kMaxParkedBytes / page_size_;
  return std::max(kKeepListCapacity, static_cast<size_t>(std::max(page_limit_, 0)) +
                                         std::max(parkable, kMaxSparePages));
}

void TCacheMgr::TrimToLimit() {
  // Set aside by transactions before and not needed by this one: a part of
  // them goes each time (freeing thousands of pages at once is a pause of
  // its own).
  FreeParked(std::max<size_t>(kFreedParkedBytes / page_size_, 1));
  const int excess = Count() - page_limit_;
  if (excess <= 0) return;
  const size_t parkable = kMaxParkedBytes / page_size_ - std::min(kMaxParkedBytes / page_size_, parked_.size());
  // Empty pages go first, then the least recently used clean ones; dirty
  // pages stay whatever the count.
  std::vector<uint8_t>& goes = trim_goes_;
  goes.assign(static_cast<size_t>(Count()), 0);
  int marked = 0;
  for (const int slot : empty_heap_) {
    if (marked == excess) break;
    goes[static_cast<size_t>(slot)] = 1;
    ++marked;
  }
  // Most of the index going (a transaction far larger than the cache ends):
  // it is emptied and takes back the pages that stay, for less than taking
  // the others out one by one.
  const bool reindex = size_t{16} * static_cast<size_t>(excess - marked) > index_mask_ + 1;
  for (TCachePage* page = lru_head_; page && marked < excess;) {
    TCachePage* next = page->lru_next_;
    if (!reindex) Unhash(page);
    LruUnlink(page);
    page->state_ = cpEmpty;  // clean, as every page on the list
    goes[static_cast<size_t>(page->slot_)] = 1;
    ++marked;
    page = next;
  }
  // The pages that stay move to the front in their order, the rest are
  // freed from the end.
  int kept = 0;
  for (int i = 0; i < Count(); ++i) {
    if (goes[static_cast<size_t>(i)]) continue;
    if (kept != i) Exchange(kept, i);
    ++kept;
  }
  if (reindex) {
    for (size_t i = 0; i <= index_mask_; ++i) index_[i].page = nullptr;
    index_used_ = 0;
    // Fewer than were there: the table has room for them without growing.
    for (int i = 0; i < kept; ++i)
      if (TCachePage* page = Pages(i); page->state_ != cpEmpty) IndexInsert(page);
  }
  const size_t park =
      parked_.size() + std::min<size_t>(static_cast<size_t>(Count() - kept), parkable);
  try {
    parked_.reserve(park);
  } catch (const std::bad_alloc&) {
    // Only a saving: the pages are freed instead.
  }
  const size_t spare = std::min(
      kMaxSparePages, spare_pages_.size() + static_cast<size_t>(Count() - kept));
  if (spare_pages_.capacity() < spare) {
    try {
      spare_pages_.reserve(
          std::max(spare, std::min(kMaxSparePages, 2 * spare_pages_.capacity())));
    } catch (const std::bad_alloc&) {
      // Only a saving: the page objects are freed instead.
    }
  }
  while (Count() > kept) {
    auto* page = static_cast<TCachePage*>(ExtractLast());
    if (parked_.size() < parked_.capacity() && parked_.size() < park)
      parked_.push_back(std::move(page->buffer_));
    if (spare_pages_.size() >= std::min(spare, spare_pages_.capacity())) {
      delete page;
      continue;
    }
    // Empty, clean of any before-image, off the recency and dirty lists
    // already: what is left of the address it held goes, so that it comes
    // back as a new page would.
    page->buffer_.reset();
    page->low_addr_ = page->upper_addr_ = 0;
    page->owner_ = 0;
    page->access_flags_ = 0;
    page->lru_flag_ = 0;
    page->dirty_from_ = page->dirty_to_ = 0;
    spare_pages_.emplace_back(page);
  }
  if (dirty_.capacity() > KeptListCapacity()) dirty_.shrink_to_fit();
  if (goes.capacity() > KeptListCapacity()) {
    goes.clear();
    goes.shrink_to_fit();
  }
  RebuildSlots();
  if (empty_heap_.capacity() > KeptListCapacity()) empty_heap_.shrink_to_fit();
  // The index keeps room for as many pages as the next transaction can grow
  // into without making page objects; a table grown beyond goes back to it.
  const size_t keptSlots =
      IndexSlotsFor(static_cast<size_t>(std::max(page_limit_, Count())) + kMaxSparePages);
  if (index_mask_ + 1 > keptSlots) {
    try {
      ResizeIndex(keptSlots);
    } catch (const std::bad_alloc&) {
      // Only a saving: the larger table stays.
    }
  }
}

void TCacheMgr::SwapInSpare(TCachePage* page) {
  std::swap(page->buffer_, spare_);
}

void TCacheMgr::Install(TCachePage* page, int32_t owner, uint32_t accessFlags, uint32_t base,
                        uint32_t upper, TCachePageState state) {
  page->low_addr_ = base;
  page->upper_addr_ = upper;
  page->owner_ = owner;
  page->access_flags_ = accessFlags;
  page->SetHashFromInts(upper, base);
  try {
    IndexInsert(page);
  } catch (...) {
    // Out of memory growing the index: the page stays empty and reusable.
    page->owner_ = 0;
    page->low_addr_ = page->upper_addr_ = page->access_flags_ = 0;
    PushEmpty(page->slot_);
    throw;
  }
  // A taken page is empty: neither listed dirty nor on the recency list.
  if (state == cpClean) {
    page->state_ = cpClean;
    LruAppend(page);
  } else {
    SetState(page, state);
  }
}

void TCacheMgr::FillSpare(int32_t owner, uint32_t accessFlags, uint32_t base, uint32_t upper) {
  read_io_(spare_.get(), owner, accessFlags, base, upper);
}

TCachePage* TCacheMgr::LoadPage(int32_t owner, uint32_t accessFlags, uint32_t base,
                                uint32_t upper) {
  TCachePage* page = FindPage(base, upper);
  // A dirty page is the newest content of its address and is never refilled
  // from the file: that would lose the transaction's write.
  if (page &&
      (page->state_ == cpDirty || (page->owner_ == owner && page->access_flags_ == accessFlags))) {
    ++hits_;
    return page;
  }
  ++misses_;
  FillSpare(owner, accessFlags, base, upper);
  if (page) {
    // Same address, other identity: refilled in place, so the address never
    // has two pages.
    SwapInSpare(page);
    page->owner_ = owner;
    page->access_flags_ = accessFlags;
    return page;
  }
  page = TakePage();
  SwapInSpare(page);
  Install(page, owner, accessFlags, base, upper, cpClean);
  return page;
}

void TCacheMgr::ReadCache(void* buffer, int32_t owner, uint32_t accessFlags, uint32_t position,
                          uint32_t upper, uint32_t count) {
  CheckRange(position, count, "TCacheMgr.ReadCache");
  auto* dst = static_cast<uint8_t*>(buffer);
  const uint64_t end = uint64_t{position} + count;
  for (uint64_t pos = position; pos < end;) {
    const TPiece piece = PieceAt(pos, end);
    TCachePage* page = LoadPage(owner, accessFlags, piece.base, upper);
    std::memcpy(dst, page->buffer_.get() + piece.offset, piece.length);
    Stamp(page);
    dst += piece.length;
    pos += piece.length;
  }
}

void TCacheMgr::WritePiece(const uint8_t* src, int32_t owner, uint32_t accessFlags,
                           const TPiece& piece, uint32_t upper, TCachePage* page) {
  const bool sameIdentity = page && page->owner_ == owner && page->access_flags_ == accessFlags;
  const bool wasDirty = page && page->state_ == cpDirty;
  const bool current = wasDirty || sameIdentity;
  const bool whole = piece.Whole(page_size_);
  if (current || whole)
    ++hits_;
  else
    ++misses_;

  const uint32_t pieceEnd = piece.offset + piece.length;
  std::unique_ptr<uint8_t[]> before;
  if (transaction_active_ && current) {
    if (!wasDirty) {
      // A clean page turning dirty holds what the file gave it.
      if (before_limit_ > 0)
        before = CopyBeforeImage(page->buffer_.get(), piece.offset, pieceEnd);
    } else if (page->before_) {
      // Another identity counts the whole page changed.
      if (sameIdentity)
        WidenBeforeImage(page, piece.offset, pieceEnd);
      else
        WidenBeforeImage(page, 0, page_size_);
    }
    std::memcpy(page->buffer_.get() + piece.offset, src, piece.length);
  } else {
    // The new contents are put together in the spare buffer and, outside a
    // transaction, written from there: until the write succeeded no cached
    // page has changed.
    uint8_t* spare = spare_.get();
    if (whole) {
      std::memcpy(spare, src, page_size_);
    } else {
      if (current) {
        std::memcpy(spare, page->buffer_.get(), page_size_);
      } else {
        FillSpare(owner, accessFlags, piece.base, upper);
        if (transaction_active_ && before_limit_ > 0)
          before = CopyBeforeImage(spare, piece.offset, pieceEnd);
      }
      std::memcpy(spare + piece.offset, src, piece.length);
    }
    if (!transaction_active_) write_io_(spare, owner, accessFlags, piece.base, upper);
    if (!page) {
      page = TakePage();
      SwapInSpare(page);
      Install(page, owner, accessFlags, piece.base, upper, cpClean);
    } else {
      SwapInSpare(page);
    }
  }
  page->owner_ = owner;
  page->access_flags_ = accessFlags;
  SetState(page, transaction_active_ ? cpDirty : cpClean);
  if (before) AttachBeforeImage(page, std::move(before));
  if (transaction_active_) {
    // Outside the piece the page holds what the file holds (a clean page,
    // or one just filled from the file) unless it was dirty already; a dirty
    // page taking another identity is counted whole.
    const uint32_t to = piece.offset + piece.length;
    if (!wasDirty) {
      page->dirty_from_ = piece.offset;
      page->dirty_to_ = to;
    } else if (!sameIdentity) {
      page->dirty_from_ = 0;
      page->dirty_to_ = page_size_;
    } else {
      page->dirty_from_ = std::min(page->dirty_from_, piece.offset);
      page->dirty_to_ = std::max(page->dirty_to_, to);
    }
  }
  Stamp(page);
}

void TCacheMgr::RefuseOnePageWrite(uint32_t position, uint32_t count) const {
  const char* caller = "TCacheMgr.WriteIntoDirtyPage";
  CheckRange(position, count, caller);
  host::AssertFailed("piece.length == count", "WriteIntoDirtyPage crosses a page boundary", caller,
                     0);
}

void TCacheMgr::WriteOnePage(const void* buffer, int32_t owner, uint32_t count,
                             uint32_t position, uint32_t accessFlags, TCachePage* page) {
  CheckRange(position, count, "TCacheMgr.WriteOnePage");
  const TPiece piece = PieceAt(position, uint64_t{position} + count);
  TAV_ASSERT(piece.length == count, "WriteOnePage crosses a page boundary");
  const auto* src = static_cast<const uint8_t*>(buffer);
  // The first write of a transaction into a page it has read: the page, clean
  // and of the same identity, turns dirty with the piece as its span.
  if (transaction_active_ && page && page->state_ == cpClean && page->owner_ == owner &&
      page->access_flags_ == accessFlags && count != 0) {
    ++hits_;
    TurnDirty(page, piece.offset, piece.offset + count);
    std::memcpy(page->buffer_.get() + piece.offset, src, count);
    return;
  }
  WritePiece(src, owner, accessFlags, piece, 0, page);
}

void TCacheMgr::DirtyWholePage(uint32_t position, uint32_t upper) {
  TCachePage* page = FindPage(position, upper);
  if (!page || page->state_ != cpDirty) return;
  page->dirty_from_ = 0;
  page->dirty_to_ = page_size_;
  // What it held when it turned dirty came from elsewhere too.
  DropBeforeImage(page);
}

void TCacheMgr::WriteCache(const void* buffer, int32_t owner, uint32_t count, uint32_t upper,
                           uint32_t position, uint32_t accessFlags) {
  CheckRange(position, count, "TCacheMgr.WriteCache");
  const auto* src = static_cast<const uint8_t*>(buffer);
  const uint64_t end = uint64_t{position} + count;
  for (uint64_t pos = position; pos < end;) {
    const TPiece piece = PieceAt(pos, end);
    WritePiece(src, owner, accessFlags, piece, upper, FindPage(piece.base, upper));
    src += piece.length;
    pos += piece.length;
  }
}

uint8_t* TCacheMgr::ReadCacheByRef(int32_t owner, uint32_t accessFlags, uint32_t position,
                                   uint32_t upper, uint32_t count) {
  CheckRange(position, count, "TCacheMgr.ReadCacheByRef");
  const TPiece piece = PieceAt(position, uint64_t{position} + count);
  TAV_ASSERT(piece.length == count, "ReadCacheByRef crosses a page boundary");
  TCachePage* page = LoadPage(owner, accessFlags, piece.base, upper);
  Stamp(page);
  return page->buffer_.get() + piece.offset;
}

void TCacheMgr::WriteCacheByRef(const void* buffer, int32_t owner, uint32_t count, uint32_t upper,
                                uint32_t position, uint32_t accessFlags) {
  CheckRange(position, count, "TCacheMgr.WriteCacheByRef");
  const TPiece piece = PieceAt(position, uint64_t{position} + count);
  TAV_ASSERT(piece.length == count, "WriteCacheByRef crosses a page boundary");
  const auto* src = static_cast<const uint8_t*>(buffer);
  TCachePage* page = FindPage(piece.base, upper);
  if (!page || src != page->buffer_.get() + piece.offset) {
    WritePiece(src, owner, accessFlags, piece, upper, page);
    return;
  }
  // The caller has changed the page in place: nothing to copy.
  ++hits_;
  if (!transaction_active_) {
    try {
      write_io_(page->buffer_.get(), owner, accessFlags, piece.base, upper);
    } catch (...) {
      // The page no longer matches the file; the next read fetches it again.
      MakeEmpty(page);
      throw;
    }
  }
  page->owner_ = owner;
  page->access_flags_ = accessFlags;
  SetState(page, transaction_active_ ? cpDirty : cpClean);
  // Changed in place, by whom and where the cache cannot tell: nor what it
  // held before.
  DropBeforeImage(page);
  page->dirty_from_ = 0;
  page->dirty_to_ = page_size_;
  Stamp(page);
}

void TCacheMgr::TurnDirty(TCachePage* page, uint32_t from, uint32_t to) {
  // It holds what the file gave it.
  std::unique_ptr<uint8_t[]> before;
  if (before_used_ < before_limit_) before = CopyBeforeImage(page->buffer_.get(), from, to);
  ListDirty(page);
  page->dirty_at_ = static_cast<int>(dirty_.size()) - 1;
  dirty_sorted_ = false;
  LruUnlink(page);
  page->state_ = cpDirty;
  page->dirty_from_ = from;
  page->dirty_to_ = to;
  if (before) AttachBeforeImage(page, std::move(before));
  page->lru_flag_ = lru_counter_++;
}

uint8_t* TCacheMgr::EditCachedPage(int32_t owner, uint32_t count, uint32_t position,
                                   uint32_t accessFlags) {
  const uint32_t base = position & base_addr_mask_;
  const uint32_t from = position - base;
  if (!IsOpen() || !transaction_active_ || count == 0 || uint64_t{from} + count > page_size_)
    return nullptr;
  TCachePage* page = IndexFind(IndexKey(0, base));
  if (!page) return nullptr;
  if (page->state_ == cpEmpty || page->owner_ != owner || page->access_flags_ != accessFlags)
    return nullptr;
  // As WriteIntoDirtyPage and WriteOnePage, the copy left to the caller.
  ++hits_;
  const uint32_t to = from + count;
  if (page->state_ == cpClean) {
    TurnDirty(page, from, to);
    return page->buffer_.get();
  }
  if (page->before_ && (from < page->dirty_from_ || to > page->dirty_to_))
    WidenBeforeImage(page, from, to);
  page->dirty_from_ = std::min(page->dirty_from_, from);
  page->dirty_to_ = std::max(page->dirty_to_, to);
  page->lru_flag_ = lru_counter_++;
  return page->buffer_.get();
}

void TCacheMgr::SortByAddress(std::vector<TCachePage*>& pages) {
  // Pages of a file below 4 GB sort by their page numbers a digit at a
  // time; a page beyond it sends the list to a comparison sort.
  for (const TCachePage* page : pages) {
    if (page->upper_addr_ != 0) {
      std::sort(pages.begin(), pages.end(), [](const TCachePage* a, const TCachePage* b) {
        return IndexKey(a->upper_addr_, a->low_addr_) < IndexKey(b->upper_addr_, b->low_addr_);
      });
      return;
    }
  }
  const int shift = std::countr_zero(page_size_);
  SortByKeyDigits(pages, sort_scratch_,
                  [shift](const TCachePage* page) { return page->low_addr_ >> shift; });
}

void TCacheMgr::NumberDirtyPages() {
  for (size_t i = 0; i < dirty_.size(); ++i) dirty_[i]->dirty_at_ = static_cast<int>(i);
}

void TCacheMgr::SortDirtyPages() {
  if (dirty_sorted_) return;
  SortByAddress(dirty_);
  NumberDirtyPages();
  dirty_sorted_ = true;
}

void TCacheMgr::StartTransaction() {
  transaction_active_ = true;
}

void TCacheMgr::Commit() {
  if (!transaction_active_) TavDatabaseError(kNoActiveTransaction, "TCacheMgr.Commit");
  // In address order, so that adjacent pages go to the file in one
  // transfer; the dirty list spares walking every page of a cache that has
  // grown large.
  SortDirtyPages();
  const size_t n = dirty_.size();
  size_t at = 0;
  try {
    while (at < n) {
      size_t run = 1;
      if (write_run_io_) {
        while (at + run < n && run < kMaxCommitRun &&
               dirty_[at + run]->upper_addr_ == dirty_[at]->upper_addr_ &&
               uint64_t{dirty_[at + run]->low_addr_} ==
                   uint64_t{dirty_[at]->low_addr_} + uint64_t{run} * page_size_)
          ++run;
      }
      if (run == 1) {
        TCachePage* page = dirty_[at];
        committing_ = page;
        write_io_(page->buffer_.get(), page->owner_, page->access_flags_, page->low_addr_,
                  page->upper_addr_);
        committing_ = nullptr;
      } else {
        write_run_io_(dirty_.data() + at, run);
      }
      // Clean, as SetState makes a page; the list loses them all at once.
      for (const size_t end = at + run; at < end; ++at) {
        TCachePage* page = dirty_[at];
        if (page->before_) DropBeforeImage(page);
        page->dirty_at_ = -1;
        page->state_ = cpClean;
        // A committed page is the most recently used clean page.
        LruAppend(page);
      }
    }
  } catch (...) {
    committing_ = nullptr;
    // The pages written so far are clean: the list keeps the rest, in order.
    dirty_.erase(dirty_.begin(), dirty_.begin() + static_cast<std::ptrdiff_t>(at));
    NumberDirtyPages();
    throw;
  }
  dirty_.clear();
  dirty_sorted_ = false;
  if (sort_scratch_.capacity() > KeptListCapacity()) {
    sort_scratch_.clear();
    sort_scratch_.shrink_to_fit();
  }
  transaction_active_ = false;
  TrimToLimit();
}

void TCacheMgr::Rollback() {
  if (!transaction_active_) TavDatabaseError(kNoActiveTransaction, "TCacheMgr.Rollback");
  while (!dirty_.empty()) MakeEmpty(dirty_.back());
  if (dirty_.capacity() > KeptListCapacity()) dirty_.shrink_to_fit();
  transaction_active_ = false;
  TrimToLimit();
}

void TCacheMgr::RemovePage(uint32_t position, uint32_t upper) {
  if (TCachePage* page = FindPage(position, upper)) MakeEmpty(page);
}

void TCacheMgr::ClearOwnedPages(int32_t owner) {
  for (int i = 0; i < Count(); ++i) {
    TCachePage* page = Pages(i);
    // A dirty page is this connection's own uncommitted write, the newest
    // content there is: dropping it would lose the write, so it stays.
    if (page->state_ == cpClean && page->owner_ == owner) MakeEmpty(page);
  }
}

void TCacheMgr::ClearCache() {
  for (int i = 0; i < Count(); ++i) MakeEmpty(Pages(i));
}

void TCacheMgr::RebuildSlots() {
  empty_heap_.clear();
  for (int i = 0; i < Count(); ++i) {
    TCachePage* page = Pages(i);
    page->slot_ = i;
    if (page->state_ == cpEmpty) empty_heap_.push_back(i);
  }
  std::make_heap(empty_heap_.begin(), empty_heap_.end(), std::greater<int>());
}

void TCacheMgr::ResetPageCount(int n) {
  if (n < 0) n = 0;
  if (IsOpen() && n < Count()) {
    for (int i = Count() - 1; i >= n; --i) {
      TCachePage* page = Pages(i);
      if (page->state_ == cpDirty) continue;
      if (page->state_ != cpEmpty) {
        Unhash(page);
        LruUnlink(page);
      }
      delete page;
    }
    RebuildSlots();
  } else if (IsOpen()) {
    while (Count() < n) PushEmpty(AddPage()->slot_);
  }
  page_limit_ = n;
}

void TCacheMgr::DumpState(host::TStrings& lines) const {
  lines.Add(host::Format("Cache dump: Hits %d  Misses %d", {hits_, misses_}));
  for (int i = 0; i < Count(); ++i) {
    const TCachePage* page = Pages(i);
    lines.Add(host::Format(
        "Page %d: Addr %d  Owner %d State %s LRUFlag %d",
        {i, page->low_addr_, page->owner_, CachePageStateName(page->state_), page->lru_flag_}));
  }
}

// ---- TCacheBlockMgr ----

TCacheBlockMgr::TCacheBlockMgr() = default;

TCacheBlockMgr::~TCacheBlockMgr() {
  Close();
}

void TCacheBlockMgr::Open() {
  if (!read_io_) TavDatabaseError(kInvalidProcedureName, "TCacheBlockMgr.Open", "ReadIO");
  if (!write_io_) TavDatabaseError(kInvalidProcedureName, "TCacheBlockMgr.Open", "WriteIO");
  hits_ = 0;
  misses_ = 0;
}

void TCacheBlockMgr::ForgetSpan() {
  span_start_ = UINT64_MAX;
  span_end_ = 0;
  for (const uint32_t word : marked_words_) marks_[word] = 0;
  marked_words_.clear();
}

bool TCacheBlockMgr::AnyMarked(uint64_t start, uint64_t end) const {
  if (end > kMarkedLimit) return true;
  const uint64_t last = (end - 1) >> kGranuleShift;
  for (uint64_t g = start >> kGranuleShift; g <= last; ++g) {
    const uint64_t word = g >> 6;
    if (word >= marks_.size()) return false;
    if (marks_[word] & (uint64_t{1} << (g & 63))) return true;
  }
  return false;
}

void TCacheBlockMgr::Mark(uint64_t start, uint64_t end) {
  end = std::min(end, kMarkedLimit);  // beyond: the span alone answers
  if (start >= end) return;
  const uint64_t last = (end - 1) >> kGranuleShift;
  // Most writes land in a granule marked already (appended BLOBs).
  if (last == start >> kGranuleShift && (last >> 6) < marks_.size() &&
      ((marks_[static_cast<size_t>(last >> 6)] >> (last & 63)) & 1) != 0)
    return;
  const size_t words = static_cast<size_t>(last >> 6) + 1;
  if (marks_.size() < words) {
    constexpr size_t kAllWords = size_t{kMarkedLimit >> kGranuleShift >> 6};
    marks_.resize(std::min(std::max(words, marks_.size() * 2), kAllWords), 0);
  }
  for (uint64_t g = start >> kGranuleShift; g <= last; ++g) {
    uint64_t& word = marks_[static_cast<size_t>(g >> 6)];
    const uint64_t bit = uint64_t{1} << (g & 63);
    if (word & bit) continue;
    // Listed first: a bit is never set that ForgetSpan would not reset.
    if (word == 0) marked_words_.push_back(static_cast<uint32_t>(g >> 6));
    word |= bit;
  }
}

void TCacheBlockMgr::Close() {
  last_written_ = nullptr;
  index_.clear();
  ForgetSpan();
  Clear();
  transaction_active_ = false;
}

void TCacheBlockMgr::StartTransaction() {
  Open();
  transaction_active_ = true;
}

std::map<uint64_t, TCacheBlock*>::iterator TCacheBlockMgr::FirstEndingAfter(uint64_t start) {
  auto it = index_.upper_bound(start);
  if (it != index_.begin()) {
    auto prev = std::prev(it);
    if (prev->second->End() > start) return prev;
  }
  return it;
}

std::map<uint64_t, TCacheBlock*>::const_iterator TCacheBlockMgr::FirstEndingAfter(
    uint64_t start) const {
  auto it = index_.upper_bound(start);
  if (it != index_.begin()) {
    auto prev = std::prev(it);
    if (prev->second->End() > start) return prev;
  }
  return it;
}

TCacheBlock* TCacheBlockMgr::NewBlock(uint64_t start, uint32_t size) {
  // Every caller fills the whole block at once: no zeros first.
  auto data = std::make_unique_for_overwrite<uint8_t[]>(size);
  auto* block = static_cast<TCacheBlock*>(Add());
  block->data_ = std::move(data);
  block->block_size_ = size;
  block->low_addr_ = static_cast<uint32_t>(start);
  block->high_addr_ = static_cast<uint32_t>(start >> 32);
  try {
    index_.emplace(start, block);
  } catch (...) {
    delete block;
    throw;
  }
  span_start_ = std::min(span_start_, start);
  span_end_ = std::max(span_end_, start + size);
  return block;
}

void TCacheBlockMgr::DeleteBlock(TCacheBlock* block) {
  if (block == last_written_) last_written_ = nullptr;
  index_.erase(block->Start());
  delete block;
}

void TCacheBlockMgr::ReadBlock(void* buffer, int32_t owner, uint32_t count, uint32_t high,
                               uint32_t low) {
  (void)owner;  // raw bytes read the same for every owner
  auto* dst = static_cast<uint8_t*>(buffer);
  if (count != 0 && !MayHold(low, high, count)) {
    read_io_(dst, low, high, count);
    ++misses_;
    return;
  }
  const uint64_t start = (uint64_t{high} << 32) | low;
  const uint64_t end = start + count;
  bool fromFile = false;
  uint64_t pos = start;
  for (auto it = FirstEndingAfter(start); pos < end; ++it) {
    const uint64_t blockStart = it == index_.end() ? end : std::min(it->second->Start(), end);
    if (pos < blockStart) {
      read_io_(dst + (pos - start), static_cast<uint32_t>(pos), static_cast<uint32_t>(pos >> 32),
               static_cast<uint32_t>(blockStart - pos));
      fromFile = true;
      pos = blockStart;
    }
    if (it == index_.end() || pos >= end) break;
    const TCacheBlock* block = it->second;
    const uint64_t partEnd = std::min(block->End(), end);
    std::memcpy(dst + (pos - start), block->data_.get() + (pos - block->Start()),
                static_cast<size_t>(partEnd - pos));
    pos = partEnd;
  }
  if (fromFile)
    ++misses_;
  else
    ++hits_;
}

void TCacheBlockMgr::WriteBlock(const void* buffer, int32_t owner, uint32_t count, uint32_t high,
                                uint32_t low) {
  TAV_ASSERT(transaction_active_, "WriteBlock outside a transaction");
  if (count == 0) return;
  const auto* src = static_cast<const uint8_t*>(buffer);
  const uint64_t start = (uint64_t{high} << 32) | low;
  const uint64_t end = start + count;
  Mark(start, end);
  // Blocks are disjoint: one that holds the whole range is the only one
  // there.
  if (TCacheBlock* last = last_written_; last && last->Start() <= start && end <= last->End()) {
    ++hits_;
    std::memcpy(last->data_.get() + (start - last->Start()), src, count);
    last->owner_ = owner;
    last->state_ = cpDirty;
    return;
  }
  auto first = FirstEndingAfter(start);
  auto last = first;
  while (last != index_.end() && last->second->Start() < end) ++last;

  TCacheBlock* block;
  if (first == last) {
    ++misses_;
    block = NewBlock(start, count);
    std::memcpy(block->data_.get(), src, count);
  } else if (std::next(first) == last && first->second->Start() <= start &&
             first->second->End() >= end) {
    ++hits_;
    block = first->second;
    std::memcpy(block->data_.get() + (start - block->Start()), src, count);
  } else {
    // The write overlaps several pending ranges or sticks out of one: they
    // become one block, the new bytes over the old.
    ++hits_;
    const uint64_t newStart = std::min(start, first->second->Start());
    const uint64_t newEnd = std::max(end, std::prev(last)->second->End());
    TAV_ASSERT(newEnd - newStart <= UINT32_MAX, "Pending block grows past 4 GB");
    // The blocks it joins and the new bytes cover all of it.
    auto data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(newEnd - newStart));
    for (auto it = first; it != last; ++it)
      std::memcpy(data.get() + (it->second->Start() - newStart), it->second->data_.get(),
                  it->second->block_size_);
    std::memcpy(data.get() + (start - newStart), src, count);
    block = first->second;
    std::vector<TCacheBlock*> merged;
    for (auto it = std::next(first); it != last; ++it) merged.push_back(it->second);
    index_.erase(first);
    for (TCacheBlock* other : merged) DeleteBlock(other);
    block->data_ = std::move(data);
    block->block_size_ = static_cast<uint32_t>(newEnd - newStart);
    block->low_addr_ = static_cast<uint32_t>(newStart);
    block->high_addr_ = static_cast<uint32_t>(newStart >> 32);
    index_.emplace(newStart, block);
    span_start_ = std::min(span_start_, newStart);
    span_end_ = std::max(span_end_, newEnd);
  }
  block->owner_ = owner;
  block->state_ = cpDirty;
  last_written_ = block;
}

bool TCacheBlockMgr::RemoveRange(uint32_t position, uint32_t upper, uint32_t count) {
  if (!MayHold(position, upper, count)) return false;
  const uint64_t start = (uint64_t{upper} << 32) | position;
  const uint64_t end = start + count;
  auto it = FirstEndingAfter(start);
  bool removed = false;
  while (it != index_.end() && it->second->Start() < end) {
    removed = true;
    TCacheBlock* block = it->second;
    ++it;
    const uint64_t bStart = block->Start();
    const uint64_t bEnd = block->End();
    if (bStart >= start && bEnd <= end) {
      DeleteBlock(block);
      continue;
    }
    // Keep what lies outside [start, end): a head, a tail, or both.
    if (bEnd > end) {
      const auto tailSize = static_cast<uint32_t>(bEnd - end);
      TCacheBlock* tail = NewBlock(end, tailSize);
      std::memcpy(tail->data_.get(), block->data_.get() + (end - bStart), tailSize);
      tail->owner_ = block->owner_;
      tail->state_ = block->state_;
      tail->access_flags_ = block->access_flags_;
    }
    if (bStart < start) {
      block->block_size_ = static_cast<uint32_t>(start - bStart);  // the head stays in place
    } else {
      DeleteBlock(block);
    }
  }
  return removed;
}

void TCacheBlockMgr::Commit() {
  if (!transaction_active_) TavDatabaseError(kNoActiveTransaction, "TCacheBlockMgr.Commit");
  for (int i = 0; i < Count(); ++i) {
    TCacheBlock* block = Blocks(i);
    if (block->state_ != cpDirty) continue;
    write_io_(block->data_.get(), block->low_addr_, block->high_addr_, block->block_size_);
    block->state_ = cpClean;
  }
  last_written_ = nullptr;
  index_.clear();
  ForgetSpan();
  Clear();
  transaction_active_ = false;
}

void TCacheBlockMgr::Rollback() {
  if (!transaction_active_) TavDatabaseError(kNoActiveTransaction, "TCacheBlockMgr.Rollback");
  Close();
}

bool TCacheBlockMgr::IsBaseAddrInCache(uint32_t position) const {
  auto it = FirstEndingAfter(position);
  return it != index_.end() && it->second->Start() <= position;
}

void TCacheBlockMgr::DumpState(host::TStrings& lines) const {
  lines.Add(host::Format("Cache dump: Hits %d  Misses %d", {hits_, misses_}));
  for (int i = 0; i < Count(); ++i) {
    const TCacheBlock* block = Blocks(i);
    lines.Add(host::Format("Block %d: Addr %d  Owner %d State %s Size %d",
                           {i, block->low_addr_, block->owner_, CachePageStateName(block->state_),
                            block->block_size_}));
  }
}

}  // namespace tav

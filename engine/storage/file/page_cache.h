// The two caches between the database file (TTavFile) and the rest of the
// engine.
//
// TCacheMgr holds whole pages of the areas whose access flags ask for caching.
// Outside a transaction it writes through; inside one it holds every write
// (the page turns dirty) until Commit or Rollback, growing beyond its page
// limit only when every page is dirty, and never dropping a dirty page.
// Clean pages are reused least recently used first, inside a transaction as
// outside one; after Commit and Rollback the cache is back at its limit. A page is found by a hash on (upper, base address);
// each address has at most one page, which is refilled in place when a caller
// asks for it under another owner or other access flags.
//
// TCacheBlockMgr exists only during a transaction and holds every raw
// (uncached) write until Commit. It is a byte-range overlay over the file:
// pending ranges never overlap, a write merges with what it overlaps, and a
// read sees the pending bytes over what the file holds.
//
// Both reach the file only through the transfer procedures they are given, so
// they know nothing of scrambling. Callers must keep:
//  - The procedures are set before Open (before StartTransaction for the
//    block cache), stay callable while the cache is open, and never call
//    back into the cache that called them.
//  - A procedure that fails raises; the cache is then as it was before the
//    page or block concerned (pages already done in a multi-page transfer
//    stay done).
//  - A pointer from ReadCacheByRef points into a cached page and is valid
//    only until the next call into the cache.
//  - Positions are 32-bit (TTavFile keeps files below 2 GB); a transfer must
//    not run past 2^32.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/base/tav_hash.h"
#include "host/rtl/collection.h"
#include "host/rtl/string_list.h"

namespace tav {

enum TCachePageState { cpEmpty = 0, cpClean = 1, cpDirty = 2 };

// "Empty", "Clean", "Dirty".
const char* CachePageStateName(TCachePageState state);

// Fills `buffer` (one page) with the page at (lowAddr, upperAddr) as read for
// `owner` with `accessFlags`.
using TCacheReadPageProc = std::function<void(uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                                              uint32_t lowAddr, uint32_t upperAddr)>;
// Writes one page from `buffer` to (lowAddr, upperAddr) for `owner`.
using TCacheWritePageProc =
    std::function<void(const uint8_t* buffer, int32_t owner, uint32_t accessFlags, uint32_t lowAddr,
                       uint32_t upperAddr)>;
class TCachePage;
// Writes `count` pages (at least two) that follow one another from the
// first's address, each for its own owner and access flags, in one
// transfer. A failure raises and none of them counts as written.
using TCacheWriteRunProc = std::function<void(const TCachePage* const* pages, size_t count)>;
// Moves exactly `count` raw bytes at (lowAddr, highAddr).
using TCacheReadBlockProc =
    std::function<void(uint8_t* buffer, uint32_t lowAddr, uint32_t highAddr, uint32_t count)>;
using TCacheWriteBlockProc =
    std::function<void(const uint8_t* buffer, uint32_t lowAddr, uint32_t highAddr, uint32_t count)>;

class TCacheMgr;

class TCachePage : public THashCollectionItem {
 public:
  TCachePage() = default;

  // Allocates the zero-filled buffer; 8581 "Page size = 0" without a size.
  void OpenPage();
  void ClosePage();
  // 8581 "Cannot set page size on opened cache page" once the buffer exists.
  void SetPageSize(uint32_t value);

  uint8_t* Buffer() const { return buffer_.get(); }
  uint32_t PageSize() const { return page_size_; }
  uint32_t LowAddr() const { return low_addr_; }
  uint32_t UpperAddr() const { return upper_addr_; }
  int32_t PageOwner() const { return owner_; }
  uint32_t AccessFlags() const { return access_flags_; }
  uint32_t LRUFlag() const { return lru_flag_; }
  TCachePageState State() const { return state_; }
  // While dirty: the bytes [DirtyFrom, DirtyTo) of the page may differ from
  // the file; the rest holds what the file held when the page became dirty.
  // Writes through WriteCache narrow it to what they changed; any other way
  // of becoming dirty counts the whole page.
  uint32_t DirtyFrom() const { return dirty_from_; }
  uint32_t DirtyTo() const { return dirty_to_; }
  // While dirty: a page-sized buffer whose bytes [DirtyFrom, DirtyTo) are
  // the page's bytes as they were when it turned dirty, where the manager
  // kept them (see TCacheMgr::SetBeforeImageLimit); else null.
  const uint8_t* BeforeImage() const { return before_.get(); }

 private:
  friend class TCacheMgr;

  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t low_addr_ = 0;
  int32_t owner_ = 0;
  uint32_t page_size_ = 0;
  uint32_t lru_flag_ = 0;
  TCachePageState state_ = cpEmpty;
  uint32_t access_flags_ = 0;
  uint32_t upper_addr_ = 0;
  int dirty_at_ = -1;  // position in the manager's list of dirty pages
  uint32_t dirty_from_ = 0;
  uint32_t dirty_to_ = 0;
  std::unique_ptr<uint8_t[]> before_;  // see BeforeImage

  // Position in the collection, kept by the manager for the empty-page heap.
  int slot_ = 0;
  // Recency list of the clean pages, least recent first.
  TCachePage* lru_prev_ = nullptr;
  TCachePage* lru_next_ = nullptr;
};

class TCacheMgr : public THashCollection {
 public:
  TCacheMgr();
  ~TCacheMgr() override;
  // Pages are found through the cache's own index (FindPage), never the
  // collection's hash, which stays empty.
  THashCollectionItem* FindHashKey(const void* key) const = delete;

  void SetReadIO(TCacheReadPageProc proc) { read_io_ = std::move(proc); }
  void SetWriteIO(TCacheWritePageProc proc) { write_io_ = std::move(proc); }
  // Optional: Commit hands runs of adjacent dirty pages to it, up to
  // kMaxCommitRun at a time, instead of writing them one by one.
  void SetWriteRunIO(TCacheWriteRunProc proc) { write_run_io_ = std::move(proc); }
  static constexpr size_t kMaxCommitRun = 64;
  // Up to `pages` pages turning dirty inside a transaction keep a copy of
  // what they held then, when that is what the read procedure gave (a clean
  // page, or one just filled to take a part-page write): a commit's journal
  // then needs no read of the file for them. 0 (the default) keeps none.
  // Whether the file still holds those bytes at the commit is the caller's
  // to know.
  void SetBeforeImageLimit(int pages) { before_limit_ = std::max(pages, 0); }
  // Lines the cache's choices are written to; borrowed, may be null.
  void SetLog(host::TStrings* log) { log_ = log; }

  // Makes `pageCount` empty pages of `pageSize` bytes (a power of two);
  // 10065 "ReadIO"/"WriteIO" when a procedure is missing. Reopening closes
  // first.
  void Open(int pageCount, uint32_t pageSize);
  // Frees every page and empties the hash; pending writes are dropped.
  void Close();
  bool IsOpen() const { return page_size_ != 0; }

  // Copies `count` bytes at `position` into `buffer`, page by page.
  void ReadCache(void* buffer, int32_t owner, uint32_t accessFlags, uint32_t position,
                 uint32_t upper, uint32_t count);
  // Copies `count` bytes from `buffer` to `position`, page by page.
  void WriteCache(const void* buffer, int32_t owner, uint32_t count, uint32_t upper,
                  uint32_t position, uint32_t accessFlags);
  // For a write that lies within one page: inside a transaction, when that
  // page is dirty already under the same owner and access flags, the bytes
  // go straight into it (true). Otherwise nothing is written, and `page` is
  // the cached page holding position (null: none) for WriteOnePage.
  bool WriteIntoDirtyPage(const void* buffer, int32_t owner, uint32_t count, uint32_t position,
                          uint32_t accessFlags, TCachePage*& page);
  // For a change the caller makes in place to the bytes [position,
  // position + count) of one page: inside a transaction, when that page is
  // cached under the same owner and access flags, dirty already or clean
  // (which then turns dirty, as at a first write), the page counts those
  // bytes changed (its before-image keeping what they held) and the page's
  // first byte is returned, to be changed in those bytes only and before the
  // next call into the cache, other than another EditCachedPage (which
  // neither reads, drops nor moves a page, so that two pages may be edited
  // side by side). Otherwise null, nothing done. A clean page that cannot
  // be listed dirty for want of memory raises and stays clean.
  uint8_t* EditCachedPage(int32_t owner, uint32_t count, uint32_t position, uint32_t accessFlags);
  // WriteCache for a write within one page, `page` being what
  // WriteIntoDirtyPage found for it just before.
  void WriteOnePage(const void* buffer, int32_t owner, uint32_t count, uint32_t position,
                    uint32_t accessFlags, TCachePage* page);
  // A pointer to `count` bytes at `position` inside one cached page.
  uint8_t* ReadCacheByRef(int32_t owner, uint32_t accessFlags, uint32_t position, uint32_t upper,
                          uint32_t count);
  // Writes `count` bytes at `position` inside one page; `buffer` may be the
  // pointer ReadCacheByRef gave (modified in place), which is then not copied.
  void WriteCacheByRef(const void* buffer, int32_t owner, uint32_t count, uint32_t upper,
                       uint32_t position, uint32_t accessFlags);

  void StartTransaction();
  // Writes every dirty page in address order, runs of adjacent pages
  // together (10257 without a transaction). A failing write raises with the
  // transaction still open: the pages written so far are clean, the rest
  // (the failed run's included) still dirty.
  void Commit();
  // Every dirty page becomes empty (10257 without a transaction). Both end
  // with the cache trimmed back to its page limit.
  void Rollback();
  bool TransactionActive() const { return transaction_active_; }

  // The page holding that address, if cached, becomes empty (even a dirty one).
  void RemovePage(uint32_t position, uint32_t upper);
  // The dirty page holding that address, if any, counts as changed whole
  // (its bytes came from elsewhere than the file).
  void DirtyWholePage(uint32_t position, uint32_t upper);
  // Every clean page of that owner becomes empty; dirty pages (uncommitted
  // writes of this connection) stay.
  void ClearOwnedPages(int32_t owner);
  // Every page becomes empty (even a dirty one).
  void ClearCache();
  // Frees pages from the end down to index n, skipping dirty ones, or adds
  // empty pages up to n; n becomes the page limit.
  void ResetPageCount(int n);
  // Raises the page limit to n (never lowers it); the pages are added as
  // they are needed.
  void RaisePageLimit(int n) { page_limit_ = std::max(page_limit_, n); }
  bool IsBaseAddrInCache(uint32_t position) const;
  int64_t TotalCacheSize() const { return int64_t{Count()} * page_size_; }

  // "Cache dump: ..." and one line per page, to `lines`.
  void DumpState(host::TStrings& lines) const;

  TCachePage* Pages(int index) const { return static_cast<TCachePage*>(Items(index)); }
  // The page cached for that address, or nullptr.
  TCachePage* FindPage(uint32_t position, uint32_t upper) const;
  int PageLimit() const { return page_limit_; }
  uint32_t PageSize() const { return page_size_; }
  uint32_t BaseAddrMask() const { return base_addr_mask_; }
  int64_t Hits() const { return hits_; }
  int64_t Misses() const { return misses_; }
  int DirtyCount() const { return static_cast<int>(dirty_.size()); }
  // Pages set aside out of the cache for the next transaction to grow into.
  int ParkedCount() const { return static_cast<int>(parked_.size()); }
  // Page objects (without buffers) kept out of the collection for the pages
  // the cache adds next.
  int SparePageCount() const { return static_cast<int>(spare_pages_.size()); }
  // The dirty pages, in no particular order: a commit touches these only,
  // however far the cache has grown.
  const std::vector<TCachePage*>& DirtyPages() const { return dirty_; }
  // Puts DirtyPages in address order, the order Commit writes them in; a
  // commit that follows with no page turning dirty or clean in between
  // need not sort them again.
  void SortDirtyPages();
  // While Commit hands a single page to the write procedure: that page (its
  // buffer is the one given); else null.
  const TCachePage* CommittingPage() const { return committing_; }

 protected:
  host::TCollectionItem* NewItem() override { return new TCachePage(); }

 private:
  // Where one page's part of a transfer lies.
  struct TPiece {
    uint32_t base;
    uint32_t offset;
    uint32_t length;
    bool Whole(uint32_t pageSize) const { return length == pageSize; }
  };

  TPiece PieceAt(uint64_t position, uint64_t end) const;
  void CheckRange(uint32_t position, uint32_t count, const char* caller) const;
  // The page cached for `piece`, reading it (into the spare buffer first) on
  // a miss or an identity mismatch.
  TCachePage* LoadPage(int32_t owner, uint32_t accessFlags, uint32_t base, uint32_t upper);
  // `page` is what FindPage gives for the piece.
  void WritePiece(const uint8_t* src, int32_t owner, uint32_t accessFlags, const TPiece& piece,
                  uint32_t upper, TCachePage* page);
  // Fills the spare buffer from the file.
  void FillSpare(int32_t owner, uint32_t accessFlags, uint32_t base, uint32_t upper);
  // A page out of the hash ready to hold another address: the first empty
  // page, else a new one while the cache is below its limit, else the least
  // recently used clean page, else a new one.
  TCachePage* TakePage();
  // Puts `pages` (each holding an address of its own) in address order.
  void SortByAddress(std::vector<TCachePage*>& pages);
  TCachePage* AddPage();
  // Takes pages beyond the limit out of the cache: empty ones first, then
  // the least recently used clean ones (after a transaction, when none is
  // dirty). Their buffers are set aside for the next transaction to grow
  // into (see parked_), as far as kMaxParkedBytes allows, and their objects
  // kept spare (see spare_pages_); the rest is freed.
  void TrimToLimit();
  // Frees up to `pages` parked pages.
  void FreeParked(size_t pages = SIZE_MAX);
  // What the lists sized by the dirty or trimmed pages keep between
  // transactions; beyond it they are given back.
  size_t KeptListCapacity() const;
  // Gives `page` the spare buffer's contents (the spare takes its old buffer).
  void SwapInSpare(TCachePage* page);
  // Puts a taken page into the hash under its new address.
  void Install(TCachePage* page, int32_t owner, uint32_t accessFlags, uint32_t base, uint32_t upper,
               TCachePageState state);
  void SetState(TCachePage* page, TCachePageState state);
  // A clean page of the open transaction turns dirty with [from, to) as its
  // span, keeping what those bytes hold as its before-image while the limit
  // allows. Listed before anything changes: a list that cannot take it
  // raises with the page clean and as it was.
  void TurnDirty(TCachePage* page, uint32_t from, uint32_t to);
  // Appends `page` to the dirty list; may raise (short of memory) with the
  // list as it was.
  void ListDirty(TCachePage* page) {
    if (dirty_.size() == dirty_.capacity()) GrowDirtyList();
    dirty_.push_back(page);
  }
  void GrowDirtyList();
  // Each dirty page's dirty_at_ set to its place in the list, once the list
  // was reordered or cut.
  void NumberDirtyPages();
  // A page-sized buffer holding bytes [from, to) of `bytes` (one page) for a
  // page about to turn dirty with that span, while the limit allows (else,
  // or short of memory, null); AttachBeforeImage gives it to the page once
  // dirty.
  std::unique_ptr<uint8_t[]> CopyBeforeImage(const uint8_t* bytes, uint32_t from, uint32_t to);
  // Before a dirty page with a before-image takes bytes [from, to): its
  // image gains what its dirty span is about to gain.
  void WidenBeforeImage(TCachePage* page, uint32_t from, uint32_t to);
  void AttachBeforeImage(TCachePage* page, std::unique_ptr<uint8_t[]> image);
  // Takes the page's before-image back, if it has one.
  void DropBeforeImage(TCachePage* page);
  void Stamp(TCachePage* page);
  void MakeEmpty(TCachePage* page);
  void LruUnlink(TCachePage* page);
  void LruAppend(TCachePage* page);
  void PushEmpty(int slot);
  void RebuildSlots();
  // Callers build a line only when there is a log (log_) to take it.
  void Log(const std::string& line) const;
  // Inline: asked on the way of every page the cache adds, log or not.
  void Log(const char* line) const {
    if (log_) log_->Add(line);
  }

  int page_limit_ = 0;
  uint32_t page_size_ = 0;
  uint32_t base_addr_mask_ = 0;
  uint32_t lru_counter_ = 0;
  bool transaction_active_ = false;
  host::TStrings* log_ = nullptr;
  int64_t misses_ = 0;
  int64_t hits_ = 0;
  TCacheReadPageProc read_io_;
  TCacheWritePageProc write_io_;
  TCacheWriteRunProc write_run_io_;
  const TCachePage* committing_ = nullptr;  // see CommittingPage

  // A page-sized buffer every fill and every write-through is prepared in, so
  // that a failing transfer leaves the cached pages untouched.
  std::unique_ptr<uint8_t[]> spare_;
  TCachePage* lru_head_ = nullptr;
  TCachePage* lru_tail_ = nullptr;
  std::vector<int> empty_heap_;            // slots of empty pages, smallest on top
  std::vector<TCachePage*> dirty_;         // every dirty page (see TCachePage::dirty_at_)
  bool dirty_sorted_ = false;              // dirty_ is in address order (SortDirtyPages)
  std::vector<TCachePage*> sort_scratch_;  // SortByAddress's scratch list, kept for reuse
  std::vector<uint8_t> trim_goes_;          // TrimToLimit's, likewise
  // Buffers of the pages transactions grew the cache by, kept once their
  // pages are gone: the next transaction that grows past the limit gives
  // them to its new pages instead of allocating buffers anew. Never more
  // than kMaxParkedBytes of them; each Commit or Rollback frees up to
  // kFreedParkedBytes of those still parked before it parks its own, so
  // that a big transaction's growth goes back a little per transaction
  // rather than all at once in the one after it. Only buffers are kept:
  // freeing one later is a single free of memory gone cold.
  std::vector<std::unique_ptr<uint8_t[]>> parked_;
  static constexpr size_t kMaxParkedBytes = size_t{32} << 20;
  static constexpr size_t kFreedParkedBytes = size_t{1} << 20;
  // The page objects of the pages a trim takes out of the cache, out of the
  // collection and without their buffers, for AddPage to put back: a
  // transaction that grows the cache as the one before did makes no page
  // objects, and the trim after it frees none. Up to kMaxSparePages of them
  // (about 2 MB), whatever the page size: a transaction of random inserts
  // into a large table grows a cache of 4 KB pages by more pages than
  // parked_ keeps buffers for, and objects cost a small part of a buffer.
  // Freed only by Close, all at once, so no later commit pays for freeing
  // them a part at a time.
  std::vector<std::unique_ptr<TCachePage>> spare_pages_;
  static constexpr size_t kMaxSparePages = 16384;
  int before_limit_ = 0;
  int before_used_ = 0;
  // Before-image buffers not in use, kept for the next transaction.
  std::vector<std::unique_ptr<uint8_t[]>> before_free_;
  // Every page holding an address, by (upper, base): the one index pages are
  // found by (the collection's own hash stays empty: keeping it in step
  // cost every miss and every trim two more hash updates, and nothing looks
  // there). A page's hash key still names its address.
  //
  // An open-addressed table of a power of two slots, at most half of them
  // used: a key's first slot is the top bits of its product with an odd
  // constant, and a key not there lies in the slots after it, up to the
  // next free one. Taking a key out moves the keys after it back into the
  // gap when their first slot allows, so no slot is ever left marked
  // deleted and a search stops at the first free slot. The table doubles as
  // it fills (allocating the new one before anything changes: short of
  // memory, the old stays as it was); after a transaction it is cut back
  // only to the room of the limit and kMaxSparePages more, so that each
  // transaction as large as the one before does not grow it again.
  struct TIndexSlot {
    uint64_t key;
    TCachePage* page;  // null: a free slot
  };
  static constexpr size_t kMinIndexSlots = 16;
  static constexpr uint64_t kIndexMix = 0x9E3779B97F4A7C15;
  std::unique_ptr<TIndexSlot[]> index_;
  size_t index_mask_ = 0;  // slots - 1
  int index_shift_ = 0;    // 64 - log2(slots)
  size_t index_used_ = 0;
  static uint64_t IndexKey(uint32_t upper, uint32_t base) {
    return (uint64_t{upper} << 32) | base;
  }
  size_t IndexHome(uint64_t key) const {
    return static_cast<size_t>((key * kIndexMix) >> index_shift_);
  }
  // The page under `key`, or null; the index must exist (the cache open).
  TCachePage* IndexFind(uint64_t key) const {
    for (size_t at = IndexHome(key);; at = (at + 1) & index_mask_) {
      const TIndexSlot& slot = index_[at];
      if (!slot.page || slot.key == key) return slot.page;
    }
  }
  // The number of slots that holds `pages` keys at most half full.
  static size_t IndexSlotsFor(size_t pages);
  // Moves every key into a new table of `slots` slots; may raise (short of
  // memory) with the table as it was.
  void ResizeIndex(size_t slots);
  // Puts `page` into the index under its address; may raise (short of
  // memory, growing the table) with nothing changed.
  void IndexInsert(TCachePage* page);
  // Takes `key` out of the index, if it is there.
  void IndexErase(uint64_t key);
  void Unhash(TCachePage* page);
  [[noreturn]] void RefuseOnePageWrite(uint32_t position, uint32_t count) const;
};

// Inline: the way most of a transaction's small writes go (a tree's nodes,
// a record), which would otherwise pay more for the call than the copy.
inline bool TCacheMgr::WriteIntoDirtyPage(const void* buffer, int32_t owner, uint32_t count,
                                          uint32_t position, uint32_t accessFlags,
                                          TCachePage*& page) {
  const uint32_t base = position & base_addr_mask_;
  const uint32_t from = position - base;
  // Within one page of an open cache, and so below 4 GB.
  if (!IsOpen() || uint64_t{from} + count > page_size_) RefuseOnePageWrite(position, count);
  page = IndexFind(IndexKey(0, base));
  if (!transaction_active_ || count == 0 || !page || page->state_ != cpDirty ||
      page->owner_ != owner || page->access_flags_ != accessFlags)
    return false;
  // A dirty page of the same identity takes the bytes in place: it stays
  // dirty under that identity, its span (and a before-image it keeps) grows
  // by what the write covers.
  ++hits_;
  const uint32_t to = from + count;
  // Most writes land inside the span: the before-image has those bytes.
  if (page->before_ && (from < page->dirty_from_ || to > page->dirty_to_))
    WidenBeforeImage(page, from, to);
  std::memcpy(page->buffer_.get() + from, buffer, count);
  page->dirty_from_ = std::min(page->dirty_from_, from);
  page->dirty_to_ = std::max(page->dirty_to_, to);
  // What Stamp does for a dirty page (only clean ones are on the recency list).
  page->lru_flag_ = lru_counter_++;
  return true;
}

class TCacheBlockMgr;

class TCacheBlock : public host::TCollectionItem {
 public:
  TCacheBlock() = default;

  const uint8_t* Data() const { return data_.get(); }
  uint32_t BlockSize() const { return block_size_; }
  int32_t Owner() const { return owner_; }
  TCachePageState State() const { return state_; }
  uint32_t LowAddr() const { return low_addr_; }
  uint32_t HighAddr() const { return high_addr_; }
  uint32_t AccessFlags() const { return access_flags_; }
  uint64_t Start() const { return (uint64_t{high_addr_} << 32) | low_addr_; }
  uint64_t End() const { return Start() + block_size_; }

 private:
  friend class TCacheBlockMgr;

  std::unique_ptr<uint8_t[]> data_;
  uint32_t block_size_ = 0;
  int32_t owner_ = 0;
  TCachePageState state_ = cpEmpty;
  uint32_t low_addr_ = 0;
  uint32_t high_addr_ = 0;
  uint32_t access_flags_ = 0;
};

class TCacheBlockMgr : public host::TCollection {
 public:
  TCacheBlockMgr();
  ~TCacheBlockMgr() override;

  void SetReadIO(TCacheReadBlockProc proc) { read_io_ = std::move(proc); }
  void SetWriteIO(TCacheWriteBlockProc proc) { write_io_ = std::move(proc); }
  // Lines the cache's choices are written to; borrowed, may be null.
  void SetLog(host::TStrings* log) { log_ = log; }

  // 10065 "ReadIO"/"WriteIO" when a procedure is missing; zeroes the counters.
  void Open();
  // Drops every pending block and ends the transaction.
  void Close();
  // Open, then the transaction begins.
  void StartTransaction();
  // `count` bytes at (low, high): pending bytes where there are some, the
  // file's bytes in the gaps.
  void ReadBlock(void* buffer, int32_t owner, uint32_t count, uint32_t high, uint32_t low);
  // Holds `count` bytes for (low, high) until Commit, over whatever was
  // pending there; only inside a transaction.
  void WriteBlock(const void* buffer, int32_t owner, uint32_t count, uint32_t high, uint32_t low);
  // Forgets the pending bytes of [position, position + count): a later write
  // through the page cache has superseded them.
  // Whether anything was pending there.
  bool RemoveRange(uint32_t position, uint32_t upper, uint32_t count);
  // Whether a pending block may lie in [position, position + count): false
  // settles it without a call or a search.
  bool MayHold(uint32_t position, uint32_t upper, uint32_t count) const {
    const uint64_t start = (uint64_t{upper} << 32) | position;
    const uint64_t end = start + count;
    if (count == 0 || index_.empty() || end <= span_start_ || start >= span_end_) return false;
    const uint64_t granule = start >> kGranuleShift;
    if (end > kMarkedLimit || ((end - 1) >> kGranuleShift) != granule)
      return AnyMarked(start, end);
    const auto word = static_cast<size_t>(granule >> 6);
    return word < marks_.size() && ((marks_[word] >> (granule & 63)) & 1) != 0;
  }
  // Writes every dirty block in collection order, then frees all blocks
  // (10257 without a transaction). A failing write raises with the
  // transaction still open and the unwritten blocks still pending.
  void Commit();
  // Frees every block unwritten (10257 without a transaction).
  void Rollback();
  bool TransactionActive() const { return transaction_active_; }
  // Whether a pending block holds the byte at that address.
  bool IsBaseAddrInCache(uint32_t position) const;
  bool Empty() const { return index_.empty(); }

  // "Cache dump: ..." and one line per block, to `lines`.
  void DumpState(host::TStrings& lines) const;

  TCacheBlock* Blocks(int index) const { return static_cast<TCacheBlock*>(Items(index)); }
  int64_t Hits() const { return hits_; }
  int64_t Misses() const { return misses_; }

 protected:
  host::TCollectionItem* NewItem() override { return new TCacheBlock(); }

 private:
  TCacheBlock* NewBlock(uint64_t start, uint32_t size);
  void DeleteBlock(TCacheBlock* block);
  // The first pending block ending after `start`, in address order.
  std::map<uint64_t, TCacheBlock*>::iterator FirstEndingAfter(uint64_t start);
  std::map<uint64_t, TCacheBlock*>::const_iterator FirstEndingAfter(uint64_t start) const;

  bool transaction_active_ = false;
  host::TStrings* log_ = nullptr;
  int64_t misses_ = 0;
  int64_t hits_ = 0;
  TCacheReadBlockProc read_io_;
  TCacheWriteBlockProc write_io_;
  std::map<uint64_t, TCacheBlock*> index_;  // start -> block, ranges disjoint
  // Every pending block lies inside [span_start_, span_end_) (not narrowed
  // as blocks go, reset when the last does): most ranges asked about lie
  // outside it, and need no search.
  uint64_t span_start_ = UINT64_MAX;
  uint64_t span_end_ = 0;
  // One bit per 4 KB granule below 4 GB that a write of this transaction
  // touched (kept when the bytes go again, reset with the span): pages the
  // transaction writes lie mostly among pending raw ranges, yet seldom under
  // one, and a bit settles that where the span cannot.
  static constexpr int kGranuleShift = 12;
  static constexpr uint64_t kMarkedLimit = uint64_t{1} << 32;
  std::vector<uint64_t> marks_;
  std::vector<uint32_t> marked_words_;  // the words of marks_ not zero
  // The block the last write went to: a table header is written again and
  // again within a transaction, each time inside the block its first write
  // made, which then needs no search. Null once that block goes.
  TCacheBlock* last_written_ = nullptr;
  // Whether a granule of [start, end) is marked; true from 4 GB on.
  bool AnyMarked(uint64_t start, uint64_t end) const;
  // Before bytes [start, end) turn pending; may raise (short of memory)
  // with nothing else changed.
  void Mark(uint64_t start, uint64_t end);
  // No block is pending any more.
  void ForgetSpan();
};

}  // namespace tav

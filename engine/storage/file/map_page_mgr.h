// TMapPageMgr: the map pages of a database file, one 16-bit entry per page of
// the file telling who owns the page or that it is free. The disk manager
// calls it to find runs of free pages, to mark pages used or free, and to
// list or free every page of one owner. docs/file-format.md ("Map pages")
// gives the layout.
//
// Entry values: 0 never allocated; top bit clear and nonzero the owner code
// (table id x 16 + usage kind; 1 = the fixed area at the start of the file,
// 2 = a map page); top bit set free, the low 15 bits the byte offset in the
// same map page of the next free entry (0 ends the chain). The free entries
// of a map page form one chain in ascending offset order.
//
// Callers must keep:
//  - The page I/O (the disk manager, through page_io.h) and the global
//    header are borrowed and must outlive this object; every call is made
//    under the disk manager's header write lock (read lock for the listings
//    and for owner queries past the map pages the header copy counts), with
//    the header freshly read.
//  - Map pages are read afresh for every operation: other connections change
//    them between header locks. Only the addresses of the map pages are
//    remembered, since map pages never move once linked; ResetAddressCache
//    forgets them (the disk manager calls it when a transaction that may have
//    added map pages is rolled back). The free chain last checked is kept
//    with a copy of its page: a page read back byte for byte the same has
//    the same chain, checked already, and is not walked again.
//  - Owners of table pages found by PageOwnerCode are remembered (a record
//    read must not cost a map read): the entries this object changes are
//    forgotten as they change, ResetAddressCache forgets all, and the owner
//    of the table pages calls ForgetPageOwners when another connection
//    changed that table (only the table's own operations free its pages).
//  - Every value read from a map page is untrusted: a damaged chain, link or
//    sequence number raises 8581 and never loops, however the bytes lie.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/rtl/object.h"

namespace host {
class TList;
class TStrings;
}  // namespace host

namespace tav {

class TGlobalHdr;
class TPageIO;

// Map page layout.
inline constexpr uint32_t kMapPageSeqOffset = 0;
inline constexpr uint32_t kMapPageNextOffset = 4;
inline constexpr uint32_t kMapPageFirstFreeOffset = 8;
inline constexpr uint32_t kMapPageHdrSize = 20;

// Entry values.
inline constexpr uint16_t kMapEntryFree = 0x8000;
inline constexpr uint16_t kMapOwnerFixedArea = 1;
inline constexpr uint16_t kMapOwnerMapPage = 2;

// Pages 0 to 4 hold the file's headers; page 5 is the first map page.
inline constexpr uint32_t kFixedAreaPages = 5;

class TMapPageMgr : public host::TObject {
 public:
  // Create: for pages of `pageSize` bytes (a power of two of at least 256).
  explicit TMapPageMgr(uint32_t pageSize);
  TMapPageMgr(const TMapPageMgr&) = delete;
  TMapPageMgr& operator=(const TMapPageMgr&) = delete;

  void SetPageIO(TPageIO* value) { page_io_ = value; }
  void SetGlobalHdr(TGlobalHdr* value) { global_hdr_ = value; }

  // Sets the entries of `count` pages from `address` (page-aligned) to
  // `owner`, or frees them when `owner` has the top bit set, one map page at
  // a time. Marking a page just past the mapped area appends a map page.
  // Freeing a page of the fixed area or a map page raises 8581: only a
  // damaged address can ask for it, and handing those pages out again would
  // destroy the file.
  void AdjustMapPageFlags(uint16_t owner, uint32_t address, uint32_t count);
  // The file address of the first run of `count` free pages, taken out of
  // its map page's chain (the caller marks the pages used), or 0 when there
  // is none and new pages must be appended.
  uint32_t GetNextEmptyPageAddress(uint32_t count);
  // Clears `list` and adds the address of every page whose entry matches:
  // with matchKind the entry equals owner x 16 + kind, else its owner part
  // equals `owner`. Free and never-allocated entries, the fixed area and map
  // pages never match.
  void ListPagesUsedByOwner(uint32_t owner, uint32_t kind, host::TList& list, bool matchKind);
  // As ListPagesUsedByOwner, and frees every page listed.
  void DeleteOwnedPages(uint32_t owner, uint32_t kind, host::TList& list, bool matchKind);

  // Appends a zeroed page, links it after the last map page and prepares the
  // buffer as the new map page (sequence = the old MapPageCount). The caller
  // adds 1 to MapPageCount. Returns the new page's address.
  uint32_t AddNewMapPage();
  // The sequence number of the map page in the buffer.
  uint32_t CurrentMapPageID() const;
  // Reads map page `index` into the buffer and returns its address.
  uint32_t SearchMapsForMapPage(uint32_t index);
  // The address of the first run of `count` free pages in any map page
  // (taken out of its chain, as GetNextEmptyPageAddress), or 0.
  uint32_t SearchMapsForEmptyPages(uint32_t count);
  // The address of the first map page with a free entry, or 0.
  uint32_t SearchMapsForFirstEmptyMapPage();
  // Relinks the buffer's free chain in ascending offset order.
  void OrderEmptySegments();

  // "Map page count/file size out of sync" or an empty text.
  std::string DebugCheckStatus();
  // One line per map page and its entries, 16 to a line.
  void DebugDumpMapContents(host::TStrings& list);

  // The map entry of the page holding `address`: an owner code, a free
  // entry, or 0 for a page the map does not reach. Answers a table page
  // from what is remembered without reading (see the header note); callers
  // that must see the file as it stands hold the header lock.
  uint16_t PageOwnerCode(uint32_t address);
  // Whether the owner of that page is remembered, and which it is.
  bool KnownPageOwner(uint32_t address, uint16_t& code) const;
  // Whether the map pages the header copy counts reach the page holding
  // `address` (map pages never move and are never removed).
  bool CoversPage(uint32_t address) const;
  // Forgets the remembered owners of table `tableId`'s pages.
  void ForgetPageOwners(uint32_t tableId);
  // Forgets the remembered owner of the page holding `address`.
  void ForgetPageOwner(uint32_t address) {
    page_owners_.erase(address >> page_shift_);
    OwnersChanged();
  }
  // Changes whenever a remembered owner is forgotten or read again, and is
  // never the same for two managers: an answer KnownPageOwner gave stands
  // while this stays the same.
  uint64_t OwnersGeneration() const { return owners_generation_; }

  void ResetAddressCache() {
    map_addrs_.clear();
    page_owners_.clear();
    OwnersChanged();
  }

  uint32_t EntriesPerPage() const { return entries_; }
  uint32_t PageSize() const { return page_size_; }
  uint32_t PageShift() const { return page_shift_; }
  const uint8_t* Buffer() const { return buffer_.data(); }

 private:
  uint16_t EntryAtOffset(uint32_t offset) const;
  void SetEntryAtOffset(uint32_t offset, uint16_t value);
  uint16_t HeadOffset() const;
  void SetHeadOffset(uint16_t offset);
  uint32_t NextLink() const;
  bool ValidEntryOffset(uint32_t offset) const;
  static uint32_t EntryOffset(uint32_t index) { return kMapPageHdrSize + 2 * index; }
  static uint32_t EntryIndex(uint32_t offset) { return (offset - kMapPageHdrSize) / 2; }

  // The buffer's free chain in chain order, every offset checked.
  std::vector<uint16_t> ReadChain() const;
  // The same, walked only when the buffer differs from the page whose chain
  // was last checked or kept. The result may be changed in place, and kept
  // with KeepChain once the buffer holds that chain.
  std::vector<uint16_t>& Chain();
  // Records that the buffer's chain is now Chain()'s (changed to match the
  // buffer), sorted or not.
  void KeepChain(bool sorted);
  // Links `offsets` (ascending, no duplicates) as the buffer's free chain.
  void LinkChain(const std::vector<uint16_t>& offsets);
  // A run of `count` adjacent chain entries in the buffer: unlinks it and
  // returns its first entry index, or -1.
  int64_t FindEmptyPagesInMap(uint32_t count);
  // The file address of entry `index` of map page `seq`.
  uint32_t PageAddress(uint32_t seq, uint32_t index) const;

  void SetMapEntryFlags(uint16_t owner, uint32_t address, uint32_t count);
  void UpdateFirstMapPageEmpty(uint32_t mapAddress);
  void CheckMapPageAddress(uint32_t address) const;
  // The address of map page `index`, following the links from FirstMapPage.
  uint32_t MapPageAddress(uint32_t index);
  void ReadMapPage(uint32_t address);
  void WriteMapPage();
  bool Matches(uint16_t entry, uint64_t page, uint32_t owner, uint32_t kind, bool matchKind) const;
  void CollectOwnedPages(uint32_t owner, uint32_t kind, host::TList& list, bool matchKind,
                         bool release);

  uint32_t entries_;
  uint32_t page_shift_;
  uint32_t page_size_;
  std::vector<uint8_t> buffer_;
  uint32_t buffer_address_ = 0;  // where the buffer's map page lies
  TPageIO* page_io_ = nullptr;
  TGlobalHdr* global_hdr_ = nullptr;
  std::vector<uint32_t> map_addrs_;  // addresses of map pages 0, 1, ... as found
  // Page number -> owner code of table pages, as last read.
  std::unordered_map<uint32_t, uint16_t> page_owners_;
  uint64_t owners_generation_ = NewOwnersGeneration();
  static uint64_t NewOwnersGeneration();
  void OwnersChanged() { owners_generation_ = NewOwnersGeneration(); }
  // The map page (address and bytes) whose chain `chain_` is, and whether
  // that chain is known to be in offset order.
  uint32_t chain_address_ = 0;
  std::vector<uint8_t> chain_page_;
  std::vector<uint16_t> chain_;
  bool chain_sorted_ = false;
};

}  // namespace tav

// TTableDirectory: the 8192-byte image of a table directory, which maps the
// ids of one group of tables (user tables from 1, system tables from 1024) to
// the addresses of their header blocks. It only knows the bytes: where the
// entries lie, how the used ones are packed, which id a new table takes and
// what a sound image looks like. Reading and writing it is the header
// manager's business (table_header.h). docs/file-format.md ("Table header
// and directory") gives the layout.
//
// Callers must keep:
//  - An image read from storage is untrusted until Validate has passed; the
//    other operations assume a validated (or self-built) image: used entries
//    packed from entry 0, each id within the directory's 1000 ids, no id or
//    address twice.
//  - Positions run from 0 to kTableDirectoryEntries - 1.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tav {

inline constexpr uint32_t kTableDirectorySize = 8192;
inline constexpr int kTableDirectoryEntries = 1000;
inline constexpr uint32_t kTableDirectoryEntrySize = 8;  // table id, header address
// The first id of each directory: user tables take 1..1000, system tables
// 1024..2023.
inline constexpr int32_t kUserTableBaseID = 1;
inline constexpr int32_t kSystemTableBaseID = 1024;

class TTableDirectory {
 public:
  TTableDirectory();

  int32_t BaseTableID() const { return base_table_id_; }
  void SetBaseTableID(int32_t value) { base_table_id_ = value; }

  // The raw image, kTableDirectorySize bytes.
  uint8_t* Image() { return image_.data(); }
  const uint8_t* Image() const { return image_.data(); }

  // Every byte zero: no table.
  void Clear();

  // The entry at `position` as stored (ids read as 32-bit signed).
  int32_t TableIDAt(int position) const;
  uint32_t AddressAt(int position) const;
  void SetEntry(int position, int32_t tableID, uint32_t address);

  // The number of used entries: the position of the first entry with id 0.
  int Count() const;
  // The last entry is in use, so no table can be added.
  bool Full() const { return TableIDAt(kTableDirectoryEntries - 1) != 0; }

  // True and the entry's position when `tableID` is listed. Otherwise false
  // and the position of the first empty entry, or -1 when there is none.
  bool Find(int32_t tableID, int& position) const;

  // The lowest id of this directory that no entry uses. 9601 (caller
  // `caller`) when all 1000 are taken.
  int32_t LowestFreeTableID(const char* caller) const;

  // Takes the entry at `position` out; the entries after it move one place
  // up, so the used ones stay packed, and the last entry becomes empty.
  void Remove(int position);

  // 8581 (caller `caller`) unless the image is sound: the used entries are
  // packed from the start (no id after the first empty entry), every id lies
  // within this directory's 1000, every address passes `addressValid`, and no
  // id or address appears twice. The 192 bytes after the entries are not
  // looked at.
  void Validate(const std::function<bool(uint32_t)>& addressValid, const char* caller) const;

 private:
  std::vector<uint8_t> image_;
  int32_t base_table_id_ = kUserTableBaseID;
};

}  // namespace tav

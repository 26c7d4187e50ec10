#include "engine/storage/table/table_directory.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/le_bytes.h"

namespace tav {

namespace {

using host::GetU32;
using host::PutU32;

size_t EntryOffset(int position) {
  TAV_ASSERT(position >= 0 && position < kTableDirectoryEntries,
             "Table directory position out of range");
  return static_cast<size_t>(position) * kTableDirectoryEntrySize;
}

[[noreturn]] void Damaged(const char* caller, const char* what, int position) {
  TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Table directory damaged: %s at entry %d",
                      {what, position});
}

}  // namespace

TTableDirectory::TTableDirectory() : image_(kTableDirectorySize, 0) {}

void TTableDirectory::Clear() {
  std::fill(image_.begin(), image_.end(), 0);
}

int32_t TTableDirectory::TableIDAt(int position) const {
  return static_cast<int32_t>(GetU32(image_.data() + EntryOffset(position)));
}

uint32_t TTableDirectory::AddressAt(int position) const {
  return GetU32(image_.data() + EntryOffset(position) + 4);
}

void TTableDirectory::SetEntry(int position, int32_t tableID, uint32_t address) {
  uint8_t* p = image_.data() + EntryOffset(position);
  PutU32(p, static_cast<uint32_t>(tableID));
  PutU32(p + 4, address);
}

int TTableDirectory::Count() const {
  for (int i = 0; i < kTableDirectoryEntries; ++i)
    if (TableIDAt(i) == 0) return i;
  return kTableDirectoryEntries;
}

bool TTableDirectory::Find(int32_t tableID, int& position) const {
  position = -1;
  for (int i = 0; i < kTableDirectoryEntries; ++i) {
    const int32_t id = TableIDAt(i);
    if (id == 0) {
      if (position < 0) position = i;
      // Used entries are packed: nothing follows the first empty one.
      break;
    }
    if (tableID != 0 && id == tableID) {
      position = i;
      return true;
    }
  }
  return false;
}

int32_t TTableDirectory::LowestFreeTableID(const char* caller) const {
  std::vector<bool> used(kTableDirectoryEntries, false);
  for (int i = 0; i < kTableDirectoryEntries; ++i) {
    const int32_t id = TableIDAt(i);
    if (id == 0) break;
    if (id < base_table_id_) continue;
    const int64_t slot = int64_t{id} - base_table_id_;
    TAV_ASSERT(slot < kTableDirectoryEntries, "TableID out of range");
    used[static_cast<size_t>(slot)] = true;
  }
  const auto free = std::find(used.begin(), used.end(), false);
  if (free == used.end()) TavDatabaseError(kDatabaseTableLimitHasBeenReached, caller);
  return base_table_id_ + static_cast<int32_t>(free - used.begin());
}

void TTableDirectory::Remove(int position) {
  const size_t at = EntryOffset(position);
  const size_t end = size_t{kTableDirectoryEntries} * kTableDirectoryEntrySize;
  std::memmove(image_.data() + at, image_.data() + at + kTableDirectoryEntrySize,
               end - at - kTableDirectoryEntrySize);
  std::memset(image_.data() + end - kTableDirectoryEntrySize, 0, kTableDirectoryEntrySize);
}

void TTableDirectory::Validate(const std::function<bool(uint32_t)>& addressValid,
                               const char* caller) const {
  std::unordered_set<int32_t> ids;
  std::unordered_set<uint32_t> addresses;
  int i = 0;
  for (; i < kTableDirectoryEntries; ++i) {
    const int32_t id = TableIDAt(i);
    if (id == 0) break;
    if (id < base_table_id_ || int64_t{id} - base_table_id_ >= kTableDirectoryEntries)
      Damaged(caller, "table id out of range", i);
    if (!ids.insert(id).second) Damaged(caller, "table id listed twice", i);
    const uint32_t address = AddressAt(i);
    if (address == 0 || !addressValid(address)) Damaged(caller, "header address out of range", i);
    // Two tables on one header block would overwrite each other, and
    // deleting one would free the other's header.
    if (!addresses.insert(address).second) Damaged(caller, "header address listed twice", i);
  }
  // A table listed after the end of the list is out of reach: its id would
  // be handed out again.
  for (++i; i < kTableDirectoryEntries; ++i)
    if (TableIDAt(i) != 0) Damaged(caller, "table listed after the end of the list", i);
}

}  // namespace tav

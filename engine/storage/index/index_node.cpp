#include "engine/storage/index/index_node.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/storage/record/io_interface.h"
#include "engine/storage/index/key_fields.h"
#include "engine/storage/record/read_ahead.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

TNode::TNode() = default;
TNode::~TNode() = default;

void TNode::Open(TNodeOwner* owner, TBaseIOInterface* ioInterface, uint32_t pageSize) {
  TAV_ASSERT(owner != nullptr, "Node needs its owner");
  const TKeyFormat& format = owner->NodeKeyFormat();
  TAV_ASSERT(format.IsOpen(), "Node opened before its key format");
  owner_ = owner;
  format_ = &format;
  io_ = ioInterface;
  page_size_ = pageSize;
  max_key_size_ = format.MaximumKeySize();
  fixed_ = format.KeyType() == ikFixed;
  TAV_ASSERT(max_key_size_ > kKeyEntryHeaderSize, "MaxKeySize is 0");
  TAV_ASSERT(pageSize > static_cast<uint32_t>(kNodeHeaderSize + max_key_size_),
             "Index page too small for its keys");
  min_entry_size_ = fixed_
                        ? max_key_size_
                        : kKeyEntryHeaderSize + std::max<int32_t>(1, format.DataOffset());
  capacity_ = static_cast<int32_t>(pageSize) + 3 * max_key_size_;
  buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity_));
  image_ = buffer_.get();
  nonzero_end_ = 0;
  offsets_ = std::make_unique<int32_t[]>(static_cast<size_t>(capacity_ / min_entry_size_ + 2));
  offset_count_ = 0;
  offsets_valid_ = false;
  address_ = 0;
  cursor_ = 0;
  MarkAllDirty();
}

void TNode::SetUsed(int32_t used) {
  Set32(kNodeUsed, static_cast<uint32_t>(used));
  Changed();
}

void TNode::Corrupt(const char* caller, const char* what) const {
  TavDatabaseErrorFmt(kIndexIsCorrupt, caller, "%s (node %u)", {what, address_});
}

void TNode::CheckOpen() const {
  if (!buffer_)
    TavDatabaseError(kUnexpectedInternalError, "TNode.CheckOpen", "Node Buffer not allocated");
}

void TNode::CheckImage(const char* caller) const {
  const uint32_t used = Get32(kNodeUsed);
  if (used > page_size_ - kNodeHeaderSize) Corrupt(caller, "Node used count out of range");
  if (fixed_) {
    // Entry k starts at k * MaxKeySize whatever the length fields say; each
    // length is checked when its entry is used (EntryPtr, EntryLengthAt).
    if (used % static_cast<uint32_t>(max_key_size_) != 0)
      Corrupt(caller, "Node used count is not a whole number of entries");
  } else {
    offsets_valid_ = false;
    EnsureOffsets();
  }
}

void TNode::EnsureOffsets() const {
  if (fixed_ || offsets_valid_) return;
  const int32_t used = GetUsed();
  int32_t pos = 0;
  int n = 0;
  while (pos < used) {
    if (pos + 2 > used) Corrupt("TNode", "Invalid entry length in node");
    const int32_t len = host::GetU16(Data() + pos);
    if (len < min_entry_size_ || len > max_key_size_ || len > used - pos)
      Corrupt("TNode", "Invalid entry length in node");
    offsets_[n++] = pos;
    pos += len;
  }
  offset_count_ = n;
  offsets_valid_ = true;
}

void TNode::ReadNode(uint32_t address) {
  CheckOpen();
  if (address == 0) Corrupt("TNode.ReadNode", "Node address 0");
  if (address != address_) TakeImage(address, nullptr);
  cursor_ = 0;
}

void TNode::TakeImage(uint32_t address, const uint8_t* stored) {
  address_ = 0;
  MarkAllDirty();
  if (stored)
    CopyStoredImage(stored);
  else
    LoadImage(address);
  Changed();
  MarkClean();
  address_ = address;
  try {
    CheckImage("TNode.ReadNode");
  } catch (...) {
    address_ = 0;  // never keep a damaged node as the one held
    throw;
  }
}

void TNode::LoadImage(uint32_t address) {
  TAV_ASSERT(!Showing(), "Node shows a stored image");
  const uint8_t* page = io_->PeekBlock(address, page_size_);
  if (!page) {
    uint8_t* buffer = buffer_.get();
    io_->ReadBlock(address, page_size_, buffer);
    std::memset(buffer + page_size_, 0, static_cast<size_t>(capacity_) - page_size_);
    nonzero_end_ = static_cast<int32_t>(page_size_);
    return;
  }
  CopyStoredImage(page);
}

void TNode::CopyStoredImage(const uint8_t* page) {
  uint8_t* buffer = buffer_.get();
  // Where the image held so far may have non-zero bytes: its entries, or
  // what a whole-page load brought in.
  const int32_t heldEnd = std::max(ImageEnd(), nonzero_end_);
  // The page is read in place: only the header and the entries are copied
  // (the rest of a node is zero). A used count out of range takes the whole
  // page, for CheckImage to refuse.
  const uint32_t used = host::GetU32(page + kNodeUsed);
  const int32_t end = used <= page_size_ - kNodeHeaderSize
                          ? kNodeHeaderSize + static_cast<int32_t>(used)
                          : static_cast<int32_t>(page_size_);
  std::memcpy(buffer, page, static_cast<size_t>(end));
  if (heldEnd > end) std::memset(buffer + end, 0, static_cast<size_t>(heldEnd - end));
  nonzero_end_ = end;
}

void TNode::ShowImage(uint32_t address, const uint8_t* image) {
  CheckOpen();
  if (address == 0) Corrupt("TNode.ReadNode", "Node address 0");
  if (Showing()) EndShow();
  // The buffer keeps its bytes meanwhile: where they end counts as loaded.
  nonzero_end_ = std::max(ImageEnd(), nonzero_end_);
  address_ = 0;
  image_ = const_cast<uint8_t*>(image);
  Changed();
  MarkClean();
  try {
    CheckImage("TNode.ReadNode");
  } catch (...) {
    EndShow();
    throw;
  }
  address_ = address;
  cursor_ = 0;
}

void TNode::EndShow() {
  if (Showing()) {
    image_ = buffer_.get();
    Changed();
  }
  address_ = 0;
}

void TNode::KeepShownImage() {
  TAV_ASSERT(Showing(), "Node shows no stored image");
  const uint32_t address = address_;
  const uint8_t* page = image_;
  EndShow();
  TakeImage(address, page);
  cursor_ = 0;
}

void TNode::WriteNode() {
  CheckOpen();
  TAV_ASSERT(address_ != 0, "Node has no address");
  if (GetUsed() > static_cast<int32_t>(page_size_) - kNodeHeaderSize)
    TavDatabaseError(kUnexpectedInternalError, "TNode.WriteNode", "Node is overfull");
  const int32_t from = std::max(dirty_from_, 0);
  const int32_t to = std::min(dirty_to_, static_cast<int32_t>(page_size_));
  if (from >= to) return;
  if (from > 0 || to < static_cast<int32_t>(page_size_)) {
    if (io_->WriteBlockPart(address_, static_cast<uint32_t>(from), static_cast<uint32_t>(to - from),
                            buffer_.get() + from)) {
      MarkClean();
      return;
    }
  }
  io_->WriteBlock(address_, page_size_, buffer_.get());
  MarkClean();
}

void TNode::SetAddress(uint32_t address) {
  if (address == address_) return;
  ClearNode();
  address_ = address;
}

void TNode::ClearNode() {
  CheckOpen();
  const uint32_t leaf = Get32(kNodeLeaf);
  // Past both ends the buffer is zero already.
  std::memset(buffer_.get(), 0, static_cast<size_t>(std::max(ImageEnd(), nonzero_end_)));
  nonzero_end_ = 0;
  Set32(kNodeLeaf, leaf);
  MarkAllDirty();
  cursor_ = 0;
  Changed();
}

void TNode::ClearStoredEntries() {
  const bool asStored = address_ != 0 && !Showing() && dirty_from_ >= dirty_to_ && !unwritten_;
  const int32_t end = std::max({ImageEnd(), nonzero_end_, kNodeHeaderSize});
  ClearNode();
  if (!asStored) return;
  MarkClean();
  MarkDirty(0, end);
}

void TNode::CopyNode(const uint8_t* image) {
  CheckOpen();
  std::memcpy(buffer_.get(), image, page_size_);
  std::memset(buffer_.get() + page_size_, 0, static_cast<size_t>(capacity_) - page_size_);
  nonzero_end_ = static_cast<int32_t>(page_size_);
  MarkAllDirty();
  cursor_ = 0;
  Changed();
}

void TNode::Forget() {
  if (Showing()) EndShow();
  address_ = 0;
}

int TNode::VariableCount() const {
  EnsureOffsets();
  return offset_count_;
}

const uint8_t* TNode::EntryPtr(int k) const {
  if (!fixed_) return Data() + offsets_[k];
  const uint8_t* e = Data() + k * max_key_size_;
  if (host::GetU16(e) != max_key_size_) Corrupt("TNode", "Invalid entry length in node");
  return e;
}

void TNode::PositionOutOfRange(const char* caller, int32_t position) {
  TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Entry position out of range: %d",
                      {position});
}

int32_t TNode::CheckedKeyLength(const uint8_t* keyInfo, const char* caller) const {
  TAV_ASSERT(keyInfo != nullptr, "Key buffer unassigned");
  const int32_t len = host::GetU16(keyInfo);
  if (len < min_entry_size_ || len > max_key_size_)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Invalid key size: %d", {len});
  return len;
}

int TNode::IndexOfStartSlow(int32_t position, const char* caller) const {
  const int32_t used = GetUsed();
  if (position >= 0 && position <= used) {
    if (fixed_) {
      if (position % max_key_size_ == 0) return position / max_key_size_;
    } else {
      EnsureOffsets();
      if (position == used) return offset_count_;
      const int32_t* first = offsets_.get();
      const int32_t* last = first + offset_count_;
      const int32_t* it = std::lower_bound(first, last, position);
      if (it != last && *it == position) return static_cast<int>(it - first);
    }
  }
  TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Position is not an entry start: %d",
                      {position});
}

const uint8_t* TNode::GetCurrentKey() const {
  if (cursor_ < 0 || cursor_ >= GetUsed())
    TavDatabaseError(kUnexpectedInternalError, "TNode.GetCurrentKey", "Node cursor out of range");
  EntryLengthAt(cursor_, "TNode.GetCurrentKey");
  return Data() + cursor_;
}

uint32_t TNode::GetRecordAddress() const {
  if (cursor_ < 0 || cursor_ >= GetUsed())
    TavDatabaseError(kUnexpectedInternalError, "TNode.GetRecordAddress",
                     "Node cursor out of range");
  return GetKeyEntryAddress(Data() + cursor_);
}

int32_t TNode::PriorEntryStart(int32_t position) const {
  if (position <= 0) return -1;
  const int k = IndexOfStart(position, "TNode.PriorEntryStart");
  return EntryStart(k - 1);
}

int32_t TNode::LastEntryStart() const {
  const int n = GetCount();
  return n == 0 ? 0 : EntryStart(n - 1);
}

void TNode::SetCursorToEnd(bool toStart) {
  cursor_ = (toStart || CheckNodeEmpty()) ? 0 : LastEntryStart();
}

bool TNode::NextRecord() {
  if (cursor_ < 0 || cursor_ >= GetUsed()) return false;
  const int32_t next = NextEntryStart(cursor_);
  if (next >= GetUsed()) return false;
  cursor_ = next;
  return true;
}

bool TNode::PriorRecord() {
  if (cursor_ <= 0 || cursor_ > GetUsed()) return false;
  cursor_ = PriorEntryStart(cursor_);
  return true;
}

void TNode::ForceCursorToPhysicalKey() {
  if (CheckNodeEmpty())
    TavDatabaseError(kUnexpectedInternalError, "TNode.ForceCursorToPhysicalKey", "Node is empty");
  if (cursor_ < 0) cursor_ = 0;
  if (cursor_ >= GetUsed()) cursor_ = LastEntryStart();
}

int32_t TNode::FindKeyByPosition(TKeySearchType searchType, int32_t position) const {
  const int32_t used = GetUsed();
  if (position < 0 || position > used) return -1;
  if (fixed_) {
    // Fixed entries start at multiples of the key size.
    const int32_t below = position / max_key_size_ * max_key_size_;
    switch (searchType) {
      case ksLE:
        return below < used ? below : (used > 0 ? used - max_key_size_ : -1);
      case ksEQ:
        return position % max_key_size_ == 0 && position < used ? position : -1;
      default:
        return below == position ? position : std::min(used, below + max_key_size_);
    }
  }
  int32_t last = -1;
  int32_t pos = 0;
  // A plain walk by the lengths: a zero length (or one running past the used
  // bytes) ends it, so it never leaves the node.
  while (pos + 2 <= used) {
    const int32_t len = host::GetU16(Data() + pos);
    if (len == 0) break;
    if (searchType == ksEQ && pos == position) return pos;
    if (searchType == ksGE && pos >= position) return pos;
    if (pos > position) break;
    last = pos;
    if (len > used - pos) break;
    pos += len;
  }
  int32_t result;
  switch (searchType) {
    case ksLE:
      result = last;
      break;
    case ksEQ:
      result = -1;
      break;
    default:
      result = used;
      break;
  }
  if (result > used)
    host::AssertFailed("result <= used", ("FIndKeyPos error: " + host::IntToStr(result)).c_str(),
                       __FILE__, __LINE__);
  return result;
}

void TNode::MoveBlock(int32_t start, int32_t delta, bool forward) {
  if (delta == 0) return;
  const int32_t used = GetUsed();
  static const char kMessage[] = "Move block error - Start Pos - Delta are out of range";
  if (start < 0 || start > used || delta < 0)
    TavDatabaseError(kUnexpectedInternalError, "TNode.MoveBlock", kMessage);
  uint8_t* d = Data();
  if (forward) {
    if (used + delta > DataCapacity())
      TavDatabaseError(kUnexpectedInternalError, "TNode.MoveBlock", kMessage);
    std::memmove(d + start + delta, d + start, static_cast<size_t>(used - start));
    MarkDirty(kNodeHeaderSize + start, kNodeHeaderSize + used + delta);
  } else {
    if (delta > start) TavDatabaseError(kUnexpectedInternalError, "TNode.MoveBlock", kMessage);
    std::memmove(d + start - delta, d + start, static_cast<size_t>(used - start));
    MarkDirty(kNodeHeaderSize + start - delta, kNodeHeaderSize + used);
  }
  Changed();
}

int64_t TNode::RecordsOf(const uint8_t* entry) const {
  return CheckIsLeaf() ? 1 : int64_t{GetKeyEntryCount(entry)};
}

void TNode::InsertKey(int32_t position, const uint8_t* keyInfo) {
  CheckOpen();
  const int32_t len = CheckedKeyLength(keyInfo, "TNode.InsertKey");
  const int32_t used = GetUsed();
  if (position < 0 || position > used)
    TavDatabaseErrorFmt(kUnexpectedInternalError, "TNode.InsertKey",
                        "Insert position out of range: %d", {position});
  if (used + len > DataCapacity())
    TavDatabaseError(kUnexpectedInternalError, "TNode.InsertKey", "Node is overfull");
  const bool counted = total_valid_;
  const int64_t total = total_ + RecordsOf(keyInfo);
  MoveBlock(position, len, true);
  std::memcpy(Data() + position, keyInfo, static_cast<size_t>(len));
  MarkDirty(kNodeHeaderSize + position, kNodeHeaderSize + used + len);
  SetUsed(used + len);
  if (counted) KeepTotal(total);
}

void TNode::DeleteKey(int32_t position) {
  CheckOpen();
  const int32_t used = GetUsed();
  if (position < 0 || position + 2 > used)
    TavDatabaseErrorFmt(kUnexpectedInternalError, "TNode.DeleteKey",
                        "Delete position out of range: %d", {position});
  const int32_t len = host::GetU16(Data() + position);
  if (len == 0 || len > max_key_size_ || len > used - position || (fixed_ && len != max_key_size_))
    TavDatabaseError(kUnexpectedInternalError, "TNode.DeleteKey",
                     "Invalid key size in Delete key: " + host::IntToStr(len));
  uint8_t* d = Data();
  const bool counted = total_valid_;
  const int64_t total = total_ - RecordsOf(d + position);
  std::memmove(d + position, d + position + len, static_cast<size_t>(used - position - len));
  std::memset(d + used - len, 0, static_cast<size_t>(len));
  MarkDirty(kNodeHeaderSize + position, kNodeHeaderSize + used);
  SetUsed(used - len);
  if (counted) KeepTotal(total);
}

int32_t TNode::UpdateKey(int32_t position, const uint8_t* keyInfo) {
  CheckOpen();
  const int32_t oldLen = EntryLengthAt(position, "TNode.UpdateKey");
  const int32_t newLen = CheckedKeyLength(keyInfo, "TNode.UpdateKey");
  const int32_t used = GetUsed();
  const int32_t delta = newLen - oldLen;
  // The replaced entry may grow past the page for a while (see the header
  // note), never past the buffer.
  if (used + delta > DataCapacity())
    host::AssertFailed("used + delta <= capacity",
                       host::Format("Hdr %d Delta %d", {used, delta}).c_str(), __FILE__, __LINE__);
  uint8_t* d = Data();
  const bool counted = total_valid_;
  const int64_t total = total_ - RecordsOf(d + position) + RecordsOf(keyInfo);
  if (delta == 0) {
    // Same length: only the entry's own bytes change, and WriteNode writes
    // just those rather than the node from its used count on.
    if (sums_valid_) {
      const int64_t moved = RecordsOf(keyInfo) - RecordsOf(d + position);
      if (moved != 0) AddToSums(IndexOfStart(position, "TNode.UpdateKey"), moved);
    }
    std::memcpy(d + position, keyInfo, static_cast<size_t>(newLen));
    MarkDirty(kNodeHeaderSize + position, kNodeHeaderSize + position + newLen);
    // The entry starts stay where they were.
    if (counted) KeepTotal(total);
    else total_valid_ = false;
    return 0;
  }
  const int32_t tail = position + oldLen;
  std::memmove(d + tail + delta, d + tail, static_cast<size_t>(used - tail));
  std::memcpy(d + position, keyInfo, static_cast<size_t>(newLen));
  if (delta < 0) std::memset(d + used + delta, 0, static_cast<size_t>(-delta));
  MarkDirty(kNodeHeaderSize + position, kNodeHeaderSize + std::max(used, used + delta));
  SetUsed(used + delta);
  if (counted) KeepTotal(total);
  return delta;
}

void TNode::ReadKey(int32_t position, uint8_t* keyInfo) const {
  if (position < 0 || position >= GetUsed())
    TavDatabaseError(kUnexpectedInternalError, "TNode.ReadKey",
                     "ReadPos is out of range: " + host::IntToStr(position));
  const int32_t len = EntryLengthAt(position, "TNode.ReadKey");
  std::memcpy(keyInfo, Data() + position, static_cast<size_t>(len));
}

void TNode::CopyCurrentKey(uint8_t* keyInfo) const {
  if (cursor_ < 0 || cursor_ >= GetUsed())
    TavDatabaseError(kUnexpectedInternalError, "TNode.CopyCurrentKey", "Cursor is out of range");
  ReadKey(cursor_, keyInfo);
}

void TNode::SetLinkOf(uint32_t address, bool prior, uint32_t value) {
  uint8_t header[kNodeHeaderSize];
  io_->ReadBlockHeader(address, kNodeHeaderSize, header);
  if (host::GetU32(header + kNodeLeaf) == 0)
    Corrupt("TNode.SetLinkOf", "Leaf link names an inner node");
  host::PutU32(header + (prior ? kNodePrior : kNodeNext), value);
  io_->WriteBlockHeader(address, kNodeHeaderSize, header);
  if (owner_) owner_->NodeHeaderChanged(address, header);
}

void TNode::SplitNode(TNode& newNode, uint32_t newAddress) {
  static const char kCaller[] = "TNode.SplitNode";
  CheckOpen();
  TAV_ASSERT(newNode.capacity_ == capacity_ && &newNode != this, "Split partner not opened alike");
  const int32_t used = GetUsed();
  if (used == 0) TavDatabaseError(kUnexpectedInternalError, kCaller, "Node is empty");
  if (used > DataCapacity())
    TavDatabaseError(kUnexpectedInternalError, kCaller, "Node is overfull");
  const int32_t split = FindKeyByPosition(ksLE, used / 2);
  // A split at 0 would move every entry and leave this node empty.
  if (split <= 0) TavDatabaseError(kUnexpectedInternalError, kCaller, "Cursor is out of range");
  std::memset(newNode.buffer_.get(), 0, static_cast<size_t>(capacity_));
  std::memcpy(newNode.buffer_.get(), buffer_.get(), kNodeHeaderSize);
  std::memcpy(newNode.Data(), Data() + split, static_cast<size_t>(used - split));
  newNode.SetUsed(used - split);
  newNode.address_ = newAddress;
  newNode.cursor_ = 0;
  newNode.MarkAllDirty();
  std::memset(Data() + split, 0, static_cast<size_t>(DataCapacity() - split));
  MarkAllDirty();
  SetUsed(split);
  cursor_ = 0;
  if (CheckIsLeaf()) {
    const uint32_t next = GetNext();
    newNode.SetNext(next);
    newNode.SetPrior(address_);
    if (next != 0) SetLinkOf(next, true, newAddress);
    SetNext(newAddress);
  }
  if (host::TStrings* lines = owner_ ? owner_->NodeDebugStrings() : nullptr) {
    if (GetNext() == address_ || GetPrior() == address_ || newNode.GetNext() == newAddress ||
        newNode.GetPrior() == newAddress)
      lines->Add("******ERROR in SPLIT NODE");
  }
}

int32_t TNode::GetRedistributeNode(int32_t position) const {
  if (CheckIsLeaf() || CheckNodeEmpty()) return -1;
  const int32_t left = PriorEntryStart(position);
  const int32_t next = NextEntryStart(position);
  const int32_t right = next < GetUsed() ? next : -1;
  if (left >= 0 && right >= 0)
    return GetKeyEntryCount(Data() + left) < GetKeyEntryCount(Data() + right) ? left : right;
  return left >= 0 ? left : right;
}

int64_t TNode::RecordsIn(int32_t from, int32_t to) const {
  if (CheckIsLeaf() && fixed_) return (to - from) / max_key_size_;
  int64_t sum = 0;
  for (int32_t pos = from; pos < to;) {
    const uint8_t* e = Data() + pos;
    const int32_t len = host::GetU16(e);
    if (len <= 0) Corrupt("TNode.RecordsIn", "Invalid entry length in node");
    sum += RecordsOf(e);
    pos += len;
  }
  return sum;
}

int TNode::RedistributeNodes(TNode& right) {
  CheckOpen();
  TAV_ASSERT(right.capacity_ == capacity_ && &right != this,
             "Redistribute partner not opened alike");
  const int32_t l = GetUsed();
  const int32_t r = right.GetUsed();
  if (static_cast<int32_t>(page_size_ / 3) >= l + r) return -1;
  if (l == r) return 0;
  // The entries move as one block each way; the bytes that change are marked
  // as they are written (the moved block, the closed gap, the used counts),
  // so a write-back leaves the zero tail of each page alone. The totals
  // follow the records of the moved block.
  const bool counted = total_valid_ && right.total_valid_;
  const int64_t leftTotal = total_;
  const int64_t rightTotal = right.total_;
  const int32_t mid = (l + r) / 2;
  const int32_t start = FindKeyByPosition(ksLE, mid);
  int64_t moved = 0;
  if (start >= 0) {
    // Our tail moves to the front of the right node.
    const int32_t n = l - start;
    if (start == 0 || n == 0 || r + n > right.DataCapacity()) return 0;
    if (counted) moved = RecordsIn(start, l);
    right.MoveBlock(0, n, true);
    std::memcpy(right.Data(), Data() + start, static_cast<size_t>(n));
    right.SetUsed(r + n);
    std::memset(Data() + start, 0, static_cast<size_t>(n));
    MarkDirty(kNodeHeaderSize + start, kNodeHeaderSize + l);
    SetUsed(start);
    if (counted) {
      KeepTotal(leftTotal - moved);
      right.KeepTotal(rightTotal + moved);
    }
  } else {
    // The right node's head moves to our end.
    const int32_t n = right.FindKeyByPosition(ksGE, mid - l);
    if (n <= 0 || n >= r || l + n > DataCapacity()) return 0;
    if (counted) moved = right.RecordsIn(0, n);
    std::memcpy(Data() + l, right.Data(), static_cast<size_t>(n));
    MarkDirty(kNodeHeaderSize + l, kNodeHeaderSize + l + n);
    SetUsed(l + n);
    right.MoveBlock(n, n, false);
    std::memset(right.Data() + r - n, 0, static_cast<size_t>(n));
    right.SetUsed(r - n);
    if (counted) {
      KeepTotal(leftTotal + moved);
      right.KeepTotal(rightTotal - moved);
    }
  }
  cursor_ = 0;
  right.cursor_ = 0;
  return 1;
}

int32_t TNode::FixedRedistribution(int32_t leftUsed, int32_t rightUsed, int32_t& tailStart) const {
  tailStart = -1;
  const int32_t k = max_key_size_;
  const int32_t l = leftUsed;
  const int32_t r = rightUsed;
  if (!fixed_ || k < 1 || l < 0 || r < 0 || l % k != 0 || r % k != 0) return -1;
  // RedistributeNodes' own steps, with FindKeyByPosition over fixed entries
  // worked out.
  if (static_cast<int32_t>(page_size_ / 3) >= l + r) return -1;
  if (l == r) return 0;
  const int32_t mid = (l + r) / 2;
  if (mid <= l) {
    // The left's tail from its entry at or below the middle.
    const int32_t below = mid / k * k;
    const int32_t start = below < l ? below : l - k;
    const int32_t n = l - start;
    if (start <= 0 || n <= 0 || r + n > DataCapacity()) return 0;
    tailStart = start;
    return n;
  }
  // The right's head up to its entry at or after the middle's offset.
  const int32_t at = mid - l;
  if (at > r) return 0;
  const int32_t below = at / k * k;
  const int32_t n = below == at ? at : std::min(r, below + k);
  if (n <= 0 || n >= r || l + n > DataCapacity()) return 0;
  return n;
}

void TNode::MergeNodes(TNode& other, bool append) {
  CheckOpen();
  TAV_ASSERT(other.capacity_ == capacity_ && &other != this, "Merge partner not opened alike");
  const int32_t l = GetUsed();
  const int32_t r = other.GetUsed();
  if (int64_t{l} + r + max_key_size_ > int64_t{page_size_})
    host::AssertFailed("size1 + size2 + key <= PageSize",
                       host::Format("Invalid parameters for MergeNodes (size too large): size1 %d "
                                    "size2 %d key %d",
                                    {l, r, max_key_size_})
                           .c_str(),
                       __FILE__, __LINE__);
  // Only the entries taken over, the used count and a link change.
  const bool counted = total_valid_ && other.total_valid_;
  const int64_t total = total_ + other.total_;
  if (append) {
    std::memcpy(Data() + l, other.Data(), static_cast<size_t>(r));
    MarkDirty(kNodeHeaderSize + l, kNodeHeaderSize + l + r);
    SetUsed(l + r);
    if (CheckIsLeaf()) {
      const uint32_t next = other.GetNext();
      SetNext(next);
      if (next != 0) SetLinkOf(next, true, address_);
    }
  } else {
    MoveBlock(0, r, true);
    std::memcpy(Data(), other.Data(), static_cast<size_t>(r));
    SetUsed(l + r);
    if (CheckIsLeaf()) {
      const uint32_t prior = other.GetPrior();
      SetPrior(prior);
      if (prior != 0) SetLinkOf(prior, false, address_);
    }
  }
  if (counted) KeepTotal(total);
  cursor_ = 0;
}

int TNode::SearchNode(int keyFieldCount, const TOptimizedSearchKey& key, bool afterEqual,
                      int32_t& position) {
  if (max_key_size_ < 1)
    host::AssertFailed("MaxKeySize > 0", "MaxKeySize is 0", __FILE__, __LINE__);
  if (GetCount() == 0) {
    position = 0;
    cursor_ = 0;
    return 1;
  }
  return SearchNode(TOptimizedCompare(*format_, keyFieldCount, key), afterEqual, position);
}

int TNode::SearchNode(const TOptimizedCompare& compare, bool afterEqual, int32_t& position) {
  if (max_key_size_ < 1)
    host::AssertFailed("MaxKeySize > 0", "MaxKeySize is 0", __FILE__, __LINE__);
  const int n = GetCount();
  if (n == 0) {
    position = 0;
    cursor_ = 0;
    return 1;
  }
  // The first entry for which the predicate holds: the entry is not below
  // the key (above it, with afterEqual). Compares give key against entry;
  // "not below" is c <= 0, "above" c < 0, so both are c < limit.
  const int limit = afterEqual ? 0 : 1;
  int lo = 0;
  int atHi = 1;
  // The binary search itself, `compareAt(k)` giving key against entry k.
  const auto search = [&lo, &atHi, n, limit](auto compareAt) {
    int l = 0, h = n, at = 1;
    while (l < h) {
      const int mid = l + (h - l) / 2;
      const int c = compareAt(mid);
      if (c < limit) {
        h = mid;
        at = c;
      } else {
        l = mid + 1;
      }
    }
    lo = l;
    atHi = at;
  };
  const uint8_t* data = Data();
  const int32_t size = max_key_size_;
  // Fixed entry k starts at k key sizes; its length is checked before
  // anything reads it, as EntryPtr checks it.
  const auto fixedEntry = [&](int k) {
    const uint8_t* e = data + static_cast<size_t>(k) * static_cast<size_t>(size);
    if (host::GetU16(e) != size) [[unlikely]]
      Corrupt("TNode", "Invalid entry length in node");
    return e;
  };
  if (fixed_ && compare.first_ == TOptimizedCompare::kInt32 && size <= compare.max_len_ &&
      compare.first_pos_ + 4 <= size) {
    // A first key field that is a 32-bit integer, in entries whose length
    // the compare would accept: the value is compared here, the rest of the
    // key (if any) through the compare when the values are equal.
    const int32_t key = compare.int_;
    const int sign = compare.descending_ ? -1 : 1;
    const size_t valueAt = static_cast<size_t>(compare.first_pos_);
    const bool more = compare.n_ > 1;
    search([&](int k) {
      const uint8_t* e = fixedEntry(k);
      // No value: every value sorts after it.
      if (!((e[kKeyEntryHeaderSize] >> 7) & 1)) return sign;
      int32_t v;
      std::memcpy(&v, e + valueAt, 4);
      const int c = key < v ? -sign : (key > v ? sign : 0);
      return c == 0 && more ? compare(e) : c;
    });
  } else if (fixed_) {
    search([&](int k) { return compare(fixedEntry(k)); });
  } else {
    const int32_t* offsets = offsets_.get();
    search([&](int k) { return compare(data + offsets[k]); });
  }
  int result;
  if (CheckIsLeaf()) {
    position = lo < n ? EntryStart(lo) : GetUsed();
    result = lo < n ? atHi : 1;
  } else {
    position = EntryStart(lo > 0 ? lo - 1 : 0);
    result = 0;
  }
  cursor_ = position;
  return result;
}

uint32_t TNode::SearchNodeByRecNo(int64_t recNo, int64_t& before) {
  const int n = GetCount();
  before = 0;
  if (n == 0) {
    cursor_ = 0;
    return 0;
  }
  const bool leaf = CheckIsLeaf();
  int64_t sum = 0;
  for (int k = 0;; ++k) {
    const uint8_t* e = EntryPtr(k);
    const int64_t c = leaf ? 1 : int64_t{GetKeyEntryCount(e)};
    if (sum + c >= recNo || k == n - 1) {
      before = sum;
      cursor_ = EntryStart(k);
      return GetKeyEntryAddress(e);
    }
    sum += c;
  }
}

int64_t TNode::GetRecordCount(int32_t position) const {
  const bool inside = position >= 0 && position < GetUsed();
  if (!inside && total_valid_) return total_;
  const int n = GetCount();
  int64_t sum = 0;
  if (n == 0) {
    sum = 0;
  } else if (CheckIsLeaf()) {
    sum = inside ? IndexOfStart(position, "TNode.GetRecordCount") + 1 : n;
  } else {
    const int last = inside ? IndexOfStart(position, "TNode.GetRecordCount") : n - 1;
    sum = sums_valid_ ? SumBefore(last + 1) : SumOfCounts(0, last + 1);
  }
  if (!inside) {
    total_ = sum;
    total_valid_ = true;
  }
  return sum;
}

int64_t TNode::CountBefore(int32_t position) const {
  const int k = IndexOfStart(position, "TNode.CountBefore");
  if (CheckIsLeaf()) return k;
  if (sums_valid_) return SumBefore(k);
  const int n = GetCount();
  // Building the running sums reads every entry once, about what two
  // partial sums over the whole node read: they are built once the partial
  // sums since the last change have read that much. A node asked on every
  // insert of a run (the root, the path of a run of neighbouring keys) soon
  // gets them; one that a random insert reaches now and then, and that is
  // read afresh in between, never pays for a build it would not use.
  if (summed_ >= 2 * int64_t{n}) {
    BuildSums();
    return SumBefore(k);
  }
  if (total_valid_ && k > n / 2) {
    // Nearer the end: the kept total less the entries from k on.
    summed_ += n - k + 1;
    return total_ - SumOfCounts(k, n);
  }
  summed_ += k + 1;
  return SumOfCounts(0, k);
}

int64_t TNode::SumOfCounts(int first, int end) const {
  int64_t sum = 0;
  if (!fixed_) {
    for (int k = first; k < end; ++k) sum += GetKeyEntryCount(Data() + offsets_[k]);
    return sum;
  }
  // Fixed entries lie a key size apart; each one's length is checked as
  // EntryPtr checks it.
  const uint8_t* e = Data() + static_cast<size_t>(first) * max_key_size_;
  for (int k = first; k < end; ++k, e += max_key_size_) {
    if (host::GetU16(e) != max_key_size_) Corrupt("TNode", "Invalid entry length in node");
    sum += GetKeyEntryCount(e);
  }
  return sum;
}

void TNode::BuildSums() const {
  const int n = GetCount();
  if (!sums_) sums_ = std::make_unique<int64_t[]>(static_cast<size_t>(capacity_ / min_entry_size_ + 2));
  int64_t* t = sums_.get();
  // One pass: t[i] is whole once the entries before it have added to it,
  // and then adds itself to the next node covering it.
  std::fill(t, t + n + 1, int64_t{0});
  const uint8_t* data = Data();
  for (int i = 1; i <= n; ++i) {
    const uint8_t* e;
    if (fixed_) {
      // Each fixed entry's length is checked as SumOfCounts checks it.
      e = data + static_cast<size_t>(i - 1) * static_cast<size_t>(max_key_size_);
      if (host::GetU16(e) != max_key_size_) Corrupt("TNode", "Invalid entry length in node");
    } else {
      e = data + offsets_[i - 1];
    }
    t[i] += GetKeyEntryCount(e);
    const int up = i + (i & -i);
    if (up <= n) t[up] += t[i];
  }
  sums_count_ = n;
  sums_valid_ = true;
}

int64_t TNode::SumBefore(int k) const {
  const int64_t* t = sums_.get();
  int64_t sum = 0;
  // Dropping the lowest set bit steps to the node covering the entries
  // before the ones t[i] covers.
  for (auto i = static_cast<uint32_t>(std::min(k, sums_count_)); i != 0; i &= i - 1) sum += t[i];
  return sum;
}

void TNode::AddToSums(int k, int64_t delta) {
  int64_t* t = sums_.get();
  // In 0-based terms (i = index - 1) the next covering node is i | (i + 1),
  // the same step as index + (index & -index).
  const auto n = static_cast<uint32_t>(sums_count_);
  for (auto i = static_cast<uint32_t>(k); i < n; i |= i + 1) t[i + 1] += delta;
}

void TNode::FillHashTable(int keyFieldNo, TTavBaseHash& hash) const {
  static const char kCaller[] = "TNode.FillHashTable";
  const TKeyFormat& format = *format_;
  TAV_ASSERT(keyFieldNo >= 0 && keyFieldNo < format.KeyFieldCount(), "Key field out of range");
  const int n = GetCount();
  for (int k = 0; k < n; ++k) {
    const uint8_t* e = EntryPtr(k);
    if (!KeyEntryHasValue(e, keyFieldNo)) continue;
    const int32_t len = host::GetU16(e);
    int32_t pos = kKeyEntryHeaderSize + format.DataOffset();
    // Skip the fields before it that have a value, bounded by the entry.
    for (int i = 0; i < keyFieldNo; ++i) {
      if (!KeyEntryHasValue(e, i)) continue;
      const TKeyFormat::TField& f = format.Field(i);
      int32_t size = f.DataSize;
      if (f.IsString) {
        if (pos + 2 > len) Corrupt(kCaller, "Key data past its entry");
        size = 2 + host::GetU16(e + pos);
      }
      pos += size;
    }
    const TKeyFormat::TField& f = format.Field(keyFieldNo);
    int32_t size = f.DataSize;
    if (f.IsString) {
      if (pos + 2 > len) Corrupt(kCaller, "Key data past its entry");
      size = host::GetU16(e + pos);
      pos += 2;
    }
    if (pos + size > len) Corrupt(kCaller, "Key data past its entry");
    hash.Add(e + pos, size, GetKeyEntryAddress(e));
  }
}

bool TNode::ListRecords(bool matchKey, bool backwards, TCompoundList& list, uint32_t stopAddress,
                        int32_t start, int keyFieldCount, const uint8_t* key) const {
  const int n = GetCount();
  if (n == 0) return false;
  const TKeyFormat& format = *format_;
  // One step of the walk; true when it ends the walk.
  auto visit = [&](int k) {
    const uint8_t* e = EntryPtr(k);
    if (matchKey && format.CompareKeys(keyFieldCount, e, {}, key, {}) != 0) return true;
    const uint32_t address = GetKeyEntryAddress(e);
    list.Add(address, 0);
    return stopAddress != 0 && address == stopAddress;
  };
  if (!backwards) {
    for (int k = start > 0 ? IndexOfStart(start, "TNode.ListRecords") : 0; k < n; ++k)
      if (visit(k)) return true;
  } else {
    for (int k = start < 0 ? n - 1 : IndexOfStart(start, "TNode.ListRecords"); k >= 0; --k)
      if (k < n && visit(k)) return true;
  }
  return false;
}

int TNode::ListRecordsInNode(bool backwards, int32_t start, TReadAheadBuffer& buffer,
                             int count) const {
  const int n = GetCount();
  if (n == 0 || count <= 0) return 0;
  int first, end;
  if (!backwards) {
    first = start > 0 ? IndexOfStart(start, "TNode.ListRecordsInNode") : 0;
    end = std::min(n, first + count);
  } else {
    const int last = start < 0 ? n - 1 : IndexOfStart(start, "TNode.ListRecordsInNode");
    end = std::min(n, last + 1);
    first = std::max(0, end - count);
  }
  for (int k = first; k < end; ++k) {
    const uint8_t* e = EntryPtr(k);
    TReadAheadBufferItem* item = buffer.Add();
    item->SetRecAddr(GetKeyEntryAddress(e));
    std::memcpy(item->KeyBuffer(), e, host::GetU16(e));
  }
  return std::max(0, end - first);
}

int TNode::CheckNode(int32_t& position) const {
  const int n = GetCount();
  if (n == 0) {
    if (host::TStrings* lines = owner_ ? owner_->NodeDebugStrings() : nullptr) {
      lines->Add("ERROR: EMPTY NODE");
      PrintNode(*lines, -1);
    }
    return 1001;
  }
  const TKeyFormat& format = *format_;
  for (int k = 0; k + 1 < n; ++k) {
    const int c = format.CompareKeys(0, EntryPtr(k), {}, EntryPtr(k + 1), {});
    if (c > 0) {
      position = EntryStart(k);
      return c;
    }
  }
  return -1001;
}

void TNode::PrintNode(host::TStrings& lines, int level) const {
  lines.Add(
      host::Format("Node Level: %d NodeAddr=%d :NodeHdr=L:%5d Sze:%5d N:%5d P:%5d",
                   {level, address_, Get32(kNodeLeaf), GetUsed(), GetNext(), GetPrior()}));
  lines.Add(host::Format("Node NodeAddr=%s :N:%s P:%s", {host::IntToHex(int64_t{address_}, 8),
                                                         host::IntToHex(int64_t{GetNext()}, 8),
                                                         host::IntToHex(int64_t{GetPrior()}, 8)}));
  if (GetNext() == address_ || GetPrior() == address_) lines.Add("******ERROR in NEXT/PRIOR LINKS");
  // A plain bounded walk, so that a damaged node still prints.
  const int32_t used = GetUsed();
  for (int32_t pos = 0; pos + 2 <= used;) {
    const int32_t len = host::GetU16(Data() + pos);
    if (len < kKeyEntryHeaderSize || len > used - pos) break;
    lines.Add(
        host::Format("  %d: Len=%d Count=%d Addr=%d",
                     {pos, len, GetKeyEntryCount(Data() + pos), GetKeyEntryAddress(Data() + pos)}));
    pos += len;
  }
}

void TNode::DebugInfo(host::TStringList& lines) const {
  if (io_) io_->ShowStatus(lines);
}

}  // namespace tav

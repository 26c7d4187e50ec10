#include "engine/storage/table/table_header.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/global_hdr.h"
#include "engine/storage/file/map_page_mgr.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/le_bytes.h"

namespace tav {

namespace {

using host::GetU16;
using host::GetU32;
using host::PutU16;
using host::PutU32;

constexpr const char* kOffsetOutOfRange = "Table header: The offset value is out of range";
constexpr const char* kHeaderSizeCheck = "Debug check -  header size <> 256";

// The bytes of a header block that ReadHeaderSize looks at.
constexpr uint32_t kHeaderProbeSize = 64;

}  // namespace

// ---- TTableHeader ----

void TTableHeader::ItemOutOfRange(const char* caller, bool setter) const {
  TAV_ASSERT(!buf_.empty(), "Table header buf is not allocated");
  // The whole item, not only its first byte, must lie inside the image.
  if (setter) TavDatabaseError(kUnexpectedInternalError, caller, kOffsetOutOfRange);
  TavDatabaseError(kUnexpectedInternalError, caller);
}

void TTableHeader::IndexSlotOutOfRange() {
  TavDatabaseError(kUnexpectedInternalError, "TTableHeader.InternalGetIndexOffset",
                   kOffsetOutOfRange);
}

int32_t TTableHeader::GetTableID() const {
  return static_cast<int32_t>(InternalGetHdrItemDWord(kThTableID));
}
void TTableHeader::SetTableID(int32_t value) {
  InternalSetHdrItemDWord(kThTableID, static_cast<uint32_t>(value));
}
uint32_t TTableHeader::GetModifiedFlag() const {
  return InternalGetHdrItemDWord(kThModifiedFlag);
}
void TTableHeader::SetModifiedFlag(uint32_t value) {
  InternalSetHdrItemDWord(kThModifiedFlag, value);
}
uint32_t TTableHeader::GetRecordFirstEmpty() const {
  return InternalGetHdrItemDWord(kThRecordFirstEmpty);
}
void TTableHeader::SetRecordFirstEmpty(uint32_t value) {
  InternalSetHdrItemDWord(kThRecordFirstEmpty, value);
}
uint32_t TTableHeader::GetRecordAutoIncVal() const {
  return InternalGetHdrItemDWord(kThRecordAutoIncVal);
}
void TTableHeader::SetRecordAutoIncVal(uint32_t value) {
  InternalSetHdrItemDWord(kThRecordAutoIncVal, value);
}
uint32_t TTableHeader::GetLogicalRecordNo() const {
  return InternalGetHdrItemDWord(kThLogicalRecordNo);
}
void TTableHeader::SetLogicalRecordNo(uint32_t value) {
  InternalSetHdrItemDWord(kThLogicalRecordNo, value);
}
uint32_t TTableHeader::GetBlobFirstEmpty() const {
  return InternalGetHdrItemDWord(kThBlobFirstEmpty);
}
void TTableHeader::SetBlobFirstEmpty(uint32_t value) {
  InternalSetHdrItemDWord(kThBlobFirstEmpty, value);
}
uint32_t TTableHeader::GetGenerator1() const {
  return InternalGetHdrItemDWord(kThGenerator1);
}
void TTableHeader::SetGenerator1(uint32_t value) {
  InternalSetHdrItemDWord(kThGenerator1, value);
}
uint32_t TTableHeader::GetGenerator2() const {
  return InternalGetHdrItemDWord(kThGenerator2);
}
void TTableHeader::SetGenerator2(uint32_t value) {
  InternalSetHdrItemDWord(kThGenerator2, value);
}
void TTableHeader::SetIndexCount(int32_t value) {
  // A count whose slots run past the image would be written, and refused as
  // damage by the next reader.
  const int64_t end = kTableHeaderFixedSize + int64_t{kTableHeaderIndexSlotSize} * value;
  if (value < 0 || (!buf_.empty() && end > static_cast<int64_t>(buf_.size())))
    TavDatabaseError(kUnexpectedInternalError, "TTableHeader.SetIndexCount", kOffsetOutOfRange);
  InternalSetHdrItemDWord(kThIndexCount, static_cast<uint32_t>(value));
}
uint32_t TTableHeader::GetInternalGenerator() const {
  return InternalGetHdrItemDWord(kThInternalGenerator);
}
void TTableHeader::SetInternalGenerator(uint32_t value) {
  InternalSetHdrItemDWord(kThInternalGenerator, value);
}

uint32_t TTableHeader::GetHeaderSize() const {
  return InternalGetHdrItemDWord(kThHeaderSize);
}

void TTableHeader::SetHeaderSize(uint32_t n) {
  ResetHeaderSize(n, true);
}

void TTableHeader::ResetHeaderSize(uint32_t n, bool clear) {
  // A header block is 256 bytes; an image of any other size could not be
  // written whole, nor read back.
  if (n != kTableHeaderSize)
    TavDatabaseError(kUnexpectedInternalError, "TTableHeader.SetHeaderSize", kHeaderSizeCheck);
  std::vector<uint8_t> image(n, 0);
  if (!clear) std::copy_n(buf_.begin(), std::min<size_t>(buf_.size(), n), image.begin());
  buf_ = std::move(image);
  read_mark_ = 0;
  PutU32(buf_.data() + kThHeaderSize, n);
}

void TTableHeader::ClearHeader() {
  std::fill(buf_.begin(), buf_.end(), 0);
  read_mark_ = 0;
}

TBaseIOInterface* TTableHeader::IOFor(const char* caller) const {
  if (buf_.empty() || !mgr_ || !mgr_->IOInterface() || base_address_ == 0)
    TavDatabaseError(kSystemObjectIsNotInitialized, caller);
  return mgr_->IOInterface();
}

TDiskMgr* TTableHeader::EpochKeeper(const TBaseIOInterface& io) {
  return io.IOMode() == iomMemory ? nullptr : io.DiskMgr();
}

void TTableHeader::ReadHeader() {
  const char* caller = "TTableHeader.ReadHeader";
  TBaseIOInterface* io = IOFor(caller);
  TDiskMgr* keeper = EpochKeeper(*io);
  // Nobody else can have written the block since this image was read or
  // written: the read would give the same bytes.
  if (keeper && !dirty_ && current_epoch_ != 0 && current_epoch_ == keeper->HeaderEpoch() &&
      keeper->HeaderImagesStayCurrent(static_cast<uint32_t>(GetTableID()))) {
    dirty_ = false;
    return;
  }
  if (!dirty_ && read_mark_ != 0 && read_mark_ == io->ChangeMark()) return;
  read_mark_ = 0;
  const uint32_t size = static_cast<uint32_t>(buf_.size());
  const uint32_t oldFlag = GetModifiedFlag();
  const int32_t expectedID = GetTableID();

  // Read into the spare image, kept between calls, so that the read done
  // before every operation allocates nothing.
  std::vector<uint8_t>& image = spare_;
  image.resize(size);
  io->ReadBlock(base_address_, size, image.data());
  const uint32_t storedSize = GetU32(image.data() + kThHeaderSize);
  if (storedSize != size)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Table header: header size %u at address %u is invalid",
                        {storedSize, base_address_});
  const uint32_t indexCount = GetU32(image.data() + kThIndexCount);
  if (indexCount > (size - kTableHeaderFixedSize) / kTableHeaderIndexSlotSize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Table header: index count %u at address %u is invalid",
                        {indexCount, base_address_});
  const int32_t id = static_cast<int32_t>(GetU32(image.data() + kThTableID));
  if (expectedID != 0 && id != expectedID)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Table header: the header at address %u belongs to table %d, not %d",
                        {base_address_, id, expectedID});

  buf_.swap(image);
  dirty_ = false;
  current_epoch_ = keeper ? keeper->HeaderEpoch() : 0;
  read_mark_ = io->ChangeMark();
  const uint32_t newFlag = GetModifiedFlag();
  // Someone else wrote the table since this connection last looked (or it
  // never looked): its cached pages may be stale.
  if (oldFlag == 0 || oldFlag != newFlag) io->NotifyPageChange(static_cast<uint32_t>(id));
}

uint32_t TTableHeader::StoredModifiedFlag() const {
  uint8_t head[kThModifiedFlag + 4];
  IOFor("TTableHeader.StoredModifiedFlag")->ReadBlock(base_address_, sizeof head, head);
  return GetU32(head + kThModifiedFlag);
}

void TTableHeader::WriteHeader() {
  const char* caller = "TTableHeader.WriteHeader";
  TBaseIOInterface* io = IOFor(caller);
  // An image whose stored size is not its own would be refused as damage by
  // every later reader.
  if (GetHeaderSize() != buf_.size())
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Table header: header size %u is invalid",
                        {GetHeaderSize()});
  const uint32_t oldFlag = GetModifiedFlag();
  PutU32(buf_.data() + kThModifiedFlag, oldFlag + 1);
  // Any other image of this block is out of date from here on, and so is
  // this one until the write is done (a failed write may leave part of it).
  TDiskMgr* keeper = EpochKeeper(*io);
  if (keeper) keeper->MoveHeaderEpoch();
  current_epoch_ = 0;
  read_mark_ = 0;
  try {
    io->WriteBlock(base_address_, static_cast<uint32_t>(buf_.size()), buf_.data());
  } catch (...) {
    // Not written: the count stays what the block holds.
    PutU32(buf_.data() + kThModifiedFlag, oldFlag);
    throw;
  }
  dirty_ = false;
  if (keeper) current_epoch_ = keeper->HeaderEpoch();
  read_mark_ = io->ChangeMark();
}

void TTableHeader::DebugDumpStatus(host::TStrings& lines) const {
  lines.Add(host::Format("TableID=%d BaseAddr=%d HdrSize=%d UserCount=%d",
                         {GetTableID(), base_address_, GetHeaderSize(), user_count_}));
  lines.Add(host::Format("RecFirstEmpty=%d BlobFE=%d",
                         {GetRecordFirstEmpty(), GetBlobFirstEmpty()}));
  lines.Add(host::Format("AutoInc=%d LogRecNo=%d IdxCount=%d",
                         {GetRecordAutoIncVal(), GetLogicalRecordNo(), GetIndexCount()}));
  const int32_t count = std::min(GetIndexCount(), kTableHeaderMaxIndexes);
  for (int i = 0; i < count; ++i)
    lines.Add(host::Format("   Idx=%d Root=%d Depth=%d", {i, GetIndexRoot(i), GetIndexDepth(i)}));
}

// ---- TTableHeaderMgr ----

TTableHeaderMgr::TTableHeaderMgr() {
  directory_.SetBaseTableID(kUserTableBaseID);
}

TTableHeaderMgr::~TTableHeaderMgr() {
  try {
    Close();
  } catch (...) {
    // Going anyway.
  }
}

void TTableHeaderMgr::RequireOpen(const char* caller) const {
  if (!io_) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
}

TDiskMgr* TTableHeaderMgr::LockingDiskMgr() const {
  if (!io_ || io_->IOMode() == iomMemory) return nullptr;
  return io_->DiskMgr();
}

void TTableHeaderMgr::TransferDirectory(uint8_t* image, bool write) {
  // A disk interface moves at most one block per call; a memory directory
  // is one block of its own.
  uint32_t chunk = io_->IOMode() == iomMemory ? kTableDirectorySize : io_->BlockSize();
  if (chunk == 0 || chunk > kTableDirectorySize) chunk = kTableDirectorySize;
  for (uint32_t done = 0; done < kTableDirectorySize; done += chunk) {
    const uint32_t n = std::min(chunk, kTableDirectorySize - done);
    if (write)
      io_->WriteBlock(base_address_ + done, n, image + done);
    else
      io_->ReadBlock(base_address_ + done, n, image + done);
  }
}

bool TTableHeaderMgr::HeaderAddressValid(uint32_t address, const TChainBounds& bounds) const {
  if (io_->IOMode() == iomMemory) return io_->CheckBlockAddressValid(address);
  // Header blocks lie whole in the tables' part of the file, on 256-byte
  // boundaries (requests start on pages).
  return address >= bounds.Low && address < bounds.High && address % kTableHeaderSize == 0;
}

void TTableHeaderMgr::ReadDirectory(const char* caller) {
  TTableDirectory read;
  read.SetBaseTableID(directory_.BaseTableID());
  TransferDirectory(read.Image(), false);
  const TChainBounds bounds =
      io_->IOMode() == iomMemory ? TChainBounds{} : io_->GetChainBounds();
  read.Validate([&](uint32_t address) { return HeaderAddressValid(address, bounds); }, caller);
  // Whatever lay after the entries is not carried into the next write.
  std::memset(read.Image() + kTableDirectoryEntries * kTableDirectoryEntrySize, 0,
              kTableDirectorySize - kTableDirectoryEntries * kTableDirectoryEntrySize);
  directory_ = std::move(read);
}

void TTableHeaderMgr::WriteDirectory() {
  TransferDirectory(directory_.Image(), true);
}

void TTableHeaderMgr::Open(TBaseIOInterface* ioInterface) {
  const char* caller = "TTableHeaderMgr.Open";
  if (base_address_ == 0)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Base address of table header mapper has not been set");
  if (!ioInterface) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
  if (ioInterface->IOMode() != iomMemory && ioInterface->DiskMgr()) {
    // The directory must stay clear of the global header and end inside the
    // fixed area, or its writes would overwrite the headers or the first map
    // page (with pages below 4096 bytes the user tables' directory would).
    const uint64_t pageSize = ioInterface->DiskMgr()->PageSize();
    const uint64_t low = std::max<uint64_t>(pageSize, kGlobalHdrBaseAddress + kGlobalHdrSize);
    const uint64_t high = uint64_t{kFixedAreaPages} * pageSize;
    if (base_address_ < low || base_address_ + uint64_t{kTableDirectorySize} > high)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                          "Table directory at %u does not fit the database's fixed area",
                          {base_address_});
  }
  Close();
  io_ = ioInterface;
  try {
    THeaderLockGuard lock(LockingDiskMgr(), false);
    ReadDirectory(caller);
    lock.Done();
  } catch (...) {
    io_ = nullptr;
    throw;
  }
}

void TTableHeaderMgr::Close() {
  std::exception_ptr first;
  for (int i = 0; i < Count(); ++i) {
    TTableHeader* header = Items(i);
    if (!header->Dirty()) continue;
    try {
      header->WriteHeader();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  Clear();
  if (first) std::rethrow_exception(first);
}

uint32_t TTableHeaderMgr::ReadHeaderSize(uint32_t address) {
  RequireOpen("TTableHeaderMgr.ReadHeaderSize");
  uint8_t probe[kHeaderProbeSize];
  io_->ReadBlockHeader(address, kHeaderProbeSize, probe);
  return GetU32(probe + kThHeaderSize);
}

void TTableHeaderMgr::CheckHeaderBlock(uint32_t address, int32_t tableID, const char* caller) {
  uint8_t probe[kHeaderProbeSize];
  io_->ReadBlockHeader(address, kHeaderProbeSize, probe);
  const uint32_t size = GetU32(probe + kThHeaderSize);
  if (size != kTableHeaderSize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Table header: header size %u at address %u is invalid", {size, address});
  const int32_t id = static_cast<int32_t>(GetU32(probe + kThTableID));
  if (id != tableID)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Table header: the header at address %u belongs to table %d, not %d",
                        {address, id, tableID});
}

int32_t TTableHeaderMgr::AddTable(int32_t indexCount) {
  const char* caller = "TTableHeaderMgr.AddTable";
  RequireOpen(caller);
  const uint32_t size = static_cast<uint32_t>(CalcTableHeaderSize(indexCount));
  THeaderLockGuard lock(LockingDiskMgr(), true);
  ReadDirectory(caller);
  if (directory_.Full()) TavDatabaseError(kDatabaseTableLimitHasBeenReached, caller);
  const int32_t id = directory_.LowestFreeTableID("TTableHeaderMgr.AddTableHeaderToMap");
  int position = -1;
  directory_.Find(id, position);
  TAV_ASSERT(position >= 0, "TableID out of range");

  // The header block is written whole before the directory names it, so
  // that no reader ever finds an entry whose header is not there yet.
  TTableHeader header(this);
  header.SetHeaderSize(size);
  header.SetIndexCount(indexCount);
  header.SetTableID(id);
  header.SetModifiedFlag(1);
  io_->SetFirstEmptyValid(false);
  // The block may have been another table's header: images of it go stale.
  if (TDiskMgr* disk = LockingDiskMgr()) disk->MoveHeaderEpoch();
  const uint32_t address = io_->AllocateNewAddress(size, header.HeaderBuf().data());
  TAV_ASSERT(address != 0, "HeaderMgr. AddTable allocate = 0");

  directory_.SetEntry(position, id, address);
  try {
    WriteDirectory();
  } catch (...) {
    // The directory goes out block by block: part of it, the new entry
    // included, may be in the file. The block is freed only once the file's
    // directory no longer names it, else a later table would be given it
    // while this entry still named it.
    directory_.SetEntry(position, 0, 0);
    try {
      WriteDirectory();
      io_->SetFirstEmptyValid(false);
      io_->ReleaseBlock(address, size);
    } catch (...) {
      // The block is lost to the chain; the first error is the one to see.
    }
    throw;
  }
  lock.Done();
  return id;
}

TTableHeader* TTableHeaderMgr::OpenTable(int32_t tableID) {
  const char* caller = "TTableHeaderMgr.OpenTable";
  if (TTableHeader* open = FindHdrItemByID(tableID)) {
    open->SetUserCount(open->UserCount() + 1);
    return open;
  }
  RequireOpen(caller);
  THeaderLockGuard lock(LockingDiskMgr(), false);
  ReadDirectory(caller);
  int position = -1;
  if (tableID == 0 || !directory_.Find(tableID, position))
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "The TableID could not be found: " + std::to_string(tableID));
  const uint32_t address = directory_.AddressAt(position);
  CheckHeaderBlock(address, tableID, caller);

  auto header = std::make_unique<TTableHeader>(this);
  header->SetHeaderSize(kTableHeaderSize);
  header->SetBaseAddress(address);
  header->SetTableID(tableID);
  header->ReadHeader();
  header->SetUserCount(1);
  lock.Done();
  header->SetCollection(this);
  return header.release();
}

void TTableHeaderMgr::CloseTable(TTableHeader* header) {
  if (!header)
    TavDatabaseError(kUnexpectedInternalError, "TTableHeaderMgr.CloseTable",
                     "The requested object has not been assigned");
  TAV_ASSERT(header->Collection() == this, "Table header belongs to another header manager");
  const int32_t users = header->UserCount();
  header->SetUserCount(users - 1);
  if (header->UserCount() > 0) return;
  if (header->Dirty()) {
    try {
      header->WriteHeader();
    } catch (...) {
      // Still open, with its changes: the caller may close it again.
      header->SetUserCount(users);
      throw;
    }
  }
  delete header;
}

void TTableHeaderMgr::DeleteTable(int32_t tableID) {
  const char* caller = "TTableHeaderMgr.DeleteTable";
  RequireOpen(caller);
  THeaderLockGuard lock(LockingDiskMgr(), true);
  ReadDirectory(caller);
  int position = -1;
  if (tableID == 0 || !directory_.Find(tableID, position))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, "Delete table");
  // An open header would later be written into a block that may by then
  // belong to another table.
  if (FindHdrItemByID(tableID)) TavDatabaseError(kRequestedObjectIsInUse, caller);
  const uint32_t address = directory_.AddressAt(position);
  CheckHeaderBlock(address, tableID, caller);

  // The entry goes first: should the release fail, a block is lost, but no
  // entry ever names a free block that a new table could take.
  const TTableDirectory before = directory_;
  directory_.Remove(position);
  try {
    WriteDirectory();
  } catch (...) {
    // Part of the new directory may be in the file: the table would be gone
    // from it with its storage still held. Put the old one back.
    directory_ = before;
    try {
      WriteDirectory();
    } catch (...) {
      // The first error is the one to see.
    }
    throw;
  }
  io_->SetFirstEmptyValid(false);
  if (TDiskMgr* disk = LockingDiskMgr()) disk->MoveHeaderEpoch();
  io_->ReleaseBlock(address, kTableHeaderSize);
  lock.Done();
}

TTableHeader* TTableHeaderMgr::FindHdrItemByID(int32_t tableID) const {
  for (int i = 0; i < Count(); ++i) {
    TTableHeader* header = Items(i);
    if (!header->HeaderBuf().empty() && header->GetTableID() == tableID) return header;
  }
  return nullptr;
}

bool TTableHeaderMgr::FindTableHeaderInMap(int32_t tableID, int& position) const {
  return directory_.Find(tableID, position);
}

void TTableHeaderMgr::DebugDumpAllHeaders(host::TStrings& lines) {
  lines.Add("Current Headers");
  for (int i = 0; i < Count(); ++i) {
    lines.Add("Header Item index=" + std::to_string(i));
    Items(i)->DebugDumpStatus(lines);
  }
  lines.Add("All Headers");
  TTableDirectory stored;
  stored.SetBaseTableID(directory_.BaseTableID());
  if (io_) TransferDirectory(stored.Image(), false);
  int i = 0;
  for (; i < kTableDirectoryEntries && stored.TableIDAt(i) != 0; ++i)
    lines.Add(host::Format("Header MapPos=%d TableID=%d", {i * 2, stored.TableIDAt(i)}));
  for (; i < kTableDirectoryEntries; ++i)
    if (stored.TableIDAt(i) != 0)
      lines.Add(host::Format("Eror. Found Table in map above 0 entry: ID = %d Addr=%d",
                             {stored.TableIDAt(i), stored.AddressAt(i)}));
}

int CalcTableHeaderSize(int indexCount) {
  const long long raw = 48 + 6LL * indexCount;
  const long long size = raw <= 0 ? 0 : (raw + 255) / 256 * 256;
  if (indexCount < 0 || size != 256)
    TavDatabaseError(kUnexpectedInternalError, "CalcTableHeaderSize",
                     "Debug check -  header size <> 256");
  return static_cast<int>(size);
}

}  // namespace tav

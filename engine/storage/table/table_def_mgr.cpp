#include "engine/storage/table/table_def_mgr.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <unordered_set>
#include <vector>

#include "engine/storage/index/btree.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/index/index_node.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// One use of a table's header, given back on every path unless kept.
class THeaderUse {
 public:
  THeaderUse(TTableHeaderMgr& mgr, int32_t tableID) : mgr_(mgr), header_(mgr.OpenTable(tableID)) {}
  ~THeaderUse() {
    if (!header_) return;
    try {
      mgr_.CloseTable(header_);
    } catch (...) {
      // Already failing, or the caller sees the header's own write error on
      // the next use: nothing better to do from a destructor.
    }
  }
  THeaderUse(const THeaderUse&) = delete;
  THeaderUse& operator=(const THeaderUse&) = delete;

  TTableHeader& operator*() const { return *header_; }
  TTableHeader* operator->() const { return header_; }
  // The use now belongs to the caller.
  TTableHeader* Keep() {
    TTableHeader* h = header_;
    header_ = nullptr;
    return h;
  }
  // Gives the use back, raising what closing raises.
  void Close() {
    TTableHeader* h = Keep();
    mgr_.CloseTable(h);
  }

 private:
  TTableHeaderMgr& mgr_;
  TTableHeader* header_;
};

void ForgetStorage(TTableDef& definition) {
  definition.SetTableHeader(nullptr);
  definition.SetIndexInterface(nullptr);
  definition.SetBlobInterface(nullptr);
  definition.SetRecordInterface(nullptr);
}

void ShareStorage(const TTableDef& master, TTableDef& definition) {
  definition.SetRecordInterface(master.RecordInterface());
  definition.SetBlobInterface(master.BlobInterface());
  definition.SetIndexInterface(master.IndexInterface());
  definition.SetTableHeader(master.TableHeader());
}

int32_t IndexSlotCount(const TTableDef& definition) {
  return std::max(1, definition.InternalIndexDefs().Count());
}

// Index blocks come from the database's one free chain of index blocks.
// When a block is whole pages that chain stays empty (released blocks go
// back to the map), so a table's index pages can be freed by owner. With
// larger pages the chain holds blocks inside the table's pages: freeing
// those pages would leave the chain pointing into pages the map gives to
// others, so the trees are walked and their blocks released one by one.
bool IndexBlocksAreWholePages(const TDiskMgr& disk, uint32_t blockSize) {
  return disk.PageSize() != 0 && blockSize % disk.PageSize() == 0;
}

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Every block of the trees the header's slots name. Nodes are read from
// storage and untrusted: the walk keeps to the file, to the slot's depth, to
// entries within the used bytes, and never visits a block twice; damage
// raises 8965 before the caller has freed anything.
std::vector<uint32_t> CollectIndexBlocks(TBaseIOInterface& io, TDiskMgr& disk,
                                         const TTableHeader& header, const char* caller) {
  const uint32_t blockSize = io.BlockSize();
  const uint64_t low = uint64_t{6} * disk.PageSize();
  const int64_t fileEnd = disk.RefreshFileSize();
  const uint64_t maxBlocks = fileEnd > 0 ? static_cast<uint64_t>(fileEnd) / blockSize : 0;
  std::vector<uint32_t> blocks;
  std::unordered_set<uint32_t> seen;
  std::vector<uint8_t> node(blockSize);
  auto corrupt = [&](const char* what, uint32_t address) {
    TavDatabaseErrorFmt(kIndexIsCorrupt, caller, "%s (node %u)", {what, address});
  };
  for (int slot = 0; slot < header.GetIndexCount(); ++slot) {
    const uint32_t root = header.GetIndexRoot(slot);
    const uint32_t depth = header.GetIndexDepth(slot);
    if (root == 0 && depth == 0) continue;
    if (root == 0 || depth == 0 || depth > kMaxTreeDepth)
      corrupt("Index root or depth out of range", root);
    std::vector<std::pair<uint32_t, uint32_t>> stack{{root, 0}};
    while (!stack.empty()) {
      const auto [address, level] = stack.back();
      stack.pop_back();
      if (address < low || uint64_t{address} + blockSize > static_cast<uint64_t>(fileEnd))
        corrupt("Node address out of range", address);
      if (!seen.insert(address).second || seen.size() > maxBlocks)
        corrupt("Node reached twice", address);
      io.ReadBlock(address, blockSize, node.data());
      const bool leaf = Get32(node.data() + kNodeLeaf) != 0;
      const uint32_t used = Get32(node.data() + kNodeUsed);
      if (leaf != (level + 1 == depth)) corrupt("Node at the wrong level", address);
      if (used > blockSize - kNodeHeaderSize) corrupt("Node used size out of range", address);
      blocks.push_back(address);
      if (leaf) continue;
      const uint8_t* entries = node.data() + kNodeHeaderSize;
      for (uint32_t pos = 0; pos < used;) {
        if (used - pos < static_cast<uint32_t>(kKeyEntryHeaderSize))
          corrupt("Entry cut off", address);
        const uint32_t length = GetKeyEntryLength(entries + pos);
        if (length < static_cast<uint32_t>(kKeyEntryHeaderSize) || length > used - pos)
          corrupt("Entry length out of range", address);
        stack.emplace_back(GetKeyEntryAddress(entries + pos), level + 1);
        pos += length;
      }
    }
  }
  return blocks;
}

}  // namespace

bool DefChangeNeedsData(TDefChangeType change) {
  return change == dcAdded || change == dcDeleted || change == dcDataChange ||
         change == dcDataLoss;
}

// ---- TBaseTableDefMgr ----

TBaseTableDefMgr::~TBaseTableDefMgr() {
  masters_.clear();
}

void TBaseTableDefMgr::InitializeIndexInterface(TTableDef&) {}

int TBaseTableDefMgr::CreateTableDef(const std::string&, TTableDef&) {
  return -1;
}

void TBaseTableDefMgr::CloseTableDefConnection(int32_t) {}

int TBaseTableDefMgr::OpenTableDefConnection(const std::string&, TTableDef&) {
  return 0;
}

int TBaseTableDefMgr::DeleteTableDef(const std::string&, TTableDef&) {
  return 0;
}

void TBaseTableDefMgr::RestructureTableDef(TTableDef&, const TRestructureDetails&) {}

void TBaseTableDefMgr::Open() {}

void TBaseTableDefMgr::Close() {
  masters_.clear();
}

int32_t TBaseTableDefMgr::CheckTableUserCount(const std::string& tableName) const {
  const int i = IndexOfTableName(tableName);
  return i < 0 ? 0 : Masters(i)->UserCount();
}

void TBaseTableDefMgr::GetCurrentTableNames(host::TStrings& lines) const {
  for (const auto& m : masters_) lines.Add(m->TableName());
}

int TBaseTableDefMgr::IndexOfTableDef(int32_t tableID) const {
  for (size_t i = 0; i < masters_.size(); ++i)
    if (masters_[i]->TableID() == tableID) return static_cast<int>(i);
  return -1;
}

int TBaseTableDefMgr::IndexOfTableName(const std::string& tableName) const {
  for (size_t i = 0; i < masters_.size(); ++i)
    if (host::AnsiSameText(masters_[i]->TableName(), tableName)) return static_cast<int>(i);
  return -1;
}

int32_t TBaseTableDefMgr::OtherUsers(const TTableDef& master, const TTableDef& definition) {
  const bool own = &definition != &master && definition.TableHeader() != nullptr &&
                   definition.TableHeader() == master.TableHeader();
  return master.UserCount() - (own ? 1 : 0);
}

TTableDef& TBaseTableDefMgr::AddMaster(const TTableDef& definition) {
  auto master = std::make_unique<TTableDef>(nullptr);
  master->Assign(definition);
  master->SetMasterDef(true);
  master->SetOwnerFlag(static_cast<uint32_t>(master->TableID()) << 4);
  masters_.push_back(std::move(master));
  return *masters_.back();
}

void TBaseTableDefMgr::DropMaster(int index) {
  std::unique_ptr<TTableDef> master = std::move(masters_[static_cast<size_t>(index)]);
  masters_.erase(masters_.begin() + index);
  master->InternalClose();
  if (TTableHeader* header = master->TableHeader()) {
    master->SetTableHeader(nullptr);
    if (header_mgr_) header_mgr_->CloseTable(header);
  }
}

TTableHeaderMgr& TBaseTableDefMgr::RequireHeaderMgr(const char* caller) const {
  if (!header_mgr_) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
  return *header_mgr_;
}

int32_t TBaseTableDefMgr::BaseTableID() const {
  return system_table_mgr_ ? kSystemTableBaseID : kUserTableBaseID;
}

// ---- TDiskTableDefMgr ----

TDiskTableDefMgr::TDiskTableDefMgr() = default;

TDiskTableDefMgr::~TDiskTableDefMgr() {
  try {
    Close();
  } catch (...) {
    // A header that cannot be written now is lost either way.
  }
}

TDiskMgr& TDiskTableDefMgr::RequireDiskMgr(const char* caller) const {
  if (!disk_mgr_) TavDatabaseError(kSystemObjectIsNotInitialized, caller, "DiskMgr");
  return *disk_mgr_;
}

void TDiskTableDefMgr::InternalInitHeaderMgr() {
  const char* caller = "TDiskTableDefMgr.InternalInitHeaderMgr";
  if (!hdr_disk_interface_) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller);
  if (base_def_mgr_address_ == 0) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
  if (!own_header_mgr_) own_header_mgr_ = std::make_unique<TTableHeaderMgr>();
  own_header_mgr_->SetBaseAddress(base_def_mgr_address_);
  own_header_mgr_->SetBaseTableID(BaseTableID());
  own_header_mgr_->Open(hdr_disk_interface_);
  SetHeaderMgr(own_header_mgr_.get());
}

int TBaseTableDefMgr::CheckDeletable(TTableHeaderMgr& hdrMgr, const TTableDef& definition,
                                     const char* caller) {
  // Everything is checked before anything changes: a refused delete leaves
  // the master, its count and its header as they were.
  const int32_t id = definition.TableID();
  const int index = IndexOfTableDef(id);
  const TTableDef* master = index >= 0 ? Masters(index) : nullptr;
  if (master && OtherUsers(*master, definition) > 0)
    TavDatabaseError(kRequestedObjectIsInUse, caller);
  if (TTableHeader* open = hdrMgr.FindHdrItemByID(id)) {
    const bool mastersOnly = master && open == master->TableHeader() && open->UserCount() == 1;
    if (!mastersOnly) TavDatabaseError(kRequestedObjectIsInUse, caller);
  }
  return index;
}

std::exception_ptr TBaseTableDefMgr::DropMastersAndClose(TTableHeaderMgr* ownHeaderMgr) {
  std::exception_ptr first;
  while (MasterCount() > 0) {
    try {
      DropMaster(MasterCount() - 1);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (ownHeaderMgr) {
    try {
      ownHeaderMgr->Close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  return first;
}

void TDiskTableDefMgr::Open() {
  Close();
  InternalInitHeaderMgr();
}

void TDiskTableDefMgr::Close() {
  // Every master and header is let go even when one fails; the first
  // failure is raised at the end.
  std::exception_ptr first = DropMastersAndClose(own_header_mgr_.get());
  SetHeaderMgr(nullptr);
  TBaseTableDefMgr::Close();
  if (first) std::rethrow_exception(first);
}

void TDiskTableDefMgr::DropUnusedMasters() {
  for (int i = MasterCount() - 1; i >= 0; --i)
    if (Masters(i)->UserCount() == 0) DropMaster(i);
}

std::unique_ptr<TDiskIOInterface> TDiskTableDefMgr::NewIndexInterface(
    const TTableDef& definition) const {
  auto io = std::make_unique<TDiskIOInterface>();
  io->SetDiskMgr(disk_mgr_);
  io->SetTableID(static_cast<uint16_t>(definition.TableID()));
  io->SetUsage(kUsageIndex);
  io->SetBlockSize(TableIndexPageSize(definition.InternalIndexDefs(), "TDiskTableDefMgr"));
  io->SetGlobalFirstEmptyOffset(kHdrIndexesFirstEmpty);
  // The master reads these blocks through the page cache: written
  // uncached, a stale cached copy of a reused page would hide them.
  io->SetAccessFlags(TableAccessFlags(definition.EncryptionLevel()));
  return io;
}

void TDiskTableDefMgr::CreateIndexRoots(TDiskIOInterface& io, const TTableDef& definition,
                                        TTableHeader& header) {
  const TInternalIndexDefs& defs = definition.InternalIndexDefs();
  std::vector<uint8_t> leaf(io.BlockSize(), 0);
  leaf[kNodeLeaf] = 1;
  for (int i = 0; i < defs.Count(); ++i) {
    const int32_t slot = defs.Items(i)->IndexSequence();
    header.SetIndexRoot(slot, io.AllocateNewAddress(io.BlockSize(), leaf.data()));
    header.SetIndexDepth(slot, 1);
  }
}

void TDiskTableDefMgr::InitializeIndexInterface(TTableDef& definition) {
  const char* caller = "TDiskTableDefMgr.InitializeIndexInterface";
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  RequireDiskMgr(caller);
  THeaderUse header(hdrMgr, definition.TableID());
  CheckTableIndexSlots(definition.InternalIndexDefs(), header->GetIndexCount(), caller);
  std::unique_ptr<TDiskIOInterface> io = NewIndexInterface(definition);
  io->Open();
  CreateIndexRoots(*io, definition, *header);
  header->WriteHeader();
  io->Close();
  header.Close();
}

int TDiskTableDefMgr::CreateTableDef(const std::string& tableName, TTableDef& definition) {
  const char* caller = "TDiskTableDefMgr.CreateTableDef";
  if (definition.Memory()) TavDatabaseError(kOperationIsNotValidOnThisObject, caller);
  if (IndexOfTableName(tableName) >= 0)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, tableName);
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  TDiskMgr& diskMgr = RequireDiskMgr(caller);
  // Checked before the table exists, so that a refused definition leaves no
  // table behind.
  TableIndexPageSize(definition.InternalIndexDefs(), caller);
  CheckTableIndexSlots(definition.InternalIndexDefs(), definition.InternalIndexDefs().Count(),
                       caller);
  const int32_t id = hdrMgr.AddTable(definition.InternalIndexDefs().Count());
  try {
    // A delete that failed after the directory let go of this id may have
    // left record and BLOB pages owned by it, which the new table would list
    // among its own (its records are found by page owner). Index pages are
    // left alone: with larger pages they hold blocks of the shared chain.
    diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), kUsageRecord, true);
    diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), kUsageBlob, true);
    TTableDef probe(nullptr);
    probe.Assign(definition);
    probe.SetTableID(id);
    TTableDef& master = AddMaster(probe);
    if (!tableName.empty()) master.SetTableName(tableName);
    try {
      InitializeIndexInterface(master);
    } catch (...) {
      DropMaster(IndexOfTableDef(id));
      throw;
    }
  } catch (...) {
    try {
      hdrMgr.DeleteTable(id);
      // Roots may have come from the shared chain: freed by owner only when
      // there is none (see IndexBlocksAreWholePages); else they stay lost.
      if (IndexBlocksAreWholePages(diskMgr, TableIndexPageSize(definition.InternalIndexDefs(), caller)))
        diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), 0, false);
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
  definition.SetTableID(id);
  return 0;
}

int TDiskTableDefMgr::OpenTableDefConnection(const std::string& tableName,
                                             TTableDef& definition) {
  const char* caller = "TDiskTableDefMgr.OpenTableDefConnection";
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  TDiskMgr& diskMgr = RequireDiskMgr(caller);
  int index = IndexOfTableName(tableName);
  // A table known under another name is still one table: a second master
  // would keep a second set of free-chain heads for the same blocks.
  if (index < 0) index = IndexOfTableDef(definition.TableID());
  if (index < 0) {
    THeaderUse header(hdrMgr, definition.TableID());
    TTableDef& master = AddMaster(definition);
    if (!tableName.empty()) master.SetTableName(tableName);
    master.SetTableHeader(header.Keep());
    index = MasterCount() - 1;
  }
  TTableDef& master = *Masters(index);
  if (!master.Active()) {
    try {
      // One header use per master: a master made by CreateTableDef holds
      // none yet, one made above holds its own.
      if (!master.TableHeader()) master.SetTableHeader(hdrMgr.OpenTable(master.TableID()));
      master.InternalOpen(&diskMgr);
    } catch (...) {
      if (master.UserCount() == 0) DropMaster(index);
      throw;
    }
  }
  ShareStorage(master, definition);
  master.SetUserCount(master.UserCount() + 1);
  return 0;
}

void TDiskTableDefMgr::CloseTableDefConnection(int32_t tableID) {
  const char* caller = "TDiskTableDefMgr.CloseTableDefConnection";
  const int index = IndexOfTableDef(tableID);
  if (index < 0 || Masters(index)->UserCount() <= 0)
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller);
  TTableDef& master = *Masters(index);
  master.SetUserCount(master.UserCount() - 1);
  if (master.UserCount() == 0) DropMaster(index);
}

int TDiskTableDefMgr::DeleteTableDef(const std::string&, TTableDef& definition) {
  const char* caller = "TDiskTableDefMgr.DeleteTableDef";
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  TDiskMgr& diskMgr = RequireDiskMgr(caller);
  const int32_t id = definition.TableID();
  const int index = CheckDeletable(hdrMgr, definition, caller);
  if (index >= 0) DropMaster(index);
  ForgetStorage(definition);
  std::unique_ptr<TDiskIOInterface> io = NewIndexInterface(definition);
  const bool byOwner = IndexBlocksAreWholePages(diskMgr, io->BlockSize());
  std::vector<uint32_t> indexBlocks;
  if (!byOwner) {
    // An unknown table is left for DeleteTable to report.
    std::unique_ptr<THeaderUse> header;
    try {
      header = std::make_unique<THeaderUse>(hdrMgr, id);
    } catch (const ETavDatabaseError&) {
    }
    if (header) {
      io->Open();
      indexBlocks = CollectIndexBlocks(*io, diskMgr, **header, caller);
      header->Close();
    }
  }
  hdrMgr.DeleteTable(id);
  // The id is free again: a new table that takes it must not find these
  // pages among its own.
  if (byOwner) {
    diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), 0, false);
  } else {
    for (uint32_t address : indexBlocks) io->ReleaseBlock(address, io->BlockSize());
    diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), kUsageRecord, true);
    diskMgr.DeleteOwnedPages(static_cast<uint32_t>(id), kUsageBlob, true);
  }
  definition.SetTableID(0);
  return 0;
}

void TDiskTableDefMgr::RestructureTableDef(TTableDef& definition,
                                           const TRestructureDetails& restructure) {
  const char* caller = "TDiskTableDefMgr.RestructureTableDef";
  if (definition.Memory()) TavDatabaseError(kOperationIsNotValidOnThisObject, caller);
  if (!restructure.NewFieldDefs)
    TavDatabaseErrorFmt(kSystemObjectIsNotInitialized, caller,
                        "%s has not been set or is out of range",
                        {"RestructureDetails.NewFieldDefs"});
  if (!restructure.NewIndexDefs)
    TavDatabaseErrorFmt(kSystemObjectIsNotInitialized, caller,
                        "%s has not been set or is out of range",
                        {"RestructureDetails.NewIndexDefs"});
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  RequireDiskMgr(caller);
  const int32_t id = definition.TableID();
  const int index = IndexOfTableDef(id);
  // The blocks are about to be freed and the header rewritten: no
  // connection may hold them.
  if (index >= 0 && (Masters(index)->UserCount() > 0 || Masters(index)->Active()))
    TavDatabaseError(kRequestedObjectIsInUse, caller);
  if (hdrMgr.FindHdrItemByID(id)) TavDatabaseError(kRequestedObjectIsInUse, caller);

  const bool fieldData = DefChangeNeedsData(restructure.NewFieldDefs->ChangeStatus());
  const bool indexData = DefChangeNeedsData(restructure.NewIndexDefs->ChangeStatus());
  const int32_t slotCount = IndexSlotCount(definition);
  if (fieldData || indexData) {
    CalcTableHeaderSize(slotCount);
    TableIndexPageSize(definition.InternalIndexDefs(), caller);
    CheckTableIndexSlots(definition.InternalIndexDefs(), slotCount, caller);
  }
  // A master left by CreateTableDef describes the old layout.
  if (index >= 0) DropMaster(index);

  THeaderUse header(hdrMgr, id);
  const uint32_t autoInc = restructure.NewFieldDefs->ResetAutoIncValue()
                               ? static_cast<uint32_t>(restructure.NewFieldDefs->AutoIncResetValue())
                               : header->GetRecordAutoIncVal();
  const uint32_t gen1 =
      restructure.ResetGenerator1 ? restructure.Generator1Value : header->GetGenerator1();
  const uint32_t gen2 =
      restructure.ResetGenerator2 ? restructure.Generator2Value : header->GetGenerator2();

  if (!fieldData && !indexData) {
    header->SetRecordAutoIncVal(autoInc);
    header->SetGenerator1(gen1);
    header->SetGenerator2(gen2);
    header->WriteHeader();
    header.Close();
    return;
  }

  TDiskMgr& diskMgr = *disk_mgr_;
  std::unique_ptr<TDiskIOInterface> io = NewIndexInterface(definition);
  io->Open();
  const bool byOwner = IndexBlocksAreWholePages(diskMgr, io->BlockSize());
  // The old trees are found before anything is freed.
  const std::vector<uint32_t> oldBlocks =
      byOwner ? std::vector<uint32_t>() : CollectIndexBlocks(*io, diskMgr, *header, caller);
  const uint32_t table = static_cast<uint32_t>(id);
  if (fieldData) {
    // New records come: the records and their BLOBs go.
    diskMgr.DeleteOwnedPages(table, kUsageRecord, true);
    diskMgr.DeleteOwnedPages(table, kUsageBlob, true);
  }
  // The records may stay, but the old trees' blocks would otherwise stay
  // owned by the table with nothing pointing at them.
  if (byOwner) {
    diskMgr.DeleteOwnedPages(table, kUsageIndex, true);
  } else {
    for (uint32_t address : oldBlocks) io->ReleaseBlock(address, io->BlockSize());
  }
  const uint32_t base = header->BaseAddress();
  header->ResetHeaderSize(kTableHeaderSize, fieldData);
  // Every slot, used or not, forgets the freed roots.
  header->SetIndexCount(kTableHeaderMaxIndexes);
  for (int i = 0; i < kTableHeaderMaxIndexes; ++i) {
    header->SetIndexRoot(i, 0);
    header->SetIndexDepth(i, 0);
  }
  header->SetIndexCount(slotCount);
  header->SetBaseAddress(base);
  header->SetTableID(id);
  header->SetRecordAutoIncVal(autoInc);
  header->SetGenerator1(gen1);
  header->SetGenerator2(gen2);
  try {
    CreateIndexRoots(*io, definition, *header);
  } catch (...) {
    // The header must not name roots that were freed or half made.
    for (int i = 0; i < slotCount; ++i) {
      header->SetIndexRoot(i, 0);
      header->SetIndexDepth(i, 0);
    }
    header->WriteHeader();
    throw;
  }
  io->Close();
  header->WriteHeader();
  header.Close();
}

// ---- TMemoryTableDefMgr ----

TMemoryTableDefMgr::TMemoryTableDefMgr() = default;

TMemoryTableDefMgr::~TMemoryTableDefMgr() {
  try {
    Close();
  } catch (...) {
    // Memory blocks cannot fail to be freed; nothing to report.
  }
}

void TMemoryTableDefMgr::Open() {
  Close();
  // Memory tables do not outlive the manager's Close: each Open starts an
  // empty directory.
  own_header_mgr_.reset();
  memory_interface_ = std::make_unique<TMemoryIOInterface>();
  memory_interface_->SetBlockSize(kIndexBlockSize);
  memory_interface_->SetUsage(kUsageTableHeader);
  memory_interface_->Open();
  const std::vector<uint8_t> zeros(kTableDirectorySize, 0);
  const uint32_t directory = memory_interface_->AllocateNewAddress(kTableDirectorySize, zeros.data());
  own_header_mgr_ = std::make_unique<TTableHeaderMgr>();
  own_header_mgr_->SetBaseAddress(directory);
  own_header_mgr_->SetBaseTableID(BaseTableID());
  own_header_mgr_->Open(memory_interface_.get());
  SetHeaderMgr(own_header_mgr_.get());
}

void TMemoryTableDefMgr::Close() {
  std::exception_ptr first = DropMastersAndClose(own_header_mgr_.get());
  if (memory_interface_) memory_interface_->Close();
  SetHeaderMgr(nullptr);
  TBaseTableDefMgr::Close();
  if (first) std::rethrow_exception(first);
}

void TMemoryTableDefMgr::InitializeIndexInterface(TTableDef&) {}

int TMemoryTableDefMgr::CreateTableDef(const std::string& tableName, TTableDef& definition) {
  const char* caller = "MemoryTableDefMgr.CreateTableDef";
  if (!definition.Memory()) TavDatabaseError(kOperationIsNotValidOnThisObject, caller);
  if (IndexOfTableName(tableName) >= 0)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, tableName);
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  TableIndexPageSize(definition.InternalIndexDefs(), caller);
  CheckTableIndexSlots(definition.InternalIndexDefs(), definition.InternalIndexDefs().Count(),
                       caller);
  const int32_t id = hdrMgr.AddTable(definition.InternalIndexDefs().Count());
  TTableDef probe(nullptr);
  probe.Assign(definition);
  probe.SetTableID(id);
  TTableDef& master = AddMaster(probe);
  if (!tableName.empty()) master.SetTableName(tableName);
  definition.SetTableID(id);
  return 0;
}

int TMemoryTableDefMgr::OpenTableDefConnection(const std::string& tableName,
                                               TTableDef& definition) {
  const char* caller = "TMemoryTableDefMgr.OpenTableDefConnection";
  const int index = IndexOfTableName(tableName);
  if (index < 0) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, tableName);
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  TTableDef& master = *Masters(index);
  if (!master.Active()) {
    THeaderUse header(hdrMgr, master.TableID());
    master.SetTableHeader(&*header);
    try {
      master.InternalOpen(nullptr);
    } catch (...) {
      master.SetTableHeader(nullptr);
      throw;
    }
    header.Keep();
  }
  definition.Assign(master);
  definition.SetOwnerFlag(master.OwnerFlag());
  ShareStorage(master, definition);
  master.SetUserCount(master.UserCount() + 1);
  return 0;
}

void TMemoryTableDefMgr::CloseTableDefConnection(int32_t tableID) {
  const int index = IndexOfTableDef(tableID);
  if (index < 0)
    TavDatabaseError(kRequestedObjectCouldNotBeFound, "MemoryTableDefMgr.CloseTableDefConnection");
  TTableDef& master = *Masters(index);
  if (master.UserCount() > 0) master.SetUserCount(master.UserCount() - 1);
}

int TMemoryTableDefMgr::DeleteTableDef(const std::string&, TTableDef& definition) {
  const char* caller = "TMemoryTableDefMgr.DeleteTableDef";
  TTableHeaderMgr& hdrMgr = RequireHeaderMgr(caller);
  const int32_t id = definition.TableID();
  const int index = CheckDeletable(hdrMgr, definition, caller);
  // The master's interfaces take the table's blocks with them.
  if (index >= 0) DropMaster(index);
  ForgetStorage(definition);
  hdrMgr.DeleteTable(id);
  definition.SetTableID(0);
  return 0;
}

void TMemoryTableDefMgr::RestructureTableDef(TTableDef& definition, const TRestructureDetails&) {
  TavDatabaseError(kCannotOperateOnThisTableType, "TMemoryTableDefMgr.RestructureTableDef",
                   definition.TableName());
}

}  // namespace tav

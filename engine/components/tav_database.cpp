#include "engine/components/tav_database.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/components/security_manager.h"
#include "engine/components/tav_catalogue.h"
#include "engine/components/tav_data_set.h"
#include "engine/components/tav_login_dialog.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/crc32.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_header.h"
#include "host/db/data_set.h"
#include "host/rtl/collation.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/file.h"

namespace tav {

namespace {

constexpr char kLengthText[] = "%s is not a valid value (min. length %d, max. length %d)";
constexpr uint32_t kDiskPageSize = 4096;
constexpr int32_t kMaximumDiskFormat = 2;


}  // namespace

uint32_t DBDefBlockCRC(const uint8_t* block) {
  uint8_t buffer[256 + kDBDefBlockSize];
  for (int i = 0; i < 256; ++i) buffer[i] = static_cast<uint8_t>(i);
  std::memcpy(buffer + 256, block, kDBDefBlockSize);
  std::memset(buffer + 256 + kDBDefCRCOffset, 0, 4);
  return CalcCRC(buffer, static_cast<int32_t>(sizeof buffer));
}

// ---------------------------------------------------------------------------
// Construction and properties

TTavDataBase::TTavDataBase(host::TComponent* owner)
    : host::TCustomConnection(owner),
      memory_mgr_(std::make_unique<TMemoryTableDefMgr>()),
      privileges_(std::make_unique<TPrivileges>()),
      security_manager_(std::make_unique<TSecurityManager>()),
      rebuild_failed_tables_(std::make_unique<host::TStringList>()) {
  InitDefBlock();
}

TTavDataBase::~TTavDataBase() {
  try {
    SetConnected(false);
  } catch (...) {
    // A destructor cannot report; what is left closes with its owners.
  }
  memory_mgr_.reset();
  system_table_mgr_.reset();
  user_table_mgr_.reset();
  system_hdr_interface_.reset();
  table_hdr_interface_.reset();
  disk_mgr_.reset();
}

void TTavDataBase::CheckNotConnected() const {
  if (connected_)
    TavDatabaseError(kCannotOperateOnConnectedDatabase, "TTavDataBase.CheckNotConnected", "", this);
}

void TTavDataBase::CheckConnected(bool allowMemory) const {
  if (!connected_)
    TavDatabaseError(kCannotOperateOnUnconnectedDatabase, "TTavDataBase.CheckConnected", "", this);
  if (!allowMemory && IsMemory())
    TavDatabaseError(kCannotOperateOnInMemoryDatabase, "TTavDataBase.CheckConnected", "", this);
}

void TTavDataBase::CheckExclusive() const {
  if (!exclusive_)
    TavDatabaseError(kCannotOperateWithoutExclusiveAccess, "TTavDataBase.CheckExclusive", "", this);
}

void TTavDataBase::CheckMinorVersion(int32_t required) const {
  if (required > minor_version_)
    TavDatabaseError(
        kHigherDatabaseLevelRequired, "TTavDataBase.CheckMinorVersion",
        "This database version does not support this operation " + std::to_string(required), this);
}

void TTavDataBase::QueryOpenStatus(bool connected, bool exclusive) const {
  if (connected)
    CheckConnected(true);
  else
    CheckNotConnected();
  if (exclusive) CheckExclusive();
}

bool TTavDataBase::NeedSecurity() const {
  return SecurityMode() >= kSecurityEnforced && temp_privilege_status_ != kAllPrivileges;
}

void TTavDataBase::SetExclusive(bool value) {
  CheckNotConnected();
  exclusive_ = value;
}

void TTavDataBase::SetReadOnly(bool value) {
  CheckNotConnected();
  read_only_ = value;
}

void TTavDataBase::SetDirectory(const std::string& value) {
  CheckNotConnected();
  directory_ = value;
  if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
}

void TTavDataBase::SetDataBaseName(const std::string& value) {
  CheckNotConnected();
  const size_t slash = value.rfind('/');
  if (slash == std::string::npos) {
    data_base_name_ = value;
    return;
  }
  SetDirectory(value.substr(0, slash + 1));
  data_base_name_ = value.substr(slash + 1);
}

void TTavDataBase::SetDefaultSortOrder(TSortOrder value) {
  CheckNotConnected();
  default_sort_order_ = value;
}

void TTavDataBase::SetLockRetryMaximum(int32_t value) {
  lock_retry_maximum_ = value;
  if (disk_mgr_) disk_mgr_->SetLockRetryCount(value);
}

void TTavDataBase::SetLockRetryInterval(int32_t value) {
  lock_retry_interval_ = value;
  if (disk_mgr_) disk_mgr_->SetLockRetryInterval(static_cast<uint32_t>(value));
}

void TTavDataBase::SetMasterKey(const std::string& value) {
  CheckNotConnected();
  const int length = static_cast<int>(value.size());
  // The message names the key only masked: it is written to the trace log,
  // which a rebuild saves beside the database.
  if (!value.empty() && (length < kMasterKeyMinLength || length > kMasterKeyMaxLength))
    TavDatabaseErrorFmt(kKeySizeTooLarge, "TTavDataBase.SetMasterKey", kLengthText,
                        {kMaskedKey, kMasterKeyMinLength, kMasterKeyMaxLength}, this);
  master_key_ = value;
}

void TTavDataBase::SetUseEncryption(bool value) {
  CheckNotConnected();
  if (!value && enforce_security_)
    TavDatabaseError(kCannotOperateOnThisTableType, "TTavDataBase.SetUseEncryption",
                     "This operation can not be performed on this database/table", this);
  use_encryption_ = value;
}

void TTavDataBase::SetEnforceSecurity(bool value) {
  CheckNotConnected();
  enforce_security_ = value;
  if (value) use_encryption_ = true;
}

std::string TTavDataBase::DBOwner() const { return GetWide(kDBDefOwnerOffset, 30); }

void TTavDataBase::SetDBOwner(const std::string& value) {
  CheckNotConnected();
  PutWide(kDBDefOwnerOffset, 30, value);
}

host::TDateTime TTavDataBase::DateCreated() const {
  return std::bit_cast<double>(host::GetU64(def_block_.data() + kDBDefCreatedOffset));
}

std::string TTavDataBase::DataFileVersion() const {
  return connected_ ? StoredVersion() : std::string();
}

void TTavDataBase::SetLocked(bool value) {
  if (value != locked_ && disk_mgr_) {
    CheckConnected(false);
    if (value)
      disk_mgr_->SetHeaderWriteLock();
    else
      disk_mgr_->ReleaseHeaderLock();
  }
  locked_ = value;
}

void TTavDataBase::FlushBuffers() {
  CheckConnected(false);
  disk_mgr_->ForceToDisk();
}

void TTavDataBase::GetCurrentUsers(host::TStrings& list) {
  CheckConnected(false);
  disk_mgr_->GetCurrentUsers(list);
}

void TTavDataBase::ResetDBHeader() {
  CheckConnected(false);
  CheckExclusive();
  WriteDefBlock();
}

void TTavDataBase::Log(host::TStrings& lines) const {
  if (auto logger = GDBLogger())
    for (const std::string& line : logger->LogItems()) lines.Add(line);
}

void TTavDataBase::ClearLog() {
  if (auto logger = GDBLogger()) logger->Clear();
}

// ---------------------------------------------------------------------------
// The definition block

void TTavDataBase::PutWide(int offset, int chars, const std::string& text) {
  uint8_t* field = def_block_.data() + offset;
  std::memset(field, 0, static_cast<size_t>(chars) * 2 + 2);
  const size_t n = std::min(text.size(), static_cast<size_t>(chars - 1));
  for (size_t i = 0; i < n; ++i)
    host::PutU16(field + 2 * i,
                 static_cast<uint16_t>(host::Cp1252ToWideChar(static_cast<unsigned char>(text[i]))));
}

std::string TTavDataBase::GetWide(int offset, int chars) const {
  // The field's own bytes bound the text, whatever the file holds.
  std::string out;
  const uint8_t* field = def_block_.data() + offset;
  for (int i = 0; i <= chars; ++i) {
    const uint16_t c = host::GetU16(field + 2 * i);
    if (c == 0) break;
    unsigned char b;
    out += host::WideCharToCp1252(c, b) ? static_cast<char>(b) : '?';
  }
  return out;
}

int32_t TTavDataBase::SecurityMode() const {
  return static_cast<int32_t>(host::GetU32(def_block_.data() + kDBDefSecurityModeOffset));
}

std::string TTavDataBase::StoredVersion() const { return GetWide(kDBDefVersionOffset, 20); }

void TTavDataBase::InitDefBlock() {
  def_block_.fill(0);
  host::PutU16(def_block_.data(), 1);
  PutWide(kDBDefNameOffset, 30, data_base_name_);
  PutWide(kDBDefOSOffset, 30, GetOSDetails());
  host::PutU64(def_block_.data() + kDBDefCreatedOffset, std::bit_cast<uint64_t>(os::Now()));
  PutWide(kDBDefOwnerOffset, 30, GetCurrentUser());
  PutWide(kDBDefVersionOffset, 20, kTavEngineVersion);
}

void TTavDataBase::RefreshVersionNumbers() {
  const std::string version = StoredVersion();
  int32_t numbers[3] = {0, 0, 0};
  size_t start = 0;
  for (int part = 0; part < 3 && start <= version.size(); ++part) {
    const size_t dot = version.find('.', start);
    const std::string piece = version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    numbers[part] = host::StrToIntDef(piece, 0);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  major_version_ = numbers[0];
  minor_version_ = numbers[1];
  disk_format_ = numbers[2];
}

void TTavDataBase::ReadDefBlock() {
  disk_mgr_->ReadCustomSize(0, kDBDefBlockSize, def_block_.data(), 0, 0);
  RefreshVersionNumbers();
}

void TTavDataBase::WriteDefBlock() {
  host::PutU32(def_block_.data() + kDBDefCRCOffset, DBDefBlockCRC(def_block_.data()));
  disk_mgr_->WriteCustomSize(0, kDBDefBlockSize, def_block_.data(), 0, 0);
  RefreshVersionNumbers();
}

// ---------------------------------------------------------------------------
// Connect and disconnect

void TTavDataBase::CreateDiskInterfaces() {
  const char* caller = "TTavDataBase.CreateDiskInterfaces";
  if (disk_mgr_) TavDatabaseError(kRequestedObjectAlreadyExists, caller, "TDiskMgr", this);
  if (system_hdr_interface_)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, "FSystemHdrDiskInterface", this);
  if (table_hdr_interface_)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, "FTableHdrDiskInterface", this);
  if (system_table_mgr_)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, "FSystemTableMgr", this);
  if (user_table_mgr_)
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, "FUserTableMgr", this);
  disk_mgr_ = std::make_unique<TDiskMgr>();
  disk_mgr_->SetPageSize(kDiskPageSize);
  auto headers = [&](uint32_t firstEmptyOffset) {
    auto io = std::make_unique<TDiskIOInterface>();
    io->SetBlockSize(kTableHeaderBlockSize);
    io->SetGlobalFirstEmptyOffset(static_cast<int32_t>(firstEmptyOffset));
    io->SetDiskMgr(disk_mgr_.get());
    io->SetTableID(0);
    io->SetAccessFlags(0);
    io->SetUsage(kUsageTableHeader);
    io->SetIOMode(iomDiskFixedSize);
    return io;
  };
  system_hdr_interface_ = headers(kHdrSystemHeadersFirstEmpty);
  table_hdr_interface_ = headers(kHdrTableHeadersFirstEmpty);
  auto manager = [&](TDiskIOInterface& io, uint32_t base, bool system) {
    auto mgr = std::make_unique<TDiskTableDefMgr>();
    mgr->SetDiskMgr(disk_mgr_.get());
    mgr->SetHdrDiskInterface(&io);
    mgr->SetBaseDefMgrAddress(base);
    mgr->SetSystemTableMgr(system);
    return mgr;
  };
  system_table_mgr_ = manager(*system_hdr_interface_, kDiskPageSize, true);
  user_table_mgr_ = manager(*table_hdr_interface_, 3 * kDiskPageSize, false);
}

void TTavDataBase::OpenDiskConnections() {
  const std::string file = directory_ + data_base_name_;
  if (!os::FileExists(file))
    TavDatabaseError(kFileNotFound, "TTavDataBase.OpenDiskConnections", file, this);
  try {
    disk_mgr_->SetPageSize(kDiskPageSize);
    disk_mgr_->SetFileName(file);
    // A file without its write bit is read, never written, whoever runs.
    const bool readOnly = read_only_ || os::IsFileReadOnly(file);
    disk_mgr_->SetOpenFlags(static_cast<uint16_t>((readOnly ? fmOpenRead : fmOpenReadWrite) |
                                                  (exclusive_ ? fmShareExclusive : fmShareDenyNone)));
    disk_mgr_->SetLockRetryCount(lock_retry_maximum_);
    disk_mgr_->SetLockRetryInterval(static_cast<uint32_t>(lock_retry_interval_));
    disk_mgr_->Open();
    system_hdr_interface_->SetFirstEmptyValid(false);
    system_hdr_interface_->Open();
    system_table_mgr_->Open();
    table_hdr_interface_->SetFirstEmptyValid(false);
    table_hdr_interface_->Open();
    user_table_mgr_->Open();
  } catch (...) {
    try {
      CloseDiskConnections();
    } catch (...) {
      // The open's own failure is the one to report.
    }
    throw;
  }
}

void TTavDataBase::CloseDiskConnections() {
  TFirstError t;
  t.Try([&] { system_table_mgr_->Close(); });
  t.Try([&] { system_hdr_interface_->Close(); });
  t.Try([&] { user_table_mgr_->Close(); });
  t.Try([&] { table_hdr_interface_->Close(); });
  t.Try([&] { disk_mgr_->Close(); });
  t.Rethrow();
}

void TTavDataBase::DoConnect() {
  const char* caller = "TTavDataBase.DoConnect";
  if (connected_) return;
  if (IsMemory()) {
    memory_mgr_->Open();
    InitDefBlock();
    enforce_security_ = false;
    privilege_flags_ = kAllPrivileges;
    connected_ = true;
    return;
  }
  if (data_base_name_.empty())
    TavDatabaseError(kDatabaseNameIsInvalid, caller, directory_ + data_base_name_, this);
  memory_mgr_->Open();
  try {
    if (!disk_mgr_) CreateDiskInterfaces();
    OpenDiskConnections();
  } catch (...) {
    memory_mgr_->Close();
    throw;
  }
  connected_ = true;
  const std::string key = master_key_;
  bool keyRefused = false;
  try {
    ReadDefBlock();
    default_sort_order_ = host::GetU32(def_block_.data() + kDBDefSortOrderOffset) == soASCII ? soASCII : soANSI;
    enforce_security_ = SecurityMode() >= kSecurityEnforced;
    use_encryption_ = SecurityMode() >= kSecurityEncrypted;
    if (disk_format_ > kMaximumDiskFormat)
      TavDatabaseErrorFmt(kHigherDatabaseLevelRequired, caller,
                          "Current database disk format is %s", {StoredVersion()}, this);

    int mode = kLoginNone;
    if (NeedSecurity())
      mode = master_key_.empty() ? kLoginAll : kLoginUserOnly;
    else if (use_encryption_ && master_key_.empty())
      mode = kLoginDatabaseOnly;
    std::string userName, password;
    if (mode != kLoginNone) RunLogin(mode, userName, password);

    disk_mgr_->SetCryptKey(master_key_);
    if (use_encryption_ || NeedSecurity()) {
      try {
        disk_mgr_->ReadSecurityHeader(security_header_);
      } catch (...) {
        master_key_.clear();
        keyRefused = true;
        throw;
      }
    }
    OpenSystemTables();
    if (DBDefBlockCRC(def_block_.data()) != host::GetU32(def_block_.data() + kDBDefCRCOffset))
      TavDatabaseError(kCorruptHeader, caller, "", this);
    if (NeedSecurity()) LogOn(userName, password);
  } catch (...) {
    try {
      DoDisconnect();
    } catch (...) {
      // The connect's failure is the one to report.
    }
    if (!keyRefused) master_key_ = key;
    throw;
  }
}

void TTavDataBase::RunLogin(int mode, std::string& userName, std::string& password) {
  std::string databasePassword = master_key_;
  if (before_login_) {
    before_login_(this, userName, password, databasePassword);
  } else if (!ShowTavLoginDialog(directory_ + data_base_name_, mode, databasePassword, userName,
                                 password)) {
    TavDatabaseError(kInvalidPasswordOrUsername, "TTavDataBase.DoConnect", "", this);
  }
  if (mode != kLoginUserOnly) master_key_ = databasePassword;
}

void TTavDataBase::LogOn(std::string& userName, std::string& password) {
  std::string failure;
  try {
    LogOnUser(userName, password);
    return;
  } catch (const ETavDatabaseError& e) {
    // A host that answers BeforeLogin handles its own failures.
    if (before_login_) throw;
    failure = e.Message();
  }
  // Each failure is shown, then the user may try again with another name
  // and password, until a logon succeeds or the dialog is cancelled.
  for (;;) {
    TavLoginPrompter().ShowMessage(failure);
    std::string unused = master_key_;
    if (!ShowTavLoginDialog(directory_ + data_base_name_, kLoginUserOnly, unused, userName, password))
      break;
    try {
      LogOnUser(userName, password);
      return;
    } catch (const ETavDatabaseError& e) {
      failure = e.Message();
    }
  }
  TavDatabaseError(kInvalidPasswordOrUsername, "TTavDataBase.DoConnect", "", this);
}

void TTavDataBase::LogOnUser(const std::string& userName, const std::string& password) {
  security_manager_->Logon(userName, password, data_base_name_);
  // What the group may do on every table, for the checks of opened tables,
  // and what it may do with users and groups.
  privileges_->SetGroupName(security_manager_->GroupName());
  security_manager_->GetPrivileges(doTable, "ALL", *privileges_);
  privilege_flags_ = 0;
  for (TSystemPrivilegeType type : {spViewUsers, spEditUsers, spViewGroups, spEditGroups})
    if (privileges_->SystemPrivileges().FindPrivilege(type))
      privilege_flags_ |= MapSystemPrivTypeToConst(type);
}

void TTavDataBase::DoDisconnect() {
  if (!connected_) return;
  TFirstError t;
  if (locked_) {
    t.Try([&] {
      if (disk_mgr_ && disk_mgr_->IsOpen()) disk_mgr_->ReleaseHeaderLock();
    });
    locked_ = false;
  }
  CloseDataSets();
  if (!IsMemory() && disk_mgr_) {
    // What a transaction left uncommitted does not survive the connection.
    t.Try([&] {
      if (disk_mgr_->IsOpen() && disk_mgr_->IsTransactionActive()) disk_mgr_->DiskRollback();
    });
    t.Try([&] { CloseSystemTables(); });
    t.Try([&] { CloseDiskConnections(); });
  }
  t.Try([&] { memory_mgr_->Close(); });
  privileges_->ClearPrivileges();
  privilege_flags_ = 0;
  temp_privilege_status_ = 0;
  master_key_.clear();
  InitDefBlock();
  connected_ = false;
  t.Rethrow();
}

void TTavDataBase::OpenSystemTables() {
  TTableDef def(nullptr);
  SetMasterTableDef(def);
  def.SetTableName(kMasterUserTableName);
  def.SetTableID(kMasterUserTableID);
  master_user_table_ = std::make_unique<TCatalogueTable>(*system_table_mgr_, disk_mgr_.get(), def);
  if (minor_version_ > 1) {
    def.SetTableName(kMasterSystemTableName);
    def.SetTableID(kMasterSystemTableID);
    master_system_table_ = std::make_unique<TCatalogueTable>(*system_table_mgr_, disk_mgr_.get(), def);
    object_id_table_ = OpenCatalogueTable(kObjectIDTableName);
    generator_table_ = OpenCatalogueTable(kGeneratorTableName);
  }
  if (NeedSecurity()) {
    sec_groups_table_ = OpenCatalogueTable(kSecGroupsTableName);
    sec_users_table_ = OpenCatalogueTable(kSecUsersTableName);
    sec_obj_priv_table_ = OpenCatalogueTable(kSecObjPrivTableName);
    sec_sys_priv_table_ = OpenCatalogueTable(kSecSysPrivTableName);
    security_manager_->Open(this, sec_users_table_.get(), object_id_table_.get(),
                            sec_sys_priv_table_.get(), sec_obj_priv_table_.get(),
                            sec_groups_table_.get());
  }
}

void TTavDataBase::CloseSystemTables() {
  TFirstError t;
  security_manager_->Close();
  t.Try([&] { sec_groups_table_.reset(); });
  t.Try([&] { sec_users_table_.reset(); });
  t.Try([&] { sec_obj_priv_table_.reset(); });
  t.Try([&] { sec_sys_priv_table_.reset(); });
  t.Try([&] { object_id_table_.reset(); });
  t.Try([&] { generator_table_.reset(); });
  t.Try([&] { master_system_table_.reset(); });
  t.Try([&] { master_user_table_.reset(); });
  t.Rethrow();
}

// ---------------------------------------------------------------------------
// Creating a database

void TTavDataBase::CreateDatabase() {
  const char* caller = "TTavDataBase.CreateDatabase";
  CheckNotConnected();
  if (data_base_name_.empty())
    TavDatabaseError(kDatabaseNameIsInvalid, caller, directory_ + data_base_name_, this);
  if (use_encryption_ && static_cast<int>(master_key_.size()) < kMasterKeyMinLength)
    TavDatabaseErrorFmt(kInvalidPasswordOrUsername, caller, kLengthText,
                        {kMaskedKey, kMasterKeyMinLength, kMasterKeyMaxLength}, this);
  {
    TDiskMgr creator;
    creator.SetPageSize(kDiskPageSize);
    creator.SetFileName(directory_ + data_base_name_);
    creator.CreateNewFile(true);
  }
  const std::string owner = DBOwner();
  InitDefBlock();
  PutWide(kDBDefOwnerOffset, 30, owner);
  host::PutU32(def_block_.data() + kDBDefSortOrderOffset, static_cast<uint32_t>(default_sort_order_));
  host::PutU32(def_block_.data() + kDBDefSecurityModeOffset,
               static_cast<uint32_t>(enforce_security_ ? kSecurityEnforced
                                     : use_encryption_ ? kSecurityEncrypted
                                                       : kSecurityNone));

  connected_ = true;
  TFirstError t;
  t.Try([&] {
    if (!disk_mgr_) CreateDiskInterfaces();
    OpenDiskConnections();
    disk_mgr_->SetCryptKey(master_key_);
    SetLocked(true);
    WriteDefBlock();
    if (use_encryption_) disk_mgr_->WriteSecurityHeader(security_header_);
    system_hdr_interface_->SetFirstEmpty(disk_mgr_->GlobalHdr()->SystemHeadersFirstEmpty());
    CreateMasterTables();
    TTableDef def(nullptr);
    SetMasterTableDef(def);
    def.SetTableName(kMasterSystemTableName);
    def.SetTableID(kMasterSystemTableID);
    master_system_table_ = std::make_unique<TCatalogueTable>(*system_table_mgr_, disk_mgr_.get(), def);
    CreateSystemTables();
    if (enforce_security_) CreateSecurityTables();
  });
  t.Try([&] { master_system_table_.reset(); });
  t.Try([&] {
    if (disk_mgr_ && disk_mgr_->IsOpen()) SetLocked(false);
  });
  locked_ = false;
  t.Try([&] {
    if (disk_mgr_) CloseDiskConnections();
  });
  connected_ = false;
  t.Rethrow();
}

// ---------------------------------------------------------------------------
// The datasets of the connection

void TTavDataBase::CloseDataSets() {
  for (int i = 0; i < DataSetCount(); ++i) {
    try {
      host::TDataSet* ds = DataSets(i);
      ds->Close();
      // The cursor gives its table back before the tables go.
      if (auto* cursor = dynamic_cast<TTavDataSet*>(ds)) cursor->DataSetClose();
    } catch (...) {
      // One dataset that cannot close does not keep the others open.
    }
  }
}

void TTavDataBase::RefreshDataSets() {
  for (int i = 0; i < DataSetCount(); ++i) {
    try {
      if (DataSets(i)->Active()) DataSets(i)->Refresh();
    } catch (...) {
      // Each dataset on its own.
    }
  }
}

void TTavDataBase::CancelDataSets() {
  for (int i = 0; i < DataSetCount(); ++i) {
    try {
      host::TDataSet* ds = DataSets(i);
      if (ds->State() == host::dsInsert || ds->State() == host::dsEdit) ds->Cancel();
    } catch (...) {
      // Each dataset on its own.
    }
  }
}

void TTavDataBase::RollbackDataSets() {
  for (int i = 0; i < DataSetCount(); ++i) {
    try {
      if (auto* cursor = dynamic_cast<TTavDataSet*>(DataSets(i))) cursor->DumpInternalCaches();
    } catch (...) {
      // Each dataset on its own.
    }
  }
}

// ---------------------------------------------------------------------------
// Transactions

void TTavDataBase::StartTransaction() {
  CheckConnected(true);
  if (disk_mgr_ && disk_mgr_->IsOpen()) disk_mgr_->DiskStartTransaction();
}

void TTavDataBase::Commit() {
  if (!disk_mgr_ || !disk_mgr_->IsOpen()) return;
  // A table header a dataset changed under a lock it keeps goes with the
  // commit, not after it.
  if (disk_mgr_->IsTransactionActive())
    for (size_t i = 0; i < cursors_.size(); ++i) cursors_[i]->WriteHeldTableHeader();
  disk_mgr_->DiskCommit();
  ForgetTableLocks(false);
}

void TTavDataBase::ForgetTableLocks(bool rolledBack) {
  for (size_t i = 0; i < cursors_.size(); ++i) cursors_[i]->ForgetTableLocks(rolledBack);
}

void TTavDataBase::RegisterClient(host::TObject* client, host::TConnectChangeEvent event) {
  host::TCustomConnection::RegisterClient(client, std::move(event));
  auto* cursor = dynamic_cast<TTavDataSet*>(client);
  if (cursor && std::find(cursors_.begin(), cursors_.end(), cursor) == cursors_.end())
    cursors_.push_back(cursor);
}

void TTavDataBase::UnRegisterClient(host::TObject* client) {
  host::TCustomConnection::UnRegisterClient(client);
  // The client may be half destroyed: pointers are compared, nothing asked.
  std::erase_if(cursors_,
                [client](TTavDataSet* c) { return static_cast<host::TObject*>(c) == client; });
}

void TTavDataBase::Notification(host::TComponent* component, host::TOperation operation) {
  host::TCustomConnection::Notification(component, operation);
  if (operation != host::opRemove) return;
  std::erase_if(cursors_, [component](TTavDataSet* c) {
    return static_cast<host::TComponent*>(c) == component;
  });
}

void TTavDataBase::Rollback() {
  if (disk_mgr_ && disk_mgr_->IsOpen()) {
    TFirstError t;
    t.Try([&] { disk_mgr_->DiskRollback(); });
    // The rollback gave back every lock, and what the headers held is gone.
    ForgetTableLocks(true);
    // A table made in the transaction is gone from the file: its manager
    // must not remember it.
    t.Try([&] { system_table_mgr_->DropUnusedMasters(); });
    t.Try([&] { user_table_mgr_->DropUnusedMasters(); });
    t.Rethrow();
  }
  // What the datasets hold or show may be what was rolled back.
  for (int i = 0; i < DataSetCount(); ++i) {
    host::TDataSet* ds = DataSets(i);
    if (auto* cursor = dynamic_cast<TTavDataSet*>(ds)) cursor->DumpInternalCaches();
    if (ds->State() == host::dsInsert || ds->State() == host::dsEdit) ds->Cancel();
    if (!ds->Active()) continue;
    try {
      ds->Refresh();
    } catch (const ETavDatabaseError& e) {
      // The record it stood on was made in the transaction.
      if (e.ErrorCode() != kRecordDeletedKeyModified) throw;
      ds->First();
    }
  }
}

bool TTavDataBase::InTransaction() const {
  return disk_mgr_ && disk_mgr_->IsOpen() && disk_mgr_->IsTransactionActive();
}

// ---------------------------------------------------------------------------
// Locks

bool TTavDataBase::LockTable(const TTableDef& definition, int lockType) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  disk_mgr_->SetTableLock(static_cast<uint32_t>(definition.TableID()), lockType);
  return true;
}

bool TTavDataBase::UnLockTable(const TTableDef& definition) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  disk_mgr_->ReleaseTableLock(static_cast<uint32_t>(definition.TableID()));
  return true;
}

bool TTavDataBase::HoldTableLock(const TTableDef& definition, int lockType, bool newHolder) {
  if (definition.Memory()) return false;
  LockTable(definition, lockType);
  if (TTableHeader* header = definition.TableHeader(); header && newHolder)
    header->SetLockHolders(header->LockHolders() + 1);
  return true;
}

bool TTavDataBase::ReleaseTableLockHold(const TTableDef& definition) {
  if (definition.Memory()) return true;
  if (TTableHeader* header = definition.TableHeader()) {
    const int32_t others = header->LockHolders() - 1;
    header->SetLockHolders(others > 0 ? others : 0);
    if (others > 0) return false;
  }
  UnLockTable(definition);
  return true;
}

bool TTavDataBase::TableLockExists(const TTableDef& definition, int lockType) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  return disk_mgr_->QueryTableLockStatus(static_cast<uint32_t>(definition.TableID())) == lockType;
}

bool TTavDataBase::LockRecord(const TTableDef& definition, uint32_t address) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  disk_mgr_->SetRecordLock(address, static_cast<uint32_t>(definition.TableID()));
  return true;
}

bool TTavDataBase::UnLockRecord(const TTableDef& definition, uint32_t address) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  disk_mgr_->ReleaseRecordLock(address);
  return true;
}

bool TTavDataBase::RecordLockExists(const TTableDef& definition, uint32_t address) {
  if (definition.Memory()) return false;
  CheckConnected(false);
  return disk_mgr_->QueryRecordLockStatus(address) == kTableWriteLock;
}

}  // namespace tav

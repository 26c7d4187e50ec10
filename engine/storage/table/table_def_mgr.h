// Table-definition managers: the tables of one database (or of its memory
// part) as connections see them. A manager keeps one master definition per
// table it serves (table_def.h): the master opens the table's storage once,
// and every connection to the table gets a copy of the definition that
// borrows the master's header and interfaces. The manager counts the
// connections and closes the storage when the last disk connection goes.
//
// TDiskTableDefMgr serves the tables of a database file through one table
// directory (the system tables' or the user tables'); TMemoryTableDefMgr
// serves memory tables, with a directory and headers in memory blocks.
//
// Callers must keep:
//  - The managers take no locks: they run under the database's table and
//    header locks.
//  - A disk manager gets SetDiskMgr, SetHdrDiskInterface (the header blocks'
//    interface: usage 1, block size 256, global chain) and its
//    BaseDefMgrAddress before Open; all are borrowed and outlive the
//    manager's Open..Close.
//  - A connection is OpenTableDefConnection(name, definition) ..
//    CloseTableDefConnection(definition.TableID()); the definition's header
//    and interfaces are valid in between and must not be used after.
//  - One header user per master: a table's header object lives exactly as
//    long as its master holds the storage, so that a deleted table's id,
//    when reused, starts from its own new header.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/table/table_header.h"
#include "host/rtl/object.h"

namespace host {
class TFieldDefs;
class TIndexDefs;
class TStrings;
}  // namespace host

namespace tav {

class TBaseIOInterface;
class TDiskIOInterface;
class TDiskMgr;
class TMemoryIOInterface;

// The restructure record: the new layout of a table and what changes with
// it. The definitions are borrowed; their overall change types (set by their
// validation) decide the work.
struct TRestructureDetails {
  TRestructureFieldDefs* NewFieldDefs = nullptr;
  TRestructureIndexDefs* NewIndexDefs = nullptr;
  // The host definitions that receive the new ones.
  host::TFieldDefs* DestFieldDefs = nullptr;
  host::TIndexDefs* DestIndexDefs = nullptr;
  bool ChangeBlobBlockSize = false;
  int32_t NewBlobBlockSize = 0;
  bool ChangeSortOrder = false;
  TSortOrder NewSortOrder = soANSI;
  // The auto-increment counter follows NewFieldDefs' ResetAutoIncValue and
  // AutoIncResetValue; these do the same for the two general counters.
  bool ResetGenerator1 = false;
  uint32_t Generator1Value = 0;
  bool ResetGenerator2 = false;
  uint32_t Generator2Value = 0;
};

// Whether a change type asks for the data to be rebuilt (not only the
// definition changed).
bool DefChangeNeedsData(TDefChangeType change);

class TBaseTableDefMgr : public host::TObject {
 public:
  TBaseTableDefMgr() = default;
  TBaseTableDefMgr(const TBaseTableDefMgr&) = delete;
  TBaseTableDefMgr& operator=(const TBaseTableDefMgr&) = delete;
  // Frees the masters (subclasses close first).
  ~TBaseTableDefMgr() override;

  virtual void InitializeIndexInterface(TTableDef& definition);
  // 0 when done.
  virtual int CreateTableDef(const std::string& tableName, TTableDef& definition);
  virtual void CloseTableDefConnection(int32_t tableID);
  virtual int OpenTableDefConnection(const std::string& tableName, TTableDef& definition);
  // 0 when done.
  virtual int DeleteTableDef(const std::string& tableName, TTableDef& definition);
  virtual void RestructureTableDef(TTableDef& definition, const TRestructureDetails& restructure);
  virtual void Open();
  // Frees every master.
  virtual void Close();

  // The master's connections; 0 when the table has none.
  int32_t CheckTableUserCount(const std::string& tableName) const;
  // Adds each master's TableName.
  void GetCurrentTableNames(host::TStrings& lines) const;
  // The master's position, -1 when there is none.
  int IndexOfTableDef(int32_t tableID) const;
  int IndexOfTableName(const std::string& tableName) const;
  int MasterCount() const { return static_cast<int>(masters_.size()); }
  TTableDef* Masters(int index) const { return masters_[static_cast<size_t>(index)].get(); }

  TTableHeaderMgr* HeaderMgr() const { return header_mgr_; }
  void SetHeaderMgr(TTableHeaderMgr* value) { header_mgr_ = value; }
  // Table ids of the system tables' manager start at 1024.
  bool SystemTableMgr() const { return system_table_mgr_; }
  void SetSystemTableMgr(bool value) { system_table_mgr_ = value; }

 protected:
  // Connections other than `definition`'s own that use the master.
  static int32_t OtherUsers(const TTableDef& master, const TTableDef& definition);
  // Lists a new master copied from `definition`.
  TTableDef& AddMaster(const TTableDef& definition);
  // Closes the master's storage and its header, frees and unlists it.
  void DropMaster(int index);
  // Drops every master, then closes the subclass's own header manager (when
  // given), going on past failures; returns the first failure, if any.
  std::exception_ptr DropMastersAndClose(TTableHeaderMgr* ownHeaderMgr);
  // Raises 8578 unless `definition`'s table may be deleted now (no other
  // user, no header open but its master's); the index of its master or -1.
  int CheckDeletable(TTableHeaderMgr& hdrMgr, const TTableDef& definition, const char* caller);
  // The header manager, 8576 when there is none.
  TTableHeaderMgr& RequireHeaderMgr(const char* caller) const;
  int32_t BaseTableID() const;

 private:
  std::vector<std::unique_ptr<TTableDef>> masters_;
  TTableHeaderMgr* header_mgr_ = nullptr;
  bool system_table_mgr_ = false;
};

class TDiskTableDefMgr : public TBaseTableDefMgr {
 public:
  TDiskTableDefMgr();
  ~TDiskTableDefMgr() override;

  TDiskMgr* DiskMgr() const { return disk_mgr_; }
  void SetDiskMgr(TDiskMgr* value) { disk_mgr_ = value; }
  // The directory's byte address: PageSize for the system tables, 3 *
  // PageSize for the user tables.
  uint32_t BaseDefMgrAddress() const { return base_def_mgr_address_; }
  void SetBaseDefMgrAddress(uint32_t value) { base_def_mgr_address_ = value; }
  TBaseIOInterface* HdrDiskInterface() const { return hdr_disk_interface_; }
  void SetHdrDiskInterface(TBaseIOInterface* value) { hdr_disk_interface_ = value; }

  // Allocates an empty root for each index definition of a new table.
  void InitializeIndexInterface(TTableDef& definition) override;
  // 8577 for a memory definition, 8580 for a name with an open master. The
  // table gets its id (also set in `definition`) and its empty indexes.
  int CreateTableDef(const std::string& tableName, TTableDef& definition) override;
  // 8579 for an unknown id. The last connection closes the table's storage.
  void CloseTableDefConnection(int32_t tableID) override;
  // A first connection opens the table's header and storage; every
  // connection gets the master's header and interfaces.
  int OpenTableDefConnection(const std::string& tableName, TTableDef& definition) override;
  // 8578 while connections other than `definition`'s own use the table, or
  // while a header for it is open; nothing changes then. Frees the table's
  // pages and header and takes it out of the directory; `definition` loses
  // its storage and gets id 0.
  int DeleteTableDef(const std::string& tableName, TTableDef& definition) override;
  // Stores the new layout's consequences in the table: the counters, a
  // header sized for the new indexes, emptied records when the fields change
  // their data, new empty indexes (the old ones freed) when either changes.
  // 8577 for a memory definition, 8578 while the table is open.
  void RestructureTableDef(TTableDef& definition, const TRestructureDetails& restructure) override;
  // Close, then opens the directory (8579 without a header interface, 8576
  // without BaseDefMgrAddress).
  void Open() override;
  void Close() override;
  // Forgets the masters no connection uses, so that the next open reads
  // the table from the file again: after a rollback took back tables they
  // were made for.
  void DropUnusedMasters();

  TTableHeaderMgr* OwnHeaderMgr() const { return own_header_mgr_.get(); }

 private:
  void InternalInitHeaderMgr();
  TDiskMgr& RequireDiskMgr(const char* caller) const;
  // A disk interface on the table's index blocks, like the one the master
  // opens, not yet opened.
  std::unique_ptr<TDiskIOInterface> NewIndexInterface(const TTableDef& definition) const;
  // A new empty leaf in `io` as the root of each index definition.
  void CreateIndexRoots(TDiskIOInterface& io, const TTableDef& definition, TTableHeader& header);

  std::unique_ptr<TTableHeaderMgr> own_header_mgr_;
  TDiskMgr* disk_mgr_ = nullptr;
  uint32_t base_def_mgr_address_ = 0;
  TBaseIOInterface* hdr_disk_interface_ = nullptr;
};

class TMemoryTableDefMgr : public TBaseTableDefMgr {
 public:
  TMemoryTableDefMgr();
  ~TMemoryTableDefMgr() override;

  // Nothing: a memory table's roots are made when its master opens.
  void InitializeIndexInterface(TTableDef& definition) override;
  // 8577 for a disk definition, 8580 for a name in use.
  int CreateTableDef(const std::string& tableName, TTableDef& definition) override;
  // 8579 for an unknown id; one connection less. The table stays until it is
  // deleted or the manager closes.
  void CloseTableDefConnection(int32_t tableID) override;
  // 8579 for an unknown name. The definition becomes a full copy of the
  // master, with its header and interfaces.
  int OpenTableDefConnection(const std::string& tableName, TTableDef& definition) override;
  // As the disk manager's (the table's blocks go with its interfaces).
  int DeleteTableDef(const std::string& tableName, TTableDef& definition) override;
  // 10766: memory tables are not restructured.
  void RestructureTableDef(TTableDef& definition, const TRestructureDetails& restructure) override;
  void Open() override;
  void Close() override;

  TTableHeaderMgr* OwnHeaderMgr() const { return own_header_mgr_.get(); }

 private:
  std::unique_ptr<TTableHeaderMgr> own_header_mgr_;
  std::unique_ptr<TMemoryIOInterface> memory_interface_;
};

}  // namespace tav

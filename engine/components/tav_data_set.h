// TTavDataSet: the single-table cursor of the data-access layer. It opens
// one table of a TTavDataBase, keeps one current record in an engine record
// buffer and moves over the table along its current index: first, last,
// next, prior, by key, by record number and by bookmark, inside an optional
// range of keys. It also turns host field and index definitions into a
// table definition (SetTableDef) and creates tables from it. While a filter
// is active (TFilterMgr) every move, count, record number and key search
// keeps to the records that pass it; a change of the table seen by a lock
// rebuilds the filter before it is used again.
//
// Engine record buffer: RecordSize bytes of the stored record followed by
// 12 bytes of position information (record address, record number in the
// current index, key flag). In buffers used as search keys the null-flag
// byte of a key field is a key flag: 2 below every value, 4 above every
// value, anything else the field's own value.
//
// Callers must keep:
//  - Properties that shape the table (TableName, Memory, ReadOnly, ...)
//    are set while closed.
//  - Every reading operation takes the table read lock for its duration
//    when none is held and releases exactly what it took (TReadLockGuard),
//    on every exit.
//  - Buffers handed in hold RecordBufferSize bytes.
//  - A bookmark is 8 bytes: record address, then logical record number.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/components/search_fields.h"
#include "engine/components/tav_database.h"
#include "engine/components/tav_filter_mgr.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/index/btree.h"
#include "engine/storage/index/index_mgr.h"
#include "engine/storage/record/blob.h"
#include "engine/storage/record/read_ahead.h"
#include "engine/storage/record/record_mgr.h"
#include "engine/storage/table/table_def.h"
#include "host/db/data_set.h"

namespace host {
class TFieldDefs;
class TIndexDef;
class TIndexDefs;
class TStrings;
}  // namespace host

namespace tav {

class TCompoundList;
class TIndexBulkLoad;
class TRestructureFieldDefs;
class TRestructureIndexDefs;
class TTavBaseHash;
struct TUnkeyedRun;

enum TRangeMode { rmRangeStart = 0, rmRangeEnd = 1 };
enum TSeekPosition { spFromStart, spFromCurrent, spFromEnd };
enum TReadAheadMode { raReadAheadInactive, raReadAheadUninitialized, raReadAheadActive };
enum TKeyMode { kmNone, kmFind, kmRange };
enum TPositionMarker { tpInTableUnknown, tpInTableValid, tpAtFirst, tpAtLast };
enum TRecordBufferStatus { rbBrowse, rbEdit, rbInsert, rbInvalid };
// What the cursor's record buffer holds: nothing (closed, or the record
// deleted), the record as read at the cursor's position, or values a caller
// set or cleared since.
enum class TRecordBufferState : uint8_t { kEmpty, kRead, kChanged };

// Key flag bytes and words.
inline constexpr uint8_t kKeyFlagBOF = 2;
inline constexpr uint8_t kKeyFlagEOF = 4;
// The position information after the stored record.
inline constexpr int kPosInfoSize = 12;
inline constexpr int kBookmarkSize = 8;
// Search keys of a range end.
inline constexpr int kRangeKeySize = 500;
// Record header offsets.
inline constexpr int kRecInUseOffset = 0;
inline constexpr int kRecIdentityOffset = 2;
inline constexpr int kRecLogicalNoOffset = 6;
inline constexpr int kRecModFlagOffset = 10;
// The index of a table defined without indexes.
inline constexpr char kLogicalRecNoIndexName[] = "_LogicalRecNo";
// Records a read-ahead fill may hold.
inline constexpr uint32_t kReadAheadCapacity = 10000;
// Milliseconds after a fill during which the read-ahead buffer serves steps
// without taking the table lock (later steps lock and check the header).
inline constexpr uint32_t kReadAheadUnlockedPeriod = 50;
// The most records a walk's fill lists (about a 4096-byte leaf's worth).
inline constexpr int32_t kReadAheadWalkFill = 256;
// ... and the most bytes of record buffers it fills.
inline constexpr int32_t kReadAheadWalkBytes = 1 << 20;

// What a record write did, for the filter's bookkeeping.
enum TRecordWriteStatus { rwInserted, rwModified, rwDeleted };

class TTavDataSet : public host::TDataSet {
 public:
  explicit TTavDataSet(host::TComponent* owner);
  ~TTavDataSet() override;

  // ======== Host-facing: the host dataset (TTavBaseTable), the table
  // component, BLOB streams, the query layer's dataset bridge and
  // applications call these. ========

  // ---- properties ----
  // Callers: the host dataset, the table component and applications; those that shape the
  // table are set only while closed.
  TTavDataBase* DataBase() const { return data_base_; }
  // Only while closed.
  void SetDataBase(TTavDataBase* value);
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& value);
  const std::string& TableOwner() const { return table_owner_; }
  void SetTableOwner(const std::string& value);
  const std::string& IndexName() const { return index_name_; }
  const std::string& Version() const { return version_; }
  void SetVersion(const std::string&) {}
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  bool Memory() const { return memory_; }
  void SetMemory(bool value);
  TEncryptionLevel EncryptionLevel() const { return encryption_level_; }
  void SetEncryptionLevel(TEncryptionLevel value);
  TSortOrder SortOrder() const { return sort_order_; }
  void SetSortOrder(TSortOrder value);
  int32_t BlobBlockSize() const { return blob_block_size_; }
  void SetBlobBlockSize(int32_t value);
  bool UseReadAheadBuffer() const { return use_read_ahead_; }
  void SetUseReadAheadBuffer(bool value) { use_read_ahead_ = value; }
  int32_t ReadAheadBufferSize() const { return read_ahead_size_; }
  void SetReadAheadBufferSize(int32_t value) { read_ahead_size_ = value; }
  const TUpdateProgressEvent& OnUpdateProgress() const { return on_update_progress_; }
  void SetOnUpdateProgress(TUpdateProgressEvent value) { on_update_progress_ = std::move(value); }
  // Borrowed sink for diagnostic lines; handed to the index manager on open.
  host::TStrings* DebugStrings() const { return debug_strings_; }
  void SetDebugStrings(host::TStrings* value);
  bool ReadLocked() const { return read_locked_; }
  bool WriteLocked() const { return write_locked_; }
  bool InternalActive() const { return cursor_active_; }
  TRecordBufferState RecordBufferState() const { return record_buffer_state_; }
  TReadAheadMode ReadAheadMode() const { return read_ahead_mode_; }
  TReadAheadDirection LastDirection() const { return last_direction_; }
  bool RangeOn() const { return range_on_; }
  bool RangeValid() const { return range_valid_; }
  TTableDef& TableDef() { return *table_def_; }
  TRecordMgr& RecordMgr() { return *record_mgr_; }
  TIndexManager& IndexManager() { return *index_mgr_; }
  TReadAheadBuffer& ReadAheadBuffer() { return *read_ahead_; }
  int32_t RecordSize() const { return record_size_; }
  int32_t RecordBufferSize() const { return record_buffer_size_; }
  // The engine record buffer (RecordBufferSize bytes while open).
  uint8_t* RecordBuffer() { return record_buffer_.data(); }

  // ---- opening, closing and creating ----
  // Callers: the host dataset's open and close, the table component's index choice, the
  // connection's catalogue.
  bool DataSetOpen();
  void DataSetClose();
  void InternalSetIndexName(const std::string& name);
  void ReadTableHeader();
  bool GetExists() const;
  void SetTableDef(bool memory, const host::TFieldDefs& fieldDefs, const host::TIndexDefs& indexDefs);
  void SetTableDefFromRSDefs(bool memory, const TRestructureFieldDefs& fieldDefs,
                             const TRestructureIndexDefs& indexDefs);
  void InternalCreateTable();

  // ---- navigation ----
  // Callers: the host dataset's fetches and scrolls, the table component's key searches, the query
  // layer's bridge.
  bool DataSetFirst();
  // The table holds just the record at `address` (its caller has just
  // filled it so): the next DataSetFirst, unfiltered and outside a range,
  // reads that record without a search. That call forgets it, found or not.
  void SetOnlyRecordHint(uint32_t address) { only_record_ = address; }
  bool DataSetLast();
  bool DataSetNext();
  bool DataSetPrior();
  bool Find(TIndexSearchType searchType, const std::string& indexName,
            const TSearchModifier* modifier = nullptr);
  bool FindBuf(const uint8_t* buffer, TIndexSearchType searchType, const std::string& indexName,
               const TSearchModifier* modifier, bool nearest);
  bool SetToRecordBuffer(const uint8_t* buffer, bool checkFlags, bool reposition);
  bool DataSetSetToBookmark(const uint8_t* bookmark);
  // Positions on the record at `address` and copies it into the host's
  // active buffer (whose first RecordBufferSize bytes are an engine record
  // buffer) when its modification flag is still modFlag; else 8708.
  void DataSetSetToFlags(uint32_t address, uint32_t modFlag);
  void DataSetSetToUnorderedRecord(uint32_t address);

  // ---- record numbers, counts and bookmarks ----
  // Callers: the host dataset's RecNo, RecordCount and bookmarks; the bridge's counts.
  int32_t DataSetGetRecordNo();
  int32_t DataSetGetRecordNoFromBuf(const uint8_t* buffer);
  int32_t DataSetSetRecordNo(int32_t recNo);
  int32_t GetCurrentRecordCount();
  int32_t GetTotalRecordCount();
  void GetBookMarkFromBuf(const uint8_t* buffer, uint8_t* bookmark) const;
  void SetBookMarkToBuf(uint8_t* buffer, const uint8_t* bookmark) const;
  // Valid only for an allocated record block of this table holding a
  // record in use, of this table, with the bookmark's logical number.
  bool CheckBookMarkValid(const uint8_t* bookmark);

  // ---- record buffers ----
  // Callers: the host dataset moves whole records between its buffers and the engine buffer.
  void SetRecordBuffer(const uint8_t* buffer);
  uint32_t DatasetGetRecAddr() const;
  uint32_t DataSetGetRecordModFlag() const;
  bool InternalCheckRecordFlags(const uint8_t* a, const uint8_t* b, bool checkModFlag,
                                bool checkIdentity) const;
  void InitializeNewRecord(uint8_t* buffer, bool setKeyFlags);

  // ---- field reads ----
  // Callers: the host dataset's fields, BLOB streams and the bridge's value reads.
  TInternalFields& GetInternalFields();
  int GetFieldNo(const std::string& name) const;
  // The field's layout entry; 10116 for a number out of range.
  const TInternalFieldItem& GetFieldDef(int fieldNo) const;
  int32_t GetFieldDataOffset(int fieldNo) const;
  int32_t GetFieldNullOffset(int fieldNo) const;
  bool GetIsFieldNullFromRecBuf(const uint8_t* buffer, int fieldNo) const;
  bool IsFieldBlob(int fieldNo) const;
  // Copies the value (InternalGetFieldLength bytes) into data; IsNull from
  // the flag byte. BLOB fields raise 8581.
  void DataSetGetFieldDataFromRecBuf(const uint8_t* buffer, int fieldNo, bool& isNull, void* data);
  host::Variant DataSetGetFieldDataAsVariant(int fieldNo);
  void DataSetGetFieldDataByReference(int fieldNo, int32_t& length, const uint8_t*& data, bool& isNull);
  void DataSetGetFieldDataByReferenceFromRecBuf(const uint8_t* buffer, int fieldNo,
                                                int32_t& length, const uint8_t*& data,
                                                bool& isNull);
  // BLOB fields only: the content the record manager's BLOB item holds when
  // it was set or loaded, else the stored BLOB of the buffer's field.
  void DataSetGetFieldStreamFromRecBuf(const uint8_t* buffer, int fieldNo, bool& isNull,
                                       host::TStream& stream);
  void DataSetGetFieldStream(int fieldNo, bool& isNull, host::TStream& stream);

  // ---- BLOB cache: BLOB contents kept per record address and field ----
  // Callers: BLOB streams.
  void ClearBlobCache() { blob_cache_->Clear(); }
  // Copies the cached content into stream; False when none is cached.
  bool GetBlobCacheData(uint32_t address, int fieldNo, host::TStream& stream);
  // Replaces (or adds) the cached content with the whole of stream.
  void SetBlobCacheData(uint32_t address, int fieldNo, host::TStream& stream);

  // ---- field writes ----
  // Callers: the host dataset's field setters and BLOB streams.
  // Into `buffer`, without a privilege check; a negative length writes the
  // field's size (fields without a length word only).
  void DataSetSetFieldDataToRecBuf(int fieldNo, int32_t length, uint8_t* buffer, const void* data,
                                   bool setNull);
  void DataSetSetFieldDataAsVariant(int fieldNo, const host::Variant& value);
  void DataSetSetFieldStreamFromRecBuf(int fieldNo, bool clear, host::TStream& stream,
                                       const uint8_t* buffer);
  // Hides host fields without the read privilege and makes those without
  // the update privilege read-only.
  void DataSetSetFieldPrivileges();

  // ---- record writes (each under the write lock, the caller's or its own) ----
  // Callers: the host dataset's post and delete, the connection's catalogue.
  // Inserts the engine buffer as a new record.
  void AddRecord(bool generateAutoInc);
  // The same for a run of inserts that reads nothing back: the cursor is
  // left on the new record's address, the index not searched for it.
  void AddRecordUnpositioned(bool generateAutoInc);
  // A run of inserts into a table nothing else reads until it ends: each
  // record goes in without its keys, the cursor where it was; EndUnkeyedRun
  // then builds every index from the records, as a reindex does.
  // The keys are gathered as the records go in; a keyed add, an update, a
  // delete, emptying or closing the table ends the gathering (the run's end
  // then reads the records back).
  void AddRecordUnkeyed();
  void EndUnkeyedRun();
  // Writes the changed engine buffer over the record it was read from.
  void UpdateRecord();
  // Deletes the current record; `buffer` (may be null) is the caller's copy
  // of it. -1 when the copy is stale or the record is gone, else 0.
  int DeleteRecord(const uint8_t* buffer);
  // Empties every record, BLOB and index of the table, freeing their blocks.
  void DataSetEmptyTable();

  // ---- locate ----
  // Callers: the host dataset's Locate and Lookup.
  // Searches `keyBuffer`'s values of `fieldNames` (';'-separated) through
  // the index (the named one with useIndexName, else the current one) and
  // sequentially past it. A match is copied into resultBuffer (with its
  // address) and, with reposition, made the current record. 0 for a match,
  // -1 otherwise.
  int DoLocate(const std::string& indexName, const uint8_t* keyBuffer, bool reposition,
               bool useIndexName, host::TLocateOptions options, uint8_t* resultBuffer,
               const std::string& fieldNames);

  // ---- index information ----
  // Callers: the host dataset's index definitions, the table component and the bridge.
  int GetIndexFieldCount() const;
  // Index i (hidden ones counted) as a host index definition.
  void GetIndexDef(int i, host::TIndexDef& indexDef) const;
  std::string FindIndexForFields(const std::string& fields) const;

  // ---- ranges ----
  // Callers: the table component's SetRange and its master-detail link.
  // endsInOrder: the caller built the ends so that the start does not lie
  // past the end, and the two keys need not be compared to know it.
  void SetRangeOn(bool on, bool endsInOrder = false);
  void DataSetClearRange() { SetRangeOn(false); }
  void InitializeRangeBuffers(TRangeMode mode);
  uint8_t* GetRangeRecBuf(TRangeMode mode) { return range_buffers_[mode].data(); }
  void SetReadAheadMode(TReadAheadMode mode);
  void ReleaseReadAheadMode();

  // ---- filters ----
  // Callers: the host dataset's filter properties and the query layer's bridge.
  TFilterMgr& FilterMgr() { return *filter_mgr_; }
  // While a filter is active, navigation, record numbers, counts and key
  // searches keep to the records that pass it.
  bool FilterActive() const { return filter_mgr_->FilterOpen(); }
  bool HasFilterRecordEvent() const { return static_cast<bool>(OnFilterRecord()); }
  // The OnFilterRecord verdict on a record image (RecordSize bytes): True
  // here; the host-facing descendant asks the handler.
  virtual bool RecordProcFilter(const uint8_t* record);
  // Makes `text` with `options` the active filter. A text that does not
  // parse raises 10051 with the parser's message and keeps the filter that
  // was active before.
  void InternalSetFilter(const std::string& text, host::TFilterOptions options);
  // Makes a parsed condition the active filter (joined by AND to the one
  // held, unless `replace`).
  void InternalAssignFilterExpr(const TTavExpr* expression, bool replace);
  void InternalClearFilter();
  // The filter is built again (with what it holds) before its next use.
  void InternalResetFilter();
  void LoadHashListOfRecords(TTavBaseHash& hash, TCompoundList* list);

  // ---- locks ----
  // Callers: the host dataset's edit, post and Locked property; the connection's table locks.
  bool LockTable();
  bool UnlockTable();
  // The write lock for one run of writes that no other dataset of the
  // connection reads until UnlockTable gives it back: the writes share
  // their state once, when it goes back, instead of after each. False, and
  // nothing changed, when the table is locked already.
  bool LockTableForWriteRun();
  void InternalSetRecordLock(uint32_t address);
  void InternalReleaseRecordLock(uint32_t address);

  // ---- whole-table operations (tav_restructure.cpp) ----
  // Callers: the table component's maintenance calls and the connection's database maintenance.
  // Rebuilds every index from the records under the write lock; a record
  // whose key is already present raises 9729 unless ignoreDuplicates, which
  // leaves it out of every index. OnUpdateProgress may abort.
  void InternalReIndex(bool ignoreDuplicates);
  // Closed dataset of a connected, exclusive disk database outside a
  // transaction: backs the file up as ".tvx" and refills the table from it.
  void InternalRebuildTable();
  // As InternalRebuildTable, with the new layout of `record` (a data copy,
  // a re-index or a change of the stored definition only).
  void InternalRestructureTable(const TRestructureDetails& record);
  // Copies every record in use of this open dataset into the open `dest`,
  // mapping each of Dest's fields from the field its SourceField names.
  // Logical record numbers and auto-increment values are kept. Commits
  // every 100 records when it started Dest's transaction itself; a failure
  // unlocks what it locked and rolls its own transaction back.
  void CopyRawTableData(TTavDataSet* dest);

  // ---- host dataset overrides ----
  // Callers: the dataset framework.
  void Resync(host::TResyncMode mode) override;
  bool IsSequenced() override { return !FilterActive(); }

  // ======== Engine-internal: the cursor's own steps, and what the filter
  // manager, the connection and rebuilds ask of it. ========

  // ---- opening and checks ----
  // Callers: the cursor's own open, close and writes.
  void InternalOpenDataSet();
  void InternalCloseDataSet();
  // The last lock found the table changed since the one before: its header
  // was written, or another dataset of the connection wrote under a lock it
  // holds on.
  bool HasTableHeaderChanged() const { return last_mod_mark_ != prior_mod_mark_ || others_wrote_; }
  void CheckConnected() const;
  void CheckInternalActive() const;
  void CheckInternalInactive() const;
  void CheckIndexesPresent() const;
  void CheckPrivilegePresent(int32_t granted, int32_t wanted) const;
  void ValidateObjectName(const std::string& name, const std::string& kind) const;
  // True when the table grants none of insert, delete and update.
  bool CheckReadOnlyPrivileges() const;

  // ---- the connection's calls ----
  // Callers: TTavDataBase around commits, rollbacks and cache flushes.
  // Before the connection commits: a table header changed under a write
  // lock held across the transaction is written inside it.
  void WriteHeldTableHeader();
  // After the connection committed or rolled back, which gave back every
  // lock of a disk table: the lock flags go down (the next call locks
  // again); after a rollback nothing read under them is trusted.
  void ForgetTableLocks(bool rolledBack);
  // Drops what the index manager keeps of index pages.
  void DumpInternalCaches();

  // ---- navigation steps ----
  // Callers: the cursor's moves, writes and filter steps.
  bool DataSetInternalFirst();
  // DataSetFirst on the record SetOnlyRecordHint named.
  bool MoveToOnlyRecord(uint32_t address);
  // Whether the engine buffer still holds the record MoveToOnlyRecord read
  // and no write has touched the table since: no other record to step to.
  bool StandsOnOnlyRecord();
  bool DataSetInternalLast();
  bool DataSetInternalNext();
  bool DataSetInternalPrior();
  bool DataSetMoveToEnd(bool toStart);
  int DataSetMoveBy(int) { return 0; }
  bool InternalFind(TIndexSearchType searchType, const std::string& indexName,
                    const TSearchModifier* modifier = nullptr);
  bool SetToRecord(uint32_t address, const uint8_t* buffer, bool reposition, bool checkFlags);
  uint32_t RefreshDataSet(TIndexSearchType searchType, uint8_t* buffer);

  // ---- record buffers and fields ----
  // Callers: the cursor's searches, writes and copies between tables.
  void GetRecordBuffer(uint8_t* buffer) const;
  void ReadRecordBuffer(uint32_t address, uint8_t* buffer);
  void ClearRecord(uint8_t* buffer);
  bool CheckBufferWritten(const uint8_t* buffer) const;
  int32_t InternalGetRecordSize() const { return record_buffer_size_; }
  bool InternalCheckRecordValid(const uint8_t* buffer) const;
  void SetKeyFlagsToBOF(uint8_t* buffer);
  void SetKeyFlagsToEOF(uint8_t* buffer);
  void SetFieldKeyFlagToMax(int fieldNo);
  int GetInternalFieldCount() const;
  int32_t GetFieldLength(int fieldNo) const;
  int32_t InternalGetFieldLength(int fieldNo, const uint8_t* buffer) const;
  int32_t InternalGetFieldLength(const TInternalFieldItem& field, const uint8_t* buffer) const;
  bool IsFieldTextBlob(int fieldNo) const;
  void DataSetGetFieldData(int fieldNo, bool& isNull, void* data);
  host::Variant DataSetGetFieldDataFromRecBufAsVariant(const uint8_t* buffer, int fieldNo);
  // The stored BLOB a buffer's field refers to, whatever the BLOB items of
  // the current record hold.
  void DataSetReadStoredBlob(const uint8_t* buffer, int fieldNo, bool& isNull, host::TStream& stream);
  // Into the engine buffer: checks the field's update privilege; the buffer
  // becomes TRecordBufferState::kChanged.
  void DataSetSetFieldData(int fieldNo, int32_t length, const void* data, bool setNull);
  void DataSetSetFieldDataToRecBufAsVariant(int fieldNo, uint8_t* buffer, const host::Variant& value);
  // BLOB fields: the stream's content becomes the field's pending value in
  // the record manager's BLOB item, written at the next add or update.
  // `clear` (or an empty stream) empties the field.
  void DataSetSetFieldStream(int fieldNo, bool clear, host::TStream& stream);

  // ---- record write steps ----
  // Callers: AddRecord, UpdateRecord and DeleteRecord.
  void WriteBlobsToInterface(bool deleting);
  void RefreshDataSetIndex(uint32_t address);
  bool ValidateRecBufPostDataChange();
  // Stores the free-chain hints and index roots in the table header and
  // writes it when dirty (after taking in what other datasets wrote since
  // this one last looked, so that their changes are not overwritten).
  void WriteTableHeader();
  // The free-chain hints and, unless told the indexes are unchanged, the
  // index roots into the header image.
  void StoreStateInHeader(bool indexesChanged = true);

  // ---- rebuild steps ----
  // Callers: Rebuild, restructure and the copies between tables.
  // Empties the record file (indexes are rebuilt by FinalizeRebuild).
  void InitializeRebuild();
  void FinalizeRebuild();
  // Appends a raw record image of another layout (sourceFields) without
  // index maintenance, when every same-named field's value survives the
  // transfer. done becomes True when a source image is given; the result
  // says whether the record was appended.
  bool TransferRecord(const uint8_t* sourceRecord, const TInternalFields& sourceFields, bool& done);
  // Copies the source record into the engine buffer field by field name;
  // with `compare`, False when a same-named field's value did not survive.
  bool InternalTransferRecord(const uint8_t* sourceRecord, const TInternalFields& sourceFields,
                              bool compare);
  // The ".tvx" backup beside the database file.
  std::string BackupFileName() const;

  // ---- locate steps ----
  // Callers: DoLocate.
  // Positions the index on the first key not below `keyBuffer`'s, without
  // reading a record.
  bool InternalSearchOnly(const uint8_t* keyBuffer, TIndexSearchType searchType,
                          const TSearchModifier* modifier, const std::string& indexName);
  // Compares two record images over `fields` in order; diffField is the
  // position of the first difference (-1 when equal).
  int InternalCompareRecords(const uint8_t* a, const uint8_t* b, int& diffField, bool caseInsensitive,
                             bool partial, const TSearchFields& fields) const;

  // ---- index information ----
  // Callers: the cursor's own searches and definitions.
  int InternalGetIndexCount() const;
  void GetIndexNames(host::TStrings& list) const;
  std::string GetIndexFieldsFromKeyFields(const std::string& indexName) const;
  void GetIndexFieldNamesList(host::TStrings& list) const;

  // ---- range steps ----
  // Callers: the cursor's moves inside a range.
  int32_t GetRangeEndRecNo(TRangeMode mode);
  bool MoveToRangeEnd(TRangeMode mode);
  // While set, a move to a range end leaves the reached record's number
  // uncounted (0 in its position) until something asks for it: a lookup of
  // one key reads one record and never steps from it by number.
  void SetDeferRangeRecNo(bool value) { defer_range_rec_no_ = value; }
  // Counts the engine buffer's record number a range move left uncounted.
  void CountDeferredRecNo();
  bool CheckKeyBufInRange(const uint8_t* key, TRangeMode mode);
  void SetNullIndexFieldsToRangeEnd(uint8_t* keyBuffer, const std::string& indexName,
                                    TRangeMode mode, const std::string& fieldNames);

  // ---- read-ahead ----
  // Callers: the cursor's walks.
  void ClearReadAheadMode();
  void FillReadAheadBuffer(int count, TReadAheadDirection direction);

  // ---- the filter manager's questions ----
  // Callers: TFilterMgr and its data provider.
  void InternalPrepareMasterRecordList(TCompoundList& list);
  // The record numbers of the current index inside the range (every
  // record without one): first and last; first > last when there are none.
  std::pair<int32_t, int32_t> FilterBaseBounds();
  // The addresses of the current index's entries inside the range (every
  // entry without one), in its order, under one read lock; the first one's
  // record number into `firstRecNo`.
  void FilterBaseAddresses(std::vector<uint32_t>& addresses, int32_t& firstRecNo);
  // For each address, the record's number in the current index when it is
  // there and inside the range, else 0; under one read lock.
  void FilterBaseRecNos(const std::vector<uint32_t>& addresses, std::vector<int32_t>& recNos);
  // For each address, whether it holds a record in use whose key in the
  // current index lies inside the range (every record without a range);
  // under one read lock, without searching the index.
  void FilterRecordsInRange(const std::vector<uint32_t>& addresses, std::vector<bool>& inRange);
  // Of `addresses` (ascending), the record first (`first`) or last in the
  // current index's order inside the range, with its record number; {0, 0}
  // when none of them is there. Found from the records' keys when few are
  // given, else by walking the index from that end of the range until one
  // of them is met; nullopt when neither can tell within a cost in
  // proportion to the addresses (a long walk; keys that compare equal).
  std::optional<std::pair<uint32_t, int32_t>> FilterEndRecord(const std::vector<uint32_t>& addresses,
                                                              bool first);
  // The string compare routine of the table's sort order.
  TDBStringCompare DBStringCompare() const;
  bool InternalMoveToFilterRecord(TSeekPosition seekPosition, int offset);
  // After a record write: the filter no longer describes the table.
  void InternalCheckFilterStatus(bool tableWasLocked, TRecordWriteStatus status);

  // ---- lock steps ----
  // Callers: the lock guards and the cursor's own calls.
  bool ReadLockTable();
  void InternalSetReadLock();
  void InternalSetWriteLock();
  void InternalReleaseLock();
  // The lock flags are down: this dataset's hold on the table lock goes back
  // to the connection, and with the last hold the interfaces' free-chain
  // heads stop being trusted.
  void GiveBackTableLock();
  // Under a lock this dataset already holds: when another dataset sharing
  // the table's header image wrote since this one last looked, the header,
  // the index roots and the free-chain heads are taken again from the image
  // (ReadTableHeader), and what this dataset kept of the table goes.
  void CatchUpWithOtherWriters();
  // After a write under a lock that stays held: the free-chain heads and
  // index roots go into the shared header image (written when the lock is
  // given back), and the write is counted there for the other datasets.
  // A write that added no key leaves the index roots as they were shared.
  void ShareHeldWrite(bool indexesChanged = true);

 protected:
  host::TGetResult GetRecord(host::TRecordBuffer buffer, host::TGetMode getMode,
                             bool doCheck) override;
  void InternalClose() override;
  void InternalHandleException() override;
  void InternalInitFieldDefs() override;
  void InternalOpen() override;
  bool IsCursorOpen() override;
  int GetNextRecords() override;
  bool GetNextRecord() override;
  int GetPriorRecords() override;
  bool GetPriorRecord() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;

  // The engine buffer's position information.
  uint32_t PosAddress(const uint8_t* buffer) const;
  int32_t PosRecNo(const uint8_t* buffer) const;
  uint32_t PosKeyFlag(const uint8_t* buffer) const;
  void SetPosition(uint8_t* buffer, uint32_t address, int32_t recNo) const;

 private:
  friend class TReadLockGuard;
  friend class TWriteLockGuard;
  // The sequential part of DoLocate from the index's position; the first
  // inIndex fields of `fields` are the index's own leading key fields.
  bool InternalSequentialSearch(TIndexItem& item, const uint8_t* keyBuffer, const TSearchFields& fields,
                                int inIndex, bool caseInsensitive, bool partial, uint8_t* resultBuffer);
  // The key of `record` lies inside the current range (both ends).
  bool RecordInRange(const uint8_t* record);
  TInternalFieldItem& WritableField(int fieldNo, const char* caller);
  // UpdateRecord under its write lock; the record's address.
  uint32_t InternalUpdateRecord();
  // AddRecord; keepLogicalNo keeps the buffer's logical record number
  // (copies between tables) instead of handing out the next one. withoutKeys
  // (a copy into a table held exclusively, indexed when it ends) neither
  // checks nor adds keys and leaves the cursor where it was; without
  // `position` the index is not searched for the new record.
  void AddRecordKeepingNumber(bool generateAutoInc, bool keepLogicalNo, bool withoutKeys = false,
                              bool position = true);
  // Builds every index from the records (see InternalReIndex), reporting
  // progress when asked to.
  void BuildIndexesFromRecords(bool ignoreDuplicates, bool reportProgress);
  // The end of a build: each load (one per index, every record's key added)
  // sorted and its tree built; a key violation raised after the records
  // before it are indexed.
  void BuildIndexesFromLoads(std::vector<std::unique_ptr<TIndexBulkLoad>>& loads, bool ignoreDuplicates);
  // Starts gathering an unkeyed run's keys: those of the records the table
  // holds.
  void StartUnkeyedRun();
  // The record `buf` just added at `address` to the gathered keys.
  void GatherUnkeyed(const uint8_t* buf, uint32_t address);
  // The shared part of rebuild and restructure: backup, open, copy, close.
  void BackupDataBase();
  // A rebuild or restructure needs a connected, exclusive disk database
  // outside a transaction and this dataset closed.
  void CheckRebuildable(const char* caller);
  void RebuildFromBackup(const std::function<void()>& prepare);
  // A table definition from field and index definitions, in four steps: the
  // definition's header, the table's name and field count checked, each
  // field added (its name and size checked) and laid out, then the indexes.
  template <class TFields, class TIndexes>
  void BuildTableDef(bool memory, const TFields& fieldDefs, const TIndexes& indexDefs, bool checkNames);
  void SetTableDefHeader(bool memory);
  void ValidateTableDef(int fieldCount, bool checkNames) const;
  void AddFieldDef(int fieldNo, const std::string& name, host::TFieldType type, int size,
                   bool required, bool checkNames);
  void LayOutFields();
  void FreeBuffers();
  // Hands the table's stored definition to `use`, connecting the database
  // for the call when it is not connected (GetIndexNames at design time).
  void ReadStoredTableDef(const std::function<void(const TTableDef&)>& use) const;
  TIndexItem& RequireIndex(const std::string& name, const char* caller) const;
  // The markers of `buffer`'s key flags for the key fields of `item`.
  void BuildMarkers(TIndexItem& item, const uint8_t* buffer, std::vector<TFieldComparisonValue>& out) const;
  // Builds the key of `buffer` into the index's key entry.
  void BuildSearchKey(TIndexItem& item, const uint8_t* buffer);
  // Reads the record the index stands on into the engine buffer; a known
  // record number (above 0) spares counting it.
  void LoadFromIndex(TIndexItem& searched, uint32_t address, int32_t knownRecNo = 0);
  // A find's end: the record the index stands on becomes the current one
  // (LoadFromIndex), and the read-ahead buffer learns of it.
  void TakeFoundRecord(TIndexItem& searched, uint32_t address, int32_t knownRecNo);
  // Compares the current key of the current index with the range end key.
  int CompareCurrentToRangeKey(TRangeMode mode);
  bool CurrentKeyInRange();
  // The next or prior record from the read-ahead buffer; `locked` says a
  // read lock is held (else only soon after the fill, see the body).
  bool TryReadAhead(TReadAheadDirection direction, bool locked);
  // DataSetInternalNext (rdForwards) and DataSetInternalPrior (rdBackwards).
  bool InternalStep(TReadAheadDirection direction);
  bool ReadRecordChecked(uint32_t address, std::vector<uint8_t>& out);
  // Find without the filter: the key search kept inside the range.
  // After an exact search in a filtered table found a record the filter
  // refuses: the first later record of the same key that it passes.
  bool FindPassingDuplicate(const uint8_t* key, const std::string& indexName,
                            const TSearchModifier* modifier);
  bool FindInRange(TIndexSearchType searchType, const std::string& indexName,
                   const TSearchModifier* modifier);
  // Builds the filter again when the table changed since it was built; run
  // under the table lock.
  void EnsureFilterCurrent();
  // A filter manager with the settings of the current one and no filter.
  std::unique_ptr<TFilterMgr> NewFilterMgr() const;
  // The nearest filter record to a current record that has left the master
  // list (deleted, or moved out of the range by another writer), found by
  // its key; 0 when none.
  uint32_t FindFilterRecordByKey(bool forward);

  // The located fields of the last locate in the order DoLocate searches
  // them, kept while the cursor is open: a run of locates over the same
  // fields and index orders them once.
  struct TLocatePlan {
    bool Valid = false;
    std::string IndexName;
    std::string FieldNames;
    bool CaseInsensitive = false;
    bool Partial = false;
    TSearchFields Fields;
    int InIndex = 0;
  };
  // The plan for these fields through `item`, made again unless it is the
  // one held; 10116 for a name that is no field.
  const TLocatePlan& LocatePlan(const TIndexItem& item, const std::string& fieldNames,
                                bool caseInsensitive, bool partial);

  TTavDataBase* data_base_ = nullptr;
  std::unique_ptr<TTableDef> table_def_;
  std::unique_ptr<TRecordMgr> record_mgr_;
  std::unique_ptr<TIndexManager> index_mgr_;
  std::unique_ptr<TBlobInterface> blob_interface_;
  std::unique_ptr<TReadAheadBuffer> read_ahead_;
  std::unique_ptr<TBlobMgr> blob_cache_;
  std::unique_ptr<TFilterMgr> filter_mgr_;
  // The keys of the unkeyed run in progress (null: none gathered).
  std::unique_ptr<TUnkeyedRun> unkeyed_run_;
  // The table changed since the filter was built: it is built again before
  // its next use.
  bool filter_stale_ = false;
  TUpdateProgressEvent on_update_progress_;
  host::TStrings* debug_strings_ = nullptr;

  std::string table_name_;
  std::string table_owner_;
  std::string index_name_;
  std::string version_;
  bool cursor_active_ = false;
  bool read_only_ = false;
  bool memory_ = false;
  bool read_locked_ = false;
  bool write_locked_ = false;
  bool registered_ = false;
  TRecordBufferState record_buffer_state_ = TRecordBufferState::kEmpty;
  TSortOrder sort_order_ = soANSI;
  TEncryptionLevel encryption_level_ = encNone;
  int32_t blob_block_size_ = kDefaultTableBlobSize;

  bool use_read_ahead_ = false;
  // The last fill of the read-ahead buffer kept only records inside the range.
  bool read_ahead_in_range_ = false;
  int32_t read_ahead_size_ = 10;
  TReadAheadMode read_ahead_mode_ = raReadAheadInactive;
  int read_ahead_nesting_ = 0;
  TReadAheadDirection last_direction_ = rdCenter;
  TReadAheadDirection last_fill_direction_ = rdNone;
  int32_t fill_size_ = 0;  // records the last fill asked for

  bool range_on_ = false;
  bool range_valid_ = false;
  std::array<bool, 2> range_end_located_{};
  std::array<std::vector<uint8_t>, 2> range_buffers_;
  // A range buffer as InitializeRangeBuffers leaves it, per end: made once
  // an open has laid out the record.
  std::array<std::vector<uint8_t>, 2> blank_range_buffers_;
  std::array<std::vector<uint8_t>, 2> range_keys_;
  std::array<std::vector<TFieldComparisonValue>, 2> range_key_flags_;

  std::vector<uint8_t> record_buffer_;
  std::vector<uint8_t> second_buffer_;
  int32_t record_size_ = 0;
  int32_t record_buffer_size_ = 0;
  uint32_t table_lock_id_ = 0;
  uint32_t last_mod_mark_ = 0;
  uint32_t prior_mod_mark_ = 1;
  // The shared header image's write count (TTableHeader::WriteCount) when
  // this dataset last read the header or wrote; the last lock found that
  // others had written since.
  uint64_t seen_write_count_ = 0;
  bool others_wrote_ = false;
  // The write lock is a write guard's: that guard's release writes the
  // header, so the writes inside it need not share their state before.
  bool guard_write_lock_ = false;
  // The index headers were read at a lock since the open, for this many
  // indexes.
  bool index_headers_read_ = false;
  int index_headers_count_ = 0;
  std::vector<TFieldComparisonValue> markers_;  // scratch for key builds
  TLocatePlan locate_plan_;
  // The current index's cursor stands on the engine buffer's record, so a
  // step along it knows its record number without counting.
  bool index_on_buffer_ = false;
  bool defer_range_rec_no_ = false;
  // The engine buffer's record number was left uncounted by a range move;
  // any later position given to the buffer withdraws this.
  mutable bool rec_no_deferred_ = false;
  uint32_t only_record_ = 0;  // SetOnlyRecordHint
  // The memory table's only record as MoveToOnlyRecord found it, with the
  // header's change mark and write count then (StandsOnOnlyRecord).
  uint32_t only_at_ = 0;
  uint32_t only_mark_ = 0;
  uint64_t only_writes_ = 0;
};

// Takes the dataset's read lock unless one is held and releases exactly
// what it took, on every exit.
class TReadLockGuard {
 public:
  explicit TReadLockGuard(TTavDataSet& ds);
  ~TReadLockGuard();
  TReadLockGuard(const TReadLockGuard&) = delete;
  TReadLockGuard& operator=(const TReadLockGuard&) = delete;

 private:
  TTavDataSet& ds_;
  bool took_ = false;
};

// Takes the dataset's write lock unless one is held and gives back exactly
// what it took on every exit: a read lock the caller held is held again.
// The release writes the table header as a successful write does. A write
// ends with Release, which raises when the header cannot be written; the
// destructor releases quietly only what a failure left behind.
class TWriteLockGuard {
 public:
  explicit TWriteLockGuard(TTavDataSet& ds);
  ~TWriteLockGuard();
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;

  // Gives back what the guard took (or tells the connection's other
  // datasets of the write under a lock held past it); once. Without
  // `indexesChanged` the write touched no index (a record added without its
  // keys): a lock held past it shares the record's change alone.
  void Release(bool indexesChanged = true);

 private:
  TTavDataSet& ds_;
  bool took_ = false;
  bool had_read_ = false;
  bool released_ = false;
};

}  // namespace tav

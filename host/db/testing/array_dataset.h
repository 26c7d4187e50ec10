// TArrayDataSet: a dataset over rows held in memory, for tests of the
// framework. It implements the record-buffer protocol the way a cursor
// component does: a cursor index with cracks before the first and after the
// last row, bookmarks of 4 bytes (the row's id), BLOBs through streams, a
// calculated-fields area after the record image, a key buffer for the set-key
// state, and a master link that ranges the rows on MasterFields =
// DetailFields. Failures of the internal edit, post and delete steps can be
// injected to drive the error events.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/db/data_set.h"
#include "host/db/data_source.h"
#include "host/db/fields.h"
#include "host/rtl/sys_utils.h"

namespace host::testing {

class TArrayDataSet : public TDataSet {
 public:
  explicit TArrayDataSet(TComponent* owner = nullptr) : TDataSet(owner), master_link_(this) {
    master_link_.OnMasterChange = [this](TMasterDataLink*) { MasterChanged(); };
    master_link_.OnMasterDisable = [this](TMasterDataLink*) { MasterChanged(); };
  }
  ~TArrayDataSet() override {
    Destroying();
    Close();
  }

  // ---- test controls ----
  int fail_edits = 0, fail_posts = 0, fail_deletes = 0;  // failures still to inject
  bool read_only = false;
  int RowCount() const { return static_cast<int>(rows_.size()); }
  int BufferSize() const { return BufferBytes(); }
  std::vector<std::string> log;  // the protocol calls, in order

  // ---- master-detail ----
  TDataSource* MasterSource() const { return master_link_.DataSource(); }
  void SetMasterSource(TDataSource* value) {
    if (value && IsLinkedTo(value)) DatabaseError(SCircularDataLink, this);
    master_link_.SetDataSource(value);
  }
  void SetMasterFields(const std::string& value) { master_link_.SetFieldNames(value); }
  void SetDetailFields(const std::string& value) { detail_fields_ = value; }
  TDataSource* GetDataSource() override { return master_link_.DataSource(); }

  // ---- the protocol ----
  bool Locate(const std::string& keyFields, const Variant& keyValues,
              TLocateOptions options) override {
    CheckBrowseMode();
    int i = Find(keyFields, keyValues, options);
    if (i < 0) return false;
    DoBeforeScroll();
    cursor_ = i;
    Resync({rmExact, rmCenter});
    DoAfterScroll();
    return true;
  }
  Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                 const std::string& resultFields) override {
    int i = Find(keyFields, keyValues, {});
    if (i < 0) return Null();
    LoadScratch(i);
    TTempStateGuard calc(*this, dsFilter);
    return FieldValues(resultFields);
  }
  int GetRecordCount() override {
    CheckActive();
    return static_cast<int>(view_.size());
  }
  int GetRecNo() override {
    if (IsEmpty()) return 0;
    return ViewIndexOf(IdOf(ActiveBuffer())) + 1;
  }
  void SetRecNo(int value) override {
    CheckBrowseMode();
    if (value < 1 || value > static_cast<int>(view_.size())) return;
    DoBeforeScroll();
    cursor_ = value - 1;
    Resync({rmExact, rmCenter});
    DoAfterScroll();
  }
  bool BookmarkValid(const TBookmark& bookmark) override {
    if (bookmark.size() != 4 || !Active()) return false;
    int32_t id;
    std::memcpy(&id, bookmark.data(), 4);
    return ViewIndexOf(id) >= 0;
  }

  bool GetFieldData(TField* field, void* buffer) override {
    uint8_t* rec = RecBuf();
    if (!rec) return false;
    if (field->FieldNo() > 0) {
      const Slot& s = slots_.at(field->FieldNo());
      if (rec[s.offset] == 0) return false;
      if (buffer && !s.blob) std::memcpy(buffer, rec + s.offset + 1, s.size);
      return true;
    }
    uint8_t* calc = rec + record_size_ + field->Offset();
    if (calc[0] == 0) return false;
    if (buffer) std::memcpy(buffer, calc + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }

  void SetFieldData(TField* field, const void* buffer) override {
    uint8_t* rec = RecBuf();
    if (!rec) DatabaseError(SNotEditing, this);
    if (field->FieldNo() > 0) {
      field->Validate(buffer);
      const Slot& s = slots_.at(field->FieldNo());
      if (s.blob) {
        // Null makes the BLOB null; the slot keeps no contents of its own.
        if (!buffer) WriteBlobSlot(rec, s, nullptr);
      } else {
        rec[s.offset] = buffer ? 1 : 0;
        if (buffer)
          std::memcpy(rec + s.offset + 1, buffer, s.size);
        else
          std::memset(rec + s.offset + 1, 0, s.size);
      }
    } else {
      uint8_t* calc = rec + record_size_ + field->Offset();
      calc[0] = buffer ? 1 : 0;
      if (buffer) std::memcpy(calc + 1, buffer, static_cast<size_t>(field->DataSize()));
    }
    if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue)
      DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
  }

  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override {
    if (field->FieldNo() < 1 || !slots_.at(field->FieldNo()).blob)
      DatabaseErrorFmt(SNotBlobField, {field->DisplayName()}, this);
    return std::make_unique<TBlobStream>(*this, field, mode);
  }

 protected:
  TRecordBufferPtr AllocRecordBuffer() override {
    log.push_back("Alloc");
    return TRecordBufferPtr(new uint8_t[BufferBytes()]());
  }
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool) override {
    int n = static_cast<int>(view_.size());
    switch (mode) {
      case gmNext:
        if (cursor_ >= n - 1) {
          cursor_ = n;
          return grEOF;
        }
        ++cursor_;
        break;
      case gmPrior:
        if (cursor_ <= 0) {
          cursor_ = -1;
          return grBOF;
        }
        --cursor_;
        break;
      case gmCurrent:
        if (cursor_ < 0 || cursor_ >= n) return grError;
        break;
    }
    const Row& row = rows_[view_[cursor_]];
    std::memcpy(buffer, row.image.data(), record_size_);
    std::memcpy(buffer + InfoOffset(), &row.id, 4);
    buffer[InfoOffset() + 4] = bfCurrent;
    GetCalcFields(buffer);
    return grOK;
  }
  void GetBookmarkData(TRecordBuffer buffer, void* data) override {
    std::memcpy(data, buffer + InfoOffset(), 4);
  }
  void SetBookmarkData(TRecordBuffer buffer, const void* data) override {
    std::memcpy(buffer + InfoOffset(), data, 4);
  }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override {
    return static_cast<TBookmarkFlag>(buffer[InfoOffset() + 4]);
  }
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) override {
    buffer[InfoOffset() + 4] = static_cast<uint8_t>(value);
  }
  void InternalGotoBookmark(const void* bookmark) override {
    int32_t id;
    std::memcpy(&id, bookmark, 4);
    int i = ViewIndexOf(id);
    if (i < 0) DatabaseError(SBookmarkNotFound, this);
    cursor_ = i;
  }
  void InternalSetToRecord(TRecordBuffer buffer) override {
    int i = ViewIndexOf(IdOf(buffer));
    if (i >= 0) cursor_ = i;
  }
  void InternalFirst() override { cursor_ = -1; }
  void InternalLast() override { cursor_ = static_cast<int>(view_.size()); }
  bool IsCursorOpen() override { return open_; }
  void InternalOpen() override {
    log.push_back("InternalOpen");
    FieldDefs().Update();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(4);
    slots_.clear();
    record_size_ = 0;
    for (int i = 0; i < FieldDefs().Count(); ++i) {
      TFieldDef* d = FieldDefs().Items(i);
      Slot s;
      s.offset = record_size_;
      s.blob = IsBlobType(d->DataType());
      s.size = s.blob ? 4 : NativeSize(d->DataType(), d->Size());
      slots_[d->FieldNo()] = s;
      record_size_ += 1 + s.size;
    }
    for (Row& r : rows_) r.image.resize(record_size_);
    key_buffer_.assign(BufferBytes(), 0);
    scratch_.assign(BufferBytes(), 0);
    open_ = true;
    cursor_ = -1;
    ApplyRange();
  }
  void InternalClose() override {
    log.push_back("InternalClose");
    open_ = false;
    TDataSet::InternalClose();
  }
  void InternalInitRecord(TRecordBuffer buffer) override {
    std::memset(buffer, 0, static_cast<size_t>(BufferBytes()));
  }
  void ClearCalcFields(TRecordBuffer buffer) override {
    std::memset(buffer + record_size_, 0, static_cast<size_t>(CalcFieldsSize()));
  }
  void InternalEdit() override {
    log.push_back("InternalEdit");
    if (fail_edits > 0) {
      --fail_edits;
      DatabaseError("Record locked");
    }
  }
  void InternalInsert() override { log.push_back("InternalInsert"); }
  void InternalCancel() override { log.push_back("InternalCancel"); }
  void InternalRefresh() override { log.push_back("InternalRefresh"); }
  void InternalPost() override {
    log.push_back("InternalPost");
    TDataSet::InternalPost();
    if (fail_posts > 0) {
      --fail_posts;
      DatabaseError("Key violation");
    }
    TRecordBuffer buf = ActiveBuffer();
    if (State() == dsEdit) {
      int i = ViewIndexOf(IdOf(buf));
      if (i < 0) DatabaseError(SRecordNotFound, this);
      std::memcpy(rows_[view_[i]].image.data(), buf, record_size_);
      cursor_ = i;
      return;
    }
    Row row;
    row.id = next_id_++;
    row.image.assign(buf, buf + record_size_);
    int n = static_cast<int>(view_.size());
    size_t at = cursor_ >= 0 && cursor_ < n ? static_cast<size_t>(view_[cursor_])
                : view_.empty()             ? rows_.size()
                                            : static_cast<size_t>(view_.back()) + 1;
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
    int32_t id = rows_[at].id;
    ApplyRange();
    cursor_ = ViewIndexOf(id);
  }
  void InternalDelete() override {
    log.push_back("InternalDelete");
    if (fail_deletes > 0) {
      --fail_deletes;
      DatabaseError("Record locked");
    }
    int i = ViewIndexOf(IdOf(ActiveBuffer()));
    if (i < 0) DatabaseError(SRecordNotFound, this);
    rows_.erase(rows_.begin() + view_[i]);
    ApplyRange();
    cursor_ = i;
  }
  bool GetCanModify() override { return !read_only; }
  void SetState(TDataSetState value) override { TDataSet::SetState(value); }

 private:
  struct Row {
    int32_t id = 0;
    std::vector<uint8_t> image;
  };
  struct Slot {
    int offset = 0;  // of the null byte; the data follows it
    size_t size = 0;
    bool blob = false;
  };

  // A BLOB's contents in memory; written back into the active record when a
  // writing stream goes.
  class TBlobStream : public TMemoryStream {
   public:
    TBlobStream(TArrayDataSet& ds, TField* field, TBlobStreamMode mode)
        : ds_(ds), field_(field), mode_(mode) {
      uint8_t* rec = ds_.RecBuf();
      if (!rec) DatabaseError(SDataSetEmpty, &ds_);
      const Slot& s = ds_.slots_.at(field->FieldNo());
      if (mode != bmWrite && rec[s.offset] != 0) {
        int32_t index;
        std::memcpy(&index, rec + s.offset + 1, 4);
        const std::string& text = ds_.blob_pool_.at(static_cast<size_t>(index));
        if (!text.empty()) WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
        SetPosition(0);
      }
      if (mode != bmRead && ds_.State() != dsEdit && ds_.State() != dsInsert)
        DatabaseError(SNotEditing, &ds_);
    }
    ~TBlobStream() override {
      if (mode_ == bmRead) return;
      uint8_t* rec = ds_.RecBuf();
      if (!rec) return;
      std::string text(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
      ds_.WriteBlobSlot(rec, ds_.slots_.at(field_->FieldNo()), &text);
      ds_.DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field_));
    }

   private:
    TArrayDataSet& ds_;
    TField* field_;
    TBlobStreamMode mode_;
  };

  static size_t NativeSize(TFieldType type, int size) {
    switch (type) {
      case ftString:
      case ftFixedChar:
        return static_cast<size_t>(size) + 1;
      case ftWideString:
        return (static_cast<size_t>(size) + 1) * 2;
      case ftSmallint:
      case ftWord:
      case ftBoolean:
        return 2;
      case ftInteger:
      case ftAutoInc:
      case ftDate:
      case ftTime:
        return 4;
      case ftBytes:
        return static_cast<size_t>(size);
      case ftVarBytes:
        return static_cast<size_t>(size) + 2;
      default:
        return 8;
    }
  }

  int InfoOffset() const { return record_size_ + CalcFieldsSize(); }
  int BufferBytes() const { return InfoOffset() + 5; }
  int32_t IdOf(TRecordBuffer buffer) const {
    int32_t id;
    std::memcpy(&id, buffer + InfoOffset(), 4);
    return id;
  }
  int ViewIndexOf(int32_t id) const {
    for (size_t i = 0; i < view_.size(); ++i)
      if (rows_[view_[i]].id == id) return static_cast<int>(i);
    return -1;
  }

  // The buffer field access works on, as the state chooses it.
  uint8_t* RecBuf() {
    switch (State()) {
      case dsBrowse:
        return IsEmpty() ? nullptr : ActiveBuffer();
      case dsEdit:
      case dsInsert:
      case dsNewValue:
        return ActiveBuffer();
      case dsCalcFields:
        return CalcBuffer();
      case dsSetKey:
        return key_buffer_.data();
      case dsFilter:
        return scratch_.data();
      default:
        return nullptr;
    }
  }

  void WriteBlobSlot(uint8_t* rec, const Slot& s, const std::string* text) {
    if (!text || text->empty()) {
      rec[s.offset] = 0;
      std::memset(rec + s.offset + 1, 0, 4);
      return;
    }
    int32_t index = static_cast<int32_t>(blob_pool_.size());
    blob_pool_.push_back(*text);
    rec[s.offset] = 1;
    std::memcpy(rec + s.offset + 1, &index, 4);
  }

  void LoadScratch(int viewIndex) {
    std::memcpy(scratch_.data(), rows_[view_[viewIndex]].image.data(), record_size_);
  }

  int Find(const std::string& keyFields, const Variant& keyValues, TLocateOptions options) {
    std::vector<TField*> keys;
    GetFieldList(keys, keyFields);
    for (size_t i = 0; i < view_.size(); ++i) {
      LoadScratch(static_cast<int>(i));
      TTempStateGuard filter(*this, dsFilter);
      bool match = true;
      for (size_t k = 0; k < keys.size() && match; ++k) {
        const Variant& want = keys.size() == 1 && !keyValues.IsArray()
                                  ? keyValues
                                  : keyValues.Element(keyValues.LowBound() + static_cast<int>(k));
        std::string have = keys[k]->AsString();
        std::string wanted = VarToStr(want);
        if (options.Contains(loPartialKey)) have = have.substr(0, wanted.size());
        match = options.Contains(loCaseInsensitive) ? AnsiSameText(have, wanted) : have == wanted;
        if (want.IsNull()) match = keys[k]->IsNull();
      }
      if (match) return static_cast<int>(i);
    }
    return -1;
  }

  // The rows in view: all of them, or with a master those whose
  // DetailFields equal the master's fields.
  void ApplyRange() {
    view_.clear();
    std::vector<TField*> detail;
    const std::vector<TField*>& master = master_link_.Fields();
    bool ranged = master_link_.Active() && !master.empty() && !detail_fields_.empty();
    std::vector<std::string> want;
    if (ranged) {
      GetFieldList(detail, detail_fields_);
      for (TField* m : master) want.push_back(m->AsString());
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
      if (ranged) {
        std::memcpy(scratch_.data(), rows_[i].image.data(), record_size_);
        TTempStateGuard filter(*this, dsFilter);
        bool match = true;
        for (size_t k = 0; k < detail.size() && k < want.size() && match; ++k)
          match = detail[k]->AsString() == want[k];
        if (!match) continue;
      }
      view_.push_back(static_cast<int>(i));
    }
  }

  void MasterChanged() {
    if (!Active()) return;
    CheckBrowseMode();
    ApplyRange();
    First();
  }

  TMasterDataLink master_link_;
  std::string detail_fields_;
  std::vector<Row> rows_;
  std::vector<int> view_;      // indexes into rows_
  std::map<int, Slot> slots_;  // by field number
  std::vector<std::string> blob_pool_;
  std::vector<uint8_t> key_buffer_;
  std::vector<uint8_t> scratch_;
  int record_size_ = 0;
  int cursor_ = -1;
  int32_t next_id_ = 1;
  bool open_ = false;
};

}  // namespace host::testing

#include "engine/storage/index/index_mgr.h"

#include <cstring>
#include <exception>

#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/base/tav_errors.h"
#include "host/classes/prop_table.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

constexpr const char* kKeyBuffersInvalid = "KeyBuffers invalid";

// A string key field is measured by its record's length marker: without one
// its key would take the whole declared size of whatever bytes lie there.
bool KeyFieldUsable(const TKeyFieldItem& f) {
  return f.DataType() != host::ftString || f.SizeMarkerOffset() != 0;
}

}  // namespace

// ---- TInternalIndexDef ----

void TInternalIndexDef::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TInternalIndexDef*>(&source);
  if (!s) {
    host::TCollectionItem::Assign(source);
    return;
  }
  hidden_ = s->hidden_;
  primary_ = s->primary_;
  unique_ = s->unique_;
  index_name_ = s->index_name_;
  maintained_ = s->maintained_;
  memory_ = s->memory_;
  index_page_size_ = s->index_page_size_;
  maximum_key_size_ = s->maximum_key_size_;
  key_data_offset_ = s->key_data_offset_;
  index_sequence_ = s->index_sequence_;
  index_key_type_ = s->index_key_type_;
}

const host::TPropertyTable& TInternalIndexDef::ClassProperties() {
  using T = TInternalIndexDef;
  static const host::TEnumInfo keyTypes("TIndexKeyType", {"ikFixed", "ikMinStringLen"});
  static const host::TPropertyTable table =
      host::PublishClass<T>("TInternalIndexDef", nullptr, [](host::TPublisher<T>& p) {
        p.Boolean("Hidden", &T::Hidden, &T::SetHidden);
        p.Boolean("Primary", &T::Primary, &T::SetPrimary);
        p.Boolean("Unique", &T::Unique, &T::SetUnique);
        p.String("IndexName", &T::IndexName, &T::SetIndexName);
        p.Boolean("Maintained", &T::Maintained, &T::SetMaintained);
        p.Boolean("Memory", &T::Memory, &T::SetMemory);
        p.Integer("IndexPageSize", &T::IndexPageSize, &T::SetIndexPageSize);
        p.Integer("MaximumKeySize", &T::MaximumKeySize, &T::SetMaximumKeySize);
        p.Integer("KeyDataOffset", &T::KeyDataOffset, &T::SetKeyDataOffset);
        p.Integer("IndexSequence", &T::IndexSequence, &T::SetIndexSequence);
        p.Enumeration("IndexKeyType", keyTypes, &T::IndexKeyType, &T::SetIndexKeyType);
      });
  return table;
}

TInternalIndexDef* TInternalIndexDefs::FindIndexDef(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (host::AnsiSameText(Items(i)->IndexName(), name)) return Items(i);
  return nullptr;
}

// ---- TIndexItem ----

TIndexItem::TIndexItem()
    : tree_(std::make_unique<TBTree>()), key_fields_(std::make_unique<TKeyFields>()) {}

TIndexItem::~TIndexItem() = default;

TIndexManager* TIndexItem::Manager() const {
  return dynamic_cast<TIndexManager*>(Collection());
}

void TIndexItem::SetIndexName(const std::string& value) {
  index_name_ = value;
  if (TIndexManager* m = Manager()) m->current_index_ = nullptr;
}

void TIndexItem::Assign(const host::TPersistent& source) {
  if (TIndexManager* m = Manager()) m->current_index_ = nullptr;
  if (const auto* d = dynamic_cast<const TInternalIndexDef*>(&source)) {
    index_name_ = d->IndexName();
    unique_ = d->Unique();
    primary_ = d->Primary();
    hidden_ = d->Hidden();
    maintained_ = d->Maintained();
    memory_ = d->Memory();
    maximum_key_size_ = d->MaximumKeySize();
    key_data_offset_ = d->KeyDataOffset();
    index_page_size_ = d->IndexPageSize();
    index_sequence_ = d->IndexSequence();
    index_key_type_ = d->IndexKeyType();
    key_fields_->Clear();
    return;
  }
  if (const auto* s = dynamic_cast<const TIndexItem*>(&source)) {
    index_name_ = s->index_name_;
    unique_ = s->unique_;
    primary_ = s->primary_;
    hidden_ = s->hidden_;
    maintained_ = s->maintained_;
    memory_ = s->memory_;
    maximum_key_size_ = s->maximum_key_size_;
    key_data_offset_ = s->key_data_offset_;
    index_page_size_ = s->index_page_size_;
    index_sequence_ = s->index_sequence_;
    index_key_type_ = s->index_key_type_;
    key_fields_->Assign(*s->key_fields_);
    key_fields_->SetDataOffset(s->key_fields_->DataOffset());
    root_ = s->root_;
    depth_ = s->depth_;
    return;
  }
  host::TCollectionItem::Assign(source);
}

void TIndexItem::RequireManagerIO(const char* caller) const {
  const TIndexManager* mgr = Manager();
  if (!mgr || !mgr->IOInterface())
    TavDatabaseError(kUnexpectedInternalError, caller, "IO Interface is unassigned");
}

void TIndexItem::ConfigureTree() {
  TIndexManager* mgr = Manager();
  tree_->ConnectToIFace(mgr->IOInterface(), index_page_size_, root_, depth_);
  tree_->KeyFields().Assign(*key_fields_);
  tree_->KeyFields().SetDataOffset(key_data_offset_);
  tree_->SetMaximumKeySize(maximum_key_size_);
  tree_->SetIndexKeyType(index_key_type_);
  tree_->SetDBStringCompare(mgr->DBStringCompareFunction());
  tree_->SetDebugStrings(mgr->DebugStrings());
}

void TIndexItem::CreateIndex() {
  RequireManagerIO("TIndexItem.CreateIndex");
  root_ = 0;
  depth_ = 0;
  // A tree open on the old root would keep its nodes: the new one starts
  // from nothing.
  tree_->Close();
  TIndexManager* mgr = Manager();
  tree_->ConnectToIFace(mgr->IOInterface(), index_page_size_, root_, depth_);
  if (tree_->MaximumKeySize() != maximum_key_size_) tree_->SetMaximumKeySize(maximum_key_size_);
  tree_->CreateTree();
  tree_->Close();
}

void TIndexItem::Open() {
  const char* caller = "TIndexItem.Open";
  RequireManagerIO(caller);
  if (root_ == 0 || depth_ == 0)
    TavDatabaseError(kUnexpectedInternalError, caller, "Not initialized");
  tree_->Close();
  ConfigureTree();
  temp_key_ = std::make_unique<uint8_t[]>(static_cast<size_t>(maximum_key_size_) + 1);
  tree_->Open();
}

void TIndexItem::Close() {
  tree_->Close();
  tree_->KeyFields().Clear();
  key_fields_->Clear();
  temp_key_.reset();
}

void TIndexItem::EmptyIndex() {
  RequireManagerIO("TIndexItem.EmptyIndex");
  tree_->EmptyTree(false);
}

void TIndexItem::DeleteIndex() {
  RequireManagerIO("TIndexItem.DeleteIndex");
  tree_->EmptyTree(true);
}

int TIndexItem::FullIndexSearch(TIndexSearchType searchType) {
  return tree_->IndexSearch(searchType, nullptr);
}

int TIndexItem::PartialIndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier) {
  return tree_->IndexSearch(searchType, modifier);
}

bool TIndexItem::NextKey() {
  return tree_->NextRecord();
}

bool TIndexItem::PriorKey() {
  return tree_->PriorRecord();
}

uint32_t TIndexItem::GetRecordAddress() {
  return tree_->GetRecAddr();
}

int32_t TIndexItem::GetRecordCount(bool refresh) {
  return tree_->GetRecordCount(refresh);
}

int32_t TIndexItem::GetRecordNo() {
  return tree_->GetRecordNo();
}

uint32_t TIndexItem::SetRecordNo(int32_t recNo) {
  return tree_->GetAddrOfRecNo(recNo);
}

bool TIndexItem::MoveBy(int32_t n) {
  if (n > 0) {
    for (int32_t i = 0; i < n; ++i)
      if (!tree_->NextRecord()) return false;
  } else {
    for (int64_t i = 0; i < -int64_t{n}; ++i)
      if (!tree_->PriorRecord()) return false;
  }
  return true;
}

const uint8_t* TIndexItem::GetCurrentKeyBuf() {
  return tree_->GetCurrentKeyBuf();
}

int TIndexItem::CompareKeyToCurrentKey(int keyFieldCount, const uint8_t* key) {
  return tree_->CompareKeyToCurrentKeyBuf(keyFieldCount, key);
}

void TIndexItem::ListMatchingRecords(const uint8_t* key, int keyFieldCount, uint32_t stopAddress,
                                     TIndexSearchType searchType, bool reverse,
                                     TCompoundList& list, bool& done) {
  tree_->ListMatchingRecords(key, keyFieldCount, stopAddress, searchType, reverse, list, done);
}

void TIndexItem::ListReadAheadRecords(TReadAheadDirection direction, int count,
                                      TReadAheadBuffer& buffer) {
  tree_->ListReadAheadRecords(direction, count, buffer);
}

void TIndexItem::FillHashTable(int keyFieldNo, TTavBaseHash& hash) {
  tree_->FillHashTable(keyFieldNo, hash);
}

void TIndexItem::InvalidateInternalBuffers() {
  tree_->InvalidateInternalBuffers();
}

int TIndexItem::InsertKey(uint32_t address) {
  tree_->SetKeyBufAddr(address);
  return tree_->InsertKey();
}

int TIndexItem::FindKeyForInsert() {
  return tree_->FindInsertPosition();
}

int TIndexItem::InsertFoundKey(uint32_t address, bool countRecordNo) {
  tree_->SetKeyBufAddr(address);
  return tree_->InsertFoundKey(countRecordNo);
}

void TIndexItem::SetDeferInnerWrites(bool value) {
  if (tree_) tree_->SetDeferInnerWrites(value);
}

int TIndexItem::DeleteKey() {
  return tree_->DeleteKey();
}

int TIndexItem::CreateKeyBuffer(const uint8_t* record, TFieldComparisonValues markers) {
  return tree_->ConstructKeyBufFromRecBuf(record, markers);
}

int TIndexItem::CreateTempKeyBuffer(const uint8_t* record, uint8_t* destination,
                                    TFieldComparisonValues markers) {
  return tree_->ConstructTempKeyBufFromRecBuf(record, destination, markers);
}

void TIndexItem::CopyKeyBuffer(const uint8_t* source, uint8_t* destination) {
  tree_->CopyKey(source, destination);
}

int TIndexItem::CompareKeyBuffers(int keyFieldCount, const uint8_t* entryA,
                                  const uint8_t* entryB) {
  return tree_->CompareKeys(keyFieldCount, entryA, {}, entryB, {});
}

void TIndexItem::DumpInternalStatus(host::TStrings& lines) {
  tree_->DebugDumpAllocatedBlocks(lines);
}

void TIndexItem::DumpInternalStructure(host::TStrings& lines) {
  tree_->DebugInOrderRecurse(lines);
}

// ---- TIndexManager ----

TIndexManager::~TIndexManager() {
  // Items close their trees as they go; nothing is written from here.
  Clear();
}

void TIndexManager::Assign(const host::TPersistent& source) {
  if (const auto* m = dynamic_cast<const TIndexManager*>(&source)) {
    Clear();
    for (int i = 0; i < m->Count(); ++i) Add()->Assign(*m->Items(i));
    return;
  }
  if (const auto* defs = dynamic_cast<const TInternalIndexDefs*>(&source)) {
    Clear();
    for (int i = 0; i < defs->Count(); ++i) Add()->Assign(*defs->Items(i));
    return;
  }
  host::TTypedCollection<TIndexItem>::Assign(source);
}

void TIndexManager::AssignKeyFields(const TKeyFields& keyFields) {
  const char* caller = "TIndexManager.AssignKeyFields";
  for (int i = 0; i < Count(); ++i) Items(i)->KeyFields().Clear();
  // Half-distributed fields would give an index a shorter key than its
  // entries have: on any failure no item keeps fields.
  try {
    for (int k = 0; k < keyFields.Count(); ++k) {
      const TKeyFieldItem& f = *keyFields.Items(k);
      TIndexItem* item = FindIndex(f.IndexName());
      if (!item) TavDatabaseError(kIndexDoesNotExist, caller, f.IndexName());
      if (!KeyFieldUsable(f))
        TavDatabaseError(kUnexpectedInternalError, caller, kKeyBuffersInvalid);
      item->KeyFields().Add()->Assign(f);
    }
    for (int i = 0; i < Count(); ++i) {
      TIndexItem& item = *Items(i);
      if (item.KeyFields().Count() == 0)
        TavDatabaseError(kUnexpectedInternalError, caller, kKeyBuffersInvalid);
      item.KeyFields().SetDataOffset(item.KeyDataOffset());
    }
  } catch (...) {
    for (int i = 0; i < Count(); ++i) Items(i)->KeyFields().Clear();
    throw;
  }
}

void TIndexManager::RequireHeader() const {
  TAV_ASSERT(table_header_ != nullptr, "IndexManager table header = nil");
}

void TIndexManager::AddIndex(const TInternalIndexDef& definition, const TKeyFields& keyFields) {
  const char* caller = "TIndexManager.AddIndex";
  if (FindIndex(definition.IndexName()))
    TavDatabaseError(kIndexAlreadyExists, caller, "aInternalIndexDef.IndexName");
  if (!io_) TavDatabaseError(kUnexpectedInternalError, caller, "IO Interface is unassigned");
  RequireHeader();
  // Everything is checked before the first block is allocated.
  int fieldCount = 0;
  for (int k = 0; k < keyFields.Count(); ++k) {
    const TKeyFieldItem& f = *keyFields.Items(k);
    if (!host::AnsiSameText(f.IndexName(), definition.IndexName())) continue;
    if (!KeyFieldUsable(f)) TavDatabaseError(kUnexpectedInternalError, caller, kKeyBuffersInvalid);
    ++fieldCount;
  }
  if (fieldCount == 0) TavDatabaseError(kUnexpectedInternalError, caller, kKeyBuffersInvalid);
  ReadIndexHeaders(false);
  const int32_t slot = definition.IndexSequence();
  bool slotFree = slot >= 0 && slot < table_header_->GetIndexCount();
  for (int i = 0; i < Count() && slotFree; ++i)
    if (Items(i)->IndexSequence() == slot) slotFree = false;
  // Two indexes in one slot would each overwrite the other's root.
  if (!slotFree)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "%s: index slot %d is not free",
                        {kKeyBuffersInvalid, slot});

  TIndexItem* item = Add();
  try {
    item->Assign(definition);
    for (int k = 0; k < keyFields.Count(); ++k) {
      const TKeyFieldItem& f = *keyFields.Items(k);
      if (host::AnsiSameText(f.IndexName(), definition.IndexName()))
        item->KeyFields().Add()->Assign(f);
    }
    item->KeyFields().SetDataOffset(item->KeyDataOffset());
    item->CreateIndex();
    try {
      // An open manager serves its indexes open.
      if (open_) item->Open();
      WriteIndexHeaders();
    } catch (...) {
      item->DeleteIndex();
      throw;
    }
  } catch (...) {
    delete item;
    throw;
  }
  if (!item->Hidden()) ++visible_count_;
}

void TIndexManager::CreateIndexes() {
  const char* caller = "TIndexManager.CreateIndexes";
  if (!io_) TavDatabaseError(kUnexpectedInternalError, caller, "IO Interface is unassigned");
  RequireHeader();
  if (auto* disk = dynamic_cast<TDiskIOInterface*>(io_)) {
    disk->GetGlobalFirstEmpty();
    disk->SetFirstEmptyValid(true);
  }
  for (int i = 0; i < Count(); ++i) {
    TIndexItem& item = *Items(i);
    item.CreateIndex();
    table_header_->SetIndexSlot(item.IndexSequence(), item.Root(),
                                static_cast<uint16_t>(item.Depth()));
  }
}

void TIndexManager::Open() {
  if (!string_compare_)
    TavDatabaseError(kUnexpectedInternalError, "TIndexManager.Open", "Sort function not assinged");
  ReadIndexHeaders(true);
  visible_count_ = 0;
  try {
    for (int i = 0; i < Count(); ++i) {
      Items(i)->Open();
      if (!Items(i)->Hidden()) ++visible_count_;
    }
    open_ = true;
  } catch (...) {
    for (int i = 0; i < Count(); ++i) Items(i)->Tree().Close();
    visible_count_ = 0;
    throw;
  }
}

void TIndexManager::Close() {
  for (int i = 0; i < Count(); ++i) Items(i)->Close();
  Clear();
  visible_count_ = 0;
  open_ = false;
  io_ = nullptr;
}

TIndexItem* TIndexManager::CurrentIndex() const {
  TIndexItem* item = FindCurrentIndex();
  if (!item)
    TavDatabaseError(kIndexDoesNotExist, "TIndexManager.CurrentIndex", current_index_name_);
  return item;
}

TIndexItem* TIndexManager::FindCurrentIndex() const {
  if (UpdateCount() != 0) return FindIndex(current_index_name_);
  if (current_index_ == nullptr) current_index_ = FindIndex(current_index_name_);
  return current_index_;
}

TIndexItem* TIndexManager::FindIndex(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (host::AnsiSameText(Items(i)->IndexName(), name)) return Items(i);
  return nullptr;
}

TIndexItem* TIndexManager::FindIndexForFields(const host::TStrings& fieldNames,
                                              bool caseSensitive) const {
  const int n = fieldNames.Count();
  for (int i = 0; i < Count(); ++i) {
    const TKeyFields& keys = Items(i)->KeyFields();
    if (keys.Count() < n) continue;
    bool match = true;
    for (int k = 0; k < n && match; ++k) {
      const TKeyFieldItem& f = *keys.Items(k);
      match = host::AnsiSameText(f.FieldName(), fieldNames.Strings(k)) &&
              !(caseSensitive && f.CaseInsensitive());
    }
    if (match) return Items(i);
  }
  return nullptr;
}

TIndexItem* TIndexManager::RequireIndex(const std::string& name, const char* caller) const {
  TIndexItem* item = FindIndex(name);
  if (!item) TavDatabaseError(kIndexDoesNotExist, caller, name);
  return item;
}

void TIndexManager::DropIndex(const std::string& name) {
  TIndexItem* item = RequireIndex(name, "TIndexManager.DropIndex");
  RequireHeader();
  const int countBefore = Count();
  ReadIndexHeaders(false);
  // The whole tree is checked before anything is freed: a damaged index
  // stays as it was.
  item->DeleteIndex();
  const bool visible = !item->Hidden();
  item->Close();
  delete item;
  if (visible) --visible_count_;
  // The slots follow the positions: the indexes after the dropped one move
  // down a slot, and the last slot, now unused, loses the freed root.
  for (int i = 0; i < Count(); ++i) Items(i)->SetIndexSequence(i);
  const int32_t lastSlot = countBefore - 1;
  if (lastSlot >= 0 && lastSlot < table_header_->GetIndexCount()) {
    table_header_->SetIndexRoot(lastSlot, 0);
    table_header_->SetIndexDepth(lastSlot, 0);
  }
  WriteIndexHeaders();
}

void TIndexManager::EmptyIndex(const std::string& name) {
  TIndexItem* item = RequireIndex(name, "TIndexManager.EmptyIndex");
  ReadIndexHeaders(false);
  item->EmptyIndex();
  WriteIndexHeaders();
}

void TIndexManager::ReadIndexHeaders(bool invalidate) {
  if (Count() == 0) return;
  RequireHeader();
  if (invalidate) InvalidateInternalBuffers();
  for (int i = 0; i < Count(); ++i) {
    TIndexItem& item = *Items(i);
    // The header checks the slot against its index count (8581).
    uint32_t root;
    uint16_t slotDepth;
    table_header_->GetIndexSlot(item.IndexSequence(), root, slotDepth);
    const uint32_t depth = slotDepth;
    // A slot with a root but no depth, or the reverse, or a depth no tree
    // reaches is not something this engine wrote.
    if ((root == 0) != (depth == 0) || depth > kMaxTreeDepth)
      TavDatabaseErrorFmt(kIndexIsCorrupt, "TIndexManager.ReadIndexHeaders",
                          "Index %s: root %u depth %u", {item.IndexName(), root, depth});
    item.SetRoot(root);
    item.SetDepth(depth);
  }
}

void TIndexManager::WriteIndexHeaders() {
  if (Count() == 0) return;
  RequireHeader();
  for (int i = 0; i < Count(); ++i) {
    const TIndexItem& item = *Items(i);
    table_header_->SetIndexSlot(item.IndexSequence(), item.Root(),
                                static_cast<uint16_t>(item.Depth()));
  }
}

void TIndexManager::InvalidateInternalBuffers() {
  for (int i = 0; i < Count(); ++i) Items(i)->InvalidateInternalBuffers();
}

void TIndexManager::SetDeferInnerWrites(bool value) {
  std::exception_ptr failure;
  for (int i = 0; i < Count(); ++i) {
    try {
      Items(i)->SetDeferInnerWrites(value);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TIndexManager::DumpInternalStatus(host::TStrings& lines) {
  lines.Add("DUMP - INDEX = 0");
  if (Count() > 0) Items(0)->DumpInternalStatus(lines);
}

}  // namespace tav

#include "engine/storage/base/tav_hash.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/base/tav_errors.h"

namespace tav {

// ---- TTavBaseHash ----

TTavBaseHash::TTavBaseHash(int bucketCount, int keySize, int capacity)
    : bucket_count_(bucketCount), key_size_(keySize), capacity_(capacity) {
  if (capacity > bucketCount)
    TavDatabaseError(kInvalidParameter, "TTavBaseHash.Create",
                     "Hash key max is greater than hash size");
  if (bucketCount < 1 || keySize < 1 || capacity < 0)
    TavDatabaseError(kInvalidParameter, "TTavBaseHash.Create",
                     "Hash size or key size out of range");
  buckets_.assign(static_cast<size_t>(bucketCount), -1);
  entries_.assign(static_cast<size_t>(capacity), TEntry{-1, 0});
  keys_.assign(static_cast<size_t>(capacity) * static_cast<size_t>(keySize), 0);
  free_.resize(static_cast<size_t>(capacity));
  Clear();
}

void TTavBaseHash::Clear() {
  std::fill(buckets_.begin(), buckets_.end(), -1);
  // The stack holds M - 1 at the bottom and 0 on top, so entries are taken
  // from 0 upwards.
  for (int i = 0; i < capacity_; ++i) free_[static_cast<size_t>(i)] = capacity_ - 1 - i;
  free_top_ = capacity_ - 1;
  count_ = 0;
}

uint32_t TTavBaseHash::HashOf(const void* key, int length) const {
  const auto* k = static_cast<const unsigned char*>(key);
  uint32_t h = 0;
  for (int i = 0; i < length; ++i) h = ((h << 2) | (h >> 30)) ^ k[i];
  return h;
}

void TTavBaseHash::CheckKey(const void* key, int length, const char* caller) const {
  if (length < 0 || length > key_size_ || (!key && length > 0))
    TavDatabaseErrorFmt(kInvalidParameter, caller, "Hash key length %d out of range (max. %d)",
                        {length, key_size_}, this);
}

int TTavBaseHash::BucketOf(const void* key, int length) const {
  return key ? static_cast<int>(HashOf(key, length) % static_cast<uint32_t>(bucket_count_)) : 0;
}

bool TTavBaseHash::KeyMatches(int entry, const unsigned char* key, int length) const {
  const unsigned char* stored = &keys_[static_cast<size_t>(entry) * static_cast<size_t>(key_size_)];
  if (length < key_size_)
    return (length == 0 || std::memcmp(stored, key, static_cast<size_t>(length)) == 0) &&
           stored[length] == 0;
  return std::memcmp(stored, key, static_cast<size_t>(key_size_)) == 0;
}

void TTavBaseHash::Add(const void* key, int length, uint32_t value) {
  CheckKey(key, length, "TTavBaseHash.Add");
  if (CheckHashFull())
    TavDatabaseError(kInternalLimit, "TTavBaseHash.Add", "BaseHash is full", this);
  const int32_t e = free_[static_cast<size_t>(free_top_--)];
  // A reused slot still holds its last key: clear it, or a shorter key would
  // keep the old bytes behind it and miss the zero that ends it.
  unsigned char* slot = &keys_[static_cast<size_t>(e) * static_cast<size_t>(key_size_)];
  std::memset(slot, 0, static_cast<size_t>(key_size_));
  if (length > 0) std::memcpy(slot, key, static_cast<size_t>(length));
  const int b = BucketOf(key, length);
  entries_[static_cast<size_t>(e)] = TEntry{buckets_[static_cast<size_t>(b)], value};
  buckets_[static_cast<size_t>(b)] = e;
  ++count_;
}

bool TTavBaseHash::Find(const void* key, int length) const {
  return FirstMatch(key, length, [](uint32_t) { return true; });
}

uint32_t TTavBaseHash::ValueOf(const void* key, int length) const {
  uint32_t found = kNotFound;
  FirstMatch(key, length, [&](uint32_t v) {
    found = v;
    return true;
  });
  return found;
}

bool TTavBaseHash::Delete(const void* key, int length, uint32_t value) {
  CheckKey(key, length, "TTavBaseHash.Delete");
  const auto* k = static_cast<const unsigned char*>(key);
  int32_t* link = &buckets_[static_cast<size_t>(BucketOf(key, length))];
  while (*link >= 0) {
    const int32_t e = *link;
    TEntry& entry = entries_[static_cast<size_t>(e)];
    if (entry.Value == value && KeyMatches(e, k, length)) {
      *link = entry.Next;
      entry.Next = -1;
      free_[static_cast<size_t>(++free_top_)] = e;
      --count_;
      return true;
    }
    link = &entry.Next;
  }
  return false;
}

void TTavBaseHash::GetPossibleMatchList(const void* key, int length, TSortedList& list) const {
  if (!key) {
    for (int32_t e = buckets_[0]; e >= 0; e = entries_[static_cast<size_t>(e)].Next)
      list.Add(entries_[static_cast<size_t>(e)].Value);
    return;
  }
  FirstMatch(key, length, [&](uint32_t v) {
    list.Add(v);
    return false;
  });
}

// ---- THashCollectionItem ----

THashCollectionItem::THashCollectionItem(host::TCollection* collection)
    : host::TCollectionItem(collection) {}

THashCollectionItem::~THashCollectionItem() {
  if (is_hashed_)
    if (auto* owner = dynamic_cast<THashCollection*>(Collection())) owner->DeleteHashKey(this);
}

void THashCollectionItem::SetHashKey(const void* key) {
  std::memcpy(hash_key_.data(), key, 8);
}

void THashCollectionItem::SetHashFromIntsByBytes(uint32_t a, uint32_t b) {
  for (int i = 0; i < 4; ++i) {
    hash_key_[static_cast<size_t>(i)] = static_cast<unsigned char>(a >> (8 * i));
    hash_key_[static_cast<size_t>(4 + i)] = static_cast<unsigned char>(b >> (8 * i));
  }
}

// ---- THashCollection ----

THashCollection::THashCollection()
    : hash_(std::make_unique<TTavBaseHash>(kDefaultHashSize, kKeySize, kDefaultHashSize)) {}

THashCollection::~THashCollection() {
  // Free the items while this is still a THashCollection: their destructors
  // take their keys out of the hash.
  Clear();
}

THashCollectionItem* THashCollection::HashedItemOf(uint32_t id, const void* key) const {
  if (id > static_cast<uint32_t>(INT32_MAX)) return nullptr;
  auto* item = dynamic_cast<THashCollectionItem*>(FindItemID(static_cast<int>(id)));
  if (!item || !item->IsHashed() || std::memcmp(item->GetHashKey().data(), key, kKeySize) != 0)
    return nullptr;
  return item;
}

void THashCollection::AddHashKey(const void* key, int itemID) {
  auto* item = dynamic_cast<THashCollectionItem*>(FindItemID(itemID));
  // An item is in the hash under one key at most: a new key replaces its old one.
  if (item && item->IsHashed() && std::memcmp(item->GetHashKey().data(), key, kKeySize) != 0)
    DeleteHashKey(item);
  const auto id = static_cast<uint32_t>(itemID);
  if (hash_->FirstMatch(key, kKeySize, [id](uint32_t v) { return v == id; })) {
    if (item) item->SetIsHashed(true);
    return;
  }
  if (hash_->CheckHashFull()) ResetHash();
  hash_->Add(key, kKeySize, id);
  if (item) {
    item->SetHashKey(key);
    item->SetIsHashed(true);
  }
}

THashCollectionItem* THashCollection::FindHashKey(const void* key) const {
  if (use_hash_search_) {
    THashCollectionItem* found = nullptr;
    hash_->FirstMatch(key, kKeySize, [&](uint32_t id) {
      found = HashedItemOf(id, key);
      return found != nullptr;
    });
    return found;
  }
  for (int i = 0; i < Count(); ++i) {
    auto* item = dynamic_cast<THashCollectionItem*>(Items(i));
    if (item && item->IsHashed() && std::memcmp(item->GetHashKey().data(), key, kKeySize) == 0)
      return item;
  }
  return nullptr;
}

void THashCollection::DeleteHashKey(THashCollectionItem* item) {
  if (!item) return;
  hash_->Delete(item->GetHashKey().data(), kKeySize, static_cast<uint32_t>(item->ID()));
  item->SetIsHashed(false);
}

void THashCollection::DeleteHashedItem(int index) {
  auto* item = dynamic_cast<THashCollectionItem*>(Items(index));
  DeleteHashKey(item);
  Delete(index);
}

void THashCollection::ResetHash() {
  const int size = Count() >= 500 ? 2 * Count() : kDefaultHashSize;
  auto fresh = std::make_unique<TTavBaseHash>(size, kKeySize, size);
  for (int i = 0; i < Count(); ++i) {
    auto* item = dynamic_cast<THashCollectionItem*>(Items(i));
    if (item && item->IsHashed())
      fresh->Add(item->GetHashKey().data(), kKeySize, static_cast<uint32_t>(item->ID()));
  }
  hash_ = std::move(fresh);
}

void THashCollection::Clear() {
  hash_->Clear();
  host::TCollection::Clear();
}

}  // namespace tav

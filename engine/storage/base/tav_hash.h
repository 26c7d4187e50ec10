// TTavBaseHash: a fixed-capacity chained hash of short byte keys to 32-bit
// values, used by the hash joins and, through THashCollection, by the page
// cache. It never allocates after construction: entries, key slots and the
// free-entry stack are made once. Several entries may share a key.
//
// Keys are at most KeySize bytes; a shorter key is stored zero-padded, and a
// lookup with a shorter length matches a stored key whose first `length`
// bytes are equal and whose next byte is 0. Callers must keep within the
// capacity (Add on a full hash raises) and pass keys of at most KeySize bytes
// (longer ones raise): both are raised through TavDatabaseError.
//
// THashCollection: a collection whose items carry an 8-byte key and are found
// by it through an owned TTavBaseHash of item IDs, rebuilt larger when full.
// A hashed item leaves the hash when it is freed; one moved to another
// collection must be unhashed (DeleteHashKey) first.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/base/tav_lists.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"
#include "host/rtl/object.h"

namespace tav {

class TTavBaseHash : public host::TObject {
 public:
  static constexpr uint32_t kNotFound = 0xFFFFFFFF;

  // bucketCount >= 1, keySize >= 1, 0 <= capacity <= bucketCount; a capacity
  // above the bucket count raises "Hash key max is greater than hash size".
  TTavBaseHash(int bucketCount, int keySize, int capacity);
  TTavBaseHash(const TTavBaseHash&) = delete;
  TTavBaseHash& operator=(const TTavBaseHash&) = delete;
  ~TTavBaseHash() override = default;

  // Adds (key, value) at the head of its bucket's chain; a full hash raises
  // "BaseHash is full".
  void Add(const void* key, int length, uint32_t value);
  bool Find(const void* key, int length) const;
  // The value of the most recently added entry with that key, or kNotFound.
  uint32_t ValueOf(const void* key, int length) const;
  // Removes the entry with that key and that value; false when there is none.
  bool Delete(const void* key, int length, uint32_t value);
  // Adds the value of every entry in the key's bucket whose key matches; with
  // a null key, of every entry in bucket 0 (the bucket of the empty key).
  void GetPossibleMatchList(const void* key, int length, TSortedList& list) const;
  // Calls visit(value) for each entry matching key, newest first, until it
  // returns true; returns whether one did.
  template <class Visit>
  bool FirstMatch(const void* key, int length, Visit visit) const;
  bool CheckHashFull() const { return free_top_ < 0; }
  void Clear();

  int KeyCount() const { return count_; }
  int BucketCount() const { return bucket_count_; }
  int KeySize() const { return key_size_; }
  int Capacity() const { return capacity_; }

  // Kept for the callers (the join that fills the hash records the type and
  // name of its source field); the hash itself does not use them.
  host::TFieldType DataType() const { return data_type_; }
  void SetDataType(host::TFieldType value) { data_type_ = value; }
  const std::string& SourceFieldName() const { return source_field_name_; }
  void SetSourceFieldName(const std::string& value) { source_field_name_ = value; }

 protected:
  // h = 0; for each byte b: h = (h rotated left by 2 bits) xor b.
  virtual uint32_t HashOf(const void* key, int length) const;

 private:
  struct TEntry {
    int32_t Next;  // next entry in the chain, -1 at the end
    uint32_t Value;
  };

  void CheckKey(const void* key, int length, const char* caller) const;
  int BucketOf(const void* key, int length) const;
  bool KeyMatches(int entry, const unsigned char* key, int length) const;

  int bucket_count_;
  int key_size_;
  int capacity_;
  std::vector<int32_t> buckets_;     // chain heads, -1 = empty
  std::vector<TEntry> entries_;      // capacity entries
  std::vector<unsigned char> keys_;  // entry i's key at i * key_size_
  std::vector<int32_t> free_;        // free entry indexes, top at free_top_
  int free_top_ = -1;
  int count_ = 0;
  host::TFieldType data_type_ = host::ftUnknown;
  std::string source_field_name_;
};

class THashCollection;

class THashCollectionItem : public host::TCollectionItem {
 public:
  explicit THashCollectionItem(host::TCollection* collection = nullptr);
  // A hashed item leaves its collection's hash as it goes.
  ~THashCollectionItem() override;

  void SetHashKey(const void* key);  // 8 bytes
  // The key of (a, b): a then b, each 4 bytes little-endian. Inline: set
  // for every page the page cache fills.
  void SetHashFromInts(uint32_t a, uint32_t b) {
    if constexpr (std::endian::native == std::endian::little) {
      // The two values already lie in the key's byte order: one store.
      const uint64_t key = (uint64_t{b} << 32) | a;
      std::memcpy(hash_key_.data(), &key, 8);
    } else {
      SetHashFromIntsByBytes(a, b);
    }
  }
  const std::array<unsigned char, 8>& GetHashKey() const { return hash_key_; }
  // Whether the item's key is in its collection's hash (kept by the
  // collection; ResetHash adds exactly the items marked so).
  bool IsHashed() const { return is_hashed_; }
  void SetIsHashed(bool value) { is_hashed_ = value; }

 private:
  void SetHashFromIntsByBytes(uint32_t a, uint32_t b);
  std::array<unsigned char, 8> hash_key_{};
  bool is_hashed_ = false;
};

class THashCollection : public host::TCollection {
 public:
  static constexpr int kKeySize = 8;
  static constexpr int kDefaultHashSize = 1000;

  THashCollection();
  ~THashCollection() override;

  // Rebuilds the hash when it is full (ResetHash), then adds (key, itemID).
  // When itemID names an item of this collection, that item takes the key and
  // is marked hashed. Adding a pair already present does nothing.
  void AddHashKey(const void* key, int itemID);
  // The hashed item with that key, or nullptr. With UseHashSearch it is
  // looked up in the hash (the most recently added when several share the
  // key); without, the items are searched in order.
  THashCollectionItem* FindHashKey(const void* key) const;
  // Takes the item's key out of the hash and marks it unhashed.
  void DeleteHashKey(THashCollectionItem* item);
  // DeleteHashKey, then frees the item.
  void DeleteHashedItem(int index);
  // A new hash of 2 x Count entries (Count >= 500) or 1000, holding the key
  // of every item marked hashed.
  void ResetHash();
  // Frees every item and empties the hash.
  void Clear();

  bool UseHashSearch() const { return use_hash_search_; }
  void SetUseHashSearch(bool value) { use_hash_search_ = value; }
  const TTavBaseHash& Hash() const { return *hash_; }

 protected:
  host::TCollectionItem* NewItem() override { return new THashCollectionItem(); }

 private:
  friend class THashCollectionItem;
  // The item with that ID if it is one of ours, hashed, with that key.
  THashCollectionItem* HashedItemOf(uint32_t id, const void* key) const;

  std::unique_ptr<TTavBaseHash> hash_;
  bool use_hash_search_ = false;
};

template <class Visit>
bool TTavBaseHash::FirstMatch(const void* key, int length, Visit visit) const {
  CheckKey(key, length, "TTavBaseHash.FirstMatch");
  const auto* k = static_cast<const unsigned char*>(key);
  for (int32_t e = buckets_[BucketOf(key, length)]; e >= 0; e = entries_[e].Next)
    if (KeyMatches(e, k, length) && visit(entries_[e].Value)) return true;
  return false;
}

}  // namespace tav

// TCollection and TCollectionItem: an ordered list of items that the collection
// owns. Each item gets a unique ID, rising from 0 in the order items are made,
// never reused within one collection; FindItemID finds an item by ID in O(1).
// Deleting an item (delete, Delete, Clear) takes it out of its collection.
// A collection makes its items through the virtual NewItem, so a subclass
// decides the item class; Assign copies items through their own Assign.
#pragma once

#include <unordered_map>
#include <vector>

#include "host/rtl/object.h"

namespace host {

class TCollection;

class TCollectionItem : public TPersistent {
 public:
  // Joins `collection` (as its last item) when one is given.
  explicit TCollectionItem(TCollection* collection = nullptr);
  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;
  // Leaves its collection.
  ~TCollectionItem() override;

  TCollection* Collection() const { return collection_; }
  // Moves the item to another collection (or none: the caller then owns it).
  void SetCollection(TCollection* value);
  int ID() const { return id_; }
  int Index() const;
  void SetIndex(int value);
  virtual std::string DisplayName() const { return ClassName(); }

 private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
  int id_ = -1;
};

class TCollection : public TPersistent {
 public:
  TCollection() = default;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;
  ~TCollection() override;

  // Makes a new item through NewItem; it joins this collection at the end.
  TCollectionItem* Add();
  // Like Add, but the new item is put at `index`.
  TCollectionItem* Insert(int index);
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError when index is out of range.
  TCollectionItem* Items(int index) const;
  // The first call builds the index of items by ID, which the collection
  // keeps in step from then on: a collection nobody asks by ID pays nothing
  // for it as items come and go. Not to be called from two threads at once.
  TCollectionItem* FindItemID(int id) const;
  void Delete(int index);
  // Takes the last item out unfreed, as SetCollection(nullptr) does for it,
  // without searching for it: the caller owns it then. EListError when the
  // collection is empty.
  TCollectionItem* ExtractLast();
  void Clear();
  void Exchange(int index1, int index2);
  void BeginUpdate() { ++update_count_; }
  void EndUpdate();
  int UpdateCount() const { return update_count_; }
  // Clears, then adds one item per source item and assigns it.
  void Assign(const TPersistent& source) override;

 protected:
  // The item class of this collection: a new item, not yet in any collection.
  virtual TCollectionItem* NewItem();
  // Told after items are added, removed or changed (not inside Begin/EndUpdate).
  virtual void Changed() {}

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* item, int index);
  void RemoveItem(TCollectionItem* item);

  std::vector<TCollectionItem*> items_;  // owned
  // By ID, once FindItemID has been asked (by_id_built_).
  mutable std::unordered_map<int, TCollectionItem*> by_id_;
  mutable bool by_id_built_ = false;
  int next_id_ = 0;
  int update_count_ = 0;
};

// Holds a collection between BeginUpdate and EndUpdate for its lifetime, so
// that an error half-way through a change still ends the update.
class TCollectionUpdate {
 public:
  explicit TCollectionUpdate(TCollection& collection) : collection_(collection) {
    collection_.BeginUpdate();
  }
  ~TCollectionUpdate() { collection_.EndUpdate(); }
  TCollectionUpdate(const TCollectionUpdate&) = delete;
  TCollectionUpdate& operator=(const TCollectionUpdate&) = delete;

 private:
  TCollection& collection_;
};

// A typed view on a collection whose items are all of class T.
template <class T>
class TTypedCollection : public TCollection {
 public:
  T* Add() { return static_cast<T*>(TCollection::Add()); }
  T* Insert(int index) { return static_cast<T*>(TCollection::Insert(index)); }
  T* Items(int index) const { return static_cast<T*>(TCollection::Items(index)); }
  T* FindItemID(int id) const { return static_cast<T*>(TCollection::FindItemID(id)); }

 protected:
  TCollectionItem* NewItem() override { return new T(); }
};

}  // namespace host

#include "host/rtl/collection.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "host/rtl/exceptions.h"

namespace host {

TCollectionItem::TCollectionItem(TCollection* collection) { SetCollection(collection); }

TCollectionItem::~TCollectionItem() {
  if (collection_) collection_->RemoveItem(this);
}

void TCollectionItem::SetCollection(TCollection* value) {
  if (value == collection_) return;
  if (collection_) collection_->RemoveItem(this);
  if (value) value->InsertItem(this, value->Count());
}

int TCollectionItem::Index() const {
  if (!collection_) return -1;
  const auto& v = collection_->items_;
  return static_cast<int>(std::find(v.begin(), v.end(), this) - v.begin());
}

void TCollectionItem::SetIndex(int value) {
  if (!collection_) return;
  auto& v = collection_->items_;
  int cur = Index();
  if (value < 0) value = 0;
  if (value >= static_cast<int>(v.size())) value = static_cast<int>(v.size()) - 1;
  if (value == cur) return;
  v.erase(v.begin() + cur);
  v.insert(v.begin() + value, this);
  collection_->Changed();
}

TCollection::~TCollection() {
  update_count_ = 1;
  Clear();
}

TCollectionItem* TCollection::NewItem() { return new TCollectionItem(); }

TCollectionItem* TCollection::Add() { return Insert(Count()); }

TCollectionItem* TCollection::Insert(int index) {
  if (index < 0 || index > Count()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  std::unique_ptr<TCollectionItem> item(NewItem());
  InsertItem(item.get(), index);
  return item.release();
}

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return items_[static_cast<size_t>(index)];
}

TCollectionItem* TCollection::FindItemID(int id) const {
  if (!by_id_built_) {
    by_id_.clear();
    by_id_.reserve(items_.size());
    for (TCollectionItem* item : items_) by_id_.emplace(item->id_, item);
    by_id_built_ = true;
  }
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second;
}

void TCollection::Delete(int index) { delete Items(index); }

TCollectionItem* TCollection::ExtractLast() {
  if (items_.empty()) throw EListError("List index out of bounds (-1)");
  TCollectionItem* item = items_.back();
  items_.pop_back();
  if (by_id_built_) by_id_.erase(item->id_);
  item->collection_ = nullptr;
  if (update_count_ == 0) Changed();
  return item;
}

void TCollection::Clear() {
  if (items_.empty()) return;
  BeginUpdate();
  while (!items_.empty()) delete items_.back();
  EndUpdate();
}

void TCollection::Exchange(int index1, int index2) {
  Items(index1);
  Items(index2);
  std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
  if (update_count_ == 0) Changed();
}

void TCollection::EndUpdate() {
  if (update_count_ > 0 && --update_count_ == 0) Changed();
}

void TCollection::Assign(const TPersistent& source) {
  const auto* src = dynamic_cast<const TCollection*>(&source);
  if (!src) AssignError(&source);
  if (src == this) return;
  TCollectionUpdate update(*this);
  Clear();
  for (const TCollectionItem* s : src->items_) Add()->Assign(*s);
}

void TCollection::InsertItem(TCollectionItem* item, int index) {
  items_.insert(items_.begin() + index, item);
  if (by_id_built_) {
    try {
      by_id_[next_id_] = item;
    } catch (...) {
      // Short of memory: the item stays out, its owner's as before.
      items_.erase(items_.begin() + index);
      throw;
    }
  }
  item->collection_ = this;
  item->id_ = next_id_++;
  if (update_count_ == 0) Changed();
}

void TCollection::RemoveItem(TCollectionItem* item) {
  // Search from the back: Clear and the destructor free the last item first,
  // so emptying a large collection stays linear.
  auto it = std::find(items_.rbegin(), items_.rend(), item);
  if (it != items_.rend()) items_.erase(std::next(it).base());
  if (by_id_built_) by_id_.erase(item->id_);
  item->collection_ = nullptr;
  if (update_count_ == 0) Changed();
}

}  // namespace host

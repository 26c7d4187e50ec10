// TSearchFields: a field list whose items carry two extra flags, used where a
// set of fields is matched against an index (locate, record comparisons).
// InIndex marks a field searched through the index's keys, Descending one
// whose index order is reversed; comparisons negate such a field's result.
//
// Callers must keep: items are made through Add (or Assign), so that every
// item is a TSearchFieldItem.
#pragma once

#include "engine/storage/record/internal_fields.h"

namespace tav {

class TSearchFieldItem : public TInternalFieldItem {
 public:
  using TInternalFieldItem::TInternalFieldItem;

  bool InIndex() const { return in_index_; }
  void SetInIndex(bool value) { in_index_ = value; }
  bool Descending() const { return descending_; }
  void SetDescending(bool value) { descending_ = value; }

  // The base item's properties, and InIndex from a TSearchFieldItem.
  void Assign(const host::TPersistent& source) override;

 private:
  bool in_index_ = false;
  bool descending_ = false;
};

class TSearchFields : public TInternalFields {
 public:
  TSearchFieldItem* Add() { return static_cast<TSearchFieldItem*>(TInternalFields::Add()); }
  TSearchFieldItem* GetItems(int index) const { return static_cast<TSearchFieldItem*>(Items(index)); }
  void SetItems(int index, const TSearchFieldItem& item) { Items(index)->Assign(item); }
  TSearchFieldItem* FindField(const std::string& name) const {
    return static_cast<TSearchFieldItem*>(TInternalFields::FindField(name));
  }
  // From a TSearchFields: copies of its items, the layout values kept as
  // they were. Anything else: the base assignment.
  void Assign(const host::TPersistent& source) override;

 protected:
  host::TCollectionItem* NewItem() override { return new TSearchFieldItem(); }
};

}  // namespace tav

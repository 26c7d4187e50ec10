// TNamedItem and TDefCollection: the common base of the dataset framework's
// field and index definitions. Items are found by name without regard to case
// (AnsiSameText), and a collection never holds two items of the same name:
// renaming an item to a name another item has raises EDatabaseError
// "Duplicate name '<name>' in <collection class>".
//
// A collection may belong to a dataset (SetDataSet): it then tells the dataset
// of every change made from outside (TDataSet::DefChanged), and Update fills
// it from the dataset once until Updated is cleared again. The dataset must
// outlive the collection or clear the link.
#pragma once

#include <functional>
#include <string>

#include "host/rtl/collection.h"

namespace host {

class TNamedItem : public TCollectionItem {
 public:
  using TCollectionItem::TCollectionItem;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value);
  std::string DisplayName() const override { return name_; }

 private:
  std::string name_;
};

class TDataSet;

class TDefCollection : public TCollection {
 public:
  TDataSet* DataSet() const { return data_set_; }
  void SetDataSet(TDataSet* value) { data_set_ = value; }
  // Whether the definitions were filled from the dataset and have not been
  // declared stale since.
  bool Updated() const { return updated_; }
  void SetUpdated(bool value) { updated_ = value; }

  // The position of the item named `name`, or -1.
  int IndexOf(const std::string& name) const;
  // The item named `name`, or nullptr.
  TNamedItem* Find(const std::string& name) const;

 protected:
  // Subclasses make their own item class.
  TCollectionItem* NewItem() override = 0;
  void Changed() override;
  // Runs `fill` once until Updated is cleared: the collection is held in an
  // update, and the dataset is not told of the changes `fill` makes.
  void UpdateDefs(const std::function<void()>& fill);

 private:
  TDataSet* data_set_ = nullptr;
  bool updated_ = false;
  int internal_update_ = 0;
};

}  // namespace host

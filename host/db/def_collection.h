// TNamedItem and TDefCollection: the common base of the dataset framework's
// field and index definitions. Items are found by name without regard to case
// (AnsiSameText), and a collection never holds two items of the same name:
// renaming an item to a name another item has raises EDatabaseError
// "Duplicate name '<name>' in <collection class>".
#pragma once

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

class TDefCollection : public TCollection {
 public:
  // The position of the item named `name`, or -1.
  int IndexOf(const std::string& name) const;
  // The item named `name`, or nullptr.
  TNamedItem* Find(const std::string& name) const;

 protected:
  // Subclasses make their own item class.
  TCollectionItem* NewItem() override = 0;
};

}  // namespace host

#include "host/db/def_collection.h"

#include "host/db/data_set.h"
#include "host/db/db_common.h"
#include "host/rtl/sys_utils.h"

namespace host {

void TNamedItem::SetName(const std::string& value) {
  auto* defs = dynamic_cast<TDefCollection*>(Collection());
  if (!value.empty() && !AnsiSameText(value, name_) && defs && defs->IndexOf(value) >= 0)
    DatabaseError("Duplicate name '" + value + "' in " + defs->ClassName());
  name_ = value;
}

int TDefCollection::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const auto* item = dynamic_cast<const TNamedItem*>(Items(i));
    if (item && AnsiSameText(item->Name(), name)) return i;
  }
  return -1;
}

TNamedItem* TDefCollection::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : static_cast<TNamedItem*>(Items(i));
}

void TDefCollection::Changed() {
  if (data_set_ && internal_update_ == 0) data_set_->DefChanged(this);
}

void TDefCollection::UpdateDefs(const std::function<void()>& fill) {
  if (updated_) return;
  ++internal_update_;
  try {
    TCollectionUpdate hold(*this);
    fill();
  } catch (...) {
    --internal_update_;
    throw;
  }
  --internal_update_;
  updated_ = true;
}

}  // namespace host

#include "engine/components/search_fields.h"

namespace tav {

void TSearchFieldItem::Assign(const host::TPersistent& source) {
  TInternalFieldItem::Assign(source);
  if (const auto* src = dynamic_cast<const TSearchFieldItem*>(&source)) in_index_ = src->in_index_;
}

void TSearchFields::Assign(const host::TPersistent& source) {
  const auto* src = dynamic_cast<const TSearchFields*>(&source);
  if (!src) {
    TInternalFields::Assign(source);
    return;
  }
  if (src == this) return;
  Clear();
  for (int i = 0; i < src->Count(); ++i) Add()->Assign(*src->GetItems(i));
}

}  // namespace tav

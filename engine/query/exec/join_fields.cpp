#include "engine/query/exec/join_fields.h"

#include "engine/query/exec/join_provider.h"
#include "host/rtl/exceptions.h"

namespace tav {

host::TMemoryStream& TDataHolder::Stream() {
  if (!stream_) stream_ = std::make_unique<host::TMemoryStream>();
  return *stream_;
}

void TJoinFieldItem::Assign(const host::TPersistent& source) {
  TInternalFieldItem::Assign(source);
  if (const auto* src = dynamic_cast<const TJoinFieldItem*>(&source)) {
    SourceFieldNo = src->SourceFieldNo;
    DataProvider = src->DataProvider;
  }
}

void TJoinFieldItem::PrepareJoinExprEvaluator(const TTavExprNode* node) {
  TAV_ASSERT(DataProvider != nullptr, "Join Field data provider is not yet assigned");
  if (evaluator_) evaluator_->Clear();
  if (!node) return;
  if (!evaluator_) evaluator_ = std::make_unique<TExprEvaluator>();
  evaluator_->SetExcludeRelopNulls(true);
  evaluator_->Prepare(DataProvider, node);
}

}  // namespace tav

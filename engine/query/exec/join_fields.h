// The small types that carry a join's output: the join kinds, the statistics
// a leaf reports for a join over its fields, a field value handed out
// without conversion (TDataHolder), and the output layout of a join provider
// (TJoinFields), whose items know the provider and field they come from.
//
// Callers must keep:
//  - A TDataHolder's Data points into a provider's current record: it is
//    valid until that provider moves. Its stream is its own.
//  - A TJoinFieldItem's DataProvider outlives the item's use; the item owns
//    only its evaluator.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/expr/expr_evaluator.h"
#include "engine/storage/record/internal_fields.h"
#include "host/rtl/streams.h"

namespace tav {

class TTavBaseJoinDataProvider;

// The kind of join a provider executes.
enum TTavJoinType {
  jtNone,
  jtCrossJoin,
  jtUnionJoin,
  jtInnerJoin,
  jtLeftOuterJoin,
  jtRightOuterJoin,
  jtFullOuterJoin
};

class TJoinStatistics : public host::TObject {
 public:
  // The provider has an index led by the join fields.
  bool Indexed = false;
};

// One field value without conversion: by reference into the provider's
// current record, or (BLOB fields) in the holder's own stream.
class TDataHolder : public host::TObject {
 public:
  bool IsNull = true;
  int32_t Length = 0;
  const uint8_t* Data = nullptr;  // not owned
  bool UsesStream = false;
  // Made on first use.
  host::TMemoryStream& Stream();
  bool HasStream() const { return stream_ != nullptr; }

 private:
  std::unique_ptr<host::TMemoryStream> stream_;
};

class TJoinFieldItem : public TInternalFieldItem {
 public:
  using TInternalFieldItem::TInternalFieldItem;

  // The field's position in its provider.
  int32_t SourceFieldNo = 0;
  TTavBaseJoinDataProvider* DataProvider = nullptr;  // not owned

  // The base properties, and from another join field SourceFieldNo and
  // DataProvider.
  void Assign(const host::TPersistent& source) override;
  // Prepares the item's evaluator for a computed field on `node` over its
  // provider (a comparison with NULL is false); nullptr only clears it.
  void PrepareJoinExprEvaluator(const TTavExprNode* node);
  TExprEvaluator* Evaluator() const { return evaluator_.get(); }

 private:
  std::unique_ptr<TExprEvaluator> evaluator_;
};

class TJoinFields : public TInternalFields {
 public:
  TJoinFieldItem* Add() { return static_cast<TJoinFieldItem*>(TInternalFields::Add()); }
  TJoinFieldItem* Items(int index) const {
    return static_cast<TJoinFieldItem*>(TInternalFields::Items(index));
  }
 protected:
  host::TCollectionItem* NewItem() override { return new TJoinFieldItem(); }
};

}  // namespace tav

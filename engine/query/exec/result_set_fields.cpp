#include "engine/query/exec/result_set_fields.h"

#include "engine/query/exec/join_provider.h"
#include "engine/storage/base/tav_errors.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

bool IsPlainColumn(const TSelectFieldItem& c) {
  return c.SourceTableItem != nullptr && c.ExprRoot == nullptr && !c.HasAggregateFunction;
}

namespace {

bool IsSizedType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

bool NameTaken(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (host::AnsiSameText(n, name)) return true;
  return false;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ";") + n;
  return out;
}

const char kFieldNotFound[] = "The result set field could not be found: ";

// What an ORDER BY item says: its text, or its position.
std::string ItemText(const TOrderByItem& item) {
  return item.SortKey.empty() ? std::to_string(item.FieldIndex) : item.SortKey;
}

// The output name of ORDER BY item `item`; empty when it names none.
std::string OrderByFieldName(const TSelectFields& columns, const std::vector<std::string>& names,
                             const TOrderByItem& item) {
  if (item.FieldIndex > 0)
    return item.FieldIndex <= static_cast<int32_t>(names.size()) ? names[static_cast<size_t>(item.FieldIndex - 1)]
                                                                 : std::string();
  return GetResultSetFieldNameFromSortKey(columns, names, item.SortKey);
}

}  // namespace

// ---------------------------------------------------------------------------
// Names, ORDER BY and indexes

std::vector<std::string> MakeResultColumnNames(const TSelectFields& columns) {
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(columns.Count()));
  for (int i = 0; i < columns.Count(); ++i) {
    const TSelectFieldItem& c = *columns.Items(i);
    const std::string name = host::Trim(c.FieldName());
    const std::string text = host::Trim(c.RawColumnName);
    // No alias: a plain column is known by its field, not by "x.c".
    const bool aliased = text.empty() || !host::AnsiSameText(name, text);
    const std::string base = !aliased && IsPlainColumn(c) ? c.SourceFieldName : name;
    std::string unique = base;
    for (int n = 1; NameTaken(names, unique); ++n) unique = base + "_" + std::to_string(n);
    names.push_back(unique);
  }
  return names;
}

std::string GetResultSetFieldNameFromSortKey(const TSelectFields& columns,
                                             const std::vector<std::string>& names,
                                             const std::string& key) {
  if (key.empty()) return {};
  for (const std::string& n : names)
    if (host::AnsiSameText(n, key)) return n;
  const size_t dot = key.find('.');
  const std::string table = dot == std::string::npos ? std::string() : key.substr(0, dot);
  const std::string field = dot == std::string::npos ? key : key.substr(dot + 1);
  for (int i = 0; i < columns.Count() && i < static_cast<int>(names.size()); ++i) {
    const TSelectFieldItem& c = *columns.Items(i);
    if (c.SourceTableItem == nullptr || !host::AnsiSameText(c.SourceFieldName, field)) continue;
    if (table.empty() || host::AnsiSameText(c.SourceTableItem->TableName(), table) ||
        host::AnsiSameText(c.SourceTableItem->CorrelationName(), table))
      return names[static_cast<size_t>(i)];
  }
  return {};
}

std::string CheckOrderByItems(const TSelectFields& columns, const TOrderByItems& items) {
  const std::vector<std::string> names = MakeResultColumnNames(columns);
  for (int i = 0; i < items.Count(); ++i) {
    const TOrderByItem& item = *items.Items(i);
    if (OrderByFieldName(columns, names, item).empty()) return kFieldNotFound + ItemText(item);
  }
  return {};
}

void PrepareResultIndexDefs(host::TIndexDefs& defs, const TSelectFields& columns,
                            const TOrderByItems* orderBy, bool grouped, bool distinct) {
  const std::vector<std::string> names = MakeResultColumnNames(columns);
  defs.Clear();
  if (orderBy != nullptr) {
    std::vector<std::string> fields;
    std::vector<std::string> descending;
    for (int i = 0; i < orderBy->Count(); ++i) {
      const TOrderByItem& item = *orderBy->Items(i);
      const std::string name = OrderByFieldName(columns, names, item);
      if (name.empty()) TavDatabaseError(kSqlError, "TTavQueryProviderItem", kFieldNotFound + ItemText(item));
      fields.push_back(name);
      if (item.Descending) descending.push_back(name);
    }
    if (!fields.empty()) {
      host::TIndexDef* def = defs.Add(kIdxOrderBy, JoinNames(fields), host::TIndexOptions{});
      def->SetDescFields(JoinNames(descending));
    }
  }
  if (grouped) {
    std::vector<std::string> fields;
    for (int i = 0; i < columns.Count(); ++i)
      if (!columns.Items(i)->HasAggregateFunction) fields.push_back(names[static_cast<size_t>(i)]);
    if (!fields.empty()) defs.Add(kIdxGroupBy, JoinNames(fields), host::TIndexOptions{host::ixUnique});
  }
  if (distinct && !names.empty()) defs.Add(kIdxDistinct, JoinNames(names), host::TIndexOptions{host::ixUnique});
}

// ---------------------------------------------------------------------------
// TResultSetFields

TResultSetField* TResultSetFields::FindResultSetField(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (host::AnsiSameText(Items(i)->FieldName(), name)) return Items(i);
  const std::string trimmed = host::Trim(name);
  for (int i = 0; i < Count(); ++i) {
    const TSelectFieldItem* s = Items(i)->SelectField;
    if (s != nullptr && (host::AnsiSameText(s->SourceFieldName, name) || host::AnsiSameText(s->FieldName(), name) ||
                         host::AnsiSameText(host::Trim(s->RawColumnName), trimmed)))
      return Items(i);
  }
  return nullptr;
}

void TResultSetFields::BuildFromSelectFields(const TSelectFields& columns, TTavBaseJoinDataProvider* root,
                                             TDBStringCompare compare) {
  TAV_ASSERT(root != nullptr, "Root provider is not assigned");
  Clear();
  const std::vector<std::string> names = MakeResultColumnNames(columns);
  for (int i = 0; i < columns.Count(); ++i) {
    const TSelectFieldItem& c = *columns.Items(i);
    TResultSetField* f = Add();
    f->SelectField = &c;
    f->SetFieldName(names[static_cast<size_t>(i)]);
    f->SetDataType(c.DataType());
    f->SetFieldSize(IsSizedType(c.DataType()) ? c.FieldSize() : 0);
    f->SetSourceField(c.SourceFieldName.empty() ? c.FieldName() : c.SourceFieldName);
    f->SetFieldNo(i);
    if (IsPlainColumn(c)) {
      const TTableNameItem& table = *c.SourceTableItem;
      TTavBaseJoinDataProvider* provider =
          table.CorrelationName().empty() ? nullptr : root->FindJoinProvider(table.CorrelationName());
      if (provider == nullptr) provider = root->FindJoinProvider(table.TableName());
      TAV_ASSERT(provider != nullptr, "The result set field data provider could not be found");
      f->DataProvider = provider;
    } else {
      TAV_ASSERT(c.ExprRoot != nullptr, "Select field expr root is not assigned");
      f->DataProvider = root;
      f->PrepareJoinExprEvaluator(c.ExprRoot);
      f->Evaluator()->SetDBStringCompare(compare);
    }
    // A plain column is read raw, but named like any other: the provider's
    // look-up refuses a field the user may not read.
    const TInternalFieldItem* source = IsPlainColumn(c) ? f->DataProvider->FindField(nullptr, f->SourceField())
                                                         : f->DataProvider->GetProviderFields()->FindField(f->SourceField());
    f->SourceFieldNo = source != nullptr ? source->FieldNo() : -1;
  }
}

void TResultSetFields::AddFieldDefs(host::TFieldDefs& defs) const {
  for (int i = 0; i < Count(); ++i) {
    const TResultSetField& f = *Items(i);
    defs.Add(f.FieldName(), f.DataType(), f.FieldSize(), false);
  }
}

void TResultSetFields::PrepareHavingExpr(TTavExprNode* root) const {
  if (root == nullptr) return;
  if (root->Kind == enkField) {
    const std::string name = host::VarToStr(root->Data);
    const TResultSetField* f = FindResultSetField(name);
    if (f == nullptr)
      TavDatabaseErrorFmt(kSqlError, "TTavQueryProviderItem", "Column name in having clause not found: %s",
                          {name});
    root->Data = host::Variant(f->FieldName());
    root->DataType = f->DataType();
    root->DataSize = f->FieldSize();
  }
  PrepareHavingExpr(root->Left);
  PrepareHavingExpr(root->Right);
  for (TTavExprNode* arg : root->Args) PrepareHavingExpr(arg);
}

}  // namespace tav

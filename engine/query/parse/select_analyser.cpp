#include "engine/query/parse/select_analyser.h"

#include <vector>

#include "engine/query/parse/parse_messages.h"
#include "engine/storage/base/tav_resstrings.h"
#include "engine/storage/table/privileges.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

bool IsDistinctInvalidType(host::TFieldType t) {
  switch (t) {
    case host::ftBytes:
    case host::ftVarBytes:
    case host::ftBlob:
    case host::ftMemo:
    case host::ftGraphic:
    case host::ftFmtMemo:
    case host::ftParadoxOle:
    case host::ftDBaseOle:
    case host::ftTypedBinary:
    case host::ftCursor:
    case host::ftADT:
    case host::ftArray:
    case host::ftReference:
    case host::ftDataSet: return true;
    default: return false;
  }
}

bool IsAggregate(const TTavExprNode* node) { return node->ParserToken.Token == tstAggFunc; }

// The aggregate calls of a tree, walking operands and arguments (trees are
// at most MaxExprTreeDepth deep).
void CollectAggregates(const TTavExprNode* node, std::vector<const TTavExprNode*>& out) {
  if (node == nullptr) return;
  if (IsAggregate(node)) out.push_back(node);
  CollectAggregates(node->Left, out);
  CollectAggregates(node->Right, out);
  for (const TTavExprNode* arg : node->Args) CollectAggregates(arg, out);
}

// Every column under `node` becomes a constant Null.
void NullFields(TTavExprNode* node) {
  if (node == nullptr) return;
  if (node->Kind == enkField) {
    node->Kind = enkConst;
    node->Operator = teoCONST2;
    node->Data = host::Null();
    node->TokenArgs.clear();
  }
  NullFields(node->Left);
  NullFields(node->Right);
  for (TTavExprNode* arg : node->Args) NullFields(arg);
}

// The node reads result column `column` from here on.
void ReadResultColumn(TTavExprNode* node, const TSelectFieldItem& column) {
  node->Kind = enkField;
  node->Operator = teoFIELD2;
  node->Data = host::Variant(column.FieldName());
  node->DataType = column.DataType();
  node->DataSize = column.FieldSize();
  node->TokenArgs.clear();
  node->TableList.Clear();
}

}  // namespace

bool TTavSelectAnalyser::CheckSelect(const TTavSelectNode* firstNode, const TTableList* tableList) {
  Message.clear();
  SelectFields.Clear();
  FirstNode = firstNode;
  TableList = tableList;
  if (firstNode == nullptr || tableList == nullptr) return false;
  if (firstNode->SelectNodeType == snGroupColumn && firstNode->Qualifier.empty()) {
    PrepareAllFields();
  } else {
    for (const TTavSelectNode* node = firstNode; node != nullptr && Message.empty(); node = node->Next)
      AnalyseColumnNode(node);
  }
  if (Message.empty()) {
    for (int i = 0; i < SelectFields.Count(); ++i) {
      TSelectFieldItem* item = SelectFields.Items(i);
      if (item->DataType() == host::ftAutoInc) item->SetDataType(host::ftInteger);
    }
  }
  if (IsDistinct && Message.empty()) CheckDistinct();
  return Message.empty();
}

void TTavSelectAnalyser::CheckDistinct() {
  if (SelectFields.Count() > kMaxDistinctColumns) {
    Message = std::string(StavSelectDistinctMaxColsLimit) + " (" + std::to_string(kMaxDistinctColumns) + ")";
    return;
  }
  for (int i = SelectFields.Count() - 1; i >= 0; --i) {
    const TSelectFieldItem* item = SelectFields.Items(i);
    if (IsDistinctInvalidType(item->DataType())) {
      Message = std::string(StavSelectDistinctInvalidColumnType) + " - " + item->FieldName();
      return;
    }
  }
}

void TTavSelectAnalyser::PrepareAllFields() {
  if (TableList == nullptr) return;
  for (int i = 0; i < TableList->Count(); ++i) {
    const TTableNameItem* table = TableList->Items(i);
    AddFieldsForTable(table->TableName(), table);
  }
}

void TTavSelectAnalyser::AddFieldsForTable(const std::string&, const TTableNameItem* tableItem) {
  if (tableItem == nullptr) return;
  const int32_t readBit = MapObjectPrivTypeToConst(opReadData);
  const TInternalFields& fields = tableItem->TableFields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem* field = fields.Items(i);
    // The host dataset hides a field the user may not read: so does `*`.
    if ((field->PrivilegeFlags() & readBit) == 0) continue;
    std::string name = field->FieldName();
    for (int n = 1; SelectFields.FindField(name) != nullptr; ++n)
      name = field->FieldName() + "_" + std::to_string(n);
    SelectFields.AddSelectField(name, field->FieldName(), *field, tableItem);
  }
}

void TTavSelectAnalyser::AnalyseColumnNode(const TTavSelectNode* node) {
  if (node->Expr == nullptr) {
    // t.*: that table's fields, named as `*` names them.
    const TTableNameItem* table =
        TableList != nullptr ? TableList->FindTable(node->Qualifier) : nullptr;
    if (table == nullptr || node->Qualifier.empty()) {
      Message = std::string(StavTableOrFieldNotFound) + " (" + node->Qualifier + ".*)";
      return;
    }
    AddFieldsForTable(node->Qualifier, table);
    return;
  }
  const TTavExprNode* root = node->Expr->Root();
  if (root == nullptr) return;
  const std::string name = host::Trim(!host::Trim(node->OutputColumnName).empty()
                                          ? node->OutputColumnName
                                          : node->RawColumnName);
  if (!IsRecordFieldType(root->DataType)) {
    Message = std::string(StavDataTypeInvalid) + " : " + name;
    return;
  }
  TSelectFieldItem* item = SelectFields.Add();
  item->SetFieldName(name);
  item->SetDataType(root->DataType);
  if ((root->DataType == host::ftString || root->DataType == host::ftWideString) && root->DataSize >= 0)
    item->SetFieldSize(root->DataSize);
  item->RawColumnName = node->RawColumnName;
  std::vector<const TTavExprNode*> aggregates;
  CollectAggregates(root, aggregates);
  item->HasAggregateFunction = node->SelectNodeType == snAggFunc || !aggregates.empty();
  if (aggregates.size() > 1) {
    // The result table keeps one aggregate value per column.
    Message = std::string(kQryTooManyAggregates) + " : " + name;
    return;
  }
  if (item->HasAggregateFunction) {
    const TTavExprNode* agg = aggregates.front();
    TAV_ASSERT(agg->Args.size() <= 1, "Node expr args count is not as expected");
    item->CustomQualifier = node->Qualifier;
    item->DistinctQuantifier = agg->Data.VType() == host::varBoolean && agg->Data.AsBoolean();
    // COUNT(*) has no argument: its call stands for it.
    item->ExprRoot = agg->Args.empty() ? agg : agg->Args.front();
    if (agg != root) item->AggExprRoot = root;
    item->AggFunc = static_cast<TTavSQLAggFunc>(agg->ParserToken.CustomOrdinal);
    if (item->AggFunc == tafCount && agg == root) item->SetDataType(host::ftInteger);
  } else {
    item->ExprRoot = root;
  }
  if (root->Kind == enkField) {
    // A plain column reads its field straight from its table.
    const TTableNameItem* copy = root->TableList.Count() > 0 ? root->TableList.Items(0) : nullptr;
    const TTableNameItem* table =
        copy != nullptr && TableList != nullptr
            ? TableList->FindTableAndCorrelationName(copy->TableName(), copy->CorrelationName())
            : nullptr;
    item->SourceTableItem = table != nullptr ? table : copy;
    item->ExprRoot = nullptr;
    item->SourceFieldName = host::VarToStr(root->Data);
    const bool held = item->SourceTableItem != nullptr &&
                      item->SourceTableItem->TableFields().FindField(item->SourceFieldName) != nullptr;
    TAV_ASSERT(held, ("The Field name cannot be found " + node->RawColumnName).c_str());
  }
}

namespace {

// Whether the tree reads, outside every aggregate call, a column that is not grouped.
bool ReadsUngroupedColumn(const TTavExprNode* node, const TSelectFields& fields,
                          const TGroupByItems& groupByItems) {
  if (node == nullptr || IsAggregate(node)) return false;
  if (node->Kind == enkField) {
    const std::string name = host::VarToStr(node->Data);
    const std::string table = node->TokenArgs.empty() || node->TokenArgs.front() == nullptr
                                  ? std::string()
                                  : node->TokenArgs.front()->Text;
    const TSelectFieldItem* column = fields.FindColumn(table, name);
    if (column != nullptr && column->IsGrouped) return false;
    for (int i = 0; i < groupByItems.Count(); ++i) {
      const TGroupByItem* group = groupByItems.Items(i);
      if (host::AnsiSameText(group->FieldName, name) &&
          (table.empty() || group->TableName.empty() || host::AnsiSameText(group->TableName, table)))
        return false;
    }
    return true;
  }
  if (ReadsUngroupedColumn(node->Left, fields, groupByItems) ||
      ReadsUngroupedColumn(node->Right, fields, groupByItems))
    return true;
  for (const TTavExprNode* arg : node->Args)
    if (ReadsUngroupedColumn(arg, fields, groupByItems)) return true;
  return false;
}

}  // namespace

bool TTavSelectAnalyser::CheckGroupedColumns(TGroupByItems* groupByItems) {
  Message.clear();
  if (groupByItems == nullptr) return true;
  for (int i = 0; i < groupByItems->Count(); ++i) {
    TGroupByItem* group = groupByItems->Items(i);
    group->ResultSetIndex = -1;
    TSelectFieldItem* column = SelectFields.FindColumn(group->TableName, group->FieldName);
    if (column == nullptr) {
      Message = std::string(StavGroupByColumnNotFound) + " : " + group->FieldName;
      return false;
    }
    group->ResultSetIndex = i;
    column->IsGrouped = true;
  }
  if (!SelectFields.ContainsAggregateColumns() && groupByItems->Count() == 0) return true;
  for (int i = 0; i < SelectFields.Count(); ++i) {
    const TSelectFieldItem* column = SelectFields.Items(i);
    // Around an aggregate call (MAX(K) + K) a column outside the call has one value per group
    // only when it is grouped; otherwise there is no row to read it from.
    const bool ungroupedAround = column->HasAggregateFunction && column->AggExprRoot != nullptr &&
                                 ReadsUngroupedColumn(column->AggExprRoot, SelectFields, *groupByItems);
    if ((!column->HasAggregateFunction && !column->IsGrouped) || ungroupedAround) {
      Message = std::string(StavNonAggColumnNotInGroupBy) + " : " + column->FieldName();
      return false;
    }
  }
  return true;
}

namespace {

// Every column HAVING reads must be a result column; found, it reads that
// column. Walks operands and arguments alike.
bool ResolveHavingFields(TTavExprNode* node, const TSelectFields& fields, std::string& missing) {
  if (node == nullptr) return true;
  if (node->Kind == enkField) {
    const std::string name = host::VarToStr(node->Data);
    const std::string table = node->TokenArgs.empty() || node->TokenArgs.front() == nullptr
                                  ? std::string()
                                  : node->TokenArgs.front()->Text;
    const TSelectFieldItem* column = fields.FindColumn(table, name);
    if (column == nullptr) {
      missing = name;
      return false;
    }
    ReadResultColumn(node, *column);
  } else if (IsAggregate(node)) {
    // A call the select list does not compute has no value to read.
    missing = node->ParserToken.RawTokenText;
    return false;
  }
  if (!ResolveHavingFields(node->Left, fields, missing)) return false;
  if (!ResolveHavingFields(node->Right, fields, missing)) return false;
  for (TTavExprNode* arg : node->Args)
    if (!ResolveHavingFields(arg, fields, missing)) return false;
  return true;
}

}  // namespace

bool TTavSelectAnalyser::CheckHavingExpr(TTavExpr* havingExpr) {
  Message.clear();
  if (havingExpr == nullptr || havingExpr->Root() == nullptr) return true;
  // An aggregate call reads its value from the result column that computes
  // it, found by the call's text (argument-less calls too).
  for (TTavExprNode* node = havingExpr->Root(); node != nullptr; node = node->Next()) {
    if (!IsAggregate(node) || node->Kind == enkField) continue;
    const TSelectFieldItem* column = SelectFields.FindColumn(std::string(), node->ParserToken.RawTokenText);
    if (column == nullptr) continue;
    for (TTavExprNode* arg : node->Args) NullFields(arg);
    ReadResultColumn(node, *column);
  }
  std::string missing;
  if (!ResolveHavingFields(havingExpr->Root(), SelectFields, missing)) {
    Message = std::string(StavHavingFieldNotInResult) + ": " + missing;
    return false;
  }
  return true;
}

}  // namespace tav

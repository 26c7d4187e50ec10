#include "engine/query/exec/live_result_bridge.h"

#include <string>

#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_provider.h"
#include "engine/query/exec/query_provider.h"

namespace tav {

void SetLiveResultBridge(TTavQueryProviderItem& item, TTavDatasetBridge& bridge) {
  if (!item.ResultIsLive()) return;
  auto* leaf = dynamic_cast<TTavNonJoinDataProvider*>(item.ProviderMgr().RootProvider());
  if (leaf == nullptr || leaf->DataBridge() == nullptr) return;
  bridge.Close();
  bridge.SetMemory(leaf->DataBridge()->Memory());
  bridge.SetTableName(leaf->DataBridge()->TableName());
  bridge.Open();
  TInternalFields& fields = bridge.GetInternalFields();
  for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetSourceField(kUnmappedBridgeField);
  TResultSetFields& columns = item.ResultColumns();
  for (int i = 0; i < columns.Count(); ++i) {
    const TResultSetField* column = columns.Items(i);
    if (column->IsComputed()) continue;
    const int32_t fieldNo = column->SourceFieldNo;
    if (fieldNo >= 0 && fieldNo < fields.Count()) fields.Items(fieldNo)->SetSourceField(std::to_string(i));
  }
}

}  // namespace tav

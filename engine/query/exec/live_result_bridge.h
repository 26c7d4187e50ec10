// The live result bridge: how the rows of a live SELECT result (one table,
// no aggregates, no DISTINCT) are written back to their base table. The
// bridge is a cursor on the base table whose fields each name, in their
// SourceField, the result column that holds their value (its position as
// decimal text), or kUnmappedBridgeField when no plain column reads them.
//
// Callers must keep: the item's result set was built (its provider tree
// and result columns are those of the result now shown).
#pragma once

namespace tav {

class TTavDatasetBridge;
class TTavQueryProviderItem;

// A bridge field no result column feeds.
inline constexpr char kUnmappedBridgeField[] = "-1";

// For a live result read from one table: opens `bridge` on that table and
// maps its fields to the result columns. Anything else leaves it alone.
void SetLiveResultBridge(TTavQueryProviderItem& item, TTavDatasetBridge& bridge);

}  // namespace tav

#include "engine/storage/table/table_def_text.h"

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/classes/component_text.h"
#include "host/classes/prop_table.h"
#include "host/rtl/exceptions.h"

namespace tav {

namespace {

// A definition is one object whose collections hold flat items: nothing
// nests deeper, and no table comes near these counts and sizes.
host::TTextLimits TableDefTextLimits() {
  host::TTextLimits limits;
  limits.MaxLineLength = 4096;
  limits.MaxDepth = 3;  // the definition, a collection, an item
  limits.MaxStringLength = 65536;
  limits.MaxItems = 4096;
  limits.MaxComponents = 1;
  return limits;
}

}  // namespace

std::string TableDefToText(const TTableDef& def) { return host::WriteComponent(def); }

void TextToTableDef(std::string_view text, TTableDef& def) {
  const char* caller = "TextToTableDef";
  // Read into a definition of its own, so that a text refused half-way
  // leaves nothing behind, and properties it leaves out keep the
  // constructor's values.
  TTableDef read(nullptr);
  try {
    host::ReadComponent(text, read, TableDefTextLimits());
  } catch (const host::EReadError& e) {
    if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->LogItem(caller, e.Message());
    TavDatabaseError(kUnexpectedInternalError, caller, kTableDefUnreadable);
  }
  // The copy assigns the fields, which refuses a field without a type a
  // record stores; the reader let only such types in, but an item may leave
  // its type out. Refused here, the copy below cannot fail half-way.
  for (int i = 0; i < read.InternalFields().Count(); ++i) {
    if (read.InternalFields().Items(i)->DataType() == host::ftUnknown) {
      if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->LogItem(caller, "A field has no type");
      TavDatabaseError(kUnexpectedInternalError, caller, kTableDefUnreadable);
    }
  }
  host::CopyPublishedProperties(read, def);
}

}  // namespace tav

// The stored form of a table definition: the text the catalogue keeps in a
// master table's "TableDef" BLOB. It is the component text of the TTableDef
// (host/classes/component_text.h) holding every published property, so that
// a stored definition never depends on a default of a later version;
// docs/file-format.md describes it.
//
// Callers must keep: a text read back comes from a database file and is
// untrusted. TextToTableDef bounds it and either sets every published
// property of the definition or raises 8581 and leaves it as it was; what
// is not published (privileges, storage, master state) it never touches.
#pragma once

#include <string>
#include <string_view>

#include "engine/storage/table/table_def.h"

namespace tav {

// The custom message of the 8581 raised for a text that cannot be read.
inline constexpr const char* kTableDefUnreadable =
    "Internal error - the table definition could not be read";

std::string TableDefToText(const TTableDef& def);

// Reads the text into def. A property the text leaves out takes the value a
// new definition has (DefaultBlobSize 512). Anything the reader refuses
// raises 8581 with kTableDefUnreadable; the reader's own message, naming the
// line, goes to the trace log.
void TextToTableDef(std::string_view text, TTableDef& def);

}  // namespace tav

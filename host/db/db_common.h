// The dataset framework's own database errors, for the few errors that are not
// the engine's numbered ones, and the texts they carry. Definition names
// (fields, indexes) compare without regard to case through AnsiSameText
// (host/rtl/sys_utils.h), never the process locale, so every process finds the
// same definitions.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/exceptions.h"
#include "host/rtl/format.h"

namespace host {

class TComponent;

// EAbort and Abort (host/rtl/exceptions.h) serve the abort action of the
// edit, post and delete error events.

// Raises EDatabaseError with `message`.
[[noreturn]] void DatabaseError(const std::string& message);
// The same, the message led by the component's name and ": " when it has one,
// so that a host can tell which dataset refused.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component);
// Raises EDatabaseError with `fmt` formatted with `args`.
[[noreturn]] void DatabaseErrorFmt(std::string_view fmt, std::initializer_list<TVarRec> args,
                                   const TComponent* component = nullptr);

// The names of a list such as "ID; NAME;;X": split at ';', blanks trimmed,
// empty names left out.
std::vector<std::string> SplitFieldNames(std::string_view names);
// The same one name at a time, in place: the next name of `rest` into
// `name` (a view into the list), `rest` moved past it; false at the end.
bool NextFieldName(std::string_view& rest, std::string_view& name);

// The framework's messages.
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SNotBrowsing = "Dataset not in browse mode";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SBookmarkNotFound = "Bookmark not found";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";
inline constexpr const char* SFieldIndexError = "Field index out of range";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* SFieldTypeMismatch =
    "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* SFieldSizeMismatch =
    "Size mismatch for field '%s', expecting: %d actual: %d";
inline constexpr const char* SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* SDataSetMissing = "Field '%s' has no dataset";
inline constexpr const char* SFieldNameMissing = "Field name missing";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* SParamNotFound = "Parameter '%s' not found";
inline constexpr const char* SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* SNoBlobStream = "Field '%s' has no BLOB stream";
inline constexpr const char* SNotBlobField = "Field '%s' is not a BLOB field";

}  // namespace host

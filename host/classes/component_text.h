// Component streaming to and from text: a component, its published
// properties and the components it owns, as lines such as
//
//   object Main: TThing
//     Size = 12
//     Caption = 'A '#13#10'B'
//     Kind = tkSmall
//     Options = [opOne, opTwo]
//     Font.Height = -11
//     Items = <
//       item
//         Width = 3
//       end>
//     object Child: TThing
//     end
//   end
//
// One property per line; owned sub-objects by dotted names; collections
// between < and >, one item ... end per item; owned components as nested
// objects. Integers in decimal; floats in the shortest form that reads back
// to the same bits ("NAN", "INF", "-INF" for the others); Booleans True and
// False; enumerations and set members by identifier. Strings are quoted with
// ' (doubled inside) for printable ASCII, every other byte is #<decimal>, so
// any byte string round-trips; long strings go on several lines joined by +.
// Lines end in CR LF; the reader takes CR LF, LF or CR.
//
// Forms use more of the form:
//     ActiveControl = PathEdit       a reference to a component, by name
//     OnClick = NextClick            an event, bound to the root's method
//     Lines = (                      a string list
//       'one'
//       'two')
//     Picture.Data = {               bytes in hexadecimal
//       0754426974}
//     UniqueID = 42                  an extra property (DefineProperties)
// A nested object belongs to the owner its outer object names
// (GetChildOwner, the root for controls) and gets the outer object as its
// parent (SetParentComponent). References are resolved once the whole tree
// is read: a name of the root or of a component it owns, or the root's
// name, '.', and such a name. Events name a method the root's class
// publishes with the event's signature. A missing component or method is
// refused naming it. A second root of one text made under one owner is
// named <name>_1, <name>_2, ...
//
// The reader takes untrusted text (a database file, a form resource): every
// line, nesting level, count and string length is bounded (TTextLimits), and
// anything it cannot take (an unknown class or property, a wrong kind of
// value, a missing end, text after the root, a setter's refusal) raises
// EReadError "<what> on line <n>". Components the read made are then freed;
// Loaded runs only after a whole tree was read (an exception from Loaded
// travels on and leaves the tree as read).
//
// Callers must keep: every class read as a nested object is registered
// (RegisterClass); the root's class may be registered or handed in.
#pragma once

#include <string>
#include <string_view>

#include "host/classes/component.h"

namespace host {

struct TTextLimits {
  int MaxLineLength = 4096;      // bytes, line end not counted
  int MaxDepth = 32;             // objects, collections and items inside each other
  int MaxStringLength = 1 << 20; // bytes of one string value
  int MaxItems = 65536;          // items of one collection
  int MaxComponents = 4096;      // components of one text, the root included
};

// The text of `instance` and everything it owns.
std::string WriteComponent(const TComponent& instance);

// Reads the text into `instance`, whose class the text must name. Nested
// objects become new components it owns. On failure the components made are
// freed, but properties of `instance` already read keep their new values:
// read into a fresh instance when that matters.
void ReadComponent(std::string_view text, TComponent& instance,
                   const TTextLimits& limits = TTextLimits());

// Makes the root from its registered class, with `owner`, and reads the text
// into it. The result belongs to `owner`, or to the caller when owner is null.
// On failure nothing made stays.
TComponent* ReadNewComponent(std::string_view text, TComponent* owner,
                             const TTextLimits& limits = TTextLimits());

}  // namespace host

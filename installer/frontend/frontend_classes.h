// The classes of the installer's front end that form texts name, registered
// for component streaming (host/classes/prop_table.h).
#pragma once

namespace orln {

// Registers every streamable class of the front end; calling it again
// changes nothing.
void RegisterFrontendClasses();

}  // namespace orln

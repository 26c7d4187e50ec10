// The operating-system layer: everything the engine and the installer need of
// the machine goes through the headers in this folder, so that the rest of the
// code never calls the C library's system interfaces directly.
#pragma once

namespace os {

// The version of this layer's interfaces; bumped when a header changes meaning.
inline constexpr int kOsLayerVersion = 1;

int OsLayerVersion();

}  // namespace os

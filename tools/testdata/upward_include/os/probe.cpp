// Deliberately wrong: the os layer may not see the host library above it. The
// build test expects this file to fail to compile, and the layer check to
// report it.
#include "host/rtl/exceptions.h"

int ProbeUpwardInclude() { return 0; }

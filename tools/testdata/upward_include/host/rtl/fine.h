// Allowed: the host library may include the os layer below it.
#include "os/file.h"

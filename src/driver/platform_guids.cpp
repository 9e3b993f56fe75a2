// Storage for the platform GUIDs the driver uses. The Windows headers only declare a GUID unless
// INITGUID is defined where they are included; this is the one place that defines them. (The
// host headers define them inline, and this file then adds nothing.)
#define INITGUID
#include "driver/platform.h"

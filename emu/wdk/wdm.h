// WDM declarations for the host build of the driver (the names, types and layouts it uses).
#pragma once

#include "wdk_types.h"
#include "wdk_ke.h"
#include "wdk_io.h"
#include "wdk_rtl.h"

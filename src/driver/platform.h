// The one header through which the driver sees its platform: the real DDK headers in the Windows
// build, the emulated kernel's WDM headers in the host build. Both provide the same names.
#pragma once

#if defined(TARNWIRE_WINDOWS)
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wmilib.h>
#include <ntddser.h>
#include <wmidata.h>
#include <usbioctl.h>
}
#else
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wmilib.h>
#include <ntddser.h>
#include <wmidata.h>
#endif

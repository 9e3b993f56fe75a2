// The one header through which the driver sees its platform: the real DDK headers in the Windows
// build, the emulated kernel's WDM headers in the host build. Both provide the same names.
#pragma once

#if defined(TARNWIRE_WINDOWS)
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wmistr.h>
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

// Wide string literals: WCHAR is wchar_t in the Windows build and char16_t on the host.
#if defined(TARNWIRE_WINDOWS)
#define WIDE(s) L##s
#else
#define WIDE(s) u##s
#endif

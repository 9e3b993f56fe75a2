/* The emulated machine behind the Win32 API. A process has one: the API's first call boots it as
 * the environment variable TARNWIRE_MACHINE describes, and a program (or a language binding) may
 * boot it itself beforehand from a description of its own. Compiles as C and C++. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Boots the process's machine from `description`, in the syntax of TARNWIRE_MACHINE (NULL: as the
 * API's first call would), unless a machine was booted, or tried, before. Returns 1 when this call
 * booted it, 0 when it ran already, -1 when the process has none (a bad description, or the
 * machine did not boot). `text` (`size` bytes; NULL when size is 0) receives the running machine's
 * description with every setting spelled out ("COM8=loopback,rev=0x30;realtime;seed=1;up"), or
 * why there is none; it is cut to fit. */
int TarnwireBootMachine(const char* description, char* text, size_t size);

#ifdef __cplusplus
}
#endif

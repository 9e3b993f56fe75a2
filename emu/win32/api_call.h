// What the API's routines share: running a routine's body inside the machine, failing with a
// Win32 error or with the error of an NTSTATUS, and the synchronous control request that most
// comm routines are.
#pragma once

#include <ntddser.h>
#include <windows.h>

#include <string>

#include "win32/machine_link.h"

namespace emu::win32 {

inline BOOL Fail(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

inline BOOL FailStatus(NTSTATUS status) { return Fail(ErrorFromStatus(status)); }

// Runs body in the machine (in an application thread of its own when the caller is outside the
// machine) and hands its last error back to the caller. Without a machine the call fails with
// NoMachineError().
template <class R, class Body>
R InMachine(R failed, Body&& body) {
  R result = failed;
  DWORD error = 0;
  if (!RunInMachine([&] {
        result = body();
        error = LastError();
      })) {
    SetLastErrorValue(NoMachineError());
    return failed;
  }
  SetLastErrorValue(error);
  return result;
}

// An ANSI string of the API as UTF-16, byte for byte (the machine's code page is Latin-1).
inline std::u16string Widen(LPCSTR s) {
  std::u16string out;
  for (; *s != '\0'; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
  return out;
}

// A control request on a port, waiting for completion: TRUE, or FALSE with the error set.
// *returned (when given) receives the bytes the driver returned.
BOOL Control(HANDLE file, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
             ULONG_PTR* returned = nullptr);

// Reads, writes and control requests on a port, synchronous or overlapped as the handle was
// opened: what ReadFile, WriteFile, DeviceIoControl and WaitCommEvent have in common.
BOOL Transfer(HANDLE file, const Request& request, LPDWORD transferred, LPOVERLAPPED overlapped);

}  // namespace emu::win32

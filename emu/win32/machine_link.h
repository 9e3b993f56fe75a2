// What the Win32 layer needs of the emulated machine: its handle table of file and event
// objects, the last-error value of each calling thread, requests through the I/O manager, kernel
// waits and cancellation. Only the basic types are visible here, so that the API's own
// translation units can include windows.h beside it.
#pragma once

#include <wdk_types.h>

#include <functional>
#include <string_view>

namespace emu::win32 {

// STATUS_NOT_FOUND: no request matched a cancellation.
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);

// The first two members of OVERLAPPED: the I/O manager writes a request's final status and
// byte count there, as into the IO_STATUS_BLOCK it is on Windows.
struct StatusBlock {
  ULONG_PTR status;
  ULONG_PTR information;
};

enum class Operation { Read, Write, Flush, DeviceControl };

struct Request {
  Operation operation = Operation::DeviceControl;
  ULONG ioControlCode = 0;
  const void* input = nullptr;
  ULONG inputLength = 0;
  void* output = nullptr;
  ULONG outputLength = 0;
};

// Runs fn in the calling emulated context, or in a new application thread of the machine when
// called from outside the machine. False when there is no machine or the thread did not end.
bool RunInMachine(const std::function<void()>& fn);
// The error of a call that finds no machine: ERROR_FILE_NOT_FOUND where the machine is booted on
// first use (it could not be: there is no such port), ERROR_NOT_READY where the program brings
// its own.
constexpr ULONG kErrorFileNotFound = 2;
constexpr ULONG kErrorNotReady = 21;
ULONG NoMachineError();

ULONG LastError();
void SetLastErrorValue(ULONG error);

// Opens a device name ("\??\COM8") for a new file handle; on failure NULL and *status.
HANDLE OpenFile(std::u16string_view name, ACCESS_MASK access, bool overlapped, NTSTATUS* status);
// Whether h is an open file handle of the machine (and whether it was opened for overlapped
// I/O).
bool IsFile(HANDLE h, bool* overlapped = nullptr);
// Closes a file (cleanup and close through the I/O manager) or an event handle.
NTSTATUS CloseObject(HANDLE h);

// Starts a request on a file: the block becomes the request's status block and `event` (or,
// when NULL, the file's own event) is cleared now and signalled at completion. Returns the
// driver's status, STATUS_PENDING while the request is outstanding, STATUS_INVALID_HANDLE for a
// file or event handle that is not one.
NTSTATUS StartRequest(HANDLE file, const Request& request, StatusBlock* block, HANDLE event);
// Sends a request and waits for its completion; *information is its byte count.
NTSTATUS SendRequest(HANDLE file, const Request& request, ULONG_PTR* information);
// Cancels the file's outstanding requests: only the caller's (callerOnly), only the one with
// status block `block` (when not NULL). STATUS_NOT_FOUND when no request matched.
NTSTATUS CancelRequests(HANDLE file, bool callerOnly, StatusBlock* block);

HANDLE CreateEventObject(bool manualReset, bool initialState);
NTSTATUS SetEventObject(HANDLE event);
NTSTATUS ResetEventObject(HANDLE event);
// A kernel wait on events and files (a file is signalled when its requests complete).
// milliseconds == 0xFFFFFFFF waits forever. Returns STATUS_WAIT_0 + index, STATUS_TIMEOUT, or
// STATUS_INVALID_HANDLE / STATUS_INVALID_PARAMETER.
NTSTATUS WaitForObjects(const HANDLE* handles, ULONG count, bool waitAll, ULONG milliseconds);
// Puts the calling thread to sleep for the given virtual time.
void Delay(ULONG milliseconds);

// The Win32 error code Windows' RtlNtStatusToDosError gives for a status.
ULONG ErrorFromStatus(NTSTATUS status);

}  // namespace emu::win32

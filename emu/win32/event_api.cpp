// Events and waits: Win32 events are kernel events of the machine and waits are kernel waits, so
// virtual time moves on while an application thread waits.
#include "win32/api_call.h"

using namespace emu::win32;

namespace {

DWORD WaitResult(NTSTATUS status, DWORD count) {
  if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(count))
    return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  Fail(ErrorFromStatus(status));
  return WAIT_FAILED;
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState) {
  return InMachine<HANDLE>(nullptr,
                           [&] { return CreateEventObject(manualReset != FALSE, initialState != FALSE); });
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  return NewEvent(bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
  return NewEvent(bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return InMachine<BOOL>(
      FALSE, [&] { return NT_SUCCESS(SetEventObject(hEvent)) ? TRUE : Fail(ERROR_INVALID_HANDLE); });
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  return InMachine<BOOL>(
      FALSE, [&] { return NT_SUCCESS(ResetEventObject(hEvent)) ? TRUE : Fail(ERROR_INVALID_HANDLE); });
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return InMachine<DWORD>(WAIT_FAILED,
                          [&] { return WaitResult(WaitForObjects(&hHandle, 1, false, dwMilliseconds), 1); });
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  return InMachine<DWORD>(WAIT_FAILED, [&] {
    return WaitResult(WaitForObjects(lpHandles, nCount, bWaitAll != FALSE, dwMilliseconds), nCount);
  });
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  (void)InMachine<BOOL>(FALSE, [&] {
    Delay(dwMilliseconds);
    return TRUE;
  });
}

}  // extern "C"

// Files on the machine's devices: CreateFile, CloseHandle, ReadFile, WriteFile,
// DeviceIoControl, FlushFileBuffers, GetOverlappedResult, CancelIo and CancelIoEx, and the
// last-error value.
#include <string>

#include "win32/api_call.h"

namespace emu::win32 {

BOOL Control(HANDLE file, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
             ULONG_PTR* returned) {
  const Request r{Operation::DeviceControl, code, input, inputLength, output, outputLength};
  ULONG_PTR information = 0;
  const NTSTATUS status = SendRequest(file, r, &information);
  if (returned != nullptr) *returned = information;
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL Transfer(HANDLE file, const Request& request, LPDWORD transferred, LPOVERLAPPED overlapped) {
  bool overlappedHandle = false;
  if (!IsFile(file, &overlappedHandle)) return Fail(ERROR_INVALID_HANDLE);
  if (transferred != nullptr) *transferred = 0;
  if ((request.input == nullptr && request.inputLength != 0) ||
      (request.output == nullptr && request.outputLength != 0))
    return Fail(ERROR_NOACCESS);  // what probing the caller's buffer reports on Windows
  if (overlappedHandle && overlapped != nullptr) {
    auto* block = reinterpret_cast<StatusBlock*>(overlapped);
    const NTSTATUS status = StartRequest(file, request, block, overlapped->hEvent);
    if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    if (!NT_SUCCESS(status)) return FailStatus(status);
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
  }
  if (transferred == nullptr && overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ULONG_PTR information = 0;
  const NTSTATUS status = SendRequest(file, request, &information);
  if (transferred != nullptr) *transferred = static_cast<DWORD>(information);
  if (overlapped != nullptr) {
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    overlapped->InternalHigh = information;
  }
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

namespace {

// The NT name of a Win32 device name: "\\.\X" is "\??\X", and a name that is one of the DOS
// device names COM1 to COM9 (with or without a colon) is "\??\COMn". Anything else would be a
// file, and the machine has no file system.
bool NtDeviceName(std::u16string name, std::u16string* nt) {
  if (name.rfind(u"\\\\.\\", 0) == 0) {
    *nt = u"\\??\\" + name.substr(4);
    return name.size() > 4;
  }
  if (!name.empty() && name.back() == u':') name.pop_back();
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
  if (name.size() == 4 && upper(name[0]) == u'C' && upper(name[1]) == u'O' && upper(name[2]) == u'M' &&
      name[3] >= u'1' && name[3] <= u'9') {
    *nt = u"\\??\\COM" + name.substr(3);
    return true;
  }
  return false;
}

HANDLE Open(const std::u16string& name, DWORD access, DWORD creation, DWORD flags) {
  return InMachine<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) {
      Fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::u16string nt;
    if (!NtDeviceName(name, &nt)) {
      Fail(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE h = OpenFile(nt, access, (flags & FILE_FLAG_OVERLAPPED) != 0, &status);
    if (h == nullptr) {
      FailStatus(status);
      return INVALID_HANDLE_VALUE;
    }
    SetLastErrorValue(ERROR_SUCCESS);
    return h;
  });
}

BOOL ReadOrWrite(HANDLE file, Operation operation, const void* buffer, DWORD length, LPDWORD transferred,
                 LPOVERLAPPED overlapped) {
  return InMachine<BOOL>(FALSE, [&] {
    Request r;
    r.operation = operation;
    if (operation == Operation::Read) {
      r.output = const_cast<void*>(buffer);
      r.outputLength = length;
    } else {
      r.input = buffer;
      r.inputLength = length;
    }
    return Transfer(file, r, transferred, overlapped);
  });
}

}  // namespace

}  // namespace emu::win32

using namespace emu::win32;

extern "C" {

DWORD WINAPI GetLastError(void) { return LastError(); }

void WINAPI SetLastError(DWORD dwErrCode) { SetLastErrorValue(dwErrCode); }

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return Open(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return Open(Widen(lpFileName), dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  return InMachine<BOOL>(FALSE, [&] {
    const NTSTATUS status = CloseObject(hObject);
    return status == STATUS_INVALID_HANDLE ? Fail(ERROR_INVALID_HANDLE) : TRUE;
  });
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  return ReadOrWrite(hFile, Operation::Read, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                     lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return ReadOrWrite(hFile, Operation::Write, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                     lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    Request r;
    r.operation = Operation::Flush;
    const NTSTATUS status = SendRequest(hFile, r, nullptr);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
  });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  return InMachine<BOOL>(FALSE, [&] {
    const Request r{
        Operation::DeviceControl, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize};
    return Transfer(hDevice, r, lpBytesReturned, lpOverlapped);
  });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
      return Fail(ERROR_INVALID_PARAMETER);
    if (static_cast<NTSTATUS>(lpOverlapped->Internal) == STATUS_PENDING) {
      if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
      // The request's event, or the file itself when it was started without one.
      HANDLE waitOn =
          lpOverlapped->hEvent != nullptr
              ? reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(lpOverlapped->hEvent) & ~uintptr_t{1})
              : hFile;
      const NTSTATUS waited = WaitForObjects(&waitOn, 1, false, INFINITE);
      if (waited != STATUS_WAIT_0) return FailStatus(waited);
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    const auto status = static_cast<NTSTATUS>(lpOverlapped->Internal);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
  });
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  return InMachine<BOOL>(FALSE, [&] {
    const NTSTATUS status = CancelRequests(hFile, true, nullptr);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
  });
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  return InMachine<BOOL>(FALSE, [&] {
    const NTSTATUS status = CancelRequests(hFile, false, reinterpret_cast<StatusBlock*>(lpOverlapped));
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
  });
}

}  // extern "C"

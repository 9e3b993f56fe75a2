// The comm routines that are one serial control code each: event masks and WaitCommEvent,
// ClearCommError, PurgeComm, the escape functions and breaks, TransmitCommChar,
// GetCommModemStatus, GetCommProperties and SetupComm.
#include "win32/api_call.h"

using namespace emu::win32;

namespace {

// A control request without data on a port.
BOOL Plain(HANDLE file, ULONG code) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(file)) return Fail(ERROR_INVALID_HANDLE);
    return Control(file, code, nullptr, 0, nullptr, 0);
  });
}

DWORD CommErrors(ULONG serialErrors) {
  DWORD errors = 0;
  if (serialErrors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
  if (serialErrors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
  if (serialErrors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
  if (serialErrors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
  if (serialErrors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
  return errors;
}

}  // namespace

extern "C" {

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const ULONG mask = dwEvtMask;
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
  });
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ULONG mask = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask)) return FALSE;
    *lpEvtMask = mask;
    return TRUE;
  });
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const Request r{
        Operation::DeviceControl, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD)};
    DWORD returned = 0;
    return Transfer(hFile, r, lpOverlapped != nullptr ? nullptr : &returned, lpOverlapped);
  });
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    SERIAL_STATUS status{};
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    if (lpErrors != nullptr) *lpErrors = CommErrors(status.Errors);
    if (lpStat != nullptr) {
      const ULONG hold = status.HoldReasons;
      *lpStat = COMSTAT{};
      lpStat->fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
      lpStat->fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
      lpStat->fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
      lpStat->fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
      lpStat->fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
      lpStat->fEof = status.EofReceived != 0;
      lpStat->fTxim = status.WaitForImmediate != 0;
      lpStat->cbInQue = status.AmountInInQueue;
      lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
  });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const ULONG flags = dwFlags;
    return Control(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
  });
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static constexpr ULONG kCodes[] = {0,
                                     IOCTL_SERIAL_SET_XOFF,
                                     IOCTL_SERIAL_SET_XON,
                                     IOCTL_SERIAL_SET_RTS,
                                     IOCTL_SERIAL_CLR_RTS,
                                     IOCTL_SERIAL_SET_DTR,
                                     IOCTL_SERIAL_CLR_DTR,
                                     IOCTL_SERIAL_RESET_DEVICE,
                                     IOCTL_SERIAL_SET_BREAK_ON,
                                     IOCTL_SERIAL_SET_BREAK_OFF};
  if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
    return InMachine<BOOL>(
        FALSE, [&] { return Fail(IsFile(hFile) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE); });
  }
  return Plain(hFile, kCodes[dwFunc]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return Plain(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return Plain(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const auto c = static_cast<UCHAR>(cChar);
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c, nullptr, 0);
  });
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpModemStat == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ULONG status = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    *lpModemStat = status;
    return TRUE;
  });
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpCommProp == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // A caller that marks the structure as initialised offers wPacketLength bytes for the
    // provider's own data after it.
    ULONG length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length)
      length = lpCommProp->wPacketLength;
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
  });
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0);
  });
}

}  // extern "C"

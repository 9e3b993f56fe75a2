/* A Windows serial program's use of the API, compiled as C against windows.h and linked with
 * libtarnwire-win32.so. Its machine (TARNWIRE_MACHINE) has no COM1, so that port cannot be
 * opened; the mode-string parsing needs no port. Exits with 0 when every check holds. */
#include <stdio.h>
#include <windows.h>

_Static_assert(sizeof(DCB) == 28, "DCB is laid out as on Windows");
_Static_assert(sizeof(COMSTAT) == 12, "COMSTAT is laid out as on Windows");
_Static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is laid out as on Windows");
_Static_assert(sizeof(COMMPROP) == 64, "COMMPROP is laid out as on Windows");

static int failures = 0;

static void Check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  HANDLE port;

  ZeroMemory(&dcb, sizeof dcb);
  ZeroMemory(&timeouts, sizeof timeouts);
  dcb.DCBlength = sizeof dcb;
  Check(BuildCommDCBAndTimeoutsA("COM1: baud=1200 parity=E data=7 stop=2 to=on dtr=hs", &dcb, &timeouts),
        "a valid mode string is accepted");
  Check(dcb.BaudRate == 1200 && dcb.Parity == EVENPARITY && dcb.ByteSize == 7 && dcb.StopBits == TWOSTOPBITS,
        "the mode string's rate and format are in the DCB");
  Check(dcb.fDtrControl == DTR_CONTROL_HANDSHAKE, "dtr=hs asks for the DTR handshake");
  Check(timeouts.WriteTotalTimeoutConstant != 0, "to=on sets a write time-out");
  Check(!BuildCommDCBA("baud=fast", &dcb), "a rate that is not a number is refused");
  Check(GetLastError() == ERROR_INVALID_PARAMETER, "a refused mode string reports ERROR_INVALID_PARAMETER");

  port =
      CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  Check(port == INVALID_HANDLE_VALUE, "a port the machine does not have does not open");
  Check(GetLastError() == ERROR_FILE_NOT_FOUND, "the missing port reports ERROR_FILE_NOT_FOUND");
  Check(!CloseHandle(port), "the invalid handle cannot be closed");
  return failures == 0 ? 0 : 1;
}

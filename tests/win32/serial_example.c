/* An ordinary Windows serial program, unchanged: it opens COM8 (and again as \\.\COM8), sets
 * 9600 8N1 and time-outs, writes "hello", reads it back through the loopback plug, looks at the
 * modem lines and closes the port, printing what it did. Exits with 1 at the first failure. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int Fail(const char* what) {
  printf("%s failed: error %lu\n", what, (unsigned long)GetLastError());
  return 1;
}

static int Exercise(const char* name) {
  HANDLE port;
  DCB dcb;
  COMMTIMEOUTS timeouts;
  DWORD written = 0, got = 0, modem = 0;
  char buffer[16];

  port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) return Fail("CreateFile");
  printf("opened %s\n", name);

  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return Fail("GetCommState");
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(port, &dcb)) return Fail("SetCommState");
  printf("set 9600 8N1\n");

  ZeroMemory(&timeouts, sizeof timeouts);
  timeouts.ReadTotalTimeoutConstant = 2000;
  timeouts.WriteTotalTimeoutConstant = 2000;
  if (!SetCommTimeouts(port, &timeouts)) return Fail("SetCommTimeouts");

  if (!WriteFile(port, "hello", 5, &written, NULL)) return Fail("WriteFile");
  printf("wrote %lu bytes\n", (unsigned long)written);
  memset(buffer, 0, sizeof buffer);
  if (!ReadFile(port, buffer, 5, &got, NULL)) return Fail("ReadFile");
  printf("read %lu bytes: %.*s\n", (unsigned long)got, (int)got, buffer);

  if (!GetCommModemStatus(port, &modem)) return Fail("GetCommModemStatus");
  printf("modem lines:%s%s%s%s\n", (modem & MS_CTS_ON) ? " CTS" : "", (modem & MS_DSR_ON) ? " DSR" : "",
         (modem & MS_RLSD_ON) ? " DCD" : "", (modem & MS_RING_ON) ? " RI" : "");
  if (!CloseHandle(port)) return Fail("CloseHandle");
  printf("closed %s\n", name);
  return 0;
}

int main(void) {
  if (Exercise("COM8") != 0) return 1;
  return Exercise("\\\\.\\COM8");
}

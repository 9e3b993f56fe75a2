/* The real tarnwire.sys serving a COM port under Wine, through the Win32 comm API, on the test bus's
 * bridge with a loopback plug. Run by scripts/wine-run:
 *
 *   scripts/wine-run build/windows-x86/testbus/comm_conformance.exe [PORT]
 *
 * Every case prints PASS, FAIL or SKIP with its reason; the exit status is the number of failures.
 * Every wait is bounded. Unplugging the bridge is the last case: the port is gone afterwards. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "../../windows/testbus/testbus_control.h"

#define LOOPBACK_BYTES 10000

static int failures;
static char port_path[64];
static const char *port_name = "COM8";

static void report(int ok, const char *what, const char *detail) {
  if (!ok) ++failures;
  printf("conformance: %s: %s%s%s\n", ok ? "PASS" : "FAIL", what, detail[0] ? ": " : "", detail);
}

static double now_ms(void) {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

static HANDLE open_port(DWORD flags) {
  return CreateFileA(port_path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

/* 8N1 at the rate, no flow control, DTR and RTS on. */
static BOOL configure(HANDLE h, DWORD baud) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return FALSE;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fAbortOnError = FALSE;
  return SetCommState(h, &dcb) && PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
}

static BOOL set_timeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(h, &t);
}

/* Waits for an overlapped operation at most ms; FALSE with the error when it failed or did not end. */
static BOOL finish(HANDLE h, OVERLAPPED *o, DWORD ms, DWORD *moved, DWORD *error) {
  *error = 0;
  if (WaitForSingleObject(o->hEvent, ms) != WAIT_OBJECT_0) {
    *error = WAIT_TIMEOUT;
    CancelIo(h);
    GetOverlappedResult(h, o, moved, TRUE);
    return FALSE;
  }
  if (!GetOverlappedResult(h, o, moved, FALSE)) {
    *error = GetLastError();
    return FALSE;
  }
  return TRUE;
}

static BOOL start(BOOL started) { return started || GetLastError() == ERROR_IO_PENDING; }

static void loopback(HANDLE h, DWORD baud) {
  static unsigned char out[LOOPBACK_BYTES], in[LOOPBACK_BYTES];
  char what[96], detail[160] = "";
  OVERLAPPED r, w;
  DWORD got = 0, sent = 0, rerr = 0, werr = 0, i, seed = baud, first_diff = LOOPBACK_BYTES;
  /* The transfer takes 10 bits a byte at the rate; allow it twice over and 5 s more. */
  const DWORD budget = (DWORD)(LOOPBACK_BYTES * 10ull * 1000 / baud) * 2 + 5000;
  double t0;
  BOOL ok;
  snprintf(what, sizeof what, "%d bytes written come back byte for byte through the loopback plug at %lu baud",
           LOOPBACK_BYTES, baud);
  for (i = 0; i < LOOPBACK_BYTES; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = (unsigned char)(seed >> 16);
  }
  memset(in, 0, sizeof in);
  if (!configure(h, baud) || !set_timeouts(h, 0, 0, budget)) {
    snprintf(detail, sizeof detail, "configuring the port failed (error %lu)", GetLastError());
    report(0, what, detail);
    return;
  }
  memset(&r, 0, sizeof r);
  memset(&w, 0, sizeof w);
  r.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  w.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  t0 = now_ms();
  ok = start(ReadFile(h, in, sizeof in, NULL, &r)) && start(WriteFile(h, out, sizeof out, NULL, &w));
  if (!ok) {
    snprintf(detail, sizeof detail, "ReadFile or WriteFile failed at once (error %lu)", GetLastError());
  } else {
    BOOL wrote = finish(h, &w, budget, &sent, &werr);
    BOOL read = finish(h, &r, budget, &got, &rerr);
    for (i = 0; i < got && first_diff == LOOPBACK_BYTES; ++i) {
      if (in[i] != out[i]) first_diff = i;
    }
    ok = wrote && read && sent == LOOPBACK_BYTES && got == LOOPBACK_BYTES && first_diff == LOOPBACK_BYTES;
    if (ok) {
      snprintf(detail, sizeof detail, "%.0f ms", now_ms() - t0);
    } else {
      snprintf(detail, sizeof detail, "wrote %lu (error %lu), read %lu (error %lu), first difference at byte %lu",
               sent, werr, got, rerr, first_diff);
    }
  }
  report(ok, what, detail);
  CloseHandle(r.hEvent);
  CloseHandle(w.hEvent);
}

static void read_timeout(HANDLE h) {
  const char *what = "a read with a 500 ms total time-out and no data returns 0 bytes after 400 to 1000 ms";
  char detail[128];
  unsigned char byte;
  OVERLAPPED r;
  DWORD got = 99, error = 0;
  double t0, elapsed;
  BOOL ok;
  memset(&r, 0, sizeof r);
  r.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  configure(h, 115200);
  set_timeouts(h, 0, 0, 500);
  t0 = now_ms();
  ok = start(ReadFile(h, &byte, 1, NULL, &r));
  /* The driver completes a timed-out read with STATUS_TIMEOUT, a success status: Windows'
   * GetOverlappedResult returns TRUE for it. Wine's returns FALSE with ERROR_TIMEOUT for any status
   * other than STATUS_SUCCESS (a synchronous ReadFile there returns TRUE), so that error is the
   * time-out under Wine. */
  if (ok && !finish(h, &r, 5000, &got, &error) && error != ERROR_TIMEOUT) ok = FALSE;
  elapsed = now_ms() - t0;
  ok = ok && got == 0 && elapsed >= 400 && elapsed <= 1000;
  snprintf(detail, sizeof detail, "%lu bytes after %.0f ms (%s)", got, elapsed,
           error == ERROR_TIMEOUT ? "STATUS_TIMEOUT, which Wine's GetOverlappedResult reports as ERROR_TIMEOUT"
                                  : error == 0 ? "success" : "failed");
  report(ok, what, detail);
  CloseHandle(r.hEvent);
}

/* Starts WaitCommEvent for mask, does what should raise it, and checks the event arrives in time. */
static void wait_event(HANDLE h, DWORD mask, const char *what, BOOL (*cause)(HANDLE)) {
  char detail[128];
  OVERLAPPED o;
  DWORD events = 0, moved = 0, error = 0;
  BOOL ok;
  memset(&o, 0, sizeof o);
  o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  configure(h, 115200);
  set_timeouts(h, MAXDWORD, 0, 0);
  ok = SetCommMask(h, mask) && start(WaitCommEvent(h, &events, &o)) && cause(h) &&
       finish(h, &o, 2000, &moved, &error);
  ok = ok && (events & mask) != 0;
  snprintf(detail, sizeof detail, "events 0x%04lX (error %lu)", events, error);
  report(ok, what, detail);
  SetCommMask(h, 0);
  CloseHandle(o.hEvent);
}

static BOOL send_byte(HANDLE h) {
  OVERLAPPED w;
  DWORD sent = 0, error;
  BOOL ok;
  memset(&w, 0, sizeof w);
  w.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  ok = start(WriteFile(h, "R", 1, NULL, &w)) && finish(h, &w, 2000, &sent, &error) && sent == 1;
  CloseHandle(w.hEvent);
  return ok;
}

/* The plug loops RTS back to CTS: dropping RTS changes CTS. */
static BOOL drop_rts(HANDLE h) { return EscapeCommFunction(h, CLRRTS); }

static void modem_loopback(HANDLE h) {
  char detail[128];
  DWORD on = 0, off = 0;
  BOOL ok;
  configure(h, 115200);
  ok = EscapeCommFunction(h, SETRTS) && EscapeCommFunction(h, SETDTR);
  ok = ok && GetCommModemStatus(h, &on) && EscapeCommFunction(h, CLRRTS) && EscapeCommFunction(h, CLRDTR);
  /* The status arrives from the chip's interrupt endpoint: poll it with a deadline. */
  for (double t0 = now_ms(); ok && now_ms() - t0 < 2000; Sleep(10)) {
    if (!GetCommModemStatus(h, &off)) ok = FALSE;
    if ((off & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == 0) break;
  }
  ok = ok && (on & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) &&
       (off & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == 0;
  snprintf(detail, sizeof detail, "modem status 0x%02lX with RTS and DTR on, 0x%02lX with both off", on, off);
  report(ok, "the plug's RTS-to-CTS and DTR-to-DSR/DCD loops show in GetCommModemStatus", detail);
}

/* Wine sends REMOVE_DEVICE right after SURPRISE_REMOVAL even while the port is open (Windows waits
 * for the last handle to close): the read that pends is cancelled by the driver's surprise-removal
 * handling, and the port's name goes with the removal that follows at once, so the test expects
 * the open to fail without closing anything first but its own handle. */
static void unplug(HANDLE h) {
  char detail[200];
  OVERLAPPED r;
  unsigned char byte;
  DWORD got = 0, error = 0, bridge = 0, returned = 0, open_error = 0;
  HANDLE bus, again = INVALID_HANDLE_VALUE;
  double t0;
  BOOL pending, completed, refused = FALSE;
  memset(&r, 0, sizeof r);
  r.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  configure(h, 115200);
  set_timeouts(h, 0, 0, 0); /* wait for data without end */
  pending = !ReadFile(h, &byte, 1, NULL, &r) && GetLastError() == ERROR_IO_PENDING &&
            WaitForSingleObject(r.hEvent, 200) == WAIT_TIMEOUT;
  bus = CreateFileA(TESTBUS_DOS_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (!pending || bus == INVALID_HANDLE_VALUE ||
      !DeviceIoControl(bus, IOCTL_TESTBUS_UNPLUG, &bridge, sizeof bridge, NULL, 0, &returned, NULL)) {
    snprintf(detail, sizeof detail, "read pending %d, unplugging failed (error %lu)", pending, GetLastError());
    report(0, "unplugging the bridge completes a pending read with ERROR_OPERATION_ABORTED", detail);
    return;
  }
  CloseHandle(bus);
  t0 = now_ms();
  completed = WaitForSingleObject(r.hEvent, 5000) == WAIT_OBJECT_0;
  if (completed && !GetOverlappedResult(h, &r, &got, FALSE)) error = GetLastError();
  snprintf(detail, sizeof detail, "%s after %.0f ms with %lu bytes, error %lu", completed ? "completed" : "NOT completed",
           now_ms() - t0, got, error);
  /* The driver's surprise-removal handling cancels every request it holds: STATUS_CANCELLED. */
  report(completed && error == ERROR_OPERATION_ABORTED && got == 0,
         "unplugging the bridge completes a pending read with ERROR_OPERATION_ABORTED", detail);
  if (!completed) CancelIo(h);
  CloseHandle(h);
  /* Removal runs in the device's process after the read completes: allow it a bounded time. */
  for (t0 = now_ms(); now_ms() - t0 < 5000; Sleep(20)) {
    again = open_port(0);
    if (again == INVALID_HANDLE_VALUE) {
      open_error = GetLastError();
      refused = TRUE;
      break;
    }
    CloseHandle(again);
  }
  snprintf(detail, sizeof detail, "open %s (error %lu) %.0f ms after the read completed",
           refused ? "refused" : "still succeeds", open_error, now_ms() - t0);
  report(refused, "after the unplug, opening the port fails", detail);
  CloseHandle(r.hEvent);
}

int main(int argc, char **argv) {
  static const DWORD rates[] = {9600, 115200, 921600};
  HANDLE h;
  unsigned i;
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc > 1) port_name = argv[1];
  snprintf(port_path, sizeof port_path, "\\\\.\\%s", port_name);
  h = open_port(FILE_FLAG_OVERLAPPED);
  if (h == INVALID_HANDLE_VALUE) {
    printf("conformance: FAIL: %s does not open (error %lu)\n", port_path, GetLastError());
    return 1;
  }
  for (i = 0; i < sizeof rates / sizeof rates[0]; ++i) loopback(h, rates[i]);
  read_timeout(h);
  wait_event(h, EV_RXCHAR, "WaitCommEvent completes for EV_RXCHAR when a byte comes back", send_byte);
  EscapeCommFunction(h, SETRTS);
  wait_event(h, EV_CTS, "WaitCommEvent completes for EV_CTS when the looped-back RTS drops", drop_rts);
  modem_loopback(h);
  unplug(h);
  printf("conformance: %d failed\n", failures);
  return failures;
}

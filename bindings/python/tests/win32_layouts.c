/* Prints the layouts of the comm API's structures as windows.h declares them on this platform, one
 * line each: "DCB size 28", "DCB.BaudRate offset 4", and for a bit field the 32-bit word it lives in
 * with only that field set to all ones: "DCB.fRtsControl word 8 0x00003000". */
#include <stdio.h>
#include <windows.h>

#define SIZE(T) printf(#T " size %zu\n", sizeof(T))
#define FIELD(T, f) printf(#T "." #f " offset %zu\n", offsetof(T, f))
#define BITS(T, f, word)                                                    \
  do {                                                                      \
    T s;                                                                    \
    DWORD w;                                                                \
    memset(&s, 0, sizeof s);                                                \
    s.f = 0;                                                                \
    s.f--;                                                                  \
    memcpy(&w, (const char*)&s + (word), sizeof w);                         \
    printf(#T "." #f " word %d 0x%08x\n", (word), (unsigned)w);             \
  } while (0)

int main(void) {
  SIZE(SECURITY_ATTRIBUTES);
  FIELD(SECURITY_ATTRIBUTES, nLength);
  FIELD(SECURITY_ATTRIBUTES, lpSecurityDescriptor);
  FIELD(SECURITY_ATTRIBUTES, bInheritHandle);

  SIZE(OVERLAPPED);
  FIELD(OVERLAPPED, Internal);
  FIELD(OVERLAPPED, InternalHigh);
  FIELD(OVERLAPPED, Offset);
  FIELD(OVERLAPPED, OffsetHigh);
  FIELD(OVERLAPPED, Pointer);
  FIELD(OVERLAPPED, hEvent);

  SIZE(COMSTAT);
  BITS(COMSTAT, fCtsHold, 0);
  BITS(COMSTAT, fDsrHold, 0);
  BITS(COMSTAT, fRlsdHold, 0);
  BITS(COMSTAT, fXoffHold, 0);
  BITS(COMSTAT, fXoffSent, 0);
  BITS(COMSTAT, fEof, 0);
  BITS(COMSTAT, fTxim, 0);
  BITS(COMSTAT, fReserved, 0);
  FIELD(COMSTAT, cbInQue);
  FIELD(COMSTAT, cbOutQue);

  SIZE(DCB);
  FIELD(DCB, DCBlength);
  FIELD(DCB, BaudRate);
  BITS(DCB, fBinary, 8);
  BITS(DCB, fParity, 8);
  BITS(DCB, fOutxCtsFlow, 8);
  BITS(DCB, fOutxDsrFlow, 8);
  BITS(DCB, fDtrControl, 8);
  BITS(DCB, fDsrSensitivity, 8);
  BITS(DCB, fTXContinueOnXoff, 8);
  BITS(DCB, fOutX, 8);
  BITS(DCB, fInX, 8);
  BITS(DCB, fErrorChar, 8);
  BITS(DCB, fNull, 8);
  BITS(DCB, fRtsControl, 8);
  BITS(DCB, fAbortOnError, 8);
  BITS(DCB, fDummy2, 8);
  FIELD(DCB, wReserved);
  FIELD(DCB, XonLim);
  FIELD(DCB, XoffLim);
  FIELD(DCB, ByteSize);
  FIELD(DCB, Parity);
  FIELD(DCB, StopBits);
  FIELD(DCB, XonChar);
  FIELD(DCB, XoffChar);
  FIELD(DCB, ErrorChar);
  FIELD(DCB, EofChar);
  FIELD(DCB, EvtChar);
  FIELD(DCB, wReserved1);

  SIZE(COMMTIMEOUTS);
  FIELD(COMMTIMEOUTS, ReadIntervalTimeout);
  FIELD(COMMTIMEOUTS, ReadTotalTimeoutMultiplier);
  FIELD(COMMTIMEOUTS, ReadTotalTimeoutConstant);
  FIELD(COMMTIMEOUTS, WriteTotalTimeoutMultiplier);
  FIELD(COMMTIMEOUTS, WriteTotalTimeoutConstant);
  return 0;
}

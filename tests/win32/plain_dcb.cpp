#include "plain_dcb.h"

namespace tarnwire::win32_testing {

DCB PlainDcb(DWORD baud, BYTE dtr, BYTE rts) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = dtr;
  dcb.fRtsControl = rts;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 64;
  dcb.XoffLim = 64;
  return dcb;
}

}  // namespace tarnwire::win32_testing

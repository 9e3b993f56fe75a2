// GetCommState and SetCommState: a DCB is the port's rate, line control, special characters and
// handshake, read and written with the serial control codes in the order kernel32 sends them.
// SetCommTimeouts and GetCommTimeouts are IOCTL_SERIAL_SET_TIMEOUTS and GET_TIMEOUTS.
#include "win32/api_call.h"

using namespace emu::win32;

namespace {

struct PortState {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW flow{};
};

BOOL ReadState(HANDLE file, PortState* s) {
  return Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud) &&
         Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line) &&
         Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars) &&
         Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->flow, sizeof s->flow);
}

void ToDcb(const PortState& s, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = s.baud.BaudRate;
  dcb->fBinary = TRUE;
  dcb->fParity = s.line.Parity != NO_PARITY;
  const ULONG control = s.flow.ControlHandShake;
  const ULONG replace = s.flow.FlowReplace;
  dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
  dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
  dcb->fDtrControl = (control & SERIAL_DTR_HANDSHAKE) ? DTR_CONTROL_HANDSHAKE
                     : (control & SERIAL_DTR_CONTROL) ? DTR_CONTROL_ENABLE
                                                      : DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
  dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
  dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
      dcb->fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case SERIAL_RTS_HANDSHAKE:
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case SERIAL_TRANSMIT_TOGGLE:
      dcb->fRtsControl = RTS_CONTROL_TOGGLE;
      break;
    default:
      dcb->fRtsControl = RTS_CONTROL_DISABLE;
  }
  dcb->XonLim = static_cast<WORD>(s.flow.XonLimit);
  dcb->XoffLim = static_cast<WORD>(s.flow.XoffLimit);
  dcb->ByteSize = s.line.WordLength;
  dcb->Parity = s.line.Parity;
  dcb->StopBits = s.line.StopBits;
  dcb->XonChar = static_cast<char>(s.chars.XonChar);
  dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
  dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
  dcb->EofChar = static_cast<char>(s.chars.EofChar);
  dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

// The port state a DCB asks for, over the current one (whose break character and handshake bits
// a DCB does not describe are kept).
PortState FromDcb(const DCB& dcb, const PortState& current) {
  PortState s = current;
  s.baud.BaudRate = dcb.BaudRate;
  s.line.WordLength = dcb.ByteSize;
  s.line.Parity = dcb.Parity;
  s.line.StopBits = dcb.StopBits;
  s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
  s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
  s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
  s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
  s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
  ULONG control =
      current.flow.ControlHandShake & ~ULONG{SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                             SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT};
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) control |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) control |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
  ULONG replace =
      current.flow.FlowReplace & ~ULONG{SERIAL_RTS_MASK | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                        SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE};
  static constexpr ULONG kRts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  replace |= kRts[dcb.fRtsControl];
  if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
  s.flow.ControlHandShake = control;
  s.flow.FlowReplace = replace;
  s.flow.XonLimit = dcb.XonLim;
  s.flow.XoffLimit = dcb.XoffLim;
  return s;
}

// SET_BAUD_RATE, the modem outputs the DCB turns on or off, SET_LINE_CONTROL, SET_CHARS and
// SET_HANDFLOW. A line that the port's present flow control drives (RTS handshake or transmit
// toggle, DTR handshake) refuses to be set or cleared; SET_HANDFLOW then puts it where the new
// mode wants it.
BOOL WriteState(HANDLE file, const PortState& s, const PortState& present) {
  const ULONG rts = s.flow.FlowReplace & SERIAL_RTS_MASK;
  const ULONG dtr = s.flow.ControlHandShake & SERIAL_DTR_MASK;
  const ULONG presentRts = present.flow.FlowReplace & SERIAL_RTS_MASK;
  const bool rtsFree = presentRts == 0 || presentRts == SERIAL_RTS_CONTROL;
  const bool dtrFree = (present.flow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_HANDSHAKE;
  if (!Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud, nullptr, 0)) return FALSE;
  if (rtsFree && rts == SERIAL_RTS_CONTROL && !Control(file, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0))
    return FALSE;
  if (rtsFree && rts == 0 && !Control(file, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0)) return FALSE;
  if (dtrFree && dtr == SERIAL_DTR_CONTROL && !Control(file, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0))
    return FALSE;
  if (dtrFree && dtr == 0 && !Control(file, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0)) return FALSE;
  return Control(file, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line, nullptr, 0) &&
         Control(file, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars, nullptr, 0) &&
         Control(file, IOCTL_SERIAL_SET_HANDFLOW, &s.flow, sizeof s.flow, nullptr, 0);
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    PortState s;
    if (!ReadState(hFile, &s)) return FALSE;
    ToDcb(s, lpDCB);
    return TRUE;
  });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The flow-control characters must differ for the port to tell them apart.
    if (lpDCB->XonChar == lpDCB->XoffChar) return Fail(ERROR_INVALID_PARAMETER);
    PortState old;
    if (!ReadState(hFile, &old)) return FALSE;
    if (WriteState(hFile, FromDcb(*lpDCB, old), old)) return TRUE;
    // A setting the driver refused leaves the port as it was. SET_HANDFLOW comes last, so the
    // flow control in force is still the old one.
    const DWORD error = GetLastError();
    (void)WriteState(hFile, old, old);
    return Fail(error);
  });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    SERIAL_TIMEOUTS t{};
    if (!Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t)) return FALSE;
    *lpCommTimeouts =
        COMMTIMEOUTS{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                     t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return TRUE;
  });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return InMachine<BOOL>(FALSE, [&] {
    if (!IsFile(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const SERIAL_TIMEOUTS t{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                            lpCommTimeouts->ReadTotalTimeoutConstant,
                            lpCommTimeouts->WriteTotalTimeoutMultiplier,
                            lpCommTimeouts->WriteTotalTimeoutConstant};
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0);
  });
}

}  // extern "C"

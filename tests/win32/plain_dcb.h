// The port settings most tests start from, the same for the emulated API and a real system.
#pragma once

#include <windows.h>

namespace tarnwire::win32_testing {

// 8 data bits, no parity, one stop bit at `baud`, no handshake, DTR and RTS as given.
DCB PlainDcb(DWORD baud, BYTE dtr = DTR_CONTROL_DISABLE, BYTE rts = RTS_CONTROL_DISABLE);

}  // namespace tarnwire::win32_testing

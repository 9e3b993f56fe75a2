// The terminal settings the pty bridge honours, read and written through the termios2 interface,
// which carries any rate as a number (pyserial sets non-standard rates that way).
#pragma once

#include "line/serial_line.h"

namespace emu::line {

struct TtySettings {
  Frame frame;                   // rate (the output speed; 9600 for B0), size, parity, stop bits
  bool ignoreBreak = false;      // IGNBRK
  bool breakInterrupts = false;  // BRKINT
  bool checkInput = false;       // INPCK: parity and framing errors are checked
  bool ignoreErrors = false;     // IGNPAR
  bool markErrors = false;       // PARMRK
};

// Reads the settings of the terminal open as `fd`. Throws std::system_error.
TtySettings ReadTtySettings(int fd);

// Puts the terminal open as `fd` into raw mode (no echo, no line editing, no translation, no
// signals), 8N1 at `baud`, receiver on. Throws std::system_error.
void MakeRawTty(int fd, unsigned baud);

}  // namespace emu::line

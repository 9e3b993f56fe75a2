// termios2 comes from the kernel's own headers, which cannot share a file with <termios.h>.
#include "line/pty_termios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <system_error>

namespace emu::line {

namespace {

termios2 Get(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) throw std::system_error(errno, std::generic_category(), "TCGETS2");
  return t;
}

}  // namespace

TtySettings ReadTtySettings(int fd) {
  const termios2 t = Get(fd);
  TtySettings s;
  s.frame.baud = t.c_ospeed != 0 ? t.c_ospeed : 9600;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      s.frame.dataBits = 5;
      break;
    case CS6:
      s.frame.dataBits = 6;
      break;
    case CS7:
      s.frame.dataBits = 7;
      break;
    default:
      s.frame.dataBits = 8;
      break;
  }
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR) {
      s.frame.parity = odd ? Parity::Mark : Parity::Space;  // stick parity
    } else {
      s.frame.parity = odd ? Parity::Odd : Parity::Even;
    }
  }
  // CSTOPB means 1.5 stop bits with 5 data bits on common UARTs, 2 otherwise.
  if (t.c_cflag & CSTOPB) s.frame.stopBits = s.frame.dataBits == 5 ? StopBits::OnePointFive : StopBits::Two;
  s.ignoreBreak = (t.c_iflag & IGNBRK) != 0;
  s.breakInterrupts = (t.c_iflag & BRKINT) != 0;
  s.checkInput = (t.c_iflag & INPCK) != 0;
  s.ignoreErrors = (t.c_iflag & IGNPAR) != 0;
  s.markErrors = (t.c_iflag & PARMRK) != 0;
  return s;
}

void MakeRawTty(int fd, unsigned baud) {
  termios2 t = Get(fd);
  t.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = t.c_ospeed = baud;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) throw std::system_error(errno, std::generic_category(), "TCSETS2");
}

}  // namespace emu::line

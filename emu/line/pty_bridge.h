// The far end of a line as a Linux pseudo-terminal, so that real programs (a terminal, a pyserial
// script) talk to the emulated machine's serial port. Meant for a kernel in real-time mode: a
// thread of the bridge reads the pty and posts what it reads into the machine
// (Kernel::PostFromAnyThread); everything else runs in the machine's own thread.
//
// The far end's UART takes its rate and stop bits from the pty's termios settings (of the slave,
// where the program sets them). Linux forces CS8 and clears PARENB on every tcsetattr of a pty,
// so data bits and parity cannot be set there: they come from the control line FORMAT (below),
// 8 and none until one arrives.
//   - A character from the attached end is sampled in the pty's rate and format at the moment it
//     ends (see Sample: rates more than about 5% apart garble it). A clean one is written to the
//     pty. A bad one is delivered as the slave's input flags ask for a UART error: the byte as
//     sampled without INPCK, nothing with INPCK and IGNPAR, else 0x00.
//   - Bytes the program writes go out on the line in the frame in force when the bridge reads
//     them, back to back at that rate. At most Options::sendQueueLimit of them wait for the wire;
//     beyond that the bridge stops reading and the program's writes block, as on a UART.
//   - A break from the attached end is written as one 0x00 byte (what the line discipline gives
//     without IGNBRK, BRKINT and PARMRK, pyserial's settings); nothing with IGNBRK or BRKINT (the
//     bridge raises no SIGINT). With PARMRK it is still 0x00: a pty master passes bytes only,
//     without error flags, and the slave's line discipline doubles every 0xFF written into it,
//     so the marks \377\0\0 and \377\0<byte> cannot be formed. TIOCSBRK and tcsendbreak do
//     nothing on a Linux pty either; breaks in both directions travel over the control socket.
//   - Linux ptys have no modem lines (TIOCMGET and TIOCMSET fail; pyserial ignores that on open).
//     The attached end sees Options::inputs until a client of the control socket changes them.
//   - Bytes the program does not read are dropped once the pty's buffer is full.
//
// The control socket (optional; a Unix stream socket, one client at a time) carries text lines
// "NAME 0" or "NAME 1". The bridge sends DTR, RTS, OUT1 and BREAK (the attached end's outputs and
// break) once when a client connects and then at every change. A client sends CTS, DSR, DCD and
// RI to drive the attached end's modem inputs, BREAK to hold its transmit wire in a break, and
// "FORMAT <data bits 5-8><parity N, O, E, M or S>" (e.g. "FORMAT 7E") for the character format;
// a client that writes FORMAT before data to the pty has that data sent in the new format.
// Other lines are ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "line/line_sender.h"
#include "line/pty_termios.h"
#include "line/serial_line.h"

namespace emu::line {

class PtyBridge final : public SerialLine {
 public:
  struct Options {
    ModemInputs inputs{.cts = true, .dsr = true, .ri = false, .dcd = true};
    std::string controlSocket;     // path of the control socket; empty: none
    size_t sendQueueLimit = 4096;  // characters read from the pty that wait for the wire
    unsigned initialBaud = 9600;   // the pty starts raw, 8N1 at this rate
  };
  struct Counters {
    uint64_t toPty = 0;    // characters received from the attached end
    uint64_t garbled = 0;  // of those, with a framing or parity error
    uint64_t dropped = 0;  // bytes the pty had no room for
    uint64_t fromPty = 0;  // characters sent to the attached end
  };

  // Opens the pty (and the control socket). The kernel must outlive the bridge. Throws
  // std::system_error.
  PtyBridge(Kernel& kernel, Options options);
  explicit PtyBridge(Kernel& kernel) : PtyBridge(kernel, Options{}) {}
  ~PtyBridge() override;
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // The path a program opens, e.g. /dev/pts/3. The bridge keeps the slave open itself, so its
  // settings persist between programs.
  const std::string& SlavePath() const { return slavePath_; }
  // The far end's rate and format now: the pty's rate and stop bits, FORMAT's size and parity.
  Frame PeerFrame() const { return PeerFrame(ReadTtySettings(slave_)); }

  // --- SerialLine: the attached end's side ---------------------------------------------------
  void Attach(SerialEnd* end) override { end_ = end; }
  void Transmit(const LineCharacter& c) override;
  void SetBreak(bool on) override;
  void SetModemOutputs(const ModemOutputs& outputs) override;
  ModemInputs CurrentInputs() const override { return inputs_; }

  ModemOutputs EndOutputs() const { return outputs_; }
  bool EndBreak() const { return endBreak_; }
  const Counters& Count() const { return counters_; }

 private:
  void Open();
  void CloseAll();
  Frame PeerFrame(const TtySettings& s) const;
  void Reader();
  void ReadPty();
  void ReadControl();
  void Control(std::string_view line);
  void Post(std::function<void()> fn);
  void WritePty(uint8_t byte);
  void SendControl(const std::string& text);
  void SendState();

  Kernel& kernel_;
  Options options_;
  int master_ = -1;
  int slave_ = -1;
  int listener_ = -1;
  int wake_ = -1;  // eventfd that stops the reader
  std::string slavePath_;

  SerialEnd* end_ = nullptr;
  ModemInputs inputs_;
  ModemOutputs outputs_;
  bool endBreak_ = false;
  uint8_t dataBits_ = 8;  // from FORMAT
  Parity parity_ = Parity::None;
  Counters counters_;
  LineSender sender_;
  std::atomic<size_t> waiting_{0};  // characters read from the pty, not yet on the wire

  std::mutex clientMutex_;  // the reader accepts and closes the client, the machine writes to it
  int client_ = -1;
  std::string controlInput_;  // reader thread only

  LifetimeGuard guard_;
  std::thread reader_;  // last: started once everything above exists
};

}  // namespace emu::line

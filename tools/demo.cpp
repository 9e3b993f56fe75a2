// The demo boots a machine with two bridges of different chip revisions joined by a null-modem
// cable, shows the ports the driver created, opens both through the Win32 API and moves data both
// ways at once: at 115200 baud with XON/XOFF, then at 921600 baud with RTS/CTS. Every byte is
// checked, every event WaitCommEvent reports is counted, and the bus traffic goes to a capture.
#include "demo.h"

#include <cstdio>

#include "win32/machine_description.h"

namespace tarnwire_tool {
namespace {

constexpr unsigned kNewer = 3;
constexpr unsigned kOlder = 4;

std::string ReplayCommand(const DemoOptions& o) {
  std::string text = "tarnwire demo --seed " + std::to_string(o.common.seed) + " --bytes " + std::to_string(o.bytes);
  if (o.common.multiprocessor) text += " --mp";
  return text;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  std::printf("TARNWIRE demo: the driver in an emulated Windows machine (seed %llu, %s model)\n",
              static_cast<unsigned long long>(options.common.seed),
              options.common.multiprocessor ? "multiprocessor" : "uniprocessor");
  std::printf("Replay        %s\n", ReplayCommand(options).c_str());
  Session session(options.common);
  emu::win32::MachineDescription description;
  std::string error;
  if (!emu::win32::ParseMachineDescription("COM3=null:COM4,rev=0x30;COM4,rev=0x10", &description, &error)) {
    session.Fail(error);
    return session.Finish();
  }
  if (!session.Boot(description)) return session.Finish();
  std::printf("\nMachine       two ZM470 bridges on one USB bus, the driver loaded for them by Plug and Play;\n"
              "              COM3 and COM4 joined by a null-modem cable (TXD/RXD, RTS/CTS, DTR/DSR+DCD crossed)\n");
  session.ReportPorts();
  if (session.Failed()) return session.Finish();

  Port newer;
  Port older;
  if (!OpenPort(kNewer, &newer, &error) || !OpenPort(kOlder, &older, &error)) {
    session.Fail(error);
    return session.Finish();
  }
  std::printf("\nOpened        \\\\.\\COM3 and \\\\.\\COM4 with CreateFile (overlapped)\n");

  // XON/XOFF first: the Win32 layer cannot take a port out of RTS handshaking again (SetCommState
  // asserts RTS before it changes the handshake, which the driver refuses while it controls RTS).
  LineSettings soft;
  soft.baud = 115200;
  soft.flow = Flow::XonXoff;
  std::vector<Leg> xon(2);
  xon[0] = MakeLeg(&newer, &older, TestData(options.bytes / 8, options.common.seed + 2, soft));
  xon[1] = MakeLeg(&older, &newer, TestData(options.bytes / 8, options.common.seed + 3, soft));
  if (session.TransferAndReport("Both ways at once", soft, xon)) {
    LineSettings fast;
    fast.baud = 921600;
    fast.flow = Flow::RtsCts;
    std::vector<Leg> legs(2);
    legs[0] = MakeLeg(&newer, &older, TestData(options.bytes, options.common.seed, fast));
    legs[1] = MakeLeg(&older, &newer, TestData(options.bytes, options.common.seed + 1, fast));
    session.TransferAndReport("Both ways at once", fast, legs);
  }
  session.booted().RunTogether({[&] {
    ClosePort(&newer);
    ClosePort(&older);
  }});
  return session.Finish();
}

}  // namespace tarnwire_tool

// The status reports: the whole input is the bridge's script for its interrupt endpoint (reports
// of any length and bits, NAKs, stalls, disconnects). An application waits for every serial event
// and asks for the line and modem status while the reports arrive.
#include "fuzz_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  Checked([&] {
    FuzzMachine m(std::span<const uint8_t>(data, size), emu::zm470::hostile::kInterruptIn);
    if (m.Open()) {
      const ULONG everyEvent = 0x0FFF;  // SERIAL_EV_RXCHAR to SERIAL_EV_EVENT1
      (void)m.IoctlWith(IOCTL_SERIAL_SET_WAIT_MASK, everyEvent);
      for (int i = 0; i < 16 && !m.Bridge().Script().Exhausted(); ++i) {
        (void)m.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG), nullptr, 10 * emu::kMillisecond);
        (void)m.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        (void)m.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
      }
    }
    m.Finish();
  });
  return 0;
}

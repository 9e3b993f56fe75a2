// The device's answers while the driver configures it: the whole input is the bridge's script for
// its default pipe (descriptors, revision reply, register reads, stalls, disconnects). The port is
// started, opened (which programs the chip) and asked for its modem status, then closed and
// removed.
#include "fuzz_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  Checked([&] {
    FuzzMachine m(std::span<const uint8_t>(data, size), emu::zm470::hostile::kControl);
    if (m.Open()) {
      std::vector<uint8_t> status;
      (void)m.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG), &status);
      m.Settle(5 * emu::kMillisecond);
    }
    m.Finish();
  });
  return 0;
}

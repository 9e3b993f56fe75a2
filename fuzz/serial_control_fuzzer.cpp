// The serial control codes: the request part of the input is a series of control requests (any
// serial function code, input of any length and content, any output room); the device part
// answers every control transfer and every token on its endpoints.
#include "fuzz_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  const SplitInput input = Split(data, size);
  Checked([&] {
    FuzzMachine m(input.device, emu::zm470::hostile::kAll);
    ByteScript r(input.requests);
    if (m.Open()) {
      for (int i = 0; i < 12 && !r.Exhausted(); ++i) {
        const uint8_t function = r.Byte();
        // Mostly the serial codes (buffered); now and then another method or device type.
        ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, function % 64, METHOD_BUFFERED, FILE_ANY_ACCESS);
        if (function >= 224) code = r.U32();
        std::vector<uint8_t> in = r.Bytes(r.Below(48));
        const ULONG outputLength = r.Below(64);
        (void)m.Ioctl(code, std::move(in), outputLength, nullptr, 20 * emu::kMillisecond);
        if (r.Below(8) == 0) (void)m.Write(r.Bytes(r.Below(16)), 10 * emu::kMillisecond);
      }
    }
    m.Finish();
  });
  return 0;
}

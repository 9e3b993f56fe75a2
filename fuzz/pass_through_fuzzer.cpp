// The pass-through control code: the request part of the input is a series of pass-through
// requests (command, declared length, data, output room); the device part answers every control
// transfer and every token on its endpoints.
#include <cstring>

#include "fuzz_machine.h"
#include "usb/pass_through.h"

namespace {
constexpr ULONG kPassThroughCode = 0x223CD0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  const SplitInput input = Split(data, size);
  Checked([&] {
    FuzzMachine m(input.device, emu::zm470::hostile::kAll);
    ByteScript r(input.requests);
    if (m.Open()) {
      static const ULONG kCommands[] = {PASS_THROUGH_IDENTIFY,     PASS_THROUGH_CONFIG_DESCRIPTOR,
                                        PASS_THROUGH_CONTROL,      PASS_THROUGH_INTERRUPT_IN,
                                        PASS_THROUGH_BULK_IN,      PASS_THROUGH_BULK_OUT,
                                        PASS_THROUGH_STATUS_BLOCK, PASS_THROUGH_RESET_PORT,
                                        PASS_THROUGH_RESET_PIPE,   PASS_THROUGH_ABORT_PIPE};
      for (int i = 0; i < 8 && !r.Exhausted(); ++i) {
        const uint8_t pick = r.Byte();
        const ULONG command = pick < 240 ? kCommands[pick % 10] : r.U32();
        const ULONG declared = r.Bit() ? r.U32() : r.Below(64);
        std::vector<uint8_t> in(PASS_THROUGH_HEADER_SIZE);
        std::memcpy(in.data(), &command, 4);
        std::memcpy(in.data() + 4, &declared, 4);
        const std::vector<uint8_t> body = r.Bytes(r.Below(64));
        in.insert(in.end(), body.begin(), body.end());
        if (r.Bit()) in.resize(r.Below(static_cast<uint32_t>(in.size()) + 1));
        const ULONG outputLength = r.Bit() ? r.Below(4200) : r.Below(80);
        (void)m.Ioctl(kPassThroughCode, std::move(in), outputLength, nullptr, 30 * emu::kMillisecond);
      }
    }
    m.Finish();
  });
  return 0;
}

// The escape commands: at the escape rate the request part of the input writes commands of each
// form (chip location access, rate, identification query) with fuzzed fields, malformed variants
// and plain data, and reads the replies; the device part answers the control transfers the
// commands cause and the bulk-out packets of the data that is transmitted.
#include <cstring>
#include <string>

#include "fuzz_machine.h"
#include "tx/escape_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  const SplitInput input = Split(data, size);
  Checked([&] {
    FuzzMachine m(input.device, emu::zm470::hostile::kControl | emu::zm470::hostile::kBulkOut);
    ByteScript r(input.requests);
    if (m.Open()) {
      const ULONG escapeRate = ESCAPE_BAUD_RATE;
      (void)m.IoctlWith(IOCTL_SERIAL_SET_BAUD_RATE, escapeRate);
      SERIAL_TIMEOUTS immediate{};
      immediate.ReadIntervalTimeout = MAXULONG;  // reads return what is there
      (void)m.IoctlWith(IOCTL_SERIAL_SET_TIMEOUTS, immediate);
      for (int i = 0; i < 10 && !r.Exhausted(); ++i) {
        std::vector<uint8_t> w;
        switch (r.Below(6)) {
          case 0:
            w = {'@', r.Byte(), r.Byte(), r.Byte()};
            break;
          case 1: {
            w.push_back('#');
            const uint32_t digits = r.Below(10);
            for (uint32_t d = 0; d < digits; ++d) w.push_back(static_cast<uint8_t>('0' + r.Below(10)));
            w.push_back('_');
            break;
          }
          case 2: {
            const char query[] = "$ZM470Ser?";
            w.assign(query, query + 10);
            break;
          }
          case 3: {
            // A command's form with one byte changed, cut or extended.
            const char query[] = "$ZM470Ser?";
            w.assign(query, query + 10);
            w[r.Below(10)] = r.Byte();
            w.resize(r.Below(14));
            break;
          }
          case 4: {
            const ULONG rate = r.Bit() ? ESCAPE_BAUD_RATE : 9600;
            (void)m.IoctlWith(IOCTL_SERIAL_SET_BAUD_RATE, rate);
            break;
          }
          default:
            w = r.Bytes(r.Below(12));
        }
        if (!w.empty()) (void)m.Write(std::move(w), 100 * emu::kMillisecond);
        std::vector<uint8_t> reply;
        (void)m.Read(16, &reply, 5 * emu::kMillisecond);
      }
    }
    m.Finish();
  });
  return 0;
}

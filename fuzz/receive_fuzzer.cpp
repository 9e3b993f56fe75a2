// The received byte stream under every receive setting: the device part of the input is the
// bridge's script for its bulk-in endpoint (packets of any length and content, NAKs, stalls,
// disconnects); the request part chooses the line format, flow control, special characters,
// event character, line-status insertion, queue size and time-outs, then reads, status queries
// and purges while the data arrives.
#include "fuzz_machine.h"

namespace {

template <class T>
std::vector<uint8_t> Bytes(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(p, p + sizeof value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwire::fuzz;
  const SplitInput input = Split(data, size);
  Checked([&] {
    FuzzMachine m(input.device, emu::zm470::hostile::kBulkIn);
    ByteScript r(input.requests);
    if (m.Open()) {
      static const ULONG kRates[] = {300, 1200, 9600, 19200, 57600, 115200, 230400, 921600};
      (void)m.IoctlWith(IOCTL_SERIAL_SET_BAUD_RATE, kRates[r.Below(8)]);
      SERIAL_LINE_CONTROL line{};
      line.StopBits = static_cast<UCHAR>(r.Below(3));
      line.Parity = static_cast<UCHAR>(r.Below(5));
      line.WordLength = static_cast<UCHAR>(5 + r.Below(4));
      (void)m.IoctlWith(IOCTL_SERIAL_SET_LINE_CONTROL, line);
      SERIAL_CHARS chars{};
      chars.EofChar = r.Byte();
      chars.ErrorChar = r.Byte();
      chars.BreakChar = r.Byte();
      chars.EventChar = r.Byte();
      chars.XonChar = r.Byte();
      chars.XoffChar = r.Byte();
      (void)m.IoctlWith(IOCTL_SERIAL_SET_CHARS, chars);
      SERIAL_QUEUE_SIZE queue{r.Below(4) * 64 + 16, 0};
      (void)m.IoctlWith(IOCTL_SERIAL_SET_QUEUE_SIZE, queue);
      SERIAL_HANDFLOW flow{};
      flow.ControlHandShake = r.U32();
      flow.FlowReplace = r.U32();
      flow.XonLimit = static_cast<LONG>(r.U16());
      flow.XoffLimit = static_cast<LONG>(r.U16());
      (void)m.IoctlWith(IOCTL_SERIAL_SET_HANDFLOW, flow);
      const UCHAR escape = r.Bit() ? r.Byte() : 0;
      (void)m.IoctlWith(IOCTL_SERIAL_LSRMST_INSERT, escape);
      const ULONG waitMask = r.U16();
      (void)m.IoctlWith(IOCTL_SERIAL_SET_WAIT_MASK, waitMask);
      SERIAL_TIMEOUTS timeouts{};
      timeouts.ReadIntervalTimeout = r.Bit() ? MAXULONG : r.Byte();
      timeouts.ReadTotalTimeoutMultiplier = r.Below(4);
      timeouts.ReadTotalTimeoutConstant = r.Byte();
      (void)m.IoctlWith(IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
      for (int i = 0; i < 24 && !(r.Exhausted() && m.Bridge().Script().Exhausted()); ++i) {
        switch (r.Below(8)) {
          case 0:
            (void)m.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
            break;
          case 1: {
            const ULONG purge = r.Below(16);
            (void)m.IoctlWith(IOCTL_SERIAL_PURGE, purge);
            break;
          }
          case 2:
            (void)m.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG), nullptr, 5 * emu::kMillisecond);
            break;
          case 3:
            m.Settle(r.Byte() * emu::kMillisecond / 4);
            break;
          default: {
            std::vector<uint8_t> got;
            (void)m.Read(1 + r.Byte(), &got, 20 * emu::kMillisecond);
          }
        }
      }
    }
    m.Finish();
  });
  return 0;
}

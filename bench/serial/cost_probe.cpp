// A fixed workload for counting the driver's instructions with callgrind (scripts/bench runs it):
// one stream of bytes from bridge A to bridge B at 921600 baud (8N1, no flow control, large
// reads), then a plain copy of the same bytes in the pieces the receive path gets them (one
// bulk-in packet at a time into a ring), the lower bound any receive path has to pay. Prints the
// bytes moved; exits non-zero when they did not all arrive intact.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial_rig.h"
#include "usb_limits.h"

namespace cost_probe {

// Copies `bytes` into `ring` a packet at a time, wrapping at its end.
__attribute__((noinline)) void PlainCopy(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& ring) {
  size_t at = 0;
  for (size_t i = 0; i < bytes.size(); i += serial_bench::kReadTransferBytes) {
    const size_t n = std::min<size_t>(serial_bench::kReadTransferBytes, bytes.size() - i);
    for (size_t k = 0; k < n; ++k) {
      ring[at] = bytes[i + k];
      at = at + 1 == ring.size() ? 0 : at + 1;
    }
  }
}

}  // namespace cost_probe

int main(int argc, char** argv) {
  size_t bytes = 32768;
  if (argc == 3 && std::string(argv[1]) == "--bytes") {
    bytes = std::strtoul(argv[2], nullptr, 10);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--bytes N]\n", argv[0]);
    return 2;
  }
  serial_rig::SerialRig rig(serial_rig::SerialRig::FarEnd::NullModem);
  const serial_rig::PortSettings settings{921600, serial_rig::Flow::None, serial_rig::ReturnOnFirstByte()};
  if (!rig.Error().empty() || rig.Apply(rig.A(), settings) != STATUS_SUCCESS ||
      rig.Apply(rig.B(), settings) != STATUS_SUCCESS) {
    std::fprintf(stderr, "the rig did not come up: %s\n", rig.Error().c_str());
    return 1;
  }
  std::vector<serial_rig::Stream> streams;
  streams.push_back({&rig.A(), &rig.B(), serial_rig::Payload(bytes, 1)});
  const auto results = rig.Run(streams, 120 * emu::kSecond);
  const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[0].data, results[0].received);

  std::vector<uint8_t> ring(4096);
  cost_probe::PlainCopy(results[0].received, ring);
  const std::string shutdown = rig.Shutdown();
  std::printf("bytes %zu lost %zu garbled %zu ring %u\n", bytes, d.lost, d.garbled, ring[bytes % ring.size()]);
  return d.lost == 0 && d.garbled == 0 && shutdown.empty() ? 0 : 1;
}

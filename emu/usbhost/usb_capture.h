// USB capture: URB submissions and completions written to a pcap file with the USBPcap link type
// (249), so that tshark and Wireshark decode the traffic of the emulated host.
#pragma once

#include <nt/kernel.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace emu::usb {

// Transfer type byte of the USBPcap header.
enum class CaptureTransfer : uint8_t {
  Isochronous = 0,
  Interrupt = 1,
  Control = 2,
  Bulk = 3,
  IrpInfo = 0xFE,  // requests without a transfer (ABORT_PIPE, RESET_PIPE, ...)
};

// Stage byte of the control-transfer header.
enum class CaptureStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct CapturePacket {
  VirtualTime time = 0;
  uint64_t irpId = 0;
  int32_t usbdStatus = 0;
  uint16_t function = 0;
  bool completion = false;  // info bit 0: PDO to FDO
  uint16_t bus = 1;
  uint16_t device = 0;
  uint8_t endpoint = 0;  // bit 7 set for IN
  CaptureTransfer transfer = CaptureTransfer::Control;
  CaptureStage stage = CaptureStage::Setup;  // control transfers only
  std::span<const uint8_t> data;             // follows the header
};

class UsbCapture {
 public:
  // Opens (truncates) a capture file; nullptr and a reason in *error when it cannot be created.
  static std::unique_ptr<UsbCapture> Open(const std::string& path, std::string* error = nullptr);
  ~UsbCapture();
  UsbCapture(const UsbCapture&) = delete;
  UsbCapture& operator=(const UsbCapture&) = delete;

  void Write(const CapturePacket& packet);
  void Flush();
  uint64_t PacketCount() const { return packets_; }

  // Size in bytes of the USBPcap header of a packet of the given transfer type.
  static size_t HeaderLength(CaptureTransfer transfer);

 private:
  UsbCapture() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint64_t packets_ = 0;
};

}  // namespace emu::usb

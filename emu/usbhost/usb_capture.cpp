#include "usbhost/usb_capture.h"

#include <pcap/pcap.h>

#include <vector>

namespace emu::usb {

namespace {

constexpr int kLinkTypeUsbPcap = 249;
constexpr int kSnapLength = 65535 + 28;
constexpr size_t kBaseHeaderLength = 27;

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutU64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

struct UsbCapture::Impl {
  pcap_t* dead = nullptr;
  pcap_dumper_t* dumper = nullptr;
  std::vector<uint8_t> buffer;
};

std::unique_ptr<UsbCapture> UsbCapture::Open(const std::string& path, std::string* error) {
  std::unique_ptr<UsbCapture> capture(new UsbCapture());
  capture->impl_ = std::make_unique<Impl>();
  capture->impl_->dead = pcap_open_dead(kLinkTypeUsbPcap, kSnapLength);
  if (capture->impl_->dead == nullptr) {
    if (error) *error = "pcap_open_dead failed";
    return nullptr;
  }
  capture->impl_->dumper = pcap_dump_open(capture->impl_->dead, path.c_str());
  if (capture->impl_->dumper == nullptr) {
    if (error) *error = pcap_geterr(capture->impl_->dead);
    return nullptr;  // the destructor closes the dead handle
  }
  return capture;
}

UsbCapture::~UsbCapture() {
  if (!impl_) return;
  if (impl_->dumper) pcap_dump_close(impl_->dumper);
  if (impl_->dead) pcap_close(impl_->dead);
}

size_t UsbCapture::HeaderLength(CaptureTransfer transfer) {
  return transfer == CaptureTransfer::Control ? kBaseHeaderLength + 1 : kBaseHeaderLength;
}

void UsbCapture::Write(const CapturePacket& packet) {
  std::vector<uint8_t>& out = impl_->buffer;
  out.clear();
  // USBPCAP_BUFFER_PACKET_HEADER, packed little-endian.
  PutU16(out, static_cast<uint16_t>(HeaderLength(packet.transfer)));
  PutU64(out, packet.irpId);
  PutU32(out, static_cast<uint32_t>(packet.usbdStatus));
  PutU16(out, packet.function);
  out.push_back(packet.completion ? 1 : 0);
  PutU16(out, packet.bus);
  PutU16(out, packet.device);
  out.push_back(packet.endpoint);
  out.push_back(static_cast<uint8_t>(packet.transfer));
  PutU32(out, static_cast<uint32_t>(packet.data.size()));
  if (packet.transfer == CaptureTransfer::Control) out.push_back(static_cast<uint8_t>(packet.stage));
  out.insert(out.end(), packet.data.begin(), packet.data.end());

  pcap_pkthdr header{};
  VirtualTime t = packet.time < 0 ? 0 : packet.time;
  header.ts.tv_sec = static_cast<time_t>(t / kSecond);
  header.ts.tv_usec = static_cast<suseconds_t>((t % kSecond) / 10);
  header.caplen = static_cast<bpf_u_int32>(out.size());
  header.len = static_cast<bpf_u_int32>(out.size());
  pcap_dump(reinterpret_cast<u_char*>(impl_->dumper), &header, out.data());
  ++packets_;
}

void UsbCapture::Flush() {
  if (impl_ && impl_->dumper) pcap_dump_flush(impl_->dumper);
}

}  // namespace emu::usb

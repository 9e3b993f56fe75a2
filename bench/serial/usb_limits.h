// How the emulated full-speed bus and the chip's FIFOs limit the throughput of the driver's
// design, computed from the models' own constants so that the figures follow the models.
//
// The bus (emu/usbhost/usb_host.h): 1 ms frames of kFrameBytes of bus time; a transaction of n
// bytes costs TransactionCost(n); the transactions of frame f all run at its start; a transfer
// that finishes in frame f completes at the start of frame f + 1, and work submitted during frame
// f is first scheduled in frame f + 1. An endpoint that NAKs is polled again only in the frame
// after the device reports activity.
//
// Receive: the reader keeps kReadTransfers transfers of kReadTransferBytes outstanding. A
// transfer that completes at the start of frame f is resubmitted from the completion during f
// and scheduled in f + 1, so each one carries at most one packet every two frames. The packets
// of a frame are taken from the receive FIFO at the frame's start, so a frame takes at most what
// the FIFO holds. Per frame:
//     min(kReadTransfers / 2 x packet, rxFifoDepth, BulkPacketsPerFrame(packet) x packet).
//
// Transmit: the writer sends pieces of at most kWritePieceBytes in packets of the bulk-out
// endpoint's size. A packet that does not fit into the transmit FIFO is NAK'ed and tried again in
// the next frame, so a frame takes the packets that fit into an empty FIFO (the first character
// leaves it at once for the shift register) -- when the line empties the FIFO within a frame,
// which it does from (txFifoDepth + 1) characters a millisecond. The frame in which a piece's
// completion arrives carries nothing of the next piece, which is submitted during it. Per piece:
//     ceil(piece / min(fifo packets x packet, BulkPacketsPerFrame(packet) x packet)) + 1 frames.
//
// When the line drains fewer than (txFifoDepth + 1) characters a frame, the FIFO is not empty at
// the frame's start and takes only the packets that fit into what is free; the frames then carry
// less than the line sends, and the line idles whenever a frame's packets run out before it ends.
// TransmitBytesPerSecondAt follows the FIFO frame by frame for such a line.
//
// Both bridges of a null-modem pair share one bus; their bulk transactions need far less than a
// frame at these rates, which SharedFrameBytes shows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace serial_bench {

// The driver's transfer design.
inline constexpr uint32_t kReadTransfers = 10;
inline constexpr uint32_t kReadTransferBytes = 32;
inline constexpr uint32_t kWritePieceBytes = 4096;

inline constexpr double kFramesPerSecond =
    static_cast<double>(emu::kSecond) / static_cast<double>(emu::usb::kFrame);

// wMaxPacketSize of one of the chip's endpoints.
inline uint32_t EndpointPacket(const emu::zm470::Config& chip, uint8_t address) {
  for (const auto& e : chip.endpoints) {
    if (e.address == address) return e.maxPacketSize;
  }
  return 0;
}

struct UsbLimits {
  double receiveBytesPerFrame = 0;
  double transmitBytesPerFrame = 0;
  double receiveBytesPerSecond() const { return receiveBytesPerFrame * kFramesPerSecond; }
  double transmitBytesPerSecond() const { return transmitBytesPerFrame * kFramesPerSecond; }
  // Bus time of the bulk transactions of one bridge sending and receiving at these limits.
  uint32_t SharedFrameBytes(uint32_t packet) const {
    // Each direction's bytes in full packets, plus one NAK'ed token for each.
    const auto packets = static_cast<uint32_t>(std::ceil(receiveBytesPerFrame / packet) +
                                               std::ceil(transmitBytesPerFrame / packet));
    return packets * emu::usb::TransactionCost(packet) + 2 * emu::usb::kPacketOverhead;
  }
};

inline UsbLimits ComputeUsbLimits(const emu::zm470::Config& chip = {}) {
  using emu::usb::BulkPacketsPerFrame;
  UsbLimits l;
  const uint32_t in = EndpointPacket(chip, 0x82);
  const uint32_t out = EndpointPacket(chip, 0x02);
  if (in == 0 || out == 0) return l;

  const uint32_t inPacket = std::min(in, kReadTransferBytes);
  const double perTwoFrames = static_cast<double>(kReadTransfers) * inPacket / 2;
  l.receiveBytesPerFrame = std::min({perTwoFrames, static_cast<double>(chip.rxFifoDepth),
                                     static_cast<double>(BulkPacketsPerFrame(in) * inPacket)});

  const uint32_t fitting = static_cast<uint32_t>((chip.txFifoDepth + 1) / out) * out;
  const uint32_t perFrame = std::min(fitting, BulkPacketsPerFrame(out) * out);
  if (perFrame == 0) return l;
  const uint32_t framesPerPiece = (kWritePieceBytes + perFrame - 1) / perFrame + 1;
  l.transmitBytesPerFrame = static_cast<double>(kWritePieceBytes) / framesPerPiece;
  return l;
}

// Transmit throughput of the bus and the FIFO for a line that sends `lineBytesPerSecond`: the
// FIFO level frame by frame over many pieces (the shift register holds one character more).
inline double TransmitBytesPerSecondAt(double lineBytesPerSecond, const emu::zm470::Config& chip = {}) {
  const uint32_t out = EndpointPacket(chip, 0x02);
  if (out == 0) return 0;
  const double drain = lineBytesPerSecond / kFramesPerSecond;  // characters a frame
  const double room = static_cast<double>(chip.txFifoDepth + 1);
  const uint32_t perFrame = emu::usb::BulkPacketsPerFrame(out);
  constexpr int kFrames = 20000;
  double level = 0;
  double sent = 0;
  uint32_t inPiece = 0;
  bool completionFrame = false;
  for (int f = 0; f < kFrames; ++f) {
    if (completionFrame) {
      completionFrame = false;
    } else {
      for (uint32_t k = 0; k < perFrame && level + out <= room && inPiece < kWritePieceBytes; ++k) {
        level += out;
        inPiece += out;
      }
      if (inPiece >= kWritePieceBytes) {
        inPiece = 0;
        completionFrame = true;
      }
    }
    const double d = std::min(level, drain);
    level -= d;
    sent += d;
  }
  return sent / kFrames * kFramesPerSecond;
}

}  // namespace serial_bench

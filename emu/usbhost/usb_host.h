// The emulated USB host stack under each bridge: a full-speed host controller with its root hub,
// and, for every plugged device, the bus driver that serves the device's PDO. Client drivers talk
// to it only through IRPs (IRP_MJ_INTERNAL_DEVICE_CONTROL with the hub's internal control codes,
// Plug and Play and power requests); tests drive it through UsbHost and UsbPort.
//
// Timing model (virtual time, full speed):
//   - Frames are 1 ms long and start at multiples of 1 ms. Work submitted during frame f is first
//     scheduled in frame f + 1; a transfer that finishes during frame f completes at the start of
//     frame f + 1 (the end-of-frame interrupt), from the host controller's DPC at DISPATCH_LEVEL.
//   - Each frame carries kFrameBytes of bus time; every transaction costs its payload plus
//     kPacketOverhead bytes (so 19 64-byte or 33 32-byte bulk packets per frame). Periodic
//     (interrupt) transactions go first, then the control transfer at the head of each device's
//     default pipe, then bulk transactions round robin between the endpoints that have work.
//   - A control transfer occupies at least one frame; the device answers it (UsbDevice::Control)
//     at the end of its last frame, and the URB completes then.
//   - An interrupt endpoint is polled once in every bInterval frames (frames f with
//     f % bInterval == 0), one transaction per poll.
//   - An endpoint that NAKs is not polled again until the device reports activity
//     (UsbDevice::NotifyActivity); the host then resumes it at the next frame boundary.
//   - Everything that touches the bus pends (STATUS_PENDING) and completes from the DPC.
//
// Synchronisation: the host's state changes only in stretches of code that make no kernel call
// (the scheduler switches contexts only inside kernel calls), so device events, the DPC, cancel
// routines and dispatch routines each see it consistent. The cancel spin lock orders the
// completion path against cancel routines, as a Windows bus driver does.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nt/kernel.h"
#include "usbhost/usb_capture.h"
#include "usbhost/usb_device.h"

namespace emu {
class Machine;
}

namespace emu::usb {

constexpr VirtualTime kFrame = kMillisecond;
constexpr uint32_t kFrameBytes = 1500;    // full-speed bit time of one frame, in bytes
constexpr uint32_t kPacketOverhead = 13;  // token, handshake, CRC, sync and gaps of a transaction
// Largest data stage of a control transfer, as the Windows host stack enforces.
constexpr uint32_t kMaxControlTransfer = 4096;
// Length of the reset signalling of IOCTL_INTERNAL_USB_RESET_PORT.
constexpr uint32_t kPortResetFrames = 10;

// The bus time of one transaction carrying `payload` bytes.
constexpr uint32_t TransactionCost(uint32_t payload) { return payload + kPacketOverhead; }
// Bulk packets of `maxPacket` bytes that fit in one otherwise idle frame.
constexpr uint32_t BulkPacketsPerFrame(uint32_t maxPacket) {
  return kFrameBytes / TransactionCost(maxPacket);
}

// One URB as the bus driver saw it: what was asked and how it ended.
struct UrbRecord {
  uint64_t id = 0;  // sequence number on this host (also the irpId of its capture packets)
  VirtualTime submitted = 0;
  VirtualTime completed = -1;  // -1 while pending
  uint16_t function = 0;
  // bEndpointAddress of the pipe; 0x00 or 0x80 (by direction) for the default pipe; 0xFF for
  // requests without an endpoint (select configuration).
  uint8_t endpoint = 0xFF;
  bool hasSetup = false;
  SetupPacket setup{};
  uint32_t transferFlags = 0;
  uint32_t requestedLength = 0;  // TransferBufferLength at submission
  uint32_t actualLength = 0;     // TransferBufferLength at completion
  std::vector<uint8_t> outData;  // data sent to the device
  std::vector<uint8_t> inData;   // data received from the device
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
  bool pended = false;    // the dispatch routine returned STATUS_PENDING
  bool injected = false;  // the outcome was forced by fault injection
};

// Selects URBs for fault injection; an unset member matches everything. An endpoint of 0x00 or
// 0x80 selects the default pipe in either direction.
struct UrbFilter {
  std::optional<uint16_t> function;  // URB_FUNCTION_*
  std::optional<uint8_t> endpoint;   // bEndpointAddress
  std::optional<uint8_t> request;    // bRequest of control transfers

  static UrbFilter Function(uint16_t f) { return UrbFilter().AndFunction(f); }
  static UrbFilter Endpoint(uint8_t address) { return UrbFilter().AndEndpoint(address); }
  static UrbFilter Request(uint8_t bRequest) { return UrbFilter().AndRequest(bRequest); }
  UrbFilter AndFunction(uint16_t f) const {
    UrbFilter u = *this;
    u.function = f;
    return u;
  }
  UrbFilter AndEndpoint(uint8_t address) const {
    UrbFilter u = *this;
    u.endpoint = address;
    return u;
  }
  UrbFilter AndRequest(uint8_t bRequest) const {
    UrbFilter u = *this;
    u.request = bRequest;
    return u;
  }
};

class UsbHost;

// One root-hub port with a device plugged in. It is the bus driver of the device's PDO.
class UsbPort {
 public:
  ~UsbPort();
  UsbPort(const UsbPort&) = delete;
  UsbPort& operator=(const UsbPort&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  const std::string& InstancePath() const { return instancePath_; }
  const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return deviceDescriptor_; }
  int PortNumber() const { return portNumber_; }
  uint8_t Address() const { return address_; }
  UsbDevice& Device() { return *device_; }
  UsbHost& Host() { return *host_; }

  bool Connected() const { return connected_; }
  bool Configured() const { return configurationValue_ != 0; }
  uint8_t ConfigurationValue() const { return configurationValue_; }

  // Pulls the device out: pending transfers fail with STATUS_DEVICE_NOT_CONNECTED and
  // USBD_STATUS_DEVICE_GONE (from the DPC), new ones fail at once, and the port reports the device
  // not connected. Safe at any moment, from the test or from a device event.
  void Unplug();

  // Every URB submitted to this port, oldest first (up to the log's capacity).
  const std::deque<UrbRecord>& Urbs() const { return urbs_; }
  std::vector<UrbRecord> UrbsMatching(const UrbFilter& filter) const;
  size_t CountUrbs(const UrbFilter& filter) const;
  void ClearUrbLog();
  void SetUrbLogCapacity(size_t records);  // older records are dropped beyond this

  size_t PendingTransfers() const;  // URBs submitted and not yet completed
  uint32_t PortStatusQueries() const { return portStatusQueries_; }
  uint32_t PortResets() const { return portResets_; }

  // --- Fault injection -------------------------------------------------------------------------
  // The endpoint answers every token with STALL until a CLEAR_FEATURE(ENDPOINT_HALT) for it
  // (sent by URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) reaches the device. For the default
  // pipe (0x00 or 0x80) only the next control transfer stalls.
  void StallEndpoint(uint8_t address);
  // The next `count` URBs matching `filter` fail with these statuses without reaching the device.
  // They pend and complete at the next frame boundary like any transfer, unless synchronous
  // completion is also asked for.
  void FailNext(uint32_t count, NTSTATUS status, USBD_STATUS usbdStatus, UrbFilter filter = {});
  // The IN data stage of the next `count` matching control transfers is truncated or extended to
  // `length` bytes (extension fills with `fill`). A length beyond the caller's buffer is reported
  // in TransferBufferLength but never written past the buffer, as a misbehaving bus would.
  void AnswerControlIn(uint32_t count, uint32_t length, UrbFilter filter = {}, uint8_t fill = 0);
  // The next `count` matching bulk or interrupt OUT transfers end successfully after `length`
  // bytes, reporting only those in TransferBufferLength, as a misbehaving bus would.
  void EndOutEarly(uint32_t count, uint32_t length, UrbFilter filter = {});
  // Completions of the next `count` matching URBs are held back by `delay` of virtual time.
  void DelayCompletions(VirtualTime delay, uint32_t count = UINT32_MAX, UrbFilter filter = {});
  // The next `count` matching control-type URBs (control transfers, select configuration, pipe
  // requests) complete inside IoCallDriver instead of pending.
  void CompleteSynchronously(uint32_t count, UrbFilter filter = {});
  // Requests that would complete inside IoCallDriver pend instead, `percent` of the time, chosen by
  // a generator seeded with `seed` (like the verifier's forced pending); they then complete from
  // the DPC.
  void PendAtRandom(uint64_t seed, uint32_t percent);
  // The next `count` IOCTL_INTERNAL_USB_GET_PORT_STATUS requests fail with `status`.
  void FailPortStatus(uint32_t count, NTSTATUS status);
  // After Unplug, IOCTL_INTERNAL_USB_GET_PORT_STATUS fails with `status` instead of succeeding
  // with the connected bit clear.
  void FailPortStatusWhenUnplugged(NTSTATUS status) { portStatusGoneStatus_ = status; }
  // Whether IOCTL_INTERNAL_USB_RESET_PORT cancels the transfers pending on the device (default yes).
  void SetResetPortCancelsTransfers(bool cancels) { resetCancelsTransfers_ = cancels; }
  // Removes every injected fault.
  void ClearFaults();

  // The bus driver's dispatch routine for the PDO.
  NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp);

  struct Endpoint;
  struct Transfer;
  struct Rule;
  struct State;

 private:
  friend class UsbHost;
  UsbPort(UsbHost& host, UsbDevice& device, int portNumber, uint8_t address);
  // Plug and Play answers of the PDO, as a USB hub gives them for the device on its port
  // (usb_port_pnp.cpp). They allocate the answer from paged pool; the caller frees it.
  NTSTATUS QueryId(BUS_QUERY_ID_TYPE type, ULONG_PTR* information) const;
  NTSTATUS QueryTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR* information) const;
  // Power requests of the PDO, as the hub answers them for the device on its port
  // (usb_port_pnp.cpp).
  NTSTATUS Power(PDEVICE_OBJECT pdo, PIRP irp);
  // The port's power goes away with the system's (hibernation, shutdown): the device's transfers
  // end as cancelled and the device starts over from its power-on state, unconfigured.
  void LosePower();

  UsbHost* host_;
  UsbDevice* device_;
  int portNumber_;
  uint8_t address_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::string instancePath_;
  USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
  bool connected_ = true;
  bool uniqueId_ = false;  // the instance id is the device's serial number
  uint8_t configurationValue_ = 0;
  std::deque<UrbRecord> urbs_;
  size_t urbLogCapacity_ = SIZE_MAX;
  uint32_t portStatusQueries_ = 0;
  uint32_t portResets_ = 0;
  std::optional<NTSTATUS> portStatusGoneStatus_;
  bool resetCancelsTransfers_ = true;
  std::unique_ptr<State> state_;
};

// The host controller and its root hub. One per emulated bus; it must outlive every run of the
// machine that uses its devices.
class UsbHost {
 public:
  explicit UsbHost(Machine& machine, uint16_t busNumber = 1);
  ~UsbHost();
  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;

  struct PlugOptions {
    // Instance path of the PDO. Empty: "USB\VID_xxxx&PID_xxxx\" followed by the device's serial
    // number string, or by a port-based instance id when it has none.
    std::string instancePath;
  };
  // Plugs a device into the next free root-hub port: resets it, reads its device descriptor (and
  // serial number string) over the default pipe, and creates its PDO with
  // Machine::CreatePhysicalDevice. The device must outlive the port.
  UsbPort& Plug(UsbDevice& device, PlugOptions options = {});

  const std::vector<std::unique_ptr<UsbPort>>& Ports() const { return ports_; }
  UsbPort* PortOf(PDEVICE_OBJECT pdo) const;
  uint16_t BusNumber() const { return busNumber_; }
  Machine& machine() { return *machine_; }
  Kernel& kernel() { return *kernel_; }

  // Capture of every URB submission and completion on this bus (USBPcap link type).
  bool StartCapture(const std::string& path, std::string* error = nullptr);
  void StopCapture();
  UsbCapture* Capture() { return capture_.get(); }

  // Bus statistics.
  uint64_t FramesProcessed() const { return framesProcessed_; }
  uint64_t Transactions() const { return transactions_; }

  static uint64_t FrameAt(VirtualTime t) { return static_cast<uint64_t>(t / kFrame); }

  struct Impl;

 private:
  friend class UsbPort;
  Machine* machine_;
  Kernel* kernel_;
  uint16_t busNumber_;
  std::unique_ptr<Impl> impl_;
  std::vector<std::unique_ptr<UsbPort>> ports_;
  std::unique_ptr<UsbCapture> capture_;
  uint64_t framesProcessed_ = 0;
  uint64_t transactions_ = 0;
};

}  // namespace emu::usb

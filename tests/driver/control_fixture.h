// A started, open port whose device control requests go to the driver's own dispatcher: every
// control code from application threads, on a configured bridge with a scripted peer on its line,
// the reader thread streaming and writes served by the driver's write path.
#pragma once

#include <string_view>

#include "serial/device_control.h"
#include "write_fixture.h"

namespace drvusb_test {

class ControlPort : public WritePort {
 public:
  explicit ControlPort(emu::zm470::Config chipConfig = {},
                       emu::KernelConfig kernelConfig = test_support::CurrentConfig())
      : WritePort(std::move(chipConfig), kernelConfig) {
    device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
    Call([&] {
      KeSetEvent(&ext()->ReaderEvent, 1, FALSE);
      return STATUS_SUCCESS;
    });
    Settle(5 * emu::kMillisecond);
  }
  explicit ControlPort(emu::KernelConfig kernelConfig) : ControlPort(emu::zm470::Config{}, kernelConfig) {}

  ~ControlPort() {
    if (device == nullptr || file == nullptr) return;
    EXPECT_TRUE(machine.RunInApplicationThread("cancel all", [&] { machine.CancelIo(file); }));
    Settle();
    ext()->Started = FALSE;  // the reader thread goes back to idle
  }

  // A device control request from an application thread, waited for; *information receives the
  // request's Information.
  NTSTATUS Ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                 ULONG_PTR* information = nullptr) {
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(machine.RunInApplicationThread("control", [&] {
      status = machine.DeviceIoControl(file, code, input, inputLength, output, outputLength, information);
    }));
    return status;
  }
  // A code without data.
  NTSTATUS Ioctl(ULONG code) { return Ioctl(code, nullptr, 0, nullptr, 0); }
  // A code that takes `value`.
  template <class T>
  NTSTATUS Set(ULONG code, const T& value) {
    return Ioctl(code, &value, sizeof value, nullptr, 0);
  }
  // A code that answers with a T, expected to succeed with Information sizeof(T).
  template <class T>
  T Get(ULONG code) {
    T value{};
    ULONG_PTR information = 0;
    EXPECT_EQ(Ioctl(code, nullptr, 0, &value, sizeof value, &information), STATUS_SUCCESS)
        << "code " << Hex(code);
    EXPECT_EQ(information, sizeof value) << "code " << Hex(code);
    return value;
  }

  // The modem-control outputs as the far end sees them.
  bool PeerDtr() const { return peer.EndOutputs().dtr; }
  bool PeerRts() const { return peer.EndOutputs().rts; }

  // The peer sends the bytes; runs until the last has left the wire and the reader has had
  // them.
  void Feed(std::string_view bytes) {
    peer.Send(bytes);
    kernel().RunUntil([&] { return peer.SendIdle(); }, kernel().Now() + 10 * emu::kSecond);
    Settle(10 * emu::kMillisecond);
  }
};

}  // namespace drvusb_test

// A configured bridge with a scripted peer on its line and the port started and open, for the
// status monitor and the serial events. The port's device control requests go to a stand-in
// dispatch that serves the wait-mask codes through SetWaitMask and WaitOnMask and the modem
// status code through ReadModemStatus; every request is admitted and completed through the
// request accounting, so PendingRequests shows requests never completed.
#pragma once

#include <deque>

#include "line/far_ends.h"
#include "usb_fixture.h"

namespace drvusb_test {

class StatusPort : public ConfiguredPort {
 public:
  explicit StatusPort(emu::zm470::Config chipConfig = {},
                      emu::KernelConfig kernelConfig = test_support::CurrentConfig());
  ~StatusPort();

  // A wait-on-mask request started on the open file: its status block and result.
  struct Wait {
    IO_STATUS_BLOCK iosb{};
    ULONG result = 0xFFFFFFFF;
    PIRP irp = nullptr;
    bool Done() const { return iosb.Status != STATUS_PENDING; }
  };

  // IOCTL_SERIAL_SET_WAIT_MASK from an application thread; returns its status.
  NTSTATUS SetMask(ULONG mask);
  // Starts IOCTL_SERIAL_WAIT_ON_MASK from an application thread without waiting.
  Wait& StartWait();
  // IOCTL_SERIAL_GET_MODEMSTATUS from an application thread.
  ULONG GetModemStatus();
  // Sets ControlHandShake and FlowReplace as the handflow control code does (under ControlLock).
  void SetHandFlow(ULONG controlHandShake, ULONG flowReplace);
  // Runs the machine for a virtual duration (the status transfer keeps it busy: never idle).
  void Settle(emu::VirtualTime duration = 20 * emu::kMillisecond) { kernel().RunFor(duration); }
  // Bytes the receive ring holds, oldest first.
  std::vector<UCHAR> RingBytes() const;
  // Ends the port's watching and lets the status thread's transfer end (aborting it), so that
  // the machine can finish; checks that every request was completed.
  void Finish();

  emu::line::ScriptedPeer& peer;
  PFILE_OBJECT file = nullptr;
  std::deque<Wait> waits;

 private:
  static NTSTATUS NTAPI OpenClose(PDEVICE_OBJECT, PIRP irp);
  static NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp);
  bool finished_ = false;
};

}  // namespace drvusb_test

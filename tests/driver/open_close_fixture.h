// A configured bridge with a scripted peer on its line and the port started but not open, for the
// file handle's open, cleanup and close. The driver serves create, cleanup, close and the file
// information requests itself; reads and writes go through the request queues to a stand-in
// service that parks each current request, and the wait-mask codes go to SetWaitMask and
// WaitOnMask. Everything is admitted and completed through the request accounting.
#pragma once

#include <string>

#include "line/far_ends.h"
#include "usb_fixture.h"

namespace drvusb_test {

class OpenClosePort : public ConfiguredPort {
 public:
  explicit OpenClosePort(emu::KernelConfig kernelConfig = test_support::CurrentConfig(),
                         emu::zm470::Config chipConfig = {});

  // The port's DOS name ("\DosDevices\COMn"), as an application opens it.
  std::u16string DosName() const;
  // Opens by the DOS name from an application thread; *file receives the handle on success.
  NTSTATUS Open(PFILE_OBJECT* file);
  // Cleanup and close from an application thread.
  NTSTATUS Close(PFILE_OBJECT file);
  // Starts a read or write (its length) or a device control request (its code) without
  // waiting; the status block is written when it completes.
  void Start(PFILE_OBJECT file, UCHAR major, ULONG lengthOrCode, IO_STATUS_BLOCK* iosb);
  // Finishes the read `irp`, if it is still the current one, with STATUS_SUCCESS as the read
  // path would; false when its cancellation took it first.
  bool FinishRead(PIRP irp);
  // Elapsed virtual time of fn, run in an application thread.
  emu::VirtualTime Timed(std::function<void()> fn);
  // ModemControl bits as the far end sees them.
  bool PeerDtr() { return peer.EndOutputs().dtr; }
  bool PeerRts() { return peer.EndOutputs().rts; }

  emu::line::ScriptedPeer& peer;
  std::vector<UCHAR> buffer;
};

}  // namespace drvusb_test

// A port whose read, write and device control requests go through the request queues, served by
// stand-ins for the read and transmit service code that the tests steer: a request is finished at
// once (a read takes what the ring holds), parked with a cancel routine, or kept busy without one
// until the test finishes it. IOCTL_SERIAL_WAIT_ON_MASK requests are held in WaitIrp.
#pragma once

#include <vector>

#include "driver_fixture.h"
#include "rx/receive_ring.h"
#include "serial/request_queue.h"

namespace tarnwire::testing {

// How the stand-in service code treats a request that becomes current.
enum class Service { Immediate, Park, Busy };

// One direction: its list, slot and parked marker, and how its requests are served.
struct Direction {
  PLIST_ENTRY queue;
  PIRP* slot;
  PIRP* parked;
  Service service = Service::Park;
};

class QueueTest : public LoadedDriverTest {
 public:
  // The test running, for the stand-in service code.
  static inline QueueTest* self = nullptr;
  Direction& reads() { return reads_; }
  Direction& transmit() { return transmit_; }

 protected:
  using LoadedDriverTest::LoadedDriverTest;
  void SetUp() override;
  void TearDown() override;

  PPORT_EXTENSION ext() { return Ext(port_); }
  PDEVICE_OBJECT port() { return port_; }
  PFILE_OBJECT file() { return file_; }

  // Starts a request on the open file without waiting; its status block lands in the returned
  // slot of statuses(). `length` is a read's length, a write's length, or for a device control
  // request its code.
  size_t Start(UCHAR major, ULONG length);
  const IO_STATUS_BLOCK& Status(size_t request) const { return *statuses_[request]; }
  // The IRP of a request, as its dispatch routine received it.
  PIRP Irp(size_t request) const { return irps_[request]; }
  // Runs code in a system thread until it ends.
  void InThread(std::function<void()> body) { ASSERT_TRUE(machine().RunInSystemThread("test", body)); }
  // Cancels a request as the I/O manager does; returns whether a cancel routine ran.
  BOOLEAN Cancel(size_t request);
  // Finishes the current request of the direction with STATUS_SUCCESS and the next sequence
  // number as its Information, as a completion path of the service code would; false when there
  // was none or its cancellation had already taken it. Starts the next request.
  static bool Finish(Direction& d);
  // Bytes stored in the ring (RingPutByte) from a system thread.
  void Put(std::vector<UCHAR> bytes);

  // Requests arrive already flagged as cancelled.
  bool cancelOnArrival = false;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI OpenClose(PDEVICE_OBJECT device, PIRP irp);

  PDEVICE_OBJECT port_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  Direction reads_{}, transmit_{};
  std::vector<std::unique_ptr<IO_STATUS_BLOCK>> statuses_;
  std::vector<std::unique_ptr<std::vector<UCHAR>>> buffers_;
  std::vector<PIRP> irps_;
};

// Completes a held wait-on-mask request as its own cancel routine would.
VOID NTAPI CancelWaitStandIn(PDEVICE_OBJECT device, PIRP irp);

}  // namespace tarnwire::testing

// Request accounting: which requests AdmitRequest lets through, and PendingRequests around them.
// The port's own dispatch routines come with later work; here a dispatch routine of the test
// admits each request and completes the admitted ones as a dispatch routine of the port would.
#include "driver/request_accounting.h"
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

constexpr ULONG_PTR kServedInformation = 7;

NTSTATUS NTAPI AdmitAndServe(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  irp->IoStatus.Information = kServedInformation;
  return CompleteRequest(PortExtension(device), irp, IO_SERIAL_INCREMENT);
}

class AdmissionTest : public DriverTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(STATUS_SUCCESS, Load());
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION}) {
      driver()->MajorFunction[major] = AdmitAndServe;
    }
    port_ = AddBridge();
    ASSERT_NE(nullptr, port_);
    ext_ = Ext(port_);
  }
  void TearDown() override { RemoveAllAndUnload(); }

  void OpenStartedPort() {
    ext_->Started = TRUE;
    ext_->OpenState = PORT_OPEN;
  }

  // Sends the request to the port and checks that it left nothing counted.
  NTSTATUS Send(UCHAR major, ULONG code = 0, LONGLONG byteOffset = 0) {
    emu::IoRequest request;
    request.majorFunction = major;
    request.ioControlCode = code;
    request.byteOffset = byteOffset;
    NTSTATUS status = STATUS_PENDING;
    information_ = ~ULONG_PTR{0};
    EXPECT_TRUE(machine().RunInSystemThread(
        "request", [&] { status = machine().io().SendToStack(port_, request, &information_); }));
    EXPECT_EQ(0, ext_->PendingRequests)
        << "request of major function " << int(major) << " is still counted after its completion";
    return status;
  }

  PDEVICE_OBJECT port_ = nullptr;
  PPORT_EXTENSION ext_ = nullptr;
  ULONG_PTR information_ = 0;
};

TEST_F(AdmissionTest, RefusesRequestsUnlessStartedOpenAndNotRemoved) {
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(IRP_MJ_READ)) << "port not started";
  EXPECT_EQ(0u, information_) << "a refused request carries Information";
  ext_->Started = TRUE;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(IRP_MJ_WRITE)) << "started, no handle open";
  ext_->OpenState = PORT_OPENING;
  EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_WRITE)) << "a handle being opened";
  ext_->OpenState = PORT_OPEN;
  EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE));
  EXPECT_EQ(kServedInformation, information_);
  ext_->Removed = TRUE;
  EXPECT_EQ(STATUS_DELETE_PENDING, Send(IRP_MJ_READ)) << "surprise-removed while open";
  ext_->Started = FALSE;
  EXPECT_EQ(STATUS_DELETE_PENDING, Send(IRP_MJ_QUERY_INFORMATION)) << "removed and stopped";
}

TEST_F(AdmissionTest, ErrorAbortAdmitsOnlyTheCommStatusQueryWhileErrorsAreRecorded) {
  OpenStartedPort();
  ext_->CommErrors = SERIAL_ERROR_FRAMING;
  EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_WRITE)) << "errors without SERIAL_ERROR_ABORT block requests";

  ext_->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
  EXPECT_EQ(STATUS_CANCELLED, Send(IRP_MJ_WRITE));
  EXPECT_EQ(0u, information_);
  EXPECT_EQ(STATUS_CANCELLED, Send(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE));
  EXPECT_EQ(STATUS_CANCELLED, Send(IRP_MJ_FLUSH_BUFFERS));
  // The code alone does not admit a request: it must be a device control request. (A write's
  // ByteOffset lies where a device control request keeps its code.)
  static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) ==
                offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode));
  EXPECT_EQ(STATUS_CANCELLED, Send(IRP_MJ_WRITE, 0, IOCTL_SERIAL_GET_COMMSTATUS));
  EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS));

  ext_->CommErrors = 0;  // what the comm status query does
  EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_WRITE)) << "requests still refused after the errors were cleared";
}

}  // namespace
}  // namespace tarnwire::testing

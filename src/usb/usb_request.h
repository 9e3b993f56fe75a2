// Synchronous USB requests to the lower (hub) driver: URB submission, the hub's port status, pipe
// abort/reset and draining of in-flight transfers, plus the borrowing rule for the port's control
// URB block. All routines block the caller and run at PASSIVE_LEVEL only.
#pragma once

#include "driver/platform.h"

// Pipe selectors understood by PipeRequest.
#define PIPE_SELECT_INTERRUPT 5  // InterruptPipe, endpoint 0x81
#define PIPE_SELECT_BULK_IN 6    // BulkInPipe, endpoint 0x82
#define PIPE_SELECT_BULK_OUT 7   // BulkOutPipe, endpoint 0x02

// Size of a private URB block for pipe and vendor requests (96 bytes on x86). The port's own
// control URB area must be at least this large.
#define SMALL_URB_BLOCK_SIZE ((ULONG)sizeof(URB))

// Sends one URB down the stack (IOCTL_INTERNAL_USB_SUBMIT_URB) and waits for it. STATUS_TIMEOUT
// from below is reported as STATUS_IO_TIMEOUT.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Asks the hub for the port status (IOCTL_INTERNAL_USB_GET_PORT_STATUS). *PortStatus is in/out:
// the device-gone statuses yield STATUS_SUCCESS with USBD_PORT_CONNECTED cleared and the other
// preset bits kept.
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);

// Resets the hub port of the device (IOCTL_INTERNAL_USB_RESET_PORT) and waits for it, counted in
// UsbBusyCount like every request to the lower driver. The hub restores the configuration.
NTSTATUS ResetUsbPort(PDEVICE_OBJECT DeviceObject);

// Aborts (URB_FUNCTION_ABORT_PIPE) or resets (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) one
// of the data pipes, chosen by a PIPE_SELECT_* code. STATUS_NO_SUCH_DEVICE when the pipe is unknown;
// a reset of a port that is not started is refused with STATUS_DEVICE_NOT_READY.
NTSTATUS PipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, ULONG PipeSelector);

// Recovery after a failed transfer on a data pipe: unless the hub reports the device gone or the
// port is removed or being removed, the pipe is reset (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).
// A failed port status query counts as connected.
VOID ResetPipeAfterFailure(PDEVICE_OBJECT DeviceObject, ULONG PipeSelector);

// Waits until in-flight transfers are done, aborting the busy pipes (or, on chips below 0x20,
// resetting the hub port for a stuck status transfer). With abortAll FALSE only the transmit side
// is waited for, and for a bounded time: a writer that keeps sending is not waited out.
VOID DrainUsbTransfers(PDEVICE_OBJECT DeviceObject, BOOLEAN abortAll);

// Control URB block borrowing: takes the port's block out of ControlUrbSlot (*Borrowed TRUE), or,
// while another thread holds it, allocates a private nonpaged block of FreshSize bytes (*Borrowed
// FALSE). NULL when that allocation fails. The block is zeroed either way.
PURB BorrowControlUrb(PDEVICE_OBJECT DeviceObject, ULONG FreshSize, PBOOLEAN Borrowed);
// Gives back a block from BorrowControlUrb: the port's block returns to the slot, a private block
// is freed.
VOID ReturnControlUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN Borrowed);

// The device control dispatcher: admission, the buffer length checks, selection by control code
// and completion.
#include "serial/device_control.h"

#include "driver/request_accounting.h"
#include "serial/comm_properties.h"
#include "serial/control_buffer.h"
#include "serial/modem_control.h"
#include "serial/purge_control.h"
#include "serial/settings_control.h"
#include "serial/status_control.h"
#include "tx/serial_events.h"
#include "tx/xoff_counter.h"
#include "usb/modem_lines.h"
#include "usb/pass_through.h"
#include "usb/port_init.h"

namespace {

// The least input and output lengths of the standard codes that take or return data.
const struct {
  ULONG Code;
  ULONG Input;
  ULONG Output;
} kLeastLengths[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, COMM_PROPERTIES_SIZE},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0},
    {IOCTL_BRIDGE_PASSTHROUGH, PASS_THROUGH_HEADER_SIZE, 0},
};

static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12 && sizeof(SERIAL_HANDFLOW) == 16 &&
                  sizeof(SERIAL_STATUS) == 20 && sizeof(SERIALPERF_STATS) == 24 &&
                  sizeof(SERIAL_LINE_CONTROL) == 3,
              "layouts of the control codes' buffers");

// Whether the request's buffers are long enough for its code (codes without data always are).
BOOLEAN LengthsSuffice(PIRP Irp, ULONG Code) {
  for (const auto& least : kLeastLengths) {
    if (least.Code == Code)
      return ControlInputLength(Irp) >= least.Input && ControlOutputLength(Irp) >= least.Output;
  }
  return TRUE;
}

}  // namespace

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  if (!LengthsSuffice(Irp, code)) {
    Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    return CompleteRequest(port, Irp, IO_NO_INCREMENT);
  }
  switch (code) {
    case IOCTL_BRIDGE_PASSTHROUGH:
      status = PassThroughRequest(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_BAUD_RATE:
      status = SetBaudRateControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
      status = GetBaudRateControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      status = SetLineControlControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      status = GetLineControlControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      status = SetTimeoutsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      status = GetTimeoutsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_CHARS:
      status = SetCharsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_CHARS:
      status = GetCharsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_HANDFLOW:
      status = SetHandFlowControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_HANDFLOW:
      status = GetHandFlowControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_LSRMST_INSERT:
      status = SetEscapeCharControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:  // the receive ring has a fixed size
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
      status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_SET_BREAK_ON:
      status = SetBreak(DeviceObject, TRUE);
      break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
      status = SetBreak(DeviceObject, FALSE);
      break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      status = TransmitImmediate(DeviceObject, *(PUCHAR)ControlBuffer(Irp));
      break;
    case IOCTL_SERIAL_RESET_DEVICE:
      status = InitializePort(DeviceObject, FALSE);
      break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
      status = DtrControl(DeviceObject, code == IOCTL_SERIAL_SET_DTR);
      break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
      status = RtsControl(DeviceObject, code == IOCTL_SERIAL_SET_RTS);
      break;
    case IOCTL_SERIAL_SET_XOFF:
      status = SetXoffControl(DeviceObject);
      break;
    case IOCTL_SERIAL_SET_XON:
      status = SetXonControl(DeviceObject);
      break;
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
      status = GetModemOutputsControl(DeviceObject, Irp, code == IOCTL_SERIAL_GET_MODEM_CONTROL);
      break;
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
      status = SetModemOutputsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      status = GetModemStatusControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
      status = GetWaitMaskControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
      status = SetWaitMask(port, *(PULONG)ControlBuffer(Irp));
      break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
      status = WaitOnMask(port, Irp);
      break;
    case IOCTL_SERIAL_PURGE:
      status = PurgeControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      status = GetCommStatusControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_GET_STATS:
      status = GetStatsControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_CLEAR_STATS:
      status = ClearStatsControl(DeviceObject);
      break;
    case IOCTL_SERIAL_GET_PROPERTIES:
      status = GetPropertiesControl(DeviceObject, Irp);
      break;
    case IOCTL_SERIAL_CONFIG_SIZE:
      status = ReturnUlong(Irp, 0);
      break;
    case IOCTL_SERIAL_XOFF_COUNTER:
      if (((PSERIAL_XOFF_COUNTER)ControlBuffer(Irp))->Counter <= 0) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      // The request joins the write queue, which completes it.
      return StartXoffCounter(DeviceObject, Irp);
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (status == STATUS_PENDING) return status;
  Irp->IoStatus.Status = status;
  return CompleteRequest(port, Irp, IO_NO_INCREMENT);
}

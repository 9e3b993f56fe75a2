// The reply announcement thread of the escape commands.
#include "tx/reply_notify.h"

#include "driver/driver_globals.h"
#include "rx/read_request.h"
#include "tx/serial_events.h"

namespace {

const KPRIORITY kReplyNotifyPriority = 16;

}  // namespace

VOID StartReplyNotify(PPORT_EXTENSION Ext) {
  // Counted before it exists: a count taken by the thread itself would come too late for a
  // removal that begins once the command's request has completed.
  InterlockedIncrement(&Ext->ThreadCount);
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, 0, NULL, NULL, NULL, ReplyNotifyThread, Ext->DeviceObject);
  if (NT_SUCCESS(status)) {
    ZwClose(thread);
  } else {
    InterlockedDecrement(&Ext->ThreadCount);
  }
}

VOID NTAPI ReplyNotifyThread(PVOID StartContext) {
  PPORT_EXTENSION port = PortExtension((PDEVICE_OBJECT)StartContext);
  (VOID) KeSetPriorityThread(KeGetCurrentThread(), kReplyNotifyPriority);
  if (PortThreadsMayRun(port)) {
    // The reply counts as one received character; no other receive event applies to it.
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    if (port->WaitMask & SERIAL_EV_RXCHAR) port->EventHistory |= SERIAL_EV_RXCHAR;
    KeReleaseSpinLock(&port->ControlLock, irql);
    DeliverEvents(port);
    KickParkedRead(port);
  }
  // The extension may be freed as soon as the count reaches 0: nothing of it is used after this.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

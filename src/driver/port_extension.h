// The port extension: the per-port record held in each port device object's extension, and the
// layout of the port buffer block that holds the port's names, URB areas and receive ring.
#pragma once

#include "driver/platform.h"

// --- Port buffer block ---------------------------------------------------------------------------
// One nonpaged block per port, allocated by add-device and freed at teardown:
//   0    64  DeviceName characters ("\Device\Serial" and a number)
//   64   64  DosLinkName characters ("\DosDevices\" and the port name)
//   128  64  port name characters (PortName and WmiPortName)
//   192  64  not used
//   256  A   control URB area (ControlUrbSlot)
//   +A   A   status monitor URB area (StatusUrbBlock)
//   +2A  A   writer URB area (WriteUrbBlock)
//   +3A      receive ring (RingBase), RING_BUFFER_SIZE bytes
// A URB area holds the largest URB the driver builds in it: 128 bytes on x86, where the block is
// exactly 0x11000 bytes with the ring at 640. Pointers are twice as wide on x64 and on a 64-bit
// host and so are the URBs; there the areas are 192 bytes and the block grows by what they add
// (0x110C0 bytes, ring at 832, on x64). The ring has the same size on all.
#define PORT_NAME_BUFFER_SIZE 64
#define DEVICE_NAME_OFFSET 0
#define DOS_LINK_NAME_OFFSET 64
#define PORT_NAME_OFFSET 128
#define URB_AREAS_OFFSET 256
#define PORT_URB_AREA_SIZE (sizeof(PVOID) == 4 ? 128u : 192u)
#define CONTROL_URB_OFFSET (URB_AREAS_OFFSET)
#define STATUS_URB_OFFSET (URB_AREAS_OFFSET + PORT_URB_AREA_SIZE)
#define WRITE_URB_OFFSET (URB_AREAS_OFFSET + 2 * PORT_URB_AREA_SIZE)
#define RING_OFFSET (URB_AREAS_OFFSET + 3 * PORT_URB_AREA_SIZE)
#define RING_BUFFER_SIZE 68992u
#define PORT_BUFFER_BLOCK_SIZE (RING_OFFSET + RING_BUFFER_SIZE)

static_assert(sizeof(PVOID) != 4 || (RING_OFFSET == 640 && PORT_BUFFER_BLOCK_SIZE == 0x11000),
              "x86 port buffer block layout");
#if defined(TARNWIRE_WINDOWS) && defined(_WIN64)
static_assert(RING_OFFSET == 832 && PORT_BUFFER_BLOCK_SIZE == 0x110C0, "x64 port buffer block layout");
#endif
static_assert(RING_BUFFER_SIZE == 0x11000 - 640, "receive ring size");
static_assert(sizeof(URB) <= PORT_URB_AREA_SIZE, "a URB area holds any fixed-size URB");

// Most port devices that exist at a time (slots of DeviceTable).
#define MAX_PORT_DEVICES 16

// OpenState values.
#define PORT_CLOSED 0
#define PORT_OPENING 1
#define PORT_OPEN 2

// ModemControl bits: the modem-control outputs, set while asserted. The chip takes the complement.
#define MODEM_CONTROL_OUT1 0x10
#define MODEM_CONTROL_DTR 0x20
#define MODEM_CONTROL_RTS 0x40

// TxHoldFlags bits: reasons that hold transmission.
#define TX_HOLD_CTS 0x01
#define TX_HOLD_DSR 0x02
#define TX_HOLD_DCD 0x04
#define TX_HOLD_XOFF 0x08
#define TX_HOLD_BREAK 0x10

// RxHoldFlags bits: reasons the far end is asked to hold its transmission.
#define RX_HOLD_DTR 0x01
#define RX_HOLD_XOFF 0x02
#define RX_HOLD_RTS 0x04
#define RX_HOLD_DSR 0x08

// --- Port extension --------------------------------------------------------------------------------
typedef struct _PORT_EXTENSION {
  ULONG SerialIndex;                    // port number N
  PDEVICE_OBJECT DeviceObject;          // this port's device object
  UNICODE_STRING DeviceName;            // "\Device\Serial" and N
  UNICODE_STRING DosLinkName;           // "\DosDevices\" and the port name; Buffer NULL once deleted
  UNICODE_STRING PortName;              // the COM name
  UNICODE_STRING InterfaceName;         // COM-port interface; Buffer non-NULL while registered
  PDEVICE_OBJECT PhysicalDeviceObject;  // the PDO
  PDEVICE_OBJECT LowerDeviceObject;     // the device below in the stack
  USBD_PIPE_HANDLE InterruptPipe;
  USBD_PIPE_HANDLE BulkInPipe;
  USBD_PIPE_HANDLE BulkOutPipe;
  LONG PendingRequests;  // counted requests not yet completed (interlocked)
  LONG UsbBusyCount;     // requests to the lower USB driver in flight
  UCHAR OpenState;       // PORT_CLOSED, PORT_OPENING, PORT_OPEN
  UCHAR Started;
  UCHAR Removed;
  UCHAR RemovePending;
  LONG ThreadCount;      // running port threads (interlocked)
  PVOID ControlUrbSlot;  // exchange slot of the control URB area
  PUCHAR RingBase;
  ULONG RingSize;
  ULONG RingHighWater;
  PUCHAR RingWritePtr;
  PUCHAR RingReadPtr;
  LONG RingCount;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_CHARS SpecialChars;
  SERIAL_HANDFLOW HandFlow;
  SERIALPERF_STATS PerfStats;
  UCHAR Parity;
  UCHAR DataMask;
  UCHAR StopBits;
  ULONG BaudRate;
  KSPIN_LOCK ControlLock;  // guards the settings
  FAST_MUTEX OpenMutex;    // guards open and close
  ULONG WaitMask;
  ULONG EventHistory;
  ULONG TxHoldFlags;
  ULONG RxHoldFlags;
  ULONG CommErrors;  // SERIAL_ERROR_* bits
  UCHAR EscapeChar;
  UCHAR ModemControl;
  UCHAR ModemStatus;
  PUCHAR BufferBlock;  // the port buffer block
  LONG Reg12Cache;     // chip register caches, -1 when unknown
  LONG Reg13Cache;
  LONG Reg2CCache;
  LONG Reg18Cache;
  LONG Reg25Cache;
  ULONG ChipVersion;
  ULONG LineStatus;
  ULONG ProductId;
  ULONG BulkInLength;
  KEVENT StatusEvent;  // wakes the status monitor thread
  KDPC WaitDpc;        // completes the wait-on-mask request
  PIRP WaitIrp;
  PVOID StatusUrbBlock;  // URB area of the status monitor thread
  LONG InterruptBusy;
  ULONG RtsToggleCount;
  LIST_ENTRY ReadQueue;
  KEVENT ReaderEvent;  // wakes the reader thread
  KTIMER ReadTotalTimer;
  KDPC ReadTotalDpc;
  BOOLEAN ReadTotalTimerSet;
  KTIMER ReadIntervalTimer;
  KDPC ReadIntervalDpc;
  KDPC ReadContinueDpc;
  PIRP CurrentRead;
  PIRP ReadParked;
  LONG BulkInBusy;
  PVOID BulkInBlock;
  PVOID BulkInFreeList;
  PVOID BulkInBusyList;
  BOOLEAN ReadIntervalTimerSet;
  BOOLEAN ReadContinueQueued;
  LIST_ENTRY WriteQueue;
  KEVENT WriterEvent;      // wakes the writer thread
  KEVENT WriteAbortEvent;  // makes the writer abort its bulk-out transfer
  KDPC WriteCompleteDpc;
  PIRP CurrentWrite;
  PIRP WriteParked;
  PVOID WriteUrbBlock;  // URB area of the writer thread
  LONG BulkOutBusy;
  ULONG TxPending;
  ULONG XoffCountdown;
  KTIMER XoffCounterTimer;
  KDPC XoffCounterTimeoutDpc;
  PIRP XoffCounterIrp;
  BOOLEAN XoffCounterTimerSet;  // XoffCounterTimer runs for XoffCounterIrp (cancel spin lock)
  LONG XoffCounterStaleDpcs;    // expiries whose request ended before their DPC ran (cancel spin lock)
  WMILIB_CONTEXT WmiLibContext;
  UNICODE_STRING WmiPortName;
  SERIAL_WMI_COMM_DATA WmiCommData;
  UCHAR WmiHwData[32];
  SERIALPERF_STATS WmiPerfStats;

  // --- Receive flow control: holds released as the ring drains (rx/receive_flow_work.h) ---
  PIO_WORKITEM FlowWorkItem;  // raises and releases the receive holds at PASSIVE_LEVEL; add-device
  LONG FlowWorkQueued;        // 1 while the item is queued or its routine runs (interlocked)
  KEVENT FlowLock;            // runs the receive flow rules one at a time (rx/receive_flow.cpp)

  // --- Modem-control outputs (usb/modem_lines.cpp) ---
  KEVENT ModemControlLock;  // held from a change of ModemControl until the chip has the new byte
} PORT_EXTENSION, *PPORT_EXTENSION;

inline PPORT_EXTENSION PortExtension(PDEVICE_OBJECT DeviceObject) {
  return (PPORT_EXTENSION)DeviceObject->DeviceExtension;
}

// The lifecycle bytes (Started, Removed, RemovePending, OpenState) are written by the Plug and
// Play and open/close paths and read without a lock by the port threads, DPCs and the admission
// of requests: single-byte atomic accesses (plain moves on x86).
inline UCHAR ReadPortFlag(const UCHAR* Flag) { return __atomic_load_n(Flag, __ATOMIC_ACQUIRE); }
inline VOID SetPortFlag(UCHAR* Flag, UCHAR Value) { __atomic_store_n(Flag, Value, __ATOMIC_RELEASE); }

// OpenState changes under OpenMutex.
inline UCHAR ReadOpenState(const PORT_EXTENSION* Port) { return ReadPortFlag(&Port->OpenState); }
inline VOID SetOpenState(PPORT_EXTENSION Port, UCHAR State) { SetPortFlag(&Port->OpenState, State); }

// ChipVersion is learnt again by every start while the port threads, which never stop, read it.
inline ULONG ReadChipVersion(const PORT_EXTENSION* Port) {
  return __atomic_load_n(&Port->ChipVersion, __ATOMIC_ACQUIRE);
}
inline VOID SetChipVersion(PPORT_EXTENSION Port, ULONG Version) {
  __atomic_store_n(&Port->ChipVersion, Version, __ATOMIC_RELEASE);
}

// BaudRate changes under ControlLock and is read without it by the time-out and close paths.
inline ULONG ReadBaudRate(const PORT_EXTENSION* Port) {
  return __atomic_load_n(&Port->BaudRate, __ATOMIC_RELAXED);
}
inline VOID StoreBaudRate(PPORT_EXTENSION Port, ULONG Rate) {
  __atomic_store_n(&Port->BaudRate, Rate, __ATOMIC_RELAXED);
}

// The writer thread and IMMEDIATE_CHAR count transmitted bytes at the same time as the reader
// counts received ones; every change of the statistics is made under ControlLock.
inline VOID CountTransmittedBytes(PPORT_EXTENSION Port, ULONG Bytes) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  Port->PerfStats.TransmittedCount += Bytes;
  Port->WmiPerfStats.TransmittedCount += Bytes;
  KeReleaseSpinLock(&Port->ControlLock, irql);
}

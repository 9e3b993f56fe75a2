// The test bus driver: a root-enumerated bus whose children are emulated ZM470 bridges, each a USB
// device PDO that answers its function driver's URBs with the chip model of bridge_chip.h.
#pragma once

#include "bridge_chip.h"
#include "testbus_control.h"

// Bridge 0 has a loopback plug; bridges 1 and 2 are joined by a null-modem cable.
#define TESTBUS_BRIDGES 3
#define TESTBUS_CABLE_A 1
#define TESTBUS_CABLE_B 2
#define TESTBUS_TAG 'bTsT'

struct BusExtension;

// A pipe handle is the address of its Pipe.
struct Pipe {
  UCHAR EndpointAddress;
  LIST_ENTRY Pending;  // IRPs waiting on this pipe, linked through Tail.Overlay.ListEntry
};

struct BridgeExtension {
  BOOLEAN IsBus;  // FALSE: first member of both extensions
  BusExtension* Bus;
  ULONG Index;
  BOOLEAN Present;    // plugged into the bus
  BridgeChip Chip;
  Pipe Pipes[3];      // bulk in, bulk out, interrupt in
  ULONG OutProgress;  // bytes of the first pending bulk-out transfer already in the TX FIFO
  ULONGLONG LastTick;
  // The line's record: the last TESTBUS_LINE_EVENTS breaks begun or ended, a ring from RecordNext.
  BOOLEAN BreakOn;
  TESTBUS_LINE_EVENT Record[TESTBUS_LINE_EVENTS];
  ULONG RecordNext, RecordCount;
};

struct BusExtension {
  BOOLEAN IsBus;  // TRUE
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  KSPIN_LOCK Lock;  // guards every bridge's chip, pipes and presence
  KTIMER Timer;
  KDPC TimerDpc;
  BOOLEAN TimerRunning;
  PDEVICE_OBJECT Bridges[TESTBUS_BRIDGES];  // the bridges plugged in; an unplugged one leaves its slot
  BOOLEAN Unplugged[TESTBUS_BRIDGES];       // the slot stays empty until plugged again
  UNICODE_STRING LinkName;
};

// usb_function.cpp: the child's USB side.
NTSTATUS BridgeInternalControl(PDEVICE_OBJECT Device, PIRP Irp);
// Moves time on for every bridge and completes what became complete. Called from the bus's timer DPC.
VOID BridgeTick(BusExtension* Bus);
// Fails every pending transfer of the bridge (it was unplugged or removed). Lock held; IRPs go to Done.
VOID BridgeFailPending(BridgeExtension* Bridge, PLIST_ENTRY Done);
VOID CompleteList(PLIST_ENTRY Done);
// Copies the bridge's line record, oldest event first. Lock held.
VOID BridgeReadRecord(BridgeExtension* Bridge, TESTBUS_LINE_RECORD* Out);

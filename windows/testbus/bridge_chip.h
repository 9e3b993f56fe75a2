// A ZM470 bridge for the test bus driver: the chip's vendor requests, registers and UART, built for
// the kernel. It uses the driver's own register and request map (usb/chip_registers.h) so that the
// two cannot drift apart, shares the chip model's rate and format rules (emu/zm470/uart_rules.h: the
// rate that registers 0x12/0x13 select, the frame that register 0x18 selects) and follows its other
// rules (emu/zm470): finite FIFOs, modem outputs active low in the modem-control byte, the 4-byte
// interrupt report. It is revision 0x30 only and
// runs in real time: BridgeAdvance moves characters as the elapsed time allows. The far end is a
// loopback plug (TX to RX, RTS to CTS, DTR to DSR and DCD) or, once BridgeJoinByNullModem joined two
// chips, the other chip through a null-modem cable (TX to its RX both ways, RTS to its CTS, DTR to its
// DSR and DCD). A break holds the transmitter but reaches no far end. Not thread-safe: the caller
// serialises every call, of both chips of a cable.
#pragma once

#include "usb/chip_registers.h"

#define BRIDGE_REVISION 0x30
#define BRIDGE_TX_FIFO 64
#define BRIDGE_RX_FIFO 128
#define BRIDGE_EP_INTERRUPT_IN 0x81
#define BRIDGE_EP_BULK_IN 0x82
#define BRIDGE_EP_BULK_OUT 0x02
#define BRIDGE_BULK_PACKET 32
#define BRIDGE_REPORT_LENGTH 4

struct BridgeChip {
  UCHAR Regs[256];
  UCHAR ModemControl;  // outputs active low: 0x10 OUT1, 0x20 DTR, 0x40 RTS
  UCHAR Aux[256];
  UCHAR Tx[BRIDGE_TX_FIFO];
  ULONG TxHead, TxCount;
  UCHAR Rx[BRIDGE_RX_FIFO];
  ULONG RxHead, RxCount;
  UCHAR LineStatus;
  BOOLEAN ReportPending;
  BOOLEAN Cts, Dsr, Dcd;
  BOOLEAN TxBusy;
  // Transmit progress: elapsed time times the rate's clock, against the clock cycles a character takes.
  ULONGLONG Credit;
  ULONGLONG BytesLooped;  // characters put on the line
  BOOLEAN Cabled;         // a null-modem cable instead of the loopback plug
  BridgeChip* Peer;       // the chip at the cable's other end; NULL while that end is unplugged
};

// A vendor request as a setup packet would carry it; the answer of an IN request goes to Data.
struct BridgeSetup {
  BOOLEAN In;
  UCHAR Request;
  USHORT Value, Index;
};

// Power-on state: registers at their defaults, FIFOs empty, outputs deasserted.
void BridgePowerOn(BridgeChip* Chip);
// Joins two powered-on chips by a null-modem cable instead of their loopback plugs.
void BridgeJoinByNullModem(BridgeChip* A, BridgeChip* B);
// Pulls the chip off its cable: the other end's inputs drop and what it sends is lost until a chip is
// joined to it again.
void BridgeLeaveCable(BridgeChip* Chip);
// Whether the transmitter holds a break (line control bit 6 clear or register 5 bit 0 clear).
BOOLEAN BridgeBreakOn(const BridgeChip* Chip);
// Handles a vendor request. Returns FALSE when the chip stalls it; *Length is in/out (room, answered).
BOOLEAN BridgeVendorRequest(BridgeChip* Chip, const BridgeSetup* Setup, PUCHAR Data, PULONG Length);
// Queues bytes for the transmitter; returns how many fit.
ULONG BridgeWrite(BridgeChip* Chip, const UCHAR* Data, ULONG Length);
// Takes up to Length received bytes.
ULONG BridgeRead(BridgeChip* Chip, PUCHAR Data, ULONG Length);
// Takes the pending interrupt report (BRIDGE_REPORT_LENGTH bytes); FALSE when nothing is to report.
BOOLEAN BridgeTakeReport(BridgeChip* Chip, PUCHAR Report);
// Lets Elapsed ticks of a clock of Frequency ticks per second pass on the line. While the receive
// FIFO is full the transmitter waits instead of overrunning it: the bus runs under Wine, whose
// scheduling of the function driver's threads, not the driver, decides how soon bulk-in is read
// again, so the line stretches its time rather than lose bytes for a cause no real bridge has.
// (Overruns are the emulator's to test, on virtual time.)
void BridgeAdvance(BridgeChip* Chip, ULONGLONG Elapsed, ULONGLONG Frequency);
// The device and configuration descriptors; return their length, copying at most Room bytes.
ULONG BridgeDeviceDescriptor(PUCHAR Data, ULONG Room);
ULONG BridgeConfigurationDescriptor(PUCHAR Data, ULONG Room);

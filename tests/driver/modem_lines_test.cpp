// DTR and RTS, the break and the immediate byte as the chip and the port's threads see them.
#include "usb/modem_lines.h"

#include "usb/usb_request.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

const UrbFilter kPairWrites = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x9A);
const UrbFilter kBulkOut = UrbFilter::Function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).AndEndpoint(0x02);

NTSTATUS Dtr(UsbPortMachine& m, BOOLEAN on) {
  return m.Call([&] { return SetDtr(m.device, on); });
}
NTSTATUS Rts(UsbPortMachine& m, BOOLEAN on) {
  return m.Call([&] { return SetRts(m.device, on); });
}
NTSTATUS Break(UsbPortMachine& m, BOOLEAN on) {
  return m.Call([&] { return SetBreak(m.device, on); });
}
NTSTATUS Immediate(UsbPortMachine& m, UCHAR byte) {
  return m.Call([&] { return TransmitImmediate(m.device, byte); });
}

void SetTransmitToggle(UsbPortMachine& m) {
  m.ext()->HandFlow.FlowReplace = (m.ext()->HandFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
}

TEST(ModemOutputs, OnlyAChangeIsSentAndAFailedWriteKeepsTheShadow) {
  ConfiguredPort m;
  EXPECT_EQ(Dtr(m, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Dtr(m, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().Urbs().size(), 1u) << "raising DTR twice must send one request";
  EXPECT_TRUE(m.chip->Outputs().dtr);
  EXPECT_EQ(Dtr(m, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(m.chip->Outputs().dtr);
  EXPECT_EQ(m.usb().Urbs().size(), 2u);

  m.ext()->RtsToggleCount = 3;
  EXPECT_EQ(Rts(m, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->RtsToggleCount, 0u) << "every SetRts ends a pending transmit-toggle drop";
  EXPECT_EQ(m.usb().Urbs().size(), 2u) << "RTS was already dropped";

  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0xA4));
  EXPECT_EQ(Dtr(m, TRUE), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(m.ext()->ModemControl, MODEM_CONTROL_DTR) << "the shadow keeps the requested state";
  EXPECT_FALSE(m.chip->Outputs().dtr);
  EXPECT_EQ(Rts(m, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(m.chip->Outputs().dtr && m.chip->Outputs().rts) << "the next change must send both";
}

TEST(ModemOutputs, DtrAndRtsReachTheChipAs9FByRevision) {
  const struct {
    uint8_t revision, request;
    uint16_t value, index;
  } cases[] = {{0x30, 0xA4, 0x009F, 0}, {0x20, 0xA4, 0x009F, 0}, {0x10, 0x9A, 0x0606, 0x9F9F}};
  for (const auto& c : cases) {
    SCOPED_TRACE("revision " + Hex(c.revision));
    ConfiguredPort m(ChipRevision(c.revision));
    ASSERT_EQ(Dtr(m, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(Rts(m, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(m.ext()->ModemControl, 0x60);
    const auto& last = m.usb().Urbs().back();
    EXPECT_EQ(last.setup.bRequest, c.request);
    EXPECT_EQ(last.setup.wValue, c.value);
    EXPECT_EQ(last.setup.wIndex, c.index);
    EXPECT_TRUE(m.chip->Outputs().dtr && m.chip->Outputs().rts);
  }
}

TEST(SetBreak, ClearsAndRestoresTheReleaseBitsAndHoldsTransmission) {
  ConfiguredPort m;
  m.chip->PokeRegister(0x05, 0x01);
  m.chip->PokeRegister(0x18, 0xC3);
  m.ext()->Reg18Cache = 0xC3;
  ASSERT_EQ(Break(m, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Register(0x05), 0x00);
  EXPECT_EQ(m.chip->Register(0x18), 0x83);
  EXPECT_TRUE(m.chip->BreakRequested());
  EXPECT_EQ(m.ext()->TxHoldFlags, (ULONG)TX_HOLD_BREAK);
  ASSERT_EQ(Break(m, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Register(0x05), 0x01);
  EXPECT_EQ(m.chip->Register(0x18), 0xC3);
  EXPECT_FALSE(m.chip->BreakRequested());
  EXPECT_EQ(m.ext()->TxHoldFlags, 0u);
  EXPECT_EQ(m.usb().CountUrbs(kPairWrites), 2u);
  EXPECT_EQ(m.ext()->Reg18Cache, 0xC3) << "the break leaves the format cache alone";

  // Bits already in the wanted state: read, nothing written; the hold follows the request.
  m.usb().ClearUrbLog();
  m.chip->PokeRegister(0x05, 0x00);
  m.chip->PokeRegister(0x18, 0x83);
  EXPECT_EQ(Break(m, TRUE), STATUS_SUCCESS);
  m.chip->PokeRegister(0x05, 0x01);
  m.chip->PokeRegister(0x18, 0xC3);
  EXPECT_EQ(Break(m, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().CountUrbs(kPairWrites), 0u);
  EXPECT_EQ(m.ext()->TxHoldFlags, 0u);

  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0x95));
  EXPECT_EQ(Break(m, TRUE), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(m.usb().CountUrbs(kPairWrites), 0u) << "nothing may be written after a failed read";
  EXPECT_EQ(m.ext()->TxHoldFlags, (ULONG)TX_HOLD_BREAK) << "the writer holds while a break is asked for";
}

TEST(SetBreak, EndingWakesTheWriterOnlyWhenNothingElseHoldsOrElseTheStatusThreadInToggleMode) {
  ConfiguredPort m;
  const std::string writer = EventName(m, &m.ext()->WriterEvent);
  const std::string status = EventName(m, &m.ext()->StatusEvent);
  IRP write{};
  const struct {
    const char* what;
    bool currentWrite, toggle;
    ULONG otherHolds;
    size_t writerWakes, statusWakes;
  } cases[] = {
      {"no write", false, false, 0, 0, 0},
      {"a current write", true, false, 0, 1, 0},
      {"a current write held by CTS", true, false, TX_HOLD_CTS, 0, 0},
      {"toggle mode, no write", false, true, 0, 0, 1},
      {"toggle mode, a current write", true, true, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m.usb().ClearUrbLog();
    m.ext()->CurrentWrite = c.currentWrite ? &write : NULL;
    m.ext()->TxHoldFlags = c.otherHolds;
    if (c.toggle) SetTransmitToggle(m);
    const size_t writerBefore = Wakes(m, writer), statusBefore = Wakes(m, status);
    m.ext()->RtsToggleCount = 0;
    EXPECT_EQ(Break(m, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(m.usb().Urbs().size(), 0u) << "no break was on: nothing to send";
    EXPECT_EQ(Wakes(m, writer) - writerBefore, c.writerWakes);
    EXPECT_EQ(Wakes(m, status) - statusBefore, c.statusWakes);
    EXPECT_EQ(m.ext()->RtsToggleCount, c.statusWakes) << "the status thread is asked to drop RTS";
  }
  m.ext()->CurrentWrite = NULL;

  // In toggle mode a break raises RTS before it starts.
  m.usb().ClearUrbLog();
  ASSERT_EQ(Break(m, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(m.chip->Outputs().rts);
  ASSERT_GE(m.usb().Urbs().size(), 2u);
  EXPECT_EQ(m.usb().Urbs()[0].setup.bRequest, 0xA4) << "RTS first, then the break registers";
}

TEST(TransmitImmediate, SendsOneByteWithSoftwareParityWhereTheChipNeedsIt) {
  const struct {
    uint8_t revision;
    UCHAR dataMask, parity, sent;
  } cases[] = {
      {0x10, 0x7F, EVEN_PARITY, 0xC3}, {0x10, 0xFF, EVEN_PARITY, 0x43}, {0x30, 0x7F, EVEN_PARITY, 0x43}};
  for (const auto& c : cases) {
    SCOPED_TRACE("revision " + Hex(c.revision) + ", data mask " + Hex(c.dataMask));
    ConfiguredPort m(ChipRevision(c.revision));
    m.ext()->DataMask = c.dataMask;
    m.ext()->Parity = c.parity;
    ASSERT_EQ(Immediate(m, 0x43), STATUS_SUCCESS);
    const auto sent = m.usb().UrbsMatching(kBulkOut);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].outData, std::vector<uint8_t>{c.sent}) << "wrong bulk-out packet";
    EXPECT_EQ(m.chip->BytesFromHost(), 1u);
    EXPECT_EQ(m.ext()->PerfStats.TransmittedCount, 1u);
    EXPECT_EQ(m.ext()->WmiPerfStats.TransmittedCount, 1u);
    EXPECT_EQ(m.ext()->TxPending, 0u);
    EXPECT_EQ(m.ext()->BulkOutBusy, 0);
    EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock());
  }
}

TEST(TransmitImmediate, InToggleModeRaisesRtsFirstAndLeavesTheDropToTheStatusThread) {
  ConfiguredPort m;
  SetTransmitToggle(m);
  const std::string status = EventName(m, &m.ext()->StatusEvent);
  const size_t before = Wakes(m, status);
  ASSERT_EQ(Immediate(m, 0x55), STATUS_SUCCESS);
  ASSERT_EQ(m.usb().Urbs().size(), 2u);
  EXPECT_EQ(m.usb().Urbs()[0].setup.bRequest, 0xA4) << "RTS must rise before the byte";
  EXPECT_EQ(m.usb().Urbs()[1].endpoint, 0x02);
  EXPECT_TRUE(m.chip->Outputs().rts) << "RTS stays up until the transmitter is empty";
  EXPECT_EQ(m.ext()->RtsToggleCount, 1u);
  EXPECT_EQ(Wakes(m, status) - before, 1u);
}

TEST(TransmitImmediate, AFailedTransferResetsTheBulkOutPipeUnlessTheDeviceIsGoingOrGone) {
  const struct {
    const char* what;
    std::function<void(UsbPortMachine&)> setup;
    bool reset;
  } cases[] = {
      {"connected", [](UsbPortMachine&) {}, true},
      {"port status unknown", [](UsbPortMachine& m) { m.usb().FailPortStatus(1, STATUS_UNSUCCESSFUL); },
       true},
      {"removed", [](UsbPortMachine& m) { m.ext()->Removed = TRUE; }, false},
      {"remove pending", [](UsbPortMachine& m) { m.ext()->RemovePending = TRUE; }, false},
      {"unplugged", [](UsbPortMachine& m) { m.usb().Unplug(); }, false},
      {"asleep", [](UsbPortMachine& m) { m.ext()->Started = FALSE; }, false},
  };
  const UrbFilter resets =
      UrbFilter::Function(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).AndEndpoint(0x02);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConfiguredPort m;
    m.ext()->Started = TRUE;
    m.usb().StallEndpoint(0x02);
    c.setup(m);
    EXPECT_FALSE(NT_SUCCESS(Immediate(m, 0x41)));
    EXPECT_EQ(m.usb().CountUrbs(resets), c.reset ? 1u : 0u);
    EXPECT_EQ(m.ext()->PerfStats.TransmittedCount, 0u);
    EXPECT_EQ(m.ext()->TxPending, 0u);
    if (c.reset) {
      EXPECT_EQ(Immediate(m, 0x41), STATUS_SUCCESS) << "the reset must clear the stall";
    }
  }
}

TEST(TransmitImmediate, UsesAFreshBlockWhileThePortBlockIsLentAndFailsWithoutOne) {
  ConfiguredPort m;
  BOOLEAN borrowed = FALSE;
  PURB held = nullptr;
  m.Call([&] {
    held = BorrowControlUrb(m.device, sizeof(URB), &borrowed);
    return STATUS_SUCCESS;
  });
  ASSERT_TRUE(borrowed);

  m.kernel().FailPoolAllocations(1);
  EXPECT_EQ(Immediate(m, 0x41), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(m.usb().Urbs().size(), 0u);
  EXPECT_EQ(m.ext()->TxPending, 0u);

  const size_t fresh = m.DriverPoolBlocksOfSize(IMMEDIATE_URB_BLOCK_SIZE), pool = m.PoolBlocks();
  NTSTATUS status = STATUS_PENDING;
  m.kernel().StartSystemThread("immediate", [&] { status = TransmitImmediate(m.device, 0x42); });
  ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 1; }));
  EXPECT_EQ(m.DriverPoolBlocksOfSize(IMMEDIATE_URB_BLOCK_SIZE), fresh + 1) << "one full-size private block";
  EXPECT_EQ(m.ext()->TxPending, 1u) << "the byte counts as waiting while it is sent";
  EXPECT_EQ(m.ext()->BulkOutBusy, 1);
  m.kernel().Run();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(m.usb().UrbsMatching(kBulkOut).back().outData, std::vector<uint8_t>{0x42});
  EXPECT_EQ(m.PoolBlocks(), pool) << "the private block was not freed";
  m.Call([&] {
    ReturnControlUrb(m.device, held, borrowed);
    return STATUS_SUCCESS;
  });
  EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock());
}

}  // namespace
}  // namespace drvusb_test

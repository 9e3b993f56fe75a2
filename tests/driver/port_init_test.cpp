// Port initialisation as the chip sees it: request 0xA1 assembled from the register caches, the
// registers programmed afterwards, the revision-specific register 5 fix, and the port state it
// resets whether the chip answers or not.
#include "usb/port_init.h"

#include "line/far_ends.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

const UrbFilter kVendor = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE);
const UrbFilter kInitialize = kVendor.AndRequest(0xA1);

NTSTATUS Initialize(UsbPortMachine& m) {
  return m.Call([&] { return InitializePort(m.device, FALSE); });
}

// The vendor requests of the URB log, as "request wValue wIndex" lines.
std::vector<std::string> VendorRequests(UsbPortMachine& m) {
  std::vector<std::string> out;
  for (const auto& u : m.usb().UrbsMatching(kVendor)) out.push_back(SetupText(u));
  return out;
}

TEST(InitializePort, FirstUseSendsAnEmptyRequestThenProgramsRateAndFormatInFull) {
  ConfiguredPort m(ChipRevision(0x30));
  ASSERT_EQ(Initialize(m), STATUS_SUCCESS);
  const auto requests = VendorRequests(m);
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(requests[0], "40 A1 0000 0000 0") << "no cache is known: nothing to hand over";
  EXPECT_EQ(requests[1], "40 9A 1312 D982 0") << "prescaler and divisor for 19200";
  EXPECT_EQ(requests[2].substr(0, 12), "40 9A 0F2C 0") << "character timing";
  EXPECT_EQ(requests[3], "C0 95 2518 0000 2") << "line control read before it is written";
  EXPECT_EQ(requests[4].substr(0, 10), "C0 95 0706") << "then the modem status is read";
  EXPECT_NEAR(m.chip->LineFrame().baud, 19200, 192);
}

TEST(InitializePort, KnownCachesAreHandedOverAndOnlyDifferingRegistersRewritten) {
  ConfiguredPort m(ChipRevision(0x10));
  ASSERT_EQ(m.ProgramLine(19200, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  PPORT_EXTENSION port = m.ext();
  ASSERT_EQ(port->Reg12Cache, 2);
  ASSERT_EQ(port->Reg13Cache, 0xD9);
  ASSERT_EQ(port->Reg2CCache, 4);
  // Line control as a 0x10 chip might hold it for 8N1.
  port->Reg18Cache = 0x40;
  port->Reg25Cache = 0;
  m.usb().ClearUrbLog();

  ASSERT_EQ(Initialize(m), STATUS_SUCCESS);
  const auto init = m.usb().UrbsMatching(kInitialize);
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].setup.wValue, 0x401F);
  EXPECT_EQ(init[0].setup.wIndex, 0xD902);
  std::vector<std::string> writes;
  for (const auto& u : m.usb().UrbsMatching(kVendor.AndRequest(0x9A))) writes.push_back(SetupText(u));
  EXPECT_EQ(writes, (std::vector<std::string>{"40 9A 0F2C 0004 0"}))
      << "the character timing cache was reduced to 0; every other register is unchanged";
  EXPECT_EQ(m.chip->Register(0x2C), 4);
  EXPECT_NEAR(m.chip->LineFrame().baud, 19200, 192);
}

TEST(InitializePort, Register5IsFixedOnlyOnRevision25) {
  for (uint8_t revision : {0x24, 0x25, 0x26}) {
    SCOPED_TRACE("revision " + Hex(revision));
    ConfiguredPort m(ChipRevision(revision));
    ASSERT_EQ(Initialize(m), STATUS_SUCCESS);
    size_t reads = 0, writes = 0;
    for (const auto& u : m.usb().UrbsMatching(kVendor)) {
      if (u.setup.wValue != 0x0505) continue;
      reads += u.setup.bRequest == 0x95;
      writes += u.setup.bRequest == 0x9A;
    }
    const size_t expected = revision == 0x25 ? 1 : 0;
    EXPECT_EQ(reads, expected);
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(m.chip->Register(0x05) & 0x10, 0) << "bit 4 must be clear after initialisation";
  }
}

TEST(InitializePort, ResetsThePortStateEvenWhenTheChipIsGone) {
  for (bool unplugged : {false, true}) {
    SCOPED_TRACE(unplugged ? "unplugged" : "plugged");
    ConfiguredPort m(ChipRevision(0x30));
    auto& peer = m.PlugFarEnd<emu::line::ScriptedPeer>();
    peer.DriveCts(true);
    peer.DriveDcd(true);
    ASSERT_EQ(m.ProgramLine(9600, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    PPORT_EXTENSION port = m.ext();
    port->RingWritePtr = port->RingBase + 7;
    port->RingReadPtr = port->RingBase + 2;
    port->RingCount = 5;
    port->TxPending = 12;
    port->ModemControl = MODEM_CONTROL_DTR;
    m.usb().ClearUrbLog();
    if (unplugged) m.usb().Unplug();

    const NTSTATUS status = Initialize(m);
    EXPECT_EQ(NT_SUCCESS(status), !unplugged) << Hex(status);
    EXPECT_EQ(port->RingCount, 0);
    EXPECT_EQ(port->RingReadPtr, port->RingWritePtr);
    EXPECT_EQ(port->TxPending, 0u);
    EXPECT_EQ(port->ModemControl, 0) << "the port is not opening: unchanged handshake settings raise nothing";
    if (unplugged) {
      for (LONG cache :
           {port->Reg12Cache, port->Reg13Cache, port->Reg2CCache, port->Reg18Cache, port->Reg25Cache}) {
        EXPECT_EQ(cache, -1) << "a failed request leaves the registers unknown";
      }
      for (const auto& u : m.usb().UrbsMatching(kVendor.AndRequest(0x9A))) {
        EXPECT_EQ(u.setup.wValue, 0x2727)
            << "rate and format are not programmed; only the handshake register is tried";
      }
    } else {
      EXPECT_EQ(port->ModemStatus, 0x90 | 0x09)
          << "the reading starts from 0, so CTS and DCD show as on and changed";
    }
  }
}

TEST(InitializePort, WhileOpeningTheHandshakeSettingsDriveTheOutputs) {
  ConfiguredPort m(ChipRevision(0x30));
  auto& peer = m.PlugFarEnd<emu::line::ScriptedPeer>();
  m.ext()->OpenState = PORT_OPENING;
  m.ext()->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  m.ext()->HandFlow.FlowReplace = 0;
  ASSERT_EQ(Initialize(m), STATUS_SUCCESS);
  EXPECT_TRUE(peer.EndOutputs().dtr);
  EXPECT_FALSE(peer.EndOutputs().rts);
  EXPECT_EQ(m.ext()->ModemControl, MODEM_CONTROL_DTR);
}

}  // namespace
}  // namespace drvusb_test

// The USB pass-through control code on an open port: a bridge plugged into the emulated USB host,
// the driver loaded and started by Plug and Play, a scripted peer on the line, and the requests
// sent as a vendor tool sends them through DeviceIoControl.
#include "usb/pass_through.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "line/far_ends.h"
#include "serial/device_control.h"
#include "usb/usb_request.h"
#include "usb_fixture.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire::testing {
namespace {

constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";
constexpr ULONG kHeader = PASS_THROUGH_HEADER_SIZE;

using Bytes = std::vector<uint8_t>;

// A request buffer: the header (command, data length) and the data area.
Bytes Request(ULONG command, ULONG length, const Bytes& data = {}) {
  Bytes b(kHeader + data.size());
  std::memcpy(b.data(), &command, 4);
  std::memcpy(b.data() + 4, &length, 4);
  std::copy(data.begin(), data.end(), b.begin() + kHeader);
  return b;
}

Bytes SetupBytes(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {type,
          request,
          static_cast<uint8_t>(value),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(index),
          static_cast<uint8_t>(index >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8)};
}

Bytes Selector(ULONG selector) {
  Bytes b(4);
  std::memcpy(b.data(), &selector, 4);
  return b;
}

// What came back: the request's status and Information, and for a request that succeeded the
// header and the returned data (the I/O manager copies nothing back after an error).
struct Reply {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  ULONG headerStatus = 0xFFFFFFFF;
  ULONG headerLength = 0xFFFFFFFF;
  Bytes data;
};

Reply Parse(NTSTATUS status, ULONG_PTR information, const Bytes& out) {
  Reply r;
  r.status = status;
  r.information = information;
  if (NT_SUCCESS(status) && information >= kHeader && information <= out.size()) {
    std::memcpy(&r.headerStatus, out.data(), 4);
    std::memcpy(&r.headerLength, out.data() + 4, 4);
    r.data.assign(out.begin() + kHeader, out.begin() + static_cast<ptrdiff_t>(information));
  }
  return r;
}

// A pass-through request sent from an application thread and not waited for.
struct Pending {
  Bytes in, out;
  IO_STATUS_BLOCK iosb{};
  bool Done() const { return iosb.Status != STATUS_PENDING; }
  Reply Result() const { return Parse(iosb.Status, iosb.Information, out); }
};

class PassThroughTest : public ::testing::Test {
 protected:
  explicit PassThroughTest(emu::KernelConfig config = test_support::CurrentConfig(),
                           emu::zm470::Config chipConfig = {})
      : machine(DriverMachine(config)), chip(chipConfig), host(machine) {
    machine.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  }

  void SetUp() override {
    chip.AttachLine(&peer);
    usbPort = &host.Plug(chip);
    ASSERT_TRUE(machine.pnp().RunUntilIdle()) << "the arrival did not finish";
    pdo = usbPort->Pdo();
    port = PortOf(pdo);
    ASSERT_NE(nullptr, port) << "plugging the bridge created no port";
    ASSERT_EQ(STATUS_SUCCESS, machine.Open(ToU16(PortExtension(port)->DosLinkName), &file));
    peer.SetFrame(chip.LineFrame());
    Settle();
  }

  void TearDown() override {
    if (file != nullptr) (void)machine.Close(file);
    if (usbPort != nullptr) usbPort->Unplug();
    ASSERT_TRUE(machine.pnp().RunUntilIdle()) << "the removal did not finish";
    EXPECT_EQ(nullptr, machine.pnp().LoadedDriver(kServiceName)) << "the driver stayed loaded";
    for (const auto& b : machine.kernel().LivePoolBlocks()) {
      EXPECT_NE(TARNWIRE_POOL_TAG, b.tag) << "the driver left pool behind";
    }
    EXPECT_EQ("", chip.TakeViolationReport());
  }

  void Settle(emu::VirtualTime duration = 20 * ms) { machine.kernel().RunFor(duration); }

  Reply Send(const Bytes& in, ULONG outLength) {
    Bytes out(outLength, 0xEE);
    ULONG_PTR information = 0;
    const NTSTATUS status =
        machine.DeviceIoControl(file, IOCTL_BRIDGE_PASSTHROUGH, in.data(), static_cast<ULONG>(in.size()),
                                out.data(), outLength, &information);
    EXPECT_LE(information, outLength) << "Information beyond the output buffer";
    return Parse(status, information, out);
  }

  Pending& Start(const Bytes& in, ULONG outLength) {
    Pending& p = pending.emplace_back();
    p.in = in;
    p.out.assign(outLength, 0xEE);
    p.iosb.Status = STATUS_PENDING;
    emu::IoRequest request;
    request.ioControlCode = IOCTL_BRIDGE_PASSTHROUGH;
    request.inputBuffer = p.in.data();
    request.inputLength = static_cast<ULONG>(p.in.size());
    request.outputBuffer = p.out.data();
    request.outputLength = outLength;
    // The request is served in the caller's thread, which waits there until it ends.
    machine.kernel().StartApplicationThread(
        "pass-through", [this, &p, request] { machine.io().StartRequest(file, request, nullptr, &p.iosb); });
    return p;
  }

  bool RunUntilDone(const Pending& p, emu::VirtualTime limit = emu::kSecond) {
    return machine.kernel().RunUntil([&] { return p.Done(); }, machine.kernel().Now() + limit);
  }

  // Reads `length` bytes through the port's read path (the default time-outs wait for all).
  Bytes ReadPort(ULONG length) {
    Bytes data(length);
    ULONG_PTR got = 0;
    EXPECT_EQ(STATUS_SUCCESS, machine.Read(file, data.data(), length, &got));
    data.resize(got);
    return data;
  }

  // The port still moves data both ways through its own threads.
  void ExpectPortStillServes() {
    peer.ClearReceived();
    const std::string out = "out";
    ULONG_PTR written = 0;
    EXPECT_EQ(STATUS_SUCCESS, machine.Write(file, out.data(), 3, &written));
    EXPECT_TRUE(machine.kernel().RunUntil([&] { return peer.ReceivedBytes().size() >= 3; },
                                          machine.kernel().Now() + emu::kSecond));
    EXPECT_EQ(Bytes(out.begin(), out.end()), peer.ReceivedBytes()) << "the port no longer writes";
    peer.Send("in");
    EXPECT_EQ((Bytes{'i', 'n'}), ReadPort(2)) << "the port no longer reads";
  }

  size_t UrbCount() const { return usbPort->Urbs().size(); }
  const emu::usb::UrbRecord& LastUrb() const { return usbPort->Urbs().back(); }

  emu::Machine machine;
  emu::zm470::Zm470 chip;
  emu::line::ScriptedPeer peer;  // after the chip: goes first
  emu::usb::UsbHost host;
  emu::usb::UsbPort* usbPort = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT port = nullptr;
  PFILE_OBJECT file = nullptr;
  std::deque<Pending> pending;
};

TEST_F(PassThroughTest, IdentificationAnswersAndUnknownCommandsAreRefusedWithoutTraffic) {
  const Reply id = Send(Request(PASS_THROUGH_IDENTIFY, 0), 16);
  EXPECT_EQ(STATUS_SUCCESS, id.status);
  EXPECT_EQ(9u, id.information);
  EXPECT_EQ(0u, id.headerStatus);
  EXPECT_EQ(1u, id.headerLength);
  EXPECT_EQ(Bytes{0x28}, id.data);

  const size_t urbs = UrbCount();
  for (ULONG command : {0u, 3u, 8u, 9u, 10u, 15u, 0xFFFFFFFFu}) {
    SCOPED_TRACE("command " + std::to_string(command));
    const Reply r = Send(Request(command, 4, {1, 2, 3, 4}), 64);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
    EXPECT_EQ(kHeader, r.information) << "returned length is 0";
  }
  EXPECT_EQ(urbs, UrbCount()) << "a refused command reached the device";
}

TEST_F(PassThroughTest, DescriptorsAndDeviceStatusComeFromTheDevice) {
  const Bytes config = chip.ConfigurationDescriptor();
  const Reply head = Send(Request(PASS_THROUGH_CONFIG_DESCRIPTOR, 9), kHeader + 9);
  EXPECT_EQ(STATUS_SUCCESS, head.status);
  EXPECT_EQ(9u, head.headerLength);
  EXPECT_EQ(Bytes(config.begin(), config.begin() + 9), head.data);
  const Reply whole = Send(Request(PASS_THROUGH_CONFIG_DESCRIPTOR, 255), kHeader + 255);
  EXPECT_EQ(STATUS_SUCCESS, whole.status);
  EXPECT_EQ(config, whole.data) << "a longer buffer returns the bytes the device sent";
  EXPECT_EQ(kHeader + config.size(), whole.information);

  const Reply device =
      Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 6, 0x0100, 0, 18)), kHeader + 18);
  EXPECT_EQ(STATUS_SUCCESS, device.status);
  EXPECT_EQ(chip.DeviceDescriptor(), device.data) << "the descriptor replaces the setup packet";
  EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, LastUrb().function);
  // Any other descriptor type asks for the configuration descriptor.
  const Reply other = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 6, 0x0300, 0, 9)), kHeader + 9);
  EXPECT_EQ(Bytes(config.begin(), config.begin() + 9), other.data);

  const Reply status = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 0, 0, 0, 2)), kHeader + 2);
  EXPECT_EQ(STATUS_SUCCESS, status.status);
  EXPECT_EQ((Bytes{0, 0}), status.data) << "bus powered, no remote wake-up armed";
  EXPECT_EQ(URB_FUNCTION_GET_STATUS_FROM_DEVICE, LastUrb().function);
  EXPECT_EQ(0x80, LastUrb().setup.bmRequestType);

  const size_t urbs = UrbCount();
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 8, 0, 0, 1)), 64).status)
      << "a standard request other than status, features and descriptors";
  const Reply classRequest = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x21, 0x20, 0, 0, 7)), 64);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, classRequest.status);
  EXPECT_EQ(kHeader, classRequest.information) << "a class request returns nothing";
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0xE0, 1, 0, 0, 0)), 64).status)
      << "a reserved request type";
  EXPECT_EQ(urbs, UrbCount());
}

// A chip that offers remote wake-up, so that the device feature can be set and cleared.
class RemoteWakePassThroughTest : public PassThroughTest {
 protected:
  static emu::zm470::Config WakeChip() {
    emu::zm470::Config c;
    c.bmAttributes = 0xA0;
    return c;
  }
  RemoteWakePassThroughTest() : PassThroughTest(test_support::CurrentConfig(), WakeChip()) {}
};

TEST_F(RemoteWakePassThroughTest, FeatureRequestsGoToTheDeviceAndShowInItsStatus) {
  const Reply set = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x00, 3, 1, 0, 0)), 64);
  EXPECT_EQ(STATUS_SUCCESS, set.status);
  EXPECT_EQ(kHeader, set.information);
  EXPECT_EQ(URB_FUNCTION_SET_FEATURE_TO_DEVICE, LastUrb().function);
  EXPECT_EQ(1, LastUrb().setup.wValue);
  EXPECT_EQ((Bytes{2, 0}), Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 0, 0, 0, 2)), 64).data);
  // Recipient bits are ignored: every standard request goes to the device.
  EXPECT_EQ(STATUS_SUCCESS, Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x02, 1, 1, 0, 0)), 64).status);
  EXPECT_EQ(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, LastUrb().function);
  EXPECT_EQ((Bytes{0, 0}), Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 0, 0, 0, 2)), 64).data);
}

TEST_F(PassThroughTest, VendorRequestsReachTheChipInBothDirections) {
  const Reply revision = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0xC0, 0x5F, 0, 0, 2)), kHeader + 8);
  EXPECT_EQ(STATUS_SUCCESS, revision.status);
  EXPECT_EQ(2u, revision.headerLength);
  EXPECT_EQ(kHeader + 2, revision.information);
  EXPECT_EQ((Bytes{chip.GetConfig().revision, 0x00}), revision.data);
  EXPECT_EQ(URB_FUNCTION_VENDOR_DEVICE, LastUrb().function);

  // Register pair write: registers 0x0F and 0x2C.
  const Reply write = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x40, 0x9A, 0x2C0F, 0x5A21, 0)), 64);
  EXPECT_EQ(STATUS_SUCCESS, write.status);
  EXPECT_EQ(0u, write.headerLength);
  EXPECT_EQ(0x21, chip.Register(0x0F));
  EXPECT_EQ(0x5A, chip.Register(0x2C));
  EXPECT_EQ(0x40, chip.VendorRequests(0x9A).back().setup.bmRequestType);

  // The recipient selects the URB function; the chip stalls what its map does not define.
  auto expected = chip.ExpectViolations([](const emu::usb::SetupPacket& s) { return s.bRequest == 0x77; });
  const Reply toInterface = Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0xC1, 0x77, 0, 0, 4)), 64);
  EXPECT_FALSE(NT_SUCCESS(toInterface.status));
  EXPECT_EQ(URB_FUNCTION_VENDOR_INTERFACE, LastUrb().function);
  EXPECT_FALSE(
      NT_SUCCESS(Send(Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0xC3, 0x77, 0, 0, 4)), 64).status));
  EXPECT_EQ(URB_FUNCTION_VENDOR_OTHER, LastUrb().function);
}

TEST_F(PassThroughTest, StatusBlockReadsAtMostEightBytes) {
  const Reply block = Send(Request(PASS_THROUGH_STATUS_BLOCK, 0), kHeader + 8);
  EXPECT_EQ(STATUS_SUCCESS, block.status);
  EXPECT_EQ(8u, block.headerLength);
  const auto requests = chip.VendorRequests(0x52);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(8, requests[0].setup.wLength);
  EXPECT_EQ(requests[0].reply.data, block.data);
}

TEST_F(PassThroughTest, PipeResetAndAbortNameAPipeAndLeaveThePortWorking) {
  struct Case {
    ULONG command, selector;
    uint16_t function;
    uint8_t endpoint;
  };
  for (const Case& c : {Case{PASS_THROUGH_RESET_PIPE, 5, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x81},
                        Case{PASS_THROUGH_RESET_PIPE, 7, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x02},
                        Case{PASS_THROUGH_ABORT_PIPE, 6, URB_FUNCTION_ABORT_PIPE, 0x82},
                        Case{PASS_THROUGH_ABORT_PIPE, 5, URB_FUNCTION_ABORT_PIPE, 0x81}}) {
    SCOPED_TRACE("command " + std::to_string(c.command) + " selector " + std::to_string(c.selector));
    const size_t urbs = UrbCount();
    const Reply r = Send(Request(c.command, 4, Selector(c.selector)), 64);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(kHeader, r.information);
    const auto& log = usbPort->Urbs();
    EXPECT_TRUE(std::any_of(
        log.begin() + static_cast<ptrdiff_t>(urbs), log.end(),
        [&](const emu::usb::UrbRecord& u) { return u.function == c.function && u.endpoint == c.endpoint; }))
        << "the request did not reach the pipe";
    Settle();
  }
  const size_t urbs = UrbCount();
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Send(Request(PASS_THROUGH_RESET_PIPE, 4, Selector(9)), 64).status);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Send(Request(PASS_THROUGH_ABORT_PIPE, 4, Selector(0)), 64).status);
  EXPECT_EQ(urbs, UrbCount());
  // The aborted reader and status transfers are taken up again.
  ExpectPortStillServes();
}

TEST_F(PassThroughTest, HubPortResetKeepsTheDeviceConfiguredAndThePortWorking) {
  const Reply r = Send(Request(PASS_THROUGH_RESET_PORT, 0), 64);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(kHeader, r.information);
  EXPECT_EQ(1u, usbPort->PortResets());
  EXPECT_TRUE(chip.Configured()) << "the hub restores the configuration after the reset";
  Settle();
  ExpectPortStillServes();
}

TEST_F(PassThroughTest, BulkOutBytesReachTheLine) {
  const std::string text = "pass-through";
  const Reply r =
      Send(Request(PASS_THROUGH_BULK_OUT, static_cast<ULONG>(text.size()), Bytes(text.begin(), text.end())),
           kHeader + static_cast<ULONG>(text.size()));
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(text.size(), r.headerLength);
  EXPECT_EQ(LastUrb().endpoint, 0x02);
  ASSERT_TRUE(machine.kernel().RunUntil([&] { return peer.ReceivedBytes().size() >= text.size(); },
                                        machine.kernel().Now() + emu::kSecond));
  EXPECT_EQ(Bytes(text.begin(), text.end()), peer.ReceivedBytes());
}

// A bulk-in read competes with the reader thread's transfers: it takes one piece of what the
// peer sends, and the port's reads get everything else, in order.
TEST_F(PassThroughTest, BulkInReadTakesAPieceOfTheReceivedBytes) {
  Pending& p = Start(Request(PASS_THROUGH_BULK_IN, 32), kHeader + 32);
  Settle();
  ASSERT_FALSE(p.Done()) << "the read ended with nothing on the line";
  std::string sent;
  for (int i = 0; i < 40; ++i) sent += static_cast<char>('A' + i);
  peer.Send(sent);
  ASSERT_TRUE(RunUntilDone(p, 2 * emu::kSecond)) << "the pass-through read never got data";
  const Reply r = p.Result();
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  ASSERT_GE(r.headerLength, 1u);
  EXPECT_EQ(kHeader + r.headerLength, r.information);
  const std::string piece(r.data.begin(), r.data.end());
  const size_t at = sent.find(piece);
  ASSERT_NE(std::string::npos, at) << "bytes out of order or not sent: " << piece;
  const Bytes rest = ReadPort(static_cast<ULONG>(sent.size() - piece.size()));
  const std::string expected = sent.substr(0, at) + sent.substr(at + piece.size());
  EXPECT_EQ(expected, std::string(rest.begin(), rest.end()));
}

// The interrupt pipe reports a change of the modem inputs (4-byte report) to whichever transfer
// is waiting: the status monitor's or the pass-through's.
TEST_F(PassThroughTest, InterruptReadReturnsAStatusReport) {
  Pending& p = Start(Request(PASS_THROUGH_INTERRUPT_IN, 16), kHeader + 16);
  Settle();
  ASSERT_FALSE(p.Done());
  bool on = true;
  for (int i = 0; i < 10 && !p.Done(); ++i) {
    peer.DriveDsr(on = !on);
    RunUntilDone(p, 20 * ms);
  }
  ASSERT_TRUE(p.Done()) << "no report reached the pass-through read";
  const Reply r = p.Result();
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(4u, r.headerLength);
}

// Every length a request names must fit its buffers; otherwise nothing goes to the device and
// nothing is read or written outside the system buffer (the I/O manager's buffer has exactly
// the larger of the two lengths, so a stray access is a sanitizer report).
TEST_F(PassThroughTest, LengthsBeyondTheBuffersAreRefused) {
  struct Case {
    const char* what;
    Bytes in;
    ULONG outLength;
    ULONG_PTR information;
  };
  const Bytes bigSetup = SetupBytes(0x40, 0x9A, 0x2C0F, 0, 20);
  const Case cases[] = {
      {"input shorter than the header", Bytes(7, 0), 64, 0},
      {"output shorter than the header", Request(PASS_THROUGH_IDENTIFY, 0), 7, 0},
      {"no room for the identification byte", Request(PASS_THROUGH_IDENTIFY, 0), 8, kHeader},
      {"descriptor length beyond the buffer", Request(PASS_THROUGH_CONFIG_DESCRIPTOR, 100), 50, kHeader},
      {"descriptor length near 4 GB", Request(PASS_THROUGH_CONFIG_DESCRIPTOR, 0xFFFFFFFF), 64, kHeader},
      {"bulk-in length beyond the output", Request(PASS_THROUGH_BULK_IN, 64, Bytes(64, 0)), 40, kHeader},
      {"interrupt length beyond the buffer", Request(PASS_THROUGH_INTERRUPT_IN, 0xFFFFFFF9), 64, kHeader},
      {"bulk-out length beyond the input", Request(PASS_THROUGH_BULK_OUT, 16, Bytes(8, 1)), 64, kHeader},
      {"bulk-out count beyond the output", Request(PASS_THROUGH_BULK_OUT, 8, Bytes(8, 1)), 8, kHeader},
      {"setup packet cut short", Request(PASS_THROUGH_CONTROL, 8, Bytes(4, 0x80)), 64, kHeader},
      {"descriptor wLength beyond the output",
       Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 6, 0x0100, 0, 255)), kHeader + 18, kHeader},
      {"device status beyond the output", Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0x80, 0, 0, 0, 2)), 9,
       kHeader},
      {"vendor IN wLength beyond the output",
       Request(PASS_THROUGH_CONTROL, 8, SetupBytes(0xC0, 0x5F, 0, 0, 2)), 9, kHeader},
      {"vendor OUT data stage beyond the input", Request(PASS_THROUGH_CONTROL, 8, bigSetup), 64, kHeader},
      {"status block beyond the output", Request(PASS_THROUGH_STATUS_BLOCK, 0), kHeader + 7, kHeader},
      {"pipe selector cut short", Request(PASS_THROUGH_RESET_PIPE, 4, Bytes(2, 6)), 64, kHeader},
  };
  const size_t urbs = UrbCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply r = Send(c.in, c.outLength);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, r.status);
    EXPECT_EQ(c.information, r.information);
  }
  EXPECT_EQ(urbs, UrbCount()) << "a refused request reached the device";

  // Exactly enough is enough.
  const Reply exact = Send(Request(PASS_THROUGH_CONFIG_DESCRIPTOR, 9), kHeader + 9);
  EXPECT_EQ(STATUS_SUCCESS, exact.status);
  EXPECT_EQ(kHeader + 9, exact.information);
  // An OUT data stage shorter than the setup packet is its first bytes (the chip stalls it).
  auto expected = chip.ExpectViolations();
  const Bytes setup = SetupBytes(0x40, 0x9A, 0x2C0F, 0x1234, 4);
  const Reply shortOut = Send(Request(PASS_THROUGH_CONTROL, 8, setup), kHeader + 4);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, shortOut.status);
  EXPECT_EQ(Bytes(setup.begin(), setup.begin() + 4), LastUrb().outData);
}

// A pipe transfer ends when the caller cancels it, when a drain aborts the pipe and when the
// bridge goes, under every schedule.
class PendingPassThroughTest : public Scheduled<PassThroughTest> {};

TEST_P(PendingPassThroughTest, CancellingTheCallersRequestEndsAPendingRead) {
  Pending& p = Start(Request(PASS_THROUGH_BULK_IN, 32), kHeader + 32);
  Settle();
  ASSERT_FALSE(p.Done());
  EXPECT_EQ(1u, machine.CancelIo(file)) << "the pending read has no cancel routine";
  ASSERT_TRUE(RunUntilDone(p)) << "the cancelled read did not end";
  EXPECT_EQ(STATUS_CANCELLED, p.iosb.Status);
  EXPECT_EQ(kHeader, p.iosb.Information);
  Settle();  // the count drops just after the completion
  EXPECT_EQ(0, PortExtension(port)->PendingRequests);
  ExpectPortStillServes();
}

// The removal marks the port removed (its own threads then stop streaming) and drains the USB
// transfers: the pipe aborts end pass-through reads counted in the pipes' busy counts.
TEST_P(PendingPassThroughTest, RemovalDrainAbortsPendingReads) {
  Pending& bulk = Start(Request(PASS_THROUGH_BULK_IN, 32), kHeader + 32);
  Pending& interrupt = Start(Request(PASS_THROUGH_INTERRUPT_IN, 16), kHeader + 16);
  Settle();
  ASSERT_FALSE(bulk.Done() || interrupt.Done());
  const PDEVICE_OBJECT device = port;
  ASSERT_TRUE(machine.RunInSystemThread("removal drain", [device] {
    PPORT_EXTENSION e = PortExtension(device);
    SetPortFlag(&e->Removed, TRUE);
    SetPortFlag(&e->RemovePending, TRUE);
    DrainUsbTransfers(device, TRUE);
  }));
  ASSERT_TRUE(RunUntilDone(bulk)) << "the drain left the bulk-in read pending";
  ASSERT_TRUE(RunUntilDone(interrupt)) << "the drain left the interrupt read pending";
  EXPECT_EQ(STATUS_CANCELLED, bulk.iosb.Status);
  EXPECT_EQ(STATUS_CANCELLED, interrupt.iosb.Status);
  Settle();
  EXPECT_EQ(0, PortExtension(port)->UsbBusyCount) << "a request to the lower driver still counted";
}

TEST_P(PendingPassThroughTest, SurpriseRemovalEndsAPendingRead) {
  Pending& p = Start(Request(PASS_THROUGH_BULK_IN, 32), kHeader + 32);
  Settle();
  ASSERT_FALSE(p.Done());
  usbPort->Unplug();
  usbPort = nullptr;
  ASSERT_TRUE(RunUntilDone(p)) << "the read outlived the bridge";
  EXPECT_FALSE(NT_SUCCESS(p.iosb.Status));
  EXPECT_EQ(kHeader, p.iosb.Information);
  ASSERT_TRUE(machine.pnp().RunUntilIdle());
  // TearDown closes the handle, which lets the removal finish and the driver unload.
}

INSTANTIATE_TEST_SUITE_P(Schedules, PendingPassThroughTest, AllSchedules(), ScheduleName);

// Before the device is configured the port has no data pipes.
TEST(PassThroughUnconfigured, PipeTransfersFindNoPipe) {
  drvusb_test::UsbPortMachine m;
  PPORT_EXTENSION e = m.ext();
  e->Started = TRUE;
  e->OpenState = PORT_OPEN;
  for (ULONG command : {PASS_THROUGH_INTERRUPT_IN, PASS_THROUGH_BULK_IN, PASS_THROUGH_BULK_OUT}) {
    SCOPED_TRACE("command " + std::to_string(command));
    Bytes in = Request(command, 4, Bytes(4, 0));
    Bytes out(64, 0);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, m.Call([&] {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PIRP irp =
          IoBuildDeviceIoControlRequest(IOCTL_BRIDGE_PASSTHROUGH, m.device, in.data(),
                                        static_cast<ULONG>(in.size()), out.data(), 64, FALSE, &done, &iosb);
      if (IoCallDriver(m.device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
      return iosb.Status;
    }));
    EXPECT_EQ(kHeader, iosb.Information);
  }
  e->Started = FALSE;
  e->OpenState = PORT_CLOSED;
}

}  // namespace
}  // namespace tarnwire::testing

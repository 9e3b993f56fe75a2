// The chip's register-pair protocol as it appears on the bus: request codes, wValue/wIndex
// encodings, data stages, and how short or failed answers are reported.
#include "usb/chip_registers.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::usb::UrbFilter;
using emu::usb::UrbRecord;

UrbFilter VendorFilter(uint8_t request) { return UrbFilter{URB_FUNCTION_VENDOR_DEVICE, {}, request}; }

TEST(RegisterProtocol, ReadPairSendsBothRegistersInWValueAndReturnsTheChipsBytes) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  m.chip->PokeRegister(0x18, 0x5A);
  m.chip->PokeRegister(0x25, 0xC3);
  m.usb().ClearUrbLog();

  UCHAR a = 0, b = 0, six = 0xEE, seven = 0xEE;
  NTSTATUS s1 = STATUS_PENDING, s2 = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread([&] {
    s1 = ReadRegisterPair(m.device, 6, &six, 7, &seven);
    s2 = ReadRegisterPair(m.device, 0x18, &a, 0x25, &b);
  }));
  ASSERT_EQ(s1, STATUS_SUCCESS) << "reading registers 6 and 7 failed";
  ASSERT_EQ(s2, STATUS_SUCCESS) << "reading registers 0x18 and 0x25 failed";
  EXPECT_EQ(six, m.chip->Register(6)) << "register 6 was not taken from the first byte";
  EXPECT_EQ(seven, m.chip->Register(7)) << "register 7 was not taken from the second byte";
  EXPECT_EQ(a, 0x5A) << "register A must be the first byte of the answer";
  EXPECT_EQ(b, 0xC3) << "register B must be the second byte of the answer";

  auto reads = m.VendorUrbs(0x95);
  ASSERT_EQ(reads.size(), 2u) << "each pair read is one request 0x95";
  const UrbRecord& r = reads[0];
  EXPECT_EQ(r.setup.bmRequestType, 0xC0) << "a register read is a vendor device-to-host request";
  EXPECT_EQ(r.setup.wValue, 0x0706) << "registers 6 and 7 travel as wValue 0x0706";
  EXPECT_EQ(r.setup.wIndex, 0) << "a register read carries wIndex 0";
  EXPECT_EQ(r.setup.wLength, 2) << "a register read has a 2-byte data stage";
  EXPECT_EQ(r.transferFlags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK))
      << "reads go in with short transfers allowed";
  EXPECT_EQ(reads[1].setup.wValue, 0x2518);
}

TEST(RegisterProtocol, WritePairCarriesValuesInWIndexWithoutDataStage) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  m.usb().ClearUrbLog();

  NTSTATUS status = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread([&] { status = WriteRegisterPair(m.device, 0x12, 0x83, 0x13, 0xF3); }));
  ASSERT_EQ(status, STATUS_SUCCESS);

  auto writes = m.VendorUrbs(0x9A);
  ASSERT_EQ(writes.size(), 1u) << "a pair write is one request 0x9A";
  EXPECT_EQ(writes[0].setup.bmRequestType, 0x40) << "a register write is a vendor host-to-device request";
  EXPECT_EQ(writes[0].setup.wValue, 0x1312) << "registers 0x12 and 0x13 travel as wValue 0x1312";
  EXPECT_EQ(writes[0].setup.wIndex, 0xF383) << "values 0x83 and 0xF3 travel as wIndex 0xF383";
  EXPECT_EQ(writes[0].setup.wLength, 0) << "a register write has no data stage";
  EXPECT_EQ(writes[0].transferFlags, 0u);
  EXPECT_EQ(m.chip->Register(0x12), 0x83) << "the chip did not take register A's value";
  EXPECT_EQ(m.chip->Register(0x13), 0xF3) << "the chip did not take register B's value";
}

TEST(RegisterProtocol, ModemControlUsesRequestA4FromRevision20AndRegisterSixBelow) {
  struct Case {
    uint8_t revision;
    ULONG chipVersion;
    uint8_t request;
    uint16_t wValue;
    uint16_t wIndex;
  };
  for (const Case& c : {Case{0x30, 0x30, 0xA4, 0x009F, 0}, Case{0x20, 0x20, 0xA4, 0x009F, 0},
                        Case{0x10, 0x10, 0x9A, 0x0606, 0x9F9F}, Case{0x10, 0x1F, 0x9A, 0x0606, 0x9F9F}}) {
    SCOPED_TRACE("ChipVersion " + Hex(c.chipVersion));
    emu::zm470::Config config;
    config.revision = c.revision;
    UsbPortMachine m(config);
    m.ConfigureOrFail();
    m.ext()->ChipVersion = c.chipVersion;
    m.usb().ClearUrbLog();

    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = WriteModemControl(m.device, 0x9F); }));
    EXPECT_EQ(status, STATUS_SUCCESS) << "the chip refused the modem-control write";
    auto urbs = m.usb().UrbsMatching(UrbFilter{URB_FUNCTION_VENDOR_DEVICE, {}, {}});
    ASSERT_EQ(urbs.size(), 1u) << "a modem-control write is exactly one request";
    EXPECT_EQ(urbs[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(urbs[0].setup.bRequest, c.request) << "wrong request for this revision";
    EXPECT_EQ(urbs[0].setup.wValue, c.wValue);
    EXPECT_EQ(urbs[0].setup.wIndex, c.wIndex);
    EXPECT_EQ(urbs[0].setup.wLength, 0);
    // The chip drives its outputs from the complemented byte: 0x9F asserts DTR and RTS (bits 5, 6
    // clear) and releases OUT1 (bit 4 set).
    EXPECT_TRUE(m.chip->Outputs().dtr) << "DTR must be asserted by a byte with bit 5 clear";
    EXPECT_TRUE(m.chip->Outputs().rts) << "RTS must be asserted by a byte with bit 6 clear";
  }
}

TEST(RegisterProtocol, ReadPairRefusesAnAnswerOfOtherThanTwoBytesAndLeavesOutputsUntouched) {
  for (uint32_t length : {0u, 1u, 3u}) {
    SCOPED_TRACE("answer of " + std::to_string(length) + " bytes");
    UsbPortMachine m;
    m.ConfigureOrFail();
    m.usb().AnswerControlIn(1, length, VendorFilter(0x95), 0x77);

    UCHAR a = 0xAA, b = 0xBB;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = ReadRegisterPair(m.device, 6, &a, 7, &b); }));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "a register read must be exactly 2 bytes";
    EXPECT_EQ(a, 0xAA) << "out byte A written although the read failed";
    EXPECT_EQ(b, 0xBB) << "out byte B written although the read failed";
  }
}

TEST(RegisterProtocol, FailedTransfersReturnTheBusStatusAndReportNoBytes) {
  UsbPortMachine m;
  m.ConfigureOrFail();

  // A stalled register read.
  m.usb().StallEndpoint(0x80);
  UCHAR a = 0xAA, b = 0xBB;
  NTSTATUS readStatus = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread([&] { readStatus = ReadRegisterPair(m.device, 6, &a, 7, &b); }));
  EXPECT_FALSE(NT_SUCCESS(readStatus)) << "a stalled read must fail";
  EXPECT_NE(readStatus, STATUS_INSUFFICIENT_RESOURCES) << "the bus driver's status must come back unchanged";
  EXPECT_EQ(a, 0xAA);
  EXPECT_EQ(b, 0xBB);

  // A failing vendor read reports 0 bytes moved; a successful one what the chip sent.
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, VendorFilter(0x5F));
  UCHAR buf[7];
  ULONG failedLength = sizeof buf, goodLength = sizeof buf;
  NTSTATUS failed = STATUS_PENDING, good = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread([&] {
    failed = VendorRequest(m.device, VENDOR_FLAGS_IN, 0x5F, 0, 0, buf, &failedLength);
    good = VendorRequest(m.device, VENDOR_FLAGS_IN, 0x5F, 0, 0, buf, &goodLength);
  }));
  EXPECT_EQ(failed, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(failedLength, 0u) << "a failed request must report no bytes transferred";
  EXPECT_EQ(good, STATUS_SUCCESS);
  EXPECT_EQ(goodLength, 2u) << "the chip answers the revision read with 2 bytes";
  EXPECT_EQ(buf[0], 0x30);
}

}  // namespace
}  // namespace drvusb_test

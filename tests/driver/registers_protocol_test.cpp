// The chip's register-pair protocol as it appears on the bus: request codes, wValue/wIndex
// encodings, data stages, and how short or failed answers are reported.
#include "usb/chip_registers.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

const UrbFilter kRegisterReads = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x95);

TEST(RegisterProtocol, PairsTravelInWValueWithValuesInWIndexOrAsTheTwoAnswerBytes) {
  ConfiguredPort m;

  UCHAR six = 0x11, seven = 0x11;
  ASSERT_EQ(m.Call([&] { return ReadRegisterPair(m.device, 6, &six, 7, &seven); }), STATUS_SUCCESS);
  ASSERT_NE(m.chip->Register(6), m.chip->Register(7)) << "the two registers must differ to tell them apart";
  EXPECT_EQ(six, m.chip->Register(6)) << "register A must be the first byte of the answer";
  EXPECT_EQ(seven, m.chip->Register(7)) << "register B must be the second byte of the answer";
  ASSERT_EQ(m.Call([&] { return WriteRegisterPair(m.device, 0x12, 0x83, 0x13, 0xF3); }), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Register(0x12), 0x83) << "the chip did not take register A's value";
  EXPECT_EQ(m.chip->Register(0x13), 0xF3) << "the chip did not take register B's value";

  const auto& urbs = m.usb().Urbs();
  ASSERT_EQ(urbs.size(), 2u) << "each pair access is one request";
  EXPECT_EQ(urbs[0].setup.bmRequestType, 0xC0) << "a register read is a vendor device-to-host request";
  EXPECT_EQ(urbs[0].setup.bRequest, 0x95);
  EXPECT_EQ(urbs[0].setup.wValue, 0x0706) << "registers 6 and 7 travel as wValue 0x0706";
  EXPECT_EQ(urbs[0].setup.wIndex, 0);
  EXPECT_EQ(urbs[0].setup.wLength, 2) << "a register read has a 2-byte data stage";
  EXPECT_EQ(urbs[0].transferFlags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(urbs[1].setup.bmRequestType, 0x40) << "a register write is a vendor host-to-device request";
  EXPECT_EQ(urbs[1].setup.bRequest, 0x9A);
  EXPECT_EQ(urbs[1].setup.wValue, 0x1312) << "registers 0x12 and 0x13 travel as wValue 0x1312";
  EXPECT_EQ(urbs[1].setup.wIndex, 0xF383) << "values 0x83 and 0xF3 travel as wIndex 0xF383";
  EXPECT_EQ(urbs[1].setup.wLength, 0) << "a register write has no data stage";
}

TEST(RegisterProtocol, ModemControlUsesRequestA4FromChipVersion20AndRegisterSixBelow) {
  struct Case {
    uint8_t revision;
    ULONG chipVersion;
    uint8_t request;
    uint16_t wValue;
    uint16_t wIndex;
  };
  for (const Case& c : {Case{0x30, 0x30, 0xA4, 0x009F, 0}, Case{0x20, 0x20, 0xA4, 0x009F, 0},
                        Case{0x10, 0x1F, 0x9A, 0x0606, 0x9F9F}, Case{0x10, 0x10, 0x9A, 0x0606, 0x9F9F}}) {
    SCOPED_TRACE("ChipVersion " + Hex(c.chipVersion));
    ConfiguredPort m(ChipRevision(c.revision));
    m.ext()->ChipVersion = c.chipVersion;
    EXPECT_EQ(m.Call([&] { return WriteModemControl(m.device, 0x9F); }), STATUS_SUCCESS);
    const auto& urbs = m.usb().Urbs();
    ASSERT_EQ(urbs.size(), 1u) << "a modem-control write is exactly one request";
    EXPECT_EQ(urbs[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(urbs[0].setup.bRequest, c.request) << "wrong request for this revision";
    EXPECT_EQ(urbs[0].setup.wValue, c.wValue);
    EXPECT_EQ(urbs[0].setup.wIndex, c.wIndex);
    EXPECT_EQ(urbs[0].setup.wLength, 0);
    // 0x9F asserts DTR and RTS (bits 5 and 6 clear).
    EXPECT_TRUE(m.chip->Outputs().dtr && m.chip->Outputs().rts) << "the chip did not take the byte";
  }
}

TEST(RegisterProtocol, FailedOrShortReadsLeaveTheOutputsAlone) {
  struct Case {
    const char* what;
    uint32_t answerLength;  // UINT32_MAX: the default pipe stalls
    NTSTATUS expected;
  };
  for (const Case& c : {Case{"an empty answer", 0, STATUS_INSUFFICIENT_RESOURCES},
                        Case{"a one-byte answer", 1, STATUS_INSUFFICIENT_RESOURCES},
                        Case{"a three-byte answer", 3, STATUS_INSUFFICIENT_RESOURCES},
                        Case{"a stall", UINT32_MAX, STATUS_UNSUCCESSFUL}}) {
    SCOPED_TRACE(c.what);
    ConfiguredPort m;
    if (c.answerLength == UINT32_MAX) {
      m.usb().StallEndpoint(0x80);
    } else {
      m.usb().AnswerControlIn(1, c.answerLength, kRegisterReads, 0x77);
    }
    UCHAR a = 0xAA, b = 0xBB;
    NTSTATUS status = m.Call([&] { return ReadRegisterPair(m.device, 6, &a, 7, &b); });
    EXPECT_EQ(status, c.expected) << "wrong status for the failed read";
    EXPECT_EQ(a, 0xAA) << "out byte A written although the read failed";
    EXPECT_EQ(b, 0xBB) << "out byte B written although the read failed";
  }
}

TEST(RegisterProtocol, VendorRequestReportsTheBytesMovedAndNoneOnFailure) {
  ConfiguredPort m;
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0x5F));
  UCHAR buf[7];
  ULONG failedLength = sizeof buf, goodLength = sizeof buf;
  EXPECT_EQ(m.Call([&] { return VendorRequest(m.device, VENDOR_FLAGS_IN, 0x5F, 0, 0, buf, &failedLength); }),
            STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(failedLength, 0u) << "a failed request must report no bytes transferred";
  EXPECT_EQ(m.Call([&] { return VendorRequest(m.device, VENDOR_FLAGS_IN, 0x5F, 0, 0, buf, &goodLength); }),
            STATUS_SUCCESS);
  EXPECT_EQ(goodLength, 2u) << "the chip answers the revision read with 2 bytes";
}

}  // namespace
}  // namespace drvusb_test

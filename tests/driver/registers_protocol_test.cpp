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
  EXPECT_EQ(SetupText(urbs[0]), "C0 95 0706 0000 2")
      << "a register read is a vendor device-to-host request with the registers in wValue and 2 bytes";
  EXPECT_EQ(urbs[0].transferFlags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(SetupText(urbs[1]), "40 9A 1312 F383 0")
      << "a register write is a vendor host-to-device request with the registers in wValue, the values "
         "in wIndex and no data stage";
}

TEST(RegisterProtocol, ModemControlUsesRequestA4FromChipVersion20AndRegisterSixBelow) {
  const struct {
    uint8_t revision;
    ULONG chipVersion;
    const char* setup;
  } cases[] = {{0x30, 0x30, "40 A4 009F 0000 0"},
               {0x20, 0x20, "40 A4 009F 0000 0"},
               {0x10, 0x1F, "40 9A 0606 9F9F 0"},
               {0x10, 0x10, "40 9A 0606 9F9F 0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("ChipVersion " + Hex(c.chipVersion));
    ConfiguredPort m(ChipRevision(c.revision));
    m.ext()->ChipVersion = c.chipVersion;
    EXPECT_EQ(m.Call([&] { return WriteModemControl(m.device, 0x9F); }), STATUS_SUCCESS);
    ASSERT_EQ(m.usb().Urbs().size(), 1u) << "a modem-control write is exactly one request";
    EXPECT_EQ(SetupText(m.usb().Urbs()[0]), c.setup) << "wrong request for this revision";
    // 0x9F asserts DTR and RTS (bits 5 and 6 clear).
    EXPECT_TRUE(m.chip->Outputs().dtr && m.chip->Outputs().rts) << "the chip did not take the byte";
  }
}

TEST(RegisterProtocol, FailedOrShortReadsLeaveTheOutputsAlone) {
  for (uint32_t answerLength : {0u, 1u, 3u, UINT32_MAX}) {
    SCOPED_TRACE(answerLength == UINT32_MAX ? "a stall"
                                            : "an answer of " + std::to_string(answerLength) + " bytes");
    ConfiguredPort m;
    if (answerLength == UINT32_MAX) {
      m.usb().StallEndpoint(0x80);
    } else {
      m.usb().AnswerControlIn(1, answerLength, kRegisterReads, 0x77);
    }
    UCHAR a = 0xAA, b = 0xBB;
    NTSTATUS status = m.Call([&] { return ReadRegisterPair(m.device, 6, &a, 7, &b); });
    // A short or long answer is refused; a failed transfer reports the bus driver's status.
    EXPECT_EQ(status, answerLength == UINT32_MAX ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES);
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

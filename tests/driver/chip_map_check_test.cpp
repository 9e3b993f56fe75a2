// The bridge fixture fails a test whose driver traffic leaves the chip's request and register
// map, unless the test declared that traffic expected.
#include <gtest/gtest-spi.h>

#include "usb/chip_registers.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

TEST(ChipMapCheck, DriverRequestsOutsideTheMapFailTheTestUnlessDeclared) {
  ConfiguredPort m(ChipRevision(0x10));
  // The driver believes in a newer chip than the one plugged in: 0xA4 does not exist below 0x20.
  m.ext()->ChipVersion = 0x30;
  EXPECT_EQ(m.Call([&] { return WriteModemControl(m.device, 0x9F); }), STATUS_UNSUCCESSFUL)
      << "the chip must stall a request of another revision";
  EXPECT_NONFATAL_FAILURE(m.CheckChipRequests(),
                          "vendor request 0xA4 (OUT, to the device) wValue 0x009F wIndex 0x0000 wLength 0: "
                          "not defined on revision 0x10");

  {
    // As a test of the pass-through control code declares the requests it forwards.
    auto forwarded =
        m.chip->ExpectViolations([](const emu::usb::SetupPacket& s) { return s.bRequest == 0x77; });
    EXPECT_EQ(m.Call([&] { return VendorRequest(m.device, VENDOR_FLAGS_OUT, 0x77, 1, 2, NULL, NULL); }),
              STATUS_UNSUCCESSFUL);
  }
  m.CheckChipRequests();
  ASSERT_EQ(m.chip->Violations().size(), 2u);
  EXPECT_TRUE(m.chip->Violations()[1].expected) << m.chip->Violations()[1].ToString();
}

}  // namespace
}  // namespace drvusb_test

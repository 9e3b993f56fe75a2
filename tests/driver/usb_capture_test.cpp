// A capture of the port's configuration (descriptors, selection, revision read) decoded by tshark.
#include <filesystem>

#include "support/tshark.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

TEST(UsbCapture, ConfigurationTrafficDecodesAsDescriptorsSelectionAndRevisionRead) {
  if (!test_support::HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  const std::string path = test_support::TempPath("drvusb-configure", ".pcap");
  size_t totalLength = 0;
  {
    emu::zm470::Config chip;
    chip.idProduct = 0x0ABC;
    UsbPortMachine m(chip);
    totalLength = m.chip->ConfigurationDescriptor().size();
    ASSERT_TRUE(m.host->StartCapture(path)) << "the capture file could not be created";
    ASSERT_EQ(m.Configure(), STATUS_SUCCESS);
    m.host->StopCapture();
  }
  // clang-format off
  enum { kDirection, kFunction, kRequestType, kRequest, kDescriptorType, kValue, kLength, kConfigValue,
         kProduct, kTotalLength, kEndpoints, kResponse };
  // clang-format on

  auto rows = test_support::TsharkFields(
      path,
      {"usb.irp_info.direction", "usb.function", "usb.bmRequestType", "usb.setup.bRequest",
       "usb.bDescriptorType", "usb.setup.wValue", "usb.setup.wLength", "usb.bConfigurationValue",
       "usb.idProduct", "usb.wTotalLength", "usb.bEndpointAddress", "usb.control.Response"},
      "-E occurrence=a -E aggregator=,");
  test_support::TsharkDissection(path);
  std::filesystem::remove(path);

  std::vector<std::vector<std::string>> submissions, completions;
  for (auto& row : rows) (row[kDirection] == "0x01" ? completions : submissions).push_back(row);
  ASSERT_EQ(completions.size(), 5u) << "every request completes";
  // Device descriptor, configuration header, whole configuration (GET_DESCRIPTOR), the selection
  // (SET_CONFIGURATION 1) and the revision read (vendor request 0x5F, device to host, 7 bytes).
  std::vector<std::string> sent;
  for (const auto& s : submissions) {
    sent.push_back(s[kFunction] + " " + s[kRequestType] + " " + s[kRequest] + " " + s[kDescriptorType] + " " +
                   s[kValue] + " " + s[kLength] + " " + s[kConfigValue]);
  }
  const std::string total = std::to_string(totalLength);
  EXPECT_EQ(sent, (std::vector<std::string>{"0x000b 0x80 6 0x01  18 ", "0x000b 0x80 6 0x02  9 ",
                                            "0x000b 0x80 6 0x02  " + total + " ", "0x0000 0x00 9   0 1",
                                            "0x0017 0xc0 95  0x0000 7 "}))
      << "the five requests that configure the port, as tshark decodes them";
  EXPECT_EQ(completions[0][kProduct], "0x0abc") << "the device descriptor came back";
  EXPECT_EQ(completions[2][kTotalLength], total);
  EXPECT_EQ(completions[2][kEndpoints], "0x82,0x02,0x81") << "the endpoints of the configuration";
  EXPECT_EQ(completions[4][kResponse], "3000") << "the revision answer";
}

}  // namespace
}  // namespace drvusb_test

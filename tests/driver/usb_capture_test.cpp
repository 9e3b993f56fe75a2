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
  enum {
    kDirection,
    kFunction,
    kRequestType,
    kRequest,
    kDescriptorType,
    kValue,
    kLength,
    kConfigValue,
    kProduct,
    kTotalLength,
    kEndpoints,
    kResponse
  };
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
  ASSERT_EQ(submissions.size(), 5u) << "five requests configure the port";
  ASSERT_EQ(completions.size(), 5u) << "every request completes";

  // Device descriptor, configuration header, whole configuration.
  const std::string lengths[] = {"18", "9", std::to_string(totalLength)};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("descriptor request " + std::to_string(i));
    EXPECT_EQ(submissions[i][kFunction], "0x000b") << "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    EXPECT_EQ(submissions[i][kRequestType], "0x80");
    EXPECT_EQ(submissions[i][kRequest], "6") << "GET_DESCRIPTOR";
    EXPECT_EQ(submissions[i][kDescriptorType], i == 0 ? "0x01" : "0x02");
    EXPECT_EQ(submissions[i][kLength], lengths[i]);
  }
  EXPECT_EQ(completions[0][kProduct], "0x0abc") << "the device descriptor came back";
  EXPECT_EQ(completions[2][kTotalLength], std::to_string(totalLength));
  for (const char* endpoint : {"0x82", "0x02", "0x81"})
    EXPECT_NE(completions[2][kEndpoints].find(endpoint), std::string::npos) << "endpoint " << endpoint;

  // The selection shows as SET_CONFIGURATION 1.
  EXPECT_EQ(submissions[3][kFunction], "0x0000") << "URB_FUNCTION_SELECT_CONFIGURATION";
  EXPECT_EQ(submissions[3][kRequest], "9");
  EXPECT_EQ(submissions[3][kConfigValue], "1");

  // The revision read: vendor request 0x5F, device to host, up to 7 bytes; the chip answers 30 00.
  EXPECT_EQ(submissions[4][kFunction], "0x0017") << "URB_FUNCTION_VENDOR_DEVICE";
  EXPECT_EQ(submissions[4][kRequestType], "0xc0");
  EXPECT_EQ(submissions[4][kRequest], "95") << "request 0x5F";
  EXPECT_EQ(submissions[4][kValue], "0x0000");
  EXPECT_EQ(submissions[4][kLength], "7");
  EXPECT_EQ(completions[4][kResponse], "3000") << "the revision answer";
}

}  // namespace
}  // namespace drvusb_test

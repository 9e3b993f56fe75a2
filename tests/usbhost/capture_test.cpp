// The USB capture: URB traffic written as USBPcap packets and decoded by tshark.
#include <filesystem>
#include <map>

#include "support/tshark.h"
#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

TEST(UsbCapture, TsharkDecodesTheCapturedUrbs) {
  if (!test_support::HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  const std::string path = test_support::TempPath("usbhost-capture", ".pcap");

  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
    if (s.bRequest == 0x95) return {false, {0x5A, 0xA5}};
    if (s.bRequest == 0x42) return {true, {}};
    return {false, {}};
  };
  ASSERT_TRUE(f.host.StartCapture(path));
  f.device.QueueIn(0x82, {0xDE, 0xAD});
  f.device.QueueIn(0x81, {0x01});
  std::vector<Request*> rs;
  rs.push_back(&f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0x1312, 0xF383, {})));
  rs.push_back(&f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0})));
  rs.push_back(&f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_INTERFACE, 0, 0x01, 2, 3, {0xC1, 0xC2})));
  rs.push_back(&f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {0x48, 0x69})));
  rs.push_back(&f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(64))));
  rs.push_back(&f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x81), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(8))));
  rs.push_back(&f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x42, 0, 0, {})));
  for (Request* r : rs) ASSERT_TRUE(f.RunUntilCompleted(*r));
  Request& abort = f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_ABORT_PIPE, f.PipeOf(0x82)));
  ASSERT_TRUE(f.RunUntilCompleted(abort));
  f.host.StopCapture();

  enum { kId, kFrameNo, kRequest, kValue, kIndex, kFunction, kData, kEndpoint, kStatus, kRequestIn };
  auto rows = test_support::TsharkFields(
      path, {"usb.irp_id", "frame.number", "usb.setup.bRequest", "usb.setup.wValue", "usb.setup.wIndex",
             "usb.function", "usb.capdata", "usb.endpoint_address", "usb.usbd_status", "usb.request_in"});
  ASSERT_EQ(rows.size(), 16u) << "a submission and a completion per URB";
  // Each URB's submission and completion, found by irpId; a completion names its submission's
  // frame in usb.request_in.
  std::map<std::string, std::vector<std::string>> submit, complete;
  for (auto& row : rows) (row[kRequestIn].empty() ? submit : complete)[row[kId]] = row;
  ASSERT_EQ(submit.size(), 8u);
  ASSERT_EQ(complete.size(), 8u);
  for (auto& [id, c] : complete) {
    ASSERT_TRUE(submit.count(id)) << "completion without submission, irp " << id;
    EXPECT_EQ(c[kRequestIn], submit[id][kFrameNo]) << "tshark pairs the completion of irp " << id;
  }
  auto urb = [&](size_t i) {
    return "0x" + std::string(16 - std::to_string(i + 2).size(), '0') + std::to_string(i + 2);
  };
  // Record ids: 1 is the select configuration before the capture started.
  const auto& wr = submit[urb(0)];
  EXPECT_EQ(wr[kRequest], "154") << "bRequest 0x9A";
  EXPECT_EQ(wr[kValue], "0x1312");
  EXPECT_EQ(wr[kIndex], "62339") << "wIndex 0xF383";
  EXPECT_EQ(wr[kFunction], "0x0017") << "URB_FUNCTION_VENDOR_DEVICE";
  EXPECT_EQ(wr[kEndpoint], "0x00");
  EXPECT_EQ(submit[urb(1)][kRequest], "149");
  EXPECT_EQ(submit[urb(1)][kValue], "0x0706");
  EXPECT_EQ(submit[urb(1)][kEndpoint], "0x80") << "a control IN transfer";
  EXPECT_EQ(submit[urb(2)][kFunction], "0x0018") << "URB_FUNCTION_VENDOR_INTERFACE";
  EXPECT_EQ(submit[urb(3)][kData], "4869") << "bulk OUT data rides in the submission";
  EXPECT_EQ(submit[urb(3)][kEndpoint], "0x02");
  EXPECT_EQ(complete[urb(3)][kData], "");
  EXPECT_EQ(submit[urb(4)][kData], "");
  EXPECT_EQ(complete[urb(4)][kData], "dead") << "bulk IN data rides in the completion";
  EXPECT_EQ(complete[urb(4)][kEndpoint], "0x82");
  EXPECT_EQ(complete[urb(5)][kData], "01");
  EXPECT_EQ(complete[urb(5)][kEndpoint], "0x81");
  EXPECT_EQ(complete[urb(6)][kStatus], "0xc0000004") << "USBD_STATUS_STALL_PID of the stalled request";
  EXPECT_EQ(complete[urb(0)][kStatus], "0x00000000");
  EXPECT_EQ(submit[urb(7)][kFunction], "0x0002") << "URB_FUNCTION_ABORT_PIPE";
  EXPECT_EQ(submit[urb(7)][kEndpoint], "0x82");

  // The full dissection has no malformed packets or expert warnings.
  std::string dissection = test_support::TsharkDissection(path);
  EXPECT_NE(dissection.find("Data Fragment: c1c2"), std::string::npos)
      << "the OUT data stage of a control transfer follows its setup packet\n"
      << dissection;
  EXPECT_NE(dissection.find("5aa5"), std::string::npos) << "the IN data stage rides in the completion";
  if (::testing::Test::HasFailure()) {
    ADD_FAILURE() << "capture kept at " << path;
  } else {
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace emu::usb::testing

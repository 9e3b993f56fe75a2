// USB configuration of the bridge: descriptors, interface selection, pipes, the chip revision and
// deconfiguration, including the refusals of malformed devices.
#include <optional>

#include "usb/usb_config.h"
#include "usb/usb_request.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::usb::ControlReply;
using emu::usb::SetupPacket;
using emu::usb::UrbFilter;
using emu::usb::UrbRecord;
using emu::zm470::Config;

constexpr uint16_t kDeviceDescriptor = 0x0100;
constexpr uint16_t kConfigurationDescriptor = 0x0200;

Config Revision(uint8_t revision) {
  Config c;
  c.revision = revision;
  return c;
}

TEST(UsbConfiguration, ReadsDescriptorsSelectsTheInterfaceAndLearnsTheRevision) {
  ForEachMachine([](emu::KernelConfig kc) {
    Config chip;
    chip.idProduct = 0x0ABC;
    UsbPortMachine m(chip, kc);
    m.usb().PendAtRandom(kc.seed, 50);
    size_t live = m.kernel().LivePoolBlocks().size();
    ASSERT_EQ(m.Configure(), STATUS_SUCCESS) << "a sound bridge must configure";

    PPORT_EXTENSION ext = m.ext();
    EXPECT_EQ(ext->ChipVersion, 0x30u) << "ChipVersion must be the first byte of the 0x5F answer";
    EXPECT_EQ(ext->ProductId, 0x0ABCu) << "ProductId must come from the device descriptor";
    EXPECT_EQ(ext->BulkInLength, 32u);
    EXPECT_NE(ext->BulkInPipe, nullptr) << "endpoint 0x82 not recorded";
    EXPECT_NE(ext->BulkOutPipe, nullptr) << "endpoint 0x02 not recorded";
    EXPECT_NE(ext->InterruptPipe, nullptr) << "endpoint 0x81 not recorded";
    EXPECT_NE(ext->BulkInPipe, ext->BulkOutPipe);
    EXPECT_TRUE(m.usb().Configured()) << "the device was not put in its configuration";
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live) << "configuration leaked pool";

    // Device descriptor, configuration header, whole configuration, selection, revision read.
    const auto& urbs = m.usb().Urbs();
    ASSERT_EQ(urbs.size(), 5u) << "configuration sends exactly five requests";
    EXPECT_EQ(urbs[0].setup.wValue, kDeviceDescriptor);
    EXPECT_EQ(urbs[0].setup.wLength, 18);
    EXPECT_EQ(urbs[1].setup.wValue, kConfigurationDescriptor);
    EXPECT_EQ(urbs[1].setup.wLength, 9) << "the configuration header is read first";
    EXPECT_EQ(urbs[2].setup.wValue, kConfigurationDescriptor);
    EXPECT_EQ(urbs[2].setup.wLength, m.chip->ConfigurationDescriptor().size())
        << "the whole configuration is read with wTotalLength";
    EXPECT_EQ(urbs[3].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urbs[4].setup.bmRequestType, 0xC0);
    EXPECT_EQ(urbs[4].setup.bRequest, 0x5F) << "the revision is read with request 0x5F";
    EXPECT_EQ(urbs[4].setup.wValue, 0);
    EXPECT_EQ(urbs[4].setup.wIndex, 0);
    EXPECT_EQ(urbs[4].setup.wLength, 7) << "the revision read takes up to 7 bytes";
  });
}

TEST(UsbConfiguration, ChipVersionFollowsPowerAndTheRevisionAnswer) {
  struct Case {
    const char* what;
    Config chip;
    NTSTATUS status;
    ULONG chipVersion;
    size_t revisionReads;
  };
  Config old = Revision(0x10);  // announces bMaxPower 0x40
  Config answers30 = Revision(0x20);
  answers30.revisionAnswer = std::vector<uint8_t>{0x30, 0x00};
  Config silent = Revision(0x25);
  silent.revisionAnswer = std::vector<uint8_t>{};
  Config powered40 = Revision(0x30);
  powered40.bMaxPower = 0x40;
  for (const Case& c : {Case{"bMaxPower 0x40", old, STATUS_SUCCESS, 1, 0},
                        Case{"bMaxPower 0x40 on a new chip", powered40, STATUS_SUCCESS, 1, 0},
                        Case{"answer 0x30 0x00", answers30, STATUS_SUCCESS, 0x30, 1},
                        Case{"empty answer", silent, STATUS_SUCCESS, 0x20, 1}}) {
    SCOPED_TRACE(c.what);
    UsbPortMachine m(c.chip);
    EXPECT_EQ(m.Configure(), c.status);
    EXPECT_EQ(m.ext()->ChipVersion, c.chipVersion) << "wrong ChipVersion";
    EXPECT_EQ(m.VendorUrbs(0x5F).size(), c.revisionReads) << "wrong number of revision reads";
  }
}

TEST(UsbConfiguration, AFailedRevisionReadFailsTheConfiguration) {
  UsbPortMachine m(Revision(0x30));
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_STALL_PID, UrbFilter{{}, {}, 0x5F});
  EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR) << "the revision read's failure must be the result";
  EXPECT_EQ(m.ext()->ChipVersion, 0x20u) << "without an answer ChipVersion stays 0x20";
}

TEST(UsbConfiguration, ConfigurationDescriptorMustFitIn255Bytes) {
  {
    Config fits;
    fits.PadConfigurationTo(255);
    UsbPortMachine m(fits);
    EXPECT_EQ(m.Configure(), STATUS_SUCCESS) << "wTotalLength 255 must be accepted";
    EXPECT_EQ(m.usb().Urbs().at(2).setup.wLength, 255);
  }
  {
    Config tooLong;
    tooLong.PadConfigurationTo(256);
    UsbPortMachine m(tooLong);
    size_t live = m.kernel().LivePoolBlocks().size();
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR) << "wTotalLength 256 must be refused";
    EXPECT_EQ(m.UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u)
        << "a refused configuration must not be selected";
    EXPECT_EQ(m.usb().Urbs().size(), 2u) << "only the device descriptor and the header are read";
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live) << "the descriptor work block was not freed";
  }
}

TEST(UsbConfiguration, MissingOrMisSizedBulkEndpointsFailWithNoSuchDevice) {
  struct Case {
    const char* what;
    std::vector<emu::zm470::EndpointDescriptor> endpoints;
    uint8_t revision;
  };
  const emu::zm470::EndpointDescriptor in32{0x82, 2, 32, 0}, out32{0x02, 2, 32, 0}, intr{0x81, 3, 8, 1};
  const emu::zm470::EndpointDescriptor in64{0x82, 2, 64, 0}, out64{0x02, 2, 64, 0};
  for (const Case& c :
       {Case{"no endpoint 0x82", {out32, intr}, 0x30}, Case{"no endpoint 0x02", {in32, intr}, 0x30},
        Case{"bulk in of 64 bytes, new chip", {in64, out32, intr}, 0x30},
        Case{"bulk in of 64 bytes, old chip", {in64, out32, intr}, 0x10},
        Case{"bulk out of 64 bytes, revision 0x20", {in32, out64, intr}, 0x20}}) {
    SCOPED_TRACE(c.what);
    Config chip = Revision(c.revision);
    chip.endpoints = c.endpoints;
    UsbPortMachine m(chip);
    EXPECT_EQ(m.Configure(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m.VendorUrbs(0x5F).size(), 0u) << "a device without usable bulk pipes needs no revision read";
    for (const auto& e : c.endpoints) {
      USBD_PIPE_HANDLE h = e.address == 0x82   ? m.ext()->BulkInPipe
                           : e.address == 0x02 ? m.ext()->BulkOutPipe
                                               : m.ext()->InterruptPipe;
      EXPECT_NE(h, nullptr) << "endpoint " << Hex(e.address) << " was present but not recorded";
    }
  }
}

TEST(UsbConfiguration, PipesAreSelectedWithTransfersOfAtMost4096Bytes) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  auto fits =
      StartPipeTransfer(m, m.ext()->BulkInPipe, true, std::vector<uint8_t>(4096), &m.ext()->BulkInBusy);
  auto tooBig =
      StartPipeTransfer(m, m.ext()->BulkInPipe, true, std::vector<uint8_t>(4097), &m.ext()->BulkInBusy);
  m.kernel().RunFor(10 * emu::kMillisecond);
  EXPECT_FALSE(fits->done) << "a 4096-byte transfer must be accepted and wait for data";
  ASSERT_TRUE(tooBig->done) << "a 4097-byte transfer should be refused by the bus driver";
  EXPECT_EQ(tooBig->status, STATUS_INVALID_PARAMETER)
      << "the pipe was selected with a maximum transfer size above 4096";
}

TEST(UsbConfiguration, DescriptorAndSelectionFailures) {
  // The device descriptor only supplies ProductId: its failure is ignored.
  {
    Config chip;
    chip.idProduct = 0x0ABC;
    UsbPortMachine m(chip);
    m.usb().FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                     UrbFilter{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, {}, {}});
    EXPECT_EQ(m.Configure(), STATUS_SUCCESS) << "a failed device descriptor read must not fail configuration";
    EXPECT_EQ(m.ext()->ProductId, 0x23u) << "ProductId must keep its default without a device descriptor";
  }
  // A failed configuration header read.
  {
    UsbPortMachine m;
    m.usb().FailNext(2, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC,
                     UrbFilter{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, {}, {}});
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(m.usb().Urbs().size(), 2u) << "nothing may follow a failed header read";
  }
  // A failed selection: its status, and no revision read.
  {
    UsbPortMachine m;
    m.usb().FailNext(1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                     UrbFilter{URB_FUNCTION_SELECT_CONFIGURATION, {}, {}});
    size_t live = m.kernel().LivePoolBlocks().size();
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(m.VendorUrbs(0x5F).size(), 0u);
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live)
        << "the configuration request or the work block was not freed";
  }
}

TEST(UsbConfiguration, MalformedConfigurationDescriptorsAreRefused) {
  // No interface announced.
  {
    Config chip;
    chip.bNumInterfaces = 0;
    UsbPortMachine m(chip);
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR) << "bNumInterfaces 0 must be refused";
    EXPECT_EQ(m.UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
  }
  // The whole configuration arrives shorter than wTotalLength: the rest would be parsed as zeros.
  {
    UsbPortMachine m;
    m.chip->SetControlHook(
        [&m](const SetupPacket& s, std::span<const uint8_t>) -> std::optional<ControlReply> {
          if (s.bRequest != 6 || s.wValue != kConfigurationDescriptor || s.wLength <= 9) return std::nullopt;
          std::vector<uint8_t> d = m.chip->ConfigurationDescriptor();
          d.resize(20);
          return ControlReply{false, d};
        });
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR) << "a truncated configuration must be refused";
    EXPECT_EQ(m.UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
  }
  // wTotalLength shorter than the header itself.
  {
    Config chip;
    chip.wTotalLength = 4;
    UsbPortMachine m(chip);
    EXPECT_EQ(m.Configure(), STATUS_DEVICE_DATA_ERROR) << "wTotalLength 4 must be refused";
  }
}

TEST(UsbConfiguration, PoolExhaustionFailsWithoutLeaks) {
  for (uint32_t skip : {0u, 1u}) {
    SCOPED_TRACE(skip == 0 ? "work block allocation fails" : "configuration request allocation fails");
    UsbPortMachine m;
    size_t live = m.kernel().LivePoolBlocks().size();
    m.kernel().FailPoolAllocations(1, skip);
    EXPECT_EQ(m.Configure(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m.UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live) << "a failed configuration leaked pool";
  }
}

TEST(UsbConfiguration, DeconfigureSelectsNoConfigurationOnlyWhileConnected) {
  {
    UsbPortMachine m;
    m.ConfigureOrFail();
    m.usb().ClearUrbLog();
    size_t live = m.kernel().LivePoolBlocks().size();
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = DeconfigureUsbDevice(m.device); }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    auto selects = m.UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u) << "deconfiguration is one select-configuration request";
    EXPECT_FALSE(m.usb().Configured()) << "the device is still configured";
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live) << "the deconfiguration URB was not freed";
    EXPECT_NE(m.ext()->BulkInPipe, nullptr) << "pipe handles are kept by deconfiguration";
  }
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant == 0   ? "unplugged"
                 : variant == 1 ? "unplugged, hub fails the query"
                                : "query fails");
    UsbPortMachine m;
    m.ConfigureOrFail();
    if (variant == 0) m.usb().Unplug();
    if (variant == 1) {
      m.usb().FailPortStatusWhenUnplugged(STATUS_DEVICE_NOT_CONNECTED);
      m.usb().Unplug();
    }
    if (variant == 2) m.usb().FailPortStatus(1, STATUS_UNSUCCESSFUL);
    m.usb().ClearUrbLog();
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = DeconfigureUsbDevice(m.device); }));
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent to a device that is not connected";
  }
  {
    UsbPortMachine m;
    m.ConfigureOrFail();
    m.usb().ClearUrbLog();
    m.kernel().FailPoolAllocations(1);
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = DeconfigureUsbDevice(m.device); }));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m.usb().Urbs().size(), 0u);
  }
}

}  // namespace
}  // namespace drvusb_test

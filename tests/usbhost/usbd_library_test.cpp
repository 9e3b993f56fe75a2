// The USBD library routines: descriptor parsing and the select-configuration request.
#include <gtest/gtest.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <algorithm>
#include <span>
#include <vector>

#include "nt/machine.h"
#include "support/current_schedule.h"

namespace {

// Configuration 1: interface 0 (vendor class, 2 endpoints, with a class descriptor between them),
// interface 1 alternate 0 (no endpoints), interface 1 alternate 1 (class 0x0A, 1 endpoint).
std::vector<uint8_t> Configuration() {
  std::vector<uint8_t> d = {
      9, 2,    0,    0,    2,    1,    0,    0x80, 0x32,  // configuration
      9, 4,    0,    0,    2,    0xFF, 0x01, 0x02, 0,     // interface 0
      7, 5,    0x81, 3,    8,    0,    10,                // endpoint 0x81 interrupt
      5, 0x24, 0x00, 0x10, 0x01,                          // class-specific descriptor
      7, 5,    0x02, 2,    64,   0,    0,                 // endpoint 0x02 bulk
      9, 4,    1,    0,    0,    0x0A, 0,    0,    0,     // interface 1 alt 0
      9, 4,    1,    1,    1,    0x0A, 0,    0,    0,     // interface 1 alt 1
      7, 5,    0x83, 2,    64,   0,    0,                 // endpoint 0x83 bulk
  };
  d[2] = static_cast<uint8_t>(d.size());
  return d;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& d) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

TEST(UsbdLibrary, ParsingMatchesEveryCriterionAndStaysWithinTheBuffer) {
  std::vector<uint8_t> d = Configuration();
  auto* config = AsConfig(d);
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(first), d.data() + 9) << "the first interface of any kind";

  auto at = [&](size_t offset) { return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d.data() + offset); };
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1), at(46))
      << "interface 1 alt 1";
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0A, -1, -1), at(37))
      << "class 0x0A";
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, 0x01, 0x02), first);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, 0x01, 0x03), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, 0x02, 0x02), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, d.data() + 18, -1, -1, -1, -1, -1), at(37))
      << "starting after the first interface finds the next one";
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 1, 1), at(46));

  EXPECT_EQ(reinterpret_cast<uint8_t*>(USBD_ParseDescriptors(d.data(), static_cast<ULONG>(d.size()),
                                                             d.data() + 18, USB_ENDPOINT_DESCRIPTOR_TYPE)),
            d.data() + 18);
  EXPECT_EQ(USBD_ParseDescriptors(d.data(), 30, d.data() + 30, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr)
      << "the search must not look past TotalLength";
  std::vector<uint8_t> broken = {9, 2, 20, 0, 1, 1, 0, 0x80, 0x32, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(USBD_ParseDescriptors(broken.data(), 20, broken.data(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr)
      << "a zero bLength ends the walk";
  EXPECT_EQ(
      USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d.data() + 9), d.data() + d.size()),
      9u + 7 + 5 + 7);
}

TEST(UsbdLibrary, CreateConfigurationRequestExSizesAndFillsTheRequest) {
  emu::Machine machine(test_support::CurrentConfig());
  std::vector<uint8_t> d = Configuration();
  auto* config = AsConfig(d);
  PUSB_INTERFACE_DESCRIPTOR if0 = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
  PUSB_INTERFACE_DESCRIPTOR if1 = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
  USBD_INTERFACE_LIST_ENTRY list[3] = {{if0, nullptr}, {if1, nullptr}, {nullptr, nullptr}};
  PURB urb = nullptr;
  machine.RunInSystemThread("create", [&] { urb = USBD_CreateConfigurationRequestEx(config, list); });
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface)
      << "each entry points at its information";
  ASSERT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface),
            reinterpret_cast<uint8_t*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
  for (const USBD_PIPE_INFORMATION& p : std::span(list[0].Interface->Pipes, 2)) {
    EXPECT_EQ(p.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(p.PipeHandle, nullptr);
  }
  auto blocks = machine.kernel().LivePoolBlocks();
  EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(), [&](auto& b) {
    return b.address == urb && b.type == NonPagedPool;
  })) << "the request lives in nonpaged pool until the caller frees it";
  machine.RunInSystemThread("free", [&] { ExFreePool(urb); });
  EXPECT_EQ(machine.kernel().LivePoolBlocks().size(), blocks.size() - 1);
}

}  // namespace

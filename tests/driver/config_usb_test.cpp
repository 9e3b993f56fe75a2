// USB configuration of the bridge: descriptors, interface selection, pipes, the chip revision and
// deconfiguration, including the refusals of malformed devices.
#include <optional>

#include "usb/usb_request.h"
#include "usb_fixture.h"

// The cases below name only the fields of a chip that differ from a shipped one.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace drvusb_test {
namespace {

using emu::usb::ControlReply;
using emu::usb::SetupPacket;
using emu::zm470::Config;
using emu::zm470::EndpointDescriptor;

constexpr uint16_t kDeviceDescriptor = 0x0100;
constexpr uint16_t kConfigurationDescriptor = 0x0200;
const UrbFilter kDescriptorReads = UrbFilter::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);

// The requests themselves, as tshark decodes them, are checked by the capture test.
TEST(UsbConfiguration, SelectsTheInterfaceRecordsThePipesAndLearnsTheRevision) {
  ForEachMachine([](emu::KernelConfig kc) {
    UsbPortMachine m({.idProduct = 0x0ABC}, kc);
    m.usb().PendAtRandom(kc.seed, 50);
    size_t pool = m.PoolBlocks();
    ASSERT_EQ(m.Configure(), STATUS_SUCCESS) << "a sound bridge must configure";
    PPORT_EXTENSION ext = m.ext();
    EXPECT_EQ(ext->ChipVersion, 0x30u) << "ChipVersion must be the first byte of the 0x5F answer";
    EXPECT_EQ(ext->ProductId, 0x0ABCu) << "ProductId must come from the device descriptor";
    EXPECT_TRUE(ext->BulkInPipe && ext->BulkOutPipe && ext->InterruptPipe &&
                ext->BulkInPipe != ext->BulkOutPipe)
        << "the pipes of endpoints 0x82, 0x02 and 0x81 are not all recorded";
    // Device descriptor, configuration header, whole configuration, selection, revision read.
    std::vector<std::string> sent;
    for (const auto& u : m.usb().Urbs()) sent.push_back(SetupText(u));
    const std::string total = std::to_string(m.chip->ConfigurationDescriptor().size());
    EXPECT_EQ(sent,
              (std::vector<std::string>{"80 06 0100 0000 18", "80 06 0200 0000 9", "80 06 0200 0000 " + total,
                                        "00 09 0001 0000 0", "C0 5F 0000 0000 7"}))
        << "the requests that configure the port";
    EXPECT_TRUE(m.usb().Configured()) << "the device was not put in its configuration";
    EXPECT_EQ(m.PoolBlocks(), pool) << "configuration leaked pool";
  });
}

// One configuration attempt each: the chip, a fault, and the status, the number of requests sent
// and ChipVersion that come of it. No attempt may leak pool.
using Fault = std::function<void(UsbPortMachine&)>;
struct ConfigCase {
  const char* what;
  Config chip;
  Fault fault;
  NTSTATUS status;
  size_t requests;
  ULONG chipVersion;
  USHORT productId = 0;  // checked when not 0
};

Config Padded(size_t total) {
  Config c;
  c.PadConfigurationTo(total);
  return c;
}
Fault Fail(uint32_t count, NTSTATUS status, UrbFilter filter) {
  return [=](UsbPortMachine& m) { m.usb().FailNext(count, status, USBD_STATUS_STALL_PID, filter); };
}
Fault FailPool(uint32_t skip) {
  return [=](UsbPortMachine& m) { m.kernel().FailPoolAllocations(1, skip); };
}
// Answers a descriptor request (wValue: type and index) with the chip's own descriptor changed by
// `edit`, which is given the requested length.
Fault Reshape(uint16_t descriptor, std::function<void(std::vector<uint8_t>&, uint16_t)> edit) {
  return [=](UsbPortMachine& m) {
    m.chip->SetControlHook([&m, descriptor, edit](const SetupPacket& s,
                                                  std::span<const uint8_t>) -> std::optional<ControlReply> {
      if (s.bRequest != 6 || s.wValue != descriptor) return {};
      std::vector<uint8_t> d =
          descriptor == kDeviceDescriptor ? m.chip->DeviceDescriptor() : m.chip->ConfigurationDescriptor();
      edit(d, s.wLength);
      return ControlReply{false, d};
    });
  };
}
Fault Cut(uint16_t descriptor, uint16_t requested, size_t length) {
  return Reshape(descriptor, [=](std::vector<uint8_t>& d, uint16_t wLength) {
    if (wLength == requested) d.resize(length);
  });
}

TEST(UsbConfiguration, ChipVersionAndRefusalsFollowTheDescriptorsAndFaults) {
  using E = EndpointDescriptor;
  const E in32{0x82, 2, 32, 0}, out32{0x02, 2, 32, 0}, intr{0x81, 3, 8, 1}, in64{0x82, 2, 64, 0},
      out64{0x02, 2, 64, 0};
  // The whole configuration arrives shorter than wTotalLength: the rest would be parsed as zeros.
  const Fault truncate = Reshape(kConfigurationDescriptor, [](std::vector<uint8_t>& d, uint16_t wLength) {
    if (wLength > 9) d.resize(20);
  });
  // The second read of the configuration claims more than the first.
  const Fault growing = Reshape(kConfigurationDescriptor, [](std::vector<uint8_t>& d, uint16_t wLength) {
    if (wLength > 9) d[2] = 200;
  });
  // A configuration left by an earlier start: every configuration starts from ChipVersion 0 and
  // bulk-in transfers of 32 bytes.
  const Fault stale = [](UsbPortMachine& m) {
    m.ext()->ChipVersion = 0x30;
    m.ext()->BulkInLength = 64;
    Fail(2, STATUS_DEVICE_DATA_ERROR, kDescriptorReads)(m);
  };
  const UrbFilter selection = UrbFilter::Function(URB_FUNCTION_SELECT_CONFIGURATION);
  // clang-format off
  const ConfigCase cases[] = {
      {"bMaxPower 0x40 (old chip)", {.revision = 0x10}, {}, STATUS_SUCCESS, 4, 1},
      {"bMaxPower 0x40 on a new chip", {.bMaxPower = 0x40}, {}, STATUS_SUCCESS, 4, 1},
      {"revision answer 0x30 0x00", {.revision = 0x20, .revisionAnswer = {{0x30, 0x00}}}, {},
       STATUS_SUCCESS, 5, 0x30},
      {"one-byte revision answer", {.revision = 0x20, .revisionAnswer = {{0x31}}}, {}, STATUS_SUCCESS, 5, 0x31},
      {"empty revision answer", {.revision = 0x25, .revisionAnswer = std::vector<uint8_t>{}}, {},
       STATUS_SUCCESS, 5, 0x20},
      {"failed revision read", {}, Fail(1, STATUS_DEVICE_DATA_ERROR, UrbFilter::Request(0x5F)),
       STATUS_DEVICE_DATA_ERROR, 5, 0x20},
      {"wTotalLength 255", Padded(255), {}, STATUS_SUCCESS, 5, 0x30},
      {"wTotalLength 256", Padded(256), {}, STATUS_DEVICE_DATA_ERROR, 2, 0},
      {"wTotalLength 4", {.wTotalLength = 4}, {}, STATUS_DEVICE_DATA_ERROR, 2, 0},
      {"wTotalLength 9: no interface", {.wTotalLength = 9}, {}, STATUS_DEVICE_DATA_ERROR, 3, 0x20},
      {"configuration header of 8 bytes", {}, Cut(kConfigurationDescriptor, 9, 8), STATUS_DEVICE_DATA_ERROR, 2, 0},
      {"wTotalLength grows between the reads", {}, growing, STATUS_DEVICE_DATA_ERROR, 3, 0x20},
      {"bNumInterfaces 0", {.bNumInterfaces = 0}, {}, STATUS_DEVICE_DATA_ERROR, 3, 0x20},
      {"configuration shorter than wTotalLength", {}, truncate, STATUS_DEVICE_DATA_ERROR, 3, 0x20},
      {"failed device descriptor read: ProductId keeps its default", {.idProduct = 0x0ABC},
       Fail(1, STATUS_UNSUCCESSFUL, kDescriptorReads), STATUS_SUCCESS, 5, 0x30, 0x23},
      {"failed configuration header read", {}, Fail(2, STATUS_DEVICE_DATA_ERROR, kDescriptorReads),
       STATUS_DEVICE_DATA_ERROR, 2, 0},
      {"failed header read after an earlier configuration", {}, stale, STATUS_DEVICE_DATA_ERROR, 2, 0},
      // idProduct is the last field of the first 12 bytes of the device descriptor.
      {"device descriptor of 12 bytes", {.idProduct = 0x0ABC}, Cut(kDeviceDescriptor, 18, 12), STATUS_SUCCESS,
       5, 0x30, 0x0ABC},
      {"device descriptor of 11 bytes: ProductId keeps its default", {.idProduct = 0x0ABC},
       Cut(kDeviceDescriptor, 18, 11), STATUS_SUCCESS, 5, 0x30, 0x23},
      {"failed selection", {}, Fail(1, STATUS_DEVICE_NOT_CONNECTED, selection),
       STATUS_DEVICE_NOT_CONNECTED, 4, 0x20},
      {"no pool for the work block", {}, FailPool(0), STATUS_INSUFFICIENT_RESOURCES, 0, 0},
      {"no pool for the configuration request", {}, FailPool(1), STATUS_INSUFFICIENT_RESOURCES, 3, 0x20},
      // A bulk endpoint missing or of the wrong packet size fails the configuration on every revision.
      {"no endpoint 0x82", {.endpoints = {out32, intr}}, {}, STATUS_NO_SUCH_DEVICE, 4, 0x20},
      {"no endpoint 0x02", {.endpoints = {in32, intr}}, {}, STATUS_NO_SUCH_DEVICE, 4, 0x20},
      {"bulk in of 64 bytes, new chip", {.endpoints = {in64, out32, intr}}, {}, STATUS_NO_SUCH_DEVICE, 4,
       0x20},
      {"bulk in of 64 bytes, old chip", {.revision = 0x10, .endpoints = {in64, out32, intr}}, {},
       STATUS_NO_SUCH_DEVICE, 4, 1},
      {"bulk out of 64 bytes, revision 0x20", {.revision = 0x20, .endpoints = {in32, out64, intr}}, {},
       STATUS_NO_SUCH_DEVICE, 4, 0x20},
  };
  // clang-format on
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.what);
    UsbPortMachine m(c.chip);
    size_t pool = m.PoolBlocks();
    if (c.fault) c.fault(m);
    EXPECT_EQ(m.Configure(), c.status) << "wrong configuration status";
    EXPECT_EQ(m.usb().Urbs().size(), c.requests) << "wrong number of requests sent";
    EXPECT_EQ(m.ext()->ChipVersion, c.chipVersion) << "wrong ChipVersion";
    EXPECT_EQ(m.ext()->BulkInLength, 32u) << "wrong BulkInLength";
    if (c.productId != 0) {
      EXPECT_EQ(m.ext()->ProductId, c.productId) << "wrong ProductId";
    }
    EXPECT_EQ(m.PoolBlocks(), pool) << "the configuration leaked pool";
  }
}

TEST(UsbConfiguration, PipesAreSelectedWithTransfersOfAtMost4096Bytes) {
  ConfiguredPort m;
  auto fits = StartPipeTransfer(m, m.ext()->BulkInPipe, true, 4096, &m.ext()->BulkInBusy);
  auto tooBig = StartPipeTransfer(m, m.ext()->BulkInPipe, true, 4097, &m.ext()->BulkInBusy);
  m.kernel().RunFor(10 * emu::kMillisecond);
  EXPECT_FALSE(fits->done) << "a 4096-byte transfer must be accepted and wait for data";
  ASSERT_TRUE(tooBig->done) << "a 4097-byte transfer should be refused by the bus driver";
  EXPECT_EQ(tooBig->status, STATUS_INVALID_PARAMETER)
      << "the pipe was selected with a maximum transfer size above 4096";
}

TEST(UsbConfiguration, DeconfigureSelectsNoConfigurationOnlyWhileConnected) {
  const auto unplug = [](NTSTATUS queryStatus) {
    return [=](UsbPortMachine& m) {
      if (queryStatus != STATUS_SUCCESS) m.usb().FailPortStatusWhenUnplugged(queryStatus);
      m.usb().Unplug();
    };
  };
  // clang-format off
  const struct { const char* what; Fault fault; NTSTATUS status; size_t requests; } cases[] = {
      {"connected",                      {},                                  STATUS_SUCCESS,        1},
      {"unplugged",                      unplug(STATUS_SUCCESS),              STATUS_NO_SUCH_DEVICE, 0},
      {"unplugged, hub fails the query", unplug(STATUS_DEVICE_NOT_CONNECTED), STATUS_NO_SUCH_DEVICE, 0},
      {"port status query fails", [](UsbPortMachine& m) { m.usb().FailPortStatus(1, STATUS_UNSUCCESSFUL); },
       STATUS_NO_SUCH_DEVICE, 0},
      {"no pool",                        FailPool(0),                 STATUS_INSUFFICIENT_RESOURCES, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConfiguredPort m;
    size_t pool = m.PoolBlocks();
    if (c.fault) c.fault(m);
    EXPECT_EQ(m.Call([&] { return DeconfigureUsbDevice(m.device); }), c.status);
    EXPECT_EQ(m.usb().Urbs().size(), c.requests) << "wrong number of requests sent";
    EXPECT_EQ(m.PoolBlocks(), pool) << "the deconfiguration URB was not freed";
    if (c.requests != 0) {
      EXPECT_EQ(m.usb().Urbs()[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
      EXPECT_FALSE(m.usb().Configured()) << "the device is still configured";
    }
  }
}

}  // namespace
}  // namespace drvusb_test

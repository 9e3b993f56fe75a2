// The port's WMI data blocks as a management application sees them: a bridge plugged and started
// by the Plug and Play manager, its blocks queried by GUID and instance name through the
// machine's WMI service.
#include <cstring>
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "line/far_ends.h"
#include "serial/comm_properties.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire::testing {
namespace {

constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";
const GUID kNameGuid = SERIAL_PORT_WMI_NAME_GUID;
const GUID kCommGuid = SERIAL_PORT_WMI_COMM_GUID;
const GUID kHwGuid = SERIAL_PORT_WMI_HW_GUID;
const GUID kPerfGuid = SERIAL_PORT_WMI_PERF_GUID;
const GUID kPropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;

template <typename T>
T As(const std::vector<uint8_t>& bytes) {
  T value{};
  EXPECT_GE(bytes.size(), sizeof(T));
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
  return value;
}

// A bridge named COM8 in its hardware key, plugged with a loopback plug on its connector.
class WmiPortTest : public ::testing::Test {
 protected:
  WmiPortTest() : machine(DriverMachine(test_support::CurrentConfig())), host(machine) {
    machine.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
    chip.AttachLine(&loopback);
    usbPort = &host.Plug(chip);
    pdo = usbPort->Pdo();
    machine.registry().SetString(machine.io().DeviceParametersKeyPath(pdo), u"PortName", u"COM8");
    EXPECT_TRUE(machine.pnp().RunUntilIdle()) << "the arrival did not finish";
    port = PortOf(pdo);
    instance = machine.WmiInstanceName(pdo);
  }
  ~WmiPortTest() override {
    if (usbPort != nullptr) Unplug();
    chip.AttachLine(nullptr);
  }
  void Unplug() {
    usbPort->Unplug();
    usbPort = nullptr;
    EXPECT_TRUE(machine.pnp().RunUntilIdle()) << "the unplug did not finish";
  }
  emu::WmiQueryResult Query(const GUID& guid, ULONG size = 4096) {
    return machine.QueryWmiBlock(guid, instance, size);
  }
  SERIAL_WMI_COMM_DATA CommInfo() {
    emu::WmiQueryResult r = Query(kCommGuid);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(64u, r.data.size());
    return As<SERIAL_WMI_COMM_DATA>(r.data);
  }

  emu::Machine machine;
  emu::zm470::Zm470 chip;
  emu::line::LoopbackPlug loopback;
  emu::usb::UsbHost host;
  emu::usb::UsbPort* usbPort = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT port = nullptr;
  std::u16string instance;
};

TEST_F(WmiPortTest, PortNameIsTheCountedComNameAndCommInfoNeedsSixtyFourBytes) {
  ASSERT_NE(nullptr, port);
  emu::WmiQueryResult name = Query(kNameGuid);
  ASSERT_EQ(STATUS_SUCCESS, name.status);
  const std::vector<uint8_t> com8 = {8, 0, 'C', 0, 'O', 0, 'M', 0, '8', 0};
  EXPECT_EQ(com8, name.data) << "count 8, then COM8 in UTF-16 without a NUL";

  emu::WmiQueryResult small = Query(kCommGuid, 63);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, small.status);
  EXPECT_EQ(64u, small.sizeNeeded);
  EXPECT_EQ(32u, Query(kHwGuid).data.size());
  EXPECT_EQ(std::vector<uint8_t>(32, 0), Query(kHwGuid).data) << "the hardware block is all zero";
}

TEST_F(WmiPortTest, CommInfoAfterAStartFollowsTheStoredSettings) {
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = PortExtension(port);
  ext->DataMask = 0x7F;
  ext->Parity = MARK_PARITY;
  ext->StopBits = STOP_BITS_2;
  ext->BaudRate = 19200;
  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Rebalance(pdo)) << "stop and start";
  SERIAL_WMI_COMM_DATA comm = CommInfo();
  EXPECT_EQ(7u, comm.BitsPerByte);
  EXPECT_EQ(4u, comm.Parity) << "mark parity is 4 in WMI's numbering";
  EXPECT_TRUE(comm.ParityCheckEnable);
  EXPECT_EQ(2u, comm.StopBits);
  EXPECT_EQ(19200u, comm.BaudRate);
  EXPECT_EQ(ext->SpecialChars.XoffChar, comm.XoffCharacter);
  EXPECT_EQ(0x10000000u, comm.MaximumBaudRate);
  EXPECT_EQ(0xFFFFFFFFu, comm.MaximumInputBufferSize);
  EXPECT_FALSE(comm.Support16BitMode);
  EXPECT_TRUE(comm.SupportXonXoff && comm.SettableStopBits && comm.SettableParityCheck);
  EXPECT_FALSE(comm.IsBusy);
}

TEST_F(WmiPortTest, EverySetRequestIsRefused) {
  ASSERT_NE(nullptr, port);
  const UCHAR value[64] = {};
  const std::vector<uint8_t> before = Query(kCommGuid).data;
  for (const GUID* guid : {&kNameGuid, &kCommGuid, &kHwGuid, &kPerfGuid, &kPropertiesGuid}) {
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, machine.SetWmiBlock(*guid, instance, value, sizeof value));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, machine.SetWmiItem(*guid, instance, 1, value, 4));
  }
  EXPECT_EQ(before, Query(kCommGuid).data) << "a refused set changed the block";
}

TEST_F(WmiPortTest, CommPropertiesAreTheGetPropertiesAnswerWithoutProviderCharacters) {
  ASSERT_NE(nullptr, port);
  emu::WmiQueryResult r = Query(kPropertiesGuid);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  ASSERT_EQ(68u, r.data.size());
  SERIAL_COMMPROP expected{};
  FillCommProperties(port, &expected);
  EXPECT_EQ(0, std::memcmp(&expected, r.data.data(), 60)) << "the fields up to ProvSpec2 differ";
  EXPECT_EQ(std::vector<uint8_t>(8, 0), std::vector<uint8_t>(r.data.begin() + 60, r.data.end()))
      << "provider-character count and the last four bytes are 0";
  EXPECT_EQ(Query(kPropertiesGuid, 67).sizeNeeded, 68u);
}

TEST_F(WmiPortTest, IsBusyFollowsTheHandleAndTheCountersFollowTheTraffic) {
  ASSERT_NE(nullptr, port);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\DosDevices\\COM8", &file));
  EXPECT_TRUE(CommInfo().IsBusy) << "open did not mark the port busy";

  const char data[] = "sixteen bytes...";
  ULONG_PTR written = 0;
  ASSERT_EQ(STATUS_SUCCESS, machine.Write(file, data, 16, &written));
  machine.kernel().RunFor(50 * ms);  // the loopback brings the bytes back
  emu::WmiQueryResult perf = Query(kPerfGuid);
  ASSERT_EQ(STATUS_SUCCESS, perf.status);
  ASSERT_EQ(24u, perf.data.size());
  SERIALPERF_STATS stats = As<SERIALPERF_STATS>(perf.data);
  EXPECT_EQ(16u, stats.TransmittedCount);
  EXPECT_EQ(16u, stats.ReceivedCount);
  EXPECT_EQ(0u, stats.FrameErrorCount + stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount +
                    stats.ParityErrorCount);

  ASSERT_EQ(STATUS_SUCCESS, machine.Close(file));
  EXPECT_FALSE(CommInfo().IsBusy) << "close did not clear busy";
}

TEST_F(WmiPortTest, RemovalDeregistersThePort) {
  ASSERT_NE(nullptr, port);
  ASSERT_EQ(STATUS_SUCCESS, Query(kCommGuid).status);
  Unplug();
  EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, Query(kCommGuid).status) << "a removed port still answered";
}

}  // namespace
}  // namespace tarnwire::testing

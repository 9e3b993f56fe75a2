// System sleep and resume with a port open on a bridge with a loopback plug, the driver loaded by
// Plug and Play: the device power request the driver makes for each system request, the port
// refusing requests and its threads idle while asleep, the order of the resume (D0 from the bus,
// the pause, the USB configuration) and the settings made before the sleep in force on the chip
// afterwards, whether the chip kept its state (standby) or lost it with the bus power
// (hibernation); and a read that stays pending across the sleep.
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "rx/receive_flow.h"
#include "serial_rig.h"
#include "usb/line_format.h"
#include "usb/modem_lines.h"

namespace tarnwire::testing {
namespace {

using serial_rig::SerialRig;

constexpr char kSetPowerTrace[] = "IRP_MJ_POWER minor=2 dev=";

// A read started from an application thread and left to complete on its own.
struct PendingRead {
  IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
  char data[8] = {};
};

class PowerTest : public ::testing::Test {
 protected:
  explicit PowerTest(emu::KernelConfig config = test_support::CurrentConfig())
      : rig(SerialRig::FarEnd::Loopback, DriverMachine(config)) {}

  void SetUp() override {
    ASSERT_EQ(rig.Error(), "");
    machine().kernel().SetTraceEnabled(true);
  }
  void TearDown() override { EXPECT_EQ(rig.Shutdown(), ""); }

  emu::Machine& machine() { return rig.machine(); }
  serial_rig::Bridge& bridge() { return rig.A(); }
  PPORT_EXTENSION ext() { return bridge().ext(); }
  emu::zm470::Zm470& chip() { return *bridge().chip; }
  PDEVICE_OBJECT pdo() { return bridge().usb->Pdo(); }

  // 19200 baud, 7 data bits, even parity, 2 stop bits, output held by CTS, DTR and RTS on; reads
  // wait for their full length.
  void ApplySettings() {
    ASSERT_TRUE(machine().RunInSystemThread("settings", [this] {
      PPORT_EXTENSION port = ext();
      port->BaudRate = 19200;
      port->DataMask = 0x7F;
      port->Parity = EVEN_PARITY;
      port->StopBits = STOP_BITS_2;
      port->Timeouts = SERIAL_TIMEOUTS{};
      ASSERT_EQ(ProgramBaudRate(bridge().port), STATUS_SUCCESS);
      ASSERT_EQ(ProgramLineFormat(bridge().port), STATUS_SUCCESS);
      SERIAL_HANDFLOW flow = port->HandFlow;
      flow.ControlHandShake = (flow.ControlHandShake & ~(ULONG)(SERIAL_DTR_MASK | SERIAL_OUT_HANDSHAKEMASK)) |
                              SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
      flow.FlowReplace = (flow.FlowReplace & ~(ULONG)SERIAL_RTS_MASK) | SERIAL_RTS_CONTROL;
      ApplyHandFlow(bridge().port, &flow);
      KeSetEvent(&port->StatusEvent, IO_NO_INCREMENT, FALSE);
    }));
    machine().kernel().RunFor(50 * ms);
  }

  // The chip's settings: rate and frame, output handshake.
  static std::string Settings(const emu::zm470::Zm470& chip) {
    return chip.LineFrame().ToString() + " handshake=" + std::to_string(chip.OutputHandshake());
  }
  std::string Outputs() {
    const auto out = chip().Outputs();
    return "dtr=" + std::to_string(out.dtr) + " rts=" + std::to_string(out.rts);
  }

  void StartRead(PendingRead& read, ULONG length) {
    emu::IoRequest request;
    request.majorFunction = IRP_MJ_READ;
    request.outputBuffer = read.data;
    request.outputLength = length;
    ASSERT_TRUE(machine().RunInApplicationThread(
        "reader", [&] { machine().io().StartRequest(bridge().file, request, nullptr, &read.iosb); }));
  }

  // The IRP_MJ_POWER set-power calls that reached the bus at or after `since`, by IRP number.
  std::vector<std::pair<emu::VirtualTime, unsigned long>> SetPowerAtBus(emu::VirtualTime since) {
    std::vector<std::pair<emu::VirtualTime, unsigned long>> calls;
    const std::string label = machine().io().Label(pdo());
    for (const auto& e : machine().kernel().TraceEvents()) {
      if (e.time < since || e.category != "irp" || e.text.rfind("call irp#", 0) != 0) continue;
      if (e.text.find(kSetPowerTrace + label) == std::string::npos) continue;
      calls.emplace_back(e.time, std::stoul(e.text.substr(9)));
    }
    return calls;
  }

  SerialRig rig;
};

// The port threads, the status monitor's and the power manager's workers run side by side.
using PowerSleepTest = Scheduled<PowerTest>;

TEST_P(PowerSleepTest, StandbyAndHibernationKeepTheOpenHandleAndTheSettingsAndAReadPendsAcrossTheSleep) {
  ApplySettings();
  const std::string before = Settings(chip());
  const emu::zm470::Zm470 fresh;
  const std::string powerOn = Settings(fresh);
  ASSERT_NE(before, powerOn) << "the settings are the chip's defaults";
  ASSERT_NE(before.find(" 7E2 handshake=1"), std::string::npos)
      << "the settings did not reach the chip: " << before;
  ASSERT_EQ(Outputs(), "dtr=1 rts=1");

  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemHibernate}) {
    const bool powerLost = state == PowerSystemHibernate;
    SCOPED_TRACE(powerLost ? "hibernation" : "standby");
    PendingRead read;
    StartRead(read, 4);
    machine().kernel().RunFor(20 * ms);
    ASSERT_EQ(read.iosb.Status, STATUS_PENDING);

    const emu::VirtualTime sleepAt = machine().kernel().Now();
    ASSERT_EQ(machine().Sleep(state), STATUS_SUCCESS);
    const auto down = SetPowerAtBus(sleepAt);
    ASSERT_EQ(down.size(), 2u) << "the bus should see the device request and the system request";
    EXPECT_GT(down[0].second, down[1].second)
        << "the device request (allocated after the system request) reaches the bus first";
    EXPECT_EQ(machine().power().DeviceState(bridge().port), PowerDeviceD3);
    EXPECT_FALSE(ext()->Started);
    if (powerLost) {
      EXPECT_EQ(Settings(chip()), powerOn) << "the chip lost power and its settings";
      EXPECT_EQ(Outputs(), "dtr=0 rts=0");
      EXPECT_FALSE(bridge().usb->Configured());
    } else {
      EXPECT_EQ(Settings(chip()), before) << "standby keeps the chip powered and programmed";
      EXPECT_EQ(Outputs(), "dtr=1 rts=1");
      EXPECT_TRUE(bridge().usb->Configured());
    }

    // Asleep: requests refused, the read still pending, nothing sent to the device once the
    // threads have seen their transfers end (with the bus power, in hibernation).
    EXPECT_EQ(machine().Write(bridge().file, "zz", 2), STATUS_INVALID_DEVICE_REQUEST);
    machine().kernel().RunFor(50 * ms);
    const size_t urbs = bridge().usb->Urbs().size();
    machine().kernel().RunFor(500 * ms);
    EXPECT_EQ(bridge().usb->Urbs().size(), urbs) << "a port thread used the device while the system slept";
    EXPECT_EQ(read.iosb.Status, STATUS_PENDING) << "the read did not stay pending across the sleep";

    const emu::VirtualTime wakeAt = machine().kernel().Now();
    ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
    EXPECT_TRUE(ext()->Started);
    EXPECT_EQ(machine().power().DeviceState(bridge().port), PowerDeviceD0);
    const auto up = SetPowerAtBus(wakeAt);
    ASSERT_EQ(up.size(), 2u);
    EXPECT_GT(up[0].second, up[1].second) << "D0 reaches the bus before the system request";
    emu::VirtualTime firstUrb = -1;
    for (const auto& u : bridge().usb->Urbs()) {
      if (u.submitted >= wakeAt) {
        firstUrb = u.submitted;
        EXPECT_EQ(u.function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
            << "the resume starts with the configuration";
        break;
      }
    }
    EXPECT_GE(firstUrb, up[0].first + 20 * ms) << "the USB configuration must wait 20 ms after D0";
    EXPECT_EQ(Settings(chip()), before) << "the settings in force before the sleep are not back on the chip";
    EXPECT_EQ(Outputs(), "dtr=1 rts=1") << "DTR and RTS must be back as they were before the sleep";

    // The handle works on: the pending read gets what a write sends through the loopback plug.
    ULONG_PTR written = 0;
    EXPECT_EQ(machine().Write(bridge().file, "ping", 4, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
    machine().kernel().RunUntil([&] { return read.iosb.Status != STATUS_PENDING; },
                                machine().kernel().Now() + emu::kSecond);
    EXPECT_EQ(read.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(read.data, read.iosb.Information), "ping");
    ASSERT_NE(read.iosb.Status, STATUS_PENDING) << "the read's status block would outlive it";

    // Bytes received before a sleep and not yet read are still there after it.
    EXPECT_EQ(machine().Write(bridge().file, "xy", 2, &written), STATUS_SUCCESS);
    machine().kernel().RunFor(20 * ms);
    ASSERT_EQ(machine().Sleep(state), STATUS_SUCCESS);
    ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
    char kept[2] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(machine().Read(bridge().file, kept, 2, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(kept, got), "xy") << "the sleep lost received bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Schedules, PowerSleepTest, AllSchedules(), ScheduleName);

TEST_F(PowerTest, ShutdownRequestsD3AndAQueryChangesNothing) {
  const size_t requestsBefore = machine().kernel().TraceEvents().size();
  EXPECT_EQ(machine().SendPower(pdo(), IRP_MN_QUERY_POWER,
                                [](PIO_STACK_LOCATION sp) {
                                  sp->Parameters.Power.Type = SystemPowerState;
                                  sp->Parameters.Power.State.SystemState = PowerSystemSleeping3;
                                  sp->Parameters.Power.ShutdownType = PowerActionSleep;
                                }),
            STATUS_SUCCESS)
      << "the query goes down to the bus unvetoed";
  EXPECT_TRUE(ext()->Started);
  EXPECT_EQ(machine().power().DeviceState(bridge().port), PowerDeviceD0);
  for (size_t i = requestsBefore; i < machine().kernel().TraceEvents().size(); ++i)
    EXPECT_EQ(machine().kernel().TraceEvents()[i].text.find("request minor"), std::string::npos)
        << "a query made the driver request a device power state";

  ASSERT_EQ(machine().Shutdown(), STATUS_SUCCESS);
  EXPECT_EQ(machine().power().DeviceState(bridge().port), PowerDeviceD3);
  EXPECT_EQ(machine().power().DeviceState(pdo()), PowerDeviceD3) << "the D3 request did not reach the bus";
  EXPECT_FALSE(ext()->Started);
  // The machine is off: the handle's cleanup finds the port powered down.
  EXPECT_EQ(machine().Close(bridge().file), STATUS_INVALID_DEVICE_REQUEST);
  bridge().file = nullptr;
}

}  // namespace
}  // namespace tarnwire::testing

// Completeness of what DriverEntry and add-device set up: every major function a serial port
// receives has a routine of its own (not the system's default, not a pass-down or refusing
// stand-in), and every DPC and timer of the port extension is initialised with its routine and
// the extension as context. The extension's DPC and timer fields are read from its header, so a
// field added there without an entry here fails the test.
#include <cstddef>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/file_information.h"
#include "driver/open_close.h"
#include "driver/pnp_dispatch.h"
#include "driver/power_dispatch.h"
#include "driver/wmi_blocks.h"
#include "driver_fixture.h"
#include "rx/read_request.h"
#include "serial/device_control.h"
#include "serial/internal_control.h"
#include "tx/serial_events.h"
#include "tx/write_request.h"
#include "tx/xoff_counter.h"

namespace tarnwire::testing {
namespace {

struct MajorFunction {
  UCHAR code;
  const char* name;
  PDRIVER_DISPATCH routine;
};
const MajorFunction kServed[] = {
    {IRP_MJ_CREATE, "IRP_MJ_CREATE", CreateDispatch},
    {IRP_MJ_CLOSE, "IRP_MJ_CLOSE", CloseDispatch},
    {IRP_MJ_CLEANUP, "IRP_MJ_CLEANUP", CleanupDispatch},
    {IRP_MJ_READ, "IRP_MJ_READ", ReadDispatch},
    {IRP_MJ_WRITE, "IRP_MJ_WRITE", WriteDispatch},
    {IRP_MJ_FLUSH_BUFFERS, "IRP_MJ_FLUSH_BUFFERS", WriteDispatch},
    {IRP_MJ_QUERY_INFORMATION, "IRP_MJ_QUERY_INFORMATION", QueryInformationDispatch},
    {IRP_MJ_SET_INFORMATION, "IRP_MJ_SET_INFORMATION", SetInformationDispatch},
    {IRP_MJ_DEVICE_CONTROL, "IRP_MJ_DEVICE_CONTROL", DeviceControlDispatch},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, "IRP_MJ_INTERNAL_DEVICE_CONTROL", InternalIoctlDispatch},
    {IRP_MJ_POWER, "IRP_MJ_POWER", PowerDispatch},
    {IRP_MJ_SYSTEM_CONTROL, "IRP_MJ_SYSTEM_CONTROL", SystemControlDispatch},
    {IRP_MJ_PNP, "IRP_MJ_PNP", PnpDispatch},
};

// The port extension's DPCs and timers. `routine` is the DPC's routine where a header names it
// (null: the routine is private to its file; it must still be set and differ from the others).
struct DpcField {
  const char* name;
  size_t offset;
  PKDEFERRED_ROUTINE routine;
};
#define TW_DPC(field, ...) \
  DpcField { #field, offsetof(PORT_EXTENSION, field), __VA_ARGS__ }
const DpcField kDpcs[] = {
    TW_DPC(WaitDpc, &WaitSatisfied),          TW_DPC(ReadTotalDpc, nullptr),
    TW_DPC(ReadIntervalDpc, nullptr),         TW_DPC(ReadContinueDpc, &ReadContinue),
    TW_DPC(WriteCompleteDpc, &WriteComplete), TW_DPC(XoffCounterTimeoutDpc, &XoffCounterExpired),
};
#undef TW_DPC
#define TW_TIMER(field) std::pair<const char*, size_t>(#field, offsetof(PORT_EXTENSION, field))
const std::pair<const char*, size_t> kTimers[] = {
    TW_TIMER(ReadTotalTimer),
    TW_TIMER(ReadIntervalTimer),
    TW_TIMER(XoffCounterTimer),
};
#undef TW_TIMER

// The names of the fields of `type` (KDPC, KTIMER) declared in the port extension's header.
std::set<std::string> HeaderFields(const std::string& type) {
  std::ifstream in(std::string(TARNWIRE_SOURCE_DIR) + "/src/driver/port_extension.h");
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  std::set<std::string> names;
  std::istringstream lines(s);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, name;
    if (!(words >> first >> name) || first != type || name.empty() || name.back() != ';') continue;
    names.insert(name.substr(0, name.size() - 1));
  }
  return names;
}

template <class Entries>
std::set<std::string> Names(const Entries& entries) {
  std::set<std::string> names;
  for (const auto& e : entries) {
    if constexpr (std::is_same_v<std::decay_t<decltype(e)>, DpcField>) {
      names.insert(e.name);
    } else {
      names.insert(e.first);
    }
  }
  return names;
}

using DispatchTableTest = LoadedDriverTest;

TEST_F(DispatchTableTest, EveryServedMajorFunctionHasARoutineOfTheDriver) {
  // IRP_MJ_CREATE_NAMED_PIPE is not served by a serial port: its slot holds the system's default.
  const PDRIVER_DISPATCH systemDefault = driver()->MajorFunction[IRP_MJ_CREATE_NAMED_PIPE];
  ASSERT_NE(nullptr, systemDefault);
  for (const MajorFunction& f : kServed) {
    const PDRIVER_DISPATCH routine = driver()->MajorFunction[f.code];
    EXPECT_NE(systemDefault, routine) << f.name << " keeps the system's default routine";
    EXPECT_EQ(f.routine, routine) << f.name << " is not served by its own routine";
  }
  EXPECT_NE(nullptr, driver()->DriverUnload);
  EXPECT_NE(nullptr, driver()->DriverExtension->AddDevice);
}

TEST_F(DispatchTableTest, TheListsHoldEveryDpcAndTimerOfThePortExtension) {
  const std::set<std::string> dpcs = HeaderFields("KDPC");
  const std::set<std::string> timers = HeaderFields("KTIMER");
  ASSERT_FALSE(dpcs.empty()) << "no KDPC field found in port_extension.h";
  EXPECT_EQ(dpcs, Names(kDpcs)) << "a KDPC field of the port extension is missing here, or gone there";
  EXPECT_EQ(timers, Names(kTimers)) << "a KTIMER field of the port extension is missing here, or gone there";
}

TEST_F(DispatchTableTest, AddDeviceInitialisesEveryDpcAndTimerWithItsRoutine) {
  PPORT_EXTENSION ext = Ext(AddBridge());
  auto* base = reinterpret_cast<UCHAR*>(ext);
  std::set<PKDEFERRED_ROUTINE> routines;
  for (const DpcField& f : kDpcs) {
    const auto* dpc = reinterpret_cast<const KDPC*>(base + f.offset);
    EXPECT_EQ(DpcObject, dpc->Type) << f.name << " is not initialised";
    EXPECT_NE(nullptr, dpc->DeferredRoutine) << f.name << " has no routine";
    if (f.routine != nullptr) {
      EXPECT_EQ(f.routine, dpc->DeferredRoutine) << f.name << " has another routine";
    }
    EXPECT_EQ(ext, dpc->DeferredContext) << f.name << "'s context is not the port extension";
    EXPECT_TRUE(routines.insert(dpc->DeferredRoutine).second) << f.name << " shares its routine";
  }
  for (const auto& [name, offset] : kTimers) {
    const auto* timer = reinterpret_cast<const KTIMER*>(base + offset);
    EXPECT_EQ(TimerNotificationObject, timer->Header.Type) << name << " is not a notification timer";
    EXPECT_FALSE(timer->Header.Inserted) << name << " is set after add-device";
  }
}

}  // namespace
}  // namespace tarnwire::testing

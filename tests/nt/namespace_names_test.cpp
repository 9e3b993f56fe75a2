// The object namespace as drivers and applications see it: device names, DOS links, device
// interfaces, opening through any of them, the exclusive-device rule, closing, the
// configuration record and WMI registration.
#include <algorithm>
#include <vector>

#include "nt/io_test_support.h"
#include "nt/io_util.h"

namespace {

using emu::Machine;
using emu::testing::Complete;
using emu::testing::LambdaDriver;
using emu::testing::PdoRig;
using emu::testing::UStr;

DEFINE_GUID(kComPortInterface, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);

// A driver that counts the requests it sees by major function, completing all but `park`.
struct CountingDriver : LambdaDriver {
  std::vector<UCHAR> seen;
  PDEVICE_OBJECT lastDevice = nullptr;
  PIRP parked = nullptr;
  CountingDriver(Machine& m, UCHAR park = 0xFF) : LambdaDriver(m, u"serialx") {
    dispatch = [this, park](PDEVICE_OBJECT dev, PIRP irp) {
      lastDevice = dev;
      seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
      if (seen.back() != park) return Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      parked = irp;
      return STATUS_PENDING;
    };
  }
  int Count(UCHAR major) const { return static_cast<int>(std::count(seen.begin(), seen.end(), major)); }
};

TEST(NamespaceNames, NamesCollideAndOnlyInitialisedLiveDevicesOpen) {
  Machine m(test_support::CurrentConfig());
  LambdaDriver d(m, u"serialx");
  UStr name(u"\\Device\\Serial2"), other(u"\\device\\SERIAL2");  // names ignore case
  PDEVICE_OBJECT first = nullptr, second = reinterpret_cast<PDEVICE_OBJECT>(1);
  ASSERT_EQ(IoCreateDevice(d.object, 0, name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &first), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateDevice(d.object, 0, other, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr) << "a failed IoCreateDevice returns no device object";
  EXPECT_EQ(d.object->DeviceObject, first) << "the driver's device list holds only the first";
  EXPECT_EQ(first->NextDevice, nullptr);
  EXPECT_EQ(m.objects().FindDevice(name.chars), first);
  EXPECT_TRUE(first->Flags & DO_EXCLUSIVE);
  PFILE_OBJECT file = nullptr, again = nullptr;
  EXPECT_EQ(m.Open(name.chars, &file), STATUS_NO_SUCH_DEVICE)
      << "DO_DEVICE_INITIALIZING still set: the I/O manager refuses the open";
  first->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(m.Open(name.chars, &file), STATUS_SUCCESS);
  IoDeleteDevice(first);
  EXPECT_EQ(m.objects().FindDevice(name.chars), nullptr) << "deletion frees the name";
  EXPECT_EQ(d.object->DeviceObject, nullptr);
  EXPECT_EQ(m.Open(name.chars, &again), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS) << "an open file still reaches a deleted device";
}

TEST(NamespaceNames, DosDevicesIsAnAliasAndLinksCollide) {
  Machine m(test_support::CurrentConfig());
  LambdaDriver d(m, u"serialx");
  d.AddDevice(nullptr, u"\\Device\\Serial2");
  UStr link(u"\\DosDevices\\COM8"), target(u"\\Device\\Serial2"), again(u"\\??\\com8");
  ASSERT_EQ(IoCreateSymbolicLink(link, target), STATUS_SUCCESS);
  EXPECT_EQ(m.objects().LinkTarget(u"\\??\\COM8"), std::u16string(u"\\Device\\Serial2"))
      << "\\DosDevices\\X is \\??\\X";
  EXPECT_EQ(IoCreateSymbolicLink(again, target), STATUS_OBJECT_NAME_COLLISION)
      << "a taken link name collides whichever spelling is used";
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(u"\\DosDevices\\COM8", &file), STATUS_SUCCESS) << "opening the link reaches the device";
  EXPECT_EQ(file->DeviceObject, m.objects().FindDevice(u"\\Device\\Serial2"));
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(again), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(m.Open(u"\\DosDevices\\COM8", &file), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(NamespaceNames, InterfaceRegistrationIsStableAndItsStateVisible) {
  PdoRig r({}, u"USB\\VID_0B39&PID_0421\\5&2A1B&0&1");
  CountingDriver d(r.m);
  PDEVICE_OBJECT fdo = d.AddDevice(r.pdo);
  UNICODE_STRING first{}, second{};
  ASSERT_TRUE(r.m.RunInSystemThread("adddevice", [&] {
    ASSERT_EQ(IoRegisterDeviceInterface(r.pdo, &kComPortInterface, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(r.pdo, &kComPortInterface, nullptr, &second), STATUS_SUCCESS);
  }));
  const std::u16string expected =
      u"\\??\\USB#VID_0B39&PID_0421#5&2A1B&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  EXPECT_EQ(emu::ToU16(&first), expected) << "instance path with '#' for '\\', then the GUID";
  EXPECT_TRUE(RtlEqualUnicodeString(&first, &second, FALSE)) << "registering again: same name";
  EXPECT_NE(first.Buffer, second.Buffer) << "each call returns a buffer of its own";
  EXPECT_EQ(first.Buffer[first.Length / 2], u'\0');
  ASSERT_EQ(r.m.objects().Interfaces().size(), 1u);
  EXPECT_FALSE(r.m.objects().Interfaces()[0].enabled) << "a registered interface starts disabled";

  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(r.m.Open(expected, &file), STATUS_OBJECT_NAME_NOT_FOUND)
      << "a disabled interface cannot be opened";
  ASSERT_TRUE(r.m.RunInSystemThread("start", [&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_OBJECT_NAME_EXISTS);
  }));
  EXPECT_TRUE(r.m.objects().FindInterface(expected)->enabled);
  ASSERT_EQ(r.m.Open(expected, &file), STATUS_SUCCESS);
  EXPECT_EQ(d.lastDevice, fdo) << "opening an interface reaches the top of the PDO's stack";
  EXPECT_EQ(d.Count(IRP_MJ_CREATE), 1);
  EXPECT_EQ(r.m.Close(file), STATUS_SUCCESS);
  ASSERT_TRUE(r.m.RunInSystemThread("remove", [&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
  }));
  EXPECT_FALSE(r.m.objects().FindInterface(expected)->enabled);
  EXPECT_EQ(first.Buffer, nullptr) << "RtlFreeUnicodeString clears the string";
  EXPECT_TRUE(r.m.kernel().LivePoolBlocks().empty()) << "the names were pool the caller freed";
  UNICODE_STRING notPdo{};
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kComPortInterface, nullptr, &notPdo),
            STATUS_INVALID_DEVICE_REQUEST)
      << "interfaces belong to physical device objects only";
}

TEST(NamespaceNames, ExclusiveDeviceRefusesASecondOpenBeforeItsDriverSeesIt) {
  Machine m(test_support::CurrentConfig());
  CountingDriver d(m);
  PDEVICE_OBJECT dev = d.AddDevice(nullptr, u"\\Device\\Serial3", /*exclusive=*/true);
  PFILE_OBJECT a = nullptr, b = nullptr;
  ASSERT_EQ(m.Open(u"\\Device\\Serial3", &a), STATUS_SUCCESS);
  EXPECT_EQ(dev->ReferenceCount, 1);
  EXPECT_EQ(m.Open(u"\\Device\\Serial3", &b), STATUS_ACCESS_DENIED);
  EXPECT_EQ(d.Count(IRP_MJ_CREATE), 1) << "the refused open never reaches the driver";
  EXPECT_EQ(m.Close(a), STATUS_SUCCESS);
  EXPECT_EQ(d.Count(IRP_MJ_CLOSE), 1);
  EXPECT_EQ(dev->ReferenceCount, 0);
  EXPECT_EQ(m.Open(u"\\Device\\Serial3", &b), STATUS_SUCCESS) << "free again after close";
  EXPECT_EQ(d.Count(IRP_MJ_CREATE), 2);
}

TEST(NamespaceNames, CloseWaitsForOutstandingRequestsBeforeIrpMjClose) {
  Machine m(test_support::CurrentConfig());
  CountingDriver d(m, IRP_MJ_READ);
  d.AddDevice(nullptr, u"\\Device\\Serial5");
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(u"\\Device\\Serial5", &file), STATUS_SUCCESS);
  char buf[4];
  m.kernel().StartApplicationThread("reader", [&] { m.Read(file, buf, sizeof buf); });
  m.kernel().Run();
  ASSERT_NE(d.parked, nullptr);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(d.seen.back(), IRP_MJ_CLEANUP) << "IRP_MJ_CLOSE waits for the pending read";
  ASSERT_TRUE(m.RunInSystemThread("driver", [&] { Complete(d.parked, STATUS_CANCELLED); }));
  m.kernel().Run();
  EXPECT_EQ(d.seen.back(), IRP_MJ_CLOSE) << "the last request's completion lets the close go";
}

TEST(NamespaceNames, ConfigurationInformationIsTheMachinesCounter) {
  Machine m(test_support::CurrentConfig());
  m.configuration().SerialCount = 5;
  PCONFIGURATION_INFORMATION info = IoGetConfigurationInformation();
  EXPECT_EQ(info->SerialCount, 5u) << "tests preset SerialCount through the machine";
  info->SerialCount++;
  EXPECT_EQ(m.configuration().SerialCount, 6u) << "drivers change the same record";
}

TEST(NamespaceNames, WmiRegistrationIsRecordedPerDevice) {
  Machine m(test_support::CurrentConfig());
  LambdaDriver d(m, u"serialx");
  PDEVICE_OBJECT dev = d.AddDevice();
  ASSERT_TRUE(m.RunInSystemThread("start-and-remove", [&] {
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(m.io().WmiRegistered(dev));
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK), STATUS_SUCCESS);
  }));
  EXPECT_FALSE(m.io().WmiRegistered(dev));
  ASSERT_EQ(m.io().WmiCalls().size(), 2u);
  EXPECT_EQ(m.io().WmiCalls()[1].action, static_cast<ULONG>(WMIREG_ACTION_DEREGISTER));
  EXPECT_EQ(m.io().WmiCalls()[1].flags, static_cast<ULONG>(WMIREG_FLAG_CALLBACK))
      << "flags are recorded apart from the action";
}

}  // namespace

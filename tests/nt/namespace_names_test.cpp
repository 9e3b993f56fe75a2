// The object namespace as drivers and applications see it: device names, DOS links, device
// interfaces, opening through any of them, and the exclusive-device rule.
#include "nt/bugcheck_expect.h"
#include "nt/io_test_support.h"
#include "nt/io_util.h"

#include <cstring>

namespace {

using emu::Machine;
using emu::ObjectNamespace;
using emu::testing::LambdaDriver;
using emu::testing::StubBus;
using emu::testing::Us;

DEFINE_GUID(kComPortInterface, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30,
            0x1F, 0x73);

TEST(NamespaceNames, DeviceNameCollisionLeavesNoDeviceBehind) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  std::u16string name = u"\\Device\\Serial2";
  UNICODE_STRING us = Us(name);
  PDEVICE_OBJECT first = nullptr, second = reinterpret_cast<PDEVICE_OBJECT>(1);
  ASSERT_EQ(IoCreateDevice(d.object, 0, &us, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &first),
            STATUS_SUCCESS);
  std::u16string other = u"\\device\\SERIAL2";  // names compare without regard to case
  UNICODE_STRING us2 = Us(other);
  EXPECT_EQ(IoCreateDevice(d.object, 0, &us2, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr) << "a failed IoCreateDevice returns no device object";
  EXPECT_EQ(d.object->DeviceObject, first) << "the driver's device list holds only the first";
  EXPECT_EQ(first->NextDevice, nullptr);
  EXPECT_EQ(m.objects().FindDevice(u"\\Device\\Serial2"), first);
  EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING) << "new devices start initialising";
  EXPECT_TRUE(first->Flags & DO_EXCLUSIVE);
  IoDeleteDevice(first);
  EXPECT_EQ(m.objects().FindDevice(u"\\Device\\Serial2"), nullptr) << "deletion frees the name";
  EXPECT_EQ(d.object->DeviceObject, nullptr);
}

TEST(NamespaceNames, DosDevicesIsAnAliasAndLinksCollide) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  d.AddDevice(nullptr, u"\\Device\\Serial2");
  std::u16string link = u"\\DosDevices\\COM8", target = u"\\Device\\Serial2";
  UNICODE_STRING l = Us(link), t = Us(target);
  ASSERT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
  EXPECT_EQ(m.objects().LinkTarget(u"\\??\\COM8"), std::u16string(u"\\Device\\Serial2"))
      << "\\DosDevices\\X is \\??\\X";
  std::u16string again = u"\\??\\com8";
  UNICODE_STRING a = Us(again);
  EXPECT_EQ(IoCreateSymbolicLink(&a, &t), STATUS_OBJECT_NAME_COLLISION)
      << "a taken link name collides whichever spelling is used";

  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(m.Open(u"\\DosDevices\\COM8", &file), STATUS_SUCCESS)
      << "opening the link reaches the device";
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->DeviceObject, m.objects().FindDevice(u"\\Device\\Serial2"));
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);

  EXPECT_EQ(IoDeleteSymbolicLink(&a), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&l), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(m.Open(u"\\DosDevices\\COM8", &file), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(NamespaceNames, InterfaceRegistrationIsStableAndItsStateVisible) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_0B39&PID_0421\\5&2A1B&0&1", bus);
  LambdaDriver d(m, u"serialx");
  PDEVICE_OBJECT fdo = d.AddDevice(pdo);
  int creates = 0;
  d.dispatch = [&](PDEVICE_OBJECT dev, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
      EXPECT_EQ(dev, fdo) << "opening an interface reaches the top of the PDO's stack";
      ++creates;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };

  UNICODE_STRING first{}, second{};
  ASSERT_TRUE(m.RunInSystemThread("adddevice", [&] {
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortInterface, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortInterface, nullptr, &second),
              STATUS_SUCCESS);
  }));
  const std::u16string expected =
      u"\\??\\USB#VID_0B39&PID_0421#5&2A1B&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  EXPECT_EQ(emu::ToU16(&first), expected) << "instance path with '#' for '\\', then the GUID";
  EXPECT_TRUE(RtlEqualUnicodeString(&first, &second, FALSE)) << "registering again: same name";
  EXPECT_NE(first.Buffer, second.Buffer) << "each call returns a buffer of its own";
  EXPECT_EQ(first.Buffer[first.Length / 2], u'\0');
  ASSERT_EQ(m.objects().Interfaces().size(), 1u);
  EXPECT_FALSE(m.objects().Interfaces()[0].enabled) << "a registered interface starts disabled";

  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(m.Open(expected, &file), STATUS_OBJECT_NAME_NOT_FOUND)
      << "a disabled interface cannot be opened";
  ASSERT_TRUE(m.RunInSystemThread("start", [&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_OBJECT_NAME_EXISTS);
  }));
  EXPECT_TRUE(m.objects().FindInterface(expected)->enabled);
  EXPECT_EQ(m.Open(expected, &file), STATUS_SUCCESS);
  EXPECT_EQ(creates, 1);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
  ASSERT_TRUE(m.RunInSystemThread("remove", [&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
  }));
  EXPECT_FALSE(m.objects().FindInterface(expected)->enabled);
  EXPECT_EQ(first.Buffer, nullptr) << "RtlFreeUnicodeString clears the string";
  EXPECT_TRUE(m.kernel().LivePoolBlocks().empty()) << "the names were pool the caller freed";

  UNICODE_STRING notPdo{};
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kComPortInterface, nullptr, &notPdo),
            STATUS_INVALID_DEVICE_REQUEST)
      << "interfaces belong to physical device objects only";
}

TEST(NamespaceNames, ExclusiveDeviceRefusesASecondOpenBeforeItsDriverSeesIt) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  int creates = 0, closes = 0;
  d.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    creates += major == IRP_MJ_CREATE;
    closes += major == IRP_MJ_CLOSE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT dev = d.AddDevice(nullptr, u"\\Device\\Serial3", /*exclusive=*/true);
  PFILE_OBJECT a = nullptr, b = nullptr;
  ASSERT_EQ(m.Open(u"\\Device\\Serial3", &a), STATUS_SUCCESS);
  EXPECT_EQ(dev->ReferenceCount, 1);
  EXPECT_EQ(m.Open(u"\\Device\\Serial3", &b), STATUS_ACCESS_DENIED);
  EXPECT_EQ(creates, 1) << "the refused open never reaches the driver";
  EXPECT_EQ(m.Close(a), STATUS_SUCCESS);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(dev->ReferenceCount, 0);
  EXPECT_EQ(m.Open(u"\\Device\\Serial3", &b), STATUS_SUCCESS) << "free again after close";
  EXPECT_EQ(creates, 2);
}

TEST(NamespaceNames, DevicesStillInitialisingOrDeletedCannotBeOpened) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  std::u16string name = u"\\Device\\Serial4";
  UNICODE_STRING us = Us(name);
  PDEVICE_OBJECT dev = nullptr;
  ASSERT_EQ(IoCreateDevice(d.object, 0, &us, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &dev),
            STATUS_SUCCESS);
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(m.Open(name, &file), STATUS_NO_SUCH_DEVICE)
      << "DO_DEVICE_INITIALIZING still set: the I/O manager refuses the open";
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(m.Open(name, &file), STATUS_SUCCESS);
  IoDeleteDevice(dev);
  PFILE_OBJECT again = nullptr;
  EXPECT_EQ(m.Open(name, &again), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS) << "an open file still reaches a deleted device";
}

TEST(NamespaceNames, CloseWaitsForOutstandingRequestsBeforeIrpMjClose) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  PIRP parked = nullptr;
  std::vector<UCHAR> seen;
  d.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    seen.push_back(major);
    if (major == IRP_MJ_READ) {
      IoMarkIrpPending(irp);
      parked = irp;
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  d.AddDevice(nullptr, u"\\Device\\Serial5");
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(u"\\Device\\Serial5", &file), STATUS_SUCCESS);
  char buf[4];
  m.kernel().StartApplicationThread("reader", [&] {
    emu::IoRequest r;
    r.majorFunction = IRP_MJ_READ;
    r.outputBuffer = buf;
    r.outputLength = sizeof buf;
    m.io().SendRequest(file, r);
  });
  m.kernel().Run();
  ASSERT_NE(parked, nullptr);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(seen.back(), IRP_MJ_CLEANUP) << "IRP_MJ_CLOSE waits for the pending read";
  ASSERT_TRUE(m.RunInSystemThread("driver", [&] {
    parked->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(parked, IO_NO_INCREMENT);
  }));
  m.kernel().Run();
  EXPECT_EQ(seen.back(), IRP_MJ_CLOSE) << "the last request's completion lets the close go";
}

TEST(NamespaceNames, ConfigurationInformationIsTheMachinesCounter) {
  Machine m;
  m.configuration().SerialCount = 5;
  PCONFIGURATION_INFORMATION info = IoGetConfigurationInformation();
  EXPECT_EQ(info->SerialCount, 5u) << "tests preset SerialCount through the machine";
  info->SerialCount++;
  EXPECT_EQ(m.configuration().SerialCount, 6u) << "drivers change the same record";
}

TEST(NamespaceNames, WmiRegistrationIsRecordedPerDevice) {
  Machine m;
  LambdaDriver d(m, u"serialx");
  PDEVICE_OBJECT dev = d.AddDevice();
  ASSERT_TRUE(m.RunInSystemThread("start", [&] {
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  }));
  EXPECT_TRUE(m.io().WmiRegistered(dev));
  ASSERT_TRUE(m.RunInSystemThread("remove", [&] {
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_SUCCESS);
  }));
  EXPECT_FALSE(m.io().WmiRegistered(dev));
  ASSERT_EQ(m.io().WmiCalls().size(), 2u);
  EXPECT_EQ(m.io().WmiCalls()[1].action, static_cast<ULONG>(WMIREG_ACTION_DEREGISTER));
  EXPECT_EQ(m.io().WmiCalls()[1].flags, static_cast<ULONG>(WMIREG_FLAG_CALLBACK))
      << "flags are recorded apart from the action";
}

}  // namespace

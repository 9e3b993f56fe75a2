// Port device creation: kernel names, COM names, links, the SERIALCOMM value, the interface and
// the defaults of a new port.
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

class NamingTest : public DriverTest {
 protected:
  void SetUp() override { ASSERT_EQ(STATUS_SUCCESS, Load()); }
  void TearDown() override { RemoveAllAndUnload(); }

  void TakeKernelName(std::u16string_view name) {
    ASSERT_EQ(STATUS_SUCCESS, objects().InsertDevice(name, CreatePdo()));
  }
  void TakeComName(std::u16string_view com) {
    ASSERT_EQ(STATUS_SUCCESS,
              objects().CreateLink(u"\\DosDevices\\" + std::u16string(com), u"\\Device\\OtherSerial"));
  }
  // Adds a bridge with the system's SerialCount preset and returns its (kernel, COM) names.
  std::pair<std::string, std::string> NamesFor(ULONG serialCount) {
    machine().configuration().SerialCount = serialCount;
    PDEVICE_OBJECT port = AddBridge();
    if (port == nullptr) return {};
    EXPECT_EQ(serialCount + 1, machine().configuration().SerialCount);
    return {Narrow(ToU16(Ext(port)->DeviceName)), Narrow(ToU16(Ext(port)->PortName))};
  }
};

TEST_F(NamingTest, FirstBridgeIsSerial2AndCom8WithItsLinkValueAndInterface) {
  machine().configuration().SerialCount = 0;
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  EXPECT_EQ(u"\\Device\\Serial2", ToU16(ext->DeviceName));
  EXPECT_EQ(u"COM8", ToU16(ext->PortName));
  EXPECT_EQ(7u, ext->SerialIndex);
  EXPECT_EQ(64, ext->PortName.MaximumLength);
  EXPECT_EQ(ext->PortName.Buffer, ext->WmiPortName.Buffer);
  EXPECT_EQ(u"COM8", ToU16(ext->WmiPortName));
  EXPECT_EQ(u"\\DosDevices\\COM8", ToU16(ext->DosLinkName));
  EXPECT_EQ(std::optional<std::u16string>(u"\\Device\\Serial2"), LinkTarget(u"COM8"));
  EXPECT_EQ(port, objects().FindDevice(u"\\Device\\Serial2"));

  auto value = SerialCommRaw(u"\\Device\\Serial2");
  ASSERT_TRUE(value) << "no SERIALCOMM value named by the kernel device name";
  EXPECT_EQ(ULONG(REG_SZ), value->type);
  const char16_t expected[] = u"COM8";  // with its terminating NUL
  EXPECT_EQ(sizeof expected, value->data.size());
  EXPECT_EQ(0, memcmp(expected, value->data.data(), sizeof expected)) << "wrong SERIALCOMM data";

  ASSERT_NE(nullptr, ext->InterfaceName.Buffer);
  const emu::ObjectNamespace::Interface* iface = objects().FindInterface(ToU16(ext->InterfaceName));
  ASSERT_NE(nullptr, iface) << "COM-port interface not registered";
  EXPECT_TRUE(0 == memcmp(&GUID_DEVINTERFACE_COMPORT, &iface->classGuid, sizeof(GUID)));
  EXPECT_EQ(ext->PhysicalDeviceObject, iface->pdo);
  EXPECT_FALSE(iface->enabled) << "the interface is enabled before the port is started";
}

TEST_F(NamingTest, KernelNumberFollowsSerialCountAndComNameStartsAtCom8) {
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial5"), std::string("COM8")), NamesFor(5));
  RemoveAllAndUnload();
  ASSERT_EQ(STATUS_SUCCESS, Load());
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial9"), std::string("COM10")), NamesFor(9));
  EXPECT_EQ(9u, Ext(DeviceTable[0])->SerialIndex);
}

TEST_F(NamingTest, TakenKernelNumberIsRetriedFrom19) {
  TakeKernelName(u"\\Device\\Serial5");
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial19"), std::string("COM20")), NamesFor(5));
  TakeKernelName(u"\\Device\\Serial20");
  // The second bridge: 5 and 20 are taken, 19 is the first port's. Its COM name follows its
  // number, and a default name above COM21 gets no retry but is used when free.
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial21"), std::string("COM22")), NamesFor(5));
}

TEST_F(NamingTest, NoFreeKernelNameFailsWithTheCollisionAndRestoresSerialCount) {
  TakeKernelName(u"\\Device\\Serial2");
  for (int n = 19; n <= 63; ++n) TakeKernelName(u"\\Device\\Serial" + U16(std::to_string(n)));
  size_t pool = PoolBlockCount();
  machine().configuration().SerialCount = 1;
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo()));
  EXPECT_EQ(1u, machine().configuration().SerialCount);
  EXPECT_EQ(pool, PoolBlockCount()) << "the port buffer block was not freed";
  EXPECT_EQ(0u, PortCount());
}

TEST_F(NamingTest, TakenComNamesMoveTheDefaultNameUpToCom21) {
  TakeComName(u"COM8");
  TakeComName(u"COM9");
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial2"), std::string("COM10")), NamesFor(0));
  EXPECT_EQ(9u, Ext(DeviceTable[0])->SerialIndex);
  for (int n = 11; n <= 21; ++n) TakeComName(u"COM" + U16(std::to_string(n)));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo()));
  EXPECT_EQ(1u, PortCount());
  EXPECT_EQ(1u, SerialCommValueCount()) << "the failed port left a SERIALCOMM value";
  EXPECT_EQ(1u, machine().configuration().SerialCount) << "SerialCount not restored";
}

TEST_F(NamingTest, DefaultNameFromCom20GetsOneMoreTryAndFromCom21None) {
  TakeComName(u"COM20");
  EXPECT_EQ(std::make_pair(std::string("\\Device\\Serial19"), std::string("COM21")), NamesFor(19));
  machine().configuration().SerialCount = 20;  // COM21 is taken by the first port now
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo()));
}

TEST_F(NamingTest, PortNameFromTheHardwareKeyIsUsedWhenItFitsAndIsTerminated) {
  struct Case {
    std::u16string stored;
    bool terminate;
    std::u16string expected;
  } cases[] = {
      {u"COM3", true, u"COM3"},
      {u"COM4", false, u"COM4"},                                 // stored without its NUL
      {u"ABCDEFGHIJKLMNOPQRST", true, u"ABCDEFGHIJKLMNOPQRST"},  // 20 characters
      {u"ABCDEFGHIJKLMNOPQRSTU", true, u"COM8"},                 // 21: no room in the link
      {std::u16string(32, u'X'), false, u"COM8"},                // 64 bytes, no NUL
      {std::u16string(40, u'X'), true, u"COM8"},                 // longer than the buffer
      {u"", true, u"COM8"},
  };
  for (const Case& c : cases) {
    PDEVICE_OBJECT pdo = CreatePdo();
    registry().SetString(HardwareKey(pdo), u"PortName", c.stored, c.terminate);
    PDEVICE_OBJECT port = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, AddPort(pdo, &port)) << "PortName \"" << Narrow(c.stored) << "\"";
    PPORT_EXTENSION ext = Ext(port);
    EXPECT_EQ(c.expected, ToU16(ext->PortName)) << "PortName \"" << Narrow(c.stored) << "\"";
    EXPECT_EQ(c.expected, SerialCommValue(ToU16(ext->DeviceName)));
    EXPECT_EQ(ToU16(ext->DeviceName), LinkTarget(c.expected));
    if (c.expected != u"COM8") {
      EXPECT_EQ(ext->PortName.Length + 2, ext->PortName.MaximumLength);
      EXPECT_EQ(2u, ext->SerialIndex) << "a registry name changed the port number";
    }
    RemovePort(port);
  }
}

TEST_F(NamingTest, NameFromTheRegistryIsNeverReplacedByADefault) {
  TakeComName(u"COM3");
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo(u"COM3")));
  EXPECT_FALSE(LinkTarget(u"COM8")) << "a default name was tried for a registry name";
  EXPECT_EQ(0u, SerialCommValueCount());
}

TEST_F(NamingTest, RemovedPortStillHoldingTheNameGivesItUp) {
  PDEVICE_OBJECT first = AddBridge(u"COM3");
  ASSERT_NE(nullptr, first);
  std::u16string firstName = ToU16(Ext(first)->DeviceName);
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo(u"COM3")))
      << "a port that was not removed lost its name";
  EXPECT_EQ(firstName, LinkTarget(u"COM3"));

  Ext(first)->Removed = TRUE;  // surprise-removed, still open
  PDEVICE_OBJECT second = AddBridge(u"COM3");
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(ToU16(Ext(second)->DeviceName), LinkTarget(u"COM3"));
  EXPECT_EQ(nullptr, Ext(first)->DosLinkName.Buffer);
  EXPECT_FALSE(SerialCommValue(firstName)) << "the removed port kept its SERIALCOMM value";
  EXPECT_EQ(std::optional<std::u16string>(u"COM3"), SerialCommValue(ToU16(Ext(second)->DeviceName)));
}

// The takeover does not compare names: the first removed port that holds a link gives it up.
TEST_F(NamingTest, TakeoverFreesTheFirstRemovedPortsLinkWhateverItsName) {
  PDEVICE_OBJECT first = AddBridge(u"COM5");
  ASSERT_NE(nullptr, first);
  Ext(first)->Removed = TRUE;
  TakeComName(u"COM8");
  machine().configuration().SerialCount = 4;
  EXPECT_EQ(u"COM9", ToU16(Ext(AddBridge())->PortName));
  EXPECT_FALSE(LinkTarget(u"COM5")) << "COM8 was taken, so the removed port's link should be gone";
}

TEST_F(NamingTest, SeventeenthBridgeAndMissingPdoAreRefused) {
  for (int i = 0; i < MAX_PORT_DEVICES; ++i)
    ASSERT_NE(nullptr, AddBridge(U16("COM" + std::to_string(30 + i))));
  ULONG count = machine().configuration().SerialCount;
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, AddPort(CreatePdo()));
  EXPECT_EQ(count, machine().configuration().SerialCount) << "a refused bridge changed SerialCount";
  NTSTATUS status = STATUS_SUCCESS;
  machine().RunInSystemThread("add", [&] { status = AddPortDevice(driver(), NULL); });
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, status) << "no PDO";
}

TEST_F(NamingTest, NewPortIsAnExclusiveSerialDeviceOverItsBufferBlockWithThreeThreads) {
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  EXPECT_EQ(ULONG(FILE_DEVICE_SERIAL_PORT), port->DeviceType);
  EXPECT_TRUE(port->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_TRUE(port->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE),
            port->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(ext->PhysicalDeviceObject, ext->LowerDeviceObject) << "not attached above the PDO";
  bool blockInPool = false;
  for (const auto& b : kernel().LivePoolBlocks())
    blockInPool |=
        b.address == ext->BufferBlock && b.size == PORT_BUFFER_BLOCK_SIZE && b.type == NonPagedPool;
  EXPECT_TRUE(blockInPool) << "the port buffer block is not a nonpaged block of its size";
  EXPECT_EQ(ext->BufferBlock + RING_OFFSET, ext->RingBase);
  EXPECT_EQ(PORT_BUFFER_BLOCK_SIZE - RING_OFFSET, ext->RingSize) << "the ring does not end the block";
  EXPECT_EQ(3, ext->ThreadCount) << "the three port threads are not running";
}

}  // namespace
}  // namespace tarnwire::testing

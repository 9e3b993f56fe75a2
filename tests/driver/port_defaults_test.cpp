// The settings, layout and synchronisation objects a new port starts with, field by field against
// the values add-device is to give them. One wrong constant fails exactly one row.
#include <cstdint>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

// A URB area is 128 bytes on x86 and 192 bytes where pointers are 64 bits wide (the block holds
// the names in its first 256 bytes, then three URB areas, then the ring).
constexpr uint64_t kUrbArea = sizeof(void*) == 4 ? 128 : 192;
constexpr uint64_t kRingOffset = 256 + 3 * kUrbArea;

struct Field {
  std::string name;
  uint64_t actual;
  uint64_t expected;
};

uint64_t Offset(const PPORT_EXTENSION ext, const void* p) {
  return static_cast<uint64_t>(static_cast<const uint8_t*>(p) - ext->BufferBlock);
}

void ExpectFields(const std::vector<Field>& fields) {
  for (const Field& f : fields)
    EXPECT_EQ(f.expected, f.actual) << f.name << " is 0x" << std::hex << f.actual << ", expected 0x"
                                    << f.expected;
}

using PortDefaultsTest = LoadedDriverTest;

TEST_F(PortDefaultsTest, SettingsCachesAndRingStartAtTheirDefaults) {
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  const PPORT_EXTENSION e = Ext(port);
  // clang-format off
  ExpectFields({
      {"HandFlow.ControlHandShake (SERIAL_DTR_CONTROL)", e->HandFlow.ControlHandShake, 0x1},
      {"HandFlow.FlowReplace (SERIAL_RTS_CONTROL)",      e->HandFlow.FlowReplace,      0x40},
      {"HandFlow.XonLimit (RingSize / 2)",               uint64_t(e->HandFlow.XonLimit),  34496},
      {"HandFlow.XoffLimit (RingSize / 8)",              uint64_t(e->HandFlow.XoffLimit), 8624},
      {"SpecialChars.XonChar",    e->SpecialChars.XonChar,   0x11},
      {"SpecialChars.XoffChar",   e->SpecialChars.XoffChar,  0x13},
      {"SpecialChars.EofChar",    e->SpecialChars.EofChar,   0},
      {"SpecialChars.ErrorChar",  e->SpecialChars.ErrorChar, 0},
      {"SpecialChars.BreakChar",  e->SpecialChars.BreakChar, 0},
      {"SpecialChars.EventChar",  e->SpecialChars.EventChar, 0},
      {"BaudRate",                e->BaudRate,  19200},
      {"Parity (none)",           e->Parity,    0},
      {"DataMask (8 data bits)",  e->DataMask,  0xFF},
      {"StopBits (one)",          e->StopBits,  0},
      {"Reg12Cache", uint32_t(e->Reg12Cache), 0xFFFFFFFF},
      {"Reg13Cache", uint32_t(e->Reg13Cache), 0xFFFFFFFF},
      {"Reg2CCache", uint32_t(e->Reg2CCache), 0xFFFFFFFF},
      {"Reg18Cache", uint32_t(e->Reg18Cache), 0xFFFFFFFF},
      {"Reg25Cache", uint32_t(e->Reg25Cache), 0xFFFFFFFF},
      {"ChipVersion",  e->ChipVersion,  0},
      {"ProductId",    e->ProductId,    0x23},
      {"BulkInLength", e->BulkInLength, 32},
      {"ControlUrbSlot offset", Offset(e, e->ControlUrbSlot), 256},
      {"StatusUrbBlock offset", Offset(e, e->StatusUrbBlock), 256 + kUrbArea},
      {"WriteUrbBlock offset",  Offset(e, e->WriteUrbBlock),  256 + 2 * kUrbArea},
      {"RingBase offset",       Offset(e, e->RingBase),       kRingOffset},
      {"RingSize",              e->RingSize,                  68992},
      {"RingHighWater (RingSize * 4 / 5)", e->RingHighWater,  55193},
      {"RingCount",             uint64_t(e->RingCount),       0},
  });
  // Everything else starts at zero: time-outs, statistics, events, holds, errors, the modem
  // shadows, pipes, counters, states and the requests being served.
  const SERIAL_TIMEOUTS& t = e->Timeouts;
  const SERIALPERF_STATS& s = e->PerfStats;
  ExpectFields({
      {"Timeouts.ReadIntervalTimeout",         t.ReadIntervalTimeout,         0},
      {"Timeouts.ReadTotalTimeoutMultiplier",  t.ReadTotalTimeoutMultiplier,  0},
      {"Timeouts.ReadTotalTimeoutConstant",    t.ReadTotalTimeoutConstant,    0},
      {"Timeouts.WriteTotalTimeoutMultiplier", t.WriteTotalTimeoutMultiplier, 0},
      {"Timeouts.WriteTotalTimeoutConstant",   t.WriteTotalTimeoutConstant,   0},
      {"PerfStats (sum of counts)", uint64_t(s.ReceivedCount) + s.TransmittedCount + s.FrameErrorCount +
                                        s.SerialOverrunErrorCount + s.BufferOverrunErrorCount + s.ParityErrorCount, 0},
      {"WaitMask", e->WaitMask, 0},         {"EventHistory", e->EventHistory, 0},
      {"TxHoldFlags", e->TxHoldFlags, 0},   {"RxHoldFlags", e->RxHoldFlags, 0},
      {"CommErrors", e->CommErrors, 0},     {"EscapeChar", e->EscapeChar, 0},
      {"ModemControl", e->ModemControl, 0}, {"ModemStatus", e->ModemStatus, 0},
      {"LineStatus", e->LineStatus, 0},     {"RtsToggleCount", e->RtsToggleCount, 0},
      {"TxPending", e->TxPending, 0},       {"XoffCountdown", e->XoffCountdown, 0},
      {"InterruptPipe", uint64_t(uintptr_t(e->InterruptPipe)), 0},
      {"BulkInPipe", uint64_t(uintptr_t(e->BulkInPipe)), 0},
      {"BulkOutPipe", uint64_t(uintptr_t(e->BulkOutPipe)), 0},
      {"PendingRequests", uint64_t(e->PendingRequests), 0}, {"UsbBusyCount", uint64_t(e->UsbBusyCount), 0},
      {"InterruptBusy", uint64_t(e->InterruptBusy), 0},     {"BulkInBusy", uint64_t(e->BulkInBusy), 0},
      {"BulkOutBusy", uint64_t(e->BulkOutBusy), 0},
      {"OpenState", e->OpenState, 0}, {"Started", e->Started, 0}, {"Removed", e->Removed, 0},
      {"RemovePending", e->RemovePending, 0},
      {"WaitIrp", uint64_t(uintptr_t(e->WaitIrp)), 0},
      {"CurrentRead", uint64_t(uintptr_t(e->CurrentRead)), 0},
      {"CurrentWrite", uint64_t(uintptr_t(e->CurrentWrite)), 0},
      {"XoffCounterIrp", uint64_t(uintptr_t(e->XoffCounterIrp)), 0},
  });
  // clang-format on
}

// Events are synchronization events, not signalled; timers are notification timers, not set; the
// fast mutex is free and the queues are empty.
TEST_F(PortDefaultsTest, SynchronisationObjectsStartInitialisedAndIdle) {
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION e = Ext(port);
  std::vector<Field> fields = {
      {"ControlLock", uint64_t(e->ControlLock), 0},
      {"OpenMutex.Count (free)", uint64_t(e->OpenMutex.Count), 1},
      {"ReadQueue empty", IsListEmpty(&e->ReadQueue) && e->ReadQueue.Blink == &e->ReadQueue, 1},
      {"WriteQueue empty", IsListEmpty(&e->WriteQueue) && e->WriteQueue.Blink == &e->WriteQueue, 1},
  };
  const auto object = [&](std::string name, const DISPATCHER_HEADER& h, UCHAR type) {
    fields.push_back({name + " type", h.Type, type});
    fields.push_back({name + " signalled or inserted", uint64_t(h.SignalState) + h.Inserted, 0});
  };
  object("StatusEvent", e->StatusEvent.Header, EventSynchronizationObject);
  object("ReaderEvent", e->ReaderEvent.Header, EventSynchronizationObject);
  object("WriterEvent", e->WriterEvent.Header, EventSynchronizationObject);
  object("WriteAbortEvent", e->WriteAbortEvent.Header, EventSynchronizationObject);
  object("ReadTotalTimer", e->ReadTotalTimer.Header, TimerNotificationObject);
  object("ReadIntervalTimer", e->ReadIntervalTimer.Header, TimerNotificationObject);
  object("XoffCounterTimer", e->XoffCounterTimer.Header, TimerNotificationObject);
  ExpectFields(fields);
}

// The names live in the port buffer block: kernel name at 0, link name at 64, port name at 128,
// each with room for 64 bytes; a port name read from the registry is as long as it is.
TEST_F(PortDefaultsTest, NamesLieInThePortBufferBlock) {
  for (bool fromRegistry : {false, true}) {
    SCOPED_TRACE(fromRegistry ? "PortName COM3 from the hardware key" : "default port name");
    PDEVICE_OBJECT port = fromRegistry ? AddBridge(u"COM3") : AddBridge();
    ASSERT_NE(nullptr, port);
    PPORT_EXTENSION e = Ext(port);
    ExpectFields({
        {"DeviceName buffer offset", Offset(e, e->DeviceName.Buffer), 0},
        {"DeviceName.MaximumLength", e->DeviceName.MaximumLength, 64},
        {"DosLinkName buffer offset", Offset(e, e->DosLinkName.Buffer), 64},
        {"DosLinkName.MaximumLength", e->DosLinkName.MaximumLength, 64},
        {"PortName buffer offset", Offset(e, e->PortName.Buffer), 128},
        {"PortName.MaximumLength", e->PortName.MaximumLength, fromRegistry ? 4 * 2 + 2u : 64},
        {"WmiPortName buffer offset", Offset(e, e->WmiPortName.Buffer), 128},
        {"WmiPortName.Length", e->WmiPortName.Length, e->PortName.Length},
    });
    RemovePort(port);
  }
}

}  // namespace
}  // namespace tarnwire::testing

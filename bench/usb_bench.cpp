// Wall cost of driving the chip through the driver's USB transport: configuring a bridge (descriptors,
// configuration, revision read) and register-pair reads, each a vendor control transfer on the
// emulated full-speed bus.
#include <benchmark/benchmark.h>

#include <memory>

#include "driver/driver_globals.h"
#include "driver/platform.h"
#include "nt/machine.h"
#include "usb/chip_registers.h"
#include "usb/usb_config.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace {

struct BridgeMachine {
  BridgeMachine() : machine(emu::KernelConfig{}) {
    machine.kernel().SetTraceEnabled(false);
    chip = std::make_unique<emu::zm470::Zm470>(emu::zm470::Config{});
    host = std::make_unique<emu::usb::UsbHost>(machine);
    driver = machine.LoadDriver(u"tarnwire", DriverEntry);
    emu::usb::UsbPort& port = host->Plug(*chip);
    machine.AddDevice(driver, port.Pdo());
    device = port.Pdo()->AttachedDevice;
  }
  emu::Machine machine;
  std::unique_ptr<emu::zm470::Zm470> chip;
  std::unique_ptr<emu::usb::UsbHost> host;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

void BM_ConfigureUsbDevice(benchmark::State& state) {
  BridgeMachine m;
  for (auto _ : state) {
    NTSTATUS status = STATUS_PENDING;
    m.machine.RunInSystemThread("configure", [&] { status = ConfigureUsbDevice(m.device); });
    if (!NT_SUCCESS(status)) state.SkipWithError("configuration failed");
  }
  state.counters["virtual_ms_total"] = static_cast<double>(m.machine.kernel().Now()) / emu::kMillisecond;
}
BENCHMARK(BM_ConfigureUsbDevice)->Unit(benchmark::kMicrosecond);

void BM_ReadRegisterPair(benchmark::State& state) {
  BridgeMachine m;
  NTSTATUS status = STATUS_PENDING;
  m.machine.RunInSystemThread("configure", [&] { status = ConfigureUsbDevice(m.device); });
  if (!NT_SUCCESS(status)) {
    state.SkipWithError("configuration failed");
    return;
  }
  const int reads = 1000;
  for (auto _ : state) {
    m.machine.RunInSystemThread("reader", [&] {
      UCHAR a = 0;
      UCHAR b = 0;
      for (int i = 0; i < reads; ++i) status = ReadRegisterPair(m.device, 6, &a, 7, &b);
    });
    if (!NT_SUCCESS(status)) state.SkipWithError("register read failed");
  }
  state.SetItemsProcessed(state.iterations() * reads);
}
BENCHMARK(BM_ReadRegisterPair)->Unit(benchmark::kMillisecond);

}  // namespace

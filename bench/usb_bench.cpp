// Wall cost of driving the chip through the driver's USB transport: configuring a bridge (descriptors,
// configuration, revision read) and register-pair reads, each a vendor control transfer on the
// emulated full-speed bus.
#include <benchmark/benchmark.h>

#include "bridge_machine.h"
#include "usb/chip_registers.h"
#include "usb/usb_config.h"

namespace {

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

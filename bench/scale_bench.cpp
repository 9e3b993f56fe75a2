// The scheduler at scale: one machine configures its bridge over and over (each configuration a
// new system thread and its control transfers). The cost of a configuration must not grow with
// the number of contexts the machine has ever run: per configuration it stays flat from 100 to
// 10000 configurations.
#include <benchmark/benchmark.h>

#include "bridge_machine.h"
#include "usb/usb_config.h"

namespace {

void BM_ConfigureRepeatedlyOnOneMachine(benchmark::State& state) {
  const int64_t configurations = state.range(0);
  for (auto _ : state) {
    BridgeMachine m;
    for (int64_t i = 0; i < configurations; ++i) {
      NTSTATUS status = STATUS_PENDING;
      m.machine.RunInSystemThread("configure", [&] { status = ConfigureUsbDevice(m.device); });
      if (!NT_SUCCESS(status)) {
        state.SkipWithError("configuration failed");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * configurations);
  state.counters["us_per_configuration"] =
      benchmark::Counter(static_cast<double>(state.iterations() * configurations) * 1e-6,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ConfigureRepeatedlyOnOneMachine)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

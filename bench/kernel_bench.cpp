// Costs of the emulated kernel's basic mechanisms, in wall time per operation: a wake-up that
// switches between two threads, a DPC, and a timer that expires in virtual time.
#include <benchmark/benchmark.h>

#include <wdm.h>

#include "nt/kernel.h"

namespace {

emu::KernelConfig QuietConfig(emu::ProcessorModel model) {
  emu::KernelConfig config;
  config.processors = model;
  return config;
}

// Two system threads hand a baton back and forth through two synchronization events: each round
// trip is two KeSetEvent calls, two waits and at least two context switches.
void BM_EventPingPong(benchmark::State& state) {
  const auto model = static_cast<emu::ProcessorModel>(state.range(0));
  const int64_t rounds = 10000;
  uint64_t switches = 0;
  for (auto _ : state) {
    emu::Kernel kernel(QuietConfig(model));
    kernel.SetTraceEnabled(false);
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    kernel.StartSystemThread("ping", [&] {
      for (int64_t i = 0; i < rounds; ++i) {
        KeSetEvent(&ping, 1, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
      }
    });
    kernel.StartSystemThread("pong", [&] {
      for (int64_t i = 0; i < rounds; ++i) {
        KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&pong, 1, FALSE);
      }
    });
    kernel.Run();
    switches += kernel.ContextSwitches();
  }
  state.SetItemsProcessed(state.iterations() * rounds);
  state.counters["switches_per_round"] =
      static_cast<double>(switches) / static_cast<double>(state.iterations() * rounds);
}
BENCHMARK(BM_EventPingPong)->Arg(0)->Arg(1)->ArgName("mp")->Unit(benchmark::kMillisecond);

// A thread queues a DPC and waits for the event the DPC signals.
void BM_DpcRoundTrip(benchmark::State& state) {
  const int64_t rounds = 10000;
  struct Context {
    KEVENT done;
  };
  for (auto _ : state) {
    emu::Kernel kernel(QuietConfig(emu::ProcessorModel::Uniprocessor));
    kernel.SetTraceEnabled(false);
    Context context;
    KDPC dpc;
    KeInitializeEvent(&context.done, SynchronizationEvent, FALSE);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID ctx, PVOID, PVOID) { KeSetEvent(&static_cast<Context*>(ctx)->done, 0, FALSE); },
        &context);
    kernel.StartSystemThread("queuer", [&] {
      for (int64_t i = 0; i < rounds; ++i) {
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
      }
    });
    kernel.Run();
  }
  state.SetItemsProcessed(state.iterations() * rounds);
}
BENCHMARK(BM_DpcRoundTrip)->Unit(benchmark::kMillisecond);

// 1000 waits of 20 ms each (the driver's polling delay): 20 s of virtual time.
void BM_VirtualDelays(benchmark::State& state) {
  const int64_t delays = 1000;
  emu::VirtualTime reached = 0;
  for (auto _ : state) {
    emu::Kernel kernel(QuietConfig(emu::ProcessorModel::Uniprocessor));
    kernel.SetTraceEnabled(false);
    kernel.StartSystemThread("sleeper", [&] {
      LARGE_INTEGER delay;
      delay.QuadPart = -200000;
      for (int64_t i = 0; i < delays; ++i) KeDelayExecutionThread(KernelMode, FALSE, &delay);
    });
    kernel.Run();
    reached = kernel.Now();
  }
  state.SetItemsProcessed(state.iterations() * delays);
  state.counters["virtual_seconds"] = static_cast<double>(reached) / emu::kSecond;
}
BENCHMARK(BM_VirtualDelays)->Unit(benchmark::kMillisecond);

}  // namespace

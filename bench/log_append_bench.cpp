// Appending to the run log is the installer's hot path: one resize and one copy per piece,
// a reallocation only when the 32-character capacity step is crossed.
#include <benchmark/benchmark.h>

#include "context/install_context.h"
#include "context/run_log.h"
#include "sim/machine.h"

namespace {

void BM_LogLines(benchmark::State& state) {
  sim::Machine m;
  sim::InitDefaultMachine(m);
  sim::MachineScope scope(m);
  for (auto _ : state) {
    InstallContext context;
    context.Indent = 2;
    for (int i = 0; i < state.range(0); ++i) {
      Log(context, W("SetPrinter(%s) - ok"), W("A printer with a name of some length"));
    }
    benchmark::DoNotOptimize(context.LogText.Block);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LogLines)->Arg(100)->Arg(10000);

void BM_LogErrorLines(benchmark::State& state) {
  sim::Machine m;
  sim::InitDefaultMachine(m);
  sim::MachineScope scope(m);
  for (auto _ : state) {
    InstallContext context;
    for (int i = 0; i < 100; ++i) {
      SetLastError(ERROR_SHARING_VIOLATION);
      LogError(context, ErrOpenDestination, W("C:\\Windows\\system32\\kvxmon64.dll"));
    }
    benchmark::DoNotOptimize(context.LogText.Block);
  }
}
BENCHMARK(BM_LogErrorLines);

}  // namespace

BENCHMARK_MAIN();

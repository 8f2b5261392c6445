// Whole runs of the installer in-process on the simulated machine, as a setup author would
// rehearse them for a print server: a fresh install, a reinstall and an uninstall over N of
// the package's queues (each with its SubKey data and settings key, one of them the default
// printer), and over 10,000 printers of other makers. Each reports the CPU time per queue and
// the virtual time the run spent waiting (Sleep and waits), which is what a user would wait.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <string>

#include "app/entry.h"
#include "sim/machine.h"
#include "sim/process_control.h"

namespace {

constexpr char16_t kSettingsRoot[] = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";

std::vector<uint8_t> AnsiText(const std::string& s) {
  std::vector<uint8_t> bytes(s.begin(), s.end());
  bytes.push_back(0);
  return bytes;
}

// One command line through the entry function, as the platform's main runs it.
int Run(sim::Machine& m, const std::u16string& word) {
  m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\" " + word;
  const int code = wWinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000)), nullptr,
                            m.kernel.commandLine.data(), SW_SHOWNORMAL);
  sim::EndRunningProgram(m);
  return code;
}

// The package's queues with what users set on them (shared, printing defaults, permissions,
// printer data of the driver's) or without; or other makers' printers.
enum class Kind { kPackageQueues, kWholeQueues, kOtherPrinters };

// The default machine, with the package installed or not, and `count` queues of the kind.
sim::Machine Prepared(bool installed, Kind kind, int count) {
  sim::Machine m;
  sim::InitDefaultMachine(m);
  sim::MachineScope scope(m);
  if (installed) {
    Run(m, u"install");
    // The queue a fresh install makes is no queue of the user's.
    for (auto it = m.spooler.printers.begin(); it != m.spooler.printers.end(); ++it) {
      if (it->name == u"Orvalstone" && kind != Kind::kOtherPrinters) {
        m.spooler.printers.erase(it);
        break;
      }
    }
  }
  for (int i = 1; i <= count; ++i) {
    sim::SimPrinter p;
    p.name = u"Queue " + sim::FromUtf8(std::to_string(i));
    if (kind != Kind::kOtherPrinters) {
      p.portName = u"Orvalstone:";
      p.driverName = u"Orvalstone printer";
      const std::string subKey = "q-" + std::to_string(i);
      for (const char16_t* key : {sim::kPlainDataKey, u"DsUser"}) {
        p.data.push_back({key, {{u"SubKey", REG_SZ, AnsiText(subKey)}}});
      }
      sim::SetRegValue(m, HKEY_CURRENT_USER, kSettingsRoot + sim::FromUtf8(subKey), u"deleted",
                       REG_DWORD, {1, 0, 0, 0});
    } else {
      p.portName = u"FILE:";
      p.driverName = u"Microsoft Print To PDF";
    }
    if (kind == Kind::kWholeQueues) {
      p.shareName = u"Q" + sim::FromUtf8(std::to_string(i));
      p.attributes |= PRINTER_ATTRIBUTE_SHARED;
      p.priority = 7;
      p.devMode = sim::DriverDevMode(m, p);
      reinterpret_cast<DEVMODEW*>(p.devMode.data())->dmOrientation = 2;
      p.security = sim::DefaultPrinterSecurity();
      p.data.push_back({u"Prefs", {{u"Watermark", REG_BINARY, std::vector<uint8_t>(64, 7)}}});
    }
    sim::AddSimPrinter(m, std::move(p));
  }
  if (kind != Kind::kOtherPrinters && count > 0) m.spooler.defaultPrinter = u"Queue 1";
  m.calls.clear();
  // The list of calls is a test's tool, kept by the process only when asked for.
  m.recordCalls = false;
  return m;
}

void WholeRun(benchmark::State& state, bool installed, Kind kind, const char16_t* word,
              int wantCode) {
  const int count = int(state.range(0));
  const sim::Machine prepared = Prepared(installed, kind, count);
  sim::Machine m;
  uint64_t waited = 0;
  for (auto _ : state) {
    state.PauseTiming();
    m = prepared;
    state.ResumeTiming();
    sim::MachineScope scope(m);
    const int code = Run(m, word);
    if (code != wantCode) {
      state.SkipWithError(("exit code " + std::to_string(code)).c_str());
      break;
    }
    waited = m.sleptMs - prepared.sleptMs;
  }
  // CPU time per queue (per printer of the machine's, for the other makers' ones).
  state.counters["per_queue"] =
      benchmark::Counter(count > 0 ? count : 1, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
  state.counters["waited_ms"] = double(waited);
}

void BM_FreshInstall(benchmark::State& state) {
  WholeRun(state, false, Kind::kOtherPrinters, u"install", 1);
}
void BM_Reinstall(benchmark::State& state) {
  WholeRun(state, true, Kind::kPackageQueues, u"install", 1);
}
void BM_ReinstallWhole(benchmark::State& state) {
  WholeRun(state, true, Kind::kWholeQueues, u"install", 1);
}

// The largest registry value a record of that many whole queues makes: a repair that can make
// no queue again keeps them all recorded.
void BM_RecordOfWholeQueues(benchmark::State& state) {
  const sim::Machine prepared = Prepared(true, Kind::kWholeQueues, int(state.range(0)));
  size_t largest = 0;
  size_t total = 0;
  for (auto _ : state) {
    sim::Machine m = prepared;
    sim::MachineScope scope(m);
    sim::AddFault(m, "AddPrinterW", ERROR_ACCESS_DENIED, -1);
    if (Run(m, u"install") != 100) state.SkipWithError("the repair did not fail as it should");
    std::function<void(const sim::RegKey&)> walk = [&](const sim::RegKey& k) {
      for (const auto& v : k.values) {
        largest = std::max(largest, v.data.size());
        total += v.data.size();
      }
      for (const auto& sub : k.subkeys) walk(sub);
    };
    total = 0;
    if (const sim::RegKey* record = sim::FindRegKey(
            m, HKEY_LOCAL_MACHINE, u"Software\\Vantrel Software KFT\\Orvalstone\\SavedQueues")) {
      walk(*record);
    }
  }
  state.counters["largest_value_bytes"] = double(largest);
  state.counters["record_bytes"] = double(total);
}

void BM_Uninstall(benchmark::State& state) {
  WholeRun(state, true, Kind::kPackageQueues, u"uninstall", 2);
}
void BM_ReinstallAmongOthers(benchmark::State& state) {
  WholeRun(state, true, Kind::kOtherPrinters, u"install", 1);
}
void BM_UninstallAmongOthers(benchmark::State& state) {
  WholeRun(state, true, Kind::kOtherPrinters, u"uninstall", 2);
}

// Fresh installs: the package's one queue is made among that many other printers.
BENCHMARK(BM_FreshInstall)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reinstall)->RangeMultiplier(10)->Range(10, 10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Uninstall)->RangeMultiplier(10)->Range(10, 10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReinstallWhole)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordOfWholeQueues)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);
// The package installed with its one queue, among that many other printers.
BENCHMARK(BM_ReinstallAmongOthers)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UninstallAmongOthers)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

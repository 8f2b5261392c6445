#include "scenario.h"

namespace {

using namespace scenario;

// A printer of another driver on the package's port keeps the monitor in use.
void MonitorInUse(sim::Machine& m) {
  Installed(m);
  sim::AddSimPrinter(m, Queue(u"Fax", u"Orvalstone:", u"Microsoft Print To PDF"));
}

constexpr auto DriverRefusedOnce =
    Steps<Installed, Fails<"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1>>;

// A dependent service keeps the spooler from stopping.
void SpoolerWillNotStop(sim::Machine& m) {
  DriverRefusedOnce(m);
  m.services.services[0].stopRefusal = ERROR_DEPENDENT_SERVICES_RUNNING;
}

// The spooler takes longer to come back than the run waits for.
void SpoolerSlowToStart(sim::Machine& m) {
  DriverRefusedOnce(m);
  m.services.services[0].startDelayMs = 12000;
}

// A spooler that takes 30 s to stop, with jobs in flight, while the monitor module is held.
void SpoolerSlowToStop(sim::Machine& m) {
  Installed(m);
  HoldModule(m);
  m.services.services[0].stopDelayMs = 30000;
}

// The Run value was pointed at another program's file: that file is not the package's.
void RunValueNamesAnotherFile(sim::Machine& m) {
  Installed(m);
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray", REG_SZ,
                   Utf16Bytes(kSystemDir + u"kernel32.dll" + std::u16string(1, u'\0')));
}

// A tray program that ignores its exit message: its file cannot go while it runs.
void TrayIgnoresExit(sim::Machine& m) {
  m.processes.trayMode = "ignore";
  Installed(m);
}

// Twenty requests, each followed by a wait of 5 s on the mutex, and one last wait; then ten
// tries 100 ms apart to delete the file of the program that still runs. The monitors are
// listed only after that.
void CheckMonitorsListedAfterTray(sim::Machine& m) {
  const auto listing = std::ranges::find(m.calls, "EnumMonitorsW", &sim::CallRecord::api);
  ASSERT_NE(listing, m.calls.end());
  EXPECT_EQ(listing->at - m.calls.front().at, 105000u + 10 * 100u);
}

using enum Dialog;
const Case kUninstallCases[] = {
    {"uninstall_run_value_names_another_file", RunValueNamesAnotherFile, u"uninstall", 2, kLog,
     400},
    // A failed listing hides what is installed: the uninstall cannot say it is done.
    {"uninstall_driver_listing_fails",
     Steps<Installed, Fails<"EnumPrinterDriversW", ERROR_ACCESS_DENIED, 1>>, u"uninstall", 100,
     kErrorLog, 400},
    {"uninstall", Installed, u"uninstall", 2, kLog, 400},
    {"uninstall_nothing_installed", nullptr, u"un", 2, kLog, 1000},
    // The spooler refuses every removal of the monitor.
    {"uninstall_monitor_removal_refused",
     Steps<MonitorInUse, Fails<"DeleteMonitorW", ERROR_ACCESS_DENIED, 3>>, u"uninstall", 100,
     kErrorLog, 400},
    {"uninstall_spooler_will_not_stop", SpoolerWillNotStop, u"uninstall", 100, kErrorLog, 20000},
    {"uninstall_spooler_slow_to_stop", SpoolerSlowToStop, u"uninstall", 101, kLog, 30200},
    {"uninstall_spooler_slow_to_start", SpoolerSlowToStart, u"uninstall", 2, kLog, 24400},
    {"uninstall_spooler_disabled", Steps<Installed, SpoolerDisabled>, u"uninstall", 100, kErrorLog,
     10000},
    {"uninstall_tray_will_not_exit", TrayIgnoresExit, u"uninstall", 101, kLog, 106400,
     CheckMonitorsListedAfterTray},
};

INSTANTIATE_TEST_SUITE_P(Uninstall, Scenario, ::testing::ValuesIn(kUninstallCases), CaseName);

}  // namespace

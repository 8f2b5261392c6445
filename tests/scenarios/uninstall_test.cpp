#include <algorithm>
#include "scenario.h"

namespace {

using namespace scenario;

void ExpectPackageGone(sim::Machine& m) {
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_EQ(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
  EXPECT_EQ(sim::FindPrinter(m, u"Orvalstone"), nullptr);
  EXPECT_FALSE(RunValuePresent(m));
  EXPECT_FALSE(TrayRunning(m));
  EXPECT_EQ(sim::FindFile(m, kTrayPath), nullptr);
  // Nothing else of the machine went with it.
  EXPECT_NE(sim::FindPrinter(m, u"Microsoft Print to PDF"), nullptr);
  EXPECT_NE(sim::FindMonitor(m, u"Local Port"), nullptr);
}

// Without a Run entry nothing names the tray program, so its file stays.
void CheckNothingTouched(sim::Machine& m) {
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_EQ(sim::FindPrinter(m, u"Orvalstone"), nullptr);
  EXPECT_NE(sim::FindFile(m, kTrayPath), nullptr);
  EXPECT_EQ(m.spooler.printers.size(), 1u);
  EXPECT_EQ(m.spooler.monitors.size(), 1u);
}

void CheckGone(sim::Machine& m) {
  ExpectPackageGone(m);
  EXPECT_EQ(sim::FindFile(m, kMonitorModule), nullptr);
}

// The pending file operations of the next restart, as one string per entry.
std::vector<std::u16string> PendingRenames(sim::Machine& m) {
  std::vector<std::u16string> out;
  const sim::RegValue* v =
      sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations");
  if (!v) return out;
  std::u16string s;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    const char16_t c = char16_t(v->data[i] | (v->data[i + 1] << 8));
    if (c == 0) {
      out.push_back(s);
      s.clear();
    } else {
      s += c;
    }
  }
  return out;
}

// Another program keeps the monitor module loaded past the monitor's removal.
void ModuleHeld(sim::Machine& m) {
  Installed(m);
  sim::LockFile(m, kMonitorModule, 0x80000000, FILE_SHARE_READ, true);
}

void CheckModuleScheduled(sim::Machine& m) {
  ExpectPackageGone(m);
  EXPECT_NE(sim::FindFile(m, kMonitorModule), nullptr);
  const std::vector<std::u16string> pending = PendingRenames(m);
  ASSERT_GE(pending.size(), 2u);
  EXPECT_EQ(pending[0], u"\\??\\" + kMonitorModule);
  EXPECT_EQ(pending[1], u"");
}

void AddFax(sim::Machine& m) {
  sim::SimPrinter fax;
  fax.name = u"Fax";
  fax.portName = u"Orvalstone:";
  fax.driverName = u"Microsoft Print To PDF";
  sim::AddSimPrinter(m, fax);
}

// A printer of another driver on the package's port keeps the monitor in use.
void MonitorInUse(sim::Machine& m) {
  Installed(m);
  AddFax(m);
}

void CheckFaxParked(sim::Machine& m) {
  ASSERT_NE(sim::FindPrinter(m, u"Fax"), nullptr);
  // The spooler spells the port as its monitor lists it.
  EXPECT_TRUE(sim::EqualFold(sim::FindPrinter(m, u"Fax")->portName, u"file:"))
      << sim::ToUtf8(sim::FindPrinter(m, u"Fax")->portName);
}

void CheckGoneFaxParked(sim::Machine& m) {
  CheckGone(m);
  CheckFaxParked(m);
}

// The spooler refuses every removal of the monitor.
void MonitorRefused(sim::Machine& m) {
  MonitorInUse(m);
  sim::AddFault(m, "DeleteMonitorW", ERROR_ACCESS_DENIED, 3);
}

void CheckMonitorStays(sim::Machine& m) {
  EXPECT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_NE(sim::FindFile(m, kMonitorModule), nullptr);
  EXPECT_EQ(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
  // The monitor still serves its port: the printer moved off it goes back.
  EXPECT_EQ(sim::FindPrinter(m, u"Fax")->portName, u"Orvalstone:");
  EXPECT_TRUE(PendingRenames(m).empty());
}

void DriverRefusedOnce(sim::Machine& m) {
  Installed(m);
  sim::AddFault(m, "DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1);
}

void CheckGoneSpoolerRunning(sim::Machine& m) {
  CheckGone(m);
  EXPECT_TRUE(sim::SpoolerRunning(m));
}

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

void CheckSpoolerLate(sim::Machine& m) {
  // Still on its way up when the run ends; the driver it refused to remove is still there.
  EXPECT_EQ(m.services.services[0].state, DWORD(SERVICE_START_PENDING));
  EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
}

// The spooler never let go of the removed monitor's module: it is left for the restart.
void CheckGoneModuleScheduled(sim::Machine& m) {
  ExpectPackageGone(m);
  EXPECT_NE(sim::FindFile(m, kMonitorModule), nullptr);
  EXPECT_EQ(PendingRenames(m), (std::vector<std::u16string>{u"\\??\\" + kMonitorModule, u"", u""}));
  EXPECT_TRUE(sim::SpoolerRunning(m));
}

// The spooler is stopped and cannot be started at all.
void SpoolerDisabled(sim::Machine& m) {
  Installed(m);
  m.services.services[0].state = SERVICE_STOPPED;
  m.services.services[0].disabled = true;
}

void CheckNothingRemoved(sim::Machine& m) {
  EXPECT_FALSE(sim::SpoolerRunning(m));
  EXPECT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
  EXPECT_NE(sim::FindPrinter(m, u"Orvalstone"), nullptr);
  // The tray program does not depend on the spooler and goes all the same.
  EXPECT_FALSE(RunValuePresent(m));
}

// The Run value was pointed at another program's file: that file is not the package's.
const std::u16string kOtherProgram = u"C:\\Windows\\system32\\kernel32.dll";
void RunValueNamesAnotherFile(sim::Machine& m) {
  Installed(m);
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray", REG_SZ,
                   Utf16Bytes(kOtherProgram + std::u16string(1, u'\0')));
}

void CheckOtherFileLeftAlone(sim::Machine& m) {
  EXPECT_NE(sim::FindFile(m, kOtherProgram), nullptr);
  EXPECT_FALSE(RunValuePresent(m));
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
}

// A failed listing hides what is installed: the uninstall cannot say it is done.
void DriverListingFails(sim::Machine& m) {
  Installed(m);
  sim::AddFault(m, "EnumPrinterDriversW", ERROR_ACCESS_DENIED);
}

void CheckDriverStays(sim::Machine& m) {
  EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
}

const Case kUninstallCases[] = {
    {"uninstall_run_value_names_another_file", RunValueNamesAnotherFile, u"uninstall", 2, false,
     CheckOtherFileLeftAlone, 400},
    {"uninstall_driver_listing_fails", DriverListingFails, u"uninstall", 100, true,
     CheckDriverStays, 400},
    {"uninstall", Installed, u"uninstall", 2, false, CheckGone, 400},
    {"uninstall_nothing_installed", nullptr, u"un", 2, false, CheckNothingTouched, 1000},
    {"uninstall_monitor_module_held", ModuleHeld, u"uninstall", 101, false, CheckModuleScheduled,
     400},
    {"uninstall_monitor_in_use_printers_parked", MonitorInUse, u"uninstall", 2, false,
     CheckGoneFaxParked, 400},
    {"uninstall_monitor_removal_refused", MonitorRefused, u"uninstall", 100, true,
     CheckMonitorStays, 400},
    {"uninstall_driver_refused_once", DriverRefusedOnce, u"uninstall", 2, false,
     CheckGoneSpoolerRunning, 800},
    {"uninstall_spooler_will_not_stop", SpoolerWillNotStop, u"uninstall", 100, true,
     CheckGoneModuleScheduled, 20000},
    {"uninstall_spooler_will_not_start", SpoolerSlowToStart, u"uninstall", 100, true,
     CheckSpoolerLate, 30400},
    {"uninstall_spooler_disabled", SpoolerDisabled, u"uninstall", 100, true, CheckNothingRemoved,
     10000},
};

class UninstallScenario : public ::testing::TestWithParam<Case> {
 protected:
  sim::Machine m;
  sim::MachineScope scope{m};
};

TEST_P(UninstallScenario, RunsAsLogged) {
  RunCase(m, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Runs, UninstallScenario, ::testing::ValuesIn(kUninstallCases), CaseName);

class TrayScenario : public ::testing::Test {
 protected:
  TrayScenario() { sim::InitDefaultMachine(m); }
  sim::Machine m;
  sim::MachineScope scope{m};
};

TEST_F(TrayScenario, ATrayThatIgnoresItsExitMessageHoldsTheRunForAtMost105Seconds) {
  m.processes.trayMode = "ignore";
  Installed(m);
  ASSERT_TRUE(TrayRunning(m));
  m.user.shiftDown = true;
  const uint64_t start = m.now;
  const uint64_t sleptBefore = m.sleptMs;
  const Outcome run = RunCommand(m, u"uninstall");
  // The program's file cannot go while it runs: it goes at the next start.
  EXPECT_EQ(run.exitCode, 101);
  // Twenty requests, each followed by a wait of 5 s on the mutex, and one last wait; then
  // ten tries 100 ms apart to delete the file of the program that still runs. The monitors
  // are listed only after that.
  auto listing = std::find_if(m.calls.begin(), m.calls.end(),
                              [](const sim::CallRecord& c) { return c.api == "EnumMonitorsW"; });
  ASSERT_NE(listing, m.calls.end());
  EXPECT_EQ(listing->at - start, 105000u + 10 * 100u);
  EXPECT_GE(m.sleptMs - sleptBefore, 105000u);
  std::size_t requests = 0;
  for (const auto& p : m.user.posted) requests += p.message == sim::kTrayExitMessage;
  EXPECT_EQ(requests, 20u);
  // The file is retried with the other leftovers, and handed over at last.
  ExpectLog("uninstall_tray_will_not_exit", run);
  EXPECT_TRUE(TrayRunning(m));
  EXPECT_NE(sim::FindFile(m, kTrayPath), nullptr);  // a running program's file stays
  EXPECT_EQ(PendingRenames(m), (std::vector<std::u16string>{u"\\??\\" + kTrayPath, u"", u""}));
  EXPECT_FALSE(RunValuePresent(m));
}

}  // namespace

#include "scenario.h"

namespace {

using namespace scenario;

template <uint16_t build>
void InstalledWithDriverBuild(sim::Machine& m) {
  sim::PutFile(m, kSetupDir + u"kvxdrv64.dll", Bytes("MZ kvxdrv64"), Build(build));
  Installed(m);
}

void PackageIsDefault(sim::Machine& m) {
  Installed(m);
  m.spooler.defaultPrinter = u"Orvalstone";
}

// Two package queues, neither the default; the first in the spooler's order is "Orvalstone".
void TwoPackageQueues(sim::Machine& m) {
  Installed(m);
  sim::AddSimPrinter(m, Queue(u"Orvalstone (copy)"));
}

// Another program holds the module of a removed monitor and lets go during the spooler's
// restart.
void PendingModuleFreedByRestart(sim::Machine& m) {
  sim::PutFile(m, kMonitorModule, MonitorBytes("old"), Build(2300));
  HoldModule(m);
  sim::UnlockFile(m, kMonitorModule, 100);
  PendingDeletion(m, kMonitorModule);
}

// The module of the registered monitor: the running spooler holds it through every restart.
void PendingModuleOfRegisteredMonitor(sim::Machine& m) {
  Installed(m);
  PendingDeletion(m, kMonitorModule);
}

void TrayRegisteredNotRunning(sim::Machine& m) {
  Installed(m);
  sim::EndProcess(m, sim::FindRunning(m, "tray")->pid);
}

using enum Dialog;
const Case kShortCases[] = {
    {"onChkDrv_no_package", nullptr, u"onChkDrv", 3, kNone, 0},
    {"onChkDrv_driver_2206", InstalledWithDriverBuild<2206>, u"onChkDrv", 3, kNone, 0},
    {"onChkDrv_driver_2207", InstalledWithDriverBuild<2207>, u"ONCHKDRV", 103, kNone, 0},
    {"onInit_no_default_printer", [](sim::Machine& m) { m.spooler.defaultPrinter.clear(); },
     u"oninit", 102, kNone, 0},
    {"onInit_package_is_default", PackageIsDefault, u"onInit", 3, kNone, 0},
    {"onInit_pending_module_freed_by_restart", PendingModuleFreedByRestart, u"onInit", 102, kNone,
     400},
    {"onInit_pending_module_still_held", PendingModuleOfRegisteredMonitor, u"onInit", 200, kNone,
     800},
    {"def_set_first_package_queue", TwoPackageQueues, u"def.set", 4, kNone, 0},
    {"def_set_other_case_is_no_word", TwoPackageQueues, u"DEF.SET", 6, kNone, 0},
    {"removetray_running", Installed, u"removetray", 6, kNone, 0},
    {"removetray_not_running", TrayRegisteredNotRunning, u"RemoveTray", 6, kNone, 0},
};

INSTANTIATE_TEST_SUITE_P(Words, Scenario, ::testing::ValuesIn(kShortCases), CaseName);

}  // namespace

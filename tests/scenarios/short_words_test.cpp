#include "scenario.h"

namespace {

using namespace scenario;

// The short words answer through their exit code alone; SHIFT never shows a log for them.
struct ShortCase {
  const char* name;
  void (*setup)(sim::Machine& m);
  std::u16string command;
  int exitCode;
  void (*check)(sim::Machine& m);
  uint64_t waitedMs;  // virtual time the run spent in Sleep and waits
};

void PrintTo(const ShortCase& c, std::ostream* os) {
  *os << c.name;
}
std::string ShortName(const ::testing::TestParamInfo<ShortCase>& info) {
  return info.param.name;
}

void InstalledWithDriverBuild(sim::Machine& m, uint16_t build) {
  sim::PutFile(m, kSetupDir + u"kvxdrv64.dll", Bytes("MZ kvxdrv64"), Build(build));
  Installed(m);
}
void Driver2206(sim::Machine& m) {
  InstalledWithDriverBuild(m, 2206);
}
void Driver2207(sim::Machine& m) {
  InstalledWithDriverBuild(m, 2207);
}

void PackageIsDefault(sim::Machine& m) {
  Installed(m);
  m.spooler.defaultPrinter = u"Orvalstone";
}

// Two package queues, neither the default; the first in the spooler's order is "Orvalstone".
void TwoPackageQueues(sim::Machine& m) {
  Installed(m);
  sim::SimPrinter second = *sim::FindPrinter(m, u"Orvalstone");
  second.name = u"Orvalstone (copy)";
  sim::AddSimPrinter(m, second);
}

// A pending deletion of a package module left for the next restart.
void PendingDelete(sim::Machine& m, const std::u16string& path) {
  std::vector<uint8_t> data = Utf16Bytes(u"\\??\\" + path);
  data.insert(data.end(), {0, 0, 0, 0, 0, 0});
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations",
                   REG_MULTI_SZ, data);
}

// Another program holds the module of a removed monitor and lets go during the spooler's
// restart.
void PendingModuleFreedByRestart(sim::Machine& m) {
  sim::PutFile(m, kMonitorModule, Bytes("MZ kvxmon64 old"), Build(2300));
  sim::LockFile(m, kMonitorModule, 0x80000000, FILE_SHARE_READ, true);
  sim::UnlockFile(m, kMonitorModule, 100);
  PendingDelete(m, kMonitorModule);
}

// The module of the registered monitor: the running spooler holds it through every restart.
void PendingModuleOfRegisteredMonitor(sim::Machine& m) {
  Installed(m);
  PendingDelete(m, kMonitorModule);
}

void TrayRunningAndRegistered(sim::Machine& m) {
  Installed(m);
}

void TrayRegisteredNotRunning(sim::Machine& m) {
  Installed(m);
  sim::EndProcess(m, sim::FindRunning(m, "tray")->pid);
}

void CheckSpoolerUntouched(sim::Machine& m) {
  EXPECT_EQ(m.services.services[0].stops, 0u);
  EXPECT_EQ(m.spooler.defaultPrinter, u"Microsoft Print to PDF");
}
void CheckPackageIsDefault(sim::Machine& m) {
  EXPECT_EQ(m.spooler.defaultPrinter, u"Orvalstone");
}
void CheckFreedAfterOneRestart(sim::Machine& m) {
  EXPECT_EQ(sim::FindFile(m, kMonitorModule), nullptr);
  EXPECT_EQ(m.services.services[0].stops, 1u);
  EXPECT_TRUE(sim::SpoolerRunning(m));
}
void CheckHeldAfterTwoRestarts(sim::Machine& m) {
  EXPECT_NE(sim::FindFile(m, kMonitorModule), nullptr);
  EXPECT_EQ(m.services.services[0].stops, 2u);
  EXPECT_TRUE(sim::SpoolerRunning(m));
}
void CheckTrayRemoved(sim::Machine& m) {
  EXPECT_FALSE(TrayRunning(m));
  EXPECT_FALSE(RunValuePresent(m));
  EXPECT_EQ(sim::FindFile(m, kTrayPath), nullptr);
  // The rest of the package stays.
  EXPECT_NE(sim::FindPrinter(m, u"Orvalstone"), nullptr);
}

const ShortCase kShortCases[] = {
    {"onChkDrv_no_package", nullptr, u"onChkDrv", 3, CheckSpoolerUntouched, 0},
    {"onChkDrv_driver_2206", Driver2206, u"onChkDrv", 3, nullptr, 0},
    {"onChkDrv_driver_2207", Driver2207, u"ONCHKDRV", 103, nullptr, 0},
    {"onInit_default_of_another_driver", Installed, u"onInit", 102, CheckSpoolerUntouched, 0},
    {"onInit_no_default_printer", [](sim::Machine& m) { m.spooler.defaultPrinter.clear(); },
     u"oninit", 102, nullptr, 0},
    {"onInit_package_is_default", PackageIsDefault, u"onInit", 3, CheckPackageIsDefault, 0},
    {"onInit_pending_module_freed_by_restart", PendingModuleFreedByRestart, u"onInit", 102,
     CheckFreedAfterOneRestart, 400},
    {"onInit_pending_module_still_held", PendingModuleOfRegisteredMonitor, u"onInit", 200,
     CheckHeldAfterTwoRestarts, 800},
    {"def_set_no_package", nullptr, u"def.set", 4, CheckSpoolerUntouched, 0},
    {"def_set_first_package_queue", TwoPackageQueues, u"def.set", 4, CheckPackageIsDefault, 0},
    {"def_set_other_case_is_no_word", TwoPackageQueues, u"DEF.SET", 6,
     [](sim::Machine& m) { EXPECT_EQ(m.spooler.defaultPrinter, u"Microsoft Print to PDF"); }, 0},
    {"removetray_running", TrayRunningAndRegistered, u"removetray", 6, CheckTrayRemoved, 0},
    {"removetray_not_running", TrayRegisteredNotRunning, u"RemoveTray", 6, CheckTrayRemoved, 0},
    {"removetray_nothing_registered", nullptr, u"removetray", 6,
     [](sim::Machine& m) { EXPECT_NE(sim::FindFile(m, kTrayPath), nullptr); }, 1000},
};

class ShortWord : public ::testing::TestWithParam<ShortCase> {
 protected:
  sim::Machine m;
  sim::MachineScope scope{m};
};

TEST_P(ShortWord, AnswersThroughItsExitCode) {
  const ShortCase& c = GetParam();
  sim::InitDefaultMachine(m);
  if (c.setup) c.setup(m);
  ASSERT_FALSE(HasFatalFailure());
  m.user.shiftDown = true;
  const uint64_t sleptBefore = m.sleptMs;
  const Outcome run = RunCommand(m, c.command);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(m.sleptMs - sleptBefore, c.waitedMs);
  EXPECT_FALSE(run.dialogShown);
  EXPECT_EQ(run.logFileName, u"");
  if (c.check) c.check(m);
}

INSTANTIATE_TEST_SUITE_P(Words, ShortWord, ::testing::ValuesIn(kShortCases), ShortName);

}  // namespace

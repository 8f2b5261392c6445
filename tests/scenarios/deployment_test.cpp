// Runs as deployment tools make them: beside another run, as the local system account, on a
// machine that cannot take the package. Each row starts from an installed package.
#include "app/deployment.h"
#include "scenario.h"

namespace scenario {
namespace {

constexpr uint64_t kNoEnd = UINT64_MAX;

struct DeploymentCase {
  const char* name;
  std::u16string command;
  void (*setup)(sim::Machine& m);  // after the package is installed
  int exitCode;
  uint64_t waitedMs;
  bool unchanged;       // the machine is as it was before the run
  const char* logLine;  // a line the run's log file holds (null: no log file)
  bool markAfter;       // InstalledBuild is there afterwards
};

// Another run holds the lock until `endsMs` (kNoEnd: as long as anyone waits), then ends, or
// is killed while it holds it.
template <uint64_t endsMs, bool killed = false>
void HeldBy(sim::Machine& m) {
  sim::HoldMutex(m, kRunMutexName, endsMs == kNoEnd ? std::nullopt : std::optional(endsMs), killed);
}
void Arm64(sim::Machine& m) {
  m.kernel.nativeMachine = IMAGE_FILE_MACHINE_ARM64;
}
void ProtectedPrint(sim::Machine& m) {
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE,
                   u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP",
                   u"WindowsProtectedPrintGroupPolicyState", REG_DWORD, {1, 0, 0, 0});
}
void LocalSystem(sim::Machine& m) {
  m.kernel.localSystem = true;
}

const std::u16string kUserHive = u"S-1-5-21-1004336348-1177238915-682003330-1002";
const std::u16string kQueueSettings = kSettings + u"\\inv-01";

// A package queue whose settings key carries the "deleted" mark in the system's own hive, in a
// logged-on user's and in that user's classes hive (which is no settings hive).
void LocalSystemWithUserHives(sim::Machine& m) {
  LocalSystem(m);
  sim::SimPrinter p = Queue(u"Invoices");
  PutPrinterData(p, sim::kPlainDataKey, "inv-01");
  sim::AddSimPrinter(m, p);
  for (const auto& [root, key] :
       {std::pair{HKEY_CURRENT_USER, kQueueSettings},
        std::pair{HKEY_USERS, kUserHive + u"\\" + kQueueSettings},
        std::pair{HKEY_USERS, kUserHive + u"_Classes\\" + kQueueSettings}}) {
    sim::SetRegValue(m, root, key, u"deleted", REG_DWORD, {1, 0, 0, 0});
  }
}

const DeploymentCase kCases[] = {
    {"install_held_past_the_bound", u"install", HeldBy<kNoEnd>, 1618, kRunLockWaitMs, true,
     "\r\nAnother run of the installer is still at work after 30 minutes: nothing was changed\r\n",
     true},
    {"removetray_held_past_the_bound", u"removetray", HeldBy<kNoEnd>, 1618, kRunLockWaitMs, true,
     nullptr, true},
    {"install_after_a_killed_run", u"install", HeldBy<5000, true>, 1, 5500, false,
     "\r\nAn earlier run ended before it finished: this run takes its place\r\n", true},
    {"probes_do_not_wait", u"onChkDrv", HeldBy<kNoEnd>, 103, 0, true, nullptr, true},
    {"install_on_ARM64", u"install", Arm64, 100, 0, true,
     "\r\nError(33): Can`t install on a machine of type ARM64: the package is for x64 - (This "
     "installation package is not supported by this processor type. Contact your product "
     "vendor.)\r\n",
     true},
    // A machine that cannot take the package can still be rid of it.
    {"uninstall_on_ARM64", u"uninstall", Arm64, 2, 400, false, "Exit code 2", false},
    {"install_in_protected_print_mode", u"install", ProtectedPrint, 100, 0, true,
     "\r\nError(34): Can`t install while Windows protected print mode is on: it refuses the "
     "package's driver and port monitor - (This program is blocked by group policy. For more "
     "information, contact your system administrator.)\r\n",
     true},
    {"install_as_the_local_system_account", u"install", LocalSystem, 1, 0, false,
     "\r\n    The tray program is not started: the installer runs as the local system account "
     "(it starts at the next logon)\r\n",
     true},
    {"repair_as_the_local_system_account", u"install", LocalSystemWithUserHives, 1, 0, false,
     "Exit code 1", true},
};

class Deployment : public ::testing::TestWithParam<DeploymentCase> {
 protected:
  sim::Machine m;
  sim::MachineScope scope{m};
};

TEST_P(Deployment, EndsAsADeploymentToolExpects) {
  const DeploymentCase& c = GetParam();
  sim::InitDefaultMachine(m);
  Installed(m);
  ASSERT_NE(State(m).find("installed build 2300\n"), std::string::npos);
  c.setup(m);
  const std::string before = State(m);
  const uint64_t sleptBefore = m.sleptMs;
  const Outcome run = RunCommand(m, c.command);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(m.sleptMs - sleptBefore, c.waitedMs);
  const std::string after = State(m);
  if (c.unchanged) {
    EXPECT_EQ(after, before);
  }
  if (c.logLine) {
    EXPECT_NE(run.logFile.find(c.logLine), std::string::npos) << run.logFile;
  } else {
    EXPECT_EQ(run.logFileName, u"");
  }
  EXPECT_EQ(after.find("installed build 2300\n") != std::string::npos, c.markAfter) << after;
  if (c.setup == LocalSystemWithUserHives) {
    // Each logged-on user's own mark goes; the classes hive is left alone.
    EXPECT_FALSE(sim::FindRegValue(m, HKEY_CURRENT_USER, kQueueSettings, u"deleted"));
    EXPECT_FALSE(sim::FindRegValue(m, HKEY_USERS, kUserHive + u"\\" + kQueueSettings, u"deleted"));
    EXPECT_TRUE(
        sim::FindRegValue(m, HKEY_USERS, kUserHive + u"_Classes\\" + kQueueSettings, u"deleted"));
  }
  if (c.setup == LocalSystem) {
    EXPECT_NE(after.find("run OrvalstoneTray = "), std::string::npos);
    EXPECT_NE(after.find("tray not running"), std::string::npos);
  }
  // The run's own hold on the lock ended with it.
  const sim::SimMutex* lock = sim::FindMutex(m, kRunMutexName);
  EXPECT_TRUE(!lock || lock->ownerPid != m.kernel.pid);
}

INSTANTIATE_TEST_SUITE_P(Runs, Deployment, ::testing::ValuesIn(kCases), CaseName);

}  // namespace
}  // namespace scenario

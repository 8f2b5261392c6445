#include "scenario.h"

namespace scenario {

// Prepares a fresh machine with SHIFT held, runs the case's command and checks it whole: exit
// code, time waited, the dialog and the log file, and the machine's state.
TEST_P(Scenario, RunsAsLogged) {
  const Case& c = GetParam();
  sim::InitDefaultMachine(m);
  if (c.setup) c.setup(m);
  ASSERT_FALSE(HasFatalFailure());
  m.user.shiftDown = true;
  const uint64_t sleptBefore = m.sleptMs;
  const Outcome run = RunCommand(m, c.command);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(m.sleptMs - sleptBefore, c.waitedMs);
  const char16_t* titles[] = {u"", u"Orvalstone build 2300- Install log.",
                              u"Orvalstone build 2300- Install error log!"};
  EXPECT_EQ(run.title, titles[int(c.dialog)]);
  EXPECT_EQ(run.dialogShown, c.dialog != Dialog::kNone);
  if (c.dialog == Dialog::kNone) {
    // The short words answer through their exit code alone; SHIFT never shows a log for them.
    EXPECT_EQ(run.logFileName, u"");
  } else {
    ExpectText(std::string(c.name) + ".log", run.log);
    // The log file holds the dialog's log between a header and a closing line, UTF-8 with a
    // byte order mark, CR LF line ends; or the dialog says why there is none.
    if (run.log.find("\nLog file not written: ") != std::string::npos) {
      EXPECT_EQ(run.logFileName, u"");
    } else {
      EXPECT_EQ(run.logFile, "\xEF\xBB\xBFOrvalstone build 2300, orvinst " +
                                 sim::ToUtf8(c.command) + ", started " + run.started + "\r\n" +
                                 run.dialogText + "Exit code " + std::to_string(run.exitCode) +
                                 ", ended " + run.ended + "\r\n");
    }
  }
  ExpectText(std::string(c.name) + ".state", State(m));
  if (c.check) c.check(m);
}

}  // namespace scenario

namespace {

using namespace scenario;

constexpr char16_t kStaleFile[] = u"C:\\Windows\\system32\\kvxold64.tmp";

// Three queues of the package with their settings keys, the last one the default printer,
// each added after the queue "Orvalstone" of the earlier install.
void ThreeSavedQueues(sim::Machine& m) {
  Installed(m);
  // An installed module at the lower end of what is compatible.
  sim::PutFile(m, kMonitorModule, MonitorBytes("2073"), Build(2073));
  // Each SubKey also as plain printer data (`plain`), not only under "DsUser".
  for (const auto& [name, subKey, plain, comment, location] :
       {std::tuple{u"Invoices", "inv-01", true, u"Monthly invoices", u"Room 12"},
        std::tuple{u"Letters", "let-02", false, u"", u"Front desk"},
        std::tuple{u"Drafts", "drf-03", true, u"Drafts to check", u""}}) {
    sim::SimPrinter p = Queue(name);
    p.comment = comment;
    p.location = location;
    if (plain) PutPrinterData(p, sim::kPlainDataKey, subKey);
    PutPrinterData(p, u"DsUser", subKey);
    sim::AddSimPrinter(m, p);
    const std::u16string key = kSettings + u"\\" + sim::FromUtf8(subKey);
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"deleted", REG_DWORD, {1, 0, 0, 0});
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"kept", REG_DWORD, {7, 0, 0, 0});
  }
  m.spooler.defaultPrinter = u"Drafts";
  // A deletion an earlier run handed to the next start, of a file that is still there.
  sim::PutFile(m, kStaleFile, Bytes("old"));
  PendingDeletion(m, kStaleFile);
}

// A module of a compatible version left on disk by an earlier package, no monitor registered.
void CompatibleModuleOnly(sim::Machine& m) {
  sim::PutFile(m, kMonitorModule, MonitorBytes("2200"), Build(2200));
}

// An installed monitor of a version this build does not take over, whose port two printers
// of another driver use as well: the spooler refuses to remove it while they do.
void MonitorInUse(sim::Machine& m) {
  Installed(m);
  sim::PutFile(m, kMonitorModule, MonitorBytes("2301"), Build(2301));
  sim::AddSimPrinter(m, Queue(u"Fax", u"Orvalstone:", u"Microsoft Print To PDF"));
  sim::AddSimPrinter(m, Queue(u"Archive", u"LPT1:,Orvalstone:", u"Microsoft Print To PDF"));
}

// Uninstalled while another program holds the monitor module (handed over for deletion at
// the next start), and installed again before that start, once the module is let go of.
void UninstalledModuleHeld(sim::Machine& m) {
  Installed(m);
  const uint32_t holder = HoldModule(m);
  ASSERT_EQ(RunCommand(m, u"uninstall").exitCode, 101);
  sim::EndProcess(m, holder);
  sim::PutFile(m, kTrayPath, Bytes("MZ orvtray"));  // the setup copies its files again
}

// A SubKey longer than any fixed buffer, one whose plain value is empty but whose "DsUser"
// copy is good, and the package's own queue as the default printer with its settings.
void UnusualQueues(sim::Machine& m) {
  Installed(m);
  sim::SimPrinter* own = sim::FindPrinter(m, u"Orvalstone");
  ASSERT_NE(own, nullptr);
  own->comment = u"Our own";
  own->location = u"Hall";
  m.spooler.defaultPrinter = u"Orvalstone";
  sim::SimPrinter longer = Queue(u"Long");
  PutPrinterData(longer, sim::kPlainDataKey, std::string(100, 'k'));
  PutPrinterData(longer, u"DsUser", std::string(100, 'k'));
  sim::AddSimPrinter(m, longer);
  sim::SimPrinter empty = Queue(u"EmptyPlain");
  PutPrinterData(empty, sim::kPlainDataKey, "");
  PutPrinterData(empty, u"DsUser", "emp-04");
  sim::AddSimPrinter(m, empty);
}

// The setup in a folder whose path is 300 characters long.
void LongInstallerFolder(sim::Machine& m) {
  std::u16string folder = u"C:\\Program Files\\Orvalstone";
  while (folder.size() < 280) folder += u"\\" + std::u16string(20, u'd');
  folder.resize(300);
  for (const char16_t* f : {u"kvxmon64.dll", u"kvxdrv64.dll", u"kvxui64.dll", u"kvxhelp.chm"})
    sim::PutFile(m, folder + u"\\Setup\\" + f, sim::FindFile(m, kSetupDir + f)->data);
  sim::PutFile(m, folder + u"\\orvtray.exe", sim::FindFile(m, kTrayPath)->data);
  m.kernel.modulePath = folder + u"\\Setup\\orvinst.exe";
  sim::PutFile(m, m.kernel.modulePath, Bytes("MZ orvinst"));
}

using enum Dialog;
const Case kInstallCases[] = {
    {"reinstall_after_uninstall_module_released", UninstalledModuleHeld, u"install", 1, kLog, 1500},
    {"reinstall_long_empty_subkeys_own_queue_default", UnusualQueues, u"install", 1, kLog, 500},
    // The spooler refuses every removal of the unsupported monitor: it stays registered, and
    // the printers moved off its port go back on it.
    {"reinstall_monitor_removal_refused",
     Steps<MonitorInUse, Fails<"DeleteMonitorW", ERROR_ACCESS_DENIED, 3>>, u"install", 100,
     kErrorLog, 6500},
    {"install_long_installer_folder", LongInstallerFolder, u"install", 1, kLog, 1500},
    {"fresh_install", nullptr, u"install", 1, kLog, 1500},
    {"reinstall_three_saved_queues", ThreeSavedQueues, u"in", 1, kLog, 500},
    {"install_compatible_module_not_registered", CompatibleModuleOnly, u"serverinstall", 1, kLog,
     1500},
};

INSTANTIATE_TEST_SUITE_P(Install, Scenario, ::testing::ValuesIn(kInstallCases), CaseName);

}  // namespace

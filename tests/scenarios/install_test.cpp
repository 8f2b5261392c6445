#include "scenario.h"

namespace {

using namespace scenario;
using namespace std::string_literals;

constexpr char16_t kStaleFile[] = u"C:\\Windows\\system32\\kvxold64.tmp";
constexpr char16_t kSettings[] = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";

void ExpectQueue(sim::Machine& m, const std::u16string& name, const std::u16string& comment,
                 const std::u16string& location) {
  SCOPED_TRACE(sim::ToUtf8(name));
  const sim::SimPrinter* p = sim::FindPrinter(m, name);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->portName, u"Orvalstone:");
  EXPECT_EQ(p->driverName, u"Orvalstone printer");
  EXPECT_EQ(p->comment, comment);
  EXPECT_EQ(p->location, location);
  EXPECT_TRUE(sim::EqualFold(p->printProcessor, u"WinPrint"));
}

// Three queues of the package with their settings keys, the last one the default printer,
// each added after the queue "Orvalstone" of the earlier install.
void ThreeSavedQueues(sim::Machine& m) {
  Installed(m);
  if (::testing::Test::HasFatalFailure()) return;
  // An installed module at the lower end of what is compatible.
  sim::PutFile(m, kMonitorModule, Bytes("MZ kvxmon64 2073"), Build(2073));
  const struct {
    const char16_t* name;
    const char* subKey;
    bool plain;  // the SubKey also as plain printer data, not only under "DsUser"
    const char16_t* comment;
    const char16_t* location;
  } queues[] = {
      {u"Invoices", "inv-01", true, u"Monthly invoices", u"Room 12"},
      {u"Letters", "let-02", false, u"", u"Front desk"},
      {u"Drafts", "drf-03", true, u"Drafts to check", u""},
  };
  for (const auto& q : queues) {
    sim::SimPrinter p;
    p.name = q.name;
    p.portName = u"Orvalstone:";
    p.driverName = u"Orvalstone printer";
    p.comment = q.comment;
    p.location = q.location;
    if (q.plain) PutPrinterData(p, sim::kPlainDataKey, "SubKey", q.subKey);
    PutPrinterData(p, "DsUser", "SubKey", q.subKey);
    sim::AddSimPrinter(m, p);
    sim::SetRegValue(m, HKEY_CURRENT_USER, kSettings + sim::FromUtf8(q.subKey), u"deleted",
                     REG_DWORD, {1, 0, 0, 0});
    sim::SetRegValue(m, HKEY_CURRENT_USER, kSettings + sim::FromUtf8(q.subKey), u"kept", REG_DWORD,
                     {7, 0, 0, 0});
  }
  m.spooler.defaultPrinter = u"Drafts";
  // A deletion an earlier run handed to the next start, of a file that is still there.
  sim::PutFile(m, kStaleFile, Bytes("old"));
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                   u"PendingFileRenameOperations", REG_MULTI_SZ,
                   Utf16Bytes(u"\\??\\"s + kStaleFile + u"\0\0\0"s));
}

void CheckThreeSavedQueues(sim::Machine& m) {
  ExpectPackageInstalled(m);
  // The package's own queue, without a settings key, comes back too.
  ExpectQueue(m, u"Orvalstone", u"", u"");
  ExpectQueue(m, u"Invoices", u"Monthly invoices", u"Room 12");
  ExpectQueue(m, u"Letters", u"", u"Front desk");
  ExpectQueue(m, u"Drafts", u"Drafts to check", u"");
  for (const auto& [name, subKey] :
       {std::pair{u"Invoices", "inv-01"}, std::pair{u"Letters", "let-02"},
        std::pair{u"Drafts", "drf-03"}}) {
    EXPECT_EQ(PrinterText(m, name, "DsUser", "SubKey"), subKey);
    const std::u16string key = kSettings + sim::FromUtf8(subKey);
    EXPECT_EQ(sim::FindRegValue(m, HKEY_CURRENT_USER, key, u"deleted"), nullptr) << subKey;
    EXPECT_NE(sim::FindRegValue(m, HKEY_CURRENT_USER, key, u"kept"), nullptr) << subKey;
  }
  EXPECT_EQ(m.spooler.defaultPrinter, u"Drafts");
  EXPECT_EQ(sim::FindFile(m, kStaleFile), nullptr) << "a pending deletion left to the restart";
  // The compatible monitor stayed as it was.
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2073);
  // The tray program registered again is the one that was there: its file stays, it runs.
  EXPECT_TRUE(RunValuePresent(m));
  EXPECT_NE(sim::FindFile(m, kTrayPath), nullptr);
  EXPECT_TRUE(TrayRunning(m));
}

void CheckFreshInstall(sim::Machine& m) {
  ExpectPackageInstalled(m);
  ExpectQueue(m, u"Orvalstone", u"", u"");
  EXPECT_EQ(m.spooler.printers.size(), 2u);
  EXPECT_EQ(m.spooler.defaultPrinter, u"Microsoft Print to PDF");
  EXPECT_TRUE(TrayRunning(m));
}

// A module of a compatible version left on disk by an earlier package, no monitor registered.
void CompatibleModuleOnly(sim::Machine& m) {
  sim::PutFile(m, kMonitorModule, Bytes("MZ kvxmon64 2200"), Build(2200));
}

void CheckCompatibleModuleKept(sim::Machine& m) {
  ExpectPackageInstalled(m);
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2200);
}

// An installed monitor of a version this build does not take over, whose port two printers
// of another driver use as well: the spooler refuses to remove it while they do.
void MonitorInUse(sim::Machine& m) {
  Installed(m);
  if (::testing::Test::HasFatalFailure()) return;
  sim::PutFile(m, kMonitorModule, Bytes("MZ kvxmon64 2301"), Build(2301));
  sim::SimPrinter fax;
  fax.name = u"Fax";
  fax.portName = u"Orvalstone:";
  fax.driverName = u"Microsoft Print To PDF";
  sim::AddSimPrinter(m, fax);
  sim::SimPrinter archive = fax;
  archive.name = u"Archive";
  archive.portName = u"LPT1:,Orvalstone:";
  sim::AddSimPrinter(m, archive);
}

void CheckPrintersReturned(sim::Machine& m) {
  ExpectPackageInstalled(m);
  ExpectQueue(m, u"Orvalstone", u"", u"");
  ASSERT_NE(sim::FindPrinter(m, u"Fax"), nullptr);
  EXPECT_EQ(sim::FindPrinter(m, u"Fax")->portName, u"Orvalstone:");
  ASSERT_NE(sim::FindPrinter(m, u"Archive"), nullptr);
  EXPECT_EQ(sim::FindPrinter(m, u"Archive")->portName, u"LPT1:,Orvalstone:");
  // The new module replaced the unsupported one.
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2300);
}

// An unsupported module that another program keeps loaded past the monitor's removal.
void UnsupportedModuleHeld(sim::Machine& m) {
  Installed(m);
  if (::testing::Test::HasFatalFailure()) return;
  sim::PutFile(m, kMonitorModule, Bytes("MZ kvxmon64 2072"), Build(2072));
  sim::LockFile(m, kMonitorModule, 0x80000000, FILE_SHARE_READ, true);
}

void CheckHeldModuleDropped(sim::Machine& m) {
  // The file left over from the removal is neither replaced nor scheduled for deletion.
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2072);
  EXPECT_EQ(
      sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations"),
      nullptr);
  EXPECT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  ExpectQueue(m, u"Orvalstone", u"", u"");
}

// Nothing can be deleted while the run lasts: the staged driver files stay for a restart.
void StagedCopiesUndeletable(sim::Machine& m) {
  sim::AddFault(m, "DeleteFileW", ERROR_SHARING_VIOLATION, -1);
}

void CheckStagedCopiesScheduled(sim::Machine& m) {
  const sim::RegValue* v =
      sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations");
  ASSERT_NE(v, nullptr);
  // Newest first, each a deletion (an empty target).
  std::u16string expected;
  for (const char16_t* f : {u"kvxhelp.chm", u"kvxui64.dll", u"kvxdrv64.dll"})
    expected += u"\\??\\" + kDriverDir + f + std::u16string(2, u'\0');
  expected += u'\0';
  EXPECT_EQ(v->data, Utf16Bytes(expected));
  EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
  ExpectQueue(m, u"Orvalstone", u"", u"");
}

// Uninstalled while another program holds the monitor module (handed over for deletion at
// the next start), and installed again before that start, the module let go of or not.
void UninstalledModuleHeld(sim::Machine& m, bool released) {
  Installed(m);
  if (::testing::Test::HasFatalFailure()) return;
  const uint32_t holder = sim::LockFile(m, kMonitorModule, 0x80000000, FILE_SHARE_READ, true);
  ASSERT_EQ(RunCommand(m, u"uninstall").exitCode, 101);
  if (released) sim::EndProcess(m, holder);
  sim::PutFile(m, kTrayPath, Bytes("MZ orvtray"));  // the setup copies its files again
}

void CheckModuleLiveAndNotPending(sim::Machine& m) {
  ExpectPackageInstalled(m);
  ExpectQueue(m, u"Orvalstone", u"", u"");
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2300);
  // Nothing left that would delete the live module at the next start.
  const sim::RegValue* v =
      sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations");
  EXPECT_TRUE(v == nullptr || v->data.size() <= 2u);
  sim::Restart(m);
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2300);
}

// A SubKey longer than any fixed buffer, one whose plain value is empty but whose "DsUser"
// copy is good, and the package's own queue as the default printer with its settings.
void UnusualQueues(sim::Machine& m) {
  Installed(m);
  if (::testing::Test::HasFatalFailure()) return;
  sim::SimPrinter* own = sim::FindPrinter(m, u"Orvalstone");
  own->comment = u"Our own";
  own->location = u"Hall";
  m.spooler.defaultPrinter = u"Orvalstone";
  sim::SimPrinter longer;
  longer.name = u"Long";
  longer.portName = u"Orvalstone:";
  longer.driverName = u"Orvalstone printer";
  PutPrinterData(longer, sim::kPlainDataKey, "SubKey", std::string(100, 'k'));
  PutPrinterData(longer, "DsUser", "SubKey", std::string(100, 'k'));
  sim::AddSimPrinter(m, longer);
  sim::SimPrinter empty = longer;
  empty.name = u"EmptyPlain";
  empty.data.clear();
  PutPrinterData(empty, sim::kPlainDataKey, "SubKey", "");
  PutPrinterData(empty, "DsUser", "SubKey", "emp-04");
  sim::AddSimPrinter(m, empty);
}

void CheckUnusualQueues(sim::Machine& m) {
  ExpectPackageInstalled(m);
  ExpectQueue(m, u"Orvalstone", u"Our own", u"Hall");
  EXPECT_EQ(m.spooler.defaultPrinter, u"Orvalstone");
  EXPECT_EQ(PrinterText(m, u"Long", sim::kPlainDataKey, "SubKey"), std::string(100, 'k'));
  EXPECT_EQ(PrinterText(m, u"Long", "DsUser", "SubKey"), std::string(100, 'k'));
  EXPECT_EQ(PrinterText(m, u"EmptyPlain", sim::kPlainDataKey, "SubKey"), "emp-04");
  EXPECT_EQ(PrinterText(m, u"EmptyPlain", "DsUser", "SubKey"), "emp-04");
}

// The spooler refuses every removal of the unsupported monitor: it stays registered, and
// the printers moved off its port go back on it.
void MonitorRefusedOnReinstall(sim::Machine& m) {
  MonitorInUse(m);
  sim::AddFault(m, "DeleteMonitorW", ERROR_ACCESS_DENIED, 3);
}

void CheckPortsGivenBack(sim::Machine& m) {
  EXPECT_EQ(sim::FindPrinter(m, u"Fax")->portName, u"Orvalstone:");
  EXPECT_EQ(sim::FindPrinter(m, u"Archive")->portName, u"LPT1:,Orvalstone:");
  ExpectQueue(m, u"Orvalstone", u"", u"");
}

// The setup in a folder whose path is 300 characters long.
void LongInstallerFolder(sim::Machine& m) {
  std::u16string folder = u"C:\\Program Files\\Orvalstone";
  while (folder.size() < 280) folder += u"\\" + std::u16string(20, u'd');
  folder.resize(300);
  for (const char16_t* f : {u"kvxmon64.dll", u"kvxdrv64.dll", u"kvxui64.dll", u"kvxhelp.chm"}) {
    sim::PutFile(
        m, folder + u"\\Setup\\" + f,
        sim::FindFile(m, u"C:\\Program Files\\Orvalstone\\Setup\\" + std::u16string(f))->data);
  }
  sim::PutFile(m, folder + u"\\orvtray.exe", sim::FindFile(m, kTrayPath)->data);
  m.kernel.modulePath = folder + u"\\Setup\\orvinst.exe";
  sim::PutFile(m, m.kernel.modulePath, Bytes("MZ orvinst"));
}

void CheckLongFolderTray(sim::Machine& m) {
  const std::u16string tray = m.kernel.modulePath.substr(0, 300) + u"\\orvtray.exe";
  const sim::RegValue* run = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray");
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->data, Utf16Bytes(tray + std::u16string(1, u'\0')));
  EXPECT_TRUE(TrayRunning(m));
}

const Case kInstallCases[] = {
    {"reinstall_after_uninstall_module_released",
     [](sim::Machine& m) { UninstalledModuleHeld(m, true); }, u"install", 1, false,
     CheckModuleLiveAndNotPending, 1000},
    {"reinstall_after_uninstall_module_still_held",
     [](sim::Machine& m) { UninstalledModuleHeld(m, false); }, u"install", 1, false,
     CheckModuleLiveAndNotPending, 1000},
    {"reinstall_long_empty_subkeys_own_queue_default", UnusualQueues, u"install", 1, false,
     CheckUnusualQueues, 0},
    {"reinstall_monitor_removal_refused", MonitorRefusedOnReinstall, u"install", 100, true,
     CheckPortsGivenBack, 6000},
    {"install_long_installer_folder", LongInstallerFolder, u"install", 1, false,
     CheckLongFolderTray, 1000},
    {"fresh_install", nullptr, u"install", 1, false, CheckFreshInstall, 1000},
    {"reinstall_three_saved_queues", ThreeSavedQueues, u"in", 1, false, CheckThreeSavedQueues, 0},
    {"install_compatible_module_not_registered", CompatibleModuleOnly, u"serverinstall", 1, false,
     CheckCompatibleModuleKept, 1000},
    {"reinstall_monitor_in_use_printers_parked", MonitorInUse, u"install", 1, false,
     CheckPrintersReturned, 400},
    {"reinstall_removal_leaves_held_module", UnsupportedModuleHeld, u"install", 100, true,
     CheckHeldModuleDropped, 10800},
    {"install_staged_copies_undeletable", StagedCopiesUndeletable, u"install", 101, false,
     CheckStagedCopiesScheduled, 1400},
};

class InstallScenario : public ::testing::TestWithParam<Case> {
 protected:
  sim::Machine m;
  sim::MachineScope scope{m};
};

TEST_P(InstallScenario, RunsAsLogged) {
  RunCase(m, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Runs, InstallScenario, ::testing::ValuesIn(kInstallCases), CaseName);

}  // namespace

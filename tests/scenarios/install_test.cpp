#include "scenario.h"

namespace {

using namespace scenario;

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
}

void CheckThreeSavedQueues(sim::Machine& m) {
  ExpectPackageInstalled(m);
  // The queue without a settings key is not re-created.
  EXPECT_EQ(sim::FindPrinter(m, u"Orvalstone"), nullptr);
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
  // The compatible monitor stayed as it was.
  EXPECT_EQ(ModuleBuild(m, kMonitorModule), 2073);
  EXPECT_TRUE(RunValuePresent(m));
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

const Case kInstallCases[] = {
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

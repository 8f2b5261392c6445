// Runs from machines that an earlier failed, killed or half-done run left, or that differ from
// a healthy one: each keeps the user's queues, everything set on them, and says honestly how
// it ended.
#include "scenario.h"

namespace {

using namespace scenario;
using namespace std::string_literals;

const std::u16string kRecordValue = u"SavedQueues";

// The package installed, and a queue of the user's with its SubKey, the default printer.
void UserQueue(sim::Machine& m) {
  Installed(m);
  sim::SimPrinter p = Queue(u"Invoices");
  p.comment = u"Monthly invoices";
  p.location = u"Room 12";
  PutPrinterData(p, sim::kPlainDataKey, "inv-01");
  PutPrinterData(p, u"DsUser", "inv-01");
  sim::AddSimPrinter(m, p);
  m.spooler.defaultPrinter = u"Invoices";
}

// A queue as a user or an administrator leaves it: shared as "Front", A4 landscape defaults
// with a choice in the driver's part, a separator page, priority 7, printing from 08:00 to
// 18:00, permissions of its own and printer data under two keys of the driver's.
void WholeQueue(sim::Machine& m) {
  sim::SimPrinter p = Queue(u"Invoices");
  PutPrinterData(p, sim::kPlainDataKey, "inv-01");
  p.shareName = u"Front";
  p.attributes |= PRINTER_ATTRIBUTE_SHARED;
  p.sepFile = u"C:\\Windows\\System32\\sysprint.sep";
  p.priority = 7;
  p.startTime = 8 * 60;
  p.untilTime = 18 * 60;
  p.security = sim::RestrictedPrinterSecurity();
  p.devMode = sim::DriverDevMode(m, p);
  auto* dm = reinterpret_cast<DEVMODEW*>(p.devMode.data());
  dm->dmOrientation = 2;
  dm->dmPaperSize = 9;
  p.devMode.back() = 0x5A;
  p.data.push_back({u"Prefs\\Paper", {{u"Tray", REG_DWORD, {2, 0, 0, 0}}}});
  p.data.push_back({u"Prefs", {{u"Watermark", REG_BINARY, {1, 0xFF}}}});
  sim::AddSimPrinter(m, p);
  m.spooler.defaultPrinter = p.name;
}

// A repair that could not make the queue again left it in the record.
void WholeQueueAfterFailedRun(sim::Machine& m) {
  Installed(m);
  WholeQueue(m);
  sim::AddFault(m, "AddPrinterW", ERROR_ACCESS_DENIED, -1);
  ASSERT_EQ(RunCommand(m, u"install").exitCode, 100);
  sim::ClearFaults(m);
}

// The queue's defaults were written by driver build 2206; the repair installs 2300, whose
// own part of them is larger.
void DefaultsOfOlderDriverBuild(sim::Machine& m) {
  sim::PutFile(m, kSetupDir + u"kvxdrv64.dll", Bytes("MZ kvxdrv64"), Build(2206));
  Installed(m);
  WholeQueue(m);
  sim::PutFile(m, kSetupDir + u"kvxdrv64.dll", Bytes("MZ kvxdrv64"), Build(2300));
}

// A record of another type than a run writes: set aside, the queues kept.
void RecordOfWrongType(sim::Machine& m) {
  UserQueue(m);
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kPackageKey, kRecordValue, REG_DWORD, {1, 0, 0, 0});
}

// A printer of another driver left on "file:" by a killed repair, that cannot be moved back.
void ParkedPrinterStuck(sim::Machine& m) {
  Installed(m);
  sim::AddSimPrinter(m, Queue(u"Fax", u"LPT1:,file:", u"Microsoft Print To PDF"));
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kPackageKey, u"ParkedPrinters", REG_MULTI_SZ,
                   Utf16Bytes(u"N=Fax\0P=LPT1:,Orvalstone:\0\0"s));
  sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED, -1);
}

// The setup folder lacks a package file: nothing is removed.
void HelpFileMissing(sim::Machine& m) {
  UserQueue(m);
  sim::RemoveFile(m, kSetupDir + u"kvxhelp.chm");
}

// The Run value names no file (it is a number): nothing to delete, and no failure.
void TrayRunValueNotText(sim::Machine& m) {
  Installed(m);
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray", REG_DWORD, {1, 0, 0, 0});
}

// The earlier uninstall left the monitor module pending deletion; the repair keeps it, and
// cannot take the deletion back.
void PendingModuleUnwithdrawable(sim::Machine& m) {
  Installed(m);
  HoldModule(m);
  ASSERT_EQ(RunCommand(m, u"uninstall").exitCode, 101);
  sim::PutFile(m, kTrayPath, Bytes("MZ orvtray"));
  sim::AddFault(m, "RegSetValueExW", ERROR_ACCESS_DENIED, -1);
}

// The same deletion, and no file's attributes can be read: the module may be there, so the
// deletion is taken back all the same (the copy over the held module fails meanwhile).
void PendingModuleAttributesRefused(sim::Machine& m) {
  PendingModuleUnwithdrawable(m);
  sim::ClearFaults(m);
  sim::AddFault(m, "GetFileAttributesW", ERROR_ACCESS_DENIED, -1);
}

// Another program holds the installed driver module open, without delete sharing.
void DriverModuleHeldOpen(sim::Machine& m) {
  Installed(m);
  sim::LockFile(m, sim::FindDriver(m, u"Orvalstone printer")->driverPath, 0x80000000,
                FILE_SHARE_READ);
}

// The tray program's mutex is held by a program that is no tray program: each start quits at
// once, which is no start.
void TrayMutexHeldByAnother(sim::Machine& m) {
  Installed(m);
  sim::EndProcess(m, sim::FindRunning(m, "tray")->pid);
  sim::HoldMutex(m, sim::kTrayMutexName, std::nullopt, false);
}

// The setup's monitor module is a 32-bit build, the installed one of an older version.
void MonitorModuleOf32Bits(sim::Machine& m) {
  Installed(m);
  sim::PutFile(m, kMonitorModule, MonitorBytes("2072"), Build(2072));
  sim::PutFile(m, kSetupDir + u"kvxmon64.dll",
               Bytes("MZ kvxmon64 " + std::string(sim::kX86ImageHeader) +
                     std::string(sim::kMonitorEntryPoint)),
               Build(2300));
}

// A repair re-created a queue of the user's without its comment and location (they stay in
// the record); the uninstall after it cannot delete that queue.
void QueueBackWithoutItsSettings(sim::Machine& m) {
  Installed(m);
  sim::SimPrinter invoices = Queue(u"Invoices");
  invoices.comment = u"Monthly invoices";
  invoices.location = u"Room 12";
  sim::AddSimPrinter(m, invoices);
  sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED, -1);
  ASSERT_EQ(RunCommand(m, u"install").exitCode, 100);
  sim::ClearFaults(m);
  sim::AddFault(m, "DeletePrinter", RPC_S_SERVER_UNAVAILABLE);
}

using enum Dialog;
const Case kDamagedCases[] = {
    // A repair that cannot write its record, or read a queue's SubKey, keeps the queues.
    {"reinstall_record_refused_queues_kept", Steps<UserQueue, Fails<"RegCreateKeyExW">>, u"install",
     100, kErrorLog, 900},
    {"reinstall_subkey_unreadable_queue_kept", Steps<UserQueue, Fails<"GetPrinterDataExA">>,
     u"install", 100, kErrorLog, 900},
    {"reinstall_record_of_wrong_type_set_aside", RecordOfWrongType, u"install", 100, kErrorLog,
     900},
    {"reinstall_parked_printer_stuck", ParkedPrinterStuck, u"install", 100, kErrorLog, 500},
    {"reinstall_help_file_missing", HelpFileMissing, u"install", 100, kErrorLog, 0},
    // The installer's own path cannot be read: nothing is removed.
    {"reinstall_module_path_unknown",
     Steps<UserQueue, Fails<"GetModuleFileNameW", ERROR_ACCESS_DENIED, 1>>, u"install", 100,
     kErrorLog, 0},
    // The Run key out of reach: the tray program is neither registered nor removed.
    {"reinstall_run_key_refused", Steps<Installed, Fails<"RegOpenKeyExA">>, u"install", 100,
     kErrorLog, 500},
    {"reinstall_tray_will_not_start", Steps<Installed, Fails<"CreateProcessW">>, u"install", 100,
     kErrorLog, 0},
    {"reinstall_tray_mutex_held_by_another", TrayMutexHeldByAnother, u"install", 100, kErrorLog,
     6500},
    {"uninstall_tray_run_value_not_text", TrayRunValueNotText, u"uninstall", 2, kLog, 1400},
    // The monitor module is held and the system takes no deletion for the restart.
    {"uninstall_module_undeletable", Steps<Installed, HoldModule, Fails<"MoveFileExW">>,
     u"uninstall", 100, kErrorLog, 400},
    {"reinstall_pending_module_unwithdrawable", PendingModuleUnwithdrawable, u"install", 100,
     kErrorLog, 1500},
    {"reinstall_pending_module_attributes_refused", PendingModuleAttributesRefused, u"install", 100,
     kErrorLog, 11900},
    {"reinstall_whole_queue_after_failed_run", WholeQueueAfterFailedRun, u"install", 1, kLog, 500},
    {"reinstall_defaults_of_older_driver_build", DefaultsOfOlderDriverBuild, u"install", 1, kLog,
     500},
    {"uninstall_driver_module_held_open", DriverModuleHeldOpen, u"uninstall", 101, kLog, 400},
    // Refused only once the installed monitor is gone: the queue waits in the record.
    {"reinstall_monitor_module_of_32_bits", MonitorModuleOf32Bits, u"install", 100, kErrorLog,
     1100},
    {"uninstall_queue_back_without_its_settings", QueueBackWithoutItsSettings, u"uninstall", 100,
     kErrorLog, 800},
    {"reinstall_driver_module_held_open", DriverModuleHeldOpen, u"install", 1, kLog, 500},
};

INSTANTIATE_TEST_SUITE_P(Damaged, Scenario, ::testing::ValuesIn(kDamagedCases), CaseName);

}  // namespace

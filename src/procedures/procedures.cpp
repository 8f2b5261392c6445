#include "procedures/procedures.h"

#include "context/install_context.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "files/deferred_delete.h"
#include "files/pending_renames.h"
#include "platform/unique.h"
#include "spooler/driver.h"
#include "spooler/monitor.h"
#include "spooler/printer_removal.h"
#include "spooler/printer_restore.h"
#include "spooler/printer_snapshot.h"
#include "spooler/service_control.h"
#include "tray/tray.h"

namespace {
// The context's monitor fields follow what became of the monitor; they are written here alone.
void NoteMonitor(InstallContext& context, MonitorOutcome monitor) {
  context.InstallMonitor = monitor != MonitorOutcome::Registered;
  context.CopyMonitor = monitor != MonitorOutcome::ModuleKept;
  context.MonitorRegistered =
      monitor == MonitorOutcome::Registered || monitor == MonitorOutcome::Stuck;
}

// Carries out the system's pending deletions of files that still exist, before anything of
// the package is installed again.
void CleanSystemPendingRenames() {
  PendingRenameTable table = ReadPendingRenames();
  CleanPendingRenames(table);
}

void WithdrawModuleDeletion(InstallContext& context) {
  if (!context.MonitorRegistered || Count(context.SystemDir) == 0) return;
  WithdrawDeletion(context, Chars(JoinPath(Chars(context.SystemDir), context.MonitorFile)));
}

// The installer's own folder could not be had, with the reason it was not.
void LogModuleDirUnknown(InstallContext& context) {
  SetLastError(context.ModuleDirError);
  LogError(context, ErrModuleDirectory);
}

// Whether the package's file can be read where the installation will take it from; an error
// line when not.
bool PackageFileReadable(InstallContext& context, LPCWSTR path) {
  const unique_hfile file(CreateFileW(path, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) LogError(context, ErrPackageFile, path);
  return bool(file);
}

// Nothing is removed before it is known that all of it can be put back: the directories it
// goes to, and every package file in the installer's folder (the tray program one above).
bool CanInstallAgain(InstallContext& context) {
  if (Count(context.ModuleDir) == 0) {
    LogModuleDirUnknown(context);
    return false;
  }
  // Each was reported when it could not be had.
  bool ready = Count(context.SystemDir) != 0 && Count(context.DriverDir) != 0;
  for (LPCWSTR name : {context.MonitorFile, context.DriverFile, context.UiFile, context.HelpFile}) {
    ready = PackageFileReadable(context, Chars(JoinPath(Chars(context.ModuleDir), name))) && ready;
  }
  const WideText tray = TrayProgramPath(context.ModuleDir);
  return PackageFileReadable(context, Chars(tray)) && ready;
}

// One more try, then one with the spooler stopped, for what is still listed.
void RetryDeletesTwice(InstallContext& context) {
  if (!context.PendingDeletes) return;
  DeleteFileTry(context);
  if (!context.PendingDeletes) return;
  SpoolerRestart restart(&context);
  DeleteFileTry(context);
}
}  // namespace

InstallContext::InstallContext() = default;

InstallContext::~InstallContext() {
  TearDownInstallContext(*this);
}

void BuildInstallContext(InstallContext& context) {
  Log(context, W("Orvalstone %d"), kBuildNumber);
  context.CheckMonitorVersion = 0;
  NoteMonitor(context, MonitorOutcome::Gone);  // until a removal finds otherwise
  CheckSpooler(context);
  ObtainDirectories(context);
  context.RedirectedPrinters.reset();
  TakePrinterSnapshot(context);
}

void TearDownInstallContext(InstallContext& context) {
  context.RedirectedPrinters.reset();
  context.PrinterSnapshot = PrinterList();
  context.SavedPrinters.reset();
  context.PendingDeletes.reset();
  Assign(context.DriverDir, nullptr);
  Assign(context.LogText, nullptr);
  Assign(context.SystemDir, nullptr);
  Assign(context.ModuleDir, nullptr);
}

MonitorOutcome UnInstall(InstallContext& context) {
  LogSection section(context, W(">UnInstall"));
  // The tray program goes first: it must not hold anything while spooler objects change. In
  // a reinstall its file is the one about to be registered again, and stays (all the more
  // when the installer's own place, and so that file's, is not known).
  if (context.RestoreQueues) {
    const bool known = Count(context.ModuleDir) != 0;
    WideText keep;
    if (known) keep = TrayProgramPath(context.ModuleDir);
    if (!RemoveTray(Chars(keep), known ? TrayFile::Delete : TrayFile::Keep)) {
      context.TrayRemovalError = GetLastError();
    }
  } else {
    WideText left;
    const bool removed = RemoveTray(nullptr, TrayFile::Delete, &left);
    if (!removed) LogError(context, ErrRemoveTray);
    // A program that would not let go of its file loses it at the next start.
    if (Count(left) != 0) DeleteOrListFile(context, Chars(left));
    // Where this setup put it, whether or not a Run entry still names it (an earlier
    // removal may have taken the entry and left the file); not while the program may run.
    if (removed && Count(context.ModuleDir) != 0) {
      DeleteIfThere(context, Chars(TrayProgramPath(context.ModuleDir)));
    } else if (Count(context.ModuleDir) == 0) {
      // Where the setup put the tray program is not known: it may be left.
      LogModuleDirUnknown(context);
    }
  }

  Log(context, W("EnumMonitors"));
  MonitorList monitors;
  // A list that could not be taken hides what is installed, and so what is left: an error.
  if (!EnumerateMonitors(context, monitors)) {
    LogError(context, ErrListMonitors);
  }
  Log(context, W("%d Monitors found."), static_cast<int>(monitors.Count));

  Log(context, W("EnumPrinterDrivers for %s"), context.Environment);
  DriverList drivers;
  if (!EnumerateDrivers(drivers, context.Environment)) {
    LogError(context, ErrListDrivers);
  }
  Log(context, W("%d drivers found"), static_cast<int>(drivers.Count));

  // Queues before their driver, the driver before the monitor whose port they use.
  DeleteAllPrinters(context);
  DeletePrinterDriver(context, drivers);
  const MonitorOutcome monitor = DeleteMonitor(context, monitors);
  NoteMonitor(context, monitor);
  if (context.PendingDeletes) DeleteFileTry(context);
  return monitor;
}

void FullUnInstall(InstallContext& context) {
  UnInstall(context);
  CleanSystemPendingRenames();
  RetryDeletesTwice(context);
  // A monitor that could not be removed still serves its port: printers go back on it.
  if (context.MonitorRegistered) ReturnParkedPrinters(context);
}

void ReInstall(InstallContext& context) {
  LogSection section(context, 2, W(">ReInstall"));
  context.CheckMonitorVersion = 1;
  context.RestoreQueues = 1;
  if (!CanInstallAgain(context)) return;
  const MonitorOutcome removal = UnInstall(context);

  if (context.PendingDeletes) {
    // Files the removal could not delete get one try with the spooler stopped; what is
    // left then is given up rather than scheduled, as the installation will replace it.
    SpoolerRestart restart(&context);
    DeleteFileTry(context);
    context.PendingDeletes.reset();
  }
  // The tray program the setup has just put in place stays, whatever an earlier removal
  // handed to the next start.
  WithdrawDeletion(context, Chars(TrayProgramPath(context.ModuleDir)));
  CleanSystemPendingRenames();
  NoteMonitor(context, KeepMonitorModule(context, removal));

  // The monitor before the driver, the driver before the queues, the queues before the tray.
  if (context.InstallMonitor && AddMonitor(context))
    NoteMonitor(context, MonitorOutcome::Registered);
  if (context.MonitorRegistered) ReturnParkedPrinters(context);
  AddPrinterDriver(context);
  RestorePrinters(context);
  InstallTray(context);
  RetryDeletesTwice(context);
  WithdrawModuleDeletion(context);
}

DWORD InstallCommand(InstallContext& context) {
  ReInstall(context);
  return ScheduleRebootDeletes(context);
}

DWORD UninstallCommand(InstallContext& context) {
  FullUnInstall(context);
  return ScheduleRebootDeletes(context);
}

void RemoveTrayCommand() {
  RemoveTray();
}

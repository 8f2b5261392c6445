#include "procedures/procedures.h"

#include "context/install_context.h"
#include "context/run_log.h"
#include "files/deferred_delete.h"
#include "files/pending_renames.h"
#include "spooler/driver.h"
#include "spooler/monitor.h"
#include "spooler/printer_removal.h"
#include "spooler/printer_restore.h"
#include "spooler/service_control.h"
#include "tray/tray.h"

namespace {
// Carries out the system's pending deletions of files that still exist, before anything of
// the package is installed again.
void CleanSystemPendingRenames() {
  PendingRenameTable table = ReadPendingRenames();
  CleanPendingRenames(table);
}

// The monitor module in place must not be deleted at the next start by an earlier run's
// hand-over.
void WithdrawModuleDeletion(InstallContext& context) {
  if (!context.MonitorRegistered || Count(context.SystemDir) == 0) return;
  WideText path = Copy(context.SystemDir);
  Append(path, context.MonitorFile);
  if (GetFileAttributesW(Chars(path)) == INVALID_FILE_ATTRIBUTES) return;
  if (!WithdrawPendingDeletion(Chars(path))) {
    LogError(context, ErrWithdrawDeletion, W("Can`t withdraw the pending deletion of %s"),
             Chars(path));
  }
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

void UnInstall(InstallContext& context) {
  LogSection section(context, W(">UnInstall"));
  // The tray program goes first: it must not hold anything while spooler objects change. In
  // a reinstall its file is the one about to be registered again, and stays (all the more
  // when the installer's own place, and so that file's, is not known).
  if (context.RestoreQueues) {
    const bool known = Count(context.ModuleDir) != 0;
    WideText keep;
    if (known) keep = TrayProgramPath(context.ModuleDir);
    RemoveTray(Chars(keep), known ? TrayFile::Delete : TrayFile::Keep);
  } else {
    WideText left;
    if (!RemoveTray(nullptr, TrayFile::Delete, &left)) {
      LogError(context, ErrRemoveTray, W("Can`t remove the tray program"));
    }
    // A program that would not let go of its file loses it at the next start.
    if (Count(left) != 0) DeleteOrListFile(context, Chars(left));
  }

  Log(context, W("EnumMonitors"));
  MonitorList monitors;
  // A list that could not be taken hides what is installed, and so what is left: an error.
  if (!EnumerateMonitors(context, monitors)) {
    LogError(context, ErrListMonitors, W("Can`t list the port monitors"));
  }
  Log(context, W("%d Monitors found."), static_cast<int>(monitors.Count));

  Log(context, W("EnumPrinterDrivers for %s"), context.Environment);
  DriverList drivers;
  if (!EnumerateDrivers(drivers, context.Environment)) {
    LogError(context, ErrListDrivers, W("Can`t list the printer drivers"));
  }
  Log(context, W("%d drivers found"), static_cast<int>(drivers.Count));

  // Queues before their driver, the driver before the monitor whose port they use.
  DeleteAllPrinters(context);
  DeletePrinterDriver(context, drivers);
  DeleteMonitor(context, monitors);
  if (context.PendingDeletes) DeleteFileTry(context);
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
  UnInstall(context);

  if (context.PendingDeletes) {
    // Files the removal could not delete get one try with the spooler stopped; what is
    // left then is given up rather than scheduled, as the installation will replace it.
    SpoolerRestart restart(&context);
    DeleteFileTry(context);
    ReleasePendingDeletes(context.PendingDeletes);
  }
  CleanSystemPendingRenames();
  KeepMonitorModule(context);
  // Without its own folder the installer finds none of the package's files, and looks for
  // none in a relative place.
  if (Count(context.ModuleDir) == 0) {
    LogError(context, ErrModuleDirectory, W("Can`t retrieve the installer's directory."));
  }

  // The monitor before the driver, the driver before the queues, the queues before the tray.
  if (context.InstallMonitor) AddMonitor(context);
  if (context.MonitorRegistered) ReturnParkedPrinters(context);
  AddPrinterDriver(context);
  RestorePrinters(context);
  if (!InstallTray(context)) {
    LogError(context, ErrRegisterTray, W("Can`t register the tray program"));
  }
  RetryDeletesTwice(context);
  WithdrawModuleDeletion(context);
}

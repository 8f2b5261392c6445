// The sequences that tie the installer's operations together: removing the package, and
// removing then installing it again.
#pragma once
// The context with the records every layer keeps in it, for whoever builds and ends a run.
#include "context/install_context.h"
#include "files/deferred_delete.h"
#include "spooler/monitor.h"
#include "spooler/printer_snapshot.h"
#include "spooler/queue_record.h"

// First log line, spooler check, names and directories, printer snapshot. Never fails:
// problems are logged. The module path comes from the process instance.
void BuildInstallContext(InstallContext& context);
// Releases everything the context owns; the record is empty afterwards.
void TearDownInstallContext(InstallContext& context);

// Tray program, package queues, driver and monitor out; failed deletions retried once. What
// became of the monitor.
MonitorOutcome UnInstall(InstallContext& context);
// The uninstall command: UnInstall, the system's pending deletions, the last retries (the
// last one with the spooler stopped).
void FullUnInstall(InstallContext& context);
// The install commands: UnInstall with the monitor version check, then monitor, driver,
// queues and tray program installed again.
void ReInstall(InstallContext& context);

// The two long commands whole: ReInstall, or FullUnInstall, then every file still listed for
// deletion handed to the system for its next start. How many paths the system took.
DWORD InstallCommand(InstallContext& context);
DWORD UninstallCommand(InstallContext& context);
// The removetray command: the tray program asked to exit, its file deleted, its entry gone.
void RemoveTrayCommand();

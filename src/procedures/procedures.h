// The sequences that tie the installer's operations together: removing the package, and
// removing then installing it again.
#pragma once

struct InstallContext;

// Tray program, package queues, driver and monitor out; failed deletions retried once.
void UnInstall(InstallContext& context);
// The uninstall command: UnInstall, the system's pending deletions, the last retries (the
// last one with the spooler stopped).
void FullUnInstall(InstallContext& context);
// The install commands: UnInstall with the monitor version check, then monitor, driver,
// queues and tray program installed again.
void ReInstall(InstallContext& context);

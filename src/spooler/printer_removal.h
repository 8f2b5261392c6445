// Removing the queues of the package's driver before the driver and the monitor go, each
// queue's "SubKey" saved first so that a reinstall can bring the queue back.
#pragma once
#include "platform/win32.h"

struct InstallContext;

// Saves and deletes every snapshot queue of the package's driver, in snapshot order.
void DeleteAllPrinters(InstallContext& context);
// Pushes the queue's "SubKey" and its snapshot record onto SavedPrinters, when it has one.
void SaveSubKey(InstallContext& context, PRINTER_INFO_2W* record);
// Purges and deletes one queue by name; failures are error lines.
void DeletePrinter(InstallContext& context, LPCWSTR name);

// Whole UTF-16 strings, case-sensitive; a missing name equals nothing.
bool SameSpoolerName(LPCWSTR a, LPCWSTR b);

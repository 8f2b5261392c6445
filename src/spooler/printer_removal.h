// Removing the queues of the package's driver before the driver and the monitor go, each
// queue's "SubKey" saved first so that a reinstall can bring the queue back.
#pragma once
#include "platform/win32.h"

struct InstallContext;
struct SavedPrinter;

// Deletes every snapshot queue of the package's driver, in snapshot order. In a reinstall
// (RestoreQueues) each is saved first, in SavedPrinters and in the machine-wide record, and
// one whose settings cannot be saved stays; an uninstall drops the record but for the queues
// it could not delete. Queues that stay are counted in KeptQueues.
void DeleteAllPrinters(InstallContext& context);
// Pushes the queue's name, "SubKey", comment, location and default mark onto SavedPrinters,
// unless `earlier` (the entries an earlier run's record left) already holds it. False (an
// error line) when they could not be read.
bool SaveQueue(InstallContext& context, PRINTER_INFO_2W* record, SavedPrinter* earlier);
// Purges and deletes one queue by name; failures are error lines. True when it is gone.
bool DeletePrinter(InstallContext& context, LPCWSTR name);

// Re-creating the package's queues that printer removal deleted: old name, the package's
// port and driver, and everything saved of it (the "SubKey", comment, location and default
// mark; sharing, permissions, printing defaults, printer data and the other settings); or
// one queue "Orvalstone" when none comes back.
#pragma once
#include "platform/unique.h"

struct InstallContext;
struct SavedPrinter;

// Creates one queue on the package's port and driver, with the saved settings the spooler
// takes at creation when `saved` is given; its handle, or none.
unique_printer AddPrinter(InstallContext& context, LPCWSTR name,
                          const SavedPrinter* saved = nullptr);
// Brings back every saved queue, newest first, with all it had, or the fallback queue when
// the package has no queue and none is to come back. A queue that does not come back whole
// is an error line and stays in the machine-wide record for the next run.
void RestorePrinters(InstallContext& context);
// Removes the value "deleted" from kQueueSettingsRoot\<relativePath>; the registry's answer.
LSTATUS ClearDeletedMark(LPCSTR relativePath);

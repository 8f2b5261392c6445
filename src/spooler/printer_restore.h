// Re-creating the package's queues that printer removal deleted: old name, the package's
// port and driver, the saved "SubKey", comment, location and default mark; or one queue
// "Orvalstone" when none comes back.
#pragma once
#include "platform/unique.h"

struct InstallContext;

// Creates one queue on the package's port and driver; its handle, or none.
unique_printer AddPrinter(InstallContext& context, LPCWSTR name);
// Brings back every saved queue, newest first, with all it had, or the fallback queue when
// the package has no queue and none is to come back. A queue that does not come back whole
// is an error line and stays in the machine-wide record for the next run.
void RestorePrinters(InstallContext& context);
// Removes the value "deleted" from kQueueSettingsRoot\<relativePath>; the registry's answer.
LSTATUS ClearDeletedMark(LPCSTR relativePath);

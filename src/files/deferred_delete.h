// Files whose deletion failed: retried later, finally handed to the system for deletion at
// the next restart.
#pragma once
#include "platform/win32.h"

struct InstallContext;
struct PendingDelete;

// Adds a copy of the path at the head of the list unless the same text is listed already.
void AddPendingDelete(PendingDelete*& list, LPCWSTR path);
// Tries to delete every listed file; drops the entries that are done (or already gone).
void DeleteFileTry(InstallContext& context);
// Hands every listed path to the system for deletion at restart, newest first; empties the
// list and returns how many the system accepted.
DWORD ScheduleRebootDeletes(InstallContext& context);

// Files whose deletion failed: retried later, finally handed to the system for deletion at
// the next restart.
#pragma once
#include "platform/unique.h"

struct InstallContext;

// A path whose deletion failed.
struct PendingDelete {
  unique_global<WCHAR> Path;
  unique_list<PendingDelete> Next;
};

// Adds a copy of the path at the head of the list unless the same text is listed already.
// False when the heap refused: the path is then nobody's to delete.
bool AddPendingDelete(unique_list<PendingDelete>& list, LPCWSTR path);
// Deletes the file now, or lists it for a later try; an error line when neither can be done.
void DeleteOrListFile(InstallContext& context, LPCWSTR path);
// The same for a file that may not be there (nothing then); one whose presence cannot be told
// is tried.
void DeleteIfThere(InstallContext& context, LPCWSTR path);
// Tries to delete every listed file; drops the entries that are done (or already gone).
void DeleteFileTry(InstallContext& context);
// Hands every listed path to the system for deletion at restart, newest first; empties the
// list and returns how many the system accepted. A path the system refuses stays on the
// disk: an error line.
DWORD ScheduleRebootDeletes(InstallContext& context);
// A file of the package in place must not be deleted at the next start, nor by the clean-up
// of the system's list, by an earlier hand-over; an error line when that cannot be undone.
void WithdrawDeletion(InstallContext& context, LPCWSTR path);

#include "files/deferred_delete.h"

#include "context/install_context.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "files/pending_renames.h"
#include "platform/unique.h"

namespace {

void ReleaseEntry(PendingDelete* entry) {
  ReleaseGlobal(entry->Path);
  ReleaseGlobal(entry);
}
}  // namespace

bool AddPendingDelete(PendingDelete*& list, LPCWSTR path) {
  if (!path || !*path) return true;
  for (const PendingDelete* entry = list; entry; entry = entry->Next) {
    // Unit for unit: paths that differ in letter case or form are different entries.
    if (SameText(entry->Path, path)) return true;
  }
  auto* entry = static_cast<PendingDelete*>(GlobalAlloc(GPTR, sizeof(PendingDelete)));
  if (!entry) return false;
  entry->Path = DuplicateToGlobal(path);
  if (!entry->Path) {
    ReleaseGlobal(entry);
    return false;
  }
  entry->Next = list;
  list = entry;
  return true;
}

void DeleteOrListFile(InstallContext& context, LPCWSTR path) {
  if (!path || !*path || DeleteFileW(path)) return;
  if (!AddPendingDelete(context.PendingDeletes, path)) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    LogError(context, ErrDeleteFile, W("Can`t delete %s"), path);
  }
}

void DeleteIfThere(InstallContext& context, LPCWSTR path) {
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  }
  DeleteOrListFile(context, path);
}

void DeleteFileTry(InstallContext& context) {
  Log(context, W("DeleteFile-try"));
  PendingDelete* kept = nullptr;  // the last entry that stays
  PendingDelete* entry = context.PendingDeletes;
  while (entry) {
    PendingDelete* next = entry->Next;
    // A file someone else removed meanwhile is as good as deleted.
    if (DeleteFileW(entry->Path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      if (kept) {
        kept->Next = next;
      } else {
        context.PendingDeletes = next;
      }
      ReleaseEntry(entry);
    } else {
      kept = entry;
    }
    entry = next;
  }
}

DWORD ScheduleRebootDeletes(InstallContext& context) {
  DWORD accepted = 0;
  for (const PendingDelete* entry = context.PendingDeletes; entry; entry = entry->Next) {
    if (MoveFileExW(entry->Path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      ++accepted;
    } else if (GetFileAttributesW(entry->Path) != INVALID_FILE_ATTRIBUTES) {
      LogError(context, ErrDeleteFile, W("Can`t delete %s"), entry->Path);
    }
  }
  // A path the system refused is dropped all the same: nothing more can be done for it.
  ReleasePendingDeletes(context.PendingDeletes);
  return accepted;
}

void WithdrawDeletion(InstallContext& context, LPCWSTR path) {
  // Only a file known to be absent has nothing to keep.
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    return;
  }
  if (!WithdrawPendingDeletion(path)) {
    LogError(context, ErrWithdrawDeletion, W("Can`t withdraw the pending deletion of %s"), path);
  }
}

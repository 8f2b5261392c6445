#include "files/deferred_delete.h"

#include "context/install_context.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "files/pending_renames.h"
#include "platform/unique.h"

bool AddPendingDelete(unique_list<PendingDelete>& list, LPCWSTR path) {
  if (!path || !*path) return true;
  for (const PendingDelete* entry = list.get(); entry; entry = entry->Next.get()) {
    // Unit for unit: paths that differ in letter case or form are different entries.
    if (SameText(entry->Path.get(), path)) return true;
  }
  unique_list<PendingDelete> entry = NewNode<PendingDelete>();
  if (!entry) return false;
  entry->Path.reset(DuplicateToGlobal(path));
  if (!entry->Path) return false;
  entry->Next = std::move(list);
  list = std::move(entry);
  return true;
}

void DeleteOrListFile(InstallContext& context, LPCWSTR path) {
  if (!path || !*path || DeleteFileW(path)) return;
  if (!AddPendingDelete(context.PendingDeletes, path)) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    LogError(context, ErrDeleteFile, path);
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
  unique_list<PendingDelete>* link = &context.PendingDeletes;
  while (PendingDelete* entry = link->get()) {
    // A file someone else removed meanwhile is as good as deleted.
    if (DeleteFileW(entry->Path.get()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      *link = std::move(entry->Next);
    } else {
      link = &entry->Next;
    }
  }
}

DWORD ScheduleRebootDeletes(InstallContext& context) {
  DWORD accepted = 0;
  for (const PendingDelete* entry = context.PendingDeletes.get(); entry;
       entry = entry->Next.get()) {
    LPCWSTR path = entry->Path.get();
    if (MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      ++accepted;
    } else if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
      LogError(context, ErrDeleteFile, path);
    }
  }
  // A path the system refused is dropped all the same: nothing more can be done for it.
  context.PendingDeletes.reset();
  return accepted;
}

void WithdrawDeletion(InstallContext& context, LPCWSTR path) {
  // Only a file known to be absent has nothing to keep.
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    return;
  }
  if (!WithdrawPendingDeletion(path)) {
    LogError(context, ErrWithdrawDeletion, path);
  }
}

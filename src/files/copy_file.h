// Copying one package file from beside the executable into a target directory.
#pragma once
#include "platform/unique.h"

struct InstallContext;

// Units of the buffers callers pass for the destination path.
constexpr size_t kPathBufferUnits = 264;

// Copies <ModuleDir>\fileName to <directory>\fileName, overwriting it. `destination` (null, or
// a buffer of `destinationUnits` units) receives the destination path before anything is
// opened; a destination path that does not fit it is refused, leaving the buffer empty. With
// reportErrors off, failures to open either file are not logged as errors. A read or write
// that fails part way always is. Returns S_OK or E_FAIL.
HRESULT CopyFile(InstallContext& context, LPCWSTR directory, LPCWSTR fileName, LPWSTR destination,
                 size_t destinationUnits, bool reportErrors);

// Opens a path for writing (CREATE_ALWAYS), retrying while it is held by someone else; none,
// with the last error, when it stays held.
unique_hfile CreateFileTry(InstallContext& context, LPCWSTR path);

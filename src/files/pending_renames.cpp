#include "files/pending_renames.h"

#include "context/names.h"
#include "context/paths.h"
#include "context/text_compare.h"
#include "platform/sized_query.h"

namespace {
// The list names files in the native form "\??\C:\..."; the file calls take the rest.
LPCWSTR FilePath(LPCWSTR s) {
  const bool prefixed = s[0] == W('\\') && s[1] == W('?') && s[2] == W('?') && s[3] == W('\\');
  return prefixed ? s + 4 : s;
}

bool IsExistingFile(LPCWSTR s) {
  const DWORD attributes = GetFileAttributesW(FilePath(s));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

bool PackageModulePending(const PendingRenameTable& table) {
  for (LONG k = 0; k < table.PairCount; ++k) {
    const LPCWSTR source = table.Strings[2 * k];
    if (table.Exists[2 * k] != 1 || !source) continue;
    for (LPCWSTR module : kPackageModules) {
      if (SameTextIgnoringCase(FileNamePart(FilePath(source)), module)) return true;
    }
  }
  return false;
}

PendingRenameTable ReadPendingRenames() {
  PendingRenameTable table;
  unique_hkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    return table;
  }
  unique_global<BYTE> data;
  DWORD size = 0;
  const bool ok = ReadRegValue(key.get(), kPendingRenamesValue, data, size) == ERROR_SUCCESS;
  key.reset();
  if (ok && data) ParsePendingRenames(data.get(), size, table);
  for (LONG i = 0; i < 2 * table.PairCount; ++i) {
    if (table.Strings[i]) table.Exists[i] = IsExistingFile(table.Strings[i]) ? 1 : 0;
  }
  return table;
}

void CleanPendingRenames(PendingRenameTable& table) {
  for (LONG k = 0; k < table.PairCount; ++k) {
    const LPCWSTR source = table.Strings[2 * k];
    const bool deletion = source && !table.Strings[2 * k + 1];
    if (table.Exists[2 * k] != 1 || !deletion) continue;
    // Only a whole path is deleted: any other name would be taken relative to whatever the
    // current directory is, and the system itself ignores it at its next start anyway.
    const LPCWSTR path = FilePath(source);
    if (!IsFullPath(path)) continue;
    // A file that cannot go now stays for the system to delete at its next start.
    if (DeleteFileW(path)) table.Exists[2 * k] = 0;
  }
}

bool WithdrawPendingDeletion(LPCWSTR path) {
  unique_hkey key;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  if (status != ERROR_SUCCESS) {
    SetLastError(DWORD(status));
    return false;
  }
  unique_global<WCHAR> data;
  DWORD size = 0;
  DWORD type = 0;
  status = ReadRegValue(key.get(), kPendingRenamesValue, data, size, &type);
  if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && size == 0)) return true;
  if (status == ERROR_SUCCESS) {
    // Pairs are copied over themselves, less the deletions of this path.
    LPWSTR text = data.get();
    const DWORD units = size / sizeof(WCHAR);
    DWORD read = 0;
    DWORD write = 0;
    bool changed = false;
    while (read < units && text[read]) {
      const DWORD source = read;
      while (read < units && text[read]) ++read;
      const DWORD target = ++read;
      while (read < units && text[read]) ++read;
      const DWORD pairEnd = ++read;
      if (target < units && text[target] == 0 &&
          SameTextIgnoringCase(FilePath(text + source), path)) {
        changed = true;
        continue;
      }
      for (DWORD i = source; i < pairEnd && i < units; ++i) text[write++] = text[i];
    }
    if (changed) {
      text[write++] = 0;
      status = RegSetValueExW(key.get(), kPendingRenamesValue, 0, type ? type : REG_MULTI_SZ,
                              reinterpret_cast<const BYTE*>(text), write * sizeof(WCHAR));
    }
  }
  SetLastError(DWORD(status));
  return status == ERROR_SUCCESS;
}

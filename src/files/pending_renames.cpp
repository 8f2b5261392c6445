#include "files/pending_renames.h"

#include "spooler/service_control.h"

namespace {
constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The package's 64-bit modules; the help file is never loaded by anyone, so it is not asked.
constexpr LPCWSTR kPackageModules[] = {W("kvxmon64.dll"), W("kvxdrv64.dll"), W("kvxui64.dll")};

// The list names files in the native form "\??\C:\..."; the file calls take the rest.
LPCWSTR FilePath(LPCWSTR s) {
  const bool prefixed = s[0] == W('\\') && s[1] == W('?') && s[2] == W('?') && s[3] == W('\\');
  return prefixed ? s + 4 : s;
}

LPCWSTR FileNamePart(LPCWSTR s) {
  LPCWSTR name = FilePath(s);
  for (LPCWSTR p = name; *p; ++p) {
    if (*p == W('\\') || *p == W('/') || *p == W(':')) name = p + 1;
  }
  return name;
}

WCHAR FoldAscii(WCHAR c) {
  return (c >= W('A') && c <= W('Z')) ? WCHAR(c - W('A') + W('a')) : c;
}

bool SameNameIgnoringCase(LPCWSTR a, LPCWSTR b) {
  for (; FoldAscii(*a) == FoldAscii(*b); ++a, ++b) {
    if (*a == 0) return true;
  }
  return false;
}

bool IsExistingFile(LPCWSTR s) {
  const DWORD attributes = GetFileAttributesW(FilePath(s));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Any operation counts, a rename as much as a deletion: either way the module is replaced or
// removed only at the next start.
bool PackageModulePending(const PendingRenameTable& table) {
  for (LONG k = 0; k < table.PairCount; ++k) {
    const LPCWSTR source = table.Strings[2 * k];
    if (table.Exists[2 * k] != 1 || !source) continue;
    for (LPCWSTR module : kPackageModules) {
      if (SameNameIgnoringCase(FileNamePart(source), module)) return true;
    }
  }
  return false;
}
}  // namespace

PendingRenameTable ReadPendingRenames() {
  PendingRenameTable table;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return table;
  }
  DWORD size = 0;
  if (RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0) {
    RegCloseKey(key);
    return table;
  }
  auto* data = static_cast<BYTE*>(GlobalAlloc(GPTR, size));
  DWORD read = size;
  const bool ok = data && RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, nullptr,
                                           data, &read) == ERROR_SUCCESS;
  RegCloseKey(key);
  // Only the bytes the second read delivered: a list that shrank in between must not gain
  // empty targets from the zero-filled rest, which would turn renames into deletions.
  if (ok) ParsePendingRenames(data, read < size ? read : size, table);
  GlobalFree(data);
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
    // A file that cannot go now stays for the system to delete at its next start.
    if (DeleteFileW(FilePath(source))) table.Exists[2 * k] = 0;
  }
}

bool WithdrawPendingDeletion(LPCWSTR path) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    SetLastError(DWORD(status));
    return false;
  }
  DWORD size = 0;
  status =
      RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, nullptr, nullptr, &size);
  auto* data =
      status == ERROR_SUCCESS && size ? static_cast<LPWSTR>(GlobalAlloc(GPTR, size + 4)) : nullptr;
  DWORD type = 0;
  if (data) {
    status = RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, &type,
                              reinterpret_cast<LPBYTE>(data), &size);
  } else if (status == ERROR_SUCCESS && size) {
    status = ERROR_NOT_ENOUGH_MEMORY;
  }
  bool done = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  if (data && status == ERROR_SUCCESS) {
    // Pairs are copied over themselves, less the deletions of this path.
    const DWORD units = size / sizeof(WCHAR);
    DWORD read = 0;
    DWORD write = 0;
    bool changed = false;
    while (read < units && data[read]) {
      const DWORD source = read;
      while (read < units && data[read]) ++read;
      const DWORD target = ++read;
      while (read < units && data[read]) ++read;
      const DWORD pairEnd = ++read;
      if (target < units && data[target] == 0 &&
          SameNameIgnoringCase(FilePath(data + source), path)) {
        changed = true;
        continue;
      }
      for (DWORD i = source; i < pairEnd && i < units; ++i) data[write++] = data[i];
    }
    if (changed) {
      data[write++] = 0;
      status = RegSetValueExW(key, W("PendingFileRenameOperations"), 0, type ? type : REG_MULTI_SZ,
                              reinterpret_cast<const BYTE*>(data), write * sizeof(WCHAR));
      done = status == ERROR_SUCCESS;
    }
  }
  GlobalFree(data);
  RegCloseKey(key);
  if (!done) SetLastError(DWORD(status));
  return done;
}

bool CheckPendingModules() {
  for (int pass = 0; pass < 2; ++pass) {
    PendingRenameTable table = ReadPendingRenames();
    CleanPendingRenames(table);
    const bool pending = PackageModulePending(table);
    ReleasePendingRenames(table);
    if (!pending) return false;
    // The spooler may hold the module loaded; stopping it lets the next clean-up delete it.
    SpoolerRestart restart(nullptr);
  }
  return true;
}

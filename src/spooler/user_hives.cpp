#include "spooler/user_hives.h"

#include <cstring>

#include "context/names.h"
#include "platform/unique.h"

namespace {
// A SID as a key name is well under this; a longer name is no user's hive.
constexpr DWORD kHiveNameUnits = 256;
constexpr char kClassesSuffix[] = "_Classes";

// A user's classes hive sits beside the user's own under "<SID>_Classes": it holds no settings.
bool IsClassesHive(const char* name, size_t length) {
  const size_t suffix = sizeof(kClassesSuffix) - 1;
  return length >= suffix && std::strcmp(name + length - suffix, kClassesSuffix) == 0;
}
}  // namespace

LSTATUS ClearDeletedMarkOfUsers(LPCSTR path, LSTATUS status) {
  bool found = false;
  LSTATUS failure = ERROR_SUCCESS;
  const size_t pathLength = std::strlen(path);
  const unique_global<CHAR> full(
      static_cast<LPSTR>(GlobalAlloc(GPTR, kHiveNameUnits + 1 + pathLength + 1)));
  if (!full) return ERROR_NOT_ENOUGH_MEMORY;
  for (DWORD index = 0;; ++index) {
    DWORD length = kHiveNameUnits;
    const LSTATUS listed =
        RegEnumKeyExA(HKEY_USERS, index, full.get(), &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed != ERROR_SUCCESS) {
      if (listed != ERROR_MORE_DATA && failure == ERROR_SUCCESS) failure = listed;
      if (listed != ERROR_MORE_DATA) break;
      continue;
    }
    if (IsClassesHive(full.get(), length)) continue;
    full.get()[length] = '\\';
    std::memcpy(full.get() + length + 1, path, pathLength + 1);
    unique_hkey key;
    LSTATUS cleared = RegOpenKeyExA(HKEY_USERS, full.get(), 0, KEY_SET_VALUE, key.put());
    if (cleared == ERROR_FILE_NOT_FOUND) continue;  // no settings of the package there
    found = true;
    if (cleared == ERROR_SUCCESS) cleared = RegDeleteValueA(key.get(), kDeletedMarkValue);
    if (cleared != ERROR_SUCCESS && cleared != ERROR_FILE_NOT_FOUND && failure == ERROR_SUCCESS) {
      failure = cleared;
    }
  }
  if (failure != ERROR_SUCCESS) return failure;
  return found ? ERROR_SUCCESS : status;
}

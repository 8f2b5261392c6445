// The per-user settings of the package's queues in the hives of the users who are logged on,
// for a run as the local system account, whose own HKEY_CURRENT_USER is no user's.
#pragma once
#include "platform/win32.h"

// Deletes the "deleted" mark of the settings key `path` (under each user's hive) in every
// user hive loaded under HKEY_USERS. Hives of users who are not logged on are not loaded and
// stay out of reach. Returns `status` (the caller's own hive's answer) unless a user's key was
// found: then ERROR_SUCCESS, or the first failure to clear one.
LSTATUS ClearDeletedMarkOfUsers(LPCSTR path, LSTATUS status);

// The system's list of file operations to run at its next start ("PendingFileRenameOperations"):
// reading it, carrying out now the deletions whose files still exist, and telling whether one
// of the package's modules is still waiting for the next start.
#pragma once
#include "platform/win32.h"

// A parsed copy of the list. For pair k, Strings[2k] is the source and Strings[2k+1] the
// target; an empty string has no entry (null). Every string, and both arrays, come from the
// global heap and belong to the table.
struct PendingRenameTable {
  LPWSTR* Strings = nullptr;
  // One flag per string: 1 when it names an existing file that is not a directory.
  DWORD* Exists = nullptr;
  LONG PairCount = 0;

  PendingRenameTable() = default;
  PendingRenameTable(PendingRenameTable&& other) noexcept;
  PendingRenameTable& operator=(PendingRenameTable&& other) noexcept;
  ~PendingRenameTable();
};

// Splits the bytes of the value (UTF-16 strings, each ending in a NUL, the list closed by one
// more NUL) into complete (source, target) pairs; an odd last string is dropped. Reads no byte
// at or past `size`, whatever the bytes hold. Leaves every flag 0. On a failed allocation the
// table stays empty.
void ParsePendingRenames(const BYTE* data, DWORD size, PendingRenameTable& table);

// Frees every string and both arrays; the table is empty afterwards.
void ReleasePendingRenames(PendingRenameTable& table);

// Reads the list afresh and sets the flags. Anything unreadable gives an empty table.
PendingRenameTable ReadPendingRenames();

// Deletes the source of every pending deletion (no target) whose file exists, clearing its
// flag on success. The list itself is left as it is.
void CleanPendingRenames(PendingRenameTable& table);

// Whether some pair's source is still there and is one of the package's modules (file name
// compared ignoring ASCII case): a rename counts as much as a deletion.
bool PackageModulePending(const PendingRenameTable& table);

// Takes every pending deletion of `path` (letter case aside) out of the system's list, so
// that a file put in place is not deleted at the next start. False, with the last error set,
// when the list could not be read or written.
bool WithdrawPendingDeletion(LPCWSTR path);

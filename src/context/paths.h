// File paths as the file calls take them.
#pragma once
#include "context/wide_text.h"
#include "platform/win32.h"

inline bool IsPathSeparator(WCHAR c) {
  return c == W('\\') || c == W('/') || c == W(':');
}

// What follows the last backslash, slash or drive colon: the whole text when there is none.
inline LPCWSTR FileNamePart(LPCWSTR path) {
  LPCWSTR name = path;
  for (LPCWSTR c = path; *c; ++c) {
    if (IsPathSeparator(*c)) name = c + 1;
  }
  return name;
}

// "X:\..." or "\\server\...": a path that names the same file whatever the current directory
// is. Any other would be resolved against it, and an empty one against the program's own.
inline bool IsFullPath(LPCWSTR path) {
  if (!path || !path[0]) return false;
  if (path[0] == W('\\') && path[1] == W('\\')) return true;
  return path[1] == W(':') && path[2] == W('\\');
}

// directory + "\" + name: no separator is added after an empty directory or after one that
// ends in a backslash (a forward slash does not count). A missing name joins as an empty one.
inline WideText JoinPath(LPCWSTR directory, LPCWSTR name) {
  WideText path;
  Assign(path, directory);
  const ULONGLONG n = Count(path);
  if (n != 0 && Chars(path)[n - 1] != W('\\')) Append(path, W("\\"));
  Append(path, name);
  return path;
}

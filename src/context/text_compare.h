// Comparing names: spooler objects exactly, unit for unit; file names and command words as
// Windows and the runtime do, ASCII letters folded and nothing else.
#pragma once
#include "platform/win32.h"

// Whole strings, case-sensitive; a missing string equals nothing.
inline bool SameText(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return false;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

inline WCHAR FoldAscii(WCHAR c) {
  return (c >= W('A') && c <= W('Z')) ? WCHAR(c - W('A') + W('a')) : c;
}

// Whole strings, A-Z and a-z alike; a missing string equals nothing.
inline bool SameTextIgnoringCase(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return false;
  while (*a && FoldAscii(*a) == FoldAscii(*b)) ++a, ++b;
  return FoldAscii(*a) == FoldAscii(*b);
}

// Whether `text` begins with the whole of `prefix` (case-sensitive).
inline bool StartsWith(LPCWSTR text, LPCWSTR prefix) {
  while (*prefix && *text == *prefix) ++text, ++prefix;
  return !*prefix;
}

// The first occurrence of the whole of `what` (case-sensitive) in `text`, or null.
inline LPWSTR FindText(LPWSTR text, LPCWSTR what) {
  if (!text || !what) return nullptr;
  for (LPWSTR at = text; *at; ++at) {
    size_t i = 0;
    while (what[i] && at[i] == what[i]) ++i;
    if (!what[i]) return at;
  }
  return nullptr;
}

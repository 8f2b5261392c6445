// WideText: the one text type of the installer. A single pointer to a runtime-heap block
// laid out as [64-bit count][count UTF-16 units][0][spare], or no block at all for the empty
// text. Capacity grows in steps of 32 characters so that appending to the log is cheap.
#pragma once
#include "platform/win32.h"

struct WideText {
  BYTE* Block = nullptr;

  WideText() = default;
  WideText(WideText&& other) noexcept : Block(other.Block) { other.Block = nullptr; }
  WideText& operator=(WideText&& other) noexcept;
  // Copies never share blocks: duplicating is explicit, through Copy.
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;
  ~WideText();
};

// Bytes of the block that holds a text of `count` characters (0 for the empty text).
SIZE_T WideTextBlockBytes(ULONGLONG count);

// Read access; the empty text gives 0 and an empty string.
ULONGLONG Count(const WideText& text);
LPCWSTR Chars(const WideText& text);
// Writable characters, for callers that fill what Resize made room for; null when empty.
LPWSTR Data(WideText& text);

// Sets the count to n, keeping the first min(old, n) characters; the new tail is undefined
// until the caller writes it. False only when the heap could not provide the block, in
// which case the text is unchanged.
bool Resize(WideText& text, ULONGLONG n);

WideText& Assign(WideText& text, LPCWSTR s);
WideText& Assign(WideText& text, const WideText& source);
WideText& Append(WideText& text, LPCWSTR s);
WideText& Append(WideText& text, const WideText& source);

// Converts through the system ANSI code page.
WideText AssignAnsi(LPCSTR s);
// Duplicates the whole block, spare space included.
WideText Copy(const WideText& text);
// The text before its last backslash or, when there is none, before its last slash.
WideText ParentDirectory(const WideText& text);

// A zero-filled global-heap copy of s with its terminator, or null for a missing or empty
// string or a failed allocation. The caller owns it (unique_global).
LPWSTR DuplicateToGlobal(LPCWSTR s);
// A terminated global-heap copy of the first `units` of s (an empty one for none), or null
// when the heap refuses. The caller owns it (unique_global).
LPWSTR GlobalText(LPCWSTR s, size_t units);
// The same of the whole of s; a missing s gives an empty copy.
LPWSTR GlobalText(LPCWSTR s);

// A small wide-text formatter for the log and the dialog title: "%d" (signed 32-bit),
// "%x" (32-bit, lower-case hexadecimal), "%s" (wide string) and "%%". It writes only within
// the buffer it is given and always terminates it, so a long line is cut, never overrun.
// The C library's wide printf is not used: its wide type is 32 bits outside Windows.
#pragma once
#include <concepts>
#include <cstddef>

#include "platform/win32.h"

struct FormatArg {
  enum Kind : BYTE { Number, Text };
  Kind Type = Number;
  DWORD Value = 0;
  LPCWSTR String = nullptr;

  // Integers are taken as 32 bits, as the runtime's "%d" and "%x" read them.
  template <std::integral T>
  FormatArg(T value) : Type(Number), Value(DWORD(value)) {}
  FormatArg(LPCWSTR value) : Type(Text), String(value) {}
  FormatArg(std::nullptr_t) : Type(Text) {}
};

// Formats into buffer[0..capacity) and returns the number of characters written before the
// terminator. A directive without a matching argument writes nothing; an unknown directive
// is copied as it stands.
size_t FormatTextArgs(LPWSTR buffer, size_t capacity, LPCWSTR format, const FormatArg* args,
                      size_t count);

template <class... Args>
size_t FormatText(LPWSTR buffer, size_t capacity, LPCWSTR format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
  return FormatTextArgs(buffer, capacity, format, list, sizeof...(Args));
}

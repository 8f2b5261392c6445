#include "context/format.h"

namespace {
// Writes within the buffer, keeping the last unit for the terminator.
struct Writer {
  LPWSTR Buffer;
  size_t Capacity;
  size_t Length = 0;

  void Put(WCHAR c) {
    if (Length + 1 < Capacity) Buffer[Length++] = c;
  }
  void Put(LPCWSTR s) {
    if (!s) s = W("(null)");
    while (*s && Length + 1 < Capacity) Buffer[Length++] = *s++;
  }
  void Digits(DWORD value, DWORD base) {
    WCHAR digits[12];
    int n = 0;
    do {
      const DWORD d = value % base;
      digits[n++] = WCHAR(d < 10 ? W('0') + d : W('a') + d - 10);
      value /= base;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
  }
  void Decimal(DWORD value) {
    if (value & 0x80000000u) {
      Put(W('-'));
      value = ~value + 1;  // magnitude of the negative 32-bit value, also for INT_MIN
    }
    Digits(value, 10);
  }
};
}  // namespace

size_t FormatTextArgs(LPWSTR buffer, size_t capacity, LPCWSTR format, const FormatArg* args,
                      size_t count) {
  if (!buffer || capacity == 0) return 0;
  Writer out{buffer, capacity};
  size_t next = 0;
  for (LPCWSTR p = format ? format : W(""); *p; ++p) {
    if (*p != W('%')) {
      out.Put(*p);
      continue;
    }
    const WCHAR directive = p[1];
    if (directive == W('%')) {
      out.Put(W('%'));
      ++p;
      continue;
    }
    if (directive != W('d') && directive != W('x') && directive != W('s')) {
      out.Put(W('%'));  // copied as it stands; a trailing '%' as well
      continue;
    }
    ++p;
    if (next >= count) continue;
    const FormatArg& arg = args[next++];
    if (arg.Type == FormatArg::Text) {
      out.Put(arg.String);
    } else if (directive == W('x')) {
      out.Digits(arg.Value, 16);
    } else {
      out.Decimal(arg.Value);
    }
  }
  buffer[out.Length] = 0;
  return out.Length;
}

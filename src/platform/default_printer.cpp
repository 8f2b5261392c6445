#include "platform/default_printer.h"

#include "platform/dll_search.h"

#ifdef _WIN32
namespace {
using GetDefaultFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);
using SetDefaultFn = BOOL(WINAPI*)(LPCWSTR);

// Resolved once; only from the system directory, never from beside the executable.
FARPROC SpoolerOrdinal(WORD ordinal) {
  static HMODULE module = nullptr;
  if (!module) module = LoadSystemLibrary(L"winspool.drv");
  if (!module) return nullptr;
  return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

template <class Fn>
Fn Resolve(WORD ordinal) {
  // Through the generic function type, which converts to any other without complaint.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(SpoolerOrdinal(ordinal)));
}
}  // namespace

BOOL SpoolerGetDefaultPrinter(LPWSTR buffer, LPDWORD size) {
  static GetDefaultFn query = Resolve<GetDefaultFn>(203);
  return query ? query(buffer, size) : FALSE;
}

BOOL SpoolerSetDefaultPrinter(LPCWSTR name) {
  static SetDefaultFn call = Resolve<SetDefaultFn>(204);
  return call ? call(name) : FALSE;
}
#else
BOOL SpoolerGetDefaultPrinter(LPWSTR buffer, LPDWORD size) {
  return GetDefaultPrinterW(buffer, size);
}

BOOL SpoolerSetDefaultPrinter(LPCWSTR name) {
  return SetDefaultPrinterW(name);
}
#endif

#include "platform/dll_search.h"

#ifdef _WIN32
#include <delayimp.h>

namespace {
// The runtime's delay-load helper asks here before it loads a delay-loaded DLL. The DLL is
// taken from the system directory by its full path: a module of the same name that is already
// loaded from elsewhere, or one planted beside the program, is never used instead.
FARPROC WINAPI LoadFromSystemDirectory(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  path[length++] = W('\\');
  for (const char* c = info->szDll; *c; ++c) {
    if (length + 1 >= MAX_PATH) return nullptr;
    path[length++] = WCHAR(static_cast<unsigned char>(*c));
  }
  path[length] = 0;
  return reinterpret_cast<FARPROC>(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}
}  // namespace

// Declared with C linkage by <delayimp.h>.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemDirectory;

HMODULE LoadSystemLibrary(LPCWSTR name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module) return module;
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  path[length++] = W('\\');
  for (LPCWSTR c = name; *c; ++c) {
    if (length + 1 >= MAX_PATH) return nullptr;
    path[length++] = *c;
  }
  path[length] = 0;
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
#endif

bool RestrictDllSearch() {
#ifdef _WIN32
  // Looked up at run time: a Windows 7 without the update that added it must still start.
  // kernel32 is a known DLL, always the system's own copy.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(W("kernel32.dll"));
  auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                 GetProcAddress(kernel, "SetDefaultDllDirectories")))
                           : nullptr;
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  SetDllDirectoryW(W(""));
  return false;
#else
  // The simulated machine loads no DLLs.
  return true;
#endif
}

#include "context/install_context.h"

#include <cstring>

#include "context/run_log.h"
#include "spooler/service_control.h"

HINSTANCE ProcessInstance = nullptr;

namespace {
constexpr DWORD kPathUnits = MAX_PATH;
// Longest path the system hands out.
constexpr DWORD kLongestPath = 32768;

void AppendBackslash(WideText& text) {
  const ULONGLONG n = Count(text);
  if (n != 0 && Chars(text)[n - 1] != W('\\')) Append(text, W("\\"));
}

void ObtainDriverDirectory(InstallContext& context) {
  DWORD needed = 0;
  LPWSTR environment = const_cast<LPWSTR>(context.Environment);
  if (GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed)) return;
  bool ok = false;
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // Two bytes more than asked for: room for a trailing backslash's worth of terminator.
    const SIZE_T bytes = SIZE_T(needed) + 2;
    auto* buffer = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, bytes));
    if (!buffer) {
      SetLastError(DWORD(E_OUTOFMEMORY));
    } else {
      std::memset(buffer, 0, bytes);
      if (GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer, needed, &needed)) {
        // Terminated whatever the spooler wrote into its part of the block.
        reinterpret_cast<LPWSTR>(buffer)[bytes / sizeof(WCHAR) - 1] = 0;
        Assign(context.DriverDir, reinterpret_cast<LPCWSTR>(buffer));
        AppendBackslash(context.DriverDir);
        ok = true;
      }
      const DWORD error = GetLastError();
      GlobalFree(buffer);
      SetLastError(error);
    }
  }
  if (!ok) LogError(context, ErrDriverDirectory, W("Can`t retrieve printer driver directory."));
}

// The directory of the running executable, separator kept. A path longer than the first
// buffer is asked for again with more room rather than cut, so files are never looked for
// in the wrong directory; a failed query leaves the text empty.
void ObtainModuleDirectory(InstallContext& context) {
  WCHAR small[kPathUnits];
  LPWSTR path = small;
  LPWSTR large = nullptr;
  DWORD units = kPathUnits;
  DWORD length = GetModuleFileNameW(ProcessInstance, path, units);
  while (length >= units && units < kLongestPath) {
    GlobalFree(large);
    units *= 4;
    if (units > kLongestPath) units = kLongestPath;
    large = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, SIZE_T(units) * sizeof(WCHAR)));
    if (!large) {
      length = 0;
      break;
    }
    path = large;
    length = GetModuleFileNameW(ProcessInstance, path, units);
  }
  if (length > 0 && length < units) {
    path[length] = 0;
    DWORD cut = 0;
    for (DWORD i = 0; i < length; ++i) {
      if (path[i] == W('\\') || path[i] == W('/') || path[i] == W(':')) cut = i + 1;
    }
    path[cut] = 0;
    Assign(context.ModuleDir, path);
  }
  // Without it no package file can be found, and none may be looked for in a relative place.
  if (Count(context.ModuleDir) == 0) {
    LogError(context, ErrModuleDirectory, W("Can`t retrieve the installer's directory."));
  }
  GlobalFree(large);
}

// The system directory with a trailing backslash. A result that does not fit the buffer is
// asked for again with the size the system named.
void ObtainSystemDirectory(InstallContext& context) {
  WCHAR small[kPathUnits];
  LPWSTR path = small;
  LPWSTR large = nullptr;
  UINT length = GetSystemDirectoryW(path, kPathUnits);
  if (length >= kPathUnits) {
    const UINT units = length + 1;
    large = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, SIZE_T(units) * sizeof(WCHAR)));
    path = large;
    length = large ? GetSystemDirectoryW(path, units) : 0;
    if (length >= units) length = 0;
  }
  if (length == 0) {
    LogError(context, ErrSystemDirectory, W("Can`t retrieve system directory."));
  } else {
    path[length] = 0;
    Assign(context.SystemDir, path);
    AppendBackslash(context.SystemDir);
  }
  GlobalFree(large);
}
}  // namespace

InstallContext::~InstallContext() {
  TearDownInstallContext(*this);
}

void BuildInstallContext(InstallContext& context) {
  Log(context, W("Orvalstone %d"), kBuildNumber);
  context.CheckMonitorVersion = 0;
  context.InstallMonitor = 1;
  context.CopyMonitor = 1;
  CheckSpooler(context);
  context.Environment = W("Windows x64");
  context.MonitorFile = W("kvxmon64.dll");
  context.DriverFile = W("kvxdrv64.dll");
  context.UiFile = W("kvxui64.dll");
  ObtainDriverDirectory(context);
  context.HelpFile = W("kvxhelp.chm");
  context.RedirectedPrinters = nullptr;
  ObtainModuleDirectory(context);
  ObtainSystemDirectory(context);
  TakePrinterSnapshot(context);
}

void ReleasePendingDeletes(PendingDelete*& head) {
  while (head) {
    PendingDelete* next = head->Next;
    GlobalFree(head->Path);
    GlobalFree(head);
    head = next;
  }
}

void ReleaseSavedPrinters(SavedPrinter*& head) {
  while (head) {
    SavedPrinter* next = head->Next;
    GlobalFree(head->Name);
    GlobalFree(head->SubKey);
    GlobalFree(head->Comment);
    GlobalFree(head->Location);
    GlobalFree(head);
    head = next;
  }
}

void TearDownInstallContext(InstallContext& context) {
  GlobalFree(context.RedirectedPrinters);
  context.RedirectedPrinters = nullptr;
  ReleasePrinterList(context.PrinterSnapshot);
  ReleaseSavedPrinters(context.SavedPrinters);
  ReleasePendingDeletes(context.PendingDeletes);
  Assign(context.DriverDir, nullptr);
  Assign(context.LogText, nullptr);
  Assign(context.SystemDir, nullptr);
  Assign(context.ModuleDir, nullptr);
}

#include "context/install_context.h"

#include <cstring>

#include "context/names.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "platform/sized_query.h"

HINSTANCE ProcessInstance = nullptr;

namespace {
constexpr DWORD kPathUnits = MAX_PATH;
// Longest path the system hands out.
constexpr DWORD kLongestPath = 32768;

void ObtainDriverDirectory(InstallContext& context) {
  LPWSTR environment = const_cast<LPWSTR>(context.Environment);
  DWORD bytes = 0;
  unique_global<BYTE> block;
  // Two bytes more than asked for: room for a terminator whatever the spooler wrote.
  const SizedQuery answer = QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        bytes = size;
        return GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer, size, needed);
      },
      block, 2);
  // No directory at all is as unusable as one that could not be read.
  if (answer == SizedQuery::Empty) SetLastError(ERROR_PATH_NOT_FOUND);
  if (answer != SizedQuery::Filled) {
    LogError(context, ErrDriverDirectory);
    return;
  }
  auto* path = reinterpret_cast<LPWSTR>(block.get());
  path[(SIZE_T(bytes) + 2) / sizeof(WCHAR) - 1] = 0;
  context.DriverDir = JoinPath(path, W(""));
}

}  // namespace

// The directory of the running executable, separator kept. A path longer than the first
// buffer is asked for again with more room rather than cut, so files are never looked for
// in the wrong directory; a failed query leaves the text empty.
void ObtainModuleDirectory(InstallContext& context) {
  WCHAR small[kPathUnits];
  LPWSTR path = small;
  unique_global<WCHAR> large;
  DWORD units = kPathUnits;
  DWORD length = GetModuleFileNameW(ProcessInstance, path, units);
  while (length >= units && units < kLongestPath) {
    units *= 4;
    if (units > kLongestPath) units = kLongestPath;
    large.reset(static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, SIZE_T(units) * sizeof(WCHAR))));
    if (!large) {
      length = 0;
      break;
    }
    path = large.get();
    length = GetModuleFileNameW(ProcessInstance, path, units);
  }
  if (length > 0 && length < units) {
    path[length] = 0;
    path[FileNamePart(path) - path] = 0;
    Assign(context.ModuleDir, path);
  } else {
    context.ModuleDirError = length == 0 ? GetLastError() : DWORD(ERROR_FILENAME_EXCED_RANGE);
  }
}

namespace {
// The system directory with a trailing backslash. A result that does not fit the buffer is
// asked for again with the size the system named.
void ObtainSystemDirectory(InstallContext& context) {
  WCHAR small[kPathUnits];
  LPWSTR path = small;
  unique_global<WCHAR> large;
  UINT length = GetSystemDirectoryW(path, kPathUnits);
  if (length >= kPathUnits) {
    const UINT units = length + 1;
    large.reset(static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, SIZE_T(units) * sizeof(WCHAR))));
    path = large.get();
    length = large ? GetSystemDirectoryW(path, units) : 0;
    if (length >= units) length = 0;
  }
  if (length == 0) {
    LogError(context, ErrSystemDirectory);
  } else {
    path[length] = 0;
    context.SystemDir = JoinPath(path, W(""));
  }
}
}  // namespace

void ObtainDirectories(InstallContext& context) {
  context.Environment = kEnvironment;
  context.MonitorFile = kMonitorModuleName;
  context.DriverFile = kDriverModuleName;
  context.UiFile = kUiModuleName;
  context.HelpFile = kHelpFileName;
  ObtainDriverDirectory(context);
  ObtainModuleDirectory(context);
  ObtainSystemDirectory(context);
}

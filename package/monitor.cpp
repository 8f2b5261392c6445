// Stand-in port monitor "Orvalstone:": the spooler accepts it and lists its one port. Output
// sent to the port is accepted and dropped.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

namespace {

constexpr WCHAR kPortName[] = L"Orvalstone:";
constexpr WCHAR kMonitorName[] = L"Orvalstone:";
constexpr WCHAR kDescription[] = L"Orvalstone virtual printer port";

// Copies a string to the end of the free area of the caller's buffer and returns where it went.
LPWSTR PutString(LPBYTE& end, const WCHAR* text, DWORD chars) {
  end -= chars * sizeof(WCHAR);
  CopyMemory(end, text, chars * sizeof(WCHAR));
  return reinterpret_cast<LPWSTR>(end);
}

BOOL WINAPI PortEnumPorts(HANDLE, LPWSTR, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  if (!needed || !returned || (level != 1 && level != 2)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD portChars = ARRAYSIZE(kPortName);
  DWORD total = 0;
  if (level == 1) {
    total = sizeof(PORT_INFO_1W) + portChars * sizeof(WCHAR);
  } else {
    total = sizeof(PORT_INFO_2W) +
            (portChars + ARRAYSIZE(kMonitorName) + ARRAYSIZE(kDescription)) * sizeof(WCHAR);
  }
  *needed = total;
  *returned = 0;
  if (!ports || size < total) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  LPBYTE end = ports + total;
  if (level == 1) {
    auto* info = reinterpret_cast<PORT_INFO_1W*>(ports);
    info->pName = PutString(end, kPortName, portChars);
  } else {
    auto* info = reinterpret_cast<PORT_INFO_2W*>(ports);
    info->pPortName = PutString(end, kPortName, portChars);
    info->pMonitorName = PutString(end, kMonitorName, ARRAYSIZE(kMonitorName));
    info->pDescription = PutString(end, kDescription, ARRAYSIZE(kDescription));
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

// Port handles carry nothing; any non-null value will do.
BOOL WINAPI PortOpenPort(HANDLE, LPWSTR, PHANDLE handle) {
  if (!handle) return FALSE;
  *handle = reinterpret_cast<HANDLE>(1);
  return TRUE;
}
BOOL WINAPI PortStartDocPort(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE) {
  return TRUE;
}
BOOL WINAPI PortWritePort(HANDLE, LPBYTE, DWORD size, LPDWORD written) {
  if (written) *written = size;
  return TRUE;
}
BOOL WINAPI PortEndDocPort(HANDLE) {
  return TRUE;
}
BOOL WINAPI PortClosePort(HANDLE) {
  return TRUE;
}
VOID WINAPI PortShutdown(HANDLE) {}

MONITOR2 Monitor = {};

}  // namespace

extern "C" __declspec(dllexport) LPMONITOR2 WINAPI
    InitializePrintMonitor2(PMONITORINIT, PHANDLE monitor) {
  Monitor.cbSize = sizeof(Monitor);
  Monitor.pfnEnumPorts = PortEnumPorts;
  Monitor.pfnOpenPort = PortOpenPort;
  Monitor.pfnStartDocPort = PortStartDocPort;
  Monitor.pfnWritePort = PortWritePort;
  Monitor.pfnEndDocPort = PortEndDocPort;
  Monitor.pfnClosePort = PortClosePort;
  Monitor.pfnShutdown = PortShutdown;
  if (monitor) *monitor = reinterpret_cast<HANDLE>(&Monitor);
  return &Monitor;
}

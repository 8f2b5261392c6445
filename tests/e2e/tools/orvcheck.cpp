// The e2e checker: runs inside a test prefix and reports, one "key: value" line each, what the
// installer left behind, or sets up what a case needs (windows of other programs, a launcher
// that reports the full exit code).
//
//   orvcheck state                  the spooler service, monitors, ports, drivers, printers with
//                                   their "SubKey" printer data, the default printer, the Run
//                                   entry, the pending renames and whether the tray program runs
//   orvcheck run MS LINE            runs the command line LINE as it is (an uninstaller's "_?=DIR"
//                                   takes the rest of the line unquoted), prints "exit: 0x%08X"
//                                   or "exit: timeout"
//   orvcheck runhidden MS LINE      the same on a window station of its own, which no one sees
//                                   (as a deployment agent's service runs a setup)
//   orvcheck window TITLE           shows a top-level window until it is closed; prints its
//                                   handle first ("helpviewer" as TITLE: the package's help
//                                   viewer, class "HH Parent", title "Orvalstone Help")
//   orvcheck find CLASS TITLE       the handle of a matching top-level window, or "none"
//                                   ("-" for any class or title)
//   orvcheck addprinter NAME SUBKEY COMMENT LOCATION default|plain
//                                   a package queue as an earlier version left it: on the
//                                   package's port and driver, with its "SubKey" printer data
//                                   (plain and under "DsUser"), optionally the default printer
//   orvcheck hold PATH              opens PATH without sharing and keeps it open until ended;
//                                   prints "held: yes" first (or "held: error N")
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "output.h"

namespace {

std::string Text(const wchar_t* text) {
  return text ? "\"" + Utf8(text) + "\"" : "null";
}

// The spooler's two-call pattern (CALL with ARGS, then the buffer's four): size first, then the
// records, handed to PRINT one by one.
template <typename Info, typename Each, typename Call, typename... Args>
void Enumerate(Each print, Call call, Args... args) {
  DWORD needed = 0, count = 0;
  call(args..., nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!call(args..., buffer.data(), needed, &needed, &count)) count = 0;
  for (DWORD i = 0; i < count; ++i) print(reinterpret_cast<const Info*>(buffer.data())[i]);
}

// The "SubKey" value of the printer data KEY ("PrinterDriverData" is GetPrinterData's own).
std::string SubKey(HANDLE printer, const char* key) {
  char value[256] = {};
  DWORD type = 0, needed = 0;
  DWORD error = GetPrinterDataExA(printer, key, "SubKey", &type, reinterpret_cast<BYTE*>(value),
                                  sizeof(value) - 1, &needed);
  if (error != ERROR_SUCCESS) return "error " + std::to_string(error);
  return "\"" + std::string(value) + "\" type=" + std::to_string(type);
}

// A registry value as text; the strings of a multi-string joined by "|".
std::string RegText(const wchar_t* key, const wchar_t* name) {
  wchar_t data[4096] = {};
  DWORD size = sizeof(data) - 4;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ, nullptr,
                   data, &size) != ERROR_SUCCESS) {
    return "none";
  }
  for (DWORD i = 0; i + 2 < size / sizeof(wchar_t); ++i) data[i] = data[i] ? data[i] : L'|';
  return Text(data);
}

int State() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status = {};
  Print("spooler-state: " + (service && QueryServiceStatus(service, &status)
                                 ? std::to_string(status.dwCurrentState)
                                 : "error " + std::to_string(GetLastError())));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  Enumerate<MONITOR_INFO_2W>(
      [](const MONITOR_INFO_2W& m) {
        Print("monitor: " + Text(m.pName) + " dll=" + Text(m.pDLLName) +
              " environment=" + Text(m.pEnvironment));
      },
      EnumMonitorsW, nullptr, 2);
  Enumerate<PORT_INFO_2W>(
      [](const PORT_INFO_2W& p) {
        Print("port: " + Text(p.pPortName) + " monitor=" + Text(p.pMonitorName));
      },
      EnumPortsW, nullptr, 2);
  Enumerate<DRIVER_INFO_6W>(
      [](const DRIVER_INFO_6W& d) {
        Print("driver: " + Text(d.pName) + " version=" + std::to_string(d.cVersion) +
              " environment=" + Text(d.pEnvironment) + " path=" + Text(d.pDriverPath) + " data=" +
              Text(d.pDataFile) + " config=" + Text(d.pConfigFile) + " help=" + Text(d.pHelpFile) +
              " monitor=" + Text(d.pMonitorName) + " datatype=" + Text(d.pDefaultDataType) +
              " manufacturer=" + Text(d.pszMfgName) + " provider=" + Text(d.pszProvider));
      },
      EnumPrinterDriversW, nullptr, const_cast<LPWSTR>(L"Windows x64"), 6);
  Enumerate<PRINTER_INFO_2W>(
      [](const PRINTER_INFO_2W& p) {
        Print("printer: " + Text(p.pPrinterName) + " port=" + Text(p.pPortName) +
              " driver=" + Text(p.pDriverName) + " processor=" + Text(p.pPrintProcessor) +
              " comment=" + Text(p.pComment) + " location=" + Text(p.pLocation) +
              " share=" + Text(p.pShareName) + " attributes=" + Hex(p.Attributes));
        HANDLE printer = nullptr;
        bool open = OpenPrinterW(p.pPrinterName, &printer, nullptr);
        std::string data = open ? " SubKey=" + SubKey(printer, "PrinterDriverData") +
                                      " DsUser/SubKey=" + SubKey(printer, "DsUser")
                                : " open error " + std::to_string(GetLastError());
        Print("printer-data: " + Text(p.pPrinterName) + data);
        if (open) ClosePrinter(printer);
      },
      EnumPrintersW, PRINTER_ENUM_LOCAL, nullptr, 2);
  wchar_t name[512] = {};
  DWORD size = ARRAYSIZE(name);
  Print("default-printer: " + (GetDefaultPrinterW(name, &size) ? Text(name) : "none"));
  Print("run: " + RegText(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"OrvalstoneTray"));
  Print("pending: " + RegText(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                              L"PendingFileRenameOperations"));
  bool tray = FindWindowW(L"ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}", nullptr);
  Print(std::string("tray: ") + (tray ? "running" : "none"));
  return 0;
}

int RunLine(DWORD timeoutMs, std::wstring line, bool hidden) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  wchar_t desktop[] = L"OrvHidden\\Default";
  if (hidden) {
    // A window station that is not the interactive one, with a desktop for the program, made
    // while this program's own station is switched to it.
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(L"OrvHidden", 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station || !SetProcessWindowStation(station) ||
        !CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr)) {
      Print("exit: no hidden station, error " + std::to_string(GetLastError()));
      return 255;
    }
    SetProcessWindowStation(own);
    startup.lpDesktop = desktop;
  }
  PROCESS_INFORMATION process = {};
  // Wine 8.0 now and then refuses to start a process with ERROR_INTERNAL_ERROR (1359) while
  // another of the prefix is still ending, on a busy machine: a few more tries, a moment apart.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 10 && !started; ++attempt) {
    if (attempt) Sleep(500);
    started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (!started) {
    Print("exit: not started, error " + std::to_string(GetLastError()));
    return 255;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    Print("exit: timeout");
    TerminateProcess(process.hProcess, 0xDEAD);
  } else {
    GetExitCodeProcess(process.hProcess, &code);
    Print("exit: " + Hex(code));
  }
  CloseHandle(process.hProcess);
  return 0;
}

LRESULT CALLBACK ClosingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level window that lives until it is closed (SC_CLOSE, WM_CLOSE) or the process is ended.
int ShowWindowUntilClosed(const wchar_t* className, const wchar_t* title) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ClosingWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  HWND window = RegisterClassW(&windowClass)
                    ? CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                      200, 100, nullptr, nullptr, windowClass.hInstance, nullptr)
                    : nullptr;
  if (!window) return 2;
  Print("window: " + HandleText(window));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  Print("window: closed");
  return 0;
}

// Created with the datatype given, which Wine requires (it refuses a null one).
int AddPackagePrinter(wchar_t** words) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = words[0];
  info.pPortName = const_cast<LPWSTR>(L"Orvalstone:");
  info.pDriverName = const_cast<LPWSTR>(L"Orvalstone printer");
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  info.pComment = words[2];
  info.pLocation = words[3];
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!printer) return 1;
  std::string subKey = Utf8(words[1]);
  auto* data = reinterpret_cast<BYTE*>(subKey.data());
  DWORD size = DWORD(subKey.size() + 1);
  bool added = !SetPrinterDataExA(printer, "PrinterDriverData", "SubKey", REG_SZ, data, size) &&
               !SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, size) &&
               (lstrcmpW(words[4], L"default") || SetDefaultPrinterW(words[0]));
  ClosePrinter(printer);
  Print(added ? "added: yes" : "added: no");
  return added ? 0 : 1;
}
}  // namespace

int wmain(int count, wchar_t** words) {
  std::wstring command = count >= 2 ? words[1] : L"";
  if (command == L"state" && count == 2) return State();
  if ((command == L"run" || command == L"runhidden") && count == 4) {
    return RunLine(_wtoi(words[2]), words[3], command == L"runhidden");
  }
  if (command == L"window" && count == 3) {
    bool viewer = !lstrcmpW(words[2], L"helpviewer");
    return ShowWindowUntilClosed(viewer ? L"HH Parent" : L"OrvcheckOwner",
                                 viewer ? L"Orvalstone Help" : words[2]);
  }
  if (command == L"find" && count == 4) {
    auto any = [](const wchar_t* word) { return lstrcmpW(word, L"-") ? word : nullptr; };
    HWND window = FindWindowW(any(words[2]), any(words[3]));
    Print("found: " + (window ? HandleText(window) : std::string("none")));
    return 0;
  }
  if (command == L"addprinter" && count == 7) return AddPackagePrinter(words + 2);
  if (command == L"hold" && count == 3) {
    HANDLE file = CreateFileW(words[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Print(file == INVALID_HANDLE_VALUE ? "held: error " + std::to_string(GetLastError())
                                       : "held: yes");
    if (file != INVALID_HANDLE_VALUE) Sleep(INFINITE);
    return 1;
  }
  Print("usage: see the top of orvcheck.cpp");
  return 2;
}

// The e2e checker: runs inside a test prefix and reports, one "key: value" line each, what the
// installer left behind, or sets up what a case needs (windows of other programs, a launcher
// that reports the full exit code).
//
//   orvcheck state                     monitors, ports, drivers, printers with their printer
//                                      data, the default printer, the spooler service
//   orvcheck version PATH              the product version of a file ("none" without one)
//   orvcheck run MS PROGRAM [ARG]...   runs PROGRAM, prints "exit: 0x%08X" or "exit: timeout"
//   orvcheck runline MS LINE           the same with LINE as the whole command line, unquoted
//                                      (an uninstaller's "_?=DIR" takes the rest of the line)
//   orvcheck runhidden MS PROGRAM [ARG]...
//                                      the same on a window station of its own, which no one
//                                      sees (as a deployment agent's service runs a setup)
//   orvcheck window TITLE              shows a top-level window until it is closed; prints its
//                                      handle first
//   orvcheck helpviewer                a help viewer window ("HH Parent", "Orvalstone Help")
//                                      that closes on SC_CLOSE
//   orvcheck find CLASS TITLE          the handle of a matching top-level window, or "none"
//                                      ("-" for any class or title)
//   orvcheck addprinter NAME SUBKEY COMMENT LOCATION default|plain
//                                      a package queue as an earlier version left it: on the
//                                      package's port and driver, with its "SubKey" printer data
//                                      (plain and under "DsUser"), optionally the default printer
//   orvcheck hold PATH                 opens PATH without sharing and keeps it open until ended;
//                                      prints "held: yes" first (or "held: error N")
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "output.h"

namespace {

std::string Text(const wchar_t* text) {
  return text ? "\"" + Utf8(text) + "\"" : "null";
}

std::string Hex(DWORD value) {
  char buffer[16];
  wsprintfA(buffer, "0x%08X", value);
  return buffer;
}

// The spooler's two-call pattern: size first, then the records.
template <typename Call>
std::vector<BYTE> TwoCall(Call call, DWORD& count) {
  DWORD needed = 0;
  count = 0;
  call(nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!call(buffer.data(), needed, &needed, &count)) count = 0;
  return buffer;
}

void PrintMonitors() {
  DWORD count = 0;
  auto buffer = TwoCall(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumMonitorsW(nullptr, 2, b, s, n, c); },
      count);
  auto* info = reinterpret_cast<MONITOR_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    Print("monitor: " + Text(info[i].pName) + " dll=" + Text(info[i].pDLLName) +
          " environment=" + Text(info[i].pEnvironment));
  }
}

void PrintPorts() {
  DWORD count = 0;
  auto buffer = TwoCall(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumPortsW(nullptr, 2, b, s, n, c); },
      count);
  auto* info = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    Print("port: " + Text(info[i].pPortName) + " monitor=" + Text(info[i].pMonitorName));
  }
}

std::string BaseName(const wchar_t* path) {
  if (!path) return "null";
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return Text(name);
}

void PrintDrivers() {
  DWORD count = 0;
  auto buffer = TwoCall(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
        return EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 6, b, s, n, c);
      },
      count);
  auto* info = reinterpret_cast<DRIVER_INFO_6W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    const DRIVER_INFO_6W& d = info[i];
    Print("driver: " + Text(d.pName) + " version=" + std::to_string(d.cVersion) +
          " environment=" + Text(d.pEnvironment) + " path=" + BaseName(d.pDriverPath) +
          " data=" + BaseName(d.pDataFile) + " config=" + BaseName(d.pConfigFile) +
          " help=" + BaseName(d.pHelpFile) + " monitor=" + Text(d.pMonitorName) +
          " datatype=" + Text(d.pDefaultDataType) + " manufacturer=" + Text(d.pszMfgName) +
          " provider=" + Text(d.pszProvider));
  }
}

std::string PrinterData(HANDLE printer, const char* key) {
  char value[256] = {};
  DWORD type = 0, needed = 0;
  DWORD error = key ? GetPrinterDataExA(printer, key, "SubKey", &type,
                                        reinterpret_cast<BYTE*>(value), sizeof(value) - 1, &needed)
                    : GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                                      reinterpret_cast<BYTE*>(value), sizeof(value) - 1, &needed);
  if (error != ERROR_SUCCESS) return "error " + std::to_string(error);
  return "\"" + std::string(value) + "\" type=" + std::to_string(type);
}

void PrintPrinters() {
  DWORD count = 0;
  auto buffer =
      TwoCall([](BYTE* b, DWORD s, DWORD* n,
                 DWORD* c) { return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, s, n, c); },
              count);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    const PRINTER_INFO_2W& p = info[i];
    Print("printer: " + Text(p.pPrinterName) + " port=" + Text(p.pPortName) +
          " driver=" + Text(p.pDriverName) + " processor=" + Text(p.pPrintProcessor) +
          " comment=" + Text(p.pComment) + " location=" + Text(p.pLocation) +
          " share=" + Text(p.pShareName) + " attributes=" + Hex(p.Attributes));
    HANDLE printer = nullptr;
    if (OpenPrinterW(p.pPrinterName, &printer, nullptr)) {
      Print("printer-data: " + Text(p.pPrinterName) + " SubKey=" + PrinterData(printer, nullptr) +
            " DsUser/SubKey=" + PrinterData(printer, "DsUser"));
      ClosePrinter(printer);
    } else {
      Print("printer-data: " + Text(p.pPrinterName) + " open error " +
            std::to_string(GetLastError()));
    }
  }
}

void PrintDefaultPrinter() {
  wchar_t name[512] = {};
  DWORD size = ARRAYSIZE(name);
  Print(std::string("default-printer: ") + (GetDefaultPrinterW(name, &size) ? Text(name) : "none"));
}

void PrintSpooler() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
              : nullptr;
  SERVICE_STATUS status = {};
  if (service && QueryServiceStatus(service, &status)) {
    Print("spooler-state: " + std::to_string(status.dwCurrentState));
  } else {
    Print("spooler-state: error " + std::to_string(GetLastError()));
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

int Version(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  std::vector<BYTE> data(size ? size : 1);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!size || !GetFileVersionInfoW(path, 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) {
    Print("version: none");
    return 0;
  }
  Print("version: " + std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
        std::to_string(LOWORD(fixed->dwProductVersionMS)) + "." +
        std::to_string(HIWORD(fixed->dwProductVersionLS)) + "." +
        std::to_string(LOWORD(fixed->dwProductVersionLS)));
  return 0;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

// A window station that is not the interactive one, with a desktop for the program to run on:
// "OrvHidden\Default". Made while this program's own station is switched to it.
bool MakeHiddenDesktop() {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA hidden = CreateWindowStationW(L"OrvHidden", 0, WINSTA_ALL_ACCESS, nullptr);
  if (!hidden || !SetProcessWindowStation(hidden)) return false;
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  return desktop != nullptr;
}

int RunLine(DWORD timeoutMs, std::wstring line, const wchar_t* desktop = nullptr) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring desktopName = desktop ? desktop : L"";
  if (desktop) startup.lpDesktop = desktopName.data();
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
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    Print("exit: timeout");
    TerminateProcess(process.hProcess, 0xDEAD);
    CloseHandle(process.hProcess);
    return 254;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  Print("exit: " + Hex(code));
  return 0;
}

int Run(DWORD timeoutMs, wchar_t** words, int count, const wchar_t* desktop = nullptr) {
  std::wstring line;
  for (int i = 0; i < count; ++i) line += (i ? L" " : L"") + Quote(words[i]);
  return RunLine(timeoutMs, line, desktop);
}

LRESULT CALLBACK ClosingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level window that lives until it is closed (SC_CLOSE, WM_CLOSE) or the process is ended.
int ShowWindowUntilClosed(const wchar_t* className, const wchar_t* title) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ClosingWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  if (!RegisterClassW(&windowClass)) return 2;
  HWND window = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                100, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) return 2;
  Print("window: " + HandleText(window));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  Print("window: closed");
  return 0;
}

int Find(const wchar_t* className, const wchar_t* title) {
  HWND window = FindWindowW(lstrcmpW(className, L"-") ? className : nullptr,
                            lstrcmpW(title, L"-") ? title : nullptr);
  Print("found: " + (window ? HandleText(window) : std::string("none")));
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
  if (!printer) {
    Print("added: error " + std::to_string(GetLastError()));
    return 1;
  }
  std::string subKey = Utf8(words[1]);
  auto* data = reinterpret_cast<BYTE*>(subKey.data());
  DWORD size = DWORD(subKey.size() + 1);
  DWORD plain = SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, size);
  DWORD dsUser = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, size);
  ClosePrinter(printer);
  if (plain != ERROR_SUCCESS || dsUser != ERROR_SUCCESS) {
    Print("added: SubKey error " + std::to_string(plain) + "/" + std::to_string(dsUser));
    return 1;
  }
  if (!lstrcmpW(words[4], L"default") && !SetDefaultPrinterW(words[0])) {
    Print("added: default error " + std::to_string(GetLastError()));
    return 1;
  }
  Print("added: yes");
  return 0;
}

int Hold(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Print("held: error " + std::to_string(GetLastError()));
    return 1;
  }
  Print("held: yes");
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int wmain(int count, wchar_t** words) {
  if (count >= 2 && !lstrcmpW(words[1], L"state")) {
    PrintSpooler();
    PrintMonitors();
    PrintPorts();
    PrintDrivers();
    PrintPrinters();
    PrintDefaultPrinter();
    return 0;
  }
  if (count == 3 && !lstrcmpW(words[1], L"version")) return Version(words[2]);
  if (count >= 4 && !lstrcmpW(words[1], L"run")) return Run(_wtoi(words[2]), words + 3, count - 3);
  if (count == 4 && !lstrcmpW(words[1], L"runline")) return RunLine(_wtoi(words[2]), words[3]);
  if (count >= 4 && !lstrcmpW(words[1], L"runhidden")) {
    if (!MakeHiddenDesktop()) {
      Print("exit: no hidden station, error " + std::to_string(GetLastError()));
      return 255;
    }
    return Run(_wtoi(words[2]), words + 3, count - 3, L"OrvHidden\\Default");
  }
  if (count == 3 && !lstrcmpW(words[1], L"window")) {
    return ShowWindowUntilClosed(L"OrvcheckOwner", words[2]);
  }
  if (count == 2 && !lstrcmpW(words[1], L"helpviewer")) {
    return ShowWindowUntilClosed(L"HH Parent", L"Orvalstone Help");
  }
  if (count == 4 && !lstrcmpW(words[1], L"find")) return Find(words[2], words[3]);
  if (count == 7 && !lstrcmpW(words[1], L"addprinter")) return AddPackagePrinter(words + 2);
  if (count == 3 && !lstrcmpW(words[1], L"hold")) return Hold(words[2]);
  Print(
      "usage: orvcheck state | version PATH | run MS PROGRAM [ARG]... | runline MS LINE | "
      "runhidden MS PROGRAM [ARG]... | window TITLE | helpviewer | find CLASS TITLE | "
      "addprinter NAME SUBKEY COMMENT LOCATION default|plain | hold PATH");
  return 2;
}

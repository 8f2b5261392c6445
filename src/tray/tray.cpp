#include "tray/tray.h"

#include "context/install_context.h"

namespace {

constexpr DWORD kWindowsVistaMajor = 6;

// As the file system compares names: letter case aside (ASCII letters, which is what the
// package's own paths hold).
bool SamePathIgnoringCase(LPCWSTR a, LPCWSTR b) {
  auto fold = [](WCHAR c) { return (c >= W('A') && c <= W('Z')) ? WCHAR(c - W('A') + W('a')) : c; };
  for (; fold(*a) == fold(*b); ++a, ++b) {
    if (*a == 0) return true;
  }
  return false;
}

bool IsSeparator(WCHAR c) {
  return c == W('\\') || c == W('/');
}

bool EndsWithSeparator(const WideText& text) {
  const ULONGLONG count = Count(text);
  return count > 0 && IsSeparator(Chars(text)[count - 1]);
}

// The tray program exists only for NT 6.0 and later.
bool TraySupported() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return false;
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         version.dwMajorVersion >= kWindowsVistaMajor;
}

HKEY OpenRunKey() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

void RegisterTray(const WideText& path) {
  HKEY key = OpenRunKey();
  if (!key) return;
  const DWORD bytes = DWORD((Count(path) + 1) * sizeof(WCHAR));
  RegSetValueExW(key, kTrayRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(Chars(path)), bytes);
  RegCloseKey(key);
}

void StartTray(const WideText& path) {
  // A quote, at most 259 characters of the path, a quote, the terminator.
  WCHAR commandLine[kTrayCommandPathUnits + 3] = {};
  DWORD length = 0;
  commandLine[length++] = W('"');
  LPCWSTR chars = Chars(path);
  for (DWORD i = 0; i < kTrayCommandPathUnits && chars[i] != 0; ++i) {
    commandLine[length++] = chars[i];
  }
  commandLine[length++] = W('"');
  commandLine[length] = 0;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  // The installer does not wait for the tray program, and a failed start is not its concern.
  if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                     nullptr, &startup, &process)) {
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
}

// Asks a running tray program to exit and waits, within bounds, for it to give up its mutex.
// A window that never shows up costs 20 pauses of 250 ms; one that never lets the mutex go,
// 21 waits of 5 s.
void AskTrayToExit(HANDLE mutex) {
  bool seen = false;
  for (int attempt = 0; attempt < kTrayExitAttempts; ++attempt) {
    HWND window = FindWindowW(kTrayWindowClass, nullptr);
    if (window) {
      seen = true;
      PostMessageW(window, kTrayExitMessage, 0, 0);
      if (WaitForSingleObject(mutex, kTrayMutexWaitMs) == WAIT_OBJECT_0) return;
    } else if (seen) {
      // The window has gone: the program is on its way out.
      WaitForSingleObject(mutex, kTrayMutexWaitMs);
      return;
    } else {
      Sleep(kTrayWindowPauseMs);
    }
  }
  if (seen) WaitForSingleObject(mutex, kTrayMutexWaitMs);
}

// Reads the Run value into path. Only a string that fits the buffer whole, terminator
// included, counts: a path cut short could name some other file.
bool ReadTrayPath(HKEY key, WCHAR (&path)[kTrayPathUnits]) {
  for (WCHAR& c : path) c = 0;
  DWORD type = 0;
  DWORD bytes = sizeof(path);
  if (RegQueryValueExW(key, kTrayRunValue, nullptr, &type, reinterpret_cast<LPBYTE>(path),
                       &bytes) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  for (WCHAR c : path) {
    if (c == 0) return true;
  }
  return false;
}

void DeleteTrayProgram(LPCWSTR path) {
  for (int attempt = 0; attempt < kTrayDeleteAttempts; ++attempt) {
    if (DeleteFileW(path)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    // A program still running keeps its file: give it time to end.
    Sleep(error == ERROR_ACCESS_DENIED ? kTrayDeleteDeniedPauseMs : kTrayDeleteOtherPauseMs);
  }
}

}  // namespace

WideText TrayProgramPath(const WideText& moduleDir) {
  WideText directory = Copy(moduleDir);
  if (EndsWithSeparator(directory)) Resize(directory, Count(directory) - 1);
  WideText path = ParentDirectory(directory);
  if (Count(path) > 0 && !EndsWithSeparator(path)) Append(path, W("\\"));
  const WideText name = AssignAnsi(kTrayProgramName);
  Append(path, name);
  return path;
}

void InstallTray(InstallContext& context) {
  if (!TraySupported()) return;
  const WideText path = TrayProgramPath(context.ModuleDir);
  RegisterTray(path);
  StartTray(path);
}

void RemoveTray(LPCWSTR keep) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kTrayMutexName);
  if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) AskTrayToExit(mutex);
  // Never released explicitly: closing the handle is all the installer does with it.
  if (mutex) CloseHandle(mutex);

  HKEY key = OpenRunKey();
  if (!key) return;
  // Without the mutex the program may still be running: its file is left alone.
  if (mutex) {
    WCHAR path[kTrayPathUnits];
    if (!ReadTrayPath(key, path)) {
      Sleep(kRunValueUnreadablePauseMs);
    } else if (path[0] != 0 && !(keep && SamePathIgnoringCase(path, keep))) {
      DeleteTrayProgram(path);
    }
  }
  RegDeleteValueA(key, kTrayRunValueAnsi);
  RegCloseKey(key);
}

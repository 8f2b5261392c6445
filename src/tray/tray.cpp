#include "tray/tray.h"

#include <cstring>

#include "context/install_context.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "platform/identity.h"
#include "platform/sized_query.h"

namespace {

constexpr DWORD kWindowsVistaMajor = 6;
// ERROR_INVALID_DATA: a Run value that is no string names no file.
constexpr LSTATUS kNotAString = 13;

// The tray program exists only for NT 6.0 and later. Every 64-bit Windows this installer
// runs on is one, so a version that cannot be read does not keep the tray program out.
bool TraySupported() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return true;
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         version.dwMajorVersion >= kWindowsVistaMajor;
}

bool RegisterTray(const WideText& path) {
  unique_hkey key;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, key.put());
  if (status == ERROR_SUCCESS) {
    const DWORD bytes = DWORD((Count(path) + 1) * sizeof(WCHAR));
    status = RegSetValueExW(key.get(), kTrayRunValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(Chars(path)), bytes);
  }
  key.reset();
  SetLastError(DWORD(status));
  return status == ERROR_SUCCESS;
}

// False, with the last error, when the program could not be started or ended at once (it
// quits when it finds its mutex taken).
bool StartTray(const WideText& path) {
  // The whole path between quotes, however long: a path cut short names no program.
  const ULONGLONG units = Count(path);
  const unique_global<WCHAR> line(
      static_cast<LPWSTR>(GlobalAlloc(GPTR, SIZE_T(units + 3) * sizeof(WCHAR))));
  LPWSTR commandLine = line.get();
  if (!commandLine) return false;
  commandLine[0] = W('"');
  if (units) std::memcpy(commandLine + 1, Chars(path), SIZE_T(units) * sizeof(WCHAR));
  commandLine[units + 1] = W('"');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  const unique_handle thread(process.hThread);
  const unique_handle started(process.hProcess);
  // Not waited for beyond a moment: one that is still there then has taken its mutex.
  const DWORD waited = WaitForSingleObject(started.get(), kTrayStartCheckMs);
  if (waited == WAIT_TIMEOUT) return true;
  // One that quit at once found its mutex held: by a tray program still running (its window
  // shows it), which is as good, or by no program at all.
  if (waited == WAIT_OBJECT_0 && FindWindowW(kTrayWindowClass, nullptr)) return true;
  if (waited == WAIT_OBJECT_0) SetLastError(ERROR_ALREADY_EXISTS);
  return false;
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

// Reads the Run value, whatever its length, into a zero-filled global-heap block; otherwise
// the registry's answer (ERROR_INVALID_DATA for a value that is no string).
LSTATUS ReadTrayPath(HKEY key, unique_global<WCHAR>& path) {
  DWORD type = 0;
  DWORD bytes = 0;
  LSTATUS status = ReadRegValue(key, kTrayRunValue, path, bytes, &type);
  if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
    path.reset();
    status = kNotAString;  // names no file
  }
  return status;
}

// The file name after the last separator is the tray program's own: nothing else that the
// Run value might have been pointed at is deleted.
bool NamesTrayProgram(LPCWSTR path) {
  const WideText own = AssignAnsi(kTrayProgramName);
  return SameTextIgnoringCase(FileNamePart(path), Chars(own));
}

bool DeleteTrayProgram(LPCWSTR path) {
  for (int attempt = 0; attempt < kTrayDeleteAttempts; ++attempt) {
    if (DeleteFileW(path)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    // A program still running keeps its file: give it time to end.
    Sleep(error == ERROR_ACCESS_DENIED ? kTrayDeleteDeniedPauseMs : kTrayDeleteOtherPauseMs);
  }
  return false;
}

}  // namespace

WideText TrayProgramPath(const WideText& moduleDir) {
  WideText directory = Copy(moduleDir);
  const ULONGLONG n = Count(directory);
  if (n && (Chars(directory)[n - 1] == W('\\') || Chars(directory)[n - 1] == W('/'))) {
    Resize(directory, n - 1);
  }
  return JoinPath(Chars(ParentDirectory(directory)), Chars(AssignAnsi(kTrayProgramName)));
}

bool InstallTray(InstallContext& context) {
  if (!TraySupported()) return true;
  // Nothing is registered from a relative place.
  if (Count(context.ModuleDir) == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    LogError(context, ErrRegisterTray);
    return false;
  }
  const WideText path = TrayProgramPath(context.ModuleDir);
  const bool registered = RegisterTray(path);
  if (!registered) LogError(context, ErrRegisterTray);
  // Started now only where a user sees it. As the local system account it would run with the
  // system's rights in a session no one sees; the Run entry starts it for each user at logon.
  if (RunsAsLocalSystem()) {
    Log(context, W("The tray program is not started: the installer runs as the local system "
                   "account (it starts at the next logon)"));
    return registered;
  }
  if (WindowStationHidden()) {
    Log(context, W("The tray program is not started: no one sees this window station (it "
                   "starts at the next logon)"));
    return registered;
  }
  // A program that quit at once may have met the mutex of the one just asked to exit, still
  // on its way out: it is started again a little later, a few times.
  bool started = StartTray(path);
  for (int attempt = 1;
       !started && GetLastError() == ERROR_ALREADY_EXISTS && attempt < kTrayStartAttempts;
       ++attempt) {
    Sleep(kTrayStartPauseMs);
    started = StartTray(path);
  }
  if (!started) {
    // What kept the earlier program's removal from finishing is the likelier cause.
    if (context.TrayRemovalError != 0) SetLastError(context.TrayRemovalError);
    LogError(context, ErrStartTray);
    return false;
  }
  return registered;
}

bool RemoveTray(LPCWSTR keep, TrayFile file, WideText* leftFile) {
  bool mutexOpened = false;
  DWORD failure = 0;
  {
    unique_handle mutex(CreateMutexA(nullptr, FALSE, kTrayMutexName));
    mutexOpened = bool(mutex);
    if (!mutex) failure = GetLastError();
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) AskTrayToExit(mutex.get());
    // Never released explicitly: closing the handle is all the installer does with it. One
    // that stays open keeps the mutex from the program started later.
    if (!mutex.close() && !failure) failure = GetLastError();
  }

  unique_hkey key;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, key.put());
  if (status != ERROR_SUCCESS) {
    SetLastError(failure ? failure : DWORD(status));
    return false;
  }
  // Without the mutex the program may still be running: its file is left alone.
  if (mutexOpened && file == TrayFile::Delete) {
    unique_global<WCHAR> path;
    status = ReadTrayPath(key.get(), path);
    if (status != ERROR_SUCCESS) {
      // Missing or no file name: nothing to delete. Anything else: the file may stay.
      if (status != ERROR_FILE_NOT_FOUND && status != kNotAString) failure = DWORD(status);
      Sleep(kRunValueUnreadablePauseMs);
    } else if (path && path.get()[0] != 0 && NamesTrayProgram(path.get()) &&
               !(keep && SameTextIgnoringCase(path.get(), keep)) &&
               !DeleteTrayProgram(path.get())) {
      if (leftFile) Assign(*leftFile, path.get());
    }
  }
  status = RegDeleteValueA(key.get(), kTrayRunValueAnsi);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && !failure) {
    failure = DWORD(status);
  }
  key.reset();
  SetLastError(failure);
  return failure == 0;
}

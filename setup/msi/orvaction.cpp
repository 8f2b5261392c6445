// The package's custom actions: each runs orvinst.exe with one command word, waits for it, and
// turns its exit code into an answer Windows Installer understands (orvinst never returns 0).
// They run deferred and not impersonated, so orvinst runs elevated as the local system account;
// CustomActionData holds the full path of the installed orvinst.exe.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

constexpr UINT kAnotherRunInProgress = 1618;  // ERROR_INSTALL_ALREADY_RUNNING

// What Windows Installer is told for orvinst's exit code: 1 and 2 are done; 101 is done with
// files left for deletion at the next restart (the installation then ends with 3010); 1618 is
// handed on as it is; 100 and every other code fail the installation, which rolls it back.
struct Answer {
  UINT result;
  bool restart;
};

Answer AnswerFor(DWORD code) {
  switch (code) {
    case 1:
    case 2:
      return {ERROR_SUCCESS, false};
    case 101:
      return {ERROR_SUCCESS, true};
    case kAnotherRunInProgress:
      return {kAnotherRunInProgress, false};
    default:
      return {ERROR_INSTALL_FAILURE, false};
  }
}

// One line in the installation's log (msiexec /l*v). The text goes in as a field, not as the
// record's template, so that brackets in a path are not taken for properties.
void LogLine(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) return;
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring ActionData(MSIHANDLE install) {
  DWORD size = 0;
  wchar_t none[1] = L"";
  if (MsiGetPropertyW(install, L"CustomActionData", none, &size) != ERROR_MORE_DATA) return {};
  std::vector<wchar_t> text(size + 1);
  size = static_cast<DWORD>(text.size());
  if (MsiGetPropertyW(install, L"CustomActionData", text.data(), &size) != ERROR_SUCCESS) return {};
  return std::wstring(text.data(), size);
}

std::wstring Folder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The names of orvinst's log files for WORD in its Logs folder.
std::vector<std::wstring> LogFiles(const std::wstring& logs, const wchar_t* word) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const std::wstring pattern = logs + L"*_" + word + L"*.log";
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool Ended(HANDLE process, DWORD& code) {
  return WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process, &code);
}

// The tray program releases its mutex, which "removetray" waits for, a moment before its process
// ends and frees its file: waited for (up to 10 s), so that the file can be replaced or removed
// at once rather than at the next restart.
void WaitForTrayFile(const std::wstring& exe) {
  std::wstring folder = Folder(exe);
  folder = Folder(folder.substr(0, folder.size() - 1));
  const std::wstring tray = folder + L"orvtray.exe";
  for (int tries = 0; tries < 100; ++tries) {
    // A running program's file cannot be opened for writing.
    const HANDLE file = CreateFileW(tray.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION && GetLastError() != ERROR_ACCESS_DENIED) return;
    Sleep(100);
  }
}

// Runs "orvinst WORD" and waits for it. False when it could not be run; the reason is logged.
bool RunOrvinst(MSIHANDLE install, const std::wstring& exe, const wchar_t* word, DWORD& code) {
  std::wstring line = L"\"" + exe + L"\" " + word;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const std::wstring folder = Folder(exe);
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    LogLine(install, std::wstring(L"orvinst ") + word + L": not started, error " +
                         std::to_wstring(GetLastError()) + L" (" + exe + L")");
    return false;
  }
  const bool ended = Ended(process.hProcess, code);
  const DWORD error = GetLastError();
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!ended) {
    LogLine(install, std::wstring(L"orvinst ") + word +
                         L": its exit code could not be read, error " + std::to_wstring(error));
  }
  return ended;
}

UINT RunWord(MSIHANDLE install, const wchar_t* word) {
  const std::wstring exe = ActionData(install);
  if (exe.empty()) {
    LogLine(install, std::wstring(L"orvinst ") + word + L": no path in CustomActionData");
    return ERROR_INSTALL_FAILURE;
  }
  // The run's own log file is the one that was not there before it.
  const std::wstring logs = Folder(exe) + L"Logs\\";
  const std::vector<std::wstring> before = LogFiles(logs, word);
  DWORD code = 0;
  if (!RunOrvinst(install, exe, word, code)) return ERROR_INSTALL_FAILURE;
  std::wstring log = L"none written";
  for (const std::wstring& name : LogFiles(logs, word)) {
    bool old = false;
    for (const std::wstring& earlier : before) old = old || earlier == name;
    if (!old) log = logs + name;
  }
  const Answer answer = AnswerFor(code);
  LogLine(install, std::wstring(L"orvinst ") + word + L": exit code " + std::to_wstring(code) +
                       L", log file " + log);
  if (answer.restart) MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
  // A failed install is rolled back, and the tray program it started holds its file: stopped
  // now, while orvinst is still there to do it. Not after 1618: another run is at work.
  if (answer.result == ERROR_INSTALL_FAILURE && std::wstring(word) == L"install") {
    DWORD ignored = 0;
    if (RunOrvinst(install, exe, L"removetray", ignored)) {
      LogLine(install, L"orvinst removetray: exit code " + std::to_wstring(ignored));
      WaitForTrayFile(exe);
    }
  }
  return answer.result;
}

}  // namespace

// "install": the first install, a repair, and the new build's side of an upgrade.
extern "C" __declspec(dllexport) UINT __stdcall RunInstall(MSIHANDLE install) {
  return RunWord(install, L"install");
}

// "uninstall": the removal of the product, before its files go.
extern "C" __declspec(dllexport) UINT __stdcall RunUninstall(MSIHANDLE install) {
  return RunWord(install, L"uninstall");
}

// "removetray" before files are replaced or removed: a running tray program holds its file. It
// always answers 6 and never fails the installation; on a first install there is no orvinst yet.
extern "C" __declspec(dllexport) UINT __stdcall RemoveTray(MSIHANDLE install) {
  const std::wstring exe = ActionData(install);
  if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
    LogLine(install, L"orvinst removetray: no installed orvinst.exe, no tray program to stop");
    return ERROR_SUCCESS;
  }
  DWORD code = 0;
  if (RunOrvinst(install, exe, L"removetray", code)) {
    LogLine(install, L"orvinst removetray: exit code " + std::to_wstring(code));
    WaitForTrayFile(exe);
  }
  return ERROR_SUCCESS;
}

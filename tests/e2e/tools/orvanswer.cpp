// A stand-in for orvinst.exe in the package of the MSI cases: under Wine the real one never ends
// an install with 1 or 101 (README.md), so this one answers each command word with the code a
// case puts in C:\orv\answers\WORD (default: 1 for install, 2 for uninstall, 6 otherwise). Each
// run appends a line to C:\orv\runs.log saying whether the package files were beside it, and an
// install or uninstall leaves a log file in Logs beside it, named as orvinst names its own.
#include <windows.h>

#include <string>

#include "output.h"

namespace {

std::wstring Folder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD size = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, size);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

DWORD Answer(const std::wstring& word) {
  const std::wstring file = L"C:\\orv\\answers\\" + word;
  const HANDLE answer =
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (answer == INVALID_HANDLE_VALUE) return word == L"install" ? 1 : word == L"uninstall" ? 2 : 6;
  char text[16] = {};
  DWORD read = 0;
  ReadFile(answer, text, sizeof text - 1, &read, nullptr);
  CloseHandle(answer);
  return static_cast<DWORD>(std::stoul(text));
}

void Append(const std::wstring& path, const std::string& line) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring word = argc > 1 ? argv[1] : L"";
  const std::wstring folder = Folder();
  const bool files =
      GetFileAttributesW((folder + L"kvxmon64.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
  Append(L"C:\\orv\\runs.log", "orvinst " + Utf8(word.c_str()) +
                                   ": package files beside it: " + (files ? "yes" : "no") + "\n");
  const DWORD code = Answer(word);
  if (word == L"install" || word == L"uninstall") {
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t name[64];
    wsprintfW(name, L"%04u-%02u-%02u_%02u-%02u-%02u-%03u_%s.log", now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, word.c_str());
    CreateDirectoryW((folder + L"Logs").c_str(), nullptr);
    Append(folder + L"Logs\\" + name, "Exit code " + std::to_string(code) + "\r\n");
  }
  return static_cast<int>(code);
}

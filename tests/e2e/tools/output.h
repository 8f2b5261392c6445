// Output of the e2e tools: UTF-8 lines on standard output, read by the harness on Linux.
#pragma once
#include <windows.h>

#include <string>

inline std::string Utf8(const wchar_t* text) {
  if (!text) return "(null)";
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(size - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

inline std::wstring Wide(const char* text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring out(size - 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
  return out;
}

inline void Print(const std::string& line) {
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

// Handles are printed in decimal, as the installer's owner-window word is written.
inline std::string HandleText(HWND window) {
  return std::to_string(static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
}

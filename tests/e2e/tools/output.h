// Output of the e2e tools: UTF-8 lines on standard output, read by the harness on Linux.
#pragma once
#include <windows.h>

#include <string>

inline std::string Utf8(const wchar_t* text) {
  int size = text ? WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr) : 0;
  std::string out(size, '\0');
  if (size) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return size ? out.substr(0, size - 1) : "(null)";
}

inline void Print(const std::string& line) {
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

inline std::string Hex(DWORD value) {
  char buffer[16];
  wsprintfA(buffer, "0x%08X", value);
  return buffer;
}

// Handles are printed in decimal, as the installer's owner-window word is written.
inline std::string HandleText(HWND window) {
  return std::to_string(static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
}

// Shared set-up of the contract tests. They state how each API answers and run both on the
// simulated machine and, built for Windows, under Wine, whose deviations from Windows their
// answers files name. On the sim every test starts from a fresh default machine; elsewhere it
// uses the machine it runs on.
#pragma once
// The API's structures are filled in part; the members left out are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// GCC 12 warns falsely of overlapping copies in std::string's operator+ when optimizing (its
// bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#ifndef _WIN32
#include "sim/machine.h"
#endif

using WString = std::basic_string<WCHAR>;
constexpr DWORD kAnyError = 0xdeadbeef;

inline bool OnWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Whether a call gave a handle; it is closed again, the call's last error kept.
inline BOOL Gave(HANDLE h) {
  const DWORD error = GetLastError();
  const bool valid = h && h != INVALID_HANDLE_VALUE;
  if (valid) CloseHandle(h);
  SetLastError(error);
  return valid;
}

// ASCII view of wide text, for readable assertions.
inline std::string Narrow(const WCHAR* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? char(*s) : '?';
  return out;
}
inline WString Wid(const std::string& s) {
  return WString(s.begin(), s.end());
}
inline std::string Lower(std::string s) {
  for (auto& c : s) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return s;
}

// The spooler's text parameters are not const, but it never writes to them.
inline LPWSTR Mut(const WCHAR* text) {
  return const_cast<LPWSTR>(text);
}

// A directory of the test's own, in the temporary folder.
inline WString TestDir(const WCHAR* name) {
#ifdef _WIN32
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  WString dir = temp;
#else
  WString dir = W("C:\\Windows\\Temp\\");
#endif
  dir += name;
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

inline bool PutFile(const WString& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const bool ok = h != INVALID_HANDLE_VALUE &&
                  WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr) &&
                  written == text.size();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return ok;
}

// Each test writes down its answers, a line "what => answer" each, compared as it tears down
// with the file answers/<suite>.<test> beside it. A line there may go on "| Wine: answer (why)":
// Wine 8.0's answer where it is not Windows', and why.
class Contract : public ::testing::Test {
 protected:
#ifndef _WIN32
  void SetUp() override {
    sim::InitDefaultMachine(machine_);
    scope_ = std::make_unique<sim::MachineScope>(machine_);
  }
  sim::Machine machine_;
  std::unique_ptr<sim::MachineScope> scope_;
#endif
  void TearDown() override {
    if (!answers_.empty()) ExpectAnswers();
  }
  void Answer(const std::string& what, const std::string& answer) {
    answers_ += what + " => " + answer + "\n";
  }
  static std::string Error(DWORD error) {
    return error ? "error " + std::to_string(error) : "ok";
  }
  // A call's answer: "ok", or "error N" with the last error it left.
  static std::string Result(BOOL ok) {
    return ok ? "ok" : "error " + std::to_string(GetLastError());
  }
  // The file's lines, as "what" and the answer this platform should give.
  std::vector<std::pair<std::string, std::string>> Expected() const {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::ifstream file(std::string(ORVINST_CONTRACT_ANSWERS) + "/" + test->test_suite_name() + "." +
                       test->name());
    EXPECT_TRUE(file.is_open()) << "no answers for " << test->name();
    std::vector<std::pair<std::string, std::string>> lines;
    for (std::string line; std::getline(file, line);) {
      const size_t arrow = line.find(" => "), wine = line.find(" | Wine: ");
      if (arrow == std::string::npos) continue;
      const size_t answer = OnWine() && wine != std::string::npos ? wine + 9 : arrow + 4;
      const size_t end =
          std::min(line.find(answer > arrow + 4 ? " (" : " | Wine: ", answer), line.size());
      lines.emplace_back(line.substr(0, arrow), line.substr(answer, end - answer));
    }
    return lines;
  }
  void ExpectAnswers() const {
    std::string expected;
    for (const auto& [what, answer] : Expected()) expected += what + " => " + answer + "\n";
    EXPECT_EQ(answers_, expected);
  }

 private:
  std::string answers_;
};

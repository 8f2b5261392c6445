// Shared set-up of the contract tests. They state how each API answers, a table per API, and
// run both on the simulated machine and, built for Windows, under Wine, whose deviations from
// Windows the rows name. On the sim every test starts from a fresh default machine; elsewhere
// it uses the machine it runs on.
#pragma once
// The API's structures are named in part; the members left out are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#ifndef _WIN32
#include "sim/machine.h"
#include "sim/process_control.h"
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

// A call that must fail, and the error it must leave.
#define EXPECT_FAILS(call, error)            \
  do {                                       \
    SetLastError(kAnyError);                 \
    EXPECT_FALSE(call);                      \
    EXPECT_EQ(GetLastError(), DWORD(error)); \
  } while (0)

// One row of a table: a call, the error it leaves on Windows (0: it succeeds, and the last
// error is not looked at), and where Wine 8.0 answers otherwise, why and what it answers.
struct Row {
  std::string what;
  std::function<BOOL()> call;
  DWORD error = 0;
  const char* onWine = nullptr;
  DWORD wineError = 0;
};

inline void ExpectRows(const std::vector<Row>& rows) {
  for (const auto& row : rows) {
    const bool deviates = row.onWine && OnWine();
    SCOPED_TRACE(row.what + (deviates ? std::string(" (under Wine: ") + row.onWine + ")" : ""));
    const DWORD want = deviates ? row.wineError : row.error;
    SetLastError(kAnyError);
    const bool ok = row.call() != FALSE;
    const DWORD error = GetLastError();
    EXPECT_EQ(ok, want == 0) << "last error " << error;
    if (want) {
      EXPECT_EQ(error, want);
    }
  }
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
inline std::string Lower(std::string s) {
  for (auto& c : s) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return s;
}

// Wide text the spooler's non-const parameters can take (null stays null).
class Wide {
 public:
  Wide(const WCHAR* text) : text_(text ? text : W("")), null_(!text) {}  // NOLINT
  Wide(WString text) : text_(std::move(text)) {}                         // NOLINT
  operator LPWSTR() { return null_ ? nullptr : text_.data(); }           // NOLINT

 private:
  WString text_;
  bool null_ = false;
};

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

inline bool Exists(const WString& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

class Contract : public ::testing::Test {
 protected:
#ifndef _WIN32
  void SetUp() override {
    sim::InitDefaultMachine(machine_);
    scope_ = std::make_unique<sim::MachineScope>(machine_);
  }
  void TearDown() override {
    scope_.reset();
  }
  sim::Machine machine_;
  std::unique_ptr<sim::MachineScope> scope_;
#endif
};

// How the kernel32/shell32 calls answer: message texts, command-line splitting, code page
// conversion, the program's paths, heaps and time.
#include <string>
#include <vector>

#include "contract.h"

namespace {

// The system's text for a code; empty, with the call's error in *error, when there is none.
std::basic_string<WCHAR> SystemText(DWORD code, DWORD* error = nullptr) {
  LPWSTR buffer = nullptr;
  SetLastError(0xdeadbeef);
  DWORD n =
      FormatMessageW(0x1300, nullptr, code, 1033, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (error) *error = n ? ERROR_SUCCESS : GetLastError();
  std::basic_string<WCHAR> text = n ? std::basic_string<WCHAR>(buffer, n) : W("");
  if (buffer) LocalFree(buffer);
  return text;
}

TEST_F(Contract, FormatMessageGivesSystemTextsWithTheirLineBreak) {
  struct Case {
    DWORD code;
    const WCHAR* text;
  };
  const Case cases[] = {
      {2, W("The system cannot find the file specified.\r\n")},
      {5, W("Access is denied.\r\n")},
      {32, W("The process cannot access the file because it is being used by another "
             "process.\r\n")},
      {122, W("The data area passed to a system call is too small.\r\n")},
      {1062, W("The service has not been started.\r\n")},
      {1722, W("The RPC server is unavailable.\r\n")},
      {1801, W("The printer name is invalid.\r\n")},
      {3001, W("The specified printer driver is currently in use.\r\n")},
      {0x8007000E, W("Not enough memory resources are available to complete this operation.\r\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    DWORD error = 0;
    auto text = SystemText(c.code, &error);
    if (OnWine() && c.code == ERROR_PRINTER_DRIVER_IN_USE) {
      // Wine 8.0 deviation: its message table lacks the spooler's codes (3001 and 3006 seen);
      // FormatMessageW fails with ERROR_MR_MID_NOT_FOUND where Windows has the text.
      EXPECT_TRUE(text.empty());
      EXPECT_EQ(error, DWORD(ERROR_MR_MID_NOT_FOUND));
    } else if (OnWine()) {
      // Wine's message table words some texts differently; the line break is the same.
      ASSERT_GE(text.size(), 2u);
      EXPECT_EQ(text.substr(text.size() - 2), W("\r\n"));
    } else {
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST_F(Contract, FormatMessageHasNoTextForUnknownCodes) {
  LPWSTR buffer = nullptr;
  SetLastError(0xdeadbeef);
  DWORD n = FormatMessageW(0x1300, nullptr, 0x2A5F1234, 1033, reinterpret_cast<LPWSTR>(&buffer), 0,
                           nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(Contract, CommandLineToArgvWFollowsWindowsQuotingRules) {
  struct Case {
    const WCHAR* line;
    std::vector<std::basic_string<WCHAR>> words;
  };
  const Case cases[] = {
      {W("prog.exe install"), {W("prog.exe"), W("install")}},
      {W("\"C:\\Program Files\\x\\orvinst.exe\" in 1234"),
       {W("C:\\Program Files\\x\\orvinst.exe"), W("in"), W("1234")}},
      {W("prog  a\t b  "), {W("prog"), W("a"), W("b")}},
      {W("prog \"\""), {W("prog"), W("")}},
      {W("prog a\\\\\\\"b"), {W("prog"), W("a\\\"b")}},        // 3 backslashes + quote
      {W("prog \"a\\\\\" b"), {W("prog"), W("a\\"), W("b")}},  // 2 backslashes + quote
      {W("prog a\\b\\\\c"), {W("prog"), W("a\\b\\\\c")}},      // backslashes alone stay
      {W("prog \"a b\"c d"), {W("prog"), W("a bc"), W("d")}},
      {W("prog \"a\"\"\"b\""), {W("prog"), W("a\"b")}},           // tripled quote
      {W("\"C:\\a b\\\"x y"), {W("C:\\a b\\"), W("x"), W("y")}},  // no escapes in word 0
  };
  for (const auto& c : cases) {
    int n = -1;
    LPWSTR* argv = CommandLineToArgvW(c.line, &n);
    ASSERT_NE(argv, nullptr);
    std::vector<std::basic_string<WCHAR>> got(argv, argv + n);
    EXPECT_EQ(got, c.words) << "case " << (&c - cases);
    LocalFree(argv);
  }
}

TEST_F(Contract, MultiByteToWideCharCountsTheTerminatorAndRefusesSmallBuffers) {
  const char* text = "Caf\xe9 \x80";  // Windows-1252: e acute, euro sign
  int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  EXPECT_EQ(needed, 7);
  WCHAR out[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 8), 7);
#ifndef _WIN32
  // The simulated machine's ANSI code page is Windows-1252.
  EXPECT_EQ(std::basic_string<WCHAR>(out), W("Caf\u00e9 \u20ac"));
#endif
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "", -1, nullptr, 0), 1);
}

TEST_F(Contract, GetModuleFileNameWTruncatesAndTerminates) {
  WCHAR full[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, full, MAX_PATH);
  ASSERT_GT(n, 4u);
  EXPECT_EQ(lstrlenW(full), int(n));
  // One spare element after the four given, to see that nothing is written past them.
  WCHAR small[5] = {1, 1, 1, 1, 1};
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::basic_string<WCHAR>(small, 3), std::basic_string<WCHAR>(full, 3));
  if (OnWine()) {
    // Wine 8.0 deviation: the buffer is filled with the first four characters and left
    // unterminated, as Windows XP did; later Windows truncates to three and terminates.
    EXPECT_EQ(small[3], full[3]);
  } else {
    EXPECT_EQ(small[3], 0);
  }
  EXPECT_EQ(small[4], 1);
}

TEST_F(Contract, GetSystemDirectoryWReportsTheSizeItNeeds) {
  UINT needed = GetSystemDirectoryW(nullptr, 0);
  ASSERT_GT(needed, 1u);
  std::vector<WCHAR> buffer(needed);
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), needed), needed - 1);
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), needed - 1), needed);
  EXPECT_NE(buffer[needed - 2], W('\\'));
}

TEST_F(Contract, GlobalHeapBlocksAreFreedToNull) {
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, 40);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

#ifndef _WIN32
TEST_F(Contract, SimGlobalAllocFailsWhenAFaultIsArmed) {
  sim::AddFault(machine_, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  SetLastError(0);
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 16), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  HGLOBAL next = GlobalAlloc(GMEM_FIXED, 16);
  EXPECT_NE(next, nullptr);
  GlobalFree(next);
}

TEST_F(Contract, SimSleepAdvancesVirtualTimeOnly) {
  DWORD before = GetTickCount();
  Sleep(12000);
  EXPECT_EQ(GetTickCount() - before, 12000u);
  EXPECT_EQ(machine_.sleptMs, 12000u);
}

// The machine's wall clock starts at its boot and runs with virtual time, across a leap day.
TEST_F(Contract, SimSystemTimeRunsWithVirtualTime) {
  const auto at = [] {
    SYSTEMTIME t = {};
    GetSystemTime(&t);
    return std::vector<int>{t.wYear, t.wMonth,  t.wDay,    t.wDayOfWeek,
                            t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  };
  EXPECT_EQ(at(), (std::vector<int>{2024, 5, 6, 1, 7, 30, 0, 0}));
  sim::Advance(machine_, 120500999999ull);
  EXPECT_EQ(at(), (std::vector<int>{2028, 2, 29, 2, 23, 59, 59, 999}));
  sim::Advance(machine_, 1);
  EXPECT_EQ(at(), (std::vector<int>{2028, 3, 1, 3, 0, 0, 0, 0}));
}

TEST_F(Contract, SimMessageTextsCoverEveryCodeTheProductMeets) {
  for (DWORD code : {2u,    3u,    5u,    6u,    18u,   32u,   80u,        87u,   112u,
                     122u,  183u,  267u,  1051u, 1060u, 1062u, 1722u,      1796u, 1797u,
                     1798u, 1801u, 1802u, 3001u, 3006u, 3008u, 0x8007000Eu}) {
    auto text = SystemText(code);
    ASSERT_GE(text.size(), 3u) << code;
    EXPECT_EQ(text.substr(text.size() - 2), W("\r\n")) << code;
  }
}
#endif

}  // namespace

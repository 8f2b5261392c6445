// How the kernel32, shell32, user32, version.dll and service-manager calls answer: message
// texts, command lines, the program's paths, mutexes and processes, windows and window
// stations, version resources, and stopping and starting the spooler.
#include "contract.h"

namespace {

// The texts the run log quotes. Wine 8.0 deviation: its own wording (the same line break), and
// no texts for the spooler's codes, for which the call fails with ERROR_MR_MID_NOT_FOUND.
TEST_F(Contract, FormatMessageGivesSystemTextsWithTheirLineBreak) {
  struct Case {
    DWORD code;
    const WCHAR *text, *onWine;  // empty: there is none
  };
  const Case cases[] = {
      {2, W("The system cannot find the file specified.\r\n"), W("File not found.\r\n")},
      {5, W("Access is denied.\r\n"), W("Access denied.\r\n")},
      {32, W("The process cannot access the file because it is being used by another process.\r\n"),
       W("Sharing violation.\r\n")},
      {1801, W("The printer name is invalid.\r\n"), W("Invalid printer name.\r\n")},
      {3001, W("The specified printer driver is currently in use.\r\n"), W("")},
      {0x8007000E, W("Not enough memory resources are available to complete this operation.\r\n"),
       W("Out of memory.\r\n")},
      {0x2A5F1234, W(""), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    LPWSTR buffer = nullptr;
    const DWORD n = FormatMessageW(0x1300, nullptr, c.code, 1033, reinterpret_cast<LPWSTR>(&buffer),
                                   0, nullptr);
    const DWORD error = GetLastError();
    EXPECT_EQ(n ? WString(buffer, n) : W(""), OnWine() && c.onWine ? c.onWine : c.text);
    if (buffer) LocalFree(buffer);
    EXPECT_TRUE(n || !OnWine() || !c.onWine || error == ERROR_MR_MID_NOT_FOUND) << error;
  }
}

TEST_F(Contract, CommandLineToArgvWFollowsWindowsQuotingRules) {
  struct Case {
    const WCHAR* line;
    std::vector<WString> words;
  };
  const Case cases[] = {
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
    EXPECT_EQ(std::vector<WString>(argv, argv + n), c.words) << "case " << (&c - cases);
    LocalFree(argv);
  }
}

TEST_F(Contract, SizedTextCallsTellTheRoomTheyNeed) {
  const char* text = "Caf\xe9 \x80";  // Windows-1252: e acute, euro sign
  WCHAR out[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0), 7);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 8), 7);
  EXPECT_FAILS(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 3),
               ERROR_INSUFFICIENT_BUFFER);

  UINT needed = GetSystemDirectoryW(nullptr, 0);
  std::vector<WCHAR> dir(needed);
  EXPECT_EQ(GetSystemDirectoryW(dir.data(), needed), needed - 1);
  EXPECT_EQ(GetSystemDirectoryW(dir.data(), needed - 1), needed);
  EXPECT_NE(dir[needed - 2], W('\\'));

  WCHAR full[MAX_PATH], small[5] = {1, 1, 1, 1, 1};  // one spare element after the four given
  const DWORD n = GetModuleFileNameW(nullptr, full, MAX_PATH);
  EXPECT_EQ(lstrlenW(full), int(n));
  SetLastError(kAnyError);
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  // Wine 8.0 deviation: four characters and no terminator, as Windows XP did; later Windows
  // truncates to three and terminates.
  EXPECT_EQ(WString(small, 4), WString(full, 3) + (OnWine() ? full[3] : W('\0')));
  EXPECT_EQ(small[4], 1);
}

// The tray program's mutex: names are case-sensitive, "Local\" is the default namespace, an
// unnamed one is always new, and one whose handles are all closed is gone.
TEST_F(Contract, MutexesAndWaitsAnswerByNameAndHandle) {
  const std::string name = "orvinst-contract-{6E1F0C52-93B4-4D7A-9A57-1B0C2A7D5E31}";
  std::vector<HANDLE> open;
  // Whether a new mutex was made; a handle to an existing one comes with ERROR_ALREADY_EXISTS.
  const auto create = [&](const std::string& text, bool named = true) {
    HANDLE h = CreateMutexA(nullptr, FALSE, named ? text.c_str() : nullptr);
    if (h) open.push_back(h);
    return h && GetLastError() == 0;
  };
  HANDLE closed = CreateMutexA(nullptr, FALSE, nullptr);
  CloseHandle(closed);
  ExpectRows({
      {"wait, closed handle", [&] { return WaitForSingleObject(closed, 0) != WAIT_FAILED; }, 6},
      {"close it again", [&] { return CloseHandle(closed); }, ERROR_INVALID_HANDLE},
      {"new", [&] { return create(name); }},
      {"existing", [&] { return create(name); }, ERROR_ALREADY_EXISTS},
      {"in other letters", [&] { return create("ORVINST" + name.substr(7)); }},
      {"in the Local namespace", [&] { return create("Local\\" + name); }, ERROR_ALREADY_EXISTS},
      {"unnamed", [&] { return create(name, false); }},
      {"unknown namespace", [&] { return create("no-such\\" + name); }, ERROR_PATH_NOT_FOUND},
      {"unowned: a wait gets it", [&] { return WaitForSingleObject(open.back(), 0) == 0; }},
      {"gone once closed",
       [&] {
         for (HANDLE h : open) CloseHandle(h);
         open.clear();
         return create(name) && Gave(open.back());
       }},
  });
}

TEST_F(Contract, CreateProcessStartsTheProgramTheCommandLineNames) {
  WCHAR self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const WString dir = WString(self).substr(0, WString(self).find_last_of(W('\\')));
#ifndef _WIN32
  sim::PutFile(machine_, self, {0x4D, 0x5A});
#endif
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  const auto start = [&](WString line) {
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          nullptr, nullptr, &si, &pi);
  };
  EXPECT_FAILS(start(W("\"") + dir + W("\\orvinst-no-such-program.exe\"")), ERROR_FILE_NOT_FOUND);
  // The test program itself, asked to run no test, ends at once with 0.
  ASSERT_TRUE(start(W("\"") + WString(self) + W("\" --gtest_filter=-*")));
  EXPECT_TRUE(pi.hProcess && pi.hThread && pi.dwProcessId && pi.dwThreadId);
#ifndef _WIN32
  // A program the machine does not know runs until it is ended.
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(pi.hProcess, 100));
  ASSERT_TRUE(sim::EndProcess(machine_, pi.dwProcessId, 0));
#endif
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(pi.hProcess, 60000));
  DWORD exitCode = 1234;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &exitCode));
  EXPECT_EQ(0u, exitCode);
  EXPECT_TRUE(CloseHandle(pi.hThread) && CloseHandle(pi.hProcess));
}

// A window station tells whether anyone sees its windows: the interactive one does, one the
// program makes itself does not. The flags need a whole USEROBJECTFLAGS.
TEST_F(Contract, WindowsAndWindowStations) {
  const HWND bogus = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1A2B));
  EXPECT_EQ(FindWindowW(W("HH Parent"), W("No Such Help Viewer Title")), nullptr);
  EXPECT_FALSE(IsWindow(bogus));
  EXPECT_FAILS(PostMessageW(bogus, WM_NULL, 0, 0), ERROR_INVALID_WINDOW_HANDLE);

  HWINSTA made = CreateWindowStationW(W("OrvContractStation"), 0, WINSTA_ALL_ACCESS, nullptr);
  for (const auto& [station, flags] :
       {std::pair{GetProcessWindowStation(), DWORD(WSF_VISIBLE)}, std::pair{made, DWORD(0)}}) {
    SCOPED_TRACE(flags);
    USEROBJECTFLAGS got = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &got, sizeof got, &needed));
    EXPECT_EQ(needed, sizeof got);
    EXPECT_EQ(got.dwFlags & WSF_VISIBLE, flags);
    // Too small: nothing written, the size told. Wine 8.0 deviation: ERROR_BUFFER_OVERFLOW
    // (111) where Windows answers ERROR_INSUFFICIENT_BUFFER.
    needed = 0;
    EXPECT_FAILS(GetUserObjectInformationW(station, UOI_FLAGS, &got, sizeof got - 1, &needed),
                 OnWine() ? 111 : ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, sizeof got);
  }
  EXPECT_TRUE(CloseWindowStation(made));
}

TEST_F(Contract, VersionResourcesOfModulesAndOfFilesWithout) {
  WCHAR dir[MAX_PATH];
  const WString system(dir, GetSystemDirectoryW(dir, MAX_PATH));
  DWORD handle = kAnyError;
  const DWORD size = GetFileVersionInfoSizeW((system + W("\\kernel32.dll")).c_str(), &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW((system + W("\\kernel32.dll")).c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), W("\\"), reinterpret_cast<LPVOID*>(&fixed), &length));
  EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, DWORD(VS_FFI_SIGNATURE));
  EXPECT_NE(fixed->dwProductVersionMS, 0u);
  EXPECT_FAILS(GetFileVersionInfoSizeW((system + W("\\no-such-module.dll")).c_str(), &handle),
               ERROR_FILE_NOT_FOUND);
#ifndef _WIN32
  EXPECT_FAILS(
      GetFileVersionInfoSizeW(W("C:\\Program Files\\Orvalstone\\Setup\\kvxhelp.chm"), nullptr),
      ERROR_RESOURCE_TYPE_NOT_FOUND);
#endif
}

// Stopping and starting the spooler, and what its calls answer meanwhile.
TEST_F(Contract, TheSpoolerStopsAndStarts) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  EXPECT_FAILS(OpenServiceW(manager, W("NoSuchServiceHere"), SERVICE_QUERY_STATUS),
               ERROR_SERVICE_DOES_NOT_EXIST);
  SC_HANDLE spooler = OpenServiceW(manager, W("spooler"), 0x0034);
  ASSERT_NE(spooler, nullptr);
  SERVICE_STATUS status = {};
  const auto reach = [&](DWORD state) {
    for (int i = 0; i < 500 && QueryServiceStatus(spooler, &status); ++i) {
      if (status.dwCurrentState == state) return TRUE;
      Sleep(20);
    }
    return FALSE;
  };
  HANDLE printer = nullptr;
  DWORD size = 0;
  const char* inProcess =
      "the spooler API runs inside the calling process and answers as if the service ran";
  ExpectRows({
      {"stop",
       [&] {
         return ControlService(spooler, SERVICE_CONTROL_STOP, &status) && reach(SERVICE_STOPPED);
       }},
      {"stop again", [&] { return ControlService(spooler, SERVICE_CONTROL_STOP, &status); },
       ERROR_SERVICE_NOT_ACTIVE},
      {"OpenPrinterW, spooler stopped",
       [&] { return OpenPrinterW(Wide(W("No Such Printer 42")), &printer, nullptr); },
       RPC_S_SERVER_UNAVAILABLE, inProcess, ERROR_INVALID_PRINTER_NAME},
      {"EnumMonitorsW, spooler stopped",
       [&] { return EnumMonitorsW(nullptr, 2, nullptr, 0, &size, &size); },
       RPC_S_SERVER_UNAVAILABLE, inProcess, ERROR_INSUFFICIENT_BUFFER},
      {"start", [&] { return StartServiceW(spooler, 0, nullptr) && reach(SERVICE_RUNNING); }},
      {"start again", [&] { return StartServiceW(spooler, 0, nullptr); },
       ERROR_SERVICE_ALREADY_RUNNING},
      {"close", [&] { return CloseServiceHandle(spooler); }},
      {"close again", [&] { return CloseServiceHandle(spooler); }, ERROR_INVALID_HANDLE},
  });
  CloseServiceHandle(manager);
}

}  // namespace

// How the kernel32, shell32, user32 and service-manager calls answer: message texts, command
// lines, the program's paths, mutexes and processes, windows and window stations, and stopping
// and starting the spooler.
#include "contract.h"

namespace {

// The texts the run log quotes, for the codes its answers file names ("\r\n" shown as "|").
TEST_F(Contract, FormatMessageGivesSystemTextsWithTheirLineBreak) {
  for (const auto& [what, expected] : Expected()) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(0x1300, nullptr, std::stoul(what, nullptr, 0), 1033,
                                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string shown = n ? Narrow(text) : Error(GetLastError());
    std::replace(shown.begin(), shown.end(), '\r', '|');
    Answer(what, shown.substr(0, shown.find('\n')));
    LocalFree(text);
  }
}

// The words of the command lines its answers file names, each between [ ].
TEST_F(Contract, CommandLineToArgvWFollowsWindowsQuotingRules) {
  for (const auto& [line, expected] : Expected()) {
    int n = 0;
    LPWSTR* argv = CommandLineToArgvW(Wid(line).c_str(), &n);
    std::string words;
    for (int i = 0; i < n; ++i) words += "[" + Narrow(argv[i]) + "]";
    Answer(line, words);
    LocalFree(argv);
  }
}

TEST_F(Contract, SizedTextCallsTellTheRoomTheyNeed) {
  const char* text = "Caf\xe9 \x80";  // Windows-1252: e acute, euro sign
  WCHAR out[8] = {}, dir[MAX_PATH], full[MAX_PATH], small[5] = {1, 1, 1, 1, 1};
  const int sized = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  const int filled = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 8);
  Answer("MultiByteToWideChar", std::to_string(sized) + ", " + std::to_string(filled) + ", " +
                                    Result(MultiByteToWideChar(CP_ACP, 0, text, -1, out, 3)));
  // The size with the terminator, then the length without it, and no backslash last.
  const UINT needed = GetSystemDirectoryW(nullptr, 0), length = GetSystemDirectoryW(dir, needed);
  Answer("GetSystemDirectoryW",
         std::to_string(needed - length) + (dir[length - 1] == W('\\') ? ", \\" : ""));
  // Four elements given, one spare to see that nothing is written past them.
  GetModuleFileNameW(nullptr, full, MAX_PATH);
  SetLastError(kAnyError);
  const DWORD four = GetModuleFileNameW(nullptr, small, 4);
  const std::string error = Error(GetLastError());
  Answer("GetModuleFileNameW into 4", std::to_string(four) + ", " + error + ": " +
                                          (WString(small, 3) == WString(full, 3) ? "abc" : "???") +
                                          (small[3] ? "d" : "|") + (small[4] == 1 ? "" : "!"));
}

// The tray program's mutex: an unnamed one is always new, and one whose handles are all closed
// is gone.
TEST_F(Contract, MutexesAndWaitsAnswerByNameAndHandle) {
  const std::string name = "orvinst-contract-{6E1F0C52-93B4-4D7A-9A57-1B0C2A7D5E31}";
  std::vector<HANDLE> open;
  // Whether a new mutex was made; a handle to an existing one comes with ERROR_ALREADY_EXISTS.
  const auto create = [&](const std::string& text, bool named = true) {
    HANDLE h = CreateMutexA(nullptr, FALSE, named ? text.c_str() : nullptr);
    if (h) open.push_back(h);
    return h && GetLastError() == 0;
  };
  Answer("new", Result(create(name)));
  Answer("existing", Result(create(name)));
  Answer("unnamed", Result(create(name, false)));
  Answer("unknown namespace", Result(create("no-such\\" + name)));
  Answer("unowned: a wait gets it", Result(WaitForSingleObject(open.back(), 0) == 0));
  Answer("gone once closed", Result([&] {
           for (HANDLE h : open) CloseHandle(h);
           open.clear();
           return create(name) && Gave(open.back());
         }()));
}

TEST_F(Contract, CreateProcessStartsTheProgramTheCommandLineNames) {
  WCHAR self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
#ifndef _WIN32
  sim::PutFile(machine_, self, {0x4D, 0x5A});
#endif
  STARTUPINFOW si = {.cb = sizeof(si)};
  PROCESS_INFORMATION pi = {};
  const auto start = [&](WString line) {
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          nullptr, nullptr, &si, &pi);
  };
  Answer("a missing program", Result(start(W("\"") + WString(self) + W(".none.exe\""))));
  // The test program itself, asked to run no test, ends at once with 0.
  Answer("this program", Result(start(W("\"") + WString(self) + W("\" --gtest_filter=-*"))));
  Answer("its handles",
         Result(pi.dwProcessId && CloseHandle(pi.hThread) && CloseHandle(pi.hProcess)));
}

// A window station tells whether anyone sees its windows: the interactive one does, one the
// program makes itself does not. The flags need a whole USEROBJECTFLAGS.
TEST_F(Contract, WindowsAndWindowStations) {
  const HWND bogus = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1A2B));
  Answer("FindWindowW", FindWindowW(W("HH Parent"), W("No Such Viewer")) ? "found" : "none");
  Answer("IsWindow", IsWindow(bogus) ? "a window" : "none");
  Answer("PostMessageW", Result(PostMessageW(bogus, WM_NULL, 0, 0)));
  HWINSTA made = CreateWindowStationW(W("OrvContractStation"), 0, WINSTA_ALL_ACCESS, nullptr);
  for (HWINSTA station : {GetProcessWindowStation(), made}) {
    USEROBJECTFLAGS got = {};
    DWORD needed = 0, small = 0;
    const BOOL ok = GetUserObjectInformationW(station, UOI_FLAGS, &got, sizeof got, &needed);
    SetLastError(kAnyError);
    const std::string tooSmall =
        Result(GetUserObjectInformationW(station, UOI_FLAGS, &got, sizeof got - 1, &small));
    Answer(station == made ? "made" : "interactive",
           Result(ok) + ", visible " + std::to_string(got.dwFlags & WSF_VISIBLE) + ", needs " +
               std::to_string(needed) + "; too small: " + tooSmall + ", needs " +
               std::to_string(small));
  }
  Answer("CloseWindowStation", Result(CloseWindowStation(made)));
}

// Stopping and starting the spooler, and what its calls answer meanwhile.
TEST_F(Contract, TheSpoolerStopsAndStarts) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  Answer("OpenServiceW, unknown", Result(OpenServiceW(manager, W("None 7"), 4) != nullptr));
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
  Answer("stop",
         Result(ControlService(spooler, SERVICE_CONTROL_STOP, &status) && reach(SERVICE_STOPPED)));
  Answer("stop again", Result(ControlService(spooler, SERVICE_CONTROL_STOP, &status)));
  Answer("OpenPrinterW, spooler stopped",
         Result(OpenPrinterW(Mut(W("No Such Printer 42")), &printer, nullptr)));
  Answer("EnumMonitorsW, spooler stopped",
         Result(EnumMonitorsW(nullptr, 2, nullptr, 0, &size, &size)));
  Answer("start", Result(StartServiceW(spooler, 0, nullptr) && reach(SERVICE_RUNNING)));
  Answer("start again", Result(StartServiceW(spooler, 0, nullptr)));
  Answer("close", Result(CloseServiceHandle(spooler)));
  Answer("close again", Result(CloseServiceHandle(spooler)));
  CloseServiceHandle(manager);
}

}  // namespace

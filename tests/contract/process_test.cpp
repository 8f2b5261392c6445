// Processes, named mutexes and waits: CreateProcessW, CreateMutexA, ReleaseMutex,
// WaitForSingleObject, and (on the simulated machine) the tray program's exit protocol.
#include <string>

#include "contract.h"
#ifndef _WIN32
#include "sim/process_control.h"
#endif

namespace {

// Names unlikely to meet another program's objects when the tests run on a real machine.
constexpr char kName[] = "orvinst-contract-{6E1F0C52-93B4-4D7A-9A57-1B0C2A7D5E31}";
constexpr char kOtherCase[] = "ORVINST-CONTRACT-{6E1F0C52-93B4-4D7A-9A57-1B0C2A7D5E31}";
constexpr char kLocalName[] = "Local\\orvinst-contract-{6E1F0C52-93B4-4D7A-9A57-1B0C2A7D5E31}";

using Text = std::basic_string<WCHAR>;

Text ModulePath() {
  WCHAR buffer[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return Text(buffer);
}

Text DirectoryOf(const Text& path) {
  return path.substr(0, path.find_last_of(W('\\')));
}

STARTUPINFOW ShowStartup(WORD show) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = show;
  return si;
}

}  // namespace

TEST_F(Contract, CreateMutexTellsNewFromExisting) {
  struct Step {
    const char* name;
    DWORD error;  // last error after the call
  };
  // Names are case-sensitive, "Local\" is the default namespace, and unnamed mutexes are
  // always new.
  const Step steps[] = {
      {kName, 0},      {kName, ERROR_ALREADY_EXISTS},
      {kOtherCase, 0}, {kLocalName, ERROR_ALREADY_EXISTS},
      {nullptr, 0},    {nullptr, 0},
  };
  std::vector<HANDLE> handles;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name ? s.name : "(unnamed)");
    SetLastError(0xdeadbeef);
    HANDLE h = CreateMutexA(nullptr, FALSE, s.name);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(s.error, GetLastError());
    for (HANDLE other : handles) EXPECT_NE(other, h);
    handles.push_back(h);
  }
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
  // With every handle closed the mutex is gone: the name is new again.
  SetLastError(0xdeadbeef);
  HANDLE again = CreateMutexA(nullptr, FALSE, kName);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(0u, GetLastError());
  EXPECT_TRUE(CloseHandle(again));
}

TEST_F(Contract, CreateMutexRefusesAnUnknownNamespace) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, "no-such-directory\\orvinst-contract"));
  EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(Contract, MutexOwnershipIsCountedAndOnlyTheOwnerReleases) {
  HANDLE owned = CreateMutexA(nullptr, TRUE, kName);
  ASSERT_NE(nullptr, owned);
  // A second handle asking for ownership of an existing mutex does not get it, but the
  // owner is the same thread, so waits through it succeed and count.
  HANDLE second = CreateMutexA(nullptr, TRUE, kName);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(second, 0));
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_FAILS(ReleaseMutex(owned), ERROR_NOT_OWNER);

  HANDLE unowned = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, unowned);
  EXPECT_FAILS(ReleaseMutex(unowned), ERROR_NOT_OWNER);
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(unowned, 0));
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(unowned, 1000));
  EXPECT_TRUE(ReleaseMutex(unowned));
  EXPECT_TRUE(ReleaseMutex(unowned));
  EXPECT_FALSE(ReleaseMutex(unowned));

  for (HANDLE h : {owned, second, unowned}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Contract, InvalidHandlesAreRefused) {
  HANDLE closed = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, closed);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE h : {HANDLE(nullptr), closed}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FAILS(ReleaseMutex(h), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(CloseHandle(h), ERROR_INVALID_HANDLE);
  }
}

TEST_F(Contract, CreateProcessOfAMissingProgramFails) {
  Text line = W("\"") + DirectoryOf(ModulePath()) + W("\\orvinst-no-such-program.exe\"");
  STARTUPINFOW si = ShowStartup(SW_SHOW);
  PROCESS_INFORMATION pi = {};
  EXPECT_FAILS(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &si, &pi), ERROR_FILE_NOT_FOUND);
}

TEST_F(Contract, CreateProcessReturnsHandlesToTheNewProcess) {
  const Text self = ModulePath();
#ifndef _WIN32
  sim::PutFile(machine_, sim::U16(self.begin(), self.end()), {0x4D, 0x5A});
#endif
  // The test program itself, asked to run no test, ends at once with 0.
  Text line = W("\"") + self + W("\" --gtest_filter=-*");
  STARTUPINFOW si = ShowStartup(SW_SHOW);
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                             nullptr, nullptr, &si, &pi));
  EXPECT_NE(nullptr, pi.hProcess);
  EXPECT_NE(nullptr, pi.hThread);
  EXPECT_NE(pi.hProcess, pi.hThread);
  EXPECT_NE(0u, pi.dwProcessId);
  EXPECT_NE(0u, pi.dwThreadId);
#ifndef _WIN32
  // A program the machine does not know runs until it is ended.
  const sim::SimProcess* p = sim::FindProcess(machine_, pi.dwProcessId);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(line, p->commandLine);
  EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), p->creationFlags);
  EXPECT_EQ(SW_SHOW, p->showWindow);
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(pi.hProcess, 100));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(DWORD(STILL_ACTIVE), code);
  ASSERT_TRUE(sim::EndProcess(machine_, pi.dwProcessId, 0));
#endif
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(pi.hProcess, 60000));
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(pi.hThread, 0));
  DWORD exitCode = 1234;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &exitCode));
  EXPECT_EQ(0u, exitCode);
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_TRUE(CloseHandle(pi.hProcess));
}

#ifndef _WIN32
namespace {
HWND TrayWindow() {
  return FindWindowW(sim::kTrayWindowClass, nullptr);
}

// A fresh default machine, its clock and records included.
void Fresh(sim::Machine& m) {
  m = sim::Machine();
  sim::InitDefaultMachine(m);
}
}  // namespace

// The simulated machine finds a program as Windows does: the first word of the command line,
// quoted or not, ".exe" added when it has no extension, a bare name searched for in the
// program's directory, the system directory and the Windows directory.
TEST_F(Contract, CreateProcessFindsTheProgramTheCommandLineNames) {
  for (auto path : {u"C:\\Program Files\\Tools\\run me.exe", u"C:\\Windows\\system32\\cmd.exe",
                    u"C:\\Windows\\notepad.exe", u"C:\\Program Files\\Orvalstone\\Setup\\x.exe"}) {
    sim::PutFile(machine_, path, {});
  }
  struct Case {
    const char16_t* line;
    const char16_t* image;  // nullptr: not found
  } cases[] = {
      {u"\"C:\\Program Files\\Tools\\run me.exe\" /x", u"C:\\Program Files\\Tools\\run me.exe"},
      {u"C:\\Program Files\\Tools\\run me /x", u"C:\\Program Files\\Tools\\run me.exe"},
      {u"cmd /c exit 7", u"C:\\Windows\\system32\\cmd.exe"},
      {u"notepad.exe", u"C:\\Windows\\notepad.exe"},
      {u"x", u"C:\\Program Files\\Orvalstone\\Setup\\x.exe"},
      {u"\"c:\\windows\\SYSTEM32\\CMD.EXE\"", u"C:\\Windows\\system32\\cmd.exe"},
      {u"\"C:\\Program Files\\Tools\\run\" me.exe", nullptr},
      {u"   ", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.line));
    Text line(c.line);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    SetLastError(0xdeadbeef);
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi);
    const sim::SimProcess* p = ok ? sim::FindProcess(machine_, pi.dwProcessId) : nullptr;
    EXPECT_EQ(c.image != nullptr, p != nullptr);
    if (!p) {
      EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
      continue;
    }
    EXPECT_EQ(sim::U16(c.image), p->image);
    EXPECT_EQ(10, p->showWindow);  // no STARTF_USESHOWWINDOW: the default
  }
}

// The installer's side of the tray protocol: the mutex exists, the window is found, message
// 1026 is posted, and the wait on the mutex ends as the tray program's mode decides.
TEST_F(Contract, TrayProgramAnswersItsExitMessageByMode) {
  struct Case {
    const char* mode;
    uint32_t delay;
    DWORD wait;
    uint64_t slept;
    bool ends;
  } cases[] = {
      {"normal", 0, WAIT_OBJECT_0, 0, true},
      {"normal", 3000, WAIT_OBJECT_0, 3000, true},
      {"normal", 7000, WAIT_TIMEOUT, 5000, false},
      {"ignore", 0, WAIT_TIMEOUT, 5000, false},
      {"exit-holding", 100, WAIT_ABANDONED, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " after " + std::to_string(c.delay));
    Fresh(machine_);
    const uint32_t pid = sim::StartTray(machine_, c.mode, c.delay);
    ASSERT_NE(0u, pid);
    machine_.fs.locks.push_back({sim::kTrayImage, pid, 0, 1, true});

    HANDLE mutex = CreateMutexA(nullptr, FALSE, sim::kTrayMutexName);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(mutex, 0));
    ASSERT_NE(nullptr, TrayWindow());
    EXPECT_TRUE(PostMessageW(TrayWindow(), sim::kTrayExitMessage, 0, 0));
    EXPECT_EQ(c.wait, WaitForSingleObject(mutex, 5000));
    EXPECT_EQ(c.slept, machine_.sleptMs);
    // Its window and file locks go with it.
    EXPECT_EQ(!c.ends, sim::FindProcess(machine_, pid)->running);
    EXPECT_EQ(!c.ends, TrayWindow() != nullptr);
    EXPECT_EQ(!c.ends, !machine_.fs.locks.empty());
    EXPECT_EQ(c.wait != WAIT_TIMEOUT, ReleaseMutex(mutex) != FALSE);
    EXPECT_TRUE(CloseHandle(mutex));
    // The mutex lives as long as a handle to it does.
    EXPECT_EQ(!c.ends, sim::FindMutex(machine_, sim::kTrayMutexName) != nullptr);
  }
}

TEST_F(Contract, TrayProgramStartedByCreateProcessKeepsTheProtocol) {
  Text line = W("\"") + Text(sim::kTrayImage) + W("\"");
  STARTUPINFOW si = ShowStartup(SW_SHOW);
  PROCESS_INFORMATION pi = {}, second = {};
  sim::RemoveFile(machine_, sim::kTrayImage);
  EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &si, &pi));
  EXPECT_EQ(nullptr, TrayWindow());

  sim::PutFile(machine_, sim::kTrayImage, {0x4D, 0x5A});
  machine_.processes.trayExitDelayMs = 250;
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                             nullptr, nullptr, &si, &pi));
  EXPECT_EQ("tray", sim::FindProcess(machine_, pi.dwProcessId)->program);
  // A second copy finds the mutex taken and quits at once, showing no window.
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                             nullptr, nullptr, &si, &second));
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(second.hProcess, 0));
  EXPECT_EQ(1u, machine_.user.windows.size());

  // Asked twice, it exits once, after its delay.
  EXPECT_TRUE(PostMessageW(TrayWindow(), sim::kTrayExitMessage, 0, 0));
  EXPECT_TRUE(PostMessageW(TrayWindow(), sim::kTrayExitMessage, 0, 0));
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(pi.hProcess, INFINITE));
  EXPECT_EQ(250u, machine_.sleptMs);
  EXPECT_EQ(nullptr, TrayWindow());
  EXPECT_EQ(nullptr, sim::FindMutex(machine_, sim::kTrayMutexName));
  for (HANDLE h : {pi.hProcess, pi.hThread, second.hProcess, second.hThread}) {
    EXPECT_TRUE(CloseHandle(h));
  }
}

TEST_F(Contract, WaitingForeverOnWhatNothingWillSignalIsReported) {
  const uint32_t tray = sim::StartTray(machine_, "ignore");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, sim::kTrayMutexName);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(mutex, INFINITE));
  EXPECT_EQ(DWORD(ERROR_POSSIBLE_DEADLOCK), GetLastError());
  // A later event that ends the owner does let the wait through.
  sim::Schedule(machine_, 40000, "process.exit", {{"pid", tray}, {"release", false}});
  EXPECT_EQ(DWORD(WAIT_ABANDONED), WaitForSingleObject(mutex, INFINITE));
  EXPECT_EQ(40000u, machine_.sleptMs);

  // When the running program ends, its handles close and the mutex goes.
  sim::EndRunningProgram(machine_);
  EXPECT_EQ(nullptr, sim::FindMutex(machine_, sim::kTrayMutexName));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(mutex, 0));
}

TEST_F(Contract, HelpViewerWindowClosesOnRequestOrNot) {
  for (bool obeys : {true, false}) {
    sim::OpenHelpViewer(machine_, obeys);
    HWND w = FindWindowW(sim::kHelpViewerClass, sim::kHelpViewerTitle);
    ASSERT_NE(nullptr, w);
    EXPECT_TRUE(PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0));
    Sleep(50);
    EXPECT_EQ(!obeys, IsWindow(w) != FALSE);
  }
}

TEST_F(Contract, FileLocksOfAnotherProcessComeAndGo) {
  const char16_t* path = u"C:\\Windows\\system32\\kvxmon64.dll";
  const uint32_t holder = sim::LockFile(machine_, path, GENERIC_READ, FILE_SHARE_READ, true);
  ASSERT_EQ(1u, machine_.fs.locks.size());
  EXPECT_EQ(holder, machine_.fs.locks[0].pid);
  EXPECT_FALSE(sim::UnlockFile(machine_, u"C:\\Windows\\system32\\other.dll"));
  // Released later in virtual time; the holder ends with its last lock.
  EXPECT_TRUE(sim::UnlockFile(machine_, u"c:/windows/SYSTEM32/kvxmon64.dll", 2000));
  Sleep(1999);
  EXPECT_EQ(1u, machine_.fs.locks.size());
  Sleep(1);
  EXPECT_TRUE(machine_.fs.locks.empty());
  EXPECT_FALSE(sim::FindProcess(machine_, holder)->running);
  // Ending a holder releases its locks too.
  EXPECT_TRUE(sim::EndProcess(machine_, sim::LockFile(machine_, path)));
  EXPECT_TRUE(machine_.fs.locks.empty());
}
#endif

#include "tray/tray.h"

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

constexpr char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char16_t kRunValue[] = u"OrvalstoneTray";
// Where the default machine keeps the tray program, and what a removal finds registered.
const std::u16string kTrayFile = sim::kTrayImage;

using unit::Utf16Bytes;

// A path of exactly `length` characters, ending in the tray program's name.
std::u16string PathOfLength(size_t length) {
  const std::u16string tail = u"\\orvtray.exe";
  return u"C:\\" + std::u16string(length - 3 - tail.size(), u'd') + tail;
}

class TrayTest : public unit::MachineTest {
 protected:
  void Register(const std::u16string& path, DWORD type = REG_SZ, bool terminated = true) {
    sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, kRunValue, type, Utf16Bytes(path, terminated));
  }
  const sim::RegValue* RunValue() {
    return sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, kRunValue);
  }
  const sim::CallRecord* LastCall(const std::string& api) const {
    for (auto it = m.calls.rbegin(); it != m.calls.rend(); ++it) {
      if (it->api == api) return &*it;
    }
    return nullptr;
  }
  size_t Posted(UINT message) const {
    return size_t(std::count_if(m.user.posted.begin(), m.user.posted.end(),
                                [&](const sim::PostedMessage& p) { return p.message == message; }));
  }
  // The installer holds no handle on the tray mutex (it may still exist, held by the tray).
  bool MutexHandleClosed() {
    const sim::SimMutex* mx = sim::FindMutex(m, sim::kTrayMutexName);
    return !mx || std::find(mx->openBy.begin(), mx->openBy.end(), m.kernel.pid) == mx->openBy.end();
  }
};

// ---------------------------------------------------------------------------------------
// Asking the tray program to exit, in virtual time.

TEST_F(TrayTest, ExitRequestWaitsWithinItsBounds) {
  const struct {
    const char* name;
    bool running;
    const char* mode;
    uint32_t exitDelayMs;
    bool windowless;     // the program holds its mutex but shows no window
    uint64_t elapsedMs;  // virtual time RemoveTray took
    size_t exitMessages;
    bool stillRunning;
    bool fileLeft;
  } cases[] = {
      {"not running", false, "normal", 0, false, 0, 0, false, false},
      {"answers at once", true, "normal", 0, false, 0, 1, false, false},
      {"answers after 3 s", true, "normal", 3000, false, 3000, 1, false, false},
      // The first wait times out; the second request finds the exit already under way.
      {"answers after 6 s", true, "normal", 6000, false, 6000, 2, false, false},
      {"exits holding its mutex", true, "exit-holding", 2000, false, 2000, 1, false, false},
      // 20 requests with a 5 s wait each, one last wait, then 10 deletions of 100 ms refused:
      // a running program's file is held as its image.
      {"ignores its message", true, "ignore", 0, false, 105000 + 1000, 20, true, true},
      {"no window", true, "normal", 0, true, 20 * 250 + 1000, 0, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InitDefaultMachine(m);
    Register(kTrayFile);
    uint32_t pid = 0;
    if (c.running) {
      pid = sim::StartTray(m, c.mode, c.exitDelayMs);
      ASSERT_NE(pid, 0u);
      if (c.windowless) {
        std::erase_if(m.user.windows, [&](const sim::SimWindow& w) { return w.ownerPid == pid; });
      }
    }
    m.calls.clear();

    RemoveTray();

    EXPECT_EQ(m.now, c.elapsedMs);
    EXPECT_EQ(Posted(sim::kTrayExitMessage), c.exitMessages);
    for (const auto& p : m.user.posted) {
      EXPECT_EQ(p.wParam, 0u);
      EXPECT_EQ(p.lParam, 0);
    }
    if (c.running) {
      EXPECT_EQ(sim::FindProcess(m, pid)->running, c.stillRunning);
    }
    // No window search when nobody holds the mutex; no wait when no window was ever found.
    if (!c.running) {
      EXPECT_EQ(CallCount("FindWindowW"), 0u);
    }
    if (c.windowless) {
      EXPECT_EQ(CallCount("WaitForSingleObject"), 0u);
    }
    EXPECT_TRUE(MutexHandleClosed());
    EXPECT_EQ(m.kernelHandles.Size(), 0u);
    EXPECT_EQ(sim::FindFile(m, kTrayFile) != nullptr, c.fileLeft);
  }
}

// ---------------------------------------------------------------------------------------
// Deleting the program file the Run entry names.

TEST_F(TrayTest, RunEntryDecidesWhichFileIsDeleted) {
  const std::u16string longer = PathOfLength(300);
  const std::u16string cut = longer.substr(0, 263);
  const std::u16string other = u"C:\\Windows\\system32\\kernel32.dll";
  const struct {
    const char* name;
    bool registered;
    std::u16string value;
    DWORD type;
    bool terminated;
    std::vector<std::u16string> files;    // present before
    std::vector<std::u16string> deleted;  // gone after
    uint64_t elapsedMs;
  } cases[] = {
      {"registered file", true, kTrayFile, REG_SZ, true, {kTrayFile}, {kTrayFile}, 0},
      {"file already gone", true, u"C:\\Windows\\orvtray.exe", REG_SZ, true, {kTrayFile}, {}, 0},
      {"directory gone", true, u"C:\\gone\\orvtray.exe", REG_SZ, true, {kTrayFile}, {}, 0},
      {"empty value", true, u"", REG_SZ, true, {kTrayFile}, {}, 0},
      {"stored without terminator", true, kTrayFile, REG_SZ, false, {kTrayFile}, {kTrayFile}, 0},
      {"expandable string", true, kTrayFile, REG_EXPAND_SZ, true, {kTrayFile}, {kTrayFile}, 0},
      {"no value", false, u"", REG_SZ, true, {kTrayFile}, {}, 1000},
      {"not a string", true, kTrayFile, REG_BINARY, true, {kTrayFile}, {}, 1000},
      // Read whole whatever its length: never a path cut short.
      {"longer path", true, longer, REG_SZ, true, {longer, cut}, {longer}, 0},
      {"unterminated longer path", true, longer, REG_SZ, false, {longer, cut}, {longer}, 0},
      // Only the package's own program goes, whatever the value was pointed at.
      {"another program's file", true, other, REG_SZ, true, {other}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InitDefaultMachine(m);
    for (const auto& f : c.files) sim::PutFile(m, f, {'M', 'Z'});
    if (c.registered) Register(c.value, c.type, c.terminated);
    m.calls.clear();

    RemoveTray();

    for (const auto& f : c.files) {
      const bool gone = std::find(c.deleted.begin(), c.deleted.end(), f) != c.deleted.end();
      EXPECT_EQ(sim::FindFile(m, f) == nullptr, gone) << sim::ToUtf8(f).size();
    }
    EXPECT_EQ(m.now, c.elapsedMs);
    // The value goes whatever became of the file.
    EXPECT_EQ(RunValue(), nullptr);
    EXPECT_EQ(CallCount("RegDeleteValueA"), 1u);
  }
}

TEST_F(TrayTest, LockedProgramFileIsRetriedTenTimes) {
  const struct {
    const char* name;
    DWORD access;
    bool module;
    uint64_t unlockAfterMs;  // 0: never
    uint64_t elapsedMs;
    bool fileLeft;
  } cases[] = {
      {"module lock: access denied", 0x80000000, true, 0, 10 * 100, true},
      {"sharing violation", 0x80000000, false, 0, 10 * 10, true},
      {"lock let go after 250 ms", 0x80000000, true, 250, 3 * 100, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InitDefaultMachine(m);
    Register(kTrayFile);
    sim::LockFile(m, kTrayFile, c.access, 0, c.module);
    if (c.unlockAfterMs) sim::UnlockFile(m, kTrayFile, c.unlockAfterMs);
    m.calls.clear();

    RemoveTray();

    EXPECT_EQ(m.now, c.elapsedMs);
    EXPECT_EQ(sim::FindFile(m, kTrayFile) != nullptr, c.fileLeft);
  }
}

TEST_F(TrayTest, FailuresBeforeTheDeletion) {
  const struct {
    const char* name;
    bool mutexFails;
    bool runKeyDenied;
    bool fileLeft;
    bool valueLeft;
  } cases[] = {
      // Without the mutex the program may still run: its file stays, its entry goes.
      {"no mutex handle", true, false, true, false},
      // Without the Run key nothing is touched.
      {"Run key cannot be opened", false, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InitDefaultMachine(m);
    Register(kTrayFile);
    if (c.mutexFails) sim::AddFault(m, "CreateMutexA", ERROR_ACCESS_DENIED);
    if (c.runKeyDenied) sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRunKey)->accessDenied = true;

    RemoveTray();

    EXPECT_EQ(m.now, 0u);
    EXPECT_EQ(sim::FindFile(m, kTrayFile) != nullptr, c.fileLeft);
    EXPECT_EQ(RunValue() != nullptr, c.valueLeft);
    EXPECT_EQ(m.kernelHandles.Size(), 0u);
  }
}

// ---------------------------------------------------------------------------------------
// Registering and starting the tray program.

TEST_F(TrayTest, ProgramPathIsBesideTheInstallersDirectory) {
  const struct {
    std::u16string moduleDir;
    std::u16string path;
  } cases[] = {
      {u"C:\\Program Files\\Orvalstone\\Setup\\", u"C:\\Program Files\\Orvalstone\\orvtray.exe"},
      {u"C:\\Setup\\", u"C:\\orvtray.exe"},
      {u"C:\\Setup", u"C:\\orvtray.exe"},
      {u"C:\\", u"orvtray.exe"},
      {u"\\Setup\\", u"orvtray.exe"},
      {u"Setup", u"orvtray.exe"},
      {u"", u"orvtray.exe"},
      {u"C:/dir/sub/", u"C:/dir\\orvtray.exe"},
      {u"C:\\a/b/", u"C:\\orvtray.exe"},  // a backslash wins over later slashes
  };
  for (const auto& c : cases) {
    WideText dir;
    Assign(dir, c.moduleDir.c_str());
    const WideText path = TrayProgramPath(dir);
    EXPECT_EQ(std::u16string(Chars(path)), c.path) << sim::ToUtf8(c.moduleDir);
  }
}

TEST_F(TrayTest, InstallRegistersAndStartsTheProgram) {
  Assign(context.ModuleDir, u"C:\\Program Files\\Orvalstone\\Setup\\");

  InstallTray(context);

  const sim::RegValue* v = RunValue();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, DWORD(REG_SZ));
  EXPECT_EQ(v->data, Utf16Bytes(kTrayFile));
  const sim::SimProcess* tray = sim::FindRunning(m, "tray");
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->image, kTrayFile);
  EXPECT_EQ(tray->commandLine, u"\"" + kTrayFile + u"\"");
  EXPECT_EQ(tray->creationFlags, DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(tray->showWindow, WORD(SW_SHOW));
  EXPECT_EQ(m.now, 0u);  // nobody waits for the tray program
  EXPECT_EQ(m.kernelHandles.Size(), 0u);

  // A later removal stops that program and takes file and entry away.
  RemoveTray();
  EXPECT_FALSE(tray->running);
  EXPECT_EQ(sim::FindFile(m, kTrayFile), nullptr);
  EXPECT_EQ(RunValue(), nullptr);
}

TEST_F(TrayTest, VersionGateRunKeyAndStartFailuresDecideWhatInstallDoes) {
  const struct {
    const char* name;
    DWORD major;
    DWORD platform;
    bool runKeyDenied;
    bool programMissing;  // a failed start is ignored
    bool registered;
    bool started;
  } cases[] = {
      {"Windows 10", 10, VER_PLATFORM_WIN32_NT, false, false, true, true},
      {"NT 6.0", 6, VER_PLATFORM_WIN32_NT, false, false, true, true},
      {"NT 5.1", 5, VER_PLATFORM_WIN32_NT, false, false, false, false},
      {"not NT", 10, VER_PLATFORM_WIN32_WINDOWS, false, false, false, false},
      {"Run key denied", 10, VER_PLATFORM_WIN32_NT, true, false, false, true},
      {"program missing", 10, VER_PLATFORM_WIN32_NT, false, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    m.kernel.osMajor = c.major;
    m.kernel.osPlatform = c.platform;
    if (c.runKeyDenied) sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRunKey)->accessDenied = true;
    if (c.programMissing) sim::RemoveFile(m, kTrayFile);
    Assign(context.ModuleDir, u"C:\\Program Files\\Orvalstone\\Setup\\");

    InstallTray(context);

    EXPECT_EQ(RunValue() != nullptr, c.registered);
    EXPECT_EQ(sim::FindRunning(m, "tray") != nullptr, c.started);
    EXPECT_EQ(m.kernelHandles.Size(), 0u);
  }
}

TEST_F(TrayTest, LongPathIsRegisteredAndStartedWhole) {
  const std::u16string path = PathOfLength(300);
  const std::u16string dir = path.substr(0, path.size() - std::u16string(u"orvtray.exe").size());
  Assign(context.ModuleDir, (dir + u"Setup\\").c_str());
  sim::PutFile(m, path, {'M', 'Z'});

  EXPECT_TRUE(InstallTray(context));

  ASSERT_NE(RunValue(), nullptr);
  EXPECT_EQ(RunValue()->data, Utf16Bytes(path));
  const sim::CallRecord* start = LastCall("CreateProcessW");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->args, "|\"" + sim::ToUtf8(path) + "\"");
  EXPECT_EQ(m.kernelHandles.Size(), 0u);
}

}  // namespace

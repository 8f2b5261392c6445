#include "tray/tray.h"

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

constexpr char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char16_t kRunValue[] = u"OrvalstoneTray";
const std::u16string kTrayFile = sim::kTrayImage;
const std::u16string kSetup = u"C:\\Program Files\\Orvalstone\\Setup\\";
// A path of 300 characters naming the tray program.
const std::u16string kLong = u"C:\\" + std::u16string(285, u'd') + u"\\orvtray.exe";

class TrayTest : public unit::MachineTest {
 protected:
  void Register(const std::u16string& path, DWORD type = REG_SZ, bool terminated = true) {
    sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, kRunValue, type,
                     unit::Utf16Bytes(path, terminated));
  }
  const sim::RegValue* RunValue() {
    return sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, kRunValue);
  }
  void DenyRunKey() { sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRunKey)->accessDenied = true; }
};

TEST_F(TrayTest, RunEntryDecidesWhichFileIsDeleted) {
  const std::u16string other = u"C:\\Windows\\system32\\kernel32.dll";
  const struct {
    const char* name;
    std::u16string value;  // empty: none registered
    DWORD type;
    bool terminated;
    std::u16string file;  // present before
    bool deleted;
    uint64_t elapsedMs;
    DWORD lockAccess = 0;  // of the file, with a module lock
    bool mutexFails = false, runKeyDenied = false;
  } cases[] = {
      {"registered file", kTrayFile, REG_SZ, true, kTrayFile, true, 0, 0, false, false},
      {"file already gone", u"C:\\Windows\\orvtray.exe", REG_SZ, true, kTrayFile, false, 0, 0},
      {"directory gone", u"C:\\gone\\orvtray.exe", REG_SZ, true, kTrayFile, false, 0, 0},
      {"empty value", u"<empty>", REG_SZ, true, kTrayFile, false, 0, 0},
      {"stored without terminator", kTrayFile, REG_SZ, false, kTrayFile, true, 0, 0},
      {"expandable string", kTrayFile, REG_EXPAND_SZ, true, kTrayFile, true, 0, 0},
      {"no value", u"", REG_SZ, true, kTrayFile, false, 1000, 0},
      {"not a string", kTrayFile, REG_BINARY, true, kTrayFile, false, 1000, 0},
      // Read whole whatever its length: never a path cut short.
      {"longer path", kLong, REG_SZ, true, kLong, true, 0, 0},
      {"unterminated longer path", kLong, REG_SZ, false, kLong, true, 0, 0},
      // Only the package's own program goes, whatever the value was pointed at.
      {"another program's file", other, REG_SZ, true, other, false, 0, 0},
      {"held as an image: access denied", kTrayFile, REG_SZ, true, kTrayFile, false, 10 * 100,
       GENERIC_READ},
      // Without the mutex the program may still run: its file stays, its entry goes.
      {"no mutex handle", kTrayFile, REG_SZ, true, kTrayFile, false, 0, 0, true},
      // Without the Run key nothing is touched.
      {"Run key cannot be opened", kTrayFile, REG_SZ, true, kTrayFile, false, 0, 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    sim::PutFile(m, c.file, {'M', 'Z'});
    if (c.file == kLong) sim::PutFile(m, kLong.substr(0, 263), {'M', 'Z'});
    if (!c.value.empty()) Register(c.value == u"<empty>" ? u"" : c.value, c.type, c.terminated);
    if (c.lockAccess) sim::LockFile(m, c.file, c.lockAccess, 0, true);
    if (c.mutexFails) sim::AddFault(m, "CreateMutexA", ERROR_ACCESS_DENIED);
    if (c.runKeyDenied) DenyRunKey();
    RemoveTray();
    EXPECT_EQ(sim::FindFile(m, c.file) == nullptr, c.deleted);
    EXPECT_TRUE(c.file != kLong || sim::FindFile(m, kLong.substr(0, 263)));
    EXPECT_EQ(m.now, c.elapsedMs);
    // The value goes whatever became of the file.
    EXPECT_EQ(RunValue() != nullptr, c.runKeyDenied);
  }
  // A held file let go of meanwhile goes on a later attempt; one shared wrongly waits less.
  for (const bool module : {true, false}) {
    Fresh();
    Register(kTrayFile);
    sim::LockFile(m, kTrayFile, GENERIC_READ, 0, module);
    if (module) sim::UnlockFile(m, kTrayFile, 250);
    RemoveTray();
    EXPECT_EQ(m.now, module ? 300u : 100u);
    EXPECT_EQ(sim::FindFile(m, kTrayFile) != nullptr, !module);
  }
}

TEST_F(TrayTest, InstallRegistersAndStartsTheProgramBesideTheSetupDirectory) {
  const struct {
    std::u16string moduleDir, path;
  } paths[] = {
      {kSetup, kTrayFile},
      {u"C:\\Setup", u"C:\\orvtray.exe"},
      {u"C:\\", u"orvtray.exe"},
      {u"\\Setup\\", u"orvtray.exe"},
      {u"Setup", u"orvtray.exe"},
      {u"", u"orvtray.exe"},
      {u"C:/dir/sub/", u"C:/dir\\orvtray.exe"},
      {u"C:\\a/b/", u"C:\\orvtray.exe"},  // a backslash wins over later slashes
  };
  for (const auto& c : paths) {
    WideText dir;
    Assign(dir, c.moduleDir.c_str());
    EXPECT_EQ(std::u16string(Chars(TrayProgramPath(dir))), c.path) << sim::ToUtf8(c.moduleDir);
  }
  const std::u16string longSetup = kLong.substr(0, kLong.size() - 11) + u"Setup\\";
  const struct {
    const char* name;
    DWORD major, platform;
    std::u16string moduleDir, program;
    bool runKeyDenied, registered, started;
  } cases[] = {
      {"Windows 10", 10, VER_PLATFORM_WIN32_NT, kSetup, kTrayFile, false, true, true},
      {"NT 6.0, long path", 6, VER_PLATFORM_WIN32_NT, longSetup, kLong, false, true, true},
      {"NT 5.1", 5, VER_PLATFORM_WIN32_NT, kSetup, kTrayFile, false, false, false},
      {"not NT", 10, VER_PLATFORM_WIN32_WINDOWS, kSetup, kTrayFile, false, false, false},
      {"Run key denied", 10, VER_PLATFORM_WIN32_NT, kSetup, kTrayFile, true, false, true},
      {"program missing", 10, VER_PLATFORM_WIN32_NT, kSetup, u"", false, true, false},
      {"no setup directory", 10, VER_PLATFORM_WIN32_NT, u"", kTrayFile, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    m.kernel.osMajor = c.major;
    m.kernel.osPlatform = c.platform;
    if (c.runKeyDenied) DenyRunKey();
    if (c.program.empty()) sim::RemoveFile(m, kTrayFile);
    if (c.program == kLong) sim::PutFile(m, kLong, {'M', 'Z'});
    Assign(context.ModuleDir, c.moduleDir.c_str());
    EXPECT_EQ(InstallTray(context),
              (c.registered && c.started) || c.major == 5 || c.platform != VER_PLATFORM_WIN32_NT);
    const std::u16string path = c.program.empty() ? kTrayFile : c.program;
    EXPECT_EQ(RunValue() ? RunValue()->data : std::vector<uint8_t>{},
              c.registered ? unit::Utf16Bytes(path) : std::vector<uint8_t>{});
    const sim::SimProcess* tray = sim::FindRunning(m, "tray");
    ASSERT_EQ(tray != nullptr, c.started);
    // Only a moment, to see that it stays.
    EXPECT_EQ(m.now, tray ? kTrayStartCheckMs : 0u);
    if (!tray) continue;
    EXPECT_EQ(tray->commandLine, u"\"" + path + u"\"");
    EXPECT_EQ(tray->creationFlags, DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(tray->showWindow, WORD(SW_SHOW));
  }
}

}  // namespace

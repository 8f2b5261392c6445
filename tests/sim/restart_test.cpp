// A restart of the simulated machine: start-up file operations, processes and the objects
// they held, services, and the programs the Run keys start.
#include <gtest/gtest.h>

#include "sim/machine.h"
#include "sim/process_control.h"

namespace {

using namespace std::literals;

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPending[] = u"PendingFileRenameOperations";
constexpr char16_t kRun[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::vector<uint8_t> Bytes(std::u16string_view units) {
  std::vector<uint8_t> out;
  for (char16_t c : units) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

// Strings joined with their terminators, and the list's closing one.
std::vector<uint8_t> MultiString(std::initializer_list<std::u16string_view> strings) {
  std::u16string units;
  for (auto s : strings) {
    units += s;
    units += u'\0';
  }
  units += u'\0';
  return Bytes(units);
}

std::vector<uint8_t> Content(const char* text) {
  return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

class Restart : public ::testing::Test {
 protected:
  void SetUp() override { sim::InitDefaultMachine(m); }
  void Pending(std::vector<uint8_t> data) {
    sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kPending, REG_MULTI_SZ,
                     std::move(data));
  }
  std::string Text(std::u16string_view path) {
    const sim::SimFile* f = sim::FindFile(m, path);
    return f ? std::string(f->data.begin(), f->data.end()) : std::string("(none)");
  }
  sim::Machine m;
};

TEST_F(Restart, CarriesOutPendingOperationsAndForgetsThem) {
  struct Case {
    const char* name;
    std::vector<uint8_t> value;
    std::string a, b, c;  // contents of C:\t\a.dll, b.dll and c.dll afterwards
  } cases[] = {
      {"deletion", MultiString({u"\\??\\C:\\t\\a.dll", u""}), "(none)", "B", "(none)"},
      {"rename over an existing file is refused",
       MultiString({u"\\??\\C:\\t\\a.dll", u"\\??\\C:\\t\\b.dll"}), "A", "B", "(none)"},
      {"replacing rename", MultiString({u"\\??\\C:\\t\\a.dll", u"!\\??\\C:\\t\\b.dll"}), "(none)",
       "A", "(none)"},
      {"rename to a new name then delete the target",
       MultiString({u"\\??\\C:\\t\\b.dll", u"\\??\\C:\\t\\c.dll", u"\\??\\C:\\t\\a.dll", u""}),
       "(none)", "(none)", "B"},
      {"paths without the prefix, in any case", MultiString({u"c:\\T\\A.DLL", u""}), "(none)", "B",
       "(none)"},
      {"a target in a missing directory",
       MultiString({u"\\??\\C:\\t\\a.dll", u"\\??\\C:\\missing-dir\\x.dll"}), "A", "B", "(none)"},
      {"missing source and directory",
       MultiString({u"\\??\\C:\\none.dll", u"", u"\\??\\C:\\t", u""}), "A", "B", "(none)"},
      {"an empty source ends the list", MultiString({u"", u"", u"\\??\\C:\\t\\a.dll", u""}), "A",
       "B", "(none)"},
      {"a source without its target is left alone", Bytes(u"\\??\\C:\\t\\a.dll\0"sv), "A", "B",
       "(none)"},
      // A deletion, then half a character.
      {"odd byte count",
       [] {
         auto v = Bytes(u"\\??\\C:\\t\\a.dll\0\0"sv);
         v.push_back(0);
         return v;
       }(),
       "(none)", "B", "(none)"},
      {"no terminators", Bytes(u"\\??\\C:\\t\\b.dll\0\\??\\C:\\t\\c.dll"sv), "A", "(none)", "B"},
      {"empty value", {}, "A", "B", "(none)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InitDefaultMachine(m);
    sim::PutFile(m, u"C:\\t\\a.dll", Content("A"));
    sim::PutFile(m, u"C:\\t\\b.dll", Content("B"));
    Pending(c.value);
    sim::Restart(m);
    EXPECT_EQ(c.a, Text(u"C:\\t\\a.dll"));
    EXPECT_EQ(c.b, Text(u"C:\\t\\b.dll"));
    EXPECT_EQ(c.c, Text(u"C:\\t\\c.dll"));
    EXPECT_EQ(nullptr, sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kPending));
    EXPECT_TRUE(sim::DirectoryExists(m, u"C:\\t"));
  }
}

TEST_F(Restart, RenameKeepsTheFileWhole) {
  sim::VersionInfo version;
  version.product[3] = 2300;
  sim::SimFile& f = sim::PutFile(m, u"C:\\Windows\\system32\\kvxmon64.new", Content("MZ"), version);
  f.attributes = 0x21;
  const std::vector<uint8_t> contents = f.data;
  Pending(MultiString({u"\\??\\C:\\Windows\\system32\\kvxmon64.new",
                       u"\\??\\C:\\Windows\\system32\\kvxmon64.dll"}));
  sim::Restart(m);
  const sim::SimFile* moved = sim::FindFile(m, u"C:\\Windows\\system32\\kvxmon64.dll");
  ASSERT_NE(nullptr, moved);
  EXPECT_EQ(u"C:\\Windows\\system32\\kvxmon64.dll", moved->path);
  EXPECT_EQ(contents, moved->data);
  EXPECT_EQ(0x21u, moved->attributes);
  ASSERT_TRUE(moved->version.has_value());
  EXPECT_EQ(2300, moved->version->product[3]);
  EXPECT_EQ(nullptr, sim::FindFile(m, u"C:\\Windows\\system32\\kvxmon64.new"));
}

TEST_F(Restart, EndsEveryProcessAndWhatItHeld) {
  // Files locked by other processes and by the tray program, a help viewer that would not
  // close, a stopped spooler, a tray exit that was still on its way.
  sim::LockFile(m, u"C:\\t\\locked.dll", GENERIC_READ, 0, false);
  const uint32_t tray = sim::StartTray(m, "normal", 3000);
  m.fs.locks.push_back({u"C:\\t\\tray.dll", tray, GENERIC_READ, FILE_SHARE_READ, true});
  sim::OpenHelpViewer(m, false);
  sim::Schedule(m, 3000, "process.exit", {{"pid", tray}});
  for (auto& s : m.services.services) s.state = SERVICE_STOPPED;
  {
    sim::MachineScope scope(m);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "held by the program");
    sim::Restart(m);
    // Handles from before the restart name nothing.
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(mutex, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  }
  EXPECT_TRUE(m.processes.processes.empty());
  EXPECT_TRUE(m.processes.mutexes.empty());
  EXPECT_TRUE(m.user.windows.empty());
  EXPECT_TRUE(m.fs.locks.empty());
  for (const auto& e : m.events) {
    EXPECT_TRUE(e.kind.rfind("process.", 0) && e.kind.rfind("window.", 0) &&
                e.kind.rfind("service.", 0))
        << e.kind;
  }
  EXPECT_TRUE(sim::SpoolerRunning(m));
}

TEST_F(Restart, SpoolerStartsUnlessDisabled) {
  for (bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "disabled" : "enabled");
    sim::InitDefaultMachine(m);
    ASSERT_FALSE(m.services.services.empty());
    m.services.services[0].disabled = disabled;
    const uint32_t starts = m.services.services[0].starts;
    sim::Restart(m);
    EXPECT_EQ(!disabled, sim::SpoolerRunning(m));
    EXPECT_EQ(starts + (disabled ? 0 : 1), m.services.services[0].starts);
  }
}

TEST_F(Restart, StartsWhatTheRunKeysName) {
  auto run = [&](HKEY root, const char16_t* name, std::u16string_view line, DWORD type) {
    std::u16string data(line);
    data += u'\0';
    sim::SetRegValue(m, root, kRun, name, type, Bytes(data));
  };
  sim::PutFile(m, sim::kTrayImage, Content("MZ"));
  sim::PutFile(m, u"C:\\Program Files\\Tools\\agent.exe", Content("MZ"));
  run(HKEY_LOCAL_MACHINE, u"OrvalstoneTray", sim::kTrayImage, REG_SZ);
  run(HKEY_LOCAL_MACHINE, u"Gone", u"\"C:\\Program Files\\Gone\\gone.exe\"", REG_SZ);
  run(HKEY_LOCAL_MACHINE, u"NotText", u"C:\\Program Files\\Tools\\agent.exe", REG_BINARY);
  run(HKEY_CURRENT_USER, u"Agent", u"C:\\Program Files\\Tools\\agent.exe /background", REG_SZ);
  // A second registration of the tray program finds the first one running and quits.
  run(HKEY_CURRENT_USER, u"TrayAgain", u"\"C:\\Program Files\\Orvalstone\\orvtray.exe\"", REG_SZ);
  m.processes.trayMode = "ignore";
  sim::Restart(m);

  std::vector<std::string> running;
  for (const auto& p : m.processes.processes) {
    if (p.running) running.push_back(sim::ToUtf8(p.image) + " " + p.mode);
  }
  EXPECT_EQ((std::vector<std::string>{"C:\\Program Files\\Orvalstone\\orvtray.exe ignore",
                                      "C:\\Program Files\\Tools\\agent.exe normal"}),
            running);
  const sim::SimProcess* tray = sim::FindRunning(m, "tray");
  ASSERT_NE(nullptr, tray);
  const sim::SimMutex* mutex = sim::FindMutex(m, sim::kTrayMutexName);
  ASSERT_NE(nullptr, mutex);
  EXPECT_EQ(tray->pid, mutex->ownerPid);
  ASSERT_EQ(1u, m.user.windows.size());
  EXPECT_EQ(sim::kTrayWindowClass, m.user.windows[0].className);
  EXPECT_EQ(tray->pid, m.user.windows[0].ownerPid);

  // Each running program holds its file as its image; the copy that quit holds nothing, and a
  // tray started from outside holds its file as one started by the system does.
  auto holders = [&] {
    std::vector<std::string> out;
    for (const auto& l : m.fs.locks) {
      out.push_back(sim::ToUtf8(l.path) + (sim::FindProcess(m, l.pid)->running ? "" : " ended"));
    }
    return out;
  };
  EXPECT_EQ((std::vector<std::string>{"C:\\Program Files\\Orvalstone\\orvtray.exe",
                                      "C:\\Program Files\\Tools\\agent.exe"}),
            holders());
  sim::EndProcess(m, tray->pid);
  const uint32_t started = sim::StartTray(m);
  ASSERT_NE(0u, started);
  EXPECT_EQ((std::vector<std::string>{"C:\\Program Files\\Tools\\agent.exe",
                                      "C:\\Program Files\\Orvalstone\\orvtray.exe"}),
            holders());
}

}  // namespace

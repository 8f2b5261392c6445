// The orvsim tool and the installer's platform main, run as separate processes on one machine
// directory, as a developer or the setup program would run them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "sim/machine.h"
#include "sim/persist.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct Result {
  int code = -1;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// orvinst's exit status when the platform refuses the run (no command word exits with it).
constexpr int kRefused = 90;

std::vector<uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvsim-tool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "machine";
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs a program in the temporary directory on the test's machine directory.
  Result Run(const char* exe, const std::vector<std::string>& args, const std::string& env = "") {
    std::string command = "cd " + Quote(root_.string()) +
                          " && ORVSIM_MACHINE=" + Quote(dir_.string()) + " " + env + " " +
                          Quote(exe);
    for (const auto& a : args) command += " " + Quote(a);
    command += " >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadAll(root_ / "out.txt");
    r.err = ReadAll(root_ / "err.txt");
    return r;
  }
  Result Orvsim(const std::vector<std::string>& args, const std::string& env = "") {
    return Run(ORVSIM_EXE, args, env);
  }
  Result Orvinst(const std::vector<std::string>& args, const std::string& env = "") {
    return Run(ORVINST_EXE, args, env);
  }
  sim::Machine Load() {
    sim::Machine m;
    std::string error;
    EXPECT_TRUE(sim::LoadMachine(dir_, m, &error)) << error;
    return m;
  }
  std::string State() const { return ReadAll(dir_ / "machine.json"); }

  fs::path root_, dir_;
};

TEST_F(Tool, HelpAndUsage) {
  const Result help = Orvsim({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* command :
       {"new", "show", "printer add", "reg set", "file put", "file lock", "shift", "winsta",
        "helpviewer", "tray start", "fault add", "advance", "restart", "spooler stop"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
  EXPECT_EQ(Orvsim({}).code, 1);
  const Result unknown = Orvsim({"frobnicate"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("unknown command"), std::string::npos) << unknown.err;
}

// What one run leaves, the next run and the tool see.
TEST_F(Tool, RunsShareTheMachine) {
  EXPECT_EQ(Orvsim({"show"}).code, 2);  // no machine yet: the tool does not make one
  EXPECT_FALSE(fs::exists(dir_));

  const Result first = Orvinst({"install"});
  ASSERT_NE(first.code, 2) << first.err;
  const sim::Machine afterFirst = Load();

  const Result shown = Orvsim({"show", "printers", "--json"});
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_EQ(json::parse(shown.out)["printers"]["printers"],
            sim::MachineToJson(afterFirst)["spooler"]["printers"]);

  ASSERT_EQ(
      Orvsim({"printer", "add", "Kept", "--driver", "Microsoft Print To PDF", "--port", "file:"})
          .code,
      0);
  const Result second = Orvinst({"install"});
  ASSERT_NE(second.code, 2) << second.err;
  const sim::Machine afterSecond = Load();
  EXPECT_NE(sim::FindPrinter(const_cast<sim::Machine&>(afterSecond), u"Kept"), nullptr);
  EXPECT_GE(afterSecond.now, afterFirst.now);  // the clock goes on from where it stood
}

// A change made with the tool acts on the next run as it does in-process.
// On a hidden window station the failed install ends at once, without its dialog; each run
// leaves its log file, whose lines are the ones the dialog shows.
TEST_F(Tool, DisabledSpoolerFailsTheNextInstall) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  ASSERT_EQ(Orvsim({"spooler", "stop"}).code, 0);
  ASSERT_EQ(Orvsim({"spooler", "disable"}).code, 0);
  const Result r = Orvinst({"install"});
  EXPECT_EQ(r.code, 100) << r.out << r.err;
  EXPECT_NE(r.out.find("Error(4)"), std::string::npos) << r.out;

  ASSERT_EQ(Orvsim({"winsta", "hidden"}).code, 0);
  EXPECT_NE(Orvsim({"show", "windows"}).out.find("The window station is hidden"),
            std::string::npos);
  const Result hidden = Orvinst({"install"});
  EXPECT_EQ(hidden.code, 100) << hidden.err;
  EXPECT_EQ(hidden.out, "");

  // The log files, oldest first: each holds the dialog's lines (CR LF ends) between its
  // header and closing line.
  const std::string shown = r.out.substr(r.out.find("===\n") + 4);
  std::string dialogLines;
  for (char c : shown.substr(0, shown.find("=== [Close]")))
    dialogLines += c == '\n' ? "\r\n" : std::string(1, c);
  sim::Machine m = Load();
  std::vector<std::string> logs;
  for (const auto& [key, file] : m.fs.files) {
    if (key.find(u"\\setup\\logs\\") != std::u16string::npos)
      logs.emplace_back(file.data.begin(), file.data.end());
  }
  ASSERT_EQ(logs.size(), 2u);
  for (const std::string& log : logs) {
    EXPECT_EQ(
        log.rfind("\xEF\xBB\xBFOrvalstone build 2300, orvinst install, started 2024-05-06 ", 0), 0u)
        << log;
    EXPECT_NE(log.find("UTC\r\nOrvalstone 2300\r\n>Check Spooler\r\n  Error(4): "),
              std::string::npos);
    EXPECT_NE(log.find("\r\nExit code 100, ended 2024-05-06 "), std::string::npos);
  }
  const size_t body = logs[0].find("\r\n") + 2;
  EXPECT_EQ(logs[0].substr(body, logs[0].rfind("Exit code") - body), dialogLines);
}

TEST_F(Tool, ShiftOverrideLastsOneRun) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  EXPECT_EQ(Orvinst({"no-such-command"}, "ORVSIM_SHIFT=1").code, 6);
  EXPECT_FALSE(Load().user.shiftDown);
  ASSERT_EQ(Orvsim({"shift", "down"}).code, 0);
  EXPECT_EQ(Orvinst({"no-such-command"}).code, 6);
  EXPECT_TRUE(Load().user.shiftDown);
}

TEST_F(Tool, DamagedMachineIsRefusedByEveryProgram) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  const std::string whole = State();
  std::ofstream(dir_ / "machine.json", std::ios::trunc) << whole.substr(0, whole.size() / 2);
  const std::string half = State();
  for (const auto& [exe, args] : std::vector<std::pair<const char*, std::vector<std::string>>>{
           {ORVINST_EXE, {"install"}}, {ORVSIM_EXE, {"show"}}, {ORVSIM_EXE, {"spooler", "stop"}}}) {
    const Result r = Run(exe, args);
    EXPECT_EQ(r.code, exe == std::string(ORVINST_EXE) ? kRefused : 2);
    EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
    EXPECT_EQ(State(), half);
  }

  json j = json::parse(whole);
  j["version"] = 2;
  std::ofstream(dir_ / "machine.json", std::ios::trunc) << j.dump();
  const Result newer = Orvinst({"install"});
  EXPECT_EQ(newer.code, kRefused);
  EXPECT_NE(newer.err.find("format version 2"), std::string::npos) << newer.err;

  // A machine whose state file is gone is not replaced by a new one over its files.
  fs::remove(dir_ / "machine.json");
  const auto listing = [&] {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) names.insert(e.path().string());
    return names;
  };
  const auto before = listing();
  const Result lost = Orvinst({"install"});
  EXPECT_EQ(lost.code, kRefused);
  EXPECT_NE(lost.err.find("not empty"), std::string::npos) << lost.err;
  EXPECT_EQ(Orvsim({"new"}).code, 1);
  EXPECT_EQ(listing(), before);
}

TEST_F(Tool, BusyMachineIsRefusedAfterTheWait) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  sim::MachineLock held;
  std::string error;
  ASSERT_TRUE(held.Acquire(dir_, true, 0, &error)) << error;
  for (const auto& [r, code] : {std::pair{Orvinst({"install"}, "ORVSIM_WAIT=0"), kRefused},
                                std::pair{Orvsim({"show"}, "ORVSIM_WAIT=0"), 2}}) {
    EXPECT_EQ(r.code, code);
    EXPECT_NE(r.err.find("in use by another run"), std::string::npos) << r.err;
  }
  held.Release();
  EXPECT_EQ(Orvsim({"show"}, "ORVSIM_WAIT=0").code, 0);
}

TEST_F(Tool, MistakesChangeNothing) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  const std::string before = State();
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"printer", "set", "No such printer", "--comment", "x"}, "no printer"},
      {{"printer", "add", "P", "--driver", "No driver", "--port", "FILE:"}, "no printer driver"},
      {{"printer", "add", "P", "--driver", "Microsoft Print To PDF", "--port", "LPT9:"}, "no port"},
      {{"printer", "add", "A,B", "--driver", "Microsoft Print To PDF", "--port", "FILE:"},
       "not a valid printer name"},
      {{"printer", "add", "Microsoft Print to PDF", "--driver", "Microsoft Print To PDF", "--port",
        "FILE:"},
       "exists already"},
      {{"default", "Nobody"}, "no printer"},
      {{"printer", "add-many", "2", "Q", "--driver", "Microsoft Print To PDF", "--port", "FILE:"},
       "%d once"},
      {{"printer", "add-many", "2", "Q%d", "--driver", "Microsoft Print To PDF", "--port",
        "FILE:", "--default", "3"},
       "--default"},
      {{"reg", "set", "HKLM\\Software\\X", "V", "dword", "12abc"}, "must be a number"},
      {{"reg", "set", "HKLM\\Software\\X", "V", "dword", "4294967296"}, "too large"},
      {{"reg", "set", "HKLM\\Software\\X", "V", "binary", "0g"}, "hex bytes"},
      {{"reg", "set", "HKXX\\Software", "V", "sz", "x"}, "HKLM"},
      {{"reg", "set", "HKLM\\Software\\\\X", "V", "sz", "x"}, "empty name"},
      {{"reg", "set", "HKLM\\Software", "V", "REG_FANCY", "x"}, "unknown value type"},
      {{"reg", "delete", "HKLM\\Software", "Missing"}, "no value"},
      {{"file", "put", "/etc/passwd", "--text", "x"}, "not a Windows path"},
      {{"file", "put", "..\\x.txt", "--text", "x"}, "not a Windows path"},
      {{"file", "put", "\\\\server\\share\\x", "--text", "x"}, "not a Windows path"},
      {{"file", "put", "D:\\x.txt", "--text", "x"}, "outside the machine"},
      {{"file", "put", "C:\\..\\..\\x.txt", "--text", "x"}, "climbs above its drive"},
      {{"file", "put", "C:\\a<b.txt", "--text", "x"}, "does not allow"},
      {{"file", "put", "C:\\Windows", "--text", "x"}, "is a directory"},
      {{"file", "put", "C:\\x.txt"}, "--from HOSTFILE or --text"},
      {{"file", "put", "C:\\x.txt", "--from", "/nonexistent/file"}, "cannot read the host file"},
      {{"file", "put", "C:\\x.txt", "--text", "x", "--version", "1.2.3"}, "A.B.C.D"},
      {{"file", "lock", "C:\\missing.dll"}, "no file"},
      {{"file", "lock", "C:\\Windows\\system32\\kernel32.dll", "--share", "everyone"}, "--share"},
      {{"file", "unlock", "C:\\Windows\\system32\\kernel32.dll"}, "not locked"},
      {{"tray", "start", "--mode", "sleepy"}, "unknown tray mode"},
      {{"fault", "add", "OpenPrinterW", "0"}, "non-zero"},
      {{"fault", "add", "Open Printer", "5"}, "not an API name"},
      {{"fault", "add", "OpenPrinterW", "5", "--times", "2", "--always"}, "not both"},
      {{"advance", "-5"}, "must be a number"},
      {{"spooler", "pause"}, "unknown spooler change"},
      {{"show", "everything"}, "cannot show"},
      {{"printer", "add", "P", "--colour", "red"}, "unknown option"},
      {{"new"}, "already"},
  };
  for (const auto& c : cases) {
    const Result r = Orvsim(c.args);
    EXPECT_EQ(r.code, 1) << c.args[0] << " " << c.args[1] << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_EQ(State(), before) << c.args[0] << " " << c.args[1];
  }
}

// Each change, made by the tool in a process of its own, is in the machine the next run loads.
TEST_F(Tool, ChangesReachTheMachine) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  const fs::path host = root_ / "module.dll";
  std::ofstream(host, std::ios::binary) << std::string("MZ\0\x01", 4);
  const std::u16string kSessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const uint64_t start = Load().now;
  struct Step {
    std::vector<std::string> args;
    std::function<void(sim::Machine&)> check;
  };
  const Step steps[] = {
      {{"printer", "add", "Queue", "--driver", "Microsoft Print To PDF", "--port",
        "file:", "--comment", "first", "--location", "hall"},
       [](sim::Machine& m) {
         sim::SimPrinter* p = sim::FindPrinter(m, u"Queue");
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(p->portName, u"FILE:");  // as the port spells itself
         EXPECT_EQ(p->comment, u"first");
         EXPECT_EQ(p->location, u"hall");
       }},
      {{"printer", "set", "queue", "--comment", "second"},
       [](sim::Machine& m) { EXPECT_EQ(sim::FindPrinter(m, u"Queue")->comment, u"second"); }},
      {{"printer", "data", "Queue", "SubKey", "sz", "{1234}"},
       [](sim::Machine& m) {
         const auto* v = sim::FindPrinterData(*sim::FindPrinter(m, u"Queue"), "", "SubKey");
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->bytes, Bytes(std::string_view("{1234}\0", 7)));
       }},
      {{"printer", "data", "Queue", "--key", "DsUser", "SubKey", "sz", "--hex", "41"},
       [](sim::Machine& m) {
         const auto* v = sim::FindPrinterData(*sim::FindPrinter(m, u"Queue"), "DsUser", "SubKey");
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->bytes, Bytes("A"));
       }},
      {{"default", "Queue"},
       [](sim::Machine& m) { EXPECT_EQ(m.spooler.defaultPrinter, u"Queue"); }},
      {{"printer", "remove", "Queue"},
       [](sim::Machine& m) {
         EXPECT_EQ(sim::FindPrinter(m, u"Queue"), nullptr);
         EXPECT_EQ(m.spooler.defaultPrinter, u"");
       }},
      {{"printer", "add-many", "3", "Q%d", "--driver", "Microsoft Print To PDF", "--port",
        "file:", "--subkey", "k-%d", "--default", "2"},
       [](sim::Machine& m) {
         for (const char* key : {"", "DsUser"}) {
           const auto* v = sim::FindPrinterData(*sim::FindPrinter(m, u"Q3"), key, "SubKey");
           ASSERT_NE(v, nullptr) << key;
           EXPECT_EQ(v->bytes, Bytes(std::string_view("k-3\0", 4)));
         }
         EXPECT_EQ(m.spooler.printers.size(), 4u);
         EXPECT_EQ(m.spooler.defaultPrinter, u"Q2");
       }},
      {{"reg", "set", "HKLM\\Software\\Test", "Count", "dword", "0x10"},
       [](sim::Machine& m) {
         const auto* v = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, u"Software\\Test", u"Count");
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->type, 4u);
         EXPECT_EQ(v->data, (std::vector<uint8_t>{0x10, 0, 0, 0}));
       }},
      {{"reg", "set", "HKCU\\Software\\Test", "", "sz", "--hex", "41 00"},
       [](sim::Machine& m) {
         const auto* v = sim::FindRegValue(m, HKEY_CURRENT_USER, u"Software\\Test", u"");
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->data, (std::vector<uint8_t>{0x41, 0}));
       }},
      {{"reg", "delete", "HKLM\\Software\\Test", "Count"},
       [](sim::Machine& m) {
         EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, u"Software\\Test", u"Count"), nullptr);
       }},
      {{"file", "put", "C:/Temp/./note.txt", "--text", "hello", "--attributes", "readonly"},
       [](sim::Machine& m) {
         sim::SimFile* f = sim::FindFile(m, u"C:\\Temp\\note.txt");
         ASSERT_NE(f, nullptr);
         EXPECT_EQ(f->data, Bytes("hello"));
         EXPECT_EQ(f->attributes, 1u);
       }},
      {{"file", "put", "C:\\Temp\\module.dll", "--from", host.string(), "--version", "1.0.0.2301"},
       [](sim::Machine& m) {
         sim::SimFile* f = sim::FindFile(m, u"C:\\Temp\\module.dll");
         ASSERT_NE(f, nullptr);
         ASSERT_TRUE(f->version.has_value());
         EXPECT_EQ(f->version->product[3], 2301);
         EXPECT_EQ(std::string(f->data.begin(), f->data.begin() + 4), std::string("MZ\0\x01", 4));
       }},
      {{"file", "lock", "C:\\Temp\\module.dll", "--share", "read,delete", "--module"},
       [](sim::Machine& m) {
         ASSERT_EQ(m.fs.locks.size(), 1u);
         EXPECT_EQ(m.fs.locks[0].share, 5u);
         EXPECT_TRUE(m.fs.locks[0].module);
       }},
      {{"file", "unlock", "C:\\Temp\\module.dll"},
       [](sim::Machine& m) { EXPECT_TRUE(m.fs.locks.empty()); }},
      {{"file", "delete", "C:\\Temp\\note.txt"},
       [](sim::Machine& m) { EXPECT_EQ(sim::FindFile(m, u"C:\\Temp\\note.txt"), nullptr); }},
      {{"shift", "down"}, [](sim::Machine& m) { EXPECT_TRUE(m.user.shiftDown); }},
      {{"helpviewer", "open", "--ignores-close"},
       [](sim::Machine& m) {
         ASSERT_EQ(m.user.windows.size(), 1u);
         EXPECT_EQ(m.user.windows[0].behavior, "ignores");
       }},
      {{"tray", "start", "--mode", "exit-holding", "--exit-delay", "3000"},
       [](sim::Machine& m) {
         const sim::SimProcess* p = nullptr;
         for (const auto& q : m.processes.processes) {
           if (q.program == "tray" && q.running) p = &q;
         }
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(p->mode, "exit-holding");
         EXPECT_EQ(p->exitDelayMs, 3000u);
       }},
      {{"fault", "add", "OpenPrinterW", "5", "--times", "3"},
       [](sim::Machine& m) {
         ASSERT_EQ(m.faults.size(), 1u);
         EXPECT_EQ(m.faults[0].error, 5u);
         EXPECT_EQ(m.faults[0].remaining, 3);
       }},
      {{"fault", "add", "AddMonitorW", "0xBB8", "--always"},
       [](sim::Machine& m) {
         ASSERT_EQ(m.faults.size(), 2u);
         EXPECT_EQ(m.faults[1].error, 3000u);
         EXPECT_LT(m.faults[1].remaining, 0);
       }},
      {{"spooler", "slow", "12000", "900"},
       [](sim::Machine& m) {
         EXPECT_EQ(m.services.services[0].startDelayMs, 12000u);
         EXPECT_EQ(m.services.services[0].stopDelayMs, 900u);
       }},
      {{"spooler", "refuse-stop", "1051"},
       [](sim::Machine& m) { EXPECT_EQ(m.services.services[0].stopRefusal, 1051u); }},
      {{"spooler", "stop"}, [](sim::Machine& m) { EXPECT_FALSE(sim::SpoolerRunning(m)); }},
      {{"advance", "5000"}, [&](sim::Machine& m) { EXPECT_EQ(m.now, start + 5000); }},
      {{"file", "put", "C:\\Temp\\old.dll", "--text", "old"}, [](sim::Machine&) {}},
      {{"reg", "set", "HKLM\\" + sim::ToUtf8(kSessionManager), "PendingFileRenameOperations",
        "multi_sz", "\\??\\C:\\Temp\\old.dll", "\\??\\C:\\Temp\\new.dll"},
       [](sim::Machine&) {}},
      {{"restart"},
       [&](sim::Machine& m) {
         EXPECT_EQ(sim::FindFile(m, u"C:\\Temp\\old.dll"), nullptr);
         EXPECT_NE(sim::FindFile(m, u"C:\\Temp\\new.dll"), nullptr);
         EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager,
                                     u"PendingFileRenameOperations"),
                   nullptr);
         EXPECT_TRUE(sim::SpoolerRunning(m));
       }},
  };
  for (const auto& step : steps) {
    const Result r = Orvsim(step.args);
    ASSERT_EQ(r.code, 0) << step.args[0] << ": " << r.err;
    sim::Machine m = Load();
    SCOPED_TRACE(step.args[0] + " " + (step.args.size() > 1 ? step.args[1] : ""));
    step.check(m);
  }
}

TEST_F(Tool, ShowListsWhatTheMachineHolds) {
  ASSERT_EQ(Orvsim({"new"}).code, 0);
  ASSERT_EQ(Orvsim({"file", "put", "C:\\Temp\\x.dll", "--text", "x"}).code, 0);
  ASSERT_EQ(Orvsim({"file", "put", "C:\\Temp\\y.dll", "--text", "y"}).code, 0);
  ASSERT_EQ(Orvsim({"reg", "set", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                    "PendingFileRenameOperations", "multi_sz", "--hex",
                    // \??\C:\Temp\x.dll, "" (delete), then the list's closing NUL
                    "5c003f003f005c0043003a005c00540065006d0070005c0078002e0064006c006c00"
                    "0000000000"})
                .code,
            0);
  const Result text = Orvsim({"show", "pending", "printers", "services"});
  ASSERT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find("\\??\\C:\\Temp\\x.dll  delete"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\"Microsoft Print to PDF\"  (default)"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Spooler  RUNNING"), std::string::npos) << text.out;

  const Result all = Orvsim({"show", "--json"});
  ASSERT_EQ(all.code, 0) << all.err;
  const json j = json::parse(all.out);
  for (const char* section : {"printers", "monitors", "drivers", "services", "files", "registry",
                              "pending", "windows", "processes", "faults", "clock"}) {
    EXPECT_TRUE(j.contains(section)) << section;
  }
  EXPECT_EQ(j["pending"], json::parse(R"([{"from": "\\??\\C:\\Temp\\x.dll", "to": ""}])"));
  size_t files = 0;
  for (const auto& f : j["files"]["files"]) files += f["path"] == "C:\\Temp\\y.dll" ? 1 : 0;
  EXPECT_EQ(files, 1u);
}

}  // namespace

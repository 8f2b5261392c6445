// Every call an install over an installed package makes, and every call of an uninstall, is
// failed in turn, and every such run is also ended (killed) at each call; each is followed
// by one healthy install. The user's queues, their settings and the default printer must
// come through whole, the package must be whole, and a run that left the machine short of
// what a healthy run leaves must not say it succeeded.
//
// Each run happens in a child process of its own, so a crash is counted, not fatal, and an
// ended run leaves its stack behind as a killed process would.
#include <sys/wait.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "sim/machine.h"
#include "sim/process_control.h"

namespace {

using sim::Machine;
using U16 = std::u16string;

const U16 kSystemDir = u"C:\\Windows\\system32\\";
const U16 kMonitorModule = kSystemDir + u"kvxmon64.dll";
const U16 kTrayPath = u"C:\\Program Files\\Orvalstone\\orvtray.exe";
const U16 kRunKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const U16 kSessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const U16 kSettings = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";
const U16 kForeign = u"Front Desk Laser";

struct Queue {
  const char16_t* name;
  const char* subKey;  // null: the queue has none
  const char16_t* comment;
  const char16_t* location;
};
// The package's own queue from the first install, and three the user made, one of them
// the default printer.
const Queue kQueues[] = {
    {u"Orvalstone", nullptr, u"", u""},
    {u"Invoices", "inv-01", u"Monthly invoices", u"Room 12"},
    {u"Letters", "let-02", u"Letters, signed", u"Front desk"},
    {u"Drafts", "drf-03", u"Drafts to check", u"Second floor"},
};
const U16 kDefaultQueue = u"Letters";

struct Outcome {
  int exitCode = -1;
  std::string log;
  std::string misused;  // handles and heap blocks left open or freed wrongly, one per line
};

Outcome Run(Machine& m, const U16& word) {
  m.user.dialogs.clear();
  m.user.shiftDown = true;  // the log is wanted whether or not an error was logged
  m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\" " + word;
  Outcome out;
  out.exitCode = wWinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000)), nullptr,
                          m.kernel.commandLine.data(), SW_SHOWNORMAL);
  for (const auto& fault : sim::TakeHeapAndHandleFaults(m)) out.misused += "\n      " + fault;
  sim::EndRunningProgram(m);
  if (!m.user.dialogs.empty()) out.log = sim::ToUtf8(m.user.dialogs.back().text);
  return out;
}

void PutData(sim::SimPrinter& p, const std::string& key, const char* text) {
  sim::PrinterDataValue v{"SubKey", REG_SZ, {}};
  v.bytes.assign(text, text + std::char_traits<char>::length(text) + 1);
  p.data.push_back({key, {v}});
}

// The package installed by an earlier install, three more queues of the user's, another
// maker's printer on the package's port, and a registered monitor module of an older build,
// so that the monitor is replaced and the printers on its port are moved aside.
void BuildBaseline(Machine& m) {
  sim::InitDefaultMachine(m);
  if (Run(m, u"install").exitCode != 1) {
    std::fprintf(stderr, "sweep: the first install failed\n");
    std::exit(2);
  }
  sim::SimPrinter* own = sim::FindPrinter(m, u"Orvalstone");
  own->comment = kQueues[0].comment;
  own->location = kQueues[0].location;
  for (const Queue& q : kQueues) {
    if (!q.subKey) continue;
    sim::SimPrinter p;
    p.name = q.name;
    p.portName = u"Orvalstone:";
    p.driverName = u"Orvalstone printer";
    p.comment = q.comment;
    p.location = q.location;
    PutData(p, sim::kPlainDataKey, q.subKey);
    PutData(p, "DsUser", q.subKey);
    sim::AddSimPrinter(m, p);
    const U16 key = kSettings + sim::FromUtf8(q.subKey);
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"deleted", REG_DWORD, {1, 0, 0, 0});
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"kept", REG_DWORD, {7, 0, 0, 0});
  }
  sim::SimPrinter foreign;
  foreign.name = kForeign;
  foreign.portName = u"Orvalstone:";
  foreign.driverName = u"Microsoft Print To PDF";
  foreign.comment = u"not ours";
  sim::AddSimPrinter(m, foreign);
  m.spooler.defaultPrinter = kDefaultQueue;
  const sim::SimFile* module = sim::FindFile(m, kMonitorModule);
  sim::PutFile(m, kMonitorModule, module->data, sim::VersionInfo{{1, 0, 0, 2072}, {1, 0, 0, 2072}});
  m.calls.clear();
}

std::string Text(const U16& s) {
  return sim::ToUtf8(s);
}

std::string DataText(const sim::SimPrinter& p, const std::string& key) {
  const sim::PrinterDataValue* v = sim::FindPrinterData(p, key, "SubKey");
  if (!v) return "<none>";
  return std::string(v->bytes.begin(), std::find(v->bytes.begin(), v->bytes.end(), 0));
}

// What a user would miss: one line per fact, so that two machines compare line by line.
std::set<std::string> UserData(Machine& m) {
  std::set<std::string> facts;
  for (const sim::SimPrinter& p : m.spooler.printers) {
    std::string f = "printer " + Text(p.name) + ": driver " + Text(p.driverName) + ", port " +
                    Text(p.portName) + ", comment " + Text(p.comment) + ", location " +
                    Text(p.location);
    if (p.driverName == u"Orvalstone printer") {
      f += ", SubKey " + DataText(p, "") + " / " + DataText(p, "DsUser");
    }
    facts.insert(f);
  }
  facts.insert("default printer " + Text(m.spooler.defaultPrinter));
  for (const Queue& q : kQueues) {
    if (!q.subKey) continue;
    const U16 key = kSettings + sim::FromUtf8(q.subKey);
    facts.insert(std::string("settings ") + q.subKey + ": kept " +
                 (sim::FindRegValue(m, HKEY_CURRENT_USER, key, u"kept") ? "yes" : "no") +
                 ", deleted mark " +
                 (sim::FindRegValue(m, HKEY_CURRENT_USER, key, u"deleted") ? "yes" : "no"));
  }
  return facts;
}

// Whether the system's list of start-up operations names the file as a source.
bool PendingDeletion(Machine& m, const U16& path) {
  const sim::RegValue* v =
      sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations");
  U16 all;
  for (size_t i = 0; v && i + 1 < v->data.size(); i += 2) {
    all += char16_t(v->data[i] | (v->data[i + 1] << 8));
  }
  bool source = true;  // the strings alternate: source, target
  for (size_t start = 0, end; start < all.size(); start = end + 1, source = !source) {
    end = std::min(all.find(u'\0', start), all.size());
    U16 s = all.substr(start, end - start);
    if (s.rfind(u"\\??\\", 0) == 0) s = s.substr(4);
    if (source && sim::FoldPath(s) == sim::FoldPath(path)) return true;
  }
  return false;
}

// The package itself: each part present, or absent.
std::set<std::string> PackageState(Machine& m) {
  std::set<std::string> facts;
  const sim::SimMonitor* monitor = sim::FindMonitor(m, u"Orvalstone:");
  facts.insert("monitor " + (monitor ? Text(monitor->dllName) : std::string("absent")));
  const sim::SimFile* module = sim::FindFile(m, kMonitorModule);
  const auto version = module ? sim::ReadVersionResource(module->data) : std::nullopt;
  facts.insert(
      "monitor module " +
      (module ? std::to_string(version ? version->product[3] : -1) : std::string("absent")) +
      (PendingDeletion(m, kMonitorModule) ? ", pending deletion" : ""));
  const sim::SimDriver* driver = sim::FindDriver(m, u"Orvalstone printer");
  facts.insert(std::string("driver ") + (driver ? "registered" : "absent"));
  if (driver) {
    for (const U16& f : {driver->driverPath, driver->configFile, driver->helpFile}) {
      facts.insert("driver file " + Text(f) + (sim::FindFile(m, f) ? "" : " missing") +
                   (PendingDeletion(m, f) ? ", pending deletion" : ""));
    }
  }
  const sim::RegValue* run = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray");
  facts.insert(std::string("Run entry ") + (run ? "present" : "absent"));
  facts.insert(std::string("tray program file ") +
               (sim::FindFile(m, kTrayPath) ? "present" : "absent"));
  facts.insert(std::string("tray program ") +
               (sim::FindRunning(m, "tray") ? "running" : "not running"));
  return facts;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  for (const auto& f : a) {
    if (!b.count(f)) out.insert(f);
  }
  return out;
}

std::string Describe(const std::set<std::string>& want, const std::set<std::string>& got) {
  std::string out;
  for (const auto& f : Minus(want, got)) out += "\n      missing: " + f;
  for (const auto& f : Minus(got, want)) out += "\n      instead: " + f;
  return out;
}

// A run in a child process: the child's report comes back through a pipe; a child that
// dies on a signal is a crash.
template <class F>
std::string InChild(F body) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string report = body();
    size_t done = 0;
    while (done < report.size()) {
      const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return "crash: signal " + std::to_string(WTERMSIG(status));
  return report;
}

// The setup program copies the package's files, the tray program among them, before it runs
// "install"; an uninstall deletes it.
std::vector<uint8_t> trayProgram;
void SetupCopiesFiles(Machine& m) {
  if (!sim::FindFile(m, kTrayPath)) sim::PutFile(m, kTrayPath, trayProgram);
}

std::jmp_buf endedRun;
void EndRunHere(Machine&) {
  std::longjmp(endedRun, 1);
}

// What a fault of this API looks like.
DWORD ErrorFor(const std::string& api) {
  if (api == "GlobalAlloc" || api == "LocalAlloc" || api == "HeapAlloc") return 8;
  return 5;  // ERROR_ACCESS_DENIED
}

struct Occurrence {
  std::string api;
  uint32_t nth;     // 1-based among the calls of that API
  uint64_t callNo;  // 1-based among all calls of the run
};

// How a run went; each run is one line of `failures` when it failed a check.
struct Tally {
  int runs = 0;
  std::map<std::string, int> tagged;  // runs by the tags of their failed checks
  std::set<std::string> apis;
  std::vector<std::string> failures;
};

struct Reference {
  std::set<std::string> user;       // after a healthy run and the healthy install after it
  std::set<std::string> package;    // after the healthy run itself
  std::set<std::string> installed;  // the package after a healthy install
};

enum class Mode { Fail, End };

// One run: the word with the fault (or the end) at `o`, then a healthy install. The report
// is empty when every check held, else the kinds of failure, one per line, each starting
// with its tag.
std::string OneRun(Machine& m, const U16& word, const Occurrence& o, Mode mode,
                   const Reference& ref, bool install) {
  return InChild([&]() -> std::string {
    Outcome first;
    if (mode == Mode::Fail) {
      sim::AddFault(m, o.api, ErrorFor(o.api), 1, 0, o.nth - 1);
      first = Run(m, word);
      sim::ClearFaults(m);
    } else {
      m.endAtCall = m.callsMade + o.callNo;
      m.onEndAt = EndRunHere;
      if (setjmp(endedRun) == 0) {
        first = Run(m, word);
      } else {
        // The process is gone: its handles and mutexes go with it.
        m.endAtCall = 0;
        sim::EndRunningProgram(m);
        first.exitCode = -1;
      }
      m.endAtCall = 0;
    }
    std::string report;
    if (mode == Mode::Fail) {
      // A tray program that could not be started now starts at the next logon: that run
      // may still say it succeeded.
      auto settled = [](std::set<std::string> facts) {
        facts.erase("tray program running");
        facts.erase("tray program not running");
        return facts;
      };
      const bool success = first.exitCode == 1 || first.exitCode == 2;
      const std::set<std::string> after = settled(PackageState(m));
      if (success && after != settled(ref.package)) {
        report += "false-success: exit " + std::to_string(first.exitCode) +
                  Describe(ref.package, after) + "\n";
      }
      if (first.exitCode == 100 && first.log.find("Error(") != std::string::npos) {
        // The failed call's system text (error 5 or 8) must be in some error line.
        const std::string text = ErrorFor(o.api) == 8 ? "Not enough memory" : "Access is denied";
        if (first.log.find(text) == std::string::npos) report += "unnamed: exit 100\n";
      }
      // A close that fails keeps its handle, as a failed CloseHandle does.
      const bool close = o.api.find("Close") != std::string::npos;
      if (!first.misused.empty() && !close) report += "misused:" + first.misused + "\n";
    }
    SetupCopiesFiles(m);
    const Outcome healthy = Run(m, u"install");
    if (!healthy.misused.empty()) report += "misused: healthy install" + healthy.misused + "\n";
    if (std::getenv("ORVINST_SWEEP_VERBOSE")) {
      std::fprintf(stderr, "=== %s %s #%u: exit %d\n%s\n=== healthy install: exit %d\n%s\n",
                   o.api.c_str(), mode == Mode::Fail ? "failed" : "ended at", o.nth, first.exitCode,
                   first.log.c_str(), healthy.exitCode, healthy.log.c_str());
    }
    const std::set<std::string> user = UserData(m);
    if (install) {
      if (user != ref.user) report += "data-lost:" + Describe(ref.user, user) + "\n";
    } else {
      // An uninstall may take the queues; whatever it left must be whole.
      std::string lost;
      for (const auto& f : Minus(user, ref.user)) {
        if (f.rfind("printer ", 0) == 0 && f.find(Text(kForeign)) == std::string::npos &&
            f.find("printer Orvalstone:") == std::string::npos) {
          lost += "\n      damaged: " + f;
        } else if (f.rfind("printer ", 0) == 0) {
          lost += "\n      instead: " + f;
        }
      }
      for (const auto& f : Minus(ref.user, user)) {
        if (f.find(Text(kForeign)) != std::string::npos) lost += "\n      missing: " + f;
      }
      if (!lost.empty()) report += "data-lost:" + lost + "\n";
    }
    const std::set<std::string> package = PackageState(m);
    if (package != ref.installed || healthy.exitCode != 1) {
      report += "not-whole: healthy install exit " + std::to_string(healthy.exitCode) +
                Describe(ref.installed, package) + "\n";
    }
    return report;
  });
}

std::vector<Occurrence> Occurrences(Machine& m, const U16& word) {
  const std::string calls = InChild([&] {
    Run(m, word);
    std::string out;
    for (const auto& c : m.calls) out += c.api + "\n";
    return out;
  });
  std::vector<Occurrence> all;
  std::map<std::string, uint32_t> seen;
  std::istringstream in(calls);
  uint64_t n = 0;
  for (std::string api; std::getline(in, api);) {
    ++n;
    all.push_back({api, ++seen[api], n});
  }
  return all;
}

// At most `bound` occurrences of each API: the first ones, the last, and an even spread
// between; the same every time.
std::vector<Occurrence> Sample(const std::vector<Occurrence>& all, uint32_t bound) {
  std::map<std::string, uint32_t> total;
  for (const auto& o : all) total[o.api] = std::max(total[o.api], o.nth);
  std::vector<Occurrence> out;
  for (const auto& o : all) {
    const uint32_t t = total[o.api];
    if (t <= bound) {
      out.push_back(o);
      continue;
    }
    const uint32_t step = (t + bound - 1) / bound;
    if (o.nth <= 4 || o.nth == t || o.nth % step == 0) out.push_back(o);
  }
  return out;
}

void Sweep(Machine& m, const U16& word, bool install, Tally& tally) {
  Reference ref;
  // The user's data as it stood, less the "deleted" marks that an install clears.
  for (std::string f : UserData(m)) {
    const size_t mark = f.find("deleted mark yes");
    if (mark != std::string::npos) f.replace(mark, 16, "deleted mark no");
    ref.user.insert(f);
  }
  const std::string r = InChild([&] {
    Run(m, word);
    std::string out;
    for (const auto& f : PackageState(m)) out += "P" + f + "\n";
    SetupCopiesFiles(m);
    Run(m, u"install");
    for (const auto& f : PackageState(m)) out += "I" + f + "\n";
    return out;
  });
  std::istringstream in(r);
  for (std::string line; std::getline(in, line);) {
    auto& set = line[0] == 'P' ? ref.package : ref.installed;
    set.insert(line.substr(1));
  }
  const char* bound = std::getenv("ORVINST_SWEEP_BOUND");
  const std::vector<Occurrence> runs =
      Sample(Occurrences(m, word), uint32_t(bound ? std::atoi(bound) : 12));
  for (Mode mode : {Mode::Fail, Mode::End}) {
    for (const Occurrence& o : runs) {
      // ORVINST_SWEEP_ONLY=API#N runs that occurrence alone (with ORVINST_SWEEP_VERBOSE=1,
      // its logs are shown).
      const char* only = std::getenv("ORVINST_SWEEP_ONLY");
      if (only && o.api + "#" + std::to_string(o.nth) != only) continue;
      ++tally.runs;
      tally.apis.insert(o.api);
      const std::string report = OneRun(m, word, o, mode, ref, install);
      if (report.empty()) continue;
      const std::string what =
          Text(word) + (mode == Mode::Fail ? ": " : ": ended at ") + o.api + " #" +
          std::to_string(o.nth) +
          (mode == Mode::Fail ? " failed (" + std::to_string(ErrorFor(o.api)) + ")" : "");
      tally.failures.push_back(what + "\n    " + report);
      for (const char* tag :
           {"crash", "data-lost", "false-success", "unnamed", "not-whole", "misused"}) {
        if (report.find(tag) != std::string::npos) ++tally.tagged[tag];
      }
    }
  }
}

}  // namespace

int main() {
  static Machine machine;
  sim::SetMachine(&machine);
  BuildBaseline(machine);
  machine.traceOrigins = true;
  trayProgram = sim::FindFile(machine, kTrayPath)->data;
  Tally tally;
  Sweep(machine, u"install", true, tally);
  Sweep(machine, u"uninstall", false, tally);
  for (const auto& f : tally.failures) std::printf("%s", f.c_str());
  std::printf(
      "sweep: %d runs over %zu APIs: %d with data lost, %d crashes, %d failures reported as "
      "success, %d exit-100 logs not naming the failed call, %d not whole after a healthy "
      "install, %d with handles or heap blocks left open or freed wrongly\n",
      tally.runs, tally.apis.size(), tally.tagged["data-lost"], tally.tagged["crash"],
      tally.tagged["false-success"], tally.tagged["unnamed"], tally.tagged["not-whole"],
      tally.tagged["misused"]);
  const int failed = int(tally.failures.size());
  std::printf("%d passed, %d failed\n", tally.runs - failed, failed);
  return failed == 0 ? 0 : 1;
}

// The proof that a repair ("install" over the package) and an "uninstall" are safe from every
// state a machine can be in. A chain starts from one of a few machines (the package installed
// with the user's queues and other makers' printers around it, the same with a spooler slow to
// stop, a fresh machine, an uninstalled one), runs a repair or an uninstall with one call
// failed (once, three times, or for the rest of the run, with each error that call really
// returns) or with the run killed at one call, then a second such run from whatever the first
// left, then a healthy run of the second word. After every run the exit code is checked
// against the machine itself, as the exit codes promise it, and the user's data against what
// the user made, never against what the program did before.
//
// Each chain runs in a child process, so a crash is counted, not fatal, and a killed run
// leaves its stack behind as a killed process would. The state one first run leaves is shared
// by the second runs that follow it: they fork from it.
//
//   ORVINST_SWEEP_SEED=N    the sample (default 20); ORVINST_SWEEP_FIRST=N first runs per
//                           start and word, ORVINST_SWEEP_SECOND=N second runs after each
//                           ("all" for every one); ORVINST_SWEEP_JOBS=N worker processes
//   ORVINST_SWEEP_COUNT=1  counts the chains without running them
//   ORVINST_SWEEP_ONLY="rich install:GlobalAlloc#10=8x1 install install"  replays one chain,
//                           as a failure prints it; with ORVINST_SWEEP_VERBOSE=1, its logs
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
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

const U16 kSetupDir = u"C:\\Program Files\\Orvalstone\\Setup\\";
const U16 kSystemDir = u"C:\\Windows\\system32\\";
const U16 kDriverDir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\";
const U16 kRunKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const U16 kRecordKey = u"Software\\Vantrel Software KFT\\Orvalstone";
const U16 kSettings = kRecordKey + u"\\Orvalstones\\";
const U16 kPort = u"Orvalstone:";
const U16 kDriver = u"Orvalstone printer";

// Where each package file is installed, and the file in the setup folder it is a copy of.
struct PackageFile {
  U16 installed, source;
};
const PackageFile kPackageFiles[] = {
    {kSystemDir + u"kvxmon64.dll", kSetupDir + u"kvxmon64.dll"},
    {kDriverDir + u"kvxdrv64.dll", kSetupDir + u"kvxdrv64.dll"},
    {kDriverDir + u"kvxui64.dll", kSetupDir + u"kvxui64.dll"},
    {kDriverDir + u"kvxhelp.chm", kSetupDir + u"kvxhelp.chm"},
    {sim::kTrayImage, sim::kTrayImage},
};

// The user's queues: plain and DsUser SubKeys that differ, one with only a DsUser SubKey, one
// with bytes beyond ASCII (Windows-1252), and the package's own queue without settings.
struct Queue {
  U16 name;
  const char* plain;  // null: none
  const char* dsUser;
  U16 comment, location;
};
const Queue kQueues[] = {
    {u"Orvalstone", nullptr, nullptr, u"", u""},
    {u"Invoices", "inv-01", "inv-01-ds", u"Monthly invoices", u"Room 12"},
    {u"Letters", nullptr, "let-02", u"Letters, signed", u"Front desk"},
    {u"Entwürfe", "drf-\xE9\xFC", "drf-\xE9\xFC", u"Entwürfe – prüfen", u"2. Stock"},
};
const U16 kDefaultQueue = u"Letters";

// Other makers' printers: one on a pool of another port and the package's, one on the
// package's port alone, one on another port.
struct Foreign {
  U16 name, port;
};
const Foreign kForeign[] = {
    {u"Front Desk Laser", u"LPT1:,Orvalstone:"},
    {u"Label Writer", u"Orvalstone:"},
    {u"Back Office", u"LPT1:"},
};
const U16 kForeignDriver = u"Microsoft Print To PDF";

// The errors each call really returns, two where it has two; a call that cannot fail has none
// and is only killed.
// clang-format off
const std::map<std::string, std::vector<DWORD>> kCodes = {
    {"RegOpenKeyExW", {5, 1450}}, {"RegOpenKeyExA", {5, 1450}}, {"RegCreateKeyExW", {5, 1450}},
    {"RegQueryValueExW", {234, 5}}, {"RegSetValueExW", {5, 1450}},
    {"RegDeleteValueW", {5, 1018}}, {"RegDeleteValueA", {5, 1018}}, {"RegCloseKey", {6}},
    {"GlobalAlloc", {8}}, {"LocalAlloc", {8}}, {"GlobalFree", {6}}, {"LocalFree", {6}},
    {"EnumPrintersW", {122, 1722}}, {"EnumMonitorsW", {122, 1722}},
    {"EnumPrinterDriversW", {122, 1722}}, {"GetPrinterW", {122, 1722}}, {"OpenPrinterW", {5, 1722}},
    {"ClosePrinter", {6}}, {"SetPrinterW", {5, 1722}}, {"AddPrinterW", {1796, 5}},
    {"DeletePrinter", {5, 1722}}, {"GetPrinterDataA", {5, 234}}, {"GetPrinterDataExA", {5, 234}},
    {"SetPrinterDataA", {5, 1722}}, {"SetPrinterDataExA", {5, 1722}}, {"AddMonitorW", {5, 126}},
    {"DeleteMonitorW", {3008, 5}}, {"AddPrinterDriverExW", {5, 2}},
    {"DeletePrinterDriverExW", {3001, 5}}, {"GetPrinterDriverDirectoryW", {122, 1722}},
    {"GetPrinterDriverW", {122, 1797}}, {"OpenSCManagerW", {5, 1722}}, {"OpenServiceW", {5, 1060}},
    {"ControlService", {1061, 1051}}, {"QueryServiceStatus", {5, 6}},
    {"StartServiceW", {1056, 1058}}, {"CloseServiceHandle", {6}}, {"CreateFileW", {5, 32}},
    {"ReadFile", {5, 38}}, {"WriteFile", {112, 5}}, {"DeleteFileW", {5, 32}},
    {"MoveFileExW", {5, 32}}, {"GetFileAttributesW", {5, 32}},
    {"GetModuleFileNameW", {122, 5}}, {"GetSystemDirectoryW", {8, 5}}, {"CreateProcessW", {2, 5}},
    {"CreateMutexA", {5, 8}}, {"WaitForSingleObject", {6}}, {"CloseHandle", {6}},
    {"FindFirstFileW", {2, 5}}, {"FindNextFileW", {5}}, {"FindWindowW", {5}},
    {"PostMessageW", {1400, 5}}, {"GetVersionExA", {87}}, {"GetFileVersionInfoSizeW", {1812, 1813}},
    {"GetFileVersionInfoW", {1812, 1813}}, {"VerQueryValueW", {1813}}, {"Sleep", {}},
    {"GetTickCount", {}}, {"GetSystemTime", {}}, {"GetSecurityDescriptorLength", {}},
    {"EnumPrinterKeyW", {5, 1722}}, {"EnumPrinterDataExW", {5, 1722}},
    {"SetPrinterDataExW", {5, 1722}}, {"RegEnumKeyExW", {5, 1450}}, {"RegDeleteTreeW", {5, 1450}},
};
// clang-format on
const std::vector<DWORD> kOtherCodes = {5, 87};
const int kTimes[] = {1, 3, -1};  // once, three times, for the rest of the run

std::vector<DWORD> CodesOf(const std::string& api) {
  const auto it = kCodes.find(api);
  return it == kCodes.end() ? kOtherCodes : it->second;
}

// One run: a word, healthy or with one fault: "install", "install:GetPrinterW#3=122x1"
// (the third call of GetPrinterW fails with 122, once; x* for the rest of the run),
// "uninstall:end@57" (killed as it makes its 57th call).
struct Step {
  std::string word;
  std::string api;  // empty: healthy, or killed
  uint32_t nth = 0;
  DWORD code = 0;
  int times = 1;
  uint64_t endAt = 0;
};

Step Healthy(const std::string& word) {
  Step s;
  s.word = word;
  return s;
}

std::string Name(const Step& s) {
  if (s.endAt) return s.word + ":end@" + std::to_string(s.endAt);
  if (s.api.empty()) return s.word;
  return s.word + ":" + s.api + "#" + std::to_string(s.nth) + "=" + std::to_string(s.code) + "x" +
         (s.times < 0 ? "*" : std::to_string(s.times));
}

Step Parse(const std::string& text) {
  Step s;
  const size_t colon = text.find(':');
  s.word = text.substr(0, colon);
  if (colon == std::string::npos) return s;
  const std::string f = text.substr(colon + 1);
  if (f.rfind("end@", 0) == 0) {
    s.endAt = std::stoull(f.substr(4));
    return s;
  }
  const size_t hash = f.find('#'), eq = f.find('='), x = f.find('x', eq);
  s.api = f.substr(0, hash);
  s.nth = uint32_t(std::stoul(f.substr(hash + 1, eq - hash - 1)));
  s.code = DWORD(std::stoul(f.substr(eq + 1, x - eq - 1)));
  s.times = f.substr(x + 1) == "*" ? -1 : std::stoi(f.substr(x + 1));
  return s;
}

// Every way one run of `word` can go wrong, from the calls a healthy run makes.
std::vector<Step> Faults(const std::string& word, const std::vector<std::string>& calls) {
  std::vector<Step> out;
  std::map<std::string, uint32_t> seen;
  for (size_t i = 0; i < calls.size(); ++i) {
    const uint32_t nth = ++seen[calls[i]];
    for (DWORD code : CodesOf(calls[i])) {
      for (int times : kTimes) out.push_back({word, calls[i], nth, code, times, 0});
    }
    out.push_back({word, "", 0, 0, 1, i + 1});
  }
  return out;
}

// ---- Running ----

struct Outcome {
  int exitCode = -1;  // -1: killed
  std::string log;
  std::vector<std::string> misused;
};

std::jmp_buf killed;
void KillHere(Machine&) {
  std::longjmp(killed, 1);
}

std::vector<uint8_t> trayProgram;  // the setup puts it back before each install

Outcome Run(Machine& m, const Step& s) {
  sim::SetMachine(&m);
  if (s.word == "install" && !sim::FindFile(m, sim::kTrayImage)) {
    sim::PutFile(m, sim::kTrayImage, trayProgram);
  }
  m.user.dialogs.clear();
  m.user.shiftDown = true;  // the log is wanted whether or not an error was logged
  m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\" " + sim::FromUtf8(s.word);
  if (!s.api.empty()) sim::AddFault(m, s.api, s.code, s.times, 0, s.nth - 1);
  m.callsMade = 0;
  m.endAtCall = s.endAt;
  m.onEndAt = KillHere;
  Outcome out;
  if (setjmp(killed) == 0) {
    out.exitCode = wWinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000)), nullptr,
                            m.kernel.commandLine.data(), SW_SHOWNORMAL);
    out.misused = sim::TakeHeapAndHandleFaults(m);
  } else {
    // The process is gone, and what it held with it; misuses before its end still count.
    out.misused = std::move(m.misuses);
    m.misuses.clear();
  }
  m.endAtCall = 0;
  sim::ClearFaults(m);
  sim::EndRunningProgram(m);
  if (!m.user.dialogs.empty()) out.log = sim::ToUtf8(m.user.dialogs.back().text);
  return out;
}

// A run in a child process; its report comes back through a pipe. A child that dies on a
// signal is a crash.
std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string report = body();
    for (size_t done = 0; done < report.size();) {
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
  if (WIFSIGNALED(status)) report += "    crash: signal " + std::to_string(WTERMSIG(status)) + "\n";
  return report;
}

std::vector<std::string> Calls(Machine& m, const std::string& word) {
  std::istringstream in(InChild([&] {
    m.calls.clear();
    Run(m, Healthy(word));
    std::string out;
    for (const auto& c : m.calls) out += c.api + "\n";
    return out;
  }));
  std::vector<std::string> calls;
  for (std::string api; std::getline(in, api);) calls.push_back(api);
  return calls;
}

// ---- What the machine holds ----

std::string Text(const U16& s) {
  return sim::ToUtf8(s);
}

bool Pending(Machine& m, const U16& path) {
  for (const auto& [source, target] : sim::PendingFileOperations(m)) {
    const U16 bare = source.rfind(u"\\??\\", 0) == 0 ? source.substr(4) : source;
    if (sim::EqualFold(bare, path)) return true;
  }
  return false;
}

// The "N=" names of a record's entries: what a later run finds in it.
// The saved queues are also kept a key each, under a key of the record's name.
std::set<U16> Recorded(Machine& m, const U16& value) {
  std::set<U16> names;
  auto add = [&](const sim::RegValue& v) {
    if (v.type != REG_MULTI_SZ) names.insert(u"<not a multi-string>");
    for (const U16& s : sim::SplitMultiString(v.data)) {
      if (v.type == REG_MULTI_SZ && s.rfind(u"N=", 0) == 0) names.insert(s.substr(2));
    }
  };
  if (const sim::RegValue* v = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRecordKey, value)) add(*v);
  if (const sim::RegKey* keys =
          sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRecordKey + u"\\" + value)) {
    for (const auto& q : keys->subkeys) {
      for (const auto& v : q.values) add(v);
    }
  }
  return names;
}

std::string Data(const sim::SimPrinter& p, std::u16string_view key) {
  const sim::PrinterDataValue* v = sim::FindPrinterData(p, key, u"SubKey");
  if (!v) return "<none>";
  return std::string(v->bytes.begin(), std::find(v->bytes.begin(), v->bytes.end(), 0));
}

// Each user queue as the user set it, beyond the table: made by Rich().
std::map<U16, sim::SimPrinter> gWhole;

// The settings of a user's queue beyond the table: shared (the first as "Front"), its own
// hours, priorities, separator page and attributes, permissions that keep everyone from
// printing, printing defaults of its own (A4 landscape, duplex, and a choice in the
// driver's part) and printer data under keys of the driver's.
void SetWhole(Machine& m, sim::SimPrinter& p, int index) {
  p.shareName = index == 1 ? U16(u"Front") : p.name.substr(0, 3) + u"-share";
  p.attributes |= PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
  p.sepFile = u"C:\\Windows\\System32\\sysprint.sep";
  p.priority = 7;
  p.defaultPriority = 3;
  p.startTime = 8 * 60;
  p.untilTime = 18 * 60;
  p.parameters = u"cover=" + p.name;
  p.datatype = u"NT EMF 1.008";
  p.security = sim::RestrictedPrinterSecurity();
  p.devMode = sim::DriverDevMode(m, p);
  auto* dm = reinterpret_cast<DEVMODEW*>(p.devMode.data());
  dm->dmOrientation = 2;
  dm->dmPaperSize = 9;  // A4
  dm->dmDuplex = 2;
  dm->dmFields |= 0x1000;
  p.devMode.back() = uint8_t(0x40 + index);
  p.data.push_back({u"Prefs\\Paper", {{u"Tray", REG_DWORD, {2, 0, 0, 0}}}});
  p.data.push_back({u"Prefs", {{u"Watermark", REG_BINARY, {uint8_t(index), 0xFF}}}});
}

// What of the user's settings the queue lacks, as ", what" texts.
std::string WholeDamage(Machine& m, const sim::SimPrinter& p) {
  const auto it = gWhole.find(p.name);
  if (it == gWhole.end()) return "";
  const sim::SimPrinter& w = it->second;
  std::string d;
  const DWORD kept = ~DWORD(PRINTER_ATTRIBUTE_DEFAULT);
  if (p.shareName != w.shareName || (p.attributes & kept) != (w.attributes & kept)) {
    d += ", sharing or attributes";
  }
  if (p.sepFile != w.sepFile || p.parameters != w.parameters || p.datatype != w.datatype ||
      p.printProcessor != w.printProcessor) {
    d += ", separator, parameters, datatype or processor";
  }
  if (p.priority != w.priority || p.defaultPriority != w.defaultPriority ||
      p.startTime != w.startTime || p.untilTime != w.untilTime) {
    d += ", priorities or hours";
  }
  if ((p.security.empty() ? sim::DefaultPrinterSecurity() : p.security) != w.security) {
    d += ", permissions";
  }
  if (sim::PrinterDevMode(m, p) != w.devMode) d += ", printing defaults";
  for (const auto& k : w.data) {
    for (const auto& v : k.values) {
      const sim::PrinterDataValue* have = sim::FindPrinterData(p, k.name, v.name);
      if (!have || have->type != v.type || have->bytes != v.bytes) {
        d += ", printer data " + sim::ToUtf8(k.name + u"\\" + v.name);
      }
    }
  }
  return d;
}

// What keeps the queue from being whole where it stands, or "". A queue moved off the package's
// port may stand parked, when the record says where it was.
std::string QueueDamage(Machine& m, const Queue& q, bool parked) {
  const sim::SimPrinter* p = sim::FindPrinter(m, q.name);
  if (!p) return "absent";
  std::string d = WholeDamage(m, *p);
  if (p->driverName != kDriver) d += ", driver " + Text(p->driverName);
  if (p->portName != kPort && !parked) d += ", port " + Text(p->portName);
  if (p->comment != q.comment) d += ", comment \"" + Text(p->comment) + "\"";
  if (p->location != q.location) d += ", location \"" + Text(p->location) + "\"";
  if (q.plain && Data(*p, u"") != q.plain) d += ", SubKey " + Data(*p, u"");
  if (q.dsUser && Data(*p, u"DsUser") != q.dsUser) d += ", DsUser SubKey " + Data(*p, u"DsUser");
  if (q.name == kDefaultQueue && m.spooler.defaultPrinter != q.name) d += ", not the default";
  const char* key = q.plain ? q.plain : q.dsUser;
  if (key && !sim::FindRegValue(m, HKEY_CURRENT_USER, kSettings + sim::FromAnsi(key), u"kept")) {
    d += ", its user settings";
  }
  return d.empty() ? "" : d.substr(2);
}

// ---- The promises ----

struct Chain {
  bool uninstalled = false;        // an uninstall has run: the user's queues may be gone
  bool foreignSet = false;         // the start has the other makers' printers
  bool queuesSet = false;          // the start has the user's queues
  bool slow = false;               // the spooler takes longer to stop than any run waits
  std::set<std::string> reported;  // broken promises already told for this chain
};

// What keeps the package from being installed and whole.
std::vector<std::string> NotWhole(Machine& m) {
  std::vector<std::string> out;
  const sim::SimMonitor* monitor = sim::FindMonitor(m, kPort);
  if (!monitor || !sim::EqualFold(monitor->dllName, u"kvxmon64.dll")) out.push_back("monitor");
  const sim::SimDriver* driver = sim::FindDriver(m, kDriver);
  if (!driver || !sim::EqualFold(driver->driverPath, kPackageFiles[1].installed) ||
      !sim::EqualFold(driver->configFile, kPackageFiles[2].installed) ||
      !sim::EqualFold(driver->helpFile, kPackageFiles[3].installed)) {
    out.push_back("driver");
  }
  for (const PackageFile& f : kPackageFiles) {
    const sim::SimFile* file = sim::FindFile(m, f.installed);
    const sim::SimFile* source = sim::FindFile(m, f.source);
    if (!file ||
        (f.installed == f.source ? file->data != trayProgram : file->data != source->data)) {
      out.push_back("file " + Text(f.installed));
    }
    if (Pending(m, f.installed)) out.push_back("file " + Text(f.installed) + " pending deletion");
  }
  const sim::RegValue* run = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray");
  if (!run || sim::Utf16FromBytes(run->data).c_str() != U16(sim::kTrayImage)) {
    out.push_back("Run entry");
  }
  if (!sim::FindRunning(m, "tray")) out.push_back("tray program not running");
  bool queue = false;
  for (const sim::SimPrinter& p : m.spooler.printers) queue = queue || p.driverName == kDriver;
  if (!queue) out.push_back("no queue of the package");
  return out;
}

// What is left of the package; a file pending deletion at restart says so.
std::vector<std::string> Left(Machine& m) {
  std::vector<std::string> out;
  if (sim::FindMonitor(m, kPort)) out.push_back("monitor");
  if (sim::FindDriver(m, kDriver)) out.push_back("driver");
  for (const PackageFile& f : kPackageFiles) {
    if (sim::FindFile(m, f.installed)) {
      out.push_back("file " + Text(f.installed) + (Pending(m, f.installed) ? " pending" : ""));
    }
  }
  if (sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray")) {
    out.push_back("Run entry");
  }
  // A tray program that would not exit is gone after the restart when its file is.
  if (sim::FindRunning(m, "tray")) {
    const bool handedOver = !sim::FindFile(m, sim::kTrayImage) || Pending(m, sim::kTrayImage);
    out.push_back(std::string("tray program running") + (handedOver ? " pending" : ""));
  }
  for (const sim::SimPrinter& p : m.spooler.printers) {
    if (p.driverName == kDriver) out.push_back("queue " + Text(p.name));
  }
  return out;
}

// Checks one run's outcome against the machine; one line per broken promise.
std::string Check(Machine& m, const Step& s, const Outcome& out, bool spoolerWasRunning,
                  Chain& chain) {
  std::vector<std::string> broken;
  const bool install = s.word == "install";
  const bool killed = out.exitCode == -1;
  // A run that could not tell its word (its command line could not be split) does nothing.
  const bool nothingDone = out.exitCode == 6 && out.log.empty();
  // 1618: another run held the machine (or its lock could not be had): nothing was done, which
  // the checks below hold it to like any run that did not succeed.
  if (!killed && !nothingDone && out.exitCode != 100 && out.exitCode != 101 &&
      out.exitCode != 1618 && out.exitCode != (install ? 1 : 2)) {
    broken.push_back("exit " + std::to_string(out.exitCode));
  }
  // (The log is what the dialog showed: a dialog that failed showed none.)
  if (out.exitCode == 100 && !out.log.empty() && out.log.find("Error(") == std::string::npos) {
    broken.push_back("exit 100 without a numbered error");
  }
  const bool close =
      s.api.find("Close") != std::string::npos || s.api.find("Free") != std::string::npos;
  for (const auto& f : out.misused) {
    if (!close) broken.push_back("misused: " + f);
  }
  if (!install) chain.uninstalled = true;
  // Whatever let time pass while the spooler was on its way down has had its time.
  sim::Advance(m, 60000);
  // A spooler that the system will not start for the rest of the run cannot be helped.
  const bool unstartable = s.times != 1 && (s.api == "StartServiceW" || s.api == "OpenServiceW" ||
                                            s.api == "OpenSCManagerW");
  if (!killed && !unstartable && spoolerWasRunning &&
      m.services.services[0].state != SERVICE_RUNNING) {
    broken.push_back("spooler left stopped");
  }

  const std::set<U16> saved = Recorded(m, u"SavedQueues");
  const std::set<U16> parked = Recorded(m, u"ParkedPrinters");
  const bool success = out.exitCode == 1 || out.exitCode == 2 || out.exitCode == 101;
  // The user's queues: whole where they stand, or recorded for the next run; after an
  // uninstall also gone. A run that says it installed must have them whole now.
  for (const Queue& q : kQueues) {
    if (!chain.queuesSet) break;
    const std::string damage = QueueDamage(m, q, parked.count(q.name) && !(install && success));
    if (damage.empty() || (!success && saved.count(q.name))) continue;
    if (chain.uninstalled && damage == "absent") continue;
    broken.push_back("queue " + Text(q.name) + ": " + damage);
  }
  for (const Foreign& f : kForeign) {
    if (!chain.foreignSet) break;
    const sim::SimPrinter* p = sim::FindPrinter(m, f.name);
    if (!p || p->driverName != kForeignDriver) {
      broken.push_back("printer " + Text(f.name) + " lost");
    } else if (p->portName != f.port && !(parked.count(f.name) && !(install && success))) {
      broken.push_back("printer " + Text(f.name) + " on " + Text(p->portName));
    }
  }
  if (success && !saved.empty()) broken.push_back("SavedQueues left behind");
  if (success) {
    for (const Foreign& f : kForeign) {
      const sim::SimPrinter* p = sim::FindPrinter(m, f.name);
      if (parked.count(f.name) && p && p->portName == f.port) {
        broken.push_back("ParkedPrinters entry of " + Text(f.name) + " left behind");
      }
    }
    if (install && !parked.empty()) broken.push_back("ParkedPrinters left behind");
  }
  // The package against the exit code.
  if (install && success) {
    for (const auto& f : NotWhole(m)) {
      // A tray program that did not start now starts from its Run entry at the restart.
      if (out.exitCode == 101 && f == "tray program not running") continue;
      // Not started where no one would see it, as the log says: the Run entry starts it.
      if (f == "tray program not running" &&
          out.log.find("The tray program is not started") != std::string::npos) {
        continue;
      }
      broken.push_back("exit " + std::to_string(out.exitCode) + ", yet " + f);
    }
  }
  if (!install && success) {
    for (const auto& f : Left(m)) {
      const bool pending = f.size() > 8 && f.substr(f.size() - 8) == " pending";
      if (out.exitCode == 2 || !pending)
        broken.push_back("exit " + std::to_string(out.exitCode) + ", yet " + f);
    }
  }
  if (out.exitCode == 101 && sim::PendingFileOperations(m).empty()) {
    broken.push_back("exit 101 with nothing pending");
  }
  std::string report;
  for (const auto& b : broken) report += "    " + b + "\n";
  return report;
}

// ---- The start states ----

void PutSubKey(sim::SimPrinter& p, const U16& key, const char* text) {
  if (!text) return;
  sim::PutPrinterData(*sim::FindDataKey(p, key, true), u"SubKey", REG_SZ,
                      {text, text + std::char_traits<char>::length(text) + 1});
}

bool Install(Machine& m) {
  return Run(m, Healthy("install")).exitCode == 1;
}

// The package installed, an older monitor module in place (so that a repair replaces it and
// moves the printers on its port aside), the user's queues and the other makers' printers.
bool Rich(Machine& m) {
  sim::InitDefaultMachine(m);
  if (!Install(m)) return false;
  for (const Queue& q : kQueues) {
    if (sim::FindPrinter(m, q.name)) continue;  // the package's own, from the install
    sim::SimPrinter p;
    p.name = q.name;
    p.portName = kPort;
    p.driverName = kDriver;
    p.comment = q.comment;
    p.location = q.location;
    PutSubKey(p, sim::kPlainDataKey, q.plain);
    PutSubKey(p, u"DsUser", q.dsUser);
    SetWhole(m, p, int(&q - kQueues));
    gWhole[p.name] = p;
    sim::AddSimPrinter(m, p);
    const U16 key = kSettings + sim::FromAnsi(q.plain ? q.plain : q.dsUser);
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"deleted", REG_DWORD, {1, 0, 0, 0});
    sim::SetRegValue(m, HKEY_CURRENT_USER, key, u"kept", REG_DWORD, {7, 0, 0, 0});
  }
  for (const Foreign& f : kForeign) {
    sim::SimPrinter p;
    p.name = f.name;
    p.portName = f.port;
    p.driverName = kForeignDriver;
    p.comment = u"not ours";
    sim::AddSimPrinter(m, p);
  }
  m.spooler.defaultPrinter = kDefaultQueue;
  const sim::SimFile* module = sim::FindFile(m, kPackageFiles[0].installed);
  sim::PutFile(m, kPackageFiles[0].installed, module->data,
               sim::VersionInfo{{1, 0, 0, 2072}, {1, 0, 0, 2072}});
  return true;
}

struct Start {
  const char* name;
  bool (*build)(Machine&);
  Chain chain;
};
const Start kStarts[] = {
    {"rich", Rich, {false, true, true, false, {}}},
    {"rich-slow",
     [](Machine& m) {
       // A spooler with jobs in flight takes half a minute to stop.
       if (!Rich(m)) return false;
       m.services.services[0].stopDelayMs = 30000;
       return true;
     },
     {false, true, true, true, {}}},
    {"rich-bad-record",
     [](Machine& m) {
       // A record of the wrong type, as another tool or a damaged hive may leave it.
       if (!Rich(m)) return false;
       sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRecordKey, u"SavedQueues", REG_DWORD, {1, 0, 0, 0});
       return true;
     },
     {false, true, true, false, {}}},
    {"fresh",
     [](Machine& m) {
       sim::InitDefaultMachine(m);
       return true;
     },
     {}},
    {"uninstalled",
     [](Machine& m) { return Rich(m) && Run(m, Healthy("uninstall")).exitCode == 2; },
     {true, true, true, false, {}}},
};
constexpr size_t kStartCount = sizeof kStarts / sizeof kStarts[0];
Machine starts[kStartCount];

// ---- Chains ----

bool verbose = false;

// Runs one step and checks it; the report names the chain so far when a promise broke. The
// last, healthy run of a chain must also finish the job.
std::string Step1(Machine& m, const std::string& chainName, const Step& s, Chain& chain,
                  bool last = false) {
  const bool running = m.services.services[0].state == SERVICE_RUNNING;
  // A record of the wrong type is an error of the run that finds it, healthy or not.
  const bool damaged = Recorded(m, u"SavedQueues").count(u"<not a multi-string>") != 0;
  const Outcome out = Run(m, s);
  if (verbose) {
    std::fprintf(stderr, "=== %s: exit %d\n%s\n", Name(s).c_str(), out.exitCode, out.log.c_str());
  }
  std::istringstream lines(Check(m, s, out, running, chain) +
                           (last && !chain.slow && !damaged && out.exitCode == 100
                                ? "    healthy " + s.word + " exit 100\n"
                                : ""));
  std::string broken;
  for (std::string line; std::getline(lines, line);) {
    if (chain.reported.insert(line).second) broken += line + "\n";
  }
  return broken.empty() ? "" : "FAIL " + chainName + "\n" + broken;
}

// A chain as a failure names it: the start, then its steps.
std::string Replay(const std::string& line) {
  std::istringstream in(line);
  std::string start;
  in >> start;
  size_t i = 0;
  while (i < kStartCount && start != kStarts[i].name) ++i;
  if (i == kStartCount) return "FAIL " + line + "\n    no such start\n";
  std::vector<Step> steps;
  for (std::string s; in >> s;) steps.push_back(Parse(s));
  return InChild([&] {
    Machine& m = starts[i];
    sim::SetMachine(&m);
    m.traceOrigins = true;
    Chain chain = kStarts[i].chain;
    std::string report, name = start;
    for (size_t k = 0; k < steps.size(); ++k) {
      name += " " + Name(steps[k]);
      report += Step1(m, name, steps[k], chain, k == 2);
    }
    return report + "=chains 1\n";
  });
}

size_t Limit(const char* variable, size_t byDefault, size_t all) {
  const char* v = std::getenv(variable);
  if (!v) return byDefault;
  return std::string(v) == "all" ? all : size_t(std::atol(v));
}

// `n` of them, drawn with the generator; all when there are no more.
std::vector<Step> Pick(std::vector<Step> all, size_t n, std::mt19937_64& rng) {
  if (n >= all.size()) return all;
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(n);
  return all;
}

// From one start: the first run, then from the state it left each second run (a healthy one
// among them) with the healthy run of its word after it.
std::string FirstAndAfter(size_t start, const Step& first, uint64_t seed) {
  return InChild([&] {
    Machine& m = starts[start];
    sim::SetMachine(&m);
    Chain chain = kStarts[start].chain;
    const std::string name = std::string(kStarts[start].name) + " " + Name(first);
    std::string report = Step1(m, name, first, chain);
    std::mt19937_64 rng(seed);
    size_t chains = 0;
    for (const std::string word : {"install", "uninstall"}) {
      std::vector<Step> seconds = Faults(word, Calls(m, word));
      seconds = Pick(seconds, Limit("ORVINST_SWEEP_SECOND", 2, seconds.size()), rng);
      seconds.insert(seconds.begin(), Healthy(word));
      for (const Step& second : seconds) {
        if (++chains && std::getenv("ORVINST_SWEEP_COUNT")) continue;
        report += InChild([&] {
          Chain c = chain;
          const std::string n = name + " " + Name(second);
          const bool healthy = second.api.empty() && !second.endAt;
          const std::string r = Step1(m, n, second, c, healthy);
          return healthy ? r : r + Step1(m, n + " " + word, Healthy(word), c, true);
        });
      }
    }
    return report + "=chains " + std::to_string(chains) + "\n";
  });
}

struct Tally {
  size_t chains = 0;
  std::vector<std::string> failures;
  std::map<std::string, std::pair<size_t, std::string>> kinds;  // broken promise: count, chain
  void Add(const std::string& report) {
    std::istringstream in(report);
    std::string chain;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("=chains ", 0) == 0) {
        chains += std::stoul(line.substr(8));
      } else if (line.rfind("FAIL ", 0) == 0) {
        chain = line.substr(5);
        failures.push_back(line + "\n");
      } else if (!failures.empty()) {
        failures.back() += line + "\n";
        auto& kind = kinds[line];
        if (kind.first++ == 0) kind.second = chain;
      }
    }
  }
};

// The first runs spread over worker processes; each worker's report in a file of its own.
// ORVINST_SWEEP_SHARD=K/N takes every N-th first run from the K-th on (K from 0), so that
// machines can share the whole enumeration.
Tally Sweep(const std::vector<std::pair<size_t, Step>>& firsts, uint64_t seed, size_t jobs) {
  const char* shardText = std::getenv("ORVINST_SWEEP_SHARD");
  size_t shard = 0, shards = 1;
  if (shardText) std::sscanf(shardText, "%zu/%zu", &shard, &shards);
  std::vector<std::pair<pid_t, FILE*>> workers;
  for (size_t w = 0; w < jobs; ++w) {
    FILE* out = std::tmpfile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      for (size_t k = w; k < firsts.size(); k += jobs) {
        if (k % shards != shard) continue;
        const auto& [start, first] = firsts[k];
        const uint64_t own = seed ^ std::hash<std::string>()(kStarts[start].name + Name(first));
        std::fputs(FirstAndAfter(start, first, own).c_str(), out);
      }
      std::fflush(out);
      _exit(0);
    }
    workers.push_back({pid, out});
  }
  Tally tally;
  for (auto& [pid, out] : workers) {
    int status = 0;
    waitpid(pid, &status, 0);
    std::rewind(out);
    std::string report;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) report.append(buffer, n);
    std::fclose(out);
    tally.Add(report);
  }
  return tally;
}

}  // namespace

int main() {
  verbose = std::getenv("ORVINST_SWEEP_VERBOSE") != nullptr;
  {
    static Machine fresh;
    sim::SetMachine(&fresh);
    sim::InitDefaultMachine(fresh);
    trayProgram = sim::FindFile(fresh, sim::kTrayImage)->data;
  }
  for (size_t i = 0; i < kStartCount; ++i) {
    sim::SetMachine(&starts[i]);
    if (!kStarts[i].build(starts[i])) {
      std::fprintf(stderr, "sweep: the start \"%s\" could not be made\n", kStarts[i].name);
      return 2;
    }
    starts[i].calls.clear();
  }
  Tally tally;
  if (const char* only = std::getenv("ORVINST_SWEEP_ONLY")) {
    tally.Add(Replay(only));
  } else {
    const char* seedText = std::getenv("ORVINST_SWEEP_SEED");
    const uint64_t seed = seedText ? std::strtoull(seedText, nullptr, 10) : 20;
    std::mt19937_64 rng(seed);
    std::vector<std::pair<size_t, Step>> firsts;
    size_t all = 0;
    for (size_t i = 0; i < kStartCount; ++i) {
      for (const std::string word : {"install", "uninstall"}) {
        std::vector<Step> faults = Faults(word, Calls(starts[i], word));
        all += faults.size();
        firsts.push_back({i, Healthy(word)});
        for (const Step& s : Pick(faults, Limit("ORVINST_SWEEP_FIRST", 55, faults.size()), rng)) {
          firsts.push_back({i, s});
        }
      }
    }
    std::printf("sweep: seed %llu, %zu first runs of %zu\n", (unsigned long long)seed,
                firsts.size(), all + 2 * kStartCount);
    std::fflush(stdout);
    tally = Sweep(firsts, seed, Limit("ORVINST_SWEEP_JOBS", 2, 2));
  }
  const size_t shown = std::min<size_t>(tally.failures.size(), 100);
  for (size_t i = 0; i < shown; ++i) std::printf("%s", tally.failures[i].c_str());
  if (shown < tally.failures.size())
    std::printf("... and %zu more\n", tally.failures.size() - shown);
  std::printf("broken promises, each with the first chain that broke it:\n");
  for (const auto& [kind, seen] : tally.kinds) {
    std::printf("%6zu %s\n         %s\n", seen.first, kind.c_str() + 4, seen.second.c_str());
  }
  std::printf("sweep: %zu chains, %zu runs that broke a promise\n", tally.chains,
              tally.failures.size());
  return tally.failures.empty() ? 0 : 1;
}

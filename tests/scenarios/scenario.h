// Whole runs of the installer: a prepared machine, one command through the entry function,
// then the log the dialog showed and the machine's state afterwards, each compared with the
// one kept in expected/<name>.log and expected/<name>.state.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "sim/machine.h"
#include "sim/process_control.h"

namespace scenario {

inline const std::u16string kSetupDir = u"C:\\Program Files\\Orvalstone\\Setup\\";
inline const std::u16string kSystemDir = u"C:\\Windows\\system32\\";
inline const std::u16string kMonitorModule = kSystemDir + u"kvxmon64.dll";
inline const std::u16string kTrayPath = u"C:\\Program Files\\Orvalstone\\orvtray.exe";
inline const std::u16string kRunKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::u16string kSessionManager =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline const std::u16string kPackageKey = u"Software\\Vantrel Software KFT\\Orvalstone";
inline const std::u16string kSettings = kPackageKey + u"\\Orvalstones";
// Where install and uninstall runs leave their log files.
inline const std::u16string kLogsDir = kSetupDir + u"Logs";

// A module version whose fourth product part is `build`.
inline sim::VersionInfo Build(uint16_t build) {
  return {{1, 0, 0, build}, {1, 0, 0, build}};
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// REG_SZ / REG_MULTI_SZ data: UTF-16 units, little-endian, as the registry stores them.
// The contents of a monitor module of the package (`tag` tells copies apart).
inline std::vector<uint8_t> MonitorBytes(const std::string& tag) {
  return Bytes("MZ kvxmon64 " + tag + " " + std::string(sim::kMonitorEntryPoint));
}
inline std::vector<uint8_t> Utf16Bytes(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

inline sim::SimPrinter Queue(const char16_t* name, const char16_t* port = u"Orvalstone:",
                             const char16_t* driver = u"Orvalstone printer") {
  sim::SimPrinter p;
  p.name = name;
  p.portName = port;
  p.driverName = driver;
  return p;
}

// A queue's "SubKey" printer data, plain (sim::kPlainDataKey) or under `key`.
inline void PutPrinterData(sim::SimPrinter& p, const std::u16string& key, const std::string& text) {
  std::vector<uint8_t> bytes = Bytes(text);
  bytes.push_back(0);
  sim::PutPrinterData(*sim::FindDataKey(p, key, true), u"SubKey", REG_SZ, std::move(bytes));
}

struct Outcome {
  int exitCode = -1;
  bool dialogShown = false;
  std::u16string title;
  std::string log;             // as the dialog showed it, CR LF turned to LF, UTF-8
  std::string dialogText;      // as the dialog showed it, UTF-8
  std::string started, ended;  // the machine's clock at the run's start and end, UTC
  std::u16string logFileName;  // the log file the run added, if any
  std::string logFile;         // its bytes
};

// Logs beside the running installer, wherever it lies.
inline std::u16string LogsDirOf(const sim::Machine& m) {
  return m.kernel.modulePath.substr(0, m.kernel.modulePath.rfind(u'\\') + 1) + u"Logs";
}

// The names of the files in Logs, oldest first (as their names sort).
inline std::vector<std::u16string> LogFileNames(sim::Machine& m) {
  const std::u16string folder = sim::FoldPath(LogsDirOf(m)) + u"\\";
  std::vector<std::u16string> names;
  for (const auto& [key, file] : m.fs.files) {
    if (key.starts_with(folder) && key.find(u'\\', folder.size()) == std::u16string::npos) {
      names.push_back(file.path.substr(folder.size()));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string FileText(sim::Machine& m, const std::u16string& path) {
  const sim::SimFile* f = sim::FindFile(m, path);
  return f ? std::string(f->data.begin(), f->data.end()) : "<no file>";
}

// "2024-05-06 07:30:00 UTC": the machine's clock, read without recording a call.
inline std::string ClockText(sim::Machine& m) {
  const bool recording = m.recordCalls;
  m.recordCalls = false;
  SYSTEMTIME t = {};
  GetSystemTime(&t);
  m.recordCalls = recording;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

// Runs one command line (the words after the program path) as the platform's main does,
// and lets the program end as the system would end it.
inline Outcome RunCommand(sim::Machine& m, const std::u16string& words) {
  m.user.dialogs.clear();
  m.traceOrigins = true;
  m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\" " + words;
  Outcome out;
  const std::vector<std::u16string> before = LogFileNames(m);
  out.started = ClockText(m);
  out.exitCode = wWinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000)), nullptr,
                          m.kernel.commandLine.data(), SW_SHOWNORMAL);
  out.ended = ClockText(m);
  for (const auto& fault : sim::TakeHeapAndHandleFaults(m)) ADD_FAILURE() << fault;
  sim::EndRunningProgram(m);
  for (const auto& name : LogFileNames(m)) {
    if (std::find(before.begin(), before.end(), name) != before.end()) continue;
    EXPECT_TRUE(out.logFileName.empty()) << "a second new log file";
    out.logFileName = name;
    out.logFile = FileText(m, LogsDirOf(m) + u"\\" + name);
  }
  if (!m.user.dialogs.empty()) {
    out.dialogShown = true;
    out.title = m.user.dialogs.back().title;
    out.dialogText = sim::ToUtf8(m.user.dialogs.back().text);
    // Every line ends in CR LF; a lone CR or LF would be a broken line and must show.
    out.log = out.dialogText;
    for (size_t at = 0; (at = out.log.find("\r\n", at)) != std::string::npos;) out.log.erase(at, 1);
  }
  return out;
}

// Compares text with expected/<file>. With ORVINST_UPDATE_EXPECTED=1 the file is written from
// the run instead; every such file is read and checked by hand before it is kept.
inline void ExpectText(const std::string& file, const std::string& actual) {
  const std::string path = std::string(ORVINST_EXPECTED_DIR) + "/" + file;
  if (const char* update = std::getenv("ORVINST_UPDATE_EXPECTED"); update && update[0] == '1') {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "missing " << path;
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(actual, content.str()) << file;
}

// UTF-16 registry data with every terminator shown as \0, so its exact bytes show.
inline std::string Utf16Text(const std::vector<uint8_t>& data) {
  std::string out;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = char16_t(data[i] | (data[i + 1] << 8));
    out += c ? sim::ToUtf8(std::u16string(1, c)) : "\\0";
  }
  return data.size() % 2 ? out + " and an odd byte" : out;
}

// What the package may have changed on the machine, one fact a line: monitors, drivers,
// queues with their settings, the default printer, the files (but logs) with their builds,
// the Run values, pending file operations, the spooler and the tray program.
inline std::string State(sim::Machine& m) {
  std::ostringstream o;
  const auto u8 = [](const std::u16string& s) { return sim::ToUtf8(s); };
  for (auto& x : m.spooler.monitors) o << "monitor " << u8(x.name) << " " << u8(x.dllName) << "\n";
  for (auto& x : m.spooler.drivers) o << "driver " << u8(x.name) << " " << u8(x.driverPath) << "\n";
  for (const auto& p : m.spooler.printers) {
    o << "printer " << u8(p.name) << " on " << u8(p.portName) << " of " << u8(p.driverName)
      << " through " << u8(p.printProcessor) << ", comment \"" << u8(p.comment) << "\", location \""
      << u8(p.location) << "\"\n";
    // What a user sets beyond those, where it is not what a new queue has.
    if (!p.shareName.empty() || !p.sepFile.empty() || !p.parameters.empty() || p.priority != 1 ||
        p.startTime || p.untilTime || p.attributes != 0x40) {
      o << "  settings share \"" << u8(p.shareName) << "\", separator \"" << u8(p.sepFile)
        << "\", parameters \"" << u8(p.parameters) << "\", " << u8(p.datatype) << ", attributes "
        << p.attributes << ", priority " << p.priority << "/" << p.defaultPriority << ", hours "
        << p.startTime << "-" << p.untilTime << "\n";
    }
    if (!p.devMode.empty()) {
      const auto* dm = reinterpret_cast<const DEVMODEW*>(p.devMode.data());
      o << "  defaults orientation " << dm->dmOrientation << ", paper " << dm->dmPaperSize
        << ", duplex " << dm->dmDuplex << ", driver build " << dm->dmDriverVersion << " with "
        << dm->dmDriverExtra << " bytes of its own ending " << int(p.devMode.back()) << "\n";
    }
    if (!p.security.empty()) {
      o << "  security " << (p.security == sim::DefaultPrinterSecurity() ? "as made" : "its own")
        << ", " << p.security.size() << " bytes\n";
    }
    for (const auto& k : p.data) {
      for (const auto& v : k.values) {
        const auto end = std::find(v.bytes.begin(), v.bytes.end(), 0);
        o << "  data " << u8(k.name) << "\\" << u8(v.name) << " = "
          << (v.type == REG_SZ ? "\"" + std::string(v.bytes.begin(), end) + "\""
                               : "type " + std::to_string(v.type) + ", " +
                                     std::to_string(v.bytes.size()) + " bytes")
          << "\n";
      }
    }
  }
  o << "default printer \"" << u8(m.spooler.defaultPrinter) << "\"\n";
  std::set<std::string> files;  // by path (each path is there once)
  for (const auto& [key, f] : m.fs.files) {
    if (f.path.find(u"\\Logs\\") != std::u16string::npos) continue;
    const auto v = sim::ReadVersionResource(f.data);
    files.insert("file " + u8(f.path) + (v ? " build " + std::to_string(v->product[3]) : ""));
  }
  for (const auto& f : files) o << f << "\n";
  if (const sim::RegKey* run = sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRunKey))
    for (const auto& v : run->values)
      o << "run " << u8(v.name) << " = " << Utf16Text(v.data) << "\n";
  if (const sim::RegValue* v = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager,
                                                 u"PendingFileRenameOperations")) {
    o << "pending " << Utf16Text(v->data) << "\n";
  }
  // The record of saved queues and parked printers, and anything set aside beside it.
  if (const sim::RegKey* record = sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kPackageKey)) {
    auto show = [&](const std::u16string& name, const sim::RegValue& v) {
      o << "record " << u8(name) << " = "
        << (v.type == REG_MULTI_SZ ? Utf16Text(v.data) : "type " + std::to_string(v.type)) << "\n";
    };
    for (const auto& v : record->values)  // but InstalledBuild, which has its own line below
      if (v.name != u"InstalledBuild") show(v.name, v);
    // The saved queues, a key each.
    for (const auto& sub : record->subkeys) {
      for (const auto& v : sub.values) show(sub.name + u"\\" + v.name, v);
      for (const auto& q : sub.subkeys)
        for (const auto& v : q.values) show(sub.name + u"\\" + q.name + u"\\" + v.name, v);
    }
  }
  if (const sim::RegValue* v =
          sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kPackageKey, u"InstalledBuild")) {
    DWORD build = 0;
    if (v->type == REG_DWORD && v->data.size() == sizeof build)
      std::memcpy(&build, v->data.data(), sizeof build);
    o << "installed build " << build << "\n";
  }
  if (const sim::RegKey* settings = sim::FindRegKey(m, HKEY_CURRENT_USER, kSettings))
    for (const auto& key : settings->subkeys)
      for (const auto& v : key.values)
        o << "setting " << u8(key.name) << "\\" << u8(v.name) << "\n";
  const auto& spooler = m.services.services[0];
  static const char* kStates[] = {"?", "stopped", "starting", "stopping", "running"};
  o << "spooler " << (spooler.state < 5 ? kStates[spooler.state] : "?") << ", stopped "
    << spooler.stops << " times\n";
  size_t exitRequests = 0;
  for (const auto& p : m.user.posted) exitRequests += p.message == sim::kTrayExitMessage;
  const sim::SimProcess* tray = sim::FindRunning(m, "tray");
  o << "tray " << (tray ? "running " + u8(tray->commandLine) : "not running") << ", asked to exit "
    << exitRequests << " times\n";
  return o.str();
}

enum class Dialog { kNone, kLog, kErrorLog };

// One whole run: how the machine is prepared, the command, and what must hold afterwards
// beyond its expected log and state.
struct Case {
  const char* name;  // also the name of its expected files
  void (*setup)(sim::Machine& m);
  std::u16string command;
  int exitCode;
  Dialog dialog;
  uint64_t waitedMs;  // virtual time the run spent in Sleep and waits
  void (*check)(sim::Machine& m) = nullptr;
};

// Each row's test is named by the row.
inline constexpr auto CaseName = [](const auto& info) { return std::string(info.param.name); };

class Scenario : public ::testing::TestWithParam<Case> {
 protected:
  sim::Machine m;
  sim::MachineScope scope{m};
};

// The package as an earlier, clean install left it: monitor, driver, the queue "Orvalstone"
// and a running tray program.
inline void Installed(sim::Machine& m) {
  m.user.shiftDown = false;
  const Outcome run = RunCommand(m, u"install");
  ASSERT_EQ(run.exitCode, 1);
  ASSERT_FALSE(run.dialogShown);
  m.calls.clear();
}

// Set-up steps, run in turn.
template <auto... steps>
void Steps(sim::Machine& m) {
  (steps(m), ...);
}
// The name of a call, as a template argument.
template <size_t N>
struct Api {
  constexpr Api(const char (&text)[N]) { std::copy_n(text, N, name); }
  char name[N];
};
// A step: the call `api` fails with `error`, `times` times (-1: always).
template <Api api, DWORD error = ERROR_ACCESS_DENIED, int times = -1>
void Fails(sim::Machine& m) {
  sim::AddFault(m, api.name, error, times);
}

// Another program keeps the monitor module loaded (it may be renamed, not deleted).
inline uint32_t HoldModule(sim::Machine& m) {
  return sim::LockFile(m, kMonitorModule, 0x80000000, FILE_SHARE_READ, true);
}

// The spooler is stopped and cannot be started at all.
inline void SpoolerDisabled(sim::Machine& m) {
  m.services.services[0].state = SERVICE_STOPPED;
  m.services.services[0].disabled = true;
}

// A deletion of `path` handed to the next restart.
inline void PendingDeletion(sim::Machine& m, const std::u16string& path) {
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations",
                   REG_MULTI_SZ, Utf16Bytes(u"\\??\\" + path + std::u16string(3, u'\0')));
}

}  // namespace scenario

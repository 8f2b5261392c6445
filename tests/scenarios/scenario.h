// Whole runs of the installer: a prepared machine, one command through the entry function,
// then the log the dialog showed compared with the one kept in expected/<name>.log.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "sim/machine.h"
#include "sim/process_control.h"

namespace scenario {

inline const std::u16string kSetupDir = u"C:\\Program Files\\Orvalstone\\Setup\\";
inline const std::u16string kSystemDir = u"C:\\Windows\\system32\\";
// Where the driver files are staged; the spooler keeps its own copies below it.
inline const std::u16string kDriverDir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
inline const std::u16string kMonitorModule = kSystemDir + u"kvxmon64.dll";
inline const std::u16string kTrayPath = u"C:\\Program Files\\Orvalstone\\orvtray.exe";
inline const std::u16string kRunKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::u16string kSessionManager =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
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
inline std::vector<uint8_t> Utf16Bytes(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
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

// What a run's log file holds: the log the dialog shows between a header and a closing line,
// UTF-8 with a byte order mark, CR LF line ends.
inline std::string ExpectedLogFile(const Outcome& run, const std::string& word) {
  return "\xEF\xBB\xBFOrvalstone build 2300, orvinst " + word + ", started " + run.started +
         "\r\n" + run.dialogText + "Exit code " + std::to_string(run.exitCode) + ", ended " +
         run.ended + "\r\n";
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
    std::string text = sim::ToUtf8(m.user.dialogs.back().text);
    out.dialogText = text;
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
      // Every line ends in CR LF; a lone CR or LF would be a broken line and must show.
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      lf += text[i];
    }
    out.log = lf;
  }
  return out;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string ExpectedPath(const std::string& name) {
  return std::string(ORVINST_EXPECTED_DIR) + "/" + name + ".log";
}

// Compares the run's log with expected/<name>.log line by line (text and indentation).
// With ORVINST_UPDATE_EXPECTED=1 the file is written from the run instead; every such file
// is read and checked by hand before it is kept.
inline void ExpectLog(const std::string& name, const Outcome& run) {
  ASSERT_TRUE(run.dialogShown) << name << ": no log dialog was shown";
  const std::string path = ExpectedPath(name);
  const char* update = std::getenv("ORVINST_UPDATE_EXPECTED");
  if (update && update[0] == '1') {
    std::ofstream(path, std::ios::binary) << run.log;
    return;
  }
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << "missing " << path;
  std::stringstream content;
  content << file.rdbuf();
  const std::vector<std::string> expected = Lines(content.str());
  const std::vector<std::string> actual = Lines(run.log);
  EXPECT_TRUE(run.log.empty() || run.log.back() == '\n') << name << ": last line unended";
  const size_t n = std::max(expected.size(), actual.size());
  for (size_t i = 0; i < n; ++i) {
    const std::string e = i < expected.size() ? expected[i] : "<none>";
    const std::string a = i < actual.size() ? actual[i] : "<none>";
    if (e != a) {
      ADD_FAILURE() << name << ".log line " << (i + 1) << "\n  expected: [" << e
                    << "]\n  actual:   [" << a << "]\n--- whole actual log ---\n"
                    << run.log;
      return;
    }
  }
}

}  // namespace scenario

namespace scenario {

// One whole run: how the machine is prepared, the command, and what must hold afterwards.
struct Case {
  const char* name;  // also the name of its expected log
  void (*setup)(sim::Machine& m);
  std::u16string command;
  int exitCode;
  bool errors;  // the dialog's title tells whether an error was logged
  void (*check)(sim::Machine& m);
  uint64_t waitedMs;  // virtual time the run spent in Sleep and waits
};

inline void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// The fourth product part of a file's version resource; -1 without a file or a version.
inline int ModuleBuild(sim::Machine& m, const std::u16string& path) {
  const sim::SimFile* f = sim::FindFile(m, path);
  if (!f) return -1;
  const auto v = sim::ReadVersionResource(f->data);
  return v ? v->product[3] : -1;
}

inline std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// Prepares a fresh machine with SHIFT held, runs the case's command and checks it whole.
inline void RunCase(sim::Machine& m, const Case& c) {
  sim::InitDefaultMachine(m);
  if (c.setup) c.setup(m);
  if (::testing::Test::HasFatalFailure()) return;
  m.user.shiftDown = true;
  const uint64_t sleptBefore = m.sleptMs;
  const Outcome run = RunCommand(m, c.command);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(m.sleptMs - sleptBefore, c.waitedMs);
  EXPECT_EQ(run.title, c.errors ? u"Orvalstone build 2300- Install error log!"
                                : u"Orvalstone build 2300- Install log.");
  ExpectLog(c.name, run);
  EXPECT_EQ(run.logFile, ExpectedLogFile(run, sim::ToUtf8(c.command)));
  if (c.check) c.check(m);
}

// The package as an earlier, clean install left it: monitor, driver, the queue "Orvalstone"
// and a running tray program.
inline void Installed(sim::Machine& m) {
  m.user.shiftDown = false;
  const Outcome run = RunCommand(m, u"install");
  ASSERT_EQ(run.exitCode, 1);
  ASSERT_FALSE(run.dialogShown);
  m.calls.clear();
}

inline void PutPrinterData(sim::SimPrinter& p, const std::string& key, const std::string& name,
                           const std::string& text) {
  sim::PrinterDataValue v;
  v.name = name;
  v.type = REG_SZ;
  v.bytes.assign(text.begin(), text.end());
  v.bytes.push_back(0);
  for (auto& k : p.data) {
    if (k.name == key) {
      k.values.push_back(v);
      return;
    }
  }
  p.data.push_back({key, {v}});
}

// The text of a REG_SZ printer-data value, or "<none>".
inline std::string PrinterText(sim::Machine& m, const std::u16string& printer,
                               const std::string& key, const std::string& name) {
  sim::SimPrinter* p = sim::FindPrinter(m, printer);
  if (!p) return "<no printer>";
  const sim::PrinterDataValue* v = sim::FindPrinterData(*p, key, name);
  if (!v) return "<none>";
  return std::string(v->bytes.begin(), std::find(v->bytes.begin(), v->bytes.end(), 0));
}

inline bool TrayRunning(sim::Machine& m) {
  return sim::FindRunning(m, "tray") != nullptr;
}

inline bool RunValuePresent(sim::Machine& m) {
  return sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray") != nullptr;
}

// Every file the package puts in place, and the queue of a fresh install.
inline void ExpectPackageInstalled(sim::Machine& m) {
  const sim::SimMonitor* monitor = sim::FindMonitor(m, u"Orvalstone:");
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor->dllName, u"kvxmon64.dll");
  EXPECT_NE(sim::FindFile(m, kMonitorModule), nullptr);
  const sim::SimDriver* driver = sim::FindDriver(m, u"Orvalstone printer");
  ASSERT_NE(driver, nullptr);
  EXPECT_NE(sim::FindFile(m, driver->driverPath), nullptr);
  // The staged copies are gone once the spooler has its own.
  for (const char16_t* f : {u"kvxdrv64.dll", u"kvxui64.dll", u"kvxhelp.chm"})
    EXPECT_EQ(sim::FindFile(m, kDriverDir + f), nullptr) << sim::ToUtf8(f);
  const sim::RegValue* run = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kRunKey, u"OrvalstoneTray");
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->data, Utf16Bytes(kTrayPath + std::u16string(1, u'\0')));
}

}  // namespace scenario

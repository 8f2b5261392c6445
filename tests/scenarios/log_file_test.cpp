// Runs no one watches: no dialog where no one can see it, and the log file every install and
// uninstall leaves in Logs beside the program (its lines are compared with the dialog's in
// every scenario of install_test.cpp and uninstall_test.cpp).
#include "scenario.h"

namespace {

using namespace scenario;

const std::u16string kUninstallLog = kLogsDir + u"\\2024-05-06_07-30-00-000_uninstall.log";
const std::u16string kNotAFolder =
    u"Log file not written: " + kLogsDir + u" is not a folder of its own";

class LogFile : public ::testing::Test {
 protected:
  LogFile() { sim::InitDefaultMachine(m); }
  static std::string LastLine(const Outcome& run) {
    const size_t end = run.log.size() - run.log.ends_with('\n');
    const size_t start = end ? run.log.rfind('\n', end - 1) + 1 : 0;
    return run.log.substr(start, end - start);
  }
  sim::Machine m;
  sim::MachineScope scope{m};
};

// The dialog comes up when it always did, but only where the window station is seen; the
// exit code and the log file are the same either way.
TEST_F(LogFile, NoDialogOnAHiddenWindowStation) {
  const struct {
    bool visible, shift, spoolerDisabled;
    const char* fault;  // a call that fails: the station cannot be asked
    int exitCode;
    bool dialog;
  } cases[] = {
      {true, false, true, nullptr, 100, true},
      {false, false, true, nullptr, 100, false},
      {true, true, false, nullptr, 1, true},
      {false, true, false, nullptr, 1, false},
      {true, false, false, nullptr, 1, false},
      {true, true, false, "GetProcessWindowStation", 1, false},
      {true, false, true, "GetUserObjectInformationW", 100, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "visible " << c.visible << " shift " << c.shift << " disabled "
                 << c.spoolerDisabled << " fault " << (c.fault ? c.fault : "none"));
    sim::InitDefaultMachine(m);
    m.user.windowStationVisible = c.visible;
    m.user.shiftDown = c.shift;
    if (c.spoolerDisabled) SpoolerDisabled(m);
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED, -1);
    const Outcome run = RunCommand(m, u"install");
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.dialogShown, c.dialog);
    EXPECT_NE(run.logFile.find(c.spoolerDisabled ? "\r\n  Error(4): Can't start the spooler"
                                                 : "\r\nExit code 1, ended"),
              std::string::npos)
        << run.logFile;
  }
}

// Each run adds one file named by its start and job; the eleventh removes the oldest, and
// nothing but the program's own log files is ever counted or removed.
TEST_F(LogFile, TheNewestTenAreKept) {
  sim::PutFile(m, kLogsDir + u"\\notes.txt", Bytes("admin's notes"));
  sim::PutFile(m, kLogsDir + u"\\2020-01-01_00-00-00-000_install.log.bak", Bytes("kept"));
  sim::PutFile(m, kLogsDir + u"\\2020-01-01_00-00-00-000_repair.log", Bytes("kept"));
  sim::MakeDirectories(m, kLogsDir + u"\\2020-01-01_00-00-00-000_install.log");
  const std::vector<std::u16string> foreign = LogFileNames(m);
  std::vector<std::u16string> ours;
  for (int run = 1; run <= 12; ++run) {
    const bool install = run % 3 != 0;
    // The setup copies the tray program again before each install.
    if (install && !sim::FindFile(m, kTrayPath)) sim::PutFile(m, kTrayPath, Bytes("MZ orvtray"));
    const Outcome out = RunCommand(m, install ? u"Install" : u"UN");
    EXPECT_EQ(out.exitCode, install ? 1 : 2);
    ours.push_back(out.logFileName);
    sim::Advance(m, 1000);
  }
  EXPECT_EQ(ours[0], u"2024-05-06_07-30-00-000_install.log");
  EXPECT_TRUE(ours[2].ends_with(u"_uninstall.log"));
  std::vector<std::u16string> expected = foreign;
  expected.insert(expected.end(), ours.begin() + 2, ours.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(LogFileNames(m), expected);
  EXPECT_EQ(FileText(m, kLogsDir + u"\\notes.txt"), "admin's notes");
  EXPECT_TRUE(sim::DirectoryExists(m, kLogsDir + u"\\2020-01-01_00-00-00-000_install.log"));
}

// A file already there under the run's name is left as it is: the run takes the next name,
// up to a bound.
TEST_F(LogFile, NeverOverAFileItDidNotCreate) {
  const std::u16string stamp = kLogsDir + u"\\2024-05-06_07-30-00-000_install";
  sim::PutFile(m, stamp + u".log", Bytes("someone's"));
  sim::PutFile(m, stamp + u"-2.log", Bytes("someone's"));
  const Outcome run = RunCommand(m, u"install");
  EXPECT_EQ(run.logFileName, u"2024-05-06_07-30-00-000_install-3.log");
  EXPECT_EQ(FileText(m, stamp + u".log"), "someone's");
  EXPECT_EQ(FileText(m, stamp + u"-2.log"), "someone's");

  sim::InitDefaultMachine(m);
  sim::PutFile(m, stamp + u".log", Bytes("someone's"));
  for (char16_t n = u'2'; n <= u'9'; ++n) sim::PutFile(m, stamp + u"-" + n + u".log", Bytes("x"));
  m.user.shiftDown = true;
  const Outcome full = RunCommand(m, u"install");
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(LastLine(full),
            "Log file not written: " + sim::ToUtf8(stamp) + "-9.log - (The file exists.)");
}

// A failure to write the file never changes the outcome: it is one plain line at the end of
// the dialog's log, and no log file is left anywhere, not even a cut-short one. Logs that is a
// file, or a junction to somewhere else, is not written through.
TEST_F(LogFile, AFailureToWriteIsNotedInTheDialog) {
  const struct {
    void (*arrange)(sim::Machine& m);
    std::u16string note;
    int exitCode = 2;
  } cases[] = {
      {Fails<"GetFileInformationByHandle", ERROR_ACCESS_DENIED, 1>,
       u"Log file not written: " + kLogsDir + u" - (Access is denied.)"},
      {[](sim::Machine& m) {
         m.fs.ioFaults.push_back({kUninstallLog, "write", "short", 112, 100, 1});
       },
       u"Log file not written: " + kUninstallLog + u" - (There is not enough space on the disk.)"},
      // Nor is the tray program's place, which the setup's file may still hold.
      {Fails<"GetModuleFileNameW", ERROR_ACCESS_DENIED, 1>,
       u"Log file not written: the program's folder is not known", 100},
      {[](sim::Machine& m) { sim::PutFile(m, kLogsDir, Bytes("a file")); }, kNotAFolder},
      {[](sim::Machine& m) {
         sim::MakeMountPoint(m, kLogsDir, kSystemDir.substr(0, kSystemDir.size() - 1));
       },
       kNotAFolder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.note));
    sim::InitDefaultMachine(m);
    c.arrange(m);
    const std::string logsBefore = FileText(m, kLogsDir);
    m.user.shiftDown = true;
    const Outcome run = RunCommand(m, u"uninstall");
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.title, c.exitCode == 2 ? u"Orvalstone build 2300- Install log."
                                         : u"Orvalstone build 2300- Install error log!");
    EXPECT_EQ(LastLine(run), sim::ToUtf8(c.note));
    for (const auto& [key, file] : m.fs.files) {
      EXPECT_EQ(file.path.find(u".log"), std::u16string::npos) << sim::ToUtf8(file.path);
    }
    EXPECT_EQ(FileText(m, kLogsDir), logsBefore);
  }
}

}  // namespace

// The run log: indented lines in the context's LogText, numbered error lines counted in
// ErrorCount, and the system's text for an error code.
#pragma once
#include "context/format.h"
#include "platform/win32.h"

struct InstallContext;

// Every error line of the installer carries one of these numbers and the text that goes
// with it (kErrorTexts in run_log.cpp, where the texts are kept in one table).
enum LogErrorCode : DWORD {
  ErrOpenServiceManager = 1,
  ErrOpenSpooler = 2,
  ErrStopSpooler = 3,
  ErrStartSpooler = 4,
  ErrControlService = 5,  // %d %x: the service's refusal
  ErrDriverDirectory = 6,
  ErrSystemDirectory = 7,
  ErrCopyFileWrite = 8,    // %s: the destination path
  ErrOpenDestination = 9,  // %s: the destination path
  ErrOpenSource = 10,      // %s: the file name
  ErrAddMonitor = 11,
  ErrDeleteMonitor = 12,
  ErrAddDriver = 13,
  ErrDeleteDriver = 14,
  ErrAddPrinter = 15,      // %s: the printer
  ErrOpenPrinter = 16,     // %s: the printer
  ErrDeletePrinter = 17,   // %s: the printer
  ErrSavePrinter = 18,     // %s: the printer
  ErrRestorePrinter = 19,  // %s: the printer
  ErrQueueRecord = 20,
  ErrReturnPort = 21,  // %s: the printer
  ErrListPrinters = 22,
  ErrListMonitors = 23,
  ErrListDrivers = 24,
  ErrRegisterTray = 25,
  ErrRemoveTray = 26,
  ErrModuleDirectory = 27,
  ErrDeleteFile = 28,        // %s: the path
  ErrWithdrawDeletion = 29,  // %s: the path
  ErrParkPrinter = 30,       // %s: the printer
  ErrPackageFile = 31,       // %s: the path
  ErrRecordType = 32,        // %s %s: the record, and where it was set aside
  ErrMachineType = 33,       // %s: the machine type
  ErrProtectedPrint = 34,
  ErrStartTray = 35,
};

// Units of the buffer a Log or LogError line is formatted into, terminator included.
constexpr size_t kLogLineUnits = 1024;
// Indentation stops deepening here (two spaces a level).
constexpr LONG kMaxIndentLevels = 10;

// Appends indentation, the text (none: nothing) and CR LF.
void AppendLogLine(InstallContext& context, LPCWSTR text);

void LogArgs(InstallContext& context, LPCWSTR format, const FormatArg* args, size_t count);
void LogErrorArgs(InstallContext& context, LogErrorCode code, const FormatArg* args, size_t count);

// One formatted line at the current depth.
template <class... Args>
void Log(InstallContext& context, LPCWSTR format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
  LogArgs(context, format, list, sizeof...(Args));
}

// "Error(code): " and the code's text with the arguments in it, followed by the system's text
// for the thread's last error when that is not 0; adds one to ErrorCount. The last error is
// left as it was found.
template <class... Args>
void LogError(InstallContext& context, LogErrorCode code, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
  LogErrorArgs(context, code, list, sizeof...(Args));
}

// An operation's part of the log: its ">Header" line at the caller's depth, and its own lines
// `levels` deeper until it goes out of scope.
class LogSection {
 public:
  template <class... Args>
  LogSection(InstallContext& context, LPCWSTR header, const Args&... args)
      : LogSection(context, 1, header, args...) {}
  template <class... Args>
  LogSection(InstallContext& context, LONG levels, LPCWSTR header, const Args&... args)
      : context_(context), levels_(levels) {
    Log(context, header, args...);
    Deepen(context, levels_);
  }
  ~LogSection() { Deepen(context_, -levels_); }
  LogSection(const LogSection&) = delete;
  LogSection& operator=(const LogSection&) = delete;

 private:
  static void Deepen(InstallContext& context, LONG levels);
  InstallContext& context_;
  LONG levels_;
};

// The system's English message for the code without its trailing line breaks, or null.
// The caller owns it (unique_hlocal).
LPWSTR SystemErrorText(DWORD code);

// The log file of an install or uninstall run, for the administrator of a run that no one
// watched: the lines the log dialog shows, in the folder "Logs" beside the program, one file
// a run, the newest kept.
#pragma once
#include "platform/win32.h"

struct InstallContext;

// How many log files the folder keeps, the one just written included.
constexpr int kKeptLogFiles = 10;

// What a run's log file is named after and headed with.
struct RunStart {
  LPCWSTR Word = nullptr;  // the command word as given, for the header
  LPCWSTR Job = nullptr;   // "install" or "uninstall", for the file name
  SYSTEMTIME Time = {};    // when the run began, UTC
  // The run took the machine over from one that was killed before it finished.
  bool TookOver = false;
};

// Writes the context's log between a header line (build, command word, start time) and a
// closing line (exit code, end time), UTF-8 with a byte order mark and CR LF line ends, as a
// new file in "Logs" beside the program; then removes the oldest files of earlier runs beyond
// kKeptLogFiles. Never through a reparse point and never over a file it did not create.
// Nothing here changes the run's outcome: a failure is appended to the context's log as a
// plain line, so that the dialog shows it.
void WriteLogFile(InstallContext& context, const RunStart& start, int exitCode);

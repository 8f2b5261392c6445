// The questions the outer setup asks about the package's queues through short command
// words. No context, no log, no spooler service check: each probe takes what it needs from the
// spooler, folds every failure into its answer and frees what it took.
#pragma once
#include "platform/win32.h"

// Driver modules of this build and earlier are out of date.
constexpr LONG kLastOutdatedDriverBuild = 2206;
// Room offered to the default-printer query, in characters.
constexpr DWORD kDefaultPrinterUnits = 260;

// True when the first package queue's installed driver module carries a build newer than
// 2206; false when there is no package queue or nothing can be read.
bool CheckDriverVersion();
// False exactly when the default printer is a package queue; true when there is none, it
// cannot be examined, or it prints through another driver.
bool CheckDefaultPrinter();
// Makes the first package queue the default printer, when there is one.
void SetPackageDefault();
// Whether one of the package's modules is still waiting for the next start after the
// system's pending deletions were carried out. Each time one is, the spooler is restarted
// (it may hold the module) and the list read again, for at most two passes.
bool CheckPendingModules();

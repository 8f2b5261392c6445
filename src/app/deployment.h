// What deployment tools need of the installer: one run at a time on the machine, no run on a
// machine that cannot take the package, and a sign that the package is installed.
#pragma once
#include "platform/unique.h"

struct InstallContext;

// Machine-wide, so that runs in different sessions (a deployment agent's in session 0, a
// user's setup on the desktop) keep apart too.
inline constexpr char kRunMutexName[] =
    "Global\\OrvalstoneInstallerRun-{5E0B7C1A-94D2-4F63-8B1E-2C7A9D3F6E48}";
// The longest run the program can make is about 29 minutes (every wait at its bound: help
// viewer 5 s, spooler start 120 s, tray program 110.5 s, eight spooler restarts of 180 s, four
// copies of 10 s); a second run, started after the first, waits that long before it gives up.
constexpr DWORD kRunLockWaitMs = 30 * 60 * 1000;

enum class RunLockState {
  Taken,
  TakenOver,  // abandoned by a run that was killed: that run's work is this one's now
  Busy,       // still held at the bound, or not to be had; the last error says which
};

// Owns the machine-wide run mutex while it lives, once taken.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  RunLockState Take();
  // Why the lock was not had: WAIT_TIMEOUT, or the system's error.
  DWORD Error() const { return error_; }

 private:
  unique_handle mutex_;
  bool owned_ = false;
  DWORD error_ = 0;
};

// Before an install removes anything: the package's monitor and driver are x64 modules, which
// only a native x64 spooler loads, and which a spooler in Windows protected print mode refuses.
// Otherwise logs the first line and error 33 naming the machine type, or error 34, and the run
// changes nothing.
bool MachineTakesPackage(InstallContext& context);

// "InstalledBuild" under the package's key: written by a whole install as its last step,
// removed by any other install and first thing by an uninstall. A failure is a plain line.
void MarkInstalled(InstallContext& context, bool whole);
